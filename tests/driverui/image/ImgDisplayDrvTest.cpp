// The display page of the image driver manager and its information page on
// real windows: devices sharing a driver key and a service, a disabled
// device, a missing WoW user-mode DLL, files of "Microsoft Corporation", DLL
// registrations named by two drivers. Uninstallation is checked on the
// image with ntfsls and hivex.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "ImageDriverTestUtil.h"
#include "driverui/ImgDrvPropertyDlg.h"
#include "driverui/ImgMgrDrvDlg.h"

namespace {

using namespace dt;

const std::wstring kClass = kDisplayClassKey;

class DisplayPage : public ::testing::Test {
 protected:
  void SetUp() override {
    disk = rt::MakeWinDisk("--arch x64 --version 6.1.7601.17514");
    st::SetStoreRoot(vt::ToWin(disk.dir) + L"\\store");
    std::string files = disk.dir + "/files";
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(files) + " && cd " + vt::Q(files) +
                        " && for f in vrogfx.sys vrogfxum.dll vrogfxd.dll vroreg.dll vrowow.sys"
                        " vrohelp.sys wowonly.dll; do printf $f > $f; done && cp " +
                        vt::Q(VRO_TESTRES_DLL) + " msum.dll && cp " + vt::Q(VRO_TESTRES_DLL) +
                        " msdrv.sys"));
    CMountedImage m;
    ASSERT_GE(m.OpenImage(disk.path.c_str(), nullptr, 0, 1), 0);
    for (const char* f : {"vrogfxum.dll", "vrogfxd.dll", "vroreg.dll", "msum.dll"})
      PutFile(m, files + "/" + f, std::wstring(L"\\Windows\\System32\\") + vt::Widen(f));
    for (const char* f : {"vrogfx.sys", "vrowow.sys", "msdrv.sys", "vrohelp.sys"})
      PutFile(m, files + "/" + f, std::wstring(L"\\Windows\\System32\\drivers\\") + vt::Widen(f));
    PutFile(m, files + "/wowonly.dll", L"\\Windows\\SysWOW64\\wowonly.dll");
    ASSERT_EQ(1, m.LoadHives(1 | 2));
    auto device = [&](const std::wstring& path, const wchar_t* instance, const wchar_t* service,
                      const wchar_t* desc) {
      std::wstring key = std::wstring(kSystem) + L"Enum\\PCI\\" + path;
      SetText(m, key, L"ClassGUID", L"{4d36e968-e325-11ce-bfc1-08002be10318}");
      SetText(m, key, L"Driver",
              std::wstring(L"{4d36e968-e325-11ce-bfc1-08002be10318}\\") + instance);
      SetText(m, key, L"Service", service);
      SetText(m, key, L"DeviceDesc", desc);
    };
    device(L"VEN_10DE&DEV_1234&SUBSYS_1\\4&a", L"0001", L"vrogfx", L"oem.inf,%a%;Vro Graphics A");
    device(L"VEN_10DE&DEV_1234&SUBSYS_2\\4&b", L"0001", L"vrogfx", L"Vro Graphics A2");
    device(L"VEN_1002&DEV_5678\\4&c", L"0002", L"vroati", L"Vro Graphics B");
    SetDword(m, std::wstring(kSystem) + L"Enum\\PCI\\VEN_1002&DEV_5678\\4&c", L"ConfigFlags", 1);
    device(L"VEN_8080&DEV_0009\\4&d", L"0003", L"vrowow", L"Vro Graphics C");
    for (const wchar_t* i : {L"0001", L"0002", L"0003"}) {
      SetText(m, kClass + L"\\" + i, L"DriverDesc", L"Vro display");
      SetText(m, kClass + L"\\" + i, L"DriverVersion", L"2.0.0.1");
    }
    SetList(m, kClass + L"\\0001", L"UserModeDriverName", {L"vrogfxum.dll"});
    SetList(m, kClass + L"\\0001\\Settings", L"InstalledDisplayDrivers", {L"vrogfxd"});
    SetText(m, kClass + L"\\0001\\RegisterDLLs", L"Reg1", L"C:\\Windows\\System32\\vroreg.dll");
    SetText(m, kClass + L"\\0001\\AddService", L"vrohelp",
            L"C:\\Windows\\System32\\drivers\\vrohelp.sys");
    SetList(m, kClass + L"\\0002", L"UserModeDriverName", {L"msum"});
    SetText(m, kClass + L"\\0002\\RegisterDLLs", L"Reg2", L"C:\\Windows\\System32\\vroreg.dll");
    SetText(m, kClass + L"\\0003", L"UserModeDriverNameWoW", L"wowum", REG_SZ);
    SetList(m, kClass + L"\\0003", L"InstalledDisplayDrivers", {L"wowonly, nowhere"});
    const std::wstring runOnce =
        L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
    SetText(m, runOnce, L"Reg1", L"regsvr32 vroreg.dll");
    SetText(m, runOnce, L"Reg2", L"regsvr32 vroreg.dll");
    const std::wstring services = std::wstring(kSystem) + L"Services\\";
    SetText(m, services + L"vrogfx", L"ImagePath", L"System32\\drivers\\vrogfx.sys", REG_EXPAND_SZ);
    SetText(m, services + L"vroati", L"ImagePath", L"\\SystemRoot\\System32\\drivers\\msdrv.sys",
            REG_EXPAND_SZ);
    SetText(m, services + L"vrowow", L"ImagePath", L"System32\\drivers\\vrowow.sys", REG_EXPAND_SZ);
    SetText(m, services + L"vrohelp", L"ImagePath", L"System32\\drivers\\vrohelp.sys");
    ASSERT_TRUE(m.UnloadHives());
  }
  std::string Ls(const std::string& folder) {
    std::string part = disk.dir + "/ls.part", out;
    vt::Sh("dd if=" + vt::Q(disk.unixPath) + " of=" + vt::Q(part) +
               " bs=512 skip=" + std::to_string(disk.start) +
               " count=" + std::to_string(rt::kDiskMiB * 2048) + " status=none && ntfsls -p " +
               vt::Q(folder) + " " + vt::Q(part) + " | sort | tr '\\n' ' '",
           &out);
    return out;
  }
  rt::WinDisk disk;
};

TEST_F(DisplayPage, StatesAndUninstallKeepingWhatOthersUse) {
  CMountedImage image;
  ASSERT_GE(image.OpenImage(disk.path.c_str(), nullptr, 0, 1), 0);
  Parent parent(2052);
  EXPECT_TRUE(Modal<CImgMgrDrvDlg>::Run(
      [&] { new CImgMgrDrvDlg(&parent, &image); },
      [&](CImgMgrDrvDlg* dlg) {
        SelectTab(dlg->m_hWnd, 1);
        HWND page = GetDlgItem(dlg->m_hWnd, 156);
        ASSERT_TRUE(page && IsWindowVisible(page));
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(page, 1006))) << "no backup on this page";
        HWND list = GetDlgItem(page, 1001);
        int a = FindRow(list, L"Vro Graphics A"), a2 = FindRow(list, L"Vro Graphics A2");
        int b = FindRow(list, L"Vro Graphics B"), c = FindRow(list, L"Vro Graphics C");
        ASSERT_TRUE(a >= 0 && a2 >= 0 && b >= 0 && c >= 0);
        EXPECT_EQ(0, Image(list, a));
        EXPECT_EQ(0, Image(list, a2));
        EXPECT_EQ(1, Image(list, b)) << "disabled, its files present";
        EXPECT_EQ(1, Image(list, c)) << "its WoW user-mode DLL is missing from SysWOW64";
        EXPECT_EQ(L"2.0.0.1", Cell(list, a, 1));
        EXPECT_EQ(L"0001", Cell(list, a, 4));
        EXPECT_EQ(L"驱动列表（红色表示设备已禁用或驱动文件不存在，灰色表示设备未关联）",
                  Text(page, 1041));
        // Ctrl+A selects every row.
        SetFocus(list);
        BYTE keys[256] = {};
        GetKeyboardState(keys);
        keys[VK_CONTROL] = 0x80;
        SetKeyboardState(keys);
        SendMessageW(list, WM_KEYDOWN, 'A', 0);
        keys[VK_CONTROL] = 0;
        SetKeyboardState(keys);
        EXPECT_EQ(ListView_GetItemCount(list), (int)ListView_GetSelectedCount(list));

        for (const wchar_t* name : {L"Vro Graphics A", L"Vro Graphics B", L"Vro Graphics A2"}) {
          SelectOnly(list, FindRow(list, name));
          AnswerNextBox(IDYES);
          Click(page, 1003);
          EXPECT_EQ(-1, FindRow(list, name)) << vt::Narrow(name);
        }
      }));
  image.Close();
  std::string sys = SystemHive(disk);
  std::string soft =
      rt::NtfsCat(disk, disk.unixPath, "/Windows/System32/config/SOFTWARE", disk.dir + "/SOFTWARE");
  std::string cls = "ControlSet001\\Control\\Class\\{4D36E968-E325-11CE-BFC1-08002BE10318}\\";
  EXPECT_EQ("<missing>", rt::HivexGet(sys, cls + "0001", "DriverDesc"))
      << "removed with its last device";
  EXPECT_EQ("<missing>", rt::HivexGet(sys, cls + "0002", "DriverDesc"));
  EXPECT_EQ("Vro display", rt::HivexGet(sys, cls + "0003", "DriverDesc"));
  EXPECT_EQ("<missing>", rt::HivexGet(sys, "ControlSet001\\Services\\vrogfx", "ImagePath"));
  EXPECT_EQ("<missing>", rt::HivexGet(sys, "ControlSet001\\Services\\vrohelp", "ImagePath"));
  EXPECT_NE("<missing>", rt::HivexGet(sys, "ControlSet001\\Services\\vroati", "ImagePath"))
      << "its file is of Microsoft Corporation: the service stays";
  std::string runOnce = "Microsoft\\Windows\\CurrentVersion\\RunOnce";
  EXPECT_EQ("<missing>", rt::HivexGet(soft, runOnce, "Reg1"));
  EXPECT_EQ("regsvr32 vroreg.dll", rt::HivexGet(soft, runOnce, "Reg2"))
      << "kept while the other driver still named the file";
  EXPECT_EQ(" . .. config drivers msum.dll ntoskrnl.exe ", " " + Ls("/Windows/System32"))
      << "the user-mode DLLs and the registered DLL went; Microsoft's stayed";
  EXPECT_EQ(" . .. msdrv.sys vrowow.sys ", " " + Ls("/Windows/System32/drivers"));
}

TEST_F(DisplayPage, InformationPageWithoutRecordOrStoreFolder) {
  CMountedImage image;
  ASSERT_GE(image.OpenImage(disk.path.c_str(), nullptr, 0, 1), 0);
  Parent parent(2052);
  EXPECT_TRUE(Modal<CImgMgrDrvDlg>::Run(
      [&] { new CImgMgrDrvDlg(&parent, &image); },
      [&](CImgMgrDrvDlg* dlg) {
        SelectTab(dlg->m_hWnd, 1);
        HWND page = GetDlgItem(dlg->m_hWnd, 156);
        HWND list = GetDlgItem(page, 1001);
        SelectOnly(list, FindRow(list, L"Vro Graphics C"));
        EXPECT_TRUE(Modal<CImgDisplayDrvPropertyDlg>::Run(
            [&] { Click(page, 1004); },
            [&](CImgDisplayDrvPropertyDlg* sheet) {
              HWND info = GetDlgItem(sheet->m_hWnd, 157);
              ASSERT_TRUE(info && IsWindowVisible(info));
              HWND files = GetDlgItem(info, 1024);
              std::vector<std::wstring> texts;
              for (int i = 0; i < ListView_GetItemCount(files); ++i)
                texts.push_back(Cell(files, i, 0));
              EXPECT_EQ((std::vector<std::wstring>{L"C:\\Windows\\System32\\drivers\\vrowow.sys",
                                                   L"C:\\Windows\\SysWOW64\\wowum.dll",
                                                   L"C:\\Windows\\SysWOW64\\wowonly.dll"}),
                        texts)
                  << "a WoW name in SysWOW64; a listed name found only there; none for nowhere";
              EXPECT_EQ(0, Param(files, 0));
              EXPECT_EQ(1, Param(files, 1)) << "missing: red";
              EXPECT_EQ(L"硬件ID：", Text(info, 1000));
              EXPECT_EQ(L"VEN_8080&DEV_0009", Text(info, 1025)) << "no store folder: the id";
              Click(sheet->m_hWnd, IDOK);
            }));
      }));
}

}  // namespace
