// Repair of the most common inconsistencies of a mounted NTFS volume:
// $MFTMirr against $MFT, the backup boot sector, the bad-cluster list, the
// upper-case table, $Bitmap against the clusters the records name, and
// $LogFile; the dirty flag is cleared last. A volume where two records name
// one cluster is refused before anything but $MFTMirr is written. Free of
// the library's headers.
#pragma once
#include "image/ntfs/NtfsVolume.h"

// 1 when every step succeeded, 0 at the first failure (errno set); the
// steps before it stay done, the dirty flag stays as it was.
int RepairNtfsVolume(ntfs_volume* vol);

// Makes $MFTMirr and the first records of $MFT agree: a torn or corrupt
// copy takes the other; of two sound copies that differ, the one whose
// clusters no other record names wins ($MFT's when both qualify), and
// neither qualifying fails with EIO. 0, or -1; *wrote tells whether a
// record was written (the library's open inodes then hold old copies).
int FixMftMirror(ntfs_volume* vol, bool* wrote = nullptr);
// Checks $UpCase's ASCII range and rewrites the table when it is wrong: 0,
// or -1.
int FixUpcaseTable(ntfs_volume* vol);

// What a volume mounted only partly needs before the full mount takes it,
// once its mirror agrees: the upper-case table mended, unless two records
// name one cluster (then nothing is written, errno EIO). 0, or -1.
int MendForFullMount(ntfs_volume* vol);

// Writes the boot sector that the copy in the partition's last sector
// stands in for (IsNtfsBootFromBackup) into the first sector. 1, or 0.
int RestoreNtfsBootSector(ntfs_volume* vol);
