// The formatter's process-wide working state and the helpers its steps
// share: little-endian access, runlists, the cluster allocation list and
// the partition I/O.
#pragma once
#include <stdint.h>
#include <string.h>

#include <vector>

#include "disktools/ntfsformat/NtfsFormat.h"

namespace ntfsformat {

inline void Put16(uint8_t* p, uint16_t v) {
  memcpy(p, &v, 2);
}
inline void Put32(uint8_t* p, uint32_t v) {
  memcpy(p, &v, 4);
}
inline void Put64(uint8_t* p, uint64_t v) {
  memcpy(p, &v, 8);
}
inline uint16_t Get16(const uint8_t* p) {
  uint16_t v;
  memcpy(&v, p, 2);
  return v;
}
inline uint32_t Get32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
inline uint64_t Get64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

inline uint64_t RoundUp(uint64_t value, uint64_t unit) {
  return (value + unit - 1) / unit * unit;
}
inline uint64_t DivUp(uint64_t value, uint64_t unit) {
  return (value + unit - 1) / unit;
}

// One run of a runlist: lcn kSparse marks a hole.
const int64_t kSparse = -1;
struct Run {
  int64_t vcn;
  int64_t lcn;
  int64_t length;
};
typedef std::vector<Run> Runlist;

// The clusters in use while the volume is built: sorted extents, adjacent
// ones merged.
class ClusterList {
 public:
  void Clear() { m_extents.clear(); }
  // Fails (false) when the range overlaps an allocated extent.
  bool Allocate(uint64_t first, uint64_t length);
  void Free(uint64_t first, uint64_t length);
  // The first free cluster at or above from.
  uint64_t NextFree(uint64_t from) const;
  // The end of the free range that begins at from (at most limit).
  uint64_t FreeEnd(uint64_t from, uint64_t limit) const;
  // Sets the bits of every allocated cluster in [firstBit, firstBit + bits)
  // of a zeroed chunk.
  void FillBitmap(uint8_t* chunk, uint64_t firstBit, uint64_t bits) const;

 private:
  struct Extent {
    uint64_t first;
    uint64_t length;
  };
  // Index of the first extent that ends above cluster.
  size_t Find(uint64_t cluster) const;
  std::vector<Extent> m_extents;
};

// Everything one format works with; Reset frees it.
struct FormatState {
  // Partition on the disk.
  DiskIoBlock* block = nullptr;
  uint64_t partitionOffset = 0;  // bytes from disk byte 0
  uint64_t partitionLength = 0;
  uint64_t partitionStartSector = 0;  // hidden sectors
  // Geometry.
  uint64_t ntfsTime = 0;
  uint32_t sectorSize = 0;
  uint64_t sectors = 0;  // volume sectors, the backup boot sector excluded
  uint32_t clusterSize = 0;
  uint64_t clusters = 0;
  uint32_t mftRecordSize = 0;
  uint32_t indexRecordSize = 0;
  uint16_t sectorsPerTrack = 0;
  uint16_t heads = 0;
  // Allocation.
  ClusterList used;
  uint64_t bitmapBytes = 0;
  uint64_t mftZoneEnd = 0;
  // The initial $MFT and its bitmap.
  std::vector<uint8_t> mft;
  uint64_t mftSize = 0;
  uint32_t mftRecords = 0;
  std::vector<uint8_t> mftBitmap;
  // Fixed places.
  Runlist rlMft, rlMftBitmap, rlMftMirr, rlLogFile, rlBoot, rlBad, rlBitmap;
  uint64_t mftLcn = 0, mftMirrLcn = 0, logFileLcn = 0, logFileSize = 0;
  uint32_t mirrorClusters = 0;
  // The root directory's index block entries (kept sorted) and its runlist.
  std::vector<std::vector<uint8_t>> rootEntries;
  Runlist rlRootIndex;
  std::vector<uint16_t> upcase;
  uint8_t upcaseInfo[32] = {};
  uint8_t volumeGuid[16] = {};
  bool backupBootFailed = false;
  std::vector<uint8_t> fill;  // a run of 0xFF bytes for $LogFile

  void Reset() { *this = FormatState(); }
};

FormatState& State();

// Partition I/O at byte offsets from the partition's first byte; false with
// errno on a failed or short transfer.
bool WritePartition(uint64_t offset, const void* data, uint64_t length);
bool ReadPartition(uint64_t offset, void* data, uint64_t length);

// How WriteRunlistData fills the runs.
enum RunlistFill {
  kFillValue,    // the value buffer
  kFillPattern,  // 0xFF bytes
  kFillBitmap,   // the cluster bitmap from the allocation list
};
// Writes length bytes through a runlist (sparse runs skipped): the bytes
// written, or -1 with errno.
int64_t WriteRunlistData(const Runlist& runs, const void* value, uint64_t length, RunlistFill fill);

// Takes count clusters for a non-resident attribute, scanning upward from
// the end of the MFT zone (halving it when the top is reached): 0, or
// -ENOSPC with nothing taken.
int AllocateClusters(uint64_t count, Runlist* runs);

// Builds the 27 system records into the MFT buffer and writes the data of
// their non-resident attributes: nonzero on success, 0 with errno.
int CreateNtfsSystemFiles(int bootChoice, const void* bootCode);

// Applies the update sequence protection to a copy of a record or index
// block of size bytes (size / 512 sectors).
void ProtectMultiSector(uint8_t* block, uint32_t size);

// Writes the root directory's index block through its runlist: 0 or -errno.
int WriteRootIndexBlock();

// Built-in data.
const uint32_t kAttrDefBytes = 2560;
void BuildAttrDefTable(uint8_t* table);
// Fills a zeroed 8,192-byte $Boot image with a built-in boot code.
void CopyBuiltinBootCode(uint8_t* image, int nonBootable);
// Self-relative security descriptors: of a system file (access mask of its
// two entries), of the root directory, and as stored in $SDS.
std::vector<uint8_t> SystemFileDescriptor(uint32_t mask);
std::vector<uint8_t> RootDirectoryDescriptor();
std::vector<uint8_t> SdsDescriptor(uint32_t mask);
// The hash of a descriptor as $SDS and $SDH key it.
uint32_t SecurityHash(const uint8_t* descriptor, size_t length);

}  // namespace ntfsformat
