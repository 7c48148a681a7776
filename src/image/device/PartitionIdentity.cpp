#include "image/device/PartitionIdentity.h"

#include <string.h>

#include "common/ByteOrder.h"
#include "image/device/DiskSectorSize.h"
#include "image/device/MbrTemplate.h"

namespace {

const uint32_t kSector = 512;
const size_t kMbrIdBytes = 12, kGptIdBytes = 24;
const char kGptIdMark[] = "DMIO:ID:";

bool ReadBlock(void* context, uint64_t offset, void* buffer, uint32_t count) {
  DiskIoBlock* block = static_cast<DiskIoBlock*>(context);
  return block->read(block->owner, offset, buffer, count) == (int)count;
}

}  // namespace

VolumeIdMatch FindPartitionOfVolumeId(DiskIoBlock* block, const uint8_t* id, size_t length,
                                      int* index) {
  const bool gpt = length == kGptIdBytes && memcmp(id, kGptIdMark, 8) == 0;
  if (!gpt && length != kMbrIdBytes) return VOLUME_ID_OTHER_FORM;
  uint8_t mbr[kSector];
  if (!block || !block->read || !ReadBlock(block, 0, mbr, kSector)) return VOLUME_ID_UNREADABLE;
  if (mbr[510] != 0x55 || mbr[511] != 0xAA) return VOLUME_ID_NOT_ON_DISK;
  const uint8_t* table = mbr + VRO_MBR_ENTRY_OFFSET;
  const bool protective = table[4] == 0xEE;
  if (!gpt) {
    // The entry whose first sector lies at the byte recorded, counted in
    // the sectors the table counts, on the disk of that signature.
    if (protective || Ld32(mbr + 440) != Ld32(id)) return VOLUME_ID_NOT_ON_DISK;
    uint32_t choices = 0;
    int unit = MbrSectorUnit(ReadBlock, block, table, block->bytes, &choices);
    if (unit < 0) return VOLUME_ID_UNREADABLE;
    const uint64_t sector = uint64_t(kSector) * (unit ? unit : 1);
    for (int i = 0; i < 4; i++) {
      const uint8_t* e = table + 16 * i;
      if (e[4] && Ld32(e + 8) && Ld32(e + 12) && Ld32(e + 8) * sector == Ld64(id + 4)) {
        *index = i;
        return VOLUME_ID_FOUND;
      }
    }
    return VOLUME_ID_NOT_ON_DISK;
  }
  if (!protective) return VOLUME_ID_NOT_ON_DISK;
  // The table counts the disk's sectors, its header in the second.
  const uint64_t headerLba = Ld32(table + 8);
  const uint64_t sector = uint64_t(kSector) * GptSectorUnit(ReadBlock, block, headerLba);
  uint8_t header[kSector];
  if (!sector || !ReadBlock(block, headerLba * sector, header, kSector))
    return VOLUME_ID_UNREADABLE;
  const uint32_t count = Ld32(header + 80), size = Ld32(header + 84);
  const uint64_t array = Ld64(header + 72) * sector;
  // An entry array that does not fit on the disk is no table to walk.
  if (size < 128 || size > kSector * 8 || count > (1u << 16) ||
      (block->bytes && (array > block->bytes || uint64_t(count) * size > block->bytes - array)))
    return VOLUME_ID_UNREADABLE;
  for (uint32_t i = 0; i < count; i++) {
    uint8_t entry[128];
    if (!ReadBlock(block, array + uint64_t(i) * size, entry, sizeof entry))
      return VOLUME_ID_UNREADABLE;
    static const uint8_t kUnused[16] = {};
    if (memcmp(entry, kUnused, 16) != 0 && memcmp(entry + 16, id + 8, 16) == 0) {
      *index = int(i);
      return VOLUME_ID_FOUND;
    }
  }
  return VOLUME_ID_NOT_ON_DISK;
}
