// HKEY_CURRENT_USER through the real program: the hive Windows loads for
// the last user, in the profile folder SOFTWARE's ProfileList gives (by the
// user's SID, or by a folder of the user's name made again as
// "NAME.COMPUTER" or "NAME.DOMAIN"), not a stale \Users\NAME beside it nor
// another user's "NAME.more"; on another drive, the partition of the disk
// that SYSTEM's MountedDevices gives that drive; the default hive when no
// last user is named or no profile of the image is the user's, with a line
// naming which; a refusal with a line when SOFTWARE cannot be read or the
// user's folder lies where the image holds no volume. Read back with
// ntfscat and hivexget.
#include <gtest/gtest.h>

#include "../BatchTestUtil.h"
#include "app/ImageOperations.h"

using namespace bt;

namespace {

std::wstring WriteReg(const std::string& dir, const char* name, const std::wstring& body) {
  std::wstring path = vt::ToWin(dir + "/" + name);
  rt::WriteRegFile(path, L"Windows Registry Editor Version 5.00\r\n\r\n" + body);
  return path;
}

std::string MakeImage(const std::string& dir, const std::string& tree) {
  std::string image = dir + "/disk.img";
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --layout none --size 40 --fs ntfs" +
                          " --tree " + vt::Q(tree)));
  return image;
}

// hivexget of a value of a hive file on the image, or on its partition of
// `sectors` sectors at `start`.
std::string Get(const std::string& image, const std::string& file, const std::string& key,
                const std::string& value, long start = 0, long sectors = 0) {
  std::string out = image + ".hiv", volume = image;
  if (sectors) {
    volume = image + ".part";
    EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(image) + " of=" + vt::Q(volume) + " bs=512 skip=" +
                        std::to_string(start) + " count=" + std::to_string(sectors) +
                        " status=none"));
  }
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(volume) + " " + vt::Q(file) + " > " + vt::Q(out)));
  return rt::HivexGet(out, key, value);
}

DWORD Import(const std::string& image, const std::wstring& reg, std::string* output = nullptr) {
  std::wstring args = ImageArgs(vt::ToWin(image)) + L"\"/import:" + reg + L"\"";
  return output ? RunVro(args, output) : RunVro(args);
}

const wchar_t kLogonUi[] =
    L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Authentication\\LogonUI]"
    L"\r\n";

}  // namespace

TEST(CurrentUserHive, IsTheProfileProfileListGives) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel --user alice"));
  // The profile made again beside the stale one, as Windows names it; the
  // profiles of another user "j.doe" and of "j" made again.
  for (const char* folder : {"alice.PC", "j.doe", "j.PC", "j.WKS7"})
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree + "/Users/" + folder) + " && cp " +
                        vt::Q(tree + "/Users/alice/NTUSER.DAT") + " " +
                        vt::Q(tree + "/Users/" + folder + "/NTUSER.DAT")));
  std::string image = MakeImage(dir, tree);
  std::wstring profile = WriteReg(
      dir, "profile.reg",
      L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\"
      L"S-1-5-21-1-2-3-1001]\r\n\"ProfileImagePath\"=hex(2):43,00,3a,00,5c,00,55,00,73,00,65,00,"
      L"72,00,73,00,5c,00,61,00,6c,00,69,00,63,00,65,00,2e,00,50,00,43,00,00,00\r\n\r\n"
      L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\"
      L"S-1-5-18]\r\n\"ProfileImagePath\"=\"%systemroot%\\\\system32\\\\config\\\\systemprofile\"\r\n"
      L"\r\n" +
          std::wstring(kLogonUi) + L"\"LastLoggedOnUserSID\"=\"S-1-5-21-1-2-3-1001\"\r\n");
  ASSERT_EQ(DWORD(0), Import(image, profile));

  // By the SID (Windows 8 on).
  std::wstring bySid =
      WriteReg(dir, "sid.reg", L"[HKEY_CURRENT_USER\\Software\\Vro]\r\n\"bySid\"=\"1\"\r\n");
  ASSERT_EQ(DWORD(0), Import(image, bySid));
  EXPECT_EQ("1", Get(image, "/Users/alice.PC/NTUSER.DAT", "\\Software\\Vro", "bySid"));
  EXPECT_EQ("<missing>", Get(image, "/Users/alice/NTUSER.DAT", "\\Software\\Vro", "bySid"));

  // Without the SID (Windows 7): the one folder of the user's name made again.
  std::wstring noSid = WriteReg(dir, "nosid.reg",
                                std::wstring(kLogonUi) + L"\"LastLoggedOnUserSID\"=-\r\n\r\n" +
                                    L"[HKEY_CURRENT_USER\\Software\\Vro]\r\n\"byName\"=\"2\"\r\n");
  ASSERT_EQ(DWORD(0), Import(image, noSid));
  EXPECT_EQ("2", Get(image, "/Users/alice.PC/NTUSER.DAT", "\\Software\\Vro", "byName"));
  EXPECT_EQ("<missing>", Get(image, "/Users/alice/NTUSER.DAT", "\\Software\\Vro", "byName"));

  // The last user "PC\j" (no SID, as Windows 7 records it) whose only
  // folder ProfileList names is "j.doe", another user's: not j.doe's hive,
  // nor a stale folder's; the default hive, told in a line, for the import
  // and the export alike.
  auto listed = [](const char* sid, const std::wstring& folder) {
    return L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\"
           L"S-1-5-21-1-2-3-" +
           vt::Widen(sid) + L"]\r\n\"ProfileImagePath\"=\"C:\\\\Users\\\\" + folder + L"\"\r\n\r\n";
  };
  ASSERT_EQ(
      DWORD(0),
      Import(image, WriteReg(dir, "j.reg",
                             std::wstring(kLogonUi) + L"\"LastLoggedOnUser\"=\"PC\\\\j\"\r\n\r\n" +
                                 L"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows "
                                 L"NT\\CurrentVersion\\ProfileList]\r\n\r\n" +
                                 listed("1002", L"j.doe"))));
  std::wstring byJ =
      WriteReg(dir, "byj.reg", L"[HKEY_CURRENT_USER\\Software\\Vro]\r\n\"byJ\"=\"3\"\r\n");
  const std::string line =
      "\\Windows\\System32\\config\\DEFAULT: no profile folder of the image is the last "
      "user's that SOFTWARE names: HKEY_CURRENT_USER is this hive";
  std::string out;
  ASSERT_EQ(DWORD(0), Import(image, byJ, &out));
  EXPECT_NE(std::string::npos, out.find(line)) << out;
  EXPECT_EQ("<missing>", Get(image, "/Users/j.doe/NTUSER.DAT", "\\Software\\Vro", "byJ"));
  EXPECT_EQ("3", Get(image, "/Windows/System32/config/DEFAULT", "\\Software\\Vro", "byJ"));
  std::wstring exported = vt::ToWin(dir) + L"\\j-export.reg";
  ASSERT_EQ(DWORD(0), RunVro(ImageArgs(vt::ToWin(image)) + L"\"/export:" + exported +
                                 L"::HKEY_CURRENT_USER\\Software\\Vro\"",
                             &out));
  EXPECT_NE(std::string::npos, out.find(line)) << out;
  std::string text;
  vt::Sh("iconv -f UTF-16 -t UTF-8 " + vt::Q(dir + "/j-export.reg"), &text);
  EXPECT_NE(std::string::npos, text.find("\"byJ\"=\"3\"")) << text;

  // Made again as "j.PC" (the domain of "PC\j") or "j.WKS7" (the
  // computer's name in SYSTEM, the last user "CORP\j"): that folder's.
  ASSERT_EQ(DWORD(0), Import(image, WriteReg(dir, "jpc.reg", listed("1003", L"j.PC"))));
  ASSERT_EQ(DWORD(0), Import(image, byJ, &out));
  EXPECT_EQ(std::string::npos, out.find("HKEY_CURRENT_USER is this hive")) << out;
  EXPECT_EQ("3", Get(image, "/Users/j.PC/NTUSER.DAT", "\\Software\\Vro", "byJ"));
  EXPECT_EQ("<missing>", Get(image, "/Users/j.doe/NTUSER.DAT", "\\Software\\Vro", "byJ"));
  ASSERT_EQ(
      DWORD(0),
      Import(image,
             WriteReg(dir, "wks7.reg",
                      std::wstring(kLogonUi) + L"\"LastLoggedOnUser\"=\"CORP\\\\j\"\r\n\r\n" +
                          L"[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\"
                          L"ComputerName\\ComputerName]\r\n\"ComputerName\"=\"WKS7\"\r\n\r\n" +
                          listed("1004", L"j.WKS7"))));
  ASSERT_EQ(DWORD(0), Import(image, byJ, &out));
  EXPECT_EQ("3", Get(image, "/Users/j.WKS7/NTUSER.DAT", "\\Software\\Vro", "byJ"));
}

// "NAME" is another account's when ProfileList lists "NAME.DOMAIN" of the
// last user's own domain too (Windows makes that folder only then): the
// import goes into the user's own folder, for a domain user, a local one
// (Windows 7 and 8 forms) and XP's DefaultDomainName alike; "NAME" alone
// is the user's. A SID ProfileList lacks makes every folder it lists
// another account's: the default hive, with its line.
TEST(CurrentUserHive, IsTheUsersOwnFolderNeverAnotherAccounts) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel --user alice"));
  const std::string hive = tree + "/Users/alice/NTUSER.DAT";
  for (const char* folder : {"Users/alice.CORP", "Users/alice.PC", "Documents and Settings/alice",
                             "Documents and Settings/alice.CORP"})
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree + "/" + folder) + " && cp " + vt::Q(hive) + " " +
                        vt::Q(tree + "/" + folder + "/NTUSER.DAT")));
  std::string image = MakeImage(dir, tree);
  auto profiles = [](const std::wstring& base, const std::wstring& first,
                     const std::wstring& second) {
    std::wstring text =
        L"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList]\r\n\r\n";
    int rid = 1001;
    for (const std::wstring& folder : {first, second}) {
      if (folder.empty()) continue;
      text += L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\"
              L"S-1-5-21-1-2-3-" +
              std::to_wstring(rid++) + L"]\r\n\"ProfileImagePath\"=\"C:\\\\" + base + L"\\\\" +
              folder + L"\"\r\n\r\n";
    }
    return text;
  };
  auto logon = [](const std::wstring& user, const std::wstring& sam) {
    return std::wstring(kLogonUi) + L"\"LastLoggedOnUser\"=\"" + user + L"\"\r\n" +
           L"\"LastLoggedOnSAMUser\"=" + (sam.empty() ? L"-" : L"\"" + sam + L"\"") + L"\r\n\r\n";
  };
  const std::string line = "HKEY_CURRENT_USER is this hive";
  struct Case {
    const char* what;
    std::wstring setup;
    std::string folder;  // where the value goes; empty: the default hive, with its line
  };
  const Case cases[] = {
      {"CORP\\alice (Windows 7)", logon(L"CORP\\\\alice", L"CORP\\\\alice") +
                                      profiles(L"Users", L"alice", L"alice.CORP"),
       "/Users/alice.CORP"},
      {"PC\\alice", logon(L"PC\\\\alice", L"") + profiles(L"Users", L"alice", L"alice.PC"),
       "/Users/alice.PC"},
      {".\\alice (Windows 8)", logon(L".\\\\alice", L"PC\\\\alice") +
                                   profiles(L"Users", L"alice.PC", L"alice"),
       "/Users/alice.PC"},
      {"CORP\\alice, alice alone", logon(L"CORP\\\\alice", L"") + profiles(L"Users", L"alice", L""),
       "/Users/alice"},
      {"alice with no domain", logon(L"alice", L"") + profiles(L"Users", L"alice.CORP", L"alice"),
       "/Users/alice"},
      {"a SID ProfileList lacks",
       std::wstring(kLogonUi) + L"\"LastLoggedOnUserSID\"=\"S-1-5-21-1-2-3-1009\"\r\n\r\n" +
           profiles(L"Users", L"alice", L""),
       ""},
      {"XP, CORP\\alice",
       L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
       L"\"CurrentVersion\"=\"5.1\"\r\n\r\n"
       L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon]\r\n"
       L"\"DefaultUserName\"=\"alice\"\r\n\"DefaultDomainName\"=\"CORP\"\r\n\r\n" +
           profiles(L"Documents and Settings", L"alice", L"alice.CORP"),
       "/Documents and Settings/alice.CORP"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string value = "v" + std::to_string(n++);
    ASSERT_EQ(DWORD(0), Import(image, WriteReg(dir, "setup.reg", c.setup)));
    std::string out;
    ASSERT_EQ(DWORD(0),
              Import(image,
                     WriteReg(dir, "user.reg",
                              L"[HKEY_CURRENT_USER\\Software\\Vro]\r\n\"" + vt::Widen(value) +
                                  L"\"=\"1\"\r\n"),
                     &out));
    EXPECT_EQ(c.folder.empty(), out.find(line) != std::string::npos) << out;
    for (const char* folder : {"/Users/alice", "/Users/alice.CORP", "/Users/alice.PC",
                               "/Documents and Settings/alice",
                               "/Documents and Settings/alice.CORP"})
      EXPECT_EQ(folder == c.folder ? "1" : "<missing>",
                Get(image, std::string(folder) + "/NTUSER.DAT", "\\Software\\Vro", value))
          << folder;
    EXPECT_EQ(c.folder.empty() ? "1" : "<missing>",
              Get(image, "/Windows/System32/config/DEFAULT", "\\Software\\Vro", value));
  }
}

// The default hive's line names why it stands for the user: SOFTWARE names
// no last user, or names one (by a SID ProfileList lacks, or by a name
// alone) whose profile the image does not hold.
TEST(CurrentUserHive, WithoutALastUserIsTheDefaultHiveToldInALine) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel"));
  std::string image = MakeImage(dir, tree);
  std::wstring reg =
      WriteReg(dir, "user.reg", L"[HKEY_CURRENT_USER\\Software\\Vro]\r\n\"a\"=\"b\"\r\n");
  const std::string noUser = "\\Windows\\System32\\config\\DEFAULT: SOFTWARE names no last user: "
                             "HKEY_CURRENT_USER is this hive (the hive of HKEY_USERS\\.DEFAULT)";
  std::string out;
  ASSERT_EQ(DWORD(0), Import(image, reg, &out));
  EXPECT_NE(std::string::npos, out.find(noUser)) << out;
  EXPECT_EQ("b", Get(image, "/Windows/System32/config/DEFAULT", "\\Software\\Vro", "a"));
  for (const wchar_t* named : {L"\"LastLoggedOnUserSID\"=\"S-1-5-21-9-9-9-1001\"",
                               L"\"LastLoggedOnUserSID\"=-\r\n\"LastLoggedOnUser\"=\"bob\""}) {
    SCOPED_TRACE(vt::Narrow(named));
    ASSERT_EQ(DWORD(0),
              Import(image, WriteReg(dir, "named.reg", std::wstring(kLogonUi) + named + L"\r\n")));
    ASSERT_EQ(DWORD(0), Import(image, reg, &out));
    EXPECT_EQ(std::string::npos, out.find(noUser)) << out;
    EXPECT_NE(std::string::npos,
              out.find("\\Windows\\System32\\config\\DEFAULT: no profile folder of the image is "
                       "the last user's that SOFTWARE names"))
        << out;
  }
}

TEST(CurrentUserHive, AnUnreadableSoftwareRefusesTheCommand) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel --user alice"));
  ASSERT_EQ(0, vt::Sh("dd if=/dev/zero of=" + vt::Q(tree + "/Windows/System32/config/SOFTWARE") +
                      " bs=512 count=1 conv=notrunc status=none"));
  std::string image = MakeImage(dir, tree);
  std::string hash = vt::Sha256(vt::ToWin(image));
  std::wstring reg =
      WriteReg(dir, "user.reg", L"[HKEY_CURRENT_USER\\Software\\Vro]\r\n\"a\"=\"b\"\r\n");
  const std::string line =
      "HKEY_CURRENT_USER: the last user is named in SOFTWARE, and its hive file "
      "\\Windows\\System32\\config\\SOFTWARE cannot be read (damaged or not in the image)";
  std::string out;
  EXPECT_EQ(DWORD(-14), Import(image, reg, &out));
  EXPECT_NE(std::string::npos, out.find(line)) << out;
  std::wstring exported = vt::ToWin(dir) + L"\\exported.reg";
  EXPECT_EQ(DWORD(-14),
            RunVro(ImageArgs(vt::ToWin(image)) + L"\"/export:" + exported + L"::HKEY_CURRENT_USER\"",
                   &out));
  EXPECT_NE(std::string::npos, out.find(line)) << out;
  EXPECT_FALSE(vt::FileExists(exported));
  EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image)));
  EXPECT_EQ("<missing>", Get(image, "/Windows/System32/config/DEFAULT", "\\Software\\Vro", "a"));
}

// A profile folder on another drive than the system's (ProfileList's
// "D:\Users\alice", SystemRoot on C:) is the hive of the partition SYSTEM's
// MountedDevices gives that drive: an MBR disk's signature and byte offset,
// or "DMIO:ID:" and a GPT partition's GUID. Without that partition on this
// disk, or for a folder on no drive, HKEY_CURRENT_USER is refused with a
// line naming the folder: never the stale \Users\alice of the system
// volume, nor a folder ProfileList gives another account. The import, the
// export and the exports alike; a refusal leaves the image as it was.
TEST(CurrentUserHive, OnAnotherDriveIsThatDrivesPartitionOrRefused) {
  HMODULE host = apptest::HostedProgram(vt::BinaryDirUnix() + "/testtmp/test_app_registry/Host");
  ASSERT_NE(nullptr, host);
  auto hostExport = reinterpret_cast<decltype(&ImageExportRegistryW)>(
      GetProcAddress(host, "ImageExportRegistryW"));
  auto hostImport = reinterpret_cast<decltype(&ImageImportRegistryW)>(
      GetProcAddress(host, "ImageImportRegistryW"));
  ASSERT_TRUE(hostExport && hostImport);
  const long firstStart = 2048, firstSectors = 16 * 2048;
  for (const std::string layout : {"mbr-pair", "gpt-pair"}) {
    SCOPED_TRACE(layout);
    rt::WinDisk disk = rt::MakeProfilePairDisk(layout, layout);
    const std::string dir = disk.dir, image = disk.unixPath;
    const long dataStart = disk.start, dataSectors = rt::kDiskMiB * 2048;
    const std::wstring args = ImageArgs(vt::ToWin(image) + L"::1");
    // Drive D: as MountedDevices records partition 0 of this disk.
    std::string bytes;
    const bool gpt = layout == "gpt-pair";
    ASSERT_EQ(0, vt::Sh("od -A n -t x1 -v -j " + std::string(gpt ? "1040" : "440") + " -N " +
                            (gpt ? "16" : "4") + " " + vt::Q(image),
                        &bytes));
    std::wstring id = gpt ? L"44,4d,49,4f,3a,49,44,3a" : L"";
    for (size_t at = bytes.find_first_not_of(" \n"); at != std::string::npos;
         at = bytes.find_first_not_of(" \n", at + 2))
      id += (id.empty() ? L"" : L",") + vt::Widen(bytes.substr(at, 2));
    if (!gpt) id += L",00,00,10,00,00,00,00,00";
    auto mountedD = [&](const std::wstring& data) {
      return WriteReg(dir, "d.reg",
                      L"[HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices]\r\n\"\\\\DosDevices\\\\D:\"=hex:" +
                          data + L"\r\n");
    };
    auto profile = [&](const std::wstring& folder) {
      return WriteReg(
          dir, "profile.reg",
          L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
          L"\"SystemRoot\"=\"C:\\\\Windows\"\r\n\r\n"
          L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\"
          L"S-1-5-21-1-2-3-1001]\r\n\"ProfileImagePath\"=\"" + folder + L"\"\r\n\r\n" +
              kLogonUi + L"\"LastLoggedOnUserSID\"=\"S-1-5-21-1-2-3-1001\"\r\n");
    };
    ASSERT_EQ(DWORD(0), RunVro(args + L"\"/import:" + profile(L"D:\\\\Users\\\\alice") + L"\""));
    std::wstring user =
        WriteReg(dir, "user.reg", L"[HKEY_CURRENT_USER\\Software\\Vro]\r\n\"onD\"=\"1\"\r\n");
    std::wstring exported = vt::ToWin(dir) + L"\\user-export.reg";
    const std::wstring exportArg = L"\"/export:" + exported + L"::HKEY_CURRENT_USER\\Software\"";

    // Refused: D: not in MountedDevices, then placed on another disk.
    const std::string folder =
        "HKEY_CURRENT_USER: the last user's profile folder D:\\Users\\alice (ProfileList) lies on "
        "drive D:, ";
    std::wstring otherDisk = id;
    wchar_t& digit = otherDisk[otherDisk.size() - (gpt ? 1 : 25)];
    digit = digit == L'0' ? L'1' : L'0';
    for (const wchar_t* why : {L"", L"other disk"}) {
      SCOPED_TRACE(vt::Narrow(why));
      if (*why) {
        ASSERT_EQ(DWORD(0), RunVro(args + L"\"/import:" + mountedD(otherDisk) + L"\""));
      }
      const std::string line =
          folder + (*why ? "which SYSTEM's MountedDevices places on another disk than this image"
                         : "to which SYSTEM's MountedDevices gives no volume");
      const std::string hash = vt::Sha256(vt::ToWin(image));
      std::string out;
      EXPECT_EQ(DWORD(-14), RunVro(args + L"\"/import:" + user + L"\"", &out));
      EXPECT_NE(std::string::npos, out.find(line)) << out;
      EXPECT_EQ(DWORD(-14), RunVro(args + exportArg, &out));
      EXPECT_NE(std::string::npos, out.find(line)) << out;
      EXPECT_EQ(kImageHivesNotLoaded,
                hostExport(vt::ToWin(image).c_str(), L"", 1, L"HKEY_CURRENT_USER", exported.c_str()));
      EXPECT_EQ(kImageHivesNotLoaded, hostImport(vt::ToWin(image).c_str(), L"", 1, user.c_str()));
      EXPECT_FALSE(vt::FileExists(exported));
      EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image)));
    }

    // Placed on partition 0: its hive, read back there; the stale one on
    // the system volume untouched. An import that fails there changes
    // nothing on either partition.
    ASSERT_EQ(DWORD(0), RunVro(args + L"\"/import:" + mountedD(id) + L"\""));
    const std::string placed = vt::Sha256(vt::ToWin(image));
    EXPECT_EQ(DWORD(-16),
              RunVro(args + L"\"/import:" +
                     WriteReg(dir, "bad.reg",
                              L"[HKEY_CURRENT_USER\\Software\\Vro]\r\n\"onD\"=\"0\"\r\n\"bad\"=hex:zz\r\n") +
                     L"\""));
    EXPECT_EQ(placed, vt::Sha256(vt::ToWin(image)));
    ASSERT_EQ(DWORD(0), RunVro(args + L"\"/import:" + user + L"\""));
    EXPECT_EQ("1", Get(image, "/Users/alice/NTUSER.DAT", "\\Software\\Vro", "onD", firstStart,
                       firstSectors));
    EXPECT_EQ("<missing>", Get(image, "/Users/alice/NTUSER.DAT", "\\Software\\Vro", "onD",
                               dataStart, dataSectors));
    ASSERT_EQ(kImageOk, hostImport(vt::ToWin(image).c_str(), L"", 1,
                                   WriteReg(dir, "host.reg",
                                            L"[HKEY_CURRENT_USER\\Software\\Vro]\r\n\"host\"=\"2\"\r\n")
                                       .c_str()));
    for (bool hosted : {false, true}) {
      if (hosted)
        ASSERT_EQ(kImageOk, hostExport(vt::ToWin(image).c_str(), L"", 1,
                                       L"HKEY_CURRENT_USER\\Software\\Vro", exported.c_str()));
      else
        ASSERT_EQ(DWORD(0), RunVro(args + exportArg));
      std::string text;
      vt::Sh("iconv -f UTF-16 -t UTF-8 " + vt::Q(dir + "/user-export.reg"), &text);
      EXPECT_NE(std::string::npos, text.find("\"onD\"=\"1\"")) << text;
      EXPECT_NE(std::string::npos, text.find("\"host\"=\"2\"")) << text;
    }
    if (gpt) continue;

    // The user's folder in a form no drive holds, another account's
    // \Users\alice beside it: refused, not that account's hive.
    ASSERT_EQ(DWORD(0),
              RunVro(args + L"\"/import:" +
                     WriteReg(dir, "other.reg",
                              L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\"
                              L"CurrentVersion\\ProfileList\\S-1-5-21-1-2-3-1002]\r\n"
                              L"\"ProfileImagePath\"=\"C:\\\\Users\\\\alice\"\r\n") +
                     L"\""));
    ASSERT_EQ(DWORD(0),
              RunVro(args + L"\"/import:" + profile(L"%ProfilesRoot%\\\\alice") + L"\""));
    std::string out;
    EXPECT_EQ(DWORD(-14), RunVro(args + L"\"/import:" + user + L"\"", &out));
    EXPECT_NE(std::string::npos,
              out.find("HKEY_CURRENT_USER: the last user's profile folder %ProfilesRoot%\\alice "
                       "(ProfileList) names no folder on a drive of this Windows"))
        << out;
  }
}
