// CRegHive on a FAT or exFAT volume: hives of a Windows tree on a FAT image
// and the boot store of the EFI system partition.
#include <windows.h>

#include <new>
#include <vector>

#include "image/mount/FatVolume.h"
#include "registry/hive/HiveImage.h"
#include "registry/RegHive.h"

namespace {

// True when a file of newSize bytes fits where one of oldSize bytes lies:
// the hive is rewritten from its first byte, so its own clusters count as
// free. Checked first so that a full volume never leaves half a hive.
bool FitsOnVolume(CFatVolume* volume, uint64_t oldSize, uint64_t newSize) {
  VolumeInfoRecord info;
  if (!volume->GetVolumeInfo(&info) || !info.clusterSize) return false;
  uint64_t cluster = info.clusterSize;
  uint64_t need = (newSize + cluster - 1) / cluster;
  uint64_t have = (oldSize + cluster - 1) / cluster + info.freeClusters;
  if (need <= have) return true;
  SetLastError(ERROR_DISK_FULL);
  return false;
}

// A whole file of the volume: 1 read, 0 missing, -1 unreadable.
int ReadFatWhole(CFatVolume* volume, const std::wstring& path, std::vector<uint8_t>& out) {
  DWORD attributes = 0;
  uint64_t size = 0;
  if (!volume->GetFileInfo(path.c_str(), nullptr, nullptr, nullptr, &attributes, &size)) return 0;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) || size > 0x7FFFF000ull) return -1;
  try {
    out.resize((size_t)size);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return size == 0 || volume->ReadFile(path.c_str(), out.data(), 0, size) == size ? 1 : -1;
}

}  // namespace

int CRegHive::OpenFromFat(CFatVolume* volume, const wchar_t* path) {
  Discard();
  if (!volume || !path) return 0;
  std::vector<uint8_t> data;
  if (ReadFatWhole(volume, path, data) != 1 || data.empty()) return 0;
  std::vector<std::vector<uint8_t>> logs(2);
  int found[2];
  for (int i = 0; i < 2; i++)
    found[i] = ReadFatWhole(volume, std::wstring(path) + kLogSuffixes[i], logs[i]);
  return Adopt(data, LogView(logs, found), volume, HIVE_BACKING_FAT, path) ? 1 : 0;
}

int CRegHive::SaveToFat() {
  if (!m_pImage || !(m_pImage->state & HIVE_STATE_DIRTY)) return HIVE_SAVE_NOTHING;
  if (m_pImage->backingKind != HIVE_BACKING_FAT || !m_pImage->volume) return HIVE_SAVE_FAILED;
  CFatVolume* volume = (CFatVolume*)m_pImage->volume;
  const wchar_t* path = m_pImage->path.c_str();
  std::vector<uint8_t> bytes;
  try {
    save_hive_buffer(m_pImage, bytes);
  } catch (const std::bad_alloc&) {
    m_pImage->state |= HIVE_STATE_DIRTY;
    return HIVE_SAVE_FAILED;
  }
  uint64_t oldSize = 0;
  if (!volume->GetFileInfo(path, nullptr, nullptr, nullptr, nullptr, &oldSize)) oldSize = 0;
  // Nothing may pass for saved that the volume did not take.
  if (!FitsOnVolume(volume, oldSize, bytes.size()) ||
      volume->WriteFile(path, bytes.data(), 0, bytes.size()) != bytes.size()) {
    m_pImage->state |= HIVE_STATE_DIRTY;
    return HIVE_SAVE_FAILED;
  }
  // The data is on the volume: a time that cannot be set does not undo that.
  FILETIME now = SaveTime();
  volume->SetFileInfo(path, nullptr, &now, nullptr, nullptr);
  return HIVE_SAVE_WRITTEN;
}
