// Sector back ends: 512-byte sectors by 64-bit device sector number. Device
// sector 0 is a header slot, never disk data; disk sector n is device
// sector n + 1. Reads and writes return the bytes done, or minus the
// requested count on failure (an overlay answers minus the count for sectors
// it does not hold, so that the layer below is asked).
#pragma once
#include <windows.h>
#include <cstdint>

const uint32_t VRO_SECTOR = 512;

// Image type codes: what a path holds, as detection names it.
enum {
  VRO_TYPE_RAW = 0,
  VRO_TYPE_PHYSICAL = 1,
  VRO_TYPE_VOLUME = 2,
  VRO_TYPE_RAW_MBR = 3,
  VRO_TYPE_HEADER_PLAIN = 4,
  VRO_TYPE_HEADER_OTHER = 5,
  VRO_TYPE_SPARSE = 6,
  VRO_TYPE_VHD_FIXED = 7,
  VRO_TYPE_VHD_DYNAMIC = 8,
  VRO_TYPE_MBR_SECTOR1 = 9
};

// Holds a critical section for one scope.
struct VroCsLock {
  CRITICAL_SECTION* cs;
  explicit VroCsLock(CRITICAL_SECTION* c) : cs(c) { EnterCriticalSection(cs); }
  ~VroCsLock() { LeaveCriticalSection(cs); }
};

class _VROH_BASE_RW {
 public:
  virtual ~_VROH_BASE_RW() {}
  virtual int64_t Flush(HANDLE hFile) {
    (void)hFile;
    return 0;
  }
  virtual int64_t Write(HANDLE hFile, uint64_t sector, const void* buf, uint32_t bytes) = 0;
  virtual int64_t Read(HANDLE hFile, uint64_t sector, void* buf, uint32_t bytes) = 0;
  // The file offset of device sector `sector` (>= 1), for a back end that
  // keeps the sectors from there on in file order, one after another:
  // false for any other (a map between them, a header slot).
  virtual bool FileOffset(uint64_t sector, uint64_t* at) {
    (void)sector;
    (void)at;
    return false;
  }
};

// Positioned transfers on a handle (one system call each, safe to use from
// several threads on one handle). A short transfer returns the bytes moved,
// a failed one minus the count.
int64_t ReadHandleAt(HANDLE hFile, uint64_t byteOffset, void* buf, uint32_t bytes);
// WriteHandleAt goes through the installed device source (DeviceSource.h);
// SystemWriteHandleAt is the system's transfer itself.
int64_t WriteHandleAt(HANDLE hFile, uint64_t byteOffset, const void* buf, uint32_t bytes);
int64_t SystemWriteHandleAt(HANDLE hFile, uint64_t byteOffset, const void* buf, uint32_t bytes);
// Like ReadHandleAt, but bytes past the end of the file read as zeros.
int64_t ReadHandleAtZeroTail(HANDLE hFile, uint64_t byteOffset, void* buf, uint32_t bytes);
// The file's data reach the disk itself (through the installed device
// source): 0, or -1.
int FlushHandleFile(HANDLE hFile);
// The system's flush itself: 0, or -1 (the failure noted, HostWriteFailure.h).
int SystemFlushHandle(HANDLE hFile);
// What ReadHandleAt does without a hook: the file's own bytes.
int64_t SystemReadHandleAt(HANDLE hFile, uint64_t byteOffset, void* buf, uint32_t bytes);

// Gives the open file (opened with DELETE access) the name newPath,
// replacing a file of that name, in one step. False when that failed.
bool RenameHandleFile(HANDLE hFile, const wchar_t* newPath);

// A handle whose writes, reads and flushes something else takes first (the
// rollback journal of a writing command): ReadHandleAt, WriteHandleAt and
// FlushHandleFile on it go to the hook, which reaches the file through
// SystemReadHandleAt and the device source.
class VroHandleHook {
 public:
  virtual ~VroHandleHook() {}
  virtual int64_t HookWrite(uint64_t byteOffset, const void* buf, uint32_t bytes) = 0;
  virtual int64_t HookRead(uint64_t byteOffset, void* buf, uint32_t bytes) = 0;
  virtual int HookFlush() = 0;
};
// Hooks the handle (null: unhooks it). A handle has one hook at a time.
// False when no more handles can be hooked.
bool VroSetHandleHook(HANDLE hFile, VroHandleHook* hook);
