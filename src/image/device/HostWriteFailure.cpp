#include "image/device/HostWriteFailure.h"

#include <map>

#include "common/ConsoleOutput.h"
#include "common/PathUtil.h"

namespace {

struct Noted {
  CRITICAL_SECTION lock;
  bool set = false;
  bool told = false;
  std::wstring path;
  DWORD error = 0;
  std::map<std::wstring, std::wstring> madeUnder;  // full temporary path, upper case -> name
  Noted() { InitializeCriticalSection(&lock); }
};

Noted& Failure() {
  static Noted noted;
  return noted;
}

// The file's path without the "\\?\" the system puts before it.
std::wstring PathOf(HANDLE file) {
  wchar_t path[MAX_PATH * 4] = L"";
  DWORD n = GetFinalPathNameByHandleW(file, path, ARRAYSIZE(path), FILE_NAME_NORMALIZED);
  if (n == 0 || n >= ARRAYSIZE(path)) return std::wstring();
  std::wstring p(path, n);
  if (p.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + p.substr(8);
  if (p.compare(0, 4, L"\\\\?\\") == 0) return p.substr(4);
  return p;
}

}  // namespace

void NoteMadeUnder(const std::wstring& temporary, const std::wstring& name) {
  std::wstring key = FullPathKey(temporary.c_str());
  Noted& n = Failure();
  EnterCriticalSection(&n.lock);
  n.madeUnder[key] = name;
  LeaveCriticalSection(&n.lock);
}

void ForgetMadeUnder(const std::wstring& temporary) {
  std::wstring key = FullPathKey(temporary.c_str());
  Noted& n = Failure();
  EnterCriticalSection(&n.lock);
  n.madeUnder.erase(key);
  LeaveCriticalSection(&n.lock);
}

void NoteHostWriteFailure(HANDLE file, DWORD error) {
  DWORD saved = GetLastError();
  std::wstring path = PathOf(file);
  NoteHostWriteFailure(path, error);
  SetLastError(saved);
}

void NoteHostWriteFailure(const std::wstring& path, DWORD error) {
  DWORD saved = GetLastError();
  std::wstring key = path.empty() ? path : FullPathKey(path.c_str());
  Noted& n = Failure();
  EnterCriticalSection(&n.lock);
  if (!n.set) {
    n.set = true;
    n.error = error;
    auto made = key.empty() ? n.madeUnder.end() : n.madeUnder.find(key);
    n.path = made != n.madeUnder.end() ? made->second : path;
  }
  LeaveCriticalSection(&n.lock);
  SetLastError(saved);
}

void NoteTargetWriteFailure(const std::wstring& target, DWORD error) {
  DWORD saved = GetLastError();
  DWORD noted = 0;
  if (TakeHostWriteFailure(nullptr, &noted) && noted) error = noted;
  if (error) NoteHostWriteFailure(target, error);
  SetLastError(saved);
}

bool TakeHostWriteFailure(std::wstring* path, DWORD* error) {
  Noted& n = Failure();
  EnterCriticalSection(&n.lock);
  bool was = n.set;
  if (path) *path = n.path;
  if (error) *error = n.error;
  n.set = false;
  n.told = false;
  std::wstring().swap(n.path);  // its memory too: a path may be long
  LeaveCriticalSection(&n.lock);
  return was;
}

bool TellHostWriteFailure() {
  Noted& n = Failure();
  EnterCriticalSection(&n.lock);
  bool line = n.set && !n.path.empty();
  if (line && !n.told) WriteCommandLine(FailureLine(true, n.path, n.error));
  n.told = n.told || line;
  LeaveCriticalSection(&n.lock);
  return line;
}
