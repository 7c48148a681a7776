// The tool commands of the main window. Every dialog is modal and runs in
// its constructor (the framework deletes it when its window goes), except
// the viewer, which stays open beside the main window.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>
#include <new>

#include "app/HelpBox.h"
#include "app/NewImage.h"
#include "app/mainwnd/FileManagerDlg.h"
#include "app/mainwnd/FilePanes.h"
#include "app/mainwnd/ToolCommands.h"
#include "app/properties/FilePropertyDlg.h"
#include "app/search/SearchFileDlg.h"
#include "app/viewer/ViewFile.h"
#include "common/PathUtil.h"
#include "common/SavedState.h"
#include "disktools/dialogs/BackupImageDlg.h"
#include "disktools/dialogs/BootMenuDlg.h"
#include "disktools/dialogs/CloneImageDlg.h"
#include "disktools/dialogs/ConvertImageDlg.h"
#include "disktools/dialogs/CreateImageDlg.h"
#include "driverui/ImgMgrDrvDlg.h"
#include "driverui/InfMgrDrvDlg.h"
#include "image/mount/MountedImage.h"
#include "regedit/RegistryDlg.h"
#include "resources/ResourceIds.h"
#include "ui/OwnerMessageBox.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"

namespace {

const wchar_t kUefiItem[] = L"::{UEFI}";
const wchar_t kLastDriveValue[] = L"LastDrive";

HWND FocusedPane(CFileManagerDlg* window) {
  HWND focus = GetFocus();
  return focus == window->Item(IDC_HOST_LIST) || focus == window->Item(IDC_IMAGE_LIST) ? focus
                                                                                       : nullptr;
}

// The first selected item (with `real`, the first that is not empty, ".."
// or "::{UEFI}"), its text in name; -1 when there is none.
int SelectedItem(HWND list, bool real, wchar_t* name, int size) {
  for (int i = -1; (i = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(i), LVNI_SELECTED))) >= 0;) {
    ListGetItemText(list, i, 0, name, size);
    if (!real || (name[0] && lstrcmpW(name, L"..") && lstrcmpW(name, kUefiItem))) return i;
  }
  return -1;
}

// The image of the pane with an image open in it, or null.
CMountedImage* OpenImage(CFileManagerDlg* window) {
  return window->m_image && GetWindowTextLengthW(window->Item(IDC_IMAGE_LIST)) ? window->m_image
                                                                               : nullptr;
}

bool HasWindowsFolder(CMountedImage* image) {
  wchar_t folder[kPathChars];
  return image && image->FindWindowsDirectory(folder, kPathChars) > 0;
}

void Message(CFileManagerDlg* window, const wchar_t* text) {
  OwnerMessageBox(window->m_hWnd, text, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
}

void CreateEmptyImage(CFileManagerDlg* window) {
  wchar_t filter[128] = L"";
  LoadUiString(IDS_CREATE_IMAGE_FILTER, filter, 126);
  for (wchar_t* p = filter; *p; ++p)
    if (*p == L'|') *p = 0;
  CreateImageParams params = {};
  params.filePattern = L"*.img";
  params.filter = filter;
  params.pathCapacity = 360;
  params.sizeMiB = 102400;
  params.maxSizeMiB = 2000000;
  params.driveLetter = LoadLastDrive();
  new (std::nothrow) CCreateImageDlg(window, &params);
  if (!params.imagePath[0]) return;
  // The drive the image goes to, also when its path was typed in full.
  const wchar_t drive[2] = {
      params.imagePath[1] == L':' ? params.imagePath[0] : wchar_t(params.driveLetter), 0};
  SaveLastDrive(drive);
  if (CreateEmptyImageFile(params.imagePath, params.sizeMiB, params.gpt, params.plainData)) return;
  const DWORD error = GetLastError();
  wchar_t format[256] = L"", text[kPathChars + 256];
  LoadUiString(IDS_CREATE_IMAGE_FAILED, format, 256);
  _snwprintf(text, kPathChars + 256, format, unsigned(error), params.imagePath);
  text[kPathChars + 255] = 0;
  Message(window, text);
}

// The path of an item of the pane: inside the volume for the image pane,
// on the host for the host pane; display is the pane's address with it.
void ItemPaths(CFileManagerDlg* window, HWND pane, const wchar_t* name, wchar_t* path,
               wchar_t* display) {
  wchar_t address[kAddressChars];
  GetWindowTextW(pane, address, kAddressChars);
  lstrcpynW(display, address, kAddressChars);
  AppendPathPart(display, kAddressChars, name);
  if (pane == window->Item(IDC_IMAGE_LIST))
    SplitImageAddress(address, nullptr, 0, path, kAddressChars);
  else
    lstrcpynW(path, address, kAddressChars);
  AppendPathPart(path, kAddressChars, name);
}

void ViewSelected(CFileManagerDlg* window) {
  HWND pane = FocusedPane(window);
  wchar_t name[kPathChars], path[kAddressChars], display[kAddressChars];
  if (!pane || SelectedItem(pane, false, name, kPathChars) < 0) return;
  ItemPaths(window, pane, name, path, display);
  const bool image = pane == window->Item(IDC_IMAGE_LIST);
  if (image && !OpenImage(window)) return;
  ViewFile(window, image ? window->m_image : nullptr, path, display);
}

void ShowShellProperties(HWND owner, const wchar_t* path) {
  SHELLEXECUTEINFOW info = {sizeof info};
  info.fMask = SEE_MASK_INVOKEIDLIST | SEE_MASK_FLAG_NO_UI;
  info.hwnd = owner;
  info.lpVerb = L"properties";
  info.lpFile = path;
  info.nShow = SW_SHOW;
  ShellExecuteExW(&info);
}

void ShowProperties(CFileManagerDlg* window) {
  HWND pane = FocusedPane(window);
  wchar_t name[kPathChars], path[kAddressChars], display[kAddressChars];
  if (!pane || SelectedItem(pane, true, name, kPathChars) < 0) return;
  ItemPaths(window, pane, name, path, display);
  if (pane != window->Item(IDC_IMAGE_LIST)) {
    ShowShellProperties(pane, display);
    return;
  }
  if (!OpenImage(window)) return;
  CFilePropertyDlg::Run(window, window->m_image, path);
  RefreshImageAddress(window);
}

void Search(CFileManagerDlg* window) {
  HWND pane = FocusedPane(window);
  if (!pane) pane = window->Item(IDC_HOST_LIST);
  wchar_t folder[kAddressChars];
  GetWindowTextW(pane, folder, kAddressChars);
  const LONG_PTR style = GetWindowLongPtrW(pane, GWL_STYLE);
  SetWindowLongPtrW(pane, GWL_STYLE, style & ~LONG_PTR(LVS_SHOWSELALWAYS));
  CSearchFileDlg::Run(window, OpenImage(window), folder);
  SetWindowLongPtrW(pane, GWL_STYLE, GetWindowLongPtrW(pane, GWL_STYLE) | LVS_SHOWSELALWAYS);
}

// Puts an address into a bar's edit field and posts its selection change.
void GoToAddress(CFileManagerDlg* window, int bar, const wchar_t* address, int image) {
  HWND combo = window->Item(bar);
  COMBOBOXEXITEMW item = {};
  item.mask = CBEIF_IMAGE;
  item.iItem = -1;
  SendMessageW(combo, CBEM_GETITEMW, 0, LPARAM(&item));
  item.mask = CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
  item.pszText = const_cast<wchar_t*>(address);
  if (image >= 0) item.iImage = image;
  item.iSelectedImage = item.iImage;
  SendMessageW(combo, CBEM_SETITEMW, 0, LPARAM(&item));
  PostMessageW(window->m_hWnd, WM_COMMAND, MAKEWPARAM(bar, CBN_SELCHANGE), LPARAM(-1));
}

void GoToSystemFolder(CFileManagerDlg* window, const wchar_t* tail) {
  wchar_t address[kAddressChars], folder[kAddressChars];
  if (FocusedPane(window) == window->Item(IDC_IMAGE_LIST)) {
    wchar_t image[kAddressChars];
    GetWindowTextW(window->Item(IDC_IMAGE_LIST), address, kAddressChars);
    SplitImageAddress(address, image, kAddressChars, nullptr, 0);
    if (!image[0] || !window->m_image || window->m_image->FindWindowsDirectory(folder, 360) <= 0)
      return;
    AppendPathPart(folder, kAddressChars, tail);
    _snwprintf(address, kAddressChars, L"%s%s", image, folder);
    address[kAddressChars - 1] = 0;
    GoToAddress(window, IDC_IMAGE_ADDRESS, address, -1);
    return;
  }
  if (!GetWindowsDirectoryW(folder, kAddressChars)) return;
  AppendPathPart(folder, kAddressChars, tail);
  GoToAddress(window, IDC_HOST_ADDRESS, folder, 1);
}

}  // namespace

wchar_t LoadLastDrive() {
  wchar_t text[8] = L"";
  DWORD size = sizeof text - sizeof(wchar_t), type = 0;
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    if (RegQueryValueExW(key, kLastDriveValue, nullptr, &type, reinterpret_cast<BYTE*>(text),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ)
      text[0] = 0;
    RegCloseKey(key);
  }
  const wchar_t letter = wchar_t(towupper(text[0]));
  return letter >= L'C' && letter <= L'Z' ? letter : L'D';
}

void SaveLastDrive(const wchar_t* text) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(key, kLastDriveValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 DWORD((wcslen(text) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

bool HandleToolCommand(CFileManagerDlg* window, WPARAM wParam, LPARAM) {
  if (HIWORD(wParam) > 1) return false;
  switch (LOWORD(wParam)) {
    case ID_CREATE_IMAGE:
      CreateEmptyImage(window);
      return true;
    case ID_BACKUP:
      new (std::nothrow) CBackupImageDlg(window);
      return true;
    case ID_CLONE:
      new (std::nothrow) CCloneImageDlg(window);
      return true;
    case ID_CONVERT:
      new (std::nothrow) CConvertImageDlg(window);
      return true;
    case ID_VIEW_FILE:
    case ID_VIEW_BUTTON:
      ViewSelected(window);
      return true;
    case ID_PROPERTIES:
      ShowProperties(window);
      return true;
    case ID_SEARCH:
    case ID_SEARCH_BUTTON:
      Search(window);
      return true;
    case ID_GO_SYSTEM32:
      GoToSystemFolder(window, L"System32");
      return true;
    case ID_GO_DRIVERS:
      GoToSystemFolder(window, L"System32\\Drivers");
      return true;
    case ID_REGISTRY:
    case ID_REGISTRY_BUTTON:
      if (HasWindowsFolder(OpenImage(window))) {
        new (std::nothrow) CRegistryDlg(window, window->m_image);
        RefreshImageAddress(window);
      }
      return true;
    case ID_IMAGE_DRIVERS:
    case ID_IMAGE_DRIVERS_BUTTON:
      if (HasWindowsFolder(OpenImage(window))) {
        new (std::nothrow) CImgMgrDrvDlg(window, window->m_image);
        RefreshImageAddress(window);
      }
      return true;
    case ID_STORE_DRIVERS:
    case ID_STORE_DRIVERS_BUTTON: {
      CMountedImage* image = OpenImage(window);
      new (std::nothrow) CInfMgrDrvDlg(window, image ? image->GetWindowsVersion() : 0, image);
      return true;
    }
    case ID_BOOT_OPTIONS:
      if (OpenImage(window)) {
        new (std::nothrow) CBootMenuDlg(window, window->m_image);
        RefreshImageAddress(window);
      }
      return true;
    case ID_HELP_COMMAND_LINE:
      ShowCommandLineHelp(window->m_language, window);
      return true;
  }
  return false;
}
