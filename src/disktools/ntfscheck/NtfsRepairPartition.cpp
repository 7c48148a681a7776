#include "disktools/ntfscheck/NtfsCheck.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/NtfsBootSectors.h"
#include "image/ntfs/check/NtfsCheck.h"
#include "image/ntfs/check/NtfsRepair.h"
#include "image/ntfs/NtfsVolume.h"

namespace {

// The boot sector the examination of both copies trusts goes into the
// partition's first and last sectors, with no volume mounted meanwhile. A
// volume where neither copy can be trusted is left as it is.
bool MendBootSectors(CMountedImage* image) {
  // A host volume is seen through its snapshot, not as a partition of a
  // disk: its boot sectors are left to the volume's own steps.
  DiskIoBlock* block = image->IoBlock();
  if (block->second && block->second != INVALID_HANDLE_VALUE) return true;
  NtfsBootSectors boot;
  if (ExamineNtfsBootSectors(image->IoBlock(), image->PartitionIndex(), &boot) < 0) {
    PrintCheckLog("The repair cannot read the boot sectors; nothing was changed.\n");
    return false;
  }
  if (!boot.choice) {
    if (boot.primary.ntfs && !boot.primary.fits)
      PrintCheckLog(
          "Boot sector: the volume (%lld sectors) does not fit its partition (%lld "
          "sectors).\n",
          (long long)boot.primary.volumeSectors, (long long)boot.sectors);
    PrintCheckLog("The repair cannot tell which boot sector to trust; nothing was changed.\n");
    return false;
  }
  if (!NtfsBootSectorsToWrite(boot)) return true;
  int written = -1;
  return image->RemountNtfs([&] { written = WriteNtfsBootSectors(image->IoBlock(), boot); },
                            true) &&
         written == 0;
}

}  // namespace

int RepairNtfsPartition(CMountedImage* image) {
  if (!image) return 0;
  if (!image->NtfsVolume()) {
    PrintNotNtfsLog(image, L"repaired");
    return 0;
  }
  if (!MendBootSectors(image)) return 0;
  // The mirror is repaired as it is on the disk, not as the mount's
  // stand-in (of two copies that differ, the one whose clusters no other
  // record names); once a record was written, the volume is mounted anew
  // (its open inodes hold the old copies). A volume the full mount refused
  // gets what that mount reads mended, and must then mount whole for the
  // other steps. Nothing else is written before the clusters every record
  // uses are known.
  DropNtfsMirrorStandIn(image->NtfsVolume());
  // The repair writes whatever $Bitmap says (the mirror first).
  KeepAllOldBytes(image->NtfsVolume());
  bool wrote = false;
  if (FixMftMirror(image->NtfsVolume(), &wrote)) return 0;
  bool partial = IsNtfsVolumePartial(image->NtfsVolume());
  if (partial && MendForFullMount(image->NtfsVolume(), PrintCheckLog)) return 0;
  if (wrote || partial) {
    if (!image->RemountNtfs([] {}, true)) return 0;
    if (IsNtfsVolumePartial(image->NtfsVolume())) {
      // What keeps the volume from mounting whole, said.
      CheckNtfsVolume(image->NtfsVolume(), PrintCheckLog);
      return 0;
    }
  }
  if (!RepairNtfsVolume(image->NtfsVolume(), PrintCheckLog) || FlushNtfsVolume(image->NtfsVolume()))
    return 0;
  // A repair has mended the volume only when its check, on the volume
  // mounted anew, finds nothing left; what is left, it says.
  return image->RemountNtfs(nullptr, true) && CheckNtfsVolume(image->NtfsVolume(), PrintCheckLog)
             ? 1
             : 0;
}
