// The command-line processor's argument handling, with the image operations
// replaced by recorders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/CommandLine.h"
#include "app/ProgramEntry.h"
#include "common/CrashDump.h"

namespace {

struct Call {
  std::wstring op, image, fix;
  int partition = 0;
  std::wstring a, b, c;
  int mode = -1;
};

std::vector<Call> g_calls;
int g_result = 0;  // what the recorded operations return
int g_helps = 0;   // times the help was shown

std::wstring S(LPCWSTR s) {
  return s ? s : L"<null>";
}

int WINAPI FakeExtract(LPCWSTR i, LPCWSTR f, int p, LPCWSTR v, LPCWSTR h, int m) {
  g_calls.push_back({L"extract", S(i), S(f), p, S(v), S(h), L"", m});
  return g_result;
}
int WINAPI FakeInject(LPCWSTR i, LPCWSTR f, int p, LPCWSTR v, LPCWSTR h, int m) {
  g_calls.push_back({L"inject", S(i), S(f), p, S(v), S(h), L"", m});
  return g_result;
}
int WINAPI FakeExport(LPCWSTR i, LPCWSTR f, int p, LPCWSTR key, LPCWSTR reg) {
  g_calls.push_back({L"export", S(i), S(f), p, S(key), S(reg)});
  return g_result;
}
int WINAPI FakeImport(LPCWSTR i, LPCWSTR f, int p, LPCWSTR reg) {
  g_calls.push_back({L"import", S(i), S(f), p, S(reg)});
  return g_result;
}
int WINAPI FakeImportFile(LPCWSTR i, LPCWSTR f, int p, LPCWSTR k, LPCWSTR v, LPCWSTR h) {
  g_calls.push_back({L"importfile", S(i), S(f), p, S(k), S(v), S(h)});
  return g_result;
}
int WINAPI FakeMerge(LPCWSTR i, LPCWSTR f) {
  g_calls.push_back({L"merge", S(i), S(f)});
  return g_result;
}

int WINAPI FakeAddAdapter(LPCWSTR i, LPCWSTR f, int p, int type, LPCWSTR dev, LPCWSTR ws,
                          LPCWSTR ip) {
  g_calls.push_back({L"iadapter", S(i), S(f), p, S(dev), S(ws), S(ip), type});
  return g_result;
}

const ImageOperationTable kFakes = {FakeExtract,    FakeInject, FakeExport, FakeImport,
                                    FakeImportFile, FakeMerge,  nullptr,    nullptr,
                                    nullptr,        nullptr,    nullptr,    FakeAddAdapter};

struct Outcome {
  int show;
  int exitCode;
};

// Runs the processor on "VroMount.exe" followed by the arguments.
Outcome RunArgs(std::vector<std::wstring> args, int result = 0) {
  g_calls.clear();
  g_result = result;
  g_helps = 0;
  std::vector<wchar_t*> argv;
  std::wstring program = L"VroMount.exe";
  argv.push_back(&program[0]);
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  int exitCode = 0;
  int show = RunCommandArguments(int(args.size() + 1), argv.data(), kFakes, exitCode, 2052,
                                 [](WORD) { return ++g_helps, 0; });
  return {show, exitCode};
}

TEST(CommandLine, NoCommandShowsTheWindow) {
  Outcome r = RunArgs({});
  EXPECT_EQ(1, r.show);
  EXPECT_EQ(0, r.exitCode);
  // The shared options alone, "/noupd" (read by the operations) and an
  // image path without an option (the window's) run nothing either.
  r = RunArgs({L"-img:C:\\a.img", L"/NOUPD", L"/fix:C:\\a.fix", L"-no", L"/update", L"C:\\b.img"});
  EXPECT_EQ(1, r.show);
  EXPECT_EQ(0, r.exitCode);
  EXPECT_TRUE(g_calls.empty());
}

TEST(CommandLine, UnknownOptionStopsTheWholeLine) {
  // A typo of a command or an option: -13, no window and nothing run, on
  // either side of the commands; not even the help.
  for (const wchar_t* typo : {L"/exract:\\X::Y", L"-noupdate", L"-n0", L"/bogus", L"-", L"/",
                              L"-img", L"/nope", L"-h:", L"/format:"}) {
    for (bool first : {true, false}) {
      std::vector<std::wstring> line = {L"-img:C:\\a.img", L"/extract:\\x::C:\\y", L"/h"};
      line.insert(first ? line.begin() : line.end(), typo);
      Outcome r = RunArgs(line);
      EXPECT_EQ(kMalformedArgument, r.exitCode) << vt::Narrow(typo);
      EXPECT_EQ(0, r.show) << vt::Narrow(typo);
      EXPECT_TRUE(g_calls.empty()) << vt::Narrow(typo);
      EXPECT_EQ(0, g_helps) << vt::Narrow(typo);
    }
  }
}

TEST(CommandLine, ImageOptionWithPartition) {
  RunArgs({L"-img:C:\\a.img::2", L"/extract:\\x::C:\\y"});
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_EQ(L"C:\\a.img", g_calls[0].image);
  EXPECT_EQ(2, g_calls[0].partition);
  EXPECT_EQ(L"", g_calls[0].fix);

  RunArgs({L"-img:C:\\a.img::-3", L"/extract:\\x::C:\\y"});
  EXPECT_EQ(-3, g_calls.at(0).partition);
  // Anything but a whole decimal number runs no command on the image (not
  // even "/size:", which a partition other than 0 passes over); what needs
  // no image (the help) still runs.
  for (const wchar_t* number : {L"2\\x", L"", L"x", L"l", L"0x1", L" -3", L"1 ", L"99999999999"}) {
    Outcome r = RunArgs({std::wstring(L"/IMG:C:\\a.img::") + number, L"/extract:\\x::C:\\y",
                         L"/size:100", L"/format", L"/merge", L"/h"});
    EXPECT_EQ(kMalformedArgument, r.exitCode) << vt::Narrow(number);
    EXPECT_EQ(0, r.show) << vt::Narrow(number);
    EXPECT_TRUE(g_calls.empty()) << vt::Narrow(number);
    EXPECT_EQ(1, g_helps) << vt::Narrow(number);
  }
}

TEST(CommandLine, AnOptionThatNamesAFileStandsOnce) {
  // Of two images or write-back files, which is meant cannot be told: -13,
  // no window, nothing run, wherever the second stands; not even the help.
  for (const std::vector<std::wstring>& line : std::vector<std::vector<std::wstring>>{
           {L"-img:C:\\a.img::4", L"/extract:\\x::C:\\y", L"/IMG:D:\\b.img", L"/h"},
           {L"-img:C:\\a.img", L"-fix:C:\\a.fix", L"/inject:\\x::C:\\y", L"-fix:C:\\b.fix"},
           {L"-img:C:\\a.img", L"-img:C:\\a.img", L"/merge"}}) {
    Outcome r = RunArgs(line);
    EXPECT_EQ(kMalformedArgument, r.exitCode) << vt::Narrow(line[2]);
    EXPECT_EQ(0, r.show);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(0, g_helps);
  }
  // One of each, and the options that name none, as often as they like.
  Outcome r = RunArgs({L"-no", L"-img:C:\\a.img", L"-no", L"-fix:C:\\a.fix", L"/noupd", L"/noupd",
                       L"/extract:\\x::C:\\y"});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_EQ(1u, g_calls.size());
}

TEST(CommandLine, SharedOptionsApplyToCommandsBeforeThem) {
  // Pass 1 reads the whole line first, so options may follow the command.
  RunArgs({L"/extract:\\x::C:\\y", L"-FIX:D:\\w.fix", L"-img:C:\\a.img"});
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_EQ(L"D:\\w.fix", g_calls[0].fix);
  EXPECT_EQ(L"C:\\a.img", g_calls[0].image);
}

TEST(CommandLine, OverwriteMode) {
  RunArgs({L"-img:a", L"/inject:\\x::y"});
  EXPECT_EQ(1, g_calls.at(0).mode);
  RunArgs({L"-img:a", L"/inject:\\x::y", L"/NO"});
  EXPECT_EQ(0, g_calls.at(0).mode);
  RunArgs({L"-img:a", L"-Update", L"/inject:\\x::y"});
  EXPECT_EQ(2, g_calls.at(0).mode);
  RunArgs({L"-img:a", L"-update", L"-no", L"/extract:\\x::y"});
  EXPECT_EQ(0, g_calls.at(0).mode);
  // "-no" and "-update" are whole arguments, not prefixes: "-nope" is no option.
  EXPECT_EQ(kMalformedArgument, RunArgs({L"-img:a", L"-nope", L"/extract:\\x::y"}).exitCode);
  EXPECT_TRUE(g_calls.empty());
}

TEST(CommandLine, InjectAndExtractSplitAtLastDoubleColon) {
  // A host path never holds "::"; a volume path may ("\::{UEFI}" is the EFI
  // system partition).
  Outcome r = RunArgs({L"-img:a", L"-inject:\\Path\\test.zip::D:\\test.zip", L"/EXTRACT:\\p::q::r",
                       L"/extract:\\::{UEFI}\\EFI\\Boot\\bootx64.efi::D:\\x",
                       L"/inject:\\a::\\\\?\\D:\\*.*"});
  EXPECT_EQ(0, r.show);
  EXPECT_EQ(0, r.exitCode);
  ASSERT_EQ(4u, g_calls.size());
  EXPECT_EQ(L"inject", g_calls[0].op);
  EXPECT_EQ(L"\\Path\\test.zip", g_calls[0].a);
  EXPECT_EQ(L"D:\\test.zip", g_calls[0].b);
  EXPECT_EQ(L"extract", g_calls[1].op);
  EXPECT_EQ(L"\\p::q", g_calls[1].a);
  EXPECT_EQ(L"r", g_calls[1].b);
  EXPECT_EQ(L"\\::{UEFI}\\EFI\\Boot\\bootx64.efi", g_calls[2].a);
  EXPECT_EQ(L"D:\\x", g_calls[2].b);
  EXPECT_EQ(L"\\\\?\\D:\\*.*", g_calls[3].b);
}

TEST(CommandLine, MalformedTwoPartArguments) {
  for (const wchar_t* bad :
       {L"/inject:\\a", L"/inject:::D:\\b", L"/inject:\\a::", L"-extract:", L"/extract:\\a",
        L"/import:", L"/export:D:\\t.reg", L"/export:::HKEY_LOCAL_MACHINE\\SYSTEM",
        L"/importfile:A\\B", L"/importfile:NoBackslash=C:\\f",
        // host paths Windows does not allow
        L"/extract:\\a::D:\\x<y", L"/inject:\\a::D:\\x>y", L"/extract:\\a::D:\\\"x\"",
        L"/inject:\\a::D:\\x|y", L"/extract:\\a::D:\\x:y", L"/inject:\\a::1:\\x",
        L"/extract:\\a::D:\\\tx"}) {
    Outcome r = RunArgs({L"-img:a", bad});
    EXPECT_EQ(kMalformedArgument, r.exitCode) << bad;
    EXPECT_EQ(0, r.show) << bad;
    EXPECT_TRUE(g_calls.empty()) << bad;
  }
}

TEST(CommandLine, FieldLongerThanAPathIsMalformed) {
  // Any field, before or behind its separator, and the paths of "-img:" and
  // "-fix:": a cut path would name another file. The paths of a copy are
  // too long as a path inside a folder is (-12, error 206); nothing runs.
  std::wstring fits(359, L'x'), longPart(360, L'x');
  for (const std::vector<std::wstring>& tooLong :
       std::vector<std::vector<std::wstring>>{{L"-img:a", L"/inject:" + longPart + L"::C:\\y"},
                                              {L"-img:a", L"/inject:\\a::" + longPart},
                                              {L"-img:a", L"/extract:\\a::" + longPart},
                                              {L"-img:a", L"/extract:" + longPart + L"::y"}}) {
    Outcome r = RunArgs(tooLong);
    EXPECT_EQ(kImageOperationFailed, r.exitCode) << vt::Narrow(tooLong.back());
    EXPECT_EQ(0, r.show);
    EXPECT_TRUE(g_calls.empty());
  }
  for (const std::vector<std::wstring>& bad :
       std::vector<std::vector<std::wstring>>{{L"-img:a", L"/import:" + longPart},
                                              {L"-img:a", L"/export:C:\\x.reg::" + longPart},
                                              {L"-img:a", L"/importfile:A\\B=" + longPart},
                                              {L"-img:" + longPart, L"/extract:\\a::b"},
                                              {L"-img:" + longPart + L"::1", L"/merge"},
                                              {L"-img:a", L"-fix:" + longPart, L"/import:x.reg"}}) {
    Outcome r = RunArgs(bad);
    EXPECT_EQ(kMalformedArgument, r.exitCode) << vt::Narrow(bad.back());
    EXPECT_EQ(0, r.show);
    EXPECT_TRUE(g_calls.empty());
  }
  // 359 characters fit, in every field; the partition number behind them is
  // read.
  RunArgs({L"-img:" + fits + L"::2", L"-fix:" + fits, L"/inject:" + fits + L"::" + fits});
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_EQ(fits, g_calls[0].a);
  EXPECT_EQ(fits, g_calls[0].b);
  EXPECT_EQ(fits, g_calls[0].image);
  EXPECT_EQ(fits, g_calls[0].fix);
  EXPECT_EQ(2, g_calls[0].partition);
}

TEST(CommandLine, CommandsNeedAnImage) {
  // Without "-img:" (or with an empty one) a command on an image is
  // malformed: it runs nothing and opens no window.
  for (const wchar_t* command :
       {L"/inject:\\a::b", L"/extract:\\a::b", L"/import:x.reg",
        L"/export:x.reg::HKEY_LOCAL_MACHINE", L"/importfile:A\\B=c", L"/merge", L"/format",
        L"/check", L"/repair", L"/size:100", L"/create:100", L"/convert:C:\\a.img", L"/backup:C",
        L"/iadapter:2:VEN_1", L"/inject:nonsense"}) {
    for (const std::vector<std::wstring>& line :
         std::vector<std::vector<std::wstring>>{{command}, {L"-img:", L"-no", command}}) {
      Outcome r = RunArgs(line);
      EXPECT_EQ(kMalformedArgument, r.exitCode) << vt::Narrow(command);
      EXPECT_EQ(0, r.show) << vt::Narrow(command);
      EXPECT_TRUE(g_calls.empty()) << vt::Narrow(command);
    }
  }
  // "/size:" with a write-back file or another partition is passed over.
  Outcome r = RunArgs({L"-img:a::1", L"/size:100"});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_EQ(1, r.show);
  r = RunArgs({L"-img:a", L"-fix:b", L"/size:100"});
  EXPECT_EQ(0, r.exitCode);
  EXPECT_EQ(1, r.show);
}

TEST(CommandLine, RegistryCommands) {
  RunArgs({L"-img:a", L"-fix:f", L"/import:D:\\test.reg",
           L"/Export:D:\\out.reg::HKEY_LOCAL_MACHINE\\SYSTEM", L"/export:D:\\all.reg::",
           L"/importfile:HKEY_LOCAL_MACHINE\\SYSTEM\\1\\=C:\\Test",
           L"/IMPORTFILE:HKEY_LOCAL_MACHINE\\SOFTWARE\\K\\Name=C:\\v=w"});
  ASSERT_EQ(5u, g_calls.size());
  EXPECT_EQ(L"import", g_calls[0].op);
  EXPECT_EQ(L"D:\\test.reg", g_calls[0].a);
  EXPECT_EQ(L"f", g_calls[0].fix);
  EXPECT_EQ(L"export", g_calls[1].op);
  EXPECT_EQ(L"HKEY_LOCAL_MACHINE\\SYSTEM", g_calls[1].a);
  EXPECT_EQ(L"D:\\out.reg", g_calls[1].b);
  EXPECT_EQ(L"", g_calls[2].a);
  EXPECT_EQ(L"D:\\all.reg", g_calls[2].b);
  // "importfile:" is tested before "import:", which is its prefix.
  EXPECT_EQ(L"importfile", g_calls[3].op);
  EXPECT_EQ(L"HKEY_LOCAL_MACHINE\\SYSTEM\\1", g_calls[3].a);
  EXPECT_EQ(L"", g_calls[3].b);  // the default value
  EXPECT_EQ(L"C:\\Test", g_calls[3].c);
  EXPECT_EQ(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\K", g_calls[4].a);
  EXPECT_EQ(L"Name", g_calls[4].b);
  EXPECT_EQ(L"C:\\v=w", g_calls[4].c);
}

TEST(CommandLine, AdapterInstallation) {
  Outcome r =
      RunArgs({L"-img:a.img", L"/iadapter:2:VEN_8086&DEV_100E&SUBSYS_10018086:7:192.168.0.7"});
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_EQ(0, r.show);
  EXPECT_EQ(L"VEN_8086&DEV_100E&SUBSYS_10018086", g_calls[0].a);
  EXPECT_EQ(L"7", g_calls[0].b);
  EXPECT_EQ(L"192.168.0.7", g_calls[0].c);
  EXPECT_EQ(2, g_calls[0].mode);
  // A display adapter stays a display adapter; missing fields are absent.
  RunArgs({L"-img:a.img", L"/iadapter:3:VEN_1002&DEV_6779"});
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_EQ(3, g_calls[0].mode);
  EXPECT_EQ(L"<null>", g_calls[0].b);
  EXPECT_EQ(L"<null>", g_calls[0].c);
  for (const wchar_t* bad : {L"/iadapter:", L"/iadapter:2", L"/iadapter:x:VEN_1", L"/iadapter:2:",
                             L"/iadapter::VEN_1", L"/iadapter:4:VEN_1", L"/iadapter:51:VEN_1",
                             L"/iadapter:0:VEN_1"}) {
    r = RunArgs({L"-img:a.img", bad});
    EXPECT_TRUE(g_calls.empty()) << vt::Narrow(bad);
    EXPECT_EQ(kMalformedArgument, r.exitCode) << vt::Narrow(bad);
  }
}

TEST(CommandLine, MergeKeepsTheWindow) {
  Outcome r = RunArgs({L"-img:C:\\a.img", L"-fix:C:\\a.fix", L"/MERGE"});
  EXPECT_EQ(1, r.show);
  ASSERT_EQ(1u, g_calls.size());
  EXPECT_EQ(L"merge", g_calls[0].op);
  EXPECT_EQ(L"C:\\a.img", g_calls[0].image);
  EXPECT_EQ(L"C:\\a.fix", g_calls[0].fix);
  r = RunArgs({L"-img:a", L"/merge"}, -12);
  EXPECT_EQ(1, r.show);
  EXPECT_EQ(-12, r.exitCode);
  // An operation's own -13 is a result, not a malformed argument.
  r = RunArgs({L"-img:a", L"/merge"}, -13);
  EXPECT_EQ(1, r.show);
  EXPECT_EQ(-13, r.exitCode);
  // "merge" is a whole argument.
  r = RunArgs({L"-img:a", L"/merged"});
  EXPECT_TRUE(g_calls.empty());
}

TEST(CommandLine, LastFailureIsTheExitCode) {
  // Every call fails with -15: two failures leave the second's code, and a
  // malformed argument after them leaves -13.
  Outcome r = RunArgs({L"-img:a", L"/extract:\\a::b", L"/inject:\\a::b", L"/inject:bad"}, -15);
  EXPECT_EQ(kMalformedArgument, r.exitCode);
  EXPECT_EQ(2u, g_calls.size());
  r = RunArgs({L"-img:a", L"/inject:bad", L"/extract:\\a::b"}, -15);
  EXPECT_EQ(-15, r.exitCode);
  EXPECT_EQ(0, r.show);

  // A later success does not reset the code.
  g_calls.clear();
  std::wstring a0 = L"VroMount.exe", a1 = L"-img:a", a2 = L"/inject:bad", a3 = L"/extract:\\a::b";
  wchar_t* argv[] = {&a0[0], &a1[0], &a2[0], &a3[0], nullptr};
  int exitCode = 0;
  g_result = 0;
  EXPECT_EQ(0, RunCommandArguments(4, argv, kFakes, exitCode));
  EXPECT_EQ(kMalformedArgument, exitCode);
  EXPECT_EQ(1u, g_calls.size());
}

TEST(CommandLine, LanguageSetting) {
  std::wstring ini = vt::ScratchDir() + L"\\VroMount.ini";
  auto language = [&](const char* text) {
    vt::WriteAll(ini, text, strlen(text));
    return ReadLanguageSetting(ini.c_str());
  };
  EXPECT_EQ(1041, language("[Config]\r\nLanguage=1041\r\n"));
  EXPECT_EQ(1042, language("[Config]\r\nLanguage=1042\r\n"));
  EXPECT_EQ(2052, language("[Config]\r\nLanguage=1033\r\n"));
  EXPECT_EQ(1041, language("[Config]\r\nLanguage=66577\r\n"));  // 0x10411: 16 bits count
  WORD fallback = language("[Other]\r\n");
  EXPECT_TRUE(fallback == 2052 || fallback == 1041 || fallback == 1042) << fallback;
}

TEST(CommandLine, SettingsFileBesideTheProgram) {
  wchar_t module[MAX_PATH], settings[kPathChars];
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  GetSettingsFilePath(nullptr, settings);
  std::wstring expected = module;
  expected = expected.substr(0, expected.rfind(L'.')) + L".ini";
  EXPECT_EQ(expected, settings);
}

// The program entry keeps the crash-dump filter in force while the command
// line runs, and puts back the one it found.
LPTOP_LEVEL_EXCEPTION_FILTER g_filterDuringRun;

int ProbeFilter(WORD*, int* exitCode) {
  g_filterDuringRun = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(g_filterDuringRun);
  *exitCode = -15;
  return 0;
}

LONG WINAPI OwnFilter(EXCEPTION_POINTERS*) {
  return EXCEPTION_CONTINUE_SEARCH;
}

TEST(ProgramEntry, CrashDumpFilterForTheWholeRun) {
  LPTOP_LEVEL_EXCEPTION_FILTER before = SetUnhandledExceptionFilter(OwnFilter);
  EXPECT_EQ(-15, RunProgramEntry(GetModuleHandleW(nullptr), ProbeFilter));
  EXPECT_EQ(&WriteCrashDump, g_filterDuringRun);
  EXPECT_EQ(&OwnFilter, SetUnhandledExceptionFilter(before));
}

}  // namespace
