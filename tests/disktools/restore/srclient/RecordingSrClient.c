/* A System Restore client library that only records its calls: one line per
   call, appended to the file named by VRO_SRCLIENT_LOG, as
   "<bits> <function> <volume>[ <flag>]". Built for both Windows
   architectures, so a line also tells which side of WOW64 made the call. */
#include <windows.h>
#include <stdio.h>

static void Record(const char* function, LPCWSTR volume, int flag, int hasFlag) {
  wchar_t path[MAX_PATH];
  char line[600];
  char name[400];
  DWORD n = GetEnvironmentVariableW(L"VRO_SRCLIENT_LOG", path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  if (!volume || !WideCharToMultiByte(CP_UTF8, 0, volume, -1, name, sizeof(name), NULL, NULL))
    lstrcpyA(name, "(null)");
  if (hasFlag)
    _snprintf(line, sizeof(line), "%d %s %s %d\n", (int)(sizeof(void*) * 8), function, name, flag);
  else
    _snprintf(line, sizeof(line), "%d %s %s\n", (int)(sizeof(void*) * 8), function, name);
  line[sizeof(line) - 1] = 0;
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD done;
  WriteFile(file, line, (DWORD)lstrlenA(line), &done, NULL);
  CloseHandle(file);
}

DWORD WINAPI DisableSR(LPCWSTR volume) {
  Record("DisableSR", volume, 0, 0);
  return ERROR_SUCCESS;
}

DWORD WINAPI EnableSREx(LPCWSTR volume, BOOL wait) {
  Record("EnableSREx", volume, wait, 1);
  return ERROR_SUCCESS;
}
