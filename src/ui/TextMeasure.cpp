#include "ui/TextMeasure.h"

namespace {

RECT Measure(HFONT font, const wchar_t* text, UINT format) {
  RECT rect = {0, 0, 0, 0};
  HDC dc = GetDC(nullptr);
  if (!dc) return rect;
  HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
  DrawTextW(dc, text ? text : L"", -1, &rect, DT_CALCRECT | DT_NOPREFIX | format);
  if (old) SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return rect;
}

}  // namespace

void MeasureTextRect(HFONT font, const wchar_t* text, int* width, int* height) {
  RECT rect = Measure(font, text, 0);
  if (width) *width = rect.right - rect.left;
  if (height) *height = rect.bottom - rect.top;
}

int MeasureTextLine(HFONT font, const wchar_t* text) {
  RECT rect = Measure(font, text, DT_SINGLELINE);
  return rect.bottom - rect.top;
}
