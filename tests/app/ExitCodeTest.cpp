// The program's exit code as a Windows parent sees it: all 32 bits.
#include <gtest/gtest.h>

#include "BatchTestUtil.h"

using namespace apptest;
using bt::RunVro;

namespace {

TEST(ExitCode, BatchResults) {
  std::wstring dir = vt::ScratchDir();
  std::wstring missing = L"\"-img:" + dir + L"\\missing.img\" ";
  // Without a command the program ends with 0 (the main window opens there
  // once it exists).
  EXPECT_EQ(0u, RunVro(L""));
  // A command without "-img:", or a typo of an option or command, is
  // malformed: -13, nothing done, no window (the run ends by itself).
  for (const std::wstring& line :
       {L"\"/inject:\\a::" + dir + L"\"", std::wstring(L"/format"), std::wstring(L"-noupd /check"),
        L"\"/extract:\\X::" + dir + L"\\out\"", L"\"/convert:" + dir + L"\\a.img\"",
        missing + L"\"/exract:\\X::" + dir + L"\\out\"", missing + L"/check -noupdate",
        missing + L"/bogus"}) {
    DWORD code = 0;
    ASSERT_TRUE(RunProgram(line, code, false)) << vt::Narrow(line);
    EXPECT_EQ(DWORD(-13), code) << vt::Narrow(line);
  }
  // A missing image: -15 from every operation that opens it, in full; the
  // merge has nothing to merge (-12).
  for (const std::wstring& command :
       {L"\"/extract:\\Windows::" + dir + L"\\out\"", L"\"/inject:\\a::" + dir + L"\"",
        L"/IMPORT:" + dir + L"\\x.reg", L"/export:" + dir + L"\\x.reg::HKEY_LOCAL_MACHINE\\SYSTEM",
        L"/importfile:HKEY_LOCAL_MACHINE\\SYSTEM\\1\\=" + dir + L"\\f"})
    EXPECT_EQ(DWORD(-15), RunVro(missing + command)) << vt::Narrow(command);
  EXPECT_EQ(DWORD(-12), RunVro(missing + L"\"-fix:" + dir + L"\\missing.fix\" /merge"));
  EXPECT_FALSE(vt::FileExists(dir + L"\\out"));
  EXPECT_FALSE(vt::FileExists(dir + L"\\x.reg"));

  // Every malformed form: -13.
  std::wstring longPart(360, L'x');
  for (const std::wstring& bad :
       {std::wstring(L"-inject:\\a"), std::wstring(L"/inject:::") + dir,
        std::wstring(L"/inject:\\a::"), std::wstring(L"/extract:\\a"),
        std::wstring(L"/EXTRACT:::") + dir, std::wstring(L"/extract:\\a::"),
        std::wstring(L"/import:"), std::wstring(L"/export:") + dir + L"\\x.reg",
        std::wstring(L"/export:::HKEY_LOCAL_MACHINE\\SYSTEM"),
        std::wstring(L"/importfile:NoKey=") + dir,
        std::wstring(L"/importfile:HKEY_LOCAL_MACHINE\\SYSTEM\\1\\"),
        L"/import:" + dir + L"\\" + longPart, L"/extract:\\a::" + dir + L"\\x<y",
        L"/inject:\\a::" + dir + L"\\x|y", L"/extract:\\a::" + dir + L"\\x:y"})
    EXPECT_EQ(DWORD(-13), RunVro(missing + L"\"" + bad + L"\"")) << vt::Narrow(bad);
  // A path of a copy that does not fit is named as one inside a folder is.
  for (const std::wstring& tooLong :
       {L"/inject:" + longPart + L"::" + dir, L"/extract:\\a::" + dir + L"\\" + longPart})
    EXPECT_EQ(DWORD(-12), RunVro(missing + L"\"" + tooLong + L"\"")) << vt::Narrow(tooLong);
  // A path of "-img:" or "-fix:" that does not fit is not cut to another.
  EXPECT_EQ(DWORD(-13), RunVro(L"\"-img:" + dir + L"\\" + longPart + L"\" /import:x.reg"));
  EXPECT_EQ(DWORD(-13),
            RunVro(missing + L"\"-fix:" + dir + L"\\" + longPart + L"\" /import:x.reg"));
  // The last nonzero result wins: a malformed argument, then a missing
  // image; a failure, then a malformed argument.
  EXPECT_EQ(DWORD(-15), RunVro(missing + L"/import: /extract:\\a::" + dir));
  EXPECT_EQ(DWORD(-13), RunVro(missing + L"/extract:\\a::" + dir + L" /import:"));
}

// A typo of an option anywhere on the line runs nothing: not the extract
// that the option was meant to guard, and no window; nor does an image or
// a write-back file named twice (the line names both), no file made or
// changed. A command of bad form fails alone, and the rest of the line runs.
TEST(ExitCode, AnUnknownOptionRunsNothing) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " && printf 'from the image' > " +
                      vt::Q(dir + "/tree/hello.txt") + " && printf 'keep me' > " +
                      vt::Q(dir + "/keep.txt")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/disk.img") +
                          " --layout none --size 16 --tree " + vt::Q(dir + "/tree")));
  std::wstring image = bt::ImageArgs(vt::ToWin(dir + "/disk.img")), win = vt::ToWin(dir);
  std::wstring extract = L"\"/extract:\\hello.txt::" + win + L"\\keep.txt\" ";
  std::string keep = vt::Sha256(win + L"\\keep.txt");
  for (const wchar_t* typo : {L"-n0", L"-noupdate", L"/", L"-"}) {
    for (const std::wstring& line : {image + typo + L" " + extract, image + extract + typo}) {
      DWORD code = 0;
      ASSERT_TRUE(RunProgram(line, code, false)) << "a window opened: " << vt::Narrow(line);
      EXPECT_EQ(DWORD(-13), code) << vt::Narrow(line);
      EXPECT_EQ(keep, vt::Sha256(win + L"\\keep.txt")) << vt::Narrow(line);
    }
  }
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(dir + "/disk.img") + " " + vt::Q(dir + "/other.img")));
  const std::wstring other = win + L"\\other.img", inject = L" \"/inject:\\new.txt::" + win +
                                                         L"\\keep.txt\"";
  const std::string disk = vt::Sha256(win + L"\\disk.img");
  for (const std::wstring& twice :
       {L"\"-img:" + other + L"\"", L"\"-fix:" + win + L"\\a.fix\" \"/FIX:" + win + L"\\b.fix\""}) {
    std::string out;
    EXPECT_EQ(DWORD(-13), RunVro(image + twice + inject, &out)) << vt::Narrow(twice);
    EXPECT_NE(std::string::npos, out.find(twice[2] == L'i' ? vt::Narrow(other) : "a.fix, /FIX:"))
        << out;
    EXPECT_NE(std::string::npos, out.find("given twice")) << out;
    EXPECT_EQ(disk, vt::Sha256(win + L"\\disk.img"));
    EXPECT_EQ(disk, vt::Sha256(other));
    EXPECT_FALSE(vt::FileExists(win + L"\\a.fix") || vt::FileExists(win + L"\\b.fix"));
  }
  EXPECT_EQ(DWORD(-13),
            RunVro(image + L"\"/inject:\\a::\" \"/extract:\\hello.txt::" + win + L"\\out.txt\""));
  std::vector<uint8_t> out;
  EXPECT_TRUE(vt::ReadAll(win + L"\\out.txt", out));
  EXPECT_EQ("from the image", std::string(out.begin(), out.end()));
}

// A volume path on the EFI system partition holds "::" itself: the argument
// splits at the last "::", and exactly the one file comes out, whatever
// partition the image was opened on: its NTFS or FAT32 data partition (the
// default), or the EFI system partition itself (by its number). One whose
// boot sector lacks only its signature (fsck.fat and mtools read it) still
// holds its files: they are read from it with the image left as it was,
// and a write keeps them, the signature put back; on an exFAT one with the
// boot region's check value anew and the backup region the same (fsck.exfat
// passes). One whose boot sector is lost (its main boot region damaged)
// while the backup is whole is read through the backup, and the first
// write puts the backup's copy back (exFAT: the whole main boot region),
// every file kept.
TEST(ExitCode, ExtractFromTheEfiSystemPartition) {
  std::string dir = vt::ScratchDirUnix(), esp = dir + "/esp", disk = dir + "/disk.img";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(esp + "/EFI/Boot") + " " + vt::Q(dir + "/tree") +
                      " && head -c 70000 /dev/urandom > " + vt::Q(esp + "/EFI/Boot/bootx64.efi") +
                      " && printf data > " + vt::Q(dir + "/tree/data.txt") + " && printf x > " +
                      vt::Q(dir + "/x.txt") + " && printf y > " + vt::Q(dir + "/y.txt")));
  const std::string loader = vt::Sha256(vt::ToWin(esp + "/EFI/Boot/bootx64.efi"));
  const std::string part = dir + "/esp.part";
  const std::string cut = "dd if=" + vt::Q(disk) + " of=" + vt::Q(part) +
                          " bs=512 skip=2048 count=$((40 * 2048)) status=none && ";
  const std::wstring out = vt::ToWin(dir + "/out");
  ASSERT_TRUE(CreateDirectoryW(out.c_str(), nullptr));
  int n = 0;
  for (const char* fs : {"ntfs", "fat32"}) {
    const bool fat = std::string(fs) == "fat32";
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(disk) + " --layout gpt-esp --esp-size 40 --fs " +
                            fs + " --size " + (fat ? "40" : "8") + " --tree " +
                            vt::Q(dir + "/tree") + " --esp-tree " + vt::Q(esp)));
    std::string output, hash;
    for (int pass = 0; pass < 3; pass++) {
      if (pass == 2) {
        // Made anew, and the boot sector lost: sector 6 holds its backup.
        ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(disk) +
                                " --layout gpt-esp --esp-size 40 --fs " + fs + " --size " +
                                (fat ? "40" : "8") + " --tree " + vt::Q(dir + "/tree") +
                                " --esp-tree " + vt::Q(esp)));
        ASSERT_EQ(0, vt::Sh("dd if=/dev/zero of=" + vt::Q(disk) +
                            " bs=512 seek=2048 count=1 conv=notrunc status=none"));
      }
      if (pass == 1) {
        // The boot sector loses its signature.
        ASSERT_EQ(0,
                  vt::Sh("printf '\\0\\0' | dd of=" + vt::Q(disk) +
                             " bs=1 seek=$((2048 * 512 + 510)) conv=notrunc status=none && " + cut +
                             "fsck.fat -n " + vt::Q(part) + " && MTOOLS_SKIP_CHECK=1 mdir -b -i " +
                             vt::Q(part) + " ::/EFI/Boot",
                         &output))
            << output;
      }
      hash = vt::Sha256(vt::ToWin(disk));
      for (const wchar_t* opened : {L"", L"::0", L"::1"}) {
        SCOPED_TRACE(std::string(fs) + " pass " + std::to_string(pass) + " " + vt::Narrow(opened));
        const std::wstring copy = out + L"\\" + std::to_wstring(n++) + L".efi";
        EXPECT_EQ(0u,
                  RunVro(L"\"-img:" + vt::ToWin(disk) + opened +
                             L"\" \"/extract:\\::{UEFI}\\EFI\\Boot\\bootx64.efi::" + copy + L"\"",
                         &output))
            << output;
        EXPECT_EQ(loader, vt::Sha256(copy));
        EXPECT_EQ(hash, vt::Sha256(vt::ToWin(disk)));
      }
      if (pass == 1) {
        // Writes through the EFI system partition opened itself and
        // through the data partition (the default on the FAT32 disk): the
        // first puts the signature back.
        for (const wchar_t* opened : {L"", L"::1"}) {
          if (!fat && !*opened) continue;
          SCOPED_TRACE(std::string(fs) + " write " + vt::Narrow(opened));
          const std::string name = *opened ? "x.txt" : "y.txt";
          EXPECT_EQ(0u, RunVro(L"\"-img:" + vt::ToWin(disk) + opened +
                                   L"\" -noupd \"/inject:\\::{UEFI}\\" + vt::Widen(name) + L"::" +
                                   vt::ToWin(dir + "/" + name) + L"\"",
                               &output))
              << output;
          ASSERT_EQ(
              0, vt::Sh(cut + "fsck.fat -n " + vt::Q(part) +
                            " >/dev/null && MTOOLS_SKIP_CHECK=1 mtype -i " + vt::Q(part) + " ::/" +
                            name + " && MTOOLS_SKIP_CHECK=1 mtype -i " + vt::Q(part) +
                            " ::/EFI/Boot/bootx64.efi | sha256sum && od -An -tx1 -j510 -N2 " +
                            vt::Q(part),
                        &output))
              << output;
          EXPECT_EQ(name.substr(0, 1) + loader + "  -\n 55 aa\n", output);
        }
      } else if (pass == 2) {
        // The first write puts the backup's copy back into the boot sector.
        EXPECT_EQ(0u,
                  RunVro(L"\"-img:" + vt::ToWin(disk) + L"\" -noupd \"/inject:\\::{UEFI}\\x.txt::" +
                             vt::ToWin(dir + "/x.txt") + L"\"",
                         &output))
            << output;
        ASSERT_EQ(0, vt::Sh(cut + "fsck.fat -n " + vt::Q(part) +
                                " >/dev/null && MTOOLS_SKIP_CHECK=1 mtype -i " + vt::Q(part) +
                                " ::/x.txt && MTOOLS_SKIP_CHECK=1 mtype -i " + vt::Q(part) +
                                " ::/EFI/Boot/bootx64.efi | sha256sum && dd if=" + vt::Q(part) +
                                " bs=512 skip=6 count=1 status=none | cmp -n 512 - " + vt::Q(part),
                            &output))
            << output;
        EXPECT_EQ("x" + loader + "  -\n", output);
      }
    }
  }
  std::string listing;
  vt::Sh("cd " + vt::Q(dir + "/out") + " && find . -type f | wc -l", &listing);
  EXPECT_EQ("18\n", listing);

  // exFAT: the boot sector without its signature (its region's check value
  // fails), or lost whole; the backup region is whole.
  for (const char* damage : {"printf '\\0\\0' | dd bs=1 seek=$((2048 * 512 + 510))",
                             "dd if=/dev/zero bs=512 seek=2048 count=1"}) {
    SCOPED_TRACE(damage);
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(disk) +
                            " --layout gpt-esp --esp-size 40 --esp-fs exfat --size 8 --tree " +
                            vt::Q(dir + "/tree") + " --esp-tree " + vt::Q(esp)));
    ASSERT_EQ(0, vt::Sh(std::string(damage) + " of=" + vt::Q(disk) + " conv=notrunc status=none"));
    const std::string hash = vt::Sha256(vt::ToWin(disk));
    std::string output;
    const std::wstring args = L"\"-img:" + vt::ToWin(disk) + L"\" ";
    EXPECT_EQ(0u, RunVro(args + L"\"/extract:\\::{UEFI}\\EFI\\Boot\\bootx64.efi::" +
                             vt::ToWin(dir + "/ex.efi") + L"\"",
                         &output))
        << output;
    EXPECT_EQ(loader, vt::Sha256(vt::ToWin(dir + "/ex.efi")));
    EXPECT_EQ(hash, vt::Sha256(vt::ToWin(disk)));
    EXPECT_EQ(0u, RunVro(args + L"-noupd \"/inject:\\::{UEFI}\\x.txt::" +
                             vt::ToWin(dir + "/x.txt") + L"\"",
                         &output))
        << output;
    EXPECT_EQ(0, vt::Sh(cut + "fsck.exfat -n " + vt::Q(part) + " 2>&1 && od -An -tx1 -j510 -N2 " +
                            vt::Q(part) + " && dd if=" + vt::Q(part) +
                            " bs=512 skip=12 count=12 status=none | cmp -n 6144 - " + vt::Q(part),
                        &output))
        << output;
    EXPECT_NE(std::string::npos, output.find("clean. directories 3, files 2\n 55 aa\n")) << output;
    EXPECT_EQ(0u, RunVro(args + L"\"/extract:\\::{UEFI}\\EFI\\Boot\\bootx64.efi::" +
                             vt::ToWin(dir + "/ex2.efi") + L"\"",
                         &output))
        << output;
    EXPECT_EQ(loader, vt::Sha256(vt::ToWin(dir + "/ex2.efi")));
  }
}

}  // namespace

namespace {

// A partition number the disk does not have ("::2" on a GPT disk of an EFI
// system partition and a data partition, "::1" on a disk of one MBR
// entry, any number below 0): every command ends with -15 and a line that names the number,
// and no other volume (the EFI system partition) is taken instead. The
// numbers that exist open.
TEST(ExitCode, APartitionNumberTheDiskDoesNotHave) {
  std::string dir = vt::ScratchDirUnix(), gpt = dir + "/gpt.img", mbr = dir + "/mbr.img";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " " + vt::Q(dir + "/esp") +
                      " && printf data > " + vt::Q(dir + "/tree/data.txt") + " && printf esp > " +
                      vt::Q(dir + "/esp/data.txt")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(gpt) +
                          " --layout gpt-esp --esp-size 40 --size 8"
                          " --tree " +
                          vt::Q(dir + "/tree") + " --esp-tree " + vt::Q(dir + "/esp")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(mbr) + " --size 8 --tree " + vt::Q(dir + "/tree")));
  std::wstring out = vt::ToWin(dir + "/out");
  struct Case {
    std::string disk;
    const wchar_t* number;
    DWORD code;
  } cases[] = {{gpt, L"2", DWORD(-15)},  {mbr, L"1", DWORD(-15)},  {mbr, L"4", DWORD(-15)},
               {mbr, L"-1", DWORD(-15)}, {gpt, L"-2", DWORD(-15)}, {gpt, L"1", 0}};
  for (const Case& c : cases) {
    for (const wchar_t* command : {L"\"/extract:\\data.txt::", L"/check"}) {
      if (!c.code && command[1] == L'c') continue;  // the check's verdict is its own
      std::wstring line = L"\"-img:" + vt::ToWin(c.disk) + L"::" + c.number + L"\" " + command;
      if (command[1] == L'/') line += out + L"\"";
      SCOPED_TRACE(vt::Narrow(line));
      DWORD code = 0;
      std::string printed;
      ASSERT_TRUE(RunProgram(line, code, &printed));
      EXPECT_EQ(c.code, code) << printed;
      bool named = printed.find(": its disk has no partition of the number asked for: not "
                                "opened (" + vt::Narrow(c.number) + ")") != std::string::npos;
      EXPECT_EQ(c.code != 0, named) << printed;
    }
    std::string got;
    vt::Sh("cat " + vt::Q(dir + "/out") + " 2>/dev/null; rm -f " + vt::Q(dir + "/out"), &got);
    EXPECT_EQ(c.code ? "" : "data", got);
  }
}

}  // namespace

namespace {

// A command that finds nothing to do where its argument named something
// fails with a line that names what it did not find: an import of a
// folder, of a wildcard that matches only folders, an extract of a
// wildcard that matches nothing (in a folder that is there or not) and of
// a file that is not there. Nothing is written: the image stays byte for
// byte, no host folder is made. An over-long "-img:" path is named as
// what is too long, a merge of a write-back file that is not there names
// that file, and a folder where an image, a write-back file or a new
// image's place is asked for is named as a folder.
TEST(ExitCode, NothingFoundWhereSomethingWasNamedFails) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/tree/Data") + " " + vt::Q(dir + "/regs/sub.reg") +
                      " " + vt::Q(dir + "/regs/sub2") + " && printf data > " +
                      vt::Q(dir + "/tree/Data/a.txt")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/disk.img") +
                          " --layout none --size 16 --tree " + vt::Q(dir + "/tree")));
  std::wstring image = vt::ToWin(dir + "/disk.img"), win = vt::ToWin(dir);
  std::string hash = vt::Sha256(image);
  struct Case {
    std::wstring command;
    DWORD code;
    std::string line;  // what the output must hold
  } cases[] = {
      {L"/import:" + win + L"\\regs", DWORD(-15),
       vt::Narrow(win) + "\\regs: no file matches it: nothing read"},
      {L"/import:" + win + L"\\regs\\s*", DWORD(-15),
       vt::Narrow(win) + "\\regs\\s*: no file matches it: nothing read"},
      {L"/import:" + win + L"\\regs\\*.reg", DWORD(-15),
       vt::Narrow(win) + "\\regs\\*.reg: no file matches it: nothing read"},
      {L"/extract:\\Data\\*.zzz::" + win + L"\\out", DWORD(-12),
       "Could not read \\Data\\*.zzz (error 2:"},
      {L"/extract:\\NoSuchDir\\*.txt::" + win + L"\\out", DWORD(-12),
       "Could not read \\NoSuchDir\\*.txt (error 3:"},
      {L"/extract:\\NoSuch.txt::" + win + L"\\out", DWORD(-12),
       "Could not read \\NoSuch.txt (error 2:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(vt::Narrow(c.command));
    std::string printed;
    EXPECT_EQ(c.code, RunVro(bt::ImageArgs(image) + L"\"" + c.command + L"\"", &printed));
    EXPECT_NE(std::string::npos, printed.find(c.line)) << printed;
    EXPECT_EQ(std::string::npos, printed.find("failed with")) << printed;
    EXPECT_EQ(hash, vt::Sha256(image));
    EXPECT_FALSE(vt::FileExists(win + L"\\out"));
  }

  // "-img:" of about 520 characters names itself, not the command after it.
  std::wstring longImage = win + L"\\" + std::wstring(500, L'i') + L".img";
  std::string printed;
  EXPECT_EQ(
      DWORD(-13),
      RunVro(L"\"-img:" + longImage + L"\" \"/extract:\\Data::" + win + L"\\out\"", &printed));
  EXPECT_NE(std::string::npos, printed.find("-img:" + vt::Narrow(longImage) +
                                            ": the path is longer than 359 characters"))
      << printed;
  EXPECT_EQ(std::string::npos, printed.find("/extract:")) << printed;

  // A merge of a write-back file that is not there names it.
  std::wstring fix = win + L"\\none.fix";
  EXPECT_EQ(DWORD(-12), RunVro(bt::ImageArgs(image, fix) + L"/merge", &printed));
  EXPECT_NE(std::string::npos,
            printed.find(vt::Narrow(win) + "\\none.Fix: it does not exist: not opened"))
      << printed;
  EXPECT_EQ(hash, vt::Sha256(image));

  // A path that names a folder where an image, a write-back file or a new
  // image is asked for is named as a folder, whatever the command; nothing
  // is written there or anywhere.
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/folder.img") + " " + vt::Q(dir + "/w.Fix")));
  const std::wstring folder = win + L"\\folder.img", wFix = win + L"\\w.Fix";
  const std::string opened = ": it is a folder, not a file: not opened",
                    target =
                        ": it is a folder, not a file: a new image is made only at the "
                        "path of a file: nothing written";
  const struct {
    std::wstring line;
    DWORD code;
    std::wstring path;  // the folder the line names
    std::string why;
  } folders[] = {
      {bt::ImageArgs(folder) + L"\"/extract:\\Data::" + win + L"\\out\"", DWORD(-15), folder,
       opened},
      {bt::ImageArgs(folder) + L"\"/inject:\\b.txt::" + win + L"\\tree\\Data\\a.txt\"", DWORD(-15),
       folder, opened},
      {bt::ImageArgs(image, win + L"\\w.cfg") + L"\"/inject:\\b.txt::" + win +
           L"\\tree\\Data\\a.txt\"",
       DWORD(-15), wFix, opened},
      {bt::ImageArgs(image, win + L"\\w.cfg") + L"/merge", DWORD(-12), wFix, opened},
      {bt::ImageArgs(folder, fix) + L"/merge", DWORD(-12), folder, opened},
      {bt::ImageArgs(win + L"\\new.img") + L"\"/convert:" + folder + L"\"", DWORD(-12), folder,
       opened},
      {bt::ImageArgs(folder) + L"\"/convert:" + image + L"\"", DWORD(-13), folder, target},
      {bt::ImageArgs(folder) + L"/create:20", DWORD(-12), folder, target},
  };
  ASSERT_EQ(0, vt::Sh("printf x > " + vt::Q(dir + "/none.Fix")));
  for (const auto& f : folders) {
    SCOPED_TRACE(vt::Narrow(f.line));
    EXPECT_EQ(f.code, RunVro(f.line, &printed));
    EXPECT_NE(std::string::npos, printed.find(vt::Narrow(f.path) + f.why)) << printed;
    EXPECT_EQ(std::string::npos, printed.find("in use by another program")) << printed;
    EXPECT_EQ(std::string::npos, printed.find("error 5")) << printed;
    EXPECT_EQ(hash, vt::Sha256(image));
  }
  std::string left;
  vt::Sh("cd " + vt::Q(dir) + " && find folder.img w.Fix -mindepth 1 && ls", &left);
  EXPECT_EQ("disk.img\nfolder.img\nnone.Fix\nregs\ntree\nw.Fix\n", left);
}

// A hibernated Windows (Fast Startup: hiberfil.sys at the root beginning
// "HIBR", or "hibr" as Windows before 8 writes it) left its volume as its
// session holds it: every writing command is refused with its code and a
// line naming that before its result, nothing written (the image byte for
// byte, no update file beside an own image); reads go on, and the check
// names it too. A hiberfil.sys Windows resumed from ("WAKE") takes writes.
// So is a Windows whose journal ($LogFile) it left with restart pages of
// version 2.0 (metadata kept in its cache, or its session cut off), named
// as such.
TEST(ExitCode, AHibernatedWindowsIsReadNotWritten) {
  const std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(dir) + " && mkdir tree out && printf kept > tree/keep.txt && " +
                      "(printf HIBR; head -c 8188 /dev/zero) > tree/hiberfil.sys && printf new > " +
                      "new.txt && printf 'REGEDIT4\\r\\n' > x.reg"));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/disk.img") + " --size 16 --tree " +
                          vt::Q(dir + "/tree")));
  const std::wstring win = vt::ToWin(dir), raw = win + L"\\disk.img", own = win + L"\\own.img";
  std::string printed;
  ASSERT_EQ(0u, RunVro(bt::ImageArgs(own) + L"/create:20", &printed)) << printed;
  ASSERT_EQ(0u, RunVro(bt::ImageArgs(own) + L"-noupd \"/inject:\\::" + win + L"\\tree\"", &printed))
      << printed;
  const std::wstring inject = L"\"/inject:\\new.txt::" + win + L"\\new.txt\"";
  const struct {
    std::wstring command;
    DWORD code;
  } writes[] = {
      {inject, DWORD(-12)},
      {L"-noupd " + inject, DWORD(-12)},
      {L"\"/import:" + win + L"\\x.reg\"", DWORD(-16)},
      {L"-noupd /format /check", DWORD(-2)},
      {L"/size:40", DWORD(-2)},
      {L"/repair", DWORD(-2)},
  };
  const char* const asleep =
      ": Windows on its volume is hibernated (Fast Startup: hiberfil.sys holds the session it "
      "resumes";
  auto check = [&](const std::wstring& image, const char* signature, const char* cause) {
    SCOPED_TRACE(vt::Narrow(image) + " " + signature);
    const std::string hash = vt::Sha256(image), line = vt::Narrow(image) + cause;
    std::string beside;
    vt::Sh("ls " + vt::Q(dir), &beside);
    for (const auto& w : writes) {
      SCOPED_TRACE(vt::Narrow(w.command));
      EXPECT_EQ(w.code, RunVro(bt::ImageArgs(image) + w.command, &printed));
      EXPECT_EQ(0u, printed.find(line)) << printed;
      for (const char* noise : {"could be mounted", "mount whole", "failed with"})
        EXPECT_EQ(std::string::npos, printed.find(noise)) << printed;
      EXPECT_EQ(hash, vt::Sha256(image));
    }
    std::string now;
    vt::Sh("ls " + vt::Q(dir), &now);
    EXPECT_EQ(beside, now);
    EXPECT_EQ(0u,
              RunVro(bt::ImageArgs(image) + L"\"/extract:\\keep.txt::" + win + L"\\out\\keep.txt\"",
                     &printed))
        << printed;
    std::vector<uint8_t> kept;
    EXPECT_TRUE(vt::ReadAll(win + L"\\out\\keep.txt", kept));
    EXPECT_EQ("kept", std::string(kept.begin(), kept.end()));
    EXPECT_EQ(0u, RunVro(bt::ImageArgs(image) + L"/check", &printed)) << printed;
    EXPECT_NE(std::string::npos, printed.find(line)) << printed;
    EXPECT_EQ(hash, vt::Sha256(image));
  };
  check(own, "HIBR", asleep);
  for (const char* signature : {"HIBR", "hibr", "WAKE"}) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(vt::ReadAll(raw, bytes));
    const std::string all(bytes.begin(), bytes.end());
    const size_t at = all.find(all.find("HIBR") != std::string::npos ? "HIBR" : "hibr");
    ASSERT_NE(std::string::npos, at);
    memcpy(&bytes[at], signature, 4);
    ASSERT_TRUE(vt::WriteAll(raw, bytes));
    if (std::string(signature) != "WAKE") {
      check(raw, signature, asleep);
      continue;
    }
    EXPECT_EQ(0u, RunVro(bt::ImageArgs(raw) + inject, &printed)) << printed;
    EXPECT_EQ(std::string::npos, printed.find("hibernated")) << printed;
  }
  ASSERT_EQ(0, vt::Sh("python3 " + vt::Q(vt::SourceDirUnix() + "/tests/fixtures/ntfs-damage.py") +
                      " " + vt::Q(dir + "/disk.img") + " logfile-2.0"));
  check(raw, "$LogFile 2.0",
        ": Windows on its volume did not shut down cleanly (its journal, $LogFile, holds changes "
        "not yet written to the volume");
}

}  // namespace

namespace {

// A FAT or exFAT volume whose boot sector declares a sector size neither
// format has (8192 bytes, 3000) is not mounted: -15, and the line names the
// image and the size; nothing is written. Where only exFAT's main boot
// region says so (its check value no longer fits), the whole backup region
// opens the volume, of its 4096-byte sectors.
TEST(ExitCode, AVolumeOfASectorSizeNoFatHas) {
  const std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " && printf a > " +
                      vt::Q(dir + "/tree/a.txt")));
  const struct {
    const char* fs;
    long at;            // the field in the boot sector
    const char* bytes;  // its new value (printf)
    const char* size;   // as the line names it
  } cases[] = {{"fat16", 0x0B, "\\000\\040", "8192"},
               {"fat16", 0x0B, "\\270\\013", "3000"},
               {"exfat", 0x6C, "\\015", "8192"}};
  for (const auto& c : cases) {
    const std::string image = dir + "/" + c.fs + "-" + c.size + ".img";
    SCOPED_TRACE(image);
    std::string start;
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --fs " + c.fs +
                                " --size 64 --sector 4096 --tree " + vt::Q(dir + "/tree"),
                            &start));
    ASSERT_EQ(0, vt::Sh(std::string("printf '") + c.bytes + "' | dd of=" + vt::Q(image) +
                        " bs=1 seek=" + std::to_string(atol(start.c_str()) * 512 + c.at) +
                        " conv=notrunc status=none"));
    const std::wstring win = vt::ToWin(image);
    DWORD code = 0;
    std::string printed;
    if (std::string(c.fs) == "exfat") {
      const std::string hash = vt::Sha256(win);
      ASSERT_TRUE(RunProgram(
          L"\"-img:" + win + L"\" \"/extract:\\a.txt::" + vt::ToWin(dir + "/backup.txt") + L"\"",
          code, &printed));
      EXPECT_EQ(0u, code) << printed;
      EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(dir + "/backup.txt") + " " + vt::Q(dir + "/tree/a.txt")));
      EXPECT_EQ(hash, vt::Sha256(win));
      ASSERT_EQ(
          0, vt::Sh(std::string("printf '") + c.bytes + "' | dd of=" + vt::Q(image) +
                    " bs=1 seek=" + std::to_string(atol(start.c_str()) * 512 + 12 * 4096 + c.at) +
                    " conv=notrunc status=none"));
    }
    const std::string hash = vt::Sha256(win);
    ASSERT_TRUE(
        RunProgram(L"\"-img:" + win + L"\" \"/extract:\\a.txt::" + vt::ToWin(dir + "/out") + L"\"",
                   code, &printed));
    EXPECT_EQ(DWORD(-15), code) << printed;
    EXPECT_NE(std::string::npos, printed.find(vt::Narrow(win) + ": no NTFS, FAT or exFAT volume"))
        << printed;
    EXPECT_NE(std::string::npos, printed.find(std::string("declares ") + c.size + "-byte sectors"))
        << printed;
    EXPECT_EQ(hash, vt::Sha256(win));
  }
}

}  // namespace
