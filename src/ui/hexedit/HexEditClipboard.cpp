// The hex editor's clipboard ("BinaryData" and CF_TEXT) and context menu.
#include <cstring>
#include <vector>

#include "resources/ResourceIds.h"
#include "ui/UiLanguage.h"
#include "ui/UiResources.h"
#include "ui/hexedit/HexEditInternal.h"

namespace {

const UINT kBlockFlags = GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_DDESHARE;
const int kKeyboardMenuShift = 5;

UINT BinaryFormat() {
  static UINT format = RegisterClipboardFormatW(L"BinaryData");
  return format;
}

HGLOBAL MakeBlock(const void* bytes, size_t size) {
  HGLOBAL block = GlobalAlloc(kBlockFlags, size ? size : 1);
  if (!block) return nullptr;
  void* p = GlobalLock(block);
  if (!p) {
    GlobalFree(block);
    return nullptr;
  }
  memcpy(p, bytes, size);
  GlobalUnlock(block);
  return block;
}

bool Offer(UINT format, HGLOBAL block) {
  if (block && SetClipboardData(format, block)) return true;
  if (block) GlobalFree(block);
  return false;
}

}  // namespace

BOOL CopyHexEditSelection(HexEditControl* r) {
  int a = r->selectionStart, b = r->selectionEnd;
  if (a > b) {
    int t = a;
    a = b;
    b = t;
  }
  if (a < 0) return FALSE;
  if (b > r->size) b = r->size;
  if (a >= b) return FALSE;
  const int count = b - a;
  std::vector<char> text;
  if (r->pane == kHexPaneText) {
    text.resize(count + 1);
    FilterHexEditText(r->data + a, count, text.data());
  } else {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = a; i < b; ++i) {
      text.push_back(kDigits[r->data[i] >> 4]);
      text.push_back(kDigits[r->data[i] & 15]);
      text.push_back(' ');
    }
    text.push_back(0);
  }
  text.back() = 0;
  if (!OpenClipboard(r->window)) return FALSE;
  EmptyClipboard();
  bool binary = Offer(BinaryFormat(), MakeBlock(r->data + a, count));
  bool plain = Offer(CF_TEXT, MakeBlock(text.data(), text.size()));
  CloseClipboard();
  return binary && plain;
}

namespace hexedit {

void PutBytes(HexEditControl* r, const BYTE* bytes, int count) {
  if (r->readOnly || count <= 0) return;
  int at;
  if (r->selectionStart >= 0 && r->selectionEnd >= 0 && r->selectionStart != r->selectionEnd) {
    OrderHexEditSelection(r);
    at = r->selectionStart;
    DeleteHexEditRange(r, r->selectionStart, r->selectionEnd);
  } else {
    at = r->caretOffset + (r->pane == kHexPaneLow ? 1 : 0);
  }
  if (at > r->size) at = r->size;
  if (!InsertHexEditBytes(r, at, count)) return;
  memcpy(r->data + at, bytes, count);
  r->caretOffset = at + count;
  if (r->caretOffset > r->size) r->caretOffset = r->size;
  r->pane = r->pane == kHexPaneLow ? kHexPaneHigh : r->pane;
  KeepCaretVisible(r);
  UpdateScrollBar(r);
  Redraw(r);
}

}  // namespace hexedit

BOOL PasteHexEditClipboard(HexEditControl* r) {
  if (r->readOnly || !OpenClipboard(r->window)) return FALSE;
  bool text = false;
  HANDLE block = GetClipboardData(BinaryFormat());
  if (!block) {
    block = GetClipboardData(CF_TEXT);
    text = block != nullptr;
  }
  BOOL pasted = FALSE;
  if (block) {
    SIZE_T size = GlobalSize(block);
    const BYTE* p = static_cast<const BYTE*>(GlobalLock(block));
    if (p) {
      // A text ends at its NUL: the terminator is no byte of the data.
      if (text) size = strnlen(reinterpret_cast<const char*>(p), size);
      std::vector<BYTE> bytes(p, p + size);
      GlobalUnlock(block);
      hexedit::PutBytes(r, bytes.data(), int(bytes.size()));
      pasted = !bytes.empty();
    }
  }
  CloseClipboard();
  return pasted;
}

namespace hexedit {

void ShowContextMenu(HexEditControl* r, int x, int y) {
  HMENU menu = LoadUiMenu(GetUiModule(), IDM_HEX_EDIT, GetThreadUiLanguage());
  if (!menu) return;
  HMENU popup = GetSubMenu(menu, 0);
  if (x == -1 && y == -1) {
    RECT rect;
    GetWindowRect(r->window, &rect);
    x = rect.left + kKeyboardMenuShift;
    y = rect.top + kKeyboardMenuShift;
  }
  SetHexEditMenuState(r, popup);
  TrackPopupMenu(popup, TPM_RIGHTBUTTON, x, y, 0, r->window, nullptr);
  DestroyMenu(menu);
}

}  // namespace hexedit

void SetHexEditMenuState(const HexEditControl* r, HMENU popup) {
  const bool selected =
      r->selectionStart >= 0 && r->selectionEnd >= 0 && r->selectionStart != r->selectionEnd;
  const bool canPaste =
      IsClipboardFormatAvailable(CF_TEXT) || IsClipboardFormatAvailable(BinaryFormat());
  const bool all = selected && ((r->selectionStart == 0 && r->selectionEnd == r->size) ||
                                (r->selectionEnd == 0 && r->selectionStart == r->size));
  auto gray = [popup](UINT id, bool off) {
    EnableMenuItem(popup, id, MF_BYCOMMAND | (off ? MF_GRAYED : MF_ENABLED));
  };
  gray(kHexCmdUndo, true);
  gray(kHexCmdCut, r->readOnly || !selected);
  gray(kHexCmdCopy, !selected);
  gray(kHexCmdPaste, r->readOnly || !canPaste);
  gray(kHexCmdDelete, r->readOnly || !selected);
  gray(kHexCmdSelectAll, all);
}
