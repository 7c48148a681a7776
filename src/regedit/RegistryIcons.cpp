#include "regedit/RegistryIcons.h"

#include <commctrl.h>

namespace {

void Fill(HDC dc, int l, int t, int r, int b, COLORREF color) {
  RECT rc = {l, t, r, b};
  HBRUSH brush = CreateSolidBrush(color);
  if (!brush) return;
  FillRect(dc, &rc, brush);
  DeleteObject(brush);
}

// Draws on a 16-unit grid scaled to `size`.
void Draw(HDC dc, RegistryIconKind kind, int size) {
  const int u = size / 16 > 0 ? size / 16 : 1;
  auto box = [&](int l, int t, int r, int b, COLORREF c) {
    Fill(dc, l * u, t * u, r * u, b * u, c);
  };
  switch (kind) {
    case REG_ICON_KEY_CLOSED:
      box(1, 3, 7, 5, RGB(200, 150, 40));
      box(1, 4, 15, 14, RGB(200, 150, 40));
      box(2, 6, 14, 13, RGB(250, 210, 90));
      break;
    case REG_ICON_KEY_OPEN:
      box(1, 3, 7, 5, RGB(200, 150, 40));
      box(1, 4, 14, 14, RGB(200, 150, 40));
      box(3, 7, 15, 14, RGB(255, 225, 120));
      break;
    case REG_ICON_VALUE_STRING:
      box(1, 2, 15, 14, RGB(120, 120, 120));
      box(2, 3, 14, 13, RGB(255, 255, 255));
      box(4, 5, 7, 11, RGB(200, 30, 30));
      box(9, 5, 12, 11, RGB(200, 30, 30));
      break;
    case REG_ICON_VALUE_BINARY:
      box(1, 2, 15, 14, RGB(120, 120, 120));
      box(2, 3, 14, 13, RGB(255, 255, 255));
      box(4, 5, 6, 11, RGB(30, 60, 200));
      box(8, 5, 12, 7, RGB(30, 60, 200));
      box(8, 9, 12, 11, RGB(30, 60, 200));
      break;
    case REG_ICON_EDITOR:
      box(1, 1, 15, 15, RGB(40, 90, 170));
      box(3, 3, 7, 7, RGB(250, 210, 90));
      box(9, 3, 13, 7, RGB(250, 210, 90));
      box(3, 9, 7, 13, RGB(250, 210, 90));
      box(9, 9, 13, 13, RGB(255, 255, 255));
      break;
  }
}

}  // namespace

HICON MakeRegistryIcon(RegistryIconKind kind, int size) {
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = size;
  bi.bmiHeader.biHeight = -size;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP color = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HBITMAP mask = CreateBitmap(size, size, 1, 1, nullptr);
  HDC dc = CreateCompatibleDC(screen);
  ReleaseDC(nullptr, screen);
  HICON icon = nullptr;
  if (color && mask && dc && bits) {
    memset(bits, 0, (size_t)size * size * 4);
    HGDIOBJ old = SelectObject(dc, color);
    Draw(dc, kind, size);
    SelectObject(dc, old);
    // Drawn pixels become opaque; the rest stays transparent.
    DWORD* px = static_cast<DWORD*>(bits);
    for (int i = 0; i < size * size; ++i)
      if (px[i]) px[i] |= 0xFF000000u;
    old = SelectObject(dc, mask);
    PatBlt(dc, 0, 0, size, size, BLACKNESS);
    for (int y = 0; y < size; ++y)
      for (int x = 0; x < size; ++x)
        if (!px[y * size + x]) SetPixel(dc, x, y, RGB(255, 255, 255));
    SelectObject(dc, old);
    ICONINFO info = {TRUE, 0, 0, mask, color};
    icon = CreateIconIndirect(&info);
  }
  if (dc) DeleteDC(dc);
  if (color) DeleteObject(color);
  if (mask) DeleteObject(mask);
  return icon;
}

HIMAGELIST MakeRegistryImageList(const RegistryIconKind* kinds, int count) {
  HIMAGELIST list = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, count, 0);
  if (!list) return nullptr;
  for (int i = 0; i < count; ++i) {
    HICON icon = MakeRegistryIcon(kinds[i], 16);
    if (icon) {
      ImageList_AddIcon(list, icon);
      DestroyIcon(icon);
    }
  }
  return list;
}
