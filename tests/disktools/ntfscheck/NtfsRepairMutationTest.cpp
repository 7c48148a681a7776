// The repair never makes a volume worse: single damages (a file record or
// a $MFTMirr record zeroed, torn or overwritten in part, an index block
// likewise, $Bitmap bits flipped, bytes of an attribute list or of $UpCase
// changed, a field of the boot sector changed), one at a time, on a volume
// of mkntfs and ntfs-3g. Whatever the repair answers, no file it could read
// before changes or goes, nor any stream ntfs-3g could read, also once the
// free space is filled; when it answers that it mended the volume, its
// check and ntfsfix -n pass and ntfs-3g reads every such file as it was
// made.
// VRO_MUTATIONS sets how many damages are tried and VRO_MUTATION_SEED their
// draw (bench/repair-mutations.sh runs many and prints the counts).
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "FormatTestUtil.h"
#include "NtfsStreams.h"
#include "disktools/ntfscheck/NtfsCheck.h"
#include "disktools/partition/PartitionResize.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/check/NtfsCheck.h"

using namespace fmt;

namespace {

const uint64_t kStart = 2048;
const uint64_t kPartitionBytes = 24 * 2048 * 512ULL;
const uint32_t kRecord = 1024, kBlock = 4096;

void Quiet(const char*, ...) {}

struct Volume {
  std::string dir;
  std::wstring path;
  std::vector<std::string> files;  // relative, '/'
  std::map<std::string, std::vector<uint8_t>> content;
  std::map<std::string, std::string> sums;        // sha256sum's line of each
  std::vector<uint64_t> records, mirror, blocks;  // byte offsets in the disk
  uint64_t bitmapAt = 0, clusters = 0;
  uint64_t listAt = 0, listBytes = 0;  // the attribute list of streams.txt
  uint64_t upcaseAt = 0;
};

// The files the volume reads as they were made (our own reader).
std::vector<std::string> ReadableFiles(const Volume& v) {
  std::vector<std::string> sound;
  CMountedImage image;
  if (image.OpenImage(v.path.c_str(), nullptr, 0, 0) < 0) return sound;
  for (const std::string& f : v.files) {
    const std::vector<uint8_t>& want = v.content.at(f);
    std::wstring path = L"\\" + vt::Widen(f);
    for (wchar_t& c : path)
      if (c == L'/') c = L'\\';
    std::vector<uint8_t> got(want.size() + 1);
    if (image.ReadFile(path.c_str(), got.data(), 0, got.size()) == want.size() &&
        std::equal(want.begin(), want.end(), got.begin()))
      sound.push_back(f);
  }
  image.Close();
  return sound;
}

Volume MakeVolume() {
  Volume v;
  v.dir = vt::ScratchDirUnix();
  std::string tree = v.dir + "/tree";
  // 120 small files in one folder (its index has blocks), resident and not,
  // and a few in two others.
  EXPECT_EQ(0, vt::Sh("mkdir -p " + tree + "/Many " + tree + "/Dir/Sub && cd " + tree +
                      " && for i in $(seq 100 219); do head -c $((i * 37 % 3000)) /dev/urandom > "
                      "Many/a-file-with-a-long-name-$i.dat; done && head -c 300000 /dev/urandom > "
                      "big.bin && echo one > Dir/one.txt && echo two > Dir/Sub/two.txt"));
  std::string list;
  EXPECT_EQ(0, vt::Sh("cd " + tree +
                          " && find . -type f | cut -c3- | LC_ALL=C sort | "
                          "xargs sha256sum",
                      &list));
  for (size_t at = 0, end; (end = list.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = list.substr(at, end - at + 1), f = line.substr(66, line.size() - 67);
    v.files.push_back(f);
    v.sums[f] = line;
    EXPECT_TRUE(vt::ReadAll(vt::ToWin(tree + "/" + f), v.content[f]));
  }
  v.path = vt::ToWin(v.dir + "/d.img");
  EXPECT_TRUE(
      vt::Fixture("mk-disk.sh " + vt::Q(v.dir + "/d.img") + " --size 24 --tree " + vt::Q(tree)));
  // A file whose 30 streams ntfs-3g spreads over extension records that an
  // attribute list names.
  std::string mnt = vt::Q(v.dir + "/mnt");
  EXPECT_EQ(0, OnPartition(v.path, kStart * 512, kPartitionBytes,
                           "mkdir -p " + mnt + " && ntfs-3g -o streams_interface=windows $DEV " +
                               mnt + " && echo base > " + mnt +
                               "/streams.txt && for i in $(seq 1 "
                               "30); do head -c $((1500 + i * 20)) /dev/urandom > " +
                               mnt + "/streams.txt:s$i; done && umount " + mnt));
  // What the damage is done to: the records in use, the mirror's records,
  // and the index blocks found by their signature.
  std::vector<uint8_t> boot = ReadBytes(v.path, kStart * 512, 512);
  uint64_t mft = kStart * 512 + Le64(&boot[0x30]) * 4096;
  uint64_t mirror = kStart * 512 + Le64(&boot[0x38]) * 4096;
  for (uint32_t n = 0; n < 256; n++) {
    std::vector<uint8_t> rec = ReadBytes(v.path, mft + n * kRecord, kRecord);
    if (!memcmp(&rec[0], "FILE", 4) && (rec[22] & 1)) v.records.push_back(mft + n * kRecord);
    const uint8_t* list = FindAttribute(rec, 0x20);
    if (list && list[8]) {
      // The first run's cluster: the mapping pairs' first LCN field.
      const uint8_t* pairs = list + (list[0x20] | list[0x21] << 8);
      int lengthBytes = pairs[0] & 15, lcnBytes = pairs[0] >> 4;
      uint64_t lcn = 0;
      for (int i = lcnBytes - 1; i >= 0; i--) lcn = lcn << 8 | pairs[1 + lengthBytes + i];
      v.listAt = kStart * 512 + lcn * 4096;
      v.listBytes = Le64(list + 0x30);
    }
  }
  for (uint32_t n = 0; n < 4; n++) v.mirror.push_back(mirror + n * kRecord);
  std::vector<uint8_t> disk = ReadBytes(v.path, kStart * 512, (uint32_t)kPartitionBytes);
  for (uint64_t at = 0; at < disk.size(); at += kBlock)
    if (!memcmp(&disk[at], "INDX", 4)) v.blocks.push_back(kStart * 512 + at);
  CMountedImage image;
  EXPECT_GE(image.OpenImage(v.path.c_str(), nullptr, 0, 0), 0);
  std::vector<ClusterRun> bitmap, upcase;
  CollectFileClusterRuns(&image, L"\\$Bitmap", &bitmap);
  CollectFileClusterRuns(&image, L"\\$UpCase", &upcase);
  image.Close();
  EXPECT_FALSE(bitmap.empty() || upcase.empty());
  if (!bitmap.empty()) v.bitmapAt = kStart * 512 + bitmap[0].lcn * 4096;
  if (!upcase.empty()) v.upcaseAt = kStart * 512 + upcase[0].lcn * 4096;
  EXPECT_GT(v.listBytes, 0u);
  v.clusters = Le64(&boot[0x28]) / 8;
  EXPECT_EQ(v.files.size(), ReadableFiles(v).size());
  EXPECT_GT(v.blocks.size(), 3u);
  return v;
}

// One damage, drawn by the generator: where, and the bytes written there.
struct Damage {
  std::string what;
  uint64_t at;
  std::vector<uint8_t> bytes;
};

Damage Draw(const Volume& v, std::mt19937& rng, int kind) {
  auto pick = [&](uint64_t n) { return uint64_t(rng() % n); };
  auto junk = [&](size_t n) {
    std::vector<uint8_t> b(n);
    for (uint8_t& x : b) x = uint8_t(rng());
    return b;
  };
  // A multi-sector unit: zeroed, a sector end torn, or a few bytes changed.
  auto unit = [&](const char* name, uint64_t at, uint32_t size) {
    int how = (int)pick(3);
    if (how == 0) return Damage{std::string(name) + " zeroed", at, std::vector<uint8_t>(size, 0)};
    if (how == 1) {
      uint64_t end = at + (pick(size / 512) + 1) * 512 - 2;
      std::vector<uint8_t> word = ReadBytes(v.path, end, 2);
      word[0] ^= uint8_t(1 + pick(255));
      return Damage{std::string(name) + " torn", end, word};
    }
    return Damage{std::string(name) + " changed", at + pick(size - 8), junk(1 + pick(8))};
  };
  switch (kind % 7) {
    case 0:
      return unit("record", v.records[pick(v.records.size())], kRecord);
    case 1:
      return unit("mirror record", v.mirror[pick(v.mirror.size())], kRecord);
    case 2:
      return unit("index block", v.blocks[pick(v.blocks.size())], kBlock);
    case 3: {
      // 1 to 64 bits of $Bitmap flipped.
      uint64_t first = pick(v.clusters - 64), count = 1 + pick(64);
      std::vector<uint8_t> map = ReadBytes(v.path, v.bitmapAt + first / 8, 10);
      for (uint64_t c = first; c < first + count; c++)
        map[(c - first / 8 * 8) / 8] ^= uint8_t(1 << (c % 8));
      return Damage{"bitmap bits", v.bitmapAt + first / 8, map};
    }
    case 4:
      return Damage{"attribute list bytes", v.listAt + pick(v.listBytes - 8), junk(1 + pick(8))};
    case 5: {
      // A field of the boot sector: sectors per cluster, hidden sectors,
      // the sector count, where $MFT or $MFTMirr lie; or all of it zeroed.
      static const uint32_t kFields[][2] = {{0x0D, 1}, {0x1C, 4}, {0x28, 2}, {0x30, 2}, {0x38, 2}};
      uint32_t f = (uint32_t)pick(6);
      if (f == 5) return Damage{"boot sector zeroed", kStart * 512, std::vector<uint8_t>(512, 0)};
      return Damage{"boot sector field", kStart * 512 + kFields[f][0], junk(kFields[f][1])};
    }
    default:
      // Entries of $UpCase past the ASCII range.
      return Damage{"upcase bytes", v.upcaseAt + 256 + pick(65536 * 2 - 320), junk(2 + pick(62))};
  }
}

// ntfsfix -n, and a read-only ntfs-3g mount that reads these files as
// they were made (or, with `anyContent`, reads them at all: the bytes of a
// small file's content inside its record can change with nothing to tell).
// 0 when both pass.
int Judge(const Volume& v, const std::vector<std::string>& files, std::string* out,
          bool anyContent = false) {
  std::string sums, list = v.dir + "/files.sha", mnt = vt::Q(v.dir + "/mnt");
  for (const std::string& f : files) sums += v.sums.at(f);
  if (!vt::WriteAll(vt::ToWin(list), sums.data(), sums.size())) return -1;
  std::string read = anyContent ? "cut -c67- " + vt::Q(list) +
                                      " | while IFS= read -r f; do cat \"$f\" "
                                      ">/dev/null || exit 1; done"
                                : "sha256sum -c --quiet " + vt::Q(list);
  return OnPartition(v.path, kStart * 512, kPartitionBytes,
                     "ntfsfix -n $DEV >/dev/null && ntfs-3g -o ro $DEV " + mnt + " && { (cd " +
                         mnt + " && ! [ -s " + vt::Q(list) + " ] || " + read + "); rc=$?; umount " +
                         mnt + "; [ $rc -eq 0 ]; }",
                     out);
}

// 1 when the volume opens (partly, as the check does) and passes.
int CheckImage(const Volume& v) {
  CMountedImage image;
  if (image.OpenImage(v.path.c_str(), nullptr, 0, 2, true) < 0) return 0;
  int passed = CheckNtfsVolume(image.NtfsVolume(), Quiet);
  return image.Close() ? passed : 0;
}

TEST(NtfsRepair, NeverMakesAVolumeWorse) {
  Volume v = MakeVolume();
  ASSERT_FALSE(HasFailure());
  const std::string pristine = v.dir + "/pristine.img", work = v.dir + "/d.img";
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(work) + " " + vt::Q(pristine)));
  ASSERT_EQ(1, CheckImage(v));
  const std::string mnt = v.dir + "/mnt";
  const std::set<std::string> streams = ReadNtfsStreams(work, kStart * 512, kPartitionBytes, mnt);
  ASSERT_GT(streams.size(), v.files.size());
  const char* count = getenv("VRO_MUTATIONS");
  const int mutations = count && atoi(count) > 0 ? atoi(count) : 70;
  const char* seed = getenv("VRO_MUTATION_SEED");
  std::mt19937 rng(seed ? (unsigned)atoi(seed) : 63u);
  std::map<std::string, int> tally;
  auto failures = [] {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  };
  for (int i = 0; i < mutations; i++) {
    const int failuresBefore = failures();
    Damage damage = Draw(v, rng, i);
    SCOPED_TRACE(std::to_string(i) + ": " + damage.what + " at " + std::to_string(damage.at) +
                 ": " +
                 Hex(damage.bytes.data(), damage.bytes.size() < 16 ? damage.bytes.size() : 16));
    WriteBytes(v.path, damage.at, damage.bytes);
    std::vector<std::string> before = ReadableFiles(v);
    std::set<std::string> damaged = ReadNtfsStreams(work, kStart * 512, kPartitionBytes, mnt);
    std::set<std::string> readable = MissingStreams(damaged, MissingStreams(damaged, streams));
    int checked = CheckImage(v);
    int repaired = 0;
    {
      CMountedImage image;
      if (image.OpenImage(v.path.c_str(), nullptr, 0, 2, true) >= 0) {
        repaired = RepairNtfsPartition(&image);
        if (!image.Close()) repaired = 0;
      }
    }
    tally[checked ? "check passed" : "check found damage"]++;
    // A damage the check passes is one the judges pass too.
    std::string judgedBefore;
    if (checked && Judge(v, v.files, &judgedBefore, true)) {
      ADD_FAILURE() << "the check passed a volume the judges fail\n" << judgedBefore;
      tally["check passed what the judges fail"]++;
    }
    tally[repaired ? "repaired" : "repair refused"]++;
    if (repaired) {
      EXPECT_EQ(1, CheckImage(v)) << "a repair that said it mended the volume";
      // ntfsfix, and ntfs-3g reads the files our reader read before.
      std::string out;
      int judged = Judge(v, before, &out);
      EXPECT_EQ(0, judged) << out;
      if (judged) tally["judges fail after a repair"]++;
    } else {
      // Refused: what our reader read before, it still reads.
      std::vector<std::string> after = ReadableFiles(v);
      for (const std::string& f : before)
        if (std::find(after.begin(), after.end(), f) == after.end()) {
          ADD_FAILURE() << f << " was readable before the refused repair";
          tally["files lost by a refused repair"]++;
        }
    }
    // Whatever it answered, the streams ntfs-3g read before read the same,
    // also once the free space is filled.
    std::set<std::string> lost =
        MissingStreams(readable, ReadNtfsStreams(work, kStart * 512, kPartitionBytes, mnt, true));
    for (const std::string& line : lost) ADD_FAILURE() << "lost: " << line;
    if (!lost.empty()) tally["streams lost once the free space was filled"]++;
    if (failures() != failuresBefore) tally["damages with a failure"]++;
    ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(pristine) + " " + vt::Q(work)));
  }
  std::string summary = "damages " + std::to_string(mutations) + " (seed " +
                        std::to_string(seed ? atoi(seed) : 63) + ")";
  for (const auto& t : tally) summary += "; " + t.first + " " + std::to_string(t.second);
  printf("%s\n", summary.c_str());
}

}  // namespace
