// FAT volumes of the hive tests read back with Debian's tools: a partition
// cut out of a raw disk, files copied out with mcopy, fsck.fat's verdict.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"

namespace ft {

// Sectors [start, start + count) of a raw disk as a file of its own.
inline std::string CutPartition(const std::string& diskUnix, long start, long count,
                                const std::string& outUnix) {
  EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(diskUnix) + " of=" + vt::Q(outUnix) +
                      " bs=1M iflag=skip_bytes,count_bytes skip=" + std::to_string(start * 512ll) +
                      " count=" + std::to_string(count * 512ll) + " status=none"));
  return outUnix;
}

// A file of a FAT partition image, copied out with mcopy.
inline std::string Mcopy(const std::string& part, const std::string& path,
                         const std::string& outUnix) {
  std::string out;
  EXPECT_EQ(0, vt::Sh("mcopy -n -i " + vt::Q(part) + " " + vt::Q("::" + path) + " " +
                          vt::Q(outUnix) + " 2>&1",
                      &out))
      << out;
  return outUnix;
}

inline void ExpectFsckClean(const std::string& part) {
  std::string out;
  EXPECT_EQ(0, vt::Sh("fsck.fat -n " + vt::Q(part) + " 2>&1", &out)) << out;
}

}  // namespace ft
