// The most-recently-used lists of the disk-tool file-name combo boxes, kept
// under HKEY_CURRENT_USER "Software\VroMount\History\<name>" as REG_SZ values
// "0" (newest) to "19".
#pragma once
#include <windows.h>

// History names of the disk-tool dialogs.
constexpr wchar_t kBackupTargetHistory[] = L"BackupTargetImage";
constexpr wchar_t kConvertSourceHistory[] = L"ConvertSourceImage";
constexpr wchar_t kConvertTargetHistory[] = L"ConvertTargetImage";
constexpr wchar_t kCreateTargetHistory[] = L"CreateTargetImage";

const int kHistoryMax = 20;

// Adds the list's entries to the combo box in order, stopping at the first
// value that cannot be read and passing over empty ones; returns how many
// were added.
int LoadHistory(HWND combo, const wchar_t* name);

// Puts text at the top of the list and of the combo box: an entry equal to
// it (case-sensitive) moves up from its place, else every entry moves down
// one place and the 20th falls off. The combo keeps at most 20 strings and
// shows text in its edit field. False when the list could not be written.
bool SaveHistory(HWND combo, const wchar_t* name, const wchar_t* text);
