#include "ui/controls/ControlWrappers.h"

#include <commctrl.h>

#include <vector>

#include "common/PathUtil.h"

namespace {

const int kEditTextLimit = 260;

COMBOBOXEXITEMW ComboItem(UINT mask, int item) {
  COMBOBOXEXITEMW it = {};
  it.mask = mask;
  it.iItem = item;
  return it;
}

bool IsHexDigit(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
}

}  // namespace

void ReplaceCharInString(wchar_t* text, wchar_t from, wchar_t to) {
  for (; text && *text; ++text)
    if (*text == from) *text = to;
}

void ComboExSetEditItem(HWND combo, const wchar_t* text, int image) {
  wchar_t copy[kEditTextLimit + 1];
  lstrcpynW(copy, text ? text : L"", kEditTextLimit + 1);
  COMBOBOXEXITEMW it =
      ComboItem(CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE | CBEIF_OVERLAY, -1);
  it.pszText = copy;
  it.iImage = it.iSelectedImage = it.iOverlay = image;
  SendMessageW(combo, CBEM_SETITEMW, 0, LPARAM(&it));
}

int ComboExGetItem(HWND combo, int item, wchar_t* out) {
  COMBOBOXEXITEMW it = ComboItem(CBEIF_IMAGE, item);
  if (out) {
    out[0] = 0;
    it.mask |= CBEIF_TEXT;
    it.pszText = out;
    it.cchTextMax = kPathChars;
  }
  SendMessageW(combo, CBEM_GETITEMW, 0, LPARAM(&it));
  return it.iImage;
}

int ComboExGetItemIndent(HWND combo, int item) {
  COMBOBOXEXITEMW it = ComboItem(CBEIF_INDENT, item);
  SendMessageW(combo, CBEM_GETITEMW, 0, LPARAM(&it));
  return it.iIndent;
}

LPARAM ComboExGetItemParam(HWND combo, int item) {
  COMBOBOXEXITEMW it = ComboItem(CBEIF_LPARAM, item);
  SendMessageW(combo, CBEM_GETITEMW, 0, LPARAM(&it));
  return it.lParam;
}

int ComboExAppendItem(HWND combo, const wchar_t* text, int image, int indent, LPARAM param) {
  COMBOBOXEXITEMW it = ComboItem(
      CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE | CBEIF_OVERLAY | CBEIF_INDENT | CBEIF_LPARAM,
      -1);
  it.pszText = const_cast<wchar_t*>(text);
  it.iImage = it.iSelectedImage = it.iOverlay = image;
  it.iIndent = indent;
  it.lParam = param;
  return int(SendMessageW(combo, CBEM_INSERTITEMW, 0, LPARAM(&it)));
}

int TabInsertItem(HWND tab, int position, const wchar_t* text) {
  TCITEMW it = {};
  it.mask = TCIF_TEXT | TCIF_IMAGE;
  it.pszText = const_cast<wchar_t*>(text);
  it.iImage = position;
  return int(SendMessageW(tab, TCM_INSERTITEMW, WPARAM(position), LPARAM(&it)));
}

void ToolbarSetButtonText(HWND toolbar, int commandId, const wchar_t* text) {
  TBBUTTONINFOW info = {};
  info.cbSize = sizeof info;
  info.dwMask = TBIF_TEXT;
  info.pszText = const_cast<wchar_t*>(text);
  SendMessageW(toolbar, TB_SETBUTTONINFOW, WPARAM(commandId), LPARAM(&info));
}

int KeepHexDigitsInCombo(HWND combo) {
  std::vector<wchar_t> text;
  int length = int(SendMessageW(combo, WM_GETTEXTLENGTH, 0, 0));
  if (length > 0) {
    text.resize(length + 1);
    length = int(SendMessageW(combo, WM_GETTEXT, WPARAM(length + 1), LPARAM(text.data())));
  } else {
    int selected = int(SendMessageW(combo, CB_GETCURSEL, 0, 0));
    length = selected >= 0 ? int(SendMessageW(combo, CB_GETLBTEXTLEN, selected, 0)) : 0;
    if (length <= 0) return 0;
    text.resize(length + 1);
    length = int(SendMessageW(combo, CB_GETLBTEXT, selected, LPARAM(text.data())));
    if (length < 0) return 0;
  }
  text.resize(length + 1);
  text[length] = 0;
  DWORD start = 0, end = 0;
  SendMessageW(combo, CB_GETEDITSEL, WPARAM(&start), LPARAM(&end));
  int kept = 0, removed = 0;
  for (int i = 0; i < length; ++i) {
    if (IsHexDigit(text[i])) {
      text[kept++] = text[i];
    } else {
      ++removed;
      if (start > 0) --start;
      if (end > 0) --end;
    }
  }
  text[kept] = 0;
  if (removed) {
    if (start > DWORD(kept)) start = kept;
    if (end > DWORD(kept)) end = kept;
    SendMessageW(combo, WM_SETTEXT, 0, LPARAM(text.data()));
    SendMessageW(combo, CB_SETEDITSEL, 0, MAKELPARAM(start, end));
  }
  return kept;
}
