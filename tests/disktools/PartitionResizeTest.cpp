// Partition and NTFS grow on disks made by mk-disk.sh (mkntfs), checked by
// ntfsresize --info, ntfsfix, sgdisk and the files' content read back.
#include <windows.h>

#include <map>

#include "BadClusterInject.h"
#include "FailingWrites.h"
#include "../image/WriteFaults.h"
#include "FormatTestUtil.h"
#include "ProgramImage.h"
#include "app/ImageOperations.h"
#include "disktools/NtfsFormatterInstall.h"
#include "disktools/partition/PartitionResize.h"
#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"

using namespace fmt;

namespace {

const uint64_t kMiB = 1ULL << 20;

// The test's scratch folder (made anew at each call of ScratchDirUnix).
std::string gDir;

std::wstring Scratch() {
  gDir = vt::ScratchDirUnix();
  return vt::ToWin(gDir);
}

// A tree of files with pseudo-random content for the data volume.
std::string MakeTree() {
  std::string tree = gDir + "/tree";
  EXPECT_EQ(0, vt::Sh("rm -rf " + tree + " && mkdir -p " + tree +
                      "/Dir && "
                      "head -c 3000000 /dev/urandom > " +
                      tree +
                      "/big.bin && "
                      "head -c 5000 /dev/urandom > " +
                      tree +
                      "/Dir/small.bin && "
                      "echo hello > " +
                      tree + "/Dir/note.txt"));
  return tree;
}

// mk-disk.sh disk of a `mb` MiB NTFS partition in `layout`; the file then
// grows to `fileMb` MiB. Returns the partition's first LBA.
uint64_t MakeDisk(const std::wstring& path, const std::string& layout, int mb, int fileMb) {
  std::string out;
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(vt::ToUnix(path)) + " --size " +
                              std::to_string(mb) + " --layout " + layout + " --tree " +
                              vt::Q(MakeTree()),
                          &out));
  EXPECT_EQ(0, vt::Sh("truncate -s " + std::to_string(fileMb) + "M " + vt::Q(vt::ToUnix(path))));
  return strtoull(out.c_str(), nullptr, 10);
}

// ntfsfix, ntfsresize --info, ntfsinfo and the files of the tree on the
// partition; with `mount`, a read-write ntfs-3g mount then takes a file and
// leaves the volume clean for ntfsfix.
void ExpectSoundVolume(const std::wstring& disk, uint64_t start, uint64_t sectors,
                       bool mount = false) {
  std::string out;
  std::string tree = gDir + "/tree", mnt = vt::Q(gDir + "/mnt");
  std::string rw = mount ? " && mkdir -p " + mnt + " && ntfs-3g $DEV " + mnt + " && echo rw > " +
                               mnt + "/rw.txt && umount " + mnt + " && ntfsfix -n $DEV"
                         : "";
  EXPECT_EQ(0, OnPartition(disk, start * 512, sectors * 512,
                           "ntfsfix -n $DEV && ntfsresize --info --force --no-progress-bar $DEV "
                           "&& ntfsinfo -m $DEV && for f in big.bin Dir/small.bin Dir/note.txt; do ntfscat $DEV $f | "
                           "cmp - " +
                               tree + "/$f || exit 1; done" + rw,
                           &out))
      << out;
}

// The sectors an own-format image declares (its capacity less the header
// slot); opened through an update file, the update file's.
uint64_t DeclaredSectors(const std::wstring& own) {
  CMountedImage image;
  EXPECT_GE(image.OpenImage(own.c_str(), nullptr, 0, 0), 0);
  _VROH_DISK_COMBO* layers = image.DiskObject() ? image.DiskObject()->Layers() : nullptr;
  uint64_t sectors = !layers                   ? 0
                     : layers->Update().IsOpen() ? layers->Update().m_nCapacity - 1
                                                 : layers->Base().m_nCapacity - 1;
  EXPECT_TRUE(image.Close());
  return sectors;
}

uint64_t BootSectors(const std::wstring& disk, uint64_t start) {
  return Le64(&ReadBytes(disk, start * 512, 512)[0x28]);
}

// Copies the disk of a raw file into a new own-format image of `mb` MiB;
// the MiB the new image holds already (its free space reads as zeros) are
// not written, so a large disk with little on it stays small.
std::wstring ToOwnFormat(const std::wstring& raw, int mb) {
  std::wstring path = raw + L".vro";
  CMountedImage image;
  EXPECT_EQ(1, image.CreateImage(path.c_str(), mb, 0, 1, 1, nullptr, nullptr, nullptr));
  HANDLE file =
      CreateFileW(raw.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, file);
  std::vector<uint8_t> in(kMiB), held(kMiB);
  DiskIoBlock* block = image.IoBlock();
  DWORD n = 0;
  for (uint64_t at = 0; ReadFile(file, in.data(), (DWORD)kMiB, &n, nullptr) && n; at += n) {
    EXPECT_EQ((int)n, block->read(block->owner, at, held.data(), n));
    if (memcmp(in.data(), held.data(), n)) {
      EXPECT_EQ((int)n, block->write(block->owner, at, in.data(), n));
    }
  }
  CloseHandle(file);
  image.Close();
  return path;
}

// Copies the disk of an opened image into a raw file for the checkers; the
// MiB that read as zeros are left as holes of the file.
void ToRaw(CMountedImage& image, const std::wstring& raw, uint64_t bytes) {
  HANDLE file = CreateFileW(raw.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  std::vector<uint8_t> data(kMiB), zero(kMiB);
  DiskIoBlock* block = image.IoBlock();
  bool ok = true;
  for (uint64_t at = 0; at < bytes && ok; at += kMiB) {
    unsigned n = unsigned(bytes - at < kMiB ? bytes - at : kMiB);
    ok = block->read(block->owner, at, data.data(), n) == (int)n;
    if (!ok || !memcmp(data.data(), zero.data(), n)) continue;
    LARGE_INTEGER to;
    to.QuadPart = (LONGLONG)at;
    DWORD done = 0;
    ok = SetFilePointerEx(file, to, nullptr, FILE_BEGIN) &&
         WriteFile(file, data.data(), n, &done, nullptr) && done == n;
  }
  LARGE_INTEGER end;
  end.QuadPart = (LONGLONG)bytes;
  ok = ok && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  ASSERT_TRUE(ok);
}

TEST(NtfsResize, GrowsA100MiBVolumeTo200MiB) {
  std::wstring disk = Scratch() + L"\\grow.img";
  uint64_t start = MakeDisk(disk, "mbr2048", 100, 256);
  std::vector<uint8_t> mbr = ReadBytes(disk, 0, 512);
  uint32_t count = 409600;
  memcpy(&mbr[446 + 12], &count, 4);
  WriteBytes(disk, 0, mbr);
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(disk.c_str(), nullptr, 0, 2), 0);
    ASSERT_EQ(1, ResizeNtfsFileSystem(&image, 200 * kMiB));
    EXPECT_TRUE(image.Close());
  }
  EXPECT_EQ(51199u * 8, BootSectors(disk, start));
  mbr = ReadBytes(disk, 0, 512);
  EXPECT_EQ(409593u, Le32(&mbr[446 + 12]));
  EXPECT_EQ(ReadBytes(disk, start * 512, 512), ReadBytes(disk, (start + 409592) * 512, 512));
  ExpectSoundVolume(disk, start, 409593);
  std::string out;
  EXPECT_EQ(0, OnPartition(disk, start * 512, 409593 * 512ULL,
                           "ntfsinfo -m $DEV | grep -i 'volume flags'", &out));
  EXPECT_EQ(std::string::npos, out.find("DIRTY")) << out;

  // The same size again only checks and rewrites: one unowned cluster at
  // clusters / 2 in $Bitmap is taken for an old backup boot sector, a
  // second one fails the check. A size below the data is refused, and the
  // process goes on.
  // The bits go into the image file ($Bitmap is no file the file API
  // writes), each resize on the image opened anew.
  auto markCluster = [&](uint64_t cluster, bool set) {
    std::string out;
    EXPECT_EQ(0, vt::Sh("python3 tests/fixtures/ntfs-damage.py " + vt::Q(vt::ToUnix(disk)) +
                            " bitmap-bit " + std::to_string(cluster) + (set ? " 1" : " 0"),
                        &out))
        << out;
  };
  auto resize = [&](uint64_t bytes) {
    CMountedImage image;
    if (image.OpenImage(disk.c_str(), nullptr, 0, 2) < 0) return -1;
    int r = ResizeNtfsFileSystem(&image, bytes);
    EXPECT_TRUE(image.Close());
    return r;
  };
  markCluster(51199 / 2, true);
  EXPECT_EQ(1, resize(409593 * 512ULL));
  markCluster(51199 / 2, true);
  markCluster(40000, true);
  EXPECT_EQ(0, resize(409593 * 512ULL));
  markCluster(51199 / 2, false);
  markCluster(40000, false);
  EXPECT_EQ(0, resize(2 * kMiB));

  // Shrinks: to 80 MiB nothing lies beyond the end; to 60 MiB the files
  // move; to 40 MiB $LogFile and $MFTMirr move too.
  for (uint64_t mib : {80, 60, 40}) {
    SCOPED_TRACE(mib);
    CMountedImage shrunk;
    ASSERT_GE(shrunk.OpenImage(disk.c_str(), nullptr, 0, 2), 0);
    EXPECT_EQ(1, ResizeNtfsFileSystem(&shrunk, mib * kMiB));
    EXPECT_TRUE(shrunk.Close());
    uint64_t clusters = (mib * kMiB - 512) / 4096;
    EXPECT_EQ(clusters * 8, BootSectors(disk, start));
    EXPECT_EQ(clusters * 8 + 1, Le32(&ReadBytes(disk, 0, 512)[446 + 12]));
    ExpectSoundVolume(disk, start, clusters * 8 + 1);
  }
}

// Fills a 160 MiB volume so that $MFT's data runs, in many pieces, past
// 40 MiB: files of 4 MiB fill it in the allocator's order (upwards from the
// end of the zone kept for $MFT, then below it, then the zone); those above
// 100 MiB go again. Then `combs` one-cluster files, every other one deleted,
// after 1500 small files, take $MFT's growth in turns with their own
// clusters; a 1.2 MiB file goes into the comb's gaps, and the rest of the
// fill goes.
uint64_t MakeShrinkDisk(const std::wstring& disk, int combs, std::vector<uint8_t>* a) {
  uint64_t start = MakeDisk(disk, "mbr2048", 160, 170);
  a->resize(4096 * 300);
  for (size_t i = 0; i < a->size(); i++) (*a)[i] = uint8_t(i * 7 + i / 4096);
  CMountedImage image;
  EXPECT_GE(image.OpenImage(disk.c_str(), nullptr, 0, 2), 0);
  std::vector<uint8_t> fill(4 * kMiB, 0x5A);
  auto name = [](const wchar_t* format, int i) {
    wchar_t text[32];
    swprintf(text, 32, format, i);
    return std::wstring(text);
  };
  auto make = [&](const std::wstring& path, const void* data, size_t bytes) {
    return image.CreatePath(path.c_str(), 0x8000) == 1 &&
           image.WriteFile(path.c_str(), data, 0, bytes) == bytes;
  };
  int count = 0;
  while (make(name(L"\\z%02d.bin", count), fill.data(), fill.size())) count++;
  EXPECT_GT(count, 30);
  auto drop = [&](const wchar_t* format, int from, int to, int step) {
    for (int i = from; i <= to; i += step) EXPECT_EQ(1, image.DeletePath(name(format, i).c_str()));
  };
  drop(L"\\z%02d.bin", 20, 34, 1);
  for (int i = 0; i < 1500; i++) EXPECT_TRUE(make(name(L"\\Dir\\f%04d.txt", i), "hello", 5));
  for (int i = 0; i < combs; i++) EXPECT_TRUE(make(name(L"\\c%04d.bin", i), fill.data(), 4096));
  drop(L"\\c%04d.bin", 0, combs - 1, 2);
  EXPECT_TRUE(make(L"\\a.bin", a->data(), a->size()));
  drop(L"\\c%04d.bin", 1, combs - 1, 2);
  drop(L"\\z%02d.bin", 0, 19, 1);
  drop(L"\\z%02d.bin", 35, count, 1);
  EXPECT_TRUE(image.Close());
  return start;
}

TEST(NtfsResize, ShrinkMovesTheMftData) {
  std::wstring disk = Scratch() + L"\\mft.img";
  std::vector<uint8_t> a;
  uint64_t start = MakeShrinkDisk(disk, 1300, &a);
  std::string out;
  ASSERT_EQ(0, OnPartition(disk, start * 512, 160 * kMiB,
                           "ntfsinfo -v -i 0 $DEV | sed -n '/attribute $DATA/,/attribute $BITMAP/p'"
                           " | awk '$2 ~ /^0x/ {n++} END {print n}'",
                           &out));
  EXPECT_GT(atoi(out.c_str()), 50) << "runs of $MFT's data";
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(disk.c_str(), nullptr, 0, 2), 0);
    EXPECT_EQ(1, ResizeNtfsFileSystem(&image, 40 * kMiB));
    EXPECT_TRUE(image.Close());
  }
  uint64_t clusters = (40 * kMiB - 512) / 4096;
  EXPECT_EQ(clusters * 8, BootSectors(disk, start));
  ExpectSoundVolume(disk, start, clusters * 8 + 1);
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(gDir + "/a.ref"), a));
  EXPECT_EQ(0, OnPartition(disk, start * 512, (clusters * 8 + 1) * 512,
                           "ntfscat $DEV a.bin | cmp - " + gDir +
                               "/a.ref && ntfscat $DEV Dir/f1499.txt | grep -q hello"
                               " && ntfsls -p /Dir $DEV | grep -c '^f'",
                           &out))
      << out;
  EXPECT_NE(std::string::npos, out.find("1500")) << out;
}

// With more pieces $MFT needs an attribute list; it is not moved, and the
// shrink is refused before anything changed.
TEST(NtfsResize, ShrinkLeavesAnMftWithAnAttributeList) {
  std::wstring disk = Scratch() + L"\\mftlist.img";
  std::vector<uint8_t> a;
  uint64_t start = MakeShrinkDisk(disk, 3000, &a);
  std::string out;
  ASSERT_EQ(0, OnPartition(disk, start * 512, 160 * kMiB,
                           "ntfsinfo -v -i 0 $DEV | grep -c 'Dumping attribute list'", &out));
  std::vector<uint8_t> before = ReadBytes(disk, 0, 512);
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(disk.c_str(), nullptr, 0, 2), 0);
    EXPECT_EQ(0, ResizeNtfsFileSystem(&image, 40 * kMiB));
    EXPECT_TRUE(image.Close());
  }
  EXPECT_EQ(before, ReadBytes(disk, 0, 512));
  ExpectSoundVolume(disk, start, 160 * 2048);
}

TEST(NtfsResize, OneBadClusterAndTheListRebuilt) {
  std::wstring disk = Scratch() + L"\\bad.img";
  uint64_t start = MakeDisk(disk, "mbr2048", 60, 64);
  CMountedImage image;
  ASSERT_GE(image.OpenImage(disk.c_str(), nullptr, 0, 2), 0);
  ASSERT_TRUE(RecordBadCluster(image.NtfsVolume(), 14000));
  ASSERT_EQ(1, image.RemountNtfs());
  EXPECT_EQ(1u, CountVolumeBadSectors(&image));
  // It prints the bad-sector warning with the count 1 and no plural.
  EXPECT_EQ(1, ResizeNtfsFileSystem(&image, 60 * kMiB));
  EXPECT_EQ(0u, CountVolumeBadSectors(&image));
  EXPECT_TRUE(image.Close());
  ExpectSoundVolume(disk, start, (60 * kMiB - 512) / 4096 * 8 + 1);
}

TEST(PartitionResize, GrowsTheMbrPartitionOfAnOwnFormatImage) {
  InstallNtfsFormatter();
  struct Case {
    const char* layout;
    uint64_t start;
  } cases[] = {{"mbr63", 63}, {"mbr2048", 2048}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.layout);
    std::wstring raw = Scratch() + L"\\own-" + vt::Widen(c.layout) + L".img";
    EXPECT_EQ(c.start, MakeDisk(raw, c.layout, 60, 64));
    std::wstring own = ToOwnFormat(raw, 64);
    CMountedImage image;
    ASSERT_GE(image.OpenImage(own.c_str(), nullptr, 0, 2), 0);
    ASSERT_EQ(1, ResizeImagePartition(&image, 128));
    // 128 MiB is 262,144 sectors: the partition runs from its start to the
    // disk's last sector, and the volume leaves one for the backup.
    uint64_t length = 262144 - c.start;
    uint64_t clusters = (length * 512 - 512) / 4096;
    std::wstring back = raw + L".back";
    ToRaw(image, back, 128 * kMiB);
    EXPECT_TRUE(image.Close());
    std::vector<uint8_t> mbr = ReadBytes(back, 0, 512);
    EXPECT_EQ(clusters * 8 + 1, Le32(&mbr[446 + 12]));
    EXPECT_EQ(clusters * 8, BootSectors(back, c.start));
    ExpectSoundVolume(back, c.start, clusters * 8 + 1);
  }
}

// "/size:" of partition 0 of an own-format image whose MBR holds a second
// partition: after it, the grow would run over it and is refused with a
// line naming it, the image file byte for byte as it was; before it (entry
// 1 at LBA 2048, entry 0 behind it), the room after partition 0 is free and
// it grows: sfdisk reads the table, the other volume is as it was and the
// grown one is sound.
TEST(PartitionResize, AnMbrGrowRunsOverNoOtherPartition) {
  InstallNtfsFormatter();
  std::wstring raw = Scratch() + L"\\pair.img";
  std::string out, unixRaw = vt::Q(vt::ToUnix(raw));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + unixRaw + " --layout mbr-pair --size 30 --tree " +
                              vt::Q(MakeTree()),
                          &out));
  uint64_t second = strtoull(out.c_str(), nullptr, 10);
  std::wstring own = ToOwnFormat(raw, 64);
  std::string unixOwn = vt::Q(vt::ToUnix(own)), saved = vt::Q(gDir + "/saved.img");
  auto grow = [&](const std::wstring& image, int mib, std::string* printed) {
    DWORD code = 0xDEADBEEF;
    EXPECT_TRUE(apptest::RunProgram(
        L"\"-img:" + image + L"\" -noupd /size:" + std::to_wstring(mib), code, printed));
    return code;
  };
  // Settled by a first writable open (a size not above partition 0's
  // 16 MiB volume), then copied to compare.
  EXPECT_EQ(DWORD(-13), grow(own, 8, &out)) << out;
  ASSERT_EQ(0, vt::Sh("cp " + unixOwn + " " + saved));
  EXPECT_EQ(DWORD(-2), grow(own, 128, &out));
  EXPECT_NE(std::string::npos,
            out.find("pair.img.vro: partition 0 cannot grow to 128 MiB: partition 1 "
                     "(sectors " +
                     std::to_string(second) + "-" + std::to_string(second + 30 * 2048 - 1) +
                     ") lies in the sectors it would take (the disk is 64 "
                     "MiB; partition 0 has no room to grow)"))
      << out;
  EXPECT_EQ(0, vt::Sh("cmp " + saved + " " + unixOwn + " && test ! -e " + unixOwn + ".undo", &out))
      << out;
  // Partition 1 moved to 24 MiB: a disk of 24 MiB would end before it, but
  // "/size:24" is refused (-13: in steps of 8 MiB it asks for no more than
  // the 16 MiB volume), so the line offers no size.
  const std::wstring moved = vt::ToWin(gDir + "/moved.img");
  ASSERT_EQ(0, vt::Sh("cp " + unixRaw + " " + vt::Q(vt::ToUnix(moved)) +
                      " && printf 'start=2048, size=32768, type=7\\nstart=49152, size=40960, "
                      "type=7\\n' | sfdisk -q --no-reread " +
                      vt::Q(vt::ToUnix(moved)) + " >/dev/null 2>&1"));
  const std::wstring movedOwn = ToOwnFormat(moved, 64);
  EXPECT_EQ(DWORD(-2), grow(movedOwn, 128, &out));
  EXPECT_NE(std::string::npos, out.find("(the disk is 64 MiB; partition 0 has no room to grow by "
                                        "a size the size commands take"))
      << out;
  EXPECT_EQ(DWORD(-13), grow(movedOwn, 24, &out)) << out;

  // Entries 0 and 1 exchanged: partition 0 is the data volume behind the
  // other, and the disk after it is free.
  ASSERT_EQ(0, vt::Sh("python3 -c \"import sys; f=open(sys.argv[1],'r+b'); m=bytearray(f.read(512)); "
                      "m[446:462],m[462:478]=m[462:478],m[446:462]; f.seek(0); f.write(m)\" " +
                      unixRaw));
  std::vector<uint8_t> other = ReadBytes(raw, 2048 * 512, 16 * kMiB);
  own = ToOwnFormat(raw, 64);
  EXPECT_EQ(0u, grow(own, 128, &out)) << out;
  std::wstring back = raw + L".back";
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(own.c_str(), nullptr, 0, 0), 0);
    ToRaw(image, back, 128 * kMiB);
    EXPECT_TRUE(image.Close());
  }
  std::string unixBack = vt::Q(vt::ToUnix(back));
  uint64_t clusters = ((262144 - second) * 512 - 512) / 4096;
  EXPECT_EQ(0, vt::Sh("sfdisk -V " + unixBack + " 2>&1 && sfdisk -d " + unixBack + " | tr -d ' '",
                      &out))
      << out;
  EXPECT_NE(std::string::npos, out.find("No errors detected")) << out;
  EXPECT_NE(std::string::npos, out.find("start=" + std::to_string(second) + ",size=" +
                                        std::to_string(clusters * 8 + 1) + ",type=7"))
      << out;
  EXPECT_NE(std::string::npos, out.find("start=2048,size=32768,type=7")) << out;
  std::vector<uint8_t> mbr = ReadBytes(back, 0, 512);
  EXPECT_EQ(second, Le32(&mbr[446 + 8]));
  EXPECT_EQ(2048u, Le32(&mbr[462 + 8]));
  EXPECT_EQ(16u * 2048, Le32(&mbr[462 + 12]));
  EXPECT_TRUE(other == ReadBytes(back, 2048 * 512, 16 * kMiB));
  EXPECT_EQ(clusters * 8 + 1, Le32(&mbr[446 + 12]));
  ExpectSoundVolume(back, second, clusters * 8 + 1);
}

// The program run on an image with the arguments after "-img:"; its exit
// code, its lines in *out.
DWORD RunOn(const std::wstring& image, const std::wstring& arguments, std::string* out) {
  DWORD code = 0xDEADBEEF;
  EXPECT_TRUE(apptest::RunProgram(L"\"-img:" + image + L"\" " + arguments, code, out));
  return code;
}

uint64_t FileBytes(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The sectors of an opened disk: the largest size one of its layers
// declares (the base, an update file or a write-back file).
uint64_t OpenDiskSectors(CMountedImage& image) {
  uint64_t capacity = 0;
  for (_VROH_RW_CLASS& layer : image.DiskObject()->Layers()->m_Layers)
    if (layer.IsOpen() && layer.m_nCapacity > capacity) capacity = layer.m_nCapacity;
  return capacity - 1;
}

// "/size:" below the size of the disk (400 MiB, partition 0 of 48 MiB, and
// partition 1 at its end, as Windows leaves a disk whose C: it shrank to
// make D:) never makes the disk smaller nor cuts partition 1. An own-format
// image's partition 0 grows inside the disk, into the image, an update file
// or (by the export) a write-back file: the disk keeps its declared size,
// partition 1 is byte for byte as it was, sfdisk reads the table and the
// grown volume is sound. A size that would reach partition 1 is refused
// with a line naming it, the disk's size and the most partition 0 can take;
// a raw image and a fixed VHD of the disk are refused with a line naming
// their fixed size, a dynamic VHD without a write-back file with one naming
// that; each refused image is byte for byte as it was.
TEST(PartitionResize, AGrowBelowTheDiskSizeKeepsTheDiskAndItsLastPartition) {
  InstallNtfsFormatter();
  const uint64_t kDisk = 400 * 2048, kSecond = 614400;
  std::wstring raw = Scratch() + L"\\end.img";
  ASSERT_EQ(2048u, MakeDisk(raw, "mbr2048", 48, 400));
  std::string unixRaw = vt::Q(vt::ToUnix(raw)), out;
  ASSERT_EQ(
      0, vt::Sh("echo 'start=614400, size=204800, type=7' | sfdisk -q -a " + unixRaw +
                    " >/dev/null && for at in 614400 817152; do head -c 1M /dev/urandom | dd of=" +
                    unixRaw + " bs=512 seek=$at conv=notrunc status=none; done",
                &out))
      << out;
  const std::wstring own = ToOwnFormat(raw, 400);
  const std::wstring back = raw + L".back";
  const std::string unixBack = vt::Q(vt::ToUnix(back));
  // The disk through its overlays: its size, partition 0 running to `end`
  // (the whole clusters of its volume there, and the backup boot sector),
  // partition 1 as in the raw file, both in sfdisk's reading, partition 0's
  // volume sound.
  auto expectGrownInside = [&](const std::wstring& image, const wchar_t* fix, uint64_t end) {
    uint64_t length = ((end - 2048) * 512 - 512) / 4096 * 8 + 1;
    {
      CMountedImage m;
      ASSERT_GE(m.OpenImage(image.c_str(), fix, 0, 0), 0);
      EXPECT_EQ(kDisk, OpenDiskSectors(m));
      ToRaw(m, back, kDisk * 512);
      EXPECT_TRUE(m.Close());
    }
    std::string out;
    EXPECT_EQ(0, vt::Sh("sfdisk -V " + unixBack + " 2>&1 && sfdisk -d " + unixBack +
                            " | tr -d ' ' && cmp -i " + std::to_string(kSecond * 512) + " " +
                            unixRaw + " " + unixBack,
                        &out))
        << out;
    EXPECT_NE(std::string::npos, out.find("start=2048,size=" + std::to_string(length) + ","))
        << out;
    EXPECT_NE(std::string::npos, out.find("start=614400,size=204800,type=7")) << out;
    ExpectSoundVolume(back, 2048, length);
  };

  // Into the image: 100 MiB and then 200 MiB grow inside the disk (to the
  // end of a disk of that size, rounded up to 8 MiB); 300 MiB would take
  // sectors of partition 1 (the most is 296).
  const std::wstring a = own + L".a";
  ASSERT_TRUE(CopyFileW(own.c_str(), a.c_str(), FALSE));
  EXPECT_EQ(0u, RunOn(a, L"-noupd /size:100", &out)) << out;
  expectGrownInside(a, nullptr, 212992);
  EXPECT_EQ(0u, RunOn(a, L"-noupd /size:200", &out)) << out;
  expectGrownInside(a, nullptr, 409600);
  std::string hash = vt::Sha256(a);
  EXPECT_EQ(DWORD(-2), RunOn(a, L"-noupd /size:300", &out));
  EXPECT_NE(std::string::npos,
            out.find("end.img.vro.a: partition 0 cannot grow to 300 MiB: partition 1 (sectors "
                     "614400-819199) lies in the sectors it would take (the disk is 400 MiB; "
                     "partition 0 can take at most 296 MiB): nothing was written"))
      << out;
  EXPECT_EQ(hash, vt::Sha256(a));

  // Into an update file, and into a write-back file: the image itself is
  // left as it was.
  const std::wstring b = own + L".b", c = own + L".c", fix = own + L".c.fix";
  ASSERT_TRUE(CopyFileW(own.c_str(), b.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(own.c_str(), c.c_str(), FALSE));
  hash = vt::Sha256(own);
  EXPECT_EQ(0u, RunOn(b, L"/size:200", &out)) << out;
  EXPECT_EQ(hash, vt::Sha256(b));
  expectGrownInside(b + L"_01.Upd", nullptr, 409600);
  EXPECT_EQ(kImageOk, ImageSetPartitionSizeW(c.c_str(), fix.c_str(), 0, 100, 0));
  EXPECT_EQ(hash, vt::Sha256(c));
  expectGrownInside(c, fix.c_str(), 212992);

  // Disks whose size is fixed.
  const std::string& dir = gDir;
  ASSERT_EQ(0, vt::Sh("qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on " + unixRaw +
                          " " + vt::Q(dir + "/fixed.vhd") +
                          " && qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on " +
                          unixRaw + " " + vt::Q(dir + "/dynamic.vhd"),
                      &out))
      << out;
  const std::wstring dynamic = vt::ToWin(dir + "/dynamic.vhd");
  for (const std::wstring& fixed : {raw, vt::ToWin(dir + "/fixed.vhd"), dynamic}) {
    SCOPED_TRACE(vt::Narrow(fixed));
    hash = vt::Sha256(fixed);
    EXPECT_EQ(DWORD(-2), RunOn(fixed, L"-noupd /size:100", &out));
    // A dynamic VHD takes no write without its write-back file.
    EXPECT_NE(std::string::npos,
              out.find(vt::Narrow(fixed) +
                       (fixed == dynamic ? ": a dynamic VHD takes writes only through a "
                                           "write-back file (-fix:)"
                                         : ": an MBR partition grows only in an image of the own "
                                           "sparse format (this image's size is fixed at 400 MiB")))
        << out;
    EXPECT_EQ(hash, vt::Sha256(fixed));
  }
}

TEST(PartitionResize, RawImagesAndOtherSizesAreRefused) {
  std::wstring disk = Scratch() + L"\\raw.img";
  MakeDisk(disk, "mbr2048", 40, 96);
  std::vector<uint8_t> before = ReadBytes(disk, 0, 512);
  CMountedImage image;
  ASSERT_GE(image.OpenImage(disk.c_str(), nullptr, 0, 2), 0);
  EXPECT_EQ(0, ResizeImagePartition(&image, 80));
  EXPECT_EQ(0, HasEfiSystemPartition(&image));
  EXPECT_TRUE(image.Close());
  EXPECT_EQ(before, ReadBytes(disk, 0, 512));
}

// "/size:" of the last GPT partition of a disk whose size is fixed grows it
// inside the disk: a raw image as sgdisk leaves it, one whose file grew
// after sgdisk wrote it, a fixed VHD, and a dynamic VHD through a
// write-back file (by the export). The file keeps its size, the backup
// table lies in the disk's last sectors (the grown file's moves there),
// sgdisk -v finds the disk sound and the partition ending where it was
// asked to, and the volume is sound. A size past the disk's end is refused
// with a line naming the disk's size and the most the partition can take,
// the image byte for byte as it was; so is one of the program's own
// "/p /gpt /convert:" images, and any size of the dynamic VHD without its
// write-back file, whose line names that instead of offering a size. A
// grown disk converts into a sound copy.
TEST(PartitionResize, GrowsTheLastGptPartitionAndBothTables) {
  InstallNtfsFormatter();
  std::wstring grownFile = Scratch() + L"\\gpt.img";
  uint64_t start = MakeDisk(grownFile, "gpt", 40, 100);
  const std::string& dir = gDir;
  std::string out;
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(dir) +
                          " && cp gpt.img sound.img && sgdisk -e sound.img "
                          ">/dev/null && sgdisk -v sound.img | grep -q 'No problems found' && "
                          "qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on "
                          "sound.img fixed.vhd && qemu-img convert -f raw -O vpc -o "
                          "subformat=dynamic,force_size=on sound.img dynamic.vhd",
                      &out))
      << out;
  const std::wstring sound = vt::ToWin(dir + "/sound.img"), fixed = vt::ToWin(dir + "/fixed.vhd"),
                     dynamic = vt::ToWin(dir + "/dynamic.vhd"), fix = dynamic + L".fix";
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(grownFile.c_str(), nullptr, 0, 2), 0);
    EXPECT_EQ(0, HasEfiSystemPartition(&image));
    EXPECT_EQ(0, ResizeImagePartition(&image, 40));  // not larger
    EXPECT_TRUE(image.Close());
  }

  // Past the end: of the 100 MiB disk the partition may take sectors 2048
  // to 204766 (the backup table holds the last 33), 98 MiB.
  std::map<std::wstring, std::string> hashes;
  for (const std::wstring& image : {sound, fixed, dynamic}) hashes[image] = vt::Sha256(image);
  for (const std::wstring& image : {sound, fixed}) {
    SCOPED_TRACE(vt::Narrow(image));
    EXPECT_EQ(DWORD(-2), RunOn(image, L"-noupd /size:200", &out));
    EXPECT_NE(std::string::npos,
              out.find(vt::Narrow(image) + ": partition 1 cannot grow to 200 MiB: the disk's "
                                           "size is fixed (a plain image or a VHD) at 100 MiB "
                                           "(204800 sectors, the backup GPT in the last 33)"))
        << out;
    EXPECT_NE(std::string::npos, out.find("partition 1 can take at most 98 MiB: not grown")) << out;
    EXPECT_EQ(std::string::npos, out.find("failed with")) << out;
  }
  EXPECT_EQ(kImageVolumeOperationFailed,
            ImageSetPartitionSizeW(dynamic.c_str(), fix.c_str(), 0, 200, 0));
  // Without its write-back file a dynamic VHD grows to no size: none is
  // offered, the line names why.
  for (const wchar_t* size : {L"/size:200", L"/size:80"}) {
    EXPECT_EQ(DWORD(-2), RunOn(dynamic, size, &out));
    EXPECT_NE(std::string::npos,
              out.find(vt::Narrow(dynamic) + ": a dynamic VHD takes writes only through a "
                                             "write-back file (-fix:)"))
        << out;
    EXPECT_EQ(std::string::npos, out.find("can take at most")) << out;
  }
  EXPECT_EQ(kImageVolumeOperationFailed, ImageSetPartitionSizeW(dynamic.c_str(), L"", 0, 80, 0));
  for (const auto& h : hashes) EXPECT_EQ(h.second, vt::Sha256(h.first)) << vt::Narrow(h.first);

  // Inside: to 80 MiB.
  const uint64_t last = start + 80 * 2048 - 1;
  auto expectSound = [&](const std::wstring& disk) {
    SCOPED_TRACE(vt::Narrow(disk));
    std::string out, unix = vt::Q(vt::ToUnix(disk));
    EXPECT_EQ(0, vt::Sh("sgdisk -v " + unix + " && sgdisk -i 2 " + unix, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("No problems found")) << out;
    EXPECT_NE(std::string::npos, out.find("Last sector: " + std::to_string(last))) << out;
    EXPECT_EQ(std::string("EFI PART"),
              std::string((const char*)&ReadBytes(disk, 204799 * 512, 8)[0], 8));
    ExpectSoundVolume(disk, start, 80 * 2048);
  };
  for (const std::wstring& image : {grownFile, sound, fixed}) {
    SCOPED_TRACE(vt::Narrow(image));
    uint64_t bytes = FileBytes(image);
    EXPECT_EQ(0u, RunOn(image, L"-noupd /size:80", &out)) << out;
    EXPECT_EQ(bytes, FileBytes(image));
  }
  expectSound(grownFile);
  expectSound(sound);
  ASSERT_EQ(0,
            vt::Sh("cd " + vt::Q(dir) + " && qemu-img convert -f vpc -O raw fixed.vhd fixed.raw"));
  expectSound(vt::ToWin(dir + "/fixed.raw"));
  EXPECT_EQ(kImageOk, ImageSetPartitionSizeW(dynamic.c_str(), fix.c_str(), 0, 80, 0));
  EXPECT_EQ(hashes[dynamic], vt::Sha256(dynamic));
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(dynamic.c_str(), fix.c_str(), 0, 0), 0);
    ToRaw(image, vt::ToWin(dir + "/dynamic.raw"), 100 * kMiB);
    EXPECT_TRUE(image.Close());
  }
  expectSound(vt::ToWin(dir + "/dynamic.raw"));

  // The grown partition is longer than its volume and the sector behind it
  // (the volume ends on a whole cluster): it converts, plain and into the
  // own format, into a partition that holds the volume; sgdisk -v finds
  // the copy sound, and so do ntfs-3g's tools its volume.
  for (const wchar_t* kind : {L"/p ", L""}) {
    SCOPED_TRACE(vt::Narrow(kind));
    const std::wstring copy = vt::ToWin(dir + "/grown.copy"), bare = vt::ToWin(dir + "/grown.raw");
    EXPECT_EQ(0u, RunOn(copy, kind + std::wstring(L"\"/convert:") + sound + L"\"", &out)) << out;
    {
      CMountedImage image;
      ASSERT_GE(image.OpenImage(copy.c_str(), nullptr, 0, 0), 0);
      ToRaw(image, bare, OpenDiskSectors(image) * 512);
      EXPECT_TRUE(image.Close());
    }
    const std::string unix = vt::Q(vt::ToUnix(bare));
    EXPECT_EQ(0, vt::Sh("sgdisk -v " + unix + " | grep -q 'No problems found' && sgdisk -i 2 " +
                            unix,
                        &out))
        << out;
    const uint64_t first = strtoull(out.c_str() + out.find("First sector: ") + 14, nullptr, 10);
    const uint64_t count =
        strtoull(out.c_str() + out.find("Last sector: ") + 13, nullptr, 10) - first + 1;
    EXPECT_EQ(BootSectors(bare, first) + 1, count) << "the backup boot sector ends it";
    ExpectSoundVolume(bare, first, count);
  }

  // The program's own plain GPT image, made to hold its volume.
  const std::wstring converted = vt::ToWin(dir + "/conv.img");
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/mbr.img") + " --size 40"));
  ASSERT_EQ(0u,
            RunOn(converted, L"/p /gpt \"/convert:" + vt::ToWin(dir + "/mbr.img") + L"\"", &out))
      << out;
  std::string hash = vt::Sha256(converted);
  EXPECT_EQ(DWORD(-2), RunOn(converted, L"-noupd /size:2000", &out));
  EXPECT_NE(std::string::npos, out.find("conv.img: partition ")) << out;
  EXPECT_NE(std::string::npos, out.find(" cannot grow to 2000 MiB: the disk's size is fixed"))
      << out;
  EXPECT_EQ(hash, vt::Sha256(converted));

  uint8_t sector[512];
  memset(sector, 0x5A, sizeof sector);
  BuildProtectiveMbr(sector);
  EXPECT_EQ(0xEE, sector[450]);
  EXPECT_EQ(1u, Le32(sector + 454));
  EXPECT_EQ(0xFFFFFFFFu, Le32(sector + 458));
  EXPECT_EQ(0, sector[0]);
  EXPECT_EQ(0, sector[462]);
  EXPECT_EQ(0x55, sector[510]);
  EXPECT_EQ(0xAA, sector[511]);
}

// "/size:" of an own-format image's last GPT partition: inside the disk
// (56 MiB of a 64 MiB disk) it keeps the image's declared size; past its
// end it raises it first. Read at that size, sgdisk finds both tables
// sound, the partition ending where it was asked to, or, grown past the
// old end, up to the backup table, and the volume mounts.
TEST(PartitionResize, GrowsTheLastGptPartitionOfAnOwnFormatImage) {
  InstallNtfsFormatter();
  std::wstring raw = Scratch() + L"\\gpt-own.img";
  uint64_t start = MakeDisk(raw, "gpt", 40, 64);
  std::wstring own = ToOwnFormat(raw, 64);
  std::wstring back = raw + L".back";
  std::string out, unix = vt::Q(vt::ToUnix(back));
  auto expectSound = [&](uint64_t sectors, uint64_t last, bool mount) {
    {
      CMountedImage image;
      ASSERT_GE(image.OpenImage(own.c_str(), nullptr, 0, 0), 0);
      ToRaw(image, back, sectors * 512);
      EXPECT_TRUE(image.Close());
    }
    EXPECT_EQ(0, vt::Sh("sgdisk -v " + unix, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("No problems found")) << out;
    EXPECT_EQ(0, vt::Sh("sgdisk -i 2 " + unix + " | grep 'Last sector'", &out));
    EXPECT_NE(std::string::npos, out.find(std::to_string(last))) << out;
    ExpectSoundVolume(back, start, last - start + 1, mount);
  };
  uint64_t sectors = DeclaredSectors(own);
  EXPECT_EQ(0u, RunOn(own, L"-noupd /size:56", &out)) << out;
  EXPECT_EQ(sectors, DeclaredSectors(own));
  expectSound(sectors, start + 56 * 2048 - 1, false);

  EXPECT_EQ(0u, RunOn(own, L"-noupd /size:100", &out)) << out;
  sectors = DeclaredSectors(own);
  EXPECT_GE(sectors, start + 100 * 2048 + 4098);
  expectSound(sectors, sectors - 4098, true);
}

std::vector<uint8_t> DiskBytes(const std::wstring& own, uint64_t bytes) {
  std::wstring raw = own + L".raw";
  CMountedImage image;
  EXPECT_GE(image.OpenImage(own.c_str(), nullptr, 0, 0), 0);
  ToRaw(image, raw, bytes);
  EXPECT_TRUE(image.Close());
  std::vector<uint8_t> all;
  EXPECT_TRUE(vt::ReadAll(raw, all));
  return all;
}

// An own-format copy of a 60 MiB volume on a 64 MiB disk, settled by a
// first writable mount (the journal and the flags); its disk bytes, its
// declared sectors and the partition's start.
struct SettledImage {
  std::wstring raw, own, work;
  uint64_t start = 0, sectors = 0;
  std::vector<uint8_t> before;
  // A shell line that makes the work copy anew (its side files gone).
  std::string copy;
};

SettledImage MakeSettledImage(const wchar_t* name) {
  SettledImage m;
  m.raw = Scratch() + L"\\" + name;
  m.start = MakeDisk(m.raw, "mbr2048", 60, 64);
  m.own = ToOwnFormat(m.raw, 64);
  m.work = m.own + L".work";
  {
    CMountedImage image;
    EXPECT_GE(image.OpenImage(m.own.c_str(), nullptr, 0, 2), 0);
    EXPECT_TRUE(image.Close());
  }
  m.before = DiskBytes(m.own, 64 * kMiB);
  m.sectors = DeclaredSectors(m.own);
  m.copy = "rm -f " + vt::Q(vt::ToUnix(m.work)) + "* && cp " + vt::Q(vt::ToUnix(m.own)) + " " +
           vt::Q(vt::ToUnix(m.work));
  return m;
}

// A grow whose n-th write fails, for every n over the whole grow, leaves
// the disk byte for byte and its declared size as they were; a grow after
// it goes through; the grow that meets no failure is whole.
TEST(PartitionResize, AGrowThatFailsAtAnyWriteLeavesTheDiskAsItWas) {
  InstallNtfsFormatter();
  SettledImage m = MakeSettledImage(L"fail.img");
  const std::wstring& raw = m.raw;
  const std::wstring& work = m.work;
  const std::vector<uint8_t>& before = m.before;
  uint64_t start = m.start, sectors = m.sectors;
  const std::string& copy = m.copy;
  for (int n = 1;; n++) {
    SCOPED_TRACE(n);
    ASSERT_EQ(0, vt::Sh(copy));
    CMountedImage image;
    ASSERT_GE(image.OpenImage(work.c_str(), nullptr, 0, 2), 0);
    int grown, writes;
    {
      FailingWrites failing(image.IoBlock(), n);
      grown = ResizeImagePartition(&image, 128);
      writes = failing.Writes();
    }
    if (writes < n) {
      EXPECT_EQ(1, grown);
      EXPECT_TRUE(image.Close());
      ASSERT_GT(n, 10);
      break;
    }
    EXPECT_EQ(0, grown);
    if (n == 3) {
      // Through an update file, which the grow opens: it keeps the size too.
      EXPECT_TRUE(image.Close());
      ASSERT_EQ(0, vt::Sh(copy));
      ASSERT_GE(image.OpenImage(work.c_str(), nullptr, 0, 1), 0);
      {
        FailingWrites failing(image.IoBlock(), n);
        EXPECT_EQ(0, ResizeImagePartition(&image, 128));
      }
      EXPECT_TRUE(image.DiskObject()->Layers()->Update().IsOpen());
      EXPECT_EQ(sectors + 1, image.DiskObject()->Layers()->Update().m_nCapacity);
      EXPECT_TRUE(image.Close());
      EXPECT_TRUE(before == DiskBytes(work + L"_01.Upd", 64 * kMiB));
    }
    if (n == 5) {
      EXPECT_EQ(1, ResizeImagePartition(&image, 128));
    }
    EXPECT_TRUE(image.Close());
    if (n == 5) continue;
    EXPECT_EQ(sectors, DeclaredSectors(work));
    ASSERT_TRUE(before == DiskBytes(work, 64 * kMiB));
  }
  uint64_t length = 262144 - start;
  uint64_t clusters = (length * 512 - 512) / 4096;
  std::wstring back = raw + L".back";
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(work.c_str(), nullptr, 0, 0), 0);
    ToRaw(image, back, 128 * kMiB);
    EXPECT_TRUE(image.Close());
  }
  EXPECT_EQ(clusters * 8, BootSectors(back, start));
  ExpectSoundVolume(back, start, clusters * 8 + 1, true);

  // The grow of a plain GPT disk's last partition writes both tables (the
  // backup one in the disk's last sectors, where the file's growth left it
  // short of them) and then the volume: one whose n-th write fails leaves
  // the file byte for byte as it was; the one that meets no failure leaves
  // a disk sgdisk finds sound.
  std::wstring gpt = raw + L".gpt", gptWork = gpt + L".work";
  uint64_t gptStart = MakeDisk(gpt, "gpt", 40, 64);
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(gpt.c_str(), nullptr, 0, 2), 0);
    EXPECT_TRUE(image.Close());
  }
  const std::string hash = vt::Sha256(gpt);
  for (int n = 1;; n++) {
    SCOPED_TRACE("GPT, failed at write " + std::to_string(n));
    ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(vt::ToUnix(gpt)) + " " +
                        vt::Q(vt::ToUnix(gptWork))));
    CMountedImage image;
    ASSERT_GE(image.OpenImage(gptWork.c_str(), nullptr, 0, 2), 0);
    int grown, writes;
    {
      FailingWrites failing(image.IoBlock(), n);
      grown = ResizeImagePartition(&image, 56);
      writes = failing.Writes();
    }
    EXPECT_TRUE(image.Close());
    if (writes < n) {
      EXPECT_EQ(1, grown);
      ASSERT_GT(n, 4);
      break;
    }
    EXPECT_EQ(0, grown);
    ASSERT_EQ(hash, vt::Sha256(gptWork));
  }
  std::string out, unix = vt::Q(vt::ToUnix(gptWork));
  EXPECT_EQ(0, vt::Sh("sgdisk -v " + unix + " | grep 'No problems found'", &out)) << out;
  ExpectSoundVolume(gptWork, gptStart, 56 * 2048);
}

// A grow whose process dies at any write of the image or of its undo
// journal (the write and all after it never happen), or whose write fails
// there: the next open, writable or not, finds the disk byte for byte and
// its declared size as they were, or the volume grown whole; a grow after
// it goes through and leaves a sound volume.
TEST(PartitionResize, AGrowStoppedAtAnyWriteIsRolledBackAtTheNextOpen) {
  InstallNtfsFormatter();
  SettledImage m = MakeSettledImage(L"stop.img");
  const uint64_t clusters = ((262144 - m.start) * 512 - 512) / 4096;
  struct Variant {
    it::WriteFaults::Mode fault;
    int openMode;  // 2: into the image; 1: into an update file, opened by its name later
  } variants[] = {{it::WriteFaults::STOP, 2}, {it::WriteFaults::FAIL, 2},
                  {it::WriteFaults::STOP, 1}};
  int rolledBack = 0;
  for (const Variant& v : variants) {
    std::wstring view = v.openMode == 2 ? m.work : m.work + L"_01.Upd";
    int writes = 0;
    {
      ASSERT_EQ(0, vt::Sh(m.copy));
      CMountedImage image;
      ASSERT_GE(image.OpenImage(m.work.c_str(), nullptr, 0, v.openMode), 0);
      it::WriteFaults count(it::WriteFaults::COUNT, 0);
      ASSERT_EQ(1, ResizeImagePartition(&image, 128));
      EXPECT_TRUE(image.Close());
      writes = count.Count();
    }
    ASSERT_GT(writes, 10);
    // Every write of a small grow; past 120 a sample of them.
    for (int n = 1; n <= writes; n += writes > 120 ? 1 + n % 5 : 1) {
      SCOPED_TRACE(std::string(v.fault == it::WriteFaults::STOP ? "stopped" : "failed") +
                   " at write " + std::to_string(n) + " of " + std::to_string(writes) +
                   ", write mode " + std::to_string(v.openMode));
      ASSERT_EQ(0, vt::Sh(m.copy));
      {
        CMountedImage image;
        ASSERT_GE(image.OpenImage(m.work.c_str(), nullptr, 0, v.openMode), 0);
        it::WriteFaults faults(v.fault, n);
        ResizeImagePartition(&image, 128);
        image.Close();
      }
      if (!vt::FileExists(view)) continue;  // stopped before the update file was made
      {
        // A read-only open (every other one) has it rolled back first.
        CMountedImage image;
        ASSERT_GE(image.OpenImage(view.c_str(), nullptr, 0, n % 2 ? v.openMode : 0), 0);
        EXPECT_TRUE(image.Close());
      }
      EXPECT_EQ(0, vt::Sh("test ! -e " + vt::Q(vt::ToUnix(view) + ".undo")));
      if (DeclaredSectors(view) != m.sectors) {
        std::wstring back = m.raw + L".back";
        CMountedImage image;
        ASSERT_GE(image.OpenImage(view.c_str(), nullptr, 0, 0), 0);
        ToRaw(image, back, 128 * kMiB);
        EXPECT_TRUE(image.Close());
        EXPECT_EQ(clusters * 8, BootSectors(back, m.start));
        ExpectSoundVolume(back, m.start, clusters * 8 + 1);
        continue;
      }
      rolledBack++;
      ASSERT_TRUE(m.before == DiskBytes(view, 64 * kMiB));
      if (n % 9 != 1 || v.openMode != 2) continue;
      CMountedImage image;
      ASSERT_GE(image.OpenImage(m.work.c_str(), nullptr, 0, 2), 0);
      EXPECT_EQ(1, ResizeImagePartition(&image, 128));
      EXPECT_TRUE(image.Close());
      std::wstring back = m.raw + L".back";
      ASSERT_GE(image.OpenImage(m.work.c_str(), nullptr, 0, 0), 0);
      ToRaw(image, back, 128 * kMiB);
      EXPECT_TRUE(image.Close());
      ExpectSoundVolume(back, m.start, clusters * 8 + 1);
    }
  }
  EXPECT_GT(rolledBack, 0);
}

TEST(PartitionResize, FindsTheEfiSystemPartition) {
  std::wstring disk = Scratch() + L"\\esp.img";
  std::string out;
  ASSERT_TRUE(vt::Fixture(
      "mk-disk.sh " + vt::Q(vt::ToUnix(disk)) + " --size 40 --layout gpt-esp --esp-size 34", &out));
  CMountedImage image;
  ASSERT_GE(image.OpenImage(disk.c_str(), nullptr, 0, 0), 0);
  EXPECT_EQ(1, HasEfiSystemPartition(&image));
  EXPECT_TRUE(image.Close());
}

}  // namespace
