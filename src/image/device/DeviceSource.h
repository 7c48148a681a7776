// Where host drives and volumes come from, and the positioned write and the
// flush under every write of image files and devices, with the renames and
// folder flushes that make names durable (common/FolderFlush.h). The
// default opens drives with CreateFileW, asks their size with
// DeviceIoControl, writes with the system's transfer and flushes with
// FlushFileBuffers; tests put in a source that serves an ordinary file in a
// drive's place, or one whose chosen write fails or never happens (as a
// process that dies there leaves the file).
#pragma once
#include <windows.h>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/FolderFlush.h"
#include "image/device/SectorDevice.h"

// The ranges [start, end) of the file's bytes in [start, end) that hold no
// room on the host disk (holes of a sparse file, which read as zeros), in
// order (FSCTL_QUERY_ALLOCATED_RANGES). False when the host cannot tell (a
// file system without sparse files, Wine): then none counts as a hole.
bool SystemQueryHoles(HANDLE hFile, uint64_t start, uint64_t end,
                      std::vector<std::pair<uint64_t, uint64_t>>* holes);
// Makes the bytes [start, end) of the file zeros and gives their room back
// to the host where it can (a sparse file: FSCTL_SET_ZERO_DATA punches a
// hole; other files get zeros written): 0, or -1 when nothing could be
// asked (then the bytes are as they were, or zeros in part).
int SystemPunchHole(HANDLE hFile, uint64_t start, uint64_t end);

class VroDeviceSource : public VroNameSource {
 public:
  // type 1 (physical drive) or 2 (volume). On success returns the handle
  // with the device's length in bytes and its disk number (-1 unknown);
  // INVALID_HANDLE_VALUE on failure.
  virtual HANDLE OpenDevice(const wchar_t* path, int type, DWORD access, DWORD share,
                            uint64_t* bytes, int* diskNumber) = 0;
  // What WriteHandleAt does: the bytes written, or minus the count.
  virtual int64_t WriteAt(HANDLE hFile, uint64_t byteOffset, const void* buf, uint32_t bytes) {
    return SystemWriteHandleAt(hFile, byteOffset, buf, bytes);
  }
  // Puts what was written to a file through to the disk: 0, or -1.
  virtual int FlushHandle(HANDLE hFile) { return SystemFlushHandle(hFile); }
  // The holes of a sparse file within [start, end) (what SystemQueryHoles
  // does): false when the host cannot tell.
  virtual bool QueryHoles(HANDLE hFile, uint64_t start, uint64_t end,
                          std::vector<std::pair<uint64_t, uint64_t>>* holes) {
    return SystemQueryHoles(hFile, start, end, holes);
  }
  // Gives the room of [start, end) back to the host (what SystemPunchHole
  // does): 0, or -1.
  virtual int PunchHole(HANDLE hFile, uint64_t start, uint64_t end) {
    return SystemPunchHole(hFile, start, end);
  }
};

// Installs a source for all later opens, renames and folder flushes (null
// restores the default) and returns the one in use before.
VroDeviceSource* VroSetDeviceSource(VroDeviceSource* source);
VroDeviceSource* VroGetDeviceSource();
