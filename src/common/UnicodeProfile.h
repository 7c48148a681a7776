// Profile writing on UTF-16LE files with a byte-order mark: INI and INF files
// of the driver store and the staging scripts of driver installation.
//
// The writers behave like the platform's profile functions on such a file
// (a name is found without regard to case; replacing a line keeps its place,
// a new line goes to the end of its section and a new section to the end of
// the file; replacing a section keeps its place), but they read and write the
// whole file themselves, so the result is the same on every system. Each call
// opens, rewrites and closes the file, unless the file is held (CProfileHold):
// then it is read once and changed in memory, and written when the holder
// says. Lines are kept as they stand (trimmed); a "hex" value continued over
// lines with a trailing backslash stays one line.
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

// The whole text of the file after its byte-order mark (a held file's as
// it stands in memory); false when it cannot be read.
bool ReadProfileText(const wchar_t* path, std::wstring& text);

// True when the file has the section.
bool HasProfileSection(const wchar_t* path, const wchar_t* section);

// Writes the whole file: the byte-order mark and `text`. Nonzero on success.
int WriteUnicodeFile(const wchar_t* path, const std::wstring& text);

// Deletes the file; what a hold of it had not written yet is dropped.
// Nonzero when the file is gone.
int DeleteProfileFile(const wchar_t* path);

// While one lives, the functions above take the file's text from memory
// (read once, at the first of them) and change it there: a file written
// line by line costs what its lines cost, not a rewrite of the whole file
// each. The file is written when the holder flushes it and when the last
// hold of it ends. Holds of one file may nest; one file is held by one
// thread at a time (every call on it is on that thread while it is held).
class CProfileHold {
 public:
  explicit CProfileHold(const wchar_t* path);
  ~CProfileHold();
  CProfileHold(const CProfileHold&) = delete;
  CProfileHold& operator=(const CProfileHold&) = delete;
  // Writes what was changed since the file was last written. Nonzero when
  // the file holds the text (also when nothing was changed); 0 with the
  // system's error as the last error.
  int Flush();
  // Marks the text as it stands now (read at the first use, when it was
  // not yet).
  void Mark();
  // The text of the file's first lines (before its first section) and of
  // the sections added since the mark: what the file holds beyond what it
  // held then, when every section it held then is still as it was. False
  // when one of them changed, or there is no mark.
  bool TextAddedSinceMark(std::wstring* text);

 private:
  std::wstring m_path;
};
