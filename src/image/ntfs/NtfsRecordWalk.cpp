// The walk over $MFT's records as stored.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "image/ntfs/NtfsRecordWalk.h"

extern "C" {
#include <ntfs-3g/mst.h>
}

namespace {

const s64 kRun = 64;  // records read at once

bool Whole(u8* rec, u32 size) {
  MFT_RECORD* m = (MFT_RECORD*)rec;
  if (m->magic != magic_FILE) return false;
  if (ntfs_mst_post_read_fixup_warn((NTFS_RECORD*)rec, size, FALSE)) return false;
  u32 attrs = le16_to_cpu(m->attrs_offset), inUse = le32_to_cpu(m->bytes_in_use);
  return attrs >= 42 && attrs < inUse && inUse <= size && le32_to_cpu(m->bytes_allocated) <= size;
}

}  // namespace

bool WalkNtfsRecords(ntfs_volume* vol,
                     const std::function<bool(s64 n, u8* rec, NtfsRecordState state)>& visit) {
  if (!vol || !vol->mft_na) return (errno = EINVAL, false);
  const u32 size = vol->mft_record_size;
  const s64 records = vol->mft_na->initialized_size / size;
  s64 mapBytes = vol->mftbmp_na ? vol->mftbmp_na->initialized_size : 0;
  std::vector<u8> map((size_t)mapBytes);
  if (mapBytes && ntfs_attr_pread(vol->mftbmp_na, 0, mapBytes, map.data()) != mapBytes)
    return (errno = EIO, false);
  auto marked = [&](s64 n) { return n < mapBytes * 8 && ((map[(size_t)(n >> 3)] >> (n & 7)) & 1); };
  std::vector<u8> run((size_t)(kRun * size)), copy(size);
  for (s64 first = 0; first < records; first += kRun) {
    s64 count = records - first < kRun ? records - first : kRun;
    if (ntfs_attr_pread(vol->mft_na, first * size, count * size, run.data()) != count * size)
      return (errno = EIO, false);
    for (s64 n = first; n < first + count; n++) {
      u8* rec = &run[(size_t)((n - first) * size)];
      memcpy(copy.data(), rec, size);
      bool whole = Whole(rec, size);
      // The mirror's copy of a record $MFT holds torn.
      if (!whole && n < vol->mftmirr_size && vol->mftmirr_na &&
          ntfs_attr_pread(vol->mftmirr_na, n * size, size, rec) == (s64)size)
        whole = Whole(rec, size);
      if (!whole) memcpy(rec, copy.data(), size);
      bool inUse =
          whole ? (le16_to_cpu(((MFT_RECORD*)rec)->flags) & MFT_RECORD_IN_USE) != 0 : marked(n);
      NtfsRecordState state = !inUse ? kRecordFree : whole ? kRecordInUse : kRecordBroken;
      if (!visit(n, rec, state)) return false;
    }
  }
  return true;
}

bool ForEachRawAttribute(const u8* rec, u32 size,
                         const std::function<bool(const ATTR_RECORD* a)>& visit) {
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

bool WalkNtfsRecordRuns(
    ntfs_volume* vol,
    const std::function<bool(s64 n, const ATTR_RECORD* a, runlist_element* rl)>& run, s64* bad) {
  *bad = -1;
  const u32 size = vol ? vol->mft_record_size : 0;
  return WalkNtfsRecords(vol, [&](s64 n, u8* rec, NtfsRecordState state) {
    if (state == kRecordFree) return true;
    bool stopped = false;
    bool walked =
        state == kRecordInUse && ForEachRawAttribute(rec, size, [&](const ATTR_RECORD* a) {
          if (!a->non_resident) return true;
          runlist_element* rl = ntfs_mapping_pairs_decompress(vol, a, nullptr);
          if (!rl) return false;
          stopped = !run(n, a, rl);
          free(rl);
          return !stopped;
        });
    if (!walked) *bad = stopped ? -1 : n;
    return walked;
  });
}
