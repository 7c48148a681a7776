// Helpers shared by the FAT module's source files.
#pragma once
#include <string.h>
#include "common/ByteOrder.h"
#include "image/fat/FatModule.h"

inline uint32_t ClusterBytes(const FatWorkArea* fs) {
  return fs->clusterSize * fs->sectorSize;
}
inline uint32_t ClusterSector(const FatWorkArea* fs, uint32_t c) {
  return fs->dataStart + (c - 2) * fs->clusterSize;
}
inline bool ValidCluster(const FatWorkArea* fs, uint32_t c) {
  return c >= 2 && c < fs->fatEntries;
}

// Multi-sector transfers that bypass the window (kept coherent with it) and
// are split at the disk block's transfer limit. Sectors are volume-absolute.
int FatReadRun(FatWorkArea* fs, uint32_t sector, void* buffer, uint32_t count);
int FatWriteRun(FatWorkArea* fs, uint32_t sector, const void* buffer, uint32_t count);
int FatZeroRun(FatWorkArea* fs, uint32_t sector, uint32_t count);

// Allocation tables (FatTable.cpp).
int FatReadEntryEx(FatWorkArea* fs, uint32_t cluster, uint32_t* value);
int FatWriteEntry(FatWorkArea* fs, uint32_t cluster, uint32_t value);
uint32_t FatReadEntry(FatWorkArea* fs, uint32_t cluster);
uint32_t FatEndOfChain(const FatWorkArea* fs);
// Next cluster of a chain; *next 0 at its end. 1 disk error, 2 broken chain.
int FatNextCluster(FatWorkArea* fs, const FatChainRef* chain, uint32_t cluster, uint32_t* next);
// Allocates one cluster after last (0: a new chain) and links it.
// FAT_FULL when the volume is full.
int FatExtendChain(FatWorkArea* fs, FatChainRef* chain, uint32_t last, uint32_t* added);
// Frees the clusters after keep (keep 0: the whole chain) and ends the chain there.
int FatFreeChain(FatWorkArea* fs, FatChainRef* chain, uint32_t keep);
// Checks a file's chain against its size before it is used: the first
// cluster in the table, no loop, never longer than the volume's cluster
// count and not shorter than the size. FAT_INT_ERR when damaged.
int FatCheckChain(FatWorkArea* fs, const FatChainRef* chain, uint64_t size);
int FatSetBitmap(FatWorkArea* fs, uint32_t cluster, uint32_t count, bool used);
int FatFindFreeBits(FatWorkArea* fs, uint32_t start, uint32_t* found);

// The clusters the volume's records use that its allocation map calls free
// (FatRecords.cpp). FatMapRecords walks the directory tree once a mount,
// before its first allocation or release; FatRecordUses says whether the
// allocator must refuse a cluster (and keeps its owner for
// FatMapDamageOwner); FatForgetRecords takes released clusters off.
// FatCheckCrossLinks refuses (FAT_MAP_DAMAGED) a run of clusters when two
// chains hold one of them (cross-linked); FatCheckChainCrossLinks so the
// clusters of a chain from `from` (a cluster of it) to its end.
int FatMapRecords(FatWorkArea* fs);
bool FatRecordUses(FatWorkArea* fs, uint32_t cluster);
int FatCheckCrossLinks(FatWorkArea* fs, uint32_t first, uint32_t count);
int FatCheckChainCrossLinks(FatWorkArea* fs, const FatChainRef* chain, uint32_t from);
void FatForgetRecords(FatWorkArea* fs, uint32_t cluster, uint32_t count);
void FatDropRecords(FatWorkArea* fs);

// Names (FatName.cpp).
struct FatName {
  uint16_t lfn[256];
  uint32_t length;
  uint8_t sfn[11];
  uint8_t caseFlags;  // 0x08 base lower, 0x10 extension lower
  uint8_t needLfn;
  uint8_t lossy;  // the short name lost characters: it always takes a "~n" tail
  uint8_t dot;    // 1 ".", 2 ".."
};
int FatCreateName(const uint16_t* component, uint32_t length, FatName* name, bool exfat);
uint8_t FatSfnChecksum(const uint8_t* sfn);
uint16_t FatExfatNameHash(const FatWorkArea* fs, const uint16_t* name, uint32_t length);
uint16_t FatExfatSetChecksum(const uint8_t* set, uint32_t entries);
void FatNumberedSfn(const uint8_t* base, uint8_t* out, const uint16_t* lfn, uint32_t n);
void FatSfnToText(const uint8_t* entry, uint16_t* out);
bool FatNamesEqual(const FatWorkArea* fs, const uint16_t* a, uint32_t alen, const uint16_t* b,
                   uint32_t blen);
// The 32-bit exFAT check value (rotate right by one and add) over n bytes;
// of a boot sector without its volume-flags and percent-in-use bytes.
uint32_t FatExfatChecksum(const uint8_t* p, uint32_t n, uint32_t sum, bool bootSector);

// The exFAT volume's up-case table (FatUpcase.cpp). FatLoadUpcase reads it
// at the mount (a table that cannot be trusted is noted, not an error: the
// module's table serves for reading and FatCheckVolume refuses writes);
// FatVolumeUpcase up-cases a character of the volume's names, on FAT through
// the module's table.
int FatLoadUpcase(FatWorkArea* fs);
void FatDropNames(FatWorkArea* fs);
bool FatUpcaseRefused(const FatWorkArea* fs);
uint16_t FatVolumeUpcase(const FatWorkArea* fs, uint16_t ch);
// Notes the folder (a path of length units) of a set that fails its check.
void FatNoteDamagedSet(FatWorkArea* fs, const uint16_t* folder, uint32_t length);

// Drops the folder indexes (FatFolderIndex.h) whose chains hold a run of
// released clusters.
void FatForgetFolders(FatWorkArea* fs, uint32_t cluster, uint32_t count);

// Resets the disk block (512-byte sectors, no write protection) and the
// sector window for a mount or format (FatMount.cpp).
int FatResetWorkArea(FatWorkArea* fs);

// Directories (FatDirectory.cpp).
// Finds the path's last entry; with enterLast the folder it names becomes
// the directory object itself (FAT_NO_PATH for a file).
int FatFollowPath(FatDirObject* dir, const uint16_t* path, FatName* last, bool enterLast = false);
// The start of every public operation on a path: the volume checked (for
// writing with writeMode 1), then the path followed from the root.
int FatCheckAndFollow(FatWorkArea* fs, int writeMode, FatDirObject* dir, const uint16_t* path,
                      FatName* last);
// A folder without a free entry left gives FAT_FOLDER_FULL, noted with the
// folder of `path` (the path the name was followed from) for FatFullFolder.
int FatRegisterEntry(FatDirObject* dir, const FatName* name, uint8_t* setOut, const uint16_t* path);
int FatRemoveEntry(FatWorkArea* fs, const FatEntryPos* pos);
int FatLoadEntrySet(FatWorkArea* fs, const FatEntryPos* pos, uint8_t* set);
int FatStoreEntrySet(FatWorkArea* fs, const FatEntryPos* pos, uint8_t* set);
int FatStoreShortEntry(FatWorkArea* fs, const FatEntryPos* pos, const uint8_t* entry);
int FatLoadShortEntry(FatWorkArea* fs, const FatEntryPos* pos, uint8_t* entry);
// The directory of the entry found; FAT_INT_ERR when its first cluster is
// not one of the table (0 would alias the root).
int FatDirFromEntry(FatWorkArea* fs, const FatDirObject* parent, FatDirObject* child);
uint32_t FatEntryCluster(const FatWorkArea* fs, const uint8_t* entry);
void FatSetEntryCluster(const FatWorkArea* fs, uint8_t* entry, uint32_t cluster);
// Stamps an exFAT file entry with the clock now (time, 10 ms and offset
// from UTC alike): the times `which` names.
enum { FAT_STAMP_CREATE = 1, FAT_STAMP_WRITE = 2, FAT_STAMP_ACCESS = 4, FAT_STAMP_ALL = 7 };
void FatStampExfatEntry(uint8_t* entry, unsigned which);
// Rewrites the exFAT stream entry of a grown or shrunk object.
int FatUpdateExfatStream(FatWorkArea* fs, const FatEntryPos* pos, const FatChainRef* chain,
                         uint64_t size, bool touch, uint8_t attrOr);
