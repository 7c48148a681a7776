#include "common/NoRedirect.h"

#include <lzexpand.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "common/PathUtil.h"
#include "common/ReparseLink.h"

namespace {

typedef BOOL(WINAPI* DisableFn)(PVOID*);
typedef BOOL(WINAPI* RevertFn)(PVOID);

HMODULE Kernel32() {
  return GetModuleHandleW(L"Kernel32.dll");
}

// Sets an unset environment variable for the lifetime of the object.
class TemporaryVariable {
 public:
  TemporaryVariable(const wchar_t* name, const std::wstring& value) : name_(name) {
    std::wstring ref = L"%" + name_ + L"%";
    wchar_t now[kPathChars];
    DWORD n = ExpandEnvironmentStringsW(ref.c_str(), now, kPathChars);
    if (n == 0 || ref == now) set_ = SetEnvironmentVariableW(name, value.c_str()) != 0;
  }
  ~TemporaryVariable() {
    if (set_) SetEnvironmentVariableW(name_.c_str(), nullptr);
  }

 private:
  std::wstring name_;
  bool set_ = false;
};

bool IsFile(const wchar_t* path) {
  DWORD a = GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// Unpacks `twin` into the new file `fresh` with the LZ functions, on handles
// opened by path here: they take paths of any length, where expand.exe (whose
// own open goes through a 128-character record on some systems) may not.
bool ExpandTwinOnHandles(const std::wstring& twin, const std::wstring& fresh) {
  HANDLE in = CreateFileW(twin.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  INT source = LZInit(INT(INT_PTR(in)));
  if (source < 0) {
    CloseHandle(in);
    return false;
  }
  HANDLE out = CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  LONG copied = -1;
  if (out != INVALID_HANDLE_VALUE) {
    copied = LZCopy(source, INT(INT_PTR(out)));
    if (!CloseHandle(out)) copied = -1;
  }
  LZClose(source);  // closes `in` as well
  if (copied >= 0) return true;
  DeleteFileW(fresh.c_str());
  return false;
}

// Runs the system's expand.exe on `twin`, writing `fresh`. True when `fresh`
// exists afterwards.
bool RunExpandExe(const std::wstring& twin, const std::wstring& fresh) {
  wchar_t system[kPathChars];
  if (!GetSystemDirectoryW(system, kPathChars)) return false;
  const std::wstring exe = std::wstring(system) + L"\\expand.exe";
  wchar_t params[720];
  _snwprintf(params, 720, L"\"%s\" \"%s\"", twin.c_str(), fresh.c_str());
  params[719] = 0;
  SHELLEXECUTEINFOW sei = {};
  sei.cbSize = sizeof sei;
  sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE;
  sei.lpFile = exe.c_str();
  sei.lpParameters = params;
  sei.nShow = SW_HIDE;
  if (!ShellExecuteExW(&sei) || !sei.hProcess) return false;
  WaitForSingleObject(sei.hProcess, INFINITE);
  CloseHandle(sei.hProcess);
  return IsFile(fresh.c_str());
}

// Unpacks the compressed twin of `source` into `target` with expand.exe, or
// with the LZ functions when expand.exe fails.
bool ExpandCompressedTwin(const wchar_t* source, const wchar_t* target) {
  std::wstring twin = source;
  if (twin.empty()) return false;
  twin.back() = L'_';
  if (!IsFile(twin.c_str())) return false;

  wchar_t windows[kPathChars];
  if (!GetWindowsDirectoryW(windows, kPathChars)) return false;
  TemporaryVariable root(L"SystemRoot", windows);
  TemporaryVariable drive(L"SystemDrive", std::wstring(windows, 2));

  // Unpack beside the target first: an old target must neither pass for the
  // result of a failed run nor be lost by one.
  const std::wstring fresh = std::wstring(target) + L".~ex";
  DeleteFileW(fresh.c_str());
  bool unpacked = RunExpandExe(twin, fresh);
  if (!unpacked) {
    DeleteFileW(fresh.c_str());
    unpacked = ExpandTwinOnHandles(twin, fresh);
  }
  if (unpacked && MoveFileExW(fresh.c_str(), target, MOVEFILE_REPLACE_EXISTING)) return true;
  DeleteFileW(fresh.c_str());
  return false;
}

void CopyLastWriteTime(const wchar_t* source, const wchar_t* target) {
  HANDLE from = CreateFileW(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (from == INVALID_HANDLE_VALUE) return;
  FILETIME t;
  if (GetFileTime(from, nullptr, nullptr, &t)) {
    HANDLE to = CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (to != INVALID_HANDLE_VALUE) {
      SetFileTime(to, nullptr, nullptr, &t);
      CloseHandle(to);
    }
  }
  CloseHandle(from);
}

}  // namespace

NoRedirectScope::NoRedirectScope() {
  HMODULE k = Kernel32();
  if (!k) return;
  auto disable = reinterpret_cast<DisableFn>(GetProcAddress(k, "Wow64DisableWow64FsRedirection"));
  auto revert = reinterpret_cast<RevertFn>(GetProcAddress(k, "Wow64RevertWow64FsRedirection"));
  if (disable && revert) active_ = disable(&old_) != 0;
}

NoRedirectScope::~NoRedirectScope() {
  if (!active_) return;
  // The error of the last call made in the scope stays the caller's.
  const DWORD error = GetLastError();
  auto revert =
      reinterpret_cast<RevertFn>(GetProcAddress(Kernel32(), "Wow64RevertWow64FsRedirection"));
  if (revert) revert(old_);
  SetLastError(error);
}

int GetPathInfoNoRedirect(const wchar_t* path, DWORD* attributes, FILETIME* lastWrite,
                          uint64_t* size) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileNoRedirect(path, &fd);
  if (h == INVALID_HANDLE_VALUE) return 0;
  FindClose(h);
  if (attributes) *attributes = fd.dwFileAttributes;
  if (lastWrite) *lastWrite = fd.ftLastWriteTime;
  if (size) *size = (static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
  return (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 2 : 1;
}

BOOL CopyFileNoRedirect(const wchar_t* source, const wchar_t* target, BOOL failIfExists) {
  if (!source || !target) return FALSE;
  NoRedirectScope off;
  SetLastError(0);
  if (!CopyFileW(source, target, failIfExists)) {
    DWORD error = GetLastError();
    bool done = false;
    if (!(failIfExists && GetFileAttributesW(target) != INVALID_FILE_ATTRIBUTES))
      done = ExpandCompressedTwin(source, target);
    if (!done && error == ERROR_PATH_NOT_FOUND) {
      wchar_t link[kPathChars];
      DWORD tag = ReadReparseTarget(source, link);
      done = tag && link[0] && CreateReparseLink(target, link, tag, failIfExists);
      if (done) return TRUE;  // a link has no data whose time could be kept
    }
    if (!done) {
      SetLastError(error);
      return FALSE;
    }
  }
  CopyLastWriteTime(source, target);
  return TRUE;
}

HANDLE CreateFileNoRedirect(const wchar_t* path) {
  if (!Kernel32()) return INVALID_HANDLE_VALUE;
  NoRedirectScope off;
  return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE FindFirstFileNoRedirect(const wchar_t* pattern, WIN32_FIND_DATAW* data) {
  if (!Kernel32()) return INVALID_HANDLE_VALUE;
  NoRedirectScope off;
  return FindFirstFileW(pattern, data);
}

BOOL CreateDirectoryNoRedirect(const wchar_t* path) {
  if (!Kernel32()) return FALSE;
  NoRedirectScope off;
  return CreateDirectoryW(path, nullptr);
}

BOOL MoveFileNoRedirect(const wchar_t* source, const wchar_t* target) {
  if (!Kernel32()) return FALSE;
  NoRedirectScope off;
  return MoveFileW(source, target);
}
