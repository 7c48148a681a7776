#include "image/device/PartitionTable.h"

#include <string.h>

#include "common/ByteOrder.h"
#include "image/device/DiskSectorSize.h"
#include "image/device/MbrTemplate.h"

namespace {

const unsigned int kSector = 512;

bool ReadExact(DiskIoBlock* block, unsigned long long offset, unsigned char* buffer,
               unsigned int count) {
  return block->read(block->owner, offset, buffer, count) == (int)count;
}

bool ReadBlock(void* block, uint64_t offset, void* buffer, uint32_t count) {
  return ReadExact(static_cast<DiskIoBlock*>(block), offset, static_cast<unsigned char*>(buffer),
                   count);
}

}  // namespace

bool IsVolumeBootSector(const unsigned char* s) {
  return memcmp(s + 3, "NTFS    ", 8) == 0 || memcmp(s + 3, "EXFAT   ", 8) == 0 ||
         memcmp(s + 0x36, "FAT", 3) == 0 || memcmp(s + 0x52, "FAT32   ", 8) == 0;
}

int DiskHasPartition(DiskIoBlock* block, int index) {
  unsigned char mbr[kSector];
  if (!block || !block->read || index < 0 || !ReadExact(block, 0, mbr, kSector)) return -1;
  if (index == 0) return 1;
  if (mbr[510] != 0x55 || mbr[511] != 0xAA || IsVolumeBootSector(mbr)) return 0;
  const unsigned char* first = mbr + VRO_MBR_ENTRY_OFFSET;
  if (first[4] != 0xEE) {
    const unsigned char* e = first + 16 * index;
    return index < 4 && e[4] != 0 && Ld32(e + 12) != 0 ? 1 : 0;
  }
  // The table counts the disk's sectors, its header in the second.
  const uint64_t sector = GptSectorUnit(ReadBlock, block, Ld32(first + 8)) * kSector;
  unsigned char header[kSector];
  if (!sector || !ReadExact(block, Ld32(first + 8) * sector, header, kSector)) return -1;
  unsigned int count = Ld32(header + 80), size = Ld32(header + 84);
  if ((unsigned int)index >= count) return 0;
  if (size < 128) return -1;
  unsigned char entry[128];
  static const unsigned char kUnused[16] = {};
  if (!ReadExact(block, Ld64(header + 72) * sector + (unsigned long long)index * size, entry,
                 sizeof entry))
    return -1;
  return memcmp(entry, kUnused, 16) != 0 ? 1 : 0;
}
