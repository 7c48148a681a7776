// Directories: walking entries, finding, registering and removing names,
// and the public directory operations.
#include <algorithm>
#include <string>
#include <vector>

#include "image/fat/FatInternal.h"
#include "image/fat/FatCodePage.h"
#include "image/fat/FatFolderIndex.h"

namespace {
const uint32_t kNone = 0xFFFFFFFF;
const uint8_t kLfnOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

bool IsExfat(const FatWorkArea* fs) {
  return fs->fsType == FAT_TYPE_EXFAT;
}
bool IsFixedRoot(const FatDirObject* dp) {
  return dp->chain.first == 0 && dp->fs->fsType != FAT_TYPE_EXFAT && dp->fs->fsType != FAT_TYPE_32;
}

// The key of a folder's index: its first cluster (0 for the fixed root).
uint32_t FolderKey(const FatDirObject* dp) {
  return IsFixedRoot(dp) ? 0 : dp->chain.first;
}

void DirRoot(FatWorkArea* fs, FatDirObject* dp) {
  dp->fs = fs;
  dp->mountId = fs->mountId;
  dp->chain.first = (fs->fsType == FAT_TYPE_32 || IsExfat(fs)) ? fs->rootDir : 0;
  dp->chain.contiguous = 0;
  dp->chain.allocBytes = 0;
  dp->isRoot = 1;
  memset(&dp->self, 0, sizeof(dp->self));
  dp->self.setOffset = kNone;
  dp->found.setOffset = kNone;
  dp->offset = 0;
  dp->cluster = 0;
  dp->sector = 0;
  dp->damagedSet = kNone;
  dp->stopAtDamage = 0;
}

int DirSeek(FatDirObject* dp, uint32_t ofs) {
  FatWorkArea* fs = dp->fs;
  uint32_t ss = fs->sectorSize;
  if (ofs >= (IsExfat(fs) ? 0x10000000u : 0x200000u)) return FAT_NO_FILE;
  if (IsFixedRoot(dp)) {
    if (ofs / 32 >= fs->rootEntries) return FAT_NO_FILE;
    dp->cluster = 0;
    dp->sector = fs->rootDir + ofs / ss;
  } else {
    if (!dp->chain.first) return FAT_NO_FILE;
    uint32_t c = dp->chain.first, n = ofs / ClusterBytes(fs);
    // A folder's chain the index holds is not walked again.
    const FatFolderIndex* index =
        dp->chain.contiguous ? nullptr : FatFolderIndexOf(fs, dp->chain.first);
    if (index && !index->walkOnly && n < index->clusters.size()) {
      c = index->clusters[n];
      n = 0;
    }
    for (; n; n--) {
      uint32_t next;
      int r = FatNextCluster(fs, &dp->chain, c, &next);
      if (r) return r;
      if (!next) return FAT_NO_FILE;
      c = next;
    }
    dp->cluster = c;
    dp->sector = ClusterSector(fs, c) + ofs % ClusterBytes(fs) / ss;
  }
  dp->offset = ofs;
  return FAT_OK;
}

// The bytes of entries a folder holds at most: a FAT12/16 root its fixed
// entries, any other folder 2 MiB on FAT (Windows' limit, 65,536 entries),
// 256 MiB on exFAT.
uint32_t FolderLimit(const FatDirObject* dp) {
  if (IsFixedRoot(dp)) return dp->fs->rootEntries * 32u;
  return IsExfat(dp->fs) ? 0x10000000u : 0x200000u;
}

// Moves to the next entry; with stretch a full directory grows by a zeroed
// cluster (FAT_FULL when the volume has none, FAT_FOLDER_FULL when the
// directory is at its largest).
int DirNext(FatDirObject* dp, bool stretch) {
  FatWorkArea* fs = dp->fs;
  uint32_t ss = fs->sectorSize;
  uint32_t ofs = dp->offset + 32;
  if (ofs >= FolderLimit(dp)) return stretch ? FAT_FOLDER_FULL : FAT_NO_FILE;
  if (ofs % ss == 0) {
    if (IsFixedRoot(dp)) {
      dp->sector++;
    } else if (ofs % ClusterBytes(fs) == 0) {
      uint32_t next;
      int r = FatNextCluster(fs, &dp->chain, dp->cluster, &next);
      if (r) return r;
      if (!next) {
        if (!stretch) return FAT_NO_FILE;
        r = FatExtendChain(fs, &dp->chain, dp->cluster, &next);
        if (r) return r;
        if ((r = FatZeroRun(fs, ClusterSector(fs, next), fs->clusterSize))) return r;
        dp->chain.allocBytes += ClusterBytes(fs);
        if (IsExfat(fs) && dp->self.setOffset != kNone) {
          r = FatUpdateExfatStream(fs, &dp->self, &dp->chain, dp->chain.allocBytes, false, 0);
          if (r) return r;
        }
        FatFolderIndexGrown(fs, FolderKey(dp), next);
      }
      dp->cluster = next;
      dp->sector = ClusterSector(fs, next);
    } else {
      dp->sector++;
    }
  }
  dp->offset = ofs;
  return FAT_OK;
}

int DirEntry(FatDirObject* dp, uint8_t** e) {
  int r = FatLoadWindow(dp->fs, dp->sector);
  if (r) return r;
  *e = dp->fs->window + dp->offset % dp->fs->sectorSize;
  return FAT_OK;
}

// Reads the object at or after the cursor into dp->entry (and dp->stream),
// its name into the long-name buffer; the cursor stays on its last entry.
int DirReadObject(FatDirObject* dp) {
  FatWorkArea* fs = dp->fs;
  uint16_t* lfn = fs->lfnBuffer;
  uint8_t* e;
  int r;
  if (IsExfat(fs)) {
    uint8_t* set = fs->exfatBuffer;
    for (;;) {
      if ((r = DirEntry(dp, &e))) return r;
      if (e[0] == 0) return FAT_NO_FILE;
      if (e[0] == 0x85) {
        // The stream entry, the name entries its length needs, then only
        // secondary entries (vendor extensions) that the check value covers.
        uint32_t n = e[1] + 1u;
        uint32_t start = dp->offset;
        bool whole = n >= 3 && n <= 19;
        if (whole) memcpy(set, e, 32);
        uint32_t i = 1, names = 0;
        for (; whole && i < n; i++) {
          if ((r = DirNext(dp, false)) == FAT_NO_FILE) {
            // Cut off by the folder's end.
            if (dp->damagedSet == kNone) dp->damagedSet = start;
            if (!dp->stopAtDamage) return r;
            break;
          }
          if (r) return r;
          if ((r = DirEntry(dp, &e))) return r;
          if (i == 2) names = (set[35] + 14u) / 15;
          uint8_t want = i == 1 ? 0xC0 : i < 2 + names ? 0xC1 : 0;
          if (want ? e[0] != want : (e[0] & 0xC0) != 0xC0) break;
          memcpy(set + 32 * i, e, 32);
        }
        uint32_t len = set[35];
        if (whole && i == n && Ld16(set + 2) == FatExfatSetChecksum(set, n) && len &&
            2 + names <= n) {
          for (uint32_t k = 0; k < len; k++)
            lfn[k] = Ld16(set + 64 + (k / 15) * 32 + 2 + (k % 15) * 2);
          lfn[len] = 0;
          dp->lfnLength = (uint16_t)len;
          dp->hasLfn = 1;
          memcpy(dp->entry, set, 32);
          memcpy(dp->stream, set + 32, 32);
          dp->found.dir = dp->chain;
          dp->found.setOffset = start;
          dp->found.entryOffset = start;
          dp->found.setCount = (uint8_t)n;
          return FAT_OK;
        }
        // A set that fails its check: passed over, and noted (a name not
        // found in this folder may be the one it holds).
        if (dp->damagedSet == kNone) dp->damagedSet = start;
        if (dp->stopAtDamage) {
          uint32_t have = whole ? i : 0, k = 0;
          for (uint32_t at = 2; at < have && set[32 * at] == 0xC1; at++)
            for (uint32_t j = 0; j < 15 && k < len && k < 255; j++)
              lfn[k++] = Ld16(set + 32 * at + 2 + 2 * j);
          lfn[k] = 0;
          dp->lfnLength = (uint16_t)k;
          dp->found.setOffset = start;
          // kNone: the cursor's entry broke the set and is read again.
          dp->found.entryOffset = whole && i < n && r != FAT_NO_FILE ? kNone : dp->offset;
          return FAT_SET_DAMAGED;
        }
        if (whole && i < n) continue;  // re-examine the entry that broke the set
      }
      if ((r = DirNext(dp, false))) return r;
    }
  }
  uint32_t ord = 0xFF, chk = 0, blk = 0, len = 0;
  for (;;) {
    if ((r = DirEntry(dp, &e))) return r;
    uint8_t b = e[0];
    if (b == 0) return FAT_NO_FILE;
    uint8_t attr = e[11] & 0x3F;
    if (b == 0xE5) {
      ord = 0xFF;
    } else if (attr == FAT_ATTR_LFN) {
      if (b & 0x40) {
        b &= 0xBF;
        ord = b;
        chk = e[13];
        blk = dp->offset;
        len = 0;
      }
      if (b == ord && e[13] == chk && b >= 1 && b <= 20 && Ld16(e + 26) == 0) {
        uint32_t base = (b - 1) * 13u;
        for (uint32_t k = 0; k < 13; k++) {
          uint16_t wc = Ld16(e + kLfnOffsets[k]);
          uint32_t at = base + k;
          if (at < 255)
            lfn[at] = wc;
          else if (wc != 0 && wc != 0xFFFF && !len)
            ord = 0xFF;                       // over 255
          if (wc == 0 && !len) len = at + 1;  // 1 + position of the end
        }
        if (ord != 0xFF) {
          if ((e[0] & 0x40) && !len) len = base + 14;
          ord--;
        }
      } else {
        ord = 0xFF;
      }
    } else if (attr & FAT_ATTR_VOLUME) {
      ord = 0xFF;
    } else {
      dp->hasLfn = ord == 0 && chk == FatSfnChecksum(e) && len >= 1 && len <= 256;
      if (dp->hasLfn) {
        dp->lfnLength = (uint16_t)(len - 1);
        lfn[len - 1] = 0;
      } else {
        FatSfnToText(e, lfn);
        uint32_t n = 0;
        while (lfn[n]) n++;
        dp->lfnLength = (uint16_t)n;
      }
      memcpy(dp->entry, e, 32);
      dp->found.dir = dp->chain;
      dp->found.setOffset = dp->hasLfn ? blk : dp->offset;
      dp->found.entryOffset = dp->offset;
      dp->found.setCount = 0;
      return FAT_OK;
    }
    if ((r = DirNext(dp, false))) return r;
  }
}

// The "." and ".." entries that open a subdirectory: exactly those names,
// directories, in the first two places. Anything else named so is damage.
bool IsDotEntry(const FatDirObject* dp) {
  if (IsExfat(dp->fs) || dp->isRoot || dp->hasLfn || !(dp->entry[11] & FAT_ATTR_DIRECTORY))
    return false;
  uint32_t at = dp->found.entryOffset;
  return (at == 0 && !memcmp(dp->entry, ".          ", 11)) ||
         (at == 32 && !memcmp(dp->entry, "..         ", 11));
}

// A name read from the disk must name one entry of its directory: not
// empty, not "." or "..", no separator or NUL inside.
bool IsSaneName(const uint16_t* name, uint32_t length) {
  if (!length || (name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.')))) return false;
  for (uint32_t i = 0; i < length; i++)
    if (name[i] == 0 || name[i] == '\\' || name[i] == '/') return false;
  return true;
}

// Whether the object found is the name searched: FAT_OK, FAT_NO_FILE, or
// FAT_SET_DAMAGED for an exFAT set of the name whose hash does not fit it
// (readers that go by the hash would not find it).
int Compare(const FatDirObject* dp, const FatName* name, uint16_t hash) {
  FatWorkArea* fs = dp->fs;
  bool match;
  if (IsExfat(fs)) {
    match = dp->stream[3] == name->length &&
            FatNamesEqual(fs, fs->lfnBuffer, dp->lfnLength, name->lfn, name->length);
    if (match && Ld16(dp->stream + 4) != hash) return FAT_SET_DAMAGED;
  } else if (name->dot) {
    match = !memcmp(dp->entry, name->sfn, 11);
  } else if (IsDotEntry(dp)) {
    match = false;
  } else {
    match = (dp->hasLfn &&
             FatNamesEqual(fs, fs->lfnBuffer, dp->lfnLength, name->lfn, name->length)) ||
            (!name->needLfn && !memcmp(dp->entry, name->sfn, 11));
    if (!match) {
      uint16_t text[13];
      FatSfnToText(dp->entry, text);
      uint32_t n = 0;
      while (text[n]) n++;
      match = FatNamesEqual(fs, text, n, name->lfn, name->length);
    }
  }
  return match ? FAT_OK : FAT_NO_FILE;
}

// ---- the folder index (FatFolderIndex.h): how the walk sees a folder ----

// The keys of the object found: its name as compared; on FAT also its
// short name as text and as bytes. Returns how many (distinct).
uint32_t ObjectKeys(const FatDirObject* dp, uint32_t* keys) {
  FatWorkArea* fs = dp->fs;
  uint32_t n = 0;
  if (IsExfat(fs) || dp->hasLfn) keys[n++] = FatNameKey(fs, fs->lfnBuffer, dp->lfnLength);
  if (!IsExfat(fs)) {
    uint16_t text[13];
    FatSfnToText(dp->entry, text);
    uint32_t len = 0;
    while (text[len]) len++;
    uint32_t k = FatNameKey(fs, text, len);
    if (!n || keys[0] != k) keys[n++] = k;
    keys[n++] = FatShortKey(dp->entry);
  }
  return n;
}

bool IndexObject(FatFolderIndex* index, const FatDirObject* dp) {
  uint32_t keys[3];
  uint32_t n = ObjectKeys(dp, keys);
  for (uint32_t i = 0; i < n; i++)
    if (!index->AddKey(keys[i], dp->found.setOffset)) return false;
  return true;
}

// Reads the object whose set starts at ofs, as the walk reads it there.
bool ReadObjectAt(FatDirObject* dp, uint32_t ofs) {
  dp->damagedSet = kNone;
  return DirSeek(dp, ofs) == FAT_OK && DirReadObject(dp) == FAT_OK &&
         dp->found.setOffset == ofs && dp->damagedSet == kNone;
}

const int kDamage = -1;

// The objects from the cursor to where the walk stops (noted in *stop):
// each indexed, FAT_OK; kDamage for what only the walk answers as it
// should (a set failing its check, a name hash that does not fit).
int ScanObjects(FatDirObject* w, FatFolderIndex* index, uint32_t* stop) {
  FatWorkArea* fs = w->fs;
  w->damagedSet = kNone;
  w->stopAtDamage = 0;
  int r;
  for (;;) {
    if ((r = DirReadObject(w))) break;
    if (w->damagedSet != kNone) return kDamage;
    if (IsExfat(fs) && Ld16(w->stream + 4) != FatExfatNameHash(fs, fs->lfnBuffer, w->lfnLength))
      return kDamage;
    if (!IndexObject(index, w)) return FAT_NOT_ENOUGH_CORE;
    if ((r = DirNext(w, false))) break;
  }
  if (r != FAT_NO_FILE) return r;
  if (w->damagedSet != kNone) return kDamage;
  uint8_t* e;
  if ((r = DirEntry(w, &e))) return r;
  *stop = e[0] == 0 ? w->offset : index->allocEnd;
  return FAT_OK;
}

// Reads the folder once, as the walk would: its chain, its runs of free
// entries and where its entries end, then every object under its keys.
// Null when the folder is left to the walk.
FatFolderIndex* BuildIndex(const FatDirObject* dp) {
  FatWorkArea* fs = dp->fs;
  const uint32_t key = FolderKey(dp);
  FatFolderIndex* index = FatNewFolderIndex(fs, key);
  if (!index) return nullptr;
  const bool fixed = IsFixedRoot(dp);
  FatDirObject w = *dp;
  int r = DirSeek(&w, 0);
  if (r) {
    // Nothing to read (or it cannot be read): the walk answers.
    FatDropFolderIndex(fs, key);
    return nullptr;
  }
  try {
    uint32_t run = kNone;
    index->endMark = kNone;
    while (!r) {
      if (!fixed && w.offset % ClusterBytes(fs) == 0 && !FatNoteFolderCluster(fs, key, w.cluster)) {
        r = kDamage;
        break;
      }
      uint8_t* e;
      if ((r = DirEntry(&w, &e))) break;
      bool free = IsExfat(fs) ? (e[0] & 0x80) == 0 : (e[0] == 0 || e[0] == 0xE5);
      if (e[0] == 0 && index->endMark == kNone) index->endMark = w.offset;
      if (free && run == kNone) run = w.offset;
      if (!free && run != kNone) {
        if (!index->AddFree(run, w.offset)) {
          r = kDamage;
          break;
        }
        run = kNone;
      }
      r = DirNext(&w, false);
    }
    if (r == FAT_NO_FILE) {
      index->allocEnd = w.offset + 32;
      if (index->endMark == kNone) index->endMark = index->allocEnd;
      uint32_t stop = kNone;
      if (run != kNone && !index->AddFree(run, index->allocEnd))
        r = kDamage;
      else if (!(r = DirSeek(&w, 0)) && !(r = ScanObjects(&w, index, &stop)) &&
               stop != index->endMark)
        r = kDamage;
    }
  } catch (const std::bad_alloc&) {
    r = FAT_NOT_ENOUGH_CORE;
  }
  if (!r && FatCheckFolderKeys(fs, key)) return index;
  if (r == kDamage || r == FAT_OK) {
    // Damage (or more names than are kept): searched as before.
    if ((index = FatNewFolderIndex(fs, key))) index->walkOnly = true;
  } else {
    FatDropFolderIndex(fs, key);
  }
  return nullptr;
}

// The folder's index, made at its first search; null for the walk.
FatFolderIndex* FolderIndex(const FatDirObject* dp) {
  FatFolderIndex* index = FatFolderIndexOf(dp->fs, FolderKey(dp));
  if (index) return index->walkOnly ? nullptr : index;
  return BuildIndex(dp);
}

// The index the folder has (none is made); null for the walk.
FatFolderIndex* HeldIndex(const FatDirObject* dp) {
  FatFolderIndex* index = FatFolderIndexOf(dp->fs, FolderKey(dp));
  return index && !index->walkOnly ? index : nullptr;
}

const int kWalk = -1;

// The search through the index: the objects the name's keys point at are
// read and compared as the walk compares, the first in the folder's order
// that is the name answering. kWalk when the index cannot answer.
int FindIndexed(FatDirObject* dp, const FatName* name, uint16_t hash) {
  FatWorkArea* fs = dp->fs;
  FatFolderIndex* index = FolderIndex(dp);
  if (!index) return kWalk;
  std::vector<uint32_t> at;
  try {
    index->Find(FatNameKey(fs, name->lfn, name->length), &at);
    if (!IsExfat(fs) && !name->needLfn) index->Find(FatShortKey(name->sfn), &at);
  } catch (const std::bad_alloc&) {
    return kWalk;
  }
  std::sort(at.begin(), at.end());
  at.erase(std::unique(at.begin(), at.end()), at.end());
  for (uint32_t ofs : at) {
    if (!ReadObjectAt(dp, ofs)) {
      // Not what the index says: the walk answers, and reads it afresh.
      FatDropFolderIndex(fs, FolderKey(dp));
      return kWalk;
    }
    int r = Compare(dp, name, hash);
    if (r == FAT_SET_DAMAGED) dp->damagedSet = dp->found.setOffset;
    if (r != FAT_NO_FILE) return r;
  }
  dp->damagedSet = kNone;
  return FAT_NO_FILE;
}

int FindEntry(FatDirObject* dp, const FatName* name) {
  FatWorkArea* fs = dp->fs;
  uint16_t hash = IsExfat(fs) ? FatExfatNameHash(fs, name->lfn, name->length) : 0;
  int r;
  if (!name->dot && (r = FindIndexed(dp, name, hash)) != kWalk) return r;
  if ((r = DirSeek(dp, 0))) return r;
  dp->damagedSet = kNone;
  for (;;) {
    if ((r = DirReadObject(dp))) {
      // Not found past a set that failed its check: that set may hold it.
      if (r == FAT_NO_FILE && dp->damagedSet != kNone) r = FAT_SET_DAMAGED;
      return r;
    }
    r = Compare(dp, name, hash);
    if (r == FAT_SET_DAMAGED) dp->damagedSet = dp->found.setOffset;
    if (r != FAT_NO_FILE) return r;
    if ((r = DirNext(dp, false))) return r;
  }
}

bool EntryIsDir(const FatDirObject* dp) {
  return IsExfat(dp->fs) ? (Ld16(dp->entry + 4) & FAT_ATTR_DIRECTORY) != 0
                         : (dp->entry[11] & FAT_ATTR_DIRECTORY) != 0;
}

uint8_t EntryAttributes(const FatDirObject* dp) {
  return IsExfat(dp->fs) ? (uint8_t)Ld16(dp->entry + 4) : dp->entry[11];
}

// Chain of the object found.
FatChainRef FoundChain(const FatDirObject* dp) {
  FatChainRef c;
  if (IsExfat(dp->fs)) {
    c.first = Ld32(dp->stream + 20);
    c.contiguous = (dp->stream[1] & 2) ? 1 : 0;
    c.allocBytes = Ld64(dp->stream + 24);
  } else {
    c.first = FatEntryCluster(dp->fs, dp->entry);
    c.contiguous = 0;
    c.allocBytes = 0;
  }
  return c;
}

int SfnExists(FatDirObject* dp, const uint8_t* sfn, bool* exists) {
  *exists = false;
  if (FatFolderIndex* index = HeldIndex(dp)) {
    std::vector<uint32_t> at;
    bool read = true;
    try {
      index->Find(FatShortKey(sfn), &at);
    } catch (const std::bad_alloc&) {
      read = false;
    }
    for (size_t i = 0; read && i < at.size(); i++) {
      if (!(read = ReadObjectAt(dp, at[i]))) break;
      if (!memcmp(dp->entry, sfn, 11)) {
        *exists = true;
        return FAT_OK;
      }
    }
    if (read) return FAT_OK;
    FatDropFolderIndex(dp->fs, FolderKey(dp));
  }
  int r = DirSeek(dp, 0);
  if (r) return r == FAT_NO_FILE ? FAT_OK : r;
  for (;;) {
    uint8_t* e;
    if ((r = DirEntry(dp, &e))) return r;
    if (e[0] == 0) return FAT_OK;
    if (e[0] != 0xE5 && (e[11] & 0x3F) != FAT_ATTR_LFN && !(e[11] & FAT_ATTR_VOLUME) &&
        !memcmp(e, sfn, 11)) {
      *exists = true;
      return FAT_OK;
    }
    r = DirNext(dp, false);
    if (r == FAT_NO_FILE) return FAT_OK;
    if (r) return r;
  }
}

void FillInfo(const FatDirObject* dp, FatFileInfo* info) {
  const FatWorkArea* fs = dp->fs;
  const uint8_t* e = dp->entry;
  memset(info, 0, sizeof(*info));
  if (IsExfat(fs)) {
    info->size = Ld64(dp->stream + 24);
    info->attributes = (uint8_t)Ld16(e + 4);
    info->ctime = Ld16(e + 8);
    info->cdate = Ld16(e + 10);
    info->wtime = Ld16(e + 12);
    info->wdate = Ld16(e + 14);
    info->atime = Ld16(e + 16);
    info->adate = Ld16(e + 18);
    info->cms = e[20];
    info->wms = e[21];
    info->coff = e[22];
    info->woff = e[23];
    info->aoff = e[24];
  } else {
    info->size = Ld32(e + 28);
    info->attributes = e[11];
    info->ctime = Ld16(e + 14);
    info->cdate = Ld16(e + 16);
    info->adate = Ld16(e + 18);
    info->wtime = Ld16(e + 22);
    info->wdate = Ld16(e + 24);
    FatSfnToText(e, info->shortName);
  }
  memcpy(info->name, fs->lfnBuffer, dp->lfnLength * 2);
  info->name[dp->lfnLength] = 0;
}

bool SameEntry(const FatEntryPos& a, const FatEntryPos& b) {
  return a.dir.first == b.dir.first && a.setOffset == b.setOffset;
}
}  // namespace

uint32_t FatEntryCluster(const FatWorkArea* fs, const uint8_t* e) {
  uint32_t c = Ld16(e + 26);
  if (fs->fsType == FAT_TYPE_32) c |= (uint32_t)Ld16(e + 20) << 16;
  return c;
}

void FatSetEntryCluster(const FatWorkArea* fs, uint8_t* e, uint32_t c) {
  St16(e + 26, (uint16_t)c);
  if (fs->fsType == FAT_TYPE_32) St16(e + 20, (uint16_t)(c >> 16));
}

int FatDirFromEntry(FatWorkArea* fs, const FatDirObject* parent, FatDirObject* child) {
  FatChainRef chain = FoundChain(parent);
  FatEntryPos self = parent->found;
  DirRoot(fs, child);
  if (!ValidCluster(fs, chain.first)) return FAT_INT_ERR;
  child->chain = chain;
  child->isRoot = 0;
  child->self = self;
  return FAT_OK;
}

int FatFollowPath(FatDirObject* dp, const uint16_t* path, FatName* last, bool enterLast) {
  FatWorkArea* fs = dp->fs;
  uint32_t watch = dp->watchCluster;
  DirRoot(fs, dp);
  dp->watchCluster = watch;
  dp->watchHit = 0;
  // Components, with "." and ".." resolved in the text.
  struct Comp {
    const uint16_t* p;
    uint32_t n;
  } comps[128];
  uint32_t count = 0;
  const uint16_t* p = path;
  for (;;) {
    while (*p == '/' || *p == '\\') p++;
    if (!*p) break;
    const uint16_t* s = p;
    while (*p && *p != '/' && *p != '\\') p++;
    uint32_t n = (uint32_t)(p - s);
    if (n == 1 && s[0] == '.') continue;
    if (n == 2 && s[0] == '.' && s[1] == '.') {
      if (!count) return FAT_NO_PATH;
      count--;
      continue;
    }
    if (count == 128) return FAT_NO_PATH;
    comps[count].p = s;
    comps[count].n = n;
    count++;
  }
  // The first clusters of the folders walked: a folder met again on its
  // own path (an entry pointing back to an ancestor or to the root) is a
  // cycle, never entered.
  uint32_t trail[129];
  uint32_t depth = 0;
  trail[depth++] = dp->chain.first;
  for (uint32_t i = 0; i < count; i++) {
    int r = FatCreateName(comps[i].p, comps[i].n, last, IsExfat(fs));
    if (r) return r;
    r = FindEntry(dp, last);
    if (r == FAT_SET_DAMAGED) {
      std::u16string folder;
      for (uint32_t k = 0; k < i; k++)
        folder += u"\\" + std::u16string((const char16_t*)comps[k].p, comps[k].n);
      if (folder.empty()) folder = u"\\";
      FatNoteDamagedSet(fs, (const uint16_t*)folder.data(), (uint32_t)folder.size());
    }
    if (r == FAT_NO_FILE) return i + 1 == count ? FAT_NO_FILE : FAT_NO_PATH;
    if (r) return r;
    if (i + 1 == count && !enterLast) return FAT_OK;
    if (!EntryIsDir(dp)) return FAT_NO_PATH;
    FatDirObject child;
    if ((r = FatDirFromEntry(fs, dp, &child))) return r;
    for (uint32_t k = 0; k < depth; k++)
      if (trail[k] == child.chain.first) return FAT_INT_ERR;
    trail[depth++] = child.chain.first;
    child.watchCluster = dp->watchCluster;
    child.watchHit = dp->watchHit;
    if (watch && child.chain.first == watch) child.watchHit = 1;
    *dp = child;
  }
  return FAT_OK;  // the root itself: found.setOffset is none
}

namespace {

// The entries a name's set takes: an exFAT file, stream and name entries;
// a FAT short entry after the long-name entries it needs.
uint32_t SetEntries(const FatWorkArea* fs, const FatName* name) {
  if (IsExfat(fs)) return 2 + (name->length + 14) / 15;
  return 1 + (name->needLfn ? (name->length + 12) / 13 : 0);
}

// The first run of n free entries of the folder from entry offset `from`
// on, at *start; with stretch the folder grows as needed, else FAT_NO_FILE
// when it holds none.
int FindFreeRun(FatDirObject* dp, uint32_t n, bool stretch, uint32_t* start,
                uint32_t from = 0) {
  FatWorkArea* fs = dp->fs;
  int r = DirSeek(dp, from);
  if (r == FAT_NO_FILE) r = FAT_INT_ERR;
  if (r) return r;
  uint32_t run = 0;
  for (;;) {
    uint8_t* e;
    if ((r = DirEntry(dp, &e))) return r;
    bool free = IsExfat(fs) ? (e[0] & 0x80) == 0 : (e[0] == 0 || e[0] == 0xE5);
    if (free) {
      if (!run) *start = dp->offset;
      if (++run == n) return FAT_OK;
    } else {
      run = 0;
    }
    if ((r = DirNext(dp, stretch))) return r;
  }
}

}  // namespace

int FatCheckAndFollow(FatWorkArea* fs, int writeMode, FatDirObject* dp, const uint16_t* path,
                      FatName* last) {
  int r = FatCheckVolume(writeMode, fs);
  if (r) return r;
  dp->fs = fs;
  dp->watchCluster = 0;
  return FatFollowPath(dp, path, last);
}

namespace {

// Registers the name; with the folder's index the free run comes from it
// (*expect: where the set should go), else from a search from the first
// entry.
int RegisterEntry(FatDirObject* dp, const FatName* name, uint8_t* tmpl, uint32_t* expect) {
  FatWorkArea* fs = dp->fs;
  int r;
  uint32_t nent = SetEntries(fs, name);
  uint8_t sfn[11];
  uint8_t* set = fs->exfatBuffer;
  if (IsExfat(fs)) {
    uint32_t nname = (name->length + 14) / 15;
    memset(set, 0, nent * 32);
    memcpy(set, tmpl, 64);
    set[0] = 0x85;
    set[1] = (uint8_t)(nent - 1);
    set[32] = 0xC0;
    set[35] = (uint8_t)name->length;
    St16(set + 36, FatExfatNameHash(fs, name->lfn, name->length));
    for (uint32_t i = 0; i < nname; i++) {
      uint8_t* e = set + 64 + 32 * i;
      e[0] = 0xC1;
      for (uint32_t k = 0; k < 15 && i * 15 + k < name->length; k++)
        St16(e + 2 + 2 * k, name->lfn[i * 15 + k]);
    }
    St16(set + 2, FatExfatSetChecksum(set, nent));
  } else {
    memcpy(sfn, name->sfn, 11);
    if (name->needLfn) {
      // A name that lost characters always takes a tail, as Windows
      // does: its plain short form would match another long name.
      uint32_t n = name->lossy ? 1 : 0;
      for (;; n++) {
        if (n == 100) return FAT_DENIED;
        if (n) FatNumberedSfn(name->sfn, sfn, name->lfn, n);
        bool exists;
        if ((r = SfnExists(dp, sfn, &exists))) return r;
        if (!exists) break;
      }
    }
  }
  // A run of free entries, growing the directory as needed. The run the
  // index knows is read all the same: the entries decide.
  uint32_t from = 0;
  if (FatFolderIndex* index = HeldIndex(dp)) {
    *expect = index->FreeHint(nent * 32);
    // No run ends the folder: from its last entry, which grows it.
    from = *expect < index->allocEnd ? *expect : index->allocEnd - 32;
  }
  uint32_t start = 0;
  if ((r = FindFreeRun(dp, nent, true, &start, from))) return r;
  if ((r = DirSeek(dp, start))) return r;
  uint8_t* e;
  if (IsExfat(fs)) {
    for (uint32_t i = 0; i < nent; i++) {
      if (i && (r = DirNext(dp, false))) return r;
      if ((r = DirEntry(dp, &e))) return r;
      memcpy(e, set + 32 * i, 32);
      fs->winDirty = 1;
    }
    memcpy(dp->entry, set, 32);
    memcpy(dp->stream, set + 32, 32);
    dp->found.setCount = (uint8_t)nent;
    dp->found.entryOffset = start;
  } else {
    uint8_t chk = FatSfnChecksum(sfn);
    for (uint32_t k = nent - 1; k >= 1; k--) {
      if ((r = DirEntry(dp, &e))) return r;
      memset(e, 0, 32);
      e[0] = (uint8_t)(k | (k == nent - 1 ? 0x40 : 0));
      e[11] = FAT_ATTR_LFN;
      e[13] = chk;
      for (int j = 0; j < 13; j++) {
        uint32_t idx = (k - 1) * 13 + j;
        uint16_t wc = idx < name->length ? name->lfn[idx] : idx == name->length ? 0 : 0xFFFF;
        St16(e + kLfnOffsets[j], wc);
      }
      fs->winDirty = 1;
      if ((r = DirNext(dp, false))) return r;
    }
    if ((r = DirEntry(dp, &e))) return r;
    memcpy(e, tmpl, 32);
    memcpy(e, sfn, 11);
    e[12] = name->needLfn ? 0 : name->caseFlags;
    fs->winDirty = 1;
    memcpy(dp->entry, e, 32);
    dp->found.entryOffset = dp->offset;
    dp->found.setCount = 0;
  }
  dp->found.dir = dp->chain;
  dp->found.setOffset = start;
  return FAT_OK;
}

// The set just registered, taken into the folder's index as the walk will
// read it; false when the index cannot follow (it is dropped then).
bool IndexRegistered(const FatDirObject* dp, FatFolderIndex* index, uint32_t expect) {
  FatWorkArea* fs = dp->fs;
  const uint32_t start = dp->found.setOffset;
  const uint32_t end = IsExfat(fs) ? start + dp->found.setCount * 32u : dp->found.entryOffset + 32;
  // Past the entry that ends the folder the walk never reads it.
  if (start != expect || start > index->endMark) return false;
  FatDirObject w = *dp;
  uint8_t* e;
  // A short entry of its own right after long-name entries left behind
  // may be read as theirs.
  if (!IsExfat(fs) && start == dp->found.entryOffset && start &&
      (DirSeek(&w, start - 32) || DirEntry(&w, &e) ||
       ((e[11] & 0x3F) == FAT_ATTR_LFN && e[0] != 0 && e[0] != 0xE5)))
    return false;
  try {
    if (!index->TakeFree(start, end) || !ReadObjectAt(&w, start) ||
        w.found.entryOffset != dp->found.entryOffset || !IndexObject(index, &w))
      return false;
    if (end > index->endMark) {
      // It took the place of the entry that ended the folder: the walk now
      // reads on to the next one.
      uint32_t stop = index->allocEnd;
      if (end < index->allocEnd && (DirSeek(&w, end) || ScanObjects(&w, index, &stop)))
        return false;
      index->endMark = stop;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return FatCheckFolderKeys(fs, FolderKey(dp));
}

// Notes the folder of `path` (the path without its last name, "\\" for
// the root) as the one without a free entry left.
void NoteFullFolder(const FatDirObject* dp, const uint16_t* path) {
  FatWorkArea* fs = dp->fs;
  uint32_t end = 0;
  for (uint32_t n = 0; path && path[n]; n++)
    if (path[n] == '\\' || path[n] == '/') end = n;
  uint32_t at = 0;
  if (!path || (path[0] != '\\' && path[0] != '/')) fs->fullFolder[at++] = '\\';
  for (uint32_t i = 0; i < end && at + 1 < FAT_NOTED_PATH_CHARS; i++)
    fs->fullFolder[at++] = path[i];
  if (!at) fs->fullFolder[at++] = '\\';
  fs->fullFolder[at] = 0;
  fs->fullFolderEntries = FolderLimit(dp) / 32;
  fs->fullFolderFixed = IsFixedRoot(dp) ? 1 : 0;
}

}  // namespace

const uint16_t* FatFullFolder(const FatWorkArea* fs, uint32_t* entries, bool* fixedRoot) {
  if (!fs || !fs->fullFolder[0]) return nullptr;
  if (entries) *entries = fs->fullFolderEntries;
  if (fixedRoot) *fixedRoot = fs->fullFolderFixed != 0;
  return fs->fullFolder;
}

int FatRegisterEntry(FatDirObject* dp, const FatName* name, uint8_t* tmpl, const uint16_t* path) {
  FatWorkArea* fs = dp->fs;
  const uint32_t key = FolderKey(dp);
  uint32_t expect = kNone;
  int r = RegisterEntry(dp, name, tmpl, &expect);
  if (r == FAT_FOLDER_FULL) NoteFullFolder(dp, path);
  FatFolderIndex* index = FatFolderIndexOf(fs, key);
  if (index && !index->walkOnly && (r || !IndexRegistered(dp, index, expect)))
    FatDropFolderIndex(fs, key);
  return r;
}

static int SeekPos(FatWorkArea* fs, const FatEntryPos* pos, uint32_t ofs, FatDirObject* tmp) {
  DirRoot(fs, tmp);
  tmp->chain = pos->dir;
  tmp->isRoot = 0;
  int r = DirSeek(tmp, ofs);
  return r == FAT_NO_FILE ? FAT_INT_ERR : r;
}

// The set leaving the folder's index: its keys, and its entries free.
// False when the index cannot follow.
static bool IndexRemoved(FatWorkArea* fs, const FatEntryPos* pos, FatFolderIndex* index) {
  FatDirObject w;
  if (SeekPos(fs, pos, pos->setOffset, &w) || !ReadObjectAt(&w, pos->setOffset) ||
      w.found.entryOffset != pos->entryOffset || w.found.setCount != pos->setCount)
    return false;
  uint32_t keys[3];
  uint32_t n = ObjectKeys(&w, keys);
  for (uint32_t i = 0; i < n; i++)
    if (!index->RemoveKey(keys[i], pos->setOffset)) return false;
  try {
    return index->AddFree(pos->setOffset, IsExfat(fs) ? pos->setOffset + pos->setCount * 32u
                                                       : pos->entryOffset + 32);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

static int RemoveEntry(FatWorkArea* fs, const FatEntryPos* pos) {
  FatDirObject tmp;
  int r = SeekPos(fs, pos, pos->setOffset, &tmp);
  if (r) return r;
  for (uint32_t i = 0;; i++) {
    uint8_t* e;
    if ((r = DirEntry(&tmp, &e))) return r;
    if (IsExfat(fs))
      e[0] &= 0x7F;
    else
      e[0] = 0xE5;
    fs->winDirty = 1;
    if (IsExfat(fs) ? i + 1 >= pos->setCount : tmp.offset >= pos->entryOffset) break;
    if ((r = DirNext(&tmp, false))) return r == FAT_NO_FILE ? FAT_INT_ERR : r;
  }
  return FAT_OK;
}

int FatRemoveEntry(FatWorkArea* fs, const FatEntryPos* pos) {
  const uint32_t key = pos->dir.first;  // 0 only for the fixed root
  FatFolderIndex* index = FatFolderIndexOf(fs, key);
  if (index && index->walkOnly) index = nullptr;
  // Read before it goes: the keys it was indexed under.
  bool follow = index && IndexRemoved(fs, pos, index);
  int r = RemoveEntry(fs, pos);
  if (index && (r || !follow)) FatDropFolderIndex(fs, key);
  return r;
}

int FatLoadEntrySet(FatWorkArea* fs, const FatEntryPos* pos, uint8_t* set) {
  FatDirObject tmp;
  int r = SeekPos(fs, pos, pos->setOffset, &tmp);
  for (uint32_t i = 0; !r && i < pos->setCount; i++) {
    uint8_t* e;
    if (i && (r = DirNext(&tmp, false))) return r == FAT_NO_FILE ? FAT_INT_ERR : r;
    if ((r = DirEntry(&tmp, &e))) return r;
    memcpy(set + 32 * i, e, 32);
  }
  if (!r && (set[0] != 0x85 || set[32] != 0xC0)) r = FAT_INT_ERR;
  return r;
}

int FatStoreEntrySet(FatWorkArea* fs, const FatEntryPos* pos, uint8_t* set) {
  St16(set + 2, FatExfatSetChecksum(set, pos->setCount));
  FatDirObject tmp;
  int r = SeekPos(fs, pos, pos->setOffset, &tmp);
  for (uint32_t i = 0; !r && i < pos->setCount; i++) {
    uint8_t* e;
    if (i && (r = DirNext(&tmp, false))) return r == FAT_NO_FILE ? FAT_INT_ERR : r;
    if ((r = DirEntry(&tmp, &e))) return r;
    memcpy(e, set + 32 * i, 32);
    fs->winDirty = 1;
  }
  return r;
}

int FatStoreShortEntry(FatWorkArea* fs, const FatEntryPos* pos, const uint8_t* entry) {
  FatDirObject tmp;
  int r = SeekPos(fs, pos, pos->entryOffset, &tmp);
  uint8_t* e;
  if (!r) r = DirEntry(&tmp, &e);
  if (r) return r;
  memcpy(e, entry, 32);
  fs->winDirty = 1;
  return FAT_OK;
}

int FatUpdateExfatStream(FatWorkArea* fs, const FatEntryPos* pos, const FatChainRef* chain,
                         uint64_t size, bool touch, uint8_t attrOr) {
  uint8_t set[608];
  int r = FatLoadEntrySet(fs, pos, set);
  if (r) return r;
  uint8_t* st = set + 32;
  st[1] = (uint8_t)(0x01 | (chain->contiguous && chain->first ? 0x02 : 0));
  St32(st + 20, chain->first);
  St64(st + 8, size);
  St64(st + 24, size);
  St16(set + 4, (uint16_t)(Ld16(set + 4) | attrOr));
  if (touch) FatStampExfatEntry(set, FAT_STAMP_WRITE);
  return FatStoreEntrySet(fs, pos, set);
}

void FatStampExfatEntry(uint8_t* e, unsigned which) {
  uint32_t stamp;
  uint8_t tenMs, offset;
  FatGetExfatNow(&stamp, &tenMs, &offset);
  if (which & FAT_STAMP_CREATE) {
    St32(e + 8, stamp);
    e[20] = tenMs;
    e[22] = offset;
  }
  if (which & FAT_STAMP_WRITE) {
    St32(e + 12, stamp);
    e[21] = tenMs;
    e[23] = offset;
  }
  if (which & FAT_STAMP_ACCESS) {
    St32(e + 16, stamp);
    e[24] = offset;
  }
}

// ---- public operations ----

int FatOpenDirectory(FatWorkArea* fs, FatDirObject* dp, const uint16_t* path) {
  int r = FatCheckVolume(0, fs);
  if (r) return r;
  FatName name;
  dp->fs = fs;
  dp->watchCluster = 0;
  r = FatFollowPath(dp, path, &name, true);
  if (r == FAT_NO_FILE) return FAT_NO_PATH;
  if (r) return r;
  dp->mountId = fs->mountId;
  // A folder whose chain loops would list its entries over and over.
  if (dp->chain.first &&
      (r = FatCheckChain(fs, &dp->chain, dp->chain.contiguous ? dp->chain.allocBytes : 0)))
    return r;
  r = DirSeek(dp, 0);
  if (r == FAT_NO_FILE) {
    dp->sector = 0;  // nothing to read
    r = FAT_OK;
  }
  return r;
}

int FatReadDirectory(FatWorkArea* fs, FatDirObject* dp, FatFileInfo* info) {
  if (!fs || dp->fs != fs || dp->mountId != fs->mountId || !fs->fsType) return FAT_INVALID_OBJECT;
  memset(info, 0, sizeof(*info));
  for (;;) {
    if (!dp->sector) return FAT_OK;
    int r = DirReadObject(dp);
    if (r == FAT_NO_FILE) {
      dp->sector = 0;
      return FAT_OK;
    }
    if (r) return r;
    bool dot = IsDotEntry(dp);
    if (!dot && !IsSaneName(fs->lfnBuffer, dp->lfnLength)) return FAT_INT_ERR;
    if (!dot) FillInfo(dp, info);
    r = DirNext(dp, false);
    if (r == FAT_NO_FILE)
      dp->sector = 0;
    else if (r)
      return r;
    if (!dot) return FAT_OK;
  }
}

int FatCloseDirectory(FatWorkArea* fs, FatDirObject* dp) {
  if (!fs || !dp || dp->fs != fs || dp->mountId != fs->mountId) return FAT_INVALID_OBJECT;
  dp->fs = nullptr;
  return FAT_OK;
}

int FatStatPath(FatWorkArea* fs, const uint16_t* path, FatFileInfo* info) {
  FatDirObject dp;
  FatName name;
  int r = FatCheckAndFollow(fs, 0, &dp, path, &name);
  if (r) return r;
  if (dp.found.setOffset == kNone) return FAT_INVALID_NAME;
  FillInfo(&dp, info);
  return FAT_OK;
}

int FatPathRoom(FatWorkArea* fs, const uint16_t* path, uint64_t* given, bool* grows) {
  *given = 0;
  *grows = false;
  FatDirObject dp;
  FatName name;
  int r = FatCheckAndFollow(fs, 0, &dp, path, &name);
  if (r == FAT_OK) {
    // A file replaced gives back what it holds; its name's entries stay.
    if (dp.found.setOffset != kNone && !EntryIsDir(&dp))
      *given = IsExfat(fs) ? Ld64(dp.stream + 24) : Ld32(dp.entry + 28);
    return FAT_OK;
  }
  if (r != FAT_NO_FILE || name.dot) return r;
  uint32_t start;
  r = FindFreeRun(&dp, SetEntries(fs, &name), false, &start);
  if (r == FAT_NO_FILE) {
    // FAT12/16's root cannot grow: the name is refused, not the room.
    *grows = !IsFixedRoot(&dp);
    return FAT_OK;
  }
  return r;
}

int FatMakeDirectory(FatWorkArea* fs, const uint16_t* path) {
  FatDirObject dp;
  FatName name;
  int r = FatCheckAndFollow(fs, 1, &dp, path, &name);
  if (r == FAT_OK) return FAT_EXIST;
  if (r != FAT_NO_FILE) return r;
  if (name.dot) return FAT_INVALID_NAME;
  FatChainRef chain = {0, 0, 0};
  uint32_t c;
  r = FatExtendChain(fs, &chain, 0, &c);
  if (r) return r;
  chain.allocBytes = ClusterBytes(fs);
  uint32_t ts = FatGetTimestamp();
  uint8_t tmpl[64];
  memset(tmpl, 0, sizeof(tmpl));
  if ((r = FatZeroRun(fs, ClusterSector(fs, c), fs->clusterSize))) goto fail;
  if (IsExfat(fs)) {
    St16(tmpl + 4, FAT_ATTR_DIRECTORY);
    FatStampExfatEntry(tmpl, FAT_STAMP_ALL);
    tmpl[33] = (uint8_t)(0x01 | (chain.contiguous ? 0x02 : 0));
    St64(tmpl + 40, chain.allocBytes);
    St32(tmpl + 52, c);
    St64(tmpl + 56, chain.allocBytes);
  } else {
    // "." and ".." open the new folder.
    uint8_t* w = fs->window;
    if ((r = FatLoadWindow(fs, ClusterSector(fs, c)))) goto fail;
    for (int i = 0; i < 2; i++) {
      uint8_t* e = w + 32 * i;
      memset(e, ' ', 11);
      e[0] = '.';
      if (i) e[1] = '.';
      e[11] = FAT_ATTR_DIRECTORY;
      St16(e + 14, (uint16_t)ts);
      St16(e + 16, (uint16_t)(ts >> 16));
      St16(e + 18, (uint16_t)(ts >> 16));
      St16(e + 22, (uint16_t)ts);
      St16(e + 24, (uint16_t)(ts >> 16));
      FatSetEntryCluster(fs, e, i ? (dp.isRoot ? 0 : dp.chain.first) : c);
    }
    fs->winDirty = 1;
    tmpl[11] = FAT_ATTR_DIRECTORY;
    St16(tmpl + 14, (uint16_t)ts);
    St16(tmpl + 16, (uint16_t)(ts >> 16));
    St16(tmpl + 18, (uint16_t)(ts >> 16));
    St16(tmpl + 22, (uint16_t)ts);
    St16(tmpl + 24, (uint16_t)(ts >> 16));
    FatSetEntryCluster(fs, tmpl, c);
  }
  if ((r = FatRegisterEntry(&dp, &name, tmpl, path))) goto fail;
  return FatFlushVolume(fs);
fail:
  FatFreeChain(fs, &chain, 0);
  FatFlushVolume(fs);
  return r;
}

// True when the directory found holds nothing but "." and "..".
static int DirIsEmpty(FatDirObject* parent, bool* empty) {
  FatDirObject dp;
  *empty = true;
  int r = FatDirFromEntry(parent->fs, parent, &dp);
  if (r) return r;
  r = DirSeek(&dp, 0);
  if (r == FAT_NO_FILE) return FAT_OK;
  while (!r) {
    r = DirReadObject(&dp);
    if (r == FAT_NO_FILE) return FAT_OK;
    if (r) return r;
    if (!IsDotEntry(&dp)) {
      *empty = false;
      return FAT_OK;
    }
    r = DirNext(&dp, false);
  }
  return r == FAT_NO_FILE ? FAT_OK : r;
}

int FatUnlinkPath(FatWorkArea* fs, const uint16_t* path) {
  FatDirObject dp;
  FatName name;
  int r = FatCheckAndFollow(fs, 1, &dp, path, &name);
  if (r) return r;
  if (dp.found.setOffset == kNone) return FAT_INVALID_NAME;
  if (EntryAttributes(&dp) & FAT_ATTR_READONLY) return FAT_DENIED;
  FatChainRef chain = FoundChain(&dp);
  if (EntryIsDir(&dp)) {
    bool empty;
    if ((r = DirIsEmpty(&dp, &empty))) return r;
    if (!empty) return FAT_DENIED;
  }
  // The walk of the records sees the entry's chain before the entry goes
  // (FatFreeChain weighs the chain against the others).
  if (chain.first && (r = FatMapRecords(fs))) return r;
  if ((r = FatRemoveEntry(fs, &dp.found))) return r;
  if (chain.first && (r = FatFreeChain(fs, &chain, 0))) return r;
  return FatFlushVolume(fs);
}

int FatRenamePath(FatWorkArea* fs, const uint16_t* oldPath, const uint16_t* newPath) {
  int r = FatCheckVolume(1, fs);
  if (r) return r;
  FatDirObject od, nd;
  FatName name;
  od.fs = fs;
  od.watchCluster = 0;
  if ((r = FatFollowPath(&od, oldPath, &name))) return r;
  if (od.found.setOffset == kNone) return FAT_INVALID_NAME;
  bool isDir = EntryIsDir(&od);
  FatChainRef chain = FoundChain(&od);
  uint8_t tmpl[64];
  memcpy(tmpl, od.entry, 32);
  memcpy(tmpl + 32, od.stream, 32);
  FatEntryPos oldPos = od.found;

  nd.fs = fs;
  nd.watchCluster = isDir && chain.first ? chain.first : 0;
  r = FatFollowPath(&nd, newPath, &name);
  bool sameEntry = false;
  if (r == FAT_OK) {
    if (nd.found.setOffset == kNone) return FAT_EXIST;
    // Only a new spelling of the same entry may take its own name.
    if (!SameEntry(nd.found, oldPos)) return FAT_EXIST;
    sameEntry = true;
    if ((r = DirSeek(&nd, 0)) && r != FAT_NO_FILE) return r;
  } else if (r != FAT_NO_FILE) {
    return r;
  }
  if (name.dot) return FAT_INVALID_NAME;
  // A folder cannot move into itself or below itself.
  if (nd.watchHit || (nd.watchCluster && nd.chain.first == nd.watchCluster)) return FAT_DENIED;
  if (!IsExfat(fs)) tmpl[11] |= FAT_ATTR_ARCHIVE;
  if (sameEntry) {
    if ((r = FatRemoveEntry(fs, &oldPos))) return r;
    r = FatRegisterEntry(&nd, &name, tmpl, newPath);
    if (r) {
      // Put the old name back.
      FatName oldName;
      FatDirObject back;
      back.fs = fs;
      back.watchCluster = 0;
      if (FatFollowPath(&back, oldPath, &oldName) == FAT_NO_FILE)
        FatRegisterEntry(&back, &oldName, tmpl, oldPath);
      FatFlushVolume(fs);
      return r;
    }
    return FatFlushVolume(fs);
  }
  if ((r = FatRegisterEntry(&nd, &name, tmpl, newPath))) return r;
  if (isDir && !IsExfat(fs) && ValidCluster(fs, chain.first) &&
      nd.chain.first != oldPos.dir.first) {
    // The moved folder's ".." names its new parent.
    if ((r = FatLoadWindow(fs, ClusterSector(fs, chain.first)))) return r;
    uint8_t* e = fs->window + 32;
    if (e[0] == '.' && e[1] == '.') {
      FatSetEntryCluster(fs, e, nd.isRoot ? 0 : nd.chain.first);
      fs->winDirty = 1;
    }
  }
  if ((r = FatRemoveEntry(fs, &oldPos))) return r;
  return FatFlushVolume(fs);
}

static int FindForChange(FatWorkArea* fs, const uint16_t* path, FatDirObject* dp) {
  FatName name;
  int r = FatCheckAndFollow(fs, 1, dp, path, &name);
  if (r) return r;
  if (dp->found.setOffset == kNone) return FAT_INVALID_NAME;
  return FAT_OK;
}

int FatSetAttributes(FatWorkArea* fs, const uint16_t* path, uint8_t attributes, uint8_t mask) {
  FatDirObject dp;
  int r = FindForChange(fs, path, &dp);
  if (r) return r;
  mask &= 0x27;
  if (IsExfat(fs)) {
    uint8_t set[608];
    if ((r = FatLoadEntrySet(fs, &dp.found, set))) return r;
    St16(set + 4, (uint16_t)((Ld16(set + 4) & ~mask) | (attributes & mask)));
    r = FatStoreEntrySet(fs, &dp.found, set);
  } else {
    dp.entry[11] = (uint8_t)((dp.entry[11] & ~mask) | (attributes & mask));
    r = FatStoreShortEntry(fs, &dp.found, dp.entry);
  }
  return r ? r : FatFlushVolume(fs);
}

int FatSetTimes(FatWorkArea* fs, const uint16_t* path, const FatFileInfo* t) {
  FatDirObject dp;
  int r = FindForChange(fs, path, &dp);
  if (r) return r;
  if (IsExfat(fs)) {
    uint8_t set[608];
    if ((r = FatLoadEntrySet(fs, &dp.found, set))) return r;
    St32(set + 8, (uint32_t)t->cdate << 16 | t->ctime);
    St32(set + 12, (uint32_t)t->wdate << 16 | t->wtime);
    St32(set + 16, (uint32_t)t->adate << 16 | t->atime);
    set[20] = t->cms;
    set[21] = t->wms;
    set[22] = t->coff;
    set[23] = t->woff;
    set[24] = t->aoff;
    r = FatStoreEntrySet(fs, &dp.found, set);
  } else {
    uint8_t* e = dp.entry;
    St16(e + 14, t->ctime);
    St16(e + 16, t->cdate);
    St16(e + 18, t->adate);
    St16(e + 22, t->wtime);
    St16(e + 24, t->wdate);
    r = FatStoreShortEntry(fs, &dp.found, e);
  }
  return r ? r : FatFlushVolume(fs);
}

int FatLoadShortEntry(FatWorkArea* fs, const FatEntryPos* pos, uint8_t* entry) {
  FatDirObject tmp;
  int r = SeekPos(fs, pos, pos->entryOffset, &tmp);
  uint8_t* e;
  if (!r) r = DirEntry(&tmp, &e);
  if (r) return r;
  memcpy(entry, e, 32);
  return FAT_OK;
}

namespace {
struct DamageWalk {
  FatWorkArea* fs;
  FatDamagedSetReport report;
  void* context;
  std::vector<uint32_t> seen;  // first clusters of the folders walked
};

int WalkForDamage(DamageWalk& w, FatDirObject* dp, const std::u16string& path, uint32_t depth) {
  FatWorkArea* fs = w.fs;
  const uint16_t* folder = (const uint16_t*)path.c_str();
  std::vector<std::pair<FatDirObject, std::u16string>> children;
  dp->stopAtDamage = 1;
  int r = DirSeek(dp, 0);
  while (!r) {
    r = DirReadObject(dp);
    if (r == FAT_SET_DAMAGED) {
      w.report(w.context, folder, dp->found.setOffset, fs->lfnBuffer, false);
      r = dp->found.entryOffset == kNone ? FAT_OK : DirNext(dp, false);
      continue;
    }
    if (r) break;
    uint32_t len = dp->lfnLength;
    if (!FatUpcaseRefused(fs) && Ld16(dp->stream + 4) != FatExfatNameHash(fs, fs->lfnBuffer, len))
      w.report(w.context, folder, dp->found.setOffset, fs->lfnBuffer, true);
    if (EntryIsDir(dp) && depth < 128) {
      FatDirObject child;
      if (!FatDirFromEntry(fs, dp, &child) &&
          std::find(w.seen.begin(), w.seen.end(), child.chain.first) == w.seen.end()) {
        w.seen.push_back(child.chain.first);
        std::u16string name((const char16_t*)fs->lfnBuffer, len);
        children.emplace_back(child, (path.size() > 1 ? path : u"") + u"\\" + name);
      }
    }
    r = DirNext(dp, false);
  }
  if (r != FAT_NO_FILE) return r;
  for (auto& c : children)
    if ((r = WalkForDamage(w, &c.first, c.second, depth + 1))) return r;
  return FAT_OK;
}
}  // namespace

int FatFindDamagedSets(FatWorkArea* fs, FatDamagedSetReport report, void* context) {
  int r = FatCheckVolume(0, fs);
  if (r) return r;
  if (!IsExfat(fs)) return FAT_OK;
  DamageWalk w = {fs, report, context, {fs->rootDir}};
  FatDirObject root;
  DirRoot(fs, &root);
  return WalkForDamage(w, &root, u"\\", 0);
}
