// The driver-pack injection behind the exported hardware and adapter
// operations: the driver for one workstation's device is found in the store,
// checked against what the image has, replayed from the cache or installed
// with the whole chain (registry and file passes, device instance, network
// configuration and binding, boot-time PnP registration), kept as a cache
// file, and the workstation noted in the store's history.
#pragma once
#include <stdint.h>

class CMountedImage;

// Results of the injection.
enum DriverPackResult : int32_t {
  kDriverPackCurrent = 1,    // the device has a current driver
  kDriverPackInstalled = 0,  // installed, replayed, or settings written
  kDriverPackNoSystemHive = -3,
  kDriverPackNotInStore = -4,  // also: unknown kind; no display instance
  kDriverPackNoVersion = -5,
  kDriverPackNoAdapterIdentity = -6,
  kDriverPackNoDeviceInf = -7,
  kDriverPackRegistryPassFailed = -8,
  kDriverPackFilePassFailed = -9,
  kDriverPackImportFailed = -10,
};

// Device kinds.
enum DriverPackKind : uint32_t {
  kDriverPackNetwork = 2,
  kDriverPackDisplay = 3,
  kDriverPackResolution = 51,  // hardwareId points to three uint16_t: X, Y, refresh
};

int32_t InstallHardwareDriverPack(CMountedImage* image, uint32_t kind, const wchar_t* hardwareId,
                                  const wchar_t* index, const wchar_t* address,
                                  const wchar_t* extra, uint32_t profileLow, uint32_t profileHigh);
// 1, -1 or 0: dotted versions compared part by part as numbers.
int CompareDottedVersions(const wchar_t* a, const wchar_t* b);
// 1 when an instance of the device has a driver of the store's version (any
// driver when the store names none), other than the basic display drivers.
int IsDeviceDriverCurrent(CMountedImage* image, uint32_t controlSet, const wchar_t* enumerator,
                          const wchar_t* hardwareId, const wchar_t* storeVersion,
                          wchar_t* instanceName, int instanceChars, wchar_t* classInstance,
                          int classChars);
// The default resolution written into every display class instance: 0 when
// at least one was written, -4 otherwise.
int32_t WriteDisplayDefaultSettings(CMountedImage* image, uint32_t controlSet, uint16_t x,
                                    uint16_t y, uint16_t refresh);
