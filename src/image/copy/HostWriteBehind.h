// Writes a host file on a thread of its own while the caller reads the
// next piece from the volume: two transfer buffers, the one being written
// and the one being filled. Reading the image and writing the host file
// each wait on the system; side by side they overlap.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <vector>

namespace treecopy {

class HostWriteBehind {
 public:
  HostWriteBehind() = default;
  ~HostWriteBehind();
  HostWriteBehind(const HostWriteBehind&) = delete;
  HostWriteBehind& operator=(const HostWriteBehind&) = delete;

  // Makes the thread and its buffers; false when that fails (the caller
  // then writes itself).
  bool Start(uint32_t bufferSize);
  // The buffer to fill next; no write in hand uses it.
  uint8_t* Next() { return m_buffers[m_fill].data(); }
  // Waits for the write in hand: 0, or the error it met. Every result is
  // given once.
  DWORD Settle();
  // Hands Next(), filled with count bytes, over to be written to h at its
  // file position. The write before must be settled.
  void Write(HANDLE h, uint32_t count);

 private:
  static DWORD WINAPI Run(void* self);

  HANDLE m_thread = nullptr;
  HANDLE m_go = nullptr;    // a write (or the end) is handed over
  HANDLE m_done = nullptr;  // no write in hand
  std::vector<uint8_t> m_buffers[2];
  int m_fill = 0;
  bool m_quit = false;
  HANDLE m_file = INVALID_HANDLE_VALUE;
  const uint8_t* m_data = nullptr;
  uint32_t m_count = 0;
  DWORD m_error = 0;
};

}  // namespace treecopy
