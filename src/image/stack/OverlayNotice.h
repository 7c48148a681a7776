// Lines that tell the operator what happened to an image file the program
// refused or started afresh: printed by the command that met it.
#pragma once
#include <string>
#include <vector>

enum VroOverlayNoticeKind {
  VRO_NOTICE_DAMAGED_MAP,         // an own-format file whose map fails its checks
  VRO_NOTICE_DAMAGED_HEADER,      // an own-format file whose header fails its checks
  VRO_NOTICE_NOT_OVERLAY,         // an overlay path that holds no own-format overlay
  VRO_NOTICE_NOT_LINKED,          // an overlay that belongs to another base
  VRO_NOTICE_STALE_KEPT,          // a write-back of another base state, kept (read-only open)
  VRO_NOTICE_STALE_DISCARDED,     // a write-back of another base state, started afresh
  VRO_NOTICE_STALE_NOT_MERGED,    // a write-back of another base state, not merged into it
  VRO_NOTICE_STALE_REFUSED,       // the same over a raw image or VHD, kept by every command
  VRO_NOTICE_UNUSABLE_DISCARDED,  // a write-back marked unusable, started afresh
  VRO_NOTICE_JOURNAL_ROLLED_BACK, // a file whose cut-off command its journal rolled back
  VRO_NOTICE_JOURNAL_DAMAGED,     // a journal that fails its checks
  VRO_NOTICE_JOURNAL_SET_ASIDE,   // a journal of no file here, set aside
  VRO_NOTICE_JOURNAL_NOT_APPLIED, // a journal that could not be rolled back now
  VRO_NOTICE_JOURNAL_NOT_REMOVED, // a journal rolled back that could not be removed
  VRO_NOTICE_LEGACY_UNDO,         // a resize journal of an earlier version
  VRO_NOTICE_MERGE_UNFINISHED,    // an image an earlier version's merge left (the merged file named)
  VRO_NOTICE_MERGE_FILE_MISSING,  // the same, its merged file gone (its name given)
  VRO_NOTICE_MERGE_RECORD_DONE,   // a record of a merge that had completed, removed
  VRO_NOTICE_MERGE_UNLINKS,       // an overlay a merge into its base unlinks (the merged file named)
  VRO_NOTICE_MERGE_LEFTOVER,      // a file merged already, removed by merging it again
  VRO_NOTICE_MERGED_FILE_LEFT,    // a file merged whole that could not be removed (the image named)
  VRO_NOTICE_MISSING,             // a file that is not there
  VRO_NOTICE_CANNOT_CREATE,       // a write-back that cannot be made
  VRO_NOTICE_EMPTY,               // a file of 0 bytes where an image must be
  VRO_NOTICE_IN_USE,              // a file that cannot be opened (in use, no access)
  VRO_NOTICE_NOT_WRITABLE,        // a file a writing command cannot open for writing
  VRO_NOTICE_UNKNOWN_KIND,        // a file that opens but holds no image this program reads
  VRO_NOTICE_NO_BASE,             // an update file whose base is not beside it
  VRO_NOTICE_NO_VOLUME,           // an image without a volume the program mounts
  VRO_NOTICE_NO_MATCH,            // a file name or pattern to read that names no file
  VRO_NOTICE_NO_PARTITION,        // a disk without the partition of the number given
  VRO_NOTICE_LEFTOVER_REMOVED,    // a temporary file a cut-off command left, removed
  VRO_NOTICE_LEFTOVER_NOT_OURS,   // a file of such a name that is not one, or cannot go: left
  VRO_NOTICE_JOURNAL_NAME_TAKEN,  // the same at the journal's new name: no writer opens the image
  VRO_NOTICE_UPDATES_HANG_ON,     // an update file a write into its image itself would unlink
  VRO_NOTICE_STALE_PENDING,       // a write-back of another base state, shown without it until a write
  VRO_NOTICE_UPDATE_NOT_MADE,     // an update file that cannot be made beside its image (the error named)
  VRO_NOTICE_HELD,                // a file another process writes, or reads while this one would write
  VRO_NOTICE_USER_HIVE_DEFAULT,   // the hive standing for HKEY_CURRENT_USER, no last user being named
  VRO_NOTICE_USER_HIVE_NO_PROFILE, // the same, the last user named having no profile in the image
  VRO_NOTICE_NOT_LINKED_NOT_MERGED, // an overlay of another image (another kind), not merged into it
  VRO_NOTICE_MERGED_ALREADY_KEPT,   // a file merged already, not opened (a merge removes it)
  VRO_NOTICE_WRITES_NEED_FIX,     // a dynamic VHD opened to write without a write-back file
  VRO_NOTICE_HIBERNATED,          // an NTFS volume of a hibernated Windows opened to write
  VRO_NOTICE_FOLDER,              // an image path that names a folder
  VRO_NOTICE_FOLDER_TARGET,       // a new image's path that names a folder
  VRO_NOTICE_UNCLEAN_SHUTDOWN     // an NTFS volume Windows left with an unclean journal, to write
};

typedef void (*VroOverlayNoticeFn)(const wchar_t* path, int kind);

// Prints (or hands to the installed function) one line naming the file.
void VroOverlayNotice(const wchar_t* path, int kind);
// The same, naming a second file the line is about.
void VroOverlayNoticeAbout(const wchar_t* path, int kind, const wchar_t* other);
// The line for a temporary file a cut-off command left, just removed.
void VroNoticeLeftoverRemoved(const wchar_t* path);
// Installs fn (null: the standard output); returns the one before.
VroOverlayNoticeFn VroSetOverlayNotice(VroOverlayNoticeFn fn);
// Lines given so far: a caller sees whether its step gave one.
int VroOverlayNoticeCount();
// While one lives, the lines of its thread are dropped (and not counted):
// for files opened only to look for the one wanted. What changed a file (a
// journal applied, a left file removed) is still told.
// True while a VroQuietNotices of the thread lives.
bool VroNoticesQuiet();
class VroQuietNotices {
 public:
  VroQuietNotices();
  ~VroQuietNotices();
  VroQuietNotices(const VroQuietNotices&) = delete;
  VroQuietNotices& operator=(const VroQuietNotices&) = delete;
};
// While one lives, the lines of its thread are kept (and still given):
// for a window that tells its user what an open did to the files.
class VroNoticeCollector {
 public:
  struct Notice {
    std::wstring path;
    int kind;
  };
  VroNoticeCollector();
  ~VroNoticeCollector();
  VroNoticeCollector(const VroNoticeCollector&) = delete;
  VroNoticeCollector& operator=(const VroNoticeCollector&) = delete;
  const std::vector<Notice>& Notices() const { return m_notices; }

 private:
  friend void VroOverlayNoticeAbout(const wchar_t*, int, const wchar_t*);
  std::vector<Notice> m_notices;
  VroNoticeCollector* m_outer;
};
// The line for an image chain that did not open (code: the negative result
// of _VROH_MOUNT_RW::OpenChain; write mode as given to it), naming the file
// that failed and why, as the file itself shows. Nothing for a merge left
// unfinished: the command names that.
void VroChainNotice(int code, const wchar_t* image, const wchar_t* fixPath, int writeMode);
