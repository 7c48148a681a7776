// File operations on a mounted NTFS volume. Each operation opens the inodes it
// needs and closes them before the next step opens others: libntfs-3g must
// never hold two in-memory copies of one MFT record.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <errno.h>
#include <stdlib.h>
#include <stddef.h>
#include <string.h>
#include <wchar.h>

#include "image/ntfs/NtfsFiles.h"
#include "image/ntfs/NtfsInternal.h"
#include "image/ntfs/NtfsMetafiles.h"
#include "image/ntfs/NtfsWin32Io.h"

namespace {

const size_t kMaxPath = 360;
const unsigned long kAttrDirectory = 0x10;
const unsigned long kAttrArchive = 0x20;

NtfsFileTime ToFileTime(ntfs_time t) {
  unsigned long long v = (unsigned long long)sle64_to_cpu(t);
  NtfsFileTime ft;
  ft.low = (unsigned long)v;
  ft.high = (unsigned long)(v >> 32);
  return ft;
}

ntfs_time FromFileTime(const NtfsFileTime* ft) {
  return cpu_to_sle64((s64)(((unsigned long long)ft->high << 32) | ft->low));
}

bool IsDir(ntfs_inode* ni) {
  return (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0;
}

void FillInfo(ntfs_inode* ni, NtfsFileInfo* info) {
  info->creation = ToFileTime(ni->creation_time);
  info->lastWrite = ToFileTime(ni->last_data_change_time);
  info->lastAccess = ToFileTime(ni->last_access_time);
  info->directory = IsDir(ni);
  unsigned long attrs = le32_to_cpu(ni->flags) & NTFS_ATTR_READ_MASK;
  if (info->directory) attrs = (attrs | kAttrDirectory) & ~kAttrArchive;
  info->attributes = attrs;
  info->size = 0;
  if (!info->directory) {
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    if (na) {
      info->size = (unsigned long long)na->data_size;
      ntfs_attr_close(na);
    }
  }
}

struct DirEntry {
  std::wstring name;
  u64 mref;
  unsigned int type;
};

// Takes an index entry's name unless it is a DOS-only name or the root's
// ".". Metafiles are left out of listings by their records, not here.
// The name lies in a packed record: it is copied, never read in place.
void CollectEntry(std::vector<DirEntry>* out, const u8* name, int nameLen, int nameType,
                  MFT_REF mref, unsigned dtType) {
  if (nameType == FILE_NAME_DOS) return;
  int n = nameLen > (int)kMaxPath - 1 ? (int)kMaxPath - 1 : nameLen;
  std::wstring text(size_t(n), L'\0');
  if (n) memcpy(&text[0], name, size_t(n) * sizeof(ntfschar));
  if (nameLen == 1 && text[0] == L'.') return;
  out->push_back(DirEntry{std::move(text), (u64)MREF(mref), dtType});
}

// The entries of one index node (its end given by the buffer's end), and
// the VCNs of the nodes below it when children is given. False on an entry
// that does not fit its node.
bool CollectIndexEntries(const INDEX_HEADER* ih, const u8* end, std::vector<DirEntry>* entries,
                         std::vector<s64>* children = nullptr) {
  const u8* p = reinterpret_cast<const u8*>(ih) + le32_to_cpu(ih->entries_offset);
  const u8* stop = reinterpret_cast<const u8*>(ih) + le32_to_cpu(ih->index_length);
  if (stop > end) stop = end;
  while (p + sizeof(INDEX_ENTRY_HEADER) <= stop) {
    const INDEX_ENTRY* ie = reinterpret_cast<const INDEX_ENTRY*>(p);
    u16 len = le16_to_cpu(ie->length);
    bool last = (ie->ie_flags & INDEX_ENTRY_END) != 0;
    if (children && (ie->ie_flags & INDEX_ENTRY_NODE)) {
      // The VCN of the node below stands in the entry's last 8 bytes.
      if (len < sizeof(INDEX_ENTRY_HEADER) + 8 || p + len > stop) return false;
      children->push_back(sle64_to_cpu(*reinterpret_cast<const leVCN*>(p + len - 8)));
    }
    if (last) return true;
    if (len < sizeof(INDEX_ENTRY_HEADER) + sizeof(FILE_NAME_ATTR) || p + len > stop) return false;
    const FILE_NAME_ATTR& fn = ie->key.file_name;
    if (reinterpret_cast<const u8*>(fn.file_name + fn.file_name_length) > p + len) return false;
    unsigned type = (fn.file_attributes & FILE_ATTR_I30_INDEX_PRESENT) ? NTFS_DT_DIR
                                                                                 : NTFS_DT_REG;
    CollectEntry(entries, reinterpret_cast<const u8*>(&fn) + offsetof(FILE_NAME_ATTR, file_name),
                 fn.file_name_length, fn.file_name_type, le64_to_cpu(ie->indexed_file), type);
    p += len;
  }
  return true;
}

// True when every record in use that names folder dir as its parent is
// among the entries: the index blocks that could not be read held no name
// of a file that exists (blocks a writer that died had taken but not yet
// written). Reads all of $MFT; false when it cannot.
bool EveryNameListed(ntfs_inode* dir, const std::vector<DirEntry>& entries) {
  ntfs_volume* vol = dir->vol;
  std::vector<u64> listed;
  for (const DirEntry& e : entries) listed.push_back(MREF(e.mref));
  std::sort(listed.begin(), listed.end());
  u32 size = vol->mft_record_size;
  s64 records = vol->mft_na->initialized_size / size;
  const s64 kChunk = 256;
  std::vector<u8> buffer((size_t)(kChunk * size));
  for (s64 first = 0; first < records; first += kChunk) {
    s64 n = records - first < kChunk ? records - first : kChunk;
    if (ntfs_attr_pread(vol->mft_na, first * size, n * size, buffer.data()) != n * size)
      return false;
    for (s64 i = 0; i < n; i++) {
      MFT_RECORD* m = reinterpret_cast<MFT_RECORD*>(&buffer[(size_t)(i * size)]);
      // A record that does not read whole is no file of the folder's; the
      // system files are never listed.
      if (first + i < FILE_first_user || m->magic != magic_FILE || ntfs_mst_post_read_fixup((NTFS_RECORD*)m, size) ||
          !(m->flags & MFT_RECORD_IN_USE) || m->base_mft_record)
        continue;
      u8* end = reinterpret_cast<u8*>(m) + size;
      for (u8* p = reinterpret_cast<u8*>(m) + le16_to_cpu(m->attrs_offset);
           p + 24 <= end;) {
        ATTR_RECORD* a = reinterpret_cast<ATTR_RECORD*>(p);
        u32 len = le32_to_cpu(a->length);
        if (a->type == AT_END || len < 24 || p + len > end) break;
        u32 at = le16_to_cpu(a->value_offset);
        if (a->type == AT_FILE_NAME && !a->non_resident &&
            at + sizeof(FILE_NAME_ATTR) <= len) {
          const FILE_NAME_ATTR* fn = reinterpret_cast<const FILE_NAME_ATTR*>(p + at);
          if (MREF_LE(fn->parent_directory) == dir->mft_no &&
              (u64)(first + i) != dir->mft_no &&
              !std::binary_search(listed.begin(), listed.end(), (u64)(first + i)))
            return false;
        }
        p += len;
      }
    }
  }
  return true;
}

// A folder's index as a lookup sees it: the index root and every block
// reached from it through the entries' pointers to the nodes below, each
// read whatever the $I30 bitmap says of it. The bitmap is only compared:
// blocks the index names that it marks free, and blocks it marks in use
// that the index does not name, are counted.
//
// A named block that cannot be read (a writer that died put the folder's
// record, pointing at the block, into the volume but not yet the block; or
// damage) takes its names and the nodes below it along: the blocks the
// bitmap marks in use that were not reached are then read as well, and
// the result is -EIO with the entries that could be read, unless (with
// `prove`, a read of all of $MFT) no file that exists names the folder
// without being listed. A root that cannot be read gives -EIO and no
// entries.
struct IndexWalk {
  ntfs_attr* blocks = nullptr;  // $INDEX_ALLOCATION
  u32 blockSize = 0;
  u8 vcnBits = 0;
  std::vector<u8> bitmap;
  std::vector<bool> reached;
  std::vector<u8> buffer;
  std::vector<DirEntry>* entries;
  bool unreadable = false;
  int namedFree = 0;
};

bool MarkedInUse(const IndexWalk& w, s64 block) {
  return (size_t)(block / 8) < w.bitmap.size() &&
         ((w.bitmap[(size_t)(block / 8)] >> (block % 8)) & 1);
}

// Reads block number `block` into the walk's buffer and takes its entries
// (and the VCNs below it); false when it cannot be read or is no index
// block of its place.
bool ReadIndexBlock(IndexWalk& w, s64 block, std::vector<DirEntry>* entries,
                    std::vector<s64>* children) {
  INDEX_BLOCK* ib = reinterpret_cast<INDEX_BLOCK*>(w.buffer.data());
  s64 vcn = (block * w.blockSize) >> w.vcnBits;
  return ntfs_attr_pread(w.blocks, block * w.blockSize, w.blockSize, w.buffer.data()) ==
             (s64)w.blockSize &&
         ib->magic == magic_INDX &&
         !ntfs_mst_post_read_fixup(reinterpret_cast<NTFS_RECORD*>(ib), w.blockSize) &&
         sle64_to_cpu(ib->index_block_vcn) == vcn &&
         CollectIndexEntries(&ib->index, w.buffer.data() + w.blockSize, entries, children);
}

// The nodes below one node, depth first; the names of the nodes below a
// node come before its own. A VCN outside the allocation takes whatever
// lies below it along; one met a second time names nothing new.
void WalkNodes(IndexWalk& w, const std::vector<s64>& vcns, int depth) {
  for (s64 vcn : vcns) {
    s64 count = (s64)w.reached.size();
    if (vcn < 0 || vcn > ((count * w.blockSize) >> w.vcnBits) ||
        ((vcn << w.vcnBits) % w.blockSize) || (vcn << w.vcnBits) / w.blockSize >= count ||
        depth > 32) {
      w.unreadable = true;
      continue;
    }
    s64 block = (vcn << w.vcnBits) / w.blockSize;
    if (w.reached[(size_t)block]) continue;
    w.reached[(size_t)block] = true;
    if (!MarkedInUse(w, block)) w.namedFree++;
    std::vector<DirEntry> found;
    std::vector<s64> below;
    if (!ReadIndexBlock(w, block, &found, &below)) {
      w.unreadable = true;
      continue;
    }
    WalkNodes(w, below, depth + 1);
    w.entries->insert(w.entries->end(), found.begin(), found.end());
  }
}

int ReadIndexEntries(ntfs_inode* dir, std::vector<DirEntry>* entries, bool prove,
                     NtfsIndexBitmapNotes* notes) {
  entries->clear();
  if (notes) *notes = NtfsIndexBitmapNotes();
  s64 rootSize = 0;
  INDEX_ROOT* ir = static_cast<INDEX_ROOT*>(
      ntfs_attr_readall(dir, AT_INDEX_ROOT, NTFS_INDEX_I30, 4, &rootSize));
  if (!ir) return -EIO;
  std::unique_ptr<void, void (*)(void*)> rootHold(ir, free);
  std::vector<s64> top;
  if (rootSize < (s64)sizeof(INDEX_ROOT) ||
      !CollectIndexEntries(&ir->index, reinterpret_cast<const u8*>(ir) + rootSize, entries, &top)) {
    entries->clear();
    return -EIO;
  }
  if (!(ir->index.ih_flags & LARGE_INDEX)) return 0;
  IndexWalk w;
  w.entries = entries;
  w.blockSize = le32_to_cpu(ir->index_block_size);
  w.vcnBits = w.blockSize >= dir->vol->cluster_size ? dir->vol->cluster_size_bits : 9;
  s64 bitmapSize = 0;
  u8* bitmap =
      static_cast<u8*>(ntfs_attr_readall(dir, AT_BITMAP, NTFS_INDEX_I30, 4, &bitmapSize));
  if (bitmap) w.bitmap.assign(bitmap, bitmap + bitmapSize);
  free(bitmap);
  w.blocks = ntfs_attr_open(dir, AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4);
  if (!w.blocks || w.blockSize < 512 || w.blockSize > 65536 || (w.blockSize & (w.blockSize - 1))) {
    if (w.blocks) ntfs_attr_close(w.blocks);
    return -EIO;
  }
  s64 count = w.blocks->data_size / w.blockSize;
  w.reached.assign((size_t)count, false);
  w.buffer.resize(w.blockSize);
  // The root's own names follow those of the nodes below it as well.
  std::vector<DirEntry> rootEntries;
  rootEntries.swap(*entries);
  WalkNodes(w, top, 0);
  entries->insert(entries->end(), rootEntries.begin(), rootEntries.end());
  int unnamedUsed = 0;
  for (s64 block = 0; block < count; block++) {
    if (w.reached[(size_t)block] || !MarkedInUse(w, block)) continue;
    unnamedUsed++;
    // Only below a block that could not be read do names lie that the
    // walk did not reach.
    std::vector<DirEntry> found;
    if (w.unreadable && ReadIndexBlock(w, block, &found, nullptr))
      entries->insert(entries->end(), found.begin(), found.end());
  }
  ntfs_attr_close(w.blocks);
  if (notes && !w.unreadable) {
    notes->namedFree = w.namedFree;
    notes->unnamedUsed = unnamedUsed;
    notes->named.assign(std::max(w.bitmap.size(), (size_t)(count + 7) / 8), 0);
    for (s64 block = 0; block < count; block++)
      if (w.reached[(size_t)block]) notes->named[(size_t)(block / 8)] |= (u8)(1 << (block % 8));
  }
  if (!w.unreadable) return 0;
  return prove && EveryNameListed(dir, *entries) ? 0 : -EIO;
}

}  // namespace

int NtfsWalkFolderIndex(ntfs_inode* dir, NtfsIndexBitmapNotes* notes) {
  std::vector<DirEntry> entries;
  return ReadIndexEntries(dir, &entries, false, notes);
}

int NtfsFolderTakesNames(ntfs_inode* dir) {
  if (NtfsFolderKnownSound(dir->vol, dir->mft_no)) return 0;
  NtfsIndexBitmapNotes notes;
  if (NtfsWalkFolderIndex(dir, &notes) < 0) return 0;
  if (notes.namedFree) {
    errno = NTFS_EINDEXBITMAP;
    return -1;
  }
  NtfsNoteFolderSound(dir->vol, dir->mft_no);
  return 0;
}

u64 NtfsLookupPastMissingBlocks(ntfs_inode* dir, const ntfschar* name, int len) {
  std::vector<DirEntry> entries;
  // A name found is found; the rest of the folder is no matter here.
  int r = ReadIndexEntries(dir, &entries, false, nullptr);
  ntfs_volume* vol = dir->vol;
  IGNORE_CASE_BOOL ic = NVolCaseSensitive(vol) ? CASE_SENSITIVE : IGNORE_CASE;
  for (const DirEntry& e : entries) {
    if (ntfs_names_are_equal(reinterpret_cast<const ntfschar*>(e.name.data()), e.name.size(), name,
                             (size_t)len, ic, vol->upcase, vol->upcase_len))
      return e.mref;
  }
  // Not among the names that could be read: it may be among the others.
  errno = r < 0 ? -r : ENOENT;
  return (u64)-1;
}

namespace {

// The record the folder's name points to as its parent (the root's is
// the root), or -1.
s64 ParentMft(ntfs_inode* dir) {
  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(dir, NULL);
  if (!ctx) return -1;
  s64 parent = -1;
  if (!ntfs_attr_lookup(AT_FILE_NAME, NULL, 0, CASE_SENSITIVE, 0, NULL, 0, ctx) &&
      !ctx->attr->non_resident) {
    const FILE_NAME_ATTR* fn = reinterpret_cast<const FILE_NAME_ATTR*>(
        reinterpret_cast<const u8*>(ctx->attr) + le16_to_cpu(ctx->attr->value_offset));
    parent = (s64)MREF_LE(fn->parent_directory);
  }
  ntfs_attr_put_search_ctx(ctx);
  return parent;
}

// Reads the entries of a folder into memory so that the caller's callback
// may change the folder (delete, create) without upsetting the index walk:
// ".." (the parent) first, then the names in the index's order as they are
// stored. -EIO with entries: those of an index with blocks that could not
// be read.
int ReadEntries(ntfs_volume* vol, const wchar_t* path, std::vector<DirEntry>* entries,
                NtfsIndexBitmapNotes* notes = nullptr, u64* folder = nullptr) {
  ntfs_inode* dir = NtfsPathToInode(vol, NULL, path);
  if (!dir) return -errno;
  if (!IsDir(dir)) {
    ntfs_inode_close(dir);
    return -ENOTDIR;
  }
  if (folder) *folder = dir->mft_no;
  std::vector<DirEntry> names;
  int result = ReadIndexEntries(dir, &names, true, notes);
  entries->clear();
  s64 parent = ParentMft(dir);
  if (parent >= 0) entries->push_back(DirEntry{L"..", (u64)parent, NTFS_DT_DIR});
  entries->insert(entries->end(), names.begin(), names.end());
  ntfs_inode_close(dir);
  return result;
}

std::wstring Child(const wchar_t* dir, const std::wstring& name) {
  std::wstring p(dir);
  if (p.empty() || p.back() != L'\\') p += L'\\';
  return p + name;
}

std::vector<unsigned char> BuildReparseData(const wchar_t* target, u32 tag) {
  std::wstring print(target);
  std::wstring subst = L"\\??\\" + print;
  bool symlink = tag == NTFS_TAG_SYMLINK;
  size_t printBytes = print.size() * 2, substBytes = subst.size() * 2;
  size_t header = symlink ? 12 : 8;
  // Both names carry a terminator that their lengths leave out.
  size_t pathBytes = printBytes + 2 + substBytes + 2;
  std::vector<unsigned char> d(8 + header + pathBytes, 0);
  auto put16 = [&](size_t at, size_t v) {
    d[at] = (unsigned char)v;
    d[at + 1] = (unsigned char)(v >> 8);
  };
  auto put32 = [&](size_t at, u32 v) {
    put16(at, v & 0xFFFF);
    put16(at + 2, v >> 16);
  };
  put32(0, tag);
  put16(4, header + pathBytes);
  put16(8, printBytes + 2);  // substitute name offset
  put16(10, substBytes);
  put16(12, 0);  // print name offset
  put16(14, printBytes);
  if (symlink) put32(16, 0);
  unsigned char* buf = d.data() + 8 + header;
  memcpy(buf, print.data(), printBytes);
  memcpy(buf + printBytes + 2, subst.data(), substBytes);
  return d;
}

}  // namespace

int NtfsGetPathType(ntfs_volume* vol, const wchar_t* path) {
  ntfs_inode* ni = NtfsPathToInode(vol, NULL, path);
  if (!ni) return 0;
  int type = IsDir(ni) ? 2 : 1;
  ntfs_inode_close(ni);
  return type;
}

int NtfsGetFileInfo(ntfs_volume* vol, const wchar_t* path, NtfsFileInfo* info) {
  ntfs_inode* ni = NtfsPathToInode(vol, NULL, path);
  if (!ni) return -errno;
  FillInfo(ni, info);
  ntfs_inode_close(ni);
  return 0;
}

int SetNtfsFileInfo(ntfs_volume* vol, const wchar_t* path, const NtfsFileTime* creation,
                    const NtfsFileTime* lastWrite, const NtfsFileTime* lastAccess,
                    unsigned long* attributes) {
  if (!vol) return -EINVAL;
  if (NVolReadOnly(vol)) return -EROFS;
  ntfs_inode* ni = NtfsPathToInode(vol, NULL, path);
  if (!ni) return -errno;
  // The root's times and attributes are its own; no metafile's are.
  if (int e = ni->mft_no == FILE_root ? 0 : NtfsMetafileRecordGate(vol, ni->mft_no)) {
    ntfs_inode_close(ni);
    return e;
  }
  if (creation) ni->creation_time = FromFileTime(creation);
  if (lastWrite) ni->last_data_change_time = FromFileTime(lastWrite);
  if (lastAccess) ni->last_access_time = FromFileTime(lastAccess);
  if (attributes) {
    NtfsFileInfo before;
    FillInfo(ni, &before);
    u32 flags = le32_to_cpu(ni->flags);
    flags = (flags & ~NTFS_ATTR_WRITE_MASK) | (*attributes & NTFS_ATTR_WRITE_MASK);
    ni->flags = (FILE_ATTR_FLAGS)cpu_to_le32(flags);
    *attributes = before.attributes;
  }
  // The in-memory times go to $STANDARD_INFORMATION at close (the
  // library's TimesSet flag would make it keep the old ones instead).
  ntfs_inode_mark_dirty(ni);
  NInoFileNameSetDirty(ni);
  if (ntfs_inode_close(ni)) return -(errno ? errno : EIO);
  return 0;
}

int NtfsEnumDirectory(ntfs_volume* vol, const wchar_t* path, NtfsEnumCallback callback, void* user,
                      NtfsIndexBitmapNotes* notes) {
  std::vector<DirEntry> entries;
  u64 folder = FILE_root;
  int r = ReadEntries(vol, path, &entries, notes, &folder);
  if (r < 0 && r != -EIO) return r;
  for (size_t i = 0; i < entries.size(); i++) {
    const DirEntry& e = entries[i];
    bool parent = i == 0 && e.name == L"..";
    NtfsFileInfo info = {};
    // An entry whose record is free names nothing (a writer stopped
    // between the two, or a delete did); one whose record cannot be read
    // is listed as the index has it (kind only): whoever opens it learns
    // that it cannot be read. The volume's own files are not listed, told
    // by their records as the writers' gates tell them (a record that
    // cannot be told is listed).
    ntfs_inode* ni = ntfs_inode_open(vol, e.mref);
    if (ni) {
      bool metafile = !parent && NtfsIsMetafileInode(ni, folder) == 1;
      if (!metafile) FillInfo(ni, &info);
      ntfs_inode_close(ni);
      if (metafile) continue;
    } else if (errno == ENOENT) {
      continue;
    } else {
      if (!parent && NtfsIsMetafileEntry(vol, folder, MREF(e.mref)) == 1) continue;
      info.directory = e.type == NTFS_DT_DIR;
    }
    unsigned int kind = info.directory ? NTFS_KIND_DIRECTORY : NTFS_KIND_FILE;
    if (!callback(e.name.c_str(), kind, (unsigned long)info.size, (unsigned long)(info.size >> 32),
                  &info.creation, &info.lastWrite, &info.lastAccess, info.attributes, user))
      break;
  }
  return r < 0 ? r : 0;
}

int NtfsCreatePath(ntfs_volume* vol, const wchar_t* path, unsigned int mode,
                   const wchar_t* target) {
  if (!vol) return -EINVAL;
  if (NVolReadOnly(vol)) return -EROFS;
  const wchar_t* name;
  int nameLen;
  ntfs_inode* dir = NtfsOpenParent(vol, path, &name, &nameLen);
  if (!dir) return -errno;
  const ntfschar* uname = reinterpret_cast<const ntfschar*>(name);
  int err = 0;
  if (!IsDir(dir))
    err = ENOTDIR;
  else if (int e = NtfsMetafileFolderGate(vol, dir->mft_no))
    err = -e;
  else if (ntfs_forbidden_names(vol, uname, nameLen, TRUE))
    err = EINVAL;
  else if (ntfs_inode_lookup_by_name(dir, uname, nameLen) != (u64)-1)
    err = EEXIST;  // names differing only in case are the same name here
  else if (NtfsFolderTakesNames(dir))
    err = errno;
  if (err) {
    ntfs_inode_close(dir);
    return -err;
  }
  ntfs_inode* ni;
  if (mode == NTFS_MODE_SYMLINK) {
    std::wstring t(target ? target : L"");
    ni = ntfs_create_symlink(dir, 0, uname, (u8)nameLen,
                             reinterpret_cast<const ntfschar*>(t.c_str()), (int)t.size());
  } else if (mode == NTFS_MODE_DEVICE || mode == NTFS_MODE_DEVICE_MARKER) {
    ni = ntfs_create_device(dir, 0, uname, (u8)nameLen, NTFS_MODE_DEVICE, 0);
  } else {
    ni = ntfs_create(dir, 0, uname, (u8)nameLen, (mode_t)mode);
  }
  if (!ni)
    err = errno ? errno : EIO;
  else if (ntfs_inode_close_in_dir(ni, dir))
    err = errno ? errno : EIO;
  if (ntfs_inode_close(dir) && !err) err = errno ? errno : EIO;
  return -err;
}

int NtfsDeletePath(ntfs_volume* vol, const wchar_t* path) {
  if (!vol) return -EINVAL;
  if (NVolReadOnly(vol)) return -EROFS;
  s64 mft = NtfsPathToMft(vol, path);
  if (mft < 0) return -errno;
  // The root and the metafiles are never deleted.
  if (int e = NtfsMetafileRecordGate(vol, (u64)mft)) return e;
  if (NtfsGetPathType(vol, path) == 2) {
    std::vector<DirEntry> entries;
    int r = ReadEntries(vol, path, &entries);
    if (r < 0) return r;
    for (const DirEntry& e : entries) {
      if (e.name == L"..") continue;
      std::wstring child = Child(path, e.name);
      if (child.size() >= kMaxPath) return -ENAMETOOLONG;
      r = NtfsDeletePath(vol, child.c_str());
      if (r < 0) return r;
    }
  }
  const wchar_t* name;
  int nameLen;
  s64 dirMft = NtfsParentMft(vol, path, &name, &nameLen);
  if (dirMft < 0) return -errno;
  ntfs_inode* ni = ntfs_inode_open(vol, (u64)mft);
  if (!ni) return -errno;
  ntfschar stored[256];
  int storedLen = NtfsStoredName(ni, (u64)dirMft, stored, 256);
  if (storedLen < 0) {
    ntfs_inode_close(ni);
    return -ENOENT;
  }
  ntfs_inode* dir = ntfs_inode_open(vol, (u64)dirMft);
  if (!dir || NtfsFolderTakesNames(dir)) {
    int e = errno;
    if (dir) ntfs_inode_close(dir);
    ntfs_inode_close(ni);
    return -e;
  }
  // ntfs_delete closes both inodes.
  if (ntfs_delete(vol, "", ni, dir, stored, (u8)storedLen)) return -(errno ? errno : EIO);
  return 0;
}

unsigned int NtfsGetReparseTag(ntfs_volume* vol, const wchar_t* path) {
  ntfs_inode* ni = NtfsPathToInode(vol, NULL, path);
  if (!ni) return 0;
  u32 tag = NtfsLinkReparseTag(ni);
  ntfs_inode_close(ni);
  return tag;
}

int NtfsGetLinkTarget(ntfs_volume* vol, const wchar_t* path, wchar_t* buffer, int length) {
  ntfs_inode* ni = NtfsPathToInode(vol, NULL, path);
  if (!ni) return -errno;
  u32 tag = NtfsLinkReparseTag(ni);
  size_t bytes = 0;
  REPARSE_POINT* rp = tag ? NtfsReadReparsePoint(ni, &bytes) : nullptr;
  int e = errno;
  ntfs_inode_close(ni);
  if (!tag) return -EINVAL;
  if (!rp) return -(e ? e : EIO);
  // Every length and offset is held to what lies below it: the data to
  // the attribute (NtfsReadReparsePoint), the names to the data, each
  // name to the names. Any that runs past is damage, never read.
  const unsigned char* d = reinterpret_cast<const unsigned char*>(rp->reparse_data);
  size_t dataLen = le16_to_cpu(rp->reparse_data_length);
  size_t header = tag == NTFS_TAG_SYMLINK ? 12 : 8;
  auto get16 = [&](size_t at) { return (size_t)(d[at] | (d[at + 1] << 8)); };
  size_t substOff = 0, substLen = 0, printOff = 0, printLen = 0, namesLen = 0;
  bool sound = dataLen >= header;
  if (sound) {
    substOff = get16(0), substLen = get16(2), printOff = get16(4), printLen = get16(6);
    namesLen = dataLen - header;
    sound = substOff + substLen <= namesLen && printOff + printLen <= namesLen &&
            substLen % 2 == 0 && printLen % 2 == 0 && (substLen || printLen);
  }
  if (!sound) {
    free(rp);
    return -NTFS_EDAMAGED;
  }
  const unsigned char* names = d + header;
  std::wstring text(substLen ? substLen / 2 : printLen / 2, L'\0');
  memcpy(&text[0], names + (substLen ? substOff : printOff), text.size() * sizeof(wchar_t));
  free(rp);
  if (substLen && text.compare(0, 4, L"\\??\\") == 0) text.erase(0, 4);
  if (!buffer || text.size() >= (size_t)length) return -ENAMETOOLONG;
  memcpy(buffer, text.data(), text.size() * sizeof(wchar_t));
  buffer[text.size()] = 0;
  return (int)text.size();
}

int NtfsCreateLink(ntfs_volume* vol, const wchar_t* path, const wchar_t* target,
                   unsigned int createMode, unsigned int tag) {
  if (!vol) return -EINVAL;
  if (NVolReadOnly(vol)) return -EROFS;
  if (!target || !*target) return -EINVAL;
  if (NtfsGetPathType(vol, path) == 0) {
    int r = NtfsCreatePath(vol, path, createMode, target);
    if (r < 0) return r;
  }
  if (tag != NTFS_TAG_SYMLINK) tag = NTFS_TAG_MOUNT_POINT;
  std::vector<unsigned char> data = BuildReparseData(target, tag);
  if (data.size() > 16 * 1024) return -ENAMETOOLONG;
  ntfs_inode* ni = NtfsPathToInode(vol, NULL, path);
  if (!ni) return -errno;
  int err = -NtfsMetafileRecordGate(vol, ni->mft_no);
  if (!err &&
      ntfs_set_ntfs_reparse_data(ni, reinterpret_cast<const char*>(data.data()), data.size(), 0))
    err = errno ? errno : EIO;
  if (ntfs_inode_close(ni) && !err) err = errno ? errno : EIO;
  return -err;
}

unsigned long long NtfsCountBadClusters(ntfs_volume* vol) {
  static const ntfschar kBad[] = {'$', 'B', 'a', 'd', 0};
  ntfs_inode* ni = ntfs_inode_open(vol, FILE_BadClus);
  if (!ni) return 0;
  unsigned long long count = 0;
  ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, const_cast<ntfschar*>(kBad), 4);
  if (na) {
    if (NAttrNonResident(na) && !ntfs_attr_map_whole_runlist(na)) {
      for (runlist_element* rl = na->rl; rl && rl->length; rl++) {
        if (rl->lcn >= 0) count += (unsigned long long)rl->length;
      }
    }
    ntfs_attr_close(na);
  }
  ntfs_inode_close(ni);
  return count;
}
