#include "ui/WindowThread.h"

#include <new>

#include "ui/UiLanguage.h"

HANDLE StartWindowThread(CWindow* object, WindowThreadFunction function, LPARAM parameter,
                         DWORD* threadId) {
  ThreadStartContext* context =
      new (std::nothrow) ThreadStartContext{object, parameter, function, {0, 0}};
  if (!context) return nullptr;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, RunWindowThread, context, 0, &id);
  if (!thread) {
    delete context;
    return nullptr;
  }
  if (threadId) *threadId = id;
  return thread;
}

DWORD WINAPI RunWindowThread(LPVOID param) {
  ThreadStartContext* context = static_cast<ThreadStartContext*>(param);
  if (!context || !context->function || !context->object) {
    delete context;
    return 0;
  }
  ApplyThreadLanguage(context->object->m_language, context->object->m_version);
  DWORD result = (context->object->*context->function)(context->parameter);
  delete context;
  return result;
}
