// Key and value operations: path walk, sorted indexes, value data forms,
// rename and delete.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "HiveTestUtil.h"
#include "registry/hive/HiveNames.h"
#include "registry/hive/HiveOps.h"

namespace {

std::vector<std::wstring> Children(HiveImage* img, uint32_t key) {
  std::vector<std::wstring> names;
  uint32_t li = 0, slot = 0;
  HiveSubkey sk;
  int r;
  while ((r = next_subkey(img, key, &li, &slot, &sk)) == 1) names.push_back(sk.name);
  EXPECT_EQ(0, r);
  return names;
}

std::vector<uint8_t> Data(HiveImage* img, uint32_t key, const wchar_t* name) {
  RegValueBuf* b = copy_value_to_buf(img, nullptr, key, name, 0);
  if (!b) return {};
  std::vector<uint8_t> v(b->data, b->data + b->length);
  free(b);
  return v;
}

uint32_t VkField(HiveImage* img, uint32_t key, const wchar_t* name, uint32_t field) {
  uint32_t vk = walk_key_path(img, key, name, WALK_EXACT | WALK_LITERAL | WALK_VALUE);
  return vk ? read_le32(img->buffer + vk + 4 + field) : 0xDEADBEEF;
}

uint16_t IndexId(HiveImage* img, uint32_t key) {
  uint32_t rel = read_le32(img->buffer + key + 0x1C);
  return read_le16(img->buffer + rel + 0x1000 + 4);
}

}  // namespace

TEST(HiveKeys, PathWalkRules) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t root = hive_root_key(img);
  uint32_t a = add_key(img, root, L"Alpha");
  uint32_t b = add_key(img, a, L"Beta");
  uint32_t bs = add_key(img, a, L"x\\y");
  ASSERT_TRUE(a && b && bs);
  EXPECT_EQ(b, find_key(img, 0, L"Alpha\\Beta"));
  EXPECT_EQ(b, find_key(img, 0, L"\\Alpha\\Beta")) << "one leading backslash starts at the root";
  EXPECT_EQ(b, find_key(img, a, L"\\Alpha\\Beta"));
  EXPECT_EQ(b, find_key(img, 0, L"alpha\\BETA")) << "case is ignored";
  EXPECT_EQ(bs, find_key(img, 0, L"Alpha\\x\\\\y"))
      << "a doubled backslash is one backslash of a name";
  EXPECT_EQ(0u, find_key(img, 0, L"Alpha\\Bet"));
  EXPECT_EQ(0u, find_key(img, 0, L"Alpha\\Betas"));
  EXPECT_EQ(0u, find_key(img, 0, L"Alpha\\x"));
  EXPECT_EQ(0u, find_key(img, 0, L"@"));
  EXPECT_EQ(root, find_key(img, 0, L""));
  EXPECT_EQ(root, find_key(img, 0, L"\\"));
  EXPECT_EQ(a, find_key(img, 0, L"Alpha\\"));
  EXPECT_EQ(L"\\Alpha\\x\\y", [&] {
    wchar_t buf[64];
    key_full_path(img, bs, buf, 64);
    return std::wstring(buf);
  }());
  wchar_t small[12];
  key_full_path(img, b, small, 12);
  EXPECT_EQ(std::wstring(L"(...)\\Beta"), small);
  close_hive(img);
}

TEST(HiveKeys, SubkeysStaySortedAndDuplicatesAreRefused) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t root = hive_root_key(img);
  for (const wchar_t* n : {L"alpha", L"Gamma", L"Beta"}) ASSERT_NE(0u, add_key(img, root, n));
  EXPECT_EQ((std::vector<std::wstring>{L"alpha", L"Beta", L"Gamma"}), Children(img, root));
  EXPECT_EQ(0u, add_key(img, root, L"BETA"));
  EXPECT_EQ(0u, add_key(img, root, L""));
  EXPECT_EQ(3u, key_subkey_count(img, root));
  // Order is that of the upper-cased units: "_" (0x5F) sorts after "Z" but
  // before "a".
  for (const wchar_t* n : {L"\u00e9t\u00e9", L"Zulu", L"\u4e2d\u6587", L"_under"})
    ASSERT_NE(0u, add_key(img, root, n));
  EXPECT_EQ((std::vector<std::wstring>{L"alpha", L"Beta", L"Gamma", L"Zulu", L"_under",
                                       L"\u00e9t\u00e9", L"\u4e2d\u6587"}),
            Children(img, root));
  EXPECT_EQ(0u, add_key(img, root, L"\u00c9T\u00c9")) << "upper case of a Latin-1 name";
  img = ht::Reload(img);
  EXPECT_EQ(7u, Children(img, hive_root_key(img)).size());
  close_hive(img);
}

TEST(HiveKeys, IndexEntriesCarryWindowsHashesAndHints) {
  EXPECT_EQ(91494u, hive_name_hash(L"abc", 3));
  EXPECT_EQ(0x39Cu, hive_name_hash(L"\u00b5", 1)) << "micro sign upper-cases to capital mu";
  EXPECT_EQ(0x178u, hive_name_hash(L"\u00ff", 1));
  EXPECT_EQ(0x4E2Du * 37 + 0x6587u, hive_name_hash(L"\u4e2d\u6587", 2));
  EXPECT_EQ(0x61636241u, hive_name_hint(L"Abcaxyz", 7));
  EXPECT_EQ(0x4241u, hive_name_hint(L"AB", 2));

  HiveImage* img = ht::Load(ht::EmptyHive());
  img->rootIndexType = HiveId('l', 'h');
  uint32_t root = hive_root_key(img);
  add_key(img, root, L"caf\u00e9");
  add_key(img, root, L"\u4e2d");
  ASSERT_EQ(HiveId('l', 'h'), IndexId(img, root));
  uint32_t lh = read_le32(img->buffer + root + 0x1C) + 0x1000 + 4;
  EXPECT_EQ(hive_name_hash(L"CAF\u00c9", 4), read_le32(img->buffer + lh + 8));
  EXPECT_EQ(0x4E2Du, read_le32(img->buffer + lh + 16));
  // names are stored Latin-1 when they fit, else UTF-16
  uint32_t cafe = find_key(img, 0, L"CAF\u00c9");
  ASSERT_NE(0u, cafe);
  EXPECT_EQ(0x20, read_le16(img->buffer + cafe + 2) & 0x20);
  EXPECT_EQ(4u, read_le16(img->buffer + cafe + 0x48));
  EXPECT_EQ(0xE9, img->buffer[cafe + 0x4C + 3]);
  uint32_t zh = find_key(img, 0, L"\u4e2d");
  EXPECT_EQ(0, read_le16(img->buffer + zh + 2) & 0x20);
  EXPECT_EQ(2u, read_le16(img->buffer + zh + 0x48));
  close_hive(img);
}

TEST(HiveKeys, ValueDataMovesBetweenRecordCellAndBigData) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t k = add_key(img, hive_root_key(img), L"V");
  ASSERT_NE(0u, add_value(img, k, L"v", 3));
  EXPECT_EQ(0u, add_value(img, k, L"V", 4)) << "exists already";
  EXPECT_EQ(3, get_value_type(img, k, L"v"));

  std::vector<uint8_t> d3 = {1, 2, 3};
  EXPECT_EQ(3u, put_data_to_value(img, d3.data(), 3, k, L"v", 0));
  EXPECT_EQ(0x80000003u, VkField(img, k, L"v", 4)) << "held in the record";
  EXPECT_EQ(d3, Data(img, k, L"v"));

  std::vector<uint8_t> d5 = {9, 8, 7, 6, 5};
  EXPECT_EQ(5u, put_data_to_value(img, d5.data(), 5, k, L"v", 0));
  EXPECT_EQ(5u, VkField(img, k, L"v", 4));
  EXPECT_EQ(d5, Data(img, k, L"v"));

  std::vector<uint8_t> edge(16344);
  for (size_t i = 0; i < edge.size(); i++) edge[i] = (uint8_t)(i * 7);
  put_data_to_value(img, edge.data(), (uint32_t)edge.size(), k, L"v", 0);
  const uint8_t* p = get_value_data(img, k, L"v", 0);
  ASSERT_TRUE(p);
  EXPECT_NE(0, memcmp(p, "db", 2)) << "16344 bytes fit one cell";
  EXPECT_EQ(edge, Data(img, k, L"v"));

  for (uint32_t len : {16345u, 0x40001u, 0x80000u}) {
    std::vector<uint8_t> big(len);
    for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)(i * 13 + len);
    EXPECT_EQ(len, put_data_to_value(img, big.data(), len, k, L"v", 0));
    p = get_value_data(img, k, L"v", 0);
    ASSERT_TRUE(p);
    EXPECT_EQ(0, memcmp(p, "db", 2));
    EXPECT_EQ((len + 16343) / 16344, read_le16(p + 2)) << "segments of 16344 bytes";
    EXPECT_EQ(big, Data(img, k, L"v"));
    img = ht::Reload(img);
    k = find_key(img, 0, L"V");
    EXPECT_EQ(big, Data(img, k, L"v"));
  }
  uint32_t usedBefore = img->usedCells;
  EXPECT_EQ(0x80000000u, put_data_to_value(img, "", 0, k, L"v", 0));
  EXPECT_TRUE(Data(img, k, L"v").empty());
  EXPECT_LT(img->usedCells, usedBefore - 30) << "segments, list and db freed";
  EXPECT_EQ(2u, put_data_to_value(img, "ab", 2, k, L"v", 0));
  EXPECT_EQ(0u, put_data_to_value(img, "ab", 2, k, L"v", 4)) << "type filter";
  // A "db" record counts at most 65,535 segments: longer data is refused
  // before anything is read or allocated.
  uint32_t before = img->usedCells;
  EXPECT_EQ(0u, put_data_to_value(img, "ab", 65536u * 16344u, k, L"v", 0));
  EXPECT_EQ(before, img->usedCells);
  EXPECT_EQ(2, get_value_len(img, k, L"v"));

  // A minor-version-3 hive keeps long data in one cell.
  HiveImage* old = ht::Load(ht::EmptyHive(3));
  uint32_t ok = hive_root_key(old);
  add_value(old, ok, L"b", 3);
  std::vector<uint8_t> big(40000, 0x5A);
  put_data_to_value(old, big.data(), 40000, ok, L"b", 0);
  EXPECT_NE(0, memcmp(get_value_data(old, ok, L"b", 0), "db", 2));
  EXPECT_EQ(big, Data(old, ok, L"b"));
  close_hive(old);
  close_hive(img);
}

TEST(HiveKeys, BigDataWrittenWithQuarterMegabyteSegmentsReadsBack) {
  // Hives written with 0x40000-byte segments (count = length / 0x40000 + 1).
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t k = hive_root_key(img);
  add_value(img, k, L"old", 3);
  const uint32_t len = 0x40001;
  std::vector<uint8_t> big(len);
  for (size_t i = 0; i < len; i++) big[i] = (uint8_t)(i ^ (i >> 9));
  uint32_t vk = walk_key_path(img, k, L"old", WALK_EXACT | WALK_LITERAL | WALK_VALUE);
  uint32_t db = alloc_cell(img, vk, 8);
  uint32_t list = alloc_cell(img, vk, 8);
  uint32_t s1 = alloc_cell(img, vk, 0x40000), s2 = alloc_cell(img, vk, 0x40000);
  memcpy(img->buffer + db + 4, "db\x02\x00", 4);
  write_le32(img->buffer + db + 8, list - 0x1000);
  write_le32(img->buffer + list + 4, s1 - 0x1000);
  write_le32(img->buffer + list + 8, s2 - 0x1000);
  memcpy(img->buffer + s1 + 4, big.data(), 0x40000);
  memcpy(img->buffer + s2 + 4, big.data() + 0x40000, 1);
  write_le32(img->buffer + vk + 4 + 4, len);
  write_le32(img->buffer + vk + 4 + 8, db - 0x1000);
  EXPECT_EQ(big, Data(img, k, L"old"));
  close_hive(img);
}

TEST(HiveKeys, DefaultValueAndValueListOrder) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t k = hive_root_key(img);
  ASSERT_NE(0u, add_value(img, k, L"", 1)) << "the empty name is the default value";
  EXPECT_EQ(0u, VkField(img, k, L"", 0) >> 16) << "stored without a name";
  EXPECT_EQ(-1, get_value_type(img, k, L"@")) << "\"@\" is a name of its own";
  ASSERT_NE(0u, add_value(img, k, L"@", 3));
  EXPECT_EQ(1u, VkField(img, k, L"@", 0) >> 16);
  EXPECT_EQ(1, get_value_type(img, k, L""));
  EXPECT_EQ(3, get_value_type(img, k, L"@"));
  EXPECT_EQ(0, del_value(img, k, L"@"));
  add_value(img, k, L"b", 4);
  add_value(img, k, L"a", 4);
  EXPECT_EQ(0x80000004u, VkField(img, k, L"a", 4));
  put_dword_value(img, k, L"a", 0x11223344);
  uint32_t idx = 0;
  HiveValue v;
  std::vector<std::wstring> names;
  while (next_value(img, k, &idx, &v) == 1) names.push_back(v.name);
  EXPECT_EQ((std::vector<std::wstring>{L"", L"b", L"a"}), names) << "values keep their order";
  EXPECT_EQ(0x11223344u, v.dword);
  EXPECT_EQ(0, del_value(img, k, L"b"));
  EXPECT_EQ(1, del_value(img, k, L"b"));
  EXPECT_EQ(2u, key_value_count(img, k));
  EXPECT_EQ(0, del_value(img, k, L""));
  EXPECT_EQ(0, del_value(img, k, L"A"));
  EXPECT_EQ(0xFFFFFFFFu, read_le32(img->buffer + k + 0x28)) << "no list without values";
  close_hive(img);
}

TEST(HiveKeys, RiIndexesAreSearchedInsertedAndShrunk) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t root = hive_root_key(img);
  uint32_t p = add_key(img, root, L"P");
  for (const wchar_t* n : {L"b", L"d", L"f", L"h"}) add_key(img, p, n);
  // Split P's lf list into an ri of two lists: {b, d} and {f, h}.
  uint32_t lf = read_le32(img->buffer + p + 0x1C) + 0x1000;
  uint32_t l1 = alloc_cell(img, 0, 4 + 16), l2 = alloc_cell(img, 0, 4 + 16),
           ri = alloc_cell(img, 0, 12);
  memcpy(img->buffer + l1 + 4, "lf\x02\x00", 4);
  memcpy(img->buffer + l1 + 8, img->buffer + lf + 8, 16);
  memcpy(img->buffer + l2 + 4, "lf\x02\x00", 4);
  memcpy(img->buffer + l2 + 8, img->buffer + lf + 24, 16);
  memcpy(img->buffer + ri + 4, "ri\x02\x00", 4);
  write_le32(img->buffer + ri + 8, l1 - 0x1000);
  write_le32(img->buffer + ri + 12, l2 - 0x1000);
  free_cell(img, lf);
  write_le32(img->buffer + p + 0x1C, ri - 0x1000);
  img = ht::Reload(img);
  p = find_key(img, 0, L"P");

  EXPECT_NE(0u, find_key(img, p, L"H"));
  EXPECT_NE(0u, add_key(img, p, L"e"));
  EXPECT_NE(0u, add_key(img, p, L"z"));
  EXPECT_NE(0u, add_key(img, p, L"a"));
  EXPECT_EQ(0u, add_key(img, p, L"F"));
  EXPECT_EQ((std::vector<std::wstring>{L"a", L"b", L"d", L"e", L"f", L"h", L"z"}),
            Children(img, p));
  EXPECT_EQ(HiveId('r', 'i'), IndexId(img, p));
  // rename across the two lists
  EXPECT_NE(0u, rename_key(img, p, L"a", L"g"));
  EXPECT_EQ((std::vector<std::wstring>{L"b", L"d", L"e", L"f", L"g", L"h", L"z"}),
            Children(img, p));
  for (const wchar_t* n : {L"b", L"d", L"e"}) EXPECT_EQ(0, del_key(img, p, n));
  EXPECT_EQ((std::vector<std::wstring>{L"f", L"g", L"h", L"z"}), Children(img, p));
  for (const wchar_t* n : {L"f", L"g", L"h"}) EXPECT_EQ(0, del_key(img, p, n));
  EXPECT_EQ(0, del_key(img, p, L"z"));
  EXPECT_EQ(0xFFFFFFFFu, read_le32(img->buffer + p + 0x1C)) << "ri freed with its last list";
  EXPECT_EQ(0u, key_subkey_count(img, p));
  close_hive(img);
}

TEST(HiveKeys, DeleteAndDeleteTree) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t root = hive_root_key(img);
  uint32_t usedAtStart = img->usedCells;
  uint32_t t = add_key(img, root, L"Tree");
  add_value(img, t, L"v", 1);
  EXPECT_EQ(1, del_key(img, root, L"Tree")) << "a key with a value stays";
  EXPECT_NE(0u, find_key(img, 0, L"Tree"));
  for (int i = 0; i < 40; i++) {
    wchar_t n[16];
    _snwprintf(n, 16, L"k%02d", i);
    uint32_t c = add_key(img, find_key(img, 0, L"Tree"), n);
    add_value(img, c, L"x", 3);
    std::vector<uint8_t> big(20000 + i, (uint8_t)i);
    put_data_to_value(img, big.data(), (uint32_t)big.size(), c, L"x", 0);
    add_key(img, c, L"deeper");
  }
  EXPECT_EQ(-1, del_key_tree(img, L"Nope", root));
  EXPECT_EQ(-1, del_key_tree(img, L"", root));
  EXPECT_EQ(0, del_key_tree(img, L"tree", root));
  EXPECT_EQ(0u, find_key(img, 0, L"Tree"));
  EXPECT_EQ(usedAtStart, img->usedCells) << "every cell of the tree is freed";
  img = ht::Reload(img);
  EXPECT_TRUE(Children(img, hive_root_key(img)).empty());
  close_hive(img);
}

TEST(HiveKeys, RenameKeepsValuesSubkeysAndParentLinks) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t root = hive_root_key(img);
  uint32_t k = add_key(img, root, L"Old");
  add_key(img, root, L"Other");
  add_value(img, k, L"v", 4);
  put_dword_value(img, k, L"v", 42);
  add_key(img, k, L"Child");
  EXPECT_EQ(0u, rename_key(img, root, L"Old", L"OLD")) << "same name in other case";
  EXPECT_EQ(0u, rename_key(img, root, L"Old", L"other")) << "name taken";
  EXPECT_EQ(0u, rename_key(img, root, L"Missing", L"X"));
  uint32_t r = rename_key(img, root, L"Old", L"A much longer name than before");
  ASSERT_NE(0u, r);
  EXPECT_EQ(0u, find_key(img, 0, L"Old"));
  EXPECT_EQ(r, find_key(img, 0, L"A much longer name than before"));
  EXPECT_EQ((std::vector<std::wstring>{L"A much longer name than before", L"Other"}),
            Children(img, root));
  uint32_t child = find_key(img, r, L"Child");
  ASSERT_NE(0u, child);
  EXPECT_EQ(r - 4 - 0x1000, read_le32(img->buffer + child + 0x10));
  wchar_t path[64];
  key_full_path(img, child, path, 64);
  EXPECT_EQ(std::wstring(L"\\A much longer name than before\\Child"), path);
  EXPECT_EQ(std::vector<uint8_t>({42, 0, 0, 0}), Data(img, r, L"v"));
  uint32_t z = rename_key(img, root, L"a MUCH longer name than before", L"Zz");
  EXPECT_EQ(z, r) << "a shorter name is written in place";
  EXPECT_EQ((std::vector<std::wstring>{L"Other", L"Zz"}), Children(img, root));
  close_hive(img);
}

TEST(HiveKeys, SecurityCellIsCountedPerKey) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t root = hive_root_key(img);
  uint32_t sk = read_le32(img->buffer + root + 0x2C) + 0x1000 + 4;
  ASSERT_EQ(0, memcmp(img->buffer + sk, "sk", 2));
  EXPECT_EQ(1u, read_le32(img->buffer + sk + 0x0C));
  uint32_t a = add_key(img, root, L"A");
  add_key(img, a, L"B");
  EXPECT_EQ(3u, read_le32(img->buffer + sk + 0x0C));
  rename_key(img, root, L"A", L"A with a long new name, so the record moves");
  EXPECT_EQ(3u, read_le32(img->buffer + sk + 0x0C));
  del_key_tree(img, L"A with a long new name, so the record moves", root);
  EXPECT_EQ(1u, read_le32(img->buffer + sk + 0x0C));

  // A second security cell used by one key is freed and unlinked with it.
  uint32_t k = add_key(img, root, L"Own");
  uint32_t sk2 = alloc_cell(img, 0, 0x14 + 20);
  uint32_t rel1 = sk - 4 - 0x1000, rel2 = sk2 - 0x1000;
  memcpy(img->buffer + sk2 + 4, "sk", 2);
  write_le32(img->buffer + sk2 + 8, rel1);   // flink
  write_le32(img->buffer + sk2 + 12, rel1);  // blink
  write_le32(img->buffer + sk2 + 16, 1);
  write_le32(img->buffer + sk + 4, rel2);
  write_le32(img->buffer + sk + 8, rel2);
  write_le32(img->buffer + k + 0x2C, rel2);
  read_le32(img->buffer + sk + 0x0C);
  write_le32(img->buffer + sk + 0x0C, read_le32(img->buffer + sk + 0x0C) - 1);
  EXPECT_EQ(0, del_key(img, root, L"Own"));
  EXPECT_EQ(rel1, read_le32(img->buffer + sk + 4));
  EXPECT_EQ(rel1, read_le32(img->buffer + sk + 8));
  EXPECT_EQ(0u, hive_cell(img, rel2)) << "freed";
  EXPECT_EQ(1u, read_le32(img->buffer + sk + 0x0C));
  close_hive(img);
}

TEST(HiveKeys, ValuesOfALargeKeyAreFoundThroughEveryChange) {
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t k = add_key(img, hive_root_key(img), L"Many");
  wchar_t n[32];
  // Names that differ only in case or beyond 8 bits, past the size from
  // which a key's names are looked up by hash.
  for (int i = 0; i < 300; i++) {
    _snwprintf(n, 32, i % 3 ? L"Value%03d" : L"\x0416\x0436%03d", i);
    ASSERT_NE(0u, add_value(img, k, n, 4)) << i;
    ASSERT_NE(0u, put_dword_value(img, k, n, (uint32_t)i));
    k = find_key(img, 0, L"Many");
  }
  // Names that all share the "lh" hash (blocks "AZ" and "B5"), found in
  // any case and told apart.
  auto colliding = [](int i, bool lower) {
    std::wstring name;
    for (int b = 0; b < 6; b++)
      name += (i >> b & 1) ? (lower ? L"b5" : L"B5") : (lower ? L"az" : L"AZ");
    return name;
  };
  ASSERT_EQ(hive_name_hash(colliding(0, false).c_str(), 12),
            hive_name_hash(colliding(63, false).c_str(), 12));
  for (int i = 0; i < 64; i += 2) {
    ASSERT_NE(0u, add_value(img, k, colliding(i, false).c_str(), 4)) << i;
    k = find_key(img, 0, L"Many");
  }
  for (int i = 0; i < 64; i++)
    EXPECT_EQ(i % 2 ? -1 : 4, get_value_type(img, k, colliding(i, true).c_str())) << i;
  for (int i = 0; i < 64; i += 2) EXPECT_EQ(0, del_value(img, k, colliding(i, true).c_str())) << i;
  EXPECT_EQ(-1, get_value_type(img, k, colliding(0, false).c_str()));
  EXPECT_EQ(0u, add_value(img, k, L"VALUE001", 4)) << "a name in other case exists";
  EXPECT_EQ(0u, add_value(img, k, L"\x0436\x0416" L"000", 4));
  EXPECT_EQ(4, get_value_type(img, k, L"value299"));
  EXPECT_EQ(-1, get_value_type(img, k, L"Value300"));
  // Deleting from the middle and the front, then adding again: every
  // lookup sees the list as it is.
  EXPECT_EQ(0, del_value(img, k, L"VALUE100"));
  EXPECT_EQ(0, del_value(img, k, L"\x0436\x0416" L"000"));
  EXPECT_EQ(-1, get_value_type(img, k, L"Value100"));
  EXPECT_EQ(-1, get_value_type(img, k, L"\x0416\x0436" L"000"));
  ASSERT_NE(0u, add_value(img, k, L"Value100", 1));
  EXPECT_EQ(1, get_value_type(img, k, L"value100"));
  EXPECT_EQ(299u, key_value_count(img, k));
  // The rolled-back image does not keep what the index learnt meanwhile.
  HiveImage* snap = hive_snapshot(img);
  ASSERT_TRUE(snap);
  EXPECT_EQ(0, del_value(img, k, L"Value200"));
  ASSERT_NE(0u, add_value(img, k, L"Added", 4));
  hive_restore(img, snap);
  EXPECT_EQ(4, get_value_type(img, k, L"Value200"));
  EXPECT_EQ(-1, get_value_type(img, k, L"Added"));
  ASSERT_NE(0u, add_value(img, k, L"Added", 4));
  EXPECT_EQ(0u, add_value(img, k, L"Value200", 4));
  // What the lookups found matches a walk through the saved hive.
  std::vector<uint8_t> bytes;
  save_hive_buffer(img, bytes);
  close_hive(img);
  img = ht::Load(bytes);
  ASSERT_TRUE(img);
  k = find_key(img, 0, L"Many");
  uint32_t idx = 0, seen = 0;
  HiveValue v;
  while (next_value(img, k, &idx, &v) == 1) {
    seen++;
    EXPECT_EQ(v.name == L"Value100" ? 1 : 4, get_value_type(img, k, v.name.c_str())) << v.name;
  }
  EXPECT_EQ(300u, seen);
  EXPECT_EQ(0u, put_dword_value(img, k, L"Value100", 7)) << "a string stays one";
  EXPECT_EQ(0, del_key_tree(img, L"Many", hive_root_key(img)));
  EXPECT_EQ(0u, find_key(img, 0, L"Many"));
  close_hive(img);
}
