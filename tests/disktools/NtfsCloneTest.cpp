// The NTFS clone engine through the mounted image, image onto image: the
// copy is read back with ntfs-3g's tools (every file's listing with sizes
// and times, every file's content) and must pass ntfsfix -n.
#include <windows.h>

#include "FormatTestUtil.h"
#include "disktools/NtfsFormatterInstall.h"
#include "disktools/clone/NtfsClone.h"
#include "disktools/clone/NtfsCloneInstall.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/NtfsClusterRuns.h"

using namespace fmt;

namespace {

const uint64_t kStart = 2048;  // mk-disk.sh's partition
const uint64_t kMiB = 1ULL << 20;

struct Progress {
  std::vector<std::pair<uint32_t, uint32_t>> calls;
  uint32_t stopAt = ~0u;           // number of calls after which to ask for a stop
  CMountedImage* again = nullptr;  // cloned from inside the first call
  CMountedImage* againTarget = nullptr;
  int nested = 0;
};

int __stdcall Record(uint32_t done, uint32_t total, void* context) {
  Progress* p = static_cast<Progress*>(context);
  p->calls.push_back({done, total});
  if (p->again && p->calls.size() == 1)
    p->nested = p->again->CloneVolumeTo(p->againTarget, nullptr, 1, nullptr, nullptr);
  return p->calls.size() < p->stopAt;
}

struct Pair {
  std::string dir;
  std::wstring source, target;
  uint64_t targetBytes;
};

// A source volume of 40 MiB with files and folders, and an empty target
// volume of targetMiB.
Pair MakePair(int targetMiB, const char* name = "a") {
  Pair p;
  p.dir = vt::ScratchSubdirUnix(name);
  EXPECT_EQ(0, vt::Sh("mkdir -p " + p.dir + "/tree/Dir/Sub && head -c 400000 /dev/urandom > " +
                      p.dir + "/tree/a.bin && head -c 1300000 /dev/urandom > " + p.dir +
                      "/tree/Dir/Sub/c.bin && echo note > " + p.dir +
                      "/tree/Dir/b.txt && for i in $(seq 1 40); do echo file $i > " + p.dir +
                      "/tree/Dir/f$i.txt; done && mkdir -p " + p.dir + "/empty"));
  p.source = vt::ToWin(p.dir + "/s.img");
  p.target = vt::ToWin(p.dir + "/t.img");
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(p.dir + "/s.img") + " --size 40 --tree " +
                          vt::Q(p.dir + "/tree")));
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(p.dir + "/t.img") + " --size " +
                          std::to_string(targetMiB) + " --tree " + vt::Q(p.dir + "/empty")));
  p.targetBytes = uint64_t(targetMiB) * kMiB;
  return p;
}

int Clone(const Pair& p, const ClusterRun* skip, Progress* progress, int targetMode = 2) {
  InstallNtfsCloneEngine();
  CMountedImage source, target;
  EXPECT_GE(source.OpenImage(p.source.c_str(), nullptr, 0, 0), 0);
  EXPECT_GE(target.OpenImage(p.target.c_str(), nullptr, 0, targetMode), 0);
  return source.CloneVolumeTo(&target, skip, 1, Record, progress);
}

// The listing of a volume: names, sizes and times of every file.
std::string Listing(const std::wstring& disk, uint64_t length) {
  std::string out;
  EXPECT_EQ(0, OnPartition(disk, kStart * 512, length, "ntfsls -R -l -a $DEV", &out)) << out;
  return out;
}

TEST(NtfsClone, CopiesEveryFileOntoALargerVolume) {
  Pair p = MakePair(48);
  std::string before = Listing(p.source, 40 * kMiB);
  Progress progress;
  int copied = Clone(p, nullptr, &progress);
  ASSERT_GT(copied, 0);
  ASSERT_FALSE(progress.calls.empty());
  EXPECT_EQ(0u, progress.calls.front().first);
  EXPECT_EQ(uint32_t(copied), progress.calls.front().second);
  EXPECT_EQ(uint32_t(copied), progress.calls.back().first);
  EXPECT_EQ(size_t(copied) + 1, progress.calls.size());

  EXPECT_EQ(before, Listing(p.target, p.targetBytes));
  std::string out;
  EXPECT_EQ(0, OnPartition(p.target, kStart * 512, p.targetBytes,
                           "ntfsfix -n $DEV && cd " + vt::Q(p.dir + "/tree") +
                               " && find . -type f | while read f; do ntfscat $DEV \"${f#./}\" | "
                               "cmp - \"$f\" || exit 1; done",
                           &out))
      << out;
  // The source's boot sector, and its backup after the volume's last sector.
  std::vector<uint8_t> boot = ReadBytes(p.target, kStart * 512, 512);
  EXPECT_EQ(ReadBytes(p.source, kStart * 512, 512), boot);
  EXPECT_EQ(boot, ReadBytes(p.target, (kStart + Le64(&boot[40])) * 512, 512));
  EXPECT_EQ(boot, ReadBytes(p.target, kStart * 512 + p.targetBytes - 512, 512));
}

TEST(NtfsClone, StopsAtTheFirstCallWithoutWriting) {
  Pair p = MakePair(40);
  std::vector<uint8_t> before = ReadBytes(p.target, kStart * 512, 1 << 20);
  Progress progress;
  progress.stopAt = 1;
  EXPECT_EQ(NTFS_CLONE_STOPPED, Clone(p, nullptr, &progress));
  ASSERT_EQ(1u, progress.calls.size());
  EXPECT_EQ(0u, progress.calls[0].first);
  EXPECT_GT(progress.calls[0].second, 0u);
  EXPECT_TRUE(before == ReadBytes(p.target, kStart * 512, 1 << 20));
  // A stop later on also gives the stop result.
  Progress later;
  later.stopAt = 5;
  EXPECT_EQ(NTFS_CLONE_STOPPED, Clone(p, nullptr, &later));
  EXPECT_EQ(5u, later.calls.size());
}

TEST(NtfsClone, SkippedClustersAreNeitherCountedNorWritten) {
  Pair p = MakePair(40);
  Progress all;
  int whole = Clone(p, nullptr, &all);
  ASSERT_GT(whole, 0);

  // The runs skipped are those of the volume cloned with them.
  Pair q = MakePair(40, "b");
  std::vector<ClusterRun> runs;
  {
    CMountedImage source;
    ASSERT_GE(source.OpenImage(q.source.c_str(), nullptr, 0, 0), 0);
    CollectNtfsFileRuns(source.NtfsVolume(), L"\\Dir\\Sub\\c.bin", &runs);
  }
  ASSERT_FALSE(runs.empty());
  int64_t skipped = 0;
  for (const ClusterRun& r : runs) skipped += r.length;
  runs.push_back(ClusterRun{0, 0, 0});
  Progress part;
  int copied = Clone(q, runs.data(), &part);
  EXPECT_EQ(whole - skipped, copied);
  EXPECT_EQ(uint32_t(copied), part.calls.front().second);
  // Whatever the target held there stays: the fresh target's zeros.
  std::vector<uint8_t> boot = ReadBytes(q.source, kStart * 512, 512);
  uint64_t cluster = uint64_t(boot[11] | boot[12] << 8) * boot[13];
  std::vector<uint8_t> zeros(cluster, 0);
  for (size_t i = 0; i + 1 < runs.size(); i++) {
    uint64_t at = kStart * 512 + uint64_t(runs[i].lcn) * cluster;
    EXPECT_NE(zeros, ReadBytes(q.source, at, uint32_t(cluster)));
    EXPECT_EQ(zeros, ReadBytes(q.target, at, uint32_t(cluster)));
  }
}

TEST(NtfsClone, FailsOnTargetsThatCannotTakeTheCopy) {
  Pair p = MakePair(40);
  Progress progress;
  // A read-only target: the first write fails the clone.
  EXPECT_EQ(NTFS_CLONE_FAILED, Clone(p, nullptr, &progress, 0));
  // A smaller target.
  Pair small = MakePair(32, "b");
  Progress none;
  EXPECT_EQ(NTFS_CLONE_FAILED, Clone(small, nullptr, &none));
  EXPECT_TRUE(none.calls.empty());
  // No NTFS volume on one side.
  CMountedImage empty, source;
  ASSERT_GE(source.OpenImage(p.source.c_str(), nullptr, 0, 0), 0);
  EXPECT_EQ(-1, source.CloneVolumeTo(&empty, nullptr, 1, nullptr, nullptr));
}

TEST(NtfsClone, OneCloneAtATime) {
  Pair p = MakePair(40);
  Pair q = MakePair(40, "b");
  InstallNtfsCloneEngine();
  CMountedImage source, target, other;
  ASSERT_GE(source.OpenImage(p.source.c_str(), nullptr, 0, 0), 0);
  ASSERT_GE(target.OpenImage(p.target.c_str(), nullptr, 0, 2), 0);
  ASSERT_GE(other.OpenImage(q.target.c_str(), nullptr, 0, 2), 0);
  Progress progress;
  progress.stopAt = 1;
  progress.again = &source;
  progress.againTarget = &other;
  EXPECT_EQ(NTFS_CLONE_STOPPED, source.CloneVolumeTo(&target, nullptr, 1, Record, &progress));
  EXPECT_EQ(NTFS_CLONE_FAILED, progress.nested);
  // The guard is let go afterwards.
  EXPECT_GT(source.CloneVolumeTo(&other, nullptr, 1, nullptr, nullptr), 0);
}

TEST(NtfsClone, BackupBootSectorAfterAVolumeOfWholeBytesOfClusters) {
  // 81,921 sectors: the formatter's volume ends one sector before the
  // partition does, and its cluster count is a multiple of 8.
  std::wstring source = MakeMbrDisk("s8.img", (kStart + 81921 + 64) * 512, kStart, 81921);
  std::wstring target = vt::ToWin(vt::ToUnix(source) + ".t");
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(vt::ToUnix(source)) + " " +
                      vt::Q(vt::ToUnix(target))));
  ASSERT_EQ(0, FormatFile(source));
  ASSERT_EQ(0, FormatFile(target));
  std::vector<uint8_t> boot = ReadBytes(source, kStart * 512, 512);
  uint64_t sectors = Le64(&boot[40]);
  ASSERT_EQ(0u, sectors / boot[13] % 8);
  ASSERT_EQ(sectors, sectors / boot[13] * boot[13]);
  WriteBytes(target, (kStart + sectors) * 512, std::vector<uint8_t>(512, 0));
  InstallNtfsCloneEngine();
  {
    CMountedImage from, to;
    ASSERT_GE(from.OpenImage(source.c_str(), nullptr, 0, 0), 0);
    ASSERT_GE(to.OpenImage(target.c_str(), nullptr, 0, 2), 0);
    ASSERT_GT(from.CloneVolumeTo(&to, nullptr, NTFS_CLONE_KEEP_TARGET_HIDDEN, nullptr, nullptr), 0);
  }
  EXPECT_EQ(boot, ReadBytes(target, kStart * 512, 512));
  EXPECT_EQ(boot, ReadBytes(target, (kStart + sectors) * 512, 512));
  std::string out;
  EXPECT_EQ(0, OnPartition(target, kStart * 512, 81921 * 512ULL, "ntfsfix -n $DEV", &out)) << out;
}

}  // namespace
