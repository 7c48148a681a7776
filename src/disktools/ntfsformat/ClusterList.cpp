// The cluster allocation list and the placement scan of non-resident
// attributes.
#include <errno.h>

#include <algorithm>

#include "disktools/ntfsformat/NtfsFormatState.h"

namespace ntfsformat {

size_t ClusterList::Find(uint64_t cluster) const {
  size_t lo = 0, hi = m_extents.size();
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (m_extents[mid].first + m_extents[mid].length <= cluster)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

bool ClusterList::Allocate(uint64_t first, uint64_t length) {
  if (length == 0) return true;
  size_t i = Find(first);
  if (i < m_extents.size() && m_extents[i].first < first + length) return false;
  // Merge with the neighbours that touch the range.
  bool left = i > 0 && m_extents[i - 1].first + m_extents[i - 1].length == first;
  bool right = i < m_extents.size() && m_extents[i].first == first + length;
  if (left && right) {
    m_extents[i - 1].length += length + m_extents[i].length;
    m_extents.erase(m_extents.begin() + i);
  } else if (left) {
    m_extents[i - 1].length += length;
  } else if (right) {
    m_extents[i].first = first;
    m_extents[i].length += length;
  } else {
    m_extents.insert(m_extents.begin() + i, Extent{first, length});
  }
  return true;
}

void ClusterList::Free(uint64_t first, uint64_t length) {
  uint64_t end = first + length;
  size_t i = Find(first);
  while (i < m_extents.size() && m_extents[i].first < end) {
    Extent e = m_extents[i];
    uint64_t eEnd = e.first + e.length;
    if (e.first < first && eEnd > end) {  // split
      m_extents[i].length = first - e.first;
      m_extents.insert(m_extents.begin() + i + 1, Extent{end, eEnd - end});
      return;
    }
    if (e.first < first) {
      m_extents[i].length = first - e.first;
      ++i;
    } else if (eEnd > end) {
      m_extents[i].first = end;
      m_extents[i].length = eEnd - end;
      return;
    } else {
      m_extents.erase(m_extents.begin() + i);
    }
  }
}

uint64_t ClusterList::NextFree(uint64_t from) const {
  size_t i = Find(from);
  while (i < m_extents.size() && m_extents[i].first <= from) {
    from = m_extents[i].first + m_extents[i].length;
    ++i;
  }
  return from;
}

uint64_t ClusterList::FreeEnd(uint64_t from, uint64_t limit) const {
  size_t i = Find(from);
  if (i < m_extents.size() && m_extents[i].first < limit) return std::max(from, m_extents[i].first);
  return limit;
}

void ClusterList::FillBitmap(uint8_t* chunk, uint64_t firstBit, uint64_t bits) const {
  uint64_t end = firstBit + bits;
  for (size_t i = Find(firstBit); i < m_extents.size() && m_extents[i].first < end; ++i) {
    uint64_t from = std::max(firstBit, m_extents[i].first) - firstBit;
    uint64_t to = std::min(end, m_extents[i].first + m_extents[i].length) - firstBit;
    while (from < to && (from & 7)) {
      chunk[from >> 3] |= uint8_t(1u << (from & 7));
      ++from;
    }
    if (to - from >= 8) {
      memset(chunk + (from >> 3), 0xFF, size_t((to - from) >> 3));
      from += (to - from) & ~uint64_t(7);
    }
    for (; from < to; ++from) chunk[from >> 3] |= uint8_t(1u << (from & 7));
  }
}

int AllocateClusters(uint64_t count, Runlist* runs) {
  FormatState& s = State();
  Runlist taken;
  uint64_t pos = s.mftZoneEnd;
  uint64_t missing = count;
  while (missing) {
    pos = s.used.NextFree(pos);
    if (pos >= s.clusters) {
      // Top reached: look below, in the upper half of the MFT zone.
      s.mftZoneEnd /= 2;
      if (s.mftZoneEnd == 0) {
        for (const Run& r : taken) s.used.Free(uint64_t(r.lcn), uint64_t(r.length));
        return -ENOSPC;
      }
      pos = s.mftZoneEnd;
      continue;
    }
    uint64_t end = std::min(s.used.FreeEnd(pos, s.clusters), pos + missing);
    s.used.Allocate(pos, end - pos);
    if (!taken.empty() && uint64_t(taken.back().lcn + taken.back().length) == pos)
      taken.back().length += int64_t(end - pos);
    else
      taken.push_back(Run{int64_t(count - missing), int64_t(pos), int64_t(end - pos)});
    missing -= end - pos;
    pos = end;
  }
  *runs = taken;
  return 0;
}

}  // namespace ntfsformat
