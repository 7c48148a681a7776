// The driver setup dialogs on real windows over a Windows 7 x64 image and a
// store filled by the import: checks and buttons, the in-place version
// choice, delete, install through the dialog (by messages and by X pointer
// clicks), the result count and the failure line.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StoreTestUtil.h"
#include "driverui/DriverIcons.h"
#include "driverui/SetupDrvDlg.h"
#include "resources/ResourceIds.h"
#include "ui/controls/ListView.h"

namespace {

// The pixels of one image of a list, drawn on white.
std::vector<DWORD> Pixels(HIMAGELIST list, int index) {
  int cx = 0, cy = 0;
  ImageList_GetIconSize(list, &cx, &cy);
  BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), cx, -cy, 1, 32, BI_RGB}};
  void* bits = nullptr;
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, bitmap);
  RECT all = {0, 0, cx, cy};
  FillRect(dc, &all, HBRUSH(GetStockObject(WHITE_BRUSH)));
  ImageList_Draw(list, index, dc, 0, 0, ILD_NORMAL);
  GdiFlush();
  std::vector<DWORD> pixels(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + cx * cy);
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return pixels;
}

class SetupDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    disk = rt::MakeWinDisk("--arch x64 --version 6.1.7601.17514");
    it::PrepareOwnAdapter(disk, false);
    root = disk.dir + "/store";
    st::SetStoreRoot(vt::ToWin(root));
    parent.m_hInstance = GetModuleHandleW(nullptr);
    ASSERT_GE(image.OpenImage(disk.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, image.LoadHives(1));
  }
  void TearDown() override {
    DeleteFileW(st::SettingsFile().c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VroMount");
  }
  void ImportNet() {
    ASSERT_EQ(1u, st::ImportIntoStore(&image, kStoreNetwork, 0x400601,
                                      st::SamplePackage(disk.dir, "pkg", "vronet.inf")));
  }
  // Runs the network dialog; returns its result.
  INT_PTR Run(std::function<void(CSetupDrvDlg*)> body) {
    INT_PTR result = -2;
    EXPECT_TRUE(st::RunModal<CSetupDrvDlg>(
        [&] {
          result = (new CSetupNetworkDrvDlg(&image))->Create(&parent, IDD_SETUP_DRV, TRUE, 0);
        },
        body));
    return result;
  }
  static bool Enabled(CSetupDrvDlg* dlg, int id) { return IsWindowEnabled(dlg->Item(id)) != 0; }
  rt::WinDisk disk;
  std::string root;
  CWindow parent;
  CMountedImage image;
};

// A store without the image's target folder: an empty list, only import and
// "..." usable. Checks drive install, delete and the radios; configure
// follows the selection.
TEST_F(SetupDlgTest, EmptyStoreAndButtonStates) {
  EXPECT_EQ(0, Run([&](CSetupDrvDlg* dlg) {
              EXPECT_EQ(0, st::Rows(dlg->List()));
              for (int id : {1034, 1003, 1004, 1055, 1056, 1057, 1058})
                EXPECT_FALSE(Enabled(dlg, id)) << id;
              EXPECT_TRUE(Enabled(dlg, 1016));
              EXPECT_TRUE(Enabled(dlg, 1054));
              EXPECT_FALSE(GetWindowLongW(dlg->Item(1055), GWL_STYLE) & WS_VISIBLE)
                  << "the network dialog always copies";
              EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(dlg->m_hWnd, 1056));
              PostMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
            }));
  ImportNet();
  EXPECT_EQ(0, Run([&](CSetupDrvDlg* dlg) {
              HWND list = dlg->List();
              ASSERT_EQ(1, st::Rows(list));
              // A network package shows the network card, as in the store manager.
              HIMAGELIST shown = ListView_GetImageList(list, LVSIL_SMALL);
              HIMAGELIST card = ImageList_Create(48, 48, ILC_COLOR32 | ILC_MASK, 1, 0);
              const int net = kIconNetwork;
              ASSERT_EQ(1, AppendDriverIcons(card, GetModuleHandleW(nullptr), &net, 1, 16));
              EXPECT_EQ(Pixels(card, 0), Pixels(shown, ListGetItemImage(list, 0)));
              ImageList_Destroy(card);
              dlg->SetChecked(0, true);
              uitest::Pump();
              for (int id : {1034, 1003, 1055, 1056, 1057, 1058})
                EXPECT_TRUE(Enabled(dlg, id)) << id;
              EXPECT_FALSE(Enabled(dlg, 1004)) << "nothing selected";
              dlg->SetChecked(0, false);
              st::Select(list, 0);
              for (int id : {1034, 1003}) EXPECT_FALSE(Enabled(dlg, id)) << id;
              EXPECT_TRUE(Enabled(dlg, 1004));
              SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_SETUP_CHECK_ALL, 0);
              EXPECT_TRUE(dlg->IsChecked(0));
              SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_SETUP_INVERT_CHECKS, 0);
              EXPECT_FALSE(dlg->IsChecked(0));
              PostMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
            }));
}

// Two version folders without NConfig.ini: the higher shows, with a version
// drop-down that Esc commits; deleting one of two versions keeps the row on
// the other; installing the checked row closes the dialog with 1; a second
// install of the same device fails with the red line and stays open.
TEST_F(SetupDlgTest, VersionsDeleteAndInstall) {
  ImportNet();
  const std::string pkg = root + "/Network/6.1_x64/VEN_8086&DEV_10D3";
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(pkg) +
                      " && rm -f NConfig.ini && cp -r 12.18.9.7 12.19.0.0 &&"
                      " cp -r 12.18.9.7 9.0.0.0"));
  EXPECT_EQ(1, Run([&](CSetupDrvDlg* dlg) {
              HWND list = dlg->List(), versions = dlg->Item(1035);
              ASSERT_EQ(1, st::Rows(list));
              EXPECT_EQ(L"12.19.0.0", st::Cell(list, 0, 1));
              st::Select(list, 0);
              st::ClickCell(dlg, list, 0, 1, 1);
              ASSERT_TRUE(SendMessageW(versions, CB_GETDROPPEDSTATE, 0, 0));
              EXPECT_EQ(3, SendMessageW(versions, CB_GETCOUNT, 0, 0));
              SendMessageW(versions, CB_SETCURSEL,
                           SendMessageW(versions, CB_FINDSTRINGEXACT, -1, (LPARAM)L"9.0.0.0"), 0);
              SendMessageW(dlg->m_hWnd, WM_COMMAND, IDCANCEL, 0);
              uitest::Pump();
              ASSERT_TRUE(IsWindow(dlg->m_hWnd));
              EXPECT_EQ(L"9.0.0.0", st::Cell(list, 0, 1));
              dlg->SetChecked(0, true);
              st::AnswerBox(IDYES, [&] { SendMessageW(dlg->m_hWnd, WM_COMMAND, 1003, 0); });
              ASSERT_EQ(1, st::Rows(list));
              EXPECT_EQ(L"12.19.0.0", st::Cell(list, 0, 1)) << "the newest left";
              dlg->SetChecked(0, true);
              SendMessageW(dlg->m_hWnd, WM_COMMAND, 1034, 0);
            }));
  EXPECT_EQ(0, vt::Sh("test ! -e " + vt::Q(pkg + "/9.0.0.0")));
  EXPECT_EQ("[Config]\r\nVersion=12.19.0.0\r\n", st::FileText(vt::ToWin(pkg + "/NConfig.ini")));
  EXPECT_EQ(L"VroNic", rt::QueryString(image,
                                       L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\PCI\\"
                                       L"VEN_8086&DEV_10D3\\VRO&Node&Pnp",
                                       L"Service"));
  EXPECT_EQ(0, Run([&](CSetupDrvDlg* dlg) {
              dlg->SetChecked(0, true);
              st::AnswerBox(IDOK, [&] { SendMessageW(dlg->m_hWnd, WM_COMMAND, 1034, 0); });
              EXPECT_NE(std::wstring::npos,
                        st::g_boxText.find(L"the image has the device instance "
                                           L"PCI\\VEN_8086&DEV_10D3\\VRO&Node&Pnp already"))
                  << vt::Narrow(st::g_boxText);
              uitest::Pump();
              ASSERT_TRUE(IsWindow(dlg->m_hWnd)) << "nothing installed: the dialog stays";
              EXPECT_TRUE(GetWindowLongW(dlg->Item(1000), GWL_STYLE) & WS_VISIBLE);
              wchar_t line[200];
              GetDlgItemTextW(dlg->m_hWnd, 1000, line, 200);
              EXPECT_EQ(L"没有安装任何驱动，原因见提示。", std::wstring(line));
              PostMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
            }));
}

// A session through the X display: the pointer ticks the package's check
// box and presses the install button.
TEST_F(SetupDlgTest, PointerSessionInstalls) {
  ImportNet();
  EXPECT_EQ(1, Run([&](CSetupDrvDlg* dlg) {
              HWND list = dlg->List();
              ShowWindow(dlg->m_hWnd, SW_SHOW);
              SetForegroundWindow(dlg->m_hWnd);
              uitest::Pump();
              RECT row = {LVIR_BOUNDS};
              SendMessageW(list, LVM_GETITEMRECT, 0, (LPARAM)&row);
              POINT box = {row.left + 6, row.top + (row.bottom - row.top) / 4};
              ClientToScreen(list, &box);
              vt::Sh("xdotool mousemove " + std::to_string(box.x) + " " + std::to_string(box.y) +
                     " click 1");
              uitest::WaitFor([&] { return dlg->IsChecked(0); }, 3000);
              if (!dlg->IsChecked(0)) {
                ADD_FAILURE() << "the click did not tick the box";
                PostMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
                return;
              }
              RECT shot;
              GetWindowRect(dlg->m_hWnd, &shot);
              uitest::Screenshot(shot, vt::BinaryDirUnix() + "/driverui-setup-2052.png");
              RECT button;
              GetWindowRect(dlg->Item(1034), &button);
              vt::Sh("xdotool mousemove " + std::to_string((button.left + button.right) / 2) + " " +
                     std::to_string((button.top + button.bottom) / 2) + " click 1");
            }));
  EXPECT_EQ(L"VroNic", rt::QueryString(image,
                                       L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\PCI\\"
                                       L"VEN_8086&DEV_10D3\\VRO&Node&Pnp",
                                       L"Service"));
}

}  // namespace

namespace {

// The display dialog's import on a store without a Display folder: the
// tree is made, Esc and the close box do nothing meanwhile, the close entry
// and the action controls are grey, and afterwards only what the checks
// allow comes back.
TEST_F(SetupDlgTest, DisplayImportMakesTheTreeAndHoldsTheWindow) {
  static std::wstring files;
  static HANDLE gate;
  static volatile LONG picked;
  files = st::SamplePackage(disk.dir, "g", "vrodisp.inf") + std::wstring(L"\0\0", 2);
  gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  picked = 0;
  StoreInfPicker old = SetStoreInfPicker([](HWND, wchar_t* buffer, DWORD, const wchar_t*) {
    memcpy(buffer, files.data(), files.size() * sizeof(wchar_t));
    InterlockedExchange(&picked, 1);
    WaitForSingleObject(gate, 10000);
    return TRUE;
  });
  INT_PTR result = -2;
  ASSERT_TRUE(st::RunModal<CSetupDrvDlg>(
      [&] { result = (new CSetupDisplayDrvDlg(&image))->Create(&parent, IDD_SETUP_DRV, TRUE, 0); },
      [&](CSetupDrvDlg* dlg) {
        EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(dlg->m_hWnd, 1055)) << "links by default";
        SendMessageW(dlg->m_hWnd, WM_COMMAND, 1016, 0);
        ASSERT_TRUE(uitest::WaitFor([] { return picked != 0; }));
        for (int id : {1016, 1034, 1004, 1003, 1054, 1001, 1055, 1056, 1057, 1058})
          EXPECT_FALSE(Enabled(dlg, id)) << id;
        EXPECT_TRUE(GetMenuState(GetSystemMenu(dlg->m_hWnd, FALSE), SC_CLOSE, MF_BYCOMMAND) &
                    MF_GRAYED);
        SendMessageW(dlg->m_hWnd, WM_COMMAND, IDCANCEL, 0);
        SendMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
        uitest::Pump();
        EXPECT_TRUE(IsWindow(dlg->m_hWnd));
        SetEvent(gate);
        ASSERT_TRUE(uitest::WaitFor([&] { return dlg->m_busy == 0 && Enabled(dlg, 1054); }, 20000));
        uitest::WaitFor([&] { return Enabled(dlg, 1004); }, 2000);
        ASSERT_EQ(1, st::Rows(dlg->List()));
        EXPECT_EQ(L"Vro Display Adapter", st::Cell(dlg->List(), 0, 0));
        EXPECT_TRUE(Enabled(dlg, 1004)) << "the imported row is selected";
        EXPECT_FALSE(Enabled(dlg, 1034)) << "nothing checked";
        EXPECT_FALSE(GetMenuState(GetSystemMenu(dlg->m_hWnd, FALSE), SC_CLOSE, MF_BYCOMMAND) &
                     MF_GRAYED);
        PostMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
      }));
  SetStoreInfPicker(old);
  CloseHandle(gate);
  EXPECT_EQ(0, result);
  EXPECT_EQ(0, vt::Sh("test -f " + vt::Q(root + "/Display/6.1_x64/VroDir.ini")));
}

}  // namespace

namespace {

// Where the install button or the import can do nothing, the dialog says
// why: an image without the adapter configuration a new adapter takes
// over, and an INF the store turns away.
TEST_F(SetupDlgTest, TellsWhyNothingHappens) {
  ImportNet();
  const std::wstring services = L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\services\\";
  for (const wchar_t* k : {L"VRONDIS", L"Tcpip"})
    ASSERT_EQ(REG_STATUS_OK, image.RegDeleteKey((services + k).c_str()));
  static std::wstring files;
  files = st::SamplePackage(disk.dir, "g", "vrodisp.inf") + std::wstring(L"\0\0", 2);
  StoreInfPicker old = SetStoreInfPicker([](HWND, wchar_t* buffer, DWORD, const wchar_t*) {
    memcpy(buffer, files.data(), files.size() * sizeof(wchar_t));
    return TRUE;
  });
  EXPECT_EQ(0, Run([&](CSetupDrvDlg* dlg) {
              dlg->SetChecked(0, true);
              st::AnswerBox(IDOK, [&] { SendMessageW(dlg->m_hWnd, WM_COMMAND, 1034, 0); });
              EXPECT_NE(std::wstring::npos, st::g_boxText.find(
                  L"(-6): the image has no adapter configuration prepared for a new adapter"))
                  << vt::Narrow(st::g_boxText);
              EXPECT_NE(std::wstring::npos, st::g_boxText.find(
                  L"映像中没有为新网卡准备的网卡配置，无法安装：需要同一 GUID 的 "
                  L"Tcpip\\Parameters\\Interfaces、Tcpip\\Parameters\\Adapters 键，以及 "
                  L"VRONDIS\\Parameters\\Adapters（Windows 10 为 "
                  L"VRO_LWF\\Parameters\\NdisAdapters）键。"))
                  << "what the image lacks";
              EXPECT_TRUE(IsWindow(dlg->m_hWnd));
              // A display package offered to the network store.
              st::AnswerBox(IDOK, [&] {
                SendMessageW(dlg->m_hWnd, WM_COMMAND, 1016, 0);
                uitest::WaitFor([] { return !st::g_boxText.empty(); }, 20000);
              });
              EXPECT_EQ(L"以下驱动未能导入（不是本类设备的驱动、没有适用于该系统的设备，或缺少括号中的文件）：\r\n"
                        L"vrodisp.inf\r\n",
                        st::g_boxText);
              PostMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
            }));
  SetStoreInfPicker(old);
  EXPECT_NE(L"VroNic",
            rt::QueryString(image,
                            L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\PCI\\"
                            L"VEN_8086&DEV_10D3\\VRO&Node&Pnp",
                            L"Service"))
      << "nothing installed";
}

}  // namespace
