#include "image/copy/TreeCopyNtfs.h"

#include <errno.h>

#include "image/ntfs/NtfsInternal.h"
#include "image/ntfs/NtfsMetafiles.h"

struct TreeCopyNtfsFile {
  ntfs_inode* ni;
  ntfs_attr* na;
  bool written;
};

namespace {

int ErrnoOr(int fallback) {
  return errno ? errno : fallback;
}

TreeCopyNtfsFile* OpenFrom(ntfs_volume* vol, u64 folder, const wchar_t* path, bool write,
                           int* err) {
  int dummy;
  if (!err) err = &dummy;
  *err = 0;
  if (!vol || !path) {
    *err = EINVAL;
    return nullptr;
  }
  if (write && NVolReadOnly(vol)) {
    *err = EROFS;
    return nullptr;
  }
  errno = 0;
  ntfs_inode* ni = NtfsPathToInodeFrom(vol, folder, path);
  if (!ni) {
    *err = ErrnoOr(ENOENT);
    return nullptr;
  }
  if (int e = write ? NtfsMetafileRecordGate(vol, ni->mft_no) : 0) {
    *err = -e;
    ntfs_inode_close(ni);
    return nullptr;
  }
  errno = 0;
  ntfs_attr* na = NtfsOpenFileData(ni);
  if (!na) {
    *err = ErrnoOr(EIO);
    ntfs_inode_close(ni);
    return nullptr;
  }
  // Data that claims more stored clusters than the volume has is damage:
  // refused before anything is read (holes are not stored and count not).
  if (!write && NAttrNonResident(na)) {
    int bad = 0;
    errno = 0;
    if (ntfs_attr_map_whole_runlist(na)) bad = ErrnoOr(EIO);
    s64 stored = 0;
    for (runlist_element* rl = na->rl; !bad && rl && rl->length; rl++) {
      if (rl->lcn >= 0) stored += rl->length;
      if (rl->length < 0 || stored > vol->nr_clusters) bad = EIO;
    }
    if (bad) {
      *err = bad;
      ntfs_attr_close(na);
      ntfs_inode_close(ni);
      return nullptr;
    }
  }
  TreeCopyNtfsFile* f = new TreeCopyNtfsFile;
  f->ni = ni;
  f->na = na;
  f->written = false;
  return f;
}

}  // namespace

TreeCopyNtfsFile* TreeCopyNtfsOpen(ntfs_volume* vol, const wchar_t* path, bool write, int* err) {
  return OpenFrom(vol, FILE_root, path, write, err);
}

TreeCopyNtfsFile* TreeCopyNtfsOpenIn(ntfs_volume* vol, long long folder, const wchar_t* name,
                                     bool write, int* err) {
  if (folder < 0) {
    if (err) *err = EINVAL;
    return nullptr;
  }
  return OpenFrom(vol, (u64)folder, name, write, err);
}

long long TreeCopyNtfsNextStored(TreeCopyNtfsFile* file, long long offset, long long* end) {
  if (!file || !end || offset < 0) return -EINVAL;
  ntfs_attr* na = file->na;
  s64 size = na->data_size;
  *end = size;
  if (offset >= size) return size;
  // Resident and compressed data (whose holes are part of compression
  // units) read as stored throughout.
  if (!NAttrNonResident(na) || NAttrCompressed(na) || NAttrEncrypted(na)) return offset;
  errno = 0;
  if (ntfs_attr_map_whole_runlist(na)) return -ErrnoOr(EIO);
  s64 cs = na->ni->vol->cluster_size;
  s64 covered = 0;
  for (runlist_element* rl = na->rl; rl && rl->length > 0; rl++) {
    s64 from = rl->vcn * cs, to = (rl->vcn + rl->length) * cs;
    covered = to;
    if (to <= offset || rl->lcn == LCN_HOLE) continue;
    if (from >= size) break;
    *end = to < size ? to : size;
    return from > offset ? from : offset;
  }
  // Data the run list does not reach is read (and so fails), never
  // taken for a hole.
  if (covered < size) return covered > offset ? covered : offset;
  return size;
}

long long TreeCopyNtfsFolderId(ntfs_volume* vol, const wchar_t* path) {
  if (!vol || !path) return -EINVAL;
  errno = 0;
  ntfs_inode* ni = NtfsPathToInode(vol, NULL, path);
  if (!ni) return -ErrnoOr(ENOENT);
  long long id = (long long)ni->mft_no;
  ntfs_inode_close(ni);
  return id;
}

long long TreeCopyNtfsSize(TreeCopyNtfsFile* file) {
  return file ? file->na->data_size : -EINVAL;
}

unsigned long long TreeCopyNtfsLastWrite(TreeCopyNtfsFile* file) {
  return file ? (unsigned long long)sle64_to_cpu(file->ni->last_data_change_time) : 0;
}

unsigned long TreeCopyNtfsAttributes(TreeCopyNtfsFile* file) {
  return file ? le32_to_cpu(file->ni->flags) & 0x7FB7u : 0;
}

long long TreeCopyNtfsRead(TreeCopyNtfsFile* file, long long offset, void* buffer,
                           long long count) {
  if (!file || !buffer || offset < 0 || count < 0) return -EINVAL;
  if (offset >= file->na->data_size) return 0;
  if (count > file->na->data_size - offset) count = file->na->data_size - offset;
  long long done = 0;
  while (done < count) {
    errno = 0;
    s64 r =
        ntfs_attr_pread(file->na, offset + done, count - done, static_cast<char*>(buffer) + done);
    if (r < 1) return -ErrnoOr(EIO);
    done += r;
  }
  return done;
}

long long TreeCopyNtfsWrite(TreeCopyNtfsFile* file, long long offset, const void* buffer,
                            long long count) {
  if (!file || !buffer || offset < 0 || count < 0) return -EINVAL;
  if (NtfsGrowSolid(file->na, offset + count)) return -ErrnoOr(EIO);
  long long done = 0;
  while (done < count) {
    errno = 0;
    s64 r = ntfs_attr_pwrite(file->na, offset + done, count - done,
                             static_cast<const char*>(buffer) + done);
    if (r < 1) return -ErrnoOr(EIO);
    done += r;
    file->written = true;
  }
  return done;
}

int TreeCopyNtfsSetSize(TreeCopyNtfsFile* file, long long size) {
  if (!file || size < 0) return -EINVAL;
  if (size == file->na->data_size) return 0;
  errno = 0;
  // A file that grows gets its clusters now: one cut off while it is
  // copied reads its data as far as written, then zeros.
  if (size > file->na->data_size ? NtfsGrowSolid(file->na, size)
                                 : ntfs_attr_truncate(file->na, size))
    return -ErrnoOr(EIO);
  file->written = true;
  return 0;
}

int TreeCopyNtfsClose(TreeCopyNtfsFile* file, unsigned long long lastWrite) {
  if (!file) return -EINVAL;
  int result = 0;
  errno = 0;
  // Compressed data is only complete once its last block is flushed.
  if (file->written && NAttrCompressed(file->na) && ntfs_attr_pclose(file->na))
    result = -ErrnoOr(EIO);
  if (lastWrite) {
    // Written into $STANDARD_INFORMATION at close, as the file API does.
    file->ni->last_data_change_time = cpu_to_sle64((s64)lastWrite);
    ntfs_inode_mark_dirty(file->ni);
    NInoFileNameSetDirty(file->ni);
  } else if (file->written) {
    ntfs_inode_update_times(file->ni, (ntfs_time_update_flags)NTFS_UPDATE_MCTIME);
  }
  ntfs_attr_close(file->na);
  errno = 0;
  if (ntfs_inode_close(file->ni) && !result) result = -ErrnoOr(EIO);
  delete file;
  return result;
}

namespace {

// The clusters a file's deletion frees: those its unnamed data holds (holes
// hold none), when no other name of it keeps them.
s64 ClustersGivenBack(ntfs_inode* ni) {
  if (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) return 0;
  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, NULL);
  if (!ctx) return 0;
  int names = 0;
  while (!ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, NULL, 0, ctx)) {
    const FILE_NAME_ATTR* fn = reinterpret_cast<const FILE_NAME_ATTR*>(
        reinterpret_cast<const char*>(ctx->attr) + le16_to_cpu(ctx->attr->value_offset));
    if (fn->file_name_type != FILE_NAME_DOS) names++;
  }
  ntfs_attr_put_search_ctx(ctx);
  if (names != 1) return 0;
  ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
  if (!na) return 0;
  s64 clusters = 0;
  if (NAttrNonResident(na) && !ntfs_attr_map_whole_runlist(na)) {
    for (runlist_element* rl = na->rl; rl && rl->length > 0; rl++)
      if (rl->lcn >= 0) clusters += rl->length;
  }
  ntfs_attr_close(na);
  return clusters;
}

}  // namespace

int TreeCopyNtfsRoomFor(ntfs_volume* vol, const wchar_t* path, unsigned long long size, bool count,
                        unsigned long long* missing) {
  if (!vol || !path) return -1;
  long long free = TreeCopyNtfsFreeBytes(vol, count);
  if (free < 0) return -1;
  // Free bytes are whole clusters: a size up to them fits in them.
  if (size <= (unsigned long long)free) return 1;
  // Data a record may hold takes no cluster (the write tells when it
  // does not fit there).
  if (size < vol->mft_record_size) return 1;
  s64 back = 0;
  errno = 0;
  if (ntfs_inode* ni = NtfsPathToInode(vol, NULL, path)) {
    back = ClustersGivenBack(ni);
    ntfs_inode_close(ni);
  } else if (errno != ENOENT) {
    return -1;
  }
  const unsigned long long room =
      (unsigned long long)free + (unsigned long long)back * vol->cluster_size;
  if (size <= room) return 1;
  if (missing) *missing = size - room;
  return 0;
}

long long TreeCopyNtfsFreeBytes(ntfs_volume* vol, bool count) {
  if (!vol) return -EINVAL;
  errno = 0;
  if (count && ntfs_volume_get_free_space(vol)) return -ErrnoOr(EIO);
  s64 free = vol->free_clusters > 0 ? vol->free_clusters : 0;
  return (long long)free * vol->cluster_size;
}
