// Installing store packages into an image as the setup dialogs do, checked
// from outside: the SYSTEM hive through hivexregedit/hivexget and the
// driver files through ntfscat, against the batch injection of the same
// package on a twin image.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "StoreTestUtil.h"
#include "driverui/SetupDriverInstall.h"
#include "driverui/StorePackageItem.h"
#include "infinstall/DriverCache.h"
#include "infinstall/InfInstaller.h"
#include "infinstall/driverpack/DriverPackInjection.h"

namespace {

// The row the setup dialog shows for a package of the store folder.
SetupPackageRow RowOf(int storeClass, uint32_t target, const wchar_t* package) {
  wchar_t folder[360];
  GetDriverStoreFolder(storeClass, target, folder);
  SetupPackageRow row = {};
  for (const StorePackageChoice& c : ListStorePackages(folder)) {
    if (_wcsicmp(c.package.c_str(), package) != 0) continue;
    StorePackageView v;
    EXPECT_EQ(1, ReadStorePackage(folder, c.package.c_str(), c.version.c_str(), &v));
    FreeStorePackageItem(v.item);
    lstrcpyW(row.name, v.name);
    lstrcpyW(row.version, v.version);
    lstrcpyW(row.hardwareId, v.hardwareId);
    lstrcpyW(row.installSection, v.installSection);
    lstrcpyW(row.infPath, v.infPath);
  }
  EXPECT_TRUE(row.infPath[0]) << vt::Narrow(package);
  return row;
}

int Install(const rt::WinDisk& d, uint32_t kind, uint32_t link,
            const std::vector<SetupPackageRow>& rows,
            std::vector<SetupPackageFailure>* failures = nullptr) {
  CMountedImage m;
  EXPECT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
  EXPECT_EQ(1, m.LoadHives(1));
  int n = InstallStorePackages(&m, kind, link, rows, failures);
  EXPECT_TRUE(m.UnloadHives());
  return n;
}

// SYSTEM (or another hive of the machine) as hivexregedit exports it.
std::string ExportSystem(const rt::WinDisk& d, const std::string& name,
                         const std::string& hiveName = "SYSTEM") {
  std::string hive =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/" + hiveName, d.dir + "/" + name);
  std::string out = d.dir + "/" + name + ".reg";
  EXPECT_EQ(0, vt::Sh("hivexregedit --export --prefix 'HKEY_LOCAL_MACHINE\\" + hiveName + "' " +
                      vt::Q(hive) + " '\\' > " + vt::Q(out)));
  return out;
}

struct Target {
  const char* tree;
  uint32_t version;
};

class SetupInstallVsBatch : public ::testing::TestWithParam<Target> {};

// One network package through the setup flow gives the hive and the files
// that the batch injection gives on a twin image.
TEST_P(SetupInstallVsBatch, NetworkPackageSameAsBatchInjection) {
  const Target t = GetParam();
  const bool win10 = (t.version >> 8 & 0xFF) >= 10;
  rt::WinDisk d = rt::MakeWinDisk(t.tree);
  rt::WinDisk b = rt::MakeWinDisk(t.tree, "mbr2048", "raw", "", "disk.img", "batch");
  it::PrepareOwnAdapter(d, win10);
  it::PrepareOwnAdapter(b, win10);
  st::SetStoreRoot(vt::ToWin(d.dir) + L"\\store");
  std::wstring inf = st::SamplePackage(d.dir, "pkg", "vronet.inf");
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1u, st::ImportIntoStore(&m, kStoreNetwork, t.version, inf));
  }
  SetupPackageRow row = RowOf(kStoreNetwork, t.version, L"VEN_8086&DEV_10D3");
  EXPECT_EQ(L"VEN_8086&DEV_10D3", std::wstring(row.hardwareId));
  ASSERT_EQ(1, Install(d, kInfClassNet, 0, {row}));

  const wchar_t* hw = L"VEN_8086&DEV_10D3";
  wchar_t cache[360];
  FormatDriverCachePath(0, hw, cache);
  DeleteFileW(cache);
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(b.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(kDriverPackInstalled, InstallHardwareDriverPack(&m, kDriverPackNetwork, hw, L"007",
                                                              nullptr, nullptr, 0, 0));
  }
  DeleteFileW(cache);

  std::string mine = ExportSystem(d, "SYSTEM"), batch = ExportSystem(b, "SYSTEM");
  std::string diff;
  vt::Sh("diff " + vt::Q(batch) + " " + vt::Q(mine), &diff);
  EXPECT_EQ("", diff);
  EXPECT_EQ(0, vt::Sh("grep -a -qi 'services\\\\VroNic\\]' " + vt::Q(mine)))
      << "the export holds the driver";
  // The package's keys of HKLM\SOFTWARE and HKCR are in SOFTWARE, alike.
  std::string soft = ExportSystem(d, "SOFTWARE", "SOFTWARE");
  vt::Sh("diff " + vt::Q(ExportSystem(b, "SOFTWARE", "SOFTWARE")) + " " + vt::Q(soft), &diff);
  EXPECT_EQ("", diff);
  EXPECT_EQ("VroNic helper",
            rt::HivexGet(d.dir + "/SOFTWARE",
                         "Classes\\CLSID\\{11111111-2222-3333-4444-555555555555}", "@"));
  EXPECT_EQ("C:\\Windows\\System32\\vronic.dll",
            rt::HivexGet(d.dir + "/SOFTWARE",
                         "Classes\\CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32",
                         "@"));
  std::string hive = d.dir + "/SYSTEM";
  std::string cls = "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";
  EXPECT_EQ(vt::Narrow(it::kPreparedGuid), rt::HivexGet(hive, cls, "NetCfgInstanceId"));
  // One backslash, as Windows writes the ids it matches adapters on.
  EXPECT_EQ("PCI\\VEN_8086&DEV_10D3", rt::HivexGet(hive, cls, "ComponentId"));
  EXPECT_EQ("PCI\\VEN_8086&DEV_10D3", rt::HivexGet(hive, cls, "MatchingDeviceId"));
  EXPECT_EQ(
      "VroNic",
      rt::HivexGet(hive, "ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D3\\VRO&Node&Pnp", "Service"));
  std::string f1 =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/Drivers/vronic.sys", d.dir + "/a.sys");
  std::string f2 =
      rt::NtfsCat(b, b.unixPath, "/Windows/System32/Drivers/vronic.sys", b.dir + "/b.sys");
  EXPECT_EQ(vt::Sha256(vt::ToWin(d.dir + "/pkg/vronic.sys")), vt::Sha256(vt::ToWin(f1)));
  EXPECT_EQ(vt::Sha256(vt::ToWin(f2)), vt::Sha256(vt::ToWin(f1)));
  DeleteFileW(st::SettingsFile().c_str());
}

INSTANTIATE_TEST_SUITE_P(Targets, SetupInstallVsBatch,
                         ::testing::Values(Target{"--arch x64 --version 6.1.7601.17514", 0x400601},
                                           Target{"--arch x64 --version 10.0.19041.1", 0x400A00}));

// Two network packages of one run each take an adapter identity of their
// own and their own class instance; with one identity prepared the second
// is refused, naming why; a package without a pending-device section
// registers nothing for the PnP driver; a package whose service's driver
// file has another name removes the file it replaces; a second run over
// devices that exist fails every item, saying so; a display package with
// links makes links.
TEST(SetupInstall, OwnIdentityPerAdapterExistingDevicesAndLinks) {
  const uint32_t target = 0x400601;
  rt::WinDisk d = rt::MakeWinDisk("--arch x64 --version 6.1.7601.17514");
  it::PrepareOwnAdapter(d, false);
  st::SetStoreRoot(vt::ToWin(d.dir) + L"\\store");
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1u, st::ImportIntoStore(&m, kStoreNetwork, target,
                                      st::SamplePackage(d.dir, "a", "vronet.inf")));
    // Package b serves its device with the same service and a driver file
    // of another name.
    const std::wstring bInf = st::SamplePackage(
        d.dir, "b", "vronet.inf", "s/DEV_10D3/DEV_10D4/g; s/vronic\\.sys/vronic2.sys/g");
    ASSERT_EQ(
        0, vt::Sh("mv " + vt::Q(d.dir + "/b/vronic.sys") + " " + vt::Q(d.dir + "/b/vronic2.sys")));
    ASSERT_EQ(1u, st::ImportIntoStore(&m, kStoreNetwork, target, bInf));
    ASSERT_EQ(1u, st::ImportIntoStore(&m, kStoreDisplay, target,
                                      st::SamplePackage(d.dir, "g", "vrodisp.inf")));
  }
  SetupPackageRow a = RowOf(kStoreNetwork, target, L"VEN_8086&DEV_10D3");
  SetupPackageRow b = RowOf(kStoreNetwork, target, L"VEN_8086&DEV_10D4");
  // Package b without its pending-device section: enumerator PCI, no ids.
  wchar_t ini[360];
  lstrcpyW(ini, b.infPath);
  lstrcpyW(wcsrchr(ini, L'\\') + 1, L"VroPnp.ini");
  ASSERT_TRUE(WritePrivateProfileStringW(L"PCI", nullptr, nullptr, ini));
  const std::string untouched = d.dir + "/untouched.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.unixPath) + " " + vt::Q(untouched)));
  std::vector<SetupPackageFailure> failures;
  ASSERT_EQ(1, Install(d, kInfClassNet, 0, {a, b}, &failures));
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(L"VEN_8086&DEV_10D4", failures[0].line.substr(24, 17));
  EXPECT_EQ(kDriverPackNoAdapterIdentity, failures[0].result);
  EXPECT_NE(std::wstring::npos, failures[0].line.find(L"no other adapter of this run"))
      << vt::Narrow(failures[0].line);
  // With a second identity prepared, both go in, each with its own.
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(untouched) + " " + vt::Q(d.unixPath)));
  const wchar_t second[] = L"{5E6F7081-92A3-B4C5-D6E7-F8091A2B3C4D}";
  it::PrepareOwnAdapter(d, false, 1, second);
  failures.clear();
  ASSERT_EQ(2, Install(d, kInfClassNet, 0, {a, b}, &failures));
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(0, Install(d, kInfClassNet, 0, {a, b}, &failures)) << "the device keys exist";
  ASSERT_EQ(2u, failures.size());
  EXPECT_NE(std::wstring::npos,
            failures[0].line.find(L"the image has the device instance "
                                  L"PCI\\VEN_8086&DEV_10D3\\VRO&Node&Pnp already"))
      << vt::Narrow(failures[0].line);

  SetupPackageRow g = RowOf(kStoreDisplay, target, L"VEN_1234&DEV_1111");
  ASSERT_EQ(1, Install(d, kInfClassDisplay, 1, {g}));

  std::string hive =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
  std::string net = "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";
  const std::string ids[2] = {rt::HivexGet(hive, net + "0000", "NetCfgInstanceId"),
                              rt::HivexGet(hive, net + "0001", "NetCfgInstanceId")};
  EXPECT_EQ(vt::Narrow(it::kPreparedGuid), ids[0]);
  EXPECT_EQ(vt::Narrow(second), ids[1]);
  EXPECT_EQ("<missing>", rt::HivexGet(hive, net + "0002", "NetCfgInstanceId"));
  const std::string pnp = "ControlSet001\\Services\\VROPNP\\PnpList";
  EXPECT_NE("<missing>", rt::HivexGet(hive, pnp, "PCI\\VEN_8086&DEV_10D3"));
  EXPECT_EQ("<missing>", rt::HivexGet(hive, pnp, "PCI\\VEN_8086&DEV_10D4"));
  EXPECT_EQ(
      "{4d36e968-e325-11ce-bfc1-08002be10318}\\0000",
      rt::HivexGet(hive, "ControlSet001\\Enum\\PCI\\VEN_1234&DEV_1111\\VRO&Node&Pnp", "Driver"));
  // Links for the display driver, copies for the network driver.
  CMountedImage m;
  ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
  EXPECT_EQ(0xA000000Cu, m.GetReparseTag(L"\\Windows\\System32\\Drivers\\vrogfx.sys"));
  EXPECT_EQ(1, m.GetPathType(L"\\Windows\\System32\\Drivers\\vronic2.sys"));
  EXPECT_EQ(0u, m.GetReparseTag(L"\\Windows\\System32\\Drivers\\vronic2.sys"));
  // The service's file before b took it over is gone with b's installation.
  EXPECT_EQ(0, m.GetPathType(L"\\Windows\\System32\\Drivers\\vronic.sys"));
  EXPECT_EQ("System32\\Drivers\\vronic2.sys",
            rt::HivexGet(hive, "ControlSet001\\services\\VroNic", "ImagePath"));
  DeleteFileW(st::SettingsFile().c_str());
}

}  // namespace
