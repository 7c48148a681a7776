// A new, empty hive: base block, one bin holding the root key and its
// security record, the rest of the bin free.
#include "registry/hive/HiveImage.h"
#include "registry/hive/HiveRecords.h"
#include "registry/hive/RegTypes.h"

#include <string.h>

#include <vector>

namespace {

const uint32_t kBinBytes = 0x1000;
const uint32_t kBinHeader = 0x20;

// Owner and group BUILTIN\Administrators; one access-allowed entry giving
// Everyone full access, inherited by subkeys.
const uint8_t kSecurity[] = {
    // header: revision 1, control SE_SELF_RELATIVE | SE_DACL_PRESENT
    0x01, 0x00, 0x04, 0x80, 0x30, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x14, 0x00, 0x00, 0x00,
    // DACL: revision 2, size 28, one entry
    0x02, 0x00, 0x1C, 0x00, 0x01, 0x00, 0x00, 0x00,
    // ACCESS_ALLOWED, CONTAINER_INHERIT, size 20, KEY_ALL_ACCESS, S-1-1-0
    0x00, 0x02, 0x14, 0x00, 0x3F, 0x00, 0x0F, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,
    0x00, 0x00, 0x00, 0x00,
    // owner S-1-5-32-544
    0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,
    // group S-1-5-32-544
    0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00};

uint32_t Align8(uint32_t n) {
  return (n + 7) & ~7u;
}

}  // namespace

uint32_t new_hive_image(const char* rootName, HiveImage** out) {
  *out = nullptr;
  size_t nameLen = rootName ? strlen(rootName) : 0;
  if (nameLen == 0 || nameLen > 255) return REG_STATUS_FAILURE;
  std::vector<uint8_t> file(HIVE_BASE_SIZE + kBinBytes, 0);
  uint8_t* base = file.data();
  uint8_t stamp[8];
  now_filetime(stamp);

  memcpy(base, "regf", 4);
  write_le32(base + 0x04, 1);  // both sequence numbers: a finished write
  write_le32(base + 0x08, 1);
  memcpy(base + 0x0C, stamp, 8);
  write_le32(base + 0x14, 1);  // format 1.5
  write_le32(base + 0x18, 5);
  write_le32(base + 0x1C, 0);  // primary file
  write_le32(base + 0x20, 1);  // direct memory load
  write_le32(base + 0x24, kBinHeader);
  write_le32(base + 0x28, kBinBytes);
  write_le32(base + 0x2C, 1);  // clustering factor

  uint8_t* bin = base + HIVE_BASE_SIZE;
  memcpy(bin, "hbin", 4);
  write_le32(bin + 0x04, 0);
  write_le32(bin + 0x08, kBinBytes);
  memcpy(bin + 0x14, stamp, 8);

  // The root key.
  uint32_t nkRel = kBinHeader;
  uint32_t nkSize = Align8(4 + NK_NAME + (uint32_t)nameLen);
  uint32_t skRel = nkRel + nkSize;
  uint32_t skSize = Align8(4 + 0x14 + sizeof kSecurity);
  uint8_t* nk = bin + nkRel;
  write_le32(nk, (uint32_t) - (int32_t)nkSize);
  uint8_t* r = nk + 4;
  memcpy(r, "nk", 2);
  write_le16(r + NK_FLAGS, 0x2C);  // hive entry, not deletable, 8-bit name
  memcpy(r + NK_TIME, stamp, 8);
  write_le32(r + NK_PARENT, HIVE_NONE);
  write_le32(r + NK_INDEX, HIVE_NONE);
  write_le32(r + NK_VINDEX, HIVE_NONE);
  write_le32(r + NK_VALLIST, HIVE_NONE);
  write_le32(r + NK_SECURITY, skRel);
  write_le32(r + NK_CLASS, HIVE_NONE);
  write_le16(r + NK_NAMELEN, (uint16_t)nameLen);
  memcpy(r + NK_NAME, rootName, nameLen);

  // Its security record, a list of one.
  uint8_t* sk = bin + skRel;
  write_le32(sk, (uint32_t) - (int32_t)skSize);
  memcpy(sk + 4, "sk", 2);
  write_le32(sk + 4 + SK_FLINK, skRel);
  write_le32(sk + 4 + SK_BLINK, skRel);
  write_le32(sk + 4 + SK_REFCOUNT, 1);
  write_le32(sk + 4 + 0x10, sizeof kSecurity);
  memcpy(sk + 4 + 0x14, kSecurity, sizeof kSecurity);

  // The rest of the bin is one free cell.
  uint32_t freeRel = skRel + skSize;
  write_le32(bin + freeRel, kBinBytes - freeRel);

  uint32_t sum = 0;
  for (uint32_t i = 0; i < 0x1FC; i += 4) sum ^= read_le32(base + i);
  write_le32(base + 0x1FC, sum);

  uint32_t status = load_hive_buffer(file.data(), file.size(), out);
  if (status == REG_STATUS_OK) (*out)->rootIndexType = HiveId('l', 'h');
  return status;
}
