#include "ui/controls/ListView.h"

#include <commctrl.h>

#include "common/PathUtil.h"

namespace {

LRESULT SendToList(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
  return SendMessageW(list, message, wParam, lParam);
}

ListGroupSend g_groupSend = SendToList;

LVITEMW ItemRecord(UINT mask, int item, int subItem = 0) {
  LVITEMW it = {};
  it.mask = mask;
  it.iItem = item;
  it.iSubItem = subItem;
  return it;
}

int ItemCount(HWND list) {
  return int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

void SetItemState(HWND list, int item, UINT state, UINT mask) {
  LVITEMW it = ItemRecord(LVIF_STATE, item);
  it.state = state;
  it.stateMask = mask;
  SendMessageW(list, LVM_SETITEMSTATE, WPARAM(item), LPARAM(&it));
}

}  // namespace

int ListInsertItem(HWND list, int index, const wchar_t* text) {
  if (!text) return index;
  LVITEMW it = ItemRecord(LVIF_TEXT | LVIF_IMAGE, index);
  it.pszText = const_cast<wchar_t*>(text);
  SendMessageW(list, LVM_INSERTITEMW, 0, LPARAM(&it));
  return index;
}

int ListAppendItem(HWND list, const wchar_t* text, int image) {
  LVITEMW it = ItemRecord(LVIF_TEXT | LVIF_IMAGE, ItemCount(list));
  it.pszText = const_cast<wchar_t*>(text);
  it.iImage = image;
  return int(SendMessageW(list, LVM_INSERTITEMW, 0, LPARAM(&it)));
}

void ListSetItemText(HWND list, int item, int subItem, const wchar_t* text) {
  LVITEMW it = ItemRecord(LVIF_TEXT, item, subItem);
  it.pszText = const_cast<wchar_t*>(text);
  SendMessageW(list, LVM_SETITEMW, 0, LPARAM(&it));
}

int ListGetItemText(HWND list, int item, int subItem, wchar_t* out, int outSize) {
  if (out && outSize > 0) out[0] = 0;
  LVITEMW it = ItemRecord(LVIF_TEXT | LVIF_IMAGE, item, subItem);
  it.pszText = out;
  it.cchTextMax = outSize;
  SendMessageW(list, LVM_GETITEMW, 0, LPARAM(&it));
  return it.iImage;
}

void ListSetItemImage(HWND list, int item, int image) {
  LVITEMW it = ItemRecord(LVIF_IMAGE, item);
  it.iImage = image;
  SendMessageW(list, LVM_SETITEMW, 0, LPARAM(&it));
}

int ListGetItemImage(HWND list, int item) {
  LVITEMW it = ItemRecord(LVIF_IMAGE, item);
  SendMessageW(list, LVM_GETITEMW, 0, LPARAM(&it));
  return it.iImage;
}

void ListSetItemParam(HWND list, int item, LPARAM param) {
  LVITEMW it = ItemRecord(LVIF_PARAM, item);
  it.lParam = param;
  SendMessageW(list, LVM_SETITEMW, 0, LPARAM(&it));
}

LPARAM ListGetItemParam(HWND list, int item) {
  LVITEMW it = ItemRecord(LVIF_PARAM, item);
  SendMessageW(list, LVM_GETITEMW, 0, LPARAM(&it));
  return it.lParam;
}

int ListFindItemText(HWND list, const wchar_t* text) {
  LVFINDINFOW find = {};
  find.flags = LVFI_STRING;
  find.psz = text;
  return int(SendMessageW(list, LVM_FINDITEMW, WPARAM(-1), LPARAM(&find)));
}

int ListFindItemPrefix(HWND list, const wchar_t* text) {
  const int length = lstrlenW(text);
  wchar_t cell[kPathChars];
  for (int i = 0, n = ItemCount(list); i < n; ++i) {
    ListGetItemText(list, i, 4, cell, kPathChars);
    if (lstrlenW(cell) >= length &&
        CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, cell, length, text, length) == CSTR_EQUAL)
      return i;
  }
  return -1;
}

void ListClearItemSelection(HWND list, int item) {
  SetItemState(list, item, 0, LVIS_SELECTED | LVIS_FOCUSED);
}

void ListSelectItem(HWND list, int item) {
  SendMessageW(list, LVM_ENSUREVISIBLE, WPARAM(item), FALSE);
  UINT state = item == -1 ? LVIS_SELECTED : LVIS_SELECTED | LVIS_FOCUSED;
  SetItemState(list, item, state, state);
}

void ListSetItemStateImage(HWND list, int item, UINT state) {
  SetItemState(list, item, state, LVIS_STATEIMAGEMASK);
}

ListGroupSend SetListGroupSend(ListGroupSend send) {
  ListGroupSend old = g_groupSend;
  g_groupSend = send ? send : SendToList;
  return old;
}

int ListInsertGroup(HWND list, const wchar_t* header, int groupId, DWORD windowsMajor) {
  LVGROUP group = {};
  group.cbSize = sizeof group;
  group.mask = LVGF_HEADER | LVGF_GROUPID;
  group.pszHeader = const_cast<wchar_t*>(header);
  group.iGroupId = groupId;
  if (windowsMajor >= 6) {
    group.mask |= LVGF_STATE;
    group.state = group.stateMask = LVGS_COLLAPSIBLE;
  }
  return int(g_groupSend(list, LVM_INSERTGROUP, WPARAM(-1), LPARAM(&group)));
}

int ListAppendItemToGroup(HWND list, const wchar_t* text, int image, int groupId, int indent) {
  LVITEMW it = ItemRecord(LVIF_TEXT | LVIF_IMAGE | LVIF_GROUPID, ItemCount(list));
  it.pszText = const_cast<wchar_t*>(text);
  it.iImage = image;
  it.iGroupId = groupId;
  if (indent) {
    it.mask |= LVIF_INDENT;
    it.iIndent = indent;
  }
  return int(g_groupSend(list, LVM_INSERTITEMW, 0, LPARAM(&it)));
}

int ListGetItemGroup(HWND list, int item) {
  LVITEMW it = ItemRecord(LVIF_GROUPID, item);
  g_groupSend(list, LVM_GETITEMW, 0, LPARAM(&it));
  return it.iGroupId;
}
