// A device source whose positioned writes are counted from its installation:
// the chosen one fails, or it and every later one never happen, as a process
// that dies there leaves its files (a dying process's write may have moved
// whole pages of the file: of one that crosses 4 KiB boundaries of the file,
// the pages up to the last boundary before its middle are written).
// A punch of a hole counts as a write (a stopped one gives back the pages
// of its range up to the last boundary before its middle); a question for
// holes passes on. Flushes of files and folders to the disk are counted
// apart (FAIL_FLUSH:
// the chosen one fails; after a stop, every one does).
// Device opens go to the source it replaced, which is put back at the end.
// OnStop: called once the stopped write left what it leaves, to take the
// files as a process that died there leaves them (what its memory held,
// and what its cleanup would do, lost).
#pragma once
#include <functional>

#include "image/device/DeviceSource.h"

namespace it {

class WriteFaults : public VroDeviceSource {
 public:
  enum Mode { COUNT, FAIL, STOP, FAIL_FLUSH };
  // at: the 1-based write that fails or stops, or flush that fails (COUNT:
  // none).
  WriteFaults(Mode mode, int at) : m_Mode(mode), m_At(at), m_Prev(VroSetDeviceSource(this)) {}
  ~WriteFaults() override { VroSetDeviceSource(m_Prev); }

  HANDLE OpenDevice(const wchar_t* path, int type, DWORD access, DWORD share, uint64_t* bytes,
                    int* diskNumber) override {
    return m_Prev->OpenDevice(path, type, access, share, bytes, diskNumber);
  }
  int64_t WriteAt(HANDLE h, uint64_t pos, const void* buf, uint32_t bytes) override {
    if (m_Stopped) return -(int64_t)bytes;
    int n = ++m_Count;
    if (m_Mode == COUNT || m_Mode == FAIL_FLUSH || n != m_At)
      return m_Prev->WriteAt(h, pos, buf, bytes);
    if (m_Mode == STOP) {
      m_Stopped = true;
      uint64_t cut = (pos + bytes / 2) / 4096 * 4096;
      if (cut > pos) m_Prev->WriteAt(h, pos, buf, (uint32_t)(cut - pos));
      if (m_OnStop) m_OnStop();
    }
    return -(int64_t)bytes;
  }
  bool QueryHoles(HANDLE h, uint64_t start, uint64_t end,
                  std::vector<std::pair<uint64_t, uint64_t>>* holes) override {
    return m_Prev->QueryHoles(h, start, end, holes);
  }
  int PunchHole(HANDLE h, uint64_t start, uint64_t end) override {
    if (m_Stopped) return -1;
    int n = ++m_Count;
    if (m_Mode == COUNT || m_Mode == FAIL_FLUSH || n != m_At) return m_Prev->PunchHole(h, start, end);
    if (m_Mode == STOP) {
      m_Stopped = true;
      uint64_t cut = (start + (end - start) / 2) / 4096 * 4096;
      if (cut > start) m_Prev->PunchHole(h, start, cut);
      if (m_OnStop) m_OnStop();
    }
    return -1;
  }
  int FlushHandle(HANDLE h) override {
    int n = ++m_Flushes;
    if (m_Stopped || (m_Mode == FAIL_FLUSH && n == m_At)) return -1;
    if (m_Prev->FlushHandle(h) < 0) return -1;
    m_FlushedWrites = m_Count;
    return 0;
  }
  // A folder's flush counts among the flushes.
  int FlushFolder(const wchar_t* path) override {
    int n = ++m_Flushes;
    if (m_Stopped || (m_Mode == FAIL_FLUSH && n == m_At)) return -1;
    return m_Prev->FlushFolder(path);
  }
  int Count() const { return m_Count; }
  int Flushes() const { return m_Flushes; }
  // Writes made before the last flush that succeeded.
  int FlushedWrites() const { return m_FlushedWrites; }
  bool Hit() const { return m_Count >= m_At; }
  void OnStop(std::function<void()> f) { m_OnStop = std::move(f); }

 private:
  Mode m_Mode;
  int m_At;
  VroDeviceSource* m_Prev;
  int m_Count = 0;
  int m_Flushes = 0;
  int m_FlushedWrites = 0;
  bool m_Stopped = false;
  std::function<void()> m_OnStop;
};

}  // namespace it
