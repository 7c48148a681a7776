// Keys, menus and the toolbar of the main window, delivered through the X
// display (xdotool) where a real key or click matters; closing the window.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "MainWindowHarness.h"
#include "TestSupport.h"
#include "app/mainwnd/Clipboard.h"
#include "app/mainwnd/MainMenus.h"
#include "common/SavedState.h"
#include "image/mount/MountedImage.h"

namespace {

// The commands posted to the window, seen as the loop takes them.
std::vector<UINT>* g_commands = nullptr;
LRESULT CALLBACK RecordCommands(int code, WPARAM wParam, LPARAM lParam) {
  const MSG* msg = reinterpret_cast<const MSG*>(lParam);
  if (code >= 0 && wParam == PM_REMOVE && msg->message == WM_COMMAND && g_commands)
    g_commands->push_back(UINT(msg->wParam));
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The screen point of a list item's middle.
POINT ItemPoint(HWND list, int item) {
  RECT rc = {LVIR_LABEL};
  SendMessageW(list, LVM_GETITEMRECT, item, LPARAM(&rc));
  POINT at = {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
  ClientToScreen(list, &at);
  return at;
}

int ItemIndex(HWND list, const wchar_t* name) {
  LVFINDINFOW find = {};
  find.flags = LVFI_STRING;
  find.psz = name;
  return int(SendMessageW(list, LVM_FINDITEMW, WPARAM(-1), LPARAM(&find)));
}

std::string At(POINT p) {
  return std::to_string(p.x) + " " + std::to_string(p.y);
}

// xdotool in the background while the test's thread pumps the window.
void XdoAsync(const std::string& script) {
  vt::Sh("(" + script + ") >/dev/null 2>&1 &");
}

BOOL CALLBACK FindCustomizeDialog(HWND window, LPARAM out) {
  if (GetDlgItem(window, 203) && IsWindowVisible(window)) *reinterpret_cast<HWND*>(out) = window;
  return TRUE;
}

class KeysAndMenusTest : public MainWindowTest {
 protected:
  std::string dir_ = vt::ScratchDirUnix() + "/keys";
  void SetUp() override {
    if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
    vt::Sh("rm -rf " + vt::Q(dir_) + " && mkdir -p " + vt::Q(dir_ + "/tree/Zeta") + " " +
           vt::Q(dir_ + "/out") + " && printf hello > " + vt::Q(dir_ + "/tree/a.txt") +
           " && printf zz > " + vt::Q(dir_ + "/tree/Zeta/z.txt"));
    img_ = dir_ + "/keys.img";
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(img_) + " --layout mbr2048 --size 16 --tree " +
                            vt::Q(dir_ + "/tree")));
    MainWindowTest::SetUp();
    SetWindowPos(hwnd_, HWND_TOP, 20, 20, 900, 600, 0);
    SetForegroundWindow(hwnd_);
    Navigate(IDC_IMAGE_ADDRESS, vt::ToWin(img_));
    Navigate(IDC_HOST_ADDRESS, vt::ToWin(dir_ + "/out"));
  }
  std::string img_;
};

// The whole path by the display: click a file, Ctrl+click a folder, open
// the context menu with the right button and take Extract by its key; the
// files arrive on the host as ntfscat reads them from the image.
TEST_F(KeysAndMenusTest, ExtractThroughTheContextMenu) {
  HWND list = Item(IDC_IMAGE_LIST);
  const POINT file = ItemPoint(list, ItemIndex(list, L"a.txt"));
  const POINT folder = ItemPoint(list, ItemIndex(list, L"Zeta"));
  XdoAsync("xdotool mousemove " + At(file) + " click 1 && sleep 0.5 && xdotool mousemove " +
           At(folder) + " keydown ctrl click 1 keyup ctrl && sleep 0.5 && xdotool mousemove " +
           At(file) + " click 3 && sleep 1 && xdotool key d");
  const std::wstring out = vt::ToWin(dir_ + "/out");
  EXPECT_TRUE(PumpUntil(
      [&] {
        return window_->m_busy == 0 && vt::FileExists(out + L"\\a.txt") &&
               vt::FileExists(out + L"\\Zeta\\z.txt");
      },
      30));
  Pump();
  const std::string part = dir_ + "/part.img";
  ASSERT_EQ(
      0, vt::Sh("dd if=" + vt::Q(img_) + " of=" + vt::Q(part) + " bs=512 skip=2048 status=none"));
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(part) + " /a.txt | cmp - " + vt::Q(dir_ + "/out/a.txt")));
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(part) + " /Zeta/z.txt | cmp - " +
                      vt::Q(dir_ + "/out/Zeta/z.txt")));
  EXPECT_NE(-1, ItemIndex(Item(IDC_HOST_LIST), L"Zeta")) << "the host pane shows what came";
}

// Enter enters a folder, Ctrl+Enter does nothing, Alt+Enter asks for the
// properties; arrow keys and the wheel leave the address as it is.
TEST_F(KeysAndMenusTest, EnterKeysArrowsAndWheel) {
  std::vector<UINT> commands;
  g_commands = &commands;
  HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, RecordCommands, nullptr, GetCurrentThreadId());
  HWND list = Item(IDC_IMAGE_LIST);
  const std::wstring root = Text(list);
  const POINT zeta = ItemPoint(list, ItemIndex(list, L"Zeta"));
  XdoAsync("xdotool mousemove " + At(zeta) + " click 1 && sleep 0.5 && xdotool key Return");
  EXPECT_TRUE(PumpUntil([&] { return Text(list) == root + L"Zeta"; }, 15))
      << vt::Narrow(Text(list));

  // In Zeta: ".." first; Ctrl+Enter on it stays, Alt+Enter posts properties.
  SetFocus(list);
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED);
  ListView_SetItemState(list, 0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  XdoAsync("xdotool key ctrl+Return && sleep 0.5 && xdotool key alt+Return");
  PumpUntil(
      [&] {
        return std::find(commands.begin(), commands.end(), UINT(ID_PROPERTIES)) != commands.end();
      },
      10);
  Pump();
  EXPECT_EQ(root + L"Zeta", Text(list)) << "Ctrl+Enter does nothing";
  EXPECT_NE(commands.end(), std::find(commands.begin(), commands.end(), UINT(ID_PROPERTIES)));

  // The address bar: Down and the wheel over it keep the address.
  HWND combo = Item(IDC_IMAGE_ADDRESS);
  HWND edit = reinterpret_cast<HWND>(SendMessageW(combo, CBEM_GETEDITCONTROL, 0, 0));
  const std::wstring address = Text(edit);
  // Rows a Down key would otherwise step to.
  for (const wchar_t* row : {L"C:\\one.img", L"C:\\two.img"}) {
    COMBOBOXEXITEMW item = {};
    item.mask = CBEIF_TEXT;
    item.iItem = -1;
    item.pszText = const_cast<wchar_t*>(row);
    SendMessageW(combo, CBEM_INSERTITEMW, 0, LPARAM(&item));
  }
  RECT bar;
  GetWindowRect(edit, &bar);
  const POINT middle = {(bar.left + bar.right) / 2, (bar.top + bar.bottom) / 2};
  XdoAsync("xdotool mousemove " + At(middle) + " click 1 && sleep 0.3 && xdotool key Down Down" +
           " && sleep 0.3 && xdotool click 5 click 5 click 4");
  for (int i = 0; i < 100; ++i) {
    Pump();
    Sleep(20);
  }
  EXPECT_EQ(address, Text(edit));
  EXPECT_EQ(root + L"Zeta", Text(list));
  UnhookWindowsHookEx(hook);
  g_commands = nullptr;
}

// Entering a folder leaves the focus, not the selection, on its first row,
// so Space and Enter take ".." from a folder right under the root up to the
// root. Then files go both ways between the panes by a mouse drag.
TEST_F(KeysAndMenusTest, UpToTheRootAndDragBetweenThePanes) {
  HWND list = Item(IDC_IMAGE_LIST), host = Item(IDC_HOST_LIST);
  const std::wstring root = Text(list);
  const POINT zeta = ItemPoint(list, ItemIndex(list, L"Zeta"));
  XdoAsync("xdotool mousemove " + At(zeta) + " click 1 && sleep 0.5 && xdotool key Return");
  ASSERT_TRUE(PumpUntil([&] { return Text(list) == root + L"Zeta"; }, 15));
  EXPECT_EQ(0, ListView_GetNextItem(list, -1, LVNI_FOCUSED));
  EXPECT_EQ(-1, ListView_GetNextItem(list, -1, LVNI_SELECTED));
  XdoAsync("sleep 0.5 && xdotool key space && sleep 0.3 && xdotool key Return");
  EXPECT_TRUE(PumpUntil([&] { return Text(list) == root; }, 15)) << vt::Narrow(Text(list));
  EXPECT_NE(-1, ItemIndex(list, L"Zeta"));
  EXPECT_EQ(-1, ItemIndex(list, L".."));

  // Image to host: a.txt is extracted as ntfscat reads it.
  auto drag = [&](POINT from, HWND onto) {
    RECT rc;
    GetWindowRect(onto, &rc);
    const POINT to = {(rc.left + rc.right) / 2, rc.bottom - 30};
    XdoAsync("xdotool mousemove " + At(from) + " mousedown 1 && sleep 0.3 && xdotool " +
             "mousemove_relative 8 8 && sleep 0.3 && xdotool mousemove " + At(to) +
             " && sleep 0.5 && xdotool mousemove_relative 4 4 && sleep 0.5 && xdotool mouseup 1");
  };
  drag(ItemPoint(list, ItemIndex(list, L"a.txt")), host);
  const std::wstring out = vt::ToWin(dir_ + "/out");
  EXPECT_TRUE(PumpUntil(
      [&] { return window_->m_busy == 0 && vt::FileExists(out + L"\\a.txt"); }, 30));
  Pump();
  const std::string part = dir_ + "/part.img";
  ASSERT_EQ(
      0, vt::Sh("dd if=" + vt::Q(img_) + " of=" + vt::Q(part) + " bs=512 skip=2048 status=none"));
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(part) + " /a.txt | cmp - " + vt::Q(dir_ + "/out/a.txt")));
  EXPECT_EQ(0, window_->m_busy) << "the turn went back after the drag";

  // Host to image.
  ASSERT_EQ(0, vt::Sh("printf host > " + vt::Q(dir_ + "/out/b.txt")));
  Navigate(IDC_HOST_ADDRESS, out);
  drag(ItemPoint(host, ItemIndex(host, L"b.txt")), list);
  EXPECT_TRUE(PumpUntil([&] { return window_->m_busy == 0 && ItemIndex(list, L"b.txt") >= 0; },
                        30));
  char text[8] = {};
  EXPECT_EQ(4u, window_->m_image->ReadFile(L"\\b.txt", text, 0, 4));
  EXPECT_STREQ("host", text);
}

// The pane's rows live in the program: typing a name's first letters in the
// list selects its row, and a click on a column header sorts the rows with
// the selection staying on its row (".." and folders above files).
TEST_F(KeysAndMenusTest, TypingFindsAndSortingKeepsTheSelection) {
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(dir_ + "/out") + " && mkdir sub && printf 1 > a1.txt && " +
                      "printf 22 > b2.txt && printf 333 > c3.txt"));
  Navigate(IDC_HOST_ADDRESS, vt::ToWin(dir_ + "/out"));
  HWND list = Item(IDC_HOST_LIST);
  const POINT file = ItemPoint(list, ItemIndex(list, L"a1.txt"));
  XdoAsync("xdotool mousemove " + At(file) + " click 1 && sleep 0.5 && xdotool type b2");
  EXPECT_TRUE(PumpUntil(
      [&] { return ListView_GetNextItem(list, -1, LVNI_SELECTED) == ItemIndex(list, L"b2.txt"); },
      10));
  HWND header = ListView_GetHeader(list);
  RECT name;
  Header_GetItemRect(header, 0, &name);
  POINT at = {(name.left + name.right) / 2, (name.top + name.bottom) / 2};
  ClientToScreen(header, &at);
  XdoAsync("xdotool mousemove " + At(at) + " click 1");
  EXPECT_TRUE(PumpUntil([&] { return ItemIndex(list, L"c3.txt") < ItemIndex(list, L"a1.txt"); },
                        10))
      << "descending";
  const std::vector<Row> rows = Rows(list);
  ASSERT_EQ(5u, rows.size());
  EXPECT_EQ(L"..", rows[0].name);
  EXPECT_EQ(L"sub", rows[1].name) << "folders stay above files";
  EXPECT_EQ(L"c3.txt", rows[2].name);
  EXPECT_EQ(L"a1.txt", rows[4].name);
  EXPECT_EQ(ItemIndex(list, L"b2.txt"), ListView_GetNextItem(list, -1, LVNI_SELECTED));
  EXPECT_EQ(-1, ListView_GetNextItem(list, ItemIndex(list, L"b2.txt"), LVNI_SELECTED));
}

// A double-click on empty toolbar space opens the customisation dialog,
// not after a language switch; Reset gives exactly the 12 defaults, and a
// change is saved as "ITBarLayout" under "Toolsbar".
TEST_F(KeysAndMenusTest, ToolbarCustomisation) {
  HWND toolbar = Item(IDC_TOOLBAR);
  RECT rc;
  GetWindowRect(toolbar, &rc);
  const POINT empty = {rc.right - 20, (rc.top + rc.bottom) / 2};
  auto doubleClickOpensDialog = [&]() {
    std::atomic<bool> seen{false}, stop{false};
    std::thread watcher([&] {
      while (!stop) {
        HWND dialog = nullptr;
        EnumThreadWindows(GetWindowThreadProcessId(hwnd_, nullptr), FindCustomizeDialog,
                          LPARAM(&dialog));
        if (dialog) {
          seen = true;
          PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        }
        Sleep(50);
      }
    });
    XdoAsync("xdotool mousemove " + At(empty) + " click --repeat 2 --delay 80 1");
    PumpUntil([&] { return bool(seen); }, 4);
    Pump();
    stop = true;
    watcher.join();
    return bool(seen);
  };
  EXPECT_TRUE(doubleClickOpensDialog());

  for (int i = 0; i < 3; ++i) SendMessageW(toolbar, TB_DELETEBUTTON, 2, 0);
  NMHDR reset = {toolbar, IDC_TOOLBAR, UINT(TBN_RESET)};
  SendMessageW(hwnd_, WM_NOTIFY, IDC_TOOLBAR, LPARAM(&reset));
  ASSERT_EQ(12, SendMessageW(toolbar, TB_BUTTONCOUNT, 0, 0));
  const int expected[12] = {1001, 0, 1002, 1003, 0, 1004, 1005, 0, 1006, 1007, 0, 1008};
  for (int i = 0; i < 12; ++i) {
    TBBUTTON button = {};
    SendMessageW(toolbar, TB_GETBUTTON, i, LPARAM(&button));
    EXPECT_EQ(expected[i], button.idCommand) << i;
  }
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VroMount\\Toolsbar");
  NMHDR change = {toolbar, IDC_TOOLBAR, UINT(TBN_TOOLBARCHANGE)};
  SendMessageW(hwnd_, WM_NOTIFY, IDC_TOOLBAR, LPARAM(&change));
  DWORD size = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, L"Software\\VroMount\\Toolsbar",
                                        L"ITBarLayout", RRF_RT_ANY, nullptr, nullptr, &size));
  EXPECT_GT(size, 0u);
  // A saved layout without three buttons comes back as saved, with texts.
  for (int i = 0; i < 3; ++i) SendMessageW(toolbar, TB_DELETEBUTTON, 2, 0);
  SendMessageW(hwnd_, WM_NOTIFY, IDC_TOOLBAR, LPARAM(&change));
  SendMessageW(hwnd_, WM_NOTIFY, IDC_TOOLBAR, LPARAM(&reset));
  ASSERT_EQ(1, RestoreToolbarLayout(toolbar));
  EXPECT_EQ(9, SendMessageW(toolbar, TB_BUTTONCOUNT, 0, 0));
  EXPECT_GT(SendMessageW(toolbar, TB_GETBUTTONTEXTW, ID_SEARCH_BUTTON, 0), 0);
  EXPECT_EQ(-1, SendMessageW(toolbar, TB_COMMANDTOINDEX, ID_ADD_BUTTON, 0));
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VroMount\\Toolsbar");

  window_->m_languageSwitched = 1;
  Sleep(GetDoubleClickTime() + 100);
  EXPECT_FALSE(doubleClickOpensDialog()) << "not after the language was switched";
}

// Closing after a copy out of the image: no "Copy$" folder, and the
// clipboard is empty.
TEST_F(KeysAndMenusTest, ClosingRemovesTheStagingFolder) {
  HWND list = Item(IDC_IMAGE_LIST);
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED);
  ListView_SetItemState(list, ItemIndex(list, L"a.txt"), LVIS_SELECTED, LVIS_SELECTED);
  CopyImageSelectionToClipboard(list, window_);
  Pump();
  const std::wstring staging = window_->m_stagingFolder;
  ASSERT_NE(L"", staging);
  ASSERT_TRUE(vt::FileExists(staging + L"\\a.txt"));
  PumpedWindow() = nullptr;
  SendMessageW(hwnd_, WM_CLOSE, 0, 0);
  Pump();
  EXPECT_FALSE(IsWindow(hwnd_));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(staging.c_str()));
  EXPECT_FALSE(IsClipboardFormatAvailable(CF_HDROP));
}

}  // namespace
