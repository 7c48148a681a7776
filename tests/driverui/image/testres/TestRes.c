/* A resource library for the driver window tests: one string (1001) and a
   version resource naming "Microsoft Corporation" and the setup package's
   original file name "VroSetup.exe". Its entry point leaves a
   marker file in the temporary folder, so a test can tell whether the
   library was ever run rather than read as data. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t path[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH - 32, path);
    if (length) {
      lstrcatW(path, L"vro-testres-ran.txt");
      HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
  }
  return TRUE;
}
