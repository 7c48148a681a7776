// The main window at the X display keeps its hold on the image it shows
// through everything that opens the image anew. A grow from the status bar
// (into a new update file of an own-format image) with a second program
// retrying the export ImageInjectFileW with -noupd on the image as fast as
// it can the whole time: every try is refused (-15, the held-image line),
// and afterwards the update file opens and holds the grow while the base
// holds nothing of the second program. A copy that fails on a full host
// disk is taken back without the window ever letting go of the image file,
// and the second program is refused after it. A folder copied into an
// image without room for all of it asks to grow.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../../ProgramImage.h"
#include "../SessionHarness.h"
#include "TestSupport.h"
#include "app/HostEntry.h"
#include "app/ImageOperations.h"
#include "image/stack/MountRw.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/shared/TipControl.h"

namespace {

using namespace session;

const char kChildFilter[] = "SecondProgramChild.DISABLED_InjectUntilStopped";

std::string ChildEnv(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

// Run only as the child of the tests below: the built program loaded as a
// host loads it, ImageInjectFileW retried on VRO_SECOND_IMAGE (with -noupd
// on this process's command line) until VRO_SECOND_DIR holds "stop". It
// writes "ready" after its first call and a report of every result.
TEST(SecondProgramChild, DISABLED_InjectUntilStopped) {
  const std::string dir = ChildEnv("VRO_SECOND_DIR");
  if (dir.empty()) GTEST_SKIP();
  const std::wstring image = vt::Widen(ChildEnv("VRO_SECOND_IMAGE"));
  const std::wstring host = vt::Widen(ChildEnv("VRO_SECOND_HOST"));
  const std::wstring program = vt::ToWin(dir + "/hosted.exe");
  ASSERT_TRUE(vt::WriteAll(program, apptest::ReadProgram()));
  HMODULE module = LoadLibraryW(program.c_str());
  ASSERT_NE(nullptr, module);
  auto initialize = reinterpret_cast<decltype(&Initialize)>(GetProcAddress(module, "Initialize"));
  ASSERT_TRUE(initialize && initialize(module, LoadLibraryA, GetProcAddress));
  auto inject =
      reinterpret_cast<decltype(&ImageInjectFileW)>(GetProcAddress(module, "ImageInjectFileW"));
  ASSERT_NE(nullptr, inject);
  std::map<int, int> results;
  const std::wstring stop = vt::ToWin(dir + "/stop");
  for (int calls = 0; calls == 0 || !vt::FileExists(stop); ++calls) {
    results[inject(image.c_str(), L"", 0, L"\\Second.txt", host.c_str(), 1)]++;
    if (calls == 0) vt::WriteAll(vt::ToWin(dir + "/ready"), "", 0);
    Sleep(1);
  }
  std::string report;
  for (const auto& r : results)
    report += std::to_string(r.first) + " " + std::to_string(r.second) + "\n";
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(dir + "/report"), report.data(), report.size()));
}

// The second program: this test program started again on the child above.
class SecondProgram {
 public:
  SecondProgram(const std::string& dir, const std::wstring& image, const std::wstring& host)
      : m_dir(dir) {
    EXPECT_EQ(0, vt::Sh("rm -rf " + vt::Q(dir) + " && mkdir -p " + vt::Q(dir)));
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" --gtest_filter=" +
                        vt::Widen(kChildFilter) + L" --gtest_also_run_disabled_tests -noupd";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    m_out = CreateFileW(vt::ToWin(dir + "/output").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                        &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si = {sizeof si};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = m_out;
    SetEnvironmentVariableA("VRO_SECOND_DIR", dir.c_str());
    SetEnvironmentVariableW(L"VRO_SECOND_IMAGE", image.c_str());
    SetEnvironmentVariableW(L"VRO_SECOND_HOST", host.c_str());
    EXPECT_TRUE(
        CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &m_pi));
    SetEnvironmentVariableA("VRO_SECOND_DIR", nullptr);
    SetEnvironmentVariableW(L"VRO_SECOND_IMAGE", nullptr);
    SetEnvironmentVariableW(L"VRO_SECOND_HOST", nullptr);
  }
  ~SecondProgram() {
    if (m_pi.hProcess) {
      if (WaitForSingleObject(m_pi.hProcess, 0) != WAIT_OBJECT_0)
        TerminateProcess(m_pi.hProcess, 1);
      CloseHandle(m_pi.hThread);
      CloseHandle(m_pi.hProcess);
    }
    if (m_out != INVALID_HANDLE_VALUE) CloseHandle(m_out);
  }
  SecondProgram(const SecondProgram&) = delete;
  SecondProgram& operator=(const SecondProgram&) = delete;

  // Once its first call has returned.
  bool Ready() const {
    return Poll([&] { return vt::FileExists(vt::ToWin(m_dir + "/ready")); }, 60);
  }
  // Stops it: every result with its count ("-15 812"), and its output.
  std::map<int, int> Stop(std::string* output) {
    std::map<int, int> results;
    vt::WriteAll(vt::ToWin(m_dir + "/stop"), "", 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_pi.hProcess, 60000));
    std::vector<uint8_t> report, out;
    EXPECT_TRUE(vt::ReadAll(vt::ToWin(m_dir + "/report"), report)) << "the second program broke";
    std::istringstream lines(std::string(report.begin(), report.end()));
    for (int code, count; lines >> code >> count;) results[code] = count;
    vt::ReadAll(vt::ToWin(m_dir + "/output"), out);
    output->assign(out.begin(), out.end());
    return results;
  }

 private:
  std::string m_dir;
  HANDLE m_out = INVALID_HANDLE_VALUE;
  PROCESS_INFORMATION m_pi = {};
};

// Whether the window let go of its writable image file at some moment:
// Linux tells when the last descriptor of an open for writing goes
// (close-watch.py), which a window that keeps its handle never lets happen.
class CloseWatch {
 public:
  CloseWatch(const std::string& file, const std::string& out) : m_out(out) {
    EXPECT_EQ(0, vt::Sh("python3 " +
                        vt::Q(vt::SourceDirUnix() + "/tests/app/mainwnd/session/close-watch.py") +
                        " " + vt::Q(file) + " " + vt::Q(out + ".stop") + " " + vt::Q(out) +
                        " >/dev/null 2>&1 &"));
    EXPECT_TRUE(Poll([&] { return vt::FileExists(vt::ToWin(out + ".ready")); }));
  }
  // The times everyone let go of the file since the watch began.
  std::string Stop() {
    vt::WriteAll(vt::ToWin(m_out + ".stop"), "", 0);
    std::vector<uint8_t> count;
    EXPECT_TRUE(Poll([&] { return vt::ReadAll(vt::ToWin(m_out), count) && !count.empty(); }));
    return std::string(count.begin(), count.end());
  }

 private:
  std::string m_out;
};

// Every try refused with the held-image line: a second program that got
// in (whatever its result) broke the window's hold.
void ExpectRefusedThroughout(const std::map<int, int>& results, const std::string& output,
                             const std::wstring& image) {
  int refused = 0, other = 0;
  for (const auto& r : results) (r.first == kImageNotOpened ? refused : other) += r.second;
  EXPECT_LT(0, refused) << "the second program made no call";
  EXPECT_EQ(0, other) << "the second program got into the image the window shows: "
                      << ::testing::PrintToString(results);
  EXPECT_NE(std::string::npos, output.find(vt::Narrow(image) + ": another program holds the image"))
      << output.substr(0, 2000);
}

// The value of the status bar's owner-drawn part 2 (the partition's MiB)
// and the part's place on the screen.
uint32_t StatusMegabytes(HANDLE process, HWND status) {
  RemoteBlock remote(process, 1024);
  return uint32_t(SendMessageW(status, SB_GETTEXTW, 2, LPARAM(remote.At(0))));
}

std::string StatusPartCentre(HANDLE process, HWND status, int part) {
  RemoteBlock remote(process, sizeof(RECT));
  RECT rc = {};
  SendMessageW(status, SB_GETRECT, part, LPARAM(remote.At(0)));
  remote.Read(&rc, sizeof rc);
  MapWindowPoints(status, nullptr, reinterpret_cast<POINT*>(&rc), 2);
  return Centre(rc);
}

// Starts the program on the image and waits until its pane shows it.
void StartOn(Program& program, const std::string& dir, const std::wstring& image) {
  ASSERT_NO_FATAL_FAILURE(program.Start(dir, IDC_IMAGE_LIST, L"\"-img:" + image + L"\""));
  HWND list = GetDlgItem(program.main, IDC_IMAGE_LIST);
  ASSERT_TRUE(Poll([&] { return Text(list) == image + L"\\"; })) << vt::Narrow(Text(list));
}

// The host pane opened on folder, its item name selected and added by
// Ctrl+U.
void AddFromHost(const Program& program, const std::wstring& folder, const std::wstring& name) {
  HWND hostList = GetDlgItem(program.main, IDC_HOST_LIST);
  ASSERT_NO_FATAL_FAILURE(
      ClickAndType(program.ui, GetDlgItem(program.main, IDC_HOST_ADDRESS), folder));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, program.main, "key Return"));
  std::string at;
  int row = -1;
  ASSERT_TRUE(Poll([&] { return ItemCentre(program.pi.hProcess, hostList, name, &at, &row); }));
  ASSERT_NO_FATAL_FAILURE(ClickToSelect(program.ui, hostList, at, row));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, program.main, "key ctrl+u"));
}

// The image pane shows the image's root with the one file kept.txt.
bool ShowsKeptFile(const Program& program, const std::wstring& image) {
  HWND list = GetDlgItem(program.main, IDC_IMAGE_LIST);
  return Poll([&] {
    const std::vector<std::wstring> names = ListNames(program.pi.hProcess, list);
    return Text(list) == image + L"\\" && names.size() == 1 && names[0] == L"kept.txt";
  });
}

// Grows the image's partition from the status bar: a click on its size,
// the new size typed, Enter.
void GrowFromStatusBar(const Program& program, uint32_t megabytes) {
  HWND status = GetDlgItem(program.main, IDC_STATUS_BAR);
  HWND editor = nullptr;
  ASSERT_NO_FATAL_FAILURE(
      PointAt(status, [&] { return StatusPartCentre(program.pi.hProcess, status, 2); }));
  ASSERT_TRUE(Xdo("click 1"));
  ASSERT_TRUE(Poll([&] { return (editor = GetDlgItem(status, kStatusSizeEdit)) != nullptr; }))
      << "a click on the size opened no editor";
  ASSERT_NO_FATAL_FAILURE(TypeInto(program.ui, editor, std::to_wstring(megabytes)));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, program.main, "key Return"));
}

// The volume's size in bytes as ntfsinfo reads it from the disk of an
// image chain, flattened (its first partition).
uint64_t NtfsVolumeBytes(const std::wstring& image, const std::string& dir) {
  _VROH_MOUNT_RW disk;
  if (disk.OpenChain(image.c_str(), nullptr, 0) < 0) return 0;
  std::vector<uint8_t> data(size_t(disk.DiskBytes()));
  if (disk.ReadBytes(nullptr, 0, data.data(), data.size()) != int64_t(data.size())) return 0;
  disk.CloseLayers();
  const std::string flat = dir + "/flat.raw";
  if (!vt::WriteAll(vt::ToWin(flat), data)) return 0;
  std::string out;
  vt::Sh(
      "cd " + vt::Q(dir) +
          " && start=$(sfdisk -d flat.raw | sed -n 's/.*start= *\\([0-9]*\\),.*/\\1/p' | head -1)"
          " && dd if=flat.raw of=flat.part bs=512 skip=$start status=none"
          " && ntfsinfo -m flat.part; rm -f flat.raw flat.part",
      &out);
  auto figure = [&](const std::string& name) {
    size_t at = out.find(name + ": ");
    return at == std::string::npos ? 0ull
                                   : strtoull(out.c_str() + at + name.size() + 2, nullptr, 10);
  };
  return figure("Volume Size in Clusters") * figure("Cluster Size");
}

TEST(MainWindowHold, GrowFromTheStatusBarKeepsTheImageFromASecondProgram) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  const std::string dir = vt::ScratchSubdirUnix("grow");
  ASSERT_EQ(0, vt::Sh(Program::Prepare(dir, "2052") + " && printf second > second.txt"));
  const std::wstring image = vt::ToWin(dir + "/base.img");
  std::string out;
  ASSERT_EQ(0u, Batch(L"\"-img:" + image + L"\" /create:40", &out)) << out;
  ASSERT_EQ(0u, Batch(L"\"-img:" + image + L"\" -noupd \"/inject:\\kept.txt::" +
                          vt::ToWin(dir + "/second.txt") + L"\"",
                      &out))
      << out;
  const std::string before = vt::Sha256(image);

  Program program;
  ASSERT_NO_FATAL_FAILURE(StartOn(program, dir, image));
  HWND status = GetDlgItem(program.main, IDC_STATUS_BAR);
  SecondProgram second(dir + "/second", image, vt::ToWin(dir + "/second.txt"));
  ASSERT_TRUE(second.Ready());
  const uint32_t small = StatusMegabytes(program.pi.hProcess, status);
  ASSERT_GT(small, 30u);
  ASSERT_LT(small, 41u);

  ASSERT_NO_FATAL_FAILURE(GrowFromStatusBar(program, 120));
  EXPECT_TRUE(Poll([&] { return StatusMegabytes(program.pi.hProcess, status) > 100; }, 60))
      << "the grown size never showed: " << StatusMegabytes(program.pi.hProcess, status);
  // The pane shows the image on (through the update file that took the
  // grow), and the second program goes on trying a while.
  EXPECT_TRUE(ShowsKeptFile(program, image));
  Sleep(3000);
  ExpectRefusedThroughout(second.Stop(&out), out, image);

  ASSERT_NO_FATAL_FAILURE(MenuKey(program.ui, program.main, "alt+f", "x"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(program.pi.hProcess, 30000));
  EXPECT_EQ(before, vt::Sha256(image)) << "the base was written";
  const std::wstring update = image + L"_01.Upd";
  EXPECT_EQ(0u, Batch(L"\"-img:" + update + L"\" /check", &out)) << out;
  EXPECT_LT(100ull << 20, NtfsVolumeBytes(update, dir)) << "the update file lost the grow";
  EXPECT_GT(45ull << 20, NtfsVolumeBytes(image, dir)) << "the base took the grow";
}

// A copy that fails on a full host disk is taken back whole, and the image
// opened again on its files as they were, without a moment in which the
// window let go of its writable image file; a second program afterwards is
// refused, and the image is what a reader saw before the copy.
TEST(MainWindowHold, ACopyTakenBackKeepsTheImageFromASecondProgram) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  const std::string dir = vt::ScratchSubdirUnix("failed"), small = dir + "/small";
  ASSERT_EQ(
      0, vt::Sh(Program::Prepare(dir, "2052") +
                " && mkdir -p tree host && printf kept > tree/kept.txt"
                " && head -c 8000000 /dev/urandom > host/big.bin && printf second > second.txt"));
  std::string out;
  ASSERT_TRUE(vt::Fixture(
      "mk-disk.sh " + vt::Q(dir + "/disk.img") + " --size 40 --tree " + vt::Q(dir + "/tree"),
      &out));
  const long start = atol(out.c_str());
  vt::SmallVolume volume(small, "64m");
  ASSERT_TRUE(volume.Mounted());
  // The host has room for the image as it is and a little more.
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(dir + "/disk.img") + " " + vt::Q(small) +
                      " && used=$(du -sk " + vt::Q(small) +
                      " | cut -f1) && mount -o remount,size=$((used + 1024))k " + vt::Q(small)));
  const std::wstring image = vt::ToWin(small + "/disk.img");
  const std::string before = vt::ReaderView(small + "/disk.img", start);
  ASSERT_NE("", before);

  Program program;
  ASSERT_NO_FATAL_FAILURE(StartOn(program, dir, image));
  HWND imageList = GetDlgItem(program.main, IDC_IMAGE_LIST);
  CloseWatch watch(small + "/disk.img", dir + "/closes");
  ASSERT_NO_FATAL_FAILURE(AddFromHost(program, vt::ToWin(dir + "/host"), L"big.bin"));
  // The box names the image file the copy could not be written into.
  HWND box = AwaitBox(program);
  ASSERT_NE(nullptr, box) << "the copy was taken back without a word";
  const std::wstring said = Text(GetDlgItem(box, 0xFFFF));
  EXPECT_EQ(0u, said.find(image + L"\uFF1A")) << vt::Narrow(said);
  ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "Return"));
  ASSERT_TRUE(Poll([&] { return IsWindowEnabled(imageList) != FALSE; }, 60))
      << "the copy never ended";
  EXPECT_TRUE(ShowsKeptFile(program, image));
  EXPECT_EQ("0\n", watch.Stop()) << "the window let go of the image at some moment";
  SecondProgram second(dir + "/second", image, vt::ToWin(dir + "/second.txt"));
  ASSERT_TRUE(second.Ready());
  Sleep(1000);
  ExpectRefusedThroughout(second.Stop(&out), out, image);

  ASSERT_NO_FATAL_FAILURE(MenuKey(program.ui, program.main, "alt+f", "x"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(program.pi.hProcess, 30000));
  EXPECT_EQ(before, vt::ReaderView(small + "/disk.img", start)) << "the copy was not taken back";
  EXPECT_EQ(0u, Batch(L"\"-img:" + image + L"\" /check", &out)) << out;
}

// A host folder pasted into an own image without room for all of it: the
// window asks to grow, the operator answers Yes, and the grow finds no room
// on the small host disk. What the paste copied is taken back with it, and a
// box says so, naming the file written into, the item that found no room
// and the cause; the image's files are as before, byte for byte.
TEST(MainWindowHold, APasteWhoseGrowFailsIsTakenBackAndTold) {
  const char* const kPasteGrowSpare = "2048";  // KiB of host room beside the image
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  const std::string dir = vt::ScratchSubdirUnix("pastegrow"), small = dir + "/small";
  ASSERT_EQ(0, vt::Sh(Program::Prepare(dir, "2052") +
                      " && mkdir -p host/pasted && printf first > host/pasted/a.txt"
                      " && head -c 20000000 /dev/urandom > host/pasted/big.bin"));
  vt::SmallVolume volume(small, "64m");
  ASSERT_TRUE(volume.Mounted());
  const std::wstring image = vt::ToWin(small + "/disk.img");
  std::string out;
  ASSERT_EQ(0u, Batch(L"\"-img:" + image + L"\" /create:16", &out)) << out;
  // Room on the host for the paste's first file, not for the grow.
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(small + "/disk.img") + " " + vt::Q(dir + "/before.img") +
                      " && used=$(du -sk " + vt::Q(small) +
                      " | cut -f1) && mount -o remount,size=$((used + " +
                      std::string(kPasteGrowSpare) + "))k " + vt::Q(small)));

  Program program;
  ASSERT_NO_FATAL_FAILURE(StartOn(program, dir, image));
  HWND hostList = GetDlgItem(program.main, IDC_HOST_LIST);
  HWND imageList = GetDlgItem(program.main, IDC_IMAGE_LIST);
  ASSERT_NO_FATAL_FAILURE(
      ClickAndType(program.ui, GetDlgItem(program.main, IDC_HOST_ADDRESS), vt::ToWin(dir + "/host")));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, program.main, "key Return"));
  std::string at;
  int row = -1;
  ASSERT_TRUE(Poll([&] { return ItemCentre(program.pi.hProcess, hostList, L"pasted", &at, &row); }));
  ASSERT_NO_FATAL_FAILURE(ClickToSelect(program.ui, hostList, at, row));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, program.main, "key ctrl+c"));
  RECT rc;
  GetClientRect(imageList, &rc);
  MapWindowPoints(imageList, nullptr, reinterpret_cast<POINT*>(&rc), 2);
  ASSERT_NO_FATAL_FAILURE(ClickToFocus(program.ui, imageList,
                                       std::to_string((rc.left + rc.right) / 2) + " " +
                                           std::to_string(rc.bottom - 10)));
  ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, program.main, "key ctrl+v"));
  HWND box = AwaitBox(program);
  ASSERT_NE(nullptr, box) << "no question to grow";
  ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "y"));
  box = AwaitBox(program);
  ASSERT_NE(nullptr, box) << "the paste was taken back without a word";
  const std::wstring said = Text(GetDlgItem(box, 0xFFFF));
  // The file written into, the item without room, the cause by its code.
  EXPECT_EQ(0u, said.find(image)) << vt::Narrow(said);
  EXPECT_NE(std::wstring::npos, said.find(L"\\pasted")) << vt::Narrow(said);
  EXPECT_NE(std::wstring::npos, said.find(L"\u65E0\u6CD5\u590D\u5236")) << vt::Narrow(said);
  EXPECT_NE(std::wstring::npos, said.find(L" 112\uFF1A")) << vt::Narrow(said);
  ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "Return"));
  ASSERT_TRUE(Poll([&] { return IsWindowEnabled(imageList) != FALSE; }, 60))
      << "the paste never ended";
  EXPECT_TRUE(Poll([&] {
    const std::vector<std::wstring> names = ListNames(program.pi.hProcess, imageList);
    return std::find(names.begin(), names.end(), L"pasted") == names.end();
  })) << "the pane shows the folder taken back";
  ASSERT_NO_FATAL_FAILURE(MenuKey(program.ui, program.main, "alt+f", "x"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(program.pi.hProcess, 30000));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(dir + "/before.img") + " " + vt::Q(small + "/disk.img")));
  EXPECT_EQ(0u, Batch(L"\"-img:" + image + L"\" /check", &out)) << out;
}

// Whether the box's text holds every piece of the string's format (the
// text around its "%s") in the language, and the lines.
void ExpectBoxOf(HWND box, UINT id, LANGID language, const std::vector<std::string>& lines) {
  wchar_t format[1024] = L"";
  ASSERT_LT(0, LoadUiString(GetModuleHandleW(nullptr), id, language, format, 1024));
  const std::wstring said = Text(GetDlgItem(box, 0xFFFF)), text = format;
  for (size_t at = 0, next; at <= text.size(); at = next + 2) {
    next = text.find(L"%s", at);
    if (next == std::wstring::npos) next = text.size();
    const std::wstring piece = text.substr(at, next - at);
    EXPECT_NE(std::wstring::npos, said.find(piece)) << vt::Narrow(piece) << " in " << vt::Narrow(said);
  }
  for (const std::string& line : lines)
    EXPECT_NE(std::wstring::npos, said.find(vt::Widen(line))) << line << " in " << vt::Narrow(said);
}

// A host folder of four 5 MB files into an image with room for two of
// them, added by Ctrl+U: the window asks whether to grow the partition
// (never silent about the files that found no room). An own-format image
// answered Yes grows and takes all four; a plain one answered No keeps the
// files that fit, and the copy ends. A plain one answered Yes cannot grow:
// the copy is taken back, and the box tells the grow's cause, in the
// window's language (Japanese here); so does a grow from the status bar.
void AddFolderWithoutRoom(const std::string& kind) {
  const std::string dir = vt::ScratchSubdirUnix(kind);
  const std::string language = kind == "refused" ? "1041" : "2052";
  ASSERT_EQ(0, vt::Sh(Program::Prepare(dir, language) +
                      " && mkdir -p host/big && for i in 1 2 3 4; do"
                      " head -c 5000000 /dev/urandom > host/big/f$i; done"));
  const std::wstring image = vt::ToWin(dir + "/disk.img"), host = vt::ToWin(dir + "/host");
  std::string out;
  if (kind == "own") {
    ASSERT_EQ(0u, Batch(L"\"-img:" + image + L"\" /create:16", &out)) << out;
  } else {
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/disk.img") + " --size 16"));
  }
  Program program;
  ASSERT_NO_FATAL_FAILURE(StartOn(program, dir, image));
  HWND imageList = GetDlgItem(program.main, IDC_IMAGE_LIST);
  ASSERT_NO_FATAL_FAILURE(AddFromHost(program, host, L"big"));
  HWND box = AwaitBox(program);
  ASSERT_NE(nullptr, box) << "the copy ended without a word of the files that found no room";
  ASSERT_NO_FATAL_FAILURE(AnswerBox(box, kind == "plain" ? "n" : "y"));
  const std::string cause = vt::Narrow(image) + ": an MBR partition grows only in an image of the "
                                                "own sparse format";
  if (kind == "refused") {
    box = AwaitBox(program);
    ASSERT_NE(nullptr, box) << "the refused grow was not told";
    ASSERT_NO_FATAL_FAILURE(ExpectBoxOf(box, IDS_GROW_REFUSED_TAKEN_BACK, 1041,
                                        {vt::Narrow(image), "\\big", cause}));
    ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "Return"));
  }
  ASSERT_TRUE(Poll([&] { return IsWindowEnabled(imageList) != FALSE; }, 120))
      << "the copy never ended";
  EXPECT_EQ(nullptr, FindMessageBox(program.id));
  std::string at;
  EXPECT_EQ(kind != "refused", ItemCentre(program.pi.hProcess, imageList, L"big", &at));
  if (kind == "refused") {
    ASSERT_NO_FATAL_FAILURE(GrowFromStatusBar(program, 100));
    box = AwaitBox(program);
    ASSERT_NE(nullptr, box) << "the refused grow from the status bar was not told";
    ASSERT_NO_FATAL_FAILURE(ExpectBoxOf(box, IDS_GROW_REFUSED, 1041, {cause}));
    ASSERT_NO_FATAL_FAILURE(AnswerBox(box, "Return"));
  }
  ASSERT_NO_FATAL_FAILURE(MenuKey(program.ui, program.main, "alt+f", "x"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(program.pi.hProcess, 30000));

  const std::wstring top = kind == "own" ? image + L"_01.Upd" : image;
  EXPECT_EQ(0u, Batch(L"\"-img:" + top + L"\" /check", &out)) << out;
  EXPECT_EQ(kind == "refused" ? DWORD(-12) : 0u,
            Batch(L"\"-img:" + top + L"\" \"/extract:\\big::" + vt::ToWin(dir + "/out") + L"\"",
                  &out))
      << out;
  std::string found;
  vt::Sh(
      "cd " + vt::Q(dir) + " && for i in 1 2 3 4; do cmp -s host/big/f$i out/f$i && echo f$i; done",
      &found);
  if (kind == "own") {
    EXPECT_EQ("f1\nf2\nf3\nf4\n", found) << "the grown image did not take every file";
  } else if (kind == "plain") {
    EXPECT_EQ("f1\nf2\n", found) << "the files that fit are not whole";
  } else {
    EXPECT_EQ("", found) << "the copy was not taken back";
  }
}

TEST(MainWindowHold, AFolderCopiedIntoAnImageWithoutRoomAsksToGrow) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  for (const char* kind : {"plain", "own", "refused"}) {
    SCOPED_TRACE(kind);
    AddFolderWithoutRoom(kind);
  }
}

}  // namespace
