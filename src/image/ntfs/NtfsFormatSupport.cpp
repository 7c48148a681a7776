// The NTFS glue's services to the formatter.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "image/ntfs/NtfsDevice.h"
#include "image/ntfs/NtfsFormatSupport.h"

extern "C" {
#include <ntfs-3g/bootsect.h>
}

int LocateNtfsPartition(DiskIoBlock* block, int index, unsigned long long* start,
                        unsigned long long* length, int* used, unsigned* sectorSize) {
  return FindNtfsPartition(block, index, start, length, used, sectorSize);
}

bool BuildDefaultNtfsUpcase(uint16_t* table) {
  ntfschar* built = nullptr;
  u32 count = ntfs_upcase_build_default(&built);
  if (!built) return false;
  const u32 entries = 65536;
  if (count < entries) {
    free(built);
    errno = EINVAL;
    return false;
  }
  memcpy(table, built, entries * sizeof(uint16_t));
  free(built);
  return true;
}

bool IsNtfsBootSector(const void* sector) {
  NTFS_BOOT_SECTOR copy;
  memcpy(&copy, sector, sizeof copy);
  return ntfs_boot_sector_is_ntfs(&copy) != 0;
}
