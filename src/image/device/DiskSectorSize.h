// The size of the sectors a disk's partition table counts: one rule for
// every volume search (FAT, exFAT and NTFS alike), so that no search takes
// another entry's volume for the one asked.
#pragma once
#include <stdint.h>

// Reads `count` bytes at byte `offset` of the disk: true when all were read.
typedef bool (*DiskByteReader)(void* context, uint64_t offset, void* buffer, uint32_t count);

// The sector sizes a table may count: 512, 1024, 2048 and 4096 bytes,
// named below by their number of 512-byte sectors (1, 2, 4, 8) and, in a
// set of them, by that number as a bit.
const uint32_t kDiskSectorUnits[] = {1, 2, 4, 8};
const uint32_t kDiskSectorMin = 512;

// The sector size the volume boot sector declares (FAT's or NTFS's bytes
// per sector, exFAT's power of two), with its 55 AA signature; 0 when the
// sector is no FAT, exFAT or NTFS boot sector.
uint32_t DeclaredVolumeSectorSize(const uint8_t* boot);

// The unit of a GPT whose protective entry names headerLba: the header
// lies in the disk's second sector, so at headerLba sectors of that size.
// 0 when "EFI PART" lies at none (or a read fails).
uint32_t GptSectorUnit(DiskByteReader read, void* context, uint64_t headerLba);

// What an MBR's four entries (the 64 bytes at 0x1BE) count: among the
// units at which every entry lies on a disk of diskBytes (0: not known),
// the one at which a volume begins at an entry's start declaring that
// size. Without such a volume, the one unit that fits the disk, else 512
// bytes when a volume of another size begins at an entry's 512-byte start
// (a table of 512-byte sectors holding it), else none known. *choices: the
// units (as bits) that read a volume at an entry, or else that fit.
// Returns the unit; 0 when nothing tells it, -1 when two units read
// volumes (the disk's sector size cannot be told).
int MbrSectorUnit(DiskByteReader read, void* context, const uint8_t* table, uint64_t diskBytes,
                  uint32_t* choices);
