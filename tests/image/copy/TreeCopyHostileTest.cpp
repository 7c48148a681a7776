// Extracting never writes outside the chosen host folder: names put into the
// volume by ntfs-3g (FUSE mount and ntfscp) that would climb out, name a
// drive or stream, or a device are refused one by one, and links on either
// side are never written through.
#include <gtest/gtest.h>

#include "../TreeCopyTestUtil.h"
#include "image/copy/TreeCopy.h"

namespace {

using tc::Image;
using tc::Recorder;

using tc::ListOutside;

TEST(TreeCopyHostile, NamesThatLeaveTheTargetAreRefusedOneByOne) {
  std::string base = vt::ScratchDirUnix();
  std::string tree = base + "/tree";
  ASSERT_EQ(0, vt::Sh("set -e; mkdir -p " + vt::Q(tree + "/sub") + " && cd " + vt::Q(tree) +
                      " && printf ok > ok.txt && printf fine > sub/fine.bin"
                      " && printf x > '..\\..\\evil.txt' && printf x > '\\lead.txt'"
                      " && printf x > 'C:evil.txt' && printf x > 'ok.txt:stream'"
                      " && printf x > CON && printf x > aux.txt && printf x > 'Com1.log'"
                      " && printf x > 'nul .txt' && printf x > '...' && printf x > 'trail '"
                      " && mkdir '..\\dir' && printf x > '..\\dir/in.txt'"));
  Image img = tc::MakeImage("ntfs", 16, tree, base);
  // ntfscp puts one more: a device name without extension, inside sub.
  std::string vol = tc::Volume(img);
  ASSERT_EQ(0, vt::Sh("printf lpt > " + vt::Q(img.dir + "/lpt") + " && ntfscp -q " + vt::Q(vol) +
                      " " + vt::Q(img.dir + "/lpt") + " /sub/LPT1 && dd if=" + vt::Q(vol) +
                      " of=" + vt::Q(img.unixPath) + " bs=512 seek=" + std::to_string(img.start) +
                      " conv=notrunc status=none"));
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(img.dir + "/out")));
  std::string before = ListOutside(img.dir);

  CMountedImage m;
  ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 0), 0);
  Recorder rec;
  std::wstring out = vt::ToWin(img.dir + "/out");
  EXPECT_EQ(0, ExtractToHost(&m, L"\\", out.c_str(), tc::Record, &rec));
  // 12 refused names, each reported as a failed item with its error.
  EXPECT_EQ(12, rec.Count(VCC_FILE_FAILED));
  for (const tc::Event& e : rec.events) {
    if (e.event == VCC_FILE_FAILED) {
      EXPECT_EQ((DWORD)ERROR_INVALID_NAME, e.reserved);
    }
  }
  std::string inside;
  vt::Sh("cd " + vt::Q(img.dir + "/out") + " && find . | sort", &inside);
  EXPECT_EQ(".\n./ok.txt\n./sub\n./sub/fine.bin\n", inside);
  EXPECT_EQ(before, ListOutside(img.dir));

  // Asked for by name, a hostile file is refused as well.
  rec.events.clear();
  EXPECT_EQ(0, ExtractToHost(&m, L"\\sub\\LPT1", out.c_str(), tc::Record, &rec));
  EXPECT_EQ(1, rec.Count(VCC_FILE_FAILED));
  EXPECT_EQ(0, ExtractToHost(&m, L"\\*.txt", (out + L"\\txt").c_str(), tc::Record, &rec));
  EXPECT_TRUE(vt::FileExists(out + L"\\txt\\ok.txt"));
  EXPECT_EQ(before, ListOutside(img.dir));
}

TEST(TreeCopyHostile, SafeHostNames) {
  for (const wchar_t* ok : {L"a", L"a..b", L".hidden", L"CONSOLE", L"com10", L"LPT", L"nul_x",
                            L"中文.txt", L"con-x.txt"})
    EXPECT_TRUE(IsSafeHostName(ok)) << vt::Narrow(ok);
  for (const wchar_t* bad :
       {L"",         L".",         L"..",     L"...",     L"a.",  L"a ",       L"a\\b",
        L"a/b",      L"c:x",       L"CON",    L"con.txt", L"Aux", L"nul .txt", L"COM1",
        L"lpt9.log", L"COM\u00B9", L"CONIN$", L"a\x01",   L"a|b", L"a*"})
    EXPECT_FALSE(IsSafeHostName(bad)) << vt::Narrow(bad);
}

TEST(TreeCopyHostile, LinksAreNeverWrittenThrough) {
  std::string base = vt::ScratchDirUnix();
  std::string tree = base + "/tree";
  ASSERT_EQ(0,
            vt::Sh("mkdir -p " + vt::Q(tree + "/sub") + " && printf fine > " +
                   vt::Q(tree + "/sub/fine.bin") + " && printf f > " + vt::Q(tree + "/file.txt")));
  Image img = tc::MakeImage("ntfs", 16, tree, base);
  std::string outside = img.dir + "/outside";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(outside) + " " + vt::Q(img.dir + "/out")));
  {
    // A mount point in the volume that names the outside folder ...
    CMountedImage m;
    ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 2), 0);
    ASSERT_EQ(1, m.CreateLink(L"\\Evil", vt::ToWin(outside).c_str(), 0x4000, 0xA0000003));
  }
  // ... and, beside it, a real folder "evil" that differs only in case,
  // made through the case-sensitive FUSE mount.
  std::string vol = tc::Volume(img);
  std::string mnt = img.dir + "/mnt";
  ASSERT_EQ(0, vt::Sh("set -e; mkdir -p " + vt::Q(mnt) + " && ntfs-3g -o no_def_opts " +
                      vt::Q(vol) + " " + vt::Q(mnt) + " && mkdir " + vt::Q(mnt + "/evil") +
                      " && printf p > " + vt::Q(mnt + "/evil/pwn.txt") + " && umount " +
                      vt::Q(mnt) + " && dd if=" + vt::Q(vol) + " of=" + vt::Q(img.unixPath) +
                      " bs=512 seek=" + std::to_string(img.start) + " conv=notrunc status=none"));
  // A host link already in the target, where the volume has a folder and a file.
  ASSERT_EQ(0, vt::Sh("ln -s ../outside " + vt::Q(img.dir + "/out/sub") +
                      " && ln -s ../outside/f " + vt::Q(img.dir + "/out/file.txt")));
  std::string before = ListOutside(img.dir);

  CMountedImage m;
  ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 0), 0);
  Recorder rec;
  EXPECT_EQ(0, ExtractToHost(&m, L"\\", vt::ToWin(img.dir + "/out").c_str(), tc::Record, &rec));
  // The host links in the target are refused, not entered; the volume's
  // mount point is made as a link or fails (Wine makes none). Paths are
  // looked up without regard to case, so "evil" reaches the link too.
  EXPECT_GE(rec.Count(VCC_FILE_FAILED), 2);
  EXPECT_TRUE(vt::FileExists(vt::ToWin(img.dir + "/out/sub")));
  std::string found;
  vt::Sh("find " + vt::Q(outside) + " -mindepth 1", &found);
  EXPECT_EQ("", found);
  EXPECT_EQ(before, ListOutside(img.dir));
}

}  // namespace
