// List-view operations as every dialog uses them: one message each with a
// filled LVITEMW; item and sub-item are the control's indexes.
#pragma once
#include <windows.h>

// Inserts an item with image 0 at `index`; nothing for a null text. Returns
// the index asked for.
int ListInsertItem(HWND list, int index, const wchar_t* text);
// Inserts an item at the end; returns its index.
int ListAppendItem(HWND list, const wchar_t* text, int image);
void ListSetItemText(HWND list, int item, int subItem, const wchar_t* text);
// The text into `out` (cleared first); returns the item's image index.
int ListGetItemText(HWND list, int item, int subItem, wchar_t* out, int outSize);
void ListSetItemImage(HWND list, int item, int image);
int ListGetItemImage(HWND list, int item);
void ListSetItemParam(HWND list, int item, LPARAM param);
LPARAM ListGetItemParam(HWND list, int item);
// The index of the item whose text is exactly `text` (from the start), or -1.
int ListFindItemText(HWND list, const wchar_t* text);
// The first item whose fifth column begins with `text`, ignoring case, or -1.
int ListFindItemPrefix(HWND list, const wchar_t* text);
// Clears the selected and focused state; item -1 means all items.
void ListClearItemSelection(HWND list, int item);
// Scrolls to the item and selects it, focusing it unless it is -1 (all).
void ListSelectItem(HWND list, int item);
// The check-box state image: `state` in the LVIS_STATEIMAGEMASK bits.
void ListSetItemStateImage(HWND list, int item, UINT state);

// Groups. Wine's list view has none, so these three go through a message
// function the tests replace with one that keeps groups as Windows does.
typedef LRESULT (*ListGroupSend)(HWND list, UINT message, WPARAM wParam, LPARAM lParam);
ListGroupSend SetListGroupSend(ListGroupSend send);  // null: SendMessageW

// Appends a group with its header and id; collapsible from Windows major
// version 6 on. Returns the message's result.
int ListInsertGroup(HWND list, const wchar_t* header, int groupId, DWORD windowsMajor);
// Appends an item to a group (with the indent when not 0); returns its index.
int ListAppendItemToGroup(HWND list, const wchar_t* text, int image, int groupId, int indent);
int ListGetItemGroup(HWND list, int item);
