// "-noupd /format" through the program on FAT32 volumes as mkfs.fat makes
// them by default, from the smallest it makes without a warning to 2 GiB:
// each becomes an empty FAT32 volume that fsck.fat -n passes and that
// takes a file mtools reads back. Images are sparse.
#include <gtest/gtest.h>

#include "BatchTestUtil.h"

using namespace bt;

namespace {

TEST(FormatBatch, EveryFat32VolumeMkfsMakes) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree", image = dir + "/fat.img",
              part = dir + "/part.img";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree) + " && printf old > " + vt::Q(tree + "/old.txt") +
                      " && printf new > " + vt::Q(dir + "/new.txt")));
  for (int mib : {33, 64, 128, 2048}) {
    std::string out;
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --layout mbr2048 --fs fat32 --size " +
                                std::to_string(mib) + " --tree " + vt::Q(tree),
                            &out));
    const long start = atol(out.c_str());
    EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(image)) + L"-noupd /format")) << mib;
    EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(image)) + L"-noupd \"/inject:\\new.txt::" +
                         vt::ToWin(dir + "/new.txt") + L"\""))
        << mib;
    ASSERT_EQ(0, vt::Sh("rm -f " + vt::Q(part) + " && dd if=" + vt::Q(image) +
                        " of=" + vt::Q(part) + " bs=1M iflag=skip_bytes skip=" +
                        std::to_string(start * 512) + " conv=sparse status=none"));
    std::string fsck, listing, text;
    EXPECT_EQ(0, vt::Sh("fsck.fat -n -v " + vt::Q(part) + " 2>&1", &fsck)) << mib << "\n" << fsck;
    EXPECT_NE(std::string::npos, fsck.find("32 bit entries")) << mib << "\n" << fsck;
    EXPECT_EQ(0, vt::Sh("MTOOLS_SKIP_CHECK=1 mdir -b -i " + vt::Q(part) + " ::", &listing)) << mib;
    EXPECT_EQ("::/new.txt\n", listing) << mib;
    EXPECT_EQ(0, vt::Sh("MTOOLS_SKIP_CHECK=1 mtype -i " + vt::Q(part) + " ::/new.txt", &text));
    EXPECT_EQ("new", text) << mib;
  }
}

}  // namespace
