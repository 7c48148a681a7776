// What the parts of the NTFS check share: the process-wide state of one
// check (one runs at a time) and its line-writing helpers. Needs the
// libntfs-3g headers.
#pragma once
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/ByteOrder.h"
#include "image/ntfs/NtfsInternal.h"
#include "image/ntfs/check/NtfsCheck.h"

namespace ntfscheck {

const u32 kEnd = 0xFFFFFFFFu;

// What the records pass keeps of each record for the checks that need the
// whole volume (indexes, names, attribute lists).
struct RecordNote {
  bool sound = false;  // in use and found whole
  bool list = false;   // a base record with an attribute list
  u16 sequence = 0;
  u16 links = 0;         // the link count its header holds
  u16 names = 0;         // its names, DOS-only ones left out (extensions' counted here)
  u32 entries = 0;       // index entries that name it
  s64 base = -1;         // the base record of an extension; -1 for a base record
  u16 baseSequence = 0;  // the sequence number an extension names its base with
};

// One name ($FILE_NAME) a record holds: where its value lies, to be read
// again for the few that are reported.
struct NameNote {
  u64 digest;  // NameDigest
  s64 owner;   // the base record
  s64 parent;
  s64 record;  // the record that holds it
  u32 offset;  // of its value in that record
};

// One attribute of a record that an attribute list must name.
struct AttributeNote {
  u32 type;
  u16 instance;
  s64 lowestVcn;
  u64 name;  // digest of its name
  bool nonResident;
  s64 highestVcn;
  s64 allocated;  // of the piece at VCN 0
};

struct CheckState {
  NtfsCheckLog log = nullptr;
  int errors = 0;        // reads that failed
  int findings = 0;      // every line but the progress ones
  int inconsistent = 0;  // copies or maps that disagree with what they copy or map
  int indexFaults = 0;   // damaged indexes: names the check cannot hold against them
  int sizeFindings = 0;  // of attributes' sizes: their records are still sound
  long long record = 0;  // shown in assertion lines
  u32 bytesPerSector = 0;
  u32 sectorsPerCluster = 0;
  runlist_element* mftRl = nullptr;
  runlist_element* bitmapRl = nullptr;
  std::vector<u8> mftBitmap;
  std::vector<RecordNote> records;
  std::vector<s64> unmarked;  // in use by their header, free by $MFT's bitmap
  std::vector<s64> folders;
  // A digest of each name a record holds, sorted once the records are
  // read; an index entry must name its file as the file's record does.
  std::vector<u64> names;
  std::vector<NameNote> nameNotes;
  // The digests of the names the folders' indexes hold (their entries
  // whose record holds the name), sorted once the indexes are read.
  std::vector<u64> indexed;
  // The attributes of the records an attribute list must account for, and
  // the lists themselves, by record.
  std::map<s64, std::vector<AttributeNote>> attributes;
  std::map<s64, std::vector<u8>> lists;
};

extern CheckState g;

#define FINDING(...) (ntfscheck::g.findings++, ntfscheck::g.log(__VA_ARGS__))
#define FAULT(...) (ntfscheck::g.inconsistent++, FINDING(__VA_ARGS__))

inline s64 Ref48(const u8* p) {
  return (s64)(Ld32(p) | (u64)Ld16(p + 4) << 32);
}

// FNV-1a over the bytes, on from `h`.
u64 Digest(u64 h, const void* p, size_t n);
// The digest of a file name (a $FILE_NAME value of `length` bytes) of
// record n; 0 when the value is too short for its name.
u64 NameDigest(s64 n, const u8* value, u32 length);
// The whole value of an attribute of ni (up to 64 MiB): false when it
// cannot be read.
bool ReadAttribute(ntfs_inode* ni, ATTR_TYPES type, const ntfschar* name, u32 nameLength,
                   std::vector<u8>* out);
// A UTF-16 name for a line: ASCII as it is, anything else as '?'.
std::string NameText(const u8* name, u32 characters);

// The sector ends of a multi-sector record (a file record or an index
// block) against its update sequence number, undone in the copy; false at
// the first that differs (*torn: its sector) or when the array does not fit.
bool UndoFixups(u8* rec, u32 size, u32* torn);

// The parts of the check, in the order they run (NtfsCheck.cpp calls
// them): the folders' indexes; the names against them (when they are
// whole) and the link counts; the attribute lists against the records;
// $Secure; $UpCase; $Extend.
void CheckFolder(ntfs_volume* vol, s64 folder);
void CheckNames(ntfs_volume* vol, bool againstIndexes);
// Calls visit(name, lost) for each name that no index holds (lost: no
// index names its record at all).
void ForEachUnindexedName(const std::function<void(const NameNote& name, bool lost)>& visit);
// The $FILE_NAME value of a name, read from its record again; empty when
// it cannot be read.
std::vector<u8> NameValue(ntfs_volume* vol, const NameNote& name);
void CheckAttributeLists(ntfs_volume* vol);
void CheckSecurity(ntfs_volume* vol);
void CheckUpcase(ntfs_volume* vol);
// The entries of $Extend named as its metafiles against their shape.
void CheckExtend(ntfs_volume* vol);

}  // namespace ntfscheck
