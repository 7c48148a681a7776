// The GPT of the disk under a mounted NTFS volume, for the copy engines:
// finding the EFI system partition and copying it onto another disk's.
#pragma once
#include <stdint.h>

#include "image/ntfs/NtfsCloneIo.h"

// Results of CopyEfiSystemPartition.
enum EspCopyResult {
    ESP_COPY_DONE = 0,
    ESP_COPY_FAILED = -1,
};

struct GptPartitionExtent {
    uint64_t firstLba;
    uint64_t lastLba;   // inclusive
};

// The first entry of EFI system partition type in the disk's GPT (the disk
// needs a protective MBR and "EFI PART"). False when there is none or a
// read fails.
bool FindEfiSystemPartition(DiskIoBlock* disk, GptPartitionExtent* out);

// Copies the source disk's EFI system partition sector by sector onto the
// target disk's. ESP_COPY_FAILED when either disk lacks one, the source's
// is longer than the target's, or a sector cannot be read or written.
int CopyEfiSystemPartition(ntfs_volume* source, ntfs_volume* target);
