#include "ui/dragdrop/OleDrag.h"

#include <commctrl.h>

#include <string>

#include "common/PathUtil.h"

namespace {

const UINT kBlockFlags = GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_DDESHARE;
const int kShDoDragDropOrdinal = 88;

typedef HRESULT(WINAPI* ShDoDragDropFn)(HWND, IDataObject*, IDropSource*, DWORD, DWORD*);

BOOL StoreBlock(IDataObject* data, const wchar_t* formatName, const void* bytes, SIZE_T size) {
  HGLOBAL block = GlobalAlloc(kBlockFlags, size);
  if (!block) return FALSE;
  void* p = GlobalLock(block);
  if (!p) {
    GlobalFree(block);
    return FALSE;
  }
  memcpy(p, bytes, size);
  GlobalUnlock(block);
  FORMATETC format = {CLIPFORMAT(RegisterClipboardFormatW(formatName)), nullptr, DVASPECT_CONTENT,
                      -1, TYMED_HGLOBAL};
  STGMEDIUM medium = {TYMED_HGLOBAL};
  medium.hGlobal = block;
  if (SUCCEEDED(data->SetData(&format, &medium, TRUE))) return TRUE;
  GlobalFree(block);
  return FALSE;
}

}  // namespace

BOOL AddFileNameFormats(IDataObject* data, const wchar_t* path) {
  if (!data || !path) return FALSE;
  char ansi[MAX_PATH * 2] = "";
  WideCharToMultiByte(CP_ACP, 0, path, -1, ansi, sizeof ansi, nullptr, nullptr);
  BOOL stored = StoreBlock(data, CFSTR_FILENAMEA, ansi, strlen(ansi) + 1);
  stored |= StoreBlock(data, CFSTR_FILENAMEW, path, (wcslen(path) + 1) * sizeof(wchar_t));
  return stored;
}

BOOL SetDropDescription(IDataObject* data, DWORD effect, const wchar_t* message) {
  if (!data) return FALSE;
  DROPDESCRIPTION description = {};
  switch (effect) {
    case DROPEFFECT_COPY:
      description.type = DROPIMAGE_COPY;
      break;
    case DROPEFFECT_MOVE:
      description.type = DROPIMAGE_MOVE;
      break;
    case DROPEFFECT_LINK:
      description.type = DROPIMAGE_LINK;
      break;
    default:
      description.type = DROPIMAGE_NONE;
      break;
  }
  if (message) lstrcpynW(description.szMessage, message, MAX_PATH);
  return StoreBlock(data, CFSTR_DROPDESCRIPTION, &description, sizeof description);
}

int StartOleDrag(HWND window, const wchar_t* paths, int length, OleDropCallback callback,
                 LPARAM context) {
  HMODULE shell = GetModuleHandleW(L"shell32.dll");
  if (!shell) shell = LoadLibraryW(L"shell32.dll");
  ShDoDragDropFn doDragDrop =
      shell ? reinterpret_cast<ShDoDragDropFn>(reinterpret_cast<void*>(
                  GetProcAddress(shell, MAKEINTRESOURCEA(kShDoDragDropOrdinal))))
            : nullptr;
  if (!doDragDrop) return 0;
  CDataObject* data = new CDataObject(window, paths, length, callback, context);
  CDropSource* source = new CDropSource(data);
  DWORD effect = DROPEFFECT_NONE;
  HRESULT hr = doDragDrop(window, data, source, DROPEFFECT_COPY, &effect);
  delete source;  // lets its data object go first
  delete data;
  return hr == DRAGDROP_S_DROP ? 1 : 0;
}

int BeginListDrag(HWND list, const wchar_t* folder, OleDropCallback callback, LPARAM context) {
  std::wstring paths;
  wchar_t name[kPathChars];
  for (int i = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED)); i >= 0;
       i = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(i), LVNI_SELECTED))) {
    LVITEMW item = {};
    item.iSubItem = 0;
    item.pszText = name;
    item.cchTextMax = kPathChars;
    name[0] = 0;
    SendMessageW(list, LVM_GETITEMTEXTW, WPARAM(i), LPARAM(&item));
    if (!name[0] || !lstrcmpW(name, L".") || !lstrcmpW(name, L"..")) continue;
    wchar_t path[kPathChars] = L"";
    if (folder) {
      lstrcpynW(path, folder, kPathChars);
      AppendPathPart(path, kPathChars, name);
    } else {
      lstrcpynW(path, name, kPathChars);
    }
    paths += path;
    paths += L'\0';
  }
  if (paths.empty()) return 0;
  paths += L'\0';
  return StartOleDrag(list, paths.c_str(), int(paths.size()), callback, context);
}
