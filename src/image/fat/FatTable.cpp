// Allocation tables: FAT entries, the exFAT allocation bitmap, cluster
// chains and the free-cluster count.
#include <stdlib.h>
#include "image/fat/FatInternal.h"

uint32_t FatEndOfChain(const FatWorkArea* fs) {
  switch (fs->fsType) {
    case FAT_TYPE_12:
      return 0xFFF;
    case FAT_TYPE_16:
      return 0xFFFF;
    case FAT_TYPE_32:
      return 0x0FFFFFFF;
    default:
      return 0xFFFFFFFF;
  }
}

int FatReadEntryEx(FatWorkArea* fs, uint32_t c, uint32_t* value) {
  if (!ValidCluster(fs, c)) return FAT_INT_ERR;
  uint32_t ss = fs->sectorSize;
  int r;
  switch (fs->fsType) {
    case FAT_TYPE_12: {
      uint32_t bc = c + c / 2;
      if ((r = FatLoadWindow(fs, fs->fatStart + bc / ss))) return r;
      uint32_t w = fs->window[bc % ss];
      bc++;
      if ((r = FatLoadWindow(fs, fs->fatStart + bc / ss))) return r;
      w |= (uint32_t)fs->window[bc % ss] << 8;
      *value = (c & 1) ? w >> 4 : w & 0xFFF;
      return FAT_OK;
    }
    case FAT_TYPE_16:
      if ((r = FatLoadWindow(fs, fs->fatStart + c / (ss / 2)))) return r;
      *value = Ld16(fs->window + c * 2 % ss);
      return FAT_OK;
    case FAT_TYPE_32:
      if ((r = FatLoadWindow(fs, fs->fatStart + c / (ss / 4)))) return r;
      *value = Ld32(fs->window + c * 4 % ss) & 0x0FFFFFFF;
      return FAT_OK;
    case FAT_TYPE_EXFAT:
      if ((r = FatLoadWindow(fs, fs->fatStart + c / (ss / 4)))) return r;
      *value = Ld32(fs->window + c * 4 % ss);
      return FAT_OK;
  }
  return FAT_INT_ERR;
}

uint32_t FatReadEntry(FatWorkArea* fs, uint32_t cluster) {
  uint32_t v;
  int r = FatReadEntryEx(fs, cluster, &v);
  if (r == FAT_INT_ERR) return 1;
  if (r) return 0xFFFFFFFF;
  return v;
}

int FatWriteEntry(FatWorkArea* fs, uint32_t c, uint32_t value) {
  if (!ValidCluster(fs, c)) return FAT_INT_ERR;
  fs->checkedFirst = 0;
  uint32_t ss = fs->sectorSize;
  int r;
  switch (fs->fsType) {
    case FAT_TYPE_12: {
      uint32_t bc = c + c / 2;
      if ((r = FatLoadWindow(fs, fs->fatStart + bc / ss))) return r;
      uint8_t* p = fs->window + bc % ss;
      *p = (c & 1) ? (uint8_t)((*p & 0x0F) | (value << 4 & 0xF0)) : (uint8_t)value;
      fs->winDirty = 1;
      bc++;
      if ((r = FatLoadWindow(fs, fs->fatStart + bc / ss))) return r;
      p = fs->window + bc % ss;
      *p = (c & 1) ? (uint8_t)(value >> 4) : (uint8_t)((*p & 0xF0) | (value >> 8 & 0x0F));
      fs->winDirty = 1;
      return FAT_OK;
    }
    case FAT_TYPE_16:
      if ((r = FatLoadWindow(fs, fs->fatStart + c / (ss / 2)))) return r;
      St16(fs->window + c * 2 % ss, (uint16_t)value);
      fs->winDirty = 1;
      return FAT_OK;
    case FAT_TYPE_32: {
      if ((r = FatLoadWindow(fs, fs->fatStart + c / (ss / 4)))) return r;
      uint8_t* p = fs->window + c * 4 % ss;
      St32(p, (Ld32(p) & 0xF0000000) | (value & 0x0FFFFFFF));
      fs->winDirty = 1;
      return FAT_OK;
    }
    case FAT_TYPE_EXFAT:
      if ((r = FatLoadWindow(fs, fs->fatStart + c / (ss / 4)))) return r;
      St32(fs->window + c * 4 % ss, value);
      fs->winDirty = 1;
      return FAT_OK;
  }
  return FAT_INT_ERR;
}

int FatNextCluster(FatWorkArea* fs, const FatChainRef* chain, uint32_t c, uint32_t* next) {
  if (chain->contiguous) {
    uint64_t idx = (uint64_t)(c - chain->first) + 1;
    *next = idx * ClusterBytes(fs) < chain->allocBytes ? c + 1 : 0;
    if (*next && !ValidCluster(fs, *next)) return FAT_INT_ERR;
    return FAT_OK;
  }
  uint32_t v;
  int r = FatReadEntryEx(fs, c, &v);
  if (r) return r;
  if (v < 2) return FAT_INT_ERR;
  *next = v >= fs->fatEntries ? 0 : v;
  return FAT_OK;
}

int FatCheckChain(FatWorkArea* fs, const FatChainRef* chain, uint64_t size) {
  uint64_t cb = ClusterBytes(fs);
  uint64_t need = (size + cb - 1) / cb;
  uint32_t clusters = fs->fatEntries - 2;
  if (!chain->first) return need ? FAT_INT_ERR : FAT_OK;
  if (!ValidCluster(fs, chain->first) || need > clusters) return FAT_INT_ERR;
  if (chain->contiguous) return chain->first - 2 + need <= clusters ? FAT_OK : FAT_INT_ERR;
  if (fs->checkedFirst == chain->first && fs->checkedSize == size) return FAT_OK;
  // Walked to its end. A chain longer than the volume's cluster count
  // loops; Brent's check (a cluster met again at a saved point) finds
  // most loops much sooner.
  uint32_t c = chain->first, saved = c;
  uint64_t count = 1, power = 1, steps = 0;
  for (;;) {
    uint32_t next;
    int r = FatNextCluster(fs, chain, c, &next);
    if (r) return r;
    if (!next) break;
    if (++count > clusters || next == saved) return FAT_INT_ERR;
    c = next;
    if (++steps == power) {
      saved = c;
      power *= 2;
      steps = 0;
    }
  }
  if (count < need) return FAT_INT_ERR;
  fs->checkedFirst = chain->first;
  fs->checkedSize = size;
  return FAT_OK;
}

static bool TestBit(FatWorkArea* fs, uint32_t c, int* err) {
  uint32_t bit = c - 2;
  uint32_t bitsPerSector = fs->sectorSize * 8;
  if ((*err = FatLoadWindow(fs, fs->bitmapStart + bit / bitsPerSector))) return true;
  return (fs->window[bit % bitsPerSector / 8] >> (bit % 8)) & 1;
}

int FatSetBitmap(FatWorkArea* fs, uint32_t c, uint32_t count, bool used) {
  uint32_t bitsPerSector = fs->sectorSize * 8;
  for (; count; count--, c++) {
    if (!ValidCluster(fs, c)) return FAT_INT_ERR;
    uint32_t bit = c - 2;
    int r = FatLoadWindow(fs, fs->bitmapStart + bit / bitsPerSector);
    if (r) return r;
    uint8_t* p = fs->window + bit % bitsPerSector / 8;
    uint8_t m = (uint8_t)(1 << (bit % 8));
    *p = used ? (uint8_t)(*p | m) : (uint8_t)(*p & ~m);
    fs->winDirty = 1;
  }
  return FAT_OK;
}

int FatFindFreeBits(FatWorkArea* fs, uint32_t start, uint32_t* found) {
  uint32_t total = fs->fatEntries - 2;
  uint32_t bit = ValidCluster(fs, start) ? start - 2 : 0;
  uint32_t bitsPerSector = fs->sectorSize * 8;
  for (uint32_t n = 0; n < total;) {
    int r = FatLoadWindow(fs, fs->bitmapStart + bit / bitsPerSector);
    if (r) return r;
    uint8_t b = fs->window[bit % bitsPerSector / 8];
    if (b == 0xFF && bit % 8 == 0 && bit + 8 <= total) {
      bit += 8;
      n += 8;
    } else {
      if (!((b >> (bit % 8)) & 1)) {
        *found = bit + 2;
        return FAT_OK;
      }
      bit++;
      n++;
    }
    if (bit >= total) bit = 0;
  }
  return FAT_FULL;
}

static void CountAllocated(FatWorkArea* fs, uint32_t c) {
  fs->lastCluster = c;
  if (fs->freeClusters != 0xFFFFFFFF && fs->freeClusters) fs->freeClusters--;
  if (fs->fsinfoState != 0x80) fs->fsinfoState = 1;
}

// Frees a run of clusters; the free count follows.
static int Release(FatWorkArea* fs, uint32_t c, uint32_t count) {
  FatForgetRecords(fs, c, count);
  FatForgetFolders(fs, c, count);
  int r = FAT_OK;
  if (fs->fsType == FAT_TYPE_EXFAT) r = FatSetBitmap(fs, c, count, false);
  if (r) return r;
  if (fs->freeClusters != 0xFFFFFFFF) fs->freeClusters += count;
  if (fs->fsinfoState != 0x80) fs->fsinfoState = 1;
  return FAT_OK;
}

int FatExtendChain(FatWorkArea* fs, FatChainRef* chain, uint32_t last, uint32_t* added) {
  if (fs->freeClusters == 0) return FAT_FULL;
  int r = FatMapRecords(fs);
  if (r) return r;
  // A chain whose end another chain holds too is linked on by neither.
  if (last && (r = FatCheckCrossLinks(fs, last, 1))) return r;
  bool exfat = fs->fsType == FAT_TYPE_EXFAT;
  uint32_t c = 0;
  // The cluster right after the chain keeps a file in one piece.
  if (last && ValidCluster(fs, last + 1)) {
    if (exfat) {
      int err;
      bool used = TestBit(fs, last + 1, &err);
      if (err) return err;
      if (!used) c = last + 1;
    } else {
      uint32_t v;
      if ((r = FatReadEntryEx(fs, last + 1, &v))) return r;
      if (v == 0) c = last + 1;
    }
  }
  if (!c) {
    uint32_t start = ValidCluster(fs, fs->lastCluster) ? fs->lastCluster : 1;
    if (exfat) {
      uint32_t from = start + 1 < fs->fatEntries ? start + 1 : 2;
      r = FatFindFreeBits(fs, from, &c);
      if (r == FAT_FULL) fs->freeClusters = 0;
      if (r) return r;
    } else {
      uint32_t n = start;
      for (uint32_t i = 0; i < fs->fatEntries - 2; i++) {
        if (++n >= fs->fatEntries) n = 2;
        uint32_t v;
        if ((r = FatReadEntryEx(fs, n, &v))) return r;
        if (v == 0) {
          c = n;
          break;
        }
      }
      if (!c) {
        fs->freeClusters = 0;
        return FAT_FULL;
      }
    }
  }
  // Free by the map, but a file's: handing it out would write over it.
  if (FatRecordUses(fs, c)) return FAT_MAP_DAMAGED;
  // A run that leaves one piece gets its FAT chain, not over the entries
  // of a chain that shares its clusters.
  if (exfat && last && chain->contiguous && c != last + 1 &&
      (r = FatCheckCrossLinks(fs, chain->first, last - chain->first)))
    return r;
  if (exfat) {
    if ((r = FatSetBitmap(fs, c, 1, true))) return r;
    if (!last) {
      chain->first = c;
      chain->contiguous = 1;
    } else if (chain->contiguous && c != last + 1) {
      // No longer in one piece: the run so far gets its FAT chain.
      for (uint32_t k = chain->first; k < last; k++)
        if ((r = FatWriteEntry(fs, k, k + 1))) return r;
      chain->contiguous = 0;
    }
    if (!chain->contiguous) {
      if ((r = FatWriteEntry(fs, c, 0xFFFFFFFF))) return r;
      if (last && (r = FatWriteEntry(fs, last, c))) return r;
    }
  } else {
    if ((r = FatWriteEntry(fs, c, FatEndOfChain(fs)))) return r;
    if (last) {
      if ((r = FatWriteEntry(fs, last, c))) return r;
    } else {
      chain->first = c;
    }
  }
  CountAllocated(fs, c);
  *added = c;
  return FAT_OK;
}

int FatFreeChain(FatWorkArea* fs, FatChainRef* chain, uint32_t keep) {
  // What the records use is known before the first cluster goes, and a
  // cluster another chain holds too is neither freed nor cut off.
  int r = FatMapRecords(fs);
  if (r) return r;
  if ((r = FatCheckChainCrossLinks(fs, chain, keep ? keep : chain->first))) return r;
  if (chain->contiguous) {
    uint32_t cb = ClusterBytes(fs);
    uint32_t total = (uint32_t)((chain->allocBytes + cb - 1) / cb);
    uint32_t from = keep ? keep + 1 : chain->first;
    uint32_t end = chain->first + total;
    if (chain->first && end > from && (r = Release(fs, from, end - from))) return r;
    if (!keep) chain->first = 0;
    chain->allocBytes = keep ? (uint64_t)(keep - chain->first + 1) * cb : 0;
    return FAT_OK;
  }
  uint32_t c = chain->first;
  if (keep) {
    uint32_t next;
    if ((r = FatNextCluster(fs, chain, keep, &next))) return r;
    if ((r = FatWriteEntry(fs, keep, FatEndOfChain(fs)))) return r;
    c = next;
  } else {
    chain->first = 0;
  }
  while (c) {
    if (!ValidCluster(fs, c)) return FAT_INT_ERR;
    uint32_t v;
    if ((r = FatReadEntryEx(fs, c, &v))) return r;
    if ((r = FatWriteEntry(fs, c, 0))) return r;
    if ((r = Release(fs, c, 1))) return r;
    if (v < 2) break;  // a broken chain ends here
    c = v >= fs->fatEntries ? 0 : v;
  }
  return FAT_OK;
}

int FatGetFreeClusters(FatWorkArea* fs, const uint16_t*, uint32_t* freeCount) {
  int r = FatCheckVolume(0, fs);
  if (r) return r;
  uint32_t clusters = fs->fatEntries - 2;
  if (fs->freeClusters <= clusters) {
    *freeCount = fs->freeClusters;
    return FAT_OK;
  }
  uint32_t n = 0;
  if (fs->fsType == FAT_TYPE_12) {
    for (uint32_t c = 2; c < fs->fatEntries; c++) {
      uint32_t v;
      if ((r = FatReadEntryEx(fs, c, &v))) return r;
      if (!v) n++;
    }
  } else {
    // Read the table (or the bitmap) in large runs.
    const uint32_t chunk = 128;
    uint8_t* buf = (uint8_t*)malloc(chunk * fs->sectorSize);
    if (!buf) return FAT_NOT_ENOUGH_CORE;
    bool bitmap = fs->fsType == FAT_TYPE_EXFAT;
    uint32_t esize = fs->fsType == FAT_TYPE_16 ? 2 : 4;
    uint64_t items = bitmap ? clusters : fs->fatEntries;
    uint64_t bytes = bitmap ? (items + 7) / 8 : items * esize;
    uint32_t sectors = (uint32_t)((bytes + fs->sectorSize - 1) / fs->sectorSize);
    uint32_t base = bitmap ? fs->bitmapStart : fs->fatStart;
    uint64_t idx = 0;
    for (uint32_t s = 0; s < sectors && r == FAT_OK; s += chunk) {
      uint32_t cnt = sectors - s < chunk ? sectors - s : chunk;
      if ((r = FatReadRun(fs, base + s, buf, cnt))) break;
      if (bitmap) {
        for (uint32_t i = 0; i < cnt * fs->sectorSize && idx < items; i++) {
          uint8_t b = buf[i];
          for (int k = 0; k < 8 && idx < items; k++, idx++)
            if (!((b >> k) & 1)) n++;
        }
      } else {
        for (uint32_t i = 0; i < cnt * fs->sectorSize / esize && idx < items; i++, idx++) {
          if (idx < 2) continue;
          uint32_t v = esize == 2 ? Ld16(buf + i * 2) : Ld32(buf + i * 4) & 0x0FFFFFFF;
          if (!v) n++;
        }
      }
    }
    free(buf);
    if (r) return r;
  }
  fs->freeClusters = n;
  if (fs->fsinfoState != 0x80) fs->fsinfoState = 1;
  *freeCount = n;
  return FAT_OK;
}
