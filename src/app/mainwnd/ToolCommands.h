// The main window's commands that start a tool: creating an empty image,
// the disk-tool dialogs, viewing, searching, properties, the jumps to
// System32 and its Drivers folder, the registry editor, the driver
// dialogs, the boot options and the command-line help.
#pragma once
#include <windows.h>

class CFileManagerDlg;

// Carries out the command; false when it is not one of these.
bool HandleToolCommand(CFileManagerDlg* window, WPARAM wParam, LPARAM lParam);

// The drive of the last new image: the first character of the saved text,
// 'D' when there is none or it is no drive letter from C to Z.
wchar_t LoadLastDrive();
void SaveLastDrive(const wchar_t* text);
