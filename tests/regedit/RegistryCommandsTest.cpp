// The registry editor's commands on real windows: new keys and values with
// their proposed names, rename, delete, .reg import with and without its
// progress window, dropped files, export; every effect read back from the
// image with hivexregedit after the editor closed, and the export compared
// with the batch mode's.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../registry/FacadeTestUtil.h"
#include "EditorTestUtil.h"
#include "app/ImageOperations.h"
#include "regedit/ImportRegistryDlg.h"
#include "regedit/RegistryCommands.h"
#include "resources/ResourceIds.h"
#include "ui/dragdrop/OleObjects.h"

namespace {

using namespace edtest;

const std::wstring kCmd = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Cmd";

// Whether an import dialog showed itself while it ran.
bool g_importShown;
HHOOK g_hook;
LRESULT CALLBACK WatchShows(int code, WPARAM wParam, LPARAM lParam) {
  const CWPRETSTRUCT* msg = reinterpret_cast<CWPRETSTRUCT*>(lParam);
  if (code == HC_ACTION && msg->message == WM_WINDOWPOSCHANGED &&
      (reinterpret_cast<WINDOWPOS*>(msg->lParam)->flags & SWP_SHOWWINDOW) &&
      dynamic_cast<CImportRegistryDlg*>(CWindow::FromWindow(msg->hwnd)))
    g_importShown = true;
  return CallNextHookEx(g_hook, code, wParam, lParam);
}

// A .reg file of about `bytes` bytes that sets values below `key`.
std::wstring RegText(const std::wstring& key, size_t bytes) {
  std::wstring text = L"Windows Registry Editor Version 5.00\r\n\r\n[" + key + L"]\r\n";
  for (int i = 0; text.size() * 2 < bytes; ++i)
    text += L"\"v" + std::to_wstring(i) + L"\"=\"" + std::wstring(60, L'x') + L"\"\r\n";
  return text;
}

std::vector<std::wstring> ChildNames(CRegistryDlg* dlg, const std::wstring& path) {
  SelectKeyPath(dlg, path.c_str());
  return ChildTexts(dlg->Tree(), TreeView_GetSelection(dlg->Tree()));
}

void EndTreeEdit(CRegistryDlg* dlg, const wchar_t* text, bool cancel = false) {
  HWND edit = TreeView_GetEditControl(dlg->Tree());
  ASSERT_TRUE(edit);
  if (text) SetWindowTextW(edit, text);
  TreeView_EndEditLabelNow(dlg->Tree(), cancel);
}

void EndListEdit(CRegistryDlg* dlg, const wchar_t* text) {
  HWND edit = ListView_GetEditControl(dlg->List());
  ASSERT_TRUE(edit);
  if (text) SetWindowTextW(edit, text);
  SendMessageW(edit, WM_KEYDOWN, VK_RETURN, 0);
  uitest::WaitFor([&] { return !IsWindow(edit); }, 2000);
}

// The text of the one message box that `act` shows (answered with OK).
template <class Act>
std::wstring OnlyBox(Act act) {
  BoxAnswerer ok(IDOK);
  act();
  EXPECT_EQ(1u, ok.texts.size()) << testing::PrintToString(ok.texts);
  return ok.texts.empty() ? std::wstring() : ok.texts[0];
}

std::wstring EditText(HWND edit) {
  wchar_t text[360] = {};
  GetWindowTextW(edit, text, 360);
  return text;
}

class RegistryCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearSettings();
    OleInitialize(nullptr);
    disk = rt::MakeWinDisk("");
    ASSERT_EQ(3, image.OpenImage(disk.path.c_str(), nullptr, 0, 2));
  }
  void Set(const std::wstring& key, const wchar_t* name, uint32_t type,
           const std::vector<uint8_t>& data) {
    image.RegCreateKey(key.c_str());
    ASSERT_EQ(REG_STATUS_OK,
              image.RegSetValue(key.c_str(), name, data.data(), (uint32_t)data.size(), type));
  }
  rt::WinDisk disk;
  CMountedImage image;
};

TEST_F(RegistryCommandsTest, EditsImportsAndExports) {
  const std::wstring dir = vt::ToWin(disk.dir);
  const std::wstring small = dir + L"\\small.reg", large = dir + L"\\large.reg",
                     bad = dir + L"\\bad.reg", exported = dir + L"\\branch",
                     dropped = dir + L"\\dropped.reg";
  rt::WriteRegFile(small, RegText(kCmd + L"\\Small", 100 * 1024));
  rt::WriteRegFile(large, RegText(kCmd + L"\\Large", 300 * 1024));
  rt::WriteRegFile(bad, L"not a registry file\r\n");
  rt::WriteRegFile(dropped, L"Windows Registry Editor Version 5.00\r\n\r\n[" + kCmd +
                                L"\\Dropped]\r\n\"d\"=dword:00000007\r\n");
  const std::wstring bigKey = kCmd + L"\\Vals";

  RunEditor(&image, 2052, [&](CRegistryDlg* dlg) {
    HWND tree = dlg->Tree(), list = dlg->List();
    for (const wchar_t* k : {L"\\新项 #1", L"\\新项 #2", L"\\Ren", L"\\Gone"})
      ASSERT_EQ(REG_STATUS_OK, image.RegCreateKey((kCmd + k).c_str()));
    Set(bigKey, L"", REG_SZ, Bytes(L"default"));
    for (const wchar_t* v : {L"d1", L"d2", L"d3", L"d4", L"新值 #1"})
      Set(bigKey, v, REG_DWORD, {1, 0, 0, 0});
    Set(bigKey, L"keep", REG_SZ, Bytes(L"kept"));
    SelectKeyPath(dlg, kCmd.c_str());
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_REFRESH, 0);

    // New key: the numbers 1 and 2 are taken, 3 is proposed and Enter takes
    // it; 4 comes next and Escape takes it as well.
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_NEW_KEY, 0);
    EXPECT_EQ(L"新项 #3", EditText(TreeView_GetEditControl(tree)));
    EndTreeEdit(dlg, nullptr);
    SelectKeyPath(dlg, kCmd.c_str());
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_NEW_KEY, 0);
    EXPECT_EQ(L"新项 #4", EditText(TreeView_GetEditControl(tree)));
    EndTreeEdit(dlg, nullptr, true);
    // An existing name typed for a new key: the placeholder goes.
    SelectKeyPath(dlg, kCmd.c_str());
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_NEW_KEY, 0);
    EndTreeEdit(dlg, L"Ren");
    EXPECT_EQ((std::vector<std::wstring>{L"Gone", L"Ren", L"Vals", L"新项 #1", L"新项 #2",
                                         L"新项 #3", L"新项 #4"}),
              ChildNames(dlg, kCmd));

    // Rename: in another letter case only, nothing; to a new name, done.
    SelectKeyPath(dlg, (kCmd + L"\\Ren").c_str());
    SetFocus(tree);
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_RENAME, 0);
    EndTreeEdit(dlg, L"REN");
    EXPECT_EQ(L"Ren", ChildNames(dlg, kCmd)[1]) << "a case-only rename does nothing";
    SelectKeyPath(dlg, (kCmd + L"\\Ren").c_str());
    SetFocus(tree);
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_RENAME, 0);
    EndTreeEdit(dlg, L"Renamed");
    EXPECT_EQ(kCmd + L"\\Renamed", SelectedPath(dlg));
    // Onto a sibling's name: refused, and said so as Windows' editor does.
    SetFocus(tree);
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_RENAME, 0);
    EXPECT_EQ(L"注册表编辑器无法重命名 Renamed。指定的项名已存在。请键入其他名称并重试。",
              OnlyBox([&] { EndTreeEdit(dlg, L"vals"); }));
    std::vector<std::wstring> after = ChildNames(dlg, kCmd);
    after.resize(3);
    EXPECT_EQ((std::vector<std::wstring>{L"Gone", L"Renamed", L"Vals"}), after);

    // Delete a key from the tree.
    SelectKeyPath(dlg, (kCmd + L"\\Gone").c_str());
    SetFocus(tree);
    {
      BoxAnswerer yes(IDYES);
      SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_DELETE, 0);
      EXPECT_EQ(1u, yes.texts.size());
    }
    EXPECT_EQ((std::vector<std::wstring>{L"Renamed", L"Vals", L"新项 #1", L"新项 #2", L"新项 #3",
                                         L"新项 #4"}),
              ChildNames(dlg, kCmd));

    // New value: "新值 #1" exists, "新值 #2" is proposed; a typed existing
    // name is refused and the value keeps its data.
    SelectKeyPath(dlg, bigKey.c_str());
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_NEW_QWORD, 0);
    EXPECT_EQ(L"新值 #2", EditText(ListView_GetEditControl(list)));
    EndListEdit(dlg, nullptr);
    EXPECT_EQ(L"REG_QWORD", Cell(list, ListFindItemText(list, L"新值 #2"), 1));
    const int rows = ListView_GetItemCount(list);
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_NEW_STRING, 0);
    EndListEdit(dlg, L"keep");
    EXPECT_EQ(rows, ListView_GetItemCount(list)) << "the new row went";
    // Renaming a value onto another's name is refused and said so as well.
    SelectRow(dlg, L"d4");
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_RENAME, 0);
    EXPECT_EQ(L"注册表编辑器无法重命名 d4。指定的值名已存在。请键入其他名称并重试。",
              OnlyBox([&] { EndListEdit(dlg, L"keep"); }));
    EXPECT_GE(ListFindItemText(list, L"d4"), 0);

    // Delete: the default row keeps its row with an empty data text; three
    // selected values go, exactly those rows.
    SelectRow(dlg, L"(默认)");
    {
      BoxAnswerer yes(IDYES);
      SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_DELETE, 0);
    }
    EXPECT_EQ(L"(默认)", Cell(list, 0, 0));
    EXPECT_EQ(L"", Cell(list, 0, 2));
    SelectRow(dlg, L"d1");
    for (const wchar_t* v : {L"d2", L"d3"})
      ListView_SetItemState(list, ListFindItemText(list, v), LVIS_SELECTED, LVIS_SELECTED);
    {
      BoxAnswerer yes(IDYES);
      SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_DELETE, 0);
    }
    std::vector<std::wstring> names;
    for (int r = 0; r < ListView_GetItemCount(list); ++r) names.push_back(Cell(list, r, 0));
    EXPECT_EQ((std::vector<std::wstring>{L"(默认)", L"d4", L"keep", L"新值 #1", L"新值 #2"}),
              names);

    // Import: 100 KB imports without showing the progress window, 300 KB
    // shows it; one good and one bad file report both.
    g_hook = SetWindowsHookExW(WH_CALLWNDPROCRET, WatchShows, nullptr, GetCurrentThreadId());
    {
      BoxAnswerer ok(IDOK);
      g_importShown = false;
      std::wstring one = small + L'\0';
      ImportRegFileSelection(dlg, one.c_str());
      EXPECT_FALSE(g_importShown) << "100 KB";
      g_importShown = false;
      one = large + L'\0';
      ImportRegFileSelection(dlg, one.c_str());
      EXPECT_TRUE(g_importShown) << "300 KB";
      std::wstring two = dir + L'\0' + L"large.reg" + L'\0' + L"bad.reg" + L'\0';
      ImportRegFileSelection(dlg, two.c_str());
      ASSERT_EQ(4u, ok.texts.size()) << testing::PrintToString(ok.texts);
      EXPECT_EQ(small + L" 中包含的项和值已成功添加到注册表中。", ok.texts[0]);
      EXPECT_EQ(large + L"\r\n\r\n 中包含的项和值已成功添加到注册表中。", ok.texts[2]);
      EXPECT_EQ(bad + L"\r\n\r\n 中包含的项和值无法添加到注册表中。", ok.texts[3]);
    }
    UnhookWindowsHookEx(g_hook);
    SelectKeyPath(dlg, kCmd.c_str());
    EXPECT_GE(
        TreeFindSiblingByText(tree, TreeView_GetChild(tree, TreeView_GetSelection(tree)), L"Large"),
        (HTREEITEM) nullptr);

    // A dropped .reg file: the drag describes it, the drop imports it.
    wchar_t description[MAX_PATH] = {};
    EXPECT_EQ((DWORD)DROPEFFECT_MOVE, RegFileDropCallback((LPARAM)dlg, tree, dropped.c_str(),
                                                          description, MAX_PATH, FALSE));
    EXPECT_STREQ(L"dropped.reg", description);
    EXPECT_EQ(
        (DWORD)DROPEFFECT_NONE,
        RegFileDropCallback((LPARAM)dlg, tree, (dir + L"\\a.txt").c_str(), nullptr, 0, FALSE));
    {
      BoxAnswerer ok(IDOK);
      EXPECT_EQ((DWORD)DROPEFFECT_MOVE,
                RegFileDropCallback((LPARAM)dlg, tree, dropped.c_str(), nullptr, 0, TRUE));
      EXPECT_EQ(1u, ok.texts.size());
    }

    // Export: ".reg" is added to a bare name and kept in any letter case.
    EXPECT_EQ(0u, ExportRegistryBranch(dlg, exported.c_str(), kCmd.c_str(), 0));
    EXPECT_TRUE(vt::FileExists(exported + L".reg"));
    EXPECT_EQ(0u, ExportRegistryBranch(dlg, (dir + L"\\upper.REG").c_str(), kCmd.c_str(), 0));
    EXPECT_TRUE(vt::FileExists(dir + L"\\upper.REG"));
    EXPECT_FALSE(vt::FileExists(dir + L"\\upper.REG.reg"));
    EXPECT_NE(0u, ExportRegistryBranch(dlg, L"", kCmd.c_str(), 0)) << "an empty name is no file";
    EXPECT_EQ(0u, ExportRegistryBranch(dlg, (dir + L"\\a").c_str(), kCmd.c_str(), 0));
    EXPECT_TRUE(vt::FileExists(dir + L"\\a.reg")) << "a name shorter than the extension";

    // Copy key name.
    SelectKeyPath(dlg, kCmd.c_str());
    SendMessageW(dlg->m_hWnd, WM_COMMAND, ID_REG_COPY_KEY_NAME, 0);
    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE clip = GetClipboardData(CF_UNICODETEXT);
    EXPECT_STREQ(kCmd.c_str(), clip ? static_cast<const wchar_t*>(GlobalLock(clip)) : L"");
    if (clip) GlobalUnlock(clip);
    CloseClipboard();
  });

  // The batch mode's export of the same key, byte for byte.
  ASSERT_TRUE(image.Close());
  const std::wstring batch = dir + L"\\batch.reg";
  ASSERT_EQ(kImageOk,
            ImageExportRegistryW(disk.path.c_str(), nullptr, 0, kCmd.c_str(), batch.c_str()));
  EXPECT_EQ(vt::Sha256(batch), vt::Sha256(exported + L".reg"));

  // Every command's effect in the image, read with hivexregedit.
  const std::string hive = rt::NtfsCat(disk, disk.unixPath, "/Windows/System32/config/SOFTWARE",
                                       disk.dir + "/software.hiv");
  std::string out;
  vt::Sh("hivexregedit --export " + vt::Q(hive) + " '\\Vro\\Cmd' 2>&1", &out);
  for (const char* key : {"[\\Vro\\Cmd\\新项 #3]", "[\\Vro\\Cmd\\新项 #4]", "[\\Vro\\Cmd\\Renamed]",
                          "[\\Vro\\Cmd\\Small]", "[\\Vro\\Cmd\\Large]", "[\\Vro\\Cmd\\Dropped]"})
    EXPECT_NE(std::string::npos, out.find(key)) << key;
  for (const char* key : {"[\\Vro\\Cmd\\Gone]", "[\\Vro\\Cmd\\Ren]"})
    EXPECT_EQ(std::string::npos, out.find(key)) << key;
  const std::string vals = "\\Vro\\Cmd\\Vals";
  EXPECT_EQ("<missing>", HivexValue(hive, vals, "").type) << "the default value was deleted";
  for (const char* v : {"d1", "d2", "d3"}) EXPECT_EQ("<missing>", HivexValue(hive, vals, v).type);
  EXPECT_EQ("dword", HivexValue(hive, vals, "d4").type);
  EXPECT_EQ("hex(b)", HivexValue(hive, vals, "新值 #2").type);
  EXPECT_EQ(std::vector<uint8_t>(8, 0), HivexValue(hive, vals, "新值 #2").bytes);
  EXPECT_EQ(Bytes(L"kept"), HivexValue(hive, vals, "keep").bytes) << "never written over";
  EXPECT_EQ((std::vector<uint8_t>{7, 0, 0, 0}), HivexValue(hive, "\\Vro\\Cmd\\Dropped", "d").bytes);
}

// File -> Import of a file whose SYSTEM section is sound and whose SOFTWARE
// section holds bad data: the failure is shown, and neither hive keeps
// anything of it, in the tree or in the saved hives (hivexregedit).
TEST_F(RegistryCommandsTest, ImportIsAllOrNothingOverItsHives) {
  const std::wstring file = vt::ToWin(disk.dir) + L"\\mixed.reg";
  rt::WriteRegFile(file, L"Windows Registry Editor Version 5.00\r\n\r\n"
                         L"[HKEY_LOCAL_MACHINE\\SYSTEM\\Mixed]\r\n\"ok\"=dword:00000001\r\n\r\n"
                         L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Mixed]\r\n\"broken\"=hex:zz,qq\r\n");
  RunEditor(&image, 1041, [&](CRegistryDlg* dlg) {
    BoxAnswerer ok(IDOK);
    std::wstring one = file + L'\0';
    ImportRegFileSelection(dlg, one.c_str());
    ASSERT_EQ(1u, ok.texts.size());
    EXPECT_NE(std::wstring::npos, ok.texts[0].find(file));
    EXPECT_NE(std::wstring::npos, ok.texts[0].find(L"追加できません")) << vt::Narrow(ok.texts[0]);
    HWND tree = dlg->Tree();
    SelectKeyPath(dlg, L"HKEY_LOCAL_MACHINE\\SYSTEM");
    EXPECT_EQ(nullptr, TreeFindSiblingByText(
                           tree, TreeView_GetChild(tree, TreeView_GetSelection(tree)), L"Mixed"));
  });
  ASSERT_TRUE(image.Close());
  for (const char* name : {"SYSTEM", "SOFTWARE"}) {
    const std::string hive =
        rt::NtfsCat(disk, disk.unixPath, std::string("/Windows/System32/config/") + name,
                    disk.dir + "/" + name + ".hiv");
    std::string out;
    vt::Sh("hivexregedit --export " + vt::Q(hive) + " '\\' 2>&1", &out);
    EXPECT_EQ(std::string::npos, out.find("Mixed")) << name;
  }
}

}  // namespace
