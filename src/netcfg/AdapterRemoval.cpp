#include "netcfg/AdapterRemoval.h"

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/MultiSz.h"
#include "common/PathUtil.h"
#include "common/TextSearch.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "netcfg/NetRegistry.h"
#include "netcfg/NetStackQueries.h"
#include "netcfg/NetworkConfigBlob.h"
#include "netcfg/NsiInterface.h"
#include "netcfg/WrapperAdapter.h"
#include "registry/hive/RegTypes.h"

namespace {

const uint32_t kImagePathChars = 360;

// An adapter entry of "Config" with a device instance (see the repair of
// an adapter's entry).
bool PassesCharacteristics(uint32_t characteristics) {
  return (characteristics & 0x05) != 0 && (characteristics & 0x80) != 0;
}

bool LoadConfig(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet,
                std::vector<uint8_t>& data, NetworkConfigBlob& blob) {
  blob = NetworkConfigBlob(NetworkConfigBlob::LayoutOf(targetVersion));
  return ReadRegistryBytes(image, SystemKeyPath(controlSet, L"Control\\Network"), L"Config",
                           data) &&
         blob.Parse(data.data(), (uint32_t)data.size()) == kNetConfigParsed;
}

// Entries of the string list value that contain the GUID go; the value is
// stored again only when one did.
void RemoveListEntries(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                       const wchar_t* guid) {
  std::wstring list, kept;
  if (!ReadRegistryList(image, key, name, list) || MultiSzContainsText(list.c_str(), guid) != 0)
    return;
  MultiSzRemoveMatching(list.c_str(), kept, guid);
  image->RegWriteValueData(key.c_str(), name, kept.data(),
                           (uint32_t)(kept.size() * sizeof(wchar_t)));
}

bool NdisLowerRange(const std::wstring& range) {
  return FindTextNoCase(range.c_str(), -1, L"ndis4") ||
         FindTextNoCase(range.c_str(), -1, L"ndis5") || FindTextNoCase(range.c_str(), -1, L"ndis6");
}

// The NDIS protocols bound to the adapter go into the wrapper adapter's
// UpperBind.
void RelinkProtocolsToWrapper(CMountedImage* image, uint32_t targetVersion, uint32_t cs,
                              const wchar_t* guid) {
  const int32_t wrapper = FindWrapperAdapter(image, targetVersion, cs, nullptr, 0);
  const std::wstring transKey =
      SystemKeyPath(cs, L"Control\\Network\\%s", L"{4D36E975-E325-11CE-BFC1-08002BE10318}");
  for (const std::wstring& p : ListRegistrySubkeys(image, transKey)) {
    std::wstring range, service, bind;
    if (!ReadRegistryText(image, transKey + L"\\" + p + L"\\Ndi\\Interfaces", L"LowerRange",
                          range) ||
        !NdisLowerRange(range) ||
        !ReadRegistryText(
            image,
            SystemKeyPath(cs, L"Control\\Network\\%s\\%s\\Ndi", kNetTransClassGuid, p.c_str()),
            L"Service", service) ||
        !ReadRegistryList(image, SystemKeyPath(cs, L"Services\\%s\\Linkage", service.c_str()),
                          L"Bind", bind) ||
        MultiSzContainsText(bind.c_str(), guid) != 0 || wrapper < 0)
      continue;
    AppendListValueEntry(image,
                         SystemKeyPath(cs, L"Control\\Class\\%s\\%04u\\Linkage",
                                       kNetAdapterClassGuid, (unsigned)wrapper),
                         L"UpperBind", service.c_str());
  }
}

// The bit of a LUID index cleared; the type's key goes with its last bit.
void ReleaseLuidIndex(CMountedImage* image, uint32_t cs, uint32_t luidIndex, uint32_t ifType) {
  const std::wstring key = SystemKeyPath(cs, L"Services\\NDIS\\IfTypes\\%u", ifType);
  std::vector<uint8_t> bitmap;
  if (!ReadRegistryBytes(image, key, L"IfUsedNetLuidIndices", bitmap)) return;
  if (luidIndex / 8 < bitmap.size()) bitmap[luidIndex / 8] &= (uint8_t) ~(1u << (luidIndex % 8));
  while (bitmap.size() > 1 && bitmap.back() == 0) bitmap.pop_back();
  if (bitmap.empty() || (bitmap.size() == 1 && bitmap[0] == 0)) {
    image->RegDeleteKey(key.c_str());
    return;
  }
  image->RegSetValue(key.c_str(), L"IfUsedNetLuidIndices", bitmap.data(), (uint32_t)bitmap.size(),
                     HIVE_REG_BINARY);
}

void RemoveNsiRecords(CMountedImage* image, uint32_t cs, const wchar_t* guidText) {
  GUID guid, recorded;
  if (!ParseGuidText(guidText, guid)) return;
  const std::wstring key = NsiRecordsKey(cs);
  for (const RegistryValue& v : ListRegistryValues(image, key)) {
    if (v.type != HIVE_REG_BINARY || v.data.size() != kNsiRecordBytes ||
        !NsiRecordGuid(v.data.data(), v.data.size(), recorded) ||
        memcmp(&recorded, &guid, sizeof(GUID)) != 0)
      continue;
    uint32_t luidIndex = 0, ifType = 0;
    if (ParseNsiRecordName(v.name.c_str(), &luidIndex, &ifType))
      ReleaseLuidIndex(image, cs, luidIndex, ifType);
    image->RegDeleteValue(key.c_str(), v.name.c_str());
  }
}

bool AdapterStillInUse(CMountedImage* image, uint32_t cs, const wchar_t* guid) {
  if (RegistryKeyExists(image,
                        SystemKeyPath(cs, L"services\\VRONDIS\\Parameters\\Adapters\\%s", guid)) ||
      RegistryKeyExists(
          image, SystemKeyPath(cs, L"services\\VRO_LWF\\Parameters\\NdisAdapters\\%s", guid)))
    return true;
  const std::wstring classKey = SystemKeyPath(cs, L"Control\\Class\\%s", kNetAdapterClassGuid);
  for (const std::wstring& instance : ListRegistrySubkeys(image, classKey)) {
    std::wstring id;
    if (ReadRegistryText(image, classKey + L"\\" + instance, L"NetCfgInstanceId", id) &&
        _wcsicmp(id.c_str(), guid) == 0)
      return true;
  }
  return false;
}

// The GUID's traces in the services and the class instances' Linkage.
void RemoveServiceTraces(CMountedImage* image, uint32_t cs, const wchar_t* guid) {
  const std::wstring services = SystemKeyPath(cs, L"Services");
  image->RegDeleteKey((services + L"\\" + guid).c_str());
  const std::wstring remote = services + L"\\RemoteAccess\\Interfaces";
  for (const std::wstring& r : ListRegistrySubkeys(image, remote)) {
    std::wstring name;
    if (ReadRegistryText(image, remote + L"\\" + r, L"InterfaceName", name) &&
        _wcsicmp(name.c_str(), guid) == 0)
      image->RegDeleteKey((remote + L"\\" + r).c_str());
  }
  for (const std::wstring& s : ListRegistrySubkeys(image, services)) {
    const std::wstring service = services + L"\\" + s;
    for (const wchar_t* pair :
         {L"Parameters\\Adapters", L"Parameters\\Interfaces", L"Parameters\\NdisAdapters"}) {
      const std::wstring parent = service + L"\\" + pair;
      for (const std::wstring& sub : ListRegistrySubkeys(image, parent))
        if (FindTextNoCase(sub.c_str(), -1, guid))
          image->RegDeleteKey((parent + L"\\" + sub).c_str());
    }
    for (const wchar_t* name : {L"Bind", L"Export", L"Route"})
      RemoveListEntries(image, service + L"\\Linkage", name, guid);
  }
  const std::wstring classKey = SystemKeyPath(cs, L"Control\\Class\\%s", kNetAdapterClassGuid);
  for (const std::wstring& k : ListRegistrySubkeys(image, classKey))
    for (const wchar_t* name : {L"Export", L"FilterList", L"RootDevice", L"UpperBind"})
      RemoveListEntries(image, classKey + L"\\" + k + L"\\Linkage", name, guid);
}

// The driver's file and service key, unless another device or service
// uses them or the file is the system's own.
void RemoveDriverService(CMountedImage* image, uint32_t cs, const wchar_t* enumerator,
                         const std::wstring& service, CInfInstaller* fileSwap) {
  if (service.empty() ||
      AnyEnumInstanceHasValue(image, enumerator, cs, L"Service", service.c_str()))
    return;
  const std::wstring services = SystemKeyPath(cs, L"Services");
  std::wstring imagePath;
  wchar_t file[kImagePathChars] = {0};
  if (!ReadRegistryText(image, services + L"\\" + service, L"ImagePath", imagePath) ||
      !ExpandImageSystemPath(imagePath.c_str(), file, kImagePathChars, image) || !file[0])
    return;
  const wchar_t* fileName = FindFileNamePart(imagePath.c_str());
  for (const std::wstring& other : ListRegistrySubkeys(image, services)) {
    std::wstring otherPath;
    if (_wcsicmp(other.c_str(), service.c_str()) != 0 &&
        ReadRegistryText(image, services + L"\\" + other, L"ImagePath", otherPath) &&
        _wcsicmp(FindFileNamePart(otherPath.c_str()), fileName) == 0)
      return;
  }
  wchar_t company[100] = {0};
  if (image->GetFileCompanyName(file, company, 100) &&
      _wcsicmp(company, L"Microsoft Corporation") == 0)
    return;
  if (fileSwap)
    fileSwap->DeleteImageFile(file);
  else
    image->DeletePath(file);
  image->RegDeleteKey((services + L"\\" + service).c_str());
}

}  // namespace

int32_t UnbindAdapterFromComponents(CMountedImage* image, uint32_t targetVersion,
                                    uint32_t controlSet, const wchar_t* adapterGuid,
                                    const wchar_t* devicePath, uint32_t allowLastEntry) {
  if (!image || !adapterGuid || !adapterGuid[0] || !devicePath ||
      ((targetVersion >> 8) & 0xFF) >= 10)
    return 0;
  std::vector<uint8_t> data;
  NetworkConfigBlob blob(false);
  uint32_t n = 0;
  if (LoadConfig(image, targetVersion, controlSet, data, blob))
    for (const NetConfigEntry& e : blob.Entries)
      if (PassesCharacteristics(e.characteristics) &&
          _wcsicmp(GuidText(e.guid).c_str(), adapterGuid) == 0)
        ++n;

  int32_t result = 0;
  const bool removable = n > 1 || (n == 1 && allowLastEntry);
  // Every store removes one entry: no more passes than entries.
  for (size_t pass = 0, limit = blob.Entries.size(); removable && pass <= limit; ++pass) {
    if (!LoadConfig(image, targetVersion, controlSet, data, blob)) break;
    bool stored = false;
    for (uint32_t i = 0; i < blob.Entries.size() && !stored; ++i) {
      const NetConfigEntry& e = blob.Entries[i];
      if (!PassesCharacteristics(e.characteristics) ||
          (_wcsicmp(e.componentId.c_str(), devicePath) != 0 &&
           _wcsicmp(e.pnpInstanceId.c_str(), devicePath) != 0))
        continue;
      std::vector<uint8_t> value = blob.WithoutEntry(data.data(), i);
      stored = image->RegWriteValueData(SystemKeyPath(controlSet, L"Control\\Network").c_str(),
                                        L"Config", value.data(),
                                        (uint32_t)value.size()) == REG_STATUS_OK;
    }
    if (!stored) break;
    result = 1;
  }

  RelinkProtocolsToWrapper(image, targetVersion, controlSet, adapterGuid);
  PruneNetworkConfigBlob(image, targetVersion, controlSet);
  RepairAdapterConfigEntry(image, targetVersion, controlSet, adapterGuid);
  return result;
}

int32_t CleanAdapterBindings(CMountedImage* image, uint32_t controlSet,
                             const wchar_t* adapterGuid) {
  if (!image || !adapterGuid || !adapterGuid[0] ||
      AdapterStillInUse(image, controlSet, adapterGuid))
    return 0;
  int32_t result = 0;
  const std::wstring connection =
      SystemKeyPath(controlSet, L"Control\\Network\\%s\\%s", kNetAdapterClassGuid, adapterGuid);
  if (RegistryKeyExists(image, connection) &&
      image->RegDeleteKey(connection.c_str()) == REG_STATUS_OK) {
    result = 1;
    RemoveServiceTraces(image, controlSet, adapterGuid);
  }
  RemoveNsiRecords(image, controlSet, adapterGuid);
  return result;
}

int32_t RemoveNetAdapter(const wchar_t* enumerator, const wchar_t* device, CMountedImage* image,
                         uint32_t targetVersion, uint32_t controlSet, const wchar_t* classInstance,
                         const wchar_t* instance, uint32_t allowLastEntry,
                         CInfInstaller* fileSwap) {
  if (!image || !enumerator) return 1;
  const wchar_t* d = device ? device : L"";
  const wchar_t* i = instance ? instance : L"";
  const uint32_t cs = controlSet;
  if (!classInstance || !classInstance[0]) {
    if (i[0]) UnbindAdapterFromComponents(image, targetVersion, cs, d, i, allowLastEntry);
    return 1;
  }
  const std::wstring netClass =
      SystemKeyPath(cs, L"Control\\Class\\%s\\%s", kNetAdapterClassGuid, classInstance);
  wchar_t driverKey[100];
  _snwprintf(driverKey, 100, L"%s\\%s", kNetAdapterClassGuid, classInstance);
  driverKey[99] = 0;
  std::wstring guid, service, container;
  ReadRegistryText(image, netClass, L"NetCfgInstanceId", guid);
  const std::wstring instanceKey = SystemKeyPath(cs, L"Enum\\%s\\%s\\%s", enumerator, d, i);
  ReadRegistryText(image, instanceKey, L"Service", service);
  wchar_t devicePath[400];
  _snwprintf(devicePath, 400, L"%s\\%s\\%s", enumerator, d, i);
  devicePath[399] = 0;
  if (ReadRegistryText(image, instanceKey, L"ContainerID", container))
    image->RegDeleteValue(SystemKeyPath(cs, L"Control\\DeviceContainers\\%s\\BaseContainers\\%s",
                                        container.c_str(), container.c_str())
                              .c_str(),
                          devicePath);

  if (d[0]) {
    image->RegDeleteKey(instanceKey.c_str());
    const std::wstring deviceKey = SystemKeyPath(cs, L"Enum\\%s\\%s", enumerator, d);
    const std::wstring enumKey = SystemKeyPath(cs, L"Enum\\%s", enumerator);
    if (image->RegGetSubkeyCount(deviceKey.c_str()) == 0) {
      image->RegDeleteKey(deviceKey.c_str());
      if (image->RegGetSubkeyCount(enumKey.c_str()) == 0) image->RegDeleteKey(enumKey.c_str());
    }
    if (!AnyEnumInstanceHasValue(image, enumerator, cs, L"Driver", driverKey)) {
      image->RegDeleteKey(netClass.c_str());
      UnbindAdapterFromComponents(image, targetVersion, cs, guid.c_str(), devicePath,
                                  allowLastEntry);
      CleanAdapterBindings(image, cs, guid.c_str());
    }
  } else {
    ReadRegistryText(image, netClass + L"\\Ndi", L"Service", service);
    if (!AnyEnumInstanceHasValue(image, enumerator, cs, L"Driver", driverKey))
      image->RegDeleteKey(netClass.c_str());
    CleanAdapterBindings(image, cs, guid.c_str());
  }
  RemoveDriverService(image, cs, enumerator, service, fileSwap);
  return 1;
}

int32_t RemoveOtherAdapterClaims(CInfInstaller* installer, const wchar_t* adapterGuid,
                                 const wchar_t* keptClassInstance, const wchar_t* keptDevicePath) {
  if (!installer || !installer->Image || !adapterGuid || !adapterGuid[0] || !keptClassInstance ||
      !keptDevicePath)
    return 0;
  CMountedImage* image = installer->Image;
  const uint32_t cs = installer->ControlSet;
  const std::wstring classKey = SystemKeyPath(cs, L"Control\\Class\\%s", kNetAdapterClassGuid);
  std::vector<std::wstring> claims;
  for (const std::wstring& n : ListRegistrySubkeys(image, classKey)) {
    std::wstring id;
    if (_wcsicmp(n.c_str(), keptClassInstance) != 0 &&
        ReadRegistryText(image, classKey + L"\\" + n, L"NetCfgInstanceId", id) &&
        _wcsicmp(id.c_str(), adapterGuid) == 0)
      claims.push_back(n);
  }
  const std::wstring keptPath = keptDevicePath;
  const std::wstring keptEnumerator = keptPath.substr(0, keptPath.find(L'\\'));
  const std::wstring enumKey = SystemKeyPath(cs, L"Enum");
  for (const std::wstring& n : claims) {
    const std::wstring driverKey = std::wstring(kNetAdapterClassGuid) + L"\\" + n;
    struct Instance {
      std::wstring e, d, i;
    };
    std::vector<Instance> devices;
    for (const std::wstring& e : ListRegistrySubkeys(image, enumKey))
      for (const std::wstring& d : ListRegistrySubkeys(image, enumKey + L"\\" + e))
        for (const std::wstring& i : ListRegistrySubkeys(image, enumKey + L"\\" + e + L"\\" + d)) {
          std::wstring driver;
          if (ReadRegistryText(image, enumKey + L"\\" + e + L"\\" + d + L"\\" + i, L"Driver",
                               driver) &&
              _wcsicmp(driver.c_str(), driverKey.c_str()) == 0 &&
              _wcsicmp((e + L"\\" + d + L"\\" + i).c_str(), keptPath.c_str()) != 0)
            devices.push_back({e, d, i});
        }
    for (const Instance& x : devices)
      RemoveNetAdapter(x.e.c_str(), x.d.c_str(), image, installer->TargetVersion, cs, n.c_str(),
                       x.i.c_str(), 1, installer);
    if (devices.empty())
      RemoveNetAdapter(keptEnumerator.c_str(), L"", image, installer->TargetVersion, cs, n.c_str(),
                       L"", 1, installer);
  }
  return (int32_t)claims.size();
}
