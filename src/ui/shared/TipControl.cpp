#include "ui/shared/TipControl.h"

#include <commctrl.h>

#include <cwchar>

#include "common/PathUtil.h"
#include "ui/TextMeasure.h"

namespace {

const int kTipShiftX = 2, kTipShiftY = 6;
const int kPartShiftX = 8;
const int kSizeChars = 20;

void MoveTip(HWND tip, int x, int y) {
  SetWindowPos(tip, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

CTipControl::CTipControl(HWND tool, CWindow* owner) : CWindow(tool, owner) {}

LRESULT CTipControl::OnNotify(int, NMHDR* header) {
  if (header->code != TTN_SHOW) return 0;
  HWND tip = header->hwndFrom;
  RECT rect;
  GetWindowRect(m_hWnd, &rect);
  wchar_t text[kPathChars] = L"";
  TOOLINFOW tool = {};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = m_hWnd;
  tool.uId = reinterpret_cast<UINT_PTR>(m_hWnd);
  tool.lpszText = text;
  SendMessageW(tip, TTM_GETTEXTW, kPathChars, LPARAM(&tool));
  if (text[0]) {
    int width = 0, height = 0;
    MeasureTextRect(reinterpret_cast<HFONT>(SendMessageW(tip, WM_GETFONT, 0, 0)), text, &width,
                    &height);
    rect.right = rect.left + width;
    rect.bottom = rect.top + height;
    SendMessageW(tip, TTM_ADJUSTRECT, TRUE, LPARAM(&rect));
    OffsetRect(&rect, kTipShiftX, kTipShiftY);
    const int screenRight = GetSystemMetrics(SM_CXFULLSCREEN);
    const int screenBottom = GetSystemMetrics(SM_CYFULLSCREEN);
    if (rect.right > screenRight) OffsetRect(&rect, screenRight - rect.right, 0);
    if (rect.bottom > screenBottom) OffsetRect(&rect, 0, screenBottom - rect.bottom);
  }
  MoveTip(tip, rect.left, rect.top);
  return 1;
}

CTipStatus::CTipStatus(HWND statusBar, CWindow* owner, int part)
    : CWindow(statusBar, owner), m_part(part) {}

LRESULT CTipStatus::OnCtlColor(HDC dc, HWND, int kind) {
  if (kind != WM_CTLCOLOREDIT - WM_CTLCOLORMSGBOX) return 0;
  SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
  return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

LRESULT CTipStatus::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (LOWORD(wParam) != kStatusSizeEdit || HIWORD(wParam) != EN_CHANGE) return 0;
  HWND edit = reinterpret_cast<HWND>(lParam);
  wchar_t text[kSizeChars];
  GetWindowTextW(edit, text, kSizeChars);
  if (wcstoul(text, nullptr, 10) > kStatusSizeLimit) {
    DWORD start = 0, end = 0;
    SendMessageW(edit, EM_GETSEL, WPARAM(&start), LPARAM(&end));
    _snwprintf(text, kSizeChars, L"%u", kStatusSizeLimit);
    SetWindowTextW(edit, text);
    SendMessageW(edit, EM_SETSEL, start, end);
  }
  return 0;
}

LRESULT CTipStatus::OnNotify(int, NMHDR* header) {
  if (header->code != TTN_SHOW) return 0;
  HWND tip = header->hwndFrom;
  RECT bar, part = {}, tipRect;
  GetWindowRect(m_hWnd, &bar);
  GetWindowRect(tip, &tipRect);
  SendMessageW(m_hWnd, SB_GETRECT, WPARAM(m_part), LPARAM(&part));
  int x = bar.left + part.left - (m_part != 0 ? kPartShiftX : 0);
  int y = bar.top - (tipRect.bottom - tipRect.top);
  MoveTip(tip, x, y);
  return 1;
}
