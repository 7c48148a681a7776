// The mounted image over a host drive letter. Wine has no raw volumes, so a
// scripted platform serves a disk image file as the physical drive that
// holds the volume; the NTFS library then reads and writes it as it would a
// real drive.
#include <windows.h>
#include <winioctl.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "../MountedImageTestUtil.h"
#include "image/host/HostVolume.h"

namespace {

struct Script {
  std::wstring drivePath;   // the file behind "\\.\PhysicalDrive1"
  std::wstring volumePath;  // any file behind "\\.\X:"
  bool failDrive = false;
  std::set<HANDLE> open;
  std::set<std::string> calls;
};
Script* g_script = nullptr;

HANDLE WINAPI ScriptCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                               DWORD disposition, DWORD, HANDLE) {
  std::wstring n(name);
  const std::wstring* file = nullptr;
  if (n == L"\\\\.\\PhysicalDrive1" && !g_script->failDrive) file = &g_script->drivePath;
  if (n == L"\\\\.\\X:") file = &g_script->volumePath;
  if (!file) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = CreateFileW(file->c_str(), access, share, nullptr, disposition, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) g_script->open.insert(h);
  return h;
}

BOOL WINAPI ScriptIoctl(HANDLE, DWORD code, LPVOID, DWORD, LPVOID out, DWORD, LPDWORD returned,
                        LPOVERLAPPED) {
  switch (code) {
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
      STORAGE_DEVICE_NUMBER* n = (STORAGE_DEVICE_NUMBER*)out;
      n->DeviceType = FILE_DEVICE_DISK;
      n->DeviceNumber = 1;
      n->PartitionNumber = 1;
      *returned = sizeof *n;
      return TRUE;
    }
    case FSCTL_LOCK_VOLUME:
      g_script->calls.insert("lock");
      return TRUE;
    case FSCTL_DISMOUNT_VOLUME:
      g_script->calls.insert("dismount");
      return TRUE;
    case FSCTL_UNLOCK_VOLUME:
      g_script->calls.insert("unlock");
      return TRUE;
  }
  return FALSE;
}

BOOL WINAPI ScriptClose(HANDLE h) {
  g_script->open.erase(h);
  return CloseHandle(h);
}

const HostVolumeApi kScriptApi = {ScriptCreateFile, ScriptIoctl, FlushFileBuffers, ScriptClose};

// A shadow-copy service that is not there.
struct NoShadowCopy : IShadowCopyClient {
  bool Load() override { return false; }
  bool Snapshot(wchar_t) override { return false; }
  HANDLE OpenSnapshotDevice() override { return INVALID_HANDLE_VALUE; }
  void Release() override {}
};

class MountedImageHost : public ::testing::Test {
 protected:
  void SetUp() override {
    disk = mi::MakeDisk("mbr2048");
    script.drivePath = disk.path;
    script.volumePath = disk.path + L".vol";
    ASSERT_TRUE(vt::WriteAll(script.volumePath, "", 0));
    g_script = &script;
  }
  void TearDown() override { g_script = nullptr; }

  CHostVolume* NewVolume() {
    CHostVolume* v = new CHostVolume(&kScriptApi);
    v->SetShadowCopyClient(&noVss);
    return v;
  }

  mi::Disk disk;
  Script script;
  NoShadowCopy noVss;
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
  script.failDrive = true;
  CMountedImage m;
  EXPECT_EQ(-1, m.OpenHostVolume(L'X', 1, NewVolume()));
  EXPECT_TRUE(script.open.empty());
  EXPECT_EQ(0, m.GetPathType(L"\\big.bin"));
  // A letter with no volume behind it, through the system's own calls.
  EXPECT_EQ(-1, m.OpenHostVolume(L'Q', 0));
}

}  // namespace
