// A device source whose positioned writes are counted from its installation:
// the chosen one fails, or it and every later one never happen, as a process
// that dies there leaves its files (a dying process's write may have moved
// whole pages of the file: of one that crosses 4 KiB boundaries of the file,
// the pages up to the last boundary before its middle are written).
// Device opens go to the source it replaced, which is put back at the end.
#pragma once
#include "image/device/DeviceSource.h"

namespace it {

class WriteFaults : public VroDeviceSource {
 public:
  enum Mode { COUNT, FAIL, STOP };
  // at: the 1-based write that fails or stops (COUNT: none).
  WriteFaults(Mode mode, int at) : m_Mode(mode), m_At(at), m_Prev(VroSetDeviceSource(this)) {}
  ~WriteFaults() override { VroSetDeviceSource(m_Prev); }

  HANDLE OpenDevice(const wchar_t* path, int type, DWORD access, DWORD share, uint64_t* bytes,
                    int* diskNumber) override {
    return m_Prev->OpenDevice(path, type, access, share, bytes, diskNumber);
  }
  int64_t WriteAt(HANDLE h, uint64_t pos, const void* buf, uint32_t bytes) override {
    if (m_Stopped) return -(int64_t)bytes;
    int n = ++m_Count;
    if (m_Mode == COUNT || n != m_At) return m_Prev->WriteAt(h, pos, buf, bytes);
    if (m_Mode == STOP) {
      m_Stopped = true;
      uint64_t cut = (pos + bytes / 2) / 4096 * 4096;
      if (cut > pos) m_Prev->WriteAt(h, pos, buf, (uint32_t)(cut - pos));
    }
    return -(int64_t)bytes;
  }
  int Count() const { return m_Count; }
  bool Hit() const { return m_Count >= m_At; }

 private:
  Mode m_Mode;
  int m_At;
  VroDeviceSource* m_Prev;
  int m_Count = 0;
  bool m_Stopped = false;
};

}  // namespace it
