// The NTFS resize engine. The volume is first checked: every cluster that
// a record's runs name must lie inside the volume, be named once and be
// marked in $Bitmap, and $Bitmap must mark nothing else. Then the new size
// is weighed against what lies beyond it, $LogFile is reset, $BadClus:$Bad
// and $Bitmap take the new cluster count, and the boot sector, its backup
// and the partition entry follow.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "image/ntfs/NtfsDevice.h"
#include "image/ntfs/NtfsInternal.h"
#include "image/ntfs/NtfsRecordWalk.h"
#include "image/ntfs/NtfsResize.h"

extern "C" {
#include <ntfs-3g/bitmap.h>
#include <ntfs-3g/mft.h>
}

namespace {

const char kContact[] = "vromount@localhost";
const int kReportedMismatches = 10;

// ---- Messages: the "fatal" ones end the resize (the caller gets 0).

// Where the messages go: the standard output, or the check's log while the
// check runs the cluster accounting.
NtfsMessageLog g_log = nullptr;

void PrintV(const char* prefix, const char* format, va_list args) {
  if (g_log) {
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    g_log("%s%s", prefix, text);
    return;
  }
  fputs(prefix, stdout);
  vfprintf(stdout, format, args);
  fflush(stdout);
}

void Silent(const char*, ...) {}

void Message(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintV("", format, args);
  va_end(args);
}

void Error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintV("ERROR: ", format, args);
  va_end(args);
}

void SystemError(const char* format, ...) {
  int err = errno;
  char prefix[32];
  snprintf(prefix, sizeof prefix, "ERROR(%d): ", err);
  va_list args;
  va_start(args, format);
  PrintV(prefix, format, args);
  va_end(args);
  printf(": %s\n", strerror(err));
  fflush(stdout);
}

struct Resize {
  ntfs_volume* vol = nullptr;
  s64 newClusters = 0;
  bool shrink = false;
  s64 inUse = 0;
  s64 outsider = 0;
  s64 multiRef = 0;
  std::vector<u8> lcnBitmap;  // clusters named by records
  s64 lastUnsupported = 0;
  s64 relocations = 0;
  s64 unmovable = 0;  // clusters beyond the new end that are not moved
  s64 badClusters = 0;
  s64 scan = 0;  // where the free-cluster scan goes on
};

bool TestBit(const std::vector<u8>& map, s64 bit) {
  return (map[bit >> 3] >> (bit & 7)) & 1;
}
void SetBit(std::vector<u8>& map, s64 bit) {
  map[bit >> 3] |= (u8)(1 << (bit & 7));
}

// The bitmap byte count of a cluster count, as the formatter lays it down.
s64 BitmapBytes(s64 clusters) {
  return ((clusters + 7) / 8 + 7) & ~7LL;
}

// Walks the base records in use; visit(ni) returns false to stop. Records
// that cannot be opened for being free or unreadable (ENOENT, EIO) are
// passed over; another failure is reported.
template <class Visit>
bool WalkBaseRecords(ntfs_volume* vol, Visit visit) {
  s64 records = vol->mft_na->initialized_size >> vol->mft_record_size_bits;
  for (s64 n = 0; n < records; n++) {
    ntfs_inode* ni = ntfs_inode_open(vol, (MFT_REF)n);
    if (!ni) {
      if (errno == EIO || errno == ENOENT) continue;
      SystemError("Reading inode %lld failed", (long long)n);
      return false;
    }
    bool go = true;
    if (!ni->mrec->base_mft_record) go = visit(ni);
    if (ntfs_inode_close(ni)) {
      SystemError("ntfs_inode_close for inode %llu", (unsigned long long)n);
      return false;
    }
    if (!go) return false;
  }
  return true;
}

// Calls run(ni, attr, rl) for every non-resident attribute of the record
// with its decoded runlist (freed afterwards). False after a failure.
template <class Run>
bool ForEachRunlist(ntfs_inode* ni, Run run) {
  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
  if (!ctx) {
    SystemError("ntfs_attr_get_search_ctx");
    return false;
  }
  bool ok = true;
  while (ok && !ntfs_attrs_walk(ctx)) {
    ATTR_RECORD* a = ctx->attr;
    if (a->type == AT_END) break;
    if (!a->non_resident) continue;
    runlist_element* rl = DecodeNtfsPieceRuns(ni->vol, a);
    if (!rl) {
      SystemError("ntfs_decompress_mapping_pairs");
      ok = false;
      break;
    }
    ok = run(ni, a, rl);
    free(rl);
  }
  ntfs_attr_put_search_ctx(ctx);
  return ok;
}

bool IsBadClusterList(ntfs_inode* ni, ATTR_RECORD* a) {
  if (ni->mft_no != FILE_BadClus || a->type != AT_DATA || a->name_length != 4) return false;
  const ntfschar* name = (const ntfschar*)((const u8*)a + le16_to_cpu(a->name_offset));
  static const char kBad[] = "$Bad";
  for (int i = 0; i < 4; i++)
    if (le16_to_cpu(name[i]) != (u16)kBad[i]) return false;
  return true;
}

// ---- The cluster-accounting check.

// Marks the clusters of one run list of record n; false (after a line) for
// a run that makes no sense.
bool MarkRunClusters(Resize& r, s64 n, const ATTR_RECORD* a, const runlist_element* rl) {
  for (const runlist_element* e = rl; e->length; e++) {
    if (e->lcn < 0) continue;
    if (e->length < 0 || e->lcn + e->length < e->lcn) {
      Error("Corrupt runlist in inode %lld attr %x LCN %llx length %llx\n", (long long)n,
            (unsigned)le32_to_cpu(a->type), (unsigned long long)e->lcn,
            (unsigned long long)e->length);
      return false;
    }
    for (s64 c = e->lcn; c < e->lcn + e->length; c++) {
      if (c >= r.vol->nr_clusters) {
        if (!r.outsider)
          Message("Outside of the volume reference for inode %lld at %lld:%lld\n", (long long)n,
                  (long long)c, (long long)(e->lcn + e->length - c));
        r.outsider += e->lcn + e->length - c;
        break;
      }
      if (TestBit(r.lcnBitmap, c)) {
        if (++r.multiRef <= kReportedMismatches)
          Message("Cluster %lld is referenced multiple times!\n", (long long)c);
        continue;
      }
      SetBit(r.lcnBitmap, c);
      r.inUse++;
    }
  }
  return true;
}

// The clusters of every record in use, base and extension alike, as $MFT
// holds them (not through the attribute lists, whose damage would hide
// what the records they lost still use); record skip is left out.
bool MarkVolumeClusters(Resize& r, s64 skip = -1, s64* unread = nullptr) {
  r.lcnBitmap.assign((size_t)BitmapBytes(r.vol->nr_clusters), 0);
  s64 bad = -1;
  bool walked = WalkNtfsRecordRuns(
      r.vol,
      [&](s64 n, const ATTR_RECORD* a, runlist_element* rl) {
        return n == skip || MarkRunClusters(r, n, a, rl);
      },
      &bad);
  if (!walked && bad >= 0) Error("Record %lld is in use but cannot be read.\n", (long long)bad);
  if (unread) *unread = bad;
  return walked;
}

bool CompareWithBitmap(Resize& r) {
  ntfs_volume* vol = r.vol;
  s64 clusters = vol->nr_clusters;
  s64 need = (clusters + 7) / 8;
  if (vol->lcnbmp_na->data_size < need) {
    Error("$Bitmap size is smaller than expected (%lld != %lld)\n",
          (long long)vol->lcnbmp_na->data_size, (long long)need);
    return false;
  }
  bool middleSeen = false;
  s64 mismatches = 0;
  std::vector<u8> chunk(8192);
  for (s64 pos = 0; pos < need; pos += (s64)chunk.size()) {
    s64 count = need - pos < (s64)chunk.size() ? need - pos : (s64)chunk.size();
    if (ntfs_attr_pread(vol->lcnbmp_na, pos, count, chunk.data()) != count) {
      SystemError("Couldn't get $Bitmap $DATA");
      return false;
    }
    for (s64 i = 0; i < count; i++) {
      u8 diff = chunk[i] ^ r.lcnBitmap[pos + i];
      for (int bit = 0; diff && bit < 8; bit++) {
        if (!((diff >> bit) & 1)) continue;
        s64 c = (pos + i) * 8 + bit;
        if (c >= clusters) break;
        bool extra = (chunk[i] >> bit) & 1;
        if (extra && c == clusters / 2 && !middleSeen) {
          middleSeen = true;
          Message("Found backup boot sector in the middle of the volume.\n");
          continue;
        }
        if (++mismatches <= kReportedMismatches)
          Message("Cluster accounting failed at %lld (0x%llx): %s cluster in $Bitmap\n",
                  (long long)c, (unsigned long long)c, extra ? "extra" : "missing");
      }
    }
  }
  if (mismatches) {
    Error("Filesystem check failed! Totally %lld cluster accounting mismatches.\n",
          (long long)mismatches);
    return false;
  }
  return true;
}

bool CheckClusterAccounting(Resize& r) {
  if (!MarkVolumeClusters(r)) return false;
  if (r.outsider || r.multiRef) {
    Error("Filesystem check failed!\n");
    if (r.outsider)
      Message("%lld clusters are referenced outside of the volume.\n", (long long)r.outsider);
    if (r.multiRef)
      Message("%lld clusters are referenced multiple times.\n", (long long)r.multiRef);
    return false;
  }
  return CompareWithBitmap(r);
}

// ---- What lies beyond the new end.

bool SetResizeConstraints(Resize& r) {
  return WalkBaseRecords(r.vol, [&](ntfs_inode* ni) {
    return ForEachRunlist(ni, [&](ntfs_inode* ni, ATTR_RECORD* a, runlist_element* rl) {
      if (IsBadClusterList(ni, a)) return true;
      bool bitmapData = ni->mft_no == FILE_Bitmap && a->type == AT_DATA;
      if (bitmapData && ni->attr_list) {
        Error("Highly fragmented $Bitmap isn't supported yet.\n");
        return false;
      }
      bool mirror = ni->mft_no == FILE_MFTMirr;
      int runs = 0;
      for (runlist_element* e = rl; e->length; e++) runs += e->lcn >= 0;
      for (runlist_element* e = rl; e->length; e++) {
        if (e->lcn < 0) continue;
        s64 last = e->lcn + e->length - 1;
        if (mirror && (ni->attr_list || (a->type == AT_DATA && runs > 1)))
          if (last > r.lastUnsupported) r.lastUnsupported = last;
        if (last < r.newClusters) continue;
        // $Bitmap's data finds its new place when it is truncated.
        if (bitmapData) continue;
        // An attribute list's own clusters, and anything of $MFT when it
        // has one, are left where they are: the library reads $MFT
        // through them while records move.
        if (a->type == AT_ATTRIBUTE_LIST || (ni->mft_no == FILE_MFT && ni->attr_list)) {
          r.unmovable += e->length;
          continue;
        }
        if (mirror && e->lcn < r.newClusters) {
          Error("$MFTMirr can't be split up yet. Please try a different size.\n");
          return false;
        }
        s64 start = e->lcn > r.newClusters ? e->lcn : r.newClusters;
        r.relocations += last + 1 - start;
        Message("Relocation needed for inode %8lld attr 0x%x LCN 0x%08llx length %6lld\n",
                (long long)ni->mft_no, (unsigned)le32_to_cpu(a->type), (unsigned long long)e->lcn,
                (long long)e->length);
      }
      return true;
    });
  });
}

bool CheckShrink(Resize& r) {
  if (r.lastUnsupported < r.inUse - 1) r.lastUnsupported = r.inUse - 1;
  if (!r.shrink) return true;
  if (r.inUse == r.vol->nr_clusters) {
    Error("Volume is full. To shrink it, delete unused files.\n");
    return false;
  }
  if (r.newClusters < r.inUse) {
    Error(
        "New size can't be less than the space already occupied by data.\nYou either need "
        "to delete unused files or see the -i option.\n");
    return false;
  }
  if (r.newClusters <= r.lastUnsupported) {
    Error(
        "The fragmentation type, you have, isn't supported yet. Rerun ntfsresize\nwith the "
        "-i option to estimate the smallest shrunken volume size supported.\n");
    return false;
  }
  if (r.unmovable) {
    Error(
        "%lld clusters of an attribute list, or of $MFT with an attribute list, lie beyond "
        "the new end of the volume and cannot be moved. Please try a larger size.\n",
        (long long)r.unmovable);
    return false;
  }
  return true;
}

// A grow leaves every run where it is (the accounting found none beyond
// the volume): only $Bitmap, which takes the new clusters, must be one
// record.
bool CheckGrow(Resize& r) {
  if (r.vol->lcnbmp_ni && r.vol->lcnbmp_ni->attr_list) {
    Error("Highly fragmented $Bitmap isn't supported yet.\n");
    return false;
  }
  return true;
}

// ---- Runlists and attribute records.

}  // namespace

// Lengthens a runlist to end at vcn: the last hole grows, or a hole is added.
bool rl_expand(std::vector<runlist_element>& rl, s64 vcn) {
  if (rl.size() < 2) {
    Error("rl_expand: bad runlist length: %d\n", (int)rl.size());
    return false;
  }
  runlist_element& end = rl.back();
  if (end.vcn > vcn) {
    Error("rl_expand: length is already more than requested (%lld > %lld)\n", (long long)end.vcn,
          (long long)vcn);
    return false;
  }
  runlist_element& last = rl[rl.size() - 2];
  if (last.lcn == LCN_HOLE) {
    last.length = vcn - last.vcn;
  } else {
    if (last.lcn < 0) {
      Error("rl_expand: bad LCN: %lld\n", (long long)last.lcn);
      return false;
    }
    runlist_element hole = {end.vcn, LCN_HOLE, vcn - end.vcn};
    rl.insert(rl.end() - 1, hole);
  }
  rl.back().vcn = vcn;
  rl.back().lcn = LCN_ENOENT;
  rl.back().length = 0;
  return true;
}

// Cuts a runlist at vcn, or lengthens it there with a hole.
bool rl_truncate(std::vector<runlist_element>& rl, s64 vcn) {
  if (rl.size() < 2) {
    Error("rl_truncate: bad runlist length: %d\n", (int)rl.size());
    return false;
  }
  if (rl.back().vcn <= vcn) return rl.back().vcn == vcn || rl_expand(rl, vcn);
  size_t keep = 0;
  while (keep < rl.size() - 1 && rl[keep].vcn + rl[keep].length <= vcn) keep++;
  if (keep < rl.size() - 1 && rl[keep].vcn < vcn) {
    rl[keep].length = vcn - rl[keep].vcn;
    keep++;
  }
  rl.resize(keep);
  runlist_element end = {vcn, LCN_ENOENT, 0};
  rl.push_back(end);
  return true;
}

namespace {

std::vector<runlist_element> CopyRunlist(const runlist_element* rl) {
  std::vector<runlist_element> out;
  for (const runlist_element* e = rl;; e++) {
    out.push_back(*e);
    if (!e->length) break;
  }
  return out;
}

// Hands the attribute a copy of the runlist (in the library's memory).
bool ReplaceRunlist(ntfs_attr* na, const std::vector<runlist_element>& rl) {
  runlist_element* copy = (runlist_element*)malloc(rl.size() * sizeof(runlist_element));
  if (!copy) return false;
  memcpy(copy, rl.data(), rl.size() * sizeof(runlist_element));
  free(na->rl);
  na->rl = copy;
  return true;
}

// Gives the open attribute a new runlist and sizes and writes its record.
bool StoreAttribute(ntfs_attr* na, const std::vector<runlist_element>& rl, s64 dataSize,
                    s64 allocatedSize) {
  if (!ReplaceRunlist(na, rl)) return false;
  s64 compressed = 0;
  for (const runlist_element& e : rl)
    if (e.lcn >= 0) compressed += e.length << na->ni->vol->cluster_size_bits;
  na->data_size = na->initialized_size = dataSize;
  na->allocated_size = allocatedSize;
  na->compressed_size = compressed;

  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(na->ni, nullptr);
  if (!ctx) return false;
  bool ok = !ntfs_attr_lookup(na->type, na->name, na->name_len, CASE_SENSITIVE, 0, nullptr, 0, ctx);
  if (ok) {
    ATTR_RECORD* a = ctx->attr;
    a->data_size = cpu_to_sle64(dataSize);
    a->initialized_size = cpu_to_sle64(dataSize);
    a->allocated_size = cpu_to_sle64(allocatedSize);
    if (a->flags & (ATTR_IS_SPARSE | ATTR_COMPRESSION_MASK))
      a->compressed_size = cpu_to_sle64(compressed);
    ntfs_inode_mark_dirty(ctx->ntfs_ino);
  }
  ntfs_attr_put_search_ctx(ctx);
  return ok && !ntfs_attr_update_mapping_pairs(na, 0);
}

struct OpenBadList {
  ntfs_inode* ni = nullptr;
  ntfs_attr* na = nullptr;
  explicit OpenBadList(ntfs_volume* vol) {
    static ntfschar name[4] = {cpu_to_le16('$'), cpu_to_le16('B'), cpu_to_le16('a'),
                               cpu_to_le16('d')};
    ni = ntfs_inode_open(vol, FILE_BadClus);
    if (ni) na = ntfs_attr_open(ni, AT_DATA, name, 4);
  }
  bool Close() {
    if (na) ntfs_attr_close(na);
    return !ni || !ntfs_inode_close(ni);
  }
};

// $BadClus:$Bad takes the new cluster count; its bad runs inside stay.
bool TruncateBadClusterList(Resize& r) {
  OpenBadList bad(r.vol);
  bool ok = false;
  if (!bad.na) {
    SystemError("Couldn't open $BadClus:$Bad");
  } else if (!NAttrNonResident(bad.na)) {
    Error("Resident attribute in $BadClust isn't supported!\n");
  } else if (ntfs_attr_map_whole_runlist(bad.na)) {
    SystemError("Decompressing $BadClust:$Bad mapping pairs failed");
  } else {
    std::vector<runlist_element> rl = CopyRunlist(bad.na->rl);
    s64 bytes = r.newClusters << r.vol->cluster_size_bits;
    ok = rl_truncate(rl, r.newClusters) && StoreAttribute(bad.na, rl, bytes, bytes);
    if (!ok) SystemError("Couldn't update $BadClus:$Bad");
  }
  return bad.Close() && ok;
}

// Takes count free clusters of the new volume into the runlist's end,
// next to its last run where they are free.
bool AllocateBitmapClusters(Resize& r, std::vector<u8>& map, std::vector<runlist_element>& rl,
                            s64 count) {
  s64 vcn = rl.back().vcn;
  rl.pop_back();
  s64 hint = 0;
  for (const runlist_element& e : rl)
    if (e.lcn >= 0) hint = e.lcn + e.length;
  for (s64 pass = 0; count && pass < 2; pass++) {
    for (s64 c = pass ? 0 : hint; count && c < r.newClusters; c++) {
      if (TestBit(map, c)) continue;
      SetBit(map, c);
      if (!rl.empty() && rl.back().lcn >= 0 && rl.back().lcn + rl.back().length == c)
        rl.back().length++;
      else
        rl.push_back(runlist_element{vcn, c, 1});
      vcn++;
      count--;
    }
  }
  rl.push_back(runlist_element{vcn, LCN_ENOENT, 0});
  if (count) {
    errno = ENOSPC;
    SystemError("Couldn't allocate $Bitmap clusters");
    return false;
  }
  return true;
}

void AppendRun(std::vector<runlist_element>& rl, s64 vcn, s64 lcn, s64 length);

// Runs of the bitmap's own data beyond the new end take free clusters
// inside it (marked in the new map); the new bitmap is then written to
// wherever its runs lie, so nothing needs copying.
bool MoveBitmapRuns(Resize& r, std::vector<u8>& map, std::vector<runlist_element>& rl) {
  std::vector<runlist_element> out;
  s64 next = 0;
  for (const runlist_element& e : rl) {
    if (!e.length) {
      out.push_back(e);
      break;
    }
    if (e.lcn < 0 || e.lcn + e.length <= r.newClusters) {
      AppendRun(out, e.vcn, e.lcn, e.length);
      continue;
    }
    s64 inside = e.lcn < r.newClusters ? r.newClusters - e.lcn : 0;
    if (inside) AppendRun(out, e.vcn, e.lcn, inside);
    for (s64 i = inside; i < e.length; i++) {
      while (next < r.newClusters && TestBit(map, next)) next++;
      if (next >= r.newClusters) {
        errno = ENOSPC;
        SystemError("Couldn't allocate $Bitmap clusters");
        return false;
      }
      SetBit(map, next);
      AppendRun(out, e.vcn + i, next, 1);
    }
  }
  rl.swap(out);
  return true;
}

bool ResizeClusterBitmap(Resize& r) {
  ntfs_attr* na = r.vol->lcnbmp_na;
  if (!NAttrNonResident(na)) {
    Error("Resident attribute in $Bitmap isn't supported!\n");
    return false;
  }
  if (ntfs_attr_map_whole_runlist(na)) {
    SystemError("Couldn't map $Bitmap");
    return false;
  }
  s64 oldBytes = na->data_size;
  s64 newBytes = BitmapBytes(r.newClusters);
  std::vector<u8> map((size_t)(newBytes > oldBytes ? newBytes : oldBytes), 0);
  if (ntfs_attr_pread(na, 0, oldBytes, map.data()) != oldBytes) {
    SystemError("Couldn't get $Bitmap $DATA");
    return false;
  }
  // The old padding bits past the old end become free clusters; past the
  // new end the padding is marked in use, as a fresh format has it.
  map.resize((size_t)newBytes);
  s64 from = r.vol->nr_clusters < r.newClusters ? r.vol->nr_clusters : r.newClusters;
  for (s64 c = from; c < newBytes * 8; c++) {
    if (c < r.newClusters)
      map[c >> 3] &= (u8) ~(1 << (c & 7));
    else
      map[c >> 3] |= (u8)(1 << (c & 7));
  }

  std::vector<runlist_element> rl = CopyRunlist(na->rl);
  s64 cs = r.vol->cluster_size;
  s64 allocated = (newBytes + cs - 1) / cs * cs;
  if (allocated > na->allocated_size &&
      !AllocateBitmapClusters(r, map, rl, (allocated - na->allocated_size) / cs))
    return false;
  if (allocated < na->allocated_size) {
    // The clusters the smaller bitmap gives up become free.
    s64 keep = allocated / cs;
    for (const runlist_element& e : rl)
      for (s64 i = 0; e.lcn >= 0 && i < e.length; i++)
        if (e.vcn + i >= keep && e.lcn + i < r.newClusters)
          map[(e.lcn + i) >> 3] &= (u8) ~(1 << ((e.lcn + i) & 7));
    if (!rl_truncate(rl, keep)) return false;
  }
  if (!MoveBitmapRuns(r, map, rl)) return false;
  if (!StoreAttribute(na, rl, newBytes, allocated)) {
    SystemError("Couldn't update $Bitmap at new location");
    return false;
  }
  s64 written = ntfs_attr_pwrite(na, 0, newBytes, map.data());
  if (written != newBytes) {
    if (written < 0)
      SystemError("Couldn't write $Bitmap");
    else
      Error("Couldn't write full $Bitmap file (%lld from %lld)\n", (long long)written,
            (long long)newBytes);
    return false;
  }
  return true;
}

// ---- Moving what lies beyond the new end.

// A free run inside the new volume for up to `want` clusters: from where
// the last scan stopped, a run of exactly that length is taken at once;
// otherwise, once the scan has gone round (wrapping at the new end), the
// longest free run. Its clusters are taken in the in-use map and the scan
// goes on behind it. 0 when no cluster is free.
s64 TakeFreeRun(Resize& r, s64 want, s64* lcn) {
  if (r.scan >= r.newClusters || r.scan < 0) r.scan = 0;
  s64 bestStart = -1, bestLength = 0;
  s64 c = r.scan;
  for (s64 seen = 0; seen < r.newClusters;) {
    if (TestBit(r.lcnBitmap, c)) {
      c = c + 1 == r.newClusters ? 0 : c + 1;
      seen++;
      continue;
    }
    s64 n = 0;
    while (c + n < r.newClusters && !TestBit(r.lcnBitmap, c + n)) n++;
    if (n >= want) {
      bestStart = c;
      bestLength = want;
      break;
    }
    if (n > bestLength) {
      bestStart = c;
      bestLength = n;
    }
    seen += n;
    c = c + n == r.newClusters ? 0 : c + n;
  }
  if (bestLength == 0) return 0;
  for (s64 i = 0; i < bestLength; i++) SetBit(r.lcnBitmap, bestStart + i);
  *lcn = bestStart;
  r.scan = bestStart + bestLength == r.newClusters ? 0 : bestStart + bestLength;
  return bestLength;
}

bool CopyClusters(Resize& r, s64 from, s64 to, s64 count) {
  struct ntfs_device* dev = r.vol->dev;
  s64 cs = r.vol->cluster_size;
  std::vector<u8> buf((size_t)(cs * 256));
  for (s64 done = 0; done < count;) {
    s64 n = count - done < 256 ? count - done : 256;
    if (ntfs_pread(dev, (from + done) * cs, n * cs, buf.data()) != n * cs) {
      SystemError("Failed to read from the disk");
      return false;
    }
    if (ntfs_pwrite(dev, (to + done) * cs, n * cs, buf.data()) != n * cs) {
      SystemError("Failed to write to the disk");
      return false;
    }
    done += n;
  }
  return true;
}

void AppendRun(std::vector<runlist_element>& rl, s64 vcn, s64 lcn, s64 length) {
  if (!rl.empty() && lcn >= 0 && rl.back().lcn >= 0 && rl.back().lcn + rl.back().length == lcn &&
      rl.back().vcn + rl.back().length == vcn)
    rl.back().length += length;
  else
    rl.push_back(runlist_element{vcn, lcn, length});
}

// Moves the attribute's clusters beyond the new end into free clusters
// inside it and stores the new runlist. *moved tells whether it did.
bool RelocateAttribute(Resize& r, ntfs_attr* na, bool* moved) {
  *moved = false;
  if (ntfs_attr_map_whole_runlist(na)) {
    SystemError("Could not map attribute 0x%lx in inode %lld", (unsigned long)le32_to_cpu(na->type),
                (long long)na->ni->mft_no);
    return false;
  }
  std::vector<runlist_element> rl;
  runlist_element* e = na->rl;
  for (; e->length; e++) {
    if (e->lcn < 0 || e->lcn + e->length <= r.newClusters) {
      AppendRun(rl, e->vcn, e->lcn, e->length);
      continue;
    }
    s64 inside = e->lcn < r.newClusters ? r.newClusters - e->lcn : 0;
    if (inside) AppendRun(rl, e->vcn, e->lcn, inside);
    for (s64 done = inside; done < e->length;) {
      s64 lcn = 0;
      s64 n = TakeFreeRun(r, e->length - done, &lcn);
      if (!n) {
        errno = ENOSPC;
        SystemError("Cluster allocation failed for %llu:%lld", (unsigned long long)na->ni->mft_no,
                    (long long)(e->length - done));
        return false;
      }
      if (!CopyClusters(r, e->lcn + done, lcn, n) ||
          ntfs_bitmap_set_run(r.vol->lcnbmp_na, lcn, n)) {
        return false;
      }
      AppendRun(rl, e->vcn + done, lcn, n);
      done += n;
    }
    *moved = true;
  }
  rl.push_back(*e);
  if (!*moved) return true;
  if (!ReplaceRunlist(na, rl)) return false;
  if (ntfs_attr_update_mapping_pairs(na, 0)) {
    SystemError("Couldn't update record %llu", (unsigned long long)na->ni->mft_no);
    return false;
  }
  return true;
}

struct AttrId {
  ATTR_TYPES type;
  std::vector<ntfschar> name;
};

// The mirror's records, written while they moved, are copied anew from
// $MFT to where the mirror now lies.
bool SyncMirrorRecords(ntfs_volume* vol) {
  s64 bytes = (s64)vol->mftmirr_size * vol->mft_record_size;
  std::vector<u8> recs((size_t)bytes);
  if (ntfs_attr_pread(vol->mft_na, 0, bytes, recs.data()) != bytes ||
      ntfs_pwrite(vol->dev, vol->mftmirr_lcn << vol->cluster_size_bits, bytes, recs.data()) !=
          bytes) {
    SystemError("Couldn't update $MFTMirr");
    return false;
  }
  return true;
}

// $MFT's own attributes are the library's open ones: its bitmap, then its
// data. The data's clusters are copied before the runlist changes, so the
// records read the same from either place; record 0 is written to where
// its data now begins. The first chunk must keep 16 records.
bool RelocateMft(Resize& r) {
  ntfs_volume* vol = r.vol;
  if (!vol->mft_na->rl) {
    Error("Internal error : no runlist for $MFT\n");
    return false;
  }
  bool moved = false;
  if (NAttrNonResident(vol->mftbmp_na) && !RelocateAttribute(r, vol->mftbmp_na, &moved))
    return false;
  if (ntfs_inode_sync(vol->mft_ni)) {
    SystemError("Couldn't update MFT own record");
    return false;
  }
  runlist_element first = vol->mft_na->rl[0];
  if (first.lcn >= 0 && first.lcn + first.length > r.newClusters) {
    // The first run's new start is the first run taken.
    s64 records = 0;
    for (s64 c = 0; c < r.newClusters && !records;) {
      if (TestBit(r.lcnBitmap, c)) {
        c++;
        continue;
      }
      s64 n = 0;
      while (c + n < r.newClusters && !TestBit(r.lcnBitmap, c + n)) n++;
      if ((n << vol->cluster_size_bits) >= 16 * (s64)vol->mft_record_size) records = 16;
      c += n;
    }
    if (!records) {
      Error("Could not allocate 16 records in the first MFT chunk\n");
      return false;
    }
  }
  if (!RelocateAttribute(r, vol->mft_na, &moved)) return false;
  if (moved) {
    if (ntfs_inode_sync(vol->mft_ni)) {
      SystemError("Couldn't update MFT own record");
      return false;
    }
    vol->mft_lcn = vol->mft_na->rl[0].lcn;
  }
  return true;
}

bool RelocateAttributes(Resize& r) {
  ntfs_volume* vol = r.vol;
  bool ok = WalkBaseRecords(vol, [&](ntfs_inode* ni) {
    if (ni->mft_no == FILE_MFT || ni->mft_no == FILE_BadClus) return true;
    std::vector<AttrId> ids;
    if (!ForEachRunlist(ni, [&](ntfs_inode*, ATTR_RECORD* a, runlist_element* rl) {
          bool far = false;
          for (runlist_element* e = rl; e->length; e++)
            far |= e->lcn >= 0 && e->lcn + e->length > r.newClusters;
          if (far) {
            const ntfschar* name = (const ntfschar*)((const u8*)a + le16_to_cpu(a->name_offset));
            AttrId id{a->type, std::vector<ntfschar>(name, name + a->name_length)};
            // An attribute in several records (through an attribute
            // list) is moved once, whole.
            bool known = false;
            for (const AttrId& k : ids) known |= k.type == id.type && k.name == id.name;
            if (!known) ids.push_back(id);
          }
          return true;
        }))
      return false;
    for (AttrId& id : ids) {
      ntfs_attr* na = ntfs_attr_open(ni, id.type, id.name.empty() ? AT_UNNAMED : id.name.data(),
                                     (u32)id.name.size());
      if (!na) {
        SystemError("Could not open attribute 0x%lx in inode %lld",
                    (unsigned long)le32_to_cpu(id.type), (long long)ni->mft_no);
        return false;
      }
      bool mirror = ni->mft_no == FILE_MFTMirr && id.type == AT_DATA;
      // The mirror goes to the middle of the new volume.
      if (mirror) r.scan = r.newClusters / 2;
      bool moved = false;
      bool done = RelocateAttribute(r, na, &moved);
      if (done && moved && mirror && na->rl[1].length) {
        Error("Multi-run $MFTMirr. Please report!\n");
        done = false;
      }
      if (done && moved && mirror) {
        // Later record writes put their mirror copy at the new place.
        vol->mftmirr_lcn = na->rl[0].lcn;
        runlist_element* copy = (runlist_element*)malloc(2 * sizeof(runlist_element));
        done = copy != nullptr;
        if (done) {
          memcpy(copy, na->rl, 2 * sizeof(runlist_element));
          free(vol->mftmirr_na->rl);
          vol->mftmirr_na->rl = copy;
        }
      }
      ntfs_attr_close(na);
      if (!done) return false;
    }
    return true;
  });
  return ok && RelocateMft(r) && SyncMirrorRecords(vol);
}

bool UpdateBootSector(Resize& r) {
  u8 boot[512];
  struct ntfs_device* dev = r.vol->dev;
  if (ntfs_pread(dev, 0, sizeof boot, boot) != (s64)sizeof boot) {
    SystemError("read() error");
    return false;
  }
  NTFS_BOOT_SECTOR* bs = (NTFS_BOOT_SECTOR*)boot;
  bs->number_of_sectors = cpu_to_sle64(r.newClusters * bs->bpb.sectors_per_cluster);
  bs->mftmirr_lcn = cpu_to_sle64(r.vol->mftmirr_lcn);
  bs->mft_lcn = cpu_to_sle64(r.vol->mft_lcn);
  if (ntfs_pwrite(dev, 0, sizeof boot, boot) != (s64)sizeof boot) {
    SystemError("write() error");
    return false;
  }
  if (dev->d_ops->sync(dev)) {
    SystemError("fsync");
    return false;
  }
  return true;
}

// The sector the backup boot sector takes: the volume's own, at least 512
// bytes (smaller sectors keep the backup in the last 512).
s64 BackupSectorBytes(ntfs_volume* vol) {
  return vol->sector_size > 512 ? vol->sector_size : 512;
}

NtfsDiskDev* DiskDev(ntfs_volume* vol) {
  return vol->dev && vol->dev->d_ops == &ntfs_disk_dev_ops ? (NtfsDiskDev*)vol->dev->d_private
                                                           : nullptr;
}

}  // namespace

uint64_t CollectBadClusterRuns(ntfs_volume* vol) {
  OpenBadList bad(vol);
  uint64_t total = 0;
  if (bad.ni && bad.ni->attr_list) {
    bad.Close();
    return 0;
  }
  if (!bad.na) {
    bad.Close();
    return 0;
  }
  if (!NAttrNonResident(bad.na))
    Error("Resident attribute in $BadClust! Please report to %s\n", kContact);
  else if (ntfs_attr_map_whole_runlist(bad.na))
    Error("Decompressing $BadClust:$Bad mapping pairs failed");
  else
    for (runlist_element* e = bad.na->rl; e->length; e++)
      if (e->lcn >= 0) total += (uint64_t)e->length;
  bad.Close();
  return total;
}

int UpdatePartitionSectorCount(DiskIoBlock* block, ntfs_volume* vol, int partition,
                               uint64_t bytes) {
  NtfsDiskDev* d = vol ? DiskDev(vol) : nullptr;
  // The entry counts the disk's sectors.
  const uint64_t sector = d && d->win.sectorSize >= 512 ? (uint64_t)d->win.sectorSize : 512;
  uint64_t sectors = (bytes + sector - 1) / sector;
  // Only an MBR entry carries the count. A GPT partition keeps its table
  // and its length, so that the backup boot sector lands in its last sector.
  if (d && d->gpt) return 0;
  if (d) d->win.length = sectors * sector;
  if (!block || partition < 0 || partition > 3) return 0;
  u8 mbr[512];
  if (block->read(block->owner, 0, mbr, sizeof mbr) != (int)sizeof mbr) return -1;
  u32 count = (u32)sectors;
  memcpy(mbr + 0x1CA + 16 * partition, &count, 4);
  return block->write(block->owner, 0, mbr, sizeof mbr) == (int)sizeof mbr ? 0 : -1;
}

int SyncBackupBootSector(ntfs_volume* vol) {
  struct ntfs_device* dev = vol->dev;
  s64 bps = BackupSectorBytes(vol);
  std::vector<u8> boot(bps), last(bps);
  if (ntfs_pread(dev, 0, bps, boot.data()) != bps) return -1;
  s64 bytes = ntfs_device_size_get(dev, 512) * 512;
  s64 volumeSectors = sle64_to_cpu(((NTFS_BOOT_SECTOR*)boot.data())->number_of_sectors);
  s64 pos = bytes - bps;
  if (pos < volumeSectors * vol->sector_size) return -1;
  // The boot sector itself decides; the rest of the sector goes with it.
  if (ntfs_pread(dev, pos, bps, last.data()) == bps && !memcmp(boot.data(), last.data(), 512))
    return 0;
  return ntfs_pwrite(dev, pos, bps, boot.data()) == bps ? 0 : -1;
}

int ResetBadClusterList(ntfs_volume* vol) {
  OpenBadList bad(vol);
  bool ok = bad.na && !ntfs_attr_map_whole_runlist(bad.na);
  if (ok && bad.na->rl[0].length && bad.na->rl[1].length) {
    s64 bytes = vol->nr_clusters << vol->cluster_size_bits;
    std::vector<runlist_element> rl;
    rl.push_back(runlist_element{0, LCN_HOLE, vol->nr_clusters});
    rl.push_back(runlist_element{vol->nr_clusters, LCN_ENOENT, 0});
    // The clusters the list gave up are free again in $Bitmap too, or
    // they would be marked in use with nothing owning them.
    std::vector<runlist_element> dropped = CopyRunlist(bad.na->rl);
    ok = StoreAttribute(bad.na, rl, bytes, bytes);
    for (const runlist_element& e : dropped)
      if (ok && e.lcn >= 0 && e.length > 0 && e.lcn + e.length <= vol->nr_clusters)
        ok = !ntfs_bitmap_clear_run(vol->lcnbmp_na, e.lcn, e.length);
  }
  return bad.Close() && ok ? 0 : -1;
}

int CheckNtfsClusterAccounting(ntfs_volume* vol, NtfsMessageLog log) {
  if (!vol || !vol->lcnbmp_na) return 0;
  Resize r;
  r.vol = vol;
  g_log = log;
  bool sound = CheckClusterAccounting(r);
  g_log = nullptr;
  return sound ? 1 : 0;
}

int CollectNtfsClusterUse(ntfs_volume* vol, int64_t skipRecord, std::vector<uint8_t>* used,
                          int64_t* multiRef, int64_t* outside, int64_t* unread) {
  if (unread) *unread = -1;
  if (!vol || !vol->mft_na || !used) return 0;
  Resize r;
  r.vol = vol;
  g_log = Silent;
  bool walked = MarkVolumeClusters(r, skipRecord, unread);
  g_log = nullptr;
  used->swap(r.lcnBitmap);
  if (multiRef) *multiRef = r.multiRef;
  if (outside) *outside = r.outsider;
  return walked ? 1 : 0;
}

int ResizeNtfsVolume(ntfs_volume* vol, DiskIoBlock* block, int partition, uint64_t newBytes) {
  if (!vol) return 0;
  // $Bitmap itself changes size and place: every old byte is kept.
  KeepAllOldBytes(vol);
  Resize r;
  r.vol = vol;
  s64 deviceBytes = ntfs_device_size_get(vol->dev, 512) * 512;
  const uint64_t backup = (uint64_t)BackupSectorBytes(vol);
  if (deviceBytes <= 0 || deviceBytes < (vol->nr_clusters << vol->cluster_size_bits)) return 0;
  if (newBytes < backup) return 0;
  r.newClusters = (s64)((newBytes - backup) / vol->cluster_size);
  if ((r.newClusters << vol->cluster_size_bits) > deviceBytes) return 0;
  r.shrink = r.newClusters < vol->nr_clusters;

  r.badClusters = (s64)CollectBadClusterRuns(vol);
  if (r.badClusters)
    Message("%sThis software has detected that the disk has at least %lld bad sector%s.\n",
            "WARNING: ", (long long)r.badClusters, r.badClusters == 1 ? "" : "s");
  NVolSetNoFixupWarn(vol);

  // A grow leaves every run where it is: only a shrink weighs what lies
  // beyond the new end (a second walk over every record).
  if (!CheckClusterAccounting(r)) return 0;
  if (r.shrink ? !SetResizeConstraints(r) || !CheckShrink(r) : !CheckGrow(r)) return 0;

  struct ntfs_device* dev = vol->dev;
  if (dev->d_ops->sync(dev)) {
    SystemError("Failed to sync device");
    return 0;
  }
  if (ntfs_logfile_reset(vol)) {
    SystemError("Failed to reset $LogFile");
    return 0;
  }
  if (dev->d_ops->sync(dev)) {
    SystemError("Failed to sync device");
    return 0;
  }
  if (r.relocations && !RelocateAttributes(r)) return 0;
  if (!TruncateBadClusterList(r) || !ResizeClusterBitmap(r) || !UpdateBootSector(r)) return 0;
  vol->nr_clusters = r.newClusters;

  if (UpdatePartitionSectorCount(block, vol, partition,
                                 (uint64_t)(r.newClusters << vol->cluster_size_bits) + backup) ||
      SyncBackupBootSector(vol))
    return 0;
  if (ntfs_volume_write_flags(vol, vol->flags & ~VOLUME_IS_DIRTY)) errno = EIO;
  if (!ntfs_version_is_supported(vol)) ResetBadClusterList(vol);
  return 1;
}
