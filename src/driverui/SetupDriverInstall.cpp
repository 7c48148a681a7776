#include <windows.h>

#include "driverui/SetupDriverInstall.h"

#include <string>

#include "common/PathUtil.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfImporter.h"
#include "driverstore/PnpRegistration.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "infinstall/driverpack/DriverInstallation.h"
#include "infinstall/driverpack/DriverPackInjection.h"
#include "registry/RegistryFacade.h"

int InstallStorePackages(CMountedImage* image, uint32_t classKind, uint32_t linkFiles,
                         const std::vector<SetupPackageRow>& rows,
                         std::vector<SetupPackageFailure>* failures) {
  const uint32_t target = image->GetWindowsVersion();
  const uint32_t controlSet = ReadCurrentControlSet(image);
  const bool network = classKind == kInfClassNet;
  // The identities the adapters of this run took: none is given twice.
  std::vector<std::wstring> taken;
  int count = 0;
  for (const SetupPackageRow& row : rows) {
    wchar_t ini[kPathChars], enumerator[100] = L"PCI";
    CopyParentPath(row.infPath, ini, kPathChars);
    AppendPathPart(ini, kPathChars, L"VroPnp.ini");
    const std::wstring ids = ReadPendingDeviceSection(ini, enumerator, 100);
    CInfInstaller inst;
    if (network)
      inst.Init(image, target, controlSet, kInfClassNet, L"Net", kNetClassGuid, linkFiles, 0);
    else
      inst.Init(image, target, controlSet, kInfClassDisplay, L"Display", kDisplayClassGuid,
                linkFiles, 0);
    const std::wstring componentId = std::wstring(enumerator) + L"\\\\" + row.hardwareId;
    const std::wstring configId = std::wstring(enumerator) + L"\\" + row.hardwareId;
    DriverInstallTarget t = {};
    t.kind = network ? kDriverPackNetwork : kDriverPackDisplay;
    t.inf = row.infPath;
    t.enumerator = enumerator;
    t.hardwareId = row.hardwareId;
    t.deviceName = row.name;
    t.installSection = row.installSection;
    t.netLuidIndex = 0xFFFFFFFFu;
    t.componentId = componentId.c_str();
    t.configId = configId.c_str();
    t.pendingIds = &ids;
    DriverInstallState state;
    const int32_t result = InstallDriverTransaction(&inst, t, &state, &taken);
    if (result == kDriverPackInstalled) {
      count++;
    } else if (failures) {
      failures->push_back({row.name, row.version, result,
                           FormatDriverRefusal(t.kind, row.hardwareId, result, state.why)});
    }
  }
  if (count > 0) TidyDriverStoreIndex(network ? kStoreNetwork : kStoreDisplay, target);
  return count;
}

std::wstring DescribeFailedPackages(const std::wstring& format,
                                    const std::vector<SetupPackageFailure>& failures) {
  std::wstring list;
  for (const SetupPackageFailure& f : failures)
    list += f.name + L" " + f.version + L": " + f.line + L"\r\n";
  std::wstring text(format.size() + list.size() + 1, L'\0');
  _snwprintf(&text[0], text.size(), format.c_str(), list.c_str());
  text.resize(wcsnlen(text.c_str(), text.size()));
  return text;
}
