// Files through the clipboard: a CF_HDROP list with "Preferred DropEffect"
// 1 (copy). Items of the image are first extracted into a "Copy$" staging
// folder on the host, which goes when the clipboard next changes.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

class CFileManagerDlg;

// Empties the clipboard and puts the paths on it: 1, or 0 for an empty list
// or when the clipboard cannot be opened.
int PutFilesOnClipboard(HWND owner, const std::vector<std::wstring>& paths);

// The Copy command of each pane: the selected items other than "..".
void CopyHostSelectionToClipboard(HWND hostList);
void CopyImageSelectionToClipboard(HWND imageList, CFileManagerDlg* window);

// 0 when the clipboard holds no file list (or an empty one) or cannot be
// opened, else the "Preferred DropEffect" value (1 when it is absent).
DWORD GetClipboardDropEffect(HWND owner);

// What a paste takes from the clipboard: the files of its list when the
// effect has DROPEFFECT_COPY or DROPEFFECT_MOVE (a move is done as a copy);
// empty otherwise.
std::vector<std::wstring> ReadClipboardFilesToPaste(HWND owner);

// The Paste command of each pane: the clipboard's files copied in as a drop
// (the drop's effect, 0 when nothing was pasted).
DWORD PasteIntoHostPane(CFileManagerDlg* window, HWND hostList);
DWORD PasteIntoImagePane(CFileManagerDlg* window, HWND imageList);
