// Small queries and edits of the offline network stack in the SYSTEM hive:
// device instances that still use a value, the linkage of an adapter below
// the installation's own wrapper adapter, stale or orphaned entries of
// "Config", protocol bindings and an adapter driver's version. Nothing here
// keeps state between calls; failed reads count as missing values and
// failed writes as not stored.
#pragma once
#include <stdint.h>

#include <string>

class CMountedImage;

// Appends entry to the string list value unless some entry equals it
// (ignoring case); a missing value stays missing.
void AppendListValueEntry(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                          const wchar_t* entry);
// 1 when some instance below Enum\<enumerator> has the value equal to text.
int32_t AnyEnumInstanceHasValue(CMountedImage* image, const wchar_t* enumerator,
                                uint32_t controlSet, const wchar_t* valueName, const wchar_t* text);
// Links the adapter and the protocol service to the wrapper adapter: its
// "RootDevice" and "UpperBind" gain them, and the own NDIS service's
// "UpperBindings" for the adapter names the wrapper. Missing values stay
// missing.
void WriteAdapterLinkage(CMountedImage* image, uint32_t controlSet, uint32_t targetVersion,
                         const wchar_t* adapterGuid, const wchar_t* serviceName);
// 1 when the component's key under Control\Network exists, or the class
// index is not one that has such a key; else 0.
int32_t AdapterConnectionKeyExists(const wchar_t* componentGuid, uint32_t classIndex,
                                   uint32_t controlSet, CMountedImage* image);
// Removes, one store at a time, every entry of "Config" whose component key
// is gone, with its binding records. Returns 0.
int32_t PruneNetworkConfigBlob(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet);
// Points the adapter's entry at a network device instance when its own
// instance has gone: RelinkAdapterConfigEntry's result, 0 without an entry.
int32_t RepairAdapterConfigEntry(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet,
                                 const wchar_t* adapterGuid);
// 1 when the instance is gone and a network instance was found (and handed
// to RewriteAdapterConfigEntry), else 0.
int32_t RelinkAdapterConfigEntry(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet,
                                 const wchar_t* adapterGuid, const wchar_t* pnpInstanceId);
// 1 when the adapter's entry was rewritten with the new ids and stored.
int32_t RewriteAdapterConfigEntry(uint32_t targetVersion, CMountedImage* image, uint32_t controlSet,
                                  const wchar_t* adapterGuid, const wchar_t* componentId,
                                  const wchar_t* pnpInstanceId);
// 1 when the NetTrans or NetClient component's service names the adapter in
// both "Route" and "Bind" of its Linkage; 1 for any other class index.
int32_t ComponentBindsAdapter(const wchar_t* componentGuid, uint32_t controlSet,
                              CMountedImage* image, uint32_t classIndex,
                              const wchar_t* adapterText);
// 1 with the adapter driver's "DriverVersion" (at most 99 characters) in out
// (100 units); 0 when it is missing.
int32_t ReadNetDriverVersion(const wchar_t* classInstance, uint32_t controlSet,
                             CMountedImage* image, wchar_t* out);

// The device-instance enumerators searched for a network instance.
extern const wchar_t* const kNetEnumerators[4];
