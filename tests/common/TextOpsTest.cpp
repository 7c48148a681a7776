// In-place INF/INI line operations and the .reg text formatters.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/ProcessEnvironment.h"
#include "common/RegText.h"
#include "common/TextOps.h"

namespace {

std::wstring Apply(void (*op)(wchar_t*), const wchar_t* text) {
  std::wstring s(text);
  op(&s[0]);
  return s.c_str();
}

std::wstring L0(const wchar_t* s, size_t n) {
  return std::wstring(s, n);
}

}  // namespace

TEST(TextOps, InPlaceLineEdits) {
  EXPECT_EQ(L"100%x% %", Apply(CollapsePercentPairs, L"100%%x% %"));
  EXPECT_EQ(L"a,b,c d", Apply(TrimAroundCommas, L"a , b\t,\tc d\t"));
  EXPECT_EQ(L"a_b_c_d_e_f_g_h_i_j", Apply(SanitizeFileName, L"a:b\\c/d*e?f\"g<h>i|j"));
  EXPECT_EQ(L"a b", Apply(StripQuotes, L"\"a b\""));
  EXPECT_EQ(L"\"", Apply(StripQuotes, L"\""));
  EXPECT_EQ(L"", Apply(StripQuotes, L"\"\""));
  EXPECT_EQ(L"\"a", Apply(StripQuotes, L"\"a"));
  EXPECT_EQ(L"a \t b", Apply(TrimBlanks, L" \t a \t b\t "));
  EXPECT_EQ(L"", Apply(TrimBlanks, L" \t "));
  EXPECT_EQ(
      L"abc\x4E2D"
      L"9",
      Apply(KeepAlphanumericChars, L"a-b.c \x4E2D\xE9_9"));
}

TEST(TextOps, CutIniCommentKeepsQuotedSemicolons) {
  EXPECT_EQ(L"a=\"x;y\"", Apply(CutIniComment, L"a=\"x;y\" \t; note; more"));
  EXPECT_EQ(L"", Apply(CutIniComment, L"; whole line"));
  EXPECT_EQ(L"", Apply(CutIniComment, L"  ; indented"));
  EXPECT_EQ(L"a=\"open;", Apply(CutIniComment, L"a=\"open;"));
}

TEST(TextOps, SplitInfFields) {
  std::wstring out;
  SplitInfFields(L"\"a,b\",c%%d,\"e%%\"", out);
  EXPECT_EQ(L0(L"a,b\0c%d\0e%\0", 12), out);
  SplitInfFields(L"", out);
  EXPECT_EQ(L0(L"\0\0", 2), out);
  // Quotes are each field's, and a doubled one inside them is one quote:
  // no entry is lost at them.
  SplitInfFields(L"\"q\"x,y", out);
  EXPECT_EQ(L0(L"qx\0y\0\0", 6), out);
  SplitInfFields(L"\"c\"\"d\",\"e\"", out);
  EXPECT_EQ(L0(L"c\"d\0e\0\0", 7), out);
  SplitInfFields(L"\"a,b\",\"c\"\"d\",e f", out);
  EXPECT_EQ(L0(L"a,b\0c\"d\0e f\0\0", 13), out);
  SplitInfFields(L"x,,y", out);  // an empty string ends the list
  EXPECT_EQ(L0(L"x\0\0", 3), out);
  SplitInfFields(L"\"open", out);
  EXPECT_EQ(L0(L"open\0\0", 6), out);
  SplitInfFields(L"a,", out);
  EXPECT_EQ(L0(L"a\0\0", 3), out);

  // A value's fields as Windows reads them: the quotes are each field's.
  using V = std::vector<std::wstring>;
  EXPECT_EQ((V{L"Disk", L"", L"", L""}), SplitInfValue(L"\"Disk\",,,\"\""));
  EXPECT_EQ((V{L"Disk", L"tag", L"", L"\\drv"}), SplitInfValue(L"\"Disk\", tag ,,\"\\drv\""));
  EXPECT_EQ((V{L"a,b", L" say \"hi\" ", L"x y"}),
            SplitInfValue(L" \"a,b\" ,\" say \"\"hi\"\" \",\tx y "));
  EXPECT_EQ((V{L"1", L"sub"}), SplitInfValue(L"\"1\",\"sub\""));
  EXPECT_EQ((V{L"a", L"b,\"c,d\""}), SplitInfValue(L"a,b,\"c,d\"", 2, true));
  EXPECT_EQ((V{L" \"a,b\" ", L""}), SplitInfValue(L" \"a,b\" ,", (size_t)-1, true));
}

TEST(TextOps, JoinInfLinesAsWindowsReadsThem) {
  using V = std::vector<std::wstring>;
  // The lines as a string list, the way the section reader gives them.
  auto join = [](const V& lines) {
    std::wstring list;
    for (const std::wstring& l : lines) list += l + L'\0';
    list += L'\0';
    return JoinInfLines(list.c_str());
  };
  // A line ending in a backslash runs on into the next, on any line of the
  // section; a continued last line only loses its backslash.
  EXPECT_EQ((V{L"abc", L"d", L"e,f"}), join({L"a\\", L"b\\", L"c", L"d", L"e,\\", L"f"}));
  EXPECT_EQ((V{L"x"}), join({L"x\\"}));
  // Comments go; a backslash before one continues, one inside it does not.
  EXPECT_EQ((V{L"k = \"dir\\\",f", L"\"g ; \\\"", L"h"}),
            join({L"k = \"dir\\\"\\ ; note", L",f ; x\\", L"\"g ; \\\" ; y\\", L"h"}));
  // Of two backslashes the last continues; one inside an open quote does
  // not; a line that is only a comment after joining is gone.
  EXPECT_EQ((V{L"C:\\dir\\,f", L"\"open\\", L"next"}),
            join({L"C:\\dir\\\\", L",f", L"\"open\\", L"next", L"\\ ; only"}));
  EXPECT_TRUE(JoinInfLines(nullptr).empty());
}

// %name% is what the operation reading the INF defines (its strings, the
// directory ids), "%%" the INF's own "%": nothing of the host's environment.
TEST(TextOps, InfReferencesAreTheOperationsOwn) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"VRO_TEST_VAR", L"host"));
  {
    CProcessEnvironment lease;
    lease.Define(L"Name", L"v");
    lease.Define(L"11", L"C:\\Windows\\System32");
    lease.Define(L"Quote", L"a \"q\"");
    lease.Define(L"Semi", L"a;b");
    EXPECT_EQ(L"C:\\Windows\\System32\\x.sys", SubstituteInfReferences(L"%11%\\x.sys"));
    EXPECT_EQ(L"v-v", SubstituteInfReferences(L"%name%-%NAME%"));
    EXPECT_EQ(L"%%SystemRoot%%\\x %%v%%", SubstituteInfReferences(L"%%SystemRoot%%\\x %%%Name%%%"));
    EXPECT_EQ(L"50% of v", SubstituteInfReferences(L"50% of %Name%"));
    EXPECT_EQ(L"%NoSuch%Name%", SubstituteInfReferences(L"%NoSuch%Name%"));
    EXPECT_EQ(L"%VRO_TEST_VAR%\\%TEMP%", SubstituteInfReferences(L"%VRO_TEST_VAR%\\%TEMP%"));
    EXPECT_EQ(L"", FindUndefinedInfReference(L"%%TEMP%% %11% 50% of %Name% 100%"));
    EXPECT_EQ(L"%NoSuch%", FindUndefinedInfReference(L"a %NoSuch% %TEMP%"));
    EXPECT_EQ(L"%VRO_TEST_VAR%", FindUndefinedInfReference(L"%%x %VRO_TEST_VAR%"));
    // Substituted into a line that is read again: quoted where it must be.
    EXPECT_EQ(L"\"a \"\"q\"\"\",\"a;b\",v", ExpandInfStrings(L"\"%Quote%\",%Semi%,%Name%"));
    EXPECT_EQ(L"%%TEMP%%", ExpandInfStrings(L"%%TEMP%%"));
    // A lease within it sees both; the outer one alone after it ends.
    {
      CProcessEnvironment inner;
      inner.Define(L"Name", L"inner");
      EXPECT_EQ(L"inner C:\\Windows\\System32", SubstituteInfReferences(L"%Name% %11%"));
    }
    EXPECT_EQ(L"v", SubstituteInfReferences(L"%Name%"));
  }
  EXPECT_EQ(L"%Name%", SubstituteInfReferences(L"%Name%"));
  SetEnvironmentVariableW(L"VRO_TEST_VAR", nullptr);
}

TEST(TextOps, CompareGreaterNoCase) {
  EXPECT_EQ(1, CompareGreaterNoCase(L"b", L"A"));
  EXPECT_EQ(0, CompareGreaterNoCase(L"a", L"A"));
  EXPECT_EQ(0, CompareGreaterNoCase(L"A", L"b"));
}

TEST(RegText, EscapeRegStringNeverSplitsAPair) {
  wchar_t out[32];
  EXPECT_EQ(10, EscapeRegString(L"a\\b\"c\"d", out, 32));
  EXPECT_STREQ(L"a\\\\b\\\"c\\\"d", out);
  wchar_t small[3];
  EXPECT_EQ(4, EscapeRegString(L"a\\b", small, 3));
  EXPECT_STREQ(L"a", small);  // not "a\" : that would continue the line
}

TEST(RegText, FormatRegHexString) {
  std::wstring out;
  EXPECT_EQ(18u, FormatRegHexString(out, 8192, L"A", 1, 1));
  EXPECT_EQ(L"hex(1):41,00,00,00", out);
  FormatRegHexString(out, 8192, L"\x4E2D", 1, 2);
  EXPECT_EQ(L"hex(2):2d,4e,00,00", out);
  FormatRegHexString(out, 8192, L"a\0b\0", 4, 7);
  EXPECT_EQ(L"hex(7):61,00,00,00,62,00,00,00", out);
  FormatRegHexString(out, 8192, L"", 0, 7);
  EXPECT_EQ(L"hex(7):", out);
  // The type is read back as hexadecimal: 11 (REG_QWORD) is "b", 0x20 "20".
  FormatRegHexString(out, 8192, L"A", 1, 11);
  EXPECT_EQ(L"hex(b):41,00,00,00", out);
  FormatRegHexString(out, 8192, L"A", 1, 0x20);
  EXPECT_EQ(L"hex(20):41,00,00,00", out);
  // Bytes of any type: its number in hexadecimal, as the importer reads it.
  const uint8_t bytes[] = {0x01, 0xa0, 0xff};
  EXPECT_EQ(L"hex:01,a0,ff", FormatRegHexBytes(3, bytes, 3));
  EXPECT_EQ(L"hex(b):01,a0", FormatRegHexBytes(11, bytes, 2));
  EXPECT_EQ(L"hex(0):", FormatRegHexBytes(0, bytes, 0));
}

TEST(RegText, LongHexDataContinuesOnNextLines) {
  std::wstring data(5000, L'z');
  std::wstring out;
  FormatRegHexString(out, 8192, data.c_str(), data.size(), 1);
  size_t pairs = 0, lines = 1, pos = 0, maxLine = 0, lineStart = 0;
  for (; pos < out.size(); ++pos) {
    if (out.compare(pos, 6, L"7a,00,") == 0) ++pairs;
    if (out[pos] == L'\n') {
      ++lines;
      maxLine = std::max(maxLine, pos - lineStart - 1);
      EXPECT_EQ(L'\\', out[pos - 2]);
      EXPECT_EQ(L"  ", out.substr(pos + 1, 2));
      lineStart = pos + 1;
    }
  }
  EXPECT_EQ(5000u, pairs) << "no data may be cut";
  EXPECT_EQ(4u, lines);
  EXPECT_LE(maxLine, 8192u);
  EXPECT_EQ(L"7a,00,00,00", out.substr(out.size() - 11));
}

TEST(RegText, FormatRegMultiSzHexBuildsAList) {
  std::wstring line = L"hex(7):";
  FormatRegMultiSzHex(line, L"a\0\0", 3);
  EXPECT_EQ(L"hex(7):61,00,00,00,00,00", line);
  EXPECT_EQ(line.size(), FormatRegMultiSzHex(line, L"b\0\0", 3));
  EXPECT_EQ(L"hex(7):61,00,00,00,62,00,00,00,00,00", line);
}

TEST(RegText, MultiSzAppendSeesThroughAContinuation) {
  // A list whose closing NUL went onto a continuation line.
  std::wstring line = L"hex(7):61,00,00,00,\\\r\n  00,00";
  FormatRegMultiSzHex(line, L"b\0\0", 3);
  EXPECT_EQ(L"hex(7):61,00,00,00,62,00,00,00,00,00", line);
  // Long entries wrap instead of being cut.
  std::wstring big(3000, L'q');
  big.append(2, L'\0');
  line = L"hex(7):";
  FormatRegMultiSzHex(line, big.c_str(), big.size());
  FormatRegMultiSzHex(line, big.c_str(), big.size());
  size_t pairs = 0;
  for (size_t p = line.find(L"71,00,"); p != std::wstring::npos; p = line.find(L"71,00,", p + 1))
    ++pairs;
  EXPECT_EQ(6000u, pairs);
  EXPECT_EQ(L"71,00,00,00,00,00", line.substr(line.size() - 17));
}
