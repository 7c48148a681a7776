// The open and save dialogs and the folder picker.
#pragma once
#include <windows.h>

// GetOpenFileNameW over `file` (`fileSize` characters), filter index 1, no
// title. Nonzero when a file was chosen.
BOOL ShowOpenFileDialog(HINSTANCE instance, HWND owner, wchar_t* file, DWORD fileSize,
                        const wchar_t* filter, const wchar_t* defaultExtension, LPARAM customData,
                        DWORD flags);

// GetSaveFileNameW over `file` (360 characters), default extension "img".
BOOL ShowSaveFileDialog(HINSTANCE instance, HWND owner, wchar_t* file, const wchar_t* filter);

// The system's folder picker starting at `startFolder` (may be null or
// empty); the chosen folder goes into `out` (360 characters). 1 when a folder
// was chosen.
int PickFolder(HWND owner, const wchar_t* startFolder, wchar_t* out);
