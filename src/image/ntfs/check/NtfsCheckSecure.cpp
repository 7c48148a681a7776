// $Secure: the security descriptors in $SDS, each whole, in its place,
// with its hash, and mirrored in the 256 KiB block after its own; then
// the two indexes that find them ($SDH by hash, $SII by id), whose entries
// must point at them.
#include <string.h>

#include "image/ntfs/check/NtfsCheckIndex.h"

namespace ntfscheck {

namespace {

const u64 kBlock = 0x40000;  // $SDS keeps each 256 KiB block twice
const u32 kHeader = 20;      // hash, id, offset, length
const ntfschar kSds[] = {'$', 'S', 'D', 'S'}, kSdh[] = {'$', 'S', 'D', 'H'},
               kSii[] = {'$', 'S', 'I', 'I'};

u32 DescriptorHash(const u8* p, u32 length) {
  u32 hash = 0;
  for (u32 i = 0; i + 4 <= length; i += 4) hash = Ld32(p + i) + ((hash >> 29) | (hash << 3));
  return hash;
}

// The descriptors of $SDS (sds: all of it) into *out; false after a line
// on the first that is not sound.
bool ReadDescriptors(const u8* sds, u64 size, std::map<u32, Descriptor>* out) {
  for (u64 block = 0; block < size; block += 2 * kBlock) {
    for (u64 at = block; at + kHeader <= block + kBlock && at + kHeader <= size;) {
      const u8* e = sds + at;
      u32 hash = Ld32(e), id = Ld32(e + 4), length = Ld32(e + 16);
      // The rest of the block is free.
      if (!length && !id && !hash) break;
      if (Ld64(e + 8) != at || length < kHeader + 20 || at + length > block + kBlock ||
          at + length > size || e[kHeader] != 1) {
        FAULT("$Secure:$SDS: the descriptor at offset 0x%llx is corrupt.\n",
              (unsigned long long)at);
        return false;
      }
      if (DescriptorHash(e + kHeader, length - kHeader) != hash)
        FAULT("$Secure:$SDS: the descriptor of security id %u does not match its hash.\n", id);
      if (at + kBlock + length > size || memcmp(e, e + kBlock, length))
        FAULT("$Secure:$SDS: the mirror of the descriptor of security id %u differs.\n", id);
      if (!out->insert(std::make_pair(id, Descriptor{hash, at, length})).second)
        FAULT("$Secure:$SDS: security id %u is there twice.\n", id);
      at = (at + length + 15) & ~15ull;
    }
  }
  return true;
}

}  // namespace

void CheckSecurity(ntfs_volume* vol) {
  g.record = FILE_Secure;
  ntfs_inode* ni = ntfs_inode_open(vol, FILE_Secure);
  if (!ni) {
    FAULT("$Secure cannot be opened.\n");
    return;
  }
  std::vector<u8> sds;
  std::map<u32, Descriptor> descriptors;
  if (!ReadAttribute(ni, AT_DATA, kSds, 4, &sds)) {
    FAULT("$Secure:$SDS cannot be read.\n");
  } else if (ReadDescriptors(sds.data(), sds.size(), &descriptors)) {
    Index index;
    index.record = FILE_Secure;
    index.descriptors = &descriptors;
    index.nameLength = 4;
    index.kind = kSecurityHashes;
    index.name = kSdh;
    strcpy(index.owner, "$Secure:$SDH");
    CheckIndex(vol, ni, index);
    index.kind = kSecurityIds;
    index.name = kSii;
    strcpy(index.owner, "$Secure:$SII");
    CheckIndex(vol, ni, index);
  }
  ntfs_inode_close(ni);
}

}  // namespace ntfscheck
