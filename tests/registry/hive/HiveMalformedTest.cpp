// Malformed hives are refused with a status code, or their broken parts make
// the operations fail; nothing crashes or loops.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <windows.h>

#include "HiveTestUtil.h"
#include "registry/hive/HiveOps.h"
#include "registry/hive/RegFile.h"

namespace {

std::vector<uint8_t> BaseHive() {
  static std::vector<uint8_t> base;
  if (!base.empty()) return base;
  std::string json =
      "{\"keys\": [{\"path\": \"Software\\\\Vendor\\\\App\", \"values\": [{\"name\": \"Text\", \"str\": \"hello\"},"
      "{\"name\": \"N\", \"dword\": 5}, {\"name\": \"Big\", \"type\": 3, \"fill\": [1, 40000]},"
      "{\"name\": \"Mid\", \"type\": 3, \"fill\": [2, 300]}]},"
      "{\"path\": \"System\\\\Control\\\\Caf\u00e9\", \"values\": [{\"name\": \"\u4e2d\", \"str\": \"x\"}]},"
      "{\"path\": \"System\\\\Select\", \"values\": [{\"name\": \"Current\", \"dword\": 1}]}]}";
  HiveImage* img = ht::Load(ht::MakeHive(json));
  if (!img) return {};
  // our own writing on top: more keys, a longer index list, a default value
  uint32_t sys = find_key(img, 0, L"System");
  for (int i = 0; i < 60; i++) {
    wchar_t n[16];
    _snwprintf(n, 16, L"S%02d", i);
    uint32_t k = add_key(img, sys, n);
    add_value(img, k, L"", 1);
    put_data_to_value(img, L"v", 4, k, L"", 0);
  }
  save_hive_buffer(img, base);
  close_hive(img);
  return base;
}

bool Refused(const std::vector<uint8_t>& bytes) {
  HiveImage* img = nullptr;
  uint32_t st = load_hive_buffer(bytes.data(), bytes.size(), &img);
  if (img) close_hive(img);
  return st == REG_STATUS_FAILURE && img == nullptr;
}

// Walks and changes whatever loads; returns the number of keys seen.
int Exercise(HiveImage* img, uint32_t key, int depth) {
  int seen = 1;
  wchar_t path[300];
  key_full_path(img, key, path, 300);
  uint32_t vi = 0;
  HiveValue v;
  while (next_value(img, key, &vi, &v) == 1) {
    RegValueBuf* b = copy_value_to_buf(img, nullptr, key, v.name.c_str(), 0);
    free(b);
    get_value_data(img, key, v.name.c_str(), 0);
  }
  if (depth < 20) {
    uint32_t li = 0, slot = 0;
    HiveSubkey sk;
    std::vector<uint32_t> kids;
    while (next_subkey(img, key, &li, &slot, &sk) == 1 && kids.size() < 200)
      kids.push_back(sk.cell + 4);
    for (uint32_t k : kids) seen += Exercise(img, k, depth + 1);
  }
  return seen;
}

void Change(HiveImage* img) {
  uint32_t root = hive_root_key(img);
  find_key(img, 0, L"Software\\Vendor\\App");
  uint32_t k = add_key(img, root, L"New");
  if (k) {
    add_value(img, k, L"v", 3);
    std::vector<uint8_t> d(20000, 9);
    put_data_to_value(img, d.data(), (uint32_t)d.size(), k, L"v", 0);
  }
  uint32_t app = find_key(img, 0, L"Software\\Vendor\\App");
  if (app) {
    put_data_to_value(img, "abcdefgh", 8, app, L"Text", 0);
    del_value(img, app, L"Big");
    add_value(img, app, L"added", 4);
  }
  rename_key(img, root, L"System", L"System renamed to something longer");
  del_key_tree(img, L"Software", root);
}

}  // namespace

TEST(HiveMalformed, BrokenFilesAreRefused) {
  std::vector<uint8_t> base = BaseHive();
  ASSERT_GT(base.size(), 0x2000u);
  ASSERT_FALSE(Refused(base));
  EXPECT_TRUE(Refused({}));
  std::vector<uint8_t> h;
  h.assign(base.begin(), base.begin() + 100);
  EXPECT_TRUE(Refused(h)) << "truncated inside the base block";
  h.assign(base.begin(), base.end() - 4096);
  EXPECT_TRUE(Refused(h)) << "truncated: bins area longer than the file";
  h = base;
  memcpy(&h[0], "regX", 4);
  EXPECT_TRUE(Refused(h)) << "signature";
  h = base;
  memcpy(&h[0x1000], "hbiX", 4);
  EXPECT_TRUE(Refused(h)) << "bin signature";
  h = base;
  write_le32(&h[0x24], 0x7FFFFFF0);
  EXPECT_TRUE(Refused(h)) << "root offset out of range";
  h = base;
  write_le32(&h[0x24], 0x24);
  EXPECT_TRUE(Refused(h)) << "root offset not at a cell";
  h = base;
  write_le32(&h[0x1008], 0x10000000);
  EXPECT_TRUE(Refused(h)) << "bin size past the end";
  h = base;
  write_le32(&h[0x1008], 0);
  EXPECT_TRUE(Refused(h)) << "bin size 0";
  h = base;
  write_le32(&h[0x1004], 0x1000);
  EXPECT_TRUE(Refused(h)) << "bin offset field";
  h = base;
  write_le32(&h[0x1020], 0);
  EXPECT_TRUE(Refused(h)) << "cell of size 0";
  h = base;
  write_le32(&h[0x1020], 0xFFFFFFF4);
  EXPECT_TRUE(Refused(h)) << "cell size not a multiple of 8";
  h = base;
  write_le32(&h[0x1020], 0x80000000);
  EXPECT_TRUE(Refused(h)) << "cell larger than its bin";
  h = base;
  write_le32(&h[0x28], 0x800);
  EXPECT_TRUE(Refused(h)) << "bins length not a multiple of 4096";
}

TEST(HiveMalformed, ListsPointingIntoThemselvesFailWithoutLooping) {
  std::vector<uint8_t> base = BaseHive();
  HiveImage* img = ht::Load(base);
  uint32_t root = hive_root_key(img);
  uint32_t sys = find_key(img, 0, L"System");
  uint32_t idxRel = read_le32(img->buffer + sys + 0x1C);
  uint32_t idx = idxRel + 0x1000;
  close_hive(img);

  // the key's index points at the key itself
  std::vector<uint8_t> h = base;
  write_le32(&h[sys + 0x1C], sys - 4 - 0x1000);
  img = ht::Load(h);
  uint32_t li = 0, slot = 0;
  HiveSubkey sk;
  EXPECT_EQ(-1, next_subkey(img, find_key(img, 0, L"System"), &li, &slot, &sk));
  EXPECT_EQ(0u, find_key(img, 0, L"System\\Select"));
  EXPECT_EQ(0u, add_key(img, find_key(img, 0, L"System"), L"x"));
  EXPECT_EQ(1, del_key_tree(img, L"System", root));
  close_hive(img);

  // an index entry points at the index list
  h = base;
  write_le32(&h[idx + 8], idxRel);
  img = ht::Load(h);
  EXPECT_EQ(0u, find_key(img, 0, L"System\\S30"));
  EXPECT_EQ(1, del_key_tree(img, L"System", root));
  close_hive(img);

  // an ri whose entry is the ri itself
  h = base;
  memcpy(&h[idx + 4], "ri\x01\x00", 4);
  write_le32(&h[idx + 8], idxRel);
  img = ht::Load(h);
  li = slot = 0;
  EXPECT_EQ(-1, next_subkey(img, find_key(img, 0, L"System"), &li, &slot, &sk));
  EXPECT_EQ(1, del_key_tree(img, L"System", root));
  close_hive(img);

  // a subkey entry points back at its own parent: a cycle, and a key listed
  // twice below another; an export stops at the key met again
  h = base;
  write_le32(&h[idx + 8], sys - 4 - 0x1000);
  img = ht::Load(h);
  std::wstring text;
  EXPECT_EQ(REG_STATUS_FAILURE, export_key_text(img, 0, L"X", L"", true, false, text));
  EXPECT_EQ(std::wstring::npos, text.find(L"[X\\System\\System]"))
      << "the tree is not written again";
  EXPECT_EQ(REG_STATUS_OK, export_key_text(img, 0, L"X", L"Software", true, false, text));
  EXPECT_EQ(1, del_key_tree(img, L"System", root));
  wchar_t path[64];
  key_full_path(img, find_key(img, 0, L"System"), path, 64);
  EXPECT_EQ(std::wstring(L"\\System"), path);
  close_hive(img);

  // a value's data length far past its cell
  h = base;
  img = ht::Load(h);
  uint32_t app = find_key(img, 0, L"Software\\Vendor\\App");
  uint32_t vk = walk_key_path(img, app, L"Mid", WALK_EXACT | WALK_LITERAL | WALK_VALUE);
  write_le32(img->buffer + vk + 8, 0x7FFFFFF0);
  EXPECT_EQ(nullptr, copy_value_to_buf(img, nullptr, app, L"Mid", 0));
  EXPECT_EQ(0, del_value(img, app, L"Mid"));
  close_hive(img);
}

TEST(HiveMalformed, RandomMutationsNeverCrashOrLoop) {
  std::vector<uint8_t> base = BaseHive();
  ASSERT_FALSE(base.empty());
  std::mt19937 rng(777);
  int loaded = 0, refused = 0, exported = 0;
  DWORD start = GetTickCount();
  for (int iter = 0; iter < 10000; iter++) {
    SCOPED_TRACE(iter);
    std::vector<uint8_t> h = base;
    int n = 1 + (int)(rng() % 4);
    for (int j = 0; j < n; j++) {
      if (h.size() < 0x1010) break;
      uint32_t at = 0x1000 + (uint32_t)(rng() % (h.size() - 0x1000 - 4));
      if (rng() % 8 == 0) at = (uint32_t)(rng() % 0x200);
      switch (rng() % 6) {
        case 0:
          h[at] = (uint8_t)rng();
          break;
        case 1:
          write_le32(&h[at & ~3u], 0);
          break;
        case 2:
          write_le32(&h[at & ~3u], 0xFFFFFFFF);
          break;
        case 3:
          write_le32(&h[at & ~3u], (uint32_t)(rng() % (h.size() - 0x1000)) & ~7u);
          break;
        case 4:
          write_le32(&h[at & ~3u], read_le32(&h[at & ~3u]) ^ (1u << (rng() % 32)));
          break;
        case 5:
          h.resize(0x1000 + (rng() % (h.size() - 0x1000)));
          break;
      }
    }
    HiveImage* img = nullptr;
    uint32_t st = load_hive_buffer(h.data(), h.size(), &img);
    if (st != REG_STATUS_OK) {
      ASSERT_EQ(REG_STATUS_FAILURE, st);
      ASSERT_EQ(nullptr, img);
      refused++;
      continue;
    }
    loaded++;
    Exercise(img, hive_root_key(img), 0);
    // The export ends (written or failed) and what it wrote reads back into
    // an empty hive and into the damaged one itself, or is refused whole.
    std::wstring text;
    uint32_t ex = export_key_text(img, 0, L"HKEY_LOCAL_MACHINE\\X", L"", true, false, text);
    ASSERT_TRUE(ex == REG_STATUS_OK || ex == REG_STATUS_FAILURE);
    if (ex == REG_STATUS_OK) {
      exported++;
      HiveImage* fresh = ht::Load(ht::EmptyHive());
      int r = import_reg_text(fresh, text, L"HKEY_LOCAL_MACHINE\\X");
      ASSERT_TRUE(r == 0 || r == -1);
      close_hive(fresh);
      r = import_reg_text(img, text, L"HKEY_LOCAL_MACHINE\\X");
      ASSERT_TRUE(r == 0 || r == -1);
    }
    Change(img);
    Exercise(img, hive_root_key(img), 0);
    std::vector<uint8_t> saved;
    save_hive_buffer(img, saved);
    close_hive(img);
    img = nullptr;
    ASSERT_EQ(REG_STATUS_OK, load_hive_buffer(saved.data(), saved.size(), &img))
        << "what we save loads again";
    close_hive(img);
  }
  EXPECT_GT(loaded, 2000);
  EXPECT_GT(exported, 1000);
  EXPECT_GT(refused, 500);
  EXPECT_LT(GetTickCount() - start, 120000u);
}
