// The boot configuration store: CFatVolume's BCD hive and the choice of the
// store for the mounted image's hive map.
#include "registry/BcdStore.h"

#include <new>
#include <string>

#include "image/mount/FatVolume.h"
#include "image/mount/MountedImage.h"
#include "registry/RegHive.h"

namespace {

// The EFI system partition of the image's disk, or null. It is looked at
// read-only first: a writable mount formats a partition that holds no
// volume yet, and loading hives must change nothing. An MBR disk's first
// FAT partition only counts when it holds the store.
CFatVolume* MountEsp(CMountedImage* image) {
  _VROH_MOUNT_RW* disk = image->DiskObject();
  CFatVolume* esp = disk ? new (std::nothrow) CFatVolume() : nullptr;
  if (!esp) return nullptr;
  bool use = esp->MountShared(disk, 0) >= 0 &&
             (HasProtectiveMbr(image) || esp->GetPathType(BCD_ESP_PATH) == 1);
  if (use && !image->IsReadOnly()) use = esp->MountShared(disk, 1) >= 0;
  if (use) return esp;
  esp->Release();
  delete esp;
  return nullptr;
}

}  // namespace

CRegHive* OpenImageBcdStore(CMountedImage* image) {
  CRegHive* hive = new (std::nothrow) CRegHive();
  if (!hive) return nullptr;
  if (image->NtfsVolume()) {
    if (CFatVolume* esp = MountEsp(image)) {
      image->m_pEspFat = esp;
      hive->OpenFromFat(esp, BCD_ESP_PATH);
    } else {
      hive->OpenFromNtfs(image->NtfsVolume(), BCD_VOLUME_PATH);
    }
  } else if (CFatVolume* fat = image->FatVolume()) {
    // On a GPT disk the store is the EFI system partition's whatever
    // partition the image was opened on (opened on that partition, it is
    // the main volume's own). Elsewhere a FAT main volume is itself the
    // EFI partition when it holds its tree.
    CFatVolume* esp = fat->OnGptDisk() && !fat->IsGptEsp() ? MountEsp(image) : nullptr;
    if (esp) {
      image->m_pEspFat = esp;
      hive->OpenFromFat(esp, BCD_ESP_PATH);
    } else {
      hive->OpenFromFat(fat, fat->GetPathType(BCD_ESP_PATH) == 1 ? BCD_ESP_PATH : BCD_VOLUME_PATH);
    }
  }
  return hive;
}

bool RefreshImageEsp(CMountedImage* image) {
  CFatVolume* esp = image->m_pEspFat;
  if (!esp || !esp->IsBorrowed()) return esp != nullptr;
  return esp->MountShared(image->DiskObject(), image->IsReadOnly() ? 0 : 1) >= 0;
}

bool ReleaseImageEsp(CMountedImage* image) {
  CFatVolume* esp = image->m_pEspFat;
  if (!esp) return true;
  bool saved = true;
  if (esp->m_pBcdHive && esp->m_pBcdHive->IsDirty() && !RefreshImageEsp(image)) {
    esp->m_pBcdHive->Discard();
    saved = false;
  }
  if (esp->m_pBcdHive && !CloseBcdHive(esp)) {
    delete esp->m_pBcdHive;
    esp->m_pBcdHive = nullptr;
    saved = false;
  }
  esp->Release();
  delete esp;
  image->m_pEspFat = nullptr;
  return saved;
}

bool CloseBcdHive(CFatVolume* volume) {
  if (!volume || !volume->m_pBcdHive) return true;
  if (volume->m_pBcdHive->Close() == HIVE_SAVE_FAILED) return false;
  delete volume->m_pBcdHive;
  volume->m_pBcdHive = nullptr;
  return true;
}

int CFatVolume::LoadBcdHive() {
  // A held store whose changes cannot be saved is kept rather than lost.
  if (!CloseBcdHive(this)) return 0;
  m_pBcdHive = new (std::nothrow) CRegHive();
  if (!m_pBcdHive) return 0;
  if (m_pBcdHive->OpenFromFat(this, BCD_ESP_PATH)) return 1;
  delete m_pBcdHive;
  m_pBcdHive = nullptr;
  return 0;
}

uint32_t CFatVolume::DeleteBcdKey(const wchar_t* keyPath) {
  if (!m_pBcdHive || !m_pBcdHive->IsLoaded() || !keyPath) return REG_STATUS_FAILURE;
  std::wstring path(keyPath);
  size_t cut = path.rfind(L'\\');
  if (cut == std::wstring::npos) return m_pBcdHive->DeleteKey(L"", keyPath);
  return m_pBcdHive->DeleteKey(path.substr(0, cut).c_str(), path.substr(cut + 1).c_str());
}
