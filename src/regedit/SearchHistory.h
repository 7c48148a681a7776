// The recently-used lists of the registry search: search texts under
// "Software\VroMount\History\KeyString", hex texts under "...\KeyHex", REG_SZ
// values "0" (newest) to "19" on the host, and the search combo's list.
#pragma once
#include <windows.h>

void LoadKeyStringHistory(HWND combo);
void SaveKeyStringHistory(HWND combo, const wchar_t* text);
void LoadKeyHexHistory(HWND combo);
void SaveKeyHexHistory(HWND combo, const wchar_t* text);
