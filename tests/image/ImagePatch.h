// Byte patches on disk images made by Debian's tools: the bytes of an image
// in memory, little-endian fields, searches, and where the structures of
// FAT and NTFS volumes lie, so that a test can damage exactly one of them.
#pragma once
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "TestSupport.h"

namespace ip {

const size_t kNone = (size_t)-1;

struct Bytes {
  std::wstring path;
  std::vector<uint8_t> b;

  explicit Bytes(const std::wstring& image) : path(image) { vt::ReadAll(image, b); }
  bool Save() const { return vt::WriteAll(path, b); }

  // Reads and writes outside the image (a structure not found) do
  // nothing: a test checks what it found before it patches.
  uint32_t U8(size_t o) const { return o < b.size() ? b[o] : 0; }
  uint32_t U16(size_t o) const { return U8(o) | U8(o + 1) << 8; }
  uint32_t U32(size_t o) const { return U16(o) | (uint32_t)U16(o + 2) << 16; }
  uint64_t U64(size_t o) const { return U32(o) | (uint64_t)U32(o + 4) << 32; }
  void Put(size_t o, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; i++) {
      if (o + i < b.size()) b[o + i] = (uint8_t)(v >> (8 * i));
    }
  }
  // Copies bytes in; false when they do not fit.
  bool Set(size_t o, const void* data, size_t n) {
    if (o == kNone || o > b.size() || n > b.size() - o) return false;
    memcpy(&b[o], data, n);
    return true;
  }
  // First offset in [from, to) where `what` stands, kNone when nowhere.
  size_t Find(const std::string& what, size_t from = 0, size_t to = kNone) const {
    if (to > b.size()) to = b.size();
    for (size_t o = from; o + what.size() <= to; o++) {
      if (!memcmp(&b[o], what.data(), what.size())) return o;
    }
    return kNone;
  }
  // The same for a name as NTFS and long FAT names store it (UTF-16LE).
  size_t FindUtf16(const std::string& ascii, size_t from = 0, size_t to = kNone) const {
    std::string w;
    for (char c : ascii) {
      w += c;
      w += '\0';
    }
    return Find(w, from, to);
  }
};

// A FAT12/16/32 volume starting at byte `vol`, from its boot sector.
struct FatLayout {
  size_t vol = 0, fat = 0, root = 0, data = 0;
  uint32_t fatBytes = 0, clusterBytes = 0, rootCluster = 0;
  int fats = 0, bits = 0;

  FatLayout(const Bytes& d, size_t start) : vol(start) {
    uint32_t ss = d.U16(vol + 0x0B);
    uint32_t reserved = d.U16(vol + 0x0E);
    uint32_t fatSectors = d.U16(vol + 0x16) ? d.U16(vol + 0x16) : d.U32(vol + 0x24);
    uint32_t rootEntries = d.U16(vol + 0x11);
    uint32_t total = d.U16(vol + 0x13) ? d.U16(vol + 0x13) : d.U32(vol + 0x20);
    fats = (int)d.U8(vol + 0x10);
    clusterBytes = d.U8(vol + 0x0D) * ss;
    fat = vol + (size_t)reserved * ss;
    fatBytes = fatSectors * ss;
    root = fat + (size_t)fats * fatBytes;
    data = root + rootEntries * 32;
    uint64_t bytes = total * (uint64_t)ss;
    uint32_t clusters =
        clusterBytes && bytes > data - vol ? (uint32_t)((bytes - (data - vol)) / clusterBytes) : 0;
    bits = clusters <= 4085 ? 12 : clusters <= 65525 ? 16 : 32;
    if (bits == 32) {
      rootCluster = d.U32(vol + 0x2C);
      root = Cluster(rootCluster);
    }
  }
  size_t Cluster(uint32_t c) const { return data + (size_t)(c - 2) * clusterBytes; }
  // Sets entry c in every copy of the table (FAT16 and FAT32 only).
  void SetEntry(Bytes& d, uint32_t c, uint32_t value) const {
    for (int k = 0; k < fats; k++)
      d.Put(fat + (size_t)k * fatBytes + c * (bits / 8), value, bits / 8);
  }
  // The 32-byte short entry with this 11-byte name, searched from the root
  // to the end of the volume's first clusters.
  size_t Entry(const Bytes& d, const std::string& shortName) const {
    return d.Find(shortName, root, data + 256 * (size_t)clusterBytes);
  }
  static uint32_t FirstCluster(const Bytes& d, size_t entry) {
    return d.U16(entry + 26) | d.U16(entry + 20) << 16;
  }
  void SetFirstCluster(Bytes& d, size_t entry, uint32_t c) const {
    d.Put(entry + 26, c & 0xFFFF, 2);
    if (bits == 32) d.Put(entry + 20, c >> 16, 2);
  }
};

// An exFAT volume starting at byte `vol`: its FAT, cluster heap and
// allocation bitmap, and the clusters of a file of the root folder.
struct ExfatLayout {
  size_t vol = 0, fat = 0, heap = 0, bitmap = kNone;
  uint32_t clusterBytes = 0, root = 0;
  // The up-case table (in one cluster run): where, its length and its
  // entry's check value, and where its entry lies.
  size_t upcase = kNone, upcaseEntry = kNone;
  uint64_t upcaseBytes = 0;
  uint32_t upcaseCheck = 0;

  ExfatLayout(const Bytes& d, size_t start) : vol(start) {
    uint32_t ss = 1u << d.U8(vol + 0x6C);
    clusterBytes = ss << d.U8(vol + 0x6D);
    fat = vol + (size_t)d.U32(vol + 0x50) * ss;
    heap = vol + (size_t)d.U32(vol + 0x58) * ss;
    root = d.U32(vol + 0x60);
    for (size_t o = Cluster(root); o < Cluster(root) + clusterBytes; o += 32) {
      if (d.U8(o) == 0x81 && bitmap == kNone) bitmap = Cluster(d.U32(o + 20));
      if (d.U8(o) == 0x82 && upcase == kNone) {
        upcase = Cluster(d.U32(o + 20));
        upcaseBytes = d.U64(o + 24);
        upcaseCheck = d.U32(o + 4);
        upcaseEntry = o;
      }
    }
  }
  size_t Cluster(uint32_t c) const { return heap + (size_t)(c - 2) * clusterBytes; }
  // The file entry (0x85) of a file of the root folder by its name, the
  // stream and name entries behind it; kNone when it is not found.
  size_t FileEntry(const Bytes& d, const std::string& name) const {
    size_t at = d.FindUtf16(name, Cluster(root), Cluster(root) + clusterBytes);
    return at == kNone || at < 2 + 64 ? kNone : at - 2 - 64;
  }
  // The clusters of a file of the root folder (its stream entry, then
  // contiguous or by the FAT); empty when it is not found.
  std::vector<uint32_t> Clusters(const Bytes& d, const std::string& name) const {
    std::vector<uint32_t> list;
    size_t entry = FileEntry(d, name);
    if (entry == kNone) return list;
    size_t stream = entry + 32;
    uint32_t c = d.U32(stream + 20);
    uint64_t n = (d.U64(stream + 24) + clusterBytes - 1) / clusterBytes;
    bool contiguous = d.U8(stream + 1) & 2;
    for (uint64_t i = 0; i < n && c >= 2; i++) {
      list.push_back(c);
      c = contiguous ? c + 1 : d.U32(fat + (size_t)c * 4);
    }
    return list;
  }
  // Writes the entry set's check value, over every byte but its own.
  static void SealSet(Bytes& d, size_t set) {
    uint32_t sum = 0;
    for (size_t i = 0; i < 32 * (d.U8(set + 1) + 1u); i++)
      if (i != 2 && i != 3) sum = (((sum & 1) ? 0x8000 : 0) + (sum >> 1) + d.U8(set + i)) & 0xFFFF;
    d.Put(set + 2, sum, 2);
  }
  void SetBit(Bytes& d, uint32_t c, bool used) const {
    size_t at = bitmap + (c - 2) / 8;
    uint32_t mask = 1u << ((c - 2) % 8);
    d.Put(at, used ? d.U8(at) | mask : d.U8(at) & ~mask, 1);
  }
};

// An NTFS volume starting at byte `vol`: MFT records are found by their
// number (field 0x2C of each 1 KiB "FILE" record), wherever the MFT lies.
struct NtfsLayout {
  size_t vol = 0, end = 0;
  uint32_t clusterBytes = 0;

  NtfsLayout(const Bytes& d, size_t start, size_t bytes) : vol(start), end(start + bytes) {
    clusterBytes = d.U16(vol + 0x0B) * d.U8(vol + 0x0D);
  }
  size_t Record(const Bytes& d, uint32_t number) const {
    for (size_t o = vol; o + 1024 <= end && o + 1024 <= d.b.size(); o += 1024) {
      if (!memcmp(&d.b[o], "FILE", 4) && d.U32(o + 0x2C) == number) return o;
    }
    return kNone;
  }
  // The first attribute of a type in the record of that number, kNone
  // when either is missing.
  size_t RecordAttribute(const Bytes& d, uint32_t number, uint32_t type) const {
    size_t record = Record(d, number);
    return record == kNone ? kNone : Attribute(d, record, type);
  }
  // The first attribute of a type in a record (0x80 $DATA, 0x90 $INDEX_ROOT).
  static size_t Attribute(const Bytes& d, size_t record, uint32_t type) {
    for (size_t a = record + d.U16(record + 0x14); a + 8 < record + 1024;) {
      uint32_t t = d.U32(a), len = d.U32(a + 4);
      if (t == 0xFFFFFFFF || len < 16) return kNone;
      if (t == type) return a;
      a += len;
    }
    return kNone;
  }
};

// Makes the entry of `name` in a folder's index root (inside the folder's
// MFT record) a folder entry that names another record. The entry's key is
// a $FILE_NAME whose name starts 0x52 bytes into the entry; the entry opens
// with the file reference (record number, 6 bytes, and sequence number, 2,
// taken from the target's record), the key's file attributes lie at 0x48
// (0x10000000: a folder).
inline bool RedirectIndexEntry(Bytes& d, size_t folderRecord, const std::string& name,
                               uint32_t target, size_t targetRecord) {
  size_t at = d.FindUtf16(name, folderRecord, folderRecord + 1024);
  if (at == kNone || at < folderRecord + 0x52) return false;
  size_t entry = at - 0x52;
  d.Put(entry, target, 6);
  d.Put(entry + 6, d.U16(targetRecord + 0x10), 2);
  d.Put(entry + 0x48, d.U32(entry + 0x48) | 0x10000000, 4);
  return true;
}

// The MFT record number of a path, from ntfsinfo (0 when not found).
inline uint32_t NtfsInode(const std::string& volumeFile, const std::string& path) {
  std::string out;
  vt::Sh("ntfsinfo -F " + vt::Q(path) + " " + vt::Q(volumeFile) + " 2>/dev/null | head -1", &out);
  size_t at = out.find("Inode ");
  return at == std::string::npos ? 0 : (uint32_t)strtoul(out.c_str() + at + 6, nullptr, 10);
}

}  // namespace ip
