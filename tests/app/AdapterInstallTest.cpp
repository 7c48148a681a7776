// "/iadapter:" through the real program on Windows 7 and Windows 10 images
// with a store built by the import: installed (0), then current (1); the
// hive read back with hivexget, the driver file with ntfscat, the volume
// checked by ntfsfix; and the adapter exports called as a host would.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "../infinstall/InfTestUtil.h"
#include "../registry/FacadeTestUtil.h"
#include "ProgramImage.h"
#include "TestSupport.h"
#include "app/ImageOperations.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfImporter.h"
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
  DWORD Run(const std::wstring& arguments) {
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi;
    DWORD code = 0xDEADBEEF;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
      return code;
    if (WaitForSingleObject(pi.hProcess, 300000) == WAIT_OBJECT_0)
      GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
  }
};

std::wstring SettingsOfThisProgram() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring s = exe;
  return s.substr(0, s.rfind(L'.')) + L".ini";
}

TEST(AdapterInstall, ThroughTheProgramOnWindows7And10) {
  const it::WindowsTarget targets[] = {
      {"win7", "--arch x64 --version 6.1.7601.17514", 0x400601, 7601, false},
      {"win10", "--arch x64 --version 10.0.19041.1", 0x400A00, 19041, true},
  };
  std::string top = vt::ScratchDirUnix();
  for (const it::WindowsTarget& t : targets) {
    SCOPED_TRACE(t.name);
    rt::WinDisk d = rt::MakeWinDisk(t.tree, "mbr2048", "raw", "", "disk.img", t.name);
    it::PrepareOwnAdapter(d, t.windows10);
    std::wstring store = vt::ToWin(d.dir) + L"\\store";
    ProgramCopy program(d.dir, store);
    // The store, built by the import as the driver dialogs do.
    std::wstring folder = store + (t.windows10 ? L"\\Network\\10.0_x64" : L"\\Network\\6.1_x64");
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder)) + " " + vt::Q(d.dir + "/pkg") +
                        " && cd " + vt::Q(d.dir + "/pkg") +
                        " && head -c 70001 /dev/urandom > vronic.sys &&"
                        " head -c 3000 /dev/urandom > vronic.dll && printf catalog > vronet.cat"));
    std::wstring inf = it::WriteInf(d.dir + "/pkg", "vronet.inf");
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
    EXPECT_NE("<missing>", rt::HivexGet(sys, "ControlSet001\\Services\\VROPNP\\PnpList",
                                        "PCI\\VEN_8086&DEV_10D3"));
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

}  // namespace
