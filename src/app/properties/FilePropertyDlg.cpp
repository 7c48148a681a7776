#include "app/properties/FilePropertyDlg.h"

#include <commctrl.h>

#include <cwchar>

#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/controls/ControlWrappers.h"

namespace {

HMODULE ModuleOf(const CWindow* window) {
  return window->m_hInstance ? window->m_hInstance : GetUiModule();
}

}  // namespace

CFilePropertyDlg::CFilePropertyDlg(const wchar_t* path) {
  lstrcpynW(m_path, path ? path : L"", kPathChars);
}

INT_PTR CFilePropertyDlg::Run(CWindow* owner, CMountedImage* image, const wchar_t* volumePath) {
  CFilePropertyDlg* sheet = new CFilePropertyDlg(volumePath);
  return sheet->Create(owner, IDD_FILE_PROPERTIES, TRUE, LPARAM(image));
}

LRESULT CFilePropertyDlg::OnInitDialog() {
  const HMODULE module = ModuleOf(this);
  HWND tabs = GetDlgItem(m_hWnd, IDC_PROPERTY_TABS);
  wchar_t text[kPathChars];
  LoadUiString(module, IDS_TAB_GENERAL, m_language, text, kPathChars);
  TabInsertItem(tabs, 0, text);
  CFileInfoDlg* general = new CFileInfoDlg(m_path);
  if (HWND page = reinterpret_cast<HWND>(general->Create(this, IDD_FILE_INFO, FALSE, m_param))) {
    SetWindowPos(page, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  } else {
    delete general;
  }
  CMountedImage* image = reinterpret_cast<CMountedImage*>(m_param);
  if (image && image->IsWindowsExecutable(m_path)) {
    LoadUiString(module, IDS_TAB_VERSION, m_language, text, kPathChars);
    TabInsertItem(tabs, 1, text);
    CFileVersionDlg* version = new CFileVersionDlg(m_path);
    if (HWND page =
            reinterpret_cast<HWND>(version->Create(this, IDD_FILE_VERSION, FALSE, m_param))) {
      SetWindowPos(page, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    } else {
      delete version;
    }
  }
  wchar_t suffix[64], title[kPathChars];
  LoadUiString(module, IDS_PROPERTIES_SUFFIX, m_language, suffix, 64);
  _snwprintf(title, kPathChars, L"%s%s", FindFileNamePart(m_path), suffix);
  title[kPathChars - 1] = 0;
  SetWindowTextW(m_hWnd, title);
  // The tabs take the focus, not the General page's first field.
  SetFocus(tabs);
  return 0;
}

LRESULT CFilePropertyDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId == IDC_PROPERTY_TABS && header->code == TCN_SELCHANGE) {
    const int tab = int(SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0));
    HWND general = GetDlgItem(m_hWnd, IDD_FILE_INFO),
         version = GetDlgItem(m_hWnd, IDD_FILE_VERSION);
    if (general) ShowWindow(general, tab == 0 ? SW_SHOW : SW_HIDE);
    if (version) ShowWindow(version, tab == 1 ? SW_SHOW : SW_HIDE);
  }
  return 0;
}

LRESULT CFilePropertyDlg::OnCommand(WPARAM wParam, LPARAM) {
  switch (LOWORD(wParam)) {
    case IDCANCEL:
      PostMessageW(m_hWnd, WM_CLOSE, IDCANCEL, 0);
      return 1;
    case IDOK:
      // The General page saves first.
      if (HWND general = GetDlgItem(m_hWnd, IDD_FILE_INFO))
        SendMessageW(general, WM_COMMAND, IDOK, 0);
      PostMessageW(m_hWnd, WM_CLOSE, IDOK, 0);
      return 1;
  }
  return 0;
}

LRESULT CFilePropertyDlg::OnClose(WPARAM wParam) {
  if (HWND general = GetDlgItem(m_hWnd, IDD_FILE_INFO)) SendMessageW(general, WM_CLOSE, 0, 0);
  return EndDialogOnClose(wParam);
}
