// What the NTFS formatter takes from the NTFS glue, free of the library's
// headers: the partition that the "VRODISK" device would open, the
// library's default upper-case table and its boot sector check.
#pragma once
#include <stdint.h>

#include "image/device/DiskIoBlock.h"

// The NTFS partition at index (FindNtfsPartition): start and length in
// bytes, the index used and the disk's sector size; 0 MBR, 1 GPT, or -1
// with errno.
int LocateNtfsPartition(DiskIoBlock* block, int index, unsigned long long* start,
                        unsigned long long* length, int* used, unsigned* sectorSize = nullptr);
// Fills the 65,536-entry default upper-case table: true, or false with errno.
bool BuildDefaultNtfsUpcase(uint16_t* table);
// True when a 512-byte sector passes the library's NTFS boot sector check.
bool IsNtfsBootSector(const void* sector);
