#include "app/mainwnd/FileListRows.h"

#include <cwchar>

#include "app/mainwnd/FileTypes.h"
#include "common/Format.h"
#include "ui/UiResources.h"

namespace {

// The two pane lists of each main window alive; a handful at most.
struct Registration {
  HWND list;
  std::vector<FileListRow>* rows;
};
std::vector<Registration> g_registered;

}  // namespace

std::vector<FileListRow>* FileListRowsOf(HWND list) {
  for (const Registration& r : g_registered)
    if (r.list == list) return r.rows;
  return nullptr;
}

void RegisterFileListRows(HWND list, std::vector<FileListRow>* rows) {
  // A window handle may come again for a later window.
  for (Registration& r : g_registered) {
    if (r.list != list) continue;
    r.rows = rows;
    return;
  }
  g_registered.push_back({list, rows});
}

void UnregisterFileListRows(const std::vector<FileListRow>* rows) {
  for (size_t i = 0; i < g_registered.size();) {
    if (g_registered[i].rows == rows)
      g_registered.erase(g_registered.begin() + long(i));
    else
      ++i;
  }
}

void OnListThread(HWND list, const std::function<void()>& work) {
  if (GetWindowThreadProcessId(list, nullptr) == GetCurrentThreadId()) {
    work();
    return;
  }
  SendMessageW(GetParent(list), kRunOnListThread, 0, LPARAM(&work));
}

std::wstring FileListCellText(const FileListRow& row, int column) {
  wchar_t text[64] = L"";
  switch (column) {
    case 0:
      return row.name;
    case 1:
      if (row.image > kItemFolder) FormatUiByteSize(row.size, text, 64);
      break;
    case 2:
      if (row.hasTime) FormatFileTime(text, 64, row.lastWrite);
      break;
    case 3:
      _snwprintf(text, 64, L"%04X", unsigned(row.attributes));
      text[63] = 0;
      break;
    default:
      break;
  }
  return text;
}

void SyncFileListCount(HWND list) {
  const std::vector<FileListRow>* rows = FileListRowsOf(list);
  if (!rows) return;
  SendMessageW(list, LVM_SETITEMCOUNT, WPARAM(rows->size()), LVSICF_NOSCROLL);
  InvalidateRect(list, nullptr, TRUE);
}

void ChangeFileListRow(HWND list, int index, const std::function<void(FileListRow&)>& change) {
  OnListThread(list, [&] {
    std::vector<FileListRow>* rows = FileListRowsOf(list);
    if (!rows || index < 0 || size_t(index) >= rows->size()) return;
    change((*rows)[size_t(index)]);
    SendMessageW(list, LVM_REDRAWITEMS, WPARAM(index), LPARAM(index));
  });
}

void DeleteFileListRow(HWND list, int index) {
  OnListThread(list, [&] {
    std::vector<FileListRow>* rows = FileListRowsOf(list);
    if (!rows || index < 0 || size_t(index) >= rows->size()) return;
    rows->erase(rows->begin() + index);
    // The list moves the selection and focus of the rows below up by one.
    // An owner-data list that kept its count after that is told the count
    // of the rows, and the rows below are drawn again from the rows here:
    // a row drawn before must not stay in the place of the one that went.
    SendMessageW(list, LVM_DELETEITEM, WPARAM(index), 0);
    if (size_t(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)) != rows->size())
      SendMessageW(list, LVM_SETITEMCOUNT, WPARAM(rows->size()), LVSICF_NOSCROLL);
    InvalidateRect(list, nullptr, TRUE);
  });
}

void ClearFileListRows(HWND list) {
  OnListThread(list, [&] {
    if (std::vector<FileListRow>* rows = FileListRowsOf(list)) rows->clear();
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  });
}

bool AnswerFileListNotify(HWND list, NMHDR* header, LRESULT* result) {
  const std::vector<FileListRow>* rows = FileListRowsOf(list);
  if (!rows) return false;
  if (header->code == LVN_GETDISPINFOW) {
    LVITEMW& item = reinterpret_cast<NMLVDISPINFOW*>(header)->item;
    if (item.iItem < 0 || size_t(item.iItem) >= rows->size()) return true;
    const FileListRow& row = (*rows)[size_t(item.iItem)];
    if (item.mask & LVIF_IMAGE) item.iImage = row.image;
    if ((item.mask & LVIF_TEXT) && item.pszText && item.cchTextMax > 0)
      lstrcpynW(item.pszText, FileListCellText(row, item.iSubItem).c_str(), item.cchTextMax);
    *result = 0;
    return true;
  }
  if (header->code == LVN_ODFINDITEMW) {
    // A type-ahead search (partial) or a lookup by the whole name, from
    // the row after iStart, wrapping with LVFI_WRAP.
    const NMLVFINDITEMW* find = reinterpret_cast<NMLVFINDITEMW*>(header);
    *result = -1;
    const wchar_t* text = find->lvfi.psz;
    if (!(find->lvfi.flags & (LVFI_STRING | LVFI_PARTIAL)) || !text) return true;
    const int count = int(rows->size()), length = lstrlenW(text);
    const int start = find->iStart < 0 || find->iStart >= count ? 0 : find->iStart;
    const bool wrap = (find->lvfi.flags & LVFI_WRAP) != 0 || find->iStart < 0;
    for (int n = 0; n < count; ++n) {
      const int i = start + n;
      if (i >= count && !wrap) break;
      const std::wstring& name = (*rows)[size_t(i % count)].name;
      const bool match = (find->lvfi.flags & LVFI_PARTIAL)
                             ? int(name.size()) >= length &&
                                   _wcsnicmp(name.c_str(), text, size_t(length)) == 0
                             : lstrcmpiW(name.c_str(), text) == 0;
      if (match) {
        *result = i % count;
        break;
      }
    }
    return true;
  }
  return false;
}
