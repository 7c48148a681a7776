// The registry editor on real windows: a disk with an offline Windows is
// mounted, the editor opened over it, and each test drives it by messages
// from inside its modal loop; afterwards the image is checked.
#include <windows.h>
#include <commctrl.h>
#include <windowsx.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "../registry/FacadeTestUtil.h"
#include "../ui/UiTestUtil.h"
#include "EditorTestUtil.h"
#include "TestSupport.h"
#include "image/mount/MountedImage.h"
#include "regedit/AddFavoritesDlg.h"
#include "regedit/DelFavoritesDlg.h"
#include "regedit/RegistryDlg.h"
#include "regedit/RegistrySettings.h"
#include "regedit/SeparatorCtrl.h"
#include "regedit/TreeviewEdit.h"
#include "registry/RegistryFacade.h"
#include "resources/ResourceIds.h"
#include "ui/controls/ListView.h"
#include "ui/controls/TreeView.h"

namespace {

using namespace edtest;

class RegistryDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearSettings();
    disk = rt::MakeWinDisk("");
    ASSERT_EQ(3, image.OpenImage(disk.path.c_str(), nullptr, 0, 0));
  }
  void Set(const wchar_t* key, const wchar_t* name, uint32_t type, std::vector<uint8_t> data) {
    ASSERT_EQ(REG_STATUS_OK, image.RegSetValue(key, name, data.data(), (uint32_t)data.size(), type))
        << name;
  }
  rt::WinDisk disk;
  CMountedImage image;
};

// The tree's fixed items, children made on expansion, the value list's
// texts for every type (also malformed lengths), and the stale-name refresh.
TEST_F(RegistryDlgTest, TreeValueListAndRefresh) {
  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    HWND tree = dlg->Tree(), list = dlg->List();
    HTREEITEM user = TreeView_GetRoot(tree);
    ASSERT_TRUE(user);
    HTREEITEM machine = TreeView_GetNextSibling(tree, user);
    EXPECT_EQ(
        (std::vector<std::wstring>{L"BCD00000000", L"SAM", L"SECURITY", L"SOFTWARE", L"SYSTEM"}),
        ChildTexts(tree, machine));
    EXPECT_FALSE(TreeGetItemChildren(tree, TreeView_GetChild(tree, machine)))
        << "no BCD hive: no button";

    const wchar_t* types = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Types";
    ASSERT_EQ(REG_STATUS_OK, image.RegCreateKey(types));
    Set(types, L"", REG_DWORD, {5, 0, 0, 0});
    Set(types, L"q1", REG_QWORD, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
    Set(types, L"q2", REG_QWORD, {0, 0, 0, 0, 1, 0, 0, 0});
    Set(types, L"be", REG_DWORD_BIG_ENDIAN, {0, 0, 1, 0});
    std::vector<uint8_t> forty(40, 0xAB);
    Set(types, L"bin40", REG_BINARY, forty);
    Set(types, L"multi", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0});
    Set(types, L"dw2", REG_DWORD, {7, 1});
    Set(types, L"qw5", REG_QWORD, {1, 0, 0, 0, 2});
    Set(types, L"odd", REG_SZ, {'h', 0, 'i'});
    Set(types, L"none", REG_NONE, {});
    Set(types, L"Big", 0x20, {1, 2});
    for (uint32_t t : {6u, 8u, 9u, 10u}) Set(types, (L"t" + std::to_wstring(t)).c_str(), t, {1});
    SelectKeyPath(dlg, types);
    ASSERT_EQ(types, SelectedPath(dlg));

    ASSERT_EQ(15, ListView_GetItemCount(list));
    EXPECT_EQ(L"(默认)", Cell(list, 0, 0));
    EXPECT_EQ(L"REG_DWORD", Cell(list, 0, 1));
    EXPECT_EQ(L"0x00000005 (5)", Cell(list, 0, 2));
    EXPECT_EQ(0, ListGetItemImage(list, 0)) << "the default row keeps the string icon";
    std::vector<std::wstring> names;
    for (int i = 1; i < 15; ++i) names.push_back(Cell(list, i, 0));
    EXPECT_EQ((std::vector<std::wstring>{L"be", L"Big", L"bin40", L"dw2", L"multi", L"none", L"odd",
                                         L"q1", L"q2", L"qw5", L"t10", L"t6", L"t8", L"t9"}),
              names);
    auto row = [&](const wchar_t* name) { return ListFindItemText(list, name); };
    EXPECT_EQ(L"0xffffffff (4294967295)", Cell(list, row(L"q1"), 2));
    EXPECT_EQ(L"0x100000000 (4294967296)", Cell(list, row(L"q2"), 2));
    EXPECT_EQ(L"0x00000100 (256)", Cell(list, row(L"be"), 2));
    EXPECT_EQ(L"REG_DWORD_BIG_ENDIAN", Cell(list, row(L"be"), 1));
    EXPECT_EQ(96u, Cell(list, row(L"bin40"), 2).size()) << "32 groups of three characters";
    EXPECT_EQ(L"a b ", Cell(list, row(L"multi"), 2));
    EXPECT_EQ(L"0x00000107 (263)", Cell(list, row(L"dw2"), 2));
    EXPECT_EQ(L"0x200000001 (8589934593)", Cell(list, row(L"qw5"), 2));
    EXPECT_EQ(L"h", Cell(list, row(L"odd"), 2));
    EXPECT_EQ(L"", Cell(list, row(L"none"), 2));
    EXPECT_EQ(L"0x00000020", Cell(list, row(L"Big"), 1));
    EXPECT_EQ(1, ListGetItemImage(list, row(L"Big")));
    EXPECT_EQ(0, ListGetItemImage(list, row(L"multi")));

    // Names changed outside the tree: a refresh drops the stale item and
    // puts the new ones in sorted place, each once.
    const wchar_t* parent = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Kids";
    for (const wchar_t* k : {L"\\B", L"\\D", L"\\D\\Deep"})
      ASSERT_EQ(REG_STATUS_OK, image.RegCreateKey((std::wstring(parent) + k).c_str()));
    RefreshKeyTree(dlg);
    SelectKeyPath(dlg, (std::wstring(parent) + L"\\D\\Deep").c_str());
    SelectKeyPath(dlg, parent);
    HTREEITEM kids = TreeView_GetSelection(tree);
    EXPECT_EQ((std::vector<std::wstring>{L"B", L"D"}), ChildTexts(tree, kids));
    ASSERT_EQ(REG_STATUS_OK, image.RegRenameKey((std::wstring(parent) + L"\\D").c_str(), L"c"));
    for (const wchar_t* k : {L"\\a", L"\\E"})
      ASSERT_EQ(REG_STATUS_OK, image.RegCreateKey((std::wstring(parent) + k).c_str()));
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_REFRESH, 0);
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"B", L"c", L"E"}), ChildTexts(tree, kids));
    HTREEITEM c = TreeFindSiblingByText(tree, TreeView_GetChild(tree, kids), L"c");
    EXPECT_TRUE(TreeGetItemChildren(tree, c)) << "the renamed key's subkey gives it a button";
    EXPECT_EQ(parent, SelectedPath(dlg)) << "the selection survives";
  });
}

// History order, cap and empty entries; roots are not recorded; the path
// walk with a missing component and in lower case.
TEST_F(RegistryDlgTest, HistoryAndSelectKeyPath) {
  std::vector<std::wstring> thirty;
  for (int i = 0; i < 30; ++i)
    thirty.push_back(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Old" + std::to_wstring(i));
  WriteHistory(thirty);
  const std::wstring a = std::wstring(kVro), b = L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro";
  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    HWND combo = dlg->Combo();
    EXPECT_EQ(30, ComboBox_GetCount(combo));
    SelectKeyPath(dlg, a.c_str());
    std::vector<std::wstring> h = ReadHistory();
    ASSERT_EQ(30u, h.size());
    EXPECT_EQ(a, h[0]);
    EXPECT_EQ(thirty[28], h[29]) << "the oldest entry dropped out";
    EXPECT_EQ(30, ComboBox_GetCount(combo));

    SelectKeyPath(dlg, L"hkey_local_machine\\system");
    EXPECT_EQ(L"HKEY_LOCAL_MACHINE\\SYSTEM", SelectedPath(dlg));
    EXPECT_EQ(a, ReadHistory()[0]) << "a root is not recorded";
    SelectKeyPath(dlg, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\NoSuchKey\\Below");
    EXPECT_EQ(L"HKEY_LOCAL_MACHINE\\SOFTWARE", SelectedPath(dlg));
  });

  ClearSettings();
  WriteHistory({L"HKEY_LOCAL_MACHINE\\SYSTEM\\A", L"", L"HKEY_LOCAL_MACHINE\\SYSTEM\\B"});
  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    EXPECT_EQ((std::vector<std::wstring>{L"HKEY_LOCAL_MACHINE\\SYSTEM\\A",
                                         L"HKEY_LOCAL_MACHINE\\SYSTEM\\B"}),
              ComboEntries(dlg->Combo()));
    SelectKeyPath(dlg, b.c_str());
    EXPECT_EQ((std::vector<std::wstring>{b, L"HKEY_LOCAL_MACHINE\\SYSTEM\\A", L"",
                                         L"HKEY_LOCAL_MACHINE\\SYSTEM\\B"}),
              ReadHistory());
  });

  ClearSettings();
  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    SelectKeyPath(dlg, a.c_str());
    SelectKeyPath(dlg, b.c_str());
    SelectKeyPath(dlg, a.c_str());
    EXPECT_EQ((std::vector<std::wstring>{a, b}), ReadHistory());
    EXPECT_EQ((std::vector<std::wstring>{a, b}), ComboEntries(dlg->Combo()));
    EXPECT_EQ(0, ComboBox_GetCurSel(dlg->Combo()));
  });
  // The last key comes back when the editor opens again.
  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) { EXPECT_EQ(a, SelectedPath(dlg)); });
}

// The splitter, label-edit keys, the wheel over the address combo and the
// menu state.
TEST_F(RegistryDlgTest, ControlsAndMenuState) {
  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    HWND splitter = dlg->Splitter(), tree = dlg->Tree();
    ASSERT_TRUE(dynamic_cast<CSeparatorCtrl*>(CWindow::FromWindow(splitter)));
    auto treeWidth = [&] {
      RECT rc;
      GetWindowRect(tree, &rc);
      return rc.right - rc.left;
    };
    POINT edge = {5, 100};
    ClientToScreen(dlg->m_hWnd, &edge);
    SetCursorPos(edge.x, edge.y);
    const int before = treeWidth();
    SendMessageW(splitter, WM_RBUTTONDOWN, MK_RBUTTON, 0);
    SendMessageW(splitter, WM_MOUSEMOVE, MK_RBUTTON, 0);
    EXPECT_EQ(before, treeWidth()) << "right button";
    SendMessageW(splitter, WM_LBUTTONDOWN, MK_LBUTTON | MK_SHIFT, 0);
    SendMessageW(splitter, WM_MOUSEMOVE, MK_LBUTTON | MK_SHIFT, 0);
    EXPECT_EQ(before, treeWidth()) << "with Shift";
    EXPECT_NE(splitter, GetCapture());
    SendMessageW(splitter, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    EXPECT_EQ(splitter, GetCapture());
    SendMessageW(splitter, WM_MOUSEMOVE, MK_LBUTTON, 0);
    EXPECT_EQ(40, treeWidth()) << "the far left stops at 40 pixels";
    EXPECT_EQ(40, LoadKeyTreeWidth());
    SendMessageW(splitter, WM_LBUTTONUP, 0, MAKELPARAM(-300, -300));
    EXPECT_NE(splitter, GetCapture()) << "a release outside the window ends the drag";
    POINT mid = {300, 100};
    ClientToScreen(dlg->m_hWnd, &mid);
    SetCursorPos(mid.x, mid.y);
    SendMessageW(splitter, WM_MOUSEMOVE, MK_LBUTTON, 0);
    EXPECT_EQ(40, treeWidth());

    // The far right leaves the list 40 pixels; a resize keeps the tree width
    // and gives the combo and the list the rest of the client area.
    RECT client;
    GetClientRect(dlg->m_hWnd, &client);
    POINT right = {client.right + 50, 100};
    ClientToScreen(dlg->m_hWnd, &right);
    SetCursorPos(right.x, right.y);
    SendMessageW(splitter, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    SendMessageW(splitter, WM_MOUSEMOVE, MK_LBUTTON, 0);
    SendMessageW(splitter, WM_LBUTTONUP, 0, 0);
    EXPECT_EQ(client.right - 40, treeWidth());
    EXPECT_EQ(200, LayoutRegistryPanes(dlg, 200));
    SetWindowPos(dlg->m_hWnd, nullptr, 0, 0, 900, 500, SWP_NOMOVE | SWP_NOZORDER);
    GetClientRect(dlg->m_hWnd, &client);
    EXPECT_EQ(200, treeWidth());
    RECT list, comboRect;
    GetWindowRect(dlg->List(), &list);
    GetWindowRect(dlg->Combo(), &comboRect);
    MapWindowPoints(nullptr, dlg->m_hWnd, reinterpret_cast<POINT*>(&list), 2);
    MapWindowPoints(nullptr, dlg->m_hWnd, reinterpret_cast<POINT*>(&comboRect), 2);
    EXPECT_EQ(client.right, list.right);
    EXPECT_EQ(client.bottom, list.bottom);
    EXPECT_EQ(client.right, comboRect.right - comboRect.left);

    // Label edits: roots refuse; Escape and Enter end the edit, not the dialog.
    SelectKeyPath(dlg, L"HKEY_LOCAL_MACHINE\\SYSTEM");
    EXPECT_FALSE(TreeView_EditLabel(tree, TreeView_GetSelection(tree)));
    SelectKeyPath(dlg, kVro);
    for (UINT key : {VK_ESCAPE, VK_RETURN}) {
      SetFocus(tree);
      HWND edit = TreeView_EditLabel(tree, TreeView_GetSelection(tree));
      ASSERT_TRUE(edit);
      EXPECT_TRUE(dynamic_cast<CTreeviewEdit*>(CWindow::FromWindow(edit)));
      MSG msg = {edit, WM_KEYDOWN, key, 1};
      EXPECT_TRUE(IsDialogMessageW(dlg->m_hWnd, &msg));
      uitest::WaitFor([&] { return !IsWindow(edit); }, 2000);
      EXPECT_FALSE(IsWindow(edit)) << key;
      EXPECT_TRUE(IsWindowVisible(dlg->m_hWnd)) << key;
      EXPECT_EQ(kVro, SelectedPath(dlg));
    }

    // Turning the wheel over the address combo moves nothing.
    SelectKeyPath(dlg, L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro");
    SelectKeyPath(dlg, kVro);
    HWND combo = dlg->Combo();
    ASSERT_EQ(2, ComboBox_GetCount(combo));
    RECT rc;
    GetWindowRect(combo, &rc);
    SendMessageW(combo, WM_MOUSEWHEEL, MAKEWPARAM(0, (WORD)-WHEEL_DELTA),
                 MAKELPARAM(rc.left + 5, rc.top + 5));
    uitest::Pump();
    EXPECT_EQ(0, ComboBox_GetCurSel(combo));
    EXPECT_EQ(kVro, SelectedPath(dlg));

    // Choosing an entry, or typing, walks the tree to the key.
    ComboBox_SetCurSel(combo, 1);
    SendMessageW(dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_REG_ADDRESS, CBN_SELCHANGE),
                 (LPARAM)combo);
    EXPECT_EQ(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro", SelectedPath(dlg));
    EXPECT_EQ(tree, GetFocus());
    SetWindowTextW(combo, L"hkey_local_machine\\software\\v");
    SendMessageW(dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_REG_ADDRESS, CBN_EDITCHANGE),
                 (LPARAM)combo);
    EXPECT_EQ(L"HKEY_LOCAL_MACHINE\\SOFTWARE", SelectedPath(dlg))
        << "a partial name stops at its parent";
    SetWindowTextW(combo, L"hkey_local_machine\\software\\vro");
    SendMessageW(dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_REG_ADDRESS, CBN_EDITCHANGE),
                 (LPARAM)combo);
    EXPECT_EQ(kVro, SelectedPath(dlg));

    HMENU menu = GetMenu(dlg->m_hWnd);
    SetFocus(tree);
    SelectKeyPath(dlg, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\NoSuch");
    TreeView_SelectItem(tree, TreeView_GetParent(tree, TreeView_GetSelection(tree)));
    ASSERT_EQ(L"HKEY_LOCAL_MACHINE", SelectedPath(dlg));
    UpdateEditMenuState(dlg, menu);
    EXPECT_TRUE(GetMenuState(menu, ID_REG_NEW_KEY, MF_BYCOMMAND) & MF_GRAYED);
    EXPECT_TRUE(GetMenuState(menu, ID_REG_NEW_QWORD, MF_BYCOMMAND) & MF_GRAYED);
    SelectKeyPath(dlg, L"HKEY_LOCAL_MACHINE\\SYSTEM");
    UpdateEditMenuState(dlg, menu);
    EXPECT_FALSE(GetMenuState(menu, ID_REG_NEW_KEY, MF_BYCOMMAND) & MF_GRAYED);
    EXPECT_TRUE(GetMenuState(menu, ID_REG_DELETE, MF_BYCOMMAND) & MF_GRAYED);
    EXPECT_TRUE(GetMenuState(menu, ID_REG_RENAME, MF_BYCOMMAND) & MF_GRAYED);
    SelectKeyPath(dlg, kVro);
    UpdateEditMenuState(dlg, menu);
    EXPECT_FALSE(GetMenuState(menu, ID_REG_DELETE, MF_BYCOMMAND) & MF_GRAYED);
    UINT status = GetMenuState(menu, ID_REG_STATUS_BAR, MF_BYCOMMAND);
    EXPECT_TRUE((status & MF_GRAYED) && (status & MF_CHECKED));
  });
}

struct MenuSeen {
  bool shown = false, hasExpand = false, hasCollapse = false, expandGrey = false,
       deleteGrey = false;
  UINT defaultId = (UINT)-1;
};
MenuSeen g_menu;
UINT_PTR g_menuTimer;

void CALLBACK ReadMenu(HWND, UINT, UINT_PTR, DWORD) {
  HWND popup = FindWindowW(L"#32768", nullptr);
  if (!popup) return;
  KillTimer(nullptr, g_menuTimer);
  HMENU menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
  g_menu.shown = menu != nullptr;
  if (menu) {
    g_menu.hasExpand = GetMenuState(menu, ID_REG_EXPAND, MF_BYCOMMAND) != (UINT)-1;
    g_menu.hasCollapse = GetMenuState(menu, ID_REG_COLLAPSE, MF_BYCOMMAND) != (UINT)-1;
    g_menu.expandGrey =
        g_menu.hasExpand && (GetMenuState(menu, ID_REG_EXPAND, MF_BYCOMMAND) & MF_GRAYED);
    g_menu.deleteGrey = GetMenuState(menu, ID_REG_DELETE, MF_BYCOMMAND) & MF_GRAYED;
    g_menu.defaultId = GetMenuDefaultItem(menu, FALSE, 0);
  }
  EndMenu();
}

// Right click on the tree item under the cursor: the item's menu as it shows.
MenuSeen RightClickItem(CRegistryDlg* dlg, const wchar_t* path) {
  HWND tree = dlg->Tree();
  SelectKeyPath(dlg, path);
  HTREEITEM item = TreeView_GetSelection(tree);
  TreeView_SelectItem(tree, TreeView_GetRoot(tree));
  RECT rc = {};
  TreeView_GetItemRect(tree, item, &rc, TRUE);
  POINT pt = {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
  ClientToScreen(tree, &pt);
  SetCursorPos(pt.x, pt.y);
  SetFocus(tree);
  g_menu = MenuSeen();
  g_menuTimer = SetTimer(nullptr, 0, 20, ReadMenu);
  NMHDR click = {tree, IDC_REG_TREE, (UINT)NM_RCLICK};
  SendMessageW(dlg->m_hWnd, WM_NOTIFY, IDC_REG_TREE, reinterpret_cast<LPARAM>(&click));
  KillTimer(nullptr, g_menuTimer);
  EXPECT_EQ(path, SelectedPath(dlg)) << "the item under the cursor is selected";
  return g_menu;
}

// The key menu offers expand or collapse as the item stands.
TEST_F(RegistryDlgTest, KeyContextMenu) {
  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    HWND tree = dlg->Tree();
    SelectKeyPath(dlg, L"HKEY_LOCAL_MACHINE\\SAM");
    TreeView_Expand(tree, TreeView_GetSelection(tree), TVE_COLLAPSE);
    MenuSeen m = RightClickItem(dlg, L"HKEY_LOCAL_MACHINE\\SAM");
    ASSERT_TRUE(m.shown);
    EXPECT_TRUE(m.hasExpand && !m.hasCollapse);
    EXPECT_EQ((UINT)ID_REG_EXPAND, m.defaultId);
    EXPECT_TRUE(m.deleteGrey) << "a hive root";
    SelectKeyPath(dlg, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control");
    m = RightClickItem(dlg, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001");
    EXPECT_TRUE(!m.hasExpand && m.hasCollapse) << "expanded by the walk below it";
    EXPECT_EQ((UINT)ID_REG_COLLAPSE, m.defaultId);
    EXPECT_FALSE(m.deleteGrey);
    m = RightClickItem(dlg, L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro");
    EXPECT_TRUE(m.hasExpand && !m.hasCollapse && m.expandGrey) << "no subkeys";
  });
}

std::vector<std::wstring> FavoriteNames() {
  std::vector<std::wstring> out;
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRegistryFavoritesKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return out;
  for (DWORD i = 0;; ++i) {
    wchar_t name[128];
    DWORD length = 128;
    if (RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    out.push_back(name);
  }
  RegCloseKey(key);
  return out;
}

// The Favorites popup holds at most 100 favorites and jumps to their keys;
// the add dialog proposes the key's last name, the remove dialog deletes
// exactly the chosen entries.
TEST_F(RegistryDlgTest, Favorites) {
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kRegistryFavoritesKey, 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  const std::wstring target = L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro";
  for (int i = 0; i < 120; ++i) {
    wchar_t name[16];
    _snwprintf(name, 16, L"F%03d", i);
    name[15] = 0;
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(target.c_str()),
                   (DWORD)((target.size() + 1) * 2));
  }
  RegCloseKey(key);
  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    HMENU popup = GetSubMenu(GetMenu(dlg->m_hWnd), 3);
    SendMessageW(dlg->m_hWnd, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(popup),
                 MAKELPARAM(3, FALSE));
    ASSERT_EQ(2 + 1 + 100, GetMenuItemCount(popup));
    EXPECT_EQ((UINT)ID_REG_FAVORITE_FIRST + 99, GetMenuItemID(popup, 102));
    SendMessageW(dlg->m_hWnd, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(popup),
                 MAKELPARAM(3, FALSE));
    EXPECT_EQ(103, GetMenuItemCount(popup)) << "rebuilt, not appended";
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_FAVORITE_FIRST + 7, 0);
    EXPECT_EQ(target, SelectedPath(dlg));
  });

  RegDeleteTreeW(HKEY_CURRENT_USER, kRegistryFavoritesKey);
  RunEditor(&image, 1041, [&](CRegistryDlg* dlg) {
    SelectKeyPath(dlg, L"HKEY_CURRENT_USER\\NoSuch");
    ASSERT_EQ(L"HKEY_CURRENT_USER", SelectedPath(dlg));
    std::wstring proposed;
    bool okEnabled = false;
    EXPECT_TRUE(RunModal<CAddFavoritesDlg>(
        [&] { SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_ADD_FAVORITE, 0); },
        [&] {
          HWND add = g_innerDialog->m_hWnd;
          wchar_t text[128];
          GetDlgItemTextW(add, IDC_FAVORITE_NAME, text, 128);
          proposed = text;
          okEnabled = IsWindowEnabled(GetDlgItem(add, IDOK));
          SendMessageW(add, WM_COMMAND, IDCANCEL, 0);
        }));
    EXPECT_EQ(L"HKEY_CURRENT_USER", proposed);
    EXPECT_TRUE(okEnabled);
    for (const wchar_t* name : {L"A", L"B", L"C", L"D"}) {
      SelectKeyPath(dlg, kVro);
      EXPECT_TRUE(RunModal<CAddFavoritesDlg>(
          [&] { SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_ADD_FAVORITE, 0); },
          [&] {
            HWND add = g_innerDialog->m_hWnd;
            SetDlgItemTextW(add, IDC_FAVORITE_NAME, L"");
            uitest::Pump();
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(add, IDOK))) << "an empty name greys OK";
            SetDlgItemTextW(add, IDC_FAVORITE_NAME, name);
            SendMessageW(add, WM_COMMAND, IDOK, 0);
          }));
    }
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"B", L"C", L"D"}), FavoriteNames());
    EXPECT_TRUE(RunModal<CDelFavoritesDlg>(
        [&] { SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_REMOVE_FAVORITE, 0); },
        [&] {
          HWND list = GetDlgItem(g_innerDialog->m_hWnd, IDC_FAVORITE_LIST);
          EXPECT_EQ(1, SendMessageW(list, LB_GETSELCOUNT, 0, 0))
              << "the first entry starts selected";
          SendMessageW(list, LB_SETSEL, FALSE, -1);
          SendMessageW(list, LB_SETSEL, TRUE, 1);
          SendMessageW(list, LB_SETSEL, TRUE, 3);
          SendMessageW(g_innerDialog->m_hWnd, WM_COMMAND, IDOK, 0);
        }));
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"C"}), FavoriteNames());
  });
}

// Walking the tree and closing writes nothing back: the image is the same
// byte for byte. Pictures of the editor in the three languages.
TEST_F(RegistryDlgTest, BrowsingLeavesTheImageUnchanged) {
  const std::string before = vt::Sha256(disk.path);
  const std::string shots = vt::BinaryDirUnix() + "/regedit-pictures";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(shots)));
  const LANGID languages[] = {2052, 1041, 1042};
  const wchar_t* const fileMenus[] = {L"文件(&F)", L"ファイル(&F)", L"파일(&F)"};
  const wchar_t* const defaultNames[] = {L"(默认)", L"(既定)", L"(기본값)"};
  for (int i = 0; i < 3; ++i) {
    RunEditor(&image, languages[i], [&](CRegistryDlg* dlg) {
      wchar_t text[64] = {};
      GetMenuStringW(GetMenu(dlg->m_hWnd), 0, text, 64, MF_BYPOSITION);
      EXPECT_STREQ(fileMenus[i], text);
      SelectKeyPath(dlg, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control");
      SelectKeyPath(dlg, kVro);
      EXPECT_EQ(defaultNames[i], Cell(dlg->List(), 0, 0));
      uitest::Pump();
      RECT rc;
      GetWindowRect(dlg->m_hWnd, &rc);
      std::string shot = shots + "/regedit-" + std::to_string(languages[i]) + ".png";
      EXPECT_TRUE(uitest::Screenshot(rc, shot));
    });
  }
  image.UnloadHives();
  EXPECT_EQ(before, vt::Sha256(disk.path));

  // Closing kept the placement, the three column widths and the last key;
  // a stored tree width is used when the editor opens.
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\VroMount", 0, KEY_ALL_ACCESS, &key));
  DWORD size = 0;
  EXPECT_EQ(ERROR_SUCCESS,
            RegQueryValueExW(key, L"RegistryPlacement", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(44u, size);
  EXPECT_EQ(ERROR_SUCCESS,
            RegQueryValueExW(key, L"ListviewKeyColumn", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(12u, size);
  wchar_t last[400] = {};
  size = sizeof(last) - 2;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"LastKey", nullptr, nullptr, (BYTE*)last, &size));
  EXPECT_STREQ(kVro, last);
  RegCloseKey(key);
  SaveKeyTreeWidth(150);
  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    RECT rc;
    GetWindowRect(dlg->Tree(), &rc);
    EXPECT_EQ(150, rc.right - rc.left);
    EXPECT_EQ(kVro, SelectedPath(dlg));
  });
}

}  // namespace
