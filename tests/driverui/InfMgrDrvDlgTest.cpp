// The driver-store manager on real windows: its target combo and pages over a
// store laid out by the test, driven by messages from inside its modal loop;
// the store's files are read back after each command.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "StoreTestUtil.h"
#include "driverui/InfDrvListDlg.h"
#include "driverui/InfMgrDrvDlg.h"
#include "ui/controls/ListView.h"

namespace {

struct Device {
  const char* name;
  const char* section;
  const char* id;  // with enumerator
};

// <root>/<cls>/<target>/<pkg>/<ver>/{VroPnp.inf,VroPnp.ini} as the import
// leaves them, and the package's index section.
void MakeVersion(const std::string& root, const std::string& folder, const std::string& pkg,
                 const std::string& ver, const std::vector<Device>& devices, bool own = false) {
  std::string dir = root + "/" + folder + "/" + pkg + "/" + ver;
  std::string ini = "[DeviceList]\n", ids = "[PCI]\n";
  for (const Device& d : devices) {
    ini += std::string("\"") + d.name + "\"=" + d.section + "," + d.id + "\n";
    ids += std::string(d.id).substr(4) + "\n";
  }
  st::WriteUtf16(dir + "/VroPnp.ini", ini + ids);
  st::WriteUtf16(dir + "/VroPnp.inf",
                 std::string("[Version]\nClass=Net\n") + (own ? "Vro=1\n" : ""));
}

void MakeIndex(const std::string& root, const std::string& folder, const std::string& text) {
  st::WriteUtf16(root + "/" + folder + "/VroDir.ini", text);
}

class InfMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = vt::ScratchDirUnix();
    root = dir + "/store";
    st::SetStoreRoot(vt::ToWin(root));
    const std::string net = "Network/6.1_x64";
    MakeVersion(root, net, "PkgA", "1.0",
                {{"Dev A", "SecA", "PCI\\VEN_1&DEV_A"}, {"Dev B", "SecB", "PCI\\VEN_1&DEV_B"}});
    MakeVersion(root, net, "PkgA", "2.0", {{"Dev A2", "SecA2", "PCI\\VEN_1&DEV_A"}});
    ASSERT_EQ(0, vt::Sh("printf '[Config]\\r\\nVersion=1.0\\r\\n[History]\\r\\n007=x\\r\\n' > " +
                        vt::Q(root + "/" + net + "/PkgA/NConfig.ini")));
    MakeVersion(root, net, "PkgB", "3.0", {{"Dev C", "SecC", "PCI\\VEN_2&DEV_C"}});
    MakeVersion(root, net, "PkgGone", "1.0", {{"Dev G", "SecG", "PCI\\VEN_3&DEV_G"}});
    ASSERT_EQ(0, vt::Sh("printf '[Config]\\r\\nVersion=9.9\\r\\n' > " +
                        vt::Q(root + "/" + net + "/PkgGone/NConfig.ini")));
    MakeVersion(root, net, "PkgOwn", "1.0", {{"Vro Own", "SecO", "ROOT\\VRO_OWN"}}, true);
    MakeIndex(root, net,
              "[PCI\\PkgA]\nVEN_1&DEV_A\nVEN_1&DEV_B\n[PCI\\PkgB]\nVEN_2&DEV_C\n[ROOT\\PkgOwn]\n"
              "VRO_OWN\n");
    MakeVersion(root, "Network/5.2_x86", "PkgX", "1.0", {{"Dev X", "SecX", "PCI\\VEN_9&DEV_X"}});
    MakeVersion(root, "Display/6.1_x64", "PkgD", "1.0", {{"Dev D", "SecD", "PCI\\VEN_4&DEV_D"}});
    parent.m_hInstance = GetModuleHandleW(nullptr);
  }
  void TearDown() override {
    DeleteFileW(st::SettingsFile().c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VroMount");
  }
  // Runs the manager for a target without an image.
  void Run(uint32_t target, std::function<void(CInfMgrDrvDlg*)> body) {
    ASSERT_TRUE(st::RunModal<CInfMgrDrvDlg>([&] { new CInfMgrDrvDlg(&parent, target, nullptr); },
                                            [&](CInfMgrDrvDlg* dlg) {
                                              body(dlg);
                                              PostMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
                                            }));
  }
  std::string File(const std::string& rel) { return st::FileText(vt::ToWin(root + "/" + rel)); }
  std::string dir, root;
  CWindow parent;
};

std::wstring ComboText(HWND combo) {
  int sel = (int)SendMessageW(combo, CB_GETCURSEL, 0, 0);
  if (sel < 0) return L"<none>";
  wchar_t text[100];
  SendMessageW(combo, CB_GETLBTEXT, sel, (LPARAM)text);
  return text;
}

// Target word 0 and a word that is no row of the table; the pages list the
// target's folder, a missing version folder hides its package, a version
// switch rebuilds both pages and keeps the column widths.
TEST_F(InfMgrTest, TargetsAndPackageRows) {
  Run(0, [&](CInfMgrDrvDlg* dlg) {
    HWND combo = GetDlgItem(dlg->m_hWnd, 1032);
    EXPECT_EQ(L"Windows 7 x64 (6.1)", ComboText(combo));
    EXPECT_EQ(12, SendMessageW(combo, CB_GETCOUNT, 0, 0));
    HWND list = dlg->m_netPage->List();
    ASSERT_EQ(3, st::Rows(list)) << "PkgGone names a version it does not have";
    int a = st::FindRow(list, L"\\PkgA\\");
    ASSERT_GE(a, 0);
    EXPECT_EQ(L"Dev A", st::Cell(list, a, 0)) << "the first device without a choice";
    EXPECT_EQ(L"1.0", st::Cell(list, a, 1)) << "NConfig.ini's version, not the newest";
    EXPECT_EQ(L"VEN_1&DEV_A", st::Cell(list, a, 2));
    EXPECT_EQ(L"SecA", st::Cell(list, a, 3));
    EXPECT_EQ(vt::ToWin(root) + L"\\Network\\6.1_x64\\PkgA\\1.0\\VroPnp.inf", st::Cell(list, a, 4));
    EXPECT_EQ(3, ListGetItemImage(list, st::FindRow(list, L"PkgOwn")));
    EXPECT_EQ(0, ListGetItemImage(list, a));
    HWND display = dlg->m_displayPage->List();
    ASSERT_EQ(1, st::Rows(display));
    EXPECT_EQ(L"Dev D", st::Cell(display, 0, 0));
    EXPECT_TRUE(GetWindowLongW(dlg->m_netPage->m_hWnd, GWL_STYLE) & WS_VISIBLE);
    EXPECT_FALSE(GetWindowLongW(dlg->m_displayPage->m_hWnd, GWL_STYLE) & WS_VISIBLE);
    NMHDR change = {GetDlgItem(dlg->m_hWnd, 1018), 1018, (UINT)TCN_SELCHANGE};
    TabCtrl_SetCurSel(change.hwndFrom, 1);
    SendMessageW(dlg->m_hWnd, WM_NOTIFY, 1018, (LPARAM)&change);
    EXPECT_FALSE(GetWindowLongW(dlg->m_netPage->m_hWnd, GWL_STYLE) & WS_VISIBLE);
    EXPECT_TRUE(GetWindowLongW(dlg->m_displayPage->m_hWnd, GWL_STYLE) & WS_VISIBLE);

    SendMessageW(list, LVM_SETCOLUMNWIDTH, 0, 201);
    SendMessageW(combo, CB_SETCURSEL, 11, 0);  // Windows XP x86 (5.1): an empty folder
    SendMessageW(dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(1032, CBN_SELCHANGE), (LPARAM)combo);
    EXPECT_EQ(0, st::Rows(list));
    EXPECT_EQ(0, st::Rows(display));
    EXPECT_EQ(201, SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0));
    EXPECT_EQ(0x560501u, dlg->m_netPage->Target());
  });
  Run(0x560502, [&](CInfMgrDrvDlg* dlg) {
    EXPECT_EQ(L"<none>", ComboText(GetDlgItem(dlg->m_hWnd, 1032)));
    HWND list = dlg->m_netPage->List();
    ASSERT_EQ(1, st::Rows(list));
    EXPECT_EQ(L"Dev X", st::Cell(list, 0, 0));
    EXPECT_EQ(201, SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0)) << "the saved width";
  });
}

// The in-place choices: Esc during a drop-down takes the shown version and
// keeps the window; only [Config] "Version" changes; a single version and a
// single device open nothing; a device choice rewrites [DeviceSelected].
TEST_F(InfMgrTest, VersionAndDeviceChoices) {
  const std::string nconfig = "Network/6.1_x64/PkgA/NConfig.ini";
  Run(0x400601, [&](CInfMgrDrvDlg* dlg) {
    CInfDrvListDlg* page = dlg->m_netPage;
    HWND list = page->List(), versions = page->Item(1035), devices = page->Item(1036);
    int a = st::FindRow(list, L"\\PkgA\\");
    st::Select(list, a);
    st::ClickCell(page, list, a, 1, 1);
    ASSERT_TRUE(SendMessageW(versions, CB_GETDROPPEDSTATE, 0, 0));
    ASSERT_EQ(2, SendMessageW(versions, CB_GETCOUNT, 0, 0));
    SendMessageW(versions, CB_SETCURSEL,
                 SendMessageW(versions, CB_FINDSTRINGEXACT, -1, (LPARAM)L"2.0"), 0);
    SendMessageW(dlg->m_hWnd, WM_COMMAND, IDCANCEL, 0);
    uitest::Pump();
    EXPECT_TRUE(IsWindow(dlg->m_hWnd)) << "Esc closed the drop-down, not the window";
    EXPECT_FALSE(SendMessageW(versions, CB_GETDROPPEDSTATE, 0, 0));
    a = st::FindRow(list, L"\\PkgA\\");
    EXPECT_EQ(L"2.0", st::Cell(list, a, 1));
    EXPECT_EQ(L"Dev A2", st::Cell(list, a, 0)) << "the row is read from the chosen version";
    EXPECT_EQ("[Config]\r\nVersion=2.0\r\n[History]\r\n007=x\r\n", File(nconfig));

    int b = st::FindRow(list, L"\\PkgB\\");
    st::Select(list, b);
    st::ClickCell(page, list, b, 1, 1);
    EXPECT_FALSE(SendMessageW(versions, CB_GETDROPPEDSTATE, 0, 0)) << "one version";
    st::ClickCell(page, list, b, 0, 60);
    EXPECT_FALSE(SendMessageW(devices, CB_GETDROPPEDSTATE, 0, 0)) << "one device";

    // Back to 1.0, then device B chosen.
    a = st::FindRow(list, L"\\PkgA\\");
    st::Select(list, a);
    st::ClickCell(page, list, a, 1, 1);
    SendMessageW(versions, CB_SETCURSEL,
                 SendMessageW(versions, CB_FINDSTRINGEXACT, -1, (LPARAM)L"1.0"), 0);
    SendMessageW(page->m_hWnd, WM_COMMAND, MAKEWPARAM(1035, CBN_SELCHANGE), (LPARAM)versions);
    SendMessageW(versions, CB_SHOWDROPDOWN, FALSE, 0);
    st::ClickCell(page, list, a, 0, 60);
    ASSERT_TRUE(SendMessageW(devices, CB_GETDROPPEDSTATE, 0, 0));
    ASSERT_EQ(2, SendMessageW(devices, CB_GETCOUNT, 0, 0));
    EXPECT_EQ(L"Dev A", ComboText(devices));
    SendMessageW(devices, CB_SETCURSEL,
                 SendMessageW(devices, CB_FINDSTRINGEXACT, -1, (LPARAM)L"Dev B"), 0);
    SendMessageW(dlg->m_hWnd, WM_COMMAND, IDCANCEL, 0);
    uitest::Pump();
    EXPECT_EQ(L"Dev B", st::Cell(list, a, 0));
    EXPECT_EQ(L"VEN_1&DEV_B", st::Cell(list, a, 2));
  });
  EXPECT_EQ("[Config]\r\nVersion=1.0\r\n[History]\r\n007=x\r\n", File(nconfig));
  std::string ini = File("Network/6.1_x64/PkgA/1.0/VroPnp.ini");
  EXPECT_NE(std::string::npos, ini.find("[DeviceSelected]\r\n\"Dev B\"=SecB,VEN_1&DEV_B\r\n"))
      << ini;
  EXPECT_NE(std::string::npos, ini.find("\"Dev A\"=SecA,PCI\\VEN_1&DEV_A")) << "the list stays";
  // A rebuilt window shows the choice.
  Run(0x400601, [&](CInfMgrDrvDlg* dlg) {
    HWND list = dlg->m_netPage->List();
    EXPECT_EQ(L"Dev B", st::Cell(list, st::FindRow(list, L"\\PkgA\\"), 0));
  });
}

// Delete: one of two versions leaves the other chosen, the only version
// takes the package folder, its index section and its row; an own package
// survives. A store-root change reaches both pages and the settings file.
TEST_F(InfMgrTest, DeleteAndStoreRoot) {
  const std::string net = "Network/6.1_x64/";
  Run(0x400601, [&](CInfMgrDrvDlg* dlg) {
    CInfDrvListDlg* page = dlg->m_netPage;
    HWND list = page->List();
    st::Select(list, st::FindRow(list, L"\\PkgA\\"));
    st::AnswerBox(IDYES, [&] { SendMessageW(page->m_hWnd, WM_COMMAND, 1003, 0); });
    int a = st::FindRow(list, L"\\PkgA\\");
    ASSERT_GE(a, 0);
    EXPECT_EQ(L"2.0", st::Cell(list, a, 1));
    ListSelectItem(list, -1);  // all rows: PkgA 2.0, PkgB, PkgOwn
    uitest::Pump();
    st::AnswerBox(IDNO, [&] { SendMessageW(page->m_hWnd, WM_COMMAND, 1003, 0); });
    EXPECT_EQ(3, st::Rows(list)) << "No deletes nothing";
    st::AnswerBox(IDYES, [&] { SendMessageW(page->m_hWnd, WM_COMMAND, 1003, 0); });
    ASSERT_EQ(1, st::Rows(list));
    EXPECT_NE(std::wstring::npos, st::Cell(list, 0, 4).find(L"\\PkgOwn\\"));
  });
  EXPECT_EQ("<missing>", File(net + "PkgA/1.0/VroPnp.inf"));
  EXPECT_EQ(0, vt::Sh("test ! -e " + vt::Q(root + "/" + net + "PkgA")));
  EXPECT_EQ(0, vt::Sh("test ! -e " + vt::Q(root + "/" + net + "PkgB")));
  EXPECT_EQ(0, vt::Sh("test -e " + vt::Q(root + "/" + net + "PkgOwn/1.0/VroPnp.inf")));
  EXPECT_EQ("[ROOT\\PkgOwn]\r\nVRO_OWN\r\n", File(net + "VroDir.ini"));

  static std::string newRoot;
  newRoot = dir + "/other";
  MakeVersion(newRoot, "Network/6.1_x64", "PkgN", "1.0", {{"Dev N", "SecN", "PCI\\VEN_5&DEV_N"}});
  MakeVersion(newRoot, "Display/6.1_x64", "PkgM", "1.0", {{"Dev M", "SecM", "PCI\\VEN_5&DEV_M"}});
  StoreFolderPicker old = SetStoreFolderPicker([](HWND, const wchar_t*, wchar_t* out) {
    lstrcpyW(out, vt::ToWin(newRoot).c_str());
    return 1;
  });
  Run(0x400601, [&](CInfMgrDrvDlg* dlg) {
    SendMessageW(dlg->m_displayPage->m_hWnd, WM_COMMAND, 1054, 0);
    EXPECT_EQ(L"Dev N", st::Cell(dlg->m_netPage->List(), 0, 0));
    EXPECT_EQ(L"Dev M", st::Cell(dlg->m_displayPage->List(), 0, 0));
    wchar_t edit[360];
    GetDlgItemTextW(dlg->m_netPage->m_hWnd, 1002, edit, 360);
    EXPECT_EQ(vt::ToWin(newRoot), std::wstring(edit));
  });
  SetStoreFolderPicker(old);
  wchar_t saved[360];
  GetPrivateProfileStringW(L"Config", L"DrvPath", L"", saved, 360, st::SettingsFile().c_str());
  EXPECT_EQ(vt::ToWin(newRoot), std::wstring(saved));
}

// Import from the page: three INFs, the middle one of another class; the
// store tree is made on the first import; while the worker runs the
// buttons are grey and neither Esc nor the close box ends the window.
TEST_F(InfMgrTest, ImportThreeFiles) {
  static std::wstring files;
  static HANDLE gate;
  static std::atomic<bool> picked;
  std::string fresh = dir + "/fresh";
  st::SetStoreRoot(vt::ToWin(fresh));
  std::wstring a = st::SamplePackage(dir, "a", "vronet.inf");
  std::wstring g = st::SamplePackage(dir, "g", "vrodisp.inf");
  std::wstring b = st::SamplePackage(dir, "b", "vronet.inf", "s/DEV_10D3/DEV_10D4/g");
  // The dialog's buffer: a folder and the names (here absolute tails under Z:).
  files = L"Z:\\" + std::wstring(L"\0", 1) + a.substr(3) + std::wstring(L"\0", 1) + g.substr(3) +
          std::wstring(L"\0", 1) + b.substr(3) + std::wstring(L"\0\0", 2);
  gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  picked = false;
  StoreInfPicker old = SetStoreInfPicker([](HWND, wchar_t* buffer, DWORD chars, const wchar_t*) {
    memcpy(buffer, files.data(), files.size() * sizeof(wchar_t));
    picked = true;
    WaitForSingleObject(gate, 10000);
    return TRUE;
  });
  Run(0x400601, [&](CInfMgrDrvDlg* dlg) {
    CInfDrvListDlg* page = dlg->m_netPage;
    EXPECT_EQ(0, st::Rows(page->List()));
    SendMessageW(page->m_hWnd, WM_COMMAND, 1016, 0);
    ASSERT_TRUE(uitest::WaitFor([] { return picked.load(); }));
    EXPECT_EQ(1, page->m_busy);
    for (int id : {1016, 1003, 1004, 1054, 1001})
      EXPECT_FALSE(IsWindowEnabled(page->Item(id))) << id;
    SendMessageW(dlg->m_hWnd, WM_COMMAND, IDCANCEL, 0);
    SendMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
    uitest::Pump();
    EXPECT_TRUE(IsWindow(dlg->m_hWnd));
    SetEvent(gate);
    // The worker clears its flag, then gives the buttons back and names
    // the INF it turned away.
    st::AnswerBox(IDOK, [&] {
      ASSERT_TRUE(uitest::WaitFor(
          [&] { return page->m_busy == 0 && IsWindowEnabled(page->Item(1054)); }, 20000));
      uitest::WaitFor([] { return !st::g_boxText.empty(); }, 20000);
    });
    EXPECT_EQ(L"以下驱动未能导入（不是本类设备的驱动、没有适用于该系统的设备，或缺少括号中的文件）：\r\nvrodisp.inf\r\n",
              st::g_boxText);
    uitest::Pump();
    HWND list = page->List();
    ASSERT_EQ(2, st::Rows(list)) << "the display INF was refused";
    int second = st::FindRow(list, L"VEN_8086&DEV_10D4");
    ASSERT_GE(second, 0);
    EXPECT_EQ(second, (int)SendMessageW(list, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED));
    EXPECT_TRUE(IsWindowEnabled(page->Item(1016)));
    EXPECT_TRUE(uitest::WaitFor([&] { return IsWindowEnabled(page->Item(1004)) != 0; }))
        << "a row is selected";
  });
  SetStoreInfPicker(old);
  CloseHandle(gate);
  EXPECT_EQ(0, vt::Sh("test -d " + vt::Q(fresh + "/Network/6.1_x64/VEN_8086&DEV_10D3")));
  EXPECT_EQ(0, vt::Sh("test ! -e " + vt::Q(fresh + "/Display")));
}

// Packages whose [Version] names a file outside themselves (a catalog that
// climbs out, a platform's catalog, a layout file, a string that expands to
// one) are turned away by the import from the page, the box naming each
// file, and nothing is written in the store or beside it.
TEST_F(InfMgrTest, ImportRefusesVersionNamesLeavingThePackage) {
  static std::wstring files;
  std::string fresh = dir + "/fresh";
  st::SetStoreRoot(vt::ToWin(fresh));
  const char* const seds[] = {
      R"(s/^CatalogFile.*/CatalogFile = ..\\..\\..\\..\\..\\ESCAPED.cat/)",
      R"(s/^CatalogFile.*/CatalogFile.NTamd64 = ..\\ESCAPED.cat/)",
      R"(s/^CatalogFile.*/LayoutFile = layout.inf, ..\\..\\ESCAPED.inf/)",
      R"(s/^CatalogFile.*/CatalogFile = %Cat%/;/^\[Strings\]$/a Cat = "..\\ESCAPED.cat")",
  };
  files = std::wstring(L"Z:\\") + L'\0';
  for (int i = 0; i < 4; ++i) {
    // Deep enough that the first one's catalog is there to be copied.
    std::string folder = "c" + std::to_string(i) + "/1/2/3/4/5";
    files += st::SamplePackage(dir, folder, "vronet.inf", seds[i]).substr(3) + L'\0';
  }
  files += L'\0';
  ASSERT_EQ(0, vt::Sh("printf cat > " + vt::Q(dir + "/c0/ESCAPED.cat")));
  StoreInfPicker old = SetStoreInfPicker([](HWND, wchar_t* buffer, DWORD, const wchar_t*) {
    memcpy(buffer, files.data(), files.size() * sizeof(wchar_t));
    return TRUE;
  });
  Run(0x400601, [&](CInfMgrDrvDlg* dlg) {
    CInfDrvListDlg* page = dlg->m_netPage;
    st::AnswerBox(IDOK, [&] {
      SendMessageW(page->m_hWnd, WM_COMMAND, 1016, 0);
      uitest::WaitFor([] { return !st::g_boxText.empty(); }, 20000);
    });
    for (const wchar_t* name :
         {L"..\\..\\..\\..\\..\\ESCAPED.cat", L"..\\ESCAPED.cat", L"..\\..\\ESCAPED.inf", L"%Cat%"})
      EXPECT_NE(std::wstring::npos,
                st::g_boxText.find(L"\r\nvronet.inf (" + std::wstring(name) + L")\r\n"))
          << vt::Narrow(st::g_boxText);
    EXPECT_EQ(0, st::Rows(page->List()));
  });
  SetStoreInfPicker(old);
  std::string written;
  EXPECT_EQ(0, vt::Sh("find " + vt::Q(fresh) + " -type f; find " + vt::Q(dir) +
                          " -name 'ESCAPED*' ! -path '*/c0/*'",
                      &written));
  EXPECT_EQ("", written);
}

}  // namespace

namespace {

// Pictures of the manager in the three languages for the eye (not compared).
TEST_F(InfMgrTest, PicturesInThreeLanguages) {
  for (LANGID language : {2052, 1041, 1042}) {
    parent.m_language = language;
    Run(0x400601, [&](CInfMgrDrvDlg* dlg) {
      ShowWindow(dlg->m_hWnd, SW_SHOW);
      st::Select(dlg->m_netPage->List(), 0);
      RedrawWindow(dlg->m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
      uitest::Pump();
      Sleep(300);
      uitest::Pump();
      RECT r;
      GetWindowRect(dlg->m_hWnd, &r);
      uitest::Screenshot(
          r, vt::BinaryDirUnix() + "/driverui-store-" + std::to_string(language) + ".png");
    });
  }
}

}  // namespace
