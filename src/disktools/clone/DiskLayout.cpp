#include <windows.h>

#include "disktools/clone/DiskLayout.h"

#include <string.h>

#include "disktools/clone/GptLayout.h"

namespace {

const unsigned kSector = 512;
const unsigned kEntryBytes = 128;
const uint8_t kProtectiveType = 0xEE;

bool NewGuid(uint8_t* out) {
  GUID g;
  if (CoCreateGuid(&g) != S_OK) return false;
  memcpy(out, &g, 16);
  return true;
}

}  // namespace

bool ReadVolumeBootCode(ntfs_volume* vol, uint8_t* buffer) {
  if (!buffer) return false;
  for (uint32_t done = 0; done < kBootCodeBytes;) {
    long long n = ReadNtfsDeviceAt(vol, done, buffer + done, kBootCodeBytes - done);
    if (n <= 0) return false;
    done += (uint32_t)n;
  }
  memset(buffer + 11, 0, 84 - 11);
  return true;
}

bool ReadMbrFirstEntryOnly(ntfs_volume* vol, uint8_t* buffer) {
  DiskIoBlock* disk = GetNtfsDiskBlock(vol);
  if (!buffer || !disk || !disk->read ||
      disk->read(disk->owner, 0, buffer, kSector) != (int)kSector)
    return false;
  memset(buffer + 462, 0, 510 - 462);
  return true;
}

int GetGptPartitionUniqueGuid(ntfs_volume* vol, uint8_t* out) {
  DiskIoBlock* disk = GetNtfsDiskBlock(vol);
  GptArray gpt;
  uint8_t entry[kEntryBytes];
  int index = GetMountedPartitionIndex(vol);
  if (!out || index < 0 || !ReadGptArray(disk, &gpt) || (uint32_t)index >= gpt.count ||
      !ReadGptEntry(disk, gpt, (uint32_t)index, entry) || memcmp(entry, kBasicDataType, 16) != 0)
    return 0;
  memcpy(out, entry + 16, 16);
  return 1;
}

int PrepareGptEntriesForCopy(ntfs_volume* vol, uint8_t* diskGuid, uint8_t* entries) {
  DiskIoBlock* disk = GetNtfsDiskBlock(vol);
  uint8_t sector[kSector];
  if (!diskGuid || !entries || !disk || !disk->read ||
      disk->read(disk->owner, 0, sector, kSector) != (int)kSector || sector[450] != kProtectiveType)
    return 0;
  NewGuid(diskGuid);
  GptArray gpt;
  if (!ReadGptArray(disk, &gpt)) return 1;
  int index = GetMountedPartitionIndex(vol);
  bool own = false, esp = false;
  uint8_t entry[kEntryBytes];
  for (uint32_t i = 0; i < gpt.count && !(own && esp); i++) {
    if (!ReadGptEntry(disk, gpt, i, entry)) break;
    if (!own && (int)i == index) {
      memcpy(entries + kEntryBytes, entry, kEntryBytes);
      NewGuid(entries + kEntryBytes + 16);
      own = true;
    } else if (!esp && memcmp(entry, kEfiSystemPartitionType, 16) == 0) {
      memcpy(entries, entry, kEntryBytes);
      NewGuid(entries + 16);
      esp = true;
    }
  }
  return 1;
}
