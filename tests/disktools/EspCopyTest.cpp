// The EFI system partition copied between two GPT images under their
// mounted NTFS volumes; mtools and fsck.fat read the copy.
#include <windows.h>

#include "FormatTestUtil.h"
#include "disktools/clone/NtfsCloneInstall.h"
#include "image/mount/MountedImage.h"

using namespace fmt;

namespace {

const uint64_t kEspOffset = 2048 * 512;  // mk-disk.sh's EFI system partition

std::string MakeDisk(const std::string& dir, const std::string& name, const std::string& options) {
  std::string path = dir + "/" + name;
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(path) + " --size 8 " + options));
  return path;
}

int CopyEsp(const std::string& from, const std::string& to) {
  InstallNtfsCloneEngine();
  CMountedImage source, target;
  EXPECT_GE(source.OpenImage(vt::ToWin(from).c_str(), nullptr, 0, 0), 0);
  EXPECT_GE(target.OpenImage(vt::ToWin(to).c_str(), nullptr, 0, 2), 0);
  return source.CopyEspTo(&target);
}

TEST(EspCopy, CopiesTheSourcePartitionOntoALargerOne) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("mkdir -p " + dir + "/esp/EFI/Boot && head -c 70000 /dev/urandom > " + dir +
                      "/esp/EFI/Boot/bootx64.efi"));
  std::string from =
      MakeDisk(dir, "s.img", "--layout gpt-esp --esp-size 34 --esp-tree " + vt::Q(dir + "/esp"));
  std::string to = MakeDisk(dir, "t.img", "--layout gpt-esp --esp-size 40");
  ASSERT_EQ(0, CopyEsp(from, to));
  std::string out;
  EXPECT_EQ(
      0, vt::Sh("dd if=" + vt::Q(to) + " of=" + vt::Q(dir + "/e.img") +
                    " bs=1M skip=1 count=40 status=none"
                    " && fsck.fat -n " +
                    vt::Q(dir + "/e.img") + " && mtype -i " + vt::Q(dir + "/e.img") +
                    " ::/EFI/Boot/bootx64.efi | cmp - " + vt::Q(dir + "/esp/EFI/Boot/bootx64.efi"),
                &out))
      << out;
  // The NTFS volume behind it is untouched.
  EXPECT_EQ(ReadBytes(vt::ToWin(to), (2048 + 40 * 2048) * 512ULL, 512)[3], 'N');
}

TEST(EspCopy, RefusesASmallerTargetAndMbrDisks) {
  std::string dir = vt::ScratchDirUnix();
  std::string from = MakeDisk(dir, "s.img", "--layout gpt-esp --esp-size 40");
  std::string to = MakeDisk(dir, "t.img", "--layout gpt-esp --esp-size 34");
  std::string mbr = MakeDisk(dir, "m.img", "");
  std::vector<uint8_t> before = ReadBytes(vt::ToWin(to), kEspOffset, 512);
  EXPECT_EQ(-1, CopyEsp(from, to));
  EXPECT_EQ(before, ReadBytes(vt::ToWin(to), kEspOffset, 512));
  EXPECT_EQ(-1, CopyEsp(to, mbr));
  EXPECT_EQ(-1, CopyEsp(mbr, from));
  CMountedImage empty;
  EXPECT_EQ(-1, empty.CopyEspTo(&empty));
}

}  // namespace
