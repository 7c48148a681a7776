// A host that keeps sparse files as NTFS on Windows does, for the files it
// is told of (Wine answers neither question, and keeps no holes): which
// 4 KiB blocks of each hold room on the host disk. A write takes the blocks
// it touches; a punch writes zeros over its range and gives back the blocks
// it covers whole; the holes it is asked for are the blocks not taken.
// Every punch is counted. Installed for the object's lifetime, over the
// source in use (writes and opens go on to it).
#pragma once
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "image/device/DeviceSource.h"

namespace it {

class HostHoles : public VroDeviceSource {
 public:
  static const uint64_t kBlock = 4096;

  HostHoles() : m_Prev(VroSetDeviceSource(this)) {}
  ~HostHoles() override { VroSetDeviceSource(m_Prev); }
  HostHoles(const HostHoles&) = delete;
  HostHoles& operator=(const HostHoles&) = delete;

  // The file at path as a sparse copy of itself: its blocks of zeros are
  // holes, the others take room.
  void MakeSparse(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    std::set<uint64_t>& holes = m_Files[KeyOf(h)];
    holes.clear();
    std::vector<uint8_t> block(kBlock);
    for (uint64_t b = 0;; b++) {
      int64_t got = SystemReadHandleAt(h, b * kBlock, block.data(), (uint32_t)kBlock);
      if (got <= 0) break;
      bool zero = true;
      for (int64_t i = 0; i < got && zero; i++) zero = block[(size_t)i] == 0;
      if (zero) holes.insert(b);
    }
    CloseHandle(h);
  }
  // The file's blocks up to its length: '#' takes room, '.' is a hole.
  std::string Map(const std::wstring& path) const {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return "";
    uint64_t length = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "";
    auto f = m_Files.find(KeyOf(h));
    CloseHandle(h);
    std::string map((size_t)((length + kBlock - 1) / kBlock), '#');
    if (f != m_Files.end())
      for (uint64_t b : f->second)
        if (b < map.size()) map[(size_t)b] = '.';
    return map;
  }
  int Punches() const { return m_Punches; }

  HANDLE OpenDevice(const wchar_t* path, int type, DWORD access, DWORD share, uint64_t* bytes,
                    int* diskNumber) override {
    return m_Prev->OpenDevice(path, type, access, share, bytes, diskNumber);
  }
  int64_t WriteAt(HANDLE h, uint64_t pos, const void* buf, uint32_t bytes) override {
    int64_t put = m_Prev->WriteAt(h, pos, buf, bytes);
    if (put > 0) Take(h, pos, pos + (uint64_t)put);
    return put;
  }
  int FlushHandle(HANDLE h) override { return m_Prev->FlushHandle(h); }
  int FlushFolder(const wchar_t* path) override { return m_Prev->FlushFolder(path); }
  bool QueryHoles(HANDLE h, uint64_t start, uint64_t end,
                  std::vector<std::pair<uint64_t, uint64_t>>* holes) override {
    holes->clear();
    auto f = m_Files.find(KeyOf(h));
    if (f == m_Files.end()) return true;  // a file that is not sparse
    for (auto b = f->second.lower_bound(start / kBlock); b != f->second.end() && *b * kBlock < end;
         ++b) {
      uint64_t from = std::max(*b * kBlock, start), to = std::min((*b + 1) * kBlock, end);
      if (!holes->empty() && holes->back().second == from)
        holes->back().second = to;
      else
        holes->emplace_back(from, to);
    }
    return true;
  }
  int PunchHole(HANDLE h, uint64_t start, uint64_t end) override {
    m_Punches++;
    std::vector<uint8_t> zeros(64 * 1024);
    for (uint64_t at = start; at < end;) {
      uint32_t n = (uint32_t)std::min<uint64_t>(zeros.size(), end - at);
      if (m_Prev->WriteAt(h, at, zeros.data(), n) != n) return -1;
      at += n;
    }
    auto f = m_Files.find(KeyOf(h));
    if (f != m_Files.end())
      for (uint64_t b = (start + kBlock - 1) / kBlock; (b + 1) * kBlock <= end; b++)
        f->second.insert(b);
    return 0;
  }

 private:
  typedef std::pair<uint64_t, uint64_t> Key;
  static Key KeyOf(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return Key(0, 0);
    return Key(((uint64_t)info.dwVolumeSerialNumber << 32) | info.nFileIndexHigh,
               info.nFileIndexLow);
  }
  void Take(HANDLE h, uint64_t start, uint64_t end) {
    auto f = m_Files.find(KeyOf(h));
    if (f == m_Files.end()) return;
    for (uint64_t b = start / kBlock; b * kBlock < end; b++) f->second.erase(b);
  }

  VroDeviceSource* m_Prev;
  std::map<Key, std::set<uint64_t>> m_Files;  // file -> its hole blocks
  int m_Punches = 0;
};

}  // namespace it
