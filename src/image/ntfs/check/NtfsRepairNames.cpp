// The repair of the names: records in use that no folder's index names
// go back into their folder, or into "found.000" in the root folder; the
// link counts follow the names.
#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <set>
#include <vector>

#include "image/ntfs/NtfsInternal.h"
#include "image/ntfs/check/NtfsRepair.h"

extern "C" {
#include <ntfs-3g/bitmap.h>
#include <ntfs-3g/index.h>
}

namespace {

const ntfschar kFound[] = {'f', 'o', 'u', 'n', 'd', '.', '0', '0', '0'};
const int kFoundLength = 9;

// Closes an inode (writing what changed) and keeps the result: a close
// that fails fails the step.
int Close(ntfs_inode* ni, int result) {
  if (ni && ntfs_inode_close(ni)) return -1;
  return result;
}

// 1 when the folder holds the name, 0 when not, -1 when it cannot be told.
int NameTaken(ntfs_inode* dir, const ntfschar* name, int length) {
  errno = 0;
  if (ntfs_inode_lookup_by_name(dir, name, length) != (u64)-1) return 1;
  return errno == ENOENT ? 0 : -1;
}

// The root folder's "found.000", made when it is not there; null with
// errno.
ntfs_inode* OpenFoundFolder(ntfs_volume* vol) {
  ntfs_inode* root = ntfs_inode_open(vol, FILE_root);
  if (!root) return nullptr;
  errno = 0;
  u64 ref = ntfs_inode_lookup_by_name(root, kFound, kFoundLength);
  ntfs_inode* found = nullptr;
  if (ref != (u64)-1) {
    found = ntfs_inode_open(vol, MREF(ref));
    if (found && !(found->mrec->flags & MFT_RECORD_IS_DIRECTORY)) {
      ntfs_inode_close(found);
      found = nullptr;
      errno = ENOTDIR;
    }
  } else if (errno == ENOENT) {
    found = ntfs_create(root, const_cpu_to_le32(0), kFound, kFoundLength, S_IFDIR);
  }
  if (Close(root, 0)) {
    if (found) ntfs_inode_close(found);
    return nullptr;
  }
  return found;
}

// Removes the name `fn` (a $FILE_NAME value) from the record. 0, or -1.
int RemoveName(ntfs_inode* ni, const FILE_NAME_ATTR* fn) {
  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
  if (!ctx) return -1;
  int result = -1;
  errno = ENOENT;
  while (!ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) {
    const FILE_NAME_ATTR* held =
        (const FILE_NAME_ATTR*)((const u8*)ctx->attr + le16_to_cpu(ctx->attr->value_offset));
    if (held->parent_directory == fn->parent_directory &&
        held->file_name_length == fn->file_name_length &&
        held->file_name_type == fn->file_name_type &&
        !memcmp(held->file_name, fn->file_name, 2 * fn->file_name_length)) {
      result = ntfs_attr_record_rm(ctx);
      break;
    }
  }
  ntfs_attr_put_search_ctx(ctx);
  return result;
}

// Gives the record of `fn`, a name no index holds, a name again: back in
// the folder it names, or in "found.000" (*found opened on first use).
int Reconnect(ntfs_volume* vol, long long record, std::vector<unsigned char>& value,
              ntfs_inode** found) {
  FILE_NAME_ATTR* fn = (FILE_NAME_ATTR*)value.data();
  if (value.size() < sizeof(FILE_NAME_ATTR) ||
      value.size() < sizeof(FILE_NAME_ATTR) + 2u * fn->file_name_length)
    return (errno = EINVAL, -1);
  ntfs_inode* ni = ntfs_inode_open(vol, (MFT_REF)record);
  if (!ni) return -1;
  MFT_REF ref = MK_MREF(record, le16_to_cpu(ni->mrec->sequence_number));
  ntfschar name[255];
  int length = fn->file_name_length;
  memcpy(name, (const u8*)fn + offsetof(FILE_NAME_ATTR, file_name), 2 * length);
  s64 parent = (s64)MREF_LE(fn->parent_directory);
  u16 parentSequence = MSEQNO_LE(fn->parent_directory);
  ntfs_inode* dir = parent != record ? ntfs_inode_open(vol, (MFT_REF)parent) : nullptr;
  if (dir && (dir->mrec->flags & MFT_RECORD_IS_DIRECTORY) &&
      (!parentSequence || parentSequence == le16_to_cpu(dir->mrec->sequence_number)) &&
      NameTaken(dir, name, length) == 0)
    return Close(ni, Close(dir, ntfs_index_add_filename(dir, fn, ref)));
  if (Close(dir, 0)) return Close(ni, -1);
  // A DOS name goes with its long name: it is only dropped.
  if (fn->file_name_type != FILE_NAME_DOS) {
    if (!*found && !(*found = OpenFoundFolder(vol))) return Close(ni, -1);
    // A name already there takes a number: "name.1", "name.2", ...
    int taken;
    for (unsigned k = 1; (taken = NameTaken(*found, name, length)) == 1; k++) {
      char suffix[16];
      int n = snprintf(suffix, sizeof suffix, ".%u", k);
      length = fn->file_name_length + n > 255 ? 255 - n : fn->file_name_length;
      for (int i = 0; i < n; i++) name[length + i] = cpu_to_le16(suffix[i]);
      length += n;
    }
    if (taken < 0 || ntfs_link(ni, *found, name, (u8)length)) return Close(ni, -1);
  }
  return Close(ni, RemoveName(ni, fn));
}

// Sets the record's link count to the number of its names (a DOS name
// beside a long one is no link of its own). 0, or -1.
int CountLinks(ntfs_volume* vol, long long record) {
  ntfs_inode* ni = ntfs_inode_open(vol, (MFT_REF)record);
  if (!ni) return -1;
  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
  if (!ctx) return Close(ni, -1);
  u16 links = 0;
  while (!ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) {
    const FILE_NAME_ATTR* fn =
        (const FILE_NAME_ATTR*)((const u8*)ctx->attr + le16_to_cpu(ctx->attr->value_offset));
    if (fn->file_name_type != FILE_NAME_DOS) links++;
  }
  bool walked = errno == ENOENT;
  ntfs_attr_put_search_ctx(ctx);
  if (walked && le16_to_cpu(ni->mrec->link_count) != links) {
    ni->mrec->link_count = cpu_to_le16(links);
    ntfs_inode_mark_dirty(ni);
  }
  return Close(ni, walked ? 0 : -1);
}

}  // namespace

int MendNtfsNames(ntfs_volume* vol) {
  NtfsNameFaults faults;
  if (!vol || !FindNtfsNameFaults(vol, &faults)) return (errno = EIO, -1);
  // A record in use that the bitmap lost would be handed out again.
  for (long long n : faults.unmarked)
    if (ntfs_bitmap_set_bit(vol->mftbmp_na, n)) return -1;
  std::set<long long> touched(faults.miscounted.begin(), faults.miscounted.end());
  ntfs_inode* found = nullptr;
  int result = 0;
  for (NtfsNameFaults::Name& name : faults.unindexed) {
    if (Reconnect(vol, name.record, name.value, &found)) {
      result = -1;
      break;
    }
    touched.insert(name.record);
  }
  if (found && ntfs_inode_close(found)) result = -1;
  for (long long n : touched)
    if (!result && CountLinks(vol, n)) result = -1;
  return result;
}
