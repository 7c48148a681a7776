// Status codes and records that the offline registry hands to its callers.
#pragma once
#include <cstdint>

// Result of every offline registry operation.
enum : uint32_t {
  REG_STATUS_OK = 0,
  REG_STATUS_BUFFER_TOO_SMALL = 0xC0000001,  // no buffer or too small; size needed returned
  REG_STATUS_NOT_FOUND = 0xC0000003,         // hive, key or value missing
  REG_STATUS_FAILURE = 0xC0000006,
  REG_STATUS_EXISTS = 0xC0000009,
};

// Value types as stored in a hive.
enum : uint32_t {
  HIVE_REG_NONE = 0,
  HIVE_REG_SZ = 1,
  HIVE_REG_EXPAND_SZ = 2,
  HIVE_REG_BINARY = 3,
  HIVE_REG_DWORD = 4,
  HIVE_REG_DWORD_BIG_ENDIAN = 5,
  HIVE_REG_LINK = 6,
  HIVE_REG_MULTI_SZ = 7,
  HIVE_REG_QWORD = 11,
};

#pragma pack(push, 1)
// One value's data: length, then the bytes. Allocated by the registry with
// malloc; the caller frees it with free.
struct RegValueBuf {
  uint32_t length;
  uint8_t data[1];
};

// Records of subkey and value enumeration; a buffer holds a 32-bit count and
// the records from byte 8 on.
struct RegSubkeyEntry {
  uint32_t subkeyCount;
  wchar_t name[1024];
};

struct RegValueEntry {
  uint32_t type;
  wchar_t name[1024];
  RegValueBuf* data;  // owned by the caller
};
#pragma pack(pop)

static_assert(sizeof(RegSubkeyEntry) == 2052, "subkey record size");
static_assert(sizeof(wchar_t) == 2, "names are UTF-16");
