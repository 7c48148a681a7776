// Mounting a FAT or exFAT volume: finding it on the disk, checking its boot
// sector, the one-sector window and the FAT32 FSInfo sector.
#include "image/fat/FatInternal.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <vector>

#include "image/device/DiskSectorSize.h"
#include "image/device/PartitionTable.h"

// A file's data goes to the disk when it is written; the table, directory
// and FSInfo sectors that describe it wait here until the volume is
// flushed, and then go in this order: the first FAT, the directory entries
// and FSInfo, the second FAT. A write that fails (a full host disk, after
// which the disk takes no more) or a process gone before the flush leaves
// data in clusters that are still free, never a chain or a size that the
// data did not reach.
struct FatHeldSectors {
  std::map<uint32_t, std::vector<uint8_t>> sectors;
};

namespace {
uint16_t g_lfnBuffer[256];
uint8_t g_exfatBuffer[608];
uint16_t g_mountCounter;

int DiskWriteResult(int r) {
  return r == FAT_DISK_WRPRT ? FAT_WRITE_PROTECTED : FAT_DISK_ERR;
}

// 0 FAT boot sector, 1 exFAT, 2 a boot record that is not FAT, 3 no
// signature, 4 disk error. Without needSignature, a sector that lacks only its
// signature is judged as the rest of it says.
int CheckBootSector(FatWorkArea* fs, uint32_t sector, bool needSignature = true) {
  fs->winDirty = 0;
  fs->winSector = 0xFFFFFFFF;
  if (FatLoadWindow(fs, sector)) return 4;
  const uint8_t* w = fs->window;
  if (needSignature && Ld16(w + 0x1FE) != 0xAA55) return 3;
  if (!memcmp(w,
              "\xEB\x76\x90"
              "EXFAT   ",
              11))
    return 1;
  if (w[0] != 0xE9 && w[0] != 0xEB && w[0] != 0xE8) return Ld16(w + 0x1FE) == 0xAA55 ? 2 : 3;
  if (!memcmp(w + 0x36, "FAT", 3) || !memcmp(w + 0x52, "FAT32", 5)) return 0;
  return Ld16(w + 0x1FE) == 0xAA55 ? 2 : 3;
}

// The sector size a boot sector judged `kind` (as CheckBootSector)
// declares: FAT's bytes per sector, exFAT's as its power of two (0 for a
// power no sector has).
uint32_t DeclaredSectorSize(const uint8_t* boot, int kind) {
  if (kind == 1) return boot[0x6C] < 32 ? 1u << boot[0x6C] : 0;
  return Ld16(boot + 0x0B);
}

bool SectorSizeAllowed(uint32_t size) {
  return size >= FAT_MIN_SECTOR && size <= FAT_MAX_SECTOR && !(size & (size - 1));
}

// Reads 512-byte sectors through the window for the disk's sector-size
// rule (what the module holds back included).
bool ReadThroughWindow(void* context, uint64_t offset, void* buffer, uint32_t count) {
  FatWorkArea* fs = static_cast<FatWorkArea*>(context);
  if (offset % FAT_MIN_SECTOR || count != FAT_MIN_SECTOR || fs->sectorSize != FAT_MIN_SECTOR ||
      offset / FAT_MIN_SECTOR >= 0xFFFFFFFF)
    return false;
  fs->winDirty = 0;
  fs->winSector = 0xFFFFFFFF;
  if (FatLoadWindow(fs, (uint32_t)(offset / FAT_MIN_SECTOR))) return false;
  memcpy(buffer, fs->window, count);
  return true;
}

// Notes the partition [start, start + sectors) as the one the mount chose.
void ChoosePartition(FatWorkArea* fs, uint32_t start, uint64_t sectors, bool esp, int index) {
  fs->partStart = start;
  fs->partSectors = (uint32_t)sectors;
  fs->partEsp = esp ? 1 : 0;
  fs->partIndex = index;
}

// Notes the entry as the partition chosen and judges its first sector
// into *kind (as CheckBootSector): an EFI system partition of a GPT also
// when its boot sector lacks only its signature (noted in partUnsigned).
// FAT_NO_FILESYSTEM when the entry's sectors make no partition the module
// reaches (32-bit sector numbers).
int ChooseEntry(FatWorkArea* fs, const DiskPartition& p, uint32_t unit, bool gpt, int* kind) {
  uint64_t start = p.first * unit, sectors;
  if (gpt) {
    // The volume takes the sectors up to the entry's last, that one left
    // out (as the formatter has always made it).
    if (!p.first || p.last <= p.first || p.last >= 0xFFFFFFFF / unit) return FAT_NO_FILESYSTEM;
    sectors = (p.last - p.first) * unit;
  } else {
    sectors = (p.last - p.first + 1) * unit;
    if (!p.first || start + sectors > 0xFFFFFFFF) return FAT_NO_FILESYSTEM;
  }
  const bool esp = gpt && p.role == PARTITION_ESP;
  *kind = CheckBootSector(fs, (uint32_t)start, !esp);
  if (*kind == 4) return FAT_DISK_ERR;
  fs->partUnsigned = esp && Ld16(fs->window + 0x1FE) != 0xAA55;
  ChoosePartition(fs, (uint32_t)start, sectors, esp, p.index);
  return FAT_OK;
}

// The disk's GPT (of a protective or hybrid MBR whose entry names its
// header): the sector size it counts and its entries.
int ReadGpt(FatWorkArea* fs, uint64_t headerLba, DiskPartitions* gpt) {
  *gpt = DiskPartitions();
  gpt->table = DiskPartitions::GPT;
  gpt->unit = GptSectorUnit(ReadThroughWindow, fs, headerLba);
  if (!gpt->unit) return FAT_NO_FILESYSTEM;
  if (!ReadGptPartitions(ReadThroughWindow, fs, headerLba, gpt->unit, gpt)) return FAT_DISK_ERR;
  fs->diskSectorSize = gpt->unit * FAT_MIN_SECTOR;
  fs->partGpt = 1;
  return FAT_OK;
}

// The boot partition of a table: a GPT's first EFI system partition
// (whatever it holds: one without a boot sector may be formatted); in an
// MBR the first entry that holds a volume (a hybrid MBR's protective
// entry standing for its GPT's EFI system partition), else the first.
int LocateBootPartition(FatWorkArea* fs, const DiskPartitions& t, int* kind) {
  if (t.table == DiskPartitions::GPT) {
    for (const DiskPartition& p : t.parts) {
      if (p.role != PARTITION_ESP) continue;
      int r = ChooseEntry(fs, p, t.unit, true, kind);
      if (r != FAT_NO_FILESYSTEM) return r;
    }
    return FAT_NO_FILESYSTEM;
  }
  const DiskPartition* fallback = nullptr;
  for (const DiskPartition& p : t.parts) {
    if (p.mbrType == 0xEE) {
      DiskPartitions gpt;
      int r = ReadGpt(fs, p.first, &gpt);
      if (r == FAT_DISK_ERR) return r;
      if (r == FAT_OK && (r = LocateBootPartition(fs, gpt, kind)) != FAT_NO_FILESYSTEM) return r;
      fs->partGpt = 0;
      fs->diskSectorSize = t.unitRule > 0 ? t.unitRule * FAT_MIN_SECTOR : 0;
      continue;
    }
    if (p.role == PARTITION_CONTAINER) continue;
    int r = ChooseEntry(fs, p, t.unit, false, kind);
    if (r == FAT_DISK_ERR) return r;
    if (r == FAT_OK && *kind <= 1) return FAT_OK;
    if (r == FAT_OK && !fallback) fallback = &p;
  }
  // Where no partition holds a volume: the first partition (the mount
  // fails, a format takes it).
  if (!fallback) return FAT_NO_FILESYSTEM;
  ChooseEntry(fs, *fallback, t.unit, false, kind);
  *kind = 3;
  return FAT_OK;
}

// Chooses the partition of the mount (FatMount's `partition`) and judges
// its first sector into *kind (as CheckBootSector). The choice is noted in
// the work area also when the partition holds no volume, so that it can be
// formatted. FAT_NO_FILESYSTEM when the disk has no such partition.
int LocatePartition(FatWorkArea* fs, int partition, int* kind) {
  ChoosePartition(fs, 0, 0, false, 0);
  fs->partGpt = 0;
  fs->partUnsigned = 0;
  fs->diskSectorSize = 0;
  fs->diskSectorChoices = 0;
  if (partition < kFirstDataPartition) return FAT_NO_FILESYSTEM;
  int first = CheckBootSector(fs, 0);
  if (first == 4) return FAT_DISK_ERR;
  if (first == 3) return FAT_NO_FILESYSTEM;
  const uint8_t* w = fs->window;
  if (first <= 1) {
    // A volume without a table: partition 0, as long as the volume says;
    // the disk's sectors are the volume's (nothing else tells them).
    uint64_t sectors = first == 1       ? Ld64(w + 0x48)
                       : Ld16(w + 0x13) ? Ld16(w + 0x13)
                                        : Ld32(w + 0x20);
    uint32_t size = DeclaredSectorSize(w, first);
    if (SectorSizeAllowed(size)) sectors *= size / FAT_MIN_SECTOR;
    if (partition > 0 || !sectors || sectors > 0xFFFFFFFF) return FAT_NO_FILESYSTEM;
    *kind = first;
    fs->diskSectorSize = SectorSizeAllowed(size) ? size : FAT_MIN_SECTOR;
    ChoosePartition(fs, 0, sectors, false, 0);
    return FAT_OK;
  }
  // The table counts the disk's sectors, by the disk's one sector-size
  // rule; where two sizes read volumes, FAT_DISK_SECTOR_UNKNOWN.
  DiskPartitions t;
  if (!ReadDiskPartitions(ReadThroughWindow, fs, fs->disk->diskBytes, &t)) return FAT_DISK_ERR;
  if (t.table == DiskPartitions::GPT) {
    if (!t.unitRule) return FAT_NO_FILESYSTEM;
    fs->diskSectorSize = t.unit * FAT_MIN_SECTOR;
    fs->partGpt = 1;
  } else if (t.table == DiskPartitions::MBR) {
    fs->diskSectorChoices = t.unitChoices;
    fs->diskSectorSize = t.unitRule > 0 ? (uint32_t)t.unitRule * FAT_MIN_SECTOR : 0;
    if (t.unitRule < 0) return FAT_DISK_SECTOR_UNKNOWN;
  } else {
    return FAT_NO_FILESYSTEM;
  }
  if (partition == FAT_BOOT_PARTITION) return LocateBootPartition(fs, t, kind);
  // The partition of the index, and no other.
  if (partition == kFirstDataPartition) partition = t.FirstData();
  const DiskPartition* p = t.At(partition);
  if (!p || p->role == PARTITION_CONTAINER) return FAT_NO_FILESYSTEM;
  return ChooseEntry(fs, *p, t.unit, t.table == DiskPartitions::GPT, kind);
}

int MountFat(FatWorkArea* fs, uint32_t bsect) {
  const uint8_t* w = fs->window;
  uint32_t ss = fs->sectorSize;
  if (Ld16(w + 0x0B) != ss) return FAT_NO_FILESYSTEM;
  uint32_t fasize = Ld16(w + 0x16);
  if (!fasize) fasize = Ld32(w + 0x24);
  uint32_t nfats = w[0x10];
  uint32_t csize = w[0x0D];
  uint32_t nrsv = Ld16(w + 0x0E);
  uint32_t nroot = Ld16(w + 0x11);
  uint32_t tsect = Ld16(w + 0x13);
  if (!tsect) tsect = Ld32(w + 0x20);
  if (nfats != 1 && nfats != 2) return FAT_NO_FILESYSTEM;
  if (!csize || (csize & (csize - 1))) return FAT_NO_FILESYSTEM;
  if (nroot % (ss / 32) || !nrsv || !fasize) return FAT_NO_FILESYSTEM;
  uint64_t sysect = nrsv + (uint64_t)fasize * nfats + nroot * 32 / ss;
  if (tsect <= sysect) return FAT_NO_FILESYSTEM;
  uint32_t clusters = (uint32_t)((tsect - sysect) / csize);
  if (!clusters) return FAT_NO_FILESYSTEM;
  uint8_t type;
  if (clusters <= 4085)
    type = FAT_TYPE_12;
  else if (clusters <= 65525)
    type = FAT_TYPE_16;
  else if (clusters <= 0x0FFFFFF5)
    type = FAT_TYPE_32;
  else
    return FAT_NO_FILESYSTEM;
  if ((uint64_t)bsect + tsect > 0xFFFFFFFFull) return FAT_NO_FILESYSTEM;
  uint64_t need;
  fs->fatEntries = clusters + 2;
  fs->volumeStart = bsect;
  fs->fatStart = bsect + nrsv;
  fs->fatSize = fasize;
  fs->numFats = (uint8_t)nfats;
  fs->clusterSize = csize;
  fs->rootEntries = (uint16_t)nroot;
  fs->dataStart = (uint32_t)(bsect + sysect);
  if (type == FAT_TYPE_32) {
    if (Ld16(w + 0x2A) != 0 || nroot != 0) return FAT_NO_FILESYSTEM;
    fs->rootDir = Ld32(w + 0x2C);
    if (!ValidCluster(fs, fs->rootDir)) return FAT_NO_FILESYSTEM;
    need = (uint64_t)fs->fatEntries * 4;
  } else {
    if (nroot == 0) return FAT_NO_FILESYSTEM;
    fs->rootDir = fs->fatStart + fasize * nfats;
    need =
        type == FAT_TYPE_16 ? (uint64_t)fs->fatEntries * 2 : ((uint64_t)fs->fatEntries * 3 + 1) / 2;
  }
  if ((uint64_t)fasize * ss < need) return FAT_NO_FILESYSTEM;
  fs->fsinfoState = 0x80;
  fs->freeClusters = 0xFFFFFFFF;
  fs->lastCluster = 0xFFFFFFFF;
  if (type == FAT_TYPE_32 && Ld16(w + 0x30) == 1) {
    if (FatLoadWindow(fs, bsect + 1) == 0 && Ld16(w + 0x1FE) == 0xAA55 && !memcmp(w, "RRaA", 4) &&
        !memcmp(w + 0x1E4, "rrAa", 4)) {
      fs->freeClusters = Ld32(w + 0x1E8);
      fs->lastCluster = Ld32(w + 0x1EC);
      if (fs->freeClusters > clusters) fs->freeClusters = 0xFFFFFFFF;
      fs->fsinfoState = 0;
    }
  }
  fs->fsType = type;
  return FAT_OK;
}

int MountExfat(FatWorkArea* fs, uint32_t bsect) {
  const uint8_t* w = fs->window;
  for (int i = 0x0B; i < 0x40; i++)
    if (w[i]) return FAT_NO_FILESYSTEM;
  if (Ld16(w + 0x68) != 0x100) return FAT_NO_FILESYSTEM;
  uint32_t shift = 0;
  while ((1u << shift) < fs->sectorSize) shift++;
  if (w[0x6C] != shift || w[0x6E] != 1 || w[0x6D] > 15) return FAT_NO_FILESYSTEM;
  uint64_t vlen = Ld64(w + 0x48);
  if (vlen + bsect > 0xFFFFFFFFull) return FAT_NO_FILESYSTEM;
  uint32_t clusters = Ld32(w + 0x5C);
  uint32_t csize = 1u << w[0x6D];
  if (!clusters || clusters > 0x7FFFFFFD) return FAT_NO_FILESYSTEM;
  uint64_t heap = Ld32(w + 0x58);
  if (heap + (uint64_t)clusters * csize > vlen) return FAT_NO_FILESYSTEM;
  // The FAT lies between the boot regions (24 sectors) and the cluster heap.
  uint64_t fatOffset = Ld32(w + 0x50), fatLength = Ld32(w + 0x54);
  if (fatOffset < 24 || !fatLength || fatOffset + fatLength > heap) return FAT_NO_FILESYSTEM;
  fs->numFats = 1;
  fs->clusterSize = csize;
  fs->fatEntries = clusters + 2;
  fs->volumeStart = bsect;
  fs->fatStart = bsect + Ld32(w + 0x50);
  fs->fatSize = Ld32(w + 0x54);
  fs->dataStart = (uint32_t)(bsect + heap);
  fs->rootDir = Ld32(w + 0x60);
  fs->rootEntries = 0;
  if (!ValidCluster(fs, fs->rootDir)) return FAT_NO_FILESYSTEM;
  if ((uint64_t)fs->fatSize * fs->sectorSize < (uint64_t)fs->fatEntries * 4)
    return FAT_NO_FILESYSTEM;
  fs->fsType = FAT_TYPE_EXFAT;  // needed by the FAT reads below
  // The allocation bitmap's entry in the root directory's first cluster.
  uint32_t bclust = 0;
  uint64_t blen = 0;
  for (uint32_t s = 0; s < csize && !bclust; s++) {
    if (FatLoadWindow(fs, ClusterSector(fs, fs->rootDir) + s)) {
      fs->fsType = 0;
      return FAT_DISK_ERR;
    }
    for (uint32_t o = 0; o < fs->sectorSize; o += 32)
      if (w[o] == 0x81) {
        bclust = Ld32(w + o + 20);
        blen = Ld64(w + o + 24);
        break;
      }
  }
  int r = FAT_NO_FILESYSTEM;
  if (ValidCluster(fs, bclust) && blen * 8 >= clusters) {
    uint64_t n = (blen + ClusterBytes(fs) - 1) / ClusterBytes(fs);
    uint32_t c = bclust;
    r = FAT_OK;
    for (uint64_t i = 1; i <= n && r == FAT_OK; i++, c++) {
      uint32_t v;
      int e = FatReadEntryEx(fs, c, &v);
      if (e)
        r = e == FAT_DISK_ERR ? FAT_DISK_ERR : FAT_NO_FILESYSTEM;
      else if (i < n ? v != c + 1 : v != 0xFFFFFFFF)
        r = FAT_NO_FILESYSTEM;
    }
  }
  if (r) {
    fs->fsType = 0;
    return r;
  }
  fs->bitmapStart = ClusterSector(fs, bclust);
  fs->fsinfoState = 0x80;
  fs->freeClusters = 0xFFFFFFFF;
  fs->lastCluster = 0xFFFFFFFF;
  return FAT_OK;
}

// From the boot sector in the window on, the disk block and the work area
// count the volume's sectors: the partition's first 512-byte sector becomes
// the volume's sector *bsect. FAT_SECTOR_SIZE when neither FAT nor exFAT
// allows the size the volume declares.
int UseVolumeSectors(FatWorkArea* fs, int kind, uint32_t* bsect) {
  uint32_t size = DeclaredSectorSize(fs->window, kind);
  fs->declaredSectorSize = size;
  if (!SectorSizeAllowed(size)) return FAT_SECTOR_SIZE;
  uint64_t at = (uint64_t)fs->partStart * FAT_MIN_SECTOR;
  fs->disk->sectorSize = (uint16_t)size;
  fs->disk->bias = (uint16_t)(at % size);
  fs->sectorSize = (uint16_t)size;
  fs->winSector = 0xFFFFFFFF;
  fs->winDirty = 0;
  *bsect = (uint32_t)(at / size);
  return FAT_OK;
}

// exFAT's boot region: the boot sector, eight extended boot sectors, the
// OEM parameters and the reserved sector, then the sector of the check
// value (over the eleven before it, the volume flags and the percentage in
// use left out) repeated; the backup region behind it is the same twelve.
const uint32_t kExfatBootRegion = 12;
// Where FAT32 keeps its backup boot sector (the BPB's BkBootSec names it).
const uint32_t kFat32BackupSector = 6;

uint32_t ExfatBootChecksum(const uint8_t* region, uint32_t sectorSize) {
  uint32_t sum = 0;
  for (uint32_t b = 0; b < (kExfatBootRegion - 1) * sectorSize; b++) {
    if (b == 106 || b == 107 || b == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[b];
  }
  return sum;
}

// Whether the twelve sectors of `size` bytes at 512-byte sector `at` hold
// an exFAT boot region of that sector size whose check value is right
// (the disk block counts 512-byte sectors).
bool ExfatRegionWhole(FatWorkArea* fs, uint64_t at, uint32_t size) {
  std::vector<uint8_t> region((size_t)kExfatBootRegion * size);
  const uint32_t per = size / FAT_MIN_SECTOR;
  if (at + kExfatBootRegion * per > 0xFFFFFFFF ||
      FatDiskRead(fs->disk, (uint32_t)at, region.data(), kExfatBootRegion * per))
    return false;
  const uint8_t* boot = region.data();
  if (Ld16(boot + 0x1FE) != 0xAA55 ||
      memcmp(boot,
             "\xEB\x76\x90"
             "EXFAT   ",
             11) ||
      DeclaredSectorSize(boot, 1) != size)
    return false;
  const uint32_t sum = ExfatBootChecksum(boot, size);
  const uint8_t* check = boot + (kExfatBootRegion - 1) * size;
  for (uint32_t b = 0; b < size; b += 4)
    if (Ld32(check + b) != sum) return false;
  return true;
}

// Mounts the volume whose boot sector the window holds as the sector
// `boot` (in the volume's sectors, counted from its first) of the chosen
// partition; kind as CheckBootSector judged it.
int MountBootSector(FatWorkArea* fs, int kind, uint32_t boot) {
  uint32_t bsect = fs->partStart;
  int r = UseVolumeSectors(fs, kind, &bsect);
  if (r) return r;
  if (FatLoadWindow(fs, bsect + boot)) return FAT_DISK_ERR;
  r = kind == 1 ? MountExfat(fs, bsect) : MountFat(fs, bsect);
  // Names are compared as the exFAT volume's own up-case table says.
  if (!r && fs->fsType == FAT_TYPE_EXFAT) r = FatLoadUpcase(fs);
  if (r) fs->fsType = 0;
  return r;
}

// The volume of the chosen partition through its backup boot sector: a
// FAT32 one at sector 6 that names that sector its own, or exFAT's backup
// boot region at sector 12 with its check value, in the sectors the copy
// declares. FAT_NO_FILESYSTEM when there is none (or it does not mount).
int MountFromBackup(FatWorkArea* fs) {
  for (uint32_t size = FAT_MIN_SECTOR; size <= FAT_MAX_SECTOR; size *= 2) {
    for (int kind : {0, 1}) {
      const uint32_t at = kind ? kExfatBootRegion : kFat32BackupSector;
      const uint32_t per = size / FAT_MIN_SECTOR;
      if ((uint64_t)(at + (kind ? kExfatBootRegion : 1)) * per >= fs->partSectors) continue;
      FatResetDiskBlock(fs->disk);
      fs->sectorSize = FAT_MIN_SECTOR;
      const uint64_t sector = fs->partStart + (uint64_t)at * per;
      if (sector > 0xFFFFFFFF) continue;
      if (kind ? !ExfatRegionWhole(fs, sector, size)
               : CheckBootSector(fs, (uint32_t)sector) != 0 ||
                     DeclaredSectorSize(fs->window, 0) != size ||
                     memcmp(fs->window + 0x52, "FAT32", 5) || Ld16(fs->window + 0x32) != at)
        continue;
      if (kind && CheckBootSector(fs, (uint32_t)sector) != 1) continue;
      if (MountBootSector(fs, kind, at) != FAT_OK) continue;
      // Put back into the boot sector (exFAT: the whole main boot region)
      // by the first write.
      fs->bootBackup = (uint8_t)at;
      fs->partUnsigned = 0;
      return FAT_OK;
    }
  }
  FatResetDiskBlock(fs->disk);
  fs->sectorSize = FAT_MIN_SECTOR;
  fs->winSector = 0xFFFFFFFF;
  return FAT_NO_FILESYSTEM;
}

// Mounts the volume of the partition chosen; *kind as CheckBootSector
// judged its first sector. A boot sector that fails (no FAT or exFAT boot
// sector there, a BPB the mount refuses, an exFAT boot region whose check
// value is wrong) gives way to a whole backup, as Windows reads it.
int MountLocated(FatWorkArea* fs, unsigned options, int partition, int* kind) {
  FatResetDiskBlock(fs->disk);
  fs->declaredSectorSize = 0;
  fs->bootBackup = 0;
  fs->sectorSize = fs->disk->sectorSize;
  if (fs->sectorSize < 512 || fs->sectorSize > FAT_MAX_SECTOR ||
      (fs->sectorSize & (fs->sectorSize - 1)))
    return FAT_DISK_ERR;
  *kind = 3;
  int r = LocatePartition(fs, partition, kind);
  const bool lostTableless =
      r == FAT_NO_FILESYSTEM && partition <= 0 && CheckBootSector(fs, 0) == 3;
  if (lostTableless) {
    // A disk whose first sector holds neither a table nor a boot sector:
    // a volume without a table whose boot sector was lost.
    const uint64_t disk = fs->disk->diskBytes / FAT_MIN_SECTOR;
    ChoosePartition(fs, 0, disk < 0xFFFFFFFF ? disk : 0xFFFFFFFF, false, 0);
  } else if (r) {
    return r;
  }
  r = FAT_NO_FILESYSTEM;
  bool backupTried = false;
  if (*kind <= 1) {
    // The window holds the partition's first sector again.
    if (FatLoadWindow(fs, fs->partStart)) return FAT_DISK_ERR;
    const uint32_t size = DeclaredSectorSize(fs->window, *kind);
    if (*kind == 1 && SectorSizeAllowed(size) && !ExfatRegionWhole(fs, fs->partStart, size)) {
      backupTried = true;
      r = MountFromBackup(fs);
    }
    if (r != FAT_OK) {
      if (FatLoadWindow(fs, fs->partStart)) return FAT_DISK_ERR;
      r = MountBootSector(fs, *kind, 0);
    }
    if (r == FAT_DISK_ERR || r == FAT_NOT_ENOUGH_CORE) return r;
  }
  if (r != FAT_OK && !backupTried && fs->partSectors && MountFromBackup(fs) == FAT_OK) r = FAT_OK;
  if (r) {
    if (lostTableless) ChoosePartition(fs, 0, 0, false, 0);
    return r;
  }
  // Without a table, the disk's sectors are the volume's.
  if (lostTableless) fs->diskSectorSize = fs->sectorSize;
  fs->mountId = ++g_mountCounter;
  fs->currentDir = 0;
  fs->lfnBuffer = g_lfnBuffer;
  fs->exfatBuffer = g_exfatBuffer;
  return FAT_OK;
}

int MountVolume(FatWorkArea* fs, unsigned options, int partition) {
  int kind = 3;
  int r = MountLocated(fs, options, partition, &kind);
  // The EFI system partition of a GPT disk is formatted by a mount that may
  // write when it holds no FAT volume: its first sector lacks the signature
  // and is no FAT boot sector either, or one whose BPB the mount refused.
  // One that lacks only its signature was mounted as it is; an exFAT one
  // is never formatted.
  if ((r == FAT_NO_FILESYSTEM || r == FAT_SECTOR_SIZE) && partition == FAT_BOOT_PARTITION &&
      fs->partGpt && fs->partEsp && fs->partUnsigned && kind != 1 &&
      !(options & FAT_MOUNT_READONLY)) {
    uint8_t work[FAT_MAX_SECTOR];
    uint32_t unit = fs->diskSectorSize > FAT_MIN_SECTOR ? fs->diskSectorSize : FAT_MIN_SECTOR;
    if (FatFormatVolume(fs, FAT_FMT_FAT32 | FAT_FMT_KEEP_TABLE, unit, work, sizeof work) == FAT_OK)
      r = MountLocated(fs, options, partition, &kind);
  }
  return r;
}
}  // namespace

namespace {

// More than this many held sectors are written out (in the same order)
// before more are taken.
const size_t kMaxHeld = 512;

bool IsFirstFat(const FatWorkArea* fs, uint32_t sector) {
  return sector - fs->fatStart < fs->fatSize;
}

// The order of a first-FAT sector against the disk's copy: 0 it only takes
// free clusters (nothing reaches them until a link does), 1 it changes a
// link or an end of chain, 2 it only frees clusters (after the links that
// cut them off). FAT12 entries straddle sectors: all its sectors are 1.
int FatSectorOrder(FatWorkArea* fs, uint32_t sector, const uint8_t* held) {
  if (fs->fsType != FAT_TYPE_16 && fs->fsType != FAT_TYPE_32) return 1;
  uint8_t disk[FAT_MAX_SECTOR];
  if (FatDiskRead(fs->disk, sector, disk, 1)) return 1;
  unsigned width = fs->fsType == FAT_TYPE_32 ? 4 : 2;
  bool taken = false, freed = false, relinked = false;
  for (unsigned i = 0; i < fs->sectorSize; i += width) {
    uint32_t was = width == 4 ? Ld32(disk + i) & 0x0FFFFFFF : Ld16(disk + i);
    uint32_t now = width == 4 ? Ld32(held + i) & 0x0FFFFFFF : Ld16(held + i);
    if (was == now) continue;
    if (!was)
      taken = true;
    else if (!now)
      freed = true;
    else
      relinked = true;
  }
  return taken ? 0 : relinked || !freed ? 1 : 2;
}

// The held copy of a sector of the volume, read from the disk when none is
// held yet; null when that read fails.
std::vector<uint8_t>* HeldSector(FatWorkArea* fs, uint32_t sector) {
  std::vector<uint8_t>& held = fs->held->sectors[sector];
  if (!held.empty()) return &held;
  held.resize(fs->sectorSize);
  if (FatDiskRead(fs->disk, sector, held.data(), 1)) {
    fs->held->sectors.erase(sector);
    return nullptr;
  }
  return &held;
}

// The window, when it shows a sector whose held copy changed, shows that.
void ReloadWindowFromHeld(FatWorkArea* fs) {
  auto it = fs->held->sectors.find(fs->winSector);
  if (it != fs->held->sectors.end()) memcpy(fs->window, it->second.data(), fs->sectorSize);
}

int SignFatBootSector(FatWorkArea* fs) {
  std::vector<uint8_t>* boot = HeldSector(fs, fs->volumeStart);
  if (!boot) return FAT_DISK_ERR;
  St16(&(*boot)[0x1FE], 0xAA55);
  ReloadWindowFromHeld(fs);
  return FAT_OK;
}

int SignExfatBootRegions(FatWorkArea* fs) {
  std::vector<uint8_t>* region[kExfatBootRegion];
  for (uint32_t i = 0; i < kExfatBootRegion; i++)
    if (!(region[i] = HeldSector(fs, fs->volumeStart + i))) return FAT_DISK_ERR;
  St16(&(*region[0])[0x1FE], 0xAA55);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < kExfatBootRegion - 1; i++)
    for (uint32_t b = 0; b < fs->sectorSize; b++) {
      if (i == 0 && (b == 106 || b == 107 || b == 112)) continue;
      sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + (*region[i])[b];
    }
  for (uint32_t b = 0; b < fs->sectorSize; b += 4) St32(&(*region[kExfatBootRegion - 1])[b], sum);
  for (uint32_t i = 0; i < kExfatBootRegion; i++) {
    std::vector<uint8_t> copy = *region[i];
    fs->held->sectors[fs->volumeStart + kExfatBootRegion + i].swap(copy);
  }
  ReloadWindowFromHeld(fs);
  return FAT_OK;
}

// The backup's copy of the boot sector (exFAT: of the main boot region),
// held for the boot sector's place.
int RestoreBootSectors(FatWorkArea* fs) {
  const uint32_t count = fs->fsType == FAT_TYPE_EXFAT ? kExfatBootRegion : 1;
  uint8_t sector[FAT_MAX_SECTOR];
  for (uint32_t i = 0; i < count; i++) {
    if (FatDiskRead(fs->disk, fs->volumeStart + fs->bootBackup + i, sector, 1)) return FAT_DISK_ERR;
    fs->held->sectors[fs->volumeStart + i].assign(sector, sector + fs->sectorSize);
  }
  return FAT_OK;
}

// Writes the held sectors in their order: the first FAT (clusters taken,
// then links, then clusters freed), the directory and FSInfo sectors, the
// second FAT. They stay held until all are written.
int WriteHeld(FatWorkArea* fs) {
  FatHeldSectors* h = fs->held;
  if (!h || h->sectors.empty()) return FAT_OK;
  std::vector<std::pair<int, uint32_t>> order;
  try {
    for (const auto& e : h->sectors) {
      int rank = IsFirstFat(fs, e.first) ? FatSectorOrder(fs, e.first, e.second.data()) : 3;
      order.push_back({rank, e.first});
      if (rank < 3 && fs->numFats == 2) order.push_back({4, e.first});
    }
  } catch (const std::bad_alloc&) {
    return FAT_NOT_ENOUGH_CORE;
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const std::pair<int, uint32_t>& a, const std::pair<int, uint32_t>& b) {
                     return a.first < b.first;
                   });
  for (const auto& o : order) {
    uint32_t at = o.first == 4 ? o.second + fs->fatSize : o.second;
    int r = FatDiskWrite(fs->disk, at, h->sectors[o.second].data(), 1);
    if (r) return DiskWriteResult(r);
  }
  h->sectors.clear();
  return FAT_OK;
}

}  // namespace

int FatLoadWindow(FatWorkArea* fs, uint32_t sector) {
  if (sector == fs->winSector) return FAT_OK;
  int r = FatFlushWindow(fs);
  if (r) return r;
  if (fs->held) {
    auto it = fs->held->sectors.find(sector);
    if (it != fs->held->sectors.end()) {
      memcpy(fs->window, it->second.data(), fs->sectorSize);
      fs->winSector = sector;
      return FAT_OK;
    }
  }
  if (FatDiskRead(fs->disk, sector, fs->window, 1)) {
    fs->winSector = 0xFFFFFFFF;
    return FAT_DISK_ERR;
  }
  fs->winSector = sector;
  return FAT_OK;
}

int FatFlushWindow(FatWorkArea* fs) {
  if (!fs->winDirty) return FAT_OK;
  if (fs->disk && (fs->disk->status & FAT_DISK_PROTECT)) return FAT_WRITE_PROTECTED;
  if (!fs->held) fs->held = new (std::nothrow) FatHeldSectors();
  if (!fs->held) return FAT_NOT_ENOUGH_CORE;
  if (fs->held->sectors.size() >= kMaxHeld) {
    int r = WriteHeld(fs);
    if (r) return r;
  }
  try {
    // A volume read through its backup boot sector gets its boot sector
    // back (exFAT: the whole main boot region) with the first change.
    if (fs->bootBackup && fs->fsType) {
      int r = RestoreBootSectors(fs);
      if (r) return r;
      fs->bootBackup = 0;
    }
    fs->held->sectors[fs->winSector].assign(fs->window, fs->window + fs->sectorSize);
    // A boot sector that lacked only its signature gets it back with the
    // first change to the volume; exFAT's boot region its check value
    // anew, and its backup region the same sectors.
    if (fs->partUnsigned == 1 && fs->fsType) {
      int r = fs->fsType == FAT_TYPE_EXFAT ? SignExfatBootRegions(fs) : SignFatBootSector(fs);
      if (r) return r;
      fs->partUnsigned = 2;
    }
  } catch (const std::bad_alloc&) {
    return FAT_NOT_ENOUGH_CORE;
  }
  fs->winDirty = 0;
  return FAT_OK;
}

int FatFlushVolume(FatWorkArea* fs) {
  int r = FatFlushWindow(fs);
  if (r) return r;
  if (fs->fsType == FAT_TYPE_32 && fs->fsinfoState == 1) {
    uint8_t* w = fs->window;
    memset(w, 0, fs->sectorSize);
    memcpy(w, "RRaA", 4);
    memcpy(w + 0x1E4, "rrAa", 4);
    St32(w + 0x1E8, fs->freeClusters);
    St32(w + 0x1EC, fs->lastCluster);
    St16(w + 0x1FE, 0xAA55);
    fs->winSector = fs->volumeStart + 1;
    fs->winDirty = 1;
    r = FatFlushWindow(fs);
    if (r) return r;
    fs->fsinfoState = 0;
  }
  if ((r = WriteHeld(fs))) return r;
  return FatDiskIoctl(fs->disk, 0, nullptr) ? FAT_DISK_ERR : FAT_OK;
}

int FatReadRun(FatWorkArea* fs, uint32_t sector, void* buffer, uint32_t count) {
  if (fs->winDirty && fs->winSector - sector < count) {
    int r = FatFlushWindow(fs);
    if (r) return r;
  }
  uint32_t limit = fs->disk->sectorCount / fs->sectorSize;
  uint8_t* p = (uint8_t*)buffer;
  const uint32_t first = sector, total = count;
  while (count) {
    uint32_t n = count < limit ? count : limit;
    if (FatDiskRead(fs->disk, sector, p, n)) return FAT_DISK_ERR;
    sector += n;
    count -= n;
    p += n * fs->sectorSize;
  }
  if (fs->held)
    for (auto it = fs->held->sectors.lower_bound(first);
         it != fs->held->sectors.end() && it->first - first < total; ++it)
      memcpy((uint8_t*)buffer + (size_t)(it->first - first) * fs->sectorSize, it->second.data(),
             fs->sectorSize);
  return FAT_OK;
}

int FatWriteRun(FatWorkArea* fs, uint32_t sector, const void* buffer, uint32_t count) {
  if (fs->winSector - sector < count) {  // the run supersedes the window
    fs->winSector = 0xFFFFFFFF;
    fs->winDirty = 0;
  }
  if (fs->held)  // and what is held of its sectors
    fs->held->sectors.erase(fs->held->sectors.lower_bound(sector),
                            fs->held->sectors.lower_bound(sector + count));
  // A folder's entries written past the directory code (a file's data over
  // a cluster two chains hold) are no longer what its index says.
  if (fs->folders && count && sector + count > fs->dataStart) {
    uint32_t from = sector > fs->dataStart ? sector : fs->dataStart;
    uint32_t first = (from - fs->dataStart) / fs->clusterSize + 2;
    uint32_t last = (sector + count - 1 - fs->dataStart) / fs->clusterSize + 2;
    FatForgetFolders(fs, first, last - first + 1);
  }
  uint32_t limit = fs->disk->sectorCount / fs->sectorSize;
  const uint8_t* p = (const uint8_t*)buffer;
  while (count) {
    uint32_t n = count < limit ? count : limit;
    int r = FatDiskWrite(fs->disk, sector, p, n);
    if (r) return DiskWriteResult(r);
    sector += n;
    count -= n;
    p += n * fs->sectorSize;
  }
  return FAT_OK;
}

int FatZeroRun(FatWorkArea* fs, uint32_t sector, uint32_t count) {
  static uint8_t zeros[0x10000];
  uint32_t per = sizeof(zeros) / fs->sectorSize;
  while (count) {
    uint32_t n = count < per ? count : per;
    int r = FatWriteRun(fs, sector, zeros, n);
    if (r) return r;
    sector += n;
    count -= n;
  }
  return FAT_OK;
}

int FatResetWorkArea(FatWorkArea* fs) {
  if (!fs) return FAT_NOT_ENABLED;
  if (!fs->disk) return FAT_DISK_ERR;
  FatResetDiskBlock(fs->disk);
  fs->sectorSize = fs->disk->sectorSize;
  fs->winSector = 0xFFFFFFFF;
  fs->winDirty = 0;
  return FAT_OK;
}

int FatChoosePartition(FatWorkArea* fs, int partition) {
  if (int r = FatResetWorkArea(fs)) return r;
  int kind = 3;
  return LocatePartition(fs, partition, &kind);
}

int FatMount(FatWorkArea* fs, unsigned options, int partition) {
  if (!fs) return FAT_NOT_ENABLED;
  fs->fsType = 0;
  fs->winSector = 0xFFFFFFFF;
  fs->winDirty = 0;
  fs->checkedFirst = 0;
  FatDropNames(fs);
  FatDropFolders(fs);
  if (!fs->disk) return FAT_DISK_ERR;
  int r = MountVolume(fs, options, partition);
  if (r == FAT_OK && (options & FAT_MOUNT_READONLY)) fs->disk->status |= FAT_DISK_PROTECT;
  return r;
}

void FatUnmount(FatWorkArea* fs) {
  if (!fs) return;
  fs->fsType = 0;
  delete fs->held;
  fs->held = nullptr;
  FatDropRecords(fs);
  FatDropNames(fs);
  FatDropFolders(fs);
}

int FatCheckVolume(int writeMode, FatWorkArea* fs) {
  if (!fs) return FAT_NOT_ENABLED;
  if (!fs->fsType || !fs->disk) return FAT_NO_FILESYSTEM;
  if (fs->disk->status & FAT_DISK_NOINIT) return FAT_DISK_ERR;
  if (writeMode && (fs->disk->status & FAT_DISK_PROTECT)) return FAT_WRITE_PROTECTED;
  if (writeMode && FatUpcaseRefused(fs)) return FAT_UPCASE_DAMAGED;
  return FAT_OK;
}
