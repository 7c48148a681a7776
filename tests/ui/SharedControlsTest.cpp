// The shared controls on real windows: tooltips kept on the screen, the
// status bar's tip and size field, the text progress bar's sweep, the page
// placement and the link text.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "UiTestUtil.h"
#include "common/Dpi.h"
#include "ui/shared/ChildPage.h"
#include "ui/shared/LinkText.h"
#include "ui/shared/TextProgress.h"
#include "ui/shared/TipControl.h"

namespace {

class SharedControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    host_ = uitest::MakeHost(500, 400);
  }
  void TearDown() override { DestroyWindow(host_); }
  HWND host_ = nullptr;
};

NMHDR Show(HWND tip) {
  NMHDR header = {tip, 0, UINT(TTN_SHOW)};
  return header;
}

TEST_F(SharedControlsTest, TooltipStaysInsideTheScreenNearEachEdge) {
  const int right = GetSystemMetrics(SM_CXFULLSCREEN), bottom = GetSystemMetrics(SM_CYFULLSCREEN);
  HWND tool = CreateWindowExW(0, L"BUTTON", L"tool", WS_POPUP | WS_VISIBLE, 0, 0, 40, 20, host_,
                              nullptr, nullptr, nullptr);
  HWND tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX, 0, 0,
                             0, 0, host_, nullptr, nullptr, nullptr);
  TOOLINFOW info = {sizeof info, TTF_IDISHWND | TTF_SUBCLASS, tool, UINT_PTR(tool)};
  info.lpszText = const_cast<wchar_t*>(L"A tooltip text long enough to reach past an edge");
  ASSERT_TRUE(SendMessageW(tip, TTM_ADDTOOLW, 0, LPARAM(&info)));
  new CTipControl(tool, nullptr);

  struct Case {
    int x, y;
  } places[] = {
      {0, 0}, {right - 30, 100}, {100, bottom - 10}, {right - 30, bottom - 10}, {200, 200}};
  for (const Case& at : places) {
    MoveWindow(tool, at.x, at.y, 40, 20, FALSE);
    NMHDR header = Show(tip);
    EXPECT_EQ(1, SendMessageW(tool, WM_NOTIFY, 0, LPARAM(&header)));
    RECT r;
    GetWindowRect(tip, &r);
    EXPECT_GE(r.left, 0);
    EXPECT_GE(r.top, 0);
    RECT text = {0, 0, 0, 0};
    SendMessageW(tip, TTM_ADJUSTRECT, TRUE, LPARAM(&text));  // the tip's frame
    EXPECT_LE(r.left, at.x + 2);
    EXPECT_LE(r.top, at.y + 6);
    if (at.x == 200 || at.x == 0) {
      EXPECT_EQ(at.x + 2, r.left) << "a tip with room is put beside its tool";
      EXPECT_EQ(at.y + 6, r.top);
    }
    if (at.x == right - 30) {
      EXPECT_LT(r.left, at.x - 100) << "moved left to end at the edge";
    }
    if (at.y == bottom - 10) {
      EXPECT_LT(r.top, at.y) << "moved up to end at the edge";
    }
  }
  DestroyWindow(tip);
  DestroyWindow(tool);
}

TEST_F(SharedControlsTest, StatusBarTipAndSizeField) {
  HWND status = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, host_,
                                nullptr, nullptr, nullptr);
  int parts[] = {100, 220, -1};
  SendMessageW(status, SB_SETPARTS, 3, LPARAM(parts));
  HWND edit = CreateWindowExW(0, L"EDIT", L"200000", WS_CHILD | WS_VISIBLE | ES_NUMBER, 230, 2, 80,
                              16, status, HMENU(kStatusSizeEdit), nullptr, nullptr);
  new CTipStatus(status, nullptr);

  SendMessageW(edit, EM_SETSEL, 6, 6);
  SendMessageW(edit, WM_CHAR, L'1', 1);
  wchar_t text[20];
  GetWindowTextW(edit, text, 20);
  EXPECT_STREQ(L"2000000", text);
  DWORD start = 0, end = 0;
  SendMessageW(edit, EM_GETSEL, WPARAM(&start), LPARAM(&end));
  EXPECT_EQ(7u, start);
  EXPECT_EQ(7u, end);

  HDC dc = GetDC(edit);
  EXPECT_EQ(LRESULT(GetSysColorBrush(COLOR_BTNFACE)),
            SendMessageW(status, WM_CTLCOLOREDIT, WPARAM(dc), LPARAM(edit)));
  ReleaseDC(edit, dc);

  HWND tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP, 0, 0, 120, 24,
                             host_, nullptr, nullptr, nullptr);
  SetWindowPos(tip, nullptr, 0, 0, 120, 24, SWP_NOZORDER | SWP_NOACTIVATE);
  RECT before;
  GetWindowRect(tip, &before);
  NMHDR header = Show(tip);
  EXPECT_EQ(1, SendMessageW(status, WM_NOTIFY, 0, LPARAM(&header)));
  RECT bar, part, r;
  GetWindowRect(status, &bar);
  SendMessageW(status, SB_GETRECT, 2, LPARAM(&part));
  GetWindowRect(tip, &r);
  EXPECT_EQ(bar.left + part.left - 8, r.left);
  EXPECT_EQ(bar.top - (before.bottom - before.top), r.top);
  EXPECT_LT(r.top, bar.top);
  DestroyWindow(tip);
}

TEST_F(SharedControlsTest, TextProgressSweepsOnItsTimers) {
  HWND bar = CreateWindowExW(0, PROGRESS_CLASSW, L"Copying 50%", WS_CHILD | WS_VISIBLE, 10, 10, 300,
                             24, host_, nullptr, nullptr, nullptr);
  SendMessageW(bar, WM_SETFONT, WPARAM(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
  SendMessageW(bar, PBM_SETPOS, 50, 0);
  CTextProgress* progress = new CTextProgress(bar, nullptr);
  EXPECT_EQ(0, progress->m_sweepOffset);
  EXPECT_FALSE(progress->m_sweepRunning);

  SendMessageW(bar, WM_TIMER, CTextProgress::kPauseTimer, 0);
  EXPECT_EQ(-120, progress->m_sweepOffset);
  EXPECT_TRUE(progress->m_sweepRunning);
  int steps = 0;
  while (progress->m_sweepRunning && steps < 100) {
    SendMessageW(bar, WM_TIMER, CTextProgress::kStepTimer, 0);
    ++steps;
  }
  EXPECT_EQ(35, steps) << "12 pixels a step from -120 across 300 pixels";
  EXPECT_EQ(300, progress->m_sweepOffset);

  // Paint it halfway through a sweep and keep the picture with the test's output.
  SendMessageW(bar, WM_TIMER, CTextProgress::kPauseTimer, 0);
  for (int i = 0; i < 15; ++i) SendMessageW(bar, WM_TIMER, CTextProgress::kStepTimer, 0);
  RedrawWindow(bar, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  RECT r;
  GetWindowRect(bar, &r);
  EXPECT_TRUE(uitest::Screenshot(r, vt::BinaryDirUnix() + "/tests/ui/text-progress.png"));
  DestroyWindow(bar);
}

TEST_F(SharedControlsTest, ChildPageFollowsFrameAndScale) {
  HWND frame = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 10, 20, 200, 150, host_,
                               HMENU(kPageFrameControl), nullptr, nullptr);
  HWND page = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 0, 5, 5, host_, nullptr,
                              nullptr, nullptr);
  int saved = g_ScreenDpiPercent;
  g_ScreenDpiPercent = 150;
  PlaceChildPage(page, 20, 10);
  g_ScreenDpiPercent = saved;
  RECT r, client;
  GetWindowRect(page, &r);
  MapWindowPoints(nullptr, host_, reinterpret_cast<POINT*>(&r), 2);
  GetClientRect(host_, &client);
  EXPECT_EQ(12, r.left);
  EXPECT_EQ(50, r.top);
  EXPECT_EQ(194, r.right - r.left);
  EXPECT_EQ(client.bottom - 15 - 20, r.bottom - r.top);
  DestroyWindow(frame);
}

TEST_F(SharedControlsTest, LinkTextPaintsWithoutTags) {
  wchar_t text[] = L"<a>Open</a> the <b>driver store</b>";
  StripMarkupTags(text);
  EXPECT_STREQ(L"Open the driver store", text);

  HWND link = CreateWindowExW(0, L"STATIC", L"<a>Driver store</a>", WS_CHILD | WS_VISIBLE, 10, 10,
                              160, 20, host_, nullptr, nullptr, nullptr);
  HDC dc = GetDC(host_);
  PaintLinkText(link, dc, POINT{10, 60});
  COLORREF corner = GetPixel(dc, 11, 61);
  ReleaseDC(host_, dc);
  EXPECT_EQ(GetSysColor(COLOR_HIGHLIGHT), corner);
}

}  // namespace
