// Open files: open and create, read, write, seek, truncate, sync and close.
// Whole sectors go straight between the caller's buffer and the disk, in runs
// of contiguous clusters; only partial sectors use the object's buffer.
#include <stddef.h>
#include "image/fat/FatInternal.h"

namespace {
const uint32_t kNone = 0xFFFFFFFF;

bool IsExfat(const FatWorkArea* fs) {
  return fs->fsType == FAT_TYPE_EXFAT;
}

int Validate(FatWorkArea* fs, FatFileObject* fp) {
  if (!fs || !fp || fp->fs != fs || !fs->fsType || fp->mountId != fs->mountId)
    return FAT_INVALID_OBJECT;
  return fp->error;
}

// Latches a disk or chain error in the object.
int Fail(FatFileObject* fp, int r) {
  if (r == FAT_DISK_ERR || r == FAT_INT_ERR) fp->error = (uint8_t)r;
  return r;
}

FatChainRef ChainOf(const FatFileObject* fp) {
  FatChainRef c;
  c.first = fp->firstCluster;
  c.contiguous = fp->chainState == 2;
  c.allocBytes = fp->size;
  return c;
}

void TakeChain(FatFileObject* fp, const FatChainRef& c) {
  fp->firstCluster = c.first;
  fp->chainState = c.contiguous ? 2 : 0;
}

int FlushBuffer(FatWorkArea* fs, FatFileObject* fp) {
  if (fp->flags & 0x80) {
    int r = FatWriteRun(fs, fp->bufSector, fp->buf, 1);
    if (r) return r;
    fp->flags &= (uint8_t)~0x80;
  }
  return FAT_OK;
}

// The cluster after the pointer's one (allocating one when writing at the end).
int StepCluster(FatWorkArea* fs, FatFileObject* fp, bool allocate, uint32_t* out) {
  FatChainRef chain = ChainOf(fp);
  uint32_t c = 0;
  int r;
  if (fp->pointer == 0) {
    c = fp->firstCluster;
  } else {
    if ((r = FatNextCluster(fs, &chain, fp->cluster, &c))) return r;
  }
  if (!c) {
    if (!allocate) return fp->pointer < fp->size ? FAT_INT_ERR : FAT_NO_FILE;
    r = FatExtendChain(fs, &chain, fp->pointer ? fp->cluster : 0, &c);
    if (r) return r;
    TakeChain(fp, chain);
  }
  *out = c;
  return FAT_OK;
}

// Writes count bytes from src, or zeros when src is null.
int WriteData(FatWorkArea* fs, FatFileObject* fp, const uint8_t* src, uint32_t count,
              uint32_t* done) {
  uint32_t ss = fs->sectorSize, cs = fs->clusterSize;
  *done = 0;
  int r;
  while (count) {
    uint32_t inSector = (uint32_t)(fp->pointer % ss);
    uint32_t csect = (uint32_t)(fp->pointer / ss) & (cs - 1);
    if (inSector == 0 && csect == 0) {
      uint32_t c;
      r = StepCluster(fs, fp, true, &c);
      if (r == FAT_FULL) break;  // volume full: a short write
      if (r) return Fail(fp, r);
      fp->cluster = c;
    }
    uint32_t sect = ClusterSector(fs, fp->cluster) + csect;
    if (inSector == 0 && count >= ss) {
      // Whole sectors: as long a run of contiguous clusters as the data needs.
      uint32_t need = count / ss;
      uint32_t run = cs - csect;
      uint32_t last = fp->cluster;
      while (run < need) {
        FatChainRef chain = ChainOf(fp);
        chain.allocBytes = fp->pointer + (uint64_t)run * ss > fp->size
                               ? fp->pointer + (uint64_t)run * ss
                               : fp->size;
        uint32_t next;
        if ((r = FatNextCluster(fs, &chain, last, &next))) return Fail(fp, r);
        if (!next) {
          r = FatExtendChain(fs, &chain, last, &next);
          if (r == FAT_FULL) break;
          if (r) return Fail(fp, r);
          TakeChain(fp, chain);
          if (next != last + 1) {
            // Linked but not adjacent: the next round starts there.
            fp->size = fp->pointer + (uint64_t)run * ss > fp->size
                           ? fp->pointer + (uint64_t)run * ss
                           : fp->size;
            break;
          }
        } else if (next != last + 1) {
          break;
        }
        last = next;
        run += cs;
      }
      if (run > need) run = need;
      if ((fp->flags & 0x80) && fp->bufSector - sect < run) fp->flags &= (uint8_t)~0x80;
      if (fp->bufSector - sect < run) fp->bufSector = 0;
      r = src ? FatWriteRun(fs, sect, src, run) : FatZeroRun(fs, sect, run);
      if (r) return Fail(fp, r);
      fp->cluster += (csect + run - 1) / cs;
      uint32_t bytes = run * ss;
      fp->pointer += bytes;
      if (src) src += bytes;
      count -= bytes;
      *done += bytes;
      if (fp->pointer > fp->size) fp->size = fp->pointer;
      fp->flags |= 0x40;
      continue;
    }
    if (fp->bufSector != sect) {
      if ((r = FlushBuffer(fs, fp))) return Fail(fp, r);
      uint64_t sectorStart = fp->pointer - inSector;
      if (sectorStart < fp->size) {
        if ((r = FatReadRun(fs, sect, fp->buf, 1))) return Fail(fp, r);
      } else {
        memset(fp->buf, 0, ss);
      }
      fp->bufSector = sect;
    }
    uint32_t n = ss - inSector;
    if (n > count) n = count;
    if (src)
      memcpy(fp->buf + inSector, src, n);
    else
      memset(fp->buf + inSector, 0, n);
    fp->flags |= 0x80 | 0x40;
    fp->pointer += n;
    if (src) src += n;
    count -= n;
    *done += n;
    if (fp->pointer > fp->size) fp->size = fp->pointer;
  }
  return FAT_OK;
}

// Puts the pointer at pos (within the allocated chain).
int PointAt(FatWorkArea* fs, FatFileObject* fp, uint64_t pos) {
  uint64_t cb = ClusterBytes(fs);
  if (pos == 0) {
    fp->pointer = 0;
    fp->cluster = 0;
    return FAT_OK;
  }
  uint64_t target = (pos - 1) / cb;
  uint64_t index = 0;
  uint32_t c = fp->firstCluster;
  if (fp->pointer && fp->cluster && (fp->pointer - 1) / cb <= target) {
    index = (fp->pointer - 1) / cb;  // continue from where the pointer is
    c = fp->cluster;
  }
  if (!c) return FAT_INT_ERR;
  if (fp->chainState == 2) {
    c = fp->firstCluster + (uint32_t)target;
    if (!ValidCluster(fs, c)) return FAT_INT_ERR;
  } else {
    FatChainRef chain = ChainOf(fp);
    for (; index < target; index++) {
      uint32_t next;
      int r = FatNextCluster(fs, &chain, c, &next);
      if (r) return r;
      if (!next) return FAT_INT_ERR;
      c = next;
    }
  }
  fp->pointer = pos;
  fp->cluster = c;
  return FAT_OK;
}

// Zeros the file's bytes from 'from' up to its size (exFAT data past the
// valid length), so that nothing stale becomes readable once it counts as valid.
int ZeroTail(FatWorkArea* fs, FatFileObject* fp, uint64_t from) {
  uint64_t size = fp->size;
  int r = PointAt(fs, fp, from);
  while (!r && fp->pointer < size) {
    uint64_t left = size - fp->pointer;
    uint32_t n = left > 0x40000000 ? 0x40000000 : (uint32_t)left, done;
    r = WriteData(fs, fp, nullptr, n, &done);
    if (!r && done < n) r = FAT_INT_ERR;
  }
  if (!r) r = PointAt(fs, fp, 0);
  return r;
}
}  // namespace

int FatOpenFile(FatWorkArea* fs, FatFileObject* fp, const uint16_t* path, unsigned mode) {
  if (!fp) return FAT_INVALID_OBJECT;
  fp->fs = nullptr;
  mode &= 0x3F;
  bool writing =
      (mode & (FAT_OPEN_WRITE | FAT_CREATE_NEW | FAT_CREATE_ALWAYS | FAT_OPEN_ALWAYS)) != 0;
  FatDirObject dp;
  FatName name;
  int r = FatCheckAndFollow(fs, writing ? 1 : 0, &dp, path, &name);
  bool root = r == FAT_OK && dp.found.setOffset == kNone;
  bool exfat = IsExfat(fs);
  uint32_t ts = FatGetTimestamp();
  FatChainRef oldChain = {0, 0, 0};
  if (mode & (FAT_CREATE_NEW | FAT_CREATE_ALWAYS | FAT_OPEN_ALWAYS)) {
    if (root) return FAT_DENIED;
    if (r == FAT_NO_FILE) {
      if (name.dot) return FAT_INVALID_NAME;
      uint8_t tmpl[64];
      memset(tmpl, 0, sizeof(tmpl));
      if (exfat) {
        St16(tmpl + 4, FAT_ATTR_ARCHIVE);
        FatStampExfatEntry(tmpl, FAT_STAMP_ALL);
        tmpl[33] = 0x01;
      } else {
        tmpl[11] = FAT_ATTR_ARCHIVE;
        St16(tmpl + 14, (uint16_t)ts);
        St16(tmpl + 16, (uint16_t)(ts >> 16));
        St16(tmpl + 18, (uint16_t)(ts >> 16));
        St16(tmpl + 22, (uint16_t)ts);
        St16(tmpl + 24, (uint16_t)(ts >> 16));
      }
      if ((r = FatRegisterEntry(&dp, &name, tmpl, path))) return r;
      mode |= FAT_CREATE_ALWAYS;
    } else if (r == FAT_OK) {
      uint8_t attr = exfat ? (uint8_t)Ld16(dp.entry + 4) : dp.entry[11];
      if (attr & (FAT_ATTR_DIRECTORY | FAT_ATTR_READONLY)) return FAT_DENIED;
      if (mode & FAT_CREATE_NEW) return FAT_EXIST;
      if (mode & FAT_CREATE_ALWAYS) {
        // Emptied: the entry first, then its old clusters. The walk of the
        // records sees the entry's chain before it goes (FatFreeChain
        // weighs the chain against the others).
        if ((r = FatMapRecords(fs))) return r;
        if (exfat) {
          oldChain.first = Ld32(dp.stream + 20);
          oldChain.contiguous = (dp.stream[1] & 2) ? 1 : 0;
          oldChain.allocBytes = Ld64(dp.stream + 24);
          uint8_t set[608];
          if ((r = FatLoadEntrySet(fs, &dp.found, set))) return r;
          St16(set + 4, FAT_ATTR_ARCHIVE);
          FatStampExfatEntry(set, FAT_STAMP_ALL);
          set[33] = 0x01;
          St64(set + 40, 0);
          St32(set + 52, 0);
          St64(set + 56, 0);
          if ((r = FatStoreEntrySet(fs, &dp.found, set))) return r;
          memcpy(dp.entry, set, 32);
          memcpy(dp.stream, set + 32, 32);
        } else {
          oldChain.first = FatEntryCluster(fs, dp.entry);
          uint8_t* e = dp.entry;
          e[11] = FAT_ATTR_ARCHIVE;
          St16(e + 14, (uint16_t)ts);
          St16(e + 16, (uint16_t)(ts >> 16));
          St16(e + 18, (uint16_t)(ts >> 16));
          St16(e + 22, (uint16_t)ts);
          St16(e + 24, (uint16_t)(ts >> 16));
          FatSetEntryCluster(fs, e, 0);
          St32(e + 28, 0);
          if ((r = FatStoreShortEntry(fs, &dp.found, e))) return r;
        }
        if (oldChain.first && (r = FatFreeChain(fs, &oldChain, 0))) return r;
        if ((r = FatFlushVolume(fs))) return r;
      }
    } else {
      return r;
    }
  } else {
    if (root) return FAT_NO_FILE;
    if (r) return r;
    uint8_t attr = exfat ? (uint8_t)Ld16(dp.entry + 4) : dp.entry[11];
    if (attr & FAT_ATTR_DIRECTORY) return FAT_NO_FILE;
    if ((attr & FAT_ATTR_READONLY) && (mode & FAT_OPEN_WRITE)) return FAT_DENIED;
  }
  memset(fp, 0, offsetof(FatFileObject, buf));
  fp->fs = fs;
  fp->mountId = fs->mountId;
  fp->pos = dp.found;
  if (exfat) {
    fp->attributes = (uint8_t)Ld16(dp.entry + 4);
    fp->firstCluster = Ld32(dp.stream + 20);
    fp->chainState = (dp.stream[1] & 2) ? 2 : 0;
    fp->size = Ld64(dp.stream + 24);
    fp->validSize = Ld64(dp.stream + 8);
    if (fp->validSize > fp->size) fp->validSize = fp->size;
  } else {
    fp->attributes = dp.entry[11];
    fp->firstCluster = FatEntryCluster(fs, dp.entry);
    fp->size = Ld32(dp.entry + 28);
    fp->validSize = fp->size;
  }
  fp->flags = (uint8_t)mode;
  // A damaged chain (a loop, clusters outside the table, fewer clusters
  // than the size) is refused here: its data is never padded or repeated.
  FatChainRef chain = ChainOf(fp);
  if ((r = FatCheckChain(fs, &chain, fp->size))) {
    fp->fs = nullptr;
    return r;
  }
  if (exfat && writing && fp->validSize < fp->size) {
    if ((r = ZeroTail(fs, fp, fp->validSize))) {
      fp->fs = nullptr;
      return r;
    }
    fp->validSize = fp->size;
  }
  if ((mode & FAT_OPEN_APPEND) == FAT_OPEN_APPEND && fp->size) {
    if ((r = PointAt(fs, fp, fp->size))) {
      fp->fs = nullptr;
      return r;
    }
  }
  return FAT_OK;
}

int FatReadFile(FatWorkArea* fs, FatFileObject* fp, void* buffer, uint32_t count, uint32_t* done) {
  *done = 0;
  int r = Validate(fs, fp);
  if (r) return r;
  if (!(fp->flags & FAT_OPEN_READ)) return FAT_DENIED;
  uint64_t remain = fp->size - fp->pointer;
  if (fp->pointer > fp->size) remain = 0;
  if (count > remain) count = (uint32_t)remain;
  uint8_t* dst = (uint8_t*)buffer;
  uint32_t ss = fs->sectorSize, cs = fs->clusterSize;
  while (count) {
    uint64_t at = fp->pointer;
    uint32_t inSector = (uint32_t)(at % ss);
    uint32_t csect = (uint32_t)(at / ss) & (cs - 1);
    if (inSector == 0 && csect == 0) {
      uint32_t c;
      r = StepCluster(fs, fp, false, &c);
      if (r) return Fail(fp, r == FAT_NO_FILE ? FAT_INT_ERR : r);
      fp->cluster = c;
    }
    uint32_t sect = ClusterSector(fs, fp->cluster) + csect;
    uint32_t n;
    if (inSector == 0 && count >= ss) {
      uint32_t need = count / ss;
      uint32_t run = cs - csect;
      uint32_t last = fp->cluster;
      FatChainRef chain = ChainOf(fp);
      while (run < need) {
        uint32_t next;
        if ((r = FatNextCluster(fs, &chain, last, &next))) return Fail(fp, r);
        if (next != last + 1) break;
        last = next;
        run += cs;
      }
      if (run > need) run = need;
      if ((fp->flags & 0x80) && fp->bufSector - sect < run && (r = FlushBuffer(fs, fp)))
        return Fail(fp, r);
      if ((r = FatReadRun(fs, sect, dst, run))) return Fail(fp, r);
      fp->cluster += (csect + run - 1) / cs;
      n = run * ss;
    } else {
      if (fp->bufSector != sect) {
        if ((r = FlushBuffer(fs, fp))) return Fail(fp, r);
        if ((r = FatReadRun(fs, sect, fp->buf, 1))) return Fail(fp, r);
        fp->bufSector = sect;
      }
      n = ss - inSector;
      if (n > count) n = count;
      memcpy(dst, fp->buf + inSector, n);
    }
    // exFAT: what lies past the valid length reads as zeros.
    if (at + n > fp->validSize) {
      uint64_t from = at > fp->validSize ? at : fp->validSize;
      memset(dst + (from - at), 0, (size_t)(at + n - from));
    }
    fp->pointer += n;
    dst += n;
    count -= n;
    *done += n;
  }
  return FAT_OK;
}

int FatWriteFile(FatWorkArea* fs, FatFileObject* fp, const void* buffer, uint32_t count,
                 uint32_t* done) {
  *done = 0;
  int r = Validate(fs, fp);
  if (r) return r;
  if (!(fp->flags & FAT_OPEN_WRITE)) return FAT_DENIED;
  if (!IsExfat(fs) && fp->pointer + count > 0xFFFFFFFFull)  // FAT sizes are 32-bit
    count = fp->pointer >= 0xFFFFFFFFull ? 0 : (uint32_t)(0xFFFFFFFFull - fp->pointer);
  r = WriteData(fs, fp, (const uint8_t*)buffer, count, done);
  if (fp->size > fp->validSize) fp->validSize = fp->size;
  return r;
}

int FatSeekFile(FatWorkArea* fs, FatFileObject* fp, uint64_t pos) {
  int r = Validate(fs, fp);
  if (r) return r;
  if (!(fp->flags & FAT_OPEN_WRITE)) {
    if (pos > fp->size) pos = fp->size;
    return Fail(fp, PointAt(fs, fp, pos));
  }
  if (pos <= fp->size) return Fail(fp, PointAt(fs, fp, pos));
  if (!IsExfat(fs) && pos > 0xFFFFFFFFull) return FAT_INVALID_PARAMETER;
  // Past the end: the file grows, and what it gains reads as zeros.
  if ((r = PointAt(fs, fp, fp->size))) return Fail(fp, r);
  while (fp->pointer < pos) {
    uint64_t left = pos - fp->pointer;
    uint32_t n = left > 0x40000000 ? 0x40000000 : (uint32_t)left, done;
    if ((r = WriteData(fs, fp, nullptr, n, &done))) return r;
    if (done < n) break;
  }
  fp->validSize = fp->size;
  return fp->pointer == pos ? FAT_OK : FAT_FULL;
}

int FatTruncateFile(FatWorkArea* fs, FatFileObject* fp) {
  int r = Validate(fs, fp);
  if (r) return r;
  if (!(fp->flags & FAT_OPEN_WRITE)) return FAT_DENIED;
  if (fp->pointer >= fp->size) return FAT_OK;
  if ((r = FlushBuffer(fs, fp))) return Fail(fp, r);
  fp->bufSector = 0;
  FatChainRef chain = ChainOf(fp);
  if (chain.first) {
    r = FatFreeChain(fs, &chain, fp->pointer ? fp->cluster : 0);
    if (r) return Fail(fp, r);
    TakeChain(fp, chain);
  }
  fp->size = fp->pointer;
  if (fp->validSize > fp->size) fp->validSize = fp->size;
  fp->flags |= 0x40;
  return FAT_OK;
}

int FatSyncFile(FatWorkArea* fs, FatFileObject* fp) {
  int r = Validate(fs, fp);
  if (r) return r;
  if (!(fp->flags & 0x40)) return FAT_OK;
  if ((r = FlushBuffer(fs, fp))) return Fail(fp, r);
  if (IsExfat(fs)) {
    FatChainRef chain = ChainOf(fp);
    r = FatUpdateExfatStream(fs, &fp->pos, &chain, fp->size, true, FAT_ATTR_ARCHIVE);
  } else {
    uint8_t e[32];
    if (!(r = FatLoadShortEntry(fs, &fp->pos, e))) {
      uint32_t ts = FatGetTimestamp();
      e[11] |= FAT_ATTR_ARCHIVE;
      FatSetEntryCluster(fs, e, fp->firstCluster);
      St32(e + 28, (uint32_t)fp->size);
      St16(e + 22, (uint16_t)ts);
      St16(e + 24, (uint16_t)(ts >> 16));
      St16(e + 18, 0);
      r = FatStoreShortEntry(fs, &fp->pos, e);
    }
  }
  if (!r) r = FatFlushVolume(fs);
  if (r) return Fail(fp, r);
  fp->flags &= (uint8_t)~0x40;
  return FAT_OK;
}

int FatSettleFile(FatWorkArea* fs, FatFileObject* fp) {
  if (!fs || !fp || fp->fs != fs || !fs->fsType || fp->mountId != fs->mountId)
    return FAT_INVALID_OBJECT;
  fp->error = 0;
  int r = FlushBuffer(fs, fp);
  if (r) return Fail(fp, r);
  fp->bufSector = 0;
  FatChainRef chain = ChainOf(fp);
  if (chain.first && !chain.contiguous) {
    uint32_t keep = 0;
    if (fp->size) {
      if ((r = PointAt(fs, fp, fp->size))) return Fail(fp, r);
      keep = fp->cluster;
    }
    if ((r = FatFreeChain(fs, &chain, keep))) return Fail(fp, r);
    TakeChain(fp, chain);
  }
  fp->flags |= 0x40;
  return FatSyncFile(fs, fp);
}

int FatCloseFile(FatWorkArea* fs, FatFileObject* fp) {
  if (!fs || !fp || fp->fs != fs) return FAT_INVALID_OBJECT;
  int r = FatSyncFile(fs, fp);
  fp->fs = nullptr;
  return r;
}
