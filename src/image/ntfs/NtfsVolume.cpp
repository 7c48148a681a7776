// Mounting and path-level data access over libntfs-3g.
#include <new>
#include <string>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "image/ntfs/NtfsDevice.h"
#include "image/ntfs/NtfsInternal.h"
#include "image/ntfs/NtfsMetafiles.h"

namespace {

int SetErr(int e) {
  errno = e;
  return -1;
}

bool IsOurDevice(ntfs_volume* vol) {
  return vol && vol->dev && vol->dev->d_ops == &ntfs_disk_dev_ops && vol->dev->d_private;
}

// Parent directory of ni from its first non-DOS file name; -1 when none.
s64 ParentOf(ntfs_inode* ni) {
  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, NULL);
  if (!ctx) return -1;
  s64 parent = -1;
  while (!ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, NULL, 0, ctx)) {
    const FILE_NAME_ATTR* fn = reinterpret_cast<const FILE_NAME_ATTR*>(
        reinterpret_cast<const char*>(ctx->attr) + le16_to_cpu(ctx->attr->value_offset));
    parent = (s64)MREF_LE(fn->parent_directory);
    if (fn->file_name_type != FILE_NAME_DOS) break;
  }
  ntfs_attr_put_search_ctx(ctx);
  return parent;
}

// True when dirMft is ancestor (or self) of start: walks up the parents.
bool IsInSubtree(ntfs_volume* vol, u64 start, u64 dirMft) {
  u64 cur = start;
  for (int depth = 0; depth < 4096; depth++) {
    if (cur == dirMft) return true;
    if (cur == FILE_root) return false;
    ntfs_inode* ni = ntfs_inode_open(vol, cur);
    if (!ni) return false;
    s64 up = ParentOf(ni);
    ntfs_inode_close(ni);
    if (up < 0 || (u64)up == cur) return false;
    cur = (u64)up;
  }
  return true;  // a loop in the parents: refuse rather than follow
}

// The inode's reparse tag, 0 when it has no reparse point or its header
// cannot be read; errno is left as it was. A point whose data is damaged
// keeps its tag: what reads the data refuses it.
u32 ReparseTagOf(ntfs_inode* ni) {
  if (!ni || !(ni->flags & FILE_ATTR_REPARSE_POINT)) return 0;
  int e = errno;
  s64 size = 0;
  void* value = ntfs_attr_readall(ni, AT_REPARSE_POINT, AT_UNNAMED, 0, &size);
  errno = e;
  if (!value) return 0;
  u32 tag = size >= (s64)sizeof(REPARSE_POINT)
                ? le32_to_cpu(static_cast<REPARSE_POINT*>(value)->reparse_tag)
                : 0;
  free(value);
  return tag;
}

bool SameName(const wchar_t* a, int alen, const ntfschar* b, int blen) {
  return alen == blen && memcmp(a, b, alen * sizeof(ntfschar)) == 0;
}

// Tells the device where $Bitmap's and $MFT's bytes lie, so that it can
// answer which clusters were free when a command began and which of them
// the records use (NtfsWriteGate.h); runs that cannot be walked leave it
// without answers.
void LocateBitmap(ntfs_volume* vol) {
  NtfsDiskDev* d = static_cast<NtfsDiskDev*>(vol->dev->d_private);
  ntfs_attr* na = vol->lcnbmp_na;
  if (NVolReadOnly(vol) || !na || ntfs_attr_map_whole_runlist(na)) {
    d->freeAtStart.Stop();
    return;
  }
  NtfsFreeAtStart::Ranges runs;
  unsigned long long cluster = vol->cluster_size, left = (unsigned long long)na->data_size;
  for (runlist_element* rl = na->rl; rl && rl->length && left; rl++) {
    if (rl->lcn < 0) {
      d->freeAtStart.Stop();
      return;
    }
    unsigned long long bytes = (unsigned long long)rl->length * cluster;
    if (bytes > left) bytes = left;
    unsigned long long at = (unsigned long long)rl->lcn * cluster;
    runs.emplace_back(at, at + bytes);
    left -= bytes;
  }
  if (left) {
    d->freeAtStart.Stop();
    return;
  }
  d->freeAtStart.Locate(runs, cluster, (unsigned long long)vol->nr_clusters);
  // Without the records' clusters known, no cluster is left out.
  if (!d->gate.Locate(vol)) d->freeAtStart.Stop();
}

}  // namespace

void KeepAllOldBytes(ntfs_volume* vol) {
  if (!IsOurDevice(vol)) return;
  NtfsDiskDev* d = static_cast<NtfsDiskDev*>(vol->dev->d_private);
  d->freeAtStart.Stop();
  d->gate.Stop();
}

ntfs_volume* ntfs_disk_device_mount(struct ntfs_device* dev, int partition, unsigned long flags) {
  if (!dev) return (SetErr(EINVAL), nullptr);
  NtfsDiskDev* d = static_cast<NtfsDiskDev*>(dev->d_private);
  if (!d) {
    d = new (std::nothrow) NtfsDiskDev();
    if (!d) return (SetErr(ENOMEM), nullptr);
    dev->d_private = d;
  }
  d->partition = partition;
  return ntfs_device_mount(dev, flags);
}

namespace {

// A device over the name's disk, mounted by `mount`; the device goes again
// when the mount fails.
template <class Mount>
ntfs_volume* MountNewDevice(const char* name, void* priv, Mount mount, bool mirrorFromMft = false) {
  NtfsDiskDev* d = new (std::nothrow) NtfsDiskDev();
  if (!d) return (SetErr(ENOMEM), nullptr);
  d->mirrorFromMft = mirrorFromMft;
  if (strcmp(name, NTFS_DISK_DEVICE_NAME) == 0) d->block = static_cast<DiskIoBlock*>(priv);
  struct ntfs_device* dev = ntfs_device_alloc(name, 0, &ntfs_disk_dev_ops, d);
  if (!dev) {
    delete d;
    return nullptr;
  }
  ntfs_volume* vol = mount(dev);
  if (!vol) {
    int e = errno;
    // A device whose open failed (or never ran) still holds its state.
    delete static_cast<NtfsDiskDev*>(dev->d_private);
    dev->d_private = NULL;
    ntfs_device_free(dev);
    errno = e;
  }
  return vol;
}

}  // namespace

ntfs_volume* ntfs_disk_mount(const char* name, int partition, unsigned long flags, void* priv,
                             bool mirrorFromMft) {
  return MountNewDevice(
      name, priv,
      [&](struct ntfs_device* dev) { return ntfs_disk_device_mount(dev, partition, flags); },
      mirrorFromMft);
}

ntfs_volume* MountNtfsPartially(DiskIoBlock* block, int partition, unsigned long flags) {
  if (!block) return (SetErr(EINVAL), nullptr);
  auto startup = [&](bool bootFromBackup) {
    return MountNewDevice(NTFS_DISK_DEVICE_NAME, block, [&](struct ntfs_device* dev) {
      NtfsDiskDev* d = static_cast<NtfsDiskDev*>(dev->d_private);
      d->partition = partition;
      d->bootFromBackup = bootFromBackup;
      d->zerosPastEnd = true;
      return ntfs_volume_startup(dev, (ntfs_mount_flags)(flags & NTFS_MOUNT_READONLY));
    });
  };
  // A volume whose boot sector is lost or damaged is read through the
  // backup the examination of the two trusts.
  ntfs_volume* vol = startup(false);
  if (!vol) {
    int e = errno;
    vol = startup(true);
    if (!vol) return (SetErr(e), nullptr);
  }
  static_cast<NtfsDiskDev*>(vol->dev->d_private)->partial = true;
  // The cluster map, which the check compares and the library's record
  // writes keep.
  vol->lcnbmp_ni = ntfs_inode_open(vol, FILE_Bitmap);
  if (vol->lcnbmp_ni) vol->lcnbmp_na = ntfs_attr_open(vol->lcnbmp_ni, AT_DATA, AT_UNNAMED, 0);
  if (!vol->lcnbmp_na) {
    int e = errno;
    ntfs_umount(vol, FALSE);
    return (SetErr(e ? e : EIO), nullptr);
  }
  return vol;
}

bool DropNtfsMirrorStandIn(ntfs_volume* vol) {
  if (!IsOurDevice(vol)) return false;
  NtfsDiskDev* d = static_cast<NtfsDiskDev*>(vol->dev->d_private);
  bool had = !d->mirror.empty();
  std::vector<unsigned char>().swap(d->mirror);
  if (d->cache) d->cache->Forget(d->mirrorAt, vol->mftmirr_size * vol->mft_record_size);
  return had;
}

bool IsNtfsBootFromBackup(ntfs_volume* vol) {
  return IsOurDevice(vol) && !static_cast<NtfsDiskDev*>(vol->dev->d_private)->boot.empty();
}

bool NtfsFolderKnownSound(ntfs_volume* vol, u64 folder) {
  return IsOurDevice(vol) &&
         static_cast<NtfsDiskDev*>(vol->dev->d_private)->soundFolders.count(folder);
}

void NtfsNoteFolderSound(ntfs_volume* vol, u64 folder) {
  if (IsOurDevice(vol)) static_cast<NtfsDiskDev*>(vol->dev->d_private)->soundFolders.insert(folder);
}

bool IsNtfsVolumePartial(ntfs_volume* vol) {
  return IsOurDevice(vol) && static_cast<NtfsDiskDev*>(vol->dev->d_private)->partial;
}

bool IsNtfsHibernated(ntfs_volume* vol) {
  // A volume mounted only partly has no names to look up.
  if (!vol || IsNtfsVolumePartial(vol)) return false;
  int e = errno;
  char signature[4] = {};
  bool hibernated = ReadNtfsFileData(vol, L"\\hiberfil.sys", signature, 4, 0) == 4 &&
                    _strnicmp(signature, "hibr", 4) == 0;
  errno = e;
  return hibernated;
}

bool IsNtfsJournalUnclean(ntfs_volume* vol, bool recovering) {
  if (!vol || IsNtfsVolumePartial(vol)) return false;
  int e = errno;
  ntfs_inode* ni = ntfs_inode_open(vol, FILE_LogFile);
  ntfs_attr* na = ni ? ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0) : nullptr;
  bool unclean = false;
  if (na) {
    RESTART_PAGE_HEADER* rp = nullptr;
    // An empty journal (all of it 0xFF, as a format or a reset leaves it)
    // has no restart page and is clean; one without a restart page the
    // library reads is damaged, which is the check's to find, not a
    // shutdown's.
    const bool read = ntfs_check_logfile(na, &rp);
    const bool clean = !rp || ntfs_is_logfile_clean(na, rp);
    const bool cached = rp && sle16_to_cpu(rp->major_ver) == 2 && sle16_to_cpu(rp->minor_ver) == 0;
    unclean = read && (cached || (!recovering && !clean));
    free(rp);
    ntfs_attr_close(na);
  }
  if (ni) ntfs_inode_close(ni);
  errno = e;
  return unclean;
}

ntfs_volume* MountNtfsOnDisk(DiskIoBlock* block, int partition, unsigned long flags) {
  if (!block) return (SetErr(EINVAL), nullptr);
  ntfs_volume* vol = ntfs_disk_mount(NTFS_DISK_DEVICE_NAME, partition, flags, block);
  // A writer that died between its write of the first $MFT records and
  // that of their copy in $MFTMirr leaves two that differ, which the
  // library refuses; $MFT, written first, is taken for both (as a repair
  // would), and the copy is put right by the next write of those records.
  // Such a mount never resets the journal: a $MFT record that is the
  // damaged copy could lead the reset into another file's clusters.
  if (!vol && errno == EIO)
    vol = ntfs_disk_mount(NTFS_DISK_DEVICE_NAME, partition, flags & ~NTFS_MOUNT_ACCEPT_DIRTY, block,
                          true);
  if (!vol) return nullptr;
  if ((vol->flags & VOLUME_IS_DIRTY) && !(flags & NTFS_MOUNT_ACCEPT_DIRTY)) {
    ntfs_umount(vol, FALSE);
    return (SetErr(EPERM), nullptr);
  }
  // Names are looked up the Windows way: through the volume's upcase table.
  ntfs_set_ignore_case(vol);
  LocateBitmap(vol);
  return vol;
}

ntfs_volume* MountNtfsVolume(DiskIoBlock* block, int partition, unsigned long flags) {
  return MountNtfsOnDisk(block, partition, flags);
}

int UnmountNtfsVolume(ntfs_volume* vol) {
  if (!vol) return SetErr(EINVAL);
  return ntfs_umount(vol, FALSE);
}

int GetMountedPartitionIndex(ntfs_volume* vol) {
  if (!IsOurDevice(vol)) return SetErr(EINVAL);
  return static_cast<NtfsDiskDev*>(vol->dev->d_private)->partition;
}

bool IsNtfsVolumeOnGpt(ntfs_volume* vol) {
  return IsOurDevice(vol) && static_cast<NtfsDiskDev*>(vol->dev->d_private)->gpt;
}

ntfs_inode* NtfsPathToInode(ntfs_volume* vol, ntfs_inode* parent, const wchar_t* path) {
  return NtfsPathToInodeFrom(vol, parent ? parent->mft_no : (u64)FILE_root, path);
}

ntfs_inode* NtfsPathToInodeFrom(ntfs_volume* vol, u64 folder, const wchar_t* path) {
  if (!vol || !path) return (SetErr(EINVAL), nullptr);
  ntfs_inode* dir = ntfs_inode_open(vol, folder);
  if (!dir) return nullptr;
  const wchar_t* p = path;
  for (;;) {
    while (*p == L'\\') p++;
    if (!*p) return dir;
    const wchar_t* end = p;
    while (*end && *end != L'\\') end++;
    int len = (int)(end - p);
    if (len > 255) {
      ntfs_inode_close(dir);
      return (SetErr(ENAMETOOLONG), nullptr);
    }
    u64 mref = ntfs_inode_lookup_by_name(dir, reinterpret_cast<const ntfschar*>(p), len);
    int e = errno;
    // Its names are found as a listing shows them.
    if (mref == (u64)-1 && e == EIO) {
      mref = NtfsLookupPastMissingBlocks(dir, reinterpret_cast<const ntfschar*>(p), len);
      e = errno;
    }
    ntfs_inode_close(dir);
    if (mref == (u64)-1) return (SetErr(e ? e : ENOENT), nullptr);
    dir = ntfs_inode_open(vol, MREF(mref));
    if (!dir) return nullptr;
    p = end;
  }
}

ntfs_inode* NtfsOpenParent(ntfs_volume* vol, const wchar_t* path, const wchar_t** name,
                           int* nameLen) {
  size_t n = wcslen(path);
  while (n && path[n - 1] == L'\\') n--;  // "\a\b\" names b
  size_t slash = n;
  while (slash && path[slash - 1] != L'\\') slash--;
  *name = path + slash;
  *nameLen = (int)(n - slash);
  if (*nameLen == 0) return (SetErr(EINVAL), nullptr);
  if (*nameLen > 255) return (SetErr(ENAMETOOLONG), nullptr);
  std::wstring parent(path, slash);
  return NtfsPathToInode(vol, NULL, parent.c_str());
}

s64 NtfsPathToMft(ntfs_volume* vol, const wchar_t* path) {
  ntfs_inode* ni = NtfsPathToInode(vol, NULL, path);
  if (!ni) return -1;
  s64 mft = (s64)ni->mft_no;
  ntfs_inode_close(ni);
  return mft;
}

s64 NtfsParentMft(ntfs_volume* vol, const wchar_t* path, const wchar_t** name, int* nameLen) {
  ntfs_inode* dir = NtfsOpenParent(vol, path, name, nameLen);
  if (!dir) return -1;
  s64 mft = (s64)dir->mft_no;
  ntfs_inode_close(dir);
  return mft;
}

int NtfsStoredName(ntfs_inode* ni, u64 dirMft, ntfschar* out, int outLen) {
  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, NULL);
  if (!ctx) return -1;
  int len = -1;
  while (!ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, NULL, 0, ctx)) {
    const FILE_NAME_ATTR* fn = reinterpret_cast<const FILE_NAME_ATTR*>(
        reinterpret_cast<const char*>(ctx->attr) + le16_to_cpu(ctx->attr->value_offset));
    if (fn->file_name_type == FILE_NAME_DOS || MREF_LE(fn->parent_directory) != dirMft) continue;
    if (fn->file_name_length > outLen) break;
    memcpy(out, fn->file_name, fn->file_name_length * sizeof(ntfschar));
    len = fn->file_name_length;
    break;
  }
  ntfs_attr_put_search_ctx(ctx);
  if (len < 0) errno = ENOENT;
  return len;
}

REPARSE_POINT* NtfsReadReparsePoint(ntfs_inode* ni, size_t* bytes) {
  if (!ni || !(ni->flags & FILE_ATTR_REPARSE_POINT)) return (SetErr(EINVAL), nullptr);
  s64 size = 0;
  void* value = ntfs_attr_readall(ni, AT_REPARSE_POINT, AT_UNNAMED, 0, &size);
  if (!value) return (SetErr(errno ? errno : EIO), nullptr);
  REPARSE_POINT* rp = static_cast<REPARSE_POINT*>(value);
  if (size < (s64)sizeof(REPARSE_POINT) ||
      sizeof(REPARSE_POINT) + le16_to_cpu(rp->reparse_data_length) > (u64)size) {
    free(value);
    return (SetErr(NTFS_EDAMAGED), nullptr);
  }
  *bytes = (size_t)size;
  return rp;
}

u32 NtfsLinkReparseTag(ntfs_inode* ni) {
  u32 tag = ReparseTagOf(ni);
  return (tag == 0xA0000003u || tag == 0xA000000Cu) ? tag : 0;
}

bool NtfsDataHeldElsewhere(ntfs_inode* ni) {
  const u32 kTagWof = 0x80000017u;    // IO_REPARSE_TAG_WOF
  const u32 kTagDedup = 0x80000013u;  // IO_REPARSE_TAG_DEDUP
  u32 tag = ReparseTagOf(ni);
  return tag == kTagWof || tag == kTagDedup;
}

ntfs_attr* NtfsOpenFileData(ntfs_inode* ni) {
  if (!ni) return (SetErr(EINVAL), nullptr);
  // Neither decompression nor the chunk store is read here: refuse rather
  // than hand out the empty stream, and never write where Windows would
  // not look.
  if (NtfsDataHeldElsewhere(ni)) return (SetErr(EOPNOTSUPP), nullptr);
  return ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
}

int RenameNtfsPath(ntfs_volume* vol, const wchar_t* oldPath, const wchar_t* newPath) {
  if (!vol) return -EINVAL;
  if (NVolReadOnly(vol)) return -EROFS;
  if (!vol || !oldPath || !newPath) return -EINVAL;
  // Everything is resolved to record numbers first and each step below
  // opens what it needs afresh: libntfs-3g must never see two in-memory
  // inodes of one record at a time.
  s64 mft = NtfsPathToMft(vol, oldPath);
  if (mft < 0) return -errno;
  if (int e = NtfsMetafileRecordGate(vol, (u64)mft)) return e;
  const wchar_t* oldName;
  int oldLen;
  const wchar_t* newName;
  int newLen;
  s64 oldDirMft = NtfsParentMft(vol, oldPath, &oldName, &oldLen);
  if (oldDirMft < 0) return -errno;
  s64 newDirMft = NtfsParentMft(vol, newPath, &newName, &newLen);
  if (newDirMft < 0) return -errno;
  if (int e = NtfsMetafileFolderGate(vol, (u64)newDirMft)) return e;
  const ntfschar* uNew = reinterpret_cast<const ntfschar*>(newName);
  if (ntfs_forbidden_names(vol, uNew, newLen, TRUE)) return -EINVAL;

  ntfs_inode* ni = ntfs_inode_open(vol, (u64)mft);
  if (!ni) return -errno;
  bool isDir = (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0;
  ntfschar stored[256];
  int storedLen = NtfsStoredName(ni, (u64)oldDirMft, stored, 256);
  ntfs_inode_close(ni);
  if (storedLen < 0) return -ENOENT;
  // A folder cannot become a child of itself or of its own subtree.
  if (isDir && IsInSubtree(vol, (u64)newDirMft, (u64)mft)) return -EINVAL;

  ntfs_inode* newDir = ntfs_inode_open(vol, (u64)newDirMft);
  if (!newDir) return -errno;
  if (!(newDir->mrec->flags & MFT_RECORD_IS_DIRECTORY)) {
    ntfs_inode_close(newDir);
    return -ENOTDIR;
  }
  u64 existing = ntfs_inode_lookup_by_name(newDir, uNew, newLen);
  if (existing != (u64)-1 && MREF(existing) != (u64)mft) {
    ntfs_inode_close(newDir);
    return -EEXIST;
  }
  // Both folders are checked before either changes.
  ntfs_inode* oldDir = oldDirMft == newDirMft ? nullptr : ntfs_inode_open(vol, (u64)oldDirMft);
  if (NtfsFolderTakesNames(newDir) ||
      (oldDirMft != newDirMft && (!oldDir || NtfsFolderTakesNames(oldDir)))) {
    int e = errno;
    if (oldDir) ntfs_inode_close(oldDir);
    ntfs_inode_close(newDir);
    return -e;
  }
  if (oldDir) ntfs_inode_close(oldDir);
  if (oldDirMft == newDirMft && SameName(newName, newLen, stored, storedLen)) {
    ntfs_inode_close(newDir);
    return 0;
  }
  ni = ntfs_inode_open(vol, (u64)mft);
  if (!ni) {
    int e = errno;
    ntfs_inode_close(newDir);
    return -e;
  }
  int err = 0;
  if (ntfs_link(ni, newDir, uNew, (u8)newLen)) err = errno ? errno : EIO;
  ntfs_inode_close_in_dir(ni, newDir);
  ntfs_inode_close(newDir);
  if (err) return -err;

  // ntfs_delete closes both inodes whatever happens.
  ni = ntfs_inode_open(vol, (u64)mft);
  oldDir = ni ? ntfs_inode_open(vol, (u64)oldDirMft) : nullptr;
  if (ni && oldDir && ntfs_delete(vol, "", ni, oldDir, stored, (u8)storedLen) == 0) return 0;
  err = errno ? errno : EIO;
  if (ni && !oldDir) ntfs_inode_close(ni);
  // Undo the new link so only the old name remains.
  ni = ntfs_inode_open(vol, (u64)mft);
  newDir = ni ? ntfs_inode_open(vol, (u64)newDirMft) : nullptr;
  if (ni && newDir)
    ntfs_delete(vol, "", ni, newDir, uNew, (u8)newLen);
  else if (ni)
    ntfs_inode_close(ni);
  return -err;
}

// The unnamed stream of a path's file, opened with its inode: 0, or minus
// errno with nothing left open. A metafile is never opened to be written.
static int OpenPathData(ntfs_volume* vol, const wchar_t* path, ntfs_inode** ni, ntfs_attr** na,
                        bool write = false) {
  *ni = NtfsPathToInode(vol, NULL, path);
  if (!*ni) return -errno;
  if (int e = write ? NtfsMetafileRecordGate(vol, (*ni)->mft_no) : 0) {
    ntfs_inode_close(*ni);
    return e;
  }
  *na = NtfsOpenFileData(*ni);
  if (!*na) {
    int e = errno;
    ntfs_inode_close(*ni);
    return -e;
  }
  return 0;
}

long long GetNtfsFileDataSize(ntfs_volume* vol, const wchar_t* path) {
  ntfs_inode* ni = NtfsPathToInode(vol, NULL, path);
  if (!ni) return -1;
  ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
  s64 size = na ? na->data_size : -1;
  int e = errno;
  if (na) ntfs_attr_close(na);
  ntfs_inode_close(ni);
  errno = e;
  return size;
}

long long ReadNtfsFileData(ntfs_volume* vol, const wchar_t* path, void* buffer, long long count,
                           long long offset) {
  if (!buffer || count < 0 || offset < 0) return -EINVAL;
  ntfs_inode* ni;
  ntfs_attr* na;
  if (int e = OpenPathData(vol, path, &ni, &na)) return e;
  s64 done = 0;
  if (offset < na->data_size) {
    if (count > na->data_size - offset) count = na->data_size - offset;
    while (done < count) {
      s64 r = ntfs_attr_pread(na, offset + done, count - done, static_cast<char*>(buffer) + done);
      if (r < 1) {
        done = r < 0 ? -(errno ? errno : EIO) : -EIO;
        break;
      }
      done += r;
    }
  }
  ntfs_attr_close(na);
  ntfs_inode_close(ni);
  return done;
}

long long WriteNtfsFileData(ntfs_volume* vol, const wchar_t* path, const void* buffer,
                            long long count, long long offset) {
  if (!vol) return -EINVAL;
  if (NVolReadOnly(vol)) return -EROFS;
  if (!buffer || count < 0 || offset < 0) return -EINVAL;
  ntfs_inode* ni;
  ntfs_attr* na;
  if (int e = OpenPathData(vol, path, &ni, &na, true)) return e;
  s64 done = 0;
  if (NtfsGrowSolid(na, offset + count)) done = -(errno ? errno : EIO);
  while (done >= 0 && done < count) {
    s64 r =
        ntfs_attr_pwrite(na, offset + done, count - done, static_cast<const char*>(buffer) + done);
    if (r < 1) {
      done = r < 0 ? -(errno ? errno : EIO) : -EIO;
      break;
    }
    done += r;
  }
  if (done > 0) ntfs_inode_update_times(ni, (ntfs_time_update_flags)NTFS_UPDATE_MCTIME);
  ntfs_attr_close(na);
  if (ntfs_inode_close(ni) && done >= 0) done = -(errno ? errno : EIO);
  return done;
}

int NtfsGrowSolid(ntfs_attr* na, s64 size) {
  errno = 0;
  if (size <= na->data_size) return 0;
  // Compressed data keeps its holes: its flags allow them.
  if (NAttrCompressed(na)) return ntfs_attr_truncate(na, size);
  // The library takes the clusters of one grow in one search of the
  // bitmap, which gives up (ENOSPC) on a volume whose free space lies in
  // many small runs although it holds them all: a large file grows in
  // steps, and a step the library refuses is halved until it gets its
  // clusters. A refused step allocates nothing.
  // The search skips the zones (data, $MFT's) it holds full, and holds
  // full every zone a refused search passed, though it gives back what it
  // took there; only a run freed later lets its first cluster's zone be
  // searched again. So after a refusal the next step searches every zone,
  // and only a single cluster refused by such a search means the volume
  // is full.
  s64 step = 32LL << 20;
  ntfs_volume* vol = na->ni->vol;
  s64 cluster = vol->cluster_size;
  while (na->data_size < size) {
    s64 next = size - na->data_size > step ? na->data_size + step : size;
    const u8 skipped = vol->full_zones;
    errno = 0;
    if (!ntfs_attr_truncate_solid(na, next)) continue;
    if (errno != ENOSPC || (step <= cluster && !skipped)) return -1;
    vol->full_zones = 0;
    step = step / 2 > cluster ? step / 2 / cluster * cluster : cluster;
  }
  return 0;
}

namespace {

// Grows (solid) or cuts a file's unnamed stream to size bytes.
int ResizeNtfsFileData(ntfs_volume* vol, const wchar_t* path, long long size, bool grow) {
  if (!vol) return -EINVAL;
  if (NVolReadOnly(vol)) return -EROFS;
  if (size < 0) return -EINVAL;
  ntfs_inode* ni;
  ntfs_attr* na;
  if (int e = OpenPathData(vol, path, &ni, &na, true)) return e;
  errno = 0;
  bool failed = grow ? NtfsGrowSolid(na, size) != 0
                     : size < na->data_size && ntfs_attr_truncate(na, size) != 0;
  int r = failed ? -(errno ? errno : EIO) : 0;
  ntfs_attr_close(na);
  if (ntfs_inode_close(ni) && r == 0) r = -(errno ? errno : EIO);
  return r;
}

}  // namespace

int GrowNtfsFileData(ntfs_volume* vol, const wchar_t* path, long long size) {
  return ResizeNtfsFileData(vol, path, size, true);
}

int ShrinkNtfsFileData(ntfs_volume* vol, const wchar_t* path, long long size) {
  return ResizeNtfsFileData(vol, path, size, false);
}

ATTR_RECORD* FindNextNtfsAttribute(u32 type, ntfs_attr_search_ctx* ctx) {
  if (!ctx) return (SetErr(EINVAL), nullptr);
  if (ntfs_attr_lookup((ATTR_TYPES)cpu_to_le32(type), NULL, 0, CASE_SENSITIVE, 0, NULL, 0, ctx))
    return nullptr;
  return ctx->attr;
}

int GetNtfsVolumeFigures(ntfs_volume* vol, NtfsVolumeFigures* out, bool countFree) {
  if (!vol || !out) return -EINVAL;
  if (countFree && ntfs_volume_get_free_space(vol)) return -(errno ? errno : EIO);
  out->majorVersion = vol->major_ver;
  out->minorVersion = vol->minor_ver;
  out->totalClusters = (unsigned long long)vol->nr_clusters;
  out->freeClusters = vol->free_clusters > 0 ? (unsigned long long)vol->free_clusters : 0;
  out->clusterSize = vol->cluster_size;
  out->sectorSize = vol->sector_size;
  NTFS_BOOT_SECTOR bs;
  if (ntfs_pread(vol->dev, 0, sizeof bs, &bs) != (s64)sizeof bs) return -(errno ? errno : EIO);
  out->totalSectors = (unsigned long long)sle64_to_cpu(bs.number_of_sectors);
  return 0;
}

int FlushNtfsVolume(ntfs_volume* vol) {
  if (!vol || !vol->dev || !vol->dev->d_ops || !vol->dev->d_ops->sync) return -EINVAL;
  if (NVolReadOnly(vol)) return -EROFS;
  return vol->dev->d_ops->sync(vol->dev) ? -(errno ? errno : EIO) : 0;
}
