// A viewer session at the X display (xdotool): Ctrl+F opens the find
// dialog, the text is typed and Find clicked, F3 finds the next hit, and
// the File menu closes the viewer.
#include <windows.h>
#include <richedit.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "TestSupport.h"
#include "WindowDriver.h"
#include "../../ui/UiTestUtil.h"
#include "app/viewer/ViewFile.h"
#include "app/viewer/ViewerDlg.h"
#include "resources/ResourceIds.h"

namespace {

// Runs a key script in the background and the windows until `done` holds.
bool Xdo(const std::string& script, std::function<bool()> done) {
  vt::Sh("(" + script + ") >/dev/null 2>&1 &");
  for (DWORD start = GetTickCount(); GetTickCount() - start < 15000;) {
    ft::Pump();
    if (done()) return true;
    Sleep(20);
  }
  return false;
}

std::string Centre(HWND window) {
  RECT rc;
  GetWindowRect(window, &rc);
  return std::to_string((rc.left + rc.right) / 2) + " " + std::to_string((rc.top + rc.bottom) / 2);
}

TEST(ViewerSession, FindWithKeysAndClicks) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  const std::wstring path = vt::ScratchDir() + L"\\session.txt";
  ASSERT_TRUE(vt::WriteAll(path, "one needle, two needle", 22));
  LastViewerFind() = ViewerFindState();
  HWND window = ViewFile(nullptr, nullptr, path.c_str(), path.c_str());
  ASSERT_TRUE(window);
  CViewerDlg* viewer = static_cast<CViewerDlg*>(CWindow::FromWindow(window));
  HWND edit = GetDlgItem(window, IDC_VIEWER_TEXT);
  SetForegroundWindow(window);
  SetFocus(edit);
  ft::Pump();
  auto selection = [&]() {
    CHARRANGE range = {};
    SendMessageW(edit, EM_EXGETSEL, 0, LPARAM(&range));
    return std::make_pair(range.cpMin, range.cpMax);
  };

  // A click on the title bar gives the viewer the display's keyboard focus
  // (windows of earlier tests may still hold it); each key waits until the
  // click has arrived, a menu until it is open (uitest::SignalWhen).
  auto titleClick = [&]() {
    RECT frame;
    GetWindowRect(window, &frame);
    return "mousemove " + std::to_string(frame.left + 200) + " " +
           std::to_string(frame.top + GetSystemMetrics(SM_CYCAPTION) / 2 + 2) + " click 1";
  };
  const std::string findShown = uitest::SignalActivated(window);
  ASSERT_TRUE(Xdo(uitest::ClickUntilSh(titleClick(), uitest::SignalClick(window)) +
                      "; xdotool key ctrl+f; " + uitest::AwaitSh(findShown) +
                      "; xdotool type needle",
                  [&] {
                    return viewer->m_findWindow &&
                           ft::WindowText(GetDlgItem(viewer->m_findWindow, IDC_FIND_TEXT)) ==
                               L"needle";
                  }))
      << "Ctrl+F opened no find dialog, or the text did not reach it";
  HWND find = viewer->m_findWindow;
  ASSERT_TRUE(IsWindowVisible(find));
  ASSERT_TRUE(Xdo("xdotool mousemove " + Centre(GetDlgItem(find, IDOK)) + " click 1", [&] {
    return selection() == std::make_pair(4L, 10L);
  })) << "Find found no first needle";
  // Back to the viewer through its title bar; F3 finds the second needle.
  ASSERT_TRUE(Xdo(uitest::ClickUntilSh(titleClick(), uitest::SignalClick(window)) +
                      "; xdotool key F3",
                  [&] { return selection() == std::make_pair(16L, 22L); }))
      << "F3 found no second needle";
  ASSERT_TRUE(Xdo("xdotool key alt+f; " + uitest::AwaitSh(uitest::SignalMenu()) + "; xdotool key c",
                  [&] { return !IsWindow(window); }))
      << "the File menu did not close the viewer";
  EXPECT_FALSE(IsWindow(find));
  LastViewerFind() = ViewerFindState();
}

}  // namespace
