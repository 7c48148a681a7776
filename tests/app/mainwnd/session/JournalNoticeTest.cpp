// The window tells of what its open did to an image a cut-off command left:
// an inject stopped at one of its writes (as a process killed there leaves
// the files) leaves its journal beside a plain image; the built program,
// started on the image in each interface language, rolls the command back
// and says so in a box, naming the file, in that language; started again
// while another program writes the image, it opens nothing and says why.
// Started with -noupd on an own-format image that has an update file made
// against it beside it, it opens nothing, writes nothing, and its box names
// the update file and why. Started through a write-back file made for an
// earlier state of its image, it says the first change drops its changes,
// and closed without one leaves both files as they were.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "../../../image/WriteFaults.h"
#include "../SessionHarness.h"
#include "TestSupport.h"
#include "image/copy/TreeCopy.h"
#include "app/mainwnd/FilePanes.h"
#include "image/mount/MountedImage.h"
#include "image/stack/OverlayNotice.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"

namespace {

using namespace session;

// The files of the folder whose names hold "journal", one a line.
std::string Journals(const std::string& dir) {
  std::string out;
  vt::Sh("cd " + vt::Q(dir) + " && ls | grep journal || true", &out);
  return out;
}

// Every kind of line an open or a merge gives about a file has its text in
// the window's box, naming the file.
TEST(JournalNotice, EveryKindOfLineHasItsText) {
  for (int kind = VRO_NOTICE_DAMAGED_MAP; kind <= VRO_NOTICE_FOLDER_TARGET; ++kind) {
    wchar_t text[512] = L"";
    ASSERT_NE(0u, NoticeStringId(kind)) << "kind " << kind;
    EXPECT_LT(0, LoadUiString(GetModuleHandleW(nullptr), NoticeStringId(kind), 1041, text, 512));
    EXPECT_EQ(0, wcsncmp(text, L"%s", 2)) << "kind " << kind;
  }
}

TEST(JournalNotice, TheWindowTellsOfARollBackInItsLanguage) {
  const std::string pictures = Env("VRO_SESSION_PICTURES");
  // An own-format image with an update file made against it beside it.
  const std::string shared = vt::ScratchSubdirUnix("hangon");
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(shared) + " && printf kept > kept.txt"));
  const std::wstring base = vt::ToWin(shared + "/base.img"), update = base + L"_01.Upd";
  std::string out;
  ASSERT_EQ(0u, Batch(L"\"-img:" + base + L"\" /create:24", &out)) << out;
  ASSERT_EQ(0u, Batch(L"\"-img:" + base + L"\" \"/inject:\\kept.txt::" +
                          vt::ToWin(shared + "/kept.txt") + L"\"",
                      &out))
      << out;
  ASSERT_TRUE(vt::FileExists(update)) << out;
  const std::string baseBytes = vt::Sha256(base), updateBytes = vt::Sha256(update);
  // An own-format image written since its write-back file was made: the
  // file is made for an earlier state of it.
  const std::wstring stale = vt::ToWin(shared + "/stale.img"), fix = vt::ToWin(shared + "/ws.fix");
  const std::wstring fixFile = vt::ToWin(shared + "/ws.Fix");
  const std::wstring inject = L" \"/inject:\\kept.txt::" + vt::ToWin(shared + "/kept.txt") + L"\"";
  ASSERT_EQ(0u, Batch(L"\"-img:" + stale + L"\" /create:24", &out)) << out;
  ASSERT_EQ(0u, Batch(L"\"-img:" + stale + L"\" \"-fix:" + fix + L"\"" + inject, &out)) << out;
  ASSERT_EQ(0u, Batch(L"\"-img:" + stale + L"\" -noupd" + inject, &out)) << out;
  const std::string staleBytes = vt::Sha256(stale), fixBytes = vt::Sha256(fixFile);
  for (const char* language : {"2052", "1041", "1042"}) {
    SCOPED_TRACE(language);
    const std::string dir =
        pictures.empty() ? vt::ScratchSubdirUnix(std::string("journal") + language)
                         : pictures + "/journal" + language;
    const std::string img = dir + "/cut.img";
    ASSERT_EQ(0, vt::Sh(Program::Prepare(dir, language) +
                        " && mkdir -p host && head -c 400000 /dev/urandom > host/big.bin"));
    std::string start;
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(img) + " --size 16", &start));
    const std::wstring image = vt::ToWin(img);
    // As a reader of the volume sees it: free clusters may keep what the
    // cut-off inject wrote there.
    const std::string before = vt::ReaderView(img, atol(start.c_str()));
    ASSERT_NE("", before);
    const std::string bytes = vt::Sha256(image);

    // The inject into the image itself, stopped at its tenth write.
    {
      CMountedImage m;
      ASSERT_LE(0, m.OpenImage(image.c_str(), nullptr, 0, 2));
      it::WriteFaults stop(it::WriteFaults::STOP, 10);
      uint64_t missing = 0;
      InjectHostPath(&m, vt::ToWin(dir + "/host/big.bin").c_str(), L"\\big.bin", &missing, nullptr,
                     nullptr);
      m.Close(false);
      ASSERT_TRUE(stop.Hit());
    }
    ASSERT_NE("", Journals(dir)) << "the cut-off inject left no journal";
    ASSERT_NE(bytes, vt::Sha256(image)) << "the cut-off inject changed nothing";

    Program program;
    ASSERT_NO_FATAL_FAILURE(
        program.Start(dir, IDC_IMAGE_LIST, L"-noupd \"-img:" + image + L"\"", false));
    HWND box = nullptr;
    ASSERT_TRUE(Poll([&] { return (box = FindMessageBox(program.id)) != nullptr; }, 30))
        << "no box told of the roll back";
    wchar_t format[512] = L"";
    ASSERT_LT(0, LoadUiString(GetModuleHandleW(nullptr), IDS_JOURNAL_ROLLED_BACK,
                              LANGID(atoi(language)), format, 512));
    const std::wstring said = Text(GetDlgItem(box, 0xFFFF));
    const std::wstring tail = std::wstring(format).substr(2);  // behind "%s"
    EXPECT_NE(std::wstring::npos, said.find(L"cut.img")) << vt::Narrow(said);
    EXPECT_NE(std::wstring::npos, said.find(tail)) << vt::Narrow(said);
    if (!pictures.empty()) Picture(box, dir + "/rollback-box.png");
    // The file is as it was before the inject, and its journal is gone.
    EXPECT_EQ(before, vt::ReaderView(img, atol(start.c_str())));
    EXPECT_EQ("", Journals(dir));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(Poll([&] { return !IsWindow(box); }));
    HWND list = nullptr;
    ASSERT_TRUE(Poll([&] { return (list = FindDescendant(FindTopWindow(program.id, IDC_IMAGE_LIST),
                                                        IDC_IMAGE_LIST)) != nullptr &&
                                  Text(list) == image + L"\\"; }))
        << "the image did not open after the box";
    PostMessageW(GetAncestor(list, GA_ROOT), WM_CLOSE, 0, 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(program.pi.hProcess, 30000));

    // Another program writes the image: the window opens nothing and says
    // why, in its language.
    HANDLE holder = CreateFileW(image.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    Program refused;
    ASSERT_NO_FATAL_FAILURE(
        refused.Start(dir, IDC_IMAGE_LIST, L"-noupd \"-img:" + image + L"\"", false));
    ASSERT_TRUE(Poll([&] { return (box = FindMessageBox(refused.id)) != nullptr; }, 30))
        << "no box told of the image another program holds";
    ASSERT_LT(0, LoadUiString(GetModuleHandleW(nullptr), IDS_IMAGE_HELD, LANGID(atoi(language)),
                              format, 512));
    const std::wstring held = Text(GetDlgItem(box, 0xFFFF));
    EXPECT_NE(std::wstring::npos, held.find(std::wstring(format).substr(2))) << vt::Narrow(held);
    EXPECT_NE(std::wstring::npos, held.find(L"cut.img")) << vt::Narrow(held);
    if (!pictures.empty()) Picture(box, dir + "/held-box.png");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(Poll([&] { return !IsWindow(box); }));
    CloseHandle(holder);
    EXPECT_EQ(before, vt::ReaderView(img, atol(start.c_str())));
    HWND main = nullptr;
    ASSERT_TRUE(Poll([&] { return (main = FindTopWindow(refused.id, IDC_IMAGE_LIST)) != nullptr; }));
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(refused.pi.hProcess, 30000));

    // Written into directly, the base would leave its update file unable to
    // open: the window opens nothing, and its box names the update file.
    Program direct;
    ASSERT_NO_FATAL_FAILURE(
        direct.Start(dir, IDC_IMAGE_LIST, L"-noupd \"-img:" + base + L"\"", false));
    ASSERT_TRUE(Poll([&] { return (box = FindMessageBox(direct.id)) != nullptr; }, 30))
        << "no box told of the update file beside the image";
    ASSERT_LT(0, LoadUiString(GetModuleHandleW(nullptr), IDS_NOTICE_UPDATES_HANG_ON,
                              LANGID(atoi(language)), format, 512));
    const std::wstring hangs = Text(GetDlgItem(box, 0xFFFF));
    EXPECT_NE(std::wstring::npos, hangs.find(update)) << vt::Narrow(hangs);
    EXPECT_NE(std::wstring::npos, hangs.find(std::wstring(format).substr(2))) << vt::Narrow(hangs);
    if (!pictures.empty()) Picture(box, dir + "/updates-box.png");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(Poll([&] { return !IsWindow(box); }));
    ASSERT_TRUE(Poll([&] { return (main = FindTopWindow(direct.id, IDC_IMAGE_LIST)) != nullptr; }));
    EXPECT_EQ(L"", Text(GetDlgItem(main, IDC_IMAGE_LIST))) << "the pane shows the image";
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(direct.pi.hProcess, 30000));
    EXPECT_EQ(baseBytes, vt::Sha256(base)) << "the base was written";
    EXPECT_EQ(updateBytes, vt::Sha256(update)) << "the update file was written";
    EXPECT_EQ(0u, Batch(L"\"-img:" + update + L"\" /check", &out)) << out;

    // Opened through a write-back file made for an earlier state of it, the
    // image is shown without the file's changes, and the box says that the
    // first change drops them; closed with none made, every file is as it
    // was (nothing discarded, nothing made beside it).
    Program through;
    ASSERT_NO_FATAL_FAILURE(through.Start(
        dir, IDC_IMAGE_LIST, L"\"-img:" + stale + L"\" \"-fix:" + fix + L"\"", false));
    ASSERT_TRUE(Poll([&] { return (box = FindMessageBox(through.id)) != nullptr; }, 30))
        << "no box told of the write-back file made for an earlier state";
    ASSERT_LT(0, LoadUiString(GetModuleHandleW(nullptr), IDS_NOTICE_STALE_PENDING,
                              LANGID(atoi(language)), format, 512));
    const std::wstring pending = Text(GetDlgItem(box, 0xFFFF));
    EXPECT_NE(std::wstring::npos, pending.find(fixFile)) << vt::Narrow(pending);
    EXPECT_NE(std::wstring::npos, pending.find(std::wstring(format).substr(2)))
        << vt::Narrow(pending);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(Poll([&] { return !IsWindow(box); }));
    ASSERT_TRUE(Poll([&] { return (main = FindTopWindow(through.id, IDC_IMAGE_LIST)) != nullptr; }));
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(through.pi.hProcess, 30000));
    EXPECT_EQ(staleBytes + fixBytes, vt::Sha256(stale) + vt::Sha256(fixFile))
        << "the window's open changed the image or its write-back file";
    EXPECT_FALSE(vt::FileExists(fixFile + L".new"));
  }
}

}  // namespace
