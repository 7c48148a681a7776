#include "disktools/dialogs/DiskToolHistory.h"

#include <cwchar>
#include <string>
#include <vector>

namespace {

const int kEntryChars = 360;

HKEY OpenHistoryKey(const wchar_t* name, bool create) {
  std::wstring path = L"Software\\VroMount\\History\\";
  path += name;
  HKEY key = nullptr;
  LONG r = create ? RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                    KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr)
                  : RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, &key);
  return r == ERROR_SUCCESS ? key : nullptr;
}

// Values "0", "1", ... up to the first one that cannot be read.
std::vector<std::wstring> ReadEntries(HKEY key) {
  std::vector<std::wstring> entries;
  for (int i = 0; key && i < kHistoryMax; ++i) {
    wchar_t text[kEntryChars + 1] = {};
    DWORD size = kEntryChars * sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key, std::to_wstring(i).c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
      break;
    text[size / sizeof(wchar_t) < kEntryChars ? size / sizeof(wchar_t) : kEntryChars] = 0;
    entries.push_back(text);
  }
  return entries;
}

bool WriteEntry(HKEY key, int index, const std::wstring& text) {
  return RegSetValueExW(key, std::to_wstring(index).c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(text.c_str()),
                        DWORD((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// The combo item whose text is exactly text, or -1.
int FindExact(HWND combo, const wchar_t* text) {
  int count = (int)SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (int i = 0; i < count; ++i) {
    int length = (int)SendMessageW(combo, CB_GETLBTEXTLEN, i, 0);
    if (length < 0) continue;
    std::wstring item(length + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&item[0]));
    if (wcscmp(item.c_str(), text) == 0) return i;
  }
  return -1;
}

}  // namespace

int LoadHistory(HWND combo, const wchar_t* name) {
  HKEY key = OpenHistoryKey(name, false);
  if (!key) return 0;
  int added = 0;
  for (const std::wstring& entry : ReadEntries(key)) {
    if (entry.empty()) continue;
    if (SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str())) >= 0) ++added;
  }
  RegCloseKey(key);
  return added;
}

bool SaveHistory(HWND combo, const wchar_t* name, const wchar_t* text) {
  HKEY key = OpenHistoryKey(name, true);
  bool ok = key != nullptr;
  if (key) {
    std::vector<std::wstring> entries = ReadEntries(key);
    int from = (int)entries.size();
    for (int i = 0; i < (int)entries.size(); ++i) {
      if (entries[i] == text) {
        from = i;
        break;
      }
    }
    if (from == (int)entries.size()) {
      if (from == kHistoryMax) --from;  // the oldest falls off
    } else {
      int item = FindExact(combo, text);
      if (item >= 0) SendMessageW(combo, CB_DELETESTRING, item, 0);
    }
    for (int i = from; i >= 1; --i) ok = WriteEntry(key, i, entries[i - 1]) && ok;
    ok = WriteEntry(key, 0, text) && ok;
    RegCloseKey(key);
  }
  SendMessageW(combo, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(text));
  while (SendMessageW(combo, CB_GETCOUNT, 0, 0) > kHistoryMax)
    SendMessageW(combo, CB_DELETESTRING, SendMessageW(combo, CB_GETCOUNT, 0, 0) - 1, 0);
  SetWindowTextW(combo, text);
  return ok;
}
