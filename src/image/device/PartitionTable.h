// What the partition table of a disk holds, as far as choosing a partition
// by its number needs it.
#pragma once
#include "image/device/DiskIoBlock.h"

// Whether the disk has a partition at a 0-based index: one of the four MBR
// entries with a type and a length, or, on a protective MBR, a GPT entry
// with a type. A disk that begins with a volume's boot sector, or carries
// no table, has only index 0. 1 yes, 0 no, -1 when the table cannot be
// read.
int DiskHasPartition(DiskIoBlock* block, int index);

// Whether a disk's sector 0 is a volume's own boot sector (NTFS, exFAT or
// FAT): the disk has no partition table, the volume starts at sector 0.
bool IsVolumeBootSector(const unsigned char* sector0);
