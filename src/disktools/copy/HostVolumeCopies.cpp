// Backup and clone of live host volumes, in the one order every caller
// keeps: what the copy writes to is looked at (the backup's target) or
// opened (the clone's target volume) first, and only a copy that may go on
// switches System Restore off on the volume it reads and opens that.
#include <windows.h>

#include "disktools/copy/NewImageTarget.h"
#include "disktools/copy/VolumeCopy.h"
#include "disktools/restore/SystemRestore.h"
#include "image/stack/OverlayNotice.h"

namespace {

// The volume of letter, opened (writable or through a snapshot), or null
// with a line naming it.
CMountedImage* OpenVolumeNamed(wchar_t letter, int writable) {
  CMountedImage* volume = OpenHostVolumeMount(letter, writable);
  if (!volume) {
    const wchar_t drive[] = {letter, L':', L'\\', 0};
    VroOverlayNotice(drive, VRO_NOTICE_IN_USE);
  }
  return volume;
}

// No restore point may be written while the live volume is read; the copy
// goes on whatever System Restore answers.
void StopSystemRestore(wchar_t letter) {
  SetVolumeSystemRestore(letter, 0);
}

}  // namespace

int BackupVolumeToNewImage(wchar_t letter, const wchar_t* path, int raw, int gpt,
                           DiskCopyProgressCallback callback, void* context) {
  int target = CheckNewImageTarget(path);
  if (target != NEW_IMAGE_TARGET_OK) return CopyResultOfTarget(target);
  StopSystemRestore(letter);
  CMountedImage* source = OpenVolumeNamed(letter, 0);
  if (!source) return VOLUME_COPY_NO_VOLUME;
  int copied = CopyVolumeToNewImage(source, path, raw, gpt, nullptr, callback, context);
  DestroyImageMount(source);
  return copied;
}

int CloneHostVolume(wchar_t source, wchar_t target, DiskCopyProgressCallback callback,
                    void* context) {
  CMountedImage* to = OpenVolumeNamed(target, 1);
  if (!to) return VOLUME_COPY_NO_VOLUME;
  StopSystemRestore(source);
  CMountedImage* from = OpenVolumeNamed(source, 0);
  if (!from) {
    DestroyImageMount(to);
    return VOLUME_COPY_NO_VOLUME;
  }
  int copied = CloneVolumeToDisk(from, to, nullptr, callback, context);
  DestroyImageMount(from);
  DestroyImageMount(to);
  if (copied == VOLUME_COPY_DONE) RefreshDriveLetter(target);
  return copied;
}
