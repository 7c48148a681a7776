#include "UiTestUtil.h"

#include <cstdio>

#include "TestSupport.h"

namespace uitest {

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

HWND MakeHost(int width, int height) {
  static ATOM atom = [] {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VroTestHost";
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    return RegisterClassW(&wc);
  }();
  (void)atom;
  HWND host = CreateWindowExW(0, L"VroTestHost", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50, 50,
                              width, height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  Pump();
  return host;
}

bool Screenshot(const RECT& rect, const std::string& unixPath) {
  char geometry[64];
  snprintf(geometry, sizeof geometry, "%ldx%ld+%ld+%ld", rect.right - rect.left,
           rect.bottom - rect.top, rect.left, rect.top);
  return vt::Sh("import -window root -crop " + std::string(geometry) + " +repage " +
                vt::Q(unixPath)) == 0;
}

}  // namespace uitest
