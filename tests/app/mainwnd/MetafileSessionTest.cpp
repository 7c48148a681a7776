// The built program at the X display in $Extend, typed in another case
// than the volume's: a delete of $Quota and a rename of $ObjId change
// nothing (the rename says it failed); once the program has ended, ntfsls
// and ntfsinfo read $Extend and records 24 to 26 as mkntfs made them.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "SessionHarness.h"
#include "TestSupport.h"
#include "resources/ResourceIds.h"

namespace {

using namespace session;

std::string ExtendAsShown(const std::string& image) {
  std::string out;
  EXPECT_EQ(0, vt::Sh("ntfsls -i -a -p '/$Extend' " + vt::Q(image) +
                          " 2>/dev/null && for i in 11 24 25 26; do ntfsinfo -i $i " +
                          vt::Q(image) + " 2>/dev/null; done",
                      &out));
  return out;
}

TEST(MainWindowMetafiles, DeleteAndRenameInExtendChangeNothing) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  const std::string dir = vt::ScratchSubdirUnix("metafiles");
  ASSERT_EQ(
      0, vt::Sh(Program::Prepare(dir, "2052") + " && mkdir -p tree && printf one > tree/one.txt"));
  const std::string img = dir + "/ntfs.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout none --size 16 --tree " +
                          vt::Q(dir + "/tree")));
  const std::string before = ExtendAsShown(img);
  ASSERT_NE(std::string::npos, before.find("24 $Quota")) << before;
  Program program;
  ASSERT_NO_FATAL_FAILURE(program.Start(dir, IDC_IMAGE_LIST));
  HANDLE process = program.pi.hProcess;
  HWND main = program.main, imageList = GetDlgItem(main, IDC_IMAGE_LIST);
  ASSERT_NO_FATAL_FAILURE(
      ClickAndType(program.ui, GetDlgItem(main, IDC_IMAGE_ADDRESS), vt::ToWin(img) + L"\\$EXTEND"));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key Return"));
  std::string at;
  int row = -1;
  ASSERT_TRUE(Poll([&] { return ItemCentre(process, imageList, L"$Quota", &at, &row); }))
      << "$Extend is not listed";

  // Del on $Quota, answered Yes: the row stays, the file with it.
  ASSERT_NO_FATAL_FAILURE(ClickToSelect(program.ui, imageList, at, row));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key Delete"));
  HWND box = AwaitBox(program);
  ASSERT_NE(nullptr, box);
  ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "Return"));
  ASSERT_TRUE(
      Poll([&] { return IsWindowEnabled(imageList) && Gui(program.ui).hwndActive == main; }));
  EXPECT_TRUE(ItemCentre(process, imageList, L"$Quota", &at)) << "the row of $Quota went";

  // F2 on $ObjId: the rename fails and says so.
  ASSERT_NO_FATAL_FAILURE(RenameByKeys(program, imageList, L"$ObjId", "ObjId.old"));
  box = AwaitBox(program);
  ASSERT_NE(nullptr, box);
  ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "Return"));
  EXPECT_TRUE(ItemCentre(process, imageList, L"$ObjId", &at)) << "the row of $ObjId was renamed";

  ASSERT_NO_FATAL_FAILURE(MenuKey(program.ui, main, "alt+f", "x"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 30000));
  EXPECT_EQ(before, ExtendAsShown(img));
  std::string out;
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(img), &out)) << out;
}

}  // namespace
