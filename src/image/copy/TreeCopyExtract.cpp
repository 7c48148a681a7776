// Volume to host: a file, a wildcard set or a folder tree. Everything is
// written inside the chosen host target: names from the volume that could
// lead elsewhere are refused, and a host link is never written through.
#include "image/copy/TreeCopyInternal.h"

#include <wchar.h>

#include "common/NoRedirect.h"
#include "common/PathUtil.h"
#include "common/ReparseLink.h"
#include "common/Wildcard.h"
#include "image/copy/TreeWalkGuard.h"

using namespace treecopy;

namespace {

// Host files from this size on get their length before their data.
const uint64_t kPresetLengthFrom = 1024 * 1024;

struct VolumeEntry {
  std::wstring name;
  bool folder;
  uint64_t size;
  DWORD attributes;
};

int CollectEntry(const wchar_t* name, unsigned int kind, DWORD sizeLow, DWORD sizeHigh,
                 const FILETIME*, const FILETIME*, const FILETIME*, DWORD attributes, void* user) {
  if (!wcscmp(name, L".") || !wcscmp(name, L"..")) return 1;
  VolumeEntry e;
  e.name = name;
  e.folder = kind == 4 || (attributes & FILE_ATTRIBUTE_DIRECTORY);
  e.size = e.folder ? 0 : ((uint64_t)sizeHigh << 32) | sizeLow;
  e.attributes = attributes;
  static_cast<std::vector<VolumeEntry>*>(user)->push_back(e);
  return 1;
}

// The listing is taken whole first: nothing else runs inside an enumeration.
// False when the folder, or part of it, could not be read: the entries are
// those that could. faults: what the listing found of the folder's index
// bitmap, when asked.
bool ListVolumeFolder(VolumeFiles* volume, const std::wstring& path,
                      std::vector<VolumeEntry>* entries, IndexBitmapFaults* faults = nullptr) {
  entries->clear();
  IndexBitmapFaults unused;
  return volume->EnumDirectoryChecked(path.c_str(), CollectEntry, entries,
                                      faults ? faults : &unused) != 0;
}

// Why a folder and a pattern name nothing to extract: ERROR_PATH_NOT_FOUND
// for a folder that is not there, ERROR_FILE_NOT_FOUND for a pattern that
// matches no entry; 0 when they name something (or the listing fails, which
// the copy itself names).
DWORD PatternNamesNothing(VolumeFiles* volume, const std::wstring& folder,
                          const std::wstring& pattern) {
  if (volume->GetPathType(folder.c_str()) != VOLUME_PATH_FOLDER) return ERROR_PATH_NOT_FOUND;
  std::vector<VolumeEntry> entries;
  if (!ListVolumeFolder(volume, folder, &entries)) return 0;
  for (const VolumeEntry& e : entries)
    if (MatchWildcard(pattern.c_str(), e.name.c_str())) return 0;
  return ERROR_FILE_NOT_FOUND;
}

// A symbolic link or mount point (other reparse data is plain content).
bool IsVolumeLink(VolumeFiles* volume, const std::wstring& path, const VolumeEntry& e) {
  return (e.attributes & FILE_ATTRIBUTE_REPARSE_POINT) && volume->GetReparseTag(path.c_str());
}

uint64_t VolumeTreeTotal(VolumeFiles* volume, TreeWalkGuard& guard, const std::wstring& path,
                         const wchar_t* pattern) {
  std::vector<VolumeEntry> entries;
  ListVolumeFolder(volume, path, &entries);
  uint64_t total = 0;
  for (const VolumeEntry& e : entries) {
    if (pattern && !MatchWildcard(pattern, e.name.c_str())) continue;
    if (!IsSafeHostName(e.name.c_str())) continue;
    std::wstring child = JoinPath(path, e.name);
    if (e.folder && !IsVolumeLink(volume, child, e)) {
      if (guard.Enter(child))  // the walk itself reports a refused folder
        total += VolumeTreeTotal(volume, guard, child, nullptr);
    } else if (!e.folder)
      total += JobShare(e.size);
  }
  return total;
}

DWORD HostAttributes(const std::wstring& path) {
  return GetFileAttributesW(path.c_str());
}

// Makes every missing folder of a host path. The last one must end up a
// real folder (not a link to somewhere else).
bool MakeHostFolders(const std::wstring& path) {
  std::wstring p = path;
  for (wchar_t& c : p) {
    if (c == L'/') c = L'\\';
  }
  // Skip the root: "X:\", "\\server\share\" or "\\?\X:\".
  size_t from = 0;
  if (p.compare(0, 4, L"\\\\?\\") == 0)
    from = p.find(L'\\', 4);
  else if (p.compare(0, 2, L"\\\\") == 0)
    from = p.find(L'\\', p.find(L'\\', 2) + 1);
  else if (p.size() >= 2 && p[1] == L':')
    from = 2;
  if (from == std::wstring::npos) from = p.size();
  for (size_t i = from + 1; i <= p.size(); i++) {
    if (i < p.size() && p[i] != L'\\') continue;
    if (p[i - 1] == L'\\') continue;
    std::wstring part = p.substr(0, i);
    if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      return false;
  }
  DWORD a = HostAttributes(p);
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  return true;
}

// A folder of the tree inside the target: made new, or an existing real
// folder; an existing link there is refused, never entered.
bool MakeTreeFolder(CopyJob& job, const std::wstring& path) {
  if (CreateDirectoryW(path.c_str(), nullptr)) return true;
  DWORD error = GetLastError();
  DWORD a = HostAttributes(path);
  if (error == ERROR_ALREADY_EXISTS && a != INVALID_FILE_ATTRIBUTES) {
    if (a & FILE_ATTRIBUTE_REPARSE_POINT)
      error = ERROR_CANT_RESOLVE_FILENAME;
    else if (a & FILE_ATTRIBUTE_DIRECTORY)
      return true;
  }
  job.FileFailed(0, error, CopyJob::kWrite, path);
  return false;
}

// A file that failed half way: the partial host file goes; the line names
// the volume file that could not be read, or the host file that could not
// be written.
void FailHostFile(CopyJob& job, CopyJob::Step step, const wchar_t* volumePath, HANDLE h,
                  const std::wstring& host, uint64_t size, DWORD error) {
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  DeleteFileW(host.c_str());
  job.FileFailed(size, error, step, step == CopyJob::kRead ? std::wstring(volumePath) : host);
}

// A new host file for writing; never opened through a link at the name.
HANDLE CreateNewHostFile(const std::wstring& host) {
  return CreateFileW(
      host.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

// The callback cancelled the job: the partial file goes. Returns 0.
int CancelHostFile(CopyJob& job, HANDLE h, const std::wstring& host) {
  job.cancelled = true;
  CloseHandle(h);
  DeleteFileW(host.c_str());
  SetLastError(ERROR_CANCELLED);
  return 0;
}

}  // namespace

namespace treecopy {

// One volume file (or link) to one host path; `report` asks the callback.
int CopyVolumeFileToHost(CopyJob& job, const wchar_t* volumePath, const wchar_t* hostPath,
                         bool report, long long folder) {
  VolumeFiles* volume = job.volume;
  std::wstring host = hostPath;
  // The open data brings size, time and attributes with one lookup; a
  // link (which may have no data) is looked at through the file API.
  std::unique_ptr<VolumeStream> in = VolumeStream::Open(volume, volumePath, false, folder);
  DWORD openError = in ? 0 : GetLastError();
  FILETIME volTime = {};
  DWORD volAttributes = 0;
  uint64_t size = 0;
  if (in) {
    volTime = in->LastWrite();
    volAttributes = in->Attributes();
    size = in->Size();
  } else if (!volume->GetFileInfo(volumePath, nullptr, &volTime, nullptr, &volAttributes, &size)) {
    job.FileFailed(0, GetLastError(), CopyJob::kRead, volumePath);
    return 0;
  }
  wchar_t target[kPathChars] = {};
  DWORD tag = 0;
  if (volAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    tag = volume->GetReparseTag(volumePath);
    // A link whose target cannot be read (its reparse data damaged) is
    // named, never passed off as the file's empty stream.
    if (tag && !volume->GetLinkTarget(volumePath, target, kPathChars)) {
      job.FileFailed(0, GetLastError(), CopyJob::kRead, volumePath);
      return 0;
    }
  }
  if (tag)
    in.reset();
  else if (!in) {
    job.FileFailed(size, openError, CopyJob::kRead, volumePath);
    return 0;
  }

  // A free name gets its file at once; only a name that is taken is looked
  // at (and asked about) first. That spares each new file a lookup of its
  // name on the host, which on a file system that ignores case reads the
  // whole folder.
  HANDLE h = tag ? INVALID_HANDLE_VALUE : CreateNewHostFile(host);
  WIN32_FILE_ATTRIBUTE_DATA hostData;
  bool exists = h == INVALID_HANDLE_VALUE &&
                GetFileAttributesExW(host.c_str(), GetFileExInfoStandard, &hostData) != 0;
  if (exists) {
    DWORD a = hostData.dwFileAttributes;
    if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
      job.FileFailed(size, ERROR_ALREADY_EXISTS, CopyJob::kWrite, host);
      return 0;
    }
    if (report) {
      DWORD mode = job.AskOverwrite();
      if (mode == VCC_SKIP) return 0;
      if (mode == VCC_REPLACE_IF_NEWER) {
        uint64_t hostVersion =
            (a & FILE_ATTRIBUTE_REPARSE_POINT) ? 0 : GetHostFileVersion(host.c_str());
        uint64_t volVersion = 0;
        if (hostVersion) {
          // Its own reading opens the file again: not while open here.
          in.reset();
          volVersion = GetVolumeFileVersion(volume, volumePath);
        }
        if (!SourceIsNewer(volume, volumePath, false, volVersion, hostVersion, volTime,
                           hostData.ftLastWriteTime))
          return 0;
      }
    }
    // A link at the target is removed itself, never written through.
    if (a & FILE_ATTRIBUTE_REPARSE_POINT) {
      BOOL gone = (a & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(host.c_str())
                                                 : DeleteFileW(host.c_str());
      if (!gone) {
        job.FileFailed(size, GetLastError(), CopyJob::kWrite, host);
        return 0;
      }
    }
  }

  if (tag) {
    if (!CreateReparseLink(host.c_str(), target, tag, FALSE)) {
      job.FileFailed(0, GetLastError() ? GetLastError() : ERROR_CANT_ACCESS_FILE, CopyJob::kWrite,
                     host);
      return 0;
    }
    job.items++;
    return 1;
  }

  if (report && !job.Progress(size, 0, 0)) {
    // skipped by the caller: the file made for it goes again
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      DeleteFileW(host.c_str());
    }
    return 0;
  }
  if (!in) {
    in = VolumeStream::Open(volume, volumePath, false, folder);
    if (!in) {
      job.FileFailed(size, GetLastError(), CopyJob::kRead, volumePath);
      return 0;
    }
    size = in->Size();
  }
  // What was at the target is gone by now (a replaced file is removed
  // first), so the file is made new: a name that still exists is a link
  // that could not be seen (a dangling one), and is never opened through.
  if (exists && !(hostData.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      !DeleteFileW(host.c_str())) {
    job.FileFailed(size, GetLastError(), CopyJob::kWrite, host);
    return 0;
  }
  if (h == INVALID_HANDLE_VALUE) h = CreateNewHostFile(host);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
      error = ERROR_CANT_RESOLVE_FILENAME;
    job.FileFailed(size, error, CopyJob::kWrite, host);
    return 0;
  }
  // Holes of sparse data stay holes: the host file is made sparse before
  // it gets its length, and the holes are passed over.
  uint64_t stored = 0, storedEnd = size;
  if (!in->NextStored(0, &stored, &storedEnd)) {
    FailHostFile(job, CopyJob::kRead, volumePath, h, host, size, GetLastError());
    return 0;
  }
  bool sparse = stored || storedEnd < size;
  if (sparse) {
    DWORD unused = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
  }
  // The full length first lets the host file system place a large file in
  // one run and finds a full host disk before its data moves; a sparse file
  // needs it for a hole at its end. A small file takes its length from its
  // one write: setting it first would cost more than that write.
  LARGE_INTEGER end;
  end.QuadPart = (LONGLONG)size;
  LARGE_INTEGER zero = {};
  if ((sparse || size >= kPresetLengthFrom) &&
      (!SetFilePointerEx(h, end, nullptr, FILE_BEGIN) || !SetEndOfFile(h) ||
       !SetFilePointerEx(h, zero, nullptr, FILE_BEGIN))) {
    FailHostFile(job, CopyJob::kWrite, volumePath, h, host, size, GetLastError());
    return 0;
  }
  uint8_t* buffer = job.Buffer();
  for (uint64_t at = 0; at < size;) {
    if (!in->NextStored(at, &stored, &storedEnd)) {
      FailHostFile(job, CopyJob::kRead, volumePath, h, host, size, GetLastError());
      return 0;
    }
    if (stored > at) {
      LARGE_INTEGER to;
      to.QuadPart = (LONGLONG)stored;
      if (report && !job.Progress(size, at, stored - at)) return CancelHostFile(job, h, host);
      if (!SetFilePointerEx(h, to, nullptr, FILE_BEGIN)) {
        FailHostFile(job, CopyJob::kWrite, volumePath, h, host, size, GetLastError());
        return 0;
      }
      at = stored;
      continue;
    }
    uint32_t n = storedEnd - at < kIoBlock ? (uint32_t)(storedEnd - at) : kIoBlock;
    int64_t got = in->Read(at, buffer, n);
    if (got != (int64_t)n) {
      FailHostFile(job, CopyJob::kRead, volumePath, h, host, size,
                   got < 0 ? GetLastError() : ERROR_HANDLE_EOF);
      return 0;
    }
    if (report) {
      for (uint32_t p = 0; p < n; p += kChunk) {
        if (!job.Progress(size, at + p, n - p < kChunk ? n - p : kChunk))
          return CancelHostFile(job, h, host);
      }
    }
    if (!HostTransfer(h, buffer, n, true)) {
      FailHostFile(job, CopyJob::kWrite, volumePath, h, host, size, GetLastError());
      return 0;
    }
    at += n;
  }
  // The handle is closed whatever the time did, so that a failed file can
  // be deleted.
  DWORD error = SetFileTime(h, nullptr, nullptr, &volTime) ? 0 : GetLastError();
  if (!CloseHandle(h) && !error) error = GetLastError();
  if (error) {
    FailHostFile(job, CopyJob::kWrite, volumePath, INVALID_HANDLE_VALUE, host, size, error);
    return 0;
  }
  job.items++;
  if (report) job.Progress(size, size, 0);
  return 1;
}

}  // namespace treecopy

namespace {

// folder: the NTFS record number of vol, -1 when unknown.
void ExtractEntries(CopyJob& job, TreeWalkGuard& guard, const std::wstring& vol,
                    const std::wstring& host, const wchar_t* pattern, long long folder) {
  std::vector<VolumeEntry> entries;
  IndexBitmapFaults faults;
  // What could be read of a damaged folder is extracted; the folder is
  // named as failed. A folder whose index bitmap alone is wrong gives
  // every name and is only named.
  if (!ListVolumeFolder(job.volume, vol, &entries, &faults))
    job.FileFailed(0, GetLastError(), CopyJob::kRead, vol);
  else if (faults.namedFree || faults.unnamedUsed)
    job.IndexBitmapDisagrees(vol, faults);
  for (const VolumeEntry& e : entries) {
    if (job.cancelled) break;
    if (pattern && !MatchWildcard(pattern, e.name.c_str())) continue;
    std::wstring volPath = JoinPath(vol, e.name);
    if (!IsSafeHostName(e.name.c_str())) {
      job.FileFailed(e.size, ERROR_INVALID_NAME, CopyJob::kRead, volPath);
      continue;
    }
    std::wstring hostPath = JoinPath(host, e.name);
    if (e.folder && !IsVolumeLink(job.volume, volPath, e)) {
      if (!guard.Enter(volPath))
        job.FileFailed(0, GetLastError(), CopyJob::kRead, volPath);
      else if (MakeTreeFolder(job, hostPath))
        ExtractEntries(job, guard, volPath, hostPath, nullptr, guard.LastId());
      continue;
    }
    uint64_t share = e.folder ? 0 : JobShare(e.size);
    if (!job.Progress(job.jobTotal, job.jobDone, share)) {
      job.cancelled = true;
      break;
    }
    CopyVolumeFileToHost(job, volPath.c_str(), hostPath.c_str(), true, folder);
    job.jobDone += share;
  }
}

// A folder, or the entries of a folder that match a pattern, into a host
// folder made as needed.
void ExtractFolder(CopyJob& job, const std::wstring& vol, const std::wstring& host,
                   const wchar_t* pattern) {
  if (!MakeHostFolders(host)) {
    job.FileFailed(0, GetLastError(), CopyJob::kWrite, host);
    return;
  }
  auto ntfsFor = [&job](const wchar_t* path) { return job.volume->NtfsVolumeFor(path); };
  TreeWalkGuard counting(ntfsFor), walking(ntfsFor);
  counting.Enter(vol);
  job.jobTotal = VolumeTreeTotal(job.volume, counting, vol, pattern);
  if (!job.Progress(job.jobTotal, 0, 0)) {
    job.cancelled = true;
    return;
  }
  walking.Enter(vol);
  ExtractEntries(job, walking, vol, host, pattern, walking.LastId());
}

}  // namespace

int ExtractToHost(VolumeFiles* volume, const wchar_t* volumePath, const wchar_t* hostPath,
                  VolumeCopyCallback callback, void* user) {
  if (!volume || !volumePath || !hostPath || !*volumePath || !*hostPath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  NoRedirectScope noRedirect;
  std::wstring vol = CutStarDotStar(volumePath);
  std::wstring host = CutStarDotStar(hostPath);
  CopyJob job(volume, callback, user, nullptr);

  if (HasWildcard(vol)) {
    std::wstring folder, pattern;
    SplitPath(vol, &folder, &pattern);
    if (folder.empty()) folder = L"\\";
    // A pattern that names nothing is named as what was not found, and no
    // host folder is made for it.
    if (DWORD none = PatternNamesNothing(volume, folder, pattern)) {
      job.FileFailed(0, none, CopyJob::kRead, vol);
      return 0;
    }
    ExtractFolder(job, folder, host, pattern.c_str());
  } else {
    int type = volume->GetPathType(vol.c_str());
    if (type == VOLUME_PATH_MISSING) {
      DWORD error =
          GetLastError() == ERROR_PATH_NOT_FOUND ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
      job.FileFailed(0, error, CopyJob::kRead, vol);
      return 0;
    }
    DWORD attributes = 0;
    volume->GetFileInfo(vol.c_str(), nullptr, nullptr, nullptr, &attributes, nullptr);
    bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && volume->GetReparseTag(vol.c_str());
    if (type == VOLUME_PATH_FOLDER && !link) {
      ExtractFolder(job, vol, host, nullptr);
    } else {
      // One file: inside an existing folder under its own name, else
      // the host path itself, its folder made when missing.
      std::wstring target = host;
      int kind = GetPathKind(host.c_str());
      if (kind == 2 || kind == 3) {
        const wchar_t* name = FindFileNamePart(vol.c_str());
        if (!IsSafeHostName(name)) {
          job.FileFailed(0, ERROR_INVALID_NAME, CopyJob::kRead, vol);
          return 0;
        }
        target = JoinPath(host, name);
      } else {
        std::wstring folder, name;
        SplitPath(host, &folder, &name);
        if (!folder.empty() && !MakeHostFolders(folder)) {
          job.FileFailed(0, GetLastError(), CopyJob::kWrite, folder);
          return 0;
        }
      }
      CopyVolumeFileToHost(job, vol.c_str(), target.c_str(), true);
    }
  }
  if (job.cancelled) {
    SetLastError(ERROR_CANCELLED);
    return 0;
  }
  return job.failed ? 0 : 1;
}

int ExtractVolumeFile(VolumeFiles* volume, const wchar_t* volumePath, const wchar_t* hostPath,
                      VolumeCopyCallback callback, void* user) {
  if (!volume || !volumePath || !hostPath || !*volumePath || !*hostPath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  NoRedirectScope noRedirect;
  CopyJob job(volume, callback, user, nullptr);
  return CopyVolumeFileToHost(job, volumePath, hostPath, true);
}
