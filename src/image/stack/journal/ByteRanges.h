// Byte ranges of a file: which ranges a set holds, and bytes held back for
// ranges before they are written.
#pragma once
#include <stdint.h>

#include <map>
#include <utility>
#include <vector>

// A set of byte ranges [start, end), kept merged.
class CRangeSet {
 public:
  void Add(uint64_t start, uint64_t end);
  void Add(const CRangeSet& other);
  void Remove(uint64_t start, uint64_t end);
  bool Covers(uint64_t start, uint64_t end) const;
  // The parts of [start, end) the set does not hold, in order.
  std::vector<std::pair<uint64_t, uint64_t>> Missing(uint64_t start, uint64_t end) const;
  // The parts of [start, end) the set holds, in order.
  std::vector<std::pair<uint64_t, uint64_t>> Held(uint64_t start, uint64_t end) const;
  // Whether the set holds any byte of [start, end).
  bool Reaches(uint64_t start, uint64_t end) const { return !Held(start, end).empty(); }
  bool Empty() const { return m_ranges.empty(); }
  void Clear() { m_ranges.clear(); }

 private:
  std::map<uint64_t, uint64_t> m_ranges;  // start -> end
};

// Bytes waiting to be written, by offset: a later write over the same bytes
// replaces them, so each byte is held once.
class CHeldWrites {
 public:
  void Put(uint64_t at, const uint8_t* data, uint32_t count);
  // Copies what is held of [at, at + count) over buffer.
  void Overlay(uint64_t at, uint8_t* buffer, uint32_t count) const;
  bool Overlaps(uint64_t at, uint64_t count) const;
  uint64_t Bytes() const { return m_bytes; }
  bool Empty() const { return m_runs.empty(); }
  void Clear() {
    m_runs.clear();
    m_bytes = 0;
  }
  // The held runs in offset order.
  const std::map<uint64_t, std::vector<uint8_t>>& Runs() const { return m_runs; }

 private:
  // Removes what the runs hold of [start, end).
  void Cut(uint64_t start, uint64_t end);
  std::map<uint64_t, std::vector<uint8_t>> m_runs;  // offset -> bytes; runs never overlap
  uint64_t m_bytes = 0;
};
