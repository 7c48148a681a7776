// The driver-pack injection end to end: a store built by the import, a
// workstation's network adapter installed into a Windows 7 image, found
// current the second time, replayed from the cache into another image; the
// display resolution kind; version comparison.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "../../infinstall/InfTestUtil.h"
#include "../../registry/FacadeTestUtil.h"
#include "TestSupport.h"
#include "common/IniSection.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfImporter.h"
#include "image/mount/MountedImage.h"
#include "infinstall/DriverCache.h"
#include "infinstall/driverpack/DriverPackInjection.h"

namespace {

std::wstring SettingsFile() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring s = exe;
  return s.substr(0, s.rfind(L'.')) + L".ini";
}

TEST(DriverPack, DottedVersions) {
  EXPECT_EQ(0, CompareDottedVersions(L"10.0.0.1", L"10.0.0.1.0"));
  EXPECT_EQ(1, CompareDottedVersions(L"10.0.0.2", L"10.0.0.1"));
  EXPECT_EQ(-1, CompareDottedVersions(L"9.1", L"10"));
  EXPECT_EQ(0, CompareDottedVersions(L"1", L"1.0.0.0"));
}

TEST(DriverPack, DisplayResolution) {
  rt::WinDisk d = rt::MakeWinDisk("");
  const uint16_t mode[3] = {1920, 1080, 60};
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    EXPECT_EQ(kDriverPackNotInStore,
              InstallHardwareDriverPack(&m, kDriverPackResolution, (const wchar_t*)mode, L"001",
                                        nullptr, nullptr, 0, 0));
    ASSERT_EQ(1, m.LoadHives(1));
    for (const wchar_t* i : {L"0000", L"0001"})
      ASSERT_EQ(REG_STATUS_OK,
                m.RegCreateKey(
                    (std::wstring(L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\"
                                  L"{4D36E968-E325-11CE-BFC1-08002BE10318}\\") +
                     i)
                        .c_str()));
    ASSERT_TRUE(m.UnloadHives());
    EXPECT_EQ(kDriverPackInstalled,
              InstallHardwareDriverPack(&m, kDriverPackResolution, (const wchar_t*)mode, L"001",
                                        nullptr, nullptr, 0, 0));
  }
  std::string sys =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
  for (const char* i : {"0000", "0001"}) {
    std::string key =
        std::string("ControlSet001\\Control\\Class\\{4D36E968-E325-11CE-BFC1-08002BE10318}\\") + i;
    EXPECT_EQ("1920", rt::HivexGet(sys, key, "DefaultSettings.XResolution"));
    EXPECT_EQ("1080", rt::HivexGet(sys, key, "DefaultSettings.YResolution"));
    EXPECT_EQ("60", rt::HivexGet(sys, key, "DefaultSettings.VRefresh"));
    EXPECT_EQ("32", rt::HivexGet(sys, key, "DefaultSettings.BitsPerPel"));
  }
}

TEST(DriverPack, NetworkAdapterInstalledCurrentAndReplayed) {
  const char* tree = "--arch x64 --version 6.1.7601.17514";
  rt::WinDisk d = rt::MakeWinDisk(tree);
  rt::WinDisk other = rt::MakeWinDisk(tree, "mbr2048", "raw", "", "disk.img", "other");
  it::PrepareOwnAdapter(d, false);
  it::PrepareOwnAdapter(other, false);
  std::wstring root = vt::ToWin(d.dir) + L"\\store";
  ASSERT_TRUE(
      WritePrivateProfileStringW(L"Config", L"DrvPath", root.c_str(), SettingsFile().c_str()));
  wchar_t folder[360];
  GetDriverStoreFolder(kStoreNetwork, 0x400601, folder);
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder)) + " " + vt::Q(d.dir + "/pkg") +
                      " && cd " + vt::Q(d.dir + "/pkg") +
                      " && head -c 70001 /dev/urandom > vronic.sys &&"
                      " head -c 3000 /dev/urandom > vronic.dll && printf catalog > vronet.cat"));
  std::wstring inf = it::WriteInf(d.dir + "/pkg", "vronet.inf");
  const wchar_t* hw = L"VEN_8086&DEV_10D3&SUBSYS_00008086&REV_01";
  const uint32_t profile = 0x1A2B;
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    CInfImporter importer(&m, 0x400601, 7601, kStoreNetwork, L"Net",
                          L"{4d36e972-e325-11ce-bfc1-08002be10318}", nullptr);
    ASSERT_EQ(1u, importer.ImportInf(inf.c_str(), folder));
    EXPECT_EQ(kDriverPackNotInStore,
              InstallHardwareDriverPack(&m, kDriverPackNetwork, L"VEN_FFFF&DEV_0001", L"007",
                                        nullptr, nullptr, profile, 0));
    EXPECT_EQ(kDriverPackInstalled, InstallHardwareDriverPack(&m, kDriverPackNetwork, hw, L"007",
                                                              L"192.168.0.7", nullptr, profile, 0));
    EXPECT_EQ(kDriverPackCurrent, InstallHardwareDriverPack(&m, kDriverPackNetwork, hw, L"007",
                                                            L"192.168.0.7", L"x.img", profile, 0));
  }
  wchar_t cache[360];
  FormatDriverCachePath(profile, hw, cache);
  EXPECT_TRUE(vt::FileExists(cache));
  std::wstring history = std::wstring(folder) + L"\\VEN_8086&DEV_10D3\\NConfig.ini";
  EXPECT_EQ(L"192.168.0.7|x.img", ReadIniValue(history.c_str(), L"History", L"007"));

  auto check = [&](const rt::WinDisk& disk, const char* name, bool registered) {
    SCOPED_TRACE(name);
    std::string sys =
        rt::NtfsCat(disk, disk.unixPath, "/Windows/System32/config/SYSTEM", disk.dir + "/SYSTEM");
    std::string instance =
        "ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D3&SUBSYS_00008086&REV_01\\VRO&Node&Pnp";
    EXPECT_EQ("VroNic", rt::HivexGet(sys, instance, "Service"));
    EXPECT_EQ("Net", rt::HivexGet(sys, instance, "Class"));
    EXPECT_EQ("0", rt::HivexGet(sys, "ControlSet001\\services\\VroNic", "Start"));
    // The boot-time PnP list is written straight into the hive by the
    // installation; a replay brings back only what the cache holds.
    EXPECT_EQ(registered,
              "<missing>" != rt::HivexGet(sys, "ControlSet001\\Services\\VROPNP\\PnpList",
                                          "PCI\\VEN_8086&DEV_10D3"));
    std::string cls = "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";
    EXPECT_EQ(vt::Narrow(it::kPreparedGuid), rt::HivexGet(sys, cls, "NetCfgInstanceId"));
    std::string file = rt::NtfsCat(disk, disk.unixPath, "/Windows/System32/Drivers/vronic.sys",
                                   disk.dir + "/vronic.sys");
    EXPECT_EQ(vt::Sha256(vt::ToWin(d.dir + "/pkg/vronic.sys")), vt::Sha256(vt::ToWin(file)));
  };
  check(d, "installed", true);
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(other.path.c_str(), nullptr, 0, 1), 0);
    EXPECT_EQ(kDriverPackInstalled, InstallHardwareDriverPack(&m, kDriverPackNetwork, hw, L"008",
                                                              nullptr, nullptr, profile, 0));
  }
  check(other, "replayed from the cache", false);
  DeleteFileW(cache);
  DeleteFileW(SettingsFile().c_str());
}

}  // namespace

namespace {

TEST(DriverPack, DisplayDriverReplacesTheBasicOneAndRenamesItsInstance) {
  rt::WinDisk d = rt::MakeWinDisk("--arch x64 --version 6.1.7601.17514");
  std::wstring root = vt::ToWin(d.dir) + L"\\store";
  ASSERT_TRUE(
      WritePrivateProfileStringW(L"Config", L"DrvPath", root.c_str(), SettingsFile().c_str()));
  wchar_t folder[360];
  GetDriverStoreFolder(kStoreDisplay, 0x400601, folder);
  ASSERT_EQ(
      0,
      vt::Sh(
          "mkdir -p " + vt::Q(vt::ToUnix(folder)) + " " + vt::Q(d.dir + "/pkg") + " && cd " +
          vt::Q(d.dir + "/pkg") +
          " && head -c 9000 /dev/urandom > vrogfx.sys && printf um > vrogfxum.dll && printf d > vrogfxd.dll"));
  std::wstring inf = it::WriteInf(d.dir + "/pkg", "vrodisp.inf");
  const wchar_t* hw = L"VEN_1234&DEV_1111";
  const std::wstring cls =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{4D36E968-E325-11CE-BFC1-08002BE10318}";
  const std::wstring old =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\PCI\\VEN_1234&DEV_1111\\4&1a2b3c4d&0&0010";
  wchar_t cache[360];
  FormatDriverCachePath(0, hw, cache);
  DeleteFileW(cache);  // no replay of an earlier run
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    CInfImporter importer(&m, 0x400601, 7601, kStoreDisplay, L"Display",
                          L"{4d36e968-e325-11ce-bfc1-08002be10318}", nullptr);
    ASSERT_EQ(1u, importer.ImportInf(inf.c_str(), folder));
    // The device runs on Windows' basic display driver in class instance 0003.
    ASSERT_EQ(1, m.LoadHives(1));
    ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey(old.c_str()));
    ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey((cls + L"\\0003").c_str()));
    std::vector<uint8_t> vga = rt::Utf16z(L"vga"),
                         driver = rt::Utf16z(L"{4D36E968-E325-11CE-BFC1-08002BE10318}\\0003");
    ASSERT_EQ(REG_STATUS_OK,
              m.RegSetValue(old.c_str(), L"Service", vga.data(), (uint32_t)vga.size(), 1));
    ASSERT_EQ(REG_STATUS_OK,
              m.RegSetValue(old.c_str(), L"Driver", driver.data(), (uint32_t)driver.size(), 1));
    ASSERT_TRUE(m.UnloadHives());
    EXPECT_EQ(kDriverPackInstalled, InstallHardwareDriverPack(&m, kDriverPackDisplay, hw, L"003",
                                                              nullptr, nullptr, 0, 0));
    EXPECT_EQ(kDriverPackCurrent, InstallHardwareDriverPack(&m, kDriverPackDisplay, hw, L"003",
                                                            nullptr, nullptr, 0, 0));
  }
  std::string sys =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
  std::string pnp = "ControlSet001\\Enum\\PCI\\VEN_1234&DEV_1111\\VRO&Node&Pnp";
  EXPECT_EQ("vrogfx", rt::HivexGet(sys, pnp, "Service"))
      << "the old instance now has the fixed name";
  EXPECT_EQ("<missing>",
            rt::HivexGet(sys, "ControlSet001\\Enum\\PCI\\VEN_1234&DEV_1111\\4&1a2b3c4d&0&0010",
                         "Service"));
  EXPECT_EQ("Vro Display Adapter",
            rt::HivexGet(
                sys, "ControlSet001\\Control\\Class\\{4D36E968-E325-11CE-BFC1-08002BE10318}\\0003",
                "DriverDesc"));
  // The driver file is in place: a link into the driver store, as a
  // display driver's files are.
  std::string listing;
  EXPECT_EQ(0, vt::Sh("ntfsls -l " + vt::Q(d.unixPath + ".part") + " -p /Windows/System32/Drivers",
                      &listing));
  EXPECT_NE(std::string::npos, listing.find("vrogfx.sys")) << listing;
  // The cache file (profile 0) holds the link for a later replay.
  EXPECT_TRUE(vt::FileExists(cache));
  DeleteFileW(cache);
  DeleteFileW(SettingsFile().c_str());
}

}  // namespace
