#include "image/copy/HostCloser.h"

namespace treecopy {

HostCloser::~HostCloser() {
  if (!m_thread) return;
  Settle();
  AcquireSRWLockExclusive(&m_lock);
  m_quit = true;
  ReleaseSRWLockExclusive(&m_lock);
  WakeAllConditionVariable(&m_changed);
  WaitForSingleObject(m_thread, INFINITE);
  CloseHandle(m_thread);
}

bool HostCloser::Start() {
  if (!m_thread)
    m_thread =
        CreateThread(nullptr, 64 * 1024, Run, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  return m_thread != nullptr;
}

void HostCloser::Close(HANDLE h, const std::wstring& path, uint64_t size) {
  AcquireSRWLockExclusive(&m_lock);
  m_queue.push_back(Item{h, path, size});
  ReleaseSRWLockExclusive(&m_lock);
  WakeAllConditionVariable(&m_changed);
}

std::vector<HostCloser::Failure> HostCloser::Settle() {
  std::vector<Failure> failures;
  AcquireSRWLockExclusive(&m_lock);
  while (!m_queue.empty() || m_busy) SleepConditionVariableSRW(&m_changed, &m_lock, INFINITE, 0);
  failures.swap(m_failures);
  ReleaseSRWLockExclusive(&m_lock);
  return failures;
}

DWORD WINAPI HostCloser::Run(void* self) {
  HostCloser* c = static_cast<HostCloser*>(self);
  AcquireSRWLockExclusive(&c->m_lock);
  for (;;) {
    while (c->m_queue.empty() && !c->m_quit)
      SleepConditionVariableSRW(&c->m_changed, &c->m_lock, INFINITE, 0);
    if (c->m_queue.empty()) break;
    Item item = c->m_queue.front();
    c->m_queue.pop_front();
    c->m_busy = true;
    ReleaseSRWLockExclusive(&c->m_lock);
    DWORD error = CloseHandle(item.h) ? 0 : (GetLastError() ? GetLastError() : ERROR_WRITE_FAULT);
    AcquireSRWLockExclusive(&c->m_lock);
    if (error) c->m_failures.push_back(Failure{item.path, item.size, error});
    c->m_busy = false;
    if (c->m_queue.empty()) WakeAllConditionVariable(&c->m_changed);
  }
  ReleaseSRWLockExclusive(&c->m_lock);
  return 0;
}

}  // namespace treecopy
