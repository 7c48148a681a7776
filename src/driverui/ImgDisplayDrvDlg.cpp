#include "driverui/ImgDisplayDrvDlg.h"

#include <cwchar>
#include <string>
#include <vector>

#include "common/MultiSz.h"
#include "common/PathUtil.h"
#include "driverstore/DriverStore.h"
#include "driverui/DriverListDraw.h"
#include "driverui/ImgStoreEntries.h"
#include "driverui/ImgDrvPropertyDlg.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "netcfg/NetStackQueries.h"
#include "registry/RegistryFacade.h"
#include "registry/RegistryReads.h"
#include "ui/controls/ListView.h"

const wchar_t* const kDisplayUserModeValues[10] = {
    L"UserModeDriverName",        L"UserModeDriverNameWoW", L"OpenGLDriverName",
    L"OpenGLDriverNameWoW",       L"D3DVendorName",         L"D3DVendorNameWoW",
    L"OpenGLVendorName",          L"OpenGLVendorNameWoW",   L"UserModeDListDriverName",
    L"UserModeDListDriverNameWow"};

namespace {

const wchar_t kDisplayClass[] = L"{4D36E968-E325-11CE-BFC1-08002BE10318}";
const int kDisplayIcons[10] = {149, 149, 149, 151, 151, 151, 150, 150, 150, 130};
const int kDisplayTips[5] = {230, 231, 232, 233, 234};
const DriverPageTraits kDisplayTraits = {kStoreDisplay, kDisplayClass,
                                         kDisplayIcons, kDisplayTips,
                                         236,           L"ListviewDisplayDrvListColumn"};
const wchar_t kMicrosoft[] = L"Microsoft Corporation";
const wchar_t kRunOnce[] =
    L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// The strings of a REG_SZ value (one) or REG_MULTI_SZ value (each); other
// types and missing values give none.
std::vector<std::wstring> ReadNames(CMountedImage* image, const std::wstring& key,
                                    const wchar_t* name) {
  std::vector<std::wstring> names;
  std::vector<uint8_t> data;
  uint32_t type = 0;
  if (!ReadRegistryBytes(image, key, name, data, &type)) return names;
  std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
  if (type == REG_SZ) {
    text.resize(wcsnlen(text.c_str(), text.size()));
    if (!text.empty()) names.push_back(text);
  } else if (type == REG_MULTI_SZ) {
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find(L'\0', at);
      if (end == std::wstring::npos) end = text.size();
      if (end == at) break;
      names.push_back(text.substr(at, end - at));
      at = end + 1;
    }
  }
  return names;
}

bool HasExtension(const std::wstring& name) {
  return *FindExtensionPart(name.c_str()) != 0;
}

// A value's path of the image ("C:\x" from its third character on).
std::wstring RecordedPath(const std::wstring& text) {
  return text.size() > 2 ? text.substr(2) : std::wstring();
}

bool IsMissing(uint32_t status) {
  return status == REG_STATUS_NOT_FOUND;
}

}  // namespace

bool IsWowUserModeValue(const wchar_t* name) {
  size_t length = wcslen(name);
  return length > 3 && (!wcscmp(name + length - 3, L"WoW") || !wcscmp(name + length - 3, L"Wow"));
}

std::wstring ReadDisplayDriverVersion(CMountedImage* image, uint32_t controlSet,
                                      const wchar_t* instance) {
  std::wstring version;
  ReadRegistryString(image,
                     ImageSystemKey(controlSet, std::wstring(L"Control\\Class\\") + kDisplayClass +
                                                    L"\\" + instance),
                     L"DriverVersion", version);
  return version;
}

CImgDisplayDrvDlg::CImgDisplayDrvDlg(CWindow* container, CMountedImage* image)
    : CImgDriverPage(image, kDisplayTraits) {
  Create(container, 156, FALSE, 0);
}

LRESULT CImgDisplayDrvDlg::OnInitDialog() {
  InitPage();
  FillDeviceList();
  return 1;
}

std::wstring CImgDisplayDrvDlg::WindowsFolder() {
  wchar_t folder[kPathChars] = L"";
  m_image->FindWindowsDirectory(folder, kPathChars);
  return folder;
}

std::wstring CImgDisplayDrvDlg::UserModeFilePath(const std::wstring& name, bool wow) {
  wchar_t expanded[kPathChars];
  ExpandImageSystemPath(name.c_str(), expanded, kPathChars, m_image);
  std::wstring path = expanded;
  if (!HasExtension(path)) path += L".dll";
  if (path.find(L'\\') != std::wstring::npos) return path;
  return WindowsFolder() + (wow ? L"\\SysWOW64\\" : L"\\System32\\") + path;
}

int CImgDisplayDrvDlg::CheckDriverFiles(uint32_t controlSet, const wchar_t* instance,
                                        const wchar_t* service) {
  std::wstring classKey = ImageSystemKey(
      controlSet, std::wstring(L"Control\\Class\\") + kDisplayClass + L"\\" + instance);
  std::wstring record;
  ReadRegistryText(m_image, classKey + L"\\Files", L"", record);
  if (record.empty()) {
    std::wstring imagePath;
    if (!ReadRegistryText(m_image,
                          ImageSystemKey(controlSet, std::wstring(L"Services\\") + service),
                          L"ImagePath", imagePath))
      return 0;
    wchar_t expanded[kPathChars];
    ExpandImageSystemPath(imagePath.c_str(), expanded, kPathChars, m_image);
    if (!m_image->GetPathType(expanded)) return 0;
    for (const wchar_t* value : kDisplayUserModeValues) {
      for (const std::wstring& name : ReadNames(m_image, classKey, value)) {
        if (!m_image->GetPathType(UserModeFilePath(name, IsWowUserModeValue(value)).c_str()))
          return 0;
      }
    }
    return 1;
  }
  for (const RegistryValue& value : ListRegistryValues(m_image, classKey + L"\\Files")) {
    if (value.type != REG_MULTI_SZ || value.name.empty()) continue;
    for (const std::wstring& entry :
         ReadNames(m_image, classKey + L"\\Files", value.name.c_str())) {
      std::wstring path = RecordedPath(entry);
      if (path.empty() || m_image->GetPathType(path.c_str()) != 1) return 0;
      if (m_image->GetReparseTag(path.c_str())) {
        wchar_t target[kPathChars] = L"";
        if (!m_image->GetLinkTarget(path.c_str(), target, kPathChars) || !target[0] ||
            GetPathKind(target) != 1)
          return 0;
      }
    }
  }
  return 1;
}

void CImgDisplayDrvDlg::FillDeviceList() {
  HWND list = List();
  ListView_DeleteAllItems(list);
  const uint32_t cs = ReadCurrentControlSet(m_image);
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
            !SameTextAZ(classGuid.c_str(), L"{4d36e968-e325-11ce-bfc1-08002be10318}"))
          continue;
        if (!ReadRegistryText(m_image, inst, L"Driver", driver)) continue;
        if (!ReadRegistryString(m_image, inst, L"DeviceDesc", desc)) continue;
        std::wstring instance = AfterLastBackslash(driver);
        uint32_t flags = 0;
        bool inOrder = !(ReadRegistryDword(m_image, inst, L"ConfigFlags", flags) && (flags & 1)) &&
                       ReadRegistryText(m_image, inst, L"Service", service) &&
                       CheckDriverFiles(cs, instance.c_str(), service.c_str()) == 1;
        std::wstring classKey = ImageSystemKey(cs, L"Control\\Class\\" + driver);
        int image = IsOwnDriverKey(m_image, classKey) ? 3 : 0;
        if (!inOrder) {
          ++image;
          problem = true;
        }
        int item = ListAppendItem(list, AfterLastSemicolon(desc).c_str(), image);
        std::wstring installed;
        if (ReadRegistryString(m_image, classKey, L"DriverVersion", installed))
          ListSetItemText(list, item, kColInstalledVersion, installed.c_str());
        ListSetItemText(list, item, kColInstance, instance.c_str());
        ListSetItemText(list, item, kColDeviceKey, device.c_str());
        ListSetItemText(list, item, kColInstanceKey, instanceKey.c_str());
        ListSetItemText(list, item, kColEnumerator, enumerator);
        ListSetItemText(list, item, kColHardwareId, CutHardwareId(device).c_str());
        ListSetItemText(list, item, kColTarget, target.c_str());
        SetStoreColumns(item);
      }
    }
  }
  std::wstring classRoot = ImageSystemKey(cs, std::wstring(L"Control\\Class\\") + kDisplayClass);
  for (const std::wstring& instance : ListRegistrySubkeys(m_image, classRoot)) {
    std::wstring key = classRoot + L"\\" + instance, desc;
    if (!ReadRegistryString(m_image, key, L"DriverDesc", desc)) continue;
    std::wstring driverText = std::wstring(L"{4D36E968-E325-11CE-BFC1-08002bE10318}\\") + instance;
    bool named = false;
    for (const wchar_t* enumerator : kDriverEnumerators)
      named =
          named || AnyEnumInstanceHasValue(m_image, enumerator, cs, L"Driver", driverText.c_str());
    if (named) continue;
    int item = ListAppendItem(list, AfterLastSemicolon(desc).c_str(), 2);
    std::wstring installed;
    if (ReadRegistryString(m_image, key, L"DriverVersion", installed))
      ListSetItemText(list, item, kColInstalledVersion, installed.c_str());
    ListSetItemText(list, item, kColInstance, instance.c_str());
    problem = true;
  }
  if (problem) ShowProblemLegend();
  UpdateButtons();
}

bool CImgDisplayDrvDlg::IsFileUsedByOtherDriver(const wchar_t* fileName, const wchar_t* instance) {
  const uint32_t cs = ReadCurrentControlSet(m_image);
  std::wstring classRoot = ImageSystemKey(cs, std::wstring(L"Control\\Class\\") + kDisplayClass);
  std::wstring wanted = FindFileNamePart(fileName);
  auto same = [&](const std::wstring& name) {
    std::wstring part = FindFileNamePart(name.c_str());
    return SameTextAZ(part.c_str(), wanted.c_str()) ||
           (!HasExtension(part) && SameTextAZ((part + L".dll").c_str(), wanted.c_str()));
  };
  for (const std::wstring& other : ListRegistrySubkeys(m_image, classRoot)) {
    if (SameTextAZ(other.c_str(), instance)) continue;
    std::wstring key = classRoot + L"\\" + other;
    for (const wchar_t* value : kDisplayUserModeValues)
      for (const std::wstring& name : ReadNames(m_image, key, value))
        if (same(name)) return true;
    for (const std::wstring& name :
         ReadNames(m_image, key + L"\\Settings", L"InstalledDisplayDrivers"))
      if (same(name)) return true;
    for (const RegistryValue& value : ListRegistryValues(m_image, key + L"\\RegisterDLLs")) {
      if (value.type != REG_SZ) continue;
      std::wstring data;
      if (ReadRegistryText(m_image, key + L"\\RegisterDLLs", value.name.c_str(), data) &&
          same(data))
        return true;
    }
  }
  return false;
}

int CImgDisplayDrvDlg::DeleteFileUnlessMicrosoft(const wchar_t* systemFolder,
                                                 const wchar_t* fileName) {
  std::wstring path = WindowsFolder() + L"\\" + systemFolder + L"\\" + fileName;
  if (!m_image->GetPathType(path.c_str())) return 0;
  wchar_t company[100] = L"";
  m_image->GetFileCompanyName(path.c_str(), company, 100);
  if (SameTextAZ(company, kMicrosoft)) return 0;
  return m_image->DeletePath(path.c_str()) ? 1 : -1;
}

int CImgDisplayDrvDlg::UninstallDevice(uint32_t controlSet, const wchar_t* instance,
                                       const wchar_t* enumerator, const wchar_t* deviceKey,
                                       const wchar_t* instanceKey) {
  int result = 1;
  auto deleteKey = [&](const std::wstring& key) {
    uint32_t status = m_image->RegDeleteKey(key.c_str());
    if (status != REG_STATUS_OK && !IsMissing(status)) result = 0;
  };
  auto deleteValue = [&](const std::wstring& key, const wchar_t* name) {
    uint32_t status = m_image->RegDeleteValue(key.c_str(), name);
    if (status != REG_STATUS_OK && !IsMissing(status)) result = 0;
  };
  auto deleteImageFile = [&](const std::wstring& path) {
    if (!path.empty() && m_image->GetPathType(path.c_str()) && !m_image->DeletePath(path.c_str()))
      result = 0;
  };
  const std::wstring enumKey = ImageSystemKey(controlSet, std::wstring(L"Enum\\") + enumerator);
  const std::wstring deviceRoot = enumKey + L"\\" + deviceKey;
  const std::wstring inst = deviceRoot + L"\\" + instanceKey;
  const std::wstring classKey = ImageSystemKey(
      controlSet, std::wstring(L"Control\\Class\\") + kDisplayClass + L"\\" + instance);
  const std::wstring driverText = std::wstring(kDisplayClass) + L"\\" + instance;

  // 1-3: the device instance and its traces.
  std::wstring service, container, videoId;
  ReadRegistryText(m_image, inst, L"Service", service);
  if (ReadRegistryText(m_image, inst, L"ContainerID", container) && !container.empty()) {
    deleteValue(ImageSystemKey(controlSet, L"Control\\DeviceContainers\\" + container +
                                               L"\\BaseContainers\\" + container),
                (std::wstring(enumerator) + L"\\" + deviceKey + L"\\" + instanceKey).c_str());
  }
  if (ReadRegistryText(m_image, inst + L"\\Device Parameters", L"VideoID", videoId) &&
      !videoId.empty())
    deleteKey(ImageSystemKey(controlSet, L"Control\\Video\\" + videoId));
  deleteKey(inst);
  if (m_image->RegGetSubkeyCount(deviceRoot.c_str()) == 0) deleteKey(deviceRoot);
  if (m_image->RegGetSubkeyCount(enumKey.c_str()) == 0) deleteKey(enumKey);

  bool driverShared = false;
  for (const wchar_t* e : kDriverEnumerators)
    driverShared = driverShared ||
                   AnyEnumInstanceHasValue(m_image, e, controlSet, L"Driver", driverText.c_str());

  // 4: DLL registrations, unless another driver still names the file.
  std::vector<RegistryValue> addService = ListRegistryValues(m_image, classKey + L"\\AddService");
  std::vector<RegistryValue> files = ListRegistryValues(m_image, classKey + L"\\Files");
  if (!driverShared) {
    for (const RegistryValue& value : ListRegistryValues(m_image, classKey + L"\\RegisterDLLs")) {
      if (value.type != REG_SZ) continue;
      std::wstring data;
      ReadRegistryText(m_image, classKey + L"\\RegisterDLLs", value.name.c_str(), data);
      if (IsFileUsedByOtherDriver(data.c_str(), instance)) continue;
      deleteValue(kRunOnce, value.name.c_str());
      deleteImageFile(RecordedPath(data));
    }
  }

  // 5-7: the user-mode files and the driver key, when no other device uses it.
  if (!driverShared) {
    for (const wchar_t* value : kDisplayUserModeValues) {
      bool wow = IsWowUserModeValue(value);
      for (const std::wstring& name : ReadNames(m_image, classKey, value)) {
        if (IsFileUsedByOtherDriver(name.c_str(), instance)) continue;
        wchar_t expanded[kPathChars];
        ExpandImageSystemPath(name.c_str(), expanded, kPathChars, m_image);
        std::wstring path = expanded;
        if (!HasExtension(path)) path += L".dll";
        if (name.find(L'\\') != std::wstring::npos && name.size() > 1 && name[1] == L':') {
          wchar_t company[100] = L"";
          m_image->GetFileCompanyName(path.c_str(), company, 100);
          if (!SameTextAZ(company, kMicrosoft)) deleteImageFile(path);
        } else if (DeleteFileUnlessMicrosoft(wow ? L"SysWOW64" : L"System32",
                                             FindFileNamePart(path.c_str())) < 0) {
          result = 0;
        }
      }
    }
    for (const std::wstring& name :
         ReadNames(m_image, classKey + L"\\Settings", L"InstalledDisplayDrivers")) {
      if (IsFileUsedByOtherDriver(name.c_str(), instance)) continue;
      std::wstring file = HasExtension(name) ? name : name + L".dll";
      for (const wchar_t* folder : {L"System32", L"SysWOW64"})
        if (DeleteFileUnlessMicrosoft(folder, file.c_str()) < 0) result = 0;
    }
    deleteKey(classKey);
  }

  // 8-10: the service and the recorded files, when no other device uses them.
  if (service.empty()) return result;
  for (const wchar_t* e : kDriverEnumerators)
    if (AnyEnumInstanceHasValue(m_image, e, controlSet, L"Service", service.c_str())) return result;
  const std::wstring servicesRoot = ImageSystemKey(controlSet, L"Services");
  std::wstring imagePath;
  ReadRegistryText(m_image, servicesRoot + L"\\" + service, L"ImagePath", imagePath);
  wchar_t expanded[kPathChars] = L"";
  ExpandImageSystemPath(imagePath.c_str(), expanded, kPathChars, m_image);
  if (expanded[0]) {
    const wchar_t* fileName = FindFileNamePart(expanded);
    bool shared = false;
    for (const std::wstring& other : ListRegistrySubkeys(m_image, servicesRoot)) {
      if (SameTextAZ(other.c_str(), service.c_str())) continue;
      std::wstring otherPath;
      if (ReadRegistryText(m_image, servicesRoot + L"\\" + other, L"ImagePath", otherPath) &&
          SameTextAZ(FindFileNamePart(otherPath.c_str()), fileName)) {
        shared = true;
        break;
      }
    }
    wchar_t company[100] = L"";
    m_image->GetFileCompanyName(expanded, company, 100);
    if (!shared && !SameTextAZ(company, kMicrosoft)) {
      deleteImageFile(expanded);
      deleteKey(servicesRoot + L"\\" + service);
    }
  }
  for (const RegistryValue& value : addService) {
    if (value.type != REG_SZ || value.name.empty()) continue;
    std::wstring data(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / 2);
    data.resize(wcsnlen(data.c_str(), data.size()));
    deleteKey(servicesRoot + L"\\" + value.name);
    deleteImageFile(RecordedPath(data));
  }
  for (const RegistryValue& value : files) {
    if (value.type != REG_MULTI_SZ) continue;
    std::wstring list(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / 2);
    size_t at = 0;
    while (at < list.size() && list[at]) {
      size_t end = list.find(L'\0', at);
      if (end == std::wstring::npos) end = list.size();
      deleteImageFile(RecordedPath(list.substr(at, end - at)));
      at = end + 1;
    }
  }
  return result;
}

void CImgDisplayDrvDlg::DeleteSelected() {
  HWND list = List();
  if (ListView_GetNextItem(list, -1, LVNI_SELECTED) < 0) return;
  if (MessageBoxW(m_hWnd, LoadString(150).c_str(), LoadString(111).c_str(),
                  MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) != IDYES)
    return;
  const uint32_t cs = ReadCurrentControlSet(m_image);
  int item = -1;
  while ((item = ListView_GetNextItem(list, item, LVNI_SELECTED)) >= 0) {
    if (UninstallDevice(cs, ItemText(item, kColInstance, 100).c_str(),
                        ItemText(item, kColEnumerator, 100).c_str(),
                        ItemText(item, kColDeviceKey, 200).c_str(),
                        ItemText(item, kColInstanceKey, 100).c_str())) {
      ListView_DeleteItem(list, item);
      --item;
    }
  }
  UpdateButtons();
}

void CImgDisplayDrvDlg::RefreshInstalledRow(int item) {
  std::wstring version = ReadDisplayDriverVersion(m_image, ReadCurrentControlSet(m_image),
                                                  ItemText(item, kColInstance, 100).c_str());
  if (!version.empty()) ListSetItemText(List(), item, kColInstalledVersion, version.c_str());
}

void CImgDisplayDrvDlg::OpenProperties(int item) {
  new CImgDisplayDrvPropertyDlg(this, _wtoi(ItemText(item, kColInstance, 20).c_str()), m_image);
}

void CImgDisplayDrvDlg::OpenSetup() {
  if (RunDriverSetupDialog(this, m_image, kStoreDisplay)) FillDeviceList();
}
