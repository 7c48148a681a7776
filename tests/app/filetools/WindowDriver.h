// Driving modal windows and message boxes from inside their own loops: a
// thread timer runs a step every 40 ms until the step says it is done.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

namespace ft {

using Step = std::function<bool()>;

inline Step& CurrentStep() {
  static Step step;
  return step;
}

inline void CALLBACK RunStep(HWND, UINT, UINT_PTR id, DWORD) {
  static bool busy = false;
  if (busy) return;
  busy = true;
  Step step = CurrentStep();
  const bool done = !step || step();
  busy = false;
  if (done) {
    KillTimer(nullptr, id);
    CurrentStep() = nullptr;
  }
}

// Runs `step` on the timer until it returns true. A step must post, not
// send, what opens a modal window of its own.
inline void StartSteps(Step step) {
  CurrentStep() = step;
  SetTimer(nullptr, 0, 40, RunStep);
}

struct ThreadWindowSearch {
  int childId;
  const wchar_t* className;
  HWND found;
};

inline BOOL CALLBACK MatchThreadWindow(HWND window, LPARAM param) {
  ThreadWindowSearch* search = reinterpret_cast<ThreadWindowSearch*>(param);
  if (!IsWindowVisible(window)) return TRUE;
  if (search->className) {
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    if (lstrcmpW(name, search->className)) return TRUE;
  }
  if (!GetDlgItem(window, search->childId)) return TRUE;
  search->found = window;
  return FALSE;
}

// A visible top-level window of this thread that has the child control.
inline HWND FindThreadWindow(int childId, const wchar_t* className = nullptr) {
  ThreadWindowSearch search = {childId, className, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), MatchThreadWindow, LPARAM(&search));
  return search.found;
}

// A visible message box of this thread: its text, and it is closed.
inline bool TakeMessageBox(std::wstring* text) {
  HWND box = FindThreadWindow(0xFFFF, L"#32770");
  if (!box) return false;
  wchar_t buffer[512] = L"";
  GetDlgItemTextW(box, 0xFFFF, buffer, 512);
  if (text) *text = buffer;
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  PostMessageW(box, WM_CLOSE, 0, 0);
  return true;
}

inline void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

inline std::wstring WindowText(HWND window) {
  wchar_t text[1024] = L"";
  GetWindowTextW(window, text, 1024);
  return text;
}

}  // namespace ft
