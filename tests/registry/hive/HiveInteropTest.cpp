// Hives cross-checked with hivex: what we write hivex reads, what hivex
// writes we read, with the same keys, values and data.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "HiveTestUtil.h"
#include "TestSupport.h"
#include "registry/hive/HiveOps.h"

namespace {

std::vector<uint8_t> Utf16z(const std::wstring& s) {
  std::vector<uint8_t> v;
  for (wchar_t c : s) {
    v.push_back((uint8_t)c);
    v.push_back((uint8_t)(c >> 8));
  }
  v.push_back(0);
  v.push_back(0);
  return v;
}

void Set(HiveImage* img, uint32_t key, const wchar_t* name, uint32_t type,
         const std::vector<uint8_t>& d) {
  if (get_value_type(img, key, name) < 0) {
    ASSERT_NE(0u, add_value(img, key, name, type));
  }
  ASSERT_NE(0u, put_data_to_value(img, d.data(), (uint32_t)d.size(), key, name, 0));
}

}  // namespace

TEST(HiveInterop, HivexReadsWhatWeWrite) {
  std::string dir = vt::ScratchDirUnix();
  HiveImage* img = ht::Load(ht::EmptyHive());
  uint32_t root = hive_root_key(img);
  uint32_t sw = add_key(img, root, L"Software");
  uint32_t cafe = add_key(img, sw, L"Caf\u00e9 \u00b5\u00ff");
  uint32_t zh = add_key(img, cafe, L"\u4e2d\u6587\u952e");
  uint32_t ko = add_key(img, sw, L"\ud55c\uad6d\uc5b4");
  ASSERT_TRUE(sw && cafe && zh && ko);
  Set(img, zh, L"", 1, Utf16z(L"default \u4e2d"));
  Set(img, zh, L"@", 1, Utf16z(L"a value named @"));
  Set(img, zh, L"\u6570\u5b57", 4, {7, 0, 0, 0});
  Set(img, zh, L"Latin \u00e9", 2, Utf16z(L"%SystemRoot%\\x"));
  std::vector<uint8_t> big(100000);
  for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)(i * 31 + 7);
  Set(img, cafe, L"Big", 3, big);
  std::vector<uint8_t> edge(16345, 0xA5);
  Set(img, cafe, L"Edge", 3, edge);
  Set(img, ko, L"multi", 7, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0});
  Set(img, ko, L"q", 11, {1, 2, 3, 4, 5, 6, 7, 8});
  Set(img, ko, L"empty", 3, {});
  // a few hundred keys so the index lists grow and move
  for (int i = 0; i < 300; i++) {
    wchar_t n[32];
    _snwprintf(n, 32, L"K%03d\u00e4", (i * 37) % 300);
    ASSERT_NE(0u, add_key(img, ko, n));
  }
  for (int i = 0; i < 300; i += 3) {
    wchar_t n[32];
    _snwprintf(n, 32, L"K%03d\u00e4", i);
    ASSERT_EQ(0, del_key(img, ko, n));
  }
  std::string ours = ht::Dump(img);
  std::vector<uint8_t> bytes;
  save_hive_buffer(img, bytes);
  close_hive(img);
  std::string path = dir + "/ours.hiv";
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(path), bytes));

  ht::ExpectSameDump(ours, ht::HivexDump(path), dir);
  std::string out;
  EXPECT_EQ(0, vt::Sh("hivexml " + vt::Q(path) + " > /dev/null", &out)) << out;
  std::string key = vt::Narrow(L"Software\\Caf\u00e9 \u00b5\u00ff\\\u4e2d\u6587\u952e");
  EXPECT_EQ(0, vt::Sh("hivexget " + vt::Q(path) + " " + vt::Q(key) + " " +
                          vt::Q(vt::Narrow(L"\u6570\u5b57")),
                      &out));
  EXPECT_EQ("7\n", out);
  std::string script = "cd Software\ncd " + vt::Narrow(L"\ud55c\uad6d\uc5b4") + "\nlsval q\n";
  EXPECT_EQ(0, vt::Sh("printf '%s' " + vt::Q(script) + " | hivexsh " + vt::Q(path), &out)) << out;
  EXPECT_NE(std::string::npos, out.find("578437695752307201")) << out;
}

TEST(HiveInterop, WeReadWhatHivexWrites) {
  std::string dir = vt::ScratchDirUnix();
  std::string json =
      "{\"keys\": ["
      "{\"path\": \"Software\\\\Caf\u00e9\\\\\u4e2d\u6587\", \"values\": ["
      "{\"name\": \"Text\", \"str\": \"h\u00e9llo \u4e16\u754c\"}, {\"name\": \"\u6570\", \"dword\": 305419896},"
      "{\"name\": \"\", \"str\": \"default\"}, {\"name\": \"Big\", \"type\": 3, \"fill\": [90, 200000]},"
      "{\"name\": \"Mid\", \"type\": 3, \"fill\": [7, 16400]}]},"
      "{\"path\": \"Software\\\\\ud55c\uad6d\"}, {\"path\": \"alpha\"}, {\"path\": \"Zeta\\\\\u00b5\u00ff\"}]}";
  std::vector<uint8_t> bytes = ht::MakeHive(json);
  std::string path = dir + "/hivex.hiv";
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(path), bytes));
  HiveImage* img = ht::Load(bytes);
  ASSERT_TRUE(img);
  std::string theirs = ht::HivexDump(path);
  ht::ExpectSameDump(theirs, ht::Dump(img), dir);
  uint32_t k = find_key(img, 0, L"SOFTWARE\\CAF\u00c9\\\u4e2d\u6587");
  ASSERT_NE(0u, k);
  EXPECT_EQ(200000, get_value_len(img, k, L"big"));
  // and what we change in it hivex still reads
  ASSERT_NE(0u, add_key(img, k, L"Added \u00e9"));
  ASSERT_EQ(0, del_value(img, k, L"Mid"));
  ASSERT_EQ(0, del_key_tree(img, L"alpha", hive_root_key(img)));
  std::string ours = ht::Dump(img);
  save_hive_buffer(img, bytes);
  close_hive(img);
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(path), bytes));
  ht::ExpectSameDump(ours, ht::HivexDump(path), dir);
}
