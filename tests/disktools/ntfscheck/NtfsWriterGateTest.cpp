// What the program's writers never take, and which boot sector it trusts,
// through the program on volumes of mkntfs and ntfs-3g (mk-disk.sh) damaged
// by tests/fixtures/ntfs-damage.py; the volume's files come back out with
// "/extract:" and are compared with the tree they were made from, and
// ntfsfix -n judges the volume.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "FormatTestUtil.h"
#include "ProgramImage.h"
#include "app/ImageOperations.h"

using namespace fmt;

namespace {

const int kVolumeMib = 32;

struct Volume {
  std::string dir, tree, image;
  uint64_t start = 0;
};

// A root folder and a folder "Sub" whose indexes have several blocks.
Volume MakeVolume(const std::string& dir, const std::string& layout) {
  Volume v;
  v.dir = dir;
  v.tree = dir + "/tree";
  v.image = dir + "/" + layout + ".img";
  v.start = layout == "none" ? 0 : layout == "mbr63" ? 63 * 512 : 2048 * 512;
  if (vt::Sh("test -d " + vt::Q(v.tree))) {
    EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(v.tree + "/Sub") + " && cd " + vt::Q(v.tree) +
                        " && for i in $(seq 100 179); do head -c $((i * 37 % 3000)) /dev/urandom > "
                        "a-file-in-the-root-with-a-long-name-$i.dat; done && for i in $(seq 1 "
                        "250); do echo $i > Sub/a-file-in-a-folder-with-a-long-name-$i.txt; done"));
  }
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(v.image) + " --layout " + layout + " --size " +
                          std::to_string(kVolumeMib) + " --tree " + vt::Q(v.tree)));
  return v;
}

std::wstring On(const std::string& image) {
  return L"\"-img:" + vt::ToWin(image) + L"\" -noupd ";
}

// Every file of the volume out with "/extract:", against the tree `want`.
void ExpectFiles(const std::string& image, const std::string& want, const std::string& scratch) {
  DWORD code = 0;
  std::string out;
  ASSERT_EQ(0, vt::Sh("rm -rf " + vt::Q(scratch)));
  ASSERT_TRUE(
      apptest::RunProgram(On(image) + L"\"/extract:\\::" + vt::ToWin(scratch) + L"\"", code, &out));
  EXPECT_EQ(0u, code) << out;
  EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(want) + " " + vt::Q(scratch), &out)) << out;
}

void ExpectNtfsfixClean(const Volume& v, const std::string& image) {
  std::string out;
  EXPECT_EQ(0, OnPartition(vt::ToWin(image), v.start, kVolumeMib << 20, "ntfsfix -n $DEV", &out))
      << out;
}

// A folder whose $I30 bitmap marks free a block its index uses: the
// library would hand that block out again when the index grows, over the
// names it holds. Nothing goes into the folder, the image stays as it was,
// until "/repair" mends the bitmap; then a fill of the folder keeps every
// file. The records $MFT's bitmap marks free while they are in use are
// never taken either.
TEST(BatchWriterGate, FolderOrRecordInUseIsNeverTaken) {
  struct Case {
    const char* damage;  // of ntfs-damage.py
    const char* folder;  // the folder written into, "" for the root
    bool refused;
  } cases[] = {
      {"index-bitmap", "", true},
      {"index-bitmap Sub", "Sub", true},
      {"mft-bitmap", "", false},
  };
  const std::string dir = vt::ScratchDirUnix();
  const Volume v = MakeVolume(dir, "none");
  const std::string work = dir + "/work.img", damaged = dir + "/damaged.img", want = dir + "/want",
                    adds = dir + "/adds";
  // Three batches of new files, each enough to split the index's blocks.
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(adds) + " && cd " + vt::Q(adds) +
                      " && for b in 1 2 3; do mkdir $b && for i in $(seq 1 70); do echo $b-$i > "
                      "$b/new-file-of-batch-$b-with-a-long-name-$i.txt; done; done"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.damage);
    std::string out;
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(v.image) + " " + vt::Q(work) +
                            " && python3 tests/fixtures/ntfs-damage.py " + vt::Q(work) + " " +
                            c.damage + " && cp " + vt::Q(work) + " " + vt::Q(damaged),
                        &out))
        << out;
    const std::string folder = std::string("\\") + c.folder;
    auto inject = [&](const char* batch) {
      DWORD code = 0;
      EXPECT_TRUE(apptest::RunProgram(On(work) + L"\"/inject:" +
                                          std::wstring(folder.begin(), folder.end()) + L"::" +
                                          vt::ToWin(adds + "/" + batch) + L"\"",
                                      code, &out));
      return code;
    };
    if (c.refused) {
      EXPECT_EQ(DWORD(kImageOperationFailed), inject("1")) << out;
      EXPECT_NE(std::string::npos, out.find("The index bitmap of " + folder +
                                            " marks free an index block the folder uses: nothing "
                                            "goes into or out of it until /repair mends it"))
          << out;
      EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(damaged) + " " + vt::Q(work))) << "the image changed";
      DWORD code = 0;
      ASSERT_TRUE(apptest::RunProgram(On(work) + L"/repair", code, &out));
      EXPECT_EQ(0u, code) << out;
    }
    ASSERT_EQ(0,
              vt::Sh("rm -rf " + vt::Q(want) + " && cp -r " + vt::Q(v.tree) + " " + vt::Q(want)));
    for (const char* batch : {"1", "2", "3"}) {
      EXPECT_EQ(0u, inject(batch)) << out;
      ASSERT_EQ(0,
                vt::Sh("cp " + vt::Q(adds + "/" + batch) + "/* " + vt::Q(want + "/" + c.folder)));
    }
    ExpectFiles(work, want, dir + "/out");
    ExpectNtfsfixClean(v, work);
  }
}

// The files of $Extend are the volume's own, wherever their records lie:
// no inject replaces or writes into one, nor puts a name into $Extend,
// whatever the case of the path. Each refusal is named with error 5, as
// for the root's system files, and nothing is written: the image stays as
// it was byte for byte, and ntfsls and ntfsinfo show records 24 to 26 as
// mkntfs made them.
TEST(BatchWriterGate, MetafilesOfExtendAreNeverWritten) {
  const std::string dir = vt::ScratchDirUnix();
  const Volume v = MakeVolume(dir, "none");
  const std::string work = dir + "/work.img", host = dir + "/host";
  ASSERT_EQ(0, vt::Sh("rm -rf " + vt::Q(host) + " && mkdir -p " + vt::Q(host + "/folder/sub") +
                      " && cd " + vt::Q(host) +
                      " && for n in '$Quota' '$ObjId' '$Reparse'; do echo plain > \"$n\"; done"
                      " && echo one > folder/one.txt && echo two > folder/sub/two.txt"));
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(v.image) + " " + vt::Q(work)));
  auto shown = [&] {
    std::string listing, records;
    EXPECT_EQ(0, OnPartition(vt::ToWin(work), 0, kVolumeMib << 20,
                             "ntfsls -i -a -p '/$Extend' $DEV 2>/dev/null", &listing));
    EXPECT_EQ(0, OnPartition(vt::ToWin(work), 0, kVolumeMib << 20,
                             "for i in 11 24 25 26; do ntfsinfo -i $i $DEV 2>/dev/null; done",
                             &records));
    return listing + records;
  };
  const std::string before = shown();
  ASSERT_NE(std::string::npos, before.find("24 $Quota")) << before;
  ASSERT_NE(std::string::npos, before.find("25 $ObjId")) << before;
  ASSERT_NE(std::string::npos, before.find("26 $Reparse")) << before;
  struct Case {
    const wchar_t* target;  // the volume path of /inject:
    const char* source;     // under the host folder
    const char* line;       // the refusal
  } cases[] = {
      {L"\\$Extend\\$Quota", "$Quota", "Could not write \\$Extend\\$Quota (error 5: "},
      {L"\\$EXTEND\\$objid", "$ObjId", "Could not write \\$EXTEND\\$objid (error 5: "},
      {L"\\$extend\\$REPARSE", "$Reparse", "Could not write \\$extend\\$REPARSE (error 5: "},
      // Into the folder: the file under its own name, then a folder tree.
      {L"\\$Extend", "$Quota", "Could not write \\$Extend\\$Quota (error 5: "},
      {L"\\$eXtend", "folder", "Could not write \\$eXtend\\one.txt (error 5: "},
      {L"\\$Extend\\New", "folder", "Could not write \\$Extend\\New (error 5: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(vt::Narrow(c.target) + " " + c.source);
    DWORD code = 0;
    std::string out;
    ASSERT_TRUE(apptest::RunProgram(On(work) + L"\"/inject:" + c.target + L"::" +
                                        vt::ToWin(host + "/" + c.source) + L"\"",
                                    code, &out));
    EXPECT_EQ(DWORD(kImageOperationFailed), code) << out;
    EXPECT_NE(std::string::npos, out.find(c.line)) << out;
    EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(v.image) + " " + vt::Q(work))) << "the image changed";
  }
  EXPECT_EQ(before, shown());
  ExpectNtfsfixClean(v, work);
}

// A boot sector fails when its signature, its BPB or the places of $MFT
// and $MFTMirr do not check: a volume whose backup passes is read through
// it, and the repair copies the backup over it, never the other way.
TEST(BatchWriterGate, BootSectorThatFailsGivesWayToItsBackup) {
  struct Case {
    const char* damage;
    const char* line;
    std::vector<std::string> layouts;
  } cases[] = {
      {"boot-signature",
       "Boot sector: it does not end in its signature 55 AA.\n",
       {"none", "mbr2048"}},
      {"boot-mftmirr", "Boot sector: $MFTMirr does not lie where it says.\n", {"none", "mbr2048"}},
      // The partition runs 8 MiB past its volume, whose backup at its end
      // is the only copy left.
      {"grown-boot-lost 16384",
       "Boot sector: damaged; the backup in sector 65535 of the partition is read instead.\n",
       {"mbr63", "mbr2048"}},
  };
  const std::string dir = vt::ScratchDirUnix(), work = dir + "/work.img";
  for (const char* layout : {"none", "mbr63", "mbr2048"}) {
    const Volume v = MakeVolume(dir, layout);
    for (const Case& c : cases) {
      if (std::find(c.layouts.begin(), c.layouts.end(), layout) == c.layouts.end()) continue;
      SCOPED_TRACE(std::string(layout) + " " + c.damage);
      std::string out;
      ASSERT_EQ(
          0, vt::Sh("cp " + vt::Q(v.image) + " " + vt::Q(work) +
                        " && python3 tests/fixtures/ntfs-damage.py " + vt::Q(work) + " " + c.damage,
                    &out))
          << out;
      // Every command opens the volume through the copy the check trusts.
      ExpectFiles(work, v.tree, dir + "/out");
      DWORD code = 0;
      ASSERT_TRUE(apptest::RunProgram(On(work) + L"/check", code, &out));
      EXPECT_EQ(DWORD(kImageVolumeOperationFailed), code) << out;
      EXPECT_NE(std::string::npos, out.find(c.line)) << out;
      ASSERT_TRUE(apptest::RunProgram(On(work) + L"/repair", code, &out));
      EXPECT_EQ(0u, code) << out;
      const uint64_t last = v.start + (uint64_t(kVolumeMib) << 20) - 512;
      std::vector<uint8_t> primary = ReadBytes(vt::ToWin(work), v.start, 512),
                           backup = ReadBytes(vt::ToWin(work), last, 512);
      EXPECT_EQ(0x55, primary[510]);
      EXPECT_EQ(0xAA, primary[511]);
      EXPECT_TRUE(primary == backup) << "the two boot sectors differ";
      ASSERT_TRUE(apptest::RunProgram(On(work) + L"/check", code, &out));
      EXPECT_EQ(0u, code) << out;
      ExpectNtfsfixClean(v, work);
    }
  }
}

}  // namespace
