// Every writing command, cut off at every write it sends to an image file
// (the write failing; the process stopped there with what it held in memory
// lost, its write torn at a 4 KiB boundary of the file) and at every flush
// that fails: the next open leaves each file of the image as it was before
// the command, or the disk through the chain holds the whole command. No
// third state. "As it was" is byte for byte, but for a plain image, whose
// volume's writes into clusters free before the command keep no old bytes:
// there it is what a reader of the volume sees (every cluster the volume's
// $Bitmap marked in use before the command, and all that lies outside the
// volume), the free clusters left out. Commands: an inject into a folder that
// holds earlier files, a .reg import into SOFTWARE and SYSTEM, a format, a
// grow and a merge; files: a plain image, an update file, a write-back file.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "../../image/HostHoles.h"
#include "../../image/VolumeWriteRecorder.h"
#include "../../registry/FacadeTestUtil.h"
#include "disktools/NtfsFormatterInstall.h"
#include "disktools/ntfscheck/NtfsCheck.h"
#include "disktools/partition/PartitionResize.h"
#include "image/copy/TreeCopy.h"
#include "image/stack/OverlayNotice.h"
#include "image/stack/ImageMerge.h"
#include "registry/RegistryFacade.h"

namespace {

enum FileKind { kPlain, kUpdate, kWriteBack };
const char* const kKindNames[] = {"plain image", "update file", "write-back file"};

// An image in a folder of its own, with the files an earlier command left
// (a folder \Data with two files; with full, \fill.bin over all the free
// space left), saved for restores.
struct Image {
  FileKind kind;
  std::string dir, images;  // the scratch folder, the folder of the image files
  std::wstring base;        // the image the chain stands on
  std::wstring open;        // what the commands open: the image, or its update file
  std::wstring second;      // names the write-back file, or empty
  std::wstring top;         // the file the commands write
  std::string bitmap;       // a plain image's $Bitmap before the command (ntfscat)
  long start = 0;           // its volume's first sector

  // baseFormat (mk-disk.sh --format: raw, vhd-dynamic, vhd-fixed): a
  // write-back file over an image of that kind. full: the volume filled.
  explicit Image(FileKind k, const std::string& baseFormat = "", bool full = false) : kind(k) {
    const bool plainBase = !baseFormat.empty();
    const std::string name = baseFormat.empty() || baseFormat == "raw" ? "disk.img" : "disk.vhd";
    rt::WinDisk d = rt::MakeWinDisk("--no-kernel", "mbr2048", plainBase ? baseFormat : "raw", "",
                                    name);
    dir = d.dir;
    start = d.start;
    images = dir + "/img";
    EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(images) + " " + vt::Q(dir + "/saved") + " && cd " +
                        vt::Q(dir) + " && mkdir -p Data New && head -c 9000 /dev/urandom >"
                        " Data/one.bin && printf acknowledged > Data/two.txt && for i in 1 2 3;"
                        " do head -c $((i * 3000)) /dev/urandom > New/n$i.dat; done"));
    std::wstring imagesW = vt::ToWin(images);
    if (kind == kPlain || plainBase) {
      EXPECT_EQ(0, vt::Sh("mv " + vt::Q(d.unixPath) + " " + vt::Q(images + "/" + name)));
      base = open = top = vt::ToWin(images + "/" + name);
      if (plainBase) {
        second = imagesW + L"\\ws.x";
        top = imagesW + L"\\ws.Fix";
      }
    } else {
      base = mi::CopyIntoOwnImage(d.path, images, L"own.vmd");
      DeleteFileW(d.path.c_str());
      open = kind == kUpdate ? base + L"_01.Upd" : base;
      if (kind == kWriteBack) second = imagesW + L"\\ws.x";
      top = kind == kUpdate ? open : imagesW + L"\\ws.Fix";
    }
    // The earlier command, reported done.
    CMountedImage m;
    EXPECT_LE(0, Open(m, kind == kPlain ? 2 : 1, base));
    uint64_t missing = 0;
    EXPECT_EQ(3, InjectHostPath(&m, vt::ToWin(dir + "/Data").c_str(), L"\\Data", &missing,
                                nullptr, nullptr));
    if (full) {
      uint64_t free = 0;
      EXPECT_EQ(1, m.GetVolumeSpace(nullptr, &free));
      EXPECT_EQ(0, vt::Sh("head -c " + std::to_string(free) + " /dev/urandom > " +
                          vt::Q(dir + "/fill.bin")));
      EXPECT_EQ(1, InjectHostPath(&m, vt::ToWin(dir + "/fill.bin").c_str(), L"\\fill.bin", &missing,
                                  nullptr, nullptr));
      EXPECT_EQ(1, m.GetVolumeSpace(nullptr, &free));
      EXPECT_EQ(0u, free);
    }
    EXPECT_TRUE(m.Close());
    // Times kept: a write-back file over a plain image is bound to its
    // base's last-write time.
    EXPECT_EQ(0, vt::Sh("cp -p " + vt::Q(images) + "/* " + vt::Q(dir + "/saved")));
    if (kind == kPlain) {
      bitmap = rt::NtfsCat(d, images + "/disk.img", "$Bitmap", dir + "/bitmap");
      vt::Sh("rm " + vt::Q(images + "/disk.img.part"));
    }
  }
  int Open(CMountedImage& m, int mode, const std::wstring& at = L"") const {
    return m.OpenImage((at.empty() ? open : at).c_str(), second.empty() ? nullptr : second.c_str(),
                       0, mode);
  }
  int WriteMode() const { return kind == kPlain ? 2 : 1; }
  void Restore() const {
    ASSERT_EQ(0, vt::Sh("rm -f " + vt::Q(images) + "/* && cp -p " + vt::Q(dir + "/saved") + "/* " +
                        vt::Q(images)));
  }
  // Each file of the image, by name (files a cut-off command made under a
  // name of their own and never named are left out: nothing opens them).
  std::map<std::string, std::string> Files() const {
    std::string list;
    vt::Sh("cd " + vt::Q(images) + " && for f in *; do case $f in *.new) ;; *) sha256sum \"$f\";;"
           " esac; done", &list);
    std::map<std::string, std::string> files;
    size_t at = 0;
    while (at < list.size()) {
      size_t end = list.find('\n', at);
      std::string line = list.substr(at, end - at);
      if (line.size() > 66) files[line.substr(66)] = line.substr(0, 64);
      at = end == std::string::npos ? list.size() : end + 1;
    }
    if (!bitmap.empty() && files.count("disk.img")) files["disk.img"] = ReaderView();
    return files;
  }
  // The digest of the plain image with the clusters $Bitmap marked free
  // before the command zeroed.
  std::string ReaderView() const {
    return OverFreeClusters("bytes(cs)", "print(hashlib.sha256(d).hexdigest())");
  }
  // Runs python over the plain image's bytes d: every cluster $Bitmap
  // marked free before the command takes the bytes `fill` makes, then `end`
  // runs; what it prints is returned.
  std::string OverFreeClusters(const std::string& fill, const std::string& end) const {
    std::string out;
    EXPECT_EQ(0, vt::Sh("python3 - " + vt::Q(images + "/disk.img") + " " + vt::Q(bitmap) + " " +
                            std::to_string(start) +
                            " <<'PY'\n"
                            "import hashlib, os, sys\n"
                            "d = bytearray(open(sys.argv[1], 'rb').read())\n"
                            "b = open(sys.argv[2], 'rb').read()\n"
                            "p = int(sys.argv[3]) * 512\n"
                            "cs = int.from_bytes(d[p + 11:p + 13], 'little') * d[p + 13]\n"
                            "for c in range(len(b) * 8):\n"
                            "    o = p + c * cs\n"
                            "    if not b[c >> 3] >> (c & 7) & 1 and o + cs <= len(d):\n"
                            "        d[o:o + cs] = " +
                            fill + "\n" + end +
                            "\n"
                            "PY",
                        &out));
    return out;
  }
  // The disk through the chain, opened read-only: the open rolls back what
  // a journal beside any file names.
  std::vector<uint8_t> Disk() const {
    _VROH_MOUNT_RW d;
    int r = second.empty() ? d.OpenChain(open.c_str(), L"", 0)
                           : d.OpenChain(base.c_str(), top.c_str(), 0);
    EXPECT_LT(0, r) << "the chain does not open";
    std::vector<uint8_t> disk((size_t)d.DiskBytes());
    if (r > 0) {
      EXPECT_EQ((int64_t)disk.size(), d.ReadBytes(nullptr, 0, disk.data(), disk.size()));
    }
    return disk;
  }
};

// The disk before with all of a run's volume writes applied.
std::vector<uint8_t> WithWrites(std::vector<uint8_t> disk, const it::VolumeWriteRecorder& rec,
                                size_t size) {
  disk.resize(size);
  for (const auto& w : rec.Writes())
    if (w.offset < disk.size())
      memcpy(&disk[w.offset], w.data.data(),
             std::min<size_t>(w.data.size(), size_t(disk.size() - w.offset)));
  return disk;
}

// A command on the mounted image: true when it reports done.
typedef std::function<bool(CMountedImage&)> Command;

// Runs the command on a freshly opened image with writes cut off as asked;
// the volume's writes are recorded.
struct Run {
  bool done = false;
  int writes = 0, flushes = 0;  // to the files
  std::vector<uint8_t> before;
  std::unique_ptr<it::VolumeWriteRecorder> rec;
};

void RunCommand(const Image& img, const Command& command, it::WriteFaults::Mode mode, int at,
                Run* run) {
  CMountedImage m;
  ASSERT_LE(0, img.Open(m, img.WriteMode()));
  run->before.resize((size_t)m.DiskObject()->DiskBytes());
  ASSERT_EQ((int)run->before.size(),
            m.IoBlock()->read(m.IoBlock()->owner, 0, run->before.data(), run->before.size()));
  it::WriteFaults faults(mode, at);
  run->rec.reset(new it::VolumeWriteRecorder(m.IoBlock()));
  bool ok = command(m);
  run->done = m.Close(ok) && ok;
  run->writes = faults.Count();
  run->flushes = faults.Flushes();
}

// After each cut-off run: the files as before, or the whole command. A
// command on the mounted volume (volume) also gives a disk that holds every
// volume write of its run; a merge (merge) runs on the files themselves.
void ExpectBeforeOrAfter(const Image& img, const Command& volume,
                         const std::function<bool()>& merge,
                         const std::function<void()>& checkAfter) {
  auto run = [&](it::WriteFaults::Mode mode, int at, Run* r) {
    if (volume) return RunCommand(img, volume, mode, at, r);
    it::WriteFaults faults(mode, at);
    r->done = merge();
    r->writes = faults.Count();
    r->flushes = faults.Flushes();
  };
  std::map<std::string, std::string> before = img.Files();
  int writes, flushes;
  size_t volumeWrites = 0;
  {
    Run r;
    run(it::WriteFaults::COUNT, 0, &r);
    ASSERT_TRUE(r.done);
    writes = r.writes;
    flushes = r.flushes;
    if (volume) volumeWrites = r.rec->Writes().size();
    EXPECT_TRUE(img.Files() != before);
    checkAfter();
  }
  ASSERT_LT(3, writes);
  int kept = 0, undone = 0;
  for (int mode = it::WriteFaults::FAIL; mode <= it::WriteFaults::FAIL_FLUSH; mode++) {
    int last = mode == it::WriteFaults::FAIL_FLUSH ? flushes : writes;
    for (int n = 1; n <= last; n++) {
      static const char* const kNames[] = {"", "failed write ", "stopped at write ",
                                           "failed flush "};
      std::string where = std::string(kKindNames[img.kind]) + ", " + kNames[mode] +
                          std::to_string(n) + " of " + std::to_string(last);
      img.Restore();
      Run r;
      run((it::WriteFaults::Mode)mode, n, &r);
      std::vector<uint8_t> disk = img.Disk();
      std::map<std::string, std::string> files = img.Files();
      for (const auto& f : files)
        EXPECT_TRUE(f.first.find(".journal") == std::string::npos) << where << ": " << f.first;
      if (files == before) {
        undone++;
        EXPECT_FALSE(r.done) << where << ": reported done, and nothing was kept";
        continue;
      }
      // Not as before: then all of it. A volume command's run sent every
      // write a whole run sends, and the disk holds each of them.
      kept++;
      if (volume) {
        EXPECT_EQ(volumeWrites, r.rec->Writes().size()) << where << ": neither before nor after";
        EXPECT_TRUE(disk == WithWrites(r.before, *r.rec, disk.size()))
            << where << ": the disk is neither before nor after the command";
      }
      checkAfter();
      if (::testing::Test::HasFailure()) return;
    }
  }
  // Most cuts take the command back; those at its very end keep it.
  EXPECT_LT(writes, undone) << kept << " kept";
  printf("%s: %d writes, %d flushes; %d cuts taken back, %d kept\n", kKindNames[img.kind], writes,
         flushes, undone, kept);
}

void ExpectBeforeOrAfter(const Image& img, const Command& volume,
                         const std::function<void()>& checkAfter) {
  ExpectBeforeOrAfter(img, volume, nullptr, checkAfter);
}

// The disk of the base alone.
std::vector<uint8_t> BaseDisk(const Image& img) {
  _VROH_MOUNT_RW d;
  EXPECT_LT(0, d.OpenChain(img.base.c_str(), L"", 0));
  std::vector<uint8_t> disk((size_t)d.DiskBytes());
  EXPECT_EQ((int64_t)disk.size(), d.ReadBytes(nullptr, 0, disk.data(), disk.size()));
  return disk;
}

// The base alone holds the merged disk; the merged file is gone, or still
// there: then, when the base took all of it, it is known as merged (and
// removed, with its line); else the base was rolled back and the file is
// one made for it as it is, which merges.
void CheckMerged(const Image& img, const std::vector<uint8_t>& merged) {
  if (vt::FileExists(img.top)) {
    const bool baseMerged = BaseDisk(img) == merged;
    VroNoticeCollector notices;
    EXPECT_EQ(1, ConvertImageChain(img.base.c_str(), img.top.c_str(), nullptr));
    EXPECT_FALSE(vt::FileExists(img.top));
    bool leftover = false;
    for (const auto& n : notices.Notices()) leftover |= n.kind == VRO_NOTICE_MERGE_LEFTOVER;
    EXPECT_EQ(baseMerged, leftover) << "merged already, or merged now";
  }
  EXPECT_TRUE(BaseDisk(img) == merged);
}

class CommandCrash : public ::testing::TestWithParam<FileKind> {};

TEST_P(CommandCrash, InjectIntoAFolderWithEarlierFiles) {
  Image img(GetParam());
  ExpectBeforeOrAfter(
      img,
      [&](CMountedImage& m) {
        uint64_t missing = 0;
        return InjectHostPath(&m, vt::ToWin(img.dir + "/New/*").c_str(), L"\\Data", &missing,
                              nullptr, nullptr) == 3;
      },
      [&] {
        CMountedImage m;
        ASSERT_LE(0, img.Open(m, 0));
        EXPECT_TRUE(mi::SameAsHostFile(mi::ReadWhole(m, L"\\Data\\one.bin"), img.dir + "/Data/one.bin"));
        EXPECT_TRUE(mi::SameAsHostFile(mi::ReadWhole(m, L"\\Data\\n3.dat"), img.dir + "/New/n3.dat"));
      });
}

// A smaller file replaces \Data\one.bin on a volume without a free
// cluster: its data can only go where the old file's lay, freed by the
// same command. Those clusters were in use when the command began, so their
// old bytes are kept: cut off anywhere, the old file is back whole, or the
// new one is there whole.
TEST(CommandCrash, ReplaceOnAFullVolume) {
  Image img(kPlain, "", true);
  ASSERT_EQ(0, vt::Sh("head -c 6000 /dev/urandom > " + vt::Q(img.dir + "/smaller.bin")));
  ExpectBeforeOrAfter(
      img,
      [&](CMountedImage& m) {
        uint64_t missing = 0;
        return InjectHostPath(&m, vt::ToWin(img.dir + "/smaller.bin").c_str(), L"\\Data\\one.bin",
                              &missing, nullptr, nullptr) == 1;
      },
      [&] {
        CMountedImage m;
        ASSERT_LE(0, img.Open(m, 0));
        EXPECT_TRUE(
            mi::SameAsHostFile(mi::ReadWhole(m, L"\\Data\\one.bin"), img.dir + "/smaller.bin"));
      });
}

TEST_P(CommandCrash, RegImportIntoTwoHives) {
  Image img(GetParam());
  std::wstring reg = vt::ToWin(img.dir) + L"\\two.reg";
  rt::WriteRegFile(reg, L"Windows Registry Editor Version 5.00\r\n\r\n"
                        L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Crash]\r\n\"Soft\"=\"new\"\r\n\r\n"
                        L"[HKEY_LOCAL_MACHINE\\SYSTEM\\Crash]\r\n\"Sys\"=dword:00000007\r\n\r\n");
  ExpectBeforeOrAfter(
      img,
      [&](CMountedImage& m) {
        bool ok = m.LoadHives(HIVE_FLAG_SOFTWARE | HIVE_FLAG_SYSTEM) == 1 &&
                  m.ImportRegFile(reg.c_str()) == REG_STATUS_OK;
        return m.UnloadHives() && ok;
      },
      [&] {
        CMountedImage m;
        ASSERT_LE(0, img.Open(m, 0));
        ASSERT_EQ(1, m.LoadHives(HIVE_FLAG_SOFTWARE | HIVE_FLAG_SYSTEM));
        uint32_t type = 0;
        RegValueBuf* data = nullptr;
        EXPECT_EQ(REG_STATUS_OK, m.RegQueryValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Crash", L"Soft",
                                                 &type, &data));
        free(data);
        data = nullptr;
        EXPECT_EQ(REG_STATUS_OK,
                  m.RegQueryValue(L"HKEY_LOCAL_MACHINE\\SYSTEM\\Crash", L"Sys", &type, &data));
        free(data);
      });
}

TEST_P(CommandCrash, Format) {
  InstallNtfsFormatter();
  Image img(GetParam());
  ExpectBeforeOrAfter(
      img, [&](CMountedImage& m) { return m.FormatVolume(1) == 1; },
      [&] {
        CMountedImage m;
        ASSERT_LE(0, img.Open(m, 0));
        EXPECT_EQ(0, m.GetPathType(L"\\Data"));
        EXPECT_EQ(1, CheckNtfsPartition(&m));
      });
}

TEST_P(CommandCrash, Grow) {
  // A write-back file takes no grow, nor does a plain image's file.
  if (GetParam() != kUpdate) return;
  Image img(GetParam());
  uint64_t total = 0;
  {
    CMountedImage m;
    ASSERT_LE(0, img.Open(m, 0));
    ASSERT_TRUE(m.GetVolumeSpace(&total, nullptr));
  }
  ExpectBeforeOrAfter(
      img, [&](CMountedImage& m) { return ResizeImagePartition(&m, 40) == 1; },
      [&] {
        CMountedImage m;
        ASSERT_LE(0, img.Open(m, 0));
        uint64_t now = 0;
        ASSERT_TRUE(m.GetVolumeSpace(&now, nullptr));
        EXPECT_LT(total, now);
        EXPECT_EQ(1, CheckNtfsPartition(&m));
      });
}

// The update or write-back file merged into its image; with "Plain", a
// write-back file over a raw image, a dynamic VHD (which takes new blocks
// for it) and a fixed VHD, which keep no identity: the file is bound to the
// state of the base it was made over.
TEST_P(CommandCrash, Merge) {
  const std::vector<std::string> bases =
      GetParam() == kPlain ? std::vector<std::string>{"raw", "vhd-dynamic", "vhd-fixed"}
                           : std::vector<std::string>{""};
  for (const std::string& base : bases) {
    SCOPED_TRACE(base);
    Image img(GetParam() == kUpdate ? kUpdate : kWriteBack, base);
    std::vector<uint8_t> merged = img.Disk();
    ExpectBeforeOrAfter(
        img, nullptr,
        [&] { return ConvertImageChain(img.base.c_str(), img.top.c_str(), nullptr) == 1; },
        [&] { CheckMerged(img, merged); });
    if (::testing::Test::HasFailure()) return;
  }
}

// A plain image whose free clusters hold old data: what the volume writes
// there keeps no old bytes in the journal, and the roll back gives back
// all the volume showed (its fingerprint's samples too, wherever the new
// file's clusters took them). The same image sparse, its free clusters
// holes of the host file: the roll back gives back the room the command
// took in them (holes again) and leaves every byte as before; so does the
// next open's roll back of the command killed halfway (what it held in
// memory lost), which finds the journal bound to the file by the bytes the
// command wrote into the holes.
TEST(CommandJournal, KeepsNoOldBytesOfClustersFreeBeforeTheCommand) {
  Image img(kPlain);
  ASSERT_EQ(0, vt::Sh("head -c 6000000 /dev/urandom > " + vt::Q(img.dir + "/big.bin")));
  for (bool sparse : {true, false}) {
    SCOPED_TRACE(sparse ? "free clusters holes" : "free clusters with old data");
    std::unique_ptr<it::HostHoles> holes;
    std::string whole, map;
    if (sparse) {
      img.OverFreeClusters("bytes(cs)", "open(sys.argv[1], 'wb').write(d)");
      holes.reset(new it::HostHoles());
      holes->MakeSparse(img.top);
      map = holes->Map(img.top);
      whole = vt::Sha256(img.top);
    } else {
      img.OverFreeClusters("os.urandom(cs)", "open(sys.argv[1], 'wb').write(d)");
    }
    std::string before = img.ReaderView();
    int writes = 0;
    {
      CMountedImage m;
      ASSERT_LE(0, img.Open(m, 2));
      it::WriteFaults count(it::WriteFaults::COUNT, 0);
      uint64_t missing = 0;
      ASSERT_EQ(1, InjectHostPath(&m, vt::ToWin(img.dir + "/big.bin").c_str(), L"\\Data",
                                  &missing, nullptr, nullptr));
      ASSERT_EQ(0, m.DiskObject()->Flush());
      WIN32_FILE_ATTRIBUTE_DATA journal;
      ASSERT_TRUE(
          GetFileAttributesExW((img.top + L".journal").c_str(), GetFileExInfoStandard, &journal));
      EXPECT_EQ(0u, journal.nFileSizeHigh);
      EXPECT_GT(1000000u, journal.nFileSizeLow) << "the journal kept the old bytes of free clusters";
      if (sparse) {
        EXPECT_NE(map, holes->Map(img.top)) << "the command took no room in a hole";
      }
      EXPECT_FALSE(m.Close(false));
      writes = count.Count();
    }
    EXPECT_EQ(before, img.ReaderView());
    if (sparse) {
      EXPECT_EQ(whole, vt::Sha256(img.top));
      EXPECT_EQ(map, holes->Map(img.top));
      {
        CMountedImage m;
        ASSERT_LE(0, img.Open(m, 2));
        it::WriteFaults stop(it::WriteFaults::STOP, writes / 2);
        uint64_t missing = 0;
        InjectHostPath(&m, vt::ToWin(img.dir + "/big.bin").c_str(), L"\\Data", &missing, nullptr,
                       nullptr);
        EXPECT_FALSE(m.Close(false));
        EXPECT_TRUE(stop.Hit());
      }
      EXPECT_TRUE(vt::FileExists(img.top + L".journal"));
      EXPECT_NE(map, holes->Map(img.top)) << "the killed command took no room in a hole";
      CMountedImage m;
      ASSERT_LE(0, img.Open(m, 0));
      m.Close();
      EXPECT_EQ(whole, vt::Sha256(img.top));
      EXPECT_EQ(map, holes->Map(img.top));
    }
    EXPECT_FALSE(vt::FileExists(img.top + L".journal"));
    CMountedImage m;
    ASSERT_LE(0, img.Open(m, 0));
    EXPECT_EQ(1, CheckNtfsPartition(&m));
    EXPECT_TRUE(
        mi::SameAsHostFile(mi::ReadWhole(m, L"\\Data\\one.bin"), img.dir + "/Data/one.bin"));
  }
}

std::string KindName(const ::testing::TestParamInfo<FileKind>& i) {
  return i.param == kPlain ? "Plain" : i.param == kUpdate ? "Update" : "WriteBack";
}

INSTANTIATE_TEST_SUITE_P(Files, CommandCrash, ::testing::Values(kPlain, kUpdate, kWriteBack),
                         KindName);

}  // namespace
