// The volume's own files, which no writer of this system touches: the
// system records 0 to 23, and $Extend (record 11) with every file named in
// it or below it ($Quota, $ObjId, $Reparse, $UsnJrnl, $RmMetadata and what
// it holds, $Deleted, ...), wherever their records lie and whatever the
// case of the name a path gives them. They are told by record numbers:
// each name a record holds is followed up to the root. Free of the
// library's headers, so that Win32 code can ask before it writes.
#pragma once
#include "image/ntfs/NtfsVolume.h"

struct _ntfs_inode;
typedef struct _ntfs_inode ntfs_inode;

// 1 when record mft is a metafile, 0 when not, minus errno when a record
// on the way cannot be read. A name whose folder is free, or holds
// another file now, leads nowhere.
int NtfsIsMetafileRecord(ntfs_volume* vol, unsigned long long mft);

// Whether the entry of folder `folder` (the root, or a folder found to be
// no metafile) that points at record mft is a metafile: the one rule for
// each step of a path and each entry of a listing. A system record is
// one, and so is a record with another name among the metafiles; a name
// such as "$MFT" or "$Extend" below the root is an ordinary file's. 1,
// 0, or minus errno. The same for an inode open already, from its record
// as the library holds it.
int NtfsIsMetafileEntry(ntfs_volume* vol, unsigned long long folder, unsigned long long mft);
int NtfsIsMetafileInode(ntfs_inode* ni, unsigned long long folder);

// The gates of the writers; 0, or -EACCES for a metafile (Win32's error
// 5), or minus errno when it cannot be told:
// - of a file written into, resized, given a reparse point, times or
//   attributes, renamed or deleted (the root is refused here too: it is
//   renamed and deleted never);
// - of a folder a name goes into or leaves (the root takes names);
// - of a path about to be written, existing or not: refused when a
//   folder or file on its way from the root is a metafile (the root
//   aside), as far as the path exists; the root itself passes.
int NtfsMetafileRecordGate(ntfs_volume* vol, unsigned long long mft);
int NtfsMetafileFolderGate(ntfs_volume* vol, unsigned long long folder);
int NtfsMetafilePathGate(ntfs_volume* vol, const wchar_t* path);
