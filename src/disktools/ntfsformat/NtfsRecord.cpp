// FILE record and attribute builders of the formatter.
#include "disktools/ntfsformat/NtfsRecord.h"

#include <errno.h>
#include <wchar.h>

namespace ntfsformat {

namespace {

const uint16_t kUsaOffset = 48;
const uint32_t kEndMarker = 0xFFFFFFFF;

uint32_t NameLength(const wchar_t* name) {
  return name ? uint32_t(wcslen(name)) : 0;
}

// Signed little-endian byte count of v for the mapping pairs.
int SignedBytes(int64_t v) {
  int n = 1;
  while (n < 8 && (v < -(int64_t(1) << (8 * n - 1)) || v >= (int64_t(1) << (8 * n - 1)))) ++n;
  return n;
}

void PutSigned(std::vector<uint8_t>& out, int64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(uint64_t(v) >> (8 * i)));
}

std::vector<uint8_t> MappingPairs(const Runlist& runs) {
  std::vector<uint8_t> out;
  int64_t previous = 0;
  for (const Run& r : runs) {
    int lengthBytes = SignedBytes(r.length);
    if (r.lcn == kSparse) {
      out.push_back(uint8_t(lengthBytes));
      PutSigned(out, r.length, lengthBytes);
      continue;
    }
    int64_t delta = r.lcn - previous;
    int offsetBytes = SignedBytes(delta);
    out.push_back(uint8_t(offsetBytes << 4 | lengthBytes));
    PutSigned(out, r.length, lengthBytes);
    PutSigned(out, delta, offsetBytes);
    previous = r.lcn;
  }
  out.push_back(0);
  return out;
}

// Name of the attribute at a, as UTF-16 units.
const uint16_t* AttrName(const uint8_t* a) {
  return reinterpret_cast<const uint16_t*>(a + Get16(a + 10));
}

}  // namespace

void MftRecord::Layout(uint32_t number, uint16_t sequence) {
  memset(m_p, 0, m_size);
  memcpy(m_p, "FILE", 4);
  uint16_t usaCount = uint16_t(m_size / 512 + 1);
  Put16(m_p + 4, kUsaOffset);
  Put16(m_p + 6, usaCount);
  Put16(m_p + 16, sequence);
  uint16_t attrs = uint16_t(RoundUp(kUsaOffset + 2u * usaCount, 8));
  Put16(m_p + 20, attrs);
  Put32(m_p + 24, attrs + 8u);
  Put32(m_p + 28, m_size);
  Put32(m_p + 44, number);
  Put16(m_p + kUsaOffset, 1);
  Put32(m_p + attrs, kEndMarker);
}

void MftRecord::SetFlags(uint16_t flags) {
  Put16(m_p + 22, flags);
}

int MftRecord::Insert(uint32_t type, const wchar_t* name, const std::vector<uint8_t>& attr) {
  uint32_t inUse = BytesInUse();
  if (inUse + attr.size() > m_size) return -ENOSPC;
  uint32_t nameLength = NameLength(name);
  // The place: after every attribute of a lower type, or of the same type
  // whose name sorts first (the unnamed one before all named ones).
  uint32_t at = Get16(m_p + 20);
  while (Get32(m_p + at) != kEndMarker) {
    const uint8_t* a = m_p + at;
    uint32_t t = Get32(a);
    if (t > type) break;
    if (t == type &&
        CompareNames(AttrName(a), a[9], reinterpret_cast<const uint16_t*>(name), nameLength) > 0)
      break;
    at += Get32(a + 4);
  }
  memmove(m_p + at + attr.size(), m_p + at, inUse - at);
  memcpy(m_p + at, attr.data(), attr.size());
  uint16_t instance = Get16(m_p + 40);
  Put16(m_p + at + 14, instance);
  Put16(m_p + 40, uint16_t(instance + 1));
  Put32(m_p + 24, inUse + uint32_t(attr.size()));
  return 0;
}

int MftRecord::AddResident(uint32_t type, const wchar_t* name, const void* value, uint32_t length,
                           uint8_t residentFlags) {
  uint32_t nameLength = NameLength(name);
  uint32_t valueOffset = uint32_t(RoundUp(24 + 2 * nameLength, 8));
  std::vector<uint8_t> a(size_t(RoundUp(valueOffset + length, 8)), 0);
  Put32(&a[0], type);
  Put32(&a[4], uint32_t(a.size()));
  a[9] = uint8_t(nameLength);
  Put16(&a[10], 24);
  Put32(&a[16], length);
  Put16(&a[20], uint16_t(valueOffset));
  a[22] = residentFlags;
  if (nameLength) memcpy(&a[24], name, 2 * nameLength);
  if (length) memcpy(&a[valueOffset], value, length);
  return Insert(type, name, a);
}

int MftRecord::AddNonResident(uint32_t type, const wchar_t* name, const Runlist& runs,
                              uint64_t allocated, uint64_t dataSize, uint64_t initialized) {
  uint32_t nameLength = NameLength(name);
  std::vector<uint8_t> pairs = MappingPairs(runs);
  uint32_t pairsOffset = uint32_t(RoundUp(64 + 2 * nameLength, 8));
  std::vector<uint8_t> a(size_t(RoundUp(pairsOffset + pairs.size(), 8)), 0);
  int64_t lastVcn = -1;
  for (const Run& r : runs) lastVcn = r.vcn + r.length - 1;
  Put32(&a[0], type);
  Put32(&a[4], uint32_t(a.size()));
  a[8] = 1;
  a[9] = uint8_t(nameLength);
  Put16(&a[10], 64);
  Put64(&a[16], 0);
  Put64(&a[24], uint64_t(lastVcn));
  Put16(&a[32], uint16_t(pairsOffset));
  Put64(&a[40], allocated);
  Put64(&a[48], dataSize);
  Put64(&a[56], initialized);
  if (nameLength) memcpy(&a[64], name, 2 * nameLength);
  memcpy(&a[pairsOffset], pairs.data(), pairs.size());
  return Insert(type, name, a);
}

uint8_t* MftRecord::FindValue(uint32_t type, const wchar_t* name, uint32_t* length) {
  uint32_t nameLength = NameLength(name);
  for (uint32_t at = Get16(m_p + 20); Get32(m_p + at) != kEndMarker; at += Get32(m_p + at + 4)) {
    uint8_t* a = m_p + at;
    if (Get32(a) != type || a[8] != 0 || a[9] != nameLength) continue;
    if (nameLength && memcmp(AttrName(a), name, 2 * nameLength) != 0) continue;
    if (length) *length = Get32(a + 16);
    return a + Get16(a + 20);
  }
  return nullptr;
}

std::vector<uint8_t> MakeStandardInformation(uint64_t time, uint32_t attributes,
                                             uint32_t securityId) {
  std::vector<uint8_t> v(securityId ? 72 : 48, 0);
  for (int i = 0; i < 4; ++i) Put64(&v[8 * i], time);
  Put32(&v[32], attributes);
  if (securityId) Put32(&v[52], securityId);
  return v;
}

std::vector<uint8_t> MakeFileName(uint64_t parent, const wchar_t* name, uint64_t time,
                                  uint64_t allocated, uint64_t dataSize, uint32_t attributes) {
  uint32_t n = NameLength(name);
  std::vector<uint8_t> v(66 + 2 * n, 0);
  Put64(&v[0], parent);
  for (int i = 0; i < 4; ++i) Put64(&v[8 + 8 * i], time);
  Put64(&v[40], allocated);
  Put64(&v[48], dataSize);
  Put32(&v[56], attributes);
  v[64] = uint8_t(n);
  v[65] = 3;  // Win32 and DOS name
  memcpy(&v[66], name, 2 * n);
  return v;
}

std::vector<uint8_t> MakeFileNameEntry(uint64_t file, const std::vector<uint8_t>& fileName) {
  std::vector<uint8_t> e(size_t(RoundUp(16 + fileName.size(), 8)), 0);
  Put64(&e[0], file);
  Put16(&e[8], uint16_t(e.size()));
  Put16(&e[10], uint16_t(fileName.size()));
  memcpy(&e[16], fileName.data(), fileName.size());
  return e;
}

std::vector<uint8_t> MakeViewEntry(const void* key, uint16_t keyLength, const void* data,
                                   uint16_t dataLength) {
  uint16_t dataOffset = uint16_t(16 + keyLength);
  std::vector<uint8_t> e(size_t(RoundUp(dataOffset + dataLength, 8)), 0);
  Put16(&e[0], dataOffset);
  Put16(&e[2], dataLength);
  Put16(&e[8], uint16_t(e.size()));
  Put16(&e[10], keyLength);
  memcpy(&e[16], key, keyLength);
  memcpy(&e[dataOffset], data, dataLength);
  return e;
}

int8_t ClustersPerRecord(uint32_t recordSize, bool bootSector) {
  uint32_t cluster = State().clusterSize;
  if (recordSize >= cluster) return int8_t(recordSize / cluster);
  if (!bootSector) return int8_t(recordSize / 512);
  int shift = 0;
  while ((1u << shift) < recordSize) ++shift;
  return int8_t(-shift);
}

int MakeIndexRoot(uint32_t indexedType, uint32_t collation,
                  const std::vector<std::vector<uint8_t>>& entries, std::vector<uint8_t>* root) {
  FormatState& s = State();
  uint32_t size = s.indexRecordSize;
  bool powerOfTwo = (size & (size - 1)) == 0;
  if (size < s.clusterSize ? (!powerOfTwo || size < s.sectorSize) : size % s.clusterSize != 0)
    return -EINVAL;
  uint32_t entryBytes = 16;
  for (const auto& e : entries) entryBytes += uint32_t(e.size());
  root->assign(32 + entryBytes, 0);
  uint8_t* r = root->data();
  Put32(r, indexedType);
  Put32(r + 4, collation);
  Put32(r + 8, size);
  r[12] = uint8_t(ClustersPerRecord(size, false));
  Put32(r + 16, 16);
  Put32(r + 20, 16 + entryBytes);
  Put32(r + 24, 16 + entryBytes);
  uint32_t at = 32;
  for (const auto& e : entries) {
    memcpy(r + at, e.data(), e.size());
    at += uint32_t(e.size());
  }
  Put16(r + at + 8, 16);
  Put16(r + at + 12, 2);  // last entry
  return 0;
}

int CompareNames(const uint16_t* a, uint32_t aLength, const uint16_t* b, uint32_t bLength) {
  const std::vector<uint16_t>& up = State().upcase;
  for (uint32_t i = 0; i < aLength && i < bLength; ++i) {
    uint16_t x = up.empty() ? a[i] : up[a[i]];
    uint16_t y = up.empty() ? b[i] : up[b[i]];
    if (x != y) return x < y ? -1 : 1;
  }
  return aLength < bLength ? -1 : aLength > bLength ? 1 : 0;
}

void InsertFileNameEntry(std::vector<std::vector<uint8_t>>& entries,
                         const std::vector<uint8_t>& entry) {
  auto name = [](const std::vector<uint8_t>& e) {
    return reinterpret_cast<const uint16_t*>(&e[16 + 66]);
  };
  size_t i = 0;
  while (i < entries.size() &&
         CompareNames(name(entries[i]), entries[i][16 + 64], name(entry), entry[16 + 64]) < 0)
    ++i;
  entries.insert(entries.begin() + i, entry);
}

}  // namespace ntfsformat
