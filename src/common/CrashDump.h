// The process's unhandled-exception filter: a minidump next to the program.
#pragma once
#include <windows.h>

// Writes "<program path without extension>_YYYYMMDDhhmmss_TTTT.dmp" (local
// time, faulting thread id in at least four upper-case hex digits) with
// DbgHelp's MiniDumpWriteDump, loaded from the system folder at the time of
// the crash, and lets the exception go on: always EXCEPTION_CONTINUE_SEARCH.
// Nothing is written when DbgHelp, the function or the file is missing.
LONG WINAPI WriteCrashDump(EXCEPTION_POINTERS* exception);

// The dump path for a program path, a local time and a thread id, into
// `out` of kPathChars characters ("C:\x\tool.exe", 2024-03-05 07:08:09,
// 0x1A4 -> "C:\x\tool_20240305070809_01A4.dmp"). False when it does not fit.
bool FormatCrashDumpPath(const wchar_t* programPath, const SYSTEMTIME& local, DWORD threadId,
                         wchar_t* out);

// WriteCrashDump as the process's filter for the lifetime of the object; the
// filter in force before comes back afterwards.
class CrashDumpFilterScope {
 public:
  CrashDumpFilterScope() : m_previous(SetUnhandledExceptionFilter(WriteCrashDump)) {}
  ~CrashDumpFilterScope() { SetUnhandledExceptionFilter(m_previous); }
  CrashDumpFilterScope(const CrashDumpFilterScope&) = delete;
  CrashDumpFilterScope& operator=(const CrashDumpFilterScope&) = delete;

 private:
  LPTOP_LEVEL_EXCEPTION_FILTER m_previous;
};
