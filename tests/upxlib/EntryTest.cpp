// unpack_one_file and its Win32 result numbers on files that
// are not packed.
#include <windows.h>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "UpxTestUtil.h"
#include "upxlib/upxlib.h"

static std::wstring Fixture(const char* name) {
  return vt::ToWin(std::string(UPX_FIXTURES_UNIX) + "/" + name);
}

class UpxEntry : public ::testing::Test {
 protected:
  void SetUp() override { dir = vt::ScratchDir(); }
  std::wstring Out() { return dir + L"\\out.exe"; }
  std::wstring dir;
};

TEST_F(UpxEntry, NotPackedProgramsGive87AndAnEmptyOutput) {
  for (const char* name : {"hello32.exe", "hello64.exe", "prog32.exe", "prog64.exe",
                           "testdll32.dll", "testdll64.dll"}) {
    std::wstring out = dir + L"\\" + vt::Widen(name) + L".out";
    EXPECT_EQ(87, unpack_one_file(Fixture(name).c_str(), out.c_str())) << name;
    std::vector<uint8_t> d;
    ASSERT_TRUE(vt::ReadAll(out, d)) << name;
    EXPECT_EQ(0u, d.size()) << name;
  }
}

TEST_F(UpxEntry, TextEmptyAndMissingFiles) {
  std::wstring text = dir + L"\\notes.txt";
  ASSERT_TRUE(vt::WriteAll(text, std::string(5000, 'x').data(), 5000));
  EXPECT_EQ(87, unpack_one_file(text.c_str(), Out().c_str()));
  std::wstring empty = dir + L"\\empty.exe";
  ASSERT_TRUE(vt::WriteAll(empty, "", 0));
  std::wstring out2 = dir + L"\\out2.exe";
  EXPECT_EQ(13, unpack_one_file(empty.c_str(), out2.c_str()));
  EXPECT_FALSE(vt::FileExists(out2));
  EXPECT_EQ(2, unpack_one_file((dir + L"\\missing.exe").c_str(), out2.c_str()));
  EXPECT_EQ(2, unpack_one_file(dir.c_str(), out2.c_str()));  // a folder
  EXPECT_FALSE(vt::FileExists(out2));
  // a short file: every handler reads past its end, none raises further
  std::wstring tiny = dir + L"\\tiny.exe";
  ASSERT_TRUE(vt::WriteAll(tiny, "MZ", 2));
  EXPECT_EQ(87, unpack_one_file(tiny.c_str(), (dir + L"\\out3.exe").c_str()));
}

TEST_F(UpxEntry, ExistingOutputGives80) {
  ASSERT_TRUE(vt::WriteAll(Out(), "old", 3));
  EXPECT_EQ(80, unpack_one_file(Fixture("hello32.exe").c_str(), Out().c_str()));
  std::vector<uint8_t> d;
  ASSERT_TRUE(vt::ReadAll(Out(), d));
  EXPECT_EQ("old", std::string(d.begin(), d.end()));
  EXPECT_EQ(11, unpack_one_file(Fixture("hello32.exe").c_str(),
                                (dir + L"\\no\\such\\dir\\x.exe").c_str()));
}

TEST_F(UpxEntry, ReadOnlyInputIsAccepted) {
  // The library only reads its input: a read-only file is opened for
  // reading like any other (no result 5 for the read-only attribute).
  std::wstring ro = dir + L"\\ro.exe";
  std::vector<uint8_t> d;
  ASSERT_TRUE(vt::ReadAll(Fixture("hello32.exe"), d));
  ASSERT_TRUE(vt::WriteAll(ro, d));
  ASSERT_TRUE(SetFileAttributesW(ro.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(87, unpack_one_file(ro.c_str(), Out().c_str()));  // read, found not packed
  SetFileAttributesW(ro.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(UpxEntry, SizeLimit) {
  std::string big = vt::ToUnix(dir) + "/big.exe";
  ASSERT_EQ(0, vt::Sh("truncate -s 1073741824 " + vt::Q(big)));
  EXPECT_EQ(223, unpack_one_file(vt::ToWin(big).c_str(), Out().c_str()));
  EXPECT_FALSE(vt::FileExists(Out()));
  ASSERT_EQ(0, vt::Sh("truncate -s 1073741823 " + vt::Q(big)));
  EXPECT_EQ(87, unpack_one_file(vt::ToWin(big).c_str(), Out().c_str()));  // passes the size check
  vt::Sh("rm -f " + vt::Q(big));
}
