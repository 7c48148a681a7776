// The registry editor's window tests: the editor opened over a mounted
// disk, bodies run from inside its modal loop (and inside the modal dialogs
// it opens), and small readers of its tree and list.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <windowsx.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "../ui/UiTestUtil.h"
#include "TestSupport.h"
#include "image/mount/MountedImage.h"
#include "regedit/RegistryDlg.h"
#include "regedit/RegistrySettings.h"
#include "ui/controls/ListView.h"
#include "ui/controls/TreeView.h"

namespace edtest {

inline const wchar_t kVro[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro";

inline std::function<void(CRegistryDlg*)> g_body;
inline UINT_PTR g_timer;
inline bool g_ran;

inline BOOL CALLBACK FindEditor(HWND window, LPARAM out) {
  if (CRegistryDlg* dlg = dynamic_cast<CRegistryDlg*>(CWindow::FromWindow(window))) {
    *reinterpret_cast<CRegistryDlg**>(out) = dlg;
    return FALSE;
  }
  return TRUE;
}

inline void CALLBACK RunBody(HWND, UINT, UINT_PTR, DWORD) {
  KillTimer(nullptr, g_timer);
  CRegistryDlg* dlg = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindEditor, reinterpret_cast<LPARAM>(&dlg));
  if (!dlg) return;
  g_ran = true;
  uitest::Pump();
  g_body(dlg);
  PostMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
}

// Opens the editor over the image in `language` and runs `body` once it is up.
inline void RunEditor(CMountedImage* image, LANGID language,
                      std::function<void(CRegistryDlg*)> body) {
  CWindow parent;
  parent.m_hInstance = GetModuleHandleW(nullptr);
  parent.m_language = language;
  g_body = body;
  g_ran = false;
  g_timer = SetTimer(nullptr, 0, 10, RunBody);
  new CRegistryDlg(&parent, image);
  EXPECT_TRUE(g_ran) << "the editor did not come up";
}

// Runs `inside` once the modal dialog of class T that `open` starts is up.
inline std::function<void()> g_inside;
inline UINT_PTR g_innerTimer;
inline CWindow* g_innerDialog;

template <class T>
inline BOOL CALLBACK FindDialog(HWND window, LPARAM) {
  if (T* dlg = dynamic_cast<T*>(CWindow::FromWindow(window))) {
    g_innerDialog = dlg;
    return FALSE;
  }
  return TRUE;
}

template <class T>
inline void CALLBACK RunInside(HWND, UINT, UINT_PTR, DWORD) {
  KillTimer(nullptr, g_innerTimer);
  g_innerDialog = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindDialog<T>, 0);
  if (!g_innerDialog) return;
  uitest::Pump();
  g_inside();
}

template <class T>
inline bool RunModal(std::function<void()> open, std::function<void()> inside) {
  g_inside = inside;
  g_innerDialog = nullptr;
  g_innerTimer = SetTimer(nullptr, 0, 10, RunInside<T>);
  open();
  return g_innerDialog != nullptr;
}

inline void ClearSettings() {
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\VroMount\\History\\Registry");
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\VroMount\\Favorites\\Registry");
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\VroMount", 0, KEY_SET_VALUE, &key) ==
      ERROR_SUCCESS) {
    RegDeleteValueW(key, L"LastKey");
    RegDeleteValueW(key, L"KeyTreeviewWidth");
    RegCloseKey(key);
  }
}

inline void WriteHistory(const std::vector<std::wstring>& entries) {
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kRegistryHistoryKey, 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  for (size_t i = 0; i < entries.size(); ++i) {
    std::wstring name = std::to_wstring(i);
    RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(entries[i].c_str()),
                   (DWORD)((entries[i].size() + 1) * 2));
  }
  RegCloseKey(key);
}

inline std::vector<std::wstring> ReadHistory() {
  std::vector<std::wstring> out;
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRegistryHistoryKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return out;
  for (int i = 0;; ++i) {
    wchar_t text[400] = {};
    DWORD size = sizeof(text) - 2;
    if (RegQueryValueExW(key, std::to_wstring(i).c_str(), nullptr, nullptr, (BYTE*)text, &size))
      break;
    out.push_back(text);
  }
  RegCloseKey(key);
  return out;
}

inline std::vector<std::wstring> ComboEntries(HWND combo) {
  std::vector<std::wstring> out;
  for (int i = 0; i < ComboBox_GetCount(combo); ++i) {
    wchar_t text[400];
    ComboBox_GetLBText(combo, i, text);
    out.push_back(text);
  }
  return out;
}

inline std::wstring SelectedPath(CRegistryDlg* dlg) {
  HTREEITEM item = TreeView_GetSelection(dlg->Tree());
  return item ? GetKeyItemPath(dlg->Tree(), item) : L"<none>";
}

inline std::vector<std::wstring> ChildTexts(HWND tree, HTREEITEM item) {
  std::vector<std::wstring> out;
  for (HTREEITEM c = TreeView_GetChild(tree, item); c; c = TreeView_GetNextSibling(tree, c)) {
    wchar_t text[360];
    TreeGetItemText(tree, c, text);
    out.push_back(text);
  }
  return out;
}

inline std::wstring Cell(HWND list, int row, int column) {
  wchar_t text[360];
  ListGetItemText(list, row, column, text, 360);
  return text;
}

}  // namespace edtest

namespace edtest {

// Selects the row named `name` alone; its index, -1 when there is none.
inline int SelectRow(CRegistryDlg* dlg, const std::wstring& name) {
  HWND list = dlg->List();
  int row = ListFindItemText(list, name.c_str());
  if (row < 0) return -1;
  SetFocus(list);
  ListClearItemSelection(list, -1);
  ListSelectItem(list, row);
  return row;
}

// A value of a hive as hivexregedit exports it: its type text ("dword",
// "hex(7)"...) and bytes; type "<missing>" when it is not there.
struct ExportedValue {
  std::string type;
  std::vector<uint8_t> bytes;
};

inline ExportedValue HivexValue(const std::string& hive, const std::string& key,
                                const std::string& name) {
  std::string out;
  vt::Sh("hivexregedit --export " + vt::Q(hive) + " " + vt::Q(key) + " 2>&1", &out);
  std::string joined;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\\' && i + 1 < out.size() && out[i + 1] == '\n') {
      i += 1;
      while (i + 1 < out.size() && out[i + 1] == ' ') ++i;
      continue;
    }
    if (out[i] != '\r') joined += out[i];
  }
  const std::string head = (name.empty() ? std::string("@") : "\"" + name + "\"") + "=";
  ExportedValue v{"<missing>", {}};
  size_t at = 0;
  while ((at = joined.find(head, at)) != std::string::npos) {
    if (at == 0 || joined[at - 1] == '\n') break;
    ++at;
  }
  if (at == std::string::npos) return v;
  std::string line = joined.substr(at + head.size(), joined.find('\n', at) - at - head.size());
  size_t colon = line.find(':');
  v.type = line.substr(0, colon);
  std::string data = line.substr(colon + 1);
  if (v.type == "dword") {
    unsigned long d = strtoul(data.c_str(), nullptr, 16);
    for (int i = 0; i < 4; ++i) v.bytes.push_back((uint8_t)(d >> (8 * i)));
    return v;
  }
  for (size_t i = 0; i + 1 < data.size(); i += 3)
    v.bytes.push_back((uint8_t)strtoul(data.substr(i, 2).c_str(), nullptr, 16));
  return v;
}

inline std::vector<uint8_t> Bytes(const std::wstring& text, bool terminator = true) {
  std::vector<uint8_t> out;
  for (wchar_t c : text) {
    out.push_back((uint8_t)c);
    out.push_back((uint8_t)(c >> 8));
  }
  if (terminator) out.insert(out.end(), {0, 0});
  return out;
}

}  // namespace edtest

namespace edtest {

// Shows the window, lets it paint and saves its picture as
// <build>/regedit-pictures/<name>-<language>.png.
inline void Picture(HWND window, const std::string& name, LANGID language) {
  static const std::string shots = [] {
    std::string dir = vt::BinaryDirUnix() + "/regedit-pictures";
    vt::Sh("mkdir -p " + vt::Q(dir));
    return dir;
  }();
  ShowWindow(window, SW_SHOWNORMAL);
  SetForegroundWindow(window);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  for (int i = 0; i < 5; ++i) {
    uitest::Pump();
    Sleep(40);
  }
  RECT rc;
  GetWindowRect(window, &rc);
  EXPECT_TRUE(uitest::Screenshot(rc, shots + "/" + name + "-" + std::to_string(language) + ".png"));
}

}  // namespace edtest

namespace edtest {

// While it lives, every message box of the thread is answered with `answer`
// and its text recorded.
struct BoxAnswerer {
  explicit BoxAnswerer(int answer) {
    Current() = this;
    m_answer = answer;
    m_timer = SetTimer(nullptr, 0, 30, Tick);
  }
  ~BoxAnswerer() {
    KillTimer(nullptr, m_timer);
    Current() = nullptr;
  }
  static BoxAnswerer*& Current() {
    static BoxAnswerer* current = nullptr;
    return current;
  }
  static BOOL CALLBACK Find(HWND window, LPARAM) {
    wchar_t cls[16] = {};
    GetClassNameW(window, cls, 16);
    if (wcscmp(cls, L"#32770") || CWindow::FromWindow(window) || !IsWindowVisible(window))
      return TRUE;
    HWND text = GetDlgItem(window, 0xFFFF);
    if (!text) return TRUE;
    wchar_t buffer[4096] = {};
    GetWindowTextW(text, buffer, 4096);
    Current()->texts.push_back(buffer);
    PostMessageW(window, WM_COMMAND, Current()->m_answer, 0);
    return FALSE;
  }
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    if (Current()) EnumThreadWindows(GetCurrentThreadId(), Find, 0);
  }
  std::vector<std::wstring> texts;
  int m_answer;
  UINT_PTR m_timer;
};

}  // namespace edtest
