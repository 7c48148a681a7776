// The formatter's partition-table step: the primary and backup GPT on a
// protective MBR, or the alignment of the first MBR partition; and the
// CRC-32 that GPT uses.
#include <errno.h>

#include <vector>

#include "disktools/ntfsformat/NtfsFormatState.h"
#include "image/device/MbrTemplate.h"
#include "image/device/PartitionTable.h"
#include "image/ntfs/NtfsFormatSupport.h"

using namespace ntfsformat;

const uint8_t kBasicDataPartitionType[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                             0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};

namespace {

const uint32_t kSector = 512;
const uint32_t kFirstEntryType = 0x1C2;
const uint32_t kFirstEntryStart = 0x1C6;
const uint32_t kEntryBytes = 16;
const uint32_t kEntryStart = 8;  // within an entry
const uint32_t kEntryCount = 12;
const uint32_t kMbrEntries = 4;
const uint32_t kDiskGuidSlot = 0x1CE;  // where the image creator leaves the disk GUID
const uint8_t kProtectiveType = 0xEE;
const uint32_t kGptEntries = 128;
const uint32_t kGptEntrySize = 128;
const uint32_t kGptArrayBytes = kGptEntries * kGptEntrySize;
const uint32_t kGptHeaderSize = 92;
const uint64_t kGptFirstUsable = 34;
const uint64_t kMbrBootCodeBytes = 440;

bool DiskRead(DiskIoBlock* d, uint64_t offset, void* buffer, uint32_t count) {
  return d->read(d->owner, offset, buffer, count) == int(count);
}

bool DiskWrite(DiskIoBlock* d, uint64_t offset, const void* buffer, uint32_t count) {
  return d->write(d->owner, offset, buffer, count) == int(count);
}

void SealHeader(uint8_t* header) {
  Put32(header + 16, 0);
  Put32(header + 16, ComputeGptCrc32(header, kGptHeaderSize));
}

// Writes the primary and backup GPT for the two given entries.
bool WriteGpt(DiskIoBlock* d, uint8_t* mbr, const uint8_t* entries, const uint8_t* bootCode) {
  uint8_t header[kSector] = {};
  memcpy(header, "EFI PART", 8);
  Put32(header + 8, 0x00010000);
  Put32(header + 12, kGptHeaderSize);
  Put64(header + 24, 1);
  Put64(header + 40, kGptFirstUsable);
  memcpy(header + 56, mbr + kDiskGuidSlot, 16);
  memset(mbr + kDiskGuidSlot, 0, 16);
  if (Get32(mbr + kFirstEntryStart) != 1) Put32(mbr + kFirstEntryStart, 1);
  // A protective MBR without its signature makes the disk an empty one to
  // every reader (the mounts that follow included).
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  if (!DiskWrite(d, 0, mbr, kSector)) return false;

  std::vector<uint8_t> array(kGptArrayBytes, 0);
  memcpy(array.data(), entries, 2 * kGptEntrySize);
  uint64_t lastUsable = 0;
  for (int i = 0; i < 2; ++i) {
    uint64_t ending = Get64(entries + i * kGptEntrySize + 40);
    if (ending && ending - 32 + 4096 > lastUsable) lastUsable = ending - 32 + 4096;
  }
  uint64_t alternate = lastUsable + 33;
  Put64(header + 32, alternate);
  Put64(header + 48, lastUsable);
  Put64(header + 72, 2);
  Put32(header + 80, kGptEntries);
  Put32(header + 84, kGptEntrySize);
  Put32(header + 88, ComputeGptCrc32(array.data(), kGptArrayBytes));
  SealHeader(header);

  // The caller's boot sector becomes the NTFS backup boot sector in the
  // last sector of every Basic data partition.
  static const uint8_t kUnused[16] = {};
  for (uint32_t i = 0; bootCode && i < kGptEntries; ++i) {
    const uint8_t* e = &array[i * kGptEntrySize];
    if (memcmp(e, kUnused, 16) == 0) break;
    if (memcmp(e, kBasicDataPartitionType, 16) != 0) continue;
    if (!DiskWrite(d, Get64(e + 40) * kSector, bootCode, kSector)) return false;
  }
  if (!DiskWrite(d, kSector, header, kSector) ||
      !DiskWrite(d, 2 * kSector, array.data(), kGptArrayBytes) ||
      !DiskWrite(d, (lastUsable + 1) * kSector, array.data(), kGptArrayBytes))
    return false;
  Put64(header + 24, alternate);
  Put64(header + 32, 1);
  Put64(header + 72, lastUsable + 1);
  SealHeader(header);
  return DiskWrite(d, alternate * kSector, header, kSector);
}

// Moves the MBR partition that is formatted up to a multiple of 8 sectors;
// its start (the start CHS follows the start LBA). Only that entry moves: the start of another partition is the
// start of a volume that stays.
bool AlignPartition(DiskIoBlock* d, uint8_t* mbr, uint32_t index, bool align, uint64_t* start) {
  uint8_t* entry = mbr + kFirstEntryStart - kEntryStart + index * kEntryBytes;
  uint32_t first = Get32(entry + kEntryStart);
  uint32_t aligned = (first + 7) / 8 * 8;
  uint32_t count = Get32(entry + kEntryCount);
  *start = first;
  if (!align || aligned == first || count <= aligned - first) return true;
  Put32(entry + kEntryCount, count - (aligned - first));
  Put32(entry + kEntryStart, aligned);
  LbaToChs(entry + 1, aligned);
  uint8_t code[kSector];
  CopyMbrTemplate(code);
  memcpy(mbr, code, kMbrBootCodeBytes);
  *start = aligned;
  return DiskWrite(d, 0, mbr, kSector);
}

}  // namespace

uint32_t ComputeGptCrc32(const void* data, size_t length) {
  static uint32_t table[256];
  static bool built = false;
  if (!built) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    built = true;
  }
  if (!length) return 0;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

int WriteFormatPartitionTable(DiskIoBlock* device, const void* gptEntries, uint32_t partition,
                              uint8_t align, const void* bootCode) {
  NtfsFormatOptions& o = GetNtfsFormatOptions();
  o = NtfsFormatOptions();
  o.quickFormat = true;
  o.heads = 255;
  o.sectorSize = 512;
  o.sectorsPerTrack = 63;
  o.mftZoneMultiplier = 1;
  o.clusterSize = 4096;
  o.partitionIndex = partition;
  o.device = device;
  if (!device || !device->read || !device->write) {
    errno = EINVAL;
    return 0;
  }
  uint8_t mbr[kSector] = {};
  if (!DiskRead(device, 0, mbr, kSector)) {
    errno = EIO;
    return 0;
  }
  // The volume is made of the disk's sectors, as its table counts them
  // (a disk without a table: the old volume's own); 512 where the disk does
  // not tell. Entries of larger sectors are aligned by them already.
  unsigned long long at = 0, bytes = 0;
  int used = 0;
  unsigned sectorSize = 512;
  if (LocateNtfsPartition(device, int(partition), &at, &bytes, &used, &sectorSize) < 0)
    sectorSize = 512;
  bool ok = true;
  if (mbr[kFirstEntryType] == kProtectiveType && gptEntries) {
    ok = WriteGpt(device, mbr, static_cast<const uint8_t*>(gptEntries),
                  static_cast<const uint8_t*>(bootCode));
    o.partitionStart = 0;
  } else if (mbr[kFirstEntryType] == kProtectiveType) {
    // A GPT disk without new entries: its table stays as it is, and the
    // boot sector names the start of the partition the device selects.
    o.partitionStart = -1;
  } else if (IsVolumeBootSector(mbr)) {
    // A volume without a table: sector 0 is its boot sector, no entry to
    // align, and it starts at sector 0.
    o.partitionStart = 0;
  } else if (partition < kMbrEntries) {
    uint64_t start = 0;
    ok = AlignPartition(device, mbr, partition, align != 0 && sectorSize == kSector, &start);
    o.partitionStart = int64_t(start);
  } else {
    o.partitionStart = -1;  // no MBR entry of that index: the device decides
  }
  o.sectorSize = int32_t(sectorSize);
  if (!ok) errno = EIO;
  return ok ? 1 : 0;
}
