// Copies between the host and a mounted volume: single files, wildcard sets
// and whole trees, in both directions, with byte progress, the question
// about existing targets, last-write times kept and links carried as links.
// WOW64 file-system redirection is off while a tree copy runs. The volume
// is any VolumeFiles: the mounted image, or a FAT volume of its own.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "image/volume/VolumeFiles.h"

// Copies a host file, a wildcard set of files or a folder tree to volumePath
// (a file keeps its own name when volumePath is an existing folder). A last
// component "*.*" on either path is cut off. *missing (set to 0 by the
// caller, may be null) receives the bytes that were lacking when a file was
// refused for want of space (ERROR_DISK_FULL). Returns the number of items
// copied, a folder counting 1 when created; 0 when nothing was done. A file
// that fails or is cancelled leaves nothing of itself in the volume.
int InjectHostPath(VolumeFiles* volume, const wchar_t* hostPath, const wchar_t* volumePath,
                   uint64_t* missing, VolumeCopyCallback callback, void* user);

// Copies a volume file, a wildcard set or a folder tree to hostPath (the
// target itself; a file keeps its own name inside an existing folder).
// Names taken from the volume that could reach outside the target (".."
// or trailing dots, separators, drive or stream colons, device names) are
// refused as failed files, and links met on either side are never followed
// on the host. 1 when everything was copied or skipped by the callback's
// choice, 0 on a missing source, a failed file or a cancel.
int ExtractToHost(VolumeFiles* volume, const wchar_t* volumePath, const wchar_t* hostPath,
                  VolumeCopyCallback callback, void* user);

// One host file (or link) to the volume path itself, whose folder exists:
// the single step of InjectHostPath. 1 when copied; 0 when skipped by the
// callback, refused (ERROR_DISK_FULL with *missing) or failed.
int InjectHostFile(VolumeFiles* volume, const wchar_t* hostPath, const wchar_t* volumePath,
                   uint64_t* missing, VolumeCopyCallback callback, void* user);
// One volume file (or link) to the host path itself: the single step of
// ExtractToHost. 1 when copied; 0 when skipped by the callback or failed
// (a partial host file is deleted).
int ExtractVolumeFile(VolumeFiles* volume, const wchar_t* volumePath, const wchar_t* hostPath,
                      VolumeCopyCallback callback, void* user);

// A name from a volume that can be created inside a host folder as that
// folder's own child and nothing else.
bool IsSafeHostName(const wchar_t* name);

// FileVersionMS:FileVersionLS of a host file's version resource, 0 when it
// has none.
uint64_t GetHostFileVersion(const wchar_t* path);
// The same for a file of the volume (read through a temporary host copy,
// prefix "ver"; a symbolic link is followed to its target in the volume).
uint64_t GetVolumeFileVersion(VolumeFiles* volume, const wchar_t* path);

// A host path's attributes without following a link at it: 0 when it is
// missing, FILE_ATTRIBUTE_ARCHIVE when it has none.
DWORD GetHostFileAttributes(const wchar_t* path);
// The bytes of every file below a host folder; links are not entered.
uint64_t GetHostTreeSize(const wchar_t* folder);
