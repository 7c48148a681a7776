#include "ui/shared/LinkText.h"

namespace {
const int kLinkTextChars = 128;
const COLORREF kLinkColor = RGB(255, 255, 0);
}  // namespace

void StripMarkupTags(wchar_t* text) {
  wchar_t* out = text;
  bool inTag = false;
  for (const wchar_t* p = text; *p; ++p) {
    if (*p == L'<')
      inTag = true;
    else if (*p == L'>' && inTag)
      inTag = false;
    else if (!inTag)
      *out++ = *p;
  }
  *out = 0;
}

void PaintLinkText(HWND control, HDC target, POINT at) {
  RECT client;
  GetClientRect(control, &client);
  HDC dc = CreateCompatibleDC(target);
  HBITMAP bitmap = CreateCompatibleBitmap(target, client.right > 0 ? client.right : 1,
                                          client.bottom > 0 ? client.bottom : 1);
  HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
  SetBkColor(dc, GetSysColor(COLOR_HIGHLIGHT));
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &client, L"", 0, nullptr);
  SetTextColor(dc, kLinkColor);
  SetBkMode(dc, TRANSPARENT);

  HFONT font = nullptr;
  LOGFONTW logFont;
  HFONT parentFont = reinterpret_cast<HFONT>(SendMessageW(GetParent(control), WM_GETFONT, 0, 0));
  if (GetObjectW(parentFont ? parentFont : GetStockObject(DEFAULT_GUI_FONT), sizeof logFont,
                 &logFont)) {
    logFont.lfUnderline = TRUE;
    font = CreateFontIndirectW(&logFont);
  }
  HGDIOBJ oldFont = font ? SelectObject(dc, font) : nullptr;
  wchar_t text[kLinkTextChars];
  GetWindowTextW(control, text, kLinkTextChars);
  StripMarkupTags(text);
  DrawTextW(dc, text, -1, &client, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
  BitBlt(target, at.x, at.y, client.right, client.bottom, dc, 0, 0, SRCCOPY);
  if (oldFont) SelectObject(dc, oldFont);
  if (font) DeleteObject(font);
  SelectObject(dc, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
}
