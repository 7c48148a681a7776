// The driver-pack injection.
#include "infinstall/driverpack/DriverPackInjection.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "common/IniSection.h"
#include "common/ConsoleOutput.h"
#include "common/PathUtil.h"
#include "common/TempFiles.h"
#include "common/UnicodeProfile.h"
#include "driverstore/DeviceInf.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfImporter.h"
#include "driverstore/PnpRegistration.h"
#include "image/device/HostWriteFailure.h"
#include "image/mount/HostRoom.h"
#include "image/mount/MountedImage.h"
#include "infinstall/DriverCache.h"
#include "infinstall/InfInstaller.h"
#include "infinstall/driverpack/DriverInstallation.h"
#include "netcfg/AdapterRemoval.h"
#include "netcfg/NewAdapterBinding.h"
#include "netcfg/NewAdapterIdentity.h"
#include "netcfg/NetworkConfig.h"
#include "netcfg/WrapperAdapter.h"
#include "registry/RegistryFacade.h"
#include "registry/RegistryReads.h"
#include "registry/hive/HiveImage.h"

namespace {

const wchar_t kPnpInstance[] = L"VRO&Node&Pnp";
const wchar_t kDisplayClass[] = L"{4D36E968-E325-11CE-BFC1-08002BE10318}";

std::wstring K(uint32_t controlSet, const wchar_t* format, const wchar_t* a = L"",
               const wchar_t* b = L"", const wchar_t* c = L"") {
  wchar_t tail[1024], key[1100];
  _snwprintf(tail, 1024, format, a, b, c);
  tail[1023] = 0;
  _snwprintf(key, 1100, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\%s", controlSet, tail);
  key[1099] = 0;
  return key;
}

std::wstring Join(const std::wstring& a, const std::wstring& b) {
  wchar_t path[kPathChars];
  lstrcpynW(path, a.c_str(), kPathChars);
  AppendPathPart(path, kPathChars, b.c_str());
  return path;
}

std::wstring CutAt(std::wstring text, const wchar_t* marker) {
  size_t n = wcslen(marker);
  for (size_t i = 0; i + n <= text.size(); ++i)
    if (_wcsnicmp(text.c_str() + i, marker, n) == 0) return text.substr(0, i);
  return text;
}

// The line of a failed installation: the device, the result and what
// stopped it (the section and the value that refused it, where one did).
// A host disk that refused a write is the first cause: its line goes first.
void ReportRefusal(uint32_t kind, const wchar_t* hardwareId, int32_t result,
                   const std::wstring& why) {
  if (result >= 0) return;
  TellHostWriteFailure();
  WriteCommandLine(FormatDriverRefusal(kind, hardwareId, result, why) + L"\r\n");
}

// Why the changed hives did not reach the image: the hive file the volume
// did not take back, as the registry tells it.
std::wstring WriteBackFailure(CMountedImage* image) {
  const std::wstring why = RegistryFailure(image);
  return why.empty() ? L"the changed hives could not be written back into the image" : why;
}

}  // namespace

int CompareDottedVersions(const wchar_t* a, const wchar_t* b) {
  auto parts = [](const wchar_t* text, unsigned long out[4]) {
    out[0] = out[1] = out[2] = out[3] = 0;
    std::wstring t = text ? std::wstring(text).substr(0, 99) : L"";
    size_t pos = 0;
    for (int i = 0; i < 4 && pos <= t.size(); ++i) {
      size_t dot = t.find(L'.', pos);
      out[i] =
          wcstoul(t.substr(pos, dot == std::wstring::npos ? std::wstring::npos : dot - pos).c_str(),
                  nullptr, 10);
      if (dot == std::wstring::npos) break;
      pos = dot + 1;
    }
  };
  unsigned long pa[4], pb[4];
  parts(a, pa);
  parts(b, pb);
  for (int i = 0; i < 4; ++i)
    if (pa[i] != pb[i]) return pa[i] > pb[i] ? 1 : -1;
  return 0;
}

int IsDeviceDriverCurrent(CMountedImage* image, uint32_t controlSet, const wchar_t* enumerator,
                          const wchar_t* hardwareId, const wchar_t* storeVersion,
                          wchar_t* instanceName, int instanceChars, wchar_t* classInstance,
                          int classChars) {
  for (const std::wstring& instance :
       ListRegistrySubkeys(image, K(controlSet, L"Enum\\%s\\%s", enumerator, hardwareId))) {
    std::wstring key = K(controlSet, L"Enum\\%s\\%s\\%s", enumerator, hardwareId, instance.c_str());
    std::wstring service, driver;
    if (!ReadRegistryText(image, key, L"Service", service) || service.empty() ||
        !ReadRegistryText(image, key, L"Driver", driver) || driver.empty())
      continue;
    std::wstring classKey = K(controlSet, L"Control\\Class\\%s", driver.c_str());
    if (!RegistryKeyExists(image, classKey)) continue;
    std::wstring version;
    bool current = !ReadRegistryText(image, classKey, L"DriverVersion", version) ||
                   version.empty() || !storeVersion || !*storeVersion ||
                   CompareDottedVersions(version.c_str(), storeVersion) == 0;
    size_t slash = driver.find(L'\\');
    if (classInstance && classChars > 0) {
      if (slash == std::wstring::npos) continue;
      lstrcpynW(classInstance, driver.c_str() + slash + 1, classChars);
    }
    if (instanceName && instanceChars > 0) lstrcpynW(instanceName, instance.c_str(), instanceChars);
    if (_wcsicmp(service.c_str(), L"vga") == 0 || _wcsicmp(service.c_str(), L"BasicDisplay") == 0)
      continue;
    if (current) return 1;
  }
  return 0;
}

int32_t WriteDisplayDefaultSettings(CMountedImage* image, uint32_t controlSet, uint16_t x,
                                    uint16_t y, uint16_t refresh) {
  int written = 0;
  std::wstring classKey = K(controlSet, L"Control\\Class\\%s", kDisplayClass);
  for (const std::wstring& instance : ListRegistrySubkeys(image, classKey)) {
    if (instance.size() != 4 || instance.find_first_not_of(L"0123456789") != std::wstring::npos)
      continue;
    std::wstring key = classKey + L"\\" + instance;
    uint32_t values[4] = {x, y, refresh, 32};
    const wchar_t* names[4] = {L"DefaultSettings.XResolution", L"DefaultSettings.YResolution",
                               L"DefaultSettings.VRefresh", L"DefaultSettings.BitsPerPel"};
    for (int i = 0; i < 4; ++i) image->RegSetValue(key.c_str(), names[i], &values[i], 4, 4);
    written = 1;
  }
  return written ? kDriverPackInstalled : kDriverPackNotInStore;
}

int32_t InstallHardwareDriverPack(CMountedImage* image, uint32_t kind, const wchar_t* hardwareId,
                                  const wchar_t* index, const wchar_t* address,
                                  const wchar_t* extra, uint32_t profileLow, uint32_t profileHigh) {
  if (!image || !hardwareId || !image->LoadHives(1)) {
    ReportRefusal(kind, kind == kDriverPackResolution ? nullptr : hardwareId,
                  kDriverPackNoSystemHive,
                  L"the SYSTEM hive of the image could not be loaded");
    return kDriverPackNoSystemHive;
  }
  const uint32_t cs = ReadCurrentControlSet(image);
  const uint64_t profile = ((uint64_t)profileHigh << 32) | profileLow;
  int32_t result = kDriverPackNotInStore;
  if (kind == kDriverPackResolution) {
    const uint16_t* r = reinterpret_cast<const uint16_t*>(hardwareId);
    result = WriteDisplayDefaultSettings(image, cs, r[0], r[1], r[2]);
    if (!image->UnloadHives() && result >= 0) result = kDriverPackImportFailed;
    ReportRefusal(kind, nullptr, result,
                  result == kDriverPackNotInStore
                      ? L"the image has no display adapter to take the resolution"
                      : WriteBackFailure(image));
    return result;
  }
  const uint32_t version = image->GetWindowsVersion();
  const std::wstring lookup = CutAt(CutAt(hardwareId, L"&REV_"), L"&SUBSYS_").substr(0, 99);
  wchar_t folder[kPathChars];
  GetDriverStoreFolder(kind == kDriverPackNetwork ? kStoreNetwork : kStoreDisplay, version, folder);
  const std::wstring storeFolder = folder;
  wchar_t enumerator[100] = L"PCI", package[60] = L"";
  std::wstring ids = FindHardwareIdSections(Join(storeFolder, L"VroDir.ini").c_str(),
                                            lookup.c_str(), enumerator, package);
  // The hardware id names the per-device INF and the cache file, the index
  // section the package folder: none may lead out of its folder.
  if (!IsPlainName(hardwareId) || !IsPlainName(package) || !IsPlainName(enumerator)) {
    ids.clear();
    package[0] = 0;
  }
  const std::wstring packageFolder = package;
  const std::wstring packagePath = Join(storeFolder, packageFolder);
  const std::wstring nconfig = Join(packagePath, L"NConfig.ini");
  // Whatever a failed installation staged in the hive is put back, and the
  // files it placed or removed and the folders it made with them.
  HiveCheckpoint start(image);
  CInfInstaller inst;
  inst.Init(image, 0, cs, 0, nullptr, nullptr, 0, profile);
  wchar_t script[kPathChars] = L"";
  // The installation's state, its staging script held in memory until the
  // cache file is made of it.
  DriverInstallState state;
  bool cacheReady = false;
  // What stopped the installation, for the line a failure prints.
  std::wstring why = kind == kDriverPackNetwork || kind == kDriverPackDisplay
                         ? L"not in the driver store (" + Join(storeFolder, L"VroDir.ini") + L")"
                         : L"no adapter of this kind (2 network, 3 display, 51 resolution)";
  while (kind == kDriverPackNetwork || kind == kDriverPackDisplay) {
    if (ids.empty() || !ids[0]) break;
    if (!start.Taken()) {
      result = kDriverPackNoSystemHive;
      why = L"the SYSTEM hive of the image could not be kept for a rollback";
      break;
    }
    // The version the store would install: this workstation's, else the
    // package's choice, else the newest folder.
    const std::wstring versionText = VersionToInstall(packagePath, index ? index : L"");
    if (!versionText.empty() && !IsPlainName(versionText.c_str())) {
      result = kDriverPackNoVersion;
      why = L"the version " + versionText + L" names no folder of " + packagePath;
      break;
    }
    wchar_t existingInstance[100] = L"", existingClass[100] = L"";
    bool display = kind == kDriverPackDisplay;
    if (IsDeviceDriverCurrent(image, cs, enumerator, hardwareId, versionText.c_str(),
                              display ? existingInstance : nullptr, 100,
                              display ? existingClass : nullptr, 100)) {
      result = kDriverPackCurrent;
      break;
    }
    if (versionText.empty()) {
      result = kDriverPackNoVersion;
      why = L"no version folder in " + packagePath;
      break;
    }
    const std::wstring versionPath = Join(packagePath, versionText);
    wchar_t adapterGuid[100] = L"";
    uint32_t netLuid = 0xFFFFFFFFu;
    if (!display)
      inst.Init(image, version, cs, kInfClassNet, L"Net", kNetClassGuid, 0, profile);
    else
      inst.Init(image, version, cs, kInfClassDisplay, L"Display", kDisplayClassGuid, 1, profile);
    wchar_t pendingSection[100] = L"";
    std::wstring pending =
        ReadPendingDeviceSection(Join(versionPath, L"VroPnp.ini").c_str(), pendingSection, 100);
    if (pendingSection[0] && IsPlainName(pendingSection)) lstrcpynW(enumerator, pendingSection, 100);
    if (!ExtractDeviceInf(image, version, versionPath.c_str(), enumerator, hardwareId)) {
      result = kDriverPackNoDeviceInf;
      why = L"no model of " + Join(versionPath, L"VroPnp.inf") +
            L" with a driver file and a service serves the device";
      // A file name the store's package holds that no installation takes
      // (or a file it lacks) is named.
      const std::wstring refused = FindMissingPackageFile(versionPath.c_str());
      if (!refused.empty()) why += L"; the package's file " + refused + L" is refused or missing";
      break;
    }
    const std::wstring inf = Join(versionPath, std::wstring(hardwareId) + L".inf");
    // What the installation reads of the version folder: a cache file is
    // bound to each of them as it is now.
    std::vector<std::wstring> readFiles = {inf};
    for (const wchar_t* list : {L"VroPnp.inf", L"VroPnp.ini"})
      if (GetPathKind(Join(versionPath, list).c_str()) == 1)
        readFiles.push_back(Join(versionPath, list));
    std::vector<std::wstring> fileNames;
    result = CheckDriverInstallation(&inst, inf.c_str(), nullptr, &fileNames, &why);
    if (result != kDriverPackInstalled) break;
    if (!display && !PrepareNewAdapterIdentity(&inst, adapterGuid, &netLuid)) {
      result = kDriverPackNoAdapterIdentity;
      why = L"the image has no adapter configuration prepared for a new adapter";
      break;
    }
    // From here every file placed or removed and every folder made is one
    // change, kept only once the hive holds the installation.
    inst.BeginFileSwap();
    // An earlier installation of this very package version for the profile
    // is replayed in place of a new one, once everything a new one checks
    // has held.
    std::wstring hivesWhy;
    int32_t hivesResult = kDriverPackInstalled;
    const DriverReplayTarget replay = {
        hardwareId,
        profile,
        versionText.c_str(),
        versionPath.c_str(),
        display ? nullptr : adapterGuid,
        &fileNames,
        &readFiles,
        [&](const wchar_t* plain) {
          hivesResult = PrepareScriptHives(&inst, plain, &start, &hivesWhy);
          return hivesResult == kDriverPackInstalled;
        }};
    int replayed = ReplayDriverCache(&inst, replay);
    if (replayed != kReplayNotDone) {
      result = replayed == kReplayDone                 ? kDriverPackInstalled
               : replayed == kReplayFilesFailed        ? kDriverPackFilePassFailed
               : hivesResult != kDriverPackInstalled   ? hivesResult
                                                       : kDriverPackImportFailed;
      why = replayed == kReplayFilesFailed
                ? L"the cache file's driver files could not be placed: " + inst.Refusal
                : L"the cache file's registry data could not be imported" +
                      (hivesWhy.empty() ? std::wstring() : L": " + hivesWhy);
      break;
    }
    // A new adapter, or a display device's new boot-time instance; a
    // display device with an instance of another driver is replaced there.
    DriverInstallTarget target = {};
    target.kind = kind;
    target.inf = inf.c_str();
    target.enumerator = enumerator;
    target.hardwareId = hardwareId;
    const bool replace = display && existingClass[0] && existingInstance[0];
    if (replace) {
      target.existingInstance = existingInstance;
      target.existingClass = existingClass;
    }
    const std::wstring componentId = std::wstring(enumerator) + L"\\\\" + packageFolder;
    const std::wstring configId = std::wstring(enumerator) + L"\\" + packageFolder;
    target.adapterGuid = display ? nullptr : adapterGuid;
    target.netLuidIndex = netLuid;
    target.componentId = componentId.c_str();
    target.configId = configId.c_str();
    target.pendingIds = &pending;
    result = StageAndImportDriver(&inst, target, &state, &start);
    if (!state.script.empty()) lstrcpynW(script, state.script.c_str(), kPathChars);
    if (result != kDriverPackInstalled) why = state.why;
    if (result == kDriverPackInstalled && replace && _wcsicmp(existingInstance, kPnpInstance) != 0)
      inst.RenameEnumInstance(enumerator, hardwareId, existingInstance, kPnpInstance, script);
    wchar_t* service = state.service;
    const std::wstring keptDriverKey = state.driverKey;
    // What the cache file records is read while the hive is loaded.
    const DriverCacheOwner owner = {keptDriverKey.c_str(), service, versionText.c_str(),
                                    display ? L"" : adapterGuid, &readFiles};
    cacheReady = result == kDriverPackInstalled && RecordDriverCacheOwner(image, cs, script, owner);
    break;
  }
  if (result < 0)
    start.Restore();
  else
    start.Keep();
  // The changed hives must reach the image: a failed write-back is a
  // failed installation, not a success. Until it has, the files placed or
  // removed can still be taken back, and are when it fails.
  if (!image->UnloadHives() && result >= 0) {
    result = kDriverPackImportFailed;
    why = WriteBackFailure(image);
  }
  inst.EndFileSwap(result >= 0);
  ReportRefusal(kind, hardwareId, result, why);
  // Only an installation that holds is kept for a later replay.
  if (script[0]) {
    if (cacheReady && result == kDriverPackInstalled)
      WriteDriverCacheFile(script, profile, hardwareId);
    DeleteProfileFile(script);
  }
  // Only an installation that holds (or found the driver current) is noted
  // for the workstation.
  if (result >= 0 && !packageFolder.empty() && index && *index) {
    std::wstring value = address ? std::wstring(address).substr(0, 399) : L"";
    if (address && extra) value += L"|" + std::wstring(extra);
    WritePrivateProfileStringW(L"History", index, value.c_str(), nconfig.c_str());
  }
  return result;
}
