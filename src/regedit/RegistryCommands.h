// The registry editor's commands: new key and value, rename, delete, the
// value editors, copy key name, .reg import and export with dropped .reg
// files, and the search commands.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <string>

class CRegistryDlg;

void DeleteRegistrySelection(CRegistryDlg* editor);
void StartRegistryRename(CRegistryDlg* editor);
// The editor for the first selected row (by its type column, or the binary
// editor when `binary`).
void ModifySelectedValue(CRegistryDlg* editor, bool binary);
void CreateNewKey(CRegistryDlg* editor);
void CreateNewValue(CRegistryDlg* editor, UINT command);
void EndKeyLabelEdit(CRegistryDlg* editor, NMTVDISPINFOW* info);
void EndValueLabelEdit(CRegistryDlg* editor, NMLVDISPINFOW* info);
void CopySelectedKeyName(CRegistryDlg* editor);

// Import: the open dialog, then ImportRegFileSelection.
void ImportRegistryFiles(CRegistryDlg* editor);
// What the open dialog returned (one path, or a folder followed by names,
// NUL-separated and ending with an empty string): each file imported in
// turn, then the messages of success and failure.
void ImportRegFileSelection(CRegistryDlg* editor, const wchar_t* selection);
// Export: the save dialog with the range options, then ExportRegistryBranch.
void ExportRegistryFile(CRegistryDlg* editor);
// Writes `branch` (empty: every hive) into `file`, ".reg" added when the
// name lacks it; returns the export's status.
uint32_t ExportRegistryBranch(CRegistryDlg* editor, const wchar_t* file, const wchar_t* branch,
                              int filter);
// The save dialog with template 110 and ExportSaveDialogHook; `file` and
// `branch` hold 260 characters. Nonzero when a file was chosen.
BOOL ShowExportSaveDialog(CRegistryDlg* owner, wchar_t* file, const wchar_t* filter,
                          wchar_t* branch, int* filterKeys);
UINT_PTR CALLBACK ExportSaveDialogHook(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Both drop targets' callback (context: the editor).
DWORD RegFileDropCallback(LPARAM context, HWND target, const wchar_t* path, wchar_t* description,
                          int descriptionSize, BOOL drop);
void RegisterRegFileDropTargets(CRegistryDlg* editor);
void RevokeRegFileDropTargets(CRegistryDlg* editor);

void FindInRegistry(CRegistryDlg* editor);
void FindHexInRegistry(CRegistryDlg* editor);
void FindNextInRegistry(CRegistryDlg* editor);
