#include "disktools/ntfscheck/NtfsCheck.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/NtfsCheck.h"
#include "image/ntfs/NtfsRepair.h"
#include "image/ntfs/NtfsVolume.h"

namespace {

void Quiet(const char*, ...) {}

}  // namespace

int RepairNtfsPartition(CMountedImage* image) {
  if (!image || !image->NtfsVolume()) return 0;
  // A boot sector that was lost comes back from its copy in the
  // partition's last sector, which the device serves in its place.
  if (IsNtfsBootFromBackup(image->NtfsVolume()) &&
      (!RestoreNtfsBootSector(image->NtfsVolume()) || !image->RemountNtfs()))
    return 0;
  // The mirror is repaired as it is on the disk, not as the mount's
  // stand-in; once a record was written, the volume is mounted anew (its
  // open inodes hold the old copies). A volume the full mount refused gets
  // what that mount reads mended, and must then mount whole for the other
  // steps.
  DropNtfsMirrorStandIn(image->NtfsVolume());
  bool wrote = false;
  if (FixMftMirror(image->NtfsVolume(), &wrote)) return 0;
  bool partial = IsNtfsVolumePartial(image->NtfsVolume());
  if (partial && MendForFullMount(image->NtfsVolume())) return 0;
  if ((wrote || partial) && (!image->RemountNtfs() || IsNtfsVolumePartial(image->NtfsVolume())))
    return 0;
  if (!RepairNtfsVolume(image->NtfsVolume()) || FlushNtfsVolume(image->NtfsVolume())) return 0;
  // A repair has mended the volume only when its check, on the volume
  // mounted anew, finds nothing left.
  return image->RemountNtfs() && CheckNtfsVolume(image->NtfsVolume(), Quiet) ? 1 : 0;
}
