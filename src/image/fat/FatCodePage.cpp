#include "image/fat/FatCodePage.h"
#include "image/fat/FatTables.h"

namespace {
const FatSbcsTable* g_sbcs;
const FatDbcsTable* g_dbcs;

// Bisection over (key, value) pairs; 0 when the key is absent.
uint16_t Lookup(const uint16_t* pairs, uint32_t count, uint16_t key) {
  uint32_t lo = 0, hi = count;
  while (lo < hi) {
    uint32_t mid = (lo + hi) / 2;
    uint16_t k = pairs[mid * 2];
    if (k == key) return pairs[mid * 2 + 1];
    if (k < key)
      lo = mid + 1;
    else
      hi = mid;
  }
  return 0;
}
}  // namespace

int FatSelectCodePage(uint32_t codePage) {
  g_sbcs = nullptr;
  g_dbcs = nullptr;
  for (const FatSbcsTable* t = g_FatSbcsTables; t->codePage; t++)
    if (t->codePage == codePage) {
      g_sbcs = t;
      return 0;
    }
  for (const FatDbcsTable* t = g_FatDbcsTables; t->codePage; t++)
    if (t->codePage == codePage) {
      g_dbcs = t;
      return 0;
    }
  return 19;
}

uint32_t FatCurrentCodePage() {
  return g_sbcs ? g_sbcs->codePage : g_dbcs ? g_dbcs->codePage : 0;
}

uint16_t FatWideToOem(uint16_t ch) {
  if (ch < 0x80) return ch;
  if (g_sbcs) {
    for (int i = 0; i < 128; i++)
      if (g_sbcs->toUni[i] == ch) return (uint16_t)(0x80 + i);
    return 0;
  }
  if (g_dbcs) return Lookup(g_dbcs->byUni, g_dbcs->byUniCount, ch);
  return 0;
}

uint16_t FatOemToWide(uint16_t code) {
  if (code < 0x80) return code;
  if (g_sbcs) return code < 0x100 ? g_sbcs->toUni[code - 0x80] : 0;
  if (g_dbcs) return Lookup(g_dbcs->byOem, g_dbcs->byOemCount, code);
  return 0;
}

bool FatIsLeadByte(uint8_t b) {
  if (!g_dbcs) return false;
  for (const uint8_t* r = g_dbcs->leads; r[0]; r += 2)
    if (b >= r[0] && b <= r[1]) return true;
  return false;
}

uint8_t FatOemUpperByte(uint8_t b) {
  if (b < 0x80) return (b >= 'a' && b <= 'z') ? (uint8_t)(b - 0x20) : b;
  if (g_sbcs) return g_sbcs->upper[b - 0x80];
  return b;
}

uint16_t FatUpcase(uint16_t ch) {
  if (ch < 0x80) return (ch >= 'a' && ch <= 'z') ? (uint16_t)(ch - 0x20) : ch;
  uint16_t u = Lookup(g_FatUpcasePairs, g_FatUpcaseCount, ch);
  return u ? u : ch;
}
