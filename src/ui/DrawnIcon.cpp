#include "ui/DrawnIcon.h"

#include <stdint.h>

void FillDrawnRect(HDC dc, int left, int top, int right, int bottom, COLORREF colour) {
  RECT rc = {left, top, right, bottom};
  HBRUSH brush = CreateSolidBrush(colour);
  FillRect(dc, &rc, brush);
  DeleteObject(brush);
}

HICON MakeDrawnIcon(int s, const std::function<void(HDC dc, int size)>& paint) {
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = s;
  bi.bmiHeader.biHeight = -s;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP colour = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HDC dc = CreateCompatibleDC(screen);
  ReleaseDC(nullptr, screen);
  HBITMAP mask = CreateBitmap(s, s, 1, 1, nullptr);
  HICON icon = nullptr;
  if (colour && dc && mask && bits) {
    HGDIOBJ old = SelectObject(dc, colour);
    FillDrawnRect(dc, 0, 0, s, s, kDrawnIconKey);
    paint(dc, s);
    GdiFlush();
    SelectObject(dc, old);
    // The key colour becomes transparent, everything else opaque.
    uint32_t* px = static_cast<uint32_t*>(bits);
    for (int i = 0; i < s * s; ++i)
      px[i] = (px[i] & 0xFFFFFF) == 0xFF00FF ? 0 : (px[i] | 0xFF000000u);
    // The mask: 1 where transparent (for screens without alpha).
    HDC maskDc = CreateCompatibleDC(nullptr);
    HGDIOBJ oldMask = SelectObject(maskDc, mask);
    PatBlt(maskDc, 0, 0, s, s, BLACKNESS);
    for (int y = 0; y < s; ++y)
      for (int x = 0; x < s; ++x)
        if (!px[y * s + x]) SetPixel(maskDc, x, y, RGB(255, 255, 255));
    SelectObject(maskDc, oldMask);
    DeleteDC(maskDc);
    ICONINFO info = {TRUE, 0, 0, mask, colour};
    icon = CreateIconIndirect(&info);
  }
  if (dc) DeleteDC(dc);
  if (colour) DeleteObject(colour);
  if (mask) DeleteObject(mask);
  return icon;
}
