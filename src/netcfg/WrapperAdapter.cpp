#include "netcfg/WrapperAdapter.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "image/mount/MountedImage.h"
#include "netcfg/NetRegistry.h"
#include "netcfg/NsiInterface.h"

namespace {

// Hidden (0x20), software-enumerated (0x08) virtual (0x01) adapter.
const uint32_t kWrapperCharacteristics = 0x29;

// The instance key name as a number: its leading decimal digits.
int32_t InstanceNumber(const std::wstring& name) {
  return (int32_t)wcstoul(name.c_str(), nullptr, 10);
}

// True when the NSI record of the index exists and carries the GUID.
bool NsiRecordCarries(CMountedImage* image, uint32_t controlSet, uint32_t luidIndex,
                      const std::wstring& guidText) {
  GUID expected, recorded;
  std::vector<uint8_t> data;
  uint32_t type = 0;
  if (!ParseGuidText(guidText.c_str(), expected) ||
      !ReadRegistryBytes(image, NsiRecordsKey(controlSet), NsiRecordName(luidIndex).c_str(), data,
                         &type))
    return false;
  return NsiRecordGuid(data.data(), data.size(), recorded) &&
         memcmp(&expected, &recorded, sizeof(GUID)) == 0;
}

}  // namespace

int32_t FindWrapperAdapter(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet,
                           wchar_t* guidOut, uint32_t guidChars) {
  if (!image) return -1;
  const std::wstring classKey =
      SystemKeyPath(controlSet, L"Control\\Class\\%s", kNetAdapterClassGuid);
  const bool nsi = ((targetVersion >> 8) & 0xFF) >= 6;
  for (const std::wstring& instance : ListRegistrySubkeys(image, classKey)) {
    const std::wstring key = classKey + L"\\" + instance;
    uint32_t characteristics = 0, luidIndex = 0;
    std::wstring componentId, guid;
    if (!ReadRegistryDword(image, key, L"Characteristics", characteristics) ||
        (characteristics & kWrapperCharacteristics) != kWrapperCharacteristics)
      continue;
    if (!ReadRegistryText(image, key, L"ComponentId", componentId) ||
        _wcsicmp(componentId.c_str(), L"vrowrapp") != 0)
      continue;
    if (!ReadRegistryText(image, key, L"NetCfgInstanceId", guid)) continue;
    if (nsi && (!ReadRegistryDword(image, key, L"NetLuidIndex", luidIndex) ||
                !NsiRecordCarries(image, controlSet, luidIndex, guid)))
      continue;
    if (guidOut && guidChars > 0) {
      size_t n = guid.size() < guidChars - 1 ? guid.size() : guidChars - 1;
      memcpy(guidOut, guid.data(), n * sizeof(wchar_t));
      guidOut[n] = 0;
    }
    return InstanceNumber(instance);
  }
  return -1;
}
