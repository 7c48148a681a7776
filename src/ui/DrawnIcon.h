// Icons drawn in code rather than taken from resources: the painter draws
// a square picture on a key-coloured background, which becomes transparent.
#pragma once
#include <windows.h>

#include <functional>

// The background colour that turns transparent.
constexpr COLORREF kDrawnIconKey = RGB(255, 0, 255);

// A 32-bit icon of size x size pixels with its mask; paint draws on a DC
// holding the key colour. Null when a GDI object cannot be had.
HICON MakeDrawnIcon(int size, const std::function<void(HDC dc, int size)>& paint);

// A solid rectangle (left, top, right, bottom) in one colour.
void FillDrawnRect(HDC dc, int left, int top, int right, int bottom, COLORREF colour);
