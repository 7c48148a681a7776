// A volume command into an overlay stopped at a write to the overlay file
// (a process that dies there), or whose write fails there: the volume read
// back through the reopened chain is the volume before the command with the
// command's first M volume writes applied, for an M no smaller than the
// writes before its last completed flush, as a plain disk would hold. The
// command copies many files into the folder that holds the files an earlier
// command reported done, so the folder's index grows into blocks it never
// had.
#include <gtest/gtest.h>

#include <memory>

#include "../TreeCopyTestUtil.h"
#include "../MountedImageTestUtil.h"
#include "../VolumeWriteRecorder.h"
#include "../WriteFaults.h"
#include "image/copy/TreeCopy.h"
#include "image/stack/MountRw.h"

namespace {

struct Setup {
  std::string dir;
  std::wstring own, second, top, saved;
  bool fix;

  int OpenImage(CMountedImage& m, int mode) const {
    return fix ? m.OpenImage(own.c_str(), second.c_str(), 0, mode)
               : m.OpenImage(top.c_str(), nullptr, 0, mode);
  }
  std::vector<uint8_t> ReadDisk() const {
    _VROH_MOUNT_RW d;
    EXPECT_LT(0, fix ? d.OpenChain(own.c_str(), top.c_str(), 0) : d.OpenChain(top.c_str(), L"", 0));
    std::vector<uint8_t> disk((size_t)d.DiskBytes());
    EXPECT_EQ((int64_t)disk.size(), d.ReadBytes(nullptr, 0, disk.data(), disk.size()));
    return disk;
  }
};

// An 8 MiB NTFS disk in the own format whose folder Data got two files
// through an earlier command into the update (or write-back) file; host
// folder B holds 70 files for the command under test.
Setup MakeSetup(bool fix) {
  Setup s;
  tc::Image img = tc::MakeImage("ntfs", 8);
  s.dir = img.dir;
  s.fix = fix;
  EXPECT_EQ(0, vt::Sh("set -e; cd " + vt::Q(s.dir) +
                      "; mkdir -p Data B; head -c 70000 /dev/urandom > Data/one.bin;"
                      " printf acknowledged > Data/two.txt;"
                      " for i in $(seq 10 79); do head -c $((i * 97 % 9000 + 100)) /dev/urandom"
                      " > B/file-with-a-longer-name-$i.dat; done"));
  s.own = mi::CopyIntoOwnImage(img.path, s.dir);
  s.second = vt::ToWin(s.dir + "/ws.x");
  s.top = fix ? vt::ToWin(s.dir + "/ws.Fix") : s.own + L"_01.Upd";
  CMountedImage m;
  EXPECT_GE(fix ? m.OpenImage(s.own.c_str(), s.second.c_str(), 0, 1)
                : m.OpenImage(s.own.c_str(), nullptr, 0, 1),
            0);
  uint64_t missing = 0;
  EXPECT_EQ(3, InjectHostPath(&m, vt::ToWin(s.dir + "/Data").c_str(), L"\\Data", &missing,
                              nullptr, nullptr));
  EXPECT_TRUE(m.Close());
  s.saved = s.top + L".saved";
  EXPECT_TRUE(CopyFileW(s.top.c_str(), s.saved.c_str(), FALSE));
  return s;
}

// The command: B's files into Data, with the volume's writes recorded from
// after the mount (which is flushed, so the disk before is what the file
// holds). *before gets that disk; true when the command reported done.
bool CopyIntoData(const Setup& s, std::unique_ptr<it::VolumeWriteRecorder>* rec,
                  std::vector<uint8_t>* before, std::unique_ptr<it::WriteFaults>* faults,
                  it::WriteFaults::Mode mode, int at) {
  CMountedImage m;
  if (s.OpenImage(m, 1) < 0) return false;
  DiskIoBlock* block = m.IoBlock();
  EXPECT_EQ(0, block->sync(block->owner));
  before->resize((size_t)static_cast<_VROH_MOUNT_RW*>(block->owner)->DiskBytes());
  EXPECT_EQ((int)before->size(), block->read(block->owner, 0, before->data(), before->size()));
  faults->reset(new it::WriteFaults(mode, at));
  rec->reset(new it::VolumeWriteRecorder(block));
  uint64_t missing = 0;
  int n = InjectHostPath(&m, vt::ToWin(s.dir + "/B/*").c_str(), L"\\Data", &missing, nullptr,
                         nullptr);
  return m.Close() && n == 70;
}

void EveryWriteKeepsAPrefix(bool fix) {
  Setup s = MakeSetup(fix);
  ASSERT_FALSE(::testing::Test::HasFailure());
  int writes;
  {
    std::unique_ptr<it::VolumeWriteRecorder> rec;
    std::unique_ptr<it::WriteFaults> count;
    std::vector<uint8_t> before;
    ASSERT_TRUE(CopyIntoData(s, &rec, &before, &count, it::WriteFaults::COUNT, 0));
    writes = count->Count();
    // The close flushed everything the command wrote.
    EXPECT_EQ(rec->Writes().size(), rec->Flushed());
    std::string why;
    EXPECT_EQ((long)rec->Writes().size(), rec->MatchPrefix(before, s.ReadDisk(), &why)) << why;
    count.reset();
    ASSERT_TRUE(CopyFileW(s.saved.c_str(), s.top.c_str(), FALSE));
  }
  ASSERT_LT(100, writes);
  // Every write early on (the index of Data grows there), then about 40
  // spread over the rest.
  std::vector<int> points;
  for (int n = 1; n <= writes; n += n < 30 ? 1 : writes / 40 + 1) points.push_back(n);
  points.push_back(writes);
  for (int mode = it::WriteFaults::FAIL; mode <= it::WriteFaults::STOP; mode++) {
    for (int n : points) {
      std::string where = std::string(mode == it::WriteFaults::FAIL ? "failed" : "stopped") +
                          " write " + std::to_string(n) + " of " + std::to_string(writes);
      ASSERT_TRUE(CopyFileW(s.saved.c_str(), s.top.c_str(), FALSE));
      std::unique_ptr<it::VolumeWriteRecorder> rec;
      std::unique_ptr<it::WriteFaults> faults;
      std::vector<uint8_t> before;
      EXPECT_FALSE(CopyIntoData(s, &rec, &before, &faults, (it::WriteFaults::Mode)mode, n))
          << where;
      faults.reset();
      std::string why;
      EXPECT_LE(0, rec->MatchPrefix(before, s.ReadDisk(), &why))
          << where << ": no prefix of the volume's " << rec->Writes().size() << " writes ("
          << rec->Flushed() << " flushed) gives the disk: " << why;
      if (::testing::Test::HasFailure()) return;
    }
  }
  // The earlier files read back whole after the last stop.
  CMountedImage m;
  ASSERT_LE(0, s.OpenImage(m, 0));
  EXPECT_TRUE(mi::SameAsHostFile(mi::ReadWhole(m, L"\\Data\\one.bin"), s.dir + "/Data/one.bin"));
}

TEST(OverlayPrefix, ManyFilesIntoAFolderOfAnUpdateFile) {
  EveryWriteKeepsAPrefix(false);
}

TEST(OverlayPrefix, ManyFilesIntoAFolderOfAWriteBackFile) {
  EveryWriteKeepsAPrefix(true);
}

}  // namespace
