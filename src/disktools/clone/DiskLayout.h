// Templates and GPT entries taken from the disk under a mounted NTFS
// volume for a copy of it: the volume's boot code, the disk's MBR with
// only its first entry, the volume's partition GUID, and the entry pair a
// new GPT disk gets.
#pragma once
#include <stdint.h>

#include "image/ntfs/NtfsCloneIo.h"

const uint32_t kBootCodeBytes = 8192;
const uint32_t kGptEntryPairBytes = 256;

// The volume's first 8,192 bytes with the boot sector's geometry and volume
// fields (bytes 11-83) cleared. False when they cannot be read.
bool ReadVolumeBootCode(ntfs_volume* vol, uint8_t* buffer);

// Sector 0 of the disk with partition entries 2-4 cleared (boot code, disk
// signature, entry 1 and 55 AA kept). False when it cannot be read.
bool ReadMbrFirstEntryOnly(ntfs_volume* vol, uint8_t* buffer);

// 1 with the unique GUID of the volume's own GPT entry (of basic data
// type) in out; 0 on an MBR disk or when the entry cannot be read.
int GetGptPartitionUniqueGuid(ntfs_volume* vol, uint8_t* out);

// On a GPT disk: a new disk GUID in diskGuid, and in entries the first EFI
// system partition entry (first 128 bytes) and the volume's own entry
// (second 128 bytes), each with a new unique GUID. 1, or 0 when sector 0
// cannot be read or is no protective MBR.
int PrepareGptEntriesForCopy(ntfs_volume* vol, uint8_t* diskGuid, uint8_t* entries);
