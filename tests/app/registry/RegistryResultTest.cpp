// "/export:" and "/import:" through the real program: a result of 0 means
// the work was done. A hive asked for that cannot be loaded gives -14, an
// import fails as a whole over every hive it touches and leaves the image
// as it was, and what an import accepts the export writes. Read back with
// hivexsh, hivexregedit, ntfscat and mtools.
#include <gtest/gtest.h>

#include "../BatchTestUtil.h"

using namespace bt;

namespace {

const char kConfig[] = "/Windows/System32/config/";

std::wstring RegText(const std::wstring& body) {
  return L"Windows Registry Editor Version 5.00\r\n\r\n" + body;
}

std::wstring WriteReg(const std::string& dir, const char* name, const std::wstring& body) {
  std::wstring path = vt::ToWin(dir + "/" + name);
  rt::WriteRegFile(path, RegText(body));
  return path;
}

// A partitionless image of a tree; fs "ntfs" or "fat32".
std::string MakeImage(const std::string& dir, const std::string& tree, const char* fs) {
  std::string image = dir + "/disk.img";
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --layout none --size 40 --fs " + fs +
                          " --tree " + vt::Q(tree)));
  return image;
}

// A file of the volume, read by ntfscat; a name without a slash is a
// hive of the config folder.
std::string Cat(const std::string& image, const std::string& file, const std::string& out) {
  std::string path = file[0] == '/' ? file : std::string(kConfig) + file;
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(image) + " " + vt::Q(path) + " > " + vt::Q(out)));
  return out;
}

// "type hex" of a value, read by python3-hivex.
std::string ValueBytes(const std::string& hive, const std::string& key, const std::string& value) {
  std::string out;
  vt::Sh("/usr/bin/python3 " + vt::Q(vt::SourceDirUnix() + "/tests/app/reg-tool.py") + " value " +
             vt::Q(hive) + " " + vt::Q(key) + " " + vt::Q(value) + " 2>&1",
         &out);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

DWORD Import(const std::string& image, const std::wstring& reg) {
  return RunVro(ImageArgs(vt::ToWin(image)) + L"\"/import:" + reg + L"\"");
}

DWORD Export(const std::string& image, const std::wstring& out, const std::wstring& key) {
  return RunVro(ImageArgs(vt::ToWin(image)) + L"\"/export:" + out + L"::" + key + L"\"");
}

}  // namespace

// A SYSTEM hive with 33 zero bytes in its bins (hivexsh refuses it too):
// every export and import that asks for it gives -14 and writes nothing;
// what does not ask for it works.
TEST(RegistryResult, AHiveThatCannotBeLoadedFailsWhatAsksForIt) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel"));
  std::string system = tree + kConfig + "SYSTEM";
  ASSERT_EQ(0, vt::Sh("dd if=/dev/zero of=" + vt::Q(system) +
                      " bs=1 seek=4128 count=33 conv=notrunc status=none"));
  std::string out;
  ASSERT_NE(0, vt::Sh("printf 'ls\\n' | hivexsh " + vt::Q(system) + " 2>&1", &out)) << out;
  std::string image = MakeImage(dir, tree, "ntfs");
  std::string hash = vt::Sha256(vt::ToWin(image));
  std::wstring win = vt::ToWin(dir);

  EXPECT_EQ(DWORD(-14), Export(image, win + L"\\all.reg", L""));
  EXPECT_EQ(DWORD(-14), Export(image, win + L"\\hklm.reg", L"HKEY_LOCAL_MACHINE"));
  EXPECT_EQ(DWORD(-14), Export(image, win + L"\\system.reg", L"HKEY_LOCAL_MACHINE\\SYSTEM"));
  for (const wchar_t* name : {L"\\all.reg", L"\\hklm.reg", L"\\system.reg"})
    EXPECT_FALSE(vt::FileExists(win + name)) << vt::Narrow(name);
  std::wstring sys = WriteReg(dir, "sys.reg", L"[HKEY_LOCAL_MACHINE\\SYSTEM\\New]\r\n\"a\"=\"b\"\r\n");
  EXPECT_EQ(DWORD(-14), Import(image, sys));
  EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image)));

  // The sound hives still export and import.
  EXPECT_EQ(DWORD(0), Export(image, win + L"\\soft.reg", L"HKEY_LOCAL_MACHINE\\SOFTWARE"));
  std::wstring soft =
      WriteReg(dir, "soft.reg2", L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\r\n\"a\"=\"b\"\r\n");
  EXPECT_EQ(DWORD(0), Import(image, soft));
  EXPECT_EQ("b", rt::HivexGet(Cat(image, "SOFTWARE", dir + "/soft.hiv"), "\\New", "a"));
  // The save's log is named after the hive as it is stored, as Windows names it.
  std::string listing;
  EXPECT_EQ(0, vt::Sh("ntfsls -p " + vt::Q(kConfig) + " " + vt::Q(image), &listing));
  EXPECT_NE(std::string::npos, listing.find("SOFTWARE.LOG1\n")) << listing;
}

// An import is all or nothing over every hive it touches: a valid SYSTEM
// section and a SOFTWARE section with bad data leave both hives, and the
// whole image, as they were (-16); a file whose hives are not there (a FAT
// volume with an empty config folder) imports nothing and fails (-14) with
// the image untouched.
TEST(RegistryResult, AFailedImportLeavesTheImageAsItWas) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel"));
  std::string image = MakeImage(dir, tree, "ntfs");
  std::string hash = vt::Sha256(vt::ToWin(image));
  std::wstring both = WriteReg(dir, "both.reg",
                               L"[HKEY_LOCAL_MACHINE\\SYSTEM\\Kept]\r\n\"ok\"=dword:00000001\r\n\r\n"
                               L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro]\r\n\"broken\"=hex:zz,qq\r\n");
  EXPECT_EQ(DWORD(-16), Import(image, both));
  EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image)));
  EXPECT_EQ("<missing>", rt::HivexGet(Cat(image, "SYSTEM", dir + "/sys.hiv"), "\\Kept", "ok"));
  // A file cut inside a section line, with good sections before it.
  std::wstring cut = WriteReg(dir, "cut.reg",
                              L"[HKEY_LOCAL_MACHINE\\SYSTEM\\Kept]\r\n\"ok\"=dword:00000001\r\n\r\n"
                              L"[HKEY_LOCAL_MACHINE\\SYSTEM\\Selec");
  EXPECT_EQ(DWORD(-16), Import(image, cut));
  EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image)));

  std::string fatDir = dir + "/fat", fatTree = fatDir + "/tree";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(fatTree + kConfig) + " && printf x > " +
                      vt::Q(fatTree + "/Windows/System32/config/readme.txt")));
  std::string fat = MakeImage(fatDir, fatTree, "fat32");
  std::string fatHash = vt::Sha256(vt::ToWin(fat));
  std::wstring soft =
      WriteReg(dir, "soft.reg", L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\r\n\"a\"=\"b\"\r\n");
  EXPECT_EQ(DWORD(-14), Import(fat, soft));
  EXPECT_EQ(fatHash, vt::Sha256(vt::ToWin(fat)));
  std::string listing;
  EXPECT_EQ(0, vt::Sh("mdir -b -i " + vt::Q(fat) + " ::/Windows/System32/config", &listing));
  EXPECT_EQ(std::string::npos, listing.find("SOFTWARE")) << listing;
}

// A bad file of a wildcard import leaves no trace in the hives it had
// changed before its bad line, while the good file beside it is written:
// the first grows SOFTWARE by thousands of values and changes SYSTEM, then
// fails on its last line; the second sets one value in each. Both hives
// are written back (the second file's values there, none of the first's).
TEST(RegistryResult, ABadFileOfAWildcardLeavesNoTraceBesideAGoodOne) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel"));
  std::string image = MakeImage(dir, tree, "ntfs");
  std::string files = dir + "/files";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(files)));
  std::wstring bad = L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\Bad]\r\n";
  for (int i = 0; i < 3000; i++)
    bad += L"\"v" + std::to_wstring(i) + L"\"=\"value " + std::to_wstring(i) +
           L" with text enough to take room\"\r\n";
  bad += L"\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Vro]\r\n\"Hive\"=\"changed\"\r\n"
         L"\"broken\"=hex:zz\r\n";
  WriteReg(files, "a.reg", bad);
  WriteReg(files, "b.reg",
           L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro]\r\n\"good\"=\"1\"\r\n\r\n"
           L"[HKEY_LOCAL_MACHINE\\SYSTEM\\Vro]\r\n\"good\"=\"2\"\r\n");
  EXPECT_EQ(DWORD(-16), Import(image, vt::ToWin(files) + L"\\*.reg"));
  std::string soft = Cat(image, "SOFTWARE", dir + "/soft.hiv");
  std::string sys = Cat(image, "SYSTEM", dir + "/sys.hiv");
  EXPECT_EQ("1", rt::HivexGet(soft, "\\Vro", "good"));
  EXPECT_EQ("<missing>", rt::HivexGet(soft, "\\Vro\\Bad", "v0"));
  EXPECT_EQ("2", rt::HivexGet(sys, "\\Vro", "good"));
  EXPECT_EQ("SYSTEM", rt::HivexGet(sys, "\\Vro", "Hive"));
}

// A file that ends while a value is still continued (its last line ends in
// a backslash, with or without a line break after it) is cut off inside
// that value: the import fails and the image, hives and all, stays as it was.
TEST(RegistryResult, AFileCutInsideAContinuedValueFails) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel"));
  std::string image = MakeImage(dir, tree, "ntfs");
  std::string hash = vt::Sha256(vt::ToWin(image));
  const std::wstring body =
      L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro]\r\n\"Whole\"=\"1\"\r\n\"HexC\"=hex:01,02,\\";
  EXPECT_EQ(DWORD(-16), Import(image, WriteReg(dir, "cut.reg", body + L"\r\n")));
  EXPECT_EQ(DWORD(-16), Import(image, WriteReg(dir, "cut2.reg", body)));
  EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image)));
  // The same value ended on its next line imports.
  EXPECT_EQ(DWORD(0), Import(image, WriteReg(dir, "whole.reg", body + L"\r\n  03\r\n")));
  EXPECT_EQ("3 010203", ValueBytes(Cat(image, "SOFTWARE", dir + "/soft.hiv"), "\\Vro", "HexC"));
}

// In a REGEDIT4 file the data of hex(2) and hex(7) are strings in the ANSI
// code page: they are stored as UTF-16, their NULs with them. Data of a
// version 5 file are UTF-16 already and stay as they stand; an export of
// what came in imports again to the same bytes.
TEST(RegistryResult, Regedit4StringsArriveAsText) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel"));
  std::string image = MakeImage(dir, tree, "ntfs");
  // "%SystemRoot%\x" and the list "one", "two"; in code page 1252 also
  // the euro sign, which is no Latin-1 byte.
  std::string ansi =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro4]\r\n"
      "\"Path\"=hex(2):25,53,79,73,74,65,6d,52,6f,6f,74,25,5c,78,00\r\n"
      "\"List\"=hex(7):6f,6e,65,00,74,77,6f,00,00\r\n";
  const bool cp1252 = GetACP() == 1252;
  if (cp1252) ansi += "\"Euro\"=hex(2):80,31,00\r\n";
  std::wstring old = vt::ToWin(dir + "/old.reg");
  ASSERT_TRUE(vt::WriteAll(old, ansi.data(), ansi.size()));
  EXPECT_EQ(DWORD(0), Import(image, old));
  EXPECT_EQ(DWORD(0), Import(image, WriteReg(dir, "new.reg",
                                             L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro5]\r\n"
                                             L"\"Wide\"=hex(2):41,00,42,00,00,00\r\n")));
  std::string soft = Cat(image, "SOFTWARE", dir + "/soft.hiv");
  EXPECT_EQ("%SystemRoot%\\x", rt::HivexGet(soft, "\\Vro4", "Path"));
  EXPECT_EQ("one\ntwo", rt::HivexGet(soft, "\\Vro4", "List"));
  EXPECT_EQ("AB", rt::HivexGet(soft, "\\Vro5", "Wide"));
  EXPECT_EQ("2 2500530079007300740065006d0052006f006f00740025005c0078000000",
            ValueBytes(soft, "\\Vro4", "Path"));
  EXPECT_EQ("7 6f006e0065000000740077006f0000000000", ValueBytes(soft, "\\Vro4", "List"));
  if (cp1252) {
    EXPECT_EQ(L"\u20ac1", vt::Widen(rt::HivexGet(soft, "\\Vro4", "Euro")));
  }

  std::wstring win = vt::ToWin(dir);
  ASSERT_EQ(DWORD(0), Export(image, win + L"\\first.reg", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro4"));
  ASSERT_EQ(DWORD(0),
            Import(image, WriteReg(dir, "drop.reg", L"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro4]\r\n")));
  EXPECT_EQ("<missing>", rt::HivexGet(Cat(image, "SOFTWARE", soft), "\\Vro4", "Path"));
  ASSERT_EQ(DWORD(0), Import(image, win + L"\\first.reg"));
  ASSERT_EQ(DWORD(0), Export(image, win + L"\\again.reg", L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro4"));
  EXPECT_EQ(vt::Sha256(win + L"\\first.reg"), vt::Sha256(win + L"\\again.reg"));
  EXPECT_EQ("2 2500530079007300740065006d0052006f006f00740025005c0078000000",
            ValueBytes(Cat(image, "SOFTWARE", soft), "\\Vro4", "Path"));
}

// Windows nests keys 512 levels deep, the hive's root included: a key 511
// levels below the root imports and its parent exports; one 600 levels deep
// is refused and changes nothing.
TEST(RegistryResult, WhatTheImportTakesTheExportWrites) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel"));
  std::string image = MakeImage(dir, tree, "ntfs");
  auto deep = [](int levels) {
    std::wstring path = L"HKEY_LOCAL_MACHINE\\SOFTWARE";
    for (int i = 0; i < levels; i++) path += L"\\k";
    return L"[" + path + L"]\r\n\"leaf\"=\"bottom\"\r\n";
  };
  std::string hash = vt::Sha256(vt::ToWin(image));
  EXPECT_EQ(DWORD(-16), Import(image, WriteReg(dir, "600.reg", deep(600))));
  EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image)));
  EXPECT_EQ(DWORD(0), Import(image, WriteReg(dir, "511.reg", deep(511))));
  std::wstring out = vt::ToWin(dir) + L"\\parent.reg";
  EXPECT_EQ(DWORD(0), Export(image, out, L"HKEY_LOCAL_MACHINE\\SOFTWARE\\k"));
  std::string text;
  EXPECT_EQ(0, vt::Sh("iconv -f UTF-16 -t UTF-8 " + vt::Q(vt::ToUnix(out)) +
                          " | grep -c '\"leaf\"=\"bottom\"'",
                      &text));
  EXPECT_EQ("1\n", text);
  std::string hiveOut;
  EXPECT_EQ(0, vt::Sh("hivexregedit --export " + vt::Q(Cat(image, "SOFTWARE", dir + "/s.hiv")) +
                          " '\\' 2>/dev/null | grep -c '\"leaf\"='",
                      &hiveOut));
  EXPECT_EQ("1\n", hiveOut);
}

// A line whose first character after blanks is ';' is a comment wherever it
// stands: before the first section, right after a section line, between
// values, after the last value, before the next section, indented, as a
// line that looks like a value or a section, after a continued value and at
// the end of the file (with no line break). The values around the comments
// import, in a REGEDIT4 file and a version 5 one alike; read by hivexget.
class RegComments : public ::testing::TestWithParam<bool> {};

TEST_P(RegComments, AreSkippedWhereverTheyStand) {
  const bool regedit4 = GetParam();
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel"));
  std::string image = MakeImage(dir, tree, "ntfs");
  const std::string body =
      "; before the first section\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Notes]\r\n"
      "; right after the section line\r\n"
      "\"One\"=\"first\"\r\n"
      ";between values\r\n"
      "\"Two\"=dword:00000002\r\n"
      "   \t; indented\r\n"
      ";\"Fake\"=\"a comment that looks like a value\"\r\n"
      ";[HKEY_LOCAL_MACHINE\\SOFTWARE\\NotAKey]\r\n"
      "\"Bin\"=hex:01,02,\\\r\n"
      "  03\r\n"
      "; after a continued value\r\n"
      "\"Last\"=\"end\"\r\n"
      "; after the last value\r\n"
      "\r\n"
      "; before the next section\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Notes\\Sub]\r\n"
      "@=\"default\"\r\n"
      "; at the end of the file";
  std::wstring reg = vt::ToWin(dir + "/notes.reg");
  if (regedit4) {
    std::string text = "REGEDIT4\r\n\r\n" + body;
    ASSERT_TRUE(vt::WriteAll(reg, text.data(), text.size()));
  } else {
    rt::WriteRegFile(reg, RegText(vt::Widen(body)));
  }
  ASSERT_EQ(DWORD(0), Import(image, reg));
  std::string soft = Cat(image, "SOFTWARE", dir + "/soft.hiv");
  EXPECT_EQ("first", rt::HivexGet(soft, "\\Notes", "One"));
  EXPECT_EQ("2", rt::HivexGet(soft, "\\Notes", "Two"));
  EXPECT_EQ("3 010203", ValueBytes(soft, "\\Notes", "Bin"));
  EXPECT_EQ("end", rt::HivexGet(soft, "\\Notes", "Last"));
  EXPECT_EQ("default", rt::HivexGet(soft, "\\Notes\\Sub", "@"));
  EXPECT_EQ("<missing>", rt::HivexGet(soft, "\\Notes", "Fake"));
  std::string keys;
  EXPECT_EQ(0, vt::Sh("printf 'ls\\n' | hivexsh " + vt::Q(soft) + " 2>&1", &keys)) << keys;
  EXPECT_NE(std::string::npos, keys.find("Notes")) << keys;
  EXPECT_EQ(std::string::npos, keys.find("NotAKey")) << keys;
  EXPECT_EQ(std::string::npos, keys.find(";")) << keys;
}

INSTANTIATE_TEST_SUITE_P(BothEncodings, RegComments, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Regedit4" : "Version5";
                         });

namespace {

// The offline Windows tree of a test, with its SYSTEM's current control
// set (mk-wintree.sh --current).
std::string MakeTree(const std::string& dir, int current = 1, const std::string& more = "") {
  std::string tree = dir + "/tree";
  EXPECT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel --current " +
                          std::to_string(current) + more));
  return tree;
}

// The keys right below a hive's root, as hivexsh lists them.
std::string RootKeys(const std::string& hive) {
  std::string keys;
  vt::Sh("printf 'ls\\n' | hivexsh " + vt::Q(hive) + " 2>&1", &keys);
  return keys;
}

}  // namespace

// Every refusal names what is wrong and where: the .reg file and the line
// of it with what that line lacks (no header, a key line cut before its
// "]", a value continued past the end of the file, hex data that cannot
// be read or that is not in regedit's forms, a value name in none of
// regedit's forms, keys of no hive the image has
// or of no root at all), the bad file of a wildcard (the
// good one beside it imported), the hive whose file is missing or damaged,
// the key an export does not find. No line is the generic one, and no
// refusal changes the image.
TEST(RegistryResult, EveryRefusalNamesItsCause) {
  const std::wstring kGood = L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\r\n\"a\"=\"b\"\r\n";
  std::string dir = vt::ScratchDirUnix();
  std::string tree = MakeTree(dir);
  std::string image = MakeImage(dir, tree, "ntfs");
  std::string hash = vt::Sha256(vt::ToWin(image));
  std::wstring win = vt::ToWin(dir);
  struct Case {
    const char* name;
    std::wstring body;  // after the header; whole text when it has none
    bool header;
    std::string line;  // behind "FILE: "
  } cases[] = {
      {"noheader.reg", L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"a\"=\"b\"\r\n", false,
       "line 1: not a .reg file: it does not begin with \"Windows Registry Editor Version "
       "5.00\" or \"REGEDIT4\""},
      {"cutkey.reg",
       L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"a\"=\"b\"\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFT", true,
       "line 6: a key line without its closing \"]\""},
      {"cutvalue.reg",
       L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"a\"=\"b\"\r\n\"bin\"=hex:01,02,\\\r\n  03,\\\r\n",
       true, "line 5: the value \"bin\" goes on past the end of the file"},
      {"badhex.reg",
       L"[HKEY_LOCAL_MACHINE\\SYSTEM\\A]\r\n\"ok\"=dword:00000001\r\n\r\n"
       L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\B]\r\n\"broken\"=hex:zz,qq\r\n",
       true, "line 7: data of the value \"broken\" that cannot be read (hex:zz,qq)"},
      {"nohive.reg", L"[HKEY_USERS\\.DEFAULT\\A]\r\n\"a\"=\"b\"\r\n", true,
       "line 3: the key [HKEY_USERS\\.DEFAULT\\A] lies in no hive of the image: nothing imported"},
      {"nokey.reg", L"[Notes]\r\nx=y\r\n", true,
       "line 3: the key line [Notes] names no root of the registry"},
      // Beside keys that go in, such a key is not left out in silence.
      {"mixedhive.reg",
       L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"a\"=\"b\"\r\n\r\n[HKEY_CURRENT_CONFIG\\B]\r\n"
       L"\"c\"=\"d\"\r\n",
       true,
       "line 6: the key [HKEY_CURRENT_CONFIG\\B] lies in no hive of the image: nothing imported"},
      // Beside a good section: a short root as some tools write it, a stray
      // quote as a published tweak file has it.
      {"hklm.reg", kGood + L"\r\n[HKLM\\SOFTWARE\\Short]\r\n\"c\"=\"d\"\r\n", true,
       "line 6: the key line [HKLM\\SOFTWARE\\Short] names no root of the registry"},
      {"hkcu.reg", kGood + L"\r\n[HKCU\\Software\\Short]\r\n\"c\"=\"d\"\r\n", true,
       "line 6: the key line [HKCU\\Software\\Short] names no root of the registry"},
      {"hkcr.reg", kGood + L"\r\n[-HKCR\\.vro]\r\n", true,
       "line 6: the key line [-HKCR\\.vro] names no root of the registry"},
      {"quote.reg", kGood + L"\r\n[\"HKEY_CLASSES_ROOT\\.vro]\r\n@=\"v\"\r\n", true,
       "line 6: the key line [\"HKEY_CLASSES_ROOT\\.vro] names no root of the registry"},
      // Data that is not quoted, dword:, hex: or hex(N): regedit stores
      // no such value, and neither does the import.
      {"number.reg", kGood + L"\"X\"=1\r\n", true,
       "line 5: data of the value \"X\" that cannot be read (1)"},
      {"upper.reg", kGood + L"\"X\"=DWORD:0000000a\r\n", true,
       "line 5: data of the value \"X\" that cannot be read (DWORD:0000000a)"},
      {"minus.reg", kGood + L"\"X\"=-dword:00000001\r\n", true,
       "line 5: data of the value \"X\" that cannot be read (-dword:00000001)"},
      {"path.reg", kGood + L"\"X\"=C:\\WindowsApps\r\n", true,
       "line 5: data of the value \"X\" that cannot be read (C:\\WindowsApps)"},
      // A value name in none of regedit's forms: no value is stored under
      // the text as it stands (an autostart entry named "- \"NvBackend\"" from
      // a published file meant to delete one).
      {"autostart.reg",
       L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n"
       L"- \"NvBackend\"=\"\\\"C:\\\\Program Files (x86)\\\\NVIDIA Corporation\\\\Update "
       L"Core\\\\NvBackend.exe\\\"\"\r\n",
       true,
       "line 4: a line in none of regedit's forms of a value (\"NAME\"=... or @=...): - "
       "\"NvBackend\"=\"\\\"C:\\\\Program Files (x86)\\\\NVIDIA Corporat..."},
      {"bare.reg", kGood + L"Name=\"value\"\r\n", true,
       "line 5: a line in none of regedit's forms of a value (\"NAME\"=... or @=...): "
       "Name=\"value\""},
      {"words.reg", kGood + L"Two Words=dword:1\r\n", true,
       "line 5: a line in none of regedit's forms of a value (\"NAME\"=... or @=...): "
       "Two Words=dword:1"},
      {"curly.reg", kGood + L"\u201cx\u201d=\"y\"\r\n", true,
       "line 5: a line in none of regedit's forms of a value (\"NAME\"=... or @=...): "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring path = vt::ToWin(dir + "/" + c.name);
    rt::WriteRegFile(path, c.header ? RegText(c.body) : c.body);
    std::string printed;
    EXPECT_EQ(DWORD(-16),
              RunVro(ImageArgs(vt::ToWin(image)) + L"\"/import:" + path + L"\"", &printed));
    EXPECT_NE(std::string::npos, printed.find(vt::Narrow(path) + ": " + c.line)) << printed;
    EXPECT_EQ(std::string::npos, printed.find("failed with")) << printed;
    EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image)));
  }

  // A wildcard: the line names the bad file; the good one is imported.
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/wild")));
  std::wstring good =
      WriteReg(dir, "wild/a-good.reg", L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\r\n\"a\"=\"b\"\r\n");
  std::wstring bad =
      WriteReg(dir, "wild/b-bad.reg", L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bad]\r\n\"a\"=hex:q\r\n");
  std::string printed;
  EXPECT_EQ(
      DWORD(-16),
      RunVro(ImageArgs(vt::ToWin(image)) + L"\"/import:" + win + L"\\wild\\*.reg\"", &printed));
  EXPECT_NE(std::string::npos,
            printed.find(vt::Narrow(bad) + ": line 4: data of the value \"a\" that cannot be read"))
      << printed;
  EXPECT_EQ(std::string::npos, printed.find("failed with")) << printed;
  std::string soft = Cat(image, "SOFTWARE", dir + "/soft.hiv");
  EXPECT_EQ("b", rt::HivexGet(soft, "\\Good", "a"));
  EXPECT_EQ("<missing>", rt::HivexGet(soft, "\\Bad", "a"));

  // An export of a key that is not there names the key.
  hash = vt::Sha256(vt::ToWin(image));
  EXPECT_EQ(DWORD(-12), RunVro(ImageArgs(vt::ToWin(image)) + L"\"/export:" + win +
                                   L"\\none.reg::HKEY_LOCAL_MACHINE\\SOFTWARE\\NoSuchKey\"",
                               &printed));
  EXPECT_NE(std::string::npos,
            printed.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\NoSuchKey: no such key in the image: "
                         "nothing exported"))
      << printed;
  EXPECT_FALSE(vt::FileExists(win + L"\\none.reg"));

  // A SOFTWARE hive missing, then damaged: the export and the import that
  // ask for it name the hive and its file.
  for (bool damaged : {false, true}) {
    std::string sub = dir + (damaged ? "/damaged" : "/missing");
    std::string t = MakeTree(sub);
    std::string soft = t + "/Windows/System32/config/SOFTWARE";
    ASSERT_EQ(0, vt::Sh(damaged ? "dd if=/dev/zero of=" + vt::Q(soft) +
                                      " bs=1 seek=4128 count=33 conv=notrunc status=none"
                                : "rm " + vt::Q(soft)));
    std::string img = MakeImage(sub, t, "ntfs");
    std::string h = vt::Sha256(vt::ToWin(img));
    std::string why = damaged ? " is damaged" : " is not in the image";
    std::string hive =
        "HKEY_LOCAL_MACHINE\\SOFTWARE: its hive file "
        "\\Windows\\System32\\config\\SOFTWARE" +
        why;
    EXPECT_EQ(DWORD(-14), RunVro(ImageArgs(vt::ToWin(img)) + L"\"/export:" + vt::ToWin(sub) +
                                     L"\\s.reg::HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\"",
                                 &printed));
    EXPECT_NE(std::string::npos, printed.find(hive)) << printed;
    std::wstring reg =
        WriteReg(sub, "in.reg", L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"a\"=\"b\"\r\n");
    EXPECT_EQ(DWORD(-14),
              RunVro(ImageArgs(vt::ToWin(img)) + L"\"/import:" + reg + L"\"", &printed));
    EXPECT_NE(std::string::npos, printed.find(vt::Narrow(reg) + ": " + hive)) << printed;
    EXPECT_EQ(std::string::npos, printed.find("failed with")) << printed;
    EXPECT_EQ(h, vt::Sha256(vt::ToWin(img)));
  }
}

// Keys under HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet land in the
// control set that Select\Current names (1 and 2 here), in every form: a
// key with values, a deleted key, a deleted value. No key named
// CurrentControlSet is made. Sections of HKEY_CLASSES_ROOT, in a file of
// other roots too and in a file of them alone, land under
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes, and an export of HKEY_CLASSES_ROOT
// reads them there. Read back with hivexget and hivexsh.
TEST(RegistryResult, CurrentControlSetAndClassesLandWhereWindowsKeepsThem) {
  for (int current : {1, 2}) {
    SCOPED_TRACE("Select\\Current " + std::to_string(current));
    std::string dir = vt::ScratchSubdirUnix("current" + std::to_string(current));
    std::string image = MakeImage(dir, MakeTree(dir, current), "ntfs");
    std::wstring first = WriteReg(
        dir, "first.reg",
        L"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VroSvc]\r\n"
        L"\"Start\"=dword:00000003\r\n\"Gone\"=\"soon\"\r\n\r\n"
        L"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VroOld]\r\n\"a\"=\"b\"\r\n");
    std::wstring second = WriteReg(
        dir, "second.reg",
        L"[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VroOld]\r\n\r\n"
        L"[hkey_local_machine\\system\\currentcontrolset\\Services\\VroSvc]\r\n\"Gone\"=-\r\n\r\n"
        L"[HKEY_CLASSES_ROOT\\.vro]\r\n@=\"VroFile\"\r\n\r\n"
        L"[HKEY_CLASSES_ROOT\\VroFile\\shell\\open\\command]\r\n@=\"notepad.exe %1\"\r\n\r\n"
        L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro]\r\n\"Mixed\"=\"yes\"\r\n");
    std::wstring only =
        WriteReg(dir, "classes.reg", L"[HKEY_CLASSES_ROOT\\.vro2]\r\n@=\"VroFile\"\r\n");
    ASSERT_EQ(DWORD(0), Import(image, first));
    std::string sys = Cat(image, "SYSTEM", dir + "/sys.hiv");
    char set[32];
    snprintf(set, sizeof set, "\\ControlSet%03d\\Services\\", current);
    EXPECT_EQ("3", rt::HivexGet(sys, std::string(set) + "VroSvc", "Start"));
    EXPECT_EQ("soon", rt::HivexGet(sys, std::string(set) + "VroSvc", "Gone"));
    EXPECT_EQ("b", rt::HivexGet(sys, std::string(set) + "VroOld", "a"));
    ASSERT_EQ(DWORD(0), Import(image, second));
    ASSERT_EQ(DWORD(0), Import(image, only));
    sys = Cat(image, "SYSTEM", dir + "/sys.hiv");
    EXPECT_EQ("3", rt::HivexGet(sys, std::string(set) + "VroSvc", "Start"));
    EXPECT_EQ("<missing>", rt::HivexGet(sys, std::string(set) + "VroSvc", "Gone"));
    EXPECT_EQ("<missing>", rt::HivexGet(sys, std::string(set) + "VroOld", "a"));
    if (current == 2) {
      EXPECT_EQ("<missing>", rt::HivexGet(sys, "\\ControlSet001\\Services\\VroSvc", "Start"));
    }
    std::string keys = RootKeys(sys);
    EXPECT_EQ(std::string::npos, keys.find("CurrentControlSet")) << keys;
    std::string soft = Cat(image, "SOFTWARE", dir + "/soft.hiv");
    EXPECT_EQ("VroFile", rt::HivexGet(soft, "\\Classes\\.vro", "@"));
    EXPECT_EQ("VroFile", rt::HivexGet(soft, "\\Classes\\.vro2", "@"));
    EXPECT_EQ("notepad.exe %1",
              rt::HivexGet(soft, "\\Classes\\VroFile\\shell\\open\\command", "@"));
    EXPECT_EQ("yes", rt::HivexGet(soft, "\\Vro", "Mixed"));
    keys = RootKeys(soft);
    EXPECT_EQ(std::string::npos, keys.find("HKEY_CLASSES_ROOT")) << keys;

    // The export of HKEY_CLASSES_ROOT\.vro reads SOFTWARE\Classes\.vro.
    std::wstring out = vt::ToWin(dir) + L"\\classes.reg";
    ASSERT_EQ(DWORD(0), Export(image, out, L"HKEY_CLASSES_ROOT\\.vro"));
    std::string text;
    vt::Sh("iconv -f UTF-16 -t UTF-8 " + vt::Q(vt::ToUnix(out)), &text);
    EXPECT_NE(std::string::npos,
              text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.vro]\r\n@=\"VroFile\""))
        << text;
  }
}

// No root is deleted, mapped or not: a deletion of HKEY_CLASSES_ROOT (all
// of SOFTWARE\Classes), of CurrentControlSet (the control set Windows
// boots, here 2) or of a hive's root is passed over with a line naming it,
// in any case and with a trailing backslash; the keys below stay. Read
// back with hivexget.
TEST(RegistryResult, NoRootIsDeletedMappedOrNot) {
  std::string dir = vt::ScratchDirUnix();
  std::string image = MakeImage(dir, MakeTree(dir, 2), "ntfs");
  ASSERT_EQ(DWORD(0),
            Import(image, WriteReg(dir, "keep.reg",
                                   L"[HKEY_CLASSES_ROOT\\.keep]\r\n@=\"Kept\"\r\n\r\n"
                                   L"[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\Keep]"
                                   L"\r\n\"a\"=\"b\"\r\n")));
  for (const wchar_t* root :
       {L"HKEY_CLASSES_ROOT", L"HKEY_CLASSES_ROOT\\", L"hkey_classes_root",
        L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet",
        L"hkey_local_machine\\system\\currentcontrolset\\", L"HKEY_LOCAL_MACHINE\\SOFTWARE",
        L"HKEY_LOCAL_MACHINE\\SYSTEM"}) {
    SCOPED_TRACE(vt::Narrow(root));
    std::wstring reg = WriteReg(dir, "drop.reg", L"[-" + std::wstring(root) + L"]\r\n");
    std::string printed;
    EXPECT_EQ(DWORD(0),
              RunVro(ImageArgs(vt::ToWin(image)) + L"\"/import:" + reg + L"\"", &printed));
    EXPECT_NE(std::string::npos,
              printed.find(vt::Narrow(reg) + ": line 3: [-" + vt::Narrow(root) +
                           "] names a root of the registry, which is never deleted: passed over"))
        << printed;
    EXPECT_EQ("Kept", rt::HivexGet(Cat(image, "SOFTWARE", dir + "/soft.hiv"), "\\Classes\\.keep",
                                   "@"));
    std::string sys = Cat(image, "SYSTEM", dir + "/sys.hiv");
    EXPECT_EQ("b", rt::HivexGet(sys, "\\ControlSet002\\Services\\Keep", "a"));
    EXPECT_EQ("SYSTEM", rt::HivexGet(sys, "\\Vro", "Hive"));
  }
}

// One reading of registry paths for every command: roots and hive names in
// any case, CurrentControlSet put on the set Select\Current names (1 and
// 2), alike in /importfile:, /import: and /export:. No key named
// CurrentControlSet is made; the export of a CurrentControlSet path reads
// the control set and names it. Read back with hivexget and hivexsh.
TEST(RegistryResult, EveryCommandReadsPathsAlike) {
  for (int current : {1, 2}) {
    SCOPED_TRACE("Select\\Current " + std::to_string(current));
    std::string dir = vt::ScratchSubdirUnix("paths" + std::to_string(current));
    std::string image = MakeImage(dir, MakeTree(dir, current, " --user vro"), "ntfs");
    std::wstring win = vt::ToWin(dir), img = ImageArgs(vt::ToWin(image));
    ASSERT_EQ(0, vt::Sh("printf 'blob' > " + vt::Q(dir + "/blob.bin")));
    char set[32];
    snprintf(set, sizeof set, "\\ControlSet%03d", current);
    struct Case {
      const wchar_t* key;  // as the command line gives it
      const char* hive;    // the file it lands in (Cat)
      std::string stored;  // the key in that hive
    } cases[] = {
        {L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VroFile", "SYSTEM",
         std::string(set) + "\\Services\\VroFile"},
        {L"hkey_local_machine\\SYSTEM\\currentcontrolset\\Services\\VroLow", "SYSTEM",
         std::string(set) + "\\Services\\VroLow"},
        {L"HKEY_LOCAL_MACHINE\\Software\\VroCase", "SOFTWARE", "\\VroCase"},
        {L"HKEY_Current_User\\VroCase", "/Users/vro/NTUSER.DAT", "\\VroCase"},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(vt::Narrow(c.key));
      std::string printed;
      ASSERT_EQ(DWORD(0), RunVro(img + L"\"/importfile:" + c.key + L"\\Blob=" + win +
                                     L"\\blob.bin\"",
                                 &printed))
          << printed;
      std::string hive = Cat(image, c.hive, dir + "/h.hiv");
      EXPECT_EQ("3 626c6f62", ValueBytes(hive, c.stored, "Blob"));
      EXPECT_EQ(std::string::npos, RootKeys(hive).find("CurrentControlSet"));
      // The export of the same path reads it there and names where it lies.
      std::wstring out = win + L"\\out.reg";
      ASSERT_EQ(DWORD(0), Export(image, out, c.key));
      std::string text;
      vt::Sh("iconv -f UTF-16 -t UTF-8 " + vt::Q(vt::ToUnix(out)), &text);
      EXPECT_NE(std::string::npos, text.find(c.stored + "]\r\n\"Blob\"=hex:62,6c,6f,62")) << text;
      // And the import of a .reg in those spellings lands there too.
      ASSERT_EQ(DWORD(0), Import(image, WriteReg(dir, "more.reg",
                                                 L"[" + std::wstring(c.key) + L"]\r\n\"More\"=\"m\"\r\n")));
      hive = Cat(image, c.hive, dir + "/h.hiv");
      EXPECT_EQ("m", rt::HivexGet(hive, c.stored, "More"));
    }
  }
}

// Failures whose cause the program knows name it, never only "failed with
// N": /importfile: of a missing host file, of a folder, into HKEY_USERS and
// into HARDWARE (no hive of the image); /merge of a file that is no
// write-back file, and without -fix:; /repair of a FAT32 volume; /import:
// into a FAT32 volume without room for the grown hive, which stays as it
// was (read back with mcopy and hivexget); a folder the full FAT32 volume
// has no room for (error 112, as a file); /size: out of range, not above
// the volume, of a disk without a partition table; /convert: of a FAT32
// volume and of a disk whose first partition holds FAT16 (its NTFS in the
// second). The images stay byte for byte.
TEST(RegistryResult, CommandFailuresNameTheirCause) {
  std::string dir = vt::ScratchDirUnix();
  std::string ntfs = MakeImage(dir, MakeTree(dir), "ntfs");
  std::string fatDir = dir + "/fat", fatTree = MakeTree(fatDir);
  std::string fat = MakeImage(fatDir, fatTree, "fat32");
  // The FAT volume filled but for 32 KiB.
  std::string free;
  ASSERT_EQ(0, vt::Sh("mdir -i " + vt::Q(fat) + " ::/ | grep 'bytes free' | tr -dc 0-9", &free));
  long long room = atoll(free.c_str()) - 32768;
  ASSERT_GT(room, 0) << free;
  ASSERT_EQ(0, vt::Sh("head -c " + std::to_string(room) + " /dev/zero > " +
                      vt::Q(dir + "/filler") + " && mcopy -i " + vt::Q(fat) + " " +
                      vt::Q(dir + "/filler") + " ::/filler"));
  std::wstring big = L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big]\r\n\"Data\"=hex:";
  for (int i = 0; i < 200000; i++) big += L"00,";
  big += L"00\r\n";
  std::wstring bigReg = WriteReg(dir, "big.reg", big);

  ASSERT_EQ(0, vt::Sh("printf notes > " + vt::Q(dir + "/notes.txt") + " && mkdir -p " +
                      vt::Q(dir + "/folder") + " && for i in $(seq 1 300); do mkdir -p " +
                      vt::Q(dir + "/many") + "/d$i; done"));
  // A disk whose first partition holds FAT16 and its second NTFS.
  const std::string pair = dir + "/pair.img";
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(dir) + " && truncate -s 40M pair.img && printf "
                      "'start=2048,size=20480,type=6\\nstart=22528,type=7\\n' | sfdisk -q "
                      "pair.img && truncate -s 10M fat16.part ntfs.part && mkfs.fat -F 16 -h 2048 "
                      "fat16.part >/dev/null && mkntfs -q -F -Q -p 22528 -H 255 -S 63 ntfs.part "
                      ">/dev/null 2>&1 && dd if=fat16.part of=pair.img bs=512 seek=2048 "
                      "conv=notrunc status=none && dd if=ntfs.part of=pair.img bs=512 seek=22528 "
                      "conv=notrunc status=none"));
  std::wstring win = vt::ToWin(dir), ntfsWin = vt::ToWin(ntfs), fatWin = vt::ToWin(fat);
  const std::wstring pairWin = vt::ToWin(pair);
  const std::string hashes = vt::Sha256(ntfsWin) + vt::Sha256(fatWin) + vt::Sha256(pairWin);
  const std::string ntfsName = vt::Narrow(ntfsWin);
  struct Case {
    std::wstring arguments;
    DWORD result;
    std::string line;
  } cases[] = {
      {ImageArgs(ntfsWin) + L"\"/importfile:HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\v=" + win +
           L"\\missing.bin\"",
       DWORD(-16), "Could not read " + vt::Narrow(win) + "\\missing.bin (error 2"},
      {ImageArgs(ntfsWin) + L"\"/importfile:HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro\\v=" + win +
           L"\\folder\"",
       DWORD(-16), vt::Narrow(win) + "\\folder: a folder, not a file"},
      {ImageArgs(ntfsWin) + L"\"/importfile:HKEY_USERS\\.DEFAULT\\Vro\\v=" + win +
           L"\\notes.txt\"",
       DWORD(-16), "HKEY_USERS\\.DEFAULT\\Vro: no hive of the image holds this key"},
      {ImageArgs(ntfsWin) + L"\"/importfile:HKEY_LOCAL_MACHINE\\HARDWARE\\Vro\\v=" + win +
           L"\\notes.txt\"",
       DWORD(-16), "HKEY_LOCAL_MACHINE\\HARDWARE\\Vro: no hive of the image holds this key"},
      {ImageArgs(ntfsWin, win + L"\\notes.txt") + L"/merge", DWORD(-12),
       vt::Narrow(win) + "\\notes.txt: it holds no overlay of this image"},
      {ImageArgs(ntfsWin) + L"/merge", DWORD(-12),
       vt::Narrow(ntfsWin) + ": no update or write-back file is named to merge into it"},
      {ImageArgs(fatWin) + L"-noupd /repair", DWORD(-2),
       vt::Narrow(fatWin) + ": The volume is not NTFS (FAT or exFAT): nothing was repaired"},
      {ImageArgs(fatWin) + L"\"/inject:\\many::" + win + L"\\many\"", DWORD(-12),
       "(error 112:"},
      {ImageArgs(ntfsWin) + L"-noupd /size:0", DWORD(-13),
       ntfsName + ": a size of 0 MiB: the size must be 1 to 2000000 MiB: not grown"},
      {ImageArgs(ntfsWin) + L"-noupd /size:2000001", DWORD(-13),
       ntfsName + ": a size of 2000001 MiB: the size must be 1 to 2000000 MiB"},
      {ImageArgs(ntfsWin) + L"-noupd /size:10", DWORD(-13),
       ntfsName + ": a size of 10 MiB is not above its volume's (40 MiB"},
      {ImageArgs(ntfsWin) + L"-noupd /size:100", DWORD(-2),
       ntfsName + ": the disk has no partition table (its volume begins at sector 0)"},
      {ImageArgs(win + L"\\copy.vmd") + L"\"/convert:" + fatWin + L"\"", DWORD(-13),
       vt::Narrow(fatWin) +
           ": the volume is FAT or exFAT, not NTFS: only an NTFS volume is copied"},
      {ImageArgs(win + L"\\copy.vmd") + L"\"/convert:" + pairWin + L"\"", DWORD(-13),
       vt::Narrow(pairWin) +
           ": its first partition holds FAT or exFAT, and NTFS lies only in partition 1"},
      {ImageArgs(fatWin) + L"\"/import:" + bigReg + L"\"", DWORD(-16),
       vt::Narrow(bigReg) +
           ": the changed hive file HKEY_LOCAL_MACHINE\\SOFTWARE "
           "(\\Windows\\System32\\config\\SOFTWARE) could not be written back: the volume has "
           "too little room"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(vt::Narrow(c.arguments));
    std::string printed;
    EXPECT_EQ(c.result, RunVro(c.arguments, &printed));
    EXPECT_NE(std::string::npos, printed.find(c.line)) << printed;
    EXPECT_EQ(std::string::npos, printed.find("failed with")) << printed;
    EXPECT_EQ(std::string::npos, printed.find("error 5:")) << printed;
    EXPECT_EQ(hashes, vt::Sha256(ntfsWin) + vt::Sha256(fatWin) + vt::Sha256(pairWin));
  }
  EXPECT_FALSE(vt::FileExists(win + L"\\copy.vmd"));
  ASSERT_EQ(0, vt::Sh("mcopy -n -i " + vt::Q(fat) + " ::/Windows/System32/config/SOFTWARE " +
                      vt::Q(dir + "/soft.hiv")));
  EXPECT_EQ("<missing>", rt::HivexGet(dir + "/soft.hiv", "\\Big", "Data"));
  EXPECT_EQ("SOFTWARE", rt::HivexGet(dir + "/soft.hiv", "\\Vro", "Hive"));
}
