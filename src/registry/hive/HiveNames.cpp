// Hive name conversions, comparison and hashes.
#include "registry/hive/HiveNames.h"

#include <windows.h>
#include <ntsecapi.h>

struct UpcaseRun {
  uint16_t first;
  int32_t delta;
  uint16_t count;
  uint8_t step;
};
extern const UpcaseRun kUpcaseRuns[];
extern const unsigned kUpcaseRunCount;

namespace {

// Fixed data rather than the host's case mapping: every host must order and
// hash names the same way as the Windows that reads the hive.
struct UpcaseTable {
  uint16_t map[65536];
  UpcaseTable() {
    for (uint32_t i = 0; i < 65536; i++) map[i] = (uint16_t)i;
    for (uint32_t c = 'a'; c <= 'z'; c++) map[c] = (uint16_t)(c - 32);
    for (unsigned r = 0; r < kUpcaseRunCount; r++) {
      const UpcaseRun& run = kUpcaseRuns[r];
      for (uint32_t k = 0; k < run.count; k++) {
        uint32_t c = run.first + k * run.step;
        map[c] = (uint16_t)(c + run.delta);
      }
    }
  }
};

const UpcaseTable& table() {
  static UpcaseTable t;
  return t;
}

}  // namespace

wchar_t reg_upcase(wchar_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? (wchar_t)(c - 32) : c;
  return (wchar_t)table().map[(uint16_t)c];
}

std::wstring hive_name_to_wide(const HiveName& n) {
  uint32_t u = n.units();
  std::wstring s(u, L'\0');
  for (uint32_t i = 0; i < u; i++) s[i] = (wchar_t)n.at(i);
  return s;
}

int hive_compare_name(const HiveName& a, const wchar_t* b, size_t nb) {
  uint32_t na = a.units();
  size_t n = na < nb ? na : nb;
  for (size_t i = 0; i < n; i++) {
    wchar_t x = reg_upcase((wchar_t)a.at((uint32_t)i)), y = reg_upcase(b[i]);
    if (x != y) return (int)(uint16_t)x - (int)(uint16_t)y;
  }
  return na < nb ? -1 : na > nb ? 1 : 0;
}

bool hive_name_equals(const HiveName& a, const wchar_t* b, size_t nb) {
  if (a.units() != nb) return false;
  for (size_t i = 0; i < nb; i++) {
    wchar_t x = (wchar_t)a.at((uint32_t)i), y = b[i];
    // Only units that differ are brought to upper case.
    if (x != y && reg_upcase(x) != reg_upcase(y)) return false;
  }
  return true;
}

int hive_compare_wide(const wchar_t* a, size_t na, const wchar_t* b, size_t nb) {
  size_t n = na < nb ? na : nb;
  for (size_t i = 0; i < n; i++) {
    wchar_t x = reg_upcase(a[i]), y = reg_upcase(b[i]);
    if (x != y) return (int)(uint16_t)x - (int)(uint16_t)y;
  }
  return na < nb ? -1 : na > nb ? 1 : 0;
}

uint32_t hive_name_hash(const wchar_t* s, size_t n) {
  uint32_t h = 0;
  for (size_t i = 0; i < n; i++) h = h * 37 + (uint16_t)reg_upcase(s[i]);
  return h;
}

uint32_t hive_stored_name_hash(const HiveName& n) {
  uint32_t h = 0;
  for (uint32_t i = 0, u = n.units(); i < u; i++) h = h * 37 + (uint16_t)reg_upcase((wchar_t)n.at(i));
  return h;
}

namespace {

uint64_t Rotl(uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

struct IndexKey {
  uint64_t k0, k1;
  IndexKey() {
    uint64_t k[2] = {};
    if (!RtlGenRandom(k, sizeof k)) {
      // Without the system's generator: what differs between processes.
      LARGE_INTEGER now;
      QueryPerformanceCounter(&now);
      k[0] = uint64_t(now.QuadPart) ^ (uint64_t(GetCurrentProcessId()) << 32);
      k[1] = uint64_t(uintptr_t(this)) * 0x9E3779B97F4A7C15ull ^ GetTickCount();
    }
    k0 = k[0];
    k1 = k[1];
  }
};

// SipHash-2-4 over the upper-case UTF-16 units, four to a message word.
class IndexHasher {
 public:
  IndexHasher() {
    static const IndexKey key;
    v0_ = key.k0 ^ 0x736F6D6570736575ull;
    v1_ = key.k1 ^ 0x646F72616E646F6Dull;
    v2_ = key.k0 ^ 0x6C7967656E657261ull;
    v3_ = key.k1 ^ 0x7465646279746573ull;
  }
  void Add(wchar_t c) {
    word_ |= uint64_t((uint16_t)reg_upcase(c)) << (16 * (units_ & 3));
    if ((++units_ & 3) == 0) {
      Compress(word_);
      word_ = 0;
    }
  }
  uint64_t Finish() {
    Compress(word_ | (uint64_t(units_ * 2) << 56));
    v2_ ^= 0xFF;
    for (int i = 0; i < 4; i++) Round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

 private:
  void Round() {
    v0_ += v1_;
    v1_ = Rotl(v1_, 13) ^ v0_;
    v0_ = Rotl(v0_, 32);
    v2_ += v3_;
    v3_ = Rotl(v3_, 16) ^ v2_;
    v0_ += v3_;
    v3_ = Rotl(v3_, 21) ^ v0_;
    v2_ += v1_;
    v1_ = Rotl(v1_, 17) ^ v2_;
    v2_ = Rotl(v2_, 32);
  }
  void Compress(uint64_t m) {
    v3_ ^= m;
    Round();
    Round();
    v0_ ^= m;
  }
  uint64_t v0_, v1_, v2_, v3_;
  uint64_t word_ = 0;
  uint32_t units_ = 0;
};

}  // namespace

uint64_t hive_index_hash(const wchar_t* s, size_t n) {
  IndexHasher h;
  for (size_t i = 0; i < n; i++) h.Add(s[i]);
  return h.Finish();
}

uint64_t hive_stored_index_hash(const HiveName& n) {
  IndexHasher h;
  for (uint32_t i = 0, u = n.units(); i < u; i++) h.Add((wchar_t)n.at(i));
  return h.Finish();
}

uint32_t hive_name_hint(const wchar_t* s, size_t n) {
  uint32_t h = 0;
  for (size_t i = 0; i < n && i < 4; i++) {
    if ((uint16_t)s[i] > 0xFF) break;
    h |= (uint32_t)(uint16_t)s[i] << (8 * i);
  }
  return h;
}

std::string hive_encode_name(const wchar_t* s, size_t n, bool* compressed) {
  bool narrow = true;
  for (size_t i = 0; i < n; i++)
    if ((uint16_t)s[i] > 0xFF) {
      narrow = false;
      break;
    }
  *compressed = narrow;
  std::string out;
  if (narrow) {
    out.resize(n);
    for (size_t i = 0; i < n; i++) out[i] = (char)(uint8_t)s[i];
  } else {
    out.resize(2 * n);
    for (size_t i = 0; i < n; i++) {
      out[2 * i] = (char)(uint8_t)s[i];
      out[2 * i + 1] = (char)(uint8_t)((uint16_t)s[i] >> 8);
    }
  }
  return out;
}
