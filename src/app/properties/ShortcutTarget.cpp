// Targets of shortcut files inside the volume: Internet shortcuts, shell
// links and DOS program information files, read from the file's bytes.
#include <windows.h>
#include <intshcut.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cwchar>
#include <vector>

#include "app/properties/FilePropertyDlg.h"
#include "common/PathUtil.h"
#include "common/TempFiles.h"
#include "image/mount/MountedImage.h"

namespace {

// COM for the calling thread for the length of one resolution.
class ComScope {
 public:
  ComScope() : ok_(SUCCEEDED(CoInitialize(nullptr))) {}
  ~ComScope() {
    if (ok_) CoUninitialize();
  }

 private:
  bool ok_;
};

// A volume file copied to a new temporary host file with `extension`;
// false when that failed (nothing is left behind).
bool CopyToTemp(CMountedImage* image, const wchar_t* path, const wchar_t* prefix,
                const wchar_t* extension, wchar_t* out) {
  if (!CreateTempFileName(out, prefix)) return false;
  DeleteFileW(out);
  if (wcslen(out) + wcslen(extension) >= size_t(kPathChars)) return false;
  wcscat(out, extension);
  if (image->ExtractToHost(path, out, nullptr, nullptr)) return true;
  DeleteFileW(out);
  return false;
}

// The program path of a DOS program information file through the shell's
// PIF property functions.
bool ReadPifProgram(const wchar_t* file, wchar_t* target) {
  HMODULE shell = GetModuleHandleW(L"shell32.dll");
  if (!shell) shell = LoadLibraryW(L"shell32.dll");
  if (!shell) return false;
  typedef HANDLE(WINAPI * OpenFn)(LPCWSTR, HANDLE, UINT, UINT);
  typedef int(WINAPI * GetFn)(HANDLE, LPCSTR, LPVOID, int, UINT);
  typedef HANDLE(WINAPI * CloseFn)(HANDLE, UINT);
  OpenFn open = reinterpret_cast<OpenFn>(GetProcAddress(shell, MAKEINTRESOURCEA(9)));
  GetFn get = reinterpret_cast<GetFn>(GetProcAddress(shell, MAKEINTRESOURCEA(10)));
  CloseFn close = reinterpret_cast<CloseFn>(GetProcAddress(shell, MAKEINTRESOURCEA(13)));
  if (!open || !get || !close) return false;
  HANDLE props = open(file, nullptr, 0, 0);
  if (!props) return false;
  // The program group: title (30), program path (63), ... in 656 bytes.
  BYTE group[656] = {};
  bool found = false;
  if (get(props, "PRG", group, sizeof group, 0) > 0) {
    char program[64] = {};
    memcpy(program, group + 30, 63);
    if (program[0]) {
      found = MultiByteToWideChar(CP_ACP, 0, program, -1, target, kPathChars) > 0;
      target[kPathChars - 1] = 0;
    }
  }
  close(props, 0);
  return found;
}

}  // namespace

int LoadShortcutObject(CMountedImage* image, const wchar_t* path, IUnknown* object) {
  uint64_t size = 0;
  if (!image->GetFileInfo(path, nullptr, nullptr, nullptr, nullptr, &size) || !size ||
      size >= (uint64_t(1) << 32))
    return 0;
  std::vector<BYTE> bytes;
  if (size > 64u << 20) return 0;  // no shortcut is that large
  bytes.resize(size_t(size));
  if (image->ReadFile(path, bytes.data(), 0, size) != size) return 0;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  if (!block) return 0;
  int loaded = 0;
  if (void* target = GlobalLock(block)) {
    memcpy(target, bytes.data(), bytes.size());
    GlobalUnlock(block);
    IStream* stream = nullptr;
    if (SUCCEEDED(CreateStreamOnHGlobal(block, FALSE, &stream))) {
      IPersistStream* persist = nullptr;
      if (SUCCEEDED(
              object->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist)))) {
        loaded = SUCCEEDED(persist->Load(stream)) ? 1 : 0;
        persist->Release();
      }
      stream->Release();
    }
  }
  GlobalFree(block);
  return loaded;
}

int ResolveShortcutTarget(CMountedImage* image, const wchar_t* path, wchar_t* target) {
  target[0] = 0;
  const wchar_t* extension = FindExtensionPart(path);
  const bool url = !_wcsicmp(extension, L"url");
  if (url || !_wcsicmp(extension, L"lnk")) {
    ComScope com;
    IUniformResourceLocatorW* locator = nullptr;
    bool locatorLoaded = false;
    if (SUCCEEDED(CoCreateInstance(CLSID_InternetShortcut, nullptr, CLSCTX_ALL,
                                   IID_IUniformResourceLocatorW,
                                   reinterpret_cast<void**>(&locator)))) {
      locatorLoaded = LoadShortcutObject(image, path, locator) != 0;
      wchar_t* text = nullptr;
      if (locatorLoaded && SUCCEEDED(locator->GetURL(&text)) && text) {
        lstrcpynW(target, text, kPathChars);
        CoTaskMemFree(text);
      }
      locator->Release();
      if (target[0]) return 1;
    }
    if (url && !locatorLoaded) {
      // The profile functions read host files: the URL comes from a copy.
      wchar_t copy[kPathChars];
      if (CopyToTemp(image, path, L"url", L".url", copy)) {
        GetPrivateProfileStringW(L"InternetShortcut", L"URL", L"", target, kPathChars, copy);
        DeleteFileW(copy);
        if (target[0]) return 1;
      }
    }
    IShellLinkW* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_ALL, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link)))) {
      if (LoadShortcutObject(image, path, link)) {
        if (FAILED(link->GetPath(target, kPathChars, nullptr, SLGP_UNCPRIORITY))) target[0] = 0;
        if (!target[0]) {
          PIDLIST_ABSOLUTE list = nullptr;
          if (SUCCEEDED(link->GetIDList(&list)) && list) {
            if (!SHGetPathFromIDListW(list, target)) {
              target[0] = 0;
              IShellItem* item = nullptr;
              if (SUCCEEDED(SHCreateShellItem(nullptr, nullptr, list, &item)) && item) {
                wchar_t* name = nullptr;
                if (SUCCEEDED(item->GetDisplayName(SIGDN_DESKTOPABSOLUTEPARSING, &name)) && name) {
                  lstrcpynW(target, name, kPathChars);
                  CoTaskMemFree(name);
                }
                item->Release();
              }
            }
            CoTaskMemFree(list);
          }
        }
      }
      link->Release();
    }
    return target[0] ? 1 : 0;
  }
  if (!_wcsicmp(extension, L"pif")) {
    wchar_t copy[kPathChars];
    if (!CopyToTemp(image, path, L"dos", L".pif", copy)) return 0;
    const bool found = ReadPifProgram(copy, target);
    DeleteFileW(copy);
    if (!found) target[0] = 0;
    return found ? 1 : 0;
  }
  return 0;
}
