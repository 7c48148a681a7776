#include "disktools/bootrepair/MountedDevices.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/ByteOrder.h"
#include "disktools/clone/DiskSignature.h"
#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "registry/hive/RegTypes.h"

namespace {

const wchar_t kKey[] = REG_ROOT_SYSTEM L"\\MountedDevices";
const wchar_t kSystemDrive[] = L"\\DosDevices\\C:";
const wchar_t kVolumePrefix[] = L"\\??\\Volume";
const size_t kVolumePrefixChars = 10;
const size_t kMbrBytes = 12;
const size_t kGptBytes = 24;

// The name of the "\??\Volume..." value whose data is C:'s, or empty.
std::wstring FindSystemDriveVolume(CMountedImage* image) {
  void* list = ListHiveValues(image, kKey);
  if (!list) return std::wstring();
  uint32_t count = *static_cast<uint32_t*>(list);
  RegValueEntry* entries = reinterpret_cast<RegValueEntry*>(static_cast<uint8_t*>(list) + 8);
  std::vector<uint8_t> drive;
  bool found = false;
  for (uint32_t i = 0; i < count && !found; i++)
    if (entries[i].type == HIVE_REG_BINARY && _wcsicmp(entries[i].name, kSystemDrive) == 0 &&
        entries[i].data) {
      drive.assign(entries[i].data->data, entries[i].data->data + entries[i].data->length);
      found = true;
    }
  std::wstring volume;
  for (uint32_t i = 0; i < count; i++) {
    const RegValueEntry& e = entries[i];
    if (found && volume.empty() && e.type == HIVE_REG_BINARY && e.data &&
        _wcsnicmp(e.name, kVolumePrefix, kVolumePrefixChars) == 0 &&
        e.data->length == drive.size() && memcmp(e.data->data, drive.data(), drive.size()) == 0)
      volume = e.name;
    free(e.data);
  }
  free(list);
  return volume;
}

}  // namespace

int SetMountedDevicesSystemDrive(CMountedImage* image, int gpt, const uint8_t* partitionGuid) {
  if (!image || !image->LoadHives(HIVE_FLAG_SYSTEM) || !FindLoadedHive(image, REG_ROOT_SYSTEM)) {
    if (image) image->UnloadHives();
    return 0;
  }
  std::wstring volume = FindSystemDriveVolume(image);
  image->RegCreateKey(kKey);
  if (gpt) {
    uint8_t value[kGptBytes];
    memcpy(value, "DMIO:ID:", 8);
    if (partitionGuid)
      memcpy(value + 8, partitionGuid, 16);
    else
      memset(value + 8, 0, 16);
    image->RegSetValue(kKey, kSystemDrive, value, kGptBytes, HIVE_REG_BINARY);
    if (!volume.empty()) image->RegDeleteValue(kKey, volume.c_str());
  } else {
    uint64_t offset = 0;
    uint8_t value[kMbrBytes];
    St32(value, ReadDiskSignatureAndOffset(image->NtfsVolume(), &offset));
    St64(value + 4, offset);
    image->RegSetValue(kKey, kSystemDrive, value, kMbrBytes, HIVE_REG_BINARY);
    if (!volume.empty())
      image->RegSetValue(kKey, volume.c_str(), value, kMbrBytes, HIVE_REG_BINARY);
  }
  image->UnloadHives();
  return 0;
}
