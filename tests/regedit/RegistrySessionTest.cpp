// A session at the X display (xdotool): find a value with Ctrl+F, modify it
// with Enter, export its key through the File menu's save dialog and exit;
// then the image's hive and the .reg file are read back.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../registry/FacadeTestUtil.h"
#include "EditorTestUtil.h"

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
    keys("xdotool key alt+f; " + uitest::AwaitSh(menu) + "; xdotool key e; " +
         uitest::AwaitSh(saveShown) + "; xdotool type " + vt::Q(vt::Narrow(file)) +
         "; xdotool key Return");
    ASSERT_TRUE(uitest::WaitFor([&] { return vt::FileExists(file); }, 30000)) << "no export";
    ASSERT_TRUE(uitest::WaitFor([&] { return GetActiveWindow() == editor; }, 30000));
    const std::string exitMenu = uitest::SignalMenu();
    keys("xdotool key alt+f; " + uitest::AwaitSh(exitMenu) + "; xdotool key x");
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

}  // namespace
