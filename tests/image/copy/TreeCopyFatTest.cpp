// Tree copies into and out of FAT32 and exFAT volumes through the same
// engine, read back by mtools (FAT32) and compared on the host.
#include <gtest/gtest.h>

#include "../TreeCopyTestUtil.h"
#include "image/copy/TreeCopy.h"

namespace {

using tc::Image;
using tc::Recorder;

std::string MakeTree(const std::string& dir) {
  std::string t = dir + "/tree";
  EXPECT_EQ(0,
            vt::Sh("set -e; mkdir -p " + vt::Q(t) + " && cd " + vt::Q(t) +
                   " && mkdir -p 'a/b/c' 'empty' '日本語' && : > empty.bin"
                   " && head -c 65536 /dev/urandom > a/64k && head -c 65537 /dev/urandom > a/b/64k1"
                   " && head -c 3145739 /dev/urandom > 'big file.dat'"
                   " && printf 'ナ' > '日本語/한국어.txt' && printf leaf > a/b/c/leaf.txt"));
  return t;
}

class TreeCopyFat : public ::testing::TestWithParam<const char*> {};

TEST_P(TreeCopyFat, RoundTripIsByteExactAndFullVolumeLeavesNothing) {
  std::string fs = GetParam();
  std::string base = vt::ScratchDirUnix();
  std::string tree = MakeTree(base);
  Image img = tc::MakeImage(fs, 40, "", base);
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 2), 0) << fs;
    ASSERT_TRUE(m.FatVolume()) << fs;
    uint64_t missing = 0;
    Recorder rec;
    // 6 files and 6 folders (the top one included).
    EXPECT_EQ(12,
              InjectHostPath(&m, vt::ToWin(tree).c_str(), L"\\Tree", &missing, tc::Record, &rec));
    EXPECT_EQ(0, rec.Count(VCC_FILE_FAILED));

    // Too big for what is left: refused, nothing left behind.
    uint64_t free = 0;
    ASSERT_EQ(1, m.GetVolumeSpace(nullptr, &free));
    std::string huge = base + "/huge.bin";
    ASSERT_EQ(0, vt::Sh("head -c " + std::to_string(free + 4096) + " /dev/zero > " + vt::Q(huge)));
    EXPECT_EQ(
        0, InjectHostPath(&m, vt::ToWin(huge).c_str(), L"\\huge.bin", &missing, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
    EXPECT_EQ(4096u, missing);
    EXPECT_EQ(0, m.GetPathType(L"\\huge.bin"));
  }
  if (fs == "fat32") {
    std::string vol = tc::Volume(img);
    std::string diffs;
    EXPECT_EQ(0, vt::Sh("cd " + vt::Q(tree) + " && find . -type f | while read -r f; do mtype -i " +
                            vt::Q(vol) +
                            " \"::/Tree/${f#./}\" | cmp -s - \"$f\" || echo \"differs: $f\"; done",
                        &diffs));
    EXPECT_EQ("", diffs);
    EXPECT_EQ(0, vt::Sh("fsck.fat -n " + vt::Q(vol) + " >/dev/null"));
  }
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 0), 0);
    EXPECT_EQ(1, ExtractToHost(&m, L"\\Tree", vt::ToWin(base + "/out").c_str(), nullptr, nullptr));
  }
  std::string report;
  EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(tree) + " " + vt::Q(base + "/out"), &report)) << report;
}

INSTANTIATE_TEST_SUITE_P(Kinds, TreeCopyFat, ::testing::Values("fat32", "exfat"));

TEST(TreeCopyFatHostile, DeviceNamesPutByMcopyAreRefused) {
  std::string base = vt::ScratchDirUnix();
  Image img = tc::MakeImage("fat32", 40, "", base);
  std::string vol = tc::Volume(img);
  ASSERT_EQ(0,
            vt::Sh("cd " + vt::Q(base) + " && printf x > x && mcopy -i " + vt::Q(vol) +
                   " x ::aux.txt && mcopy -i " + vt::Q(vol) + " x ::com1.log && mcopy -i " +
                   vt::Q(vol) + " x ::a..b && dd if=" + vt::Q(vol) + " of=" + vt::Q(img.unixPath) +
                   " bs=512 seek=" + std::to_string(img.start) + " conv=notrunc status=none"));
  CMountedImage m;
  ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 0), 0);
  ASSERT_TRUE(m.FatVolume());
  Recorder rec;
  EXPECT_EQ(0, ExtractToHost(&m, L"\\", vt::ToWin(base + "/out").c_str(), tc::Record, &rec));
  EXPECT_EQ(2, rec.Count(VCC_FILE_FAILED));
  std::string inside;
  vt::Sh("cd " + vt::Q(base + "/out") + " && find . -type f | sort", &inside);
  EXPECT_EQ("./a..b\n", inside);
}

}  // namespace
