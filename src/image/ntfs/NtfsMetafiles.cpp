// Which records are the volume's own: read from $MFT as stored (no inode
// is opened, so a writer that holds one open may ask).
#include "image/ntfs/NtfsMetafiles.h"

#include <errno.h>

#include <set>
#include <string>
#include <vector>

#include "image/ntfs/NtfsInternal.h"
#include "image/ntfs/NtfsRecordWalk.h"

extern "C" {
#include <ntfs-3g/mst.h>
}

namespace {

// Records 0 to 23 are the system's, used or not.
const u64 kSystemRecords = 24;

// A folder a name points at: its record and the sequence number the name
// gives it (0: any).
struct NameParent {
  u64 record;
  u16 sequence;
};

// Record n as stored, its fix-ups undone: 1; 0 when it holds no file
// record (past $MFT's initialised records, or never written); minus errno
// when it cannot be read or is torn.
int ReadRecord(ntfs_volume* vol, u64 n, std::vector<u8>* rec) {
  const u32 size = vol->mft_record_size;
  if (!vol->mft_na) return -EIO;
  if ((s64)n >= vol->mft_na->initialized_size / size) return 0;
  rec->resize(size);
  errno = 0;
  if (ntfs_attr_pread(vol->mft_na, (s64)n * size, size, rec->data()) != (s64)size)
    return -(errno ? errno : EIO);
  if (reinterpret_cast<MFT_RECORD*>(rec->data())->magic != magic_FILE) return 0;
  if (ntfs_mst_post_read_fixup_warn(reinterpret_cast<NTFS_RECORD*>(rec->data()), size, FALSE))
    return -EIO;
  return 1;
}

void AddParents(const u8* rec, u32 size, std::vector<NameParent>* out) {
  ForEachRawAttribute(rec, size, [&](const ATTR_RECORD* a) {
    if (a->type != AT_FILE_NAME || a->non_resident) return true;
    u32 at = le16_to_cpu(a->value_offset);
    if ((u64)at + le32_to_cpu(a->value_length) > le32_to_cpu(a->length) ||
        le32_to_cpu(a->value_length) < sizeof(FILE_NAME_ATTR))
      return true;
    const FILE_NAME_ATTR* fn =
        reinterpret_cast<const FILE_NAME_ATTR*>(reinterpret_cast<const u8*>(a) + at);
    out->push_back(NameParent{MREF_LE(fn->parent_directory), MSEQNO_LE(fn->parent_directory)});
    return true;
  });
}

// What record n says of itself for the walk: its sequence number, whether
// it is in use (a record that holds no file record is not), its base (an
// extension record names its names there), and the folders of its names,
// those its attribute list puts in extension records included. 0, or
// minus errno.
struct RecordNames {
  bool inUse = false;
  u16 sequence = 0;
  u64 base = 0;
  std::vector<NameParent> parents;
};

// The names of record n from its bytes as stored, fix-ups undone.
int NamesOf(ntfs_volume* vol, u64 n, const u8* rec, RecordNames* out) {
  *out = RecordNames();
  const MFT_RECORD* m = reinterpret_cast<const MFT_RECORD*>(rec);
  const u32 size = vol->mft_record_size;
  out->inUse = (le16_to_cpu(m->flags) & MFT_RECORD_IN_USE) != 0;
  out->sequence = le16_to_cpu(m->sequence_number);
  out->base = MREF_LE(m->base_mft_record);
  if (!out->inUse || out->base) return 0;
  AddParents(rec, size, &out->parents);
  std::vector<NtfsListEntry> entries;
  ForEachRawAttribute(rec, size, [&](const ATTR_RECORD* a) {
    if (a->type == AT_ATTRIBUTE_LIST)
      ParseNtfsAttributeList(ReadNtfsAttributeList(vol, a), &entries);
    return true;
  });
  std::set<u64> read = {n};
  std::vector<u8> extension;
  for (const NtfsListEntry& e : entries) {
    if (e.type != (u32)le32_to_cpu(AT_FILE_NAME) || e.record < 0 ||
        !read.insert((u64)e.record).second)
      continue;
    int r = ReadRecord(vol, (u64)e.record, &extension);
    if (r < 0) return r;
    if (!r) continue;
    const MFT_RECORD* x = reinterpret_cast<const MFT_RECORD*>(extension.data());
    if ((le16_to_cpu(x->flags) & MFT_RECORD_IN_USE) && MREF_LE(x->base_mft_record) == n)
      AddParents(extension.data(), size, &out->parents);
  }
  return 0;
}

int ReadNames(ntfs_volume* vol, u64 n, RecordNames* out) {
  *out = RecordNames();
  std::vector<u8> rec;
  int r = ReadRecord(vol, n, &rec);
  if (r <= 0) return r;
  return NamesOf(vol, n, rec.data(), out);
}

// Whether record `start` is a metafile, its names followed up to the
// root; those that lie in folder `cameFrom` (a folder found to be no
// metafile, as a path led to it) are not followed again. first: the
// names of `start` when its record was read already, else null.
int Classify(ntfs_volume* vol, u64 start, u64 cameFrom, const RecordNames* first = nullptr) {
  if (start < kSystemRecords) return 1;
  struct Step {
    u64 record;
    u16 sequence;
  };
  std::vector<Step> todo = {Step{start, 0}};
  std::set<u64> seen;
  while (!todo.empty()) {
    Step s = todo.back();
    todo.pop_back();
    if (s.record == FILE_root) continue;  // this name's way ends in the root
    if (s.record < kSystemRecords) return 1;
    if (!seen.insert(s.record).second) continue;
    RecordNames names;
    if (first && s.record == start)
      names = *first;
    else if (int e = ReadNames(vol, s.record, &names))
      return e;
    // A name whose folder is gone, or is another file now, leads nowhere.
    if (!names.inUse || (s.sequence && s.sequence != names.sequence)) continue;
    if (names.base) {
      todo.push_back(Step{names.base, 0});
      continue;
    }
    for (const NameParent& p : names.parents)
      if (s.record != start || p.record != cameFrom) todo.push_back(Step{p.record, p.sequence});
  }
  return 0;
}

}  // namespace

int NtfsIsMetafileRecord(ntfs_volume* vol, unsigned long long mft) {
  if (!vol) return -EINVAL;
  return Classify(vol, mft, (u64)-1);
}

int NtfsMetafileRecordGate(ntfs_volume* vol, unsigned long long mft) {
  int r = NtfsIsMetafileRecord(vol, mft);
  return r < 0 ? r : r ? -EACCES : 0;
}

int NtfsMetafileFolderGate(ntfs_volume* vol, unsigned long long folder) {
  return folder == FILE_root ? 0 : NtfsMetafileRecordGate(vol, folder);
}

int NtfsIsMetafileEntry(ntfs_volume* vol, unsigned long long folder, unsigned long long mft) {
  if (!vol) return -EINVAL;
  // The root's own entry "." leads back to it.
  return mft == FILE_root ? 0 : Classify(vol, mft, folder);
}

int NtfsIsMetafileInode(ntfs_inode* ni, unsigned long long folder) {
  if (!ni || !ni->mrec) return -EINVAL;
  if (ni->mft_no == FILE_root) return 0;
  if (ni->mft_no < kSystemRecords) return 1;
  RecordNames names;
  if (int e = NamesOf(ni->vol, ni->mft_no, reinterpret_cast<const u8*>(ni->mrec), &names))
    return e;
  return Classify(ni->vol, ni->mft_no, folder, &names);
}

int NtfsMetafilePathGate(ntfs_volume* vol, const wchar_t* path) {
  if (!vol || !path) return -EINVAL;
  u64 folder = FILE_root;
  for (const wchar_t* p = path;;) {
    while (*p == L'\\') p++;
    if (!*p) return 0;
    const wchar_t* end = p;
    while (*end && *end != L'\\') end++;
    ntfs_inode* ni = NtfsPathToInodeFrom(vol, folder, std::wstring(p, end).c_str());
    // The rest of the path is not there: nothing on its way was a metafile.
    if (!ni) return errno == ENOENT ? 0 : -(errno ? errno : EIO);
    u64 n = ni->mft_no;
    ntfs_inode_close(ni);
    int r = NtfsIsMetafileEntry(vol, folder, n);
    if (r) return r < 0 ? r : -EACCES;
    folder = n;
    p = end;
  }
}
