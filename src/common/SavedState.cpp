#include "common/SavedState.h"

#include <commctrl.h>

#include <vector>

#include "common/Dpi.h"

namespace {

const DWORD kPlacementBytes = sizeof(WINDOWPLACEMENT);
static_assert(sizeof(WINDOWPLACEMENT) == 44, "the stored record is 44 bytes");

// The stored value's bytes; empty when it is missing.
std::vector<BYTE> ReadValue(const wchar_t* valueName) {
  std::vector<BYTE> data;
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return data;
  DWORD size = 0;
  if (RegQueryValueExW(key, valueName, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
      size > 0) {
    data.resize(size);
    if (RegQueryValueExW(key, valueName, nullptr, nullptr, data.data(), &size) != ERROR_SUCCESS)
      data.clear();
    else
      data.resize(size);
  }
  RegCloseKey(key);
  return data;
}

void WriteValue(const wchar_t* valueName, const void* data, DWORD size) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(key, valueName, 0, REG_BINARY, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
}

int HeaderColumnCount(HWND list) {
  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  if (!header) return 0;
  LRESULT n = SendMessageW(header, HDM_GETITEMCOUNT, 0, 0);
  return n > 0 ? static_cast<int>(n) : 0;
}

}  // namespace

void SaveWindowPlacement(HWND window, const wchar_t* valueName) {
  if (!IsWindowVisible(window) || IsIconic(window)) return;
  WINDOWPLACEMENT wp = {};
  wp.length = kPlacementBytes;
  if (!GetWindowPlacement(window, &wp)) return;
  WriteValue(valueName, &wp, kPlacementBytes);
}

void LoadWindowPlacement(const wchar_t* valueName, int showCommand, WINDOWPLACEMENT* out) {
  WINDOWPLACEMENT wp = {};
  wp.length = kPlacementBytes;
  wp.showCmd = showCommand;
  wp.ptMinPosition = {-1, -1};
  wp.ptMaxPosition = {-1, -1};
  const int w = 1000 * g_ScreenDpiPercent / 100, h = 620 * g_ScreenDpiPercent / 100;
  wp.rcNormalPosition.left = (GetSystemMetrics(SM_CXSCREEN) - w) >> 1;
  wp.rcNormalPosition.top = (GetSystemMetrics(SM_CYSCREEN) - h) >> 1;
  wp.rcNormalPosition.right = wp.rcNormalPosition.left + w;
  wp.rcNormalPosition.bottom = wp.rcNormalPosition.top + h;

  std::vector<BYTE> stored = ReadValue(valueName);
  if (stored.size() >= kPlacementBytes) {
    WINDOWPLACEMENT saved;
    memcpy(&saved, stored.data(), kPlacementBytes);
    if (saved.length == kPlacementBytes) wp = saved;
  }
  if (showCommand != SW_SHOWNORMAL && showCommand != SW_SHOW && showCommand != SW_SHOWDEFAULT)
    wp.showCmd = showCommand;
  *out = wp;
}

BOOL RestoreWindowPlacement(HWND window, const wchar_t* valueName, int showCommand) {
  WINDOWPLACEMENT wp;
  LoadWindowPlacement(valueName, showCommand, &wp);
  return SetWindowPlacement(window, &wp);
}

void LoadListColumnWidths(HWND list, const wchar_t* valueName, int count) {
  const int n = HeaderColumnCount(list);
  if (n == 0) return;
  std::vector<BYTE> stored = ReadValue(valueName);
  if (stored.size() != 4u * n) return;
  const int apply = count < 0 || count > n ? n : count;
  for (int i = 0; i < apply; ++i) {
    DWORD width;
    memcpy(&width, stored.data() + 4 * i, 4);
    SendMessageW(list, LVM_SETCOLUMNWIDTH, i, static_cast<LPARAM>(0xFFFF0000u | (width & 0xFFFF)));
  }
}

void SaveListColumnWidths(HWND list, const wchar_t* valueName) {
  const int n = HeaderColumnCount(list);
  if (n <= 0) return;
  std::vector<DWORD> widths(n);
  for (int i = 0; i < n; ++i)
    widths[i] = static_cast<DWORD>(SendMessageW(list, LVM_GETCOLUMNWIDTH, i, 0));
  WriteValue(valueName, widths.data(), 4 * n);
}
