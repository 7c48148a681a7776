// The driver store's lookups over a store laid out in a scratch folder (the
// settings file beside the test program points there), and the boot-time
// PnP device list in the SYSTEM hive of an image, read back with hivexget.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "../registry/FacadeTestUtil.h"
#include "TestSupport.h"
#include "common/IniSection.h"
#include "driverstore/DriverStore.h"
#include "driverstore/PnpRegistration.h"
#include "image/mount/MountedImage.h"

namespace {

std::wstring SettingsFile() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring s = exe;
  return s.substr(0, s.rfind(L'.')) + L".ini";
}

void WriteUtf16(const std::wstring& path, const std::wstring& text) {
  rt::WriteRegFile(path, text);
}

class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = vt::ScratchDir();
    ASSERT_TRUE(
        WritePrivateProfileStringW(L"Config", L"DrvPath", root_.c_str(), SettingsFile().c_str()));
  }
  void TearDown() override { DeleteFileW(SettingsFile().c_str()); }
  std::wstring root_;
};

TEST_F(Store, RootFolderNamesAndLookup) {
  wchar_t folder[360];
  GetDriverStoreFolder(kStoreNetwork, 0x400601, folder);
  EXPECT_EQ(root_ + L"\\Network\\6.1_x64", folder);
  GetDriverStoreFolder(5, 0x560A00, folder);
  EXPECT_EQ(root_ + L"\\10.0_x86", folder);
  DeleteFileW(SettingsFile().c_str());
  GetDriverStoreRoot(folder);
  EXPECT_EQ(L"G:\\VroDrv", std::wstring(folder));
  ASSERT_TRUE(
      WritePrivateProfileStringW(L"Config", L"DrvPath", root_.c_str(), SettingsFile().c_str()));

  std::wstring dir = root_ + L"\\Network\\6.1_x64";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(dir))));
  WriteUtf16(dir + L"\\VroDir.ini",
             L"[PCI\\VEN_8086&DEV_10D3]\r\nVEN_8086&DEV_10D3\r\nVEN_8086&DEV_10F6\r\n"
             L"[PCI\\Second]\r\nven_8086&dev_10f6\r\nVEN_10EC&DEV_8168\r\n"
             L"[NoSlash]\r\nVEN_1AF4&DEV_1000\r\n");
  struct Case {
    const wchar_t* id;
    int found;
    const wchar_t* package;
  } cases[] = {
      {L"VEN_8086&DEV_10F6", 1, L"VEN_8086&DEV_10D3"},  // the first section wins
      {L"ven_10ec&dev_8168", 1, L"Second"},
      {L"VEN_1AF4&DEV_1000", 1, L"NoSlash"},
      {L"VEN_1AF4", 0, L"VEN_1AF4"},  // whole lines only
  };
  for (const Case& c : cases) {
    wchar_t id[100];
    wcscpy(id, c.id);
    EXPECT_EQ(c.found, FindDriverInStore(kStoreNetwork, 0x400601, id, 100)) << vt::Narrow(c.id);
    EXPECT_EQ(std::wstring(c.package), id);
  }
  wchar_t id[100] = L"VEN_8086&DEV_10D3";
  EXPECT_EQ(0, FindDriverInStore(kStoreDisplay, 0x400601, id, 100));
}

TEST_F(Store, NewestVersionFolderAndVendors) {
  std::string pkg = vt::ToUnix(root_) + "/pkg";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(pkg + "/latest") + " && cd " + vt::Q(pkg) +
                      " && mkdir 1.0.0.9 1.0.0.10 0.9.9.9 && touch 9.9.9.9"));
  std::wstring pattern = vt::ToWin(pkg) + L"\\*.*";
  wchar_t name[100] = L"untouched";
  EXPECT_EQ(0x000100000000000Aull, FindNewestVersionFolder(pattern.c_str(), name));
  EXPECT_EQ(L"1.0.0.10", std::wstring(name)) << "files and names without a dot never count";
  EXPECT_EQ(4, CountSubfolders(pattern.c_str()));
  std::wstring only = vt::ToWin(pkg) + L"\\lat*";
  wcscpy(name, L"untouched");
  EXPECT_EQ(0u, FindNewestVersionFolder(only.c_str(), name));
  EXPECT_EQ(L"untouched", std::wstring(name));

  EXPECT_EQ(0x8086u, ParsePciVendorId(L"PCI\\VEN_8086&DEV_100E"));
  EXPECT_EQ(0x10ECu, ParsePciVendorId(L"pci\\ven_10ec&dev_8168"));
  EXPECT_EQ(0x12u, ParsePciVendorId(L"VEN_12&D"));
  EXPECT_EQ(0u, ParsePciVendorId(L"USB\\VID_0BDA"));
  EXPECT_EQ(0x8086u, CollectVendorIds(L"VEN_8086&DEV_1\0VEN_10EC&DEV_2\0"));
  EXPECT_EQ(0u, CollectVendorIds(nullptr));
}

TEST_F(Store, DeviceSectionsOfTheIndexFiles) {
  std::wstring ini = root_ + L"\\VroPnp.ini";
  WriteUtf16(
      ini,
      L"[DeviceList]\r\n\"A\"=X,PCI\\VEN_1\r\n[vro_old]\r\nVEN_9\r\n[PCI]\r\nVEN_8086&DEV_100E\r\n"
      L"VEN_8086&DEV_1000\r\n");
  wchar_t section[20] = L"";
  std::wstring ids = ReadPendingDeviceSection(ini.c_str(), section, 20);
  EXPECT_EQ(std::wstring(L"VEN_8086&DEV_100E\0VEN_8086&DEV_1000\0\0\0", 38), ids);
  EXPECT_EQ(L"PCI", std::wstring(section));
  EXPECT_EQ(L"", ReadPendingDeviceSection((root_ + L"\\none.ini").c_str(), nullptr, 0));

  std::wstring dir = root_ + L"\\VroDir.ini";
  WriteUtf16(dir, L"[pkg1]\r\nVEN_1&DEV_1\r\n[PCI\\pkg2]\r\nVEN_2&DEV_2\r\nVEN_2&DEV_3\r\n");
  wchar_t before[100] = L"x", after[60] = L"kept";
  EXPECT_EQ(std::wstring(L"VEN_1&DEV_1\0\0\0", 14),
            FindHardwareIdSections(dir.c_str(), L"ven_1&dev_1", before, after));
  EXPECT_EQ(L"PCI", std::wstring(before));
  EXPECT_EQ(L"kept", std::wstring(after));
  EXPECT_EQ(std::wstring(L"VEN_2&DEV_2\0VEN_2&DEV_3\0\0\0", 26),
            FindHardwareIdSections(dir.c_str(), L"VEN_2&DEV_3", before, after));
  EXPECT_EQ(L"PCI", std::wstring(before));
  EXPECT_EQ(L"pkg2", std::wstring(after));
  EXPECT_EQ(L"", FindHardwareIdSections(dir.c_str(), L"VEN_9", before, after));
}

TEST(PnpList, RegisterReplacesTheVendorsEarlierRecord) {
  rt::WinDisk d = rt::MakeWinDisk("");
  const wchar_t* list = L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\VROPNP\\PnpList";
  const wchar_t* oldInstance =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\PCI\\VEN_8086&DEV_1000\\VRO&Node&Pnp";
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, m.LoadHives(1));
    ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey(list));
    ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey(oldInstance));
    ASSERT_EQ(
        REG_STATUS_OK,
        m.RegCreateKey(
            L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\0003"));
    const wchar_t shared[] = L"VEN_8086&DEV_1000\0VEN_8086&DEV_100E\0";
    const wchar_t other[] = L"VEN_10EC&DEV_100E\0VEN_8086&DEV_100E\0";
    ASSERT_EQ(REG_STATUS_OK,
              m.RegSetValue(list, L"PCI\\VEN_8086&DEV_1000", shared, sizeof(shared), 7));
    ASSERT_EQ(REG_STATUS_OK,
              m.RegSetValue(list, L"PCI\\VEN_10EC&DEV_100E", other, sizeof(other), 7));
    std::vector<uint8_t> driver = rt::Utf16z(L"{4d36e972-e325-11ce-bfc1-08002be10318}\\0003");
    ASSERT_EQ(REG_STATUS_OK,
              m.RegSetValue(oldInstance, L"Driver", driver.data(), (uint32_t)driver.size(), 1));
    std::wstring ids(L"VEN_8086&DEV_100E\0VEN_8086&DEV_1000\0\0", 37);
    EXPECT_EQ(1, RegisterPnpDevice(&m, 1, ids, L"PCI"));
    EXPECT_EQ(1, RegisterPnpDevice(&m, 1, ids, L"PCI")) << "twice: one value";
    EXPECT_EQ(0, RegisterPnpDevice(&m, 1, std::wstring(), L"PCI"));
  }
  std::string sys =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
  std::string key = "ControlSet001\\Services\\VROPNP\\PnpList";
  EXPECT_EQ("<missing>", rt::HivexGet(sys, key, "PCI\\VEN_8086&DEV_1000"));
  EXPECT_NE("<missing>", rt::HivexGet(sys, key, "PCI\\VEN_10EC&DEV_100E"))
      << "another vendor's record stays";
  std::string out;
  ASSERT_EQ(0, vt::Sh("hivexsh -w " + vt::Q(sys) + " <<'EOF'\ncd " + key + "\nlsval\nEOF", &out));
  EXPECT_NE(std::string::npos, out.find("\"PCI\\\\VEN_8086&DEV_100E\"")) << out;
  EXPECT_EQ(std::string::npos, out.find("\"PCI\\\\VEN_8086&DEV_1000\"")) << out;
  std::string cls = "ControlSet001\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\0003";
  EXPECT_EQ("PCI\\VEN_8086&DEV_100E", rt::HivexGet(sys, cls, "MatchingDeviceId"));
  EXPECT_EQ("PCI\\VEN_8086&DEV_100E", rt::HivexGet(sys, cls, "ComponentId"));
  EXPECT_NE(
      "<missing>",
      rt::HivexGet(sys, "ControlSet001\\Enum\\PCI\\VEN_8086&DEV_100E\\VRO&Node&Pnp", "Driver"))
      << "the old device's Enum key carries the new id";
}

}  // namespace
