// Shared pieces of the store-side driver window tests: the settings file's
// store root, a store filled by the real import from the sample packages of
// the INF installation tests, and reading store files back.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "../infinstall/InfTestUtil.h"
#include "../registry/FacadeTestUtil.h"
#include "TestSupport.h"
#include "common/IniSection.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfImporter.h"
#include "image/mount/MountedImage.h"

namespace st {

inline std::wstring SettingsFile() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring s = exe;
  return s.substr(0, s.rfind(L'.')) + L".ini";
}

inline void SetStoreRoot(const std::wstring& root) {
  ASSERT_TRUE(
      WritePrivateProfileStringW(L"Config", L"DrvPath", root.c_str(), SettingsFile().c_str()));
}

// The driver files of the sample packages, made once per package folder.
inline void MakeDriverFiles(const std::string& dirUnix) {
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dirUnix) + " && cd " + vt::Q(dirUnix) +
                      " && head -c 70001 /dev/urandom > vronic.sys && head -c 3000 /dev/urandom"
                      " > vronic.dll && printf catalog > vronet.cat && head -c 9000 /dev/urandom"
                      " > vrogfx.sys && printf um > vrogfxum.dll && printf d > vrogfxd.dll"));
}

// A sample INF (vronet.inf or vrodisp.inf, with an optional sed script run
// over it) written with its driver files into <scratch>/<folder>.
inline std::wstring SamplePackage(const std::string& scratchUnix, const std::string& folder,
                                  const std::string& inf, const std::string& substitute = "") {
  std::string dir = scratchUnix + "/" + folder;
  MakeDriverFiles(dir);
  return it::WriteInf(dir, inf, substitute);
}

// Imports an INF into the store folder of the class and target as the
// import workers do; returns the number of models.
inline unsigned ImportIntoStore(CMountedImage* image, int storeClass, uint32_t target,
                                const std::wstring& inf) {
  wchar_t folder[360];
  GetDriverStoreFolder(storeClass, target, folder);
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder))));
  bool net = storeClass == kStoreNetwork;
  CInfImporter importer(
      image, target, 7601, storeClass, net ? L"Net" : L"Display",
      net ? L"{4d36e972-e325-11ce-bfc1-08002be10318}" : L"{4d36e968-e325-11ce-bfc1-08002be10318}",
      nullptr);
  return importer.ImportInf(inf.c_str(), folder);
}

// A whole file as text (UTF-16 with a byte-order mark or 8-bit), "<missing>"
// when it cannot be read: store files are compared whole.
inline std::string FileText(const std::wstring& path) {
  std::vector<uint8_t> b;
  if (!vt::ReadAll(path, b)) return "<missing>";
  if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    std::wstring w;
    for (size_t i = 2; i + 1 < b.size(); i += 2) w += (wchar_t)(b[i] | (b[i + 1] << 8));
    return vt::Narrow(w);
  }
  return std::string(b.begin(), b.end());
}

}  // namespace st

#include <functional>

#include "../ui/UiTestUtil.h"
#include "ui/Window.h"

namespace st {

// Runs `body` from inside the modal loop of the first window of class T
// that `open` brings up; `open` returns when the window has closed (the body
// closes it). False when the window never came up.
template <class T>
struct ModalRun {
  static inline std::function<void(T*)> body;
  static inline UINT_PTR timer;
  static inline bool ran;
  static BOOL CALLBACK Find(HWND window, LPARAM out) {
    if (T* dlg = dynamic_cast<T*>(CWindow::FromWindow(window))) {
      *reinterpret_cast<T**>(out) = dlg;
      return FALSE;
    }
    return TRUE;
  }
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    T* dlg = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), Find, reinterpret_cast<LPARAM>(&dlg));
    if (!dlg) return;
    KillTimer(nullptr, timer);
    ran = true;
    uitest::Pump();
    body(dlg);
  }
};

template <class T>
bool RunModal(std::function<void()> open, std::function<void(T*)> body) {
  ModalRun<T>::body = body;
  ModalRun<T>::ran = false;
  ModalRun<T>::timer = SetTimer(nullptr, 0, 20, ModalRun<T>::Tick);
  open();
  KillTimer(nullptr, ModalRun<T>::timer);
  return ModalRun<T>::ran;
}

// Answers the next message box of the thread with `button` while `action`
// runs (the box is modal inside it).
inline int g_answer;
inline UINT_PTR g_answerTimer;
inline std::wstring g_boxText;  // the text of the last box answered
inline BOOL CALLBACK FindBox(HWND window, LPARAM) {
  wchar_t cls[16];
  GetClassNameW(window, cls, 16);
  if (wcscmp(cls, L"#32770") || CWindow::FromWindow(window) || !GetDlgItem(window, g_answer))
    return TRUE;
  wchar_t text[600] = {};
  GetDlgItemTextW(window, 0xFFFF, text, 600);
  g_boxText = text;
  PostMessageW(window, WM_COMMAND, g_answer, 0);
  KillTimer(nullptr, g_answerTimer);
  return FALSE;
}
inline void CALLBACK AnswerTick(HWND, UINT, UINT_PTR, DWORD) {
  EnumThreadWindows(GetCurrentThreadId(), FindBox, 0);
}
inline void AnswerBox(int button, std::function<void()> action) {
  g_answer = button;
  g_boxText.clear();
  g_answerTimer = SetTimer(nullptr, 0, 30, AnswerTick);
  action();
  KillTimer(nullptr, g_answerTimer);
}

// Texts of a list view, column by column.
inline std::wstring Cell(HWND list, int row, int column) {
  wchar_t text[400] = L"";
  LVITEMW it = {};
  it.iSubItem = column;
  it.pszText = text;
  it.cchTextMax = 400;
  SendMessageW(list, LVM_GETITEMTEXTW, row, (LPARAM)&it);
  return text;
}
inline int Rows(HWND list) {
  return (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
}
inline int FindRow(HWND list, const std::wstring& column4Part) {
  for (int i = 0; i < Rows(list); ++i)
    if (Cell(list, i, 4).find(column4Part) != std::wstring::npos) return i;
  return -1;
}
inline void Select(HWND list, int row) {
  LVITEMW it = {};
  it.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageW(list, LVM_SETITEMSTATE, (WPARAM)-1, (LPARAM)&it);
  it.state = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageW(list, LVM_SETITEMSTATE, row, (LPARAM)&it);
  uitest::Pump();
}
// A click on the upper half of a cell (x: pixels right of the cell's left).
inline void ClickCell(CWindow* page, HWND list, int row, int column, int x) {
  RECT cell = {LVIR_BOUNDS};
  cell.top = column;
  SendMessageW(list, LVM_GETSUBITEMRECT, row, (LPARAM)&cell);
  NMITEMACTIVATE click = {};
  click.hdr.hwndFrom = list;
  click.hdr.idFrom = 1001;
  click.hdr.code = NM_CLICK;
  click.iItem = row;
  click.iSubItem = column;
  click.ptAction.x = cell.left + x;
  click.ptAction.y = cell.top + 2;
  SendMessageW(page->m_hWnd, WM_NOTIFY, 1001, (LPARAM)&click);
  uitest::Pump();
}

// Writes a UTF-16 file with byte-order mark from UTF-8 text (CR LF lines).
inline void WriteUtf16(const std::string& unixPath, const std::string& text) {
  EXPECT_EQ(0, vt::Sh("mkdir -p \"$(dirname " + vt::Q(unixPath) +
                      ")\" && { printf '\\377\\376'; printf '%s' " + vt::Q(text) +
                      " | sed 's/$/\\r/' | iconv -f UTF-8 -t UTF-16LE; } > " + vt::Q(unixPath)));
}

}  // namespace st
