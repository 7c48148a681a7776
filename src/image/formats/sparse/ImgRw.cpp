#include "image/formats/sparse/ImgRw.h"
#include <algorithm>
#include <cstring>

using namespace vroimg;

namespace {

const int kLeafBytes = 32;
const int kLeafBitmap = 16;
const uint32_t kChunk = kChunkSectors;

inline bool BitSet(const uint8_t* leaf, uint32_t i) {
  return (leaf[kLeafBitmap + i / 8] >> (i % 8)) & 1;
}

// Number of consecutive bits equal to value from bit 'from', at most max.
uint32_t CountRun(const uint8_t* leaf, uint32_t from, uint32_t max, bool value) {
  uint64_t w[2];
  memcpy(w, leaf + kLeafBitmap, 16);
  uint32_t n = 0;
  uint32_t i = from;
  while (i < kChunk && n < max) {
    uint64_t word = w[i / 64] >> (i % 64);
    if (value) word = ~word;
    uint32_t avail = 64 - i % 64;
    uint32_t run = word ? (uint32_t)__builtin_ctzll(word) : avail;
    if (run > avail) run = avail;
    n += run;
    i += run;
    if (run < avail) break;
  }
  return n < max ? n : max;
}

void SetBits(uint8_t* leaf, uint32_t from, uint32_t count) {
  for (uint32_t i = from; i < from + count; i++)
    leaf[kLeafBitmap + i / 8] |= (uint8_t)(1u << (i % 8));
}

bool AllSet(const uint8_t* leaf, uint32_t from, uint32_t count) {
  return CountRun(leaf, from, count, true) == count;
}

// Check value of a 512-byte leaf sector, its check bytes taken as zero.
uint32_t LeafSectorCheck(const uint8_t* sector) {
  uint32_t h = 2166136261u;
  for (int i = 0; i < int(VRO_SECTOR); i++) {
    uint8_t c = (i >= kOffLeafCheck && i < kOffLeafCheck + 8) ? 0 : sector[i];
    h = (h ^ c) * 16777619u;
  }
  return h;
}

// Highest bit set in a leaf's bitmap, -1 when none.
int HighestBit(const uint8_t* leaf) {
  for (int i = (int)kChunk - 1; i >= 0; i--)
    if (BitSet(leaf, (uint32_t)i)) return i;
  return -1;
}
}  // namespace

void _VROH_IMG_RW::StampLeafBlock(uint8_t* block) {
  for (int s = 0; s < 8; s++) {
    uint8_t* sector = block + s * VRO_SECTOR;
    St32(sector + kOffLeafCheck, kLeafCheckTag);
    St32(sector + kOffLeafCheck + 4, LeafSectorCheck(sector));
  }
}

bool _VROH_IMG_RW::LeafSectorIntact(const uint8_t* sector) {
  return Ld32(sector + kOffLeafCheck) == kLeafCheckTag &&
         Ld32(sector + kOffLeafCheck + 4) == LeafSectorCheck(sector);
}

bool _VROH_IMG_RW::LeafBlockIntact(const uint8_t* block) {
  for (int s = 0; s < 8; s++)
    if (!LeafSectorIntact(block + s * VRO_SECTOR)) return false;
  return true;
}

_VROH_IMG_RW::_VROH_IMG_RW(_VROH_OBJ_IMG* container, int zeroFill)
    : m_Container(container),
      m_ZeroFill(zeroFill),
      m_Trusted(Ld32(container->MapHeader() + kOffCheckedMark) == kCheckedMark) {
  memset(m_Level2, 0, sizeof(m_Level2));
  memset(m_Level3, 0, sizeof(m_Level3));
  for (Block& b : m_Tables) {
    b.sector = 0;
    b.dirty = 0;
  }
  for (Block& b : m_Leaves) {
    b.sector = 0;
    b.dirty = 0;
  }
  InitializeCriticalSection(&m_Lock);
}

_VROH_IMG_RW::~_VROH_IMG_RW() {
  DeleteCriticalSection(&m_Lock);
}

bool _VROH_IMG_RW::WriteBack(Block& b, bool leaf) {
  if (!b.sector || !b.dirty) return true;
  // A block that did not reach the file stays dirty (and in the cache):
  // the next flush tries again, and the failure is reported until then.
  // What it points at reaches the file first.
  if (leaf) StampLeafBlock(b.data);
  if (m_Container->PrepareMapWrite() < 0) return false;
  if (m_Container->WriteAt(b.sector, b.data, sizeof(b.data)) != (int64_t)sizeof(b.data))
    return false;
  b.dirty = 0;
  if (leaf && b.sector == m_BitsBlock) m_BitsBlock = 0;
  return true;
}

bool _VROH_IMG_RW::CommitMap() {
  // Bottom up: the leaves, then the tables that point at them.
  for (Block& b : m_Leaves)
    if (!WriteBack(b, true)) return false;
  for (Block& b : m_Tables)
    if (!WriteBack(b, false)) return false;
  return true;
}

uint8_t* _VROH_IMG_RW::GetBlock(Block* cache, int* victim, uint32_t sector, bool fresh) {
  for (int i = 0; i < 2; i++)
    if (cache[i].sector == sector) return cache[i].data;
  bool leaf = cache == m_Leaves;
  Block& b = cache[*victim];
  *victim ^= 1;
  if (!WriteBack(b, leaf)) {
    m_MapFailed = true;
    return nullptr;
  }
  b.sector = 0;
  if (fresh) {
    // In the file already (as written when it was allocated).
    memset(b.data, 0, sizeof(b.data));
    b.dirty = 0;
  } else {
    if (m_Container->ReadAt(sector, b.data, sizeof(b.data)) != (int64_t)sizeof(b.data))
      return nullptr;
    // A leaf sector whose check fails is a torn or damaged map: nothing
    // it says is used.
    if (leaf && m_Trusted && !LeafBlockIntact(b.data)) return nullptr;
    b.dirty = 0;
  }
  b.sector = sector;
  return b.data;
}

uint32_t _VROH_IMG_RW::CachedLevel(Pair* cache, uint32_t key) {
  for (int i = 0; i < 4; i++) {
    if (cache[i].sector && cache[i].key == key) {
      Pair hit = cache[i];
      memmove(cache + 1, cache, i * sizeof(Pair));
      cache[0] = hit;
      return hit.sector;
    }
  }
  return 0;
}

void _VROH_IMG_RW::RememberLevel(Pair* cache, uint32_t key, uint32_t sector) {
  memmove(cache + 1, cache, 3 * sizeof(Pair));
  cache[0].key = key;
  cache[0].sector = sector;
}

// Entry index of the table at tableSector; allocates an empty block for an
// absent entry when alloc is set (*fresh tells the caller). The empty
// block (a leaf block when childLeaf) is written before the entry points at
// it.
uint32_t _VROH_IMG_RW::TableEntry(uint32_t tableSector, uint32_t index, bool alloc, bool* fresh,
                                  bool childLeaf) {
  *fresh = false;
  uint8_t* t = GetBlock(m_Tables, &m_TableVictim, tableSector, false);
  if (!t) return 0;
  uint32_t e = Ld32(t + index * 4);
  if (e || !alloc) return e;
  e = m_Container->Allocate(kBlockSectors, true);
  if (!e) return 0;
  uint8_t empty[4096] = {};
  if (childLeaf) StampLeafBlock(empty);
  // A block that did not reach the file is given back: the header must
  // not count a block that nothing points at.
  if (m_Container->WriteAt(e, empty, sizeof(empty)) != (int64_t)sizeof(empty)) {
    m_Container->GiveBack(e, kBlockSectors, true);
    return 0;
  }
  St32(t + index * 4, e);
  for (Block& b : m_Tables)
    if (b.sector == tableSector) b.dirty = 1;
  *fresh = true;
  return e;
}

uint8_t* _VROH_IMG_RW::FindLeaf(uint32_t k, bool alloc) {
  bool fresh = false;
  uint32_t root = Ld32(m_Container->MapHeader() + kOffRootTable);
  uint32_t s2 = CachedLevel(m_Level2, k >> 27);
  if (!s2) {
    s2 = TableEntry(root, k >> 27, alloc, &fresh);
    if (!s2) return nullptr;
    if (fresh && !GetBlock(m_Tables, &m_TableVictim, s2, true)) return nullptr;
    RememberLevel(m_Level2, k >> 27, s2);
  }
  uint32_t s3 = CachedLevel(m_Level3, k >> 17);
  if (!s3) {
    s3 = TableEntry(s2, (k >> 17) & 1023, alloc, &fresh);
    if (!s3) return nullptr;
    if (fresh && !GetBlock(m_Tables, &m_TableVictim, s3, true)) return nullptr;
    RememberLevel(m_Level3, k >> 17, s3);
  }
  uint32_t leafSector = TableEntry(s3, (k >> 7) & 1023, alloc, &fresh, true);
  if (!leafSector) return nullptr;
  uint8_t* block = GetBlock(m_Leaves, &m_LeafVictim, leafSector, fresh);
  if (!block) return nullptr;
  uint8_t* leaf = block + (k & 127) * kLeafBytes;
  if (alloc && !Ld32(leaf)) {
    uint32_t data = m_Container->Allocate(kChunk, false);
    if (!data) return nullptr;
    St32(leaf, data);
    for (Block& b : m_Leaves)
      if (b.sector == leafSector) b.dirty = 1;
  }
  return leaf;
}

int64_t _VROH_IMG_RW::Write(HANDLE, uint64_t sector, const void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  if (bytes % VRO_SECTOR) return -(int64_t)bytes;
  if (m_MapFailed) return -(int64_t)bytes;
  int64_t r = WriteRun(sector, (const uint8_t*)buf, bytes / VRO_SECTOR);
  return r < 0 || m_MapFailed ? -(int64_t)bytes : r;
}

int64_t _VROH_IMG_RW::Read(HANDLE, uint64_t sector, void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  if (bytes % VRO_SECTOR) return -(int64_t)bytes;
  return ReadRun(sector, (uint8_t*)buf, bytes / VRO_SECTOR);
}

int64_t _VROH_IMG_RW::WriteRun(uint64_t sector, const uint8_t* buf, uint32_t sectors) {
  uint32_t done = 0;
  while (done < sectors) {
    uint64_t s = sector + done;
    if (s >> 39) return -1;  // beyond the 32-bit chunk key
    uint32_t k = (uint32_t)(s >> 7);
    uint32_t off = (uint32_t)(s & 127);
    uint32_t left = sectors - done;
    uint32_t fileStart, run = 0;
    {
      VroCsLock lock(&m_Lock);
      uint8_t* leaf = FindLeaf(k, true);
      if (!leaf) return -1;
      uint32_t first = Ld32(leaf);
      fileStart = first + off;
      bool held = false;
      // The following chunks join while their data continue the file
      // run, so one file write covers them all.
      uint32_t from = off;
      for (uint32_t chunk = k;;) {
        uint32_t cnt = kChunk - from < left - run ? kChunk - from : left - run;
        if (CountRun(leaf, from, cnt, false) < cnt) held = true;
        run += cnt;
        if (run == left || from + cnt < kChunk) break;
        uint8_t* next = FindLeaf(++chunk, true);
        if (!next) return -1;  // its map could not be written: the caller is told
        if (Ld32(next) != first + kChunk) break;
        leaf = next;
        first += kChunk;
        from = 0;
      }
      // Data over sectors that hold data already shows as soon as it is
      // in the file: the bits of every earlier write go there first.
      if (held && !CommitMap()) return -1;
    }
    // The data first: a sector is marked only once its data is in the
    // file, so a failed write leaves it not held and the layer below
    // still answers for it.
    int64_t w = m_Container->WriteAt(fileStart, buf + (size_t)done * VRO_SECTOR, run * VRO_SECTOR);
    if (w != (int64_t)run * VRO_SECTOR) return -1;
    {
      VroCsLock lock(&m_Lock);
      if (!MarkWritten(k, off, run)) return -1;
    }
    done += run;
  }
  return (int64_t)sectors * VRO_SECTOR;
}

bool _VROH_IMG_RW::MarkWritten(uint32_t k, uint32_t from, uint32_t count) {
  uint32_t gen = Ld32(m_Container->Header() + kOffGeneration);
  while (count) {
    uint8_t* leaf = FindLeaf(k, false);
    if (!leaf) return false;
    uint32_t cnt = kChunk - from < count ? kChunk - from : count;
    // Skipped when this generation marked them all already.
    if (Ld32(leaf + 4) != gen || !AllSet(leaf, from, cnt)) {
      Block* block = nullptr;
      for (Block& b : m_Leaves)
        if (leaf >= b.data && leaf < b.data + sizeof(b.data)) block = &b;
      // Bits wait in one leaf block only, so that they reach the file in
      // the order of their writes: those of another go first.
      if (m_BitsBlock && m_BitsBlock != block->sector && !CommitMap()) return false;
      SetBits(leaf, from, cnt);
      St32(leaf + 4, gen);
      block->dirty = 1;
      m_BitsBlock = block->sector;
    }
    count -= cnt;
    k++;
    from = 0;
  }
  return true;
}

int64_t _VROH_IMG_RW::ReadRun(uint64_t sector, uint8_t* buf, uint32_t sectors) {
  uint32_t done = 0;
  while (done < sectors) {
    uint64_t s = sector + done;
    uint32_t left = sectors - done;
    if (s >> 39) {
      if (!m_ZeroFill) return done ? (int64_t)done * VRO_SECTOR : -(int64_t)left * VRO_SECTOR;
      memset(buf + (size_t)done * VRO_SECTOR, 0, (size_t)left * VRO_SECTOR);
      return (int64_t)sectors * VRO_SECTOR;
    }
    uint32_t k = (uint32_t)(s >> 7);
    uint32_t off = (uint32_t)(s & 127);
    uint32_t run = 0, fileStart = 0;
    bool held;
    {
      VroCsLock lock(&m_Lock);
      uint8_t* leaf = FindLeaf(k, false);
      held = leaf && Ld32(leaf) && BitSet(leaf, off);
      if (held) {
        uint32_t first = Ld32(leaf);
        fileStart = first + off;
        uint32_t from = off;
        for (;;) {
          uint32_t max = kChunk - from < left - run ? kChunk - from : left - run;
          uint32_t cnt = CountRun(leaf, from, max, true);
          run += cnt;
          if (cnt < max || run == left) break;
          uint8_t* next = FindLeaf(++k, false);
          if (!next || Ld32(next) != first + kChunk || !BitSet(next, 0)) break;
          first += kChunk;
          leaf = next;
          from = 0;
        }
      } else {
        uint32_t from = off;
        for (;;) {
          uint32_t max = kChunk - from < left - run ? kChunk - from : left - run;
          uint32_t cnt = (leaf && Ld32(leaf)) ? CountRun(leaf, from, max, false) : max;
          run += cnt;
          if (cnt < max || run == left) break;
          leaf = FindLeaf(++k, false);
          from = 0;
        }
      }
    }
    uint8_t* out = buf + (size_t)done * VRO_SECTOR;
    if (held) {
      int64_t r = m_Container->ReadAt(fileStart, out, run * VRO_SECTOR);
      if (r != (int64_t)run * VRO_SECTOR)
        return done ? (int64_t)done * VRO_SECTOR : -(int64_t)sectors * VRO_SECTOR;
    } else if (m_ZeroFill) {
      memset(out, 0, (size_t)run * VRO_SECTOR);
    } else {
      // Not held here: the held part first, the caller asks again.
      return done ? (int64_t)done * VRO_SECTOR : -(int64_t)run * VRO_SECTOR;
    }
    done += run;
  }
  return (int64_t)sectors * VRO_SECTOR;
}

// A leaf block whose check fails in a marked file: another writer's when a
// failing sector holds a leaf of a generation newer than the file's header
// (its header has not reached the file yet), or the block was allocated
// after that header (at or past its next free sector). Else it is damage.
bool _VROH_IMG_RW::WrittenByOtherWriter(const uint8_t* block, uint32_t sector,
                                        const MapWalk& w) const {
  if (sector >= w.nextFree) return true;
  for (int s = 0; s < 8; s++) {
    const uint8_t* leaves = block + s * VRO_SECTOR;
    if (LeafSectorIntact(leaves)) continue;
    for (uint32_t i = 0; i < VRO_SECTOR / kLeafBytes; i++) {
      const uint8_t* leaf = leaves + i * kLeafBytes;
      if (Ld32(leaf) && Ld32(leaf + 4) > w.generation) return true;
    }
  }
  return false;
}

// Level 0 is the root table, 1 and 2 the lower tables, 3 a leaf block.
bool _VROH_IMG_RW::WalkBlock(uint32_t sector, int level, MapWalk* w) {
  // Every block lies in its own 8 sectors: more visits than that are a map
  // that points in circles.
  if (!w->budget) return false;
  --w->budget;
  uint8_t block[4096];
  if (m_Container->ReadAt(sector, block, sizeof(block)) != (int64_t)sizeof(block)) return false;
  if (level == 3 && w->mode == WALK_MARKED && !LeafBlockIntact(block)) {
    w->otherWriter = WrittenByOtherWriter(block, sector, *w);
    return false;
  }
  uint8_t was[4096];
  if (w->mode == WALK_STAMP) memcpy(was, block, sizeof(block));
  for (uint32_t i = 0; i < (level < 3 ? 1024u : 128u); i++) {
    uint8_t* entry = level < 3 ? block + i * 4 : block + i * kLeafBytes;
    uint32_t e = Ld32(entry);
    if (!e) continue;
    if (e < kFirstFree || e % kBlockSectors) return false;
    if (level < 3) {
      if ((uint64_t)e + kBlockSectors > w->fileSectors) {
        // A block of a writer that died before writing it and its header
        // (this program puts every block in the file before an entry
        // points at it: another writer's).
        if (e < w->nextFree) return false;
        if (w->mode == WALK_MARKED) {
          w->otherWriter = true;
          return false;
        }
        if (w->mode == WALK_STAMP) St32(entry, 0);
        continue;
      }
      w->blocks++;
      if (e + kBlockSectors > w->end) w->end = e + kBlockSectors;
      if (w->mode == WALK_STRUCTURE) w->spans.push_back(e);
      if (!WalkBlock(e, level + 1, w)) return false;
      continue;
    }
    // Held sectors lie in the file, save those of a writer that died
    // before its header write (a chunk allocated or a leaf written since).
    int high = HighestBit(entry);
    if (high >= 0 && (uint64_t)e + high >= w->fileSectors) {
      if (e < w->nextFree && Ld32(entry + 4) <= w->generation) return false;
      if (w->mode == WALK_MARKED) {
        w->otherWriter = true;
        return false;
      }
      if (w->mode == WALK_STAMP)
        for (uint64_t s = w->fileSectors > e ? w->fileSectors - e : 0; s < kChunk; s++)
          entry[kLeafBitmap + s / 8] &= (uint8_t) ~(1u << (s % 8));
    }
    if ((uint64_t)e + kChunk > w->end) w->end = (uint64_t)e + kChunk;
    if (w->mode == WALK_STRUCTURE) w->spans.push_back(e | 1);
  }
  if (w->mode != WALK_STAMP) return true;
  if (level == 3) StampLeafBlock(block);
  // Straight to the file (no combining): the map header follows it.
  return memcmp(was, block, sizeof(block)) == 0 ||
         m_Container->_VROH_OBJ_IMG::WriteAt(sector, block, sizeof(block)) ==
             (int64_t)sizeof(block);
}

// Walks the map from the root; false on damage. A structural walk also
// wants every block and chunk in a space of its own.
bool _VROH_IMG_RW::WalkMap(MapWalk* w) {
  uint8_t* map = m_Container->MapHeader();
  w->budget = (w->fileSectors > w->nextFree ? w->fileSectors : w->nextFree) / kBlockSectors + 1;
  uint32_t root = Ld32(map + kOffRootTable);
  if (root != kRootSector || !WalkBlock(root, 0, w)) return false;
  // A table sector lost to a tear or zeroed takes the blocks below it along.
  if (kFirstFree + w->blocks * kBlockSectors < Ld32(map + kOffSectorsUsed)) return false;
  if (w->mode != WALK_STRUCTURE) return true;
  std::vector<uint32_t> spans;
  spans.swap(w->spans);
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); i++) {
    uint32_t size = (spans[i - 1] & 1) ? kChunk : kBlockSectors;
    if ((uint64_t)(spans[i - 1] & ~1u) + size > (spans[i] & ~1u)) return false;
  }
  return true;
}

int _VROH_IMG_RW::CheckMap(uint64_t fileSectors, bool writable) {
  VroCsLock lock(&m_Lock);
  uint8_t* map = m_Container->MapHeader();
  MapWalk w;
  w.fileSectors = fileSectors;
  w.nextFree = m_Container->NextFree();
  w.generation = m_Container->StoredGeneration();
  bool marked = Ld32(map + kOffCheckedMark) == kCheckedMark &&
                Ld64(map + kOffMarkOwnId) == m_Container->StoredOwnId() &&
                Ld32(map + kOffMarkGeneration) == w.generation;
  m_Trusted = marked;
  if (marked && !WalkMap(&w)) {
    if (!w.otherWriter) return -1;
    m_Trusted = false;
  }
  if (!m_Trusted) {
    w.mode = WALK_STRUCTURE;
    w.blocks = 0;
    w.end = 0;
    if (!WalkMap(&w)) return -1;
  }
  if (!writable) return 0;
  uint64_t used = kFirstFree + w.blocks * kBlockSectors;
  if (!m_Trusted) {
    // What a dead writer left past the end goes, and the leaf blocks
    // take their check values.
    w.mode = WALK_STAMP;
    w.blocks = 0;
    w.end = 0;
    if (!WalkMap(&w)) return -1;
    used = kFirstFree + w.blocks * kBlockSectors;
  }
  uint64_t end = (fileSectors + kBlockSectors - 1) / kBlockSectors * kBlockSectors;
  if (end < w.nextFree) end = w.nextFree;
  if (w.end > end) end = w.end;
  if (end >> 32) return -1;
  // New allocations start past whatever a dead writer left at the end
  // and past everything the map points at.
  m_Container->RaiseNextFree((uint32_t)end);
  if (Ld32(map + kOffSectorsUsed) != (uint32_t)used) {
    St32(map + kOffSectorsUsed, (uint32_t)used);
    m_Container->SetDirty();
  }
  if (m_Trusted) return 0;
  // The stamped blocks, then the map header that bears the mark; the
  // image header (identity) reaches the file with the first flush.
  St32(map + kOffOrderedMark, kOrderedMark);
  St32(map + kOffCheckedMark, kCheckedMark);
  m_Trusted = true;
  return m_Container->WriteMapHeader();
}

int64_t _VROH_IMG_RW::Flush(HANDLE) {
  VroCsLock lock(&m_Lock);
  bool ok = !m_MapFailed;
  // The map, then the header that counts its blocks.
  if (ok && !CommitMap()) ok = false;
  if (ok && m_Container->Flush() < 0) ok = false;
  return ok ? 0 : -1;
}
