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

const char kClassKey[] =
    "ControlSet001\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\0007";

std::string Get(const std::string& hive, const std::string& key, const std::string& value) {
  return rt::HivexGet(hive, key, value);
}

struct Target {
  const char* name;
  const char* treeOptions;
  uint32_t version;
  const char* decoration;
  const char* upperBind;  // hivexget's text, or "<missing>"
  const wchar_t* installSection;
};

TEST(InstallPass, NetworkPackageIntoWindows7AndWindows10) {
  const Target targets[] = {
      {"win7", "--arch x64 --version 6.1.7601.17514", 0x400601, "NTamd64", "VRONDIS",
       L"VroNic.ndi"},
      {"win10", "--arch x64 --version 10.0.19041.1", 0x400A00, "NTamd64.10.0", "<missing>",
       L"VroNic62.ndi"},
  };
  for (const Target& t : targets) {
    SCOPED_TRACE(t.name);
    rt::WinDisk d = rt::MakeWinDisk(t.treeOptions);
    std::wstring inf = it::MakePackage(d.dir, t.decoration);
    it::Install(d, t.version, inf, t.installSection);

    std::string sys =
        rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM.1");
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
    EXPECT_EQ("Speed & Duplex",
              Get(sys, std::string(kClassKey) + "\\Ndi\\params\\*SpeedDuplex", "ParamDesc"));
    EXPECT_EQ(t.upperBind, Get(sys, std::string(kClassKey) + "\\Linkage", "UpperBind"));
    EXPECT_EQ("C:\\Windows\\System32\\Drivers\\vronic.sys",
              Get(sys, std::string(kClassKey) + "\\Files", "vronic.sys"));
    EXPECT_EQ(
        "1",
        Get(sys,
            "ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D3\\VRO&Node&Pnp\\Device Parameters\\Interrupt "
            "Management\\MessageSignaledInterruptProperties",
            "MSISupported"));
    // The files, byte for byte where Windows looks for them.
    std::string pkg = d.dir + "/pkg";
    std::string got =
        rt::NtfsCat(d, d.unixPath, "/Windows/System32/Drivers/vronic.sys", d.dir + "/vronic.sys");
    EXPECT_EQ(vt::Sha256(vt::ToWin(pkg + "/vronic.sys")), vt::Sha256(vt::ToWin(got)));
    std::string cat =
        rt::NtfsCat(d, d.unixPath,
                    "/Windows/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}/vronet.cat",
                    d.dir + "/vronet.cat");
    EXPECT_EQ(vt::Sha256(vt::ToWin(pkg + "/vronet.cat")), vt::Sha256(vt::ToWin(cat)));

    // The same installation again changes nothing in the hive, and leaves
    // no file of its own behind.
    it::Install(d, t.version, inf, t.installSection);
    std::string sys2 =
        rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM.2");
    std::string a, b;
    ASSERT_EQ(0, vt::Sh("hivexregedit --export " + vt::Q(sys) + " '\\'", &a));
    ASSERT_EQ(0, vt::Sh("hivexregedit --export " + vt::Q(sys2) + " '\\'", &b));
    EXPECT_TRUE(a == b) << "second installation changed SYSTEM";
  }
}

}  // namespace
