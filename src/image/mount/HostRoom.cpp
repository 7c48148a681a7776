#include "image/mount/HostRoom.h"

#include <windows.h>

#include <string>
#include <vector>

#include "image/mount/MountedImage.h"

bool HostHasRoom(CMountedImage* image, uint64_t bytes) {
  if (!image || image->ImagePath().empty()) return true;
  std::wstring probe = image->ImagePath() + L".room";
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
  CloseHandle(file);
  return taken;
}
