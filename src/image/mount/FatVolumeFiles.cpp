// CFatVolumeFiles: the FAT volume's file operations in the terms every
// volume answers in.
#include "image/mount/FatVolumeFiles.h"

#include "common/LastError.h"
#include "common/PathUtil.h"

namespace {

// The attribute bits a caller may change that a FAT entry can hold.
const DWORD kWritableAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

DWORD AsReported(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) attributes &= ~(DWORD)FILE_ATTRIBUTE_ARCHIVE;
  return attributes;
}

struct EnumAdapter {
  VolumeEnumCallback callback;
  void* user;
};

int EnumEntry(const FatEntryInfo* e, void* user) {
  EnumAdapter* a = static_cast<EnumAdapter*>(user);
  return a->callback(e->name, e->isDirectory ? 4 : 8, (DWORD)e->size, (DWORD)(e->size >> 32),
                     &e->creation, &e->lastWrite, &e->lastAccess, AsReported(e->attributes),
                     a->user);
}

}  // namespace

int CFatVolumeFiles::GetPathType(const wchar_t* path) {
  return m_volume->GetPathType(path);
}

int CFatVolumeFiles::GetFileInfo(const wchar_t* path, FILETIME* creation, FILETIME* lastWrite,
                                 FILETIME* lastAccess, DWORD* attributes, uint64_t* size) {
  if (!creation && !lastWrite && !lastAccess && !attributes && !size)
    return Fail(ERROR_INVALID_PARAMETER);
  if (!m_volume->GetFileInfo(path, creation, lastWrite, lastAccess, attributes, size)) return 0;
  if (attributes) *attributes = AsReported(*attributes);
  return 1;
}

int CFatVolumeFiles::SetFileInfo(const wchar_t* path, const FILETIME* creation,
                                 const FILETIME* lastWrite, const FILETIME* lastAccess,
                                 DWORD* attributes) {
  if (!creation && !lastWrite && !lastAccess && !attributes) return Fail(ERROR_INVALID_PARAMETER);
  DWORD old = 0;
  if (!m_volume->GetFileInfo(path, nullptr, nullptr, nullptr, &old, nullptr)) return 0;
  DWORD wanted = 0;
  if (attributes) wanted = (old & ~kWritableAttributes) | (*attributes & kWritableAttributes);
  if (!m_volume->SetFileInfo(path, creation, lastWrite, lastAccess, attributes ? &wanted : nullptr))
    return 0;
  if (attributes) *attributes = AsReported(old);
  return 1;
}

uint64_t CFatVolumeFiles::ReadFile(const wchar_t* path, void* buffer, uint64_t offset,
                                   uint64_t count) {
  return m_volume->ReadFile(path, buffer, offset, count);
}

uint64_t CFatVolumeFiles::WriteFile(const wchar_t* path, const void* buffer, uint64_t offset,
                                    uint64_t count) {
  return m_volume->WriteFileData(path, buffer, offset, count);
}

int CFatVolumeFiles::CreatePath(const wchar_t* path, unsigned int mode, const wchar_t*) {
  // FAT has no links or device nodes.
  if (mode == 0x12345678 || (mode & 0xF000) == 0xA000 || (mode & 0xF000) == 0x2000)
    return Fail(ERROR_NOT_SUPPORTED);
  if ((mode & 0xF000) == 0x4000) return m_volume->CreateDirectory(path);
  return m_volume->CreateEmptyFile(path);
}

int CFatVolumeFiles::CreateDirectoryTree(const wchar_t* path) {
  if (m_volume->GetPathType(path) == VOLUME_PATH_FOLDER || m_volume->CreateDirectories(path))
    return 1;
  DWORD error = GetLastError();
  if (m_volume->GetPathType(path) == VOLUME_PATH_FOLDER) return 1;
  return Fail(error);
}

int CFatVolumeFiles::DeletePath(const wchar_t* path) {
  // The root is not a thing to delete (nor to empty by accident).
  bool root = true;
  for (const wchar_t* c = path; c && *c && root; c++) root = IsPathSeparator(*c);
  if (root) return Fail(ERROR_ACCESS_DENIED);
  return m_volume->DeleteTree(path);
}

int CFatVolumeFiles::EnumDirectory(const wchar_t* path, VolumeEnumCallback callback, void* user) {
  if (!callback) return Fail(ERROR_INVALID_PARAMETER);
  EnumAdapter adapter = {callback, user};
  return m_volume->ListDirectory(path, EnumEntry, &adapter);
}

DWORD CFatVolumeFiles::GetReparseTag(const wchar_t*) {
  return 0;
}

int CFatVolumeFiles::GetLinkTarget(const wchar_t*, wchar_t*, int) {
  return Fail(ERROR_NOT_SUPPORTED);
}

int CFatVolumeFiles::CreateLink(const wchar_t*, const wchar_t*, unsigned int, DWORD) {
  return Fail(ERROR_NOT_SUPPORTED);
}

int CFatVolumeFiles::RoomFor(const wchar_t* path, uint64_t size, uint64_t* missing) {
  return m_volume->RoomFor(path, size, missing);
}

FILETIME CFatVolumeFiles::KeptWriteTime(const wchar_t*, const FILETIME& time) {
  return m_volume->KeptWriteTime(time);
}

struct _ntfs_volume* CFatVolumeFiles::NtfsVolumeFor(const wchar_t*) {
  return nullptr;
}
