// Internals of the NTFS glue shared by its files and by engines that work on
// the library's own objects. Needs the libntfs-3g headers: not for files
// that include <windows.h>.
#pragma once
#include "image/ntfs/NtfsFiles.h"
#include "image/ntfs/NtfsLib.h"
#include "image/ntfs/NtfsVolume.h"

// Allocates a device with this system's operations table over the private
// data (a DiskIoBlock for "VRODISK"), opens it at the partition index and
// mounts it. On failure the device is freed and errno kept.
// mirrorFromMft: $MFTMirr reads as the first records of $MFT (VRODISK only).
ntfs_volume* ntfs_disk_mount(const char* name, int partition, unsigned long flags, void* priv,
                             bool mirrorFromMft = false);
// The library's device mount, with the partition index passed to the open.
ntfs_volume* ntfs_disk_device_mount(struct ntfs_device* dev, int partition, unsigned long flags);

// UTF-16 path, components separated by backslashes, looked up from the root
// (or the given parent); each name is matched without regard to case.
ntfs_inode* NtfsPathToInode(ntfs_volume* vol, ntfs_inode* parent, const wchar_t* path);
// The same, looked up from the folder of that MFT record number.
ntfs_inode* NtfsPathToInodeFrom(ntfs_volume* vol, u64 folder, const wchar_t* path);
// Opens the directory holding the last component of path; *name and *nameLen
// get that component (pointing into path). Errors: ENOENT, EINVAL for an
// empty name, ENAMETOOLONG.
ntfs_inode* NtfsOpenParent(ntfs_volume* vol, const wchar_t* path, const wchar_t** name,
                           int* nameLen);
// The record of a name in folder dir whose index the library cannot walk
// because an index block in use was never written (a writer that died):
// found among the names of the index root and the blocks that are whole.
// -1 with errno (ENOENT, EIO for any other fault of the index).
u64 NtfsLookupPastMissingBlocks(ntfs_inode* dir, const ntfschar* name, int len);
// Walks the index of folder dir from its root (each block it names read,
// whatever the $I30 bitmap says) and compares the bitmap (NtfsFiles.h).
// 0, or -EIO when a block it names cannot be read (the notes then say
// nothing).
int NtfsWalkFolderIndex(ntfs_inode* dir, NtfsIndexBitmapNotes* notes);
// Whether a name may be added to or taken from folder dir: the library
// takes an index block its $I30 bitmap marks free when the index grows,
// also on a removal that moves an entry up, so a block the index uses
// but the bitmap marks free would be written over the names it holds. 0,
// or -1 with errno NTFS_EINDEXBITMAP. A folder found sound is not walked
// again while the volume stays mounted (the library's writes keep the two
// agreeing); one whose blocks cannot all be read is left to the library,
// which fails on the block it cannot read.
int NtfsFolderTakesNames(ntfs_inode* dir);
// The folders found sound this mount (VRODISK and host devices alike).
bool NtfsFolderKnownSound(ntfs_volume* vol, u64 folder);
void NtfsNoteFolderSound(ntfs_volume* vol, u64 folder);

// Record numbers of a path and of the directory holding its last component
// (nothing stays open); -1 with errno on failure.
s64 NtfsPathToMft(ntfs_volume* vol, const wchar_t* path);
s64 NtfsParentMft(ntfs_volume* vol, const wchar_t* path, const wchar_t** name, int* nameLen);
// The name of ni as stored in directory dirMft (not the DOS-only one), for
// operations that must name the exact index entry. Its length, or -1.
int NtfsStoredName(ntfs_inode* ni, u64 dirMft, ntfschar* out, int outLen);

// Grows an attribute to size bytes with its clusters allocated at once
// (zeros, never a hole that later writes fill: cut off before they do, the
// record can reach the disk sparse while the file's flags do not say so,
// and the file no longer opens); compressed data grows by holes. One as
// long or longer is left as it is. 0, or -1 with errno.
int NtfsGrowSolid(ntfs_attr* na, s64 size);

// The inode's reparse point as its attribute holds it (bytes: the
// attribute's size, at least its 8-byte header; the data the header's
// length gives lies within it), to be freed; null with errno when it has
// none or it cannot be read, NTFS_EDAMAGED when its lengths run past it.
REPARSE_POINT* NtfsReadReparsePoint(ntfs_inode* ni, size_t* bytes);
// The reparse tag when it is a mount point or a symbolic link, else 0.
u32 NtfsLinkReparseTag(ntfs_inode* ni);

// True when the file's content is kept outside its unnamed $DATA: a file
// compressed by the Windows Overlay Filter (the data in a "WofCompressedData"
// stream) or deduplicated (the data in the chunk store). Its unnamed stream
// is empty or sparse, so reading it would hand out wrong bytes.
bool NtfsDataHeldElsewhere(ntfs_inode* ni);
// Opens the unnamed $DATA of ni as the file's content, for reading or
// writing in place; null with errno EOPNOTSUPP when the content is held
// elsewhere (see above), else with the library's errno.
ntfs_attr* NtfsOpenFileData(ntfs_inode* ni);

// Next attribute of the type (0 = any) in the search; errno EINVAL without a
// context, ENOENT at the end.
ATTR_RECORD* FindNextNtfsAttribute(u32 type, ntfs_attr_search_ctx* ctx);
