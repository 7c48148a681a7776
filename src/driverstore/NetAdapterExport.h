// Backing up the driver of a network adapter installed in an offline Windows
// into the driver store: an INF written from what the installation left in
// the SYSTEM hive, and the driver files copied out of the image, as a
// one-model package version shaped like an import.
#pragma once
#include <stdint.h>

#include <string>

class CMountedImage;

int ExportNetAdapterInf(CMountedImage* image, uint32_t windowsVersion, const wchar_t* description,
                        const wchar_t* classInstance, const wchar_t* targetFolder,
                        const wchar_t* packageFolder, const wchar_t* versionFolder,
                        const wchar_t* enumerator, const wchar_t* deviceId,
                        const wchar_t* instanceId);
// AddReg lines (appended to `lines`, each NUL-terminated) for the string and
// DWORD values of every subkey of a key but "Ndi" and "Linkage".
void WalkClassKeyToInfLines(CMountedImage* image, const wchar_t* keyPath, const wchar_t* prefix,
                            std::wstring& lines, bool recurse);
// The same for the values of one key.
void WalkKeyValuesToInfLines(CMountedImage* image, const wchar_t* keyPath,
                             const wchar_t* relativeName, std::wstring& lines);
