#include "netcfg/NetworkConfig.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "common/MultiSz.h"
#include "common/TextSearch.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "netcfg/NetRegistry.h"
#include "netcfg/NetStackQueries.h"
#include "registry/hive/RegTypes.h"

namespace {

void CopyCut(wchar_t* out, const std::wstring& text) {
  size_t n = text.size() < kNetRecordTextChars - 1 ? text.size() : kNetRecordTextChars - 1;
  memcpy(out, text.data(), n * sizeof(wchar_t));
  out[n] = 0;
}

int ParseValueBuf(const RegValueBuf* value, NetworkConfigBlob& blob) {
  if (!value) return kNetConfigMissing;
  return blob.Parse(value->data, value->length);
}

bool IsOwnComponent(const std::wstring& componentId, bool layout64) {
  if (_wcsicmp(componentId.c_str(), L"vroproto") == 0) return true;
  return !layout64 && _wcsicmp(componentId.c_str(), L"vro_ndis") == 0;
}

bool InList(const uint32_t* list, int32_t count, uint32_t index) {
  for (int32_t i = 0; i < count; ++i)
    if (list[i] == index) return true;
  return false;
}

// Binding records {each listed component on top of the adapter}.
void AppendLinks(std::vector<NetConfigBinding>& records, const uint32_t* list, int32_t count,
                 uint32_t adapterIndex) {
  for (int32_t k = 0; k < count; ++k) {
    NetConfigBinding b;
    b.upper = list[k];
    b.lower = adapterIndex;
    records.push_back(b);
  }
}

}  // namespace

NetBindingRecord::NetBindingRecord() {
  for (uint32_t& u : Upper) u = 0xFFFFFFFF;
}

bool NetBindingRecord::AddUpper(uint32_t index) {
  if (UpperCount >= kNetRecordUpperLinks) return false;
  Upper[UpperCount++] = index;
  return true;
}

std::wstring NetworkConfigKey(uint32_t controlSet) {
  return SystemKeyPath(controlSet, L"Control\\Network");
}

int ReadNetworkConfig(CInfInstaller* installer, std::vector<uint8_t>& data,
                      NetworkConfigBlob& blob) {
  if (!installer || !ReadRegistryBytes(installer->Image, NetworkConfigKey(installer->ControlSet),
                                       L"Config", data))
    return kNetConfigMissing;
  return blob.Parse(data.data(), (uint32_t)data.size());
}

int32_t FindConfigComponent(CInfInstaller* installer, const RegValueBuf* value,
                            const wchar_t* guidText) {
  if (!installer) return -1;
  NetworkConfigBlob blob(NetworkConfigBlob::LayoutOf(installer->TargetVersion));
  if (ParseValueBuf(value, blob) != kNetConfigParsed) return -1;
  uint32_t index = blob.FindComponent(guidText);
  return index < blob.Entries.size() ? (int32_t)index : -1;
}

int32_t GetConfigComponent(const RegValueBuf* value, CInfInstaller* installer, uint32_t index,
                           wchar_t* guidText) {
  if (!installer) return -1;
  NetworkConfigBlob blob(NetworkConfigBlob::LayoutOf(installer->TargetVersion));
  if (ParseValueBuf(value, blob) != kNetConfigParsed || index >= blob.Entries.size()) return -1;
  if (guidText) {
    std::wstring text = GuidText(blob.Entries[index].guid).substr(0, 63);
    wcscpy(guidText, text.c_str());
  }
  return (int32_t)blob.Entries[index].classIndex;
}

int BuildBindingRecords(CInfInstaller* installer, std::vector<NetBindingRecord>& records) {
  std::vector<uint8_t> data;
  NetworkConfigBlob blob(installer ? NetworkConfigBlob::LayoutOf(installer->TargetVersion) : false);
  int parsed = ReadNetworkConfig(installer, data, blob);
  if (parsed != kNetConfigParsed) return parsed;
  size_t first = records.size();
  for (size_t i = 0; i < blob.Entries.size(); ++i) {
    const NetConfigEntry& e = blob.Entries[i];
    NetBindingRecord r;
    r.Index = (uint32_t)i;
    r.ClassIndex = e.classIndex;
    r.Characteristics = e.characteristics;
    r.InstanceGuid = e.guid;
    CopyCut(r.ComponentId, e.componentId);
    CopyCut(r.PnpInstanceId, e.pnpInstanceId);
    records.push_back(r);
  }
  for (const NetConfigBinding& b : blob.Bindings) {
    for (size_t i = first; i < records.size(); ++i) {
      if (records[i].Index == b.lower) {
        records[i].AddUpper(b.upper);
        break;
      }
    }
  }
  return kNetConfigParsed;
}

uint32_t WriteBindingRecords(CInfInstaller* installer,
                             const std::vector<NetBindingRecord>& records) {
  if (!installer || !installer->Image) return REG_STATUS_FAILURE;
  NetworkConfigBlob blob(NetworkConfigBlob::LayoutOf(installer->TargetVersion));
  std::vector<uint8_t> out;
  blob.AppendHeader(out, (uint32_t)records.size());
  uint32_t links = 0;
  for (const NetBindingRecord& r : records) {
    std::wstring componentId(r.ComponentId, wcsnlen(r.ComponentId, kNetRecordTextChars));
    std::wstring pnpId(r.PnpInstanceId, wcsnlen(r.PnpInstanceId, kNetRecordTextChars));
    blob.AppendEntry(out, r.InstanceGuid, r.ClassIndex, r.Characteristics, componentId.c_str(),
                     pnpId.c_str());
    links += r.UpperCount < kNetRecordUpperLinks ? r.UpperCount : kNetRecordUpperLinks;
  }
  blob.AppendHeader(out, links);
  for (const NetBindingRecord& r : records) {
    uint32_t count = r.UpperCount < kNetRecordUpperLinks ? r.UpperCount : kNetRecordUpperLinks;
    for (uint32_t k = 0; k < count; ++k) {
      NetConfigBinding b;
      b.upper = r.Upper[k];
      b.lower = r.Index;
      blob.AppendBinding(out, b);
    }
  }
  blob.AppendBinding(out, NetConfigBinding());
  return installer->Image->RegSetValue(NetworkConfigKey(installer->ControlSet).c_str(), L"Config",
                                       out.data(), (uint32_t)out.size(), HIVE_REG_BINARY);
}

int32_t AddOwnBindings(CInfInstaller* installer, const wchar_t* adapterGuid,
                       const NetworkConfigBlob& blob, uint32_t adapterIndex,
                       uint32_t list[kNetRecordUpperLinks]) {
  if (!installer || !adapterGuid || !list) return 0;
  CMountedImage* image = installer->Image;
  const uint32_t cs = installer->ControlSet;
  const bool layout64 = blob.Layout64();
  int32_t count = 0;

  for (size_t i = 0; i < blob.Entries.size(); ++i) {
    if (IsOwnComponent(blob.Entries[i].componentId, layout64)) {
      if (!blob.HasBinding((uint32_t)i, adapterIndex)) list[count++] = (uint32_t)i;
      break;
    }
  }

  std::wstring transKey =
      SystemKeyPath(cs, L"Control\\Network\\%s", L"{4D36E975-E325-11CE-BFC1-08002BE10318}");
  for (const std::wstring& p : ListRegistrySubkeys(image, transKey)) {
    std::wstring range;
    if (!ReadRegistryText(image, transKey + L"\\" + p + L"\\Ndi\\Interfaces", L"LowerRange", range))
      continue;
    if (!FindTextNoCase(range.c_str(), -1, L"ndis4") &&
        !FindTextNoCase(range.c_str(), -1, L"ndis5") &&
        !FindTextNoCase(range.c_str(), -1, L"ndis6"))
      continue;
    std::wstring service, bind;
    if (!ReadRegistryText(
            image,
            SystemKeyPath(cs, L"Control\\Network\\%s\\%s\\Ndi", kNetTransClassGuid, p.c_str()),
            L"Service", service))
      continue;
    if (!ReadRegistryList(image, SystemKeyPath(cs, L"Services\\%s\\Linkage", service.c_str()),
                          L"Bind", bind))
      continue;
    bool binds = MultiSzContainsText(bind.c_str(), adapterGuid) == 0;
    if (layout64 || binds)
      WriteAdapterLinkage(image, cs, installer->TargetVersion, adapterGuid, service.c_str());
    if (!binds) continue;
    uint32_t index = blob.FindComponent(p.c_str());
    if (index < blob.Entries.size() && !blob.HasBinding(index, adapterIndex) &&
        count < (int32_t)kNetRecordUpperLinks && !InList(list, count, index))
      list[count++] = index;
  }
  if (count > 0) return count;

  for (const NetConfigBinding& b : blob.Bindings) {
    if (b.lower != adapterIndex || b.upper >= blob.Entries.size()) continue;
    const NetConfigEntry& upper = blob.Entries[b.upper];
    std::wstring text = GuidText(upper.guid);
    if (!ComponentBindsAdapter(text.c_str(), cs, image, upper.classIndex, adapterGuid) &&
        count < (int32_t)kNetRecordUpperLinks)
      list[count++] = b.upper;
  }
  return -count;
}

int32_t AddAdapterToNetworkConfig(CInfInstaller* installer, const wchar_t* adapterGuid,
                                  const wchar_t* componentId, const wchar_t* pnpInstanceId,
                                  const wchar_t* scriptPath) {
  if (!installer || !installer->Image || !adapterGuid) return 0;
  CMountedImage* image = installer->Image;
  const std::wstring key = NetworkConfigKey(installer->ControlSet);
  int32_t result = 0;

  std::vector<uint8_t> data;
  NetworkConfigBlob blob(NetworkConfigBlob::LayoutOf(installer->TargetVersion));
  GUID guid;
  if (ReadNetworkConfig(installer, data, blob) == kNetConfigParsed &&
      ParseGuidText(adapterGuid, guid)) {
    const uint32_t index = blob.FindComponent(adapterGuid);
    uint32_t list[kNetRecordUpperLinks];
    int32_t n = AddOwnBindings(installer, adapterGuid, blob, index, list);
    std::vector<NetConfigBinding> records = blob.Bindings;
    std::vector<uint8_t> value;
    if (index == blob.Entries.size()) {
      std::vector<uint8_t> entry;
      blob.AppendEntry(entry, guid, kNetConfigAdapter, kNetConfigAdapterCharacteristics,
                       componentId, pnpInstanceId);
      AppendLinks(records, list, n, index);
      value = blob.Rebuild(data.data(), index, index, entry, 1, records);
    } else if (n > 0) {
      AppendLinks(records, list, n, index);
      value = blob.Rebuild(data.data(), 0, 0, std::vector<uint8_t>(), 0, records);
    } else if (n < 0) {
      int32_t removable = -n;
      for (size_t r = 0; r < records.size() && removable > 0;) {
        if (records[r].lower == index && InList(list, -n, records[r].upper)) {
          records.erase(records.begin() + r);
          --removable;
        } else {
          ++r;
        }
      }
      value = blob.Rebuild(data.data(), 0, 0, std::vector<uint8_t>(), 0, records);
    }
    if (!value.empty() && image->RegWriteValueData(key.c_str(), L"Config", value.data(),
                                                   (uint32_t)value.size()) == REG_STATUS_OK)
      result = 1;
  }

  PruneNetworkConfigBlob(image, installer->TargetVersion, installer->ControlSet);
  RepairAdapterConfigEntry(image, installer->TargetVersion, installer->ControlSet, adapterGuid);
  MirrorValueToStagingScript(installer, key.c_str(), L"Config", scriptPath);
  return result;
}
