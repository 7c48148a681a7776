#include "disktools/clone/NtfsCloneInstall.h"

#include "disktools/clone/DiskLayout.h"
#include "disktools/clone/GptLayout.h"
#include "disktools/clone/NtfsClone.h"
#include "image/mount/MountedImage.h"

void InstallNtfsCloneEngine() {
  CMountedImage::SetNtfsCloner(CloneNtfsVolume);
  CMountedImage::SetEspCopier(CopyEfiSystemPartition);
  CMountedImage::DiskLayoutRoutines layout = {ReadVolumeBootCode, ReadMbrFirstEntryOnly,
                                              PrepareGptEntriesForCopy, GetGptPartitionUniqueGuid};
  CMountedImage::SetDiskLayoutRoutines(layout);
}
