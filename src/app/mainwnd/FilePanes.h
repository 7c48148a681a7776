// The two panes of the main window: the image pane (a folder inside the
// volume of the open image) and the host pane (a folder of the computer).
// A list's window text is its pane's address; an empty image-list text
// means that no image is open.
#pragma once
#include <windows.h>

#include <cstdint>
#include <vector>

#include "image/stack/OverlayNotice.h"

class CFileManagerDlg;

// Splits an image-pane address into the image text (the first prefix that
// names an existing file, with the partition behind it: "IMAGE" or
// "IMAGE::N") and the folder inside the volume (from the '\' after it, "\"
// at the root). Either output may be null.
void SplitImageAddress(const wchar_t* address, wchar_t* image, int imageSize, wchar_t* folder,
                       int folderSize);
// The image file of an image text ("IMAGE" or "IMAGE::N", read as the
// command line reads "-img:") into `file`, and its partition (0 without
// "::"); false when what follows "::" is no whole decimal number.
bool ReadImageText(const wchar_t* image, wchar_t* file, int fileSize, int* partition);

// "%s%s" when the folder begins with "\", else "%s\%s".
void JoinImageAddress(const wchar_t* image, const wchar_t* folder, wchar_t* out, int outSize);

// Appends one row: name, size (files, kind above 1), time, attributes;
// AddFileListItem shows it at once, AppendFileListRow leaves that to the
// end of a fill (SyncFileListCount).
void AddFileListItem(HWND list, const wchar_t* name, int itemImage, uint64_t size,
                     const FILETIME* lastWrite, DWORD attributes);
void AppendFileListRow(HWND list, const wchar_t* name, int itemImage, uint64_t size,
                       const FILETIME* lastWrite, DWORD attributes);

// Gives the first row the keyboard focus without selecting it, as after
// every fill of a pane.
void FocusFirstRow(HWND list);

// Opens the image and fills the image pane with the folder; what the open
// did to the image's files, or why it refused the image, is told in a box.
void OpenImageInPane(CFileManagerDlg* window, const wchar_t* image, const wchar_t* writeBack,
                     int partition, const wchar_t* folder, BOOL sizeEditable);

// The text (a string id taking the file's path) of a line an open or a
// merge gives about a file, by its kind (VroOverlayNoticeKind); 0 for a
// kind it does not know.
UINT NoticeStringId(int kind);
// Tells in one box, in the window's language, the lines an open or a merge
// gave about files (what it did to each, or why it refused it), and, when
// `refused` names an image that did not open without a line saying why,
// that it did not open. Nothing when there is nothing to tell.
void TellNotices(CFileManagerDlg* window, const std::vector<VroNoticeCollector::Notice>& notices,
                 const wchar_t* refused);

// Enters the folder, "::{UEFI}" or ".." item of the image pane.
void OpenImageListItem(CFileManagerDlg* window, int item);

// Fills the host pane with a host folder.
void FillHostList(HWND list, const wchar_t* folder);

// Enters the folder or ".." item of the host pane.
void OpenHostListItem(CFileManagerDlg* window, int item);

// The host bar's drop-down: every fixed drive's root, and below the drive of
// the host folder each folder of its path, indented one level deeper each;
// the host folder's item is selected.
void FillHostAddressList(HWND combo, HWND hostList);
// A drop-down item's path: its text after the texts of the items above it
// with a smaller indent.
void GetComboItemPath(HWND combo, int index, wchar_t* out, int size);

// The handlers of the address bars' selection change: combo is the combo
// window, or (HWND)-1 for the text of the edit field.
void NavigateImageAddress(CFileManagerDlg* window, HWND combo);
void NavigateHostAddress(CFileManagerDlg* window, HWND combo);

// Sorts the rows by a column (flipping its arrow), or with -1 again by the
// column that carries the arrow; selection and focus stay with their rows.
void SortFileList(HWND list, int column);

// Rewrites the image address after a change to the image (an own image's
// base path may have changed): list text and bar.
void RefreshImageAddress(CFileManagerDlg* window);

// Whether an address names the image file itself (any partition of it) or
// a place inside it: the whole image file's path, then the end of the text,
// a separator or "::".
bool IsSameImageOrInside(const wchar_t* text, const wchar_t* image);

// Enables the toolbar buttons by the panes, their selections and the list
// that has (or, when focus is null, now holds) the focus.
void UpdateToolbarState(CFileManagerDlg* window, HWND focus);

// The view bits (style & 3) kept under HKCU "Software\VroMount".
void LoadListViewStyle(const wchar_t* valueName, HWND list);
DWORD SaveListViewStyle(HWND list, const wchar_t* valueName);
