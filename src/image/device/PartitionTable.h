// What the partition table of a disk holds, as far as choosing a partition
// by its number needs it: every volume search (NTFS, FAT and exFAT alike)
// reads the table through here, and the partition a command takes when it
// names none is chosen by the one rule below.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "image/device/DiskIoBlock.h"
#include "image/device/DiskSectorSize.h"

// A partition number as the commands, the exports and the window take it:
// 0 the disk's default partition (no "::N"), N > 0 partition N, and
// kPartitionNamed | N partition N as "::N" named it (::0 included).
const int kPartitionNamed = 0x40000000;
inline bool IsDefaultPartition(int partition) {
  return partition == 0;
}
// The index a partition number names (the default's is 0).
inline int PartitionIndexOf(int partition) {
  return partition >= 0 ? partition & ~kPartitionNamed : partition;
}

// Below the commands (the volume mounts, the formatter) an index names its
// entry and no other; this one names the disk's first data partition
// (DiskPartitions::FirstData), for a disk whose table was just written.
const int kFirstDataPartition = -2;

// What a partition is to Windows, by its type.
enum PartitionRole {
  PARTITION_DATA,       // a volume Windows mounts: GPT basic data, MBR 01 04 06 07 0B 0C 0E
  PARTITION_OTHER,      // another system's or an unknown type
  PARTITION_ESP,        // EFI system partition (GPT C12A7328-..., MBR EF)
  PARTITION_MSR,        // Microsoft reserved (GPT E3C9E316-...)
  PARTITION_RECOVERY,   // Windows recovery (GPT DE94BBA4-..., MBR 27)
  PARTITION_CONTAINER,  // an MBR entry that holds other partitions (extended, protective)
};

struct DiskPartition {
  int index;  // as "::N" counts it
  PartitionRole role;
  uint8_t mbrType;   // the MBR entry's type (0 in a GPT)
  uint8_t guid[16];  // the GPT entry's type, as stored (zero in an MBR)
  uint64_t first;    // first and last sector, in the sectors the table
  uint64_t last;     // counts (DiskPartitions::unit); last < first: none
};

struct DiskPartitions {
  enum Table { NONE, MBR, GPT };
  // NONE: no table (a volume from sector 0, or no signature), index 0 is
  // the disk's volume.
  Table table = NONE;
  // 512-byte sectors per sector the table counts: a GPT's by where its
  // header lies, an MBR's by MbrSectorUnit (1 where nothing tells it).
  uint32_t unit = 1;
  // MbrSectorUnit's answer (-1: two sizes read volumes) and its choices.
  int unitRule = 1;
  uint32_t unitChoices = 0;
  // The GPT's header sector (in units), for a hybrid MBR the protective
  // entry's, 0 for none.
  uint64_t gptHeader = 0;
  // Entries with a type (and, in an MBR, a length), by index.
  std::vector<DiskPartition> parts;

  const DiskPartition* At(int index) const;
  // The partitions a command that names none looks at, in order: the data
  // partitions, then those of other types; never the EFI system
  // partition, the MSR or a recovery partition. The first that holds a
  // volume is the one taken.
  std::vector<int> DefaultOrder() const;
  // The first of DefaultOrder (the partition a format that names none
  // writes), -1 when there is none.
  int FirstData() const;
};

PartitionRole MbrPartitionRole(uint8_t type);
PartitionRole GptPartitionRole(const uint8_t* guid);
// "basic data" (GPT), "EFI system", "Microsoft reserved", "recovery", or
// the type: an MBR one in hex ("type 07"), a GPT one by its first fields.
std::wstring PartitionRoleName(const DiskPartition& part);

// Reads the table of the disk (diskBytes: its size, 0 when not known):
// false when a read fails (of a GPT's array: the entries read before it
// are kept). A sector 0 without its signature, or with a volume's own boot
// sector (IsVolumeBootSector), is no table.
bool ReadDiskPartitions(DiskByteReader read, void* context, uint64_t diskBytes,
                        DiskPartitions* out);
bool ReadDiskPartitions(DiskIoBlock* block, DiskPartitions* out);
// The entries of the GPT whose header lies at `headerLba` (in sectors of
// `unit` 512-byte sectors) into out->parts: false when a read fails (a
// header that is none, or entries of no size a GPT has, give no entries).
bool ReadGptPartitions(DiskByteReader read, void* context, uint64_t headerLba, uint32_t unit,
                       DiskPartitions* out);

// Whether the disk has a partition at a 0-based index: one of the four MBR
// entries with a type and a length, or, on a protective MBR, a GPT entry
// with a type. A disk that begins with a volume's boot sector, or carries
// no table, has only index 0. 1 yes, 0 no, -1 when the table cannot be
// read.
int DiskHasPartition(DiskIoBlock* block, int index);

// Whether a disk's sector 0 is a volume's own boot sector (NTFS, exFAT or
// FAT): the disk has no partition table, the volume starts at sector 0.
bool IsVolumeBootSector(const unsigned char* sector0);
