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

// Reads every record of $MFT (records the mirror keeps come from it when
// $MFT's copy is not whole) and calls visit(number, record, state) for
// each. A whole record is in use when its header says so, whatever $MFT's
// bitmap says; one that is not whole, when the bitmap says so. False when
// $MFT could not be read or visit returned false.
bool WalkNtfsRecords(ntfs_volume* vol,
                     const std::function<bool(s64 n, u8* rec, NtfsRecordState state)>& visit);

// Calls visit(attribute) for each attribute of a record in use (its
// fix-ups undone) up to the end marker; false when an attribute does not
// fit the record or visit returned false.
bool ForEachRawAttribute(const u8* rec, u32 size,
                         const std::function<bool(const ATTR_RECORD* a)>& visit);

// Calls run(record, attribute, runlist) for every non-resident attribute
// of every record in use, with its decoded runlist (freed afterwards).
// False when a record in use cannot be read or walked or a runlist cannot
// be decoded (*bad: its number), or when run returned false (*bad: -1).
bool WalkNtfsRecordRuns(
    ntfs_volume* vol,
    const std::function<bool(s64 n, const ATTR_RECORD* a, runlist_element* rl)>& run, s64* bad);
