// Small helpers shared by the hive tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "registry/HiveImage.h"

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

}  // namespace ht
