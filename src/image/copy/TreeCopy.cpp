// The parts of the tree copy that both directions share: paths, progress
// reports, the open data of a volume file, free space, the overwrite
// decision, safe host names and file versions.
#include "image/copy/TreeCopyInternal.h"

#include <stdio.h>
#include <wchar.h>

#include <string>

#include "common/ConsoleOutput.h"
#include "common/PathUtil.h"
#include "common/ReparseLink.h"
#include "common/TempFiles.h"
#include "image/device/HostWriteFailure.h"
#include "image/copy/TreeCopyNtfs.h"
#include "image/ntfs/NtfsWin32Io.h"

namespace treecopy {

std::wstring CutStarDotStar(const wchar_t* path) {
  std::wstring p = path ? path : L"";
  size_t n = p.size();
  if (n >= 3 && p.compare(n - 3, 3, L"*.*") == 0 && (n == 3 || IsPathSeparator(p[n - 4]))) {
    p.erase(n - 3);
    // Keep the separator of a root ("\*.*", "C:\*.*").
    bool root = p.size() == 1 || (p.size() == 3 && p[1] == L':');
    if (!root && IsPathSeparator(p.back())) p.pop_back();
  }
  return p;
}

bool HasWildcard(const std::wstring& path) {
  return wcspbrk(FindFileNamePart(path.c_str()), L"*?") != nullptr;
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty()) return name;
  if (IsPathSeparator(folder.back())) return folder + name;
  return folder + L"\\" + name;
}

void SplitPath(const std::wstring& path, std::wstring* folder, std::wstring* name) {
  const wchar_t* tail = FindFileNamePart(path.c_str());
  size_t at = tail - path.c_str();
  *name = tail;
  *folder = path.substr(0, at ? at - 1 : 0);
  // "\name" lies in the root.
  if (at == 1) *folder = path.substr(0, 1);
}

bool HostTransfer(HANDLE h, uint8_t* buffer, uint32_t count, bool write) {
  uint32_t done = 0;
  while (done < count) {
    DWORD moved = 0;
    BOOL ok = write ? ::WriteFile(h, buffer + done, count - done, &moved, nullptr)
                    : ::ReadFile(h, buffer + done, count - done, &moved, nullptr);
    if (!ok) return false;
    if (!moved) {
      SetLastError(write ? ERROR_WRITE_FAULT : ERROR_HANDLE_EOF);
      return false;
    }
    done += moved;
  }
  return true;
}

bool CopyJob::Progress(uint64_t total, uint64_t done, uint64_t step) {
  if (!callback) return true;
  return callback(VCC_PROGRESS, (DWORD)total, (DWORD)(total >> 32), (DWORD)done,
                  (DWORD)(done >> 32), (DWORD)step, (DWORD)(step >> 32), 0, user) != 0;
}

DWORD CopyJob::AskOverwrite() {
  if (!callback) return VCC_REPLACE;
  return callback(VCC_TARGET_EXISTS, 0, 0, 0, 0, 0, 0, 0, user);
}

void CopyJob::FileFailed(uint64_t size, DWORD error, Step step, const std::wstring& path) {
  failed = true;
  // A volume write that failed because the host refused the image file's
  // write: the host file is named, once, and the copy stops (nothing it
  // writes now can stay; the command is rolled back).
  if (step == kWrite && TellHostWriteFailure()) {
    cancelled = true;
    if (callback)
      callback(VCC_FILE_FAILED, (DWORD)size, (DWORD)(size >> 32), 0, 0, 0, 0, error, user);
    SetLastError(error);
    return;
  }
  std::wstring line = FailureLine(step == kWrite, path, error);
  // A folder the volume refuses to change until a repair: the deepest
  // folder of the path that is there.
  if (step == kWrite && error == ERROR_DISK_CORRUPT) {
    std::wstring folder = path, name;
    do SplitPath(std::wstring(folder), &folder, &name);
    while (folder.size() > 1 && volume->GetPathType(folder.c_str()) != VOLUME_PATH_FOLDER);
    if (refusedFolders.insert(folder).second)
      line += L"The index bitmap of " + folder +
              L" marks free an index block the folder uses: nothing goes into or out of it until "
              L"/repair mends it\r\n";
  }
  WriteCommandLine(line);
  if (callback)
    callback(VCC_FILE_FAILED, (DWORD)size, (DWORD)(size >> 32), 0, 0, 0, 0, error, user);
  SetLastError(error);
}

void CopyJob::IndexBitmapDisagrees(const std::wstring& folder, const IndexBitmapFaults& faults) {
  WriteCommandLine(L"Index bitmap of " + folder + L" disagrees with its index: " +
                   std::to_wstring(faults.namedFree) + L" blocks the index uses marked free, " +
                   std::to_wstring(faults.unnamedUsed) +
                   L" blocks marked in use not in the index; every name was read\r\n");
}

uint8_t* CopyJob::Buffer() {
  if (m_buffer.empty()) m_buffer.resize(kIoBlock);
  return m_buffer.data();
}

std::unique_ptr<VolumeStream> VolumeStream::Open(VolumeFiles* volume, const wchar_t* path,
                                                 bool write, long long folder) {
  std::unique_ptr<VolumeStream> s(new VolumeStream);
  s->m_volume = volume;
  s->m_path = path;
  if (struct _ntfs_volume* ntfs = volume->NtfsVolumeFor(path)) {
    int err = 0;
    s->m_ntfs = folder >= 0 ? TreeCopyNtfsOpenIn(ntfs, folder, FindFileNamePart(path), write, &err)
                            : TreeCopyNtfsOpen(ntfs, path, write, &err);
    if (!s->m_ntfs) {
      SetLastError(NtfsErrnoToWin32(err));
      return nullptr;
    }
    s->m_size = (uint64_t)TreeCopyNtfsSize(s->m_ntfs);
    uint64_t t = TreeCopyNtfsLastWrite(s->m_ntfs);
    s->m_lastWrite.dwLowDateTime = (DWORD)t;
    s->m_lastWrite.dwHighDateTime = (DWORD)(t >> 32);
    s->m_attributes = TreeCopyNtfsAttributes(s->m_ntfs);
    return s;
  }
  if (!volume->GetFileInfo(path, nullptr, &s->m_lastWrite, nullptr, &s->m_attributes, &s->m_size))
    return nullptr;
  if (s->m_attributes & FILE_ATTRIBUTE_DIRECTORY) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return s;
}

VolumeStream::~VolumeStream() {
  if (m_ntfs) TreeCopyNtfsClose(m_ntfs);
}

int64_t VolumeStream::Read(uint64_t offset, void* buffer, uint32_t count) {
  if (m_ntfs) {
    long long r = TreeCopyNtfsRead(m_ntfs, (long long)offset, buffer, count);
    if (r < 0) {
      SetLastError(NtfsErrnoToWin32((int)-r));
      return -1;
    }
    return r;
  }
  if (offset >= m_size) return 0;
  uint64_t want = m_size - offset < count ? m_size - offset : count;
  SetLastError(0);
  uint64_t got = m_volume->ReadFile(m_path.c_str(), buffer, offset, want);
  if (got != want) {
    if (!GetLastError()) SetLastError(ERROR_HANDLE_EOF);
    return -1;
  }
  return (int64_t)got;
}

bool VolumeStream::Write(uint64_t offset, const void* buffer, uint32_t count) {
  if (m_ntfs) {
    long long r = TreeCopyNtfsWrite(m_ntfs, (long long)offset, buffer, count);
    if (r < 0) {
      SetLastError(NtfsErrnoToWin32((int)-r));
      return false;
    }
    if (offset + count > m_size) m_size = offset + count;
    return true;
  }
  SetLastError(0);
  if (m_volume->WriteFile(m_path.c_str(), buffer, offset, count) != count) {
    if (!GetLastError()) SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  if (offset + count > m_size) m_size = offset + count;
  return true;
}

bool VolumeStream::NextStored(uint64_t offset, uint64_t* from, uint64_t* end) {
  *from = offset;
  *end = m_size;
  if (!m_ntfs) return true;
  long long stop = 0;
  long long r = TreeCopyNtfsNextStored(m_ntfs, (long long)offset, &stop);
  if (r < 0) {
    SetLastError(NtfsErrnoToWin32((int)-r));
    return false;
  }
  *from = (uint64_t)r;
  *end = (uint64_t)stop;
  return true;
}

bool VolumeStream::Reserve(uint64_t size) {
  if (!m_ntfs) return true;
  int r = TreeCopyNtfsSetSize(m_ntfs, (long long)size);
  if (r < 0) {
    SetLastError(NtfsErrnoToWin32(-r));
    return false;
  }
  m_size = size;
  return true;
}

bool VolumeStream::Close(const FILETIME* lastWrite) {
  if (!m_ntfs) {
    // The data is complete; a time that cannot be set does not undo it.
    if (lastWrite) m_volume->SetFileInfo(m_path.c_str(), nullptr, lastWrite, nullptr, nullptr);
    return true;
  }
  int r = TreeCopyNtfsClose(m_ntfs, lastWrite ? U64(*lastWrite) : 0);
  m_ntfs = nullptr;
  if (r < 0) {
    SetLastError(NtfsErrnoToWin32(-r));
    return false;
  }
  return true;
}

int VolumeRoomFor(CopyJob& job, const wchar_t* path, uint64_t size, uint64_t* missing) {
  if (struct _ntfs_volume* ntfs = job.volume->NtfsVolumeFor(path)) {
    // The library keeps its count up to date once it has scanned the
    // bitmap: scan once per job.
    unsigned long long lacking = 0;
    int r = TreeCopyNtfsRoomFor(ntfs, path, size, !job.freeCounted, &lacking);
    if (r >= 0) job.freeCounted = true;
    *missing = lacking;
    return r;
  }
  return job.volume->RoomFor(path, size, missing);
}

uint64_t HostTreeBytes(const std::wstring& folder, bool shares) {
  uint64_t total = 0;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(JoinPath(folder, L"*.*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return 0;
  do {
    if (!wcscmp(fd.cFileName, L".") || !wcscmp(fd.cFileName, L"..")) continue;
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      uint64_t size = ((uint64_t)fd.nFileSizeHigh << 32) | fd.nFileSizeLow;
      total += shares ? JobShare(size) : size;
    } else if (!IsDirectoryLink(fd.dwFileAttributes)) {
      total += HostTreeBytes(JoinPath(folder, fd.cFileName), shares);
    }
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return total;
}

bool SourceIsNewer(VolumeFiles* volume, const wchar_t* volumePath, bool inject,
                   uint64_t sourceVersion, uint64_t targetVersion, const FILETIME& sourceTime,
                   const FILETIME& targetTime) {
  // A version only vetoes: a file is never replaced by a lower one.
  if (sourceVersion && targetVersion && sourceVersion < targetVersion) return false;
  // A file copied one way keeps the time the volume could hold of it: the
  // host file's time is compared as the volume would keep it.
  uint64_t source = U64(inject ? volume->KeptWriteTime(volumePath, sourceTime) : sourceTime);
  uint64_t target = U64(inject ? targetTime : volume->KeptWriteTime(volumePath, targetTime));
  return source > target;
}

}  // namespace treecopy

using namespace treecopy;

bool IsSafeHostName(const wchar_t* name) {
  if (!name || !*name) return false;
  size_t n = wcslen(name);
  if (n > 255) return false;
  for (size_t i = 0; i < n; i++) {
    if (name[i] < 0x20 || wcschr(L"<>:\"/\\|?*", name[i])) return false;
  }
  // Windows drops trailing dots and spaces: "..", "..." and "a." would
  // name something else than they say.
  if (name[n - 1] == L'.' || name[n - 1] == L' ') return false;
  // Device names, with or without an extension ("CON", "nul.txt", "COM1 .log").
  size_t base = wcscspn(name, L".");
  while (base && name[base - 1] == L' ') base--;
  std::wstring stem(name, base);
  for (wchar_t& c : stem) {
    if (c >= L'a' && c <= L'z') c = (wchar_t)(c - 32);
  }
  if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" || stem == L"CONIN$" ||
      stem == L"CONOUT$")
    return false;
  if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0)) {
    wchar_t d = stem[3];
    if ((d >= L'0' && d <= L'9') || d == 0xB9 || d == 0xB2 || d == 0xB3) return false;
  }
  return true;
}

uint64_t GetHostFileVersion(const wchar_t* path) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (!size) return 0;
  std::vector<uint8_t> data(size);
  if (!GetFileVersionInfoW(path, 0, size, data.data())) return 0;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &len) || !info ||
      len < sizeof *info)
    return 0;
  return ((uint64_t)info->dwFileVersionMS << 32) | info->dwFileVersionLS;
}

uint64_t GetVolumeFileVersion(VolumeFiles* volume, const wchar_t* path) {
  if (!volume || !path) return 0;
  std::wstring source = path;
  // A symbolic link stands for its target; an absolute target names a
  // path of this volume behind its drive letter.
  if (volume->GetReparseTag(path)) {
    wchar_t target[kPathChars];
    if (volume->GetLinkTarget(path, target, kPathChars)) {
      const wchar_t* t = target;
      if (t[0] && t[1] == L':') t += 2;
      if (IsPathSeparator(*t)) {
        source = t;
      } else {
        std::wstring folder, name;
        SplitPath(source, &folder, &name);
        source = JoinPath(folder, t);
      }
    }
  }
  // Only executables carry version resources: no temporary copy of
  // anything else.
  if (!volume->IsWindowsExecutable(source.c_str())) return 0;
  wchar_t temp[kPathChars];
  if (!CreateTempFileName(temp, L"ver")) return 0;
  CopyJob job(volume, nullptr, nullptr, nullptr);
  uint64_t version = 0;
  if (CopyVolumeFileToHost(job, source.c_str(), temp, false)) version = GetHostFileVersion(temp);
  DeleteFileW(temp);
  return version;
}

DWORD GetHostFileAttributes(const wchar_t* path) {
  DWORD a = path ? GetFileAttributesW(path) : INVALID_FILE_ATTRIBUTES;
  if (a == INVALID_FILE_ATTRIBUTES) return 0;
  return a ? a : FILE_ATTRIBUTE_ARCHIVE;
}

uint64_t GetHostTreeSize(const wchar_t* folder) {
  return folder ? HostTreeBytes(folder, false) : 0;
}
