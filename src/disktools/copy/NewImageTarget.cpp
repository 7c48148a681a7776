#include "disktools/copy/NewImageTarget.h"

#include <windows.h>

#include <string>

#include "common/ConsoleOutput.h"
#include "common/PathUtil.h"
#include "common/ReplacedFile.h"
#include "image/stack/ImageMerge.h"
#include "image/stack/OverlayNotice.h"
#include "image/stack/RwClass.h"
#include "image/stack/journal/FileJournal.h"

namespace {

// The line of a target the new image cannot take, with the system's
// error for it (also left for the caller).
int Refuse(const wchar_t* path, DWORD error) {
  WriteCommandLine(FailureLine(true, path, error));
  SetLastError(error);
  return NEW_IMAGE_TARGET_FAILED;
}

}  // namespace

int CheckNewImageTarget(const wchar_t* path) {
  if (!path || !*path) return NEW_IMAGE_TARGET_FAILED;
  // A base that a merge left unfinished is written by nothing but that merge.
  if (FindUnfinishedMerge(path, nullptr)) {
    NoticeUnfinishedMerge(path);
    return NEW_IMAGE_TARGET_HELD;
  }
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // The new image is made beside the target: its folder must be there
    // (asked with its separator, which a drive's root needs).
    std::wstring folder(path, FindFileNamePart(path) - path);
    DWORD kind = folder.empty() ? FILE_ATTRIBUTE_DIRECTORY : GetFileAttributesW(folder.c_str());
    if (kind != INVALID_FILE_ATTRIBUTES && (kind & FILE_ATTRIBUTE_DIRECTORY))
      return NEW_IMAGE_TARGET_OK;
    return Refuse(path, ERROR_PATH_NOT_FOUND);
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    VroOverlayNotice(path, VRO_NOTICE_FOLDER_TARGET);
    SetLastError(ERROR_ACCESS_DENIED);
    return NEW_IMAGE_TARGET_FAILED;
  }
  if (_VROH_RW_CLASS::HeldByAnotherProgram(path)) return NEW_IMAGE_TARGET_HELD;
  // The image is replaced by a rename, which no other open of it may stand
  // in the way of: a reader holds it as much as a writer does.
  bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  HANDLE probe = readOnly ? INVALID_HANDLE_VALUE
                          : CreateFileW(path, GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING, 0,
                                        nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    return NEW_IMAGE_TARGET_OK;
  }
  DWORD error = readOnly ? ERROR_ACCESS_DENIED : GetLastError();
  if (error != ERROR_SHARING_VIOLATION) return Refuse(path, error ? error : ERROR_ACCESS_DENIED);
  VroOverlayNotice(path, VRO_NOTICE_HELD);
  return NEW_IMAGE_TARGET_HELD;
}

int CommitNewImage(ReplacedFile& made, const wchar_t* path) {
  bool committed = made.Commit();
  DWORD error = GetLastError();
  // The journal of the file replaced (a command cut off on it) is of no
  // file now.
  if (made.IsCommitted()) CFileJournal::ForgetReplaced(path);
  if (committed) return NEW_IMAGE_TARGET_OK;
  // A flush of the folder that failed has its line.
  if (made.IsCommitted()) return NEW_IMAGE_TARGET_FAILED;
  int now = CheckNewImageTarget(path);
  if (now != NEW_IMAGE_TARGET_OK) return now;
  WriteCommandLine(FailureLine(true, path, error ? error : ERROR_WRITE_FAULT));
  return NEW_IMAGE_TARGET_FAILED;
}
