// The NTFS check. It reads through the library (device and $MFT data) and
// keeps its own copy of each record, whose fix-ups it undoes; it writes
// nothing but the volume flags.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "image/ntfs/NtfsBootSectors.h"
#include "image/ntfs/NtfsRecordWalk.h"
#include "image/ntfs/check/NtfsCheckState.h"
#include "image/ntfs/NtfsResize.h"
#include "image/ntfs/NtfsVolume.h"

extern "C" {
#include <ntfs-3g/bootsect.h>
#include <ntfs-3g/mst.h>
}

namespace ntfscheck {

CheckState g;

u64 Digest(u64 h, const void* data, size_t n) {
  const u8* p = static_cast<const u8*>(data);
  for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 0x100000001B3ULL;
  return h;
}

u64 NameDigest(s64 n, const u8* value, u32 length) {
  if (length < 0x42 || 0x42u + 2u * value[0x40] > length) return 0;
  u64 h = Digest(0xCBF29CE484222325ULL, &n, sizeof n);
  h = Digest(h, value, 8);  // the folder, with its sequence number
  h = Digest(h, value + 0x40, 2 + 2u * value[0x40]);
  return h ? h : 1;
}

bool ReadAttribute(ntfs_inode* ni, ATTR_TYPES type, const ntfschar* name, u32 nameLength,
                   std::vector<u8>* out) {
  ntfs_attr* na = ntfs_attr_open(ni, type, const_cast<ntfschar*>(name), nameLength);
  bool read = na && na->data_size >= 0 && na->data_size <= (64 << 20);
  if (read) {
    out->assign((size_t)na->data_size, 0);
    read = ntfs_attr_pread(na, 0, na->data_size, out->data()) == na->data_size;
  }
  if (na) ntfs_attr_close(na);
  return read;
}

std::vector<u8> NameValue(ntfs_volume* vol, const NameNote& name) {
  u32 size = vol->mft_record_size, torn;
  std::vector<u8> rec(size), value;
  if (ntfs_attr_pread(vol->mft_na, name.record * size, size, rec.data()) != (s64)size ||
      !UndoFixups(rec.data(), size, &torn) || name.offset + 0x42 > size)
    return value;
  const u8* v = &rec[name.offset];
  u32 length = 0x42 + 2u * v[0x40];
  if (name.offset + length <= size) value.assign(v, v + length);
  return value;
}

std::string NameText(const u8* name, u32 characters) {
  std::string text;
  for (u32 i = 0; i < characters; i++) {
    u16 c = Ld16(name + 2 * i);
    text += c >= 0x20 && c < 0x7F ? (char)c : '?';
  }
  return text;
}

bool UndoFixups(u8* rec, u32 size, u32* torn) {
  u16 usaOffset = Ld16(rec + 4), usaCount = Ld16(rec + 6);
  *torn = 0;
  if (usaCount != size / 512 + 1 || (usaOffset & 1) || (u32)usaOffset + 2u * usaCount > size ||
      usaOffset < 8)
    return false;
  u16 usn = Ld16(rec + usaOffset);
  for (u32 i = 1; i < usaCount; i++) {
    u8* end = rec + i * 512 - 2;
    if (Ld16(end) != usn) {
      *torn = i - 1;
      return false;
    }
    memcpy(end, rec + usaOffset + 2 * i, 2);
  }
  return true;
}

}  // namespace ntfscheck

using namespace ntfscheck;

// Logs an assertion line when the two differ; 1 then, else 0.
int AssertCheckValue(long long expected, long long actual, const char* name) {
  if (expected == actual) return 0;
  FINDING("Assertion failed for '%lld:%s'. should be 0x%x, was 0x%x.\n", g.record, name,
          (unsigned)expected, (unsigned)actual);
  return 1;
}

namespace {

const u32 kMinRecordRead = 22;

// A base record names no base; an extension of $MFT names record 0 with
// its sequence number.
bool IsBase(const u8* rec) {
  return Ld64(rec + 32) == 0;
}

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
  u32 at = Ld16(&rec[20]);
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
    u32 t = Ld32(&rec[at]);
    if (t == kEnd) {
      g.log("Attribute 0x%x not found in file record at offset %lld (0x%llx).\n", type,
            (long long)offset, (unsigned long long)offset);
      return nullptr;
    }
    if (at + 8 > size) {
      g.log("Attribute 0x%x is not AT_END, yet no room for the length field.\n", t);
      return nullptr;
    }
    u32 length = Ld32(&rec[at + 4]);
    if (length == 0 || at + length > size) {
      g.log("Attribute (0x%x) is larger than FILE record at offset %lld (0x%llx).\n", t,
            (long long)offset, (unsigned long long)offset);
      return nullptr;
    }
    if (t == type) {
      ATTR_RECORD* a = (ATTR_RECORD*)&rec[at];
      if (!a->non_resident || length < 64) return nullptr;
      return DecodeNtfsPieceRuns(vol, a);
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
  g.bytesPerSector = Ld16(boot + 11);
  g.sectorsPerCluster = boot[13];
  if (g.bytesPerSector == 0)
    FINDING("Boot sector: Bytes per sector is 0.\n");
  else if (g.bytesPerSector % 512)
    FINDING("Boot sector: Bytes per sector is not a multiple of 512.\n");
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
    u32 inUse = Ld32(m) == 0x454C4946 ? Ld32(m + 24) : size;
    if (inUse > size) inUse = size;
    if (memcmp(m, copy, inUse)) {
      g.inconsistent++;
      FINDING("$MFTMirr does not match $MFT (record %lld).\n", (long long)i);
      continue;
    }
    // The copy's sector ends lie past the bytes in use: a torn one makes
    // the whole copy unreadable.
    u32 torn;
    if (Ld32(copy) == 0x454C4946 && !UndoFixups(copy, size, &torn)) {
      g.inconsistent++;
      FINDING("$MFTMirr record %lld: the update sequence of sector %u is torn.\n", (long long)i,
              torn);
    }
  }
}

// The fields a reader uses are held against each other; what no reader
// takes (the padding byte after the resident flags, which ntfs-3g leaves
// as its buffer held it when it moves an attribute into an extension
// record; the name offset of an unnamed attribute) is not asserted.
void CheckResident(const u8* a, u32 length, u32 type, bool* endWalk) {
  u16 nameOffset = Ld16(a + 10);
  u8 nameLength = a[9];
  u32 valueLength = Ld32(a + 16);
  u16 valueOffset = Ld16(a + 20);
  u8 flags = a[22];
  if (nameLength && nameOffset < 24) FINDING("Resident attribute with name intersecting header.\n");
  if (nameLength && valueOffset < nameOffset + 2u * nameLength)
    FINDING("Named resident attribute with value before name.\n");
  else if (!nameLength && valueLength && valueOffset < 24)
    FINDING("Resident attribute with value intersecting header.\n");
  if ((u64)valueLength + valueOffset > length) {
    FINDING("value_length(%d)+value_offset(%d)>length(%d) for attribute 0x%x.\n", (int)valueLength,
            (int)valueOffset, (int)length, type);
    *endWalk = true;
    return;
  }
  if (flags >= 2) FINDING("Unknown resident flags (0x%x) for attribute 0x%x.\n", flags, type);
  if ((flags & 1) && type != 0x30)
    FINDING("Resident flags mark attribute 0x%x as indexed.\n", type);
}

// The runs of a non-resident attribute: they decode, and cover the VCNs
// its record says; an attribute whole in its record (no list) begins at
// VCN 0. Of the first piece, the sizes: the data fits the clusters
// allocated, the initialised part fits the data, and the runs end where the
// allocation does (an attribute in one record; the pieces of one an
// attribute list spreads over several records are held together once the
// records are read).
void CheckExtent(ntfs_volume* vol, const u8* a, u32 type, bool list) {
  s64 lowest = (s64)Ld64(a + 16), highest = (s64)Ld64(a + 24);
  if (!list && lowest) {
    FINDING(
        "Attribute %lld:0x%x: its runs begin at VCN %lld, but its record has no attribute "
        "list.\n",
        g.record, type, (long long)lowest);
    return;
  }
  runlist_element* rl = DecodeNtfsPieceRuns(vol, (const ATTR_RECORD*)a);
  if (!rl) {
    FINDING("Attribute %lld:0x%x: its runs do not cover VCNs %lld to %lld.\n", g.record, type,
            (long long)lowest, (long long)highest);
    return;
  }
  s64 end = 0;
  for (runlist_element* e = rl; e->length; e++) end = e->vcn + e->length;
  free(rl);
  if (lowest) return;  // a later piece carries no sizes
  s64 allocated = (s64)Ld64(a + 0x28), data = (s64)Ld64(a + 0x30),
      initialised = (s64)Ld64(a + 0x38);
  s64 mapped = end * (s64)vol->cluster_size;
  // A file whose sizes are wrong is still the file its names name.
  int before = g.findings;
  if (data > allocated || data < 0)
    FAULT("Attribute %lld:0x%x: its data size %lld is past its allocated size %lld.\n", g.record,
          type, (long long)data, (long long)allocated);
  if (initialised > data || initialised < 0)
    FAULT("Attribute %lld:0x%x: its initialised size %lld is past its data size %lld.\n", g.record,
          type, (long long)initialised, (long long)data);
  if (allocated < 0 || mapped > allocated || (!list && mapped != allocated))
    FAULT("Attribute %lld:0x%x: its runs map %lld bytes, its allocated size is %lld.\n", g.record,
          type, (long long)mapped, (long long)allocated);
  g.sizeFindings += g.findings - before;
}

void CheckAttributes(ntfs_volume* vol, const u8* rec, u32 size, u32 at, bool base) {
  bool first = true, list = !base;
  while (at + 4 <= size) {
    const u8* a = rec + at;
    u32 type = Ld32(a);
    if (type == kEnd) return;
    if (at + 8 > size) {
      FINDING("Attribute 0x%x is not AT_END, yet no room for the length field.\n", type);
      return;
    }
    u32 length = Ld32(a + 4);
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
    list |= type == AT_ATTRIBUTE_LIST;
    u16 flags = Ld16(a + 12);
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
    } else {
      CheckExtent(vol, a, type, list);
    }
  }
}

void CheckRecordHeader(ntfs_volume* vol, u8* rec, u32 size) {
  u32 magic = Ld32(rec);
  if (AssertCheckValue(0x454C4946, magic, "FILE record magic")) return;
  u16 usaOffset = Ld16(rec + 4), usaCount = Ld16(rec + 6), attrs = Ld16(rec + 20);
  u16 flags = Ld16(rec + 22);
  u32 inUse = Ld32(rec + 24), allocated = Ld32(rec + 28);
  bool base = IsBase(rec);
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
    u16 usn = Ld16(rec + usaOffset);
    for (u32 i = 1; i < usaCount && i * 512 <= size; i++) {
      u8* end = rec + i * 512 - 2;
      AssertCheckValue(usn, Ld16(end), "fixup");
      memcpy(end, rec + usaOffset + 2 * i, 2);
    }
  }
  CheckAttributes(vol, rec, inUse < size ? inUse : size, attrs, base);
}

// What a sound record says of itself for the checks over the whole volume
// (its names, link count, attribute list and the attributes a list must
// name), and its flags against what they announce: a file flagged as a
// reparse point that has none, or as encrypted with no encryption stream,
// cannot be opened.
void NoteRecord(ntfs_volume* vol, s64 n, const u8* rec, u32 size, bool base) {
  RecordNote& note = g.records[(size_t)n];
  s64 owner = base ? n : Ref48(rec + 32);
  note.base = base ? -1 : owner;
  note.baseSequence = base ? 0 : Ld16(rec + 38);
  note.links = Ld16(rec + 18);
  u32 inUse = Ld32(rec + 24) < size ? Ld32(rec + 24) : size;
  u32 flags = 0;
  bool reparse = false, efs = false, info = false;
  std::vector<AttributeNote> attributes;
  for (u32 at = Ld16(rec + 20); at + 24 <= inUse;) {
    const u8* a = rec + at;
    u32 type = Ld32(a), length = Ld32(a + 4);
    if (type == kEnd || length < 24 || at + length > inUse) break;
    at += length;
    note.list |= base && type == AT_ATTRIBUTE_LIST;
    reparse |= type == 0xC0;
    efs |= type == 0x100;
    u32 nameBytes = 2u * a[9];
    bool runs = a[8] && length >= 64;
    attributes.push_back(AttributeNote{
        type, Ld16(a + 14), runs ? (s64)Ld64(a + 16) : 0,
        Ld16(a + 10) + nameBytes <= length ? Digest(0, a + Ld16(a + 10), nameBytes) : 1, runs,
        runs ? (s64)Ld64(a + 24) : 0, runs ? (s64)Ld64(a + 0x28) : 0});
    if (type == AT_ATTRIBUTE_LIST && base)
      g.lists[n] = ReadNtfsAttributeList(vol, (const ATTR_RECORD*)a);
    if (a[8]) continue;
    const u8* value = a + Ld16(a + 20);
    u32 valueLength = Ld32(a + 16);
    if (type == 0x10 && valueLength >= 0x24) {
      flags = Ld32(value + 0x20);
      info = true;
    }
    u64 h = type == 0x30 ? NameDigest(owner, value, valueLength) : 0;
    if (h) {
      g.names.push_back(h);
      g.nameNotes.push_back(NameNote{h, owner, Ref48(value), n, (u32)(value - rec)});
      // A DOS name beside a long one is no link of its own.
      if (value[0x41] != 2 && owner < (s64)g.records.size()) g.records[(size_t)owner].names++;
    }
  }
  if (!base || note.list) g.attributes[n] = attributes;
  if (!base || !info || note.list) return;
  if ((flags & 0x400) && !reparse)
    FINDING("Record %lld is flagged as a reparse point but has none.\n", (long long)n);
  if ((flags & 0x4000) && !efs && !(Ld16(rec + 22) & 2))
    FINDING("Record %lld is flagged as encrypted but has no encryption stream.\n", (long long)n);
}

// Checks record n (read into rec) and notes what the volume-wide checks need.
void CheckRecord(ntfs_volume* vol, s64 n, u8* rec, u32 size) {
  int before = g.findings - g.sizeFindings;
  CheckRecordHeader(vol, rec, size);
  if (g.findings - g.sizeFindings != before || !(Ld16(rec + 22) & 1)) return;
  bool base = IsBase(rec);
  NoteRecord(vol, n, rec, size, base);
  if (g.findings - g.sizeFindings != before) return;
  g.records[(size_t)n].sound = true;
  g.records[(size_t)n].sequence = Ld16(rec + 16);
  if (base && (Ld16(rec + 22) & 2)) g.folders.push_back(n);
}

// A record $MFT's bitmap marks free that says it is in use: the library
// would hand it out again.
bool InUseThoughFree(u8* rec, u32 size) {
  u32 torn;
  std::vector<u8> copy(rec, rec + size);
  return Ld32(rec) == 0x454C4946 && (Ld16(rec + 22) & 1) && UndoFixups(copy.data(), size, &torn);
}

// Every record in use, read from $MFT in runs of records.
void CheckRecords(ntfs_volume* vol) {
  const s64 kRun = 64;
  u32 size = vol->mft_record_size;
  s64 records = vol->mft_na->data_size / size;
  s64 bits = (s64)g.mftBitmap.size() * 8;
  g.records.assign((size_t)records, RecordNote());
  std::vector<u8> run((size_t)(kRun * size));
  for (s64 first = 0; first < records; first += kRun) {
    s64 count = records - first < kRun ? records - first : kRun;
    bool whole =
        ntfs_attr_pread(vol->mft_na, first * size, count * size, run.data()) == count * size;
    for (s64 n = first; n < first + count; n++) {
      g.record = n;
      u8* rec = &run[(size_t)((n - first) * size)];
      if (!whole && ntfs_attr_pread(vol->mft_na, n * size, size, rec) != (s64)size) {
        g.errors++;
        FINDING("Failed to read file record %lld.\n", (long long)n);
        continue;
      }
      if (n < bits && !((g.mftBitmap[(size_t)(n >> 3)] >> (n & 7)) & 1)) {
        if (!InUseThoughFree(rec, size)) continue;
        FAULT("Record %lld is in use, but $MFT's bitmap marks it free.\n", (long long)n);
        g.unmarked.push_back(n);
      }
      CheckRecord(vol, n, rec, size);
    }
  }
  std::sort(g.names.begin(), g.names.end());
}

// The boot sector and its backup against the partition and against where
// $MFT lies (NtfsBootSectors.h): what the repair would write, said.
void CheckBootCopies(ntfs_volume* vol) {
  g.record = 9;
  NtfsBootSectors s;
  if (ExamineNtfsVolumeBootSectors(vol, &s) < 0) return;
  const NtfsBootCopy& p = s.primary;
  const long long partition = (long long)s.sectors;
  if (IsNtfsBootFromBackup(vol)) {
    if (s.backup.sector == s.BackupSector())
      FAULT("Boot sector: damaged; the backup in the partition's last sector is read instead.\n");
    else
      FAULT("Boot sector: damaged; the backup in sector %llu of the partition is read instead.\n",
            (unsigned long long)s.backup.sector);
  }
  if (p.ntfs && !p.signature) FAULT("Boot sector: it does not end in its signature 55 AA.\n");
  if (p.ntfs && !p.mft) FAULT("Boot sector: $MFT does not lie where it says.\n");
  if (p.ntfs && p.mft && !p.mirror) FAULT("Boot sector: $MFTMirr does not lie where it says.\n");
  if (p.ntfs && !p.fits)
    FAULT("Boot sector: the volume (%lld sectors) does not fit its partition (%lld sectors).\n",
          (long long)p.volumeSectors, partition);
  if (!s.choice) {
    FAULT("Boot sector: neither it nor its backup fits the partition and lies on $MFT.\n");
    return;
  }
  int write = NtfsBootSectorsToWrite(s);
  // Hidden sectors count the volume's sectors, as the repair writes them.
  const uint32_t bps = Ld16(s.chosen + 11);
  const unsigned long long first = s.start / (bps ? bps : 512);
  const NtfsBootCopy& b = s.backup;
  const bool backupInPlace = b.sector == s.BackupSector();
  // The chosen copy differs from the other in its hidden sectors alone.
  auto onlyHidden = [&](const uint8_t* copy) {
    return !memcmp(copy, s.chosen, 0x1C) && !memcmp(copy + 0x20, s.chosen + 0x20, 512 - 0x20);
  };
  // A backup byte for byte the boot sector holds its fault, no other.
  const bool sameBackup = backupInPlace && p.exact && !memcmp(b.bytes, p.bytes, 512);
  if (s.choice == 1 && (write & 1))
    FAULT(sameBackup
              ? "Boot sector and its backup: %u hidden sectors, but the partition starts at sector "
                "%llu.\n"
              : "Boot sector: %u hidden sectors, but the partition starts at sector %llu.\n",
          Ld32(p.bytes + 0x1C), first);
  if (s.choice == 2 && p.Sound())
    FAULT(
        "Boot sector: the volume (%lld sectors) ends before the backup in the partition's last "
        "sector.\n",
        (long long)p.volumeSectors);
  if ((write & 2) && backupInPlace && onlyHidden(b.bytes) && !sameBackup &&
      (s.choice == 2 || p.exact)) {
    FAULT(
        "Boot sector: the backup in the partition's last sector gives %u hidden sectors, but the "
        "partition starts at sector %llu.\n",
        Ld32(b.bytes + 0x1C), first);
  } else if (s.choice == 1 && (write & 2) && !sameBackup) {
    FAULT("Boot sector: the backup in the partition's last sector differs.\n");
    if (!p.exact)
      FINDING(
          "Boot sector: the partition (%lld sectors) is larger than the volume (%lld sectors) "
          "and its backup.\n",
          partition, (long long)p.volumeSectors);
  }
}

}  // namespace

int CheckNtfsVolume(ntfs_volume* vol, NtfsCheckLog log) {
  if (!vol || !log) return 0;
  g = CheckState();
  g.log = log;

  if (IsNtfsVolumePartial(vol)) {
    g.inconsistent++;
    FINDING("The volume does not mount whole.\n");
  }
  bool bootRead = false;
  CheckBootSector(vol, &bootRead);
  if (!bootRead) return 0;
  CheckBootCopies(vol);
  u8 boot[512];
  if (ntfs_pread(vol->dev, 0, sizeof boot, boot) == (s64)sizeof boot)
    ntfs_boot_sector_parse(vol, (NTFS_BOOT_SECTOR*)boot);
  LoadRunlists(vol);
  CheckMirror(vol);
  CheckRecords(vol);
  for (s64 folder : g.folders) CheckFolder(vol, folder);
  // Names are held against the indexes only where these are whole.
  CheckNames(vol, !g.indexFaults);
  CheckAttributeLists(vol);
  // Volumes of NTFS 1.x keep their descriptors in the records.
  if (vol->major_ver >= 3) CheckSecurity(vol);
  CheckUpcase(vol);
  if (vol->major_ver >= 3) CheckExtend(vol);
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
  bool clean = !g.errors && !g.inconsistent && !g.findings;
  g = CheckState();
  if (!clean) return 0;
  if (vol->flags & VOLUME_IS_DIRTY) ntfs_volume_write_flags(vol, vol->flags & ~VOLUME_IS_DIRTY);
  return 1;
}

namespace {

void Quiet(const char*, ...) {}

}  // namespace

int FindNtfsNameFaults(ntfs_volume* vol, NtfsNameFaults* out) {
  *out = NtfsNameFaults();
  if (!vol || !vol->mft_na) return 0;
  g = CheckState();
  g.log = Quiet;
  LoadRunlists(vol);
  CheckRecords(vol);
  for (s64 folder : g.folders) CheckFolder(vol, folder);
  out->indexesWhole = !g.indexFaults;
  out->unmarked.assign(g.unmarked.begin(), g.unmarked.end());
  if (out->indexesWhole)
    ForEachUnindexedName([&](const NameNote& name, bool) {
      out->unindexed.push_back(NtfsNameFaults::Name{name.owner, NameValue(vol, name)});
    });
  for (size_t n = 0; n < g.records.size(); n++)
    if (g.records[n].sound && g.records[n].base < 0 && g.records[n].links != g.records[n].names)
      out->miscounted.push_back((long long)n);
  bool read = !g.errors;
  free(g.mftRl);
  free(g.bitmapRl);
  g = CheckState();
  return read ? 1 : 0;
}
