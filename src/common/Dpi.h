// Screen scale: an integer percentage, at least 100.
#pragma once

// LOGPIXELSX of the screen x 100 / 96, truncated; below 96 DPI counts as 96
// (72 -> 100, 120 -> 125, 144 -> 150); 100 when no screen DC is available.
int GetScreenDpiPercent();

// The process-wide scale every window sizes itself by: 100 until the main
// window stores GetScreenDpiPercent() here at start-up.
extern int g_ScreenDpiPercent;

// `value` given for 100 % scaled by g_ScreenDpiPercent.
inline int ScaleByDpi(int value) {
  return value * g_ScreenDpiPercent / 100;
}

// The percentage for a LOGPIXELSX value.
int DpiPercentFromPixels(int logPixels);
