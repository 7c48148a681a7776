// What an inject makes comes back out, through the real program: files and
// folders below the root that carry a metafile's name ($MFT, $Bitmap,
// $Extend) are extracted, while the root's own metafiles stay out; a path
// longer than the program's 359 characters is refused by the inject with
// its line and nothing written, and one that fits comes out into a host
// folder however long the host path grows; -update on FAT32 and exFAT
// keeps a file of the same last-write time, an odd second with a fraction
// included, and exFAT keeps that time to its 10 ms. Read back by ntfsls,
// ntfscat, mtools, exfat-fuse, fsck and the exFAT entry's own bytes.
#include <gtest/gtest.h>

#include "../image/ImagePatch.h"
#include "BatchTestUtil.h"

using namespace bt;

namespace {

const DWORD kOk = 0;
const DWORD kFailed = DWORD(-12);

struct Volume {
  std::string dir, image;
  long start = 0;
  std::string fs;
  std::wstring Args() const { return ImageArgs(vt::ToWin(image)); }
  bool Ntfs() const { return fs == "ntfs"; }
  bool Exfat() const { return fs == "exfat"; }
};

// A volume of the kind holding tree/a.txt: NTFS alone in its file, FAT32
// and exFAT behind an MBR.
Volume MakeVolume(const std::string& fs) {
  Volume v;
  v.fs = fs;
  v.dir = vt::ScratchDirUnix();
  v.image = v.dir + "/disks/disk.img";
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(v.dir + "/tree") + " " + vt::Q(v.dir + "/disks") +
                      " && printf hello > " + vt::Q(v.dir + "/tree/a.txt")));
  std::string out;
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(v.image) + " --fs " + fs + " --layout " +
                              (v.Ntfs() ? "none" : "mbr2048") + " --size " +
                              (v.Ntfs() ? "16" : "40") + " --tree " + vt::Q(v.dir + "/tree"),
                          &out));
  v.start = atol(out.c_str());
  return v;
}

// Every file of the volume with its hash, as an independent reader lists
// it (ntfs-3g's ntfsls and ntfscat for NTFS).
std::string View(const Volume& v) {
  if (!v.Ntfs()) return FatVolumeView(v.image, v.start, v.Exfat());
  std::string out;
  EXPECT_EQ(0, vt::Sh("ntfsls -R -F " + vt::Q(v.image) + " | sort", &out)) << out;
  return out;
}

// The image's bytes as a reader of its volume sees them: on NTFS the
// clusters $Bitmap marks free count as zeros (a command taken back leaves
// them as it wrote them), elsewhere every byte.
std::string Bytes(const Volume& v) {
  return v.Ntfs() ? vt::ReaderView(v.image, v.start) : vt::Sha256(vt::ToWin(v.image));
}

std::string Fsck(const Volume& v) {
  std::string part = v.dir + "/fsck.part", out;
  vt::Sh("dd if=" + vt::Q(v.image) + " of=" + vt::Q(part) + " bs=512 skip=" +
         std::to_string(v.start) + " status=none");
  const char* tool = v.Ntfs() ? "ntfsfix -n " : v.Exfat() ? "fsck.exfat -n " : "fsck.fat -n ";
  return vt::Sh(tool + vt::Q(part), &out) == 0 ? std::string() : out;
}

TEST(BatchRoundTrip, MetafileNamesBelowTheRootComeOut) {
  Volume v = MakeVolume("ntfs");
  const std::string src = v.dir + "/src", out = v.dir + "/out";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(src + "/$Extend") + " && cd " + vt::Q(src) +
                      " && printf mft > '$MFT' && head -c 70000 /dev/urandom > '$Bitmap'"
                      " && printf q > '$Extend/q.bin' && printf plain > plain.txt"));
  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/inject:\\sub::" + vt::ToWin(src) + L"\""));
  // The inject made them: ntfs-3g lists and reads them.
  std::string listed;
  EXPECT_EQ(0, vt::Sh("ntfsls -a -p /sub " + vt::Q(v.image), &listed));
  for (const char* name : {"$MFT", "$Bitmap", "$Extend", "plain.txt"})
    EXPECT_NE(std::string::npos, listed.find(name)) << listed;
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(v.image) + " '/sub/$Extend/q.bin' | cmp - " +
                      vt::Q(src + "/$Extend/q.bin")));

  // The whole volume out: every file a reader sees, the root's metafiles
  // not among them.
  std::string output;
  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/extract:\\::" + vt::ToWin(out) + L"\"", &output))
      << output;
  EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(src) + " " + vt::Q(out + "/sub"))) << output;
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(out + "/a.txt") + " " + vt::Q(v.dir + "/tree/a.txt")));
  std::string root;
  vt::Sh("ls -A " + vt::Q(out), &root);
  EXPECT_EQ(std::string::npos, root.find('$')) << root;
  // The folder named $Extend below the root by its own path too.
  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/extract:\\sub\\$Extend::" + vt::ToWin(out) + L"\\ext\""));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(out + "/ext/q.bin") + " " + vt::Q(src + "/$Extend/q.bin")));
  EXPECT_EQ("", Fsck(v));
}

class LongPaths : public ::testing::TestWithParam<const char*> {};

// \deep\A(200)\B(200)\x.bin is 408 characters: the inject refuses it with
// a line naming the folder that would pass 359 characters, and the
// command's work is taken back. \fits\A(200)\C(140)\y.bin (353) goes in
// and comes out with the whole volume, its host path past 400 characters.
TEST_P(LongPaths, WhatTheInjectMakesComesOut) {
  Volume v = MakeVolume(GetParam());
  const std::string a(200, 'A'), b(200, 'B'), c(140, 'C');
  const std::string src = v.dir + "/src", out = v.dir + "/" + std::string(40, 'o');
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(src + "/deep/" + a + "/" + b) + " " +
                      vt::Q(src + "/fits/" + a + "/" + c) + " && printf x > " +
                      vt::Q(src + "/deep/" + a + "/" + b + "/x.bin") + " && printf y > " +
                      vt::Q(src + "/fits/" + a + "/" + c + "/y.bin")));
  const std::string hash = Bytes(v), view = View(v);
  std::string output;
  EXPECT_EQ(kFailed, RunVro(v.Args() + L"\"/inject:\\deep::" + vt::ToWin(src + "/deep") + L"\"",
                            &output));
  EXPECT_NE(std::string::npos,
            output.find("Could not write \\deep\\" + a + "\\" + b + " (error 206"))
      << output;
  EXPECT_EQ(hash, Bytes(v)) << output;
  EXPECT_EQ(view, View(v));
  // Typed on the command line, a volume path of 360 characters is refused
  // alike: the same code and line, nothing written.
  const std::string typed = "\\" + std::string(359, 't');
  EXPECT_EQ(kFailed, RunVro(v.Args() + L"\"/inject:" + vt::Widen(typed) + L"::" +
                                vt::ToWin(src + "/deep/" + a + "/" + b + "/x.bin") + L"\"",
                            &output));
  EXPECT_NE(std::string::npos, output.find("Could not write " + typed + " (error 206")) << output;
  EXPECT_EQ(hash, Bytes(v)) << output;

  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/inject:\\fits::" + vt::ToWin(src + "/fits") + L"\"",
                        &output))
      << output;
  EXPECT_NE(std::string::npos, View(v).find(c)) << View(v);
  EXPECT_EQ("", Fsck(v));
  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/extract:\\::" + vt::ToWin(out) + L"\"", &output))
      << output;
  EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(src + "/fits") + " " + vt::Q(out + "/fits")));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(out + "/a.txt") + " " + vt::Q(v.dir + "/tree/a.txt")));
}

INSTANTIATE_TEST_SUITE_P(Volumes, LongPaths, ::testing::Values("ntfs", "fat32", "exfat"));

class UpdateTimes : public ::testing::TestWithParam<const char*> {};

// t.bin written at 10:00:01.37 (an odd second with a fraction); -update
// with another t.bin of that same time keeps the volume's file, one a step
// of the volume's resolution later (exFAT 10 ms, FAT 2 s) replaces it.
TEST_P(UpdateTimes, AFileOfTheSameTimeIsKept) {
  Volume v = MakeVolume(GetParam());
  const std::string host = v.dir + "/t.bin", first = v.dir + "/first.bin";
  auto write = [&](const char* text, const char* time) {
    ASSERT_EQ(0, vt::Sh("printf '" + std::string(text) + "' > " + vt::Q(host) + " && cp " +
                        vt::Q(host) + " " + vt::Q(v.dir + "/" + text + ".bin") + " && touch -d '" +
                        time + "' " + vt::Q(host)));
  };
  auto holds = [&](const char* text) {
    return View(v).find(vt::Sha256(vt::ToWin(v.dir + "/" + text + ".bin"))) != std::string::npos;
  };
  const std::wstring inject = L"\"/inject:\\t.bin::" + vt::ToWin(host) + L"\"";
  write("first", "2024-05-05 10:00:01.37");
  EXPECT_EQ(kOk, RunVro(v.Args() + inject));
  if (v.Exfat()) {
    // The time to its 10 ms: 1.37 s past the even second in the entry's
    // own byte, and the odd second as exfat-fuse reads it.
    ip::Bytes d(vt::ToWin(v.image));
    ip::ExfatLayout x(d, (size_t)v.start * 512);
    size_t entry = x.FileEntry(d, "t.bin");
    ASSERT_NE(ip::kNone, entry);
    ASSERT_EQ(0x85u, d.U8(entry));
    EXPECT_EQ(137u, d.U8(entry + 21));
    std::string dir = v.dir + "/mnt", part = v.dir + "/t.part", stamp;
    EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir) + " && dd if=" + vt::Q(v.image) + " of=" +
                            vt::Q(part) + " bs=512 skip=" + std::to_string(v.start) +
                            " status=none && l=$(losetup -f --show " + vt::Q(part) +
                            ") && mount.exfat-fuse -o ro $l " + vt::Q(dir) +
                            " >/dev/null && date -r " + vt::Q(dir + "/t.bin") +
                            " '+%H:%M:%S'; umount " + vt::Q(dir) + "; losetup -d $l",
                        &stamp));
    EXPECT_EQ("10:00:01\n", stamp);
  }
  ASSERT_TRUE(holds("first"));

  write("second", "2024-05-05 10:00:01.37");
  std::string output;
  EXPECT_EQ(kOk, RunVro(v.Args() + L"-update " + inject, &output)) << output;
  EXPECT_TRUE(holds("first")) << "a file of the same time was replaced";

  write("third", v.Exfat() ? "2024-05-05 10:00:01.38" : "2024-05-05 10:00:03");
  EXPECT_EQ(kOk, RunVro(v.Args() + L"-update " + inject, &output)) << output;
  EXPECT_TRUE(holds("third")) << "a newer file did not replace it";
  EXPECT_EQ("", Fsck(v));
}

INSTANTIATE_TEST_SUITE_P(Volumes, UpdateTimes, ::testing::Values("fat32", "exfat"));

}  // namespace
