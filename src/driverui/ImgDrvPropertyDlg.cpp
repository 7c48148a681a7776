#include "driverui/ImgDrvPropertyDlg.h"

#include <commctrl.h>

#include <cwchar>
#include <string>
#include <vector>

#include "driverui/ImgDriverPage.h"
#include "driverui/ImgNetPropAdvancedDlg.h"
#include "driverui/ImgNetPropProtocolDlg.h"
#include "driverui/ImgPropInformationDlg.h"
#include "driverui/NdiParamRecord.h"
#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "ui/UiResources.h"
#include "ui/controls/ControlWrappers.h"

namespace {

const int kNetPages[3] = {140, 141, 145};
const int kDisplayPages[1] = {157};

}  // namespace

std::wstring OpeningPageColumn(CWindow* sheet, int column, int chars) {
  if (!sheet->m_parent) return L"";
  HWND list = GetDlgItem(sheet->m_parent->m_hWnd, 1001);
  int item =
      static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
  if (item < 0) return L"";
  std::vector<wchar_t> text(chars + 1, 0);
  LVITEMW lv = {};
  lv.iSubItem = column;
  lv.pszText = text.data();
  lv.cchTextMax = chars;
  SendMessageW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(&lv));
  return text.data();
}

void SetSheetTitle(CWindow* sheet) {
  wchar_t suffix[100];
  LoadUiString(GetUiModule(), 155, sheet->m_language, suffix, 100);
  std::wstring title = OpeningPageColumn(sheet, kColName, 400) + suffix;
  SetWindowTextW(sheet->m_hWnd, title.c_str());
}

void ShowSheetPage(HWND sheet, const int* pages, int count, int show) {
  for (int i = 0; i < count; ++i) {
    HWND page = GetDlgItem(sheet, pages[i]);
    if (page) ShowWindow(page, i == show ? SW_SHOW : SW_HIDE);
  }
}

CImgNetDrvPropertyDlg::CImgNetDrvPropertyDlg(CWindow* page, int instance, CMountedImage* image)
    : m_image(image) {
  Create(page, 139, TRUE, instance);
}

LRESULT CImgNetDrvPropertyDlg::OnInitDialog() {
  HWND tabs = GetDlgItem(m_hWnd, 1018);
  const UINT texts[3] = {153, 154, 176};
  for (int i = 0; i < 3; ++i) {
    wchar_t text[260];
    LoadUiString(GetUiModule(), texts[i], m_language, text, 260);
    TabInsertItem(tabs, i, text);
  }
  int instance = static_cast<int>(m_param);
  new CImgNetPropAdvancedDlg(this, instance, m_image);
  new CImgNetPropInformationDlg(this, instance, m_image);
  new CImgNetPropProtocolDlg(this, instance, m_image);
  SetSheetTitle(this);
  return 0;
}

int CImgNetDrvPropertyDlg::WriteChangedParameters() {
  HWND advanced = GetDlgItem(m_hWnd, 140);
  HWND list = advanced ? GetDlgItem(advanced, 1019) : nullptr;
  if (!list) return 0;
  wchar_t key[400];
  swprintf(key, 400,
           L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\Control\\Class\\"
           L"{4D36E972-E325-11CE-BFC1-08002BE10318}\\%04u",
           ReadCurrentControlSet(m_image), static_cast<unsigned>(m_param));
  int failed = 0;
  int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    LRESULT data = SendMessageW(list, LB_GETITEMDATA, i, 0);
    if (data <= 0) continue;
    NdiParamRecord* record = reinterpret_cast<NdiParamRecord*>(data);
    if (!record->changed) continue;
    uint32_t status;
    if (record->value[0]) {
      status = m_image->RegSetValue(
          key, record->name, record->value,
          static_cast<uint32_t>((wcslen(record->value) + 1) * sizeof(wchar_t)), REG_SZ);
    } else {
      status = m_image->RegDeleteValue(key, record->name);
      if (status == REG_STATUS_NOT_FOUND) status = REG_STATUS_OK;
    }
    if (status != REG_STATUS_OK) ++failed;
  }
  return failed;
}

LRESULT CImgNetDrvPropertyDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  if (wParam == IDOK) {
    WriteChangedParameters();
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  } else if (wParam == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  }
  return 0;
}

LRESULT CImgNetDrvPropertyDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId != 1018 || header->code != TCN_SELCHANGE) return 0;
  int current = static_cast<int>(SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0));
  if (current >= 0 && current < 3) ShowSheetPage(m_hWnd, kNetPages, 3, current);
  return 0;
}

LRESULT CImgNetDrvPropertyDlg::OnClose(WPARAM wParam) {
  for (int id : kNetPages) {
    HWND page = GetDlgItem(m_hWnd, id);
    if (page) SendMessageW(page, WM_CLOSE, 0, 0);
  }
  return EndDialogOnClose(wParam);
}

CImgDisplayDrvPropertyDlg::CImgDisplayDrvPropertyDlg(CWindow* page, int instance,
                                                     CMountedImage* image)
    : m_image(image) {
  Create(page, 139, TRUE, instance);
}

LRESULT CImgDisplayDrvPropertyDlg::OnInitDialog() {
  wchar_t text[260];
  LoadUiString(GetUiModule(), 154, m_language, text, 260);
  TabInsertItem(GetDlgItem(m_hWnd, 1018), 0, text);
  new CImgDisplayPropInformationDlg(this, static_cast<int>(m_param), m_image);
  SetSheetTitle(this);
  return 0;
}

LRESULT CImgDisplayDrvPropertyDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  // Nothing to write here: OK closes the sheet as Cancel does.
  if (wParam == IDOK) PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  return PostCloseOnCancel(wParam);
}

LRESULT CImgDisplayDrvPropertyDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId == 1018 && header->code == TCN_SELCHANGE &&
      SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0) == 0)
    ShowSheetPage(m_hWnd, kDisplayPages, 1, 0);
  return 0;
}

LRESULT CImgDisplayDrvPropertyDlg::OnClose(WPARAM wParam) {
  HWND page = GetDlgItem(m_hWnd, 157);
  if (page) SendMessageW(page, WM_CLOSE, 0, 0);
  return EndDialogOnClose(wParam);
}
