// The NTFS repair, step by step through the mounted volume.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "image/ntfs/NtfsInternal.h"
#include "image/ntfs/NtfsRecordWalk.h"
#include "image/ntfs/check/NtfsRepair.h"
#include "image/ntfs/check/NtfsUpcaseTable.h"
#include "image/ntfs/NtfsResize.h"

extern "C" {
#include <ntfs-3g/bitmap.h>
#include <ntfs-3g/logfile.h>
#include <ntfs-3g/mft.h>
}

namespace {

const u32 kMagicFile = 0x454C4946, kMagicBaad = 0x44414142;

int Fail(int err) {
  errno = err;
  return -1;
}

bool InUse(const u8* rec) {
  return (rec[22] & 1) != 0;
}
u32 Magic(const u8* rec) {
  u32 v;
  memcpy(&v, rec, 4);
  return v;
}
bool Corrupt(const u8* rec) {
  return Magic(rec) == kMagicBaad || Magic(rec) != kMagicFile;
}

// Writes the table over $UpCase's data once $Bitmap's size agrees with the
// cluster count.
int RewriteUpcaseTable(ntfs_volume* vol, ntfs_attr* upcase, const std::vector<uint16_t>& table) {
  ntfs_inode* ni = ntfs_inode_open(vol, FILE_Bitmap);
  if (!ni) return -1;
  ntfs_attr* map = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
  int result = -1;
  if (map && map->data_size * 8 >= vol->nr_clusters && map->data_size * 8 < 2 * vol->nr_clusters &&
      map->data_size <= map->allocated_size) {
    s64 bytes = (s64)table.size() * 2;
    if (ntfs_attr_pwrite(upcase, 0, bytes, table.data()) == bytes) result = 0;
  } else if (map) {
    errno = EINVAL;
  }
  if (map) ntfs_attr_close(map);
  ntfs_inode_close(ni);
  return result;
}

// True when a non-resident attribute of the record (its copy with the
// fix-ups undone) names a cluster outside the volume or one that `others`
// marks (the clusters the other records name), or when the record cannot
// be walked.
bool RunsClash(ntfs_volume* vol, const u8* rec, u32 size, const std::vector<u8>& others) {
  u32 at;
  memcpy(&at, rec + 20, 4);
  at &= 0xFFFF;
  while (at + 8 <= size) {
    ATTR_RECORD* a = (ATTR_RECORD*)(rec + at);
    if (a->type == AT_END) return false;
    u32 length = le32_to_cpu(a->length);
    if (length < 24 || at + length > size) return true;
    at += length;
    if (!a->non_resident) continue;
    if (length < 64) return true;
    runlist_element* rl = DecodeNtfsPieceRuns(vol, a);
    if (!rl) return true;
    bool clash = false;
    for (runlist_element* e = rl; e->length && !clash; e++) {
      if (e->lcn < 0) continue;
      if (e->length < 0 || e->lcn + e->length > vol->nr_clusters) {
        clash = true;
        break;
      }
      for (s64 c = e->lcn; c < e->lcn + e->length && !clash; c++)
        clash = (others[(size_t)(c >> 3)] >> (c & 7)) & 1;
    }
    free(rl);
    if (clash) return true;
  }
  return true;
}

// Of two sound copies of record i that differ, the one whose clusters no
// other record names: $MFT's when both are, null when neither is.
const u8* ConsistentCopy(ntfs_volume* vol, s64 i, const u8* m, const u8* m2) {
  std::vector<u8> others;
  s64 multi = 0, outside = 0;
  if (!CollectNtfsClusterUse(vol, i, &others, &multi, &outside)) return nullptr;
  u32 size = vol->mft_record_size;
  if (!RunsClash(vol, m, size, others)) return m;
  if (!RunsClash(vol, m2, size, others)) return m2;
  return nullptr;
}

bool TestBit(const std::vector<u8>& map, s64 bit) {
  return (map[(size_t)(bit >> 3)] >> (bit & 7)) & 1;
}

// $Bitmap made to mark exactly the clusters the records name (the bits
// past the last cluster, and a mark on the middle cluster where an old
// formatter kept a boot sector copy, stay as they are). 0, or -1.
int RebuildClusterBitmap(ntfs_volume* vol) {
  std::vector<u8> used;
  s64 multi = 0, outside = 0;
  if (!vol->lcnbmp_na || !CollectNtfsClusterUse(vol, -1, &used, &multi, &outside)) return Fail(EIO);
  if (multi || outside) return Fail(EIO);
  s64 clusters = vol->nr_clusters, need = (clusters + 7) / 8;
  if (vol->lcnbmp_na->data_size < need || (s64)used.size() < need) return Fail(EINVAL);
  std::vector<u8> chunk(8192);
  for (s64 pos = 0; pos < need; pos += (s64)chunk.size()) {
    s64 count = need - pos < (s64)chunk.size() ? need - pos : (s64)chunk.size();
    if (ntfs_attr_pread(vol->lcnbmp_na, pos, count, chunk.data()) != count) return Fail(EIO);
    bool differs = false;
    for (s64 i = 0; i < count; i++) {
      u8 want = used[(size_t)(pos + i)];
      for (int bit = 0; bit < 8; bit++) {
        s64 c = (pos + i) * 8 + bit;
        bool keep = c >= clusters || (c == clusters / 2 && !TestBit(used, c));
        if (keep) want = (u8)((want & ~(1 << bit)) | (chunk[(size_t)i] & (1 << bit)));
      }
      if (want != chunk[(size_t)i]) {
        chunk[(size_t)i] = want;
        differs = true;
      }
    }
    if (differs && ntfs_attr_pwrite(vol->lcnbmp_na, pos, count, chunk.data()) != count)
      return Fail(EIO);
  }
  return 0;
}

}  // namespace

int FixMftMirror(ntfs_volume* vol, bool* wrote) {
  if (wrote) *wrote = false;
  s64 count = vol->mftmirr_size;
  u32 size = vol->mft_record_size;
  if (count <= 0) return Fail(EINVAL);
  std::vector<u8> mft((size_t)(count * size)), mirror((size_t)(count * size));
  if (ntfs_attr_mst_pread(vol->mft_na, 0, count, size, mft.data()) != count ||
      ntfs_attr_mst_pread(vol->mftmirr_na, 0, count, size, mirror.data()) != count)
    return Fail(EIO);
  for (s64 i = 0; i < count; i++) {
    u8* m = &mft[(size_t)(i * size)];
    u8* m2 = &mirror[(size_t)(i * size)];
    const bool mftBad = InUse(m) && Corrupt(m), mirrorBad = InUse(m2) && Corrupt(m2);
    if (mftBad && mirrorBad) return Fail(EIO);
    bool useMirror = mftBad || (InUse(m2) && !InUse(m) && Magic(m) != kMagicFile);
    const u8* good = nullptr;
    if (mirrorBad) {
      // A copy torn by a write that stopped halfway: $MFT's record is whole.
      good = m;
    } else if (useMirror) {
      good = m2;
    } else if (Magic(m) == kMagicFile) {
      u32 inUse;
      memcpy(&inUse, m + 24, 4);
      if (inUse > size) inUse = size;
      // Two sound copies that differ: the one the rest of the volume
      // agrees with, or none.
      if (memcmp(m, m2, inUse)) {
        good = Magic(m2) == kMagicFile ? ConsistentCopy(vol, i, m, m2) : m;
        if (!good) return Fail(EIO);
      }
    }
    // The record write puts the record into $MFT and $MFTMirr both.
    if (good) {
      std::vector<u8> copy(good, good + size);
      if (ntfs_mft_record_write(vol, (MFT_REF)i, (MFT_RECORD*)copy.data())) return -1;
      if (wrote) *wrote = true;
    }
  }
  return 0;
}

bool CanTellClusterUse(ntfs_volume* vol, NtfsCheckLog log) {
  std::vector<u8> used;
  s64 multi = 0, outside = 0;
  bool walked = CollectNtfsClusterUse(vol, -1, &used, &multi, &outside);
  if (walked && !multi && !outside) return true;
  if (!walked)
    log("A record in use is damaged: the repair cannot tell which clusters it uses, and "
        "changes nothing.\n");
  else
    log("%lld clusters are named by two records and %lld lie outside the volume: the repair "
        "changes nothing.\n",
        (long long)multi, (long long)outside);
  errno = EIO;
  return false;
}

int FixUpcaseTable(ntfs_volume* vol) {
  ntfs_inode* ni = ntfs_inode_open(vol, FILE_UpCase);
  if (!ni) return -1;
  ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
  int result = -1;
  std::vector<uint16_t> table, mended;
  uint32_t first = 0;
  if (!na) {
    // errno from the library
  } else if (na->data_size != 2 * (s64)kNtfsUpcaseEntries) {
    // Another size is not a table this repair knows how to mend.
    errno = EINVAL;
  } else {
    table.resize(kNtfsUpcaseEntries);
    int64_t stray = -1;
    if (ntfs_attr_pread(na, 0, na->data_size, table.data()) != na->data_size)
      errno = EIO;
    else if ((stray = CountStrayUpcaseEntries(table.data(), &first, &mended)) < 0)
      errno = EINVAL;
    else if (stray == 0 || RewriteUpcaseTable(vol, na, mended) == 0)
      result = 0;
  }
  // The volume compares names with the table as it now is on the disk.
  ntfschar* copy = result ? nullptr : (ntfschar*)malloc(2 * (size_t)kNtfsUpcaseEntries);
  if (copy) {
    memcpy(copy, mended.data(), 2 * (size_t)kNtfsUpcaseEntries);
    free(vol->upcase);
    vol->upcase = copy;
    vol->upcase_len = kNtfsUpcaseEntries;
  }
  if (na) ntfs_attr_close(na);
  if (ntfs_inode_close(ni)) result = -1;
  return result;
}

int MendForFullMount(ntfs_volume* vol, NtfsCheckLog log) {
  if (!vol) return Fail(EINVAL);
  return CanTellClusterUse(vol, log) ? FixUpcaseTable(vol) : -1;
}

int RepairNtfsVolume(ntfs_volume* vol, NtfsCheckLog log) {
  if (!vol) return 0;
  // What the repair overwrites is kept whole: $Bitmap is one of the things
  // it puts right, and what it marks free may be in use.
  KeepAllOldBytes(vol);
  NVolSetNoFixupWarn(vol);
  if (FixMftMirror(vol) || !CanTellClusterUse(vol, log)) return 0;
  if (SyncBackupBootSector(vol)) return 0;
  if (ntfs_version_is_supported(vol) || ResetBadClusterList(vol) || FixUpcaseTable(vol) ||
      RebuildClusterBitmap(vol) || MendIndexBitmaps(vol) || MendNtfsNames(vol))
    return 0;
  if (!NVolLogFileEmpty(vol) && ntfs_logfile_reset(vol)) return 0;
  // Only a volume whose every step went through loses its dirty flag.
  if (ntfs_volume_write_flags(vol, vol->flags & ~VOLUME_IS_DIRTY)) return 0;
  return 1;
}
