// A volume whose $Bitmap marks free clusters its records use (made by
// tests/fixtures/ntfs-bitmap-damage.py on a volume of mkntfs and ntfs-3g):
// an inject through the program that would need them is refused with a line
// naming the file, the image stays byte for byte, ntfs-3g reads every file
// back; "/repair" mends it, and the program writes again.
#include <windows.h>

#include <gtest/gtest.h>

#include "ProgramImage.h"
#include "TestSupport.h"
#include "app/ImageOperations.h"

namespace {

const int kVolumeMib = 32;

std::wstring On(const std::string& image) {
  return L"\"-img:" + vt::ToWin(image) + L"\" -noupd ";
}

// ntfsfix -n's output, its exit code first (the image's name left out).
std::string Ntfsfix(const std::string& image) {
  std::string out;
  vt::Sh("out=$(ntfsfix -n " + vt::Q(image) + " 2>&1); echo $?; echo \"$out\" | sed 's|" + image +
             "|IMAGE|'",
         &out);
  return out;
}

// Every file of the tree read back from the volume by ntfscat.
void ExpectTree(const std::string& image, const std::string& tree) {
  std::string out;
  EXPECT_EQ(0, vt::Sh("cd " + vt::Q(tree) + " && find . -type f | while read -r f; do ntfscat " +
                          vt::Q(image) +
                          " \"${f#.}\" 2>/dev/null | cmp -s - \"$f\" || echo \"$f\";"
                          " done | head -5 | grep . && exit 1 || exit 0",
                      &out))
      << "ntfs-3g does not read back:\n"
      << out;
}

DWORD Inject(const std::string& image, const std::string& folder, const std::string& host,
             std::string* out) {
  DWORD code = 0;
  EXPECT_TRUE(apptest::RunProgram(On(image) + L"\"/inject:\\" +
                                      std::wstring(folder.begin(), folder.end()) + L"::" +
                                      vt::ToWin(host) + L"\"",
                                  code, out));
  return code;
}

// Each damage of the cases below, on a fresh copy: an inject of a file that
// takes all the free space $Bitmap counts but two clusters (the library
// hands out a volume's last free clusters too) is refused with the line,
// and nothing is written; after "/repair" an inject goes through.
TEST(BatchBitmapGate, ClustersARecordUsesAreNeverWrittenOver) {
  struct Case {
    const char* damage;  // of ntfs-bitmap-damage.py
    const char* folder;  // the inject's, "" for the root
    const char* line;
    const char* line2;
  } cases[] = {
      {"mft", "",
       "$Bitmap marks free clusters that \\$MFT uses: nothing is written to the volume "
       "until /repair mends it\r\n",
       ""},
      {"index", "",
       "$Bitmap marks free clusters that the index of \\ uses: nothing goes into or "
       "out of it until /repair mends it\r\n",
       ""},
      {"index Sub", "Sub",
       "$Bitmap marks free clusters that the index of \\Sub uses: nothing goes "
       "into or out of it until /repair mends it\r\n",
       ""},
      // Another folder's index, which the inject does not go into.
      {"index Sub", "", "$Bitmap marks free clusters that the index of \\Sub uses (cluster ",
       "), and the write would have taken them: nothing is written until /repair mends it\r\n"},
      {"file keep.bin", "", "$Bitmap marks free clusters that \\keep.bin uses (cluster ",
       "), and the write would have taken them: nothing is written until /repair mends it\r\n"},
  };
  const std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree", pristine = dir + "/v.img",
                    work = dir + "/work.img", damaged = dir + "/damaged.img";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree + "/Sub") + " && cd " + vt::Q(tree) +
                      " && head -c 1048576 /dev/urandom > keep.bin && for i in $(seq 100 179); do"
                      " head -c $((i * 37 % 3000)) /dev/urandom > a-file-in-the-root-with-a-long-"
                      "name-$i.dat; done && for i in $(seq 1 250); do echo $i > Sub/a-file-in-a-"
                      "folder-with-a-long-name-$i.txt; done && head -c 1048576 /dev/urandom > " +
                      vt::Q(dir + "/small.bin")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(pristine) + " --layout none --size " +
                          std::to_string(kVolumeMib) + " --tree " + vt::Q(tree)));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.damage) + " into \\" + c.folder);
    std::string out;
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(pristine) + " " + vt::Q(work) +
                            " && python3 tests/fixtures/ntfs-bitmap-damage.py " + vt::Q(work) +
                            " " + c.damage + " && cp " + vt::Q(work) + " " + vt::Q(damaged) +
                            " && free=$(ntfsinfo -m " + vt::Q(work) +
                            " 2>/dev/null | awk '/Free Clusters/ { print $3 }') && head -c "
                            "$(((free - 2) * 4096)) /dev/urandom > " +
                            vt::Q(dir + "/big.bin"),
                        &out))
        << out;
    const std::string fixBefore = Ntfsfix(damaged);
    EXPECT_EQ(DWORD(kImageOperationFailed), Inject(work, c.folder, dir + "/big.bin", &out)) << out;
    size_t at = out.find(c.line);
    EXPECT_NE(std::string::npos, at) << out;
    if (*c.line2 && at != std::string::npos) {
      EXPECT_NE(std::string::npos, out.find(c.line2, at)) << out;
    }
    // The file's own line gives that cause too, not what the library made
    // of the refused write.
    EXPECT_NE(std::string::npos, out.find("big.bin (error 1392: ")) << out;
    EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(damaged) + " " + vt::Q(work))) << "the image changed";
    EXPECT_EQ(fixBefore, Ntfsfix(work));
    ExpectTree(work, tree);
    DWORD code = 0;
    ASSERT_TRUE(apptest::RunProgram(On(work) + L"/repair", code, &out));
    EXPECT_EQ(0u, code) << out;
    EXPECT_EQ(0u, Inject(work, c.folder, dir + "/small.bin", &out)) << out;
    ExpectTree(work, tree);
    EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(work) + " " +
                        vt::Q(std::string("/") + c.folder + "/small.bin") + " | cmp -s - " +
                        vt::Q(dir + "/small.bin")));
    EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(work), &out)) << out;
  }
}

}  // namespace

namespace {

// The volume starts at this sector of the disks below (mk-disk.sh's
// mbr2048 layout; a raw copy of the program puts a header sector first).
const int kStart = 2048;

// The volume of a disk image (skip: the sectors before it), for ntfs-3g's
// tools, in a file beside it.
std::string VolumeOf(const std::string& disk, int skip) {
  std::string volume = disk + ".vol";
  EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(disk) + " of=" + vt::Q(volume) +
                      " bs=512 skip=" + std::to_string(skip) + " status=none"));
  return volume;
}

// The files of the tree that ntfscat does not read back the same from the
// volume ("except": a file left out), at most five.
std::string NotReadBack(const std::string& volume, const std::string& tree,
                        const std::string& except = "") {
  std::string out;
  vt::Sh("cd " + vt::Q(tree) + " && find . -type f | while read -r f; do [ \"$f\" = ./" + except +
             " ] || ntfscat " + vt::Q(volume) +
             " \"${f#.}\" 2>/dev/null | cmp -s - \"$f\" || echo \"$f\"; done | head -5",
         &out);
  return out;
}

// A disk whose volume holds one.bin and 60 more files of 40 KiB, and, for
// each of the damages, a copy beside it: one.bin's record damaged by
// ntfs-damage.py (`record` kind, "" none), and $Bitmap marking f1.bin to
// f40.bin's clusters free. *number: the damaged record's.
struct DamagedDisks {
  std::string dir, tree, pristine;
  DamagedDisks() : dir(vt::ScratchDirUnix()), tree(dir + "/tree"), pristine(dir + "/v.img") {
    EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree) + " && cd " + vt::Q(tree) +
                        " && head -c 65536 /dev/urandom > one.bin && for i in $(seq 1 60); do"
                        " head -c 40960 /dev/urandom > f$i.bin; done"));
    EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(pristine) +
                            " --layout mbr2048 --size 32 --tree " + vt::Q(tree)));
  }
  std::string Damage(const std::string& name, const std::string& record, std::string* number) {
    std::string image = dir + "/" + name + ".img", out;
    EXPECT_EQ(0, vt::Sh("cp " + vt::Q(pristine) + " " + vt::Q(image) +
                            (record.empty() ? std::string()
                                            : " && python3 tests/fixtures/ntfs-damage.py " +
                                                  vt::Q(image) + " " + record + " one.bin") +
                            " && for i in $(seq 1 40); do python3 tests/fixtures/"
                            "ntfs-bitmap-damage.py " +
                            vt::Q(image) + " file f$i.bin > /dev/null || exit 1; done",
                        &out))
        << out;
    if (number) *number = out.substr(0, out.find('\n'));
    return image;
  }
};

// One record in use that the walk cannot read (its update sequence torn,
// as a power cut leaves it; an attribute running past its end; the magic
// BAAD) beside a $Bitmap that marks 40 files' clusters free: what that
// record uses is not known, so an inject that needs the free clusters is
// refused with a line naming the record, before any cluster is taken; the
// image stays byte for byte and ntfs-3g reads every other file back.
TEST(BatchBitmapGate, AnUnreadableRecordKeepsEveryFreeClusterOut) {
  DamagedDisks disks;
  for (const char* record : {"record-torn", "record-overrun", "record-baad"}) {
    SCOPED_TRACE(record);
    std::string number, out;
    const std::string image = disks.Damage(record, record, &number);
    const std::string damaged = image + ".before", big = disks.dir + "/big.bin";
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(image) + " " + vt::Q(damaged) + " && free=$(ntfsinfo -m " +
                            vt::Q(VolumeOf(image, kStart)) +
                            " 2>/dev/null | awk '/Free Clusters/ { print $3 }') && head -c "
                            "$(((free - 2) * 4096)) /dev/urandom > " +
                            vt::Q(big),
                        &out))
        << out;
    EXPECT_EQ(DWORD(kImageOperationFailed), Inject(image, "", big, &out)) << out;
    EXPECT_NE(std::string::npos,
              out.find("File record " + number +
                       " of $MFT cannot be read, so the clusters it uses are not known, and the "
                       "write would have taken cluster "))
        << out;
    EXPECT_NE(std::string::npos,
              out.find(": nothing is written until the volume is checked (chkdsk /f)\r\n"))
        << out;
    EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(damaged) + " " + vt::Q(image))) << "the image changed";
    EXPECT_EQ("", NotReadBack(VolumeOf(image, kStart), disks.tree, "one.bin"));
    // A file its record holds takes no cluster: it goes in.
    ASSERT_EQ(0, vt::Sh("printf small > " + vt::Q(disks.dir + "/s.txt")));
    EXPECT_EQ(0u, Inject(image, "", disks.dir + "/s.txt", &out)) << out;
    EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(VolumeOf(image, kStart)) + " /s.txt | grep -qx small"));
  }
}

// /convert: of a volume whose $Bitmap marks 40 files' clusters free takes
// them all the same; of one with a record that cannot be read beside that,
// every cluster of the volume, with a line saying so. ntfs-3g reads every
// file of the copy back as the source's. A grow (/size:, which moves
// $Bitmap) of such a copy in the own format is refused with the clusters
// where $Bitmap and the records disagree, the image as it was.
TEST(BatchBitmapGate, ConvertTakesEveryClusterARecordUses) {
  DamagedDisks disks;
  for (const char* record : {"", "record-torn"}) {
    SCOPED_TRACE(record);
    std::string number, out;
    const std::string image = disks.Damage(*record ? "torn" : "bitmap", record, &number);
    const std::string copy = disks.dir + "/copy.img";
    DWORD code = 0;
    ASSERT_TRUE(apptest::RunProgram(
        L"\"-img:" + vt::ToWin(copy) + L"\" /p \"/convert:" + vt::ToWin(image) + L"\"", code,
        &out));
    EXPECT_EQ(0u, code) << out;
    EXPECT_EQ(*record != 0,
              out.find("File record " + number +
                       " of $MFT cannot be read: the clusters it uses are not "
                       "known, so every cluster of the volume is copied\r\n") != std::string::npos)
        << out;
    EXPECT_EQ("", NotReadBack(VolumeOf(copy, kStart + 1), disks.tree, *record ? "one.bin" : ""));
    if (*record) continue;
    const std::wstring own = vt::ToWin(disks.dir + "/copy.vmd");
    ASSERT_TRUE(apptest::RunProgram(L"\"-img:" + own + L"\" \"/convert:" + vt::ToWin(image) + L"\"",
                                    code, &out));
    ASSERT_EQ(0u, code) << out;
    const std::string hash = vt::Sha256(own);
    ASSERT_TRUE(apptest::RunProgram(L"\"-img:" + own + L"\" /size:64", code, &out));
    EXPECT_EQ(DWORD(kImageVolumeOperationFailed), code) << out;
    EXPECT_NE(std::string::npos, out.find("): missing cluster in $Bitmap")) << out;
    EXPECT_EQ(hash, vt::Sha256(own));
  }
}

}  // namespace
