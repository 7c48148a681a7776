// Lines that tell the operator what happened to an image file the program
// refused or started afresh: printed by the command that met it.
#pragma once

enum VroOverlayNoticeKind {
  VRO_NOTICE_DAMAGED_MAP,        // an own-format file whose map fails its checks
  VRO_NOTICE_DAMAGED_HEADER,     // an own-format file whose header fails its checks
  VRO_NOTICE_NOT_OVERLAY,        // an overlay path that holds no own-format overlay
  VRO_NOTICE_NOT_LINKED,         // an overlay that belongs to another base
  VRO_NOTICE_STALE_KEPT,         // a write-back of another base state, kept (read-only open)
  VRO_NOTICE_STALE_DISCARDED,    // a write-back of another base state, started afresh
  VRO_NOTICE_UNUSABLE_DISCARDED,  // a write-back marked unusable, started afresh
  VRO_NOTICE_JOURNAL_ROLLED_BACK, // a file whose cut-off command its journal rolled back
  VRO_NOTICE_JOURNAL_DAMAGED,     // a journal that fails its checks
  VRO_NOTICE_JOURNAL_SET_ASIDE,   // a journal of no file here, set aside
  VRO_NOTICE_JOURNAL_NOT_APPLIED, // a journal that could not be rolled back now
  VRO_NOTICE_LEGACY_UNDO,         // a resize journal of an earlier version
  VRO_NOTICE_MERGE_UNFINISHED,    // an image an earlier version's merge left (the merged file named)
  VRO_NOTICE_MERGE_FILE_MISSING,  // the same, its merged file gone (its name given)
  VRO_NOTICE_MERGE_RECORD_DONE,   // a record of a merge that had completed, removed
  VRO_NOTICE_MERGE_UNLINKS,       // an overlay a merge into its base unlinks (the merged file named)
  VRO_NOTICE_MERGE_LEFTOVER       // a file merged already, removed by merging it again
};

typedef void (*VroOverlayNoticeFn)(const wchar_t* path, int kind);

// Prints (or hands to the installed function) one line naming the file.
void VroOverlayNotice(const wchar_t* path, int kind);
// The same, naming a second file the line is about.
void VroOverlayNoticeAbout(const wchar_t* path, int kind, const wchar_t* other);
// Installs fn (null: the standard output); returns the one before.
VroOverlayNoticeFn VroSetOverlayNotice(VroOverlayNoticeFn fn);
