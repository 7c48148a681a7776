// The formatter's entry and main step: geometry, placement of the fixed
// system files, and the final writes of the index block, the cluster
// bitmap, $MFT and $MFTMirr.
#include "disktools/ntfsformat/NtfsFormat.h"

#include <windows.h>
#include <errno.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>

#include "disktools/ntfsformat/NtfsFormatState.h"
#include "image/ntfs/NtfsFormatSupport.h"

using namespace ntfsformat;

namespace {

const uint64_t kMiB = 1024 * 1024;
const uint64_t kGiB = 1024 * kMiB;
const uint64_t kEpochDelta = 11644473600ULL;  // 1601 to 1970 in seconds
const uint32_t kSystemRecords = 27;
const uint32_t kBootBytes = 8192;

// One format at a time: the state and the options are process-wide.
SRWLOCK g_formatLock = SRWLOCK_INIT;

bool IsPowerOfTwo(uint64_t v) {
  return v && (v & (v - 1)) == 0;
}

bool Fail(int error) {
  errno = error;
  return false;
}

bool Place(Runlist* runs, uint64_t lcn, uint64_t count) {
  if (!State().used.Allocate(lcn, count)) return Fail(EINVAL);
  runs->assign(1, Run{0, int64_t(lcn), int64_t(count)});
  return true;
}

bool OpenPartition(const NtfsFormatOptions& o) {
  FormatState& s = State();
  unsigned long long start = 0, length = 0;
  int used = 0;
  if (LocateNtfsPartition(o.device, int(o.partitionIndex), &start, &length, &used) < 0)
    return false;
  s.block = o.device;
  s.partitionOffset = start;
  s.partitionLength = length;
  return true;
}

bool SettleGeometry(NtfsFormatOptions& o) {
  FormatState& s = State();
  int64_t sectorSize = o.sectorSize < 0 ? 512 : o.sectorSize;
  if (sectorSize < 256 || sectorSize > 4096 || !IsPowerOfTwo(uint64_t(sectorSize)))
    return Fail(EINVAL);
  s.sectorSize = uint32_t(sectorSize);
  uint64_t sectors =
      o.numberOfSectors ? uint64_t(o.numberOfSectors) : s.partitionLength / s.sectorSize;
  if (o.numberOfSectors < 0 || sectors == 0 || sectors * s.sectorSize > s.partitionLength)
    return Fail(EINVAL);
  uint64_t reserve = s.sectorSize < 512 ? 512 / s.sectorSize : 1;
  if (sectors <= reserve) return Fail(EINVAL);
  s.sectors = sectors - reserve;

  if (o.partitionStart < 0) {
    // Hidden sectors count the volume's sectors (the disk's).
    uint64_t start = s.partitionOffset / s.sectorSize;
    s.partitionStartSector = start > 0xFFFFFFFFULL ? 0 : start;
  } else if (o.partitionStart > 0xFFFFFFFFLL) {
    return Fail(EINVAL);
  } else {
    s.partitionStartSector = uint64_t(o.partitionStart);
  }
  // The disk block knows no geometry: asking gives 0.
  if (o.sectorsPerTrack > 65535 || o.heads > 65535) return Fail(EINVAL);
  s.sectorsPerTrack = uint16_t(o.sectorsPerTrack < 0 ? 0 : o.sectorsPerTrack);
  s.heads = uint16_t(o.heads < 0 ? 0 : o.heads);

  uint64_t volumeSize = s.sectors * s.sectorSize;
  if (volumeSize < kMiB) return Fail(EINVAL);
  int64_t clusterSize = o.clusterSize;
  if (clusterSize == 0) {
    clusterSize = std::max<int64_t>(4096, s.sectorSize);
    while (volumeSize / uint64_t(clusterSize) > 0xFFFFFFFFULL) {
      clusterSize *= 2;
      if (clusterSize >= 65536) return Fail(EINVAL);
    }
  }
  if (clusterSize < int64_t(s.sectorSize) || clusterSize > 128 * int64_t(s.sectorSize) ||
      clusterSize > 65536 || !IsPowerOfTwo(uint64_t(clusterSize)))
    return Fail(EINVAL);
  if (o.enableCompression && clusterSize > 4096) {
    if (!o.force) return Fail(EINVAL);
    o.enableCompression = false;
  }
  s.clusterSize = uint32_t(clusterSize);
  s.clusters = volumeSize / s.clusterSize;
  if (s.clusters > 0xFFFFFFFFULL) return Fail(EINVAL);
  s.mftRecordSize = std::max<uint32_t>(1024, s.sectorSize);
  s.indexRecordSize = std::max<uint32_t>(4096, s.sectorSize);
  return true;
}

uint64_t LogFileSize(uint64_t volumeSize) {
  FormatState& s = State();
  if (volumeSize < 2 * kMiB) return 256 * 1024;
  if (volumeSize < 4000000) return 512 * 1024;
  if (volumeSize <= 200 * kMiB) return 2 * kMiB;
  if (volumeSize < 12 * kGiB) return volumeSize / 200 / s.clusterSize * s.clusterSize;
  return 64 * kMiB;
}

// Bitmaps and the clusters of $Boot, $MFT:$BITMAP, $MFT, $MFTMirr and
// $LogFile.
bool PlaceSystemFiles(const NtfsFormatOptions& o) {
  FormatState& s = State();
  uint64_t cs = s.clusterSize;
  s.bitmapBytes = RoundUp(DivUp(s.clusters, 8), 8);
  if (s.bitmapBytes * 8 > s.clusters &&
      !s.used.Allocate(s.clusters, s.bitmapBytes * 8 - s.clusters))
    return Fail(EINVAL);
  s.mftSize = std::max<uint64_t>(uint64_t(kSystemRecords) * s.mftRecordSize, cs);
  s.mftRecords = uint32_t(s.mftSize / s.mftRecordSize);
  s.mftBitmap.assign(size_t(RoundUp(DivUp(s.mftRecords, 8), 8)), 0);

  uint64_t bootClusters = DivUp(kBootBytes, cs);
  uint64_t mftBitmapLcn = bootClusters;
  s.mftLcn = std::max(mftBitmapLcn + 1, DivUp(16384, cs));
  uint64_t mftClusters = DivUp(s.mftSize, cs);
  uint32_t multiplier =
      o.mftZoneMultiplier >= 1 && o.mftZoneMultiplier <= 4 ? uint32_t(o.mftZoneMultiplier) : 1;
  s.mftZoneEnd = s.mftLcn + s.clusters * multiplier / 8;
  s.mftMirrLcn = s.sectors * s.sectorSize / 2 / cs;
  s.mirrorClusters = uint32_t(DivUp(4ULL * s.mftRecordSize, cs));
  s.logFileLcn = s.mftMirrLcn + s.mirrorClusters;

  uint64_t log = LogFileSize(s.sectors * s.sectorSize);
  while (log && s.logFileLcn + DivUp(log, cs) >= s.clusters) log /= 2;
  log = RoundUp(log, cs);
  if (log < 256 * 1024) return Fail(ENOSPC);
  s.logFileSize = log;

  if (!Place(&s.rlMftBitmap, mftBitmapLcn, 1) || !Place(&s.rlMft, s.mftLcn, mftClusters) ||
      !Place(&s.rlMftMirr, s.mftMirrLcn, s.mirrorClusters) ||
      !Place(&s.rlLogFile, s.logFileLcn, log / cs) || !Place(&s.rlBoot, 0, bootClusters))
    return false;
  s.mft.assign(size_t(s.mftSize), 0);
  s.rlBad.assign(1, Run{0, kSparse, int64_t(s.clusters)});
  return true;
}

// Without quick format: every cluster, and the sectors behind the last
// one, written with zeros.
bool ZeroVolume() {
  FormatState& s = State();
  std::vector<uint8_t> zeros(size_t(kMiB), 0);
  uint64_t total = s.sectors * s.sectorSize;
  for (uint64_t at = 0; at < total; at += zeros.size())
    if (!WritePartition(at, zeros.data(), std::min<uint64_t>(zeros.size(), total - at)))
      return false;
  return true;
}

// The records of $MFT, protected, and the first of them again as $MFTMirr.
bool WriteMftAndMirror() {
  FormatState& s = State();
  std::vector<uint8_t> out = s.mft;
  for (uint32_t n = 0; n < s.mftRecords; ++n)
    ProtectMultiSector(&out[size_t(n) * s.mftRecordSize], s.mftRecordSize);
  if (!WritePartition(s.mftLcn * s.clusterSize, out.data(), out.size())) return false;
  uint64_t mirrorBytes = std::min<uint64_t>(uint64_t(s.mirrorClusters) * s.clusterSize, out.size());
  uint64_t mirrorRecords = mirrorBytes / s.mftRecordSize;
  return WritePartition(s.mftMirrLcn * s.clusterSize, out.data(), mirrorRecords * s.mftRecordSize);
}

bool FormatSteps(int bootChoice, const void* bootCode) {
  FormatState& s = State();
  NtfsFormatOptions& o = GetNtfsFormatOptions();
  if (!o.useEpochTime) {
    uint64_t seconds = uint64_t(time(nullptr)) + kEpochDelta;
    s.ntfsTime = seconds * 10000000ULL;
    srand(unsigned(seconds));
    for (uint8_t& b : s.volumeGuid) b = uint8_t(rand());
  }
  s.upcase.assign(65536, 0);
  if (!BuildDefaultNtfsUpcase(s.upcase.data())) return false;
  Put32(s.upcaseInfo, sizeof s.upcaseInfo);
  ComputeCrc64(0, nullptr, 0);
  Put64(s.upcaseInfo + 8, ComputeCrc64(s.upcase.size() * 2, s.upcase.data(), 0));

  if (!OpenPartition(o) || !SettleGeometry(o) || !PlaceSystemFiles(o)) return false;
  if (!o.quickFormat && !ZeroVolume()) return false;
  if (!CreateNtfsSystemFiles(bootChoice, bootCode)) return false;
  int r = WriteRootIndexBlock();
  if (r) return Fail(-r);
  if (WriteRunlistData(s.rlBitmap, nullptr, s.bitmapBytes, kFillBitmap) != int64_t(s.bitmapBytes))
    return Fail(errno ? errno : EIO);
  if (!o.noAction && !WriteMftAndMirror()) return false;
  if (s.block->sync) s.block->sync(s.block->owner);
  return true;
}

}  // namespace

NtfsFormatOptions& GetNtfsFormatOptions() {
  static NtfsFormatOptions options;
  return options;
}

uint64_t ComputeCrc64(size_t length, const void* buffer, uint64_t crc) {
  static uint64_t table[256];
  if (!buffer) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint64_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0x9A6C9329AC4BC9B5ULL ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    return crc;
  }
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  crc = ~crc;
  for (size_t i = 0; i < length; ++i) crc = (crc >> 8) ^ table[(p[i] ^ crc) & 0xFF];
  return ~crc;
}

int RunNtfsFormat(int /*closeFlag*/, int bootChoice, const void* bootCode) {
  State().Reset();
  errno = 0;
  bool ok = FormatSteps(bootChoice, bootCode);
  State().Reset();
  return ok ? 0 : 1;
}

int FormatNtfsVolume(DiskIoBlock* device, uint32_t partition, int bootChoice, uint8_t align,
                     const void* bootCode, const void* gptEntries) {
  AcquireSRWLockExclusive(&g_formatLock);
  int result = 1;
  if (WriteFormatPartitionTable(device, gptEntries, partition, align, bootCode))
    result = RunNtfsFormat(0, bootChoice, bootCode);
  ReleaseSRWLockExclusive(&g_formatLock);
  return result;
}
