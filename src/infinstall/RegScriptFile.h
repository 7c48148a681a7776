// The staging script of a driver installation: a .reg text file (UTF-16LE
// with a byte-order mark and the .reg header line) written through the
// profile writer of common/UnicodeProfile.h.
#pragma once
#include <string>

#include "common/UnicodeProfile.h"

// Creates (or empties) the script: byte-order mark and
// "Windows Registry Editor Version 5.00" with two CR LF. Nonzero on success.
int CreateRegScriptFile(const wchar_t* path);

// REG_SZ data, already escaped, as a script line carries it: unquoted, as
// the importer expects, unless the text would read as something else there
// (a deletion "-", "dword:" or "hex" data, a continued line ending in "\",
// text in quotes, or blanks at either end, which a line loses); such text
// is put in double quotes.
std::wstring RegScriptStringData(std::wstring escaped);

// A value name as a script line carries it: as it stands when the importer
// reads it back so (no "=", quote or backslash, no blank at either end, not
// opening like a section or a comment), else in double quotes with a
// backslash before each backslash and quote. "@" stays the default value.
std::wstring RegScriptValueName(const std::wstring& name);
// True when RegScriptValueName gives the name as it is.
bool IsPlainRegScriptName(const wchar_t* name);

// True when a section of the script names a key of the root (such as
// "HKEY_LOCAL_MACHINE\SOFTWARE"), its deletion included.
bool RegScriptNamesRoot(const wchar_t* path, const wchar_t* root);
