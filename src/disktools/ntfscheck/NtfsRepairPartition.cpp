#include "disktools/ntfscheck/NtfsCheck.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/NtfsRepair.h"

int RepairNtfsPartition(CMountedImage* image) {
  if (!image || !image->NtfsVolume()) return 0;
  return RepairNtfsVolume(image->NtfsVolume());
}
