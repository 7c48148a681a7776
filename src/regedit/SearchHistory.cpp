#include "regedit/SearchHistory.h"

#include <windowsx.h>

#include <string>

#include "common/TextSearch.h"

namespace {

const wchar_t kStringKey[] = L"Software\\VroMount\\History\\KeyString";
const wchar_t kHexKey[] = L"Software\\VroMount\\History\\KeyHex";
const int kEntries = 20;

bool ReadEntry(HKEY key, int index, std::wstring* text) {
  wchar_t name[16];
  _snwprintf(name, 16, L"%u", index);
  name[15] = 0;
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  std::wstring value(size / 2 + 1, L'\0');
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &size) !=
      ERROR_SUCCESS)
    return false;
  value.resize(wcsnlen(value.c_str(), size / 2));
  *text = value;
  return true;
}

void WriteEntry(HKEY key, int index, const std::wstring& text) {
  wchar_t name[16];
  _snwprintf(name, 16, L"%u", index);
  name[15] = 0;
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 (DWORD)((text.size() + 1) * 2));
}

bool SameText(const std::wstring& a, const wchar_t* b) {
  size_t n = wcslen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i])) return false;
  return true;
}

void Load(const wchar_t* keyName, HWND combo) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  int added = 0;
  std::wstring text;
  for (int i = 0; added < kEntries && ReadEntry(key, i, &text); ++i) {
    if (text.empty()) continue;
    ComboBox_AddString(combo, text.c_str());
    ++added;
  }
  RegCloseKey(key);
}

void Save(const wchar_t* keyName, HWND combo, const wchar_t* text) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, keyName, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return;
  int m = 0, found = -1;
  std::wstring entry;
  for (int i = 0; i < kEntries && ReadEntry(key, i, &entry); ++i) {
    if (SameText(entry, text)) {
      found = i;
      break;
    }
    if (!entry.empty()) m = i + 1;
  }
  int top;
  if (found >= 0) {
    for (int i = 0; i < ComboBox_GetCount(combo); ++i) {
      wchar_t item[1024] = {};
      if (ComboBox_GetLBTextLen(combo, i) >= 1024) continue;
      ComboBox_GetLBText(combo, i, item);
      if (SameText(item, text)) {
        ComboBox_DeleteString(combo, i);
        break;
      }
    }
    top = found;
  } else {
    top = m < kEntries - 1 ? m : kEntries - 1;
  }
  for (int j = top - 1; j >= 0; --j)
    if (ReadEntry(key, j, &entry)) WriteEntry(key, j + 1, entry);
  WriteEntry(key, 0, text);
  RegCloseKey(key);
  ComboBox_InsertString(combo, 0, text);
  while (ComboBox_GetCount(combo) > kEntries) ComboBox_DeleteString(combo, kEntries);
}

}  // namespace

void LoadKeyStringHistory(HWND combo) {
  Load(kStringKey, combo);
}
void SaveKeyStringHistory(HWND combo, const wchar_t* text) {
  Save(kStringKey, combo, text);
}
void LoadKeyHexHistory(HWND combo) {
  Load(kHexKey, combo);
}
void SaveKeyHexHistory(HWND combo, const wchar_t* text) {
  Save(kHexKey, combo, text);
}
