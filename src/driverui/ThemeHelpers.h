// Visual styles for the driver windows, used only when the process already
// has "uxtheme.dll" loaded (it is never loaded here).
#pragma once
#include <windows.h>

// EnableThemeDialogTexture(window, ETDT_ENABLETAB); nothing without the library.
void EnableTabTexture(HWND window);
// SetWindowTheme(window, "explorer", none) on Vista and later hosts; true
// when it succeeded.
bool ApplyExplorerTheme(HWND window, DWORD hostVersion);
