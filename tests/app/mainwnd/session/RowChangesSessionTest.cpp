// The built program at the X display after changes of the image pane's
// rows, as a user makes them with keys (xdotool): the overwrite question
// answered by N and by Esc, a delete, renames (one onto a taken name), and
// a language round trip. The list must stay true to the volume without a
// refresh: its count, its order and its sort arrow; ntfs-3g's tools read
// the image when the program has ended.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../SessionHarness.h"
#include "TestSupport.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"

namespace {

using namespace session;

std::wstring Resource(UINT id) {
  wchar_t text[256] = L"";
  LoadUiString(GetModuleHandleW(nullptr), id, 2052, text, 256);
  return text;
}

// The names of the list but "..", and what is wrong with their order:
// folders (no dot here) come before files, each kind by name.
std::vector<std::wstring> CheckedNames(HANDLE process, HWND list) {
  std::vector<std::wstring> names;
  for (const std::wstring& name : ListNames(process, list))
    if (name != L"..") names.push_back(name);
  EXPECT_EQ(std::set<std::wstring>(names.begin(), names.end()).size(), names.size())
      << "a row shows twice";
  auto isFile = [](const std::wstring& n) { return n.find(L'.') != std::wstring::npos; };
  for (size_t i = 1; i < names.size(); ++i) {
    const bool sameKind = isFile(names[i - 1]) == isFile(names[i]);
    EXPECT_TRUE(sameKind ? lstrcmpiW(names[i - 1].c_str(), names[i].c_str()) < 0
                         : !isFile(names[i - 1]))
        << vt::Narrow(names[i - 1]) << " before " << vt::Narrow(names[i]);
  }
  return names;
}

TEST(MainWindowRowChanges, AnswersDeleteRenameAndLanguageKeepTheListTrue) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  const std::string dir = vt::ScratchSubdirUnix("rowchanges");
  ASSERT_EQ(0, vt::Sh(Program::Prepare(dir, "2052") +
                      " && mkdir -p tree/Folder host && printf 'old a' > tree/a.txt"
                      " && printf 'old b' > tree/b.txt && for n in $(seq -w 1 30); do"
                      " printf $n > tree/file$n.txt; done && printf 'new a' > host/a.txt"
                      " && printf 'new b' > host/b.txt && printf 'new c' > host/c.txt"));
  const std::string img = dir + "/ntfs.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout none --size 16 --tree " +
                          vt::Q(dir + "/tree")));
  Program program;
  ASSERT_NO_FATAL_FAILURE(program.Start(dir, IDC_IMAGE_LIST));
  HANDLE process = program.pi.hProcess;
  HWND main = program.main;
  HWND hostList = GetDlgItem(main, IDC_HOST_LIST), imageList = GetDlgItem(main, IDC_IMAGE_LIST);
  const std::wstring host = vt::ToWin(dir + "/host"), image = vt::ToWin(img);
  ASSERT_NO_FATAL_FAILURE(ClickAndType(program.ui, GetDlgItem(main, IDC_HOST_ADDRESS), host));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key Return"));
  ASSERT_TRUE(Poll([&] { return lstrcmpiW(Text(hostList).c_str(), host.c_str()) == 0; }));
  ASSERT_NO_FATAL_FAILURE(ClickAndType(program.ui, GetDlgItem(main, IDC_IMAGE_ADDRESS), image));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key Return"));
  ASSERT_TRUE(Poll([&] { return Text(imageList) == image + L"\\"; }));
  ASSERT_TRUE(Poll([&] { return SendMessageW(imageList, LVM_GETITEMCOUNT, 0, 0) >= 33; }));

  // All three host files added by Ctrl+U: a.txt and b.txt exist in the
  // image. The question shows Yes, All and No; N keeps a.txt and Esc keeps
  // b.txt; c.txt is new and comes in its place in the order.
  std::string at;
  int row = -1;
  ASSERT_TRUE(ItemCentre(process, hostList, L"a.txt", &at, &row));
  ASSERT_NO_FATAL_FAILURE(ClickToSelect(program.ui, hostList, at, row));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key ctrl+a"));
  ASSERT_TRUE(Poll([&] { return SendMessageW(hostList, LVM_GETSELECTEDCOUNT, 0, 0) >= 3; }));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key ctrl+u"));
  HWND box = AwaitBox(program);
  ASSERT_NE(nullptr, box);
  EXPECT_EQ(Resource(IDS_ANSWER_YES) + L"|" + Resource(IDS_ANSWER_ALL) + L"|" +
                Resource(IDS_ANSWER_NO) + L"|",
            ButtonLabels(box));
  EXPECT_NE(std::wstring::npos, Text(GetDlgItem(box, 0xFFFF)).find(L"a.txt"));
  ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "n"));
  box = AwaitBox(program);
  ASSERT_NE(nullptr, box);
  EXPECT_NE(std::wstring::npos, Text(GetDlgItem(box, 0xFFFF)).find(L"b.txt"));
  ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "Escape"));
  ASSERT_TRUE(Poll([&] {
    return IsWindowEnabled(imageList) && ItemCentre(process, imageList, L"c.txt", &at, &row);
  })) << "c.txt did not reach the image";
  EXPECT_EQ(nullptr, FindMessageBox(program.id)) << "c.txt is new: no question";
  std::vector<std::wstring> names = CheckedNames(process, imageList);

  // F5, then Del on file28.txt (End, Up, Up), answered Yes: its row goes,
  // the count with it, in a list scrolled to its end.
  ASSERT_TRUE(ItemCentre(process, imageList, L"a.txt", &at, &row));
  ASSERT_NO_FATAL_FAILURE(ClickToSelect(program.ui, imageList, at, row));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key F5"));
  // The fill gives the first row the focus without a selection.
  ASSERT_TRUE(Poll([&] {
    return SendMessageW(imageList, LVM_GETSELECTEDCOUNT, 0, 0) == 0 &&
           SendMessageW(imageList, LVM_GETNEXTITEM, WPARAM(-1), LVNI_FOCUSED) == 0;
  }));
  ASSERT_TRUE(ItemCentre(process, imageList, L"file28.txt", &at, &row));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key End Up Up"));
  ASSERT_TRUE(Poll([&] {
    return SendMessageW(imageList, LVM_GETSELECTEDCOUNT, 0, 0) == 1 &&
           SendMessageW(imageList, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED) == row;
  })) << "End, Up, Up did not select file28.txt";
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key Delete"));
  box = AwaitBox(program);
  ASSERT_NE(nullptr, box);
  ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "Return"));
  ASSERT_TRUE(Poll([&] { return !ItemCentre(process, imageList, L"file28.txt", &at); }));
  names.erase(std::find(names.begin(), names.end(), L"file28.txt"));
  EXPECT_EQ(names, CheckedNames(process, imageList));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key Home"));
  ASSERT_TRUE(Poll([&] {
    return SendMessageW(imageList, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED) == 0;
  })) << "Home did not go to the first row";

  // F2 onto a taken name: the error box has the window's caption; then a
  // rename that moves the row to the end of the order.
  ASSERT_NO_FATAL_FAILURE(RenameByKeys(program, imageList, L"file01.txt", "file02.txt"));
  box = AwaitBox(program);
  ASSERT_NE(nullptr, box);
  EXPECT_EQ(Text(main), Text(box)) << "the box's caption is the window's";
  ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "Return"));
  ASSERT_NO_FATAL_FAILURE(RenameByKeys(program, imageList, L"file01.txt", "zz.txt"));
  ASSERT_TRUE(Poll([&] {
    const std::vector<std::wstring> now = ListNames(process, imageList);
    return !now.empty() && now.back() == L"zz.txt";
  })) << "the renamed row did not move to its place";
  *std::find(names.begin(), names.end(), L"file01.txt") = L"zz.txt";
  const std::vector<std::wstring> renamed = CheckedNames(process, imageList);
  EXPECT_EQ(std::set<std::wstring>(names.begin(), names.end()),
            std::set<std::wstring>(renamed.begin(), renamed.end()));
  names = renamed;

  // View -> Korean and back: both lists keep their sort arrow.
  const std::wstring title = Text(main);
  ASSERT_NO_FATAL_FAILURE(MenuKey(program.ui, main, "alt+v", "k"));
  ASSERT_TRUE(Poll([&] { return Text(main) != title; })) << "no switch to Korean";
  ASSERT_NO_FATAL_FAILURE(MenuKey(program.ui, main, "alt+v", "c"));
  ASSERT_TRUE(Poll([&] { return Text(main) == title; })) << "no switch back to Chinese";
  EXPECT_EQ(1, HeaderArrow(process, imageList, 0));
  EXPECT_EQ(1, HeaderArrow(process, hostList, 0));

  // File, Exit; the volume holds what the list showed.
  ASSERT_NO_FATAL_FAILURE(MenuKey(program.ui, main, "alt+f", "x"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 30000));
  std::string listing, a, b, c;
  ASSERT_EQ(0, vt::Sh("ntfsls " + vt::Q(img), &listing));
  std::set<std::wstring> onVolume;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) onVolume.insert(std::wstring(line.begin(), line.end()));
  EXPECT_EQ(onVolume, std::set<std::wstring>(names.begin(), names.end())) << listing;
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(img) + " /a.txt", &a));
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(img) + " /b.txt", &b));
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(img) + " /c.txt", &c));
  EXPECT_EQ("old a", a) << "N keeps the image's file";
  EXPECT_EQ("old b", b) << "Esc keeps the image's file";
  EXPECT_EQ("new c", c);
}

}  // namespace
