// The exported volume copies: backup of a host volume, clone between host
// volumes and conversion of an image, each through the disk-tool mounts.
#include <windows.h>

#include <string>
#include <vector>

#include "app/HostEntry.h"
#include "app/ImageOperations.h"
#include "common/CrashDump.h"
#include "common/PathUtil.h"
#include "disktools/copy/VolumeCopy.h"
#include "image/mount/MountedImage.h"
#include "image/stack/ImageMerge.h"
#include "image/stack/LeftFiles.h"

namespace {

const int kReadOnlyOpen = 0;

int EngineResult(int copied) {
  return copied == VOLUME_COPY_DONE             ? int(kImageOk)
         : copied == VOLUME_COPY_TARGET_REFUSED ? int(kImageNotOpened)
         : copied == VOLUME_COPY_NO_VOLUME      ? int(kImageOperationFailed)
                                                : int(kImageBadArgument);
}

// The base image of an update file "<base>_NN.Upd", or the path itself.
std::wstring BaseImageOf(LPCWSTR path) {
  std::wstring p = path;
  size_t n = p.size();
  if (n > 7 && _wcsicmp(p.c_str() + n - 4, L".Upd") == 0 && p[n - 7] == L'_' &&
      iswdigit(p[n - 6]) && iswdigit(p[n - 5]))
    return p.substr(0, n - 7);
  return p;
}

// True when writing target would overwrite a file the source's volume is
// read through: the image, its base and update files, its write-back file.
bool IsPartOfSource(LPCWSTR source, LPCWSTR target) {
  std::wstring base = BaseImageOf(source);
  if (IsSameHostFile(source, target) || IsSameHostFile(base.c_str(), target)) return true;
  std::vector<std::wstring> updates;
  if (ListImageUpdateFiles(base.c_str(), &updates, nullptr) > 0)
    for (const std::wstring& update : updates)
      if (IsSameHostFile(update.c_str(), target)) return true;
  for (const std::wstring& image : {std::wstring(source), base}) {
    wchar_t writeBack[kPathChars];
    CMountedImage::MakeWriteBackPath(image.c_str(), writeBack);
    if (IsSameHostFile(writeBack, target)) return true;
  }
  return false;
}

}  // namespace

int WINAPI ImageBackupDiskW(WCHAR letter, LPCWSTR imagePath, int raw, int gpt,
                            DiskCopyProgressCallback callback, void* context) {
  if (!IsProgramRuntimeStarted()) return kImageOperationFailed;
  CrashDumpFilterScope filter;
  if (!imagePath || !*imagePath) return kImageOperationFailed;
  return EngineResult(BackupVolumeToNewImage(letter, imagePath, raw, gpt, callback, context));
}

int WINAPI ImageCloneDiskW(WCHAR source, WCHAR target, DiskCopyProgressCallback callback,
                           void* context) {
  if (!IsProgramRuntimeStarted()) return kImageOperationFailed;
  CrashDumpFilterScope filter;
  // A volume cloned onto itself would be locked for writing while it is
  // read: refused before anything is opened.
  if (towupper(source) == towupper(target)) return kImageOperationFailed;
  return EngineResult(CloneHostVolume(source, target, callback, context));
}

int WINAPI ImageConvertFileW(LPCWSTR sourcePath, LPCWSTR targetPath, int raw, int gpt,
                             DiskCopyProgressCallback callback, void* context) {
  if (!IsProgramRuntimeStarted()) return kImageOperationFailed;
  CrashDumpFilterScope filter;
  // The source is opened to find its own files, then to be copied: a file
  // left beside it is named once.
  VroLeftFilesCommandRound round;
  if (!sourcePath || !*sourcePath || !targetPath || !*targetPath ||
      IsPartOfSource(sourcePath, targetPath))
    return kImageOperationFailed;
  CMountedImage* source = OpenImageFileMount(sourcePath, kReadOnlyOpen);
  // A source that what a command cut off holds (a line names it) cannot be
  // opened; any other failure of the source fails the copy.
  if (!source)
    return IsHeldBySideFile(sourcePath) || IsHeldBySideFile(BaseImageOf(sourcePath).c_str())
               ? kImageNotOpened
               : kImageOperationFailed;
  int copied = CopyVolumeToNewImage(source, targetPath, raw, gpt, nullptr, callback, context);
  DestroyImageMount(source);
  return EngineResult(copied);
}
