// Shared pieces of the image driver window tests: images with network and
// display drivers installed through the engines and a store made by the
// import, running the modal windows from a test, answering their message
// boxes, and reading the image back with ntfscat and hivex.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "../../infinstall/InfTestUtil.h"
#include "../../registry/FacadeTestUtil.h"
#include "../../ui/UiTestUtil.h"
#include "../StoreTestUtil.h"
#include "TestSupport.h"
#include "driverstore/DriverStore.h"
#include "image/mount/MountedImage.h"
#include "infinstall/DriverCache.h"
#include "infinstall/driverpack/DriverPackInjection.h"
#include "registry/hive/RegTypes.h"
#include "ui/Window.h"

namespace dt {

const wchar_t kNetClassKey[] =
    L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\"
    L"{4D36E972-E325-11CE-BFC1-08002BE10318}";
const wchar_t kDisplayClassKey[] =
    L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\"
    L"{4D36E968-E325-11CE-BFC1-08002BE10318}";
const wchar_t kSystem[] = L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\";
const wchar_t kSampleNic[] = L"VEN_8086&DEV_10D3&SUBSYS_00008086&REV_01";

// The body of a modal window runs inside its loop once a window of class T
// is up; the window is closed afterwards unless the body closed it.
template <class T>
struct Modal {
  static std::function<void(T*)>& Body() {
    static std::function<void(T*)> body;
    return body;
  }
  static UINT_PTR& Timer() {
    static UINT_PTR timer;
    return timer;
  }
  static bool& Ran() {
    static bool ran;
    return ran;
  }
  static BOOL CALLBACK Find(HWND window, LPARAM out) {
    if (T* w = dynamic_cast<T*>(CWindow::FromWindow(window))) {
      if (IsWindowVisible(window)) {
        *reinterpret_cast<T**>(out) = w;
        return FALSE;
      }
    }
    return TRUE;
  }
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    T* w = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), Find, reinterpret_cast<LPARAM>(&w));
    if (!w) return;
    KillTimer(nullptr, Timer());
    Ran() = true;
    uitest::Pump();
    HWND window = w->m_hWnd;
    std::function<void(T*)> body = Body();
    body(w);
    if (IsWindow(window)) PostMessageW(window, WM_CLOSE, 0, 0);
  }
  static bool Run(std::function<void()> open, std::function<void(T*)> body) {
    Body() = body;
    Ran() = false;
    Timer() = SetTimer(nullptr, 0, 20, Tick);
    open();
    KillTimer(nullptr, Timer());
    return Ran();
  }
};

// The network adapter of the sample package installed into the image by the
// driver-pack injection (files copied), with no cached replay of an earlier
// installation on the host.
inline void InstallSampleNic(CMountedImage* m) {
  wchar_t cache[360];
  FormatDriverCachePath(0, kSampleNic, cache);
  DeleteFileW(cache);
  ASSERT_EQ(kDriverPackInstalled, InstallHardwareDriverPack(m, kDriverPackNetwork, kSampleNic,
                                                            L"007", nullptr, nullptr, 0, 0));
  DeleteFileW(cache);
}

// A parent lending the language.
struct Parent : CWindow {
  explicit Parent(LANGID language) {
    m_hInstance = GetModuleHandleW(nullptr);
    m_language = language;
  }
};

// Answers the next message box of the thread with `button` from a timer, so
// that a command that asks can be sent synchronously.
inline int& BoxAnswer() {
  static int answer;
  return answer;
}
inline std::wstring& BoxText() {
  static std::wstring text;
  return text;
}
inline BOOL CALLBACK FindBox(HWND window, LPARAM out) {
  wchar_t cls[16] = {};
  GetClassNameW(window, cls, 16);
  if (!wcscmp(cls, L"#32770") && IsWindowVisible(window) && GetDlgItem(window, 0xFFFF)) {
    *reinterpret_cast<HWND*>(out) = window;
    return FALSE;
  }
  return TRUE;
}
inline void CALLBACK AnswerTick(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND box = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindBox, reinterpret_cast<LPARAM>(&box));
  if (!box) return;
  KillTimer(nullptr, timer);
  wchar_t text[400] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 400);
  BoxText() = text;
  PostMessageW(box, WM_COMMAND, BoxAnswer(), 0);
}
inline void AnswerNextBox(int button) {
  BoxAnswer() = button;
  BoxText().clear();
  SetTimer(nullptr, 0, 30, AnswerTick);
}

// List helpers.
inline std::wstring Cell(HWND list, int item, int column) {
  wchar_t text[400] = {};
  ListView_GetItemText(list, item, column, text, 400);
  return text;
}
inline int Image(HWND list, int item) {
  LVITEMW lv = {};
  lv.mask = LVIF_IMAGE;
  lv.iItem = item;
  ListView_GetItem(list, &lv);
  return lv.iImage;
}
inline LPARAM Param(HWND list, int item) {
  LVITEMW lv = {};
  lv.mask = LVIF_PARAM;
  lv.iItem = item;
  ListView_GetItem(list, &lv);
  return lv.lParam;
}
inline int FindRow(HWND list, const std::wstring& text, int column = 0) {
  for (int i = 0; i < ListView_GetItemCount(list); ++i)
    if (Cell(list, i, column) == text) return i;
  return -1;
}
inline void SelectOnly(HWND list, int item) {
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  if (item >= 0)
    ListView_SetItemState(list, item, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  uitest::Pump();
}
inline std::wstring Text(HWND dialog, int id) {
  wchar_t text[1024] = {};
  GetDlgItemTextW(dialog, id, text, 1024);
  return text;
}
inline void Click(HWND dialog, int id) {
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
  uitest::Pump();
}
inline void SelectTab(HWND window, int tab) {
  HWND tabs = GetDlgItem(window, 1018);
  TabCtrl_SetCurSel(tabs, tab);
  NMHDR header = {tabs, 1018, static_cast<UINT>(TCN_SELCHANGE)};
  SendMessageW(window, WM_NOTIFY, 1018, reinterpret_cast<LPARAM>(&header));
  uitest::Pump();
}

// Registry writes of the tests.
inline void SetText(CMountedImage& m, const std::wstring& key, const wchar_t* name,
                    const std::wstring& text, uint32_t type = REG_SZ) {
  m.RegCreateKey(key.c_str());
  std::vector<uint8_t> b = rt::Utf16z(text);
  ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(key.c_str(), name, b.data(), (uint32_t)b.size(), type))
      << vt::Narrow(key) << " " << vt::Narrow(name);
}
inline void SetList(CMountedImage& m, const std::wstring& key, const wchar_t* name,
                    const std::vector<std::wstring>& items) {
  m.RegCreateKey(key.c_str());
  std::vector<uint8_t> b;
  for (const std::wstring& s : items)
    for (wchar_t c : s + L'\0') b.push_back((uint8_t)c), b.push_back((uint8_t)(c >> 8));
  b.push_back(0);
  b.push_back(0);
  ASSERT_EQ(REG_STATUS_OK,
            m.RegSetValue(key.c_str(), name, b.data(), (uint32_t)b.size(), REG_MULTI_SZ));
}
inline void SetDword(CMountedImage& m, const std::wstring& key, const wchar_t* name, uint32_t v) {
  m.RegCreateKey(key.c_str());
  ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(key.c_str(), name, &v, 4, REG_DWORD));
}
inline void SetBytes(CMountedImage& m, const std::wstring& key, const wchar_t* name,
                     std::vector<uint8_t> b) {
  m.RegCreateKey(key.c_str());
  ASSERT_EQ(REG_STATUS_OK,
            m.RegSetValue(key.c_str(), name, b.data(), (uint32_t)b.size(), REG_BINARY));
}

// A file of the host put into the image.
inline void PutFile(CMountedImage& m, const std::string& hostUnix, const std::wstring& inside) {
  ASSERT_TRUE(
      m.InjectHostPath(vt::ToWin(hostUnix).c_str(), inside.c_str(), nullptr, nullptr, nullptr))
      << vt::Narrow(inside);
}

// The image's SYSTEM hive as a host file (ntfscat).
inline std::string SystemHive(const rt::WinDisk& d, const std::string& name = "SYSTEM") {
  return rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/" + name);
}
// hivexregedit's export of one key (with its subkeys) of a hive file.
inline std::string ExportKey(const std::string& hive, const std::string& key) {
  std::string out;
  vt::Sh("hivexregedit --export " + vt::Q(hive) + " " + vt::Q(key), &out);
  return out;
}

}  // namespace dt
