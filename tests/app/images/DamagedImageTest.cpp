// The program on damaged images: each starts as a clean image made by
// mkfs.fat or mkntfs with a few bytes changed. "/extract:" of the whole
// volume ends with -12, writes nothing outside its target and never more
// than the image holds; a sparse file of 1 TiB comes out with its holes.
#include <gtest/gtest.h>

#include <functional>

#include "../../image/ImagePatch.h"
#include "../../image/TreeCopyTestUtil.h"
#include "../BatchTestUtil.h"

namespace {

struct Damage {
  const char* what;
  const char* fs;
  int sizeMb;
  DWORD code;
  // Changes the clean image; false when the structure is not found.
  std::function<bool(ip::Bytes&, const tc::Image&)> patch;
  // A line the command prints (null: none looked for).
  const char* line;
};

uint64_t HostBytes(const std::string& dir) {
  std::string out;
  vt::Sh("du -s --block-size=1 " + vt::Q(dir) + " | cut -f1", &out);
  return strtoull(out.c_str(), nullptr, 10);
}

TEST(DamagedImage, ExtractEndsWithItsCodeInsideTheTarget) {
  auto fatEntry = [](ip::Bytes& d, const tc::Image& img, const char* name) {
    ip::FatLayout f(d, (size_t)img.start * 512);
    return std::make_pair(f, f.Entry(d, name));
  };
  // \lnk.txt made a symbolic link to VroLinkTarget.txt (substitute name
  // first, 34 bytes, then the print name), its reparse point's field at
  // `at` (from the point's start: 4 the data length, 10 the substitute
  // name's length) set to `value`.
  auto hostileLink = [](ip::Bytes& d, const tc::Image& img, size_t at, uint32_t value) {
    if (!vt::Fixture("mk-foreign-data.sh " + vt::Q(img.unixPath) + " " +
                     std::to_string(img.start) + " link lnk.txt VroLinkTarget.txt"))
      return false;
    d = ip::Bytes(img.path);
    size_t names = d.FindUtf16("VroLinkTarget.txt");
    if (names == ip::kNone || names < 20 || d.U32(names - 20) != 0xA000000Cu) return false;
    d.Put(names - 20 + at, value, 2);
    return true;
  };
  const Damage cases[] = {
      {"FAT32: a short name '..'", "fat32", 40, DWORD(-12),
       [&](ip::Bytes& d, const tc::Image& img) {
         size_t e = fatEntry(d, img, "PWN     TXT").second;
         return d.Set(e, "..         ", 11);
       }},
      {"FAT32: a short name '..\\PWN.TXT'", "fat32", 40, DWORD(-12),
       [&](ip::Bytes& d, const tc::Image& img) {
         size_t e = fatEntry(d, img, "PWN     TXT").second;
         return d.Set(e, "..\\PWN  TXT", 11);
       }},
      {"FAT16: a cluster pointing to itself under a size of 4 GiB", "fat16", 16, DWORD(-12),
       [&](ip::Bytes& d, const tc::Image& img) {
         auto fe = fatEntry(d, img, "BIG     BIN");
         if (fe.second == ip::kNone || fe.first.bits != 16) return false;
         uint32_t c = ip::FatLayout::FirstCluster(d, fe.second);
         fe.first.SetEntry(d, c, c);
         d.Put(fe.second + 28, 0xFFFFFFFF, 4);
         return true;
       }},
      {"NTFS: a folder entry naming its grandparent", "ntfs", 16, DWORD(-12),
       [&](ip::Bytes& d, const tc::Image& img) {
         std::string vol = tc::Volume(img);
         uint32_t a = ip::NtfsInode(vol, "/a"), b = ip::NtfsInode(vol, "/a/b");
         ip::NtfsLayout ntfs(d, (size_t)img.start * 512, (size_t)img.sizeMb << 20);
         size_t ra = ntfs.Record(d, a), rb = ntfs.Record(d, b);
         return a && b && ra != ip::kNone && rb != ip::kNone &&
                ip::RedirectIndexEntry(d, rb, "zzfile.txt", a, ra);
       }},
      {"NTFS: a symbolic link whose data length runs past its reparse point", "ntfs", 16,
       DWORD(-12),
       [&](ip::Bytes& d, const tc::Image& img) { return hostileLink(d, img, 4, 0xFFF0); },
       "Could not read \\lnk.txt (error 1392"},
      {"NTFS: a symbolic link whose substitute name runs past its data", "ntfs", 16, DWORD(-12),
       [&](ip::Bytes& d, const tc::Image& img) { return hostileLink(d, img, 10, 0x7FF0); },
       "Could not read \\lnk.txt (error 1392"},
      {"NTFS: a sparse file of 1 TiB (sound)", "ntfs", 16, 0,
       [](ip::Bytes&, const tc::Image&) { return true; }},
  };
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.what);
    std::string base = vt::ScratchDirUnix();
    std::string tree = base + "/tree";
    ASSERT_EQ(0,
              vt::Sh("mkdir -p " + vt::Q(tree + "/a/b") + " && cd " + vt::Q(tree) +
                     " && printf ok > OK.TXT && printf pwn > PWN.TXT && printf z > a/b/zzfile.txt"
                     " && head -c 10000 /dev/urandom > BIG.BIN" +
                     (std::string(c.fs) == "ntfs" ? " && truncate -s 1T sparse.bin" : "")));
    tc::Image img = tc::MakeImage(c.fs, c.sizeMb, tree, base);
    ip::Bytes disk(img.path);
    ASSERT_TRUE(c.patch(disk, img));
    ASSERT_TRUE(disk.Save());
    ASSERT_EQ(0, vt::Sh("mkdir " + vt::Q(base + "/out")));
    std::string before = tc::ListOutside(base), out;
    EXPECT_EQ(c.code, bt::RunVro(bt::ImageArgs(img.path) + L"\"/extract:\\::" +
                                     vt::ToWin(base + "/out") + L"\"",
                                 &out));
    EXPECT_TRUE(!c.line || out.find(c.line) != std::string::npos) << out;
    EXPECT_EQ(before, tc::ListOutside(base));
    EXPECT_LE(HostBytes(base + "/out"), (uint64_t)img.sizeMb << 20);
    if (!c.code) {
      std::string listing;
      vt::Sh("cd " + vt::Q(base + "/out") + " && find . | sort", &listing);
      EXPECT_NE(std::string::npos, listing.find("./sparse.bin\n")) << listing;
    }
  }
}

// The cluster of the index block that holds one of the names (4 KiB
// clusters and blocks; separated by commas), found by its content.
long IndexBlockHolding(const std::string& vol, const std::string& name) {
  std::string out;
  vt::Sh("python3 -c \"import sys; d = open(sys.argv[1], 'rb').read(); ns = [n.encode('utf-16-le')"
         " for n in sys.argv[2].split(',')]; print(next(c for c in range(len(d) // 4096) if"
         " d[c * 4096:c * 4096 + 4] == b'INDX' and any(n in d[c * 4096:c * 4096 + 4096] for n in"
         " ns)))\" " +
             vt::Q(vol) + " " + vt::Q(name),
         &out);
  return atol(out.c_str());
}

// Damage the tools made dd-style on a volume made by mkntfs: an index block
// of a folder of 400 files, the one block of a folder of hives, a file's
// record, each zeroed. "/extract:" of the whole volume gives -12 and names
// each folder or file it could not read; every other file comes out equal
// to its source.
TEST(DamagedImage, ExtractNamesWhatItCouldNotReadAndTakesTheRest) {
  std::string base = vt::ScratchDirUnix(), tree = base + "/tree";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree) + " && cd " + vt::Q(tree) +
                      " && mkdir -p many flat Windows/System32/config && for i in $(seq 1000 1399);"
                      " do printf m$i > many/file$i.txt; done && for i in $(seq 100 399); do"
                      " printf f$i > flat/f$i.txt; done && cd Windows/System32/config && for h in"
                      " SYSTEM SOFTWARE SAM SECURITY DEFAULT; do head -c 20000 /dev/urandom > $h;"
                      " for x in LOG1 LOG2 regtrans-ms.blf; do printf $h > $h.$x; done; done"));
  tc::Image img = tc::MakeImage("ntfs", 32, tree, base);
  std::string vol = tc::Volume(img);
  uint32_t many = ip::NtfsInode(vol, "/many"), config = ip::NtfsInode(vol, "/Windows/System32/config");
  uint32_t file = ip::NtfsInode(vol, "/flat/f250.txt");
  long manyBlock = IndexBlockHolding(vol, "file1200.txt,file1201.txt,file1202.txt");
  long configBlock = IndexBlockHolding(vol, "SAM.LOG1,SAM.LOG2,DEFAULT.LOG1");
  ASSERT_TRUE(many && config && file && manyBlock > 0 && configBlock > 0);
  ip::Bytes disk(img.path);
  ip::NtfsLayout ntfs(disk, (size_t)img.start * 512, (size_t)img.sizeMb << 20);
  size_t record = ntfs.Record(disk, file);
  ASSERT_NE(ip::kNone, record);
  std::vector<uint8_t> zeros(4096, 0);
  ASSERT_TRUE(disk.Set(record, zeros.data(), 1024));
  for (long cluster : {manyBlock, configBlock})
    ASSERT_TRUE(disk.Set((size_t)img.start * 512 + (size_t)cluster * 4096, zeros.data(), 4096));
  ASSERT_TRUE(disk.Save());
  std::string listed;
  vt::Sh("ntfsls -p /many " + vt::Q(tc::Volume(img)) + " 2>/dev/null | grep -c file", &listed);
  EXPECT_LT(atol(listed.c_str()), 400);  // the tools miss names too

  DWORD code = 0;
  std::string printed;
  ASSERT_TRUE(apptest::RunProgram(
      bt::ImageArgs(img.path) + L"\"/extract:\\::" + vt::ToWin(base + "/out") + L"\"", code,
      &printed));
  EXPECT_EQ(DWORD(-12), code);
  for (const char* name : {"\\many", "\\Windows\\System32\\config", "\\flat\\f250.txt"})
    EXPECT_NE(std::string::npos, printed.find(std::string(name) + " ")) << name << "\n" << printed;
  // Whatever came out is the source's; only the damaged places lack files.
  std::string result;
  EXPECT_EQ(0, vt::Sh("cd " + vt::Q(base) + " && n=0 && for f in $(cd tree && find . -type f);"
                      " do if [ -e out/$f ]; then cmp -s tree/$f out/$f || exit 1; n=$((n + 1));"
                      " else case $f in ./many/*|./Windows/System32/config/*|./flat/f250.txt) ;;"
                      " *) echo missing $f; exit 2;; esac; fi; done; echo $n",
                      &result))
      << result;
  long extracted = atol(result.c_str());
  EXPECT_GT(extracted, 299 + 200);  // all of flat but one, most of many
  EXPECT_LT(extracted, 299 + 400);
}

}  // namespace

namespace {

// The $I30 bitmap of a folder of 400 files marks free every index block
// but the first, while the index still points to them: ntfs-3g's listing
// leaves their names out, its lookup finds them. "/extract:" reads every
// block the index names, takes every file, names the folder whose bitmap
// disagrees and returns 0: nothing is missing.
TEST(DamagedImage, ExtractReadsEveryBlockTheIndexNamesWhateverItsBitmapSays) {
  std::string base = vt::ScratchDirUnix(), tree = base + "/tree";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree + "/many") + " && cd " + vt::Q(tree) +
                      " && for i in $(seq 1000 1399); do printf m$i > many/file$i.txt; done &&"
                      " printf top > top.txt"));
  tc::Image img = tc::MakeImage("ntfs", 32, tree, base);
  uint32_t many = ip::NtfsInode(tc::Volume(img), "/many");
  ip::Bytes disk(img.path);
  ip::NtfsLayout ntfs(disk, (size_t)img.start * 512, (size_t)img.sizeMb << 20);
  size_t bitmap = ntfs.RecordAttribute(disk, many, 0xB0);
  ASSERT_NE(ip::kNone, bitmap);
  ASSERT_EQ(0u, disk.U8(bitmap + 8));  // resident
  size_t value = bitmap + disk.U16(bitmap + 0x14), length = disk.U32(bitmap + 0x10);
  ASSERT_GE(disk.U8(value), 3u);  // several blocks in use
  for (size_t i = 0; i < length; i++) {
    // Bytes under the update sequence stand elsewhere in the record.
    ASSERT_LT((value + i - ntfs.vol) % 512, 510u);
    disk.Put(value + i, i ? 0 : disk.U8(value) & 1, 1);
  }
  ASSERT_TRUE(disk.Save());
  std::string listed;
  vt::Sh("ntfsls -p /many " + vt::Q(tc::Volume(img)) + " 2>/dev/null | grep -c file", &listed);
  EXPECT_LT(atol(listed.c_str()), 400);

  DWORD code = 0;
  std::string printed, diff;
  ASSERT_TRUE(apptest::RunProgram(
      bt::ImageArgs(img.path) + L"\"/extract:\\::" + vt::ToWin(base + "/out") + L"\"", code,
      &printed));
  EXPECT_EQ(0u, code) << printed;
  EXPECT_NE(std::string::npos, printed.find("Index bitmap of \\many ")) << printed;
  EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(tree) + " " + vt::Q(base + "/out"), &diff)) << diff;
}

}  // namespace
