#include "app/search/SearchFileDlg.h"

#include <commctrl.h>

#include <cwchar>
#include <vector>

#include "disktools/dialogs/DiskToolHistory.h"
#include "app/mainwnd/DrawnIcons.h"
#include "app/mainwnd/FilePanes.h"
#include "app/mainwnd/FileTypes.h"
#include "app/properties/PageTheme.h"
#include "app/viewer/ViewFile.h"
#include "common/Dpi.h"
#include "common/PathUtil.h"
#include "common/SavedState.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/WindowThread.h"
#include "ui/controls/ControlWrappers.h"
#include "ui/controls/ListView.h"

namespace {

const wchar_t kNameHistory[] = L"SearchFile";
const wchar_t kContentHistory[] = L"SearchContent";

// The five check boxes and their settings with the defaults.
struct SearchSetting {
  int control;
  const wchar_t* value;
  DWORD fallback;
};
const SearchSetting kSettings[] = {
    {IDC_SEARCH_SUBDIRS, L"SearchFile_SubDir", 1}, {IDC_MATCH_CASE, L"SearchFile_MatchCase", 0},
    {IDC_SEARCH_ANSI, L"SearchFile_Ansi", 1},      {IDC_SEARCH_UNICODE, L"SearchFile_Unicode", 0},
    {IDC_HEX_MODE, L"SearchFile_Hex", 0},
};

// The controls a running search disables.
const int kInputControls[] = {IDC_SEARCH_FOLDER,  IDC_SEARCH_NAME, IDC_SEARCH_CONTENT,
                              IDC_SEARCH_SUBDIRS, IDC_MATCH_CASE,  IDC_SEARCH_ANSI,
                              IDC_SEARCH_UNICODE, IDC_HEX_MODE};

bool Checked(HWND dialog, int id) {
  return IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}

void Check(HWND dialog, int id, bool on) {
  CheckDlgButton(dialog, id, on ? BST_CHECKED : BST_UNCHECKED);
}

std::wstring ControlText(HWND control) {
  wchar_t text[kPathChars] = L"";
  GetWindowTextW(control, text, kPathChars);
  return text;
}

// Puts an address into a main-window address bar and has the main window
// open it, as the main window itself does.
void NavigatePane(HWND mainWindow, int bar, const wchar_t* address) {
  HWND combo = GetDlgItem(mainWindow, bar);
  COMBOBOXEXITEMW item = {};
  item.mask = CBEIF_TEXT;
  item.iItem = -1;
  item.pszText = const_cast<wchar_t*>(address);
  SendMessageW(combo, CBEM_SETITEMW, 0, LPARAM(&item));
  SendMessageW(mainWindow, WM_COMMAND, MAKEWPARAM(bar, CBN_SELCHANGE), LPARAM(-1));
}

}  // namespace

bool SplitSearchFolder(const wchar_t* folder, std::wstring* image, std::wstring* volumeFolder) {
  wchar_t file[kPathChars], inside[kPathChars];
  // The pane's own splitting: the first prefix that names an existing file.
  SplitImageAddress(folder, file, kPathChars, inside, kPathChars);
  wchar_t path[kPathChars];
  int partition = 0;
  if (!file[0] || !ReadImageText(file, path, kPathChars, &partition) || GetPathKind(path) != 1)
    return false;
  *image = file;
  *volumeFolder = inside[0] ? inside : L"\\";
  return true;
}

CSearchFileDlg::CSearchFileDlg(CMountedImage* image) : m_image(image) {}

INT_PTR CSearchFileDlg::Run(CWindow* owner, CMountedImage* image, const wchar_t* startFolder) {
  CSearchFileDlg* dialog = new CSearchFileDlg(image);
  return dialog->Create(owner, IDD_SEARCH_FILE, TRUE, LPARAM(startFolder));
}

LRESULT CSearchFileDlg::OnInitDialog() {
  HWND name = Item(IDC_SEARCH_NAME), content = Item(IDC_SEARCH_CONTENT);
  SendMessageW(Item(IDC_SEARCH_FOLDER), EM_SETLIMITTEXT, kPathChars - 1, 0);
  SendMessageW(name, CB_LIMITTEXT, kPathChars - 1, 0);
  SendMessageW(content, CB_LIMITTEXT, kPathChars - 1, 0);
  if (LoadHistory(name, kNameHistory) > 0) {
    if (SendMessageW(name, CB_GETCURSEL, 0, 0) == CB_ERR) SendMessageW(name, CB_SETCURSEL, 0, 0);
  } else {
    SetWindowTextW(name, L"*.*");
  }
  LoadHistory(content, kContentHistory);

  HKEY key = nullptr;
  RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key);
  for (const SearchSetting& s : kSettings) {
    DWORD value = s.fallback, size = sizeof value, type = 0;
    if (!key ||
        RegQueryValueExW(key, s.value, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
      value = s.fallback;
    Check(m_hWnd, s.control, value != 0);
  }
  if (key) RegCloseKey(key);
  // Exactly one pattern kind: ANSI when the saved ones disagree.
  const int kinds = Checked(m_hWnd, IDC_SEARCH_ANSI) + Checked(m_hWnd, IDC_SEARCH_UNICODE) +
                    Checked(m_hWnd, IDC_HEX_MODE);
  if (kinds != 1) {
    Check(m_hWnd, IDC_SEARCH_ANSI, true);
    Check(m_hWnd, IDC_SEARCH_UNICODE, false);
    Check(m_hWnd, IDC_HEX_MODE, false);
  }

  SetWindowTextW(Item(IDC_SEARCH_FOLDER), reinterpret_cast<const wchar_t*>(m_param));

  HWND list = Item(IDC_SEARCH_RESULTS);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0x10420, 0x10420);
  int iconSize = 16;
  if (ApplyListExplorerTheme(list, m_version)) iconSize = 24;
  m_images = CreateItemImageList(iconSize);
  SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, LPARAM(m_images));
  wchar_t title[64];
  LoadUiString(m_hInstance, IDS_COLUMN_NAME, m_language, title, 64);
  LVCOLUMNW column = {};
  column.mask = LVCF_TEXT | LVCF_WIDTH;
  column.pszText = title;
  column.cx = ScaleByDpi(448);
  SendMessageW(list, LVM_INSERTCOLUMNW, 0, LPARAM(&column));

  wchar_t cue[128];
  LoadUiString(m_hInstance, IDS_CUE_FILE_NAME, m_language, cue, 128);
  COMBOBOXINFO info = {sizeof info};
  if (GetComboBoxInfo(name, &info) && info.hwndItem)
    SendMessageW(info.hwndItem, EM_SETCUEBANNER, TRUE, LPARAM(cue));
  EnableWindow(Item(IDC_SEARCH_VIEW), FALSE);
  EnableWindow(Item(IDC_SEARCH_LOCATE), FALSE);
  CenterWindowOnParent(this);
  PostMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_SEARCH_NAME, CBN_EDITCHANGE), LPARAM(name));
  return 1;
}

void CSearchFileDlg::OnModeClicked(int id) {
  const bool on = Checked(m_hWnd, id);
  switch (id) {
    case IDC_SEARCH_ANSI:
      if (on) {
        Check(m_hWnd, IDC_HEX_MODE, false);
        Check(m_hWnd, IDC_SEARCH_UNICODE, false);
      } else {
        Check(m_hWnd, IDC_SEARCH_UNICODE, true);
      }
      break;
    case IDC_SEARCH_UNICODE:
      if (on) {
        Check(m_hWnd, IDC_HEX_MODE, false);
        Check(m_hWnd, IDC_SEARCH_ANSI, false);
      } else {
        Check(m_hWnd, IDC_SEARCH_ANSI, true);
      }
      break;
    case IDC_HEX_MODE:
      if (on) {
        KeepHexDigitsInCombo(Item(IDC_SEARCH_CONTENT));
        Check(m_hWnd, IDC_SEARCH_ANSI, false);
        Check(m_hWnd, IDC_SEARCH_UNICODE, false);
      } else if (!Checked(m_hWnd, IDC_SEARCH_ANSI) && !Checked(m_hWnd, IDC_SEARCH_UNICODE)) {
        Check(m_hWnd, IDC_SEARCH_ANSI, true);
      }
      break;
  }
}

LRESULT CSearchFileDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  const int id = LOWORD(wParam), code = HIWORD(wParam);
  switch (id) {
    case IDCANCEL:
      PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
      return 1;
    case IDOK:
      StartSearch();
      return 1;
    case IDC_SEARCH_ANSI:
    case IDC_SEARCH_UNICODE:
    case IDC_HEX_MODE:
      if (code == BN_CLICKED) OnModeClicked(id);
      return 0;
    case IDC_SEARCH_NAME:
      if (code == CBN_EDITCHANGE || code == CBN_SELCHANGE) {
        HWND name = Item(IDC_SEARCH_NAME);
        const bool any =
            GetWindowTextLengthW(name) > 0 || SendMessageW(name, CB_GETCURSEL, 0, 0) >= 0;
        if (!m_running) EnableWindow(Item(IDOK), any);
      }
      return 0;
    case IDC_SEARCH_CONTENT:
      if ((code == CBN_EDITCHANGE || code == CBN_SELCHANGE) && Checked(m_hWnd, IDC_HEX_MODE)) {
        if (code == CBN_SELCHANGE) {
          // The chosen entry reaches the edit field only after this
          // notification: filter its text directly.
          HWND combo = Item(IDC_SEARCH_CONTENT);
          const int sel = int(SendMessageW(combo, CB_GETCURSEL, 0, 0));
          wchar_t text[kPathChars] = L"";
          if (sel >= 0 && SendMessageW(combo, CB_GETLBTEXTLEN, sel, 0) < kPathChars)
            SendMessageW(combo, CB_GETLBTEXT, sel, LPARAM(text));
          SetWindowTextW(combo, text);
        }
        KeepHexDigitsInCombo(Item(IDC_SEARCH_CONTENT));
      }
      return 0;
    case IDC_SEARCH_VIEW:
      ViewResult();
      return 1;
    case IDC_SEARCH_LOCATE:
      LocateResult();
      return 1;
  }
  (void)lParam;
  return 0;
}

void CSearchFileDlg::SetInputsEnabled(BOOL enabled) {
  for (int id : kInputControls) EnableWindow(Item(id), enabled);
}

void CSearchFileDlg::StartSearch() {
  HWND folderEdit = Item(IDC_SEARCH_FOLDER), name = Item(IDC_SEARCH_NAME),
       content = Item(IDC_SEARCH_CONTENT);
  const std::wstring folder = ControlText(folderEdit), pattern = ControlText(name);
  if (folder.empty() || pattern.empty()) return;
  const std::wstring text = ControlText(content);
  const bool hex = Checked(m_hWnd, IDC_HEX_MODE);
  if (hex && text.size() % 2) {
    wchar_t message[256], caption[64];
    LoadUiString(m_hInstance, IDS_HEX_VALUE_WRONG, m_language, message, 256);
    LoadUiString(m_hInstance, IDS_PROMPT_CAPTION, m_language, caption, 64);
    MessageBoxW(m_hWnd, message, caption, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
    SetFocus(content);
    return;
  }
  if (m_running) return;

  // What to search for, taken here on the window's thread.
  SaveHistory(name, kNameHistory, pattern.c_str());
  std::string ansi;
  if (!text.empty()) {
    SaveHistory(content, kContentHistory, text.c_str());
    char bytes[kPathChars * 2] = "";
    GetWindowTextA(content, bytes, sizeof bytes);
    ansi = bytes;
  }
  const SearchPatternKind kind = hex                                   ? kSearchHex
                                 : Checked(m_hWnd, IDC_SEARCH_UNICODE) ? kSearchUnicode
                                                                       : kSearchAnsi;
  m_spec = FileSearchSpec();
  m_spec.pattern = pattern;
  m_spec.subFolders = Checked(m_hWnd, IDC_SEARCH_SUBDIRS);
  // Bytes given in hexadecimal are compared exactly; letters fold only in
  // text patterns.
  m_spec.matchCase = hex || Checked(m_hWnd, IDC_MATCH_CASE);
  if (!text.empty() && !MakeContentPattern(kind, text, ansi, &m_spec.content)) return;
  std::wstring image, inside;
  m_inVolume = m_image && SplitSearchFolder(folder.c_str(), &image, &inside);
  m_imagePath = m_inVolume ? image : L"";
  m_spec.folder = m_inVolume ? inside : folder;

  SetInputsEnabled(FALSE);
  SendMessageW(Item(IDC_SEARCH_RESULTS), LVM_DELETEALLITEMS, 0, 0);
  m_listed.clear();
  m_found = 0;
  EnableWindow(Item(IDC_SEARCH_VIEW), FALSE);
  EnableWindow(Item(IDC_SEARCH_LOCATE), FALSE);
  HWND button = Item(IDOK);
  SetWindowLongPtrW(button, GWLP_ID, IDCANCEL);
  wchar_t stop[64];
  LoadUiString(m_hInstance, IDS_SEARCH_STOP, m_language, stop, 64);
  SetWindowTextW(button, stop);
  SetFocus(button);
  InterlockedExchange(&m_stop, 0);
  InterlockedExchange(&m_running, 1);
  HANDLE thread = StartWindowThread(this, &CSearchFileDlg::SearchThread, 0);
  if (thread) {
    CloseHandle(thread);
  } else {
    EndSearch();
  }
}

DWORD CSearchFileDlg::SearchThread(LPARAM) {
  if (m_inVolume) {
    SearchVolumeFiles(m_image, m_spec, this, &m_stop);
  } else {
    SearchHostFiles(m_spec, this, &m_stop);
  }
  SendMessageW(m_hWnd, WM_SEARCH_DONE, 0, 0);
  return 0;
}

void CSearchFileDlg::OnFolder(const wchar_t* folder) {
  SendMessageW(m_hWnd, WM_SEARCH_FOLDER, 0, LPARAM(folder));
}

void CSearchFileDlg::OnMatch(const wchar_t* path) {
  SendMessageW(m_hWnd, WM_SEARCH_MATCH, 0, LPARAM(path));
}

LRESULT CSearchFileDlg::PreDispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SEARCH_FOLDER:
      SetWindowTextW(Item(IDC_SEARCH_STATUS), reinterpret_cast<const wchar_t*>(lParam));
      return 1;
    case WM_SEARCH_MATCH: {
      const wchar_t* path = reinterpret_cast<const wchar_t*>(lParam);
      if (m_listed.insert(path).second) {
        ListAppendItem(Item(IDC_SEARCH_RESULTS), path, ClassifyFileType(path));
        ++m_found;
      }
      return 1;
    }
    case WM_SEARCH_DONE:
      EndSearch();
      return 1;
  }
  return CWindow::PreDispatch(message, wParam, lParam);
}

void CSearchFileDlg::EndSearch() {
  InterlockedExchange(&m_running, 0);
  SetInputsEnabled(TRUE);
  HWND button = GetDlgItem(m_hWnd, IDCANCEL);
  if (button) {
    SetWindowLongPtrW(button, GWLP_ID, IDOK);
    wchar_t start[64];
    LoadUiString(m_hInstance, IDS_SEARCH_START, m_language, start, 64);
    SetWindowTextW(button, start);
  }
  SetWindowTextW(Item(IDC_SEARCH_STATUS), L"");
  wchar_t format[128], text[160];
  LoadUiString(m_hInstance, IDS_SEARCH_FOUND, m_language, format, 128);
  swprintf(text, 160, format, m_found);
  SetWindowTextW(Item(IDC_SEARCH_GROUP), text);
  const bool selected = SendMessageW(Item(IDC_SEARCH_RESULTS), LVM_GETSELECTEDCOUNT, 0, 0) > 0;
  EnableWindow(Item(IDC_SEARCH_VIEW), selected);
  EnableWindow(Item(IDC_SEARCH_LOCATE), selected);
}

void CSearchFileDlg::ViewResult() {
  // The worker reads the volume: nothing else may until it ends.
  if (m_running) return;
  HWND list = Item(IDC_SEARCH_RESULTS);
  const int item = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  if (item < 0) return;
  wchar_t path[kPathChars];
  ListGetItemText(list, item, 0, path, kPathChars);
  const bool inVolume = path[0] == L'\\' || path[0] == L'/';
  if (inVolume && !m_image) return;
  std::wstring display = path;
  if (inVolume) display = m_imagePath + path;
  ViewFile(m_parent ? m_parent : this, inVolume ? m_image : nullptr, path, display.c_str());
}

void CSearchFileDlg::LocateResult() {
  if (m_running) return;
  HWND list = Item(IDC_SEARCH_RESULTS);
  const int item = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  if (item < 0 || !m_parent) return;
  wchar_t path[kPathChars], folder[kPathChars];
  ListGetItemText(list, item, 0, path, kPathChars);
  const bool inVolume = path[0] == L'\\' || path[0] == L'/';
  CopyParentPath(path, folder);
  std::wstring address;
  if (inVolume) {
    wchar_t joined[kPathChars * 2];
    JoinImageAddress(m_imagePath.c_str(), folder[0] ? folder : L"\\", joined, kPathChars * 2);
    address = joined;
  } else {
    address = folder;
    // A drive's root keeps its separator.
    if (address.size() == 2 && address[1] == L':') address += L'\\';
  }
  HWND main = m_parent->m_hWnd;
  NavigatePane(main, inVolume ? IDC_IMAGE_ADDRESS : IDC_HOST_ADDRESS, address.c_str());
  HWND pane = GetDlgItem(main, inVolume ? IDC_IMAGE_LIST : IDC_HOST_LIST);
  const int found = ListFindItemText(pane, FindFileNamePart(path));
  if (found >= 0) {
    ListClearItemSelection(pane, -1);
    ListSelectItem(pane, found);
  }
}

LRESULT CSearchFileDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId != IDC_SEARCH_RESULTS) return 0;
  switch (header->code) {
    case LVN_ITEMCHANGED: {
      if (m_running) return 0;
      const bool selected = SendMessageW(header->hwndFrom, LVM_GETSELECTEDCOUNT, 0, 0) > 0;
      EnableWindow(Item(IDC_SEARCH_VIEW), selected);
      EnableWindow(Item(IDC_SEARCH_LOCATE), selected);
      return 0;
    }
    case NM_CUSTOMDRAW: {
      NMLVCUSTOMDRAW* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(header);
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
      if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT &&
          SendMessageW(header->hwndFrom, LVM_GETITEMSTATE, draw->nmcd.dwItemSpec, LVIS_SELECTED)) {
        draw->nmcd.uItemState &= ~CDIS_SELECTED;
        draw->clrTextBk = GetSysColor(COLOR_HIGHLIGHT);
        draw->clrText = GetSysColor(COLOR_INACTIVECAPTIONTEXT);
        return CDRF_NEWFONT;
      }
      return CDRF_DODEFAULT;
    }
    case NM_DBLCLK:
      PostMessageW(m_hWnd, WM_COMMAND, IDC_SEARCH_VIEW, 0);
      return 0;
  }
  return 0;
}

LRESULT CSearchFileDlg::OnClose(WPARAM wParam) {
  if (m_running) {
    // The worker ends at its next file or piece; the window stays.
    InterlockedExchange(&m_stop, 1);
    return 1;
  }
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                      &key, nullptr) == ERROR_SUCCESS) {
    for (const SearchSetting& s : kSettings) {
      DWORD value = Checked(m_hWnd, s.control) ? 1 : 0;
      RegSetValueExW(key, s.value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof value);
    }
    RegCloseKey(key);
  }
  SendMessageW(Item(IDC_SEARCH_RESULTS), LVM_SETIMAGELIST, LVSIL_SMALL, 0);
  if (m_images) ImageList_Destroy(m_images);
  m_images = nullptr;
  return EndDialogOnClose(wParam);
}
