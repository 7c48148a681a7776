// Repair of the most common inconsistencies of a mounted NTFS volume: the
// backup boot sector, the bad-cluster list, $MFTMirr, the upper-case table
// and $LogFile; the dirty flag is cleared last. Free of the library's
// headers.
#pragma once
#include "image/ntfs/NtfsVolume.h"

// 1 when every step succeeded, 0 at the first failure (errno set); the
// steps before it stay done, the dirty flag stays as it was.
int RepairNtfsVolume(ntfs_volume* vol);

// Makes $MFTMirr agree with the first records of $MFT: 0, or -1.
int FixMftMirror(ntfs_volume* vol);
// Checks $UpCase's ASCII range and rewrites the table when it is wrong: 0,
// or -1.
int FixUpcaseTable(ntfs_volume* vol);
