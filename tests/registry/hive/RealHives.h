// Hives written by Windows itself, kept xz-compressed outside the
// repository (testdata/hives beside the checkout, or $VRO_TESTDATA/hives).
// Tests decompress them into their scratch folder and skip without them (a
// skip fails the run in CI).
#pragma once
#include <cstdlib>
#include <string>

#include "TestSupport.h"

namespace rh {

inline std::string Dir() {
  return vt::TestDataDirUnix() + "/hives";
}

// Decompresses each NAME.xz into dirUnix/NAME; false when one is missing.
inline bool Unpack(const std::string& dirUnix, std::initializer_list<const char*> names) {
  for (const char* n : names) {
    std::string src = Dir() + "/" + n + ".xz";
    if (vt::Sh("test -f " + vt::Q(src) + " && xz -dc " + vt::Q(src) + " > " +
               vt::Q(dirUnix + "/" + n)) != 0)
      return false;
  }
  return true;
}

inline std::string HiveLogsPy() {
  return "/usr/bin/python3 " + vt::Q(vt::SourceDirUnix() + "/tests/fixtures/hive-logs.py");
}

}  // namespace rh
