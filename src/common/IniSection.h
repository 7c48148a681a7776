// The whole-section reader and writer for INI and INF files. It reads a
// section of any size in one piece from UTF-16LE files (byte-order mark
// FF FE) and from ANSI code-page files alike, without the profile functions
// and their caching; every INF and INI section of the system is read here.
#pragma once
#include <string>
#include <vector>

// The lines of [section] as a string list in one new block (free with
// delete[]): each line trimmed of blanks and tabs, ";" comment lines and
// blank lines dropped, the list ended by an empty string. The section name is
// compared with A-Z folded. A header counts only at the start of a line
// (blanks before it allowed), so a header named inside a comment is not
// taken for the section. The section ends at the next line that begins with
// "[", or at the end of the file.
// Null when the file cannot be opened or mapped, is empty, has no such
// header, or the section holds no text at all: an empty section gives null,
// never an empty list; callers treat both alike.
wchar_t* ReadIniSection(const wchar_t* filePath, const wchar_t* section);

// While one lives, ReadIniSection reads the file once: its text stays in
// memory and the places of its headers are found once, so a section costs
// what it holds, not a search of the whole file. For a file that does not
// change meanwhile (an installation's INF); holds of one file may nest.
class CIniReadHold {
 public:
  explicit CIniReadHold(const wchar_t* path);
  ~CIniReadHold();
  CIniReadHold(const CIniReadHold&) = delete;
  CIniReadHold& operator=(const CIniReadHold&) = delete;

 private:
  std::wstring m_path;
};

// The entries of an INF section as Windows' INF reader takes them
// (JoinInfLines): continued lines joined on any line of the section, ";"
// comments outside quotes cut, trimmed, empty entries dropped. Every INF
// section a driver installation or the store reads is read here. Empty
// when the section cannot be read; *found, when given, says whether it
// could.
std::vector<std::wstring> ReadInfLines(const wchar_t* filePath, const wchar_t* section,
                                       bool* found = nullptr);

// The names of every section header that stands at a line start, in file
// order, each followed by a NUL (an empty string when there is none or the
// file cannot be read), from UTF-16LE and ANSI files alike.
std::wstring ReadIniSectionNames(const wchar_t* filePath);

// The value of `key` (compared without regard to case) in [section]: the
// text after the first "=", its ";" comment cut, trimmed and one pair of
// surrounding quotes removed, as the profile functions return it. Empty when
// the file, section or key is missing. keepQuotes: the quotes stay, for a
// value of several fields whose first and last are quoted ("a",,,"b").
std::wstring ReadIniValue(const wchar_t* filePath, const wchar_t* section, const wchar_t* key,
                          bool keepQuotes = false);

// Appends "[section]" CR LF and each entry of `lines` (a string list) with
// CR LF to a UTF-16LE file, writing the byte-order mark first when the file
// is empty or new. 1 on success; 0 when the file cannot be opened or written,
// or when it is not empty and not UTF-16 (an ANSI file is never mixed with
// UTF-16 text).
int WriteIniSection(const wchar_t* filePath, const wchar_t* section, const wchar_t* lines);

// Creates the file, or empties it, so that it holds only the UTF-16LE
// byte-order mark. Nonzero when the mark was written.
int CreateEmptyUnicodeFile(const wchar_t* filePath);
