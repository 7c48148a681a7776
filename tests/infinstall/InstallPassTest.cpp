// Whole installations of the sample network package into offline Windows 7
// and Windows 10 images: registry pass, file pass and import, read back with
// ntfscat and hivexget, and run twice to show that a repeat changes nothing.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "../registry/FacadeTestUtil.h"
#include "InfTestUtil.h"
#include "TestSupport.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "infinstall/RegScriptFile.h"

namespace {

const char kClassKey[] = "ControlSet001\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\0007";
const wchar_t kDevice[] = L"PCI\\VEN_8086&DEV_10D3\\VRO&Node&Pnp";

// The package folder: a per-device INF cut for the target, the driver files
// and the catalog.
std::wstring MakePackage(const std::string& dir, const std::string& decoration) {
  std::string pkg = dir + "/pkg";
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(pkg) + " && cd " + vt::Q(pkg) +
                      " && head -c 70001 /dev/urandom > vronic.sys && head -c 3000 /dev/urandom > vronic.dll"
                      " && printf catalog > vronet.cat"));
  EXPECT_EQ(0, vt::Sh("python3 " + vt::Q(vt::SourceDirUnix() + "/tests/infinstall/resolve-inf.py") + " " +
                      vt::Q(vt::SourceDirUnix() + "/tests/infinstall/fixtures/vronet.inf") + " " +
                      vt::Q(pkg + "/vronet.inf") + " " + decoration));
  return vt::ToWin(pkg + "/vronet.inf");
}

// One installation as the driver pages run it: registry pass, file pass,
// import of the script, script deleted.
void Install(const rt::WinDisk& d, uint32_t version, const std::wstring& inf, const wchar_t* section) {
  CMountedImage m;
  ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
  ASSERT_EQ(1, m.LoadHives(1 | 2));
  CInfInstaller inst;
  inst.Init(&m, version, 1, kInfClassNet, L"Net", kNetClassGuid, 0, 0);
  std::wstring script = vt::ToWin(d.dir) + L"\\Ins3.tmp";
  wchar_t service[100] = {0}, image[360] = {0};
  ASSERT_NE(0u, inst.StageDriverRegistry(inf.c_str(), script.c_str(), L"0007", nullptr, kDevice, service,
                                         image, 360));
  EXPECT_EQ(L"VroNic", std::wstring(service));
  EXPECT_EQ(L"C:\\Windows\\System32\\Drivers\\vronic.sys", std::wstring(image));
  EXPECT_EQ(section, std::wstring(inst.InstallSection));
  EXPECT_EQ(L"Vro Gigabit Network Connection", std::wstring(inst.DeviceDescription));
  ASSERT_EQ(1, inst.CopyDriverFiles(inf.c_str(), script.c_str(),
                                    L"{4d36e972-e325-11ce-bfc1-08002be10318}\\0007"));
  ASSERT_EQ(REG_STATUS_OK, m.ImportRegFile(script.c_str()));
  DeleteFileW(script.c_str());
  // The new file took the old one's place; nothing of the swap is left.
  EXPECT_EQ(1, m.GetPathType(L"\\Windows\\System32\\Drivers\\vronic.sys"));
  EXPECT_EQ(0, m.GetPathType(L"\\Windows\\System32\\Drivers\\vronic.sys.vronew"));
  EXPECT_EQ(0, m.GetPathType(L"\\Windows\\System32\\Drivers\\vronic.sys.vroold"));
}

std::string Get(const std::string& hive, const std::string& key, const std::string& value) {
  return rt::HivexGet(hive, key, value);
}

struct Target {
  const char* name;
  const char* treeOptions;
  uint32_t version;
  const char* decoration;
  const char* upperBind;   // hivexget's text, or "<missing>"
  const wchar_t* installSection;
};

TEST(InstallPass, NetworkPackageIntoWindows7AndWindows10) {
  const Target targets[] = {
      {"win7", "--arch x64 --version 6.1.7601.17514", 0x400601, "NTamd64", "VRONDIS", L"VroNic.ndi"},
      {"win10", "--arch x64 --version 10.0.19041.1", 0x400A00, "NTamd64.10.0", "<missing>", L"VroNic62.ndi"},
  };
  for (const Target& t : targets) {
    SCOPED_TRACE(t.name);
    rt::WinDisk d = rt::MakeWinDisk(t.treeOptions);
    std::wstring inf = MakePackage(d.dir, t.decoration);
    Install(d, t.version, inf, t.installSection);

    std::string sys = rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM.1");
    std::string svc = "ControlSet001\\services\\VroNic";
    EXPECT_EQ("1", Get(sys, svc, "Type"));
    EXPECT_EQ("0", Get(sys, svc, "Start")) << "a network driver starts at boot";
    EXPECT_EQ("1", Get(sys, svc, "ErrorControl"));
    EXPECT_EQ("System32\\Drivers\\vronic.sys", Get(sys, svc, "ImagePath"));
    EXPECT_EQ("NDIS", Get(sys, svc, "Group"));
    EXPECT_EQ("Vro Gigabit Adapter Service", Get(sys, svc, "DisplayName"));
    EXPECT_EQ("Vro Gigabit Network Connection", Get(sys, kClassKey, "DriverDesc"));
    EXPECT_EQ("Vro Vendor", Get(sys, kClassKey, "ProviderName"));
    EXPECT_EQ("03-14-2019", Get(sys, kClassKey, "DriverDate"));
    EXPECT_EQ("12.18.9.7", Get(sys, kClassKey, "DriverVersion"));
    EXPECT_EQ(vt::Narrow(t.installSection), Get(sys, kClassKey, "InfSection"));
    EXPECT_EQ("1", Get(sys, kClassKey, "VroSetup"));
    EXPECT_EQ("132", Get(sys, kClassKey, "Characteristics"));
    EXPECT_EQ("1", Get(sys, kClassKey, "Diskless"));
    EXPECT_EQ("0", Get(sys, kClassKey, "*FlowControl"));
    EXPECT_EQ("<missing>", Get(sys, kClassKey, "InfPath"));
    EXPECT_EQ("Speed & Duplex", Get(sys, std::string(kClassKey) + "\\Ndi\\params\\*SpeedDuplex", "ParamDesc"));
    EXPECT_EQ(t.upperBind, Get(sys, std::string(kClassKey) + "\\Linkage", "UpperBind"));
    EXPECT_EQ("C:\\Windows\\System32\\Drivers\\vronic.sys", Get(sys, std::string(kClassKey) + "\\Files", "vronic.sys"));
    EXPECT_EQ("1", Get(sys,
                       "ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D3\\VRO&Node&Pnp\\Device Parameters\\Interrupt "
                       "Management\\MessageSignaledInterruptProperties",
                       "MSISupported"));
    // The files, byte for byte where Windows looks for them.
    std::string pkg = d.dir + "/pkg";
    std::string got = rt::NtfsCat(d, d.unixPath, "/Windows/System32/Drivers/vronic.sys", d.dir + "/vronic.sys");
    EXPECT_EQ(vt::Sha256(vt::ToWin(pkg + "/vronic.sys")), vt::Sha256(vt::ToWin(got)));
    std::string cat = rt::NtfsCat(d, d.unixPath,
                                  "/Windows/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}/vronet.cat",
                                  d.dir + "/vronet.cat");
    EXPECT_EQ(vt::Sha256(vt::ToWin(pkg + "/vronet.cat")), vt::Sha256(vt::ToWin(cat)));

    // The same installation again changes nothing in the hive, and leaves
    // no file of its own behind.
    Install(d, t.version, inf, t.installSection);
    std::string sys2 = rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM.2");
    std::string a, b;
    ASSERT_EQ(0, vt::Sh("hivexregedit --export " + vt::Q(sys) + " '\\'", &a));
    ASSERT_EQ(0, vt::Sh("hivexregedit --export " + vt::Q(sys2) + " '\\'", &b));
    EXPECT_TRUE(a == b) << "second installation changed SYSTEM";
  }
}

}  // namespace
