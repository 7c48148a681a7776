// Partition I/O of the formatter: byte transfers through the device block,
// data written through runlists, and the update sequence protection.
#include <errno.h>

#include <algorithm>

#include "disktools/ntfsformat/NtfsFormatState.h"

namespace ntfsformat {

namespace {

// The largest single transfer handed to the device block.
const uint64_t kChunk = 1u << 20;

bool Transfer(uint64_t offset, void* data, uint64_t length, bool write) {
  FormatState& s = State();
  if (!s.block || !s.block->read || !s.block->write) {
    errno = EINVAL;
    return false;
  }
  if (offset + length > s.partitionLength) {
    errno = ENOSPC;
    return false;
  }
  uint8_t* p = static_cast<uint8_t*>(data);
  while (length) {
    unsigned int n = unsigned(std::min(length, kChunk));
    int done = write ? s.block->write(s.block->owner, s.partitionOffset + offset, p, n)
                     : s.block->read(s.block->owner, s.partitionOffset + offset, p, n);
    if (done != int(n)) {
      errno = EIO;
      return false;
    }
    offset += n;
    p += n;
    length -= n;
  }
  return true;
}

}  // namespace

FormatState& State() {
  static FormatState state;
  return state;
}

bool WritePartition(uint64_t offset, const void* data, uint64_t length) {
  return Transfer(offset, const_cast<void*>(data), length, true);
}

bool ReadPartition(uint64_t offset, void* data, uint64_t length) {
  return Transfer(offset, data, length, false);
}

int64_t WriteRunlistData(const Runlist& runs, const void* value, uint64_t length,
                         RunlistFill fill) {
  FormatState& s = State();
  const uint8_t* bytes = static_cast<const uint8_t*>(value);
  std::vector<uint8_t> chunk;
  if (fill != kFillValue) {
    if (fill == kFillPattern && s.fill.empty()) s.fill.assign(size_t(kChunk), 0xFF);
    if (fill == kFillBitmap) chunk.resize(size_t(kChunk));
  }
  uint64_t written = 0;
  for (const Run& run : runs) {
    if (written >= length) break;
    uint64_t runBytes = uint64_t(run.length) * s.clusterSize;
    uint64_t vcnByte = uint64_t(run.vcn) * s.clusterSize;
    if (vcnByte >= length) break;
    uint64_t n = std::min(runBytes, length - vcnByte);
    if (run.lcn == kSparse) {
      written = vcnByte + n;
      continue;
    }
    uint64_t at = uint64_t(run.lcn) * s.clusterSize;
    for (uint64_t done = 0; done < n;) {
      uint64_t part = std::min(n - done, kChunk);
      const void* from;
      if (fill == kFillValue) {
        from = bytes + vcnByte + done;
      } else if (fill == kFillPattern) {
        from = s.fill.data();
      } else {
        std::fill(chunk.begin(), chunk.begin() + size_t(part), 0);
        s.used.FillBitmap(chunk.data(), (vcnByte + done) * 8, part * 8);
        from = chunk.data();
      }
      if (!WritePartition(at + done, from, part)) return -1;
      done += part;
    }
    written = vcnByte + n;
  }
  return int64_t(written);
}

void ProtectMultiSector(uint8_t* block, uint32_t size) {
  uint16_t usaOffset = Get16(block + 4);
  uint16_t usaCount = Get16(block + 6);
  uint16_t usn = uint16_t(Get16(block + usaOffset) + 1);
  if (usn == 0 || usn == 0xFFFF) usn = 1;
  Put16(block + usaOffset, usn);
  for (uint16_t i = 1; i < usaCount && uint32_t(i) * 512 <= size; ++i) {
    uint8_t* tail = block + uint32_t(i) * 512 - 2;
    memcpy(block + usaOffset + 2 * i, tail, 2);
    Put16(tail, usn);
  }
}

}  // namespace ntfsformat
