// One writer per image, and no reader beside it: while another process
// holds an image for writing (here the test process, which opens it as the
// program's sessions do), a command line that would write it, or read it,
// is refused with -15 and a line naming the file, and leaves it byte for
// byte (never rolling the holder's command back under it). A base that a
// session reads under its update file is kept from writers the same way,
// and still read by others; neither file is merged, made anew or copied
// over. A command that reads holds the image against writers for its run,
// and so does a reader of another program; readers go on side by side.
#include <windows.h>
#include <tlhelp32.h>
#include <gtest/gtest.h>

#include "../../image/MountedImageTestUtil.h"
#include "../BatchTestUtil.h"
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
  // Nor is it converted: named once (the conversion looks at the image's
  // files before it opens it), and nothing made.
  const std::wstring copy = vt::ToWin(d.dir + "/copy.vmd");
  EXPECT_EQ(kNotOpened, RunVro(ImageArgs(copy) + L"\"/convert:" + d.path + L"\"", &text));
  EXPECT_NE(std::string::npos, text.find(plain + kHeld)) << text;
  EXPECT_EQ(text.find(kHeld), text.rfind(kHeld)) << text;
  EXPECT_FALSE(vt::FileExists(copy));
  EXPECT_EQ(before, vt::Sha256(d.path)) << "a refused command wrote the image";
  // Nor does a read go on beside the holder, whether it is between
  // operations or inside one (its journal live): it is refused, and
  // never rolls the holder's operation back.
  const std::wstring extract =
      ImageArgs(d.path) + L"\"/extract:\\Dir\\Sub\\small.txt::" + vt::ToWin(out) + L"\"";
  EXPECT_EQ(kNotOpened, RunVro(extract, &text));
  EXPECT_NE(std::string::npos, text.find(plain + kHeld)) << text;
  static const char kHeldText[] = "written by the holder";
  ASSERT_EQ(1, holder.CreatePath(L"\\Held.txt", 0x8000));
  ASSERT_EQ(sizeof kHeldText - 1, holder.WriteFile(L"\\Held.txt", kHeldText, 0, sizeof kHeldText - 1));
  ASSERT_EQ(0, holder.DiskObject()->Flush());
  const std::wstring journal = d.path + L".journal";
  ASSERT_TRUE(vt::FileExists(journal)) << "the holder's operation keeps no journal yet";
  EXPECT_EQ(kNotOpened, RunVro(extract, &text));
  EXPECT_NE(std::string::npos, text.find(plain + kHeld)) << text;
  EXPECT_EQ(std::string::npos, text.find("rolled back")) << text;
  EXPECT_TRUE(vt::FileExists(journal));
  EXPECT_FALSE(vt::FileExists(vt::ToWin(out)));
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
  // The base is read beside the session (it does not write it); the update
  // file it writes is not.
  EXPECT_EQ(0u, RunVro(ImageArgs(own) + L"/check", &text)) << text;
  EXPECT_EQ(kNotOpened, RunVro(ImageArgs(update) + L"/check", &text));
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


// A reader of another process (here the test process, as a command that
// reads opens the image) keeps every writer out of what it reads, and none
// but writers: a second reader, and a plain reader as the installation's
// server opens a base (read access, read and write shared, or read only),
// go on beside it.
TEST(OneWriter, AReaderKeepsWritersOut) {
  mi::Disk d = mi::MakeDisk("mbr2048");
  const std::string host = d.dir + "/cmd.txt", out = d.dir + "/out.txt";
  ASSERT_EQ(0, vt::Sh("printf 'from the command line' > " + vt::Q(host)));
  const std::wstring own = mi::MakeOwnImage(d), update = own + L"_01.Upd";
  std::string text;
  ASSERT_EQ(0u, RunVro(Inject(own, host, L"\\First.txt"), &text)) << text;
  ASSERT_TRUE(vt::FileExists(update));
  const std::wstring extract =
      L"\"/extract:\\Dir\\Sub\\small.txt::" + vt::ToWin(out) + L"\"";

  for (const std::wstring& image : {d.path, update}) {
    SCOPED_TRACE(vt::Narrow(image));
    CMountedImage reader;
    ASSERT_LE(0, reader.OpenImage(image.c_str(), nullptr, 0, 0));
    const std::string hashes = FolderHashes(d.dir);
    // Every writer of a file it reads is refused.
    EXPECT_EQ(kNotOpened, RunVro(Inject(image, host, L"\\Cmd.txt"), &text));
    EXPECT_NE(std::string::npos, text.find(kHeld)) << text;
    EXPECT_EQ(kNotOpened, RunVro(Inject(image == d.path ? d.path : own, host, L"\\Cmd.txt",
                                        L"-noupd "),
                                 &text));
    EXPECT_NE(std::string::npos, text.find(kHeld)) << text;
    EXPECT_EQ(kNotOpened, RunVro(ImageArgs(image) + L"/create:30", &text));
    EXPECT_EQ(hashes, FolderHashes(d.dir)) << "a refused command wrote";
    // Readers go on.
    vt::Sh("rm -f " + vt::Q(out));
    EXPECT_EQ(0u, RunVro(ImageArgs(image) + extract, &text)) << text;
    EXPECT_EQ(0, vt::Sh("grep -qx 'small file' " + vt::Q(out)));
    const std::wstring base = image == d.path ? d.path : own;
    for (DWORD share : {DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE), DWORD(FILE_SHARE_READ)}) {
      HANDLE server = CreateFileW(base.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
      EXPECT_NE(INVALID_HANDLE_VALUE, server) << "the server's read, sharing " << share;
      if (server != INVALID_HANDLE_VALUE) CloseHandle(server);
    }
    EXPECT_TRUE(reader.Close(true));
  }

  // A base read by the server while a command reads it, and while one
  // writes an update file over it.
  HANDLE server = CreateFileW(own.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, server);
  vt::Sh("rm -f " + vt::Q(out));
  EXPECT_EQ(0u, RunVro(ImageArgs(own) + extract, &text)) << text;
  EXPECT_EQ(0u, RunVro(Inject(own, host, L"\\Second.txt"), &text)) << text;
  EXPECT_TRUE(vt::FileExists(own + L"_02.Upd"));
  CloseHandle(server);
}

// A write-back file another program is making (its new file open, its
// removal not shared): a second writer of it, and a reader, get the line
// of a held image, not that it cannot be made or is missing.
TEST(OneWriter, ASecondWriterOfAFileBeingMadeIsToldItIsHeld) {
  mi::Disk d = mi::MakeDisk("mbr2048");
  const std::string host = d.dir + "/cmd.txt";
  ASSERT_EQ(0, vt::Sh("printf 'from the command line' > " + vt::Q(host)));
  const std::wstring own = mi::MakeOwnImage(d), fix = vt::ToWin(d.dir + "/wks.fix");
  const std::wstring made = vt::ToWin(d.dir + "/wks.Fix.new");
  HANDLE maker = CreateFileW(made.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                             nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, maker);
  const std::string held = vt::Narrow(vt::ToWin(d.dir + "/wks.Fix")) + kHeld;
  std::string text;
  EXPECT_EQ(kNotOpened, RunVro(ImageArgs(own, fix) + L"\"/inject:\\Cmd.txt::" +
                                   vt::ToWin(host) + L"\"",
                               &text));
  EXPECT_NE(std::string::npos, text.find(held)) << text;
  EXPECT_EQ(std::string::npos, text.find("cannot be created")) << text;
  EXPECT_EQ(kNotOpened, RunVro(ImageArgs(own, fix) + L"/check", &text));
  EXPECT_NE(std::string::npos, text.find(held)) << text;
  EXPECT_TRUE(vt::FileExists(made));
  CloseHandle(maker);
  EXPECT_EQ(0u, RunVro(ImageArgs(own, fix) + L"\"/inject:\\Cmd.txt::" + vt::ToWin(host) + L"\"",
                       &text))
      << text;
  EXPECT_FALSE(vt::FileExists(made));
}

// The program twice at once, on a plain image: an extract of large files
// and an inject over the same names, each one started while the other is
// inside its run (held there, its threads suspended, so the overlap does
// not depend on timing). Whichever came second is refused with -15 and the
// held-image line; the first ends 0, and no file holds bytes of two
// versions.
class Started {
 public:
  explicit Started(const std::wstring& arguments) {
    HANDLE out = apptest::NewOutputFile(&m_outPath);
    if (out == INVALID_HANDLE_VALUE) return;
    if (apptest::StartProgram(L"\"" + apptest::ProgramPath() + L"\" " + arguments, out, &m_pi))
      CloseHandle(m_pi.hThread);
    CloseHandle(out);
  }
  ~Started() {
    if (m_pi.hProcess) {
      Hold(false);
      if (WaitForSingleObject(m_pi.hProcess, 120000) != WAIT_OBJECT_0)
        TerminateProcess(m_pi.hProcess, 1);
      CloseHandle(m_pi.hProcess);
    }
    if (!m_outPath.empty()) DeleteFileW(m_outPath.c_str());
  }
  bool Running() const { return m_pi.hProcess && WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT; }
  // Suspends (or resumes) every thread of the process.
  void Hold(bool hold) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 t = {sizeof t};
    for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t)) {
      if (t.th32OwnerProcessID != m_pi.dwProcessId) continue;
      HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, t.th32ThreadID);
      if (!thread) continue;
      if (hold)
        SuspendThread(thread);
      else
        ResumeThread(thread);
      CloseHandle(thread);
    }
    CloseHandle(snap);
  }
  // Waits until when() holds while the process runs, then suspends it.
  template <class When>
  bool HoldWhen(When when) {
    for (int i = 0; i < 200000 && Running(); i++) {
      if (when()) {
        Hold(true);
        return Running();
      }
      Sleep(1);
    }
    return false;
  }
  DWORD Finish(std::string* output) {
    Hold(false);
    DWORD code = 0xDEADBEEF;
    if (WaitForSingleObject(m_pi.hProcess, 300000) == WAIT_OBJECT_0)
      GetExitCodeProcess(m_pi.hProcess, &code);
    *output = apptest::ReadOutputFile(m_outPath);
    m_outPath.clear();
    return code;
  }

 private:
  PROCESS_INFORMATION m_pi = {};
  std::wstring m_outPath;
};

uint64_t LastWrite(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA a = {};
  GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a);
  return (uint64_t(a.ftLastWriteTime.dwHighDateTime) << 32) | a.ftLastWriteTime.dwLowDateTime;
}

TEST(OneWriter, AReaderAndAWriterOverlapInBothOrders) {
  mi::Disk d;
  d.dir = vt::ScratchDirUnix();
  d.tree = d.dir + "/tree";
  d.unixPath = d.dir + "/disk.img";
  d.path = vt::ToWin(d.unixPath);
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(d.dir) + " && mkdir -p tree/Big new/Big && for i in 1 2 3 4;"
                      " do head -c 20000000 /dev/urandom > tree/Big/f$i.bin && head -c 20000000"
                      " /dev/urandom > new/Big/f$i.bin; done"));
  std::string start;
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.unixPath) + " --size 200 --tree " +
                              vt::Q(d.tree),
                          &start));
  d.start = atol(start.c_str());
  const std::string image = vt::Narrow(d.path);
  const std::wstring inject =
      ImageArgs(d.path) + L"\"/inject:\\Big::" + vt::ToWin(d.dir + "/new/Big") + L"\"";
  auto extract = [&](const std::string& to) {
    return ImageArgs(d.path) + L"\"/extract:\\Big::" + vt::ToWin(d.dir + "/" + to) + L"\"";
  };
  auto same = [&](const std::string& a, const std::string& b) {
    return vt::Sh("diff -r " + vt::Q(d.dir + "/" + a) + " " + vt::Q(d.dir + "/" + b)) == 0;
  };

  // The reader first: held once its first file is on the host.
  {
    const std::string before = vt::Sha256(d.path);
    Started reader(extract("out1"));
    ASSERT_TRUE(reader.HoldWhen([&] { return vt::FileExists(vt::ToWin(d.dir + "/out1/f1.bin")); }))
        << "the extract ended before it could be held";
    std::string text;
    EXPECT_EQ(kNotOpened, RunVro(inject, &text));
    EXPECT_NE(std::string::npos, text.find(image + kHeld)) << text;
    EXPECT_EQ(0u, reader.Finish(&text)) << text;
    EXPECT_TRUE(same("out1", "tree/Big")) << "the extract is not the volume it began on";
    EXPECT_EQ(before, vt::Sha256(d.path)) << "the refused inject wrote the image";
  }

  // The writer first: held once it wrote the image.
  {
    const uint64_t written = LastWrite(d.path);
    Started writer(inject);
    ASSERT_TRUE(writer.HoldWhen([&] { return LastWrite(d.path) != written; }))
        << "the inject ended before it could be held";
    std::string text;
    EXPECT_EQ(kNotOpened, RunVro(extract("out2"), &text));
    EXPECT_NE(std::string::npos, text.find(image + kHeld)) << text;
    EXPECT_EQ(0, vt::Sh("test ! -e " + vt::Q(d.dir + "/out2/f1.bin")));
    EXPECT_EQ(0u, writer.Finish(&text)) << text;
    EXPECT_EQ(0u, RunVro(extract("out3"), &text)) << text;
    EXPECT_TRUE(same("out3", "new/Big"));
    const std::string part = d.unixPath + ".part";
    ASSERT_EQ(0, vt::Sh("dd if=" + vt::Q(d.unixPath) + " of=" + vt::Q(part) + " bs=512 skip=" +
                        std::to_string(d.start) + " count=" + std::to_string(200 * 2048) +
                        " status=none"));
    for (int i = 1; i <= 4; i++) {
      const std::string name = "/Big/f" + std::to_string(i) + ".bin";
      EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(part) + " " + name + " | cmp - " +
                          vt::Q(d.dir + "/new" + name)))
          << name;
    }
  }
}

}  // namespace
