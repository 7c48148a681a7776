// Closes the host files of a tree extraction on a thread of its own. Under
// Wine every close is a round trip to its server; the next file's reading
// from the volume need not wait for it.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

namespace treecopy {

class HostCloser {
 public:
  struct Failure {
    std::wstring path;
    uint64_t size;
    DWORD error;
  };

  HostCloser() = default;
  ~HostCloser();
  HostCloser(const HostCloser&) = delete;
  HostCloser& operator=(const HostCloser&) = delete;

  // Makes the thread; false when it cannot be made.
  bool Start();
  // Hands over the handle of the file at path (of size bytes) to be closed.
  void Close(HANDLE h, const std::wstring& path, uint64_t size);
  // Waits until every handle handed over is closed: the files whose close
  // failed, each given once.
  std::vector<Failure> Settle();

 private:
  struct Item {
    HANDLE h;
    std::wstring path;
    uint64_t size;
  };
  static DWORD WINAPI Run(void* self);

  // Waits and wakes without the system's objects (under Wine each of those
  // is a round trip to its server too).
  SRWLOCK m_lock = SRWLOCK_INIT;
  CONDITION_VARIABLE m_changed = CONDITION_VARIABLE_INIT;
  HANDLE m_thread = nullptr;
  std::deque<Item> m_queue;
  bool m_busy = false;  // the thread is closing one taken off the queue
  bool m_quit = false;
  std::vector<Failure> m_failures;
};

}  // namespace treecopy
