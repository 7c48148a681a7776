// The walk over $MFT's records as stored.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "image/ntfs/NtfsRecordWalk.h"

extern "C" {
#include <ntfs-3g/mst.h>
}

namespace {

const s64 kRun = 256;  // records read at once

bool Whole(u8* rec, u32 size) {
  MFT_RECORD* m = (MFT_RECORD*)rec;
  if (m->magic != magic_FILE) return false;
  if (ntfs_mst_post_read_fixup_warn((NTFS_RECORD*)rec, size, FALSE)) return false;
  u32 attrs = le16_to_cpu(m->attrs_offset), inUse = le32_to_cpu(m->bytes_in_use);
  return attrs >= 42 && attrs < inUse && inUse <= size && le32_to_cpu(m->bytes_allocated) <= size;
}

// The library's own attributes of $MFT and $MFTMirr.
class LibrarySource : public NtfsMftSource {
 public:
  explicit LibrarySource(ntfs_volume* vol) : m_vol(vol) {}
  s64 MftBytes() override { return m_vol->mft_na->initialized_size; }
  bool ReadMft(s64 at, s64 count, u8* buf) override {
    return ntfs_attr_pread(m_vol->mft_na, at, count, buf) == count;
  }
  bool ReadMftBitmap(std::vector<u8>* map) override {
    s64 bytes = m_vol->mftbmp_na ? m_vol->mftbmp_na->initialized_size : 0;
    map->assign((size_t)bytes, 0);
    return !bytes || ntfs_attr_pread(m_vol->mftbmp_na, 0, bytes, map->data()) == bytes;
  }
  bool ReadMirror(s64 n, u8* rec) override {
    const u32 size = m_vol->mft_record_size;
    return n < m_vol->mftmirr_size && m_vol->mftmirr_na &&
           ntfs_attr_pread(m_vol->mftmirr_na, n * size, size, rec) == (s64)size;
  }

 private:
  ntfs_volume* m_vol;
};

}  // namespace

bool WalkNtfsRecords(ntfs_volume* vol,
                     const std::function<bool(s64 n, u8* rec, NtfsRecordState state)>& visit) {
  if (!vol || !vol->mft_na) return (errno = EINVAL, false);
  LibrarySource source(vol);
  return WalkNtfsRecords(vol, source, visit);
}

bool WalkNtfsRecords(ntfs_volume* vol, NtfsMftSource& source,
                     const std::function<bool(s64 n, u8* rec, NtfsRecordState state)>& visit) {
  const u32 size = vol->mft_record_size;
  const s64 records = source.MftBytes() / size;
  std::vector<u8> map;
  if (!source.ReadMftBitmap(&map)) return (errno = EIO, false);
  const s64 mapBytes = (s64)map.size();
  auto marked = [&](s64 n) { return n < mapBytes * 8 && ((map[(size_t)(n >> 3)] >> (n & 7)) & 1); };
  std::vector<u8> run((size_t)(kRun * size)), mirror(size);
  for (s64 first = 0; first < records; first += kRun) {
    s64 count = records - first < kRun ? records - first : kRun;
    if (!source.ReadMft(first * size, count * size, run.data())) return (errno = EIO, false);
    for (s64 n = first; n < first + count; n++) {
      u8* rec = &run[(size_t)((n - first) * size)];
      bool whole = Whole(rec, size);
      // The mirror's copy of a record $MFT holds torn; else the record as
      // $MFT holds it (the fix-ups tried may have changed it).
      if (!whole && source.ReadMirror(n, mirror.data()) && Whole(mirror.data(), size)) {
        memcpy(rec, mirror.data(), size);
        whole = true;
      } else if (!whole && !source.ReadMft(n * size, size, rec)) {
        return (errno = EIO, false);
      }
      bool inUse =
          whole ? (le16_to_cpu(((MFT_RECORD*)rec)->flags) & MFT_RECORD_IN_USE) != 0 : marked(n);
      NtfsRecordState state = !inUse ? kRecordFree : whole ? kRecordInUse : kRecordBroken;
      if (!visit(n, rec, state)) return false;
    }
  }
  return true;
}

namespace {

// ForEachRawAttribute's walk, with the visit inlined (it runs for every
// attribute of every record of a walk).
template <class Visit>
bool EachAttribute(const u8* rec, u32 size, Visit&& visit) {
  const MFT_RECORD* m = (const MFT_RECORD*)rec;
  u32 end = le32_to_cpu(m->bytes_in_use) < size ? le32_to_cpu(m->bytes_in_use) : size;
  for (u32 at = le16_to_cpu(m->attrs_offset); at + 4 <= end;) {
    const ATTR_RECORD* a = (const ATTR_RECORD*)(rec + at);
    if (a->type == AT_END) return true;
    u32 length = at + 8 <= end ? le32_to_cpu(a->length) : 0;
    if (length < 24 || (length & 7) || at + length > end) return false;
    if (a->non_resident && (length < 64 || le16_to_cpu(a->mapping_pairs_offset) >= length))
      return false;
    if (!visit(a)) return false;
    at += length;
  }
  return false;
}

}  // namespace

bool ForEachRawAttribute(const u8* rec, u32 size,
                         const std::function<bool(const ATTR_RECORD* a)>& visit) {
  return EachAttribute(rec, size, visit);
}

namespace {

// Calls run for each non-resident attribute of record n, and list for
// each attribute list it holds; false when the record cannot be walked or
// a runlist decoded (*stopped: run returned false).
template <class Run, class List>
bool RecordRuns(ntfs_volume* vol, s64 n, const u8* rec, Run& run, bool* stopped, List&& list) {
  return EachAttribute(rec, vol->mft_record_size, [&](const ATTR_RECORD* a) {
    if (a->type == AT_ATTRIBUTE_LIST) list(a);
    if (!a->non_resident) return true;
    runlist_element* rl = DecodeNtfsPieceRuns(vol, a);
    if (!rl) return false;
    *stopped = !run(n, a, rl);
    free(rl);
    return !*stopped;
  });
}

u64 Ref(s64 record, u16 sequence) {
  return (u64)record | (u64)sequence << 48;
}

}  // namespace

bool WalkNtfsRecordRuns(
    ntfs_volume* vol,
    const std::function<bool(s64 n, const ATTR_RECORD* a, runlist_element* rl)>& run, s64* bad) {
  *bad = -1;
  if (!vol || !vol->mft_na) return (errno = EINVAL, false);
  LibrarySource source(vol);
  return WalkNtfsRecordRuns(vol, source, run, bad);
}

bool WalkNtfsRecordRuns(
    ntfs_volume* vol, NtfsMftSource& source,
    const std::function<bool(s64 n, const ATTR_RECORD* a, runlist_element* rl)>& run, s64* bad) {
  *bad = -1;
  const u32 size = vol->mft_record_size;
  // Whole extension records free by their header, and the records the
  // lists of the base records in use name.
  struct Named {
    s64 record;
    u16 sequence;  // the list's; 0 when it names none
    u64 base;      // the reference to the base, its sequence number with it
    bool operator<(const Named& o) const { return record < o.record; }
  };
  std::vector<Named> loose, named;
  bool stopped = false;
  bool walked = WalkNtfsRecords(vol, source, [&](s64 n, u8* rec, NtfsRecordState state) {
    const MFT_RECORD* m = (const MFT_RECORD*)rec;
    if (state == kRecordFree) {
      if (m->magic == magic_FILE && m->base_mft_record)
        loose.push_back(Named{n, le16_to_cpu(m->sequence_number), le64_to_cpu(m->base_mft_record)});
      return true;
    }
    bool ok =
        state == kRecordInUse && RecordRuns(vol, n, rec, run, &stopped, [&](const ATTR_RECORD* a) {
          if (m->base_mft_record) return;
          std::vector<NtfsListEntry> entries;
          ParseNtfsAttributeList(ReadNtfsAttributeList(vol, a), &entries);
          for (const NtfsListEntry& e : entries)
            if (e.record != n)
              named.push_back(Named{e.record, e.sequence, Ref(n, le16_to_cpu(m->sequence_number))});
        });
    if (!ok) *bad = stopped ? -1 : n;
    return ok;
  });
  if (!walked || loose.empty()) return walked;
  std::sort(named.begin(), named.end());
  std::vector<u8> rec(size);
  for (const Named& l : loose) {
    // Read again: only the few a list still names.
    bool wanted = false;
    for (auto at = std::lower_bound(named.begin(), named.end(), l);
         at != named.end() && at->record == l.record && !wanted; at++)
      wanted = at->base == l.base && (!at->sequence || at->sequence == l.sequence);
    if (!wanted) continue;
    if (!source.ReadMft(l.record * size, size, rec.data()) ||
        ntfs_mst_post_read_fixup_warn((NTFS_RECORD*)rec.data(), size, FALSE) ||
        !RecordRuns(vol, l.record, rec.data(), run, &stopped, [](const ATTR_RECORD*) {})) {
      *bad = stopped ? -1 : l.record;
      return false;
    }
  }
  return true;
}

std::vector<u8> ReadNtfsAttributeList(ntfs_volume* vol, const ATTR_RECORD* a) {
  std::vector<u8> list;
  const u8* p = (const u8*)a;
  if (!a->non_resident) {
    u32 offset = le16_to_cpu(a->value_offset), length = le32_to_cpu(a->value_length);
    if ((u64)offset + length <= le32_to_cpu(a->length))
      list.assign(p + offset, p + offset + length);
    return list;
  }
  s64 size = sle64_to_cpu(a->data_size);
  runlist_element* rl = DecodeNtfsPieceRuns(vol, a);
  if (!rl || size < 0 || size > (16 << 20)) {
    free(rl);
    return list;
  }
  list.assign((size_t)size, 0);
  for (runlist_element* e = rl; e->length && !list.empty(); e++) {
    s64 from = e->vcn << vol->cluster_size_bits;
    s64 bytes = std::min<s64>(e->length << vol->cluster_size_bits, size - from);
    if (bytes <= 0) break;
    if (e->lcn < 0 ||
        ntfs_pread(vol->dev, e->lcn << vol->cluster_size_bits, bytes, &list[(size_t)from]) != bytes)
      list.clear();
  }
  free(rl);
  return list;
}

bool ParseNtfsAttributeList(const std::vector<u8>& list, std::vector<NtfsListEntry>* out) {
  for (size_t at = 0; at < list.size();) {
    if (at + 26 > list.size()) return false;
    const ATTR_LIST_ENTRY* e = (const ATTR_LIST_ENTRY*)&list[at];
    u32 length = le16_to_cpu(e->length), nameBytes = 2u * e->name_length,
        nameOffset = e->name_offset;
    if (length < 26 || at + length > list.size() || (nameBytes && nameOffset < 26) ||
        nameOffset + nameBytes > length)
      return false;
    out->push_back(NtfsListEntry{le32_to_cpu(e->type), sle64_to_cpu(e->lowest_vcn),
                                 (s64)MREF_LE(e->mft_reference), (u16)MSEQNO_LE(e->mft_reference),
                                 le16_to_cpu(e->instance), at + nameOffset, nameBytes});
    at += length;
  }
  return true;
}

runlist_element* DecodeNtfsPieceRuns(ntfs_volume* vol, const ATTR_RECORD* a) {
  if (!a->non_resident) return (errno = EINVAL, nullptr);
  runlist_element* rl = ntfs_mapping_pairs_decompress(vol, a, nullptr);
  if (!rl) return nullptr;
  const s64 lowest = sle64_to_cpu(a->lowest_vcn), highest = sle64_to_cpu(a->highest_vcn);
  size_t from = 0, to = 0;
  while (rl[to].length) to++;
  // The VCNs before this piece, and (for the first piece) those past it up
  // to the allocated size, stand in as unmapped.
  while (from < to && rl[from].lcn == LCN_RL_NOT_MAPPED && rl[from].vcn + rl[from].length <= lowest)
    from++;
  while (to > from && rl[to - 1].lcn == LCN_RL_NOT_MAPPED && rl[to - 1].vcn > highest) to--;
  // An empty attribute may say 0 for its highest VCN.
  s64 next = from == to && !lowest && highest <= 0 ? 0 : highest + 1;
  bool covers = from < to ? rl[from].vcn == lowest && rl[to - 1].vcn + rl[to - 1].length == next
                          : lowest == next;
  if (!covers) {
    free(rl);
    return (errno = EINVAL, nullptr);
  }
  memmove(rl, rl + from, (to - from) * sizeof *rl);
  rl[to - from].vcn = next;
  rl[to - from].lcn = LCN_ENOENT;
  rl[to - from].length = 0;
  return rl;
}

bool ChainNtfsRunPieces(std::vector<NtfsRunPiece>* pieces, s64 clusters, s64* amiss) {
  std::sort(pieces->begin(), pieces->end(),
            [](const NtfsRunPiece& x, const NtfsRunPiece& y) { return x.lowest < y.lowest; });
  s64 next = 0;
  for (const NtfsRunPiece& p : *pieces) {
    if (p.lowest != next || p.highest < p.lowest - 1) {
      *amiss = next < p.lowest ? next : p.lowest;
      return false;
    }
    next = p.highest + 1;
  }
  *amiss = next;
  return next == clusters;
}
