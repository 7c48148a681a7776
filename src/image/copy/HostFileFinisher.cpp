#include "image/copy/HostFileFinisher.h"

#include "image/copy/TreeCopyInternal.h"

namespace treecopy {

namespace {
// Files in hand at most (their data a few MiB): the walk waits beyond.
const size_t kMaxInHand = 64;
}  // namespace

HostFileFinisher::~HostFileFinisher() {
  if (!m_thread) return;
  Settle();
  AcquireSRWLockExclusive(&m_lock);
  m_quit = true;
  ReleaseSRWLockExclusive(&m_lock);
  WakeAllConditionVariable(&m_changed);
  WaitForSingleObject(m_thread, INFINITE);
  CloseHandle(m_thread);
}

bool HostFileFinisher::Start() {
  if (!m_thread)
    m_thread =
        CreateThread(nullptr, 64 * 1024, Run, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  return m_thread != nullptr;
}

void HostFileFinisher::Finish(HANDLE h, const std::wstring& path, uint64_t size,
                              const FILETIME& lastWrite, std::vector<uint8_t>&& data) {
  AcquireSRWLockExclusive(&m_lock);
  while (m_queue.size() >= kMaxInHand)
    SleepConditionVariableSRW(&m_changed, &m_lock, INFINITE, 0);
  m_queue.push_back(Item{h, path, size, lastWrite, std::move(data)});
  ReleaseSRWLockExclusive(&m_lock);
  WakeAllConditionVariable(&m_changed);
}

std::vector<HostFileFinisher::Failure> HostFileFinisher::Settle() {
  std::vector<Failure> failures;
  AcquireSRWLockExclusive(&m_lock);
  while (!m_queue.empty() || m_busy) SleepConditionVariableSRW(&m_changed, &m_lock, INFINITE, 0);
  failures.swap(m_failures);
  ReleaseSRWLockExclusive(&m_lock);
  return failures;
}

DWORD WINAPI HostFileFinisher::Run(void* self) {
  HostFileFinisher* f = static_cast<HostFileFinisher*>(self);
  AcquireSRWLockExclusive(&f->m_lock);
  for (;;) {
    while (f->m_queue.empty() && !f->m_quit)
      SleepConditionVariableSRW(&f->m_changed, &f->m_lock, INFINITE, 0);
    if (f->m_queue.empty()) break;
    Item item = std::move(f->m_queue.front());
    f->m_queue.pop_front();
    f->m_busy = true;
    ReleaseSRWLockExclusive(&f->m_lock);
    WakeAllConditionVariable(&f->m_changed);
    DWORD error = 0;
    if (!item.data.empty() && !HostTransfer(item.h, item.data.data(), (uint32_t)item.data.size(), true))
      error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    if (!error && !SetFileTime(item.h, nullptr, nullptr, &item.lastWrite)) error = GetLastError();
    // The handle is closed whatever came before, so that a failed file can
    // be deleted.
    if (!CloseHandle(item.h) && !error) error = GetLastError();
    AcquireSRWLockExclusive(&f->m_lock);
    if (error) f->m_failures.push_back(Failure{item.path, item.size, error});
    f->m_busy = false;
    WakeAllConditionVariable(&f->m_changed);
  }
  ReleaseSRWLockExclusive(&f->m_lock);
  return 0;
}

}  // namespace treecopy
