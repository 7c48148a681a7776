// Thousands of random changes checked against an in-memory model after
// every save and reload; the last hive is also read by hivex. Before each
// reload a burst of changes is undone through the image's record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "HiveTestUtil.h"
#include "TestSupport.h"
#include "registry/hive/HiveNames.h"
#include "registry/hive/HiveOps.h"

namespace {

std::wstring Upper(const std::wstring& s) {
  std::wstring u = s;
  for (wchar_t& c : u) c = reg_upcase(c);
  return u;
}

struct MValue {
  std::wstring name;
  uint32_t type;
  std::vector<uint8_t> data;
};

struct MKey {
  std::wstring name;
  std::map<std::wstring, std::unique_ptr<MKey>> children;  // by upper-case name: the hive's order
  std::vector<MValue> values;
};

const wchar_t* kNames[] = {L"alpha",
                           L"Alpha2",
                           L"beta",
                           L"Gamma",
                           L"caf\u00e9",
                           L"CAF\u00c9X",
                           L"\u4e2d\u6587",
                           L"\u65e5\u672c\u8a9e",
                           L"\ud55c\uad6d\uc5b4",
                           L"\u00b5\u00ff",
                           L"x",
                           L"X1",
                           L"_u",
                           L"name with spaces",
                           L"Z",
                           L"zz",
                           L"dup",
                           L"DUP2",
                           L"\u00e4\u00f6\u00fc",
                           L"k"};

class Model {
 public:
  std::mt19937 rng{12345};
  MKey root;

  uint32_t R(uint32_t n) { return (uint32_t)(rng() % n); }

  std::wstring Name() {
    std::wstring n = kNames[R(sizeof kNames / sizeof kNames[0])];
    if (R(3) == 0) n += std::to_wstring(R(40));
    return n;
  }

  // A random key with its path, walking down from the root.
  MKey* Pick(std::wstring* path, MKey** parent) {
    MKey* k = &root;
    *parent = nullptr;
    path->clear();
    while (!k->children.empty() && R(3) != 0) {
      auto it = k->children.begin();
      std::advance(it, R((uint32_t)k->children.size()));
      *parent = k;
      k = it->second.get();
      *path += L"\\" + k->name;
    }
    return k;
  }

  std::vector<uint8_t> Data() {
    static const uint32_t lens[] = {0, 1, 3, 4, 5, 12, 100, 1000, 16344, 16345, 40000};
    uint32_t len = lens[R(100) < 95 ? R(8) : 8 + R(3)];
    std::vector<uint8_t> d(len);
    uint8_t seed = (uint8_t)rng();
    for (uint32_t i = 0; i < len; i++) d[i] = (uint8_t)(seed + i * 7);
    return d;
  }
};

void Check(HiveImage* img, uint32_t key, const MKey& m, const std::wstring& path) {
  std::vector<std::wstring> names;
  uint32_t li = 0, slot = 0;
  HiveSubkey sk;
  std::vector<uint32_t> cells;
  while (next_subkey(img, key, &li, &slot, &sk) == 1) {
    names.push_back(sk.name);
    cells.push_back(sk.cell + 4);
  }
  std::vector<std::wstring> want;
  for (auto& c : m.children) want.push_back(c.second->name);
  ASSERT_EQ(want, names) << vt::Narrow(path);
  ASSERT_EQ(want.size(), key_subkey_count(img, key));
  uint32_t vi = 0;
  HiveValue v;
  size_t n = 0;
  while (next_value(img, key, &vi, &v) == 1) {
    ASSERT_LT(n, m.values.size());
    const MValue& mv = m.values[n++];
    ASSERT_EQ(mv.name, v.name);
    ASSERT_EQ(mv.type, v.type);
    RegValueBuf* b = copy_value_to_buf(img, nullptr, key, v.name.c_str(), 0);
    ASSERT_TRUE(b);
    std::vector<uint8_t> got(b->data, b->data + b->length);
    free(b);
    ASSERT_EQ(mv.data, got) << vt::Narrow(path + L"|" + v.name);
  }
  ASSERT_EQ(m.values.size(), n);
  size_t i = 0;
  for (auto& c : m.children) Check(img, cells[i++], *c.second, path + L"\\" + c.second->name);
}

}  // namespace

// Bursts of random changes (keys and values added, data of every size,
// values and whole trees deleted, keys renamed) under an image's record,
// with a record opened inside it for the middle burst (a change tried
// within a larger one), taken back or kept: taking back the inner record
// gives the image as it was when it opened, the outer one the image as it
// was at first, byte for byte, and it takes further changes as before (its
// allocator state is back too). The model stays.
void UndoneBurst(HiveImage* img, Model& m) {
  auto burst = [&]() {
    for (int i = 0; i < 20; i++) {
      std::wstring path;
      MKey* parent;
      MKey* k = m.Pick(&path, &parent);
      uint32_t key = find_key(img, 0, path.c_str());
      // The model still has what an earlier burst renamed or deleted.
      if (!key) return;
      std::wstring n = m.Name();
      switch (m.R(5)) {
        case 0:
          add_key(img, key, (n + L"new").c_str());
          break;
        case 1: {
          std::vector<uint8_t> d = m.Data();
          add_value(img, key, n.c_str(), 3);
          put_data_to_value(img, d.data(), (uint32_t)d.size(), key, n.c_str(), 0);
          break;
        }
        case 2:
          if (!k->values.empty()) del_value(img, key, k->values[0].name.c_str());
          break;
        case 3:
          if (parent)
            rename_key(img, find_key(img, 0, path.substr(0, path.rfind(L'\\')).c_str()),
                       k->name.c_str(), (n + L"moved").c_str());
          break;
        default:
          if (parent)
            del_key_tree(img, k->name.c_str(),
                         find_key(img, 0, path.substr(0, path.rfind(L'\\')).c_str()));
          break;
      }
    }
  };
  std::vector<uint8_t> before(img->buffer, img->buffer + img->endOfBins);
  uint32_t end = img->endOfBins;
  ASSERT_EQ(1, hive_undo_begin(img));
  burst();
  std::vector<uint8_t> tried(img->buffer, img->buffer + img->endOfBins);
  uint32_t triedEnd = img->endOfBins;
  ASSERT_EQ(1, hive_undo_nest(img));
  burst();
  if (m.R(2)) {
    hive_undo_rollback(img);
    ASSERT_EQ(triedEnd, img->endOfBins);
    EXPECT_TRUE(std::equal(tried.begin(), tried.end(), img->buffer)) << "inner: a byte not put back";
  } else {
    hive_undo_commit(img);
  }
  ASSERT_NE(nullptr, img->undo) << "the outer record stays open";
  burst();
  hive_undo_rollback(img);
  EXPECT_EQ(nullptr, img->undo);
  ASSERT_EQ(end, img->endOfBins);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), img->buffer)) << "a byte not put back";
  EXPECT_FALSE(img->unsaveable);
}

static void RunModel(uint32_t leafMax) {
  Model m;
  HiveImage* img = ht::Load(ht::EmptyHive());
  ASSERT_TRUE(img);
  img->leafMax = leafMax;
  const int kOps = 4000, kEvery = 40;
  for (int op = 1; op <= kOps; op++) {
    std::wstring path;
    MKey* parent;
    MKey* k = m.Pick(&path, &parent);
    uint32_t key = find_key(img, 0, path.c_str());
    ASSERT_NE(0u, key) << vt::Narrow(path);
    uint32_t what = m.R(100);
    if (what < 30) {
      std::wstring n = m.Name();
      bool exists = k->children.count(Upper(n)) != 0;
      uint32_t r = add_key(img, key, n.c_str());
      ASSERT_EQ(!exists, r != 0) << vt::Narrow(path + L"\\" + n);
      if (!exists) {
        auto nk = std::make_unique<MKey>();
        nk->name = n;
        k->children[Upper(n)] = std::move(nk);
      }
    } else if (what < 65) {
      std::wstring n = m.R(10) == 0 ? L"" : m.R(10) == 0 ? L"@" : m.Name();
      std::wstring stored = n;
      std::vector<uint8_t> d = m.Data();
      MValue* mv = nullptr;
      for (auto& v : k->values)
        if (Upper(v.name) == Upper(stored)) mv = &v;
      if (!mv) {
        uint32_t type = 1 + m.R(11);
        ASSERT_NE(0u, add_value(img, key, n.c_str(), type));
        k->values.push_back({stored, type, {}});
        mv = &k->values.back();
        if (type == 4 || type == 5) mv->data = {0, 0, 0, 0};
      }
      ASSERT_NE(0u, put_data_to_value(img, d.data(), (uint32_t)d.size(), key, n.c_str(), 0));
      mv->data = d;
    } else if (what < 75) {
      if (k->values.empty()) continue;
      size_t i = m.R((uint32_t)k->values.size());
      std::wstring n = Upper(k->values[i].name);
      ASSERT_EQ(0, del_value(img, key, n.c_str()));
      k->values.erase(k->values.begin() + i);
    } else if (what < 90) {
      if (!parent) continue;
      std::wstring n = m.Name();
      bool ok = parent->children.count(Upper(n)) == 0;
      std::wstring parentPath = path.substr(0, path.rfind(L'\\'));
      uint32_t pk = find_key(img, 0, parentPath.c_str());
      uint32_t r = rename_key(img, pk, k->name.c_str(), n.c_str());
      ASSERT_EQ(ok, r != 0) << vt::Narrow(path + L" -> " + n);
      if (ok) {
        std::unique_ptr<MKey> moved = std::move(parent->children[Upper(k->name)]);
        parent->children.erase(Upper(k->name));
        moved->name = n;
        parent->children[Upper(n)] = std::move(moved);
      }
    } else {
      if (!parent || m.R(3) != 0) continue;
      std::wstring parentPath = path.substr(0, path.rfind(L'\\'));
      uint32_t pk = find_key(img, 0, parentPath.c_str());
      ASSERT_EQ(0, del_key_tree(img, k->name.c_str(), pk));
      parent->children.erase(Upper(k->name));
    }
    if (op % kEvery == 0) {
      UndoneBurst(img, m);
      if (::testing::Test::HasFatalFailure()) {
        close_hive(img);
        return;
      }
      img = ht::Reload(img);
      ASSERT_TRUE(img) << "after op " << op;
      img->leafMax = leafMax;
      Check(img, hive_root_key(img), m.root, L"");
      if (::testing::Test::HasFatalFailure()) {
        close_hive(img);
        return;
      }
    }
  }
  std::string dir = vt::ScratchDirUnix();
  std::vector<uint8_t> bytes;
  std::string ours = ht::Dump(img);
  EXPECT_GT(std::count(ours.begin(), ours.end(), '\n'), 500) << "the model grew";
  save_hive_buffer(img, bytes);
  close_hive(img);
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(dir + "/random.hiv"), bytes));
  ht::ExpectSameDump(ours, ht::HivexDump(dir + "/random.hiv"), dir);
}

TEST(HiveRandom, ThousandsOfChangesMatchTheModelAfterEachReload) {
  RunModel(1012);
}

// Lists split under "ri" indexes early, so inserts, renames and deletes go
// through many lists.
TEST(HiveRandom, ThousandsOfChangesWithSmallListsUnderRi) {
  RunModel(4);
}
