#include "image/stack/OverlayNotice.h"

#include <windows.h>

#include <string>

#include "common/ConsoleOutput.h"
#include "image/stack/LeftFiles.h"
#include "image/stack/MountRw.h"

namespace {

VroOverlayNoticeFn g_notice = nullptr;
LONG g_count = 0;
thread_local int t_quiet = 0;
thread_local VroNoticeCollector* t_collector = nullptr;

const wchar_t* Why(int kind) {
  switch (kind) {
    case VRO_NOTICE_DAMAGED_MAP:
      return L"its map is damaged (torn, cut short or overwritten): not opened, left as it is";
    case VRO_NOTICE_DAMAGED_HEADER:
      return L"its header is damaged: not opened, left as it is";
    case VRO_NOTICE_NOT_OVERLAY:
      return L"it holds no overlay of this image (damaged or of another kind): not opened, left "
             L"as it is";
    case VRO_NOTICE_NOT_LINKED:
      return L"it belongs to another image: not opened, left as it is";
    case VRO_NOTICE_NOT_LINKED_NOT_MERGED:
      return L"it was made for another image (one of another kind, or one made anew at this "
             L"path): not merged, both files left as they are";
    case VRO_NOTICE_MERGED_ALREADY_KEPT:
      return L"this file was merged into its image already: not opened, left as it is (merging "
             L"it again removes it)";
    case VRO_NOTICE_STALE_KEPT:
      return L"it was made for an earlier state of its base image: not opened, left as it is (a "
             L"command that writes discards it)";
    case VRO_NOTICE_STALE_NOT_MERGED:
      return L"it was made for an earlier state of its base image (the image was written since): "
             L"not merged, both files left as they are";
    case VRO_NOTICE_STALE_REFUSED:
      return L"it was made for an earlier state of its base image (the image was written since): "
             L"not opened, left as it is (no command discards it: remove it to start afresh)";
    case VRO_NOTICE_UNUSABLE_DISCARDED:
      return L"it is marked unusable: it was discarded and started afresh";
    case VRO_NOTICE_JOURNAL_ROLLED_BACK:
      return L"a command cut off before its end was rolled back from its journal: the file is as "
             L"it was before that command";
    case VRO_NOTICE_JOURNAL_DAMAGED:
      return L"the journal of a command cut off before its end fails its checks: nothing was "
             L"applied or removed, and the file beside it is not opened";
    case VRO_NOTICE_JOURNAL_SET_ASIDE:
      return L"this journal does not belong to the file beside it (that file was replaced, or "
             L"is another one): not applied, set aside with the extension .aside";
    case VRO_NOTICE_JOURNAL_NOT_APPLIED:
      return L"the journal of a command cut off before its end could not be rolled back now (its "
             L"file or the journal cannot be opened for writing or is in use, or a write failed): "
             L"the journal is kept and the file beside it is not opened";
    case VRO_NOTICE_JOURNAL_NOT_REMOVED:
      return L"a command cut off before its end was rolled back from this journal (the file "
             L"beside it is as it was before that command), but the journal could not be "
             L"removed (read-only, or in use): the file is not opened until the journal is gone";
    case VRO_NOTICE_LEFTOVER_REMOVED:
      return L"a temporary file that a command cut off before its end left was removed";
    case VRO_NOTICE_LEFTOVER_NOT_OURS:
      return L"it has the name of a file this program makes beside an image, but it is not one "
             L"that a command cut off left, or it cannot be removed: left as it is";
    case VRO_NOTICE_JOURNAL_NAME_TAKEN:
      return L"it has the name of a file this program makes beside an image (the journal a "
             L"command writes before it changes the image), but it is not one that a command "
             L"cut off left, or it cannot be removed: left as it is, and no command writes the "
             L"image while it lies there";
    case VRO_NOTICE_UPDATES_HANG_ON:
      return L"an update file made against the image named in brackets: a write into that image "
             L"itself would leave it unable to open, so the image was not opened and nothing was "
             L"done; merge it into the image or remove it first";
    case VRO_NOTICE_MERGE_UNFINISHED:
      return L"a merge that an earlier version began into this image was cut off: the image is "
             L"half merged and not opened; merging the same file again (/merge) completes it";
    case VRO_NOTICE_MERGE_FILE_MISSING:
      return L"a merge that an earlier version began into this image was cut off, and the file "
             L"it merged is gone: the image may be half merged and is not opened (bring the "
             L"file back and merge it again; remove the record IMAGE.merging only if that merge "
             L"had completed)";
    case VRO_NOTICE_MERGE_RECORD_DONE:
      return L"the record of a merge that had completed was removed";
    case VRO_NOTICE_MERGE_UNLINKS:
      return L"this overlay was made for its image as it is before the merge that begins now: "
             L"the merge unlinks it (it no longer opens over the merged image)";
    case VRO_NOTICE_MERGE_LEFTOVER:
      return L"this file was merged into its image already: it was removed";
    case VRO_NOTICE_MERGED_FILE_LEFT:
      return L"merged into the image, but the file could not be removed (in use, or no access); "
             L"merging it again removes it";
    case VRO_NOTICE_LEGACY_UNDO:
      return L"the journal of a resize that an earlier version left unfinished: this version "
             L"cannot tell whether it belongs to the file beside it, so that file is not opened "
             L"(roll it back with the earlier version, or remove it)";
    case VRO_NOTICE_MISSING:
      return L"it does not exist: not opened";
    case VRO_NOTICE_CANNOT_CREATE:
      return L"it cannot be created (no such folder, or no access): nothing written";
    case VRO_NOTICE_EMPTY:
      return L"it is empty (0 bytes): not opened, left as it is";
    case VRO_NOTICE_IN_USE:
      return L"it cannot be opened (in use by another program, or no access): not opened";
    case VRO_NOTICE_STALE_PENDING:
      return L"it was made for an earlier state of its base image: the image is shown without "
             L"its changes, and the first change made to the image drops them and starts the "
             L"file afresh";
    case VRO_NOTICE_UPDATE_NOT_MADE:
      return L"the update file that takes the changes cannot be made beside the image: nothing "
             L"written";
    case VRO_NOTICE_HELD:
      return L"another program holds the image (it writes it, or reads it while this one would "
             L"write it): not opened, nothing done";
    case VRO_NOTICE_NOT_WRITABLE:
      return L"it cannot be opened for writing (read-only, in use by another program, or no "
             L"access): nothing written";
    case VRO_NOTICE_UNKNOWN_KIND:
      return L"it holds no image of a kind this program reads: not opened, left as it is";
    case VRO_NOTICE_NO_BASE:
      return L"it is an update file, and the image it was made against is not beside it or "
             L"does not open: not opened";
    case VRO_NOTICE_NO_VOLUME:
      return L"no NTFS, FAT or exFAT volume in it could be mounted: not opened";
    case VRO_NOTICE_NO_MATCH:
      return L"no file matches it: nothing read";
    case VRO_NOTICE_USER_HIVE_DEFAULT:
      return L"SOFTWARE names no last user: HKEY_CURRENT_USER is this hive (the hive of "
             L"HKEY_USERS\\.DEFAULT)";
    case VRO_NOTICE_USER_HIVE_NO_PROFILE:
      return L"no profile folder of the image is the last user's that SOFTWARE names: "
             L"HKEY_CURRENT_USER is this hive (the hive of HKEY_USERS\\.DEFAULT)";
    case VRO_NOTICE_NO_PARTITION:
      return L"its disk has no partition of the number asked for: not opened";
    case VRO_NOTICE_WRITES_NEED_FIX:
      return L"a dynamic VHD takes writes only through a write-back file (-fix:): it is read as "
             L"it is, nothing is written to it";
    case VRO_NOTICE_HIBERNATED:
      return L"Windows on its volume is hibernated (Fast Startup: hiberfil.sys holds the session "
             L"it resumes, with the volume as it left it), so a write now would be lost with that "
             L"session or damage the volume when it resumes: the volume is read as it is, nothing "
             L"is written to it; start that Windows and shut it down fully (shutdown /s /t 0, or "
             L"Shift with Shut down), or turn Fast Startup off";
    case VRO_NOTICE_UNCLEAN_SHUTDOWN:
      return L"Windows on its volume did not shut down cleanly (its journal, $LogFile, holds "
             L"changes not yet written to the volume, or metadata Windows keeps in its cache for "
             L"Fast Startup), so a write now could damage the volume: the volume is read as it "
             L"is, nothing is written to it; start that Windows and shut it down fully (shutdown "
             L"/s /t 0, or Shift with Shut down), or have chkdsk repair the volume";
    case VRO_NOTICE_FOLDER:
      return L"it is a folder, not a file: not opened";
    case VRO_NOTICE_FOLDER_TARGET:
      return L"it is a folder, not a file: a new image is made only at the path of a file: "
             L"nothing written";
    default:
      return L"it was made for an earlier state of its base image: its changes were discarded "
             L"and it was started afresh";
  }
}

}  // namespace

VroOverlayNoticeFn VroSetOverlayNotice(VroOverlayNoticeFn fn) {
  VroOverlayNoticeFn was = g_notice;
  g_notice = fn;
  return was;
}

int VroOverlayNoticeCount() {
  return InterlockedCompareExchange(&g_count, 0, 0);
}

bool VroNoticesQuiet() {
  return t_quiet != 0;
}

VroQuietNotices::VroQuietNotices() {
  ++t_quiet;
}

VroQuietNotices::~VroQuietNotices() {
  --t_quiet;
}

VroNoticeCollector::VroNoticeCollector() : m_outer(t_collector) {
  t_collector = this;
}

VroNoticeCollector::~VroNoticeCollector() {
  t_collector = m_outer;
}

void VroNoticeLeftoverRemoved(const wchar_t* path) {
  VroOverlayNotice(path, VRO_NOTICE_LEFTOVER_REMOVED);
}

void VroOverlayNotice(const wchar_t* path, int kind) {
  VroOverlayNoticeAbout(path, kind, nullptr);
}

void VroOverlayNoticeAbout(const wchar_t* path, int kind, const wchar_t* other) {
  // What a journal did to a file, and a file a cut-off command left that
  // went, is told even while looking for another file: the files changed.
  bool changed = (kind >= VRO_NOTICE_JOURNAL_ROLLED_BACK && kind <= VRO_NOTICE_LEGACY_UNDO) ||
                 kind == VRO_NOTICE_LEFTOVER_REMOVED;
  if (t_quiet && !changed) return;
  InterlockedIncrement(&g_count);
  // A command that meets a file twice (to look at it, then to work on it)
  // names it once; the line counts as given.
  if (VroLineToldInCommand(path, kind, other)) return;
  for (VroNoticeCollector* c = t_collector; c; c = c->m_outer)
    c->m_notices.push_back({path ? path : L"", kind});
  if (g_notice) {
    g_notice(path, kind);
    return;
  }
  std::wstring line = std::wstring(path ? path : L"") + L": " + Why(kind);
  if (other && *other) line += std::wstring(L" (") + other + L")";
  WriteCommandLine(line + L"\r\n");
}

namespace {

// Why a file did not open, as the file shows it now.
void FileOpenNotice(const wchar_t* path, bool write) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
    VroOverlayNotice(path, write ? VRO_NOTICE_CANNOT_CREATE : VRO_NOTICE_MISSING);
    return;
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    VroOverlayNotice(path, VRO_NOTICE_FOLDER);
    return;
  }
  if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !data.nFileSizeHigh &&
      !data.nFileSizeLow && !write) {
    VroOverlayNotice(path, VRO_NOTICE_EMPTY);
    return;
  }
  DWORD access = write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  HANDLE h = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    VroOverlayNotice(path, write ? VRO_NOTICE_NOT_WRITABLE : VRO_NOTICE_IN_USE);
    return;
  }
  CloseHandle(h);
  VroOverlayNotice(path, VRO_NOTICE_UNKNOWN_KIND);
}

}  // namespace

void VroChainNotice(int code, const wchar_t* image, const wchar_t* fixPath, int writeMode) {
  bool writes = writeMode != VRO_WRITE_NONE;
  bool hasFix = fixPath && *fixPath;
  switch (code) {
    case VRO_CHAIN_NO_IMAGE:
      FileOpenNotice(image, false);
      break;
    case VRO_CHAIN_UPDATE_NO_BASE:
    case VRO_CHAIN_UPDATE_BASE_FAILED:
      VroOverlayNotice(image, VRO_NOTICE_NO_BASE);
      break;
    case VRO_CHAIN_UPDATE_FAILED:
      FileOpenNotice(image, writes && !hasFix);
      break;
    case VRO_CHAIN_SPARSE_FIX_FAILED:
    case VRO_CHAIN_OTHER_FIX_FAILED:
    case VRO_CHAIN_UPDATE_FIX_FAILED:
      if (hasFix) FileOpenNotice(fixPath, writes);
      break;
    case VRO_CHAIN_SPARSE_BASE_FAILED:
    case VRO_CHAIN_OTHER_FAILED:
      FileOpenNotice(image, true);
      break;
    default:
      break;
  }
}
