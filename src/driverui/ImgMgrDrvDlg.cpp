#include "driverui/ImgMgrDrvDlg.h"

#include <commctrl.h>

#include <string>

#include "common/PathUtil.h"
#include "driverstore/DriverStore.h"
#include "driverui/DriverIcons.h"
#include "driverui/DriverListDraw.h"
#include "driverui/ImgDisplayDrvDlg.h"
#include "driverui/ImgNetDrvDlg.h"
#include "driverui/ImgStoreEntries.h"
#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "ui/UiResources.h"
#include "ui/VersionInfo.h"
#include "ui/controls/ControlWrappers.h"

namespace {

constexpr int kTabs = 1018;
constexpr int kPages[3] = {138, 156, 163};

}  // namespace

CImgMgrDrvDlg::CImgMgrDrvDlg(CWindow* owner, CMountedImage* image) : m_image(image) {
  Create(owner, 154, TRUE, 0);
}

LRESULT CImgMgrDrvDlg::OnInitDialog() {
  if (!m_image || !m_image->LoadHives(0x3F)) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    return 1;
  }
  HWND tabs = GetDlgItem(m_hWnd, kTabs);
  HIMAGELIST images = ImageList_Create(24, 24, ILC_COLOR32 | ILC_MASK, 1, 0);
  if (images) {
    const int icons[3] = {kIconTabNetwork, kIconTabDisplay, kIconTabOwnPrograms};
    AppendDriverIcons(images, GetUiModule(), icons, 3, 24);
    SendMessageW(tabs, TCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(images));
  }
  wchar_t text[100];
  LoadUiString(GetUiModule(), 228, m_language, text, 100);
  TabInsertItem(tabs, 0, text);
  LoadUiString(GetUiModule(), 229, m_language, text, 100);
  TabInsertItem(tabs, 1, text);
  new CImgNetDrvDlg(this, m_image);
  new CImgDisplayDrvDlg(this, m_image);
  if (FindSetupPackage()) {
    LoadUiString(GetUiModule(), 315, m_language, text, 100);
    TabInsertItem(tabs, 2, text);
    CreateOwnProgramsPage(this, m_param, m_image);
  }
  return 1;
}

bool CImgMgrDrvDlg::FindSetupPackage() {
  uint32_t version = m_image->GetWindowsVersion();
  wchar_t root[kPathChars];
  GetDriverStoreRoot(root);
  wchar_t pattern[kPathChars];
  wcscpy(pattern, root);
  AppendPathPart(pattern, kPathChars, L"*.exe");
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool match = false;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    wchar_t path[kPathChars];
    wcscpy(path, root);
    AppendPathPart(path, kPathChars, found.cFileName);
    int machine = GetPeMachineClass(path);
    bool qualifies = machine == 0 ? (version >> 16) == 86 : (version >> 16) == 64;
    if (!qualifies) continue;
    wchar_t original[kPathChars] = L"";
    if (GetFileOriginalName(path, original, kPathChars) && SameTextAZ(original, L"VroSetup.exe"))
      match = true;
  } while (!match && FindNextFileW(find, &found));
  FindClose(find);
  return match;
}

LRESULT CImgMgrDrvDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  return PostCloseOnCancel(wParam);
}

LRESULT CImgMgrDrvDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId != kTabs || header->code != TCN_SELCHANGE) return 0;
  int current = static_cast<int>(SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0));
  if (current < 0 || current > 2) return 0;
  for (int i = 0; i < 3; ++i) {
    HWND page = GetDlgItem(m_hWnd, kPages[i]);
    if (page) ShowWindow(page, i == current ? SW_SHOW : SW_HIDE);
  }
  return 0;
}

LRESULT CImgMgrDrvDlg::OnClose(WPARAM wParam) {
  for (int id : kPages) {
    HWND page = GetDlgItem(m_hWnd, id);
    if (page) SendMessageW(page, WM_CLOSE, 0, 0);
  }
  HIMAGELIST images =
      reinterpret_cast<HIMAGELIST>(SendMessageW(GetDlgItem(m_hWnd, kTabs), TCM_SETIMAGELIST, 0, 0));
  if (images) ImageList_Destroy(images);
  // The installations and removals of this window are one command on the
  // image: files and registry kept together, or taken back together.
  if (m_image) m_image->EndCommand(m_image->UnloadHives());
  return EndDialogOnClose(wParam);
}
