// Structural check of a mounted NTFS volume: the boot sector and its
// backup, $MFTMirr against $MFT, the runlists of $MFT and its bitmap (from
// $MFTMirr when $MFT's own record is damaged), the header and attributes of
// every record in use, and $Bitmap against the clusters the records use.
// Findings are written through the log function; free of the library's
// headers.
#pragma once
#include "image/ntfs/NtfsVolume.h"

// Receives one message (printf format); most messages end with "\n".
typedef void (*NtfsCheckLog)(const char* format, ...);

// 1 when the boot sector and every record in use could be read and the
// copies and maps agree with what they copy or map (the backup boot sector,
// $MFTMirr, $Bitmap against the clusters the records use), else 0. The
// dirty flag is cleared only when nothing at all was found.
int CheckNtfsVolume(ntfs_volume* vol, NtfsCheckLog log);
