// Path parts, path kinds, PE machine class and version numbers.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "TestSupport.h"
#include "common/PathUtil.h"

TEST(PathUtil, PathParts) {
  wchar_t out[kPathChars];
  CopyParentPath(L"C:\\a/b\\c.txt", out);
  EXPECT_STREQ(L"C:\\a/b", out);
  CopyParentPath(L"plain", out);
  EXPECT_STREQ(L"", out);
  CopyParentPath(L"C:\\abcdef\\x", out, 5);
  EXPECT_STREQ(L"C:\\a", out);

  EXPECT_STREQ(L"c.txt", FindFileNamePart(L"C:\\a/b/c.txt"));
  EXPECT_STREQ(L"name", FindFileNamePart(L"name"));
  EXPECT_STREQ(L"", FindExtensionPart(L"C:\\a.b\\file"));
  EXPECT_STREQ(L"gz", FindExtensionPart(L"C:\\a\\f.tar.gz"));

  wchar_t cut[] = L"C:\\dir\\file";
  EXPECT_STREQ(L"file", CutFileNamePart(cut));
  EXPECT_STREQ(L"C:\\dir", cut);
  wchar_t root[] = L"\\file";
  EXPECT_EQ(nullptr, CutFileNamePart(root));
  EXPECT_STREQ(L"\\file", root);
}

// Names that Windows would resolve outside their folder are not plain,
// however they are spelled.
TEST(PathUtil, PlainNamesStayInTheirFolder) {
  for (const wchar_t* name : {L"vronic.sys", L"a..b", L".hidden", L"x y"})
    EXPECT_TRUE(IsPlainName(name)) << vt::Narrow(name);
  for (const wchar_t* name :
       {L"", L".", L"..", L".. ", L"...", L". .", L"a\\b", L"a/b", L"C:x", L"f:stream", L"a.sys.",
        L"a.sys ", L"a.sys. ."})
    EXPECT_FALSE(IsPlainName(name)) << vt::Narrow(name);
  EXPECT_TRUE(IsContainedPath(L"sub\\x.sys"));
  EXPECT_FALSE(IsContainedPath(L"sub\\.. \\x.sys"));
  // The canonical name below a folder, every spelling that leaves it refused.
  EXPECT_EQ(L"x.sys", ContainedFileName(L"x.sys"));
  EXPECT_EQ(L"sub\\x.sys", ContainedFileName(L"sub/./x.sys"));
  EXPECT_EQ(L"x.sys", ContainedFileName(L"sub\\..\\x.sys"));
  for (const wchar_t* name :
       {L"", L"..\\x.sys", L"../x.sys", L"sub\\..\\..\\x.sys", L"\\x.sys", L"/x.sys",
        L"C:\\x.sys", L"C:x.sys", L"\\\\host\\share\\x.sys", L"\\\\?\\C:\\x.sys",
        L"x.sys:ads", L"sub\\\\x.sys", L"sub\\", L"sub\\.. \\x.sys", L"...\\x.sys", L"."})
    EXPECT_EQ(L"", ContainedFileName(name)) << vt::Narrow(name);
}

TEST(PathUtil, AppendPathPart) {
  wchar_t p[kPathChars] = L"C:\\dir";
  AppendPathPart(p, kPathChars, L"\\file");
  EXPECT_STREQ(L"C:\\dir\\file", p);
  wcscpy(p, L"C:\\dir\\");
  AppendPathPart(p, kPathChars, L"file");
  EXPECT_STREQ(L"C:\\dir\\file", p);
  wcscpy(p, L"C:/dir/");
  AppendPathPart(p, kPathChars, L"/file");
  EXPECT_STREQ(L"C:/dir/file", p);
  p[0] = 0;
  AppendPathPart(p, kPathChars, L"file");
  EXPECT_STREQ(L"file", p);
  wchar_t small[8] = L"C:\\d";
  AppendPathPart(small, 8, L"longname");
  EXPECT_STREQ(L"C:\\d\\lo", small);
}

TEST(PathUtil, PathKindsAndSizes) {
  std::wstring dir = vt::ScratchDir();
  std::wstring file = dir + L"\\f.bin";
  ASSERT_TRUE(vt::WriteAll(file, "12345", 5));
  EXPECT_EQ(2, GetPathKind(dir.c_str()));
  EXPECT_EQ(1, GetPathKind(file.c_str()));
  EXPECT_EQ(0, GetPathKind((dir + L"\\missing").c_str()));
  EXPECT_EQ(0, GetPathKind((dir + L"\\*").c_str()));
  EXPECT_EQ(3, GetPathKind(L"C:"));
  EXPECT_EQ(3, GetPathKind(L"c:\\"));
  // Find a letter that names no drive.
  DWORD drives = GetLogicalDrives();
  for (int i = 25; i >= 2; --i) {
    if (drives & (1u << i)) continue;
    wchar_t none[3] = {static_cast<wchar_t>(L'A' + i), L':', 0};
    EXPECT_EQ(0, GetPathKind(none)) << vt::Narrow(none);
    break;
  }
  EXPECT_EQ(5u, GetFileSizeByName(file.c_str()));
  EXPECT_EQ(0u, GetFileSizeByName((dir + L"\\missing").c_str()));
}

TEST(PathUtil, PeMachineClass) {
  std::wstring dir = vt::ScratchDir();
  auto pe = [&](const wchar_t* name, uint16_t machine, size_t size) {
    std::vector<uint8_t> b(size, 0);
    if (size >= 2) b[0] = 'M', b[1] = 'Z';
    if (size >= 64) b[0x3C] = 0x80;
    if (size >= 0x86) {
      memcpy(&b[0x80], "PE\0\0", 4);
      b[0x84] = machine & 0xFF;
      b[0x85] = machine >> 8;
    }
    std::wstring path = dir + L"\\" + name;
    vt::WriteAll(path, b);
    return GetPeMachineClass(path.c_str());
  };
  EXPECT_EQ(1, pe(L"a64.exe", 0x8664, 0x200));
  EXPECT_EQ(0, pe(L"x86.exe", 0x14C, 0x200));
  EXPECT_EQ(-1, pe(L"arm.exe", 0xAA64, 0x200));
  EXPECT_EQ(-1, pe(L"short.exe", 0x8664, 0x84));  // headers cut short
  EXPECT_EQ(-1, pe(L"tiny.exe", 0, 10));
  EXPECT_EQ(-1, GetPeMachineClass((dir + L"\\missing.exe").c_str()));
  // Our own test program is a PE file of the build's width.
  wchar_t self[kPathChars];
  GetModuleFileNameW(nullptr, self, kPathChars);
  EXPECT_EQ(sizeof(void*) == 8 ? 1 : 0, GetPeMachineClass(self));
}

TEST(PathUtil, ParseVersionString) {
  EXPECT_EQ(0x0001000200030004ull, ParseVersionString(L"1.2.3.4"));
  EXPECT_EQ(0x0006000117B04001ull, ParseVersionString(L"6.1.6064.16385"));
  EXPECT_EQ(0xFFFF000000000000ull, ParseVersionString(L"65535.0.0.0"));
  EXPECT_EQ(0x0001000200030000ull, ParseVersionString(L"1.2.3"));
  EXPECT_EQ(ParseVersionString(L"1.2.3.0"), ParseVersionString(L"1.2.3"));
  EXPECT_EQ(0x000A000000000000ull, ParseVersionString(L"10."));
  EXPECT_EQ(0ull, ParseVersionString(L"7"));
  EXPECT_EQ(0ull, ParseVersionString(L""));
  EXPECT_EQ(0x0001000200030004ull, ParseVersionString(L"1.2.3.4.5"));
  EXPECT_EQ(0x0001000200030004ull, ParseVersionString(L" 1.2.3.4"));
  EXPECT_LT(ParseVersionString(L"5.9.99.1"), ParseVersionString(L"5.10.0.0"));
}
