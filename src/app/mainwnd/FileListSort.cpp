// Sorting of both pane lists: drives and "::{UEFI}" first, then folders
// with ".." on top, then files; by name or by size in either direction.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/mainwnd/FileListRows.h"
#include "app/mainwnd/FilePanes.h"
#include "common/PathUtil.h"

namespace {

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

// What the order reads of each row: its kind (drives, then folders with
// ".." on top, then files) and the text of the sorted column; by size the
// leading number of the size text and then the name.
// Texts are compared as lstrcmpiW compares them, through their sort keys
// (LCMapStringW with the same flags orders as CompareStringW): one key per
// row rather than one comparison of two texts per step of the sort.
struct SortKey {
  int image;
  bool dotDot;
  std::string text;
  unsigned long long number;
  std::string name;
};

std::string CollationKey(const std::wstring& text) {
  const DWORD flags = LCMAP_SORTKEY | NORM_IGNORECASE;
  const int size = LCMapStringW(LOCALE_USER_DEFAULT, flags, text.c_str(), int(text.size()) + 1,
                                nullptr, 0);
  std::string key(size_t(size > 0 ? size : 0), '\0');
  if (size > 0)
    LCMapStringW(LOCALE_USER_DEFAULT, flags, text.c_str(), int(text.size()) + 1,
                 reinterpret_cast<LPWSTR>(&key[0]), size);
  return key;
}

int Compare(const std::string& a, const std::string& b) {
  const int order = a.compare(b);
  return order < 0 ? -1 : order > 0 ? 1 : 0;
}

}  // namespace

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
  std::vector<FileListRow>* rows = FileListRowsOf(list);
  if (!rows) return;
  const int direction = ColumnArrow(header, column) > 0 ? 1 : -1;
  const size_t count = rows->size();
  std::vector<SortKey> keys(count);
  for (size_t i = 0; i < count; ++i) {
    const FileListRow& row = (*rows)[i];
    SortKey& key = keys[i];
    key.image = row.image;
    key.dotDot = row.name == L"..";
    if (column == 1) {
      key.number = _wcstoui64(FileListCellText(row, 1).c_str(), nullptr, 10);
      key.name = CollationKey(row.name);
    } else {
      key.number = 0;
      key.text = CollationKey(column == 0 ? row.name : FileListCellText(row, column));
    }
  }
  std::vector<size_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = i;
  const bool bySize = column == 1;
  std::stable_sort(order.begin(), order.end(), [&](size_t first, size_t second) {
    const SortKey& a = keys[first];
    const SortKey& b = keys[second];
    const int limit = bySize ? 1 : 2;
    const int kindA = a.image > limit ? limit : a.image, kindB = b.image > limit ? limit : b.image;
    if (kindA != kindB) return kindA < kindB;
    if (bySize) {
      if (a.number != b.number) return direction * (a.number < b.number ? -1 : 1) < 0;
      return direction * Compare(a.name, b.name) < 0;
    }
    if (kindA < 2 && a.dotDot != b.dotDot) return a.dotDot;
    return direction * Compare(a.text, b.text) < 0;
  });
  // The selection and the focus stay with their rows.
  std::vector<char> selected(count, 0);
  for (int i = -1; (i = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(i), LVNI_SELECTED))) >= 0;)
    if (size_t(i) < count) selected[size_t(i)] = 1;
  const int focused = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_FOCUSED));
  std::vector<FileListRow> sorted;
  sorted.reserve(count);
  for (size_t i : order) sorted.push_back(std::move((*rows)[i]));
  rows->swap(sorted);
  bool anySelected = false;
  for (char s : selected) anySelected = anySelected || s;
  if (anySelected || focused >= 0) {
    LVITEMW clear = {};
    clear.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, WPARAM(-1), LPARAM(&clear));
    for (size_t at = 0; at < count; ++at) {
      const size_t from = order[at];
      const UINT state = (selected[from] ? LVIS_SELECTED : 0) |
                         (int(from) == focused ? LVIS_FOCUSED : 0);
      if (!state) continue;
      LVITEMW item = {};
      item.stateMask = state;
      item.state = state;
      SendMessageW(list, LVM_SETITEMSTATE, at, LPARAM(&item));
    }
  }
  InvalidateRect(list, nullptr, TRUE);
}
