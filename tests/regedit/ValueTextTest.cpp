// The value list's texts: type names and icons, the data column of every
// type with short, odd and over-long data, and the name order.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "regedit/ValueText.h"

namespace {

std::wstring Data(uint32_t type, std::vector<uint8_t> bytes) {
  wchar_t out[360];
  FormatValueData(type, bytes.data(), (uint32_t)bytes.size(), out, 360);
  return out;
}

std::wstring TypeName(uint32_t type) {
  wchar_t out[40];
  FormatValueTypeName(type, out, 40);
  return out;
}

TEST(ValueTextTest, TypeNamesAndIcons) {
  EXPECT_EQ(L"REG_NONE", TypeName(0));
  EXPECT_EQ(L"REG_RESOURCE_REQUIREMENTS_LIST", TypeName(10));
  EXPECT_EQ(L"REG_QWORD", TypeName(11));
  EXPECT_EQ(L"0x0000000c", TypeName(12));
  EXPECT_EQ(L"0xffff0001", TypeName(0xFFFF0001));
  for (uint32_t t : {0u, 1u, 2u, 6u, 7u}) EXPECT_EQ(VALUE_IMAGE_STRING, ValueTypeImage(t)) << t;
  for (uint32_t t : {3u, 4u, 5u, 8u, 9u, 10u, 11u, 12u, 0x80000000u})
    EXPECT_EQ(VALUE_IMAGE_BINARY, ValueTypeImage(t)) << t;
}

TEST(ValueTextTest, Numbers) {
  EXPECT_EQ(L"0x00000100 (256)", Data(REG_DWORD_BIG_ENDIAN, {0, 0, 1, 0}));
  EXPECT_EQ(L"0x00010000 (65536)", Data(REG_DWORD, {0, 0, 1, 0}));
  EXPECT_EQ(L"0xffffffff (4294967295)", Data(REG_QWORD, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
  EXPECT_EQ(L"0x100000000 (4294967296)", Data(REG_QWORD, {0, 0, 0, 0, 1, 0, 0, 0}));
  // Shorter than the type: only the stored bytes count.
  EXPECT_EQ(L"0x00000201 (513)", Data(REG_DWORD, {1, 2}));
  EXPECT_EQ(L"0x01020000 (16908288)", Data(REG_DWORD_BIG_ENDIAN, {1, 2}));
  EXPECT_EQ(L"0x100000000 (4294967296)", Data(REG_QWORD, {0, 0, 0, 0, 1}));
  EXPECT_EQ(L"0x00000000 (0)", Data(REG_DWORD, {}));
}

TEST(ValueTextTest, Strings) {
  EXPECT_EQ(L"ab", Data(REG_SZ, {'a', 0, 'b', 0, 0, 0, 'c', 0}));
  EXPECT_EQ(L"ab", Data(REG_EXPAND_SZ, {'a', 0, 'b', 0, 'c'}))
      << "odd length: the half unit is left out";
  EXPECT_EQ(L"abc", Data(REG_SZ, {'a', 0, 'b', 0, 'c', 0})) << "no terminator";
  EXPECT_EQ(L"a b ", Data(REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
  EXPECT_EQ(L"a b", Data(REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0}));
  EXPECT_EQ(L"", Data(REG_SZ, {}));
  // A huge multi-string stops at the end of the text buffer.
  std::vector<uint8_t> huge(200000, 0);
  for (size_t i = 0; i < huge.size(); i += 4) huge[i] = 'x';
  std::wstring shown = Data(REG_MULTI_SZ, huge);
  EXPECT_EQ(359u, shown.size());
  EXPECT_EQ(L"x x ", shown.substr(0, 4));
}

TEST(ValueTextTest, BinaryGroups) {
  std::vector<uint8_t> forty(40);
  for (int i = 0; i < 40; ++i) forty[i] = (uint8_t)(0xA0 + i);
  std::wstring shown = Data(REG_BINARY, forty);
  EXPECT_EQ(32u * 3, shown.size()) << "exactly 32 groups";
  EXPECT_EQ(L"a0 a1 ", shown.substr(0, 6));
  EXPECT_EQ(L"bf ", shown.substr(93));
  EXPECT_EQ(L"", Data(REG_BINARY, {}));
  EXPECT_EQ(L"01 ", Data(0x1234, {1}));
  wchar_t small[8];
  FormatValueData(REG_BINARY, forty.data(), 40, small, 8);
  EXPECT_STREQ(L"a0 a1 ", small) << "groups end where the buffer does";
}

TEST(ValueTextTest, NameOrder) {
  EXPECT_EQ(0, CompareNamesAsciiNoCase(L"Select", L"SELECT"));
  EXPECT_LT(CompareNamesAsciiNoCase(L"Sel", L"select"), 0);
  EXPECT_GT(CompareNamesAsciiNoCase(L"b", L"A"), 0);
  // '_' (0x5F) sorts after the upper-case letters, as hives store names.
  EXPECT_GT(CompareNamesAsciiNoCase(L"_x", L"z"), 0);
  // Only ASCII letters are folded.
  EXPECT_NE(0, CompareNamesAsciiNoCase(L"\u00e9", L"\u00c9"));
}

}  // namespace
