#include "ui/FileDialogs.h"

#include <commdlg.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "common/PathUtil.h"

namespace {

const DWORD kSaveFlags = OFN_READONLY | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_EXPLORER |
                         OFN_LONGNAMES | OFN_ENABLESIZING;
const DWORD kPickFolderOptions =
    FOS_NOCHANGEDIR | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST | FOS_FILEMUSTEXIST;
// Folders of the file system only (not BIF_BROWSEFORCOMPUTER, with which no
// folder could be chosen).
const UINT kBrowseFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;

OPENFILENAMEW FileRecord(HINSTANCE instance, HWND owner, wchar_t* file, DWORD size,
                         const wchar_t* filter) {
  OPENFILENAMEW ofn = {};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.hInstance = instance;
  ofn.lpstrFilter = filter;
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file;
  ofn.nMaxFile = size;
  return ofn;
}

// The item-id list of the start folder, through a shell link; the computer
// folder when that gives nothing.
PIDLIST_ABSOLUTE StartFolderIdList(const wchar_t* folder) {
  PIDLIST_ABSOLUTE list = nullptr;
  IShellLinkW* link = nullptr;
  if (folder && *folder &&
      SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link)))) {
    if (SUCCEEDED(link->SetPath(folder))) link->GetIDList(&list);
    link->Release();
  }
  if (!list) SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &list);
  return list;
}

int PickWithFileDialog(IFileOpenDialog* dialog, HWND owner, const wchar_t* start, wchar_t* out) {
  int picked = 0;
  dialog->SetOptions(kPickFolderOptions);
  if (PIDLIST_ABSOLUTE list = StartFolderIdList(start)) {
    IShellItem* item = nullptr;
    if (SUCCEEDED(SHCreateShellItem(nullptr, nullptr, list, &item))) {
      dialog->SetFolder(item);
      dialog->SetDefaultFolder(item);
      item->Release();
    }
    CoTaskMemFree(list);
  }
  if (SUCCEEDED(dialog->Show(owner))) {
    IShellItem* result = nullptr;
    if (SUCCEEDED(dialog->GetResult(&result))) {
      wchar_t* path = nullptr;
      if (SUCCEEDED(result->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
        lstrcpynW(out, path, kPathChars);
        CoTaskMemFree(path);
        picked = 1;
      }
      result->Release();
    }
  }
  return picked;
}

int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED && data && *reinterpret_cast<const wchar_t*>(data))
    SendMessageW(window, BFFM_SETSELECTIONW, TRUE, data);
  return 0;
}

}  // namespace

BOOL ShowOpenFileDialog(HINSTANCE instance, HWND owner, wchar_t* file, DWORD fileSize,
                        const wchar_t* filter, const wchar_t* defaultExtension, LPARAM customData,
                        DWORD flags) {
  OPENFILENAMEW ofn = FileRecord(instance, owner, file, fileSize, filter);
  ofn.lpstrDefExt = defaultExtension;
  ofn.lCustData = customData;
  ofn.Flags = flags;
  return GetOpenFileNameW(&ofn);
}

BOOL ShowSaveFileDialog(HINSTANCE instance, HWND owner, wchar_t* file, const wchar_t* filter) {
  OPENFILENAMEW ofn = FileRecord(instance, owner, file, kPathChars, filter);
  ofn.lpstrDefExt = L"img";
  ofn.Flags = kSaveFlags;
  return GetSaveFileNameW(&ofn);
}

int PickFolder(HWND owner, const wchar_t* startFolder, wchar_t* out) {
  IFileOpenDialog* dialog = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IFileOpenDialog, reinterpret_cast<void**>(&dialog)))) {
    int picked = PickWithFileDialog(dialog, owner, startFolder, out);
    dialog->Release();
    return picked;
  }
  BROWSEINFOW info = {};
  info.hwndOwner = owner;
  SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, const_cast<PIDLIST_ABSOLUTE*>(&info.pidlRoot));
  info.ulFlags = kBrowseFlags;
  info.lpfn = BrowseCallback;
  info.lParam = LPARAM(startFolder);
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
  int picked = 0;
  if (chosen) {
    wchar_t path[MAX_PATH];
    if (SHGetPathFromIDListW(chosen, path)) {
      lstrcpynW(out, path, kPathChars);
      picked = 1;
    }
    CoTaskMemFree(chosen);
  }
  CoTaskMemFree(const_cast<PIDLIST_ABSOLUTE>(info.pidlRoot));
  return picked;
}
