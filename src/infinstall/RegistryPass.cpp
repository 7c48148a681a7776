// The registry pass: one INF package into a staging script, from the class
// check through the directive walkers to the values Windows' own class
// installer writes and the package's parameter overrides.
#include "infinstall/InfInstaller.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/ConsoleOutput.h"
#include "common/IniSection.h"
#include "common/PathUtil.h"
#include "common/RegText.h"
#include "common/TextOps.h"
#include "common/UnicodeProfile.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfText.h"
#include "infinstall/InstallEnvironment.h"
#include "infinstall/RegScriptFile.h"
#include "registry/hive/RegTypes.h"

using namespace inftext;

namespace {

const int kKeyChars = 1024;
const wchar_t kNoLines[] = {0, 0};

// K(x): a key of the installation's control set.
std::wstring K(const CInfInstaller* inst, const wchar_t* format, const wchar_t* a = L"",
               const wchar_t* b = L"") {
  wchar_t tail[kKeyChars], key[kKeyChars];
  _snwprintf(tail, kKeyChars, format, a, b);
  tail[kKeyChars - 1] = 0;
  _snwprintf(key, kKeyChars, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\%s", inst->ControlSet,
             tail);
  key[kKeyChars - 1] = 0;
  return key;
}

std::wstring Sz(const std::wstring& text) {
  return RegScriptStringData(Escaped(text));
}

bool ClassMatches(const CInfInstaller* inst, const wchar_t* infPath) {
  std::wstring cls = ReadInfValue(infPath, L"Version", L"Class");
  std::wstring guid = ReadInfValue(infPath, L"Version", L"ClassGUID");
  return inst->ClassName && inst->ClassGuid && _wcsicmp(cls.c_str(), inst->ClassName) == 0 &&
         _wcsicmp(guid.c_str(), inst->ClassGuid) == 0;
}

bool CreateScript(const wchar_t* scriptPath) {
  return CreateRegScriptFile(scriptPath) != 0;
}

// The end of a pass: the script written whole, or, when the pass failed or
// the script cannot be written, gone. The pass's result.
uint32_t EndScript(CInfInstaller* inst, CProfileHold& hold, const wchar_t* scriptPath,
                   uint32_t staged) {
  if (staged && inst->Refusal.empty()) {
    if (hold.Flush()) return staged;
    const DWORD error = GetLastError();
    inst->NoteRefusal(std::wstring(L"the staging script ") + scriptPath +
                      L" could not be written (error " + std::to_wstring(error) + L": " +
                      ErrorText(error) + L")");
  }
  DeleteProfileFile(scriptPath);
  return 0;
}

// The driver's DriverVer: its install section's own (a decorated variant
// first), else [Version]'s.
std::wstring DriverVersionText(const wchar_t* infPath, const wchar_t* installSection) {
  if (installSection && *installSection)
    for (const wchar_t* decoration : {L".NTamd64", L".NTx86", L".NT", L""}) {
      std::wstring ver =
          ReadInfValue(infPath, (std::wstring(installSection) + decoration).c_str(), L"DriverVer");
      if (!ver.empty()) return ver;
    }
  return ReadInfValue(infPath, L"Version", L"DriverVer");
}

// The [Version] values the driver key takes, refused like any other INF
// text when they name what the installation substitutes nothing for.
void RefuseUndefinedVersionValues(CInfInstaller* inst, const wchar_t* infPath) {
  for (const wchar_t* key : {L"Provider", L"Vro", L"DriverVer"}) {
    const std::wstring value = ReadInfValue(infPath, L"Version", key);
    if (inst->RefuseUndefinedReference(L"Version", key + (L" = " + value))) return;
  }
}

// Provider, Vro, VroSetup, DriverDate, DriverVersion and InfPath of the
// driver key.
void StageVersionValues(CInfInstaller* inst, const wchar_t* infPath, const wchar_t* script,
                        const std::wstring& d, const wchar_t* installSection) {
  std::wstring provider = ReadInfValue(infPath, L"Version", L"Provider");
  provider.push_back(0);
  CollapsePercentPairs(&provider[0]);
  provider = provider.c_str();
  if (!provider.empty())
    inst->WriteRegValue(d.c_str(), L"ProviderName", Sz(provider).c_str(), script);
  std::wstring vro = ReadInfValue(infPath, L"Version", L"Vro");
  inst->WriteRegValue(d.c_str(), L"Vro", vro.empty() ? L"-" : Sz(vro).c_str(), script);
  inst->WriteRegValue(d.c_str(), L"VroSetup", L"dword:00000001", script);
  std::wstring ver = DriverVersionText(infPath, installSection);
  if (!ver.empty()) {
    size_t comma = ver.find(L',');
    std::wstring date = ver.substr(0, comma);
    for (wchar_t& c : date)
      if (c == L'/') c = L'-';
    inst->WriteRegValue(d.c_str(), L"DriverDate", Sz(date).c_str(), script);
    if (comma != std::wstring::npos)
      inst->WriteRegValue(d.c_str(), L"DriverVersion", Sz(ver.substr(comma + 1)).c_str(), script);
  }
  inst->WriteRegValue(d.c_str(), L"InfPath", L"-", script);
}

// Params.ini beside the INF: the section named after the device, else the
// one named after the install section.
void StageParameterOverrides(CInfInstaller* inst, const wchar_t* infPath, const wchar_t* script,
                             const std::wstring& d, const wchar_t* description,
                             const wchar_t* installSection) {
  std::wstring params(infPath, FindFileNamePart(infPath) - infPath);
  params += L"Params.ini";
  for (const wchar_t* section : {description, installSection}) {
    if (!section || !*section) continue;
    int count = 0;
    wchar_t* list = ReadIniSection(params.c_str(), section);
    for (const wchar_t* p = list; p && *p; p += wcslen(p) + 1) {
      const wchar_t* eq = wcschr(p, L'=');
      if (!eq) continue;
      std::vector<wchar_t> name(p, eq);
      name.push_back(0);
      TrimBlanks(name.data());
      std::vector<wchar_t> value(eq + 1, eq + 1 + wcslen(eq + 1) + 1);
      CutIniComment(value.data());
      TrimBlanks(value.data());
      StripQuotes(value.data());
      if (!name[0] || !value[0]) continue;
      inst->WriteRegValue(d.c_str(), name.data(), value.data(), script);
      ++count;
    }
    delete[] list;
    if (count) break;
  }
}

// REG_MULTI_SZ data in its hex(7) form.
std::wstring MultiSzHex(const wchar_t* list, size_t chars) {
  std::wstring hex;
  FormatRegHexString(hex, kRegHexLineMax, list, chars, HIVE_REG_MULTI_SZ);
  return hex;
}

void StageNetworkValues(CInfInstaller* inst, const wchar_t* script, const std::wstring& d,
                        const wchar_t* classInstance, const wchar_t* adapterGuid,
                        const wchar_t* serviceName) {
  inst->WriteRegValue(d.c_str(), L"Diskless", L"1", script);
  // An empty service name would name the Services key itself.
  if (serviceName && *serviceName)
    inst->WriteRegValue(K(inst, L"services\\%s", serviceName).c_str(), L"Start", L"dword:00000000",
                        script);
  std::wstring linkage =
      K(inst, L"Control\\Class\\%s\\%s\\Linkage", inst->ClassGuid, classInstance);
  if (inst->TargetMajor() < 10) {
    static const wchar_t kVroNdis[] = L"VRONDIS\0";
    inst->WriteRegValue(linkage.c_str(), L"UpperBind", MultiSzHex(kVroNdis, 9).c_str(), script);
  } else if (adapterGuid && *adapterGuid && inst->Image) {
    std::wstring kernel = K(inst, L"Control\\NetworkSetup2\\Interfaces\\%s\\Kernel", adapterGuid);
    uint32_t type = 0;
    RegValueBuf* value = nullptr;
    if (inst->Image->RegQueryValue(kernel.c_str(), L"ProtocolList", &type, &value) ==
            REG_STATUS_OK &&
        value) {
      if (value->length >= 2)
        inst->WriteRegValue(linkage.c_str(), L"UpperBind",
                            MultiSzHex((const wchar_t*)value->data, value->length / 2).c_str(),
                            script);
      free(value);
    }
  }
}

void StageDisplayValues(CInfInstaller* inst, const wchar_t* script, const wchar_t* deviceInstance,
                        const wchar_t* serviceName) {
  std::wstring params = K(inst, L"Enum\\%s\\Device Parameters", deviceInstance);
  inst->WriteRegValue(params.c_str(), L"VidPnLkgTopology", L"-", script);
  if (serviceName && *serviceName && inst->Image) {
    uint32_t type = 0;
    RegValueBuf* value = nullptr;
    if (inst->Image->RegQueryValue(params.c_str(), L"VideoID", &type, &value) == REG_STATUS_OK &&
        value) {
      std::wstring id((const wchar_t*)value->data, value->length / 2);
      free(value);
      while (!id.empty() && !id.back()) id.pop_back();
      if (!id.empty())
        inst->WriteRegValue(K(inst, L"Control\\Video\\%s\\Video", id.c_str()).c_str(), L"Service",
                            Sz(serviceName).c_str(), script);
    }
  }
  inst->WriteRegSection((L"-" + K(inst, L"Enum\\%s\\LogConf", deviceInstance)).c_str(), kNoLines,
                        script);
  inst->WriteRegSection((L"-" + K(inst, L"Enum\\%s\\Properties", deviceInstance)).c_str(), kNoLines,
                        script);
}

// What both passes write after the walkers: the driver key's version values
// and install section, then the class's own values.
void StageClassValues(CInfInstaller* inst, const wchar_t* infPath, const wchar_t* script,
                      const wchar_t* classInstance, const wchar_t* adapterGuid,
                      const wchar_t* deviceInstance, const wchar_t* serviceName,
                      const wchar_t* description, const wchar_t* installSection) {
  std::wstring d = K(inst, L"Control\\Class\\%s\\%s", inst->ClassGuid, classInstance);
  StageVersionValues(inst, infPath, script, d, installSection);
  inst->WriteRegValue(d.c_str(), L"InfSection", Sz(installSection).c_str(), script);
  if (inst->ClassKind == kInfClassNet) {
    StageNetworkValues(inst, script, d, classInstance, adapterGuid, serviceName);
    StageParameterOverrides(inst, infPath, script, d, description, installSection);
  } else if (inst->ClassKind == kInfClassDisplay) {
    StageDisplayValues(inst, script, deviceInstance, serviceName);
  }
}

}  // namespace

uint32_t CInfInstaller::StageDriverRegistry(const wchar_t* infPath, const wchar_t* scriptPath,
                                            const wchar_t* classInstance,
                                            const wchar_t* adapterGuid,
                                            const wchar_t* deviceInstance, wchar_t* serviceName,
                                            wchar_t* serviceImage, int serviceImageChars) {
  if (!infPath || !scriptPath || !classInstance || !deviceInstance || !ClassMatches(this, infPath))
    return 0;
  CInstallEnvironment env;
  if (!env.Setup(this, infPath)) return 0;
  // A line that cannot be placed refuses the package (Refusal says which).
  Refusal.clear();
  RefusedPath = 0;
  if (!CreateScript(scriptPath)) return 0;
  // Every line is staged in memory; the script is written once, whole.
  CProfileHold hold(scriptPath);
  // Only the first maker of [Manufacturer] is used.
  std::vector<std::wstring> makers = SectionLines(infPath, L"Manufacturer");
  std::wstring key, value;
  if (makers.empty() || !SplitDirective(makers[0], key, value))
    return EndScript(this, hold, scriptPath, 0);
  uint32_t r =
      StageDDInstallSection(ModelsSectionName(value).c_str(), infPath, scriptPath, classInstance,
                            deviceInstance, serviceName, nullptr, serviceImage, serviceImageChars);
  RefuseUndefinedVersionValues(this, infPath);
  if (r && Refusal.empty())
    StageClassValues(this, infPath, scriptPath, classInstance, adapterGuid, deviceInstance,
                     serviceName, DeviceDescription, InstallSection);
  return EndScript(this, hold, scriptPath, r);
}

uint32_t CInfInstaller::StageSetupDriverRegistry(
    const wchar_t* infPath, const wchar_t* scriptPath, const wchar_t* classInstance,
    const wchar_t* adapterGuid, const wchar_t* deviceInstance, const wchar_t* deviceDescription,
    const wchar_t* installSection, wchar_t* serviceName, wchar_t* serviceImage,
    int serviceImageChars) {
  if (!infPath || !scriptPath || !classInstance || !deviceInstance || !installSection || !Image)
    return 0;
  if (Image->RegGetSubkeyCount(K(this, L"Enum\\%s", deviceInstance).c_str()) >= 0) return 0;
  if (!ClassMatches(this, infPath)) return 0;
  CInstallEnvironment env;
  if (!env.Setup(this, infPath)) return 0;
  // A line that cannot be placed refuses the package (Refusal says which).
  Refusal.clear();
  RefusedPath = 0;
  if (!CreateScript(scriptPath)) return 0;
  // Every line is staged in memory; the script is written once, whole.
  CProfileHold hold(scriptPath);
  static const wchar_t* const kInstall[] = {
      L"%s.NTamd64", L"%s.NTamd64.CoInstallers", L"%s.NTx86", L"%s.NTx86.CoInstallers",
      L"%s.NT",      L"%s.NT.CoInstallers",      L"%s",       L"%s.CoInstallers",
      L"%s.NTamd64.SoftwareSettings", L"%s.NTx86.SoftwareSettings", L"%s.NT.SoftwareSettings",
      L"%s.SoftwareSettings"};
  static const wchar_t* const kHardware[] = {L"%s.NTamd64.HW", L"%s.NTx86.HW", L"%s.NT.HW",
                                             L"%s.HW"};
  static const wchar_t* const kServices[] = {L"%s.NTamd64.Services", L"%s.NTx86.Services",
                                             L"%s.NT.Services", L"%s.Services"};
  auto names = [&](const wchar_t* const* table, size_t count) {
    std::vector<std::wstring> out;
    for (size_t i = 0; i < count; ++i) {
      wchar_t buffer[400];
      _snwprintf(buffer, 400, table[i], installSection);
      buffer[399] = 0;
      out.push_back(buffer);
    }
    return out;
  };
  std::vector<std::wstring> install = names(kInstall, 12), hardware = names(kHardware, 4),
                            services = names(kServices, 4);
  uint32_t r = 0;
  for (const std::wstring& s : install)
    for (int keysPass : {1, 0})
      r |= StageDelRegDirectives(s.c_str(), infPath, scriptPath, classInstance, keysPass) ? 1 : 0;
  for (const std::wstring& s : hardware)
    for (int keysPass : {1, 0})
      r |=
          StageDelRegDirectivesHw(s.c_str(), infPath, scriptPath, deviceInstance, keysPass) ? 1 : 0;
  for (const std::wstring& s : services)
    r |= StageDelServiceDirectives(s.c_str(), infPath, scriptPath) ? 1 : 0;
  for (const std::wstring& s : install)
    r |= StageAddRegDirectives(s.c_str(), infPath, scriptPath, classInstance) ? 1 : 0;
  for (const std::wstring& s : hardware)
    r |= StageAddRegDirectivesHw(s.c_str(), infPath, scriptPath, deviceInstance) ? 1 : 0;
  for (const std::wstring& s : services)
    r |= StageAddServiceDirectives(s.c_str(), infPath, scriptPath, serviceName, nullptr,
                                   classInstance, serviceImage, serviceImageChars)
             ? 1
             : 0;
  for (const std::wstring& s : install)
    r |= StageRegisterDllsDirectives(s.c_str(), infPath, scriptPath, classInstance) ? 1 : 0;
  RefuseUndefinedVersionValues(this, infPath);
  if (deviceDescription) RefuseUndefinedReference(L"Models", deviceDescription);
  if (!r || !Refusal.empty()) return EndScript(this, hold, scriptPath, 0);
  if (deviceDescription)
    WriteRegValue(K(this, L"Control\\Class\\%s\\%s", ClassGuid, classInstance).c_str(),
                  L"DriverDesc", Sz(deviceDescription).c_str(), scriptPath);
  StageClassValues(this, infPath, scriptPath, classInstance, adapterGuid, deviceInstance,
                   serviceName, deviceDescription, installSection);
  return EndScript(this, hold, scriptPath, 1);
}
