#include "disktools/clone/NtfsClone.h"

#include <errno.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/ByteOrder.h"
#include "common/ConsoleOutput.h"

namespace {

// The two process-wide mode words, reset at the start of every clone: the
// clone in progress (the guard), and the source read errors of the clone.
std::atomic<int> gCloneBusy(0);
std::atomic<uint32_t> gReadErrors(0);

const uint32_t kMaxCluster = 65536;
// The largest transfer of adjacent clusters.
const size_t kRunBytes = 1 << 20;

enum CopyResult { COPY_DONE = 0, COPY_PAST_END = 1, COPY_READ_FAILED = -1, COPY_WRITE_FAILED = -2 };

// A bound on transfers that keep moving nothing.
const int kMaxEmptyWrites = 16;

struct Clone {
  ntfs_volume* source;
  ntfs_volume* target;
  const ClusterRun* skip;
  NtfsCloneGeometry geo;
  uint64_t targetSize;          // bytes of the target's device
  std::vector<uint8_t> bitmap;  // the clone's own cluster bitmap
  // The clusters to copy: those $Bitmap marks in use and those a record
  // uses whatever $Bitmap says (every one, when a record cannot be read).
  std::vector<uint8_t> used;
  uint8_t buffer[kMaxCluster];
  // Adjacent clusters waiting to be copied in one transfer.
  std::vector<uint8_t> runBuffer;
  uint64_t runLcn = 0, runLength = 0;
  DiskCopyProgressCallback callback;
  void* context;
};

// The bytes of a volume's device that the volume takes: its sectors and
// the backup boot sector behind them, as far as the device reaches.
uint64_t VolumeBytesHeld(const NtfsCloneGeometry& geo) {
  uint64_t volume = (geo.sectors + 1) * geo.sectorSize;
  return geo.deviceSize < 0 || volume < (uint64_t)geo.deviceSize ? volume
                                                                  : (uint64_t)geo.deviceSize;
}

bool BitSet(const std::vector<uint8_t>& map, uint64_t bit) {
  return map[bit >> 3] >> (bit & 7) & 1;
}

bool Skipped(const ClusterRun* skip, uint64_t lcn) {
  for (const ClusterRun* r = skip; r && r->length; r++)
    if (r->lcn >= 0 && (uint64_t)r->lcn <= lcn && lcn < (uint64_t)(r->lcn + r->length)) return true;
  return false;
}

bool Retry() {
  return errno == EAGAIN || errno == EINTR;
}

// Copies the cluster at lcn from the source's device to the same place on
// the target's. The cluster after the volume's last one, which holds the
// backup boot sector, may end past either device (a partition that ends
// with that sector): it is then not copied, and the backup boot sector is
// written on its own.
int CopyCluster(Clone& c, uint64_t lcn) {
  uint64_t size = c.geo.clusterSize;
  uint64_t at = lcn * size;
  if (at + size > (uint64_t)c.geo.deviceSize)
    return at < (uint64_t)c.geo.deviceSize ? COPY_PAST_END : COPY_READ_FAILED;
  if (at + size > c.targetSize) return at < c.targetSize ? COPY_PAST_END : COPY_WRITE_FAILED;
  for (uint64_t done = 0; done < size;) {
    long long n = ReadNtfsDeviceAt(c.source, at + done, c.buffer + done, (long long)(size - done));
    if (n < 0 && Retry()) continue;
    if (n <= 0) return COPY_READ_FAILED;
    done += (uint64_t)n;
  }
  int empty = 0;
  for (uint64_t done = 0; done < size;) {
    long long n = WriteNtfsDeviceAt(c.target, at + done, c.buffer + done, (long long)(size - done));
    if (n < 0 && Retry()) continue;
    if (n < 0 || (n == 0 && ++empty > kMaxEmptyWrites)) return COPY_WRITE_FAILED;
    done += (uint64_t)n;
  }
  return COPY_DONE;
}

// Reads or writes count bytes at a device position whole; false on a
// failure (a short transfer that keeps moving nothing counts as one).
template <class Transfer>
bool Whole(Transfer transfer, uint64_t at, uint8_t* data, uint64_t count) {
  int empty = 0;
  for (uint64_t done = 0; done < count;) {
    long long n = transfer(at + done, data + done, (long long)(count - done));
    if (n < 0 && Retry()) continue;
    if (n < 0 || (n == 0 && ++empty > kMaxEmptyWrites)) return false;
    done += (uint64_t)n;
  }
  return true;
}

// Copies the waiting run in one read and one write. A run whose read
// fails, or that reaches past the source's device, is copied a cluster at
// a time instead, so that each unreadable cluster is counted and the
// others still copied.
int FlushRun(Clone& c) {
  uint64_t lcn = c.runLcn, length = c.runLength;
  c.runLength = 0;
  if (!length) return COPY_DONE;
  uint64_t size = c.geo.clusterSize, at = lcn * size, bytes = length * size;
  bool whole = length > 1 && at + bytes <= (uint64_t)c.geo.deviceSize &&
               Whole([&](uint64_t p, uint8_t* d,
                         long long n) { return ReadNtfsDeviceAt(c.source, p, d, n); },
                     at, c.runBuffer.data(), bytes);
  if (whole)
    return Whole([&](uint64_t p, uint8_t* d,
                     long long n) { return WriteNtfsDeviceAt(c.target, p, d, n); },
                 at, c.runBuffer.data(), bytes)
               ? COPY_DONE
               : COPY_WRITE_FAILED;
  for (uint64_t k = 0; k < length; k++) {
    int r = CopyCluster(c, lcn + k);
    if (r == COPY_WRITE_FAILED) return r;
    if (r == COPY_READ_FAILED) gReadErrors++;
  }
  return COPY_DONE;
}

// Adds a cluster to the waiting run, copying the run first when the
// cluster does not follow it or the run is full.
int QueueCluster(Clone& c, uint64_t lcn) {
  uint64_t most = c.runBuffer.size() / c.geo.clusterSize;
  if (c.runLength && (lcn != c.runLcn + c.runLength || c.runLength >= most)) {
    int r = FlushRun(c);
    if (r != COPY_DONE) return r;
  }
  if (!c.runLength) c.runLcn = lcn;
  c.runLength++;
  return COPY_DONE;
}

// One pass over the clusters in use: counts (and with copy, copies) every
// one that is neither marked in the clone's bitmap nor skipped.
long long BitmapPass(Clone& c, bool copy, uint32_t total) {
  DiskCopyProgressCallback callback = copy ? c.callback : nullptr;
  if (callback && !callback(0, total, c.context)) return NTFS_CLONE_STOPPED;
  long long count = 0;
  for (size_t i = 0; i < c.used.size() && i < c.bitmap.size(); i++) {
    uint8_t used = c.used[i];
    uint8_t mark = c.bitmap[i];
    if (used == mark) continue;
    for (int bit = 0; bit < 8; bit++) {
      uint64_t lcn = (uint64_t)i * 8 + bit;
      if ((mark >> bit & 1) || !(used >> bit & 1) || Skipped(c.skip, lcn)) continue;
      count++;
      if (callback && !callback((uint32_t)count, total, c.context)) return NTFS_CLONE_STOPPED;
      if (copy && QueueCluster(c, lcn) != COPY_DONE) return NTFS_CLONE_FAILED;
    }
  }
  if (copy && FlushRun(c) != COPY_DONE) return NTFS_CLONE_FAILED;
  return count;
}

// Takes the bad clusters out of the clone's bitmap; lowers *count for each
// bit that was set.
int MarkBadClusters(long long* count, std::vector<uint8_t>& bitmap, ntfs_volume* source) {
  std::vector<ClusterRun> bad;
  if (CollectNtfsBadClusters(source, &bad)) return -1;
  for (const ClusterRun& r : bad)
    for (int64_t k = 0; k < r.length; k++) {
      uint64_t lcn = (uint64_t)(r.lcn + k);
      if ((lcn >> 3) >= bitmap.size()) break;
      if (BitSet(bitmap, lcn)) {
        bitmap[lcn >> 3] &= (uint8_t) ~(1u << (lcn & 7));
        (*count)--;
      }
    }
  return 0;
}

// Writes the target's boot sector again: at the sector after the volume's
// last one when atVolumeEnd, and in the last sector of a target partition
// larger than the source's, where the checkers look for it.
void WriteBackupBootSector(Clone& c, bool atVolumeEnd) {
  uint8_t boot[512];
  if (ReadNtfsDeviceAt(c.target, 0, boot, 512) != 512) return;
  uint64_t backup = Ld64(boot + 40) * c.geo.sectorSize;
  if (atVolumeEnd) WriteNtfsDeviceAt(c.target, backup, boot, 512);
  if (c.targetSize > (uint64_t)c.geo.deviceSize && c.targetSize - 512 > backup)
    WriteNtfsDeviceAt(c.target, c.targetSize - 512, boot, 512);
}

long long CopyDriver(Clone& c, uint32_t total, int bootMode) {
  uint8_t sourceBoot[512], targetBoot[512];
  bool writeBoot = false;
  if (ReadNtfsDeviceAt(c.source, 0, sourceBoot, 512) == 512 &&
      ReadNtfsDeviceAt(c.target, 0, targetBoot, 512) == 512 &&
      bootMode == NTFS_CLONE_KEEP_TARGET_HIDDEN) {
    memcpy(sourceBoot + 28, targetBoot + 28, 4);
    writeBoot = true;
  }
  long long count = BitmapPass(c, true, total);
  if (count < 1) return count;
  bool writeBackup = false;
  for (uint64_t lcn = 0; lcn <= c.geo.clusters; lcn++) {
    if (!BitSet(c.bitmap, lcn) || Skipped(c.skip, lcn)) continue;
    int r = CopyCluster(c, lcn);
    if (r < 0) return NTFS_CLONE_FAILED;
    if (r > 0) writeBackup = true;
  }
  if (writeBoot) WriteNtfsDeviceAt(c.target, 0, sourceBoot, 512);
  WriteBackupBootSector(c, writeBackup);
  return count;
}

// The clone's state lives for one call: its bitmap (an eighth of a byte per
// cluster), run buffer and cluster buffer go back to the process on every
// way out, a failed or cancelled clone's included.
long long Run(ntfs_volume* source, ntfs_volume* target, const ClusterRun* skip, int bootMode,
              DiskCopyProgressCallback callback, void* context) {
  std::unique_ptr<Clone> state(new (std::nothrow) Clone());
  if (!state) return NTFS_CLONE_FAILED;
  Clone& c = *state;
  c.source = source;
  c.target = target;
  c.skip = skip;
  c.callback = callback;
  c.context = context;
  if (GetNtfsCloneGeometry(source, &c.geo) || c.geo.clusterSize == 0 ||
      c.geo.clusterSize > kMaxCluster || c.geo.sectorSize == 0)
    return NTFS_CLONE_FAILED;
  // The target must hold what the source holds of the volume: its sectors
  // and the one behind them with the backup boot sector. Its partition may
  // be shorter than the source's, which can run on past the volume.
  NtfsCloneGeometry targetGeo;
  if (GetNtfsCloneGeometry(target, &targetGeo) ||
      (uint64_t)targetGeo.deviceSize < VolumeBytesHeld(c.geo))
    return NTFS_CLONE_FAILED;
  c.targetSize = (uint64_t)targetGeo.deviceSize;
  c.runLength = 0;
  c.runBuffer.assign(kRunBytes, 0);
  uint64_t bytes = (c.geo.clusters + 8) / 8;
  c.bitmap.assign((size_t)bytes, 0);
  for (uint64_t bit = c.geo.clusters; bit < bytes * 8; bit++)
    c.bitmap[bit >> 3] |= (uint8_t)(1u << (bit & 7));
  int64_t unread = -1;
  int walked = ReadNtfsClustersInUse(source, &c.used, &unread);
  if (walked < 0) return NTFS_CLONE_FAILED;
  if (walked > 0)
    WriteCommandLine((unread >= 0 ? L"File record " + std::to_wstring((long long)unread) +
                                        L" of $MFT cannot be read: the clusters it uses"
                                  : std::wstring(L"$MFT cannot be read whole: the clusters its "
                                                 L"records use")) +
                     L" are not known, so every cluster of the volume is copied\r\n");
  long long count = BitmapPass(c, false, 0);
  if (count <= 0) return NTFS_CLONE_FAILED;
  if (MarkBadClusters(&count, c.bitmap, source)) return NTFS_CLONE_FAILED;
  if (c.geo.deviceSize <= 0 || (uint64_t)c.geo.deviceSize < c.geo.clusterSize * c.geo.clusters)
    return NTFS_CLONE_FAILED;
  long long result = CopyDriver(c, (uint32_t)count, bootMode);
  if (result > 0) SealClonedNtfsVolume(target);
  return result;
}

}  // namespace

int CloneNtfsVolume(ntfs_volume* source, ntfs_volume* target, const ClusterRun* skip, int bootMode,
                    DiskCopyProgressCallback callback, void* context) {
  if (!source || !target || source == target) return NTFS_CLONE_FAILED;
  if (gCloneBusy.exchange(1)) return NTFS_CLONE_FAILED;
  gReadErrors = 0;
  long long result = Run(source, target, skip, bootMode, callback, context);
  gCloneBusy = 0;
  return (int)result;
}

uint32_t LastCloneReadErrors() {
  return gReadErrors;
}
