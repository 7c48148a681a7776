#include "driverui/InfMgrDrvDlg.h"

#include <commctrl.h>

#include "driverui/DriverIcons.h"
#include "driverui/InfDrvListDlg.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/controls/ControlWrappers.h"
#include "ui/shared/TipControl.h"

namespace {

const struct {
  const wchar_t* text;
  uint32_t version;
} kTargets[] = {
    {L"Windows 10 x64 (10.0)", 0x00400A00},   {L"Windows 10 x86 (10.0)", 0x00560A00},
    {L"Windows 8.1 x64 (6.3)", 0x00400603},   {L"Windows 8.1 x86 (6.3)", 0x00560603},
    {L"Windows 8 x64 (6.2)", 0x00400602},     {L"Windows 8 x86 (6.2)", 0x00560602},
    {L"Windows 7 x64 (6.1)", 0x00400601},     {L"Windows 7 x86 (6.1)", 0x00560601},
    {L"Windows Vista x64 (6.0)", 0x00400600}, {L"Windows Vista x86 (6.0)", 0x00560600},
    {L"Windows XP x64 (5.2)", 0x00400502},    {L"Windows XP x86 (5.1)", 0x00560501},
};
constexpr uint32_t kDefaultTarget = 0x00400601;

}  // namespace

CInfMgrDrvDlg::CInfMgrDrvDlg(CWindow* parent, uint32_t target, CMountedImage* image)
    : m_tooltip(nullptr), m_image(image), m_netPage(nullptr), m_displayPage(nullptr) {
  if (parent) m_language = parent->m_language;
  Create(parent, IDD_INF_MGR_DRV, TRUE, (LPARAM)target);
}

void RunInfMgrDrvDlg(CWindow* parent, CMountedImage* image) {
  new CInfMgrDrvDlg(parent, image ? image->GetWindowsVersion() : 0, image);
}

bool CInfMgrDrvDlg::AnyPageBusy() const {
  return (m_netPage && m_netPage->m_busy) || (m_displayPage && m_displayPage->m_busy);
}

LRESULT CInfMgrDrvDlg::OnInitDialog() {
  if (m_image) m_image->LoadHives(1);
  HWND tabs = GetDlgItem(m_hWnd, IDC_STORE_TABS);
  HIMAGELIST images = ImageList_Create(24, 24, ILC_COLOR32 | ILC_MASK, 2, 0);
  if (images) {
    const int icons[2] = {kIconTabNetwork, kIconTabDisplay};
    AppendDriverIcons(images, GetUiModule(), icons, 2, 24);
    SendMessageW(tabs, TCM_SETIMAGELIST, 0, (LPARAM)images);
  }
  uint32_t target = (uint32_t)m_param;
  if (target == 0) m_param = target = kDefaultTarget;
  HWND combo = GetDlgItem(m_hWnd, IDC_STORE_TARGET);
  for (const auto& t : kTargets) {
    int at = (int)SendMessageW(combo, CB_ADDSTRING, 0, (LPARAM)t.text);
    SendMessageW(combo, CB_SETITEMDATA, at, t.version);
    if (t.version == target) SendMessageW(combo, CB_SETCURSEL, at, 0);
  }
  m_tooltip = CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, TOOLTIPS_CLASSW, nullptr,
                              TTS_ALWAYSTIP | WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, m_hWnd, nullptr, m_hInstance, nullptr);
  if (m_tooltip) {
    SendMessageW(m_tooltip, TTM_SETDELAYTIME, TTDT_INITIAL, 0);
    SendMessageW(m_tooltip, TTM_SETMAXTIPWIDTH, 0, 400);
    wchar_t text[200];
    LoadUiString(GetUiModule(), IDS_STORE_TARGET_TIP, m_language, text, 200);
    TOOLINFOW tool = {};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = combo;
    tool.uId = (UINT_PTR)combo;
    tool.lpszText = text;
    SendMessageW(m_tooltip, TTM_ADDTOOLW, 0, (LPARAM)&tool);
    new CTipControl(combo, this);
  }
  wchar_t text[100];
  LoadUiString(GetUiModule(), IDS_TAB_NETWORK, m_language, text, 100);
  TabInsertItem(tabs, 0, text);
  LoadUiString(GetUiModule(), IDS_TAB_DISPLAY, m_language, text, 100);
  TabInsertItem(tabs, 1, text);
  m_netPage = new CInfNetDrvDlg(this, m_image, target);
  m_displayPage = new CInfDisplayDrvDlg(this, m_image, target);
  ShowWindow(GetDlgItem(m_hWnd, IDD_INF_NET_DRV), SW_SHOW);
  ShowWindow(GetDlgItem(m_hWnd, IDD_INF_DISPLAY_DRV), SW_HIDE);
  return 1;
}

LRESULT CInfMgrDrvDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId == IDC_STORE_TABS && header->code == TCN_SELCHANGE) {
    bool display = SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0) == 1;
    ShowWindow(GetDlgItem(m_hWnd, IDD_INF_NET_DRV), display ? SW_HIDE : SW_SHOW);
    ShowWindow(GetDlgItem(m_hWnd, IDD_INF_DISPLAY_DRV), display ? SW_SHOW : SW_HIDE);
  }
  return 0;
}

LRESULT CInfMgrDrvDlg::OnCommand(WPARAM wParam, LPARAM) {
  const int id = LOWORD(wParam);
  if (id == IDC_STORE_TARGET && HIWORD(wParam) == CBN_SELCHANGE) {
    HWND combo = GetDlgItem(m_hWnd, IDC_STORE_TARGET);
    int sel = (int)SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (sel < 0) return 0;
    uint32_t target = (uint32_t)SendMessageW(combo, CB_GETITEMDATA, sel, 0);
    m_param = target;
    m_displayPage->SetTarget(target);
    m_netPage->SetTarget(target);
    if (m_netPage->m_hWnd) m_netPage->BuildPackageList();
    if (m_displayPage->m_hWnd) m_displayPage->BuildPackageList();
  } else if (id == IDCANCEL && !AnyPageBusy()) {
    for (CInfDrvListDlg* page : {m_netPage, m_displayPage}) {
      if (!page->m_hWnd) continue;
      for (int comboId : {1035, 1036}) {
        HWND combo = GetDlgItem(page->m_hWnd, comboId);
        if (combo && SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0)) {
          SendMessageW(page->m_hWnd, WM_COMMAND, MAKEWPARAM(comboId, CBN_SELCHANGE), (LPARAM)combo);
          SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
          return 0;
        }
      }
    }
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  }
  return 0;
}

LRESULT CInfMgrDrvDlg::OnClose(WPARAM) {
  // The hives go back at the first close request, also one that is refused
  // (nothing on the store side changes them).
  if (m_image) m_image->EndCommand(m_image->UnloadHives());
  if (AnyPageBusy()) return 1;
  SendMessageW(GetDlgItem(m_hWnd, IDD_INF_NET_DRV), WM_CLOSE, 0, 0);
  SendMessageW(GetDlgItem(m_hWnd, IDD_INF_DISPLAY_DRV), WM_CLOSE, 0, 0);
  m_netPage = m_displayPage = nullptr;
  HIMAGELIST images =
      (HIMAGELIST)SendMessageW(GetDlgItem(m_hWnd, IDC_STORE_TABS), TCM_SETIMAGELIST, 0, 0);
  if (images) ImageList_Destroy(images);
  if (m_tooltip) {
    SendMessageW(m_tooltip, TTM_ACTIVATE, FALSE, 0);
    DestroyWindow(m_tooltip);
    m_tooltip = nullptr;
  }
  EndDialog(m_hWnd, 0);
  return 1;
}
