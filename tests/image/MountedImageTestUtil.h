// Disks for the mounted-image tests: made by the fixture kit (mkntfs, sfdisk,
// sgdisk, qemu-img) and, for the own sparse format, copied into a new own
// image through the device stack.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "image/stack/MountRw.h"
#include "image/mount/MountedImage.h"
#include "image/stack/RwClass.h"

namespace mi {

struct Disk {
  std::string dir;   // scratch folder (Linux path)
  std::string tree;  // what the volume was filled from
  std::string unixPath;
  std::wstring path;
  long start = 0;
};

// The standard tree: big.bin (2 MiB + 321 random bytes), Dir\Sub\small.txt,
// Empty\. extraSetup runs in the tree folder first.
inline Disk MakeDisk(const std::string& layout, const std::string& format = "raw",
                     const std::string& extraSetup = "", const std::string& name = "disk.img") {
  Disk d;
  d.dir = vt::ScratchDirUnix();
  d.tree = d.dir + "/tree";
  d.unixPath = d.dir + "/" + name;
  d.path = vt::ToWin(d.unixPath);
  std::string setup = "mkdir -p " + vt::Q(d.tree + "/Dir/Sub") + " " + vt::Q(d.tree + "/Empty") +
                      " && cd " + vt::Q(d.tree) + " && head -c 2097473 /dev/urandom > big.bin" +
                      " && printf 'small file\\n' > Dir/Sub/small.txt";
  if (!extraSetup.empty()) setup += " && " + extraSetup;
  EXPECT_EQ(0, vt::Sh(setup));
  std::string out;
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.unixPath) + " --layout " + layout +
                              " --size 24 --format " + format + " --tree " + vt::Q(d.tree),
                          &out));
  d.start = atol(out.c_str());
  return d;
}

// Copies a raw disk file into a new own sparse image in dirUnix (zero runs
// stay unallocated). Returns the new image's path.
inline std::wstring CopyIntoOwnImage(const std::wstring& rawPath, const std::string& dirUnix,
                                     const wchar_t* name = L"own.vmd") {
  std::wstring own = vt::ToWin(dirUnix) + L"\\" + name;
  std::vector<uint8_t> data;
  EXPECT_TRUE(vt::ReadAll(rawPath, data));
  uint32_t mib = (uint32_t)((data.size() + (1 << 20) - 1) >> 20);
  EXPECT_EQ(0, _VROH_RW_CLASS::Create(own.c_str(), mib, 6));
  _VROH_MOUNT_RW disk;
  EXPECT_GE(disk.OpenChain(own.c_str(), nullptr, 2), 0);
  const size_t run = 64 * 1024;
  for (size_t at = 0; at < data.size(); at += run) {
    size_t n = data.size() - at < run ? data.size() - at : run;
    bool zero = true;
    for (size_t i = 0; i < n && zero; i++) zero = data[at + i] == 0;
    if (!zero || at == 0) {
      EXPECT_EQ((int64_t)n, disk.WriteBytes(nullptr, at, &data[at], n));
    }
  }
  EXPECT_EQ(0, disk.Flush());
  return own;
}

inline std::wstring MakeOwnImage(const Disk& raw, const wchar_t* name = L"own.vmd") {
  return CopyIntoOwnImage(raw.path, raw.dir, name);
}

inline std::vector<char> ReadWhole(CMountedImage& m, const wchar_t* path) {
  uint64_t size = 0;
  EXPECT_EQ(1, m.GetFileInfo(path, nullptr, nullptr, nullptr, nullptr, &size)) << vt::Narrow(path);
  std::vector<char> data((size_t)size);
  if (size) {
    EXPECT_EQ(size, m.ReadFile(path, data.data(), 0, size));
  }
  return data;
}

// True when data equals the host file (compared by cmp, written beside it).
inline bool SameAsHostFile(const std::vector<char>& data, const std::string& hostFile) {
  std::string ours = hostFile + ".ours";
  vt::WriteAll(vt::ToWin(ours), data.data(), data.size());
  return vt::Sh("cmp " + vt::Q(ours) + " " + vt::Q(hostFile)) == 0;
}

// The data partition cut out of a raw disk, for the ntfs-3g tools.
inline std::string CutPartition(const Disk& d, const std::string& diskUnix) {
  std::string part = diskUnix + ".part";
  EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(diskUnix) + " of=" + vt::Q(part) +
                      " bs=512 skip=" + std::to_string(d.start) +
                      " count=" + std::to_string(24 * 2048) + " status=none"));
  return part;
}

}  // namespace mi
