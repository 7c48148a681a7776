// The NTFS check. It reads through the library (device and $MFT data) and
// keeps its own copy of each record, whose fix-ups it undoes; it writes
// nothing but the volume flags.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "image/ntfs/NtfsCheck.h"
#include "image/ntfs/NtfsInternal.h"
#include "image/ntfs/NtfsResize.h"
#include "image/ntfs/NtfsVolume.h"

extern "C" {
#include <ntfs-3g/bootsect.h>
#include <ntfs-3g/mst.h>
}

namespace {

const u32 kEnd = 0xFFFFFFFFu;
const u32 kMinRecordRead = 22;

// Process-wide state of the check: one check runs at a time.
struct CheckState {
  NtfsCheckLog log = nullptr;
  int errors = 0;        // reads that failed
  int findings = 0;      // every line but the progress ones
  int inconsistent = 0;  // copies or maps that disagree with what they copy or map
  long long record = 0;  // shown in assertion lines
  u32 bytesPerSector = 0;
  u32 sectorsPerCluster = 0;
  runlist_element* mftRl = nullptr;
  runlist_element* bitmapRl = nullptr;
  std::vector<u8> mftBitmap;
  // Of each record: in use and found sound, and its sequence number; the
  // folders among them. The index entries are held against these.
  std::vector<u8> sound;
  std::vector<u16> sequence;
  std::vector<s64> folders;
  // A digest of each name a record holds ($FILE_NAME: its record, folder,
  // name space and name), sorted once the records are read; an index entry
  // must name its file as the file's record does.
  std::vector<u64> names;
} g;

// FNV-1a over the bytes, on from `h`.
u64 Digest(u64 h, const u8* p, size_t n) {
  for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 0x100000001B3ULL;
  return h;
}

// The digest of a file name (a $FILE_NAME value of `length` bytes) of
// record n; 0 when the value is too short for its name.
u64 NameDigest(s64 n, const u8* value, u32 length) {
  if (length < 0x42 || 0x42u + 2u * value[0x40] > length) return 0;
  u64 h = Digest(0xCBF29CE484222325ULL, (const u8*)&n, sizeof n);
  h = Digest(h, value, 8);  // the folder, with its sequence number
  h = Digest(h, value + 0x40, 2 + 2u * value[0x40]);
  return h ? h : 1;
}

u16 Le16(const u8* p) {
  return (u16)(p[0] | p[1] << 8);
}
u32 Le32(const u8* p) {
  return (u32)p[0] | (u32)p[1] << 8 | (u32)p[2] << 16 | (u32)p[3] << 24;
}

#define FINDING(...) (g.findings++, g.log(__VA_ARGS__))

}  // namespace

// Logs an assertion line when the two differ; 1 then, else 0.
int AssertCheckValue(long long expected, long long actual, const char* name) {
  if (expected == actual) return 0;
  FINDING("Assertion failed for '%lld:%s'. should be 0x%x, was 0x%x.\n", g.record, name,
          (unsigned)expected, (unsigned)actual);
  return 1;
}

namespace {

// Reads a record for the runlist step and decodes the first attribute of
// the type; null after a logged failure.
runlist_element* LoadRunlist(ntfs_volume* vol, s64 offset, u32 type) {
  u32 size = vol->mft_record_size;
  if (size < kMinRecordRead) size = kMinRecordRead;
  std::vector<u8> rec(size);
  if (ntfs_pread(vol->dev, offset, size, rec.data()) != (s64)size) {
    g.log("Failed to read file record at offset %lld (0x%llx).\n", (long long)offset,
          (unsigned long long)offset);
    return nullptr;
  }
  // The sector ends carry the update sequence number until undone.
  ntfs_mst_post_read_fixup_warn((NTFS_RECORD*)rec.data(), size, FALSE);
  u32 at = Le16(&rec[20]);
  if (at < 42) {
    g.log("First attribute must be after the header (%u).\n", at);
    return nullptr;
  }
  for (;;) {
    if (at + 4 > size) {
      g.log("file record corrupted at offset %lld (0x%llx).\n", (long long)offset,
            (unsigned long long)offset);
      return nullptr;
    }
    u32 t = Le32(&rec[at]);
    if (t == kEnd) {
      g.log("Attribute 0x%x not found in file record at offset %lld (0x%llx).\n", type,
            (long long)offset, (unsigned long long)offset);
      return nullptr;
    }
    if (at + 8 > size) {
      g.log("Attribute 0x%x is not AT_END, yet no room for the length field.\n", t);
      return nullptr;
    }
    u32 length = Le32(&rec[at + 4]);
    if (length == 0 || at + length > size) {
      g.log("Attribute (0x%x) is larger than FILE record at offset %lld (0x%llx).\n", t,
            (long long)offset, (unsigned long long)offset);
      return nullptr;
    }
    if (t == type) {
      ATTR_RECORD* a = (ATTR_RECORD*)&rec[at];
      if (!a->non_resident || length < 64) return nullptr;
      return ntfs_mapping_pairs_decompress(vol, a, nullptr);
    }
    at += length;
  }
}

// The runlist from $MFT's record 0, else from the mirror's copy.
runlist_element* LoadRunlistOrMirror(ntfs_volume* vol, u32 type, const char* failed,
                                     const char* failedToo) {
  runlist_element* rl = LoadRunlist(vol, vol->mft_lcn << vol->cluster_size_bits, type);
  if (rl) return rl;
  FINDING("%s", failed);
  rl = LoadRunlist(vol, vol->mftmirr_lcn << vol->cluster_size_bits, type);
  if (!rl) FINDING("%s", failedToo);
  return rl;
}

void LoadRunlists(ntfs_volume* vol) {
  g.record = 0;
  g.mftRl = LoadRunlistOrMirror(vol, 0x80, "Loading $MFT runlist failed. Trying $MFTMirr.\n",
                                "Loading $MFTMirr runlist failed too. Aborting.\n");
  if (!g.mftRl) return;
  g.bitmapRl =
      LoadRunlistOrMirror(vol, 0xB0, "Loading $MFT/Bitmap runlist failed. Trying $MFTMirr.\n",
                          "Loading $MFTMirr/Bitmap runlist failed too. Aborting.\n");
  if (!g.bitmapRl) return;
  runlist_element* last = nullptr;
  for (runlist_element* e = g.bitmapRl; e->length; e++) last = e;
  if (!last) return;
  s64 bytes = (last->vcn + last->length) << vol->cluster_size_bits;
  std::vector<u8> map;
  try {
    map.assign((size_t)bytes, 0);
  } catch (...) {
    return;
  }
  for (runlist_element* e = g.bitmapRl; e->length; e++) {
    if (e->lcn < 0) continue;
    s64 n = e->length << vol->cluster_size_bits;
    if (ntfs_pread(vol->dev, e->lcn << vol->cluster_size_bits, n,
                   &map[(size_t)(e->vcn << vol->cluster_size_bits)]) != n)
      return;
  }
  g.mftBitmap.swap(map);
}

void CheckBootSector(ntfs_volume* vol, bool* readOk) {
  g.record = 9;
  u8 boot[512];
  *readOk = ntfs_pread(vol->dev, 0, sizeof boot, boot) == (s64)sizeof boot;
  if (!*readOk) {
    FINDING("Failed to read boot sector.\n");
    return;
  }
  if (boot[0] != 0xEB || (boot[1] != 0x52 && boot[1] != 0x5B) || boot[2] != 0x90)
    FINDING("Boot sector: Bad jump.\n");
  if (memcmp(boot + 3, "NTFS    ", 8)) FINDING("Boot sector: Bad NTFS magic.\n");
  g.bytesPerSector = Le16(boot + 11);
  g.sectorsPerCluster = boot[13];
  if (g.bytesPerSector == 0)
    FINDING("Boot sector: Bytes per sector is 0.\n");
  else if (g.bytesPerSector % 512)
    FINDING("Boot sector: Bytes per sector is not a multiple of 512.\n");
}

// The volume fits its partition, and the partition's last sector holds a
// copy of the boot sector (where the formatter puts it and the other
// checkers look for it). A partition larger than its volume is sound when
// that copy is there; one whose copy is still behind the volume is a grow
// that stopped between the partition and the volume.
void CheckBackupBootSector(ntfs_volume* vol, const u8* boot) {
  u8 backup[512];
  s64 sectors = ntfs_device_size_get(vol->dev, 512);
  s64 volumeSectors = (s64)(Le32(boot + 0x28) | (u64)Le32(boot + 0x2C) << 32);
  if (volumeSectors >= sectors) {
    g.inconsistent++;
    FINDING("Boot sector: the volume (%lld sectors) does not fit its partition (%lld sectors).\n",
            (long long)volumeSectors, (long long)sectors);
    return;
  }
  if (ntfs_pread(vol->dev, (sectors - 1) * 512, sizeof backup, backup) == (s64)sizeof backup &&
      !memcmp(boot, backup, sizeof backup))
    return;
  g.inconsistent++;
  FINDING("Boot sector: the backup in the partition's last sector differs.\n");
  if (volumeSectors + 1 < sectors)
    FINDING("Boot sector: the partition (%lld sectors) is larger than the volume (%lld sectors) "
            "and its backup.\n",
            (long long)sectors, (long long)volumeSectors);
}

// The sector ends of a multi-sector record (a file record or an index
// block) against its update sequence number, undone in the copy; false at
// the first that differs (*torn: its sector) or when the array does not fit.
bool UndoFixups(u8* rec, u32 size, u32* torn) {
  u16 usaOffset = Le16(rec + 4), usaCount = Le16(rec + 6);
  *torn = 0;
  if (usaCount != size / 512 + 1 || (usaOffset & 1) || (u32)usaOffset + 2u * usaCount > size ||
      usaOffset < 8)
    return false;
  u16 usn = Le16(rec + usaOffset);
  for (u32 i = 1; i < usaCount; i++) {
    u8* end = rec + i * 512 - 2;
    if (Le16(end) != usn) {
      *torn = i - 1;
      return false;
    }
    memcpy(end, rec + usaOffset + 2 * i, 2);
  }
  return true;
}

// $MFTMirr holds the first records of $MFT as they are: compared over the
// bytes in use of each record.
void CheckMirror(ntfs_volume* vol) {
  DropNtfsMirrorStandIn(vol);  // the mirror as the disk holds it
  u32 size = vol->mft_record_size;
  s64 count = vol->mftmirr_size;
  if (!vol->mft_na || !vol->mftmirr_na || count <= 0) return;
  std::vector<u8> mft((size_t)(count * size)), mirror((size_t)(count * size));
  if (ntfs_attr_pread(vol->mft_na, 0, count * size, mft.data()) != count * size ||
      ntfs_attr_pread(vol->mftmirr_na, 0, count * size, mirror.data()) != count * size) {
    g.inconsistent++;
    FINDING("Failed to read $MFT or $MFTMirr.\n");
    return;
  }
  for (s64 i = 0; i < count; i++) {
    const u8* m = &mft[(size_t)(i * size)];
    u8* copy = &mirror[(size_t)(i * size)];
    u32 inUse = Le32(m) == 0x454C4946 ? Le32(m + 24) : size;
    if (inUse > size) inUse = size;
    if (memcmp(m, copy, inUse)) {
      g.inconsistent++;
      FINDING("$MFTMirr does not match $MFT (record %lld).\n", (long long)i);
      continue;
    }
    // The copy's sector ends lie past the bytes in use: a torn one makes
    // the whole copy unreadable.
    u32 torn;
    if (Le32(copy) == 0x454C4946 && !UndoFixups(copy, size, &torn)) {
      g.inconsistent++;
      FINDING("$MFTMirr record %lld: the update sequence of sector %u is torn.\n", (long long)i,
              torn);
    }
  }
}

void CheckResident(const u8* a, u32 length, u32 type, bool* endWalk) {
  u16 nameOffset = Le16(a + 10);
  u8 nameLength = a[9];
  u32 valueLength = Le32(a + 16);
  u16 valueOffset = Le16(a + 20);
  u8 flags = a[22];
  // An unnamed attribute has no name that could overlap the header.
  if (nameLength && nameOffset < 24) FINDING("Resident attribute with name intersecting header.\n");
  if (valueOffset < nameOffset + 2u * nameLength)
    FINDING("Named resident attribute with value before name.\n");
  if ((u64)valueLength + valueOffset > length) {
    FINDING("value_length(%d)+value_offset(%d)>length(%d) for attribute 0x%x.\n", (int)valueLength,
            (int)valueOffset, (int)length, type);
    *endWalk = true;
    return;
  }
  if (flags >= 2) FINDING("Unknown resident flags (0x%x) for attribute 0x%x.\n", flags, type);
  if ((flags & 1) && type != 0x30)
    FINDING("Resident flags mark attribute 0x%x as indexed.\n", type);
  AssertCheckValue(0, a[23], "Resident Reserved");
}

void CheckAttributes(const u8* rec, u32 size, u32 at, bool base) {
  bool first = true;
  while (at + 4 <= size) {
    const u8* a = rec + at;
    u32 type = Le32(a);
    if (type == kEnd) return;
    if (at + 8 > size) {
      FINDING("Attribute 0x%x is not AT_END, yet no room for the length field.\n", type);
      return;
    }
    u32 length = Le32(a + 4);
    if ((u64)at + length > size) {
      FINDING("Attribute (0x%x) is larger than FILE record (%lld).\n", type, g.record);
      return;
    }
    // A length of 0 would hold the walk at one place.
    if (length == 0) {
      FINDING("Attribute %lld:0x%x Length too short (%u).\n", g.record, type, length);
      return;
    }
    at += length;
    if ((type & ~0xF0u) && type != 0x100) {
      FINDING("Unknown attribute type 0x%x.\n", type);
      continue;
    }
    if (length < 24) {
      FINDING("Attribute %lld:0x%x Length too short (%u).\n", g.record, type, length);
      continue;
    }
    if (base && first)
      AssertCheckValue(0x10, type, "First attribute type");
    else if (base && type == 0x10)
      FINDING("Assertion failed for '%lld:%s'. should not be 0x%x.\n", g.record,
              "Not-first attribute type", type);
    first = false;
    u16 flags = Le16(a + 12);
    if (flags & 0x3F00)
      FINDING("Attribute %lld:0x%x Unknown flags (0x%x).\n", g.record, type, flags);
    if (a[8] > 1) {
      FINDING("Attribute %lld:0x%x Unknown non-resident flag (0x%x).\n", g.record, type, a[8]);
      continue;
    }
    if (!a[8]) {
      bool endWalk = false;
      CheckResident(a, length, type, &endWalk);
      if (endWalk) return;
    } else if (length < 64) {
      FINDING("Non-resident attribute %lld:0x%x too short (%u).\n", g.record, type, length);
    } else if ((flags & 0x00FF) && length < 72) {
      FINDING("Compressed attribute %lld:0x%x too short (%u).\n", g.record, type, length);
    }
  }
}

void CheckRecordHeader(u8* rec, u32 size) {
  u32 magic = Le32(rec);
  if (AssertCheckValue(0x454C4946, magic, "FILE record magic")) return;
  u16 usaOffset = Le16(rec + 4), usaCount = Le16(rec + 6), attrs = Le16(rec + 20);
  u16 flags = Le16(rec + 22);
  u32 inUse = Le32(rec + 24), allocated = Le32(rec + 28);
  bool base = Le32(rec + 32) == 0 && Le16(rec + 36) == 0;
  if (usaOffset + usaCount > attrs) {
    FINDING("Assertion failed for '%s'. 0x%x > 0x%x\n", "usa_ofs+usa_count <= attrs_offset",
            usaOffset + usaCount, attrs);
    return;
  }
  if (attrs >= inUse) {
    FINDING("Assertion failed for '%s'. 0x%x >= 0x%x\n", "attrs_offset < bytes_in_use", attrs,
            inUse);
    return;
  }
  if (inUse > allocated) {
    FINDING("Assertion failed for '%s'. 0x%x > 0x%x\n", "bytes_in_use <= bytes_allocated", inUse,
            allocated);
    return;
  }
  if (allocated > size) {
    FINDING("Assertion failed for '%s'. 0x%x > 0x%x\n", "bytes_allocated <= max_record_size",
            allocated, size);
    return;
  }
  if (flags > 0xF) FINDING("Unknown MFT record flags (0x%x).\n", flags);
  AssertCheckValue(size / 512, usaCount - 1, "USA length");
  if ((u32)usaOffset + 2u * usaCount <= size && usaCount >= 1) {
    u16 usn = Le16(rec + usaOffset);
    for (u32 i = 1; i < usaCount && i * 512 <= size; i++) {
      u8* end = rec + i * 512 - 2;
      AssertCheckValue(usn, Le16(end), "fixup");
      memcpy(end, rec + usaOffset + 2 * i, 2);
    }
  }
  CheckAttributes(rec, inUse < size ? inUse : size, attrs, base);
}

// The names of a sound record for the index check, and its flags against
// what they announce: a file flagged as a reparse point that has none, or
// as encrypted with no encryption stream, cannot be opened.
void NoteNames(s64 n, const u8* rec, u32 size, bool base) {
  s64 owner = base ? n : (s64)(Le32(rec + 32) | (u64)Le16(rec + 36) << 32);
  u32 inUse = Le32(rec + 24) < size ? Le32(rec + 24) : size;
  u32 flags = 0;
  bool list = false, reparse = false, efs = false, info = false;
  for (u32 at = Le16(rec + 20); at + 24 <= inUse;) {
    const u8* a = rec + at;
    u32 type = Le32(a), length = Le32(a + 4);
    if (type == kEnd || length < 24 || at + length > inUse) break;
    at += length;
    list |= type == 0x20;
    reparse |= type == 0xC0;
    efs |= type == 0x100;
    if (a[8]) continue;
    const u8* value = a + Le16(a + 20);
    u32 valueLength = Le32(a + 16);
    if (type == 0x10 && valueLength >= 0x24) {
      flags = Le32(value + 0x20);
      info = true;
    }
    if (type == 0x30) {
      u64 h = NameDigest(owner, value, valueLength);
      if (h) g.names.push_back(h);
    }
  }
  if (!base || !info || list) return;
  if ((flags & 0x400) && !reparse)
    FINDING("Record %lld is flagged as a reparse point but has none.\n", (long long)n);
  if ((flags & 0x4000) && !efs && !(Le16(rec + 22) & 2))
    FINDING("Record %lld is flagged as encrypted but has no encryption stream.\n", (long long)n);
}

// Checks record n (read into rec) and notes what the index check needs.
void CheckRecord(s64 n, u8* rec, u32 size) {
  int before = g.findings;
  CheckRecordHeader(rec, size);
  if (g.findings != before || !(Le16(rec + 22) & 1)) return;
  bool base = Le32(rec + 32) == 0 && Le16(rec + 36) == 0;
  NoteNames(n, rec, size, base);
  if (g.findings != before) return;
  g.sound[(size_t)n] = 1;
  g.sequence[(size_t)n] = Le16(rec + 16);
  if (base && (Le16(rec + 22) & 2)) g.folders.push_back(n);
}

// Every record in use, read from $MFT in runs of records.
void CheckRecords(ntfs_volume* vol) {
  const s64 kRun = 64;
  u32 size = vol->mft_record_size;
  s64 records = vol->mft_na->data_size / size;
  s64 bits = (s64)g.mftBitmap.size() * 8;
  g.sound.assign((size_t)records, 0);
  g.sequence.assign((size_t)records, 0);
  g.folders.clear();
  g.names.clear();
  std::vector<u8> run((size_t)(kRun * size));
  for (s64 first = 0; first < records; first += kRun) {
    s64 count = records - first < kRun ? records - first : kRun;
    bool whole = ntfs_attr_pread(vol->mft_na, first * size, count * size, run.data()) == count * size;
    for (s64 n = first; n < first + count; n++) {
      g.record = n;
      if (n < bits && !((g.mftBitmap[(size_t)(n >> 3)] >> (n & 7)) & 1)) continue;
      u8* rec = &run[(size_t)((n - first) * size)];
      if (!whole && ntfs_attr_pread(vol->mft_na, n * size, size, rec) != (s64)size) {
        g.errors++;
        FINDING("Failed to read file record %lld.\n", (long long)n);
        continue;
      }
      CheckRecord(n, rec, size);
    }
  }
  std::sort(g.names.begin(), g.names.end());
}

// ---- The folders' indexes: every entry names a sound record in use with
// the sequence number the entry holds, every index block in use is whole.

#define INDEX_FINDING(...) (g.inconsistent++, FINDING(__VA_ARGS__))

// "root" (block -1) or "block N", as the lines name an index node.
struct NodeName {
  char text[32];
  explicit NodeName(s64 block) {
    if (block < 0)
      snprintf(text, sizeof text, "root");
    else
      snprintf(text, sizeof text, "block %lld", (long long)block);
  }
};

// The entries of one index node (p: its first entry, length: the bytes to
// the end of the node's entries), the VCNs of the nodes below it added to
// children. block is -1 for the index root.
void CheckIndexEntries(ntfs_volume* vol, s64 folder, s64 block, const u8* p, u32 length,
                       std::vector<s64>* children) {
  const NodeName node(block);
  const char* where = node.text;
  // The names in the order the lookups walk them (with the volume's
  // upper-case table; a volume mounted partly has none).
  const ntfschar* previous = nullptr;
  u32 previousLength = 0;
  for (u32 at = 0;;) {
    if (at + 16 > length) break;
    const u8* e = p + at;
    u32 entryLength = Le16(e + 8), keyLength = Le16(e + 10), flags = Le16(e + 12);
    if (entryLength < 16 || (entryLength & 7) || at + entryLength > length) break;
    // An entry with a node below names it last.
    if (flags & 1) {
      if (entryLength < 24) break;
      children->push_back((s64)(Le32(e + entryLength - 8) | (u64)Le32(e + entryLength - 4) << 32));
    }
    // The node's last entry ends its entries.
    if (flags & 2) {
      if (at + entryLength == length) return;
      break;
    }
    // The key is the file's name: in this folder, and as long as it says.
    if (keyLength < 0x42 || 16 + keyLength > entryLength || 0x42u + 2u * e[16 + 0x40] > keyLength ||
        (s64)(Le32(e + 16) | (u64)Le16(e + 20) << 32) != folder)
      break;
    const ntfschar* name = (const ntfschar*)(e + 16 + 0x42);
    u32 nameLength = e[16 + 0x40];
    if (previous && vol->upcase &&
        ntfs_names_full_collate(previous, previousLength, name, nameLength, IGNORE_CASE, vol->upcase,
                                vol->upcase_len) > 0) {
      INDEX_FINDING("Index %s of folder %lld: its names are out of order.\n", where,
                    (long long)folder);
      return;
    }
    previous = name;
    previousLength = nameLength;
    s64 n = (s64)(Le32(e) | (u64)Le16(e + 4) << 32);
    u16 sequence = Le16(e + 6);
    if (n >= (s64)g.sound.size())
      INDEX_FINDING("Index %s of folder %lld names record %lld, past the end of $MFT.\n", where,
                    (long long)folder, (long long)n);
    else if (!g.sound[(size_t)n])
      INDEX_FINDING("Index %s of folder %lld names record %lld, which is not in use or damaged.\n",
                    where, (long long)folder, (long long)n);
    else if (sequence && sequence != g.sequence[(size_t)n])
      INDEX_FINDING(
          "Index %s of folder %lld names record %lld with sequence number %u; it holds %u.\n",
          where, (long long)folder, (long long)n, sequence, g.sequence[(size_t)n]);
    else if (!std::binary_search(g.names.begin(), g.names.end(), NameDigest(n, e + 16, keyLength)))
      INDEX_FINDING("Index %s of folder %lld names record %lld by a name the record does not hold.\n",
                    where, (long long)folder, (long long)n);
    at += entryLength;
  }
  INDEX_FINDING("Index %s of folder %lld: its entries are corrupt.\n", where, (long long)folder);
}

// The index node header at hdr (within `room` bytes) and its entries.
void CheckIndexNode(ntfs_volume* vol, s64 folder, s64 block, const u8* hdr, u32 room,
                    std::vector<s64>* children) {
  u32 entriesOffset = Le32(hdr), indexLength = Le32(hdr + 4), allocated = Le32(hdr + 8);
  if (room < 16 || indexLength > room || (block >= 0 && allocated != room) ||
      entriesOffset < 16 || entriesOffset >= indexLength) {
    INDEX_FINDING("Index %s of folder %lld: its header is corrupt.\n", NodeName(block).text,
                  (long long)folder);
    return;
  }
  CheckIndexEntries(vol, folder, block, hdr + entriesOffset, indexLength - entriesOffset, children);
}

void CheckIndexBlock(ntfs_volume* vol, s64 folder, s64 block, u8* b, u32 blockSize,
                     std::vector<s64>* children) {
  if (Le32(b) != 0x58444E49) {  // "INDX"
    INDEX_FINDING("Index block %lld of folder %lld: bad signature (0x%08x).\n", (long long)block,
                  (long long)folder, Le32(b));
    return;
  }
  u32 torn;
  if (!UndoFixups(b, blockSize, &torn)) {
    INDEX_FINDING("Index block %lld of folder %lld: the update sequence of sector %u is torn.\n",
                  (long long)block, (long long)folder, torn);
    return;
  }
  u32 vcnSize = blockSize >= vol->cluster_size ? vol->cluster_size : 512;
  s64 vcn = (s64)(Le32(b + 16) | (u64)Le32(b + 20) << 32);
  if (vcn != block * blockSize / vcnSize) {
    INDEX_FINDING("Index block %lld of folder %lld: it says VCN %lld.\n", (long long)block,
                  (long long)folder, (long long)vcn);
    return;
  }
  CheckIndexNode(vol, folder, block, b + 0x18, blockSize - 0x18, children);
}

// The index blocks in use, read in runs of neighbours.
// children holds the VCNs the root names; every block in use must be named
// once by the tree, and every name must be of a block in use.
void CheckIndexBlocks(ntfs_volume* vol, ntfs_inode* ni, s64 folder, u32 blockSize,
                      std::vector<s64>* children) {
  const s64 kRunBytes = 1 << 20;
  s64 mapLength = 0;
  u8* map = (u8*)ntfs_attr_readall(ni, AT_BITMAP, NTFS_INDEX_I30, 4, &mapLength);
  ntfs_attr* na = ntfs_attr_open(ni, AT_INDEX_ALLOCATION, NTFS_INDEX_I30, 4);
  if (!map || !na || blockSize < 512 || blockSize > 65536 || (blockSize & (blockSize - 1))) {
    INDEX_FINDING("Folder %lld: its index blocks cannot be read.\n", (long long)folder);
  } else {
    s64 blocks = na->data_size / blockSize;
    s64 perRun = kRunBytes / blockSize;
    auto inUse = [&](s64 k) { return k < mapLength * 8 && ((map[k >> 3] >> (k & 7)) & 1); };
    std::vector<u8> run((size_t)(perRun * blockSize));
    for (s64 k = 0; k < mapLength * 8; k++)
      if (inUse(k) && k >= blocks)
        INDEX_FINDING("Folder %lld: index block %lld is marked in use past the blocks there are.\n",
                      (long long)folder, (long long)k);
    for (s64 k = 0; k < blocks;) {
      if (!inUse(k)) {
        k++;
        continue;
      }
      s64 end = k;
      while (end < blocks && end - k < perRun && inUse(end)) end++;
      s64 bytes = (end - k) * blockSize;
      if (ntfs_attr_pread(na, k * blockSize, bytes, run.data()) != bytes) {
        INDEX_FINDING("Index blocks %lld to %lld of folder %lld cannot be read.\n", (long long)k,
                      (long long)(end - 1), (long long)folder);
      } else {
        for (s64 i = k; i < end; i++)
          CheckIndexBlock(vol, folder, i, &run[(size_t)((i - k) * blockSize)], blockSize, children);
      }
      k = end;
    }
    u32 vcnSize = blockSize >= vol->cluster_size ? vol->cluster_size : 512;
    std::vector<u8> named((size_t)blocks, 0);
    for (s64 vcn : *children) {
      s64 k = vcn >= 0 && vcn < ((s64)1 << 40) ? vcn * vcnSize / blockSize : -1;
      if (k < 0 || k >= blocks || !inUse(k) || named[(size_t)k]++ ||
          (u64)vcn * vcnSize % blockSize)
        INDEX_FINDING("Index of folder %lld: a node names block VCN %lld wrongly.\n",
                      (long long)folder, (long long)vcn);
    }
    for (s64 k = 0; k < blocks; k++)
      if (inUse(k) && !named[(size_t)k])
        INDEX_FINDING("Index block %lld of folder %lld is in use but no node names it.\n",
                      (long long)k, (long long)folder);
  }
  if (na) ntfs_attr_close(na);
  free(map);
}

void CheckFolder(ntfs_volume* vol, s64 folder) {
  g.record = folder;
  ntfs_inode* ni = ntfs_inode_open(vol, (MFT_REF)folder);
  if (!ni) {
    INDEX_FINDING("Folder %lld cannot be opened.\n", (long long)folder);
    return;
  }
  s64 length = 0;
  u8* root = (u8*)ntfs_attr_readall(ni, AT_INDEX_ROOT, NTFS_INDEX_I30, 4, &length);
  if (!root || length < 32) {
    INDEX_FINDING("Folder %lld has no index root.\n", (long long)folder);
  } else {
    std::vector<s64> children;
    CheckIndexNode(vol, folder, -1, root + 16, (u32)length - 16, &children);
    if (root[28] & 1)
      CheckIndexBlocks(vol, ni, folder, Le32(root + 8), &children);
    else if (!children.empty())
      INDEX_FINDING("Index root of folder %lld names blocks it does not have.\n", (long long)folder);
  }
  free(root);
  ntfs_inode_close(ni);
}

}  // namespace

int CheckNtfsVolume(ntfs_volume* vol, NtfsCheckLog log) {
  if (!vol || !log) return 0;
  g.log = log;
  g.errors = g.findings = g.inconsistent = 0;
  free(g.mftRl);
  free(g.bitmapRl);
  g.mftRl = g.bitmapRl = nullptr;
  g.mftBitmap.clear();

  if (IsNtfsBootFromBackup(vol)) {
    g.inconsistent++;
    FINDING("Boot sector: damaged; the backup in the partition's last sector is read instead.\n");
  }
  if (IsNtfsVolumePartial(vol)) {
    g.inconsistent++;
    FINDING("The volume does not mount whole: $MFTMirr or an index is damaged.\n");
  }
  bool bootRead = false;
  CheckBootSector(vol, &bootRead);
  if (!bootRead) return 0;
  u8 boot[512];
  if (ntfs_pread(vol->dev, 0, sizeof boot, boot) == (s64)sizeof boot) {
    CheckBackupBootSector(vol, boot);
    ntfs_boot_sector_parse(vol, (NTFS_BOOT_SECTOR*)boot);
  }
  LoadRunlists(vol);
  CheckMirror(vol);
  CheckRecords(vol);
  for (s64 folder : g.folders) CheckFolder(vol, folder);
  free(g.mftRl);
  free(g.bitmapRl);
  g.mftRl = g.bitmapRl = nullptr;
  // $Bitmap against the clusters the records' runs name: a used cluster
  // marked free would be handed out again.
  g.record = 6;
  if (!vol->lcnbmp_na) {
    g.inconsistent++;
    FINDING("$Bitmap is not open: the cluster accounting is not checked.\n");
  } else if (!CheckNtfsClusterAccounting(vol, log)) {
    g.inconsistent++;
    g.findings++;
  }
  // Whatever was found fails the check: each line names what breaks the
  // volume for some reader.
  if (g.errors || g.inconsistent || g.findings) return 0;
  if (vol->flags & VOLUME_IS_DIRTY)
    ntfs_volume_write_flags(vol, vol->flags & ~VOLUME_IS_DIRTY);
  return 1;
}
