// FILETIME helpers shared by the tests that compare volume times (kept apart
// from TestSupport.h, which must not pull in windows.h beside the NTFS
// library's headers).
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

namespace vt {
// FILETIME <-> 64-bit count of 100 ns units.
inline FILETIME Ft(uint64_t v) {
  FILETIME f;
  f.dwLowDateTime = (DWORD)v;
  f.dwHighDateTime = (DWORD)(v >> 32);
  return f;
}

inline uint64_t U64(const FILETIME& f) {
  return ((uint64_t)f.dwHighDateTime << 32) | f.dwLowDateTime;
}

// A file's last-write time (0 when it cannot be read), and setting it:
// part of what a test puts back when it restores a file "as it was" (a
// write-back file over a raw image or VHD is bound to it).
inline uint64_t WriteTimeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d) ? U64(d.ftLastWriteTime)
                                                                       : 0;
}

inline bool SetWriteTime(const std::wstring& path, uint64_t time) {
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME t = Ft(time);
  bool ok = SetFileTime(h, nullptr, nullptr, &t) != 0;
  CloseHandle(h);
  return ok;
}

}  // namespace vt
