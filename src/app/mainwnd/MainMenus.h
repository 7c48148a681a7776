// The main window's menus and toolbar: the panes' context menu, the states
// of the menu bar's items and of the toolbar buttons, the toolbar's default
// buttons and its layout and visibility kept under HKCU "Software\VroMount".
#pragma once
#include <windows.h>
#include <commctrl.h>

class CFileManagerDlg;

// The toolbar's default buttons, in order.
constexpr int kDefaultToolbarButtons = 12;
// Default button `index` (0..11); its text index is its bitmap index.
TBBUTTON DefaultToolbarButton(int index);
// Deletes every button and adds the defaults.
void ResetToolbarButtons(HWND toolbar);

// The toolbar layout under the subkey "Toolsbar", value "ITBarLayout".
void SaveToolbarLayout(HWND toolbar);
// 1 when the key could be opened.
int RestoreToolbarLayout(HWND toolbar);
// "Toolbar_Hide" and "Statusbar_Hide": 1 when the bar is hidden.
void SaveToolbarHidden(BOOL hidden);
BOOL LoadToolbarHidden();
void SaveStatusBarHidden(BOOL hidden);
BOOL LoadStatusBarHidden();

// The context menu of the image pane or the host pane at a screen point.
void ShowImageListMenu(CFileManagerDlg* window, int x, int y);
void ShowHostListMenu(CFileManagerDlg* window, int x, int y);
