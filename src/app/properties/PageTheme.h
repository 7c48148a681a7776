// Visual styles of the property pages, used only when the process already
// has "uxtheme.dll" loaded.
#pragma once
#include <windows.h>

// EnableThemeDialogTexture(window, ETDT_ENABLETAB); nothing without it.
void EnablePageTabTexture(HWND window);
// SetWindowTheme(window, "explorer", none) from Windows 6 on; true when it
// succeeded.
bool ApplyListExplorerTheme(HWND window, DWORD windowsVersion);
