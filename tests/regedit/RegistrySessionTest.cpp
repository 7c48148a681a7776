// A session at the X display (xdotool): find a value with Ctrl+F, modify it
// with Enter, export its key through the File menu's save dialog and exit;
// then the image's hive and the .reg file are read back.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../registry/FacadeTestUtil.h"
#include "EditorTestUtil.h"
#include "regedit/RegistryCommands.h"
#include "resources/ResourceIds.h"

namespace {

using namespace edtest;

BOOL CALLBACK CancelOthers(HWND window, LPARAM editor) {
  if (window != (HWND)editor && IsWindowVisible(window))
    PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
  return TRUE;
}

TEST(RegistrySession, FindModifyExportClose) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  ClearSettings();
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\VroMount\\History\\KeyString");
  rt::WinDisk disk = rt::MakeWinDisk("");
  CMountedImage image;
  ASSERT_EQ(3, image.OpenImage(disk.path.c_str(), nullptr, 0, 2));
  const std::wstring key = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Session";
  const std::wstring file = vt::ToWin(disk.dir) + L"\\session.reg";
  ASSERT_EQ(1, image.LoadHives(0x3F));
  ASSERT_EQ(REG_STATUS_OK, image.RegCreateKey(key.c_str()));
  std::vector<uint8_t> before = Bytes(L"before");
  ASSERT_EQ(REG_STATUS_OK, image.RegSetValue(key.c_str(), L"sessionNeedle", before.data(),
                                             (uint32_t)before.size(), REG_SZ));
  ASSERT_TRUE(image.UnloadHives());

  bool closed = false;
  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    ASSERT_EQ(L"HKEY_CURRENT_USER", SelectedPath(dlg));
    SetForegroundWindow(dlg->m_hWnd);
    SetFocus(dlg->Tree());
    uitest::Pump();
    // Each step's keys go in the background while this thread runs the
    // windows. Within a step the script waits for the state its last key
    // left (a click that arrived, a menu or dialog that came up: see
    // uitest::SignalWhen); between steps this thread waits for the result.
    auto keys = [&](const std::string& script) {
      ASSERT_EQ(0, vt::Sh("(" + script + ") >/dev/null 2>&1 &"));
    };
    HWND list = dlg->List();
    const HWND editor = dlg->m_hWnd;
    // A click on the title bar gives the window the display's keyboard
    // focus (windows of earlier tests may still hold it).
    RECT frame;
    GetWindowRect(editor, &frame);
    const std::string title = std::to_string((frame.left + frame.right) / 2) + " " +
                              std::to_string(frame.top + GetSystemMetrics(SM_CYCAPTION) / 2 + 2);
    const std::string clicked = uitest::SignalClick(editor);
    const std::string findShown = uitest::SignalActivated(editor);
    keys(uitest::ClickUntilSh("mousemove " + title + " click 1", clicked) +
         "; xdotool key ctrl+f; " + uitest::AwaitSh(findShown) +
         "; xdotool type sessionNeedle; xdotool key Return");
    ASSERT_TRUE(
        uitest::WaitFor([&] { return ListView_GetNextItem(list, -1, LVNI_SELECTED) >= 0; }, 30000))
        << "the search selected nothing";
    const int row = ListView_GetNextItem(list, -1, LVNI_SELECTED);
    EXPECT_EQ(L"sessionNeedle", Cell(list, row, 0));
    ASSERT_TRUE(uitest::WaitFor([&] { return GetActiveWindow() == editor; }, 30000));
    RECT rc;
    ListView_GetItemRect(list, row, &rc, LVIR_LABEL);
    POINT at = {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
    ClientToScreen(list, &at);
    const std::string editShown = uitest::SignalActivated(editor);
    keys("xdotool mousemove " + std::to_string(at.x) + " " + std::to_string(at.y) +
         " click --repeat 2 --delay 80 1; " + uitest::AwaitSh(editShown) +
         "; xdotool type changed; xdotool key Return");
    ASSERT_TRUE(uitest::WaitFor([&] { return Cell(list, row, 2) == L"changed"; }, 30000))
        << "the string editor did not write";
    ASSERT_TRUE(uitest::WaitFor([&] { return GetActiveWindow() == editor; }, 30000));
    const std::string menu = uitest::SignalMenu(), saveShown = uitest::SignalActivated(editor);
    keys(uitest::PointerOverSh(editor) + "; xdotool key alt+f; " + uitest::AwaitSh(menu) +
         "; xdotool key e; " + uitest::AwaitSh(saveShown) + "; xdotool type " +
         vt::Q(vt::Narrow(file)) + "; xdotool key Return");
    ASSERT_TRUE(uitest::WaitFor([&] { return vt::FileExists(file); }, 30000)) << "no export";
    ASSERT_TRUE(uitest::WaitFor([&] { return GetActiveWindow() == editor; }, 30000));
    const std::string exitMenu = uitest::SignalMenu();
    keys(uitest::PointerOverSh(editor) + "; xdotool key alt+f; " + uitest::AwaitSh(exitMenu) +
         "; xdotool key x");
    closed = uitest::WaitFor([&] { return !IsWindowVisible(dlg->m_hWnd); }, 40000);
    // A session that stopped halfway leaves no dialog open behind it.
    for (int i = 0; i < 20 && !closed; ++i) {
      EnumThreadWindows(GetCurrentThreadId(), CancelOthers, (LPARAM)dlg->m_hWnd);
      uitest::WaitFor([] { return false; }, 200);
    }
  });
  EXPECT_TRUE(closed) << "the session did not reach Exit";

  ASSERT_TRUE(image.Close());
  const std::string hive = rt::NtfsCat(disk, disk.unixPath, "/Windows/System32/config/SOFTWARE",
                                       disk.dir + "/software.hiv");
  EXPECT_EQ(Bytes(L"changed"), HivexValue(hive, "\\Vro\\Session", "sessionNeedle").bytes);
  std::vector<uint8_t> reg;
  ASSERT_TRUE(vt::ReadAll(file, reg)) << "the export wrote no file";
  std::wstring text(reinterpret_cast<const wchar_t*>(reg.data()), reg.size() / 2);
  EXPECT_NE(std::wstring::npos, text.find(L"[" + key + L"]"));
  EXPECT_NE(std::wstring::npos, text.find(L"\"sessionNeedle\"=\"changed\""));
}

// The export's save dialog in each language: its range options, laid out
// for the dialog's width, stay inside their group box and the dialog, and
// their texts fit.
std::vector<std::string> g_exportFaults;
bool g_exportSeen;
BOOL CALLBACK FindExportOptions(HWND window, LPARAM out) {
  if (GetDlgItem(window, IDC_EXPORT_BRANCH_PATH) && GetDlgItem(window, IDC_EXPORT_RANGE)) {
    *reinterpret_cast<HWND*>(out) = window;
    return FALSE;
  }
  EnumChildWindows(window, FindExportOptions, out);
  return *reinterpret_cast<HWND*>(out) == nullptr;
}
BOOL CALLBACK CheckExportDialog(HWND window, LPARAM) {
  HWND options = nullptr;
  if (!IsWindowVisible(window)) return TRUE;
  EnumChildWindows(window, FindExportOptions, LPARAM(&options));
  if (!options) return TRUE;
  g_exportSeen = true;
  g_exportFaults = uitest::TextsThatDoNotFit(options);
  RECT box, dialog;
  GetWindowRect(GetDlgItem(options, IDC_EXPORT_RANGE), &box);
  GetWindowRect(window, &dialog);
  if (box.right > dialog.right) g_exportFaults.push_back("the group box leaves the dialog");
  PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
  return FALSE;
}
void CALLBACK InspectExportDialog(HWND, UINT, UINT_PTR timer, DWORD) {
  EnumThreadWindows(GetCurrentThreadId(), CheckExportDialog, 0);
  if (g_exportSeen) KillTimer(nullptr, timer);
}

TEST(RegistrySession, ExportOptionsFitInEveryLanguage) {
  ClearSettings();
  rt::WinDisk disk = rt::MakeWinDisk("");
  CMountedImage image;
  ASSERT_EQ(3, image.OpenImage(disk.path.c_str(), nullptr, 0, 2));
  for (LANGID language : {2052, 1041, 1042}) {
    RunEditor(&image, language, [&](CRegistryDlg* dlg) {
      g_exportSeen = false;
      g_exportFaults.clear();
      const UINT_PTR timer = SetTimer(nullptr, 0, 300, InspectExportDialog);
      wchar_t file[260] = L"", branch[260] = L"HKEY_LOCAL_MACHINE\\SOFTWARE";
      int filter = 0;
      EXPECT_FALSE(ShowExportSaveDialog(dlg, file, L"*.reg\0*.reg\0", branch, &filter));
      KillTimer(nullptr, timer);
      EXPECT_TRUE(g_exportSeen) << language;
      for (const std::string& fault : g_exportFaults) ADD_FAILURE() << language << ": " << fault;
    });
  }
  image.Close();
}

// The editor's keys from the address bar and from the value list, taken as
// Windows' dialog loop takes them (the thread's message filter first): in
// the address bar's edit box F5, F3 and Ctrl+F run their commands while Del
// and F2 stay the edit box's own; in the list Del and F2 run too.
TEST(RegistrySession, KeysFromEveryControl) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  ClearSettings();
  rt::WinDisk disk = rt::MakeWinDisk("");
  CMountedImage image;
  ASSERT_EQ(3, image.OpenImage(disk.path.c_str(), nullptr, 0, 2));
  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    std::vector<UINT> commands;
    // The dialog loop's order; the editor's posted commands are recorded,
    // not run (each would open a dialog of its own).
    auto pumpFor = [&](int ms) {
      for (int waited = 0; waited < ms; waited += 20, Sleep(20)) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
          if (msg.hwnd == dlg->m_hWnd && msg.message == WM_COMMAND && !msg.lParam &&
              LOWORD(msg.wParam) >= ID_REG_DELETE) {
            commands.push_back(LOWORD(msg.wParam));
            continue;
          }
          if (CallMsgFilterW(&msg, MSGF_DIALOGBOX)) continue;
          if (IsDialogMessageW(dlg->m_hWnd, &msg)) continue;
          TranslateMessage(&msg);
          DispatchMessageW(&msg);
        }
      }
    };
    auto clickThenKeys = [&](HWND control, int x, int y, const std::string& keys) {
      RECT rc;
      GetWindowRect(control, &rc);
      vt::Sh("(sleep 0.5; xdotool mousemove " + std::to_string(rc.left + x) + " " +
             std::to_string(rc.top + y) + " click 1; sleep 0.5; xdotool " + keys +
             ") >/dev/null 2>&1 &");
      pumpFor(4000);
    };
    SetForegroundWindow(dlg->m_hWnd);
    HWND edit = GetWindow(dlg->Combo(), GW_CHILD);
    SetWindowTextW(edit, L"abc");
    clickThenKeys(edit, 30, 6, "key Home Delete F2 F5 F3 ctrl+f");
    EXPECT_EQ((std::vector<UINT>{ID_REG_REFRESH, ID_REG_FIND_NEXT, ID_REG_FIND}), commands);
    wchar_t text[16] = L"";
    GetWindowTextW(edit, text, 16);
    EXPECT_STREQ(L"bc", text) << "Del stays the edit box's";
    commands.clear();
    RECT list;
    GetClientRect(dlg->List(), &list);
    clickThenKeys(dlg->List(), list.right / 2, list.bottom - 10, "key Delete F2 F5");
    EXPECT_EQ((std::vector<UINT>{ID_REG_DELETE, ID_REG_RENAME, ID_REG_REFRESH}), commands);
  });
  image.Close();
}

}  // namespace
