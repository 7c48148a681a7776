// The NTFS device layer and mount glue over a file-backed DiskIoBlock, checked
// against disks made by mkntfs/sfdisk/sgdisk and read back by ntfs-3g's tools.
#include <gtest/gtest.h>

#include <errno.h>
#include <string>
#include <vector>

#include "FileBlock.h"
#include "TestSupport.h"
#include "image/device/PartitionTable.h"
#include "image/ntfs/NtfsFiles.h"
#include "image/ntfs/NtfsInternal.h"

namespace {

struct Disk {
  std::string unixPath;
  std::wstring winPath;
  std::string tree;  // the folder the volume was filled from
  long start = 0;    // data partition LBA
};

// A disk with big.bin (3 MiB + 123 bytes of random data), Dir\Sub\small.txt
// and an empty folder Empty.
Disk MakeDisk(const std::string& layout, const std::string& extra = "") {
  Disk d;
  std::string dir = vt::ScratchDirUnix();
  d.tree = dir + "/tree";
  d.unixPath = dir + "/disk.img";
  d.winPath = vt::ToWin(d.unixPath);
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(d.tree + "/Dir/Sub") + " " + vt::Q(d.tree + "/Empty") +
                      " && head -c 3145851 /dev/urandom > " + vt::Q(d.tree + "/big.bin") +
                      " && printf 'small file\\n' > " + vt::Q(d.tree + "/Dir/Sub/small.txt")));
  std::string out;
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.unixPath) + " --layout " + layout +
                              " --size 32 --tree " + vt::Q(d.tree) + " " + extra,
                          &out));
  d.start = atol(out.c_str());
  return d;
}

// The data partition cut out of the disk, for the ntfs-3g tools.
std::string CutPartition(const Disk& d) {
  std::string part = d.unixPath + ".part";
  EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(d.unixPath) + " of=" + vt::Q(part) +
                      " bs=512 skip=" + std::to_string(d.start) + " count=65536 status=none"));
  return part;
}

bool SameAsHostFile(const std::vector<char>& data, const std::string& hostFile) {
  // Beside the host file: ScratchDir() would empty the test's folder.
  std::string ours = hostFile + ".ours";
  vt::WriteAll(vt::ToWin(ours), data.data(), data.size());
  return vt::Sh("cmp " + vt::Q(ours) + " " + vt::Q(hostFile)) == 0;
}

std::vector<char> ReadWhole(ntfs_volume* vol, const wchar_t* path) {
  long long size = GetNtfsFileDataSize(vol, path);
  std::vector<char> data(size > 0 ? (size_t)size : 0);
  if (size > 0) {
    EXPECT_EQ(size, ReadNtfsFileData(vol, path, data.data(), size, 0));
  }
  return data;
}

class Mounted {
 public:
  Mounted(const Disk& d, bool writable, int partition = kFirstDataPartition,
          unsigned long flags = 0) {
    block = OpenFileBlock(d.winPath, writable);
    EXPECT_NE(nullptr, block);
    vol = MountNtfsOnDisk(block, partition, flags | (writable ? 0 : NTFS_MOUNT_READONLY));
  }
  ~Mounted() {
    if (vol) {
      EXPECT_EQ(0, UnmountNtfsVolume(vol));
    }
    CloseFileBlock(block);
  }
  DiskIoBlock* block = nullptr;
  ntfs_volume* vol = nullptr;
};

TEST(NtfsMount, FindsThePartitionOnMbrAndGptAndReadsInBigRuns) {
  struct Case {
    const char* layout;
    int index;
    bool gpt;
  } cases[] = {{"mbr63", 0, false}, {"mbr2048", 0, false}, {"gpt", 1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.layout);
    Disk d = MakeDisk(c.layout);
    Mounted m(d, false);
    ASSERT_NE(nullptr, m.vol);
    EXPECT_EQ(c.index, GetMountedPartitionIndex(m.vol));
    EXPECT_EQ(c.gpt, IsNtfsVolumeOnGpt(m.vol));

    FileBlockStats before = GetFileBlockStats(m.block);
    std::vector<char> big = ReadWhole(m.vol, L"\\big.bin");
    FileBlockStats after = GetFileBlockStats(m.block);
    EXPECT_TRUE(SameAsHostFile(big, d.tree + "/big.bin"));
    // 3 MiB of contiguous data must not trickle through in clusters.
    EXPECT_LT(after.reads - before.reads, 40u);

    // Lookup ignores case; repeated separators are skipped.
    std::vector<char> small = ReadWhole(m.vol, L"\\DIR\\\\sub\\SMALL.TXT");
    EXPECT_EQ("small file\n", std::string(small.begin(), small.end()));
    EXPECT_EQ(-1, GetNtfsFileDataSize(m.vol, L"\\Dir\\nothing"));
    EXPECT_EQ(ENOENT, errno);
  }
}

TEST(NtfsMount, ReadsAtAndPastTheEnd) {
  Disk d = MakeDisk("mbr2048");
  Mounted m(d, false);
  ASSERT_NE(nullptr, m.vol);
  char buf[64];
  EXPECT_EQ(5, ReadNtfsFileData(m.vol, L"\\Dir\\Sub\\small.txt", buf, sizeof buf, 6));
  EXPECT_EQ("file\n", std::string(buf, 5));
  EXPECT_EQ(0, ReadNtfsFileData(m.vol, L"\\Dir\\Sub\\small.txt", buf, sizeof buf, 11));
  EXPECT_EQ(0, ReadNtfsFileData(m.vol, L"\\Dir\\Sub\\small.txt", buf, sizeof buf, 1000));
}

// Positioned transfers of the device stop at the partition's end, whatever
// a caller (or a boot sector that claims more) asks: the sectors after the
// partition are neither read nor written.
TEST(NtfsMount, TransfersStopAtThePartitionEnd) {
  Disk d = MakeDisk("mbr2048");
  const s64 length = 32ll << 20;
  {
    Mounted m(d, true);
    ASSERT_NE(nullptr, m.vol);
    ntfs_device* dev = m.vol->dev;
    std::vector<char> buf(1024, 'w');
    EXPECT_EQ(512, dev->d_ops->pread(dev, buf.data(), 1024, length - 512));
    EXPECT_EQ(0, dev->d_ops->pread(dev, buf.data(), 512, length));
    // The last sector written back as it was; the 'w's after it stay out.
    EXPECT_EQ(512, dev->d_ops->pwrite(dev, buf.data(), 1024, length - 512));
    errno = 0;
    EXPECT_EQ(-1, dev->d_ops->pwrite(dev, buf.data(), 512, length));
    EXPECT_EQ(ENOSPC, errno);
  }
  std::string after;
  vt::Sh("dd if=" + vt::Q(d.unixPath) + " bs=512 skip=" + std::to_string(d.start + (length >> 9)) +
             " count=2 status=none | tr -d '\\0' | wc -c",
         &after);
  EXPECT_EQ("0\n", after);
}

// Small reads are served from blocks read once; a write through the device
// is seen by every later read, small or large.
TEST(NtfsMount, SmallReadsComeFromBlocksThatWritesRenew) {
  Disk d = MakeDisk("mbr2048");
  Mounted m(d, true);
  ASSERT_NE(nullptr, m.vol);
  ntfs_device* dev = m.vol->dev;
  auto pread = [dev](std::vector<char>& b, s64 at) {
    return dev->d_ops->pread(dev, b.data(), (s64)b.size(), at);
  };
  const s64 at = 1 << 20;
  std::vector<char> original(8192), small(512), wide(1000), whole(64 << 10);
  ASSERT_EQ(8192, pread(original, at));
  FileBlockStats before = GetFileBlockStats(m.block);
  for (int i = 0; i < 8; i++) ASSERT_EQ(512, pread(small, at + 100 + 400 * i));
  EXPECT_EQ(std::string(original.data() + 2900, 512), std::string(small.begin(), small.end()));
  EXPECT_EQ(before.reads, GetFileBlockStats(m.block).reads) << "no read reached the disk";

  // A write across two blocks, then reads over it of every size.
  std::vector<char> x(300, 'x');
  ASSERT_EQ(300, dev->d_ops->pwrite(dev, x.data(), 300, at + 4000));
  ASSERT_EQ(1000, pread(wide, at + 3600));
  EXPECT_EQ(std::string(300, 'x'), std::string(wide.data() + 400, 300));
  EXPECT_EQ(std::string(original.data() + 3600, 400), std::string(wide.data(), 400));
  ASSERT_EQ(64 << 10, pread(whole, at));
  EXPECT_EQ(std::string(300, 'x'), std::string(whole.data() + 4000, 300));
  ASSERT_EQ(8192, dev->d_ops->pwrite(dev, original.data(), 8192, at));
  ASSERT_EQ(512, pread(small, at + 4000));
  EXPECT_EQ(std::string(original.data() + 4000, 512), std::string(small.begin(), small.end()));
}

// Patches bytes of the disk file in place.
void Patch(const Disk& d, long offset, const std::string& printfBytes) {
  ASSERT_EQ(0, vt::Sh("printf '" + printfBytes + "' | dd of=" + vt::Q(d.unixPath) +
                      " bs=1 seek=" + std::to_string(offset) + " conv=notrunc status=none"));
}

TEST(NtfsMount, RefusesTablesItCannotTrust) {
  {
    Disk d = MakeDisk("mbr2048");
    {
      Mounted beyond(d, false, 4);  // an MBR has four entries
      EXPECT_EQ(nullptr, beyond.vol);
      Mounted second(d, false, 1);  // entry 1 is empty
      EXPECT_EQ(nullptr, second.vol);
    }
    Patch(d, 446 + 4, "\\203");  // type 0x83: not NTFS
    Mounted linux(d, false);
    EXPECT_EQ(nullptr, linux.vol);
  }
  {
    Disk d = MakeDisk("gpt");
    {
      Mounted past(d, false, 200);  // beyond the 128 entries
      EXPECT_EQ(nullptr, past.vol);
      Mounted fromSecond(d, false, 1);
      ASSERT_NE(nullptr, fromSecond.vol);
      EXPECT_EQ(1, GetMountedPartitionIndex(fromSecond.vol));
    }
    // Entries claimed to be 64 bytes long would be read overlapping.
    Patch(d, 512 + 84, "\\100\\000\\000\\000");
    Mounted shortEntries(d, false);
    EXPECT_EQ(nullptr, shortEntries.vol);
  }
}

TEST(NtfsMount, DirtyVolumeNeedsTheAcceptFlag) {
  Disk d = MakeDisk("mbr2048");
  {
    Mounted m(d, true);
    ASSERT_NE(nullptr, m.vol);
    ASSERT_EQ(0, ntfs_volume_write_flags(m.vol, (le16)(m.vol->flags | VOLUME_IS_DIRTY)));
  }
  {
    Mounted plain(d, false);
    EXPECT_EQ(nullptr, plain.vol);
  }
  Mounted accepted(d, false, 0, NTFS_MOUNT_ACCEPT_DIRTY);
  EXPECT_NE(nullptr, accepted.vol);
}

TEST(NtfsMount, ReadOnlyMountRefusesWrites) {
  Disk d = MakeDisk("mbr2048");
  std::string before = vt::Sha256(d.winPath);
  {
    Mounted m(d, false);
    ASSERT_NE(nullptr, m.vol);
    EXPECT_GT(0, NtfsCreatePath(m.vol, L"\\new.txt", NTFS_MODE_FILE, nullptr));
    EXPECT_GT(0, WriteNtfsFileData(m.vol, L"\\Dir\\Sub\\small.txt", "x", 1, 0));
    EXPECT_GT(0, RenameNtfsPath(m.vol, L"\\big.bin", L"\\big2.bin"));
  }
  EXPECT_EQ(before, vt::Sha256(d.winPath));
}

TEST(NtfsWrite, WrittenFilesReadBackByNtfs3gTools) {
  Disk d = MakeDisk("mbr63");
  std::string payload;
  for (int i = 0; i < 200000; i++) payload += (char)('a' + (i * 7) % 26);
  {
    Mounted m(d, true);
    ASSERT_NE(nullptr, m.vol);
    ASSERT_EQ(0, NtfsCreatePath(m.vol, L"\\New Folder", NTFS_MODE_DIRECTORY, nullptr));
    ASSERT_EQ(0, NtfsCreatePath(m.vol, L"\\New Folder\\data.txt", NTFS_MODE_FILE, nullptr));
    // Two writes, the second at an offset inside the first.
    ASSERT_EQ((long long)payload.size(), WriteNtfsFileData(m.vol, L"\\new folder\\DATA.txt",
                                                           payload.data(), payload.size(), 0));
    ASSERT_EQ(4, WriteNtfsFileData(m.vol, L"\\New Folder\\data.txt", "ZZZZ", 4, 1000));
    payload.replace(1000, 4, "ZZZZ");
    // A file that differs only in case is the same name.
    EXPECT_EQ(-EEXIST, NtfsCreatePath(m.vol, L"\\NEW FOLDER\\Data.TXT", NTFS_MODE_FILE, nullptr));
    ASSERT_EQ(0, NtfsCreatePath(m.vol, L"\\gone.txt", NTFS_MODE_FILE, nullptr));
    ASSERT_EQ(0, NtfsDeletePath(m.vol, L"\\gone.txt"));
    ASSERT_EQ(0, NtfsDeletePath(m.vol, L"\\Dir"));  // with Sub and small.txt below
    EXPECT_EQ(0, NtfsGetPathType(m.vol, L"\\Dir"));
    EXPECT_EQ(-EACCES, NtfsDeletePath(m.vol, L"\\"));
    EXPECT_EQ(-EACCES, NtfsDeletePath(m.vol, L"\\$MFT"));
  }
  std::string part = CutPartition(d);
  std::string out;
  ASSERT_EQ(0, vt::Sh("ntfscat " + vt::Q(part) + " '/New Folder/data.txt' > " +
                          vt::Q(d.tree + "/back.txt"),
                      &out))
      << out;
  std::vector<char> expect(payload.begin(), payload.end());
  EXPECT_TRUE(SameAsHostFile(expect, d.tree + "/back.txt"));
  ASSERT_EQ(0, vt::Sh("ntfsls " + vt::Q(part), &out));
  EXPECT_EQ(std::string::npos, out.find("gone.txt"));
  EXPECT_EQ(std::string::npos, out.find("Dir\n"));
  EXPECT_NE(std::string::npos, out.find("New Folder"));
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(part), &out)) << out;
}

TEST(NtfsWrite, FilesPutInByNtfscpAreRead) {
  Disk d = MakeDisk("mbr2048");
  std::string part = CutPartition(d);
  std::string src = d.tree + "/copied.bin";
  ASSERT_EQ(0,
            vt::Sh("head -c 777777 /dev/urandom > " + vt::Q(src) + " && ntfscp -f " + vt::Q(part) +
                   " " + vt::Q(src) + " /copied.bin >/dev/null && dd if=" + vt::Q(part) +
                   " of=" + vt::Q(d.unixPath) + " bs=512 seek=2048 " + "conv=notrunc status=none"));
  Mounted m(d, false);
  ASSERT_NE(nullptr, m.vol);
  EXPECT_TRUE(SameAsHostFile(ReadWhole(m.vol, L"\\COPIED.bin"), src));
}

TEST(NtfsRename, MovesRenamesAndRefusesLoops) {
  Disk d = MakeDisk("mbr2048");
  {
    Mounted m(d, true);
    ASSERT_NE(nullptr, m.vol);
    // Across folders.
    ASSERT_EQ(0, RenameNtfsPath(m.vol, L"\\Dir\\Sub\\small.txt", L"\\Empty\\moved.txt"));
    EXPECT_EQ(0, NtfsGetPathType(m.vol, L"\\Dir\\Sub\\small.txt"));
    EXPECT_EQ(1, NtfsGetPathType(m.vol, L"\\Empty\\moved.txt"));
    // A folder with content into another folder.
    ASSERT_EQ(0, RenameNtfsPath(m.vol, L"\\Empty", L"\\Dir\\Sub\\Empty2"));
    EXPECT_EQ(1, NtfsGetPathType(m.vol, L"\\Dir\\Sub\\Empty2\\moved.txt"));
    // Into itself or its own subtree: refused, nothing changes.
    EXPECT_EQ(-EINVAL, RenameNtfsPath(m.vol, L"\\Dir", L"\\Dir\\Sub\\Dir"));
    EXPECT_EQ(-EINVAL, RenameNtfsPath(m.vol, L"\\Dir", L"\\Dir\\x"));
    EXPECT_EQ(2, NtfsGetPathType(m.vol, L"\\Dir\\Sub"));
    // Onto another existing name: refused.
    EXPECT_EQ(-EEXIST, RenameNtfsPath(m.vol, L"\\big.bin", L"\\DIR"));
    // Only the case changes.
    ASSERT_EQ(0, RenameNtfsPath(m.vol, L"\\big.bin", L"\\BIG.BIN"));
    EXPECT_EQ(-ENOENT, RenameNtfsPath(m.vol, L"\\missing", L"\\x"));
  }
  std::string part = CutPartition(d);
  std::string out;
  ASSERT_EQ(0, vt::Sh("ntfsls -R " + vt::Q(part), &out));
  EXPECT_NE(std::string::npos, out.find("BIG.BIN"));
  EXPECT_EQ(std::string::npos, out.find("big.bin"));
  EXPECT_NE(std::string::npos, out.find("moved.txt"));
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(part) + " /Dir/Sub/Empty2/moved.txt", &out));
  EXPECT_EQ("small file\n", out);
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(part), &out)) << out;
}

}  // namespace
