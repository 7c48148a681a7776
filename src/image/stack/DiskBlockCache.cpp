#include "image/stack/DiskBlockCache.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "image/device/SectorDevice.h"

namespace {

// Reads up to this size fill blocks; larger ones pass by them.
const uint32_t kMaxHeldRead = 16 * 1024;
// Blocks joined into one write by a flush.
const uint32_t kMaxRunBlocks = 256;

}  // namespace

CDiskBlockCache::CDiskBlockCache(Backing* backing, uint64_t firstSector, uint32_t maxBlocks)
    : m_backing(backing), m_maxBlocks(maxBlocks ? maxBlocks : 1), m_first(firstSector) {
  InitializeCriticalSection(&m_lock);
}

CDiskBlockCache::~CDiskBlockCache() {
  DeleteCriticalSection(&m_lock);
}

void CDiskBlockCache::SetEnd(uint64_t endSector) {
  VroCsLock lock(&m_lock);
  bool smaller = endSector < m_end;
  m_end = endSector;
  if (!smaller) return;
  // The disk became smaller: blocks past its end are no part of it (what
  // waits there could no longer be written, nor read back). The last slot
  // moves into each one freed.
  for (uint32_t s = 0; s < (uint32_t)m_slots.size();) {
    if (m_first + (m_slots[s].block + 1) * kBlockSectors <= m_end) {
      s++;
      continue;
    }
    if (m_slots[s].dirty) m_dirty--;
    m_index.erase(m_slots[s].block);
    uint32_t last = (uint32_t)m_slots.size() - 1;
    if (s != last) {
      m_slots[s] = m_slots[last];
      memcpy(Data(s), Data(last), kBlockBytes);
      m_index[m_slots[s].block] = s;
    }
    m_slots.pop_back();
  }
}

bool CDiskBlockCache::Meet(uint64_t block, uint64_t sector, uint64_t end, uint64_t* from,
                           uint64_t* to, uint64_t* lo) const {
  *lo = m_first + block * kBlockSectors;
  *from = std::max(sector, *lo);
  *to = std::min(end, *lo + kBlockSectors);
  return *from < *to;
}

bool CDiskBlockCache::Holdable(uint64_t sector, uint32_t bytes) const {
  if (!bytes || bytes % VRO_SECTOR || sector < m_first) return false;
  uint64_t first = (sector - m_first) / kBlockSectors;
  uint64_t last = (sector + bytes / VRO_SECTOR - 1 - m_first) / kBlockSectors;
  return last - first < m_maxBlocks && m_first + (last + 1) * kBlockSectors <= m_end;
}

uint64_t CDiskBlockCache::Missing(uint64_t first, uint64_t last) const {
  uint64_t n = 0;
  for (uint64_t b = first; b <= last; b++) n += m_index.count(b) ? 0 : 1;
  return n;
}

int64_t CDiskBlockCache::Take(uint64_t block, bool readIn) {
  auto found = m_index.find(block);
  if (found != m_index.end()) return found->second;
  uint32_t slot = (uint32_t)m_slots.size();
  // Memory the process cannot spare makes the request pass by the blocks.
  try {
    if (slot / kPieceBlocks >= m_pieces.size()) {
      uint32_t blocks = std::min(kPieceBlocks, m_maxBlocks - slot);
      std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[(size_t)blocks * kBlockBytes]);
      if (!piece) return -1;
      m_pieces.push_back(std::move(piece));
    }
    m_slots.reserve(slot + 1);
    m_index.reserve(m_index.size() + 1);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (readIn &&
      m_backing->ReadThrough(m_first + block * kBlockSectors, Data(slot), kBlockBytes) !=
          (int64_t)kBlockBytes)
    return -1;
  m_slots.push_back(Slot{block, false});
  try {
    m_index.emplace(block, slot);
  } catch (const std::bad_alloc&) {
    m_slots.pop_back();
    return -1;
  }
  return slot;
}

int64_t CDiskBlockCache::Read(uint64_t sector, void* buf, uint32_t bytes) {
  VroCsLock lock(&m_lock);
  uint8_t* out = static_cast<uint8_t*>(buf);
  if (bytes <= kMaxHeldRead && Holdable(sector, bytes)) {
    uint64_t first = (sector - m_first) / kBlockSectors;
    uint64_t last = (sector + bytes / VRO_SECTOR - 1 - m_first) / kBlockSectors;
    bool room = m_slots.size() + Missing(first, last) <= m_maxBlocks;
    if (room || FlushLocked() == 0) {
      if (!room) Drop();
      bool whole = true;
      for (uint64_t b = first; b <= last && whole; b++) whole = Take(b, true) >= 0;
      if (whole) {
        uint64_t from, to, lo;
        for (uint64_t b = first; b <= last; b++) {
          Meet(b, sector, sector + bytes / VRO_SECTOR, &from, &to, &lo);
          memcpy(out + (from - sector) * VRO_SECTOR, Data(m_index[b]) + (from - lo) * VRO_SECTOR,
                 (size_t)(to - from) * VRO_SECTOR);
        }
        return bytes;
      }
    }
  }
  // Past the blocks: the layers' bytes with the waiting writes over them.
  int64_t r = m_backing->ReadThrough(sector, buf, bytes);
  if (r > 0 && m_dirty) LayDirty(sector, out, (uint32_t)r / VRO_SECTOR * VRO_SECTOR);
  return r;
}

int64_t CDiskBlockCache::Write(uint64_t sector, const void* buf, uint32_t bytes) {
  VroCsLock lock(&m_lock);
  const uint8_t* in = static_cast<const uint8_t*>(buf);
  if (bytes <= kMaxHeldRequest && Holdable(sector, bytes)) {
    uint64_t end = sector + bytes / VRO_SECTOR;
    uint64_t first = (sector - m_first) / kBlockSectors;
    uint64_t last = (end - 1 - m_first) / kBlockSectors;
    bool room = m_slots.size() + Missing(first, last) <= m_maxBlocks;
    if (!room) {
      if (FlushLocked() < 0) return -(int64_t)bytes;
      Drop();
    }
    // Every block first (a block the write covers in part is read in),
    // so that a failed read changes nothing.
    bool whole = true;
    uint64_t from, to, lo;
    for (uint64_t b = first; b <= last && whole; b++) {
      Meet(b, sector, end, &from, &to, &lo);
      whole = Take(b, to - from < kBlockSectors) >= 0;
    }
    if (whole) {
      for (uint64_t b = first; b <= last; b++) {
        Meet(b, sector, end, &from, &to, &lo);
        uint32_t slot = m_index[b];
        memcpy(Data(slot) + (from - lo) * VRO_SECTOR, in + (from - sector) * VRO_SECTOR,
               (size_t)(to - from) * VRO_SECTOR);
        if (!m_slots[slot].dirty) {
          m_slots[slot].dirty = true;
          m_dirty++;
        }
      }
      return bytes;
    }
  }
  // Straight to the layers; the blocks held keep the newest bytes.
  int64_t r = m_backing->WriteThrough(sector, buf, bytes);
  if (r > 0) Update(sector, in, (uint32_t)r / VRO_SECTOR * VRO_SECTOR);
  return r;
}

int CDiskBlockCache::Flush() {
  VroCsLock lock(&m_lock);
  return FlushLocked();
}

int CDiskBlockCache::FlushLocked() {
  if (!m_dirty) return 0;
  std::vector<std::pair<uint64_t, uint32_t>> order;  // block, slot
  std::vector<uint8_t> run;
  try {
    order.reserve(m_dirty);
    run.reserve((size_t)kMaxRunBlocks * kBlockBytes);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  for (uint32_t s = 0; s < (uint32_t)m_slots.size(); s++)
    if (m_slots[s].dirty) order.emplace_back(m_slots[s].block, s);
  std::sort(order.begin(), order.end());
  for (size_t i = 0; i < order.size();) {
    size_t n = 1;
    while (i + n < order.size() && n < kMaxRunBlocks && order[i + n].first == order[i].first + n)
      n++;
    const uint8_t* p = Data(order[i].second);
    if (n > 1) {
      run.resize(n * kBlockBytes);
      for (size_t k = 0; k < n; k++)
        memcpy(&run[k * kBlockBytes], Data(order[i + k].second), kBlockBytes);
      p = run.data();
    }
    uint32_t bytes = (uint32_t)(n * kBlockBytes);
    if (m_backing->WriteThrough(m_first + order[i].first * kBlockSectors, p, bytes) !=
        (int64_t)bytes)
      return -1;
    for (size_t k = 0; k < n; k++) m_slots[order[i + k].second].dirty = false;
    m_dirty -= (uint32_t)n;
    i += n;
  }
  return 0;
}

void CDiskBlockCache::Drop() {
  VroCsLock lock(&m_lock);
  m_index.clear();
  m_slots.clear();
  m_dirty = 0;
}

bool CDiskBlockCache::Dirty() const {
  VroCsLock lock(&m_lock);
  return m_dirty != 0;
}

void CDiskBlockCache::LayDirty(uint64_t sector, uint8_t* buf, uint32_t bytes) {
  uint64_t end = sector + bytes / VRO_SECTOR, from, to, lo;
  for (uint32_t i = 0; i < (uint32_t)m_slots.size(); i++)
    if (m_slots[i].dirty && Meet(m_slots[i].block, sector, end, &from, &to, &lo))
      memcpy(buf + (from - sector) * VRO_SECTOR, Data(i) + (from - lo) * VRO_SECTOR,
             (size_t)(to - from) * VRO_SECTOR);
}

void CDiskBlockCache::Update(uint64_t sector, const uint8_t* buf, uint32_t bytes) {
  uint64_t end = sector + bytes / VRO_SECTOR, from, to, lo;
  for (uint32_t i = 0; i < (uint32_t)m_slots.size(); i++)
    if (Meet(m_slots[i].block, sector, end, &from, &to, &lo))
      memcpy(Data(i) + (from - lo) * VRO_SECTOR, buf + (from - sector) * VRO_SECTOR,
             (size_t)(to - from) * VRO_SECTOR);
}
