// Volumes written by the formatter, read by the ntfs-3g tools, 7-Zip and the
// system's own mount.
#include "FormatTestUtil.h"

using namespace fmt;

namespace {

struct CheckCase {
  uint64_t megabytes;
  int32_t clusterSize;
};

int32_t g_clusterSize = 4096;
void UseClusterSize(NtfsFormatOptions& o) { o.clusterSize = g_clusterSize; }

TEST(NtfsFormatCheck, Smoke) {
  uint64_t bytes = 64ULL << 20;
  std::wstring disk = MakeMbrDisk("smoke.img", bytes, 2048, uint32_t(bytes / 512 - 2048));
  ASSERT_EQ(0, FormatFile(disk));
  std::string out;
  int rc = OnPartition(disk, 2048 * 512, bytes - 2048 * 512,
                       "ntfsinfo -m $DEV && ntfsls -a $DEV && ntfsfix -n $DEV", &out);
  EXPECT_EQ(0, rc) << out;
}

}  // namespace
