// The mounted images the copy engines take, and the drive-letter refresh
// after a clone.
#include <windows.h>

#include <new>

#include "disktools/NtfsFormatterInstall.h"
#include "disktools/copy/VolumeCopy.h"
#include "image/host/HostVolume.h"
#include "image/mount/MountedImage.h"

namespace {

HostVolumeFactory g_HostVolumeFactory = nullptr;

const DWORD kRemoveExact = DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE;
const DWORD kRefreshPauseMs = 100;

}  // namespace

void SetHostVolumeFactory(HostVolumeFactory factory) {
  g_HostVolumeFactory = factory;
}

CMountedImage* OpenHostVolumeMount(wchar_t letter, int writable) {
  CMountedImage* image = new (std::nothrow) CMountedImage();
  if (!image) return nullptr;
  CHostVolume* volume = g_HostVolumeFactory ? g_HostVolumeFactory(letter) : nullptr;
  if (image->OpenHostVolume(letter, writable, volume) != 0) {
    delete image;
    return nullptr;
  }
  return image;
}

CMountedImage* OpenImageFileMount(const wchar_t* path, int writeMode) {
  CMountedImage* image = new (std::nothrow) CMountedImage();
  if (!image) return nullptr;
  if (!path || !*path || image->OpenImage(path, nullptr, 0, writeMode) < 0) {
    delete image;
    return nullptr;
  }
  return image;
}

CMountedImage* CreateImageFileMount(const wchar_t* path, uint32_t megabytes, int raw,
                                    int bootChoice, uint8_t align, const void* mbr,
                                    const void* bootCode, const void* gptEntries) {
  InstallNtfsFormatter();
  CMountedImage* image = new (std::nothrow) CMountedImage();
  if (!image) return nullptr;
  if (image->CreateImage(path, megabytes, raw, bootChoice, align, mbr, bootCode, gptEntries) != 1) {
    delete image;
    return nullptr;
  }
  return image;
}

int DestroyImageMount(CMountedImage* image) {
  if (!image) return 0;
  image->Close();
  delete image;
  return 1;
}

void RefreshDriveLetter(wchar_t letter) {
  wchar_t name[3] = {letter, L':', 0};
  wchar_t target[360];
  if (!QueryDosDeviceW(name, target, 360)) return;
  if (!DefineDosDeviceW(kRemoveExact, name, target)) return;
  Sleep(kRefreshPauseMs);
  DefineDosDeviceW(DDD_RAW_TARGET_PATH, name, target);
}
