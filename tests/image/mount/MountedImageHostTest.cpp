// The mounted image over a host drive letter. Wine has no raw volumes, so a
// scripted platform serves a disk image file as the physical drive that
// holds the volume; the NTFS library then reads and writes it as it would a
// real drive.
#include <windows.h>
#include <winioctl.h>
#include <gtest/gtest.h>

#include <string>

#include "../MountedImageTestUtil.h"
#include "../ScriptedDrives.h"

namespace {

class MountedImageHost : public ::testing::Test {
 protected:
  void SetUp() override {
    disk = mi::MakeDisk("mbr2048");
    script.drives[L'X'] = disk.path;
    script.volumeFile = disk.path + L".vol";
    ASSERT_TRUE(vt::WriteAll(script.volumeFile, "", 0));
    sd::Current() = &script;
  }
  void TearDown() override { sd::Current() = nullptr; }

  CHostVolume* NewVolume() { return sd::NewVolume(); }

  mi::Disk disk;
  sd::Script script;
};

TEST_F(MountedImageHost, WritableOpenMountsThePartitionOfTheDrive) {
  {
    CMountedImage m;
    ASSERT_EQ(0, m.OpenHostVolume(L'X', 1, NewVolume()));
    EXPECT_EQ(0, m.PartitionIndex());
    EXPECT_FALSE(m.IsReadOnly());
    EXPECT_TRUE(mi::SameAsHostFile(mi::ReadWhole(m, L"\\big.bin"), disk.tree + "/big.bin"));
    EXPECT_EQ(1, m.CreatePath(L"\\host.txt", 0x8000));
    EXPECT_EQ(5u, m.WriteFile(L"\\host.txt", "hello", 0, 5));
    EXPECT_TRUE(script.calls.count("lock") && script.calls.count("dismount"));
    m.Close();
    EXPECT_TRUE(script.calls.count("unlock"));
    EXPECT_TRUE(script.open.empty()) << "Close leaves no handle open";
  }
  std::string part = mi::CutPartition(disk, disk.unixPath), out;
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(part) + " /host.txt", &out));
  EXPECT_EQ("hello", out);
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(part)));
}

TEST_F(MountedImageHost, ReadOnlyOpenWithoutSnapshotRefusesWrites) {
  std::string before = vt::Sha256(disk.path);
  {
    CMountedImage m;
    ASSERT_EQ(0, m.OpenHostVolume(L'X', 0, NewVolume()));
    EXPECT_TRUE(m.IsReadOnly());
    EXPECT_EQ(2, m.GetPathType(L"\\Dir\\Sub"));
    EXPECT_EQ(0, m.CreatePath(L"\\nope.txt", 0x8000));
  }
  EXPECT_TRUE(script.open.empty());
  EXPECT_EQ(before, vt::Sha256(disk.path));
}

TEST_F(MountedImageHost, FailedOpenLeavesNothingOpen) {
  script.failDrives = true;
  CMountedImage m;
  EXPECT_EQ(-1, m.OpenHostVolume(L'X', 1, NewVolume()));
  EXPECT_TRUE(script.open.empty());
  EXPECT_EQ(0, m.GetPathType(L"\\big.bin"));
  // A letter with no volume behind it, through the system's own calls.
  EXPECT_EQ(-1, m.OpenHostVolume(L'Q', 0));
}

}  // namespace
