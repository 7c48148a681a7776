// The boot configuration store: on the EFI system partition of a GPT disk
// (read back with mcopy and hivexget, the partition checked by fsck.fat),
// at \Boot\BCD of the NTFS volume of an MBR disk (ntfscat and hivexget),
// CFatVolume's own BCD hive, and saves that fail being reported.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "FacadeTestUtil.h"
#include "hive/HiveTestUtil.h"
#include "RegHiveFatTestUtil.h"
#include "TestSupport.h"
#include "image/device/PartitionTable.h"
#include "image/mount/FatVolume.h"
#include "image/mount/MountedImage.h"
#include "registry/BcdStore.h"
#include "registry/RegHive.h"
#include "registry/RegistryFacade.h"

namespace {

#define BOOTMGR L"{9dea862c-5cdd-4e70-acc1-f32b344d4795}"
const wchar_t kBootMgrKey[] = L"HKEY_LOCAL_MACHINE\\BCD00000000\\Objects\\" BOOTMGR;
const wchar_t kDescription[] =
    L"HKEY_LOCAL_MACHINE\\BCD00000000\\Objects\\" BOOTMGR L"\\Description";
const wchar_t kElement[] =
    L"HKEY_LOCAL_MACHINE\\BCD00000000\\Objects\\" BOOTMGR L"\\Elements\\12000004";
const char kHivexObj[] = "\\Objects\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
const long kEspStart = 2048;
const long kEspSectors = 40 * 2048;

// A GPT disk: the EFI system partition holds \EFI\Microsoft\Boot\BCD, the
// data volume (NTFS, or FAT32 of dataMiB) a Windows tree with its own
// \Boot\BCD (which must not be the one used).
rt::WinDisk MakeGptDisk(const std::string& fs = "ntfs", int dataMiB = rt::kDiskMiB) {
  rt::WinDisk d;
  d.dir = vt::ScratchDirUnix();
  d.tree = d.dir + "/tree";
  d.unixPath = d.dir + "/disk.img";
  d.path = vt::ToWin(d.unixPath);
  std::string esp = d.dir + "/esp";
  EXPECT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(d.tree) + " --no-kernel --bcd"));
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(esp + "/EFI/Microsoft/Boot")));
  std::vector<uint8_t> bcd = ht::MakeHive(
      "{\"keys\": [{\"path\": \"Vro\", \"values\": [{\"name\": \"Hive\", \"str\": \"ESP BCD\"}]},"
      " {\"path\": \"Objects\\\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}\\\\Description\","
      "  \"values\": [{\"name\": \"Type\", \"dword\": 269484034}]},"
      " {\"path\": \"Objects\\\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}\\\\Elements\\\\12000004\","
      "  \"values\": [{\"name\": \"Element\", \"str\": \"Windows Boot Manager\"}]}]}");
  EXPECT_TRUE(vt::WriteAll(vt::ToWin(esp + "/EFI/Microsoft/Boot/BCD"), bcd));
  std::string out;
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.unixPath) +
                              " --layout gpt-esp --esp-size 40 --fs " + fs + " --size " +
                              std::to_string(dataMiB) + " --tree " + vt::Q(d.tree) +
                              " --esp-tree " + vt::Q(esp),
                          &out));
  d.start = atol(out.c_str());
  return d;
}

// The EFI system partition of a raw disk, cut out for mtools and fsck.fat.
std::string EspPart(const rt::WinDisk& d) {
  return ft::CutPartition(d.unixPath, kEspStart, kEspSectors, d.dir + "/esp.part");
}

uint32_t QueryDword(CMountedImage& m, const wchar_t* key, const wchar_t* name) {
  uint32_t type = 0;
  RegValueBuf* buf = nullptr;
  if (m.RegQueryValue(key, name, &type, &buf) != REG_STATUS_OK || !buf || buf->length < 4) {
    free(buf);
    return 0xFFFFFFFF;
  }
  uint32_t v = *(uint32_t*)buf->data;
  free(buf);
  return v;
}

}  // namespace

TEST(BcdStore, GptDiskUsesTheStoreOnTheEfiPartition) {
  rt::WinDisk d = MakeGptDisk();
  std::vector<uint8_t> loader(300000);
  for (size_t i = 0; i < loader.size(); i++) loader[i] = (uint8_t)(i * 7 + (i >> 9));
  std::vector<uint8_t> big(200000, 0x5A);
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    ASSERT_EQ(1, m.LoadHives(0x3F));
    EXPECT_EQ(L"ESP BCD", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\BCD00000000\\Vro", L"Hive"));
    EXPECT_EQ(L"Windows Boot Manager", rt::QueryString(m, kElement, L"Element"));
    EXPECT_EQ(269484034u, QueryDword(m, kDescription, L"Type"));
    EXPECT_EQ(L"SYSTEM", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro", L"Hive"));

    std::vector<uint8_t> text = rt::Utf16z(L"VroMount boot");
    ASSERT_EQ(REG_STATUS_OK,
              m.RegWriteValueData(kElement, L"Element", text.data(), (uint32_t)text.size()));
    uint32_t type = 0x10100003;
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(kDescription, L"Type", &type, 4, 4));
    ASSERT_EQ(REG_STATUS_OK, m.RegDeleteKey(L"HKEY_LOCAL_MACHINE\\BCD00000000\\Vro"));
    // The store grows past its old clusters...
    ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey(L"HKEY_LOCAL_MACHINE\\BCD00000000\\Big"));
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(L"HKEY_LOCAL_MACHINE\\BCD00000000\\Big", L"Blob",
                                           big.data(), (uint32_t)big.size(), 3));
    // ...after another call has allocated clusters on the same partition.
    ASSERT_EQ(1, m.CreatePath(L"\\::{UEFI}\\EFI\\Microsoft\\Boot\\bootmgfw.efi", 0x8000));
    ASSERT_EQ(loader.size(), m.WriteFile(L"\\::{UEFI}\\EFI\\Microsoft\\Boot\\bootmgfw.efi",
                                         loader.data(), 0, loader.size()));
    EXPECT_TRUE(m.UnloadHives());
    EXPECT_EQ(nullptr, m.m_pEspFat);
  }
  std::string part = EspPart(d);
  ft::ExpectFsckClean(part);
  std::string bcd = ft::Mcopy(part, "/EFI/Microsoft/Boot/BCD", d.dir + "/bcd.hiv");
  EXPECT_EQ("VroMount boot",
            rt::HivexGet(bcd, std::string(kHivexObj) + "\\Elements\\12000004", "Element"));
  EXPECT_EQ("269484035", rt::HivexGet(bcd, std::string(kHivexObj) + "\\Description", "Type"));
  EXPECT_EQ("<missing>", rt::HivexGet(bcd, "\\Vro", "Hive"));
  std::string dump = ht::HivexDump(bcd);
  EXPECT_NE(std::string::npos, dump.find("V \\Big|Blob|3|5a5a5a")) << dump.substr(0, 400);
  std::vector<uint8_t> copied;
  ASSERT_TRUE(vt::ReadAll(
      vt::ToWin(ft::Mcopy(part, "/EFI/Microsoft/Boot/bootmgfw.efi", d.dir + "/mgr.efi")), copied));
  EXPECT_TRUE(copied == loader);
  // The NTFS volume's own store was not the one changed.
  std::string ntfsBcd = rt::NtfsCat(d, d.unixPath, "/Boot/BCD", d.dir + "/ntfs-bcd.hiv");
  EXPECT_EQ("BCD", rt::HivexGet(ntfsBcd, "\\Vro", "Hive"));
  // And the facade reads the change back.
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
  ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_BCD));
  EXPECT_EQ(L"VroMount boot", rt::QueryString(m, kElement, L"Element"));
}

// A GPT disk whose data partition is FAT32 with a Windows tree and its own
// \Boot\BCD: opened on that partition ("::1") the store is the EFI system
// partition's, and a change lands there, the data volume's store as it
// was (fsck.fat, mcopy and hivexget read both back); opened on the EFI
// system partition itself ("::0") it is that volume's own store.
TEST(BcdStore, FatDataPartitionUsesTheStoreOnTheEfiPartition) {
  const int dataMiB = 40;
  rt::WinDisk d = MakeGptDisk("fat32", dataMiB);
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 1, 2));
    ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_BCD | HIVE_FLAG_SYSTEM));
    EXPECT_NE(nullptr, m.m_pEspFat);
    EXPECT_EQ(L"ESP BCD", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\BCD00000000\\Vro", L"Hive"));
    EXPECT_EQ(L"SYSTEM", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro", L"Hive"));
    std::vector<uint8_t> text = rt::Utf16z(L"FAT data boot");
    ASSERT_EQ(REG_STATUS_OK,
              m.RegWriteValueData(kElement, L"Element", text.data(), (uint32_t)text.size()));
    EXPECT_TRUE(m.UnloadHives());
  }
  std::string part = EspPart(d);
  ft::ExpectFsckClean(part);
  std::string bcd = ft::Mcopy(part, "/EFI/Microsoft/Boot/BCD", d.dir + "/bcd.hiv");
  EXPECT_EQ("FAT data boot",
            rt::HivexGet(bcd, std::string(kHivexObj) + "\\Elements\\12000004", "Element"));
  std::string data = ft::CutPartition(d.unixPath, d.start, dataMiB * 2048L, d.dir + "/data.part");
  ft::ExpectFsckClean(data);
  EXPECT_EQ("BCD",
            rt::HivexGet(ft::Mcopy(data, "/Boot/BCD", d.dir + "/data-bcd.hiv"), "\\Vro", "Hive"));
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, kPartitionNamed | 0, 0));
  ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_BCD));
  EXPECT_EQ(nullptr, m.m_pEspFat);
  EXPECT_EQ(L"FAT data boot", rt::QueryString(m, kElement, L"Element"));
}

TEST(BcdStore, MbrDiskUsesBootBcdOnTheNtfsVolume) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel --bcd");
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_BCD));
    EXPECT_EQ(nullptr, m.m_pEspFat);
    EXPECT_EQ(L"BCD", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\BCD00000000\\Vro", L"Hive"));
    EXPECT_EQ(270532611u, QueryDword(m, kDescription, L"Type"));
    ASSERT_EQ(REG_STATUS_OK,
              m.RegCreateKey(std::wstring(kBootMgrKey).append(L"\\Elements\\25000004").c_str()));
    uint64_t timeout = 30;
    ASSERT_EQ(REG_STATUS_OK,
              m.RegSetValue(std::wstring(kBootMgrKey).append(L"\\Elements\\25000004").c_str(),
                            L"Element", &timeout, 8, 3));
  }  // written back when the mounted image goes
  std::string bcd = rt::NtfsCat(d, d.unixPath, "/Boot/BCD", d.dir + "/bcd.hiv");
  std::string dump = ht::HivexDump(bcd);
  EXPECT_NE(
      std::string::npos,
      dump.find("V \\Objects\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}\\Elements\\25000004|Element|3|"
                "1e00000000000000"))
      << dump;
  EXPECT_EQ("BCD", rt::HivexGet(bcd, "\\Vro", "Hive"));

  // A change that cannot reach a read-only volume is reported, not lost
  // silently, and nothing is written.
  std::string hash = vt::Sha256(d.path);
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
  ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_BCD | HIVE_FLAG_SYSTEM));
  ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey(L"HKEY_LOCAL_MACHINE\\BCD00000000\\Lost"));
  EXPECT_FALSE(m.UnloadHives());
  EXPECT_EQ(REG_STATUS_FAILURE,
            m.RegQueryValue(L"HKEY_LOCAL_MACHINE\\BCD00000000\\Vro", L"Hive", nullptr, nullptr));
  // Nothing changed: nothing to fail.
  ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_BCD | HIVE_FLAG_SYSTEM));
  EXPECT_TRUE(m.UnloadHives());
  EXPECT_TRUE(m.UnloadHives());
  m.Close();
  EXPECT_EQ(hash, vt::Sha256(d.path));
}

TEST(BcdStore, ReadOnlyEfiPartitionReportsTheLostChange) {
  rt::WinDisk d = MakeGptDisk();
  std::string hash = vt::Sha256(d.path);
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
    ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_BCD));
    EXPECT_EQ(L"ESP BCD", rt::QueryString(m, L"HKEY_LOCAL_MACHINE\\BCD00000000\\Vro", L"Hive"));
    uint32_t type = 1;
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(kDescription, L"Type", &type, 4, 4));
    EXPECT_FALSE(m.UnloadHives());
  }
  EXPECT_EQ(hash, vt::Sha256(d.path));
}

TEST(BcdStore, FatVolumeHolderLoadsSavesAndDeletesKeys) {
  rt::WinDisk d = MakeGptDisk();
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    CFatVolume v;
    ASSERT_GE(v.MountShared(m.DiskObject(), 1), 0);
    EXPECT_EQ(REG_STATUS_FAILURE, v.DeleteBcdKey(L"Vro"));
    ASSERT_EQ(1, v.LoadBcdHive());
    ASSERT_NE(nullptr, v.m_pBcdHive);
    EXPECT_EQ(0u, v.DeleteBcdKey(L"Objects\\" BOOTMGR L"\\Description"));
    EXPECT_EQ((uint32_t)-1, v.DeleteBcdKey(L"Objects\\" BOOTMGR L"\\Description"));
    EXPECT_EQ(REG_STATUS_NOT_FOUND, v.DeleteBcdKey(L"Nowhere\\Description"));
    EXPECT_EQ(0u, v.DeleteBcdKey(L"Vro"));
    // Loading again saves the changed store first.
    ASSERT_EQ(1, v.LoadBcdHive());
    EXPECT_EQ(REG_STATUS_NOT_FOUND, v.m_pBcdHive->QueryValue(L"Vro", L"Hive", nullptr, nullptr));
    EXPECT_EQ(1u, v.m_pBcdHive->GetSubkeyCount(L"Objects\\" BOOTMGR));
    EXPECT_TRUE(CloseBcdHive(&v));
    EXPECT_EQ(nullptr, v.m_pBcdHive);
    EXPECT_EQ(REG_STATUS_FAILURE, v.DeleteBcdKey(L"Objects"));
    v.Release();
    // The disk object is still the mounted image's.
    EXPECT_EQ(1, m.GetPathType(L"\\::{UEFI}\\EFI\\Microsoft\\Boot\\BCD"));
  }
  std::string part = EspPart(d);
  ft::ExpectFsckClean(part);
  std::string dump = ht::HivexDump(ft::Mcopy(part, "/EFI/Microsoft/Boot/BCD", d.dir + "/bcd.hiv"));
  EXPECT_EQ(std::string::npos, dump.find("K \\Vro\n")) << dump;
  EXPECT_EQ(std::string::npos, dump.find("Description")) << dump;
  EXPECT_NE(std::string::npos, dump.find("Elements\\12000004|Element|1|")) << dump;
}
