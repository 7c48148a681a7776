// Structural check of a mounted NTFS volume: the boot sector and its backup
// against the partition, $MFTMirr against $MFT, the runlists of $MFT and its
// bitmap (from $MFTMirr when $MFT's own record is damaged), the header,
// attributes and sizes of every record in use, the folders' indexes against
// the records' names and link counts, the attribute lists against the
// records they name, $Secure, $UpCase, and $Bitmap against the clusters the
// records use. Findings are written through the log function; free of the
// library's headers.
#pragma once
#include <vector>

#include "image/ntfs/NtfsVolume.h"

// Receives one message (printf format); most messages end with "\n".
typedef void (*NtfsCheckLog)(const char* format, ...);

// 1 when the boot sector and every record in use could be read and nothing
// was found, else 0. The dirty flag is cleared only when nothing at all was
// found.
int CheckNtfsVolume(ntfs_volume* vol, NtfsCheckLog log);

// What the records' names and the folders' indexes say of each other, as
// the check finds it: what the repair mends.
struct NtfsNameFaults {
  // Every folder's index was walked whole (else the names are not held
  // against them, and nothing below but the link counts is known).
  bool indexesWhole = false;
  // Records whose header says they are in use but $MFT's bitmap marks free.
  std::vector<long long> unmarked;
  // The names ($FILE_NAME values) that no index holds, with their records.
  struct Name {
    long long record;
    std::vector<unsigned char> value;
  };
  std::vector<Name> unindexed;
  // Records whose link count is not the number of their names.
  std::vector<long long> miscounted;
};
// Reads the records and the folders' indexes as the check does, quietly.
// 1 when every record in use could be read, else 0.
int FindNtfsNameFaults(ntfs_volume* vol, NtfsNameFaults* out);
