// The NTFS clone engine: copies the clusters in use of one mounted NTFS
// volume onto the device of another (at least as large), cluster by cluster,
// leaving out the clusters of a skip list, and finishes the copy's boot
// sector and backup boot sector. In use are the clusters $Bitmap marks and
// every cluster a record uses whatever $Bitmap says (ReadNtfsClustersInUse):
// a copy's files read back as the source's. One clone at a time per
// process.
#pragma once
#include <stdint.h>

#include "image/ntfs/NtfsCloneIo.h"

// Results of CloneNtfsVolume besides the count of copied clusters.
enum NtfsCloneResult {
  NTFS_CLONE_FAILED = -1,
  NTFS_CLONE_STOPPED = -5,
};

// Boot-sector modes: keep the target's hidden-sectors field, or take the
// copied boot sector as it is.
enum NtfsCloneBootMode {
  NTFS_CLONE_KEEP_TARGET_HIDDEN = 0,
  NTFS_CLONE_BOOT_AS_IS = 1,
};

// skip: runs ended by one of length 0 (null: none). The callback (may be
// null) gets (0, total) first, then (copied so far, total) per cluster.
// The number of copied clusters (> 0), NTFS_CLONE_STOPPED when the callback
// asked to stop, NTFS_CLONE_FAILED on any failure: a failed write to the
// target, a volume larger than its device, a clone already running. A
// source cluster that cannot be read is left out and counted
// (LastCloneReadErrors). After a success the target volume is sealed
// (SealClonedNtfsVolume): unmount it without further changes.
int CloneNtfsVolume(ntfs_volume* source, ntfs_volume* target, const ClusterRun* skip, int bootMode,
                    DiskCopyProgressCallback callback, void* context);

// Source clusters of the last clone that could not be read.
uint32_t LastCloneReadErrors();
