#include <windows.h>

#include "disktools/bootrepair/EfiBootFiles.h"

#include "image/mount/FatVolume.h"
#include "image/mount/MountedImage.h"

int UpdateEfiBootConfiguration(CMountedImage* image, int mode, CMountedImage* source,
                               uint32_t version, const EfiBootTarget& target) {
  (void)image, (void)mode, (void)source, (void)version, (void)target;
  return 0;
}

int CreateEfiBootFiles(CFatVolume* volume, CMountedImage* source, uint32_t version,
                       const EfiBootTarget& target) {
  (void)volume, (void)source, (void)version, (void)target;
  return 0;
}

bool BuildBaseBcdStore(std::vector<uint8_t>& out) {
  out.clear();
  return false;
}
