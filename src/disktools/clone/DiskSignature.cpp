#include "disktools/clone/DiskSignature.h"

#include "common/ByteOrder.h"

uint32_t ReadDiskSignatureAndOffset(ntfs_volume* vol, uint64_t* offset) {
  uint64_t start = 0;
  if (!GetNtfsPartitionStart(vol, &start)) start = 0;
  if (offset) *offset = start;
  DiskIoBlock* disk = GetNtfsDiskBlock(vol);
  uint8_t sector[512];
  if (!disk || !disk->read ||
      disk->read(disk->owner, 0, sector, sizeof sector) != (int)sizeof sector)
    return 0;
  return Ld32(sector + 440);
}
