// Backup and clone of host volumes. Wine has no raw volumes: a scripted
// platform serves disk files as the physical drives behind the drive
// letters X, Y and Z, and the exported operations run on them as on real
// drives. The copies are read back with ntfs-3g's tools.
#include <windows.h>
#include <winioctl.h>

#include <map>
#include <string>

#include "CopyTestUtil.h"
#include "app/ImageOperations.h"
#include "disktools/copy/VolumeCopy.h"
#include "image/host/HostVolume.h"

namespace {

struct Script {
  std::map<wchar_t, std::wstring> drives;  // letter -> disk file
  std::map<wchar_t, DWORD> partitions;     // letter -> 1-based partition (1)
  std::wstring volumeFile;                 // what "\\.\L:" opens
  std::map<HANDLE, wchar_t> volumes;       // open volume handle -> letter
  int opens = 0;
};
Script* g_script = nullptr;

int DriveNumber(wchar_t letter) {
  return letter - L'W';
}

HANDLE WINAPI ScriptCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                               DWORD disposition, DWORD, HANDLE) {
  std::wstring n(name);
  ++g_script->opens;
  for (auto& drive : g_script->drives) {
    std::wstring physical = L"\\\\.\\PhysicalDrive" + std::to_wstring(DriveNumber(drive.first));
    std::wstring volume = std::wstring(L"\\\\.\\") + drive.first + L":";
    if (n == physical)
      return CreateFileW(drive.second.c_str(), access, share, nullptr, disposition, 0, nullptr);
    if (_wcsicmp(n.c_str(), volume.c_str()) == 0) {  // letters in any case
      HANDLE h = CreateFileW(g_script->volumeFile.c_str(), access, share, nullptr, disposition, 0,
                             nullptr);
      if (h != INVALID_HANDLE_VALUE) g_script->volumes[h] = drive.first;
      return h;
    }
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

BOOL WINAPI ScriptIoctl(HANDLE h, DWORD code, LPVOID, DWORD, LPVOID out, DWORD, LPDWORD returned,
                        LPOVERLAPPED) {
  switch (code) {
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
      STORAGE_DEVICE_NUMBER* n = (STORAGE_DEVICE_NUMBER*)out;
      n->DeviceType = FILE_DEVICE_DISK;
      n->DeviceNumber = DriveNumber(g_script->volumes[h]);
      wchar_t letter = g_script->volumes[h];
      n->PartitionNumber = g_script->partitions.count(letter) ? g_script->partitions[letter] : 1;
      *returned = sizeof *n;
      return TRUE;
    }
    case FSCTL_LOCK_VOLUME:
    case FSCTL_DISMOUNT_VOLUME:
    case FSCTL_UNLOCK_VOLUME:
      return TRUE;
  }
  return FALSE;
}

BOOL WINAPI ScriptClose(HANDLE h) {
  g_script->volumes.erase(h);
  return CloseHandle(h);
}

const HostVolumeApi kScriptApi = {ScriptCreateFile, ScriptIoctl, FlushFileBuffers, ScriptClose};

struct NoShadowCopy : IShadowCopyClient {
  bool Load() override { return false; }
  bool Snapshot(wchar_t) override { return false; }
  HANDLE OpenSnapshotDevice() override { return INVALID_HANDLE_VALUE; }
  void Release() override {}
} g_noVss;

CHostVolume* ScriptedVolume(wchar_t) {
  CHostVolume* v = new CHostVolume(&kScriptApi);
  v->SetShadowCopyClient(&g_noVss);
  return v;
}

class HostCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    source = ct::MakeSource("source", "mbr2048");
    script.drives[L'X'] = source.path;
    script.volumeFile = vt::ToWin(source.dir + "/volume");
    ASSERT_TRUE(vt::WriteAll(script.volumeFile, "", 0));
    g_script = &script;
    SetHostVolumeFactory(ScriptedVolume);
  }
  void TearDown() override {
    SetHostVolumeFactory(nullptr);
    g_script = nullptr;
  }
  // An empty NTFS volume of megabytes MiB behind a letter.
  mi::Disk AddTarget(wchar_t letter, int megabytes, const std::string& layout = "mbr2048") {
    mi::Disk d;
    d.dir = vt::ScratchSubdirUnix(std::string(1, char(letter)));
    d.unixPath = d.dir + "/disk.img";
    d.path = vt::ToWin(d.unixPath);
    EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(d.dir + "/empty")));
    std::string out;
    EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.unixPath) + " --layout " + layout + " --size " +
                                std::to_string(megabytes) + " --tree " + vt::Q(d.dir + "/empty"),
                            &out));
    d.start = atol(out.c_str());
    script.drives[letter] = d.path;
    return d;
  }

  mi::Disk source;
  Script script;
};

TEST_F(HostCopy, BackupWritesTheVolumeIntoANewImageAndLeavesTheDriveAlone) {
  std::string before = vt::Sha256(source.path);
  std::wstring target = vt::ToWin(source.dir + "/backup.img");
  ASSERT_EQ(0, ImageBackupDiskW(L'x', target.c_str(), 1, 0, nullptr, nullptr));
  EXPECT_EQ(before, vt::Sha256(source.path));
  EXPECT_TRUE(script.volumes.empty()) << "every volume handle closed";
  std::string disk = ct::BareDisk(target);
  ct::ExpectTreeOnVolume(disk, source, 2048, 24 * 2048);
  // A letter with no drive behind it: nothing is written.
  std::wstring none = vt::ToWin(source.dir + "/none.img");
  EXPECT_EQ(-12, ImageBackupDiskW(L'Q', none.c_str(), 0, 0, nullptr, nullptr));
  EXPECT_FALSE(vt::FileExists(none));
}

TEST_F(HostCopy, CloneFillsALargerVolumeAndRefusesSmallerOnesAndItself) {
  mi::Disk larger = AddTarget(L'Y', 40);
  mi::Disk smaller = AddTarget(L'Z', 16);
  std::string smallBefore = vt::Sha256(smaller.path);
  EXPECT_EQ(-13, ImageCloneDiskW(L'X', L'Z', nullptr, nullptr));
  EXPECT_EQ(smallBefore, vt::Sha256(smaller.path));
  int opens = script.opens;
  EXPECT_EQ(-12, ImageCloneDiskW(L'X', L'x', nullptr, nullptr));
  EXPECT_EQ(opens, script.opens) << "refused before any volume was opened";

  ASSERT_EQ(0, ImageCloneDiskW(L'X', L'Y', nullptr, nullptr));
  // The partition ends behind the grown volume's backup boot sector.
  uint64_t start, count;
  ct::FirstEntry(larger.unixPath, &start, &count);
  EXPECT_EQ(2048u, start);
  EXPECT_GT(count, 39u * 2048);
  ct::ExpectTreeOnVolume(larger.unixPath, source, start, count);
  // The copied file system was grown back to the target's former size.
  CMountedImage m;
  ASSERT_GE(m.OpenImage(larger.path.c_str(), nullptr, 0, 0), 0);
  EXPECT_GT(m.GetVolumeSize(), 39ull << 20);
}

}  // namespace
