// Copies of a whole NTFS volume that stay bootable: a live host volume or
// the volume of an image into a new image (backup, convert), and one host
// volume onto another (clone). The page, hibernation and swap files are
// left out, the clusters go through the NTFS clone engine, and the copy's
// boot configuration is repaired afterwards. Plus the small factories that
// open and close the mounted images the engines take.
#pragma once
#include <stdint.h>

#include "image/ntfs/NtfsCloneIo.h"

class CMountedImage;
class CHostVolume;

// Results of the engines. Every failure but a cancel has a line naming its
// cause: one that what failed gave, else the engine's own, which only a front
// end that shows lines writes (common/ConsoleOutput.h, FrontEndLines); a
// host write that failed (a full host disk) is named first.
enum VolumeCopyResult {
  VOLUME_COPY_FAILED = 0,  // also a cancel from the callback
  VOLUME_COPY_DONE = 1,
  VOLUME_COPY_TARGET_REFUSED = 2,  // the image at the target may not be replaced
  VOLUME_COPY_NO_VOLUME = 3,       // a host volume or the source image cannot be opened
  VOLUME_COPY_REFUSED = 4,         // the copy would write what it reads (the target is the
                                   // source or one of its files; one drive letter twice),
                                   // or the source's journal Windows left unclean
  VOLUME_COPY_SOURCE_HELD = 5,     // the source image is held by another program or kept
                                   // closed by a file a command left
};

// The result of a copy whose target (disktools/copy/NewImageTarget.h) gave
// `target`: done, refused or failed.
int CopyResultOfTarget(int target);

// A new mounted image on the host volume of letter (read-only through a
// snapshot where one can be taken; writable after lock and dismount), or
// null when it cannot be opened.
CMountedImage* OpenHostVolumeMount(wchar_t letter, int writable);
// A new mounted image on an image file (write mode as CMountedImage::
// OpenImage, 0 read-only; no write-back file, partition 0), or null.
CMountedImage* OpenImageFileMount(const wchar_t* path, int writeMode);
// A new mounted image on a newly created, NTFS-formatted image of megabytes
// MiB (raw: plain sectors behind a header sector, else the own sparse
// format), with the given first sector, boot code and GPT entry pair (each
// may be null), or null.
CMountedImage* CreateImageFileMount(const wchar_t* path, uint32_t megabytes, int raw,
                                    int bootChoice, uint8_t align, const void* mbr,
                                    const void* bootCode, const void* gptEntries);
// Closes, destroys and frees a mounted image: 1, or 0 for null.
int DestroyImageMount(CMountedImage* image);

// Backup and convert: copies source's NTFS volume into a new image at path
// (an existing file there is replaced), raw or own format, with the
// source's layout or, with gpt, a GPT layout with an EFI system partition.
// extraSkip: further runs not to copy, ended by one of length 0 (may be
// null). VOLUME_COPY_DONE; VOLUME_COPY_FAILED on failure or cancel;
// VOLUME_COPY_TARGET_REFUSED for a target held before or while the copy
// ran (disktools/copy/NewImageTarget.h). A copy that does not end done
// leaves path as it was. sourceName: what the lines call the source (null:
// its image path).
int CopyVolumeToNewImage(CMountedImage* source, const wchar_t* path, int raw, int gpt,
                         const ClusterRun* extraSkip, DiskCopyProgressCallback callback,
                         void* context, const wchar_t* sourceName = nullptr);

// Convert: the image at sourcePath (with its update files when one is
// named) copied as CopyVolumeToNewImage does into a new image at
// targetPath. Its results; VOLUME_COPY_REFUSED for a target that is the
// source or one of its files; VOLUME_COPY_NO_VOLUME or, held by another
// program or by a file a command left beside it, VOLUME_COPY_SOURCE_HELD
// for a source that does not open.
int ConvertImageToNewImage(const wchar_t* sourcePath, const wchar_t* targetPath, int raw, int gpt,
                           DiskCopyProgressCallback callback, void* context);
// True when writing targetPath would overwrite a file the volume of the
// image at sourcePath is read through (the image, its base, update and
// write-back files); a front end that shows lines then gets the line.
bool ConvertTargetIsSource(const wchar_t* sourcePath, const wchar_t* targetPath);

// Backup: the target checked (CheckNewImageTarget), System Restore switched
// off on the volume of letter, the volume opened and copied into a new
// image at path as CopyVolumeToNewImage does. Its results, or
// VOLUME_COPY_NO_VOLUME.
int BackupVolumeToNewImage(wchar_t letter, const wchar_t* path, int raw, int gpt,
                           DiskCopyProgressCallback callback, void* context);
// Clone between two host volumes: the target opened writable, System
// Restore switched off on the source, the source opened and copied as
// CloneVolumeToDisk does, the target's letter refreshed after a done copy.
// Its results, VOLUME_COPY_NO_VOLUME, or VOLUME_COPY_REFUSED for one letter
// twice.
int CloneHostVolume(wchar_t source, wchar_t target, DiskCopyProgressCallback callback,
                    void* context);

// Clone: copies source's NTFS volume onto target's (opened writable, at
// least as large; a larger one keeps its size). VOLUME_COPY_DONE, or
// VOLUME_COPY_FAILED on failure or cancel. sourceName, targetName: what the
// lines call the two (null: their image paths).
int CloneVolumeToDisk(CMountedImage* source, CMountedImage* target, const ClusterRun* extraSkip,
                      DiskCopyProgressCallback callback, void* context,
                      const wchar_t* sourceName = nullptr, const wchar_t* targetName = nullptr);

// Removes and defines again the drive letter of a volume whose content was
// replaced, so that the system mounts it afresh.
void RefreshDriveLetter(wchar_t letter);

// For tests: where OpenHostVolumeMount gets its host-volume objects (null:
// the system's own).
typedef CHostVolume* (*HostVolumeFactory)(wchar_t letter);
void SetHostVolumeFactory(HostVolumeFactory factory);
