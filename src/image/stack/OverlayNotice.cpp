#include "image/stack/OverlayNotice.h"

#include <windows.h>

#include <string>

#include "common/ConsoleOutput.h"

namespace {

VroOverlayNoticeFn g_notice = nullptr;

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

void VroOverlayNotice(const wchar_t* path, int kind) {
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
