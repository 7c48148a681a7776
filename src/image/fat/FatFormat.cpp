// The formatter: a new FAT12, FAT16, FAT32 or exFAT file system in the
// partition the mount chose, or one its caller names; nothing outside it is
// written.
#include <stdlib.h>
#include <vector>
#include "image/fat/FatInternal.h"
#include "image/fat/FatCodePage.h"

namespace {
struct Target {
  uint32_t start;
  uint32_t size;
  bool esp;
};

// Writes the FAT head: entries 0..n-1 from values, the rest of the FAT zero.
int WriteFatHead(FatWorkArea* fs, uint8_t type, uint32_t fatStart, uint32_t fatLen,
                 const std::vector<uint32_t>& values) {
  uint32_t ss = fs->sectorSize;
  int r = FatZeroRun(fs, fatStart, fatLen);
  if (r) return r;
  uint32_t bytes = type == FAT_TYPE_12   ? ((uint32_t)values.size() * 3 + 1) / 2
                   : type == FAT_TYPE_16 ? (uint32_t)values.size() * 2
                                         : (uint32_t)values.size() * 4;
  uint32_t sectors = (bytes + ss - 1) / ss;
  std::vector<uint8_t> head(sectors * ss, 0);
  for (uint32_t c = 0; c < values.size(); c++) {
    uint32_t v = values[c];
    if (type == FAT_TYPE_12) {
      uint32_t bc = c + c / 2;
      if (c & 1) {
        head[bc] = (uint8_t)((head[bc] & 0x0F) | (v << 4 & 0xF0));
        head[bc + 1] = (uint8_t)(v >> 4);
      } else {
        head[bc] = (uint8_t)v;
        head[bc + 1] = (uint8_t)((head[bc + 1] & 0xF0) | (v >> 8 & 0x0F));
      }
    } else if (type == FAT_TYPE_16) {
      St16(&head[c * 2], (uint16_t)v);
    } else {
      St32(&head[c * 4], v);
    }
  }
  return FatWriteRun(fs, fatStart, head.data(), sectors);
}

// The compressed up-case table as Windows writes it: each character as its
// upper case, a stretch of more than 512 unchanged ones as 0xFFFF and the
// stretch's length (shorter stretches are written out).
void BuildUpcase(std::vector<uint8_t>& out) {
  std::vector<uint16_t> t;
  uint32_t c = 0;
  while (c < 0x10000) {
    uint32_t run = 0;
    while (c + run < 0x10000 && FatUpcase((uint16_t)(c + run)) == c + run && run < 0xFFFF) run++;
    if (run > 512) {
      t.push_back(0xFFFF);
      t.push_back((uint16_t)run);
      c += run;
    } else {
      t.push_back(FatUpcase((uint16_t)c));
      c++;
    }
  }
  out.resize(t.size() * 2);
  for (size_t i = 0; i < t.size(); i++) St16(&out[i * 2], t[i]);
}

int FormatExfat(FatWorkArea* fs, const Target& t, uint32_t au, uint8_t* buf) {
  uint32_t ss = fs->sectorSize;
  uint64_t size = t.size;
  // Sizes in bytes, whatever the sector: at least 2 MiB; clusters of
  // 4 KiB, 32 KiB from 256 MiB, 128 KiB from 32 GiB.
  const uint64_t bytes = size * ss;
  if (bytes < 4096ull * 512) return FAT_MKFS_ABORTED;
  if (!au) {
    uint32_t clusterBytes = bytes >= 0x4000000ull * 512 ? 0x20000
                            : bytes >= 0x80000ull * 512 ? 0x8000
                                                        : 0x1000;
    au = clusterBytes > ss ? clusterBytes / ss : 1;
  }
  uint32_t fatOff = 32;
  uint32_t fatLen = (uint32_t)(((size / au) * 4 + 8 + ss - 1) / ss);
  uint32_t heap = (fatOff + fatLen + 255) / 256 * 256;
  if (heap >= size / 2) return FAT_MKFS_ABORTED;
  uint64_t clusters = (size - heap) / au;
  if (clusters < 16 || clusters > 0x7FFFFFFD) return FAT_MKFS_ABORTED;
  uint32_t cb = au * ss;
  uint32_t bitmapBytes = (uint32_t)((clusters + 7) / 8);
  uint32_t nb = (bitmapBytes + cb - 1) / cb;
  std::vector<uint8_t> upcase;
  BuildUpcase(upcase);
  uint32_t upSum = FatExfatChecksum(upcase.data(), (uint32_t)upcase.size(), 0, false);
  uint32_t nu = ((uint32_t)upcase.size() + cb - 1) / cb;
  uint32_t used = nb + nu + 1;
  if (used + 2 > clusters) return FAT_MKFS_ABORTED;
  uint32_t bitmapC = 2, upC = 2 + nb, rootC = 2 + nb + nu;
  uint32_t vs = t.start;
  fs->dataStart = vs + heap;
  fs->clusterSize = au;
  int r;
  // FAT: media and end marks, then the three chains.
  std::vector<uint32_t> fat = {0xFFFFFFF8, 0xFFFFFFFF};
  for (uint32_t c = 2; c < 2 + used; c++) {
    bool last = c == upC - 1 || c == rootC - 1 || c == rootC;
    fat.push_back(last ? 0xFFFFFFFF : c + 1);
  }
  if ((r = WriteFatHead(fs, FAT_TYPE_EXFAT, vs + fatOff, fatLen, fat))) return r;
  // Allocation bitmap.
  if ((r = FatZeroRun(fs, ClusterSector(fs, bitmapC), nb * au))) return r;
  {
    std::vector<uint8_t> head((used / 8 / ss + 1) * ss, 0);
    for (uint32_t i = 0; i < used; i++) head[i / 8] |= (uint8_t)(1 << (i % 8));
    if ((r = FatWriteRun(fs, ClusterSector(fs, bitmapC), head.data(),
                         (uint32_t)(head.size() / ss))))
      return r;
  }
  // Up-case table (its entry records the unpadded length).
  uint32_t upBytes = (uint32_t)upcase.size();
  upcase.resize((size_t)nu * cb, 0);
  if ((r = FatWriteRun(fs, ClusterSector(fs, upC), upcase.data(), nu * au))) return r;
  // Root directory: label, bitmap and up-case entries.
  if ((r = FatZeroRun(fs, ClusterSector(fs, rootC), au))) return r;
  memset(buf, 0, ss);
  buf[0] = 0x83;
  buf[32] = 0x81;
  St32(buf + 32 + 20, bitmapC);
  St64(buf + 32 + 24, bitmapBytes);
  buf[64] = 0x82;
  St32(buf + 64 + 4, upSum);
  St32(buf + 64 + 20, upC);
  St64(buf + 64 + 24, upBytes);
  if ((r = FatWriteRun(fs, ClusterSector(fs, rootC), buf, 1))) return r;
  // Boot region, main and backup.
  std::vector<uint8_t> region(12 * ss, 0);
  uint8_t* b = region.data();
  memcpy(b,
         "\xEB\x76\x90"
         "EXFAT   ",
         11);
  St64(b + 0x40, vs);
  St64(b + 0x48, size);
  St32(b + 0x50, fatOff);
  St32(b + 0x54, fatLen);
  St32(b + 0x58, heap);
  St32(b + 0x5C, (uint32_t)clusters);
  St32(b + 0x60, rootC);
  St32(b + 0x64, FatGetTimestamp());
  St16(b + 0x68, 0x0100);
  uint8_t shift = 0;
  while ((1u << shift) < ss) shift++;
  b[0x6C] = shift;
  shift = 0;
  while ((1u << shift) < au) shift++;
  b[0x6D] = shift;
  b[0x6E] = 1;
  b[0x6F] = 0x80;
  b[0x70] = (uint8_t)((uint64_t)used * 100 / clusters);
  b[0x78] = 0xEB;
  b[0x79] = 0xFE;
  b[0x1FE] = 0x55;
  b[0x1FF] = 0xAA;
  for (int s = 1; s <= 8; s++) {
    region[s * ss + ss - 2] = 0x55;
    region[s * ss + ss - 1] = 0xAA;
  }
  uint32_t sum = FatExfatChecksum(b, ss, 0, true);
  sum = FatExfatChecksum(b + ss, 10 * ss, sum, false);
  for (uint32_t i = 0; i < ss / 4; i++) St32(b + 11 * ss + i * 4, sum);
  if ((r = FatWriteRun(fs, vs + 12, b, 12))) return r;
  return FatWriteRun(fs, vs, b, 12);
}

// The automatic cluster size in sectors of ss bytes for a volume of `size`
// of them: by its size in bytes, as for 512-byte sectors (FAT32 by 64 MiB
// steps, FAT12/16 by 2 MiB ones), never below one sector.
uint32_t AutomaticUnit(uint32_t size, uint32_t ss, bool fat32) {
  uint64_t vs = fat32 ? ((uint64_t)size * ss) >> 26 : ((uint64_t)size * ss) >> 21;
  uint32_t au;
  if (fat32)
    au = vs < 1 ? 1 : vs < 2 ? 2 : vs < 4 ? 4 : vs < 8 ? 8 : vs < 16 ? 16 : vs < 32 ? 32 : 64;
  else
    au = vs < 1 ? 1 : vs < 4 ? 2 : vs < 16 ? 4 : vs < 64 ? 8 : vs < 256 ? 16 : vs < 512 ? 32 : 64;
  au = au * FAT_MIN_SECTOR / ss;
  return au ? au : 1;
}

int FormatFat(FatWorkArea* fs, const Target& t, uint32_t unit, unsigned options, uint8_t* buf) {
  uint32_t ss = fs->sectorSize;
  uint32_t size = t.size;
  bool fat32 = !(options & FAT_FMT_FAT);
  bool fat32Allowed = (options & FAT_FMT_FAT32) != 0;
  uint32_t au = unit ? unit : AutomaticUnit(t.size, ss, fat32);
  uint8_t type;
  uint32_t rsv, fatLen, rootSecs, clusters;
  for (;;) {
    bool fits;
    uint32_t est = size / au;
    if (fat32) {
      rootSecs = 0;
      rsv = 32;
      fatLen = (uint32_t)(((uint64_t)est * 4 + 8 + ss - 1) / ss);
      uint64_t data = (uint64_t)t.start + rsv + fatLen;
      rsv += (uint32_t)((data + 255) / 256 * 256 - data);
      uint64_t sys = (uint64_t)rsv + fatLen;
      clusters = sys < size ? (uint32_t)((size - sys) / au) : 0;
      type = FAT_TYPE_32;
      fits = clusters >= 65526 && clusters <= 0x0FFFFFF5;
    } else {
      rsv = 1;
      rootSecs = 512 * 32 / ss;
      uint64_t bytes = est <= 4085 ? ((uint64_t)est * 3 + 1) / 2 + 3 : (uint64_t)est * 2 + 4;
      fatLen = (uint32_t)((bytes + ss - 1) / ss);
      uint64_t data = (uint64_t)t.start + rsv + fatLen + rootSecs;
      fatLen += (uint32_t)((data + 255) / 256 * 256 - data);
      uint64_t sys = (uint64_t)rsv + fatLen + rootSecs;
      clusters = sys < size ? (uint32_t)((size - sys) / au) : 0;
      // 4085 and 65525 clusters are read differently by other systems:
      // one cluster fewer keeps the type beyond doubt.
      if (clusters == 4085 || clusters == 65525) {
        size -= au;
        clusters--;
      }
      type = clusters <= 4085 ? FAT_TYPE_12 : FAT_TYPE_16;
      fits = clusters >= 1 && clusters <= 65525;
    }
    if (fits) break;
    if (!fat32 && fat32Allowed && clusters > 65525) {
      fat32 = true;
      if (!unit) au = AutomaticUnit(t.size, ss, true);
      size = t.size;
      continue;
    }
    if (unit) return FAT_MKFS_ABORTED;
    // A FAT32 volume short of clusters takes smaller ones (a volume of
    // 64 MiB needs clusters of one sector); any other misfit larger ones.
    if (fat32 && clusters < 65526) {
      if (au == 1) return FAT_MKFS_ABORTED;
      au /= 2;
    } else {
      if (au >= 128) return FAT_MKFS_ABORTED;
      au *= 2;
    }
    size = t.size;
  }
  uint32_t vs = t.start;
  uint32_t fatStart = vs + rsv;
  fs->dataStart = fatStart + fatLen + rootSecs;
  fs->clusterSize = au;
  uint32_t serial = FatGetTimestamp();
  int r;
  // FAT (one copy), root directory, then the boot sector last.
  std::vector<uint32_t> fat;
  if (type == FAT_TYPE_12)
    fat = {0xFF8, 0xFFF};
  else if (type == FAT_TYPE_16)
    fat = {0xFFF8, 0xFFFF};
  else
    fat = {0x0FFFFFF8, 0x0FFFFFFF, 0x0FFFFFFF};
  if ((r = WriteFatHead(fs, type, fatStart, fatLen, fat))) return r;
  if (type == FAT_TYPE_32)
    r = FatZeroRun(fs, ClusterSector(fs, 2), au);
  else
    r = FatZeroRun(fs, fatStart + fatLen, rootSecs);
  if (r) return r;

  uint8_t* b = buf;
  memset(b, 0, ss);
  bool espCode = type == FAT_TYPE_32 && t.esp;
  memcpy(b, espCode ? "\xEB\x58\x90" : "\xEB\xFE\x90", 3);
  memcpy(b + 3, "MSDOS5.0", 8);
  St16(b + 0x0B, (uint16_t)ss);
  b[0x0D] = (uint8_t)au;
  St16(b + 0x0E, (uint16_t)rsv);
  b[0x10] = 1;
  St16(b + 0x11, type == FAT_TYPE_32 ? 0 : 512);
  if (size < 0x10000)
    St16(b + 0x13, (uint16_t)size);
  else
    St32(b + 0x20, size);
  b[0x15] = 0xF8;
  St16(b + 0x18, 63);
  St16(b + 0x1A, 255);
  St32(b + 0x1C, vs);
  if (type == FAT_TYPE_32) {
    St32(b + 0x24, fatLen);
    St32(b + 0x2C, 2);
    St16(b + 0x30, 1);
    St16(b + 0x32, 6);
    b[0x40] = 0x80;
    b[0x42] = 0x29;
    St32(b + 0x43, serial);
    memcpy(b + 0x47, "NO NAME    FAT32   ", 19);
    if (espCode) {
      b[0x5A] = 0xEB;  // boot code: halt
      b[0x5B] = 0xFE;
    }
  } else {
    St16(b + 0x16, (uint16_t)fatLen);
    b[0x24] = 0x80;
    b[0x26] = 0x29;
    St32(b + 0x27, serial);
    memcpy(b + 0x2B, "NO NAME    FAT     ", 19);
  }
  b[0x1FE] = 0x55;
  b[0x1FF] = 0xAA;
  if (type == FAT_TYPE_32) {
    std::vector<uint8_t> info(ss, 0);
    memcpy(&info[0], "RRaA", 4);
    memcpy(&info[0x1E4], "rrAa", 4);
    St32(&info[0x1E8], clusters - 1);
    St32(&info[0x1EC], 2);
    info[0x1FE] = 0x55;
    info[0x1FF] = 0xAA;
    if ((r = FatWriteRun(fs, vs + 6, b, 1))) return r;
    if ((r = FatWriteRun(fs, vs + 1, info.data(), 1))) return r;
    if ((r = FatWriteRun(fs, vs + 7, info.data(), 1))) return r;
  }
  return FatWriteRun(fs, vs, b, 1);
}
}  // namespace

namespace {
// Sets the disk block to the disk's sectors and checks the arguments.
int Prepare(FatWorkArea* fs, uint32_t unitBytes, void* work, uint32_t workSize) {
  if (int r = FatResetWorkArea(fs)) return r;
  // The volume is made of the disk's sectors, as its table counts them.
  uint32_t ss = fs->diskSectorSize;
  if (!ss) return FAT_DISK_SECTOR_UNKNOWN;
  if (ss < FAT_MIN_SECTOR || ss > FAT_MAX_SECTOR || (ss & (ss - 1))) return FAT_DISK_ERR;
  fs->disk->sectorSize = (uint16_t)ss;
  fs->disk->bias = (uint16_t)((uint64_t)fs->partStart * FAT_MIN_SECTOR % ss);
  fs->sectorSize = (uint16_t)ss;
  if (unitBytes && ((unitBytes & (unitBytes - 1)) || unitBytes < ss || unitBytes > 0x1000000))
    return FAT_INVALID_PARAMETER;
  if (!work || workSize < ss) return FAT_NOT_ENOUGH_CORE;
  return FAT_OK;
}

int FormatTarget(FatWorkArea* fs, unsigned options, uint32_t unitBytes, uint8_t* buf,
                 const Target& t) {
  if (t.size < 128) return FAT_MKFS_ABORTED;
  // Never past the disk's last sector.
  if ((uint64_t)t.start + t.size > 0xFFFFFFFFull || FatReadRun(fs, t.start + t.size - 1, buf, 1))
    return FAT_MKFS_ABORTED;
  uint32_t ss = fs->sectorSize;
  uint32_t au = unitBytes / ss;
  unsigned kinds = options & 7;
  int r;
  fs->fsType = 0;  // what was mounted is gone
  // exFAT where asked alone, for a volume past 32 GiB, or for clusters of
  // more than 128 sectors.
  if ((kinds & FAT_FMT_EXFAT) &&
      (kinds == FAT_FMT_EXFAT || (uint64_t)t.size * ss > 0x3FFFFFFull * FAT_MIN_SECTOR || au > 128))
    r = FormatExfat(fs, t, au, buf);
  else if (kinds & (FAT_FMT_FAT | FAT_FMT_FAT32))
    r = au > 128 ? FAT_INVALID_PARAMETER : FormatFat(fs, t, au, kinds, buf);
  else
    r = FAT_INVALID_PARAMETER;
  fs->winSector = 0xFFFFFFFF;
  fs->winDirty = 0;
  if (r) return r;
  return FatDiskIoctl(fs->disk, 0, nullptr) ? FAT_DISK_ERR : FAT_OK;
}
}  // namespace

int FatFormatVolume(FatWorkArea* fs, unsigned options, uint32_t unitBytes, void* work,
                    uint32_t workSize) {
  // Only the partition the mount chose: a table-less disk's volume starts
  // at sector 0, every partition of a table after it.
  if (!fs || !fs->partSectors) return fs ? FAT_MKFS_ABORTED : FAT_NOT_ENABLED;
  int r = Prepare(fs, unitBytes, work, workSize);
  if (r) return r;
  const uint32_t per = fs->sectorSize / FAT_MIN_SECTOR;
  Target t = {fs->partStart / per, fs->partSectors / per, fs->partEsp != 0};
  return FormatTarget(fs, options, unitBytes, (uint8_t*)work, t);
}
