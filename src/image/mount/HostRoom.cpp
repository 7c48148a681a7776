#include "image/mount/HostRoom.h"

#include <windows.h>

#include <string>

#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"
#include "image/stack/OverlayNotice.h"

std::wstring HostWriteFile(CMountedImage* image) {
  if (!image) return L"";
  std::wstring path;
  _VROH_MOUNT_RW* disk = image->DiskObject();
  // The layers may be a host program's own (an export given its disk).
  _VROH_DISK_COMBO* layers = disk ? disk->Layers() : nullptr;
  if (layers) {
    // The order in which a write picks its layer (_VROH_MOUNT_RW::Write).
    if (layers->Fix().IsOpen())
      path = layers->Fix().Path();
    else if (layers->Update().IsOpen())
      path = layers->Update().Path();
    else if (disk->BasePath()[0])
      path = disk->BasePath();
    else if (layers->Base().IsOpen())
      path = layers->Base().Path();
  }
  if (path.empty()) path = image->ImagePath();
  // A host disk or volume has no host volume beside it to measure.
  if (path.compare(0, 4, L"\\\\.\\") == 0) return L"";
  return path;
}

bool HostHasRoom(CMountedImage* image, uint64_t bytes) {
  const std::wstring target = HostWriteFile(image);
  if (target.empty()) return true;
  // A temporary file an earlier check made beside it and a power loss left
  // (its removal on close never ran) goes; one that a check at work holds,
  // its removal not shared, stays.
  const std::wstring probe = target + L".room";
  if (GetFileAttributesW(probe.c_str()) != INVALID_FILE_ATTRIBUTES && DeleteFileW(probe.c_str()))
    VroNoticeLeftoverRemoved(probe.c_str());
  // The free room of the folder the file is in (or will be), as the host
  // gives it to this user: the volume that holds that folder, its quota
  // counted.
  const size_t slash = target.find_last_of(L"\\/");
  std::wstring folder = slash == std::wstring::npos ? L".\\" : target.substr(0, slash + 1);
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return true;
  if (available.QuadPart >= bytes) return true;
  SetLastError(ERROR_DISK_FULL);
  return false;
}
