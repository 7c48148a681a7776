// Where host drives and volumes come from. The default opens them with
// CreateFileW and asks their size with DeviceIoControl; tests put in a
// source that serves an ordinary file in their place.
#pragma once
#include <windows.h>
#include <cstdint>

#include "image/device/SectorDevice.h"

class VroDeviceSource {
 public:
  virtual ~VroDeviceSource() {}
  // type 1 (physical drive) or 2 (volume). On success returns the handle
  // with the device's length in bytes and its disk number (-1 unknown);
  // INVALID_HANDLE_VALUE on failure.
  virtual HANDLE OpenDevice(const wchar_t* path, int type, DWORD access, DWORD share,
                            uint64_t* bytes, int* diskNumber) = 0;
};

// Installs a source for all later opens (null restores the default) and
// returns the one in use before.
VroDeviceSource* VroSetDeviceSource(VroDeviceSource* source);
VroDeviceSource* VroGetDeviceSource();
