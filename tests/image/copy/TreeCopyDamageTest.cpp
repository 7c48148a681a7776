// Extracting from damaged volumes: every case starts from a clean image
// made by mkfs.fat or mkntfs and changes a few bytes of one structure. The
// copy fails (a failed item, so the batch command gives -12), writes
// nothing outside its target and never more host bytes than the image has.
#include <gtest/gtest.h>

#include <functional>

#include "../ImagePatch.h"
#include "../TreeCopyTestUtil.h"
#include "image/copy/TreeCopy.h"

namespace {

using tc::Image;
using tc::Recorder;

// Bytes the host really holds below a folder (holes of sparse files not
// counted).
uint64_t HostBytes(const std::string& dir) {
  std::string out;
  vt::Sh("du -s --block-size=1 " + vt::Q(dir) + " | cut -f1", &out);
  return strtoull(out.c_str(), nullptr, 10);
}

std::string Listing(const std::string& dir) {
  std::string out;
  vt::Sh("cd " + vt::Q(dir) + " && find . -mindepth 1 | sort", &out);
  return out;
}

struct Outcome {
  int result;
  int failed;
  std::string inside;  // what the target holds
  uint64_t hostBytes;
};

// Opens the damaged image and extracts the whole volume into a fresh out/.
Outcome ExtractAll(const Image& img) {
  std::string out = img.dir + "/out";
  vt::Sh("rm -rf " + vt::Q(out) + " && mkdir " + vt::Q(out));
  std::string before = tc::ListOutside(img.dir);
  Outcome o = {-1, 0, "", 0};
  {
    CMountedImage m;
    if (m.OpenImage(img.path.c_str(), nullptr, 0, 0) >= 0) {
      Recorder rec;
      o.result = ExtractToHost(&m, L"\\", vt::ToWin(out).c_str(), tc::Record, &rec);
      o.failed = rec.Count(VCC_FILE_FAILED);
    }
  }
  EXPECT_EQ(before, tc::ListOutside(img.dir));
  o.inside = Listing(out);
  o.hostBytes = HostBytes(out);
  return o;
}

struct Damage {
  const char* what;
  std::function<void(ip::Bytes&, const ip::FatLayout&)> patch;
};

// OK.TXT (one cluster), BIG.BIN (at least three clusters), PWN.TXT and
// SUB\IN.TXT.
Image FatImage(const std::string& fs) {
  std::string base = vt::ScratchDirUnix();
  std::string tree = base + "/tree";
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree + "/SUB") + " && cd " + vt::Q(tree) +
                      " && printf ok > OK.TXT && printf in > SUB/IN.TXT && printf pwn > PWN.TXT"
                      " && head -c 10000 /dev/urandom > BIG.BIN"));
  return tc::MakeImage(fs, fs == "fat32" ? 40 : 16, tree, base);
}

// Each case on a fresh copy of the clean image; `kept` must still come out,
// nothing of `gone`.
void RunFatCases(const std::string& fs, const std::vector<Damage>& cases,
                 const std::vector<std::string>& kept, const std::string& gone) {
  Image img = FatImage(fs);
  ip::Bytes clean(img.path);
  ip::FatLayout fat(clean, (size_t)img.start * 512);
  ASSERT_EQ(fs == "fat32" ? 32 : 16, fat.bits);
  for (const char* name : {"BIG     BIN", "PWN     TXT", "SUB        "})
    ASSERT_NE(ip::kNone, fat.Entry(clean, name)) << name;
  for (const Damage& d : cases) {
    SCOPED_TRACE(fs + ": " + d.what);
    ip::Bytes disk = clean;
    d.patch(disk, fat);
    ASSERT_NE(clean.b, disk.b);
    ASSERT_TRUE(disk.Save());
    Outcome o = ExtractAll(img);
    EXPECT_EQ(0, o.result);
    EXPECT_GE(o.failed, 1);
    for (const std::string& k : kept)
      EXPECT_NE(std::string::npos, o.inside.find("./" + k + "\n")) << o.inside;
    EXPECT_EQ(std::string::npos, o.inside.find(gone)) << o.inside;
    EXPECT_LE(o.hostBytes, (uint64_t)img.sizeMb << 20);
  }
}

TEST(TreeCopyDamage, FatChainsThatLoopFallShortOrLeaveTheTable) {
  for (const std::string fs : {"fat16", "fat32"}) {
    auto big = [](ip::Bytes& d, const ip::FatLayout& f) { return f.Entry(d, "BIG     BIN"); };
    std::vector<Damage> cases = {
        {"a cluster that points to itself under a size of 4 GiB",
         [&](ip::Bytes& d, const ip::FatLayout& f) {
           size_t e = big(d, f);
           uint32_t c = ip::FatLayout::FirstCluster(d, e);
           f.SetEntry(d, c, c);
           d.Put(e + 28, 0xFFFFFFFF, 4);
         }},
        {"a loop back to the first cluster",
         [&](ip::Bytes& d, const ip::FatLayout& f) {
           size_t e = big(d, f);
           uint32_t c = ip::FatLayout::FirstCluster(d, e);
           f.SetEntry(d, c + 1, c);
         }},
        {"a chain that ends after one of three clusters",
         [&](ip::Bytes& d, const ip::FatLayout& f) {
           size_t e = big(d, f);
           f.SetEntry(d, ip::FatLayout::FirstCluster(d, e), f.bits == 16 ? 0xFFFF : 0x0FFFFFFF);
         }},
        {"a size larger than the volume",
         [&](ip::Bytes& d, const ip::FatLayout& f) { d.Put(big(d, f) + 28, 0x7FFFFFFF, 4); }},
        {"first cluster 0 under a size",
         [&](ip::Bytes& d, const ip::FatLayout& f) { f.SetFirstCluster(d, big(d, f), 0); }},
        {"first cluster 1",
         [&](ip::Bytes& d, const ip::FatLayout& f) { f.SetFirstCluster(d, big(d, f), 1); }},
        {"first cluster past the table",
         [&](ip::Bytes& d, const ip::FatLayout& f) {
           f.SetFirstCluster(d, big(d, f), f.bits == 16 ? 0xFFF0 : 0x0FFFFFF0);
         }},
    };
    RunFatCases(fs, cases, {"OK.TXT", "PWN.TXT", "SUB/IN.TXT"}, "BIG");
  }
}

TEST(TreeCopyDamage, FatEntriesThatNameOrReachOutsideTheirFolder) {
  for (const std::string fs : {"fat16", "fat32"}) {
    auto rename = [](const char* to) {
      return
          [to](ip::Bytes& d, const ip::FatLayout& f) { d.Set(f.Entry(d, "PWN     TXT"), to, 11); };
    };
    auto sub = [](ip::Bytes& d, const ip::FatLayout& f) { return f.Entry(d, "SUB        "); };
    std::vector<Damage> names = {
        {"a short name '..'", rename("..         ")},
        {"a short name '.'", rename(".          ")},
        {"a short name '..\\PWN.TXT'", rename("..\\PWN  TXT")},
        {"a short name 'A/B'", rename("A/B        ")},
    };
    // A name that is no name of its folder makes the folder unreadable.
    RunFatCases(fs, names, {}, "PWN");
    std::vector<Damage> folders = {
        {"a folder whose first cluster is 0 (the root)",
         [&](ip::Bytes& d, const ip::FatLayout& f) { f.SetFirstCluster(d, sub(d, f), 0); }},
        {"a folder whose chain loops",
         [&](ip::Bytes& d, const ip::FatLayout& f) {
           uint32_t c = ip::FatLayout::FirstCluster(d, sub(d, f));
           f.SetEntry(d, c, c);
         }},
        {"a folder whose first cluster is past the table",
         [&](ip::Bytes& d, const ip::FatLayout& f) {
           f.SetFirstCluster(d, sub(d, f), f.bits == 16 ? 0xFFF0 : 0x0FFFFFF0);
         }},
    };
    RunFatCases(fs, folders, {"OK.TXT", "PWN.TXT"}, "IN.TXT");
  }
}

TEST(TreeCopyDamage, FatFolderHoldingItsParentStopsAtThePathLimit) {
  Image img = FatImage("fat32");
  ip::Bytes disk(img.path);
  ip::FatLayout fat(disk, (size_t)img.start * 512);
  // SUB's first cluster becomes the root's: \SUB\SUB\SUB... without end.
  fat.SetFirstCluster(disk, fat.Entry(disk, "SUB        "), fat.rootCluster);
  ASSERT_TRUE(disk.Save());
  Outcome o = ExtractAll(img);
  EXPECT_EQ(0, o.result);
  EXPECT_GE(o.failed, 1);
  EXPECT_LE(o.hostBytes, (uint64_t)img.sizeMb << 20);
}

// \a\b\zzfile.txt, whose index entry in b is made a folder entry that names
// a's MFT record: \a\b\zzfile.txt\b\zzfile.txt... is a cycle.
TEST(TreeCopyDamage, NtfsFolderEntryPointingBackToAnAncestor) {
  std::string base = vt::ScratchDirUnix();
  std::string tree = base + "/tree";
  ASSERT_EQ(0,
            vt::Sh("mkdir -p " + vt::Q(tree + "/a/b") + " && printf z > " +
                   vt::Q(tree + "/a/b/zzfile.txt") + " && printf ok > " + vt::Q(tree + "/ok.txt")));
  Image img = tc::MakeImage("ntfs", 16, tree, base);
  std::string vol = tc::Volume(img);
  uint32_t a = ip::NtfsInode(vol, "/a"), b = ip::NtfsInode(vol, "/a/b");
  ASSERT_NE(0u, a);
  ASSERT_NE(0u, b);
  ip::Bytes disk(img.path);
  ip::NtfsLayout ntfs(disk, (size_t)img.start * 512, (size_t)img.sizeMb << 20);
  size_t ra = ntfs.Record(disk, a), rb = ntfs.Record(disk, b);
  ASSERT_NE(ip::kNone, ra);
  ASSERT_NE(ip::kNone, rb);
  ASSERT_TRUE(ip::RedirectIndexEntry(disk, rb, "zzfile.txt", a, ra));
  ASSERT_TRUE(disk.Save());

  Outcome o = ExtractAll(img);
  EXPECT_EQ(0, o.result);
  EXPECT_GE(o.failed, 1);
  EXPECT_NE(std::string::npos, o.inside.find("./ok.txt\n")) << o.inside;
  EXPECT_LE(o.hostBytes, (uint64_t)img.sizeMb << 20);
}

// A 1 TiB sparse file on a 16 MiB volume (ntfs-3g makes it with truncate)
// comes out as a 1 TiB host file that holds only what is stored; the same
// run made a stored one claims more clusters than the volume has and is
// refused before anything is written.
TEST(TreeCopyDamage, NtfsTebibyteRunsAreHolesOrRefused) {
  std::string base = vt::ScratchDirUnix();
  std::string tree = base + "/tree";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree) + " && printf ok > " + vt::Q(tree + "/ok.txt") +
                      " && truncate -s 1T " + vt::Q(tree + "/sparse.bin")));
  Image img = tc::MakeImage("ntfs", 16, tree, base);
  std::string vol = tc::Volume(img);
  uint32_t n = ip::NtfsInode(vol, "/sparse.bin");
  ASSERT_NE(0u, n);

  Outcome o = ExtractAll(img);
  EXPECT_EQ(1, o.result);
  EXPECT_EQ(0, o.failed);
  EXPECT_NE(std::string::npos, o.inside.find("./sparse.bin\n")) << o.inside;
  std::string size;
  vt::Sh("stat -c %s " + vt::Q(img.dir + "/out/sparse.bin"), &size);
  EXPECT_EQ("1099511627776\n", size);
  EXPECT_LE(o.hostBytes, (uint64_t)img.sizeMb << 20);

  // The run's mapping pair "04 00 00 00 10" (four length bytes: 2^28
  // clusters, no offset: a hole) becomes "13 ff ff 7f 01": 0x7fffff
  // stored clusters from cluster 1.
  ip::Bytes disk(img.path);
  ip::NtfsLayout ntfs(disk, (size_t)img.start * 512, (size_t)img.sizeMb << 20);
  size_t data = ntfs.RecordAttribute(disk, n, 0x80);
  ASSERT_NE(ip::kNone, data);
  ASSERT_EQ(1, disk.b[data + 8]);  // non-resident
  size_t pairs = data + disk.U16(data + 0x20);
  ASSERT_EQ(0x04, disk.b[pairs]);
  const uint8_t stored[6] = {0x13, 0xFF, 0xFF, 0x7F, 0x01, 0x00};
  memcpy(&disk.b[pairs], stored, sizeof stored);
  ASSERT_TRUE(disk.Save());
  o = ExtractAll(img);
  EXPECT_EQ(0, o.result);
  EXPECT_EQ(1, o.failed);
  EXPECT_EQ(std::string::npos, o.inside.find("sparse.bin")) << o.inside;
  EXPECT_NE(std::string::npos, o.inside.find("./ok.txt\n")) << o.inside;
  EXPECT_LE(o.hostBytes, (uint64_t)img.sizeMb << 20);
}

}  // namespace
