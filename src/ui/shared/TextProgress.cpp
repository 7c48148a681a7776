#include "ui/shared/TextProgress.h"

#include <commctrl.h>
#include <uxtheme.h>

#include "common/PathUtil.h"

namespace {

// Visual styles, looked up at run time: uxtheme is absent on old systems.
struct ThemeApi {
  BOOL(WINAPI* isThemeActive)();
  HTHEME(WINAPI* openThemeData)(HWND, LPCWSTR);
  HRESULT(WINAPI* drawThemeBackground)(HTHEME, HDC, int, int, const RECT*, const RECT*);
  HRESULT(WINAPI* closeThemeData)(HTHEME);
};

const ThemeApi* Themes() {
  static ThemeApi api = [] {
    ThemeApi a = {};
    if (HMODULE dll = LoadLibraryW(L"uxtheme.dll")) {
      a.isThemeActive = reinterpret_cast<decltype(a.isThemeActive)>(
          reinterpret_cast<void*>(GetProcAddress(dll, "IsThemeActive")));
      a.openThemeData = reinterpret_cast<decltype(a.openThemeData)>(
          reinterpret_cast<void*>(GetProcAddress(dll, "OpenThemeData")));
      a.drawThemeBackground = reinterpret_cast<decltype(a.drawThemeBackground)>(
          reinterpret_cast<void*>(GetProcAddress(dll, "DrawThemeBackground")));
      a.closeThemeData = reinterpret_cast<decltype(a.closeThemeData)>(
          reinterpret_cast<void*>(GetProcAddress(dll, "CloseThemeData")));
    }
    return a;
  }();
  if (!api.isThemeActive || !api.openThemeData || !api.drawThemeBackground || !api.closeThemeData)
    return nullptr;
  return &api;
}

const int kBarPart = 1, kFillPart = 5, kSweepPart = 8;
const int kSweepWidth = 120;

bool PaintThemed(HWND window, HDC dc, const RECT& client, const RECT& fill, int sweepOffset,
                 BOOL sweeping) {
  const ThemeApi* api = Themes();
  if (!api || !api->isThemeActive()) return false;
  HTHEME theme = api->openThemeData(window, L"PROGRESS");
  if (!theme) return false;
  api->drawThemeBackground(theme, dc, kBarPart, 1, &client, nullptr);
  if (fill.right > fill.left) {
    api->drawThemeBackground(theme, dc, kFillPart, 1, &fill, nullptr);
    if (sweeping) {
      RECT sweep = {fill.left + sweepOffset, fill.top, fill.left + sweepOffset + kSweepWidth,
                    fill.bottom};
      api->drawThemeBackground(theme, dc, kSweepPart, 1, &sweep, &fill);
    }
  }
  api->closeThemeData(theme);
  return true;
}

void PaintClassic(HDC dc, const RECT& client, const RECT& fill, int sweepOffset, BOOL sweeping) {
  FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
  DrawEdge(dc, const_cast<RECT*>(&client), BDR_SUNKENOUTER, BF_RECT);
  if (fill.right <= fill.left) return;
  HBRUSH bar = CreateSolidBrush(RGB(6, 176, 37));
  FillRect(dc, &fill, bar);
  DeleteObject(bar);
  if (sweeping) {
    RECT sweep = {fill.left + sweepOffset, fill.top, fill.left + sweepOffset + kSweepWidth,
                  fill.bottom};
    if (IntersectRect(&sweep, &sweep, &fill)) {
      HBRUSH light = CreateSolidBrush(RGB(120, 220, 130));
      FillRect(dc, &sweep, light);
      DeleteObject(light);
    }
  }
}

}  // namespace

CTextProgress::CTextProgress(HWND progressBar, CWindow* owner)
    : CWindow(progressBar, owner), m_sweepOffset(0), m_sweepRunning(FALSE) {}

LRESULT CTextProgress::OnPaint() {
  PAINTSTRUCT ps;
  HDC target = BeginPaint(m_hWnd, &ps);
  if (!target) return 0;
  RECT client;
  GetClientRect(m_hWnd, &client);
  const int width = client.right, height = client.bottom;
  HDC dc = CreateCompatibleDC(target);
  HBITMAP bitmap = CreateCompatibleBitmap(target, width > 0 ? width : 1, height > 0 ? height : 1);
  HGDIOBJ oldBitmap = SelectObject(dc, bitmap);

  PBRANGE range = {};
  SendMessageW(m_hWnd, PBM_GETRANGE, FALSE, LPARAM(&range));
  int position = int(SendMessageW(m_hWnd, PBM_GETPOS, 0, 0));
  int filled =
      range.iHigh > range.iLow ? MulDiv(position - range.iLow, width, range.iHigh - range.iLow) : 0;
  if (filled < 0) filled = 0;
  if (filled > width) filled = width;
  RECT fill = {client.left, client.top, client.left + filled, client.bottom};
  if (!PaintThemed(m_hWnd, dc, client, fill, m_sweepOffset, m_sweepRunning))
    PaintClassic(dc, client, fill, m_sweepOffset, m_sweepRunning);

  wchar_t text[kPathChars];
  int length = GetWindowTextW(m_hWnd, text, kPathChars);
  if (length > 0) {
    HGDIOBJ oldFont =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0)));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    DrawTextW(dc, text, length, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, oldFont);
  }
  BitBlt(target, 0, 0, width, height, dc, 0, 0, SRCCOPY);
  SelectObject(dc, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
  EndPaint(m_hWnd, &ps);
  return 0;
}

void CTextProgress::OnTimer(UINT_PTR id) {
  if (id == kPauseTimer) {
    KillTimer(m_hWnd, kPauseTimer);
    m_sweepOffset = kSweepStart;
    m_sweepRunning = TRUE;
    SetTimer(m_hWnd, kStepTimer, kSweepInterval, nullptr);
  } else if (id == kStepTimer) {
    m_sweepOffset += kSweepStep;
    InvalidateRect(m_hWnd, nullptr, TRUE);
    RECT client;
    GetClientRect(m_hWnd, &client);
    if (m_sweepOffset >= client.right) {
      KillTimer(m_hWnd, kStepTimer);
      m_sweepRunning = FALSE;
      SetTimer(m_hWnd, kPauseTimer, kSweepPause, nullptr);
    }
  }
}

void CTextProgress::OnDestroy() {
  KillTimer(m_hWnd, kStepTimer);
  KillTimer(m_hWnd, kPauseTimer);
}
