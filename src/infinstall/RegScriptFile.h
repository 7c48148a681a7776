// The file form of a driver installation's staging script: UTF-16LE with a
// byte-order mark, the .reg header line, then INI-style sections named by
// full registry key paths with name=data lines.
//
// The writers behave like the platform's profile functions on such a file
// (a name is found without regard to case; replacing a line keeps its place,
// a new line goes to the end of its section and a new section to the end of
// the file; replacing a section keeps its place), but they read and write the
// whole file themselves, so the result is the same everywhere. Each call
// opens, rewrites and closes the file.
#pragma once
#include <string>

// Creates (or empties) the script: byte-order mark and
// "Windows Registry Editor Version 5.00" with two CR LF. Nonzero on success.
int CreateRegScriptFile(const wchar_t* path);

// Writes or replaces the line name=data of a section; null data removes the
// line. Nonzero on success (also when there was nothing to remove).
int WriteRegScriptValue(const wchar_t* path, const wchar_t* section, const wchar_t* name,
                        const wchar_t* data);

// Replaces all lines of a section by `lines` (a string list of name=data
// entries ended by an empty string; null or empty: a section without lines).
// Nonzero on success.
int WriteRegScriptSection(const wchar_t* path, const wchar_t* section, const wchar_t* lines);

// The data of a line, or false when the file, the section or the line is
// missing.
bool ReadRegScriptValue(const wchar_t* path, const wchar_t* section, const wchar_t* name,
                        std::wstring& data);

// REG_SZ data, already escaped, as a script line carries it: unquoted, as
// the importer expects, unless the text would read as something else there
// (a deletion "-", "dword:" or "hex" data, a continued line ending in "\",
// or text in quotes); such text is put in double quotes.
std::wstring RegScriptStringData(const std::wstring& escaped);

// The lines of a section, and its removal from the file. Both false when the
// file or the section is missing.
bool ReadRegScriptSection(const wchar_t* path, const wchar_t* section, std::wstring& lines);
bool RemoveRegScriptSection(const wchar_t* path, const wchar_t* section);
