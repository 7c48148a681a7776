// A .reg import saved into an update file and stopped at a write to that
// file (or with that write failing): the disk read back through the
// reopened chain is the disk before the import, or the one with all of its
// writes. An import that rewrites most of SOFTWARE, and one into the user's
// hive on another partition of the disk than the Windows volume (a profile
// folder on drive D:), whose volume the command mounts beside the main one.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "../FacadeTestUtil.h"
#include "TestSupport.h"
#include "../../image/VolumeWriteRecorder.h"
#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"
#include "registry/RegistryFacade.h"

namespace {

// The update file an earlier command made with `earlier`'s changes, then
// the import of `text` into the hives of `flags` cut off at every write.
void ExpectStoppedImportLeavesBeforeOrAfter(const rt::WinDisk& d, int partition,
                                            const std::function<bool(CMountedImage&)>& earlier,
                                            unsigned char flags, const std::wstring& text) {
  std::wstring own = rt::MakeOwnImage(d);
  std::wstring top = own + L"_01.Upd", saved = top + L".saved";
  std::wstring reg = vt::ToWin(d.dir) + L"\\big.reg";
  {
    CMountedImage m;
    ASSERT_LE(0, m.OpenImage(own.c_str(), nullptr, partition, 1));
    ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_SYSTEM | HIVE_FLAG_SOFTWARE));
    ASSERT_TRUE(earlier(m));
    ASSERT_TRUE(m.UnloadHives());
    ASSERT_TRUE(m.Close());
  }
  ASSERT_TRUE(CopyFileW(top.c_str(), saved.c_str(), FALSE));
  rt::WriteRegFile(reg, L"Windows Registry Editor Version 5.00\r\n\r\n" + text);
  it::ExpectEveryWriteLeavesBeforeOrAfter(
      [&](it::RecordedRun& run, it::WriteFaults::Mode mode, int at) {
        CMountedImage m;
        if (m.OpenImage(top.c_str(), nullptr, partition, 1) < 0) return false;
        run.Start(m.IoBlock(), mode, at);
        bool ok = m.LoadHives(flags) == 1 && m.ImportRegFile(reg.c_str()) == REG_STATUS_OK;
        ok = m.UnloadHives() && ok;
        // The save flushes between its log and its hive.
        if (mode == it::WriteFaults::COUNT) {
          EXPECT_LE(2, run.rec->Flushes());
        }
        return m.Close() && ok;
      },
      [&] { ASSERT_TRUE(CopyFileW(saved.c_str(), top.c_str(), FALSE)); },
      [&] { return it::ChainDisk(top, L""); },
      [](int writes) {
        EXPECT_LT(20, writes);
        std::vector<int> points;
        for (int n = 1; n <= writes; n += writes / 30 + 1) points.push_back(n);
        points.push_back(writes);
        return points;
      });
}

// Keys of many long values: the hive grows by many pages.
std::wstring ManyValues(const wchar_t* key, int keys) {
  std::wstring text;
  for (int k = 0; k < keys; k++) {
    text += L"[" + std::wstring(key) + L"\\Key" + std::to_wstring(k) + L"]\r\n";
    for (int v = 0; v < 12; v++)
      text += L"\"Value" + std::to_wstring(v) + L"\"=\"" + std::wstring(300 + k * 7 + v, L'a' + v) +
              L"\"\r\n";
    text += L"\r\n";
  }
  return text;
}

TEST(HiveSaveOverlay, StoppedImportIntoAnUpdateFileLeavesBeforeOrAfter) {
  ExpectStoppedImportLeavesBeforeOrAfter(
      rt::MakeWinDisk("--no-kernel"), 0,
      [](CMountedImage& m) {
        return m.RegCreateKey(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Earlier") == REG_STATUS_OK;
      },
      HIVE_FLAG_SOFTWARE, ManyValues(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Imported", 60));
}

TEST(HiveSaveOverlay, StoppedImportIntoTheUserHiveOfAnotherPartition) {
  rt::WinDisk d = rt::MakeProfilePairDisk("mbr-pair");
  std::vector<uint8_t> id(12);
  std::string signature;
  ASSERT_EQ(0, vt::Sh("od -A n -t u4 -j 440 -N 4 " + vt::Q(d.unixPath), &signature));
  uint32_t s = uint32_t(strtoul(signature.c_str(), nullptr, 10));
  for (int i = 0; i < 4; i++) id[i] = uint8_t(s >> (8 * i));
  id[6] = 0x10;  // partition 0 begins at byte 2048 * 512
  ExpectStoppedImportLeavesBeforeOrAfter(
      d, 1,
      [&](CMountedImage& m) {
        const wchar_t kSid[] = L"S-1-5-21-1-2-3-1001";
        const std::wstring folder = L"D:\\Users\\alice", devices =
            L"HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices", profile =
            L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" +
            std::wstring(kSid);
        for (const std::wstring& key : {devices, profile})
          if (m.RegCreateKey(key.c_str()) == REG_STATUS_FAILURE) return false;
        return m.RegSetValue(devices.c_str(), L"\\DosDevices\\D:", id.data(), 12, 3) ==
                   REG_STATUS_OK &&
               m.RegSetValue(profile.c_str(), L"ProfileImagePath", folder.c_str(),
                             uint32_t(folder.size() + 1) * 2, 2) == REG_STATUS_OK &&
               m.RegSetValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
                             L"Authentication\\LogonUI",
                             L"LastLoggedOnUserSID", kSid, sizeof kSid, 1) == REG_STATUS_OK;
      },
      HIVE_FLAG_USER, ManyValues(L"HKEY_CURRENT_USER\\Software\\Imported", 20));
}

}  // namespace
