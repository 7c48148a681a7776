// Recently read 4 KiB blocks of one NTFS device. The library reads its
// records (file records, index blocks, bitmap pieces) a few hundred bytes to
// a few KiB at a time and reads the same blocks again for every file of a
// folder; each read that reaches the disk object costs a system call under
// Wine. Small reads are served from here, whole blocks fetched on a miss;
// every write through the device goes on to the disk at once and drops the
// blocks it touches, so the disk always holds the current data and reads
// that pass the cache by see it too.
#pragma once
#include <stdint.h>

#include <vector>

class NtfsBlockCache {
 public:
  // Reads count bytes at offset from the device: bytes read or -1.
  typedef int64_t (*FetchFn)(void* device, void* buffer, int64_t count, uint64_t offset);

  static const uint32_t kBlock = 4096;
  // Reads up to this size are served through the cache.
  static const uint32_t kMaxCachedRead = 2 * kBlock;

  NtfsBlockCache();
  // A read of at most kMaxCachedRead bytes: the bytes read (short at the
  // end of the device, as the device gives them) or -1 from the fetch.
  int64_t Read(void* buffer, int64_t count, uint64_t offset, FetchFn fetch, void* device);
  // Drops every block that [offset, offset + count) touches.
  void Forget(uint64_t offset, int64_t count);

 private:
  static const uint32_t kSlots = 256;  // 1 MiB, one block per slot
  std::vector<uint64_t> m_tags;        // block number + 1 held by each slot, 0 none
  std::vector<uint8_t> m_data;
};
