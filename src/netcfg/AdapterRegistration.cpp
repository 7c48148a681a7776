#include "netcfg/AdapterRegistration.h"

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/MultiSz.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "netcfg/AdapterBindings.h"
#include "netcfg/NetRegistry.h"
#include "registry/hive/RegTypes.h"

namespace {

const int kFilePathChars = 360;

bool IsVolumeFile(CMountedImage* image, const wchar_t* path) {
  return path && path[0] && image->GetPathType(path) == 1;
}

// The adapter's own keys below the network, TCP/IP and own driver services.
bool AdapterKeysExist(CMountedImage* image, uint32_t cs, const wchar_t* guid) {
  return RegistryKeyExists(
             image, SystemKeyPath(cs, L"Control\\Network\\%s\\%s", kNetAdapterClassGuid, guid)) &&
         RegistryKeyExists(
             image, SystemKeyPath(cs, L"Services\\Tcpip\\Parameters\\Interfaces\\%s", guid)) &&
         RegistryKeyExists(image,
                           SystemKeyPath(cs, L"Services\\Tcpip\\Parameters\\Adapters\\%s", guid)) &&
         (RegistryKeyExists(
              image, SystemKeyPath(cs, L"Services\\VRO_LWF\\Parameters\\NdisAdapters\\%s", guid)) ||
          RegistryKeyExists(
              image, SystemKeyPath(cs, L"Services\\VRONDIS\\Parameters\\Adapters\\%s", guid)));
}

// A kernel driver of the NDIS group started at boot, with an image path.
bool ServiceRegistered(CMountedImage* image, const std::wstring& key, std::wstring& imagePath) {
  uint32_t start = 0, type = 0;
  std::wstring group;
  return ReadRegistryDword(image, key, L"Start", start) && start == 0 &&
         ReadRegistryDword(image, key, L"Type", type) && type == 1 &&
         ReadRegistryText(image, key, L"Group", group) && _wcsicmp(group.c_str(), L"NDIS") == 0 &&
         ReadRegistryText(image, key, L"ImagePath", imagePath);
}

// The driver files the installation recorded below the class key, or the
// service's image when it recorded none.
bool DriverFilesPresent(CMountedImage* image, uint32_t cs, const wchar_t* adapterKey,
                        const std::wstring& imagePath) {
  const std::wstring files = SystemKeyPath(cs, L"Control\\Class\\%s\\Files", adapterKey);
  std::wstring recorded;
  if (!ReadRegistryText(image, files, L"", recorded) || recorded.empty()) {
    wchar_t path[kFilePathChars] = {0};
    ExpandImageSystemPath(imagePath.c_str(), path, kFilePathChars, image);
    return IsVolumeFile(image, path);
  }
  std::vector<RegistryValue> values = ListRegistryValues(image, files);
  if (values.empty()) return false;
  for (const RegistryValue& v : values) {
    if (v.type != HIVE_REG_MULTI_SZ || v.name.empty()) continue;
    // The entries up to the first empty one; an odd last byte is dropped.
    std::wstring list(v.data.size() / 2, L'\0');
    for (size_t i = 0; i < list.size(); ++i)
      list[i] = (wchar_t)(v.data[2 * i] | (v.data[2 * i + 1] << 8));
    list.append(2, L'\0');
    for (const wchar_t* entry = list.c_str(); *entry; entry += wcslen(entry) + 1) {
      // The drive letter and colon are left out.
      if (wcslen(entry) < 2 || !IsVolumeFile(image, entry + 2)) return false;
    }
  }
  return true;
}

bool ListHasEntry(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                  const wchar_t* entry) {
  std::wstring list;
  return ReadRegistryList(image, key, name, list) && MultiSzFindEntry(list.c_str(), entry) >= 0;
}

bool LinkageComplete(CMountedImage* image, uint32_t cs, uint32_t major, const wchar_t* adapterKey,
                     const wchar_t* guid) {
  const std::wstring linkage = SystemKeyPath(cs, L"Control\\Class\\%s\\Linkage", adapterKey);
  wchar_t device[128];
  _snwprintf(device, 128, L"\\Device\\%s", guid);
  device[127] = 0;
  return ListHasEntry(image, linkage, L"RootDevice", guid) &&
         ListHasEntry(image, linkage, L"Export", device) &&
         (major >= 10 || ListHasEntry(image, linkage, L"UpperBind", L"VroNdis"));
}

}  // namespace

int32_t CheckAdapterRegistration(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet,
                                 const wchar_t* adapterGuid, const wchar_t* serviceName,
                                 const wchar_t* adapterKey, int32_t linkageInstance,
                                 const wchar_t* connectionGuid) {
  if (!image || !adapterGuid || !adapterGuid[0] || !serviceName || !adapterKey) return 0;
  const uint32_t cs = controlSet;
  const uint32_t major = (targetVersion >> 8) & 0xFF;
  std::wstring imagePath;
  if (!AdapterKeysExist(image, cs, adapterGuid) ||
      !ServiceRegistered(image, SystemKeyPath(cs, L"Services\\%s", serviceName), imagePath) ||
      !DriverFilesPresent(image, cs, adapterKey, imagePath) ||
      !LinkageComplete(image, cs, major, adapterKey, adapterGuid))
    return 0;
  if (linkageInstance != -1 && major >= 6 &&
      !RegistryKeyExists(
          image, SystemKeyPath(cs, L"Control\\Network\\%s\\%s\\Connection", kNetAdapterClassGuid,
                               connectionGuid ? connectionGuid : L"")))
    return 0;
  if (major >= 10 &&
      !RegistryKeyExists(image,
                         SystemKeyPath(cs, L"Control\\NetworkSetup2\\Interfaces\\%s", adapterGuid)))
    return 0;
  const NetContext context = {image, targetVersion, cs};
  std::vector<NetComponentRecord> records;
  if (ComputeAdapterBindings(context, adapterKey, adapterGuid, linkageInstance, records) == 0)
    return 0;
  return MarkBoundComponents(context, records, adapterGuid);
}
