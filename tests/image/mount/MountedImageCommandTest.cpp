// Commands of a session that goes on (the main window's operations): each is
// kept whole at its end, or, when one of its writes failed, taken back
// with the image opened again as it was before it.
#include <gtest/gtest.h>

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

}  // namespace
