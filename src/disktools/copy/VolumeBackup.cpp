// Backup of a live host volume into a new image, in the one order every
// caller keeps: the target is looked at first, and only a backup that may
// write it switches System Restore off on the volume and opens it.
#include <windows.h>

#include "disktools/copy/NewImageTarget.h"
#include "disktools/copy/VolumeCopy.h"
#include "disktools/restore/SystemRestore.h"
#include "image/stack/OverlayNotice.h"

int BackupVolumeToNewImage(wchar_t letter, const wchar_t* path, int raw, int gpt,
                           DiskCopyProgressCallback callback, void* context) {
  int target = CheckNewImageTarget(path);
  if (target != NEW_IMAGE_TARGET_OK) return CopyResultOfTarget(target);
  // No restore point may be written while the live volume is read; the
  // copy goes on whatever System Restore answers.
  SetVolumeSystemRestore(letter, 0);
  CMountedImage* source = OpenHostVolumeMount(letter, 0);
  if (!source) {
    const wchar_t drive[] = {letter, L':', L'\\', 0};
    VroOverlayNotice(drive, VRO_NOTICE_IN_USE);
    return VOLUME_COPY_NO_SOURCE;
  }
  int copied = CopyVolumeToNewImage(source, path, raw, gpt, nullptr, callback, context);
  DestroyImageMount(source);
  return copied;
}
