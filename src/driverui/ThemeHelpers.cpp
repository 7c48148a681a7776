#include "driverui/ThemeHelpers.h"

void EnableTabTexture(HWND window) {
  HMODULE ux = GetModuleHandleW(L"uxtheme.dll");
  if (!ux) return;
  typedef HRESULT(WINAPI * EnableTexture)(HWND, DWORD);
  EnableTexture enable =
      reinterpret_cast<EnableTexture>(GetProcAddress(ux, "EnableThemeDialogTexture"));
  if (enable) enable(window, 4);  // ETDT_ENABLETAB
}

bool ApplyExplorerTheme(HWND window, DWORD hostVersion) {
  if (LOBYTE(LOWORD(hostVersion)) <= 5) return false;
  HMODULE ux = GetModuleHandleW(L"uxtheme.dll");
  if (!ux) return false;
  typedef HRESULT(WINAPI * SetTheme)(HWND, LPCWSTR, LPCWSTR);
  SetTheme set = reinterpret_cast<SetTheme>(GetProcAddress(ux, "SetWindowTheme"));
  return set && SUCCEEDED(set(window, L"explorer", nullptr));
}
