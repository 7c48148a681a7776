// Disks for the FAT volume tests: FAT32 and exFAT made by mkfs.fat and
// mkfs.exfat (filled by mtools or exfat-fuse), or by our own formatter and
// filled through CFatVolume; NTFS twins of the same tree for comparison.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FileTimes.h"
#include "TestSupport.h"
#include "image/mount/FatVolume.h"
#include "image/stack/MountRw.h"
#include "image/mount/MountedImage.h"

namespace fv {

inline std::string Mt() {
  return "MTOOLS_SKIP_CHECK=1 ";
}

struct Disk {
  std::string dir;   // scratch folder (Linux path)
  std::string tree;  // the host tree the volume holds
  std::string unixPath;
  std::wstring path;
  long start = 0;  // first sector of the data partition
  long sectors = 0;
};

const long kDataMiB = 64;

// The standard tree: big.bin (2 MiB + 321 random bytes), Dir\Sub\small.txt,
// Empty\ (empty folder).
inline std::string MakeTree(const std::string& dir) {
  std::string tree = dir + "/tree";
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree + "/Dir/Sub") + " " + vt::Q(tree + "/Empty") +
                      " && cd " + vt::Q(tree) + " && head -c 2097473 /dev/urandom > big.bin" +
                      " && printf 'small file\\n' > Dir/Sub/small.txt"));
  return tree;
}

// A disk made by the fixture kit: fs ntfs, fat16, fat32 or exfat, MBR at
// 2048, the volume of `sector`-byte sectors. A test with two disks gives
// each its own folder (dir); by default the disk lies in the test's scratch
// folder, which is made anew on each call.
inline Disk ToolDisk(const std::string& fs, const std::string& layout = "mbr2048",
                     const std::string& dir = "", int sector = 512) {
  Disk d;
  d.dir = dir.empty() ? vt::ScratchDirUnix() : dir;
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(d.dir)));
  d.tree = MakeTree(d.dir);
  d.unixPath = d.dir + "/disk.img";
  d.path = vt::ToWin(d.unixPath);
  std::string out;
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.unixPath) + " --fs " + fs + " --layout " +
                              layout + " --size " + std::to_string(kDataMiB) + " --sector " +
                              std::to_string(sector) + " --tree " + vt::Q(d.tree),
                          &out));
  d.start = atol(out.c_str());
  d.sectors = kDataMiB * 2048;
  return d;
}

// Copies a host file into the volume through CFatVolume.
inline void PutHostFile(CFatVolume& v, const std::string& host, const wchar_t* path) {
  std::vector<uint8_t> data;
  ASSERT_TRUE(vt::ReadAll(vt::ToWin(host), data));
  ASSERT_EQ(data.size(), v.WriteFile(path, data.data(), 0, data.size())) << vt::Narrow(path);
}

// A disk with one blank MBR partition, formatted by our formatter (type 2
// FAT32, 4 exFAT) and filled with the standard tree through CFatVolume.
inline Disk OwnDisk(unsigned type) {
  Disk d;
  d.dir = vt::ScratchDirUnix();
  d.tree = MakeTree(d.dir);
  d.unixPath = d.dir + "/disk.img";
  d.path = vt::ToWin(d.unixPath);
  d.start = 2048;
  d.sectors = kDataMiB * 2048;
  EXPECT_EQ(0, vt::Sh("truncate -s " + std::to_string((d.start + d.sectors + 2048) * 512) + " " +
                      vt::Q(d.unixPath) + " && printf 'label: dos\\nstart=2048, size=" +
                      std::to_string(d.sectors) + ", type=" + (type == 4 ? "7" : "c") +
                      "\\n' | sfdisk -q " + vt::Q(d.unixPath) + " >/dev/null"));
  _VROH_MOUNT_RW disk;
  EXPECT_GE(disk.OpenChain(d.path.c_str(), nullptr, 2), 0);
  CFatVolume v;
  // Nothing to mount yet: the disk stays attached for the formatter.
  EXPECT_EQ(-1, v.MountShared(&disk, 1));
  // 64 MiB holds too few clusters of the automatic size for FAT32.
  EXPECT_EQ(1, v.Format(type, type == 2 ? 512 : 0));
  EXPECT_EQ(type == 4 ? 4 : 3, v.FileSystemType());
  EXPECT_EQ(1, v.CreateDirectories(L"\\Dir\\Sub"));
  EXPECT_EQ(1, v.CreateDirectory(L"\\Empty"));
  PutHostFile(v, d.tree + "/big.bin", L"\\big.bin");
  PutHostFile(v, d.tree + "/Dir/Sub/small.txt", L"\\Dir\\Sub\\small.txt");
  v.Release();
  EXPECT_EQ(0, disk.Flush());
  return d;
}

// The data partition cut out of a raw disk.
inline std::string CutPartition(const Disk& d, long start, long sectors, const std::string& name) {
  std::string part = d.dir + "/" + name;
  EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(d.unixPath) + " of=" + vt::Q(part) +
                      " bs=512 skip=" + std::to_string(start) +
                      " count=" + std::to_string(sectors) + " status=none"));
  return part;
}

// fsck of a cut-out FAT or exFAT volume, read-only; "" when clean, else its output.
inline std::string FsckProblems(const std::string& part, bool exfat) {
  std::string out;
  int rc = vt::Sh(std::string(exfat ? "fsck.exfat -n " : "fsck.fat -n ") + vt::Q(part), &out);
  return rc == 0 ? std::string() : out.empty() ? std::string("failed") : out;
}

using vt::Ft;
using vt::U64;

}  // namespace fv
