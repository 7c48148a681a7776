// The whole-section reader and writer on fixtures made by Linux tools, in
// ANSI and in UTF-16 with a byte-order mark.
#include <windows.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "common/IniProfile.h"
#include "common/IniSection.h"
#include "common/PathUtil.h"

namespace {

// The entries of a string list (and "<null>" for no list); frees it.
std::vector<std::wstring> Take(wchar_t* list) {
  std::vector<std::wstring> v;
  if (!list) return {L"<null>"};
  for (const wchar_t* e = list; *e; e += wcslen(e) + 1) v.push_back(e);
  delete[] list;
  return v;
}

typedef std::vector<std::wstring> Lines;

// Writes `text` (printf escapes allowed) to a file in the scratch folder as
// ANSI, or as UTF-16LE with a mark through iconv.
std::wstring MakeIni(const std::string& name, const std::string& text, bool utf16) {
  std::string path = vt::ScratchDirUnix() + "/" + name;
  std::string cmd = "printf %b " + vt::Q(text);
  if (utf16) cmd = "{ printf '\\377\\376'; " + cmd + " | iconv -f UTF-8 -t UTF-16LE; }";
  EXPECT_EQ(0, vt::Sh(cmd + " >" + vt::Q(path)));
  return vt::ToWin(path);
}

const char kSample[] =
    "; sample INF\r\n"
    "; the strings follow in [Strings] below\r\n"
    "[Version]\r\n"
    "Signature=\"$Windows NT$\"\r\n"
    "[Empty]\r\n"
    "[Models]\r\n"
    "a=1\r\n"
    "   ; indented comment\r\n"
    "\r\n"
    "   \r\n"
    "\t b = 2 \t\r\n"
    "[strings]\r\n"
    "Name=\"\xE4\xB8\xAD\"\r\n"
    "Last = end\r\n"
    "\r\n"
    "\r\n";

}  // namespace

class IniSectionBoth : public ::testing::TestWithParam<bool> {};

TEST_P(IniSectionBoth, ReadsSectionsByFoldedName) {
  bool utf16 = GetParam();
  std::wstring f = MakeIni("s.inf", kSample, utf16);
  // Read as it stands, and held (read once, its headers found once): the
  // same sections.
  for (bool held : {false, true}) {
    SCOPED_TRACE(held ? "held" : "read each time");
    std::unique_ptr<CIniReadHold> hold(held ? new CIniReadHold(f.c_str()) : nullptr);
    EXPECT_EQ((Lines{L"a=1", L"b = 2"}), Take(ReadIniSection(f.c_str(), L"Models")));
    EXPECT_EQ((Lines{L"Signature=\"$Windows NT$\""}),
              Take(ReadIniSection(f.c_str(), L"VERSION")));
    // The header named in the comment is not the section; the last section
    // ends at the end of the file without its blank lines.
    Lines strings = Take(ReadIniSection(f.c_str(), L"Strings"));
    ASSERT_EQ(2u, strings.size());
    if (utf16) {
      EXPECT_EQ(L"Name=\"\x4E2D\"", strings[0]);
    }
    EXPECT_EQ(L"Last = end", strings[1]);
    EXPECT_EQ(Lines{L"<null>"}, Take(ReadIniSection(f.c_str(), L"Empty")));
    EXPECT_EQ(Lines{L"<null>"}, Take(ReadIniSection(f.c_str(), L"Missing")));
    EXPECT_EQ(Lines{L"<null>"}, Take(ReadIniSection(f.c_str(), L"Model")));
    EXPECT_EQ(Lines{L"<null>"}, Take(ReadIniSection((f + L".none").c_str(), L"Models")));
  }
}

INSTANTIATE_TEST_SUITE_P(AnsiAndUtf16, IniSectionBoth, ::testing::Values(false, true));

// The section of a file, read as it stands or held (read once).
Lines ReadOnce(const std::wstring& file, const wchar_t* section, bool held) {
  std::unique_ptr<CIniReadHold> hold(held ? new CIniReadHold(file.c_str()) : nullptr);
  return Take(ReadIniSection(file.c_str(), section));
}

TEST(IniSection, EdgeFiles) {
  for (bool held : {false, true}) {
    SCOPED_TRACE(held ? "held" : "read each time");
    // UTF-16 without a mark is read as ANSI text: the header is not found.
    std::string path = vt::ScratchDirUnix() + "/nomark.inf";
    ASSERT_EQ(0, vt::Sh("printf '[A]\\r\\nx=1\\r\\n' | iconv -t UTF-16LE >" + vt::Q(path)));
    EXPECT_EQ(Lines{L"<null>"}, ReadOnce(vt::ToWin(path), L"A", held));
    // Empty file; header at the very end; LF-only lines; a UTF-8 mark.
    EXPECT_EQ(Lines{L"<null>"}, ReadOnce(MakeIni("e.ini", "", false), L"A", held));
    EXPECT_EQ(Lines{L"<null>"}, ReadOnce(MakeIni("h.ini", "x\n[A]", false), L"A", held));
    EXPECT_EQ((Lines{L"k=v", L"z"}),
              ReadOnce(MakeIni("lf.ini", "[A]\nk=v\nz\n[B]\n", false), L"A", held));
    EXPECT_EQ((Lines{L"k=v"}),
              ReadOnce(MakeIni("bom8.ini", "\xEF\xBB\xBF[A]\r\nk=v\r\n", false), L"A", held));
    // Text after the header on its line is not a section line.
    EXPECT_EQ((Lines{L"k=v"}), ReadOnce(MakeIni("tail.ini", "  [A] ; c\r\nk=v", false), L"A", held));
    // One section under two headers, the second indented: its lines are
    // one section, and the indented header does not end the one before it.
    for (bool utf16 : {false, true}) {
      const std::wstring split =
          MakeIni("split.inf", "[A]\r\nx=1\r\n[B]\r\ny\r\n  [a]\r\nz=2\r\n", utf16);
      EXPECT_EQ((Lines{L"x=1", L"z=2"}), ReadOnce(split, L"A", held));
      EXPECT_EQ((Lines{L"y", L"[a]", L"z=2"}), ReadOnce(split, L"B", held));
    }
  }
}

TEST(IniSection, ReadsAMultiMegabyteFile) {
  std::string path = vt::ScratchDirUnix() + "/big.inf";
  ASSERT_EQ(0, vt::Sh("awk 'BEGIN { print \"[Big]\"; for (i = 1; i <= 120000; i++)"
                      " printf \"HW%d=PCI\\\\VEN_8086&DEV_%d,install\\r\\n\", i, i;"
                      " printf \"[Tail]\\r\\nlast=1\\r\\n\" }' >" +
                      vt::Q(path)));
  std::wstring f = vt::ToWin(path);
  ASSERT_GT(GetFileSizeByName(f.c_str()), 3000000u);
  auto t0 = std::chrono::steady_clock::now();
  Lines big = Take(ReadIniSection(f.c_str(), L"Big"));
  Lines tail = Take(ReadIniSection(f.c_str(), L"tail"));
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  ASSERT_EQ(120000u, big.size());
  EXPECT_EQ(L"HW120000=PCI\\VEN_8086&DEV_120000,install", big.back());
  EXPECT_EQ(Lines{L"last=1"}, tail);
  EXPECT_LT(ms, 5000);
}

TEST(IniSection, WriterAppendsWithOneMark) {
  const std::wstring dir = vt::ScratchDir();
  std::wstring f = dir + L"\\w.ini";
  ASSERT_TRUE(CreateEmptyUnicodeFile(f.c_str()));
  EXPECT_EQ(1, WriteIniSection(f.c_str(), L"One", L"a=1\0b=\x4E2D\0"));
  EXPECT_EQ(1, WriteIniSection(f.c_str(), L"Two", L"c=3\0"));
  std::string out;
  ASSERT_EQ(0, vt::Sh("iconv -f UTF-16 -t UTF-8 " + vt::Q(vt::ToUnix(f)), &out));
  EXPECT_EQ("[One]\r\na=1\r\nb=\xE4\xB8\xAD\r\n[Two]\r\nc=3\r\n", out);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(vt::ReadAll(f, bytes));
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(0xFF, bytes[0]);
  EXPECT_EQ(0xFE, bytes[1]);
  for (size_t i = 2; i + 1 < bytes.size(); i += 2)
    EXPECT_FALSE(bytes[i] == 0xFF && bytes[i + 1] == 0xFE) << "second mark at " << i;
  EXPECT_EQ((Lines{L"a=1", L"b=\x4E2D"}), Take(ReadIniSection(f.c_str(), L"one")));

  // A new file gets its mark; an ANSI file is not mixed with UTF-16.
  std::wstring fresh = dir + L"\\new.ini";
  EXPECT_EQ(1, WriteIniSection(fresh.c_str(), L"S", L"\0"));
  EXPECT_EQ((Lines{L"<null>"}), Take(ReadIniSection(fresh.c_str(), L"S")));
  std::wstring ansi = dir + L"\\ansi.ini";
  ASSERT_TRUE(vt::WriteAll(ansi, "[A]\r\n", 5));
  EXPECT_EQ(0, WriteIniSection(ansi.c_str(), L"B", L"x\0"));
  EXPECT_EQ(5u, GetFileSizeByName(ansi.c_str()));
  // CreateEmptyUnicodeFile empties an existing file to the mark.
  ASSERT_TRUE(CreateEmptyUnicodeFile(f.c_str()));
  EXPECT_EQ(2u, GetFileSizeByName(f.c_str()));
}

TEST(IniProfile, KeyAndSectionNames) {
  std::wstring f = MakeIni("p.inf",
                           "[Manufacturer]\r\n%V%=Models,NTx86\r\nOther=M2\r\n"
                           "[Models]\r\n[Strings]\r\nV=x\r\n",
                           false);
  EXPECT_EQ((Lines{L"%V%", L"Other"}), Take(GetIniSectionKeys(L"Manufacturer", f.c_str())));
  EXPECT_EQ(Lines{L"<null>"}, Take(GetIniSectionKeys(L"Models", f.c_str())));
  EXPECT_EQ((Lines{L"Manufacturer", L"Models", L"Strings"}), Take(GetIniSectionNames(f.c_str())));
  EXPECT_EQ(Lines{}, Take(GetIniSectionNames((f + L".none").c_str())));
}

TEST(IniProfile, LongKeyListsAreNotCut) {
  // 8000 keys of 20 characters: a list far longer than the file's 64K start.
  std::string path = vt::ScratchDirUnix() + "/keys.ini";
  ASSERT_EQ(0, vt::Sh("{ echo '[K]'; seq -f 'key_%015.0f=1' 1 8000; } >" + vt::Q(path)));
  Lines keys = Take(GetIniSectionKeys(L"K", vt::ToWin(path).c_str()));
  ASSERT_EQ(8000u, keys.size());
  EXPECT_EQ(L"key_000000000008000", keys.back());
}
