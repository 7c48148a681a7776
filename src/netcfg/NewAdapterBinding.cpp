#include "netcfg/NewAdapterBinding.h"

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "netcfg/AdapterBindings.h"
#include "netcfg/NetRegistry.h"
#include "netcfg/NetworkConfig.h"
#include "registry/hive/RegTypes.h"

namespace {

// A string list value: each entry with its NUL, one more NUL, and never
// fewer than two NULs.
std::wstring MakeList(const std::vector<std::wstring>& entries) {
  std::wstring list;
  for (const std::wstring& e : entries) {
    list += e;
    list += L'\0';
  }
  list += L'\0';
  if (list.size() < 2) list += L'\0';
  return list;
}

void WriteList(CInfInstaller* installer, const std::wstring& key, const wchar_t* name,
               const std::vector<std::wstring>& entries, const wchar_t* scriptPath) {
  std::wstring list = MakeList(entries);
  installer->Image->RegSetValue(key.c_str(), name, list.data(),
                                (uint32_t)(list.size() * sizeof(wchar_t)), HIVE_REG_MULTI_SZ);
  MirrorValueToStagingScript(installer, key.c_str(), name, scriptPath);
}

bool IsOwnProtocolOrFilter(const wchar_t* componentId) {
  return _wcsicmp(componentId, L"vroproto") == 0 || _wcsicmp(componentId, L"vro_ndis") == 0;
}

// The adapter's record in "Config" gets the bound protocols and the own
// protocol and filter as its upper links, in the records' sorted order.
void RelinkConfig(CInfInstaller* installer, const wchar_t* adapterGuid,
                  const std::vector<NetComponentRecord>& components, const wchar_t* scriptPath) {
  std::vector<NetBindingRecord> records;
  BuildBindingRecords(installer, records);
  if (records.empty()) return;
  GUID adapter;
  NetBindingRecord* own = nullptr;
  if (ParseGuidText(adapterGuid, adapter)) {
    for (NetBindingRecord& r : records)
      if (memcmp(&r.InstanceGuid, &adapter, sizeof(GUID)) == 0) {
        own = &r;
        break;
      }
  }
  if (own) {
    own->UpperCount = 0;
    for (const NetComponentRecord& c : components) {
      GUID component;
      if (!c.Bound || !ParseGuidText(c.ComponentGuid, component)) continue;
      for (const NetBindingRecord& r : records) {
        if (memcmp(&r.InstanceGuid, &component, sizeof(GUID)) != 0) continue;
        if (r.ClassIndex == kNetConfigTrans ||
            (r.ClassIndex == kNetConfigService && IsOwnProtocolOrFilter(r.ComponentId)))
          own->AddUpper(r.Index);
        break;
      }
    }
  }
  WriteBindingRecords(installer, records);
  MirrorValueToStagingScript(installer, NetworkConfigKey(installer->ControlSet).c_str(), L"Config",
                             scriptPath);
}

}  // namespace

int32_t BindNewAdapter(CInfInstaller* installer, const wchar_t* adapterGuid,
                       const wchar_t* adapterKey, int32_t wrapperInstance,
                       const wchar_t* scriptPath) {
  if (!installer || !installer->Image || !adapterGuid || !adapterKey) return 0;
  const NetContext context = {installer->Image, installer->TargetVersion, installer->ControlSet};
  const uint32_t cs = installer->ControlSet;
  std::vector<NetComponentRecord> components;
  if (ComputeAdapterBindings(context, adapterKey, adapterGuid, wrapperInstance, components) == 0)
    return 0;
  int32_t consistent = MarkBoundComponents(context, components, adapterGuid);
  if (consistent) return consistent;

  RelinkConfig(installer, adapterGuid, components, scriptPath);

  std::vector<std::wstring> protocols;
  for (const NetComponentRecord& c : components)
    if (c.Bound && c.Kind == kNetConfigTrans && c.ServiceName[0])
      protocols.push_back(c.ServiceName);
  const std::wstring ownLinkage = SystemKeyPath(cs, L"Control\\Class\\%s\\Linkage", adapterKey);
  const std::wstring wrapperKey = SystemKeyPath(cs, L"Control\\Class\\%s\\%04u",
                                                kNetAdapterClassGuid, (unsigned)wrapperInstance);
  const std::wstring linkage = wrapperInstance != -1 ? wrapperKey + L"\\Linkage" : ownLinkage;
  WriteList(installer, linkage, L"UpperBind", protocols, scriptPath);
  const std::wstring kernel =
      SystemKeyPath(cs, L"Control\\NetworkSetup2\\Interfaces\\%s\\Kernel", adapterGuid);
  if (RegistryKeyExists(installer->Image, kernel))
    WriteList(installer, kernel, L"ProtocolList", protocols, scriptPath);

  if (wrapperInstance != -1) {
    std::wstring wrapperGuid;
    if (ReadRegistryText(installer->Image, wrapperKey, L"NetCfgInstanceId", wrapperGuid))
      WriteList(installer, linkage, L"RootDevice", {wrapperGuid, adapterGuid}, scriptPath);
    WriteList(installer, ownLinkage, L"RootDevice", {adapterGuid}, scriptPath);
    WriteList(installer, ownLinkage, L"UpperBind", {L"VRONDIS"}, scriptPath);
  }
  return 0;
}
