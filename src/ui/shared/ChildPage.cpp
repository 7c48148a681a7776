#include "ui/shared/ChildPage.h"

#include "common/Dpi.h"

void PlaceChildPage(HWND page, int topMargin, int bottomMargin) {
  HWND parent = GetParent(page);
  if (!parent) return;
  HWND frame = GetDlgItem(parent, kPageFrameControl);
  if (!frame) return;
  RECT f, client;
  GetWindowRect(frame, &f);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&f), 2);
  GetClientRect(parent, &client);
  const int s = g_ScreenDpiPercent;
  MoveWindow(page, f.left + 2, f.top + topMargin * s / 100, f.right - f.left - 6,
             client.bottom - bottomMargin * s / 100 - f.top, FALSE);
}
