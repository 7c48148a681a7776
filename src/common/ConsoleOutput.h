// Where a command's lines go: the standard output when the process has one
// (a console, a file or a pipe), else the console of the parent process.
#pragma once
#include <windows.h>

#include <string>

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

// The system's text for an error on one line, in the language when the
// system has its texts, else in its own ("" when it has none).
std::wstring ErrorText(DWORD error, LANGID language = 0);

// "Could not write PATH (error N: the system's text)" or "Could not read
// ...", with its line end.
std::wstring FailureLine(bool write, const std::wstring& path, DWORD error);
