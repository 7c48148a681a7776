// The main window's commands that work on files and panes: add, extract,
// copy, paste, rename, delete, select all, new folder, refresh, the view
// modes, the bars, the language, closing the image and the open sequence of
// the image address bar. The tool dialogs are started elsewhere.
#include <windows.h>
#include <commctrl.h>

#include <cwchar>
#include <new>

#include "app/mainwnd/AddressLinks.h"
#include "app/mainwnd/Clipboard.h"
#include "app/mainwnd/FileCommands.h"
#include "app/mainwnd/FileManagerDlg.h"
#include "app/mainwnd/FilePanes.h"
#include "app/mainwnd/FileTypes.h"
#include "app/mainwnd/FileWorkers.h"
#include "app/mainwnd/MainMenus.h"
#include "app/mainwnd/PartitionDlg.h"
#include "common/PathUtil.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/UiLanguage.h"
#include "ui/FileDialogs.h"
#include "ui/UiResources.h"
#include "ui/WindowThread.h"
#include "ui/controls/ListView.h"

namespace {

const wchar_t kUefiItem[] = L"::{UEFI}";

// The focused pane's list, or null.
HWND FocusedPane(CFileManagerDlg* window) {
  HWND focus = GetFocus();
  return focus == window->Item(IDC_HOST_LIST) || focus == window->Item(IDC_IMAGE_LIST) ? focus
                                                                                       : nullptr;
}

bool IsImagePane(CFileManagerDlg* window, HWND list) {
  return list == window->Item(IDC_IMAGE_LIST);
}

// The first selected item that is not empty, ".." or "::{UEFI}"; -1.
int FirstRealSelected(HWND list) {
  for (int i = -1; (i = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(i), LVNI_SELECTED))) >= 0;) {
    wchar_t name[kPathChars];
    ListGetItemText(list, i, 0, name, kPathChars);
    if (name[0] && lstrcmpW(name, L"..") && lstrcmpW(name, kUefiItem)) return i;
  }
  return -1;
}

void StartWorker(CFileManagerDlg* window, DWORD (CFileManagerDlg::*worker)(LPARAM)) {
  if (!window->BeginOperation()) return;
  window->EnablePanes(FALSE);
  HANDLE thread = StartWindowThread(window, worker, 0);
  if (thread) {
    CloseHandle(thread);
    return;
  }
  window->EnablePanes(TRUE);
  window->EndOperation();
}

void NewFolder(CFileManagerDlg* window, HWND list) {
  wchar_t folder[kAddressChars];
  GetWindowTextW(list, folder, kAddressChars);
  const bool image = IsImagePane(window, list);
  if (!folder[0] || (image && (!window->m_image || RefusesImageWrites(window)))) return;
  if (image) SplitImageAddress(folder, nullptr, 0, folder, kAddressChars);
  wchar_t name[kPathChars], format[kPathChars], path[kAddressChars];
  LoadUiString(IDS_NEW_FOLDER_NAME, name, kPathChars);
  LoadUiString(IDS_NEW_FOLDER_NUMBERED, format, kPathChars);
  for (unsigned number = 1;; ++number) {
    lstrcpynW(path, folder, kAddressChars);
    AppendPathPart(path, kAddressChars, name);
    const bool exists = image ? window->m_image->GetPathType(path) != 0 : GetPathKind(path) != 0;
    if (!exists || number > 9999) break;
    _snwprintf(name, kPathChars, format, number);
    name[kPathChars - 1] = 0;
  }
  AddFileListItem(list, name, kItemFolder, 0, nullptr, FILE_ATTRIBUTE_DIRECTORY);
  const int item = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)) - 1;
  ListClearItemSelection(list, -1);
  ListSelectItem(list, item);
  window->m_newFolder = 1;
  SetFocus(list);
  SendMessageW(list, LVM_EDITLABELW, item, 0);
}

void SetViewMode(CFileManagerDlg* window, HWND list, DWORD mode) {
  SetWindowLongPtrW(list, GWL_STYLE,
                    (GetWindowLongPtrW(list, GWL_STYLE) & ~LONG_PTR(LVS_TYPEMASK)) | mode);
  window->ClearStatus();
}

void ToggleBar(CFileManagerDlg* window, int id) {
  HWND bar = window->Item(id);
  const BOOL hide = IsWindowVisible(bar);
  ShowWindow(bar, hide ? SW_HIDE : SW_SHOW);
  if (id == IDC_TOOLBAR) {
    SaveToolbarHidden(hide);
  } else {
    SaveStatusBarHidden(hide);
  }
  RECT client;
  GetClientRect(window->m_hWnd, &client);
  window->OnSize(SIZE_RESTORED, client.right, client.bottom);
}

void SetAddressImage(HWND combo, int image) {
  COMBOBOXEXITEMW item = {};
  item.mask = CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
  item.iItem = -1;
  item.iImage = item.iSelectedImage = image;
  SendMessageW(combo, CBEM_SETITEMW, 0, LPARAM(&item));
}

// Asks for the write-back file of the image the chosen text names: the
// image's name with ".fix" is proposed. True when one was chosen; it then
// replaces the window's write-back file.
bool ChooseWriteBackFile(CFileManagerDlg* window, const wchar_t* chosen) {
  wchar_t image[kAddressChars] = L"", file[kAddressChars] = L"", filter[128] = L"";
  int partition = 0;
  SplitImageAddress(chosen, image, kAddressChars, nullptr, 0);
  ReadImageText(image[0] ? image : chosen, file, kAddressChars, &partition);
  if (lstrlenW(file) + 4 >= kPathChars) return false;
  lstrcatW(file, L".fix");
  LoadUiString(IDS_WRITE_BACK_FILTER, filter, 126);
  for (wchar_t* p = filter; *p; ++p)
    if (*p == L'|') *p = 0;
  if (!ShowOpenFileDialog(
          GetUiModule(), window->m_hWnd, file, kAddressChars, filter, L"fix", 0,
          OFN_READONLY | OFN_HIDEREADONLY | OFN_EXPLORER | OFN_LONGNAMES | OFN_ENABLESIZING) ||
      !file[0])
    return false;
  wchar_t* path = new (std::nothrow) wchar_t[lstrlenW(file) + 1];
  if (!path) return false;
  lstrcpyW(path, file);
  delete[] window->m_writeBackPath;
  window->m_writeBackPath = path;
  return true;
}

// The open sequence of the image address bar, or of the image-file list
// (1156), whose choice goes into the bar's edit field first.
void OpenFromAddressBar(CFileManagerDlg* window, HWND combo, LPARAM control, CComboListBox* links) {
  wchar_t chosen[kAddressChars] = L"";
  if (control == -1) {
    HWND edit = reinterpret_cast<HWND>(SendMessageW(combo, CBEM_GETEDITCONTROL, 0, 0));
    GetWindowTextW(edit, chosen, kAddressChars);
  } else {
    const int selected = int(SendMessageW(combo, CB_GETCURSEL, 0, 0));
    if (selected >= 0) GetComboItemPath(combo, selected, chosen, kAddressChars);
  }
  bool chosenNow = false;
  if (control != -1 && links && links->m_writeBackLink) {
    links->m_writeBackLink = 0;
    chosenNow = ChooseWriteBackFile(window, chosen);
    if (chosenNow) SetAddressImage(window->Item(IDC_IMAGE_ADDRESS), 1);
  }
  if (window->m_writeBackPath && !chosenNow) {
    wchar_t address[kAddressChars], image[kAddressChars];
    GetWindowTextW(window->Item(IDC_IMAGE_LIST), address, kAddressChars);
    SplitImageAddress(address, image, kAddressChars, nullptr, 0);
    // Only a list opened from code (the start-up, a drop) may bring the
    // write-back file with an image the pane does not show yet; any other
    // image, typed or chosen, never gets another image's write-back file.
    if (address[0] && !IsSameImageOrInside(chosen, image)) {
      delete[] window->m_writeBackPath;
      window->m_writeBackPath = nullptr;
      SetAddressImage(window->Item(IDC_IMAGE_ADDRESS), 0);
    }
  }
  if (window->m_writeBackPath) {
    window->ShowWriteBackTip(window->m_writeBackTip, window->Item(IDC_IMAGE_ADDRESS),
                             window->m_writeBackPath);
  } else {
    CFileManagerDlg::HideTip(window->m_writeBackTip);
  }
  HWND bar = window->Item(IDC_IMAGE_ADDRESS);
  if (combo != bar) {
    // The image-file list opens through the bar, as an address typed there.
    HWND edit = reinterpret_cast<HWND>(SendMessageW(bar, CBEM_GETEDITCONTROL, 0, 0));
    SetWindowTextW(edit, chosen);
    control = -1;
  }
  NavigateImageAddress(window, reinterpret_cast<HWND>(control));
  // The size in status part 2 can be changed only without a write-back file.
  HWND status = window->Item(IDC_STATUS_BAR);
  if (GetWindowTextLengthW(window->Item(IDC_IMAGE_LIST)) && !window->m_writeBackPath) {
    wchar_t tip[256];
    LoadUiString(IDS_CHANGE_PARTITION_SIZE, tip, 256);
    window->AddStatusTool(status, tip);
  } else {
    window->RemoveStatusTool(status);
  }
  UpdateToolbarState(window, window->Item(IDC_IMAGE_LIST));
}

// The open-image button: the image-file list dropped under the button.
void DropImageFileList(CFileManagerDlg* window) {
  HWND files = window->Item(IDC_IMAGE_FILES), toolbar = window->Item(IDC_TOOLBAR);
  const int selected = FillImageAddressList(window, files);
  COMBOBOXINFO info = {sizeof info};
  HWND inner = reinterpret_cast<HWND>(SendMessageW(files, CBEM_GETCOMBOCONTROL, 0, 0));
  if (SendMessageW(files, CB_GETCOUNT, 0, 0) < 1 || !inner ||
      !SendMessageW(inner, CB_GETCOMBOBOXINFO, 0, LPARAM(&info)) || !info.hwndList)
    return;
  SendMessageW(files, CB_SETCURSEL, WPARAM(selected), 0);
  RECT bar;
  GetWindowRect(toolbar, &bar);
  MapWindowPoints(nullptr, window->m_hWnd, reinterpret_cast<POINT*>(&bar), 2);
  SetWindowPos(files, nullptr, bar.left, bar.bottom - GetSystemMetrics(SM_CYMENU), 0, 0,
               SWP_NOSIZE | SWP_NOZORDER);
  SendMessageW(toolbar, TB_SETSTATE, ID_OPEN_IMAGE_BUTTON, TBSTATE_ENABLED | TBSTATE_CHECKED);
  SendMessageW(files, CB_SHOWDROPDOWN, TRUE, 0);
}

}  // namespace

bool HandleFileCommand(CFileManagerDlg* window, WPARAM wParam, LPARAM lParam) {
  const UINT id = LOWORD(wParam), code = HIWORD(wParam);
  HWND combo = window->Item(IDC_IMAGE_ADDRESS);
  if (id == IDC_IMAGE_ADDRESS) {
    switch (code) {
      case CBN_DROPDOWN: {
        GetWindowTextW(combo, window->m_savedAddress, kAddressChars);
        const int selected = FillImageAddressList(window, combo);
        SendMessageW(combo, CB_SETCURSEL, WPARAM(selected), 0);
        return true;
      }
      case CBN_SELENDOK:
        window->m_savedAddress[0] = 0;
        return true;
      case CBN_CLOSEUP:
        if (window->m_savedAddress[0]) {
          SetWindowTextW(combo, window->m_savedAddress);
          window->m_savedAddress[0] = 0;
        }
        return true;
      case CBN_SELCHANGE:
        OpenFromAddressBar(window, combo, lParam, window->m_addressList);
        return true;
    }
    return false;
  }
  if (id == IDC_IMAGE_FILES) {
    HWND files = window->Item(IDC_IMAGE_FILES);
    if (code == CBN_CLOSEUP) {
      SendMessageW(window->Item(IDC_TOOLBAR), TB_SETSTATE, ID_OPEN_IMAGE_BUTTON, TBSTATE_ENABLED);
      return true;
    }
    if (code == CBN_SELCHANGE) {
      OpenFromAddressBar(window, files, LPARAM(files), window->m_imageFilesList);
      return true;
    }
    return false;
  }
  if (id == ID_OPEN_IMAGE_BUTTON && code <= 1) {
    DropImageFileList(window);
    return true;
  }
  if (code != 0 && code != 1) return false;
  HWND pane = FocusedPane(window);
  switch (id) {
    case ID_ADD_FILES:
    case ID_ADD_BUTTON:
      StartWorker(window, &CFileManagerDlg::AddFilesThread);
      return true;
    case ID_EXTRACT_FILES:
    case ID_EXTRACT_BUTTON:
      StartWorker(window, &CFileManagerDlg::ExtractThread);
      return true;
    case ID_COPY:
      if (!pane) return true;
      if (IsImagePane(window, pane)) {
        if (window->BeginOperation()) {
          CopyImageSelectionToClipboard(pane, window);
          window->EndOperation();
        }
      } else {
        CopyHostSelectionToClipboard(pane);
      }
      return true;
    case ID_PASTE:
      if (pane) {
        if (IsImagePane(window, pane)) {
          PasteIntoImagePane(window, pane);
        } else {
          PasteIntoHostPane(window, pane);
        }
      }
      return true;
    case ID_RENAME: {
      const int item = pane ? FirstRealSelected(pane) : -1;
      if (item < 0) return true;
      window->m_newFolder = 0;
      SendMessageW(pane, LVM_EDITLABELW, item, 0);
      return true;
    }
    case ID_DELETE: {
      if (!pane || !SendMessageW(pane, LVM_GETSELECTEDCOUNT, 0, 0)) return true;
      // Nothing is asked about what would not be deleted.
      if (IsImagePane(window, pane) && RefusesImageWrites(window)) return true;
      wchar_t text[256], caption[128];
      LoadUiString(IDS_DELETE_SELECTED, text, 256);
      LoadUiString(IDS_PROMPT, caption, 128);
      if (MessageBoxW(window->m_hWnd, text, caption,
                      MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) != IDYES ||
          !window->BeginOperation()) {
        return true;
      }
      if (IsImagePane(window, pane)) {
        DeleteImageSelection(pane, window);
      } else {
        DeleteHostSelection(pane, window);
      }
      window->EndOperation();
      UpdateToolbarState(window, pane);
      return true;
    }
    case ID_SELECT_ALL:
      if (pane) ListSelectItem(pane, -1);
      return true;
    case ID_NEW_FOLDER:
      if (pane) NewFolder(window, pane);
      return true;
    case ID_REFRESH: {
      if (!pane) return true;
      wchar_t address[kPathChars];
      GetWindowTextW(pane, address, kPathChars);
      if (!address[0]) return true;
      const int bar = IsImagePane(window, pane) ? IDC_IMAGE_ADDRESS : IDC_HOST_ADDRESS;
      HWND edit =
          reinterpret_cast<HWND>(SendMessageW(window->Item(bar), CBEM_GETEDITCONTROL, 0, 0));
      SendMessageW(edit, WM_SETTEXT, 0, LPARAM(address));
      PostMessageW(window->m_hWnd, WM_COMMAND, MAKEWPARAM(bar, CBN_SELCHANGE), LPARAM(-1));
      return true;
    }
    case ID_VIEW_ICONS:
    case ID_VIEW_LIST:
    case ID_VIEW_DETAILS:
      if (pane) {
        SetViewMode(window, pane,
                    id == ID_VIEW_ICONS  ? LVS_ICON
                    : id == ID_VIEW_LIST ? LVS_LIST
                                         : LVS_REPORT);
      }
      return true;
    case ID_TOOLBAR:
      ToggleBar(window, IDC_TOOLBAR);
      return true;
    case ID_STATUS_BAR:
      ToggleBar(window, IDC_STATUS_BAR);
      return true;
    case ID_LANGUAGE_CHINESE:
    case ID_LANGUAGE_JAPANESE:
    case ID_LANGUAGE_KOREAN: {
      const LANGID language = id == ID_LANGUAGE_JAPANESE ? 1041
                              : id == ID_LANGUAGE_KOREAN ? 1042
                                                         : 2052;
      SetWindowLanguage(language, window);
      window->SwitchLanguage(language);
      return true;
    }
    case ID_CLOSE_IMAGE: {
      delete[] window->m_writeBackPath;
      window->m_writeBackPath = nullptr;
      COMBOBOXEXITEMW item = {};
      item.mask = CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
      item.iItem = -1;
      item.pszText = const_cast<wchar_t*>(L"");
      SendMessageW(combo, CBEM_SETITEMW, 0, LPARAM(&item));
      SendMessageW(window->m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_IMAGE_ADDRESS, CBN_SELCHANGE),
                   LPARAM(-1));
      return true;
    }
    case ID_EXIT:
      PostMessageW(window->m_hWnd, WM_CLOSE, 0, 0);
      return true;
    case ID_PARTITION_INFO:
      if (window->m_image && GetWindowTextLengthW(window->Item(IDC_IMAGE_LIST)))
        new (std::nothrow) CPartitionDlg(window, window->m_image);
      return true;
    case IDOK:
      if (pane) window->MapListKeys(pane, VK_RETURN);
      return true;
    case IDCANCEL:
      // Escape does not end the main window.
      return true;
  }
  return false;
}
