#include "disktools/partition/GptTables.h"

#include <string.h>

#include "common/ByteOrder.h"
#include "disktools/ntfsformat/NtfsFormat.h"
#include "image/device/MbrTemplate.h"

namespace {

const uint32_t kSector = 512;
const uint32_t kEntryBytes = 128;

bool ReadDisk(DiskIoBlock* disk, uint64_t offset, void* buffer, uint32_t count) {
  return disk->read(disk->owner, offset, buffer, count) == (int)count;
}

bool WriteDisk(DiskIoBlock* disk, uint64_t offset, const void* buffer, uint32_t count) {
  return disk->write(disk->owner, offset, buffer, count) == (int)count;
}

void SealHeader(uint8_t* header) {
  uint32_t size = Ld32(header + 12);
  St32(header + 16, 0);
  St32(header + 16, ComputeGptCrc32(header, size));
}

}  // namespace

bool WriteGptTables(DiskIoBlock* disk, uint8_t* header, const std::vector<uint8_t>& entries,
                    uint64_t backupLba, uint32_t sectorBytes) {
  uint32_t arrayBytes = Ld32(header + 80) * Ld32(header + 84);
  uint64_t backupArray = backupLba - (arrayBytes + sectorBytes - 1) / sectorBytes;
  St64(header + 32, backupLba);
  St64(header + 48, backupArray - 1);
  St32(header + 88, ComputeGptCrc32(entries.data(), arrayBytes));
  SealHeader(header);
  if (!WriteDisk(disk, Ld64(header + 24) * sectorBytes, header, kSector)) return false;
  uint8_t backup[kSector];
  memcpy(backup, header, kSector);
  St64(backup + 24, backupLba);
  St64(backup + 32, Ld64(header + 24));
  St64(backup + 72, backupArray);
  SealHeader(backup);
  return WriteDisk(disk, backupArray * sectorBytes, entries.data(), (uint32_t)entries.size()) &&
         WriteDisk(disk, backupLba * sectorBytes, backup, kSector);
}

bool MoveGptBackupToDiskEnd(DiskIoBlock* disk, uint64_t diskSectors) {
  uint8_t mbr[kSector], header[kSector];
  if (!disk || !disk->read || !disk->write || !ReadDisk(disk, 0, mbr, kSector) ||
      mbr[VRO_MBR_ENTRY_OFFSET + 4] != 0xEE ||
      !ReadDisk(disk, uint64_t(Ld32(mbr + VRO_MBR_ENTRY_OFFSET + 8)) * kSector, header, kSector) ||
      memcmp(header, "EFI PART", 8) != 0)
    return false;
  uint32_t count = Ld32(header + 80), size = Ld32(header + 84), headerSize = Ld32(header + 12);
  if (size < kEntryBytes || count == 0 || uint64_t(count) * size > (4u << 20) || headerSize < 92 ||
      headerSize > kSector)
    return false;
  uint32_t arrayBytes = count * size;
  std::vector<uint8_t> entries((arrayBytes + kSector - 1) / kSector * kSector);
  uint64_t oldBackup = Ld64(header + 32);
  uint64_t backupArray = diskSectors - 1 - entries.size() / kSector;
  if (diskSectors < 2 + 2 * (entries.size() / kSector) ||
      !ReadDisk(disk, Ld64(header + 72) * kSector, entries.data(), (uint32_t)entries.size()))
    return false;
  for (uint32_t i = 0; i < count; i++)
    if (Ld64(&entries[size_t(i) * size + 40]) >= backupArray) return false;
  if (!WriteGptTables(disk, header, entries, diskSectors - 1)) return false;
  if (oldBackup == diskSectors - 1 || oldBackup >= diskSectors || oldBackup <= 1) return true;
  uint8_t zero[kSector] = {};
  return WriteDisk(disk, oldBackup * kSector, zero, kSector);
}
