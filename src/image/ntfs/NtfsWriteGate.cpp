#include "image/ntfs/NtfsWriteGate.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "image/ntfs/NtfsRecordWalk.h"
#include "image/ntfs/NtfsWin32Io.h"

extern "C" {
#include <ntfs-3g/mst.h>
}

namespace {

// $Bitmap is read a piece at a time while the runs are held against it.
const uint32_t kPiece = 64 * 1024;

// Folders above a file, at most, on the way to the root.
const int kMaxDepth = 256;

bool IsI30(const ATTR_RECORD* a) {
  static const ntfschar kI30[4] = {cpu_to_le16('$'), cpu_to_le16('I'), cpu_to_le16('3'),
                                   cpu_to_le16('0')};
  return a->name_length == 4 &&
         memcmp((const u8*)a + le16_to_cpu(a->name_offset), kI30, sizeof kI30) == 0;
}

}  // namespace

bool NtfsWriteGate::Runs::Take(ntfs_attr* na, int64_t size) {
  rl.clear();
  bytes = 0;
  if (!na || !NAttrNonResident(na) || ntfs_attr_map_whole_runlist(na)) return false;
  for (runlist_element* e = na->rl; e && e->length; e++) rl.push_back(*e);
  bytes = size;
  return true;
}

bool NtfsWriteGate::Runs::Read(int64_t at, int64_t count, uint8_t* buf, uint32_t clusterBits,
                               ReadFn read, void* ctx) const {
  if (at < 0 || count < 0 || at + count > bytes) return false;
  for (const runlist_element& e : rl) {
    int64_t from = e.vcn << clusterBits, to = (e.vcn + e.length) << clusterBits;
    int64_t lo = std::max(at, from), hi = std::min(at + count, to);
    if (lo >= hi) continue;
    if (e.lcn < 0) return false;
    if (!read(ctx, (uint64_t)((e.lcn << clusterBits) + (lo - from)), buf + (lo - at),
              (uint32_t)(hi - lo)))
      return false;
    at = hi;
    count -= hi - lo;
    buf += hi - lo;
    if (!count) return true;
  }
  return count == 0;
}

// The walk's source: $MFT, its bitmap and $MFTMirr through the runs taken
// at the mount.
class NtfsWriteGate::Source : public NtfsMftSource {
 public:
  Source(const NtfsWriteGate& g, ReadFn read, void* ctx) : m_g(g), m_read(read), m_ctx(ctx) {}
  s64 MftBytes() override { return m_g.m_mft.bytes; }
  bool ReadMft(s64 at, s64 count, u8* buf) override {
    return m_g.m_mft.Read(at, count, buf, Bits(), m_read, m_ctx);
  }
  bool ReadMftBitmap(std::vector<u8>* map) override {
    map->assign((size_t)m_g.m_mftBitmap.bytes, 0);
    return m_g.m_mftBitmap.Read(0, m_g.m_mftBitmap.bytes, map->data(), Bits(), m_read, m_ctx);
  }
  bool ReadMirror(s64 n, u8* rec) override {
    const u32 size = m_g.m_vol->mft_record_size;
    return n < m_g.m_mirrorRecords && m_g.m_mirror.Read(n * size, size, rec, Bits(), m_read, m_ctx);
  }

 private:
  u32 Bits() const { return m_g.m_vol->cluster_size_bits; }
  const NtfsWriteGate& m_g;
  ReadFn m_read;
  void* m_ctx;
};

bool NtfsWriteGate::Locate(ntfs_volume* vol) {
  m_located = false;
  m_started = false;
  if (!vol || !vol->mft_na || !vol->mftbmp_na || !vol->lcnbmp_na) return false;
  m_vol = vol;
  if (!m_mft.Take(vol->mft_na, vol->mft_na->initialized_size) ||
      !m_mftBitmap.Take(vol->mftbmp_na, vol->mftbmp_na->initialized_size) ||
      !m_bitmap.Take(vol->lcnbmp_na, vol->lcnbmp_na->data_size))
    return false;
  // Without the mirror, torn records of $MFT are not read from it.
  m_mirrorRecords = vol->mftmirr_na && m_mirror.Take(vol->mftmirr_na, vol->mftmirr_na->data_size)
                        ? vol->mftmirr_size
                        : 0;
  m_located = true;
  return true;
}

bool NtfsWriteGate::Walk(ReadFn read, void* ctx) {
  m_unmarked.clear();
  const uint32_t bits = m_vol->cluster_size_bits;
  const int64_t clusters = std::min<int64_t>(m_vol->nr_clusters, m_bitmap.bytes * 8);
  std::vector<std::vector<uint8_t>> pieces((size_t)((m_bitmap.bytes + kPiece - 1) / kPiece));
  bool readFailed = false;
  // The bitmap byte of cluster c; null when it cannot be read.
  auto byteOf = [&](int64_t c) -> const uint8_t* {
    std::vector<uint8_t>& piece = pieces[(size_t)(c / 8 / kPiece)];
    if (piece.empty()) {
      int64_t from = c / 8 / kPiece * kPiece;
      piece.resize((size_t)std::min<int64_t>(kPiece, m_bitmap.bytes - from));
      if (!m_bitmap.Read(from, (int64_t)piece.size(), piece.data(), bits, read, ctx)) {
        piece.clear();
        readFailed = true;
        return nullptr;
      }
    }
    return &piece[(size_t)(c / 8 % kPiece)];
  };
  Source source(*this, read, ctx);
  s64 bad = -1;
  bool walked = WalkNtfsRecordRuns(
      m_vol, source,
      [&](s64 n, const ATTR_RECORD* a, runlist_element* rl) {
        bool index = (a->type == AT_INDEX_ALLOCATION || a->type == AT_BITMAP) && IsI30(a);
        for (runlist_element* e = rl; e->length; e++) {
          if (e->lcn < 0) continue;
          // Clusters past the volume are the check's to report: nothing
          // hands them out.
          int64_t end = std::min<int64_t>(e->lcn + e->length, clusters);
          for (int64_t c = e->lcn; c < end;) {
            const uint8_t* b = byteOf(c);
            if (!b) return false;
            if (*b == 0xFF && !(c & 7)) {
              c += 8;
              continue;
            }
            if ((*b >> (c & 7)) & 1) {
              c++;
              continue;
            }
            if (!m_unmarked.empty() && m_unmarked.back().end == c &&
                m_unmarked.back().record == n && m_unmarked.back().index == index)
              m_unmarked.back().end = c + 1;
            else
              m_unmarked.push_back(Unmarked{c, c + 1, n, index});
            c++;
          }
        }
        return true;
      },
      &bad);
  if (!walked || readFailed) {
    m_unmarked.clear();
    m_unread = readFailed ? -1 : bad;
    return false;
  }
  std::sort(m_unmarked.begin(), m_unmarked.end(),
            [](const Unmarked& x, const Unmarked& y) { return x.lcn < y.lcn; });
  // Two records may name one cluster: the farthest end reached so far
  // orders the runs for the searches.
  m_reach.clear();
  for (const Unmarked& u : m_unmarked)
    m_reach.push_back(m_reach.empty() ? u.end : std::max(m_reach.back(), u.end));
  return true;
}

size_t NtfsWriteGate::FirstReaching(int64_t c) const {
  return (size_t)(std::upper_bound(m_reach.begin(), m_reach.end(), c) - m_reach.begin());
}

bool NtfsWriteGate::ReadName(int64_t n, int64_t* base, int64_t* parent, std::wstring* name,
                             ReadFn read, void* ctx) {
  const u32 size = m_vol->mft_record_size;
  std::vector<u8> rec(size);
  Source source(*this, read, ctx);
  auto known = m_names.find(n);
  if (known != m_names.end()) {
    *base = known->second.base;
    *parent = known->second.parent;
    *name = known->second.name;
    return true;
  }
  if (!source.ReadMft(n * size, size, rec.data())) return false;
  const MFT_RECORD* m = (const MFT_RECORD*)rec.data();
  if (m->magic != magic_FILE ||
      ntfs_mst_post_read_fixup_warn((NTFS_RECORD*)rec.data(), size, FALSE))
    return false;
  *base = m->base_mft_record ? (int64_t)MREF_LE(m->base_mft_record) : n;
  *parent = -1;
  name->clear();
  ForEachRawAttribute(rec.data(), size, [&](const ATTR_RECORD* a) {
    if (a->type != AT_FILE_NAME || a->non_resident) return true;
    u32 at = le16_to_cpu(a->value_offset), length = le32_to_cpu(a->value_length);
    if (length < sizeof(FILE_NAME_ATTR) || at + length > le32_to_cpu(a->length)) return true;
    const FILE_NAME_ATTR* fn = (const FILE_NAME_ATTR*)((const u8*)a + at);
    if (sizeof(FILE_NAME_ATTR) + 2u * fn->file_name_length > length) return true;
    // The long name, where a file has a short one beside it.
    if (*parent >= 0 && fn->file_name_type == FILE_NAME_DOS) return true;
    *parent = (int64_t)MREF_LE(fn->parent_directory);
    name->assign(fn->file_name_length, L'\0');
    memcpy(&(*name)[0], (const u8*)fn + sizeof(FILE_NAME_ATTR), 2u * fn->file_name_length);
    return fn->file_name_type == FILE_NAME_DOS;
  });
  m_names[n] = Name{*base, *parent, *name};
  return true;
}

std::wstring NtfsWriteGate::PathOf(int64_t n, ReadFn read, void* ctx) {
  std::wstring path;
  int64_t at = n;
  for (int depth = 0; depth < kMaxDepth; depth++) {
    int64_t base = at, parent = -1;
    std::wstring name;
    if (at == FILE_root) return path.empty() ? L"\\" : path;
    if (!ReadName(at, &base, &parent, &name, read, ctx)) break;
    if (base != at) {
      at = base;
      continue;
    }
    if (parent < 0 || name.empty()) break;
    path = L"\\" + name + path;
    at = parent;
  }
  // A file whose names do not lead to the root: its record's number.
  return L"(file record " + std::to_wstring((long long)n) + L")" + path;
}

bool NtfsWriteGate::IsSystem(const Unmarked& u, ReadFn read, void* ctx) {
  int64_t at = u.record;
  bool own = true;  // still the file that names the clusters
  for (int depth = 0; depth < kMaxDepth; depth++) {
    if (at == FILE_Extend) return true;
    if (at < FILE_first_user) return own && at != FILE_root;
    int64_t base = at, parent = -1;
    std::wstring name;
    if (!ReadName(at, &base, &parent, &name, read, ctx)) return false;
    if (base != at) {
      at = base;
      continue;
    }
    if (parent < 0 || parent == at) return false;
    at = parent;
    own = false;
  }
  return false;
}

void NtfsWriteGate::Refuse(const std::wstring& line) {
  m_refused = NTFS_EBITMAPFREE;
  NtfsNoteDeviceRefusal(m_refused);
  NtfsCommandLine(line.c_str());
}

int NtfsWriteGate::BeforeWrite(uint64_t command, uint64_t offset, uint64_t count, const void* data,
                               ReadFn read, void* ctx) {
  if (!m_located || !count) return 0;
  if (!m_started || command != m_command) {
    m_started = true;
    m_command = command;
    m_refused = 0;
    NtfsNoteDeviceRefusal(0);
    m_names.clear();
    m_answers = Walk(read, ctx);
    // A system file first: nothing of the command is written.
    for (const Unmarked& u : m_unmarked)
      if (IsSystem(u, read, ctx)) {
        Refuse(L"$Bitmap marks free clusters that " + PathOf(u.record, read, ctx) +
               L" uses: nothing is written to the volume until /repair mends it\r\n");
        break;
      }
  }
  if (m_refused) return m_refused;
  if (!m_answers) return TakesNoCluster(offset, count, data, read, ctx);
  if (m_unmarked.empty()) return 0;
  const uint32_t bits = m_vol->cluster_size_bits;
  const uint64_t end = offset + count;
  // The folders' indexes this write reaches.
  const int64_t first = (int64_t)(offset >> bits), last = (int64_t)((end - 1) >> bits);
  for (auto u = m_unmarked.begin() + FirstReaching(first); u != m_unmarked.end() && u->lcn <= last;
       u++)
    if (u->index && u->end > first) {
      Refuse(L"$Bitmap marks free clusters that the index of " + PathOf(u->record, read, ctx) +
             L" uses: nothing goes into or out of it until /repair mends it\r\n");
      return m_refused;
    }
  // The bits this write sets in $Bitmap for clusters records use: the
  // library hands them out again.
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (const runlist_element& e : m_bitmap.rl) {
    if (e.lcn < 0) continue;
    uint64_t at = (uint64_t)e.lcn << bits, atEnd = (uint64_t)(e.lcn + e.length) << bits;
    int64_t runStart = e.vcn << bits;  // the bitmap byte the run begins with
    uint64_t lo = std::max(offset, at), hi = std::min(end, atEnd);
    for (uint64_t b = lo; b < hi; b++) {
      uint8_t set = p[b - offset];
      if (!set) continue;
      int64_t c0 = (runStart + (int64_t)(b - at)) * 8;
      for (auto u = m_unmarked.begin() + FirstReaching(c0);
           u != m_unmarked.end() && u->lcn < c0 + 8; u++)
        for (int64_t c = std::max(c0, u->lcn); c < std::min(c0 + 8, u->end); c++)
          if ((set >> (c - c0)) & 1) {
            Refuse(std::wstring(L"$Bitmap marks free clusters that ") +
                   (u->index ? L"the index of " : L"") + PathOf(u->record, read, ctx) +
                   L" uses (cluster " + std::to_wstring((long long)c) +
                   L"), and the write would have taken them: nothing is written until /repair "
                   L"mends it\r\n");
            return m_refused;
          }
    }
  }
  return 0;
}

int NtfsWriteGate::TakesNoCluster(uint64_t offset, uint64_t count, const void* data, ReadFn read,
                                  void* ctx) {
  const uint32_t bits = m_vol->cluster_size_bits;
  const uint64_t end = offset + count;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  std::vector<uint8_t> old;
  for (const runlist_element& e : m_bitmap.rl) {
    if (e.lcn < 0) continue;
    uint64_t at = (uint64_t)e.lcn << bits, atEnd = (uint64_t)(e.lcn + e.length) << bits;
    uint64_t lo = std::max(offset, at), hi = std::min(end, atEnd);
    if (lo >= hi) continue;
    // The bytes as the volume holds them now: a bit the write sets that
    // they clear hands a cluster out.
    old.resize((size_t)(hi - lo));
    int64_t cluster = -1;
    if (!read(ctx, lo, old.data(), (uint32_t)(hi - lo))) {
      cluster = (int64_t)((e.vcn << bits) + (int64_t)(lo - at)) * 8;
    } else {
      for (uint64_t b = lo; b < hi && cluster < 0; b++)
        if (uint8_t taken = p[b - offset] & ~old[(size_t)(b - lo)]) {
          int bit = 0;
          while (!((taken >> bit) & 1)) bit++;
          cluster = (int64_t)((e.vcn << bits) + (int64_t)(b - at)) * 8 + bit;
        }
    }
    if (cluster < 0) continue;
    Refuse((m_unread >= 0 ? L"File record " + std::to_wstring((long long)m_unread) +
                                L" of $MFT cannot be read, so the clusters it uses"
                          : std::wstring(L"$MFT or $Bitmap cannot be read whole, so the clusters "
                                         L"the records use")) +
           L" are not known, and the write would have taken cluster " +
           std::to_wstring((long long)cluster) +
           L": nothing is written until the volume is checked (chkdsk /f)\r\n");
    return m_refused;
  }
  return 0;
}

void NtfsWriteGate::KeepUsed(Ranges* free) const {
  if (!m_located) return;
  if (!m_answers) {
    free->clear();
    return;
  }
  if (m_unmarked.empty() || free->empty()) return;
  const uint32_t bits = m_vol->cluster_size_bits;
  Ranges out;
  for (const auto& r : *free) {
    uint64_t at = r.first;
    for (auto u = m_unmarked.begin() + FirstReaching((int64_t)(at >> bits));
         u != m_unmarked.end() && ((uint64_t)u->lcn << bits) < r.second; u++) {
      uint64_t lo = (uint64_t)u->lcn << bits, hi = (uint64_t)u->end << bits;
      if (hi <= at) continue;
      if (lo > at) out.emplace_back(at, lo);
      at = std::max(at, hi);
    }
    if (at < r.second) out.emplace_back(at, r.second);
  }
  free->swap(out);
}
