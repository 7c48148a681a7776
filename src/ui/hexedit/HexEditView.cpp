// Metrics, scrolling, the caret and painting of the hex editor.
#include <cstdio>
#include <vector>

#include "ui/hexedit/HexEditInternal.h"

namespace hexedit {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

int FirstVisibleLine(const HexEditControl* r) {
  return r->topOffset / r->bytesPerLine;
}

// Draws `count` single-byte cells from x with a fixed advance.
void DrawCells(HDC dc, int x, int y, const char* text, int count, int width) {
  if (count <= 0) return;
  std::vector<INT> advance(count, width);
  ExtTextOutA(dc, x, y, ETO_OPAQUE, nullptr, text, count, advance.data());
}

void UseColors(HDC dc, bool selected) {
  SetBkColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
  SetTextColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
}

}  // namespace

void TakeMetrics(HexEditControl* r) {
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, r->font ? r->font : GetStockObject(SYSTEM_FIXED_FONT));
  INT width = 8;
  GetCharWidthA(dc, '0', '0', &width);
  SIZE extent = {8, 16};
  GetTextExtentPoint32A(dc, "0", 1, &extent);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  r->charWidth = width > 0 ? width : 8;
  r->lineHeight = extent.cy > 0 ? extent.cy : 16;
  r->hexColumnX = r->showOffsets ? (r->wideOffsets ? 9 : 5) * r->charWidth : 0;
  r->textColumnX = r->hexColumnX + (r->showHex ? 3 * r->bytesPerLine * r->charWidth : 0);
}

void UpdateScrollBar(HexEditControl* r) {
  SCROLLINFO info = {sizeof info, SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL};
  info.nMin = 0;
  info.nMax = LineCount(r) - 1;
  info.nPage = r->linesPerPage > 0 ? r->linesPerPage : 1;
  info.nPos = FirstVisibleLine(r);
  SetScrollInfo(r->window, SB_VERT, &info, TRUE);
}

void PlaceCaret(HexEditControl* r) {
  const int column = r->caretOffset % r->bytesPerLine;
  r->caretY = (r->caretOffset / r->bytesPerLine - FirstVisibleLine(r)) * r->lineHeight;
  if (r->pane == kHexPaneText)
    r->caretX = r->textColumnX + column * r->charWidth;
  else if (r->pane == kHexPaneOffset)
    r->caretX = 0;
  else
    r->caretX = r->hexColumnX + (3 * column + (r->pane == kHexPaneLow ? 1 : 0)) * r->charWidth;
  if (GetFocus() == r->window) SetCaretPos(r->caretX, r->caretY);
}

void KeepCaretVisible(HexEditControl* r) {
  const int page = r->linesPerPage > 0 ? r->linesPerPage : 1;
  const int line = r->caretOffset / r->bytesPerLine;
  int top = FirstVisibleLine(r);
  if (line < top) top = line;
  if (line >= top + page) top = line - page + 1;
  r->topOffset = top * r->bytesPerLine;
}

void ScrollLines(HexEditControl* r, int lines) {
  const int page = r->linesPerPage > 0 ? r->linesPerPage : 1;
  int top = FirstVisibleLine(r) + lines;
  int last = LineCount(r) - page;
  if (top > last) top = last;
  if (top < 0) top = 0;
  r->topOffset = top * r->bytesPerLine;
  // The caret stays on the page.
  int line = r->caretOffset / r->bytesPerLine;
  int column = r->caretOffset % r->bytesPerLine;
  if (line < top) line = top;
  if (line >= top + page) line = top + page - 1;
  r->caretOffset = line * r->bytesPerLine + column;
  if (r->caretOffset > r->size) r->caretOffset = r->size;
  UpdateScrollBar(r);
  Redraw(r);
}

void Redraw(HexEditControl* r) {
  PlaceCaret(r);
  InvalidateRect(r->window, nullptr, FALSE);
}

void Paint(HexEditControl* r) {
  PAINTSTRUCT ps;
  HDC target = BeginPaint(r->window, &ps);
  if (!target) return;
  RECT client;
  GetClientRect(r->window, &client);
  if (r->layoutChanged) {
    TakeMetrics(r);
    r->linesPerPage = r->lineHeight > 0 ? client.bottom / r->lineHeight : 0;
    UpdateScrollBar(r);
    PlaceCaret(r);
    r->layoutChanged = FALSE;
  }
  HDC dc = CreateCompatibleDC(target);
  HBITMAP bitmap = CreateCompatibleBitmap(target, client.right > 0 ? client.right : 1,
                                          client.bottom > 0 ? client.bottom : 1);
  HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
  FillRect(dc, &client, HBRUSH(GetStockObject(WHITE_BRUSH)));
  HGDIOBJ oldFont = SelectObject(dc, r->font);

  const int bpl = r->bytesPerLine, cw = r->charWidth;
  int selA = r->selectionStart, selB = r->selectionEnd;
  if (selA > selB) {
    int t = selA;
    selA = selB;
    selB = t;
  }
  const bool hexSelected = InHexPane(r), textSelected = r->pane == kHexPaneText;
  std::vector<char> text(bpl + 1);
  for (int row = 0; row <= r->linesPerPage; ++row) {
    const int first = r->topOffset + row * bpl;
    if (first >= r->size && !(row == 0 && first == 0)) break;
    const int y = row * r->lineHeight;
    const int count = first + bpl <= r->size ? bpl : r->size - first;
    UseColors(dc, false);
    if (r->showOffsets) {
      char offset[16];
      int n = snprintf(offset, sizeof offset, r->wideOffsets ? "%08lX" : "%04lX",
                       static_cast<unsigned long>(first));
      DrawCells(dc, 0, y, offset, n, cw);
    }
    FilterHexEditText(r->data + first, count, text.data());
    for (int i = 0; i < bpl; ++i) {
      const int at = first + i;
      const bool selected = i < count && at >= selA && at < selB && selA >= 0;
      if (r->showHex) {
        char cell[3] = {' ', ' ', ' '};
        if (i < count) {
          cell[0] = kHexDigits[r->data[at] >> 4];
          cell[1] = kHexDigits[r->data[at] & 15];
        }
        UseColors(dc, selected && hexSelected);
        DrawCells(dc, r->hexColumnX + 3 * i * cw, y, cell, 3, cw);
      }
    }
    if (r->showText && count > 0) {
      // Runs of like selection, so that a double-byte pair is drawn whole.
      int i = 0;
      while (i < count) {
        const bool selected = selA >= 0 && first + i >= selA && first + i < selB;
        int j = i + 1;
        while (j < count && (selA >= 0 && first + j >= selA && first + j < selB) == selected) ++j;
        UseColors(dc, selected && textSelected);
        DrawCells(dc, r->textColumnX + i * cw, y, text.data() + i, j - i, cw);
        i = j;
      }
    }
  }
  BitBlt(target, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
  SelectObject(dc, oldFont);
  SelectObject(dc, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
  EndPaint(r->window, &ps);
}

}  // namespace hexedit
