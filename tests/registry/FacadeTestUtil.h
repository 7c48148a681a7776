// Disks holding an offline Windows for the hive-object, facade and identity
// tests: the tree from tests/fixtures/mk-wintree.sh, the disk from
// mk-disk.sh, and ntfscat/hivexget to read hives back independently.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "../image/MountedImageTestUtil.h"
#include "image/stack/MountRw.h"
#include "image/mount/MountedImage.h"
#include "image/stack/RwClass.h"
#include "registry/hive/RegTypes.h"

namespace rt {

const int kDiskMiB = 24;

struct WinDisk {
  std::string dir;  // scratch folder (Linux path)
  std::string tree;
  std::string unixPath;
  std::wstring path;
  long start = 0;
};

// treeOptions go to mk-wintree.sh; extraSetup runs in the tree afterwards.
inline WinDisk MakeWinDisk(const std::string& treeOptions, const std::string& layout = "mbr2048",
                           const std::string& format = "raw", const std::string& extraSetup = "",
                           const std::string& name = "disk.img", const std::string& subdir = "") {
  WinDisk d;
  // A second disk of the same test goes into a folder of its own: a new
  // scratch folder would wipe the first.
  d.dir = subdir.empty() ? vt::ScratchDirUnix() : vt::ScratchSubdirUnix(subdir);
  d.tree = d.dir + "/tree";
  d.unixPath = d.dir + "/" + name;
  d.path = vt::ToWin(d.unixPath);
  EXPECT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(d.tree) + " " + treeOptions));
  if (!extraSetup.empty()) {
    EXPECT_EQ(0, vt::Sh("cd " + vt::Q(d.tree) + " && " + extraSetup));
  }
  std::string out;
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.unixPath) + " --layout " + layout + " --size " +
                              std::to_string(kDiskMiB) + " --format " + format + " --tree " +
                              vt::Q(d.tree),
                          &out));
  d.start = atol(out.c_str());
  return d;
}

// A disk of two NTFS partitions (mk-disk.sh's layout mbr-pair or gpt-pair):
// the Windows tree of the last user alice in the second, partition 1, and
// in the first the profile folder \Users\alice with a copy of the hive the
// tree holds there. start: the second's first sector.
inline WinDisk MakeProfilePairDisk(const std::string& layout, const std::string& subdir = "") {
  WinDisk d;
  d.dir = subdir.empty() ? vt::ScratchDirUnix() : vt::ScratchSubdirUnix(subdir);
  d.tree = d.dir + "/tree";
  d.unixPath = d.dir + "/disk.img";
  d.path = vt::ToWin(d.unixPath);
  const std::string first = d.dir + "/first";
  EXPECT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(d.tree) + " --no-kernel --user alice"));
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(first + "/Users/alice") + " && cp " +
                      vt::Q(d.tree + "/Users/alice/NTUSER.DAT") + " " +
                      vt::Q(first + "/Users/alice/")));
  std::string out;
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.unixPath) + " --layout " + layout + " --size " +
                              std::to_string(kDiskMiB) + " --tree " + vt::Q(d.tree) +
                              " --first-tree " + vt::Q(first),
                          &out));
  d.start = atol(out.c_str());
  return d;
}

// A .reg file in UTF-16 with its byte-order mark.
inline void WriteRegFile(const std::wstring& path, const std::wstring& text) {
  std::vector<uint8_t> bytes = {0xFF, 0xFE};
  for (wchar_t c : text) {
    bytes.push_back((uint8_t)c);
    bytes.push_back((uint8_t)(c >> 8));
  }
  ASSERT_TRUE(vt::WriteAll(path, bytes));
}

// A raw disk copied into a new own sparse image beside it.
inline std::wstring MakeOwnImage(const WinDisk& raw, const wchar_t* name = L"own.vmd") {
  return mi::CopyIntoOwnImage(raw.path, raw.dir, name);
}

// The whole virtual disk of an image (with its overlays) as a raw file.
inline std::string Flatten(const std::wstring& image, const std::wstring& fix,
                           const std::string& outUnix) {
  _VROH_MOUNT_RW disk;
  EXPECT_GE(disk.OpenChain(image.c_str(), fix.empty() ? nullptr : fix.c_str(), 0), 0);
  uint64_t bytes = (uint64_t)disk.DiskBytes();
  std::vector<uint8_t> data((size_t)bytes);
  EXPECT_EQ((int64_t)bytes, disk.ReadBytes(nullptr, 0, data.data(), bytes));
  EXPECT_TRUE(vt::WriteAll(vt::ToWin(outUnix), data));
  return outUnix;
}

// A file of the data partition of a raw disk, extracted with ntfscat.
inline std::string NtfsCat(const WinDisk& d, const std::string& diskUnix,
                           const std::string& ntfsPath, const std::string& outUnix) {
  std::string part = diskUnix + ".part";
  EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(diskUnix) + " of=" + vt::Q(part) +
                      " bs=512 skip=" + std::to_string(d.start) +
                      " count=" + std::to_string(kDiskMiB * 2048) + " status=none"));
  std::string out;
  EXPECT_EQ(0,
            vt::Sh("ntfscat " + vt::Q(part) + " " + vt::Q(ntfsPath) + " > " + vt::Q(outUnix), &out))
      << out;
  return outUnix;
}

// hivexget's answer for one value (its printed form), or "<missing>".
inline std::string HivexGet(const std::string& hive, const std::string& key,
                            const std::string& value) {
  std::string out;
  if (vt::Sh("hivexget " + vt::Q(hive) + " " + vt::Q(key) + " " + vt::Q(value) + " 2>&1", &out) !=
      0)
    return "<missing>";
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// REG_SZ data of a value through the facade, or "<status hex>".
inline std::wstring QueryString(CMountedImage& m, const wchar_t* key, const wchar_t* name) {
  uint32_t type = 0;
  RegValueBuf* buf = nullptr;
  uint32_t st = m.RegQueryValue(key, name, &type, &buf);
  if (st != REG_STATUS_OK) {
    wchar_t t[16];
    _snwprintf(t, 16, L"<%08x>", st);
    t[15] = 0;
    return t;
  }
  std::wstring s((const wchar_t*)buf->data, buf->length / 2);
  free(buf);
  while (!s.empty() && s.back() == 0) s.pop_back();
  return s;
}

inline std::vector<uint8_t> Utf16z(const std::wstring& s) {
  std::vector<uint8_t> b((s.size() + 1) * 2, 0);
  memcpy(b.data(), s.c_str(), s.size() * 2);
  return b;
}

}  // namespace rt
