// The clusters the volume's records use where its allocation map calls them
// free: an exFAT allocation bitmap with a bit cleared under a file, folder,
// the bitmap or the up-case table, or a FAT whose entry is 0 inside a chain
// that a directory entry starts. One walk of the directory tree finds them,
// before the mount's first allocation or release; the allocator then never
// hands such a cluster out (FatExtendChain), and a cluster the mount itself
// releases leaves the list.
// The same walk finds the clusters two chains hold (cross-linked: one
// chain runs into another's, or two entries start the same chain). Such a
// cluster is never freed, cut from a chain nor linked to another: freeing
// it would hand out what the other chain still holds.
#include <algorithm>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "image/fat/FatInternal.h"

typedef std::u16string FatPath;

struct FatRecordClusters {
  struct Run {
    uint32_t first, count;
    FatPath owner;
    FatPath other;  // of a cross-linked run: the second chain met
  };
  std::vector<Run> runs;   // sorted by first cluster, never overlapping
  std::vector<Run> cross;  // the clusters two chains hold, the same way
  FatPath refusedOwner;    // the owner of the last cluster refused
  FatPath refusedOther;    // for a cross-linked one: the other chain's
  bool refusedCross = false;
  uint32_t refusedCluster = 0;
};

namespace {

// Directories longer than the module walks elsewhere are not read past.
const uint64_t kMaxDirBytes[2] = {0x200000, 0x10000000};

FatPath Text(const char* ascii) {
  FatPath p;
  while (*ascii) p += (char16_t)(uint8_t)*ascii++;
  return p;
}

FatPath Join(const FatPath& folder, const FatPath& name) {
  FatPath p = folder;
  if (p.empty() || p.back() != u'\\') p += u'\\';
  return p + name;
}

// The run of `runs` (sorted, never overlapping) holding c, or null.
FatRecordClusters::Run* RunOf(std::vector<FatRecordClusters::Run>& runs, uint32_t c) {
  auto it =
      std::upper_bound(runs.begin(), runs.end(), c,
                       [](uint32_t v, const FatRecordClusters::Run& run) { return v < run.first; });
  if (it == runs.begin()) return nullptr;
  --it;
  return c - it->first < it->count ? &*it : nullptr;
}

// Walks the tree once: notes the clusters the map calls free under a
// chain, and every chain's clusters as runs (held()). With naming, walks
// it again only to name the two chains of each cross-linked run of out.
class Walker {
 public:
  Walker(FatWorkArea* fs, FatRecordClusters* out, bool naming = false)
      : m_fs(fs), m_out(out), m_naming(naming) {}

  // Each chain's clusters, a run of adjacent ones at a time, in the order
  // the walk met them.
  std::vector<std::pair<uint32_t, uint32_t>>& Held() { return m_held; }

  int Run() {
    bool exfat = m_fs->fsType == FAT_TYPE_EXFAT;
    Dir root;
    root.path = Text("\\");
    if (m_fs->fsType == FAT_TYPE_12 || m_fs->fsType == FAT_TYPE_16) {
      root.fixedRoot = true;
    } else {
      root.chain = {m_fs->rootDir, 0, 0};
      root.bytes = kMaxDirBytes[exfat];
      m_seen.insert(m_fs->rootDir);
    }
    m_pending.push_back(root);
    while (!m_pending.empty()) {
      Dir d = m_pending.back();
      m_pending.pop_back();
      std::vector<uint8_t> bytes;
      int r = ReadDirectory(d, &bytes);
      if (r) return r;
      r = exfat ? WalkExfat(d, bytes) : WalkFat(d, bytes);
      if (r) return r;
    }
    return FAT_OK;
  }

 private:
  struct Dir {
    FatChainRef chain = {0, 0, 0};
    uint64_t bytes = 0;  // what the entry gives, or the longest walked
    bool fixedRoot = false;
    FatPath path;
  };

  // The clusters of a chain, each checked against the map; with `list`
  // they are also collected (a directory's, to read it). owner() gives
  // the path of the file or folder, only for a cluster the map calls free.
  template <class Owner>
  int Chain(const FatChainRef& chain, uint64_t bytes, bool toEnd, const Owner& owner,
            std::vector<uint32_t>* list) {
    const uint64_t cb = ClusterBytes(m_fs);
    const uint32_t clusters = m_fs->fatEntries - 2;
    uint64_t want = (bytes + cb - 1) / cb;
    if (toEnd || want > clusters) want = clusters;
    bool exfat = m_fs->fsType == FAT_TYPE_EXFAT;
    uint32_t c = chain.first;
    for (uint64_t n = 0; n < want && ValidCluster(m_fs, c); n++) {
      if (list) list->push_back(c);
      Hold(c, owner);
      if (exfat && !m_naming) {
        bool used;
        int r = BitmapUsed(c, &used);
        if (r) return r;
        if (!used) Add(c, owner());
      }
      if (chain.contiguous) {
        c++;
        continue;
      }
      uint32_t v;
      int r = FatReadEntryEx(m_fs, c, &v);
      if (r) return r;
      if (v == 0 && !exfat && !m_naming) Add(c, owner());
      if (v < 2 || v >= m_fs->fatEntries) break;
      c = v;
    }
    return FAT_OK;
  }

  // A directory's entries up to its end mark, read in pieces that grow
  // from one cluster (most folders end in their first).
  int ReadDirectory(const Dir& d, std::vector<uint8_t>* bytes) {
    const uint32_t ss = m_fs->sectorSize;
    try {
      std::vector<std::pair<uint32_t, uint32_t>> runs;  // first sector, sectors
      if (d.fixedRoot) {
        runs.push_back({m_fs->rootDir, m_fs->rootEntries * 32u / ss});
      } else {
        std::vector<uint32_t> list;
        int r = Chain(
            d.chain, d.bytes, false, [&] { return d.path; }, &list);
        if (r) return r;
        for (size_t i = 0; i < list.size(); i++) {
          if (i && list[i] == list[i - 1] + 1 && runs.back().second < 0x10000)
            runs.back().second += m_fs->clusterSize;
          else
            runs.push_back({ClusterSector(m_fs, list[i]), m_fs->clusterSize});
        }
      }
      uint32_t piece = m_fs->clusterSize;
      for (const auto& run : runs) {
        for (uint32_t done = 0; done < run.second;) {
          uint32_t n = run.second - done < piece ? run.second - done : piece;
          size_t at = bytes->size();
          bytes->resize(at + (size_t)n * ss);
          int r = FatReadRun(m_fs, run.first + done, bytes->data() + at, n);
          if (r) return r;
          for (size_t o = at; o < bytes->size(); o += 32)
            if ((*bytes)[o] == 0) return FAT_OK;
          done += n;
          if (piece < 256) piece *= 2;  // sectors
        }
      }
    } catch (const std::bad_alloc&) {
      return FAT_NOT_ENOUGH_CORE;
    }
    return FAT_OK;
  }

  // A folder met again (an entry pointing back up the tree) is walked once;
  // its first cluster is held twice.
  void Enter(const FatChainRef& chain, uint64_t bytes, const FatPath& path) {
    if (!ValidCluster(m_fs, chain.first)) return;
    if (!m_seen.insert(chain.first).second) {
      Hold(chain.first, [&] { return path; });
      return;
    }
    Dir d;
    d.chain = chain;
    d.bytes = bytes;
    d.path = path;
    m_pending.push_back(d);
  }

  int WalkExfat(const Dir& d, const std::vector<uint8_t>& bytes) {
    const size_t size = bytes.size();
    const uint8_t* b = bytes.data();
    for (size_t o = 0; o + 32 <= size; o += 32) {
      const uint8_t* e = b + o;
      if (e[0] == 0) break;
      if (!(e[0] & 0x80)) continue;
      if (e[0] == 0x81 || e[0] == 0x82) {
        FatChainRef c = {Ld32(e + 20), 0, 0};
        const char* what = e[0] == 0x81 ? "(the allocation bitmap)" : "(the up-case table)";
        int r = Chain(
            c, Ld64(e + 24), false, [&] { return Text(what); }, nullptr);
        if (r) return r;
        continue;
      }
      if (e[0] != 0x85) continue;
      uint32_t n = e[1];
      if (n < 2 || n > 18 || o + 32 * (n + 1) > size || b[o + 32] != 0xC0) continue;
      // The path, from the name entries the stream entry counts.
      auto path = [&] {
        FatPath name;
        uint32_t length = b[o + 32 + 3];
        for (uint32_t k = 0; k < length && 2 + k / 15 <= n; k++)
          name += (char16_t)Ld16(b + o + 64 + (k / 15) * 32 + 2 + (k % 15) * 2);
        return Join(d.path, name);
      };
      bool folder = (Ld16(e + 4) & FAT_ATTR_DIRECTORY) != 0;
      // Every secondary entry that may hold clusters: the stream's data,
      // and any vendor allocation.
      for (uint32_t k = 1; k <= n; k++) {
        const uint8_t* s = b + o + 32 * k;
        if (!(s[0] & 0x80) || !(s[1] & 1)) continue;
        FatChainRef c = {Ld32(s + 20), (uint8_t)((s[1] & 2) ? 1 : 0), Ld64(s + 24)};
        // A folder's clusters are checked as it is read.
        if (k == 1 && folder) {
          Enter(c, std::min(c.allocBytes, kMaxDirBytes[1]), path());
          continue;
        }
        int r = Chain(c, c.allocBytes, false, path, nullptr);
        if (r) return r;
      }
      o += 32 * n;
    }
    return FAT_OK;
  }

  int WalkFat(const Dir& d, const std::vector<uint8_t>& bytes) {
    uint16_t lfn[20 * 13 + 1];
    uint32_t expect = 0, count = 0;
    uint8_t sum = 0;
    bool named = false;
    for (size_t o = 0; o + 32 <= bytes.size(); o += 32) {
      const uint8_t* e = bytes.data() + o;
      if (e[0] == 0) break;
      uint8_t attr = e[11] & 0x3F;
      if (e[0] == 0xE5) {
        named = false;
        continue;
      }
      if (attr == FAT_ATTR_LFN) {
        uint32_t seq = e[0] & 0x1F;
        if (e[0] & 0x40) {
          named = seq >= 1 && seq <= 20;
          expect = count = seq;
          sum = e[13];
        }
        if (named && seq == expect && e[13] == sum) {
          static const uint8_t kAt[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
          for (int k = 0; k < 13; k++) lfn[(seq - 1) * 13 + k] = Ld16(e + kAt[k]);
          expect--;
        } else {
          named = false;
        }
        continue;
      }
      bool usable = !(attr & FAT_ATTR_VOLUME) && e[0] != '.';
      bool longName = named && expect == 0 && sum == FatSfnChecksum(e);
      named = false;
      if (!usable) continue;
      auto path = [&] {
        FatPath name;
        if (longName) {
          for (uint32_t k = 0; k < count * 13 && lfn[k] && lfn[k] != 0xFFFF; k++)
            name += (char16_t)lfn[k];
        } else {
          uint16_t text[13];
          FatSfnToText(e, text);
          for (int k = 0; text[k]; k++) name += (char16_t)text[k];
        }
        return Join(d.path, name);
      };
      FatChainRef c = {FatEntryCluster(m_fs, e), 0, 0};
      if (attr & FAT_ATTR_DIRECTORY) {
        Enter(c, kMaxDirBytes[0], path());
        continue;
      }
      int r = Chain(c, Ld32(e + 28), true, path, nullptr);
      if (r) return r;
    }
    return FAT_OK;
  }

  int BitmapUsed(uint32_t c, bool* used) {
    const uint32_t ss = m_fs->sectorSize;
    uint32_t bit = c - 2, sector = bit / (ss * 8);
    const uint32_t chunk = 128;  // sectors held at once
    if (m_bitsFirst == 0xFFFFFFFF || sector - m_bitsFirst >= chunk) {
      const uint32_t total = (m_fs->fatEntries - 2 + ss * 8 - 1) / (ss * 8);
      m_bitsFirst = sector - sector % chunk;
      uint32_t n = total - m_bitsFirst < chunk ? total - m_bitsFirst : chunk;
      try {
        m_bits.resize((size_t)chunk * ss);
      } catch (const std::bad_alloc&) {
        return FAT_NOT_ENOUGH_CORE;
      }
      int r = FatReadRun(m_fs, m_fs->bitmapStart + m_bitsFirst, m_bits.data(), n);
      if (r) return r;
    }
    uint32_t at = bit - m_bitsFirst * ss * 8;
    *used = (m_bits[at / 8] >> (at % 8)) & 1;
    return FAT_OK;
  }

  // Cluster c of the chain of owner(): noted as held, or, naming, gives
  // its cross-linked run the owner's name.
  template <class Owner>
  void Hold(uint32_t c, const Owner& owner) {
    if (!m_naming) {
      if (!m_held.empty() && m_held.back().first + m_held.back().second == c)
        m_held.back().second++;
      else
        m_held.push_back({c, 1});
      return;
    }
    FatRecordClusters::Run* run = RunOf(m_out->cross, c);
    if (!run || !run->other.empty()) return;
    FatPath name = owner();
    if (run->owner.empty())
      run->owner = name;
    else if (name != run->owner)
      run->other = name;
  }

  void Add(uint32_t c, const FatPath& owner) {
    std::vector<FatRecordClusters::Run>& runs = m_out->runs;
    if (!runs.empty() && runs.back().first + runs.back().count == c && runs.back().owner == owner)
      runs.back().count++;
    else
      runs.push_back({c, 1, owner});
  }

  FatWorkArea* m_fs;
  FatRecordClusters* m_out;
  const bool m_naming;
  std::vector<std::pair<uint32_t, uint32_t>> m_held;
  std::vector<Dir> m_pending;
  std::set<uint32_t> m_seen;
  std::vector<uint8_t> m_bits;
  uint32_t m_bitsFirst = 0xFFFFFFFF;
};

// The clusters more than one of the held runs cover, as runs.
std::vector<FatRecordClusters::Run> Overlaps(std::vector<std::pair<uint32_t, uint32_t>>& held) {
  std::sort(held.begin(), held.end());
  std::vector<FatRecordClusters::Run> out;
  uint64_t reach = 0;  // the farthest end of the runs before
  for (const auto& h : held) {
    uint64_t end = (uint64_t)h.first + h.second;
    if (h.first < reach) {
      uint32_t to = (uint32_t)std::min<uint64_t>(end, reach);
      if (!out.empty() && out.back().first + out.back().count >= h.first)
        out.back().count = std::max(out.back().count, to - out.back().first);
      else
        out.push_back({h.first, to - h.first, FatPath(), FatPath()});
    }
    reach = std::max(reach, end);
  }
  return out;
}

// Refuses with cluster c of a cross-linked run.
int RefuseCrossLinked(FatRecordClusters* rec, const FatRecordClusters::Run& run, uint32_t c) {
  rec->refusedCluster = c;
  // The second walk names the first chain of every run; a name is never
  // left out of the line, though.
  rec->refusedOwner = run.owner.empty() ? Text("(a file or folder)") : run.owner;
  rec->refusedOther = run.other;
  rec->refusedCross = true;
  return FAT_MAP_DAMAGED;
}

}  // namespace

int FatMapRecords(FatWorkArea* fs) {
  if (fs->records) return FAT_OK;
  FatRecordClusters* rec = new (std::nothrow) FatRecordClusters();
  if (!rec) return FAT_NOT_ENOUGH_CORE;
  int r;
  try {
    Walker walker(fs, rec);
    r = walker.Run();
    if (!r) rec->cross = Overlaps(walker.Held());
    // Cross-links are rare: only then is the tree walked again for the
    // names of their chains.
    if (!r && !rec->cross.empty()) r = Walker(fs, rec, true).Run();
    // A cluster two records claim stays listed once, under the first.
    std::stable_sort(rec->runs.begin(), rec->runs.end(),
                     [](const FatRecordClusters::Run& a, const FatRecordClusters::Run& b) {
                       return a.first < b.first;
                     });
    std::vector<FatRecordClusters::Run> merged;
    uint32_t end = 0;
    for (FatRecordClusters::Run& run : rec->runs) {
      uint32_t runEnd = run.first + run.count;
      if (runEnd <= end) continue;
      if (run.first < end) {
        run.count = runEnd - end;
        run.first = end;
      }
      end = runEnd;
      merged.push_back(run);
    }
    rec->runs.swap(merged);
  } catch (const std::bad_alloc&) {
    r = FAT_NOT_ENOUGH_CORE;
  }
  if (r) {
    delete rec;
    return r;
  }
  fs->records = rec;
  return FAT_OK;
}

bool FatRecordUses(FatWorkArea* fs, uint32_t c) {
  FatRecordClusters* rec = fs->records;
  if (!rec || rec->runs.empty()) return false;
  FatRecordClusters::Run* run = RunOf(rec->runs, c);
  if (!run) return false;
  rec->refusedCluster = c;
  rec->refusedOwner = run->owner;
  rec->refusedOther.clear();
  rec->refusedCross = false;
  return true;
}

int FatCheckCrossLinks(FatWorkArea* fs, uint32_t first, uint32_t count) {
  FatRecordClusters* rec = fs->records;
  if (!rec || rec->cross.empty() || !count) return FAT_OK;
  const uint64_t end = (uint64_t)first + count;
  auto it =
      std::upper_bound(rec->cross.begin(), rec->cross.end(), first,
                       [](uint32_t v, const FatRecordClusters::Run& run) { return v < run.first; });
  if (it != rec->cross.begin() && (uint64_t)(it - 1)->first + (it - 1)->count > first)
    return RefuseCrossLinked(rec, *(it - 1), first);
  if (it != rec->cross.end() && it->first < end) return RefuseCrossLinked(rec, *it, it->first);
  return FAT_OK;
}

int FatCheckChainCrossLinks(FatWorkArea* fs, const FatChainRef* chain, uint32_t from) {
  FatRecordClusters* rec = fs->records;
  if (!rec || rec->cross.empty() || !ValidCluster(fs, from)) return FAT_OK;
  if (chain->contiguous) {
    uint32_t cb = ClusterBytes(fs);
    uint64_t end = chain->first + (chain->allocBytes + cb - 1) / cb;
    return end > from ? FatCheckCrossLinks(fs, from, (uint32_t)(end - from)) : FAT_OK;
  }
  // Never more steps than the volume has clusters: a loop ends too.
  uint32_t c = from;
  for (uint32_t n = 0; n < fs->fatEntries && ValidCluster(fs, c); n++) {
    int r = FatCheckCrossLinks(fs, c, 1);
    if (r) return r;
    uint32_t v;
    if ((r = FatReadEntryEx(fs, c, &v))) return r;
    c = v;
  }
  return FAT_OK;
}

void FatForgetRecords(FatWorkArea* fs, uint32_t c, uint32_t count) {
  FatRecordClusters* rec = fs->records;
  if (!rec || rec->runs.empty() || !count) return;
  std::vector<FatRecordClusters::Run>& runs = rec->runs;
  const uint64_t end = (uint64_t)c + count;
  size_t i = std::upper_bound(
                 runs.begin(), runs.end(), c,
                 [](uint32_t v, const FatRecordClusters::Run& run) { return v < run.first; }) -
             runs.begin();
  if (i) i--;
  while (i < runs.size() && runs[i].first < end) {
    FatRecordClusters::Run& run = runs[i];
    const uint64_t runEnd = (uint64_t)run.first + run.count;
    if (runEnd <= c) {
      i++;
    } else if (run.first < c && runEnd > end) {
      // Released from the middle: the run is split (or, without the
      // memory for it, kept whole).
      try {
        FatRecordClusters::Run tail = {(uint32_t)end, (uint32_t)(runEnd - end), run.owner};
        runs.insert(runs.begin() + i + 1, tail);
        runs[i].count = c - runs[i].first;
      } catch (const std::bad_alloc&) {
      }
      return;
    } else if (run.first < c) {
      run.count = c - run.first;
      i++;
    } else if (runEnd > end) {
      run.count = (uint32_t)(runEnd - end);
      run.first = (uint32_t)end;
      return;
    } else {
      runs.erase(runs.begin() + i);
    }
  }
}

void FatDropRecords(FatWorkArea* fs) {
  delete fs->records;
  fs->records = nullptr;
}

const uint16_t* FatMapDamageOwner(const FatWorkArea* fs, uint32_t* cluster,
                                  const uint16_t** other) {
  if (other) *other = nullptr;
  if (!fs->records || fs->records->refusedOwner.empty()) return nullptr;
  if (cluster) *cluster = fs->records->refusedCluster;
  if (other && fs->records->refusedCross)
    *other = reinterpret_cast<const uint16_t*>(fs->records->refusedOther.c_str());
  return reinterpret_cast<const uint16_t*>(fs->records->refusedOwner.c_str());
}
