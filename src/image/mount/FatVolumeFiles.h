// A CFatVolume seen through VolumeFiles, answering as the NTFS side of the
// mounted image does: folders never carry the archive bit, only read-only,
// hidden and system are written, listings report kinds 4 and 8 with all
// three times, and there are no links. The tree copies of CFatVolume walk
// it, and so does the FAT side of the mounted image's file API.
#pragma once
#include "image/mount/FatVolume.h"
#include "image/volume/VolumeFiles.h"

class CFatVolumeFiles : public VolumeFiles {
 public:
  explicit CFatVolumeFiles(CFatVolume* volume) : m_volume(volume) {}

  int GetPathType(const wchar_t* path) override;
  int GetFileInfo(const wchar_t* path, FILETIME* creation, FILETIME* lastWrite,
                  FILETIME* lastAccess, DWORD* attributes, uint64_t* size) override;
  int SetFileInfo(const wchar_t* path, const FILETIME* creation, const FILETIME* lastWrite,
                  const FILETIME* lastAccess, DWORD* attributes) override;
  uint64_t ReadFile(const wchar_t* path, void* buffer, uint64_t offset, uint64_t count) override;
  uint64_t WriteFile(const wchar_t* path, const void* buffer, uint64_t offset,
                     uint64_t count) override;
  int CreatePath(const wchar_t* path, unsigned int mode, const wchar_t* target = nullptr) override;
  int CreateDirectoryTree(const wchar_t* path) override;
  // The root itself is refused (ERROR_ACCESS_DENIED).
  int DeletePath(const wchar_t* path) override;
  int EnumDirectory(const wchar_t* path, VolumeEnumCallback callback, void* user) override;
  DWORD GetReparseTag(const wchar_t* path) override;
  int GetLinkTarget(const wchar_t* path, wchar_t* buffer, int length) override;
  int CreateLink(const wchar_t* path, const wchar_t* target, unsigned int createMode,
                 DWORD tag) override;
  int RoomFor(const wchar_t* path, uint64_t size, uint64_t* missing) override;
  FILETIME KeptWriteTime(const wchar_t* path, const FILETIME& time) override;
  struct _ntfs_volume* NtfsVolumeFor(const wchar_t* path) override;

 private:
  CFatVolume* m_volume;
};
