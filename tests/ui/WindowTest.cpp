// CWindow on real windows: which handler a message reaches, what the window
// procedure returns, binding and release, modal results, the message loop and
// centring.
#include <windows.h>
#include <gtest/gtest.h>

#include <vector>

#include "UiTestUtil.h"
#include "resources/ResourceIds.h"
#include "ui/Window.h"

namespace {

int g_constructed, g_destroyed;
LANGID g_languageAtInit;

// Records what reaches it; a few results are chosen by the test.
class CProbe : public CWindow {
 public:
  CProbe() { ++g_constructed; }
  CProbe(HWND window, CWindow* owner) : CWindow(window, owner) { ++g_constructed; }
  ~CProbe() override { ++g_destroyed; }

  LRESULT PreDispatch(UINT message, WPARAM, LPARAM) override {
    return message == swallowed ? 77 : 0;
  }
  LRESULT OnInitDialog() override {
    idAtInit = GetDlgCtrlID(m_hWnd);
    g_languageAtInit = m_language;
    if (closeWith) PostMessageW(m_hWnd, WM_CLOSE, closeWith, 0);
    return 1;
  }
  void OnSize(UINT type, int cx, int cy) override { sizes.push_back(type); }
  void OnChar(UINT c, UINT, UINT) override { chars.push_back(c); }
  LRESULT OnPaint() override {
    ++paints;
    return paintResult;
  }
  LRESULT OnCommand(WPARAM wParam, LPARAM) override { return LOWORD(wParam) == 500 ? 9 : 0; }
  LRESULT OnClose(WPARAM wParam) override {
    return m_modal ? EndDialogOnClose(wParam) : CloseByDestroy();
  }
  BOOL PreTranslateMessage(MSG* msg) override {
    if (msg->message == WM_APP + 1) {
      ++translated;
      return TRUE;
    }
    return FALSE;
  }

  UINT swallowed = 0;
  int idAtInit = -1;
  WPARAM closeWith = 0;
  std::vector<UINT> sizes, chars;
  int paints = 0, translated = 0;
  LRESULT paintResult = 0;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { g_constructed = g_destroyed = 0; }
  void TearDown() override { EXPECT_EQ(g_constructed, g_destroyed) << "an object leaked"; }

  CProbe* Modeless(LANGID language = 2052) {
    CProbe* probe = new CProbe;
    probe->m_hInstance = GetModuleHandleW(nullptr);
    probe->m_language = language;
    EXPECT_NE(0, probe->Create(nullptr, IDD_COMMAND_LINE_HELP, FALSE, 0));
    return probe;
  }
};

TEST_F(WindowTest, ModelessDialogIsBoundAndFreedAtNcDestroy) {
  CProbe* probe = Modeless();
  HWND window = probe->m_hWnd;
  ASSERT_TRUE(IsWindow(window));
  EXPECT_EQ(probe, CWindow::FromWindow(window));
  EXPECT_EQ(IDD_COMMAND_LINE_HELP, probe->idAtInit) << "a modeless dialog's id is its template";
  EXPECT_EQ(FALSE, probe->m_modal);
  EXPECT_EQ(LONG_PTR(CWindow::SubclassWindowProc), GetWindowLongPtrW(window, GWLP_WNDPROC));
  DestroyWindow(window);
  EXPECT_EQ(1, g_destroyed);
  EXPECT_FALSE(IsWindow(window));
}

TEST_F(WindowTest, HandlerResultsDecideWhetherTheDefaultRuns) {
  CProbe* dialog = Modeless();
  ShowWindow(dialog->m_hWnd, SW_SHOW);
  HWND edit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE, 0, 0, 100, 20, dialog->m_hWnd,
                              nullptr, nullptr, nullptr);
  CProbe* probe = new CProbe(edit, dialog);
  EXPECT_EQ(dialog, probe->m_parent);
  EXPECT_EQ(dialog->m_hInstance, probe->m_hInstance);

  // WM_CHAR's handler result is ignored: the edit control still types.
  SendMessageW(edit, WM_CHAR, L'a', 1);
  EXPECT_EQ(std::vector<UINT>{L'a'}, probe->chars);
  wchar_t text[8];
  GetWindowTextW(edit, text, 8);
  EXPECT_STREQ(L"a", text);

  // PreDispatch's nonzero answer ends the dispatch and is the result.
  probe->swallowed = WM_CHAR;
  EXPECT_EQ(77, SendMessageW(edit, WM_CHAR, L'b', 1));
  GetWindowTextW(edit, text, 8);
  EXPECT_STREQ(L"a", text);
  EXPECT_EQ(1u, probe->chars.size());

  // A returned slot: nonzero comes back as it is.
  EXPECT_EQ(9, SendMessageW(dialog->m_hWnd, WM_COMMAND, 500, 0));

  // WM_SIZE reaches the handler only when restored or maximised.
  for (WPARAM type : {SIZE_MINIMIZED, SIZE_MAXSHOW, SIZE_MAXHIDE, SIZE_RESTORED, SIZE_MAXIMIZED})
    SendMessageW(edit, WM_SIZE, type, MAKELPARAM(10, 10));
  EXPECT_EQ((std::vector<UINT>{SIZE_RESTORED, SIZE_MAXIMIZED}), probe->sizes);

  // WM_PAINT: 1 leaves the window unpainted by its own code, 0 lets it paint.
  RECT dirty;
  probe->paintResult = 1;
  InvalidateRect(edit, nullptr, TRUE);
  EXPECT_EQ(0, SendMessageW(edit, WM_PAINT, 0, 0));
  EXPECT_TRUE(GetUpdateRect(edit, &dirty, FALSE));
  probe->paintResult = 0;
  SendMessageW(edit, WM_PAINT, 0, 0);
  EXPECT_FALSE(GetUpdateRect(edit, &dirty, FALSE));
  EXPECT_EQ(2, probe->paints);

  DestroyWindow(dialog->m_hWnd);  // the bound edit goes with it
  EXPECT_EQ(2, g_destroyed);
}

TEST_F(WindowTest, ReleasePutsTheControlsProcedureBack) {
  HWND host = uitest::MakeHost();
  HWND edit =
      CreateWindowExW(0, L"EDIT", L"", WS_CHILD, 0, 0, 50, 20, host, nullptr, nullptr, nullptr);
  LONG_PTR original = GetWindowLongPtrW(edit, GWLP_WNDPROC);
  CProbe* probe = new CProbe(edit, nullptr);
  EXPECT_EQ(2052, probe->m_language);
  EXPECT_NE(original, GetWindowLongPtrW(edit, GWLP_WNDPROC));
  probe->ReleaseBinding();
  EXPECT_EQ(original, GetWindowLongPtrW(edit, GWLP_WNDPROC));
  RemovePropW(edit, L"USERDATA");
  delete probe;
  DestroyWindow(host);
}

TEST_F(WindowTest, ModalDialogReturnsTheEndDialogValue) {
  CProbe* probe = new CProbe;
  probe->m_hInstance = GetModuleHandleW(nullptr);
  probe->closeWith = 42;
  EXPECT_EQ(42, probe->Create(nullptr, IDD_COMMAND_LINE_HELP, TRUE, 0));
  EXPECT_EQ(1, g_destroyed) << "deleted when its window went";

  CProbe* missing = new CProbe;
  EXPECT_EQ(-1, missing->Create(nullptr, 9999, TRUE, 0));
  delete missing;
}

TEST_F(WindowTest, ChildCreatedWithParentTakesItsLanguageAndInstance) {
  CProbe* parent = Modeless(1042);
  CProbe* child = new CProbe;
  child->closeWith = 5;
  EXPECT_EQ(5, child->Create(parent, IDD_COMMAND_LINE_HELP, TRUE, 0));
  EXPECT_EQ(1042, g_languageAtInit);
  CProbe* noLanguage = new CProbe;
  noLanguage->m_hInstance = GetModuleHandleW(nullptr);
  noLanguage->m_language = 0;
  ASSERT_NE(0, noLanguage->Create(nullptr, IDD_COMMAND_LINE_HELP, FALSE, 0));
  EXPECT_EQ(GetUserDefaultUILanguage(), noLanguage->m_language);
  DestroyWindow(noLanguage->m_hWnd);
  DestroyWindow(parent->m_hWnd);
}

TEST_F(WindowTest, MessageLoopPreTranslatesUntilQuit) {
  CProbe* probe = Modeless();
  PostMessageW(probe->m_hWnd, WM_APP + 1, 0, 0);
  PostMessageW(probe->m_hWnd, WM_APP + 1, 0, 0);
  PostQuitMessage(0);
  EXPECT_EQ(TRUE, probe->RunMessageLoop());
  EXPECT_EQ(2, probe->translated);
  EXPECT_EQ(TRUE, probe->m_modal);
  DestroyWindow(probe->m_hWnd);
}

TEST_F(WindowTest, CentringOverParentAndOnScreen) {
  HWND host = uitest::MakeHost(600, 500);
  CProbe* probe = new CProbe;
  probe->m_hInstance = GetModuleHandleW(nullptr);
  CWindow owner;
  owner.m_hWnd = host;
  owner.m_hInstance = probe->m_hInstance;
  ASSERT_NE(0, probe->Create(&owner, IDD_COMMAND_LINE_HELP, FALSE, 0));
  HWND dialog = probe->m_hWnd;
  MoveWindow(dialog, 0, 0, 200, 100, FALSE);
  CenterWindowOnParent(probe);
  RECT p, s;
  GetWindowRect(host, &p);
  GetWindowRect(dialog, &s);
  EXPECT_EQ(p.left + ((p.right - p.left - 200) >> 1), s.left);
  EXPECT_EQ(p.top + ((p.bottom - p.top - 100) >> 1), s.top);

  // Without a visible parent: on the screen; wider than the screen ends at top 0.
  ShowWindow(host, SW_HIDE);
  CProbe* wide = Modeless();
  MoveWindow(wide->m_hWnd, 10, 10, GetSystemMetrics(SM_CXSCREEN) + 200, 300, FALSE);
  CenterWindowOnParent(wide);
  GetWindowRect(wide->m_hWnd, &s);
  EXPECT_EQ(0, s.top);
  DestroyWindow(wide->m_hWnd);
  DestroyWindow(dialog);
  DestroyWindow(host);
}

}  // namespace
