#include "app/mainwnd/Clipboard.h"

#include <commctrl.h>
#include <shlobj.h>

#include "app/mainwnd/FileManagerDlg.h"
#include "app/mainwnd/FilePanes.h"
#include "app/mainwnd/FileWorkers.h"
#include "app/mainwnd/OperationFailures.h"
#include "common/FileTree.h"
#include "common/PathUtil.h"
#include "common/TempFiles.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"

namespace {

const wchar_t kDropEffectFormat[] = L"Preferred DropEffect";

HGLOBAL MakeDropEffect(DWORD effect) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_SHARE, sizeof(DWORD));
  if (!block) return nullptr;
  *static_cast<DWORD*>(GlobalLock(block)) = effect;
  GlobalUnlock(block);
  return block;
}

HGLOBAL MakeDropFiles(const std::vector<std::wstring>& paths) {
  size_t characters = 0;
  for (const std::wstring& path : paths) characters += path.size() + 1;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_SHARE,
                              sizeof(DROPFILES) + 2 * (characters + 1));
  if (!block) return nullptr;
  DROPFILES* header = static_cast<DROPFILES*>(GlobalLock(block));
  header->pFiles = sizeof(DROPFILES);
  header->fWide = TRUE;
  wchar_t* out = reinterpret_cast<wchar_t*>(header + 1);
  for (const std::wstring& path : paths) {
    lstrcpyW(out, path.c_str());
    out += path.size() + 1;
  }
  GlobalUnlock(block);
  return block;
}

// The selected items' names other than "..".
std::vector<std::wstring> SelectedNames(HWND list) {
  std::vector<std::wstring> names;
  for (int i = -1; (i = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(i), LVNI_SELECTED))) >= 0;) {
    wchar_t name[kPathChars] = L"";
    LVITEMW lv = {};
    lv.pszText = name;
    lv.cchTextMax = kPathChars;
    SendMessageW(list, LVM_GETITEMTEXTW, i, LPARAM(&lv));
    if (name[0] && lstrcmpW(name, L"..") != 0) names.push_back(name);
  }
  return names;
}

}  // namespace

int PutFilesOnClipboard(HWND owner, const std::vector<std::wstring>& paths) {
  if (paths.empty()) return 0;
  const UINT effectFormat = RegisterClipboardFormatW(kDropEffectFormat);
  HGLOBAL effect = MakeDropEffect(DROPEFFECT_COPY);
  HGLOBAL files = MakeDropFiles(paths);
  if (!effect || !files || !OpenClipboard(owner)) {
    if (effect) GlobalFree(effect);
    if (files) GlobalFree(files);
    return 0;
  }
  EmptyClipboard();
  if (!SetClipboardData(CF_HDROP, files)) GlobalFree(files);
  if (!SetClipboardData(effectFormat, effect)) GlobalFree(effect);
  CloseClipboard();
  return 1;
}

void CopyHostSelectionToClipboard(HWND hostList) {
  wchar_t folder[kAddressChars];
  GetWindowTextW(hostList, folder, kAddressChars);
  std::vector<std::wstring> paths;
  for (const std::wstring& name : SelectedNames(hostList)) {
    wchar_t path[kAddressChars];
    lstrcpyW(path, folder);
    AppendPathPart(path, kAddressChars, name.c_str());
    paths.push_back(path);
  }
  PutFilesOnClipboard(hostList, paths);
}

void CopyImageSelectionToClipboard(HWND imageList, CFileManagerDlg* window) {
  const std::vector<std::wstring> names = SelectedNames(imageList);
  wchar_t staging[kPathChars];
  if (names.empty() || !window->m_image || !CreateTempFileName(staging, L"Copy$")) return;
  DeleteFileW(staging);
  CreateDirectoryW(staging, nullptr);
  wchar_t address[kAddressChars], folder[kAddressChars];
  GetWindowTextW(imageList, address, kAddressChars);
  SplitImageAddress(address, nullptr, 0, folder, kAddressChars);
  std::vector<std::wstring> paths;
  OperationFailures failures(IDS_COPY_OUT_FAILED);
  for (const std::wstring& name : names) {
    wchar_t source[kAddressChars], target[kAddressChars];
    lstrcpyW(source, folder);
    AppendPathPart(source, kAddressChars, name.c_str());
    lstrcpyW(target, staging);
    AppendPathPart(target, kAddressChars, name.c_str());
    if (window->m_image->ExtractToHost(source, target, nullptr, nullptr)) {
      paths.push_back(target);
    } else {
      failures.Add(source, GetLastError());
    }
  }
  if (PutFilesOnClipboard(imageList, paths)) {
    lstrcpyW(window->m_stagingFolder, staging);
  } else {
    DeleteTree(staging);
  }
  TellOperation(window->m_hWnd, failures);
}

DWORD GetClipboardDropEffect(HWND owner) {
  if (!OpenClipboard(owner)) return 0;
  DWORD effect = 0;
  HDROP drop = static_cast<HDROP>(GetClipboardData(CF_HDROP));
  if (drop && DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) > 0) {
    effect = DROPEFFECT_COPY;
    HGLOBAL block = GetClipboardData(RegisterClipboardFormatW(kDropEffectFormat));
    if (block && GlobalSize(block) >= sizeof(DWORD)) {
      effect = *static_cast<DWORD*>(GlobalLock(block));
      GlobalUnlock(block);
    }
  }
  CloseClipboard();
  return effect;
}

std::vector<std::wstring> ReadClipboardFilesToPaste(HWND owner) {
  std::vector<std::wstring> files;
  if (!OpenClipboard(owner)) return files;
  HDROP drop = static_cast<HDROP>(GetClipboardData(CF_HDROP));
  DWORD effect = DROPEFFECT_COPY;
  HGLOBAL block = GetClipboardData(RegisterClipboardFormatW(kDropEffectFormat));
  if (block && GlobalSize(block) >= sizeof(DWORD)) {
    effect = *static_cast<DWORD*>(GlobalLock(block));
    GlobalUnlock(block);
  }
  if (drop && (effect & (DROPEFFECT_COPY | DROPEFFECT_MOVE))) {
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
      wchar_t path[kPathChars];
      if (DragQueryFileW(drop, i, path, kPathChars)) files.push_back(path);
    }
  }
  CloseClipboard();
  return files;
}

namespace {

// The clipboard's files as one path list (each NUL-ended, then an empty one).
std::wstring PastePathList(HWND owner) {
  std::wstring list;
  for (const std::wstring& path : ReadClipboardFilesToPaste(owner)) {
    list += path;
    list += L'\0';
  }
  list += L'\0';
  return list;
}

}  // namespace

DWORD PasteIntoHostPane(CFileManagerDlg* window, HWND hostList) {
  const std::wstring paths = PastePathList(hostList);
  if (!paths[0]) return 0;
  int answer = 0;
  return DropIntoHostPane(hostList, paths.c_str(), nullptr, 0, window, TRUE, &answer);
}

DWORD PasteIntoImagePane(CFileManagerDlg* window, HWND imageList) {
  const std::wstring paths = PastePathList(imageList);
  if (!paths[0]) return 0;
  int answer = 0;
  return DropIntoImagePane(imageList, paths.c_str(), nullptr, 0, window, TRUE, &answer);
}
