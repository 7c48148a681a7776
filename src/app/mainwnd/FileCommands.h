// The main window's file and pane commands (menu items, toolbar buttons,
// keys and the image address bar's notifications).
#pragma once
#include <windows.h>

class CFileManagerDlg;

// Carries out the command; false when it is not one of these.
bool HandleFileCommand(CFileManagerDlg* window, WPARAM wParam, LPARAM lParam);
