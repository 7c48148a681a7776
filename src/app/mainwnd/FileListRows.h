// The rows of a pane list. Both pane lists are owner-data lists: the rows
// live here and the list asks for the texts of the rows it shows, so a
// folder of tens of thousands of files is shown as soon as it is read, and
// sorted here. Each row keeps its byte count and times; the texts are made
// when shown, in the thread's language.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct FileListRow {
  std::wstring name;
  int image = 0;
  uint64_t size = 0;
  FILETIME lastWrite = {};
  bool hasTime = false;
  DWORD attributes = 0;
};

// The rows of a pane list (registered by the window), or null.
std::vector<FileListRow>* FileListRowsOf(HWND list);
void RegisterFileListRows(HWND list, std::vector<FileListRow>* rows);
void UnregisterFileListRows(const std::vector<FileListRow>* rows);

// Runs `work` on the thread of the list's window (a worker thread waits
// for it): the rows change only where the list reads them. The window
// answers kRunOnListThread by running the function its lParam points to.
constexpr UINT kRunOnListThread = WM_APP + 0x155;
void OnListThread(HWND list, const std::function<void()>& work);
// Posted with the list as lParam after its rows changed where they could not
// be sorted at once (a label edit that is ending): the window sorts the
// list again by the column with the arrow.
constexpr UINT kSortListAgain = WM_APP + 0x156;

// The text of a column: 0 name, 1 size (files only), 2 time, 3 attributes.
std::wstring FileListCellText(const FileListRow& row, int column);

// Tells the list how many rows there are now (after rows were added or
// removed here), keeping its scroll position.
void SyncFileListCount(HWND list);
// Changes row `index` (when there is one) and shows the change.
void ChangeFileListRow(HWND list, int index, const std::function<void(FileListRow&)>& change);
// Removes row `index` from the rows and the list.
void DeleteFileListRow(HWND list, int index);
// Empties the rows and the list.
void ClearFileListRows(HWND list);

// The list's questions about its rows: LVN_GETDISPINFOW and LVN_ODFINDITEMW
// (1 when handled, the answer in *result).
bool AnswerFileListNotify(HWND list, NMHDR* header, LRESULT* result);
