#include "disktools/clone/GptLayout.h"

#include <string.h>

#include "common/ByteOrder.h"

namespace {

const unsigned kSector = 512;
const unsigned kEntryBytes = 128;
const uint8_t kProtectiveType = 0xEE;
// c12a7328-f81f-11d2-ba4b-00a0c93ec93b as stored.
const uint8_t kEspType[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                              0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};

bool Read(DiskIoBlock* disk, uint64_t offset, void* buffer, unsigned count)
{
    return disk->read(disk->owner, offset, buffer, count) == (int)count;
}

}  // namespace

bool FindEfiSystemPartition(DiskIoBlock* disk, GptPartitionExtent* out)
{
    if (!disk || !disk->read || !out)
        return false;
    uint8_t sector[kSector];
    if (!Read(disk, 0, sector, kSector) || sector[450] != kProtectiveType)
        return false;
    if (!Read(disk, (uint64_t)Ld32(sector + 454) * kSector, sector, kSector) ||
        memcmp(sector, "EFI PART", 8) != 0)
        return false;
    uint64_t entries = Ld64(sector + 72);
    uint32_t count = Ld32(sector + 80);
    uint32_t size = Ld32(sector + 84);
    if (size < kEntryBytes)
        return false;
    uint8_t entry[kEntryBytes];
    for (uint32_t i = 0; i < count; i++) {
        if (!Read(disk, entries * kSector + (uint64_t)i * size, entry, kEntryBytes))
            return false;
        if (memcmp(entry, kEspType, 16) == 0) {
            out->firstLba = Ld64(entry + 32);
            out->lastLba = Ld64(entry + 40);
            return out->lastLba >= out->firstLba;
        }
    }
    return false;
}

int CopyEfiSystemPartition(ntfs_volume* source, ntfs_volume* target)
{
    DiskIoBlock* from = GetNtfsDiskBlock(source);
    DiskIoBlock* to = GetNtfsDiskBlock(target);
    GptPartitionExtent s, t;
    if (!from || !to || !to->write || !FindEfiSystemPartition(from, &s) ||
        !FindEfiSystemPartition(to, &t) || s.lastLba - s.firstLba > t.lastLba - t.firstLba)
        return ESP_COPY_FAILED;
    uint8_t sector[kSector];
    for (uint64_t i = 0; s.firstLba + i <= s.lastLba; i++) {
        if (!Read(from, (s.firstLba + i) * kSector, sector, kSector) ||
            to->write(to->owner, (t.firstLba + i) * kSector, sector, kSector) != (int)kSector)
            return ESP_COPY_FAILED;
    }
    return ESP_COPY_DONE;
}
