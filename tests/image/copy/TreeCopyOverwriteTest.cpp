// Existing targets: the overwrite answers, and "only when newer" deciding by
// version resource (PE files built here with mingw-w64) and then by time,
// in both directions.
#include <gtest/gtest.h>

#include "../TreeCopyTestUtil.h"
#include "image/copy/TreeCopy.h"

namespace {

using tc::Image;
using tc::Recorder;

// A small i386 executable with a version resource; tag makes the bytes of
// two builds of one version differ.
std::string BuildExe(const std::string& dir, const std::string& name, const std::string& version,
                     const std::string& tag, const std::string& when) {
  std::string dotted = version;
  for (char& c : dotted) {
    if (c == ',') c = '.';
  }
  std::string rc = dir + "/" + name + ".rc";
  std::string c = dir + "/" + name + ".c";
  std::string exe = dir + "/" + name;
  std::string cmd =
      "set -e; printf '%s\\n' '1 VERSIONINFO' 'FILEVERSION " + version + "' 'PRODUCTVERSION " +
      version + "' 'BEGIN' ' BLOCK \"StringFileInfo\"' ' BEGIN' '  BLOCK \"040904b0\"' '  BEGIN'" +
      " '   VALUE \"FileVersion\", \"" + dotted + "\"' '  END' ' END' ' BLOCK \"VarFileInfo\"'" +
      " ' BEGIN' '  VALUE \"Translation\", 0x409, 1200' ' END' 'END' > " + vt::Q(rc) +
      " && printf 'const char* tag = \"%s\"; int main(void) { return tag[0]; }\\n' " + vt::Q(tag) +
      " > " + vt::Q(c) + " && i686-w64-mingw32-windres " + vt::Q(rc) + " -O coff -o " +
      vt::Q(rc + ".o") + " && i686-w64-mingw32-gcc -s -o " + vt::Q(exe) + " " + vt::Q(c) + " " +
      vt::Q(rc + ".o") + " && touch -m -d " + vt::Q(when) + " " + vt::Q(exe);
  std::string out;
  EXPECT_EQ(0, vt::Sh(cmd, &out)) << out;
  return exe;
}

std::string Plain(const std::string& dir, const std::string& name, const std::string& text,
                  const std::string& when) {
  std::string p = dir + "/" + name;
  EXPECT_EQ(0, vt::Sh("printf %s " + vt::Q(text) + " > " + vt::Q(p) + " && touch -m -d " +
                      vt::Q(when) + " " + vt::Q(p)));
  return p;
}

class TreeCopyOverwrite : public ::testing::Test {
 protected:
  void SetUp() override {
    img = tc::MakeImage("ntfs", 16);
    dir = img.dir;
    ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 2), 0);
  }

  // Puts `existing` at \t, then injects `candidate` over it with `mode`;
  // true when \t then holds the candidate's bytes.
  bool InjectOver(const std::string& existing, const std::string& candidate, DWORD mode) {
    uint64_t missing = 0;
    m.DeletePath(L"\\t");
    EXPECT_EQ(1,
              InjectHostPath(&m, vt::ToWin(existing).c_str(), L"\\t", &missing, nullptr, nullptr));
    Recorder rec;
    rec.overwrite = mode;
    int r = InjectHostPath(&m, vt::ToWin(candidate).c_str(), L"\\t", &missing, tc::Record, &rec);
    EXPECT_EQ(1, rec.Count(VCC_TARGET_EXISTS));
    EXPECT_EQ(0, rec.Count(VCC_FILE_FAILED));
    bool replaced = Holds(L"\\t", candidate);
    EXPECT_EQ(replaced ? 1 : 0, r);
    EXPECT_TRUE(replaced || Holds(L"\\t", existing));
    return replaced;
  }

  bool Holds(const wchar_t* volPath, const std::string& hostFile) {
    std::vector<uint8_t> want;
    EXPECT_TRUE(vt::ReadAll(vt::ToWin(hostFile), want));
    uint64_t size = 0;
    if (!m.GetFileInfo(volPath, nullptr, nullptr, nullptr, nullptr, &size) || size != want.size())
      return false;
    std::vector<uint8_t> got(want.size());
    return size == 0 || (m.ReadFile(volPath, got.data(), 0, size) == size && got == want);
  }

  // Puts `volumeSide` into the volume at \e and `hostSide` at the host
  // target, then extracts over it; true when the host file was replaced.
  bool ExtractOver(const std::string& volumeSide, const std::string& hostSide, DWORD mode) {
    uint64_t missing = 0;
    m.DeletePath(L"\\e");
    EXPECT_EQ(
        1, InjectHostPath(&m, vt::ToWin(volumeSide).c_str(), L"\\e", &missing, nullptr, nullptr));
    std::string target = dir + "/target";
    EXPECT_EQ(0, vt::Sh("cp -p " + vt::Q(hostSide) + " " + vt::Q(target)));
    Recorder rec;
    rec.overwrite = mode;
    EXPECT_EQ(1, ExtractToHost(&m, L"\\e", vt::ToWin(target).c_str(), tc::Record, &rec));
    EXPECT_EQ(1, rec.Count(VCC_TARGET_EXISTS));
    bool replaced = vt::Sh("cmp -s " + vt::Q(volumeSide) + " " + vt::Q(target)) == 0;
    EXPECT_TRUE(replaced || vt::Sh("cmp -s " + vt::Q(hostSide) + " " + vt::Q(target)) == 0);
    return replaced;
  }

  Image img;
  std::string dir;
  CMountedImage m;
};

TEST_F(TreeCopyOverwrite, LowerVersionsStayOutAndTimesDecide) {
  std::string v1new = BuildExe(dir, "v1new.exe", "1,0,0,0", "a", "2023-03-03 12:00");
  std::string v1old = BuildExe(dir, "v1old.exe", "1,0,0,0", "b", "2020-02-02 12:00");
  std::string v1same = BuildExe(dir, "v1same.exe", "1,0,0,0", "c", "2020-02-02 12:00");
  std::string v2old = BuildExe(dir, "v2old.exe", "2,0,0,0", "d", "2020-02-02 12:00");
  std::string v10 = BuildExe(dir, "v10.exe", "1,10,0,0", "e", "2020-02-02 12:00");
  std::string v2new = BuildExe(dir, "v2new.exe", "2,0,0,0", "f", "2024-04-04 12:00");

  EXPECT_EQ(0x0001000000000000ull, GetHostFileVersion(vt::ToWin(v1new).c_str()));
  EXPECT_EQ(0x0001000A00000000ull, GetHostFileVersion(vt::ToWin(v10).c_str()));
  uint64_t missing = 0;
  ASSERT_EQ(1,
            InjectHostPath(&m, vt::ToWin(v2old).c_str(), L"\\v.exe", &missing, nullptr, nullptr));
  EXPECT_EQ(0x0002000000000000ull, GetVolumeFileVersion(&m, L"\\v.exe"));
  ASSERT_EQ(1, m.CreateLink(L"\\vlink.exe", L"C:\\v.exe", 0x8000, 0xA000000C));
  EXPECT_EQ(0x0002000000000000ull, GetVolumeFileVersion(&m, L"\\vlink.exe"));

  // A lower version stays out although its file is newer; a higher one
  // goes in only when its file is newer too.
  EXPECT_FALSE(InjectOver(v2old, v1new, VCC_REPLACE_IF_NEWER));
  EXPECT_FALSE(InjectOver(v1new, v2old, VCC_REPLACE_IF_NEWER));
  EXPECT_FALSE(InjectOver(v1new, v10, VCC_REPLACE_IF_NEWER));
  EXPECT_TRUE(InjectOver(v1new, v2new, VCC_REPLACE_IF_NEWER));
  EXPECT_FALSE(InjectOver(v1old, v10, VCC_REPLACE_IF_NEWER));  // the same time
  // Equal versions: the time decides, an equal time is not newer.
  EXPECT_TRUE(InjectOver(v1old, v1new, VCC_REPLACE_IF_NEWER));
  EXPECT_FALSE(InjectOver(v1new, v1old, VCC_REPLACE_IF_NEWER));
  EXPECT_FALSE(InjectOver(v1old, v1same, VCC_REPLACE_IF_NEWER));
  // The other answers do not look.
  EXPECT_FALSE(InjectOver(v1old, v2old, VCC_SKIP));
  EXPECT_TRUE(InjectOver(v2old, v1old, VCC_REPLACE));

  // Extracting compares the volume file against the host file.
  EXPECT_FALSE(ExtractOver(v2old, v1new, VCC_REPLACE_IF_NEWER));
  EXPECT_TRUE(ExtractOver(v2new, v1new, VCC_REPLACE_IF_NEWER));
  EXPECT_FALSE(ExtractOver(v1new, v2old, VCC_REPLACE_IF_NEWER));
  EXPECT_TRUE(ExtractOver(v1new, v1old, VCC_REPLACE_IF_NEWER));
  EXPECT_FALSE(ExtractOver(v1same, v1old, VCC_REPLACE_IF_NEWER));
  EXPECT_FALSE(ExtractOver(v1new, v1old, VCC_SKIP));
  EXPECT_TRUE(ExtractOver(v1old, v1new, VCC_REPLACE));
}

TEST_F(TreeCopyOverwrite, FilesWithoutVersionsGoByTime) {
  std::string older = Plain(dir, "older.txt", "older", "2019-01-01 00:00");
  std::string newer = Plain(dir, "newer.txt", "newer!", "2024-01-01 00:00");
  std::string same = Plain(dir, "same.txt", "same", "2019-01-01 00:00");
  std::string exe = BuildExe(dir, "versioned.exe", "9,0,0,0", "x", "2018-01-01 00:00");

  EXPECT_TRUE(InjectOver(older, newer, VCC_REPLACE_IF_NEWER));
  EXPECT_FALSE(InjectOver(newer, older, VCC_REPLACE_IF_NEWER));
  EXPECT_FALSE(InjectOver(older, same, VCC_REPLACE_IF_NEWER));
  // One side without a version: times decide.
  EXPECT_FALSE(InjectOver(older, exe, VCC_REPLACE_IF_NEWER));
  EXPECT_TRUE(InjectOver(exe, older, VCC_REPLACE_IF_NEWER));

  EXPECT_TRUE(ExtractOver(newer, older, VCC_REPLACE_IF_NEWER));
  EXPECT_FALSE(ExtractOver(older, newer, VCC_REPLACE_IF_NEWER));
  EXPECT_FALSE(ExtractOver(same, older, VCC_REPLACE_IF_NEWER));

  // Without a callback an existing target is replaced.
  uint64_t missing = 0;
  ASSERT_EQ(1, InjectHostPath(&m, vt::ToWin(newer).c_str(), L"\\n", &missing, nullptr, nullptr));
  EXPECT_EQ(1, InjectHostPath(&m, vt::ToWin(older).c_str(), L"\\n", &missing, nullptr, nullptr));
  EXPECT_TRUE(Holds(L"\\n", older));
}

}  // namespace
