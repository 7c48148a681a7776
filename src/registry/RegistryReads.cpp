// Typed reads of the offline registry.
#include "registry/RegistryReads.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "registry/hive/RegTypes.h"

namespace {

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24);
}

}  // namespace

bool RegistryKeyExists(CMountedImage* image, const std::wstring& key) {
  return image && image->RegGetSubkeyCount(key.c_str()) >= 0;
}

bool ReadRegistryBytes(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                       std::vector<uint8_t>& data, uint32_t* type) {
  data.clear();
  if (!image) return false;
  uint32_t t = 0;
  RegValueBuf* value = nullptr;
  if (image->RegQueryValue(key.c_str(), name, &t, &value) != REG_STATUS_OK || !value) return false;
  data.assign(value->data, value->data + value->length);
  free(value);
  if (type) *type = t;
  return true;
}

bool ReadRegistryText(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                      std::wstring& text) {
  text.clear();
  std::vector<uint8_t> data;
  if (!ReadRegistryBytes(image, key, name, data)) return false;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    wchar_t c = (wchar_t)(data[i] | (data[i + 1] << 8));
    if (!c) break;
    text += c;
  }
  return true;
}

bool ReadRegistryDword(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                       uint32_t& value) {
  std::vector<uint8_t> data;
  if (!ReadRegistryBytes(image, key, name, data) || data.empty()) return false;
  uint8_t bytes[4] = {0, 0, 0, 0};
  memcpy(bytes, data.data(), data.size() < 4 ? data.size() : 4);
  value = Le32(bytes);
  return true;
}

bool ReadRegistryList(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                      std::wstring& list) {
  list.clear();
  std::vector<uint8_t> data;
  if (!ReadRegistryBytes(image, key, name, data)) return false;
  for (size_t i = 0; i + 1 < data.size(); i += 2) list += (wchar_t)(data[i] | (data[i + 1] << 8));
  list.append(2, L'\0');
  return true;
}

std::vector<std::wstring> ListRegistrySubkeys(CMountedImage* image, const std::wstring& key) {
  std::vector<std::wstring> names;
  uint8_t* list = static_cast<uint8_t*>(ListHiveSubkeys(image, key.c_str()));
  if (!list) return names;
  uint32_t count = Le32(list);
  for (uint32_t i = 0; i < count; ++i) {
    const RegSubkeyEntry* e =
        reinterpret_cast<const RegSubkeyEntry*>(list + 8 + (size_t)i * sizeof(RegSubkeyEntry));
    names.push_back(std::wstring(e->name, wcsnlen(e->name, 1024)));
  }
  free(list);
  return names;
}

std::vector<RegistryValue> ListRegistryValues(CMountedImage* image, const std::wstring& key) {
  std::vector<RegistryValue> out;
  uint8_t* list = static_cast<uint8_t*>(ListHiveValues(image, key.c_str()));
  if (!list) return out;
  uint32_t count = Le32(list);
  for (uint32_t i = 0; i < count; ++i) {
    RegValueEntry* e =
        reinterpret_cast<RegValueEntry*>(list + 8 + (size_t)i * sizeof(RegValueEntry));
    RegistryValue v{std::wstring(e->name, wcsnlen(e->name, 1024)), e->type, {}};
    if (e->data) {
      v.data.assign(e->data->data, e->data->data + e->data->length);
      free(e->data);
    }
    out.push_back(v);
  }
  free(list);
  return out;
}
