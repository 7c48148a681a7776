#include "image/stack/OverlayNotice.h"

#include <windows.h>

#include <string>

#include "common/ConsoleOutput.h"
#include "image/stack/MountRw.h"

namespace {

VroOverlayNoticeFn g_notice = nullptr;
LONG g_count = 0;
thread_local int t_quiet = 0;

const wchar_t* Why(int kind) {
  switch (kind) {
    case VRO_NOTICE_DAMAGED_MAP:
      return L"its map is damaged (torn, cut short or overwritten): not opened, left as it is";
    case VRO_NOTICE_DAMAGED_HEADER:
      return L"its header is damaged: not opened, left as it is";
    case VRO_NOTICE_NOT_OVERLAY:
      return L"it holds no overlay of this image (damaged or of another kind): not opened, left "
             L"as it is";
    case VRO_NOTICE_NOT_LINKED:
      return L"it belongs to another image: not opened, left as it is";
    case VRO_NOTICE_STALE_KEPT:
      return L"it was made for an earlier state of its base image: not opened, left as it is (a "
             L"command that writes discards it)";
    case VRO_NOTICE_UNUSABLE_DISCARDED:
      return L"it is marked unusable: it was discarded and started afresh";
    case VRO_NOTICE_MISSING:
      return L"it does not exist: not opened";
    case VRO_NOTICE_CANNOT_CREATE:
      return L"it cannot be created (no such folder, or no access): nothing written";
    case VRO_NOTICE_EMPTY:
      return L"it is empty (0 bytes): not opened, left as it is";
    case VRO_NOTICE_IN_USE:
      return L"it cannot be opened (in use by another program, or no access): not opened";
    case VRO_NOTICE_NOT_WRITABLE:
      return L"it cannot be opened for writing (read-only, in use by another program, or no "
             L"access): nothing written";
    case VRO_NOTICE_UNKNOWN_KIND:
      return L"it holds no image of a kind this program reads: not opened, left as it is";
    case VRO_NOTICE_NO_BASE:
      return L"it is an update file, and the image it was made against is not beside it or "
             L"does not open: not opened";
    case VRO_NOTICE_NO_VOLUME:
      return L"no NTFS, FAT or exFAT volume in it could be mounted: not opened";
    case VRO_NOTICE_NO_MATCH:
      return L"no file matches it: nothing read";
    default:
      return L"it was made for an earlier state of its base image: its changes were discarded "
             L"and it was started afresh";
  }
}

}  // namespace

VroOverlayNoticeFn VroSetOverlayNotice(VroOverlayNoticeFn fn) {
  VroOverlayNoticeFn was = g_notice;
  g_notice = fn;
  return was;
}

int VroOverlayNoticeCount() {
  return InterlockedCompareExchange(&g_count, 0, 0);
}

VroQuietNotices::VroQuietNotices() {
  ++t_quiet;
}

VroQuietNotices::~VroQuietNotices() {
  --t_quiet;
}

void VroOverlayNotice(const wchar_t* path, int kind) {
  if (t_quiet) return;
  InterlockedIncrement(&g_count);
  if (g_notice) {
    g_notice(path, kind);
    return;
  }
  std::wstring line = std::wstring(path ? path : L"") + L": " + Why(kind) + L"\r\n";
  DWORD saved = GetLastError();
  HANDLE out = CommandOutput();
  DWORD written = 0;
  if (out != INVALID_HANDLE_VALUE && out &&
      !WriteConsoleW(out, line.c_str(), DWORD(line.size()), &written, nullptr)) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), int(line.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string utf8(size_t(bytes > 0 ? bytes : 0), 0);
    if (bytes > 0) {
      WideCharToMultiByte(CP_UTF8, 0, line.c_str(), int(line.size()), &utf8[0], bytes, nullptr,
                          nullptr);
      WriteFile(out, utf8.data(), DWORD(bytes), &written, nullptr);
    }
  }
  SetLastError(saved);
}

namespace {

// Why a file did not open, as the file shows it now.
void FileOpenNotice(const wchar_t* path, bool write) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
    VroOverlayNotice(path, write ? VRO_NOTICE_CANNOT_CREATE : VRO_NOTICE_MISSING);
    return;
  }
  if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !data.nFileSizeHigh &&
      !data.nFileSizeLow && !write) {
    VroOverlayNotice(path, VRO_NOTICE_EMPTY);
    return;
  }
  DWORD access = write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  HANDLE h = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    VroOverlayNotice(path, write ? VRO_NOTICE_NOT_WRITABLE : VRO_NOTICE_IN_USE);
    return;
  }
  CloseHandle(h);
  VroOverlayNotice(path, VRO_NOTICE_UNKNOWN_KIND);
}

}  // namespace

void VroChainNotice(int code, const wchar_t* image, const wchar_t* fixPath, int writeMode) {
  bool writes = writeMode != VRO_WRITE_NONE;
  bool hasFix = fixPath && *fixPath;
  switch (code) {
    case VRO_CHAIN_NO_IMAGE:
      FileOpenNotice(image, false);
      break;
    case VRO_CHAIN_UPDATE_NO_BASE:
    case VRO_CHAIN_UPDATE_BASE_FAILED:
      VroOverlayNotice(image, VRO_NOTICE_NO_BASE);
      break;
    case VRO_CHAIN_UPDATE_FAILED:
      FileOpenNotice(image, writes && !hasFix);
      break;
    case VRO_CHAIN_SPARSE_FIX_FAILED:
    case VRO_CHAIN_OTHER_FIX_FAILED:
    case VRO_CHAIN_UPDATE_FIX_FAILED:
      if (hasFix) FileOpenNotice(fixPath, writes);
      break;
    case VRO_CHAIN_SPARSE_BASE_FAILED:
    case VRO_CHAIN_OTHER_FAILED:
      FileOpenNotice(image, true);
      break;
    default:
      break;
  }
}
