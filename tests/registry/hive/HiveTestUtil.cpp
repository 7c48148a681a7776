#include "HiveTestUtil.h"

#include <windows.h>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "registry/hive/HiveOps.h"
#include "registry/hive/RegTypes.h"

#include <algorithm>
#include <cstdlib>

namespace ht {

static std::vector<uint8_t> RunMaker(const std::string& json) {
  static int counter = 0;
  std::string dir = vt::BinaryDirUnix() + "/testtmp/mk-hive/" +
                    std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
  std::string cmd = "mkdir -p " + vt::Q(dir) + " && cd " + vt::Q(dir) + " && ";
  if (!json.empty()) cmd += "printf '%s' " + vt::Q(json) + " > d.json && ";
  cmd += "/usr/bin/python3 " + vt::Q(vt::SourceDirUnix() + "/tests/fixtures/mk-hive.py") +
         " h.hiv" + (json.empty() ? "" : " d.json");
  std::string out;
  int rc = vt::Sh(cmd, &out);
  EXPECT_EQ(0, rc) << out;
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(vt::ReadAll(vt::ToWin(dir + "/h.hiv"), bytes));
  return bytes;
}

std::vector<uint8_t> EmptyHive(uint32_t minor) {
  static std::vector<uint8_t> cache[8];
  if (minor >= 8) minor = 5;
  if (cache[minor].empty())
    cache[minor] = RunMaker(minor == 5 ? "" : "{\"minor\": " + std::to_string(minor) + "}");
  return cache[minor];
}

std::vector<uint8_t> MakeHive(const std::string& json) {
  return RunMaker(json);
}

HiveImage* Load(const std::vector<uint8_t>& bytes) {
  HiveImage* img = nullptr;
  uint32_t st = load_hive_buffer(bytes.data(), bytes.size(), &img);
  EXPECT_EQ(REG_STATUS_OK, st);
  return img;
}

HiveImage* Reload(HiveImage* img) {
  std::vector<uint8_t> bytes;
  save_hive_buffer(img, bytes);
  close_hive(img);
  return Load(bytes);
}

static void DumpKey(HiveImage* img, uint32_t key, const std::wstring& path,
                    std::vector<std::string>& lines, int depth) {
  static const char hex[] = "0123456789abcdef";
  lines.push_back("K " + vt::Narrow(path));
  uint32_t vi = 0;
  HiveValue v;
  while (next_value(img, key, &vi, &v) == 1) {
    RegValueBuf* b = copy_value_to_buf(img, nullptr, key, v.name.c_str(), 0);
    std::string h;
    if (b) {
      h.reserve(b->length * 2);
      for (uint32_t i = 0; i < b->length; i++) {
        h += hex[b->data[i] >> 4];
        h += hex[b->data[i] & 15];
      }
      free(b);
    } else {
      h = "<unreadable>";
    }
    lines.push_back("V " + vt::Narrow(path) + "|" + vt::Narrow(v.name) + "|" +
                    std::to_string(v.type) + "|" + h);
  }
  if (depth >= 64) return;
  uint32_t li = 0, slot = 0;
  HiveSubkey sk;
  while (next_subkey(img, key, &li, &slot, &sk) == 1)
    DumpKey(img, sk.cell + 4, path + L"\\" + sk.name, lines, depth + 1);
}

std::string Dump(HiveImage* img) {
  std::vector<std::string> lines;
  DumpKey(img, hive_root_key(img), L"", lines, 0);
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (auto& l : lines) out += l + "\n";
  return out;
}

std::string HivexDump(const std::string& unixPath) {
  std::string out;
  int rc = vt::Sh("/usr/bin/python3 " + vt::Q(vt::SourceDirUnix() + "/tests/fixtures/mk-hive.py") +
                      " --dump " + vt::Q(unixPath) + " 2>/dev/null",
                  &out);
  EXPECT_EQ(0, rc);
  return out;
}

void ExpectSameDump(const std::string& expected, const std::string& actual,
                    const std::string& dir) {
  if (expected == actual) return;
  vt::WriteAll(vt::ToWin(dir + "/expected.txt"), expected.data(), expected.size());
  vt::WriteAll(vt::ToWin(dir + "/actual.txt"), actual.data(), actual.size());
  size_t i = 0;
  while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) i++;
  size_t start = expected.rfind('\n', i == 0 ? 0 : i - 1);
  start = start == std::string::npos ? 0 : start + 1;
  ADD_FAILURE() << "dumps differ (see " << dir
                << "/expected.txt, actual.txt) at:\n  expected: " << expected.substr(start, 160)
                << "\n  actual:   " << actual.substr(start, 160);
}

}  // namespace ht
