#include "disktools/dialogs/CreateImageDlg.h"

#include <cwchar>

#include "common/PathUtil.h"
#include "disktools/dialogs/DiskToolHistory.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"

namespace {

const LPARAM kFolderRow = 1;

bool IsDots(const wchar_t* name) {
  return name[0] == L'.' && (!name[1] || (name[1] == L'.' && !name[2]));
}

}  // namespace

CCreateImageDlg::CCreateImageDlg(CWindow* parent, CreateImageParams* params)
    : m_params(params), m_maxSizeMiB(params ? params->maxSizeMiB : 0) {
  m_folder[0] = 0;
  if (params) params->imagePath[0] = 0;
  Create(parent, IDD_CREATE_IMAGE, TRUE, reinterpret_cast<LPARAM>(params));
}

LRESULT CCreateImageDlg::OnInitDialog() {
  const int lists[] = {IDC_DT_VOLUMES, IDC_DT_FOLDER_LIST};
  const int combos[] = {IDC_DT_TARGET_IMAGE};
  InitControls(lists, 2, combos, 1);
  HWND drives = GetDlgItem(m_hWnd, IDC_DT_VOLUMES);
  // The drive list has no size column.
  SendMessageW(drives, LVM_DELETECOLUMN, 1, 0);
  RECT rc;
  GetClientRect(drives, &rc);
  SendMessageW(drives, LVM_SETCOLUMNWIDTH, 0, rc.right - rc.left);

  wchar_t roots[27 * 4 + 1] = {};
  DWORD length = GetLogicalDriveStringsW(27 * 4, roots);
  for (const wchar_t* root = roots; length && length <= 27 * 4 && *root; root += wcslen(root) + 1) {
    if (GetDriveTypeW(root) != DRIVE_FIXED) continue;
    wchar_t label[kPathChars] = {};
    if (!GetVolumeInformationW(root, label, kPathChars, nullptr, nullptr, nullptr, nullptr, 0))
      label[0] = 0;
    AddVolumeRow(drives, (wchar_t)towupper(root[0]), label, -1);
  }

  HWND combo = GetDlgItem(m_hWnd, IDC_DT_TARGET_IMAGE);
  LoadHistory(combo, kCreateTargetHistory);
  SetWindowTextW(combo, L"");

  HWND size = GetDlgItem(m_hWnd, IDC_DT_SIZE);
  wchar_t text[16], cue[128];
  int digits = _snwprintf(text, 16, L"%u", m_maxSizeMiB);
  SendMessageW(size, EM_LIMITTEXT, digits > 0 ? digits : 1, 0);
  LoadUiString(IDS_CUE_IMAGE_SIZE, cue, 128);
  SendMessageW(size, EM_SETCUEBANNER, FALSE, reinterpret_cast<LPARAM>(cue));

  HWND layout = GetDlgItem(m_hWnd, IDC_DT_LAYOUT);
  if (m_params && m_params->filter) {
    // Descriptions and patterns alternate; the list shows the descriptions.
    const wchar_t* p = m_params->filter;
    for (int i = 0; *p; p += wcslen(p) + 1, ++i)
      if (i % 2 == 0) SendMessageW(layout, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(p));
  }
  SendMessageW(layout, CB_SETCURSEL, 0, 0);

  if (m_params) {
    CheckDlgButton(m_hWnd, IDC_DT_RAW, m_params->plainData ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(m_hWnd, IDC_DT_GPT, m_params->gpt ? BST_CHECKED : BST_UNCHECKED);
    _snwprintf(text, 16, L"%u", m_params->sizeMiB);
    text[15] = 0;
    SetWindowTextW(size, text);
  }
  // The creator's drive, else the first.
  int row = -1;
  int count = (int)SendMessageW(drives, LVM_GETITEMCOUNT, 0, 0);
  for (int i = 0; m_params && i < count; ++i)
    if ((wchar_t)ListGetItemParam(drives, i) == towupper(m_params->driveLetter)) row = i;
  if (row < 0 && count > 0) row = 0;
  if (row >= 0) ListSelectItem(drives, row);
  ShowFolder(L"");
  CheckCreate();
  return 1;
}

void CCreateImageDlg::ShowFolder(const wchar_t* folder) {
  HWND list = GetDlgItem(m_hWnd, IDC_DT_FOLDER_LIST);
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  if (folder != m_folder) {
    wcsncpy(m_folder, folder, kPathChars - 1);
    m_folder[kPathChars - 1] = 0;
  }
  wchar_t letter = SelectedLetter(GetDlgItem(m_hWnd, IDC_DT_VOLUMES));
  if (letter) {
    wchar_t pattern[kPathChars];
    if (m_folder[0])
      _snwprintf(pattern, kPathChars, L"%c:\\%s", letter, m_folder);
    else
      _snwprintf(pattern, kPathChars, L"%c:\\", letter);
    pattern[kPathChars - 1] = 0;
    AppendPathPart(pattern, kPathChars, L"*.*");
    if (m_folder[0]) ListSetItemParam(list, ListAppendItem(list, L"..", 0), kFolderRow);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern, &data);
    // Folders first, then files: two passes over the folder.
    for (int pass = 0; find != INVALID_HANDLE_VALUE && pass < 2; ++pass) {
      do {
        bool folderEntry = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (IsDots(data.cFileName) || folderEntry != (pass == 0)) continue;
        int row = ListAppendItem(list, data.cFileName, 0);
        ListSetItemParam(list, row, folderEntry ? kFolderRow : 0);
        if (!folderEntry) {
          wchar_t size[40];
          uint64_t bytes = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
          _snwprintf(size, 40, L"%I64u KB", (unsigned long long)((bytes + 1023) >> 10));
          size[39] = 0;
          ListSetItemText(list, row, 1, size);
        }
      } while (FindNextFileW(find, &data));
      if (pass == 0) {
        FindClose(find);
        find = FindFirstFileW(pattern, &data);
      }
    }
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
  }
  UpdatePathText();
}

void CCreateImageDlg::GetTargetPath(wchar_t* out) {
  out[0] = 0;
  wchar_t name[kPathChars];
  GetWindowTextW(GetDlgItem(m_hWnd, IDC_DT_TARGET_IMAGE), name, kPathChars);
  wchar_t letter = SelectedLetter(GetDlgItem(m_hWnd, IDC_DT_VOLUMES));
  if (!name[0] || !letter) return;
  // A name of a drive's path stands for itself.
  if (name[1] == L':' || (name[0] == L'\\' && name[1] == L'\\')) {
    wcsncpy(out, name, kPathChars - 1);
    out[kPathChars - 1] = 0;
  } else {
    _snwprintf(out, kPathChars, L"%c:\\%s", letter, m_folder);
    out[kPathChars - 1] = 0;
    AppendPathPart(out, kPathChars, name);
  }
  // A name without an extension takes the pattern's.
  const wchar_t* file = FindFileNamePart(out);
  if (!wcschr(file, L'.') && m_params && m_params->filePattern) {
    const wchar_t* ext = wcsrchr(m_params->filePattern, L'.');
    if (ext && !wcschr(ext, L'*') && wcslen(out) + wcslen(ext) < (size_t)kPathChars)
      wcscat(out, ext);
  }
}

void CCreateImageDlg::UpdatePathText() {
  wchar_t path[kPathChars];
  GetTargetPath(path);
  if (!path[0]) {
    wchar_t letter = SelectedLetter(GetDlgItem(m_hWnd, IDC_DT_VOLUMES));
    if (letter) _snwprintf(path, kPathChars, L"%c:\\%s", letter, m_folder);
    path[kPathChars - 1] = 0;
  }
  SetDlgItemTextW(m_hWnd, IDC_DT_STATUS, path);
}

void CCreateImageDlg::OnSizeChange() {
  HWND edit = GetDlgItem(m_hWnd, IDC_DT_SIZE);
  wchar_t text[16] = {};
  GetWindowTextW(edit, text, 16);
  unsigned long long value = wcstoull(text, nullptr, 10);
  if (value > m_maxSizeMiB) {
    DWORD start = 0, end = 0;
    SendMessageW(edit, EM_GETSEL, (WPARAM)&start, (LPARAM)&end);
    _snwprintf(text, 16, L"%u", m_maxSizeMiB);
    text[15] = 0;
    SetWindowTextW(edit, text);  // comes back here with the maximum
    SendMessageW(edit, EM_SETSEL, start, end);
    return;
  }
  CheckCreate();
}

void CCreateImageDlg::CheckCreate() {
  wchar_t text[16] = {}, path[kPathChars];
  GetDlgItemTextW(m_hWnd, IDC_DT_SIZE, text, 16);
  GetTargetPath(path);
  EnableWindow(GetDlgItem(m_hWnd, IDOK), wcstoull(text, nullptr, 10) != 0 && path[0]);
}

void CCreateImageDlg::OnCreate() {
  wchar_t path[kPathChars], text[16] = {}, name[kPathChars];
  GetTargetPath(path);
  GetDlgItemTextW(m_hWnd, IDC_DT_SIZE, text, 16);
  unsigned long long size = wcstoull(text, nullptr, 10);
  if (!path[0] || size == 0 || size > m_maxSizeMiB || !m_params) return;
  // The folder must exist: the image is created in it.
  wchar_t folder[kPathChars];
  CopyParentPath(path, folder, kPathChars);
  if (!(GetFileAttributesW(folder) != INVALID_FILE_ATTRIBUTES &&
        (GetFileAttributesW(folder) & FILE_ATTRIBUTE_DIRECTORY)))
    return;
  if (!ConfirmOverwrite(path)) return;
  GetWindowTextW(GetDlgItem(m_hWnd, IDC_DT_TARGET_IMAGE), name, kPathChars);
  SaveHistory(GetDlgItem(m_hWnd, IDC_DT_TARGET_IMAGE), kCreateTargetHistory, name);
  uint32_t capacity = m_params->pathCapacity && m_params->pathCapacity < (uint32_t)kPathChars
                          ? m_params->pathCapacity
                          : (uint32_t)kPathChars;
  wcsncpy(m_params->imagePath, path, capacity - 1);
  m_params->imagePath[capacity - 1] = 0;
  m_params->sizeMiB = (uint32_t)size;
  m_params->driveLetter = SelectedLetter(GetDlgItem(m_hWnd, IDC_DT_VOLUMES));
  m_params->gpt = IsDlgButtonChecked(m_hWnd, IDC_DT_GPT) == BST_CHECKED;
  m_params->plainData = IsDlgButtonChecked(m_hWnd, IDC_DT_RAW) == BST_CHECKED;
  PostMessageW(m_hWnd, WM_CLOSE, IDOK, 0);
}

LRESULT CCreateImageDlg::OnCommand(WPARAM wParam, LPARAM) {
  const UINT id = LOWORD(wParam), code = HIWORD(wParam);
  if (id == IDC_DT_SIZE && code == EN_CHANGE) {
    OnSizeChange();
  } else if (id == IDC_DT_TARGET_IMAGE && (code == CBN_EDITCHANGE || code == CBN_SELCHANGE)) {
    if (code == CBN_SELCHANGE) {
      // The chosen entry reaches the edit field after this notification.
      HWND combo = GetDlgItem(m_hWnd, IDC_DT_TARGET_IMAGE);
      int item = (int)SendMessageW(combo, CB_GETCURSEL, 0, 0);
      wchar_t text[kPathChars] = {};
      if (item >= 0 && SendMessageW(combo, CB_GETLBTEXTLEN, item, 0) < kPathChars) {
        SendMessageW(combo, CB_GETLBTEXT, item, reinterpret_cast<LPARAM>(text));
        SetWindowTextW(combo, text);
      }
    }
    UpdatePathText();
    CheckCreate();
  } else if (id == IDOK) {
    OnCreate();
  } else if (id == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  }
  return 0;
}

LRESULT CCreateImageDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId == IDC_DT_VOLUMES && header->code == LVN_ITEMCHANGED) {
    NMLISTVIEW* change = reinterpret_cast<NMLISTVIEW*>(header);
    if ((change->uNewState ^ change->uOldState) & LVIS_SELECTED) {
      ShowFolder(L"");
      CheckCreate();
    }
    return 0;
  }
  if (controlId == IDC_DT_FOLDER_LIST && header->code == NM_DBLCLK) {
    HWND list = header->hwndFrom;
    int row = reinterpret_cast<NMITEMACTIVATE*>(header)->iItem;
    if (row < 0 || ListGetItemParam(list, row) != kFolderRow) return 0;
    wchar_t name[kPathChars], folder[kPathChars];
    ListGetItemText(list, row, 0, name, kPathChars);
    wcscpy(folder, m_folder);
    if (wcscmp(name, L"..") == 0) {
      wchar_t* cut = wcsrchr(folder, L'\\');
      if (cut)
        *cut = 0;
      else
        folder[0] = 0;
    } else {
      AppendPathPart(folder, kPathChars, name);
    }
    ShowFolder(folder);
    CheckCreate();
    return 0;
  }
  if (controlId == IDC_DT_FOLDER_LIST && header->code == LVN_ITEMCHANGED) {
    // A chosen file lends its name.
    NMLISTVIEW* change = reinterpret_cast<NMLISTVIEW*>(header);
    if ((change->uNewState & LVIS_SELECTED) && !(change->uOldState & LVIS_SELECTED) &&
        change->iItem >= 0 && ListGetItemParam(header->hwndFrom, change->iItem) != kFolderRow) {
      wchar_t name[kPathChars];
      ListGetItemText(header->hwndFrom, change->iItem, 0, name, kPathChars);
      SetDlgItemTextW(m_hWnd, IDC_DT_TARGET_IMAGE, name);
      UpdatePathText();
      CheckCreate();
    }
    return 0;
  }
  return CDiskToolDlg::OnNotify(controlId, header);
}

LRESULT CCreateImageDlg::OnCtlColor(HDC, HWND, int) {
  return 0;  // the path text is no error note
}
