// The folder indexes of a mount: digests of names to entry sets, runs of
// free entries, the clusters of each folder's chain.
#include "image/fat/FatFolderIndex.h"

#include <iterator>
#include <memory>
#include <new>
#include <unordered_map>

#include "image/fat/FatInternal.h"

namespace {
const uint32_t kEmpty = 0xFFFFFFFF;
// Keys the indexes of one mount may hold (each takes 8 to 16 bytes); past
// it the other folders' indexes go, and a folder bigger than that alone is
// searched by the walk.
const size_t kMaxKeys = 1u << 21;
const uint32_t kSizes = 32;  // set sizes in entries that FreeHint remembers
}  // namespace

struct FatFolderIndexes {
  size_t keys = 0;  // first: the indexes count theirs off as they go
  std::unordered_map<uint32_t, uint32_t> owner;  // cluster -> first cluster of its folder
  std::unordered_map<uint32_t, std::unique_ptr<FatFolderIndex>> folders;
};

FatFolderIndex::FatFolderIndex(size_t* total) : m_total(total) {
  for (uint32_t& f : m_fitFrom) f = 0;
}

FatFolderIndex::~FatFolderIndex() {
  *m_total -= m_used;
}

size_t FatFolderIndex::Home(uint32_t key) const {
  return (size_t)(key * 2654435761u) & (m_slots.size() - 1);
}

bool FatFolderIndex::Grow() {
  std::vector<Slot> old;
  try {
    old.assign(m_slots.begin(), m_slots.end());
    m_slots.assign(m_slots.empty() ? 64 : m_slots.size() * 2, Slot{0, kEmpty});
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (const Slot& s : old) {
    if (s.offset == kEmpty) continue;
    size_t i = Home(s.key);
    while (m_slots[i].offset != kEmpty) i = (i + 1) & (m_slots.size() - 1);
    m_slots[i] = s;
  }
  return true;
}

bool FatFolderIndex::AddKey(uint32_t key, uint32_t setOffset) {
  if ((m_used + 1) * 2 > m_slots.size() && !Grow()) return false;
  size_t i = Home(key);
  while (m_slots[i].offset != kEmpty) i = (i + 1) & (m_slots.size() - 1);
  m_slots[i] = Slot{key, setOffset};
  m_used++;
  ++*m_total;
  return true;
}

bool FatFolderIndex::RemoveKey(uint32_t key, uint32_t setOffset) {
  if (m_slots.empty()) return false;
  const size_t mask = m_slots.size() - 1;
  size_t i = Home(key);
  for (;; i = (i + 1) & mask) {
    if (m_slots[i].offset == kEmpty) return false;
    if (m_slots[i].key == key && m_slots[i].offset == setOffset) break;
  }
  // Backward shift: a later slot moves into the gap unless its home lies
  // cyclically in (gap, slot].
  for (size_t j = (i + 1) & mask;; j = (j + 1) & mask) {
    if (m_slots[j].offset == kEmpty) break;
    size_t home = Home(m_slots[j].key);
    bool between = i <= j ? (home > i && home <= j) : (home > i || home <= j);
    if (between) continue;
    m_slots[i] = m_slots[j];
    i = j;
  }
  m_slots[i].offset = kEmpty;
  m_used--;
  --*m_total;
  return true;
}

void FatFolderIndex::Find(uint32_t key, std::vector<uint32_t>* offsets) const {
  if (m_slots.empty()) return;
  for (size_t i = Home(key); m_slots[i].offset != kEmpty; i = (i + 1) & (m_slots.size() - 1))
    if (m_slots[i].key == key) offsets->push_back(m_slots[i].offset);
}

bool FatFolderIndex::AddFree(uint32_t from, uint32_t to) {
  if (from >= to) return false;
  auto next = m_free.lower_bound(from);
  if ((next != m_free.end() && next->first < to) ||
      (next != m_free.begin() && std::prev(next)->second > from))
    return false;
  if (next != m_free.end() && next->first == to) {
    to = next->second;
    next = m_free.erase(next);
  }
  if (next != m_free.begin()) {
    auto prev = std::prev(next);
    if (prev->second == from) {
      from = prev->first;
      m_free.erase(prev);
    }
  }
  m_free[from] = to;
  for (uint32_t n = 1; n < kSizes && n * 32 <= to - from; n++)
    if (m_fitFrom[n] > from) m_fitFrom[n] = from;
  return true;
}

bool FatFolderIndex::TakeFree(uint32_t from, uint32_t to) {
  auto it = m_free.upper_bound(from);
  if (it == m_free.begin()) return false;
  --it;
  uint32_t start = it->first, end = it->second;
  if (to > end) return false;
  m_free.erase(it);
  if (start < from) m_free[start] = from;
  if (to < end) m_free[to] = end;
  return true;
}

uint32_t FatFolderIndex::FreeHint(uint32_t bytes) {
  uint32_t n = bytes / 32;
  auto it = m_free.lower_bound(n < kSizes ? m_fitFrom[n] : 0);
  for (; it != m_free.end(); ++it) {
    if (it->second - it->first >= bytes) {
      if (n < kSizes) m_fitFrom[n] = it->first;
      return it->first;
    }
  }
  if (n < kSizes) m_fitFrom[n] = allocEnd;
  if (!m_free.empty() && m_free.rbegin()->second == allocEnd) return m_free.rbegin()->first;
  return allocEnd;
}

uint32_t FatNameKey(const FatWorkArea* fs, const uint16_t* name, uint32_t length) {
  uint32_t h = 2166136261u;
  for (uint32_t i = 0; i < length; i++) {
    uint16_t u = FatVolumeUpcase(fs, name[i]);
    h = (h ^ (u & 0xFF)) * 16777619u;
    h = (h ^ (u >> 8)) * 16777619u;
  }
  return h;
}

uint32_t FatShortKey(const uint8_t* sfn) {
  uint32_t h = 2166136261u ^ 0x5F5F5F5Fu;
  for (int i = 0; i < 11; i++) h = (h ^ sfn[i]) * 16777619u;
  return h;
}

FatFolderIndex* FatFolderIndexOf(FatWorkArea* fs, uint32_t first) {
  if (!fs->folders) return nullptr;
  auto it = fs->folders->folders.find(first);
  return it == fs->folders->folders.end() ? nullptr : it->second.get();
}

FatFolderIndex* FatNewFolderIndex(FatWorkArea* fs, uint32_t first) {
  FatDropFolderIndex(fs, first);
  try {
    if (!fs->folders) fs->folders = new FatFolderIndexes();
    std::unique_ptr<FatFolderIndex>& slot = fs->folders->folders[first];
    slot.reset(new FatFolderIndex(&fs->folders->keys));
    return slot.get();
  } catch (const std::bad_alloc&) {
    FatDropFolderIndex(fs, first);
    return nullptr;
  }
}

void FatDropFolderIndex(FatWorkArea* fs, uint32_t first) {
  FatFolderIndexes* all = fs->folders;
  if (!all) return;
  auto it = all->folders.find(first);
  if (it == all->folders.end()) return;
  for (uint32_t c : it->second->clusters) {
    auto o = all->owner.find(c);
    if (o != all->owner.end() && o->second == first) all->owner.erase(o);
  }
  all->folders.erase(it);
}

void FatDropFolders(FatWorkArea* fs) {
  delete fs->folders;
  fs->folders = nullptr;
}

bool FatNoteFolderCluster(FatWorkArea* fs, uint32_t first, uint32_t cluster) {
  FatFolderIndex* index = FatFolderIndexOf(fs, first);
  if (!index) return false;
  try {
    index->clusters.push_back(cluster);
    // A cluster already noted for another folder: two chains hold it, and
    // neither index can know what the other's writes do to it.
    auto placed = fs->folders->owner.emplace(cluster, first);
    if (!placed.second && placed.first->second != first) {
      uint32_t other = placed.first->second;
      FatDropFolderIndex(fs, other);
      return false;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void FatFolderIndexGrown(FatWorkArea* fs, uint32_t first, uint32_t cluster) {
  FatFolderIndex* index = FatFolderIndexOf(fs, first);
  if (!index || index->walkOnly) return;
  if (!FatNoteFolderCluster(fs, first, cluster)) {
    FatDropFolderIndex(fs, first);
    return;
  }
  uint32_t end = index->allocEnd + ClusterBytes(fs);
  // The new cluster is zeroed: when no entry ended the folder before, its
  // first entry does now (at the old end, as endMark already says).
  bool added;
  try {
    added = index->AddFree(index->allocEnd, end);
  } catch (const std::bad_alloc&) {
    added = false;
  }
  if (!added) {
    FatDropFolderIndex(fs, first);
    return;
  }
  index->allocEnd = end;
}

void FatForgetFolders(FatWorkArea* fs, uint32_t cluster, uint32_t count) {
  FatFolderIndexes* all = fs->folders;
  if (!all || all->owner.empty() || !count) return;
  std::vector<uint32_t> gone;
  const uint64_t end = (uint64_t)cluster + count;
  if (count < all->owner.size()) {
    for (uint64_t c = cluster; c < end; c++) {
      auto o = all->owner.find((uint32_t)c);
      if (o != all->owner.end()) gone.push_back(o->second);
    }
  } else {
    for (const auto& o : all->owner)
      if (o.first >= cluster && o.first < end) gone.push_back(o.second);
  }
  for (uint32_t first : gone) FatDropFolderIndex(fs, first);
}

bool FatCheckFolderKeys(FatWorkArea* fs, uint32_t first) {
  FatFolderIndexes* all = fs->folders;
  if (!all) return false;
  if (all->keys <= kMaxKeys) return true;
  std::vector<uint32_t> others;
  for (const auto& f : all->folders)
    if (f.first != first) others.push_back(f.first);
  for (uint32_t other : others) FatDropFolderIndex(fs, other);
  return all->keys <= kMaxKeys;
}
