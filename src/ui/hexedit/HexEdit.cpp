#include "ui/hexedit/HexEdit.h"

#include <cstring>
#include <new>

#include "common/TextSearch.h"
#include "ui/hexedit/HexEditInternal.h"

namespace {

const int kDefaultFontHeight = 12;

BYTE* CopyBytes(const BYTE* data, int size) {
  BYTE* copy = new (std::nothrow) BYTE[size > 0 ? size : 1];
  if (copy && data && size > 0) memcpy(copy, data, size);
  return copy;
}

void FreeData(HexEditControl* r) {
  if (!r->readOnly) delete[] r->data;
  r->data = nullptr;
  r->size = 0;
}

}  // namespace

namespace hexedit {

HexEditControl* FromWindow(HWND window) {
  return reinterpret_cast<HexEditControl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

int LineCount(const HexEditControl* r) {
  return r->bytesPerLine > 0 ? r->size / r->bytesPerLine + 1 : 1;
}

bool InHexPane(const HexEditControl* r) {
  return r->pane == kHexPaneHigh || r->pane == kHexPaneLow;
}

}  // namespace hexedit

HexEditControl* AttachHexEdit(HexEditControl* r, HWND window, const BYTE* data, int size,
                              BOOL readOnly, int bytesPerLine, HFONT font) {
  memset(r, 0, sizeof *r);
  r->window = window;
  r->showOffsets = r->showText = r->showHex = TRUE;
  r->wideOffsets = TRUE;
  r->font = font ? font
                 : CreateFontA(kDefaultFontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                               DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                               DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, "Fixedsys");
  SetHexEditData(r, data, size, readOnly, bytesPerLine);
  hexedit::TakeMetrics(r);
  r->caretX = (r->bytesPerLine + 1) * r->charWidth;
  r->caretY = 0;
  SendMessageW(window, WM_SETFONT, WPARAM(r->font), FALSE);
  SetWindowLongPtrW(window, GWLP_USERDATA, LONG_PTR(r));
  r->previousProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window, GWLP_WNDPROC, LONG_PTR(HexEditWindowProc)));
  ResizeHexEdit(r);
  return r;
}

void SetHexEditData(HexEditControl* r, const BYTE* data, int size, BOOL readOnly,
                    int bytesPerLine) {
  FreeData(r);
  if (size < 0) size = 0;
  r->readOnly = readOnly;
  r->data = readOnly ? const_cast<BYTE*>(data) : CopyBytes(data, size);
  r->size = r->data || size == 0 ? size : 0;
  r->bytesPerLine = bytesPerLine > 0 ? bytesPerLine : 16;
  r->selectionStart = r->selectionEnd = -1;
  r->caretOffset = 0;
  r->pane = kHexPaneHigh;
  r->topOffset = 0;
  r->layoutChanged = TRUE;
}

void DetachHexEdit(HexEditControl* r) {
  if (r->font) DeleteObject(r->font);
  r->font = nullptr;
  FreeData(r);
  if (r->previousProc && IsWindow(r->window)) {
    SetWindowLongPtrW(r->window, GWLP_WNDPROC, LONG_PTR(r->previousProc));
    SetWindowLongPtrW(r->window, GWLP_USERDATA, 0);
  }
  r->previousProc = nullptr;
}

HexEditControl* DeleteHexEdit(HexEditControl* r) {
  if (!r) return r;
  DetachHexEdit(r);
  delete r;
  return r;
}

void ResizeHexEdit(HexEditControl* r) {
  RECT client;
  GetClientRect(r->window, &client);
  r->linesPerPage = r->lineHeight > 0 ? client.bottom / r->lineHeight : 0;
  hexedit::UpdateScrollBar(r);
  hexedit::Redraw(r);
}

void SetHexEditFont(HexEditControl* r, HFONT font) {
  if (r->font && r->font != font) DeleteObject(r->font);
  r->font = font;
  SendMessageW(r->window, WM_SETFONT, WPARAM(font), FALSE);
  r->layoutChanged = TRUE;
  hexedit::Redraw(r);
}

void SetHexEditSelection(HexEditControl* r, int caret, int pane, int start, int end) {
  r->caretOffset = caret;
  r->pane = pane;
  r->selectionStart = start;
  r->selectionEnd = end;
  const int bpl = r->bytesPerLine;
  const int pageBytes = (r->linesPerPage > 0 ? r->linesPerPage : 1) * bpl;
  bool visible = start >= r->topOffset && start < r->topOffset + pageBytes;
  if (!visible) {
    int top = (start > 0 ? start : 0) / bpl * bpl;
    int lastTop = (hexedit::LineCount(r) - (r->linesPerPage > 0 ? r->linesPerPage : 1)) * bpl;
    if (top > lastTop) top = lastTop;
    if (top < 0) top = 0;
    r->topOffset = top;
  }
  hexedit::KeepCaretVisible(r);
  if (r->caretOffset > r->size) r->caretOffset = r->size;
  hexedit::UpdateScrollBar(r);
  hexedit::Redraw(r);
}

int FindBytesInHexEdit(HexEditControl* r, int start, const BYTE* pattern, int length,
                       BOOL matchCase) {
  if (start < 0) start = 0;
  if (start > r->size || !pattern || length <= 0) return -1;
  const char* base = reinterpret_cast<const char*>(r->data) + start;
  const char* p = reinterpret_cast<const char*>(pattern);
  const char* found = matchCase ? FindBytes(base, r->size - start, p, length)
                                : FindBytesNoCase(base, r->size - start, p, length);
  return found ? int(found - reinterpret_cast<const char*>(r->data)) : -1;
}

void OrderHexEditSelection(HexEditControl* r) {
  if (r->selectionStart > r->selectionEnd) {
    int t = r->selectionStart;
    r->selectionStart = r->selectionEnd;
    r->selectionEnd = t;
  }
}

BOOL InsertHexEditBytes(HexEditControl* r, int offset, int count) {
  if (r->readOnly || count <= 0 || offset < 0 || offset > r->size) return FALSE;
  BYTE* grown = new (std::nothrow) BYTE[r->size + count]();
  if (!grown) return FALSE;
  if (r->data) {
    memcpy(grown, r->data, offset);
    memcpy(grown + offset + count, r->data + offset, r->size - offset);
  }
  delete[] r->data;
  r->data = grown;
  r->size += count;
  r->selectionStart = r->selectionEnd = -1;
  r->layoutChanged = TRUE;
  return TRUE;
}

void DeleteHexEditRange(HexEditControl* r, int a, int b) {
  if (r->readOnly) return;
  if (a > b) {
    int t = a;
    a = b;
    b = t;
  }
  if (a < 0) a = 0;
  if (b > r->size) b = r->size;
  if (a >= b) return;
  memmove(r->data + a, r->data + b, r->size - b);
  r->size -= b - a;
  r->selectionStart = r->selectionEnd = -1;
  if (r->caretOffset > r->size) r->caretOffset = r->size;
  if (r->topOffset > r->size) r->topOffset = r->size / r->bytesPerLine * r->bytesPerLine;
  hexedit::UpdateScrollBar(r);
  r->layoutChanged = TRUE;
}

void FilterHexEditText(const BYTE* bytes, int count, char* out) {
  for (int i = 0; i < count; ++i) {
    BYTE b = bytes[i];
    if (b >= 0x81 && b <= 0xFE && i + 1 < count && bytes[i + 1] >= 0x40 && bytes[i + 1] <= 0xFE) {
      out[i] = char(b);
      out[i + 1] = char(bytes[i + 1]);
      ++i;
    } else if (b < 0x20 || b == 0x7F || b >= 0x80) {
      out[i] = '.';  // control bytes, 80, FF and lone lead bytes
    } else {
      out[i] = char(b);
    }
  }
}
