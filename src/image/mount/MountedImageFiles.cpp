// CMountedImage's file API: routes each path to its side (the NTFS volume,
// the EFI system partition of an NTFS disk, or a FAT main volume) and turns
// the NTFS glue's errno results into Win32 last errors.
#include "image/mount/MountedImage.h"

#include <errno.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/LastError.h"
#include "image/copy/TreeCopy.h"
#include "image/copy/TreeCopyNtfs.h"
#include "image/mount/FatVolume.h"
#include "image/ntfs/NtfsFiles.h"
#include "image/ntfs/NtfsMetafiles.h"
#include "image/ntfs/NtfsWin32Io.h"

namespace {

const wchar_t kUefiPrefix[] = L"\\::{UEFI}";
const size_t kUefiPrefixLen = 9;

static_assert(sizeof(NtfsFileTime) == sizeof(FILETIME), "FILETIME layout");

// Minus errno from the NTFS glue -> Win32 last error, result 0.
int FailErrno(long long negErrno) {
  SetLastError(NtfsErrnoToWin32((int)-negErrno));
  return 0;
}

FILETIME ToFiletime(const NtfsFileTime& t) {
  FILETIME f;
  f.dwLowDateTime = t.low;
  f.dwHighDateTime = t.high;
  return f;
}

struct EnumAdapter {
  VolumeEnumCallback callback;
  void* user;
};

int EnumTrampoline(const wchar_t* name, unsigned int kind, unsigned long sizeLow,
                   unsigned long sizeHigh, const NtfsFileTime* creation,
                   const NtfsFileTime* lastWrite, const NtfsFileTime* lastAccess,
                   unsigned long attributes, void* user) {
  EnumAdapter* a = static_cast<EnumAdapter*>(user);
  return a->callback(name, kind, sizeLow, sizeHigh, reinterpret_cast<const FILETIME*>(creation),
                     reinterpret_cast<const FILETIME*>(lastWrite),
                     reinterpret_cast<const FILETIME*>(lastAccess), attributes, a->user);
}

}  // namespace

CMountedImage::Side CMountedImage::SideOf(const wchar_t* path) const {
  if (!path) return SIDE_NONE;
  const bool uefi = _wcsnicmp(path, kUefiPrefix, kUefiPrefixLen) == 0;
  if (m_pNtfs) return uefi ? SIDE_ESP : SIDE_NTFS;
  // On a GPT disk the EFI system partition is there whatever partition
  // the FAT volume opened is.
  if (m_pFat) return uefi && m_pFat->OnGptDisk() ? SIDE_ESP : SIDE_FAT;
  return SIDE_NONE;
}

int CMountedImage::GetPathType(const wchar_t* path) {
  switch (SideOf(path)) {
    case SIDE_NTFS:
      return NtfsGetPathType(m_pNtfs, path);
    case SIDE_ESP:
    case SIDE_FAT:
      return FatGetPathType(SideOf(path), path);
    default:
      return 0;
  }
}

int CMountedImage::GetFileInfo(const wchar_t* path, FILETIME* creation, FILETIME* lastWrite,
                               FILETIME* lastAccess, DWORD* attributes, uint64_t* size) {
  Side side = SideOf(path);
  if (side == SIDE_NONE) return Fail(ERROR_NOT_READY);
  if (side != SIDE_NTFS)
    return FatGetFileInfo(side, path, creation, lastWrite, lastAccess, attributes, size);
  NtfsFileInfo info;
  int r = NtfsGetFileInfo(m_pNtfs, path, &info);
  if (r < 0) return FailErrno(r);
  int filled = 0;
  if (creation) {
    *creation = ToFiletime(info.creation);
    filled++;
  }
  if (lastWrite) {
    *lastWrite = ToFiletime(info.lastWrite);
    filled++;
  }
  if (lastAccess) {
    *lastAccess = ToFiletime(info.lastAccess);
    filled++;
  }
  if (attributes) {
    *attributes = info.attributes;
    filled++;
  }
  if (size) {
    *size = info.size;
    filled++;
  }
  return filled ? 1 : Fail(ERROR_INVALID_PARAMETER);
}

int CMountedImage::SetFileInfo(const wchar_t* path, const FILETIME* creation,
                               const FILETIME* lastWrite, const FILETIME* lastAccess,
                               DWORD* attributes) {
  Side side = SideOf(path);
  if (side == SIDE_NONE) return Fail(ERROR_NOT_READY);
  if (side != SIDE_NTFS)
    return FatSetFileInfo(side, path, creation, lastWrite, lastAccess, attributes);
  if (!creation && !lastWrite && !lastAccess && !attributes) return Fail(ERROR_INVALID_PARAMETER);
  unsigned long attrs = attributes ? *attributes : 0;
  int r = SetNtfsFileInfo(m_pNtfs, path, reinterpret_cast<const NtfsFileTime*>(creation),
                          reinterpret_cast<const NtfsFileTime*>(lastWrite),
                          reinterpret_cast<const NtfsFileTime*>(lastAccess),
                          attributes ? &attrs : nullptr);
  if (r < 0) return FailErrno(r);
  if (attributes) *attributes = attrs;
  return 1;
}

uint64_t CMountedImage::ReadFile(const wchar_t* path, void* buffer, uint64_t offset,
                                 uint64_t count) {
  Side side = SideOf(path);
  if (side == SIDE_NONE) return Fail(ERROR_NOT_READY);
  if (!buffer || (long long)offset < 0 || (long long)count < 0)
    return Fail(ERROR_INVALID_PARAMETER);
  if (side != SIDE_NTFS) return FatReadFile(side, path, buffer, offset, count);
  long long r = ReadNtfsFileData(m_pNtfs, path, buffer, (long long)count, (long long)offset);
  if (r < 0) return FailErrno(r);
  SetLastError(0);
  return (uint64_t)r;
}

uint64_t CMountedImage::WriteFile(const wchar_t* path, const void* buffer, uint64_t offset,
                                  uint64_t count) {
  Side side = SideOf(path);
  if (side == SIDE_NONE) return Fail(ERROR_NOT_READY);
  if (!buffer || (long long)offset < 0 || (long long)count < 0)
    return Fail(ERROR_INVALID_PARAMETER);
  if (side != SIDE_NTFS) return FatWriteFile(side, path, buffer, offset, count);
  long long r = WriteNtfsFileData(m_pNtfs, path, buffer, (long long)count, (long long)offset);
  if (r < 0) return FailErrno(r);
  SetLastError(0);
  return (uint64_t)r;
}

int CMountedImage::CreatePath(const wchar_t* path, unsigned int mode, const wchar_t* target) {
  Side side = SideOf(path);
  if (side == SIDE_NONE) return Fail(ERROR_NOT_READY);
  if (side != SIDE_NTFS) return FatCreatePath(side, path, mode);
  int r = NtfsCreatePath(m_pNtfs, path, mode, target);
  return r < 0 ? FailErrno(r) : 1;
}

int CMountedImage::CreateDirectory(const wchar_t* path) {
  return CreatePath(path, NTFS_MODE_DIRECTORY);
}

int CMountedImage::CreateDirectoryTree(const wchar_t* path) {
  if (!path) return Fail(ERROR_INVALID_PARAMETER);
  std::wstring p(path);
  for (wchar_t& c : p) {
    if (c == L'/') c = L'\\';
  }
  // On the EFI side the prefix is not a folder to create.
  size_t from = SideOf(path) == SIDE_ESP ? kUefiPrefixLen : 0;
  for (size_t i = from; i <= p.size(); i++) {
    if (i != p.size() && p[i] != L'\\') continue;
    if (i == 0 || p[i - 1] == L'\\') continue;
    std::wstring part = p.substr(0, i);
    int type = GetPathType(part.c_str());
    if (type == VOLUME_PATH_FOLDER) continue;
    if (type == VOLUME_PATH_FILE) return Fail(ERROR_ALREADY_EXISTS);
    if (!CreateDirectory(part.c_str())) return 0;
  }
  return 1;
}

int CMountedImage::DeletePath(const wchar_t* path) {
  Side side = SideOf(path);
  if (side == SIDE_NONE) return Fail(ERROR_NOT_READY);
  if (side != SIDE_NTFS) return FatDeletePath(side, path);
  int r = NtfsDeletePath(m_pNtfs, path);
  return r < 0 ? FailErrno(r) : 1;
}

int CMountedImage::RenamePath(const wchar_t* oldPath, const wchar_t* newPath) {
  Side side = SideOf(oldPath);
  if (side == SIDE_NONE) return Fail(ERROR_NOT_READY);
  if (SideOf(newPath) != side) return Fail(ERROR_NOT_SAME_DEVICE);
  if (side != SIDE_NTFS) return FatRenamePath(side, oldPath, newPath);
  int r = RenameNtfsPath(m_pNtfs, oldPath, newPath);
  return r < 0 ? FailErrno(r) : 1;
}

int CMountedImage::EnumDirectory(const wchar_t* path, VolumeEnumCallback callback, void* user) {
  IndexBitmapFaults unused;
  return EnumDirectoryChecked(path, callback, user, &unused);
}

int CMountedImage::EnumDirectoryChecked(const wchar_t* path, VolumeEnumCallback callback,
                                        void* user, IndexBitmapFaults* faults) {
  *faults = IndexBitmapFaults();
  Side side = SideOf(path);
  if (side == SIDE_NONE || !callback)
    return Fail(side == SIDE_NONE ? ERROR_NOT_READY : ERROR_INVALID_PARAMETER);
  if (side != SIDE_NTFS) return FatEnumDirectory(side, path, callback, user);
  EnumAdapter adapter = {callback, user};
  NtfsIndexBitmapNotes notes;
  int r = NtfsEnumDirectory(m_pNtfs, path, EnumTrampoline, &adapter, &notes);
  faults->namedFree = notes.namedFree;
  faults->unnamedUsed = notes.unnamedUsed;
  return r < 0 ? FailErrno(r) : 1;
}

DWORD CMountedImage::GetReparseTag(const wchar_t* path) {
  return SideOf(path) == SIDE_NTFS ? NtfsGetReparseTag(m_pNtfs, path) : 0;
}

int CMountedImage::GetLinkTarget(const wchar_t* path, wchar_t* buffer, int length) {
  if (SideOf(path) != SIDE_NTFS) return Fail(ERROR_NOT_SUPPORTED);
  int r = NtfsGetLinkTarget(m_pNtfs, path, buffer, length);
  return r < 0 ? FailErrno(r) : 1;
}

int CMountedImage::CreateLink(const wchar_t* path, const wchar_t* target, unsigned int createMode,
                              DWORD tag) {
  if (SideOf(path) != SIDE_NTFS) return Fail(ERROR_NOT_SUPPORTED);
  int r = NtfsCreateLink(m_pNtfs, path, target, createMode, tag);
  return r < 0 ? FailErrno(r) : 1;
}

int CMountedImage::RoomFor(const wchar_t* path, uint64_t size, uint64_t* missing) {
  switch (SideOf(path)) {
    case SIDE_NTFS:
      return TreeCopyNtfsRoomFor(m_pNtfs, path, size, true, missing);
    case SIDE_FAT:
      return FatRoomFor(SIDE_FAT, path, size, missing);
    default:
      // The EFI system partition has no count of its own here: its writes
      // report a full volume themselves.
      return -1;
  }
}

struct _ntfs_volume* CMountedImage::NtfsVolumeFor(const wchar_t* path) {
  return SideOf(path) == SIDE_NTFS ? m_pNtfs : nullptr;
}

bool CMountedImage::IsMetafilePath(const wchar_t* path) {
  return SideOf(path) == SIDE_NTFS && NtfsMetafilePathGate(m_pNtfs, path) == -EACCES;
}

int CMountedImage::InjectHostPath(const wchar_t* hostPath, const wchar_t* volumePath,
                                  uint64_t* missing, VolumeCopyCallback callback, void* user) {
  return ::InjectHostPath(this, hostPath, volumePath, missing, callback, user);
}

int CMountedImage::ExtractToHost(const wchar_t* volumePath, const wchar_t* hostPath,
                                 VolumeCopyCallback callback, void* user) {
  return ::ExtractToHost(this, volumePath, hostPath, callback, user);
}
