// Source disks for the copy tests and the checks of what a copy wrote: the
// standard tree (big.bin, Dir\Sub\small.txt) on an NTFS volume, read back
// from the copy with ntfs-3g's tools, the copy's tables with sgdisk and its
// EFI system partition with fsck.fat and mtools.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "FormatTestUtil.h"
#include "MountedImageTestUtil.h"

namespace ct {

const uint64_t kSector = 512;

// A disk in a scratch subfolder of its own: the standard tree and a page
// file of random bytes on an NTFS volume of megabytes MiB; layout holds
// mk-disk.sh's layout options.
// A gpt-esp layout's EFI system partition holds \EFI\marker.txt and, with
// bcdJson, a boot store \EFI\Microsoft\Boot\BCD made by mk-hive.py from it.
inline mi::Disk MakeSource(const std::string& name, const std::string& layout,
                           const std::string& format = "raw", int megabytes = 24,
                           const std::string& bcdJson = "") {
  mi::Disk d;
  d.dir = vt::ScratchSubdirUnix(name);
  d.tree = d.dir + "/tree";
  d.unixPath = d.dir + (format == "raw" ? "/disk.img" : "/disk.vhd");
  d.path = vt::ToWin(d.unixPath);
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(d.tree + "/Dir/Sub") + " " + vt::Q(d.dir + "/esp/EFI") +
                      " && head -c 2097473 /dev/urandom > " + vt::Q(d.tree + "/big.bin") +
                      " && head -c 1048576 /dev/urandom > " + vt::Q(d.tree + "/pagefile.sys") +
                      " && printf 'small file\\n' > " + vt::Q(d.tree + "/Dir/Sub/small.txt") +
                      " && echo marker > " + vt::Q(d.dir + "/esp/EFI/marker.txt")));
  if (!bcdJson.empty()) {
    std::string boot = d.dir + "/esp/EFI/Microsoft/Boot";
    EXPECT_TRUE(vt::WriteAll(vt::ToWin(d.dir + "/bcd.json"), bcdJson.data(), bcdJson.size()));
    EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(boot) + " && /usr/bin/python3 " +
                        vt::Q(vt::SourceDirUnix() + "/tests/fixtures/mk-hive.py") + " " +
                        vt::Q(boot + "/BCD") + " " + vt::Q(d.dir + "/bcd.json")));
  }
  std::string out;
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.unixPath) + " --layout " + layout +
                              " --esp-tree " + vt::Q(d.dir + "/esp") + " --size " +
                              std::to_string(megabytes) + " --format " + format + " --tree " +
                              vt::Q(d.tree),
                          &out));
  d.start = atol(out.c_str());
  return d;
}

// A new image of the kind a copy writes with the raw flag: a header sector
// in front of the disk. Returns the bare disk beside it (Linux path).
inline std::string BareDisk(const std::wstring& image) {
  std::string disk = vt::ToUnix(image) + ".disk";
  EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(vt::ToUnix(image)) + " of=" + vt::Q(disk) +
                      " bs=512 skip=1 conv=sparse status=none"));
  return disk;
}

// The NTFS volume at [first, first + sectors) of a bare disk holds the
// tree and passes ntfsfix -n.
inline void ExpectTreeOnVolume(const std::string& disk, const mi::Disk& source, uint64_t first,
                               uint64_t sectors) {
  std::wstring path = vt::ToWin(disk);
  std::string out;
  EXPECT_EQ(0, fmt::OnPartition(path, first * kSector, sectors * kSector, "ntfsfix -n $DEV", &out))
      << out;
  for (const char* file : {"big.bin", "Dir/Sub/small.txt"}) {
    std::string command =
        "ntfscat $DEV /" + std::string(file) + " | cmp - " + vt::Q(source.tree + "/" + file);
    EXPECT_EQ(0, fmt::OnPartition(path, first * kSector, sectors * kSector, command, &out))
        << file << ": " << out;
  }
}

// The first MBR entry of a bare disk: start and length in sectors.
inline void FirstEntry(const std::string& disk, uint64_t* start, uint64_t* count) {
  std::vector<uint8_t> mbr = fmt::ReadBytes(vt::ToWin(disk), 0, 512);
  *start = fmt::Le32(&mbr[454]);
  *count = fmt::Le32(&mbr[458]);
}

// sgdisk's verdict and its line for one partition ("First sector: ...").
inline std::string GptInfo(const std::string& disk, int partition) {
  std::string out;
  vt::Sh("sgdisk -i " + std::to_string(partition) + " " + vt::Q(disk), &out);
  return out;
}

inline bool GptClean(const std::string& disk) {
  std::string out;
  vt::Sh("sgdisk -v " + vt::Q(disk), &out);
  return out.find("No problems found") != std::string::npos;
}

inline uint64_t Field(const std::string& info, const std::string& name) {
  size_t at = info.find(name);
  return at == std::string::npos ? ~0ull : strtoull(info.c_str() + at + name.size(), nullptr, 10);
}

}  // namespace ct
