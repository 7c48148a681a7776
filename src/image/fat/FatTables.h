// Generated code-page and up-case tables (gen_fat_tables.py).
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct FatSbcsTable {
  uint32_t codePage;
  const uint16_t* toUni;  // bytes 0x80-0xFF -> UTF-16, 0 when undefined
  const uint8_t* upper;   // bytes 0x80-0xFF -> their upper-case byte
};

struct FatDbcsTable {
  uint32_t codePage;
  const uint8_t* leads;   // lead-byte ranges as (low, high) pairs, ended by 0, 0
  const uint16_t* byOem;  // (code, UTF-16) pairs sorted by code
  uint32_t byOemCount;
  const uint16_t* byUni;  // (UTF-16, code) pairs sorted by UTF-16
  uint32_t byUniCount;
};

extern const struct FatSbcsTable g_FatSbcsTables[];
extern const struct FatDbcsTable g_FatDbcsTables[];
extern const uint16_t* const g_FatUpcasePairs;  // (lower, upper) pairs sorted
extern const uint32_t g_FatUpcaseCount;

#ifdef __cplusplus
}
#endif
