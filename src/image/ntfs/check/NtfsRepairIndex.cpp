// The repair of the folders' $I30 bitmaps: each made to mark exactly the
// index blocks its folder's index names, walked from the root.
#include <errno.h>

#include <vector>

#include "image/ntfs/NtfsRecordWalk.h"
#include "image/ntfs/check/NtfsRepair.h"

namespace {

// The folder's bitmap written as its walk found the blocks named: 0, or -1.
// A folder whose index cannot be walked whole is left as it is (the check
// names it).
int MendFolder(ntfs_volume* vol, s64 folder) {
  ntfs_inode* ni = ntfs_inode_open(vol, (MFT_REF)folder);
  if (!ni) return 0;
  NtfsIndexBitmapNotes notes;
  int result = 0;
  if (NtfsWalkFolderIndex(ni, &notes) == 0 && (notes.namedFree || notes.unnamedUsed)) {
    ntfs_attr* na = ntfs_attr_open(ni, AT_BITMAP, NTFS_INDEX_I30, 4);
    s64 bytes = (s64)notes.named.size();
    // The library keeps the bitmap in whole 8-byte words.
    if (!na || (na->data_size < bytes && ntfs_attr_truncate(na, (bytes + 7) & ~7)))
      result = -1;
    else {
      notes.named.resize((size_t)na->data_size, 0);
      if (ntfs_attr_pwrite(na, 0, na->data_size, notes.named.data()) != na->data_size) result = -1;
    }
    if (na) ntfs_attr_close(na);
  }
  if (ntfs_inode_close(ni)) result = -1;
  return result;
}

}  // namespace

int MendIndexBitmaps(ntfs_volume* vol) {
  if (!vol) return (errno = EINVAL, -1);
  std::vector<s64> folders;
  if (!WalkNtfsRecords(vol, [&](s64 n, u8* rec, NtfsRecordState state) {
        const MFT_RECORD* m = reinterpret_cast<const MFT_RECORD*>(rec);
        if (state == kRecordInUse && !m->base_mft_record && (m->flags & MFT_RECORD_IS_DIRECTORY))
          folders.push_back(n);
        return true;
      }))
    return (errno = EIO, -1);
  for (s64 folder : folders)
    if (MendFolder(vol, folder)) return -1;
  return 0;
}
