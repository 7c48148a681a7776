#include "common/CrashDump.h"

#include <dbghelp.h>

#include <cwchar>

#include "common/PathUtil.h"
#include "common/Privilege.h"

namespace {

typedef BOOL(WINAPI* MiniDumpWriteDumpFn)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);

const MINIDUMP_TYPE kDumpType =
    static_cast<MINIDUMP_TYPE>(MiniDumpScanMemory | MiniDumpWithIndirectlyReferencedMemory);

void WriteDumpFile(MiniDumpWriteDumpFn writeDump, EXCEPTION_POINTERS* exception) {
  wchar_t program[kPathChars], path[kPathChars];
  DWORD n = GetModuleFileNameW(nullptr, program, kPathChars);
  if (!n || n >= kPathChars) return;
  SYSTEMTIME now;
  GetLocalTime(&now);
  if (!FormatCrashDumpPath(program, now, GetCurrentThreadId(), path)) return;
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  MINIDUMP_EXCEPTION_INFORMATION info = {GetCurrentThreadId(), exception, FALSE};
  writeDump(GetCurrentProcess(), GetCurrentProcessId(), file, kDumpType,
            exception ? &info : nullptr, nullptr, nullptr);
  CloseHandle(file);
}

}  // namespace

bool FormatCrashDumpPath(const wchar_t* programPath, const SYSTEMTIME& t, DWORD threadId,
                         wchar_t* out) {
  wchar_t base[kPathChars];
  lstrcpynW(base, programPath, kPathChars);
  wchar_t* ext = FindExtensionPart(base);
  if (ext > base && ext[-1] == L'.') ext[-1] = 0;  // the "." ends the name
  wchar_t suffix[100];
  int n = _snwprintf(suffix, 100, L"_%04d%02d%02d%02d%02d%02d_%04X.dmp", t.wYear, t.wMonth, t.wDay,
                     t.wHour, t.wMinute, t.wSecond, static_cast<unsigned>(threadId));
  if (n < 0 || n >= 100 || wcslen(base) + n >= static_cast<size_t>(kPathChars)) return false;
  wcscpy(out, base);
  wcscat(out, suffix);
  return true;
}

LONG WINAPI WriteCrashDump(EXCEPTION_POINTERS* exception) {
  wchar_t dll[kPathChars];
  UINT n = GetSystemDirectoryW(dll, kPathChars);
  if (!n || n + 13 >= static_cast<UINT>(kPathChars)) return EXCEPTION_CONTINUE_SEARCH;
  wcscat(dll, L"\\DBGHELP.DLL");
  HMODULE dbghelp = LoadLibraryW(dll);
  if (!dbghelp) return EXCEPTION_CONTINUE_SEARCH;
  auto writeDump =
      reinterpret_cast<MiniDumpWriteDumpFn>(GetProcAddress(dbghelp, "MiniDumpWriteDump"));
  if (writeDump) {
    EnablePrivilege(L"SeDebugPrivilege");
    WriteDumpFile(writeDump, exception);
  }
  FreeLibrary(dbghelp);
  return EXCEPTION_CONTINUE_SEARCH;
}
