// The NTFS and FAT stores of hive files.
#include "registry/HiveFileStore.h"

#include <windows.h>

#include <cerrno>
#include <new>

#include "image/mount/FatVolume.h"
#include "image/ntfs/NtfsFiles.h"
#include "image/ntfs/NtfsVolume.h"

namespace {

const uint64_t kLargest = 0x7FFFF000ull;  // what one hive load can hold

bool Resize(std::vector<uint8_t>& out, uint64_t size) {
  if (size > kLargest) return false;
  try {
    out.resize((size_t)size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// The local clock as a UTC FILETIME's two halves: a saved file's
// last-write time.
void HiveSaveTime(unsigned long* low, unsigned long* high) {
  SYSTEMTIME st;
  GetLocalTime(&st);
  FILETIME local, utc;
  SystemTimeToFileTime(&st, &local);
  LocalFileTimeToFileTime(&local, &utc);
  *low = utc.dwLowDateTime;
  *high = utc.dwHighDateTime;
}

}  // namespace

int NtfsHiveStore::ReadWhole(const std::wstring& path, std::vector<uint8_t>& out) {
  errno = 0;
  long long size = GetNtfsFileDataSize(m_volume, path.c_str());
  if (size < 0) return errno == ENOENT ? 0 : -1;
  if (!Resize(out, (uint64_t)size)) return -1;
  return size == 0 || ReadNtfsFileData(m_volume, path.c_str(), out.data(), size, 0) == size ? 1
                                                                                            : -1;
}

int64_t NtfsHiveStore::SizeOf(const std::wstring& path) {
  long long size = GetNtfsFileDataSize(m_volume, path.c_str());
  return size < 0 ? -1 : (int64_t)size;
}

bool NtfsHiveStore::ReadAt(const std::wstring& path, uint64_t offset, size_t count, void* out) {
  return count == 0 || ReadNtfsFileData(m_volume, path.c_str(), out, (long long)count,
                                        (long long)offset) == (long long)count;
}

bool NtfsHiveStore::Write(const std::wstring& path, const void* data, size_t count,
                          uint64_t offset) {
  if (!Reserve(path, offset + count)) return false;
  return WriteNtfsFileData(m_volume, path.c_str(), data, (long long)count, (long long)offset) ==
         (long long)count;
}

bool NtfsHiveStore::Reserve(const std::wstring& path, uint64_t size) {
  if (NtfsGetPathType(m_volume, path.c_str()) == 0 &&
      NtfsCreatePath(m_volume, path.c_str(), NTFS_MODE_FILE, nullptr) < 0)
    return false;
  return GrowNtfsFileData(m_volume, path.c_str(), (long long)size) == 0;
}

bool NtfsHiveStore::Truncate(const std::wstring& path, uint64_t size) {
  return ShrinkNtfsFileData(m_volume, path.c_str(), (long long)size) == 0;
}

bool NtfsHiveStore::Remove(const std::wstring& path) {
  return NtfsGetPathType(m_volume, path.c_str()) == 0 ||
         NtfsDeletePath(m_volume, path.c_str()) == 0;
}

bool NtfsHiveStore::Flush() {
  return FlushNtfsVolume(m_volume) == 0;
}

void NtfsHiveStore::Stamp(const std::wstring& path) {
  NtfsFileTime t;
  HiveSaveTime(&t.low, &t.high);
  SetNtfsFileInfo(m_volume, path.c_str(), nullptr, &t, nullptr, nullptr);
}

std::wstring NtfsHiveStore::StoredPath(const std::wstring& path) {
  size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return path;
  struct Find {
    std::wstring want, found;
  } find = {path.substr(cut + 1), std::wstring()};
  std::wstring parent = cut ? path.substr(0, cut) : std::wstring(L"\\");
  NtfsEnumDirectory(
      m_volume, parent.c_str(),
      [](const wchar_t* name, unsigned int, unsigned long, unsigned long, const NtfsFileTime*,
         const NtfsFileTime*, const NtfsFileTime*, unsigned long, void* user) -> int {
        Find* f = static_cast<Find*>(user);
        if (_wcsicmp(name, f->want.c_str()) != 0) return 1;
        f->found = name;
        return 0;
      },
      &find);
  return find.found.empty() ? path : path.substr(0, cut + 1) + find.found;
}

int FatHiveStore::ReadWhole(const std::wstring& path, std::vector<uint8_t>& out) {
  DWORD attributes = 0;
  uint64_t size = 0;
  if (!m_volume->GetFileInfo(path.c_str(), nullptr, nullptr, nullptr, &attributes, &size))
    return 0;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) || !Resize(out, size)) return -1;
  return size == 0 || m_volume->ReadFile(path.c_str(), out.data(), 0, size) == size ? 1 : -1;
}

int64_t FatHiveStore::SizeOf(const std::wstring& path) {
  DWORD attributes = 0;
  uint64_t size = 0;
  if (!m_volume->GetFileInfo(path.c_str(), nullptr, nullptr, nullptr, &attributes, &size) ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return -1;
  return (int64_t)size;
}

bool FatHiveStore::ReadAt(const std::wstring& path, uint64_t offset, size_t count, void* out) {
  return count == 0 || m_volume->ReadFile(path.c_str(), out, offset, count) == count;
}

bool FatHiveStore::Write(const std::wstring& path, const void* data, size_t count,
                         uint64_t offset) {
  if (m_volume->GetPathType(path.c_str()) == 0 && !m_volume->CreateEmptyFile(path.c_str()))
    return false;
  return m_volume->WriteFileData(path.c_str(), data, offset, count) == count;
}

bool FatHiveStore::Truncate(const std::wstring& path, uint64_t size) {
  uint64_t now = 0;
  if (!m_volume->GetFileInfo(path.c_str(), nullptr, nullptr, nullptr, nullptr, &now)) return false;
  if (size >= now) return true;
  // Nothing written at size, and the file ends there.
  m_volume->WriteFile(path.c_str(), nullptr, size, 0);
  return GetLastError() == ERROR_SUCCESS;
}

bool FatHiveStore::Remove(const std::wstring& path) {
  return m_volume->GetPathType(path.c_str()) == 0 || m_volume->DeleteTree(path.c_str()) != 0;
}

bool FatHiveStore::Flush() {
  return m_volume->Flush();
}

bool FatHiveStore::Fits(const std::vector<std::pair<std::wstring, uint64_t>>& files) {
  VolumeInfoRecord info;
  if (!m_volume->GetVolumeInfo(&info) || !info.clusterSize) return false;
  uint64_t cluster = info.clusterSize, need = 0, have = info.freeClusters;
  for (const auto& f : files) {
    uint64_t size = 0;
    if (!m_volume->GetFileInfo(f.first.c_str(), nullptr, nullptr, nullptr, nullptr, &size))
      size = 0;
    // Files only grow here: what they hold now stays theirs.
    uint64_t now = (size + cluster - 1) / cluster, then = (f.second + cluster - 1) / cluster;
    if (then > now) need += then - now;
  }
  if (need <= have) return true;
  SetLastError(ERROR_DISK_FULL);
  return false;
}

void FatHiveStore::Stamp(const std::wstring& path) {
  FILETIME now;
  unsigned long low, high;
  HiveSaveTime(&low, &high);
  now.dwLowDateTime = low;
  now.dwHighDateTime = high;
  m_volume->SetFileInfo(path.c_str(), nullptr, &now, nullptr, nullptr);
}
