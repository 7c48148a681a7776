#include "image/host/HostVolumeIo.h"
#include "image/device/SectorDevice.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <malloc.h>

namespace {

// Unbuffered handles want sector-aligned offsets, lengths and memory. A page
// boundary satisfies every sector size, 512e and 4Kn drives included.
const uintptr_t kMemAlign = 4096;
// Largest piece moved through the staging buffer in one transfer.
const uint32_t kStageBytes = 1u << 20;

bool IsAligned(const void* p) {
  return ((uintptr_t)p & (kMemAlign - 1)) == 0;
}

// One aligned allocation holding the bounce sector and, when the caller's
// buffer is not aligned, the staging area behind it.
class CAlignedScratch {
 public:
  explicit CAlignedScratch(uint32_t stageBytes)
      : m_p((uint8_t*)_aligned_malloc(kMemAlign + stageBytes, kMemAlign)) {}
  ~CAlignedScratch() { _aligned_free(m_p); }
  bool Ok() const { return m_p != nullptr; }
  uint8_t* Bounce() const { return m_p; }
  uint8_t* Stage() const { return m_p + kMemAlign; }

 private:
  uint8_t* m_p;
};

bool ReadWhole(HANDLE h, uint64_t pos, void* buf, uint32_t bytes) {
  return ReadHandleAt(h, pos, buf, bytes) == (int64_t)bytes;
}

bool WriteWhole(HANDLE h, uint64_t pos, const void* buf, uint32_t bytes) {
  return WriteHandleAt(h, pos, buf, bytes) == (int64_t)bytes;
}

bool Usable(void* owner, const void* buffer, unsigned int count) {
  return owner && owner != INVALID_HANDLE_VALUE && buffer && count && count <= INT_MAX;
}

uint32_t StageSize(const void* buffer, uint64_t offset, uint32_t count) {
  uint32_t head = (uint32_t)(offset % VRO_SECTOR);
  uint32_t lead = head ? VRO_SECTOR - head : 0;
  if (lead >= count) return 0;
  uint32_t whole = (count - lead) & ~(VRO_SECTOR - 1);
  if (!whole || IsAligned((const uint8_t*)buffer + lead)) return 0;
  return whole < kStageBytes ? whole : kStageBytes;
}

}  // namespace

int ReadHandleBytes(void* owner, unsigned long long offset, void* buffer, unsigned int count) {
  if (!Usable(owner, buffer, count)) return 0;
  HANDLE h = (HANDLE)owner;
  CAlignedScratch scratch(StageSize(buffer, offset, count));
  if (!scratch.Ok()) return 0;
  uint8_t* bounce = scratch.Bounce();

  uint8_t* out = (uint8_t*)buffer;
  uint64_t pos = offset;
  uint32_t left = count;

  uint32_t head = (uint32_t)(pos % VRO_SECTOR);
  if (head) {
    uint32_t n = VRO_SECTOR - head;
    if (n > left) n = left;
    if (!ReadWhole(h, pos - head, bounce, VRO_SECTOR)) return 0;
    memcpy(out, bounce + head, n);
    pos += n;
    out += n;
    left -= n;
  }

  uint32_t whole = left & ~(VRO_SECTOR - 1);
  if (whole) {
    if (IsAligned(out)) {
      if (!ReadWhole(h, pos, out, whole)) return 0;
    } else {
      for (uint32_t done = 0; done < whole;) {
        uint32_t n = whole - done < kStageBytes ? whole - done : kStageBytes;
        if (!ReadWhole(h, pos + done, scratch.Stage(), n)) return 0;
        memcpy(out + done, scratch.Stage(), n);
        done += n;
      }
    }
    pos += whole;
    out += whole;
    left -= whole;
  }

  if (left) {
    if (!ReadWhole(h, pos, bounce, VRO_SECTOR)) return 0;
    memcpy(out, bounce, left);
  }
  return (int)count;
}

int WriteHandleBytes(void* owner, unsigned long long offset, const void* buffer,
                     unsigned int count) {
  if (!Usable(owner, buffer, count)) return 0;
  HANDLE h = (HANDLE)owner;
  CAlignedScratch scratch(StageSize(buffer, offset, count));
  if (!scratch.Ok()) return 0;
  uint8_t* bounce = scratch.Bounce();

  const uint8_t* in = (const uint8_t*)buffer;
  uint64_t pos = offset;
  uint32_t left = count;

  uint32_t head = (uint32_t)(pos % VRO_SECTOR);
  if (head) {
    uint32_t n = VRO_SECTOR - head;
    if (n > left) n = left;
    if (!ReadWhole(h, pos - head, bounce, VRO_SECTOR)) return 0;
    memcpy(bounce + head, in, n);
    if (!WriteWhole(h, pos - head, bounce, VRO_SECTOR)) return 0;
    pos += n;
    in += n;
    left -= n;
  }

  uint32_t whole = left & ~(VRO_SECTOR - 1);
  if (whole) {
    if (IsAligned(in)) {
      if (!WriteWhole(h, pos, in, whole)) return 0;
    } else {
      for (uint32_t done = 0; done < whole;) {
        uint32_t n = whole - done < kStageBytes ? whole - done : kStageBytes;
        memcpy(scratch.Stage(), in + done, n);
        if (!WriteWhole(h, pos + done, scratch.Stage(), n)) return 0;
        done += n;
      }
    }
    pos += whole;
    in += whole;
    left -= whole;
  }

  if (left) {
    if (!ReadWhole(h, pos, bounce, VRO_SECTOR)) return 0;
    memcpy(bounce, in, left);
    if (!WriteWhole(h, pos, bounce, VRO_SECTOR)) return 0;
  }
  return (int)count;
}

int FlushHandle(void* owner) {
  if (!owner || owner == INVALID_HANDLE_VALUE) return 0;
  return FlushFileBuffers((HANDLE)owner) ? 0 : -1;
}
