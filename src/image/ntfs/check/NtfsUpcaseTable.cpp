#include "image/ntfs/check/NtfsUpcaseTable.h"

#include <windows.h>

#include "image/ntfs/NtfsFormatSupport.h"

namespace {

// The system's upper case of every UTF-16 unit, as the file system maps
// names (no language's rules); surrogates stay as they are.
std::vector<uint16_t> SystemUpcase() {
  std::vector<uint16_t> upper(kNtfsUpcaseEntries);
  for (uint32_t c = 0; c < kNtfsUpcaseEntries; c++) upper[c] = (uint16_t)c;
  const uint32_t kChunk = 0x800;
  for (uint32_t c = 0; c < kNtfsUpcaseEntries; c += kChunk) {
    if (c >= 0xD800 && c < 0xE000) continue;
    std::vector<wchar_t> in(upper.begin() + c, upper.begin() + c + kChunk), out(kChunk);
    if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, in.data(), (int)kChunk, out.data(),
                     (int)kChunk) == (int)kChunk)
      for (uint32_t i = 0; i < kChunk; i++) upper[c + i] = (uint16_t)out[i];
  }
  return upper;
}

}  // namespace

int64_t CountStrayUpcaseEntries(const uint16_t* table, uint32_t* first,
                                std::vector<uint16_t>* mended) {
  std::vector<uint16_t> known(kNtfsUpcaseEntries);
  if (!BuildDefaultNtfsUpcase(known.data())) return -1;
  static const std::vector<uint16_t> system = SystemUpcase();
  if (mended) mended->assign(table, table + kNtfsUpcaseEntries);
  int64_t stray = 0;
  for (uint32_t c = 0; c < kNtfsUpcaseEntries; c++) {
    uint16_t u = table[c];
    if (u == known[c] || (c >= 0x80 && (u == c || u == system[c]))) continue;
    if (!stray++) *first = c;
    if (mended) (*mended)[c] = known[c];
  }
  return stray;
}
