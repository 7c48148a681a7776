#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "image/ntfs/NtfsCloneIo.h"
#include "image/ntfs/NtfsDevice.h"
#include "image/ntfs/NtfsInternal.h"
#include "image/ntfs/NtfsResize.h"

namespace {

s64 DroppedWrite(struct ntfs_device* dev, const void*, s64 count) {
  (void)dev;
  return count;
}

s64 DroppedPwrite(struct ntfs_device* dev, const void*, s64 count, s64 offset) {
  (void)dev;
  return offset < 0 ? -1 : count;
}

// The device operations of a sealed volume: the system's own, less writes.
struct ntfs_device_operations SealedOps() {
  struct ntfs_device_operations ops = ntfs_disk_dev_ops;
  ops.write = DroppedWrite;
  ops.pwrite = DroppedPwrite;
  return ops;
}

struct ntfs_device_operations gSealedOps = SealedOps();

}  // namespace

int GetNtfsCloneGeometry(ntfs_volume* vol, NtfsCloneGeometry* out) {
  if (!vol || !out || !vol->dev) return -EINVAL;
  out->clusterSize = vol->cluster_size;
  out->sectorSize = vol->sector_size;
  out->clusters = (uint64_t)vol->nr_clusters;
  uint8_t boot[512];
  errno = 0;
  if (ReadNtfsDeviceAt(vol, 0, boot, sizeof boot) != (long long)sizeof boot)
    return -(errno ? errno : EIO);
  le64 sectors;
  memcpy(&sectors, boot + 40, sizeof sectors);
  out->sectors = le64_to_cpu(sectors);
  s64 size = ntfs_device_size_get(vol->dev, 1);
  if (size < 0) return -(errno ? errno : EIO);
  out->deviceSize = size;
  return 0;
}

int ReadNtfsClustersInUse(ntfs_volume* vol, std::vector<uint8_t>* map, int64_t* unread) {
  *unread = -1;
  if (!vol || !vol->lcnbmp_na || vol->nr_clusters <= 0) {
    errno = EINVAL;
    return -1;
  }
  const s64 bytes = (vol->nr_clusters + 7) / 8;
  map->assign((size_t)bytes, 0);
  errno = 0;
  if (ntfs_attr_pread(vol->lcnbmp_na, 0, bytes, map->data()) != bytes) {
    if (!errno) errno = EIO;
    return -1;
  }
  std::vector<uint8_t> used;
  if (!CollectNtfsClusterUse(vol, -1, &used, nullptr, nullptr, unread)) {
    std::fill(map->begin(), map->end(), (uint8_t)0xFF);
    return 1;
  }
  for (size_t i = 0; i < map->size() && i < used.size(); i++) (*map)[i] |= used[i];
  return 0;
}

int CollectNtfsBadClusters(ntfs_volume* vol, std::vector<ClusterRun>* out) {
  out->clear();
  if (!vol) return -1;
  ntfs_inode* ni = ntfs_inode_open(vol, FILE_BadClus);
  if (!ni) return -1;
  static ntfschar bad[] = {const_cpu_to_le16('$'), const_cpu_to_le16('B'), const_cpu_to_le16('a'),
                           const_cpu_to_le16('d'), 0};
  int result = -1;
  ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, bad, 4);
  if (na) {
    if (!ntfs_attr_map_whole_runlist(na)) {
      for (runlist_element* e = na->rl; e && e->length; e++)
        if (e->lcn >= 0) out->push_back(ClusterRun{e->vcn, e->lcn, e->length});
      result = 0;
    }
    ntfs_attr_close(na);
  }
  if (ntfs_inode_close(ni)) result = -1;
  return result;
}

long long ReadNtfsDeviceAt(ntfs_volume* vol, uint64_t offset, void* buffer, long long count) {
  if (!vol || !vol->dev) {
    errno = EINVAL;
    return -1;
  }
  return vol->dev->d_ops->pread(vol->dev, buffer, count, (s64)offset);
}

long long WriteNtfsDeviceAt(ntfs_volume* vol, uint64_t offset, const void* buffer,
                            long long count) {
  if (!vol || !vol->dev) {
    errno = EINVAL;
    return -1;
  }
  if (NDevReadOnly(vol->dev)) {
    errno = EROFS;
    return -1;
  }
  s64 done = vol->dev->d_ops->pwrite(vol->dev, buffer, count, (s64)offset);
  if (done > 0) NDevSetDirty(vol->dev);
  return done;
}

DiskIoBlock* GetNtfsDiskBlock(ntfs_volume* vol) {
  if (!vol || !vol->dev || !vol->dev->d_private) return nullptr;
  if (vol->dev->d_ops != &ntfs_disk_dev_ops && vol->dev->d_ops != &gSealedOps) return nullptr;
  return ((NtfsDiskDev*)vol->dev->d_private)->block;
}

bool GetNtfsPartitionStart(ntfs_volume* vol, uint64_t* start) {
  if (!GetNtfsDiskBlock(vol) || !start) return false;
  *start = ((NtfsDiskDev*)vol->dev->d_private)->win.start;
  return true;
}

void SealClonedNtfsVolume(ntfs_volume* vol) {
  if (vol && vol->dev) vol->dev->d_ops = &gSealedOps;
}
