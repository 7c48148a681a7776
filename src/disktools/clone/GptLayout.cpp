#include "disktools/clone/GptLayout.h"

#include <string.h>

#include "common/ByteOrder.h"
#include "image/device/DiskSectorSize.h"

namespace {

const unsigned kSector = 512;
const unsigned kEntryBytes = 128;
const uint8_t kProtectiveType = 0xEE;

bool Read(DiskIoBlock* disk, uint64_t offset, void* buffer, unsigned count) {
  return disk->read(disk->owner, offset, buffer, count) == (int)count;
}

bool ReadBlock(void* disk, uint64_t offset, void* buffer, uint32_t count) {
  return Read(static_cast<DiskIoBlock*>(disk), offset, buffer, count);
}

}  // namespace

// c12a7328-f81f-11d2-ba4b-00a0c93ec93b and ebd0a0a2-b9e5-4433-87c0-68b6b72699c7
// as stored.
const uint8_t kEfiSystemPartitionType[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                             0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
const uint8_t kBasicDataType[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                    0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};

bool ReadGptArray(DiskIoBlock* disk, GptArray* out) {
  if (!disk || !disk->read || !out) return false;
  uint8_t sector[kSector];
  if (!Read(disk, 0, sector, kSector) || sector[450] != kProtectiveType) return false;
  const uint64_t headerLba = Ld32(sector + 454);
  out->sectorBytes = GptSectorUnit(ReadBlock, disk, headerLba) * kSector;
  if (!out->sectorBytes || !Read(disk, headerLba * out->sectorBytes, sector, kSector)) return false;
  out->entriesLba = Ld64(sector + 72);
  out->count = Ld32(sector + 80);
  out->entrySize = Ld32(sector + 84);
  return out->entrySize >= kEntryBytes;
}

bool ReadGptEntry(DiskIoBlock* disk, const GptArray& gpt, uint32_t i, uint8_t* entry) {
  return Read(disk, gpt.entriesLba * gpt.sectorBytes + (uint64_t)i * gpt.entrySize, entry,
              kEntryBytes);
}

bool FindEfiSystemPartition(DiskIoBlock* disk, GptPartitionExtent* out) {
  GptArray gpt;
  if (!out || !ReadGptArray(disk, &gpt)) return false;
  uint8_t entry[kEntryBytes];
  for (uint32_t i = 0; i < gpt.count; i++) {
    if (!ReadGptEntry(disk, gpt, i, entry)) return false;
    if (memcmp(entry, kEfiSystemPartitionType, 16) == 0) {
      out->firstLba = Ld64(entry + 32);
      out->lastLba = Ld64(entry + 40);
      out->sectorBytes = gpt.sectorBytes;
      return out->lastLba >= out->firstLba;
    }
  }
  return false;
}

int CopyEfiSystemPartition(ntfs_volume* source, ntfs_volume* target) {
  DiskIoBlock* from = GetNtfsDiskBlock(source);
  DiskIoBlock* to = GetNtfsDiskBlock(target);
  GptPartitionExtent s, t;
  if (!from || !to || !to->write || !FindEfiSystemPartition(from, &s) ||
      !FindEfiSystemPartition(to, &t) || s.lastLba - s.firstLba > t.lastLba - t.firstLba ||
      s.sectorBytes != t.sectorBytes || s.sectorBytes > 4096)
    return ESP_COPY_FAILED;
  const unsigned n = s.sectorBytes;
  uint8_t sector[4096];
  for (uint64_t i = 0; s.firstLba + i <= s.lastLba; i++) {
    if (!Read(from, (s.firstLba + i) * n, sector, n) ||
        to->write(to->owner, (t.firstLba + i) * n, sector, n) != (int)n)
      return ESP_COPY_FAILED;
  }
  return ESP_COPY_DONE;
}
