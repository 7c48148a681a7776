// The exported volume copies: backup of a host volume, clone between host
// volumes and conversion of an image, each through the disk-tool mounts.
#include <windows.h>

#include "app/HostEntry.h"
#include "app/ImageOperations.h"
#include "common/CrashDump.h"
#include "disktools/copy/VolumeCopy.h"

namespace {

int EngineResult(int copied) {
  switch (copied) {
    case VOLUME_COPY_DONE:
      return kImageOk;
    case VOLUME_COPY_TARGET_REFUSED:
    case VOLUME_COPY_SOURCE_HELD:
      return kImageNotOpened;
    case VOLUME_COPY_NO_VOLUME:
    case VOLUME_COPY_REFUSED:
      return kImageOperationFailed;
    default:
      return kImageBadArgument;
  }
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
  return EngineResult(CloneHostVolume(source, target, callback, context));
}

int WINAPI ImageConvertFileW(LPCWSTR sourcePath, LPCWSTR targetPath, int raw, int gpt,
                             DiskCopyProgressCallback callback, void* context) {
  if (!IsProgramRuntimeStarted()) return kImageOperationFailed;
  CrashDumpFilterScope filter;
  return EngineResult(ConvertImageToNewImage(sourcePath, targetPath, raw, gpt, callback, context));
}
