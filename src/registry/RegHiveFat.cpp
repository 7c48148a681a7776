// CRegHive on a FAT or exFAT volume: hives of a Windows tree on a FAT image
// and the boot store of the EFI system partition.
#include "image/mount/FatVolume.h"
#include "registry/HiveFileStore.h"
#include "registry/hive/HiveImage.h"
#include "registry/RegHive.h"

int CRegHive::OpenFromFat(CFatVolume* volume, const wchar_t* path) {
  FatHiveStore store(volume);
  return OpenThrough(store, volume, HIVE_BACKING_FAT, path);
}

int CRegHive::SaveToFat() {
  if (!m_pImage || !(m_pImage->state & HIVE_STATE_DIRTY)) return HIVE_SAVE_NOTHING;
  if (m_pImage->backingKind != HIVE_BACKING_FAT || !m_pImage->volume) return HIVE_SAVE_FAILED;
  FatHiveStore store((CFatVolume*)m_pImage->volume);
  return SaveThrough(store);
}
