// CFatVolume's copies: volume files and trees out to the host and host files
// and trees into the volume, all through the tree-copy engine walking the
// volume as CFatVolumeFiles; and a tree of a mounted NTFS volume onto this
// one. Progress and the overwrite question go through VolumeCopyCallback.
#include "image/mount/FatVolume.h"
#include "image/mount/MountedImage.h"

#include <wchar.h>

#include <string>
#include <vector>

#include "common/LastError.h"
#include "common/PathUtil.h"
#include "image/copy/TreeCopy.h"
#include "image/mount/FatVolumeFiles.h"

namespace {

const uint32_t kChunk = 64 * 1024;

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty() || IsPathSeparator(folder.back())) return folder + name;
  return folder + L"\\" + name;
}

}  // namespace

uint64_t CFatVolume::GetFileVersion(const wchar_t* path) {
  CFatVolumeFiles files(this);
  return GetVolumeFileVersion(&files, path);
}

int CFatVolume::ExtractFile(const wchar_t* volumePath, const wchar_t* hostPath,
                            VolumeCopyCallback callback, void* user) {
  CFatVolumeFiles files(this);
  return ExtractVolumeFile(&files, volumePath, hostPath, callback, user);
}

int CFatVolume::ExtractPath(const wchar_t* volumePath, const wchar_t* hostFolder,
                            VolumeCopyCallback callback, void* user) {
  if (!volumePath || !hostFolder || !*volumePath || !*hostFolder)
    return Fail(ERROR_INVALID_PARAMETER);
  CFatVolumeFiles files(this);
  // A wildcard set, or the content of the root, goes into the host folder
  // itself; a named file or folder goes into it under its own name.
  const wchar_t* name = FindFileNamePart(volumePath);
  if (!*name || wcspbrk(name, L"*?"))
    return ExtractToHost(&files, volumePath, hostFolder, callback, user);
  if (!IsSafeHostName(name)) return Fail(ERROR_INVALID_NAME);
  return ExtractToHost(&files, volumePath, JoinPath(hostFolder, name).c_str(), callback, user);
}

int CFatVolume::InjectHostFile(const wchar_t* hostPath, const wchar_t* volumePath,
                               uint64_t* missing, VolumeCopyCallback callback, void* user) {
  CFatVolumeFiles files(this);
  return ::InjectHostFile(&files, hostPath, volumePath, missing, callback, user);
}

int CFatVolume::InjectHostPath(const wchar_t* hostPath, const wchar_t* volumePath,
                               uint64_t* missing, VolumeCopyCallback callback, void* user) {
  CFatVolumeFiles files(this);
  return ::InjectHostPath(&files, hostPath, volumePath, missing, callback, user);
}

int CFatVolume::CopyFromMountedImage(CMountedImage* image, const wchar_t* sourcePath,
                                     const wchar_t* targetPath) {
  if (!image || !sourcePath || !targetPath) return Fail(ERROR_INVALID_PARAMETER) - 1;
  FILETIME creation, lastWrite, lastAccess;
  DWORD attributes = 0;
  uint64_t size = 0;
  if (!image->GetFileInfo(sourcePath, &creation, &lastWrite, &lastAccess, &attributes, &size))
    return -1;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    if (GetPathType(targetPath) != VOLUME_PATH_FOLDER && !CreateDirectories(targetPath)) return -1;
    std::vector<std::wstring> names;
    auto collect = [](const wchar_t* name, unsigned int, DWORD, DWORD, const FILETIME*,
                      const FILETIME*, const FILETIME*, DWORD, void* user) -> int {
      if (wcscmp(name, L".") && wcscmp(name, L".."))
        static_cast<std::vector<std::wstring>*>(user)->push_back(name);
      return 1;
    };
    if (!image->EnumDirectory(sourcePath, collect, &names)) return -1;
    int copied = 0;
    for (const std::wstring& name : names) {
      int r = CopyFromMountedImage(image, JoinPath(sourcePath, name).c_str(),
                                   JoinPath(targetPath, name).c_str());
      if (r < 0) return -1;
      copied += r;
    }
    return copied;
  }
  const uint16_t* path = reinterpret_cast<const uint16_t*>(targetPath);
  FatFileObject* file = new FatFileObject;
  int r = FatOpenFile(&m_Work, file, path, FAT_OPEN_READ | FAT_OPEN_WRITE | FAT_CREATE_ALWAYS);
  if (r) {
    delete file;
    return Fail(ErrorOf(r)) - 1;
  }
  std::vector<uint8_t> buffer(kChunk);
  DWORD error = ERROR_SUCCESS;
  for (uint64_t done = 0; !error && done < size;) {
    uint32_t n = size - done < kChunk ? (uint32_t)(size - done) : kChunk;
    uint32_t put = 0;
    if (image->ReadFile(sourcePath, buffer.data(), done, n) != n)
      error = GetLastError() ? GetLastError() : ERROR_HANDLE_EOF;
    else if ((r = FatWriteFile(&m_Work, file, buffer.data(), n, &put)))
      error = ErrorOf(r);
    else if (put != n)
      error = ERROR_DISK_FULL;
    done += n;
  }
  r = FatCloseFile(&m_Work, file);
  delete file;
  if (!error && r) error = ErrorOf(r);
  if (!error && !SetFileInfo(targetPath, &creation, &lastWrite, &lastAccess, nullptr))
    error = GetLastError();
  if (error) {
    FatUnlinkPath(&m_Work, path);
    return Fail(error) - 1;
  }
  return 1;
}
