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
  if (!folder[0] || (image && !window->m_image)) return;
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
  const int item = ListAppendItem(list, name, kItemFolder);
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

// The open sequence of the image address bar (or the image-file list).
void OpenFromAddressBar(CFileManagerDlg* window, HWND combo, LPARAM control) {
  if (window->m_writeBackPath) {
    wchar_t chosen[kAddressChars] = L"", address[kAddressChars], image[kAddressChars];
    if (control == -1) {
      HWND edit = reinterpret_cast<HWND>(SendMessageW(combo, CBEM_GETEDITCONTROL, 0, 0));
      GetWindowTextW(edit, chosen, kAddressChars);
    } else {
      const int selected = int(SendMessageW(combo, CB_GETCURSEL, 0, 0));
      if (selected >= 0) GetComboItemPath(combo, selected, chosen, kAddressChars);
    }
    GetWindowTextW(window->Item(IDC_IMAGE_LIST), address, kAddressChars);
    SplitImageAddress(address, image, kAddressChars, nullptr, 0);
    // Only a list opened from code (the start-up, a drop) may bring the
    // write-back file with an image the pane does not show yet.
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
        OpenFromAddressBar(window, combo, lParam);
        return true;
    }
    return false;
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
        DeleteHostSelection(pane);
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
