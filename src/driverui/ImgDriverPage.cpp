#include "driverui/ImgDriverPage.h"

#include <cwchar>
#include <vector>

#include "common/Dpi.h"
#include "common/PathUtil.h"
#include "common/SavedState.h"
#include "common/TextOps.h"
#include "driverstore/DeviceInf.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfImporter.h"
#include "driverstore/PnpRegistration.h"
#include "driverui/DriverIcons.h"
#include "driverui/DriverListDraw.h"
#include "driverui/ThemeHelpers.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "infinstall/driverpack/DriverInstallation.h"
#include "infinstall/driverpack/DriverPackInjection.h"
#include "registry/RegistryFacade.h"
#include "registry/RegistryReads.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"
#include "ui/shared/ChildPage.h"
#include "ui/shared/TipControl.h"

const wchar_t* const kDriverEnumerators[4] = {L"PCI", L"{1A3E09BE-1E45-494B-9174-D7385B45BBF5}",
                                              L"MLX4", L"VIDEO"};

namespace {

constexpr int kButtons[5] = {1005, 1003, 1006, 1002, 1004};

struct ColumnSpec {
  UINT title;  // 0: the literal "PCI"
  int width;
};
const ColumnSpec kColumns[9] = {{103, 288}, {138, 128}, {139, 128}, {140, 0}, {141, 0},
                                {142, 0},   {143, 0},   {144, 0},   {0, 0}};

}  // namespace

std::wstring ImageSystemKey(uint32_t controlSet, const std::wstring& tail) {
  wchar_t head[64];
  swprintf(head, 64, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\", controlSet);
  return head + tail;
}

bool ReadRegistryString(CMountedImage* image, const std::wstring& key, const wchar_t* name,
                        std::wstring& text) {
  std::vector<uint8_t> data;
  uint32_t type = 0;
  if (!ReadRegistryBytes(image, key, name, data, &type)) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return false;
  text.assign(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
  text.resize(wcsnlen(text.c_str(), text.size()));
  return true;
}

bool IsOwnDriverKey(CMountedImage* image, const std::wstring& key) {
  std::vector<uint8_t> data;
  return ReadRegistryBytes(image, key, L"Vro", data) && !data.empty() && (data[0] & 1);
}

std::wstring AfterLastBackslash(const std::wstring& text) {
  size_t at = text.rfind(L'\\');
  return at == std::wstring::npos ? text : text.substr(at + 1);
}

CImgDriverPage::CImgDriverPage(CMountedImage* image, const DriverPageTraits& traits)
    : m_tip(nullptr), m_image(image), m_traits(traits) {}

std::wstring CImgDriverPage::LoadString(UINT id) const {
  wchar_t text[400];
  LoadUiString(GetUiModule(), id, m_language, text, 400);
  return text;
}

std::wstring CImgDriverPage::ItemText(int item, int column, int chars) const {
  std::vector<wchar_t> text(chars + 1, 0);
  LVITEMW lv = {};
  lv.iSubItem = column;
  lv.pszText = text.data();
  lv.cchTextMax = chars;
  SendMessageW(List(), LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(&lv));
  return text.data();
}

std::wstring CImgDriverPage::CutHardwareId(const std::wstring& deviceKey) {
  std::wstring id = deviceKey;
  size_t at;
  if (FindNoCase(id, L"&REV_", &at)) id.resize(at);
  if (FindNoCase(id, L"&SUBSYS_", &at)) id.resize(at);
  return id;
}

std::wstring CImgDriverPage::AfterLastSemicolon(const std::wstring& text) {
  size_t at = text.rfind(L';');
  return at == std::wstring::npos ? text : text.substr(at + 1);
}

std::wstring CImgDriverPage::TargetFolderText() const {
  uint32_t v = m_image->GetWindowsVersion();
  wchar_t text[40];
  swprintf(text, 40, L"%u.%u_x%u", (v >> 8) & 0xFF, v & 0xFF, v >> 16);
  return text;
}

std::wstring CImgDriverPage::PackageOf(int item) const {
  wchar_t id[200];
  wcsncpy(id, ItemText(item, kColHardwareId, 100).c_str(), 199);
  id[199] = 0;
  FindDriverInStore(m_traits.storeClass, m_image->GetWindowsVersion(), id, 200);
  return id;
}

void CImgDriverPage::SetStoreColumns(int item) {
  std::wstring package = PackageOf(item);
  wchar_t pattern[kPathChars];
  GetDriverStoreFolder(m_traits.storeClass, m_image->GetWindowsVersion(), pattern);
  // The row's own target folder text names the store target.
  CutFileNamePart(pattern);
  AppendPathPart(pattern, kPathChars, ItemText(item, kColTarget, 100).c_str());
  AppendPathPart(pattern, kPathChars, package.c_str());
  AppendPathPart(pattern, kPathChars, L"*.*");
  wchar_t newest[100] = L"";
  if (FindNewestVersionFolder(pattern, newest) && newest[0])
    ListSetItemText(List(), item, kColStoreVersion, newest);
  LVITEMW lv = {};
  lv.mask = LVIF_PARAM;
  lv.iItem = item;
  lv.lParam = CountSubfolders(pattern);
  SendMessageW(List(), LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&lv));
}

void CImgDriverPage::ShowProblemLegend() {
  SetDlgItemTextW(m_hWnd, 1041, LoadString(m_traits.problemLegend).c_str());
}

void CImgDriverPage::InitPage() {
  PlaceChildPage(m_hWnd, 32, 45);
  EnableTabTexture(m_hWnd);
  HWND list = List();
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0x10420, 0x10420);
  HIMAGELIST images = ImageList_Create(24, 24, ILC_COLOR32 | ILC_MASK, 10, 0);
  if (images) {
    AppendDriverIcons(images, GetUiModule(), m_traits.icons, 10, 16);
    SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images));
  }
  for (int c = 0; c < 9; ++c) {
    std::wstring title = kColumns[c].title ? LoadString(kColumns[c].title) : L"PCI";
    LVCOLUMNW col = {};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = const_cast<wchar_t*>(title.c_str());
    col.cx = ScaleByDpi(kColumns[c].width);
    col.iSubItem = c;
    SendMessageW(list, LVM_INSERTCOLUMNW, c, reinterpret_cast<LPARAM>(&col));
  }
  LoadListColumnWidths(list, m_traits.widthsValue, 3);
  for (int id : {1002, 1003, 1004, 1006}) EnableWindow(GetDlgItem(m_hWnd, id), FALSE);

  m_tip = CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, TOOLTIPS_CLASSW, nullptr,
                          TTS_ALWAYSTIP | WS_POPUP | WS_CLIPSIBLINGS, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, m_hWnd, nullptr, m_hInstance, nullptr);
  if (m_tip) {
    SendMessageW(m_tip, TTM_SETDELAYTIME, TTDT_INITIAL, 0);
    SendMessageW(m_tip, TTM_SETMAXTIPWIDTH, 0, 400);
    for (int i = 0; i < 5; ++i) {
      HWND button = GetDlgItem(m_hWnd, kButtons[i]);
      if (!button) continue;
      std::wstring text = LoadString(m_traits.tipStrings[i]);
      TOOLINFOW tool = {};
      tool.cbSize = sizeof tool;
      tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
      tool.hwnd = m_hWnd;
      tool.uId = reinterpret_cast<UINT_PTR>(button);
      tool.lpszText = const_cast<wchar_t*>(text.c_str());
      SendMessageW(m_tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
      new CTipControl(button, this);
    }
  }
}

LRESULT CImgDriverPage::OnCommand(WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (LOWORD(wParam)) {
    case IDCANCEL:
      return 1;  // Escape does not end the page
    case 1004: {
      int item = ListView_GetNextItem(List(), -1, LVNI_SELECTED);
      if (item >= 0 && DriverRowStateOf(ListGetItemImage(List(), item)) != kRowNotAssociated)
        OpenProperties(item);
      return 0;
    }
    case 1003:
      DeleteSelected();
      return 0;
    case 1006:
      BackupSelected();
      return 0;
    case 1002:
      UpdateSelected();
      return 0;
    case 1005:
      OpenSetup();
      return 0;
    case 1035:
      if (HIWORD(wParam) == CBN_KILLFOCUS) {
        RedrawWindow(List(), nullptr, nullptr, RDW_INVALIDATE | RDW_NOERASE);
      } else if (HIWORD(wParam) == CBN_SELCHANGE) {
        ApplyVersionChoice();
      }
      return 0;
  }
  return 0;
}

LRESULT CImgDriverPage::OnNotify(int controlId, NMHDR* header) {
  HWND list = List();
  HWND listHeader = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  if (header->hwndFrom == listHeader && listHeader) {
    if (header->code == HDN_BEGINTRACKW || header->code == HDN_BEGINTRACKA) {
      if (reinterpret_cast<NMHEADERW*>(header)->iItem >= 3) {
        return 1;
      }
    }
    return 0;
  }
  if (controlId != 1001) return 0;
  LRESULT result = 0;
  switch (header->code) {
    case NM_CUSTOMDRAW: {
      NMLVCUSTOMDRAW* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(header);
      DriverListPaintContext context = {};
      if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT &&
          ListGetItemParam(list, static_cast<int>(draw->nmcd.dwItemSpec)) > 1) {
        context.columns[2] = Combo();
      }
      result = PaintDriverListItem(draw, &context);
      break;
    }
    case NM_DBLCLK:
      PostMessageW(m_hWnd, WM_COMMAND, 1004, 0);
      break;
    case NM_CLICK:
      OnListClick(reinterpret_cast<NMITEMACTIVATE*>(header));
      break;
    case LVN_KEYDOWN:
      result = OnDriverListKeyDown(reinterpret_cast<NMLVKEYDOWN*>(header));
      break;
    case LVN_ITEMCHANGED:
      UpdateButtons();
      break;
  }
  return result;
}

LRESULT CImgDriverPage::OnDriverListKeyDown(NMLVKEYDOWN* key) {
  HWND list = List(), combo = Combo();
  bool ctrl = GetKeyState(VK_CONTROL) < 0;
  switch (key->wVKey) {
    case VK_DELETE:
      PostMessageW(m_hWnd, WM_COMMAND, 1003, 0);
      return 0;
    case 'A':
      if (ctrl) ListView_SetItemState(list, -1, LVIS_SELECTED, LVIS_SELECTED);
      return 0;
    case VK_F4:
      if (ctrl) return 0;
      if (SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0)) {
        SendMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(1035, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(combo));
        SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
      } else {
        int item = ListView_GetNextItem(list, -1, LVNI_SELECTED);
        if (item >= 0) {
          NMITEMACTIVATE click = {};
          click.hdr.hwndFrom = list;
          click.hdr.idFrom = 1001;
          click.hdr.code = NM_CLICK;
          click.iItem = item;
          click.iSubItem = kColStoreVersion;
          SendMessageW(m_hWnd, WM_NOTIFY, 1001, reinterpret_cast<LPARAM>(&click));
        }
      }
      return 0;
    case VK_UP:
    case VK_DOWN: {
      if (!SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0)) return 0;
      int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
      int current = static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
      int next = current + (key->wVKey == VK_UP ? -1 : 1);
      if (next >= 0 && next < count) SendMessageW(combo, CB_SETCURSEL, next, 0);
      return 1;
    }
  }
  return 0;
}

void CImgDriverPage::OnListClick(NMITEMACTIVATE* click) {
  HWND list = List();
  int item = click->iItem;
  if (item < 0 || click->iSubItem != kColStoreVersion) return;
  if (item != ListView_GetNextItem(list, -1, LVNI_SELECTED)) return;
  if (DriverRowStateOf(ListGetItemImage(list, item)) == kRowNotAssociated) return;
  std::wstring package = PackageOf(item);
  int versions =
      FillVersionCombo(m_traits.storeClass, m_hInstance, ItemText(item, kColTarget, 100).c_str(),
                       package.c_str(), ItemText(item, kColStoreVersion, 100).c_str(), Combo());
  if (versions > 1) ShowCellCombo(m_hWnd, list, Combo(), item, kColStoreVersion, 0);
}

void CImgDriverPage::ApplyVersionChoice() {
  HWND list = List(), combo = Combo();
  int selected = ListView_GetNextItem(list, -1, LVNI_SELECTED);
  if (selected < 0) return;
  int choice = static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
  if (choice < 0) return;
  wchar_t text[100] = L"";
  if (SendMessageW(combo, CB_GETLBTEXTLEN, choice, 0) >= 100) return;
  SendMessageW(combo, CB_GETLBTEXT, choice, reinterpret_cast<LPARAM>(text));
  if (!text[0]) return;
  ListSetItemText(list, selected, kColStoreVersion, text);
  std::wstring package = PackageOf(selected);
  int count = ListView_GetItemCount(list);
  for (int i = 0; i < count; ++i) {
    if (ListView_GetItemState(list, i, LVIS_SELECTED)) continue;
    if (SameTextAZ(PackageOf(i).c_str(), package.c_str()))
      ListSetItemText(list, i, kColStoreVersion, text);
  }
}

void CImgDriverPage::UpdateButtons() {
  HWND list = List();
  int item = ListView_GetNextItem(list, -1, LVNI_SELECTED);
  if (item < 0) {
    for (int id : {1002, 1003, 1004, 1006}) EnableWindow(GetDlgItem(m_hWnd, id), FALSE);
    return;
  }
  bool associated = false, backupable = false, versioned = false;
  for (; item >= 0; item = ListView_GetNextItem(list, item, LVNI_SELECTED)) {
    int image = ListGetItemImage(list, item);
    if (DriverRowStateOf(image) == kRowNotAssociated) continue;
    associated = true;
    if (!IsOwnDriverImage(image)) backupable = true;
    if (!ItemText(item, kColStoreVersion, 40).empty()) versioned = true;
  }
  EnableWindow(GetDlgItem(m_hWnd, 1003), TRUE);
  EnableWindow(GetDlgItem(m_hWnd, 1002), associated && versioned);
  EnableWindow(GetDlgItem(m_hWnd, 1004), associated);
  EnableWindow(GetDlgItem(m_hWnd, 1006), associated && backupable);
}

void CImgDriverPage::UpdateSelected() {
  HWND list = List();
  int count = ListView_GetItemCount(list);
  std::vector<char> done;
  try {
    done.assign(count, 0);
  } catch (...) {
    return;
  }
  uint32_t version = m_image->GetWindowsVersion();
  uint32_t controlSet = ReadCurrentControlSet(m_image);
  m_failures.clear();
  for (int item = ListView_GetNextItem(list, -1, LVNI_SELECTED); item >= 0;
       item = ListView_GetNextItem(list, item, LVNI_SELECTED)) {
    if (DriverRowStateOf(ListGetItemImage(list, item)) == kRowNotAssociated) continue;
    if (done[item]) continue;
    std::wstring versionFolder = ItemText(item, kColStoreVersion, 100);
    std::wstring target = ItemText(item, kColTarget, 100);
    std::wstring package = PackageOf(item);
    std::wstring instance = ItemText(item, kColInstance, 100);
    std::wstring enumerator = ItemText(item, kColEnumerator, 100);
    if (!InstallFromStore(ItemText(item, kColDeviceKey, 200).c_str(), version, controlSet,
                          instance.c_str(), target.c_str(), package.c_str(), versionFolder.c_str(),
                          enumerator.c_str(), ItemText(item, kColInstanceKey, 100).c_str(),
                          ItemText(item, kColName)))
      continue;
    done[item] = 1;
    RefreshInstalledRow(item);
    // The other devices of the same package go with it.
    for (int other = 0; other < count; ++other) {
      if (other == item || done[other]) continue;
      if (DriverRowStateOf(ListGetItemImage(list, other)) == kRowNotAssociated) continue;
      if (!SameTextAZ(PackageOf(other).c_str(), package.c_str())) continue;
      std::wstring otherInstance = ItemText(other, kColInstance, 100);
      if (!SameTextAZ(otherInstance.c_str(), instance.c_str()) &&
          !InstallFromStore(ItemText(other, kColDeviceKey, 200).c_str(), version, controlSet,
                            otherInstance.c_str(), target.c_str(), package.c_str(),
                            ItemText(other, kColStoreVersion, 100).c_str(),
                            ItemText(other, kColEnumerator, 100).c_str(),
                            ItemText(other, kColInstanceKey, 100).c_str(),
                            ItemText(other, kColName)))
        continue;
      done[other] = 1;
      RefreshInstalledRow(other);
    }
    // The pending device of the package version for the boot-time PnP driver.
    wchar_t ini[kPathChars];
    GetDriverStoreFolder(m_traits.storeClass, version, ini);
    CutFileNamePart(ini);
    for (const std::wstring* part : {&target, &package, &versionFolder})
      AppendPathPart(ini, kPathChars, part->c_str());
    AppendPathPart(ini, kPathChars, L"VroPnp.ini");
    std::wstring ids = ReadPendingDeviceSection(ini, nullptr, 0);
    RegisterPnpDevice(m_image, controlSet, ids, enumerator.c_str());
    TidyDriverStoreIndex(m_traits.storeClass, version);
  }
  UpdateButtons();
  // Every row that kept its driver, with what stopped its update.
  if (!m_failures.empty())
    MessageBoxW(m_hWnd, DescribeFailedPackages(LoadString(IDS_DRIVER_INSTALL_REFUSED), m_failures).c_str(),
                LoadString(IDS_PROMPT_CAPTION).c_str(), MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
  m_failures.clear();
}

int CImgDriverPage::InstallFromStore(const wchar_t* deviceKey, uint32_t version,
                                     uint32_t controlSet, const wchar_t* instance,
                                     const wchar_t* target, const wchar_t* package,
                                     const wchar_t* versionFolder, const wchar_t* enumerator,
                                     const wchar_t* instanceKey, const std::wstring& name) {
  const bool display = m_traits.storeClass == kStoreDisplay;
  const uint32_t kind = display ? kDriverPackDisplay : kDriverPackNetwork;
  wchar_t folder[kPathChars];
  GetDriverStoreRoot(folder);
  for (const wchar_t* part : {display ? L"Display" : L"Network", target, package, versionFolder})
    AppendPathPart(folder, kPathChars, part);
  DriverInstallState state;
  int32_t result = kDriverPackNoDeviceInf;
  if (!ExtractDeviceInf(m_image, version, folder, enumerator, deviceKey)) {
    wchar_t pnp[kPathChars];
    lstrcpynW(pnp, folder, kPathChars);
    AppendPathPart(pnp, kPathChars, L"VroPnp.inf");
    state.why = std::wstring(L"no model of ") + pnp +
                L" with a driver file and a service serves the device";
  } else {
    wchar_t inf[kPathChars];
    lstrcpynW(inf, folder, kPathChars);
    AppendPathPart(inf, kPathChars, (std::wstring(deviceKey) + L".inf").c_str());
    CInfInstaller installer;
    if (display)
      installer.Init(m_image, version, controlSet, kInfClassDisplay, L"Display", kDisplayClassGuid,
                     1, 0);
    else
      installer.Init(m_image, version, controlSet, kInfClassNet, L"Net", kNetClassGuid, 1, 0);
    // An update places its files the way the earlier installation did: a
    // driver first copied stays real files, not links into the store.
    installer.LoadLinkMode(instance);
    // The row's device keeps its instance and driver key: the driver it
    // has goes only as part of an installation that completes.
    DriverInstallTarget t = {};
    t.kind = kind;
    t.inf = inf;
    t.enumerator = enumerator;
    t.hardwareId = deviceKey;
    t.existingInstance = instanceKey;
    t.existingClass = instance;
    t.netLuidIndex = 0xFFFFFFFFu;
    result = InstallDriverTransaction(&installer, t, &state);
  }
  if (result == kDriverPackInstalled) return 1;
  m_failures.push_back(
      {name, versionFolder, result, FormatDriverRefusal(kind, deviceKey, result, state.why)});
  return 0;
}

LRESULT CImgDriverPage::OnClose(WPARAM wParam) {
  (void)wParam;
  HWND list = List();
  SaveListColumnWidths(list, m_traits.widthsValue);
  HIMAGELIST images =
      reinterpret_cast<HIMAGELIST>(SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, 0));
  if (images) ImageList_Destroy(images);
  if (m_tip) {
    SendMessageW(m_tip, TTM_ACTIVATE, FALSE, 0);
    DestroyWindow(m_tip);
    m_tip = nullptr;
  }
  DestroyWindow(m_hWnd);
  return 1;
}
