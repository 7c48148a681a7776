// The two copies of an NTFS boot sector, judged from the disk itself.
#include <errno.h>
#include <string.h>

#include <vector>

#include "common/ByteOrder.h"
#include "image/ntfs/NtfsBootSectors.h"
#include "image/ntfs/NtfsDevice.h"

extern "C" {
#include <ntfs-3g/bootsect.h>
}

namespace {

const uint32_t kSector = 512;
// How far before the partition's end a copy is looked for when neither the
// first nor the last sector holds a sound one (a grown partition).
const uint64_t kScanBytes = 256ull << 20;
const uint32_t kScanChunk = 1u << 20;

bool ReadAt(DiskIoBlock* block, uint64_t at, void* buffer, uint32_t count) {
  return block->read && block->read(block->owner, at, buffer, count) == (int)count;
}

// The first cluster of the data of the record at `at` (record 0 names
// $MFT's, record 1 $MFTMirr's); -1 when the record is no whole FILE record
// with a non-resident unnamed $DATA.
int64_t DataStart(DiskIoBlock* block, uint64_t at, uint32_t recordSize) {
  std::vector<uint8_t> rec(recordSize);
  if (!ReadAt(block, at, rec.data(), recordSize) || memcmp(rec.data(), "FILE", 4)) return -1;
  uint32_t usaOffset = Ld16(&rec[4]), usaCount = Ld16(&rec[6]);
  if (usaCount != recordSize / kSector + 1 || usaOffset < 8 ||
      usaOffset + 2 * usaCount > recordSize)
    return -1;
  for (uint32_t i = 1; i < usaCount; i++) {
    if (memcmp(&rec[i * kSector - 2], &rec[usaOffset], 2)) return -1;
    memcpy(&rec[i * kSector - 2], &rec[usaOffset + 2 * i], 2);
  }
  for (uint32_t a = Ld16(&rec[20]); a + 72 <= recordSize;) {
    uint32_t type = Ld32(&rec[a]), length = Ld32(&rec[a + 4]);
    if (type == 0xFFFFFFFF || length < 24 || a + length > recordSize) return -1;
    if (type == 0x80 && rec[a + 9] == 0) {
      if (!rec[a + 8] || length < 64) return -1;
      uint32_t p = a + Ld16(&rec[a + 32]);
      if (p >= a + length) return -1;
      uint32_t lengthBytes = rec[p] & 15, lcnBytes = rec[p] >> 4;
      if (!lengthBytes || !lcnBytes || lcnBytes > 8 || p + 1 + lengthBytes + lcnBytes > a + length)
        return -1;
      int64_t lcn = (int8_t)rec[p + lengthBytes + lcnBytes];  // its sign
      for (int i = (int)lcnBytes - 2; i >= 0; i--) lcn = lcn * 256 + rec[p + 1 + lengthBytes + i];
      return lcn;
    }
    a += length;
  }
  return -1;
}

// Judges the copy in copy->bytes against a partition of `bytes` bytes at
// `start`.
void Judge(DiskIoBlock* block, uint64_t start, uint64_t bytes, NtfsBootCopy* copy) {
  NTFS_BOOT_SECTOR b;
  memcpy(&b, copy->bytes, sizeof b);
  copy->ntfs = ntfs_boot_sector_is_ntfs(&b) != 0;
  if (!copy->ntfs) return;
  const uint8_t* s = copy->bytes;
  // The library takes a sector without its signature; Windows does not.
  copy->signature = s[510] == 0x55 && s[511] == 0xAA;
  uint64_t bps = Ld16(s + 11), spc = s[13];
  // Clusters above 64 KiB are given as a power of two.
  if (spc > 0x80) spc = spc >= 0xF4 ? 1ull << (256 - spc) : 0;
  uint64_t cluster = bps * spc;
  int8_t perRecord = (int8_t)s[0x40];
  uint64_t record = perRecord > 0 ? perRecord * cluster : perRecord > -31 ? 1ull << -perRecord : 0;
  uint64_t count = Ld64(s + 0x28);
  if (!cluster || record < kSector || record > 65536 || (record & (kSector - 1)) ||
      count > (1ull << 48))
    return;
  uint64_t volume = count * bps;
  copy->volumeSectors = volume / kSector;
  copy->fits = volume + bps <= bytes;
  copy->exact = volume + bps == bytes;
  uint64_t mft = Ld64(s + 0x30), mirror = Ld64(s + 0x38);
  if (mft >= (1ull << 48) / cluster || mirror >= (1ull << 48) / cluster) return;
  // Either copy of records 0 and 1 will do: the mirror's is there for a
  // damaged $MFT.
  for (uint64_t lcn : {mft, mirror}) {
    if ((lcn * cluster + 2 * record) > volume) continue;
    uint64_t at = start + lcn * cluster;
    if (DataStart(block, at, (uint32_t)record) == (int64_t)mft) copy->mft = true;
    if (DataStart(block, at + record, (uint32_t)record) == (int64_t)mirror) copy->mirror = true;
  }
}

// A copy between the partition's start and its last sector that names its
// own place as the backup's: the backup of a volume whose partition grew.
bool FindEarlierBackup(DiskIoBlock* block, uint64_t start, uint64_t sectors, NtfsBootCopy* out) {
  if (sectors < 3) return false;
  uint64_t last = sectors - 2,
           lowest = sectors * kSector > kScanBytes ? last - kScanBytes / kSector : 1;
  return FindSelfPlacedBootCopy(block, start, lowest, last + 1,
                                [&](uint64_t sector, const uint8_t* p) {
                                  NtfsBootCopy c;
                                  c.sector = sector;
                                  memcpy(c.bytes, p, kSector);
                                  Judge(block, start, sectors * kSector, &c);
                                  if (c.Sound()) *out = c;
                                  return c.Sound();
                                }) != 0;
}

// The sector size an NTFS boot sector declares, at least 512 (smaller
// sectors keep their backup in the last 512 bytes); 0 when it is none.
uint32_t DeclaredSectorBytes(const uint8_t* s) {
  uint32_t bps = Ld16(s + 11);
  if (memcmp(s + 3, "NTFS    ", 8) || bps < 256 || bps > 4096 || (bps & (bps - 1))) return 0;
  return bps < kSector ? kSector : bps;
}

// The volume's sector size: the boot sector's, else that of a copy in the
// partition's last sector of the size the copy names; 512 when neither
// tells.
uint32_t VolumeSectorBytes(DiskIoBlock* block, uint64_t start, uint64_t length,
                           const uint8_t* primary) {
  if (uint32_t bps = DeclaredSectorBytes(primary)) return bps;
  uint8_t copy[kSector];
  for (uint32_t bps = 4096; bps > kSector; bps /= 2)
    if (length >= 2 * bps && ReadAt(block, start + length - bps, copy, kSector) &&
        DeclaredSectorBytes(copy) == bps)
      return bps;
  return kSector;
}

}  // namespace

uint64_t FindSelfPlacedBootCopy(DiskIoBlock* block, uint64_t start, uint64_t lowest, uint64_t end,
                                const std::function<bool(uint64_t, const uint8_t*)>& accept) {
  if (!lowest) lowest = 1;
  std::vector<uint8_t> chunk(kScanChunk);
  while (end > lowest) {
    uint64_t from = end - lowest > kScanChunk / kSector ? end - kScanChunk / kSector : lowest;
    if (!ReadAt(block, start + from * kSector, chunk.data(), (uint32_t)((end - from) * kSector)))
      return 0;
    for (uint64_t s = end; s-- > from;) {
      const uint8_t* p = &chunk[(size_t)((s - from) * kSector)];
      if (!memcmp(p + 3, "NTFS    ", 8) && Ld64(p + 0x28) * Ld16(p + 11) == s * kSector &&
          accept(s, p))
        return s;
    }
    end = from;
  }
  return 0;
}

int ExamineNtfsBootSectors(DiskIoBlock* block, int index, NtfsBootSectors* out) {
  *out = NtfsBootSectors();
  unsigned long long start = 0, length = 0;
  int used = index;
  if (!block || FindNtfsPartition(block, index, &start, &length, &used) < 0) return -1;
  out->start = start;
  out->sectors = length / kSector;
  out->table = start != 0;
  NtfsBootCopy& p = out->primary;
  NtfsBootCopy& b = out->backup;
  if (out->sectors < 2) return (errno = EINVAL, -1);
  if (!ReadAt(block, start, p.bytes, kSector)) return (errno = EIO, -1);
  out->sectorBytes = VolumeSectorBytes(block, start, out->sectors * kSector, p.bytes);
  if (out->sectors < 2ull * (out->sectorBytes / kSector)) return (errno = EINVAL, -1);
  b.sector = out->BackupSector();
  if (!ReadAt(block, start + b.sector * kSector, b.bytes, kSector)) return (errno = EIO, -1);
  Judge(block, start, length, &p);
  Judge(block, start, length, &b);
  // A primary that is sound but for its size gives way only to a backup of
  // the same volume (its serial number): the last sector of a partition
  // larger than the volume can hold a stale copy of another.
  if (p.Sound() && p.exact)
    out->choice = 1;
  else if (b.Sound() && b.exact && (!p.Sound() || !memcmp(p.bytes + 0x48, b.bytes + 0x48, 8)))
    out->choice = 2;
  else if (p.Sound())
    out->choice = 1;
  else if (FindEarlierBackup(block, start, out->sectors, &b))
    out->choice = 2;
  if (!out->choice) return 0;
  memcpy(out->chosen, out->choice == 1 ? p.bytes : b.bytes, kSector);
  // The hidden sectors of a partition are where it starts, counted in the
  // volume's sectors.
  uint32_t bps = Ld16(out->chosen + 11);
  if (out->table && start / bps <= 0xFFFFFFFFu) St32(out->chosen + 0x1C, (uint32_t)(start / bps));
  return 0;
}

int ExamineNtfsVolumeBootSectors(ntfs_volume* vol, NtfsBootSectors* out) {
  if (!vol || !vol->dev || vol->dev->d_ops != &ntfs_disk_dev_ops || !vol->dev->d_private)
    return (errno = EINVAL, -1);
  NtfsDiskDev* d = static_cast<NtfsDiskDev*>(vol->dev->d_private);
  if (!d->block || d->block->second != NTFS_INVALID_HANDLE) return (errno = EINVAL, -1);
  return ExamineNtfsBootSectors(d->block, d->partition, out);
}

int NtfsBootSectorsToWrite(const NtfsBootSectors& s) {
  if (!s.choice) return 0;
  int write = memcmp(s.primary.bytes, s.chosen, kSector) ? 1 : 0;
  // A copy found before the end is not the last sector's content.
  if (s.backup.sector != s.BackupSector() || memcmp(s.backup.bytes, s.chosen, kSector)) write |= 2;
  return write;
}

int WriteNtfsBootSectors(DiskIoBlock* block, const NtfsBootSectors& s) {
  if (!block || !s.choice) return (errno = EINVAL, -1);
  int write = NtfsBootSectorsToWrite(s);
  if (!write) return 0;
  // Whole sectors of the volume's size: the chosen copy's sector as it
  // lies, its boot sector as chosen.
  const uint32_t n = s.sectorBytes;
  std::vector<uint8_t> sector(n, 0);
  uint64_t from = s.choice == 1 ? 0 : s.backup.sector * kSector;
  uint64_t left = s.sectors * kSector - from;
  if (!ReadAt(block, s.start + from, sector.data(), (uint32_t)(left < n ? left : n)))
    return (errno = EIO, -1);
  memcpy(sector.data(), s.chosen, kSector);
  // The backup first: until the primary is written, a repair stopped here
  // finds the same choice again.
  if ((write & 2) &&
      block->write(block->owner, s.start + s.BackupSector() * kSector, sector.data(), n) != (int)n)
    return (errno = EIO, -1);
  if ((write & 1) && block->write(block->owner, s.start, sector.data(), n) != (int)n)
    return (errno = EIO, -1);
  if (block->sync && block->sync(block->owner) < 0) return (errno = EIO, -1);
  return 0;
}
