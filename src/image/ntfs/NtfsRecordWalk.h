// Every record of $MFT as it is stored, walked without the library's
// inodes: base and extension records alike, whatever the attribute lists
// say, so that what a damaged list no longer names still counts. Needs the
// libntfs-3g headers.
#pragma once
#include <functional>
#include <vector>

#include "image/ntfs/NtfsInternal.h"

// What one record of the walk is.
enum NtfsRecordState {
  kRecordFree,    // whole and free by its header, or not whole and free by the bitmap
  kRecordInUse,   // a whole record in use; its fix-ups are undone
  kRecordBroken,  // in use by the bitmap, but no whole record (magic, fix-ups, header)
};

// Where a walk reads $MFT, its bitmap and $MFTMirr. The walks below read
// through the library's attributes unless given another source (one that
// reads runs taken before, for a walk the library may be inside of).
class NtfsMftSource {
 public:
  virtual ~NtfsMftSource() = default;
  // $MFT's bytes in use (its initialised size).
  virtual s64 MftBytes() = 0;
  // count bytes of $MFT from at; false when they could not all be read.
  virtual bool ReadMft(s64 at, s64 count, u8* buf) = 0;
  // $MFT's bitmap, its initialised bytes; false when it could not be read.
  virtual bool ReadMftBitmap(std::vector<u8>* map) = 0;
  // Record n as $MFTMirr holds it; false when the mirror holds no record n
  // or it could not be read.
  virtual bool ReadMirror(s64 n, u8* rec) = 0;
};

// Reads every record of $MFT (records the mirror keeps come from it when
// $MFT's copy is not whole) and calls visit(number, record, state) for
// each. A whole record is in use when its header says so, whatever $MFT's
// bitmap says; one that is not whole, when the bitmap says so. False when
// $MFT could not be read or visit returned false.
bool WalkNtfsRecords(ntfs_volume* vol,
                     const std::function<bool(s64 n, u8* rec, NtfsRecordState state)>& visit);
bool WalkNtfsRecords(ntfs_volume* vol, NtfsMftSource& source,
                     const std::function<bool(s64 n, u8* rec, NtfsRecordState state)>& visit);

// Calls visit(attribute) for each attribute of a record in use (its
// fix-ups undone) up to the end marker; false when an attribute does not
// fit the record or visit returned false.
bool ForEachRawAttribute(const u8* rec, u32 size,
                         const std::function<bool(const ATTR_RECORD* a)>& visit);

// The runs one record holds of a non-resident attribute (one piece of it
// when an attribute list spreads it over several records): from its lowest
// VCN to its highest, without the unmapped stand-ins the library's decoder
// puts before and after them for the VCNs the other pieces hold, ended by
// an element of length 0 at highest VCN + 1. Null (errno set) when the
// runs do not decode or do not cover exactly those VCNs. Free with free().
// Every decoding of a record's runs in this system goes through here.
runlist_element* DecodeNtfsPieceRuns(ntfs_volume* vol, const ATTR_RECORD* a);

// One piece of an attribute: the VCNs one record holds of it.
struct NtfsRunPiece {
  s64 record;
  s64 lowest;
  s64 highest;
};

// Sorts the pieces of one attribute by their lowest VCN: true when they
// cover VCNs 0 to clusters - 1, each once; else *amiss is the first VCN
// not covered, or covered twice.
bool ChainNtfsRunPieces(std::vector<NtfsRunPiece>* pieces, s64 clusters, s64* amiss);

// The value of an attribute list `a` (held in its record, or read through
// its runs; up to 16 MiB); empty when it cannot be read.
std::vector<u8> ReadNtfsAttributeList(ntfs_volume* vol, const ATTR_RECORD* a);

// One entry of an attribute list; its name lies at nameOffset in the list.
struct NtfsListEntry {
  u32 type;
  s64 lowestVcn;
  s64 record;
  u16 sequence;
  u16 instance;
  size_t nameOffset;
  u32 nameBytes;
};

// The entries of an attribute list's value; false when it is corrupt.
bool ParseNtfsAttributeList(const std::vector<u8>& list, std::vector<NtfsListEntry>* out);

// Calls run(record, attribute, runlist) for every non-resident attribute
// of every record in use, with its decoded runlist (DecodeNtfsPieceRuns,
// freed afterwards), and of every record an attribute list of a base
// record in use names that points back to that base, though its own header
// says it is free: its clusters still hold the file's data.
// False when a record in use cannot be read or walked or a runlist cannot
// be decoded (*bad: its number), or when run returned false (*bad: -1).
bool WalkNtfsRecordRuns(
    ntfs_volume* vol,
    const std::function<bool(s64 n, const ATTR_RECORD* a, runlist_element* rl)>& run, s64* bad);
bool WalkNtfsRecordRuns(
    ntfs_volume* vol, NtfsMftSource& source,
    const std::function<bool(s64 n, const ATTR_RECORD* a, runlist_element* rl)>& run, s64* bad);
