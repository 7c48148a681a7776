#include "disktools/ntfscheck/NtfsCheck.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/NtfsRepair.h"
#include "image/ntfs/NtfsVolume.h"

int RepairNtfsPartition(CMountedImage* image) {
  if (!image || !image->NtfsVolume()) return 0;
  // A mirror the mount replaced by $MFT's records is repaired as it is on
  // the disk.
  if (DropNtfsMirrorStandIn(image->NtfsVolume()) && FixMftMirror(image->NtfsVolume())) return 0;
  // A volume the full mount refused gets its mirror from $MFT first; it
  // must then mount whole for the other steps.
  if (IsNtfsVolumePartial(image->NtfsVolume()) &&
      (FixMftMirror(image->NtfsVolume()) || !image->RemountNtfs() ||
       IsNtfsVolumePartial(image->NtfsVolume())))
    return 0;
  return RepairNtfsVolume(image->NtfsVolume());
}
