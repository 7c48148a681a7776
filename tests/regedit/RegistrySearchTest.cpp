// The registry search on real windows: the progress dialog's worker walks
// the hives and selects each hit in the editor's tree and list; find next
// goes on after it; the list's rows never stand in for the hive.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../registry/FacadeTestUtil.h"
#include "EditorTestUtil.h"
#include "regedit/RegistryCommands.h"
#include "regedit/RegistrySearch.h"
#include "regedit/SearchDialogs.h"
#include "resources/ResourceIds.h"

namespace {

using namespace edtest;

const std::wstring kFind = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Find";

// The selected key and, after a "|", the selected row's name.
std::wstring Position(CRegistryDlg* dlg) {
  int row = ListView_GetNextItem(dlg->List(), -1, LVNI_SELECTED);
  return SelectedPath(dlg) + L"|" + (row < 0 ? L"" : Cell(dlg->List(), row, 0));
}

void SetPattern(CRegistryDlg* dlg, const wchar_t* text, bool keys = true, bool whole = false) {
  free(dlg->m_textSearchPattern);
  dlg->m_textSearchPattern = _wcsdup(text);
  dlg->m_lookInKeys = keys;
  dlg->m_lookInValues = dlg->m_lookInData = 1;
  dlg->m_wholeString = whole;
}

INT_PTR FindNext(CRegistryDlg* dlg) {
  CFindNextDlg* progress = new CFindNextDlg(dlg, dlg->m_image);
  return progress->Create(dlg, IDD_REG_FIND_PROGRESS, TRUE, 0);
}

INT_PTR FindHexNext(CRegistryDlg* dlg, const wchar_t* hex) {
  CFindHexNextDlg* progress = new CFindHexNextDlg(hex, dlg->m_image);
  return progress->Create(dlg, IDD_REG_FIND_PROGRESS, TRUE, 0);
}

class RegistrySearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearSettings();
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\VroMount\\History\\KeyString");
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\VroMount\\History\\KeyHex");
    disk = rt::MakeWinDisk("");
    ASSERT_EQ(3, image.OpenImage(disk.path.c_str(), nullptr, 0, 0));
  }
  void Set(const std::wstring& key, const wchar_t* name, uint32_t type,
           const std::vector<uint8_t>& data) {
    image.RegCreateKey(key.c_str());  // made now or there already
    ASSERT_EQ(REG_STATUS_OK,
              image.RegSetValue(key.c_str(), name, data.data(), (uint32_t)data.size(), type))
        << name;
  }
  rt::WinDisk disk;
  CMountedImage image;
};

TEST_F(RegistrySearchTest, OrderHitsAndHives) {
  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    const std::wstring a = kFind + L"\\A", b = kFind + L"\\B", c = kFind + L"\\C";
    Set(a, L"a1", REG_SZ, Bytes(L"nothing"));
    Set(a, L"a2", REG_SZ, Bytes(L"a needle"));
    Set(a, L"a3", REG_SZ, Bytes(L"NEEDLE too"));
    Set(a + L"\\Sub", L"s", REG_EXPAND_SZ, Bytes(L"%needle%"));
    Set(b, L"", REG_SZ, Bytes(L"default needle"));
    Set(c, L"bin", REG_BINARY, {0x61, 0, 0x62, 0, 0x63, 0});
    ASSERT_EQ(REG_STATUS_OK, image.RegCreateKey((kFind + L"\\needleKey").c_str()));
    Set(L"HKEY_LOCAL_MACHINE\\SAM\\Vro", L"zzuniq", REG_SZ, Bytes(L"x"));
    Set(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro", L"zzuniq", REG_SZ, Bytes(L"x"));
    SelectKeyPath(dlg, a.c_str());
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_REFRESH, 0);

    // From a selected value row: the rows after it, the subkeys, the default
    // value of the next key, then a key whose name matches.
    SetPattern(dlg, L"needle");
    ASSERT_EQ(1, SelectRow(dlg, L"a1"));
    EXPECT_EQ(0, FindNext(dlg));
    EXPECT_EQ(a + L"|a2", Position(dlg));
    EXPECT_EQ(0, FindNext(dlg));
    EXPECT_EQ(a + L"|a3", Position(dlg));
    EXPECT_EQ(0, FindNext(dlg));
    EXPECT_EQ(a + L"\\Sub|s", Position(dlg));
    EXPECT_EQ(0, FindNext(dlg));
    EXPECT_EQ(b + L"|(默认)", Position(dlg)) << "the default value's data";
    EXPECT_EQ(0, FindNext(dlg));
    EXPECT_EQ(kFind + L"\\needleKey|", Position(dlg)) << "a key hit selects no row";

    // The list changed behind the search: a3 is gone from the hive while its
    // row still stands; the search reads the hive and moves past it.
    SelectKeyPath(dlg, a.c_str());
    ASSERT_EQ(REG_STATUS_OK, image.RegDeleteValue(a.c_str(), L"a3"));
    ASSERT_GE(ListFindItemText(dlg->List(), L"a3"), 0);
    SelectRow(dlg, L"a2");
    EXPECT_EQ(0, FindNext(dlg));
    EXPECT_EQ(a + L"\\Sub|s", Position(dlg));
    ASSERT_EQ(REG_STATUS_OK, image.RegDeleteValue(a.c_str(), L"a2"));
    SelectKeyPath(dlg, a.c_str());
    SelectRow(dlg, L"a1");
    ASSERT_EQ(REG_STATUS_OK, image.RegDeleteValue(a.c_str(), L"a1"));
    EXPECT_EQ(0, FindNext(dlg)) << "the selected value itself is gone";
    EXPECT_EQ(a + L"\\Sub|s", Position(dlg));

    // "abc" in UTF-16 binary data; whole-string matching of names.
    SetPattern(dlg, L"abc", false);
    SelectKeyPath(dlg, kFind.c_str());
    ListClearItemSelection(dlg->List(), -1);
    EXPECT_EQ(0, FindNext(dlg));
    EXPECT_EQ(c + L"|bin", Position(dlg));
    SetPattern(dlg, L"NEEDLEKEY", true, true);
    SelectKeyPath(dlg, kFind.c_str());
    EXPECT_EQ(0, FindNext(dlg));
    EXPECT_EQ(kFind + L"\\needleKey|", Position(dlg));

    // Bytes: 4142 matches the data 61 62 folded, not the name AB (41 00 42 00).
    Set(c, L"AB", REG_DWORD, {0, 0, 0, 0});
    Set(c, L"ab2", REG_BINARY, {0x61, 0x62});
    SelectKeyPath(dlg, c.c_str());
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_REFRESH, 0);
    ListClearItemSelection(dlg->List(), -1);
    EXPECT_EQ(0, FindHexNext(dlg, L"4142"));
    EXPECT_EQ(c + L"|ab2", Position(dlg));
    ListClearItemSelection(dlg->List(), -1);
    EXPECT_EQ(0, FindHexNext(dlg, L"4100"));
    EXPECT_EQ(c + L"|AB", Position(dlg));

    // The hives in order from the current user's: SAM before SYSTEM; from
    // SYSTEM's last key the search ends there.
    SetPattern(dlg, L"zzuniq");
    SelectKeyPath(dlg, L"HKEY_CURRENT_USER");
    EXPECT_EQ(0, FindNext(dlg));
    EXPECT_EQ(L"HKEY_LOCAL_MACHINE\\SAM\\Vro|zzuniq", Position(dlg));
    EXPECT_EQ(0, FindNext(dlg));
    EXPECT_EQ(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro|zzuniq", Position(dlg));
    EXPECT_EQ(1, FindNext(dlg)) << "nothing after it: the end of SYSTEM ends the search";
    EXPECT_EQ(L"HKEY_LOCAL_MACHINE\\BCD00000000", NextSearchHive(L"hkey_current_user\\x"));
    EXPECT_EQ(L"HKEY_LOCAL_MACHINE\\BCD00000000", NextSearchHive(L"HKEY_LOCAL_MACHINE"));
    EXPECT_EQ(L"", NextSearchHive(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro"));

    // A cancelled walk finds nothing.
    volatile long cancel = 1;
    SearchMatcher matcher;
    matcher.text = L"needle";
    SearchStart start;
    start.keyPath = kFind;
    EXPECT_EQ(L"", CRegistrySearchWalk(&image, matcher, &cancel, L"(d)").Run(start));

    // Through the commands: the find dialog stores the text and options and
    // runs the search; nothing found shows string 175; find next without a
    // search opens the find dialog.
    SelectKeyPath(dlg, L"HKEY_LOCAL_MACHINE\\SYSTEM\\Vro");
    free(dlg->m_textSearchPattern);
    dlg->m_textSearchPattern = nullptr;
    dlg->m_hexSearchText.clear();
    BoxAnswerer boxes(IDOK);
    EXPECT_TRUE(RunModal<CFindDlg>(
        [&] { SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_FIND_NEXT, 0); },
        [&] {
          HWND h = g_innerDialog->m_hWnd;
          HWND combo = GetDlgItem(h, IDC_FIND_TEXT);
          EXPECT_FALSE(IsWindowEnabled(GetDlgItem(h, IDOK))) << "no text";
          SetWindowTextW(combo, L"no such text anywhere");
          SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_FIND_TEXT, CBN_EDITCHANGE), (LPARAM)combo);
          EXPECT_TRUE(IsWindowEnabled(GetDlgItem(h, IDOK)));
          Picture(h, "find", 2052);
          SendMessageW(h, WM_COMMAND, IDOK, 0);
        }));
    ASSERT_TRUE(dlg->m_textSearchPattern);
    EXPECT_STREQ(L"no such text anywhere", dlg->m_textSearchPattern);
    EXPECT_EQ((std::vector<std::wstring>{L"注册表搜索完毕！"}), boxes.texts);

    // Hex find: an odd text is refused with string 191; typed non-digits go.
    EXPECT_TRUE(RunModal<CFindHexDlg>(
        [&] { SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_FIND_HEX, 0); },
        [&] {
          HWND h = g_innerDialog->m_hWnd;
          HWND combo = GetDlgItem(h, IDC_FIND_TEXT);
          SetWindowTextW(combo, L"4x1");
          SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_FIND_TEXT, CBN_EDITCHANGE), (LPARAM)combo);
          wchar_t text[32];
          GetWindowTextW(combo, text, 32);
          EXPECT_STREQ(L"41", text);
          SetWindowTextW(combo, L"414");
          SendMessageW(h, WM_COMMAND, IDOK, 0);
          uitest::WaitFor([&] { return boxes.texts.size() == 2; }, 2000);
          Picture(h, "find-hex", 2052);
          SendMessageW(h, WM_COMMAND, IDCANCEL, 0);
        }));
    ASSERT_EQ(2u, boxes.texts.size());
    EXPECT_EQ(L"请输入正确的十六进制数值！", boxes.texts[1]);
  });
}

}  // namespace
