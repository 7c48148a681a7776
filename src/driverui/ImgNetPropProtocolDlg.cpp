#include "driverui/ImgNetPropProtocolDlg.h"

#include <commctrl.h>

#include <cwchar>
#include <vector>

#include "common/Dpi.h"
#include "common/PathUtil.h"
#include "common/TempFiles.h"
#include "common/TextOps.h"
#include "driverui/DriverIcons.h"
#include "driverui/DriverListDraw.h"
#include "driverui/ImgDriverPage.h"
#include "driverui/ImgDrvPropertyDlg.h"
#include "driverui/ThemeHelpers.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "netcfg/AdapterBindings.h"
#include "netcfg/WrapperAdapter.h"
#include "registry/RegistryFacade.h"
#include "registry/RegistryReads.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"
#include "ui/shared/ChildPage.h"

namespace {

constexpr int kList = 1000;

const struct {
  const wchar_t* name;
  UINT text;
} kOwnNames[] = {
    {L"rspndr", 244},   {L"lltdio", 245},  {L"LanmanServer", 246}, {L"LanmanWorkstation", 247},
    {L"Tcpip", 248},    {L"Tcpip6", 249},  {L"MsLldp", 250},       {L"NdisImPlatform", 251},
    {L"RasPppoe", 252}, {L"NetBios", 253}, {L"NwlnkIpx", 254},     {L"Psched", 255},
    {L"Ndisuio", 256},
};

// String `id` of a temporary copy of an image file, loaded as data only.
bool ReadResourceString(CMountedImage* image, const std::wstring& path, UINT id, wchar_t* out) {
  out[0] = 0;
  wchar_t temp[kPathChars];
  if (!CreateTempFileName(temp, L"exp")) return false;
  bool found = false;
  if (image->ExtractToHost(path.c_str(), temp, nullptr, 0)) {
    HMODULE module =
        LoadLibraryExW(temp, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module) {
      found = LoadStringW(module, id, out, 200) > 0;
      FreeLibrary(module);
    }
  }
  DeleteFileW(temp);
  return found;
}

// The language resource of a file: <folder>\<language>\<name>.mui, else the
// same under "en-US".
std::wstring MuiPath(CMountedImage* image, const std::wstring& file) {
  std::wstring folder = file.substr(0, FindFileNamePart(file.c_str()) - file.c_str());
  std::wstring name = FindFileNamePart(file.c_str());
  std::wstring mui =
      folder + ResourceLanguageFolder(GetUserDefaultUILanguage()) + L"\\" + name + L".mui";
  if (!image->GetPathType(mui.c_str())) mui = folder + L"en-US\\" + name + L".mui";
  return mui;
}

}  // namespace

const wchar_t* ResourceLanguageFolder(LANGID language) {
  switch (language) {
    case 0x0804:
      return L"zh-CN";
    case 0x0404:
      return L"zh-TW";
    case 0x0C04:
      return L"zh-HK";
    case 0x0411:
      return L"ja-JP";
    case 0x0412:
      return L"ko-KR";
    case 0x0419:
      return L"ru-RU";
  }
  return L"en-US";
}

int ResolveComponentDisplayName(CImgNetPropProtocolDlg* page, const wchar_t* displayName,
                                const wchar_t* component, wchar_t* out) {
  for (const auto& own : kOwnNames) {
    if (SameTextAZ(own.name, component)) {
      LoadUiString(GetUiModule(), own.text, page->m_language, out, 200);
      return 1;
    }
  }
  if (const wchar_t* semicolon = wcsrchr(displayName, L';')) {
    wcsncpy(out, semicolon + 1, 199);
    out[199] = 0;
    return 1;
  }
  wchar_t path[kPathChars];
  if (!ExpandImageSystemPath(displayName, path, kPathChars, page->m_image)) {
    wcsncpy(out, path[0] ? path : component, 199);
    out[199] = 0;
    return 1;
  }
  UINT id = 0;
  if (wchar_t* comma = wcsrchr(path, L',')) {
    id = static_cast<UINT>(-wcstol(comma + 1, nullptr, 10));
    *comma = 0;
  }
  std::wstring file = path;
  if (ReadResourceString(page->m_image, MuiPath(page->m_image, file), id, out)) return 1;
  size_t at;
  if (FindNoCase(file, L"\\System32\\", &at)) {
    file.replace(at + 1, 8, L"SysWow64");
    if (ReadResourceString(page->m_image, MuiPath(page->m_image, file), id, out)) return 1;
  }
  wcsncpy(out, component, 199);
  out[199] = 0;
  return 0;
}

void ListBoundComponents(CImgNetPropProtocolDlg* page, HWND list, const wchar_t* deviceKey,
                         const wchar_t* deviceInstance) {
  ListView_DeleteAllItems(list);
  CMountedImage* image = page->m_image;
  const uint32_t version = image->GetWindowsVersion();
  const uint32_t cs = ReadCurrentControlSet(image);
  const uint32_t major = (version >> 8) & 0xFF;
  const int32_t wrapper = major < 10 ? FindWrapperAdapter(image, version, cs, nullptr, 0) : -1;
  const wchar_t* enumerator = L"PCI";
  if (!_wcsnicmp(deviceKey, L"NVNET_", 6)) enumerator = L"{1A3E09BE-1E45-494B-9174-D7385B45BBF5}";
  if (!_wcsnicmp(deviceKey, L"ConnectX", 8)) enumerator = L"MLX4";
  std::wstring driver, guid;
  if (!ReadRegistryText(image,
                        ImageSystemKey(cs, std::wstring(L"Enum\\") + enumerator + L"\\" +
                                               deviceKey + L"\\" + deviceInstance),
                        L"Driver", driver) ||
      !ReadRegistryText(image, ImageSystemKey(cs, L"Control\\Class\\" + driver),
                        L"NetCfgInstanceId", guid))
    return;
  NetContext context = {image, version, cs};
  std::vector<NetComponentRecord> records;
  if (!ComputeAdapterBindings(context, driver.c_str(), guid.c_str(), wrapper, records)) return;
  MarkBoundComponents(context, records, guid.c_str());
  for (const NetComponentRecord& record : records) {
    if (SameTextAZ(record.ServiceName, L"VroNdis")) continue;
    std::wstring key = ImageSystemKey(cs, std::wstring(L"Services\\") + record.ServiceName);
    if (image->RegGetSubkeyCount((key + L"\\NetworkProvider").c_str()) >= 0)
      key += L"\\NetworkProvider";
    std::wstring displayName;
    if (!ReadRegistryText(image, key, L"DisplayName", displayName)) continue;
    wchar_t text[200];
    ResolveComponentDisplayName(page, displayName.c_str(), record.ServiceName, text);
    int item = ListAppendItem(list, text, record.Kind == 3 ? 0 : record.Kind == 4 ? 1 : 2);
    ListSetItemText(list, item, 1, record.ServiceName);
    const uint32_t state = record.Sources;
    bool expected;
    if (!record.Bound) {
      expected = state == 0;
    } else if (major >= 10) {
      expected = record.Kind == 2 ? state == 0xE : state == 2;
    } else {
      expected = record.Kind == 2 ? state == 7 : (state & 2) != 0;
    }
    if (record.Bound) ListSetItemStateImage(list, item, INDEXTOSTATEIMAGEMASK(2));
    if (!expected) ListSetItemParam(list, item, 1);
  }
}

CImgNetPropProtocolDlg::CImgNetPropProtocolDlg(CWindow* sheet, int instance, CMountedImage* image)
    : m_image(image) {
  Create(sheet, 145, FALSE, instance);
}

LRESULT CImgNetPropProtocolDlg::OnInitDialog() {
  PlaceChildPage(m_hWnd, 25, 70);
  EnableTabTexture(m_hWnd);
  std::wstring device = OpeningPageColumn(m_parent, kColDeviceKey, 100);
  std::wstring instance = OpeningPageColumn(m_parent, kColInstanceKey, 100);
  HWND list = GetDlgItem(m_hWnd, kList);
  const DWORD styles = LVS_EX_CHECKBOXES | LVS_EX_INFOTIP | LVS_EX_DOUBLEBUFFER;
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, styles, styles);
  int size = ApplyExplorerTheme(list, m_version) ? 24 : 16;
  HIMAGELIST small = ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 3, 0);
  if (small) {
    const int icons[3] = {kIconComponentClient, kIconComponentService, kIconComponentProtocol};
    AppendDriverIcons(small, GetUiModule(), icons, 3, size);
    SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(small));
  }
  HIMAGELIST states = ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 2, 0);
  if (states) {
    const int icons[2] = {kIconCheckOff, kIconCheckOn};
    AppendDriverIcons(states, GetUiModule(), icons, 2, size);
    HIMAGELIST old = reinterpret_cast<HIMAGELIST>(
        SendMessageW(list, LVM_SETIMAGELIST, LVSIL_STATE, reinterpret_cast<LPARAM>(states)));
    if (old && old != states) ImageList_Destroy(old);
  }
  wchar_t title[100];
  LoadUiString(GetUiModule(), 176, m_language, title, 100);
  const struct {
    const wchar_t* text;
    int width;
  } columns[4] = {{title, ScaleByDpi(320)}, {nullptr, 0}, {L"P_GUID", 0}, {L"N_GUID", 0}};
  wchar_t driverTitle[100];
  LoadUiString(GetUiModule(), 154, m_language, driverTitle, 100);
  for (int c = 0; c < 4; ++c) {
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.pszText = const_cast<wchar_t*>(c == 1 ? driverTitle : columns[c].text);
    column.cx = columns[c].width;
    column.iSubItem = c;
    SendMessageW(list, LVM_INSERTCOLUMNW, c, reinterpret_cast<LPARAM>(&column));
  }
  ListBoundComponents(this, list, device.c_str(), instance.c_str());
  SendMessageW(list, LVM_SETCOLUMNWIDTH, 0, LVSCW_AUTOSIZE);
  return 0;
}

LRESULT CImgNetPropProtocolDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  return PostCloseOnCancel(wParam);
}

LRESULT CImgNetPropProtocolDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId != kList) return 0;
  if (header->code == NM_CUSTOMDRAW)
    return PaintMissingRowsRed(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
  if (header->code != LVN_ITEMCHANGING) return 0;
  NMLISTVIEW* change = reinterpret_cast<NMLISTVIEW*>(header);
  if (!IsWindowVisible(header->hwndFrom) || change->iItem < 0 || !(change->uChanged & LVIF_STATE))
    return 0;
  UINT before = (change->uOldState & LVIS_STATEIMAGEMASK) >> 12;
  UINT after = (change->uNewState & LVIS_STATEIMAGEMASK) >> 12;
  bool toggled = (before == 1 && after == 2) || (before == 2 && after == 1);
  // Only the mouse is refused; the space bar still toggles (nothing is kept).
  return toggled && GetKeyState(VK_LBUTTON) < 0 ? 1 : 0;
}

LRESULT CImgNetPropProtocolDlg::OnClose(WPARAM wParam) {
  (void)wParam;
  HWND list = GetDlgItem(m_hWnd, kList);
  for (int which : {LVSIL_SMALL, LVSIL_STATE}) {
    HIMAGELIST images =
        reinterpret_cast<HIMAGELIST>(SendMessageW(list, LVM_SETIMAGELIST, which, 0));
    if (images) ImageList_Destroy(images);
  }
  DestroyWindow(m_hWnd);
  return 1;
}
