// "/export:" and "/import:" through the real program: a result of 0 means
// the work was done. A hive asked for that cannot be loaded gives -14, an
// import fails as a whole over every hive it touches and leaves the image
// as it was, and what an import accepts the export writes. Read back with
// hivexsh, hivexregedit, ntfscat and mtools.
#include <gtest/gtest.h>

#include "BatchTestUtil.h"

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

std::string Cat(const std::string& image, const std::string& file, const std::string& out) {
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(image) + " " + vt::Q(std::string(kConfig) + file) + " > " +
                      vt::Q(out)));
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
  if (cp1252) EXPECT_EQ(L"\u20ac1", vt::Widen(rt::HivexGet(soft, "\\Vro4", "Euro")));

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
