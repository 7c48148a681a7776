// "/h" and "/?" through the built program: dialog 166 opens with the help
// text of the language the settings file names, is shown on the virtual
// display (a screenshot of each language is kept with the test's output),
// and closes with exit code 0.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "UiTestUtil.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"

namespace {

struct Found {
  DWORD process;
  HWND window;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  Found* f = reinterpret_cast<Found*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t cls[16];
  if (pid == f->process && IsWindowVisible(window) && GetClassNameW(window, cls, 16) &&
      !lstrcmpW(cls, L"#32770")) {
    f->window = window;
    return FALSE;
  }
  return TRUE;
}

std::wstring HelpText(LANGID language) {
  DWORD size = 0;
  const wchar_t* data = static_cast<const wchar_t*>(
      FindUiResource(GetModuleHandleW(nullptr), L"DATA", MAKEINTRESOURCEW(IDR_COMMAND_LINE_HELP),
                     language, &size));
  return data ? std::wstring(data + 1, size / 2 - 1) : std::wstring();
}

class HelpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = vt::ScratchDir();
    program_ = dir_ + L"\\VroMount.exe";
    ASSERT_TRUE(CopyFileW(vt::ToWin(VRO_PROGRAM_UNIX).c_str(), program_.c_str(), FALSE));
  }

  // Writes the settings file (no "Language" key for 0).
  void Configure(int language) {
    std::wstring ini = dir_ + L"\\VroMount.ini";
    DeleteFileW(ini.c_str());
    if (language)
      WritePrivateProfileStringW(L"Config", L"Language", std::to_wstring(language).c_str(),
                                 ini.c_str());
  }

  // Starts the program with `option` and waits for its dialog.
  HWND Start(const wchar_t* option) {
    std::wstring command = L"\"" + program_ + L"\" " + option;
    STARTUPINFOW si = {sizeof si};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir_.c_str(),
                        &si, &pi_))
      return nullptr;
    Found found = {pi_.dwProcessId, nullptr};
    uitest::WaitFor(
        [&] {
          EnumWindows(FindDialog, LPARAM(&found));
          return found.window != nullptr;
        },
        20000);
    return found.window;
  }

  DWORD WaitForExit() {
    DWORD code = 999;
    if (WaitForSingleObject(pi_.hProcess, 20000) == WAIT_OBJECT_0)
      GetExitCodeProcess(pi_.hProcess, &code);
    else
      TerminateProcess(pi_.hProcess, 1);
    CloseHandle(pi_.hThread);
    CloseHandle(pi_.hProcess);
    return code;
  }

  std::wstring dir_, program_;
  PROCESS_INFORMATION pi_ = {};
};

TEST_F(HelpTest, ShowsTheHelpInTheConfiguredLanguage) {
  struct Case {
    int setting;
    LANGID shown;
    const wchar_t* option;
    const wchar_t* caption;
    const char* picture;
  } cases[] = {
      {2052, 2052, L"/h", L"\x547D\x4EE4\x884C\x5E2E\x52A9", "help-2052.png"},
      {1041, 1041, L"-?", L"\x30B3\x30DE\x30F3\x30C9\x30E9\x30A4\x30F3 \x30D8\x30EB\x30D7",
       "help-1041.png"},
      {1042, 1042, L"/H", L"\xBA85\xB839\xC904 \xB3C4\xC6C0\xB9D0", "help-1042.png"},
      {1033, 2052, L"/?", L"\x547D\x4EE4\x884C\x5E2E\x52A9", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    Configure(c.setting);
    HWND dialog = Start(c.option);
    ASSERT_NE(nullptr, dialog);
    wchar_t caption[64];
    GetWindowTextW(dialog, caption, 64);
    EXPECT_STREQ(c.caption, caption);
    HWND edit = GetDlgItem(dialog, IDC_HELP_TEXT);
    // WM_GETTEXT itself: GetWindowText does not ask another process's control.
    int length = int(SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0));
    std::wstring text(length + 1, L'\0');
    text.resize(SendMessageW(edit, WM_GETTEXT, length + 1, LPARAM(&text[0])));
    EXPECT_GT(length, 1000);
    EXPECT_TRUE(HelpText(c.shown) == text) << "the help text of " << c.shown << " is not shown";
    if (c.picture) {
      RECT r;
      GetWindowRect(dialog, &r);
      EXPECT_TRUE(uitest::Screenshot(r, vt::BinaryDirUnix() + "/tests/ui/" + c.picture));
    }
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(0u, WaitForExit());
  }
}

TEST_F(HelpTest, CloseButtonClickedOnTheDisplay) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  Configure(1042);
  HWND dialog = Start(L"/img:C:\\none.img /h /inject:\\a::C:\\a");
  ASSERT_NE(nullptr, dialog);
  RECT button;
  GetWindowRect(GetDlgItem(dialog, IDCANCEL), &button);
  char command[128];
  snprintf(command, sizeof command, "xdotool mousemove %ld %ld click 1",
           (button.left + button.right) / 2, (button.top + button.bottom) / 2);
  EXPECT_EQ(0, vt::Sh(command));
  EXPECT_EQ(0u, WaitForExit()) << "the help ends the command line: the injection never ran";
}

}  // namespace
