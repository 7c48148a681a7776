// The minidump filter, proven on a child process that really crashes.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "common/CrashDump.h"
#include "common/PathUtil.h"

TEST(CrashDump, DumpNameFollowsTheProgram) {
  SYSTEMTIME t = {2024, 3, 2, 5, 7, 8, 9, 0};
  wchar_t out[kPathChars];
  ASSERT_TRUE(FormatCrashDumpPath(L"C:\\dir.v2\\tool.exe", t, 0x1A4, out));
  EXPECT_STREQ(L"C:\\dir.v2\\tool_20240305070809_01A4.dmp", out);
  ASSERT_TRUE(FormatCrashDumpPath(L"C:\\dir.v2\\tool", t, 0x12345, out));
  EXPECT_STREQ(L"C:\\dir.v2\\tool_20240305070809_12345.dmp", out);
  std::wstring deep(kPathChars - 20, L'a');
  EXPECT_FALSE(FormatCrashDumpPath(deep.c_str(), t, 1, out));
}

// Run only as the child of the test below: installs the filter, records its
// thread id and crashes.
TEST(CrashDumpChild, DISABLED_Crash) {
  if (!getenv("VRO_CRASH_CHILD")) GTEST_SKIP();
  SetErrorMode(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS);
  SetUnhandledExceptionFilter(WriteCrashDump);
  FILE* f = fopen("tid.txt", "w");
  ASSERT_NE(nullptr, f);
  fprintf(f, "%04lX", GetCurrentThreadId());
  fclose(f);
  volatile int* nowhere = nullptr;
  *nowhere = 1;
}

TEST(CrashDump, CrashingChildLeavesAMinidump) {
  std::wstring dir = vt::ScratchDir();
  wchar_t self[kPathChars];
  ASSERT_LT(GetModuleFileNameW(nullptr, self, kPathChars), static_cast<DWORD>(kPathChars));
  std::wstring tool = dir + L"\\tool.exe";
  ASSERT_TRUE(CopyFileW(self, tool.c_str(), FALSE));

  std::wstring cmd = L"\"" + tool +
                     L"\" --gtest_filter=CrashDumpChild.DISABLED_Crash "
                     L"--gtest_also_run_disabled_tests --gtest_catch_exceptions=0";
  SetEnvironmentVariableW(L"VRO_CRASH_CHILD", L"1");
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi;
  BOOL started = CreateProcessW(tool.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                                dir.c_str(), &si, &pi);
  SetEnvironmentVariableW(L"VRO_CRASH_CHILD", nullptr);
  ASSERT_TRUE(started);
  DWORD waited = WaitForSingleObject(pi.hProcess, 120000);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  if (waited != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  ASSERT_EQ(WAIT_OBJECT_0, waited);
  EXPECT_NE(0u, code);

  std::vector<uint8_t> tid;
  ASSERT_TRUE(vt::ReadAll(dir + L"\\tid.txt", tid)) << "the child did not run";
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((dir + L"\\*.dmp").c_str(), &fd);
  ASSERT_NE(INVALID_HANDLE_VALUE, find) << "no dump written; exit code " << std::hex << code;
  FindClose(find);
  std::string name = vt::Narrow(fd.cFileName);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(name, m, std::regex("tool_(\\d{4})(\\d{10})_([0-9A-F]{4,})\\.dmp")))
      << name;
  SYSTEMTIME now;
  GetLocalTime(&now);
  EXPECT_LE(std::abs(std::stoi(m[1].str()) - now.wYear), 1);
  EXPECT_EQ(std::string(tid.begin(), tid.end()), m[3].str());

  std::vector<uint8_t> dump;
  ASSERT_TRUE(vt::ReadAll(dir + L"\\" + fd.cFileName, dump));
  ASSERT_GE(dump.size(), 32u);
  EXPECT_EQ("MDMP", std::string(dump.begin(), dump.begin() + 4));
}
