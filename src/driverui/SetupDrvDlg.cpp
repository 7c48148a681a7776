#include "driverui/SetupDrvDlg.h"

#include "driverstore/DriverStore.h"
#include "driverui/DriverIcons.h"
#include "driverui/InfDrvPropertyDlg.h"
#include "driverui/SetupDriverInstall.h"
#include "infinstall/driverpack/DriverPackInjection.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"

namespace {

const wchar_t kWidthsValue[] = L"ListviewColumnSetup";
// The controls an import disables, and the radios and labels that follow
// the checks.
const int kImportControls[] = {1016, 1034, 1004, 1003, 1054, 1001, 1055, 1056, 1057, 1058};
const int kCheckControls[] = {1034, 1003, 1055, 1056, 1057, 1058};

}  // namespace

CSetupDrvDlg::CSetupDrvDlg(CMountedImage* image, int storeClass)
    : CStorePackageDlg(image, storeClass) {}

uint32_t CSetupDrvDlg::Target() {
  return m_image->GetWindowsVersion();
}

int CSetupDrvDlg::GroupOf(const StorePackageView&) {
  return 1;
}

bool CSetupDrvDlg::IsChecked(int row) const {
  return (SendMessageW(List(), LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) & 0xF000) == 0x2000;
}

void CSetupDrvDlg::SetChecked(int row, bool checked) {
  ListSetItemStateImage(List(), row, checked ? 0x2000 : 0x1000);
}

int CSetupDrvDlg::CountChecked() const {
  int n = (int)SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0), checked = 0;
  for (int i = 0; i < n; ++i) checked += IsChecked(i) ? 1 : 0;
  return checked;
}

LRESULT CSetupDrvDlg::OnInitDialog() {
  const bool network = m_storeClass == kStoreNetwork;
  SetWindowTextW(m_hWnd,
                 LoadString(network ? IDS_SETUP_NET_TITLE : IDS_SETUP_DISPLAY_TITLE).c_str());
  InitStoreList(kWidthsValue, true);
  ListInsertGroup(List(), L"", 1, m_version);
  static const struct {
    int control;
    UINT text;
  } kTips[] = {{1016, IDS_STORE_IMPORT_TIP}, {1004, IDS_SETUP_CONFIGURE_TIP},
               {1003, IDS_STORE_DELETE_TIP}, {1034, IDS_SETUP_INSTALL_TIP},
               {1002, IDS_STORE_ROOT_TIP},   {1054, IDS_STORE_ROOT_TIP},
               {1055, IDS_SETUP_LINK_TIP},   {1057, IDS_SETUP_LINK_TIP},
               {1056, IDS_SETUP_COPY_TIP},   {1058, IDS_SETUP_COPY_TIP}};
  for (const auto& t : kTips) AddTip(t.control, t.text);
  if (network) {
    CheckDlgButton(m_hWnd, 1056, BST_CHECKED);
    for (int id : {1055, 1056, 1057, 1058}) ShowWindow(Item(id), SW_HIDE);
  } else {
    CheckDlgButton(m_hWnd, 1055, BST_CHECKED);
  }
  InitStoreRootEdit();
  BuildPackageList();
  UpdateButtons();
  return 1;
}

void CSetupDrvDlg::UpdateButtons() {
  const BOOL anyChecked = CountChecked() > 0;
  for (int id : kCheckControls) EnableWindow(Item(id), anyChecked);
  EnableWindow(Item(1004), SelectedRow() >= 0 && !m_busy);
}

void CSetupDrvDlg::BeginImportControls() {
  EnableMenuItem(GetSystemMenu(m_hWnd, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
  for (int id : kImportControls) EnableWindow(Item(id), FALSE);
}

void CSetupDrvDlg::EndImportControls() {
  EnableMenuItem(GetSystemMenu(m_hWnd, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_ENABLED);
  for (int id : {1016, 1001, 1054}) EnableWindow(Item(id), TRUE);
  UpdateButtons();
}

void CSetupDrvDlg::InstallSelected(uint32_t linkFiles) {
  std::vector<SetupPackageRow> rows;
  int n = (int)SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0);
  for (int i = 0; i < n; ++i) {
    if (!IsChecked(i)) continue;
    SetupPackageRow r = {};
    ListGetItemText(List(), i, kStoreColName, r.name, 200);
    ListGetItemText(List(), i, kStoreColVersion, r.version, 100);
    ListGetItemText(List(), i, kStoreColHardwareId, r.hardwareId, 100);
    ListGetItemText(List(), i, kStoreColSection, r.installSection, 100);
    ListGetItemText(List(), i, kStoreColInfPath, r.infPath, 360);
    rows.push_back(r);
  }
  const uint32_t kind = m_storeClass == kStoreNetwork ? kInfClassNet : kInfClassDisplay;
  std::vector<SetupPackageFailure> failures;
  int count = InstallStorePackages(m_image, kind, linkFiles, rows, &failures);
  if (!failures.empty()) {
    // Every package that did not go in, with what stopped it; the image
    // keeps what it had for each of them.
    std::wstring text = DescribeFailedPackages(LoadString(IDS_DRIVER_INSTALL_REFUSED), failures);
    for (const SetupPackageFailure& f : failures)
      if (f.result == kDriverPackNoAdapterIdentity) {
        text += L"\r\n" + LoadString(IDS_SETUP_NO_ADAPTER_KEYS);
        break;
      }
    MessageBoxW(m_hWnd, text.c_str(), LoadString(IDS_PROMPT_CAPTION).c_str(),
                MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
  }
  if (count > 0) {
    PostMessageW(m_hWnd, WM_CLOSE, (WPARAM)count, 0);
    return;
  }
  SetDlgItemTextW(m_hWnd, 1000, LoadString(IDS_SETUP_INSTALL_FAILED).c_str());
  ShowWindow(Item(1000), SW_SHOW);
}

void CSetupDrvDlg::DeleteCheckedPackages() {
  if (CountChecked() == 0) return;
  if (MessageBoxW(m_hWnd, LoadString(IDS_CONFIRM_DELETE_DRIVERS).c_str(),
                  LoadString(IDS_PROMPT_CAPTION).c_str(),
                  MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) != IDYES)
    return;
  for (int i = 0; i < (int)SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0);) {
    if (IsChecked(i) && DeleteRow(i)) continue;  // the next row took index i
    ++i;
  }
  UpdateButtons();
}

void CSetupDrvDlg::ShowContextMenu() {
  HMENU menu = LoadUiMenu(GetUiModule(), IDM_SETUP_DRV, m_language);
  if (!menu) return;
  POINT at;
  GetCursorPos(&at);
  SetForegroundWindow(m_hWnd);
  int command = TrackPopupMenu(GetSubMenu(menu, 0), TPM_RIGHTBUTTON | TPM_RETURNCMD, at.x, at.y, 0,
                               m_hWnd, nullptr);
  DestroyMenu(menu);
  if (command) PostMessageW(m_hWnd, WM_COMMAND, command, 0);
}

LRESULT CSetupDrvDlg::OnListKeyDown(NMLVKEYDOWN* key) {
  const bool ctrl = GetKeyState(VK_CONTROL) < 0;
  switch (key->wVKey) {
    case VK_DELETE:
      PostMessageW(m_hWnd, WM_COMMAND, ID_SETUP_DELETE_CHECKED, 0);
      return 0;
    case VK_F5:
      PostMessageW(m_hWnd, WM_COMMAND, ID_SETUP_REFRESH, 0);
      return 0;
  }
  if (ctrl) {
    switch (key->wVKey) {
      case 'A':
        ListSelectItem(List(), -1);
        return 0;
      case 'H':
        PostMessageW(m_hWnd, WM_COMMAND, ID_SETUP_CHECK_ALL, 0);
        return 0;
      case 'U':
        PostMessageW(m_hWnd, WM_COMMAND, ID_SETUP_UNCHECK_ALL, 0);
        return 0;
      case 'S':
        PostMessageW(m_hWnd, WM_COMMAND, ID_SETUP_CHECK_SELECTED, 0);
        return 0;
      case 'I':
        PostMessageW(m_hWnd, WM_COMMAND, ID_SETUP_INVERT_CHECKS, 0);
        return 0;
    }
  }
  OnSharedListKey(key->wVKey);
  return 0;
}

LRESULT CSetupDrvDlg::OnCommand(WPARAM wParam, LPARAM) {
  const int id = LOWORD(wParam), code = HIWORD(wParam);
  if (OnInPlaceComboCommand(id, code)) return 0;
  const int n = (int)SendMessageW(List(), LVM_GETITEMCOUNT, 0, 0);
  switch (id) {
    case IDCANCEL:
      if (!m_busy && !CommitDroppedCombo()) PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
      return 1;
    case 1057:
    case 1058:
      CheckRadioButton(m_hWnd, 1055, 1056, id == 1057 ? 1055 : 1056);
      return 0;
    case 1054:
      if (ChooseStoreRoot()) {
        BuildPackageList();
        UpdateButtons();
      }
      return 0;
    case 1016:
      StartImport();
      return 0;
    case 1034:
      InstallSelected(IsDlgButtonChecked(m_hWnd, 1055) == BST_CHECKED ? 1 : 0);
      return 0;
    case ID_SETUP_CHECK_SELECTED:
      for (int i = 0; i < n; ++i)
        if ((SendMessageW(List(), LVM_GETITEMSTATE, i, LVIS_SELECTED) & LVIS_SELECTED) &&
            !IsChecked(i))
          SetChecked(i, true);
      return 0;
    case ID_SETUP_CHECK_ALL:
    case ID_SETUP_UNCHECK_ALL:
    case ID_SETUP_INVERT_CHECKS:
      for (int i = 0; i < n; ++i)
        SetChecked(i, id == ID_SETUP_CHECK_ALL     ? true
                      : id == ID_SETUP_UNCHECK_ALL ? false
                                                   : !IsChecked(i));
      return 0;
    case ID_SETUP_DELETE_CHECKED:
    case 1003:
      DeleteCheckedPackages();
      return 0;
    case ID_SETUP_REFRESH:
      BuildPackageList();
      UpdateButtons();
      return 0;
    case 1004:
      ShowProperties();
      return 0;
  }
  return 0;
}

LRESULT CSetupDrvDlg::OnNotify(int controlId, NMHDR* header) {
  bool handled;
  LRESULT r = OnStoreListNotify(controlId, header, &handled);
  if (handled || controlId != 1001) return r;
  if (header->code == NM_RCLICK) ShowContextMenu();
  if (header->code == LVN_KEYDOWN) return OnListKeyDown((NMLVKEYDOWN*)header);
  return 0;
}

LRESULT CSetupDrvDlg::OnCtlColor(HDC dc, HWND control, int kind) {
  if (kind != 6) return 0;
  int id = GetDlgCtrlID(control);
  if (id == 1057 || id == 1058) {
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, id == 1057 ? RGB(0, 0, 255) : RGB(255, 0, 0));
    return (LRESULT)GetStockObject(NULL_BRUSH);
  }
  if (id == 1000) {
    SetTextColor(dc, RGB(255, 0, 0));
    SetBkColor(dc, GetSysColor(COLOR_3DFACE));
    return (LRESULT)GetSysColorBrush(COLOR_3DFACE);
  }
  return 0;
}

LRESULT CSetupDrvDlg::OnClose(WPARAM wParam) {
  if (m_busy) return 1;  // the import worker still needs the window
  CloseStoreList(kWidthsValue);
  EndDialog(m_hWnd, (INT_PTR)wParam);
  return 1;
}

CSetupNetworkDrvDlg::CSetupNetworkDrvDlg(CMountedImage* image)
    : CSetupDrvDlg(image, kStoreNetwork) {}

CSetupDisplayDrvDlg::CSetupDisplayDrvDlg(CMountedImage* image)
    : CSetupDrvDlg(image, kStoreDisplay) {}

void CSetupNetworkDrvDlg::ShowProperties() {
  ShowStorePackageProperties(this, m_image, kStoreNetwork);
}

void CSetupDisplayDrvDlg::ShowProperties() {
  ShowStorePackageProperties(this, m_image, kStoreDisplay);
}
