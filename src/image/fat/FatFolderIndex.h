// The names of the folders a mount has searched, so that a folder is read
// once and not from its first entry for every name: each entry set under
// digests of its names as the volume compares them (up-cased through the
// volume's table; on FAT also the short name, as text and as its 11
// bytes), the runs of free entries, the folder's clusters and where its
// entries end. A digest only narrows the search: every entry it points at
// is read and compared as the walk compares (FatDirectory.cpp), so a wrong
// index costs a walk, never a wrong answer; what it must never miss is an
// entry set, which is why every change of a folder's entries goes through
// it or drops it.
#pragma once
#include <stdint.h>

#include <map>
#include <vector>

#include "image/fat/FatModule.h"

class FatFolderIndex {
 public:
  // total: the mount's count of keys, kept in step.
  explicit FatFolderIndex(size_t* total);
  ~FatFolderIndex();
  FatFolderIndex(const FatFolderIndex&) = delete;
  FatFolderIndex& operator=(const FatFolderIndex&) = delete;

  // Entry sets by digest (the byte offset of their first entry).
  bool AddKey(uint32_t key, uint32_t setOffset);
  // False when the pair is not held.
  bool RemoveKey(uint32_t key, uint32_t setOffset);
  // Appends the offsets held under key.
  void Find(uint32_t key, std::vector<uint32_t>* offsets) const;
  size_t Keys() const { return m_used; }

  // Runs of free entries, [from, to) in bytes. False when part of it is
  // free already (the index is not what the folder holds).
  bool AddFree(uint32_t from, uint32_t to);
  // Takes [from, to) out of a run; false when it is not all free as known.
  bool TakeFree(uint32_t from, uint32_t to);
  // Where a set of `bytes` goes as a search from the first entry would put
  // it: the first run long enough, else the run that ends the folder
  // (which grows), else allocEnd.
  uint32_t FreeHint(uint32_t bytes);

  std::vector<uint32_t> clusters;  // the chain, in order (not the fixed root's)
  uint32_t allocEnd = 0;           // bytes the folder's clusters hold
  uint32_t endMark = 0;  // the first entry whose first byte is 0 (allocEnd when none)
  bool walkOnly = false;  // searched by the walk only (damage, or too many names)

 private:
  struct Slot {
    uint32_t key, offset;
  };
  size_t Home(uint32_t key) const;
  bool Grow();

  std::vector<Slot> m_slots;  // linear probing; offset 0xFFFFFFFF empty
  size_t m_used = 0;
  size_t* m_total;
  std::map<uint32_t, uint32_t> m_free;  // run start -> end
  // Per set size in entries: no run of that many starts before this offset.
  uint32_t m_fitFrom[32];
};

// Digests of a name as the volume compares it, and of 11 short-name bytes.
uint32_t FatNameKey(const FatWorkArea* fs, const uint16_t* name, uint32_t length);
uint32_t FatShortKey(const uint8_t* sfn);

// The indexes of a mount, by the folder's first cluster (0: the fixed root
// of FAT12/16). FatFolderIndexOf: null when the folder has none;
// FatNewFolderIndex: an empty one in place of any other (null without
// memory); FatFolderIndexGrown notes a new last cluster of the folder's
// chain (zeroed, free entries). FatCheckFolderKeys weighs the mount's
// keys after a change, dropping other folders' indexes when there are too
// many (false: this folder's alone are too many to keep).
FatFolderIndex* FatFolderIndexOf(FatWorkArea* fs, uint32_t first);
FatFolderIndex* FatNewFolderIndex(FatWorkArea* fs, uint32_t first);
void FatDropFolderIndex(FatWorkArea* fs, uint32_t first);
bool FatNoteFolderCluster(FatWorkArea* fs, uint32_t first, uint32_t cluster);
void FatFolderIndexGrown(FatWorkArea* fs, uint32_t first, uint32_t cluster);
bool FatCheckFolderKeys(FatWorkArea* fs, uint32_t first);
