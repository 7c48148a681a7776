// FILETIME helpers shared by the tests that compare volume times (kept apart
// from TestSupport.h, which must not pull in windows.h beside the NTFS
// library's headers).
#pragma once
#include <windows.h>

#include <cstdint>

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

}  // namespace vt
