// Driver cache files: what a driver-pack injection did for a boot-time PnP
// profile (its staging script with the placed files), kept enciphered on
// the host as "Cache\<profile id>_<hardware id>.dat" beside the program and
// replayed by the next injection of the same hardware for the same profile
// into the same Windows installation. The file records that installation
// (the hardware profile GUID of its SYSTEM hive), the driver key, the
// service and the package version it wrote, the digests of every file of
// the version folder it read (the per-device INF, the combined INF, the
// device list) and of every store file it placed, and carries a digest of
// its plain text; a file that names another installation or version, none,
// fails its digest, was written by a build whose entries had other forms,
// or whose store files are no longer those it read and placed is never
// replayed.
#pragma once
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

class CMountedImage;
class CInfInstaller;

// RC4 in place with a key derived from the MD5 hash of a text (the default
// provider's rules). Nonzero on success.
int Rc4EncryptWithTextKey(uint8_t* data, uint32_t length, const char* keyText);
int Rc4DecryptWithTextKey(uint8_t* data, uint32_t length, const char* keyText);
// A whole file enciphered (deciphered) into another with the key of a
// 64-bit id ("%016I64x"). Nonzero on success; files of 2 bytes or less are
// refused.
int EncryptFileWithValueKey(const wchar_t* source, const wchar_t* target, uint32_t idLow,
                            uint32_t idHigh);
int DecryptFileWithValueKey(const wchar_t* source, const wchar_t* target, uint32_t idLow,
                            uint32_t idHigh);
// The cache file's path for a profile id and hardware id (out: 360); its
// folder is created.
void FormatDriverCachePath(uint64_t profileId, const wchar_t* hardwareId, wchar_t* out);
// The text that tells one Windows installation from another: the GUID of
// its current hardware profile, made when Windows was installed. Empty when
// the SYSTEM hive (loaded) has none.
std::wstring ReadWindowsInstallationId(CMountedImage* image, uint32_t controlSet);
// What a cache file records of the installation it was made from, beside
// the Windows installation and the control set its keys were written
// into: its driver key ("{guid}\NNNN"), its service,
// the package version it installed, the adapter configuration (network)
// it took, and the files of the version folder it read.
struct DriverCacheOwner {
  const wchar_t* driverKey;
  const wchar_t* service;
  const wchar_t* version;
  const wchar_t* adapter;
  const std::vector<std::wstring>* readFiles;  // full paths
};
// Writes the owner into a staging script (after its file pass) before it
// becomes a cache file, with the digests of every file it read and of the
// store file of every file and link the script placed. Nonzero on success;
// 0 when one of them cannot be read.
int RecordDriverCacheOwner(CMountedImage* image, uint32_t controlSet, const wchar_t* scriptPath,
                           const DriverCacheOwner& owner);
// The staging script kept as the cache file of a profile and hardware id:
// its plain text followed by the SHA-256 digest of that text, enciphered
// whole. Nonzero on success; a file that could not be written whole is
// removed.
int WriteDriverCacheFile(const wchar_t* scriptPath, uint64_t profileId, const wchar_t* hardwareId);

// What the installation would do now, which a cache file must match to be
// replayed in its place.
struct DriverReplayTarget {
  const wchar_t* hardwareId;
  uint64_t profileId;
  const wchar_t* version;        // the package version the store would install
  const wchar_t* versionFolder;  // its folder: every cached source lies in it
  const wchar_t* adapter;        // the adapter configuration (network), else null
  const std::vector<std::wstring>* fileNames;  // names of the files the package places
  const std::vector<std::wstring>* readFiles;  // the files of the version folder it reads
  // Makes ready the hives the cached registry data names beyond SYSTEM
  // (loaded and kept for the rollback); false fails the replay. Without
  // it, data for a hive that is not loaded is not replayed.
  std::function<bool(const wchar_t* script)> prepareHives;
};

// Results of a replay.
enum DriverReplayResult : int {
  kReplayNotDone = 0,        // no cache file that may be replayed: install
  kReplayDone = 1,           // replayed
  kReplayFilesFailed = -1,   // a file could not be placed
  kReplayImportFailed = -2,  // the registry data could not be imported
};

// Replays the cache file of the target's profile and hardware id when it
// is whole (its digest holds), was made for this Windows installation and
// its current control set (Select\Current, the set the keys name) from
// the same package version with the same adapter configuration, which no
// other driver key claims, its driver key and service belong to no other
// device, the files the installation reads are those it read then, each as
// it was (the per-device INF included), and every file it places is one the package names, lands on no folder and
// comes from the version folder, which holds it as it was then. Nothing is
// changed before all of this is known;
// files are placed beside the ones they replace and swapped in, in the
// caller's file swap (CInfInstaller::BeginFileSwap), which the caller ends
// once it knows whether the installation holds; nothing else in the image
// is deleted. The registry data goes into the loaded hives.
int ReplayDriverCache(CInfInstaller* installer, const DriverReplayTarget& target);
