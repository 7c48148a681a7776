// The device layer behind libntfs-3g: the device-operations table through
// which the library reaches a disk ("VRODISK" over a DiskIoBlock, or a plain
// file, physical drive, partition or drive-letter volume). Include only
// where the libntfs-3g headers may be seen (not beside <windows.h>).
#pragma once
#include <memory>
#include <set>
#include <vector>

#include "image/device/DiskIoBlock.h"
#include "image/ntfs/NtfsBlockCache.h"
#include "image/ntfs/NtfsFreeAtStart.h"
#include "image/ntfs/NtfsLib.h"
#include "image/ntfs/NtfsWin32Io.h"
#include "image/ntfs/NtfsWriteGate.h"

// Name of the system's own device: the private data is a DiskIoBlock.
#define NTFS_DISK_DEVICE_NAME "VRODISK"

// Device state bit telling that the partition came from a GPT.
#define NTFS_DEV_STATE_GPT 0x40UL

// Per-device state, created before the open and freed at close.
struct NtfsDiskDev {
  NtfsWin32Open win;       // handles, partition start and length, geometry
  unsigned long long pos;  // current position, bytes from partition start
  bool writable;
  DiskIoBlock* block;  // VRODISK only
  int partition;       // asked for at open; the one used afterwards
  bool gpt;
  bool partial;  // mounted only as far as the check and the repair need
  // Set before the open: reads of $MFTMirr give the first records of $MFT
  // as the volume holds them (the library then mounts a volume whose writer
  // died between the two copies; $MFT is the one written first).
  bool mirrorFromMft = false;
  unsigned long long mirrorAt = 0;  // bytes from partition start
  std::vector<unsigned char> mirror;
  // Set before the open: when the boot sectors' examination
  // (NtfsBootSectors.h) trusts the backup, reads of the first sector give
  // it, so that a volume whose boot sector was lost or damaged can be
  // checked and its boot sector put back.
  bool bootFromBackup = false;
  std::vector<unsigned char> boot;
  // Set before the open: reads past the partition's end give zeros (writes
  // there still fail), so that a volume larger than its partition can be
  // looked at.
  bool zerosPastEnd = false;
  // Folders whose $I30 bitmap was found to mark every block their index
  // uses, from the open to the close (NtfsFolderTakesNames).
  std::set<unsigned long long> soundFolders;
  // Small reads of a disk object (not of a live host volume, which changes
  // underneath), from the open to the close.
  std::unique_ptr<NtfsBlockCache> cache;
  // The clusters free when the command under way began, for the disk's
  // rollback journal (DiskIoBlock's journal): a write's bytes in them need
  // no old bytes kept. Told where $Bitmap lies by the mount glue.
  NtfsFreeAtStart freeAtStart;
  // What a command may write where $Bitmap marks free clusters the
  // records use, and which of those its journal keeps (with freeAtStart).
  // Told where $MFT and $Bitmap lie by the mount glue.
  NtfsWriteGate gate;
};

extern "C" {
extern struct ntfs_device_operations ntfs_disk_dev_ops;

int ntfs_disk_dev_open(struct ntfs_device* dev, int flags);
int ntfs_disk_dev_close(struct ntfs_device* dev);
s64 ntfs_disk_dev_seek(struct ntfs_device* dev, s64 offset, int whence);
s64 ntfs_disk_dev_read(struct ntfs_device* dev, void* buf, s64 count);
s64 ntfs_disk_dev_write(struct ntfs_device* dev, const void* buf, s64 count);
s64 ntfs_disk_dev_pread(struct ntfs_device* dev, void* buf, s64 count, s64 offset);
s64 ntfs_disk_dev_pwrite(struct ntfs_device* dev, const void* buf, s64 count, s64 offset);
int ntfs_disk_dev_sync(struct ntfs_device* dev);
int ntfs_disk_dev_stat(struct ntfs_device* dev, struct stat* buf);
int ntfs_disk_dev_ioctl(struct ntfs_device* dev, unsigned long request, void* argp);
}

// Chooses the partition of a disk seen through a DiskIoBlock that the NTFS
// volume is looked for in: the entry of the index (PartitionTable.h;
// kFirstDataPartition: the disk's first data partition) when its type
// names NTFS (MBR 07 or 27, GPT basic data or recovery), the table counted
// in the disk's sectors (DiskSectorSize.h); on a disk without a table,
// index 0 is its volume. Fills the start and
// length in bytes, the index used and, when asked, the disk's sector size
// (on a disk without a table the volume's own; 512 where nothing tells
// it); returns 0 (MBR), 1 (GPT) or -1 with errno
// set (ENODEV too where the MBR reads alike as two sector sizes).
int FindNtfsPartition(DiskIoBlock* block, int index, unsigned long long* start,
                      unsigned long long* length, int* used, unsigned* sectorSize = nullptr);
