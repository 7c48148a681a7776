#include "driverui/ImgNetDrvDlg.h"

#include <objbase.h>

#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "common/PathUtil.h"
#include "driverstore/DriverStore.h"
#include "driverstore/NetAdapterExport.h"
#include "driverui/DriverListDraw.h"
#include "driverui/ImgDrvPropertyDlg.h"
#include "driverui/ImgStoreEntries.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "netcfg/AdapterRegistration.h"
#include "netcfg/AdapterRemoval.h"
#include "netcfg/NetStackQueries.h"
#include "netcfg/NetworkConfigBlob.h"
#include "netcfg/WrapperAdapter.h"
#include "registry/RegistryFacade.h"
#include "registry/RegistryReads.h"
#include "ui/controls/ListView.h"

namespace {

const wchar_t kNetClass[] = L"{4D36E972-E325-11CE-BFC1-08002BE10318}";
const int kNetIcons[10] = {161, 161, 161, 129, 129, 129, 128, 128, 128, 130};
const int kNetTips[5] = {145, 146, 147, 148, 149};
const DriverPageTraits kNetTraits = {kStoreNetwork, kNetClass, kNetIcons,
                                     kNetTips,      129,       L"ListviewNetDrvListColumn"};

}  // namespace

CImgNetDrvDlg::CImgNetDrvDlg(CWindow* container, CMountedImage* image)
    : CImgDriverPage(image, kNetTraits) {
  Create(container, 138, FALSE, 0);
}

LRESULT CImgNetDrvDlg::OnInitDialog() {
  InitPage();
  FillAdapterList();
  return 1;
}

int32_t CImgNetDrvDlg::WrapperInstance(uint32_t version, uint32_t controlSet, wchar_t* guid) {
  guid[0] = 0;
  if (((version >> 8) & 0xFF) >= 10) return -1;
  return FindWrapperAdapter(m_image, version, controlSet, guid, 100);
}

void CImgNetDrvDlg::FillAdapterList() {
  HWND list = List();
  ListView_DeleteAllItems(list);
  const uint32_t version = m_image->GetWindowsVersion();
  const uint32_t cs = ReadCurrentControlSet(m_image);
  wchar_t wrapperGuid[100];
  const int32_t wrapper = WrapperInstance(version, cs, wrapperGuid);
  const std::wstring target = TargetFolderText();
  bool problem = false;

  for (const wchar_t* enumerator : kDriverEnumerators) {
    std::wstring enumKey = ImageSystemKey(cs, std::wstring(L"Enum\\") + enumerator);
    for (const std::wstring& device : ListRegistrySubkeys(m_image, enumKey)) {
      for (const std::wstring& instanceKey :
           ListRegistrySubkeys(m_image, enumKey + L"\\" + device)) {
        std::wstring inst = enumKey + L"\\" + device + L"\\" + instanceKey;
        std::wstring classGuid, driver, desc, service;
        if (!ReadRegistryText(m_image, inst, L"ClassGUID", classGuid) ||
            !SameTextAZ(classGuid.c_str(), L"{4d36e972-e325-11ce-bfc1-08002be10318}"))
          continue;
        if (!ReadRegistryText(m_image, inst, L"Driver", driver) || driver.empty()) continue;
        if (!ReadRegistryString(m_image, inst, L"DeviceDesc", desc)) continue;
        int image = 0, binding = 0;
        std::wstring classKey = ImageSystemKey(cs, L"Control\\Class\\" + driver);
        bool hasService = ReadRegistryText(m_image, inst, L"Service", service);
        if (hasService) {
          std::wstring guid;
          if (ReadRegistryText(m_image, classKey, L"NetCfgInstanceId", guid)) {
            binding =
                DescribeAdapterRegistration(m_image, version, cs, guid.c_str(), service.c_str(),
                                            driver.c_str(), wrapper, wrapperGuid);
            uint32_t characteristics = 0;
            if (ReadRegistryDword(m_image, classKey, L"Characteristics", characteristics) &&
                (characteristics & 0x80) && (characteristics & 0x05))
              image = (characteristics & 0x04) ? 0 : 6;
          } else {
            image = 2;
          }
          if (!binding) problem = true;
        } else {
          problem = true;
        }
        const std::wstring& ownKey = hasService ? classKey : inst;
        if (IsOwnDriverKey(m_image, ownKey)) image = 3;
        if (!binding && image != 2) image += 1;
        int item = ListAppendItem(list, AfterLastSemicolon(desc).c_str(), image);
        std::wstring installed;
        if (ReadRegistryString(m_image, ownKey, L"DriverVersion", installed))
          ListSetItemText(list, item, kColInstalledVersion, installed.c_str());
        ListSetItemText(list, item, kColInstance, AfterLastBackslash(driver).c_str());
        ListSetItemText(list, item, kColDeviceKey, device.c_str());
        ListSetItemText(list, item, kColInstanceKey, instanceKey.c_str());
        ListSetItemText(list, item, kColEnumerator, enumerator);
        ListSetItemText(list, item, kColHardwareId, CutHardwareId(device).c_str());
        ListSetItemText(list, item, kColTarget, target.c_str());
        SetStoreColumns(item);
      }
    }
  }

  // Driver keys that no device names.
  std::wstring classRoot = ImageSystemKey(cs, std::wstring(L"Control\\Class\\") + kNetClass);
  for (const std::wstring& instance : ListRegistrySubkeys(m_image, classRoot)) {
    std::wstring key = classRoot + L"\\" + instance;
    uint32_t characteristics = 0;
    std::wstring desc;
    if (!ReadRegistryDword(m_image, key, L"Characteristics", characteristics) ||
        !(characteristics & 0x80) || !(characteristics & 0x05))
      continue;
    if (!ReadRegistryString(m_image, key, L"DriverDesc", desc)) continue;
    std::wstring driverText = std::wstring(L"{4D36E972-E325-11CE-BFC1-08002bE10318}\\") + instance;
    bool named = false;
    for (const wchar_t* enumerator : kDriverEnumerators)
      named =
          named || AnyEnumInstanceHasValue(m_image, enumerator, cs, L"Driver", driverText.c_str());
    if (named) continue;
    int item =
        ListAppendItem(list, AfterLastSemicolon(desc).c_str(), (characteristics & 0x04) ? 2 : 8);
    std::wstring installed;
    if (ReadRegistryString(m_image, key, L"DriverVersion", installed))
      ListSetItemText(list, item, kColInstalledVersion, installed.c_str());
    ListSetItemText(list, item, kColInstance, instance.c_str());
    problem = true;
  }

  // Adapters of the network configuration without their connection key.
  std::vector<uint8_t> config;
  NetworkConfigBlob blob(NetworkConfigBlob::LayoutOf(version));
  if (ReadRegistryBytes(m_image, ImageSystemKey(cs, L"Control\\Network"), L"Config", config) &&
      blob.Parse(config.data(), static_cast<uint32_t>(config.size())) == kNetConfigParsed) {
    std::set<std::wstring> seen;
    for (const NetConfigEntry& entry : blob.Entries) {
      if (entry.classIndex != kNetConfigAdapter || !(entry.characteristics & 0x80) ||
          !(entry.characteristics & 0x05))
        continue;
      wchar_t guid[64] = L"";
      StringFromGUID2(entry.guid, guid, 64);
      std::wstring folded = guid;
      for (wchar_t& c : folded)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
      if (!seen.count(folded)) {
        std::wstring connection =
            ImageSystemKey(cs, std::wstring(L"Control\\Network\\") + kNetClass + L"\\" + guid);
        if (m_image->RegGetSubkeyCount(connection.c_str()) >= 0) {
          seen.insert(folded);
          continue;
        }
      }
      int item =
          ListAppendItem(list, entry.pnpInstanceId.c_str(), (entry.characteristics & 0x04) ? 2 : 8);
      ListSetItemText(list, item, kColInstanceKey, entry.pnpInstanceId.c_str());
      ListSetItemText(list, item, kColDeviceKey, guid);
      problem = true;
    }
  }
  if (problem) ShowProblemLegend();
  UpdateButtons();
}

void CImgNetDrvDlg::RefreshInstalledRow(int item) {
  HWND list = List();
  int image = ListGetItemImage(list, item);
  if (DriverRowStateOf(image) == kRowProblem) ListSetItemImage(list, item, image - 1);
  wchar_t installed[100] = L"";
  if (ReadNetDriverVersion(ItemText(item, kColInstance, 100).c_str(),
                           ReadCurrentControlSet(m_image), m_image, installed))
    ListSetItemText(list, item, kColInstalledVersion, installed);
}

void CImgNetDrvDlg::DeleteSelected() {
  HWND list = List();
  if (ListView_GetNextItem(list, -1, LVNI_SELECTED) < 0) return;
  if (MessageBoxW(m_hWnd, LoadString(150).c_str(), LoadString(111).c_str(),
                  MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) != IDYES)
    return;
  const uint32_t version = m_image->GetWindowsVersion();
  const uint32_t cs = ReadCurrentControlSet(m_image);
  int item = -1;
  while ((item = ListView_GetNextItem(list, item, LVNI_SELECTED)) >= 0) {
    uint32_t last = ListView_GetItemCount(list) <= 1 ? 1 : 0;
    if (RemoveNetAdapter(ItemText(item, kColEnumerator, 100).c_str(),
                         ItemText(item, kColDeviceKey, 200).c_str(), m_image, version, cs,
                         ItemText(item, kColInstance, 100).c_str(),
                         ItemText(item, kColInstanceKey, 100).c_str(), last)) {
      ListView_DeleteItem(list, item);
      --item;  // the next row moved into this place
    }
  }
  // Removing an adapter can mend the bindings of others.
  wchar_t wrapperGuid[100];
  const int32_t wrapper = WrapperInstance(version, cs, wrapperGuid);
  int count = ListView_GetItemCount(list);
  for (int i = 0; i < count; ++i) {
    int image = ListGetItemImage(list, i);
    if (image != 1 && image != 4 && image != 7) continue;
    std::wstring inst = ImageSystemKey(cs, L"Enum\\" + ItemText(i, kColEnumerator, 100) + L"\\" +
                                               ItemText(i, kColDeviceKey, 200) + L"\\" +
                                               ItemText(i, kColInstanceKey, 100));
    std::wstring driver, service, guid;
    if (!ReadRegistryText(m_image, inst, L"Driver", driver)) continue;
    ReadRegistryText(m_image, inst, L"Service", service);
    ReadRegistryText(m_image, ImageSystemKey(cs, L"Control\\Class\\" + driver), L"NetCfgInstanceId",
                     guid);
    if (DescribeAdapterRegistration(m_image, version, cs, guid.c_str(), service.c_str(),
                                    driver.c_str(), wrapper, wrapperGuid))
      ListSetItemImage(list, i, image - 1);
  }
  UpdateButtons();
}

void CImgNetDrvDlg::BackupSelected() {
  HWND list = List();
  const uint32_t version = m_image->GetWindowsVersion();
  for (int item = ListView_GetNextItem(list, -1, LVNI_SELECTED); item >= 0;
       item = ListView_GetNextItem(list, item, LVNI_SELECTED)) {
    int image = ListGetItemImage(list, item);
    if (DriverRowStateOf(image) == kRowNotAssociated || IsOwnDriverImage(image)) continue;
    std::wstring package = PackageOf(item);
    for (wchar_t& c : package)
      if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
    ExportNetAdapterInf(
        m_image, version, ItemText(item, kColName, 200).c_str(),
        ItemText(item, kColInstance, 20).c_str(), ItemText(item, kColTarget, 100).c_str(),
        package.c_str(), ItemText(item, kColInstalledVersion, 100).c_str(),
        ItemText(item, kColEnumerator, 100).c_str(), ItemText(item, kColDeviceKey, 200).c_str(),
        ItemText(item, kColInstanceKey, 100).c_str());
  }
  RefreshNewestVersions();
}

void CImgNetDrvDlg::RefreshNewestVersions() {
  int count = ListView_GetItemCount(List());
  for (int i = 0; i < count; ++i) SetStoreColumns(i);
  UpdateButtons();
}

void CImgNetDrvDlg::OpenProperties(int item) {
  new CImgNetDrvPropertyDlg(this, _wtoi(ItemText(item, kColInstance, 20).c_str()), m_image);
}

void CImgNetDrvDlg::OpenSetup() {
  if (RunDriverSetupDialog(this, m_image, kStoreNetwork)) FillAdapterList();
}
