// Sorting of both pane lists: drives and "::{UEFI}" first, then folders
// with ".." on top, then files; by name or by size in either direction.
#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/mainwnd/FilePanes.h"
#include "common/PathUtil.h"

namespace {

int ItemImage(HWND list, int item) {
  LVITEMW lv = {};
  lv.mask = LVIF_IMAGE;
  lv.iItem = item;
  SendMessageW(list, LVM_GETITEMW, 0, LPARAM(&lv));
  return lv.iImage;
}

void ItemText(HWND list, int item, int column, wchar_t* out, int size) {
  LVITEMW lv = {};
  lv.iSubItem = column;
  lv.pszText = out;
  lv.cchTextMax = size;
  out[0] = 0;
  SendMessageW(list, LVM_GETITEMTEXTW, item, LPARAM(&lv));
}

// The column's arrow: 1 up, -1 down, 0 none.
int ColumnArrow(HWND header, int column) {
  HDITEMW hd = {};
  hd.mask = HDI_FORMAT;
  if (!SendMessageW(header, HDM_GETITEMW, column, LPARAM(&hd))) return 0;
  if (hd.fmt & HDF_SORTUP) return 1;
  if (hd.fmt & HDF_SORTDOWN) return -1;
  return 0;
}

void SetColumnArrow(HWND header, int column, int arrow) {
  HDITEMW hd = {};
  hd.mask = HDI_FORMAT;
  SendMessageW(header, HDM_GETITEMW, column, LPARAM(&hd));
  hd.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
  if (arrow > 0) hd.fmt |= HDF_SORTUP;
  if (arrow < 0) hd.fmt |= HDF_SORTDOWN;
  SendMessageW(header, HDM_SETITEMW, column, LPARAM(&hd));
}

// What the comparators read of each item, taken before the sort: the list
// view reorders its items while it sorts, so an index handed to a comparator
// cannot be read back from the list (Wine's LVM_SORTITEMSEX shows it).
struct SortRow {
  int image;
  bool dotDot;
  std::wstring text, name;
};
struct SortContext {
  std::vector<SortRow> rows;
  int direction;  // 1 ascending, -1 descending
};

}  // namespace

int CALLBACK CompareListItemsByText(LPARAM first, LPARAM second, LPARAM context) {
  const SortContext& c = *reinterpret_cast<const SortContext*>(context);
  const SortRow& a = c.rows[size_t(first)];
  const SortRow& b = c.rows[size_t(second)];
  const int kindA = a.image > 2 ? 2 : a.image, kindB = b.image > 2 ? 2 : b.image;
  if (kindA != kindB) return kindA < kindB ? -1 : 1;
  if (kindA < 2 && a.dotDot != b.dotDot) return a.dotDot ? -1 : 1;
  return c.direction * lstrcmpiW(a.text.c_str(), b.text.c_str());
}

int CALLBACK CompareListItemsBySize(LPARAM first, LPARAM second, LPARAM context) {
  const SortContext& c = *reinterpret_cast<const SortContext*>(context);
  const SortRow& a = c.rows[size_t(first)];
  const SortRow& b = c.rows[size_t(second)];
  const int kindA = a.image > 1 ? 1 : a.image, kindB = b.image > 1 ? 1 : b.image;
  if (kindA != kindB) return kindA < kindB ? -1 : 1;
  const unsigned long long sizeA = _wcstoui64(a.text.c_str(), nullptr, 10);
  const unsigned long long sizeB = _wcstoui64(b.text.c_str(), nullptr, 10);
  if (sizeA != sizeB) return c.direction * (sizeA < sizeB ? -1 : 1);
  return c.direction * lstrcmpiW(a.name.c_str(), b.name.c_str());
}

void SortFileList(HWND list, int column) {
  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  const int columns = int(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  if (column < 0) {
    for (int i = 0; i < columns; ++i) {
      if (ColumnArrow(header, i)) {
        column = i;
        break;
      }
    }
    if (column < 0) return;
  } else {
    const int arrow = ColumnArrow(header, column) > 0 ? -1 : 1;
    for (int i = 0; i < columns; ++i) SetColumnArrow(header, i, i == column ? arrow : 0);
  }
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  SortContext context;
  context.direction = ColumnArrow(header, column) > 0 ? 1 : -1;
  const int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  context.rows.resize(size_t(count));
  wchar_t text[kPathChars];
  for (int i = 0; i < count; ++i) {
    SortRow& row = context.rows[size_t(i)];
    row.image = ItemImage(list, i);
    ItemText(list, i, 0, text, kPathChars);
    row.name = text;
    row.dotDot = row.name == L"..";
    if (column != 0) ItemText(list, i, column, text, kPathChars);
    row.text = text;
    // Each item carries its row's index for the comparators.
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = i;
    item.lParam = i;
    SendMessageW(list, LVM_SETITEMW, 0, LPARAM(&item));
  }
  SendMessageW(list, LVM_SORTITEMS, WPARAM(&context),
               LPARAM(column == 1 ? CompareListItemsBySize : CompareListItemsByText));
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list, nullptr, TRUE);
}
