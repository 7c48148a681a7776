// Removal of one network adapter from the offline Windows with all its
// traces: device instance and container entry, network class key, "Config"
// entries, bindings naming its GUID, TCP/IP and remote-access interfaces,
// its NSI interface record and LUID index bit, and its driver's service and
// file when nothing else uses them. Works straight in the loaded SYSTEM
// hive and the mounted volume; nothing goes through a staging script.
#pragma once
#include <stdint.h>

class CMountedImage;
class CInfInstaller;

// Removes the adapter of device instance enumerator\device\instance and
// network class instance classInstance (may be empty). allowLastEntry lets
// the last "Config" entry of its GUID go. With `fileSwap`, the driver file
// goes in that installation's file swap. Returns 1.
int32_t RemoveNetAdapter(const wchar_t* enumerator, const wchar_t* device, CMountedImage* image,
                         uint32_t targetVersion, uint32_t controlSet, const wchar_t* classInstance,
                         const wchar_t* instance, uint32_t allowLastEntry,
                         CInfInstaller* fileSwap = nullptr);
// An adapter configuration has one driver key: once a new adapter's class
// instance names the GUID, every other network class instance that names it
// is removed as an adapter (its device instances other than the new one's
// path "enumerator\device\instance", its class key, its "Config" entries,
// its driver's service and file when nothing else uses them, the file in
// the installation's file swap); the configuration itself, which the new
// adapter took over, stays. The number of class instances removed.
int32_t RemoveOtherAdapterClaims(CInfInstaller* installer, const wchar_t* adapterGuid,
                                 const wchar_t* keptClassInstance, const wchar_t* keptDevicePath);
// Before Windows 10: removes the "Config" entries of the device instance
// path and re-links the NDIS protocols bound to the adapter to the wrapper
// adapter; then prunes and repairs the value. 1 when an entry was removed.
int32_t UnbindAdapterFromComponents(CMountedImage* image, uint32_t targetVersion,
                                    uint32_t controlSet, const wchar_t* adapterGuid,
                                    const wchar_t* devicePath, uint32_t allowLastEntry);
// Unless the own NDIS service, the own filter or a network class instance
// still names the GUID: deletes its connection key and every binding,
// interface key and NSI record naming it. 1 when the connection key went.
int32_t CleanAdapterBindings(CMountedImage* image, uint32_t controlSet, const wchar_t* adapterGuid);
