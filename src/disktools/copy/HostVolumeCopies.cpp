// Backup and clone of live host volumes, in the one order every caller
// keeps: what the copy writes to is looked at (the backup's target) or
// opened (the clone's target volume) first, and only a copy that may go on
// switches System Restore off on the volume it reads and opens that.
#include <windows.h>

#include <cwctype>
#include <string>

#include "common/ConsoleOutput.h"
#include "disktools/copy/NewImageTarget.h"
#include "disktools/copy/VolumeCopy.h"
#include "disktools/restore/SystemRestore.h"
#include "image/stack/OverlayNotice.h"

namespace {

// "X:\", as the lines name the volume of a letter.
std::wstring DriveOf(wchar_t letter) {
  return {wchar_t(towupper(letter)), L':', L'\\'};
}

// The volume of letter, opened (writable or through a snapshot), or null
// with a line naming it.
CMountedImage* OpenVolumeNamed(wchar_t letter, int writable) {
  CMountedImage* volume = OpenHostVolumeMount(letter, writable);
  if (!volume) VroOverlayNotice(DriveOf(letter).c_str(), VRO_NOTICE_IN_USE);
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
  int copied = CopyVolumeToNewImage(source, path, raw, gpt, nullptr, callback, context,
                                    DriveOf(letter).c_str());
  DestroyImageMount(source);
  return copied;
}

int CloneHostVolume(wchar_t source, wchar_t target, DiskCopyProgressCallback callback,
                    void* context) {
  // A volume cloned onto itself would be locked for writing while it is
  // read: refused before anything is opened.
  if (towupper(source) == towupper(target)) {
    WriteFrontEndLine(DriveOf(source) +
                      L": it is both the source and the target of the clone (the same drive "
                      L"letter twice): nothing cloned\r\n");
    return VOLUME_COPY_REFUSED;
  }
  CMountedImage* to = OpenVolumeNamed(target, 1);
  if (!to) return VOLUME_COPY_NO_VOLUME;
  StopSystemRestore(source);
  CMountedImage* from = OpenVolumeNamed(source, 0);
  if (!from) {
    DestroyImageMount(to);
    return VOLUME_COPY_NO_VOLUME;
  }
  int copied = CloneVolumeToDisk(from, to, nullptr, callback, context, DriveOf(source).c_str(),
                                 DriveOf(target).c_str());
  DestroyImageMount(from);
  DestroyImageMount(to);
  if (copied == VOLUME_COPY_DONE) RefreshDriveLetter(target);
  return copied;
}
