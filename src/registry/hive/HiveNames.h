// Key and value names as stored in a hive: 8-bit names are Latin-1 (each
// byte one UTF-16 unit), others UTF-16LE. Comparison, ordering and the "lh"
// hash use the Unicode upper case of each unit, as Windows does.
#pragma once
#include <cstdint>
#include <string>

struct HiveName {
  const uint8_t* p = nullptr;
  uint32_t bytes = 0;
  bool compressed = false;
  uint32_t units() const { return compressed ? bytes : bytes / 2; }
  uint16_t at(uint32_t i) const {
    return compressed ? p[i] : (uint16_t)(p[2 * i] | (p[2 * i + 1] << 8));
  }
};

wchar_t reg_upcase(wchar_t c);
std::wstring hive_name_to_wide(const HiveName& n);
// Negative, 0 or positive as the stored name sorts before, equal to or after
// the given one, ignoring case.
int hive_compare_name(const HiveName& a, const wchar_t* b, size_t nb);
// True when the stored name and the given one are the same, ignoring case.
bool hive_name_equals(const HiveName& a, const wchar_t* b, size_t nb);
int hive_compare_wide(const wchar_t* a, size_t na, const wchar_t* b, size_t nb);
uint32_t hive_name_hash(const wchar_t* s, size_t n);
// The same hash of a stored name.
uint32_t hive_stored_name_hash(const HiveName& n);
// The hash of the in-memory value index: SipHash-2-4 of the upper-case
// units under a key drawn at random once per process. Names that share the
// "lh" hash (a .reg file may be made to hold thousands of them) are no more
// likely to share this one than any others.
uint64_t hive_index_hash(const wchar_t* s, size_t n);
uint64_t hive_stored_index_hash(const HiveName& n);
// lf hint: the first four units while they fit in a byte, zero-padded.
uint32_t hive_name_hint(const wchar_t* s, size_t n);
// Stored form of a name: 8-bit (Latin-1) when every unit fits, else UTF-16LE.
std::string hive_encode_name(const wchar_t* s, size_t n, bool* compressed);
