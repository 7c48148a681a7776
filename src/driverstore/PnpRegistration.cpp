// Device sections and the boot-time PnP device list.
#include "driverstore/PnpRegistration.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "common/IniSection.h"
#include "driverstore/DriverStore.h"
#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "registry/hive/RegTypes.h"

namespace {

const int kKeyChars = 1024;

std::wstring LinesOf(const wchar_t* lines) {
  std::wstring out;
  for (const wchar_t* p = lines; p && *p; p += wcslen(p) + 1) {
    out += p;
    out.push_back(L'\0');
  }
  out.push_back(L'\0');
  out.push_back(L'\0');
  return out;
}

// The ids of a list, one by one.
template <typename F>
void ForEachId(const wchar_t* list, size_t chars, F f) {
  for (size_t i = 0; i < chars && list[i];) {
    size_t n = wcsnlen(list + i, chars - i);
    if (f(std::wstring(list + i, n))) return;
    i += n + 1;
  }
}

}  // namespace

std::wstring ReadPendingDeviceSection(const wchar_t* iniPath, wchar_t* name, int nameChars) {
  std::wstring names = ReadIniSectionNames(iniPath);
  for (const wchar_t* s = names.c_str(); *s; s += wcslen(s) + 1) {
    if (_wcsicmp(s, L"DeviceList") == 0 || _wcsicmp(s, L"DeviceSelected") == 0 ||
        _wcsnicmp(s, L"Vro_", 4) == 0)
      continue;
    wchar_t* lines = ReadIniSection(iniPath, s);
    if (!lines) continue;
    std::wstring ids = LinesOf(lines);
    delete[] lines;
    if (name && nameChars > 0) lstrcpynW(name, s, nameChars);
    return ids;
  }
  return std::wstring();
}

std::wstring FindHardwareIdSections(const wchar_t* iniPath, const wchar_t* hardwareId,
                                    wchar_t* before, wchar_t* after) {
  std::wstring names = ReadIniSectionNames(iniPath);
  for (const wchar_t* s = names.c_str(); hardwareId && *s; s += wcslen(s) + 1) {
    wchar_t* lines = ReadIniSection(iniPath, s);
    bool hit = false;
    for (const wchar_t* p = lines; p && *p && !hit; p += wcslen(p) + 1)
      hit = _wcsicmp(p, hardwareId) == 0;
    if (!hit) {
      delete[] lines;
      continue;
    }
    if (before) {
      const wchar_t* slash = wcschr(s, L'\\');
      if (slash) {
        lstrcpynW(before, s, (int)(slash - s + 1 < 100 ? slash - s + 1 : 100));
        if (after) lstrcpynW(after, slash + 1, 60);
      } else {
        lstrcpynW(before, L"PCI", 100);
      }
    }
    std::wstring ids = LinesOf(lines);
    delete[] lines;
    return ids;
  }
  return std::wstring();
}

int RegisterPnpDevice(CMountedImage* image, uint32_t controlSet, std::wstring ids,
                      const wchar_t* section) {
  if (!image || !section || ids.empty() || !ids[0]) return 0;
  uint32_t vendor = CollectVendorIds(ids.c_str());
  wchar_t key[kKeyChars];
  _snwprintf(key, kKeyChars,
             L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Services\\VROPNP\\PnpList", controlSet);
  key[kKeyChars - 1] = 0;
  const std::wstring first = ids.c_str();
  const std::wstring valueName = std::wstring(section) + L"\\" + first;
  // The list's length in bytes: every id with its NUL, and the closing NUL.
  size_t chars = 0;
  ForEachId(ids.c_str(), ids.size(), [&](const std::wstring& id) {
    chars += id.size() + 1;
    return false;
  });
  const uint32_t bytes = (uint32_t)((chars + 1) * 2);

  uint8_t* values = static_cast<uint8_t*>(ListHiveValues(image, key));
  uint32_t count = values ? *reinterpret_cast<uint32_t*>(values) : 0;
  for (uint32_t i = 0; i < count; ++i) {
    RegValueEntry* v =
        reinterpret_cast<RegValueEntry*>(values + 8 + (size_t)i * sizeof(RegValueEntry));
    RegValueBuf* data = v->data;
    if (v->type == HIVE_REG_MULTI_SZ && data &&
        CollectVendorIds((const wchar_t*)data->data) == vendor) {
      bool claimed = false;
      ForEachId((const wchar_t*)data->data, data->length / 2, [&](const std::wstring& old) {
        ForEachId(ids.c_str(), ids.size(), [&](const std::wstring& id) {
          claimed = _wcsicmp(old.c_str(), id.c_str()) == 0;
          return claimed;
        });
        return claimed;
      });
      // An earlier device of the vendor claiming one of the ids gives
      // way: its value goes, its Enum key takes the new id.
      if (claimed && _wcsicmp(v->name, valueName.c_str()) != 0) {
        image->RegDeleteValue(key, v->name);
        wchar_t enumKey[kKeyChars];
        _snwprintf(enumKey, kKeyChars, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Enum\\%s",
                   controlSet, v->name);
        enumKey[kKeyChars - 1] = 0;
        image->RegRenameKey(enumKey, first.c_str());
        wchar_t instance[kKeyChars];
        _snwprintf(instance, kKeyChars,
                   L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Enum\\%s\\%s\\VRO&Node&Pnp",
                   controlSet, section, first.c_str());
        instance[kKeyChars - 1] = 0;
        uint32_t type = 0;
        RegValueBuf* driver = nullptr;
        if (image->RegQueryValue(instance, L"Driver", &type, &driver) == REG_STATUS_OK && driver) {
          std::wstring d((const wchar_t*)driver->data, driver->length / 2);
          free(driver);
          while (!d.empty() && !d.back()) d.pop_back();
          wchar_t driverKey[kKeyChars];
          _snwprintf(driverKey, kKeyChars,
                     L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Control\\Class\\%s", controlSet,
                     d.c_str());
          driverKey[kKeyChars - 1] = 0;
          uint32_t len = (uint32_t)((valueName.size() + 1) * 2);
          image->RegSetValue(driverKey, L"MatchingDeviceId", valueName.c_str(), len, HIVE_REG_SZ);
          image->RegSetValue(driverKey, L"ComponentId", valueName.c_str(), len, HIVE_REG_SZ);
        }
      }
    }
    if (data) free(data);
  }
  if (values) free(values);

  uint32_t created = image->RegCreateKey(key);
  if (created != REG_STATUS_OK && created != REG_STATUS_EXISTS) return 0;
  std::wstring list;
  ForEachId(ids.c_str(), ids.size(), [&](const std::wstring& id) {
    list += id;
    list.push_back(L'\0');
    return false;
  });
  list.push_back(L'\0');
  // A device whose record cannot be written is not registered.
  return image->RegSetValue(key, valueName.c_str(), list.data(), bytes, HIVE_REG_MULTI_SZ) ==
                 REG_STATUS_OK
             ? 1
             : 0;
}
