// The input side of the main window: notifications of the toolbar, the
// status bar, the lists and the address bars; the key maps (there is no
// accelerator table); files dropped on the window; dragging image items out.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <cwchar>
#include <string>

#include "app/mainwnd/FileListRows.h"
#include "app/mainwnd/FileManagerDlg.h"
#include "app/mainwnd/FilePanes.h"
#include "app/mainwnd/FileTypes.h"
#include "app/mainwnd/FileWorkers.h"
#include "app/mainwnd/MainMenus.h"
#include "app/mainwnd/OperationFailures.h"
#include "common/FileTree.h"
#include "common/PathUtil.h"
#include "common/TempFiles.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"
#include "ui/dragdrop/OleDrag.h"

namespace {

const wchar_t kUefiItem[] = L"::{UEFI}";

bool IsDescendantWindow(HWND window, HWND ancestor) {
  for (; window; window = GetParent(window)) {
    if (window == ancestor) return true;
  }
  return false;
}

void PostCommand(HWND window, UINT command) {
  PostMessageW(window, WM_COMMAND, command, 0);
}

bool KeyDown(int key) {
  return (GetKeyState(key) & 0x8000) != 0;
}

// The image pane's folder joined with a name.
void ImageItemPath(HWND imageList, const wchar_t* name, wchar_t (&path)[kAddressChars]) {
  wchar_t address[kAddressChars];
  GetWindowTextW(imageList, address, kAddressChars);
  SplitImageAddress(address, nullptr, 0, path, kAddressChars);
  if (!path[0]) lstrcpyW(path, L"\\");
  AppendPathPart(path, kAddressChars, name);
}

// An existing target is replaced; every other event goes on.
DWORD CALLBACK DragOutCopyCallback(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, void*) {
  return 1;
}

}  // namespace

// The drag source asks for the files: the dragged image items are extracted
// into a "Mount$" folder and the drop gets their host paths. Returns how many
// were extracted.
int RenderDragOutFiles(CFileManagerDlg* window, STGMEDIUM* medium) {
  if (!medium || medium->tymed != TYMED_HGLOBAL || !medium->hGlobal || !window->m_image) return 0;
  HDROP names = static_cast<HDROP>(medium->hGlobal);
  const UINT count = DragQueryFileW(names, 0xFFFFFFFF, nullptr, 0);
  if (!window->m_dragOutFolder[0]) {
    wchar_t folder[kPathChars];
    if (!CreateTempFileName(folder, L"Mount$")) return 0;
    DeleteFileW(folder);
    if (!CreateDirectoryW(folder, nullptr)) return 0;
    lstrcpyW(window->m_dragOutFolder, folder);
  }
  if (!count) return 0;
  // What the drop got is the last rendering: its failures are the ones told.
  if (window->m_dragOutFailures)
    *window->m_dragOutFailures = OperationFailures(IDS_COPY_OUT_FAILED);
  std::wstring list;
  int extracted = 0;
  for (UINT i = 0; i < count; ++i) {
    wchar_t name[kPathChars];
    if (!DragQueryFileW(names, i, name, kPathChars) || !name[0]) continue;
    wchar_t source[kAddressChars], target[kAddressChars];
    ImageItemPath(window->Item(IDC_IMAGE_LIST), name, source);
    lstrcpynW(target, window->m_dragOutFolder, kAddressChars);
    AppendPathPart(target, kAddressChars, FindFileNamePart(name));
    if (!window->m_image->ExtractToHost(source, target, DragOutCopyCallback, nullptr)) {
      if (window->m_dragOutFailures) window->m_dragOutFailures->Add(source, GetLastError());
      continue;
    }
    list += target;
    list += L'\0';
    ++extracted;
  }
  if (!extracted) return 0;
  list += L'\0';
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_SHARE,
                              sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
  if (!block) return 0;
  DROPFILES* header = static_cast<DROPFILES*>(GlobalLock(block));
  header->pFiles = sizeof(DROPFILES);
  header->fWide = TRUE;
  memcpy(header + 1, list.data(), list.size() * sizeof(wchar_t));
  GlobalUnlock(block);
  DragFinish(names);
  medium->hGlobal = block;
  return extracted;
}

namespace {

void RenderDragOut(LPARAM context, HWND, STGMEDIUM* medium) {
  RenderDragOutFiles(reinterpret_cast<CFileManagerDlg*>(context), medium);
}

// At least one selected item that is neither ".." nor "::{UEFI}".
bool HasRealSelection(HWND list) {
  for (int i = -1; (i = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(i), LVNI_SELECTED))) >= 0;) {
    wchar_t name[kPathChars];
    ListGetItemText(list, i, 0, name, kPathChars);
    if (name[0] && lstrcmpW(name, L"..") && lstrcmpW(name, kUefiItem)) return true;
  }
  return false;
}

// Part 0 of the status bar for the first selected item: its details, or
// free when it has none (unless a worker's text is shown).
void ShowSelectionDetails(CFileManagerDlg* window, HWND list) {
  const int item = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  wchar_t name[kPathChars] = L"", size[64] = L"", time[64] = L"", attributes[16] = L"";
  int image = 0;
  if (item >= 0) {
    image = ListGetItemText(list, item, 0, name, kPathChars);
    ListGetItemText(list, item, 1, size, 64);
    ListGetItemText(list, item, 2, time, 64);
    ListGetItemText(list, item, 3, attributes, 16);
  }
  const bool pseudo = !lstrcmpW(name, L"..") ||
                      (list == window->Item(IDC_IMAGE_LIST) && !lstrcmpW(name, kUefiItem));
  if (item >= 0 && name[0] && !pseudo && time[0] && attributes[0]) {
    if (image > kItemFolder) {
      window->SetStatusString(0, IDS_FILE_DETAILS, time, size, attributes);
    } else {
      window->SetStatusString(0, IDS_FOLDER_DETAILS, time, attributes);
    }
  } else if (window->m_statusColour == 0) {
    window->ClearStatus();
  }
}

// A double-click or Enter on the first selected item of a list.
void OpenListItem(CFileManagerDlg* window, HWND list, int item) {
  if (item < 0) return;
  const bool imagePane = list == window->Item(IDC_IMAGE_LIST);
  wchar_t name[kPathChars];
  const int image = ListGetItemText(list, item, 0, name, kPathChars);
  if (image <= kItemFolder) {
    if (imagePane) {
      OpenImageListItem(window, item);
    } else {
      OpenHostListItem(window, item);
    }
    SortFileList(list, -1);
    FocusFirstRow(list);
    UpdateToolbarState(window, list);
    return;
  }
  if (imagePane) {
    if (GetWindowTextLengthW(window->Item(IDC_HOST_LIST)))
      SendMessageW(window->m_hWnd, WM_COMMAND, ID_VIEW_FILE, 0);
    return;
  }
  const wchar_t* extension = FindExtensionPart(name);
  const bool imageFile =
      extension && (!lstrcmpiW(extension, L"img") || !lstrcmpiW(extension, L"upd") ||
                    !lstrcmpiW(extension, L"vfd"));
  if (GetWindowTextLengthW(window->Item(IDC_IMAGE_LIST)) || !imageFile) {
    SendMessageW(window->m_hWnd, WM_COMMAND, ID_VIEW_FILE, 0);
    return;
  }
  wchar_t path[kAddressChars];
  GetWindowTextW(list, path, kAddressChars);
  AppendPathPart(path, kAddressChars, name);
  HWND edit = reinterpret_cast<HWND>(
      SendMessageW(window->Item(IDC_IMAGE_ADDRESS), CBEM_GETEDITCONTROL, 0, 0));
  SendMessageW(edit, WM_SETTEXT, 0, LPARAM(path));
  PostMessageW(window->m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_IMAGE_ADDRESS, CBN_SELCHANGE),
               LPARAM(-1));
}

LRESULT OnToolbarNotify(CFileManagerDlg* window, NMHDR* header) {
  HWND toolbar = header->hwndFrom;
  switch (header->code) {
    case TBN_HOTITEMCHANGE: {
      NMTBHOTITEM* hot = reinterpret_cast<NMTBHOTITEM*>(header);
      if (!(hot->dwFlags & HICF_MOUSE)) UpdateToolbarState(window, nullptr);
      static const struct {
        int command;
        UINT text;
      } kTips[] = {{ID_OPEN_IMAGE_BUTTON, IDS_TIP_OPEN_IMAGE},
                   {ID_ADD_BUTTON, IDS_TIP_ADD},
                   {ID_EXTRACT_BUTTON, IDS_TIP_EXTRACT},
                   {ID_VIEW_BUTTON, IDS_TIP_VIEW},
                   {ID_SEARCH_BUTTON, IDS_TIP_SEARCH},
                   {ID_REGISTRY_BUTTON, IDS_TIP_REGISTRY},
                   {ID_IMAGE_DRIVERS_BUTTON, IDS_TIP_IMAGE_DRIVERS},
                   {ID_STORE_DRIVERS_BUTTON, IDS_TIP_STORE_DRIVERS}};
      wchar_t text[256] = L"";
      const int index = int(SendMessageW(toolbar, TB_COMMANDTOINDEX, hot->idNew, 0));
      if ((hot->dwFlags & HICF_MOUSE) && !(hot->dwFlags & HICF_LEAVING) &&
          SendMessageW(toolbar, TB_ISBUTTONENABLED, hot->idNew, 0) && index >= 0) {
        for (const auto& tip : kTips) {
          if (tip.command == hot->idNew) LoadUiString(tip.text, text, 256);
        }
      }
      TOOLINFOW info = {};
      info.cbSize = sizeof info;
      info.uFlags = TTF_TRACK | TTF_ABSOLUTE;
      info.hwnd = toolbar;
      info.uId = 0;
      if (text[0] && window->m_toolbarTip) {
        info.lpszText = text;
        SendMessageW(window->m_toolbarTip, TTM_UPDATETIPTEXTW, 0, LPARAM(&info));
        RECT button;
        SendMessageW(toolbar, TB_GETITEMRECT, index, LPARAM(&button));
        POINT corner = {button.left, button.bottom};
        ClientToScreen(toolbar, &corner);
        SendMessageW(window->m_toolbarTip, TTM_TRACKPOSITION, 0, MAKELPARAM(corner.x, corner.y));
        SendMessageW(window->m_toolbarTip, TTM_ACTIVATE, TRUE, 0);
        SendMessageW(window->m_toolbarTip, TTM_TRACKACTIVATE, TRUE, LPARAM(&info));
      } else if (window->m_toolbarTip) {
        SendMessageW(window->m_toolbarTip, TTM_TRACKACTIVATE, FALSE, LPARAM(&info));
      }
      return 0;
    }
    case NM_CLICK:
    case NM_RCLICK: {
      window->CommitSizeEditor();
      const DWORD now = GetTickCount();
      if (reinterpret_cast<NMMOUSE*>(header)->dwItemSpec == DWORD_PTR(-1) &&
          now - window->m_lastToolbarClick <= GetDoubleClickTime() && !window->m_languageSwitched) {
        window->m_lastToolbarClick = 0;
        SendMessageW(toolbar, TB_CUSTOMIZE, 0, 0);
        return 0;
      }
      window->m_lastToolbarClick = now;
      return 0;
    }
    case TBN_DROPDOWN:
      if (reinterpret_cast<NMTOOLBARW*>(header)->iItem == ID_OPEN_IMAGE_BUTTON)
        SendMessageW(window->m_hWnd, WM_COMMAND, ID_OPEN_IMAGE_BUTTON, 0);
      return TBDDRET_DEFAULT;
    case TBN_GETBUTTONINFOW: {
      NMTOOLBARW* info = reinterpret_cast<NMTOOLBARW*>(header);
      if (info->iItem < 0 || info->iItem >= kDefaultToolbarButtons) return 0;
      info->tbButton = DefaultToolbarButton(info->iItem);
      if (info->pszText && info->cchText > 0) {
        info->pszText[0] = 0;
        if (info->tbButton.fsStyle != BTNS_SEP) {
          wchar_t texts[512];
          LoadUiString(IDS_TOOLBAR_TEXTS, texts, 512);
          const wchar_t* text = texts;
          for (int i = 0; i < info->tbButton.iBitmap && text; ++i) {
            text = wcschr(text, L'|');
            if (text) ++text;
          }
          if (text) {
            const wchar_t* end = wcschr(text, L'|');
            const int length = end ? int(end - text) : lstrlenW(text);
            lstrcpynW(info->pszText, text, length + 1 < info->cchText ? length + 1 : info->cchText);
          }
        }
      }
      return 1;
    }
    case TBN_QUERYINSERT:
    case TBN_QUERYDELETE:
      return 1;
    case TBN_INITCUSTOMIZE: {
      // NMTBCUSTOMIZEDLG: the header, then the customisation dialog.
      struct CustomizeNotify {
        NMHDR header;
        HWND dialog;
      };
      HWND dialog = reinterpret_cast<CustomizeNotify*>(header)->dialog;
      HWND available = GetDlgItem(dialog, 203);
      SendMessageW(available, LB_SETCURSEL, 0, 0);
      PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(203, LBN_SELCHANGE), LPARAM(available));
      return TBNRF_HIDEHELP;
    }
    case TBN_RESTORE: {
      // A saved button comes back as its default: picture, state, style and
      // text (the saved layout holds only the order of the commands).
      NMTBRESTORE* restore = reinterpret_cast<NMTBRESTORE*>(header);
      if (restore->iItem < 0) return 0;
      for (int i = 0; i < kDefaultToolbarButtons; ++i) {
        const TBBUTTON button = DefaultToolbarButton(i);
        const bool separator =
            restore->tbButton.idCommand == 0 || restore->tbButton.idCommand == -1;
        if (separator ? button.fsStyle == BTNS_SEP
                      : button.idCommand == restore->tbButton.idCommand) {
          restore->tbButton = button;
          break;
        }
      }
      return 0;
    }
    case TBN_RESET:
      ResetToolbarButtons(toolbar);
      return 0;
    case TBN_TOOLBARCHANGE:
      SaveToolbarLayout(toolbar);
      return 0;
  }
  return 0;
}

LRESULT OnListNotify(CFileManagerDlg* window, int controlId, NMHDR* header) {
  HWND list = header->hwndFrom;
  const bool imagePane = controlId == IDC_IMAGE_LIST;
  switch (header->code) {
    case NM_CUSTOMDRAW: {
      if (GetWindowLongPtrW(list, GWL_STYLE) & LVS_SHOWSELALWAYS) return 0;
      NMLVCUSTOMDRAW* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(header);
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
      if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT &&
          (SendMessageW(list, LVM_GETITEMSTATE, draw->nmcd.dwItemSpec, LVIS_SELECTED) &
           LVIS_SELECTED)) {
        draw->nmcd.uItemState &= ~CDIS_SELECTED;
        draw->clrTextBk = GetSysColor(COLOR_HIGHLIGHT);
        draw->clrText = GetSysColor(COLOR_INACTIVECAPTIONTEXT);
      }
      return CDRF_DODEFAULT;
    }
    case NM_DBLCLK: {
      // The clicked item (Enter names the first selected one).
      int item = reinterpret_cast<NMITEMACTIVATE*>(header)->iItem;
      if (item < 0) item = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
      OpenListItem(window, list, item);
      return 0;
    }
    case LVN_COLUMNCLICK:
      SortFileList(list, reinterpret_cast<NMLISTVIEW*>(header)->iSubItem);
      return 0;
    case LVN_KEYDOWN: {
      const WORD key = reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey;
      if (key == VK_APPS) {
        RECT rc;
        GetWindowRect(list, &rc);
        if (imagePane) {
          ShowImageListMenu(window, rc.left, rc.top);
        } else {
          ShowHostListMenu(window, rc.left, rc.top);
        }
      } else {
        window->MapListKeys(list, key);
      }
      return 0;
    }
    case NM_RCLICK: {
      POINT cursor;
      GetCursorPos(&cursor);
      if (imagePane) {
        ShowImageListMenu(window, cursor.x, cursor.y);
      } else {
        ShowHostListMenu(window, cursor.x, cursor.y);
      }
      return 0;
    }
    case LVN_BEGINDRAG:
      if (imagePane) {
        // Only ".." or "::{UEFI}" selected: there is nothing to drag.
        if (!HasRealSelection(list) || !window->BeginOperation()) return 0;
        window->m_dragHoldsTurn = TRUE;
        OperationFailures failures(IDS_COPY_OUT_FAILED);
        window->m_dragOutFailures = &failures;
        BeginListDrag(list, nullptr, RenderDragOut, LPARAM(window));
        window->m_dragOutFailures = nullptr;
        if (window->m_dragOutFolder[0]) DeleteTree(window->m_dragOutFolder);
        window->m_dragOutFolder[0] = 0;
        TellOperation(window->m_hWnd, failures);
        // A drop into the window's own panes took the turn and gave it back.
        if (window->m_dragHoldsTurn) window->EndOperation();
        window->m_dragHoldsTurn = FALSE;
      } else if (GetWindowTextLengthW(list)) {
        wchar_t folder[kAddressChars];
        GetWindowTextW(list, folder, kAddressChars);
        BeginListDrag(list, folder, nullptr, 0);
      }
      return 0;
    case LVN_ENDLABELEDITW: {
      NMLVDISPINFOW* info = reinterpret_cast<NMLVDISPINFOW*>(header);
      if (!window->BeginOperation()) return 0;
      const int accepted =
          imagePane ? EndImageLabelEdit(window, list, info->item.iItem, info->item.pszText)
                    : EndHostLabelEdit(window, list, info->item.iItem, info->item.pszText);
      window->m_newFolder = 0;
      window->EndOperation();
      // The new name (or new folder) takes its place in the order once the
      // edit has ended.
      if (accepted) PostMessageW(window->m_hWnd, kSortListAgain, 0, LPARAM(list));
      return accepted;
    }
    case NM_SETFOCUS:
      UpdateToolbarState(window, list);
      return 0;
    case LVN_GETDISPINFOW:
    case LVN_ODFINDITEMW: {
      LRESULT answer = 0;
      AnswerFileListNotify(list, header, &answer);
      return answer;
    }
    case LVN_ODSTATECHANGED: {
      // A range of rows changed its selection at once.
      const NMLVODSTATECHANGE* change = reinterpret_cast<NMLVODSTATECHANGE*>(header);
      if ((change->uOldState ^ change->uNewState) & LVIS_SELECTED) {
        UpdateToolbarState(window, nullptr);
        ShowSelectionDetails(window, list);
      }
      return 0;
    }
    case LVN_ITEMCHANGED: {
      // Only state changes: a filling list reports every text it is given,
      // and a look at the selection for each would cost the square of the
      // items.
      NMLISTVIEW* change = reinterpret_cast<NMLISTVIEW*>(header);
      if (!(change->uChanged & LVIF_STATE)) return 0;
      if ((change->uOldState ^ change->uNewState) & LVIS_SELECTED)
        UpdateToolbarState(window, nullptr);
      ShowSelectionDetails(window, list);
      return 0;
    }
  }
  return 0;
}

LRESULT OnAddressNotify(CFileManagerDlg* window, int controlId, NMHDR* header) {
  switch (header->code) {
    case CBEN_BEGINEDIT:
      UpdateToolbarState(window, nullptr);
      return 0;
    case CBEN_ENDEDITW: {
      NMCBEENDEDITW* end = reinterpret_cast<NMCBEENDEDITW*>(header);
      if (end->iWhy == CBENF_DROPDOWN && end->iNewSelection >= 0) {
        if (controlId == IDC_HOST_ADDRESS)
          FillHostAddressList(window->Item(IDC_HOST_ADDRESS), window->Item(IDC_HOST_LIST));
        return 0;
      }
      if (end->iWhy != CBENF_RETURN) return 0;
      if (controlId == IDC_IMAGE_ADDRESS && window->m_writeBackPath) {
        // The write-back file stays only with its own image or a folder
        // inside it: the whole image path, then the end or a separator.
        wchar_t address[kAddressChars], image[kAddressChars];
        GetWindowTextW(window->Item(IDC_IMAGE_LIST), address, kAddressChars);
        SplitImageAddress(address, image, kAddressChars, nullptr, 0);
        if (!IsSameImageOrInside(end->szText, image)) {
          delete[] window->m_writeBackPath;
          window->m_writeBackPath = nullptr;
          CFileManagerDlg::HideTip(window->m_writeBackTip);
        }
      }
      PostMessageW(window->m_hWnd, WM_COMMAND, MAKEWPARAM(controlId, CBN_SELCHANGE), LPARAM(-1));
      return 0;
    }
  }
  return 0;
}

}  // namespace

LRESULT CFileManagerDlg::OnNotify(int, NMHDR* header) {
  // The sender's id comes from the header: some combo box controls send
  // their notifications with a zero wParam.
  const int controlId = int(header->idFrom);
  switch (controlId) {
    case IDC_TOOLBAR:
      return OnToolbarNotify(this, header);
    case IDC_STATUS_BAR:
      if ((header->code == NM_CLICK || header->code == NM_RCLICK) &&
          reinterpret_cast<NMMOUSE*>(header)->dwItemSpec == 2) {
        OpenSizeEditor(header->code == NM_RCLICK);
      }
      return 0;
    case IDC_HOST_LIST:
    case IDC_IMAGE_LIST:
      return OnListNotify(this, controlId, header);
    case IDC_HOST_ADDRESS:
    case IDC_IMAGE_ADDRESS:
      return OnAddressNotify(this, controlId, header);
  }
  return 0;
}

int CFileManagerDlg::MapListKeys(HWND list, UINT key) {
  const bool control = KeyDown(VK_CONTROL), alt = KeyDown(VK_MENU);
  UINT command = 0;
  switch (key) {
    case VK_DELETE:
      command = ID_DELETE;
      break;
    case VK_F1:
      command = ID_HELP_COMMAND_LINE;
      break;
    case VK_F2:
      command = ID_RENAME;
      break;
    case VK_F3:
      command = ID_SEARCH;
      break;
    case VK_F5:
      command = ID_REFRESH;
      break;
    case 'A':
      if (control) command = ID_SELECT_ALL;
      break;
    case 'C':
      if (control) command = ID_COPY;
      break;
    case 'V':
      if (control) command = ID_PASTE;
      break;
    case 'T':
      if (control) command = ID_NEW_FOLDER;
      break;
    case VK_RETURN:
      if (alt) {
        command = ID_PROPERTIES;
      } else if (!control) {
        NMITEMACTIVATE activate = {};
        activate.hdr.hwndFrom = list;
        activate.hdr.idFrom = UINT_PTR(GetDlgCtrlID(list));
        activate.hdr.code = NM_DBLCLK;
        activate.iItem = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
        SendMessageW(m_hWnd, WM_NOTIFY, activate.hdr.idFrom, LPARAM(&activate));
        return 1;
      }
      break;
  }
  if (!command) return 0;
  PostCommand(m_hWnd, command);
  return 1;
}

int CFileManagerDlg::MapMainKeys(UINT key) {
  HWND files = Item(IDC_IMAGE_FILES);
  if (SendMessageW(files, CB_GETDROPPEDSTATE, 0, 0)) {
    switch (key) {
      case VK_UP:
      case VK_DOWN:
      case VK_LEFT:
      case VK_RIGHT:
      case VK_HOME:
      case VK_END:
      case VK_PRIOR:
      case VK_NEXT: {
        HWND combo = reinterpret_cast<HWND>(SendMessageW(files, CBEM_GETCOMBOCONTROL, 0, 0));
        COMBOBOXINFO info = {sizeof info};
        if (combo && GetComboBoxInfo(combo, &info)) SendMessageW(info.hwndList, WM_KEYDOWN, key, 0);
        return 1;
      }
      default:
        SendMessageW(files, CB_SHOWDROPDOWN, FALSE, 0);
    }
  }
  if (!KeyDown(VK_CONTROL)) return 0;
  static const struct {
    UINT key, command;
  } kKeys[] = {{'N', ID_CREATE_IMAGE},     {'B', ID_BACKUP},        {'O', ID_CLONE},
               {'I', ID_CONVERT},          {'U', ID_ADD_FILES},     {'D', ID_EXTRACT_FILES},
               {'R', ID_REGISTRY},         {'E', ID_IMAGE_DRIVERS}, {'G', ID_STORE_DRIVERS},
               {'H', ID_HELP_COMMAND_LINE}};
  for (const auto& k : kKeys) {
    if (k.key == key) {
      PostCommand(m_hWnd, k.command);
      return 1;
    }
  }
  return 0;
}

BOOL CFileManagerDlg::PreTranslateMessage(MSG* msg) {
  HWND host = Item(IDC_HOST_ADDRESS), image = Item(IDC_IMAGE_ADDRESS);
  const bool inAddress =
      IsDescendantWindow(msg->hwnd, host) || IsDescendantWindow(msg->hwnd, image);
  if (msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN) {
    if (!IsDescendantWindow(msg->hwnd, m_hWnd)) return FALSE;
    const UINT key = UINT(msg->wParam);
    if (msg->message == WM_KEYDOWN && inAddress &&
        (key == VK_UP || key == VK_DOWN || key == VK_PRIOR || key == VK_NEXT)) {
      HWND combo = IsDescendantWindow(msg->hwnd, host) ? host : image;
      // The address does not change by the arrow keys while the list is closed.
      if (!SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0)) return TRUE;
    }
    // Enter on a list opens its item (Alt+Enter: properties; Ctrl+Enter:
    // nothing) before the dialog manager turns it into the default button.
    if (key == VK_RETURN &&
        (msg->hwnd == Item(IDC_HOST_LIST) || msg->hwnd == Item(IDC_IMAGE_LIST))) {
      MapListKeys(msg->hwnd, key);
      // Alt+Enter goes on to the system, which then knows that the Alt key
      // was not pressed alone (its release does not open the menu bar).
      return msg->message == WM_KEYDOWN;
    }
    if (msg->message == WM_KEYDOWN) MapMainKeys(key);
    return FALSE;
  }
  if (msg->message == WM_MOUSEWHEEL) {
    POINT at = {GET_X_LPARAM(msg->lParam), GET_Y_LPARAM(msg->lParam)};
    HWND under = WindowFromPoint(at);
    for (HWND combo : {host, image}) {
      if (IsDescendantWindow(msg->hwnd, combo) || IsDescendantWindow(under, combo))
        return !SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0);
    }
  }
  return FALSE;
}

void CFileManagerDlg::OnDropFiles(HDROP drop) {
  POINT cursor;
  GetCursorPos(&cursor);
  HWND under = WindowFromPoint(cursor);
  HWND host = Item(IDC_HOST_LIST), image = Item(IDC_IMAGE_LIST);
  if (under == host || under == image) {
    int answer = 0;
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
      wchar_t path[kPathChars + 1] = {};
      if (!DragQueryFileW(drop, i, path, kPathChars)) continue;
      path[lstrlenW(path) + 1] = 0;  // a list of one path
      if (under == host) {
        DropIntoHostPane(host, path, nullptr, 0, this, TRUE, &answer);
      } else {
        DropIntoImagePane(image, path, nullptr, 0, this, TRUE, &answer);
      }
    }
  }
  DragFinish(drop);
}

void CFileManagerDlg::OnSysCommand(WPARAM, LPARAM) {
  CommitSizeEditor();
}

void CFileManagerDlg::OnNcLButtonDown(UINT, LPARAM) {
  CommitSizeEditor();
}

LRESULT CFileManagerDlg::OnMoving(UINT, RECT*) {
  if (m_writeBackPath && m_writeBackTip && IsWindowVisible(m_writeBackTip))
    ShowWriteBackTip(m_writeBackTip, Item(IDC_IMAGE_ADDRESS), m_writeBackPath);
  return 0;
}

void CFileManagerDlg::OnExitSizeMove() {
  OnMoving(0, nullptr);
}

void CFileManagerDlg::SetStatus(COLORREF colour, const wchar_t* text) {
  m_statusColour = colour;
  lstrcpynW(m_statusText, text ? text : L"", kPathChars);
  SendMessageW(Item(IDC_STATUS_BAR), SB_SETTEXTW, 0 | SBT_OWNERDRAW, 0);
  // The owner-drawn part is drawn again only when it is invalid.
  RECT part;
  if (SendMessageW(Item(IDC_STATUS_BAR), SB_GETRECT, 0, LPARAM(&part)))
    InvalidateRect(Item(IDC_STATUS_BAR), &part, TRUE);
}

void CFileManagerDlg::SetStatusString(COLORREF colour, UINT id, ...) {
  wchar_t format[kPathChars], text[kPathChars];
  LoadUiString(id, format, kPathChars);
  va_list args;
  va_start(args, id);
  _vsnwprintf(text, kPathChars, format, args);
  va_end(args);
  text[kPathChars - 1] = 0;
  SetStatus(colour, text);
}

void CFileManagerDlg::ClearStatus() {
  SetStatus(0, L"");
}

bool CFileManagerDlg::BeginOperation() {
  if (InterlockedCompareExchange(&m_busy, 1, 0) == 0) return true;
  // The panes' controls are off while an operation runs, but the menus and
  // keys still arrive: a second operation is refused, and said so.
  SetStatusString(RGB(255, 0, 0), IDS_OPERATION_RUNNING);
  MessageBeep(MB_ICONEXCLAMATION);
  return false;
}

bool CFileManagerDlg::TakeDropTurn() {
  if (m_dragHoldsTurn) {
    m_dragHoldsTurn = FALSE;
    return true;
  }
  return BeginOperation();
}

void CFileManagerDlg::EndOperation() {
  InterlockedExchange(&m_busy, 0);
}

void CFileManagerDlg::EnablePanes(BOOL enable) {
  for (int id : {IDC_IMAGE_ADDRESS, IDC_IMAGE_LIST, IDC_HOST_ADDRESS, IDC_HOST_LIST, IDC_TOOLBAR}) {
    EnableWindow(Item(id), enable);
    // The address bars erase their whole face when enabled: their edit
    // fields are drawn again too.
    RedrawWindow(Item(id), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
  }
}
