// The main window started on an image (-img:) at the X display holds it for
// as long as it shows it: a command line that would write it, or read it,
// meanwhile is refused (-15, a line naming the image) and leaves it byte for
// byte; the
// window's own delete and its close then leave a volume the check and
// ntfs-3g's tools find whole, with no work that was reported done lost.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "../SessionHarness.h"
#include "TestSupport.h"
#include "resources/ResourceIds.h"

namespace {

using namespace session;

TEST(MainWindowOneWriter, ACommandLineIsRefusedWhileTheWindowShowsTheImage) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  const std::string dir = vt::ScratchSubdirUnix("onewriter");
  ASSERT_EQ(0, vt::Sh(Program::Prepare(dir, "2052") +
                      " && mkdir -p tree host && printf 'kept a' > tree/a.txt"
                      " && printf 'gone b' > tree/b.txt && printf 'gui time' > host/gui.txt"));
  const std::string img = dir + "/ntfs.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout none --size 16 --tree " +
                          vt::Q(dir + "/tree")));
  const std::wstring image = vt::ToWin(img);
  const std::wstring inject =
      L"\"-img:" + image + L"\" \"/inject:\\GuiTime::" + vt::ToWin(dir + "/host/gui.txt") + L"\"";

  Program program;
  ASSERT_NO_FATAL_FAILURE(program.Start(dir, IDC_IMAGE_LIST, L"\"-img:" + image + L"\""));
  HWND imageList = GetDlgItem(program.main, IDC_IMAGE_LIST);
  std::string at;
  int row = -1;
  ASSERT_TRUE(Poll([&] {
    return Text(imageList) == image + L"\\" &&
           ItemCentre(program.pi.hProcess, imageList, L"b.txt", &at, &row);
  })) << "the window did not show the image: " << vt::Narrow(Text(imageList));

  // The command line meets the window's hold.
  const std::string before = vt::Sha256(image);
  std::string out;
  EXPECT_EQ(DWORD(-15), Batch(inject, &out));
  EXPECT_NE(std::string::npos, out.find(vt::Narrow(image) + ": another program holds the image"))
      << out;
  EXPECT_EQ(before, vt::Sha256(image)) << "the refused command wrote the image";
  // Nor does a read go on beside the window that writes the image.
  const std::wstring extract =
      L"\"-img:" + image + L"\" \"/extract:\\a.txt::" + vt::ToWin(dir + "/host/a.out") + L"\"";
  EXPECT_EQ(DWORD(-15), Batch(extract, &out));
  EXPECT_NE(std::string::npos, out.find(vt::Narrow(image) + ": another program holds the image"))
      << out;
  EXPECT_FALSE(vt::FileExists(vt::ToWin(dir + "/host/a.out")));

  // The window deletes b.txt (Del, answered Yes) and is closed.
  ASSERT_NO_FATAL_FAILURE(ClickToSelect(program.ui, imageList, at, row));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, program.main, "key Delete"));
  HWND box = AwaitBox(program);
  ASSERT_NE(nullptr, box);
  ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "Return"));
  ASSERT_TRUE(Poll([&] { return !ItemCentre(program.pi.hProcess, imageList, L"b.txt", &at); }));
  ASSERT_NO_FATAL_FAILURE(MenuKey(program.ui, program.main, "alt+f", "x"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(program.pi.hProcess, 30000));

  EXPECT_EQ(0u, Batch(L"\"-img:" + image + L"\" /check", &out)) << out;
  std::string listing;
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(img) + " && ntfsls " + vt::Q(img), &listing))
      << listing;
  EXPECT_NE(std::string::npos, listing.find("a.txt")) << listing;
  EXPECT_EQ(std::string::npos, listing.find("b.txt")) << listing;
  EXPECT_EQ(std::string::npos, listing.find("GuiTime")) << "a refused command left work";

  // The window gone, the same command line writes, and its work stays.
  EXPECT_EQ(0u, Batch(inject, &out)) << out;
  EXPECT_EQ(0u, Batch(extract, &out)) << out;
  EXPECT_EQ(0, vt::Sh("grep -qx 'kept a' " + vt::Q(dir + "/host/a.out")));
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(img) + " /GuiTime | grep -qx 'gui time'"));
  EXPECT_EQ(0u, Batch(L"\"-img:" + image + L"\" /check", &out)) << out;
}

}  // namespace
