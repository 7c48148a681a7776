// NTFS resize over a mounted library volume: the cluster-accounting check,
// growing, shrinking with the data beyond the new end moved inside it
// (not $MFT's own, $Bitmap's or a record's with an attribute list), $Bitmap
// and $BadClus:$Bad sized to the new volume, the boot sector and its backup in
// the partition's last sector. Messages go to the standard output. Free of
// the library's headers so that the disk tools can call it.
#pragma once
#include <stdint.h>

#include <vector>

#include "image/ntfs/NtfsVolume.h"

// Resizes the volume to newBytes (the new partition size; one sector of it
// holds the backup boot sector). block and partition name the partition
// table entry that takes the new sector count (null block: none). 1 on
// success, 0 on failure: an error the engine meets is printed and reported
// here, never by ending the process.
int ResizeNtfsVolume(ntfs_volume* vol, DiskIoBlock* block, int partition, uint64_t newBytes);

// Receives one message (printf format).
typedef void (*NtfsMessageLog)(const char* format, ...);

// The resize's first step alone: every cluster the records' runs name lies
// inside the volume, is named once and is marked in $Bitmap, and $Bitmap
// marks nothing else. Its lines go to `log` (null: the standard output).
// 1 when the volume passes, else 0.
int CheckNtfsClusterAccounting(ntfs_volume* vol, NtfsMessageLog log);

// The clusters the records' runs name, one bit each in *used (as many
// bytes as $Bitmap holds for the volume), with the count of those named
// more than once and of those outside the volume; the runs of record
// skipRecord are left out (-1: none). Every record in use counts, base or
// extension, read from $MFT itself (NtfsRecordWalk.h). Nothing is printed.
// 1 when every record in use could be walked, else 0 (*unread, when
// given: the record in use that could not be, -1 when $MFT itself could
// not be read).
int CollectNtfsClusterUse(ntfs_volume* vol, int64_t skipRecord, std::vector<uint8_t>* used,
                          int64_t* multiRef, int64_t* outside, int64_t* unread = nullptr);

// Clusters recorded in $BadClus:$Bad (0 when the list cannot be read).
uint64_t CollectBadClusterRuns(ntfs_volume* vol);

// Sets the device's partition length to ceil(bytes / 512) sectors and, on
// an MBR disk with a block, writes that count into entry `partition`.
// 0, or -1 when sector 0 could not be read or written.
int UpdatePartitionSectorCount(DiskIoBlock* block, ntfs_volume* vol, int partition, uint64_t bytes);

// Puts a copy of the boot sector into the device's last sector of the size
// the volume declares (at least 512 bytes), written whole, when it does not
// hold one yet. 0, or -1.
int SyncBackupBootSector(ntfs_volume* vol);

// Makes $BadClus:$Bad one sparse run over the whole volume when it records
// bad clusters. 0, or -1 when the attribute cannot be opened or stored.
int ResetBadClusterList(ntfs_volume* vol);
