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
// that the option was meant to guard, and no window. A command of bad form
// fails alone, and the rest of the line runs.
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
  EXPECT_EQ(DWORD(-13),
            RunVro(image + L"\"/inject:\\a::\" \"/extract:\\hello.txt::" + win + L"\\out.txt\""));
  std::vector<uint8_t> out;
  EXPECT_TRUE(vt::ReadAll(win + L"\\out.txt", out));
  EXPECT_EQ("from the image", std::string(out.begin(), out.end()));
}

// A volume path on the EFI system partition holds "::" itself: the argument
// splits at the last "::", and exactly the one file comes out, whatever
// partition the image was opened on: its NTFS or FAT32 data partition, or
// the EFI system partition itself (by default on the FAT32 disk, the first
// partition holding a volume, and by its number). One whose boot sector
// lacks only its signature (fsck.fat and mtools read it) still holds its
// files: they are read from it with the image left as it was, and a write
// keeps them, the signature put back; on an exFAT one with the boot
// region's check value anew and the backup region the same (fsck.exfat
// passes).
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
    for (int pass = 0; pass < 2; pass++) {
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
        SCOPED_TRACE(std::string(fs) + (pass ? " no signature " : " ") + vt::Narrow(opened));
        const std::wstring copy = out + L"\\" + std::to_wstring(n++) + L".efi";
        EXPECT_EQ(0u,
                  RunVro(L"\"-img:" + vt::ToWin(disk) + opened +
                             L"\" \"/extract:\\::{UEFI}\\EFI\\Boot\\bootx64.efi::" + copy + L"\"",
                         &output))
            << output;
        EXPECT_EQ(loader, vt::Sha256(copy));
        EXPECT_EQ(hash, vt::Sha256(vt::ToWin(disk)));
      }
    }
    // Writes, on the FAT32 disk through the EFI system partition opened
    // itself (the first, which puts the signature back) and through the
    // data partition.
    for (const wchar_t* opened : {L"", L"::1"}) {
      if (!fat && !*opened) continue;
      SCOPED_TRACE(std::string(fs) + " write " + vt::Narrow(opened));
      const std::string name = *opened ? "x.txt" : "y.txt";
      EXPECT_EQ(0u,
                RunVro(L"\"-img:" + vt::ToWin(disk) + opened + L"\" -noupd \"/inject:\\::{UEFI}\\" +
                           vt::Widen(name) + L"::" + vt::ToWin(dir + "/" + name) + L"\"",
                       &output))
          << output;
      ASSERT_EQ(0, vt::Sh(cut + "fsck.fat -n " + vt::Q(part) +
                              " >/dev/null && MTOOLS_SKIP_CHECK=1 mtype -i " + vt::Q(part) +
                              " ::/" + name + " && MTOOLS_SKIP_CHECK=1 mtype -i " + vt::Q(part) +
                              " ::/EFI/Boot/bootx64.efi | sha256sum && od -An -tx1 -j510 -N2 " +
                              vt::Q(part),
                          &output))
          << output;
      EXPECT_EQ(name.substr(0, 1) + loader + "  -\n 55 aa\n", output);
    }
  }
  std::string listing;
  vt::Sh("cd " + vt::Q(dir + "/out") + " && find . -type f | wc -l", &listing);
  EXPECT_EQ("12\n", listing);

  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(disk) +
                          " --layout gpt-esp --esp-size 40 --esp-fs exfat --size 8 --tree " +
                          vt::Q(dir + "/tree") + " --esp-tree " + vt::Q(esp)));
  ASSERT_EQ(0, vt::Sh("printf '\\0\\0' | dd of=" + vt::Q(disk) +
                      " bs=1 seek=$((2048 * 512 + 510)) conv=notrunc status=none"));
  const std::string hash = vt::Sha256(vt::ToWin(disk));
  std::string output;
  const std::wstring args = L"\"-img:" + vt::ToWin(disk) + L"\" ";
  EXPECT_EQ(0u, RunVro(args + L"\"/extract:\\::{UEFI}\\EFI\\Boot\\bootx64.efi::" +
                           vt::ToWin(dir + "/ex.efi") + L"\"",
                       &output))
      << output;
  EXPECT_EQ(loader, vt::Sha256(vt::ToWin(dir + "/ex.efi")));
  EXPECT_EQ(hash, vt::Sha256(vt::ToWin(disk)));
  EXPECT_EQ(
      0u, RunVro(args + L"-noupd \"/inject:\\::{UEFI}\\x.txt::" + vt::ToWin(dir + "/x.txt") + L"\"",
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
// what is too long, and a merge of a write-back file that is not there
// names that file.
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
}

}  // namespace

namespace {

// A FAT or exFAT volume whose boot sector declares a sector size neither
// format has (8192 bytes, 3000) is not mounted: -15, and the line names the
// image and the size; nothing is written.
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
    const std::string hash = vt::Sha256(win);
    DWORD code = 0;
    std::string printed;
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
