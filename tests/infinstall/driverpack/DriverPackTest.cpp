// The driver-pack injection end to end: a store built by the import, a
// workstation's network adapter installed into Windows 7 and Windows 10
// images and read back value by value, found current the second time,
// replayed from the cache only into the Windows it was made for, refused
// without its files; the display resolution kind; version comparison.
#include <windows.h>
#include <psapi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../infinstall/InfTestUtil.h"
#include "../../registry/FacadeTestUtil.h"
#include "../../registry/hive/RealHives.h"
#include "TestSupport.h"
#include "common/IniSection.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfImporter.h"
#include "driverstore/InfSectionCopy.h"
#include "image/mount/MountedImage.h"
#include "infinstall/DriverCache.h"
#include "infinstall/driverpack/DriverInstallation.h"
#include "infinstall/driverpack/DriverPackInjection.h"
#include "registry/RegHive.h"
#include "registry/RegistryFacade.h"
#include "registry/hive/HiveImage.h"

namespace {

std::wstring SettingsFile() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring s = exe;
  return s.substr(0, s.rfind(L'.')) + L".ini";
}

// Makes the package folder (files by `makeFiles`, run there), imports the
// INF into the network store of the target and points the program's
// settings at the store. The store folder is returned.
std::wstring StorePackage(const rt::WinDisk& d, uint32_t version, uint32_t build,
                          const std::string& infName, const std::string& makeFiles) {
  std::wstring root = vt::ToWin(d.dir) + L"\\store";
  EXPECT_TRUE(
      WritePrivateProfileStringW(L"Config", L"DrvPath", root.c_str(), SettingsFile().c_str()));
  wchar_t folder[360];
  GetDriverStoreFolder(kStoreNetwork, version, folder);
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder)) + " " + vt::Q(d.dir + "/pkg") +
                      " && cd " + vt::Q(d.dir + "/pkg") + " && " + makeFiles));
  std::wstring inf = it::WriteInf(d.dir + "/pkg", infName);
  CMountedImage m;
  EXPECT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
  CInfImporter importer(&m, version, build, kStoreNetwork, L"Net",
                        L"{4d36e972-e325-11ce-bfc1-08002be10318}", nullptr);
  EXPECT_LE(1u, importer.ImportInf(inf.c_str(), folder));
  return folder;
}

// Values of hive keys as hivedump.py prints them (exact stored bytes).
std::string Dump(const std::string& hive, const std::vector<std::string>& keys) {
  std::string command = vt::Q(vt::SourceDirUnix() + "/tests/infinstall/hivedump.py") + " " +
                        vt::Q(hive);
  for (const std::string& k : keys) command += " " + vt::Q(k);
  std::string out;
  EXPECT_EQ(0, vt::Sh(command, &out)) << out;
  return out;
}

// The SYSTEM hive as hivexregedit exports it.
std::string ExportSystem(const rt::WinDisk& d, const std::string& name) {
  std::string sys =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/" + name);
  std::string out;
  EXPECT_EQ(0, vt::Sh("hivexregedit --export --prefix 'HKEY_LOCAL_MACHINE\\SYSTEM' " +
                          vt::Q(sys) + " '\\'",
                      &out));
  return out;
}

// The cache file of profile 0 for a device, deleted (no replay of an
// earlier run); its path.
std::wstring ForgetCache(const wchar_t* hw) {
  wchar_t cache[360];
  FormatDriverCachePath(0, hw, cache);
  DeleteFileW(cache);
  return cache;
}

// One network injection into an image as ImageAddAdapterW makes it.
int32_t InjectNetwork(const rt::WinDisk& d, const wchar_t* hw, const wchar_t* index,
                      const wchar_t* address) {
  CMountedImage m;
  EXPECT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
  return InstallHardwareDriverPack(&m, kDriverPackNetwork, hw, index, address, nullptr, 0, 0);
}

TEST(DriverPack, DottedVersions) {
  EXPECT_EQ(0, CompareDottedVersions(L"10.0.0.1", L"10.0.0.1.0"));
  EXPECT_EQ(1, CompareDottedVersions(L"10.0.0.2", L"10.0.0.1"));
  EXPECT_EQ(-1, CompareDottedVersions(L"9.1", L"10"));
  EXPECT_EQ(0, CompareDottedVersions(L"1", L"1.0.0.0"));
}

// The memory the process has committed for itself (Wine counts it as
// PagefileUsage only).
size_t PrivateBytes() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  EXPECT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters));
  return counters.PagefileUsage;
}

// The bytes of a loaded hive.
std::vector<uint8_t> HiveBytes(CMountedImage& m, const wchar_t* root) {
  HiveImage* img = FindLoadedHive(&m, root)->Image();
  return std::vector<uint8_t>(img->buffer, img->buffer + img->endOfBins);
}

// An installation's checkpoint keeps the old bytes of the pages it writes,
// not a copy of each hive: taking one on a hive of 24 MiB and changing it
// costs a small part of that. A checkpoint taken inside it (the trial of
// the staged data) takes back only what came after it, and shares the old
// pages both keep; the outer one gives back each hive byte for byte, or
// keeps the changes.
TEST(DriverPack, CheckpointKeepsPagesNotTheHive) {
  rt::WinDisk d = rt::MakeWinDisk("");
  CMountedImage m;
  ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
  ASSERT_EQ(1, m.LoadHives(1 | 2));
  const wchar_t* big = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\VroBig";
  ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey(big));
  std::vector<uint8_t> block(256 << 10, 0x5A);
  for (int i = 0; i < 96; ++i)
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(big, (L"V" + std::to_wstring(i)).c_str(), block.data(),
                                           (uint32_t)block.size(), 3));
  const wchar_t* vro = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro";
  const wchar_t* sys = L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro";
  const std::vector<uint8_t> software = HiveBytes(m, REG_ROOT_SOFTWARE),
                             system = HiveBytes(m, REG_ROOT_SYSTEM);
  ASSERT_GT(software.size(), 24u << 20);
  std::vector<uint8_t> one = rt::Utf16z(L"one"), two = rt::Utf16z(L"two");
  {
    const size_t before = PrivateBytes();
    HiveCheckpoint start(&m);
    ASSERT_TRUE(start.Taken());
    ASSERT_TRUE(start.Cover(REG_ROOT_SOFTWARE));
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(vro, L"One", one.data(), (uint32_t)one.size(), 1));
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(sys, L"One", one.data(), (uint32_t)one.size(), 1));
    EXPECT_LT((long long)PrivateBytes() - (long long)before, (long long)software.size() / 8);
    {
      HiveCheckpoint trial(&m);
      ASSERT_TRUE(trial.Cover(REG_ROOT_SOFTWARE));
      ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(vro, L"Two", two.data(), (uint32_t)two.size(), 1));
      ASSERT_EQ(REG_STATUS_OK, m.RegDeleteValue(sys, L"One"));
      // Deleting the large key writes nearly every page of the hive: the
      // old bytes both checkpoints need are kept once.
      const size_t inside = PrivateBytes();
      ASSERT_EQ(REG_STATUS_OK, m.RegDeleteKey(big));
      EXPECT_LT((long long)PrivateBytes() - (long long)inside, (long long)software.size() * 3 / 2);
      trial.Restore();
    }
    EXPECT_EQ(REG_STATUS_OK, m.RegQueryValue(big, L"V95", nullptr, nullptr));
    EXPECT_EQ(L"one", rt::QueryString(m, vro, L"One"));
    EXPECT_EQ(L"one", rt::QueryString(m, sys, L"One"));
    EXPECT_NE(REG_STATUS_OK, m.RegQueryValue(vro, L"Two", nullptr, nullptr));
    EXPECT_EQ(L"", start.OutOfMemory());
    start.Restore();
  }
  EXPECT_TRUE(software == HiveBytes(m, REG_ROOT_SOFTWARE)) << "SOFTWARE as it was";
  EXPECT_TRUE(system == HiveBytes(m, REG_ROOT_SYSTEM)) << "SYSTEM as it was";
  {
    HiveCheckpoint start(&m);
    ASSERT_TRUE(start.Cover(REG_ROOT_SOFTWARE));
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(vro, L"Kept", two.data(), (uint32_t)two.size(), 1));
  }
  EXPECT_EQ(L"two", rt::QueryString(m, vro, L"Kept"));
  EXPECT_EQ(nullptr, FindLoadedHive(&m, REG_ROOT_SOFTWARE)->Image()->undo) << "nothing kept";
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
  const char* tree =
      "--arch x64 --version 6.1.7601.17514 --hw-profile {aaaa0007-31c0-11e8-9b10-806e6f6e6963}";
  rt::WinDisk d = rt::MakeWinDisk(tree);
  // Another Windows, not prepared for the adapter, whose class instance
  // 0000 is the kernel debugger's adapter.
  rt::WinDisk other = rt::MakeWinDisk(
      "--arch x64 --version 6.1.7601.17514 --hw-profile {bbbb0007-31c0-11e8-9b10-806e6f6e6963}",
      "mbr2048", "raw", "", "disk.img", "other");
  it::PrepareOwnAdapter(d, false);
  // The same Windows as it was before the installation.
  rt::WinDisk same = d;
  same.unixPath = d.dir + "/same.img";
  same.path = vt::ToWin(same.unixPath);
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.unixPath) + " " + vt::Q(same.unixPath)));
  const std::wstring kdnic = L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\ROOT\\KDNIC\\0000";
  const std::wstring kdnicClass =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\"
      L"{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(other.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, m.LoadHives(1));
    ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey(kdnic.c_str()));
    ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey(kdnicClass.c_str()));
    std::vector<uint8_t> driver = rt::Utf16z(L"{4d36e972-e325-11ce-bfc1-08002be10318}\\0000"),
                         desc = rt::Utf16z(L"Microsoft Kernel Debug Network Adapter");
    ASSERT_EQ(REG_STATUS_OK,
              m.RegSetValue(kdnic.c_str(), L"Driver", driver.data(), (uint32_t)driver.size(), 1));
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(kdnicClass.c_str(), L"DriverDesc", desc.data(),
                                           (uint32_t)desc.size(), 1));
    ASSERT_TRUE(m.UnloadHives());
  }
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
    // Another Windows: the cache is not replayed, and without the adapter
    // keys there is nothing to install.
    CMountedImage m;
    ASSERT_GE(m.OpenImage(other.path.c_str(), nullptr, 0, 1), 0);
    EXPECT_EQ(kDriverPackNoAdapterIdentity,
              InstallHardwareDriverPack(&m, kDriverPackNetwork, hw, L"008", nullptr, nullptr,
                                        profile, 0));
  }
  {
    std::string sys =
        rt::NtfsCat(other, other.unixPath, "/Windows/System32/config/SYSTEM", other.dir + "/SYSTEM");
    std::string cls = "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";
    EXPECT_EQ("Microsoft Kernel Debug Network Adapter", rt::HivexGet(sys, cls, "DriverDesc"));
    EXPECT_EQ("<missing>", rt::HivexGet(sys, cls, "NetCfgInstanceId"));
    EXPECT_EQ("<missing>", rt::HivexGet(sys, "ControlSet001\\services\\VroNic", "Start"));
  }
  EXPECT_TRUE(vt::FileExists(cache)) << "the cache stays for its own Windows";
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(same.path.c_str(), nullptr, 0, 1), 0);
    EXPECT_EQ(kDriverPackInstalled, InstallHardwareDriverPack(&m, kDriverPackNetwork, hw, L"008",
                                                              nullptr, nullptr, profile, 0));
  }
  check(same, "replayed from the cache", false);
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

namespace {

// A Windows with the device, the model's description and the component id
// (the store's package name) the installation gives it there.
struct VendorTarget {
  it::WindowsTarget windows;
  const char* hw;
  const char* description;
  const char* component;
};

const char kGbeFiles[] =
    "head -c 50001 /dev/urandom > e1g6032e.sys && head -c 3001 /dev/urandom > e1gtool.dll &&"
    " head -c 2001 /dev/urandom > e1gmsg.dll && printf catalog > vrogbe.cat";

// A vendor-like package with many models into Windows 7 and Windows 10:
// every value the installation writes, read back byte for byte, and every
// file it places. The package's own value in the key of the file records
// stands beside them.
TEST(DriverPack, VendorPackageValueByValue) {
  // Windows 7 x86 takes the undecorated models section.
  const VendorTarget targets[] = {
      {{"win7", "--arch x64 --version 6.1.7601.17514 --hw-profile {aaaa0001-31c0-11e8-9b10-806e6f6e6963}",
        0x400601, 7601, false}, "VEN_8086&DEV_107C&SUBSYS_13768086&REV_05",
       "Vro PRO/1000 GT Desktop Adapter (PCI)", "PCI\\VEN_8086&DEV_100E"},
      {{"win10", "--arch x64 --version 10.0.19041.1 --hw-profile {aaaa0002-31c0-11e8-9b10-806e6f6e6963}",
        0x400A00, 19041, true}, "VEN_8086&DEV_107C&SUBSYS_13768086&REV_05",
       "Vro PRO/1000 GT Desktop Adapter (PCI)", "PCI\\VEN_8086&DEV_1000"},
      {{"win7x86", "--arch x86 --version 6.1.7601.17514 --hw-profile {aaaa0003-31c0-11e8-9b10-806e6f6e6963}",
        0x560601, 7601, false}, "VEN_8086&DEV_1001&SUBSYS_10018086",
       "Vro PRO/1000 F Server Adapter", "PCI\\VEN_8086&DEV_1000"},
  };
  for (const VendorTarget& t : targets) {
    const it::WindowsTarget& w = t.windows;
    SCOPED_TRACE(w.name);
    const std::wstring hw = vt::Widen(t.hw);
    rt::WinDisk d = rt::MakeWinDisk(w.tree, "mbr2048", "raw", "", "disk.img", w.name);
    it::PrepareOwnAdapter(d, w.windows10);
    StorePackage(d, w.version, w.build, "vrogbe.inf", kGbeFiles);
    std::wstring cache = ForgetCache(hw.c_str());
    EXPECT_EQ(kDriverPackInstalled, InjectNetwork(d, hw.c_str(), L"021", L"10.0.0.21"));
    std::string sys =
        rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
    const std::string cs = "ControlSet001\\";
    std::string dump =
        Dump(sys, {cs + "Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000",
                   cs + "services\\e1g60", cs + "services\\EventLog\\System\\e1g60",
                   cs + "Enum\\PCI\\" + t.hw,
                   cs + "Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\" +
                       vt::Narrow(it::kPreparedGuid)});
    // One backslash after the enumerator; Windows 10 binds the adapter
    // through the filter, not through the UpperBind of the installation's
    // own driver.
    const std::string component = t.component, description = t.description;
    const std::string cls = "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";
    const std::string guid = vt::Narrow(it::kPreparedGuid);
    const std::string params = cls + "\\Ndi\\params\\";
    const std::string service = "ControlSet001\\services\\e1g60";
    const std::string device = "ControlSet001\\Enum\\PCI\\" + std::string(t.hw) + "\\VRO&Node&Pnp";
    std::string expected =
        cls + "|*IfType|4|6\n" + cls + "|*JumboPacket|1|1514\n" + cls + "|*MediaType|4|0\n" +
        cls + "|*PhysicalMediaType|4|14\n" + cls + "|*SpeedDuplex|1|0\n" + cls +
        "|BusType|1|5\n" + cls + "|Characteristics|4|132\n" + cls + "|ComponentId|1|" +
        component + "\n" + cls + "|Diskless|1|1\n" + cls + "|DriverDate|1|08-27-2020\n" + cls +
        "|DriverDesc|1|" + description + "\n" + cls +
        "|DriverVersion|1|9.15.11.0\n" + cls + "|InfSection|1|E1000.ndi\n" + cls +
        "|MatchingDeviceId|1|" + component + "\n" + cls + "|NetCfgInstanceId|1|" + guid + "\n" +
        cls + "|ProductName|1|Vro \"PRO/1000\" Adapter\n" + cls +
        "|ProviderName|1|Vro Corporation\n" + cls + "|VroSetup|4|1\n" + cls +
        "\\Files|e1g6032e.sys|7|C:\\Windows\\System32\\Drivers\\e1g6032e.sys\n" + cls +
        "\\Files|e1gmsg.dll|7|C:\\Windows\\System32\\e1gmsg.dll\n" + cls +
        "\\Files|e1gtool.dll|7|C:\\Windows\\System32\\VroGbe\\Tools\\e1gtool.dll\n" + cls +
        "\\Files|Notes|1|kept beside the file records\n" + cls +
        "\\Files|vrogbe.cat|7|C:\\Windows\\System32\\CatRoot\\{F750E6C3-38EE-11D1-85E5-"
        "00C04FC295EE}\\vrogbe.cat\n" +
        cls + "\\Linkage|Export|7|\\Device\\" + guid + "\n" + cls + "\\Linkage|RootDevice|7|" +
        guid + "\n" + (w.windows10 ? "" : cls + "\\Linkage|UpperBind|7|VRONDIS\n") + cls +
        "\\Ndi|Service|1|e1g60\n" + cls + "\\Ndi\\Interfaces|LowerRange|1|ethernet\n" + cls +
        "\\Ndi\\Interfaces|UpperRange|1|ndis5\n" + params + "*JumboPacket|default|1|1514\n" +
        params + "*JumboPacket|ParamDesc|1|Jumbo Packet\n" + params +
        "*JumboPacket|type|1|enum\n" + params + "*JumboPacket\\enum|1514|1|Disabled\n" + params +
        "*JumboPacket\\enum|4088|1|4088 Bytes\n" + params + "*SpeedDuplex|default|1|0\n" +
        params + "*SpeedDuplex|ParamDesc|1|Speed & Duplex\n" + params +
        "*SpeedDuplex|type|1|enum\n" + params + "*SpeedDuplex\\enum|0|1|Auto Negotiation\n" +
        params + "*SpeedDuplex\\enum|1|1|10 Mbps Half Duplex\n" + params +
        "*SpeedDuplex\\enum|2|1|10 Mbps Full Duplex\n" + params +
        "*SpeedDuplex\\enum|6|1|1.0 Gbps Full Duplex\n" + service + "|BootFlags|4|1\n" + service +
        "|DisplayName|1|Vro PRO/1000 Adapter Driver\n" + service + "|ErrorControl|4|1\n" +
        service + "|Group|1|NDIS\n" + service + "|ImagePath|2|System32\\Drivers\\e1g6032e.sys\n" +
        service + "|Start|4|0\n" + service + "|Tag|4|0\n" + service + "|Type|4|1\n" + service +
        "\\Parameters|MaxWorkItems|4|8\n" +
        // The event-log section's HKR is the service's event-log source.
        "ControlSet001\\services\\EventLog\\System\\e1g60|EventMessageFile|2|%SystemRoot%"
        "\\System32\\netevent.dll;%SystemRoot%\\System32\\drivers\\e1g6032e.sys\n"
        "ControlSet001\\services\\EventLog\\System\\e1g60|TypesSupported|4|7\n" +
        device + "|Capabilities|4|0\n" + device + "|Class|1|Net\n" + device +
        "|ClassGUID|1|{4d36e972-e325-11ce-bfc1-08002be10318}\n" + device + "|ConfigFlags|4|0\n" +
        device + "|DeviceDesc|1|" + description + "\n" + device +
        "|Driver|1|{4d36e972-e325-11ce-bfc1-08002be10318}\\0000\n" + device +
        "|Mfg|1|Vro Corporation\n" + device + "|Service|1|e1g60\n" +
        "ControlSet001\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\" + guid +
        "\\Connection|PnPInstanceId|1|PCI\\" + t.hw + "\\VRO&Node&Pnp\n";
    EXPECT_EQ(expected, dump);
    for (const char* file : {"/Windows/System32/Drivers/e1g6032e.sys",
                             "/Windows/System32/VroGbe/Tools/e1gtool.dll",
                             "/Windows/System32/e1gmsg.dll"}) {
      SCOPED_TRACE(file);
      std::string name = std::string(file).substr(std::string(file).rfind('/') + 1);
      std::string placed = rt::NtfsCat(d, d.unixPath, file, d.dir + "/placed-" + name);
      EXPECT_EQ(vt::Sha256(vt::ToWin(d.dir + "/pkg/" + name)), vt::Sha256(vt::ToWin(placed)));
    }
    DeleteFileW(cache.c_str());
  }
  DeleteFileW(SettingsFile().c_str());
}

}  // namespace

namespace {

// A file the installation needs and the store lacks (the driver itself, or
// one that a Needs section names): the installation fails before the image
// changes, and leaves neither a cache file nor a history line.
TEST(DriverPack, MissingDriverFileFailsAndLeavesTheImage) {
  const wchar_t* hw = L"VEN_8086&DEV_100E";
  for (const char* missing : {"e1g6032e.sys", "e1gtool.dll"}) {
    SCOPED_TRACE(missing);
    rt::WinDisk d = rt::MakeWinDisk(
        "--arch x64 --version 10.0.19041.1 --hw-profile {aaaa0022-31c0-11e8-9b10-806e6f6e6963}",
        "mbr2048", "raw", "", "disk.img", missing);
    it::PrepareOwnAdapter(d, true);
    std::wstring folder = StorePackage(d, 0x400A00, 19041, "vrogbe.inf", kGbeFiles);
    ASSERT_EQ(0, vt::Sh("find " + vt::Q(vt::ToUnix(folder)) + " -name " + missing +
                        " -delete -print | grep -q ."));
    std::wstring cache = ForgetCache(hw);
    std::string before = ExportSystem(d, "before");
    EXPECT_EQ(kDriverPackFilePassFailed, InjectNetwork(d, hw, L"022", L"10.0.0.22"));
    EXPECT_EQ(before, ExportSystem(d, "after"));
    std::string listing;
    EXPECT_EQ(0, vt::Sh("ntfsls -R " + vt::Q(d.unixPath + ".part") + " -p /Windows", &listing));
    EXPECT_NE(std::string::npos, listing.find("SYSTEM")) << listing;
    for (const char* file : {"e1g6032e.sys", "e1gtool.dll", "e1gmsg.dll", "vrogbe.cat"})
      EXPECT_EQ(std::string::npos, listing.find(file)) << listing;
    EXPECT_FALSE(vt::FileExists(cache));
    EXPECT_EQ(L"", ReadIniValue((folder + L"\\VEN_8086&DEV_1000\\NConfig.ini").c_str(),
                                L"History", L"022"));
  }
  DeleteFileW(SettingsFile().c_str());
}

}  // namespace

namespace {

// A SYSTEM hive written by Windows 10 (with its two logs): a cache made on
// another Windows 10 is not replayed over its kernel debugger's adapter;
// prepared, it gets the driver in its next free class instance and every
// adapter it had keeps its values.
TEST(DriverPack, RealWindows10Hive) {
  std::string data = vt::ScratchSubdirUnix("hives");
  if (!rh::Unpack(data, {"SYSTEM_B", "SYSTEM_B.LOG1", "SYSTEM_B.LOG2"}))
    GTEST_SKIP() << "no real hives in " << rh::Dir();
  const char* win10 = "--arch x64 --version 10.0.19041.1";
  rt::WinDisk first = rt::MakeWinDisk(
      std::string(win10) + " --hw-profile {aaaa0010-31c0-11e8-9b10-806e6f6e6963}", "mbr2048",
      "raw", "", "disk.img", "first");
  std::string config = "Windows/System32/config/";
  rt::WinDisk real = rt::MakeWinDisk(
      win10, "mbr2048", "raw",
      "cp " + vt::Q(data + "/SYSTEM_B") + " " + config + "SYSTEM && cp " +
          vt::Q(data + "/SYSTEM_B.LOG1") + " " + config + "SYSTEM.LOG1 && cp " +
          vt::Q(data + "/SYSTEM_B.LOG2") + " " + config + "SYSTEM.LOG2",
      "disk.img", "real");
  it::PrepareOwnAdapter(first, true);
  StorePackage(first, 0x400A00, 19041, "vrogbe.inf", kGbeFiles);
  const wchar_t* hw = L"VEN_8086&DEV_100E";
  std::wstring cache = ForgetCache(hw);
  auto install = [&](const rt::WinDisk& d) { return InjectNetwork(d, hw, L"010", nullptr); };
  ASSERT_EQ(kDriverPackInstalled, install(first));
  ASSERT_TRUE(vt::FileExists(cache));

  const std::string cls = "ControlSet001\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\";
  std::vector<std::string> adapters;
  for (int i = 0; i <= 14; ++i) {
    char n[8];
    snprintf(n, sizeof n, "%04d", i);
    adapters.push_back(cls + n);
  }
  std::string sys = rt::NtfsCat(real, real.unixPath, "/Windows/System32/config/SYSTEM",
                                real.dir + "/SYSTEM.before");
  const std::string before = Dump(sys, adapters);
  EXPECT_NE(std::string::npos, before.find("|DriverDesc|1|Microsoft Kernel Debug Network Adapter"));
  EXPECT_EQ(kDriverPackNoAdapterIdentity, install(real)) << "the cache is not this Windows'";
  sys = rt::NtfsCat(real, real.unixPath, "/Windows/System32/config/SYSTEM", real.dir + "/SYSTEM.1");
  EXPECT_EQ(before, Dump(sys, adapters));
  EXPECT_EQ("<missing>", rt::HivexGet(sys, "ControlSet001\\Services\\e1g60", "Start"));

  it::PrepareOwnAdapter(real, true);
  EXPECT_EQ(kDriverPackInstalled, install(real));
  sys = rt::NtfsCat(real, real.unixPath, "/Windows/System32/config/SYSTEM", real.dir + "/SYSTEM.2");
  EXPECT_EQ(before, Dump(sys, adapters)) << "every adapter the Windows had keeps its values";
  const std::string added = cls + "0015";
  std::string identity, all = Dump(sys, {added});
  for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = all.substr(at, end - at + 1);
    for (const char* name :
         {"|ComponentId|", "|DriverDesc|", "|MatchingDeviceId|", "|NetCfgInstanceId|"})
      if (line.compare(added.size(), strlen(name), name) == 0) identity += line;
  }
  EXPECT_EQ(added + "|ComponentId|1|PCI\\VEN_8086&DEV_1000\n" + added +
                "|DriverDesc|1|Vro PRO/1000 MT Desktop Adapter\n" + added +
                "|MatchingDeviceId|1|PCI\\VEN_8086&DEV_1000\n" + added + "|NetCfgInstanceId|1|" +
                vt::Narrow(it::kPreparedGuid) + "\n",
            identity);
  EXPECT_EQ("0", rt::HivexGet(sys, "ControlSet001\\Services\\e1g60", "Start"));
  DeleteFileW(cache.c_str());
  DeleteFileW(SettingsFile().c_str());
}

}  // namespace

namespace {

// The text of a file in the image, or "" when ntfscat finds none.
std::string ImageText(const rt::WinDisk& d, const std::string& path) {
  std::string text;
  vt::Sh("cat " + vt::Q(rt::NtfsCat(d, d.unixPath, path, d.dir + "/read.bin")), &text);
  return text;
}

// A failed file pass leaves the driver the image had. A volume without room
// for the package's files (and no partition to grow into) fails before the
// first write, every byte of the image as it was; a file that cannot be
// placed (a folder has its name) after others were takes those back and
// puts back the files they replaced, the folder and the hive as they were.
TEST(DriverPack, FailedFilePassLeavesTheDriverTheImageHad) {
  for (bool full : {true, false}) {
    SCOPED_TRACE(full ? "no room" : "a folder in the way");
    rt::WinDisk d = rt::MakeWinDisk(
        "--arch x64 --version 6.1.7601.17514 --hw-profile {aaaa0064-31c0-11e8-9b10-806e6f6e6963}",
        "mbr2048", "raw",
        std::string("mkdir -p Windows/System32/Drivers && printf old > "
                    "Windows/System32/Drivers/vronic.sys") +
            (full ? "" : " && mkdir Windows/System32/Drivers/vronic.dll && printf inside > "
                         "Windows/System32/Drivers/vronic.dll/keep.txt"),
        "disk.img", full ? "full" : "folder");
    it::PrepareOwnAdapter(d, false);
    StorePackage(d, 0x400601, 7601, "vronet.inf",
                 std::string("head -c 70001 /dev/urandom > vronic.sys && head -c ") +
                     (full ? "3000000" : "3000") +
                     " /dev/urandom > vronic.dll && printf catalog > vronet.cat");
    const wchar_t* hw = L"VEN_8086&DEV_10D3";
    std::wstring cache = ForgetCache(hw);
    if (full) {
      // Filled to 2 MiB below its end.
      CMountedImage m;
      ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
      uint64_t total = 0, free = 0;
      ASSERT_TRUE(m.GetVolumeSpace(&total, &free));
      ASSERT_GT(free, 2u << 20);
      std::string fill = d.dir + "/fill.bin";
      ASSERT_EQ(0, vt::Sh("head -c " + std::to_string(free - (2u << 20)) + " /dev/zero > " +
                          vt::Q(fill)));
      uint64_t missing = 0;
      ASSERT_TRUE(m.InjectHostPath(vt::ToWin(fill).c_str(), L"\\fill.bin", &missing,
                                   ReplaceExistingCopyCallback, nullptr));
      ASSERT_TRUE(m.Close());
    }
    const std::string bytes = vt::Sha256(d.path), hive = ExportSystem(d, "before");
    EXPECT_EQ(kDriverPackFilePassFailed, InjectNetwork(d, hw, L"064", L"10.0.0.64"));
    if (full) {
      EXPECT_EQ(bytes, vt::Sha256(d.path));
    }
    EXPECT_EQ(hive, ExportSystem(d, "after"));
    EXPECT_FALSE(vt::FileExists(cache));
    EXPECT_EQ("old", ImageText(d, "/Windows/System32/Drivers/vronic.sys"));
    if (!full) {
      EXPECT_EQ("inside", ImageText(d, "/Windows/System32/Drivers/vronic.dll/keep.txt"));
    }
    std::string listing;
    EXPECT_EQ(0, vt::Sh("ntfsls -R " + vt::Q(d.unixPath + ".part") + " -p /Windows", &listing));
    for (const char* left : {"vronet.cat", "vroold", "vronew"})
      EXPECT_EQ(std::string::npos, listing.find(left)) << listing;
  }
  DeleteFileW(SettingsFile().c_str());
}

}  // namespace
