// Token privileges and clipboard text.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>

#include "common/Clipboard.h"
#include "common/Privilege.h"

TEST(Privilege, EnablesKnownAndRejectsUnknownNames) {
  EXPECT_TRUE(EnablePrivilege(L"SeDebugPrivilege"));
  EXPECT_FALSE(EnablePrivilege(L"SeNoSuchPrivilege"));
}

TEST(Clipboard, PutsUnicodeText) {
  const wchar_t text[] = L"C:\\\x4E2D\x6587 path and more";
  if (!CopyTextToClipboard(text, 8)) GTEST_SKIP() << "no clipboard here (no display)";
  ASSERT_TRUE(OpenClipboard(nullptr));
  HANDLE h = GetClipboardData(CF_UNICODETEXT);
  ASSERT_NE(nullptr, h);
  const wchar_t* got = static_cast<const wchar_t*>(GlobalLock(h));
  ASSERT_NE(nullptr, got);
  EXPECT_STREQ(L"C:\\\x4E2D\x6587 pa", got);
  GlobalUnlock(h);
  CloseClipboard();
  EXPECT_EQ(0, CopyTextToClipboard(nullptr, 3));
}
