// The check's walk of one index, for the folders' names and for $Secure's
// two indexes of the security descriptors. Needs the libntfs-3g headers.
#pragma once
#include <map>

#include "image/ntfs/check/NtfsCheckState.h"

namespace ntfscheck {

// Where a security descriptor lies in $SDS, by its id.
struct Descriptor {
  u32 hash;
  u64 offset;
  u32 length;
};

enum IndexKind {
  kFileNames,       // a folder's $I30
  kSecurityHashes,  // $Secure's $SDH: by hash and id
  kSecurityIds,     // $Secure's $SII: by id
};

struct Index {
  s64 record = 0;
  IndexKind kind = kFileNames;
  const ntfschar* name = nullptr;
  u32 nameLength = 0;
  char owner[40] = {};  // as the lines name it: "folder 5", "$Secure:$SDH"
  const std::map<u32, Descriptor>* descriptors = nullptr;  // $SDS's, for $Secure's
};

// Walks the index of record ni and logs what is wrong with it.
void CheckIndex(ntfs_volume* vol, ntfs_inode* ni, const Index& index);

}  // namespace ntfscheck
