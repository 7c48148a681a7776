// What a cut-off command leaves beside an image (its rollback journal, or
// the merge record of an earlier version) through the program: bound to its
// file, applied to no other, never read past. Each refusal is -15 with a
// line naming the file, and leaves every file as it was.
#include <gtest/gtest.h>

#include "../../../image/WriteFaults.h"
#include "../../BatchTestUtil.h"
#include "FileTimes.h"
#include "app/ImageOperations.h"
#include "disktools/partition/PartitionResize.h"
#include "image/copy/TreeCopy.h"
#include "image/formats/sparse/ImageHeader.h"
#include "image/mount/MountedImage.h"
#include "image/stack/OverlayNotice.h"

using namespace bt;

namespace {

const Kind kOwn = {"Own", "mbr2048", "raw", false, true, false};
const Kind kRaw = {"Raw", "mbr2048", "raw", false, false, false};
const Kind kDynamicVhd = {"VhdDynamic", "mbr2048", "vhd-dynamic", false, false, false};
const Kind kFixedVhd = {"VhdFixed", "mbr2048", "vhd-fixed", false, false, false};

// A command cut off at write `at` of its files (counted from the end when
// negative), the process dead there: the files as it left them, and its
// journal.
template <class Command>
void CutOff(const std::wstring& image, int mode, int at, Command command) {
  if (at < 0) {
    std::string saved = vt::ToUnix(image) + ".saved";
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(vt::ToUnix(image)) + " " + vt::Q(saved)));
    {
      CMountedImage m;
      ASSERT_LE(0, m.OpenImage(image.c_str(), nullptr, 0, mode));
      it::WriteFaults count(it::WriteFaults::COUNT, 0);
      command(m);
      m.Close(false);
      at += count.Count();
    }
    ASSERT_EQ(0, vt::Sh("mv " + vt::Q(saved) + " " + vt::Q(vt::ToUnix(image))));
  }
  CMountedImage m;
  ASSERT_LE(0, m.OpenImage(image.c_str(), nullptr, 0, mode));
  it::WriteFaults stop(it::WriteFaults::STOP, at);
  command(m);
  m.Close(false);
  ASSERT_TRUE(stop.Hit());
}

std::wstring Extract(const Disk& d, const wchar_t* volumePath, const std::string& to) {
  return L"\"/extract:" + std::wstring(volumePath) + L"::" + vt::ToWin(d.dir + "/" + to) + L"\"";
}

// An own image whose first update file took one.bin (of `bytes` bytes).
Disk WithUpdateFile(int bytes) {
  Disk d = MakeDisk(kOwn);
  EXPECT_EQ(0, vt::Sh("head -c " + std::to_string(bytes) + " /dev/urandom > " +
                      vt::Q(d.dir + "/one.bin")));
  EXPECT_EQ(0u, RunVro(ImageArgs(d.ImageWin()) + L"\"/inject:\\one.bin::" +
                       vt::ToWin(d.dir + "/one.bin") + L"\""));
  return d;
}

bool Has(const std::string& out, const std::string& what) {
  return out.find(what) != std::string::npos;
}

// A grow cut off on an own image; then another image converted onto it: the
// journal is of no file now and never reaches the new one.
TEST(SideFiles, AJournalNeverRollsBackAReplacedImage) {
  Disk d = MakeDisk(kOwn);
  Disk other = MakeDisk(kOwn, d.dir + "/other");
  std::wstring image = d.ImageWin(), journal = image + L".journal";
  CutOff(image, 2, 8, [](CMountedImage& m) { ResizeImagePartition(&m, 60); });
  ASSERT_TRUE(vt::FileExists(journal));
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + L"\"/convert:" + other.ImageWin() + L"\""));
  EXPECT_FALSE(vt::FileExists(journal));
  std::string out;
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + L"/check", &out)) << out;
  ASSERT_EQ(0, vt::Sh("head -c 3000000 /dev/urandom > " + vt::Q(d.dir + "/big.bin")));
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + L"-noupd \"/inject:\\big.bin::" +
                       vt::ToWin(d.dir + "/big.bin") + L"\""));
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + Extract(d, L"\\Program Files", "out")));
  EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(other.tree + "/Program Files") + " " +
                      vt::Q(d.dir + "/out")));

  // A journal put beside a file it does not belong to (the image copied
  // over, the journal left): set aside with a line, the file untouched.
  CutOff(image, 2, 8, [](CMountedImage& m) { ResizeImagePartition(&m, 60); });
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(other.image) + " " + vt::Q(d.image)));
  std::string hash = vt::Sha256(image);
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + L"/check", &out)) << out;
  EXPECT_TRUE(Has(out, "disk.vmd.journal: this journal does not belong")) << out;
  EXPECT_EQ(hash, vt::Sha256(image));
  EXPECT_TRUE(vt::FileExists(journal + L".aside"));
}

// An inject into a plain image cut off, its journal left, and a copy of
// the same image with another inject completed put over it: the journal
// covers bytes the copy changed too, and is set aside with its line; the
// copy stays byte for byte and reads whole. A backup from before the
// command put back instead is rolled back, harmlessly.
TEST(SideFiles, AJournalIsAppliedOnlyToTheBytesItWasMadeFor) {
  Disk d = MakeDisk(kRaw);
  std::wstring image = d.ImageWin(), journal = image + L".journal";
  std::string backup = d.dir + "/backup.img", copy = d.dir + "/copy.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.image) + " " + vt::Q(copy) + " && head -c 300000 /dev/urandom > " +
                      vt::Q(d.dir + "/A") + " && head -c 200000 /dev/urandom > " +
                      vt::Q(d.dir + "/B")));
  ASSERT_EQ(0u, RunVro(ImageArgs(vt::ToWin(copy)) + L"-noupd \"/inject:\\Data\\B::" +
                       vt::ToWin(d.dir + "/B") + L"\""));
  std::wstring hostA = vt::ToWin(d.dir + "/A");
  auto injectA = [&](CMountedImage& m) {
    uint64_t missing = 0;
    InjectHostPath(&m, hostA.c_str(), L"\\Data\\A", &missing, nullptr, nullptr);
  };
  CutOff(image, 2, -2, injectA);
  ASSERT_TRUE(vt::FileExists(journal));
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(copy) + " " + vt::Q(d.image)));
  std::string out, hash = vt::Sha256(image);
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + Extract(d, L"\\Data\\B", "B.out"), &out)) << out;
  EXPECT_TRUE(Has(out, "disk.img.journal: this journal does not belong")) << out;
  EXPECT_EQ(hash, vt::Sha256(image));
  EXPECT_TRUE(vt::FileExists(journal + L".aside"));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(d.dir + "/B") + " " + vt::Q(d.dir + "/B.out")));
  EXPECT_TRUE(VolumeReader(d, d.image).Same("/Data/B", d.dir + "/B"));

  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.image) + " " + vt::Q(backup)));
  CutOff(image, 2, -2, injectA);
  ASSERT_TRUE(vt::FileExists(journal));
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(backup) + " " + vt::Q(d.image)));
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + L"/check", &out)) << out;
  EXPECT_TRUE(Has(out, "disk.img: a command cut off before its end was rolled back")) << out;
  EXPECT_EQ(vt::Sha256(vt::ToWin(backup)), vt::Sha256(image));
  EXPECT_FALSE(vt::FileExists(journal));
}

// A journal rolled back that cannot be removed (read-only) says so, and
// keeps its file closed until it goes; what a grow cut off by a power loss
// left beside its image (the room it tried) goes with a line at the next
// grow.
TEST(SideFiles, WhatACutOffCommandLeftIsToldTrulyOrRemoved) {
  Disk d = MakeDisk(kRaw);
  std::wstring image = d.ImageWin(), journal = image + L".journal";
  // Free clusters may keep what the cut-off inject wrote there.
  std::string before = vt::ReaderView(d.image, d.start);
  ASSERT_NE("", before);
  ASSERT_EQ(0, vt::Sh("head -c 100000 /dev/urandom > " + vt::Q(d.dir + "/again")));
  std::wstring host = vt::ToWin(d.dir + "/again");
  CutOff(image, 2, -2, [&](CMountedImage& m) {
    uint64_t missing = 0;
    InjectHostPath(&m, host.c_str(), L"\\again.txt", &missing, nullptr, nullptr);
  });
  ASSERT_TRUE(SetFileAttributesW(journal.c_str(), FILE_ATTRIBUTE_READONLY));
  std::string out;
  EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(image) + L"/check", &out)) << out;
  EXPECT_TRUE(Has(out, "disk.img.journal: a command cut off before its end was rolled back from "
                       "this journal (the file beside it is as it was before that command), but "
                       "the journal could not be removed"))
      << out;
  EXPECT_FALSE(Has(out, "could not be rolled back now")) << out;
  EXPECT_EQ(before, vt::ReaderView(d.image, d.start));
  ASSERT_TRUE(SetFileAttributesW(journal.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + L"/check", &out)) << out;
  EXPECT_FALSE(vt::FileExists(journal));

  Disk own = MakeDisk(kOwn, d.dir + "/own");
  std::string room = own.image + ".room";
  ASSERT_EQ(0, vt::Sh("head -c 7000000 /dev/zero > " + vt::Q(room)));
  EXPECT_EQ(0u, RunVro(ImageArgs(own.ImageWin()) + L"/size:60", &out)) << out;
  EXPECT_TRUE(Has(out, "disk.vmd.room: a temporary file that a command cut off before its end "
                       "left was removed"))
      << out;
  EXPECT_FALSE(vt::FileExists(vt::ToWin(room)));
}

// A grow cut off in an update file: merging that file rolls it back first,
// and the next update file of that number is a file of its own.
TEST(SideFiles, AMergeRollsBackTheMergedFileFirst) {
  Disk d = WithUpdateFile(700000);
  std::wstring image = d.ImageWin(), update = image + L"_01.Upd";
  ASSERT_EQ(0, vt::Sh("head -c 900000 /dev/urandom > " + vt::Q(d.dir + "/two.bin")));
  CutOff(update, 1, 10, [](CMountedImage& m) { ResizeImagePartition(&m, 60); });
  ASSERT_TRUE(vt::FileExists(update + L".journal"));
  std::string out;
  EXPECT_EQ(0u, RunVro(ImageArgs(image, update) + L"/merge", &out)) << out;
  EXPECT_TRUE(Has(out, "disk.vmd_01.Upd: a command cut off before its end was rolled back")) << out;
  EXPECT_FALSE(vt::FileExists(update));
  EXPECT_FALSE(vt::FileExists(update + L".journal"));
  ASSERT_EQ(0u, RunVro(ImageArgs(image) + L"\"/inject:\\two.bin::" +
                       vt::ToWin(d.dir + "/two.bin") + L"\""));
  EXPECT_EQ(0u, RunVro(ImageArgs(update) + L"/check", &out)) << out;
  EXPECT_EQ(0u, RunVro(ImageArgs(update) + Extract(d, L"\\one.bin", "one.out")));
  EXPECT_EQ(0u, RunVro(ImageArgs(update) + Extract(d, L"\\two.bin", "two.out")));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(d.dir + "/one.bin") + " " + vt::Q(d.dir + "/one.out") +
                      " && cmp " + vt::Q(d.dir + "/two.bin") + " " + vt::Q(d.dir + "/two.out")));
}

// A journal that fails its checks is applied to nothing: every command
// gives -15 with a line naming it, and no file changes.
TEST(SideFiles, ADamagedJournalRefusesItsImage) {
  Disk d = MakeDisk(kRaw);
  std::wstring image = d.ImageWin(), journal = image + L".journal";
  ASSERT_EQ(0, vt::Sh("head -c 2000000 /dev/urandom > " + vt::Q(d.dir + "/big.bin")));
  std::wstring host = vt::ToWin(d.dir + "/big.bin");
  CutOff(image, 2, -2, [&](CMountedImage& m) {
    uint64_t missing = 0;
    InjectHostPath(&m, host.c_str(), L"\\big.bin", &missing, nullptr, nullptr);
  });
  std::vector<uint8_t> j;
  ASSERT_TRUE(vt::ReadAll(journal, j));
  ASSERT_LT(1024u, j.size());
  j[9] ^= 1;
  j[512 + 9] ^= 1;
  ASSERT_TRUE(vt::WriteAll(journal, j));
  std::string before = FolderHashes(d.disks);
  const std::string line =
      "disk.img.journal: the journal of a command cut off before its end fails its checks";
  // (A conversion looks at the source's files before it opens it: the
  // line comes once all the same. The main window, which opens after
  // "/format", names it at its own open.)
  for (const std::wstring& cmd :
       {ImageArgs(image) + Extract(d, L"\\Users", "out"), ImageArgs(image) + L"/check",
        ImageArgs(image) + L"-noupd /format",
        ImageArgs(image) + L"-noupd \"/inject:\\again.bin::" + host + L"\"",
        ImageArgs(vt::ToWin(d.dir + "/copy.vmd")) + L"\"/convert:" + image + L"\""}) {
    std::string out;
    EXPECT_EQ(DWORD(-15), RunVro(cmd, &out)) << vt::Narrow(cmd);
    EXPECT_TRUE(Has(out, line)) << out;
    if (cmd.find(L"/format") == std::wstring::npos) {
      EXPECT_EQ(out.find(line), out.rfind(line)) << vt::Narrow(cmd) << out;
    }
    EXPECT_EQ(before, FolderHashes(d.disks)) << vt::Narrow(cmd);
  }
  EXPECT_FALSE(vt::FileExists(vt::ToWin(d.dir + "/copy.vmd")));
}

// The record of a merge an earlier version cut off: "<base>.merging" with
// the merged file's full path. It names the merge in a line, and until that
// file is merged again (found also when the folder moved) nothing reads or
// replaces the base; a record whose file is gone keeps it closed; one of a
// merge that had completed goes.
void WriteRecord(const std::wstring& base, const std::wstring& merged) {
  std::vector<uint8_t> r = {'V', 'R', 'O', 'M', 'E', 'R', 'G', 'E'};
  for (wchar_t c : merged + L'\0') {
    r.push_back(uint8_t(c));
    r.push_back(uint8_t(c >> 8));
  }
  ASSERT_TRUE(vt::WriteAll(base + L".merging", r));
}

TEST(SideFiles, AnEarlierVersionsCutMergeIsNeverReadAsWhole) {
  Disk d = WithUpdateFile(700000);
  std::wstring image = d.ImageWin(), update = image + L"_01.Upd";
  WriteRecord(image, update);
  Disk other = MakeDisk(kOwn, d.dir + "/other");
  std::string before = FolderHashes(d.disks);
  std::wstring copy = vt::ToWin(d.dir + "/copy.vmd");
  for (const std::wstring& cmd :
       {ImageArgs(image) + Extract(d, L"\\Users", "out"), ImageArgs(image) + L"/check",
        ImageArgs(copy) + L"\"/convert:" + image + L"\"", ImageArgs(update) + L"/check",
        ImageArgs(image) + L"\"/convert:" + other.ImageWin() + L"\"",
        ImageArgs(image) + L"/create:64"}) {
    std::string out;
    EXPECT_EQ(DWORD(-15), RunVro(cmd, &out)) << vt::Narrow(cmd);
    EXPECT_TRUE(Has(out, "disk.vmd: a merge that an earlier version began")) << out;
    EXPECT_TRUE(Has(out, "disk.vmd_01.Upd")) << out;
    EXPECT_EQ(before, FolderHashes(d.disks)) << vt::Narrow(cmd);
  }
  // The folder moved, base, file and record together: still unfinished,
  // and merging the file completes it.
  std::string moved = d.dir + "/moved";
  ASSERT_EQ(0, vt::Sh("mv " + vt::Q(d.disks) + " " + vt::Q(moved)));
  std::wstring image2 = vt::ToWin(moved + "/disk.vmd"), update2 = image2 + L"_01.Upd";
  std::string out;
  EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(image2) + L"/check", &out));
  EXPECT_EQ(0u, RunVro(ImageArgs(image2, update2) + L"/merge"));
  EXPECT_FALSE(vt::FileExists(image2 + L".merging"));
  EXPECT_EQ(0u, RunVro(ImageArgs(image2) + Extract(d, L"\\one.bin", "one.out")));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(d.dir + "/one.bin") + " " + vt::Q(d.dir + "/one.out")));

  // Its merged file gone: every command -15, the line says so.
  WriteRecord(image2, update2);
  EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(image2) + L"/check", &out));
  EXPECT_TRUE(Has(out, "the file it merged is gone")) << out;
  EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(image2) + Extract(d, L"\\one.bin", "x"), &out));
  DeleteFileW((image2 + L".merging").c_str());
}

TEST(SideFiles, ARecordOfACompletedMergeGoes) {
  Disk d = WithUpdateFile(300000);
  std::wstring image = d.ImageWin(), update = image + L"_01.Upd";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(vt::ToUnix(update)) + " " + vt::Q(d.dir + "/saved.Upd")));
  ASSERT_EQ(0u, RunVro(ImageArgs(image, update) + L"/merge"));
  // The merged file back, and a record naming it: the merge had completed.
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.dir + "/saved.Upd") + " " + vt::Q(vt::ToUnix(update))));
  WriteRecord(image, update);
  std::string out;
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + L"/check", &out)) << out;
  EXPECT_TRUE(Has(out, "the record of a merge that had completed was removed")) << out;
  EXPECT_FALSE(vt::FileExists(image + L".merging"));
  // Merging it again removes the file it left.
  EXPECT_EQ(0u, RunVro(ImageArgs(image, update) + L"/merge", &out)) << out;
  EXPECT_TRUE(Has(out, "was merged into its image already")) << out;
  EXPECT_FALSE(vt::FileExists(update));
}

// A merge names every other update file of its base that it unlinks.
TEST(SideFiles, AMergeNamesTheFilesItUnlinks) {
  Disk d = MakeDisk(kOwn);
  std::wstring image = d.ImageWin();
  ASSERT_EQ(0, vt::Sh("printf one > " + vt::Q(d.dir + "/one.txt")));
  std::wstring inject = L"\"/inject:\\one.txt::" + vt::ToWin(d.dir + "/one.txt") + L"\"";
  ASSERT_EQ(0u, RunVro(ImageArgs(image) + inject));
  ASSERT_EQ(0u, RunVro(ImageArgs(image) + inject));
  ASSERT_TRUE(vt::FileExists(image + L"_02.Upd"));
  std::string out;
  EXPECT_EQ(0u, RunVro(ImageArgs(image, image + L"_01.Upd") + L"/merge", &out));
  EXPECT_TRUE(Has(out, "disk.vmd_02.Upd: this overlay was made for its image as it is before "
                       "the merge"))
      << out;
}

// Files a cut-off run was making beside the image (a new update file, a
// new write-back file, a journal before its rename) go with a line at the
// next command on the image, one that only reads too; one that a maker at
// work holds (open, its removal not shared) stays without a word, and one
// of such a name that this program did not make is named and left.
TEST(SideFiles, FilesACutOffRunWasMakingAreRemovedOrNamed) {
  Disk d = WithUpdateFile(300000);
  std::wstring image = d.ImageWin(), update = image + L"_01.Upd";
  std::string upd = d.image + "_01.Upd";
  // A journal whose rename the command did not reach: the file is as it
  // was before the command.
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(upd) + " " + vt::Q(upd + ".before")));
  ASSERT_EQ(0, vt::Sh("head -c 400000 /dev/urandom > " + vt::Q(d.dir + "/two.bin")));
  std::wstring two = vt::ToWin(d.dir + "/two.bin");
  CutOff(update, 1, -2, [&](CMountedImage& m) {
    uint64_t missing = 0;
    InjectHostPath(&m, two.c_str(), L"\\one.bin", &missing, nullptr, nullptr);
  });
  ASSERT_EQ(0, vt::Sh("mv " + vt::Q(upd + ".journal") + " " + vt::Q(upd + ".journal.new") +
                      " && mv " + vt::Q(upd + ".before") + " " + vt::Q(upd)));
  // A new update file and a new write-back file the run was making, two
  // files of those names it did not make, and one a maker holds.
  // And a write-back file an earlier version was making, cut off before
  // the header that links it: a fresh own-format container, nothing in it.
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(d.disks) +
                      " && cp disk.vmd_01.Upd disk.vmd_02.Upd.new && cp disk.vmd_01.Upd wks.Fix.new"
                      " && printf 'not ours' > disk.vmd_03.Upd.new"
                      " && printf 'not ours' > disk.vmd.journal.new && python3 -c \""
                      "import struct; h = bytearray(8192); h[4:12] = b'VROMDISK';"
                      " struct.pack_into('<I', h, 0, 78); struct.pack_into('<I', h, 50, 6);"
                      " struct.pack_into('<I', h, 74, sum(h[:74])); h[512:520] = b'CmpssFl\\0';"
                      " struct.pack_into('<I', h, 536, 16); open('early.Fix.new', 'wb').write(h)\""));
  HANDLE maker = CreateFileW((image + L"_04.Upd.new").c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                             FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, maker);
  const std::string hashes = vt::Sha256(image) + vt::Sha256(update);
  std::string out;
  EXPECT_EQ(0u, RunVro(ImageArgs(update) + Extract(d, L"\\one.bin", "one.out"), &out)) << out;
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(d.dir + "/one.bin") + " " + vt::Q(d.dir + "/one.out")));
  static const char kRemoved[] = ": a temporary file that a command cut off before its end left was removed";
  EXPECT_TRUE(Has(out, "disk.vmd_02.Upd.new" + std::string(kRemoved))) << out;
  EXPECT_TRUE(Has(out, "disk.vmd_01.Upd.journal.new" + std::string(kRemoved))) << out;
  EXPECT_FALSE(Has(out, "rolled back")) << out;
  EXPECT_TRUE(Has(out, "disk.vmd_03.Upd.new: it has the name of a file this program makes"))
      << out;
  EXPECT_TRUE(Has(out, "disk.vmd.journal.new: it has the name of a file this program makes"))
      << out;
  EXPECT_FALSE(Has(out, "_04.Upd.new")) << out;
  // A write-back file being made beside the image goes with a read too.
  EXPECT_TRUE(Has(out, "wks.Fix.new" + std::string(kRemoved))) << out;
  EXPECT_TRUE(Has(out, "early.Fix.new" + std::string(kRemoved))) << out;
  EXPECT_EQ(hashes, vt::Sha256(image) + vt::Sha256(update));
  EXPECT_FALSE(vt::FileExists(image + L"_02.Upd.new"));
  EXPECT_FALSE(vt::FileExists(update + L".journal.new"));
  EXPECT_FALSE(vt::FileExists(vt::ToWin(d.disks + "/wks.Fix.new")));
  EXPECT_FALSE(vt::FileExists(vt::ToWin(d.disks + "/early.Fix.new")));
  EXPECT_TRUE(vt::FileExists(image + L"_03.Upd.new"));
  EXPECT_TRUE(vt::FileExists(image + L".journal.new"));
  EXPECT_TRUE(vt::FileExists(image + L"_04.Upd.new"));
  // A second writer of the base takes the number after those being made
  // (or left by another program) for its own update file.
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + L"\"/inject:\\two.bin::" + two + L"\"", &out)) << out;
  EXPECT_FALSE(Has(out, "another program holds")) << out;
  EXPECT_TRUE(vt::FileExists(image + L"_05.Upd"));
  EXPECT_EQ(0u, RunVro(ImageArgs(image + L"_05.Upd") + Extract(d, L"\\two.bin", "two.out")));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(d.dir + "/two.bin") + " " + vt::Q(d.dir + "/two.out")));
  // One a write-back file named by the command was to be made under, in
  // a folder of its own, goes with a read that finds no write-back file.
  std::string other = d.dir + "/wks";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(other) + " && cp " + vt::Q(upd) + " " +
                      vt::Q(other + "/w.Fix.new")));
  EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(image, vt::ToWin(other + "/w.fix")) +
                                   Extract(d, L"\\one.bin", "one.again"),
                               &out))
      << out;
  EXPECT_TRUE(Has(out, "w.Fix.new" + std::string(kRemoved))) << out;
  EXPECT_FALSE(vt::FileExists(vt::ToWin(other + "/w.Fix.new")));
  CloseHandle(maker);
  // Its maker gone, the empty file it left goes too.
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + L"/check", &out)) << out;
  EXPECT_TRUE(Has(out, "disk.vmd_04.Upd.new" + std::string(kRemoved))) << out;
  EXPECT_FALSE(vt::FileExists(image + L"_04.Upd.new"));

  // A conversion of the update file, which looks for the image's other
  // files before it opens its source, names a foreign file at the update
  // file's journal name once and removes an empty one of its own with its
  // line: through the command line and the export alike.
  const std::string journalNew = upd + ".journal.new";
  const std::string foreign = "disk.vmd_01.Upd.journal.new: it has the name of a file";
  const std::string removed = "disk.vmd_01.Upd.journal.new" + std::string(kRemoved);
  const std::wstring copy = vt::ToWin(d.dir + "/copy.vmd");
  auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
  };
  for (bool ours : {false, true}) {
    SCOPED_TRACE(ours ? "empty, of its own" : "foreign");
    ASSERT_EQ(0, vt::Sh(std::string(ours ? ": > " : "printf 'not ours' > ") + vt::Q(journalNew)));
    EXPECT_EQ(0u, RunVro(ImageArgs(copy) + L"\"/convert:" + update + L"\"", &out)) << out;
    EXPECT_EQ(1u, count(out, ours ? removed : foreign)) << out;
    EXPECT_EQ(!ours, vt::FileExists(update + L".journal.new"));
    ASSERT_EQ(0, vt::Sh(std::string(ours ? ": > " : "printf 'not ours' > ") + vt::Q(journalNew)));
    static std::string lines;
    lines.clear();
    VroOverlayNoticeFn was = VroSetOverlayNotice([](const wchar_t* path, int kind) {
      lines += vt::Narrow(path) + (kind == VRO_NOTICE_LEFTOVER_REMOVED ? kRemoved
                                                                      : ": it has the name of a file") +
               "\n";
    });
    EXPECT_EQ(kImageOk, ImageConvertFileW(update.c_str(), copy.c_str(), 0, 0, nullptr, nullptr));
    VroSetOverlayNotice(was);
    EXPECT_EQ(1u, count(lines, ours ? removed : foreign)) << lines;
    EXPECT_EQ(!ours, vt::FileExists(update + L".journal.new"));
  }
  EXPECT_EQ(0, vt::Sh("rm -f " + vt::Q(journalNew)));
}

// A file at the journal's new name that this program did not make keeps
// every writer out of its image (NTFS and FAT32), the merge of a write-back
// file into it included (-15 alike): named in one line, it and the image
// stay byte for byte; a reader goes on, and a conversion that opens it
// twice names it once.
TEST(SideFiles, AFileOfTheJournalsNameNotOursKeepsWritersOut) {
  for (const Kind& kind : {kRaw, Kind{"Fat", "mbr2048", "raw", true, false, false}}) {
    SCOPED_TRACE(kind.name);
    Disk d = MakeDisk(kind);
    std::wstring image = d.ImageWin(), fix = vt::ToWin(d.dir + "/ws.fix");
    std::string taken = d.image + ".journal.new";
    ASSERT_EQ(0, vt::Sh("printf data > " + vt::Q(d.dir + "/x.txt")));
    const std::wstring inject = L"\"/inject:\\x.txt::" + vt::ToWin(d.dir + "/x.txt") + L"\"";
    ASSERT_EQ(0u, RunVro(ImageArgs(image, fix) + inject));
    ASSERT_EQ(0, vt::Sh("head -c 70000 /dev/urandom > " + vt::Q(taken)));
    const std::string hashes = vt::Sha256(image) + vt::Sha256(vt::ToWin(taken)) +
                               vt::Sha256(vt::ToWin(d.dir + "/ws.Fix"));
    const std::string line = "disk.img.journal.new: it has the name of a file this program makes";
    auto once = [&](const std::string& out, bool window = false) {
      EXPECT_TRUE(Has(out, line)) << out;
      // (The main window, which opens after "/merge", names it at its own
      // open.)
      if (!window) {
        EXPECT_EQ(out.find(line), out.rfind(line)) << out;
      }
      EXPECT_FALSE(Has(out, "failed with")) << out;
      EXPECT_EQ(hashes, vt::Sha256(image) + vt::Sha256(vt::ToWin(taken)) +
                            vt::Sha256(vt::ToWin(d.dir + "/ws.Fix")));
    };
    std::string out;
    EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(image) + inject, &out));
    once(out);
    EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(image, fix) + L"/merge", &out));
    once(out, true);
    // The source of a conversion is opened to find its own files, then to
    // be copied (FAT32 is not copied: -13 with its line).
    EXPECT_EQ(kind.fat ? DWORD(-13) : 0u,
              RunVro(ImageArgs(vt::ToWin(d.dir + "/copy.vmd")) + L"\"/convert:" + image + L"\"",
                     &out));
    once(out);
    EXPECT_FALSE(vt::FileExists(image + L".journal"));
    EXPECT_EQ(0u, RunVro(ImageArgs(image) + Extract(d, L"\\Users\\Public\\notes.txt", "n.txt"),
                         &out))
        << out;
    EXPECT_TRUE(Has(out, line)) << out;
    EXPECT_EQ(hashes, vt::Sha256(image) + vt::Sha256(vt::ToWin(taken)) +
                          vt::Sha256(vt::ToWin(d.dir + "/ws.Fix")));
  }
}

// Two write-back files made over one image, the first merged: the second
// was made for an earlier state of the image and is refused on a read (-15)
// and on a merge (-12), each with its line, the image and the file byte
// for byte as they were, the first one's file in the image (read back by
// ntfscat, through qemu-img for a VHD); so is one made before a write into
// the image itself, a format too. A raw image or VHD keeps no identity: the file is
// bound to the state of the image it recorded, and one another writer
// made, without that record, reads as before.
TEST(SideFiles, AStaleWriteBackIsNotMergedAndSaysWhy) {
  for (const Kind& kind : {kOwn, kRaw, kDynamicVhd, kFixedVhd}) {
    SCOPED_TRACE(kind.name);
    Disk d = MakeDisk(kind);
    const std::wstring image = d.ImageWin();
    auto fix = [&](const std::string& name) { return vt::ToWin(d.disks + "/" + name + ".fix"); };
    auto made = [&](const std::string& name) { return vt::ToWin(d.disks + "/" + name + ".Fix"); };
    auto inject = [&](const std::string& name) {
      EXPECT_EQ(0, vt::Sh("printf " + name + " > " + vt::Q(d.dir + "/" + name + ".txt")));
      return L"\"/inject:\\" + vt::Widen(name) + L".txt::" +
             vt::ToWin(d.dir + "/" + name + ".txt") + L"\"";
    };
    // Refused on a read and on a merge, both files as they were.
    auto refused = [&](const std::string& name, const std::string& why) {
      const std::string hashes = vt::Sha256(image) + vt::Sha256(made(name));
      std::string out;
      EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(image, fix(name)) + Extract(d, L"\\", "out"), &out))
          << why;
      EXPECT_TRUE(Has(out, name + ".Fix: it was made for an earlier state of its base image"))
          << why << out;
      EXPECT_EQ(DWORD(-12), RunVro(ImageArgs(image, fix(name)) + L"/merge", &out)) << why;
      EXPECT_TRUE(Has(out, name + ".fix: it was made for an earlier state of its base image (the "
                                  "image was written since): not merged, both files left as "
                                  "they are"))
          << why << out;
      EXPECT_FALSE(Has(out, "not an update or write-back file")) << out;
      EXPECT_EQ(hashes, vt::Sha256(image) + vt::Sha256(made(name))) << why;
    };
    ASSERT_EQ(0u, RunVro(ImageArgs(image, fix("w1")) + inject("one")));
    ASSERT_EQ(0u, RunVro(ImageArgs(image, fix("w2")) + inject("two")));
    // Each write into the image moves its last-write time a whole 2 s on,
    // however soon it comes.
    uint64_t time = vt::WriteTimeOf(image);
    auto timeMoved = [&] {
      const uint64_t now = vt::WriteTimeOf(image);
      if (!kind.own) {
        EXPECT_LE(time + 20000000ull, now);
      }
      time = now;
    };
    std::string out;
    ASSERT_EQ(0u, RunVro(ImageArgs(image, fix("w1")) + L"/merge", &out)) << out;
    EXPECT_FALSE(vt::FileExists(made("w1")));
    timeMoved();
    refused("w2", "the other write-back file merged");
    if (kind.own) {
      EXPECT_EQ(0u, RunVro(ImageArgs(image) + Extract(d, L"\\one.txt", "one.out")));
    } else {
      EXPECT_TRUE(VolumeReader(d, Flatten(d, d.image, "", d.dir + "/flat.raw"))
                      .Same("/one.txt", d.dir + "/one.txt"));
      // Without the record of the base's state (another writer's file): read
      // as it stands.
      std::vector<uint8_t> other;
      ASSERT_TRUE(vt::ReadAll(made("w2"), other));
      memset(&other[vroimg::kOffBaseState], 0, vroimg::kBaseStateBytes);
      ASSERT_TRUE(vt::WriteAll(made("w4"), other));
      EXPECT_EQ(0u, RunVro(ImageArgs(image, fix("w4")) + Extract(d, L"\\two.txt", "two.out"),
                           &out))
          << out;
      EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(d.dir + "/two.txt") + " " + vt::Q(d.dir + "/two.out")));
    }
    // A write into the image itself (a dynamic VHD takes none but merges).
    if (std::string(kind.format) != "vhd-dynamic") {
      ASSERT_EQ(0u, RunVro(ImageArgs(image, fix("w3")) + inject("three")));
      time = vt::WriteTimeOf(image);
      ASSERT_EQ(0u, RunVro(ImageArgs(image) + L"-noupd " + inject("four"), &out)) << out;
      timeMoved();
      refused("w3", "the image written");
      // Its volume formatted: a format syncs the volume before it writes,
      // and the volume of a format before mounts without a write.
      ASSERT_EQ(0u, RunVro(ImageArgs(image) + L"-noupd /format", &out)) << out;
      ASSERT_EQ(0u, RunVro(ImageArgs(image, fix("w5")) + inject("five")));
      time = vt::WriteTimeOf(image);
      ASSERT_EQ(0u, RunVro(ImageArgs(image) + L"-noupd /format", &out)) << out;
      timeMoved();
      refused("w5", "the image formatted");
    }
  }
}

// A write-back or update file is used only over the kind of image it was
// made for: a raw image replaced by an own one ("/create:", "/convert:"),
// an own one by a raw one ("/p /convert:") or by another own one, takes
// none of the files made over the one before. Each is refused as another
// image's on a read (-15) and on a merge (-12), the image and the file byte
// for byte, and the new image reads whole.
TEST(SideFiles, AFileMadeForAnotherImageIsNeverTaken) {
  Disk raw = MakeDisk(kRaw);
  Disk own = MakeDisk(kOwn, raw.dir + "/own");
  const std::wstring image = raw.ImageWin();
  const std::string saved = raw.dir + "/saved.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(raw.image) + " " + vt::Q(saved) + " && printf x > " +
                      vt::Q(raw.dir + "/x.txt")));
  const std::wstring inject = L"\"/inject:\\x.txt::" + vt::ToWin(raw.dir + "/x.txt") + L"\"";
  auto refused = [&](const std::wstring& at, const std::wstring& file, const char* why) {
    SCOPED_TRACE(why);
    const std::string name = vt::Narrow(file.substr(file.find_last_of(L'\\') + 1));
    const std::string hashes = vt::Sha256(at) + vt::Sha256(file);
    std::string out;
    if (name.find(".Fix") != std::string::npos) {
      EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(at, file) + Extract(raw, L"\\", "out"), &out));
      EXPECT_TRUE(Has(out, name + ": it belongs to another image")) << out;
    }
    EXPECT_EQ(DWORD(-12), RunVro(ImageArgs(at, file) + L"/merge", &out));
    EXPECT_TRUE(Has(out, name + ": it was made for another image")) << out;
    EXPECT_EQ(hashes, vt::Sha256(at) + vt::Sha256(file));
    EXPECT_EQ(0u, RunVro(ImageArgs(at) + L"/check", &out)) << out;
  };
  // Made over the raw image, which an own one then replaces.
  const std::wstring overRaw = vt::ToWin(raw.disks + "/r.Fix");
  ASSERT_EQ(0u, RunVro(ImageArgs(image, overRaw) + inject));
  ASSERT_EQ(0u, RunVro(ImageArgs(image) + L"/create:24"));
  refused(image, overRaw, "raw, then /create:");
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(saved) + " " + vt::Q(raw.image)));
  ASSERT_EQ(0u, RunVro(ImageArgs(image) + L"\"/convert:" + own.ImageWin() + L"\""));
  refused(image, overRaw, "raw, then /convert:");
  // Made over an own image (a write-back file and an update file), which
  // a raw one, then another own one, replaces.
  const std::wstring ownImage = own.ImageWin(), overOwn = vt::ToWin(own.disks + "/o.Fix");
  ASSERT_EQ(0u, RunVro(ImageArgs(ownImage, overOwn) + inject));
  ASSERT_EQ(0u, RunVro(ImageArgs(ownImage) + inject));
  ASSERT_EQ(0u, RunVro(ImageArgs(ownImage) + L"/p \"/convert:" + vt::ToWin(saved) + L"\""));
  refused(ownImage, overOwn, "own, then /p /convert:");
  refused(ownImage, ownImage + L"_01.Upd", "own, then /p /convert: (update file)");
  ASSERT_EQ(0u, RunVro(ImageArgs(ownImage) + L"/create:24"));
  refused(ownImage, overOwn, "own, then /create:");
  refused(ownImage, ownImage + L"_01.Upd", "own, then /create: (update file)");
}

// A write-back file whose merge completed but that could not be removed
// (another program held it) is known as merged from then on, over an own
// image by its identity, beside a raw image or a VHD too, which keep none
// (another writer's file, which recorded no state of the image, as well):
// a read, a check or a write through it is refused (-15) with a line that
// says so, its next merge says it was merged already and removes it (0),
// the image as that merge left it. One whose image took another merge
// since is never merged again: refused (-12), the image as it is.
TEST(SideFiles, AWriteBackMergedAlreadyIsRemovedNotMergedTwice) {
  for (const Kind& kind : {kDynamicVhd, kRaw, kOwn}) {
    SCOPED_TRACE(kind.name);
    Disk d = MakeDisk(kind);
    const std::wstring image = d.ImageWin();
    auto fix = [&](const std::string& name) { return vt::ToWin(d.disks + "/" + name + ".fix"); };
    auto made = [&](const std::string& name) { return vt::ToWin(d.disks + "/" + name + ".Fix"); };
    auto inject = [&](const std::string& name) {
      EXPECT_EQ(0, vt::Sh("head -c 70000 /dev/urandom > " + vt::Q(d.dir + "/" + name + ".bin")));
      return L"\"/inject:\\" + vt::Widen(name) + L".bin::" +
             vt::ToWin(d.dir + "/" + name + ".bin") + L"\"";
    };
    // Merged, the file held open (no sharing of its removal) meanwhile.
    auto mergeHeld = [&](const std::string& name) {
      HANDLE held = CreateFileW(made(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
      EXPECT_NE(INVALID_HANDLE_VALUE, held);
      std::string out;
      EXPECT_EQ(DWORD(-12), RunVro(ImageArgs(image, fix(name)) + L"/merge", &out));
      EXPECT_TRUE(Has(out, name + ".fix: merged into the image, but the file could not be removed"))
          << out;
      CloseHandle(held);
      EXPECT_TRUE(vt::FileExists(made(name)));
    };
    ASSERT_EQ(0u, RunVro(ImageArgs(image, fix("w1")) + inject("one")));
    // As another writer makes it, without the record of the image's state.
    std::vector<uint8_t> file;
    ASSERT_TRUE(vt::ReadAll(made("w1"), file));
    memset(&file[vroimg::kOffBaseState], 0, vroimg::kBaseStateBytes);
    ASSERT_TRUE(vt::WriteAll(made("w1"), file));
    mergeHeld("w1");
    const std::string merged = vt::Sha256(image) + vt::Sha256(made("w1"));
    std::string out;
    // Every other command that meets it says so, and leaves both files.
    for (const std::wstring& command :
         {Extract(d, L"\\", "out"), std::wstring(L"/check"), inject("again")}) {
      EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(image, fix("w1")) + command, &out));
      EXPECT_TRUE(Has(out, "w1.Fix: this file was merged into its image already: not opened, "
                           "left as it is (merging it again removes it)"))
          << vt::Narrow(command) << out;
      EXPECT_EQ(merged, vt::Sha256(image) + vt::Sha256(made("w1"))) << vt::Narrow(command);
    }
    EXPECT_EQ(0u, RunVro(ImageArgs(image, fix("w1")) + L"/merge", &out)) << out;
    EXPECT_TRUE(Has(out, "w1.fix: this file was merged into its image already: it was removed"))
        << out;
    EXPECT_FALSE(vt::FileExists(made("w1")));
    EXPECT_EQ(merged.substr(0, 64), vt::Sha256(image));
    EXPECT_TRUE(VolumeReader(d, Flatten(d, d.image, "", d.dir + "/flat.raw"))
                    .Same("/one.bin", d.dir + "/one.bin"));
    // Left again, and another file merged since.
    ASSERT_EQ(0u, RunVro(ImageArgs(image, fix("w2")) + inject("two")));
    mergeHeld("w2");
    ASSERT_EQ(0u, RunVro(ImageArgs(image, fix("w3")) + inject("three")));
    ASSERT_EQ(0u, RunVro(ImageArgs(image, fix("w3")) + L"/merge", &out)) << out;
    const std::string hashes = vt::Sha256(image) + vt::Sha256(made("w2"));
    EXPECT_EQ(DWORD(-12), RunVro(ImageArgs(image, fix("w2")) + L"/merge", &out));
    EXPECT_TRUE(Has(out, "w2.fix: it was made for an earlier state of its base image")) << out;
    EXPECT_EQ(hashes, vt::Sha256(image) + vt::Sha256(made("w2")));
    VolumeReader reader(d, Flatten(d, d.image, "", d.dir + "/flat2.raw"));
    EXPECT_TRUE(reader.Same("/two.bin", d.dir + "/two.bin"));
    EXPECT_TRUE(reader.Same("/three.bin", d.dir + "/three.bin"));
  }
}

}  // namespace
