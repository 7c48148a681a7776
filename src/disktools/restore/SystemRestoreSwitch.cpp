#include "disktools/restore/SystemRestoreSwitch.h"

#include <wctype.h>

#include "disktools/restore/SystemProtectionPolicy.h"
#include "disktools/restore/SystemRestoreTask.h"

const wchar_t kSystemRestoreKey[] =
    L"Software\\Microsoft\\Windows NT\\CurrentVersion\\SystemRestore";
const wchar_t kSessionIntervalValue[] = L"RPSessionInterval";

namespace {

typedef DWORD(WINAPI* EnableSRExFn)(LPCWSTR volume, BOOL wait);
typedef DWORD(WINAPI* DisableSRFn)(LPCWSTR volume);

// Calls the client library's switch for the volume. true when the library
// and its function were found and the function called; its own result is
// not a verdict on the switch.
bool CallRestoreClient(const SystemRestoreApi& api, const wchar_t* volume, int enable) {
  static const wchar_t kDll[] = L"\\srclient.dll";
  wchar_t path[MAX_PATH + 16];
  UINT n = api.GetSystemDirectoryW(path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  lstrcpyW(path + n, kDll);
  HMODULE library = api.LoadLibraryW(path);
  if (!library) return false;
  bool called = false;
  FARPROC proc = api.GetProcAddress(library, enable ? "EnableSREx" : "DisableSR");
  if (proc) {
    if (enable)
      reinterpret_cast<EnableSRExFn>(reinterpret_cast<void*>(proc))(volume, TRUE);
    else
      reinterpret_cast<DisableSRFn>(reinterpret_cast<void*>(proc))(volume);
    called = true;
  }
  api.FreeLibrary(library);
  return called;
}

}  // namespace

int IsWow64ProcessRunning(const SystemRestoreApi& api) {
  BOOL wow64 = FALSE;
  if (!api.IsWow64Process || !api.IsWow64Process(api.GetCurrentProcess(), &wow64)) return 0;
  return wow64 ? 1 : 0;
}

int SetRestoreRegistrySwitch(const SystemRestoreApi& api, int enable) {
  HKEY key = nullptr;
  if (api.RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSystemRestoreKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                          &key, nullptr) != ERROR_SUCCESS)
    return 0;
  DWORD value = enable ? 1 : 0;
  LONG rc = api.RegSetValueExW(key, kSessionIntervalValue, 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&value), sizeof(value));
  api.RegCloseKey(key);
  return rc == ERROR_SUCCESS ? 1 : 0;
}

bool FindVolumeOfLetter(const SystemRestoreApi& api, wchar_t letter, wchar_t* volume) {
  HANDLE search = api.FindFirstVolumeW(volume, kVolumeNameChars);
  if (search == INVALID_HANDLE_VALUE) return false;
  const wchar_t wanted = towupper(letter);
  bool found = false;
  do {
    wchar_t paths[kVolumeNameChars];
    DWORD needed = 0;
    // A list too long for the buffer cannot be read; that volume is passed by.
    if (api.GetVolumePathNamesForVolumeNameW(volume, paths, kVolumeNameChars, &needed) &&
        paths[0] && towupper(paths[0]) == wanted)
      found = true;
  } while (!found && api.FindNextVolumeW(search, volume, kVolumeNameChars));
  api.FindVolumeClose(search);
  if (!found) volume[0] = 0;
  return found;
}

int SwitchSystemRestoreHere(const SystemRestoreApi& api, wchar_t letter, int enable) {
  wchar_t volume[kVolumeNameChars];
  if (!FindVolumeOfLetter(api, letter, volume)) return 0;
  int result = CallRestoreClient(api, volume, enable) ? 1 : 0;

  // A thread already in a single-threaded apartment keeps it and its count.
  HRESULT init = api.CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ISystemProtectionPolicy* policy = nullptr;
  if (FAILED(api.CoCreateInstance(kClsidSystemProtectionPolicy, nullptr, CLSCTX_INPROC_SERVER,
                                  kIidSystemProtectionPolicy, reinterpret_cast<void**>(&policy))) ||
      !policy) {
    if (SUCCEEDED(init)) api.CoUninitialize();
    return result;
  }
  const DWORD value = enable ? 1 : 0;
  policy->SetVolumeSetting(kSystemRestoreClient, volume, kPolicySettingReplace, value);
  policy->SetVolumeSetting(kSecondProtectionClient, volume, kPolicySettingReplace, value);
  SetRestoreRegistrySwitch(api, enable);
  if (!enable) policy->ApplyVolume(volume, 1);
  if (EnsureSystemRestoreTask(api))
    SetSystemRestoreTaskEnabled(api, enable ? VARIANT_TRUE : VARIANT_FALSE);
  policy->Release();
  if (SUCCEEDED(init)) api.CoUninitialize();
  return 1;
}
