// "/iadapter:" through the real program on Windows 7 and Windows 10 images
// with a store built by the import: installed (0), then current (1); the
// hive read back with hivexget, the driver file with ntfscat, the volume
// checked by ntfsfix; and the adapter exports called as a host would.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../infinstall/InfTestUtil.h"
#include "../../registry/FacadeTestUtil.h"
#include "../ProgramImage.h"
#include "TestSupport.h"
#include "app/ImageOperations.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfImporter.h"
#include "driverstore/NetAdapterExport.h"
#include "common/IniSection.h"
#include "infinstall/DriverCache.h"
#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"

namespace {

// A copy of the program with its own settings file naming the store, so
// that no other test's settings are touched.
struct ProgramCopy {
  std::wstring exe;
  explicit ProgramCopy(const std::string& dir, const std::wstring& store) {
    exe = vt::ToWin(dir) + L"\\VroCopy.exe";
    EXPECT_TRUE(CopyFileW(apptest::ProgramPath().c_str(), exe.c_str(), FALSE));
    EXPECT_TRUE(WritePrivateProfileStringW(L"Config", L"DrvPath", store.c_str(),
                                           (vt::ToWin(dir) + L"\\VroCopy.ini").c_str()));
  }
  // The exit code; the lines it printed in *output when asked.
  DWORD Run(const std::wstring& arguments, std::string* output = nullptr) {
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi;
    DWORD code = 0xDEADBEEF;
    // A file of its own for each run: a process the last run started may
    // still hold the last one.
    static int runs = 0;
    std::wstring caught = exe + L"." + std::to_wstring(++runs) + L".out";
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE out = output ? CreateFileW(caught.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa,
                                      CREATE_ALWAYS, 0, nullptr)
                        : INVALID_HANDLE_VALUE;
    if (out != INVALID_HANDLE_VALUE) {
      si.dwFlags = STARTF_USESTDHANDLES;
      si.hStdOutput = si.hStdError = out;
    }
    if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, out != INVALID_HANDLE_VALUE, 0,
                       nullptr, nullptr, &si, &pi)) {
      if (WaitForSingleObject(pi.hProcess, 300000) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
    if (out != INVALID_HANDLE_VALUE) {
      CloseHandle(out);
      std::vector<uint8_t> text;
      vt::ReadAll(caught, text);
      output->assign(text.begin(), text.end());
    }
    return code;
  }
};

// What an export called in this process printed on its standard output.
template <class Call>
std::string ExportOutput(const std::string& dir, Call call) {
  const std::wstring caught = vt::ToWin(dir) + L"\\export.out";
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileW(caught.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0,
                           nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, out);
  HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, out);
  call();
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  CloseHandle(out);
  std::vector<uint8_t> text;
  vt::ReadAll(caught, text);
  return std::string(text.begin(), text.end());
}

std::wstring SettingsOfThisProgram() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring s = exe;
  return s.substr(0, s.rfind(L'.')) + L".ini";
}

// One value of a hive as hivedump.py prints it ("type|data"), or "".
std::string Dumped(const std::string& hive, const std::string& key, const std::string& name) {
  std::string out;
  EXPECT_EQ(0, vt::Sh(vt::Q(vt::SourceDirUnix() + "/tests/infinstall/hivedump.py") + " " +
                          vt::Q(hive) + " " + vt::Q(key),
                      &out));
  std::string prefix = key + "|" + name + "|";
  for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
    if (out.compare(at, prefix.size(), prefix) == 0)
      return out.substr(at + prefix.size(), end - at - prefix.size());
  return "";
}

// Services beside the package's own whose binaries lie in every kind of
// folder a directory id names (sed over the sample INF): the Windows
// folder itself, the volume root (24 and 30), the folders of programs;
// drivers, and Win32 services of their own process, a shared one and an
// interactive one, with arguments and blanks.
const struct {
  const char* service;
  const char* type;
  const char* binary;
} kServiceFolders[] = {{"Vro10", "1", "%10%\\\\old10.sys"},
                       {"Vro24", "1", "%24%\\\\old24.sys"},
                       {"Vro30", "2", "%30%\\\\old30.sys"},
                       {"Vro16422", "1", "%16422%\\\\Vro\\\\old16422.sys"},
                       {"Vro16425", "1", "%16425%\\\\old16425.sys"},
                       {"Vro16426", "1", "%16426%\\\\Vro\\\\old16426.sys"},
                       {"VroAux10", "0x10", "%10%\\\\auxsvc.exe"},
                       {"VroAux11", "0x20", "%11%\\\\auxsvc.exe -k VroGroup"},
                       {"VroTool", "0x110", "%16422%\\\\Vendor Tools\\\\tool.exe"},
                       {"VroTool86", "0x10", "%16426%\\\\Vendor Tools\\\\tool.exe -service"}};

// Services and event sources a Windows had before the installation, merged
// into its SYSTEM hive by hivexregedit (a shell command for the Windows
// tree; `reg` holds .reg lines of keys below HKEY_LOCAL_MACHINE\SYSTEM).
std::string MergeIntoSystem(const std::string& reg) {
  std::string parents;
  for (const char* key : {"", "\\EventLog", "\\EventLog\\System", "\\EventLog\\Application"})
    parents += std::string("[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\services") + key + "]\n\n";
  return "printf '%s' " + vt::Q("Windows Registry Editor Version 5.00\n\n" + parents + reg + "\n") +
         " > before.reg && hivexregedit --merge --prefix 'HKEY_LOCAL_MACHINE\\SYSTEM'"
         " Windows/System32/config/SYSTEM before.reg && rm before.reg";
}

// Three services the package deletes, each with an event source: with
// 0x4 the source goes too (under System, or the log and name the line
// gives), without it the source stays.
std::string OldServices() {
  std::string reg;
  for (const char* key :
       {"services\\VroOld", "services\\VroOldApp", "services\\VroStay",
        "services\\EventLog\\System\\VroOld", "services\\EventLog\\Application\\VroAppSource",
        "services\\EventLog\\System\\VroStay"})
    reg += std::string("[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\") + key +
           "]\n\"Mark\"=\"before\"\n\n";
  return MergeIntoSystem(reg);
}

std::string ServiceFoldersSed() {
  std::string
      lines =
          "\\nDelService = VroOld, 0x4\\nDelService = VroOldApp, 0x204, Application, VroAppSource"
          "\\nDelService = VroStay, 0x200",
      sections;
  for (const auto& s : kServiceFolders) {
    lines += std::string("\\nAddService = ") + s.service + ", 0, " + s.service + ".Svc";
    sections += std::string("[") + s.service + ".Svc]\\nServiceType = " + s.type +
                "\\nStartType = 3\\nErrorControl = 1\\nServiceBinary = " + s.binary + "\\n";
  }
  return "s/^AddService = VroNic, .*$/&" + lines + "/; s/^\\[VroNic\\.EventLog\\]$/" +
         sections + "\\n&/";
}

// The ImagePath of each service (REG_EXPAND_SZ) as what starts it reads
// it. A driver's as the kernel does: below System32 relative to the
// Windows folder, elsewhere in the Windows tree from \SystemRoot, outside
// it a whole path of the NT namespace. A Win32 service's as the service
// control manager does, a command line: from %SystemRoot% inside the
// Windows folder, else the whole path, quoted where it holds a blank; a new
// one runs as LocalSystem. The services DelService named are gone, with
// their event sources where the line asked for it.
void ExpectServices(const std::string& sys, bool x64) {
  const std::string tool86 = x64 ? "\"C:\\Program Files (x86)\\Vendor Tools\\tool.exe\" -service"
                                 : "\"C:\\Program Files\\Vendor Tools\\tool.exe\" -service";
  const struct {
    const char* service;
    std::string imagePath;
  } expected[] = {
      {"VroNic", "System32\\Drivers\\vronic.sys"},
      {"Vro10", "\\SystemRoot\\old10.sys"},
      {"Vro24", "\\??\\C:\\old24.sys"},
      {"Vro30", "\\??\\C:\\old30.sys"},
      {"Vro16422", "\\??\\C:\\Program Files\\Vro\\old16422.sys"},
      {"Vro16425", x64 ? "\\SystemRoot\\SysWOW64\\old16425.sys" : "System32\\old16425.sys"},
      {"Vro16426", x64 ? "\\??\\C:\\Program Files (x86)\\Vro\\old16426.sys"
                       : "\\??\\C:\\Program Files\\Vro\\old16426.sys"},
      {"VroAux10", "%SystemRoot%\\auxsvc.exe"},
      {"VroAux11", "%SystemRoot%\\System32\\auxsvc.exe -k VroGroup"},
      {"VroTool", "\"C:\\Program Files\\Vendor Tools\\tool.exe\""},
      {"VroTool86", tool86},
  };
  std::string out;
  ASSERT_EQ(0, vt::Sh(vt::Q(vt::SourceDirUnix() + "/tests/infinstall/hivedump.py") + " " +
                          vt::Q(sys) + " 'ControlSet001\\services'",
                      &out));
  for (const auto& e : expected) {
    const std::string key = std::string("ControlSet001\\services\\") + e.service;
    EXPECT_NE(std::string::npos, out.find(key + "|ImagePath|2|" + e.imagePath + "\n")) << key;
    EXPECT_EQ(e.service[3] == 'T' || e.service[3] == 'A',
              out.find(key + "|ObjectName|1|LocalSystem\n") != std::string::npos)
        << key;
  }
  // The deleted services' keys and event sources (OldServices).
  for (const auto& key :
       {std::make_pair("VroOld|", false), std::make_pair("VroOldApp|", false),
        std::make_pair("VroStay|", false), std::make_pair("EventLog\\System\\VroOld|", false),
        std::make_pair("EventLog\\Application\\VroAppSource|", false),
        std::make_pair("EventLog\\System\\VroStay|", true)})
    EXPECT_EQ(key.second,
              out.find(std::string("ControlSet001\\services\\") + key.first) != std::string::npos)
        << key.first;
}

TEST(AdapterInstall, ThroughTheProgramOnWindows7And10) {
  const it::WindowsTarget targets[] = {
      {"win7", "--arch x64 --version 6.1.7601.17514", 0x400601, 7601, false},
      {"win10", "--arch x64 --version 10.0.19041.1", 0x400A00, 19041, true},
  };
  std::string top = vt::ScratchDirUnix();
  for (const it::WindowsTarget& t : targets) {
    SCOPED_TRACE(t.name);
    rt::WinDisk d = rt::MakeWinDisk(t.tree, "mbr2048", "raw", OldServices(), "disk.img", t.name);
    it::PrepareOwnAdapter(d, t.windows10);
    std::wstring store = vt::ToWin(d.dir) + L"\\store";
    ProgramCopy program(d.dir, store);
    // The store, built by the import as the driver dialogs do.
    std::wstring folder = store + (t.windows10 ? L"\\Network\\10.0_x64" : L"\\Network\\6.1_x64");
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder)) + " " + vt::Q(d.dir + "/pkg") +
                        " && cd " + vt::Q(d.dir + "/pkg") +
                        " && head -c 70001 /dev/urandom > vronic.sys &&"
                        " head -c 3000 /dev/urandom > vronic.dll && printf catalog > vronet.cat"));
    // "%%" is the INF's own "%": the text a target expands is the target's.
    std::wstring inf = it::WriteInf(
        d.dir + "/pkg", "vronet.inf",
        ServiceFoldersSed() +
            "; s/^HKR, ,  *EmptyMarker$/&\\nHKR, , Escaped, 0x00020000, \"%%TEMP%%\\\\vro\"/");
    {
      CMountedImage m;
      ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
      CInfImporter importer(&m, t.version, t.build, kStoreNetwork, L"Net", kNetClassGuid, nullptr);
      ASSERT_EQ(1u, importer.ImportInf(inf.c_str(), folder.c_str()));
    }
    std::wstring command =
        L"\"-img:" + d.path +
        L"\" /iadapter:2:VEN_8086&DEV_10D3&SUBSYS_00008086&REV_01:001:192.168.0.11";
    EXPECT_EQ(0u, program.Run(command));
    EXPECT_EQ(1u, program.Run(command)) << "the second run finds the driver current";

    std::string sys =
        rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
    std::string instance =
        "ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D3&SUBSYS_00008086&REV_01\\VRO&Node&Pnp";
    EXPECT_EQ("VroNic", rt::HivexGet(sys, instance, "Service"));
    EXPECT_EQ("0", rt::HivexGet(sys, "ControlSet001\\services\\VroNic", "Start"));
    std::string cls = "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";
    EXPECT_EQ(vt::Narrow(it::kPreparedGuid), rt::HivexGet(sys, cls, "NetCfgInstanceId"));
    EXPECT_EQ("%TEMP%\\vro", rt::HivexGet(sys, cls, "Escaped"));
    EXPECT_EQ("%SystemRoot%\\System32\\netevent.dll",
              rt::HivexGet(sys, "ControlSet001\\Services\\EventLog\\System\\VroNic",
                           "EventMessageFile"));
    ExpectServices(sys, true);
    EXPECT_NE("<missing>", rt::HivexGet(sys, "ControlSet001\\Services\\VROPNP\\PnpList",
                                        "PCI\\VEN_8086&DEV_10D3"));
    // The package's keys of HKLM\SOFTWARE and HKCR are in the SOFTWARE hive.
    std::string soft =
        rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SOFTWARE", d.dir + "/SOFTWARE");
    EXPECT_EQ("C:\\Program Files\\VroVendor",
              rt::HivexGet(soft, "VroVendor\\VroNic", "InstallDir"));
    EXPECT_EQ("11|hex:01020304050607a0", Dumped(soft, "VroVendor\\VroNic", "Quad"));
    EXPECT_EQ("VroNic helper",
              rt::HivexGet(soft, "Classes\\CLSID\\{11111111-2222-3333-4444-555555555555}", "@"));
    std::string file =
        rt::NtfsCat(d, d.unixPath, "/Windows/System32/Drivers/vronic.sys", d.dir + "/vronic.sys");
    EXPECT_EQ(vt::Sha256(vt::ToWin(d.dir + "/pkg/vronic.sys")), vt::Sha256(vt::ToWin(file)));
    std::string part = d.dir + "/part.img", out;
    ASSERT_EQ(0, vt::Sh("dd if=" + vt::Q(d.unixPath) + " of=" + vt::Q(part) +
                        " bs=512 skip=" + std::to_string(d.start) +
                        " count=" + std::to_string(rt::kDiskMiB * 2048) + " status=none"));
    EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(part), &out)) << out;
    std::wstring history = folder + L"\\VEN_8086&DEV_10D3\\NConfig.ini";
    wchar_t value[400] = L"";
    GetPrivateProfileStringW(L"History", L"001", L"", value, 400, history.c_str());
    EXPECT_EQ(L"192.168.0.11|" + d.path, std::wstring(value));
  }
}

TEST(AdapterInstall, MalformedFormsAndTheExports) {
  rt::WinDisk d = rt::MakeWinDisk("");
  ProgramCopy program(d.dir, vt::ToWin(d.dir) + L"\\store");
  for (const wchar_t* bad : {L"/iadapter:", L"/iadapter:2", L"/iadapter:x:VEN_1", L"/iadapter:2:",
                             L"/iadapter:4:VEN_1", L"/iadapter:51:VEN_1"})
    EXPECT_EQ(DWORD(-13), program.Run(L"\"-img:" + d.path + L"\" " + bad)) << vt::Narrow(bad);
  // A device the store does not know, through both exports.
  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"DrvPath",
                                         (vt::ToWin(d.dir) + L"\\store").c_str(),
                                         SettingsOfThisProgram().c_str()));
  EXPECT_EQ(-4,
            ImageAddAdapterW(d.path.c_str(), L"", 0, 2, L"VEN_FFFF&DEV_0001", L"7", L"10.0.0.7"));
  EXPECT_EQ(-2, ImageAddAdapterW((d.path + L".missing").c_str(), L"", 0, 2, L"VEN_FFFF&DEV_0001",
                                 L"7", nullptr));
  _VROH_MOUNT_RW disk;
  ASSERT_GE(disk.OpenChain(d.path.c_str(), nullptr, 2), 0);
  EXPECT_EQ(-4, ImageHardwarePnpW(disk.Layers(), 0x1A2B, 0, 2, 0, L"VEN_FFFF&DEV_0001", 7,
                                  0xC0A8000B, nullptr));
  EXPECT_EQ(-2, ImageHardwarePnpW(nullptr, 0, 0, 2, 0, L"VEN_FFFF&DEV_0001", 7, 0, nullptr));
  DeleteFileW(SettingsOfThisProgram().c_str());
}

// The sample package at one driver version (the version folder's name),
// with its own driver file, imported into a network store folder.
// `arrange` runs in the package folder once its files are made.
void ImportSample(const rt::WinDisk& d, const std::wstring& folder, const std::string& version,
                  const std::string& extraSed = "", const std::string& arrange = "true") {
  std::string pkg = d.dir + "/pkg-" + version;
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder)) + " " + vt::Q(pkg) + " && cd " +
                      vt::Q(pkg) +
                      " && head -c 70001 /dev/urandom > vronic.sys &&"
                      " head -c 3000 /dev/urandom > vronic.dll && printf catalog > vronet.cat && " +
                      arrange));
  std::wstring inf =
      it::WriteInf(pkg, "vronet.inf", "s/12\\.18\\.9\\.7/" + version + "/;" + extraSed);
  CMountedImage m;
  ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
  CInfImporter importer(&m, 0x400601, 7601, kStoreNetwork, L"Net", kNetClassGuid, nullptr);
  ASSERT_EQ(1u, importer.ImportInf(inf.c_str(), folder.c_str()));
}

const wchar_t kDevice[] = L"VEN_8086&DEV_10D3&SUBSYS_00008086&REV_01";

std::wstring AddAdapter(const rt::WinDisk& d, const wchar_t* workstation) {
  return L"\"-img:" + d.path + L"\" /iadapter:2:" + kDevice + L":" + workstation +
         L":192.168.0.7";
}

// The driver file in an image, or "" when ntfscat finds none.
std::string PlacedDriver(const rt::WinDisk& d, const std::string& name) {
  std::string out = d.dir + "/" + name;
  rt::NtfsCat(d, d.unixPath, "/Windows/System32/Drivers/" + name, out);
  return vt::Sha256(vt::ToWin(out));
}

// A cache file is replayed only when it is whole and was made by the
// installation the store would make now, into a Windows prepared for it;
// anything else installs in full, or fails with the image as it was.
TEST(AdapterInstall, CacheReplayOnlyOfWhatTheStoreWouldInstall) {
  const char* tree =
      "--arch x64 --version 6.1.7601.17514 --hw-profile {cccc0064-31c0-11e8-9b10-806e6f6e6963}";
  const char* drivers =
      "mkdir -p Windows/System32/Drivers && printf old > Windows/System32/Drivers/vronic.sys &&"
      " printf keep > Windows/System32/Drivers/keep.sys";
  rt::WinDisk d = rt::MakeWinDisk(tree, "mbr2048", "raw", drivers, "disk.img", "first");
  // A clone of the same master that was never prepared for the adapter.
  rt::WinDisk unprepared = rt::MakeWinDisk(tree, "mbr2048", "raw", drivers, "disk.img", "clone");
  it::PrepareOwnAdapter(d, false);
  rt::WinDisk trial = d;
  trial.unixPath = d.dir + "/trial.img";
  trial.path = vt::ToWin(trial.unixPath);
  const std::string prepared = d.dir + "/prepared.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.unixPath) + " " + vt::Q(prepared)));
  const std::string preparedSum = vt::Sha256(vt::ToWin(prepared));
  auto fresh = [&] {
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(prepared) + " " + vt::Q(trial.unixPath)));
  };
  std::wstring store = vt::ToWin(d.dir) + L"\\store";
  std::wstring folder = store + L"\\Network\\6.1_x64";
  ProgramCopy program(d.dir, store);
  ImportSample(d, folder, "12.18.9.7");
  const std::wstring package = folder + L"\\VEN_8086&DEV_10D3";
  const std::wstring nconfig = package + L"\\NConfig.ini";
  const std::string v9 = vt::Sha256(package + L"\\12.18.9.7\\vronic.sys");
  const std::string keep = vt::Sha256(vt::ToWin(d.tree + "/Windows/System32/Drivers/keep.sys"));
  ASSERT_EQ(0u, program.Run(AddAdapter(d, L"1")));
  const std::wstring cache = vt::ToWin(d.dir) + L"\\Cache\\0_" + kDevice + L".dat";
  std::vector<uint8_t> whole;
  ASSERT_TRUE(vt::ReadAll(cache, whole));
  const std::string cls =
      "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";

  // The clone without the adapter configuration: what a full installation
  // answers, with nothing written.
  const std::string cloneSum = vt::Sha256(unprepared.path);
  EXPECT_EQ(DWORD(-6), program.Run(AddAdapter(unprepared, L"2")));
  EXPECT_EQ(cloneSum, vt::Sha256(unprepared.path));
  EXPECT_EQ(L"", ReadIniValue(nconfig.c_str(), L"History", L"002"));

  // Damaged anywhere, the cache is passed over: the installation runs in
  // full, every file it does not replace stays.
  srand(64);
  std::vector<size_t> spots = {0, 1, whole.size() / 2, whole.size() - 33, whole.size() - 1};
  for (int i = 0; i < 5; ++i) spots.push_back(size_t(rand()) % whole.size());
  for (size_t at : spots) {
    SCOPED_TRACE(at);
    fresh();
    std::vector<uint8_t> damaged = whole;
    damaged[at] ^= uint8_t(1 + rand() % 255);
    ASSERT_TRUE(vt::WriteAll(cache, damaged));
    EXPECT_EQ(0u, program.Run(AddAdapter(trial, L"3")));
    EXPECT_EQ(v9, PlacedDriver(trial, "vronic.sys"));
    EXPECT_EQ(keep, PlacedDriver(trial, "keep.sys"));
    std::string sys = rt::NtfsCat(trial, trial.unixPath, "/Windows/System32/config/SYSTEM",
                                  trial.dir + "/SYSTEM");
    EXPECT_EQ(vt::Narrow(it::kPreparedGuid), rt::HivexGet(sys, cls, "NetCfgInstanceId"));
  }
  // Whole, it is replayed onto the prepared sibling (the boot-time PnP list
  // is the installation's own, not the cache's).
  ASSERT_TRUE(vt::WriteAll(cache, whole));
  fresh();
  EXPECT_EQ(0u, program.Run(AddAdapter(trial, L"4")));
  EXPECT_EQ(v9, PlacedDriver(trial, "vronic.sys"));
  EXPECT_EQ(keep, PlacedDriver(trial, "keep.sys"));
  {
    std::string sys = rt::NtfsCat(trial, trial.unixPath, "/Windows/System32/config/SYSTEM",
                                  trial.dir + "/SYSTEM");
    EXPECT_EQ("<missing>", rt::HivexGet(sys, "ControlSet001\\Services\\VROPNP\\PnpList",
                                        "PCI\\VEN_8086&DEV_10D3"));
    EXPECT_EQ("12.18.9.7", rt::HivexGet(sys, cls, "DriverVersion"));
  }

  // The store's file is gone: the replay, like the installation, fails
  // before anything is written.
  ASSERT_TRUE(DeleteFileW((package + L"\\12.18.9.7\\vronic.sys").c_str()));
  fresh();
  EXPECT_EQ(DWORD(-9), program.Run(AddAdapter(trial, L"5")));
  EXPECT_EQ(preparedSum, vt::Sha256(trial.path));
  EXPECT_EQ(L"", ReadIniValue(nconfig.c_str(), L"History", L"005"));

  // A newer version of the package, chosen: installed, not the cache of
  // the old one; and the installed old version is not current against it.
  ImportSample(d, folder, "12.18.10.0");
  const std::string v10 = vt::Sha256(package + L"\\12.18.10.0\\vronic.sys");
  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"Version", L"12.18.10.0", nconfig.c_str()));
  fresh();
  EXPECT_EQ(0u, program.Run(AddAdapter(trial, L"6")));
  EXPECT_EQ(v10, PlacedDriver(trial, "vronic.sys"));
  {
    std::string sys = rt::NtfsCat(trial, trial.unixPath, "/Windows/System32/config/SYSTEM",
                                  trial.dir + "/SYSTEM");
    EXPECT_EQ("12.18.10.0", rt::HivexGet(sys, cls, "DriverVersion"));
  }
  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"Version", nullptr, nconfig.c_str()));
  EXPECT_NE(1u, program.Run(AddAdapter(d, L"7"))) << "the store's newest is not installed";
  EXPECT_EQ(1u, program.Run(AddAdapter(trial, L"8")));

  // An update whose driver file has another name: the file it replaces is
  // gone with it, the files of others stay.
  ImportSample(d, folder, "12.18.11.0", "s/vronic\\.sys/vronic2.sys/g",
               "mv vronic.sys vronic2.sys");
  std::string out;
  ASSERT_EQ(0u, program.Run(AddAdapter(trial, L"9"), &out)) << out;
  EXPECT_EQ(vt::Sha256(package + L"\\12.18.11.0\\vronic2.sys"), PlacedDriver(trial, "vronic2.sys"));
  EXPECT_EQ(keep, PlacedDriver(trial, "keep.sys"));
  std::string sys =
      rt::NtfsCat(trial, trial.unixPath, "/Windows/System32/config/SYSTEM", trial.dir + "/SYSTEM");
  EXPECT_EQ("System32\\Drivers\\vronic2.sys",
            rt::HivexGet(sys, "ControlSet001\\services\\VroNic", "ImagePath"));
  std::string listing;
  EXPECT_EQ(0, vt::Sh("ntfsls " + vt::Q(trial.unixPath + ".part") + " -p /Windows/System32/Drivers",
                      &listing));
  EXPECT_NE(std::string::npos, listing.find("vronic2.sys")) << listing;
  EXPECT_EQ(std::string::npos, listing.find("vronic.sys")) << listing;
}

// A Windows 7 image prepared for the adapter, with an empty network store
// for it and a copy of the program whose settings name that store.
struct PreparedImage {
  rt::WinDisk d;
  std::wstring store, folder;
  ProgramCopy program;
  // setup: a shell command run in the Windows tree before the disk is made.
  explicit PreparedImage(const char* hardwareProfile, const std::string& setup = "")
      : d(rt::MakeWinDisk(std::string("--arch x64 --version 6.1.7601.17514 --hw-profile ") +
                              hardwareProfile,
                          "mbr2048", "raw", setup)),
        store(vt::ToWin(d.dir) + L"\\store"),
        folder(store + L"\\Network\\6.1_x64"),
        program(d.dir, store) {
    it::PrepareOwnAdapter(d, false);
  }
};

using it::EditCombinedInf;

// A failed installation leaves every byte of the image and writes no
// history; the export refuses what the command line refuses, and without a
// workstation notes none.
TEST(AdapterInstall, FailureLeavesTheImageAndTheExportAgrees) {
  PreparedImage setup("{cccc0065-31c0-11e8-9b10-806e6f6e6963}");
  rt::WinDisk& d = setup.d;
  const std::wstring &store = setup.store, &folder = setup.folder;
  ProgramCopy& program = setup.program;
  // Binary data that is no hexadecimal text: refused by its line before
  // anything is written.
  ImportSample(d, folder, "12.18.9.7", "/^\\[VroNic\\.reg\\]/a HKR, , Broken, 1, zz, qq");
  const std::wstring nconfig = folder + L"\\VEN_8086&DEV_10D3\\NConfig.ini";
  const std::string before = vt::Sha256(d.path);
  const std::string untouched = d.dir + "/untouched.img";
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(d.unixPath) + " " + vt::Q(untouched)));
  std::string said;
  EXPECT_EQ(DWORD(-8), program.Run(AddAdapter(d, L"1"), &said));
  EXPECT_NE(std::string::npos, said.find("[VroNic.reg] HKR,,Broken,1,zz,qq: the data zz is no byte"))
      << said;
  EXPECT_EQ(before, vt::Sha256(d.path));
  EXPECT_EQ(L"", ReadIniValue(nconfig.c_str(), L"History", L"001"));
  EXPECT_FALSE(vt::FileExists(vt::ToWin(d.dir) + L"\\Cache\\0_" + kDevice + L".dat"));

  // A key no hive of an offline installation holds (the user's, one
  // Windows keeps in memory), flags or a type the installation cannot
  // write, the 32-bit view of SOFTWARE, a BitReg without its value, a
  // directive it does not carry out, a service entry it does not write (the
  // service's security, its triggers), a number that is none, a display
  // name longer than Windows takes, a service name longer than the
  // installation keeps, a key or value name longer than the registry
  // holds: the package is refused by that line (and the limit),
  // with the image as it was; never installed without it, nor with a value
  // of another type.
  const std::string longKeyLine = "HKR, " + std::string(256, 'K') + ", A, 0, 1";
  const std::string longKeySaid = "[VroNic.reg] HKR," + std::string(196, 'K') + "...: the key name " +
                                  std::string(24, 'K') +
                                  "... has 256 characters, and a key name holds at most 255 (";
  const std::string longValueLine = "HKR, Sub, " + std::string(16384, 'V') + ", 0, 1";
  const std::string longValueSaid =
      "... has 16384 characters, and a value name holds at most 16,383 (";
  const std::string longName(257, 'N');
  const std::string longNameLine = "DisplayName = " + longName;
  const std::string longNameSaid = "DisplayName=" + longName + ": ";
  const std::string longServiceLine = "AddService = " + std::string(120, 'S') + ", 2, VroNic.Service";
  const struct {
    const char* section;
    const char* line;
    const char* said;
  } refused[] = {
      {"VroNic\\.Service", "Security = \"D:P(A;;GA;;;SY)\"",
       "[VroNic.Service] Security=\"D:P(A;;GA;;;SY)\": "},
      {"VroNic\\.Service", "AddTrigger = VroNic.Trigger", "[VroNic.Service] AddTrigger=VroNic.Trigger: "},
      {"VroNic\\.Service", "StartType = soon", "[VroNic.Service] StartType=soon: "},
      {"VroNic\\.Service", longNameLine.c_str(), longNameSaid.c_str()},
      {"VroNic\\.ndi\\.Services", longServiceLine.c_str(),
       "a service name of 120 characters (99 at most)"},
      {"VroNic\\.ndi", "*IfType = six", "[VroNic.ndi] *IfType=six: "},
      {"VroNic\\.reg", "HKCU, Software\\\\Vro, A, 0, 1", "[VroNic.reg] HKCU,Software\\Vro"},
      {"VroNic\\.reg", "HKLM, HARDWARE\\\\Vro, A, 0, 1", "[VroNic.reg] HKLM,HARDWARE\\Vro"},
      {"VroNic\\.reg", "HKR, , Odd, 0x00000040, 1", "HKR,,Odd,0x00000040,1: the flags"},
      {"VroNic\\.reg", "HKR, , Odd, 0x00030000, 1", "HKR,,Odd,0x00030000,1: a value type"},
      {"VroNic\\.reg", "HKR, , Odd, 0x00010001, lots", "HKR,,Odd,0x00010001,lots: the DWORD"},
      {"VroNic\\.reg", "HKLM, SOFTWARE\\\\Vro, Wow, 0x00004000, 1",
       "HKLM,SOFTWARE\\Vro,Wow,0x00004000,1: the 32-bit view"},
      {"VroNic\\.ndi", "BitReg = VroNic.reg", "HKR,Ndi,Service,0,\"VroNic\": a BitReg line"},
      {"VroNic\\.ndi", "DelProperty = VroNic.reg", "DelProperty=VroNic.reg: the directive"},
      {"VroNic\\.reg", longKeyLine.c_str(), longKeySaid.c_str()},
      {"VroNic\\.reg", longValueLine.c_str(), longValueSaid.c_str()},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.line);
    ASSERT_EQ(0, vt::Sh("rm -rf " + vt::Q(vt::ToUnix(store))));
    ImportSample(d, folder, "12.18.9.7", std::string("/^\\[") + r.section + "\\]/a " + r.line);
    std::string out;
    EXPECT_EQ(DWORD(-8), program.Run(AddAdapter(d, L"1"), &out));
    EXPECT_NE(std::string::npos, out.find(r.said)) << out;
    EXPECT_EQ(before, vt::Sha256(d.path));
  }

  // A destination folder that would leave its directory (the import
  // refuses it, a store written otherwise may hold it): refused before
  // anything is written (no folder made for the driver files either).
  for (const char* sub : {"12,..\\..\\..\\EvilTop", "12,C:\\EvilAbs"}) {
    SCOPED_TRACE(sub);
    ASSERT_EQ(0, vt::Sh("rm -rf " + vt::Q(vt::ToUnix(store))));
    ImportSample(d, folder, "12.18.9.7");
    EditCombinedInf(folder + L"\\VEN_8086&DEV_10D3\\12.18.9.7", "VroNic.CopyFiles=12",
                    std::string("VroNic.CopyFiles=") + sub);
    std::string out;
    EXPECT_EQ(DWORD(-9), program.Run(AddAdapter(d, L"1"), &out));
    EXPECT_NE(std::string::npos, out.find(sub)) << out;
    EXPECT_EQ(before, vt::Sha256(d.path));
    EXPECT_EQ(L"", ReadIniValue(nconfig.c_str(), L"History", L"001"));
  }

  // An index section whose package name climbs out of the store: the
  // device is not in the store, nothing is written anywhere.
  ASSERT_EQ(0, vt::Sh("rm -rf " + vt::Q(vt::ToUnix(store))));
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder))));
  ASSERT_EQ(0, vt::Sh("printf '[PCI\\\\..\\\\..\\\\..\\\\..]\\r\\nVEN_8086&DEV_10D3\\r\\n' > " +
                      vt::Q(vt::ToUnix(folder) + "/VroDir.ini")));
  EXPECT_EQ(DWORD(-4), program.Run(AddAdapter(d, L"1")));
  EXPECT_EQ(before, vt::Sha256(d.path));
  std::string strays;
  vt::Sh("find " + vt::Q(d.dir + "/..") + " -maxdepth 1 -name NConfig.ini; find " + vt::Q(d.dir) +
             " -name NConfig.ini",
         &strays);
  EXPECT_EQ("", strays);
  ASSERT_EQ(0, vt::Sh("rm -rf " + vt::Q(vt::ToUnix(store))));
  ImportSample(d, folder, "12.18.9.7");
  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"DrvPath", store.c_str(),
                                         SettingsOfThisProgram().c_str()));
  for (int type : {1, 4, 5, 51})
    EXPECT_EQ(-13, ImageAddAdapterW(d.path.c_str(), L"", 0, type, kDevice, L"7", nullptr)) << type;
  EXPECT_EQ(-13, ImageAddAdapterW(d.path.c_str(), L"", 0, 2, nullptr, L"7", nullptr));
  EXPECT_EQ(-13, ImageAddAdapterW(d.path.c_str(), L"", 0, 2, L"", L"7", nullptr));
  EXPECT_EQ(before, vt::Sha256(d.path));
  wchar_t cache[360];
  FormatDriverCachePath(0, kDevice, cache);
  DeleteFileW(cache);
  EXPECT_EQ(0, ImageAddAdapterW(d.path.c_str(), L"", 0, 2, kDevice, nullptr, L"192.168.0.9"));
  EXPECT_EQ(L"", ReadIniValue(nconfig.c_str(), L"History", L"000"));
  wchar_t all[2000] = L"";
  GetPrivateProfileSectionW(L"History", all, 2000, nconfig.c_str());
  EXPECT_EQ(L"", std::wstring(all)) << "no line without a workstation";
  DeleteFileW(cache);
  DeleteFileW(SettingsOfThisProgram().c_str());

  // The image on a host volume with too little room left for what the
  // installation writes: refused before the first write (a layer that ran
  // out of room half way takes no further write, so the installation could
  // not be taken back), the image as it was and nothing left beside it.
  rt::WinDisk full = d;
  full.unixPath = d.dir + "/small/disk.img";
  full.path = vt::ToWin(full.unixPath);
  std::string used;
  ASSERT_EQ(0, vt::Sh("du -k " + vt::Q(untouched) + " | cut -f1", &used));
  vt::SmallVolume small(d.dir + "/small", (std::to_string(atol(used.c_str()) + 40) + "k").c_str());
  ASSERT_TRUE(small.Mounted());
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(untouched) + " " + vt::Q(full.unixPath)));
  const std::string fullSum = vt::Sha256(full.path);
  EXPECT_EQ(DWORD(-9), program.Run(AddAdapter(full, L"9")));
  EXPECT_EQ(fullSum, vt::Sha256(full.path));
  std::string left;
  vt::Sh("ls " + vt::Q(d.dir + "/small"), &left);
  EXPECT_EQ("disk.img\n", left);
}

// The SYSTEM hive of a raw disk image, every value as hivedump.py prints it.
std::string SystemDump(const rt::WinDisk& d, const std::string& imageUnix) {
  std::string sys =
      rt::NtfsCat(d, imageUnix, "/Windows/System32/config/SYSTEM", imageUnix + ".SYSTEM");
  std::string out;
  EXPECT_EQ(0, vt::Sh(vt::Q(vt::SourceDirUnix() + "/tests/infinstall/hivedump.py") + " " +
                          vt::Q(sys) + " ''",
                      &out));
  return out;
}

// The store's version folder swapped under a cache file (another package's
// files and INF under the same version name): the installation is made from
// what the folder holds now, exactly as without the cache.
TEST(AdapterInstall, StoreFolderSwappedUnderTheCache) {
  PreparedImage setup("{cccc0066-31c0-11e8-9b10-806e6f6e6963}");
  rt::WinDisk& d = setup.d;
  const std::wstring& folder = setup.folder;
  ProgramCopy& program = setup.program;
  const std::string prepared = d.dir + "/prepared.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.unixPath) + " " + vt::Q(prepared)));
  auto fresh = [&] { ASSERT_EQ(0, vt::Sh("cp " + vt::Q(prepared) + " " + vt::Q(d.unixPath))); };
  ImportSample(d, folder, "12.18.10.0");
  ImportSample(d, folder, "12.18.11.0");
  const std::wstring package = folder + L"\\VEN_8086&DEV_10D3";
  const std::string v10 = vt::Sha256(package + L"\\12.18.10.0\\vronic.sys");
  const std::wstring cache = vt::ToWin(d.dir) + L"\\Cache\\0_" + kDevice + L".dat";
  const std::string cls =
      "ControlSet001\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\0000";
  ASSERT_EQ(0u, program.Run(AddAdapter(d, L"1")));
  ASSERT_TRUE(vt::FileExists(cache));
  const std::string v11 = SystemDump(d, d.unixPath);
  ASSERT_NE(std::string::npos, v11.find(cls + "|DriverVersion|1|12.18.11.0\n"));

  const std::string version = vt::ToUnix(package + L"\\12.18.11.0");
  ASSERT_EQ(0, vt::Sh("rm -rf " + vt::Q(version) + "/* && cp -a " +
                      vt::Q(vt::ToUnix(package + L"\\12.18.10.0")) + "/. " + vt::Q(version)));
  fresh();
  EXPECT_EQ(0u, program.Run(AddAdapter(d, L"2")));
  const std::string swapped = SystemDump(d, d.unixPath);
  EXPECT_NE(std::string::npos, swapped.find(cls + "|DriverVersion|1|12.18.10.0\n"));
  EXPECT_EQ(v10, PlacedDriver(d, "vronic.sys"));
  // The same store without any cache file: the same hive.
  ASSERT_TRUE(DeleteFileW(cache.c_str()));
  fresh();
  EXPECT_EQ(0u, program.Run(AddAdapter(d, L"3")));
  EXPECT_EQ(swapped, SystemDump(d, d.unixPath));
}

// Every value of a hive key (its subkeys included) as hivedump.py prints
// it, or "KEY|<missing>".
std::string DumpedKey(const std::string& hive, const std::string& key) {
  std::string out;
  EXPECT_EQ(0, vt::Sh(vt::Q(vt::SourceDirUnix() + "/tests/infinstall/hivedump.py") + " " +
                          vt::Q(hive) + " " + vt::Q(key),
                      &out));
  return out;
}

// A package whose AddReg and BitReg lines take every form Windows reads:
// the key's default value, flags as bits (types in the high word,
// no-clobber, overwrite-only, delete, append, key only, the registry
// views), multi-strings with quoted commas and doubled quotes, the fifth
// field alone, quotes inside a field, comments, lines continued further down
// the section, a value of 9,000 characters; BitReg changes the bits of a
// binary value. The service-install section's entries become the values
// Windows writes for them (its dependencies as the lists of services and of
// groups, a description of 1,200 characters whole), and the install
// section's own value lines are read by the same field reader. Imported into
// the store and installed by the program, the hives read back by hivex hold
// each value as Windows would write it.
TEST(AdapterInstall, RegistryLinesAsWindowsReadsThem) {
  PreparedImage setup("{cccc0077-31c0-11e8-9b10-806e6f6e6963}");
  rt::WinDisk& d = setup.d;
  std::string longText, description;
  for (int i = 0; i < 900; ++i) longText += "abcde fghi";
  for (int i = 0; i < 120; ++i) description += "Vro, \"\"driver\"\" ";
  ImportSample(d, setup.folder, "12.18.9.7",
               "s/^\\[VroNic\\.ndi\\]$/&\\nAddReg = Forms.reg\\nBitReg = Forms.bitreg\\n"
               "QuotedNote = \"a \"\"b\"\", c\"\\nCommaNote = a , \"b;c\"/;"
               " s/^\\[Forms\\.reg\\]$/&\\nHKR, , Long, 0, \"" +
                   longText +
                   "\"/;"
                   " s/^\\[VroNic\\.Service\\]$/&\\nDescription = \"" +
                   description +
                   "\"\\nDependencies = +NDIS, tcpip, \"+Vro Group\", afd\\n"
                   "StartName = \\\\Driver\\\\VroNic\\nDelayedAutoStart = 1\\nServiceSidType = 0x1\\n"
                   "NotAnEntry = of no service/");
  // The store keeps each line whole: a continued one joined, comments
  // gone, the long value uncut.
  const std::wstring combined = setup.folder + L"\\VEN_8086&DEV_10D3\\12.18.9.7\\VroPnp.inf";
  std::vector<std::wstring> kept;
  wchar_t* list = ReadIniSection(combined.c_str(), L"Forms.reg");
  for (const wchar_t* p = list; p && *p; p += wcslen(p) + 1) kept.push_back(p);
  delete[] list;
  for (const std::wstring& line :
       {std::wstring(L"HKR,,Continued,0,\"joined\""),
        std::wstring(L"HKR,,List,0x00010000,\"one\",\"two\""),
        std::wstring(L"HKR,,Commented,0,\"x;y\""),
        L"HKR,,Long,0,\"" + vt::Widen(longText) + L"\""})
    EXPECT_NE(kept.end(), std::find(kept.begin(), kept.end(), line)) << vt::Narrow(line);
  // A store written by hand may hold a continued line, read as one.
  it::EditCombinedInf(setup.folder + L"\\VEN_8086&DEV_10D3\\12.18.9.7", "HKR,,Commented,0,\"x;y\"",
                      "HKR,,Commented,0,\"x;y\"\r\nHKR, , ByHand, 0, \\ ; note\r\n"
                      "  \"by hand\"");
  std::string out;
  ASSERT_EQ(0u, setup.program.Run(AddAdapter(d, L"1"), &out)) << out;
  const std::string soft =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SOFTWARE", d.dir + "/SOFTWARE");
  const std::string sys =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
  const std::string cls =
      "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";
  // An empty name is the key's default value.
  EXPECT_EQ("1|AuditFile", Dumped(soft, "Classes\\.audx", ""));
  EXPECT_EQ("1|def", Dumped(soft, "VroVendor\\Def", ""));
  EXPECT_EQ("1|hr", Dumped(sys, cls + "\\Sub", ""));
  // Flags as bits.
  EXPECT_EQ("1|6.1", Dumped(soft, "Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion"));
  const std::string forms = "VroVendor\\Forms";
  EXPECT_EQ("4|6", Dumped(soft, forms, "NoClobber"));
  EXPECT_EQ("1|first", Dumped(soft, forms, "Kept"));
  EXPECT_EQ("1|second", Dumped(soft, forms, "Over"));
  EXPECT_EQ("", Dumped(soft, forms, "Absent"));
  EXPECT_EQ("11|hex:0807060504030201", Dumped(soft, forms, "Quad"));
  EXPECT_EQ("0|hex:7f", Dumped(soft, forms, "None"));
  EXPECT_EQ("1|native", Dumped(soft, forms, "View64"));
  EXPECT_EQ("4|5", Dumped(sys, cls, "View32"));
  EXPECT_EQ("", DumpedKey(soft, forms + "\\KeyOnly")) << "the key, without a value";
  EXPECT_EQ("", Dumped(soft, forms, "Gone"));
  EXPECT_EQ(forms + "\\Doomed|<missing>\n", DumpedKey(soft, forms + "\\Doomed"));
  // Multi-strings and text fields as the one field reader reads them.
  EXPECT_EQ("7|c\"d;e", Dumped(sys, cls, "Quoted"));
  EXPECT_EQ("7|a,b;c\"d;e f;g", Dumped(sys, cls, "Mixed"));
  EXPECT_EQ("1|a", Dumped(sys, cls, "Fifth"));
  EXPECT_EQ("1|abcdef", Dumped(sys, cls, "Inner"));
  EXPECT_EQ("1|abc", Dumped(sys, cls, "Open"));
  EXPECT_EQ("1|x;y", Dumped(sys, cls, "Commented"));
  EXPECT_EQ("1|joined", Dumped(sys, cls, "Continued"));
  EXPECT_EQ("7|one;two", Dumped(sys, cls, "List"));
  EXPECT_EQ("1|by hand", Dumped(sys, cls, "ByHand"));
  EXPECT_EQ("1|" + longText, Dumped(sys, cls, "Long"));
  // BitReg set bit 0 of byte 0 and cleared bit 7 of byte 2; it is no value.
  EXPECT_EQ("3|hex:310070", Dumped(sys, cls, "Bits"));
  EXPECT_EQ("", Dumped(sys, cls, "BitReg"));
  EXPECT_EQ("32|hex:0102", Dumped(soft, forms, "Type20"));
  // The install section's value lines.
  EXPECT_EQ("1|a \"b\", c", Dumped(sys, cls, "QuotedNote"));
  EXPECT_EQ("1|a,b;c", Dumped(sys, cls, "CommaNote"));
  // The service-install section: each entry as the value Windows writes.
  const std::string service = "ControlSet001\\services\\VroNic";
  std::string said;
  for (int i = 0; i < 120; ++i) said += "Vro, \"driver\" ";
  EXPECT_EQ("1|" + said, Dumped(sys, service, "Description"));
  EXPECT_EQ("7|tcpip;afd", Dumped(sys, service, "DependOnService"));
  EXPECT_EQ("7|NDIS;Vro Group", Dumped(sys, service, "DependOnGroup"));
  EXPECT_EQ("1|\\Driver\\VroNic", Dumped(sys, service, "ObjectName"));
  EXPECT_EQ("4|1", Dumped(sys, service, "DelayedAutoStart"));
  EXPECT_EQ("4|1", Dumped(sys, service, "ServiceSidType"));
  EXPECT_EQ("1|NDIS", Dumped(sys, service, "Group"));
  for (const char* none : {"Dependencies", "StartName", "NotAnEntry", "ServiceType", "StartType"})
    EXPECT_EQ("", Dumped(sys, service, none)) << none;
}

// AddService's no-clobber bits on services the Windows has: each keeps
// its own entry as it was and lets the others be written; a new service
// takes every entry whatever the bits. An existing service keeps its
// security unless the line asks to replace it, so a Security entry is no
// refusal there. The device's own service with 0x1 puts its tag first in
// its group's load order. The export writes the same.
TEST(AdapterInstall, ServiceFlagsKeepTheEntriesTheyName) {
  const struct {
    unsigned flag;
    const char* value;  // the entry the bit keeps
  } bits[] = {{0x8, "DisplayName"},       {0x10, "Start"},
              {0x20, "ErrorControl"},     {0x40, "Group"},
              {0x80, "DependOnService"},  {0x100, "Description"},
              {0x4000, "ServiceSidType"}, {0x8000, "DelayedAutoStart"}};
  // Each value before ("4|..." a DWORD) and as the package writes it.
  const struct {
    const char* value;
    const char* before;
    const char* reg;  // its .reg data before
    const char* after;
  } values[] = {{"Start", "4|2", "dword:00000002", "4|3"},
                {"ErrorControl", "4|0", "dword:00000000", "4|1"},
                {"DisplayName", "1|Old name", "\"Old name\"", "1|New name"},
                {"Group", "1|Old group", "\"Old group\"", "1|New group"},
                {"DependOnService", "7|old", "hex(7):6f,00,6c,00,64,00,00,00,00,00", "7|newdep"},
                {"Description", "1|Old text", "\"Old text\"", "1|New text"},
                {"ServiceSidType", "4|0", "dword:00000000", "4|1"},
                {"DelayedAutoStart", "4|0", "dword:00000000", "4|1"}};
  std::string reg, lines,
      entries =
          "ServiceType = 0x10\\nStartType = 3\\nErrorControl = 1\\nDisplayName = \"New name\"\\n"
          "LoadOrderGroup = \"New group\"\\nDependencies = newdep\\nDescription = \"New text\"\\n"
          "ServiceSidType = 1\\nDelayedAutoStart = 1\\nServiceBinary = %11%\\\\vrokeep.exe\\n";
  for (const auto& b : bits) {
    const std::string name = "VroKeep" + std::to_string(b.flag);
    reg += "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\services\\" + name +
           "]\n\"Type\"=dword:00000010\n";
    for (const auto& v : values) reg += std::string("\"") + v.value + "\"=" + v.reg + "\n";
    reg += "\n";
    char flag[16];
    snprintf(flag, sizeof flag, "0x%X", b.flag);
    lines += "\\nAddService = " + name + ", " + flag + ", Keep.Svc";
  }
  lines += "\\nAddService = VroNew, 0xC1F8, New.Svc";
  reg +=
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\GroupOrderList]\n"
      "\"NDIS\"=hex:02,00,00,00,05,00,00,00,07,00,00,00\n";
  PreparedImage setup("{cccc007c-31c0-11e8-9b10-806e6f6e6963}", MergeIntoSystem(reg));
  rt::WinDisk& d = setup.d;
  ImportSample(d, setup.folder, "12.18.9.7",
               "s/^AddService = VroNic, 2,/AddService = VroNic, 0x3,/;"
               " s/^AddService = VroNic, .*$/&" +
                   lines + "/; s/^\\[VroNic\\.EventLog\\]$/" + "[Keep.Svc]\\n" + entries +
                   "Security = \"D:(A;;GA;;;SY)\"\\n[New.Svc]\\n" + entries + "\\n&/");
  const std::string exported = d.dir + "/exported.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.unixPath) + " " + vt::Q(exported)));
  std::string out;
  ASSERT_EQ(0u, setup.program.Run(AddAdapter(d, L"1"), &out)) << out;
  auto services = [&](const std::string& image, const std::string& name) {
    const std::string hive = rt::NtfsCat(d, image, "/Windows/System32/config/SYSTEM", name);
    std::string text;
    EXPECT_EQ(
        0, vt::Sh(vt::Q(vt::SourceDirUnix() + "/tests/infinstall/hivedump.py") + " " + vt::Q(hive) +
                      " 'ControlSet001\\services' 'ControlSet001\\Control"
                      "\\GroupOrderList'",
                  &text));
    return text;
  };
  const std::string sys = d.dir + "/SYSTEM";
  const std::string dump = services(d.unixPath, sys);
  auto has = [&](const std::string& service, const std::string& line) {
    return dump.find("ControlSet001\\services\\" + service + "|" + line + "\n") !=
           std::string::npos;
  };
  for (const auto& b : bits) {
    const std::string name = "VroKeep" + std::to_string(b.flag);
    for (const auto& v : values) {
      const bool kept = strcmp(v.value, b.value) == 0;
      EXPECT_TRUE(has(name, std::string(v.value) + "|" + (kept ? v.before : v.after)))
          << name << " " << v.value;
    }
    EXPECT_TRUE(has(name, "ImagePath|2|%SystemRoot%\\System32\\vrokeep.exe")) << name;
    EXPECT_FALSE(has(name, "ObjectName|1|LocalSystem")) << "an existing service keeps its account";
  }
  for (const auto& v : values)
    EXPECT_TRUE(has("VroNew", std::string(v.value) + "|" + v.after)) << v.value;
  EXPECT_TRUE(has("VroNew", "ObjectName|1|LocalSystem"));
  EXPECT_TRUE(has("VroNic", "Tag|4|0"));
  EXPECT_NE(std::string::npos, dump.find("ControlSet001\\Control\\GroupOrderList|NDIS|3|"
                                         "hex:03000000000000000500000007000000\n"));

  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"DrvPath", setup.store.c_str(),
                                         SettingsOfThisProgram().c_str()));
  wchar_t cache[360];
  FormatDriverCachePath(0, kDevice, cache);
  DeleteFileW(cache);
  EXPECT_EQ(
      0, ImageAddAdapterW(vt::ToWin(exported).c_str(), L"", 0, 2, kDevice, L"2", L"192.168.0.7"));
  DeleteFileW(cache);
  DeleteFileW(SettingsOfThisProgram().c_str());
  EXPECT_TRUE(dump == services(exported, d.dir + "/SYSTEM.exported"));
}

// The package's strings by the program's interface language (the settings
// file's), then its primary language's neutral section, then [Strings];
// never by the host's language (the package's [Strings.0409] here), for the
// store's import as for the installation from it.
TEST(AdapterInstall, StringsOfTheInterfaceLanguage) {
  PreparedImage setup("{cccc007d-31c0-11e8-9b10-806e6f6e6963}");
  rt::WinDisk& d = setup.d;
  const std::wstring settings = SettingsOfThisProgram();
  const std::string host =
      "s/^\\[Strings\\]$/[Strings.0409]\\nVroNic.DeviceDesc = \"Host Connection\"\\n"
      "VroNic.Service.DispName = \"Host Service\"\\n\\n&/;";
  // The sample package carries [Strings.0411].
  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"Language", L"1041", settings.c_str()));
  ImportSample(d, setup.folder, "12.18.9.7", host);
  std::string out;
  ASSERT_EQ(0u, setup.program.Run(AddAdapter(d, L"1"), &out)) << out;
  const std::string sys =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
  EXPECT_EQ("Vro ギガビット ネットワーク接続",
            rt::HivexGet(sys,
                         "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}"
                         "\\0000",
                         "DriverDesc"));
  EXPECT_EQ("Vro ギガビット アダプター サービス",
            rt::HivexGet(sys, "ControlSet001\\services\\VroNic", "DisplayName"));
  // A neutral Chinese section serves 2052; without one for Korean, [Strings].
  const struct {
    const wchar_t* language;
    const char* version;
    const wchar_t* description;
  } imports[] = {{L"2052", "12.18.10.0", L"Vro 千兆网络连接"},
                 {L"1042", "12.18.11.0", L"Vro Gigabit Network Connection"}};
  for (const auto& i : imports) {
    ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"Language", i.language, settings.c_str()));
    ImportSample(
        d, setup.folder, i.version,
        host +
            " s/^\\[Strings\\.0411\\]$/[Strings.0004]/;"
            " s/^VroNic.DeviceDesc  *= \"Vro ギガ.*$/VroNic.DeviceDesc = \"Vro 千兆网络连接\"/");
    const std::wstring combined =
        setup.folder + L"\\VEN_8086&DEV_10D3\\" + vt::Widen(i.version) + L"\\VroPnp.inf";
    EXPECT_NE(std::wstring::npos,
              it::ScriptText(combined).find(L"\"" + std::wstring(i.description) + L"\"="))
        << vt::Narrow(i.language);
  }
  DeleteFileW(settings.c_str());
}

// The per-device INF in the store changed after an installation (the
// model's name, the service's ErrorControl): the next installation, with
// the cache file of the last one at hand, installs what the INF says now,
// through the command line and through the export alike.
TEST(AdapterInstall, ChangedDeviceInfInstalledAsItIsNow) {
  PreparedImage setup("{cccc0068-31c0-11e8-9b10-806e6f6e6963}");
  rt::WinDisk& d = setup.d;
  ImportSample(d, setup.folder, "12.18.9.7");
  const std::string prepared = d.dir + "/prepared.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.unixPath) + " " + vt::Q(prepared)));
  auto fresh = [&] { ASSERT_EQ(0, vt::Sh("cp " + vt::Q(prepared) + " " + vt::Q(d.unixPath))); };
  const std::string deviceInf = vt::ToUnix(setup.folder + L"\\VEN_8086&DEV_10D3\\12.18.9.7\\" +
                                           kDevice + L".inf");
  // DriverDesc of the driver key and ErrorControl of the service.
  auto installed = [&] {
    std::string sys =
        rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
    return rt::HivexGet(sys,
                        "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}"
                        "\\0000",
                        "DriverDesc") +
           "|" + rt::HivexGet(sys, "ControlSet001\\services\\VroNic", "ErrorControl");
  };
  // The INF's text (UTF-16) with the model's name and ErrorControl replaced.
  auto change = [&](const std::string& from, const std::string& to, int errorControl) {
    ASSERT_EQ(0, vt::Sh("python3 -c \"import re,sys; p=sys.argv[1]; t=open(p,encoding='utf-16')"
                        ".read(); assert sys.argv[2] in t; t=t.replace(sys.argv[2],sys.argv[3]);"
                        " t=re.sub(r'(?m)^(ErrorControl *= *)[0-9]+', r'\\g<1>'+sys.argv[4], t);"
                        " open(p,'w',encoding='utf-16').write(t)\" " +
                        vt::Q(deviceInf) + " " + vt::Q(from) + " " + vt::Q(to) + " " +
                        std::to_string(errorControl)));
  };
  ASSERT_EQ(0u, setup.program.Run(AddAdapter(d, L"1")));
  EXPECT_EQ("Vro Gigabit Network Connection|1", installed());
  ASSERT_TRUE(vt::FileExists(vt::ToWin(d.dir) + L"\\Cache\\0_" + kDevice + L".dat"));
  change("Vro Gigabit Network Connection", "Vro Renamed Connection", 0);
  fresh();
  EXPECT_EQ(0u, setup.program.Run(AddAdapter(d, L"2")));
  EXPECT_EQ("Vro Renamed Connection|0", installed());

  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"DrvPath", setup.store.c_str(),
                                         SettingsOfThisProgram().c_str()));
  wchar_t cache[360];
  FormatDriverCachePath(0, kDevice, cache);
  DeleteFileW(cache);
  fresh();
  EXPECT_EQ(0, ImageAddAdapterW(d.path.c_str(), L"", 0, 2, kDevice, L"3", L"192.168.0.7"));
  EXPECT_EQ("Vro Renamed Connection|0", installed());
  ASSERT_TRUE(vt::FileExists(cache));
  change("Vro Renamed Connection", "Vro Third Connection", 3);
  fresh();
  EXPECT_EQ(0, ImageAddAdapterW(d.path.c_str(), L"", 0, 2, kDevice, L"4", L"192.168.0.7"));
  EXPECT_EQ("Vro Third Connection|3", installed());
  DeleteFileW(cache);
  DeleteFileW(SettingsOfThisProgram().c_str());
}

// The host volume of the image fills up while an installation writes: the
// image on a small volume, named through a link in a folder of a large one
// (the host's free room there is no measure of it, as for a file on a
// volume mounted elsewhere), so that the room check lets the installation
// start and its writes run out of room at the k-th part of the room they
// take, for 8 values of k. Each run either installs whole, or fails with
// every byte of the image, its SYSTEM hive and the store's history as they
// were; a failure for the host's room is told by the host's line first.
TEST(AdapterInstall, HostVolumeFillsDuringTheInstallation) {
  PreparedImage setup("{cccc0067-31c0-11e8-9b10-806e6f6e6963}");
  rt::WinDisk& d = setup.d;
  const std::wstring& folder = setup.folder;
  ProgramCopy& program = setup.program;
  ImportSample(d, folder, "12.18.9.7");
  const std::wstring nconfig = folder + L"\\VEN_8086&DEV_10D3\\NConfig.ini";
  const std::string v9 = vt::Sha256(folder + L"\\VEN_8086&DEV_10D3\\12.18.9.7\\vronic.sys");
  const std::wstring cache = vt::ToWin(d.dir) + L"\\Cache\\0_" + kDevice + L".dat";
  const std::string untouched = d.dir + "/untouched.img";
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(d.unixPath) + " " + vt::Q(untouched)));
  // A failed installation gives back what a reader of the volume sees (its
  // free clusters may keep what it wrote there).
  const std::string untouchedSum = vt::ReaderView(untouched, d.start);
  ASSERT_NE("", untouchedSum);
  const std::string systemBefore = SystemDump(d, untouched);
  // The package writes SOFTWARE too: both hives take the installation, or
  // neither.
  auto software = [&](const std::string& image) {
    return rt::NtfsCat(d, image, "/Windows/System32/config/SOFTWARE", image + ".SOFTWARE");
  };
  const std::string softwareBefore = vt::Sha256(vt::ToWin(software(untouched)));
  auto kib = [](const std::string& file) {
    std::string used;
    EXPECT_EQ(0, vt::Sh("du -k " + vt::Q(file) + " | cut -f1", &used));
    return atol(used.c_str());
  };
  const long used = kib(untouched);
  const std::string small = d.dir + "/vol", link = d.dir + "/link";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(link) + " && ln -sf " + vt::Q(small + "/disk.img") +
                      " " + vt::Q(link + "/disk.img")));
  rt::WinDisk onVolume = d;
  onVolume.unixPath = link + "/disk.img";
  onVolume.path = vt::ToWin(onVolume.unixPath);
  const std::string after = d.dir + "/after.img";
  // One installation into a fresh copy of the image on a volume with
  // `room` KiB beside it, without a cache file; the KiB the image took.
  auto run = [&](long room, const wchar_t* workstation, DWORD* code, std::string* out) {
    DeleteFileW(cache.c_str());
    vt::SmallVolume volume(small, (std::to_string(used + room) + "k").c_str());
    EXPECT_TRUE(volume.Mounted());
    EXPECT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(untouched) + " " +
                        vt::Q(small + "/disk.img")));
    *code = program.Run(AddAdapter(onVolume, workstation), out);
    const long grown = kib(small + "/disk.img") - used;
    EXPECT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(small + "/disk.img") + " " + vt::Q(after)));
    return grown;
  };
  DWORD code = 0;
  std::string out;
  const long whole = run(64 * 1024, L"100", &code, &out);
  ASSERT_EQ(0u, code) << out;
  ASSERT_GT(whole, 8);
  int failed = 0;
  const int points = 8;
  for (int point = 1; point <= points; ++point) {
    const long room = whole * point / (points + 1);
    SCOPED_TRACE(room);
    const std::wstring workstation = std::to_wstring(point);
    run(room, workstation.c_str(), &code, &out);
    if (code == 0) {
      EXPECT_EQ(v9, PlacedDriver({d.dir, d.tree, after, vt::ToWin(after), d.start}, "vronic.sys"));
      EXPECT_NE(std::string::npos, SystemDump(d, after).find("|DriverVersion|1|12.18.9.7\n"));
      EXPECT_EQ("C:\\Program Files\\VroVendor",
                rt::HivexGet(software(after), "VroVendor\\VroNic", "InstallDir"));
      continue;
    }
    ++failed;
    EXPECT_TRUE(int(code) <= -3 && int(code) >= -10) << int(code);
    // A write the host refused is what failed: its line comes first.
    if (out.find("error 112") != std::string::npos) {
      EXPECT_EQ(0u, out.find("Could not write ")) << out;
    }
    EXPECT_EQ(untouchedSum, vt::ReaderView(after, d.start));
    EXPECT_EQ(systemBefore, SystemDump(d, after));
    EXPECT_EQ(softwareBefore, vt::Sha256(vt::ToWin(software(after))));
    wchar_t number[8];
    _snwprintf(number, 8, L"%03d", point);
    EXPECT_EQ(L"", ReadIniValue(nconfig.c_str(), L"History", number));
  }
  EXPECT_GT(failed, 0) << "the volume never ran out of room";

  // The write-back file on a host volume without the room the installation
  // needs there (the image's own volume has plenty): the room is measured
  // where the writes go, and the installation refused before its first
  // write, naming that file; the image as it was, no write-back file left.
  const std::string imageSum = vt::Sha256(d.path);
  vt::SmallVolume fixVolume(d.dir + "/fixvol", "100k");
  ASSERT_TRUE(fixVolume.Mounted());
  const std::wstring fix = vt::ToWin(d.dir + "/fixvol/wks.fix");
  DeleteFileW(cache.c_str());
  EXPECT_EQ(DWORD(-9), program.Run(L"\"-img:" + d.path + L"\" \"-fix:" + fix + L"\" /iadapter:2:" +
                                       kDevice + L":50:192.168.0.50",
                                   &out));
  EXPECT_NE(std::string::npos, out.find("not installed (-9)")) << out;
  EXPECT_NE(std::string::npos, out.find("fixvol\\wks.Fix has too little room")) << out;
  EXPECT_EQ(imageSum, vt::Sha256(d.path));
  EXPECT_FALSE(vt::FileExists(fix));
  // The exports measure the same file: given the paths, or the host's own
  // disk with its write-back file open.
  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"DrvPath", setup.store.c_str(),
                                         SettingsOfThisProgram().c_str()));
  out = ExportOutput(d.dir, [&] {
    EXPECT_EQ(-9, ImageAddAdapterW(d.path.c_str(), fix.c_str(), 0, 2, kDevice, L"51", nullptr));
  });
  EXPECT_NE(std::string::npos, out.find("fixvol\\wks.Fix has too little room")) << out;
  EXPECT_EQ(imageSum, vt::Sha256(d.path));
  EXPECT_FALSE(vt::FileExists(fix));
  const std::wstring hostFix = vt::ToWin(d.dir + "/fixvol/host.fix");
  {
    _VROH_MOUNT_RW disk;
    ASSERT_GE(disk.OpenChain(d.path.c_str(), hostFix.c_str(), 1), 0);
    out = ExportOutput(d.dir, [&] {
      EXPECT_EQ(-9, ImageHardwarePnpW(disk.Layers(), 0, 0, 2, 0, kDevice, 52, 0xC0A80034, nullptr));
    });
    EXPECT_NE(std::string::npos, out.find("fixvol\\host.fix has too little room")) << out;
  }
  EXPECT_EQ(imageSum, vt::Sha256(d.path));
  DeleteFileW(SettingsOfThisProgram().c_str());
}

// A package that writes SOFTWARE (its HKLM\SOFTWARE and HKCR lines) into an
// image whose SOFTWARE hive is 4 MB: the host room the installation asks
// for counts that hive as it counts SYSTEM, so a host volume with room for
// the files and SYSTEM but not for SOFTWARE refuses it before the first
// write. A SOFTWARE hive file the image's volume does not take back (no log
// can be written beside it) fails the installation with the line naming
// that hive, not SYSTEM; the image as it was.
TEST(AdapterInstall, SoftwareHiveCountedAndNamedWhenItFails) {
  PreparedImage setup(
      "{cccc0079-31c0-11e8-9b10-806e6f6e6963}",
      "/usr/bin/python3 -c \"import hivex; h = hivex.Hivex('Windows/System32/config/SOFTWARE',"
      " write=True); k = h.node_add_child(h.root(), 'VroPad'); h.node_set_values(k, [{'key':"
      " 'p%d' % i, 't': 3, 'value': bytes(16000)} for i in range(256)]); h.commit(None)\"");
  rt::WinDisk& d = setup.d;
  ImportSample(d, setup.folder, "12.18.9.7");
  const std::string untouched = d.dir + "/untouched.img";
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(d.unixPath) + " " + vt::Q(untouched)));
  const std::string before = vt::ReaderView(untouched, d.start);
  std::string used;
  ASSERT_EQ(0, vt::Sh("du -k " + vt::Q(untouched) + " | cut -f1", &used));
  // The files, SYSTEM twice and the margin take under 5 MiB; SOFTWARE
  // twice 8 MiB more.
  vt::SmallVolume volume(d.dir + "/vol", (std::to_string(atol(used.c_str()) + 7 * 1024) + "k").c_str());
  ASSERT_TRUE(volume.Mounted());
  rt::WinDisk onVolume = d;
  onVolume.unixPath = d.dir + "/vol/disk.img";
  onVolume.path = vt::ToWin(onVolume.unixPath);
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(untouched) + " " + vt::Q(onVolume.unixPath)));
  std::string out;
  EXPECT_EQ(DWORD(-9), setup.program.Run(AddAdapter(onVolume, L"1"), &out));
  EXPECT_NE(std::string::npos, out.find("disk.img has too little room")) << out;
  EXPECT_EQ(before, vt::ReaderView(onVolume.unixPath, d.start));

  // No log of SOFTWARE can be made: a folder stands under each of its names.
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    for (const wchar_t* log : {L"\\Windows\\System32\\config\\SOFTWARE.LOG1",
                               L"\\Windows\\System32\\config\\SOFTWARE.LOG2"})
      ASSERT_NE(0, m.CreateDirectory(log));
  }
  const std::string blocked = vt::ReaderView(d.unixPath, d.start);
  EXPECT_EQ(DWORD(-10), setup.program.Run(AddAdapter(d, L"2"), &out));
  EXPECT_NE(std::string::npos, out.find("HKEY_LOCAL_MACHINE\\SOFTWARE (")) << out;
  EXPECT_EQ(std::string::npos, out.find("SYSTEM")) << out;
  EXPECT_EQ(blocked, vt::ReaderView(d.unixPath, d.start));
}

// Lines of a hive dump that name the adapter configuration as a network
// driver key's NetCfgInstanceId.
std::vector<std::string> AdapterClaims(const std::string& dump, const std::wstring& guid) {
  std::vector<std::string> claims;
  std::string g = vt::Narrow(guid);
  for (char& c : g) c = (char)tolower((unsigned char)c);
  const std::string net =
      "\\controlset001\\control\\class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\";
  for (size_t at = 0, end; (end = dump.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = dump.substr(at, end - at);
    for (char& c : line) c = (char)tolower((unsigned char)c);
    if (line.compare(0, net.size(), net) == 0 && line.size() > g.size() &&
        line.compare(line.size() - g.size(), g.size(), g) == 0 &&
        line.find("|netcfginstanceid|1|") != std::string::npos)
      claims.push_back(line.substr(net.size(), 4));
  }
  return claims;
}

// Two devices, one after the other, on the one adapter configuration the
// image was prepared with: the second takes it over and the first goes
// (its device instance, driver key, service and file), so that one driver
// key names the adapter; the first back again takes it over in turn.
TEST(AdapterInstall, SecondDeviceTakesOverThePreparedAdapter) {
  const it::WindowsTarget targets[] = {
      {"win7", "--arch x64 --version 6.1.7601.17514", 0x400601, 7601, false},
      {"win10", "--arch x64 --version 10.0.19041.1", 0x400A00, 19041, true},
  };
  for (const it::WindowsTarget& t : targets) {
    SCOPED_TRACE(t.name);
    rt::WinDisk d = rt::MakeWinDisk(t.tree, "mbr2048", "raw", "", "disk.img", t.name);
    it::PrepareOwnAdapter(d, t.windows10);
    std::wstring store = vt::ToWin(d.dir) + L"\\store";
    std::wstring folder = store + (t.windows10 ? L"\\Network\\10.0_x64" : L"\\Network\\6.1_x64");
    ProgramCopy program(d.dir, store);
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder)) + " " + vt::Q(d.dir + "/a") + " " +
                        vt::Q(d.dir + "/b") + " && cd " + vt::Q(d.dir + "/a") +
                        " && head -c 70001 /dev/urandom > vronic.sys &&"
                        " head -c 3000 /dev/urandom > vronic.dll && printf catalog > vronet.cat"
                        " && cd ../b && head -c 50001 /dev/urandom > e1g6032e.sys &&"
                        " head -c 3001 /dev/urandom > e1gtool.dll && head -c 2001 /dev/urandom >"
                        " e1gmsg.dll && printf catalog > vrogbe.cat && printf '[Version]' >"
                        " vrocommon.inf"));
    {
      CMountedImage m;
      ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
      for (const char* pkg : {"a/vronet.inf", "b/vrogbe.inf"}) {
        std::string name = std::string(pkg).substr(2);
        std::wstring inf = it::WriteInf(d.dir + "/" + std::string(pkg, 1), name);
        CInfImporter importer(&m, t.version, t.build, kStoreNetwork, L"Net", kNetClassGuid,
                              nullptr);
        ASSERT_LE(1u, importer.ImportInf(inf.c_str(), folder.c_str())) << pkg;
      }
    }
    auto add = [&](const wchar_t* device) {
      return program.Run(L"\"-img:" + d.path + L"\" /iadapter:2:" + device + L":001:10.0.0.1");
    };
    const std::string first = "\\ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D3\\";
    const std::string second = "\\ControlSet001\\Enum\\PCI\\VEN_8086&DEV_100E\\";
    ASSERT_EQ(0u, add(L"VEN_8086&DEV_10D3"));
    std::string dump = SystemDump(d, d.unixPath);
    ASSERT_EQ(1u, AdapterClaims(dump, it::kPreparedGuid).size());
    ASSERT_EQ(0u, add(L"VEN_8086&DEV_100E"));
    dump = SystemDump(d, d.unixPath);
    std::vector<std::string> claims = AdapterClaims(dump, it::kPreparedGuid);
    ASSERT_EQ(1u, claims.size()) << dump;
    EXPECT_NE(std::string::npos,
              dump.find(second + "VRO&Node&Pnp|Driver|1|{4d36e972-e325-11ce-bfc1-08002be10318}\\" +
                        claims[0] + "\n"));
    EXPECT_EQ(std::string::npos, dump.find(first)) << "the first device's instance went";
    EXPECT_EQ(std::string::npos, dump.find("\\services\\VroNic|")) << "and its service";
    std::string listing;
    EXPECT_EQ(0, vt::Sh("ntfsls " + vt::Q(d.unixPath + ".part") + " -p /Windows/System32/Drivers",
                        &listing));
    EXPECT_EQ(std::string::npos, listing.find("vronic.sys")) << listing;
    EXPECT_NE(std::string::npos, listing.find("e1g6032e.sys")) << listing;
    EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(d.unixPath + ".part"), &listing)) << listing;
    // The first device again: the cache of its first installation names a
    // driver key the adapter no longer has, so it installs in full.
    ASSERT_EQ(0u, add(L"VEN_8086&DEV_10D3"));
    dump = SystemDump(d, d.unixPath);
    claims = AdapterClaims(dump, it::kPreparedGuid);
    ASSERT_EQ(1u, claims.size()) << dump;
    EXPECT_NE(std::string::npos,
              dump.find(first + "VRO&Node&Pnp|Driver|1|{4d36e972-e325-11ce-bfc1-08002be10318}\\" +
                        claims[0] + "\n"));
    EXPECT_EQ(std::string::npos, dump.find(second));
  }
}

// A package in the shape of real ones (one section under two headers, the
// disk path "", SoftwareSettings, quoted strings with commas, semicolons
// and doubled quotes) is taken whole and installs every value as Windows
// reads it; one whose models copy a file it lacks is refused, naming it,
// with nothing written to the store.
TEST(AdapterInstall, RealShapedPackageTakenWholeOrRefused) {
  rt::WinDisk d = rt::MakeWinDisk("--arch x64 --version 6.1.7601.17514");
  std::wstring store = vt::ToWin(d.dir) + L"\\store";
  std::wstring folder = store + L"\\Display\\6.1_x64";
  ProgramCopy program(d.dir, store);
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder)) + " " + vt::Q(d.dir + "/pkg") + " " +
                      vt::Q(d.dir + "/bad") + " && cd " + vt::Q(d.dir + "/pkg") +
                      " && head -c 9000 /dev/urandom > vroqxl.sys && printf um > vroqxlum.dll"
                      " && printf cm > vroqxlcm.dll && printf cat > vroqxl.cat"
                      " && cp vroqxl.sys vroqxlcm.dll vroqxl.cat ../bad/"));
  std::wstring good = it::WriteInf(d.dir + "/pkg", "vroqxl.inf");
  std::wstring bad = it::WriteInf(d.dir + "/bad", "vroqxl.inf");
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
    CInfImporter importer(&m, 0x400601, 7601, kStoreDisplay, L"Display", kDisplayClassGuid,
                          nullptr);
    EXPECT_EQ(0u, importer.ImportInf(bad.c_str(), folder.c_str()));
    EXPECT_EQ(L"vroqxlum.dll", importer.missingFile);
    std::string listing;
    vt::Sh("find " + vt::Q(vt::ToUnix(folder)) + " -mindepth 1", &listing);
    EXPECT_EQ("", listing) << "nothing of the refused package is kept";
    EXPECT_EQ(1u, importer.ImportInf(good.c_str(), folder.c_str()));
    EXPECT_EQ(L"", importer.missingFile);
  }
  const std::wstring version = folder + L"\\VEN_1B36&DEV_0100\\21.5.1.0";
  for (const wchar_t* file : {L"vroqxl.sys", L"vroqxlum.dll", L"vroqxlcm.dll", L"vroqxl.cat"})
    EXPECT_TRUE(vt::FileExists(version + L"\\" + file)) << vt::Narrow(file);
  EXPECT_EQ(L"", FindMissingPackageFile(version.c_str()));
  EXPECT_EQ(0u, program.Run(L"\"-img:" + d.path + L"\" /iadapter:3:VEN_1B36&DEV_0100:1"));
  std::string sys =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
  const std::string cls =
      "ControlSet001\\Control\\Class\\{4D36E968-E325-11CE-BFC1-08002BE10318}\\0000";
  EXPECT_EQ("7|vroqxlum", Dumped(sys, cls, "InstalledDisplayDrivers"));
  EXPECT_EQ("7|vroqxlum.dll;vroqxlum.dll", Dumped(sys, cls, "UserModeDriverName"));
  EXPECT_EQ("1|{6C1E5A2B-0D3F-4E4A-9B21-5C7D8E9F0A1B}", Dumped(sys, cls, "VideoID"));
  EXPECT_EQ("4|0", Dumped(sys, cls, "Acceleration.Level"));
  EXPECT_EQ("1|Acme Gigabit; driver \"AcmeGbE\" help", Dumped(sys, cls, "HelpText"));
  EXPECT_EQ("1|TCP/UDP(v4,v6)", Dumped(sys, cls, "Offload"));
  EXPECT_EQ("1| ", Dumped(sys, cls, "Blank"));
  EXPECT_EQ("1|Vro \"Pro\"; literal, quoted", Dumped(sys, cls, "Literal"));
  EXPECT_EQ("1|Vro \"QXL\" Display; WDDM", Dumped(sys, cls, "DriverDesc"));
  EXPECT_EQ("1|Vro Hat, Inc.", Dumped(sys, cls, "ProviderName"));
  EXPECT_EQ("1|Vro Hat, Inc.",
            Dumped(sys, "ControlSet001\\Enum\\PCI\\VEN_1B36&DEV_0100\\VRO&Node&Pnp", "Mfg"));
  EXPECT_EQ("4|3", Dumped(sys, "ControlSet001\\services\\vroqxl", "Start"));
  std::string listing;
  EXPECT_EQ(0, vt::Sh("ntfsls " + vt::Q(d.unixPath + ".part") + " -p /Windows/System32/Drivers",
                      &listing));
  EXPECT_NE(std::string::npos, listing.find("vroqxl.sys")) << listing;
  EXPECT_EQ(0, vt::Sh("ntfsls " + vt::Q(d.unixPath + ".part") + " -p /Windows/System32", &listing));
  EXPECT_NE(std::string::npos, listing.find("vroqxlcm.dll")) << listing;
  // The store's row of a package that has lost a file is marked by it.
  ASSERT_TRUE(DeleteFileW((version + L"\\vroqxlum.dll").c_str()));
  EXPECT_EQ(L"vroqxlum.dll", FindMissingPackageFile(version.c_str()));
}

// An adapter installed by the program, its driver key then holding values
// of every text INF writes with care (quotes, commas, semicolons, "%",
// blanks at either end, names that need quotes or hold an "=" or a
// backslash, REG_EXPAND_SZ data, a subkey whose name needs quotes), is
// exported into a store; that INF,
// imported into another store as any package is, and installed by the
// program into a second image, gives back each value exactly: its type and
// its data, read back by hivex.
TEST(AdapterInstall, ExportedAdapterGivesBackItsValues) {
  PreparedImage first("{cccc007a-31c0-11e8-9b10-806e6f6e6963}");
  ImportSample(first.d, first.folder, "12.18.9.7");
  ASSERT_EQ(0u, first.program.Run(AddAdapter(first.d, L"1")));
  const std::wstring driverKey =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-"
      L"08002BE10318}\\0000";
  const struct {
    const wchar_t* sub;
    const wchar_t* name;
    uint32_t type;
    const wchar_t* text;
  } values[] = {
      {L"", L"VroQuoted", REG_SZ, L"say \"hi\", then; go"},
      {L"", L"VroPercent", REG_SZ, L"50% of %Name% and %%"},
      {L"", L"VroExpand", REG_EXPAND_SZ, L"%SystemRoot%\\vro \"x\".dll"},
      {L"", L"VroPadded", REG_SZ, L"  padded  "},
      {L"", L"Vro odd, name;=x", REG_SZ, L"v"},
      {L"", L"C:\\Vro\\shared \"x\".dll", REG_SZ, L"a path as the name"},
      {L"Vro Sub, key", L"Path", REG_EXPAND_SZ, L"%windir%\\a;b, \"c\""},
      {L"Vro Sub, key", L"", REG_SZ, L"the default"},
      {L"Ndi\\params\\VroParam", L"ParamDesc", REG_SZ, L"A \"quoted\" choice; really"},
  };
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(first.d.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, m.LoadHives(1));
    for (const auto& v : values) {
      const std::wstring key = *v.sub ? driverKey + L"\\" + v.sub : driverKey;
      const uint32_t st = m.RegCreateKey(key.c_str());
      ASSERT_TRUE(st == REG_STATUS_OK || st == REG_STATUS_EXISTS);
      const std::vector<uint8_t> data = rt::Utf16z(v.text);
      ASSERT_EQ(REG_STATUS_OK,
                m.RegSetValue(key.c_str(), v.name, data.data(), uint32_t(data.size()), v.type));
    }
    ASSERT_TRUE(m.UnloadHives());
  }
  // The export into a store of its own.
  const std::wstring exported = vt::ToWin(first.d.dir) + L"\\exported";
  ASSERT_TRUE(CreateDirectoryW(exported.c_str(), nullptr));
  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"DrvPath", exported.c_str(),
                                         SettingsOfThisProgram().c_str()));
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(first.d.path.c_str(), nullptr, 0, 0), 0);
    ASSERT_EQ(1, m.LoadHives(1));
    ExportNetAdapterInf(&m, 0x400601, nullptr, L"0000", L"6.1_x64", L"pkg", L"12.18.9.7", L"PCI",
                        kDevice, L"VRO&Node&Pnp");
    m.UnloadHives();
  }
  DeleteFileW(SettingsOfThisProgram().c_str());
  const std::wstring inf = exported + L"\\Network\\6.1_x64\\pkg\\12.18.9.7\\VroPnp.inf";
  ASSERT_TRUE(vt::FileExists(inf));

  // Imported into the second image's store and installed from there.
  rt::WinDisk second = rt::MakeWinDisk(
      "--arch x64 --version 6.1.7601.17514 --hw-profile {cccc007b-31c0-11e8-9b10-806e6f6e6963}",
      "mbr2048", "raw", "", "disk.img", "second");
  it::PrepareOwnAdapter(second, false);
  const std::wstring store = vt::ToWin(second.dir) + L"\\store";
  const std::wstring folder = store + L"\\Network\\6.1_x64";
  ProgramCopy program(second.dir, store);
  {
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder))));
    CMountedImage m;
    ASSERT_GE(m.OpenImage(second.path.c_str(), nullptr, 0, 0), 0);
    CInfImporter importer(&m, 0x400601, 7601, kStoreNetwork, L"Net", kNetClassGuid, nullptr);
    ASSERT_EQ(1u, importer.ImportInf(inf.c_str(), folder.c_str())) << vt::Narrow(importer.missingFile);
  }
  std::string out;
  ASSERT_EQ(0u, program.Run(AddAdapter(second, L"1"), &out)) << out;
  const std::string was = rt::NtfsCat(first.d, first.d.unixPath, "/Windows/System32/config/SYSTEM",
                                      first.d.dir + "/SYSTEM.first");
  const std::string is =
      rt::NtfsCat(second, second.unixPath, "/Windows/System32/config/SYSTEM", second.dir + "/SYSTEM");
  const std::string cls =
      "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";
  for (const auto& v : values) {
    const std::string key = *v.sub ? cls + "\\" + vt::Narrow(v.sub) : cls;
    SCOPED_TRACE(key + "|" + vt::Narrow(v.name));
    const std::string held = Dumped(was, key, vt::Narrow(v.name));
    ASSERT_EQ(std::to_string(v.type) + "|" + vt::Narrow(v.text), held);
    EXPECT_EQ(held, Dumped(is, key, vt::Narrow(v.name)));
  }
}

// HwProfileGuid of hardware profile 0001 in a control set of the image.
void SetHardwareProfile(const rt::WinDisk& d, unsigned controlSet, const std::string& guid) {
  CMountedImage m;
  ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
  ASSERT_EQ(1, m.LoadHives(1));
  wchar_t key[200];
  _snwprintf(key, 200,
             L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Control\\IDConfigDB\\Hardware "
             L"Profiles\\0001",
             controlSet);
  key[199] = 0;
  uint32_t st = m.RegCreateKey(key);
  ASSERT_TRUE(st == REG_STATUS_OK || st == REG_STATUS_EXISTS);
  const std::vector<uint8_t> data = rt::Utf16z(vt::Widen(guid));
  ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(key, L"HwProfileGuid", data.data(),
                                         uint32_t(data.size()), REG_SZ));
  ASSERT_TRUE(m.UnloadHives());
}

// Image A's current control set is 1; image B is the same Windows
// installation (the same hardware profile) whose current set is 2, with set
// 1 beside it. With A's cache file at hand, B still gets its driver in set
// 2, the one it boots, through the command line and through the export; set
// 1 gets nothing.
TEST(AdapterInstall, ReplayWritesIntoTheCurrentControlSet) {
  const std::string tree =
      "--arch x64 --version 6.1.7601.17514 --hw-profile {cccc0069-31c0-11e8-9b10-806e6f6e6963}";
  rt::WinDisk a = rt::MakeWinDisk(tree, "mbr2048", "raw", "", "disk.img", "a");
  rt::WinDisk b = rt::MakeWinDisk(tree + " --current 2", "mbr2048", "raw", "", "disk.img", "b");
  it::PrepareOwnAdapter(a, false);
  it::PrepareOwnAdapter(b, false, 2);
  it::PrepareOwnAdapter(b, false, 1);
  SetHardwareProfile(b, 1, "{cccc0069-31c0-11e8-9b10-806e6f6e6963}");
  const std::string pristine = b.dir + "/pristine.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(b.unixPath) + " " + vt::Q(pristine)));
  const std::wstring store = vt::ToWin(a.dir) + L"\\store";
  const std::wstring folder = store + L"\\Network\\6.1_x64";
  ProgramCopy program(a.dir, store);
  ImportSample(a, folder, "12.18.9.7");
  ASSERT_EQ(0u, program.Run(AddAdapter(a, L"1")));
  std::vector<uint8_t> madeOnA;
  ASSERT_TRUE(vt::ReadAll(vt::ToWin(a.dir) + L"\\Cache\\0_" + kDevice + L".dat", madeOnA));
  const std::string instance = "\\Enum\\PCI\\" + vt::Narrow(kDevice) + "\\VRO&Node&Pnp";
  auto inCurrentSetOnly = [&](const char* how) {
    SCOPED_TRACE(how);
    std::string sys =
        rt::NtfsCat(b, b.unixPath, "/Windows/System32/config/SYSTEM", b.dir + "/SYSTEM");
    EXPECT_EQ("VroNic", rt::HivexGet(sys, "ControlSet002" + instance, "Service"));
    EXPECT_EQ(vt::Narrow(it::kPreparedGuid),
              rt::HivexGet(sys,
                           "ControlSet002\\Control\\Class\\{4D36E972-E325-11CE-BFC1-"
                           "08002BE10318}\\0000",
                           "NetCfgInstanceId"));
    EXPECT_EQ("0", rt::HivexGet(sys, "ControlSet002\\services\\VroNic", "Start"));
    EXPECT_EQ("<missing>", rt::HivexGet(sys, "ControlSet001" + instance, "Service"));
    EXPECT_EQ("<missing>", rt::HivexGet(sys, "ControlSet001\\services\\VroNic", "Start"));
  };
  EXPECT_EQ(0u, program.Run(AddAdapter(b, L"2")));
  inCurrentSetOnly("command line");

  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"DrvPath", store.c_str(),
                                         SettingsOfThisProgram().c_str()));
  wchar_t cache[360];
  FormatDriverCachePath(0, kDevice, cache);
  ASSERT_TRUE(vt::WriteAll(cache, madeOnA));
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(pristine) + " " + vt::Q(b.unixPath)));
  EXPECT_EQ(0, ImageAddAdapterW(b.path.c_str(), L"", 0, 2, kDevice, L"3", L"192.168.0.7"));
  inCurrentSetOnly("export");
  DeleteFileW(cache);
  DeleteFileW(SettingsOfThisProgram().c_str());
}

// ntfsinfo's and ntfsls's view of the metafiles of $Extend (records 24 to
// 26) in the volume of a raw disk image.
std::string ExtendRecords(const rt::WinDisk& d, const std::string& imageUnix) {
  const std::string part = imageUnix + ".part";
  std::string out;
  EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(imageUnix) + " of=" + vt::Q(part) + " bs=512 skip=" +
                          std::to_string(d.start) + " count=" + std::to_string(rt::kDiskMiB * 2048) +
                          " status=none && for i in 24 25 26; do ntfsinfo -i $i " + vt::Q(part) +
                          " || exit 1; done && ntfsls -a -i -p '/$Extend' " + vt::Q(part),
                      &out))
      << out;
  return out;
}

// A destination the installation does not map (directory ids 23, 54 and
// 99999), or one in the volume's metafiles ($Extend and what lies in it, a
// metafile's name at the root): refused with -9 and a line naming the
// section and the value, through the command line and the export, every
// byte of the image as it was, the records of $Extend's metafiles with it.
TEST(AdapterInstall, DestinationsUnmappedOrOnMetafilesRefused) {
  PreparedImage setup("{cccc006a-31c0-11e8-9b10-806e6f6e6963}");
  rt::WinDisk& d = setup.d;
  const std::string untouched = d.dir + "/untouched.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.unixPath) + " " + vt::Q(untouched)));
  const std::string records = ExtendRecords(d, untouched);
  ASSERT_NE(std::string::npos, records.find("$Quota")) << records;
  struct Case {
    const char* sed;
    const char* value;
    const char* names = "VroNic.CopyFiles";  // what the line names beside the value
    const char* notNamed = ".vronew";        // and never names
    const char* stored = nullptr;            // the DestinationDirs entry of a store written by hand
  };
  // A destination of 360 characters: eight folders of 36 and one of 28.
  std::string sub;
  for (int i = 0; i < 9; ++i)
    sub += (i ? "\\" : "") + ("d0" + std::to_string(i)) + std::string(i < 8 ? 33 : 24, 'x');
  const std::string destination = "\\Windows\\System32\\Drivers\\" + sub + "\\vronic.sys";
  EXPECT_EQ(360u, destination.size());
  const std::string longEntry = "VroNic.CopyFiles=12," + sub;
  const Case cases[] = {
      {"s/^VroNic\\.CopyFiles = 12$/VroNic.CopyFiles = 23/", "23"},
      {"s/^VroNic\\.CopyFiles = 12$/VroNic.CopyFiles = 54/", "54"},
      {"s/^VroNic\\.CopyFiles = 12$/VroNic.CopyFiles = 99999/", "99999"},
      {"s/^VroNic\\.CopyFiles = 12$/VroNic.CopyFiles = 24,$Extend/;"
       " s/^vronic.sys,,,2$/$Quota,vronic.sys,,2/;"
       " s/^vronic.dll,,,2$/$ObjId,vronic.dll,,2\\n$Reparse,vronic.dll,,2/",
       "$Extend"},
      {"s/^VroNic\\.CopyFiles = 12$/VroNic.CopyFiles = 24,$EXTEND\\\\Vro/", "$EXTEND\\Vro"},
      // Every path the installation writes into the registry names a place.
      {"s/^ServiceBinary = %12%/ServiceBinary = %23%/", "%23%\\vronic.sys", "[VroNic.Service]"},
      {"s/^ServiceBinary = %12%/ServiceBinary = %NoSuch%/", "%NoSuch%\\vronic.sys",
       "[VroNic.Service]"},
      {"s/^HKR, ,  *EmptyMarker$/&\\nHKR, , Helper, 0, \"%23%\\\\vro.dll\"/", "%23%\\vro.dll",
       "[VroNic.reg]"},
      // A %name% is the INF's string, a directory id or "%%": nothing of
      // the host's environment, and no name the INF does not define.
      {"s/^HKR, ,  *EmptyMarker$/&\\nHKR, , HostTemp, 0, \"%TEMP%\\\\x\"/", "%TEMP%\\x",
       "[VroNic.reg]"},
      {"s/^HKR, ,  *EmptyMarker$/&\\nHKR, , Undefined, 0x00020000, \"%NoSuch%\\\\x\"/",
       "%NoSuch%\\x", "[VroNic.reg]"},
      {"s/^ServiceBinary = %12%/ServiceBinary = %TEMP%/", "%TEMP%\\vronic.sys",
       "[VroNic.Service]"},
      {"s/^BusType  *= 5$/&\\nVendorNote = %NoSuch%/", "%NoSuch%", "[VroNic.ndi]"},
      // The refusal names the package's file and its whole destination.
      {"", destination.c_str(), "vronic.sys", ".vronew", longEntry.c_str()},
      {"s/^VroNic\\.CopyFiles = 12$/VroNic.CopyFiles = 24/; s/^vronic.dll,,,2$/$bitmap,vronic.dll,,2/",
       "$bitmap"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sed);
    ASSERT_EQ(0, vt::Sh("rm -rf " + vt::Q(vt::ToUnix(setup.store))));
    ImportSample(d, setup.folder, "12.18.9.7", c.sed);
    if (c.stored)
      EditCombinedInf(setup.folder + L"\\VEN_8086&DEV_10D3\\12.18.9.7", "VroNic.CopyFiles=12",
                      c.stored);
    std::string out;
    EXPECT_EQ(DWORD(-9), setup.program.Run(AddAdapter(d, L"1"), &out));
    EXPECT_NE(std::string::npos, out.find(c.names)) << out;
    EXPECT_NE(std::string::npos, out.find(c.value)) << out;
    EXPECT_EQ(std::string::npos, out.find(c.notNamed)) << out;
    EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(untouched) + " " + vt::Q(d.unixPath)));
  }
  EXPECT_EQ(records, ExtendRecords(d, d.unixPath));

  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"DrvPath", setup.store.c_str(),
                                         SettingsOfThisProgram().c_str()));
  std::string out = ExportOutput(d.dir, [&] {
    EXPECT_EQ(-9, ImageAddAdapterW(d.path.c_str(), L"", 0, 2, kDevice, L"2", nullptr));
  });
  EXPECT_NE(std::string::npos, out.find("VroNic.CopyFiles")) << out;
  EXPECT_NE(std::string::npos, out.find("$bitmap")) << out;
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(untouched) + " " + vt::Q(d.unixPath)));
  DeleteFileW(SettingsOfThisProgram().c_str());
}

// A DestinationDirs subfolder given by a string of the INF is the folder
// the service's ImagePath (the same string) names; a CopyFiles=@file is
// imported with its file and placed in the default destination. While a
// file stands where that subfolder goes, the file pass cannot place the
// driver there (the check before it sees nothing in the way): -9 with a
// line, and what it placed before (the catalog, the single file) is taken
// back.
TEST(AdapterInstall, StringSubfolderAndSingleFileCopy) {
  PreparedImage setup("{cccc006b-31c0-11e8-9b10-806e6f6e6963}",
                      "mkdir -p Windows/System32/Drivers && printf in-the-way >"
                      " Windows/System32/Drivers/acme");
  rt::WinDisk& d = setup.d;
  const std::string pkg = d.dir + "/pkg-12.18.9.7";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(pkg) + " && head -c 5001 /dev/urandom > " +
                      vt::Q(pkg + "/vroextra.sys")));
  ImportSample(d, setup.folder, "12.18.9.7",
               "s/^VroNic\\.CopyFiles = 12$/VroNic.CopyFiles = 12,%SubDir%/;"
               " s/^ServiceBinary = %12%\\\\vronic.sys$/ServiceBinary = "
               "%12%\\\\%SubDir%\\\\vronic.sys/;"
               " s/^CopyFiles *= VroNic.CopyFiles$/CopyFiles = VroNic.CopyFiles, @vroextra.sys/;"
               " s/^DiskName *=.*/&\\nSubDir = \"acme\"/");
  const std::wstring version = setup.folder + L"\\VEN_8086&DEV_10D3\\12.18.9.7";
  const std::string extra = vt::Sha256(vt::ToWin(pkg + "/vroextra.sys"));
  EXPECT_EQ(extra, vt::Sha256(version + L"\\vroextra.sys")) << "imported with its file";
  const std::string before = vt::ReaderView(d.unixPath, d.start);
  const std::string softBefore = vt::Sha256(vt::ToWin(
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SOFTWARE", d.dir + "/SOFTWARE.before")));
  std::string out;
  // The package's keys of SOFTWARE were staged and tried before the file
  // pass failed: that hive too is as it was, byte for byte.
  EXPECT_EQ(DWORD(-9), setup.program.Run(AddAdapter(d, L"1"), &out));
  EXPECT_NE(std::string::npos, out.find("acme")) << out;
  EXPECT_EQ(before, vt::ReaderView(d.unixPath, d.start));
  EXPECT_EQ(softBefore,
            vt::Sha256(vt::ToWin(rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SOFTWARE",
                                             d.dir + "/SOFTWARE.after"))));
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_NE(0, m.DeletePath(L"\\Windows\\System32\\Drivers\\acme"));
  }
  // A single file that leaves the package folder (a climb, a drive), or a
  // file section of an INF the package includes that does, refuses the
  // package naming the file, as the setup dialog does: nothing is placed.
  const std::string kept = vt::ReaderView(d.unixPath, d.start);
  const std::wstring deviceInf = version + L"\\" + kDevice + L".inf";
  ASSERT_EQ(0, vt::Sh("printf escaped > " + vt::Q(vt::ToUnix(setup.store) + "/vroesc.sys")));
  for (const char* escape : {"@..\\..\\..\\..\\vroesc.sys", "@Z:\\vroesc.sys"}) {
    SCOPED_TRACE(escape);
    it::EditCombinedInf(version, "@vroextra.sys", std::string("@vroextra.sys,") + escape);
    DeleteFileW(deviceInf.c_str());
    EXPECT_EQ(DWORD(-9), setup.program.Run(AddAdapter(d, L"1"), &out));
    EXPECT_NE(std::string::npos, out.find("not installed (-9)")) << out;
    EXPECT_NE(std::string::npos, out.find(std::string(escape + 1))) << out;
    EXPECT_EQ(kept, vt::ReaderView(d.unixPath, d.start));
    it::EditCombinedInf(version, std::string("@vroextra.sys,") + escape, "@vroextra.sys");
  }
  it::IncludeExtraInf(version, "vroneeds.sys,..\\..\\..\\..\\vroesc.sys");
  DeleteFileW(deviceInf.c_str());
  EXPECT_EQ(DWORD(-9), setup.program.Run(AddAdapter(d, L"1"), &out));
  EXPECT_NE(std::string::npos, out.find("..\\..\\..\\..\\vroesc.sys")) << out;
  EXPECT_EQ(kept, vt::ReaderView(d.unixPath, d.start));
  // The included INF's needed section places its file with the package's.
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(vt::ToUnix(version)) +
                      " && sed -i 's/,\\.\\..*vroesc\\.sys//' vroextra.inf"));
  DeleteFileW(deviceInf.c_str());
  ASSERT_EQ(0u, setup.program.Run(AddAdapter(d, L"1")));
  EXPECT_EQ(vt::Sha256(version + L"\\vroneeds.sys"), PlacedDriver(d, "vroneeds.sys"));
  std::string sys =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
  EXPECT_EQ("System32\\Drivers\\acme\\vronic.sys",
            rt::HivexGet(sys, "ControlSet001\\services\\VroNic", "ImagePath"));
  std::string placed = rt::NtfsCat(d, d.unixPath, "/Windows/System32/Drivers/acme/vronic.sys",
                                   d.dir + "/acme.sys");
  EXPECT_EQ(vt::Sha256(vt::ToWin(pkg + "/vronic.sys")), vt::Sha256(vt::ToWin(placed)));
  EXPECT_EQ(extra, PlacedDriver(d, "vroextra.sys"));
}


// The layouts real packages use: a file in a subfolder of its disk
// ([SourceDisksFiles] "name = 1,subfolder"), and the disk's path of the
// target's architecture ([SourceDisksNames.amd64] read before the plain
// section; the .x86 one holds other files). Each imported whole into the
// store, then installed from it through the program. A store whose package
// names only files no installation takes fails naming one of them.
TEST(AdapterInstall, PackageLayoutsImportedAndInstalled) {
  struct Layout {
    const char* name;
    const char* hardwareProfile;
    const char* arrange;  // run in the package folder once its files are made
    const char* sed;
  };
  const Layout layouts[] = {
      {"subfolder", "{cccc0070-31c0-11e8-9b10-806e6f6e6963}", "mkdir drv && mv vronic.sys drv/",
       "s/^vronic.sys = 1$/vronic.sys = 1,drv/"},
      {"decorated", "{cccc0071-31c0-11e8-9b10-806e6f6e6963}",
       "mkdir amd64 x86 && mv vronic.sys vronic.dll amd64/ && head -c 999 /dev/urandom >"
       " x86/vronic.sys && cp amd64/vronic.dll x86/",
       "s/^\\[SourceDisksNames\\]$/[SourceDisksNames.x86]\\n1 = %DiskName%,,,\\\\x86\\n"
       "[SourceDisksNames.amd64]\\n1 = %DiskName%,,,\\\\amd64\\n\\n&/"},
      // Quoted at both ends of the value: the quotes are each field's.
      {"quoted own folder", "{cccc0073-31c0-11e8-9b10-806e6f6e6963}", "true",
       "s/^1 = %DiskName%,,,$/1=\"%DiskName%\",,,\"\"/"},
      {"quoted path", "{cccc0074-31c0-11e8-9b10-806e6f6e6963}",
       "mkdir x64 && mv vronic.sys vronic.dll x64/",
       "s/^1 = %DiskName%,,,$/1=\"%DiskName%\",,,\"\\\\x64\"/"},
      {"quoted path with a tag", "{cccc0075-31c0-11e8-9b10-806e6f6e6963}",
       "mkdir drv && mv vronic.sys vronic.dll drv/",
       "s/^1 = %DiskName%,,,$/1=\"%DiskName%\",tag,,\"\\\\drv\"/"},
      {"quoted decorated", "{cccc0076-31c0-11e8-9b10-806e6f6e6963}",
       "mkdir amd64 && mv vronic.sys vronic.dll amd64/",
       "s/^\\[SourceDisksNames\\]$/[SourceDisksNames.amd64]\\n1=\"%DiskName%\",,,\"\\\\amd64\"\\n\\n&/"},
      {"quoted file entry", "{cccc0077-31c0-11e8-9b10-806e6f6e6963}",
       "mkdir sub && mv vronic.sys sub/",
       "s/^vronic.sys = 1$/vronic.sys=\"1\",\"sub\"/"},
  };
  for (const Layout& l : layouts) {
    SCOPED_TRACE(l.name);
    PreparedImage setup(l.hardwareProfile);
    rt::WinDisk& d = setup.d;
    const std::string pkg = d.dir + "/pkg";
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(setup.folder)) + " " + vt::Q(pkg) +
                        " && cd " + vt::Q(pkg) +
                        " && head -c 70001 /dev/urandom > vronic.sys &&"
                        " head -c 3000 /dev/urandom > vronic.dll && printf catalog > vronet.cat"
                        " && sha256sum vronic.sys | cut -c1-64 > ../sys.sum && " +
                        l.arrange));
    std::wstring inf = it::WriteInf(pkg, "vronet.inf", l.sed);
    {
      CMountedImage m;
      ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
      CInfImporter importer(&m, 0x400601, 7601, kStoreNetwork, L"Net", kNetClassGuid, nullptr);
      EXPECT_EQ(1u, importer.ImportInf(inf.c_str(), setup.folder.c_str()));
      EXPECT_EQ(L"", importer.missingFile);
    }
    std::string sum;
    vt::Sh("cat " + vt::Q(d.dir + "/sys.sum"), &sum);
    sum = sum.substr(0, 64);
    const std::wstring version = setup.folder + L"\\VEN_8086&DEV_10D3\\12.18.9.7";
    EXPECT_EQ(sum, vt::Sha256(version + L"\\vronic.sys")) << "the store holds the package's file";
    std::string out;
    EXPECT_EQ(0u, setup.program.Run(AddAdapter(d, L"1"), &out)) << out;
    EXPECT_EQ(sum, PlacedDriver(d, "vronic.sys"));
  }

  // Names a hand-edited store holds that the installation would refuse.
  PreparedImage setup("{cccc0072-31c0-11e8-9b10-806e6f6e6963}");
  rt::WinDisk& d = setup.d;
  ImportSample(d, setup.folder, "12.18.9.7");
  const std::wstring version = setup.folder + L"\\VEN_8086&DEV_10D3\\12.18.9.7";
  EditCombinedInf(version, "vronic.sys,,,2", "vronic.sys,CON,,2");
  EditCombinedInf(version, "vronic.dll,,,2", "vronic.dll,vronic.dll.,,2");
  const std::string untouched = vt::Sha256(d.path);
  std::string out;
  EXPECT_EQ(DWORD(-7), setup.program.Run(AddAdapter(d, L"1"), &out)) << out;
  EXPECT_NE(std::string::npos, out.find("not installed (-7)")) << out;
  EXPECT_NE(std::string::npos, out.find("file CON ")) << out;
  EXPECT_EQ(untouched, vt::Sha256(d.path));
}

// On a 32-bit Windows 7 the folders of 32-bit programs on 64-bit Windows are
// the Windows' own: files of DestinationDirs 16425, 16426 and 16428 land in
// System32, Program Files and Program Files\Common Files, where the values
// the same installation writes with those ids say they are; no folder of a
// 64-bit Windows is made.
TEST(AdapterInstall, Windows32GetsItsOwnFolders) {
  rt::WinDisk d =
      rt::MakeWinDisk("--arch x86 --version 6.1.7601.17514", "mbr2048", "raw", OldServices());
  it::PrepareOwnAdapter(d, false);
  const std::wstring store = vt::ToWin(d.dir) + L"\\store";
  const std::wstring folder = store + L"\\Network\\6.1_x86";
  ProgramCopy program(d.dir, store);
  const std::string pkg = d.dir + "/pkg";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder)) + " " + vt::Q(pkg) + " && cd " +
                      vt::Q(pkg) +
                      " && for f in vronic.sys vronic.dll vrowow.dll vroapp.exe vroshared.dll;"
                      " do head -c 3001 /dev/urandom > $f; done && printf catalog > vronet.cat"));
  std::wstring inf = it::WriteInf(
      pkg, "vronet.inf",
      "s/^CopyFiles  *= VroNic.CopyFiles$/CopyFiles = VroNic.CopyFiles, Wow.Sys, Wow.Prog,"
      " Wow.Common/;"
      " s/^\\[SourceDisksNames\\]$/[Wow.Sys]\\nvrowow.dll\\n[Wow.Prog]\\nvroapp.exe\\n"
      "[Wow.Common]\\nvroshared.dll\\n\\n&/;"
      " s/^vronic.dll = 1$/&\\nvrowow.dll = 1\\nvroapp.exe = 1\\nvroshared.dll = 1/;"
      " s/^VroNic.CopyFiles = 12$/&\\nWow.Sys = 16425\\nWow.Prog = 16426,Vro\\n"
      "Wow.Common = 16428,Vro/;"
      " s/^HKR, ,  *EmptyMarker$/&\\nHKR, , WowDll, 0, \"%16425%\\\\vrowow.dll\"\\n"
      "HKR, , AppPath, 0, \"%16426%\\\\Vro\\\\vroapp.exe\"\\n"
      "HKR, , SharedPath, 0, \"%16428%\\\\Vro\\\\vroshared.dll\"/; " +
          ServiceFoldersSed());
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
    ASSERT_EQ(0x560601u, m.GetWindowsVersion());
    CInfImporter importer(&m, 0x560601, 7601, kStoreNetwork, L"Net", kNetClassGuid, nullptr);
    ASSERT_NE(0u, importer.ImportInf(inf.c_str(), folder.c_str()));
  }
  std::string out;
  ASSERT_EQ(0u, program.Run(AddAdapter(d, L"1"), &out)) << out;
  std::string sys =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
  const std::string cls =
      "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";
  const struct {
    const char* value;
    const char* expected;
    const char* file;
  } placed[] = {
      {"WowDll", "C:\\Windows\\System32\\vrowow.dll", "vrowow.dll"},
      {"AppPath", "C:\\Program Files\\Vro\\vroapp.exe", "vroapp.exe"},
      {"SharedPath", "C:\\Program Files\\Common Files\\Vro\\vroshared.dll", "vroshared.dll"},
  };
  for (const auto& p : placed) {
    SCOPED_TRACE(p.value);
    const std::string said = rt::HivexGet(sys, cls, p.value);
    ASSERT_EQ(p.expected, said);
    // The file where the value says it is.
    std::string path = said.substr(2);
    for (char& c : path)
      if (c == '\\') c = '/';
    const std::string copy = rt::NtfsCat(d, d.unixPath, path, d.dir + "/" + p.file + ".placed");
    EXPECT_EQ(vt::Sha256(vt::ToWin(pkg + "/" + p.file)), vt::Sha256(vt::ToWin(copy)));
  }
  std::string listing;
  EXPECT_EQ(0, vt::Sh("ntfsls " + vt::Q(d.unixPath + ".part") + " -p / && ntfsls " +
                          vt::Q(d.unixPath + ".part") + " -p /Windows",
                      &listing));
  EXPECT_EQ(std::string::npos, listing.find("(x86)")) << listing;
  EXPECT_EQ(std::string::npos, listing.find("SysWOW64")) << listing;
  ExpectServices(sys, false);
}

}  // namespace
