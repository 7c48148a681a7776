// The FAT module: FAT12, FAT16, FAT32 and exFAT volumes inside a disk object.
// One work area per mounted volume; directory and file objects refer to it.
// The module takes no lock: one thread at a time per process.
#pragma once
#include <stdint.h>
#include "image/fat/FatDisk.h"

// Result codes of every module operation.
enum FatResult {
  FAT_OK = 0,
  FAT_DISK_ERR = 1,  // a sector read or write failed
  FAT_INT_ERR = 2,   // broken chain or impossible cluster number
  FAT_NO_FILE = 4,
  FAT_NO_PATH = 5,
  FAT_INVALID_NAME = 6,
  FAT_DENIED = 7,  // directory full, read-only entry, non-empty directory
  FAT_EXIST = 8,
  FAT_INVALID_OBJECT = 9,
  FAT_WRITE_PROTECTED = 10,
  FAT_NOT_ENABLED = 12,  // no work area given
  FAT_NO_FILESYSTEM = 13,
  FAT_MKFS_ABORTED = 14,
  FAT_NOT_ENOUGH_CORE = 17,
  FAT_INVALID_PARAMETER = 19,
  // The allocation map (the exFAT bitmap, the FAT) calls free a cluster
  // that a file or folder uses: the allocator does not hand it out.
  FAT_MAP_DAMAGED = 20,
  // The boot sector declares a sector size neither FAT nor exFAT allows
  // (not a power of two from 512 to 4096 bytes); the work area's
  // declaredSectorSize says which.
  FAT_SECTOR_SIZE = 21,
  // The exFAT volume's up-case table is missing, cannot be read or fails its
  // check value: names are not known to compare as the volume does, and
  // nothing is written (FatUpcaseDamage says why).
  FAT_UPCASE_DAMAGED = 22,
  // A folder holds an exFAT entry set that fails its check (its check value,
  // or its name hash for the name searched): a name not found there may be
  // the one it holds, so the search answers this (FatDamagedSetFolder).
  FAT_SET_DAMAGED = 23,
  // No free cluster is left on the volume.
  FAT_FULL = 24,
  // The disk's sector size cannot be told: its partition table reads as
  // sectors of more than one size (a volume lies at an entry's start by
  // each; the work area's diskSectorChoices says which), or, for a format,
  // nothing on the disk tells it.
  FAT_DISK_SECTOR_UNKNOWN = 25,
  // No free entry is left in the folder for a name, and the folder cannot
  // grow: a FAT12/16 root holds the entries its boot sector fixed, every
  // other folder at most 2 MiB of entries (65,536 on FAT, 8,388,608 on
  // exFAT). FatFullFolder names it.
  FAT_FOLDER_FULL = 26,
};

enum { FAT_TYPE_NONE = 0, FAT_TYPE_12 = 1, FAT_TYPE_16 = 2, FAT_TYPE_32 = 3, FAT_TYPE_EXFAT = 4 };

// FatMount options: read-only.
enum { FAT_MOUNT_READONLY = 4 };

// FatMount's partition: a 0-based index into the disk's partition table,
// the entry of that index and no other (0 is the volume of a disk without
// a table), kFirstDataPartition (PartitionTable.h), or the boot partition:
// the EFI system partition of a GPT disk (formatted when neither its boot
// sector nor its backup holds one and the mount may write), on an MBR disk
// the first partition that holds a volume.
enum { FAT_BOOT_PARTITION = -1 };

// FatFormatVolume options.
enum { FAT_FMT_FAT = 1, FAT_FMT_FAT32 = 2, FAT_FMT_EXFAT = 4, FAT_FMT_KEEP_TABLE = 8 };

// Directory-entry attributes.
enum {
  FAT_ATTR_READONLY = 0x01,
  FAT_ATTR_HIDDEN = 0x02,
  FAT_ATTR_SYSTEM = 0x04,
  FAT_ATTR_VOLUME = 0x08,
  FAT_ATTR_DIRECTORY = 0x10,
  FAT_ATTR_ARCHIVE = 0x20,
  FAT_ATTR_LFN = 0x0F,
};

// Open modes.
enum {
  FAT_OPEN_READ = 0x01,
  FAT_OPEN_WRITE = 0x02,
  FAT_CREATE_NEW = 0x04,
  FAT_CREATE_ALWAYS = 0x08,
  FAT_OPEN_ALWAYS = 0x10,
  FAT_OPEN_APPEND = 0x30,
};

// The longest folder path a note keeps (FatFullFolder), its end included.
const uint32_t FAT_NOTED_PATH_CHARS = 360;
const uint32_t FAT_MIN_SECTOR = 512;
const uint32_t FAT_MAX_SECTOR = 4096;

struct FatWorkArea {
  uint8_t fsType;
  uint8_t numFats;
  uint8_t winDirty;
  uint8_t fsinfoState;  // 0x80 none; 0 clean; bit 0 to be rewritten
  FatDiskBlock* disk;
  uint16_t mountId;
  uint16_t rootEntries;
  uint32_t clusterSize;  // sectors per cluster
  uint16_t sectorSize;   // the volume's (the disk block's) sector size
  uint16_t* lfnBuffer;    // shared long-name buffer (256 units)
  uint8_t* exfatBuffer;   // shared entry-set buffer (608 bytes)
  uint32_t lastCluster;   // allocation hint, 0xFFFFFFFF unknown
  uint32_t freeClusters;  // 0xFFFFFFFF unknown
  uint32_t currentDir;
  uint32_t fatEntries;  // clusters + 2
  uint32_t fatSize;     // sectors per FAT
  uint32_t volumeStart;
  uint32_t fatStart;
  uint32_t rootDir;  // FAT12/16 root sector, else the root cluster
  uint32_t dataStart;
  uint32_t bitmapStart;
  uint32_t winSector;  // 0xFFFFFFFF none
  uint8_t window[FAT_MAX_SECTOR];
  // Table, directory and FSInfo sectors the window let go of, held until
  // the volume is flushed (FatFlushVolume); null when none.
  struct FatHeldSectors* held;
  // The last chain found sound (first cluster, size), so that a file
  // opened once per chunk is not walked again; any table write forgets it.
  uint32_t checkedFirst;
  uint64_t checkedSize;
  // The clusters the volume's records use that the map calls free, found
  // before the mount's first allocation; null until then.
  struct FatRecordClusters* records;
  // The partition the mount chose, also when it held no volume: the only
  // sectors the formatter writes. Its first sector, its length (0: none
  // chosen), both in 512-byte sectors whatever the volume's, whether it is
  // a GPT EFI system partition, its index in the table (0 on a disk
  // without one).
  uint32_t partStart;
  uint32_t partSectors;
  uint8_t partEsp;
  int partIndex;
  // Whether the partition was found through a GPT, and whether its boot
  // sector was judged without its 55 AA signature (an EFI system
  // partition whose signature alone is missing: put back by the first
  // flush that writes).
  uint8_t partGpt;
  uint8_t partUnsigned;
  // The volume was mounted through its backup boot sector: the sector it
  // lies in (6 FAT32, 12 exFAT's backup boot region), copied into the boot
  // sector (the main boot region) by the first flush that writes; 0 none.
  uint8_t bootBackup;
  // The disk's sector size as its table counts them (the size the
  // formatter makes): the one sector size at which the GPT header lies or
  // at which the MBR's entries start on volumes; on a disk without a table
  // the volume's own. 0 when nothing tells it; diskSectorChoices then has
  // a bit (size / 512) for each size that reads a volume at an entry.
  uint32_t diskSectorSize;
  uint32_t diskSectorChoices;
  // The sector size the boot sector of the mount declared, also when it
  // was refused (FAT_SECTOR_SIZE); 0 before one was read.
  uint32_t declaredSectorSize;
  // The exFAT volume's own up-case table and what its names met (null on
  // FAT and before the mount).
  struct FatVolumeNames* names;
  // The names of the folders searched since the mount (FatFolderIndex.h);
  // null when none.
  struct FatFolderIndexes* folders;
  // The last folder that had no entry left (FatFullFolder).
  uint16_t fullFolder[FAT_NOTED_PATH_CHARS];
  uint32_t fullFolderEntries;
  uint8_t fullFolderFixed;
};

// Where a chain of clusters lies: a FAT chain, or (exFAT) a contiguous run
// without FAT entries that covers allocBytes.
struct FatChainRef {
  uint32_t first;
  uint8_t contiguous;
  uint64_t allocBytes;
};

// The entry set an object was found under (to rewrite or remove it).
struct FatEntryPos {
  FatChainRef dir;       // the directory that holds it (first 0: FAT12/16 root)
  uint32_t setOffset;    // byte offset of the first entry (long-name or exFAT file entry)
  uint32_t entryOffset;  // byte offset of the short entry (FAT)
  uint8_t setCount;      // entries in the exFAT set
};

struct FatDirObject {
  FatWorkArea* fs;
  uint16_t mountId;
  FatChainRef chain;      // first 0 on FAT12/16: the fixed root area
  uint8_t isRoot;         // the directory walked is the root
  FatEntryPos self;       // this directory's own entry (not for the root)
  uint32_t watchCluster;  // path following notes passing this directory
  uint8_t watchHit;
  uint8_t hasLfn;      // the entry found has a long name (FAT)
  uint16_t lfnLength;  // length of the name found, in the long-name buffer
  // cursor
  uint32_t offset;  // byte offset of the current entry
  uint32_t cluster;
  uint32_t sector;
  // the last entry found
  FatEntryPos found;
  uint8_t entry[32];   // its short entry, or the exFAT file entry
  uint8_t stream[32];  // exFAT stream extension
  // exFAT: the first entry set the walk passed over as failing its check
  // (its offset; 0xFFFFFFFF none), and whether to stop on each such set.
  uint32_t damagedSet;
  uint8_t stopAtDamage;
};

struct FatFileInfo {
  uint64_t size;
  uint16_t cdate, ctime;
  uint16_t wdate, wtime;
  uint16_t adate, atime;
  uint8_t cms, wms;  // exFAT: 10 ms increments past the even second (0-199)
  // exFAT: the offsets from UTC the three times were written at (FatDisk.h;
  // 0 on FAT, which keeps local time without one).
  uint8_t coff, woff, aoff;
  uint8_t attributes;
  uint16_t name[256];  // long name (or the short one when there is none)
  uint16_t shortName[13];
};

struct FatFileObject {
  FatWorkArea* fs;
  uint16_t mountId;
  uint8_t attributes;
  uint8_t chainState;  // 0 FAT chain, 2 contiguous
  uint32_t firstCluster;
  uint64_t size;
  uint8_t flags;  // open mode | 0x40 modified | 0x80 buffer dirty
  uint8_t error;
  uint64_t pointer;
  uint32_t cluster;    // cluster of the pointer (of the byte before it at a boundary)
  uint32_t bufSector;  // sector in buf, 0 none
  FatEntryPos pos;     // where the entry lives
  uint64_t validSize;  // exFAT valid data length
  uint8_t buf[FAT_MAX_SECTOR];
};

// Volumes (mount, allocation tables).
int FatMount(FatWorkArea* fs, unsigned options, int partition);
// Chooses the partition as FatMount does (noted in the work area for
// FatFormatVolume) without mounting or writing anything; FAT_NO_FILESYSTEM
// when the disk has no such partition.
int FatChoosePartition(FatWorkArea* fs, int partition);
void FatUnmount(FatWorkArea* fs);
int FatCheckVolume(int writeMode, FatWorkArea* fs);
int FatLoadWindow(FatWorkArea* fs, uint32_t sector);
int FatFlushWindow(FatWorkArea* fs);
int FatFlushVolume(FatWorkArea* fs);
int FatGetFreeClusters(FatWorkArea* fs, const uint16_t* path, uint32_t* freeCount);
// After FAT_MAP_DAMAGED: the path of the file or folder whose cluster the
// allocator refused (and the cluster); null when none was. *other (when
// asked): null when the map calls the cluster free; for a cluster two
// chains hold (cross-linked), the path of the other one ("" when the walk
// found none: the chain holds the cluster twice).
const uint16_t* FatMapDamageOwner(const FatWorkArea* fs, uint32_t* cluster,
                                  const uint16_t** other = nullptr);

// After FAT_FOLDER_FULL: the path of the folder that had no entry left
// for the name, as the call named it ("\\" for the root), the entries it
// holds and whether it is a FAT12/16 root, which cannot grow; null when no
// folder was full since the mount.
const uint16_t* FatFullFolder(const FatWorkArea* fs, uint32_t* entries, bool* fixedRoot);
// After FAT_UPCASE_DAMAGED: why the up-case table was refused (ASCII).
const char* FatUpcaseDamage(const FatWorkArea* fs);
// After FAT_SET_DAMAGED: the path of the folder holding the damaged set.
const uint16_t* FatDamagedSetFolder(const FatWorkArea* fs);
// Walks every folder of an exFAT volume and reports each entry set that
// fails its check value (its name as stored, unchecked) or whose name hash
// does not fit its name; FAT_OK after the walk, else what stopped it.
typedef void (*FatDamagedSetReport)(void* context, const uint16_t* folder, uint32_t offset,
                                    const uint16_t* name, bool hashOnly);
int FatFindDamagedSets(FatWorkArea* fs, FatDamagedSetReport report, void* context);

// Directories and names.
int FatOpenDirectory(FatWorkArea* fs, FatDirObject* dir, const uint16_t* path);
int FatReadDirectory(FatWorkArea* fs, FatDirObject* dir, FatFileInfo* info);
int FatCloseDirectory(FatWorkArea* fs, FatDirObject* dir);
int FatStatPath(FatWorkArea* fs, const uint16_t* path, FatFileInfo* info);
int FatMakeDirectory(FatWorkArea* fs, const uint16_t* path);
int FatUnlinkPath(FatWorkArea* fs, const uint16_t* path);
int FatRenamePath(FatWorkArea* fs, const uint16_t* oldPath, const uint16_t* newPath);
int FatSetAttributes(FatWorkArea* fs, const uint16_t* path, uint8_t attributes, uint8_t mask);
int FatSetTimes(FatWorkArea* fs, const uint16_t* path, const FatFileInfo* times);
// What a file written at path asks of the room: *given the bytes of the
// file there that a replace frees (0 when there is none or it is a
// folder), *grows whether its folder must grow by a cluster for a new
// name (never for FAT12/16's root, which cannot).
int FatPathRoom(FatWorkArea* fs, const uint16_t* path, uint64_t* given, bool* grows);
// Lets go of what the mount keeps of the folders it searched (read again
// at the next search): at the end of a command, and when it unmounts.
void FatDropFolders(FatWorkArea* fs);

// Files.
int FatOpenFile(FatWorkArea* fs, FatFileObject* file, const uint16_t* path, unsigned mode);
int FatReadFile(FatWorkArea* fs, FatFileObject* file, void* buffer, uint32_t count, uint32_t* done);
int FatWriteFile(FatWorkArea* fs, FatFileObject* file, const void* buffer, uint32_t count,
                 uint32_t* done);
int FatSeekFile(FatWorkArea* fs, FatFileObject* file, uint64_t position);
int FatTruncateFile(FatWorkArea* fs, FatFileObject* file);
int FatSyncFile(FatWorkArea* fs, FatFileObject* file);
// After a write that failed part way: the chain is cut back to the clusters
// the file's size covers (a failed write may have linked more) and the
// entry written with that size, so that entry and chain agree again.
int FatSettleFile(FatWorkArea* fs, FatFileObject* file);
int FatCloseFile(FatWorkArea* fs, FatFileObject* file);

// Formatting the partition the last mount or FatChoosePartition chose (the
// work area's disk block must be open): FAT_MKFS_ABORTED when it chose
// none.
int FatFormatVolume(FatWorkArea* fs, unsigned options, uint32_t unitBytes, void* work,
                    uint32_t workSize);
