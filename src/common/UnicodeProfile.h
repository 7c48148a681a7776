// Profile writing on UTF-16LE files with a byte-order mark: INI and INF files
// of the driver store and the staging scripts of driver installation.
//
// The writers behave like the platform's profile functions on such a file
// (a name is found without regard to case; replacing a line keeps its place,
// a new line goes to the end of its section and a new section to the end of
// the file; replacing a section keeps its place), but they read and write the
// whole file themselves, so the result is the same on every system. Each call
// opens, rewrites and closes the file. Lines are kept as they stand (trimmed);
// a "hex" value continued over lines with a trailing backslash stays one line.
#pragma once
#include <string>
#include <vector>

// Writes or replaces the line name=data of a section; null data removes the
// line. Nonzero on success (also when there was nothing to remove).
int WriteProfileValue(const wchar_t* path, const wchar_t* section, const wchar_t* name,
                      const wchar_t* data);

// Replaces all lines of a section by `lines` (a string list of entries ended
// by an empty string; null or empty: a section without lines). Nonzero on
// success.
int WriteProfileSection(const wchar_t* path, const wchar_t* section, const wchar_t* lines);

// The data of a line, or false when the file, the section or the line is
// missing.
bool ReadProfileValue(const wchar_t* path, const wchar_t* section, const wchar_t* name,
                      std::wstring& data);

// The lines of a section as a string list, and its removal from the file.
// Both false when the file or the section is missing.
bool ReadProfileSection(const wchar_t* path, const wchar_t* section, std::wstring& lines);
bool RemoveProfileSection(const wchar_t* path, const wchar_t* section);

// The names of the file's sections, in their order (empty when the file
// cannot be read).
std::vector<std::wstring> ListProfileSections(const wchar_t* path);

// Writes the whole file: the byte-order mark and `text`. Nonzero on success.
int WriteUnicodeFile(const wchar_t* path, const std::wstring& text);
