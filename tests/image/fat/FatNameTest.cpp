// Names: short names and case flags, numbered and hashed short names,
// refused characters, CJK names under code page 936, exFAT checksums and
// name hashes, renames across folders, names as a folder's entries read
// from its first one (past long-name entries left behind, up to the entry
// that ends the folder).
#include "../ImagePatch.h"
#include "FatTestUtil.h"
#include "image/fat/FatInternal.h"

using namespace ft;

namespace {

struct Raw {
  uint8_t e[32];
};

// The raw 32-byte entries of a directory's first cluster (or the FAT12/16 root).
std::vector<Raw> RawEntries(FatWorkArea* fs, uint32_t firstSector, uint32_t sectors) {
  std::vector<Raw> out;
  std::vector<uint8_t> buf(sectors * 512);
  FatFlushVolume(fs);
  EXPECT_EQ(0, FatDiskRead(fs->disk, firstSector, buf.data(), sectors));
  for (uint32_t o = 0; o < buf.size(); o += 32) {
    if (buf[o] == 0) break;
    Raw r;
    memcpy(r.e, &buf[o], 32);
    out.push_back(r);
  }
  return out;
}

std::string Fsck(const std::string& part) {
  std::string o;
  return vt::Sh("fsck.fat -n " + vt::Q(part) + " 2>&1", &o) == 0 ? "" : o;
}

std::string ShortOf(FatWorkArea* fs, const std::wstring& path) {
  FatFileInfo info;
  if (FatStatPath(fs, P(path), &info)) return "?";
  return vt::Narrow(std::wstring((const wchar_t*)info.shortName));
}

TEST(FatNames, ShortNamesCaseFlagsAndLongNameEntries) {
  std::string dir = vt::ScratchDirUnix();
  std::wstring img = MbrDisk(dir, "d.img", 2048, 65536, "6");
  Volume v(img);
  ASSERT_EQ(0, v.Format(1 | 8, 0));
  ASSERT_EQ(0, v.Mount());
  ASSERT_EQ(FAT_TYPE_16, v.fs->fsType);
  ASSERT_EQ(0, v.WriteFile(L"readme.txt", "a", 0x07));
  ASSERT_EQ(0, v.WriteFile(L"ReadMe.doc", "b", 0x07));
  ASSERT_EQ(0, v.WriteFile(L"UPPER.TXT", "c", 0x07));
  ASSERT_EQ(0, v.WriteFile(L"lower.TXT", "d", 0x07));
  EXPECT_EQ(FAT_EXIST, v.WriteFile(L"README.TXT", "e", 0x07));  // same name, other case
  std::vector<Raw> raw = RawEntries(v.fs, v.fs->rootDir, 4);
  ASSERT_EQ(5u, raw.size());
  EXPECT_EQ(0, memcmp(raw[0].e, "README  TXT", 11));
  EXPECT_EQ(0x18, raw[0].e[12]);  // both parts lower case, no long name
  EXPECT_EQ(0x41, raw[1].e[0]);   // ReadMe.doc: one long-name entry
  EXPECT_EQ(0x0F, raw[1].e[11]);
  EXPECT_EQ(0, memcmp(raw[2].e, "README  DOC", 11));
  EXPECT_EQ(FatSfnChecksum(raw[2].e), raw[1].e[13]);
  EXPECT_EQ(0, memcmp(raw[3].e, "UPPER   TXT", 11));
  EXPECT_EQ(0, raw[3].e[12]);
  EXPECT_EQ(0x08, raw[4].e[12]);
  std::string data;
  EXPECT_EQ(0, v.ReadFile(L"README.TXT", &data));
  EXPECT_EQ("a", data);
  v.Close();
  std::string part = Partition(dir + "/d.img", 2048, 65536, dir + "/p.img"), out;
  EXPECT_EQ("", Fsck(part));
  vt::Sh(Mt() + "mdir -b -i " + part + " ::", &out);
  EXPECT_NE(std::string::npos, out.find("::/readme.txt")) << out;
  EXPECT_NE(std::string::npos, out.find("::/ReadMe.doc")) << out;
  EXPECT_NE(std::string::npos, out.find("::/UPPER.TXT")) << out;
  EXPECT_NE(std::string::npos, out.find("::/lower.TXT")) << out;
}

TEST(FatNames, NumberedThenHashedShortNames) {
  std::string dir = vt::ScratchDirUnix();
  std::wstring img = MbrDisk(dir, "d.img", 2048, 204800);
  Volume v(img);
  ASSERT_EQ(0, v.Format(2 | 8, 0));
  ASSERT_EQ(0, v.Mount());
  std::vector<std::string> shorts;
  for (int i = 1; i <= 8; i++) {
    std::wstring name = L"longfilename_" + std::to_wstring(i) + L".txt";
    ASSERT_EQ(0, v.WriteFile(name, std::to_string(i), 0x07));
    shorts.push_back(ShortOf(v.fs, name));
  }
  // A cut name always takes a tail (Windows does so), so no later
  // "longfile.txt" can match it.
  for (int n = 1; n <= 5; n++) EXPECT_EQ("LONGFI~" + std::to_string(n) + ".TXT", shorts[n - 1]);
  for (int i = 5; i < 8; i++) {
    EXPECT_NE(std::string::npos, shorts[i].find('~')) << shorts[i];
    EXPECT_EQ(shorts[i].find("LONGFI~"), std::string::npos) << shorts[i];  // the hash form
    EXPECT_LE(shorts[i].size(), 12u);
  }
  EXPECT_NE(shorts[5], shorts[6]);
  EXPECT_NE(shorts[6], shorts[7]);
  // The short alias opens the file too.
  std::string data;
  EXPECT_EQ(0, v.ReadFile(L"LONGFI~3.TXT", &data));
  EXPECT_EQ("3", data);
  v.Close();
  std::string part = Partition(dir + "/d.img", 2048, 204800, dir + "/p.img"), out;
  EXPECT_EQ("", Fsck(part));
  vt::Sh(Mt() + "mdir -b -i " + part + " ::", &out);
  for (int i = 1; i <= 8; i++)
    EXPECT_NE(std::string::npos, out.find("::/longfilename_" + std::to_string(i) + ".txt")) << out;
}

// A name that lost characters takes a tail even when its plain short form
// is free (as Windows does), so that no later name can match it; a long
// name of the full 255 characters is found again.
TEST(FatNames, LossyNamesTakeATailAndLongestNamesComeBack) {
  std::string dir = vt::ScratchDirUnix();
  std::wstring img = MbrDisk(dir, "d.img", 2048, 204800);
  Volume v(img);
  ASSERT_EQ(0, v.Format(2 | 8, 0));
  ASSERT_EQ(0, v.Mount());
  ASSERT_EQ(0, v.WriteFile(L"my file.txt", "spaced", 0x07));
  EXPECT_EQ("MYFILE~1.TXT", ShortOf(v.fs, L"my file.txt"));
  ASSERT_EQ(0, v.WriteFile(L"myfile.txt", "plain", 0x07));  // new: nothing matched
  EXPECT_EQ("myfile.txt", ShortOf(v.fs, L"myfile.txt"));    // MYFILE.TXT, lower-case flags
  std::string data;
  EXPECT_EQ(0, v.ReadFile(L"my file.txt", &data));
  EXPECT_EQ("spaced", data);

  std::wstring longest = std::wstring(251, L'n') + L".txt";
  ASSERT_EQ(0, v.WriteFile(longest, "255", 0x07));
  EXPECT_EQ(0, v.ReadFile(longest, &data));
  EXPECT_EQ("255", data);
  EXPECT_EQ(FAT_EXIST, v.WriteFile(longest, "again", 0x07));
  EXPECT_EQ(FAT_INVALID_NAME, v.WriteFile(L"x" + longest, "256", 0x07));
  std::map<std::string, uint64_t> tree;
  ASSERT_EQ(0, v.List(L"", &tree));
  EXPECT_EQ(1u, tree.count(vt::Narrow(longest)));
  v.Close();
  std::string part = Partition(dir + "/d.img", 2048, 204800, dir + "/p.img"), out;
  EXPECT_EQ("", Fsck(part));
  vt::Sh(Mt() + "mdir -b -i " + part + " ::", &out);
  EXPECT_NE(std::string::npos, out.find("::/my file.txt")) << out;
  EXPECT_NE(std::string::npos, out.find("::/" + vt::Narrow(longest))) << out;
}

TEST(FatNames, RefusedCharactersAndTrimming) {
  std::string dir = vt::ScratchDirUnix();
  for (unsigned opts : {1u | 8u, 4u | 8u}) {
    std::wstring img = MbrDisk(dir, "d.img", 2048, 65536, "7");
    Volume v(img);
    ASSERT_EQ(0, v.Format(opts, 0));
    ASSERT_EQ(0, v.Mount());
    for (const wchar_t* bad : {L"a*b", L"a?b", L"a:b", L"a<b", L"a>b", L"a|b", L"a\"b",
                               L"a\x01"
                               L"b",
                               L"a\x7F"
                               L"b",
                               L" ", L"..."}) {
      EXPECT_EQ(FAT_INVALID_NAME, v.WriteFile(bad, "x", 0x07)) << vt::Narrow(bad);
      EXPECT_EQ(FAT_INVALID_NAME, FatMakeDirectory(v.fs, P(bad)));
    }
    std::wstring lone(L"a");
    lone += (wchar_t)0xD800;
    EXPECT_EQ(FAT_INVALID_NAME, v.WriteFile(lone, "x", 0x07));
    std::wstring pair = L"emoji";
    pair += (wchar_t)0xD83D;
    pair += (wchar_t)0xDE00;
    EXPECT_EQ(0, v.WriteFile(pair, "x", 0x07));
    EXPECT_EQ(0, v.WriteFile(std::wstring(255, L'n'), "x", 0x07));
    EXPECT_EQ(FAT_INVALID_NAME, v.WriteFile(std::wstring(256, L'n'), "x", 0x07));
    EXPECT_EQ(0, v.WriteFile(L"trailing. . ", "t", 0x07));
    std::string data;
    EXPECT_EQ(0, v.ReadFile(L"trailing", &data));
    EXPECT_EQ("t", data);
    EXPECT_EQ(0, v.WriteFile(L"a+b,c;d=e[f].txt", "s", 0x07));
    EXPECT_EQ(0, v.ReadFile(L"A+B,C;D=E[F].TXT", &data));
    FatFileInfo info;
    EXPECT_EQ(FAT_INVALID_NAME, FatStatPath(v.fs, P(L"\\"), &info));
    EXPECT_EQ(FAT_INVALID_NAME, FatUnlinkPath(v.fs, P(L"/")));
  }
}

TEST(FatNames, CjkNamesUnderCodePage936) {
  std::string dir = vt::ScratchDirUnix();
  std::wstring img = MbrDisk(dir, "d.img", 2048, 65536, "6");
  Volume v(img);
  ASSERT_EQ(0, v.Format(1 | 8, 0));
  ASSERT_EQ(0, v.Mount());
  ASSERT_EQ(0, FatSelectCodePage(936));
  const std::wstring shortCjk = L"\x4E2D\x6587.txt";  // 中文.txt fits 8.3 in GBK
  const std::wstring longCjk = L"\x4E2D\x6587\x957F\x6587\x4EF6\x540D\x6D4B\x8BD5\x6587\x6863.txt";
  ASSERT_EQ(0, v.WriteFile(shortCjk, "short", 0x07));
  ASSERT_EQ(0, v.WriteFile(longCjk, "long", 0x07));
  ASSERT_EQ(0, FatMakeDirectory(v.fs, P(L"\x6587\x4EF6\x5939")));  // 文件夹
  ASSERT_EQ(0, v.WriteFile(L"\x6587\x4EF6\x5939\\\x8BF4\x660E.txt", "inner", 0x07));
  std::vector<Raw> raw = RawEntries(v.fs, v.fs->rootDir, 4);
  std::string gbk;
  vt::Sh(
      "printf '\\344\\270\\255\\346\\226\\207' | iconv -f UTF-8 -t GBK | od -An -tx1 | tr -d ' \\n'",
      &gbk);
  char have[64];
  snprintf(have, sizeof(have), "%02x%02x%02x%02x", raw[0].e[0], raw[0].e[1], raw[0].e[2],
           raw[0].e[3]);
  EXPECT_EQ(gbk, have);
  EXPECT_EQ(0, memcmp(raw[0].e + 4, "    TXT", 7));
  EXPECT_NE(0x0F, raw[0].e[11]);  // no long name needed
  std::string data;
  EXPECT_EQ(0, v.ReadFile(longCjk, &data));
  EXPECT_EQ("long", data);
  v.Close();
  FatSelectCodePage(GetACP());
  std::string part = Partition(dir + "/d.img", 2048, 65536, dir + "/p.img"), out;
  EXPECT_EQ("", Fsck(part));
  // mtools told to read short names in code page 936 sees the same names.
  vt::Sh("printf 'default_codepage=936\\n' > " + dir + "/mtoolsrc");
  vt::Sh("MTOOLSRC=" + dir + "/mtoolsrc LC_ALL=C.UTF-8 " + Mt() + "mdir -/ -b -i " + part + " ::",
         &out);
  EXPECT_NE(std::string::npos, out.find("::/" + vt::Narrow(longCjk) + "\n")) << out;
  EXPECT_NE(std::string::npos, out.find("::/" + vt::Narrow(shortCjk) + "\n")) << out;
  EXPECT_NE(std::string::npos, out.find(vt::Narrow(L"\x6587\x4EF6\x5939/\x8BF4\x660E.txt"))) << out;
}

TEST(FatNames, ExfatSetChecksumAndNameHashMatchOtherWriters) {
  std::string dir = vt::ScratchDirUnix();
  vt::Sh("mkdir -p " + dir + "/src");
  const std::wstring names[] = {L"Hello World.txt",
                                L"\x00DCn\x00EF"
                                L"code_\x540D\x524D.dat",
                                L"A rather long file name spanning three name entries.bin"};
  for (auto& n : names) vt::WriteAll(vt::ToWin(dir + "/src/") + n, "z", 1);
  std::string img = dir + "/x.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + img + " --fs exfat --layout none --size 32 --tree " +
                          dir + "/src"));
  Volume v(vt::ToWin(img));
  ASSERT_EQ(0, v.Mount());
  FatDirObject d;
  ASSERT_EQ(0, FatOpenDirectory(v.fs, &d, P(L"")));
  int seen = 0;
  for (;;) {
    FatFileInfo info;
    ASSERT_EQ(0, FatReadDirectory(v.fs, &d, &info));
    if (!info.name[0]) break;
    // The set just read is in the shared entry-set buffer.
    const uint8_t* set = v.fs->exfatBuffer;
    uint32_t len = 0;
    while (info.name[len]) len++;
    EXPECT_EQ(Ld16(set + 2), FatExfatSetChecksum(set, set[1] + 1u));
    EXPECT_EQ(Ld16(set + 36), FatExfatNameHash(v.fs, info.name, len));
    seen++;
  }
  EXPECT_EQ(3, seen);
  // Our own sets, read by fsck.exfat and exfat-fuse.
  ASSERT_EQ(0, FatMakeDirectory(v.fs, P(L"Neue Ordner \x00C4\x00D6\x00DC")));
  ASSERT_EQ(0,
            v.WriteFile(L"Neue Ordner \x00C4\x00D6\x00DC\\\x00E4\x00F6\x00FC.txt", "umlaut", 0x07));
  ASSERT_EQ(0, FatRenamePath(v.fs, P(L"Hello World.txt"),
                             P(L"Neue Ordner \x00C4\x00D6\x00DC\\Moved Hello.txt")));
  v.Close();
  std::string out;
  EXPECT_EQ(0, vt::Sh("fsck.exfat -n " + img + " 2>&1", &out)) << out;
  EXPECT_EQ(0, vt::Sh("set -e; l=$(losetup -f --show " + img + "); mkdir -p " + dir +
                          "/mnt; "
                          "mount.exfat-fuse -o ro $l " +
                          dir +
                          "/mnt >/dev/null; "
                          "LC_ALL=C.UTF-8 cat " +
                          dir + "/mnt/'Neue Ordner ÄÖÜ'/'äöü.txt' " + dir +
                          "/mnt/'Neue Ordner ÄÖÜ'/'Moved Hello.txt'; umount " + dir +
                          "/mnt; losetup -d $l",
                      &out));
  EXPECT_EQ("umlautz", out);

  // A set whose check value fails: its name cannot be trusted, so nothing
  // goes into its folder, by rename or otherwise; the rest reads on.
  {
    ip::Bytes d(vt::ToWin(img));
    ip::ExfatLayout x(d, 0);
    size_t set = x.FileEntry(d, "A rather long f");
    ASSERT_NE(ip::kNone, set);
    d.Put(set + 2, d.U16(set + 2) ^ 1, 2);
    ASSERT_TRUE(d.Save());
  }
  Volume w(vt::ToWin(img));
  ASSERT_EQ(0, w.Mount());
  const std::wstring moved = L"Neue Ordner \x00C4\x00D6\x00DC\\Moved Hello.txt";
  EXPECT_EQ(FAT_SET_DAMAGED, FatRenamePath(w.fs, P(moved), P(names[2])));
  EXPECT_EQ(FAT_SET_DAMAGED, FatRenamePath(w.fs, P(moved), P(L"fresh.txt")));
  EXPECT_EQ(FAT_SET_DAMAGED, FatMakeDirectory(w.fs, P(L"fresh")));
  EXPECT_EQ(std::wstring(L"\\"), (const wchar_t*)FatDamagedSetFolder(w.fs));
  FatFileInfo info;
  EXPECT_EQ(0, FatStatPath(w.fs, P(moved), &info));
  EXPECT_EQ(0, FatMakeDirectory(w.fs, P(L"Neue Ordner \x00C4\x00D6\x00DC\\fresh")));
  w.Close();

  // A set whose name hash does not fit its name (its check value sealed
  // anew): that name is refused, other names go into the folder, as many
  // as make it grow by clusters, and every name of it is found after.
  {
    ip::Bytes d(vt::ToWin(img));
    size_t name = d.FindUtf16("Moved Hello");
    ASSERT_NE(ip::kNone, name);
    const size_t set = name - 2 - 64;
    ASSERT_EQ(0x85u, d.U8(set));
    d.Put(set + 32 + 4, d.U16(set + 32 + 4) ^ 0x0101, 2);
    ip::ExfatLayout::SealSet(d, set);
    ASSERT_TRUE(d.Save());
  }
  Volume h(vt::ToWin(img));
  ASSERT_EQ(0, h.Mount());
  const std::wstring folder = L"Neue Ordner \x00C4\x00D6\x00DC\\";
  EXPECT_EQ(FAT_SET_DAMAGED, FatStatPath(h.fs, P(moved), &info));
  EXPECT_EQ(FAT_SET_DAMAGED, h.WriteFile(L"Neue Ordner \x00C4\x00D6\x00DC\\MOVED HELLO.TXT", "x"));
  for (int i = 0; i < 150; i++)
    ASSERT_EQ(0, h.WriteFile(folder + L"new file " + std::to_wstring(i) + L".txt", "n", 0x07)) << i;
  for (const std::wstring& n : {std::wstring(L"\x00E4\x00F6\x00FC.txt"), std::wstring(L"fresh"),
                                std::wstring(L"new file 0.txt"), std::wstring(L"new file 149.txt")})
    EXPECT_EQ(0, FatStatPath(h.fs, P(folder + n), &info)) << vt::Narrow(n);
  EXPECT_EQ(FAT_EXIST, h.WriteFile(folder + L"NEW FILE 7.TXT", "x", 0x07));
  std::map<std::string, uint64_t> tree;
  ASSERT_EQ(0, h.List(L"Neue Ordner \x00C4\x00D6\x00DC", &tree));
  EXPECT_EQ(153u, tree.size());
}

// A folder's names are those a read from its first entry finds, however
// the search gets there: a long-name entry left behind names the short
// entry made right after it (its check value fits), and an entry past the
// one that ends the folder counts once a new entry takes that place.
TEST(FatNames, NamesAreWhatTheFolderReadFromItsStartHolds) {
  std::string dir = vt::ScratchDirUnix();
  std::wstring img = MbrDisk(dir, "d.img", 2048, 204800);
  Volume v(img);
  ASSERT_EQ(0, v.Format(2 | 8, 0));
  ASSERT_EQ(0, v.Mount());
  ASSERT_EQ(0, FatMakeDirectory(v.fs, P(L"D")));
  ASSERT_EQ(0, v.WriteFile(L"D\\a.txt", "a", 0x07));
  FatDirObject d;
  ASSERT_EQ(0, FatOpenDirectory(v.fs, &d, P(L"D")));
  const uint32_t sector = ClusterSector(v.fs, d.chain.first);
  FatCloseDirectory(v.fs, &d);
  ASSERT_EQ(0, FatFlushVolume(v.fs));
  // ".", "..", a.txt, then: a long-name entry "long name.txt" for the short
  // name C.TXT, a deleted entry, the end, and HIDDEN.TXT past it.
  uint8_t buf[512];
  ASSERT_EQ(0, FatDiskRead(v.fs->disk, sector, buf, 1));
  ASSERT_EQ(0, memcmp(buf + 64, "A       TXT", 11));
  uint8_t* lfn = buf + 96;
  memset(lfn, 0, 32);
  lfn[0] = 0x41;
  lfn[11] = FAT_ATTR_LFN;
  lfn[13] = FatSfnChecksum((const uint8_t*)"C       TXT");
  const char* text = "long name.txt";
  const int at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (int i = 0; i < 13; i++) lfn[at[i]] = (uint8_t)text[i];
  memset(buf + 128, 0, 96);
  buf[128] = 0xE5;
  memcpy(buf + 192, buf + 64, 32);
  memcpy(buf + 192, "HIDDEN  TXT", 11);
  buf[192 + 12] = 0;
  ASSERT_EQ(0, FatDiskWrite(v.fs->disk, sector, buf, 1));
  ASSERT_EQ(0, v.Mount());

  FatFileInfo info;
  EXPECT_EQ(FAT_NO_FILE, FatStatPath(v.fs, P(L"D\\hidden.txt"), &info));
  EXPECT_EQ(FAT_NO_FILE, FatStatPath(v.fs, P(L"D\\long name.txt"), &info));
  // c.txt takes the deleted entry: the long name before it is its own now.
  ASSERT_EQ(0, v.WriteFile(L"D\\c.txt", "c", 0x07));
  ASSERT_EQ(0, FatStatPath(v.fs, P(L"D\\long name.txt"), &info));
  EXPECT_EQ(L"c.txt", std::wstring((const wchar_t*)info.shortName));
  EXPECT_EQ(FAT_EXIST, v.WriteFile(L"D\\LONG NAME.TXT", "x", 0x07));
  EXPECT_EQ(FAT_NO_FILE, FatStatPath(v.fs, P(L"D\\hidden.txt"), &info));
  // b.txt takes the entry that ended the folder: HIDDEN.TXT is read on.
  ASSERT_EQ(0, v.WriteFile(L"D\\b.txt", "b", 0x07));
  EXPECT_EQ(0, FatStatPath(v.fs, P(L"D\\hidden.txt"), &info));
  EXPECT_EQ(FAT_EXIST, v.WriteFile(L"D\\HIDDEN.TXT", "x", 0x07));
  ASSERT_EQ(0, v.WriteFile(L"D\\e.txt", "e", 0x07));
  // A mount of its own reads the same.
  ASSERT_EQ(0, v.Mount());
  for (const wchar_t* name : {L"a.txt", L"long name.txt", L"c.txt", L"b.txt", L"hidden.txt",
                              L"e.txt"})
    EXPECT_EQ(0, FatStatPath(v.fs, P(std::wstring(L"D\\") + name), &info)) << vt::Narrow(name);
  std::map<std::string, uint64_t> tree;
  ASSERT_EQ(0, v.List(L"D", &tree));
  EXPECT_EQ(5u, tree.size());
}

TEST(FatNames, RenameAcrossFoldersRewritesDotDotAndRefusesOwnSubtree) {
  std::string dir = vt::ScratchDirUnix();
  for (unsigned opts : {2u | 8u, 4u | 8u}) {
    SCOPED_TRACE(opts);
    std::wstring img = MbrDisk(dir, "d.img", 2048, 204800, "7");
    Volume v(img);
    ASSERT_EQ(0, v.Format(opts, 0));
    ASSERT_EQ(0, v.Mount());
    ASSERT_EQ(0, FatMakeDirectory(v.fs, P(L"a")));
    ASSERT_EQ(0, FatMakeDirectory(v.fs, P(L"a\\sub")));
    ASSERT_EQ(0, FatMakeDirectory(v.fs, P(L"b")));
    EXPECT_EQ(FAT_EXIST, FatMakeDirectory(v.fs, P(L"B")));
    ASSERT_EQ(0, v.WriteFile(L"a\\sub\\f.txt", "payload"));
    ASSERT_EQ(0, FatRenamePath(v.fs, P(L"a\\sub"), P(L"b\\Sub2")));
    std::string data;
    EXPECT_EQ(0, v.ReadFile(L"b\\sub2\\f.txt", &data));
    EXPECT_EQ("payload", data);
    FatFileInfo info;
    EXPECT_EQ(FAT_NO_FILE, FatStatPath(v.fs, P(L"a\\sub"), &info));
    if (v.fs->fsType != FAT_TYPE_EXFAT) {
      // ".." of the moved folder names b.
      FatDirObject d;
      ASSERT_EQ(0, FatOpenDirectory(v.fs, &d, P(L"b")));
      uint32_t bCluster = d.chain.first;
      ASSERT_EQ(0, FatOpenDirectory(v.fs, &d, P(L"b\\Sub2")));
      std::vector<Raw> raw = RawEntries(v.fs, ClusterSector(v.fs, d.chain.first), 1);
      ASSERT_GE(raw.size(), 2u);
      EXPECT_EQ(0, memcmp(raw[1].e, "..         ", 11));
      EXPECT_EQ(bCluster, FatEntryCluster(v.fs, raw[1].e));
    }
    // Into itself or below itself: refused, nothing changes.
    EXPECT_EQ(FAT_DENIED, FatRenamePath(v.fs, P(L"b"), P(L"b\\Sub2\\x")));
    EXPECT_EQ(FAT_DENIED, FatRenamePath(v.fs, P(L"b"), P(L"B\\x")));
    EXPECT_EQ(FAT_EXIST, FatRenamePath(v.fs, P(L"b"), P(L"a")));
    EXPECT_EQ(FAT_INVALID_NAME, FatRenamePath(v.fs, P(L""), P(L"c")));
    // A new spelling of the same name is a rename, not a clash.
    EXPECT_EQ(0, FatRenamePath(v.fs, P(L"b"), P(L"B")));
    FatDirObject d;
    ASSERT_EQ(0, FatOpenDirectory(v.fs, &d, P(L"")));
    std::vector<std::string> names;
    for (;;) {
      ASSERT_EQ(0, FatReadDirectory(v.fs, &d, &info));
      if (!info.name[0]) break;
      names.push_back(vt::Narrow((const wchar_t*)info.name));
    }
    EXPECT_EQ((std::vector<std::string>{"a", "B"}), names);
    // A folder that holds something stays.
    EXPECT_EQ(FAT_DENIED, FatUnlinkPath(v.fs, P(L"B\\Sub2")));
    EXPECT_EQ(0, FatUnlinkPath(v.fs, P(L"B\\Sub2\\f.txt")));
    EXPECT_EQ(0, FatUnlinkPath(v.fs, P(L"B\\Sub2")));
    EXPECT_EQ(0, FatUnlinkPath(v.fs, P(L"B")));
    v.Close();
    std::string part = Partition(dir + "/d.img", 2048, 204800, dir + "/p.img"), out;
    if (opts & 4)
      EXPECT_EQ(0, vt::Sh("fsck.exfat -n " + part + " 2>&1", &out)) << out;
    else
      EXPECT_EQ("", Fsck(part));
  }
}

}  // namespace
