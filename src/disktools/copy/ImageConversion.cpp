// Conversion of an image into a new image: the source's own files are never
// the target, and a source that does not open says why.
#include <windows.h>

#include <cwctype>
#include <string>
#include <vector>

#include "common/ConsoleOutput.h"
#include "common/PathUtil.h"
#include "disktools/copy/VolumeCopy.h"
#include "image/mount/MountedImage.h"
#include "image/stack/ImageMerge.h"
#include "image/stack/LeftFiles.h"
#include "image/stack/OverlayNotice.h"

namespace {

const int kReadOnlyOpen = 0;

// The base image of an update file "<base>_NN.Upd", or the path itself.
std::wstring BaseImageOf(const wchar_t* path) {
  std::wstring p = path;
  size_t n = p.size();
  if (n > 7 && _wcsicmp(p.c_str() + n - 4, L".Upd") == 0 && p[n - 7] == L'_' &&
      iswdigit(p[n - 6]) && iswdigit(p[n - 5]))
    return p.substr(0, n - 7);
  return p;
}

// True when writing target would overwrite a file the source's volume is
// read through: the image, its base and update files, its write-back file.
bool IsPartOfSource(const wchar_t* source, const wchar_t* target) {
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

bool ConvertTargetIsSource(const wchar_t* sourcePath, const wchar_t* targetPath) {
  if (!IsPartOfSource(sourcePath, targetPath)) return false;
  WriteFrontEndLine(std::wstring(targetPath) +
                    L": it is the image to be converted, or one of its files (" + sourcePath +
                    L"): a conversion never writes what it reads: nothing copied\r\n");
  return true;
}

int ConvertImageToNewImage(const wchar_t* sourcePath, const wchar_t* targetPath, int raw, int gpt,
                           DiskCopyProgressCallback callback, void* context) {
  // No source opens from an empty path, and no image is made at one.
  if (!sourcePath || !*sourcePath) return VOLUME_COPY_NO_VOLUME;
  if (!targetPath || !*targetPath) return VOLUME_COPY_REFUSED;
  // The source's files are looked at for the target, then opened to be
  // copied: each line about one is given once.
  VroLeftFilesCommandRound round;
  VroNoticeCollector told;
  if (ConvertTargetIsSource(sourcePath, targetPath)) return VOLUME_COPY_REFUSED;
  CMountedImage* source = OpenImageFileMount(sourcePath, kReadOnlyOpen);
  // A source that another program, or what a command cut off, holds (a
  // line names it) cannot be opened; any other source that does not open
  // has its line from the open.
  if (!source) {
    bool held = IsHeldBySideFile(sourcePath) || IsHeldBySideFile(BaseImageOf(sourcePath).c_str());
    for (const VroNoticeCollector::Notice& n : told.Notices())
      held = held || n.kind == VRO_NOTICE_HELD;
    return held ? VOLUME_COPY_SOURCE_HELD : VOLUME_COPY_NO_VOLUME;
  }
  int copied = CopyVolumeToNewImage(source, targetPath, raw, gpt, nullptr, callback, context);
  DestroyImageMount(source);
  return copied;
}
