#include "HiveTestUtil.h"

#include <windows.h>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "registry/RegTypes.h"

namespace ht {

static std::vector<uint8_t> RunMaker(const std::string& json) {
  static int counter = 0;
  std::string dir = vt::BinaryDirUnix() + "/testtmp/mk-hive/" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(counter++);
  std::string cmd = "mkdir -p " + vt::Q(dir) + " && cd " + vt::Q(dir) + " && ";
  if (!json.empty()) cmd += "printf '%s' " + vt::Q(json) + " > d.json && ";
  cmd += "/usr/bin/python3 " + vt::Q(vt::SourceDirUnix() + "/tests/fixtures/mk-hive.py") + " h.hiv" +
         (json.empty() ? "" : " d.json");
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

std::vector<uint8_t> MakeHive(const std::string& json) { return RunMaker(json); }

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

}  // namespace ht
