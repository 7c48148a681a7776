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
#include "infinstall/DriverCache.h"
#include "infinstall/driverpack/DriverPackInjection.h"
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

// Layouts whose value is quoted at both ends, the quotes being each
// field's: the disk's own folder (""), a path ("\x64"), a path after a tag,
// the same in the .amd64 section, and a file entry ("1","sub"). Each package
// (its own device, service and files) is imported through the dialog's
// import and installed through the dialog, each file read back by ntfscat.
TEST_F(SetupDlgTest, QuotedLayoutsImportedAndInstalled) {
  struct Layout {
    const char* arrange;  // run in the package folder, its files named vroqN
    const char* sed;      // run over the sample before the names change
  };
  const Layout layouts[] = {
      {"true", "s/^1 = %DiskName%,,,$/1=\"%DiskName%\",,,\"\"/"},
      {"mkdir x64 && mv vroq* x64/", "s/^1 = %DiskName%,,,$/1=\"%DiskName%\",,,\"\\\\x64\"/"},
      {"mkdir drv && mv vroq* drv/", "s/^1 = %DiskName%,,,$/1=\"%DiskName%\",tag,,\"\\\\drv\"/"},
      {"mkdir amd64 && mv vroq* amd64/",
       "s/^\\[SourceDisksNames\\]$/[SourceDisksNames.amd64]\\n1=\"%DiskName%\",,,\"\\\\amd64\"\\n\\n&/"},
      {"mkdir sub && mv vroq*.sys sub/", "s/^vronic.sys = 1$/vronic.sys=\"1\",\"sub\"/"},
  };
  static std::wstring files;
  files = L"Z:\\" + std::wstring(L"\0", 1);
  std::vector<std::string> sums;
  for (int n = 1; n <= 5; ++n) {
    const Layout& l = layouts[n - 1];
    const std::string q = "vroq" + std::to_string(n), folder = "q" + std::to_string(n);
    const std::wstring inf = st::SamplePackage(
        disk.dir, folder, "vronet.inf",
        std::string(l.sed) + ";s/DEV_10D3/DEV_10E" + std::to_string(n) + "/g;s/vronic/" + q +
            "/g;s/VroNic/Vroq" + std::to_string(n) + "/g");
    std::string sum;
    ASSERT_EQ(0, vt::Sh("cd " + vt::Q(disk.dir + "/" + folder) + " && mv vronic.sys " + q +
                            ".sys && mv vronic.dll " + q + ".dll && sha256sum " + q +
                            ".sys | cut -c1-64 && " + l.arrange,
                        &sum));
    sums.push_back(sum.substr(0, 64));
    files += inf.substr(3) + std::wstring(L"\0", 1);
    // An adapter configuration prepared for each new adapter.
    wchar_t guid[64];
    _snwprintf(guid, 64, L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F%u}", n);
    guid[63] = 0;
    for (const wchar_t* k : {L"VRONDIS\\Parameters\\Adapters\\", L"Tcpip\\Parameters\\Interfaces\\",
                             L"Tcpip\\Parameters\\Adapters\\"})
      image.RegCreateKey(
          (std::wstring(L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\services\\") + k + guid)
              .c_str());
  }
  files.push_back(0);
  StoreInfPicker old = SetStoreInfPicker([](HWND, wchar_t* buffer, DWORD, const wchar_t*) {
    memcpy(buffer, files.data(), files.size() * sizeof(wchar_t));
    return TRUE;
  });
  EXPECT_EQ(5, Run([&](CSetupDrvDlg* dlg) {
              st::AnswerBox(IDOK, [&] {
                SendMessageW(dlg->m_hWnd, WM_COMMAND, 1016, 0);
                uitest::WaitFor([&] { return dlg->m_busy == 0 && Enabled(dlg, 1054); }, 60000);
              });
              EXPECT_EQ(L"", st::g_boxText) << "no layout refused";
              if (st::Rows(dlg->List()) != 5) {
                ADD_FAILURE() << st::Rows(dlg->List()) << " rows";
                PostMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
                return;
              }
              for (int row = 0; row < 5; ++row) dlg->SetChecked(row, true);
              st::AnswerBox(IDOK, [&] { SendMessageW(dlg->m_hWnd, WM_COMMAND, 1034, 0); });
              EXPECT_EQ(L"", st::g_boxText);
              if (!st::g_boxText.empty()) PostMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
            }));
  SetStoreInfPicker(old);
  ASSERT_TRUE(image.UnloadHives());
  ASSERT_TRUE(image.Close());
  const std::string system =
      rt::NtfsCat(disk, disk.unixPath, "/Windows/System32/config/SYSTEM", disk.dir + "/SYSTEM");
  for (int n = 1; n <= 5; ++n) {
    SCOPED_TRACE(n);
    const std::string q = "vroq" + std::to_string(n);
    const std::string placed = rt::NtfsCat(disk, disk.unixPath, "/Windows/System32/Drivers/" + q +
                                                                    ".sys",
                                           disk.dir + "/" + q + ".placed");
    EXPECT_EQ(sums[n - 1], vt::Sha256(vt::ToWin(placed)));
    EXPECT_EQ("System32\\Drivers\\" + q + ".sys",
              rt::HivexGet(system, "ControlSet001\\services\\Vroq" + std::to_string(n),
                           "ImagePath"));
  }
}

// A store package whose install section takes a section of an INF beside
// it (Include, Needs), or copies a single file: the dialog reads it as the
// batch installation does. A file that leaves the package folder, given by
// "@" or by the included INF, refuses the package naming it; the included
// section's file is placed, and the image holds what the batch
// installation of the same package gives on a twin image.
TEST_F(SetupDlgTest, PackageReadAsTheBatchInstallationReadsIt) {
  ImportNet();
  const std::wstring version =
      vt::ToWin(root) + L"\\Network\\6.1_x64\\VEN_8086&DEV_10D3\\12.18.9.7";
  const std::wstring instance =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D3\\VRO&Node&Pnp";
  ASSERT_EQ(0, vt::Sh("printf escaped > " + vt::Q(root + "/vroesc.sys")));
  auto refused = [&](const std::wstring& name) {
    EXPECT_EQ(0, Run([&](CSetupDrvDlg* dlg) {
                dlg->SetChecked(0, true);
                st::AnswerBox(IDOK, [&] { SendMessageW(dlg->m_hWnd, WM_COMMAND, 1034, 0); });
                EXPECT_NE(std::wstring::npos, st::g_boxText.find(L"(-9): ")) << vt::Narrow(st::g_boxText);
                EXPECT_NE(std::wstring::npos, st::g_boxText.find(name)) << vt::Narrow(st::g_boxText);
                EXPECT_NE(std::wstring::npos, st::g_boxText.find(L"\\VroPnp.inf)"))
                    << "the package's INF, no file of the program: " << vt::Narrow(st::g_boxText);
                uitest::Pump();
                EXPECT_TRUE(IsWindow(dlg->m_hWnd));
                PostMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
              }));
    EXPECT_NE(L"VroNic", rt::QueryString(image, instance.c_str(), L"Service")) << "nothing installed";
    EXPECT_EQ(0, image.GetPathType(L"\\Windows\\System32\\Drivers\\vroesc.sys"));
  };
  for (const char* escape : {"@..\\..\\..\\..\\vroesc.sys", "@Z:\\vroesc.sys"}) {
    SCOPED_TRACE(escape);
    it::EditCombinedInf(version, "CopyFiles=VroNic.CopyFiles",
                        std::string("CopyFiles=VroNic.CopyFiles,") + escape);
    refused(std::wstring(escape + 1, escape + strlen(escape)));
    it::EditCombinedInf(version, std::string("CopyFiles=VroNic.CopyFiles,") + escape,
                        "CopyFiles=VroNic.CopyFiles");
  }
  it::IncludeExtraInf(version, "vroneeds.sys,..\\..\\..\\..\\vroesc.sys");
  refused(L"..\\..\\..\\..\\vroesc.sys");
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(vt::ToUnix(version)) +
                      " && sed -i 's/,\\.\\..*vroesc\\.sys//' vroextra.inf"));
  EXPECT_EQ(1, Run([&](CSetupDrvDlg* dlg) {
              dlg->SetChecked(0, true);
              st::AnswerBox(IDOK, [&] { SendMessageW(dlg->m_hWnd, WM_COMMAND, 1034, 0); });
              EXPECT_EQ(L"", st::g_boxText);
              if (!st::g_boxText.empty()) PostMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
            }));
  ASSERT_TRUE(image.UnloadHives());
  ASSERT_TRUE(image.Close());

  // The same package through the batch installation, on a twin image.
  rt::WinDisk twin =
      rt::MakeWinDisk("--arch x64 --version 6.1.7601.17514", "mbr2048", "raw", "", "disk.img",
                      "batch");
  it::PrepareOwnAdapter(twin, false);
  wchar_t cache[360];
  FormatDriverCachePath(0, L"VEN_8086&DEV_10D3", cache);
  DeleteFileW(cache);
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(twin.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(kDriverPackInstalled,
              InstallHardwareDriverPack(&m, kDriverPackNetwork, L"VEN_8086&DEV_10D3", L"007",
                                        nullptr, nullptr, 0, 0));
  }
  DeleteFileW(cache);
  for (const char* file : {"vronic.sys", "vroneeds.sys"}) {
    const std::string path = std::string("/Windows/System32/Drivers/") + file;
    const std::string mine = rt::NtfsCat(disk, disk.unixPath, path, disk.dir + "/mine-" + file);
    const std::string batch = rt::NtfsCat(twin, twin.unixPath, path, twin.dir + "/batch-" + file);
    EXPECT_EQ(vt::Sha256(version + L"\\" + std::wstring(file, file + strlen(file))),
              vt::Sha256(vt::ToWin(mine)))
        << file;
    EXPECT_EQ(vt::Sha256(vt::ToWin(batch)), vt::Sha256(vt::ToWin(mine))) << file;
  }
  const std::string files = "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}"
                            "\\0000\\Files";
  const std::string mine =
      rt::NtfsCat(disk, disk.unixPath, "/Windows/System32/config/SYSTEM", disk.dir + "/SYSTEM");
  const std::string batch =
      rt::NtfsCat(twin, twin.unixPath, "/Windows/System32/config/SYSTEM", twin.dir + "/SYSTEM");
  EXPECT_EQ("VroNic", rt::HivexGet(mine, "ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D3\\VRO&Node&Pnp",
                                   "Service"));
  EXPECT_EQ(rt::HivexGet(batch, files, "vroneeds.sys"), rt::HivexGet(mine, files, "vroneeds.sys"));
  EXPECT_NE("<missing>", rt::HivexGet(mine, files, "vroneeds.sys"));
}

}  // namespace
