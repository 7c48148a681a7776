#include "driverui/DriverIcons.h"
#include "ui/DrawnIcon.h"

#include <cstdint>

namespace {

enum Shape { kCard, kMonitor, kPage, kWarning, kBox, kCheck };

struct Picture {
  int id;
  Shape shape;
  COLORREF colour;
  const wchar_t* label;  // a short mark on the picture, or null
};

const Picture kPictures[] = {
    {kIconNetwork, kCard, RGB(40, 120, 60), nullptr},
    {kIconNetOwn, kCard, RGB(30, 90, 190), L"V"},
    {kIconNetVirtual, kCard, RGB(130, 130, 140), L"~"},
    {kIconVirtualAdapter, kCard, RGB(130, 130, 140), L"~"},
    {kIconProblemOverlay, kWarning, RGB(230, 40, 30), nullptr},
    {kIconDisplay, kMonitor, RGB(40, 110, 180), nullptr},
    {kIconDisplayVirtual, kMonitor, RGB(130, 130, 140), L"~"},
    {kIconDisplayOwn, kMonitor, RGB(30, 90, 190), L"V"},
    {kIconNetInfo, kCard, RGB(40, 120, 60), nullptr},
    {kIconNetInfoOwn, kCard, RGB(30, 90, 190), L"V"},
    {kIconNetInfoRecorded, kCard, RGB(200, 120, 20), L"R"},
    {kIconDisplayInfo, kMonitor, RGB(40, 110, 180), nullptr},
    {kIconDisplayInfoOwn, kMonitor, RGB(30, 90, 190), L"V"},
    {kIconDisplayInfoRecorded, kMonitor, RGB(200, 120, 20), L"R"},
    {kIconTabNetwork, kCard, RGB(40, 120, 60), nullptr},
    {kIconTabDisplay, kMonitor, RGB(40, 110, 180), nullptr},
    {kIconTabOwnPrograms, kBox, RGB(30, 90, 190), L"V"},
    {kIconFile, kPage, RGB(120, 120, 120), nullptr},
    {kIconFileDriver, kPage, RGB(60, 100, 170), L"S"},
    {kIconFileProgram, kPage, RGB(40, 140, 70), L"E"},
    {kIconFileLink, kPage, RGB(120, 120, 120), L">"},
    {kIconFileDriverLink, kPage, RGB(60, 100, 170), L">"},
    {kIconFileProgramLink, kPage, RGB(40, 140, 70), L">"},
    {kIconComponentClient, kMonitor, RGB(60, 120, 170), nullptr},
    {kIconComponentService, kBox, RGB(170, 120, 40), nullptr},
    {kIconComponentProtocol, kCard, RGB(90, 90, 150), nullptr},
    {kIconCheckOff, kCheck, RGB(255, 255, 255), nullptr},
    {kIconCheckOn, kCheck, RGB(255, 255, 255), L"x"},
};

void Frame(HDC dc, int l, int t, int r, int b, COLORREF colour) {
  RECT rc = {l, t, r, b};
  HBRUSH brush = CreateSolidBrush(colour);
  FrameRect(dc, &rc, brush);
  DeleteObject(brush);
}

void Draw(HDC dc, const Picture& p, int s) {
  int u = s / 16 ? s / 16 : 1;
  switch (p.shape) {
    case kCard:  // an adapter board with its contacts
      FillDrawnRect(dc, 1 * u, 3 * u, 15 * u, 11 * u, p.colour);
      Frame(dc, 1 * u, 3 * u, 15 * u, 11 * u, RGB(20, 20, 20));
      for (int i = 0; i < 5; ++i)
        FillDrawnRect(dc, (3 + 2 * i) * u, 11 * u, (4 + 2 * i) * u, 13 * u, RGB(210, 170, 40));
      FillDrawnRect(dc, 3 * u, 5 * u, 7 * u, 9 * u, RGB(40, 40, 40));
      break;
    case kMonitor:
      FillDrawnRect(dc, 1 * u, 2 * u, 15 * u, 12 * u, RGB(40, 40, 40));
      FillDrawnRect(dc, 2 * u, 3 * u, 14 * u, 11 * u, p.colour);
      FillDrawnRect(dc, 6 * u, 12 * u, 10 * u, 14 * u, RGB(80, 80, 80));
      break;
    case kPage:
      FillDrawnRect(dc, 3 * u, 1 * u, 13 * u, 15 * u, RGB(255, 255, 255));
      Frame(dc, 3 * u, 1 * u, 13 * u, 15 * u, p.colour);
      FillDrawnRect(dc, 5 * u, 4 * u, 11 * u, 5 * u, p.colour);
      FillDrawnRect(dc, 5 * u, 7 * u, 11 * u, 8 * u, p.colour);
      break;
    case kBox:
      FillDrawnRect(dc, 2 * u, 4 * u, 14 * u, 14 * u, p.colour);
      Frame(dc, 2 * u, 4 * u, 14 * u, 14 * u, RGB(20, 20, 20));
      FillDrawnRect(dc, 4 * u, 2 * u, 12 * u, 4 * u, RGB(200, 200, 200));
      break;
    case kWarning: {  // a small sign in the lower left, the rest transparent
      POINT points[] = {{0, 15 * u}, {4 * u, 7 * u}, {8 * u, 15 * u}};
      HBRUSH brush = CreateSolidBrush(p.colour);
      HGDIOBJ oldBrush = SelectObject(dc, brush);
      HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
      Polygon(dc, points, 3);
      SelectObject(dc, oldBrush);
      SelectObject(dc, oldPen);
      DeleteObject(brush);
      FillDrawnRect(dc, 4 * u - u / 2, 10 * u, 4 * u + (u + 1) / 2, 13 * u, RGB(255, 255, 255));
      FillDrawnRect(dc, 4 * u - u / 2, 14 * u, 4 * u + (u + 1) / 2, 15 * u, RGB(255, 255, 255));
      break;
    }
    case kCheck:
      FillDrawnRect(dc, 2 * u, 2 * u, 14 * u, 14 * u, p.colour);
      Frame(dc, 2 * u, 2 * u, 14 * u, 14 * u, RGB(60, 60, 60));
      break;
  }
  if (p.label) {
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, p.shape == kCheck ? RGB(0, 0, 0) : RGB(255, 255, 255));
    HFONT font = CreateFontW(-9 * u, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0,
                             NONANTIALIASED_QUALITY, 0, L"Tahoma");
    HGDIOBJ old = SelectObject(dc, font);
    RECT rc = {0, 0, s, s};
    if (p.shape == kCard) rc = {7 * u, 3 * u, 15 * u, 11 * u};
    if (p.shape == kMonitor) rc = {2 * u, 3 * u, 14 * u, 11 * u};
    DrawTextW(dc, p.label, -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(dc, old);
    DeleteObject(font);
  }
}

HICON MakeIcon(const Picture& p, int s) {
  return MakeDrawnIcon(s, [&](HDC dc, int size) { Draw(dc, p, size); });
}

}  // namespace

HICON LoadDriverIcon(HINSTANCE module, int id, int size) {
  HICON own =
      static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, 0));
  if (own) return own;
  for (const Picture& p : kPictures) {
    if (p.id == id) return MakeIcon(p, size);
  }
  return nullptr;
}

int AppendDriverIcons(HIMAGELIST list, HINSTANCE module, const int* ids, int count, int size) {
  int appended = 0;
  for (int i = 0; i < count; ++i) {
    HICON icon = LoadDriverIcon(module, ids[i], size);
    if (!icon) continue;
    if (ImageList_AddIcon(list, icon) >= 0) ++appended;
    DestroyIcon(icon);
  }
  return appended;
}
