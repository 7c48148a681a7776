#include "disktools/ntfscheck/NtfsCheck.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/NtfsRepair.h"

int RepairNtfsPartition(CMountedImage* image) {
  if (!image || !image->NtfsVolume()) return 0;
  // A volume the full mount refused gets its mirror from $MFT first; it
  // must then mount whole for the other steps.
  if (IsNtfsVolumePartial(image->NtfsVolume()) &&
      (FixMftMirror(image->NtfsVolume()) || !image->RemountNtfs() ||
       IsNtfsVolumePartial(image->NtfsVolume())))
    return 0;
  return RepairNtfsVolume(image->NtfsVolume());
}
