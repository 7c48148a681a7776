#include "app/mainwnd/MainMenus.h"

#include "app/mainwnd/Clipboard.h"
#include "app/mainwnd/FileManagerDlg.h"
#include "app/mainwnd/FilePanes.h"
#include "app/mainwnd/FileTypes.h"
#include "common/SavedState.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"

namespace {

struct DefaultButton {
  int bitmap, command;
  BYTE state, style;
};
const BYTE kOff = TBSTATE_INDETERMINATE;
const DefaultButton kDefaults[kDefaultToolbarButtons] = {
    {0, ID_OPEN_IMAGE_BUTTON, TBSTATE_ENABLED, BTNS_WHOLEDROPDOWN | BTNS_SHOWTEXT | BTNS_CHECK},
    {0, 0, TBSTATE_ENABLED, BTNS_SEP},
    {1, ID_ADD_BUTTON, kOff, BTNS_SHOWTEXT},
    {2, ID_EXTRACT_BUTTON, kOff, BTNS_SHOWTEXT},
    {0, 0, 0, BTNS_SEP},
    {3, ID_VIEW_BUTTON, kOff, BTNS_SHOWTEXT},
    {4, ID_SEARCH_BUTTON, kOff, BTNS_SHOWTEXT},
    {0, 0, 0, BTNS_SEP},
    {5, ID_REGISTRY_BUTTON, kOff, BTNS_SHOWTEXT},
    {6, ID_IMAGE_DRIVERS_BUTTON, kOff, BTNS_SHOWTEXT},
    {0, 0, 0, BTNS_SEP},
    {7, ID_STORE_DRIVERS_BUTTON, TBSTATE_ENABLED, BTNS_SHOWTEXT},
};

const wchar_t kToolbarSubkey[] = L"Toolsbar";
const wchar_t kToolbarLayoutValue[] = L"ITBarLayout";
const wchar_t kUefiItem[] = L"::{UEFI}";

void SaveFlag(const wchar_t* name, BOOL on) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  const DWORD value = on ? 1 : 0;
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
}

BOOL LoadFlag(const wchar_t* name) {
  DWORD value = 0, size = sizeof value, type = 0;
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return FALSE;
  const LONG result =
      RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS && type == REG_DWORD && value == 1;
}

bool IsPseudoName(const wchar_t* name, bool imagePane) {
  return !lstrcmpW(name, L"..") || (imagePane && !lstrcmpW(name, kUefiItem));
}

// What the menus and the toolbar read from one pane.
struct PaneState {
  HWND list = nullptr;
  bool image = false;
  bool showsFolder = false;
  int count = 0, selected = 0;
  bool nothingReal = true;  // no selection, or one selected ".." / "::{UEFI}"
  bool oneFile = false;     // exactly one selected item, a file
};

PaneState ReadPane(CFileManagerDlg* window, HWND list) {
  PaneState pane;
  if (list != window->Item(IDC_HOST_LIST) && list != window->Item(IDC_IMAGE_LIST)) return pane;
  pane.list = list;
  pane.image = list == window->Item(IDC_IMAGE_LIST);
  pane.showsFolder = GetWindowTextLengthW(list) > 0;
  pane.count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  pane.selected = int(SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0));
  const int first = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  if (pane.selected == 1 && first >= 0) {
    wchar_t name[kPathChars];
    const int image = ListGetItemText(list, first, 0, name, kPathChars);
    pane.nothingReal = IsPseudoName(name, pane.image);
    pane.oneFile = image > kItemFolder;
  } else {
    pane.nothingReal = pane.selected == 0;
  }
  return pane;
}

bool ImageHasWindows(CFileManagerDlg* window) {
  wchar_t folder[kPathChars];
  return GetWindowTextLengthW(window->Item(IDC_IMAGE_LIST)) > 0 && window->m_image &&
         window->m_image->FindWindowsDirectory(folder, kPathChars) > 0;
}

// Whether the host folder lies on the drive of the host's Windows folder.
bool OnWindowsDrive(HWND hostList) {
  wchar_t folder[kAddressChars], windows[kPathChars];
  GetWindowTextW(hostList, folder, kAddressChars);
  GetWindowsDirectoryW(windows, kPathChars);
  return folder[0] && !_wcsnicmp(folder, windows, 2);
}

void Grey(HMENU menu, UINT command, bool grey) {
  EnableMenuItem(menu, command, MF_BYCOMMAND | (grey ? MF_GRAYED : MF_ENABLED));
}

UINT ViewCommand(HWND list) {
  switch (GetWindowLongPtrW(list, GWL_STYLE) & LVS_TYPEMASK) {
    case LVS_ICON:
      return ID_VIEW_ICONS;
    case LVS_LIST:
      return ID_VIEW_LIST;
    default:
      return ID_VIEW_DETAILS;
  }
}

// The jump items and the separator before them.
void RemoveJumpItems(HMENU menu) {
  for (int i = GetMenuItemCount(menu) - 1; i > 0; --i) {
    if (GetMenuItemID(menu, i) == ID_GO_SYSTEM32) {
      DeleteMenu(menu, i - 1, MF_BYPOSITION);
      break;
    }
  }
  DeleteMenu(menu, ID_GO_SYSTEM32, MF_BYCOMMAND);
  DeleteMenu(menu, ID_GO_DRIVERS, MF_BYCOMMAND);
}

void ShowPaneMenu(CFileManagerDlg* window, HWND list, int x, int y) {
  const PaneState pane = ReadPane(window, list);
  if (!pane.showsFolder) return;
  HMENU bar = LoadUiMenu(GetUiModule(), IDM_PANE, window->m_language);
  if (!bar) return;
  HMENU menu = GetSubMenu(bar, 0);
  const UINT transfer = pane.image ? ID_EXTRACT_FILES : ID_ADD_FILES;
  DeleteMenu(menu, pane.image ? ID_ADD_FILES : ID_EXTRACT_FILES, MF_BYCOMMAND);
  if (pane.image ? !ImageHasWindows(window) : !OnWindowsDrive(list)) RemoveJumpItems(menu);
  Grey(menu, ID_SELECT_ALL, pane.selected == pane.count);
  for (UINT command :
       {transfer, UINT(ID_RENAME), UINT(ID_DELETE), UINT(ID_COPY), UINT(ID_PROPERTIES)}) {
    if (pane.nothingReal) Grey(menu, command, true);
  }
  if (pane.image && !GetWindowTextLengthW(window->Item(IDC_HOST_LIST)))
    Grey(menu, ID_EXTRACT_FILES, true);
  if (!pane.image && !GetWindowTextLengthW(window->Item(IDC_IMAGE_LIST)))
    Grey(menu, ID_ADD_FILES, true);
  if (!pane.oneFile) {
    DeleteMenu(menu, ID_VIEW_FILE, MF_BYCOMMAND);
    // The separator that stood under it does not open the menu.
    if (GetMenuItemID(menu, 0) == 0) DeleteMenu(menu, 0, MF_BYPOSITION);
  }
  Grey(menu, ID_PASTE, GetClipboardDropEffect(list) == 0);
  CheckMenuRadioItem(menu, ID_VIEW_ICONS, ID_VIEW_DETAILS, ViewCommand(list), MF_BYCOMMAND);
  SetForegroundWindow(window->m_hWnd);
  TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, x, y, 0, window->m_hWnd,
                 nullptr);
  DestroyMenu(bar);
}

void SetButtonEnabled(HWND toolbar, int command, bool enabled) {
  SendMessageW(toolbar, TB_SETSTATE, command,
               MAKELPARAM(enabled ? TBSTATE_ENABLED : TBSTATE_INDETERMINATE, 0));
}

}  // namespace

TBBUTTON DefaultToolbarButton(int index) {
  TBBUTTON button = {};
  if (index < 0 || index >= kDefaultToolbarButtons) return button;
  const DefaultButton& d = kDefaults[index];
  button.iBitmap = d.bitmap;
  button.idCommand = d.command;
  button.fsState = d.state;
  button.fsStyle = d.style;
  button.iString = d.style == BTNS_SEP ? 0 : d.bitmap;
  return button;
}

void ResetToolbarButtons(HWND toolbar) {
  for (int i = int(SendMessageW(toolbar, TB_BUTTONCOUNT, 0, 0)) - 1; i >= 0; --i)
    SendMessageW(toolbar, TB_DELETEBUTTON, i, 0);
  TBBUTTON buttons[kDefaultToolbarButtons];
  for (int i = 0; i < kDefaultToolbarButtons; ++i) buttons[i] = DefaultToolbarButton(i);
  SendMessageW(toolbar, TB_ADDBUTTONSW, kDefaultToolbarButtons, LPARAM(buttons));
}

void SaveToolbarLayout(HWND toolbar) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  TBSAVEPARAMSW params = {key, kToolbarSubkey, kToolbarLayoutValue};
  SendMessageW(toolbar, TB_SAVERESTOREW, TRUE, LPARAM(&params));
  RegCloseKey(key);
}

int RestoreToolbarLayout(HWND toolbar) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  TBSAVEPARAMSW params = {key, kToolbarSubkey, kToolbarLayoutValue};
  SendMessageW(toolbar, TB_SAVERESTOREW, FALSE, LPARAM(&params));
  RegCloseKey(key);
  return 1;
}

void SaveToolbarHidden(BOOL hidden) {
  SaveFlag(L"Toolbar_Hide", hidden);
}
BOOL LoadToolbarHidden() {
  return LoadFlag(L"Toolbar_Hide");
}
void SaveStatusBarHidden(BOOL hidden) {
  SaveFlag(L"Statusbar_Hide", hidden);
}
BOOL LoadStatusBarHidden() {
  return LoadFlag(L"Statusbar_Hide");
}

void ShowImageListMenu(CFileManagerDlg* window, int x, int y) {
  ShowPaneMenu(window, window->Item(IDC_IMAGE_LIST), x, y);
}

void ShowHostListMenu(CFileManagerDlg* window, int x, int y) {
  ShowPaneMenu(window, window->Item(IDC_HOST_LIST), x, y);
}

void UpdateToolbarState(CFileManagerDlg* window, HWND focus) {
  HWND toolbar = window->Item(IDC_TOOLBAR);
  if (!focus) focus = GetFocus();
  const PaneState pane = ReadPane(window, focus);
  const PaneState host = ReadPane(window, window->Item(IDC_HOST_LIST));
  const PaneState image = ReadPane(window, window->Item(IDC_IMAGE_LIST));
  SetButtonEnabled(toolbar, ID_VIEW_BUTTON, pane.list && pane.oneFile);
  SetButtonEnabled(toolbar, ID_SEARCH_BUTTON, pane.list && pane.showsFolder);
  SetButtonEnabled(toolbar, ID_ADD_BUTTON,
                   image.showsFolder && !(host.selected == 1 && host.nothingReal));
  SetButtonEnabled(toolbar, ID_EXTRACT_BUTTON,
                   host.showsFolder && !(image.selected == 1 && image.nothingReal));
  const bool windows = ImageHasWindows(window);
  SetButtonEnabled(toolbar, ID_REGISTRY_BUTTON, windows);
  SetButtonEnabled(toolbar, ID_IMAGE_DRIVERS_BUTTON, windows);
}

void CFileManagerDlg::OnInitMenuPopup(HMENU menu, UINT position, BOOL systemMenu) {
  if (systemMenu || GetSubMenu(GetMenu(m_hWnd), int(position)) != menu) return;
  const PaneState pane = ReadPane(this, GetFocus());
  const bool imageOpen = GetWindowTextLengthW(Item(IDC_IMAGE_LIST)) > 0;
  switch (position) {
    case 0:
      Grey(menu, ID_CLOSE_IMAGE, !imageOpen);
      break;
    case 1: {
      const UINT items[] = {ID_ADD_FILES, ID_EXTRACT_FILES, ID_COPY,      ID_PASTE,
                            ID_RENAME,    ID_DELETE,        ID_SELECT_ALL};
      for (UINT command : items) Grey(menu, command, !pane.list);
      if (!pane.list) break;
      Grey(menu, ID_SELECT_ALL, pane.count == 0 || pane.selected == pane.count);
      for (UINT command : {UINT(ID_ADD_FILES), UINT(ID_EXTRACT_FILES), UINT(ID_RENAME),
                           UINT(ID_DELETE), UINT(ID_COPY)}) {
        if (pane.nothingReal) Grey(menu, command, true);
      }
      // Add belongs to the host pane and extract to the image pane.
      Grey(menu, pane.image ? ID_ADD_FILES : ID_EXTRACT_FILES, true);
      if (pane.image && !GetWindowTextLengthW(Item(IDC_HOST_LIST)))
        Grey(menu, ID_EXTRACT_FILES, true);
      if (!pane.image && !imageOpen) Grey(menu, ID_ADD_FILES, true);
      Grey(menu, ID_PASTE,
           !(GetClipboardDropEffect(pane.list) & (DROPEFFECT_COPY | DROPEFFECT_MOVE)));
      break;
    }
    case 2: {
      const bool windows = ImageHasWindows(this);
      Grey(menu, ID_REGISTRY, !windows);
      Grey(menu, ID_IMAGE_DRIVERS, !windows);
      Grey(menu, ID_PARTITION_INFO, !imageOpen);
      Grey(menu, ID_BOOT_OPTIONS,
           !windows || HIBYTE(LOWORD(m_image->GetWindowsVersion() & 0xFFFF)) < 6);
      const bool jumps = pane.list && (pane.image ? windows : OnWindowsDrive(pane.list));
      Grey(menu, ID_GO_SYSTEM32, !jumps);
      Grey(menu, ID_GO_DRIVERS, !jumps);
      Grey(menu, ID_PROPERTIES, !pane.list || pane.nothingReal);
      Grey(menu, ID_VIEW_FILE, !pane.list || !pane.oneFile);
      Grey(menu, ID_SEARCH, !pane.list || !pane.showsFolder);
      Grey(menu, ID_NEW_FOLDER, !pane.list || !pane.showsFolder);
      break;
    }
    case 3: {
      const bool view = pane.list && pane.showsFolder;
      for (UINT command :
           {UINT(ID_REFRESH), UINT(ID_VIEW_ICONS), UINT(ID_VIEW_LIST), UINT(ID_VIEW_DETAILS)}) {
        Grey(menu, command, !view);
      }
      if (view)
        CheckMenuRadioItem(menu, ID_VIEW_ICONS, ID_VIEW_DETAILS, ViewCommand(pane.list),
                           MF_BYCOMMAND);
      CheckMenuItem(menu, ID_TOOLBAR,
                    MF_BYCOMMAND | (IsWindowVisible(Item(IDC_TOOLBAR)) ? MF_CHECKED : 0));
      CheckMenuItem(menu, ID_STATUS_BAR,
                    MF_BYCOMMAND | (IsWindowVisible(Item(IDC_STATUS_BAR)) ? MF_CHECKED : 0));
      const UINT language = m_language == 1041   ? ID_LANGUAGE_JAPANESE
                            : m_language == 1042 ? ID_LANGUAGE_KOREAN
                                                 : ID_LANGUAGE_CHINESE;
      CheckMenuRadioItem(menu, ID_LANGUAGE_CHINESE, ID_LANGUAGE_KOREAN, language, MF_BYCOMMAND);
      break;
    }
  }
}
