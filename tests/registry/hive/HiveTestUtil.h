// Small helpers shared by the hive tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "registry/hive/HiveImage.h"

namespace ht {

// A minimal empty hive: base block, one bin with the root key and its
// security cell, made from the format description.
std::vector<uint8_t> EmptyHive(uint32_t minor = 5);
// Loads bytes into an image; fails the test and returns null when refused.
HiveImage* Load(const std::vector<uint8_t>& bytes);
// Saves and loads again; the old image is closed.
HiveImage* Reload(HiveImage* img);
// Runs tests/fixtures/mk-hive.py with a JSON description; reads the hive.
std::vector<uint8_t> MakeHive(const std::string& json);

// Every key and value as "K path" / "V path|name|type|hex" lines, sorted
// (the form of mk-hive.py --dump). Walks at most 64 levels.
std::string Dump(HiveImage* img);
// mk-hive.py --dump of a hive file given as a Linux path.
std::string HivexDump(const std::string& unixPath);

// Compares two dumps; on a difference writes both beside dir and reports the
// first differing line only (dumps hold megabytes of hex).
void ExpectSameDump(const std::string& expected, const std::string& actual, const std::string& dir);

}  // namespace ht
