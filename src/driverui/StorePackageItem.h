// The driver packages of one store folder (a device class and target
// Windows) as the store pages and the setup dialogs show them: the package
// folders with their chosen version, the devices of a package version from
// its "VroPnp.ini" ([DeviceList] and the operator's [DeviceSelected]), the
// chosen version kept in the package's "NConfig.ini", and the deletion of a
// stored version. Nothing here touches a window.
//
// Layout: <store folder>\<package>\<version>\{VroPnp.inf, VroPnp.ini} and
// <store folder>\<package>\NConfig.ini; the store index <store
// folder>\VroDir.ini has one section "<enumerator>\<package>" per package.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

// One device entry of a package version.
struct StoreDeviceRecord {
  StoreDeviceRecord* next;
  wchar_t name[200];            // key of the [DeviceList] line, quotes removed
  wchar_t hardwareId[100];      // device id without its enumerator
  wchar_t installSection[100];  // text between "=" and ","
};

// The item data of a package row: owned by the row, freed with
// FreeStorePackageItem. The chain runs from the last [DeviceList] line to
// the first.
struct StorePackageItem {
  uint32_t versionCount;  // subfolders of the package folder
  uint32_t deviceCount;
  StoreDeviceRecord* devices;
};

void FreeStorePackageItem(StorePackageItem* item);

// The first record of the file's [DeviceList] (the last of the chain).
const StoreDeviceRecord* FirstListedDevice(const StorePackageItem* item);

// What one package row shows, read from the store.
struct StorePackageView {
  StorePackageItem* item = nullptr;  // handed to the row, else freed by the caller
  wchar_t name[200] = {};            // the effective device choice
  wchar_t hardwareId[100] = {};
  wchar_t installSection[100] = {};
  wchar_t version[100] = {};
  wchar_t infPath[360] = {};  // <folder>\<package>\<version>\VroPnp.inf
  bool ownPackage = false;    // [Version] "Vro" of VroPnp.inf non-zero
  bool used = false;          // [History] of NConfig.ini has a key
};

// Reads [DeviceList] of a "VroPnp.ini" into a new item (device count 0 and
// no chain when the section is missing) and the [DeviceSelected] triple
// (all three empty when its first line is malformed or missing).
StorePackageItem* ReadStoreDeviceList(const wchar_t* iniPath, wchar_t* selName, wchar_t* selSection,
                                      wchar_t* selId);

// Fills a view of <folder>\<package>\<version>. 1 when the package can be
// shown; 0 (nothing owned by the view) when it lists no device or its
// "VroPnp.inf" is not a file.
int ReadStorePackage(const wchar_t* storeFolder, const wchar_t* package, const wchar_t* version,
                     StorePackageView* view);

// A package folder and the version to show in it.
struct StorePackageChoice {
  std::wstring package;
  std::wstring version;
};
// The packages of a store folder in the file system's order, each with
// [Config] "Version" of its "NConfig.ini" or else its newest version folder;
// packages with neither are left out. Empty when the folder is missing.
std::vector<StorePackageChoice> ListStorePackages(const wchar_t* storeFolder);

// The package folder of a row's "VroPnp.inf" path (its grandparent folder)
// and that folder's name. Empty when the path is too short to hold one.
std::wstring PackageFolderOfInf(const wchar_t* infPath);

// Writes [Config] "Version" of the package's "NConfig.ini", the package
// being the one whose version folder holds `infPath`. Nonzero on success.
int SetStorePackageVersion(const wchar_t* infPath, const wchar_t* version);

// Replaces [DeviceSelected] of the "VroPnp.ini" beside `infPath` by the one
// line "\"name\"=section,id". Nonzero on success.
int WriteSelectedDeviceLine(const wchar_t* infPath, const wchar_t* name,
                            const wchar_t* installSection, const wchar_t* hardwareId);

// Outcome of deleting a stored version.
enum StoreDeleteResult : int {
  kStoreDeleteSkipped = 0,  // own package or a path too short: nothing done
  kStoreDeleteVersion = 1,  // the version went; `remaining` names the newest left
  kStoreDeletePackage = 2,  // it was the last: the package folder and its index section went
};
// Deletes the version folder of `infPath`. The package is the one that holds
// that folder (never one found again by a hardware id), and its index
// section in <store folder>\VroDir.ini is "<first device section of the
// version's VroPnp.ini, or PCI>\<package folder name>". remaining: 100.
StoreDeleteResult DeleteStorePackageVersion(const wchar_t* infPath, wchar_t* remaining);

// The version folders of a package folder in the file system's order.
std::vector<std::wstring> ListVersionFolders(const std::wstring& packageFolder);
