// The batch rows of the volume copies ("/p", "/gpt", "/backup:", "/clone:",
// "/convert:") with recorders in place of the operations, and the console
// output of a real conversion: a console of the test's own that the
// program attaches to, read back from its screen buffer while the program
// runs, and the same run with the output redirected to a file.
#include <windows.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "../../registry/FacadeTestUtil.h"
#include "../ProgramImage.h"
#include "TestSupport.h"
#include "app/CommandLine.h"
#include "app/ConsoleProgress.h"
#include "app/ImageOperations.h"
#include "common/ConsoleOutput.h"

namespace {

std::vector<std::wstring> g_calls;
int g_result = 0;

int FakeBackup(WCHAR letter, LPCWSTR image, BOOL raw, BOOL gpt) {
  g_calls.push_back(L"backup " + std::wstring(1, letter) + L" " + image + L" " +
                    std::to_wstring(raw) + std::to_wstring(gpt));
  return g_result;
}
int FakeClone(WCHAR source, WCHAR target) {
  g_calls.push_back(L"clone " + std::wstring(1, source) + L" " + std::wstring(1, target));
  return g_result;
}
int FakeConvert(LPCWSTR source, LPCWSTR target, BOOL raw, BOOL gpt) {
  g_calls.push_back(L"convert " + std::wstring(source) + L" " + target + L" " +
                    std::to_wstring(raw) + std::to_wstring(gpt));
  return g_result;
}

ImageOperationTable Fakes() {
  ImageOperationTable t = {};
  t.consoleBackup = FakeBackup;
  t.consoleClone = FakeClone;
  t.consoleConvert = FakeConvert;
  return t;
}

TEST(DiskCopyBatch, RowsPassTheirFieldsAndFlagsOrRefuseMalformedOnes) {
  struct Row {
    std::vector<std::wstring> args;
    int result;  // what the operation answers
    std::vector<std::wstring> calls;
    int show, exitCode;
  } rows[] = {
      {{L"-img:D:\\b.img", L"/backup:c"}, 0, {L"backup c D:\\b.img 00"}, 0, 0},
      {{L"/gpt", L"-img:D:\\b.img", L"-P", L"/BACKUP:Cxyz"},
       -13,
       {L"backup C D:\\b.img 11"},
       0,
       -13},
      {{L"-img:D:\\b.img", L"/backup:1"}, 0, {}, 0, -13},
      {{L"/backup:c"}, 0, {}, 0, -13},  // no image: malformed
      {{L"/clone:ce"}, -12, {L"clone c e"}, 0, -12},
      {{L"/clone:c"}, 0, {}, 0, -13},
      {{L"/clone:c:"}, 0, {}, 0, -13},
      {{L"-img:D:\\n.vmd", L"/convert:D:\\o.img", L"/p"},
       0,
       {L"convert D:\\o.img D:\\n.vmd 00"},
       0,
       0},
      {{L"-img:D:\\n.img", L"/p", L"/convert:D:\\o.img"},
       0,
       {L"convert D:\\o.img D:\\n.img 10"},
       0,
       0},
      {{L"-img:D:\\n.img", L"/convert:"}, 0, {}, 0, -13},
      {{L"/p", L"/gpt"}, 0, {}, 1, 0},
      {{L"/px"}, 0, {}, 0, -13},  // no option of the program
  };
  ImageOperationTable fakes = Fakes();
  for (Row& row : rows) {
    SCOPED_TRACE(vt::Narrow(row.args.back()));
    g_calls.clear();
    g_result = row.result;
    std::vector<wchar_t*> argv;
    std::wstring program = L"VroMount.exe";
    argv.push_back(&program[0]);
    for (auto& a : row.args) argv.push_back(&a[0]);
    int exitCode = 0;
    EXPECT_EQ(row.show, RunCommandArguments(int(argv.size()), argv.data(), fakes, exitCode));
    EXPECT_EQ(row.exitCode, exitCode);
    EXPECT_EQ(row.calls, g_calls);
  }
}

TEST(DiskCopyBatch, PercentOfATotalOfZeroIsZeroAndNeverAbove100) {
  EXPECT_EQ(0u, ConsoleProgress::Percent(0, 0));
  EXPECT_EQ(0u, ConsoleProgress::Percent(5, 0));
  EXPECT_EQ(50u, ConsoleProgress::Percent(0x80000000u, 0xFFFFFFFEu));
  EXPECT_EQ(100u, ConsoleProgress::Percent(7, 3));
}

// A source image large enough for the conversion to outlast a redraw.
struct Images {
  std::string dir;
  std::wstring source, target;
};

Images MakeImages() {
  Images i;
  i.dir = vt::ScratchDirUnix();
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(i.dir + "/tree") +
                      " && head -c 160000000 /dev/urandom > " + vt::Q(i.dir + "/tree/big.bin")));
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(i.dir + "/source.img") + " --size 200 --tree " +
                          vt::Q(i.dir + "/tree")));
  i.source = vt::ToWin(i.dir + "/source.img");
  i.target = vt::ToWin(i.dir + "/copy.vmd");
  return i;
}

// Starts the program with the arguments; output: a file handle to hand it as
// its standard output (null: none). Returns the process.
HANDLE StartProgram(const std::wstring& arguments, HANDLE output) {
  PROCESS_INFORMATION pi;
  if (!apptest::StartProgram(L"\"" + apptest::ProgramPath() + L"\" " + arguments, output, &pi))
    return nullptr;
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

std::wstring Trim(std::wstring s) {
  while (!s.empty() && s.back() == L' ') s.pop_back();
  return s;
}

// The texts the console's row showed while the program ran, in order.
std::vector<std::wstring> WatchRow(HANDLE process, HANDLE screen, SHORT row, DWORD* exitCode) {
  std::vector<std::wstring> seen;
  for (int i = 0; i < 60000; ++i) {
    bool done = WaitForSingleObject(process, 1) == WAIT_OBJECT_0;
    wchar_t text[120] = {};
    DWORD got = 0;
    ReadConsoleOutputCharacterW(screen, text, 119, COORD{0, row}, &got);
    std::wstring t = Trim(std::wstring(text, got));
    if (seen.empty() || seen.back() != t) seen.push_back(t);
    if (done) break;
  }
  GetExitCodeProcess(process, exitCode);
  return seen;
}

bool Contains(const std::vector<std::wstring>& seen, const std::wstring& prefix) {
  for (const std::wstring& s : seen)
    if (s.compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

TEST(DiskCopyBatch, ConsoleShowsHeaderProgressAndResultOnThePromptLine) {
  Images images = MakeImages();
  // Wine makes the console's screen buffer with a window: it needs the
  // display the window tests have too.
  FreeConsole();
  ASSERT_TRUE(AllocConsole());
  HANDLE screen =
      CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE input =
      CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, screen);
  // Wine's console host may still be starting when AllocConsole returns:
  // the buffer answers once it runs (on a loaded machine that can take
  // seconds; the limit is far above).
  CONSOLE_SCREEN_BUFFER_INFO info;
  for (int i = 0; i < 6000 && !GetConsoleScreenBufferInfo(screen, &info); ++i) Sleep(20);
  FlushConsoleInputBuffer(input);
  DWORD written;
  WriteConsoleW(screen, L"C:\\>", 4, &written, nullptr);  // the prompt the header covers
  ASSERT_TRUE(GetConsoleScreenBufferInfo(screen, &info));
  SHORT row = info.dwCursorPosition.Y;

  HANDLE process =
      StartProgram(L"\"-img:" + images.target + L"\" \"/convert:" + images.source + L"\"", nullptr);
  ASSERT_TRUE(process);
  DWORD exitCode = 1;
  std::vector<std::wstring> seen = WatchRow(process, screen, row, &exitCode);
  CloseHandle(process);
  EXPECT_EQ(0u, exitCode);
  std::wstring all;
  for (auto& s : seen) all += s + L"\n";
  EXPECT_TRUE(Contains(seen, L"Converting source.img -> copy.vmd")) << vt::Narrow(all);
  EXPECT_NE(std::wstring::npos, all.find(L"Converting source.img -> copy.vmd        ("))
      << vt::Narrow(all);
  EXPECT_NE(std::wstring::npos, all.find(L"%)\n")) << vt::Narrow(all);
  EXPECT_EQ(L"Conversion completed successfully", seen.back()) << vt::Narrow(all);
  // The Enter key that brings the prompt back.
  INPUT_RECORD keys[4] = {};
  DWORD count = 0;
  PeekConsoleInputW(input, keys, 4, &count);
  ASSERT_EQ(2u, count);
  EXPECT_EQ(KEY_EVENT, keys[0].EventType);
  EXPECT_TRUE(keys[0].Event.KeyEvent.bKeyDown);
  EXPECT_EQ(L'\r', keys[0].Event.KeyEvent.uChar.UnicodeChar);
  EXPECT_FALSE(keys[1].Event.KeyEvent.bKeyDown);
  FlushConsoleInputBuffer(input);

  // A source that does not open: a line names it, the result follows.
  GetConsoleScreenBufferInfo(screen, &info);
  row = info.dwCursorPosition.Y;
  process = StartProgram(
      L"\"-img:" + images.target + L"\" \"/convert:" + images.source + L".none\"", nullptr);
  ASSERT_TRUE(process);
  seen = WatchRow(process, screen, row, &exitCode);
  CloseHandle(process);
  EXPECT_EQ(DWORD(-12), exitCode);
  ASSERT_TRUE(GetConsoleScreenBufferInfo(screen, &info));
  std::vector<wchar_t> rows(size_t(info.dwSize.X) * (info.dwCursorPosition.Y - row) + 1);
  DWORD got = 0;
  ReadConsoleOutputCharacterW(screen, rows.data(), DWORD(rows.size() - 1), COORD{0, row}, &got);
  std::wstring shown(rows.data(), got);
  EXPECT_NE(std::wstring::npos, shown.find(L"source.img.none: it does not exist"))
      << vt::Narrow(shown);
  EXPECT_EQ(L"Conversion FAILED", Trim(shown.substr(shown.size() - info.dwSize.X)))
      << vt::Narrow(shown);
  CloseHandle(screen);
  CloseHandle(input);
  FreeConsole();
}

TEST(DiskCopyBatch, OutputRedirectedToAFileKeepsTheLines) {
  Images images = MakeImages();
  std::wstring log = vt::ToWin(images.dir + "/out.txt");
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE file =
      CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  HANDLE process =
      StartProgram(L"/p \"-img:" + images.target + L"\" \"/convert:" + images.source + L"\"", file);
  ASSERT_TRUE(process);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 60000));
  DWORD exitCode = 1;
  GetExitCodeProcess(process, &exitCode);
  CloseHandle(process);
  CloseHandle(file);
  EXPECT_EQ(0u, exitCode);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(vt::ReadAll(log, bytes));
  std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(0u, text.find("Converting source.img -> copy.vmd\n")) << text;
  EXPECT_NE(std::string::npos, text.find("Converting source.img -> copy.vmd  ")) << text;
  EXPECT_NE(std::string::npos, text.find("%)\n")) << text;
  size_t end = text.size() - std::string("Conversion completed successfully\n").size();
  EXPECT_EQ(end, text.rfind("Conversion completed successfully\n")) << text;
  EXPECT_EQ(std::string::npos, text.find('\r')) << text;
}

// Conversions of a disk whose MBR partition runs 16 MiB past its volume,
// of a volume alone on its disk whose boot code holds bytes where a
// table's first entry would lie, and of that volume with its boot sector
// lost (read through its backup), into every target kind (own format and
// plain, MBR and GPT): the data partition holds the volume and its backup
// boot sector, no more, and so lies inside the new disk; sfdisk -V or
// sgdisk -v find the table sound, the partition's last sector is the
// boot sector's copy, ntfsfix -n passes the volume and ntfscat reads the
// file.
TEST(DiskCopyBatch, AConversionsPartitionHoldsItsVolumeInsideTheDisk) {
  const std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " && head -c 3000000 /dev/urandom > " +
                      vt::Q(dir + "/tree/big.bin")));
  const std::string longer = dir + "/longer.img", alone = dir + "/alone.img",
                    lost = dir + "/lost.img";
  for (const std::string& layout : {std::string("mbr2048"), std::string("none")})
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(layout == "none" ? alone : longer) +
                            " --layout " + layout + " --size 24 --tree " + vt::Q(dir + "/tree")));
  ASSERT_EQ(0, vt::Sh("truncate -s +16M " + vt::Q(longer) + " && echo ',+' | sfdisk -q -N 1 " +
                      "--no-reread " + vt::Q(longer) + " >/dev/null 2>&1 && printf '\\353\\376' | " +
                      "dd of=" + vt::Q(alone) + " bs=1 seek=454 conv=notrunc status=none && cp " +
                      vt::Q(alone) + " " + vt::Q(lost) + " && dd if=/dev/zero of=" + vt::Q(lost) +
                      " count=1 conv=notrunc status=none"));
  const uint64_t volumeSectors = 24 * 2048;  // the backup boot sector included
  struct Target {
    const char* name;
    const wchar_t* flags;
    bool own, gpt;
  } targets[] = {{"own.vmd", L"", true, false},
                 {"plain.img", L"/p ", false, false},
                 {"gpt.vmd", L"/gpt ", true, true},
                 {"gpt.img", L"/p /gpt ", false, true}};
  for (const std::string& source : {longer, alone, lost}) {
    for (const Target& t : targets) {
      const std::string image = dir + "/" + t.name, disk = image + ".disk";
      SCOPED_TRACE(source + " -> " + t.name);
      std::string out;
      DWORD code = 1;
      ASSERT_TRUE(apptest::RunProgram(std::wstring(t.flags) + L"\"-img:" + vt::ToWin(image) +
                                          L"\" \"/convert:" + vt::ToWin(source) + L"\"",
                                      code, &out));
      ASSERT_EQ(0u, code) << out;
      EXPECT_EQ(std::string::npos, out.find("nothing formatted")) << out;
      if (t.own) {
        rt::Flatten(vt::ToWin(image), L"", disk);
      } else {
        ASSERT_EQ(0, vt::Sh("dd if=" + vt::Q(image) + " of=" + vt::Q(disk) +
                            " bs=512 skip=1 status=none"));
      }
      uint64_t first = 0, count = volumeSectors;
      if (t.gpt) {
        vt::Sh("sgdisk -v " + vt::Q(disk), &out);
        EXPECT_NE(std::string::npos, out.find("No problems found")) << out;
        // The new EFI system partition holds its boot store.
        EXPECT_EQ(0, vt::Sh("mdir -i " + vt::Q(disk) + "@@$(($(sgdisk -i 1 " + vt::Q(disk) +
                                " | sed -n 's/^First sector: \\([0-9]*\\).*/\\1/p') * 512)) " +
                                "::/EFI/Microsoft/Boot/BCD 2>&1",
                            &out))
            << out;
        vt::Sh("sgdisk -i 2 " + vt::Q(disk), &out);
        size_t at = out.find("First sector: "), end = out.find("Last sector: ");
        ASSERT_NE(std::string::npos, end) << out;
        first = strtoull(out.c_str() + at + 14, nullptr, 10);
        count = strtoull(out.c_str() + end + 13, nullptr, 10) - first + 1;
      } else {
        // The volume's 24 MiB behind the first MiB, in the image's steps of
        // 8 MiB: no room for the old partition's length.
        EXPECT_EQ(0, vt::Sh("[ $(stat -c %s " + vt::Q(disk) + ") -le $((32 << 20)) ]"));
        if (source == longer) {
          EXPECT_EQ(0, vt::Sh("sfdisk -V " + vt::Q(disk) + " 2>&1", &out)) << out;
          EXPECT_EQ(std::string::npos, out.find("greater than the maximum")) << out;
          EXPECT_EQ(0, vt::Sh("sfdisk -d " + vt::Q(disk) +
                                  " | sed -n 's/.*start= *\\([0-9]*\\), size= *\\([0-9]*\\).*/"
                                  "\\1 \\2/p'",
                              &out));
          unsigned long long start = 0, sectors = 0;
          EXPECT_EQ(2, sscanf(out.c_str(), "%llu %llu", &start, &sectors)) << out;
          first = start;
          count = sectors;
        }
      }
      EXPECT_EQ(volumeSectors, count);
      // The boot sector and its copy in the partition's last sector.
      EXPECT_EQ(0, vt::Sh("cmp -n 512 -i " + std::to_string(first * 512) + ":" +
                          std::to_string((first + volumeSectors - 1) * 512) + " " + vt::Q(disk) +
                          " " + vt::Q(disk)));
      EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(disk) + " of=" + vt::Q(disk + ".part") + " bs=512 skip=" +
                              std::to_string(first) + " count=" + std::to_string(volumeSectors) +
                              " status=none && ntfsfix -n " + vt::Q(disk + ".part") +
                              " >/dev/null && ntfscat " + vt::Q(disk + ".part") +
                              " /big.bin | cmp - " + vt::Q(dir + "/tree/big.bin"),
                          &out))
          << out;
      vt::Sh("rm -f " + vt::Q(image) + " " + vt::Q(disk) + " " + vt::Q(disk + ".part"));
    }
  }
}

// A hibernated Windows is copied as its volume holds it, its session left
// out: the copy's hiberfil.sys holds none (it starts afresh), and the
// copy's volume takes writes; ntfs-3g's tools read it.
TEST(DiskCopyBatch, AHibernatedWindowsIsCopiedWithoutItsSession) {
  const std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0,
            vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " && cd " + vt::Q(dir) +
                   " && printf kept > tree/keep.txt && (printf HIBR; head -c 8188 /dev/zero) > " +
                   "tree/hiberfil.sys"));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/source.img") + " --size 16 --tree " +
                          vt::Q(dir + "/tree")));
  const std::string image = dir + "/copy.img", disk = image + ".disk", part = image + ".part";
  std::string out;
  DWORD code = 1;
  ASSERT_TRUE(apptest::RunProgram(
      L"/p \"-img:" + vt::ToWin(image) + L"\" \"/convert:" + vt::ToWin(dir + "/source.img") + L"\"",
      code, &out));
  ASSERT_EQ(0u, code) << out;
  EXPECT_EQ(
      0, vt::Sh("dd if=" + vt::Q(image) + " of=" + vt::Q(disk) +
                    " bs=512 skip=1 status=none && dd if=" + vt::Q(disk) + " of=" + vt::Q(part) +
                    " bs=512 skip=2048 count=32768 status=none && ntfsfix -n " + vt::Q(part) +
                    " && ntfs-3g.probe --readwrite " + vt::Q(part) + " && ntfscat " + vt::Q(part) +
                    " /keep.txt | grep -qx kept && " + "ntfscat " + vt::Q(part) +
                    " /hiberfil.sys | head -c 4 | od -An -tx1 | " + "grep -qx ' 00 00 00 00'",
                &out))
      << out;
}

// The refusals of the volume copies name their cause before the result
// line, their exit codes as they were: a conversion onto its own source,
// one onto a host disk that fills up (the host's line first), a clone of a
// drive letter onto itself. A host program's call of the same exports says
// no more than its result.
TEST(DiskCopyBatch, RefusalsNameTheirCauseBeforeTheResult) {
  const std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " && head -c 6000000 /dev/urandom > " +
                      vt::Q(dir + "/tree/big.bin")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/source.img") + " --size 24 --tree " +
                          vt::Q(dir + "/tree")));
  const std::wstring source = vt::ToWin(dir + "/source.img");
  const std::string hash = vt::Sha256(source);
  auto run = [](const std::wstring& args, const std::string& cause, const char* result) {
    SCOPED_TRACE(vt::Narrow(args));
    DWORD code = 0;
    std::string out;
    EXPECT_TRUE(apptest::RunProgram(args, code, &out));
    size_t named = out.find(cause), failed = out.find(result);
    EXPECT_NE(std::string::npos, named) << out;
    EXPECT_NE(std::string::npos, failed) << out;
    EXPECT_LT(named, failed) << out;
    return code;
  };
  EXPECT_EQ(DWORD(-12),
            run(L"\"-img:" + source + L"\" \"/convert:" + source + L"\"",
                vt::Narrow(source) + ": it is the image to be converted", "Conversion FAILED"));
  EXPECT_EQ(hash, vt::Sha256(source));
  {
    vt::SmallVolume full(dir + "/full", "5m");
    ASSERT_TRUE(full.Mounted());
    const std::wstring target = vt::ToWin(dir + "/full/x.img");
    EXPECT_EQ(DWORD(-13),
              run(L"\"-img:" + target + L"\" /p \"/convert:" + source + L"\"",
                  "Could not write " + vt::Narrow(target) + " (error 112", "Conversion FAILED"));
    std::string left;
    vt::Sh("ls -A " + vt::Q(dir + "/full"), &left);
    EXPECT_EQ("", left);
  }
  // A Windows that left its journal unclean: its copy would take none of
  // the writes that finish it; nothing is made.
  const std::string unclean = dir + "/unclean.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(vt::ToUnix(source)) + " " + vt::Q(unclean) + " && python3 " +
                      vt::Q(vt::SourceDirUnix() + "/tests/fixtures/ntfs-damage.py") + " " +
                      vt::Q(unclean) + " logfile-2.0"));
  const std::wstring copy = vt::ToWin(dir + "/copy.img");
  EXPECT_EQ(DWORD(-12), run(L"\"-img:" + copy + L"\" \"/convert:" + vt::ToWin(unclean) + L"\"",
                            vt::Narrow(vt::ToWin(unclean)) +
                                ": Windows on its volume did not shut down cleanly",
                            "Conversion FAILED"));
  EXPECT_FALSE(vt::FileExists(copy));
  EXPECT_EQ(DWORD(-12), run(L"/clone:CC",
                            "C:\\: it is both the source and the target of the clone (the same "
                            "drive letter twice)",
                            "Clone FAILED"));
  const long lines = CommandLinesGiven();
  EXPECT_EQ(kImageOperationFailed,
            ImageConvertFileW(source.c_str(), source.c_str(), 0, 0, nullptr, nullptr));
  EXPECT_EQ(kImageOperationFailed, ImageCloneDiskW(L'C', L'c', nullptr, nullptr));
  EXPECT_EQ(lines, CommandLinesGiven());
}

}  // namespace
