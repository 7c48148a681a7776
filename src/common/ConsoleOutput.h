// Where a command's lines go: the standard output when the process has one
// (a console, a file or a pipe), else the console of the parent process.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// INVALID_HANDLE_VALUE (or null) when there is neither. The parent's
// console is attached once and kept.
HANDLE CommandOutput();

// Writes text to the command output: to a console as it is, to a file or
// pipe as UTF-8. Counts the line; the last error is kept.
void WriteCommandLine(const std::wstring& text);
// The same for text in the ANSI code page's ASCII part.
void WriteCommandLineA(const char* text, DWORD length);
// Counts a line a writer of its own (the console progress) gave.
void CountCommandLine();
// Lines given so far by every writer: a caller sees whether its step gave one.
long CommandLinesGiven();

// A front end that shows a command's lines to its user (the command line,
// a dialog) holds one on the thread the command runs on: the lines written
// there meanwhile are also kept in it (a dialog shows them in its box), and
// the lines that only a front end shows (WriteFrontEndLine) are written at
// all. An export a host program calls holds none.
class FrontEndLines {
 public:
  FrontEndLines();
  ~FrontEndLines();
  FrontEndLines(const FrontEndLines&) = delete;
  FrontEndLines& operator=(const FrontEndLines&) = delete;
  // The lines, each without its line end.
  const std::vector<std::wstring>& Lines() const { return m_lines; }
  // All of them, one a line.
  std::wstring Text() const;

 private:
  friend void KeepFrontEndLine(const std::wstring& text);
  std::vector<std::wstring> m_lines;
  FrontEndLines* m_outer;
};
// True while a FrontEndLines lives on the thread.
bool FrontEndShowsLines();
// The lines the thread's front end has kept so far (0 without one): a step
// sees whether what it ran gave one.
size_t FrontEndLinesKept();
// A line that names why a command failed where nothing it ran named it:
// written as WriteCommandLine writes it while a front end shows the lines,
// else not at all (a host program's call says no more than its result).
void WriteFrontEndLine(const std::wstring& text);

// The system's text for an error on one line, in the language when the
// system has its texts, else in its own ("" when it has none).
std::wstring ErrorText(DWORD error, LANGID language = 0);

// "Could not write PATH (error N: the system's text)" or "Could not read
// ...", with its line end.
std::wstring FailureLine(bool write, const std::wstring& path, DWORD error);
