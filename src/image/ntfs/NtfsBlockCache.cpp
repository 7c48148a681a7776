#include "image/ntfs/NtfsBlockCache.h"

#include <string.h>

NtfsBlockCache::NtfsBlockCache() : m_tags(kSlots, 0), m_data((size_t)kSlots * kBlock) {}

int64_t NtfsBlockCache::Read(void* buffer, int64_t count, uint64_t offset, FetchFn fetch,
                             void* device) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    uint64_t at = offset + (uint64_t)done;
    uint64_t block = at / kBlock;
    uint32_t within = (uint32_t)(at % kBlock);
    uint32_t take = kBlock - within;
    if ((int64_t)take > count - done) take = (uint32_t)(count - done);
    uint32_t slot = (uint32_t)(block % kSlots);
    uint8_t* data = &m_data[(size_t)slot * kBlock];
    if (m_tags[slot] != block + 1) {
      m_tags[slot] = 0;
      int64_t got = fetch(device, data, kBlock, block * kBlock);
      if (got < (int64_t)kBlock) {
        // The end of the device (or a failure): read as asked, uncached.
        int64_t r = fetch(device, out + done, count - done, at);
        if (r < 0) return done ? done : -1;
        return done + r;
      }
      m_tags[slot] = block + 1;
    }
    memcpy(out + done, data + within, take);
    done += take;
  }
  return done;
}

void NtfsBlockCache::Forget(uint64_t offset, int64_t count) {
  if (count <= 0) return;
  uint64_t first = offset / kBlock, last = (offset + (uint64_t)count - 1) / kBlock;
  if (last - first >= kSlots) {
    for (uint64_t& t : m_tags) {
      if (t && t - 1 >= first && t - 1 <= last) t = 0;
    }
    return;
  }
  for (uint64_t b = first; b <= last; b++) {
    uint64_t& t = m_tags[(size_t)(b % kSlots)];
    if (t == b + 1) t = 0;
  }
}
