// Tree-view operations as the dialogs use them.
#pragma once
#include <windows.h>
#include <commctrl.h>

// Inserts an item with image 0 and selected image 1; returns it.
HTREEITEM TreeInsertItem(HWND tree, HTREEITEM parent, HTREEITEM after, const wchar_t* text);
// Appends an item at TVI_LAST with the children flag (lParam 0).
HTREEITEM TreeAppendItem(HWND tree, HTREEITEM parent, const wchar_t* text, BOOL hasChildren);
// Deletes the item's children one by one, then the item.
void TreeDeleteItem(HWND tree, HTREEITEM item);
void TreeSetItemChildren(HWND tree, HTREEITEM item, BOOL hasChildren);
BOOL TreeGetItemChildren(HWND tree, HTREEITEM item);
// The item's text into 360 characters (cleared first).
void TreeGetItemText(HWND tree, HTREEITEM item, wchar_t* out);
void TreeSetItemText(HWND tree, HTREEITEM item, const wchar_t* text);
UINT TreeGetItemState(HWND tree, HTREEITEM item);
// The item or the first of its following siblings whose text equals `text`
// ignoring case; 0 when none.
HTREEITEM TreeFindSiblingByText(HWND tree, HTREEITEM item, const wchar_t* text);
