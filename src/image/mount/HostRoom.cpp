#include "image/mount/HostRoom.h"

#include <windows.h>

#include <string>
#include <vector>

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
  std::wstring probe = target + L".room";
  // One a grow cut off by a power loss left (its removal on close never
  // ran) goes; one that a grow at work holds, its removal not shared,
  // stays.
  if (GetFileAttributesW(probe.c_str()) != INVALID_FILE_ATTRIBUTES && DeleteFileW(probe.c_str()))
    VroNoticeLeftoverRemoved(probe.c_str());
  HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return true;
  std::vector<uint8_t> zeros(1 << 20);
  bool taken = true;
  for (uint64_t done = 0; taken && done < bytes; done += zeros.size()) {
    DWORD written = 0;
    taken = WriteFile(file, zeros.data(), (DWORD)zeros.size(), &written, nullptr) &&
            written == zeros.size();
  }
  DWORD error = taken ? 0 : GetLastError();
  CloseHandle(file);
  if (!taken) SetLastError(error ? error : ERROR_DISK_FULL);
  return taken;
}
