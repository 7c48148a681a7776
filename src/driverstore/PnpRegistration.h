// Devices of the installation's boot-time PnP driver: the device section of
// a package's VroPnp.ini, the index section that lists a hardware id, and
// the device list "PnpList" of the driver's service in the offline SYSTEM
// hive. Id lists are NUL-separated texts closed by two more NULs.
#pragma once
#include <stdint.h>

#include <string>

class CMountedImage;

// The ids of the first device section of a VroPnp.ini (not "DeviceList",
// "DeviceSelected" or "Vro_..."); its name into name (nameChars) when given.
// Empty when there is none.
std::wstring ReadPendingDeviceSection(const wchar_t* iniPath, wchar_t* name, int nameChars);
// Every line of the first section that lists hardwareId; the section name
// split at its first backslash into before (100) and after (60), "PCI" in
// before for a name without one. Empty, buffers untouched, when no section
// lists it.
std::wstring FindHardwareIdSections(const wchar_t* iniPath, const wchar_t* hardwareId,
                                    wchar_t* before, wchar_t* after);
// Records a device in the PnP list of a control set: an earlier record of
// the same vendor that claims one of the ids gives way (its Enum key takes
// the new id). 1 when the device's value was written; 0 for an empty list
// or when a registry write failed.
int RegisterPnpDevice(CMountedImage* image, uint32_t controlSet, std::wstring ids,
                      const wchar_t* section);
