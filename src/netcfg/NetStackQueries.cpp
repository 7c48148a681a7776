#include "netcfg/NetStackQueries.h"

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/MultiSz.h"
#include "image/mount/MountedImage.h"
#include "netcfg/NetRegistry.h"
#include "netcfg/NetworkConfigBlob.h"
#include "netcfg/WrapperAdapter.h"
#include "registry/hive/RegTypes.h"

const wchar_t* const kNetEnumerators[4] = {L"PCI", L"{1A3E09BE-1E45-494B-9174-D7385B45BBF5}",
                                           L"MLX4", L"VIDEO"};

namespace {

std::wstring NetworkKey(uint32_t controlSet) {
  return SystemKeyPath(controlSet, L"Control\\Network");
}

// Reads and parses "Config"; false when it is missing, empty or damaged.
bool LoadConfig(CMountedImage* image, uint32_t controlSet, std::vector<uint8_t>& data,
                NetworkConfigBlob& blob) {
  return ReadRegistryBytes(image, NetworkKey(controlSet), L"Config", data) &&
         blob.Parse(data.data(), (uint32_t)data.size()) == kNetConfigParsed;
}

bool StoreConfig(CMountedImage* image, uint32_t controlSet, const std::vector<uint8_t>& value) {
  return image->RegWriteValueData(NetworkKey(controlSet).c_str(), L"Config", value.data(),
                                  (uint32_t)value.size()) == REG_STATUS_OK;
}

// An adapter entry this system may relink: a physical or software adapter
// (0x01 or 0x04) that has a device instance (0x80).
bool PassesCharacteristics(uint32_t characteristics) {
  return (characteristics & 0x05) != 0 && (characteristics & 0x80) != 0;
}

bool GuidEquals(const GUID& guid, const wchar_t* text) {
  std::wstring own = GuidText(guid);
  return text && !own.empty() && _wcsicmp(own.c_str(), text) == 0;
}

}  // namespace

void AppendListValueEntry(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                          const wchar_t* entry) {
  std::wstring list, grown;
  if (!ReadRegistryList(image, key, name, list) || MultiSzFindEntry(list.c_str(), entry) >= 0)
    return;
  MultiSzAppend(list.c_str(), grown, entry);
  image->RegWriteValueData(key.c_str(), name, grown.c_str(),
                           (uint32_t)(MultiSzLength(grown.c_str()) * sizeof(wchar_t)));
}

int32_t AnyEnumInstanceHasValue(CMountedImage* image, const wchar_t* enumerator,
                                uint32_t controlSet, const wchar_t* valueName,
                                const wchar_t* text) {
  if (!image || !enumerator || !text) return 0;
  std::wstring root = SystemKeyPath(controlSet, L"Enum\\%s", enumerator);
  for (const std::wstring& device : ListRegistrySubkeys(image, root)) {
    std::wstring deviceKey = root + L"\\" + device;
    for (const std::wstring& instance : ListRegistrySubkeys(image, deviceKey)) {
      std::wstring value;
      if (ReadRegistryText(image, deviceKey + L"\\" + instance, valueName, value) &&
          _wcsicmp(value.c_str(), text) == 0)
        return 1;
    }
  }
  return 0;
}

void WriteAdapterLinkage(CMountedImage* image, uint32_t controlSet, uint32_t targetVersion,
                         const wchar_t* adapterGuid, const wchar_t* serviceName) {
  if (!image || !adapterGuid || !serviceName) return;
  wchar_t wrapper[100] = {0};
  int32_t instance = FindWrapperAdapter(image, targetVersion, controlSet, wrapper, 100);
  if (instance < 0) return;
  std::wstring linkage = SystemKeyPath(controlSet, L"Control\\Class\\%s\\%04u\\Linkage",
                                       kNetAdapterClassGuid, (unsigned)instance);
  AppendListValueEntry(image, linkage, L"RootDevice", adapterGuid);
  AppendListValueEntry(image, linkage, L"UpperBind", serviceName);

  std::wstring adapterKey =
      SystemKeyPath(controlSet, L"Services\\VRONDIS\\Parameters\\Adapters\\%s", adapterGuid);
  std::wstring upper;
  if (!ReadRegistryList(image, adapterKey, L"UpperBindings", upper) ||
      MultiSzContainsText(upper.c_str(), wrapper) == 0)
    return;
  wchar_t device[128];
  _snwprintf(device, 128, L"\\Device\\%s", wrapper);
  device[127] = 0;
  image->RegWriteValueData(adapterKey.c_str(), L"UpperBindings", device,
                           (uint32_t)((wcslen(device) + 1) * sizeof(wchar_t)));
}

int32_t AdapterConnectionKeyExists(const wchar_t* componentGuid, uint32_t classIndex,
                                   uint32_t controlSet, CMountedImage* image) {
  const wchar_t* classKey;
  switch (classIndex) {
    case kNetConfigAdapter:
      classKey = kNetAdapterClassGuid;
      break;
    case kNetConfigTrans:
      classKey = kNetTransClassGuid;
      break;
    case kNetConfigClient:
      classKey = kNetClientClassGuid;
      break;
    case kNetConfigService:
      classKey = kNetServiceClassGuid;
      break;
    default:
      return 1;
  }
  std::wstring key = SystemKeyPath(controlSet, L"Control\\Network\\%s\\%s", classKey,
                                   componentGuid ? componentGuid : L"");
  return RegistryKeyExists(image, key) ? 1 : 0;
}

int32_t PruneNetworkConfigBlob(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet) {
  if (!image) return 0;
  // Every store removes one entry: there are no more passes than the
  // first read has entries.
  size_t passes = 0, limit = 0;
  for (;;) {
    std::vector<uint8_t> data;
    NetworkConfigBlob blob(NetworkConfigBlob::LayoutOf(targetVersion));
    if (!LoadConfig(image, controlSet, data, blob)) return 0;
    if (passes++ == 0)
      limit = blob.Entries.size();
    else if (passes > limit + 1)
      return 0;
    bool stored = false;
    for (uint32_t i = 0; i < blob.Entries.size() && !stored; ++i) {
      const NetConfigEntry& e = blob.Entries[i];
      if (AdapterConnectionKeyExists(GuidText(e.guid).c_str(), e.classIndex, controlSet, image))
        continue;
      stored = StoreConfig(image, controlSet, blob.WithoutEntry(data.data(), i));
    }
    if (!stored) return 0;
  }
}

int32_t RepairAdapterConfigEntry(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet,
                                 const wchar_t* adapterGuid) {
  std::vector<uint8_t> data;
  NetworkConfigBlob blob(NetworkConfigBlob::LayoutOf(targetVersion));
  if (!image || !LoadConfig(image, controlSet, data, blob)) return 0;
  for (const NetConfigEntry& e : blob.Entries) {
    if (PassesCharacteristics(e.characteristics) && GuidEquals(e.guid, adapterGuid))
      return RelinkAdapterConfigEntry(image, targetVersion, controlSet, adapterGuid,
                                      e.pnpInstanceId.c_str());
  }
  return 0;
}

int32_t RelinkAdapterConfigEntry(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet,
                                 const wchar_t* adapterGuid, const wchar_t* pnpInstanceId) {
  if (!image || !pnpInstanceId) return 0;
  if (RegistryKeyExists(image, SystemKeyPath(controlSet, L"Enum\\%s", pnpInstanceId))) return 0;
  for (const wchar_t* enumerator : kNetEnumerators) {
    std::wstring root = SystemKeyPath(controlSet, L"Enum\\%s", enumerator);
    for (const std::wstring& device : ListRegistrySubkeys(image, root)) {
      for (const std::wstring& instance : ListRegistrySubkeys(image, root + L"\\" + device)) {
        std::wstring cls;
        if (!ReadRegistryText(image, root + L"\\" + device + L"\\" + instance, L"Class", cls) ||
            _wcsicmp(cls.c_str(), L"Net") != 0)
          continue;
        wchar_t componentId[100], instanceId[400];
        _snwprintf(componentId, 100, L"%s\\%s", enumerator, device.c_str());
        componentId[99] = 0;
        _snwprintf(instanceId, 400, L"%s\\%s\\%s", enumerator, device.c_str(), instance.c_str());
        instanceId[399] = 0;
        RewriteAdapterConfigEntry(targetVersion, image, controlSet, adapterGuid, componentId,
                                  instanceId);
        return 1;
      }
    }
  }
  return 0;
}

int32_t RewriteAdapterConfigEntry(uint32_t targetVersion, CMountedImage* image, uint32_t controlSet,
                                  const wchar_t* adapterGuid, const wchar_t* componentId,
                                  const wchar_t* pnpInstanceId) {
  std::vector<uint8_t> data;
  NetworkConfigBlob blob(NetworkConfigBlob::LayoutOf(targetVersion));
  if (!image || !componentId || !pnpInstanceId || !LoadConfig(image, controlSet, data, blob))
    return 0;
  int32_t result = 0;
  for (size_t i = 0; i < blob.Entries.size(); ++i) {
    const NetConfigEntry& e = blob.Entries[i];
    if (e.classIndex != kNetConfigAdapter || !PassesCharacteristics(e.characteristics) ||
        !GuidEquals(e.guid, adapterGuid))
      continue;
    if (_wcsicmp(e.componentId.c_str(), componentId) == 0 &&
        _wcsicmp(e.pnpInstanceId.c_str(), pnpInstanceId) == 0)
      continue;
    std::vector<uint8_t> entry;
    blob.AppendEntry(entry, e.guid, kNetConfigAdapter, kNetConfigAdapterCharacteristics,
                     componentId, pnpInstanceId);
    if (StoreConfig(image, controlSet,
                    blob.Rebuild(data.data(), i, i + 1, entry, 1, blob.Bindings)))
      result = 1;
  }
  return result;
}

int32_t ComponentBindsAdapter(const wchar_t* componentGuid, uint32_t controlSet,
                              CMountedImage* image, uint32_t classIndex,
                              const wchar_t* adapterText) {
  const wchar_t* classKey;
  if (classIndex == kNetConfigClient)
    classKey = kNetClientClassGuid;
  else if (classIndex == kNetConfigTrans)
    classKey = kNetTransClassGuid;
  else
    return 1;
  std::wstring service;
  if (!ReadRegistryText(image,
                        SystemKeyPath(controlSet, L"Control\\Network\\%s\\%s\\Ndi", classKey,
                                      componentGuid ? componentGuid : L""),
                        L"Service", service))
    return 0;
  std::wstring linkage = SystemKeyPath(controlSet, L"Services\\%s\\Linkage", service.c_str());
  std::wstring route, bind;
  bool routed = ReadRegistryList(image, linkage, L"Route", route) &&
                MultiSzContainsText(route.c_str(), adapterText) == 0;
  bool bound = ReadRegistryList(image, linkage, L"Bind", bind) &&
               MultiSzContainsText(bind.c_str(), adapterText) == 0;
  return routed && bound ? 1 : 0;
}

int32_t ReadNetDriverVersion(const wchar_t* classInstance, uint32_t controlSet,
                             CMountedImage* image, wchar_t* out) {
  std::wstring version;
  if (!out ||
      !ReadRegistryText(image,
                        SystemKeyPath(controlSet, L"Control\\Class\\%s\\%s", kNetAdapterClassGuid,
                                      classInstance ? classInstance : L""),
                        L"DriverVersion", version))
    return 0;
  version = version.substr(0, 99);
  wcscpy(out, version.c_str());
  return 1;
}
