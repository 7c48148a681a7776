#include "ui/controls/TreeView.h"

#include "common/PathUtil.h"

namespace {

TVITEMW ItemRecord(UINT mask, HTREEITEM item) {
  TVITEMW it = {};
  it.mask = mask | TVIF_HANDLE;
  it.hItem = item;
  return it;
}

HTREEITEM Insert(HWND tree, HTREEITEM parent, HTREEITEM after, const wchar_t* text, UINT mask,
                 int children) {
  TVINSERTSTRUCTW insert = {};
  insert.hParent = parent;
  insert.hInsertAfter = after;
  insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | mask;
  insert.item.pszText = const_cast<wchar_t*>(text);
  insert.item.iImage = 0;
  insert.item.iSelectedImage = 1;
  insert.item.cChildren = children;
  return reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_INSERTITEMW, 0, LPARAM(&insert)));
}

}  // namespace

HTREEITEM TreeInsertItem(HWND tree, HTREEITEM parent, HTREEITEM after, const wchar_t* text) {
  return Insert(tree, parent, after, text, 0, 0);
}

HTREEITEM TreeAppendItem(HWND tree, HTREEITEM parent, const wchar_t* text, BOOL hasChildren) {
  return Insert(tree, parent, TVI_LAST, text, TVIF_CHILDREN | TVIF_PARAM, hasChildren ? 1 : 0);
}

void TreeDeleteItem(HWND tree, HTREEITEM item) {
  while (HTREEITEM child = reinterpret_cast<HTREEITEM>(
             SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CHILD, LPARAM(item)))) {
    if (!SendMessageW(tree, TVM_DELETEITEM, 0, LPARAM(child))) break;
  }
  SendMessageW(tree, TVM_DELETEITEM, 0, LPARAM(item));
}

void TreeSetItemChildren(HWND tree, HTREEITEM item, BOOL hasChildren) {
  TVITEMW it = ItemRecord(TVIF_CHILDREN, item);
  it.cChildren = hasChildren ? 1 : 0;
  SendMessageW(tree, TVM_SETITEMW, 0, LPARAM(&it));
}

BOOL TreeGetItemChildren(HWND tree, HTREEITEM item) {
  TVITEMW it = ItemRecord(TVIF_CHILDREN, item);
  SendMessageW(tree, TVM_GETITEMW, 0, LPARAM(&it));
  return it.cChildren != 0;
}

void TreeGetItemText(HWND tree, HTREEITEM item, wchar_t* out) {
  out[0] = 0;
  TVITEMW it = ItemRecord(TVIF_TEXT, item);
  it.pszText = out;
  it.cchTextMax = kPathChars;
  SendMessageW(tree, TVM_GETITEMW, 0, LPARAM(&it));
}

void TreeSetItemText(HWND tree, HTREEITEM item, const wchar_t* text) {
  TVITEMW it = ItemRecord(TVIF_TEXT, item);
  it.pszText = const_cast<wchar_t*>(text);
  SendMessageW(tree, TVM_SETITEMW, 0, LPARAM(&it));
}

UINT TreeGetItemState(HWND tree, HTREEITEM item) {
  TVITEMW it = ItemRecord(TVIF_STATE, item);
  it.stateMask = 0xFFFFFFFF;
  SendMessageW(tree, TVM_GETITEMW, 0, LPARAM(&it));
  return it.state;
}

HTREEITEM TreeFindSiblingByText(HWND tree, HTREEITEM item, const wchar_t* text) {
  wchar_t name[kPathChars];
  for (; item; item = reinterpret_cast<HTREEITEM>(
                   SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, LPARAM(item)))) {
    TreeGetItemText(tree, item, name);
    if (lstrcmpiW(name, text) == 0) return item;
  }
  return nullptr;
}
