#include "netcfg/AdapterBindings.h"

#include <string.h>
#include <wchar.h>

#include <algorithm>
#include <string>

#include "common/MultiSz.h"
#include "common/TextSearch.h"
#include "netcfg/NetRegistry.h"
#include "netcfg/NetworkConfigBlob.h"

namespace {

void CopyCut(wchar_t* out, const wchar_t* text) {
  size_t n = text ? wcslen(text) : 0;
  if (n > kNetComponentTextChars - 1) n = kNetComponentTextChars - 1;
  if (n) memcpy(out, text, n * sizeof(wchar_t));
  out[n] = 0;
}

NetComponentRecord MakeRecord(uint32_t sources, uint32_t kind, uint32_t bound, const wchar_t* guid,
                              const wchar_t* service) {
  NetComponentRecord r;
  r.Sources = sources;
  r.Kind = kind;
  r.Bound = bound;
  CopyCut(r.ComponentGuid, guid);
  CopyCut(r.ServiceName, service);
  return r;
}

const wchar_t* ComponentClassKey(uint32_t classIndex) {
  switch (classIndex) {
    case kNetConfigTrans:
      return kNetTransClassGuid;
    case kNetConfigClient:
      return kNetClientClassGuid;
    case kNetConfigService:
      return kNetServiceClassGuid;
    default:
      return nullptr;
  }
}

// A protocol that binds to NDIS adapters of version 4, 5 or 6.
bool NdisLowerRange(const std::wstring& range) {
  return FindTextNoCase(range.c_str(), -1, L"ndis4") ||
         FindTextNoCase(range.c_str(), -1, L"ndis5") || FindTextNoCase(range.c_str(), -1, L"ndis6");
}

bool ListContains(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                  const wchar_t* text) {
  std::wstring list;
  return ReadRegistryList(image, key, name, list) && MultiSzContainsText(list.c_str(), text) == 0;
}

bool ServiceHasImage(const NetContext& c, const wchar_t* service) {
  std::wstring path;
  return ReadRegistryText(c.Image, SystemKeyPath(c.ControlSet, L"Services\\%s", service),
                          L"ImagePath", path);
}

// Every entry of a string list value; empty when it cannot be read.
std::vector<std::wstring> ListEntries(CMountedImage* image, const std::wstring& key,
                                      const wchar_t* name) {
  std::vector<std::wstring> entries;
  std::wstring list;
  if (!ReadRegistryList(image, key, name, list)) return entries;
  for (const wchar_t* p = list.c_str(); *p; p += wcslen(p) + 1) entries.push_back(p);
  return entries;
}

// Components of one class whose services bind to the adapter (source 2).
int32_t CollectClassComponents(const NetContext& c, uint32_t classIndex, const wchar_t* adapterGuid,
                               std::vector<NetComponentRecord>& records) {
  const std::wstring classKey =
      SystemKeyPath(c.ControlSet, L"Control\\Network\\%s", ComponentClassKey(classIndex));
  int32_t added = 0;
  for (const std::wstring& instance : ListRegistrySubkeys(c.Image, classKey)) {
    std::wstring range;
    if (classIndex == kNetConfigTrans &&
        (!ReadRegistryText(c.Image, classKey + L"\\" + instance + L"\\Ndi\\Interfaces",
                           L"LowerRange", range) ||
         !NdisLowerRange(range)))
      continue;
    wchar_t service[kNetComponentTextChars];
    if (!ReadComponentService(c, classIndex, instance.c_str(), service)) continue;
    const std::wstring linkage = SystemKeyPath(c.ControlSet, L"Services\\%s\\Linkage", service);
    bool both = ListContains(c.Image, linkage, L"Bind", adapterGuid) &&
                ListContains(c.Image, linkage, L"Route", adapterGuid);
    uint32_t start = 0;
    if (ReadRegistryDword(c.Image, SystemKeyPath(c.ControlSet, L"Services\\%s", service), L"Start",
                          start) &&
        start == 4)
      both = false;
    if (classIndex != kNetConfigTrans && !both) continue;
    AddComponentRecord(records, MakeRecord(both ? kSourceOwnLinkage : 0, classIndex, 0,
                                           instance.c_str(), service));
    ++added;
  }
  return added;
}

// Services named by a list that have an image path, as NetTrans records of
// one source.
int32_t CollectNamedServices(const NetContext& c, const std::vector<std::wstring>& names,
                             uint32_t source, std::vector<NetComponentRecord>& records) {
  int32_t added = 0;
  for (const std::wstring& s : names) {
    if (!ServiceHasImage(c, s.c_str())) continue;
    AddComponentRecord(records, MakeRecord(source, kNetConfigTrans, 0, L"", s.c_str()));
    ++added;
  }
  return added;
}

// The packet scheduler's record; 0 when it is disabled or has no instance.
int32_t CollectPacketScheduler(const NetContext& c, const wchar_t* adapterKey,
                               const wchar_t* adapterGuid,
                               std::vector<NetComponentRecord>& records) {
  uint32_t start = 0;
  if (ReadRegistryDword(c.Image, SystemKeyPath(c.ControlSet, L"Services\\Psched"), L"Start",
                        start) &&
      start == 4)
    return 0;
  const std::wstring classKey =
      SystemKeyPath(c.ControlSet, L"Control\\Network\\%s", kNetServiceClassGuid);
  for (const std::wstring& instance : ListRegistrySubkeys(c.Image, classKey)) {
    wchar_t service[kNetComponentTextChars];
    if (!ReadComponentService(c, kNetConfigService, instance.c_str(), service) ||
        _wcsicmp(service, L"Psched") != 0)
      continue;
    const bool filtered = ListContains(
        c.Image, SystemKeyPath(c.ControlSet, L"Control\\Class\\%s\\Linkage", adapterKey),
        L"FilterList", instance.c_str());
    const bool attached =
        filtered &&
        RegistryKeyExists(
            c.Image, SystemKeyPath(c.ControlSet, L"Services\\Psched\\Parameters\\NdisAdapters\\%s",
                                   adapterGuid));
    AddComponentRecord(records, MakeRecord(attached ? kSourceOwnLinkage : 0, kNetConfigService,
                                           filtered ? 1 : 0, instance.c_str(), L"Psched"));
    return 1;
  }
  return 0;
}

// The sources of a bound protocol whose bindings agree: before Windows 10
// and from Windows 10 on.
const uint32_t kTransSources = kSourceConfig | kSourceOwnLinkage | kSourceUpperBind;
const uint32_t kWindows10TransSources = kSourceOwnLinkage | kSourceUpperBind | kSourceProtocolList;

// NetClient first, then decreasing class index.
uint32_t KindRank(uint32_t kind) {
  return kind == kNetConfigClient ? 0 : 0xFFFFFFFF - kind;
}

}  // namespace

int32_t ReadComponentService(const NetContext& context, uint32_t classIndex,
                             const wchar_t* componentGuid, wchar_t* serviceName) {
  const wchar_t* classKey = ComponentClassKey(classIndex);
  std::wstring service;
  if (!classKey || !serviceName || !componentGuid ||
      !ReadRegistryText(context.Image,
                        SystemKeyPath(context.ControlSet, L"Control\\Network\\%s\\%s\\Ndi",
                                      classKey, componentGuid),
                        L"Service", service))
    return 0;
  CopyCut(serviceName, service.c_str());
  return 1;
}

void AddComponentRecord(std::vector<NetComponentRecord>& records,
                        const NetComponentRecord& record) {
  for (NetComponentRecord& r : records) {
    if (_wcsicmp(r.ServiceName, record.ServiceName) == 0) {
      r.Sources |= record.Sources;
      return;
    }
  }
  records.push_back(record);
}

int32_t CollectConfigBindings(const NetContext& context, const NetworkConfigBlob& blob,
                              uint32_t adapterIndex, std::vector<NetComponentRecord>& records) {
  int32_t added = 0;
  for (const NetConfigBinding& b : blob.Bindings) {
    if (b.lower != adapterIndex || b.upper >= blob.Entries.size()) continue;
    const NetConfigEntry& upper = blob.Entries[b.upper];
    std::wstring guid = GuidText(upper.guid);
    wchar_t service[kNetComponentTextChars];
    if (!ReadComponentService(context, upper.classIndex, guid.c_str(), service)) continue;
    AddComponentRecord(records,
                       MakeRecord(kSourceConfig, upper.classIndex, 0, guid.c_str(), service));
    ++added;
  }
  return added;
}

bool CompareBindingRecords(const NetComponentRecord& a, const NetComponentRecord& b) {
  if (KindRank(a.Kind) != KindRank(b.Kind)) return KindRank(a.Kind) < KindRank(b.Kind);
  return _wcsicmp(a.ServiceName, b.ServiceName) < 0;
}

int32_t ComputeAdapterBindings(const NetContext& context, const wchar_t* adapterKey,
                               const wchar_t* adapterGuid, int32_t linkageInstance,
                               std::vector<NetComponentRecord>& records) {
  if (!context.Image || !adapterKey || !adapterGuid) return 0;
  const NetContext& c = context;
  int32_t count = 0;

  std::vector<uint8_t> data;
  NetworkConfigBlob blob(NetworkConfigBlob::LayoutOf(c.TargetVersion));
  if (ReadRegistryBytes(c.Image, SystemKeyPath(c.ControlSet, L"Control\\Network"), L"Config",
                        data) &&
      blob.Parse(data.data(), (uint32_t)data.size()) == kNetConfigParsed) {
    uint32_t index = blob.FindComponent(adapterGuid);
    if (index < blob.Entries.size()) count += CollectConfigBindings(c, blob, index, records);
  }

  for (uint32_t classIndex : {kNetConfigTrans, kNetConfigClient, kNetConfigService})
    count += CollectClassComponents(c, classIndex, adapterGuid, records);

  const std::wstring linkage =
      linkageInstance != -1
          ? SystemKeyPath(c.ControlSet, L"Control\\Class\\%s\\%04u\\Linkage", kNetAdapterClassGuid,
                          (unsigned)linkageInstance)
          : SystemKeyPath(c.ControlSet, L"Control\\Class\\%s\\Linkage", adapterKey);
  std::wstring roots;
  if (ReadRegistryList(c.Image, linkage, L"RootDevice", roots) &&
      MultiSzFindEntry(roots.c_str(), adapterGuid) >= 0)
    count += CollectNamedServices(c, ListEntries(c.Image, linkage, L"UpperBind"), kSourceUpperBind,
                                  records);

  count += CollectNamedServices(
      c,
      ListEntries(c.Image,
                  SystemKeyPath(c.ControlSet, L"Control\\NetworkSetup2\\Interfaces\\%s\\Kernel",
                                adapterGuid),
                  L"ProtocolList"),
      kSourceProtocolList, records);

  count += CollectPacketScheduler(c, adapterKey, adapterGuid, records);

  std::sort(records.begin(), records.end(), CompareBindingRecords);
  return count;
}

int32_t MarkBoundComponents(const NetContext& context, std::vector<NetComponentRecord>& records,
                            const wchar_t* adapterGuid) {
  if (!context.Image || !adapterGuid) return 0;
  const NetContext& c = context;
  for (NetComponentRecord& r : records) {
    if (r.Bound) continue;
    if (ListContains(c.Image, SystemKeyPath(c.ControlSet, L"Services\\%s\\Linkage", r.ServiceName),
                     L"Bind", adapterGuid) ||
        RegistryKeyExists(c.Image,
                          SystemKeyPath(c.ControlSet, L"Services\\%s\\Parameters\\Adapters\\%s",
                                        r.ServiceName, adapterGuid)))
      r.Bound = 1;
  }

  const bool windows10 = ((c.TargetVersion >> 8) & 0xFF) >= 10;
  bool ownNdisSeen = false;
  for (const NetComponentRecord& r : records) {
    bool agrees;
    if (!windows10 && _wcsicmp(r.ServiceName, L"VroNdis") == 0)
      agrees = ownNdisSeen = r.Bound && r.Sources == kSourceConfig;
    else if (!r.Bound)
      agrees = r.Sources == 0;
    else if (windows10)
      agrees = r.Sources ==
               (r.Kind == kNetConfigTrans ? kWindows10TransSources : (uint32_t)kSourceOwnLinkage);
    else if (r.Kind == kNetConfigTrans)
      agrees = r.Sources == kTransSources;
    else
      agrees = (r.Sources & kSourceOwnLinkage) != 0;
    if (!agrees) return 0;
  }
  return windows10 || ownNdisSeen ? 1 : 0;
}
