// The program on damaged images: each starts as a clean image made by
// mkfs.fat or mkntfs with a few bytes changed. "/extract:" of the whole
// volume ends with -12, writes nothing outside its target and never more
// than the image holds; a sparse file of 1 TiB comes out with its holes.
#include <gtest/gtest.h>

#include <functional>

#include "../image/ImagePatch.h"
#include "../image/TreeCopyTestUtil.h"
#include "BatchTestUtil.h"

namespace {

struct Damage {
  const char* what;
  const char* fs;
  int sizeMb;
  DWORD code;
  // Changes the clean image; false when the structure is not found.
  std::function<bool(ip::Bytes&, const tc::Image&)> patch;
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
    std::string before = tc::ListOutside(base);
    EXPECT_EQ(c.code, bt::RunVro(bt::ImageArgs(img.path) + L"\"/extract:\\::" +
                                 vt::ToWin(base + "/out") + L"\""));
    EXPECT_EQ(before, tc::ListOutside(base));
    EXPECT_LE(HostBytes(base + "/out"), (uint64_t)img.sizeMb << 20);
    if (!c.code) {
      std::string listing;
      vt::Sh("cd " + vt::Q(base + "/out") + " && find . | sort", &listing);
      EXPECT_NE(std::string::npos, listing.find("./sparse.bin\n")) << listing;
    }
  }
}

}  // namespace
