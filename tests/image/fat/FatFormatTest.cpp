// The disk glue and the formatter, checked with fsck.fat, fsck.exfat and mtools.
#include "FatTestUtil.h"
#include "image/fat/FatInternal.h"

using namespace ft;

namespace {

std::string FsckFat(const std::string& part, std::string* out = nullptr) {
  std::string o;
  int rc = vt::Sh("fsck.fat -n -v " + vt::Q(part) + " 2>&1", &o);
  if (out) *out = o;
  return rc == 0 ? "" : o;
}

int FatBits(const std::string& fsckOut) {
  size_t p = fsckOut.find(" bit entries");
  if (p == std::string::npos) return 0;
  size_t s = fsckOut.rfind(' ', p - 1);
  return atoi(fsckOut.substr(s + 1, p - s - 1).c_str());
}

std::vector<uint8_t> Sector(const std::wstring& img, uint64_t lba) {
  std::vector<uint8_t> all;
  HANDLE h = CreateFileW(img.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  std::vector<uint8_t> s(512);
  LARGE_INTEGER li;
  li.QuadPart = (LONGLONG)(lba * 512);
  DWORD done = 0;
  SetFilePointerEx(h, li, nullptr, FILE_BEGIN);
  ::ReadFile(h, s.data(), 512, &done, nullptr);
  CloseHandle(h);
  return s;
}

TEST(FatDiskGlue, TransferLimitResultCodesAndQueries) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("truncate -s 1M " + dir + "/d.img"));
  HANDLE h = CreateFileW(vt::ToWin(dir + "/d.img").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  FatDiskBlock* b = nullptr;
  ASSERT_EQ(0, FatOpenDiskBlock(&b, h, nullptr, nullptr));  // direct handle access
  std::vector<uint8_t> buf(0x40000 + 512, 0x5A);
  EXPECT_EQ(FAT_DISK_ERROR, FatDiskRead(b, 0, buf.data(), 1));  // not initialised yet
  FatResetDiskBlock(b);
  EXPECT_EQ(FAT_DISK_OK, FatDiskWrite(b, 0, buf.data(), 0x40000 / 512));
  EXPECT_EQ(FAT_DISK_OK, FatDiskRead(b, 0, buf.data(), 0x40000 / 512));
  EXPECT_EQ(FAT_DISK_PARERR, FatDiskRead(b, 0, buf.data(), 0x40000 / 512 + 1));
  EXPECT_EQ(FAT_DISK_PARERR, FatDiskWrite(b, 0, buf.data(), 0x40000 / 512 + 1));
  uint32_t count = 0, erase = 0;
  uint16_t ss = 0;
  EXPECT_EQ(0, FatDiskIoctl(b, 1, &count));
  EXPECT_EQ(0x40000u, count);
  EXPECT_EQ(0, FatDiskIoctl(b, 2, &ss));
  EXPECT_EQ(512, ss);
  EXPECT_EQ(0, FatDiskIoctl(b, 3, &erase));
  EXPECT_EQ(256u, erase);
  b->status |= FAT_DISK_PROTECT;
  EXPECT_EQ(FAT_DISK_WRPRT, FatDiskWrite(b, 0, buf.data(), 1));
  FatCloseDiskBlock(&b);  // closes the handle it took over
  EXPECT_EQ(nullptr, b);

  // Through routines: a short transfer is an error.
  FatDiskBlock* rb = nullptr;
  auto shortRead = [](void*, unsigned long long, void*, unsigned int n) { return (int)n - 1; };
  ASSERT_EQ(0, FatOpenDiskBlock(&rb, nullptr, shortRead, nullptr));
  FatResetDiskBlock(rb);
  EXPECT_EQ(FAT_DISK_ERROR, FatDiskRead(rb, 0, buf.data(), 1));
  FatCloseDiskBlock(&rb);
}

TEST(FatDiskGlue, TimestampAndCodePages) {
  uint32_t ts = FatGetTimestamp();
  SYSTEMTIME t;
  GetLocalTime(&t);
  EXPECT_EQ(t.wYear, (ts >> 25) + 1980);
  EXPECT_EQ(t.wMonth, (ts >> 21) & 15);
  EXPECT_EQ(19, FatSelectCodePage(1252));
  EXPECT_EQ(0, FatWideToOem(0xE9));  // no code page: no short-name form
  EXPECT_EQ(0, FatSelectCodePage(850));
  EXPECT_EQ(0x82, FatWideToOem(0xE9));     // é
  EXPECT_EQ(0x90, FatOemUpperByte(0x82));  // É
  EXPECT_EQ(0, FatSelectCodePage(771));
  EXPECT_EQ(0x0410, FatOemToWide(0x80));  // Cyrillic А
  EXPECT_EQ(0, FatSelectCodePage(936));
  EXPECT_EQ(0xD6D0, FatWideToOem(0x4E2D));  // 中
  EXPECT_EQ(0x4E2D, FatOemToWide(0xD6D0));
  EXPECT_TRUE(FatIsLeadByte(0xD6));
  EXPECT_EQ(0, FatSelectCodePage(932));
  EXPECT_EQ(0x82A0, FatWideToOem(0x3042));  // あ
  EXPECT_EQ(0xFF71, FatOemToWide(0xB1));    // half-width ｱ
  EXPECT_EQ(0, FatSelectCodePage(949));
  EXPECT_EQ(0xB0A1, FatWideToOem(0xAC00));  // 가
  EXPECT_EQ(0x00C9, FatUpcase(0x00E9));
  EXPECT_EQ(0x0416, FatUpcase(0x0436));
  EXPECT_EQ(0x4E2D, FatUpcase(0x4E2D));
  FatSelectCodePage(GetACP());
}

// A 100 MiB MBR partition: FAT32 with 2-sector clusters, FAT16 with 8.
TEST(FatFormat, HundredMiBPartitionFat32AndFat16) {
  std::string dir = vt::ScratchDirUnix();
  struct Case {
    unsigned opts;
    int bits;
    int csize;
  } cases[] = {{2 | 8, 32, 2}, {1 | 8, 16, 8}};
  for (auto& c : cases) {
    std::wstring img = MbrDisk(dir, "d.img", 2048, 204800);
    Volume v(img);
    ASSERT_EQ(0, v.Format(c.opts, 0));
    ASSERT_EQ(0, v.Mount());
    EXPECT_EQ(c.bits == 32 ? FAT_TYPE_32 : FAT_TYPE_16, v.fs->fsType);
    EXPECT_EQ((uint32_t)c.csize, v.fs->clusterSize);
    EXPECT_EQ(2048u, v.fs->volumeStart);
    EXPECT_EQ(0u, v.fs->dataStart % 256);  // data area aligned to 256 sectors
    EXPECT_EQ(0, FatMakeDirectory(v.fs, P(L"Boot")));
    EXPECT_EQ(0, v.WriteFile(L"Boot\\config.txt", "setting=1\r\n"));
    v.Close();
    std::vector<uint8_t> bs = Sector(img, 2048);
    EXPECT_EQ(0xEB, bs[0]);
    EXPECT_EQ(0xFE, bs[1]);  // not an EFI partition
    EXPECT_EQ(0, memcmp(&bs[3], "MSDOS5.0", 8));
    std::string part = Partition(dir + "/d.img", 2048, 204800, dir + "/p.img"), out;
    EXPECT_EQ("", FsckFat(part, &out));
    EXPECT_EQ(c.bits, FatBits(out));
    std::string info, listing;
    EXPECT_EQ(0, vt::Sh(Mt() + "minfo -i " + vt::Q(part) + " ::", &info)) << info;
    EXPECT_NE(std::string::npos, info.find("cluster size: " + std::to_string(c.csize) + " sectors"))
        << info;
    EXPECT_EQ(0, vt::Sh(Mt() + "mtype -i " + vt::Q(part) + " ::/Boot/config.txt", &listing));
    EXPECT_EQ("setting=1\r\n", listing);
  }
}

// A 64 MiB EFI system partition with 512-byte units: FAT32, one sector per cluster.
TEST(FatFormat, SixtyFourMiBEspFat32) {
  std::string dir = vt::ScratchDirUnix();
  std::wstring img = GptDisk(dir, "g.img", 131072, 1);
  Volume v(img);
  ASSERT_EQ(0, v.Format(0x0A, 512));
  ASSERT_EQ(0, v.Mount());
  EXPECT_EQ(FAT_TYPE_32, v.fs->fsType);
  EXPECT_EQ(1u, v.fs->clusterSize);
  EXPECT_GT(v.fs->fatEntries - 2, 129000u);
  EXPECT_LT(v.fs->fatEntries - 2, 131072u);
  EXPECT_EQ(0, FatMakeDirectory(v.fs, P(L"EFI")));
  EXPECT_EQ(0, FatMakeDirectory(v.fs, P(L"EFI\\Boot")));
  EXPECT_EQ(0, v.WriteFile(L"EFI\\Boot\\bootx64.efi", Pattern(70000, 3)));
  v.Close();
  std::vector<uint8_t> bs = Sector(img, 2048);
  EXPECT_EQ(0x58, bs[1]);  // the EFI boot-code jump
  std::string part = Partition(dir + "/g.img", 2048, 131071, dir + "/p.img"), out;
  EXPECT_EQ("", FsckFat(part, &out));
  EXPECT_EQ(32, FatBits(out));
  std::string dump;
  EXPECT_EQ(
      0, vt::Sh(Mt() + "mtype -i " + vt::Q(part) + " ::/EFI/Boot/bootx64.efi | sha256sum", &dump));
  vt::WriteAll(vt::ToWin(dir + "/want.bin"), Pattern(70000, 3).data(), 70000);
  std::string want;
  vt::Sh("sha256sum < " + dir + "/want.bin", &want);
  EXPECT_EQ(want, dump);
}

TEST(FatFormat, ExfatPassesFsckAndServesFiles) {
  std::string dir = vt::ScratchDirUnix();
  std::wstring img = MbrDisk(dir, "x.img", 2048, 204800, "7");
  Volume v(img);
  ASSERT_EQ(0, v.Format(4 | 8, 0));
  ASSERT_EQ(0, v.Mount());
  EXPECT_EQ(FAT_TYPE_EXFAT, v.fs->fsType);
  EXPECT_EQ(8u, v.fs->clusterSize);  // below 0x80000 sectors
  uint32_t freeCount = 0;
  EXPECT_EQ(0, FatGetFreeClusters(v.fs, P(L""), &freeCount));
  EXPECT_GT(freeCount, 25000u);
  EXPECT_EQ(0, FatMakeDirectory(v.fs, P(L"Docs")));
  EXPECT_EQ(0, v.WriteFile(L"Docs\\Report 2024.txt", Pattern(100000, 1)));
  v.Close();
  std::string part = Partition(dir + "/x.img", 2048, 204800, dir + "/p.img"), out;
  EXPECT_EQ(0, vt::Sh("fsck.exfat -n " + vt::Q(part) + " 2>&1", &out)) << out;
  std::string got;
  vt::WriteAll(vt::ToWin(dir + "/want.bin"), Pattern(100000, 1).data(), 100000);
  EXPECT_EQ(0, vt::Sh("set -e; l=$(losetup -f --show " + vt::Q(part) + "); mkdir -p " + dir +
                          "/mnt; mount.exfat-fuse -o ro $l " + dir +
                          "/mnt >/dev/null; "
                          "cmp " +
                          dir + "/mnt/Docs/'Report 2024.txt' " + dir +
                          "/want.bin; rc=$?; "
                          "umount " +
                          dir + "/mnt; losetup -d $l; exit $rc",
                      &got))
      << got;
}

TEST(FatFormat, RefusedLayoutsAndParameters) {
  std::string dir = vt::ScratchDirUnix();
  {
    std::wstring img = MbrDisk(dir, "s.img", 2048, 4000, "7");  // exFAT needs 4096 sectors
    Volume v(img);
    EXPECT_EQ(FAT_MKFS_ABORTED, v.Format(4 | 8, 0));
    EXPECT_EQ(FAT_INVALID_PARAMETER, v.Format(1 | 8, 3000));
    EXPECT_EQ(FAT_INVALID_PARAMETER, v.Format(1 | 8, 256));
    EXPECT_EQ(FAT_INVALID_PARAMETER, v.Format(8, 0));
    uint8_t small[100];
    EXPECT_EQ(FAT_NOT_ENOUGH_CORE, FatFormatVolume(v.fs, 1 | 8, 0, small, sizeof(small)));
  }
  {
    std::wstring img = MbrDisk(dir, "t.img", 2048, 100);  // below 128 sectors
    Volume v(img);
    EXPECT_EQ(FAT_MKFS_ABORTED, v.Format(1 | 8, 0));
  }
  {
    vt::Sh("truncate -s 8M " + dir + "/blank.img");  // no 0x55 0xAA in sector 0
    Volume v(vt::ToWin(dir + "/blank.img"));
    EXPECT_EQ(FAT_MKFS_ABORTED, v.Format(2 | 8, 0));
  }
  {
    // A first partition that starts at the boot record, or ends past the
    // disk: nothing is written.
    std::wstring img = MbrDisk(dir, "p.img", 2048, 4096, "6");
    std::vector<uint8_t> disk;
    ASSERT_TRUE(vt::ReadAll(img, disk));
    for (uint32_t start : {0u, 2048u + 4096u + 2048u - 1000u}) {
      memcpy(&disk[0x1C6], &start, 4);
      ASSERT_TRUE(vt::WriteAll(img, disk));
      std::string before = vt::Sha256(img);
      Volume v(img);
      EXPECT_EQ(FAT_MKFS_ABORTED, v.Format(1 | 8, 0)) << start;
      v.Close();
      EXPECT_EQ(before, vt::Sha256(img)) << start;
    }
  }
  {
    std::wstring img = MbrDisk(dir, "f.img", 2048, 100000);  // FAT32 needs 65526 clusters
    Volume v(img);
    EXPECT_EQ(FAT_MKFS_ABORTED, v.Format(2 | 8, 4096));
  }
}

// Around the 4085/4086 and 65525/65526 cluster boundaries every volume we
// make is read by fsck.fat with the FAT width we mount it with.
TEST(FatFormat, ClusterBoundariesAgreeWithFsck) {
  std::string dir = vt::ScratchDirUnix();
  // One sector per cluster; the FAT12/16 system area around these sizes is
  // 1 + FAT + 32 sectors, padded to the 256-sector alignment.
  struct Case {
    uint32_t size, clusters;
  } cases[] = {{4340, 4084}, {4341, 4084},   {4342, 4086},
               {4343, 4087}, {66036, 65524}, {66037, 65524}};
  for (auto& c : cases) {
    std::wstring img = MbrDisk(dir, "b.img", 2048, c.size);
    Volume v(img);
    ASSERT_EQ(0, v.Format(1 | 8, 512)) << c.size;
    ASSERT_EQ(0, v.Mount()) << c.size;
    uint32_t clusters = v.fs->fatEntries - 2;
    EXPECT_EQ(c.clusters, clusters) << c.size;
    int bits = v.fs->fsType == FAT_TYPE_12 ? 12 : 16;
    EXPECT_EQ(clusters <= 4085 ? 12 : 16, bits);
    EXPECT_EQ(0, v.WriteFile(L"f.bin", Pattern(5000, c.size)));
    v.Close();
    std::string part = Partition(dir + "/b.img", 2048, c.size, dir + "/p.img"), out;
    EXPECT_EQ("", FsckFat(part, &out)) << c.size;
    EXPECT_EQ(bits, FatBits(out)) << c.size << " clusters " << clusters;
  }
  // 65526 clusters do not fit FAT16, and FAT32 needs more: a fixed unit gives up.
  std::wstring img = MbrDisk(dir, "b.img", 2048, 66038);
  Volume v(img);
  EXPECT_EQ(FAT_MKFS_ABORTED, v.Format(1 | 8, 512));
  // An automatic unit doubles instead.
  EXPECT_EQ(0, v.Format(1 | 8, 0));
  EXPECT_EQ(0, v.Mount());
  EXPECT_EQ(FAT_TYPE_16, v.fs->fsType);
}

}  // namespace
