#include "app/HistoryList.h"

#include <cwchar>
#include <string>

#include "common/SavedState.h"

namespace {

std::wstring HistoryKey(const wchar_t* name) {
  return std::wstring(kSettingsKey) + L"\\History\\" + name;
}

bool ReadEntry(HKEY key, int index, std::wstring& out) {
  wchar_t value[8];
  swprintf(value, 8, L"%u", unsigned(index));
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return false;
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  size = DWORD(text.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]), &size) !=
      ERROR_SUCCESS)
    return false;
  text.resize(wcslen(text.c_str()));
  out = text;
  return true;
}

void WriteEntry(HKEY key, int index, const std::wstring& text) {
  wchar_t value[8];
  swprintf(value, 8, L"%u", unsigned(index));
  RegSetValueExW(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 DWORD((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

int LoadHistory(HWND combo, const wchar_t* name) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, HistoryKey(name).c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return 0;
  int added = 0;
  std::wstring text;
  for (int i = 0; i < kHistoryMax && ReadEntry(key, i, text); ++i) {
    if (text.empty()) continue;
    SendMessageW(combo, CB_INSERTSTRING, WPARAM(-1), LPARAM(text.c_str()));
    ++added;
  }
  RegCloseKey(key);
  return added;
}

void SaveHistory(HWND combo, const wchar_t* name, const wchar_t* text) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, HistoryKey(name).c_str(), 0, nullptr, 0,
                      KEY_READ | KEY_WRITE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    std::wstring entries[kHistoryMax];
    int count = 0, equal = -1;
    while (count < kHistoryMax && ReadEntry(key, count, entries[count])) {
      if (equal < 0 && entries[count] == text) equal = count;
      ++count;
    }
    // The equal entry's place is taken by the ones above it; without one
    // every entry moves down and the last place falls off.
    int from = equal >= 0 ? equal : (count < kHistoryMax ? count : kHistoryMax - 1);
    for (int i = from; i >= 1; --i) WriteEntry(key, i, entries[i - 1]);
    WriteEntry(key, 0, text);
    RegCloseKey(key);
  }
  if (!combo) return;
  // The combo box: an equal string leaves its place, the text goes on top.
  const int items = int(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < items; ++i) {
    const int length = int(SendMessageW(combo, CB_GETLBTEXTLEN, i, 0));
    if (length != int(wcslen(text))) continue;
    std::wstring item(length + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, i, LPARAM(&item[0]));
    item.resize(length);
    if (item == text) {
      SendMessageW(combo, CB_DELETESTRING, i, 0);
      break;
    }
  }
  SendMessageW(combo, CB_INSERTSTRING, 0, LPARAM(text));
  while (SendMessageW(combo, CB_GETCOUNT, 0, 0) > kHistoryMax)
    SendMessageW(combo, CB_DELETESTRING, kHistoryMax, 0);
  SetWindowTextW(combo, text);
}
