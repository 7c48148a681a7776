// Shared by the two directions of the tree copy: the job state with its
// progress reports, the open data of one volume file, and the overwrite
// decision.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "image/copy/TreeCopy.h"

struct TreeCopyNtfsFile;

namespace treecopy {

// Progress chunks as the callback sees them, and the size of the transfers
// behind them (whole multiples of the chunk, so that reports line up).
const uint32_t kChunk = 64 * 1024;
const uint32_t kIoBlock = 256 * 1024;

// A file's share of a job total: its size rounded up to whole MiB.
inline uint64_t JobShare(uint64_t size) {
  return (size + 0xFFFFF) & ~(uint64_t)0xFFFFF;
}

inline uint64_t U64(const FILETIME& f) {
  return ((uint64_t)f.dwHighDateTime << 32) | f.dwLowDateTime;
}

// Cuts a last component "*.*" (with its separator) off a path.
std::wstring CutStarDotStar(const wchar_t* path);
// True when the last component holds '*' or '?'.
bool HasWildcard(const std::wstring& path);
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);
// Splits at the last separator: folder part (may be empty) and name.
void SplitPath(const std::wstring& path, std::wstring* folder, std::wstring* name);

// Bytes below a host folder, each file's job share or its exact size;
// links are not entered.
uint64_t HostTreeBytes(const std::wstring& folder, bool shares);

// Reads or writes exactly count bytes of a host file (a short read is
// ERROR_HANDLE_EOF).
bool HostTransfer(HANDLE h, uint8_t* buffer, uint32_t count, bool write);

class CopyJob {
 public:
  CopyJob(VolumeFiles* volume, VolumeCopyCallback callback, void* user, uint64_t* missing)
      : volume(volume), callback(callback), user(user), missing(missing) {}

  // Event 0; false when the callback answered 0.
  bool Progress(uint64_t total, uint64_t done, uint64_t step);
  // Event 1: the overwrite mode for an existing target (1 without callback).
  DWORD AskOverwrite();
  // What an item failed at: reading its source (a host or volume path) or
  // writing its target.
  enum Step { kRead, kWrite };
  // Event 2 for an item that failed with `error` (also left as last error),
  // and a line on the standard output that names the path that could not
  // be read or written, with the error and the system's text for it (and,
  // for a folder the volume refuses to change until a repair, a second
  // line naming that folder, once per job and folder).
  void FileFailed(uint64_t size, DWORD error, Step step, const std::wstring& path);
  // A line on the standard output for a folder whose index bitmap
  // disagrees with its index (all its names were read all the same).
  void IndexBitmapDisagrees(const std::wstring& folder, const IndexBitmapFaults& faults);
  // One transfer buffer per job.
  uint8_t* Buffer();

  VolumeFiles* volume;
  VolumeCopyCallback callback;
  void* user;
  uint64_t* missing;
  uint64_t jobTotal = 0;
  uint64_t jobDone = 0;
  bool cancelled = false;
  bool failed = false;
  std::set<std::wstring> refusedFolders;
  int items = 0;
  bool freeCounted = false;

 private:
  std::vector<uint8_t> m_buffer;
};

// The data of one volume file, open for a whole copy: straight through the
// NTFS library where the volume offers it, through the volume's file
// operations elsewhere. Failures leave a Win32 last error.
class VolumeStream {
 public:
  // folder: the NTFS record number of the folder holding path when known
  // (the name is then looked up there), else -1.
  static std::unique_ptr<VolumeStream> Open(VolumeFiles* volume, const wchar_t* path, bool write,
                                            long long folder = -1);
  ~VolumeStream();
  uint64_t Size() const { return m_size; }
  FILETIME LastWrite() const { return m_lastWrite; }
  DWORD Attributes() const { return m_attributes; }
  // Bytes read (cut at the end), or -1.
  int64_t Read(uint64_t offset, void* buffer, uint32_t count);
  bool Write(uint64_t offset, const void* buffer, uint32_t count);
  // The next stored range at or after offset: [*from, *end); holes of
  // sparse data before it read as zeros. The whole rest off NTFS.
  bool NextStored(uint64_t offset, uint64_t* from, uint64_t* end);
  // Gives the file its final size before the data comes (NTFS only).
  bool Reserve(uint64_t size);
  // Closes, giving the file the last-write time when one is given.
  bool Close(const FILETIME* lastWrite = nullptr);

 private:
  VolumeStream() = default;
  VolumeFiles* m_volume = nullptr;
  std::wstring m_path;
  TreeCopyNtfsFile* m_ntfs = nullptr;
  uint64_t m_size = 0;
  FILETIME m_lastWrite = {};
  DWORD m_attributes = 0;
};

// Whether a file of size bytes written at `path` finds room on its side
// (VolumeFiles::RoomFor): 1 yes, 0 no with *missing, -1 unknown.
int VolumeRoomFor(CopyJob& job, const wchar_t* path, uint64_t size, uint64_t* missing);

// Mode 2 between the host and volumePath (the source is the host file
// when inject is true): the source replaces the target only when it is
// newer. A lower version (both known) keeps the target; otherwise the
// last-write times decide, the host file's taken as the volume keeps it
// (FAT to 2 s, exFAT to 10 ms), and an equal time is not newer.
bool SourceIsNewer(VolumeFiles* volume, const wchar_t* volumePath, bool inject,
                   uint64_t sourceVersion, uint64_t targetVersion, const FILETIME& sourceTime,
                   const FILETIME& targetTime);

// Copies a volume file to a host file; `report` asks the callback (without,
// it is used for the version of a volume file). folder as for
// VolumeStream::Open. 1 / 0 with the last error.
int CopyVolumeFileToHost(CopyJob& job, const wchar_t* volumePath, const wchar_t* hostPath,
                         bool report, long long folder = -1);

}  // namespace treecopy
