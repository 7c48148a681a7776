#include "driverui/InfDrvListDlg.h"

#include "driverstore/DriverStore.h"
#include "driverui/DriverIcons.h"
#include "driverui/InfDrvPropertyDlg.h"
#include "driverui/ThemeHelpers.h"
#include "resources/ResourceIds.h"
#include "ui/controls/ListView.h"
#include "ui/shared/ChildPage.h"

namespace {

// The page of the other class inside the same manager.
CInfDrvListDlg* OtherPage(CInfDrvListDlg* page) {
  HWND parent = GetParent(page->m_hWnd);
  int other = page->m_storeClass == kStoreNetwork ? IDD_INF_DISPLAY_DRV : IDD_INF_NET_DRV;
  return static_cast<CInfDrvListDlg*>(CWindow::FromWindow(GetDlgItem(parent, other)));
}

}  // namespace

CInfDrvListDlg::CInfDrvListDlg(CWindow* manager, CMountedImage* image, int storeClass,
                               uint32_t target)
    : CStorePackageDlg(image, storeClass) {
  m_language = manager->m_language;
  Create(manager, storeClass == kStoreNetwork ? IDD_INF_NET_DRV : IDD_INF_DISPLAY_DRV, FALSE,
         (LPARAM)target);
}

CInfNetDrvDlg::CInfNetDrvDlg(CWindow* manager, CMountedImage* image, uint32_t target)
    : CInfDrvListDlg(manager, image, kStoreNetwork, target) {}

CInfDisplayDrvDlg::CInfDisplayDrvDlg(CWindow* manager, CMountedImage* image, uint32_t target)
    : CInfDrvListDlg(manager, image, kStoreDisplay, target) {}

const wchar_t* CInfDrvListDlg::WidthsValue() const {
  return m_storeClass == kStoreNetwork ? L"ListviewColumnInfNet" : L"ListviewColumnInfDisplay";
}

LRESULT CInfDrvListDlg::OnInitDialog() {
  PlaceChildPage(m_hWnd, 32, 45);
  EnableTabTexture(m_hWnd);
  InitStoreList(WidthsValue(), false);
  AddTip(1016, IDS_STORE_IMPORT_TIP);
  AddTip(1004, IDS_STORE_CONFIGURE_TIP);
  AddTip(1003, IDS_STORE_DELETE_TIP);
  AddTip(1002, IDS_STORE_ROOT_TIP);
  AddTip(1054, IDS_STORE_ROOT_TIP);
  InitStoreRootEdit();
  BuildPackageList();
  return 1;
}

void CInfDrvListDlg::BuildPackageList() {
  HWND list = List();
  for (int group = 1; group <= 2; ++group) {
    if (!SendMessageW(list, LVM_HASGROUP, group, 0))
      ListInsertGroup(
          list, LoadString(group == 1 ? IDS_STORE_GROUP_USED : IDS_STORE_GROUP_UNUSED).c_str(),
          group, m_version);
  }
  CStorePackageDlg::BuildPackageList();
  UpdateButtons();
}

void CInfDrvListDlg::UpdateButtons() {
  BOOL on = SelectedRow() >= 0 && !m_busy;
  EnableWindow(Item(1004), on);
  EnableWindow(Item(1003), on);
}

void CInfDrvListDlg::BeginImportControls() {
  for (int id : {1016, 1004, 1003, 1054, 1001}) EnableWindow(Item(id), FALSE);
}

void CInfDrvListDlg::EndImportControls() {
  for (int id : {1016, 1001, 1054}) EnableWindow(Item(id), TRUE);
  UpdateButtons();
}

void CInfDrvListDlg::DeleteSelected() {
  HWND list = List();
  int count = (int)SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0);
  if (count <= 0) return;
  if (MessageBoxW(m_hWnd, LoadString(IDS_CONFIRM_DELETE_DRIVERS).c_str(),
                  LoadString(IDS_PROMPT_CAPTION).c_str(),
                  MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) != IDYES)
    return;
  int row = -1;
  for (int i = 0; i < count; ++i) {
    row = (int)SendMessageW(list, LVM_GETNEXTITEM, row, LVNI_SELECTED);
    if (row < 0) break;
    if (DeleteRow(row)) --row;  // the next row took this index
  }
  UpdateButtons();
}

LRESULT CInfDrvListDlg::OnStoreListKeyDown(NMLVKEYDOWN* key) {
  const bool ctrl = GetKeyState(VK_CONTROL) < 0;
  if (key->wVKey == VK_F5) {
    PostMessageW(m_hWnd, WM_COMMAND, 32796, 0);
  } else if (ctrl && key->wVKey == 'A') {
    ListSelectItem(List(), -1);
  } else if (ctrl && key->wVKey == VK_DELETE) {
    PostMessageW(m_hWnd, WM_COMMAND, 1003, 0);
  } else {
    OnSharedListKey(key->wVKey);
  }
  return 0;
}

LRESULT CInfDrvListDlg::OnCommand(WPARAM wParam, LPARAM) {
  const int id = LOWORD(wParam), code = HIWORD(wParam);
  if (OnInPlaceComboCommand(id, code)) return 0;
  switch (id) {
    case IDCANCEL:
      return 1;  // the manager handles Escape
    case 1054:
      if (ChooseStoreRoot()) {
        BuildPackageList();
        if (CInfDrvListDlg* other = OtherPage(this)) {
          wchar_t root[360];
          GetDlgItemTextW(m_hWnd, 1002, root, 360);
          SetDlgItemTextW(other->m_hWnd, 1002, root);
          other->BuildPackageList();
        }
      }
      return 0;
    case 1016:
      StartImport();
      return 0;
    case 32796:
      BuildPackageList();
      return 0;
    case 1004:
      ShowStorePackageProperties(this, m_image, m_storeClass);
      return 0;
    case 1003:
      DeleteSelected();
      return 0;
  }
  return 0;
}

LRESULT CInfDrvListDlg::OnNotify(int controlId, NMHDR* header) {
  bool handled;
  LRESULT r = OnStoreListNotify(controlId, header, &handled);
  if (handled || controlId != 1001) return r;
  if (header->code == LVN_KEYDOWN) return OnStoreListKeyDown((NMLVKEYDOWN*)header);
  return 0;
}

LRESULT CInfDrvListDlg::OnClose(WPARAM) {
  CloseStoreList(WidthsValue());
  DestroyWindow(m_hWnd);
  return 1;
}
