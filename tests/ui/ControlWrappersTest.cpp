// The control wrappers on real controls, the Yes / All / No box, text
// measuring, version information and the named section.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "UiTestUtil.h"
#include "common/PathUtil.h"
#include "ui/AskYesAllNo.h"
#include "ui/FileDialogs.h"
#include "ui/HostLibraries.h"
#include "ui/TextMeasure.h"
#include "ui/UiLanguage.h"
#include "ui/VersionInfo.h"
#include "ui/controls/ControlWrappers.h"
#include "ui/controls/ListView.h"
#include "ui/controls/TreeView.h"

namespace {

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_WIN95_CLASSES | ICC_USEREX_CLASSES};
    InitCommonControlsEx(&icc);
    host_ = uitest::MakeHost();
  }
  void TearDown() override { DestroyWindow(host_); }
  HWND Make(const wchar_t* cls, DWORD style) {
    return CreateWindowExW(0, cls, L"", WS_CHILD | WS_VISIBLE | style, 0, 0, 300, 200, host_,
                           nullptr, nullptr, nullptr);
  }
  HWND host_ = nullptr;
};

TEST_F(ControlTest, ListViewItemsTextsAndSelection) {
  HWND list = Make(WC_LISTVIEWW, LVS_REPORT | LVS_SHOWSELALWAYS);
  for (int c = 0; c < 5; ++c) {
    LVCOLUMNW col = {LVCF_WIDTH, 0, 50};
    SendMessageW(list, LVM_INSERTCOLUMNW, c, LPARAM(&col));
  }
  EXPECT_EQ(0, ListAppendItem(list, L"alpha", 3));
  EXPECT_EQ(1, ListAppendItem(list, L"beta", 4));
  EXPECT_EQ(1, ListInsertItem(list, 1, L"between"));
  EXPECT_EQ(5, ListInsertItem(list, 5, nullptr));
  EXPECT_EQ(3, SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  ListSetItemText(list, 2, 4, L"Driver Two");
  ListSetItemParam(list, 2, 0x1234);
  ListSetItemImage(list, 1, 7);
  wchar_t text[kPathChars] = L"stale";
  EXPECT_EQ(4, ListGetItemText(list, 2, 0, text, kPathChars));
  EXPECT_STREQ(L"beta", text);
  EXPECT_EQ(7, ListGetItemImage(list, 1));
  EXPECT_EQ(0x1234, ListGetItemParam(list, 2));
  EXPECT_EQ(2, ListFindItemText(list, L"beta"));
  EXPECT_EQ(-1, ListFindItemText(list, L"bet"));
  EXPECT_EQ(2, ListFindItemPrefix(list, L"driver t"));
  EXPECT_EQ(-1, ListFindItemPrefix(list, L"Driver Two and more"));

  ListSelectItem(list, -1);
  EXPECT_EQ(3, SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0));
  EXPECT_EQ(-1, SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_FOCUSED))
      << "selecting all focuses none";
  ListClearItemSelection(list, -1);
  EXPECT_EQ(0, SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0));
  ListSelectItem(list, 1);
  EXPECT_EQ(1, SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_FOCUSED));
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_CHECKBOXES, LVS_EX_CHECKBOXES);
  ListSetItemStateImage(list, 0, INDEXTOSTATEIMAGEMASK(2));
  EXPECT_EQ(UINT(INDEXTOSTATEIMAGEMASK(2)),
            UINT(SendMessageW(list, LVM_GETITEMSTATE, 0, LVIS_STATEIMAGEMASK)));
}

// List-view groups as Windows keeps them (Wine's list view has none): the
// group records inserted and each item's group id.
std::map<int, std::wstring> g_groups;
std::map<int, int> g_itemGroups;
UINT g_groupState;

LRESULT WindowsGroups(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == LVM_INSERTGROUP) {
    const LVGROUP* g = reinterpret_cast<const LVGROUP*>(lParam);
    g_groups[g->iGroupId] = g->pszHeader;
    g_groupState = (g->mask & LVGF_STATE) ? g->state : 0;
    return LRESULT(g_groups.size() - 1);
  }
  LVITEMW* it = reinterpret_cast<LVITEMW*>(lParam);
  if (message == LVM_INSERTITEMW) {
    LRESULT index = SendMessageW(list, message, wParam, lParam);
    if (index >= 0 && (it->mask & LVIF_GROUPID)) g_itemGroups[int(index)] = it->iGroupId;
    return index;
  }
  if (message == LVM_GETITEMW && (it->mask & LVIF_GROUPID)) it->iGroupId = g_itemGroups[it->iItem];
  return SendMessageW(list, message, wParam, lParam);
}

TEST_F(ControlTest, ListViewGroupsThroughTheirSeam) {
  HWND list = Make(WC_LISTVIEWW, LVS_REPORT);
  ListGroupSend old = SetListGroupSend(WindowsGroups);
  EXPECT_EQ(0, ListInsertGroup(list, L"Network", 10, 5));
  EXPECT_EQ(0u, g_groupState);
  EXPECT_EQ(1, ListInsertGroup(list, L"Display", 20, 6));
  EXPECT_EQ(UINT(LVGS_COLLAPSIBLE), g_groupState);
  EXPECT_EQ(0, ListAppendItemToGroup(list, L"nic", 1, 10, 0));
  EXPECT_EQ(1, ListAppendItemToGroup(list, L"vga", 2, 20, 1));
  EXPECT_EQ(20, ListGetItemGroup(list, 1));
  EXPECT_EQ(10, ListGetItemGroup(list, 0));
  EXPECT_EQ(L"Display", g_groups[20]);
  SetListGroupSend(old);
}

TEST_F(ControlTest, TreeViewItemsAndSiblings) {
  HWND tree = Make(WC_TREEVIEWW, TVS_HASBUTTONS);
  HTREEITEM root = TreeAppendItem(tree, TVI_ROOT, L"Root", TRUE);
  HTREEITEM a = TreeAppendItem(tree, root, L"Alpha", FALSE);
  HTREEITEM b = TreeInsertItem(tree, root, a, L"Beta");
  TreeAppendItem(tree, b, L"Leaf", FALSE);
  EXPECT_TRUE(TreeGetItemChildren(tree, root));
  TreeSetItemChildren(tree, root, FALSE);
  EXPECT_FALSE(TreeGetItemChildren(tree, root));
  EXPECT_EQ(b, TreeFindSiblingByText(tree, a, L"BETA"));
  EXPECT_EQ(nullptr, TreeFindSiblingByText(tree, b, L"alpha")) << "only following siblings";
  TreeSetItemText(tree, a, L"Gamma");
  wchar_t text[kPathChars];
  TreeGetItemText(tree, a, text);
  EXPECT_STREQ(L"Gamma", text);
  SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, LPARAM(a));
  EXPECT_TRUE(TreeGetItemState(tree, a) & TVIS_SELECTED);
  TreeDeleteItem(tree, b);
  EXPECT_EQ(2, SendMessageW(tree, TVM_GETCOUNT, 0, 0));
}

TEST_F(ControlTest, ComboExTabAndToolbar) {
  HWND combo = Make(WC_COMBOBOXEXW, CBS_DROPDOWN);
  EXPECT_EQ(0, ComboExAppendItem(combo, L"C:\\", 2, 0, 100));
  EXPECT_EQ(1, ComboExAppendItem(combo, L"Windows", 1, 1, 200));
  wchar_t text[kPathChars];
  EXPECT_EQ(1, ComboExGetItem(combo, 1, text));
  EXPECT_STREQ(L"Windows", text);
  EXPECT_EQ(2, ComboExGetItem(combo, 0, nullptr));
  EXPECT_EQ(1, ComboExGetItemIndent(combo, 1));
  EXPECT_EQ(200, ComboExGetItemParam(combo, 1));
  ComboExSetEditItem(combo, L"D:\\Images", 3);
  GetWindowTextW(combo, text, kPathChars);
  EXPECT_STREQ(L"D:\\Images", text);

  HWND tab = Make(WC_TABCONTROLW, 0);
  EXPECT_EQ(0, TabInsertItem(tab, 0, L"One"));
  EXPECT_EQ(1, TabInsertItem(tab, 1, L"Two"));
  TCITEMW item = {TCIF_IMAGE};
  SendMessageW(tab, TCM_GETITEMW, 1, LPARAM(&item));
  EXPECT_EQ(1, item.iImage);

  HWND toolbar = Make(TOOLBARCLASSNAMEW, TBSTYLE_LIST);
  SendMessageW(toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
  TBBUTTON button = {I_IMAGENONE, 301, TBSTATE_ENABLED, BTNS_BUTTON | BTNS_SHOWTEXT};
  SendMessageW(toolbar, TB_ADDBUTTONSW, 1, LPARAM(&button));
  ToolbarSetButtonText(toolbar, 301, L"Open");
  TBBUTTONINFOW info = {sizeof info, TBIF_TEXT};
  info.pszText = text;
  info.cchText = kPathChars;
  SendMessageW(toolbar, TB_GETBUTTONINFOW, 301, LPARAM(&info));
  EXPECT_STREQ(L"Open", text);
}

TEST_F(ControlTest, HexDigitFilterKeepsTheCaret) {
  HWND combo = Make(L"COMBOBOX", CBS_DROPDOWN);
  SetWindowTextW(combo, L"0x1G");
  SendMessageW(combo, CB_SETEDITSEL, 0, MAKELPARAM(4, 4));
  EXPECT_EQ(2, KeepHexDigitsInCombo(combo));
  wchar_t text[16];
  GetWindowTextW(combo, text, 16);
  EXPECT_STREQ(L"01", text);
  DWORD start = 0, end = 0;
  SendMessageW(combo, CB_GETEDITSEL, WPARAM(&start), LPARAM(&end));
  EXPECT_EQ(2u, start);
  EXPECT_EQ(2u, end);

  // An empty edit field takes the selected item's text.
  SetWindowTextW(combo, L"");
  SendMessageW(combo, CB_ADDSTRING, 0, LPARAM(L"a-b-c"));
  SendMessageW(combo, CB_SETCURSEL, 0, 0);
  SetWindowTextW(combo, L"");
  EXPECT_EQ(3, KeepHexDigitsInCombo(combo));
  GetWindowTextW(combo, text, 16);
  EXPECT_STREQ(L"abc", text);

  wchar_t path[] = L"a/b/c";
  ReplaceCharInString(path, L'/', L'\\');
  EXPECT_STREQ(L"a\\b\\c", path);
}

BOOL CALLBACK FindBox(HWND w, LPARAM out) {
  wchar_t cls[16];
  if (GetClassNameW(w, cls, 16) && !lstrcmpW(cls, L"#32770") && IsWindowVisible(w)) {
    *reinterpret_cast<HWND*>(out) = w;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK AddVisibleButton(HWND w, LPARAM out) {
  wchar_t cls[16], text[40] = L"";
  if (!IsWindowVisible(w) || !GetClassNameW(w, cls, 16) || lstrcmpiW(cls, L"Button")) return TRUE;
  GetWindowTextW(w, text, 40);
  RECT rc;
  GetWindowRect(w, &rc);
  reinterpret_cast<std::vector<std::pair<LONG, std::wstring>>*>(out)->push_back({rc.left, text});
  return TRUE;
}

// Answers the box the other thread shows (a button, or WM_CLOSE as its
// close button and Esc send it) and reads its visible buttons, left to right.
struct BoxPresser {
  int button;
  std::wstring labels;
  void operator()(DWORD thread) {
    HWND box = nullptr;
    for (int i = 0; i < 250 && !box; ++i) {
      Sleep(20);
      EnumThreadWindows(thread, FindBox, LPARAM(&box));
    }
    if (!box) return;
    std::vector<std::pair<LONG, std::wstring>> buttons;
    for (int i = 0; i < 100 && buttons.size() != 3; ++i) {
      Sleep(20);
      buttons.clear();
      EnumChildWindows(box, AddVisibleButton, LPARAM(&buttons));
    }
    std::sort(buttons.begin(), buttons.end());
    for (const auto& b : buttons) labels += b.second + L"|";
    if (button == WM_CLOSE)
      PostMessageW(box, WM_CLOSE, 0, 0);
    else
      PostMessageW(box, WM_COMMAND, button, LPARAM(GetDlgItem(box, button)));
  }
};

TEST_F(ControlTest, YesAllNoBoxAnswers) {
  ApplyThreadLanguage(1041, GetVersion());
  struct Case {
    int button, answer;
  } cases[] = {{IDNO, kAnswerAll}, {IDYES, IDYES}, {IDCANCEL, IDNO}, {int(WM_CLOSE), IDNO}};
  for (const Case& c : cases) {
    BoxPresser presser{c.button, L""};
    std::thread t([&presser, id = GetCurrentThreadId()] { presser(id); });
    EXPECT_EQ(c.answer, AskYesAllNo(host_, L"Replace the file?", L"Copy")) << c.button;
    t.join();
    EXPECT_EQ(L"\x306F\x3044(&Y)|\x3059\x3079\x3066(&A)|\x3044\x3044\x3048(&N)|", presser.labels);
  }
  ApplyThreadLanguage(2052, GetVersion());
}

TEST(TextMeasure, LinesBreakOnlyAtLineBreaks) {
  HFONT font = HFONT(GetStockObject(DEFAULT_GUI_FONT));
  int w1 = 0, h1 = 0, w2 = 0, h2 = 0;
  MeasureTextRect(font, L"one line of text", &w1, &h1);
  MeasureTextRect(font, L"one line of text\r\nand a second", &w2, &h2);
  EXPECT_GT(w1, 0);
  EXPECT_EQ(w1, w2);
  EXPECT_EQ(2 * h1, h2);
  EXPECT_EQ(h1, MeasureTextLine(font, L"x"));
}

TEST(VersionInfo, ProgramFileAndOwnFormat) {
  wchar_t text[40];
  FormatVersionNumber(MAKELONG(1, 3), MAKELONG(7, 1203), text, 40);
  EXPECT_STREQ(L"3.0001.12.03", text);
  EXPECT_EQ(0, FormatOwnVersion(text)) << "the test program carries no version resource";

  std::wstring program = vt::ToWin(VRO_PROGRAM_UNIX);
  EXPECT_EQ(uint64_t(1) << 48 | uint64_t(1) << 32, GetFileVersionNumber(program.c_str()));
  EXPECT_TRUE(GetFileCompanyName(program.c_str(), text, 40));
  EXPECT_STREQ(L"VroMount", text);
  EXPECT_TRUE(GetFileOriginalName(program.c_str(), text, 40));
  EXPECT_STREQ(L"VroMount.exe", text);
  EXPECT_FALSE(GetFileSpecialBuild(program.c_str(), text, 40));
  EXPECT_FALSE(GetFileSignerName(program.c_str(), text, 40));
  EXPECT_EQ(0u, GetFileVersionNumber(L"C:\\no\\such.dll"));
}

TEST(HostLibraries, NamedSectionAndRichEdit) {
  void* view = nullptr;
  HANDLE section = CreateNamedSection(4096, &view);
  ASSERT_NE(nullptr, section);
  ASSERT_NE(nullptr, view);
  memcpy(view, "bytes", 6);
  EXPECT_STREQ("bytes", static_cast<const char*>(view));
  CloseNamedSection(view, section);
  EXPECT_GT(LoadRichEditLibrary(), 0);
}

}  // namespace

namespace {

BOOL CALLBACK FindFileNameEdit(HWND w, LPARAM out) {
  wchar_t cls[16];
  if (GetClassNameW(w, cls, 16) && !lstrcmpiW(cls, L"Edit") && IsWindowVisible(w)) {
    *reinterpret_cast<HWND*>(out) = w;
    return FALSE;
  }
  return TRUE;
}

// Types a name into the file dialog the other thread shows and presses OK.
void AnswerFileDialog(DWORD thread, const wchar_t* name) {
  HWND box = nullptr;
  for (int i = 0; i < 500 && !box; ++i) {
    Sleep(20);
    EnumThreadWindows(thread, FindBox, LPARAM(&box));
  }
  if (!box) return;
  HWND edit = nullptr;
  for (int i = 0; i < 100 && !edit; ++i) {
    EnumChildWindows(box, FindFileNameEdit, LPARAM(&edit));
    if (!edit) Sleep(20);
  }
  if (edit) SendMessageW(edit, WM_SETTEXT, 0, LPARAM(name));
  PostMessageW(box, WM_COMMAND, IDOK, 0);
}

TEST_F(ControlTest, SaveDialogAddsTheImageExtension) {
  std::wstring dir = vt::ScratchDir();
  std::wstring typed = dir + L"\\backup";
  std::thread t([id = GetCurrentThreadId(), &typed] { AnswerFileDialog(id, typed.c_str()); });
  wchar_t file[kPathChars] = L"";
  BOOL chosen = ShowSaveFileDialog(GetModuleHandleW(nullptr), host_, file,
                                   L"Images (*.img)\0*.img\0All files\0*.*\0");
  t.join();
  EXPECT_TRUE(chosen);
  EXPECT_EQ(typed + L".img", std::wstring(file));
}

}  // namespace
