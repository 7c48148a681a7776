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
  uint64_t lastLba;      // inclusive
  uint32_t sectorBytes;  // the disk's sectors, which the LBAs count
};

// The GPT of a disk: the array's first LBA, the entry count and size. False
// without a protective MBR and "EFI PART" or when a read fails.
struct GptArray {
  uint64_t entriesLba;
  uint32_t count;
  uint32_t entrySize;
  uint32_t sectorBytes;  // the disk's sectors (its header lies in the second)
};
bool ReadGptArray(DiskIoBlock* disk, GptArray* out);
// Entry i (its first 128 bytes). False when the read fails.
bool ReadGptEntry(DiskIoBlock* disk, const GptArray& gpt, uint32_t i, uint8_t* entry);
// Sectors behind the last partition that hold the backup GPT: the gap the
// formatter leaves, the entry array and the header, which must end in the
// disk's last sector.
const uint64_t kGptTailSectors = 4098;
extern const uint8_t kEfiSystemPartitionType[16];
extern const uint8_t kBasicDataType[16];

// The first entry of EFI system partition type in the disk's GPT (the disk
// needs a protective MBR and "EFI PART"). False when there is none or a
// read fails.
bool FindEfiSystemPartition(DiskIoBlock* disk, GptPartitionExtent* out);

// Copies the source disk's EFI system partition sector by sector onto the
// target disk's. ESP_COPY_FAILED when either disk lacks one, the source's
// is longer than the target's or of sectors of another size, or a sector
// cannot be read or written.
int CopyEfiSystemPartition(ntfs_volume* source, ntfs_volume* target);
