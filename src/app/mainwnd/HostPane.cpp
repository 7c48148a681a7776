// The host pane: a folder of the computer's own file system.
#include <windows.h>
#include <commctrl.h>

#include <cwchar>
#include <string>

#include "app/mainwnd/FileListRows.h"
#include "app/mainwnd/FileManagerDlg.h"
#include "app/mainwnd/FilePanes.h"
#include "app/mainwnd/FileTypes.h"
#include "common/NoRedirect.h"
#include "common/PathUtil.h"
#include "common/SavedState.h"
#include "resources/ResourceIds.h"

namespace {

void SetHostEdit(HWND combo, const wchar_t* path) {
  COMBOBOXEXITEMW item = {};
  item.mask = CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
  item.iItem = -1;
  item.iImage = item.iSelectedImage = lstrlenW(path) <= 3 ? 0 : 1;
  SendMessageW(combo, CBEM_SETITEMW, 0, LPARAM(&item));
  item.mask = CBEIF_TEXT;
  item.pszText = const_cast<wchar_t*>(path);
  SendMessageW(combo, CBEM_SETITEMW, 0, LPARAM(&item));
}

}  // namespace

void FillHostList(HWND list, const wchar_t* folder) {
  ClearFileListRows(list);
  SetWindowTextW(list, folder);
  wchar_t pattern[kAddressChars];
  lstrcpynW(pattern, folder, kAddressChars);
  AppendPathPart(pattern, kAddressChars, L"*.*");
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileNoRedirect(pattern, &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (!lstrcmpW(found.cFileName, L".") || !lstrcmpW(found.cFileName, L"..")) continue;
      const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      AppendFileListRow(list, found.cFileName,
                        isFolder ? kItemFolder : ClassifyFileType(found.cFileName),
                        (uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow,
                        &found.ftLastWriteTime, found.dwFileAttributes);
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  if (lstrlenW(folder) > 3) {
    AppendFileListRow(list, L"..", kItemFolder, 0, nullptr, FILE_ATTRIBUTE_DIRECTORY);
  }
  SyncFileListCount(list);
}

void OpenHostListItem(CFileManagerDlg* window, int item) {
  HWND list = window->Item(IDC_HOST_LIST);
  wchar_t path[kAddressChars], name[kPathChars] = L"";
  GetWindowTextW(list, path, kAddressChars);
  LVITEMW lv = {};
  lv.pszText = name;
  lv.cchTextMax = kPathChars;
  SendMessageW(list, LVM_GETITEMTEXTW, item, LPARAM(&lv));
  if (!name[0]) return;
  if (lstrcmpW(name, L"..") == 0) {
    CutFileNamePart(path);
  } else {
    AppendPathPart(path, kAddressChars, name);
  }
  if (lstrlenW(path) == 2) lstrcatW(path, L"\\");
  FillHostList(list, path);
  HWND combo = window->Item(IDC_HOST_ADDRESS);
  SendMessageW(combo, CB_SETCURSEL, WPARAM(-1), 0);
  SetHostEdit(combo, path);
  SortFileList(list, -1);
}

namespace {

int InsertComboItem(HWND combo, int index, const wchar_t* text, int image, int indent) {
  COMBOBOXEXITEMW item = {};
  item.mask = CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE | CBEIF_INDENT;
  item.iItem = index;
  item.pszText = const_cast<wchar_t*>(text);
  item.iImage = item.iSelectedImage = image;
  item.iIndent = indent;
  return int(SendMessageW(combo, CBEM_INSERTITEMW, 0, LPARAM(&item)));
}

COMBOBOXEXITEMW ReadComboItem(HWND combo, int index, wchar_t* text, int size) {
  COMBOBOXEXITEMW item = {};
  item.mask = CBEIF_TEXT | CBEIF_INDENT;
  item.iItem = index;
  item.pszText = text;
  item.cchTextMax = size;
  text[0] = 0;
  SendMessageW(combo, CBEM_GETITEMW, 0, LPARAM(&item));
  return item;
}

}  // namespace

void FillHostAddressList(HWND combo, HWND hostList) {
  wchar_t folder[kAddressChars];
  GetWindowTextW(hostList, folder, kAddressChars);
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  wchar_t drives[100] = L"";
  GetLogicalDriveStringsW(100, drives);
  int selected = -1;
  for (const wchar_t* drive = drives; *drive; drive += lstrlenW(drive) + 1) {
    if (GetDriveTypeW(drive) != DRIVE_FIXED) continue;
    int index = InsertComboItem(combo, -1, drive, 0, 0);
    if (index < 0) continue;
    if (!lstrcmpiW(folder, drive)) selected = index;
    if (_wcsnicmp(folder, drive, 3) != 0 || lstrlenW(folder) <= 3) continue;
    // The folders of the path below the root, one level deeper each.
    wchar_t path[kAddressChars];
    lstrcpyW(path, folder + 3);
    int indent = 1;
    for (wchar_t* name = wcstok(path, L"\\"); name; name = wcstok(nullptr, L"\\")) {
      index = InsertComboItem(combo, index + 1, name, 1, indent++);
      selected = index;
    }
  }
  SendMessageW(combo, CB_SETCURSEL, WPARAM(selected), 0);
}

void GetComboItemPath(HWND combo, int index, wchar_t* out, int size) {
  wchar_t text[kPathChars];
  COMBOBOXEXITEMW item = ReadComboItem(combo, index, text, kPathChars);
  std::wstring path = text;
  int indent = item.iIndent;
  for (int i = index - 1; i >= 0 && indent > 0; --i) {
    COMBOBOXEXITEMW above = ReadComboItem(combo, i, text, kPathChars);
    if (above.iIndent >= indent) continue;
    wchar_t joined[kAddressChars];
    lstrcpynW(joined, text, kAddressChars);
    AppendPathPart(joined, kAddressChars, path.c_str());
    path = joined;
    indent = above.iIndent;
  }
  lstrcpynW(out, path.c_str(), size);
}

void NavigateHostAddress(CFileManagerDlg* window, HWND combo) {
  HWND bar = window->Item(IDC_HOST_ADDRESS);
  wchar_t path[kAddressChars] = L"";
  if (combo == reinterpret_cast<HWND>(-1)) {
    GetWindowTextW(reinterpret_cast<HWND>(SendMessageW(bar, CBEM_GETEDITCONTROL, 0, 0)), path,
                   kAddressChars);
  } else {
    const int selected = int(SendMessageW(bar, CB_GETCURSEL, 0, 0));
    if (selected >= 0) GetComboItemPath(bar, selected, path, kAddressChars);
  }
  SendMessageW(bar, CB_SETCURSEL, WPARAM(-1), 0);
  SetHostEdit(bar, path);
  HWND list = window->Item(IDC_HOST_LIST);
  FillHostList(list, path);
  SortFileList(list, -1);
  FocusFirstRow(list);
  SetFocus(list);
}

void LoadListViewStyle(const wchar_t* valueName, HWND list) {
  DWORD value = 0, size = sizeof value, type = 0;
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  const LONG result =
      RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS || type != REG_DWORD || (value & 3) == LVS_REPORT) return;
  const LONG_PTR style = GetWindowLongPtrW(list, GWL_STYLE);
  SetWindowLongPtrW(list, GWL_STYLE, (style & ~LONG_PTR(3)) | (value & 3));
}

DWORD SaveListViewStyle(HWND list, const wchar_t* valueName) {
  const DWORD value = DWORD(GetWindowLongPtrW(list, GWL_STYLE) & 3);
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    RegSetValueExW(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof value);
    RegCloseKey(key);
  }
  return value;
}
