#include "app/properties/PageTheme.h"

void EnablePageTabTexture(HWND window) {
  HMODULE theme = GetModuleHandleW(L"uxtheme.dll");
  typedef HRESULT(WINAPI * EnableFn)(HWND, DWORD);
  EnableFn enable =
      theme ? reinterpret_cast<EnableFn>(GetProcAddress(theme, "EnableThemeDialogTexture"))
            : nullptr;
  if (enable) enable(window, 6);  // ETDT_ENABLETAB
}

bool ApplyListExplorerTheme(HWND window, DWORD windowsVersion) {
  if (LOBYTE(LOWORD(windowsVersion)) < 6) return false;
  HMODULE theme = GetModuleHandleW(L"uxtheme.dll");
  typedef HRESULT(WINAPI * SetThemeFn)(HWND, LPCWSTR, LPCWSTR);
  SetThemeFn set =
      theme ? reinterpret_cast<SetThemeFn>(GetProcAddress(theme, "SetWindowTheme")) : nullptr;
  return set && SUCCEEDED(set(window, L"explorer", nullptr));
}
