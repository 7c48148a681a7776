// A tree copy into an overlay that stops at each of its writes (or whose
// write fails there, or whose flush to the disk fails), as a killed process
// leaves it: the copy reports the failure; the overlay chain opens again and
// every block of the files an earlier copy put there reads back as it was,
// through the chain and, by dd and cmp, from a plain copy of the disk made
// through it; the volume mounts (the first $MFT records may differ from
// their copy) and the earlier folder extracts whole. (The copy's own
// folder may not: the disk is what a plain disk holds when the writer dies
// at that write, and the volume library may be half way through moving a
// folder's index into a block.) A copy that reports done flushed every
// write.
#include <gtest/gtest.h>

#include <unordered_map>

#include "../ImagePatch.h"
#include "../OverlayChainTestUtil.h"
#include "../MountedImageTestUtil.h"
#include "../TreeCopyTestUtil.h"
#include "../WriteFaults.h"
#include "image/copy/TreeCopy.h"

namespace {

const size_t kBlock = 4096;

struct Setup : oc::Chain {
  // Disk offset of every whole 4 KiB block of folder A's files, and the block.
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> blocks;
};

// 8 MiB NTFS disk in the own format; folder A copied in by a first command
// into the update file (or write-back file), which is saved.
Setup MakeSetup(bool fix) {
  Setup s;
  static_cast<oc::Chain&>(s) = oc::MakeChain(
      fix,
      "mkdir -p A/Sub B/Deep/er; head -c 70000 /dev/urandom > A/one.bin;"
      " printf acknowledged > A/Sub/two.txt; head -c 200000 /dev/urandom > A/three;"
      " for i in 1 2 3 4 5 6; do head -c $((i * 50000)) /dev/urandom > B/f$i; done;"
      " head -c 300000 /dev/urandom > B/Deep/er/g; head -c 900000 /dev/urandom > B/big",
      "A", 5);
  // Where the volume keeps A's data: its clusters are 4 KiB blocks of the
  // disk (the volume starts at 1 MiB).
  std::vector<uint8_t> disk = s.ReadDisk();
  std::unordered_map<std::string, uint64_t> at;
  for (size_t o = 0; o + kBlock <= disk.size(); o += kBlock)
    at.emplace(std::string((const char*)&disk[o], kBlock), o);
  for (const char* f : {"one.bin", "three"}) {
    std::vector<uint8_t> data;
    EXPECT_TRUE(vt::ReadAll(vt::ToWin(s.dir + "/A/" + f), data));
    for (size_t o = 0; o + kBlock <= data.size(); o += kBlock) {
      std::vector<uint8_t> b(data.begin() + o, data.begin() + o + kBlock);
      auto hit = at.find(std::string((const char*)b.data(), kBlock));
      EXPECT_NE(at.end(), hit) << f << " block " << o / kBlock << " not on the disk";
      if (hit != at.end()) s.blocks.push_back({hit->second, b});
    }
  }
  EXPECT_EQ(17u + 48u, s.blocks.size());
  return s;
}

// The second command: folder B copied in. False when it reported a failure.
bool CopyB(const Setup& s) {
  CMountedImage m;
  if (s.OpenImage(m, 1) < 0) return false;
  uint64_t missing = 0;
  int n = InjectHostPath(&m, vt::ToWin(s.dir + "/B").c_str(), L"\\B", &missing, nullptr, nullptr);
  return m.Close() && n == 11;
}

// plainCopy: also through a plain copy of the disk read by dd and cmp;
// whole: the volume mounts and the earlier folder extracts whole.
void ExpectIntact(const Setup& s, const std::string& where, bool plainCopy, bool whole) {
  if (whole) {
    CMountedImage m;
    ASSERT_LE(0, s.OpenImage(m, 0)) << where;
    ASSERT_EQ(0, vt::Sh("rm -rf " + vt::Q(s.dir + "/out")));
    EXPECT_EQ(1, ExtractToHost(&m, L"\\A", vt::ToWin(s.dir + "/out").c_str(), nullptr, nullptr))
        << where;
    ExtractToHost(&m, L"\\", vt::ToWin(s.dir + "/out").c_str(), nullptr, nullptr);
    std::string out;
    EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(s.dir + "/A") + " " + vt::Q(s.dir + "/out/A"), &out))
        << where << out;
  }
  std::vector<uint8_t> disk = s.ReadDisk();
  std::string dd;
  for (const auto& b : s.blocks) {
    ASSERT_LE(b.first + kBlock, disk.size());
    EXPECT_EQ(0, memcmp(&disk[b.first], b.second.data(), kBlock))
        << where << ": block at " << b.first;
    dd += " " + std::to_string(b.first / kBlock);
  }
  if (!plainCopy) return;
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(s.dir + "/plain.img"), disk));
  // The same blocks, read from the plain copy by other tools, match the
  // host files (block i of one.bin, then of three).
  std::string out;
  EXPECT_EQ(0, vt::Sh("cd " + vt::Q(s.dir) +
                          " && i=0 && for b in" + dd +
                          "; do if [ $i -lt 17 ]; then f=A/one.bin; k=$i; else f=A/three;"
                          " k=$((i - 17)); fi; dd if=plain.img of=x bs=4096 skip=$b count=1"
                          " status=none && dd if=$f of=y bs=4096 skip=$k count=1 status=none &&"
                          " cmp x y || exit 1; i=$((i + 1)); done",
                      &out))
      << where << ": " << out;
}

void EveryWriteOfACopy(bool fix) {
  Setup s = MakeSetup(fix);
  ASSERT_FALSE(::testing::Test::HasFailure());
  int writes, flushes;
  {
    it::WriteFaults count(it::WriteFaults::COUNT, 0);
    ASSERT_TRUE(CopyB(s));
    writes = count.Count();
    flushes = count.Flushes();
    EXPECT_EQ(writes, count.FlushedWrites());
  }
  ASSERT_LT(10, writes);
  ASSERT_LE(1, flushes);
  const char* names[] = {"", "failed write ", "stopped write ", "failed flush "};
  for (int mode = it::WriteFaults::FAIL; mode <= it::WriteFaults::FAIL_FLUSH; mode++) {
    int last = mode == it::WriteFaults::FAIL_FLUSH ? flushes : writes;
    for (int n = 1; n <= last; n++) {
      std::string where = names[mode] + std::to_string(n) + " of " + std::to_string(last);
      ASSERT_TRUE(CopyFileW(s.saved.c_str(), s.top.c_str(), FALSE));
      {
        it::WriteFaults faults((it::WriteFaults::Mode)mode, n);
        EXPECT_FALSE(CopyB(s)) << where;
      }
      // The other tools' check costs a process: at every tenth write.
      ExpectIntact(s, where, n % 10 == 0 || n == last, true);
      if (::testing::Test::HasFailure()) return;
    }
  }
}

TEST(TreeCopyCrash, EveryWriteOfACopyIntoAnUpdateFile) {
  EveryWriteOfACopy(false);
}

TEST(TreeCopyCrash, EveryWriteOfACopyIntoAWriteBackFile) {
  EveryWriteOfACopy(true);
}

// A writer that died after the record of a folder whose index grew a level
// reached the disk, but before the new top block did: the names of the
// blocks below it that are whole list and open (their files extract as they
// were), the top block's are absent, the rest of the volume extracts whole,
// and the extract says that it missed some (the folder fails).
TEST(TreeCopyCrash, FolderWhoseTopIndexBlockWasNeverWritten) {
  std::string base = vt::ScratchDirUnix();
  std::string tree = base + "/tree";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree + "/many") + " && cd " + vt::Q(tree + "/many") +
                      " && for i in $(seq 1000 1600); do printf $i > f$i.txt; done"));
  tc::Image img = tc::MakeImage("ntfs", 16, tree, base);
  std::string vol = tc::Volume(img);
  uint32_t dir = ip::NtfsInode(vol, "/many");
  ASSERT_NE(0u, dir);
  // The block the index root leads to (4 KiB clusters and blocks), zeroed.
  std::string out;
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(base) + " && ntfsinfo -v -i " + std::to_string(dir) + " " +
                          vt::Q(vol) + " > info && python3 -c \"import re; t = open('info').read();"
                          " v = int(re.search(r'Subnode VCN:\\s+(\\d+)', t).group(1));"
                          " r = re.search(r'Runlist:.*\\n\\s+(0x\\w+)\\s+(0x\\w+)', t);"
                          " print(int(r.group(2), 16) - int(r.group(1), 16) + v)\" > top &&"
                          " dd if=/dev/zero of=disk.img bs=4096 count=1 conv=notrunc status=none"
                          " seek=$(( " + std::to_string(img.start) + " / 8 + $(cat top) ))",
                      &out))
      << out;
  tc::Volume(img);
  // ntfs-3g's own lookup goes through the top block.
  EXPECT_NE(0, vt::Sh("ntfscat -f " + vt::Q(vol) + " /many/f1300.txt > /dev/null 2>&1"));
  CMountedImage m;
  ASSERT_LE(0, m.OpenImage(img.path.c_str(), nullptr, 0, 0));
  EXPECT_EQ(0, ExtractToHost(&m, L"\\", vt::ToWin(base + "/out").c_str(), nullptr, nullptr));
  EXPECT_EQ(0, vt::Sh("cd " + vt::Q(base) + " && n=0 && for f in out/many/*; do"
                      " cmp -s $f tree/many/${f##*/} || exit 1; n=$((n + 1)); done;"
                      " [ $n -gt 500 ] && [ $n -lt 601 ]",
                      &out))
      << out;
}

}  // namespace
