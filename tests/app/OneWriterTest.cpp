// One writer per image: while another process holds an image for writing
// (here the test process, which opens it as the program's sessions do), a
// command line that would write it is refused with -15 and a line naming
// the file, and leaves it byte for byte; reads go on, but never roll back
// the holder's command under it. A base that a session reads under its
// update file is held the same way, and neither file is merged, made anew
// or copied over.
#include <gtest/gtest.h>

#include "../image/MountedImageTestUtil.h"
#include "BatchTestUtil.h"
#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"

using namespace bt;

namespace {

const DWORD kNotOpened = DWORD(-15);
const std::string kHeld = ": another program holds the image";

std::wstring Inject(const std::wstring& image, const std::string& host, const wchar_t* to,
                    const std::wstring& more = L"") {
  return ImageArgs(image) + more + L"\"/inject:" + to + L"::" + vt::ToWin(host) + L"\"";
}

TEST(OneWriter, ACommandLineKeepsOutOfAnImageAnotherProcessHolds) {
  mi::Disk d = mi::MakeDisk("mbr2048");
  const std::string host = d.dir + "/cmd.txt", out = d.dir + "/out.txt";
  ASSERT_EQ(0, vt::Sh("printf 'from the command line' > " + vt::Q(host)));
  const std::string plain = vt::Narrow(d.path);
  std::string text;

  // A plain image held as the main window holds it between operations.
  CMountedImage holder;
  ASSERT_LE(0, holder.OpenImage(d.path.c_str(), nullptr, 0, 1));
  const std::string before = vt::Sha256(d.path);
  EXPECT_EQ(kNotOpened, RunVro(Inject(d.path, host, L"\\Cmd.txt"), &text));
  EXPECT_NE(std::string::npos, text.find(plain + kHeld)) << text;
  EXPECT_EQ(kNotOpened, RunVro(Inject(d.path, host, L"\\Cmd.txt", L"-noupd "), &text));
  EXPECT_EQ(before, vt::Sha256(d.path)) << "a refused command wrote the image";
  EXPECT_EQ(0u, RunVro(ImageArgs(d.path) + L"\"/extract:\\Dir\\Sub\\small.txt::" +
                           vt::ToWin(out) + L"\"",
                       &text))
      << "reads go on: " << text;

  // The holder midway through an operation: its journal is live. A read
  // is refused rather than roll the operation back under it.
  static const char kHeldText[] = "written by the holder";
  ASSERT_EQ(1, holder.CreatePath(L"\\Held.txt", 0x8000));
  ASSERT_EQ(sizeof kHeldText - 1, holder.WriteFile(L"\\Held.txt", kHeldText, 0, sizeof kHeldText - 1));
  // Its small writes still wait in memory: the file is the one before the
  // operation, and reads of it go on.
  const std::wstring journal = d.path + L".journal";
  EXPECT_FALSE(vt::FileExists(journal));
  EXPECT_EQ(before, vt::Sha256(d.path));
  EXPECT_EQ(0u, RunVro(ImageArgs(d.path) + L"\"/extract:\\Dir\\Sub\\small.txt::" +
                           vt::ToWin(out) + L"\"",
                       &text))
      << text;
  // Once they reach the file (a large operation's do as it goes), its
  // journal is live.
  ASSERT_EQ(0, holder.DiskObject()->Flush());
  ASSERT_TRUE(vt::FileExists(journal)) << "the holder's operation keeps no journal yet";
  EXPECT_EQ(kNotOpened, RunVro(ImageArgs(d.path) + L"\"/extract:\\Dir\\Sub\\small.txt::" +
                                   vt::ToWin(out) + L"\"",
                               &text));
  EXPECT_NE(std::string::npos, text.find(plain + kHeld)) << text;
  EXPECT_EQ(std::string::npos, text.find("rolled back")) << text;
  EXPECT_TRUE(vt::FileExists(journal));
  ASSERT_TRUE(holder.Close(true));

  // Let go: the holder's work is whole, and the command line writes.
  EXPECT_EQ(0u, RunVro(Inject(d.path, host, L"\\Cmd.txt"), &text)) << text;
  EXPECT_EQ(0u, RunVro(ImageArgs(d.path) + L"/check", &text)) << text;
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(mi::CutPartition(d, d.unixPath)) +
                      " /Held.txt | grep -qx 'written by the holder'"));

  // An own image whose session writes update files: the base it reads
  // under them, and the update file, are both kept from other writers.
  const std::wstring own = mi::MakeOwnImage(d), update = own + L"_01.Upd";
  CMountedImage session;
  ASSERT_LE(0, session.OpenImage(own.c_str(), nullptr, 0, 1));
  ASSERT_EQ(1, session.CreateDirectory(L"\\FromTheSession"));
  ASSERT_TRUE(session.EndCommand(true));
  ASSERT_TRUE(vt::FileExists(update));
  const std::string ownBefore = vt::Sha256(own), updateBefore = vt::Sha256(update);
  EXPECT_EQ(kNotOpened, RunVro(Inject(own, host, L"\\Cmd.txt", L"-noupd "), &text));
  EXPECT_NE(std::string::npos, text.find(vt::Narrow(own) + kHeld)) << text;
  EXPECT_EQ(kNotOpened, RunVro(Inject(update, host, L"\\Cmd.txt"), &text));
  EXPECT_NE(std::string::npos, text.find(vt::Narrow(update) + kHeld)) << text;
  // Nor is either merged, or replaced by a new image or a copy.
  const std::wstring refused[] = {
      ImageArgs(own, update) + L"/merge",
      ImageArgs(own) + L"/create:30",
      ImageArgs(update) + L"/p \"/convert:" + d.path + L"\"",
  };
  for (const std::wstring& line : refused) {
    EXPECT_EQ(kNotOpened, RunVro(line, &text)) << vt::Narrow(line);
    EXPECT_NE(std::string::npos, text.find(kHeld)) << vt::Narrow(line) << ": " << text;
  }
  // A command line on the base writes an update file of its own.
  EXPECT_EQ(0u, RunVro(Inject(own, host, L"\\Cmd.txt"), &text)) << text;
  EXPECT_TRUE(vt::FileExists(own + L"_02.Upd"));
  EXPECT_EQ(ownBefore, vt::Sha256(own));
  EXPECT_EQ(updateBefore, vt::Sha256(update));
  ASSERT_TRUE(session.Close(true));
  EXPECT_EQ(0u, RunVro(ImageArgs(update) + L"/check", &text)) << text;
}

}  // namespace
