// The FAT half of CMountedImage: the main FAT/exFAT volume, the EFI system
// partition of an NTFS disk mounted for one call ("\::{UEFI}..."), and the
// FAT side of the file API, which answers as the NTFS side does (through
// CFatVolumeFiles).
#include "image/mount/MountedImage.h"

#include <new>
#include <string>

#include "image/mount/FatVolume.h"
#include "image/mount/FatVolumeFiles.h"
#include "image/stack/MountRw.h"

namespace {

const size_t kUefiPrefixLen = 9;

}  // namespace

// The volume serving one call: the main FAT volume, or the EFI system
// partition mounted for the call and released when it ends.
class CMountedImage::FatCall {
 public:
  FatCall(CMountedImage* image, Side side) : m_image(image), m_side(side) {
    if (side == SIDE_FAT) {
      volume = image->m_pFat;
    } else if (side == SIDE_ESP) {
      volume = image->MountEspForCall();
      // The image opened on the EFI system partition itself: its main
      // volume serves the call (a second one over the same sectors would
      // not see what the first holds back).
      CFatVolume* main = image->m_pFat;
      if (volume && main && main->IsGptEsp() &&
          volume->PartitionStart() == main->PartitionStart()) {
        image->ReleaseFat(volume);
        volume = main;
        m_mounted = false;
      }
    } else {
      SetLastError(ERROR_NOT_READY);
    }
  }
  ~FatCall() {
    if (m_side == SIDE_ESP && m_mounted) m_image->ReleaseFat(volume);
  }
  FatCall(const FatCall&) = delete;
  FatCall& operator=(const FatCall&) = delete;

  // The path as the volume sees it: on the EFI side the part after the
  // prefix (its root when nothing follows).
  const wchar_t* Path(const wchar_t* path) const {
    if (m_side != SIDE_ESP) return path;
    path += kUefiPrefixLen;
    return *path ? path : L"\\";
  }

  CFatVolume* volume = nullptr;

 private:
  CMountedImage* m_image;
  Side m_side;
  bool m_mounted = true;  // the volume was mounted for the call
};

int CMountedImage::MountFatMain(int partition, std::wstring* refusal) {
  refusal->clear();
  if (!m_pDisk) return -1;
  CFatVolume* volume = new (std::nothrow) CFatVolume();
  if (!volume) return -1;
  // The disk object stays the mounted image's: its close or EndCommand
  // keeps the command's writes or takes them back, whatever the volume.
  // The volume is the partition the command named, never another.
  if (volume->MountShared(m_pDisk, m_bReadOnly ? 0 : 1, partition) < 0) {
    *refusal = volume->MountRefusal();
    volume->Detach();
    delete volume;
    return -1;
  }
  m_pFat = volume;
  return 0;
}

CFatVolume* CMountedImage::MountEspForCall() {
  CFatVolume* volume = m_pDisk ? new (std::nothrow) CFatVolume() : nullptr;
  if (volume && volume->MountShared(m_pDisk, m_bReadOnly ? 0 : 1) >= 0) return volume;
  ReleaseFat(volume);
  SetLastError(ERROR_PATH_NOT_FOUND);
  return nullptr;
}

bool CMountedImage::ReleaseFat(CFatVolume*& volume, bool keep) {
  if (!volume) return true;
  bool ok = true;
  if (keep)
    ok = volume->Release();
  else
    volume->Abandon();
  delete volume;
  volume = nullptr;
  return ok;
}

int CMountedImage::FatGetPathType(Side side, const wchar_t* path) {
  FatCall call(this, side);
  return call.volume ? call.volume->GetPathType(call.Path(path)) : 0;
}

int CMountedImage::FatGetFileInfo(Side side, const wchar_t* path, FILETIME* creation,
                                  FILETIME* lastWrite, FILETIME* lastAccess, DWORD* attributes,
                                  uint64_t* size) {
  if (!creation && !lastWrite && !lastAccess && !attributes && !size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  FatCall call(this, side);
  return call.volume
             ? CFatVolumeFiles(call.volume)
                   .GetFileInfo(call.Path(path), creation, lastWrite, lastAccess, attributes, size)
             : 0;
}

int CMountedImage::FatSetFileInfo(Side side, const wchar_t* path, const FILETIME* creation,
                                  const FILETIME* lastWrite, const FILETIME* lastAccess,
                                  DWORD* attributes) {
  if (!creation && !lastWrite && !lastAccess && !attributes) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  FatCall call(this, side);
  return call.volume
             ? CFatVolumeFiles(call.volume)
                   .SetFileInfo(call.Path(path), creation, lastWrite, lastAccess, attributes)
             : 0;
}

FILETIME CMountedImage::KeptWriteTime(const wchar_t* path, const FILETIME& time) {
  Side side = SideOf(path);
  if (side != SIDE_FAT && side != SIDE_ESP) return time;
  FatCall call(this, side);
  return call.volume ? call.volume->KeptWriteTime(time) : time;
}

uint64_t CMountedImage::FatReadFile(Side side, const wchar_t* path, void* buffer, uint64_t offset,
                                    uint64_t count) {
  FatCall call(this, side);
  return call.volume ? call.volume->ReadFile(call.Path(path), buffer, offset, count) : 0;
}

uint64_t CMountedImage::FatWriteFile(Side side, const wchar_t* path, const void* buffer,
                                     uint64_t offset, uint64_t count) {
  FatCall call(this, side);
  return call.volume ? call.volume->WriteFileData(call.Path(path), buffer, offset, count) : 0;
}

int CMountedImage::FatCreatePath(Side side, const wchar_t* path, unsigned int mode) {
  // FAT has no links or device nodes: refused before the volume is mounted.
  if (mode == 0x12345678 || (mode & 0xF000) == 0xA000 || (mode & 0xF000) == 0x2000) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  FatCall call(this, side);
  return call.volume ? CFatVolumeFiles(call.volume).CreatePath(call.Path(path), mode) : 0;
}

int CMountedImage::FatDeletePath(Side side, const wchar_t* path) {
  FatCall call(this, side);
  return call.volume ? CFatVolumeFiles(call.volume).DeletePath(call.Path(path)) : 0;
}

int CMountedImage::FatRenamePath(Side side, const wchar_t* oldPath, const wchar_t* newPath) {
  FatCall call(this, side);
  return call.volume ? call.volume->RenamePath(call.Path(oldPath), call.Path(newPath)) : 0;
}

int CMountedImage::FatEnumDirectory(Side side, const wchar_t* path, VolumeEnumCallback callback,
                                    void* user) {
  FatCall call(this, side);
  if (!call.volume) return 0;
  const wchar_t* p = call.Path(path);
  if (call.volume->GetPathType(p) != VOLUME_PATH_FOLDER) {
    if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_DIRECTORY);
    return 0;
  }
  // Listings on NTFS open with "..", the parent folder (the root's is
  // the root): the FAT side gives it too.
  std::wstring parent(p);
  while (!parent.empty() && (parent.back() == L'\\' || parent.back() == L'/')) parent.pop_back();
  size_t cut = parent.find_last_of(L"\\/");
  parent.erase(cut == std::wstring::npos ? 0 : cut);
  if (parent.empty()) parent = L"\\";
  CFatVolumeFiles files(call.volume);
  FILETIME creation, lastWrite, lastAccess;
  DWORD attributes = 0;
  if (!files.GetFileInfo(parent.c_str(), &creation, &lastWrite, &lastAccess, &attributes, nullptr))
    return 0;
  if (!callback(L"..", 4, 0, 0, &creation, &lastWrite, &lastAccess,
                attributes | FILE_ATTRIBUTE_DIRECTORY, user))
    return 1;
  return files.EnumDirectory(p, callback, user);
}

int CMountedImage::FatGetVolumeInfo(Side side, VolumeInfoRecord* record) {
  FatCall call(this, side);
  if (!call.volume || !call.volume->GetVolumeInfo(record)) return 0;
  // Only the EFI system partition's record carries the disk's GPT flag.
  record->gpt = side == SIDE_ESP ? (uint32_t)HasProtectiveMbr(this) : 0;
  return 1;
}

int CMountedImage::FatGetVolumeSpace(Side side, uint64_t* totalBytes, uint64_t* freeBytes) {
  FatCall call(this, side);
  return call.volume ? call.volume->GetSpace(totalBytes, freeBytes) : 0;
}

int CMountedImage::FatRoomFor(Side side, const wchar_t* path, uint64_t size, uint64_t* missing) {
  FatCall call(this, side);
  return call.volume ? call.volume->RoomFor(call.Path(path), size, missing) : -1;
}
