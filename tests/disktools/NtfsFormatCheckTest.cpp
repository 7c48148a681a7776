// Volumes written by the formatter, read by the ntfs-3g tools, 7-Zip and the
// system's own mount: every cluster size, and sizes from 8 MiB to 64 GiB
// (sparse files).
#include "FormatTestUtil.h"
#include "image/ntfs/NtfsVolume.h"

using namespace fmt;

namespace {

const uint64_t kMiB = 1ULL << 20;
const uint64_t kStart = 2048 * 512;

int32_t g_clusterSize = 4096;
void UseClusterSize(NtfsFormatOptions& o) {
  o.clusterSize = g_clusterSize;
}

// Every independent check on the volume of one disk; ntfs-3g copies a file
// in, and the system's own mount reads it back.
void CheckVolume(const std::wstring& disk, uint64_t bytes, const std::string& what) {
  SCOPED_TRACE(what);
  std::string out, dir = vt::ToUnix(disk);
  dir = dir.substr(0, dir.rfind('/'));
  std::string sample = dir + "/sample.bin";
  ASSERT_EQ(0, vt::Sh("head -c 300000 /dev/urandom > " + vt::Q(sample)));
  std::string mnt = dir + "/mnt";
  std::string script =
      "set -e; ntfsinfo -m $DEV; ntfsls -a -s $DEV; ntfsfix -n $DEV; ntfsresize --info --force $DEV;"
      "7zz l $DEV; mkdir -p " +
      vt::Q(mnt) + "; ntfs-3g $DEV " + vt::Q(mnt) + "; cp " + vt::Q(sample) + " " +
      vt::Q(mnt + "/Sample.bin") + "; umount " + vt::Q(mnt) + "; ntfs-3g -o ro $DEV " + vt::Q(mnt) +
      "; cmp " + vt::Q(sample) + " " + vt::Q(mnt + "/Sample.bin") + "; umount " + vt::Q(mnt);
  ASSERT_EQ(0, OnPartition(disk, kStart, bytes, script, &out)) << out;
  for (const char* name : {"$MFT", "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", "$Bitmap",
                           "$Boot", "$BadClus", "$Secure", "$UpCase", "$Extend"})
    EXPECT_NE(std::string::npos, out.find(std::string("\n") + name + "\n")) << name << "\n" << out;
  EXPECT_NE(std::string::npos, out.find("[SYSTEM]/$Extend/$Quota")) << out;
  EXPECT_NE(std::string::npos, out.find("was processed successfully")) << out;

  DiskIoBlock* block = OpenFileBlock(disk, false);
  ASSERT_TRUE(block);
  ntfs_volume* vol = MountNtfsOnDisk(block, 0, NTFS_MOUNT_READONLY);
  ASSERT_TRUE(vol);
  std::vector<uint8_t> expected, got(300000);
  ASSERT_TRUE(vt::ReadAll(vt::ToWin(sample), expected));
  EXPECT_EQ(300000, ReadNtfsFileData(vol, L"\\sample.bin", got.data(), got.size(), 0));
  EXPECT_EQ(expected, got);
  UnmountNtfsVolume(vol);
  CloseFileBlock(block);
}

TEST(NtfsFormatCheck, EveryClusterSize) {
  for (int32_t size = 512; size <= 65536; size *= 2) {
    uint64_t bytes = 48 * kMiB;
    std::wstring disk = MakeMbrDisk("c.img", kStart + bytes, 2048, uint32_t(bytes / 512));
    g_clusterSize = size;
    ASSERT_EQ(0, FormatFileWith(disk, UseClusterSize)) << size;
    EXPECT_EQ(size / 512, ReadBytes(disk, kStart, 512)[13]);
    CheckVolume(disk, bytes, "cluster size " + std::to_string(size));
  }
}

TEST(NtfsFormatCheck, SmallAndLargeVolumes) {
  for (uint64_t bytes : {8 * kMiB, 1024 * kMiB, 64 * 1024 * kMiB}) {
    std::wstring disk = MakeMbrDisk("s.img", kStart + bytes, 2048, uint32_t(bytes / 512));
    ASSERT_EQ(0, FormatFile(disk)) << bytes;
    CheckVolume(disk, bytes, std::to_string(bytes / kMiB) + " MiB");
  }
}

}  // namespace
