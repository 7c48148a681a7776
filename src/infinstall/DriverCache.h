// Driver cache files: what a driver-pack injection did for a boot-time PnP
// profile (its staging script with the placed files), kept enciphered on
// the host as "Cache\<profile id>_<hardware id>.dat" beside the program and
// replayed by the next injection of the same hardware for the same profile
// into the same Windows installation. The file records that installation
// (the hardware profile GUID of its SYSTEM hive), the driver key and the
// service it wrote; a file that names another installation, or none, is
// never replayed.
#pragma once
#include <stdint.h>

#include <string>

class CMountedImage;

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
// Records in a staging script, before it becomes a cache file, the
// installation it was made for, its driver key ("{guid}\NNNN") and its
// service. Nonzero on success.
int RecordDriverCacheOwner(CMountedImage* image, uint32_t controlSet, const wchar_t* scriptPath,
                           const wchar_t* driverKey, const wchar_t* service);
// Imports the cached registry data and places the cached files and links
// again, when the cache file was made for this Windows installation and
// its driver key and service belong to no other device there. 1 when a
// cache file was replayed.
int ReplayDriverCache(CMountedImage* image, const wchar_t* hardwareId, uint32_t idLow,
                      uint32_t idHigh);
