#include "disktools/restore/SystemRestoreApi.h"

namespace {

typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE, PBOOL);

IsWow64ProcessFn LookUpIsWow64Process() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  return kernel ? reinterpret_cast<IsWow64ProcessFn>(
                      reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process")))
                : nullptr;
}

}  // namespace

const SystemRestoreApi& SystemSystemRestoreApi() {
  static const SystemRestoreApi api = {
      LookUpIsWow64Process(),
      ::GetCurrentProcess,
      ::GetTempPathW,
      ::CreateFileW,
      ::WriteFile,
      ::ReadFile,
      ::FlushFileBuffers,
      ::CloseHandle,
      ::DeleteFileW,
      ::ShellExecuteExW,
      ::WaitForSingleObject,
      ::GetExitCodeProcess,
      ::FindFirstVolumeW,
      ::FindNextVolumeW,
      ::FindVolumeClose,
      ::GetVolumePathNamesForVolumeNameW,
      ::GetSystemDirectoryW,
      ::LoadLibraryW,
      ::GetProcAddress,
      ::FreeLibrary,
      ::CoInitializeEx,
      ::CoUninitialize,
      ::CoCreateInstance,
      ::RegCreateKeyExW,
      ::RegSetValueExW,
      ::RegCloseKey,
  };
  return api;
}
