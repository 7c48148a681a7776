// Running a modal dialog of the disk tools from a test: the body runs inside
// the dialog's modal loop once the window of class T is up; message boxes
// that a worker shows are answered from the window thread; pictures of the
// dialogs go into the build folder.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "../../ui/UiTestUtil.h"
#include "TestSupport.h"
#include "ui/Window.h"

namespace dlgtest {

inline std::function<void(CWindow*)>& Body() {
  static std::function<void(CWindow*)> body;
  return body;
}
inline UINT_PTR& Timer() {
  static UINT_PTR timer;
  return timer;
}
inline bool& Ran() {
  static bool ran;
  return ran;
}

template <class T>
BOOL CALLBACK FindDialog(HWND window, LPARAM out) {
  if (T* dlg = dynamic_cast<T*>(CWindow::FromWindow(window))) {
    *reinterpret_cast<CWindow**>(out) = dlg;
    return FALSE;
  }
  return TRUE;
}

template <class T>
void CALLBACK RunBody(HWND, UINT, UINT_PTR, DWORD) {
  CWindow* dlg = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindDialog<T>, reinterpret_cast<LPARAM>(&dlg));
  // The body runs on the dialog as the user sees it: shown.
  if (!dlg || !IsWindowVisible(dlg->m_hWnd)) return;
  KillTimer(nullptr, Timer());
  Ran() = true;
  uitest::Pump();
  HWND window = dlg->m_hWnd;
  Body()(dlg);
  if (IsWindow(window) && IsWindowVisible(window)) PostMessageW(window, WM_CLOSE, 0, 0);
}

// Opens the dialog (open constructs it: it returns when the dialog has
// ended) and runs body on it once it is up; the dialog is closed after the
// body unless the body closed it.
template <class T>
void Run(std::function<void()> open, std::function<void(T*)> body) {
  Body() = [body](CWindow* w) { body(static_cast<T*>(w)); };
  Ran() = false;
  Timer() = SetTimer(nullptr, 0, 10, RunBody<T>);
  open();
  EXPECT_TRUE(Ran()) << "the dialog did not come up";
}

// A parent lending the test module and a language.
struct Parent : CWindow {
  explicit Parent(LANGID language) {
    m_hInstance = GetModuleHandleW(nullptr);
    m_language = language;
  }
};

struct BoxSearch {
  HWND owner;
  HWND box;
};
inline BOOL CALLBACK FindBox(HWND window, LPARAM param) {
  BoxSearch* s = reinterpret_cast<BoxSearch*>(param);
  wchar_t cls[16] = {};
  GetClassNameW(window, cls, 16);
  if (GetWindow(window, GW_OWNER) == s->owner && IsWindowVisible(window) &&
      wcscmp(cls, L"#32770") == 0) {
    s->box = window;
    return FALSE;
  }
  return TRUE;
}
// The answer to the next message box owned by owner, given from a timer
// of the window thread: it fires inside a box of the window thread's own
// as well as while the thread waits for a worker's box.
struct PendingAnswer {
  HWND owner = nullptr;
  int button = 0;
  UINT_PTR timer = 0;
  bool done = false;
  std::wstring text;
};
inline PendingAnswer& Pending() {
  static PendingAnswer pending;
  return pending;
}
inline void CALLBACK AnswerTimer(HWND, UINT, UINT_PTR, DWORD) {
  PendingAnswer& p = Pending();
  BoxSearch s = {p.owner, nullptr};
  EnumWindows(FindBox, reinterpret_cast<LPARAM>(&s));
  if (!s.box || p.done) return;
  KillTimer(nullptr, p.timer);
  wchar_t text[1024] = {};
  GetDlgItemTextW(s.box, 0xFFFF, text, 1024);
  p.text = text;
  p.done = true;
  PostMessageW(s.box, WM_COMMAND, p.button, 0);
}
inline void ArmAnswer(HWND owner, int button) {
  PendingAnswer& p = Pending();
  p = PendingAnswer();
  p.owner = owner;
  p.button = button;
  p.timer = SetTimer(nullptr, 0, 50, AnswerTimer);
}
// The text of the box that was answered (empty when none came in time).
inline std::wstring AnsweredText(int ms = 10000) {
  uitest::WaitFor([] { return Pending().done; }, ms);
  if (!Pending().done) KillTimer(nullptr, Pending().timer);
  return Pending().text;
}

inline std::wstring Text(HWND dialog, int id) {
  wchar_t text[1024] = {};
  GetDlgItemTextW(dialog, id, text, 1024);
  return text;
}

// The dialog's picture as <build>/disktool-pictures/<name>-<language>.png.
inline void Picture(HWND dialog, const std::string& name, LANGID language) {
  const std::string dir = vt::BinaryDirUnix() + "/disktool-pictures";
  vt::Sh("mkdir -p " + vt::Q(dir));
  uitest::Pump();
  for (const std::string& fault : uitest::TextsThatDoNotFit(dialog))
    ADD_FAILURE() << name << " in " << language << ": " << fault;
  RECT rc;
  GetWindowRect(dialog, &rc);
  EXPECT_TRUE(uitest::Screenshot(rc, dir + "/" + name + "-" + std::to_string(language) + ".png"));
}

}  // namespace dlgtest
