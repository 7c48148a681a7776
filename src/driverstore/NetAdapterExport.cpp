// Network adapter INF export.
#include "driverstore/NetAdapterExport.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <vector>

#include "common/IniSection.h"
#include "common/PathUtil.h"
#include "common/TextOps.h"
#include "common/UnicodeProfile.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfSectionCopy.h"
#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "registry/RegistryReads.h"
#include "registry/hive/RegTypes.h"

namespace {

const int kKeyChars = 1024;

const wchar_t* const kNeverExported[] = {L"Characteristics",
                                         L"BusType",
                                         L"*IfType",
                                         L"*MediaType",
                                         L"*NdisDeviceType",
                                         L"*PhysicalMediaType",
                                         L"DriverDate",
                                         L"DriverVersion",
                                         L"DriverDateData",
                                         L"DriverDesc",
                                         L"MatchingDeviceId",
                                         L"ComponentId",
                                         L"NetLuidIndex",
                                         L"ProviderName",
                                         L"BIMacAddress_h",
                                         L"BIMacAddress_l",
                                         L"USERDEFMacAddress_h",
                                         L"USERDEFMacAddress_l",
                                         L"IncludedInfs",
                                         L"InfPath",
                                         L"InfSection",
                                         L"InfSectionExt",
                                         L"InstallTimeStamp",
                                         L"DeviceInstanceID",
                                         L"NetCfgInstanceId",
                                         L"ASPM",
                                         L"BiosSetting",
                                         L"CoInstallers32",
                                         L"NicCoPlugins",
                                         L"EventMessageFile",
                                         L"TypesSupported",
                                         L"SlotNumber",
                                         L"BusNumber",
                                         L"NetworkAddress",
                                         L"NewDeviceInstall"};

// A value of the hive with the readings the export needs.
struct Value : RegistryValue {
  std::wstring Text() const {
    std::wstring t((const wchar_t*)data.data(), data.size() / 2);
    size_t nul = t.find(L'\0');
    return nul == std::wstring::npos ? t : t.substr(0, nul);
  }
  uint32_t Dword() const {
    uint32_t v = 0;
    if (data.size() >= 4) memcpy(&v, data.data(), 4);
    return v;
  }
  std::vector<std::wstring> Strings() const {
    std::vector<std::wstring> out;
    std::wstring all((const wchar_t*)data.data(), data.size() / 2);
    for (size_t pos = 0; pos < all.size();) {
      size_t nul = all.find(L'\0', pos);
      if (nul == std::wstring::npos) nul = all.size();
      if (nul == pos) break;
      out.push_back(all.substr(pos, nul - pos));
      pos = nul + 1;
    }
    return out;
  }
};

// A value's text as INF data: its "%" written "%%", so that no installation
// takes it for a string or directory id of the INF.
std::wstring InfData(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    out += c;
    if (c == L'%') out += c;
  }
  return out;
}

// Text as one INF field that the INF reader gives back exactly: quoted,
// each quote inside doubled, each "%" doubled.
std::wstring InfField(const std::wstring& text) {
  return QuoteInfText(InfData(text));
}

// A name (a value's, a subkey's path) as an INF field: as it stands when
// the reader takes it so, else quoted (a quote, a comma, a ";", an "=", a
// blank).
std::wstring InfName(const std::wstring& name) {
  const bool plain = name.find_first_of(L"\",;= \t") == std::wstring::npos;
  return plain ? InfData(name) : InfField(name);
}

// The AddReg flags of a text value of its type (REG_EXPAND_SZ keeps its
// type), or null for a type the export does not write as text.
const wchar_t* TextFlags(uint32_t type) {
  return type == HIVE_REG_SZ ? L"0" : type == HIVE_REG_EXPAND_SZ ? L"0x00020000" : nullptr;
}

// The AddReg line of a string or DWORD value below HKR (`relative` the
// subkey, "" for the key itself), or "" for another type.
std::wstring ValueLine(const std::wstring& relative, const RegistryValue& v) {
  std::wstring head = L"HKR," + InfName(relative) + L"," + InfName(v.name) + L",";
  if (v.type == HIVE_REG_DWORD) {
    uint32_t n = 0;
    if (v.data.size() >= 4) memcpy(&n, v.data.data(), 4);
    wchar_t number[16];
    _snwprintf(number, 16, L"0x%08X", n);
    number[15] = 0;
    return head + L"0x00010001," + number;
  }
  const wchar_t* flags = TextFlags(v.type);
  if (!flags) return L"";
  std::wstring t((const wchar_t*)v.data.data(), v.data.size() / 2);
  size_t nul = t.find(L'\0');
  if (nul != std::wstring::npos) t.resize(nul);
  return head + flags + L"," + InfField(t);
}

std::vector<Value> Values(CMountedImage* image, const std::wstring& key) {
  std::vector<Value> out;
  for (RegistryValue& v : ListRegistryValues(image, key)) out.push_back(Value{std::move(v)});
  return out;
}

std::vector<std::wstring> Subkeys(CMountedImage* image, const std::wstring& key) {
  return ListRegistrySubkeys(image, key);
}

const Value* Find(const std::vector<Value>& values, const wchar_t* name) {
  for (const Value& v : values)
    if (_wcsicmp(v.name.c_str(), name) == 0) return &v;
  return nullptr;
}

std::wstring Format(const wchar_t* format, ...) {
  wchar_t buffer[2048];
  va_list args;
  va_start(args, format);
  _vsnwprintf(buffer, 2048, format, args);
  va_end(args);
  buffer[2047] = 0;
  return buffer;
}

void Add(std::wstring& lines, const std::wstring& line) {
  lines += line;
  lines.push_back(L'\0');
}

std::wstring Closed(const std::wstring& lines) {
  return lines + L'\0';
}

std::wstring Join(const std::wstring& a, const std::wstring& b) {
  wchar_t path[kPathChars];
  lstrcpynW(path, a.c_str(), kPathChars);
  AppendPathPart(path, kPathChars, b.c_str());
  return path;
}

// Copies a driver file named in the registry out of the image's
// System32\Drivers or System32 into the version folder; its file name, or
// empty when neither holds it.
std::wstring ExtractDriverFile(CMountedImage* image, const std::wstring& registryText,
                               const std::wstring& version) {
  std::wstring name = FindFileNamePart(registryText.c_str());
  wchar_t windows[kPathChars];
  if (name.empty() || !image->FindWindowsDirectory(windows, kPathChars)) return L"";
  for (const wchar_t* folder : {L"System32\\Drivers", L"System32"}) {
    std::wstring source = Join(Join(windows, folder), name);
    if (image->GetPathType(source.c_str()) == 1 &&
        image->ExtractToHost(source.c_str(), Join(version, name).c_str(),
                             ReplaceExistingCopyCallback, nullptr))
      return name;
  }
  return L"";
}

}  // namespace

void WalkKeyValuesToInfLines(CMountedImage* image, const wchar_t* keyPath,
                             const wchar_t* relativeName, std::wstring& lines) {
  for (const Value& v : Values(image, keyPath)) {
    const std::wstring line = ValueLine(relativeName, v);
    if (!line.empty()) Add(lines, line);
  }
}

void WalkClassKeyToInfLines(CMountedImage* image, const wchar_t* keyPath, const wchar_t* prefix,
                            std::wstring& lines, bool recurse) {
  for (const std::wstring& sub : Subkeys(image, keyPath)) {
    if (_wcsicmp(sub.c_str(), L"Ndi") == 0 || _wcsicmp(sub.c_str(), L"Linkage") == 0) continue;
    std::wstring relative = prefix ? std::wstring(prefix) + L"\\" + sub : sub;
    std::wstring key = std::wstring(keyPath) + L"\\" + sub;
    WalkKeyValuesToInfLines(image, key.c_str(), relative.c_str(), lines);
    if (recurse) WalkClassKeyToInfLines(image, key.c_str(), relative.c_str(), lines, true);
  }
}

int ExportNetAdapterInf(CMountedImage* image, uint32_t windowsVersion, const wchar_t* description,
                        const wchar_t* classInstance, const wchar_t* targetFolder,
                        const wchar_t* packageFolder, const wchar_t* versionFolder,
                        const wchar_t* enumerator, const wchar_t* deviceId,
                        const wchar_t* instanceId) {
  if (!image || !classInstance || !targetFolder || !packageFolder || !versionFolder ||
      !enumerator || !deviceId || !instanceId)
    return 0;
  const uint32_t cs = ReadCurrentControlSet(image);
  wchar_t root[kPathChars];
  GetDriverStoreRoot(root);
  const std::wstring network = Join(root, L"Network");
  const std::wstring store = Join(network, targetFolder);
  const std::wstring package = Join(store, packageFolder);
  const std::wstring version = Join(package, versionFolder);
  for (const std::wstring& f : {network, store, package, version})
    CreateDirectoryW(f.c_str(), nullptr);
  const std::wstring inf = Join(version, L"VroPnp.inf");
  if (GetPathKind(inf.c_str()) == 1) return 0;
  WriteUnicodeFile(inf.c_str(), L"");
  auto put = [&](const wchar_t* section, const std::wstring& key, const std::wstring& value) {
    WriteProfileValue(inf.c_str(), section, key.c_str(), value.c_str());
  };
  put(L"Version", L"Signature", L"$Windows NT$");
  put(L"Version", L"Class", L"Net");
  put(L"Version", L"ClassGUID", L"{4d36e972-e325-11ce-bfc1-08002be10318}");

  const std::wstring driverKey = Format(
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\%s",
      cs, classInstance);
  const std::wstring instanceKey =
      Format(L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Enum\\%s\\%s\\%s", cs, enumerator,
             deviceId, instanceId);
  const std::vector<Value> driver = Values(image, driverKey);
  const std::vector<Value> device = Values(image, instanceKey);
  const Value* mfgValue = Find(device, L"Mfg");
  std::wstring mfg =
      mfgValue && !mfgValue->Text().empty() ? mfgValue->Text().substr(0, 99) : L"VRO";
  const Value* date = Find(driver, L"DriverDate");
  const Value* ver = Find(driver, L"DriverVersion");
  std::wstring driverVer = date ? date->Text() : L"";
  for (wchar_t& c : driverVer)
    if (c == L'-') c = L'/';
  driverVer += L"," + (ver ? ver->Text() : L"");
  put(L"Version", L"DriverVer", driverVer);
  const Value* providerValue = Find(driver, L"ProviderName");
  std::wstring provider = providerValue && !providerValue->Text().empty()
                              ? providerValue->Text().substr(0, 99)
                              : L"VRO";
  put(L"Version", L"Provider", InfData(provider));
  put(L"Version", L"Mfg", mfg);
  put(L"SourceDisksNames", L"1", provider);
  put(L"ControlFlags", L"ExcludeFromSelect", L"*");
  const bool x64 = (windowsVersion >> 16) == 64;
  const unsigned major = (windowsVersion >> 8) & 0xFF, minor = windowsVersion & 0xFF;
  put(L"Manufacturer", mfg,
      Format(x64 ? L"%s,NTamd64.%u.%u" : L"%s,NTx86.%u.%u", mfg.c_str(), major, minor));
  put(L"DestinationDirs", L"DefaultDestDir", L"11");
  const std::wstring models =
      Format(x64 ? L"%s.NTamd64.%u.%u" : L"%s.NTx86.%u.%u", mfg.c_str(), major, minor);

  const Value* desc = Find(driver, L"DriverDesc");
  std::wstring text = description && *description ? description : desc ? desc->Text() : L"";
  std::wstring hardwareId = std::wstring(enumerator) + L"\\" + deviceId;
  CharUpperW(&hardwareId[0]);
  if (text.empty() || hardwareId.empty()) return 0;
  const std::wstring quoted = InfField(text);
  put(models.c_str(), quoted, L"VRO.NDI," + hardwareId);
  const std::wstring ini = Join(version, L"VroPnp.ini");
  WriteUnicodeFile(ini.c_str(), L"");
  WriteProfileValue(ini.c_str(), L"DeviceList", quoted.c_str(), (L"VRO.NDI," + hardwareId).c_str());

  if (const Value* v = Find(driver, L"Characteristics"))
    put(L"VRO.NDI.NT", L"Characteristics", Format(L"0x%X", v->Dword()));
  if (const Value* v = Find(driver, L"BusType"))
    put(L"VRO.NDI.NT", L"BusType",
        v->type == HIVE_REG_DWORD ? Format(L"%u", v->Dword()) : InfData(v->Text()));
  for (const wchar_t* name : {L"*IfType", L"*MediaType", L"*NdisDeviceType", L"*PhysicalMediaType"})
    if (const Value* v = Find(driver, name)) put(L"VRO.NDI.NT", name, Format(L"%u", v->Dword()));

  const std::wstring params = driverKey + L"\\Ndi\\params";
  const std::vector<std::wstring> parameters = Subkeys(image, params);
  auto isParameter = [&](const std::wstring& name) {
    for (const std::wstring& p : parameters)
      if (_wcsicmp(p.c_str(), name.c_str()) == 0) return true;
    return false;
  };
  std::wstring common, hardware, copyFiles, addReg, dllFiles;
  for (const Value& v : driver) {
    bool excluded = false;
    for (const wchar_t* name : kNeverExported)
      excluded = excluded || _wcsicmp(name, v.name.c_str()) == 0;
    if (excluded) continue;
    if (v.type == HIVE_REG_DWORD) {
      Add(common, ValueLine(L"", v));
    } else if (TextFlags(v.type) && !isParameter(v.name)) {
      Add(common, ValueLine(L"", v));
      if (_wcsicmp(v.name.c_str(), L"EnumPropPages32") == 0) {
        std::wstring dll =
            ExtractDriverFile(image, v.Text().substr(0, v.Text().find(L',')), version);
        if (!dll.empty()) {
          put(L"SourceDisksFiles", dll, L"1");
          Add(dllFiles, dll);
        }
      }
    }
  }
  if (!dllFiles.empty()) {
    WriteProfileSection(inf.c_str(), L"DLL.CopyFiles", Closed(dllFiles).c_str());
    put(L"DestinationDirs", L"DLL.CopyFiles", L"11");
    copyFiles = L"DLL.CopyFiles";
  }
  const std::vector<Value> interfaces = Values(image, driverKey + L"\\Ndi\\Interfaces");
  for (const wchar_t* range : {L"LowerRange", L"UpperRange"})
    if (const Value* v = Find(interfaces, range))
      if (TextFlags(v->type)) Add(common, ValueLine(L"Ndi\\Interfaces", *v));
  if (image->RegGetSubkeyCount(instanceKey.c_str()) >= 0) {
    for (const wchar_t* sub :
         {L"Interrupt Management", L"Interrupt Management\\MessageSignaledInterruptProperties",
          L"e5b3b5ac-9725-4f78-963f-03dfb1d828c7"}) {
      std::wstring key = instanceKey + L"\\Device Parameters\\" + sub;
      if (image->RegGetSubkeyCount(key.c_str()) >= 0)
        WalkKeyValuesToInfLines(image, key.c_str(), sub, hardware);
    }
  }
  const Value* serviceValue = Find(device, L"Service");
  std::wstring service = serviceValue ? serviceValue->Text().substr(0, 99) : L"";
  std::wstring serviceFile;
  const std::wstring serviceKey =
      Format(L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Services\\%s", cs, service.c_str());
  std::vector<Value> serviceValues;
  if (!service.empty()) {
    Add(common, L"HKR,Ndi,Service,0," + InfField(service));
    serviceValues = Values(image, serviceKey);
    if (const Value* path = Find(serviceValues, L"ImagePath")) {
      serviceFile = FindFileNamePart(path->Text().c_str());
      std::wstring got = ExtractDriverFile(image, path->Text(), version);
      if (!got.empty()) {
        put(L"SourceDisksFiles", got, L"1");
        WriteProfileSection(inf.c_str(), L"DRV.CopyFiles", Closed(got + L'\0').c_str());
        put(L"DestinationDirs", L"DRV.CopyFiles", L"12");
        copyFiles += copyFiles.empty() ? L"DRV.CopyFiles" : L",DRV.CopyFiles";
      }
    }
  }
  WalkClassKeyToInfLines(image, driverKey.c_str(), nullptr, common, true);
  const std::vector<Value>& current = driver;
  for (const std::wstring& p : parameters) {
    std::wstring key = params + L"\\" + p;
    for (const Value& v : Values(image, key))
      if (TextFlags(v.type)) Add(common, ValueLine(L"Ndi\\params\\" + p, v));
    for (const Value& v : Values(image, key + L"\\enum"))
      if (TextFlags(v.type)) Add(common, ValueLine(L"Ndi\\params\\" + p + L"\\enum", v));
    if (const Value* v = Find(current, p.c_str()))
      if (TextFlags(v->type)) Add(common, ValueLine(L"", *v));
  }
  if (!common.empty()) {
    WriteProfileSection(inf.c_str(), L"Common.reg", Closed(common).c_str());
    addReg = L"Common.reg";
  }
  if (!hardware.empty()) {
    WriteProfileSection(inf.c_str(), L"Common.HW.reg", Closed(hardware).c_str());
    put(L"VRO.NDI.NT.HW", L"AddReg", L"Common.HW.reg");
  }
  if (!copyFiles.empty()) put(L"VRO.NDI.NT", L"CopyFiles", copyFiles);
  if (!addReg.empty()) put(L"VRO.NDI.NT", L"AddReg", addReg);

  // Co-installers and NIC co-plugins.
  std::wstring coLines, coFiles;
  for (const wchar_t* name : {L"CoInstallers32", L"NicCoPlugins"}) {
    const Value* v = Find(driver, name);
    if (!v || v->type != HIVE_REG_MULTI_SZ) continue;
    std::vector<std::wstring> entries = v->Strings();
    if (entries.empty()) continue;
    std::wstring line = std::wstring(L"HKR,,") + name + L",0x00010000";
    for (const std::wstring& e : entries) line += L"," + InfField(e);
    Add(coLines, line);
    for (const std::wstring& e : entries) {
      std::wstring dll = ExtractDriverFile(image, e.substr(0, e.find(L',')), version);
      if (!dll.empty()) {
        put(L"SourceDisksFiles", dll, L"1");
        Add(coFiles, dll);
      }
    }
  }
  if (!coLines.empty()) {
    WriteProfileSection(inf.c_str(), L"CoInstallers.reg", Closed(coLines).c_str());
    put(L"VRO.NDI.NT.CoInstallers", L"AddReg", L"CoInstallers.reg");
    if (!coFiles.empty()) {
      WriteProfileSection(inf.c_str(), L"CoInstallers.CopyFiles", Closed(coFiles).c_str());
      put(L"VRO.NDI.NT.CoInstallers", L"CopyFiles", L"CoInstallers.CopyFiles");
      put(L"DestinationDirs", L"CoInstallers.CopyFiles", L"11");
    }
  }

  if (!service.empty()) {
    const std::wstring section = service + L".Services";
    if (const Value* v = Find(serviceValues, L"DisplayName"))
      put(section.c_str(), L"DisplayName", InfField(v->Text()));
    if (const Value* v = Find(serviceValues, L"Group"))
      put(section.c_str(), L"LoadOrderGroup", InfField(v->Text()));
    put(section.c_str(), L"ServiceType", L"1");
    put(section.c_str(), L"StartType", L"3");
    put(section.c_str(), L"ErrorControl", L"1");
    put(section.c_str(), L"ServiceBinary", L"%12%\\" + serviceFile);
    // The event-log source of the service, where installations write it;
    // an adapter installed by an earlier version has it in its driver key.
    std::vector<Value> eventLog = Values(image, serviceKey.substr(0, serviceKey.rfind(L'\\')) +
                                                    L"\\EventLog\\System\\" + service);
    if (!Find(eventLog, L"EventMessageFile") && !Find(eventLog, L"TypesSupported"))
      eventLog = driver;
    std::wstring eventLines, eventFiles;
    if (const Value* v = Find(eventLog, L"EventMessageFile")) {
      // Of its own type: a REG_SZ stays one.
      Add(eventLines, std::wstring(L"HKR,,EventMessageFile,") +
                          (v->type == HIVE_REG_SZ ? L"0" : L"0x00020000") + L"," +
                          InfField(v->Text()));
      size_t semi = v->Text().find(L';');
      if (semi != std::wstring::npos) {
        std::wstring file = v->Text().substr(semi + 1);
        std::wstring lower = file;
        CharLowerW(&lower[0]);
        if (lower.find(L".sys") == std::wstring::npos) {
          std::wstring got = ExtractDriverFile(image, file, version);
          if (!got.empty()) {
            put(L"SourceDisksFiles", got, L"1");
            Add(eventFiles, got);
          }
        }
      }
    }
    if (const Value* v = Find(eventLog, L"TypesSupported"))
      Add(eventLines, Format(L"HKR,,TypesSupported,0x00010001,%d", (int)v->Dword()));
    if (!eventLines.empty()) {
      WriteProfileSection(inf.c_str(), L"Common.AddEventLog.reg", Closed(eventLines).c_str());
      put(L"Common.EventLog", L"AddReg", L"Common.AddEventLog.reg");
      if (!eventFiles.empty()) {
        WriteProfileSection(inf.c_str(), L"Common.AddEventLog.CopyFiles",
                            Closed(eventFiles).c_str());
        put(L"Common.EventLog", L"CopyFiles", L"Common.AddEventLog.CopyFiles");
        put(L"DestinationDirs", L"Common.AddEventLog.CopyFiles", L"11");
      }
      put(L"VRO.NDI.NT.Services", L"AddService",
          Format(L"%s,2,%s.Services,Common.EventLog", service.c_str(), service.c_str()));
    } else {
      put(L"VRO.NDI.NT.Services", L"AddService",
          Format(L"%s,2,%s.Services", service.c_str(), service.c_str()));
    }
  }

  // The index and the device section.
  std::wstring cut = hardwareId;
  for (const wchar_t* marker : {L"&REV_", L"&SUBSYS_"}) {
    std::wstring upper = cut;
    size_t at = upper.find(marker);
    if (at != std::wstring::npos) cut.resize(at);
  }
  size_t slash = cut.find(L'\\');
  std::wstring section = cut.substr(0, slash + 1) + packageFolder;
  std::wstring line = slash == std::wstring::npos ? cut : cut.substr(slash + 1);
  const std::wstring index = Join(store, L"VroDir.ini");
  if (GetPathKind(index.c_str()) != 1) WriteUnicodeFile(index.c_str(), L"");
  std::wstring lines;
  bool listed = false;
  wchar_t* existing = ReadIniSection(index.c_str(), section.c_str());
  for (const wchar_t* p = existing; p && *p; p += wcslen(p) + 1) {
    Add(lines, p);
    listed = listed || _wcsicmp(p, line.c_str()) == 0;
  }
  delete[] existing;
  if (!listed) Add(lines, line);
  RemoveProfileSection(index.c_str(), section.c_str());
  WriteProfileSection(index.c_str(), section.c_str(), Closed(lines).c_str());
  RemoveProfileSection(ini.c_str(), enumerator);
  WriteProfileSection(ini.c_str(), enumerator, Closed(lines).c_str());
  return 0;
}
