#include "UiTestUtil.h"

#include <cstdio>
#include <mutex>
#include <vector>

#include "TestSupport.h"

namespace uitest {

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

namespace {

struct Signal {
  std::function<bool(HWND, UINT, WPARAM, LPARAM)> when;
  std::wstring marker;
};
std::vector<Signal>& Armed() {
  static std::vector<Signal> armed;
  return armed;
}

void Check(HWND window, UINT message, WPARAM w, LPARAM l) {
  auto& armed = Armed();
  for (size_t i = 0; i < armed.size();) {
    if (armed[i].when(window, message, w, l)) {
      HANDLE f = CreateFileW(armed[i].marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
      if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
      armed.erase(armed.begin() + i);
    } else {
      ++i;
    }
  }
}

LRESULT CALLBACK SentHook(int code, WPARAM w, LPARAM l) {
  if (code == HC_ACTION) {
    const CWPSTRUCT* m = reinterpret_cast<const CWPSTRUCT*>(l);
    Check(m->hwnd, m->message, m->wParam, m->lParam);
  }
  return CallNextHookEx(nullptr, code, w, l);
}

LRESULT CALLBACK PostedHook(int code, WPARAM w, LPARAM l) {
  if (code == HC_ACTION && w == PM_REMOVE) {
    const MSG* m = reinterpret_cast<const MSG*>(l);
    Check(m->hwnd, m->message, m->wParam, m->lParam);
  }
  return CallNextHookEx(nullptr, code, w, l);
}

}  // namespace

std::string SignalWhen(std::function<bool(HWND, UINT, WPARAM, LPARAM)> when) {
  static thread_local bool hooked = false;
  if (!hooked) {
    SetWindowsHookExW(WH_CALLWNDPROC, SentHook, nullptr, GetCurrentThreadId());
    SetWindowsHookExW(WH_GETMESSAGE, PostedHook, nullptr, GetCurrentThreadId());
    hooked = true;
  }
  static int count = 0;
  CreateDirectoryW(vt::ToWin(vt::BinaryDirUnix() + "/testtmp").c_str(), nullptr);
  std::string unix = vt::BinaryDirUnix() + "/testtmp/signal-" +
                     std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count);
  std::wstring win = vt::ToWin(unix);
  DeleteFileW(win.c_str());
  Armed().push_back({std::move(when), win});
  return unix;
}

std::string AwaitSh(const std::string& marker) {
  return "for i in $(seq 600); do [ -e " + vt::Q(marker) + " ] && break; sleep 0.05; done; rm -f " +
         vt::Q(marker);
}

std::string ClickUntilSh(const std::string& click, const std::string& marker) {
  return "for t in $(seq 15); do xdotool " + click + "; for i in $(seq 40); do [ -e " +
         vt::Q(marker) + " ] && break 2; sleep 0.05; done; done; rm -f " + vt::Q(marker);
}

std::string SignalClick(HWND window) {
  return SignalWhen([window](HWND w, UINT m, WPARAM, LPARAM) {
    return (m == WM_LBUTTONDOWN || m == WM_NCLBUTTONDOWN) && (w == window || IsChild(window, w));
  });
}

std::string SignalMenu() {
  return SignalWhen([](HWND, UINT m, WPARAM, LPARAM) { return m == WM_INITMENUPOPUP; });
}

std::string SignalActivated(HWND except) {
  return SignalWhen([except](HWND w, UINT m, WPARAM wp, LPARAM) {
    return m == WM_ACTIVATE && LOWORD(wp) != WA_INACTIVE && w != except;
  });
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
