#include "common/PathUtil.h"

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

bool IsPathSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

namespace {

const wchar_t* LastSeparator(const wchar_t* path) {
  const wchar_t* last = nullptr;
  for (const wchar_t* p = path; *p; ++p)
    if (IsPathSeparator(*p)) last = p;
  return last;
}

}  // namespace

void CopyParentPath(const wchar_t* path, wchar_t* out, int outSize) {
  if (!out || outSize <= 0) return;
  out[0] = 0;
  const wchar_t* sep = path ? LastSeparator(path) : nullptr;
  if (!sep) return;
  int n = static_cast<int>(sep - path) + 1;  // lstrcpyn counts the NUL
  lstrcpynW(out, path, n < outSize ? n : outSize);
}

const wchar_t* FindFileNamePart(const wchar_t* path) {
  const wchar_t* sep = LastSeparator(path);
  return sep ? sep + 1 : path;
}

wchar_t* FindFileNamePart(wchar_t* path) {
  return const_cast<wchar_t*>(FindFileNamePart(static_cast<const wchar_t*>(path)));
}

const wchar_t* FindExtensionPart(const wchar_t* path) {
  const wchar_t* name = FindFileNamePart(path);
  const wchar_t* dot = wcsrchr(name, L'.');
  return dot ? dot + 1 : name + wcslen(name);
}

wchar_t* FindExtensionPart(wchar_t* path) {
  return const_cast<wchar_t*>(FindExtensionPart(static_cast<const wchar_t*>(path)));
}

wchar_t* CutFileNamePart(wchar_t* path) {
  wchar_t* sep = const_cast<wchar_t*>(LastSeparator(path));
  if (!sep || sep == path) return nullptr;
  *sep = 0;
  return sep + 1;
}

void AppendPathPart(wchar_t* path, int size, const wchar_t* tail) {
  if (!path || size <= 0 || !tail) return;
  size_t len = wcslen(path);
  if (IsPathSeparator(*tail)) ++tail;
  if (len && !IsPathSeparator(path[len - 1]) && len + 1 < static_cast<size_t>(size)) {
    path[len++] = L'\\';
    path[len] = 0;
  }
  if (len + 1 < static_cast<size_t>(size))
    lstrcpynW(path + len, tail, size - static_cast<int>(len));
}

int GetPathKind(const wchar_t* path) {
  if (!path || !*path || wcspbrk(path, L"*?")) return 0;
  size_t len = wcslen(path);
  if ((len == 2 || (len == 3 && path[2] == L'\\')) && path[1] == L':') {
    wchar_t root[4] = {path[0], L':', L'\\', 0};
    return GetDriveTypeW(root) != DRIVE_NO_ROOT_DIR ? 3 : 0;
  }
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(path, &fd);
  if (h == INVALID_HANDLE_VALUE) return 0;
  FindClose(h);
  return (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 2 : 1;
}

uint32_t GetFileSizeByName(const wchar_t* path) {
  if (!path || wcspbrk(path, L"*?")) return 0;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(path, &fd);
  if (h == INVALID_HANDLE_VALUE) return 0;
  FindClose(h);
  return fd.nFileSizeLow;
}

int GetPeMachineClass(const wchar_t* path) {
  HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  int result = -1;
  IMAGE_DOS_HEADER dos;
  DWORD got = 0;
  if (ReadFile(h, &dos, sizeof dos, &got, nullptr) && got == sizeof dos &&
      dos.e_magic == IMAGE_DOS_SIGNATURE && dos.e_lfanew > 0 &&
      SetFilePointer(h, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER) {
    struct {
      DWORD signature;
      WORD machine;
    } pe;
    if (ReadFile(h, &pe, 6, &got, nullptr) && got == 6 && pe.signature == IMAGE_NT_SIGNATURE) {
      if (pe.machine == IMAGE_FILE_MACHINE_AMD64)
        result = 1;
      else if (pe.machine == IMAGE_FILE_MACHINE_I386)
        result = 0;
    }
  }
  CloseHandle(h);
  return result;
}

uint64_t ParseVersionString(const wchar_t* text) {
  if (!text) return 0;
  size_t len = wcsnlen(text, 200);
  if (!wmemchr(text, L'.', len)) return 0;
  uint64_t result = 0;
  const wchar_t* p = text;
  const wchar_t* end = text + len;
  for (int part = 0; part < 4; ++part) {
    while (p < end && *p == L' ') ++p;
    uint32_t value = 0;
    for (; p < end && *p >= L'0' && *p <= L'9'; ++p) value = value * 10 + (*p - L'0');
    result |= static_cast<uint64_t>(value & 0xFFFF) << (48 - 16 * part);
    while (p < end && *p != L'.') ++p;  // the rest of a part that is not a number
    if (p == end) break;
    ++p;
  }
  return result;
}

bool IsDeviceName(const wchar_t* name) {
  if (!name) return false;
  // The part before the first dot, its trailing blanks dropped; what
  // follows the dot (an extension, dots and blanks) does not matter.
  size_t n = wcscspn(name, L".");
  while (n > 0 && name[n - 1] == L' ') --n;
  const std::wstring base(name, n);
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
    if (_wcsicmp(base.c_str(), device) == 0) return true;
  if (base.size() != 4 || (_wcsnicmp(base.c_str(), L"COM", 3) != 0 &&
                           _wcsnicmp(base.c_str(), L"LPT", 3) != 0))
    return false;
  const wchar_t digit = base[3];
  return (digit >= L'1' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

bool IsPlainName(const wchar_t* name) {
  if (!name || !*name || !name[wcsspn(name, L". ")] || IsDeviceName(name)) return false;
  const wchar_t last = name[wcslen(name) - 1];
  if (last == L'.' || last == L' ') return false;
  for (const wchar_t* p = name; *p; ++p)
    if (IsPathSeparator(*p) || *p == L':') return false;
  return true;
}

bool IsContainedPath(const wchar_t* path) {
  if (!path || !*path) return false;
  if (IsPathSeparator(*path)) ++path;
  std::wstring part;
  for (const wchar_t* p = path;; ++p) {
    if (!*p || IsPathSeparator(*p)) {
      if (!IsPlainName(part.c_str())) return false;
      if (!*p) return true;
      part.clear();
    } else {
      part += *p;
    }
  }
}

std::wstring ContainedFileName(const wchar_t* name) {
  if (!name || !*name || IsPathSeparator(*name)) return std::wstring();
  std::vector<std::wstring> parts;
  std::wstring part;
  for (const wchar_t* p = name;; ++p) {
    if (*p && !IsPathSeparator(*p)) {
      if (*p == L':') return std::wstring();
      part += *p;
      continue;
    }
    if (part == L"..") {
      if (parts.empty()) return std::wstring();
      parts.pop_back();
    } else if (part != L".") {
      if (!IsPlainName(part.c_str())) return std::wstring();
      parts.push_back(part);
    }
    if (!*p) break;
    part.clear();
  }
  std::wstring out;
  for (const std::wstring& p : parts) out += (out.empty() ? L"" : L"\\") + p;
  return out;
}

std::wstring FullPathKey(const wchar_t* path) {
  if (!path || !*path) return std::wstring();
  std::wstring full(32768, L'\0');
  DWORD n = GetFullPathNameW(path, DWORD(full.size()), &full[0], nullptr);
  if (n == 0 || n >= full.size())
    full = path;
  else
    full.resize(n);
  CharUpperBuffW(&full[0], DWORD(full.size()));
  return full;
}

bool IsSameHostFile(const wchar_t* a, const wchar_t* b) {
  if (!a || !b || !*a || !*b) return false;
  if (FullPathKey(a) == FullPathKey(b)) return true;
  BY_HANDLE_FILE_INFORMATION info[2] = {};
  const wchar_t* paths[2] = {a, b};
  for (int i = 0; i < 2; ++i) {
    HANDLE h = CreateFileW(paths[i], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BOOL read = GetFileInformationByHandle(h, &info[i]);
    CloseHandle(h);
    if (!read) return false;
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
         info[0].nFileIndexLow == info[1].nFileIndexLow;
}

std::wstring WidePath(const std::wstring& path) {
  if (path.size() < MAX_PATH - 12 || path.compare(0, 4, L"\\\\?\\") == 0 ||
      path.compare(0, 4, L"\\\\.\\") == 0)
    return path;
  std::wstring full(32768, L'\0');
  DWORD n = GetFullPathNameW(path.c_str(), DWORD(full.size()), &full[0], nullptr);
  if (n == 0 || n >= full.size()) return path;
  full.resize(n);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}
