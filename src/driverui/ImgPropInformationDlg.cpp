#include "driverui/ImgPropInformationDlg.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>
#include <vector>

#include "common/Dpi.h"
#include "common/PathUtil.h"
#include "common/TextOps.h"
#include "driverstore/DriverStore.h"
#include "driverui/DriverIcons.h"
#include "driverui/DriverListDraw.h"
#include "driverui/ImgDisplayDrvDlg.h"
#include "driverui/ImgDriverPage.h"
#include "driverui/ImgDrvPropertyDlg.h"
#include "driverui/ThemeHelpers.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "registry/RegistryFacade.h"
#include "registry/RegistryReads.h"
#include "ui/UiResources.h"
#include "ui/VersionInfo.h"
#include "ui/controls/ListView.h"
#include "ui/shared/ChildPage.h"

namespace {

enum : int {
  kLinkLabel = 1000,
  kFiles = 1024,
  kLink = 1025,
  kIcon = 1015,
};

// The strings of a REG_MULTI_SZ value, or the one of a REG_SZ value when
// `acceptSingle`; none for other types.
std::vector<std::wstring> ValueStrings(const RegistryValue& value, bool acceptSingle) {
  std::vector<std::wstring> out;
  if (value.type != REG_MULTI_SZ && !(acceptSingle && value.type == REG_SZ)) return out;
  std::wstring text(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / 2);
  size_t at = 0;
  while (at < text.size() && text[at]) {
    size_t end = text.find(L'\0', at);
    if (end == std::wstring::npos) end = text.size();
    out.push_back(text.substr(at, end - at));
    if (value.type == REG_SZ) break;
    at = end + 1;
  }
  return out;
}

std::vector<std::wstring> ReadStrings(CMountedImage* image, const std::wstring& key,
                                      const wchar_t* name, bool acceptSingle) {
  RegistryValue value;
  if (!ReadRegistryBytes(image, key, name, value.data, &value.type)) return {};
  return ValueStrings(value, acceptSingle);
}

bool HasExtension(const std::wstring& text) {
  return *FindExtensionPart(text.c_str()) != 0;
}

bool ExtensionIs(const std::wstring& text, const wchar_t* extension) {
  return SameTextAZ(FindExtensionPart(text.c_str()), extension);
}

bool IsDrivePath(const std::wstring& text) {
  return text.find(L'\\') != std::wstring::npos && text.size() > 1 && text[1] == L':';
}

}  // namespace

CImgNetPropInformationDlg::CImgNetPropInformationDlg(CWindow* sheet, int instance,
                                                     CMountedImage* image)
    : m_image(image), m_display(false) {
  Create(sheet, 141, FALSE, instance);
}

CImgDisplayPropInformationDlg::CImgDisplayPropInformationDlg(CWindow* sheet, int instance,
                                                             CMountedImage* image)
    : CImgNetPropInformationDlg(image, true) {
  Create(sheet, 157, FALSE, instance);
}

std::wstring CImgNetPropInformationDlg::ClassKey() const {
  wchar_t key[400];
  swprintf(key, 400, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Control\\Class\\%ls\\%04u",
           ReadCurrentControlSet(m_image),
           m_display ? L"{4D36E968-E325-11CE-BFC1-08002BE10318}"
                     : L"{4D36E972-E325-11CE-BFC1-08002BE10318}",
           static_cast<unsigned>(m_param));
  return key;
}

std::wstring CImgNetPropInformationDlg::PathRule(const std::wstring& text) {
  wchar_t expanded[kPathChars];
  if (!ExpandImageSystemPath(text.c_str(), expanded, kPathChars - 2, m_image)) return text;
  return std::wstring(L"C:") + expanded;
}

std::wstring CImgNetPropInformationDlg::ModuleRule(const std::wstring& text, bool wow,
                                                   bool cutAtComma) {
  std::wstring mapped = PathRule(text);
  if (cutAtComma) {
    size_t comma = mapped.find(L',');
    if (comma != std::wstring::npos) mapped.resize(comma);
  }
  if (m_display && !HasExtension(mapped)) mapped += L".dll";
  if (IsDrivePath(mapped)) return mapped;
  wchar_t windows[kPathChars] = L"";
  m_image->FindWindowsDirectory(windows, kPathChars);
  return std::wstring(L"C:") + windows + (wow ? L"\\SysWOW64\\" : L"\\System32\\") +
         FindFileNamePart(mapped.c_str());
}

void CImgNetPropInformationDlg::AddFile(const std::wstring& text, const std::wstring& kindText,
                                        bool strict) {
  HWND list = GetDlgItem(m_hWnd, kFiles);
  if (text.empty()) return;
  LVFINDINFOW find = {};
  find.flags = LVFI_STRING;
  find.psz = text.c_str();
  if (SendMessageW(list, LVM_FINDITEMW, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&find)) >=
      0)
    return;
  std::wstring inside = text.size() > 2 ? text.substr(2) : std::wstring();
  int kind = ExtensionIs(kindText, L"sys") || ExtensionIs(kindText, L"dll") ? 1
             : ExtensionIs(kindText, L"exe")                                ? 2
                                                                            : 0;
  DWORD tag = inside.empty() ? 0 : m_image->GetReparseTag(inside.c_str());
  if (tag) kind += 3;
  int item = ListAppendItem(list, text.c_str(), kind);
  int type = inside.empty() ? 0 : m_image->GetPathType(inside.c_str());
  bool missing = strict ? type != 1 : type == 0;
  if (strict && !missing && tag) {
    wchar_t target[kPathChars] = L"";
    missing = !m_image->GetLinkTarget(inside.c_str(), target, kPathChars) || !target[0] ||
              GetPathKind(target) != 1;
  }
  ListSetItemParam(list, item, missing ? 1 : 0);
}

void CImgNetPropInformationDlg::FillRecordedFiles() {
  for (const RegistryValue& value : ListRegistryValues(m_image, ClassKey() + L"\\Files")) {
    if (value.type != REG_MULTI_SZ || value.name.empty()) continue;
    for (const std::wstring& text : ValueStrings(value, false)) {
      if (ExtensionIs(text, L"cat")) continue;
      AddFile(text, text, m_display);
    }
  }
}

void CImgNetPropInformationDlg::FillNetworkFiles() {
  const uint32_t cs = ReadCurrentControlSet(m_image);
  const std::wstring classKey = ClassKey();
  std::wstring device = OpeningPageColumn(m_parent, kColDeviceKey, 360);
  std::wstring instance = OpeningPageColumn(m_parent, kColInstanceKey, 100);
  for (const wchar_t* enumerator : {L"PCI", L"{1A3E09BE-1E45-494B-9174-D7385B45BBF5}", L"MLX4"}) {
    std::wstring key = ImageSystemKey(
        cs, std::wstring(L"Enum\\") + enumerator + L"\\" + device + L"\\" + instance);
    if (m_image->RegGetSubkeyCount(key.c_str()) < 0) continue;
    std::wstring service, imagePath;
    if (ReadRegistryText(m_image, key, L"Service", service) &&
        ReadRegistryText(m_image, ImageSystemKey(cs, L"Services\\" + service), L"ImagePath",
                         imagePath)) {
      std::wstring text = PathRule(imagePath);
      AddFile(text, text, false);
    }
    break;
  }
  for (const wchar_t* name : {L"CoInstallers32", L"NicCoPlugins"})
    for (const std::wstring& text : ReadStrings(m_image, classKey, name, false)) {
      std::wstring mapped = ModuleRule(text, false, true);
      AddFile(mapped, mapped, false);
    }
  std::wstring events;
  if (ReadRegistryText(m_image, classKey, L"EventMessageFile", events)) {
    size_t semicolon = events.find(L';');
    if (semicolon != std::wstring::npos) {
      std::wstring mapped = ModuleRule(events.substr(semicolon + 1), false, false);
      AddFile(mapped, mapped, false);
    }
  }
  std::wstring pages;
  if (ReadRegistryText(m_image, classKey, L"EnumPropPages32", pages) && !pages.empty()) {
    std::wstring mapped = ModuleRule(pages, false, true);
    AddFile(mapped, mapped, false);
  }
}

void CImgNetPropInformationDlg::FillDisplayFiles() {
  const uint32_t cs = ReadCurrentControlSet(m_image);
  const std::wstring classKey = ClassKey();
  std::wstring device = OpeningPageColumn(m_parent, kColDeviceKey, 360);
  std::wstring instance = OpeningPageColumn(m_parent, kColInstanceKey, 100);
  std::wstring key = ImageSystemKey(cs, L"Enum\\PCI\\" + device + L"\\" + instance);
  std::wstring service, imagePath;
  if (m_image->RegGetSubkeyCount(key.c_str()) >= 0 &&
      ReadRegistryText(m_image, key, L"Service", service) &&
      ReadRegistryText(m_image, ImageSystemKey(cs, L"Services\\" + service), L"ImagePath",
                       imagePath))
    AddFile(PathRule(imagePath), imagePath, false);
  for (const RegistryValue& value : ListRegistryValues(m_image, classKey + L"\\Files")) {
    std::vector<std::wstring> texts = ValueStrings(value, false);
    if (texts.empty() || ExtensionIs(texts[0], L"cat")) continue;
    AddFile(texts[0], texts[0], false);
  }
  for (const std::wstring& text : ReadStrings(m_image, classKey, L"CoInstallers32", false)) {
    std::wstring mapped = ModuleRule(text, false, true);
    AddFile(mapped, mapped, false);
  }
  for (const wchar_t* name : kDisplayUserModeValues) {
    for (const std::wstring& text : ReadStrings(m_image, classKey, name, true)) {
      std::wstring mapped = ModuleRule(text, IsWowUserModeValue(name), true);
      AddFile(mapped, mapped, false);
    }
  }
  wchar_t windows[kPathChars] = L"";
  m_image->FindWindowsDirectory(windows, kPathChars);
  for (const std::wstring& where : {classKey, classKey + L"\\Settings"}) {
    for (const std::wstring& list :
         ReadStrings(m_image, where, L"InstalledDisplayDrivers", false)) {
      size_t at = 0;
      while (at <= list.size()) {
        size_t comma = list.find(L',', at);
        if (comma == std::wstring::npos) comma = list.size();
        std::vector<wchar_t> piece(list.begin() + at, list.begin() + comma);
        piece.push_back(0);
        TrimBlanks(piece.data());
        at = comma + 1;
        if (!piece[0]) continue;
        std::wstring mapped = PathRule(piece.data());
        if (!HasExtension(mapped)) mapped += L".dll";
        if (IsDrivePath(mapped)) {
          AddFile(mapped, mapped, false);
          continue;
        }
        for (const wchar_t* folder : {L"\\System32\\", L"\\SysWOW64\\"}) {
          std::wstring inside = std::wstring(windows) + folder + FindFileNamePart(mapped.c_str());
          if (m_image->GetPathType(inside.c_str())) {
            AddFile(L"C:" + inside, inside, false);
            break;
          }
        }
      }
    }
  }
}

LRESULT CImgNetPropInformationDlg::OnInitDialog() {
  PlaceChildPage(m_hWnd, 25, 70);
  EnableTabTexture(m_hWnd);
  SetDlgItemTextW(m_hWnd, 1021, OpeningPageColumn(m_parent, kColName, 400).c_str());
  const std::wstring classKey = ClassKey();
  const struct {
    const wchar_t* name;
    int control;
  } fields[] = {{L"ProviderName", 1022}, {L"DriverDate", 1023}, {L"DriverVersion", 1014}};
  for (const auto& field : fields) {
    std::wstring text;
    if (ReadRegistryText(m_image, classKey, field.name, text))
      SetDlgItemTextW(m_hWnd, field.control, text.c_str());
  }
  std::vector<uint8_t> data;
  bool own = ReadRegistryBytes(m_image, classKey, L"Vro", data) && !data.empty() && (data[0] & 1);
  bool isVirtual = !m_display && ReadRegistryBytes(m_image, classKey, L"Characteristics", data) &&
                   !data.empty() && (data[0] & 0x81) == 0x81;
  std::wstring recordText;
  bool recorded =
      ReadRegistryText(m_image, classKey + L"\\Files", L"", recordText) && !recordText.empty();
  int icon = 0;
  if (m_display) {
    icon = recorded ? kIconDisplayInfoRecorded : own ? kIconDisplayInfoOwn : 0;
  } else {
    icon = recorded    ? kIconNetInfoRecorded
           : own       ? kIconNetInfoOwn
           : isVirtual ? kIconVirtualAdapter
                       : 0;
  }
  if (icon) {
    HICON picture = LoadDriverIcon(GetUiModule(), icon, 32);
    HICON old = reinterpret_cast<HICON>(
        SendDlgItemMessageW(m_hWnd, kIcon, STM_SETICON, reinterpret_cast<WPARAM>(picture), 0));
    if (old) DestroyIcon(old);
  } else {
    HICON picture = LoadDriverIcon(GetUiModule(), m_display ? kIconDisplayInfo : kIconNetInfo, 32);
    HICON old = reinterpret_cast<HICON>(
        SendDlgItemMessageW(m_hWnd, kIcon, STM_SETICON, reinterpret_cast<WPARAM>(picture), 0));
    if (old) DestroyIcon(old);
  }

  // The store folder of the package version, else the device's id.
  std::wstring installed = OpeningPageColumn(m_parent, kColInstalledVersion, 100);
  std::wstring target = OpeningPageColumn(m_parent, kColTarget, 100);
  wchar_t package[100];
  wcsncpy(package, OpeningPageColumn(m_parent, kColHardwareId, 100).c_str(), 99);
  package[99] = 0;
  FindDriverInStore(m_display ? kStoreDisplay : kStoreNetwork, m_image->GetWindowsVersion(),
                    package, 100);
  wchar_t folder[kPathChars];
  GetDriverStoreRoot(folder);
  for (const wchar_t* part : {m_display ? L"Display" : L"Network", target.c_str(),
                              static_cast<const wchar_t*>(package), installed.c_str()})
    AppendPathPart(folder, kPathChars, part);
  std::wstring device = OpeningPageColumn(m_parent, kColDeviceKey, 360);
  if (GetPathKind(folder) == 2) {
    std::wstring link = std::wstring(L"<a>") + folder + L"</a>";
    SetDlgItemTextW(m_hWnd, kLink, link.c_str());
  } else {
    wchar_t label[100];
    LoadUiString(GetUiModule(), 151, m_language, label, 100);
    SetDlgItemTextW(m_hWnd, kLinkLabel, label);
    SetDlgItemTextW(m_hWnd, kLink, device.c_str());
  }

  HWND list = GetDlgItem(m_hWnd, kFiles);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0x10420, 0x10420);
  int size = ApplyExplorerTheme(list, m_version) ? 24 : 16;
  HIMAGELIST images = ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 6, 0);
  if (images) {
    const int icons[6] = {kIconFile,     kIconFileDriver,     kIconFileProgram,
                          kIconFileLink, kIconFileDriverLink, kIconFileProgramLink};
    AppendDriverIcons(images, GetUiModule(), icons, 6, size);
    SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images));
  }
  wchar_t title[100];
  LoadUiString(GetUiModule(), 152, m_language, title, 100);
  LVCOLUMNW column = {};
  column.mask = LVCF_TEXT | LVCF_WIDTH;
  column.pszText = title;
  column.cx = ScaleByDpi(248);
  SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
  if (recorded) {
    FillRecordedFiles();
  } else if (m_display) {
    FillDisplayFiles();
  } else {
    FillNetworkFiles();
  }
  SendMessageW(list, LVM_SETCOLUMNWIDTH, 0, LVSCW_AUTOSIZE);
  return 0;
}

void CImgNetPropInformationDlg::ShowDriverFileDetails() {
  HWND list = GetDlgItem(m_hWnd, kFiles);
  int item =
      static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
  const int details[6] = {1001, 1002, 1003, 1004, 1005, 1006};
  for (int id : details) ShowWindow(GetDlgItem(m_hWnd, id), item >= 0 ? SW_SHOW : SW_HIDE);
  for (int id : {kLinkLabel, kLink})
    ShowWindow(GetDlgItem(m_hWnd, id), item >= 0 ? SW_HIDE : SW_SHOW);
  if (item < 0) return;
  wchar_t text[kPathChars] = L"";
  ListGetItemText(list, item, 0, text, kPathChars);
  const wchar_t* inside = wcslen(text) > 2 ? text + 2 : L"";
  wchar_t target[kPathChars] = L"", company[100] = L"", signer[100] = L"", version[100] = L"";
  uint64_t number = 0;
  if (inside[0] && m_image->GetLinkTarget(inside, target, kPathChars) && target[0]) {
    GetFileCompanyName(target, company, 100);
    number = GetFileVersionNumber(target);
    GetFileSignerName(target, signer, 100);
  } else if (inside[0]) {
    m_image->GetFileCompanyName(inside, company, 100);
    number = m_image->GetFileVersion(inside);
    m_image->GetFileSignerName(inside, signer, 100);
  }
  if (number)
    swprintf(version, 100, L"%u.%u.%u.%u", static_cast<unsigned>(number >> 48),
             static_cast<unsigned>((number >> 32) & 0xFFFF),
             static_cast<unsigned>((number >> 16) & 0xFFFF),
             static_cast<unsigned>(number & 0xFFFF));
  SetDlgItemTextW(m_hWnd, 1004, company);
  SetDlgItemTextW(m_hWnd, 1005, version);
  SetDlgItemTextW(m_hWnd, 1006, signer);
}

LRESULT CImgNetPropInformationDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  return PostCloseOnCancel(wParam);
}

LRESULT CImgNetPropInformationDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId == kLink && (header->code == NM_CLICK || header->code == NM_RETURN)) {
    wchar_t text[400] = L"";
    GetDlgItemTextW(m_hWnd, kLink, text, 400);
    const wchar_t* start = FindNoCase(text, L"<a>");
    if (!start) return 0;
    std::wstring folder = start + 3;
    size_t end;
    if (FindNoCase(folder, L"</a>", &end)) folder.resize(end);
    wchar_t explorer[MAX_PATH];
    GetWindowsDirectoryW(explorer, MAX_PATH);
    AppendPathPart(explorer, MAX_PATH, L"explorer.exe");
    std::wstring parameters = L"/e, \"" + folder + L"\"";
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NO_CONSOLE;
    info.lpFile = explorer;
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWDEFAULT;
    ShellExecuteExW(&info);
    return 0;
  }
  if (controlId != kFiles) return 0;
  if (header->code == LVN_ITEMCHANGED) {
    ShowDriverFileDetails();
    return 0;
  }
  if (header->code != NM_CUSTOMDRAW) return 0;
  return PaintMissingRowsRed(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
}

LRESULT CImgNetPropInformationDlg::OnClose(WPARAM wParam) {
  (void)wParam;
  HICON icon = reinterpret_cast<HICON>(SendDlgItemMessageW(m_hWnd, kIcon, STM_SETICON, 0, 0));
  if (icon) DestroyIcon(icon);
  HIMAGELIST images = reinterpret_cast<HIMAGELIST>(
      SendDlgItemMessageW(m_hWnd, kFiles, LVM_SETIMAGELIST, LVSIL_SMALL, 0));
  if (images) ImageList_Destroy(images);
  DestroyWindow(m_hWnd);
  return 1;
}
