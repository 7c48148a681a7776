// Finishes the host files of a tree extraction on a thread of its own: the
// data of a small file, its time, its close. Under Wine the first write to
// a handle and every close are round trips to its server; the next file's
// reading from the volume need not wait for them.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

namespace treecopy {

class HostFileFinisher {
 public:
  struct Failure {
    std::wstring path;
    uint64_t size;
    DWORD error;
  };

  HostFileFinisher() = default;
  ~HostFileFinisher();
  HostFileFinisher(const HostFileFinisher&) = delete;
  HostFileFinisher& operator=(const HostFileFinisher&) = delete;

  // Makes the thread; false when it cannot be made.
  bool Start();
  // Hands over the handle of the file at path (of size bytes): data is
  // written at its position, the last-write time set, the handle closed.
  // Waits while many files are in hand.
  void Finish(HANDLE h, const std::wstring& path, uint64_t size, const FILETIME& lastWrite,
              std::vector<uint8_t>&& data);
  // Waits until every file handed over is finished: the ones that failed
  // (their handles closed), each given once.
  std::vector<Failure> Settle();

 private:
  struct Item {
    HANDLE h;
    std::wstring path;
    uint64_t size;
    FILETIME lastWrite;
    std::vector<uint8_t> data;
  };
  static DWORD WINAPI Run(void* self);

  // Waits and wakes without the system's objects (under Wine each of those
  // is a round trip to its server too).
  SRWLOCK m_lock = SRWLOCK_INIT;
  CONDITION_VARIABLE m_changed = CONDITION_VARIABLE_INIT;
  HANDLE m_thread = nullptr;
  std::deque<Item> m_queue;
  bool m_busy = false;  // the thread works on one taken off the queue
  bool m_quit = false;
  std::vector<Failure> m_failures;
};

}  // namespace treecopy
