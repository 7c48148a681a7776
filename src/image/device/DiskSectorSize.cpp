#include "image/device/DiskSectorSize.h"

#include <string.h>

#include "common/ByteOrder.h"

uint32_t DeclaredVolumeSectorSize(const uint8_t* b) {
  if (Ld16(b + 0x1FE) != 0xAA55) return 0;
  if (!memcmp(b,
              "\xEB\x76\x90"
              "EXFAT   ",
              11))
    return b[0x6C] < 32 ? 1u << b[0x6C] : 0;
  if (!memcmp(b + 3, "NTFS    ", 8)) return Ld16(b + 0x0B);
  if ((b[0] == 0xE9 || b[0] == 0xEB || b[0] == 0xE8) &&
      (!memcmp(b + 0x36, "FAT", 3) || !memcmp(b + 0x52, "FAT32", 5)))
    return Ld16(b + 0x0B);
  return 0;
}

uint32_t GptSectorUnit(DiskByteReader read, void* context, uint64_t headerLba) {
  uint8_t header[kDiskSectorMin];
  for (uint32_t u : kDiskSectorUnits) {
    if (read(context, headerLba * u * kDiskSectorMin, header, sizeof header) &&
        !memcmp(header, "EFI PART", 8))
      return u;
  }
  return 0;
}

namespace {

// The sector size the volume beginning at the 512-byte sector declares.
uint32_t VolumeSectorSizeAt(DiskByteReader read, void* context, uint64_t sector) {
  uint8_t boot[kDiskSectorMin];
  if (!read(context, sector * kDiskSectorMin, boot, sizeof boot)) return 0;
  return DeclaredVolumeSectorSize(boot);
}

}  // namespace

int MbrSectorUnit(DiskByteReader read, void* context, const uint8_t* table, uint64_t diskBytes,
                  uint32_t* choices) {
  const uint64_t diskSectors = diskBytes / kDiskSectorMin;
  uint32_t fitting = 0, volumes = 0;
  bool otherSize = false;
  for (uint32_t u : kDiskSectorUnits) {
    bool fits = true;
    for (int i = 0; i < 4 && fits; i++) {
      const uint8_t* e = table + 16 * i;
      uint64_t start = Ld32(e + 8), count = Ld32(e + 12);
      if (e[4] && start && count) fits = !diskSectors || (start + count) * u <= diskSectors;
    }
    if (!fits) continue;
    fitting |= u;
    for (int i = 0; i < 4; i++) {
      const uint8_t* e = table + 16 * i;
      uint64_t start = Ld32(e + 8);
      if (!e[4] || e[4] == 0xEE || !start || !Ld32(e + 12)) continue;
      uint32_t size = VolumeSectorSizeAt(read, context, start * u);
      if (size == u * kDiskSectorMin) volumes |= u;
      if (u == 1 && size) otherSize = true;
    }
  }
  // No unit fits (an entry runs past the disk): the plain reading, whose
  // misfit shows where it is used.
  if (!fitting) fitting = 1;
  *choices = volumes ? volumes : fitting;
  if (volumes & (volumes - 1)) return -1;
  if (volumes) return (int)volumes;
  return (fitting & (fitting - 1)) == 0 ? (int)fitting : otherSize ? 1 : 0;
}
