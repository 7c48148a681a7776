// The editor's settings, the visited-keys history and the favorites popup.
#include "regedit/RegistrySettings.h"

#include <commctrl.h>
#include <windowsx.h>

#include <string>
#include <vector>

#include "common/Dpi.h"
#include "common/SavedState.h"
#include "regedit/RegistryDlg.h"
#include "resources/ResourceIds.h"
#include "ui/controls/TreeView.h"

namespace {

const REGSAM kRead = 0x20019;
const REGSAM kWrite = 0x2001F;
const int kPathMax = 360;
const int kFavoriteNameMax = 128;

// The largest value data size of a key in bytes, 0 when unknown.
DWORD LargestData(HKEY key) {
  DWORD largest = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       &largest, nullptr, nullptr) != ERROR_SUCCESS)
    return 0;
  return largest;
}

// The text of entry `index` into `buffer` (`bytes` long, terminated);
// false when the entry is missing.
bool ReadEntry(HKEY key, unsigned index, wchar_t* buffer, DWORD bytes) {
  wchar_t name[16];
  _snwprintf(name, 16, L"%u", index);
  name[15] = 0;
  DWORD size = bytes - sizeof(wchar_t);
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) !=
      ERROR_SUCCESS)
    return false;
  buffer[size / sizeof(wchar_t)] = 0;
  return true;
}

void WriteEntry(HKEY key, unsigned index, const wchar_t* text) {
  wchar_t name[16];
  _snwprintf(name, 16, L"%u", index);
  name[15] = 0;
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 (DWORD)((wcslen(text) + 1) * sizeof(wchar_t)));
}

}  // namespace

int LoadKeyTreeWidth() {
  DWORD width = 0, size = sizeof(width);
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, kRead, &key) != ERROR_SUCCESS)
    return ScaleByDpi(320);
  LONG rc = RegQueryValueExW(key, L"KeyTreeviewWidth", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&width), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && size == sizeof(width) ? (int)width : ScaleByDpi(320);
}

void SaveKeyTreeWidth(int width) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, kWrite, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return;
  DWORD value = (DWORD)width;
  RegSetValueExW(key, L"KeyTreeviewWidth", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                 sizeof(value));
  RegCloseKey(key);
}

void SaveLastKey(const wchar_t* path) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, kWrite, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(key, L"LastKey", 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                 (DWORD)((wcslen(path) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

void RestoreLastKey(CRegistryDlg* window) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, kRead, &key) != ERROR_SUCCESS) return;
  DWORD largest = LargestData(key);
  std::vector<wchar_t> buffer(largest / sizeof(wchar_t) + 2, 0);
  DWORD size = largest;
  LONG rc = largest ? RegQueryValueExW(key, L"LastKey", nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(buffer.data()), &size)
                    : ERROR_FILE_NOT_FOUND;
  RegCloseKey(key);
  if (rc == ERROR_SUCCESS) SelectKeyPath(window, buffer.data());
}

int LoadRegistryHistory(CRegistryDlg* window) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRegistryHistoryKey, 0, kRead, &key) != ERROR_SUCCESS)
    return 0;
  DWORD largest = LargestData(key);
  int added = 0;
  if (largest) {
    std::vector<wchar_t> buffer(largest / sizeof(wchar_t) + 2, 0);
    HWND combo = window->Combo();
    for (unsigned i = 0; added < kRegistryHistoryMax; ++i) {
      if (!ReadEntry(key, i, buffer.data(), (DWORD)(buffer.size() * sizeof(wchar_t)))) break;
      if (buffer[0]) {
        ComboBox_AddString(combo, buffer.data());
        ++added;
      }
    }
  }
  RegCloseKey(key);
  return added;
}

void AddRegistryHistory(CRegistryDlg* window) {
  HWND tree = window->Tree();
  HTREEITEM item = TreeView_GetSelection(tree);
  if (!item) return;
  std::wstring path = GetKeyItemPath(tree, item);
  if (IsRegistryRootPath(path.c_str())) return;
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kRegistryHistoryKey, 0, nullptr, 0, kWrite, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return;
  HWND combo = window->Combo();
  DWORD largest = LargestData(key);
  if (largest) {
    if (largest < kPathMax) largest = kPathMax;
    const DWORD bytes = (largest + 1) * sizeof(wchar_t);
    std::vector<wchar_t> buffer(largest + 1, 0);
    unsigned last = 0;
    bool found = false;
    for (unsigned i = 0; i < (unsigned)kRegistryHistoryMax; ++i) {
      if (!ReadEntry(key, i, buffer.data(), bytes)) break;
      if (!buffer[0]) continue;
      last = i + 1;
      if (!_wcsicmp(buffer.data(), path.c_str())) {
        found = true;
        break;
      }
    }
    if (last) {
      unsigned top = last;
      if (!found) {
        if (top > (unsigned)kRegistryHistoryMax - 1) top = kRegistryHistoryMax - 1;
      } else {
        top = last - 1;
        int shown = ComboBox_FindStringExact(combo, -1, path.c_str());
        if (shown >= 0) ComboBox_DeleteString(combo, shown);
      }
      for (unsigned j = top; j >= 1; --j) {
        if (ReadEntry(key, j - 1, buffer.data(), bytes)) WriteEntry(key, j, buffer.data());
      }
    }
  }
  WriteEntry(key, 0, path.c_str());
  ComboBox_InsertString(combo, 0, path.c_str());
  while (ComboBox_GetCount(combo) > kRegistryHistoryMax)
    ComboBox_DeleteString(combo, ComboBox_GetCount(combo) - 1);
  ComboBox_SetCurSel(combo, 0);
  RegCloseKey(key);
}

void SelectKeyPath(CRegistryDlg* window, const wchar_t* path) {
  HWND tree = window->Tree();
  std::wstring rest = path;
  HTREEITEM candidate = TreeView_GetRoot(tree);
  HTREEITEM deepest = candidate;
  size_t slash;
  while ((slash = rest.find(L'\\')) != std::wstring::npos) {
    std::wstring part = rest.substr(0, slash);
    rest.erase(0, slash + 1);
    HTREEITEM found = candidate ? TreeFindSiblingByText(tree, candidate, part.c_str()) : nullptr;
    if (!found) {
      if (deepest) TreeView_SelectItem(tree, deepest);
      return;
    }
    deepest = found;
    TreeView_Expand(tree, found, TVE_EXPAND);
    candidate = TreeView_GetChild(tree, found);
    if (!candidate) {
      TreeView_SelectItem(tree, found);
      return;
    }
  }
  HTREEITEM found = candidate ? TreeFindSiblingByText(tree, candidate, rest.c_str()) : nullptr;
  HTREEITEM target = found ? found : deepest;
  if (target) TreeView_SelectItem(tree, target);
}

void FillFavoritesMenu(HMENU popup) {
  for (int i = GetMenuItemCount(popup) - 1; i >= 0; --i) {
    UINT id = GetMenuItemID(popup, i);
    if (id != ID_REG_ADD_FAVORITE && id != ID_REG_REMOVE_FAVORITE)
      DeleteMenu(popup, i, MF_BYPOSITION);
  }
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRegistryFavoritesKey, 0, kRead, &key) != ERROR_SUCCESS)
    return;
  for (DWORD i = 0; i < (DWORD)kRegistryFavoritesMax; ++i) {
    wchar_t name[kFavoriteNameMax];
    DWORD length = kFavoriteNameMax;
    if (RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    if (i == 0) AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(popup, MF_STRING, ID_REG_FAVORITE_FIRST + i, name);
  }
  RegCloseKey(key);
}
