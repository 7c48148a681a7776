#include "disktools/restore/KeltRunner.h"

#include <stdio.h>
#include <string.h>

#include "common/PathUtil.h"
#include "disktools/restore/KeltResource.h"

namespace {

// Attempts at a fresh name before giving up.
const int kNameAttempts = 64;
const DWORD kCheckChunk = 4096;

// Creates a new file "Kelt<number>.exe" in `dir` that did not exist before;
// `path` receives its name.
HANDLE CreateFreshFile(const SystemRestoreApi& api, const wchar_t* dir, wchar_t* path) {
  DWORD seed = GetCurrentProcessId() * 0x10000u ^ GetTickCount();
  for (int i = 0; i < kNameAttempts; ++i) {
    if (_snwprintf(path, kPathChars, L"%sKelt%08lX.exe", dir,
                   static_cast<unsigned long>(seed + i * 0x9E3779B9u)) < 0)
      return INVALID_HANDLE_VALUE;
    path[kPathChars - 1] = 0;
    HANDLE file = api.CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  path[0] = 0;
  return INVALID_HANDLE_VALUE;
}

bool WriteWhole(const SystemRestoreApi& api, HANDLE file, const void* data, DWORD size) {
  const BYTE* p = static_cast<const BYTE*>(data);
  while (size) {
    DWORD done = 0;
    if (!api.WriteFile(file, p, size, &done, nullptr) || done == 0 || done > size) return false;
    p += done;
    size -= done;
  }
  return true;
}

// true when the file holds exactly the image, byte for byte, and no more.
bool HoldsImage(const SystemRestoreApi& api, HANDLE file, const void* image, DWORD size) {
  BYTE buffer[kCheckChunk];
  const BYTE* expected = static_cast<const BYTE*>(image);
  DWORD at = 0;
  for (;;) {
    DWORD done = 0;
    if (!api.ReadFile(file, buffer, kCheckChunk, &done, nullptr)) return false;
    if (done == 0) return at == size;
    if (done > size - at || memcmp(buffer, expected + at, done) != 0) return false;
    at += done;
  }
}

int Launch(const SystemRestoreApi& api, const wchar_t* path, wchar_t letter, int enable) {
  wchar_t parameters[3] = {enable ? L'+' : L'-', letter, 0};
  SHELLEXECUTEINFOW info;
  memset(&info, 0, sizeof(info));
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE;
  info.lpFile = path;
  info.lpParameters = parameters;
  info.nShow = SW_HIDE;
  if (!api.ShellExecuteExW(&info) || !info.hProcess) return 0;
  int result = 0;
  DWORD code = 1;
  if (api.WaitForSingleObject(info.hProcess, kKeltTimeoutMs) == WAIT_OBJECT_0 &&
      api.GetExitCodeProcess(info.hProcess, &code) && code == 0)
    result = 1;
  api.CloseHandle(info.hProcess);
  return result;
}

}  // namespace

const void* FindKeltImage(HMODULE module, DWORD* size) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(IDR_KELT), RT_RCDATA);
  if (!found) return nullptr;
  HGLOBAL loaded = LoadResource(module, found);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  DWORD bytes = data ? SizeofResource(module, found) : 0;
  if (!bytes) return nullptr;
  *size = bytes;
  return data;
}

int RunKelt(const SystemRestoreApi& api, const void* image, DWORD size, wchar_t letter,
            int enable) {
  if (!image || !size) return 0;
  wchar_t dir[kPathChars];
  DWORD n = api.GetTempPathW(kPathChars - 20, dir);
  if (n == 0 || n >= kPathChars - 20) return 0;
  if (dir[n - 1] != L'\\') lstrcpyW(dir + n, L"\\");

  wchar_t path[kPathChars];
  HANDLE file = CreateFreshFile(api, dir, path);
  if (file == INVALID_HANDLE_VALUE) return 0;
  bool written = WriteWhole(api, file, image, size) && api.FlushFileBuffers(file);
  api.CloseHandle(file);

  int result = 0;
  if (written) {
    // Held open for reading only, sharing reading only, until the run ends:
    // nobody can change the checked file before it is loaded.
    HANDLE check =
        api.CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (check != INVALID_HANDLE_VALUE) {
      if (HoldsImage(api, check, image, size)) result = Launch(api, path, letter, enable);
      api.CloseHandle(check);
    }
  }
  api.DeleteFileW(path);
  return result;
}
