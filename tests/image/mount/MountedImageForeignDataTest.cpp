// Files whose content Windows keeps outside the unnamed stream (WOF-compressed
// system files, deduplicated files), made by ntfs-3g: their data is refused
// with ERROR_NOT_SUPPORTED by the file API and the tree copy, never handed out
// as the empty or stale stream, while the rest of what can be done with a
// file keeps working and the volume stays clean for ntfsfix.
#include <gtest/gtest.h>

#include <string.h>

#include "../TreeCopyTestUtil.h"
#include "image/copy/TreeCopy.h"

namespace {

using tc::Image;
using tc::Recorder;

const wchar_t kWof[] = L"\\Data\\Sys\\wof.dll";
const wchar_t kDedup[] = L"\\Data\\dedup.bin";
const uint64_t kWofSize = 100000;
const uint64_t kDedupSize = 5000;

// \Data with two plain files, then wof.dll and dedup.bin given foreign data.
Image MakeForeignImage() {
  std::string dir = vt::ScratchDirUnix();
  std::string tree = dir + "/tree";
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree + "/Data/Sys") + " && cd " + vt::Q(tree) +
                      " && printf 'plain text\\n' > Data/a.txt"
                      " && head -c 70000 /dev/urandom > Data/Sys/kernel.bin"));
  Image img = tc::MakeImage("ntfs", 24, tree, dir);
  EXPECT_TRUE(vt::Fixture("mk-foreign-data.sh " + vt::Q(img.unixPath) + " " +
                          std::to_string(img.start) + " wof Data/Sys/wof.dll " +
                          std::to_string(kWofSize) + " dedup Data/dedup.bin " +
                          std::to_string(kDedupSize)));
  return img;
}

int CountFailures(const Recorder& rec, DWORD error, uint64_t size) {
  int n = 0;
  for (const tc::Event& e : rec.events)
    n += e.event == VCC_FILE_FAILED && e.reserved == error && e.total == size;
  return n;
}

struct Listed {
  std::wstring name;
  uint64_t size;
  DWORD attributes;
};

int Collect(const wchar_t* name, unsigned int, DWORD sizeLow, DWORD sizeHigh, const FILETIME*,
            const FILETIME*, const FILETIME*, DWORD attributes, void* user) {
  static_cast<std::vector<Listed>*>(user)->push_back(
      Listed{name, ((uint64_t)sizeHigh << 32) | sizeLow, attributes});
  return 1;
}

TEST(MountedImageForeignData, DataIsRefusedWhileTheFileIsListedAndDescribed) {
  Image img = MakeForeignImage();
  CMountedImage m;
  ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 2), 0);
  std::vector<char> buf(kWofSize + 16, 'x');

  for (const wchar_t* path : {kWof, kDedup}) {
    SCOPED_TRACE(vt::Narrow(path));
    SetLastError(0);
    EXPECT_EQ(0u, m.ReadFile(path, buf.data(), 0, kWofSize));
    EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());
    EXPECT_EQ(0u, m.ReadFile(path, buf.data(), 100, 10));
    EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());
    // Writing into the stream Windows does not read would lose the data.
    EXPECT_EQ(0u, m.WriteFile(path, "new", 0, 3));
    EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());
    EXPECT_EQ(0, m.IsWindowsExecutable(path));

    EXPECT_EQ(1, m.GetPathType(path));
    EXPECT_EQ(0u, m.GetReparseTag(path));  // not a link
    DWORD attributes = 0;
    uint64_t size = 0;
    ASSERT_EQ(1, m.GetFileInfo(path, nullptr, nullptr, nullptr, &attributes, &size));
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(path == kWof ? kWofSize : kDedupSize, size);
  }
  // Nothing was changed by the refused write.
  std::vector<Listed> listed;
  ASSERT_EQ(1, m.EnumDirectory(L"\\Data\\Sys", Collect, &listed));
  bool seen = false;
  for (const Listed& e : listed) {
    if (e.name == L"wof.dll") {
      seen = true;
      EXPECT_EQ(kWofSize, e.size);
      EXPECT_TRUE(e.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    }
  }
  EXPECT_TRUE(seen);

  // Plain files beside them read as before.
  char text[32] = {};
  EXPECT_EQ(11u, m.ReadFile(L"\\Data\\a.txt", text, 0, sizeof text));
  EXPECT_STREQ("plain text\n", text);
  EXPECT_EQ(3u, m.WriteFile(L"\\Data\\a.txt", "PLA", 0, 3));
}

TEST(MountedImageForeignData, ExtractReportsTheFilesFailedAndCopiesTheRest) {
  Image img = MakeForeignImage();
  std::string outUnix = img.dir + "/out";
  CMountedImage m;
  ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 0), 0);

  Recorder rec;
  EXPECT_EQ(0, ExtractToHost(&m, L"\\Data", vt::ToWin(outUnix).c_str(), tc::Record, &rec));
  EXPECT_EQ(2, rec.Count(VCC_FILE_FAILED));
  EXPECT_EQ(1, CountFailures(rec, ERROR_NOT_SUPPORTED, kWofSize));
  EXPECT_EQ(1, CountFailures(rec, ERROR_NOT_SUPPORTED, kDedupSize));
  EXPECT_FALSE(vt::FileExists(vt::ToWin(outUnix + "/Sys/wof.dll")));
  EXPECT_FALSE(vt::FileExists(vt::ToWin(outUnix + "/dedup.bin")));
  std::string report;
  EXPECT_EQ(0,
            vt::Sh("cmp " + vt::Q(img.dir + "/tree/Data/a.txt") + " " + vt::Q(outUnix + "/a.txt") +
                       " && cmp " + vt::Q(img.dir + "/tree/Data/Sys/kernel.bin") + " " +
                       vt::Q(outUnix + "/Sys/kernel.bin"),
                   &report))
      << report;

  // One file, into a folder and as a named target: failed, nothing left.
  std::string one = img.dir + "/one";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(one)));
  Recorder single;
  EXPECT_EQ(0, ExtractToHost(&m, kWof, vt::ToWin(one).c_str(), tc::Record, &single));
  EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());
  EXPECT_EQ(1, CountFailures(single, ERROR_NOT_SUPPORTED, kWofSize));
  EXPECT_FALSE(vt::FileExists(vt::ToWin(one + "/wof.dll")));
  EXPECT_EQ(0, ExtractToHost(&m, kDedup, vt::ToWin(one + "/copy.bin").c_str(), nullptr, nullptr));
  EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());
  EXPECT_FALSE(vt::FileExists(vt::ToWin(one + "/copy.bin")));

  // An existing host file named like it is left as it was.
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(one + "/wof.dll"), "keep", 4));
  EXPECT_EQ(0, ExtractToHost(&m, kWof, vt::ToWin(one).c_str(), nullptr, nullptr));
  std::vector<uint8_t> kept;
  ASSERT_TRUE(vt::ReadAll(vt::ToWin(one + "/wof.dll"), kept));
  EXPECT_EQ(std::string("keep"), std::string(kept.begin(), kept.end()));
}

TEST(MountedImageForeignData, TimesRenameDeleteAndInjectOverKeepWorking) {
  Image img = MakeForeignImage();
  std::string host = img.dir + "/new.bin";
  ASSERT_EQ(0, vt::Sh("head -c 12345 /dev/urandom > " + vt::Q(host)));
  const wchar_t kRenamed[] = L"\\Data\\Sys\\wof-old.dll";
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 2), 0);
    FILETIME when = tc::FromUnix(1500000000);
    ASSERT_EQ(1, m.SetFileInfo(kWof, nullptr, &when, nullptr, nullptr));
    FILETIME back = {};
    ASSERT_EQ(1, m.GetFileInfo(kWof, nullptr, &back, nullptr, nullptr, nullptr));
    EXPECT_EQ(tc::U64(when), tc::U64(back));

    // A renamed file keeps its reparse point, and so its refusal.
    ASSERT_EQ(1, m.RenamePath(kWof, kRenamed));
    EXPECT_EQ(0, m.GetPathType(kWof));
    char c;
    EXPECT_EQ(0u, m.ReadFile(kRenamed, &c, 0, 1));
    EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());

    // A host file over it replaces it whole, reparse point included.
    Recorder rec;
    uint64_t missing = 0;
    EXPECT_EQ(1, InjectHostPath(&m, vt::ToWin(host).c_str(), kDedup, &missing, tc::Record, &rec));
    EXPECT_EQ(1, rec.Count(VCC_TARGET_EXISTS));
    EXPECT_EQ(0, rec.Count(VCC_FILE_FAILED));
    DWORD attributes = 0;
    ASSERT_EQ(1, m.GetFileInfo(kDedup, nullptr, nullptr, nullptr, &attributes, nullptr));
    EXPECT_FALSE(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    std::vector<char> data(12345);
    EXPECT_EQ(12345u, m.ReadFile(kDedup, data.data(), 0, data.size()));
    std::vector<uint8_t> want;
    ASSERT_TRUE(vt::ReadAll(vt::ToWin(host), want));
    EXPECT_TRUE(want.size() == data.size() && !memcmp(want.data(), data.data(), data.size()));

    ASSERT_EQ(1, m.DeletePath(kRenamed));
    EXPECT_EQ(0, m.GetPathType(kRenamed));
  }
  std::string vol = tc::Volume(img);
  std::string out;
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(vol), &out)) << out;
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(vol) + " /Data/dedup.bin | cmp - " + vt::Q(host), &out))
      << out;
  EXPECT_EQ(0, vt::Sh("ntfsinfo -F /Data/dedup.bin " + vt::Q(vol) + " | grep 'Reparse tag' | wc -l",
                      &out));
  EXPECT_EQ("0\n", out);
  EXPECT_EQ(0, vt::Sh("ntfsls -p /Data/Sys " + vt::Q(vol), &out));
  EXPECT_EQ(".\n..\nkernel.bin\n", out);
}

}  // namespace
