// The partition of an image the main window opens is the one its address
// names, as on the command line: "-img:IMAGE::N" alone opens partition N,
// and so does "IMAGE::N" typed into the image bar, with a folder behind it
// too; the pane's address keeps the number through the folders it opens,
// and a number that is none opens nothing and says so.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../SessionHarness.h"
#include "TestSupport.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"

namespace {

using namespace session;

bool Lists(const Program& program, const std::wstring& address, const std::wstring& name) {
  HWND list = GetDlgItem(program.main, IDC_IMAGE_LIST);
  return Poll([&] {
    const std::vector<std::wstring> names = ListNames(program.pi.hProcess, list);
    return Text(list) == address && std::find(names.begin(), names.end(), name) != names.end();
  });
}

void TypeAddress(const Program& program, const std::wstring& address) {
  ASSERT_NO_FATAL_FAILURE(
      ClickAndType(program.ui, GetDlgItem(program.main, IDC_IMAGE_ADDRESS), address));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, program.main, "key Return"));
}

TEST(MainWindowPartition, TheAddressOpensThePartitionItNames) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  const std::string dir = vt::ScratchSubdirUnix("partition");
  ASSERT_EQ(0, vt::Sh(Program::Prepare(dir, "2052") +
                      " && mkdir -p first second/Dir && printf one > first/first.txt"
                      " && printf two > second/second.txt && printf in > second/Dir/note.txt"));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/pair.img") +
                          " --layout mbr-pair --size 16 --first-tree " + vt::Q(dir + "/first") +
                          " --tree " + vt::Q(dir + "/second")));
  const std::wstring image = vt::ToWin(dir + "/pair.img");

  Program program;
  ASSERT_NO_FATAL_FAILURE(program.Start(dir, IDC_IMAGE_LIST, L"\"-img:" + image + L"::1\""));
  HWND list = GetDlgItem(program.main, IDC_IMAGE_LIST);
  EXPECT_TRUE(Lists(program, image + L"::1\\", L"second.txt")) << vt::Narrow(Text(list));
  ASSERT_NO_FATAL_FAILURE(TypeAddress(program, image));
  EXPECT_TRUE(Lists(program, image + L"\\", L"first.txt")) << vt::Narrow(Text(list));
  ASSERT_NO_FATAL_FAILURE(TypeAddress(program, image + L"::1\\Dir"));
  EXPECT_TRUE(Lists(program, image + L"::1\\Dir", L"note.txt")) << vt::Narrow(Text(list));
  // Up to the root of the same partition by "..".
  std::string at;
  int row = -1;
  ASSERT_TRUE(ItemCentre(program.pi.hProcess, list, L"..", &at, &row));
  ASSERT_NO_FATAL_FAILURE(ClickToSelect(program.ui, list, at, row));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, program.main, "key Return"));
  EXPECT_TRUE(Lists(program, image + L"::1\\", L"second.txt")) << vt::Narrow(Text(list));

  // No number: nothing opens, and a box says why.
  ASSERT_NO_FATAL_FAILURE(TypeAddress(program, image + L"::x"));
  HWND box = AwaitBox(program);
  ASSERT_NE(nullptr, box) << "a partition that is no number was taken";
  wchar_t format[512] = L"";
  ASSERT_LT(0, LoadUiString(GetModuleHandleW(nullptr), IDS_IMAGE_PARTITION_NOT_NUMBER, 2052,
                            format, 512));
  const std::wstring said = Text(GetDlgItem(box, 0xFFFF));
  EXPECT_EQ(0u, said.find(image + L"::x")) << vt::Narrow(said);
  EXPECT_NE(std::wstring::npos, said.find(std::wstring(format).substr(2))) << vt::Narrow(said);
  ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "Return"));
  ASSERT_NO_FATAL_FAILURE(MenuKey(program.ui, program.main, "alt+f", "x"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(program.pi.hProcess, 30000));
}

}  // namespace
