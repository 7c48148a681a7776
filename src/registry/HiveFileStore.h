// Where a hive and its transaction logs are read from and written to: the
// mounted image's NTFS volume or a FAT volume. The hive object reads and
// saves only through this, so a save can be run over another store (one
// that fails or stops at a chosen write) to prove it survives any of them.
#pragma once
#include <stdint.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

struct _ntfs_volume;
class CFatVolume;

class HiveFileStore {
 public:
  virtual ~HiveFileStore() = default;
  // A whole file: 1 read, 0 missing, -1 unreadable (or too big to hold).
  virtual int ReadWhole(const std::wstring& path, std::vector<uint8_t>& out) = 0;
  // The file's length: -1 missing or unreadable.
  virtual int64_t SizeOf(const std::wstring& path) {
    std::vector<uint8_t> whole;
    return ReadWhole(path, whole) == 1 ? (int64_t)whole.size() : -1;
  }
  // count bytes from offset, all inside the file: true when all were read.
  // A store over a volume reads only those (a save reads a large hive's old
  // pages piece by piece, not whole beside it).
  virtual bool ReadAt(const std::wstring& path, uint64_t offset, size_t count, void* out) {
    std::vector<uint8_t> whole;
    if (ReadWhole(path, whole) != 1 || offset > whole.size() || whole.size() - offset < count)
      return false;
    if (count) memcpy(out, whole.data() + offset, count);
    return true;
  }
  // Writes count bytes at offset into the file, made when missing; the
  // rest of the file stays and it grows as needed. True when all was taken.
  virtual bool Write(const std::wstring& path, const void* data, size_t count, uint64_t offset) = 0;
  // The file (made when missing) grows to at least size bytes (zeros past
  // its old end) with its room taken on the volume now, so that later
  // writes below size cannot run out of it. What the file held stays.
  virtual bool Reserve(const std::wstring& path, uint64_t size) {
    (void)path;
    (void)size;
    return true;
  }
  // The file is cut to size bytes (a save that failed gives back the room
  // it took); a file as short or shorter stays.
  virtual bool Truncate(const std::wstring& path, uint64_t size) {
    (void)path;
    (void)size;
    return true;
  }
  // The file goes (a log that a failed save made).
  virtual bool Remove(const std::wstring& path) {
    (void)path;
    return true;
  }
  // Everything written so far is on the disk below the volume.
  virtual bool Flush() = 0;
  // True when files of the new sizes fit where the listed files (path and
  // new size) lie now; checked before anything is written.
  virtual bool Fits(const std::vector<std::pair<std::wstring, uint64_t>>& files) {
    (void)files;
    return true;
  }
  // The file's last-write time becomes the current time (UTC).
  virtual void Stamp(const std::wstring& path) = 0;
  // The path with its last name spelt as the volume stores it, so that files
  // made beside it (its logs) are spelt alike; the path itself when unknown.
  virtual std::wstring StoredPath(const std::wstring& path) { return path; }
};

class NtfsHiveStore : public HiveFileStore {
 public:
  explicit NtfsHiveStore(_ntfs_volume* volume) : m_volume(volume) {}
  int ReadWhole(const std::wstring& path, std::vector<uint8_t>& out) override;
  int64_t SizeOf(const std::wstring& path) override;
  bool ReadAt(const std::wstring& path, uint64_t offset, size_t count, void* out) override;
  bool Write(const std::wstring& path, const void* data, size_t count, uint64_t offset) override;
  // With the clusters allocated at once (never a hole: a write past the end
  // that the library grows by a hole leaves the file unreadable when it is
  // cut off before the hole is filled).
  bool Reserve(const std::wstring& path, uint64_t size) override;
  bool Truncate(const std::wstring& path, uint64_t size) override;
  bool Remove(const std::wstring& path) override;
  bool Flush() override;
  void Stamp(const std::wstring& path) override;
  std::wstring StoredPath(const std::wstring& path) override;

 private:
  _ntfs_volume* m_volume;
};

class FatHiveStore : public HiveFileStore {
 public:
  explicit FatHiveStore(CFatVolume* volume) : m_volume(volume) {}
  int ReadWhole(const std::wstring& path, std::vector<uint8_t>& out) override;
  int64_t SizeOf(const std::wstring& path) override;
  bool ReadAt(const std::wstring& path, uint64_t offset, size_t count, void* out) override;
  bool Write(const std::wstring& path, const void* data, size_t count, uint64_t offset) override;
  bool Truncate(const std::wstring& path, uint64_t size) override;
  bool Remove(const std::wstring& path) override;
  bool Flush() override;
  // Counted in whole clusters against the volume's free ones.
  bool Fits(const std::vector<std::pair<std::wstring, uint64_t>>& files) override;
  void Stamp(const std::wstring& path) override;

 private:
  CFatVolume* m_volume;
};
