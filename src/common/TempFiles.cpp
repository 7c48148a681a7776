#include "common/TempFiles.h"

#include <windows.h>

#include <cwctype>
#include <string>

#include "common/PathUtil.h"

namespace {

bool IsFolder(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

unsigned TryFolder(const std::wstring& folder, const wchar_t* prefix, wchar_t* out) {
  if (folder.empty() || folder.size() >= MAX_PATH - 14) return 0;
  return GetTempFileNameW(folder.c_str(), prefix, 0, out);
}

// A folder made on the way when missing.
unsigned TryMadeFolder(const std::wstring& folder, const wchar_t* prefix, wchar_t* out) {
  CreateDirectoryW(folder.c_str(), nullptr);
  return IsFolder(folder) ? TryFolder(folder, prefix, out) : 0;
}

}  // namespace

unsigned CreateTempFileName(wchar_t* out, const wchar_t* prefix) {
  if (!out) return 0;
  out[0] = 0;
  wchar_t buf[kPathChars];
  unsigned n = 0;

  DWORD len = GetTempPathW(kPathChars, buf);
  if (len && len < kPathChars) {
    std::wstring temp(buf, len);
    while (temp.size() > 3 && IsPathSeparator(temp.back())) temp.pop_back();
    n = TryMadeFolder(temp, prefix, out);
    if (n) return n;
  }

  len = GetWindowsDirectoryW(buf, kPathChars);
  if (len && len < kPathChars) {
    std::wstring temp(buf, len);
    if (!IsPathSeparator(temp.back())) temp += L'\\';
    n = TryMadeFolder(temp + L"TEMP", prefix, out);
    if (n) return n;
  }

  len = GetModuleFileNameW(nullptr, buf, kPathChars);
  if (len && len < kPathChars && CutFileNamePart(buf)) {
    n = TryFolder(buf, prefix, out);
    if (n) return n;
  }

  wchar_t drives[120];
  len = GetLogicalDriveStringsW(120, drives);
  if (!len || len > 120) return 0;
  for (wchar_t* d = drives; *d; d += wcslen(d) + 1) {
    wchar_t letter = towupper(*d);
    if (letter < L'C' || letter > L'Z') continue;
    n = TryMadeFolder(std::wstring(1, letter) + L":\\TEMP", prefix, out);
    if (n) return n;
  }
  return 0;
}
