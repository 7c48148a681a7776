// Device-install steps: the service's load-order tag, the driver the new one
// replaces, device-instance values, and the boot-time PnP instances with a
// new adapter's identity and Linkage.
#include "infinstall/InfInstaller.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/PathUtil.h"
#include "common/RegText.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfText.h"
#include "infinstall/RegScriptFile.h"
#include "registry/RegistryReads.h"
#include "registry/hive/RegTypes.h"

using namespace inftext;

namespace {

const int kKeyChars = 1024;
const wchar_t kPnpInstance[] = L"VRO&Node&Pnp";
const uint32_t kTagToFront = 0x1;  // AddService's SPSVCINST_TAGTOFRONT

std::wstring Key(const CInfInstaller* inst, const wchar_t* format, const wchar_t* a = L"",
                 const wchar_t* b = L"", const wchar_t* c = L"") {
  wchar_t tail[kKeyChars], key[kKeyChars];
  _snwprintf(tail, kKeyChars, format, a, b, c);
  tail[kKeyChars - 1] = 0;
  _snwprintf(key, kKeyChars, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\%s", inst->ControlSet,
             tail);
  key[kKeyChars - 1] = 0;
  return key;
}

bool ReadText(CMountedImage* image, const std::wstring& key, const wchar_t* name,
              std::wstring& text) {
  return ReadRegistryText(image, key, name, text);
}

bool ReadDword(CMountedImage* image, const std::wstring& key, const wchar_t* name, uint32_t& out) {
  return ReadRegistryDword(image, key, name, out);
}

// The names of a key's subkeys; false when the key cannot be listed.
bool Subkeys(CMountedImage* image, const std::wstring& key, std::vector<std::wstring>& names) {
  names = ListRegistrySubkeys(image, key);
  return RegistryKeyExists(image, key);
}

std::wstring Sz(const std::wstring& text) {
  return RegScriptStringData(Escaped(text));
}

std::wstring MfgText(const wchar_t* infPath) {
  std::wstring mfg = ReadInfValue(infPath, L"Version", L"Mfg");
  if (mfg.empty()) mfg = ReadInfValue(infPath, L"Version", L"Provider");
  return mfg.substr(0, 99);
}

// The DriverDesc that the registry pass staged for the driver key.
std::wstring StagedDescription(CInfInstaller* inst, const std::wstring& driverKey,
                               const wchar_t* script, size_t chars) {
  std::vector<wchar_t> text(chars + 1, L'\0');
  if (!inst->ReadRegValue(driverKey.c_str(), L"DriverDesc", text.data(), (int)chars, script))
    return L"";
  std::wstring staged = text.data();
  if (staged.size() >= 2 && staged.front() == L'"' && staged.back() == L'"')
    staged = staged.substr(1, staged.size() - 2);
  return staged;  // already in script form
}

void StageInstanceValues(CInfInstaller* inst, const std::wstring& instance,
                         const wchar_t* className, const wchar_t* infPath, const wchar_t* service,
                         const wchar_t* script) {
  inst->WriteRegValue(instance.c_str(), L"Class", Sz(className).c_str(), script);
  inst->WriteRegValue(instance.c_str(), L"ClassGUID", Sz(inst->ClassGuid).c_str(), script);
  inst->WriteRegValue(instance.c_str(), L"Mfg", Sz(MfgText(infPath)).c_str(), script);
  inst->WriteRegValue(instance.c_str(), L"Service", Sz(service ? service : L"").c_str(), script);
  inst->WriteRegValue(instance.c_str(), L"Capabilities", L"dword:00000000", script);
  inst->WriteRegValue(instance.c_str(), L"ConfigFlags", L"dword:00000000", script);
}

std::wstring MultiSzHex(const std::wstring& one) {
  std::wstring list = one;
  list.push_back(L'\0');
  list.push_back(L'\0');
  std::wstring hex;
  FormatRegHexString(hex, kRegHexLineMax, list.c_str(), list.size(), HIVE_REG_MULTI_SZ);
  return hex;
}

}  // namespace

int32_t CInfInstaller::AssignServiceTag(const wchar_t* serviceName, const wchar_t* scriptPath) {
  if (!serviceName || !*serviceName || !scriptPath) return 0;
  wchar_t group[100];
  if (!ReadRegValue(Key(this, L"Services\\%s", serviceName).c_str(), L"Group", group, 100,
                    scriptPath))
    return 0;
  std::wstring g = group;
  if (g.size() >= 2 && g.front() == L'"' && g.back() == L'"') g = g.substr(1, g.size() - 2);
  if (g.empty()) return 0;
  uint32_t tag = 0;
  std::vector<std::wstring> services;
  Subkeys(Image, Key(this, L"Services"), services);
  for (const std::wstring& s : services) {
    std::wstring key = Key(this, L"Services\\%s", s.c_str()), sGroup;
    uint32_t sTag = 0;
    if (ReadText(Image, key, L"Group", sGroup) && _wcsicmp(sGroup.c_str(), g.c_str()) == 0 &&
        ReadDword(Image, key, L"Tag", sTag) && sTag >= tag)
      tag = sTag + 1;
  }
  wchar_t data[24];
  _snwprintf(data, 24, L"dword:%08x", tag);
  data[23] = 0;
  if (!WriteRegValue(Key(this, L"Services\\%s", serviceName).c_str(), L"Tag", data, scriptPath))
    return 0;
  if (!(OwnServiceFlags & kTagToFront)) return 1;
  // The group's load order: a count and the tags in the order their
  // drivers load; the tag goes first, out of any other place it had.
  const std::wstring orderKey = Key(this, L"Control\\GroupOrderList");
  uint32_t type = 0;
  std::vector<uint8_t> old;
  if (CurrentRegValue(orderKey.c_str(), g.c_str(), scriptPath, &type, &old) < 0) return 0;
  std::vector<uint32_t> order = {tag};
  uint32_t count = 0;
  if (old.size() >= 4) memcpy(&count, old.data(), 4);
  for (size_t i = 0; i < count && 8 + 4 * i <= old.size(); ++i) {
    uint32_t t;
    memcpy(&t, old.data() + 4 + 4 * i, 4);
    if (t != tag) order.push_back(t);
  }
  std::vector<uint8_t> list(4 * (order.size() + 1));
  const uint32_t n = uint32_t(order.size());
  memcpy(list.data(), &n, 4);
  memcpy(list.data() + 4, order.data(), 4 * order.size());
  return WriteRegValue(orderKey.c_str(), g.c_str(),
                       FormatRegHexBytes(HIVE_REG_BINARY, list.data(), list.size()).c_str(),
                       scriptPath);
}

int32_t CInfInstaller::RemoveReplacedDriver(const wchar_t* serviceName, const wchar_t* driverFile,
                                            const wchar_t* classInstance) {
  if (!Image || !serviceName || !classInstance) return 1;
  int32_t freeOld = 1;
  std::wstring oldService;
  if (ReadText(Image, Key(this, L"Control\\Class\\%s\\%s\\Ndi", ClassGuid, classInstance),
               L"Service", oldService) &&
      _wcsicmp(oldService.c_str(), serviceName) != 0) {
    std::vector<std::wstring> instances;
    Subkeys(Image, Key(this, L"Control\\Class\\%s", ClassGuid), instances);
    for (const std::wstring& j : instances) {
      std::wstring other;
      if (_wcsicmp(j.c_str(), classInstance) != 0 &&
          ReadText(Image, Key(this, L"Control\\Class\\%s\\%s\\Ndi", ClassGuid, j.c_str()),
                   L"Service", other) &&
          _wcsicmp(other.c_str(), oldService.c_str()) == 0) {
        freeOld = 0;
        break;
      }
    }
    if (freeOld) {
      Image->RegDeleteKey(Key(this, L"Services\\%s", oldService.c_str()).c_str());
      return freeOld;
    }
  }
  // The new service's previous driver file, when its name changed.
  std::wstring imagePath;
  if (!driverFile ||
      !ReadText(Image, Key(this, L"Services\\%s", serviceName), L"ImagePath", imagePath))
    return freeOld;
  const wchar_t* oldFile = FindFileNamePart(imagePath.c_str());
  if (_wcsicmp(oldFile, driverFile) == 0) return freeOld;
  // Only a file no other service names may go; when the services cannot
  // be read, nothing is deleted.
  std::vector<std::wstring> services;
  if (!Subkeys(Image, Key(this, L"Services"), services) || services.empty()) return freeOld;
  for (const std::wstring& s : services) {
    std::wstring other;
    if (_wcsicmp(s.c_str(), serviceName) != 0 &&
        ReadText(Image, Key(this, L"Services\\%s", s.c_str()), L"ImagePath", other) &&
        _wcsicmp(FindFileNamePart(other.c_str()), oldFile) == 0)
      return freeOld;
  }
  wchar_t path[400], company[100] = {0};
  ExpandImageSystemPath(imagePath.c_str(), path, 400, Image);
  if (!Image->GetFileCompanyName(path, company, 100) ||
      _wcsicmp(company, L"Microsoft Corporation") != 0)
    DeleteImageFile(path);
  return freeOld;
}

int32_t CInfInstaller::StageDeviceInstanceKeys(const wchar_t* infPath, const wchar_t* scriptPath,
                                               const wchar_t* enumerator,
                                               const wchar_t* serviceName,
                                               const wchar_t* driverKey) {
  if (!infPath || !scriptPath || !enumerator || !driverKey) return 0;
  int32_t matched = 0;
  std::vector<std::wstring> devices, instances;
  Subkeys(Image, Key(this, L"Enum\\%s", enumerator), devices);
  std::wstring description =
      StagedDescription(this, Key(this, L"Control\\Class\\%s", driverKey), scriptPath, 99);
  for (const std::wstring& d : devices) {
    Subkeys(Image, Key(this, L"Enum\\%s\\%s", enumerator, d.c_str()), instances);
    for (const std::wstring& i : instances) {
      std::wstring key = Key(this, L"Enum\\%s\\%s\\%s", enumerator, d.c_str(), i.c_str()), driver;
      if (!ReadText(Image, key, L"Driver", driver) || _wcsicmp(driver.c_str(), driverKey) != 0)
        continue;
      StageInstanceValues(this, key, ClassName, infPath, serviceName, scriptPath);
      if (!description.empty())
        WriteRegValue(key.c_str(), L"DriverDesc", description.c_str(), scriptPath);
      matched = 1;
    }
  }
  return matched;
}

int32_t CInfInstaller::StageNetDeviceInstance(const wchar_t* infPath, const wchar_t* scriptPath,
                                              const wchar_t* deviceId, const wchar_t* serviceName,
                                              const wchar_t* classInstance, uint32_t netLuidIndex) {
  std::wstring driver = Key(this, L"Control\\Class\\%s\\%s", ClassGuid, classInstance);
  if (netLuidIndex != 0xFFFFFFFFu) {
    wchar_t data[24];
    _snwprintf(data, 24, L"dword:%08x", netLuidIndex);
    data[23] = 0;
    WriteRegValue(driver.c_str(), L"NetLuidIndex", data, scriptPath);
  }
  std::wstring instance = Key(this, L"Enum\\%s\\%s", deviceId, kPnpInstance);
  StageInstanceValues(this, instance, L"Net", infPath, serviceName, scriptPath);
  WriteRegValue(instance.c_str(), L"DeviceDesc",
                StagedDescription(this, driver, scriptPath, 199).c_str(), scriptPath);
  WriteRegValue(instance.c_str(), L"Driver",
                Sz(std::wstring(ClassGuid) + L"\\" + classInstance).c_str(), scriptPath);
  WriteRegValue(Key(this, L"Services\\%s", serviceName ? serviceName : L"").c_str(), L"BootFlags",
                L"dword:00000001", scriptPath);
  return 1;
}

int32_t CInfInstaller::StageDisplayDeviceInstance(const wchar_t* infPath, const wchar_t* scriptPath,
                                                  const wchar_t* deviceId,
                                                  const wchar_t* serviceName,
                                                  const wchar_t* classInstance) {
  std::wstring driver = Key(this, L"Control\\Class\\%s\\%s", ClassGuid, classInstance);
  std::wstring description = StagedDescription(this, driver, scriptPath, 199);
  WriteRegValue(driver.c_str(), L"HardwareInformation.AdapterString", description.c_str(),
                scriptPath);
  for (const wchar_t* name : {L"HardwareInformation.ChipType", L"HardwareInformation.DacType",
                              L"HardwareInformation.BiosString"})
    WriteRegValue(driver.c_str(), name, L"n/a", scriptPath);
  WriteRegValue(driver.c_str(), L"HardwareInformation.MemorySize", L"dword:00000000", scriptPath);
  std::wstring instance = Key(this, L"Enum\\%s\\%s", deviceId, kPnpInstance);
  StageInstanceValues(this, instance, L"Display", infPath, serviceName, scriptPath);
  WriteRegValue(instance.c_str(), L"DeviceDesc", description.c_str(), scriptPath);
  WriteRegValue(instance.c_str(), L"Driver",
                Sz(std::wstring(ClassGuid) + L"\\" + classInstance).c_str(), scriptPath);
  WriteRegValue((driver + L"\\Settings").c_str(), L"Device Description", description.c_str(),
                scriptPath);
  return 1;
}

int32_t CInfInstaller::StageNetAdapterLinkage(const wchar_t* adapterGuid, const wchar_t* scriptPath,
                                              const wchar_t* componentId, const wchar_t* deviceId,
                                              const wchar_t* classInstance) {
  std::wstring connection =
      Key(this, L"Control\\Network\\%s\\%s\\Connection", ClassGuid, adapterGuid);
  WriteRegValue(connection.c_str(), L"PnPInstanceId",
                (std::wstring(deviceId) + L"\\\\" + kPnpInstance).c_str(), scriptPath);
  // The component id comes escaped for the script already (its backslash
  // doubled), as the device id does: escaping it again would store two.
  std::wstring driver = Key(this, L"Control\\Class\\%s\\%s", ClassGuid, classInstance);
  const std::wstring component = RegScriptStringData(componentId);
  WriteRegValue(driver.c_str(), L"MatchingDeviceId", component.c_str(), scriptPath);
  WriteRegValue(driver.c_str(), L"ComponentId", component.c_str(), scriptPath);
  WriteRegValue(driver.c_str(), L"NetCfgInstanceId", Sz(adapterGuid).c_str(), scriptPath);
  std::wstring linkage = driver + L"\\Linkage";
  WriteRegValue(linkage.c_str(), L"RootDevice", MultiSzHex(adapterGuid).c_str(), scriptPath);
  WriteRegValue(linkage.c_str(), L"Export",
                MultiSzHex(std::wstring(L"\\Device\\") + adapterGuid).c_str(), scriptPath);
  return 1;
}
