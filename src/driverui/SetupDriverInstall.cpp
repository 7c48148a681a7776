#include <windows.h>

#include "driverui/SetupDriverInstall.h"

#include <string>

#include "common/PathUtil.h"
#include "common/TempFiles.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfImporter.h"
#include "driverstore/PnpRegistration.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "netcfg/NetworkConfig.h"
#include "netcfg/NewAdapterBinding.h"
#include "netcfg/NewAdapterIdentity.h"
#include "netcfg/WrapperAdapter.h"
#include "registry/RegistryFacade.h"

namespace {

// What every item of a run derives from its row before the passes.
struct SetupItemPaths {
  wchar_t enumerator[100] = L"PCI";
  std::wstring ids;  // the pending device section's ids, a string list
  wchar_t script[kPathChars] = {};
  wchar_t devicePath[200] = {};
  wchar_t deviceId[200] = {};
  wchar_t classInstance[100] = {};
  wchar_t driverKey[200] = {};
  wchar_t service[100] = {};
};

// Enumerator, id list and staging script of one row; false when no script
// can be made.
bool PrepareItem(const SetupPackageRow& row, SetupItemPaths& p) {
  wchar_t ini[kPathChars];
  CopyParentPath(row.infPath, ini, kPathChars);
  AppendPathPart(ini, kPathChars, L"VroPnp.ini");
  p.ids = ReadPendingDeviceSection(ini, p.enumerator, 100);
  if (!CreateTempFileName(p.script, L"Ins")) return false;
  _snwprintf(p.devicePath, 199, L"%s\\%s\\VRO&Node&Pnp", p.enumerator, row.hardwareId);
  _snwprintf(p.deviceId, 199, L"%s\\%s", p.enumerator, row.hardwareId);
  return true;
}

// The per-item display flow; true when the package went in.
bool InstallDisplayItem(CMountedImage* image, uint32_t target, uint32_t controlSet,
                        uint32_t linkFiles, const SetupPackageRow& row, SetupItemPaths& p) {
  CInfInstaller inst;
  inst.Init(image, target, controlSet, kInfClassDisplay, L"Display", kDisplayClassGuid, linkFiles,
            0);
  inst.FindFreeClassInstance(kInfClassDisplay, p.classInstance);
  if (!inst.StageSetupDriverRegistry(row.infPath, p.script, p.classInstance, nullptr, p.devicePath,
                                     row.name, row.installSection, p.service))
    return false;
  inst.AssignServiceTag(p.service, p.script);
  inst.StageDisplayDeviceInstance(row.infPath, p.script, p.deviceId, p.service, p.classInstance);
  _snwprintf(p.driverKey, 199, L"{4D36E968-E325-11CE-BFC1-08002BE10318}\\%s", p.classInstance);
  if (!inst.CopySetupDriverFiles(row.infPath, p.script, p.driverKey, row.installSection))
    return false;
  if (image->ImportRegFile(p.script) != 0) return false;
  RegisterPnpDevice(image, controlSet, p.ids, p.enumerator);
  return true;
}

// The per-item network flow on the run's installer and adapter identity.
bool InstallNetworkItem(CInfInstaller& inst, const wchar_t* adapterGuid, uint32_t netLuidIndex,
                        const SetupPackageRow& row, SetupItemPaths& p) {
  CMountedImage* image = inst.Image;
  inst.FindFreeClassInstance(kInfClassNet, p.classInstance);
  if (!inst.StageSetupDriverRegistry(row.infPath, p.script, p.classInstance, adapterGuid,
                                     p.devicePath, row.name, row.installSection, p.service))
    return false;
  inst.AssignServiceTag(p.service, p.script);
  inst.StageNetDeviceInstance(row.infPath, p.script, p.deviceId, p.service, p.classInstance,
                              netLuidIndex);
  wchar_t escaped[200];
  _snwprintf(escaped, 199, L"%s\\\\%s", p.enumerator, row.hardwareId);
  escaped[199] = 0;
  inst.StageNetAdapterLinkage(adapterGuid, p.script, escaped, escaped, p.classInstance);
  _snwprintf(p.driverKey, 199, L"{4D36E972-E325-11CE-BFC1-08002BE10318}\\%s", p.classInstance);
  if (!inst.CopySetupDriverFiles(row.infPath, p.script, p.driverKey, row.installSection))
    return false;
  if (image->ImportRegFile(p.script) != 0) return false;
  int32_t wrapper = -1;
  if (inst.TargetMajor() < 10) {
    AddAdapterToNetworkConfig(&inst, adapterGuid, p.deviceId, p.devicePath, p.script);
    wrapper = FindWrapperAdapter(image, inst.TargetVersion, inst.ControlSet, nullptr, 0);
  }
  BindNewAdapter(&inst, adapterGuid, p.driverKey, wrapper, p.script);
  RegisterPnpDevice(image, inst.ControlSet, p.ids, p.enumerator);
  return true;
}

}  // namespace

int InstallStorePackages(CMountedImage* image, uint32_t classKind, uint32_t linkFiles,
                         const std::vector<SetupPackageRow>& rows) {
  const uint32_t target = image->GetWindowsVersion();
  const uint32_t controlSet = ReadCurrentControlSet(image);
  const bool network = classKind == kInfClassNet;
  CInfInstaller netInstaller;
  wchar_t adapterGuid[kAdapterGuidChars] = {};
  uint32_t netLuidIndex = 0xFFFFFFFF;
  if (network) {
    netInstaller.Init(image, target, controlSet, kInfClassNet, L"Net", kNetClassGuid, linkFiles, 0);
    if (!PrepareNewAdapterIdentity(&netInstaller, adapterGuid, &netLuidIndex))
      return kSetupInstallNoAdapterIdentity;
  }
  int count = 0;
  for (const SetupPackageRow& row : rows) {
    SetupItemPaths p;
    if (!PrepareItem(row, p)) continue;
    bool ok = network ? InstallNetworkItem(netInstaller, adapterGuid, netLuidIndex, row, p)
                      : InstallDisplayItem(image, target, controlSet, linkFiles, row, p);
    DeleteFileW(p.script);
    if (ok) count++;
  }
  if (count > 0) TidyDriverStoreIndex(network ? kStoreNetwork : kStoreDisplay, target);
  return count;
}
