// Large hives stay fast: no step may be quadratic in the number of keys.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "HiveTestUtil.h"
#include "registry/hive/HiveOps.h"
#include "registry/hive/RegFile.h"

TEST(HivePerf, TensOfThousandsOfKeysUnderOneParentAndAManyMegabyteHive) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t root = hive_root_key(img);
  DWORD t0 = GetTickCount();
  // 70000 siblings in random order (as a CLSID key gets them): more than one
  // list can count, so they go into lists under an "ri"
  uint32_t clsid = add_key(img, root, L"CLSID");
  std::vector<int> order(70000);
  for (int i = 0; i < 70000; i++) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(5));
  for (int i : order) {
    wchar_t n[48];
    _snwprintf(n, 48, L"{%08X-1234-5678-9ABC-DEF012345678}", i * 2654435761u);
    uint32_t k = add_key(img, clsid, n);
    ASSERT_NE(0u, k);
    clsid = find_key(img, 0, L"CLSID");
    add_value(img, k, L"", 1);
    put_data_to_value(img, n, 80, k, L"", 0);
  }
  EXPECT_EQ(70000u, key_subkey_count(img, clsid));
  uint32_t idx = read_le32(img->buffer + clsid + 0x1C) + 0x1000;
  EXPECT_EQ(0, memcmp(img->buffer + idx + 4, "ri", 2));
  DWORD t1 = GetTickCount();
  // 100000 more keys in a deep tree, with values
  for (int a = 0; a < 1000; a++) {
    wchar_t n[32];
    _snwprintf(n, 32, L"Tree%04d", a);
    uint32_t k = add_key(img, root, n);
    for (int b = 0; b < 100; b++) {
      _snwprintf(n, 32, L"Leaf%03d", b);
      uint32_t c = add_key(img, k, n);
      add_value(img, c, L"Value", 3);
      put_data_to_value(img, n, 64 + b, c, L"Value", 0);
    }
  }
  DWORD t2 = GetTickCount();
  std::vector<uint8_t> bytes;
  save_hive_buffer(img, bytes);
  close_hive(img);
  img = ht::Load(bytes);
  ASSERT_TRUE(img);
  uint32_t keys = 0;
  std::vector<uint32_t> stack{hive_root_key(img)};
  while (!stack.empty()) {
    uint32_t k = stack.back();
    stack.pop_back();
    keys++;
    uint32_t li = 0, slot = 0;
    HiveSubkey sk;
    while (next_subkey(img, k, &li, &slot, &sk) == 1) stack.push_back(sk.cell + 4);
  }
  EXPECT_EQ(1u + 1 + 70000 + 1000 + 100000, keys);
  DWORD t3 = GetTickCount();
  std::wstring text;
  ASSERT_EQ(0u, export_key_text(img, 0, L"HKEY_LOCAL_MACHINE\\SOFTWARE", L"", true, false, text));
  DWORD t3a = GetTickCount();
  HiveImage* copy = ht::Load(ht::EmptyHive());
  ASSERT_EQ(0, import_reg_text(copy, text, L"HKEY_LOCAL_MACHINE\\SOFTWARE"));
  DWORD t3b = GetTickCount();
  EXPECT_EQ(key_subkey_count(img, hive_root_key(img)), key_subkey_count(copy, hive_root_key(copy)));
  close_hive(copy);
  printf("export %u characters %lu ms, import %lu ms\n", (unsigned)text.size(), t3a - t3,
         t3b - t3a);
  text.clear();
  text.shrink_to_fit();
  t3 = GetTickCount();
  EXPECT_EQ(0, del_key_tree(img, L"CLSID", hive_root_key(img)));
  for (int a = 0; a < 1000; a += 2) {
    wchar_t n[32];
    _snwprintf(n, 32, L"Tree%04d", a);
    ASSERT_EQ(0, del_key_tree(img, n, hive_root_key(img)));
  }
  DWORD t4 = GetTickCount();
  printf("hive %u bytes: siblings %lu ms, tree %lu ms, save+load+walk %lu ms, delete %lu ms\n",
         (unsigned)bytes.size(), t1 - t0, t2 - t1, t3 - t2, t4 - t3);
  EXPECT_GT(bytes.size(), 15u << 20);
  EXPECT_LT(t4 - t0, 60000u);
  close_hive(img);
}
