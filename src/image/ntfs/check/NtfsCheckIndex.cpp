// The check's walk of an index (a folder's $I30, $Secure's $SDH and $SII):
// every node whole and in order, every entry's key sound for its index
// (a folder's names a sound record in use by a name it holds; $Secure's
// point at the descriptor in $SDS they stand for), every index block in
// use named once by the tree.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "image/ntfs/check/NtfsCheckIndex.h"

namespace ntfscheck {

namespace {

// "root" (block -1) or "block N", as the lines name an index node.
struct NodeName {
  char text[32];
  explicit NodeName(s64 block) {
    if (block < 0)
      snprintf(text, sizeof text, "root");
    else
      snprintf(text, sizeof text, "block %lld", (long long)block);
  }
};

#define INDEX_FAULT(...) (g.indexFaults++, FAULT(__VA_ARGS__))

// A folder's entry: its key is the file's name, in this folder; the
// record it names is in use, whole, of that sequence number and holds
// that name. False when the entry is corrupt.
bool CheckNameEntry(const Index& index, const char* where, const u8* e, u32 entryLength,
                    u32 keyLength) {
  if (keyLength < 0x42 || 16 + keyLength > entryLength || 0x42u + 2u * e[16 + 0x40] > keyLength ||
      Ref48(e + 16) != index.record)
    return false;
  s64 n = Ref48(e);
  u16 sequence = Ld16(e + 6);
  const char* owner = index.owner;
  if (n >= (s64)g.records.size()) {
    INDEX_FAULT("Index %s of %s names record %lld, past the end of $MFT.\n", where, owner,
                (long long)n);
  } else if (!g.records[(size_t)n].sound) {
    INDEX_FAULT("Index %s of %s names record %lld, which is not in use or damaged.\n", where, owner,
                (long long)n);
  } else if (sequence && sequence != g.records[(size_t)n].sequence) {
    INDEX_FAULT("Index %s of %s names record %lld with sequence number %u; it holds %u.\n", where,
                owner, (long long)n, sequence, g.records[(size_t)n].sequence);
  } else {
    u64 h = NameDigest(n, e + 16, keyLength);
    if (!std::binary_search(g.names.begin(), g.names.end(), h)) {
      INDEX_FAULT("Index %s of %s names record %lld by a name the record does not hold.\n", where,
                  owner, (long long)n);
    } else {
      g.indexed.push_back(h);
      g.records[(size_t)n].entries++;
    }
  }
  return true;
}

// $Secure's entries: a key of the hash and the id ($SDH) or the id alone
// ($SII), and the header of the descriptor in $SDS as data.
bool CheckSecurityEntry(const Index& index, const char* where, const u8* e, u32 entryLength,
                        u32 keyLength) {
  u32 dataOffset = Ld16(e), dataLength = Ld16(e + 2);
  bool byHash = index.kind == kSecurityHashes;
  if (keyLength != (byHash ? 8u : 4u) || dataLength < 20 || dataOffset < 16 + keyLength ||
      dataOffset + dataLength > entryLength)
    return false;
  const u8* d = e + dataOffset;
  u32 hash = Ld32(d), id = Ld32(d + 4);
  if (byHash ? Ld32(e + 16) != hash || Ld32(e + 20) != id : Ld32(e + 16) != id) return false;
  auto at = index.descriptors->find(id);
  if (at == index.descriptors->end() || at->second.offset != Ld64(d + 8) ||
      at->second.length != Ld32(d + 16) || at->second.hash != hash)
    INDEX_FAULT(
        "Index %s of %s: the entry of security id %u does not point at its descriptor in "
        "$SDS.\n",
        where, index.owner, id);
  return true;
}

// Keys in the order their index keeps them: <0, 0 or >0 as a against b.
int CompareKeys(ntfs_volume* vol, const Index& index, const u8* a, const u8* b) {
  if (index.kind == kFileNames) {
    if (!vol->upcase) return 0;  // a volume mounted partly has no table
    return ntfs_names_full_collate((const ntfschar*)(a + 0x42), a[0x40],
                                   (const ntfschar*)(b + 0x42), b[0x40], IGNORE_CASE, vol->upcase,
                                   vol->upcase_len);
  }
  for (int i = 0; i < (index.kind == kSecurityHashes ? 2 : 1); i++)
    if (Ld32(a + 4 * i) != Ld32(b + 4 * i)) return Ld32(a + 4 * i) < Ld32(b + 4 * i) ? -1 : 1;
  return 0;
}

// The entries of one index node (p: its first entry, length: the bytes to
// the end of the node's entries), the VCNs of the nodes below it added to
// children. block is -1 for the index root.
void CheckIndexEntries(ntfs_volume* vol, const Index& index, s64 block, const u8* p, u32 length,
                       std::vector<s64>* children) {
  const NodeName node(block);
  const char* where = node.text;
  const u8* previous = nullptr;
  for (u32 at = 0;;) {
    if (at + 16 > length) break;
    const u8* e = p + at;
    u32 entryLength = Ld16(e + 8), keyLength = Ld16(e + 10), flags = Ld16(e + 12);
    if (entryLength < 16 || (entryLength & 7) || at + entryLength > length) break;
    // An entry with a node below names it last.
    if (flags & 1) {
      if (entryLength < 24) break;
      children->push_back((s64)Ld64(e + entryLength - 8));
    }
    // The node's last entry ends its entries.
    if (flags & 2) {
      if (at + entryLength == length) return;
      break;
    }
    if (!(index.kind == kFileNames ? CheckNameEntry : CheckSecurityEntry)(index, where, e,
                                                                          entryLength, keyLength))
      break;
    if (previous && CompareKeys(vol, index, previous, e + 16) > 0) {
      INDEX_FAULT("Index %s of %s: its %s are out of order.\n", where, index.owner,
                  index.kind == kFileNames ? "names" : "keys");
      return;
    }
    previous = e + 16;
    at += entryLength;
  }
  INDEX_FAULT("Index %s of %s: its entries are corrupt.\n", where, index.owner);
}

// The index node header at hdr (within `room` bytes) and its entries.
void CheckIndexNode(ntfs_volume* vol, const Index& index, s64 block, const u8* hdr, u32 room,
                    std::vector<s64>* children) {
  u32 entriesOffset = Ld32(hdr), indexLength = Ld32(hdr + 4), allocated = Ld32(hdr + 8);
  if (room < 16 || indexLength > room || (block >= 0 && allocated != room) || entriesOffset < 16 ||
      entriesOffset >= indexLength) {
    INDEX_FAULT("Index %s of %s: its header is corrupt.\n", NodeName(block).text, index.owner);
    return;
  }
  CheckIndexEntries(vol, index, block, hdr + entriesOffset, indexLength - entriesOffset, children);
}

void CheckIndexBlock(ntfs_volume* vol, const Index& index, s64 block, u8* b, u32 blockSize,
                     std::vector<s64>* children) {
  if (Ld32(b) != 0x58444E49) {  // "INDX"
    INDEX_FAULT("Index block %lld of %s: bad signature (0x%08x).\n", (long long)block, index.owner,
                Ld32(b));
    return;
  }
  u32 torn;
  if (!UndoFixups(b, blockSize, &torn)) {
    INDEX_FAULT("Index block %lld of %s: the update sequence of sector %u is torn.\n",
                (long long)block, index.owner, torn);
    return;
  }
  u32 vcnSize = blockSize >= vol->cluster_size ? vol->cluster_size : 512;
  s64 vcn = (s64)Ld64(b + 16);
  if (vcn != block * blockSize / vcnSize) {
    INDEX_FAULT("Index block %lld of %s: it says VCN %lld.\n", (long long)block, index.owner,
                (long long)vcn);
    return;
  }
  CheckIndexNode(vol, index, block, b + 0x18, blockSize - 0x18, children);
}

// The index blocks in use, read in runs of neighbours. children holds the
// VCNs the root names; every block in use must be named once by the tree,
// and every name must be of a block in use.
void CheckIndexBlocks(ntfs_volume* vol, ntfs_inode* ni, const Index& index, u32 blockSize,
                      std::vector<s64>* children) {
  const s64 kRunBytes = 1 << 20;
  s64 mapLength = 0;
  ntfschar* name = const_cast<ntfschar*>(index.name);
  u8* map = (u8*)ntfs_attr_readall(ni, AT_BITMAP, name, index.nameLength, &mapLength);
  ntfs_attr* na = ntfs_attr_open(ni, AT_INDEX_ALLOCATION, name, index.nameLength);
  if (!map || !na || blockSize < 512 || blockSize > 65536 || (blockSize & (blockSize - 1))) {
    INDEX_FAULT("Index of %s: its blocks cannot be read.\n", index.owner);
  } else {
    s64 blocks = na->data_size / blockSize;
    s64 perRun = kRunBytes / blockSize;
    auto inUse = [&](s64 k) { return k < mapLength * 8 && ((map[k >> 3] >> (k & 7)) & 1); };
    std::vector<u8> run((size_t)(perRun * blockSize));
    for (s64 k = 0; k < mapLength * 8; k++)
      if (inUse(k) && k >= blocks)
        INDEX_FAULT("Index of %s: block %lld is marked in use past the blocks there are.\n",
                    index.owner, (long long)k);
    for (s64 k = 0; k < blocks;) {
      if (!inUse(k)) {
        k++;
        continue;
      }
      s64 end = k;
      while (end < blocks && end - k < perRun && inUse(end)) end++;
      s64 bytes = (end - k) * blockSize;
      if (ntfs_attr_pread(na, k * blockSize, bytes, run.data()) != bytes) {
        INDEX_FAULT("Index blocks %lld to %lld of %s cannot be read.\n", (long long)k,
                    (long long)(end - 1), index.owner);
      } else {
        for (s64 i = k; i < end; i++)
          CheckIndexBlock(vol, index, i, &run[(size_t)((i - k) * blockSize)], blockSize, children);
      }
      k = end;
    }
    u32 vcnSize = blockSize >= vol->cluster_size ? vol->cluster_size : 512;
    std::vector<u8> named((size_t)blocks, 0);
    for (s64 vcn : *children) {
      s64 k = vcn >= 0 && vcn < ((s64)1 << 40) ? vcn * vcnSize / blockSize : -1;
      if (k < 0 || k >= blocks || !inUse(k) || named[(size_t)k]++ || (u64)vcn * vcnSize % blockSize)
        INDEX_FAULT("Index of %s: a node names block VCN %lld wrongly.\n", index.owner,
                    (long long)vcn);
    }
    for (s64 k = 0; k < blocks; k++)
      if (inUse(k) && !named[(size_t)k])
        INDEX_FAULT("Index block %lld of %s is in use but no node names it.\n", (long long)k,
                    index.owner);
  }
  if (na) ntfs_attr_close(na);
  free(map);
}

}  // namespace

void CheckIndex(ntfs_volume* vol, ntfs_inode* ni, const Index& index) {
  s64 length = 0;
  ntfschar* name = const_cast<ntfschar*>(index.name);
  u8* root = (u8*)ntfs_attr_readall(ni, AT_INDEX_ROOT, name, index.nameLength, &length);
  if (!root || length < 32) {
    INDEX_FAULT("Index of %s: it has no root.\n", index.owner);
  } else {
    std::vector<s64> children;
    CheckIndexNode(vol, index, -1, root + 16, (u32)length - 16, &children);
    if (root[28] & 1)
      CheckIndexBlocks(vol, ni, index, Ld32(root + 8), &children);
    else if (!children.empty())
      INDEX_FAULT("Index root of %s names blocks it does not have.\n", index.owner);
  }
  free(root);
}

void CheckFolder(ntfs_volume* vol, s64 folder) {
  g.record = folder;
  Index index;
  index.record = folder;
  index.kind = kFileNames;
  index.name = NTFS_INDEX_I30;
  index.nameLength = 4;
  snprintf(index.owner, sizeof index.owner, "folder %lld", (long long)folder);
  ntfs_inode* ni = ntfs_inode_open(vol, (MFT_REF)folder);
  if (!ni) {
    INDEX_FAULT("Folder %lld cannot be opened.\n", (long long)folder);
    return;
  }
  CheckIndex(vol, ni, index);
  ntfs_inode_close(ni);
}

}  // namespace ntfscheck
