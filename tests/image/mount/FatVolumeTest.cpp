// CFatVolume on its own: local FAT times (exFAT's with their offset from
// UTC) against UTC, whole-file writes, owned and borrowed disk objects,
// read-only mounts, the formatter, and the copies between the host and the
// volume.
#include <gtest/gtest.h>

#include "../FatVolumeTestUtil.h"
#include "image/copy/TreeCopy.h"

namespace {

using fv::Disk;

// Offset of a short directory entry in a raw image, -1 when absent.
long FindEntry(const std::vector<uint8_t>& img, const char* name11) {
  for (size_t i = 0; i + 32 <= img.size(); i += 32) {
    if (!memcmp(&img[i], name11, 11) && img[i + 11] != 0x0F) return (long)i;
  }
  return -1;
}

// Minutes to add to local time to get UTC, as the system applies it now.
long BiasMinutes() {
  TIME_ZONE_INFORMATION tz;
  DWORD id = GetTimeZoneInformation(&tz);
  long bias = tz.Bias;
  if (id == TIME_ZONE_ID_DAYLIGHT)
    bias += tz.DaylightBias;
  else if (id == TIME_ZONE_ID_STANDARD)
    bias += tz.StandardBias;
  return bias;
}

uint64_t CalendarTicks(int y, int mo, int d, int h, int mi, int s) {
  SYSTEMTIME st = {};
  st.wYear = (WORD)y;
  st.wMonth = (WORD)mo;
  st.wDay = (WORD)d;
  st.wHour = (WORD)h;
  st.wMinute = (WORD)mi;
  st.wSecond = (WORD)s;
  FILETIME f;
  EXPECT_TRUE(SystemTimeToFileTime(&st, &f));
  return fv::U64(f);
}

const uint64_t kMinute = 600000000ull;

struct Opened {
  _VROH_MOUNT_RW disk;
  CFatVolume volume;
  explicit Opened(const std::wstring& path, int writable = 1) {
    EXPECT_GE(disk.OpenChain(path.c_str(), nullptr, writable ? 2 : 0), 0);
    EXPECT_GE(volume.MountShared(&disk, writable), 0);
  }
  ~Opened() { volume.Release(); }
};

TEST(FatVolume, LocalEntryTimesBecomeUtcAndBack) {
  Disk d = fv::ToolDisk("fat32");
  std::vector<uint8_t> img;
  ASSERT_TRUE(vt::ReadAll(d.path, img));
  long at = FindEntry(img, "SMALL   TXT");
  ASSERT_GT(at, 0);
  // 2025-01-01 12:00:00 local, as written by a Windows machine.
  img[at + 0x16] = 0x00;
  img[at + 0x17] = 0x60;
  img[at + 0x18] = 0x21;
  img[at + 0x19] = 0x5A;
  ASSERT_TRUE(vt::WriteAll(d.path, img));
  const uint64_t expected = CalendarTicks(2025, 1, 1, 12, 0, 0) + BiasMinutes() * kMinute;
  {
    Opened o(d.path);
    FILETIME w;
    ASSERT_EQ(
        1, o.volume.GetFileInfo(L"\\Dir\\Sub\\small.txt", nullptr, &w, nullptr, nullptr, nullptr));
    EXPECT_EQ(expected, fv::U64(w));

    // And back: a UTC time is stored as the local time it stands for.
    FILETIME set = fv::Ft(CalendarTicks(2024, 6, 30, 8, 30, 10));
    ASSERT_EQ(1, o.volume.SetFileInfo(L"\\Dir\\Sub\\small.txt", nullptr, &set, nullptr, nullptr));
    // Years FAT cannot hold are pinned to its range.
    FILETIME old = fv::Ft(CalendarTicks(1970, 1, 2, 0, 0, 0));
    ASSERT_EQ(1, o.volume.SetFileInfo(L"\\big.bin", &old, nullptr, nullptr, nullptr));
    FILETIME c;
    ASSERT_EQ(1, o.volume.GetFileInfo(L"\\big.bin", &c, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(CalendarTicks(1980, 1, 1, 0, 0, 0) + BiasMinutes() * kMinute, fv::U64(c));
  }
  ASSERT_TRUE(vt::ReadAll(d.path, img));
  uint64_t local = CalendarTicks(2024, 6, 30, 8, 30, 10) - BiasMinutes() * kMinute;
  FILETIME lf = fv::Ft(local);
  SYSTEMTIME st;
  ASSERT_TRUE(FileTimeToSystemTime(&lf, &st));
  uint16_t date = (uint16_t)((st.wYear - 1980) << 9 | st.wMonth << 5 | st.wDay);
  uint16_t time = (uint16_t)(st.wHour << 11 | st.wMinute << 5 | st.wSecond / 2);
  EXPECT_EQ(time, img[at + 0x16] | img[at + 0x17] << 8);
  EXPECT_EQ(date, img[at + 0x18] | img[at + 0x19] << 8);

  // exFAT keeps the offset from UTC a time was written at: big.bin's
  // 12:00:00.50 at +05:30 is 06:30:00.50 UTC whatever the host's zone, in
  // its properties and in the folder's listing alike. A time set is
  // written as local time of the host's zone with that zone's offset.
  Disk x = fv::ToolDisk("exfat");
  ASSERT_TRUE(vt::ReadAll(x.path, img));
  long set = -1;
  for (size_t i = 0; i + 96 <= img.size() && set < 0; i += 32) {
    if (img[i] == 0x85 && img[i + 32] == 0xC0 && img[i + 35] == 7 &&
        !memcmp(&img[i + 66], "b\0i\0g\0", 6))
      set = (long)i;
  }
  ASSERT_GT(set, 0);
  const uint32_t noon = 44u << 25 | 5u << 21 | 5u << 16 | 12u << 11;  // 2024-05-05 12:00:00
  for (int k = 0; k < 3; k++) {
    memcpy(&img[set + 8 + 4 * k], &noon, 4);
    img[set + 22 + k] = 0x80 | 22;  // +05:30
  }
  img[set + 20] = img[set + 21] = 50;
  uint16_t sum = 0;
  for (int i = 0; i < 32 * (img[set + 1] + 1); i++)
    if (i != 2 && i != 3) sum = (uint16_t)(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + img[set + i]);
  memcpy(&img[set + 2], &sum, 2);
  ASSERT_TRUE(vt::WriteAll(x.path, img));
  const uint64_t utc = CalendarTicks(2024, 5, 5, 6, 30, 0) + 5000000;
  {
    Opened o(x.path);
    FILETIME c, w, a;
    ASSERT_EQ(1, o.volume.GetFileInfo(L"\\big.bin", &c, &w, &a, nullptr, nullptr));
    EXPECT_EQ(utc, fv::U64(c));
    EXPECT_EQ(utc, fv::U64(w));
    EXPECT_EQ(utc - 5000000, fv::U64(a));
    uint64_t listed = 0;
    ASSERT_EQ(1, o.volume.ListDirectory(
                     L"\\",
                     [](const FatEntryInfo* e, void* user) {
                       if (!wcscmp(e->name, L"big.bin")) *(uint64_t*)user = fv::U64(e->lastWrite);
                       return 1;
                     },
                     &listed));
    EXPECT_EQ(utc, listed);
    FILETIME t = fv::Ft(CalendarTicks(2024, 6, 30, 8, 30, 11) + 3700000);
    ASSERT_EQ(1, o.volume.SetFileInfo(L"\\big.bin", nullptr, &t, nullptr, nullptr));
    ASSERT_EQ(1, o.volume.GetFileInfo(L"\\big.bin", nullptr, &w, nullptr, nullptr, nullptr));
    EXPECT_EQ(fv::U64(t), fv::U64(w));
  }
  ASSERT_TRUE(vt::ReadAll(x.path, img));
  lf = fv::Ft(CalendarTicks(2024, 6, 30, 8, 30, 11) - BiasMinutes() * kMinute);
  ASSERT_TRUE(FileTimeToSystemTime(&lf, &st));
  uint32_t stamp = (uint32_t)(st.wYear - 1980) << 25 | (uint32_t)st.wMonth << 21 |
                   (uint32_t)st.wDay << 16 | (uint32_t)st.wHour << 11 | st.wMinute << 5 |
                   st.wSecond / 2u;
  uint32_t written;
  memcpy(&written, &img[set + 12], 4);
  EXPECT_EQ(stamp, written);
  EXPECT_EQ(137, img[set + 21]);
  EXPECT_EQ(0x80 | ((-BiasMinutes() / 15) & 0x7F), img[set + 23]);
  // The creation time set before keeps its own offset.
  EXPECT_EQ(0x80 | 22, img[set + 22]);
}

TEST(FatVolume, WholeFileWritesKeepWhatLiesBeforeTheOffset) {
  for (const char* fs : {"fat32", "exfat"}) {
    SCOPED_TRACE(fs);
    Disk d = fv::ToolDisk(fs);
    {
      _VROH_MOUNT_RW* disk = new _VROH_MOUNT_RW;
      ASSERT_GE(disk->OpenChain(d.path.c_str(), nullptr, 2), 0);
      CFatVolume v;
      // Owned: the volume closes the disk object.
      ASSERT_EQ(3, v.MountOnImage(disk, 1));
      std::vector<uint8_t> out(3000000);
      // Offset 0 on a longer file leaves exactly the bytes written.
      ASSERT_EQ(5u, v.WriteFile(L"\\big.bin", "hello", 0, 5));
      uint64_t size = 0;
      ASSERT_EQ(1, v.GetFileInfo(L"\\big.bin", nullptr, nullptr, nullptr, nullptr, &size));
      EXPECT_EQ(5u, size);
      // Above 0 the bytes before the offset stay and the file ends
      // after the new ones.
      std::string text(20000, 'a');
      for (size_t i = 0; i < text.size(); i++) text[i] = (char)('a' + i % 26);
      ASSERT_EQ(text.size(), v.WriteFile(L"\\t.txt", text.data(), 0, text.size()));
      ASSERT_EQ(3u, v.WriteFile(L"\\t.txt", "XYZ", 9000, 3));
      ASSERT_EQ(9003u, v.ReadFile(L"\\t.txt", out.data(), 0, out.size()));
      EXPECT_EQ(0, memcmp(out.data(), text.data(), 9000));
      EXPECT_EQ(0, memcmp(&out[9000], "XYZ", 3));
      // Past the end of a shorter file (or a missing one) the gap is zeros.
      ASSERT_EQ(2u, v.WriteFile(L"\\t.txt", "!!", 12000, 2));
      ASSERT_EQ(12002u, v.ReadFile(L"\\t.txt", out.data(), 0, out.size()));
      EXPECT_EQ(0, memcmp(&out[9000], "XYZ", 3));
      EXPECT_EQ(std::vector<uint8_t>(2997, 0), std::vector<uint8_t>(&out[9003], &out[12000]));
      ASSERT_EQ(1u, v.WriteFile(L"\\Dir\\fresh.bin", "z", 4096, 1));
      EXPECT_EQ(4097u, v.ReadFile(L"\\Dir\\fresh.bin", out.data(), 0, out.size()));
      // Reads and writes of what is not a file.
      SetLastError(0);
      EXPECT_EQ(0u, v.WriteFile(L"\\Dir", "z", 0, 1));
      EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
      EXPECT_EQ(0u, v.WriteFile(L"\\Nowhere\\x", "z", 0, 1));
      EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
      EXPECT_EQ(0u, v.ReadFile(L"\\Dir", out.data(), 0, 10));
      v.Release();
      EXPECT_TRUE(v.DiskObject() == nullptr);
    }
    std::string part = fv::CutPartition(d, d.start, d.sectors, "part.img");
    EXPECT_EQ("", fv::FsckProblems(part, std::string(fs) == "exfat"));
    if (std::string(fs) == "fat32") {
      std::string out;
      ASSERT_EQ(
          0, vt::Sh(fv::Mt() + "mtype -i " + vt::Q(part) + " ::/t.txt | head -c 9003 | tail -c 5",
                    &out));
      EXPECT_EQ("cdXYZ", out);
      ASSERT_EQ(0, vt::Sh(fv::Mt() + "mtype -i " + vt::Q(part) + " ::/big.bin", &out));
      EXPECT_EQ("hello", out);
    }
  }
}

TEST(FatVolume, BorrowedDiskSurvivesAndReadOnlyMountsRefuseWrites) {
  Disk d = fv::ToolDisk("fat32");
  _VROH_MOUNT_RW disk;
  ASSERT_GE(disk.OpenChain(d.path.c_str(), nullptr, 2), 0);
  {
    CFatVolume v;
    ASSERT_EQ(3, v.MountShared(&disk, 1));
    EXPECT_TRUE(v.IsBorrowed());
    ASSERT_EQ(3u, v.WriteFile(L"\\shared.txt", "abc", 0, 3));
    v.Release();
    EXPECT_FALSE(v.IsMounted());
    EXPECT_EQ(0, v.GetPathType(L"\\shared.txt"));
  }
  // The owner's disk object still works, and a second mount sees the write.
  uint8_t sector[512];
  EXPECT_EQ(512, disk.ReadBytes(nullptr, 0, sector, 512));
  {
    CFatVolume v;
    ASSERT_EQ(3, v.MountShared(&disk, 0));
    EXPECT_EQ(1, v.GetPathType(L"\\shared.txt"));
    SetLastError(0);
    EXPECT_EQ(0u, v.WriteFile(L"\\other.txt", "abc", 0, 3));
    EXPECT_EQ((DWORD)ERROR_WRITE_PROTECT, GetLastError());
    EXPECT_EQ(0, v.CreateDirectory(L"\\NewDir"));
    DWORD attrs = FILE_ATTRIBUTE_HIDDEN;
    EXPECT_EQ(0, v.SetFileInfo(L"\\shared.txt", nullptr, nullptr, nullptr, &attrs));
    EXPECT_EQ(0, v.DeleteTree(L"\\Dir"));
    // Formatting would lift the protection: refused.
    EXPECT_EQ(0, v.Format(2, 512));
    EXPECT_EQ((DWORD)ERROR_WRITE_PROTECT, GetLastError());
    EXPECT_EQ(1, v.GetPathType(L"\\big.bin"));
  }
  // A disk without a FAT volume: nothing mounts.
  Disk n = fv::ToolDisk("ntfs", "mbr2048", d.dir + "/ntfs");
  _VROH_MOUNT_RW ndisk;
  ASSERT_GE(ndisk.OpenChain(n.path.c_str(), nullptr, 2), 0);
  CFatVolume v;
  EXPECT_EQ(-1, v.MountShared(&ndisk, 0));
  EXPECT_FALSE(v.IsMounted());
  EXPECT_EQ(0, v.GetPathType(L"\\"));
}

// A folder whose entry is damaged (Sub's long name patched to "..", or its
// first cluster made the root's) is never entered: DeleteTree of its parent
// fails and nothing outside that parent goes.
TEST(FatVolume, DeleteTreeNeverFollowsADamagedEntryOutOfItsFolder) {
  for (int damage = 0; damage < 2; damage++) {
    SCOPED_TRACE(damage ? "Sub's first cluster is the root's" : "Sub's long name is '..'");
    Disk d = fv::ToolDisk("fat32");
    std::vector<uint8_t> img;
    ASSERT_TRUE(vt::ReadAll(d.path, img));
    // The long-name entry of "Sub" holds its first characters at 1, 3,
    // 5; its short entry follows it.
    const char sub[] = {'S', 0, 'u', 0, 'b', 0, 0, 0};
    long at = -1;
    for (size_t i = 1; i + 32 <= img.size() && at < 0; i += 32) {
      if (!memcmp(&img[i], sub, sizeof sub) && img[i + 10] == 0x0F) at = (long)i;
    }
    ASSERT_GE(at, 0);
    if (damage == 0) {
      img[at] = '.';
      img[at + 2] = '.';
      img[at + 4] = 0;
    } else {
      long entry = at - 1 + 32;
      ASSERT_EQ(0, memcmp(&img[entry], "SUB        ", 11));
      img[entry + 26] = 2;  // the FAT32 root's cluster (mkfs.fat: 2)
      img[entry + 27] = img[entry + 20] = img[entry + 21] = 0;
    }
    ASSERT_TRUE(vt::WriteAll(d.path, img));
    Opened o(d.path);
    EXPECT_EQ(0, o.volume.DeleteTree(L"\\Dir"));
    EXPECT_EQ((DWORD)ERROR_FILE_CORRUPT, GetLastError());
    EXPECT_EQ(1, o.volume.GetPathType(L"\\big.bin"));
    EXPECT_EQ(2, o.volume.GetPathType(L"\\Empty"));
    EXPECT_EQ(2, o.volume.GetPathType(L"\\Dir"));
  }
}

TEST(FatVolume, FormatterVolumesPassFsckAndTellTheirGeometry) {
  struct Case {
    unsigned type;
    uint32_t unit;
    uint32_t fsType;
    uint64_t clusterBytes;
  } cases[] = {{2, 512, 3, 512}, {4, 0, 4, 4096}, {4, 65536, 4, 65536}, {1, 0, 2, 4096}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type * 100000 + c.unit);
    // Formatting over an existing volume replaces it.
    Disk d = fv::ToolDisk("fat32");
    _VROH_MOUNT_RW disk;
    ASSERT_GE(disk.OpenChain(d.path.c_str(), nullptr, 2), 0);
    CFatVolume v;
    ASSERT_EQ(3, v.MountShared(&disk, 1));
    ASSERT_EQ(1, v.Format(c.type, c.unit));
    EXPECT_EQ(0, v.GetPathType(L"\\big.bin"));
    VolumeInfoRecord r;
    ASSERT_EQ(1, v.GetVolumeInfo(&r));
    EXPECT_EQ(c.fsType, r.fileSystem);
    EXPECT_EQ(c.clusterBytes, r.clusterSize);
    EXPECT_EQ(512u, r.sectorSize);
    uint64_t total = 0, free = 0;
    ASSERT_EQ(1, v.GetSpace(&total, &free));
    EXPECT_EQ(r.totalClusters * r.clusterSize, total);
    EXPECT_EQ(r.freeClusters * r.clusterSize, free);
    ASSERT_EQ(1, v.CreateDirectories(L"\\a\\b\\c"));
    EXPECT_EQ(0, v.CreateDirectories(L"\\a\\b\\c"));
    ASSERT_EQ(4u, v.WriteFile(L"\\a\\b\\c\\f", "data", 0, 4));
    uint64_t free2 = 0;
    ASSERT_EQ(1, v.GetSpace(nullptr, &free2));
    EXPECT_EQ(free - 4 * c.clusterBytes, free2);
    v.Release();
    ASSERT_EQ(0, disk.Flush());
    std::string part = fv::CutPartition(d, d.start, d.sectors, "part.img");
    EXPECT_EQ("", fv::FsckProblems(part, c.type == 4));
    if (c.type != 4) {
      std::string out;
      ASSERT_EQ(0, vt::Sh(fv::Mt() + "mtype -i " + vt::Q(part) + " ::/a/b/c/f", &out));
      EXPECT_EQ("data", out);
    }
  }
}

struct Answers {
  DWORD overwrite = VCC_REPLACE;
  int progress = 0;
  int asked = 0;
  int cancelAfter = -1;
};

DWORD CALLBACK Answer(DWORD event, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, void* user) {
  Answers* a = static_cast<Answers*>(user);
  if (event == VCC_TARGET_EXISTS) {
    a->asked++;
    return a->overwrite;
  }
  if (event == VCC_PROGRESS) return a->progress++ < a->cancelAfter || a->cancelAfter < 0;
  return 1;
}

TEST(FatVolume, CopiesBetweenHostAndVolume) {
  Disk d = fv::ToolDisk("fat32");
  std::wstring host = vt::ToWin(d.dir + "/out");
  Opened o(d.path);
  CFatVolume& v = o.volume;

  // Out: a tree into a host folder, with the volume's last-write times.
  Answers a;
  ASSERT_EQ(1, v.ExtractPath(L"\\Dir", host.c_str(), Answer, &a));
  EXPECT_GT(a.progress, 0);
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(d.dir + "/out/Dir/Sub/small.txt") + " " +
                      vt::Q(d.tree + "/Dir/Sub/small.txt")));
  FILETIME volTime, hostTime;
  ASSERT_EQ(1,
            v.GetFileInfo(L"\\Dir\\Sub\\small.txt", nullptr, &volTime, nullptr, nullptr, nullptr));
  HANDLE h = CreateFileW((host + L"\\Dir\\Sub\\small.txt").c_str(), GENERIC_READ, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  GetFileTime(h, nullptr, nullptr, &hostTime);
  CloseHandle(h);
  EXPECT_EQ(fv::U64(volTime), fv::U64(hostTime));
  ASSERT_EQ(1, v.ExtractPath(L"\\*.bin", host.c_str(), nullptr, nullptr));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(d.dir + "/out/big.bin") + " " + vt::Q(d.tree + "/big.bin")));

  // An existing host file: skipped, replaced only when older, replaced.
  std::wstring target = host + L"\\big.bin";
  vt::WriteAll(target, "old", 3);
  a = Answers();
  a.overwrite = VCC_SKIP;
  EXPECT_EQ(0, v.ExtractFile(L"\\big.bin", target.c_str(), Answer, &a));
  EXPECT_EQ(1, a.asked);
  std::vector<uint8_t> now;
  vt::ReadAll(target, now);
  EXPECT_EQ(3u, now.size());
  a.overwrite = VCC_REPLACE_IF_NEWER;  // the host file was written just now: newer
  EXPECT_EQ(0, v.ExtractFile(L"\\big.bin", target.c_str(), Answer, &a));
  a.overwrite = VCC_REPLACE;
  EXPECT_EQ(1, v.ExtractFile(L"\\big.bin", target.c_str(), Answer, &a));
  vt::ReadAll(target, now);
  EXPECT_EQ(2097473u, now.size());
  // A cancelled copy leaves no host file.
  a = Answers();
  a.cancelAfter = 3;
  EXPECT_EQ(0, v.ExtractFile(L"\\big.bin", (host + L"\\cut.bin").c_str(), Answer, &a));
  EXPECT_FALSE(vt::FileExists(host + L"\\cut.bin"));

  // In: a host tree, counted items, times kept, existing files asked about.
  uint64_t missing = 0;
  int items = v.InjectHostPath(vt::ToWin(d.tree).c_str(), L"\\Copy", &missing, nullptr, nullptr);
  EXPECT_EQ(6, items);  // Copy, Dir, Sub, Empty, big.bin, small.txt
  std::vector<uint8_t> big(2097473);
  ASSERT_EQ(big.size(), v.ReadFile(L"\\Copy\\big.bin", big.data(), 0, big.size()));
  std::vector<uint8_t> ref;
  vt::ReadAll(vt::ToWin(d.tree + "/big.bin"), ref);
  EXPECT_TRUE(big == ref);
  EXPECT_EQ(2, v.GetPathType(L"\\Copy\\Empty"));
  a = Answers();
  a.overwrite = VCC_SKIP;
  EXPECT_EQ(0, v.InjectHostFile(vt::ToWin(d.tree + "/Dir/Sub/small.txt").c_str(),
                                L"\\Copy\\big.bin", &missing, Answer, &a));
  EXPECT_EQ(1, a.asked);
  uint64_t size = 0;
  v.GetFileInfo(L"\\Copy\\big.bin", nullptr, nullptr, nullptr, nullptr, &size);
  EXPECT_EQ(2097473u, size);
  // Cancelled half-way: nothing of the file stays.
  a = Answers();
  a.cancelAfter = 5;
  EXPECT_EQ(0, v.InjectHostFile(vt::ToWin(d.tree + "/big.bin").c_str(), L"\\half.bin", &missing,
                                Answer, &a));
  EXPECT_EQ(0, v.GetPathType(L"\\half.bin"));

  // Too big for the free space: refused with the missing byte count.
  uint64_t free = 0;
  ASSERT_EQ(1, v.GetSpace(nullptr, &free));
  std::string huge = d.dir + "/huge.bin";
  ASSERT_EQ(0, vt::Sh("truncate -s " + std::to_string(free + 12345) + " " + vt::Q(huge)));
  missing = 0;
  SetLastError(0);
  EXPECT_EQ(0,
            v.InjectHostFile(vt::ToWin(huge).c_str(), L"\\huge.bin", &missing, nullptr, nullptr));
  EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
  EXPECT_EQ(12345u, missing);
  EXPECT_EQ(0, v.GetPathType(L"\\huge.bin"));
}

TEST(FatVolume, TreeOfAMountedNtfsVolumeCopiedOver) {
  std::string base = vt::ScratchDirUnix();
  Disk n = fv::ToolDisk("ntfs", "mbr2048", base + "/ntfs");
  Disk f = fv::ToolDisk("fat32", "mbr2048", base + "/fat");
  CMountedImage image;
  ASSERT_EQ(3, image.OpenImage(n.path.c_str(), nullptr, 0, 0));
  FILETIME w;
  ASSERT_EQ(1, image.GetFileInfo(L"\\Dir\\Sub\\small.txt", nullptr, &w, nullptr, nullptr, nullptr));
  {
    Opened o(f.path);
    EXPECT_EQ(1, o.volume.CopyFromMountedImage(&image, L"\\big.bin", L"\\one.bin"))
        << GetLastError();
    EXPECT_EQ(2, o.volume.CopyFromMountedImage(&image, L"\\", L"\\FromNtfs")) << GetLastError();
    EXPECT_EQ(2, o.volume.GetPathType(L"\\FromNtfs\\Empty"));
    FILETIME fw;
    ASSERT_EQ(1, o.volume.GetFileInfo(L"\\FromNtfs\\Dir\\Sub\\small.txt", nullptr, &fw, nullptr,
                                      nullptr, nullptr));
    // FAT keeps two-second steps.
    EXPECT_LT(fv::U64(w) - fv::U64(fw), 20000000u);
    EXPECT_EQ(-1, o.volume.CopyFromMountedImage(&image, L"\\missing", L"\\x"));
  }
  std::string part = fv::CutPartition(f, f.start, f.sectors, "part.img");
  EXPECT_EQ("", fv::FsckProblems(part, false));
  EXPECT_EQ(0, vt::Sh(fv::Mt() + "mtype -i " + vt::Q(part) + " ::/FromNtfs/big.bin | cmp - " +
                      vt::Q(n.tree + "/big.bin")));
}

}  // namespace

// A three-level host tree with a folder link in it goes in and comes out
// through CFatVolume's copies; the link is never followed on either trip.
class FatVolumeTreeCopy : public ::testing::TestWithParam<const char*> {};

DWORD CALLBACK CountFailures(DWORD event, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                             void* user) {
  if (event == VCC_FILE_FAILED) ++*static_cast<int*>(user);
  return 1;
}

TEST_P(FatVolumeTreeCopy, ThreeLevelsInAndOutAndTheFolderLinkIsNotFollowed) {
  const bool exfat = std::string(GetParam()) == "exfat";
  Disk d = fv::ToolDisk(GetParam());
  std::string t = d.dir + "/three";
  ASSERT_EQ(0,
            vt::Sh("set -e; mkdir -p " + vt::Q(t + "/a/b/c") + " " + vt::Q(d.dir + "/outside") +
                   " && cd " + vt::Q(t) + " && printf one > a/1.txt && printf two > a/b/2.txt" +
                   " && head -c 70000 /dev/urandom > a/b/c/3.bin && printf secret > " +
                   vt::Q(d.dir + "/outside/secret.txt") + " && ln -s ../../../outside a/b/link"));
  const std::wstring tree = vt::ToWin(t);
  EXPECT_EQ(3u + 3u + 70000u, GetHostTreeSize(tree.c_str()));
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY,
            GetHostFileAttributes((tree + L"\\a").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(0u, GetHostFileAttributes((tree + L"\\none").c_str()));
  {
    Opened o(d.path);
    int failures = 0;
    uint64_t missing = 0;
    // In, c, b, a and three files; the link cannot be made on FAT.
    EXPECT_EQ(7,
              o.volume.InjectHostPath(tree.c_str(), L"\\In", &missing, CountFailures, &failures));
    EXPECT_EQ(1, failures);
    EXPECT_EQ(0, o.volume.GetPathType(L"\\In\\a\\b\\link"));
    EXPECT_EQ(0, o.volume.GetPathType(L"\\In\\a\\b\\link\\secret.txt"));

    // Out: the folder under its own name inside a host folder made on
    // the way, a file into a folder two levels deep, a wildcard set.
    std::wstring out = vt::ToWin(d.dir + "/out/x");
    EXPECT_EQ(1, o.volume.ExtractPath(L"\\In", out.c_str(), nullptr, nullptr));
    EXPECT_EQ(1, o.volume.ExtractPath(L"\\In\\a\\b\\c\\3.bin", (out + L"\\y\\z").c_str(), nullptr,
                                      nullptr));
    EXPECT_EQ(1, o.volume.ExtractPath(L"\\In\\a\\*.txt", (out + L"\\w").c_str(), nullptr, nullptr));
  }
  std::string diff;
  vt::Sh("diff -r --no-dereference " + vt::Q(t) + " " + vt::Q(d.dir + "/out/x/In"), &diff);
  EXPECT_EQ("Only in " + t + "/a/b: link\n", diff);
  EXPECT_EQ(0,
            vt::Sh("cmp " + vt::Q(t + "/a/b/c/3.bin") + " " + vt::Q(d.dir + "/out/x/y/z/3.bin")));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(t + "/a/1.txt") + " " + vt::Q(d.dir + "/out/x/w/1.txt")));

  std::string part = fv::CutPartition(d, d.start, d.sectors, "part.img");
  EXPECT_EQ("", fv::FsckProblems(part, exfat));
  if (!exfat) {
    std::string listing, text;
    ASSERT_EQ(0, vt::Sh(fv::Mt() + "mdir -b -i " + vt::Q(part) + " ::/In/a/b", &listing));
    EXPECT_EQ(std::string::npos, listing.find("link"));
    ASSERT_EQ(0, vt::Sh(fv::Mt() + "mtype -i " + vt::Q(part) + " ::/In/a/b/2.txt", &text));
    EXPECT_EQ("two", text);
    EXPECT_EQ(0, vt::Sh(fv::Mt() + "mtype -i " + vt::Q(part) + " ::/In/a/b/c/3.bin | cmp - " +
                        vt::Q(t + "/a/b/c/3.bin")));
  }
}

// A disk object that counts the sectors the volume reads through it.
class CountingDisk : public _VROH_MOUNT_RW {
 public:
  int64_t Read(void* layers, uint64_t sector, void* buf, uint32_t bytes) override {
    sectorsRead += bytes / 512;
    return _VROH_MOUNT_RW::Read(layers, sector, buf, bytes);
  }
  uint64_t sectorsRead = 0;
};

// n tiny files into the new folder \Many and out again, each copy a
// command of its own (a mount of its own): the sectors each reads. Half the
// names need a long name whose short form collides with every other's
// ("Name with spaces ~N"), half are plain 8.3 names.
struct FolderCost {
  uint64_t in = 0, out = 0;
};
FolderCost CopyFolderOfFiles(const Disk& d, int n) {
  FolderCost cost;
  const std::string src = d.dir + "/Many", out = d.dir + "/out";
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(src) + " && cd " + vt::Q(src) + " && for i in $(seq -w 1 " +
                      std::to_string(n / 2) +
                      "); do printf \"$i\" > \"Name with spaces $i.txt\"; printf x > f$i.dat; done"));
  {
    CountingDisk disk;
    EXPECT_GE(disk.OpenChain(d.path.c_str(), nullptr, 2), 0);
    CFatVolume v;
    EXPECT_GE(v.MountShared(&disk, 1), 0);
    uint64_t missing = 0;
    const uint64_t before = disk.sectorsRead;
    EXPECT_EQ(n + 1, v.InjectHostPath(vt::ToWin(src).c_str(), L"\\Many", &missing, nullptr, nullptr));
    cost.in = disk.sectorsRead - before;
    EXPECT_TRUE(v.Release());
    EXPECT_EQ(0, disk.Flush());
  }
  {
    CountingDisk disk;
    EXPECT_GE(disk.OpenChain(d.path.c_str(), nullptr, 0), 0);
    CFatVolume v;
    EXPECT_GE(v.MountShared(&disk, 0), 0);
    const uint64_t before = disk.sectorsRead;
    EXPECT_EQ(1, v.ExtractPath(L"\\Many", vt::ToWin(out).c_str(), nullptr, nullptr));
    cost.out = disk.sectorsRead - before;
    v.Release();
  }
  std::string diff;
  EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(src) + " " + vt::Q(out + "/Many"), &diff)) << diff;
  return cost;
}

// A folder's names are read once a command: copies of 1,000 and 2,000
// files into one folder and out of it read in step with the names (a
// search from the folder's first entry for every name would read four
// times as much for twice the names). fsck passes the volume, and
// exfat-fuse or mtools list each name of the big folder once.
TEST_P(FatVolumeTreeCopy, AFolderOfThousandsIsReadOncePerCommand) {
  const bool exfat = std::string(GetParam()) == "exfat";
  const std::string base = vt::ScratchDirUnix();
  const FolderCost small = CopyFolderOfFiles(fv::ToolDisk(GetParam(), "mbr2048", base + "/a"), 1000);
  Disk d = fv::ToolDisk(GetParam(), "mbr2048", base + "/b");
  const FolderCost big = CopyFolderOfFiles(d, 2000);
  EXPECT_LT(big.in * 10, small.in * 25) << big.in << " sectors for 2,000 against " << small.in;
  EXPECT_LT(big.out * 10, small.out * 25) << big.out << " sectors for 2,000 against " << small.out;

  std::string part = fv::CutPartition(d, d.start, d.sectors, "part.img"), listed, want;
  EXPECT_EQ("", fv::FsckProblems(part, exfat));
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(d.dir + "/Many") + " && ls | sort", &want));
  const std::string mnt = d.dir + "/mnt";
  ASSERT_EQ(0, vt::Sh(exfat ? "mkdir -p " + vt::Q(mnt) + " && l=$(losetup -f --show " + vt::Q(part) +
                                  ") && mount.exfat-fuse -o ro $l " + vt::Q(mnt) +
                                  " >/dev/null && (ls " + vt::Q(mnt + "/Many") + " | sort); umount " +
                                  vt::Q(mnt) + "; losetup -d $l"
                            : fv::Mt() + "mdir -b -i " + vt::Q(part) +
                                  " ::/Many | sed 's|^::/Many/||' | sort",
                      &listed));
  EXPECT_EQ(want, listed);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatVolumeTreeCopy, ::testing::Values("fat32", "exfat"));
