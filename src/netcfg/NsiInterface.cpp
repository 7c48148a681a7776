#include "netcfg/NsiInterface.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "image/mount/MountedImage.h"
#include "netcfg/NetRegistry.h"
#include "registry/RegistryFacade.h"
#include "registry/hive/RegTypes.h"

namespace {

// Fields of a record as this system writes it.
enum : uint32_t {
  kNsiNameOffset = 6,
  kNsiDescriptionLengthOffset = 520,
  kNsiDescriptionOffset = 522,
  kNsiTextUnits = 257,
  kNsiIfTypeOffset = 1036,
  kNsiTemplateOffset = 1056,
  kNsiFilledOffset = 1156,
};

struct NsiValue {
  std::wstring name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// The values of a key with owned copies of their data; false without any.
bool ListValues(CMountedImage* image, const std::wstring& key, std::vector<NsiValue>& values) {
  uint8_t* list = static_cast<uint8_t*>(ListHiveValues(image, key.c_str()));
  if (!list) return false;
  uint32_t count = GetLe32(list);
  for (uint32_t i = 0; i < count; ++i) {
    RegValueEntry* e =
        reinterpret_cast<RegValueEntry*>(list + 8 + (size_t)i * sizeof(RegValueEntry));
    NsiValue v;
    v.name.assign(e->name, wcsnlen(e->name, 1024));
    v.type = e->type;
    if (e->data) v.data.assign(e->data->data, e->data->data + e->data->length);
    free(e->data);
    values.push_back(v);
  }
  free(list);
  return true;
}

void PutText(uint8_t* at, const wchar_t* text, size_t units) {
  for (size_t i = 0; i + 1 < units && text[i]; ++i) PutLe16(at + i * 2, (uint16_t)text[i]);
}

}  // namespace

std::wstring NsiRecordsKey(uint32_t controlSet) {
  return SystemKeyPath(controlSet, L"Control\\Nsi\\{eb004a11-9b1a-11d4-9123-0050047759bc}\\10");
}

std::wstring NsiIfTypeKey(uint32_t controlSet) {
  return SystemKeyPath(controlSet, L"Services\\NDIS\\IfTypes\\6");
}

std::wstring NsiRecordName(uint32_t luidIndex) {
  wchar_t name[32];
  _snwprintf(name, 32, L"%08x00000600", luidIndex);
  name[31] = 0;
  return name;
}

bool ParseNsiRecordName(const wchar_t* name, uint32_t* luidIndex, uint32_t* ifType) {
  if (!name || !name[0] || wcslen(name) > 16) return false;
  uint64_t value = 0;
  for (const wchar_t* p = name; *p; ++p) {
    wchar_t c = *p;
    uint32_t digit;
    if (c >= L'0' && c <= L'9')
      digit = c - L'0';
    else if (c >= L'a' && c <= L'f')
      digit = c - L'a' + 10;
    else if (c >= L'A' && c <= L'F')
      digit = c - L'A' + 10;
    else
      return false;
    value = (value << 4) | digit;
  }
  if (luidIndex) *luidIndex = (uint32_t)(value >> 32);
  if (ifType) *ifType = (uint32_t)value >> 8;
  return true;
}

bool NsiRecordGuid(const uint8_t* data, size_t length, GUID& guid) {
  if (!data || length < kNsiGuidOffset + sizeof(GUID)) return false;
  memcpy(&guid, data + kNsiGuidOffset, sizeof(GUID));
  return true;
}

std::vector<uint8_t> BuildNsiRecord(const GUID& guid, const uint8_t* templateRecord) {
  std::vector<uint8_t> r(kNsiRecordBytes, 0);
  PutLe16(&r[0], 0x01AE);
  PutLe16(&r[2], 0x0484);
  PutLe16(&r[4], 8);
  wchar_t connection[40] = {0};
  if (LoadStringW(GetModuleHandleW(nullptr), kNsiConnectionNameString, connection, 40) <= 0)
    connection[0] = 0;
  PutText(&r[kNsiNameOffset], connection, kNsiTextUnits);
  static const wchar_t kDescription[] = L"Ethernet Controller";
  PutLe16(&r[kNsiDescriptionLengthOffset], (uint16_t)(wcslen(kDescription) * 2));
  PutText(&r[kNsiDescriptionOffset], kDescription, kNsiTextUnits);
  PutLe32(&r[kNsiIfTypeOffset], kNsiEthernetType);
  memcpy(&r[kNsiGuidOffset], &guid, sizeof(GUID));
  if (templateRecord) memcpy(&r[kNsiTemplateOffset], templateRecord + kNsiTemplateOffset, 16);
  PutLe32(&r[1072], 1);
  PutLe32(&r[1084], 2);
  PutLe16(&r[1088], 6);
  PutLe16(&r[1122], 6);
  memset(&r[kNsiFilledOffset], 0xFF, kNsiRecordBytes - kNsiFilledOffset);
  return r;
}

bool NsiIndexBitSet(const std::vector<uint8_t>& bitmap, uint32_t index) {
  return index / 8 < bitmap.size() && (bitmap[index / 8] & (1u << (index % 8))) != 0;
}

void SetNsiIndexBit(std::vector<uint8_t>& bitmap, uint32_t index) {
  if (bitmap.size() <= index / 8) bitmap.resize((size_t)index / 8 + 1, 0);
  bitmap[index / 8] |= (uint8_t)(1u << (index % 8));
}

uint32_t RegisterNsiInterface(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet,
                              const wchar_t* adapterGuid) {
  std::vector<NsiValue> values;
  const std::wstring key = NsiRecordsKey(controlSet);
  if (!image || !ListValues(image, key, values)) return kNsiNoIndex;
  GUID guid;
  if (!ParseGuidText(adapterGuid, guid)) return kNsiNoIndex;

  for (const NsiValue& v : values) {
    uint32_t index = 0, type = 0;
    GUID recorded;
    if (!ParseNsiRecordName(v.name.c_str(), &index, &type) || type != kNsiEthernetType ||
        v.type != HIVE_REG_BINARY || v.data.size() != kNsiRecordBytes ||
        !NsiRecordGuid(v.data.data(), v.data.size(), recorded) ||
        memcmp(&recorded, &guid, sizeof(GUID)) != 0)
      continue;
    if (index != kNsiNoIndex) return index;
    break;
  }
  if (((targetVersion >> 8) & 0xFF) < 6) return kNsiNoIndex;

  const NsiValue* templateValue = nullptr;
  for (const NsiValue& v : values) {
    if (v.type == HIVE_REG_BINARY && v.data.size() == kNsiRecordBytes) {
      templateValue = &v;
      break;
    }
  }
  if (!templateValue) return kNsiNoIndex;
  std::vector<uint8_t> record = BuildNsiRecord(guid, templateValue->data.data());

  // The smallest index no Ethernet name uses, whatever the value holds.
  std::vector<uint8_t> used;
  for (const NsiValue& v : values) {
    uint32_t index = 0, type = 0;
    if (ParseNsiRecordName(v.name.c_str(), &index, &type) && type == kNsiEthernetType &&
        index <= values.size())
      SetNsiIndexBit(used, index);
  }
  uint32_t n = 0;
  while (NsiIndexBitSet(used, n)) ++n;

  if (image->RegSetValue(key.c_str(), NsiRecordName(n).c_str(), record.data(),
                         (uint32_t)record.size(), HIVE_REG_BINARY) != REG_STATUS_OK)
    return kNsiNoIndex;

  std::vector<uint8_t> bitmap;
  const std::wstring ifType = NsiIfTypeKey(controlSet);
  ReadRegistryBytes(image, ifType, L"IfUsedNetLuidIndices", bitmap);
  SetNsiIndexBit(bitmap, n);
  while (bitmap.size() > 1 && bitmap.back() == 0) bitmap.pop_back();
  if (image->RegSetValue(ifType.c_str(), L"IfUsedNetLuidIndices", bitmap.data(),
                         (uint32_t)bitmap.size(), HIVE_REG_BINARY) != REG_STATUS_OK)
    return kNsiNoIndex;
  return n;
}
