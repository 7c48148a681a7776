// The steps around an installation on one image: system paths of the offline
// Windows, class instance numbering, the services and DLL registration of an
// install section, the setup-side pass, and a driver file that does not fit.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "../registry/FacadeTestUtil.h"
#include "InfTestUtil.h"
#include "TestSupport.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "infinstall/InstallEnvironment.h"
#include "infinstall/RegScriptFile.h"

namespace {

const wchar_t kNetClass[] =
    L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}";

class InstallSteps : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { disk_ = new rt::WinDisk(rt::MakeWinDisk("")); }
  static void TearDownTestSuite() { delete disk_; }
  void SetUp() override {
    ASSERT_GE(m_.OpenImage(disk_->path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, m_.LoadHives(1 | 2));
    inst_.Init(&m_, 0x400601, 1, kInfClassNet, L"Net", kNetClassGuid, 0, 0);
    dir_ = vt::ScratchDirUnix();
    script_ = vt::ToWin(dir_) + L"\\Ins.tmp";
    ASSERT_EQ(1, CreateRegScriptFile(script_.c_str()));
  }
  static rt::WinDisk* disk_;
  CMountedImage m_;
  CInfInstaller inst_;
  std::string dir_;
  std::wstring script_;
};
rt::WinDisk* InstallSteps::disk_ = nullptr;

TEST_F(InstallSteps, SystemPathsOfTheOfflineWindows) {
  struct Case {
    const wchar_t* source;
    const wchar_t* out;
    int result;
  } cases[] = {
      {L"%SystemRoot%\\System32\\drivers\\x.sys", L"\\Windows\\System32\\drivers\\x.sys", 1},
      {L"%systemroot%\\inf\\oem1.inf", L"\\Windows\\inf\\oem1.inf", 1},
      {L"%SystemDrive%\\Program Files\\x.dll", L"\\Program Files\\x.dll", 1},
      {L"system32\\DRIVERS\\x.sys", L"\\Windows\\system32\\DRIVERS\\x.sys", 1},
      {L"\\SystemRoot\\system32\\x.sys", L"\\Windows\\system32\\x.sys", 1},
      {L"@%SystemRoot%\\system32\\x.dll,-1001", L"\\Windows\\system32\\x.dll,-1001", 1},
      {L"SysWOW64\\y.dll", L"\\Windows\\SysWOW64\\y.dll", 1},
      {L"%windir%\\z.exe", L"\\Windows\\z.exe", 1},
      {L"C:\\Windows\\x.sys", L"\\Windows\\x.sys", 0},
      {L"\\??\\C:\\Program Files\\Vro\\x.sys", L"\\Program Files\\Vro\\x.sys", 1},
      {L"x.sys", L"x.sys", 0},
  };
  for (const Case& c : cases) {
    wchar_t out[360];
    EXPECT_EQ(c.result, ExpandImageSystemPath(c.source, out, 360, &m_)) << vt::Narrow(c.source);
    EXPECT_EQ(std::wstring(c.out), out) << vt::Narrow(c.source);
  }
  // A service binary's ImagePath as the kernel reads it, and the file it
  // names in the volume.
  const struct {
    const wchar_t* binary;
    const wchar_t* imagePath;
    const wchar_t* file;
  } kernel[] = {
      {L"C:\\Windows\\System32\\Drivers\\x.sys", L"System32\\Drivers\\x.sys",
       L"\\Windows\\System32\\Drivers\\x.sys"},
      {L"c:\\WINDOWS\\x.sys", L"\\SystemRoot\\x.sys", L"\\Windows\\x.sys"},
      {L"C:\\\\x.sys", L"\\??\\C:\\x.sys", L"\\x.sys"},
      {L"C:\\Windows2\\x.sys", L"\\??\\C:\\Windows2\\x.sys", L"\\Windows2\\x.sys"},
      {L"C:\\Vro\\System32\\x.sys", L"\\??\\C:\\Vro\\System32\\x.sys",
       L"\\Vro\\System32\\x.sys"},
      {L"system32\\drivers\\x.sys", L"system32\\drivers\\x.sys",
       L"\\Windows\\system32\\drivers\\x.sys"},
  };
  for (const auto& k : kernel) {
    const std::wstring imagePath = KernelImagePath(k.binary, &m_);
    EXPECT_EQ(std::wstring(k.imagePath), imagePath) << vt::Narrow(k.binary);
    wchar_t file[360];
    ExpandImageSystemPath(imagePath.c_str(), file, 360, &m_);
    EXPECT_EQ(std::wstring(k.file), file) << vt::Narrow(k.binary);
  }
}

TEST_F(InstallSteps, NextFreeClassInstanceAndLinkMode) {
  wchar_t out[100];
  inst_.FindFreeClassInstance(kInfClassNet, out);
  std::wstring first = out;
  for (int n : {0, 1, 2, 4}) {
    wchar_t key[300];
    _snwprintf(key, 300, L"%s\\%04d", kNetClass, n);
    m_.RegCreateKey(key);
  }
  inst_.FindFreeClassInstance(kInfClassNet, out);
  EXPECT_EQ(L"0003", std::wstring(out)) << "the gap is taken (before: " << vt::Narrow(first) << ")";
  m_.RegCreateKey((std::wstring(kNetClass) + L"\\0003").c_str());
  inst_.FindFreeClassInstance(kInfClassNet, out);
  EXPECT_EQ(L"0005", std::wstring(out));

  std::wstring files = std::wstring(kNetClass) + L"\\0004\\Files";
  m_.RegCreateKey(files.c_str());
  inst_.LinkFiles = 1;
  inst_.LoadLinkMode(L"0004");
  EXPECT_EQ(0u, inst_.LinkFiles);
  std::vector<uint8_t> folder = rt::Utf16z(L"G:\\VroDrv\\Network\\pkg");
  ASSERT_EQ(REG_STATUS_OK,
            m_.RegSetValue(files.c_str(), L"", folder.data(), (uint32_t)folder.size(), 1));
  inst_.LoadLinkMode(L"0004");
  EXPECT_EQ(1u, inst_.LinkFiles);
}

TEST_F(InstallSteps, ServicesAndDllRegistration) {
  std::wstring infW = vt::ToWin(dir_ + "/svc.inf");
  rt::WriteRegFile(
      infW,
      L"[Inst.NTx86]\r\nAddReg=R\r\n[R]\r\nHKR,,Only86,0,\"yes\"\r\n"
      L"[Inst.Services]\r\nAddService=e1express, 0x00000002, e1e.Service\r\n"
      L"AddService=helper, 0, helper.Service, Helper.Log, Application, VroHelper\r\n"
      L"AddService=, 2, e1e.Service\r\n"
      L"DelService=oldsvc\r\n"
      L"[e1e.Service]\r\nServiceType=1\r\nStartType=0x3\r\nServiceBinary=%12%\\e1e6232.sys\r\n"
      L"Description=\"a \\ b\"\r\n"
      L"[helper.Service]\r\nStartType=3\r\nServiceBinary=%16422%\\Vro\\helper.exe\r\n"
      L"[Inst]\r\nRegisterDlls=Dlls\r\n"
      L"[Dlls]\r\n11,,foo.dll,1\r\n16422,Vro Tools,bar.dll,1\r\n99,,skipped.dll\r\n"
      L"[Helper.Log]\r\nAddReg=Log.reg\r\n[Log.reg]\r\nHKR,,TypesSupported,0x00010001,7\r\n");
  CInstallEnvironment env;
  ASSERT_EQ(1, env.Setup(&inst_));
  wchar_t service[100] = {0}, file[100] = {0};
  EXPECT_TRUE(inst_.StageAddServiceDirectives(L"Inst.Services", infW.c_str(), script_.c_str(),
                                              service, file, L"0009"));
  EXPECT_EQ(0, inst_.StageDelServiceDirectives(L"Inst.Services", infW.c_str(), script_.c_str()));
  EXPECT_TRUE(inst_.StageRegisterDllsDirectives(L"Inst", infW.c_str(), script_.c_str(), L"0009"));
  // A model line whose section exists only for x86 is still walked on x64.
  EXPECT_TRUE(inst_.StageAddRegDirectives(L"Inst.NTx86", infW.c_str(), script_.c_str(), L"0009"));

  EXPECT_EQ(L"e1express", std::wstring(service));
  EXPECT_EQ(L"e1e6232.sys", std::wstring(file));
  std::wstring svc = L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\services\\e1express";
  EXPECT_EQ(L"dword:00000001", it::Staged(script_, svc, L"Type"));
  EXPECT_EQ(L"dword:00000003", it::Staged(script_, svc, L"Start"));
  std::wstring hex = it::Staged(script_, svc, L"ImagePath");
  EXPECT_EQ(0u, hex.find(L"hex(2):53,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00"))
      << vt::Narrow(hex);
  EXPECT_EQ(L"a \\\\ b", it::Staged(script_, svc, L"Description"));
  std::wstring drv = std::wstring(kNetClass) + L"\\0009";
  EXPECT_EQ(L"<none>", it::Staged(script_, drv + L"\\AddService", L"e1express"));
  EXPECT_EQ(L"C:\\\\Program Files\\\\Vro\\\\helper.exe",
            it::Staged(script_, drv + L"\\AddService", L"helper"));
  // An event-log section names its log and source: HKR is that source.
  EXPECT_EQ(L"dword:00000007",
            it::Staged(script_,
                       L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\EventLog\\"
                       L"Application\\VroHelper",
                       L"TypesSupported"));
  EXPECT_EQ(L"<none>", it::Staged(script_, drv, L"TypesSupported"));
  EXPECT_EQ(std::wstring::npos, it::ScriptText(script_).find(L"\\services\\]"))
      << "no unnamed service";
  EXPECT_TRUE(
      it::HasSection(script_, L"-HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\oldsvc"));
  EXPECT_EQ(L"C:\\\\Windows\\\\System32\\\\foo.dll",
            it::Staged(script_, drv + L"\\RegisterDLLs", L"foo.dll"));
  std::wstring runOnce =
      L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
  EXPECT_EQ(L"C:\\\\Windows\\\\System32\\\\regsvr32.exe /s C:\\\\Windows\\\\System32\\\\foo.dll",
            it::Staged(script_, runOnce, L"foo.dll"));
  EXPECT_EQ(
      L"C:\\\\Windows\\\\System32\\\\regsvr32.exe /s \\\"C:\\\\Program Files\\\\Vro Tools\\\\bar.dll\\\"",
      it::Staged(script_, runOnce, L"bar.dll"));
  EXPECT_EQ(0, m_.GetPathType(L"\\Program Files\\Vro Tools")) << "staging writes no folder";
  EXPECT_EQ(L"<none>", it::Staged(script_, runOnce, L"skipped.dll"));
  // ...and named: the registry pass refuses the package for it.
  EXPECT_NE(std::wstring::npos, inst_.Refusal.find(L"[Dlls] 99,,skipped.dll"))
      << vt::Narrow(inst_.Refusal);
  EXPECT_EQ(1u, inst_.RefusedPath);
  EXPECT_EQ(L"yes", it::Staged(script_, drv, L"Only86"));
  // The script imports: what the walkers wrote is .reg text the registry reads.
  EXPECT_EQ(REG_STATUS_OK, m_.ImportRegFile(script_.c_str()));
  EXPECT_EQ(L"a \\ b", rt::QueryString(m_, svc.c_str(), L"Description"));
}

TEST_F(InstallSteps, SetupSideAndAFileThatDoesNotFit) {
  std::wstring inf = it::WriteInf(dir_, "vronet.inf");
  std::wstring script2 = vt::ToWin(dir_) + L"\\Ins2.tmp";
  // A device whose Enum key exists already is not set up again.
  std::wstring enumKey =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D3\\Exists";
  ASSERT_EQ(REG_STATUS_OK, m_.RegCreateKey(enumKey.c_str()));
  EXPECT_EQ(0u, inst_.StageSetupDriverRegistry(inf.c_str(), script2.c_str(), L"0010", nullptr,
                                               L"PCI\\VEN_8086&DEV_10D3\\Exists", L"Desc",
                                               L"VroNic.ndi", nullptr));
  EXPECT_FALSE(vt::FileExists(script2));
  // A display installer does not take a network package.
  CInfInstaller display;
  display.Init(&m_, 0x400601, 1, kInfClassDisplay, L"Display", kDisplayClassGuid, 0, 0);
  EXPECT_EQ(0u, display.StageDriverRegistry(inf.c_str(), script2.c_str(), L"0000", nullptr,
                                            L"PCI\\X\\Y", nullptr, nullptr, 0));
  wchar_t service[100] = {0};
  ASSERT_EQ(1u, inst_.StageSetupDriverRegistry(inf.c_str(), script2.c_str(), L"0010", nullptr,
                                               L"PCI\\VEN_8086&DEV_10D3\\New", L"Setup Desc",
                                               L"VroNic.ndi", service));
  std::wstring drv = std::wstring(kNetClass) + L"\\0010";
  EXPECT_EQ(L"Setup Desc", it::Staged(script2, drv, L"DriverDesc"));
  EXPECT_EQ(L"VroNic.ndi", it::Staged(script2, drv, L"InfSection"));
  EXPECT_EQ(L"-", it::Staged(script2, drv, L"Vro"));
  EXPECT_EQ(L"03-14-2019", it::Staged(script2, drv, L"DriverDate"));

  // A 30 MB driver file on a 24 MiB volume: the partition is asked to grow
  // once, to what the volume has plus what the file lacks plus 1 GiB; when
  // that fails, the driver already in place stays.
  static uint64_t asked = 0;
  static int calls = 0;
  asked = 0;
  calls = 0;
  SetPartitionGrowFunction([](CMountedImage*, uint64_t mib) -> int {
    asked = mib;
    ++calls;
    return 1;  // claims success without growing: the retry fails too
  });
  ASSERT_EQ(0, vt::Sh("head -c 31457280 /dev/zero > " + vt::Q(dir_ + "/big.sys")));
  ASSERT_EQ(1, m_.CreateDirectoryTree(L"\\Windows\\System32\\Drivers"));
  std::wstring old = L"\\Windows\\System32\\Drivers\\big.sys";
  std::vector<uint8_t> before = rt::Utf16z(L"the driver Windows has");
  ASSERT_EQ(1, m_.CreatePath(old.c_str(), 0x8000));
  ASSERT_EQ(before.size(), m_.WriteFile(old.c_str(), before.data(), 0, before.size()));
  uint64_t total = 0, freeBytes = 0;
  ASSERT_EQ(1, m_.GetVolumeSpace(&total, &freeBytes));
  std::wstring source = vt::ToWin(dir_ + "/big.sys");
  EXPECT_EQ(
      0, inst_.CopyDriverFile(source.c_str(), old.c_str(),
                              L"{4d36e972-e325-11ce-bfc1-08002be10318}\\0010", script2.c_str(), 0));
  SetPartitionGrowFunction(nullptr);
  EXPECT_EQ(1, calls);
  EXPECT_GE(asked, (total + 31457280 - freeBytes + 0x40000000) / 0x100000);
  EXPECT_LE(asked, (total + 31457280 + 0x40000000) / 0x100000);
  std::vector<uint8_t> after(before.size());
  EXPECT_EQ(before.size(), m_.ReadFile(old.c_str(), after.data(), 0, after.size()));
  EXPECT_EQ(before, after);
  EXPECT_EQ(0, m_.GetPathType((old + L".vronew").c_str()));
}

}  // namespace

namespace {

TEST_F(InstallSteps, TagsReplacedDriversAndDeviceInstances) {
  const std::wstring services = L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\";
  std::vector<uint8_t> ndis = rt::Utf16z(L"NDIS");
  for (std::pair<const wchar_t*, uint32_t> s : {std::make_pair(L"a", 3u), {L"b", 9u}, {L"c", 4u}}) {
    std::wstring key = services + s.first;
    ASSERT_EQ(REG_STATUS_OK, m_.RegCreateKey(key.c_str()));
    ASSERT_EQ(REG_STATUS_OK,
              m_.RegSetValue(key.c_str(), L"Group", ndis.data(), (uint32_t)ndis.size(), 1));
    ASSERT_EQ(REG_STATUS_OK, m_.RegSetValue(key.c_str(), L"Tag", &s.second, 4, 4));
  }
  inst_.WriteRegValue((services + L"newsvc").c_str(), L"Group", L"NDIS", script_.c_str());
  inst_.WriteRegValue((services + L"lonely").c_str(), L"Group", L"Nobody Tags", script_.c_str());
  EXPECT_NE(0, inst_.AssignServiceTag(L"newsvc", script_.c_str()));
  EXPECT_EQ(L"dword:0000000a", it::Staged(script_, services + L"newsvc", L"Tag"));
  EXPECT_NE(0, inst_.AssignServiceTag(L"lonely", script_.c_str()));
  EXPECT_EQ(L"dword:00000000", it::Staged(script_, services + L"lonely", L"Tag"));
  EXPECT_EQ(0, inst_.AssignServiceTag(L"nogroup", script_.c_str()));

  // The old service of instance 0020 is still named by 0021: it stays; the
  // new service's previous file (another name) goes, unless another service
  // names it too.
  std::vector<uint8_t> old = rt::Utf16z(L"oldsvc");
  for (const wchar_t* i : {L"0020", L"0021"}) {
    std::wstring ndi = std::wstring(kNetClass) + L"\\" + i + L"\\Ndi";
    ASSERT_EQ(REG_STATUS_OK, m_.RegCreateKey(ndi.c_str()));
    ASSERT_EQ(REG_STATUS_OK,
              m_.RegSetValue(ndi.c_str(), L"Service", old.data(), (uint32_t)old.size(), 1));
  }
  ASSERT_EQ(REG_STATUS_OK, m_.RegCreateKey((services + L"oldsvc").c_str()));
  ASSERT_EQ(REG_STATUS_OK, m_.RegCreateKey((services + L"newsvc").c_str()));
  std::vector<uint8_t> image = rt::Utf16z(L"System32\\drivers\\prev.sys");
  ASSERT_EQ(REG_STATUS_OK, m_.RegSetValue((services + L"newsvc").c_str(), L"ImagePath",
                                          image.data(), (uint32_t)image.size(), 2));
  ASSERT_EQ(1, m_.CreateDirectoryTree(L"\\Windows\\System32\\drivers"));
  ASSERT_EQ(1, m_.CreatePath(L"\\Windows\\System32\\drivers\\prev.sys", 0x8000));
  ASSERT_EQ(REG_STATUS_OK, m_.RegCreateKey((services + L"sharer").c_str()));
  ASSERT_EQ(REG_STATUS_OK, m_.RegSetValue((services + L"sharer").c_str(), L"ImagePath",
                                          image.data(), (uint32_t)image.size(), 2));
  EXPECT_EQ(0, inst_.RemoveReplacedDriver(L"newsvc", L"new.sys", L"0020"));
  EXPECT_GE(m_.RegGetSubkeyCount((services + L"oldsvc").c_str()), 0);
  EXPECT_EQ(1, m_.GetPathType(L"\\Windows\\System32\\drivers\\prev.sys"))
      << "another service still names it";
  ASSERT_EQ(REG_STATUS_OK, m_.RegDeleteKey((services + L"sharer").c_str()));
  EXPECT_EQ(0, inst_.RemoveReplacedDriver(L"newsvc", L"new.sys", L"0020"));
  EXPECT_EQ(0, m_.GetPathType(L"\\Windows\\System32\\drivers\\prev.sys"));
  // Once 0021 lets go, the old service itself goes.
  ASSERT_EQ(REG_STATUS_OK, m_.RegDeleteKey((std::wstring(kNetClass) + L"\\0021").c_str()));
  EXPECT_EQ(1, inst_.RemoveReplacedDriver(L"newsvc", L"new.sys", L"0020"));
  EXPECT_LT(m_.RegGetSubkeyCount((services + L"oldsvc").c_str()), 0);

  // Existing devices of the driver key get their instance values.
  std::wstring inf = it::WriteInf(dir_, "vronet.inf");
  std::wstring enumKey =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D3\\3&1";
  ASSERT_EQ(REG_STATUS_OK, m_.RegCreateKey(enumKey.c_str()));
  std::vector<uint8_t> driver = rt::Utf16z(L"{4D36E972-E325-11CE-BFC1-08002BE10318}\\0020");
  ASSERT_EQ(REG_STATUS_OK,
            m_.RegSetValue(enumKey.c_str(), L"Driver", driver.data(), (uint32_t)driver.size(), 1));
  inst_.WriteRegValue((std::wstring(kNetClass) + L"\\0020").c_str(), L"DriverDesc", L"Vro NIC",
                      script_.c_str());
  EXPECT_EQ(0, inst_.StageDeviceInstanceKeys(inf.c_str(), script_.c_str(), L"USB", L"newsvc",
                                             L"{4d36e972-e325-11ce-bfc1-08002be10318}\\0020"));
  EXPECT_EQ(1, inst_.StageDeviceInstanceKeys(inf.c_str(), script_.c_str(), L"PCI", L"newsvc",
                                             L"{4d36e972-e325-11ce-bfc1-08002be10318}\\0020"));
  EXPECT_EQ(L"Net", it::Staged(script_, enumKey, L"Class"));
  EXPECT_EQ(L"%VroVendor%", it::Staged(script_, enumKey, L"Mfg"))
      << "the package INF's Provider, as written";
  EXPECT_EQ(L"newsvc", it::Staged(script_, enumKey, L"Service"));
  EXPECT_EQ(L"Vro NIC", it::Staged(script_, enumKey, L"DriverDesc"));

  // The boot-time PnP instances and a new adapter's Linkage.
  const wchar_t* dev = L"PCI\\VEN_8086&DEV_10D3";
  std::wstring pnp =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D3\\VRO&Node&Pnp";
  EXPECT_EQ(1, inst_.StageNetDeviceInstance(inf.c_str(), script_.c_str(), dev, L"newsvc", L"0020",
                                            0xFFFFFFFFu));
  EXPECT_EQ(L"<none>", it::Staged(script_, std::wstring(kNetClass) + L"\\0020", L"NetLuidIndex"));
  EXPECT_EQ(1,
            inst_.StageNetDeviceInstance(inf.c_str(), script_.c_str(), dev, L"newsvc", L"0020", 2));
  EXPECT_EQ(L"dword:00000002",
            it::Staged(script_, std::wstring(kNetClass) + L"\\0020", L"NetLuidIndex"));
  EXPECT_EQ(L"Vro NIC", it::Staged(script_, pnp, L"DeviceDesc"));
  EXPECT_EQ(L"{4d36e972-e325-11ce-bfc1-08002be10318}\\\\0020", it::Staged(script_, pnp, L"Driver"));
  EXPECT_EQ(L"dword:00000001", it::Staged(script_, services + L"newsvc", L"BootFlags"));
  const wchar_t* guid = L"{11111111-2222-3333-4444-555555555555}";
  // Both ids come escaped for the script: they are staged as they are.
  EXPECT_EQ(1, inst_.StageNetAdapterLinkage(guid, script_.c_str(), L"pci\\\\ven_8086&dev_10d3", dev,
                                            L"0020"));
  EXPECT_EQ(L"pci\\\\ven_8086&dev_10d3",
            it::Staged(script_, std::wstring(kNetClass) + L"\\0020", L"ComponentId"));
  EXPECT_EQ(
      L"PCI\\VEN_8086&DEV_10D3\\\\VRO&Node&Pnp",
      it::Staged(script_,
                 std::wstring(L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Network\\") +
                     kNetClassGuid + L"\\" + guid + L"\\Connection",
                 L"PnPInstanceId"));
  std::wstring root =
      it::Staged(script_, std::wstring(kNetClass) + L"\\0020\\Linkage", L"RootDevice");
  EXPECT_EQ(0u, root.find(L"hex(7):7b,00,31,00")) << vt::Narrow(root);
  EXPECT_EQ(root.size() - 11, root.rfind(L"00,00,00,00"));
  // The script imports into the hive as staged.
  EXPECT_EQ(REG_STATUS_OK, m_.ImportRegFile(script_.c_str()));
  EXPECT_EQ(L"Vro NIC", rt::QueryString(m_, pnp.c_str(), L"DeviceDesc"));
}

}  // namespace
