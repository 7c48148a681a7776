// Images and checks for the tests that run the program in batch mode: disks
// of every kind made by the fixture kit around an offline Windows tree,
// whole-disk copies for the independent readers (qemu-img, ntfscat, mcopy,
// hivex), and the program's runs with their full exit codes.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../registry/FacadeTestUtil.h"
#include "ProgramImage.h"
#include "TestSupport.h"

namespace bt {

// The image kinds the operations are run on.
struct Kind {
  const char* name;
  const char* layout;  // mk-disk.sh --layout
  const char* format;  // mk-disk.sh --format
  bool fat;            // FAT32 instead of NTFS
  bool own;            // copied into the own sparse format
  bool writeBack;      // every change goes to a write-back file
};

struct Disk {
  Kind kind;
  std::string dir;    // scratch folder (Linux)
  std::string tree;   // the tree the volume was filled from
  std::string disks;  // folder of the image and its overlays (Linux)
  std::string image;  // the image file (Linux)
  long start = 0;     // first LBA of the data partition
  int mib = 0;        // size of the data partition

  std::wstring Win(const std::string& unixPath) const { return vt::ToWin(unixPath); }
  std::wstring ImageWin() const { return vt::ToWin(image); }
  std::string FixUnix() const { return disks + "/wks.fix"; }
};

// Files of the offline Windows tree beyond mk-wintree.sh's hives.
inline std::string TreeExtras() {
  return "mkdir -p 'Program Files/App/Lang' Users/Public && "
         "printf 'read me\\r\\n' > 'Program Files/App/readme.txt' && "
         "head -c 300001 /dev/urandom > 'Program Files/App/data.bin' && "
         "printf 'zh' > 'Program Files/App/Lang/zh.txt' && "
         "printf 'notes' > Users/Public/notes.txt";
}

// Makes the disk of a kind from a fresh Windows tree in the test's scratch
// folder (or in dir, made empty). The SYSTEM hive gets a key of every value
// form (tests/app/reg-tool.py enrich).
inline Disk MakeDisk(const Kind& kind, const std::string& dir = "") {
  Disk d;
  d.kind = kind;
  if (dir.empty()) {
    d.dir = vt::ScratchDirUnix();
  } else {
    d.dir = dir;
    EXPECT_EQ(0, vt::Sh("rm -rf " + vt::Q(dir) + " && mkdir -p " + vt::Q(dir)));
  }
  d.tree = d.dir + "/tree";
  d.disks = d.dir + "/disks";
  d.mib = kind.fat ? 40 : 24;
  EXPECT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(d.tree) + " --no-kernel"));
  EXPECT_EQ(
      0, vt::Sh("mkdir -p " + vt::Q(d.disks) + " && cd " + vt::Q(d.tree) + " && " + TreeExtras() +
                " && /usr/bin/python3 " + vt::Q(vt::SourceDirUnix() + "/tests/app/reg-tool.py") +
                " enrich Windows/System32/config/SYSTEM"));
  std::string raw = d.disks + (kind.own ? "/disk.raw"
                                        : std::string("/disk.") +
                                              (std::string(kind.format) == "raw" ? "img" : "vhd"));
  std::string out;
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(raw) + " --layout " + kind.layout + " --format " +
                              kind.format + " --size " + std::to_string(d.mib) + " --fs " +
                              (kind.fat ? "fat32" : "ntfs") + " --tree " + vt::Q(d.tree),
                          &out));
  d.start = atol(out.c_str());
  d.image = raw;
  if (kind.own) {
    rt::WinDisk w;
    w.dir = d.disks;
    w.path = vt::ToWin(raw);
    d.image = vt::ToUnix(rt::MakeOwnImage(w, L"disk.vmd"));
    EXPECT_EQ(0, vt::Sh("rm -f " + vt::Q(raw)));
  }
  return d;
}

// "name=sha256" of every file in a folder, sorted.
inline std::string FolderHashes(const std::string& dir) {
  std::string out;
  vt::Sh("cd " + vt::Q(dir) + " && find . -maxdepth 1 -type f | sort | xargs -r sha256sum", &out);
  return out;
}

// The program with arguments; its full 32-bit exit code.
inline DWORD RunVro(const std::wstring& arguments) {
  DWORD code = 0xDEADBEEF;
  EXPECT_TRUE(apptest::RunProgram(arguments, code)) << vt::Narrow(arguments);
  return code;
}

// The same with its standard output (and error) caught in *output.
inline DWORD RunVro(const std::wstring& arguments, std::string* output) {
  DWORD code = 0xDEADBEEF;
  EXPECT_TRUE(apptest::RunProgram(arguments, code, output)) << vt::Narrow(arguments);
  return code;
}

// A sparse copy of image onto the tmpfs at small, which then shrinks to
// what it holds and `room` KiB more.
inline void CopyLeavingRoom(const std::string& image, const std::string& small, int room) {
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(image) + " " + vt::Q(small) +
                      " && used=$(du -sk " + vt::Q(small) +
                      " | cut -f1) && mount -o remount,size=$((used + " + std::to_string(room) +
                      "))k " + vt::Q(small)));
}

// "-img:" (and "-fix:") argument text for an image with an optional
// write-back file.
inline std::wstring ImageArgs(const std::wstring& image, const std::wstring& fix = L"") {
  std::wstring a = L"\"-img:" + image + L"\" ";
  if (!fix.empty()) a += L"\"-fix:" + fix + L"\" ";
  return a;
}

// A raw copy of the whole virtual disk (image with overlays), read by an
// independent tool where one exists: the raw image itself, qemu-img for a
// VHD, the program's own device stack for the own format and overlays.
inline std::string Flatten(const Disk& d, const std::string& image, const std::string& fix,
                           const std::string& outUnix) {
  std::string format = d.kind.format;
  if (!d.kind.own && fix.empty()) {
    if (format == "raw") return image;
    EXPECT_EQ(0, vt::Sh("qemu-img convert -f vpc -O raw " + vt::Q(image) + " " + vt::Q(outUnix)));
    return outUnix;
  }
  return rt::Flatten(vt::ToWin(image), fix.empty() ? L"" : vt::ToWin(fix), outUnix);
}

// Reads files of the data volume of a flattened disk with ntfscat or mcopy.
class VolumeReader {
 public:
  VolumeReader(const Disk& d, const std::string& flat) : m_disk(d), m_flat(flat) {
    if (!d.kind.fat) {
      m_part = flat + ".part";
      EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(flat) + " of=" + vt::Q(m_part) +
                          " bs=512 skip=" + std::to_string(d.start) +
                          " count=" + std::to_string(d.mib * 2048) + " status=none"));
    }
  }
  // Copies a volume file ("/a/b") to a host file; false when it is missing.
  bool Cat(const std::string& volumePath, const std::string& outUnix) const {
    std::string cmd =
        m_disk.kind.fat
            ? "mcopy -n -i " + vt::Q(m_flat + "@@" + std::to_string(m_disk.start * 512)) + " " +
                  vt::Q("::" + volumePath) + " " + vt::Q(outUnix)
            : "ntfscat " + vt::Q(m_part) + " " + vt::Q(volumePath) + " > " + vt::Q(outUnix);
    return vt::Sh(cmd + " 2>/dev/null") == 0;
  }
  // True when the volume file equals the host file byte for byte.
  bool Same(const std::string& volumePath, const std::string& hostUnix) const {
    std::string copy = m_flat + ".cat";
    vt::Sh("rm -f " + vt::Q(copy));
    return Cat(volumePath, copy) && vt::Sh("cmp -s " + vt::Q(copy) + " " + vt::Q(hostUnix)) == 0;
  }

 private:
  const Disk& m_disk;
  std::string m_flat, m_part;
};

// Every file and folder of the FAT or exFAT volume at sector `start` of an
// image, each file with its hash, as an independent reader lists it: mtools
// for FAT, exfat-fuse (read-only, over a loop device) for exFAT. Its
// scratch files lie in the folder above the image's.
inline std::string FatVolumeView(const std::string& image, long start, bool exfat) {
  std::string out, work = image.substr(0, image.rfind('/')) + "/..";
  std::string dir = work + "/view", part = work + "/view.part";
  vt::Sh("rm -rf " + vt::Q(dir) + " && mkdir -p " + vt::Q(dir) + " && dd if=" + vt::Q(image) +
         " of=" + vt::Q(part) + " bs=512 skip=" + std::to_string(start) +
         " conv=sparse status=none");
  std::string copy =
      exfat ? "l=$(losetup -f --show " + vt::Q(part) + ") && mount.exfat-fuse -o ro $l " +
                  vt::Q(dir) + " >/dev/null && (cd " + vt::Q(dir) +
                  " && find . | sort && find . -type f | sort | xargs -r sha256sum); umount " +
                  vt::Q(dir) + "; losetup -d $l"
            : "MTOOLS_SKIP_CHECK=1 mcopy -s -n -m -i " + vt::Q(part) + " ::/ " + vt::Q(dir) +
                  " && cd " + vt::Q(dir) + " && find . | sort && find . -type f | sort | " +
                  "xargs -r sha256sum";
  EXPECT_EQ(0, vt::Sh(copy, &out)) << out;
  return out;
}

}  // namespace bt
