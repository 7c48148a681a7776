// Install sections of a model with their decorated variants, services
// (AddService, DelService), DLL registration at first start, and the small
// steps around an installation: the next free class instance, the link mode
// of an earlier installation, the rename of a device instance.
#include "infinstall/InfInstaller.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/PathUtil.h"
#include "common/RegText.h"
#include "common/TextOps.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfText.h"
#include "infinstall/RegScriptFile.h"
#include "registry/hive/RegTypes.h"

using namespace inftext;

namespace {

const int kKeyChars = 1024;
const int kDecoratedChars = 200;

const wchar_t* const kInstallDecorations[] = {
    L"%s.NTamd64", L"%s.NTamd64.CoInstallers", L"%s.NTx86", L"%s.NTx86.CoInstallers",
    L"%s.NT",      L"%s.NT.CoInstallers",      L"%s",       L"%s.CoInstallers",
    // A display driver's settings go into its driver key as Windows puts them.
    L"%s.NTamd64.SoftwareSettings", L"%s.NTx86.SoftwareSettings", L"%s.NT.SoftwareSettings",
    L"%s.SoftwareSettings"};
const wchar_t* const kHardwareDecorations[] = {L"%s.NTamd64.HW", L"%s.NTx86.HW", L"%s.NT.HW",
                                               L"%s.HW"};
const wchar_t* const kServicesDecorations[] = {L"%s.NTamd64.Services", L"%s.NTx86.Services",
                                               L"%s.NT.Services", L"%s.Services"};

// The entries of a service-install section Windows writes into the
// service key, with the value each becomes (ServiceBinary, Dependencies
// and the AddReg, DelReg and BitReg directives are carried out on their
// own). Any other entry is no setting of the service: Windows reads none.
enum class ServiceForm { Number, Text };
struct ServiceKey {
  const wchar_t* infKey;
  const wchar_t* value;
  ServiceForm form;
};
const ServiceKey kServiceKeys[] = {
    {L"ServiceType", L"Type", ServiceForm::Number},
    {L"StartType", L"Start", ServiceForm::Number},
    {L"ErrorControl", L"ErrorControl", ServiceForm::Number},
    {L"BootFlags", L"BootFlags", ServiceForm::Number},
    {L"DelayedAutoStart", L"DelayedAutoStart", ServiceForm::Number},
    {L"ServiceSidType", L"ServiceSidType", ServiceForm::Number},
    {L"LoadOrderGroup", L"Group", ServiceForm::Text},
    {L"DisplayName", L"DisplayName", ServiceForm::Text},
    {L"Description", L"Description", ServiceForm::Text},
    {L"StartName", L"ObjectName", ServiceForm::Text},
};
// Entries that set what an offline installation does not write (the
// service's security descriptor and its start triggers, which the service
// control manager keeps in forms of its own): each refuses the package by
// its line rather than leave the service without them.
const wchar_t* const kServiceEntriesNotWritten[] = {L"Security", L"AddTrigger"};
// The bits of AddService and DelService that Windows' setup acts on.
const unsigned long kAssocService = 0x2;         // the device's own service
const unsigned long kDeleteEventLogEntry = 0x4;  // DelService: its event-log source too
const unsigned long kClobberSecurity = 0x400;
const unsigned long kNoClobberTriggers = 0x2000;
// The entries a no-clobber bit keeps as they are on a service that exists
// already (the service control manager's own values are changed only where
// the installation names them).
const struct {
  unsigned long flag;
  const wchar_t* infKey;
} kNoClobberEntries[] = {
    {0x8, L"DisplayName"},       {0x10, L"StartType"},          {0x20, L"ErrorControl"},
    {0x40, L"LoadOrderGroup"},   {0x80, L"Dependencies"},       {0x100, L"Description"},
    {0x4000, L"ServiceSidType"}, {0x8000, L"DelayedAutoStart"},
};
// The longest display name and service name the service control manager
// takes, and the longest name the installation keeps the device's own
// service by.
const size_t kMaxDisplayName = 256;
const size_t kMaxServiceName = 256;
const size_t kMaxOwnServiceName = 99;

std::wstring Decorated(const wchar_t* pattern, const wchar_t* name) {
  wchar_t buffer[kDecoratedChars];
  _snwprintf(buffer, kDecoratedChars, pattern, name);
  buffer[kDecoratedChars - 1] = 0;
  return buffer;
}

// "HKEY_LOCAL_MACHINE\SYSTEM\ControlSet%03u\" of the installation.
std::wstring ControlSetKey(const CInfInstaller* inst) {
  wchar_t head[64];
  _snwprintf(head, 64, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\", inst->ControlSet);
  head[63] = 0;
  return head;
}

std::wstring ServiceKeyPath(const CInfInstaller* inst, const wchar_t* service) {
  return ControlSetKey(inst) + L"services\\" + service;
}

std::wstring EventLogKeyPath(const CInfInstaller* inst, const wchar_t* log, const wchar_t* source) {
  return ControlSetKey(inst) + L"Services\\EventLog\\" + log + L"\\" + source;
}

// The DelReg, then the AddReg, then the BitReg directives of an install
// section, with HKR standing for `key`.
int StageKeyRegistry(CInfInstaller* inst, const wchar_t* infPath, const wchar_t* section,
                     const wchar_t* scriptPath, const wchar_t* key) {
  int staged = 0;
  std::vector<std::wstring> lines = SectionLines(infPath, section);
  for (const wchar_t* directive : {L"DelReg", L"AddReg", L"BitReg"})
    for (const std::wstring& line : lines) {
      std::wstring k, v;
      if (!SplitDirective(line, k, v) || _wcsicmp(k.c_str(), directive) != 0) continue;
      for (const std::wstring& s : SectionNames(v)) {
        if (directive[0] == L'A') {
          staged |= inst->StageAddRegSection(s.c_str(), infPath, scriptPath, key);
        } else if (directive[0] == L'B') {
          staged |= inst->StageBitRegSection(s.c_str(), infPath, scriptPath, key);
        } else {
          for (int keysPass : {1, 0})
            staged |= inst->StageDelRegSection(s.c_str(), infPath, scriptPath, key, keysPass);
        }
      }
    }
  return staged;
}

std::wstring DriverKeyPath(const CInfInstaller* inst, const wchar_t* classInstance) {
  wchar_t key[kKeyChars];
  inst->FormatDriverKey(classInstance, key, kKeyChars);
  return key;
}

std::wstring StringLine(const std::wstring& text) {
  return RegScriptStringData(Escaped(text));
}

// INF text with each "%%" made the "%" it stands for.
std::wstring Collapsed(std::wstring text) {
  text.push_back(0);
  CollapsePercentPairs(&text[0]);
  return text.c_str();
}

// A service's Dependencies entry as the service control manager keeps it:
// the services it depends on in DependOnService, the load-order groups
// (written with a leading "+") in DependOnGroup without the "+", each a
// multi-string; a list the entry leaves empty is not kept from before.
int StageServiceDependencies(CInfInstaller* inst, const std::wstring& key,
                             const std::wstring& rawValue, const wchar_t* scriptPath) {
  std::wstring services, groups;
  for (const std::wstring& field : SplitCommas(rawValue, (size_t)-1)) {
    const std::wstring name = Collapsed(CleanField(field, kWholeField));
    const bool group = !name.empty() && name[0] == L'+';
    const std::wstring entry = group ? name.substr(1) : name;
    if (entry.empty()) continue;
    (group ? groups : services) += entry + L'\0';
  }
  int staged = 0;
  for (const auto& list : {std::make_pair(L"DependOnService", &services),
                           std::make_pair(L"DependOnGroup", &groups)}) {
    std::wstring data = L"-";
    if (!list.second->empty()) {
      *list.second += L'\0';
      FormatRegHexString(data, kRegHexLineMax, list.second->c_str(), list.second->size(),
                         HIVE_REG_MULTI_SZ);
    }
    staged |= inst->WriteRegValue(key.c_str(), list.first, data.c_str(), scriptPath);
  }
  return staged;
}

}  // namespace

int CInfInstaller::StageDDInstallSection(const wchar_t* modelsSection, const wchar_t* infPath,
                                         const wchar_t* scriptPath, const wchar_t* classInstance,
                                         const wchar_t* deviceInstance, wchar_t* serviceName,
                                         wchar_t* driverFile, wchar_t* serviceImage,
                                         int serviceImageChars) {
  if (!modelsSection || !infPath || !scriptPath || !classInstance || !deviceInstance) return 0;
  int staged = 0;
  for (const std::wstring& line : SectionLines(infPath, modelsSection)) {
    std::wstring description, right;
    if (!SplitDirective(line, description, right) || right.empty()) continue;
    size_t comma = right.find(L',');
    if (comma == std::wstring::npos) continue;  // no hardware id
    std::wstring install = right.substr(0, comma);
    std::vector<wchar_t> d(description.begin(), description.end());
    d.push_back(0);
    UnquoteInfText(d.data());
    description = Collapsed(d.data());
    const wchar_t* s = install.c_str();
    int any = 0;
    for (int keysPass : {1, 0})
      for (const wchar_t* p : kInstallDecorations)
        any |= StageDelRegDirectives(Decorated(p, s).c_str(), infPath, scriptPath, classInstance,
                                     keysPass);
    for (int keysPass : {1, 0})
      for (const wchar_t* p : kHardwareDecorations)
        any |= StageDelRegDirectivesHw(Decorated(p, s).c_str(), infPath, scriptPath, deviceInstance,
                                       keysPass);
    for (const wchar_t* p : kServicesDecorations)
      StageDelServiceDirectives(Decorated(p, s).c_str(), infPath, scriptPath);
    for (const wchar_t* p : kInstallDecorations)
      any |= StageAddRegDirectives(Decorated(p, s).c_str(), infPath, scriptPath, classInstance);
    for (const wchar_t* p : kHardwareDecorations)
      any |= StageAddRegDirectivesHw(Decorated(p, s).c_str(), infPath, scriptPath, deviceInstance);
    for (const wchar_t* p : kServicesDecorations)
      any |= StageAddServiceDirectives(Decorated(p, s).c_str(), infPath, scriptPath, serviceName,
                                       driverFile, classInstance, serviceImage, serviceImageChars);
    for (const wchar_t* p : kInstallDecorations)
      any |=
          StageRegisterDllsDirectives(Decorated(p, s).c_str(), infPath, scriptPath, classInstance);
    if (!any) continue;
    // The description becomes DriverDesc.
    if (RefuseUndefinedReference(modelsSection, line)) continue;
    staged = 1;
    lstrcpynW(InstallSection, s, 100);
    lstrcpynW(DeviceDescription, description.c_str(), 200);
    WriteRegValue(DriverKeyPath(this, classInstance).c_str(), L"DriverDesc",
                  StringLine(description).c_str(), scriptPath);
  }
  return staged;
}

int CInfInstaller::StageServiceInstall(const wchar_t* infPath, const wchar_t* service,
                                       const wchar_t* section, const wchar_t* scriptPath,
                                       wchar_t* imagePath, int imagePathChars,
                                       unsigned long flags) {
  // A service without a name would stage onto the Services key itself.
  if (!infPath || !service || !*service || !section || !scriptPath) return 0;
  std::wstring key = ServiceKeyPath(this, service);
  std::vector<std::wstring> lines = SectionLines(infPath, section);
  auto refuse = [&](const std::wstring& line, const std::wstring& why) {
    NoteRefusal(L"[" + std::wstring(section) + L"] " + line + L": " + why);
  };
  // Whether the service control manager knows the service already (its
  // key holds a Type, in the image or staged before): then the no-clobber
  // bits keep their entries, and what the service has stays where the line
  // does not change it. -1 when that cannot be told.
  uint32_t oldType = 0;
  std::vector<uint8_t> oldData;
  const int exists = CurrentRegValue(key.c_str(), L"Type", scriptPath, &oldType, &oldData);
  // The service's type decides the form of its ImagePath.
  unsigned long serviceType = 0;
  for (const std::wstring& line : lines) {
    std::wstring k, v;
    if (SplitDirective(line, k, v) &&
        _wcsicmp(CleanField(k, kWholeField).c_str(), L"ServiceType") == 0 &&
        ReadInfNumber(CleanField(v, kWholeField), &serviceType))
      break;
  }
  const bool win32 = (serviceType & SERVICE_WIN32) != 0;
  int staged = 0;
  for (const std::wstring& line : lines) {
    std::wstring k, v;
    if (!SplitDirective(line, k, v) || _wcsicmp(k.c_str(), L"DelReg") != 0) continue;
    for (const std::wstring& s : SectionNames(v))
      for (int keysPass : {1, 0})
        staged |= StageDelRegSection(s.c_str(), infPath, scriptPath, key.c_str(), keysPass);
  }
  std::vector<std::wstring> bitReg;  // after the values, which it may change
  bool startName = false;
  for (const std::wstring& line : lines) {
    std::wstring rawKey, rawValue;
    if (!SplitDirective(line, rawKey, rawValue)) continue;
    // Names and values whole: a value Windows takes at any length.
    std::wstring name = CleanField(rawKey, kWholeField);
    std::wstring value = CleanField(rawValue, kWholeField);
    if (value.empty() || _wcsicmp(name.c_str(), L"DelReg") == 0) continue;
    if (_wcsicmp(name.c_str(), L"AddReg") == 0) {
      for (const std::wstring& s : SectionNames(rawValue))
        staged |= StageAddRegSection(s.c_str(), infPath, scriptPath, key.c_str());
      continue;
    }
    if (RefuseUndefinedReference(section, line)) continue;
    bool kept = false;
    for (const auto& entry : kNoClobberEntries)
      kept = kept || ((flags & entry.flag) && _wcsicmp(entry.infKey, name.c_str()) == 0);
    if (kept && exists != 0) {
      if (exists < 0)
        refuse(line, L"the value Type of " + key + L" could not be read to carry the line out");
      continue;
    }
    if (_wcsicmp(name.c_str(), L"BitReg") == 0) {
      bitReg.push_back(rawValue);
      continue;
    }
    if (_wcsicmp(name.c_str(), L"ServiceBinary") == 0) {
      // A directory id or string left unexpanded names no file of the
      // image: the service would never find its driver.
      if (value.find(L'%') != std::wstring::npos) {
        NoteRefusal(L"[" + std::wstring(section) + L"] " + line +
                        L": a directory id or string the installation does not map",
                    true);
        continue;
      }
      // A driver's path as the kernel reads it when it loads the service;
      // a Win32 service's command line as the service control manager
      // starts it.
      const std::wstring program = win32 ? ServiceProgram(value) : value;
      const std::wstring kernelPath = KernelImagePath(program, Image);
      if (imagePath && imagePathChars > 2) {
        wcscpy(imagePath, L"C:");
        ExpandImageSystemPath(kernelPath.c_str(), imagePath + 2, imagePathChars - 2, Image);
      }
      const std::wstring stored = win32 ? ServiceCommandLine(value, Image) : kernelPath;
      std::wstring hex;
      FormatRegHexString(hex, kRegHexLineMax, stored.c_str(), stored.size(), HIVE_REG_EXPAND_SZ);
      staged |= WriteRegValue(key.c_str(), L"ImagePath", hex.c_str(), scriptPath);
      continue;
    }
    if (_wcsicmp(name.c_str(), L"Dependencies") == 0) {
      staged |= StageServiceDependencies(this, key, rawValue, scriptPath);
      continue;
    }
    bool notWritten = false;
    for (const wchar_t* entry : kServiceEntriesNotWritten)
      notWritten = notWritten || _wcsicmp(entry, name.c_str()) == 0;
    if (notWritten) {
      // Windows keeps an existing service's security descriptor unless the
      // line asks to replace it, and its triggers when the line asks to
      // keep them: nothing is to be written then.
      const bool security = _wcsicmp(name.c_str(), L"Security") == 0;
      if (exists > 0 && (security ? !(flags & kClobberSecurity) : (flags & kNoClobberTriggers)))
        continue;
      refuse(line, L"the service's " + name + L" is not written by an installation into an image");
      continue;
    }
    const ServiceKey* mapped = nullptr;
    for (const ServiceKey& m : kServiceKeys)
      if (_wcsicmp(m.infKey, name.c_str()) == 0) mapped = &m;
    if (!mapped) continue;
    if (mapped->form == ServiceForm::Number) {
      unsigned long number = 0;
      if (!ReadInfNumber(value, &number)) {
        refuse(line, L"the " + name + L" " + value + L" is no number");
        continue;
      }
      staged |= WriteRegValue(key.c_str(), mapped->value, Dword(number).c_str(), scriptPath);
      continue;
    }
    const std::wstring text = Collapsed(value);
    if (_wcsicmp(mapped->infKey, L"DisplayName") == 0 && text.size() > kMaxDisplayName) {
      refuse(line, L"a display name of " + std::to_wstring(text.size()) +
                       L" characters (Windows takes " + std::to_wstring(kMaxDisplayName) + L")");
      continue;
    }
    startName = startName || _wcsicmp(mapped->infKey, L"StartName") == 0;
    staged |= WriteRegValue(key.c_str(), mapped->value, StringLine(text).c_str(), scriptPath);
  }
  // A new Win32 service without an account runs as LocalSystem, which the
  // service control manager writes as its ObjectName.
  if (win32 && exists == 0 && !startName)
    staged |=
        WriteRegValue(key.c_str(), L"ObjectName", StringLine(L"LocalSystem").c_str(), scriptPath);
  for (const std::wstring& value : bitReg)
    for (const std::wstring& s : SectionNames(value))
      staged |= StageBitRegSection(s.c_str(), infPath, scriptPath, key.c_str());
  return staged;
}

int CInfInstaller::StageAddServiceDirectives(const wchar_t* servicesSection, const wchar_t* infPath,
                                             const wchar_t* scriptPath, wchar_t* serviceName,
                                             wchar_t* driverFile, const wchar_t* classInstance,
                                             wchar_t* serviceImage, int serviceImageChars) {
  if (!servicesSection || !infPath || !scriptPath || !classInstance) return 0;
  int staged = 0;
  for (const std::wstring& line : SectionLines(infPath, servicesSection)) {
    std::wstring key, value;
    if (!SplitDirective(line, key, value) || _wcsicmp(key.c_str(), L"AddService") != 0) continue;
    std::vector<std::wstring> f = SplitCommas(value, 4);
    if (f.size() < 3) continue;
    std::wstring name = CleanField(f[0], kWholeField);
    std::wstring section = CleanField(f[2], kWholeField);
    if (name.empty() || section.empty()) continue;
    unsigned long flags = ParseInfNumber(f[1].c_str());
    bool own = (flags & kAssocService) != 0;
    // A name is whole or the package is refused: the service control
    // manager takes 256 characters and no "\" or "/" (the name is one key
    // below Services), the installation keeps the device's own service by
    // a name of 99.
    const size_t longest = own ? kMaxOwnServiceName : kMaxServiceName;
    if (name.size() > longest || name.find_first_of(L"\\/") != std::wstring::npos) {
      NoteRefusal(L"[" + std::wstring(servicesSection) + L"] " + line +
                  (name.size() > longest ? L": a service name of " + std::to_wstring(name.size()) +
                                               L" characters (" + std::to_wstring(longest) +
                                               L" at most)"
                                         : std::wstring(L": a service name with \"\\\" or \"/\"")));
      continue;
    }
    if (own) OwnServiceFlags = uint32_t(flags);
    if (own && serviceName) lstrcpynW(serviceName, name.c_str(), 100);
    wchar_t image[kPathChars] = {0};
    staged |= StageServiceInstall(infPath, name.c_str(), section.c_str(), scriptPath, image,
                                  kPathChars, flags);
    if (own) {
      if (driverFile) lstrcpynW(driverFile, FindFileNamePart(image), 100);
      if (serviceImage && serviceImageChars > 0) lstrcpynW(serviceImage, image, serviceImageChars);
    } else if (image[0]) {
      std::wstring add = DriverKeyPath(this, classInstance) + L"\\AddService";
      staged |= WriteRegValue(add.c_str(), name.c_str(), StringLine(image).c_str(), scriptPath);
    }
    if (f.size() >= 4) {
      // The event-log install section's HKR is the service's source key
      // under its log (System unless the line names one), never the
      // device's driver key.
      std::vector<std::wstring> e = SplitCommas(f[3], 3);
      std::wstring eventLog = CleanField(e[0], kWholeField);
      if (!eventLog.empty()) {
        std::wstring log = e.size() > 1 ? CleanField(e[1], kWholeField) : std::wstring();
        std::wstring source = e.size() > 2 ? CleanField(e[2], kWholeField) : std::wstring();
        staged |= StageKeyRegistry(this, infPath, eventLog.c_str(), scriptPath,
                                   EventLogKeyPath(this, log.empty() ? L"System" : log.c_str(),
                                                   source.empty() ? name.c_str() : source.c_str())
                                       .c_str());
      }
    }
  }
  return staged;
}

int CInfInstaller::StageDelServiceDirectives(const wchar_t* servicesSection, const wchar_t* infPath,
                                             const wchar_t* scriptPath) {
  if (!servicesSection || !infPath || !scriptPath) return 0;
  static const wchar_t kNoLines[] = {0, 0};
  for (const std::wstring& line : SectionLines(infPath, servicesSection)) {
    std::wstring key, value;
    if (!SplitDirective(line, key, value) || _wcsicmp(key.c_str(), L"DelService") != 0) continue;
    // DelService = name[, flags[, event-log type[, event name]]]
    std::vector<std::wstring> f = SplitCommas(value, 4);
    std::wstring name = CleanField(f[0], kWholeField);
    if (name.empty() || name.size() > kMaxServiceName ||
        name.find_first_of(L"\\/") != std::wstring::npos)
      continue;
    WriteRegSection((L"-" + ControlSetKey(this) + L"Services\\" + name).c_str(), kNoLines,
                    scriptPath);
    if (f.size() < 2 || !(ParseInfNumber(f[1].c_str()) & kDeleteEventLogEntry)) continue;
    // The service's event source goes with it: its key under its log
    // (System unless the line names one), named by the service unless the
    // line names another.
    const std::wstring log = f.size() > 2 ? CleanField(f[2], kWholeField) : std::wstring();
    const std::wstring source = f.size() > 3 ? CleanField(f[3], kWholeField) : std::wstring();
    if (log.find_first_of(L"\\/") != std::wstring::npos ||
        source.find_first_of(L"\\/") != std::wstring::npos)
      continue;
    WriteRegSection((L"-" + EventLogKeyPath(this, log.empty() ? L"System" : log.c_str(),
                                            source.empty() ? name.c_str() : source.c_str()))
                        .c_str(),
                    kNoLines, scriptPath);
  }
  return 0;
}

int CInfInstaller::StageRegisterDllsDirectives(const wchar_t* installSection,
                                               const wchar_t* infPath, const wchar_t* scriptPath,
                                               const wchar_t* classInstance) {
  if (!installSection || !infPath || !scriptPath || !classInstance) return 0;
  int staged = 0;
  for (const std::wstring& line : SectionLines(infPath, installSection)) {
    std::wstring key, value;
    if (!SplitDirective(line, key, value) || _wcsicmp(key.c_str(), L"RegisterDLLs") != 0) continue;
    for (const std::wstring& s : SectionNames(value))
      staged |= StageRegisterDll(s.c_str(), infPath, scriptPath, classInstance);
  }
  return staged;
}

int CInfInstaller::StageRegisterDll(const wchar_t* section, const wchar_t* infPath,
                                    const wchar_t* scriptPath, const wchar_t* classInstance) {
  if (!section || !infPath || !scriptPath || !classInstance || !Image) return 0;
  int staged = 0;
  for (const std::wstring& line : SectionLines(infPath, section)) {
    std::vector<std::wstring> f = SplitCommas(line, 4);
    if (f.size() < 3 || RefuseUndefinedReference(section, line)) continue;
    std::wstring subDir = CleanField(f[1], 200);
    std::wstring file = CleanField(f[2], 200);
    if (file.empty()) continue;
    wchar_t volumePath[kPathChars];
    // A DLL in no folder of the image would never be registered: the
    // package is refused, not the line passed over.
    if (!GetDirIdPath(wcstoul(f[0].c_str(), nullptr, 10), subDir.empty() ? nullptr : subDir.c_str(),
                      volumePath, kPathChars) ||
        (subDir + file).find(L'%') != std::wstring::npos) {
      NoteRefusal(L"[" + std::wstring(section) + L"] " + line +
                      L": a directory id or string the installation does not map",
                  true);
      continue;
    }
    AppendPathPart(volumePath, kPathChars, file.c_str());
    std::wstring path = std::wstring(L"C:") + volumePath;
    std::wstring dlls = DriverKeyPath(this, classInstance) + L"\\RegisterDLLs";
    staged |= WriteRegValue(dlls.c_str(), file.c_str(), StringLine(path).c_str(), scriptPath);

    wchar_t regsvr[kPathChars] = L"C:";
    if (!Image->FindWindowsDirectory(regsvr + 2, kPathChars - 2)) regsvr[2] = 0;
    AppendPathPart(regsvr, kPathChars, L"System32\\regsvr32.exe /s ");
    std::wstring command = regsvr;
    command += path.find(L' ') != std::wstring::npos ? L"\"" + path + L"\"" : path;
    staged |=
        WriteRegValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
                      file.c_str(), StringLine(command).c_str(), scriptPath);
  }
  return staged;
}

void CInfInstaller::FindFreeClassInstance(uint32_t classKind, wchar_t* out) {
  if (!out) return;
  const wchar_t* guid = classKind == kInfClassDisplay ? L"{4D36E968-E325-11CE-BFC1-08002BE10318}"
                                                      : L"{4D36E972-E325-11CE-BFC1-08002BE10318}";
  unsigned n = 0;
  for (; n < 10000 && Image; ++n) {
    wchar_t key[kKeyChars];
    _snwprintf(key, kKeyChars,
               L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Control\\Class\\%s\\%04u", ControlSet,
               guid, n);
    key[kKeyChars - 1] = 0;
    if (Image->RegGetSubkeyCount(key) < 0) break;
  }
  _snwprintf(out, 100, L"%04u", n);
  out[99] = 0;
}

void CInfInstaller::LoadLinkMode(const wchar_t* classInstance) {
  LinkFiles = 0;
  if (!Image || !classInstance) return;
  std::wstring files = DriverKeyPath(this, classInstance) + L"\\Files";
  uint32_t type = 0;
  RegValueBuf* value = nullptr;
  if (Image->RegQueryValue(files.c_str(), L"", &type, &value) != REG_STATUS_OK || !value) return;
  LinkFiles = value->length >= 2 && (value->data[0] || value->data[1]) ? 1 : 0;
  free(value);
}

int CInfInstaller::RenameEnumInstance(const wchar_t* enumerator, const wchar_t* device,
                                      const wchar_t* oldName, const wchar_t* newName,
                                      const wchar_t* scriptPath) {
  if (!Image || !enumerator || !device || !oldName || !newName) return 0;
  wchar_t oldKey[kKeyChars], newKey[kKeyChars];
  _snwprintf(oldKey, kKeyChars, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Enum\\%s\\%s\\%s",
             ControlSet, enumerator, device, oldName);
  _snwprintf(newKey, kKeyChars, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Enum\\%s\\%s\\%s",
             ControlSet, enumerator, device, newName);
  oldKey[kKeyChars - 1] = newKey[kKeyChars - 1] = 0;
  if (Image->RegRenameKey(oldKey, newName) != REG_STATUS_OK) return 0;
  if (PnpProfileId == 0 || !scriptPath) return 1;
  std::wstring lines;
  if (!ReadProfileSection(scriptPath, oldKey, lines) || lines.size() <= 1) return 1;
  RemoveProfileSection(scriptPath, oldKey);
  static const wchar_t kNoLines[] = {0, 0};
  WriteRegSection((std::wstring(L"-") + oldKey).c_str(), kNoLines, scriptPath);
  WriteRegSection(newKey, lines.c_str(), scriptPath);
  return 1;
}
