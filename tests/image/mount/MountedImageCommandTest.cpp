// Commands of a session that goes on (the main window's operations): each is
// kept whole at its end, or, when one of its writes failed, taken back
// with the image opened again as it was before it.
#include <gtest/gtest.h>

#include "../FatVolumeTestUtil.h"
#include "../ImageTestUtil.h"
#include "../MountedImageTestUtil.h"
#include "../WriteFaults.h"
#include "image/stack/journal/JournalFile.h"

namespace {

std::map<std::string, std::string> Hashes(const std::string& dir) {
  std::string out;
  vt::Sh("cd " + vt::Q(dir) + " && sha256sum disk.img own.vmd* 2>/dev/null", &out);
  std::map<std::string, std::string> files;
  for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
    files[out.substr(at + 66, end - at - 66)] = out.substr(at, 64);
  return files;
}

void Session(const mi::Disk& d, const std::wstring& image, int mode, const std::wstring& readBack) {
  CMountedImage m;
  ASSERT_LE(0, m.OpenImage(image.c_str(), nullptr, 0, mode));
  ASSERT_EQ(1, m.CreatePath(L"\\kept.txt", 0x8000));
  ASSERT_EQ(4u, m.WriteFile(L"\\kept.txt", "kept", 0, 4));
  ASSERT_TRUE(m.EndCommand(true));
  // Kept: nothing of the command is left to roll back.
  for (const auto& f : Hashes(d.dir))
    EXPECT_EQ(std::string::npos, f.first.find(".journal")) << f.first;
  std::map<std::string, std::string> kept = Hashes(d.dir);

  // The next command's writes fail half way: it is taken back, the image
  // opened again over the files as the first command left them.
  {
    it::WriteFaults fail(it::WriteFaults::FAIL, 3);
    m.CreatePath(L"\\lost.bin", 0x8000);
    std::vector<char> data(300000, 'x');
    m.WriteFile(L"\\lost.bin", data.data(), 0, data.size());
    EXPECT_FALSE(m.EndCommand(true));
    ASSERT_TRUE(fail.Hit());
  }
  EXPECT_TRUE(Hashes(d.dir) == kept);
  ASSERT_TRUE(m.NtfsVolume());
  EXPECT_EQ(0, m.GetPathType(L"\\lost.bin"));
  std::vector<char> text = mi::ReadWhole(m, L"\\kept.txt");
  EXPECT_EQ("kept", std::string(text.begin(), text.end()));
  // And goes on.
  ASSERT_EQ(1, m.CreateDirectory(L"\\After"));
  EXPECT_TRUE(m.EndCommand(true));
  EXPECT_TRUE(m.Close());
  CMountedImage again;
  ASSERT_LE(0, again.OpenImage(readBack.c_str(), nullptr, 0, 0));
  EXPECT_EQ(2, again.GetPathType(L"\\After"));
  EXPECT_EQ(1, again.GetPathType(L"\\kept.txt"));
}

TEST(MountedImageCommand, KeptWholeOrTakenBackAndReopened) {
  mi::Disk d = mi::MakeDisk("mbr2048");
  std::wstring own = mi::MakeOwnImage(d);
  {
    SCOPED_TRACE("plain image");
    Session(d, d.path, 2, d.path);
  }
  {
    SCOPED_TRACE("update file");
    Session(d, own, 1, own + L"_01.Upd");
  }
}

// On FAT32 and exFAT the folder a command searched is read afresh by the
// next: a command that deleted a name and made another is taken back, and
// the names are again as the files hold them (the deleted one there and
// taken, the new one free to be made once).
TEST(MountedImageCommand, AFatFolderTakenBackIsReadAgain) {
  for (const char* fs : {"fat32", "exfat"}) {
    SCOPED_TRACE(fs);
    fv::Disk d = fv::ToolDisk(fs);
    {
      CMountedImage m;
      ASSERT_LE(0, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
      ASSERT_EQ(1, m.CreateDirectory(L"\\Many"));
      for (int i = 0; i < 40; i++)
        ASSERT_EQ(1, m.CreatePath((L"\\Many\\file " + std::to_wstring(i) + L".txt").c_str(), 0x8000));
      ASSERT_TRUE(m.EndCommand(true));

      EXPECT_EQ(1, m.DeletePath(L"\\Many\\file 7.txt"));
      EXPECT_EQ(1, m.CreatePath(L"\\Many\\new.txt", 0x8000));
      EXPECT_FALSE(m.EndCommand(false));

      EXPECT_EQ(1, m.GetPathType(L"\\Many\\file 7.txt"));
      EXPECT_EQ(0, m.GetPathType(L"\\Many\\new.txt"));
      EXPECT_EQ(0, m.CreatePath(L"\\Many\\FILE 7.TXT", 0x8000));
      EXPECT_EQ(1, m.CreatePath(L"\\Many\\new.txt", 0x8000));
      EXPECT_EQ(0, m.CreatePath(L"\\Many\\new.txt", 0x8000));
      EXPECT_TRUE(m.EndCommand(true));
      EXPECT_TRUE(m.Close());
    }
    std::string part = fv::CutPartition(d, d.start, d.sectors, "part.img"), listed;
    EXPECT_EQ("", fv::FsckProblems(part, std::string(fs) == "exfat"));
    if (std::string(fs) == "fat32") {
      ASSERT_EQ(0, vt::Sh(fv::Mt() + "mdir -b -i " + vt::Q(part) + " ::/Many | wc -l", &listed));
      EXPECT_EQ("41\n", listed);
    }
  }
}

}  // namespace
