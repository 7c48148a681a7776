// The boot sector of an NTFS partition and its backup, read from the disk
// (not through a mounted volume) and judged against the partition and
// against where $MFT lies: which copy to trust, and where each must go.
// Free of the library's headers.
#pragma once
#include <stdint.h>

#include <functional>

#include "image/device/DiskIoBlock.h"

struct _ntfs_volume;
typedef struct _ntfs_volume ntfs_volume;

// One copy of the boot sector.
struct NtfsBootCopy {
  uint64_t sector = 0;         // 512-byte sector, from the partition's start
  bool ntfs = false;           // the library takes its BPB for an NTFS one
  bool signature = false;      // it ends in 55 AA
  bool fits = false;           // its volume and the backup after it fit the partition
  bool exact = false;          // ... and that backup is the partition's last sector
  bool mft = false;            // $MFT lies where it says
  bool mirror = false;         // ... and so does $MFTMirr
  uint64_t volumeSectors = 0;  // 512-byte sectors of its volume
  uint8_t bytes[512] = {};
  bool Sound() const { return ntfs && signature && fits && mft && mirror; }
};

struct NtfsBootSectors {
  uint64_t start = 0;    // the partition's first byte on the disk
  uint64_t sectors = 0;  // its length in 512-byte sectors
  // The sector the volume declares (at least 512 bytes): the backup is the
  // partition's last sector of this size, and each copy is written whole.
  uint32_t sectorBytes = 512;
  bool table = false;    // named by a partition table (else the volume is the disk)
  NtfsBootCopy primary;  // the partition's first sector
  NtfsBootCopy backup;   // its last sector, or a copy found before it
  // The copy to trust: 0 none, 1 the primary, 2 the backup. `chosen` holds
  // it with the hidden sectors of a partition set to its start.
  int choice = 0;
  uint8_t chosen[512] = {};
  // The 512-byte sector where the backup goes: the first of the
  // partition's last volume sector.
  uint64_t BackupSector() const { return sectors - sectorBytes / 512; }
};

// Looks through the 512-byte sectors [lowest, end) counted from byte
// `start` of the disk, from the end down, for an NTFS boot sector that
// names its own place as its volume's backup (its volume's bytes are its
// offset from `start`); the first one `accept` (sector, bytes) takes. Its
// sector, or 0 for none or a read that fails.
uint64_t FindSelfPlacedBootCopy(DiskIoBlock* block, uint64_t start, uint64_t lowest, uint64_t end,
                                const std::function<bool(uint64_t, const uint8_t*)>& accept);

// Reads both copies of the partition at index (as the device open finds
// it) and chooses one:
//  - a primary that fits, lies on $MFT and whose backup is the partition's
//    last sector;
//  - else a backup there that does all that, when the primary does not fit
//    or lie on $MFT, or is of the same volume (its serial number: the last
//    sector of a partition larger than its volume can hold a stale copy of
//    another);
//  - else a primary that fits and lies on $MFT (the partition grew and the
//    volume did not);
//  - else a copy before the partition's end that names its own sector as
//    the backup's and does the rest (the partition grew, its boot sector
//    was lost).
// A copy is sound when it ends in its signature, its BPB checks, its
// volume fits the partition and $MFT and $MFTMirr lie where it says. None
// is chosen when no copy is sound (a partition smaller than its volume).
// The device open and the check both choose through it.
// 0, or -1 with errno when the partition cannot be found or read.
int ExamineNtfsBootSectors(DiskIoBlock* block, int index, NtfsBootSectors* out);
// The same for the partition a mounted volume lies on; -1 (EINVAL) when it
// is not one of this system's disk devices.
int ExamineNtfsVolumeBootSectors(ntfs_volume* vol, NtfsBootSectors* out);

// Where the examination's choice is not yet on the disk: the primary, the
// backup, or both (bits 1 and 2).
int NtfsBootSectorsToWrite(const NtfsBootSectors& s);
// Writes the chosen copy into the partition's first and last sectors where
// it differs, each a whole sector of the volume's size (the rest of the
// chosen copy's sector with it). 0, or -1 with errno (EINVAL when nothing
// was chosen).
int WriteNtfsBootSectors(DiskIoBlock* block, const NtfsBootSectors& s);
