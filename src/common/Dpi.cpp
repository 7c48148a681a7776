#include "common/Dpi.h"

#include <windows.h>

int g_ScreenDpiPercent = 100;

int DpiPercentFromPixels(int logPixels) {
  if (logPixels < 96) logPixels = 96;
  return logPixels * 100 / 96;
}

int GetScreenDpiPercent() {
  HDC dc = GetDC(nullptr);
  if (!dc) return 100;
  int d = GetDeviceCaps(dc, LOGPIXELSX);
  ReleaseDC(nullptr, dc);
  return DpiPercentFromPixels(d);
}
