// What the cluster-by-cluster clone engine needs of two mounted NTFS
// volumes: their geometry, the cluster allocation bitmap, the bad clusters,
// one transfer at a byte position of the volume's device, and sealing a volume whose device content has been replaced.
// Free of the library's headers.
#pragma once
#include <stdint.h>

#include <vector>

#include "image/device/DiskIoBlock.h"
#include "image/ntfs/NtfsClusterRuns.h"
#include "image/ntfs/NtfsVolume.h"

// Progress of the disk copy engines: clusters done and in total; called
// once with 0 done before the first cluster. Returning 0 asks to stop.
typedef int(__stdcall* DiskCopyProgressCallback)(uint32_t done, uint32_t total, void* context);

struct NtfsCloneGeometry {
  uint64_t clusterSize;
  uint64_t sectorSize;
  uint64_t clusters;   // the volume's cluster count
  uint64_t sectors;    // the volume's sectors as its boot sector counts them
  int64_t deviceSize;  // bytes of the device (partition) under the volume
};
// 0, or minus errno.
int GetNtfsCloneGeometry(ntfs_volume* vol, NtfsCloneGeometry* out);

// The clusters a copy of the volume takes, one bit each ((clusters + 7) / 8
// bytes): those $Bitmap marks in use and every cluster a record uses
// though $Bitmap marks it free (the record walk of CollectNtfsClusterUse).
// 0; 1 when a record in use cannot be walked: what it uses is not known,
// so every cluster's bit is set, and *unread is its number (-1: $MFT
// itself could not be read); -1 with errno when $Bitmap cannot be read.
int ReadNtfsClustersInUse(ntfs_volume* vol, std::vector<uint8_t>* map, int64_t* unread);

// The runs of $BadClus's "$Bad" stream with a real cluster. 0, or -1 when
// the stream cannot be opened or mapped.
int CollectNtfsBadClusters(ntfs_volume* vol, std::vector<ClusterRun>* out);

// One transfer at a byte position of the volume's device, the way the
// library would do it: bytes moved (may be short), or -1 with errno.
long long ReadNtfsDeviceAt(ntfs_volume* vol, uint64_t offset, void* buffer, long long count);
long long WriteNtfsDeviceAt(ntfs_volume* vol, uint64_t offset, const void* buffer, long long count);

// The device block of the whole disk under a volume mounted over one, or
// null (a plain file, a drive).
DiskIoBlock* GetNtfsDiskBlock(ntfs_volume* vol);

// The byte offset on its disk of the partition the volume was mounted
// from; false for a volume not mounted over a device block.
bool GetNtfsPartitionStart(ntfs_volume* vol, uint64_t* start);

// After its device was overwritten by a clone, the volume's own cached
// records are stale: from then on the library's writes to that device are
// dropped (reported done), so that unmounting cannot undo the copy.
void SealClonedNtfsVolume(ntfs_volume* vol);
