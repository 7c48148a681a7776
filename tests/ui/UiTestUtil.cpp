#include "UiTestUtil.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <sstream>
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
  bool pointAt;
};

// "x y xwindow": the middle of the caption of the top-level window that
// holds `window`, and its X window.
std::string PointerTarget(HWND window) {
  HWND top = GetAncestor(window, GA_ROOT);
  RECT frame;
  GetWindowRect(top, &frame);
  return std::to_string((frame.left + frame.right) / 2) + " " +
         std::to_string(frame.top + GetSystemMetrics(SM_CYCAPTION) / 2 + 2) + " " +
         std::to_string(XWindowOf(top));
}

// Shell text that moves the pointer to x y until the display has the X
// window w there (up to 15 s).
const char kPointSh[] =
    "for i in $(seq 150); do xdotool mousemove $x $y; [ \"$(xdotool getmouselocation | "
    "sed -n 's/.*window:\\([0-9]*\\).*/\\1/p')\" = \"$w\" ] && break; sleep 0.1; done";
std::vector<Signal>& Armed() {
  static std::vector<Signal> armed;
  return armed;
}

void Check(HWND window, UINT message, WPARAM w, LPARAM l) {
  auto& armed = Armed();
  for (size_t i = 0; i < armed.size();) {
    if (armed[i].when(window, message, w, l)) {
      // Written whole under another name first: the script reads it once
      // it is there.
      const std::string target = armed[i].pointAt ? PointerTarget(window) : "";
      const std::wstring written = armed[i].marker + L".tmp";
      vt::WriteAll(written, target.data(), target.size());
      MoveFileExW(written.c_str(), armed[i].marker.c_str(), MOVEFILE_REPLACE_EXISTING);
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

std::string SignalWhen(std::function<bool(HWND, UINT, WPARAM, LPARAM)> when, bool pointAt) {
  static thread_local bool hooked = false;
  if (!hooked) {
    SetWindowsHookExW(WH_CALLWNDPROC, SentHook, nullptr, GetCurrentThreadId());
    SetWindowsHookExW(WH_GETMESSAGE, PostedHook, nullptr, GetCurrentThreadId());
    hooked = true;
  }
  static int count = 0;
  CreateDirectoryW(vt::ToWin(vt::BinaryDirUnix() + "/testtmp").c_str(), nullptr);
  // The program's name too, as in vt::Sh's files.
  std::string unix = vt::BinaryDirUnix() + "/testtmp/signal-" + vt::ExeName() + "-" +
                     std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count);
  std::wstring win = vt::ToWin(unix);
  DeleteFileW(win.c_str());
  Armed().push_back({std::move(when), win, pointAt});
  return unix;
}

std::string AwaitSh(const std::string& marker) {
  const std::string m = vt::Q(marker);
  return "for i in $(seq 600); do [ -e " + m + " ] && break; sleep 0.05; done; if [ -s " + m +
         " ]; then read x y w < " + m + "; " + kPointSh + "; fi; rm -f " + m;
}

std::string PointerOverSh(HWND window) {
  std::istringstream target(PointerTarget(window));
  std::string x, y, w;
  target >> x >> y >> w;
  return "x=" + x + " y=" + y + " w=" + w + "; " + kPointSh;
}

unsigned long XWindowOf(HWND window) {
  return static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(
      GetPropA(GetAncestor(window, GA_ROOT), "__wine_x11_whole_window")));
}

unsigned long XWindowUnderPointer() {
  std::string out;
  if (vt::Sh("xdotool getmouselocation", &out) != 0) return 0;
  const size_t at = out.find("window:");
  return at == std::string::npos ? 0 : strtoul(out.c_str() + at + 7, nullptr, 10);
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
  return SignalWhen(
      [except](HWND w, UINT m, WPARAM wp, LPARAM) {
        return m == WM_ACTIVATE && LOWORD(wp) != WA_INACTIVE && w != except;
      },
      true);
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

namespace {

std::string Utf8(const std::wstring& text) {
  char out[1024] = "";
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out, sizeof out, nullptr, nullptr);
  return out;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = L"";
  GetClassNameW(window, name, 64);
  return name;
}

std::wstring TextOf(HWND window) {
  wchar_t text[1024] = L"";
  GetWindowTextW(window, text, 1024);
  return text;
}

// The text's size in the control's font; `width` > 0 wraps at it.
SIZE Measure(HWND control, const std::wstring& text, int width, UINT format) {
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, HFONT(SendMessageW(control, WM_GETFONT, 0, 0)));
  RECT need = {0, 0, width, 0};
  DrawTextW(dc, text.c_str(), -1, &need, DT_CALCRECT | format);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return {need.right, need.bottom};
}

}  // namespace

std::vector<std::string> TextsThatDoNotFit(HWND dialog) {
  std::vector<std::string> faults;
  RECT area;
  GetClientRect(dialog, &area);
  const bool framed = (GetWindowLongW(dialog, GWL_STYLE) & WS_THICKFRAME) != 0;
  std::vector<std::pair<HWND, RECT>> groups;
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) != L"Button" ||
        (GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) != BS_GROUPBOX)
      continue;
    RECT rc;
    GetWindowRect(child, &rc);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rc), 2);
    groups.push_back({child, rc});
  }
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    // The style bit: the dialog itself may be hidden.
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if (!(style & WS_VISIBLE)) continue;
    const std::wstring cls = ClassOf(child), text = TextOf(child);
    const std::string name = "control " + std::to_string(GetDlgCtrlID(child)) + " \"" +
                             Utf8(text) + "\"";
    RECT rc, client;
    GetWindowRect(child, &rc);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rc), 2);
    GetClientRect(child, &client);
    // A window that can be resized lays its controls out itself.
    if (!framed && (rc.left < area.left || rc.top < area.top || rc.right > area.right ||
                    (rc.bottom > area.bottom && cls != L"ComboBox" && cls != L"ComboBoxEx32")))
      faults.push_back(name + " leaves the dialog");
    for (const auto& group : groups) {
      const RECT& box = group.second;
      if (group.first == child || rc.left < box.left || rc.left >= box.right ||
          rc.top < box.top || rc.top >= box.bottom)
        continue;
      if (rc.right > box.right || rc.bottom > box.bottom)
        faults.push_back(name + " leaves its group box");
    }
    if (cls == L"Static" && !text.empty() && (style & SS_TYPEMASK) <= SS_RIGHT) {
      const SIZE need = Measure(child, text, client.right, DT_WORDBREAK | DT_EXPANDTABS |
                                                              ((style & SS_NOPREFIX) ? DT_NOPREFIX : 0));
      if (need.cx > client.right || need.cy > client.bottom) faults.push_back(name + " is cut");
    } else if (cls == L"Button" && !text.empty()) {
      const LONG type = style & BS_TYPEMASK;
      if (type == BS_GROUPBOX) continue;
      const bool box = type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON;
      const int margin = box ? GetSystemMetrics(SM_CXMENUCHECK) + 2 : 8;
      const SIZE need =
          (style & BS_MULTILINE) ? Measure(child, text, client.right - margin, DT_WORDBREAK)
                                 : Measure(child, text, 0, DT_SINGLELINE);
      if (need.cx + margin > client.right || need.cy > client.bottom)
        faults.push_back(name + " is cut");
    } else if (cls == L"ComboBox" || cls == L"ComboBoxEx32") {
      HWND combo = cls == L"ComboBox" ? child : HWND(SendMessageW(child, CBEM_GETCOMBOCONTROL, 0, 0));
      // The room left of the drop-down button, less the edit's margins.
      const int room = client.right - GetSystemMetrics(SM_CXVSCROLL) - 6;
      const int rows = int(SendMessageW(combo, CB_GETCOUNT, 0, 0));
      for (int i = 0; i < rows; ++i) {
        const int length = int(SendMessageW(combo, CB_GETLBTEXTLEN, i, 0));
        if (length <= 0 || length > 1000) continue;
        std::wstring row(size_t(length) + 1, L'\0');
        SendMessageW(combo, CB_GETLBTEXT, i, LPARAM(&row[0]));
        row.resize(size_t(length));
        // Paths may scroll in an edit field; a drop-down list shows the row.
        if ((style & CBS_DROPDOWNLIST) != CBS_DROPDOWNLIST) continue;
        if (Measure(combo, row, 0, DT_SINGLELINE | DT_NOPREFIX).cx > room)
          faults.push_back(name + " row \"" + Utf8(row) + "\" is cut");
      }
    }
  }
  return faults;
}

namespace {

// The popup being measured, and what was found while it was up.
struct MenuProbe {
  HMENU popup = nullptr;
  std::vector<std::string>* faults = nullptr;
  bool measured = false;
};
MenuProbe g_menuProbe;
WNDPROC g_ownerProc = nullptr;

int TextWidth(HDC dc, const std::wstring& text) {
  RECT rc = {0, 0, 0, 0};
  DrawTextW(dc, text.c_str(), int(text.size()), &rc, DT_SINGLELINE | DT_CALCRECT);
  return rc.right - rc.left;
}

void MeasureShownPopup(HWND owner) {
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  HFONT font = CreateFontIndirectW(&metrics.lfMenuFont);
  HDC dc = GetDC(owner);
  HGDIOBJ old = SelectObject(dc, font);
  TEXTMETRICW tm = {};
  GetTextMetricsW(dc, &tm);
  // The shortcuts stand in one column as wide as the widest of them, with
  // the room of a check mark on the left and of a submenu arrow on the right.
  const int room = GetSystemMetrics(SM_CXMENUCHECK);
  struct Item {
    std::wstring text, label, shortcut;
    int width;
  };
  std::vector<Item> items;
  int shortcuts = 0;
  for (int i = 0, n = GetMenuItemCount(g_menuProbe.popup); i < n; ++i) {
    wchar_t text[256] = L"";
    GetMenuStringW(g_menuProbe.popup, UINT(i), text, 256, MF_BYPOSITION);
    RECT rc;
    if (!text[0] || !GetMenuItemRect(nullptr, g_menuProbe.popup, UINT(i), &rc)) continue;
    Item item = {text, text, L"", int(rc.right - rc.left)};
    const size_t tab = item.label.find(L'\t');
    if (tab != std::wstring::npos) {
      item.shortcut = item.label.substr(tab + 1);
      item.label.resize(tab);
      shortcuts = std::max(shortcuts, TextWidth(dc, item.shortcut));
    }
    items.push_back(item);
  }
  for (const Item& item : items) {
    int need = 2 * room + TextWidth(dc, item.label);
    if (shortcuts) need += tm.tmAveCharWidth / 2 + shortcuts;
    if (need > item.width)
      g_menuProbe.faults->push_back("menu item \"" + Utf8(item.text) + "\" is cut or crowded (" +
                                    std::to_string(need) + " > " + std::to_string(item.width) +
                                    ")");
  }
  SelectObject(dc, old);
  ReleaseDC(owner, dc);
  DeleteObject(font);
  g_menuProbe.measured = true;
}

LRESULT CALLBACK MenuOwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_ENTERIDLE && wParam == MSGF_MENU && g_menuProbe.popup) {
    if (!g_menuProbe.measured) MeasureShownPopup(window);
    EndMenu();
    return 0;
  }
  return CallWindowProcW(g_ownerProc, window, message, wParam, lParam);
}

void MeasurePopups(HWND owner, HMENU menu, std::vector<std::string>* faults) {
  for (int i = 0, n = GetMenuItemCount(menu); i < n; ++i) {
    HMENU popup = GetSubMenu(menu, i);
    if (!popup) continue;
    g_menuProbe.popup = popup;
    g_menuProbe.faults = faults;
    g_menuProbe.measured = false;
    SetForegroundWindow(owner);
    TrackPopupMenuEx(popup, TPM_RETURNCMD | TPM_NONOTIFY, 60, 60, owner, nullptr);
    if (!g_menuProbe.measured) faults->push_back("a popup menu was not shown");
    g_menuProbe.popup = nullptr;
    MeasurePopups(owner, popup, faults);
  }
}

}  // namespace

std::vector<std::string> MenuTextsThatDoNotFit(HWND owner, HMENU menu) {
  std::vector<std::string> faults;
  g_ownerProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(owner, GWLP_WNDPROC, LONG_PTR(MenuOwnerProc)));
  MeasurePopups(owner, menu, &faults);
  SetWindowLongPtrW(owner, GWLP_WNDPROC, LONG_PTR(g_ownerProc));
  return faults;
}

}  // namespace uitest
