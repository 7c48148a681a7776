// Records and callbacks shared by the mounted image, the FAT volume glue and
// the tree copies: the volume-information record, the folder-listing
// callback and the copy callback with its events and answers.
#pragma once
#include <windows.h>
#include <stdint.h>

// Volume-information record (little-endian, 52 bytes).
#pragma pack(push, 1)
struct VolumeInfoRecord {
  uint32_t fileSystem;  // 0 NTFS; FAT kinds come from CFatVolume
  uint16_t majorVersion;
  uint16_t minorVersion;
  uint64_t totalClusters;
  uint64_t freeClusters;
  uint64_t clusterSize;
  uint64_t sectorSize;
  uint64_t badClusters;
  uint32_t gpt;  // 1 when disk sector 0 is a protective MBR
};
#pragma pack(pop)

// What a listing found of the bitmap of an NTFS folder's index, which it
// only compares (every block the index names is read, whatever the bitmap
// says): blocks the index names that the bitmap marks free, and blocks it
// marks in use that the index does not name.
struct IndexBitmapFaults {
  int namedFree = 0;
  int unnamedUsed = 0;
};

// What a path names (GetPathType of every volume).
enum { VOLUME_PATH_MISSING = 0, VOLUME_PATH_FILE = 1, VOLUME_PATH_FOLDER = 2 };

// One entry of a folder listing (both volume kinds): kind 4 folder, 8 file;
// returns nonzero to go on, 0 to stop.
typedef int (*VolumeEnumCallback)(const wchar_t* name, unsigned int kind, DWORD sizeLow,
                                  DWORD sizeHigh, const FILETIME* creation,
                                  const FILETIME* lastWrite, const FILETIME* lastAccess,
                                  DWORD attributes, void* user);

// The copy callback: (event, total low, total high, done low, done high,
// step low, step high, reserved, user). Callers pass 0 in every argument
// they do not use.
//   VCC_PROGRESS: total is the job's bytes (each file rounded up to 1 MiB)
//     or the current file's, done what is finished, step what comes next.
//     0 cancels (before a file starts: that file is skipped).
//   VCC_TARGET_EXISTS: all numbers 0; the answer is the overwrite mode
//     (VCC_SKIP, VCC_REPLACE, VCC_REPLACE_IF_NEWER).
//   VCC_FILE_FAILED: a file or folder could not be copied; total is its size
//     when known, reserved its Win32 error. The answer is ignored, and
//     callers that only know the first two events treat it as "go on".
typedef DWORD(CALLBACK* VolumeCopyCallback)(DWORD event, DWORD totalLow, DWORD totalHigh,
                                            DWORD doneLow, DWORD doneHigh, DWORD stepLow,
                                            DWORD stepHigh, DWORD reserved, void* user);

enum { VCC_PROGRESS = 0, VCC_TARGET_EXISTS = 1, VCC_FILE_FAILED = 2 };
enum { VCC_SKIP = 0, VCC_REPLACE = 1, VCC_REPLACE_IF_NEWER = 2 };
