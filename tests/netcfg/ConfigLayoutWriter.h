// A test-only writer of "Config" values, byte by byte from the two layout
// tables, independent of the product's serialiser: the parser is checked
// against it and the product's edits are compared with values it writes.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace nt {

struct LayoutEntry {
  GUID guid;
  uint32_t classIndex;
  uint32_t characteristics;
  std::wstring componentId;
  std::wstring pnpInstanceId;
};

struct LayoutValue {
  bool x64 = false;
  uint32_t header = 0;       // header word (the 64-bit layout's first four bytes)
  uint32_t tableHeader = 0;  // likewise for the table header
  std::vector<LayoutEntry> entries;
  std::vector<std::pair<uint32_t, uint32_t>> bindings;  // {upper, lower}
  std::vector<uint8_t> tail = std::vector<uint8_t>(0);  // after the terminating record
};

inline void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back((uint8_t)(x >> (8 * i)));
}
inline void PutText(std::vector<uint8_t>& v, const std::wstring& s) {
  for (wchar_t c : s) {
    v.push_back((uint8_t)c);
    v.push_back((uint8_t)(c >> 8));
  }
  v.push_back(0);
  v.push_back(0);
}
inline void Pad8(std::vector<uint8_t>& v) {
  while (v.size() % 8) v.push_back(0);
}

inline std::vector<uint8_t> WriteLayout(const LayoutValue& lv) {
  std::vector<uint8_t> v;
  Put32(v, lv.header);
  if (lv.x64) Put32(v, 0);
  Put32(v, (uint32_t)lv.entries.size());
  if (lv.x64) Put32(v, 0);
  for (const LayoutEntry& e : lv.entries) {
    const uint8_t* g = reinterpret_cast<const uint8_t*>(&e.guid);
    v.insert(v.end(), g, g + 16);
    Put32(v, e.classIndex);
    if (lv.x64) Put32(v, 0);
    Put32(v, e.characteristics);
    if (lv.x64) Put32(v, 0);
    PutText(v, e.componentId);
    if (lv.x64) Pad8(v);
    PutText(v, e.pnpInstanceId);
    if (lv.x64) Pad8(v);
  }
  Put32(v, lv.tableHeader);
  if (lv.x64) Put32(v, 0);
  Put32(v, (uint32_t)lv.bindings.size());
  if (lv.x64) Put32(v, 0);
  for (auto& b : lv.bindings) {
    Put32(v, b.first);
    if (lv.x64) Put32(v, 0);
    Put32(v, b.second);
    if (lv.x64) Put32(v, 0);
  }
  v.insert(v.end(), lv.x64 ? 16 : 8, 0);
  v.insert(v.end(), lv.tail.begin(), lv.tail.end());
  return v;
}

inline GUID MakeGuid(uint32_t n) {
  GUID g = {0x6b1e0000u + n,
            (uint16_t)(0x1000 + n),
            0x4abc,
            {0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, (uint8_t)n}};
  return g;
}

inline std::wstring GuidString(const GUID& g) {
  wchar_t t[64];
  StringFromGUID2(g, t, 64);
  return t;
}

}  // namespace nt
