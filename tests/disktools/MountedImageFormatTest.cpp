// New images and quick formats through the mounted image, with the NTFS
// formatter installed by the disk tools.
#include <windows.h>

#include "FormatTestUtil.h"
#include "disktools/NtfsFormatterInstall.h"
#include "image/mount/MountedImage.h"

using namespace fmt;

namespace {

const uint64_t kMiB = 1ULL << 20;

// A plain image keeps a header sector in front of the disk; the data
// partition starts at LBA 64 after the alignment.
const uint64_t kPlainPartition = 512 + 64 * 512;

int PathType(CMountedImage& image, const wchar_t* path) {
  return image.GetPathType(path);
}

TEST(MountedImageFormat, CreateImageMountsAFreshVolume) {
  InstallNtfsFormatter();
  std::wstring path = vt::ScratchDir() + L"\\new.img";
  CMountedImage image;
  ASSERT_EQ(1, image.CreateImage(path.c_str(), 64, 1, 1, 1, nullptr, nullptr, nullptr));
  ASSERT_TRUE(image.NtfsVolume());
  const char text[] = "written into a new image";
  EXPECT_EQ(1, image.CreatePath(L"\\Note.txt", 0x8000));
  EXPECT_EQ(sizeof text, image.WriteFile(L"\\Note.txt", text, 0, sizeof text));
  image.Close();

  std::vector<uint8_t> mbr = ReadBytes(path, 512, 512);
  EXPECT_EQ(64u, Le32(&mbr[446 + 8]));
  std::string out;
  uint64_t length = uint64_t(Le32(&mbr[446 + 12])) * 512;
  EXPECT_EQ(0, OnPartition(path, kPlainPartition, length,
                           "ntfsfix -n $DEV && ntfscat $DEV Note.txt", &out))
      << out;
  EXPECT_NE(std::string::npos, out.find("written into a new image")) << out;
}

TEST(MountedImageFormat, CreateImageNeedsTheFormatter) {
  CMountedImage::SetNtfsFormatter(nullptr);
  std::wstring path = vt::ScratchDir() + L"\\new.img";
  CMountedImage image;
  EXPECT_EQ(0, image.CreateImage(path.c_str(), 16, 0, 1, 1, nullptr, nullptr, nullptr));
  EXPECT_FALSE(image.NtfsVolume());
  InstallNtfsFormatter();
}

TEST(MountedImageFormat, FormatVolumeEmptiesNtfsAndRemounts) {
  InstallNtfsFormatter();
  std::wstring path = vt::ScratchDir() + L"\\f.img";
  {
    CMountedImage image;
    ASSERT_EQ(1, image.CreateImage(path.c_str(), 32, 1, 1, 1, nullptr, nullptr, nullptr));
    EXPECT_EQ(1, image.CreateDirectory(L"\\Old"));
  }
  CMountedImage image;
  ASSERT_GE(image.OpenImage(path.c_str(), nullptr, 0, 2), 0);
  ASSERT_EQ(2, PathType(image, L"\\Old"));
  ASSERT_EQ(1, image.FormatVolume(1));
  ASSERT_TRUE(image.NtfsVolume());
  EXPECT_EQ(0, PathType(image, L"\\Old"));
  EXPECT_EQ(1, image.CreateDirectory(L"\\New"));
  image.Close();
  std::string out;
  uint64_t length = uint64_t(Le32(&ReadBytes(path, 512, 512)[446 + 12])) * 512;
  EXPECT_EQ(0, OnPartition(path, kPlainPartition, length, "ntfsfix -n $DEV && ntfsls $DEV", &out))
      << out;
  EXPECT_NE(std::string::npos, out.find("New")) << out;
  EXPECT_EQ(std::string::npos, out.find("Old")) << out;

  // A read-only mount is not formatted.
  ASSERT_GE(image.OpenImage(path.c_str(), nullptr, 0, 0), 0);
  EXPECT_EQ(0, image.FormatVolume(1));
  EXPECT_EQ(2, PathType(image, L"\\New"));
}

TEST(MountedImageFormat, FormatVolumeKeepsTheFatKind) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/tree/Dir") + " && echo x > " +
                      vt::Q(dir + "/tree/Dir/a.txt")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/fat.img") +
                          " --fs fat32 --size 40 --tree " + vt::Q(dir + "/tree")));
  std::wstring path = vt::ToWin(dir + "/fat.img");
  CMountedImage image;
  ASSERT_GE(image.OpenImage(path.c_str(), nullptr, 0, 2), 0);
  ASSERT_TRUE(image.FatVolume());
  ASSERT_EQ(1, PathType(image, L"\\Dir\\a.txt"));
  ASSERT_EQ(1, image.FormatVolume(1));
  EXPECT_EQ(0, PathType(image, L"\\Dir"));
  image.Close();
  std::string out;
  EXPECT_EQ(0, OnPartition(path, 2048 * 512, 40 * kMiB, "fsck.vfat -n $DEV && file -s $DEV", &out))
      << out;
  EXPECT_NE(std::string::npos, out.find("FAT (32 bit)")) << out;
}

}  // namespace
