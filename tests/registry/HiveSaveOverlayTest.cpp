// A .reg import that rewrites most of SOFTWARE, saved into an update file
// and stopped at a write to that file (or with that write failing): the
// disk read back through the reopened chain is the disk before the import
// with a prefix of the volume's writes applied, every write before the last
// completed flush included, so the save's order (its log, a flush, then the
// hive) holds through the overlay as on a plain disk.
#include <windows.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "FacadeTestUtil.h"
#include "TestSupport.h"
#include "../image/VolumeWriteRecorder.h"
#include "../image/WriteFaults.h"
#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"
#include "registry/RegistryFacade.h"

namespace {

std::vector<uint8_t> ReadDisk(const std::wstring& top) {
  _VROH_MOUNT_RW d;
  EXPECT_LT(0, d.OpenChain(top.c_str(), L"", 0));
  std::vector<uint8_t> disk((size_t)d.DiskBytes());
  EXPECT_EQ((int64_t)disk.size(), d.ReadBytes(nullptr, 0, disk.data(), disk.size()));
  return disk;
}

// The import into the update file top, recorded from after the mount.
bool Import(const std::wstring& top, const std::wstring& reg,
            std::unique_ptr<it::VolumeWriteRecorder>* rec, std::vector<uint8_t>* before,
            std::unique_ptr<it::WriteFaults>* faults, it::WriteFaults::Mode mode, int at) {
  CMountedImage m;
  if (m.OpenImage(top.c_str(), nullptr, 0, 1) < 0) return false;
  DiskIoBlock* block = m.IoBlock();
  EXPECT_EQ(0, block->sync(block->owner));
  before->resize((size_t)static_cast<_VROH_MOUNT_RW*>(block->owner)->DiskBytes());
  EXPECT_EQ((int)before->size(), block->read(block->owner, 0, before->data(), before->size()));
  faults->reset(new it::WriteFaults(mode, at));
  rec->reset(new it::VolumeWriteRecorder(block));
  bool ok = m.LoadHives(HIVE_FLAG_SOFTWARE) == 1 && m.ImportRegFile(reg.c_str()) == REG_STATUS_OK;
  ok = m.UnloadHives() && ok;
  return m.Close() && ok;
}

TEST(HiveSaveOverlay, StoppedImportIntoAnUpdateFileLeavesAPrefix) {
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
  int writes;
  {
    std::unique_ptr<it::VolumeWriteRecorder> rec;
    std::unique_ptr<it::WriteFaults> count;
    std::vector<uint8_t> before;
    ASSERT_TRUE(Import(top, reg, &rec, &before, &count, it::WriteFaults::COUNT, 0));
    writes = count->Count();
    // The save flushes between its log and its hive.
    EXPECT_LE(2, rec->Flushes());
    std::string why;
    EXPECT_EQ((long)rec->Writes().size(), rec->MatchPrefix(before, ReadDisk(top), &why)) << why;
  }
  ASSERT_LT(20, writes);
  std::vector<int> points;
  for (int n = 1; n <= writes; n += writes / 30 + 1) points.push_back(n);
  points.push_back(writes);
  for (int mode = it::WriteFaults::FAIL; mode <= it::WriteFaults::STOP; mode++) {
    for (int n : points) {
      std::string where = std::string(mode == it::WriteFaults::FAIL ? "failed" : "stopped") +
                          " write " + std::to_string(n) + " of " + std::to_string(writes);
      ASSERT_TRUE(CopyFileW(saved.c_str(), top.c_str(), FALSE));
      std::unique_ptr<it::VolumeWriteRecorder> rec;
      std::unique_ptr<it::WriteFaults> faults;
      std::vector<uint8_t> before;
      EXPECT_FALSE(Import(top, reg, &rec, &before, &faults, (it::WriteFaults::Mode)mode, n))
          << where;
      faults.reset();
      std::string why;
      EXPECT_LE(0, rec->MatchPrefix(before, ReadDisk(top), &why))
          << where << ": no prefix of the volume's " << rec->Writes().size() << " writes ("
          << rec->Flushed() << " flushed) gives the disk: " << why;
      if (::testing::Test::HasFailure()) return;
    }
  }
}

}  // namespace
