// Window placements and list-view column widths kept between runs, as
// REG_BINARY values (named by the caller) under HKEY_CURRENT_USER
// "Software\VroMount".
#pragma once
#include <windows.h>

constexpr wchar_t kSettingsKey[] = L"Software\\VroMount";

// Stores the 44-byte WINDOWPLACEMENT of a visible, not minimised window.
void SaveWindowPlacement(HWND window, const wchar_t* valueName);

// The placement RestoreWindowPlacement applies: the stored one when the
// value holds at least 44 bytes and its length field is 44, else 1000 x 620
// pixels scaled by g_ScreenDpiPercent and centred on the screen. A caller's
// show command other than SW_SHOWNORMAL, SW_SHOW or SW_SHOWDEFAULT replaces
// the stored one.
void LoadWindowPlacement(const wchar_t* valueName, int showCommand, WINDOWPLACEMENT* out);

// SetWindowPlacement with LoadWindowPlacement's result; returns its result.
BOOL RestoreWindowPlacement(HWND window, const wchar_t* valueName, int showCommand);

// Sets the widths of the first `count` columns (a negative count: all) from
// the stored value, only when it holds exactly one 32-bit width per column
// the list has now.
void LoadListColumnWidths(HWND list, const wchar_t* valueName, int count = -1);

// Stores every column's width, one 32-bit value per column.
void SaveListColumnWidths(HWND list, const wchar_t* valueName);
