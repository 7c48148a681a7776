// The exFAT volume's up-case table: read from the volume when it mounts,
// its check value checked and its compressed form expanded. Every name of
// the volume is compared and hashed through it, as every other reader of
// the volume does; a table that cannot be trusted leaves the module's own
// table for reading and refuses every write.
#include <new>
#include <string>
#include <vector>

#include "image/fat/FatInternal.h"
#include "image/fat/FatCodePage.h"

struct FatVolumeNames {
  uint16_t upcase[0x10000];
  const char* damage = nullptr;  // why the table was refused; null when it serves
  std::u16string damagedFolder;  // the folder of the last damaged set met
};

namespace {

const uint32_t kMaxTableBytes = 0x20000;  // 65,536 characters, uncompressed

// The up-case entry (0x82) of the root directory: its check value, first
// cluster and length. FAT_NO_FILE when the root holds none.
int FindUpcaseEntry(FatWorkArea* fs, uint32_t* check, uint32_t* first, uint64_t* length) {
  FatChainRef root = {fs->rootDir, 0, 0};
  uint32_t c = fs->rootDir;
  for (uint64_t bytes = 0; c && bytes < 0x10000000; bytes += ClusterBytes(fs)) {
    for (uint32_t s = 0; s < fs->clusterSize; s++) {
      if (FatLoadWindow(fs, ClusterSector(fs, c) + s)) return FAT_DISK_ERR;
      for (uint32_t o = 0; o < fs->sectorSize; o += 32) {
        const uint8_t* e = fs->window + o;
        if (e[0] == 0) return FAT_NO_FILE;
        if (e[0] == 0x82) {
          *check = Ld32(e + 4);
          *first = Ld32(e + 20);
          *length = Ld64(e + 24);
          return FAT_OK;
        }
      }
    }
    if (FatNextCluster(fs, &root, c, &c)) return FAT_INT_ERR;
  }
  return FAT_NO_FILE;
}

// Reads the table through its FAT chain and expands it: 0xFFFF followed by
// a count stands for that many characters that stay as they are; any other
// unit (and a 0xFFFF that ends the table) is the next character's upper
// case. Characters past the table's end stay as they are. Null when the
// table fits, else why it is refused.
const char* ReadTable(FatWorkArea* fs, FatVolumeNames* names, int* error) {
  uint32_t check = 0, first = 0;
  uint64_t length = 0;
  int r = FindUpcaseEntry(fs, &check, &first, &length);
  if (r == FAT_DISK_ERR) *error = r;
  if (r == FAT_NO_FILE) return "is missing from the root folder";
  if (r) return "cannot be found (the root folder's chain is broken)";
  if (!length || length > kMaxTableBytes || (length & 1)) return "has an impossible length";
  if (!ValidCluster(fs, first)) return "starts outside the volume";
  std::vector<uint8_t> raw;
  FatChainRef chain = {first, 0, 0};
  for (uint32_t c = first; raw.size() < length;) {
    size_t at = raw.size();
    uint32_t ss = fs->sectorSize, count = (uint32_t)((length - at + ss - 1) / ss);
    if (count > fs->clusterSize) count = fs->clusterSize;
    raw.resize(at + (size_t)count * ss);
    if ((r = FatReadRun(fs, ClusterSector(fs, c), raw.data() + at, count))) {
      *error = r;
      return "cannot be read";
    }
    if (raw.size() >= length) break;
    if (FatNextCluster(fs, &chain, c, &c) || !c) return "has a broken cluster chain";
  }
  uint32_t sum = FatExfatChecksum(raw.data(), (uint32_t)length, 0, false);
  if (sum != check) return "fails its check value";
  uint32_t units = (uint32_t)(length / 2), c = 0, i = 0;
  while (i < units && c < 0x10000) {
    uint16_t v = Ld16(&raw[i * 2]);
    if (v == 0xFFFF && i + 1 < units) {
      uint32_t run = Ld16(&raw[i * 2 + 2]);
      if (c + run > 0x10000) return "runs past the last character";
      for (; run; run--, c++) names->upcase[c] = (uint16_t)c;
      i += 2;
    } else {
      names->upcase[c++] = v;
      i++;
    }
  }
  if (i < units) return "runs past the last character";
  for (; c < 0x10000; c++) names->upcase[c] = (uint16_t)c;
  return nullptr;
}

}  // namespace

int FatLoadUpcase(FatWorkArea* fs) {
  FatDropNames(fs);
  FatVolumeNames* names = new (std::nothrow) FatVolumeNames;
  if (!names) return FAT_NOT_ENOUGH_CORE;
  int error = FAT_OK;
  names->damage = ReadTable(fs, names, &error);
  if (error) {
    delete names;
    return error;
  }
  fs->names = names;
  return FAT_OK;
}

void FatDropNames(FatWorkArea* fs) {
  delete fs->names;
  fs->names = nullptr;
}

bool FatUpcaseRefused(const FatWorkArea* fs) {
  return fs->names && fs->names->damage;
}

uint16_t FatVolumeUpcase(const FatWorkArea* fs, uint16_t ch) {
  if (fs->names && !fs->names->damage) return fs->names->upcase[ch];
  return FatUpcase(ch);
}

void FatNoteDamagedSet(FatWorkArea* fs, const uint16_t* folder, uint32_t length) {
  if (fs->names) fs->names->damagedFolder.assign((const char16_t*)folder, length);
}

const char* FatUpcaseDamage(const FatWorkArea* fs) {
  return fs && fs->names ? fs->names->damage : nullptr;
}

const uint16_t* FatDamagedSetFolder(const FatWorkArea* fs) {
  if (!fs || !fs->names) return nullptr;
  return (const uint16_t*)fs->names->damagedFolder.c_str();
}
