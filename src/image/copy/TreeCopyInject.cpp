// Host to volume: a file, a wildcard set of files or a folder tree. Host
// links are copied as links; a file that fails or is cancelled is removed
// from the volume again.
#include "image/copy/TreeCopyInternal.h"

#include <wchar.h>

#include "common/NoRedirect.h"
#include "common/PathUtil.h"
#include "common/ReparseLink.h"

using namespace treecopy;

namespace {

struct HostItem {
  DWORD attributes = 0;
  uint64_t size = 0;
  FILETIME lastWrite = {};
};

// What the host path is, without following a link at it.
bool StatHost(const std::wstring& path, HostItem* item) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  item->attributes = data.dwFileAttributes;
  item->size = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
  item->lastWrite = data.ftLastWriteTime;
  return true;
}

// What a folder's listing said of one of its entries.
HostItem ListedItem(const WIN32_FIND_DATAW& fd) {
  HostItem item;
  item.attributes = fd.dwFileAttributes;
  item.size = ((uint64_t)fd.nFileSizeHigh << 32) | fd.nFileSizeLow;
  item.lastWrite = fd.ftLastWriteTime;
  return item;
}

bool IsDots(const wchar_t* name) {
  return !wcscmp(name, L".") || !wcscmp(name, L"..");
}

class HostHandle {
 public:
  explicit HostHandle(HANDLE h) : m_h(h) {}
  ~HostHandle() {
    if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
  }
  HANDLE get() const { return m_h; }

 private:
  HANDLE m_h;
};

// Removes what a failed copy left at the volume path and reports the file
// that could not be read (the host file) or written (the volume file).
void FailVolumeFile(CopyJob& job, const std::wstring& vol, uint64_t size, DWORD error,
                    CopyJob::Step step = CopyJob::kWrite, const std::wstring& host = L"") {
  if (job.volume->GetPathType(vol.c_str())) job.volume->DeletePath(vol.c_str());
  job.FileFailed(size, error, step, step == CopyJob::kRead ? host : vol);
}

// Volume paths hold at most kPathChars - 1 characters, as every path the
// program takes does (the command line's, a listing's joined names): a
// longer one could not be given back, so it is not made.
bool FitsVolumePath(CopyJob& job, const std::wstring& vol, uint64_t size) {
  if (vol.size() < (size_t)kPathChars) return true;
  job.FileFailed(size, ERROR_FILENAME_EXCED_RANGE, CopyJob::kWrite, vol);
  return false;
}

void NoteMissing(CopyJob& job, uint64_t bytes) {
  // Never 0: callers take 0 for "not a matter of space".
  if (job.missing) *job.missing = bytes ? bytes : 1;
}

// One host file (or link) to one volume path. 1 copied, 0 skipped, failed
// or cancelled (job.failed / job.cancelled tell). listed: what the folder's
// listing said of it (the file's own size and time are read from it when
// it is opened), else it is looked up.
int InjectFile(CopyJob& job, const std::wstring& host, const std::wstring& vol,
               const HostItem* listed = nullptr) {
  VolumeFiles* volume = job.volume;
  HostItem item;
  if (listed) {
    item = *listed;
  } else if (!StatHost(host, &item)) {
    job.FileFailed(0, GetLastError(), CopyJob::kRead, host);
    return 0;
  }
  wchar_t target[kPathChars] = {};
  DWORD tag = 0;
  if (item.attributes & FILE_ATTRIBUTE_REPARSE_POINT) tag = ReadReparseTarget(host.c_str(), target);
  bool dirLink = tag && (item.attributes & FILE_ATTRIBUTE_DIRECTORY);
  if (tag)
    item.size = 0;
  else if (item.attributes & FILE_ATTRIBUTE_DIRECTORY) {
    job.FileFailed(0, ERROR_DIRECTORY, CopyJob::kRead, host);
    return 0;
  }

  HostHandle file(tag ? INVALID_HANDLE_VALUE
                      : CreateFileW(host.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!tag) {
    if (file.get() == INVALID_HANDLE_VALUE) {
      job.FileFailed(item.size, GetLastError(), CopyJob::kRead, host);
      return 0;
    }
    LARGE_INTEGER size;
    FILETIME lastWrite;
    if (!GetFileSizeEx(file.get(), &size) ||
        !GetFileTime(file.get(), nullptr, nullptr, &lastWrite)) {
      job.FileFailed(item.size, GetLastError(), CopyJob::kRead, host);
      return 0;
    }
    item.size = (uint64_t)size.QuadPart;
    item.lastWrite = lastWrite;
  }

  if (!FitsVolumePath(job, vol, item.size)) return 0;
  if (!job.Progress(item.size, 0, 0)) return 0;  // skipped by the caller

  // The room, counting what the file it replaces gives back (asked about
  // below: skipped, it takes nothing). A file the check let through that
  // still finds no room lacks at least a byte; one the volume could not
  // count for, all of its own.
  uint64_t lacking = 0;
  int room = tag ? 1 : VolumeRoomFor(job, vol.c_str(), item.size, &lacking);
  if (room == 0) {
    NoteMissing(job, lacking);
    job.FileFailed(item.size, ERROR_DISK_FULL, CopyJob::kWrite, vol);
    return 0;
  }
  lacking = room < 0 ? item.size : 1;

  // A link is made by CreateLink on a new path; a file is created here,
  // which also tells whether something is in the way.
  bool created = !tag && volume->CreatePath(vol.c_str(), 0x8000);
  if (!created) {
    DWORD error = GetLastError();
    // A folder that refuses names refuses the overwrite's removal too, and
    // a metafile (or a name in one) is not replaced either: nothing to ask.
    if (error == ERROR_DISK_CORRUPT || error == ERROR_ACCESS_DENIED) {
      job.FileFailed(item.size, error, CopyJob::kWrite, vol);
      return 0;
    }
    int type = volume->GetPathType(vol.c_str());
    if (type == VOLUME_PATH_MISSING && !tag) {
      job.FileFailed(item.size, error, CopyJob::kWrite, vol);
      return 0;
    }
    if (type == VOLUME_PATH_FOLDER) {
      job.FileFailed(item.size, ERROR_ALREADY_EXISTS, CopyJob::kWrite, vol);
      return 0;
    }
    if (type == VOLUME_PATH_FILE) {
      DWORD mode = job.AskOverwrite();
      if (mode == VCC_SKIP) return 0;
      if (mode == VCC_REPLACE_IF_NEWER) {
        FILETIME volTime = {};
        if (!volume->GetFileInfo(vol.c_str(), nullptr, &volTime, nullptr, nullptr, nullptr)) {
          job.FileFailed(item.size, GetLastError(), CopyJob::kWrite, vol);
          return 0;
        }
        uint64_t hostVersion = tag ? 0 : GetHostFileVersion(host.c_str());
        uint64_t volVersion = hostVersion ? GetVolumeFileVersion(volume, vol.c_str()) : 0;
        if (!SourceIsNewer(volume, vol.c_str(), true, hostVersion, volVersion, item.lastWrite,
                           volTime))
          return 0;
      }
      if (!volume->DeletePath(vol.c_str()) || (!tag && !volume->CreatePath(vol.c_str(), 0x8000))) {
        job.FileFailed(item.size, GetLastError(), CopyJob::kWrite, vol);
        return 0;
      }
    }
  }

  if (tag) {
    // Links go in as symbolic links, folder links on a folder node.
    if (!volume->CreateLink(vol.c_str(), target, dirLink ? 0x4000 : 0x8000, kReparseTagSymlink)) {
      FailVolumeFile(job, vol, 0, GetLastError());
      return 0;
    }
    // The link is complete; a time that cannot be set does not undo it.
    volume->SetFileInfo(vol.c_str(), nullptr, &item.lastWrite, nullptr, nullptr);
  } else {
    std::unique_ptr<VolumeStream> out = VolumeStream::Open(volume, vol.c_str(), true);
    DWORD error = 0;
    CopyJob::Step step = CopyJob::kWrite;
    if (!out)
      error = GetLastError();
    else if (!out->Reserve(item.size))
      error = GetLastError();
    uint8_t* buffer = job.Buffer();
    for (uint64_t at = 0; !error && at < item.size;) {
      uint32_t n = item.size - at < kIoBlock ? (uint32_t)(item.size - at) : kIoBlock;
      if (!HostTransfer(file.get(), buffer, n, false)) {
        error = GetLastError();
        step = CopyJob::kRead;
        break;
      }
      for (uint32_t p = 0; p < n; p += kChunk) {
        if (!job.Progress(item.size, at + p, n - p < kChunk ? n - p : kChunk)) {
          job.cancelled = true;
          break;
        }
      }
      if (job.cancelled) break;
      if (!out->Write(at, buffer, n)) {
        error = GetLastError();
        break;
      }
      at += n;
    }
    if (!error && !job.cancelled && !out->Close(&item.lastWrite)) error = GetLastError();
    out.reset();
    if (error || job.cancelled) {
      if (error == ERROR_DISK_FULL) NoteMissing(job, lacking);
      if (job.cancelled) {
        volume->DeletePath(vol.c_str());
        SetLastError(ERROR_CANCELLED);
      } else {
        FailVolumeFile(job, vol, item.size, error, step, host);
      }
      return 0;
    }
  }

  job.items++;
  job.Progress(item.size, item.size, 0);
  return 1;
}

// Makes a volume folder unless it is there; counts it when made.
bool MakeVolumeFolder(CopyJob& job, const std::wstring& vol) {
  if (!FitsVolumePath(job, vol, 0)) return false;
  int type = job.volume->GetPathType(vol.c_str());
  if (type == VOLUME_PATH_FOLDER) return true;
  if (type == VOLUME_PATH_FILE) {
    job.FileFailed(0, ERROR_ALREADY_EXISTS, CopyJob::kWrite, vol);
    return false;
  }
  if (!job.volume->CreateDirectoryTree(vol.c_str())) {
    job.FileFailed(0, GetLastError(), CopyJob::kWrite, vol);
    return false;
  }
  job.items++;
  return true;
}

void InjectEntries(CopyJob& job, const std::wstring& host, const std::wstring& vol) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(JoinPath(host, L"*.*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) job.FileFailed(0, error, CopyJob::kRead, host);
    return;
  }
  do {
    if (IsDots(fd.cFileName)) continue;
    std::wstring hostPath = JoinPath(host, fd.cFileName);
    std::wstring volPath = JoinPath(vol, fd.cFileName);
    if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !IsDirectoryLink(fd.dwFileAttributes)) {
      if (MakeVolumeFolder(job, volPath)) InjectEntries(job, hostPath, volPath);
    } else {
      uint64_t share = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                           ? 0
                           : JobShare(((uint64_t)fd.nFileSizeHigh << 32) | fd.nFileSizeLow);
      if (!job.Progress(job.jobTotal, job.jobDone, share)) {
        job.cancelled = true;
        break;
      }
      HostItem listed = ListedItem(fd);
      InjectFile(job, hostPath, volPath, &listed);
      job.jobDone += share;
    }
  } while (!job.cancelled && FindNextFileW(h, &fd));
  FindClose(h);
}

// Every file matching the host pattern into the volume folder. A pattern
// that matches no file (or lies in a folder that is not there) is named
// as a host path that could not be read.
void InjectPattern(CopyJob& job, const std::wstring& pattern, const std::wstring& vol) {
  std::wstring folder, name;
  SplitPath(pattern, &folder, &name);
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    job.FileFailed(0, error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error, CopyJob::kRead,
                   pattern);
    return;
  }
  bool made = false;
  do {
    if (IsDots(fd.cFileName) ||
        ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !IsDirectoryLink(fd.dwFileAttributes)))
      continue;
    if (!made && !MakeVolumeFolder(job, vol)) break;
    made = true;
    HostItem listed = ListedItem(fd);
    InjectFile(job, JoinPath(folder, fd.cFileName), JoinPath(vol, fd.cFileName), &listed);
  } while (!job.cancelled && FindNextFileW(h, &fd));
  FindClose(h);
  if (!made && !job.failed && !job.cancelled)
    job.FileFailed(0, ERROR_FILE_NOT_FOUND, CopyJob::kRead, pattern);
}

}  // namespace

int InjectHostPath(VolumeFiles* volume, const wchar_t* hostPath, const wchar_t* volumePath,
                   uint64_t* missing, VolumeCopyCallback callback, void* user) {
  if (!volume || !hostPath || !volumePath || !*hostPath || !*volumePath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  NoRedirectScope noRedirect;
  std::wstring host = CutStarDotStar(hostPath);
  std::wstring vol = CutStarDotStar(volumePath);
  CopyJob job(volume, callback, user, missing);

  if (HasWildcard(host)) {
    InjectPattern(job, host, vol);
    return job.items;
  }
  HostItem item;
  if (!StatHost(host, &item)) {
    job.FileFailed(0, GetLastError(), CopyJob::kRead, host);
    return 0;
  }
  if ((item.attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsDirectoryLink(item.attributes)) {
    if (!MakeVolumeFolder(job, vol)) return 0;
    job.jobTotal = HostTreeBytes(host, true);
    if (job.Progress(job.jobTotal, 0, 0)) InjectEntries(job, host, vol);
    return job.items;
  }
  // One file (or link): into an existing folder under its own name, else
  // at the volume path itself, its folder made when missing.
  std::wstring target = vol;
  if (volume->GetPathType(vol.c_str()) == VOLUME_PATH_FOLDER) {
    target = JoinPath(vol, FindFileNamePart(host.c_str()));
  } else {
    std::wstring folder, name;
    SplitPath(vol, &folder, &name);
    if (!folder.empty() && volume->GetPathType(folder.c_str()) != VOLUME_PATH_FOLDER &&
        !MakeVolumeFolder(job, folder))
      return 0;
  }
  InjectFile(job, host, target);
  return job.items;
}

int InjectHostFile(VolumeFiles* volume, const wchar_t* hostPath, const wchar_t* volumePath,
                   uint64_t* missing, VolumeCopyCallback callback, void* user) {
  if (!volume || !hostPath || !volumePath || !*hostPath || !*volumePath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  NoRedirectScope noRedirect;
  CopyJob job(volume, callback, user, missing);
  return InjectFile(job, hostPath, volumePath);
}
