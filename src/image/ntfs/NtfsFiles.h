// The NTFS half of the mounted image's file API: path type, information and
// times, enumeration, creation of files, folders and links, deletion of
// trees, and reparse points. Results: 0 (or a value) on success, minus an
// errno value on failure.
#pragma once
#include <vector>

#include "image/ntfs/NtfsVolume.h"

// Laid out as a Win32 FILETIME: 100 ns units since 1601, UTC.
struct NtfsFileTime {
  unsigned long low;
  unsigned long high;
};

// Attribute bits reported from $STANDARD_INFORMATION and the ones written back.
#define NTFS_ATTR_READ_MASK 0x7FB7u
#define NTFS_ATTR_WRITE_MASK 0x6807u

// Create modes: a folder, a regular file, a symbolic-link node, a device
// node (also asked for with the marker mode).
#define NTFS_MODE_DIRECTORY 0x4000u
#define NTFS_MODE_FILE 0x8000u
#define NTFS_MODE_SYMLINK 0xA000u
#define NTFS_MODE_DEVICE 0x2000u
#define NTFS_MODE_DEVICE_MARKER 0x12345678u

#define NTFS_TAG_MOUNT_POINT 0xA0000003u
#define NTFS_TAG_SYMLINK 0xA000000Cu

// Entry kinds as the library reports them.
#define NTFS_KIND_DIRECTORY 4
#define NTFS_KIND_FILE 8

// One entry of a folder listing; returns nonzero to go on, 0 to stop.
typedef int (*NtfsEnumCallback)(const wchar_t* name, unsigned int kind, unsigned long sizeLow,
                                unsigned long sizeHigh, const NtfsFileTime* creation,
                                const NtfsFileTime* lastWrite, const NtfsFileTime* lastAccess,
                                unsigned long attributes, void* user);

struct NtfsFileInfo {
  NtfsFileTime creation;
  NtfsFileTime lastWrite;
  NtfsFileTime lastAccess;
  unsigned long attributes;
  unsigned long long size;
  bool directory;
};

// 0 missing, 1 file, 2 directory.
int NtfsGetPathType(ntfs_volume* vol, const wchar_t* path);
int NtfsGetFileInfo(ntfs_volume* vol, const wchar_t* path, NtfsFileInfo* info);
// Each pointer may be null; *attributes comes back with the previous value.
int SetNtfsFileInfo(ntfs_volume* vol, const wchar_t* path, const NtfsFileTime* creation,
                    const NtfsFileTime* lastWrite, const NtfsFileTime* lastAccess,
                    unsigned long* attributes);
// What a listing found of a folder's $I30 bitmap, which it only compares
// (every block the index names is read, whatever the bitmap says): blocks
// the index names that it marks free, and blocks it marks in use that the
// index does not name. Both 0 for a sound index, and for one whose blocks
// could not all be read (the listing then fails). `named` holds the
// blocks the index names, a bit each, as long as the bitmap or the blocks
// there are, whichever is longer (empty for an index without blocks).
struct NtfsIndexBitmapNotes {
  int namedFree = 0;
  int unnamedUsed = 0;
  std::vector<unsigned char> named;
};
// Lists ".." and every name of the folder's index as stored (DOS-only
// names and the system files left out). -EIO after listing the names that
// could be read, when a block of the index could not be.
int NtfsEnumDirectory(ntfs_volume* vol, const wchar_t* path, NtfsEnumCallback callback, void* user,
                      NtfsIndexBitmapNotes* notes = nullptr);
// Creates a file, folder or node by mode; target is for symbolic-link nodes.
int NtfsCreatePath(ntfs_volume* vol, const wchar_t* path, unsigned int mode, const wchar_t* target);
// A file, or a folder with everything below it.
int NtfsDeletePath(ntfs_volume* vol, const wchar_t* path);
// Reparse tag of a mount point or symbolic link, else 0.
unsigned int NtfsGetReparseTag(ntfs_volume* vol, const wchar_t* path);
// The link's target (substitute name without "\??\"); minus errno, or the
// length copied.
int NtfsGetLinkTarget(ntfs_volume* vol, const wchar_t* path, wchar_t* buffer, int length);
int NtfsCreateLink(ntfs_volume* vol, const wchar_t* path, const wchar_t* target,
                   unsigned int createMode, unsigned int tag);
// Bad clusters recorded in $BadClus:$Bad.
unsigned long long NtfsCountBadClusters(ntfs_volume* vol);
