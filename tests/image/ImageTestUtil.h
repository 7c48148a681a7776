// Small helpers shared by the sector-device tests.
#pragma once
#include <windows.h>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "image/formats/sparse/ObjImg.h"

namespace it {

// The file handle an own-format container writes through. Tests swap in a
// read-only handle of the same file: every write to the file then fails
// until the container's own handle is put back.
struct ContainerHandle : _VROH_OBJ_IMG {
  static HANDLE _VROH_OBJ_IMG::*Member() { return &ContainerHandle::m_hFile; }
};

// A read-only handle of a file that is open elsewhere.
inline HANDLE OpenReadOnly(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

inline std::vector<uint8_t> Random(size_t size, uint32_t seed) {
  std::vector<uint8_t> v(size);
  std::mt19937 rng(seed);
  for (size_t i = 0; i + 4 <= size; i += 4) {
    uint32_t x = rng();
    memcpy(&v[i], &x, 4);
  }
  for (size_t i = size & ~(size_t)3; i < size; i++) v[i] = (uint8_t)rng();
  return v;
}

inline std::wstring Path(const std::wstring& dir, const wchar_t* name) {
  return dir + L"\\" + name;
}
inline std::string U(const std::wstring& p) {
  return vt::Q(vt::ToUnix(p));
}

inline uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return 0;
  return ((uint64_t)a.nFileSizeHigh << 32) | a.nFileSizeLow;
}

}  // namespace it
