#include "image/copy/HostWriteBehind.h"

#include <new>

#include "image/copy/TreeCopyInternal.h"

namespace treecopy {

HostWriteBehind::~HostWriteBehind() {
  if (m_thread) {
    Settle();
    m_quit = true;
    SetEvent(m_go);
    WaitForSingleObject(m_thread, INFINITE);
    CloseHandle(m_thread);
  }
  if (m_go) CloseHandle(m_go);
  if (m_done) CloseHandle(m_done);
}

bool HostWriteBehind::Start(uint32_t bufferSize) {
  if (m_thread) return true;
  try {
    m_buffers[0].resize(bufferSize);
    m_buffers[1].resize(bufferSize);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!m_go) m_go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!m_done) m_done = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  if (!m_go || !m_done) return false;
  m_thread = CreateThread(nullptr, 64 * 1024, Run, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  return m_thread != nullptr;
}

DWORD HostWriteBehind::Settle() {
  WaitForSingleObject(m_done, INFINITE);
  DWORD error = m_error;
  m_error = 0;
  return error;
}

void HostWriteBehind::Write(HANDLE h, uint32_t count) {
  m_file = h;
  m_data = m_buffers[m_fill].data();
  m_count = count;
  m_fill ^= 1;
  ResetEvent(m_done);
  SetEvent(m_go);
}

DWORD WINAPI HostWriteBehind::Run(void* self) {
  HostWriteBehind* w = static_cast<HostWriteBehind*>(self);
  for (;;) {
    WaitForSingleObject(w->m_go, INFINITE);
    if (w->m_quit) return 0;
    if (!HostTransfer(w->m_file, const_cast<uint8_t*>(w->m_data), w->m_count, true))
      w->m_error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    SetEvent(w->m_done);
  }
}

}  // namespace treecopy
