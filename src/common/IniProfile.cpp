#include "common/IniProfile.h"

#include <windows.h>

#include <new>

#include "common/PathUtil.h"

namespace {

// Reads the key names of `section`, or the section names when it is null.
wchar_t* ReadNameList(const wchar_t* section, const wchar_t* filePath) {
  const DWORD fileSize = GetFileSizeByName(filePath);
  DWORD n = (fileSize < 65535 ? fileSize : 65535) + 2;
  for (;;) {
    wchar_t* block = new (std::nothrow) wchar_t[n];
    if (!block) return nullptr;
    DWORD got = section ? GetPrivateProfileStringW(section, nullptr, L"", block, n, filePath)
                        : GetPrivateProfileSectionNamesW(block, n, filePath);
    // A full block may have been cut; names never outgrow the file itself.
    if (got + 2 < n || n >= fileSize + 2 || n > (1u << 28)) {
      if (got > n - 2) got = n - 2;
      block[got] = 0;
      block[got + 1] = 0;
      return block;
    }
    delete[] block;
    n *= 2;
  }
}

}  // namespace

wchar_t* GetIniSectionKeys(const wchar_t* section, const wchar_t* filePath) {
  if (!section) return nullptr;
  wchar_t* list = ReadNameList(section, filePath);
  if (list && !list[0]) {
    delete[] list;
    return nullptr;
  }
  return list;
}

wchar_t* GetIniSectionNames(const wchar_t* filePath) {
  return ReadNameList(nullptr, filePath);
}
