// The program's exit code as a Windows parent sees it: all 32 bits.
#include <gtest/gtest.h>

#include "BatchTestUtil.h"

using namespace apptest;
using bt::RunVro;

namespace {

TEST(ExitCode, BatchResults) {
  std::wstring dir = vt::ScratchDir();
  std::wstring missing = L"\"-img:" + dir + L"\\missing.img\" ";
  // Without a command the program ends with 0 (the main window opens there
  // once it exists).
  EXPECT_EQ(0u, RunVro(L""));
  EXPECT_EQ(0u, RunVro(L"/inject:\\a::" + dir));  // no image: nothing runs
  // A missing image: -15 from every operation that opens it, in full; the
  // merge has nothing to merge (-12).
  for (const std::wstring& command :
       {L"\"/extract:\\Windows::" + dir + L"\\out\"", L"\"/inject:\\a::" + dir + L"\"",
        L"/IMPORT:" + dir + L"\\x.reg", L"/export:" + dir + L"\\x.reg::HKEY_LOCAL_MACHINE\\SYSTEM",
        L"/importfile:HKEY_LOCAL_MACHINE\\SYSTEM\\1\\=" + dir + L"\\f"})
    EXPECT_EQ(DWORD(-15), RunVro(missing + command)) << vt::Narrow(command);
  EXPECT_EQ(DWORD(-12), RunVro(missing + L"\"-fix:" + dir + L"\\missing.fix\" /merge"));
  EXPECT_FALSE(vt::FileExists(dir + L"\\out"));
  EXPECT_FALSE(vt::FileExists(dir + L"\\x.reg"));

  // Every malformed form: -13.
  std::wstring longPart(360, L'x');
  for (const std::wstring& bad :
       {std::wstring(L"-inject:\\a"), std::wstring(L"/inject:::") + dir,
        std::wstring(L"/inject:\\a::"), std::wstring(L"/extract:\\a"),
        std::wstring(L"/EXTRACT:::") + dir, std::wstring(L"/extract:\\a::"),
        std::wstring(L"/import:"), std::wstring(L"/export:") + dir + L"\\x.reg",
        std::wstring(L"/export:::HKEY_LOCAL_MACHINE\\SYSTEM"),
        std::wstring(L"/importfile:NoKey=") + dir,
        std::wstring(L"/importfile:HKEY_LOCAL_MACHINE\\SYSTEM\\1\\"),
        L"/inject:" + longPart + L"::" + dir})
    EXPECT_EQ(DWORD(-13), RunVro(missing + L"\"" + bad + L"\"")) << vt::Narrow(bad);
  // The last nonzero result wins: a malformed argument, then a missing
  // image; a failure, then a malformed argument.
  EXPECT_EQ(DWORD(-15), RunVro(missing + L"/import: /extract:\\a::" + dir));
  EXPECT_EQ(DWORD(-13), RunVro(missing + L"/extract:\\a::" + dir + L" /import:"));
}

}  // namespace
