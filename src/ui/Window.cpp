#include "ui/Window.h"

#include <wchar.h>

#include <windowsx.h>

#include "ui/UiLanguage.h"
#include "ui/UiResources.h"

namespace {

const wchar_t kObjectProperty[] = L"USERDATA";
const int kRedNoteControl = 1000;

}  // namespace

CWindow::CWindow()
    : m_hWnd(nullptr),
      m_hInstance(nullptr),
      m_prevProc(nullptr),
      m_templateId(0),
      m_param(0),
      m_modal(FALSE),
      m_language(kLangChinese),
      m_version(GetVersion()),
      m_parent(nullptr) {}

CWindow::CWindow(HWND window, CWindow* owner) : CWindow() {
  m_parent = owner;
  if (owner) {
    m_language = owner->m_language;
    m_hInstance = owner->m_hInstance;
  }
  Bind(window);
}

CWindow::~CWindow() {
  ReleaseBinding();
}

void CWindow::Bind(HWND window) {
  SetPropW(window, kObjectProperty, this);
  m_hWnd = window;
  WNDPROC previous = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SubclassWindowProc)));
  if (previous && previous != SubclassWindowProc) m_prevProc = previous;
}

void CWindow::ReleaseBinding() {
  if (m_prevProc) {
    if (m_hWnd && IsWindow(m_hWnd))
      SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_prevProc));
    m_prevProc = nullptr;
  }
}

CWindow* CWindow::FromWindow(HWND window) {
  return static_cast<CWindow*>(GetPropW(window, kObjectProperty));
}

INT_PTR CWindow::Create(CWindow* parent, UINT templateId, BOOL modal, LPARAM param) {
  HWND owner = nullptr;
  if (parent) {
    owner = parent->m_hWnd;
    m_hInstance = parent->m_hInstance;
    m_language = parent->m_language;
    ApplyThreadLanguage(m_language, m_version);
  } else if (m_language == 0) {
    m_language = GetUserDefaultUILanguage();
  }
  m_parent = parent;
  m_templateId = templateId;
  m_param = param;

  HMODULE module = m_hInstance ? m_hInstance : GetUiModule();
  const DLGTEMPLATE* tpl = static_cast<const DLGTEMPLATE*>(
      FindUiResource(module, RT_DIALOG, MAKEINTRESOURCEW(LOWORD(templateId)), m_language, nullptr));
  if (!modal) {
    m_modal = FALSE;
    if (!tpl) return 0;
    return reinterpret_cast<INT_PTR>(
        CreateDialogIndirectParamW(module, tpl, owner, DialogProc, reinterpret_cast<LPARAM>(this)));
  }
  m_modal = TRUE;
  if (!tpl) return -1;
  return DialogBoxIndirectParamW(module, tpl, owner, DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CWindow::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_INITDIALOG) return 0;
  CWindow* self = reinterpret_cast<CWindow*>(lParam);
  self->m_hWnd = window;
  if (!self->m_modal) SetWindowLongPtrW(window, GWLP_ID, self->m_templateId);
  SetPropW(window, kObjectProperty, self);
  self->m_prevProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SubclassWindowProc)));
  return self->WindowProc(WM_INITDIALOG, wParam, lParam);
}

LRESULT CALLBACK CWindow::SubclassWindowProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  CWindow* self = FromWindow(window);
  if (!self) return DefWindowProcW(window, message, wParam, lParam);
  LRESULT result = self->WindowProc(message, wParam, lParam);
  WNDPROC previous = self->m_prevProc;
  if (message == WM_NCDESTROY) {
    RemovePropW(window, kObjectProperty);
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
    if (result == 0)
      result = previous ? CallWindowProcW(previous, window, message, wParam, lParam)
                        : DefWindowProcW(window, message, wParam, lParam);
    self->m_prevProc = nullptr;  // already back on the window
    delete self;
    return result;
  }
  if (message == WM_PAINT) {
    if (result) return 0;
  } else if (result) {
    return result;
  }
  return previous ? CallWindowProcW(previous, window, message, wParam, lParam)
                  : DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CWindow::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (LRESULT pre = PreDispatch(message, wParam, lParam)) return pre;
  const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
  const UINT keys = UINT(wParam);
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_CREATE:
      return OnCreate(reinterpret_cast<CREATESTRUCTW*>(lParam));
    case WM_NCCREATE:
      return OnNcCreate(lParam);
    case WM_SETCURSOR:
      return OnSetCursor(reinterpret_cast<HWND>(wParam), LOWORD(lParam), HIWORD(lParam));
    case WM_NCHITTEST:
      return OnNcHitTest(x, y);
    case WM_LBUTTONDOWN:
      return OnLButtonDown(keys, x, y);
    case WM_LBUTTONUP:
      OnLButtonUp(keys, x, y);
      break;
    case WM_LBUTTONDBLCLK:
      OnLButtonDblClk(keys, x, y);
      break;
    case WM_RBUTTONDOWN:
      OnRButtonDown(keys, x, y);
      break;
    case WM_RBUTTONUP:
      OnRButtonUp(keys, x, y);
      break;
    case WM_RBUTTONDBLCLK:
      OnRButtonDblClk(keys, x, y);
      break;
    case WM_NCLBUTTONDOWN:
      OnNcLButtonDown(UINT(wParam), lParam);
      break;
    case WM_NCLBUTTONUP:
      OnNcLButtonUp(UINT(wParam), lParam);
      break;
    case WM_NCRBUTTONDOWN:
      OnNcRButtonDown(UINT(wParam), lParam);
      break;
    case WM_NCRBUTTONUP:
      OnNcRButtonUp(UINT(wParam), lParam);
      break;
    case WM_NCMBUTTONDOWN:
      OnNcMButtonDown(UINT(wParam), lParam);
      break;
    case WM_NCMBUTTONUP:
      OnNcMButtonUp(UINT(wParam), lParam);
      break;
    case WM_MOUSEMOVE:
      OnMouseMove(keys, x, y);
      break;
    case WM_MOUSEWHEEL:
      return OnMouseWheel(LOWORD(wParam), short(HIWORD(wParam)), x, y);
    case WM_NCPAINT:
      OnNcPaint();
      break;
    case WM_PAINT:
      return OnPaint();
    case WM_DRAWITEM:
      return OnDrawItem(UINT(wParam), reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
      return OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam),
                        int(message - WM_CTLCOLORMSGBOX));
    case WM_ERASEBKGND:
      return OnEraseBkgnd(reinterpret_cast<HDC>(wParam));
    case WM_SIZE:
      if (wParam == SIZE_RESTORED || wParam == SIZE_MAXIMIZED)
        OnSize(UINT(wParam), short(LOWORD(lParam)), short(HIWORD(lParam)));
      break;
    case WM_NCCALCSIZE:
      OnNcCalcSize(wParam, lParam);
      break;
    case WM_MOVE:
      OnMove(x, y);
      break;
    case WM_MOVING:
      return OnMoving(UINT(wParam), reinterpret_cast<RECT*>(lParam));
    case WM_ENTERSIZEMOVE:
      OnEnterSizeMove();
      break;
    case WM_EXITSIZEMOVE:
      OnExitSizeMove();
      break;
    case WM_WINDOWPOSCHANGING:
      OnWindowPosChanging(reinterpret_cast<WINDOWPOS*>(lParam));
      break;
    case WM_WINDOWPOSCHANGED:
      OnWindowPosChanged(reinterpret_cast<WINDOWPOS*>(lParam));
      break;
    case WM_GETMINMAXINFO:
      OnGetMinMaxInfo(reinterpret_cast<MINMAXINFO*>(lParam));
      break;
    case WM_ENABLE:
      OnEnable(BOOL(wParam));
      break;
    case WM_SHOWWINDOW:
      OnShowWindow(BOOL(wParam), UINT(lParam));
      break;
    case WM_ACTIVATE:
      OnActivate(LOWORD(wParam), reinterpret_cast<HWND>(lParam), HIWORD(wParam) != 0);
      break;
    case WM_ACTIVATEAPP:
      OnActivateApp(wParam, lParam);
      break;
    case WM_NCACTIVATE:
      return OnNcActivate(BOOL(wParam));
    case WM_CONTEXTMENU:
      OnContextMenu(reinterpret_cast<HWND>(wParam), x, y);
      break;
    case WM_COMMAND:
      return OnCommand(wParam, lParam);
    case WM_SYSCOMMAND:
      OnSysCommand(wParam, lParam);
      break;
    case WM_INITMENU:
      OnInitMenu(reinterpret_cast<HMENU>(wParam));
      break;
    case WM_INITMENUPOPUP:
      OnInitMenuPopup(reinterpret_cast<HMENU>(wParam), LOWORD(lParam), HIWORD(lParam) != 0);
      break;
    case WM_KEYDOWN:
      OnKeyDown(UINT(wParam), LOWORD(lParam), HIWORD(lParam));
      break;
    case WM_KEYUP:
      OnKeyUp(UINT(wParam), LOWORD(lParam), HIWORD(lParam));
      break;
    case WM_SYSKEYDOWN:
      OnSysKeyDown(UINT(wParam), LOWORD(lParam), HIWORD(lParam));
      break;
    case WM_SYSKEYUP:
      OnSysKeyUp(UINT(wParam), LOWORD(lParam), HIWORD(lParam));
      break;
    case WM_CHAR:
      OnChar(UINT(wParam), LOWORD(lParam), HIWORD(lParam));
      break;
    case WM_HOTKEY:
      OnHotKey(int(wParam), LOWORD(lParam), HIWORD(lParam));
      break;
    case WM_SETFOCUS:
      OnSetFocus(reinterpret_cast<HWND>(wParam));
      break;
    case WM_KILLFOCUS:
      OnKillFocus(reinterpret_cast<HWND>(wParam));
      break;
    case WM_NOTIFY:
      return OnNotify(int(wParam), reinterpret_cast<NMHDR*>(lParam));
    case WM_GETDLGCODE:
      return OnGetDlgCode(UINT(wParam));
    case WM_TIMER:
      OnTimer(wParam);
      break;
    case WM_COPYDATA:
      return OnCopyData(reinterpret_cast<HWND>(wParam), reinterpret_cast<COPYDATASTRUCT*>(lParam));
    case WM_VSCROLL:
      OnVScroll(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      break;
    case WM_HSCROLL:
      OnHScroll(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      break;
    case WM_DROPFILES:
      OnDropFiles(reinterpret_cast<HDROP>(wParam));
      break;
    case WM_CHANGECBCHAIN:
      OnChangeCbChain(reinterpret_cast<HWND>(wParam), reinterpret_cast<HWND>(lParam));
      break;
    case WM_DRAWCLIPBOARD:
      OnDrawClipboard();
      break;
    case WM_PARENTNOTIFY:
      OnParentNotify(wParam, lParam);
      break;
    case WM_MEASUREITEM:
      return OnMeasureItem(UINT(wParam), reinterpret_cast<MEASUREITEMSTRUCT*>(lParam));
    case WM_CLOSE:
      return OnClose(wParam);
    case WM_DESTROY:
      OnDestroy();
      break;
    case WM_NCDESTROY:
      OnNcDestroy();
      break;
  }
  return 0;
}

BOOL CWindow::RunMessageLoop() {
  m_modal = TRUE;
  bool closing = false;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    bool own = msg.hwnd && msg.hwnd == m_hWnd;
    if (own &&
        (msg.message == WM_CLOSE || msg.message == WM_DESTROY || msg.message == WM_NCDESTROY)) {
      closing = true;
    } else if (!closing && msg.hwnd && IsWindow(msg.hwnd) && m_hWnd &&
               GetPropW(m_hWnd, kObjectProperty)) {
      // A modeless dialog of this thread (a viewer, a find box) gets its
      // own keys: its translation first, then its dialog navigation.
      HWND root = GetAncestor(msg.hwnd, GA_ROOT);
      wchar_t cls[8] = L"";
      if (root && root != m_hWnd && GetClassNameW(root, cls, 8) && !wcscmp(cls, L"#32770") &&
          GetWindowThreadProcessId(root, nullptr) == GetCurrentThreadId()) {
        CWindow* other = static_cast<CWindow*>(GetPropW(root, kObjectProperty));
        if (other && other->PreTranslateMessage(&msg)) continue;
        if (IsDialogMessageW(root, &msg)) continue;
      } else {
        if (PreTranslateMessage(&msg)) continue;
        if (IsDialogMessageW(m_hWnd, &msg)) continue;
      }
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return TRUE;
}

LRESULT CWindow::CloseByDestroy() {
  DestroyWindow(m_hWnd);
  return 1;
}

LRESULT CWindow::EndDialogOnClose(WPARAM wParam) {
  EndDialog(m_hWnd, INT_PTR(wParam));
  return 1;
}

LRESULT CWindow::PostCloseOnCancel(WPARAM wParam) {
  if (wParam == IDCANCEL) PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  return 0;
}

LRESULT CWindow::RedNoteColor(HDC dc, HWND control, int kind) {
  if (kind != WM_CTLCOLORSTATIC - WM_CTLCOLORMSGBOX || GetDlgCtrlID(control) != kRedNoteControl)
    return 0;
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(255, 0, 0));
  return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
}

// The base bodies.
LRESULT CWindow::PreDispatch(UINT, WPARAM, LPARAM) {
  return 0;
}
BOOL CWindow::PreTranslateMessage(MSG*) {
  return FALSE;
}
LRESULT CWindow::OnInitDialog() {
  return 1;
}
LRESULT CWindow::OnCreate(CREATESTRUCTW*) {
  return 0;
}
LRESULT CWindow::OnNcCreate(LPARAM) {
  return 0;
}
LRESULT CWindow::OnSetCursor(HWND, UINT, UINT) {
  return 0;
}
LRESULT CWindow::OnNcHitTest(int, int) {
  return 0;
}
LRESULT CWindow::OnLButtonDown(UINT, int, int) {
  return 0;
}
void CWindow::OnLButtonUp(UINT, int, int) {}
void CWindow::OnLButtonDblClk(UINT, int, int) {}
void CWindow::OnRButtonDown(UINT, int, int) {}
void CWindow::OnRButtonUp(UINT, int, int) {}
void CWindow::OnRButtonDblClk(UINT, int, int) {}
void CWindow::OnNcLButtonDown(UINT, LPARAM) {}
void CWindow::OnNcLButtonUp(UINT, LPARAM) {}
void CWindow::OnNcRButtonDown(UINT, LPARAM) {}
void CWindow::OnNcRButtonUp(UINT, LPARAM) {}
void CWindow::OnNcMButtonDown(UINT, LPARAM) {}
void CWindow::OnNcMButtonUp(UINT, LPARAM) {}
void CWindow::OnMouseMove(UINT, int, int) {}
LRESULT CWindow::OnMouseWheel(UINT, short, int, int) {
  return 0;
}
void CWindow::OnNcPaint() {}
LRESULT CWindow::OnPaint() {
  return 0;
}
LRESULT CWindow::OnDrawItem(UINT, DRAWITEMSTRUCT*) {
  return 0;
}
LRESULT CWindow::OnCtlColor(HDC, HWND, int) {
  return 0;
}
LRESULT CWindow::OnEraseBkgnd(HDC) {
  return 0;
}
void CWindow::OnSize(UINT, int, int) {}
void CWindow::OnNcCalcSize(WPARAM, LPARAM) {}
void CWindow::OnMove(int, int) {}
LRESULT CWindow::OnMoving(UINT, RECT*) {
  return 0;
}
void CWindow::OnEnterSizeMove() {}
void CWindow::OnExitSizeMove() {}
void CWindow::OnWindowPosChanging(WINDOWPOS*) {}
void CWindow::OnWindowPosChanged(WINDOWPOS*) {}
void CWindow::OnGetMinMaxInfo(MINMAXINFO*) {}
void CWindow::OnEnable(BOOL) {}
void CWindow::OnShowWindow(BOOL, UINT) {}
void CWindow::OnActivate(UINT, HWND, BOOL) {}
void CWindow::OnActivateApp(WPARAM, LPARAM) {}
LRESULT CWindow::OnNcActivate(BOOL) {
  return 0;
}
void CWindow::OnContextMenu(HWND, int, int) {}
LRESULT CWindow::OnCommand(WPARAM, LPARAM) {
  return 0;
}
void CWindow::OnSysCommand(WPARAM, LPARAM) {}
void CWindow::OnInitMenu(HMENU) {}
void CWindow::OnInitMenuPopup(HMENU, UINT, BOOL) {}
void CWindow::OnKeyDown(UINT, UINT, UINT) {}
void CWindow::OnKeyUp(UINT, UINT, UINT) {}
void CWindow::OnSysKeyDown(UINT, UINT, UINT) {}
void CWindow::OnSysKeyUp(UINT, UINT, UINT) {}
void CWindow::OnChar(UINT, UINT, UINT) {}
void CWindow::OnHotKey(int, UINT, UINT) {}
void CWindow::OnSetFocus(HWND) {}
void CWindow::OnKillFocus(HWND) {}
LRESULT CWindow::OnNotify(int, NMHDR*) {
  return 0;
}
LRESULT CWindow::OnGetDlgCode(UINT) {
  return 0;
}
void CWindow::OnTimer(UINT_PTR) {}
LRESULT CWindow::OnCopyData(HWND, COPYDATASTRUCT*) {
  return 0;
}
void CWindow::OnVScroll(UINT, UINT, HWND) {}
void CWindow::OnHScroll(UINT, UINT, HWND) {}
void CWindow::OnDropFiles(HDROP) {}
void CWindow::OnChangeCbChain(HWND, HWND) {}
void CWindow::OnDrawClipboard() {}
void CWindow::OnParentNotify(WPARAM, LPARAM) {}
LRESULT CWindow::OnMeasureItem(UINT, MEASUREITEMSTRUCT*) {
  return 0;
}
LRESULT CWindow::OnClose(WPARAM) {
  return 0;
}
void CWindow::OnDestroy() {}
void CWindow::OnNcDestroy() {}

void SetWindowLanguage(LANGID language, CWindow* window) {
  window->m_language = language;
  ApplyThreadLanguage(language, window->m_version);
}

void CenterWindowOnParent(CWindow* window) {
  HWND self = window->m_hWnd;
  RECT s;
  HWND parent = GetParent(self);
  if (parent && IsWindowVisible(parent)) {
    WINDOWPLACEMENT placement = {sizeof placement};
    GetWindowPlacement(parent, &placement);
    GetWindowRect(self, &s);
    const int sw = s.right - s.left, sh = s.bottom - s.top;
    UINT show = placement.showCmd;
    if (show != SW_HIDE && show != SW_SHOWMINIMIZED && show != SW_MINIMIZE) {
      RECT p;
      GetWindowRect(parent, &p);
      int x = p.left + ((p.right - p.left - sw) >> 1);
      int y = p.top + ((p.bottom - p.top - sh) >> 1);
      MoveWindow(self, x, y, sw, sh, FALSE);
    } else {
      int x = (GetSystemMetrics(SM_CXSCREEN) >> 1) - (sw >> 1);
      int y = (GetSystemMetrics(SM_CYSCREEN) >> 1) - (sh >> 1);
      SetWindowPos(self, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    }
    return;
  }
  int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
  if (HWND tray = FindWindowW(L"Shell_TrayWnd", nullptr)) {
    RECT t;
    GetWindowRect(tray, &t);
    if (t.right - t.left > t.bottom - t.top)
      height -= t.bottom - t.top;
    else
      width -= t.right - t.left;
  }
  RECT client;
  GetClientRect(self, &client);
  int x = (width - client.right) >> 1;
  int y = x > 0 ? (height - client.bottom) >> 1 : 0;
  SetWindowPos(self, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}
