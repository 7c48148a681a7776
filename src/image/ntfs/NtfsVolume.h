// Mount glue over libntfs-3g: mounting on the system's own device block, the
// dirty-volume rule, and path-level data read, write, size and rename on
// UTF-16 backslash paths looked up without regard to case. Results follow
// the library: -1 or minus an errno value. Free of the library's headers so
// that Win32 code can call it; NtfsInternal.h has the rest.
#pragma once
#include "image/device/DiskIoBlock.h"

struct _ntfs_volume;
typedef struct _ntfs_volume ntfs_volume;

// Mount flags: read-only, and accept a volume whose dirty bit is set (with
// it the library also resets an unclean journal of a writable mount).
#define NTFS_MOUNT_READONLY 0x00000001UL
#define NTFS_MOUNT_ACCEPT_DIRTY 0x10000000UL

// Mounts the NTFS partition of a disk; refuses a dirty volume unless
// NTFS_MOUNT_ACCEPT_DIRTY is given. Null block: errno EINVAL.
ntfs_volume* MountNtfsOnDisk(DiskIoBlock* block, int partition, unsigned long flags);
ntfs_volume* MountNtfsVolume(DiskIoBlock* block, int partition, unsigned long flags);
int UnmountNtfsVolume(ntfs_volume* vol);
// Mounts as much of a volume the full mount refuses ($MFTMirr that differs
// from $MFT, damaged indexes) as the check and the repair need: the boot
// sector, $MFT, $MFTMirr and $Bitmap, with no upper-case table, journal or
// index read. Null (errno) when even that fails.
ntfs_volume* MountNtfsPartially(DiskIoBlock* block, int partition, unsigned long flags);
bool IsNtfsVolumePartial(ntfs_volume* vol);
// True when Windows on the volume is hibernated: \hiberfil.sys begins with
// the signature "hibr" (any case; Windows 8 on writes "HIBR", also for
// Fast Startup), the session it resumes holding the volume as it left it.
// The library refuses to mount such a volume for writing.
bool IsNtfsHibernated(ntfs_volume* vol);
// True when Windows did not shut down the volume cleanly: its journal
// ($LogFile) has restart pages of version 2.0 (metadata kept in Windows'
// cache for Fast Startup, or a session cut off), which the library refuses
// to write under, or, unless `recovering`, any other journal left open (a
// recovering mount empties such a journal and writes on). A journal whose
// restart pages cannot be read is damage, not this.
bool IsNtfsJournalUnclean(ntfs_volume* vol, bool recovering);
// A partly mounted volume whose first sector is no boot sector is read
// through the copy in the partition's last sector, which stands in for it
// (a write of the first sector reaches the disk and the stand-in both).
bool IsNtfsBootFromBackup(ntfs_volume* vol);
// A volume whose $MFTMirr differed from $MFT at the mount is served with the
// first records of $MFT in the mirror's place (so it opens for work). The
// check and the repair must see the mirror as the disk holds it: this ends
// that stand-in and answers whether there was one.
bool DropNtfsMirrorStandIn(ntfs_volume* vol);

// The partition index the device open used (GPT: the entry found).
int GetMountedPartitionIndex(ntfs_volume* vol);
// A writable mount tells the disk's rollback journal which bytes of its
// writes lie in clusters its $Bitmap marked free when the command began:
// their old bytes are not kept (the roll back of the volume's records
// frees those clusters again). Work on the volume whatever its $Bitmap
// says (a repair, a resize) ends that first: every old byte it overwrites
// is kept, for the rest of the mount.
void KeepAllOldBytes(ntfs_volume* vol);
bool IsNtfsVolumeOnGpt(ntfs_volume* vol);

int RenameNtfsPath(ntfs_volume* vol, const wchar_t* oldPath, const wchar_t* newPath);
long long GetNtfsFileDataSize(ntfs_volume* vol, const wchar_t* path);
// Data of a file's unnamed stream. A file whose content is held elsewhere
// (WOF-compressed, deduplicated) is refused with -EOPNOTSUPP.
long long ReadNtfsFileData(ntfs_volume* vol, const wchar_t* path, void* buffer, long long count,
                           long long offset);
// A write past the end grows the file first, as GrowNtfsFileData does.
long long WriteNtfsFileData(ntfs_volume* vol, const wchar_t* path, const void* buffer,
                            long long count, long long offset);
// Grows a file's unnamed stream to size bytes with its clusters allocated
// at once (zeros, never a hole): a write past the end that the library
// grows by a hole leaves the file unreadable when it is cut off before the
// hole is filled. A file as long or longer is left as it is. 0, or minus
// errno.
int GrowNtfsFileData(ntfs_volume* vol, const wchar_t* path, long long size);
// Cuts a file's unnamed stream to size bytes; a file as short or shorter
// is left as it is. 0, or minus errno.
int ShrinkNtfsFileData(ntfs_volume* vol, const wchar_t* path, long long size);

// Figures of a mounted volume; countFree asks the library to count the free
// clusters first. 0, or minus errno.
struct NtfsVolumeFigures {
  unsigned int majorVersion;
  unsigned int minorVersion;
  unsigned long long totalClusters;
  unsigned long long freeClusters;
  unsigned long long clusterSize;
  unsigned long long sectorSize;
  unsigned long long totalSectors;  // from the boot sector
};
int GetNtfsVolumeFigures(ntfs_volume* vol, NtfsVolumeFigures* out, bool countFree);

// Puts everything the volume has written so far on the disk below it (the
// device's sync). 0, or minus errno.
int FlushNtfsVolume(ntfs_volume* vol);
