// The map of an own-format file as its documented layout gives it, read from
// the file's bytes: where the leaf of a disk sector lies, and a writer that
// knows that layout alone (as the installation's server writes a
// workstation's write-back file).
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/ByteOrder.h"

namespace sfm {

const size_t kSector = 512;

// The table entry that names the leaf block of device sector s, and the
// leaf block (0 when absent or past the end of the file).
struct LeafPlace {
  size_t entry = 0;    // byte offset of the third-level table entry, 0 when none
  uint32_t block = 0;  // first sector of the leaf block
  size_t leaf = 0;     // byte offset of the leaf, 0 without a block
};

inline uint32_t EntryAt(const std::vector<uint8_t>& f, uint32_t table, uint32_t index) {
  size_t at = (size_t)table * kSector + index * 4;
  return at + 4 <= f.size() ? Ld32(&f[at]) : 0;
}

inline LeafPlace FindLeaf(const std::vector<uint8_t>& f, uint64_t deviceSector) {
  LeafPlace p;
  uint32_t k = (uint32_t)(deviceSector >> 7);
  uint32_t second = EntryAt(f, 8, k >> 27);
  uint32_t third = second ? EntryAt(f, second, (k >> 17) & 1023) : 0;
  if (!third) return p;
  p.entry = (size_t)third * kSector + ((k >> 7) & 1023) * 4;
  p.block = EntryAt(f, third, (k >> 7) & 1023);
  if (p.block && ((size_t)p.block + 8) * kSector <= f.size())
    p.leaf = (size_t)p.block * kSector + (k & 127) * 32;
  else
    p.block = 0;
  return p;
}

// Device sector s is held by the file.
inline bool Held(const std::vector<uint8_t>& f, uint64_t s) {
  LeafPlace p = FindLeaf(f, s);
  uint32_t i = (uint32_t)(s & 127);
  return p.leaf && Ld32(&f[p.leaf]) && (f[p.leaf + 16 + i / 8] >> (i % 8)) & 1;
}

struct FileWrite {
  size_t offset;
  std::vector<uint8_t> bytes;
};

// Writes one sector into an overlay the way the format's documentation
// describes a writer: a chunk (and a leaf block) from the next free sector
// when missing, the data, the sector's bit and the leaf's generation, the
// identity renewed and the generation counted up, the checksum; every other
// byte as read (the leaf's bytes 8..15 included, zero in a new leaf block).
// The writes come in the order such a writer makes them: data, leaf block,
// the table that points at a new leaf block, then the header.
class DocumentedWriter {
 public:
  explicit DocumentedWriter(const std::vector<uint8_t>& file) : m_f(file) {}

  std::vector<FileWrite> WriteSector(uint64_t deviceSector, const uint8_t* data) {
    std::vector<FileWrite> out;
    uint32_t gen = Ld32(&m_f[70]) + 1;
    uint32_t next = Ld32(&m_f[kSector + 24]), used = Ld32(&m_f[kSector + 32]);
    LeafPlace p = FindLeaf(m_f, deviceSector);
    bool newBlock = !p.block;
    if (newBlock) {
      p.block = next;
      next += 8;
      used += 8;
      Grow(next);
      St32(&m_f[p.entry], p.block);
      p.leaf = (size_t)p.block * kSector + ((deviceSector >> 7) & 127) * 32;
    }
    uint8_t* leaf = &m_f[p.leaf];
    if (!Ld32(leaf)) {
      St32(leaf, next);
      next += 128;
    }
    uint32_t i = (uint32_t)(deviceSector & 127);
    size_t at = ((size_t)Ld32(leaf) + i) * kSector;
    Grow((uint32_t)(at / kSector + 1));
    leaf = &m_f[p.leaf];
    memcpy(&m_f[at], data, kSector);
    out.push_back(Take(at, kSector));
    leaf[16 + i / 8] |= (uint8_t)(1u << (i % 8));
    St32(leaf + 4, gen);
    out.push_back(Take((size_t)p.block * kSector, 4096));
    if (newBlock) out.push_back(Take(p.entry / 4096 * 4096, 4096));
    St64(&m_f[232], Ld64(&m_f[14]));
    St64(&m_f[22], Ld64(&m_f[22]) + 10000000);
    St32(&m_f[70], gen);
    St32(&m_f[kSector + 24], next);
    St32(&m_f[kSector + 32], used);
    uint32_t sum = 0;
    for (int b = 0; b < 74; b++) sum += m_f[b];
    St32(&m_f[74], sum ? sum : 0xFFFFFFFFu);
    out.push_back(Take(0, 2 * kSector));
    return out;
  }

 private:
  void Grow(uint32_t sectors) {
    if (m_f.size() < (size_t)sectors * kSector) m_f.resize((size_t)sectors * kSector, 0);
  }
  FileWrite Take(size_t at, size_t n) {
    return {at, std::vector<uint8_t>(m_f.begin() + at, m_f.begin() + at + n)};
  }

  std::vector<uint8_t> m_f;
};

// A file with a write applied (grown when the write goes past its end).
inline void Apply(std::vector<uint8_t>& f, const FileWrite& w) {
  if (f.size() < w.offset + w.bytes.size()) f.resize(w.offset + w.bytes.size(), 0);
  memcpy(&f[w.offset], w.bytes.data(), w.bytes.size());
}

}  // namespace sfm
