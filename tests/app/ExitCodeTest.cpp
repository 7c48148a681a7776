// The program's exit code as a Windows parent sees it: all 32 bits.
#include <gtest/gtest.h>

#include "ProgramImage.h"
#include "TestSupport.h"

using namespace apptest;

namespace {

DWORD RunVro(const std::wstring& arguments) {
  DWORD code = 0xDEADBEEF;
  EXPECT_TRUE(RunProgram(arguments, code)) << vt::Narrow(arguments);
  return code;
}

TEST(ExitCode, BatchResults) {
  std::wstring dir = vt::ScratchDir();
  std::wstring missing = L"\"-img:" + dir + L"\\missing.img\" ";
  // Without a command the program ends with 0 (the main window opens there
  // once it exists).
  EXPECT_EQ(0u, RunVro(L""));
  EXPECT_EQ(0u, RunVro(L"/inject:\\a::" + dir));  // no image: nothing runs
  // A missing image: -15, in full.
  EXPECT_EQ(DWORD(-15), RunVro(missing + L"\"/extract:\\Windows::" + dir + L"\\out\""));
  EXPECT_EQ(DWORD(-15), RunVro(missing + L"/IMPORT:" + dir + L"\\x.reg"));
  // Malformed forms: -13, and the well-formed command after one still sets
  // its own code.
  EXPECT_EQ(DWORD(-13), RunVro(missing + L"-inject:\\a"));
  EXPECT_EQ(DWORD(-13), RunVro(missing + L"/export:" + dir + L"\\x.reg"));
  EXPECT_EQ(DWORD(-13), RunVro(missing + L"/importfile:NoKey=" + dir));
  EXPECT_EQ(DWORD(-15), RunVro(missing + L"/import: /extract:\\a::" + dir));
}

}  // namespace
