// The driver store on the host: where it lies (the settings file's
// "DrvPath"), its folders per device class and target Windows, and the
// lookups every driver operation uses. Nothing is cached: each call reads
// the settings and the index files anew.
#pragma once
#include <stdint.h>

#include <string>

// Device classes of the store.
enum StoreClass : int {
  kStoreNetwork = 2,
  kStoreDisplay = 3,
  kStoreSound = 4,
};

// The store root: "DrvPath" of [Config] in the program's settings file (its
// own path with the extension "ini"), "G:\VroDrv" without one. out: 360.
void GetDriverStoreRoot(wchar_t* out);
// The store folder of a class and target Windows ("<root>\Network\6.1_x64");
// other class codes add no class level. out: 360.
void GetDriverStoreFolder(int storeClass, uint32_t windowsVersion, wchar_t* out);

// The package serving a device id (enumerator cut off, cut at "&SUBSYS_" and
// "&REV_"): 1 with the package folder's name in id (cut to length), 0 with
// id unchanged. The first section of VroDir.ini that lists the id wins.
int FindDriverInStore(int storeClass, uint32_t windowsVersion, wchar_t* id, int length);
// The highest dotted version among the folders a pattern matches, its name
// in out (100 characters); 0 with out untouched when none has a version.
uint64_t FindNewestVersionFolder(const wchar_t* pattern, wchar_t* out);
// The version folder an installation of the package takes: the
// workstation's own (section "Workstation" of its NConfig.ini; none when
// workstation is null), else the package's ("Config", "Version"), else the
// newest folder. At most 99 characters; "" when there is none.
std::wstring VersionToInstall(const std::wstring& packagePath, const wchar_t* workstation);
// Folders a pattern matches ("." and ".." not counted).
int CountSubfolders(const wchar_t* pattern);
// The PCI vendor number of a hardware id ("VEN_8086" -> 0x8086), 0 without.
uint32_t ParsePciVendorId(const wchar_t* hardwareId);
// The vendor of the first id of a NUL-separated list; 0 for none.
uint32_t CollectVendorIds(const wchar_t* ids);
