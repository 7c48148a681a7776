#include "image/stack/journal/ByteRanges.h"

#include <string.h>

#include <algorithm>

void CRangeSet::Add(uint64_t start, uint64_t end) {
  if (start >= end) return;
  auto it = m_ranges.upper_bound(start);
  if (it != m_ranges.begin()) {
    auto prev = std::prev(it);
    if (prev->second >= start) {
      start = prev->first;
      if (prev->second > end) end = prev->second;
      it = m_ranges.erase(prev);
    }
  }
  while (it != m_ranges.end() && it->first <= end) {
    if (it->second > end) end = it->second;
    it = m_ranges.erase(it);
  }
  m_ranges.emplace(start, end);
}

void CRangeSet::Add(const CRangeSet& other) {
  for (const auto& r : other.m_ranges) Add(r.first, r.second);
}

void CRangeSet::Remove(uint64_t start, uint64_t end) {
  if (start >= end) return;
  auto it = m_ranges.upper_bound(start);
  if (it != m_ranges.begin()) --it;
  while (it != m_ranges.end() && it->first < end) {
    uint64_t from = it->first, to = it->second;
    if (to <= start) {
      ++it;
      continue;
    }
    it = m_ranges.erase(it);
    if (from < start) m_ranges.emplace(from, start);
    if (to > end) m_ranges.emplace(end, to);
  }
}

bool CRangeSet::Covers(uint64_t start, uint64_t end) const {
  if (start >= end) return true;
  auto it = m_ranges.upper_bound(start);
  if (it == m_ranges.begin()) return false;
  --it;
  return it->first <= start && it->second >= end;
}

std::vector<std::pair<uint64_t, uint64_t>> CRangeSet::Held(uint64_t start, uint64_t end) const {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  if (start >= end) return out;
  auto it = m_ranges.upper_bound(start);
  if (it != m_ranges.begin()) --it;
  for (; it != m_ranges.end() && it->first < end; ++it) {
    uint64_t from = std::max(it->first, start), to = std::min(it->second, end);
    if (from < to) out.emplace_back(from, to);
  }
  return out;
}

std::vector<std::pair<uint64_t, uint64_t>> CRangeSet::Missing(uint64_t start, uint64_t end) const {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  uint64_t at = start;
  auto it = m_ranges.upper_bound(start);
  if (it != m_ranges.begin()) --it;
  for (; it != m_ranges.end() && at < end; ++it) {
    if (it->second <= at) continue;
    if (it->first >= end) break;
    if (it->first > at) out.emplace_back(at, it->first);
    at = it->second;
  }
  if (at < end) out.emplace_back(at, end);
  return out;
}

void CHeldWrites::Cut(uint64_t start, uint64_t end) {
  auto it = m_runs.upper_bound(start);
  if (it != m_runs.begin()) --it;
  while (it != m_runs.end() && it->first < end) {
    uint64_t runStart = it->first, runEnd = runStart + it->second.size();
    if (runEnd <= start) {
      ++it;
      continue;
    }
    std::vector<uint8_t> data = std::move(it->second);
    it = m_runs.erase(it);
    m_bytes -= data.size();
    if (runStart < start) {
      m_runs.emplace(runStart, std::vector<uint8_t>(data.begin(), data.begin() + (start - runStart)));
      m_bytes += start - runStart;
    }
    if (runEnd > end) {
      it = m_runs.emplace(end, std::vector<uint8_t>(data.begin() + (end - runStart), data.end())).first;
      m_bytes += runEnd - end;
      ++it;
    }
  }
}

void CHeldWrites::Put(uint64_t at, const uint8_t* data, uint32_t count) {
  if (!count) return;
  Cut(at, at + count);
  // A write that continues the run before it joins it: the held runs stay
  // as few as the writes are contiguous.
  auto it = m_runs.lower_bound(at);
  if (it != m_runs.begin()) {
    auto prev = std::prev(it);
    if (prev->first + prev->second.size() == at && prev->second.size() < (4u << 20)) {
      prev->second.insert(prev->second.end(), data, data + count);
      m_bytes += count;
      return;
    }
  }
  m_runs.emplace(at, std::vector<uint8_t>(data, data + count));
  m_bytes += count;
}

void CHeldWrites::Overlay(uint64_t at, uint8_t* buffer, uint32_t count) const {
  uint64_t end = at + count;
  auto it = m_runs.upper_bound(at);
  if (it != m_runs.begin()) --it;
  for (; it != m_runs.end() && it->first < end; ++it) {
    uint64_t runStart = it->first, runEnd = runStart + it->second.size();
    uint64_t from = runStart > at ? runStart : at, to = runEnd < end ? runEnd : end;
    if (from >= to) continue;
    memcpy(buffer + (from - at), it->second.data() + (from - runStart), size_t(to - from));
  }
}

bool CHeldWrites::Overlaps(uint64_t at, uint64_t count) const {
  uint64_t end = at + count;
  auto it = m_runs.upper_bound(at);
  if (it != m_runs.begin()) {
    auto prev = std::prev(it);
    if (prev->first + prev->second.size() > at) return true;
  }
  return it != m_runs.end() && it->first < end;
}
