// Commands on FAT12/16/32 and exFAT volumes that fail are taken back whole,
// as on NTFS: an inject that runs out of room after copying other files, one
// cut off part way through a file, one into the EFI system partition of a
// GPT disk, one into a folder without a free entry left (a FAT12/16 root at
// its fixed entries, a FAT32 folder at 65,536), which a line names once
// before the names it refused (error 82). The image is byte for byte the one before, independent readers
// (mtools, exfat-fuse) list the same files with the same bytes, and fsck
// passes it. A cluster that the allocation map calls free while a file uses
// it is never handed out: the command is refused with a line naming the
// file, and nothing is written.
#include <gtest/gtest.h>

#include <functional>

#include "../../image/ImagePatch.h"
#include "../BatchTestUtil.h"

using namespace bt;

namespace {

const DWORD kFailed = DWORD(-12);

// The test's folder: the one above the image's.
std::string Work(const std::string& image) {
  return image.substr(0, image.rfind('/')) + "/..";
}

std::string FsckProblems(const std::string& image, long start, bool exfat) {
  std::string part = Work(image) + "/fsck.part", out;
  vt::Sh("dd if=" + vt::Q(image) + " of=" + vt::Q(part) + " bs=512 skip=" + std::to_string(start) +
         " status=none");
  int rc = vt::Sh(std::string(exfat ? "fsck.exfat -n " : "fsck.fat -n ") + vt::Q(part), &out);
  return rc == 0 ? std::string() : out;
}

// The files beside the image (no journal or other leftover after the run).
std::string Beside(const std::string& dir) {
  std::string out;
  vt::Sh("cd " + vt::Q(dir) + " && ls -a", &out);
  return out;
}

struct Case {
  const char* what;
  const char* fs;        // mk-disk.sh --fs of the volume written
  const char* layout;    // mk-disk.sh --layout
  int mib;               // the volume's size
  const char* target;    // the inject's volume path
  const char* sources;   // shell run in the source folder
  const char* expected;  // in the output: the file that did not fit
  // Changes the fresh image before the run (the image's bytes, the
  // volume's first byte).
  std::function<void(ip::Bytes&, size_t)> patch;
  int sector = 512;  // the volume's sector size
  const char* cause = nullptr;  // in the output: the line naming why
  const char* format = "";      // more mk-disk.sh options
};

TEST(FatRollback, AFailedInjectLeavesTheVolumeAsItWas) {
  const Case cases[] = {
      {"FAT16: the fourth of four files does not fit", "fat16", "mbr2048", 24, "\\new",
       "for i in 1 2 3 4; do head -c 6500000 /dev/urandom > f$i.bin; done", "\\new\\f"},
      {"FAT32: the fourth of four files does not fit", "fat32", "mbr2048", 40, "\\new",
       "for i in 1 2 3 4; do head -c 11000000 /dev/urandom > f$i.bin; done", "\\new\\f"},
      {"exFAT: the fourth of four files does not fit", "exfat", "mbr2048", 40, "\\new",
       "for i in 1 2 3 4; do head -c 10000000 /dev/urandom > f$i.bin; done", "\\new\\f"},
      {"FAT16 of 4096-byte sectors: the fourth of four files does not fit", "fat16", "mbr2048", 64,
       "\\new", "for i in 1 2 3 4; do head -c 18000000 /dev/urandom > f$i.bin; done", "\\new\\f",
       nullptr, 4096},
      {"exFAT of 4096-byte sectors: the fourth of four files does not fit", "exfat", "mbr2048", 40,
       "\\new", "for i in 1 2 3 4; do head -c 10000000 /dev/urandom > f$i.bin; done", "\\new\\f",
       nullptr, 4096},
      // FSInfo counts every cluster free: the room check passes, and the
      // volume fills up part way through the file.
      {"FAT32: a file cut off part way", "fat32", "mbr2048", 40, "\\new",
       "mkdir sub && head -c 25000000 /dev/urandom > sub/big.bin", "\\new\\sub\\big.bin",
       [](ip::Bytes& d, size_t vol) {
         ip::FatLayout f(d, vol);
         d.Put(vol + 512 + 0x1E8, (d.U32(vol + 0x20) - (f.data - vol) / 512) / d.U8(vol + 0x0D), 4);
       }},
      {"the EFI system partition of a GPT disk", "ntfs", "gpt-esp", 16, "\\::{UEFI}\\new",
       "for i in 1 2 3 4; do head -c 10000000 /dev/urandom > f$i.bin; done", "\\::{UEFI}\\new\\f"},
      // A folder without a free entry left takes no name: the line names
      // it with its entries; the root of FAT12/16 cannot grow, any other
      // folder holds 65,536 at most.
      {"FAT12: the root at its 224 entries", "fat12", "mbr2048", 4, "\\",
       "for i in $(seq 230); do printf $i > f$i.txt; done", "\\f", nullptr, 512,
       "The folder \\ is full: all its 224 entries are taken (a long name takes more than one), "
       "and the root folder of a FAT12 volume cannot grow (its entries are fixed when it is "
       "formatted): no name more goes into it",
       " --root-entries 224"},
      {"FAT16: the root at its 512 entries", "fat16", "mbr2048", 24, "\\",
       "for i in $(seq 520); do printf $i > f$i.txt; done", "\\f", nullptr, 512,
       "The folder \\ is full: all its 512 entries are taken (a long name takes more than one), "
       "and the root folder of a FAT16 volume cannot grow"},
      // \d runs on through the volume's last 2 MiB, each entry past its own
      // an empty file's.
      {"FAT32: a folder at its 65,536 entries", "fat32", "mbr2048", 40, "\\d",
       "printf x > x1.txt && printf y > x2.txt", "\\d\\x",
       [](ip::Bytes& d, size_t vol) {
         ip::FatLayout f(d, vol);
         const uint32_t first = ip::FatLayout::FirstCluster(d, f.Entry(d, "D          "));
         const uint32_t chain = 0x200000 / f.clusterBytes;
         const uint32_t last =
             uint32_t((vol + size_t(d.U32(vol + 0x20)) * 512 - f.data) / f.clusterBytes) + 1;
         uint32_t c = first;
         for (uint32_t k = last - chain + 2; k <= last; c = k++) f.SetEntry(d, c, k);
         f.SetEntry(d, c, 0x0FFFFFFF);
         size_t at = f.Cluster(first);
         while (d.U8(at)) at += 32;
         c = first;
         for (uint32_t n = 0; c != 0x0FFFFFFF; c = d.U32(f.fat + 4 * size_t(c)) & 0x0FFFFFFF) {
           const size_t end = f.Cluster(c) + f.clusterBytes;
           for (at = at > f.Cluster(c) ? at : f.Cluster(c); at < end; at += 32) {
             char name[12];
             snprintf(name, sizeof name, "F%07u   ", ++n);
             d.Set(at, name, 11);
             d.Put(at + 11, 0x20, 1);
           }
         }
       },
       512,
       "The folder \\d is full: all its 65536 entries are taken (a long name takes more than "
       "one), the most a folder of a FAT32 volume holds: no name more goes into it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree", src = dir + "/src",
                      disks = dir + "/disks", image = disks + "/disk.img";
    const bool esp = std::string(c.layout) == "gpt-esp";
    const bool exfat = std::string(c.fs) == "exfat";
    // The volume holds a small tree and, for the part-way case, 20 MB more.
    ASSERT_EQ(0,
              vt::Sh("mkdir -p " + vt::Q(tree + "/d") + " " + vt::Q(src) + " " + vt::Q(disks) +
                     " && printf hello > " + vt::Q(tree + "/a.txt") + " && head -c 100000 " +
                     "/dev/urandom > " + vt::Q(tree + "/d/b.bin") +
                     (c.patch ? " && head -c 20000000 /dev/urandom > " + vt::Q(tree + "/fill.bin")
                              : std::string()) +
                     " && cd " + vt::Q(src) + " && " + c.sources));
    std::string out;
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --fs " + c.fs + " --layout " +
                                c.layout + " --size " + std::to_string(c.mib) + " --sector " +
                                std::to_string(c.sector) + c.format +
                                (esp ? " --esp-size 34 --esp-tree " : " --tree ") + vt::Q(tree),
                            &out));
    // The volume written: the data partition, or the EFI system partition
    // at 2048.
    const long start = esp ? 2048 : atol(out.c_str());
    if (c.patch) {
      ip::Bytes d(vt::ToWin(image));
      c.patch(d, (size_t)start * 512);
      ASSERT_TRUE(d.Save());
    }
    const std::string hash = vt::Sha256(vt::ToWin(image)), files = Beside(disks);
    const std::string view = FatVolumeView(image, start, exfat);
    // fsck finds nothing, or (the FSInfo count changed on purpose) what it
    // found before.
    const std::string fsck = FsckProblems(image, start, exfat);
    EXPECT_TRUE(c.patch || fsck.empty()) << fsck;
    ASSERT_NE(std::string::npos, view.find("./d/b.bin")) << view;

    EXPECT_EQ(kFailed, RunVro(ImageArgs(vt::ToWin(image)) + L"-noupd \"/inject:" +
                                  vt::Widen(c.target) + L"::" + vt::ToWin(src) + L"\"",
                              &out));
    EXPECT_NE(std::string::npos, out.find(std::string("Could not write ") + c.expected)) << out;
    if (c.cause) {
      // Named once, before the first name it refused.
      EXPECT_LT(out.find(c.cause), out.find("Could not write ")) << out;
      EXPECT_EQ(out.find(c.cause), out.rfind(c.cause)) << out;
      EXPECT_NE(std::string::npos, out.find("(error 82: ")) << out;
    }
    EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image))) << "the image changed\n" << out;
    EXPECT_EQ(files, Beside(disks));
    EXPECT_EQ(view, FatVolumeView(image, start, exfat));
    EXPECT_EQ(fsck, FsckProblems(image, start, exfat));
  }
}

// A sparse FAT32 or exFAT image (its volume at sector 63: clusters that do
// not line up with the host's pages) on a host disk with a few MiB free: an
// inject, and a .reg import into its SOFTWARE, that run out of host room
// fail with the host's line first (the image and error 112), and the roll
// back, which must not need host room itself (no hole of the image filled),
// leaves the image byte for byte as before, with no journal beside it.
TEST(FatRollback, AFullHostDiskLeavesTheImageAsItWas) {
  const std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree", small = dir + "/small";
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(tree) + " --no-kernel"));
  ASSERT_EQ(0, vt::Sh("head -c 6000000 /dev/urandom > " + vt::Q(dir + "/one.bin")));
  std::wstring text = L"Windows Registry Editor Version 5.00\r\n\r\n"
                      L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\VroBig]\r\n\"v\"=\"" +
                      std::wstring(1500000, L'z') + L"\"\r\n";
  std::vector<uint8_t> reg = {0xFF, 0xFE};
  for (wchar_t c : text) {
    reg.push_back(uint8_t(c));
    reg.push_back(uint8_t(c >> 8));
  }
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(dir + "/big.reg"), reg));
  const std::wstring image = vt::ToWin(small + "/disk.img");
  const std::string folder = vt::Narrow(vt::ToWin(small)) + "\\";
  const std::pair<std::wstring, DWORD> commands[] = {
      {L"-noupd \"/inject:\\one.bin::" + vt::ToWin(dir + "/one.bin") + L"\"", kFailed},
      {L"-noupd \"/import:" + vt::ToWin(dir + "/big.reg") + L"\"", DWORD(-16)}};
  for (const char* fs : {"fat32", "exfat"}) {
    const std::string made = dir + "/" + fs + "/disk.img";
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/" + fs)));
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(made) + " --fs " + fs +
                            " --layout mbr63 --size 40 --tree " + vt::Q(tree)));
    for (const auto& command : commands) {
      for (int room : {100, 1000, 3000, 5000}) {
        SCOPED_TRACE(std::string(fs) + " " + vt::Narrow(command.first.substr(0, 14)) + " " +
                     std::to_string(room) + " KiB");
        vt::SmallVolume volume(small, "64m");
        ASSERT_TRUE(volume.Mounted());
        ASSERT_NO_FATAL_FAILURE(CopyLeavingRoom(made, small, room));
        std::string printed;
        EXPECT_EQ(command.second, RunVro(ImageArgs(image) + command.first, &printed)) << printed;
        EXPECT_EQ(0u, printed.find("Could not write " + folder)) << printed;
        EXPECT_NE(std::string::npos, printed.substr(0, printed.find('\n')).find(" (error 112"))
            << printed;
        EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(made) + " " + vt::Q(small + "/disk.img")));
        EXPECT_EQ(".\n..\ndisk.img\n", Beside(small));
      }
    }
  }
}

// A cluster of victim.bin (the first file of the volume, 1 MB) marked free:
// in the exFAT allocation bitmap, or, on FAT32, its FAT entry 0 in place of
// the end of its chain (with FSInfo's hint unknown, so the allocator looks
// from the start). An inject that would take that cluster is refused with
// a line naming the file; the image stays byte for byte.
TEST(FatMapDamage, AClusterAFileUsesIsNeverHandedOut) {
  struct MapCase {
    const char* fs;
    const char* map;  // what the line names
  };
  for (const MapCase c : {MapCase{"exfat", "The allocation bitmap"}, MapCase{"fat32", "The FAT"}}) {
    SCOPED_TRACE(c.fs);
    const bool exfat = std::string(c.fs) == "exfat";
    const std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree", disks = dir + "/disks",
                      image = disks + "/disk.img", host = dir + "/new.bin";
    ASSERT_EQ(0,
              vt::Sh("mkdir -p " + vt::Q(tree) + " " + vt::Q(disks) + " && head -c 1000000 " +
                     "/dev/urandom > " + vt::Q(tree + "/victim.bin") + " && printf z > " +
                     vt::Q(tree + "/z.txt") + " && head -c 3000000 /dev/urandom > " + vt::Q(host)));
    std::string out;
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --fs " + c.fs +
                                " --layout mbr2048 --size 40 --tree " + vt::Q(tree),
                            &out));
    const long start = atol(out.c_str());
    {
      ip::Bytes d(vt::ToWin(image));
      const size_t vol = (size_t)start * 512;
      if (exfat) {
        ip::ExfatLayout x(d, vol);
        std::vector<uint32_t> clusters = x.Clusters(d, "victim.bin");
        ASSERT_GT(clusters.size(), 4u);
        ASSERT_NE(ip::kNone, x.bitmap);
        x.SetBit(d, clusters[2], false);
      } else {
        ip::FatLayout f(d, vol);
        size_t e = f.Entry(d, "VICTIM  BIN");
        ASSERT_NE(ip::kNone, e);
        uint32_t last = ip::FatLayout::FirstCluster(d, e);
        while (d.U32(f.fat + (size_t)last * 4) < 0x0FFFFFF8) last = d.U32(f.fat + (size_t)last * 4);
        f.SetEntry(d, last, 0);
        d.Put(vol + 512 + 0x1EC, 0xFFFFFFFF, 4);
      }
      ASSERT_TRUE(d.Save());
    }
    // exfat-fuse still reads the file; mtools refuses the broken chain.
    const std::string hash = vt::Sha256(vt::ToWin(image));
    const std::string view = exfat ? FatVolumeView(image, start, exfat) : "";
    ASSERT_TRUE(!exfat || view.find("./victim.bin") != std::string::npos) << view;
    EXPECT_EQ(kFailed, RunVro(ImageArgs(vt::ToWin(image)) + L"-noupd \"/inject:\\new.bin::" +
                                  vt::ToWin(host) + L"\"",
                              &out));
    EXPECT_NE(std::string::npos,
              out.find(std::string(c.map) + " marks free a cluster that \\victim.bin uses"))
        << out;
    EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image))) << "the image changed\n" << out;
    if (exfat) {
      EXPECT_EQ(view, FatVolumeView(image, start, exfat));
    }
  }
}

}  // namespace

namespace {

// b.bin's chain runs into a.bin's and the two share a.bin's last 72
// clusters: on FAT16, b.bin's cluster before its last 72 links to the
// cluster 72 before a.bin's end (b.bin's own last 72 stay taken, lost); on
// exFAT, b.bin's clusters, in one piece, start there. An inject that
// replaces either file would free the shared clusters and hand them out
// again under the other: it is refused with a line naming both, the image
// stays byte for byte, and mtools or exfat-fuse read b.bin as before.
TEST(FatMapDamage, ACrossLinkedChainIsNeitherFreedNorTaken) {
  for (const char* fs : {"fat16", "exfat"}) {
    SCOPED_TRACE(fs);
    const bool exfat = std::string(fs) == "exfat";
    const std::string dir = vt::ScratchDirUnix() + "/" + fs, tree = dir + "/tree",
                      disks = dir + "/disks", image = disks + "/disk.img", host = dir + "/new.bin";
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree) + " " + vt::Q(disks) + " && cd " + vt::Q(tree) +
                        " && head -c 800000 /dev/urandom > a.bin && head -c 800000 /dev/urandom"
                        " > b.bin && head -c 1000000 /dev/urandom > " +
                        vt::Q(host)));
    std::string out;
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --fs " + fs +
                                " --layout mbr2048 --size 24 --tree " + vt::Q(tree),
                            &out));
    const long start = atol(out.c_str());
    {
      ip::Bytes d(vt::ToWin(image));
      if (exfat) {
        ip::ExfatLayout x(d, (size_t)start * 512);
        std::vector<uint32_t> a = x.Clusters(d, "a.bin");
        ASSERT_GT(a.size(), 72u);
        size_t name = d.FindUtf16("b.bin", x.Cluster(x.root), x.Cluster(x.root) + x.clusterBytes);
        ASSERT_NE(ip::kNone, name);
        const size_t stream = name - 2 - 32, set = stream - 32;
        d.Put(stream + 1, d.U8(stream + 1) | 2, 1);
        d.Put(stream + 20, a[a.size() - 72], 4);
        ip::ExfatLayout::SealSet(d, set);
      } else {
        ip::FatLayout f(d, (size_t)start * 512);
        ASSERT_EQ(16, f.bits);
        auto chain = [&](const char* name) {
          std::vector<uint32_t> c;
          size_t e = f.Entry(d, name);
          EXPECT_NE(ip::kNone, e) << name;
          for (uint32_t k = e == ip::kNone ? 0 : ip::FatLayout::FirstCluster(d, e);
               k >= 2 && k < 0xFFF8 && c.size() < 100000; k = d.U16(f.fat + (size_t)k * 2))
            c.push_back(k);
          return c;
        };
        std::vector<uint32_t> a = chain("A       BIN"), b = chain("B       BIN");
        ASSERT_GT(a.size(), 98u);
        ASSERT_GT(b.size(), 98u);
        f.SetEntry(d, b[b.size() - 73], a[a.size() - 72]);
      }
      ASSERT_TRUE(d.Save());
    }
    const std::string pristine = disks + "/cross.img";
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(image) + " " + vt::Q(pristine)));
    const std::string hash = vt::Sha256(vt::ToWin(image)), view = FatVolumeView(image, start, exfat),
                      fsck = FsckProblems(image, start, exfat);
    // The checker sees the damage, and only the cross-link: the entry set
    // itself is sound.
    EXPECT_NE("", fsck);
    EXPECT_EQ(std::string::npos, fsck.find("checksum")) << fsck;
    for (const char* target : {"a.bin", "b.bin"}) {
      SCOPED_TRACE(target);
      ASSERT_EQ(0, vt::Sh("cp " + vt::Q(pristine) + " " + vt::Q(image)));
      EXPECT_EQ(kFailed, RunVro(ImageArgs(vt::ToWin(image)) + L"-noupd \"/inject:\\" +
                                    vt::Widen(target) + L"::" + vt::ToWin(host) + L"\"",
                                &out));
      size_t line =
          out.find(std::string(" (cross-linked): refused, neither freed nor handed out; ") +
                   (exfat ? "fsck.exfat" : "fsck.fat") + " mends the volume\r\n");
      EXPECT_NE(std::string::npos, line) << out;
      size_t from = out.rfind("Cluster ", line);
      EXPECT_NE(std::string::npos, from) << out;
      if (line != std::string::npos && from != std::string::npos) {
        std::string text = out.substr(from, line - from);
        EXPECT_NE(std::string::npos, text.find(" is in the chains of both \\")) << text;
        EXPECT_NE(std::string::npos, text.find("a.bin")) << text;
        EXPECT_NE(std::string::npos, text.find("b.bin")) << text;
      }
      EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image))) << "the image changed\n" << out;
      EXPECT_EQ(view, FatVolumeView(image, start, exfat));
      EXPECT_EQ(fsck, FsckProblems(image, start, exfat));
    }
  }
}

}  // namespace

namespace {

// The entry set of dup.txt fails its own check: its check value wrong, or
// its name hash wrong under a right check value (readers that go by the
// hash pass it over). No writer makes a second set of the name: an inject
// of dup.txt is refused with a line naming the folder and the check it
// needs, and the image stays byte for byte; with the check value wrong the
// set's name cannot be trusted, so no other name goes into the folder
// either. An up-case table that fails its check value refuses every write
// the same way, the volume's names not known to compare. /check names the
// set or the table.
TEST(FatMapDamage, AnEntrySetThatFailsItsCheckKeepsWritersOut) {
  enum Damage { kCheckValue, kNameHash, kUpcaseTable };
  for (Damage damage : {kCheckValue, kNameHash, kUpcaseTable}) {
    const char* what = damage == kCheckValue ? "check" : damage == kNameHash ? "hash" : "upcase";
    SCOPED_TRACE(what);
    const std::string dir = vt::ScratchDirUnix() + "/" + what, tree = dir + "/tree",
                      disks = dir + "/disks", image = disks + "/disk.img", host = dir + "/new.txt";
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree + "/sub") + " " + vt::Q(disks) + " && cd " +
                        vt::Q(tree) + " && printf old > dup.txt && printf k > sub/keep.txt" +
                        " && printf new > " + vt::Q(host)));
    std::string out;
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) +
                                " --fs exfat --layout mbr2048 --size 24 --tree " + vt::Q(tree),
                            &out));
    const long start = atol(out.c_str());
    {
      ip::Bytes d(vt::ToWin(image));
      ip::ExfatLayout x(d, (size_t)start * 512);
      const size_t set = x.FileEntry(d, "dup.txt");
      ASSERT_NE(ip::kNone, set);
      ASSERT_EQ(0x85u, d.U8(set));
      if (damage == kNameHash) {
        d.Put(set + 32 + 4, d.U16(set + 32 + 4) ^ 0x0101, 2);
        ip::ExfatLayout::SealSet(d, set);
      } else if (damage == kCheckValue) {
        d.Put(set + 2, d.U16(set + 2) ^ 0x0101, 2);
      } else {
        ASSERT_NE(ip::kNone, x.upcaseEntry);
        d.Put(x.upcaseEntry + 4, x.upcaseCheck ^ 1, 4);
      }
      ASSERT_TRUE(d.Save());
    }
    const std::string line =
        damage == kUpcaseTable
            ? "The up-case table of the exFAT volume fails its check value: names cannot be "
              "compared as the volume does, nothing is written to it until it is checked "
              "(fsck.exfat)\r\n"
            : "The folder \\ holds an entry set that fails its check (its check value or its "
              "name hash): nothing is written into the folder until the volume is checked "
              "(fsck.exfat)\r\n";
    const std::string hash = vt::Sha256(vt::ToWin(image));
    std::vector<std::wstring> names = {L"dup.txt", L"DUP.TXT"};
    if (damage != kNameHash) names.push_back(L"other.txt");
    if (damage == kUpcaseTable) names.push_back(L"sub\\n.txt");
    for (const std::wstring& name : names) {
      SCOPED_TRACE(vt::Narrow(name));
      EXPECT_EQ(kFailed, RunVro(ImageArgs(vt::ToWin(image)) + L"-noupd \"/inject:\\" + name +
                                    L"::" + vt::ToWin(host) + L"\"",
                                &out));
      EXPECT_NE(std::string::npos, out.find(line)) << out;
      EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image))) << "the image changed\n" << out;
    }
    // The folder beside it takes files as before.
    if (damage != kUpcaseTable) {
      EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(image)) + L"-noupd \"/inject:\\sub\\n.txt::" +
                               vt::ToWin(host) + L"\"",
                           &out))
          << out;
    }
    EXPECT_EQ(DWORD(-2), RunVro(ImageArgs(vt::ToWin(image)) + L"/check", &out));
    EXPECT_NE(std::string::npos,
              out.find(damage == kNameHash
                           ? "The entry set of dup.txt in the folder \\ has a name hash that "
                             "does not fit its name."
                       : damage == kCheckValue
                           ? "of the folder \\ fails its check value (its name reads \"dup.txt\")."
                           : "The up-case table of the exFAT volume fails its check value."))
        << out;
    EXPECT_NE(std::string::npos,
              out.find("The volume is exFAT: only its names and entry sets were checked."))
        << out;
  }
}

}  // namespace
