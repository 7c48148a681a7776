// The file operations a mounted volume offers to the code that walks it
// (the tree copies): the mounted image provides them for whatever it has
// mounted, a FAT volume on its own through CFatVolumeFiles. Paths are
// rooted at the volume; results are 1 / 0 with the Win32 last error unless
// stated.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "image/volume/VolumeTypes.h"

struct _ntfs_volume;

class VolumeFiles {
 public:
  virtual ~VolumeFiles() = default;

  // VOLUME_PATH_MISSING, VOLUME_PATH_FILE or VOLUME_PATH_FOLDER.
  virtual int GetPathType(const wchar_t* path) = 0;
  // Each out value may be null. Folders carry FILE_ATTRIBUTE_DIRECTORY.
  virtual int GetFileInfo(const wchar_t* path, FILETIME* creation, FILETIME* lastWrite,
                          FILETIME* lastAccess, DWORD* attributes, uint64_t* size) = 0;
  // Each in value may be null; *attributes comes back with the previous value.
  virtual int SetFileInfo(const wchar_t* path, const FILETIME* creation, const FILETIME* lastWrite,
                          const FILETIME* lastAccess, DWORD* attributes) = 0;
  // Bytes read (the count is cut at the end of the data); 0 on failure.
  virtual uint64_t ReadFile(const wchar_t* path, void* buffer, uint64_t offset, uint64_t count) = 0;
  // Bytes written into an existing file, which grows as needed and keeps
  // everything else; 0 on failure.
  virtual uint64_t WriteFile(const wchar_t* path, const void* buffer, uint64_t offset,
                             uint64_t count) = 0;
  // Creates a node by mode: 0x8000 file, 0x4000 folder, 0xA000 symbolic-link
  // node (target), 0x2000 device node. A volume without links or device
  // nodes fails with ERROR_NOT_SUPPORTED.
  virtual int CreatePath(const wchar_t* path, unsigned int mode,
                         const wchar_t* target = nullptr) = 0;
  // Creates every missing folder of the path.
  virtual int CreateDirectoryTree(const wchar_t* path) = 0;
  // A file, or a folder with everything below it.
  virtual int DeletePath(const wchar_t* path) = 0;
  // The callback gets every entry (kind 4 folder, 8 file) and stops the
  // listing by returning 0. 1 when the folder was listed.
  virtual int EnumDirectory(const wchar_t* path, VolumeEnumCallback callback, void* user) = 0;
  // The same, and in *faults what the listing found of the bitmap of an
  // NTFS folder's index (nothing on other volumes).
  virtual int EnumDirectoryChecked(const wchar_t* path, VolumeEnumCallback callback, void* user,
                                   IndexBitmapFaults* faults) {
    *faults = IndexBitmapFaults();
    return EnumDirectory(path, callback, user);
  }
  // Links: the tag of a symbolic link or mount point (0 otherwise), its
  // target, and a new link. A volume without links has none.
  virtual DWORD GetReparseTag(const wchar_t* path) = 0;
  virtual int GetLinkTarget(const wchar_t* path, wchar_t* buffer, int length) = 0;
  virtual int CreateLink(const wchar_t* path, const wchar_t* target, unsigned int createMode,
                         DWORD tag) = 0;
  // Whether a file of `size` bytes written at `path` finds room on the
  // volume that holds it: its free clusters, with those the file at path
  // gives back when it is replaced, against the clusters the new file takes
  // (none for data its record may hold; a cluster more when its folder must
  // grow for a new name). 1 it fits (exactly, too); 0 it does not, with
  // *missing the bytes it lacks; -1 the room cannot be told (the writes
  // then find out).
  virtual int RoomFor(const wchar_t* path, uint64_t size, uint64_t* missing) = 0;
  // A last-write time as the volume that holds `path` keeps it, at its own
  // resolution (FAT 2 s, exFAT 10 ms; NTFS keeps it whole).
  virtual FILETIME KeptWriteTime(const wchar_t* path, const FILETIME& time) {
    (void)path;
    return time;
  }
  // The NTFS volume when `path` lies on one that copies may stream through
  // directly, else null.
  virtual struct _ntfs_volume* NtfsVolumeFor(const wchar_t* path) = 0;

  // 1 when the file starts with "MZ", has a "PE" header and machine 0x8664
  // or 0x14C (reads at most 64 KiB).
  int IsWindowsExecutable(const wchar_t* path);
};
