#include "image/mount/HostRoom.h"

#include <windows.h>

#include <string>
#include <vector>

#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"
#include "image/stack/OverlayNotice.h"

std::wstring HostWriteFile(CMountedImage* image) {
  if (!image || image->ImagePath().empty()) return L"";
  _VROH_MOUNT_RW* disk = image->DiskObject();
  _VROH_DISK_COMBO* layers = disk ? disk->Layers() : nullptr;
  if (layers) {
    // The order in which a write picks its layer (_VROH_MOUNT_RW::Write).
    if (layers->Fix().IsOpen()) return layers->Fix().Path();
    if (layers->Update().IsOpen()) return layers->Update().Path();
    if (disk->BasePath()[0]) return disk->BasePath();
    if (layers->Base().IsOpen() && !layers->Base().Path().empty()) return layers->Base().Path();
  }
  return image->ImagePath();
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
