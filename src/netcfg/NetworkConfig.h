// The network configuration value "Config" of Control\Network as the
// installation uses it: its entries as records with their upper links, the
// value rebuilt from such records, and the entry of a newly installed
// adapter with the bindings of the installation's own protocol and filter.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <vector>

#include "netcfg/NetworkConfigBlob.h"

class CInfInstaller;
struct RegValueBuf;

// Capacity of the texts and of the upper links of one record.
const uint32_t kNetRecordTextChars = 100;
const uint32_t kNetRecordUpperLinks = 100;

// One entry of the value with the indices of the components bound on top of it.
struct NetBindingRecord {
  uint32_t Index = 0;
  uint32_t ClassIndex = 0;
  uint32_t Characteristics = 0;
  GUID InstanceGuid = {};
  wchar_t ComponentId[kNetRecordTextChars] = {};
  wchar_t PnpInstanceId[kNetRecordTextChars] = {};
  uint32_t UpperCount = 0;
  uint32_t Upper[kNetRecordUpperLinks];

  NetBindingRecord();
  // Appends an upper link; false (nothing kept) when the list is full.
  bool AddUpper(uint32_t index);
};

// The "Config" key path of the installer's control set.
std::wstring NetworkConfigKey(uint32_t controlSet);

// Reads and parses "Config" in the target's layout; kNetConfigParsed, or
// kNetConfigMissing / kNetConfigEmpty / kNetConfigDamaged.
int ReadNetworkConfig(CInfInstaller* installer, std::vector<uint8_t>& data,
                      NetworkConfigBlob& blob);

// Index of the first entry carrying the GUID text, or -1.
int32_t FindConfigComponent(CInfInstaller* installer, const RegValueBuf* blob,
                            const wchar_t* guidText);
// Class index of the entry at index with its braced GUID text (64 units)
// copied out; -1 when there is no such entry or the value is damaged.
int32_t GetConfigComponent(const RegValueBuf* blob, CInfInstaller* installer, uint32_t index,
                           wchar_t* guidText);

// The entries of "Config" as records, in order, with their upper links.
// Appends nothing unless the result is kNetConfigParsed.
int BuildBindingRecords(CInfInstaller* installer, std::vector<NetBindingRecord>& records);
// The value rebuilt from records: zero header words, the entries in vector
// order, one binding per upper link, one zero terminating record. Registry
// status of the store.
uint32_t WriteBindingRecords(CInfInstaller* installer,
                             const std::vector<NetBindingRecord>& records);

// The bindings the installation's own component and the NDIS protocols bound
// to the adapter still lack: n > 0 indices in `list`, or -n stale bindings of
// NetTrans and NetClient components to remove, or 0.
int32_t AddOwnBindings(CInfInstaller* installer, const wchar_t* adapterGuid,
                       const NetworkConfigBlob& blob, uint32_t adapterIndex,
                       uint32_t list[kNetRecordUpperLinks]);

// Enters the adapter into "Config" (targets before Windows 10) and binds the
// installation's own components to it; then prunes stale entries, repairs
// the adapter's entry and copies "Config" into the staging script. 1 when
// the value was written back, else 0.
int32_t AddAdapterToNetworkConfig(CInfInstaller* installer, const wchar_t* adapterGuid,
                                  const wchar_t* componentId, const wchar_t* pnpInstanceId,
                                  const wchar_t* scriptPath);
