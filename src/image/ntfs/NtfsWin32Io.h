// The Win32 side of the NTFS device layer, callable from files that include
// the libntfs-3g headers (which cannot see <windows.h>). Handles are Win32
// HANDLEs passed as void*; NTFS_INVALID_HANDLE is INVALID_HANDLE_VALUE.
#pragma once

#include <stdint.h>

#define NTFS_INVALID_HANDLE ((void*)(intptr_t)-1)

// errno of the file API for a folder whose $I30 bitmap marks free an index
// block its index uses (no name is added or taken there until a repair);
// the file API reports it as ERROR_DISK_CORRUPT.
#define NTFS_EINDEXBITMAP 10100
// errno of a write the device layer refuses because $Bitmap marks free
// clusters a record uses (NtfsWriteGate.h); the file API reports it as
// ERROR_FILE_CORRUPT.
#define NTFS_EBITMAPFREE 10101
// errno of a record whose contents contradict themselves (a reparse point
// whose lengths run past its attribute): refused as damage, reported as
// ERROR_FILE_CORRUPT.
#define NTFS_EDAMAGED 10102

// Win32 error -> errno for every failure of the device layer.
int ntfs_disk_dev_errno(unsigned long win32Error);
// errno of this layer or the library -> the Win32 error the file API reports.
// While a refusal of the device layer is noted on this thread, every
// failure is reported as that refusal: the library turns a write refused
// under it into errors of its own (a busy resource, a failed I/O), which
// would name another cause than the one the refusal's line gives.
unsigned long NtfsErrnoToWin32(int err);
// Notes the errno of a refusal of the device layer for the failures it
// causes on this thread (0 forgets it: a command's end, a new command).
void NtfsNoteDeviceRefusal(int err);
// errno from GetLastError() (EIO when none is set).
int NtfsLastErrno();
void NtfsSetLastWin32Error(unsigned long err);
void NtfsClearLastWin32Error();
// One line of the command's output (the text ends with its line end).
void NtfsCommandLine(const wchar_t* text);

// What a Win32 device open found.
struct NtfsWin32Open {
  void* handle;
  void* lockHandle;
  unsigned long long start;
  unsigned long long length;
  bool lengthKnown;
  bool bounded;
  int heads;
  int sectorsPerTrack;
  int cylinders;
  int sectorSize;
};

// Opens "/dev/hd%c%u" (drive, or partition of a drive), "X:" (a volume,
// locked) or a plain file. access: 0 read, 1 write, 2 both; create: a plain
// file is made when missing. 0, or -1 with errno set.
int NtfsWin32OpenDevice(const char* name, int access, bool create, NtfsWin32Open* out);
// Closes what the open made: a written locked volume is dismounted, then
// unlocked. 0, or -1 with errno set.
int NtfsWin32CloseDevice(NtfsWin32Open* dev, bool written);
// Positional transfer on a handle; bytes moved, or -1 with errno set.
long long NtfsWin32Transfer(void* handle, unsigned long long offset, void* buffer, long long count,
                            bool write);
// Flushes the handles; 0, or -1 with errno set.
int NtfsWin32Flush(void* handle, void* lockHandle);
// Sector size from the drive geometry (fills heads etc. when known).
void NtfsWin32QueryGeometry(NtfsWin32Open* dev);
