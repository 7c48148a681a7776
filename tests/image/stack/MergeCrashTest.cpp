// Merges cut off at every write (failed, or stopped as by a process that
// died there, its write torn at a page) and at every flush that fails: the
// next open finds the base file exactly as it was, or wholly merged, and the
// merged file as it was or gone; merging the same file again leaves exactly
// the merged disk. A write-back file merged into the update file it stands
// on leaves the update file old or merged, opening over its base either way;
// one merged into a dynamic VHD (made by qemu-img), which takes new blocks
// for it, leaves the VHD old or merged.
#include <gtest/gtest.h>
#include <cstring>

#include "../ImageTestUtil.h"
#include "../WriteFaults.h"
#include "FileTimes.h"
#include "image/stack/ImageMerge.h"
#include "image/stack/MountRw.h"

using namespace it;

namespace {

std::vector<uint8_t> ReadChain(_VROH_MOUNT_RW& d) {
  std::vector<uint8_t> all((size_t)d.DiskBytes());
  EXPECT_EQ((int64_t)all.size(), d.ReadBytes(nullptr, 0, all.data(), (uint32_t)all.size()));
  return all;
}

void WriteRuns(_VROH_MOUNT_RW& d, uint32_t seed, int runs) {
  std::mt19937 rng(seed);
  uint64_t sectors = d.DiskBytes() / 512;
  for (int i = 0; i < runs; i++) {
    uint32_t count = rng() % 3 == 0 ? 1 + rng() % 600 : 1 + rng() % 24;
    uint64_t at = rng() % (sectors - count);
    std::vector<uint8_t> data = Random(count * 512, seed * 100 + i);
    EXPECT_EQ((int64_t)data.size(), d.WriteBytes(nullptr, at * 512, data.data(), data.size()));
  }
}

enum Top { kUpdateFile, kWriteBack, kWriteBackOverUpdate, kWriteBackOverDynamicVhd };

class Merge {
 public:
  // What is merged: the base's first update file, a write-back file over
  // the base, or a write-back file over that update file (merged into it).
  explicit Merge(Top top) : m_TopKind(top) {
    std::wstring dir = vt::ScratchDir();
    if (top == kWriteBackOverDynamicVhd) {
      // 8 MiB in blocks of 2 MiB: data in the first only, the others not
      // allocated.
      m_Image = Path(dir, L"b.vhd");
      const std::string raw = vt::ToUnix(Path(dir, L"b.raw"));
      EXPECT_EQ(0, vt::Sh("head -c 1M /dev/urandom > " + vt::Q(raw) + " && truncate -s 8M " +
                          vt::Q(raw) + " && qemu-img convert -f raw -O vpc -o " +
                          "subformat=dynamic,force_size=on " + vt::Q(raw) + " " +
                          vt::Q(vt::ToUnix(m_Image))));
    } else {
      m_Image = Path(dir, L"b.vmd");
      EXPECT_EQ(0, _VROH_RW_CLASS::Create(m_Image.c_str(), 8, 6));
      _VROH_MOUNT_RW d;
      EXPECT_EQ(VRO_CHAIN_SPARSE_BASE_WRITES, d.OpenChain(m_Image.c_str(), L"", VRO_WRITE_BASE));
      WriteRuns(d, 1, 12);
    }
    std::wstring update = m_Image + L"_01.Upd";
    if (top == kUpdateFile || top == kWriteBackOverUpdate) {
      _VROH_MOUNT_RW d;
      EXPECT_LT(0, d.OpenChain(m_Image.c_str(), L"", VRO_WRITE_OVERLAY));
      WriteRuns(d, 3, 16);
      EXPECT_EQ(0, d.CloseLayers());
    }
    m_Base = top == kWriteBackOverUpdate ? update : m_Image;
    m_Top = top == kUpdateFile ? update : Path(dir, L"ws.Fix");
    if (top != kUpdateFile) {
      _VROH_MOUNT_RW d;
      EXPECT_LT(0, d.OpenChain(m_Base.c_str(), m_Top.c_str(), VRO_WRITE_OVERLAY));
      WriteRuns(d, 2, 24);
      EXPECT_EQ(0, d.CloseLayers());
    }
    m_Old = ReadBase();
    m_Merged = ReadMerged();
    EXPECT_TRUE(m_Old != m_Merged);
    EXPECT_TRUE(vt::ReadAll(m_Base, m_BaseFile));
    EXPECT_TRUE(vt::ReadAll(m_Top, m_TopFile));
    m_BaseTime = vt::WriteTimeOf(m_Base);
  }

  // The files as they were (the base's last-write time too: a write-back
  // file over a VHD is bound to it).
  void Restore() {
    ASSERT_TRUE(vt::WriteAll(m_Base, m_BaseFile));
    ASSERT_TRUE(vt::SetWriteTime(m_Base, m_BaseTime));
    ASSERT_TRUE(vt::WriteAll(m_Top, m_TopFile));
  }
  int Run() { return ConvertImageChain(m_Base.c_str(), m_Top.c_str(), nullptr); }
  // The disk the merge writes into: the base, or the update file over it
  // (which must open over its base, never as an image of its own).
  std::vector<uint8_t> ReadBase() {
    _VROH_MOUNT_RW d;
    int r = d.OpenChain(m_Base.c_str(), L"", VRO_WRITE_NONE);
    if (m_TopKind != kWriteBackOverDynamicVhd) {
      EXPECT_EQ(m_Base == m_Image ? VRO_CHAIN_SPARSE_READ_ONLY : VRO_CHAIN_UPDATE, r);
    }
    return r > 0 ? ReadChain(d) : std::vector<uint8_t>();
  }
  // The disk as mounted with the file being merged on top.
  std::vector<uint8_t> ReadMerged() {
    _VROH_MOUNT_RW d;
    bool fix = m_TopKind != kUpdateFile;
    int r = fix ? d.OpenChain(m_Base.c_str(), m_Top.c_str(), VRO_WRITE_NONE)
                : d.OpenChain(m_Top.c_str(), L"", VRO_WRITE_NONE);
    if (m_TopKind != kWriteBackOverDynamicVhd) {
      EXPECT_EQ(m_TopKind == kWriteBack ? VRO_CHAIN_SPARSE_FIX : VRO_CHAIN_UPDATE, r);
    }
    return r > 0 ? ReadChain(d) : std::vector<uint8_t>();
  }
  // The merged file as it was; over a VHD, it may also hold the state the
  // merge would have left the base in (written before the base's journal
  // completes), which changes nothing it gives.
  bool TopUnchanged() {
    std::vector<uint8_t> now;
    if (!vt::ReadAll(m_Top, now) || now.size() != m_TopFile.size()) return false;
    if (m_TopKind == kWriteBackOverDynamicVhd)
      memcpy(&now[vroimg::kOffMergedState], &m_TopFile[vroimg::kOffMergedState],
             vroimg::kBaseStateBytes);
    return now == m_TopFile;
  }

  Top m_TopKind;
  std::wstring m_Image, m_Base, m_Top;
  std::vector<uint8_t> m_Old, m_Merged, m_BaseFile, m_TopFile;
  uint64_t m_BaseTime = 0;
};

void EveryWriteOfAMerge(Top top) {
  Merge m(top);
  int writes, flushes;
  {
    WriteFaults count(WriteFaults::COUNT, 0);
    ASSERT_EQ(1, m.Run());
    writes = count.Count();
    flushes = count.Flushes();
  }
  std::vector<uint8_t> mergedFile;
  ASSERT_TRUE(vt::ReadAll(m.m_Base, mergedFile));
  EXPECT_TRUE(m.ReadBase() == m.m_Merged);
  EXPECT_FALSE(vt::FileExists(m.m_Top));
  ASSERT_LT(10, writes);
  int old = 0;
  for (int mode = WriteFaults::FAIL; mode <= WriteFaults::FAIL_FLUSH; mode++) {
    int last = mode == WriteFaults::FAIL_FLUSH ? flushes : writes;
    for (int n = 1; n <= last; n++) {
      static const char* const kNames[] = {"", "failed write ", "stopped at write ",
                                           "failed flush "};
      std::string where = kNames[mode] + std::to_string(n);
      m.Restore();
      {
        WriteFaults faults((WriteFaults::Mode)mode, n);
        m.Run();
      }
      // The next open rolls a merge cut off back: the base is the file it
      // was, byte for byte, and the merged file is untouched; or the merge
      // is whole.
      std::vector<uint8_t> base = m.ReadBase(), file;
      ASSERT_TRUE(vt::ReadAll(m.m_Base, file)) << where;
      if (base == m.m_Old) {
        old++;
        EXPECT_TRUE(file == m.m_BaseFile) << where << ": the base file is not as it was";
        EXPECT_TRUE(m.TopUnchanged()) << where;
        EXPECT_TRUE(m.ReadMerged() == m.m_Merged) << where;
      } else {
        EXPECT_TRUE(base == m.m_Merged) << where << ": the base is neither old nor merged";
        EXPECT_TRUE(!vt::FileExists(m.m_Top) || m.TopUnchanged()) << where;
      }
      EXPECT_FALSE(vt::FileExists(m.m_Base + L".journal")) << where;
      if (vt::FileExists(m.m_Top)) {
        ASSERT_EQ(1, m.Run()) << where << ", merged again";
      }
      EXPECT_TRUE(m.ReadBase() == m.m_Merged) << where << ", merged again";
      EXPECT_FALSE(vt::FileExists(m.m_Top)) << where;
      if (::testing::Test::HasFailure()) return;
    }
  }
  EXPECT_LT(writes, old);
}

TEST(MergeCrash, EveryWriteOfAnUpdateFileMerge) {
  EveryWriteOfAMerge(kUpdateFile);
}

TEST(MergeCrash, EveryWriteOfAWriteBackMerge) {
  EveryWriteOfAMerge(kWriteBack);
  if (::testing::Test::HasFailure()) return;
  EveryWriteOfAMerge(kWriteBackOverDynamicVhd);
  if (::testing::Test::HasFailure()) return;
  // What the merge left, qemu-img reads as the merged disk.
  Merge m(kWriteBackOverDynamicVhd);
  ASSERT_EQ(1, m.Run());
  const std::string raw = vt::ToUnix(m.m_Image) + ".raw";
  ASSERT_EQ(0, vt::Sh("qemu-img convert -f vpc -O raw " + vt::Q(vt::ToUnix(m.m_Image)) + " " +
                      vt::Q(raw)));
  std::vector<uint8_t> read;
  ASSERT_TRUE(vt::ReadAll(vt::ToWin(raw), read));
  ASSERT_LE(m.m_Merged.size(), read.size());
  read.resize(m.m_Merged.size());
  EXPECT_TRUE(read == m.m_Merged);
}

// The update file merged into stays one: after the merge, whole or rolled
// back, it merges into its base, which then holds the three files' disk.
TEST(MergeCrash, EveryWriteOfAWriteBackIntoAnUpdateFileMerge) {
  EveryWriteOfAMerge(kWriteBackOverUpdate);
  if (::testing::Test::HasFailure()) return;
  Merge m(kWriteBackOverUpdate);
  ASSERT_EQ(1, m.Run());
  ASSERT_EQ(1, ConvertImageChain(m.m_Image.c_str(), m.m_Base.c_str(), nullptr));
  _VROH_MOUNT_RW d;
  ASSERT_EQ(VRO_CHAIN_SPARSE_READ_ONLY, d.OpenChain(m.m_Image.c_str(), L"", VRO_WRITE_NONE));
  EXPECT_TRUE(ReadChain(d) == m.m_Merged);
}

}  // namespace
