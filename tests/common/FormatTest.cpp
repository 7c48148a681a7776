// Sizes, separators, times, wildcard matching, folding searches and DPI.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/Dpi.h"
#include "common/Format.h"
#include "common/TextSearch.h"
#include "common/Wildcard.h"

namespace {
std::wstring Size(uint64_t n) {
  wchar_t buf[32];
  FormatByteSize(n, L"%u \x5B57\x8282", buf);
  return buf;
}
std::wstring Thousands(uint64_t n) {
  wchar_t buf[40];
  FormatThousands(buf, 40, n);
  return buf;
}
}  // namespace

TEST(Format, ByteSizesTruncateTheHundredths) {
  EXPECT_EQ(L"1023 \x5B57\x8282", Size(1023));
  EXPECT_EQ(L"0 \x5B57\x8282", Size(0));
  EXPECT_EQ(L"1 KB", Size(1024));
  EXPECT_EQ(L"1023 KB", Size(1048575));
  EXPECT_EQ(L"1.00 MB", Size(1048576));
  EXPECT_EQ(L"1.49 MB", Size(1572863));
  EXPECT_EQ(L"1.50 MB", Size(1572864));
  EXPECT_EQ(L"1.99 GB", Size((2ull << 30) - 1));
  EXPECT_EQ(L"1.50 TB", Size(3ull << 39));
  EXPECT_EQ(L"2047.99 TB", Size((2048ull << 40) - 1));  // hundredths need 64 bits
  EXPECT_EQ(L"16777215.99 TB", Size(~0ull));
}

TEST(Format, ThousandsSeparators) {
  EXPECT_EQ(L"0", Thousands(0));
  EXPECT_EQ(L"999", Thousands(999));
  EXPECT_EQ(L"1,000", Thousands(1000));
  EXPECT_EQ(L"1,000,001", Thousands(1000001));
  EXPECT_EQ(L"999,999,999,999", Thousands(999999999999ull));
  EXPECT_EQ(L"1,000,000,000,000", Thousands(1000000000000ull));
  EXPECT_EQ(L"18446744,073,709,551,615", Thousands(~0ull));
  wchar_t small[6];
  EXPECT_EQ(5, FormatThousands(small, 6, 1234567));
  EXPECT_STREQ(L"1,234", small);
}

TEST(Format, FileTimeIsLocal) {
  SYSTEMTIME st = {2024, 3, 2, 5, 7, 8, 9, 0};
  FILETIME local, utc;
  ASSERT_TRUE(SystemTimeToFileTime(&st, &local));
  ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
  wchar_t buf[40];
  EXPECT_EQ(19, FormatFileTime(buf, 40, utc));
  EXPECT_STREQ(L"2024-03-05 07:08:09", buf);
  EXPECT_EQ(9, FormatFileTime(buf, 10, utc));
  EXPECT_STREQ(L"2024-03-0", buf);
}

TEST(Wildcard, DosRules) {
  EXPECT_EQ(1, MatchWildcard(L"*.txt", L"a.TXT"));
  EXPECT_EQ(0, MatchWildcard(L"*.txt", L"a.txt2"));
  EXPECT_EQ(0, MatchWildcard(L"a?c", L"a.c"));
  EXPECT_EQ(1, MatchWildcard(L"a?c", L"abc"));
  EXPECT_EQ(1, MatchWildcard(L"*", L"anything.at.all"));
  EXPECT_EQ(1, MatchWildcard(L"abc.*", L"abc"));
  EXPECT_EQ(1, MatchWildcard(L"abc.", L"abc"));
  EXPECT_EQ(1, MatchWildcard(L"readme.*", L"README"));
  EXPECT_EQ(1, MatchWildcard(L"a*b*c", L"axbyc"));
  EXPECT_EQ(1, MatchWildcard(L"*ab", L"aab"));
  EXPECT_EQ(0, MatchWildcard(L"a*b*c", L"axbyd"));
  EXPECT_EQ(0, MatchWildcard(L"*.", L"a.b"));
  EXPECT_EQ(0, MatchWildcard(L"abc", L"abcd"));
  EXPECT_EQ(0, MatchWildcard(L"abcd", L"abc"));
  EXPECT_EQ(0, MatchWildcard(L"*x", L""));
  EXPECT_EQ(1, MatchWildcard(L"\x4E2D*", L"\x4E2D\x6587.doc"));
  EXPECT_EQ(0, MatchWildcard(L"\xE9", L"\xC9"));  // only A-Z fold
}

TEST(TextSearch, FoldingSearches) {
  const wchar_t* hay = L"[Version]\r\n[STRINGS]\r\nx";
  EXPECT_EQ(hay + 11, FindTextNoCase(hay, -1, L"[strings]"));
  EXPECT_EQ(nullptr, FindTextNoCase(hay, 19, L"[strings]"));  // must fit in the length
  EXPECT_EQ(hay + 11, FindTextNoCase(hay, 20, L"[strings]"));
  EXPECT_EQ(hay, FindTextNoCase(hay, -1, L""));
  EXPECT_EQ(nullptr, FindTextNoCase(L"", -1, L"a"));
  EXPECT_EQ(nullptr, FindTextNoCase(hay, 0, L"["));
  EXPECT_EQ(nullptr, FindTextNoCase(nullptr, -1, L"a"));
  EXPECT_EQ(hay + 1, FindTextNoCaseCounted(hay, -1, L"vXXX", 1));
  EXPECT_EQ(nullptr, FindTextNoCase(L"\xC9t\xE9", -1, L"\xE9T\xE9"));

  const char bytes[] = "abc\0DEFdef";
  EXPECT_EQ(bytes + 4, FindBytesNoCase(bytes, 10, "def", 3));
  EXPECT_EQ(nullptr, FindBytesNoCase(bytes, -1, "def", 3));  // stops at the NUL byte
  EXPECT_EQ(bytes + 7, FindBytes(bytes, 10, "def", 3));
  EXPECT_EQ(bytes + 3, FindBytes(bytes, 10, "\0D", 2));
  EXPECT_EQ(nullptr, FindBytes(bytes, 10, "deff", 4));
  const char high[] = "\xC4\xE4";
  EXPECT_EQ(nullptr, FindBytesNoCase(high, 2, "\xE4\xE4", 2));
}

TEST(Dpi, Percentages) {
  EXPECT_EQ(100, DpiPercentFromPixels(72));
  EXPECT_EQ(100, DpiPercentFromPixels(96));
  EXPECT_EQ(125, DpiPercentFromPixels(120));
  EXPECT_EQ(150, DpiPercentFromPixels(144));
  EXPECT_GE(GetScreenDpiPercent(), 100);
  int saved = g_ScreenDpiPercent;
  g_ScreenDpiPercent = 125;
  EXPECT_EQ(1250, ScaleByDpi(1000));
  g_ScreenDpiPercent = saved;
}
