// Typed reads of the offline registry for the engines that work on it by
// full key path (driver store, driver installation, network configuration):
// owned copies of values, texts, numbers and string lists, and the subkey
// and value lists of a key.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

class CMountedImage;

// True when the key exists (its subkey count can be read).
bool RegistryKeyExists(CMountedImage* image, const std::wstring& key);
// The value's bytes (and type); false when it cannot be read.
bool ReadRegistryBytes(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                       std::vector<uint8_t>& data, uint32_t* type = nullptr);
// A text value up to its first NUL (or its end); false when unreadable.
bool ReadRegistryText(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                      std::wstring& text);
// A number value: its first four bytes, fewer zero-extended; false when
// unreadable or empty.
bool ReadRegistryDword(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                       uint32_t& value);
// A string list (REG_MULTI_SZ data) ended by two NULs whatever the stored
// data held; false when unreadable.
bool ReadRegistryList(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                      std::wstring& list);

// The subkey names of a key in the hive's order; empty when it has none or
// is missing.
std::vector<std::wstring> ListRegistrySubkeys(CMountedImage* image, const std::wstring& key);

struct RegistryValue {
  std::wstring name;
  uint32_t type;
  std::vector<uint8_t> data;
};
// The values of a key in the hive's order; empty when it has none or is
// missing.
std::vector<RegistryValue> ListRegistryValues(CMountedImage* image, const std::wstring& key);
