// Worker threads that run a member function of a window object, with the
// window's UI language given to the thread first, so that the strings and
// dialogs the worker loads come out in the window's language.
#pragma once
#include <windows.h>

#include "ui/Window.h"

// A member function of a CWindow subclass taking one 32-bit parameter.
typedef DWORD (CWindow::*WindowThreadFunction)(LPARAM parameter);

// The heap record handed to the new thread, which frees it.
struct ThreadStartContext {
  CWindow* object;
  LPARAM parameter;
  WindowThreadFunction function;
  DWORD reserved[2];  // the caller's words, kept and not read
};

// Starts `function` on `object` on a new thread. Returns the thread handle
// (the caller closes it), null when no thread could be started.
HANDLE StartWindowThread(CWindow* object, WindowThreadFunction function, LPARAM parameter,
                         DWORD* threadId = nullptr);

// Convenience for a member of a subclass: StartWindowThread(this,
// &CMyDlg::Worker, parameter).
template <class T>
HANDLE StartWindowThread(T* object, DWORD (T::*function)(LPARAM), LPARAM parameter,
                         DWORD* threadId = nullptr) {
  return StartWindowThread(static_cast<CWindow*>(object),
                           static_cast<WindowThreadFunction>(function), parameter, threadId);
}

// The thread procedure: applies the object's language to the thread and
// returns the function's result; a null context or function ends at once
// with 0.
DWORD WINAPI RunWindowThread(LPVOID context);
