// String lists and shell item-id lists.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/ItemIdList.h"
#include "common/MultiSz.h"

namespace {
std::wstring L0(const wchar_t* s, size_t n) {
  return std::wstring(s, n);
}
}  // namespace

TEST(MultiSz, BuildAndSearch) {
  std::wstring list;
  MultiSzAppend(nullptr, list, L"Alpha");
  EXPECT_EQ(L0(L"Alpha\0\0", 7), list);
  MultiSzAppend(list.c_str(), list, L"beta");
  MultiSzAppend(list.c_str(), list, L"Gamma");
  EXPECT_EQ(L0(L"Alpha\0beta\0Gamma\0\0", 18), list);
  EXPECT_EQ(18u, MultiSzLength(list.c_str()));
  EXPECT_EQ(0u, MultiSzLength(L"\0"));
  EXPECT_EQ(0u, MultiSzLength(nullptr));

  EXPECT_EQ(0, MultiSzFindEntry(list.c_str(), L"ALPHA"));
  EXPECT_EQ(2, MultiSzFindEntry(list.c_str(), L"gamma"));
  EXPECT_EQ(-1, MultiSzFindEntry(list.c_str(), L"gam"));
  EXPECT_EQ(-1, MultiSzFindEntry(L"\0", L"x"));

  EXPECT_EQ(0, MultiSzContainsText(list.c_str(), L"AMM"));
  EXPECT_EQ(-1, MultiSzContainsText(list.c_str(), L"delta"));
  EXPECT_EQ(-1, MultiSzContainsText(L"\0", L"x"));
}

TEST(MultiSz, RemoveMatching) {
  const wchar_t list[] = L"pci\\ven_1\0usb\\x\0PCI\\ven_2\0\0";
  std::wstring out;
  MultiSzRemoveMatching(list, out, L"pci");
  EXPECT_EQ(L0(L"usb\\x\0\0", 7), out);
  MultiSzRemoveMatching(list, out, L"\\");
  EXPECT_EQ(L0(L"\0\0", 2), out);
}

TEST(ItemIdList, WalkSizeAndClone) {
  const BYTE raw[] = {4, 0, 'a', 'b', 3, 0, 'c', 5, 0, 1, 2, 3, 0, 0};
  auto list = reinterpret_cast<LPCITEMIDLIST>(raw);
  EXPECT_EQ(12u, ItemIdListSize(list));
  EXPECT_EQ(reinterpret_cast<const BYTE*>(raw + 7),
            reinterpret_cast<const BYTE*>(ItemIdListLast(list)));
  LPITEMIDLIST copy = ItemIdListClone(list);
  ASSERT_NE(nullptr, copy);
  EXPECT_EQ(0, memcmp(copy, raw, sizeof raw));
  CoTaskMemFree(copy);
  const BYTE empty[] = {0, 0};
  auto none = reinterpret_cast<LPCITEMIDLIST>(empty);
  EXPECT_EQ(0u, ItemIdListSize(none));
  EXPECT_EQ(none, ItemIdListLast(none));
  EXPECT_EQ(nullptr, ItemIdListClone(nullptr));
}
