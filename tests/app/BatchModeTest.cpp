// Where the writing operations write ("-noupd"), what a merge refuses, and
// the operations called in-process the way a host calls the exports.
#include <gtest/gtest.h>

#include <functional>

#include "../image/TreeCopyTestUtil.h"
#include "../image/WriteFaults.h"
#include "BatchTestUtil.h"
#include "ProgramImage.h"
#include "app/ImageOperations.h"
#include "image/mount/MountedImage.h"

using namespace bt;

namespace {

const Kind kOwn = {"Own", "mbr2048", "raw", false, true, false};

std::string UpdateFiles(const std::string& dir) {
  std::string out;
  vt::Sh("cd " + vt::Q(dir) + " && ls | grep -i '\\.upd$' || true", &out);
  return out;
}

TEST(BatchMode, NoUpdChoosesBetweenUpdateFileAndImage) {
  Disk d = MakeDisk(kOwn);
  std::string other = d.disks + "/other.vmd";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.image) + " " + vt::Q(other) + " && printf new > " +
                      vt::Q(d.dir + "/new.txt")));
  std::wstring newW = vt::ToWin(d.dir + "/new.txt"), outW = vt::ToWin(d.dir + "/out");
  std::wstring inject = L"\"/inject:\\Users\\new.txt::" + newW + L"\"";

  // A read-only operation writes nothing, "/noupd" or not.
  std::string hashes = FolderHashes(d.disks);
  EXPECT_EQ(0u, RunVro(ImageArgs(d.ImageWin()) + L"-noupd \"/extract:\\Users::" + outW + L"\""));
  EXPECT_EQ(hashes, FolderHashes(d.disks));

  // Without it the change goes to a new update file beside the image.
  std::string before = vt::Sha256(d.ImageWin());
  EXPECT_EQ(0u, RunVro(ImageArgs(d.ImageWin()) + inject));
  EXPECT_EQ(before, vt::Sha256(d.ImageWin()));
  EXPECT_EQ("disk.vmd_01.Upd\n", UpdateFiles(d.disks));

  // With it (any case, anywhere on the line) into the image itself.
  before = vt::Sha256(vt::ToWin(other));
  EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(other)) + inject + L" /NOUPD"));
  EXPECT_NE(before, vt::Sha256(vt::ToWin(other)));
  EXPECT_EQ("disk.vmd_01.Upd\n", UpdateFiles(d.disks));
  std::string flat = Flatten(d, other, "", d.dir + "/other.raw");
  EXPECT_TRUE(VolumeReader(d, flat).Same("/Users/new.txt", d.dir + "/new.txt"));

  // A write-back file takes the writes in either mode.
  before = vt::Sha256(vt::ToWin(other));
  std::wstring fix = vt::ToWin(d.disks + "/wks.fix");
  EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(other), fix) + L"/noupd \"/inject:\\Users\\fix.txt::" +
                       newW + L"\""));
  EXPECT_EQ(before, vt::Sha256(vt::ToWin(other)));
  EXPECT_TRUE(vt::FileExists(fix));
}

using vt::SmallVolume;

// A write-back file whose host volume fills up: the inject fails, and the
// base and the write-back file are as they were before it (the write-back
// file it was to make does not exist).
TEST(BatchMode, FullHostVolumeUnderTheWriteBack) {
  Disk d = MakeDisk(kOwn);
  SmallVolume small(d.dir + "/small", "3m");
  ASSERT_TRUE(small.Mounted());
  ASSERT_EQ(0, vt::Sh("head -c 6000000 /dev/urandom > " + vt::Q(d.dir + "/big.bin") +
                      " && printf small > " + vt::Q(d.dir + "/small.txt")));
  std::wstring fix = vt::ToWin(d.dir + "/small/wks.fix"), image = d.ImageWin();
  std::string baseHash = vt::Sha256(image);
  std::string printed;
  EXPECT_EQ(DWORD(-12), RunVro(ImageArgs(image, fix) + L"\"/inject:\\big.bin::" +
                                   vt::ToWin(d.dir + "/big.bin") + L"\"",
                               &printed));
  // The host's refusal names the file the command makes, not the name it
  // is made under.
  std::string line = "could not write " + vt::Narrow(fix) + " (error 112", lower = printed;
  for (std::string* t : {&line, &lower})
    for (char& c : *t) c = char(tolower((unsigned char)c));
  EXPECT_NE(std::string::npos, lower.find(line)) << printed;
  EXPECT_EQ(std::string::npos, printed.find(".new")) << printed;
  EXPECT_EQ(baseHash, vt::Sha256(image));
  EXPECT_EQ("", UpdateFiles(d.disks));
  std::string left;
  vt::Sh("ls " + vt::Q(d.dir + "/small"), &left);
  EXPECT_EQ("", left);
  std::wstring out = vt::ToWin(d.dir + "/notes.txt");
  EXPECT_EQ(0u,
            RunVro(ImageArgs(image) + L"\"/extract:\\Users\\Public\\notes.txt::" + out + L"\""));
  std::vector<uint8_t> notes;
  EXPECT_TRUE(vt::ReadAll(out, notes));
  EXPECT_EQ("notes", std::string(notes.begin(), notes.end()));
  EXPECT_EQ(baseHash, vt::Sha256(image));
}

// An inject into the folder that holds files an earlier command put into
// the overlay, on a host volume that fills up at several points of it: the
// inject fails, and the earlier files read back as they were.
TEST(BatchMode, FullHostVolumeKeepsTheFolderThatHeldEarlierFiles) {
  Disk d = MakeDisk(kOwn);
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(d.dir) +
                      " && mkdir -p Data Later && head -c 200000"
                      " /dev/urandom > Data/one.bin && for i in $(seq 1 40); do head -c"
                      " $((i * 9000)) /dev/urandom > Later/f$i.bin; done"));
  std::string small = d.dir + "/small";
  std::wstring later = L"\"/inject:\\Data::" + vt::ToWin(d.dir + "/Later") + L"\\*\"";
  std::wstring one = L"\"/extract:\\Data\\one.bin::" + vt::ToWin(d.dir + "/one.out") + L"\"";
  for (bool fix : {false, true}) {
    // The overlay with Data, made on the tmpfs; the room left grows.
    std::string top = small + (fix ? "/wks.Fix" : "/disk.vmd_01.Upd");
    std::wstring chain =
        fix ? ImageArgs(d.ImageWin(), vt::ToWin(small + "/wks.fix")) : ImageArgs(vt::ToWin(top));
    for (int room : {300, 900, 1500}) {
      std::string where = (fix ? "write-back, " : "update file, ") + std::to_string(room) + " KiB";
      SmallVolume volume(small, "64m");
      ASSERT_TRUE(volume.Mounted());
      if (!fix) {
        ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.image) + " " + vt::Q(small)));
      }
      std::wstring first = fix ? chain : ImageArgs(vt::ToWin(small + "/disk.vmd"));
      ASSERT_EQ(0u, RunVro(first + L"\"/inject:\\Data::" + vt::ToWin(d.dir + "/Data") + L"\""))
          << where;
      // The tmpfs shrinks to what it holds and the room given.
      ASSERT_EQ(0, vt::Sh("used=$(du -sk " + vt::Q(small) +
                          " | cut -f1) && mount -o remount,size=" + "$((used + " +
                          std::to_string(room) + "))k " + vt::Q(small)))
          << where;
      EXPECT_NE(0u, RunVro(chain + later)) << where;
      ASSERT_EQ(0, vt::Sh("rm -f " + vt::Q(d.dir + "/one.out")));
      EXPECT_EQ(0u, RunVro(chain + one)) << where;
      EXPECT_EQ(0,
                vt::Sh("cmp " + vt::Q(d.dir + "/one.out") + " " + vt::Q(d.dir + "/Data/one.bin")))
          << where;
    }
  }
}

// A copy that cannot write names the file it could not write and the
// reason: an extract onto a host volume that fills up (the part written
// goes again), an inject of a file the volume has no room for. Both end
// with -12.
TEST(BatchMode, FailedWritesNameTheFileAndTheReason) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree) + " && head -c 3000000 /dev/urandom > " +
                      vt::Q(tree + "/big.bin") + " && head -c 20000000 /dev/urandom > " +
                      vt::Q(dir + "/huge.bin")));
  tc::Image img = tc::MakeImage("ntfs", 16, tree, dir);
  SmallVolume small(dir + "/small", "1m");
  ASSERT_TRUE(small.Mounted());
  std::wstring target = vt::ToWin(dir + "/small/big.bin");
  DWORD code = 0;
  std::string printed;
  ASSERT_TRUE(apptest::RunProgram(ImageArgs(img.path) + L"\"/extract:\\big.bin::" + target + L"\"",
                                  code, &printed));
  EXPECT_EQ(DWORD(-12), code);
  EXPECT_NE(std::string::npos,
            printed.find("Could not write " + vt::Narrow(target) + " (error 112"))
      << printed;
  EXPECT_EQ(std::string::npos, printed.find("Could not read")) << printed;
  EXPECT_FALSE(vt::FileExists(target));

  ASSERT_TRUE(apptest::RunProgram(
      ImageArgs(img.path) + L"\"/inject:\\huge.bin::" + vt::ToWin(dir + "/huge.bin") + L"\"", code,
      &printed));
  EXPECT_EQ(DWORD(-12), code);
  EXPECT_NE(std::string::npos, printed.find("Could not write \\huge.bin (error 112")) << printed;
}

// An inject of a host path that names nothing fails (-12) with a line that
// names the host path: a missing file, a wildcard that matches no file (or
// only folders), a missing folder and a wildcard in one.
TEST(BatchMode, InjectOfNothingNamesTheHostPath) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " " + vt::Q(dir + "/host/sub") +
                      " && printf x > " + vt::Q(dir + "/host/a.txt")));
  tc::Image img = tc::MakeImage("ntfs", 16, dir + "/tree", dir);
  std::string hash = vt::Sha256(img.path);
  const std::wstring host = vt::ToWin(dir + "/host");
  for (const std::wstring& path :
       {host + L"\\missing.txt", host + L"\\*.none", host + L"\\s*", host + L"\\gone",
        host + L"\\gone\\*.txt"}) {
    DWORD code = 0;
    std::string printed;
    ASSERT_TRUE(apptest::RunProgram(ImageArgs(img.path) + L"\"/inject:\\In::" + path + L"\"",
                                    code, &printed));
    EXPECT_EQ(DWORD(-12), code) << vt::Narrow(path);
    EXPECT_NE(std::string::npos, printed.find("Could not read " + vt::Narrow(path) + " (error "))
        << printed;
  }
  EXPECT_EQ(hash, vt::Sha256(img.path));
}

// A host disk that fills up during an inject, into the image itself and
// into an update file, at sizes that stop it in its copy and in its close:
// every failure names the host file it could not write and error 112.
TEST(BatchMode, FullHostDiskNamesTheFileAtEverySize) {
  std::string dir = vt::ScratchDirUnix(), small = dir + "/small";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " && head -c 3000000 /dev/urandom > " +
                      vt::Q(dir + "/one.bin")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/disk.img") + " --size 24"));
  const std::wstring image = vt::ToWin(small + "/disk.img");
  const std::string folder = vt::Narrow(vt::ToWin(small)) + "\\";
  int failed = 0;
  for (const wchar_t* mode : {L"-noupd ", L""}) {
    for (int room : {400, 1600, 2600, 2800, 2880, 2920}) {
      std::string where = vt::Narrow(mode) + std::to_string(room) + " KiB";
      SmallVolume volume(small, "64m");
      ASSERT_TRUE(volume.Mounted());
      ASSERT_NO_FATAL_FAILURE(CopyLeavingRoom(dir + "/disk.img", small, room));
      DWORD code = 0;
      std::string printed;
      ASSERT_TRUE(apptest::RunProgram(ImageArgs(image) + mode + L"\"/inject:\\one.bin::" +
                                          vt::ToWin(dir + "/one.bin") + L"\"",
                                      code, &printed));
      if (code == 0) continue;
      failed++;
      EXPECT_EQ(DWORD(-12), code) << where;
      size_t line = printed.find("Could not write " + folder);
      ASSERT_NE(std::string::npos, line) << where << ": " << printed;
      std::string text = printed.substr(line, printed.find('\n', line) - line);
      EXPECT_NE(std::string::npos, text.find(" (error 112")) << where << ": " << text;
    }
  }
  EXPECT_LE(8, failed);
}

// "/export:" and "/create:" onto a host path they cannot write: a folder
// that is not there, a read-only folder, a path that is a folder, a file
// another program holds without sharing, a host disk that fills up. Each
// ends with -12 and "Could not write FILE (error N: ...)" naming the file
// asked for (never a temporary of it; an image file held is refused with
// -15 and its own line before anything is made, an image's place that is a
// folder with a line naming it a folder), and leaves nothing at the path or
// beside it: no piece of a .reg, no part-made image; a file that was there
// stays as it was. The image the export read stays byte for byte.
TEST(BatchMode, UnwritableHostPathsNameTheFile) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel"));
  // A SYSTEM whose text runs to several MiB.
  ASSERT_EQ(0, vt::Sh("/usr/bin/python3 " + vt::Q(vt::SourceDirUnix() + "/tests/app/reg-tool.py") +
                      " big " + vt::Q(tree + "/Windows/System32/config/SYSTEM") + " 2"));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/disk.img") +
                          " --layout none --size 40 --tree " + vt::Q(tree)));
  std::wstring image = vt::ToWin(dir + "/disk.img");
  std::string hash = vt::Sha256(image);
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/places/folder.reg") + " " +
                      vt::Q(dir + "/places/folder.img") + " && printf 'held, keep me' > " +
                      vt::Q(dir + "/places/held.reg") + " && printf 'held, keep me' > " +
                      vt::Q(dir + "/places/held.img")));
  auto export_ = [&](const std::wstring& target) {
    return ImageArgs(image) + L"\"/export:" + target + L"::HKEY_LOCAL_MACHINE\\SYSTEM\"";
  };
  auto create = [](const std::wstring& target) { return ImageArgs(target) + L"/create:64"; };
  auto expectRefused = [&](const std::wstring& line, const std::wstring& target,
                           const std::string& listingBefore, const std::string& folderUnix,
                           bool held = false, const std::string& said = "") {
    SCOPED_TRACE(vt::Narrow(line));
    std::string printed;
    // An image file another program holds is refused as such (one writer
    // per image) before anything is made.
    EXPECT_EQ(held ? DWORD(-15) : DWORD(-12), RunVro(line, &printed));
    EXPECT_NE(std::string::npos,
              printed.find(!said.empty() ? said
                           : held        ? vt::Narrow(target) + ": another program holds the image"
                                         : "Could not write " + vt::Narrow(target) + " (error "))
        << printed;
    EXPECT_EQ(std::string::npos, printed.find("~vro")) << printed;
    EXPECT_EQ(std::string::npos, printed.find("failed with")) << printed;
    std::string listing;
    vt::Sh("ls -a " + vt::Q(folderUnix) + " 2>&1", &listing);
    EXPECT_EQ(listingBefore, listing);
  };
  const std::string places = dir + "/places";
  std::string listing;
  vt::Sh("ls -a " + vt::Q(places), &listing);
  const std::wstring win = vt::ToWin(places);
  for (bool reg : {true, false}) {
    auto line = reg ? std::function<std::wstring(const std::wstring&)>(export_)
                    : std::function<std::wstring(const std::wstring&)>(create);
    const wchar_t* ext = reg ? L".reg" : L".img";
    expectRefused(line(win + L"\\no-folder\\x" + ext), win + L"\\no-folder\\x" + ext, listing,
                  places);
    // A new image's place that is a folder is named as one.
    const std::wstring folder = win + L"\\folder" + ext;
    expectRefused(line(folder), folder, listing, places, false,
                  reg ? ""
                      : vt::Narrow(folder) +
                            ": it is a folder, not a file: a new image is "
                            "made only at the path of a file");
    {
      std::wstring held = win + L"\\held" + ext;
      HANDLE h = CreateFileW(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(INVALID_HANDLE_VALUE, h);
      expectRefused(line(held), held, listing, places, !reg);
      CloseHandle(h);
      std::vector<uint8_t> kept;
      ASSERT_TRUE(vt::ReadAll(held, kept));
      EXPECT_EQ("held, keep me", std::string(kept.begin(), kept.end()));
    }
    {
      SmallVolume ro(dir + "/ro", "4m");
      ASSERT_TRUE(ro.Mounted());
      ASSERT_EQ(0, vt::Sh("mount -o remount,ro " + vt::Q(dir + "/ro")));
      std::wstring target = vt::ToWin(dir + "/ro/x") + ext;
      expectRefused(line(target), target, ".\n..\n", dir + "/ro");
    }
    {
      SmallVolume full(dir + "/full", "1m");
      ASSERT_TRUE(full.Mounted());
      std::wstring target = vt::ToWin(dir + "/full/x") + ext;
      std::string printed;
      EXPECT_EQ(DWORD(-12), RunVro(line(target), &printed));
      EXPECT_NE(std::string::npos,
                printed.find("Could not write " + vt::Narrow(target) + " (error 112"))
          << printed;
      std::string left;
      vt::Sh("ls -a " + vt::Q(dir + "/full"), &left);
      EXPECT_EQ(".\n..\n", left);
    }
  }
  {
    // A conversion names the image it was asked for, not its temporary.
    SmallVolume full(dir + "/full", "1m");
    ASSERT_TRUE(full.Mounted());
    std::wstring target = vt::ToWin(dir + "/full/x.img");
    std::string printed;
    EXPECT_EQ(DWORD(-13), RunVro(ImageArgs(target) + L"/p \"/convert:" + image + L"\"", &printed));
    EXPECT_NE(std::string::npos, printed.find("Could not write " + vt::Narrow(target) + " (error 112"))
        << printed;
    EXPECT_EQ(std::string::npos, printed.find("~vro")) << printed;
    std::string left;
    vt::Sh("ls -a " + vt::Q(dir + "/full"), &left);
    EXPECT_EQ(".\n..\n", left);
  }
  EXPECT_EQ(hash, vt::Sha256(image));
  // Where it can write, the export is whole.
  std::wstring good = win + L"\\good.reg";
  EXPECT_EQ(0u, RunVro(export_(good)));
  std::string count;
  EXPECT_EQ(0, vt::Sh("/usr/bin/python3 " + vt::Q(vt::SourceDirUnix() + "/tests/app/reg-tool.py") +
                          " canon " + vt::Q(places + "/good.reg") + " | wc -l",
                      &count));
  EXPECT_LT(1000, atoi(count.c_str()));
}

// A host disk that fills up when the disk object's held blocks go out (an
// inject of many small files holds more than its blocks take): the first
// line names the host file and error 112, no volume file is blamed for
// what the host refused, and the image reads as it did before.
TEST(BatchMode, FullHostDiskAtTheFlushOfTheHeldBlocksIsTheHostsLine) {
  std::string dir = vt::ScratchDirUnix(), small = dir + "/small";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " " + vt::Q(dir + "/many") +
                      " && cd " + vt::Q(dir + "/many") +
                      " && head -c 48000000 /dev/urandom | split -b 8000 -a 4 - f"));
  std::string start;
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/disk.img") + " --size 96", &start));
  const std::wstring image = vt::ToWin(small + "/disk.img");
  const std::string folder = vt::Narrow(vt::ToWin(small)) + "\\";
  const std::wstring inject =
      ImageArgs(image) + L"-noupd \"/inject:\\Many::" + vt::ToWin(dir + "/many") + L"\"";
  const std::string before = vt::ReaderView(dir + "/disk.img", atol(start.c_str()));
  for (int room : {6000, 20000}) {
    std::string where = std::to_string(room) + " KiB";
    SmallVolume volume(small, "256m");
    ASSERT_TRUE(volume.Mounted());
    ASSERT_NO_FATAL_FAILURE(CopyLeavingRoom(dir + "/disk.img", small, room));
    DWORD code = 0;
    std::string printed;
    ASSERT_TRUE(apptest::RunProgram(inject, code, &printed));
    EXPECT_EQ(DWORD(-12), code) << where << ": " << printed;
    EXPECT_EQ(0u, printed.find("Could not write " + folder)) << where << ": " << printed;
    EXPECT_NE(std::string::npos, printed.substr(0, printed.find('\n')).find(" (error 112"))
        << where << ": " << printed;
    EXPECT_EQ(std::string::npos, printed.find("(error 31")) << where << ": " << printed;
    EXPECT_EQ(std::string::npos, printed.find("(error 1117")) << where << ": " << printed;
    EXPECT_EQ(before, vt::ReaderView(small + "/disk.img", atol(start.c_str()))) << where;
  }
}

// A write into an own image itself ("-noupd") while update files made
// against it lie beside it would leave them unable to open: refused before
// anything is written, by every open that would write the image (the
// command line, the exports, the window and the disk tools), with a line
// naming each. Merged, the image takes the write.
TEST(BatchMode, NoUpdIsRefusedWhileUpdateFilesOfTheImageLieBesideIt) {
  Disk d = MakeDisk(kOwn);
  ASSERT_EQ(0, vt::Sh("printf new > " + vt::Q(d.dir + "/new.txt")));
  std::wstring image = d.ImageWin(), update = image + L"_01.Upd";
  std::wstring inject = L"\"/inject:\\new.txt::" + vt::ToWin(d.dir + "/new.txt") + L"\"";
  ASSERT_EQ(0u, RunVro(ImageArgs(image) + inject));
  ASSERT_TRUE(vt::FileExists(update));
  const std::string hashes = FolderHashes(d.disks);
  std::string out;
  for (const wchar_t* command : {L"-noupd /format", L"-noupd /size:40"}) {
    EXPECT_EQ(DWORD(-15), RunVro(ImageArgs(image) + inject + L" " + command, &out))
        << vt::Narrow(command);
    EXPECT_NE(std::string::npos, out.find(vt::Narrow(update) + ": an update file made against"))
        << out;
    EXPECT_NE(std::string::npos, out.find("merge it into the image or remove it first")) << out;
  }
  EXPECT_EQ(hashes, FolderHashes(d.disks));
  {
    CMountedImage window;
    EXPECT_GT(0, window.OpenImage(image.c_str(), nullptr, 0, 2));
  }
  EXPECT_EQ(hashes, FolderHashes(d.disks));
  // The update file still opens, and reads are not refused.
  EXPECT_EQ(0u, RunVro(ImageArgs(update) + L"/check", &out)) << out;
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + L"-noupd /check", &out)) << out;
  // Merged into the image, nothing hangs on it any more.
  EXPECT_EQ(0u, RunVro(ImageArgs(image, update) + L"/merge", &out)) << out;
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + L"-noupd \"/inject:\\again.txt::" +
                           vt::ToWin(d.dir + "/new.txt") + L"\"",
                       &out))
      << out;
  std::string flat = Flatten(d, d.image, "", d.dir + "/flat.raw");
  EXPECT_TRUE(VolumeReader(d, flat).Same("/again.txt", d.dir + "/new.txt"));
  EXPECT_TRUE(VolumeReader(d, flat).Same("/new.txt", d.dir + "/new.txt"));
}

TEST(BatchMode, MergeNamesFilesWhole) {
  Disk d = MakeDisk(kOwn);
  ASSERT_EQ(0, vt::Sh("printf new > " + vt::Q(d.dir + "/new.txt")));
  std::wstring newW = vt::ToWin(d.dir + "/new.txt");

  // The image as its own write-back file: refused, nothing touched.
  std::string hashes = FolderHashes(d.disks);
  EXPECT_EQ(DWORD(-12), RunVro(ImageArgs(d.ImageWin(), d.ImageWin()) + L"/merge"));
  EXPECT_EQ(DWORD(-12),
            RunVro(ImageArgs(d.ImageWin(), vt::ToWin(d.disks + "/./disk.vmd")) + L"/merge"));
  EXPECT_EQ(hashes, FolderHashes(d.disks));

  // "-fix:" names the write-back file as the opens do: client.cfg stands
  // for client.Fix, for the merge too.
  std::wstring cfg = vt::ToWin(d.disks + "/client.cfg");
  EXPECT_EQ(0u, RunVro(ImageArgs(d.ImageWin(), cfg) + L"\"/inject:\\new.txt::" + newW + L"\""));
  ASSERT_TRUE(vt::FileExists(vt::ToWin(d.disks + "/client.Fix")));
  EXPECT_EQ(0u, RunVro(ImageArgs(d.ImageWin(), cfg) + L"/merge"));
  EXPECT_FALSE(vt::FileExists(vt::ToWin(d.disks + "/client.Fix")));
  std::string flat = Flatten(d, d.image, "", d.dir + "/merged.raw");
  EXPECT_TRUE(VolumeReader(d, flat).Same("/new.txt", d.dir + "/new.txt"));
}

// A merge that stopped half way (as a process that died there): every
// other writer of the base is refused with -15 and a line that names the
// unfinished merge; merging the same file again completes it.
// A merge cut off (a process that died at one of its writes): the next
// command on the image rolls the base back with a line naming it, the
// update file still holds the changes, and merging it again completes it.
TEST(BatchMode, ACutMergeIsRolledBackAndCompletedByTheNext) {
  Disk d = MakeDisk(kOwn);
  ASSERT_EQ(0, vt::Sh("head -c 3000000 /dev/urandom > " + vt::Q(d.dir + "/new.bin")));
  std::wstring image = d.ImageWin(), update = image + L"_01.Upd";
  std::wstring newW = vt::ToWin(d.dir + "/new.bin");
  std::wstring inject = L"\"/inject:\\new.bin::" + newW + L"\"";
  ASSERT_EQ(0u, RunVro(ImageArgs(image) + inject));
  std::string baseHash = vt::Sha256(image), updateHash = vt::Sha256(update);
  {
    it::WriteFaults stop(it::WriteFaults::STOP, 30);
    EXPECT_EQ(kImageOperationFailed, ImageMergeUpdateW(image.c_str(), update.c_str()));
    ASSERT_TRUE(stop.Hit());
  }
  ASSERT_TRUE(vt::FileExists(image + L".journal"));
  std::string out;
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + L"/check", &out));
  EXPECT_NE(std::string::npos, out.find("disk.vmd: a command cut off before its end was rolled back"))
      << out;
  EXPECT_FALSE(vt::FileExists(image + L".journal"));
  EXPECT_EQ(baseHash, vt::Sha256(image));
  EXPECT_EQ(updateHash, vt::Sha256(update));

  EXPECT_EQ(0u, RunVro(ImageArgs(image, update) + L"/merge"));
  EXPECT_EQ("", UpdateFiles(d.disks));
  std::string flat = Flatten(d, d.image, "", d.dir + "/merged.raw");
  EXPECT_TRUE(VolumeReader(d, flat).Same("/new.bin", d.dir + "/new.bin"));
  EXPECT_EQ(0u, RunVro(ImageArgs(image) + L"-noupd " + inject));
}

// A write-back file over an update file merged into it: the update file
// keeps its link to the base and holds its own files and the write-back
// file's, as the program and ntfs-3g read it; it then merges into the base.
TEST(BatchMode, AWriteBackMergedIntoAnUpdateFileKeepsItsLink) {
  Disk d = MakeDisk(kOwn);
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(d.dir) + " && head -c 700000 /dev/urandom > upd.bin &&"
                      " head -c 500000 /dev/urandom > fix.bin"));
  std::wstring image = d.ImageWin(), update = image + L"_01.Upd";
  std::wstring fix = vt::ToWin(d.disks + "/ws.Fix"), dirW = vt::ToWin(d.dir);
  std::string out;
  ASSERT_EQ(0u, RunVro(ImageArgs(image) + L"\"/inject:\\upd.bin::" + dirW + L"\\upd.bin\"", &out))
      << out;
  ASSERT_EQ(0u, RunVro(ImageArgs(update, fix) + L"\"/inject:\\fix.bin::" + dirW + L"\\fix.bin\"",
                       &out))
      << out;
  ASSERT_TRUE(vt::FileExists(fix));
  const std::string baseHash = vt::Sha256(image);

  EXPECT_EQ(0u, RunVro(ImageArgs(update, fix) + L"/merge", &out)) << out;
  EXPECT_FALSE(vt::FileExists(fix));
  EXPECT_EQ(0u, RunVro(ImageArgs(update) + L"/check", &out)) << out;
  for (const char* name : {"upd.bin", "fix.bin"}) {
    std::wstring n(name, name + strlen(name));
    EXPECT_EQ(0u, RunVro(ImageArgs(update) + L"\"/extract:\\" + n + L"::" + dirW + L"\\out." + n +
                             L"\"",
                         &out))
        << name << ": " << out;
    EXPECT_EQ(0, vt::Sh("cd " + vt::Q(d.dir) + " && cmp " + name + " out." + name)) << name;
  }
  // Converted to a plain image (behind its header sector), read by ntfs-3g.
  std::wstring plain = vt::ToWin(d.dir + "/plain.img");
  EXPECT_EQ(0u, RunVro(ImageArgs(plain) + L"/p \"/convert:" + update + L"\"", &out)) << out;
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(d.dir) + " && dd if=plain.img of=plain.raw bs=512 skip=1"
                      " status=none"));
  Disk copy = d;
  copy.kind.own = false;
  VolumeReader volume(copy, d.dir + "/plain.raw");
  EXPECT_TRUE(volume.Same("/upd.bin", d.dir + "/upd.bin"));
  EXPECT_TRUE(volume.Same("/fix.bin", d.dir + "/fix.bin"));
  EXPECT_EQ(baseHash, vt::Sha256(image)) << "the base was written";

  // The update file merges into its base.
  EXPECT_EQ(0u, RunVro(ImageArgs(image, update) + L"/merge", &out)) << out;
  EXPECT_EQ("", UpdateFiles(d.disks));
  std::string flat = Flatten(d, d.image, "", d.dir + "/merged.raw");
  VolumeReader merged(d, flat);
  EXPECT_TRUE(merged.Same("/upd.bin", d.dir + "/upd.bin"));
  EXPECT_TRUE(merged.Same("/fix.bin", d.dir + "/fix.bin"));
}

TEST(BatchMode, WriteBackKeptOnlyForTheSameImage) {
  EXPECT_TRUE(IsAddressInImage(L"D:\\a.img", L"D:\\a.img"));
  EXPECT_TRUE(IsAddressInImage(L"D:\\a.img", L"d:\\A.IMG\\Windows"));
  EXPECT_TRUE(IsAddressInImage(L"D:\\a.img", L"D:\\a.img/Windows"));
  EXPECT_FALSE(IsAddressInImage(L"D:\\a.img", L"D:\\a.img2"));
  EXPECT_FALSE(IsAddressInImage(L"D:\\a.img", L"D:\\a.img_01.Upd\\Windows"));
  EXPECT_FALSE(IsAddressInImage(L"", L"D:\\a.img"));
  EXPECT_FALSE(IsAddressInImage(nullptr, L"D:\\a.img"));

  EXPECT_TRUE(IsSameHostFile(L"C:\\x\\a.img", L"c:\\X\\.\\A.img"));
  EXPECT_FALSE(IsSameHostFile(L"C:\\x\\a.img", L"C:\\x\\a.img_01.Upd"));
}

// Called as a host calls them: bad arguments fail cleanly.
TEST(BatchMode, OperationsInProcess) {
  Disk d = MakeDisk(kOwn);
  std::wstring image = d.ImageWin(), dir = vt::ToWin(d.dir);
  std::string hashes = FolderHashes(d.disks);
  EXPECT_EQ(kImageNotOpened, ImageExtractFileW(nullptr, nullptr, 0, L"\\Users", dir.c_str(), 1));
  EXPECT_EQ(kImageNotOpened, ImageExtractFileW(L"", L"", 0, L"\\Users", dir.c_str(), 1));
  EXPECT_EQ(kImageOperationFailed,
            ImageExtractFileW(image.c_str(), nullptr, 0, nullptr, nullptr, 1));
  EXPECT_EQ(kImageOperationFailed, ImageExportRegistryW(image.c_str(), L"", 0, nullptr, nullptr));
  EXPECT_EQ(kImageOperationFailed,
            ImageExportRegistryW(image.c_str(), L"", 0, L"HKEY_LOCAL_MACHINE\\NOPE",
                                 (dir + L"\\n.reg").c_str()));
  EXPECT_FALSE(vt::FileExists(dir + L"\\n.reg"));
  EXPECT_EQ(kImageOk,
            ImageExportRegistryW(image.c_str(), L"", 0, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro",
                                 (dir + L"\\s.reg").c_str()));
  EXPECT_TRUE(vt::FileExists(dir + L"\\s.reg"));
  EXPECT_EQ(kImageOperationFailed, ImageMergeUpdateW(nullptr, nullptr));
  EXPECT_EQ(kImageOperationFailed, ImageMergeUpdateW(image.c_str(), L""));
  EXPECT_EQ(hashes, FolderHashes(d.disks));

  // A wildcard that matches only folders, or nothing, imports nothing: -15.
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(d.dir + "/regs/only.reg")));
  EXPECT_EQ(kImageNotOpened,
            ImageImportRegistryW(image.c_str(), L"", 0, (dir + L"\\regs\\*.reg").c_str()));
  EXPECT_EQ(kImageNotOpened,
            ImageImportRegistryW(image.c_str(), L"", 0, (dir + L"\\regs\\*.txt").c_str()));
  EXPECT_EQ(kImageNotOpened, ImageImportRegistryW(image.c_str(), L"", 0, nullptr));
  EXPECT_EQ(kImageImportFailed,
            ImageImportFileValueW(image.c_str(), L"", 0, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro", L"V",
                                  (dir + L"\\missing.bin").c_str()));
  EXPECT_EQ(kImageImportFailed,
            ImageImportFileValueW(image.c_str(), L"", 0, nullptr, nullptr, nullptr));
}

}  // namespace
