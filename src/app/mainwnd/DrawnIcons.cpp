#include "app/mainwnd/DrawnIcons.h"
#include "ui/DrawnIcon.h"

#include <commctrl.h>

#include <cstdint>

namespace {

enum Shape { kDrive, kFolder, kPage, kDisk, kArrowIn, kArrowOut, kEye, kLens, kCube, kChip, kBox };

struct Picture {
  Shape shape;
  COLORREF colour;
  const wchar_t* label;  // up to 3 letters on the picture, or null
};

// File-type groups 3..18 as coloured pages with a short label.
const Picture kGroupPictures[] = {
    {kPage, RGB(120, 120, 140), L"DLL"}, {kPage, RGB(40, 100, 200), L"EXE"},
    {kPage, RGB(150, 60, 150), L"A"},    {kPage, RGB(40, 160, 80), L"IMG"},
    {kPage, RGB(110, 110, 60), L"INI"},  {kPage, RGB(60, 60, 60), L"BAT"},
    {kPage, RGB(30, 130, 150), L"REG"},  {kPage, RGB(90, 90, 90), L"TXT"},
    {kPage, RGB(30, 80, 170), L"DOC"},   {kPage, RGB(200, 140, 30), L"?"},
    {kPage, RGB(180, 40, 40), L"VID"},   {kPage, RGB(220, 110, 30), L"SND"},
    {kPage, RGB(20, 120, 200), L"WEB"},  {kPage, RGB(100, 140, 40), L"XML"},
    {kPage, RGB(160, 110, 40), L"ZIP"},  {kDisk, RGB(60, 90, 160), nullptr},
};

const Picture kToolbar[kToolbarPictures] = {
    {kDisk, RGB(60, 90, 160), nullptr},      {kArrowIn, RGB(40, 150, 60), nullptr},
    {kArrowOut, RGB(200, 110, 30), nullptr}, {kEye, RGB(40, 100, 200), nullptr},
    {kLens, RGB(90, 90, 110), nullptr},      {kCube, RGB(30, 130, 150), nullptr},
    {kChip, RGB(60, 140, 60), nullptr},      {kBox, RGB(160, 110, 40), nullptr},
    {kDrive, RGB(100, 100, 110), nullptr},
};

void Polygon(HDC dc, const POINT* points, int count, COLORREF fill, COLORREF line) {
  HBRUSH brush = CreateSolidBrush(fill);
  HPEN pen = CreatePen(PS_SOLID, 1, line);
  HGDIOBJ oldBrush = SelectObject(dc, brush), oldPen = SelectObject(dc, pen);
  ::Polygon(dc, points, count);
  SelectObject(dc, oldBrush);
  SelectObject(dc, oldPen);
  DeleteObject(brush);
  DeleteObject(pen);
}

void Ellipse(HDC dc, int l, int t, int r, int b, COLORREF fill, COLORREF line, int width) {
  HBRUSH brush = fill == kDrawnIconKey ? static_cast<HBRUSH>(GetStockObject(NULL_BRUSH))
                                       : CreateSolidBrush(fill);
  HPEN pen = CreatePen(PS_SOLID, width, line);
  HGDIOBJ oldBrush = SelectObject(dc, brush), oldPen = SelectObject(dc, pen);
  ::Ellipse(dc, l, t, r, b);
  SelectObject(dc, oldBrush);
  SelectObject(dc, oldPen);
  if (fill != kDrawnIconKey) DeleteObject(brush);
  DeleteObject(pen);
}

COLORREF Darker(COLORREF c) {
  return RGB(GetRValue(c) * 2 / 3, GetGValue(c) * 2 / 3, GetBValue(c) * 2 / 3);
}

// Draws one picture on an s x s canvas filled with the key colour.
void Draw(HDC dc, const Picture& p, int s) {
  const COLORREF dark = Darker(p.colour);
  const int u = s / 16 ? s / 16 : 1;  // one unit of a 16-unit grid
  switch (p.shape) {
    case kDrive: {
      FillDrawnRect(dc, u, 5 * u, s - u, 12 * u, dark);
      FillDrawnRect(dc, 2 * u, 6 * u, s - 2 * u, 11 * u, p.colour);
      FillDrawnRect(dc, s - 5 * u, 8 * u, s - 3 * u, 9 * u + (u > 1 ? 0 : 1), RGB(60, 220, 60));
      break;
    }
    case kFolder: {
      POINT tab[] = {{u, 3 * u}, {6 * u, 3 * u}, {7 * u, 5 * u}, {u, 5 * u}};
      Polygon(dc, tab, 4, RGB(214, 160, 40), RGB(160, 110, 20));
      FillDrawnRect(dc, u, 5 * u, s - u, 14 * u, RGB(160, 110, 20));
      FillDrawnRect(dc, 2 * u, 6 * u, s - 2 * u, 13 * u, RGB(250, 204, 80));
      break;
    }
    case kPage:
    default: {
      if (p.shape == kPage || p.shape == kBox) {
        POINT page[] = {
            {3 * u, u}, {10 * u, u}, {13 * u, 4 * u}, {13 * u, 15 * u}, {3 * u, 15 * u}};
        Polygon(dc, page, 5, RGB(255, 255, 255), RGB(110, 110, 110));
        POINT fold[] = {{10 * u, u}, {10 * u, 4 * u}, {13 * u, 4 * u}};
        Polygon(dc, fold, 3, RGB(210, 210, 210), RGB(110, 110, 110));
        if (p.colour != RGB(0, 0, 0)) FillDrawnRect(dc, 3 * u + 1, 9 * u, 13 * u, 14 * u, p.colour);
        if (p.shape == kBox) FillDrawnRect(dc, 7 * u, u + 1, 9 * u, 9 * u, p.colour);
      }
      break;
    }
    case kDisk: {
      Ellipse(dc, u, u, s - u, s - u, p.colour, dark, 1);
      Ellipse(dc, 6 * u, 6 * u, s - 6 * u, s - 6 * u, RGB(230, 230, 240), dark, 1);
      break;
    }
    case kArrowIn:
    case kArrowOut: {
      FillDrawnRect(dc, 2 * u, 11 * u, s - 2 * u, 14 * u, RGB(120, 120, 130));
      const int y0 = p.shape == kArrowIn ? 2 * u : 10 * u, dir = p.shape == kArrowIn ? 1 : -1;
      POINT arrow[] = {{6 * u, y0},
                       {10 * u, y0},
                       {10 * u, y0 + dir * 4 * u},
                       {13 * u, y0 + dir * 4 * u},
                       {8 * u, y0 + dir * 8 * u},
                       {3 * u, y0 + dir * 4 * u},
                       {6 * u, y0 + dir * 4 * u}};
      Polygon(dc, arrow, 7, p.colour, dark);
      break;
    }
    case kEye: {
      Ellipse(dc, u, 4 * u, s - u, 12 * u, RGB(255, 255, 255), dark, u);
      Ellipse(dc, 6 * u, 5 * u, 10 * u, 11 * u, p.colour, dark, 1);
      break;
    }
    case kLens: {
      HPEN pen = CreatePen(PS_SOLID, 3 * u, dark);
      HGDIOBJ old = SelectObject(dc, pen);
      MoveToEx(dc, 9 * u, 9 * u, nullptr);
      LineTo(dc, 14 * u, 14 * u);
      SelectObject(dc, old);
      DeleteObject(pen);
      Ellipse(dc, u, u, 11 * u, 11 * u, RGB(200, 230, 255), p.colour, u);
      break;
    }
    case kCube: {
      for (int i = 0; i < 3; ++i) {
        const int x = (1 + i * 5) * u;
        FillDrawnRect(dc, x, (2 + i * 4) * u, x + 4 * u, (6 + i * 4) * u, p.colour);
      }
      break;
    }
    case kChip: {
      for (int i = 3; i < 13; i += 3) {
        FillDrawnRect(dc, i * u, u, i * u + u, s - u, RGB(150, 150, 150));
      }
      FillDrawnRect(dc, 2 * u, 3 * u, s - 2 * u, s - 3 * u, p.colour);
      break;
    }
  }
  if (p.label && s >= 24) {
    HFONT font = CreateFontW(-(s * 5 / 16), 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0,
                             NONANTIALIASED_QUALITY, 0, L"Tahoma");
    HGDIOBJ old = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    RECT rc = {3 * u, 9 * u, 13 * u, 14 * u};
    DrawTextW(dc, p.label, -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, old);
    DeleteObject(font);
  }
}

HICON MakeIcon(const Picture& p, int s) {
  return MakeDrawnIcon(s, [&](HDC dc, int size) { Draw(dc, p, size); });
}

}  // namespace

HICON CreateToolbarIcon(int picture, int size) {
  if (picture < 0 || picture >= kToolbarPictures) return nullptr;
  return MakeIcon(kToolbar[picture], size);
}

HICON CreateItemIcon(int itemImage, int size) {
  static const Picture kDrivePicture = {kDrive, RGB(100, 100, 110), nullptr};
  static const Picture kFolderPicture = {kFolder, 0, nullptr};
  static const Picture kPlain = {kPage, RGB(0, 0, 0), nullptr};
  if (itemImage == 0) return MakeIcon(kDrivePicture, size);
  if (itemImage == 1) return MakeIcon(kFolderPicture, size);
  if (itemImage == 2) return MakeIcon(kPlain, size);
  if (itemImage >= 3 && itemImage <= 18) return MakeIcon(kGroupPictures[itemImage - 3], size);
  return nullptr;
}

HIMAGELIST CreateItemImageList(int size) {
  HIMAGELIST list = ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 19, 1);
  if (!list) return nullptr;
  for (int i = 0; i < 19; ++i) {
    HICON icon = CreateItemIcon(i, size);
    if (!icon) continue;
    ImageList_AddIcon(list, icon);
    DestroyIcon(icon);
  }
  return list;
}

HICON CreateAddressIcon(int picture, int size) {
  static const Picture kPictures[] = {{kDisk, RGB(60, 90, 160), nullptr},
                                      {kDisk, RGB(200, 60, 60), nullptr},
                                      {kPage, RGB(200, 140, 30), nullptr},
                                      {kDrive, RGB(100, 100, 110), nullptr},
                                      {kFolder, 0, nullptr}};
  if (picture < 0 || picture > 4) return nullptr;
  return MakeIcon(kPictures[picture], size);
}
