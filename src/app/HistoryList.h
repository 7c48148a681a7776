// Recently-used lists of combo boxes, kept under HKEY_CURRENT_USER
// "Software\VroMount\History\<name>" as REG_SZ values "0" to "19", "0" the
// newest.
#pragma once
#include <windows.h>

constexpr int kHistoryMax = 20;

// Appends every non-empty entry to the combo box in order, stopping at the
// first value that cannot be read. Returns how many were added.
int LoadHistory(HWND combo, const wchar_t* name);

// Makes `text` the newest entry: an equal entry (compared case-sensitively)
// moves to the top, otherwise every entry moves down one place and the
// twentieth falls off. The combo box gets the text at its top (at most 20
// strings) and as its edit text.
void SaveHistory(HWND combo, const wchar_t* name, const wchar_t* text);
