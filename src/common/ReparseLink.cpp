#include "common/ReparseLink.h"

#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "common/PathUtil.h"
#include "common/Privilege.h"

namespace {

// The platform's REPARSE_DATA_BUFFER header; the path buffer follows the
// names' offsets and lengths (after a flags word for symbolic links).
struct ReparseHeader {
  DWORD tag;
  WORD dataLength;
  WORD reserved;
  WORD substituteOffset;
  WORD substituteLength;
  WORD printOffset;
  WORD printLength;
};
const size_t kHeaderBytes = sizeof(ReparseHeader);  // 16
const size_t kReparseBufferBytes = 16 * 1024;       // MAXIMUM_REPARSE_DATA_BUFFER_SIZE

HANDLE OpenReparsePoint(const wchar_t* path, DWORD access, DWORD share) {
  return CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool IsFolder(const wchar_t* path) {
  DWORD a = GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Removes whatever is at `path` when it may be replaced by a link: a link,
// a file or an empty folder. True when the path is free afterwards.
bool ClearForLink(const wchar_t* path) {
  DWORD a = GetFileAttributesW(path);
  if (a == INVALID_FILE_ATTRIBUTES) return true;
  if (a & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(path) != 0;
  if (a & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path, a & ~FILE_ATTRIBUTE_READONLY);
  return DeleteFileW(path) != 0;
}

// The reparse data for a link to `target`.
std::vector<BYTE> BuildReparseData(const wchar_t* target, DWORD tag) {
  std::wstring print = target;
  std::wstring substitute = L"\\??\\" + print;
  if (substitute.size() > kPathChars - 1) substitute.resize(kPathChars - 1);
  const WORD subBytes = static_cast<WORD>(substitute.size() * 2);
  const WORD printBytes = static_cast<WORD>(print.size() * 2);
  const bool symlink = tag == kReparseTagSymlink;
  const size_t flagsBytes = symlink ? 4 : 0;
  std::wstring names = symlink ? print + substitute + L'\0' : substitute + L'\0' + print + L'\0';
  std::vector<BYTE> data(kHeaderBytes + flagsBytes + names.size() * 2, 0);
  ReparseHeader h = {};
  h.tag = tag;
  h.dataLength = static_cast<WORD>(data.size() - 8);
  h.substituteOffset = symlink ? printBytes : 0;
  h.substituteLength = subBytes;
  h.printOffset = symlink ? 0 : subBytes + 2;
  h.printLength = printBytes;
  memcpy(data.data(), &h, kHeaderBytes);
  memcpy(data.data() + kHeaderBytes + flagsBytes, names.data(), names.size() * 2);
  return data;
}

}  // namespace

bool IsDirectoryLink(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

DWORD ReadReparseTarget(const wchar_t* path, wchar_t* target) {
  if (target) target[0] = 0;
  if (!path || !target) return 0;
  HANDLE h = OpenReparsePoint(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (h == INVALID_HANDLE_VALUE) return 0;
  std::vector<BYTE> buf(kReparseBufferBytes);
  DWORD got = 0;
  BOOL ok = DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, buf.data(),
                            static_cast<DWORD>(buf.size()), &got, nullptr);
  CloseHandle(h);
  if (!ok || got < kHeaderBytes) return 0;
  ReparseHeader hdr;
  memcpy(&hdr, buf.data(), kHeaderBytes);
  if ((hdr.tag != kReparseTagSymlink && hdr.tag != kReparseTagJunction) || !hdr.dataLength)
    return 0;
  size_t names = kHeaderBytes + (hdr.tag == kReparseTagSymlink ? 4 : 0);
  size_t first = names + hdr.substituteOffset;
  if (first + hdr.substituteLength > got || (hdr.substituteLength & 1)) return 0;
  std::wstring sub(hdr.substituteLength / 2, L'\0');
  memcpy(&sub[0], buf.data() + first, hdr.substituteLength);
  if (sub.compare(0, 4, L"\\??\\") == 0) sub.erase(0, 4);
  lstrcpynW(target, sub.c_str(), kPathChars);
  return hdr.tag;
}

BOOL CreateReparseLink(const wchar_t* path, const wchar_t* target, DWORD tag, BOOL failIfExists) {
  if (!path || !target || (tag != kReparseTagSymlink && tag != kReparseTagJunction)) return FALSE;
  if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
    if (failIfExists) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return FALSE;
    }
    if (!ClearForLink(path)) return FALSE;
  }
  if (tag == kReparseTagSymlink) EnablePrivilege(L"SeCreateSymbolicLinkPrivilege");

  const bool folder = tag == kReparseTagJunction || IsFolder(target);
  HANDLE h;
  if (folder) {
    if (!CreateDirectoryW(path, nullptr)) return FALSE;
    h = OpenReparsePoint(path, GENERIC_WRITE, FILE_SHARE_READ);
  } else {
    h = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  BOOL ok = FALSE;
  DWORD error = ERROR_SUCCESS;
  if (h != INVALID_HANDLE_VALUE) {
    std::vector<BYTE> data = BuildReparseData(target, tag);
    DWORD unused = 0;
    ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, data.data(), static_cast<DWORD>(data.size()),
                         nullptr, 0, &unused, nullptr);
    if (!ok) error = GetLastError();
    CloseHandle(h);
  } else {
    error = GetLastError();
  }
  if (!ok) {
    if (folder)
      RemoveDirectoryW(path);
    else if (h != INVALID_HANDLE_VALUE)
      DeleteFileW(path);
    SetLastError(error);
  }
  return ok;
}
