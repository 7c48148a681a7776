// Host file operations with WOW64 file-system redirection switched off, so a
// 32-bit process on 64-bit Windows sees the real system folders. The two
// switch functions are looked up in the loaded "Kernel32.dll" at each use;
// where they do not exist (32-bit Windows) the calls run unchanged.
#pragma once
#include <windows.h>

#include <cstdint>

// Redirection is off for the lifetime of the object (per thread; nests).
class NoRedirectScope {
 public:
  NoRedirectScope();
  ~NoRedirectScope();
  NoRedirectScope(const NoRedirectScope&) = delete;
  NoRedirectScope& operator=(const NoRedirectScope&) = delete;

 private:
  PVOID old_ = nullptr;
  bool active_ = false;
};

// 0 missing, 1 file, 2 folder; each out value is optional.
int GetPathInfoNoRedirect(const wchar_t* path, DWORD* attributes, FILETIME* lastWrite,
                          uint64_t* size);

// Copies one file and its last-write time. When CopyFileW fails and the
// source's compressed twin exists (last character replaced by "_", as on
// driver media), the twin is unpacked into the target by the system's
// "expand.exe" (%SystemRoot% and %SystemDrive% are set for that run only when
// they are unset), or, when that fails, by the LZ functions. When the source is a dangling symbolic link or junction,
// the link itself is recreated at the target. Nonzero on success.
BOOL CopyFileNoRedirect(const wchar_t* source, const wchar_t* target, BOOL failIfExists);

// Opens an existing file for reading (sharing read and write).
HANDLE CreateFileNoRedirect(const wchar_t* path);
HANDLE FindFirstFileNoRedirect(const wchar_t* pattern, WIN32_FIND_DATAW* data);
BOOL CreateDirectoryNoRedirect(const wchar_t* path);
BOOL MoveFileNoRedirect(const wchar_t* source, const wchar_t* target);
