// New empty images of the main window: the GPT arithmetic of the chosen
// size, and whole images read back by sgdisk, ntfs-3g's tools, fsck.fat,
// mtools and hivex.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "app/NewImage.h"
#include "common/ByteOrder.h"

namespace {

TEST(NewImage, GptLayoutOfTheChosenSize) {
  NewImageGptLayout a, b;
  PrepareNewImageGpt(10240, &a);
  PrepareNewImageGpt(10240, &b);
  EXPECT_EQ(0xEE, a.firstSector[446 + 4]);
  EXPECT_EQ(0x55, a.firstSector[510]);
  EXPECT_EQ(0, memcmp(a.firstSector + 462, a.diskGuid, 16));
  EXPECT_EQ(2048u, Ld64(a.entries[0] + 32));
  EXPECT_EQ(204799u, Ld64(a.entries[0] + 40));
  EXPECT_EQ(204800u, Ld64(a.entries[1] + 32));
  // 10,339 MiB make a disk of 21,184,512 sectors in the image's steps of
  // 8 MiB; the backup GPT takes its last 4098.
  EXPECT_EQ(21180414u, Ld64(a.entries[1] + 40));
  // Every image and partition gets its own identity.
  EXPECT_NE(0, memcmp(a.diskGuid, b.diskGuid, 16));
  EXPECT_NE(0, memcmp(a.entries[0] + 16, a.entries[1] + 16, 16));
  EXPECT_NE(0, memcmp(a.entries[1] + 16, b.entries[1] + 16, 16));
}

TEST(NewImage, GptAndMbrImagesReadBackByOutsideTools) {
  std::string dir = vt::ScratchDirUnix();
  // A file in the way is replaced, read-only or not.
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(dir) + " && echo old > gpt.img && chmod a-w gpt.img"));
  ASSERT_EQ(1, CreateEmptyImageFile(vt::ToWin(dir + "/gpt.img").c_str(), 200, 1, 1));
  ASSERT_EQ(1, CreateEmptyImageFile(vt::ToWin(dir + "/mbr.img").c_str(), 64, 0, 1));
  std::string out;
  // The plain images carry one header sector in front of the disk.
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(dir) +
                          " && dd if=gpt.img of=g.raw bs=512 skip=1 status=none"
                          " && sgdisk -v g.raw && sgdisk -p g.raw"
                          " && dd if=g.raw of=esp.img bs=512 skip=2048 count=202752 status=none"
                          " && fsck.fat -n esp.img >/dev/null"
                          " && mcopy -o -i esp.img ::/EFI/Microsoft/Boot/BCD bcd"
                          " && hivexregedit --export bcd '\\' | grep -c Element"
                          " && dd if=g.raw of=data.img bs=512 skip=204800 count=413695 status=none"
                          " && ntfsfix -n data.img >/dev/null && ntfsls -a -s data.img"
                          " && dd if=mbr.img of=m.raw bs=512 skip=1 status=none"
                          " && sgdisk -v m.raw >/dev/null",
                      &out))
      << out;
  // 200 MiB chosen: 299 MiB make 304 in the image's steps; the data
  // partition runs up to the backup GPT in the disk's last sectors.
  EXPECT_NE(std::string::npos, out.find("No problems found")) << out;
  EXPECT_NE(std::string::npos, out.find("204800          618494")) << out;
  EXPECT_NE(std::string::npos, out.find("EFI system partition")) << out;
  EXPECT_NE(std::string::npos, out.find("$MFT")) << out;
}

TEST(NewImage, AFailedCreationLeavesNoFile) {
  std::string dir = vt::ScratchDirUnix();
  std::wstring path = vt::ToWin(dir + "/missing-folder/x.img");
  EXPECT_EQ(0, CreateEmptyImageFile(path.c_str(), 64, 1, 0));
  EXPECT_NE(0u, GetLastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
}

}  // namespace
