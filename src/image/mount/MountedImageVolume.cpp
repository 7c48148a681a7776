// Volume information of a mounted image: the record of the partition
// information dialog, space and size, the Windows folder, the image path.
#include "image/mount/MountedImage.h"

#include <wchar.h>

#include <string>

#include "image/stack/MountRw.h"
#include "image/ntfs/NtfsFiles.h"

namespace {

int CopyOut(const std::wstring& text, wchar_t* buffer, int length) {
  if (buffer) {
    if ((int)text.size() >= length) return 0;
    wcscpy(buffer, text.c_str());
  }
  return 1;
}

struct WindowsSearch {
  CMountedImage* image;
  std::wstring found;
};

int TryWindowsFolder(const wchar_t* name, unsigned int kind, DWORD, DWORD, const FILETIME*,
                     const FILETIME*, const FILETIME*, DWORD, void* user) {
  WindowsSearch* s = static_cast<WindowsSearch*>(user);
  if (kind != 4 || wcscmp(name, L"..") == 0) return 1;
  std::wstring folder = std::wstring(L"\\") + name;
  if (s->image->GetPathType((folder + L"\\System32\\Config\\System").c_str()) == VOLUME_PATH_FILE) {
    s->found = folder;
    return 0;
  }
  return 1;
}

}  // namespace

int HasProtectiveMbr(CMountedImage* image) {
  DiskIoBlock* block = image ? image->IoBlock() : nullptr;
  if (!block || !block->read) return 0;
  unsigned char sector[512] = {};
  if (block->read(block->owner, 0, sector, sizeof sector) <= 0) return 0;
  return sector[450] == 0xEE;
}

uint64_t CountVolumeBadSectors(CMountedImage* image) {
  if (!image || !image->NtfsVolume()) return 0;
  return NtfsCountBadClusters(image->NtfsVolume());
}

int CMountedImage::GetVolumeInfo(int selector, VolumeInfoRecord* record) {
  if (!record) return 0;
  if (m_pNtfs && m_pDisk && m_pIoBlock) {
    if (selector != 0) {
      // The EFI system partition's record comes from its FAT volume.
      return FatGetVolumeInfo(SIDE_ESP, record);
    }
    NtfsVolumeFigures f;
    if (GetNtfsVolumeFigures(m_pNtfs, &f, true) < 0) return 0;
    memset(record, 0, sizeof *record);
    record->fileSystem = 0;
    record->majorVersion = (uint16_t)f.majorVersion;
    record->minorVersion = (uint16_t)f.minorVersion;
    record->totalClusters = f.totalClusters;
    record->freeClusters = f.freeClusters;
    record->clusterSize = f.clusterSize;
    record->sectorSize = f.sectorSize;
    record->badClusters = CountVolumeBadSectors(this);
    record->gpt = (uint32_t)HasProtectiveMbr(this);
    return 1;
  }
  if (m_pFat) return FatGetVolumeInfo(SIDE_FAT, record);
  return 0;
}

int CMountedImage::GetVolumeSpace(uint64_t* totalBytes, uint64_t* freeBytes) {
  if (m_pNtfs) {
    NtfsVolumeFigures f;
    if (GetNtfsVolumeFigures(m_pNtfs, &f, true) < 0) return 0;
    if (totalBytes) *totalBytes = f.sectorSize * f.totalSectors;
    if (freeBytes) *freeBytes = f.freeClusters * f.clusterSize;
    return 1;
  }
  if (m_pFat) return FatGetVolumeSpace(SIDE_FAT, totalBytes, freeBytes);
  return 0;
}

uint64_t CMountedImage::GetVolumeSize() {
  uint64_t total = 0;
  if (m_pNtfs) {
    NtfsVolumeFigures f;
    if (GetNtfsVolumeFigures(m_pNtfs, &f, false) == 0) total = f.sectorSize * f.totalSectors;
    return total;
  }
  return GetVolumeSpace(&total, nullptr) ? total : 0;
}

int CMountedImage::FindWindowsDirectory(wchar_t* buffer, int length) {
  if (GetPathType(L"\\Windows\\System32\\Config\\System") == VOLUME_PATH_FILE)
    return CopyOut(L"\\Windows", buffer, length);
  WindowsSearch search = {this, std::wstring()};
  EnumDirectory(L"\\", TryWindowsFolder, &search);
  if (search.found.empty()) return 0;
  return CopyOut(search.found, buffer, length);
}

int CMountedImage::GetImagePath(wchar_t* buffer, int length) {
  const wchar_t* path = m_pDisk ? m_pDisk->BasePath() : L"";
  int n = (int)wcslen(path);
  if (buffer && length > n) wcscpy(buffer, path);
  return n;
}
