// Registry access shared by the network configuration routines: key paths of
// the offline SYSTEM hive's control set, typed value reads that hand back
// owned copies, subkey lists, and GUID texts as the network stack writes them.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

class CMountedImage;

// Class keys below Control\Class and Control\Network.
extern const wchar_t kNetAdapterClassGuid[];   // "{4D36E972-E325-11CE-BFC1-08002BE10318}"
extern const wchar_t kNetTransClassGuid[];     // "{4d36e975-e325-11ce-bfc1-08002be10318}"
extern const wchar_t kNetClientClassGuid[];    // "{4d36e973-e325-11ce-bfc1-08002be10318}"
extern const wchar_t kNetServiceClassGuid[];   // "{4d36e974-e325-11ce-bfc1-08002be10318}"

// "HKEY_LOCAL_MACHINE\SYSTEM\ControlSet%03u\" followed by the formatted tail.
std::wstring SystemKeyPath(uint32_t controlSet, const wchar_t* tailFormat, ...);

// True when the key exists (its subkey count can be read).
bool NetKeyExists(CMountedImage* image, const std::wstring& key);

// The value's bytes (and type); false when it cannot be read.
bool ReadNetValue(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                  std::vector<uint8_t>& data, uint32_t* type = nullptr);
// A text value up to its first NUL (or its end); false when unreadable.
bool ReadNetText(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                 std::wstring& text);
// A number value: its first four bytes, fewer zero-extended; false when
// unreadable or empty.
bool ReadNetDword(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                  uint32_t& value);
// A string list (REG_MULTI_SZ data) ended by two NULs whatever the stored
// data held; false when unreadable.
bool ReadNetList(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                 std::wstring& list);

// The subkey names of a key in the hive's order; empty when it has none or
// is missing.
std::vector<std::wstring> ListNetSubkeys(CMountedImage* image, const std::wstring& key);

// Braced upper-case text of a GUID (StringFromGUID2).
std::wstring GuidText(const GUID& guid);
// The binary GUID of a braced text; false when the text is no GUID.
bool ParseGuidText(const wchar_t* text, GUID& guid);

// Little-endian fields of binary values, read and written through bytes.
inline uint32_t GetLe32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24); }
inline uint16_t GetLe16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline void PutLe32(uint8_t* p, uint32_t v) { p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); p[2] = (uint8_t)(v >> 16); p[3] = (uint8_t)(v >> 24); }
inline void PutLe16(uint8_t* p, uint16_t v) { p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); }
