// The NTFS repair, step by step through the mounted volume.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "image/ntfs/NtfsInternal.h"
#include "image/ntfs/NtfsRepair.h"
#include "image/ntfs/NtfsResize.h"

extern "C" {
#include <ntfs-3g/logfile.h>
#include <ntfs-3g/mft.h>
}

namespace {

const u32 kMagicFile = 0x454C4946, kMagicBaad = 0x44414142;
const s64 kUpcaseLimit = 8LL << 30;

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

// The entries from 0x20 up to 0x7E map to themselves, "a" to "z" to "A" to
// "Z". A table too short to reach 0x7F fails.
bool AsciiRangeSound(const ntfschar* table, u32 length) {
  u32 k = 0x20;
  for (; k < length && k < 0x7F; k++) {
    u16 want = (u16)(k >= 'a' && k <= 'z' ? k - 0x20 : k);
    if (le16_to_cpu(table[k]) != want) return false;
  }
  return k == 0x7F;
}

// Writes the volume's upper-case table over $UpCase's data once $Bitmap's
// size agrees with the cluster count. When the table the volume holds is
// the damaged one itself, the library's default table is written.
int RewriteUpcaseTable(ntfs_volume* vol, ntfs_attr* upcase) {
  ntfs_inode* ni = ntfs_inode_open(vol, FILE_Bitmap);
  if (!ni) return -1;
  ntfs_attr* map = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
  int result = -1;
  if (map && map->data_size * 8 >= vol->nr_clusters && map->data_size * 8 < 2 * vol->nr_clusters &&
      map->data_size <= map->allocated_size) {
    ntfschar* table = vol->upcase;
    u32 length = vol->upcase_len;
    ntfschar* fallback = nullptr;
    if (!AsciiRangeSound(table, length)) {
      length = ntfs_upcase_build_default(&fallback);
      table = fallback;
    }
    s64 bytes = (s64)length * 2;
    if (table && ntfs_attr_pwrite(upcase, 0, bytes, table) == bytes) result = 0;
    free(fallback);
  } else if (map) {
    errno = EINVAL;
  }
  if (map) ntfs_attr_close(map);
  ntfs_inode_close(ni);
  return result;
}

}  // namespace

int FixMftMirror(ntfs_volume* vol) {
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
      if (memcmp(m, m2, inUse)) good = m;
    }
    // The record write puts the record into $MFT and $MFTMirr both.
    if (good) {
      std::vector<u8> copy(good, good + size);
      if (ntfs_mft_record_write(vol, (MFT_REF)i, (MFT_RECORD*)copy.data())) return -1;
    }
  }
  return 0;
}

int FixUpcaseTable(ntfs_volume* vol) {
  ntfs_inode* ni = ntfs_inode_open(vol, FILE_UpCase);
  if (!ni) return -1;
  ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
  int result = -1;
  if (!na) {
    // errno from the library
  } else if (na->data_size >= kUpcaseLimit) {
    errno = EINVAL;
  } else {
    u32 length = (u32)(na->data_size / 2);
    ntfschar* table = (ntfschar*)malloc((size_t)na->data_size + 2);
    if (!table) {
      errno = ENOMEM;
    } else if (ntfs_attr_pread(na, 0, na->data_size, table) != na->data_size) {
      errno = EIO;
      free(table);
    } else if (AsciiRangeSound(table, length)) {
      free(vol->upcase);
      vol->upcase = table;
      vol->upcase_len = length;
      result = 0;
    } else {
      result = RewriteUpcaseTable(vol, na);
      free(table);
    }
  }
  if (na) ntfs_attr_close(na);
  if (ntfs_inode_close(ni)) result = -1;
  return result;
}

int RepairNtfsVolume(ntfs_volume* vol) {
  if (!vol) return 0;
  NVolSetNoFixupWarn(vol);
  if (SyncBackupBootSector(vol)) return 0;
  if (ntfs_version_is_supported(vol) || ResetBadClusterList(vol) || FixMftMirror(vol) ||
      FixUpcaseTable(vol))
    return 0;
  if (!NVolLogFileEmpty(vol) && ntfs_logfile_reset(vol)) return 0;
  // Only a volume whose every step went through loses its dirty flag.
  if (ntfs_volume_write_flags(vol, vol->flags & ~VOLUME_IS_DIRTY)) return 0;
  return 1;
}
