// The disk-layout templates of a mounted image for copies of its volume:
// boot code, the MBR with its first entry, the GPT entries and GUIDs,
// compared with the bytes of the image file.
#include <windows.h>

#include "FormatTestUtil.h"
#include "disktools/clone/NtfsCloneInstall.h"
#include "image/mount/MountedImage.h"

using namespace fmt;

namespace {

std::wstring MakeDisk(const std::string& options) {
  std::string dir = vt::ScratchDirUnix();
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/d.img") + " --size 8 " + options));
  return vt::ToWin(dir + "/d.img");
}

TEST(DiskLayout, BootCodeAndMbrTemplateOfAnMbrDisk) {
  InstallNtfsCloneEngine();
  std::wstring path = MakeDisk("");
  std::vector<uint8_t> mbr = ReadBytes(path, 0, 512);
  memcpy(&mbr[462], &mbr[446], 16);  // a second entry to be cleared
  WriteBytes(path, 0, mbr);
  CMountedImage image;
  ASSERT_GE(image.OpenImage(path.c_str(), nullptr, 0, 0), 0);
  std::vector<uint8_t> code(8192), expected = ReadBytes(path, 2048 * 512, 8192);
  ASSERT_TRUE(image.ReadBootCode(code.data()));
  memset(&expected[11], 0, 73);
  EXPECT_EQ(expected, code);
  std::vector<uint8_t> first(512);
  ASSERT_TRUE(image.ReadMbrTemplate(first.data()));
  memset(&mbr[462], 0, 48);
  EXPECT_EQ(mbr, first);
  uint8_t guid[16], entries[256];
  EXPECT_EQ(0, image.GetPartitionGuid(guid));
  EXPECT_EQ(0, image.PrepareGptCopy(guid, entries));
  CMountedImage empty;
  EXPECT_FALSE(empty.ReadBootCode(code.data()));
  EXPECT_FALSE(empty.ReadMbrTemplate(first.data()));
}

TEST(DiskLayout, GptEntriesGetNewGuids) {
  InstallNtfsCloneEngine();
  std::wstring path = MakeDisk("--layout gpt-esp --esp-size 34");
  std::vector<uint8_t> array = ReadBytes(path, 2 * 512, 256);  // entries 0 (ESP) and 1 (data)
  CMountedImage image;
  ASSERT_GE(image.OpenImage(path.c_str(), nullptr, 0, 0), 0);
  uint8_t guid[16];
  ASSERT_EQ(1, image.GetPartitionGuid(guid));
  EXPECT_EQ(0, memcmp(guid, &array[128 + 16], 16));
  uint8_t disk[16] = {}, entries[256] = {};
  ASSERT_EQ(1, image.PrepareGptCopy(disk, entries));
  EXPECT_NE(std::vector<uint8_t>(16, 0), std::vector<uint8_t>(disk, disk + 16));
  for (int slot = 0; slot < 2; slot++) {
    const uint8_t* e = entries + slot * 128;
    const uint8_t* old = &array[slot * 128];
    EXPECT_EQ(0, memcmp(e, old, 16)) << slot;
    EXPECT_NE(0, memcmp(e + 16, old + 16, 16)) << slot;
    EXPECT_EQ(0, memcmp(e + 32, old + 32, 96)) << slot;
  }
}

}  // namespace
