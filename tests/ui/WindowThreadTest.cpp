// Worker threads take their window's UI language: the strings they load come
// out in it, and the platform call that sets it depends on the Windows
// version.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "resources/ResourceIds.h"
#include "ui/UiLanguage.h"
#include "ui/UiResources.h"
#include "ui/WindowThread.h"

namespace {

std::wstring g_calls;

BOOL WINAPI FakeSetThreadLocale(LCID locale) {
  g_calls += L"locale:" + std::to_wstring(LANGIDFROMLCID(locale)) + L" ";
  return TRUE;
}

LANGID WINAPI FakeSetThreadUILanguage(LANGID language) {
  g_calls += L"ui:" + std::to_wstring(language) + L" ";
  return language;
}

const ThreadLanguageApi kFakes = {FakeSetThreadLocale, FakeSetThreadUILanguage};

class CWorkerWindow : public CWindow {
 public:
  DWORD LoadYes(LPARAM out) {
    LoadUiString(IDS_ANSWER_YES, reinterpret_cast<wchar_t*>(out), 40);
    return GetThreadUiLanguage();
  }
};

DWORD RunAndWait(HANDLE thread) {
  EXPECT_NE(nullptr, thread);
  if (!thread) return 0;
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  return code;
}

class WindowThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    old_ = SetThreadLanguageApi(&kFakes);
  }
  void TearDown() override { SetThreadLanguageApi(old_); }
  const ThreadLanguageApi* old_ = nullptr;
};

TEST_F(WindowThreadTest, WorkerLoadsStringsInTheWindowsLanguage) {
  ApplyThreadLanguage(2052, 0x0006);
  struct Case {
    LANGID language;
    const wchar_t* yes;
  } cases[] = {{1041, L"\x306F\x3044(&Y)"}, {1042, L"\xC608(&Y)"}, {2052, L"\x662F(&Y)"}};
  for (const Case& c : cases) {
    CWorkerWindow window;
    window.m_language = c.language;
    wchar_t yes[40] = L"";
    EXPECT_EQ(c.language,
              RunAndWait(StartWindowThread(&window, &CWorkerWindow::LoadYes, LPARAM(yes))));
    EXPECT_STREQ(c.yes, yes);
  }
  EXPECT_EQ(2052, GetThreadUiLanguage()) << "the caller's own language is untouched";
}

TEST_F(WindowThreadTest, VersionChoosesLocaleOrUiLanguage) {
  CWorkerWindow window;
  window.m_language = 1041;
  wchar_t yes[40];
  window.m_version = 0x0105;  // Windows 5.1
  RunAndWait(StartWindowThread(&window, &CWorkerWindow::LoadYes, LPARAM(yes)));
  window.m_version = 0x0106;  // Windows 6.1
  RunAndWait(StartWindowThread(&window, &CWorkerWindow::LoadYes, LPARAM(yes)));
  SetWindowLanguage(1042, &window);
  EXPECT_EQ(1042, window.m_language);
  EXPECT_EQ(1042, GetThreadUiLanguage());
  EXPECT_EQ(L"locale:1041 ui:1041 ui:1042 ", g_calls);
}

TEST_F(WindowThreadTest, NullFunctionEndsAtOnceWithZero) {
  CWorkerWindow window;
  EXPECT_EQ(0u, RunAndWait(StartWindowThread(&window, WindowThreadFunction(nullptr), 5)));
  EXPECT_EQ(L"", g_calls);
}

}  // namespace
