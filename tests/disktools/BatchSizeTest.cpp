// "/size:" through the built program and ImageSetPartitionSizeW: the size
// rule's boundaries, the write-back file and partition number that make the
// command pass over, the disks it cannot grow (each refusal's line names its
// cause, and offers no size the rule refuses), and a grow of an image with
// update files.
#include <windows.h>

#include "FormatTestUtil.h"
#include "ProgramImage.h"
#include "app/ImageOperations.h"
#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"
#include "image/stack/ImageMerge.h"

namespace {

DWORD RunVro(const std::wstring& arguments) {
  DWORD code = 0xDEADBEEF;
  EXPECT_TRUE(apptest::RunProgram(arguments, code)) << vt::Narrow(arguments);
  return code;
}

std::wstring Img(const std::wstring& path) {
  return L"\"-img:" + path + L"\" ";
}

uint64_t VolumeBytes(const std::wstring& image) {
  CMountedImage mounted;
  uint64_t total = 0;
  EXPECT_GE(mounted.OpenImage(image.c_str(), nullptr, 0, 0), 0);
  EXPECT_EQ(1, mounted.GetVolumeSpace(&total, nullptr));
  mounted.Close();
  return total;
}

TEST(BatchSize, RefusedSizesLeaveTheImageAlone) {
  std::string dir = vt::ScratchDirUnix();
  std::wstring image = vt::ToWin(dir + "/s.img");
  ASSERT_EQ(0u, RunVro(Img(image) + L"/create:64"));
  uint64_t before = VolumeBytes(image);
  for (const wchar_t* size : {L"0", L"-1", L"-4294967296", L"abc", L"", L"12x", L"64", L"60",
                              L"2000001", L"4294967297", L"99999999999999999999"})
    EXPECT_EQ(DWORD(-13), RunVro(Img(image) + L"-noupd \"/size:" + size + L"\""))
        << vt::Narrow(size);
  // With a write-back file or another partition the command is passed over.
  EXPECT_EQ(0u, RunVro(Img(image) + L"\"-fix:" + vt::ToWin(dir + "/s.fix") + L"\" /size:128"));
  EXPECT_EQ(0u, RunVro(L"\"-img:" + image + L"::1\" /size:128"));
  EXPECT_EQ(before, VolumeBytes(image));
  EXPECT_EQ(kImageBadArgument, ImageSetPartitionSizeW(image.c_str(), L"", 0, 0, 0));
  EXPECT_EQ(kImageBadArgument,
            ImageSetPartitionSizeW(image.c_str(), L"", 0, 0xFFFFFFFF, 0xFFFFFFFF));
  EXPECT_EQ(kImageBadArgument, ImageSetPartitionSizeW(image.c_str(), L"", 0, 128, 1));
  EXPECT_EQ(kImageNotOpened, ImageSetPartitionSizeW((image + L".none").c_str(), L"", 0, 128, 0));
  EXPECT_EQ(before, VolumeBytes(image));

  // Disks whose partition cannot grow: a raw image with an MBR (its size is
  // fixed), a GPT partition another one lies behind, and the own image a
  // conversion made of a plain volume (no partition table). Each is -2 with
  // a line that says why, the image byte for byte as it was.
  const std::string gpt = dir + "/gpt.img", raw = dir + "/raw.img", plain = dir + "/plain.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(raw) + " --size 40"));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(gpt) + " --layout gpt --size 40"));
  ASSERT_EQ(0, vt::Sh("truncate -s +8M " + vt::Q(gpt) + " && sgdisk -e -n 3:0:0 -t 3:8300 " +
                      vt::Q(gpt) + " >/dev/null"));
  // A GPT disk 4 MiB past its partition's end: "/size:44" is refused (-13:
  // in steps of 8 MiB it asks for no more than the 40 MiB volume), so the
  // line of a larger size offers none.
  const std::string slack = dir + "/slack.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(slack) + " --layout gpt --size 40"));
  ASSERT_EQ(0, vt::Sh("truncate -s +4M " + vt::Q(slack) + " && sgdisk -e " + vt::Q(slack) +
                      " >/dev/null"));
  ASSERT_EQ(DWORD(kImageBadArgument), RunVro(Img(vt::ToWin(slack)) + L"-noupd /size:44"));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(plain) + " --layout none --size 40"));
  const std::wstring converted = vt::ToWin(dir + "/plain.vmd");
  ASSERT_EQ(0u, RunVro(Img(converted) + L"\"/convert:" + vt::ToWin(plain) + L"\""));
  struct Refusal {
    std::wstring image;
    std::string cause;
  } refusals[] = {
      {vt::ToWin(raw), "an MBR partition grows only in an image of the own sparse format"},
      {vt::ToWin(gpt), "partition 2 is in the way (it lies behind partition 1"},
      {converted, "the disk has no partition table"},
      {vt::ToWin(slack), "partition 1 cannot grow to 100 MiB: the disk's size is fixed (a plain "
                         "image or a VHD) at 46 MiB (94208 sectors, the backup GPT in the last "
                         "33), so partition 1 has no room to grow by a size the size commands "
                         "take"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(vt::Narrow(r.image));
    const std::string hash = vt::Sha256(r.image);
    DWORD code = 0;
    std::string out;
    ASSERT_TRUE(apptest::RunProgram(Img(r.image) + L"-noupd /size:100", code, &out));
    EXPECT_EQ(DWORD(kImageVolumeOperationFailed), code);
    EXPECT_NE(std::string::npos, out.find(vt::Narrow(r.image) + ": " + r.cause)) << out;
    EXPECT_EQ(std::string::npos, out.find("failed with")) << out;
    EXPECT_EQ(hash, vt::Sha256(r.image));
  }
}

TEST(BatchSize, GrowsAnImageWithUpdateFiles) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/in") + " && head -c 300000 /dev/urandom > " +
                      vt::Q(dir + "/in/data.bin")));
  std::wstring image = vt::ToWin(dir + "/u.img");
  ASSERT_EQ(0u, RunVro(Img(image) + L"/create:64"));
  ASSERT_EQ(0u, RunVro(Img(image) + L"-noupd /size:100"));
  uint64_t grown = VolumeBytes(image);
  EXPECT_GT(grown, 96ull << 20);
  EXPECT_LE(grown, 104ull << 20);  // the image rounds up to 8 MiB
  // Changes go to an update file; opened through it, the image grows
  // there, with the file's data kept, and the base stays as it was.
  ASSERT_EQ(0u, RunVro(Img(image) + L"\"/inject:\\In::" + vt::ToWin(dir + "/in") + L"\""));
  std::vector<std::wstring> updates;
  ASSERT_EQ(1, ListImageUpdateFiles(image.c_str(), &updates, nullptr));
  ASSERT_EQ(0u, RunVro(Img(updates[0]) + L"/size:160"));
  EXPECT_GT(VolumeBytes(updates[0]), 150ull << 20);
  EXPECT_EQ(grown, VolumeBytes(image));
  EXPECT_EQ(0u, RunVro(Img(updates[0]) + L"\"/extract:\\In::" + vt::ToWin(dir + "/out") + L"\""));
  std::string out;
  EXPECT_EQ(0,
            vt::Sh("cmp " + vt::Q(dir + "/in/data.bin") + " " + vt::Q(dir + "/out/data.bin"), &out))
      << out;
}

// The disk an image holds up to its declared size, read through the
// image, and that size in sectors.
std::vector<uint8_t> DiskContent(const std::wstring& image, uint64_t* sectors) {
  CMountedImage mounted;
  std::vector<uint8_t> all;
  EXPECT_GE(mounted.OpenImage(image.c_str(), nullptr, 0, 0), 0);
  *sectors = mounted.DiskObject()->Layers()->Base().m_nCapacity - 1;
  all.resize(*sectors * 512);
  DiskIoBlock* block = mounted.IoBlock();
  for (uint64_t at = 0; at < all.size(); at += 1 << 20)
    EXPECT_EQ(1 << 20, block->read(block->owner, at, &all[at], 1 << 20));
  mounted.Close();
  return all;
}

// A grow that runs out of host disk space, before it writes or on its way
// (the host has the room it asks for first, not all it takes), fails and
// leaves every byte of the image file as it was (cmp) and no journal; with
// room again the next grow is whole. The command names the host file and
// the system's error.
TEST(BatchSize, AGrowOnAFullHostDiskLeavesTheImageAsItWas) {
  std::string dir = vt::ScratchDirUnix(), small = dir + "/small";
  vt::SmallVolume volume(small, "24m");
  ASSERT_TRUE(volume.Mounted());
  std::wstring image = vt::ToWin(small + "/g.img");
  ASSERT_EQ(0u, RunVro(Img(image) + L"/create:64"));
  uint64_t sectors = 0, after = 0;
  std::vector<uint8_t> before = DiskContent(image, &sectors);
  std::string img = vt::Q(small + "/g.img"), saved = vt::Q(dir + "/saved.img");
  ASSERT_EQ(0, vt::Sh("cp " + img + " " + saved));
  for (int leftKiB : {4400, 0}) {
    SCOPED_TRACE(leftKiB);
    vt::Sh("rm -f " + vt::Q(small + "/fill") + " && head -c $(( ($(df -k --output=avail " +
           vt::Q(small) + " | tail -1) - " + std::to_string(leftKiB) +
           ") * 1024 )) /dev/zero > " + vt::Q(small + "/fill"));
    // The line names the image file and the host's error.
    DWORD code = 0;
    std::string out;
    ASSERT_TRUE(apptest::RunProgram(Img(image) + L"-noupd /size:512", code, &out));
    EXPECT_EQ(DWORD(-2), code);
    EXPECT_NE(std::string::npos, out.find("Could not write")) << out;
    EXPECT_NE(std::string::npos, out.find("g.img (error 112")) << out;
    EXPECT_EQ(std::string::npos, out.find("failed with")) << out;
    EXPECT_EQ(0, vt::Sh("cmp " + saved + " " + img + " && test ! -e " + img + ".undo", &out))
        << out;
  }
  std::vector<uint8_t> failed = DiskContent(image, &after);
  EXPECT_EQ(sectors, after);
  EXPECT_TRUE(before == failed);

  ASSERT_EQ(0, vt::Sh("rm " + vt::Q(small + "/fill")));
  ASSERT_EQ(0u, RunVro(Img(image) + L"-noupd /size:512"));
  std::vector<uint8_t> grown = DiskContent(image, &after);
  EXPECT_GT(after, 500ull * 2048);
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(dir + "/grown.raw"), grown));
  std::string out;
  uint64_t start = fmt::Le32(&grown[446 + 8]), count = fmt::Le32(&grown[446 + 12]);
  EXPECT_EQ(0, fmt::OnPartition(vt::ToWin(dir + "/grown.raw"), start * 512, count * 512,
                                "ntfsfix -n $DEV && ntfsresize --info --force $DEV", &out))
      << out;
}

}  // namespace
