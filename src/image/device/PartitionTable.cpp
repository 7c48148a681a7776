#include "image/device/PartitionTable.h"

#include <string.h>
#include <wchar.h>

#include "common/ByteOrder.h"
#include "image/device/MbrTemplate.h"

namespace {

const unsigned int kSector = 512;
// Entries looked at in one GPT, at most (Windows makes 128).
const uint32_t kMaxGptEntries = 4096;

const uint8_t kBasicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
const uint8_t kEsp[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                          0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
const uint8_t kMsr[16] = {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D,
                          0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};
const uint8_t kRecovery[16] = {0xA4, 0xBB, 0x94, 0xDE, 0xD1, 0x06, 0x40, 0x4D,
                               0xA1, 0x6A, 0xBF, 0xD5, 0x01, 0x79, 0xD6, 0xAC};

bool ReadBlock(void* block, uint64_t offset, void* buffer, uint32_t count) {
  DiskIoBlock* b = static_cast<DiskIoBlock*>(block);
  return b && b->read && b->read(b->owner, offset, buffer, count) == (int)count;
}

}  // namespace

PartitionRole MbrPartitionRole(uint8_t type) {
  switch (type) {
    case 0x01:
    case 0x04:
    case 0x06:
    case 0x07:
    case 0x0B:
    case 0x0C:
    case 0x0E:
      return PARTITION_DATA;
    case 0xEF:
      return PARTITION_ESP;
    case 0x27:
      return PARTITION_RECOVERY;
    case 0x05:
    case 0x0F:
    case 0x85:
    case 0xEE:
      return PARTITION_CONTAINER;
    default:
      return PARTITION_OTHER;
  }
}

PartitionRole GptPartitionRole(const uint8_t* guid) {
  if (!memcmp(guid, kBasicData, 16)) return PARTITION_DATA;
  if (!memcmp(guid, kEsp, 16)) return PARTITION_ESP;
  if (!memcmp(guid, kMsr, 16)) return PARTITION_MSR;
  if (!memcmp(guid, kRecovery, 16)) return PARTITION_RECOVERY;
  return PARTITION_OTHER;
}

std::wstring PartitionRoleName(const DiskPartition& part) {
  switch (part.role) {
    case PARTITION_DATA:
      if (!part.mbrType) return L"basic data";
      break;
    case PARTITION_ESP:
      return L"EFI system";
    case PARTITION_MSR:
      return L"Microsoft reserved";
    case PARTITION_RECOVERY:
      return L"recovery";
    default:
      break;
  }
  wchar_t text[32];
  if (part.mbrType)
    _snwprintf(text, 32, L"type %02X", part.mbrType);
  else
    _snwprintf(text, 32, L"type %08X-%04X", Ld32(part.guid), Ld16(part.guid + 4));
  text[31] = 0;
  return text;
}

const DiskPartition* DiskPartitions::At(int index) const {
  for (const DiskPartition& p : parts)
    if (p.index == index) return &p;
  return nullptr;
}

std::vector<int> DiskPartitions::DefaultOrder() const {
  std::vector<int> order;
  for (PartitionRole role : {PARTITION_DATA, PARTITION_OTHER})
    for (const DiskPartition& p : parts)
      if (p.role == role) order.push_back(p.index);
  return order;
}

int DiskPartitions::FirstData() const {
  std::vector<int> order = DefaultOrder();
  return order.empty() ? -1 : order[0];
}

bool ReadGptPartitions(DiskByteReader read, void* context, uint64_t headerLba, uint32_t unit,
                       DiskPartitions* out) {
  uint8_t header[kSector];
  if (!unit || !read(context, headerLba * unit * kSector, header, kSector)) return false;
  if (memcmp(header, "EFI PART", 8)) return true;
  const uint64_t array = Ld64(header + 72) * unit * kSector;
  uint32_t count = Ld32(header + 80);
  const uint32_t size = Ld32(header + 84);
  // Entries of 128 bytes or a power of two above it: each one's fields
  // lie in one 512-byte sector.
  if (size < 128 || (size & (size - 1))) return true;
  if (count > kMaxGptEntries) count = kMaxGptEntries;
  uint8_t chunk[kSector];
  uint64_t loaded = ~0ull;
  for (uint32_t i = 0; i < count; i++) {
    const uint64_t at = array + (uint64_t)i * size;
    if (at / kSector * kSector != loaded) {
      loaded = at / kSector * kSector;
      if (!read(context, loaded, chunk, kSector)) return false;
    }
    const uint8_t* e = chunk + (at - loaded);
    static const uint8_t kUnused[16] = {};
    if (!memcmp(e, kUnused, 16)) continue;
    DiskPartition p = {};
    p.index = (int)i;
    p.role = GptPartitionRole(e);
    memcpy(p.guid, e, 16);
    p.first = Ld64(e + 32);
    p.last = Ld64(e + 40);
    out->parts.push_back(p);
  }
  return true;
}

bool ReadDiskPartitions(DiskByteReader read, void* context, uint64_t diskBytes,
                        DiskPartitions* out) {
  *out = DiskPartitions();
  uint8_t mbr[kSector];
  if (!read(context, 0, mbr, kSector)) return false;
  if (Ld16(mbr + 510) != 0xAA55 || IsVolumeBootSector(mbr)) return true;
  const uint8_t* table = mbr + VRO_MBR_ENTRY_OFFSET;
  if (table[4] == 0xEE) {
    // The table counts the disk's sectors, its header in the second.
    out->table = DiskPartitions::GPT;
    out->gptHeader = Ld32(table + 8);
    out->unit = GptSectorUnit(read, context, out->gptHeader);
    out->unitRule = (int)out->unit;
    if (!out->unit) {
      out->unit = 1;
      return true;
    }
    return ReadGptPartitions(read, context, out->gptHeader, out->unit, out);
  }
  out->table = DiskPartitions::MBR;
  out->unitRule = MbrSectorUnit(read, context, table, diskBytes, &out->unitChoices);
  out->unit = out->unitRule > 0 ? (uint32_t)out->unitRule : 1;
  for (int i = 0; i < 4; i++) {
    const uint8_t* e = table + 16 * i;
    const uint64_t first = Ld32(e + 8), count = Ld32(e + 12);
    if (!e[4] || !count) continue;
    DiskPartition p = {};
    p.index = i;
    p.mbrType = e[4];
    p.role = MbrPartitionRole(e[4]);
    p.first = first;
    p.last = first + count - 1;
    if (e[4] == 0xEE && !out->gptHeader) out->gptHeader = first;
    out->parts.push_back(p);
  }
  return true;
}

bool ReadDiskPartitions(DiskIoBlock* block, DiskPartitions* out) {
  if (!block || !block->read) return false;
  return ReadDiskPartitions(ReadBlock, block, block->bytes, out);
}

bool IsVolumeBootSector(const unsigned char* s) {
  return memcmp(s + 3, "NTFS    ", 8) == 0 || memcmp(s + 3, "EXFAT   ", 8) == 0 ||
         memcmp(s + 0x36, "FAT", 3) == 0 || memcmp(s + 0x52, "FAT32   ", 8) == 0;
}

int DiskHasPartition(DiskIoBlock* block, int index) {
  DiskPartitions parts;
  if (index < 0 || !ReadDiskPartitions(block, &parts)) return -1;
  if (index == 0) return 1;
  // A protective MBR whose GPT cannot be found: its table is not known.
  if (parts.table == DiskPartitions::GPT && !parts.unitRule) return -1;
  return parts.At(index) ? 1 : 0;
}
