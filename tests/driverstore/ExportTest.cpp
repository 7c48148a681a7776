// A network driver installed into an image is exported back into the store
// and installed from there into a fresh image: the driver's values, service
// and files come through.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "../infinstall/InfTestUtil.h"
#include "../registry/FacadeTestUtil.h"
#include "TestSupport.h"
#include "common/IniSection.h"
#include "common/UnicodeProfile.h"
#include "driverstore/DeviceInf.h"
#include "driverstore/DriverStore.h"
#include "driverstore/NetAdapterExport.h"
#include "image/mount/MountedImage.h"

namespace {

std::wstring SettingsFile() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring s = exe;
  return s.substr(0, s.rfind(L'.')) + L".ini";
}

std::wstring SectionText(const std::wstring& inf, const wchar_t* section) {
  std::wstring lines;
  if (!ReadProfileSection(inf.c_str(), section, lines)) return L"<none>";
  if (!lines.empty()) lines.pop_back();
  for (wchar_t& c : lines)
    if (!c) c = L'|';
  return lines;
}

TEST(Export, InstalledAdapterBackIntoTheStoreAndOut) {
  const char* tree = "--arch x64 --version 6.1.7601.17514";
  rt::WinDisk source = rt::MakeWinDisk(tree);
  rt::WinDisk fresh = rt::MakeWinDisk(tree, "mbr2048", "raw", "", "disk.img", "fresh");
  it::Install(source, 0x400601, it::MakePackage(source.dir, "NTamd64"), L"VroNic.ndi");
  std::wstring root = vt::ToWin(source.dir) + L"\\store";
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
  ASSERT_TRUE(
      WritePrivateProfileStringW(L"Config", L"DrvPath", root.c_str(), SettingsFile().c_str()));
  const wchar_t* cls =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\0007";
  const wchar_t* instance =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D3\\VRO&Node&Pnp";
  std::wstring version = root + L"\\Network\\6.1_x64\\pkg\\12.18.9.7";
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(source.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, m.LoadHives(1));
    std::vector<uint8_t> service = rt::Utf16z(L"VroNic"), mfg = rt::Utf16z(L"Vro Vendor");
    ASSERT_EQ(REG_STATUS_OK,
              m.RegCreateKey(instance) == REG_STATUS_EXISTS ? REG_STATUS_OK : REG_STATUS_OK);
    ASSERT_EQ(REG_STATUS_OK,
              m.RegSetValue(instance, L"Service", service.data(), (uint32_t)service.size(), 1));
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(instance, L"Mfg", mfg.data(), (uint32_t)mfg.size(), 1));
    uint32_t one = 1;
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(cls, L"InterruptModeration", &one, 4, 4));
    std::vector<uint8_t> speed = rt::Utf16z(L"6");
    ASSERT_EQ(REG_STATUS_OK,
              m.RegSetValue(cls, L"*SpeedDuplex", speed.data(), (uint32_t)speed.size(), 1));
    ExportNetAdapterInf(&m, 0x400601, nullptr, L"0007", L"6.1_x64", L"pkg", L"12.18.9.7", L"PCI",
                        L"VEN_8086&DEV_10D3", L"VRO&Node&Pnp");
    // A second export into the same version folder changes nothing.
    std::wstring inf = version + L"\\VroPnp.inf";
    std::string before = vt::Sha256(inf);
    ExportNetAdapterInf(&m, 0x400601, L"Other", L"0007", L"6.1_x64", L"pkg", L"12.18.9.7", L"PCI",
                        L"VEN_8086&DEV_10D3", L"VRO&Node&Pnp");
    EXPECT_EQ(before, vt::Sha256(inf));
  }
  std::wstring inf = version + L"\\VroPnp.inf";
  EXPECT_EQ(L"03/14/2019,12.18.9.7", ReadIniValue(inf.c_str(), L"Version", L"DriverVer"));
  EXPECT_EQ(L"\"Vro Gigabit Network Connection\"=VRO.NDI,PCI\\VEN_8086&DEV_10D3|",
            SectionText(inf, L"Vro Vendor.NTamd64.6.1"));
  std::wstring common = SectionText(inf, L"Common.reg");
  EXPECT_NE(std::wstring::npos, common.find(L"HKR,,InterruptModeration,0x00010001,0x00000001|"));
  EXPECT_EQ(common.find(L"HKR,,*SpeedDuplex,0,\"6\""), common.rfind(L"HKR,,*SpeedDuplex,0,\"6\""))
      << "once";
  EXPECT_NE(std::wstring::npos, common.find(L"HKR,,*SpeedDuplex,0,\"6\""));
  EXPECT_EQ(L"VroNic,2,VroNic.Services,Common.EventLog",
            ReadIniValue(inf.c_str(), L"VRO.NDI.NT.Services", L"AddService"));
  EXPECT_TRUE(vt::FileExists(version + L"\\vronic.sys"));
  wchar_t id[100] = L"VEN_8086&DEV_10D3";
  ASSERT_EQ(1, FindDriverInStore(kStoreNetwork, 0x400601, id, 100));
  EXPECT_EQ(L"pkg", std::wstring(id));

  // Out of the store into a fresh image.
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(fresh.path.c_str(), nullptr, 0, 0), 0);
    ASSERT_EQ(1, ExtractDeviceInf(&m, 0x400601, version.c_str(), L"PCI",
                                  L"VEN_8086&DEV_10D3&SUBSYS_00008086&REV_01"));
  }
  it::Install(fresh, 0x400601, version + L"\\VEN_8086&DEV_10D3&SUBSYS_00008086&REV_01.inf",
              L"VRO.NDI");
  std::string sys =
      rt::NtfsCat(fresh, fresh.unixPath, "/Windows/System32/config/SYSTEM", fresh.dir + "/SYSTEM");
  std::string key = "ControlSet001\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\0007";
  EXPECT_EQ("System32\\Drivers\\vronic.sys",
            rt::HivexGet(sys, "ControlSet001\\services\\VroNic", "ImagePath"));
  EXPECT_EQ("NDIS", rt::HivexGet(sys, "ControlSet001\\services\\VroNic", "Group"));
  // A "%" of a value is the value's own, not a string of the exported INF.
  EXPECT_EQ("%SystemRoot%\\System32\\netevent.dll",
            rt::HivexGet(sys, "ControlSet001\\Services\\EventLog\\System\\VroNic",
                         "EventMessageFile"));
  EXPECT_EQ("Speed & Duplex", rt::HivexGet(sys, key + "\\Ndi\\params\\*SpeedDuplex", "ParamDesc"));
  EXPECT_EQ("1.0 Gbps Full Duplex",
            rt::HivexGet(sys, key + "\\Ndi\\params\\*SpeedDuplex\\enum", "6"));
  EXPECT_EQ("6", rt::HivexGet(sys, key, "*SpeedDuplex"));
  EXPECT_EQ("132", rt::HivexGet(sys, key, "Characteristics"));
  EXPECT_EQ("Vro Gigabit Network Connection", rt::HivexGet(sys, key, "DriverDesc"));
  DeleteFileW(SettingsFile().c_str());
}

}  // namespace
