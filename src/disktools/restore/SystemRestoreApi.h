// The platform calls of System Restore switching, gathered in one table so
// that tests can put in their own.
#pragma once
#include <windows.h>
#include <shellapi.h>

struct SystemRestoreApi {
  // IsWow64Process of kernel32.dll, looked up at run time; null when the
  // system lacks it.
  BOOL(WINAPI* IsWow64Process)(HANDLE process, PBOOL wow64);
  HANDLE(WINAPI* GetCurrentProcess)();

  // The companion program: writing it out, running it and removing it.
  DWORD(WINAPI* GetTempPathW)(DWORD size, LPWSTR buffer);
  HANDLE(WINAPI* CreateFileW)
  (LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
   DWORD flags, HANDLE hTemplate);
  BOOL(WINAPI* WriteFile)(HANDLE file, LPCVOID data, DWORD size, LPDWORD done, LPOVERLAPPED ov);
  BOOL(WINAPI* ReadFile)(HANDLE file, LPVOID data, DWORD size, LPDWORD done, LPOVERLAPPED ov);
  BOOL(WINAPI* FlushFileBuffers)(HANDLE file);
  BOOL(WINAPI* CloseHandle)(HANDLE handle);
  BOOL(WINAPI* DeleteFileW)(LPCWSTR name);
  BOOL(WINAPI* ShellExecuteExW)(SHELLEXECUTEINFOW* info);
  DWORD(WINAPI* WaitForSingleObject)(HANDLE handle, DWORD ms);
  BOOL(WINAPI* GetExitCodeProcess)(HANDLE process, LPDWORD code);

  // The volume of a drive letter.
  HANDLE(WINAPI* FindFirstVolumeW)(LPWSTR name, DWORD size);
  BOOL(WINAPI* FindNextVolumeW)(HANDLE search, LPWSTR name, DWORD size);
  BOOL(WINAPI* FindVolumeClose)(HANDLE search);
  BOOL(WINAPI* GetVolumePathNamesForVolumeNameW)
  (LPCWSTR volume, LPWSTR names, DWORD size, PDWORD needed);

  // The System Restore client library.
  UINT(WINAPI* GetSystemDirectoryW)(LPWSTR buffer, UINT size);
  HMODULE(WINAPI* LoadLibraryW)(LPCWSTR path);
  FARPROC(WINAPI* GetProcAddress)(HMODULE module, LPCSTR name);
  BOOL(WINAPI* FreeLibrary)(HMODULE module);

  // COM: the policy object and the task service.
  HRESULT(WINAPI* CoInitializeEx)(LPVOID reserved, DWORD model);
  void(WINAPI* CoUninitialize)();
  HRESULT(WINAPI* CoCreateInstance)
  (REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out);

  // The registry switch.
  LONG(WINAPI* RegCreateKeyExW)
  (HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR cls, DWORD options, REGSAM sam,
   LPSECURITY_ATTRIBUTES sa, PHKEY result, LPDWORD disposition);
  LONG(WINAPI* RegSetValueExW)
  (HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
  LONG(WINAPI* RegCloseKey)(HKEY key);
};

// The system's own functions.
const SystemRestoreApi& SystemSystemRestoreApi();
