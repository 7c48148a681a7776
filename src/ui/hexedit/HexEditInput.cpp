// The hex editor's window procedure: mouse, keys, typing, scrolling and the
// context menu's commands.
#include <windowsx.h>
#include <richedit.h>

#include "ui/hexedit/HexEditInternal.h"

namespace hexedit {

namespace {

bool ShiftDown() {
  return GetKeyState(VK_SHIFT) < 0;
}
bool ControlDown() {
  return GetKeyState(VK_CONTROL) < 0;
}

int HexDigitValue(UINT c) {
  if (c >= '0' && c <= '9') return int(c - '0');
  if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
  return -1;
}

void ClearSelection(HexEditControl* r) {
  r->selectionStart = r->selectionEnd = -1;
}

bool HasSelection(const HexEditControl* r) {
  return r->selectionStart >= 0 && r->selectionEnd >= 0 && r->selectionStart != r->selectionEnd;
}

void DeleteSelection(HexEditControl* r) {
  if (!HasSelection(r)) return;
  OrderHexEditSelection(r);
  int start = r->selectionStart;
  DeleteHexEditRange(r, r->selectionStart, r->selectionEnd);
  r->caretOffset = start;
}

// The byte and pane under a client point.
void HitTest(const HexEditControl* r, int x, int y, int* offset, int* pane) {
  const int cw = r->charWidth, bpl = r->bytesPerLine;
  int line = r->topOffset / bpl + (y > 0 ? y / r->lineHeight : 0);
  int column = x > 0 ? x / cw : 0;
  const int hexStart = r->hexColumnX / cw, textStart = r->textColumnX / cw;
  int byte;
  if (r->showOffsets && column < hexStart) {
    byte = 0;
    *pane = kHexPaneOffset;
  } else if (r->showHex && column < textStart) {
    int k = column - hexStart;
    byte = k / 3;
    *pane = k % 3 == 0 ? kHexPaneHigh : kHexPaneLow;
  } else {
    byte = column - textStart;
    *pane = kHexPaneText;
  }
  if (byte >= bpl) byte = bpl - 1;
  *offset = line * bpl + byte;
  if (*offset > r->size) {
    *offset = r->size;
    if (*pane == kHexPaneLow) *pane = kHexPaneHigh;
  }
}

void Click(HexEditControl* r, int x, int y) {
  SetFocus(r->window);
  if (!r->data && r->size == 0) return;
  const int old = r->caretOffset;
  int offset, pane;
  HitTest(r, x, y, &offset, &pane);
  r->caretOffset = offset;
  r->pane = pane;
  if (ShiftDown()) {
    int anchor = r->selectionStart >= 0 ? r->selectionStart : old;
    r->selectionStart = anchor;
    r->selectionEnd = offset + (InHexPane(r) && offset < r->size ? 1 : 0);
  } else {
    POINT screen = {x, y};
    ClientToScreen(r->window, &screen);
    if (DragDetect(r->window, screen)) {
      r->selectionStart = r->selectionEnd = offset;
      SetCapture(r->window);
    } else {
      ClearSelection(r);
    }
  }
  Redraw(r);
}

void ExtendTo(HexEditControl* r, int x, int y) {
  RECT client;
  GetClientRect(r->window, &client);
  if (y < 0)
    ScrollLines(r, -1);
  else if (y >= client.bottom)
    ScrollLines(r, 1);
  int offset, pane;
  HitTest(r, x, y < 0 ? 0 : (y >= client.bottom ? client.bottom - 1 : y), &offset, &pane);
  r->selectionEnd = offset + 1 <= r->size ? offset + 1 : r->size;
  r->caretOffset = offset;
  Redraw(r);
}

// Moves the caret by one of the movement keys; Shift extends the selection.
void Move(HexEditControl* r, UINT key) {
  const int bpl = r->bytesPerLine;
  const int page = (r->linesPerPage > 0 ? r->linesPerPage : 1) * bpl;
  const int old = r->caretOffset;
  int caret = old;
  switch (key) {
    case VK_LEFT:
      if (r->pane == kHexPaneLow) {
        r->pane = kHexPaneHigh;
      } else if (caret > 0) {
        --caret;
        if (InHexPane(r)) r->pane = kHexPaneLow;
      }
      break;
    case VK_RIGHT:
      if (r->pane == kHexPaneHigh && caret < r->size) {
        r->pane = kHexPaneLow;
      } else if (caret < r->size) {
        ++caret;
        if (InHexPane(r)) r->pane = kHexPaneHigh;
      }
      break;
    case VK_UP:
      caret -= bpl;
      break;
    case VK_DOWN:
      caret += bpl;
      break;
    case VK_PRIOR:
      caret -= page;
      break;
    case VK_NEXT:
      caret += page;
      break;
    case VK_HOME:
      caret = ControlDown() ? 0 : caret / bpl * bpl;
      break;
    case VK_END:
      caret = ControlDown() ? r->size : caret / bpl * bpl + bpl - 1;
      break;
  }
  if (caret < 0) caret = key == VK_UP || key == VK_PRIOR ? old % bpl : 0;
  if (caret > r->size) caret = r->size;
  r->caretOffset = caret;
  if (ShiftDown()) {
    if (r->selectionStart < 0) r->selectionStart = old;
    r->selectionEnd = caret;
  } else {
    ClearSelection(r);
  }
  KeepCaretVisible(r);
  UpdateScrollBar(r);
  Redraw(r);
}

void KeyDown(HexEditControl* r, UINT key) {
  switch (key) {
    case VK_TAB:
      r->pane = r->pane == kHexPaneText ? kHexPaneHigh : kHexPaneText;
      Redraw(r);
      break;
    case VK_LEFT:
    case VK_RIGHT:
    case VK_UP:
    case VK_DOWN:
    case VK_PRIOR:
    case VK_NEXT:
    case VK_HOME:
    case VK_END:
      Move(r, key);
      break;
    case VK_INSERT:
      if (!r->readOnly) {
        OrderHexEditSelection(r);
        int count = HasSelection(r) ? r->selectionEnd - r->selectionStart : 1;
        InsertHexEditBytes(r, r->caretOffset, count);
        UpdateScrollBar(r);
        Redraw(r);
      }
      break;
    case VK_DELETE:
      if (!r->readOnly) {
        if (HasSelection(r))
          DeleteSelection(r);
        else
          DeleteHexEditRange(r, r->caretOffset, r->caretOffset + 1);
        Redraw(r);
      }
      break;
    case 'A':
      if (ControlDown()) PostMessageW(r->window, WM_COMMAND, kHexCmdSelectAll, 0);
      break;
  }
  // As a rich-edit control tells its parent about keys.
  LRESULT mask =
      r->previousProc ? CallWindowProcW(r->previousProc, r->window, EM_GETEVENTMASK, 0, 0) : 0;
  if (mask & ENM_KEYEVENTS) {
    MSGFILTER filter = {};
    filter.nmhdr.hwndFrom = r->window;
    filter.nmhdr.idFrom = UINT_PTR(GetDlgCtrlID(r->window));
    filter.nmhdr.code = EN_MSGFILTER;
    filter.msg = WM_KEYDOWN;
    filter.wParam = key;
    SendMessageW(GetParent(r->window), WM_NOTIFY, filter.nmhdr.idFrom, LPARAM(&filter));
  }
}

void StoreByte(HexEditControl* r, int offset, BYTE value) {
  if (offset >= r->size) InsertHexEditBytes(r, r->size, offset + 1 - r->size);
  if (offset < r->size) r->data[offset] = value;
}

void Type(HexEditControl* r, UINT c) {
  if (!r->data && r->size == 0 && r->readOnly) return;
  switch (c) {
    case 0x03:  // Ctrl+C
      if (HasSelection(r)) CopyHexEditSelection(r);
      return;
    case 0x16:  // Ctrl+V
      if (!r->readOnly) PasteHexEditClipboard(r);
      return;
    case 0x18:  // Ctrl+X
      if (!r->readOnly && HasSelection(r) && CopyHexEditSelection(r)) {
        DeleteSelection(r);
        Redraw(r);
      }
      return;
    case VK_BACK:
      if (!r->readOnly && r->caretOffset > 0) {
        const int before = r->caretOffset - 1;
        DeleteHexEditRange(r, before, before + 1);
        r->caretOffset = before;
        Redraw(r);
      }
      return;
    case VK_ESCAPE:
      PostMessageW(GetParent(r->window), WM_CLOSE, 0, 0);
      return;
    case VK_RETURN:
      if (!r->readOnly) PostMessageW(GetParent(r->window), WM_COMMAND, IDOK, 0);
      return;
  }
  if (c < 0x20) return;  // other control characters type nothing
  ClearSelection(r);
  if (r->readOnly) {
    Redraw(r);
    return;
  }
  if (r->pane == kHexPaneText) {
    BYTE bytes[2] = {BYTE(c), 0};
    int count = 1;
    if (c > 255) {
      wchar_t wide = wchar_t(c);
      char ansi[4];
      count = WideCharToMultiByte(CP_ACP, 0, &wide, 1, ansi, sizeof ansi, nullptr, nullptr);
      if (count <= 0) return;
      if (count > 2) count = 2;
      bytes[0] = BYTE(ansi[0]);
      bytes[1] = BYTE(ansi[1]);
    }
    for (int i = 0; i < count; ++i) StoreByte(r, r->caretOffset++, bytes[i]);
  } else if (InHexPane(r)) {
    int digit = HexDigitValue(c);
    if (digit < 0) return;
    int at = r->caretOffset;
    if (at >= r->size) StoreByte(r, at, 0);
    if (at >= r->size) return;
    if (r->pane == kHexPaneHigh) {
      r->data[at] = BYTE(digit << 4 | (r->data[at] & 0x0F));
      r->pane = kHexPaneLow;
    } else {
      r->data[at] = BYTE((r->data[at] & 0xF0) | digit);
      r->pane = kHexPaneHigh;
      ++r->caretOffset;
    }
  } else {
    return;
  }
  r->layoutChanged = TRUE;
  KeepCaretVisible(r);
  UpdateScrollBar(r);
  Redraw(r);
}

void VScroll(HexEditControl* r, UINT code) {
  const int page = r->linesPerPage > 0 ? r->linesPerPage : 1;
  const int top = r->topOffset / r->bytesPerLine;
  SCROLLINFO info = {sizeof info, SIF_ALL};
  switch (code) {
    case SB_LINEUP:
      ScrollLines(r, -1);
      break;
    case SB_LINEDOWN:
      ScrollLines(r, 1);
      break;
    case SB_PAGEUP:
      ScrollLines(r, -page);
      break;
    case SB_PAGEDOWN:
      ScrollLines(r, page);
      break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION:
      GetScrollInfo(r->window, SB_VERT, &info);
      ScrollLines(r, (code == SB_THUMBTRACK ? info.nTrackPos : info.nPos) - top);
      break;
  }
}

bool Command(HexEditControl* r, UINT id) {
  switch (id) {
    case kHexCmdCut:
      if (!r->readOnly && HasSelection(r) && CopyHexEditSelection(r)) DeleteSelection(r);
      break;
    case kHexCmdCopy:
      if (HasSelection(r)) CopyHexEditSelection(r);
      break;
    case kHexCmdPaste:
      if (!r->readOnly) PasteHexEditClipboard(r);
      break;
    case kHexCmdDelete:
      if (!r->readOnly) DeleteSelection(r);
      break;
    case kHexCmdSelectAll:
      r->selectionStart = 0;
      r->selectionEnd = r->size;
      HideCaret(r->window);
      break;
    default:
      return false;
  }
  Redraw(r);
  return true;
}

}  // namespace
}  // namespace hexedit

LRESULT CALLBACK HexEditWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  using namespace hexedit;
  HexEditControl* r = FromWindow(window);
  if (!r) return DefWindowProcW(window, message, wParam, lParam);
  WNDPROC previous = r->previousProc;
  switch (message) {
    case WM_PAINT:
      Paint(r);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
    case WM_NCHITTEST:
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_SETFOCUS:
      CreateCaret(window, nullptr, r->charWidth, r->lineHeight);
      PlaceCaret(r);
      ShowCaret(window);
      return 0;
    case WM_KILLFOCUS:
      HideCaret(window);
      DestroyCaret();
      return 0;
    case WM_LBUTTONDOWN:
      Click(r, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
      return 0;
    case WM_MOUSEMOVE:
      if ((wParam & MK_LBUTTON) && r->selectionStart >= 0 && GetCapture() == window)
        ExtendTo(r, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
      return 0;
    case WM_LBUTTONUP:
      if (r->selectionStart >= 0) ReleaseCapture();
      return 0;
    case WM_MOUSEWHEEL:
      ScrollLines(r, short(HIWORD(wParam)) > 0 ? -1 : 1);
      return 0;
    case WM_VSCROLL:
      VScroll(r, LOWORD(wParam));
      return 0;
    case WM_SIZE:
      ResizeHexEdit(r);
      break;
    case WM_KEYDOWN:
      KeyDown(r, UINT(wParam));
      return 0;
    case WM_CHAR:
      Type(r, UINT(wParam));
      return 0;
    case WM_CONTEXTMENU:
      ShowContextMenu(r, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
      return 0;
    case WM_COMMAND:
      if (Command(r, LOWORD(wParam))) return 0;
      break;
    case WM_NCDESTROY:
      SetWindowLongPtrW(window, GWLP_WNDPROC, LONG_PTR(previous));
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      r->previousProc = nullptr;
      break;
  }
  return previous ? CallWindowProcW(previous, window, message, wParam, lParam)
                  : DefWindowProcW(window, message, wParam, lParam);
}
