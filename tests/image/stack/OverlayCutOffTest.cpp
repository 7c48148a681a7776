// A volume command into an overlay stopped at a write to the overlay file
// (a process that dies there), or whose write fails there: the volume read
// back through the reopened chain is the volume before the command, or the
// one with all of its writes. The command copies many files into the folder
// that holds the files an earlier command reported done, so the folder's
// index grows into blocks it never had.
#include <gtest/gtest.h>

#include "../OverlayChainTestUtil.h"
#include "../VolumeWriteRecorder.h"

namespace {

void EveryWriteLeavesBeforeOrAfter(bool fix) {
  // Data got two files earlier; B holds 70 for the command under test.
  const oc::Chain c =
      oc::MakeChain(fix,
                    "mkdir -p Data B; head -c 70000 /dev/urandom > Data/one.bin;"
                    " printf acknowledged > Data/two.txt;"
                    " for i in $(seq 10 79); do head -c $((i * 97 % 9000 + 100)) /dev/urandom"
                    " > B/file-with-a-longer-name-$i.dat; done",
                    "Data", 3);
  ASSERT_FALSE(::testing::Test::HasFailure());
  it::ExpectEveryWriteLeavesBeforeOrAfter(
      [&](it::RecordedRun& run, it::WriteFaults::Mode mode, int at) {
        CMountedImage m;
        if (c.OpenImage(m, 1) < 0) return false;
        run.Start(m.IoBlock(), mode, at);
        uint64_t missing = 0;
        int n = InjectHostPath(&m, vt::ToWin(c.dir + "/B/*").c_str(), L"\\Data", &missing, nullptr,
                               nullptr);
        return m.Close() && n == 70;
      },
      [&] { c.Restore(); }, [&] { return c.ReadDisk(); },
      [](int writes) {
        // Every write early on (the index of Data grows there), then about
        // 40 spread over the rest. The disk object joins the volume's
        // small writes: a dozen or so reach the files.
        EXPECT_LT(8, writes);
        std::vector<int> points;
        for (int n = 1; n <= writes; n += n < 30 ? 1 : writes / 40 + 1) points.push_back(n);
        points.push_back(writes);
        return points;
      });
  // The earlier files read back whole after the last stop.
  CMountedImage m;
  ASSERT_LE(0, c.OpenImage(m, 0));
  EXPECT_TRUE(mi::SameAsHostFile(mi::ReadWhole(m, L"\\Data\\one.bin"), c.dir + "/Data/one.bin"));
}

TEST(OverlayCutOff, ManyFilesIntoAFolderOfAnUpdateFile) {
  EveryWriteLeavesBeforeOrAfter(false);
}

TEST(OverlayCutOff, ManyFilesIntoAFolderOfAWriteBackFile) {
  EveryWriteLeavesBeforeOrAfter(true);
}

}  // namespace
