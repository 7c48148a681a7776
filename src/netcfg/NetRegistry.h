// Registry access shared by the network configuration routines: key paths of
// the offline SYSTEM hive's control set, typed value reads that hand back
// owned copies, subkey lists, and GUID texts as the network stack writes them.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "registry/RegistryReads.h"

class CMountedImage;

// Class keys below Control\Class and Control\Network.
extern const wchar_t kNetAdapterClassGuid[];  // "{4D36E972-E325-11CE-BFC1-08002BE10318}"
extern const wchar_t kNetTransClassGuid[];    // "{4d36e975-e325-11ce-bfc1-08002be10318}"
extern const wchar_t kNetClientClassGuid[];   // "{4d36e973-e325-11ce-bfc1-08002be10318}"
extern const wchar_t kNetServiceClassGuid[];  // "{4d36e974-e325-11ce-bfc1-08002be10318}"

// "HKEY_LOCAL_MACHINE\SYSTEM\ControlSet%03u\" followed by the formatted tail.
std::wstring SystemKeyPath(uint32_t controlSet, const wchar_t* tailFormat, ...);

// Braced upper-case text of a GUID (StringFromGUID2).
std::wstring GuidText(const GUID& guid);
// The binary GUID of a braced text; false when the text is no GUID.
bool ParseGuidText(const wchar_t* text, GUID& guid);

// Little-endian fields of binary values, read and written through bytes.
inline uint32_t GetLe32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline uint16_t GetLe16(const uint8_t* p) {
  return (uint16_t)(p[0] | (p[1] << 8));
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}
