// Hives of a Windows tree on a FAT32 image: loaded and saved through the
// mounted image (read back with mcopy and hivexget, the volume checked by
// fsck.fat), read-only use writing nothing, and saves that cannot reach the
// volume (a read-only mount, a full volume) reported with the file kept.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "FacadeTestUtil.h"
#include "hive/HiveTestUtil.h"
#include "RegHiveFatTestUtil.h"
#include "TestSupport.h"
#include "image/mount/FatVolume.h"
#include "image/mount/MountedImage.h"
#include "registry/RegHive.h"
#include "registry/RegistryFacade.h"

namespace {

const int kFatMiB = 40;  // FAT32 needs 65525 clusters
const wchar_t kSoftware[] = L"\\Windows\\System32\\config\\SOFTWARE";

struct FatDisk {
  std::string dir, unixPath;
  std::wstring path;
  long start = 0;
};

FatDisk MakeFatDisk(const std::string& treeOptions) {
  FatDisk d;
  d.dir = vt::ScratchDirUnix();
  d.unixPath = d.dir + "/fat.img";
  d.path = vt::ToWin(d.unixPath);
  std::string tree = d.dir + "/tree", out;
  EXPECT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " " + treeOptions));
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.unixPath) +
                              " --fs fat32 --layout mbr2048 --size " + std::to_string(kFatMiB) +
                              " --tree " + vt::Q(tree),
                          &out));
  d.start = atol(out.c_str());
  return d;
}

std::string Part(const FatDisk& d) {
  return ft::CutPartition(d.unixPath, d.start, kFatMiB * 2048, d.dir + "/fat.part");
}

}  // namespace

TEST(RegHiveFat, HivesLoadAndSaveOnAFat32Image) {
  FatDisk d = MakeFatDisk("--user alice --bcd");
  std::string hash = vt::Sha256(d.path);
  {
    CMountedImage m;  // writable, only read
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    ASSERT_EQ(nullptr, m.NtfsVolume());
    ASSERT_EQ(1, m.LoadHives(0x3F));
    EXPECT_EQ(L"SYSTEM", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro", L"Hive"));
    EXPECT_EQ(L"SOFTWARE", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro", L"Hive"));
    EXPECT_EQ(L"SAM", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\SAM\\Vro", L"Hive"));
    EXPECT_EQ(L"SECURITY", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\SECURITY\\Vro", L"Hive"));
    EXPECT_EQ(L"USER alice", rt::QueryString(m, L"HKEY_CURRENT_USER\\Vro", L"Hive"));
    EXPECT_EQ(L"BCD", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\BCD00000000\\Vro", L"Hive"));
    EXPECT_TRUE(m.UnloadHives());
  }
  EXPECT_EQ(hash, vt::Sha256(d.path));

  std::vector<uint8_t> big(300000);
  for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)(i % 251);
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    ASSERT_EQ(1, m.LoadHives(0x3F));
    std::vector<uint8_t> text = rt::Utf16z(L"on fat");
    ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Fat"));
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Fat", L"Text",
                                           text.data(), (uint32_t)text.size(), 1));
    uint32_t seven = 7;
    ASSERT_EQ(REG_STATUS_OK,
              m.RegSetValue(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro", L"Seven", &seven, 4, 4));
    // The user hive grows well past its clusters.
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(L"HKEY_CURRENT_USER\\Vro", L"Big", big.data(),
                                           (uint32_t)big.size(), 3));
  }  // written back when the mounted image goes
  std::string part = Part(d);
  ft::ExpectFsckClean(part);
  std::string soft = ft::Mcopy(part, "/Windows/System32/config/SOFTWARE", d.dir + "/soft.hiv");
  EXPECT_EQ("on fat", rt::HivexGet(soft, "\\Vro\\Fat", "Text"));
  EXPECT_EQ("SOFTWARE", rt::HivexGet(soft, "\\Vro", "Hive"));
  std::string sys = ft::Mcopy(part, "/Windows/System32/config/SYSTEM", d.dir + "/sys.hiv");
  EXPECT_EQ("7", rt::HivexGet(sys, "\\Vro", "Seven"));
  std::string user = ft::Mcopy(part, "/Users/alice/NTUSER.DAT", d.dir + "/user.hiv");
  std::string dump = ht::HivexDump(user);
  EXPECT_NE(std::string::npos, dump.find("V \\Vro|Big|3|000102030405")) << dump.substr(0, 300);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(vt::ReadAll(vt::ToWin(user), bytes));
  EXPECT_GT(bytes.size(), big.size());
  // The rewritten files keep their names as Windows wrote them.
  std::string listing;
  EXPECT_EQ(0, vt::Sh("mdir -b -i " + vt::Q(part) + " ::/Windows/System32/config", &listing));
  EXPECT_NE(std::string::npos, listing.find("/SOFTWARE\n")) << listing;
  EXPECT_NE(std::string::npos, listing.find("/SYSTEM\n")) << listing;

  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
  ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_SOFTWARE | HIVE_FLAG_USER));
  EXPECT_EQ(L"on fat", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Fat", L"Text"));
  RegValueBuf* buf = nullptr;
  uint32_t type = 0;
  ASSERT_EQ(REG_STATUS_OK, m.RegQueryValue(L"HKEY_CURRENT_USER\\Vro", L"Big", &type, &buf));
  EXPECT_EQ(big.size(), buf->length);
  EXPECT_EQ(0, memcmp(buf->data, big.data(), big.size()));
  free(buf);
}

TEST(RegHiveFat, OpenRefusesWhatIsNoHiveAndAReadOnlyMountReportsTheLostChange) {
  FatDisk d = MakeFatDisk("");
  std::string hash = vt::Sha256(d.path);
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));  // read-only mount
  CFatVolume* fat = m.FatVolume();
  ASSERT_NE(nullptr, fat);
  CRegHive h;
  EXPECT_EQ(0, h.OpenFromFat(nullptr, kSoftware));
  EXPECT_EQ(0, h.OpenFromFat(fat, L"\\Windows\\System32\\config\\MISSING"));
  EXPECT_EQ(0, h.OpenFromFat(fat, L"\\Windows\\System32\\config"));
  EXPECT_EQ(0, h.OpenFromFat(fat, L"\\Windows\\System32\\ntoskrnl.exe"));
  EXPECT_FALSE(h.IsLoaded());
  ASSERT_EQ(1, h.OpenFromFat(fat, L"\\WINDOWS\\system32\\config\\software"));
  EXPECT_EQ(HIVE_SAVE_NOTHING, h.SaveToFat());
  ASSERT_EQ(REG_STATUS_OK, h.CreateKey(L"Lost"));
  EXPECT_EQ(HIVE_SAVE_FAILED, h.SaveToFat());
  EXPECT_TRUE(h.IsDirty());
  EXPECT_EQ(HIVE_SAVE_FAILED, h.Close());
  EXPECT_TRUE(h.IsLoaded());
  EXPECT_EQ(REG_STATUS_EXISTS, h.CreateKey(L"Lost"));
  h.Discard();

  ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_SOFTWARE | HIVE_FLAG_SYSTEM));
  ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Lost"));
  EXPECT_FALSE(m.UnloadHives());
  ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_SOFTWARE));
  EXPECT_EQ(REG_STATUS_NOT_FOUND, m.RegGetSubkeyCount(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Lost"));
  m.Close();
  EXPECT_EQ(hash, vt::Sha256(d.path));
}

TEST(RegHiveFat, HiveThatNoLongerFitsIsReportedAndTheFileKept) {
  FatDisk d = MakeFatDisk("--no-kernel");
  std::vector<uint8_t> before;
  ASSERT_TRUE(vt::ReadAll(
      vt::ToWin(ft::Mcopy(Part(d), "/Windows/System32/config/SOFTWARE", d.dir + "/old.hiv")),
      before));
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    // Fill the volume to within a few clusters.
    uint64_t total = 0, freeBytes = 0;
    ASSERT_EQ(1, m.GetVolumeSpace(&total, &freeBytes));
    ASSERT_GT(freeBytes, 64u * 1024);
    ASSERT_EQ(1, m.CreatePath(L"\\fill.bin", 0x8000));
    std::vector<uint8_t> chunk(1 << 20, 0xEE);
    uint64_t fill = freeBytes - 8 * 1024;
    for (uint64_t at = 0; at < fill; at += chunk.size()) {
      uint64_t n = fill - at < chunk.size() ? fill - at : chunk.size();
      ASSERT_EQ(n, m.WriteFile(L"\\fill.bin", chunk.data(), at, n));
    }
    ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_SOFTWARE | HIVE_FLAG_SYSTEM));
    std::vector<uint8_t> big(1 << 20, 0x42);
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro", L"Big", big.data(),
                                           (uint32_t)big.size(), 3));
    // A change that keeps its hive's size would fit, but the hives of one
    // write-back are saved all or none: it is not saved either.
    uint32_t seven = 7;
    ASSERT_EQ(REG_STATUS_OK,
              m.RegSetValue(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro", L"Seven", &seven, 4, 4));
    EXPECT_FALSE(m.UnloadHives());
  }
  std::string part = Part(d);
  ft::ExpectFsckClean(part);
  std::vector<uint8_t> after;
  ASSERT_TRUE(vt::ReadAll(
      vt::ToWin(ft::Mcopy(part, "/Windows/System32/config/SOFTWARE", d.dir + "/new.hiv")), after));
  EXPECT_TRUE(before == after);
  std::string sys = ft::Mcopy(part, "/Windows/System32/config/SYSTEM", d.dir + "/sys.hiv");
  EXPECT_EQ("<missing>", rt::HivexGet(sys, "\\Vro", "Seven"));
  EXPECT_EQ("SYSTEM", rt::HivexGet(sys, "\\Vro", "Hive"));
}
