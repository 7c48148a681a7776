// Device operations libntfs-3g calls to reach storage. "VRODISK" goes through
// the DiskIoBlock of a mounted image; other names are Win32 files and disks.
#include <new>

#include "image/ntfs/NtfsDevice.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include "common/ByteOrder.h"
#include "image/device/DiskSectorSize.h"
#include "image/device/PartitionTable.h"
#include "image/ntfs/NtfsBootSectors.h"

namespace {

const unsigned long kBlkGetSize = 0x1260;
const unsigned long kBlkSszGet = 0x1268;
const unsigned long kBlkBszSet = 0x40041271;
const unsigned long kBlkGetSize64 = 0x80041272;
const unsigned long kHdioGetGeo = 0x301;

// Requests larger than this are split before they reach a DiskIoBlock,
// whose count is 32 bits.
const s64 kMaxBlockRun = 0x40000000;

struct HdGeometry {
  unsigned char heads;
  unsigned char sectors;
  unsigned short cylinders;
  unsigned long start;
};

NtfsDiskDev* State(struct ntfs_device* dev) {
  return static_cast<NtfsDiskDev*>(dev->d_private);
}

int Fail(int err) {
  errno = err;
  return -1;
}

int FailWin32() {
  errno = NtfsLastErrno();
  return -1;
}

bool ReadBlockExact(DiskIoBlock* block, unsigned long long offset, void* buffer,
                    unsigned int count) {
  return block->read && block->read(block->owner, offset, buffer, count) == (int)count;
}

bool ReadFromBlock(void* block, uint64_t offset, void* buffer, uint32_t count) {
  return ReadBlockExact(static_cast<DiskIoBlock*>(block), offset, buffer, count);
}

bool HasSecondHandle(const DiskIoBlock* block) {
  return block->second != NTFS_INVALID_HANDLE && block->second != NULL;
}

// Transfers through the block in runs; returns the bytes done or -1.
s64 BlockTransfer(NtfsDiskDev* d, void* buf, s64 count, unsigned long long offset, bool write) {
  DiskIoBlock* block = d->block;
  s64 done = 0;
  while (done < count) {
    unsigned int n = (unsigned int)(count - done > kMaxBlockRun ? kMaxBlockRun : count - done);
    char* p = static_cast<char*>(buf) + done;
    int r;
    NtfsClearLastWin32Error();
    if (HasSecondHandle(block)) {
      // A snapshot device serves the volume at volume-relative
      // offsets, through the block's own handle callbacks.
      if (write)
        r = block->write ? block->write(block->second, offset + done, p, n) : -1;
      else
        r = block->read ? block->read(block->second, offset + done, p, n) : -1;
    } else if (write) {
      r = block->write ? block->write(block->owner, d->win.start + offset + done, p, n) : -1;
    } else {
      r = block->read ? block->read(block->owner, d->win.start + offset + done, p, n) : -1;
    }
    if (r <= 0) {
      if (done) break;
      return FailWin32();
    }
    done += r;
    if ((unsigned int)r < n) break;
  }
  return done;
}

// The stand-in bytes (for the disk's bytes from `at` on) over what a
// transfer at offset moved (a read), or the written bytes into the
// stand-in (a write), where the two meet.
void MeetStandIn(std::vector<unsigned char>& standIn, unsigned long long at, void* buf, s64 count,
                 unsigned long long offset, bool write) {
  if (standIn.empty() || count <= 0) return;
  unsigned long long from = offset > at ? offset : at;
  unsigned long long end = offset + (unsigned long long)count;
  unsigned long long standInEnd = at + standIn.size();
  if (end > standInEnd) end = standInEnd;
  if (from >= end) return;
  unsigned char* p = static_cast<unsigned char*>(buf) + (from - offset);
  unsigned char* in = &standIn[(size_t)(from - at)];
  if (write)
    memcpy(in, p, (size_t)(end - from));
  else
    memcpy(p, in, (size_t)(end - from));
}

bool IsNtfsBootSector(const unsigned char* s) {
  unsigned bps = s[0x0B] | (s[0x0C] << 8);
  return memcmp(s + 3, "NTFS    ", 8) == 0 && s[510] == 0x55 && s[511] == 0xAA && bps >= 256 &&
         (bps & (bps - 1)) == 0 && s[0x0D] != 0;
}

// Takes the backup for the first sector when the examination of the two
// trusts it (the one examination the check reports): asked for
// (`always`), or where the first sector fails (its signature, its BPB,
// where $MFT or $MFTMirr lie) and a backup passes, in the partition's last
// sector or before it (a partition longer than its volume), so that every
// command opens the volume as Windows would. The disk is not written.
// False when it is not taken, or a read fails.
bool LoadBootStandIn(NtfsDiskDev* d, bool always) {
  NtfsBootSectors s;
  if (ExamineNtfsBootSectors(d->block, d->partition, &s) < 0 || s.choice != 2 ||
      (!always && s.primary.Sound()))
    return false;
  d->boot.assign(s.chosen, s.chosen + sizeof s.chosen);
  return true;
}

// Reads the first records of $MFT to stand in for $MFTMirr. False when the
// boot sector's numbers make no sense or a read fails.
bool LoadMirrorStandIn(NtfsDiskDev* d) {
  unsigned char boot[512];
  if (!d->boot.empty())
    memcpy(boot, d->boot.data(), sizeof boot);
  else if (!ReadBlockExact(d->block, d->win.start, boot, sizeof boot))
    return false;
  unsigned long long bps = boot[0x0B] | (boot[0x0C] << 8), spc = boot[0x0D];
  unsigned long long cluster = bps * spc;
  signed char cpr = (signed char)boot[0x40];
  unsigned long long record = cpr > 0 ? cpr * cluster : (cpr > -31 ? 1ull << -cpr : 0);
  unsigned long long mft = Ld64(boot + 0x30) * cluster, mirrorAt = Ld64(boot + 0x38) * cluster;
  if (!cluster || cluster > (1u << 21) || record < 256 || record > 65536) return false;
  unsigned long long bytes = 4 * record > cluster ? 4 * record : cluster;
  if (mft + bytes > d->win.length || mirrorAt + bytes > d->win.length) return false;
  d->mirror.resize((size_t)bytes);
  if (!ReadBlockExact(d->block, d->win.start + mft, d->mirror.data(), (unsigned int)bytes)) {
    d->mirror.clear();
    return false;
  }
  d->mirrorAt = mirrorAt;
  return true;
}

// The boot sectors are read around the library too (by the disk tools):
// they are never served from the cache.
const unsigned long long kCachedFrom = 2 * NtfsBlockCache::kBlock;

// Cut at the end of a bounded device.
s64 BoundedCount(NtfsDiskDev* d, s64 count, unsigned long long offset) {
  if (d->win.bounded && d->win.lengthKnown) {
    unsigned long long left = offset < d->win.length ? d->win.length - offset : 0;
    if ((unsigned long long)count > left) count = (s64)left;
  }
  return count;
}

int64_t CacheFetch(void* device, void* buf, int64_t count, uint64_t offset) {
  NtfsDiskDev* d = static_cast<NtfsDiskDev*>(device);
  count = BoundedCount(d, count, offset);
  return count ? BlockTransfer(d, buf, count, offset, false) : 0;
}

bool ReadPartition(void* device, uint64_t offset, void* buf, uint32_t count) {
  NtfsDiskDev* d = static_cast<NtfsDiskDev*>(device);
  return BlockTransfer(d, buf, count, offset, false) == (s64)count;
}

// Before a write: whether the command may make it (0, or the errno that
// refuses it), and which of its bytes the disk's journal needs no old
// bytes of: those in clusters free when the command began that no record
// uses.
int BeforeWrite(NtfsDiskDev* d, unsigned long long offset, s64 count, const void* buf) {
  DiskIoBlock* b = d->block;
  unsigned long long ended = 0;
  bool underWay = b->command && b->command(b->journal, &ended) != 0;
  if (int refused = d->gate.BeforeWrite(ended, offset, (uint64_t)count, buf, ReadPartition, d))
    return refused;
  if (!b->command || !b->unkept || HasSecondHandle(b) || count <= 0) return 0;
  NtfsFreeAtStart::Ranges free;
  d->freeAtStart.BeforeWrite(!underWay, ended, offset, (uint64_t)count, ReadPartition, d, &free);
  d->gate.KeepUsed(&free);
  for (const auto& r : free) b->unkept(b->journal, d->win.start + r.first, r.second - r.first);
  return 0;
}

s64 Transfer(struct ntfs_device* dev, void* buf, s64 count, unsigned long long offset, bool write,
             bool positional) {
  NtfsDiskDev* d = State(dev);
  if (!d || !NDevOpen(dev)) return Fail(EBADF);
  if (count < 0) return Fail(EINVAL);
  if (write && NDevReadOnly(dev)) return Fail(EROFS);
  // A bounded device never reaches past its partition, whatever the boot
  // sector claims: the transfer is cut at the end, nothing beyond is read
  // or written.
  s64 asked = count;
  count = BoundedCount(d, count, offset);
  if (count == 0 && write && d->win.bounded && d->win.lengthKnown) return Fail(ENOSPC);
  if (!write && d->zerosPastEnd && count < asked) {
    memset(static_cast<char*>(buf) + count, 0, (size_t)(asked - count));
    if (count == 0) return asked;
  }
  if (count == 0) return 0;
  s64 r;
  if (d->block) {
    if (write)
      if (int refused = BeforeWrite(d, offset, count, buf)) return Fail(refused);
    if (d->cache && !write && offset >= kCachedFrom && count <= NtfsBlockCache::kMaxCachedRead)
      r = d->cache->Read(buf, count, offset, CacheFetch, d);
    else
      r = BlockTransfer(d, buf, count, offset, write);
    // Whatever reached the disk, the blocks it touched are read anew.
    if (d->cache && write) d->cache->Forget(offset, count);
  } else {
    r = NtfsWin32Transfer(d->win.handle, d->win.start + offset, buf, count, write);
    if (r < 0 && positional) r = 0;  // the Win32 path reports a failed pread/pwrite as 0
  }
  if (r == count && !write && d->zerosPastEnd) r = asked;
  if (r > 0 && write) NDevSetDirty(dev);
  MeetStandIn(d->mirror, d->mirrorAt, buf, r, offset, write);
  MeetStandIn(d->boot, 0, buf, r, offset, write);
  return r;
}

}  // namespace

namespace {

// How far before the disk's end the backup of a volume whose boot sector
// was lost is looked for: an image grows in steps of 8 MiB past its volume.
const unsigned long long kBackupSearchBytes = 64ull << 20;

// Whether sector 0 holds a partition table: the signature and an entry
// with a type whose sectors lie on the disk.
bool HoldsPartitionTable(const unsigned char* mbr, unsigned long long disk) {
  if (mbr[510] != 0x55 || mbr[511] != 0xAA) return false;
  for (int i = 0; i < 4; i++) {
    const unsigned char* e = mbr + 446 + 16 * i;
    unsigned long long first = Ld32(e + 8), count = Ld32(e + 12);
    if (e[4] && first && count && (first + count) * 512 <= disk) return true;
  }
  return false;
}

// The byte position of the backup boot sector of a volume beginning at
// sector 0 whose boot sector was lost: in the disk's last 4096 bytes, or,
// unless `lastOnly`, the copy nearest the end in its last
// kBackupSearchBytes (a disk longer than its volume). The copy is left in
// `copy`; 0 for none.
unsigned long long FindLostVolumeBackup(DiskIoBlock* block, unsigned long long disk,
                                        bool lastOnly, unsigned char* copy) {
  unsigned long long sectors = disk / 512;
  unsigned long long reach = (lastOnly ? 4096 : kBackupSearchBytes) / 512;
  unsigned long long lowest = sectors > reach + 2 ? sectors - reach : 2;
  return 512 * FindSelfPlacedBootCopy(block, 0, lowest, sectors,
                                      [&](uint64_t, const unsigned char* s) {
                                        unsigned bps = s[0x0B] | s[0x0C] << 8;
                                        if (!IsNtfsBootSector(s) || bps < 512 || bps > 4096)
                                          return false;
                                        memcpy(copy, s, 512);
                                        return true;
                                      });
}

}  // namespace

int FindNtfsPartition(DiskIoBlock* block, int index, unsigned long long* start,
                      unsigned long long* length, int* used, unsigned* sectorSize) {
  unsigned char mbr[512];
  if (sectorSize) *sectorSize = 512;
  if (!block || (index < 0 && index != kFirstDataPartition)) return Fail(EINVAL);
  if (!ReadBlockExact(block, 0, mbr, sizeof mbr)) return Fail(EIO);
  // A volume without a partition table begins at sector 0; it ends with
  // the backup boot sector after the sectors its boot sector counts. Where
  // that sector holds no copy of it (the count is damaged), the volume
  // takes the whole disk, whose last sector holds the backup.
  unsigned long long disk = block->bytes / 512 * 512;
  if (memcmp(mbr + 3, "NTFS    ", 8) == 0 && mbr[510] == 0x55 && mbr[511] == 0xAA) {
    // Counted in the sectors the volume declares (512 bytes when that is
    // damaged); sectors below 512 bytes keep the backup in the last 512.
    unsigned long long sectors = Ld64(mbr + 0x28), bps = Ld16(mbr + 0x0B);
    if (bps < 256 || bps > 4096 || (bps & (bps - 1))) bps = 512;
    unsigned long long tail = bps < 512 ? 512 : bps;
    if (index > 0 || sectors == 0 || sectors >= (1ull << 54) / bps) return Fail(ENODEV);
    if (sectorSize && bps >= 512) *sectorSize = (unsigned)bps;
    *start = 0;
    *length = sectors * bps + tail;
    *used = 0;
    unsigned char backup[512];
    if (disk && (*length > disk || !ReadBlockExact(block, sectors * bps, backup, sizeof backup) ||
                 memcmp(backup + 3, "NTFS    ", 8) || Ld64(backup + 0x28) != sectors))
      *length = disk;
    return 0;
  }
  // Nor does one whose boot sector was lost, when the disk's last sector
  // (of the size the copy there declares) is the backup of a volume that
  // takes all the sectors before it; on a disk without a partition table,
  // also a backup nearer the end of a disk longer than its volume.
  if (index == 0 && disk >= 1024 && mbr[446 + 4] != 0xEE &&
      (mbr[446 + 4] != 0x07 || !Ld32(mbr + 446 + 8))) {
    unsigned char backup[512];
    // Sector 0 as a table or another file system's boot sector says the
    // disk is no lost NTFS volume's: only its last sector is looked at.
    bool otherVolume = IsVolumeBootSector(mbr) && memcmp(mbr + 3, "NTFS    ", 8) != 0;
    unsigned long long at =
        FindLostVolumeBackup(block, disk, HoldsPartitionTable(mbr, disk) || otherVolume, backup);
    if (at) {
      *start = 0;
      *length = at + Ld16(backup + 0x0B);
      if (sectorSize) *sectorSize = Ld16(backup + 0x0B);
      *used = 0;
      return 0;
    }
  }
  // The table counts the disk's sectors, by the one rule every volume
  // search follows: a GPT's by where its header lies, an MBR's by the size
  // the volumes at its entries declare. An MBR that reads alike as two
  // sizes opens nothing (the FAT search that follows says why).
  DiskPartitions parts;
  if (!ReadDiskPartitions(ReadFromBlock, block, block->bytes, &parts)) return Fail(EIO);
  if (parts.table == DiskPartitions::NONE || parts.unitRule < 0 ||
      (parts.table == DiskPartitions::GPT && !parts.unitRule))
    return Fail(ENODEV);
  const unsigned long long sector = 512ull * parts.unit;
  if (sectorSize) *sectorSize = (unsigned)sector;
  if (index == kFirstDataPartition) index = parts.FirstData();
  // A partition whose type names an NTFS volume: a GPT basic data or
  // recovery partition, an MBR entry of type 07 or 27.
  const DiskPartition* p = parts.At(index);
  const bool ntfsType =
      p && (p->mbrType ? p->mbrType == 0x07 || p->mbrType == 0x27
                       : p->role == PARTITION_DATA || p->role == PARTITION_RECOVERY);
  if (!ntfsType || !p->first || p->last < p->first) return Fail(ENODEV);
  *start = p->first * sector;
  *length = (p->last - p->first + 1) * sector;
  *used = index;
  return parts.table == DiskPartitions::GPT ? 1 : 0;
}

extern "C" {

int ntfs_disk_dev_open(struct ntfs_device* dev, int flags) {
  if (NDevOpen(dev)) return Fail(EBUSY);
  NtfsDiskDev* d = State(dev);
  if (!d) {
    d = new (std::nothrow) NtfsDiskDev();
    if (!d) return Fail(ENOMEM);
    dev->d_private = d;
  }
  int acc = flags & O_ACCMODE;
  d->pos = 0;
  d->writable = acc != O_RDONLY;
  if (strcmp(dev->d_name, NTFS_DISK_DEVICE_NAME) == 0) {
    if (!d->block) return Fail(EINVAL);
    d->win.handle = d->win.lockHandle = NTFS_INVALID_HANDLE;
    d->win.heads = d->win.sectorsPerTrack = d->win.cylinders = -1;
    int used = d->partition;
    unsigned sectorSize = 512;
    int r = FindNtfsPartition(d->block, d->partition, &d->win.start, &d->win.length, &used,
                              &sectorSize);
    d->win.sectorSize = (int)sectorSize;
    if (r < 0) return -1;
    d->partition = used;
    d->gpt = r == 1;
    if (d->gpt) dev->d_state |= NTFS_DEV_STATE_GPT;
    d->win.lengthKnown = d->win.bounded = true;
    // Otherwise the first sector is read as it is (a host volume's
    // snapshot is no partition of a disk: its first sector is its own).
    if (d->bootFromBackup) {
      if (!LoadBootStandIn(d, true)) return Fail(EINVAL);
    } else if (!HasSecondHandle(d->block)) {
      LoadBootStandIn(d, false);
    }
    if (d->mirrorFromMft && !LoadMirrorStandIn(d)) return Fail(EIO);
    if (!HasSecondHandle(d->block)) d->cache.reset(new (std::nothrow) NtfsBlockCache);
  } else {
    d->block = NULL;
    if (NtfsWin32OpenDevice(dev->d_name,
                            acc == O_RDONLY   ? 0
                            : acc == O_WRONLY ? 1
                                              : 2,
                            (flags & O_CREAT) != 0, &d->win) < 0)
      return -1;
  }
  if (!d->writable) NDevSetReadOnly(dev);
  NDevSetOpen(dev);
  NDevClearDirty(dev);
  return 0;
}

int ntfs_disk_dev_close(struct ntfs_device* dev) {
  NtfsDiskDev* d = State(dev);
  if (!NDevOpen(dev) || !d) return Fail(EBADF);
  int result = 0;
  if (d->block) {
    if (d->block->sync) d->block->sync(d->block->owner);
  } else {
    result = NtfsWin32CloseDevice(&d->win, d->writable);
  }
  delete d;
  dev->d_private = NULL;
  NDevClearOpen(dev);
  return result;
}

s64 ntfs_disk_dev_seek(struct ntfs_device* dev, s64 offset, int whence) {
  NtfsDiskDev* d = State(dev);
  if (!d || !NDevOpen(dev)) return Fail(EBADF);
  s64 base;
  switch (whence) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = (s64)d->pos;
      break;
    case SEEK_END:
      if (!d->win.lengthKnown) return Fail(EOPNOTSUPP);
      base = (s64)d->win.length;
      break;
    default:
      return Fail(EINVAL);
  }
  s64 to = base + offset;
  if (to < 0 || (d->win.bounded && d->win.lengthKnown && !d->zerosPastEnd &&
                 (unsigned long long)to > d->win.length))
    return Fail(EINVAL);
  d->pos = (unsigned long long)to;
  return to;
}

s64 ntfs_disk_dev_read(struct ntfs_device* dev, void* buf, s64 count) {
  NtfsDiskDev* d = State(dev);
  s64 r = Transfer(dev, buf, count, d ? d->pos : 0, false, false);
  if (r > 0) d->pos += (unsigned long long)r;
  return r;
}

s64 ntfs_disk_dev_write(struct ntfs_device* dev, const void* buf, s64 count) {
  NtfsDiskDev* d = State(dev);
  s64 r = Transfer(dev, const_cast<void*>(buf), count, d ? d->pos : 0, true, false);
  if (r > 0) d->pos += (unsigned long long)r;
  return r;
}

s64 ntfs_disk_dev_pread(struct ntfs_device* dev, void* buf, s64 count, s64 offset) {
  if (offset < 0) return Fail(EINVAL);
  return Transfer(dev, buf, count, (unsigned long long)offset, false, true);
}

s64 ntfs_disk_dev_pwrite(struct ntfs_device* dev, const void* buf, s64 count, s64 offset) {
  if (offset < 0) return Fail(EINVAL);
  return Transfer(dev, const_cast<void*>(buf), count, (unsigned long long)offset, true, true);
}

int ntfs_disk_dev_sync(struct ntfs_device* dev) {
  NtfsDiskDev* d = State(dev);
  if (!d || !NDevOpen(dev)) return Fail(EBADF);
  if (NDevReadOnly(dev) || !NDevDirty(dev)) return 0;
  if (d->block) {
    if (d->block->sync && d->block->sync(d->block->owner) < 0) return Fail(EIO);
  } else if (NtfsWin32Flush(d->win.handle, d->win.lockHandle) < 0) {
    return -1;
  }
  NDevClearDirty(dev);
  return 0;
}

int ntfs_disk_dev_stat(struct ntfs_device* dev, struct stat* buf) {
  (void)dev;
  (void)buf;
  return 0;
}

int ntfs_disk_dev_ioctl(struct ntfs_device* dev, unsigned long request, void* argp) {
  NtfsDiskDev* d = State(dev);
  if (!d || !NDevOpen(dev)) return Fail(EBADF);
  switch (request) {
    case kBlkGetSize:
      if (!d->win.lengthKnown) break;
      *static_cast<unsigned long*>(argp) = (unsigned long)(d->win.length / 512);
      return 0;
    case kBlkSszGet:
      if (!d->block) NtfsWin32QueryGeometry(&d->win);
      *static_cast<int*>(argp) = d->win.sectorSize;
      return 0;
    case kBlkBszSet:
      return 0;
    case kBlkGetSize64:
      if (!d->win.lengthKnown) break;
      *static_cast<unsigned long long*>(argp) = d->win.length;
      return 0;
    case kHdioGetGeo: {
      HdGeometry* g = static_cast<HdGeometry*>(argp);
      g->heads = (unsigned char)d->win.heads;
      g->sectors = (unsigned char)d->win.sectorsPerTrack;
      g->cylinders = (unsigned short)d->win.cylinders;
      g->start = (unsigned long)(d->win.start / 512);
      return 0;
    }
    default:
      break;
  }
  return Fail(EOPNOTSUPP);
}

struct ntfs_device_operations ntfs_disk_dev_ops = {
    ntfs_disk_dev_open,  ntfs_disk_dev_close, ntfs_disk_dev_seek,   ntfs_disk_dev_read,
    ntfs_disk_dev_write, ntfs_disk_dev_pread, ntfs_disk_dev_pwrite, ntfs_disk_dev_sync,
    ntfs_disk_dev_stat,  ntfs_disk_dev_ioctl,
};

}  // extern "C"
