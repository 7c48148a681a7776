// Backup and clone of host volumes. Wine has no raw volumes: a scripted
// platform serves disk files as the physical drives behind the drive
// letters X, Y and Z, and the exported operations run on them as on real
// drives. The copies are read back with ntfs-3g's tools.
#include <windows.h>

#include <string>

#include "CopyTestUtil.h"
#include "app/ImageOperations.h"
#include "common/ConsoleOutput.h"
#include "disktools/copy/VolumeCopy.h"
#include "ScriptedDrives.h"

namespace {

class HostCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    source = ct::MakeSource("source", "mbr2048");
    // Its partition runs a MiB past its volume, as Windows leaves one
    // after a shrink.
    ASSERT_EQ(0, vt::Sh("echo ',+' | sfdisk -q -N 1 --no-reread " + vt::Q(source.unixPath) +
                        " >/dev/null 2>&1 && sfdisk -d " + vt::Q(source.unixPath) +
                        " | grep -q 'size= *51200'"));
    script.drives[L'X'] = source.path;
    script.volumeFile = vt::ToWin(source.dir + "/volume");
    ASSERT_TRUE(vt::WriteAll(script.volumeFile, "", 0));
    sd::Current() = &script;
    SetHostVolumeFactory(sd::NewVolume);
  }
  void TearDown() override {
    SetHostVolumeFactory(nullptr);
    sd::Current() = nullptr;
  }
  // An empty NTFS volume of megabytes MiB behind a letter.
  mi::Disk AddTarget(wchar_t letter, int megabytes) {
    mi::Disk d;
    d.dir = vt::ScratchSubdirUnix(std::string(1, char(letter)));
    d.unixPath = d.dir + "/disk.img";
    d.path = vt::ToWin(d.unixPath);
    EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(d.dir + "/empty")));
    EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.unixPath) + " --size " +
                            std::to_string(megabytes) + " --tree " + vt::Q(d.dir + "/empty")));
    d.start = 2048;
    script.drives[letter] = d.path;
    return d;
  }

  mi::Disk source;
  sd::Script script;
};

// The new disk's one MBR entry: where it starts, and that it holds the
// volume and its backup boot sector (24 MiB), not all of the source's
// partition; sfdisk -V finds the table sound.
void ExpectVolumeEntry(const std::string& disk, uint64_t first) {
  uint64_t start, count;
  ct::FirstEntry(disk, &start, &count);
  EXPECT_EQ(first, start);
  EXPECT_EQ(24u * 2048, count);
  std::string out;
  EXPECT_EQ(0, vt::Sh("sfdisk -V " + vt::Q(disk) + " 2>&1", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("No errors detected")) << out;
  EXPECT_EQ(std::string::npos, out.find("greater than")) << out;
}

TEST_F(HostCopy, BackupWritesTheVolumeIntoANewImageAndLeavesTheDriveAlone) {
  std::string before = vt::Sha256(source.path);
  std::wstring target = vt::ToWin(source.dir + "/backup.img");
  ASSERT_EQ(0, ImageBackupDiskW(L'x', target.c_str(), 1, 0, nullptr, nullptr));
  EXPECT_EQ(before, vt::Sha256(source.path));
  EXPECT_TRUE(script.volumes.empty()) << "every volume handle closed";
  std::string disk = ct::BareDisk(target);
  ct::ExpectTreeOnVolume(disk, source, 2048, 24 * 2048);
  ExpectVolumeEntry(disk, 2048);
  // The volume of a disk's second partition (behind a first of 16 MiB)
  // keeps its place in the new image's only entry.
  mi::Disk pair = ct::MakeSource("pair", "mbr-pair");
  script.drives[L'V'] = pair.path;
  script.partitions[L'V'] = 2;
  std::wstring second = vt::ToWin(pair.dir + "/second.img");
  ASSERT_EQ(0, ImageBackupDiskW(L'V', second.c_str(), 1, 0, nullptr, nullptr));
  disk = ct::BareDisk(second);
  ct::ExpectTreeOnVolume(disk, pair, pair.start, 24 * 2048);
  ExpectVolumeEntry(disk, pair.start);
  // Into a GPT disk, whose data partition holds the volume and its backup
  // boot sector, not all of the source's partition.
  std::wstring gpt = vt::ToWin(source.dir + "/backup-gpt.img");
  ASSERT_EQ(0, ImageBackupDiskW(L'x', gpt.c_str(), 1, 1, nullptr, nullptr));
  disk = ct::BareDisk(gpt);
  EXPECT_TRUE(ct::GptClean(disk)) << ct::GptInfo(disk, 2);
  const std::string data = ct::GptInfo(disk, 2);
  const uint64_t first = ct::Field(data, "First sector: ");
  EXPECT_EQ(24u * 2048, ct::Field(data, "Last sector: ") - first + 1) << data;
  ct::ExpectTreeOnVolume(disk, source, first, 24 * 2048);
  // A letter with no drive behind it: nothing is written.
  std::wstring none = vt::ToWin(source.dir + "/none.img");
  EXPECT_EQ(-12, ImageBackupDiskW(L'Q', none.c_str(), 0, 0, nullptr, nullptr));
  EXPECT_FALSE(vt::FileExists(none));
}

// ... and a source whose journal Windows left unclean, as the backup does:
// the copy would take none of the writes that finish it.
TEST_F(HostCopy, CloneFillsALargerVolumeAndRefusesSmallerOnesAndItself) {
  mi::Disk larger = AddTarget(L'Y', 40);
  mi::Disk smaller = AddTarget(L'Z', 16);
  std::string smallBefore = vt::Sha256(smaller.path);
  // The exports say no more than their result; a front end that shows lines
  // gets the one that names the cause.
  long lines = CommandLinesGiven();
  EXPECT_EQ(-13, ImageCloneDiskW(L'X', L'Z', nullptr, nullptr));
  EXPECT_EQ(smallBefore, vt::Sha256(smaller.path));
  int opens = script.opens;
  EXPECT_EQ(-12, ImageCloneDiskW(L'X', L'x', nullptr, nullptr));
  EXPECT_EQ(opens, script.opens) << "refused before any volume was opened";
  EXPECT_EQ(lines, CommandLinesGiven());
  {
    FrontEndLines shown;
    EXPECT_EQ(VOLUME_COPY_FAILED, CloneHostVolume(L'X', L'Z', nullptr, nullptr));
    ASSERT_EQ(1u, shown.Lines().size());
    EXPECT_EQ(L"Z:\\: its volume (15 MiB) is smaller than that of X:\\ (23 MiB): nothing cloned",
              shown.Lines()[0]);
  }
  EXPECT_EQ(smallBefore, vt::Sha256(smaller.path));

  // A target whose partition is shorter than the source's but holds its
  // volume takes it.
  mi::Disk same = AddTarget(L'W', 24);
  ASSERT_EQ(0, ImageCloneDiskW(L'X', L'W', nullptr, nullptr));
  ct::ExpectTreeOnVolume(same.unixPath, source, 2048, 24 * 2048);

  ASSERT_EQ(0, ImageCloneDiskW(L'X', L'Y', nullptr, nullptr));
  // The partition ends with the grown volume's backup boot sector, inside
  // its old end (the volume grows by whole clusters of 8 sectors).
  uint64_t start, count;
  ct::FirstEntry(larger.unixPath, &start, &count);
  EXPECT_EQ(2048u, start);
  EXPECT_LE(count, 40u * 2048);
  EXPECT_GT(count, 40u * 2048 - 8);
  std::vector<uint8_t> boot = fmt::ReadBytes(larger.path, start * 512, 512);
  EXPECT_EQ(count - 1, fmt::Le32(&boot[0x28]));
  EXPECT_TRUE(boot == fmt::ReadBytes(larger.path, (start + count - 1) * 512, 512));
  ct::ExpectTreeOnVolume(larger.unixPath, source, start, count);
  // The copied file system was grown back to the target's former size.
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(larger.path.c_str(), nullptr, 0, 0), 0);
    EXPECT_GT(m.GetVolumeSize(), 39ull << 20);
  }

  ASSERT_EQ(0, vt::Sh("python3 " + vt::Q(vt::SourceDirUnix() + "/tests/fixtures/ntfs-damage.py") +
                      " " + vt::Q(source.unixPath) + " logfile-2.0"));
  const std::string largeBefore = vt::Sha256(larger.path);
  const std::wstring backup = vt::ToWin(source.dir + "/unclean.img");
  FrontEndLines shown;
  EXPECT_EQ(VOLUME_COPY_REFUSED, CloneHostVolume(L'X', L'Y', nullptr, nullptr));
  EXPECT_EQ(VOLUME_COPY_REFUSED,
            BackupVolumeToNewImage(L'X', backup.c_str(), 1, 0, nullptr, nullptr));
  ASSERT_EQ(2u, shown.Lines().size());
  const wchar_t* const nothing[] = {L"nothing cloned", L"nothing copied"};
  for (int i = 0; i < 2; ++i) {
    const std::wstring& line = shown.Lines()[i];
    EXPECT_EQ(0u, line.find(L"X:\\: Windows on its volume did not shut down cleanly")) << line;
    EXPECT_NE(std::wstring::npos, line.find(nothing[i])) << line;
  }
  EXPECT_EQ(largeBefore, vt::Sha256(larger.path));
  EXPECT_FALSE(vt::FileExists(backup));
}

}  // namespace
