// Mounting: volumes made by mkfs.fat and mkfs.exfat and filled by mcopy or
// exfat-fuse, partition layouts, boot-sector checks and the real images of
// the forensics-samples packages.
#include "FatTestUtil.h"
#include "../ImagePatch.h"

using namespace ft;

namespace {

// A folder tree with long, spaced, mixed-case and CJK names and a large file.
std::string MakeTree(const std::string& dir) {
  std::string src = dir + "/src";
  vt::Sh("mkdir -p " + src + "/sub/deeper " + src + "/'Program Files'/App");
  vt::WriteAll(vt::ToWin(src + "/small.txt"), "hello\r\n", 7);
  std::string big = Pattern(3 * 1024 * 1024 + 123, 7);
  vt::WriteAll(vt::ToWin(src + "/big.bin"), big.data(), big.size());
  vt::WriteAll(vt::ToWin(src + "/Long File Name With Spaces.dat"), "x", 1);
  vt::WriteAll(vt::ToWin(src + "/empty.txt"), "", 0);
  vt::WriteAll(vt::ToWin(src + "/sub/deeper/ReadMe.TXT"), "readme", 6);
  vt::WriteAll(vt::Widen(vt::Narrow(vt::ToWin(src + "/sub/")) +
                         "\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87\xE4\xBB\xB6.txt"),
               "zh", 2);
  std::string mid = Pattern(70000, 9);
  vt::WriteAll(vt::ToWin(src + "/Program Files/App/app.exe"), mid.data(), mid.size());
  return src;
}

std::string Diff(const std::string& a, const std::string& b) {
  std::string out;
  vt::Sh("LC_ALL=C.UTF-8 diff -r " + vt::Q(a) + " " + vt::Q(b) + " 2>&1", &out);
  return out;
}

TEST(FatMount, MkfsVolumesFilledByOtherToolsReadBackExactly) {
  std::string dir = vt::ScratchDirUnix();
  std::string src = MakeTree(dir);
  struct Case {
    const char* fs;
    const char* layout;
    int size;
    uint8_t type;
    int sector;  // the volume's sector size; at LBA 63 not a whole number of them in
  } cases[] = {
      {"fat12", "none", 8, FAT_TYPE_12, 512},       {"fat16", "mbr63", 32, FAT_TYPE_16, 512},
      {"fat32", "mbr2048", 64, FAT_TYPE_32, 512},   {"exfat", "mbr2048", 64, FAT_TYPE_EXFAT, 512},
      {"exfat", "mbr63", 64, FAT_TYPE_EXFAT, 4096}, {"fat16", "none", 64, FAT_TYPE_16, 2048}};
  for (auto& c : cases) {
    const std::string name = std::string(c.fs) + "-" + std::to_string(c.sector);
    SCOPED_TRACE(name);
    std::string img = dir + "/" + name + ".img";
    ASSERT_TRUE(vt::Fixture(std::string("mk-disk.sh ") + vt::Q(img) + " --fs " + c.fs +
                            " --layout " + c.layout + " --size " + std::to_string(c.size) +
                            " --sector " + std::to_string(c.sector) + " --tree " + vt::Q(src)));
    Volume v(vt::ToWin(img));
    ASSERT_EQ(0, v.Mount(FAT_MOUNT_READONLY));
    EXPECT_EQ(c.type, v.fs->fsType);
    EXPECT_EQ(c.sector, v.fs->sectorSize);
    std::string out = dir + "/out-" + name;
    ASSERT_EQ(0, v.Extract(L"", vt::ToWin(out)));
    EXPECT_EQ("", Diff(src, out));
    FatFileInfo info;
    ASSERT_EQ(0, FatStatPath(v.fs, P(L"/SUB/Deeper/readme.txt"), &info));  // any case
    EXPECT_EQ(6u, info.size);
    EXPECT_EQ(FAT_NO_FILE, FatStatPath(v.fs, P(L"sub/missing.txt"), &info));
    EXPECT_EQ(FAT_NO_PATH, FatStatPath(v.fs, P(L"nowhere/missing.txt"), &info));
    EXPECT_EQ(FAT_NO_PATH, FatStatPath(v.fs, P(L"small.txt/x"), &info));
    EXPECT_EQ(0, FatStatPath(v.fs, P(L"sub\\.\\deeper\\..\\deeper\\ReadMe.TXT"), &info));
    FatDirObject d;
    EXPECT_EQ(FAT_NO_PATH, FatOpenDirectory(v.fs, &d, P(L"small.txt")));
    // Read-only: every change is refused.
    EXPECT_EQ(FAT_WRITE_PROTECTED, FatMakeDirectory(v.fs, P(L"new")));
    EXPECT_EQ(FAT_WRITE_PROTECTED, v.WriteFile(L"small.txt", "x"));
    EXPECT_EQ(FAT_WRITE_PROTECTED, FatUnlinkPath(v.fs, P(L"small.txt")));
    EXPECT_EQ(FAT_WRITE_PROTECTED, FatRenamePath(v.fs, P(L"small.txt"), P(L"s.txt")));
    std::string data;
    EXPECT_EQ(0, v.ReadFile(L"small.txt", &data));
    EXPECT_EQ("hello\r\n", data);
  }
}

TEST(FatMount, FirstFatPartitionOfMbrAndEspOfGpt) {
  std::string dir = vt::ScratchDirUnix();
  // MBR: a Linux partition first, the FAT volume second.
  std::string img = dir + "/m.img";
  ASSERT_EQ(0, vt::Sh("truncate -s 40M " + img +
                      " && printf 'label: dos\\nstart=2048, size=10240, type=83\\n"
                      "start=12288, size=65536, type=6\\n' | sfdisk -q " +
                      img + " && mkfs.fat -F 16 --offset 12288 " + img +
                      " 32768 >/dev/null && "
                      "echo second > " +
                      dir + "/s.txt && " + Mt() + "mcopy -i " + img + "@@$((12288*512)) " + dir +
                      "/s.txt ::/"));
  {
    Volume v(vt::ToWin(img));
    ASSERT_EQ(0, v.Mount(FAT_MOUNT_READONLY));
    EXPECT_EQ(12288u, v.fs->volumeStart);
    std::string data;
    EXPECT_EQ(0, v.ReadFile(L"s.txt", &data));
    EXPECT_EQ("second\n", data);
  }
  // GPT: the EFI system partition is the second entry of the array.
  std::wstring g = GptDisk(dir, "g.img", 131072, 2);
  std::string gu = vt::ToUnix(g);
  ASSERT_EQ(0, vt::Sh("mkfs.fat -F 32 -s 1 --offset 6144 " + gu + " 65536 >/dev/null && " + Mt() +
                      "mmd -i " + gu + "@@$((6144*512)) ::/EFI && " + Mt() + "mcopy -i " + gu +
                      "@@$((6144*512)) " + dir + "/s.txt ::/EFI/"));
  {
    Volume v(g);
    ASSERT_EQ(0, v.Mount(FAT_MOUNT_READONLY));
    EXPECT_EQ(6144u, v.fs->volumeStart);
    EXPECT_EQ(FAT_TYPE_32, v.fs->fsType);
    std::string data;
    EXPECT_EQ(0, v.ReadFile(L"EFI/s.txt", &data));
    EXPECT_EQ("second\n", data);
  }
  // A disk of 4096-byte sectors: its MBR and its GPT count those, and the
  // volume (FAT16 of 4096-byte sectors) lies at its sector 1024 behind a
  // Linux partition.
  ASSERT_EQ(
      0, vt::Sh("cd " + vt::Q(dir) + " && truncate -s 40M v4.img && mkfs.fat -F 16 -S 4096 -s 1 " +
                "v4.img >/dev/null && " + Mt() + "mcopy -i v4.img s.txt ::/ && " +
                "for t in mbr gpt; do truncate -s 64M k$t.img && " +
                "l=$(losetup -f --show --sector-size 4096 k$t.img) && " +
                "if [ $t = mbr ]; then printf 'label: dos\\nstart=256, size=256, type=83\\n"
                "start=1024, size=10240, type=6\\n' | sfdisk -q $l; else sgdisk -o -a 1 " +
                "-n 1:6:255 -t 1:8300 -n 2:1024:11263 -t 2:0700 $l >/dev/null; fi; " +
                "r=$?; losetup -d $l; [ $r = 0 ] && dd if=v4.img of=k$t.img bs=4096 " +
                "seek=1024 conv=notrunc status=none || exit 1; done"));
  for (const char* layout : {"mbr", "gpt"}) {
    SCOPED_TRACE(layout);
    Volume v(vt::ToWin(dir + "/k" + layout + ".img"));
    EXPECT_EQ(FAT_NO_FILESYSTEM, v.Mount(FAT_MOUNT_READONLY, 0));  // the Linux partition
    ASSERT_EQ(0, v.Mount(FAT_MOUNT_READONLY, kFirstDataPartition));
    EXPECT_EQ(1024u, v.fs->volumeStart);
    EXPECT_EQ(4096u, v.fs->sectorSize);
    EXPECT_EQ(FAT_TYPE_16, v.fs->fsType);
    std::string data;
    EXPECT_EQ(0, v.ReadFile(L"s.txt", &data));
    EXPECT_EQ("second\n", data);
  }
  // No FAT anywhere.
  ASSERT_EQ(
      0, vt::Sh("truncate -s 4M " + dir +
                "/n.img && printf 'label: dos\\nstart=2048, size=4096, type=83\\n' | sfdisk -q " +
                dir + "/n.img"));
  Volume n(vt::ToWin(dir + "/n.img"));
  EXPECT_EQ(FAT_NO_FILESYSTEM, n.Mount(FAT_MOUNT_READONLY));
}

// An EFI system partition without a boot signature and without a FAT boot
// sector is formatted by a writable mount only; a read-only mount leaves
// the disk untouched and fails.
TEST(FatMount, BlankEspFormattedOnlyWhenWritable) {
  std::string dir = vt::ScratchDirUnix();
  std::wstring g = GptDisk(dir, "g.img", 131072, 1);
  std::string before = vt::Sha256(g);
  {
    Volume v(g);
    EXPECT_EQ(FAT_NO_FILESYSTEM, v.Mount(FAT_MOUNT_READONLY));
  }
  EXPECT_EQ(before, vt::Sha256(g));
  {
    Volume v(g);
    ASSERT_EQ(0, v.Mount());
    EXPECT_EQ(FAT_TYPE_32, v.fs->fsType);
    EXPECT_EQ(1u, v.fs->clusterSize);
    EXPECT_EQ(2048u, v.fs->volumeStart);
    EXPECT_EQ(0, FatMakeDirectory(v.fs, P(L"EFI")));
  }
  std::string part = Partition(vt::ToUnix(g), 2048, 131071, dir + "/p.img"), out;
  EXPECT_EQ(0, vt::Sh("fsck.fat -n " + part + " 2>&1", &out)) << out;
  EXPECT_EQ(0, vt::Sh(Mt() + "mdir -i " + part + " ::/EFI >/dev/null 2>&1"));

  // Its signature lost, the volume is there still: mounted as it is, a
  // mount that writes nothing leaves the disk as it is, the first write
  // puts the signature back.
  ip::Bytes disk(g);
  disk.Put(2048 * 512 + 510, 0, 2);
  ASSERT_TRUE(disk.Save());
  const std::string unsigned_ = vt::Sha256(g);
  for (unsigned options : {(unsigned)FAT_MOUNT_READONLY, 0u}) {
    Volume v(g);
    ASSERT_EQ(0, v.Mount(options));
    EXPECT_EQ(FAT_TYPE_32, v.fs->fsType);
    FatFileInfo info;
    EXPECT_EQ(0, FatStatPath(v.fs, P(L"EFI"), &info));
    EXPECT_EQ(0, FatFlushVolume(v.fs));
  }
  EXPECT_EQ(unsigned_, vt::Sha256(g));
  {
    Volume v(g);
    ASSERT_EQ(0, v.Mount());
    EXPECT_EQ(0, FatMakeDirectory(v.fs, P(L"EFI\\Boot")));
    EXPECT_EQ(0, FatFlushVolume(v.fs));
  }
  EXPECT_EQ(0xAA55u, ip::Bytes(g).U16(2048 * 512 + 510));
  part = Partition(vt::ToUnix(g), 2048, 131071, dir + "/p.img");
  EXPECT_EQ(0, vt::Sh("fsck.fat -n " + part + " 2>&1", &out)) << out;
  EXPECT_EQ(0, vt::Sh(Mt() + "mdir -i " + part + " ::/EFI/Boot >/dev/null 2>&1"));
}

// The blank EFI system partition a writable mount formats is exactly the
// one the GPT search found: not the partition in the MBR's first slot (a
// hybrid MBR), and not one that reaches past the disk.
TEST(FatMount, BlankEspFormatTargetIsThePartitionFound) {
  std::string dir = vt::ScratchDirUnix();
  // Entry 1 basic data at 2048 (4096 sectors, filled with 'Z'), entry 2
  // the ESP at 6144; the MBR made hybrid: slot 1 names entry 1 (type 7),
  // slot 2 is the protective entry.
  std::wstring g = GptDisk(dir, "g.img", 131072, 2);
  ip::Bytes before(g);
  std::fill(before.b.begin() + 2048 * 512, before.b.begin() + 6144 * 512, 'Z');
  auto slot = [&](int i, uint8_t type, uint32_t lba, uint32_t count) {
    size_t e = 0x1BE + 16 * i;
    before.b[e + 4] = type;
    before.Put(e + 8, lba, 4);
    before.Put(e + 12, count, 4);
  };
  slot(0, 0x07, 2048, 4096);
  slot(1, 0xEE, 1, 2047);
  ASSERT_TRUE(before.Save());
  {
    Volume v(g);
    ASSERT_EQ(0, v.Mount());
    EXPECT_EQ(FAT_TYPE_32, v.fs->fsType);
    EXPECT_EQ(6144u, v.fs->volumeStart);
  }
  ip::Bytes after(g);
  EXPECT_TRUE(std::equal(before.b.begin(), before.b.begin() + 6144 * 512, after.b.begin()));

  // An ESP whose last LBA lies past the disk is not formatted.
  std::wstring h = GptDisk(dir, "h.img", 131072, 1);
  ip::Bytes disk(h);
  disk.Put(1024 + 0x28, disk.b.size() / 512 + 1000, 8);  // entry 1's last LBA
  ASSERT_TRUE(disk.Save());
  std::string unchanged = vt::Sha256(h);
  {
    Volume v(h);
    EXPECT_EQ(FAT_NO_FILESYSTEM, v.Mount());
  }
  EXPECT_EQ(unchanged, vt::Sha256(h));
}

// The exFAT FAT must lie between the boot regions (24 sectors) and the
// cluster heap: a boot sector that puts it elsewhere is no volume. Where
// only the main boot region says so (its check value no longer fits), the
// whole backup region opens the volume.
TEST(FatMount, ExfatFatOutsideItsRegionIsRefused) {
  std::string dir = vt::ScratchDirUnix();
  std::string img = dir + "/x.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(img) + " --fs exfat --layout none --size 16"));
  ip::Bytes clean(vt::ToWin(img));
  uint32_t heap = clean.U32(0x58), fatOffset = clean.U32(0x50), fatLength = clean.U32(0x54);
  struct Case {
    const char* what;
    uint32_t offset, length;
  } cases[] = {
      {"as made", fatOffset, fatLength},
      {"over the boot region", 1, fatLength},
      {"into the heap", heap - fatLength + 1, fatLength},
      {"empty", fatOffset, 0},
      {"longer than the volume", fatOffset, 0xFFFFFFF0},
  };
  for (const Case& c : cases) {
    const bool sound = c.offset == fatOffset && c.length == fatLength;
    for (uint32_t region : {0u, 12u * 512}) {
      SCOPED_TRACE(std::string(c.what) + (region ? ", both regions" : ", the main region"));
      ip::Bytes d = clean;
      for (uint32_t at = 0; at <= region; at += 12 * 512) {
        d.Put(at + 0x50, c.offset, 4);
        d.Put(at + 0x54, c.length, 4);
      }
      ASSERT_TRUE(d.Save());
      Volume v(d.path);
      EXPECT_EQ(sound || !region ? FAT_OK : FAT_NO_FILESYSTEM, v.Mount(FAT_MOUNT_READONLY));
      EXPECT_EQ(sound || region ? 0 : 12, v.fs->bootBackup);
    }
  }
}

// A partitionless volume whose boot sector gives exactly n clusters.
std::wstring CraftVolume(const std::string& dir, uint32_t n, bool fat32Layout) {
  std::vector<uint8_t> b(512, 0);
  b[0] = 0xEB;
  b[1] = 0x3C;
  b[2] = 0x90;
  memcpy(&b[3], "TESTTEST", 8);
  b[0x0B] = 0x00;
  b[0x0C] = 0x02;  // 512 bytes per sector
  b[0x0D] = 1;
  b[0x10] = 1;
  b[0x15] = 0xF8;
  uint32_t fat, rsv, root, total;
  if (fat32Layout) {
    rsv = 32;
    root = 0;
    fat = ((n + 2) * 4 + 511) / 512;
    b[0x24] = (uint8_t)fat;
    b[0x25] = (uint8_t)(fat >> 8);
    b[0x2C] = 2;
    memcpy(&b[0x52], "FAT32   ", 8);
  } else {
    rsv = 1;
    root = 512;
    fat = ((n + 2) * 2 + 511) / 512;
    b[0x16] = (uint8_t)fat;
    b[0x17] = (uint8_t)(fat >> 8);
    memcpy(&b[0x36], "FAT16   ", 8);
  }
  b[0x0E] = (uint8_t)rsv;
  b[0x11] = (uint8_t)root;
  b[0x12] = (uint8_t)(root >> 8);
  total = rsv + fat + root / 16 + n;
  b[0x20] = (uint8_t)total;
  b[0x21] = (uint8_t)(total >> 8);
  b[0x22] = (uint8_t)(total >> 16);
  b[0x1FE] = 0x55;
  b[0x1FF] = 0xAA;
  std::string img = dir + "/c" + std::to_string(n) + ".img";
  vt::Sh("truncate -s " + std::to_string((uint64_t)total * 512) + " " + img);
  HANDLE h =
      CreateFileW(vt::ToWin(img).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD done;
  ::WriteFile(h, b.data(), 512, &done, nullptr);
  CloseHandle(h);
  return vt::ToWin(img);
}

TEST(FatMount, ClusterCountDecidesTheType) {
  std::string dir = vt::ScratchDirUnix();
  struct Case {
    uint32_t n;
    bool fat32;
    int result;
    uint8_t type;
  } cases[] = {{4085, false, 0, FAT_TYPE_12},        {4086, false, 0, FAT_TYPE_16},
               {65525, false, 0, FAT_TYPE_16},       {65526, true, 0, FAT_TYPE_32},
               {65526, false, FAT_NO_FILESYSTEM, 0},  // FAT32 by count, but with a FAT16 root area
               {65525, true, FAT_NO_FILESYSTEM, 0}};
  for (auto& c : cases) {
    Volume v(CraftVolume(dir, c.n, c.fat32));
    EXPECT_EQ(c.result, v.Mount(FAT_MOUNT_READONLY)) << c.n;
    EXPECT_EQ(c.type, v.fs->fsType) << c.n;
    if (!c.result) {
      EXPECT_EQ(c.n + 2, v.fs->fatEntries);
    }
  }
}

// The forensics-samples images: a FAT32 and an exFAT disk written by Linux,
// with folders whose files were deleted afterwards.
TEST(FatMount, ForensicsSampleImagesMatchIndependentReaders) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("xz -dc /usr/share/forensics-samples/fs.vfat.xz > " + dir +
                      "/vfat.img && "
                      "xz -dc /usr/share/forensics-samples/fs.exfat.xz > " +
                      dir + "/exfat.img"));
  // FAT32: against mtools.
  {
    Volume v(vt::ToWin(dir + "/vfat.img"));
    ASSERT_EQ(0, v.Mount(FAT_MOUNT_READONLY));
    EXPECT_EQ(FAT_TYPE_32, v.fs->fsType);
    std::map<std::string, uint64_t> tree;
    ASSERT_EQ(0, v.List(L"", &tree));
    EXPECT_TRUE(tree.count("pic1/debian.png"));
    EXPECT_TRUE(tree.count("audio1/debian.ogg"));
    EXPECT_FALSE(tree.count("audio2/"));  // deleted
    ASSERT_EQ(0, v.Extract(L"", vt::ToWin(dir + "/ours-vfat")));
    ASSERT_EQ(0, vt::Sh("mkdir " + dir + "/ref-vfat && " + Mt() + "mcopy -s -n -i " + dir +
                        "/vfat.img@@$((2048*512)) '::*' " + dir + "/ref-vfat/"));
    EXPECT_EQ("", Diff(dir + "/ref-vfat", dir + "/ours-vfat"));
  }
  // exFAT: against exfat-fuse.
  {
    Volume v(vt::ToWin(dir + "/exfat.img"));
    ASSERT_EQ(0, v.Mount(FAT_MOUNT_READONLY));
    EXPECT_EQ(FAT_TYPE_EXFAT, v.fs->fsType);
    ASSERT_EQ(0, v.Extract(L"", vt::ToWin(dir + "/ours-exfat")));
    std::string out;
    ASSERT_EQ(0, vt::Sh("set -e; mkdir " + dir + "/mnt " + dir +
                            "/ref-exfat; l=$(losetup -f --show -r -o $((2048*512)) " + dir +
                            "/exfat.img); mount.exfat-fuse -o ro $l " + dir +
                            "/mnt >/dev/null; "
                            "cp -r " +
                            dir + "/mnt/. " + dir + "/ref-exfat/ || true; umount " + dir +
                            "/mnt; losetup -d $l",
                        &out))
        << out;
    EXPECT_EQ("", Diff(dir + "/ref-exfat", dir + "/ours-exfat"));
    std::map<std::string, uint64_t> tree;
    ASSERT_EQ(0, v.List(L"", &tree));
    EXPECT_TRUE(tree.count("text1/a-text.odt"));
    EXPECT_FALSE(tree.count("text2/"));
  }
}

}  // namespace
