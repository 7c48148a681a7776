// The build keeps Microsoft's printf rules, which the program's wide format
// strings are written for, and the test harness reaches the Linux side.
#include <windows.h>
#include <gtest/gtest.h>

#include <cwchar>
#include <cstdio>

#include "TestSupport.h"
#include "Wow64Only.h"

TEST(Platform, WideFormatsFollowWindowsRules) {
  wchar_t buf[128];
  int n = _snwprintf(buf, 128, L"%s_%02d.Upd|%I64u|%S", L"Disk", 7,
                     (unsigned long long)12345678901234ULL, "ansi");
  ASSERT_GT(n, 0);
  EXPECT_STREQ(L"Disk_07.Upd|12345678901234|ansi", buf);

  char abuf[64];
  snprintf(abuf, sizeof abuf, "%I64u/%I64d", 18446744073709551615ULL, -5LL);
  EXPECT_STREQ("18446744073709551615/-5", abuf);

  EXPECT_GT(wsprintfW(buf, L"%s=%u", L"Key", 42u), 0);
  EXPECT_STREQ(L"Key=42", buf);
}

TEST(Platform, RunsAsThirtyTwoBitUnderWow64) {
  VRO_WOW64_ONLY("a 32-bit process in a 64-bit prefix");
  BOOL wow = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow));
  EXPECT_EQ(sizeof(void*), 4u);
  EXPECT_TRUE(wow) << "the test prefix is 64-bit, as on 64-bit Windows";
}

TEST(Platform, ShellReachesLinuxToolsAndReportsExitCodes) {
  std::string out;
  EXPECT_EQ(0, vt::Sh("echo hello", &out));
  EXPECT_EQ("hello\n", out);
  EXPECT_EQ(3, vt::Sh("exit 3"));
  EXPECT_EQ(0, vt::Sh("command -v mkntfs && command -v ntfscat && command -v mkfs.fat"));
}

TEST(Platform, ScratchFolderIsSharedWithLinux) {
  std::wstring dir = vt::ScratchDir();
  ASSERT_TRUE(vt::WriteAll(dir + L"\\a.bin", "abc", 3));
  std::string out;
  EXPECT_EQ(0, vt::Sh("cat " + vt::Q(vt::ToUnix(dir + L"\\a.bin")), &out));
  EXPECT_EQ("abc", out);
  EXPECT_EQ(vt::Sha256(dir + L"\\a.bin"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
