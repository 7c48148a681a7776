// A .reg import that rewrites most of SOFTWARE, saved into an update file
// and stopped at a write to that file (or with that write failing): the
// disk read back through the reopened chain is the disk before the import,
// or the one with all of its writes.
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

TEST(HiveSaveOverlay, StoppedImportIntoAnUpdateFileLeavesBeforeOrAfter) {
  rt::WinDisk d = rt::MakeWinDisk("--no-kernel");
  std::wstring own = rt::MakeOwnImage(d);
  std::wstring top = own + L"_01.Upd", saved = top + L".saved";
  std::wstring reg = vt::ToWin(d.dir) + L"\\big.reg";
  // An earlier command made the update file.
  {
    CMountedImage m;
    ASSERT_LE(0, m.OpenImage(own.c_str(), nullptr, 0, 1));
    ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_SOFTWARE));
    ASSERT_EQ(REG_STATUS_OK, m.RegCreateKey(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Earlier"));
    ASSERT_TRUE(m.UnloadHives());
    ASSERT_TRUE(m.Close());
  }
  ASSERT_TRUE(CopyFileW(top.c_str(), saved.c_str(), FALSE));
  std::wstring text = L"Windows Registry Editor Version 5.00\r\n\r\n";
  for (int k = 0; k < 60; k++) {
    text += L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imported\\Key" + std::to_wstring(k) + L"]\r\n";
    for (int v = 0; v < 12; v++)
      text += L"\"Value" + std::to_wstring(v) + L"\"=\"" + std::wstring(300 + k * 7 + v, L'a' + v) +
              L"\"\r\n";
    text += L"\r\n";
  }
  rt::WriteRegFile(reg, text);
  it::ExpectEveryWriteLeavesBeforeOrAfter(
      [&](it::RecordedRun& run, it::WriteFaults::Mode mode, int at) {
        CMountedImage m;
        if (m.OpenImage(top.c_str(), nullptr, 0, 1) < 0) return false;
        run.Start(m.IoBlock(), mode, at);
        bool ok =
            m.LoadHives(HIVE_FLAG_SOFTWARE) == 1 && m.ImportRegFile(reg.c_str()) == REG_STATUS_OK;
        ok = m.UnloadHives() && ok;
        // The save flushes between its log and its hive.
        if (mode == it::WriteFaults::COUNT) EXPECT_LE(2, run.rec->Flushes());
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

}  // namespace
