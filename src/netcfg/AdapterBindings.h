// The network components bound, or to be bound, on top of one adapter of
// the offline Windows, gathered from every place the SYSTEM hive records
// them: the binding table of "Config", the components' own Linkage, the
// adapter's Linkage UpperBind, its NetworkSetup2 ProtocolList and the packet
// scheduler's filter list. Nothing here writes to the hive.
#pragma once
#include <stdint.h>

#include <vector>

class CMountedImage;
class NetworkConfigBlob;

// What the binding routines work on: the first three fields of an
// installation record, filled by hand outside an installation.
struct NetContext {
  CMountedImage* Image;
  uint32_t TargetVersion;
  uint32_t ControlSet;
};

// Where a component was found (NetComponentRecord::Sources).
enum NetComponentSource : uint32_t {
  kSourceConfig = 1,        // the Config binding table lists it above the adapter
  kSourceOwnLinkage = 2,    // its own Linkage binds it (Psched: the adapter's filter list)
  kSourceUpperBind = 4,     // the adapter's Linkage UpperBind names its service
  kSourceProtocolList = 8,  // the adapter's NetworkSetup2 ProtocolList names it
};

const uint32_t kNetComponentTextChars = 64;

struct NetComponentRecord {
  uint32_t Sources;
  uint32_t Kind;  // class index: 2 NetTrans, 3 NetClient, 4 NetService
  uint32_t Bound;
  wchar_t ComponentGuid[kNetComponentTextChars];  // braced; empty when unknown
  wchar_t ServiceName[kNetComponentTextChars];    // the record's identity
};

// Every component above the adapter, one record per service, sorted.
// adapterKey is "{4D36E972-...}\NNNN" below Control\Class; linkageInstance
// names the class instance whose Linkage is read instead of the adapter's
// own, or -1. The number of records added or merged.
int32_t ComputeAdapterBindings(const NetContext& context, const wchar_t* adapterKey,
                               const wchar_t* adapterGuid, int32_t linkageInstance,
                               std::vector<NetComponentRecord>& records);
// Sets Bound on every record; 1 when each record's sources agree with its
// bound state (and, before Windows 10, the own NDIS service is there).
int32_t MarkBoundComponents(const NetContext& context, std::vector<NetComponentRecord>& records,
                            const wchar_t* adapterGuid);
// 1 with the "Service" of Control\Network\<class>\<guid>\Ndi (cut to 63
// characters) for class index 2, 3 or 4; else 0.
int32_t ReadComponentService(const NetContext& context, uint32_t classIndex,
                             const wchar_t* componentGuid, wchar_t* serviceName);
// Merges the record into one of the same service (its sources ORed in), or
// appends it.
void AddComponentRecord(std::vector<NetComponentRecord>& records, const NetComponentRecord& record);
// The components that the binding table lists above the entry adapterIndex
// of a parsed "Config"; the number added.
int32_t CollectConfigBindings(const NetContext& context, const NetworkConfigBlob& blob,
                              uint32_t adapterIndex, std::vector<NetComponentRecord>& records);
// The sort order: NetClient first, then decreasing class index, then the
// service name ignoring case.
bool CompareBindingRecords(const NetComponentRecord& a, const NetComponentRecord& b);
