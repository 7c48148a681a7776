// Repair of the most common inconsistencies of a mounted NTFS volume:
// $MFTMirr against $MFT, the backup boot sector, the bad-cluster list, the
// upper-case table, $Bitmap against the clusters the records name, the
// folders' index bitmaps against their indexes, the names no folder's
// index holds and the link counts, and $LogFile; the dirty flag is
// cleared last. A volume whose clusters cannot all be told
// (a record in use that cannot be read, a cluster two records name) is
// refused before anything but $MFTMirr is written. Free of the library's
// headers.
#pragma once
#include "image/ntfs/NtfsVolume.h"
#include "image/ntfs/check/NtfsCheck.h"

// 1 when every step succeeded, 0 at the first failure (errno set); the
// steps before it stay done, the dirty flag stays as it was. What the
// repair refuses it says through log.
int RepairNtfsVolume(ntfs_volume* vol, NtfsCheckLog log);

// True when the clusters of every record in use can be told (each record
// read whole from $MFT, base and extension alike) and none is named twice
// or lies outside the volume: a rebuilt $Bitmap, or a write the repair
// makes, then never hands out or overwrites what a record uses. Else false
// (errno EIO) after a line through log.
bool CanTellClusterUse(ntfs_volume* vol, NtfsCheckLog log);

// Makes $MFTMirr and the first records of $MFT agree: a torn or corrupt
// copy takes the other; of two sound copies that differ, the one whose
// clusters no other record names wins ($MFT's when both qualify), and
// neither qualifying fails with EIO. 0, or -1; *wrote tells whether a
// record was written (the library's open inodes then hold old copies).
int FixMftMirror(ntfs_volume* vol, bool* wrote = nullptr);
// Holds $UpCase against the tables this system knows (NtfsUpcaseTable.h)
// and writes the entries none of them gives back from the default table:
// 0, or -1.
int FixUpcaseTable(ntfs_volume* vol);

// What a volume mounted only partly needs before the full mount takes it,
// once its mirror agrees: the upper-case table mended, unless the clusters
// cannot be told (then nothing is written). 0, or -1.
int MendForFullMount(ntfs_volume* vol, NtfsCheckLog log);

// Every folder's $I30 bitmap made to mark exactly the index blocks its
// index names from the root down (the library hands out a block the bitmap
// marks free when the index grows); a folder whose index cannot be walked
// whole is left as it is. 0, or -1.
int MendIndexBitmaps(ntfs_volume* vol);

// The names the check finds no index holding and the link counts
// (NtfsNameFaults): a record in use that $MFT's bitmap lost is marked in
// it; a name goes back into its folder's index when that folder is there
// and holds no other file of the name, else the record is given a name in
// the root folder "found.000" instead; every link count touched or found
// wrong becomes the number of the record's names. Nothing of the names is
// done while a folder's index is damaged. 0, or -1.
int MendNtfsNames(ntfs_volume* vol);
