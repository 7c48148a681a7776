// "-noupd /format" through the program: on FAT32 volumes as mkfs.fat makes
// them by default, from the smallest it makes without a warning to 2 GiB,
// each becoming an empty FAT32 volume that fsck.fat -n passes and that
// takes a file mtools reads back; on the second partition of a disk, which
// alone changes; on volumes without a partition table (the exFAT one with
// the up-case table mkfs.exfat writes, and names exfat-fuse finds). Images
// are sparse.
#include <gtest/gtest.h>

#include <sstream>

#include "../../image/ImagePatch.h"
#include "../BatchTestUtil.h"
#include "app/ImageOperations.h"

using namespace bt;

namespace {

TEST(FormatBatch, EveryFat32VolumeMkfsMakes) {
  std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree", image = dir + "/fat.img",
              part = dir + "/part.img";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree) + " && printf old > " + vt::Q(tree + "/old.txt") +
                      " && printf new > " + vt::Q(dir + "/new.txt")));
  for (int mib : {33, 64, 128, 2048}) {
    std::string out;
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --layout mbr2048 --fs fat32 --size " +
                                std::to_string(mib) + " --tree " + vt::Q(tree),
                            &out));
    const long start = atol(out.c_str());
    EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(image)) + L"-noupd /format")) << mib;
    EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(image)) + L"-noupd \"/inject:\\new.txt::" +
                         vt::ToWin(dir + "/new.txt") + L"\""))
        << mib;
    ASSERT_EQ(0, vt::Sh("rm -f " + vt::Q(part) + " && dd if=" + vt::Q(image) +
                        " of=" + vt::Q(part) + " bs=1M iflag=skip_bytes skip=" +
                        std::to_string(start * 512) + " conv=sparse status=none"));
    std::string fsck, listing, text;
    EXPECT_EQ(0, vt::Sh("fsck.fat -n -v " + vt::Q(part) + " 2>&1", &fsck)) << mib << "\n" << fsck;
    EXPECT_NE(std::string::npos, fsck.find("32 bit entries")) << mib << "\n" << fsck;
    EXPECT_EQ(0, vt::Sh("MTOOLS_SKIP_CHECK=1 mdir -b -i " + vt::Q(part) + " ::", &listing)) << mib;
    EXPECT_EQ("::/new.txt\n", listing) << mib;
    EXPECT_EQ(0, vt::Sh("MTOOLS_SKIP_CHECK=1 mtype -i " + vt::Q(part) + " ::/new.txt", &text));
    EXPECT_EQ("new", text) << mib;
  }
}

// The bytes of a disk outside [first, end) sectors, against a copy.
bool SameOutside(const std::string& a, const std::string& b, long first, long end) {
  return vt::Sh("cmp -n " + std::to_string(first * 512L) + " " + vt::Q(a) + " " + vt::Q(b)) == 0 &&
         vt::Sh("cmp -i " + std::to_string(end * 512L) + " " + vt::Q(a) + " " + vt::Q(b)) == 0;
}

// Runs a checker with $PART set to sectors [first, first + count) of the
// image cut out into a file; its exit code, output in *out.
int OnPart(const std::string& image, long first, long count, const std::string& command,
           std::string* out) {
  std::string part = image + ".part";
  return vt::Sh("dd if=" + vt::Q(image) + " of=" + vt::Q(part) +
                    " bs=512 skip=" + std::to_string(first) + " count=" + std::to_string(count) +
                    " conv=sparse status=none && PART=" + vt::Q(part) + " && " + command + " 2>&1",
                out);
}

// "::N /format" formats partition N and nothing else: behind an NTFS
// volume in MBR entry 0 large enough for a FAT32 volume (a FAT32 or an
// NTFS partition 1), behind the EFI system partition of a GPT disk, and
// an NTFS partition 0 alone at either alignment (LBA 63 stays: its entry
// and the disk's boot code are not the formatter's). Every byte outside
// the partition stays (the other volume's files with them); the partition
// is an empty volume of its kind that fsck passes. A partition number that
// is not a number changes no byte.
TEST(FormatBatch, OnlyThePartitionNamedChanges) {
  struct Case {
    const char* layout;
    const char* fs;
    int index;
    long first, count;  // the partition formatted, in sectors
  } cases[] = {
      {"mbr-pair --first-size 80", "fat32", 1, 2048 + 80 * 2048, 40 * 2048},
      {"mbr-pair --first-size 80", "ntfs", 1, 2048 + 80 * 2048, 40 * 2048},
      {"gpt-esp --esp-size 34", "fat32", 1, 2048 + 34 * 2048, 40 * 2048},
      {"mbr63", "ntfs", 0, 63, 40 * 2048},
      {"mbr2048", "ntfs", 0, 2048, 40 * 2048},
  };
  std::string dir = vt::ScratchDirUnix(), image = dir + "/d.img", copy = dir + "/before.img";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/one") + " " + vt::Q(dir + "/two") +
                      " && printf one > " + vt::Q(dir + "/one/one.txt") + " && printf two > " +
                      vt::Q(dir + "/two/two.txt")));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.layout) + " " + c.fs);
    const bool gpt = std::string(c.layout).compare(0, 3, "gpt") == 0;
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --layout " + c.layout + " --fs " +
                            c.fs + " --size 40 --tree " + vt::Q(dir + "/two") +
                            (c.index == 0 ? ""
                             : gpt        ? " --esp-tree " + vt::Q(dir + "/one")
                                          : " --first-tree " + vt::Q(dir + "/one"))));
    ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(image) + " " + vt::Q(copy)));
    std::string out;
    // A number mistyped (a letter, l for 1, none, hex, a character behind
    // it) runs neither command on any partition: -13, a line quoting it.
    for (const wchar_t* typo : {L"x", L"l", L"", L"0x1", L"1x"}) {
      if (&c != cases) break;
      for (const std::wstring& command :
           {std::wstring(L"/format"),
            L"\"/inject:\\two.txt::" + vt::ToWin(dir + "/one/one.txt") + L"\""}) {
        SCOPED_TRACE(vt::Narrow(typo) + " " + vt::Narrow(command));
        EXPECT_EQ(DWORD(-13),
                  RunVro(L"\"-img:" + vt::ToWin(image) + L"::" + typo + L"\" -noupd " + command, &out));
        EXPECT_NE(std::string::npos, out.find("::" + vt::Narrow(typo) + ": the partition \"" +
                                              vt::Narrow(typo) + "\" behind \"::\" is not a "
                                              "whole decimal number: not opened"))
            << out;
        EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(image) + " " + vt::Q(copy)));
      }
    }
    EXPECT_EQ(0u, RunVro(L"\"-img:" + vt::ToWin(image) + L"::" + std::to_wstring(c.index) +
                             L"\" -noupd /format",
                         &out))
        << out;
    EXPECT_TRUE(SameOutside(image, copy, c.first, c.first + c.count))
        << "a byte outside the partition changed";
    if (c.index) {
      // The other volume still holds its file.
      const long other = 2048, otherCount = gpt ? 34 * 2048 : 80 * 2048;
      EXPECT_EQ(0, OnPart(image, other, otherCount,
                          gpt ? "MTOOLS_SKIP_CHECK=1 mtype -i \"$PART\" ::/one.txt"
                              : "ntfscat \"$PART\" one.txt",
                          &out));
      EXPECT_EQ("one", out);
    }
    // Partition N holds none; ntfsfix finds both boot sectors where it
    // looks for them.
    bool fat = std::string(c.fs) == "fat32";
    EXPECT_EQ(0, OnPart(image, c.first, c.count,
                        fat ? "fsck.fat -n \"$PART\" && MTOOLS_SKIP_CHECK=1 mdir -b -i \"$PART\" ::"
                            : "ntfsfix -n \"$PART\" && ntfsls \"$PART\"",
                        &out))
        << out;
    EXPECT_EQ(std::string::npos, out.find("two")) << out;
    if (!fat) {
      EXPECT_EQ(std::string::npos, out.find("bad")) << out;
    }
  }
}

// A volume without a partition table, of every FAT kind and exFAT, is
// formatted as the kind it is: fsck passes the empty volume, which takes
// a file a reader gets back. A FAT32 one whose boot sector is lost is
// read through its backup first (sector 6), the image left as it was. A
// number other than 0 opens nothing; one too small for the kind is named
// and left as it was.
// The up-case table of the exFAT volume at the image's start, raw, with
// its entry's check value.
std::string UpcaseTable(const std::string& image) {
  ip::Bytes d(vt::ToWin(image));
  ip::ExfatLayout x(d, 0);
  EXPECT_NE(ip::kNone, x.upcase);
  if (x.upcase == ip::kNone) return "";
  std::string raw = std::to_string(x.upcaseCheck) + ":";
  for (uint64_t i = 0; i < x.upcaseBytes; i++) raw += (char)d.U8(x.upcase + i);
  return raw;
}

TEST(FormatBatch, VolumesWithoutAPartitionTable) {
  struct Case {
    const char* fs;
    int mib;
    const char* check;  // fsck of $PART, and the line its verbose output holds
    const char* kind;
  } cases[] = {
      {"fat12", 8, "fsck.fat -n -v", "12 bit entries"},
      {"fat16", 32, "fsck.fat -n -v", "16 bit entries"},
      {"fat32", 64, "fsck.fat -n -v", "32 bit entries"},
      {"exfat", 40, "fsck.exfat -n -v", "clean"},
  };
  std::string dir = vt::ScratchDirUnix(), image = dir + "/bare.img";
  ASSERT_EQ(0,
            vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " && printf old > " +
                   vt::Q(dir + "/tree/old.txt") + " && printf new > " + vt::Q(dir + "/new.txt")));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fs);
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --layout none --fs " + c.fs +
                            " --size " + std::to_string(c.mib) + " --tree " +
                            vt::Q(dir + "/tree")));
    const bool exfat = std::string(c.fs) == "exfat";
    const std::string mkfsTable = exfat ? UpcaseTable(image) : "";
    std::string out;
    if (std::string(c.fs) == "fat32") {
      ASSERT_EQ(0, vt::Sh("dd if=/dev/zero of=" + vt::Q(image) +
                          " bs=512 count=1 conv=notrunc status=none"));
      const std::string lost = vt::Sha256(vt::ToWin(image));
      EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(image)) + L"\"/extract:\\old.txt::" +
                               vt::ToWin(dir + "/old-" + c.fs) + L"\"",
                           &out))
          << out;
      EXPECT_EQ(0,
                vt::Sh("cmp " + vt::Q(dir + "/old-" + c.fs) + " " + vt::Q(dir + "/tree/old.txt")));
      EXPECT_EQ(lost, vt::Sha256(vt::ToWin(image)));
    }
    const std::string hash = vt::Sha256(vt::ToWin(image));
    EXPECT_EQ(DWORD(-15), RunVro(L"\"-img:" + vt::ToWin(image) + L"::1\" -noupd /format", &out))
        << out;
    EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image)));
    EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(image)) + L"-noupd /format", &out)) << out;
    EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(image)) + L"-noupd \"/inject:\\new.txt::" +
                             vt::ToWin(dir + "/new.txt") + L"\"",
                         &out))
        << out;
    EXPECT_EQ(0, vt::Sh(std::string(c.check) + " " + vt::Q(image) + " 2>&1", &out)) << out;
    EXPECT_NE(std::string::npos, out.find(c.kind)) << out;
    EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(image)) + L"\"/extract:\\::" +
                             vt::ToWin(dir + "/out-" + c.fs) + L"\"",
                         &out))
        << out;
    EXPECT_EQ(0, vt::Sh("ls " + vt::Q(dir + "/out-" + c.fs) + " && cat " +
                            vt::Q(dir + "/out-" + c.fs + "/new.txt"),
                        &out));
    EXPECT_EQ("new.txt\nnew", out);
    if (!exfat) continue;
    // The up-case table is the one mkfs.exfat (and Windows) writes, byte for
    // byte with its check value, so names the program makes are found by
    // every reader: exfat-fuse lists each of these once, fsck.exfat passes.
    EXPECT_EQ(mkfsTable, UpcaseTable(image));
    const std::string names = dir + "/names";
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(names + "/k\xC4\xB1lavuz") + " && cd " + vt::Q(names) +
                            " && for n in \xC2\xB5s \xC9\x90 \xC7\x85 \xC7\x86 \xC7\xB2 "
                            "\xE1\xBE\xB3; do printf $n > $n.txt; done && printf a > "
                            "k\xC4\xB1lavuz/a.txt && (find . | sort && find . -type f | sort | "
                            "xargs -r sha256sum)",
                        &out));
    const std::string want = out;
    EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(image)) + L"-noupd \"/inject:\\names::" +
                             vt::ToWin(names) + L"\"",
                         &out))
        << out;
    EXPECT_EQ(0,
              vt::Sh("rm -rf " + vt::Q(dir + "/view") + " && mkdir -p " + vt::Q(dir + "/view") +
                         " && l=$(losetup -f --show " + vt::Q(image) +
                         ") && mount.exfat-fuse "
                         "-o ro $l " +
                         vt::Q(dir + "/view") + " >/dev/null && (cd " + vt::Q(dir + "/view/names") +
                         " && find . | sort && find . -type f | "
                         "sort | xargs -r sha256sum); umount " +
                         vt::Q(dir + "/view") + "; losetup -d $l",
                     &out));
    EXPECT_EQ(want, out);
    EXPECT_EQ(0, vt::Sh("fsck.exfat -n " + vt::Q(image) + " 2>&1", &out)) << out;
  }
  // An exFAT volume of 1 MiB is too small for one of ours: the line says
  // so, and nothing is written.
  ASSERT_EQ(0, vt::Sh("rm -f " + vt::Q(image) + " && truncate -s 1M " + vt::Q(image) +
                      " && mkfs.exfat -b 4K -c 512 " + vt::Q(image) + " >/dev/null"));
  const std::string hash = vt::Sha256(vt::ToWin(image));
  std::string out;
  EXPECT_EQ(DWORD(-2), RunVro(ImageArgs(vt::ToWin(image)) + L"-noupd /format", &out));
  EXPECT_NE(std::string::npos,
            out.find("The partition (2048 sectors from sector 0) cannot hold an exFAT volume: "
                     "nothing formatted"))
      << out;
  EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image)));
}

// A disk of `sector`-byte sectors whose table ("mbr" or "gpt") counts them,
// holding the volume files in turn from 1 MiB on, back to back (MBR types,
// or sgdisk's four-digit GPT codes, from `types`; else 0700); the first
// 512-byte sector of each partition in *starts.
void MakeDiskOfSectors(const std::string& image, int sector, const std::string& table,
                       const std::vector<std::string>& volumes, std::vector<long>* starts,
                       const std::string& types = "c 7", long spareSectors = 0) {
  const long unit = sector / 512;
  long at = 2048;
  std::string script, sgdisk, copies;
  std::vector<std::string> type;
  std::istringstream words(types);
  for (std::string w; words >> w;) type.push_back(w);
  starts->clear();
  for (size_t i = 0; i < volumes.size(); i++) {
    std::string size;
    ASSERT_EQ(0, vt::Sh("stat -c %s " + vt::Q(volumes[i]), &size));
    const long count = atol(size.c_str()) / sector;
    starts->push_back(at);
    script += "start=" + std::to_string(at / unit) + ", size=" + std::to_string(count) +
              ", type=" + type[i % type.size()] + "\\n";
    sgdisk += " -n " + std::to_string(i + 1) + ":" + std::to_string(at / unit) + ":" +
              std::to_string(at / unit + count - 1) + " -t " + std::to_string(i + 1) + ":" +
              (type[i % type.size()].size() == 4 ? type[i % type.size()] : "0700");
    copies += " && dd if=" + vt::Q(volumes[i]) + " of=" + vt::Q(image) +
              " bs=512 seek=" + std::to_string(at) + " conv=notrunc,sparse status=none";
    at += count * unit;
  }
  const std::string make = table == "gpt" ? "sgdisk -o -a 1" + sgdisk + " $l >/dev/null"
                                          : "printf 'label: dos\\n" + script + "' | sfdisk -q $l";
  ASSERT_EQ(0, vt::Sh("rm -f " + vt::Q(image) + " && truncate -s " +
                      std::to_string((at + 2048 + spareSectors) * 512) + " " + vt::Q(image) +
                      " && l=$(losetup -f --show --sector-size " + std::to_string(sector) + " " +
                      vt::Q(image) + ") && { " + make +
                      " 2>/dev/null; r=$?; losetup -d $l; [ $r = 0 ]; }" + copies));
}

// The sector size the boot sector at 512-byte sector `at` declares (FAT's
// bytes per sector, exFAT's power of two).
int DeclaredSector(const std::string& image, long at) {
  std::string out;
  vt::Sh(
      "python3 -c \"import struct, sys; f = open(sys.argv[1], 'rb'); f.seek(int(sys.argv[2]) "
      "* 512); b = f.read(512); print(1 << b[0x6C] if b[3:8] == b'EXFAT' else "
      "struct.unpack_from('<H', b, 11)[0])\" " +
          vt::Q(image) + " " + std::to_string(at),
      &out);
  return atoi(out.c_str());
}

// The names of a volume view (FatVolumeView), without the files' hashes.
std::string Names(const std::string& view) {
  std::istringstream lines(view);
  std::string names;
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line[0] == '.') names += line + "\n";
  return names;
}

// Disks of 4096-byte sectors, MBR and GPT, whose tables count those: a
// FAT32 and an exFAT partition of 4096-byte sectors. "::N /format" makes
// partition N a volume of 4096-byte sectors, which fsck passes and which
// takes the file an inject with "::N" puts there; the other partition
// stays byte for byte, the GPT valid. A disk of 2048-byte sectors is read
// and formatted alike.
TEST(FormatBatch, DisksOfLargerSectors) {
  std::string dir = vt::ScratchDirUnix(), image = dir + "/d.img", copy = dir + "/before.img";
  ASSERT_EQ(0,
            vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " && printf old > " +
                   vt::Q(dir + "/tree/old.txt") + " && printf new > " + vt::Q(dir + "/new.txt")));
  const std::string tree = " --layout none --tree " + vt::Q(dir + "/tree");
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/v32") +
                          " --fs fat32 --size 300 --sector 4096" + tree));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/vex") +
                          " --fs exfat --size 40 --sector 4096" + tree));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/v16") +
                          " --fs fat16 --size 32 --sector 2048" + tree));
  const std::wstring inject = L"-noupd \"/inject:\\new.txt::" + vt::ToWin(dir + "/new.txt") + L"\"";
  for (const char* table : {"mbr", "gpt"}) {
    std::vector<long> starts;
    MakeDiskOfSectors(image, 4096, table, {dir + "/v32", dir + "/vex"}, &starts);
    ASSERT_EQ(2u, starts.size());
    const long ends[] = {starts[1], starts[1] + 40 * 2048};
    for (int n = 0; n < 2; n++) {
      SCOPED_TRACE(std::string(table) + " ::" + std::to_string(n));
      const bool exfat = n == 1;
      const std::wstring args = L"\"-img:" + vt::ToWin(image) + L"::" + std::to_wstring(n) + L"\" ";
      ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(image) + " " + vt::Q(copy)));
      std::string out;
      EXPECT_EQ(0u, RunVro(args + L"-noupd /format", &out)) << out;
      EXPECT_TRUE(SameOutside(image, copy, starts[n], ends[n]))
          << "a byte outside the partition changed";
      EXPECT_EQ(4096, DeclaredSector(image, starts[n]));
      EXPECT_EQ(0u, RunVro(args + inject, &out)) << out;
      EXPECT_TRUE(SameOutside(image, copy, starts[n], ends[n])) << "the inject went elsewhere";
      EXPECT_EQ(0, OnPart(image, starts[n], ends[n] - starts[n],
                          exfat ? "fsck.exfat -n \"$PART\"" : "fsck.fat -n \"$PART\"", &out))
          << out;
      EXPECT_EQ(".\n./new.txt\n", Names(FatVolumeView(image, starts[n], exfat)));
    }
    if (std::string(table) == "gpt") {
      std::string out;
      EXPECT_EQ(0, vt::Sh("l=$(losetup -f --show --sector-size 4096 " + vt::Q(image) +
                              ") && sgdisk -v $l; r=$?; losetup -d $l; exit $r",
                          &out));
      EXPECT_NE(std::string::npos, out.find("No problems found")) << out;
    }
  }
  // 2048-byte sectors: the volume is read, and formatted of its disk's
  // sectors.
  std::vector<long> starts;
  MakeDiskOfSectors(image, 2048, "mbr", {dir + "/v16"}, &starts, "6");
  std::string out;
  const std::wstring args = ImageArgs(vt::ToWin(image));
  EXPECT_EQ(
      0u, RunVro(args + L"\"/extract:\\old.txt::" + vt::ToWin(dir + "/old-out.txt") + L"\"", &out))
      << out;
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(dir + "/old-out.txt") + " " + vt::Q(dir + "/tree/old.txt")));
  EXPECT_EQ(0u, RunVro(args + L"-noupd /format", &out)) << out;
  EXPECT_EQ(2048, DeclaredSector(image, starts[0]));
  EXPECT_EQ(0u, RunVro(args + inject, &out)) << out;
  EXPECT_EQ(0, OnPart(image, starts[0], 32 * 2048, "fsck.fat -n \"$PART\"", &out)) << out;
  EXPECT_EQ(".\n./new.txt\n", Names(FatVolumeView(image, starts[0], false)));
}

// NTFS on disks of 4096-byte sectors, MBR and GPT, whose tables count
// those: every command finds the volume at its entry by the disk's
// sectors, and "::1" names no partition of the one-entry GPT. /check names
// the hidden sectors in the volume's sectors and /repair writes them so;
// /format makes 4096-byte sectors (ntfsfix passes); /size: grows the GPT
// partition with the backup table in the disk's last sectors (sgdisk -v
// clean) and refuses a size past the disk's end naming its sectors;
// /convert: into a new image (512-byte sectors) is refused with a line
// naming both sizes, and no image is left. A disk of 2048-byte sectors is
// read alike.
TEST(FormatBatch, NtfsOnDisksOfLargerSectors) {
  std::string dir = vt::ScratchDirUnix(), image = dir + "/d.img";
  ASSERT_EQ(0,
            vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " && printf old > " +
                   vt::Q(dir + "/tree/old.txt") + " && printf new > " + vt::Q(dir + "/new.txt")));
  const std::string tree = " --layout none --tree " + vt::Q(dir + "/tree");
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/vnt") +
                          " --fs ntfs --size 16 --sector 4096" + tree));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/v2k") +
                          " --fs ntfs --size 16 --sector 2048" + tree));
  const std::string ntfsOk = "ntfsfix -n \"$PART\" && ntfsls \"$PART\"";
  for (const char* table : {"mbr", "gpt"}) {
    SCOPED_TRACE(table);
    const bool gpt = std::string(table) == "gpt";
    std::vector<long> starts;
    MakeDiskOfSectors(image, 4096, table, {dir + "/vnt"}, &starts, "7", gpt ? 16 * 2048 : 0);
    const long start = starts[0];
    long length = 16 * 2048;
    const std::wstring args = ImageArgs(vt::ToWin(image));
    std::string out;
    EXPECT_EQ(DWORD(-15), RunVro(L"\"-img:" + vt::ToWin(image) + L"::1\" \"/extract:\\old.txt::" +
                                     vt::ToWin(dir + "/old-out.txt") + L"\"",
                                 &out));
    EXPECT_NE(std::string::npos, out.find("its disk has no partition of the number asked for"))
        << out;
    EXPECT_EQ(0u, RunVro(args + L"\"/extract:\\old.txt::" + vt::ToWin(dir + "/old-out.txt") + L"\"",
                         &out))
        << out;
    EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(dir + "/old-out.txt") + " " + vt::Q(dir + "/tree/old.txt")));
    // The volume was made without a table: 0 hidden sectors, where the
    // partition starts at 4096-byte sector 256.
    EXPECT_EQ(DWORD(-2), RunVro(args + L"/check", &out)) << out;
    EXPECT_NE(std::string::npos,
              out.find("Boot sector and its backup: 0 hidden sectors, but the partition starts at "
                       "sector " +
                       std::to_string(start / 8) + "."))
        << out;
    EXPECT_EQ(0u, RunVro(args + L"-noupd /repair", &out)) << out;
    EXPECT_EQ(0u, RunVro(args + L"/check", &out)) << out;
    EXPECT_EQ(
        0u,
        RunVro(args + L"-noupd \"/inject:\\new.txt::" + vt::ToWin(dir + "/new.txt") + L"\"", &out))
        << out;
    EXPECT_EQ(0, OnPart(image, start, length, ntfsOk, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("new.txt")) << out;
    if (gpt) {
      // Grown into the room behind it, the table whole.
      EXPECT_EQ(0u, RunVro(args + L"/size:30", &out)) << out;
      EXPECT_EQ(0, vt::Sh("l=$(losetup -f --show --sector-size 4096 " + vt::Q(image) +
                              ") && sgdisk -v $l && sgdisk -i 1 $l; r=$?; losetup -d $l; exit $r",
                          &out));
      EXPECT_NE(std::string::npos, out.find("No problems found")) << out;
      EXPECT_NE(std::string::npos, out.find("Partition size: 7680 sectors (30.0 MiB)")) << out;
      length = 30 * 2048;
      EXPECT_EQ(0, OnPart(image, start, length, ntfsOk, &out)) << out;
      EXPECT_NE(std::string::npos, out.find("old.txt")) << out;
      EXPECT_EQ(DWORD(-2), RunVro(args + L"/size:100", &out)) << out;
      EXPECT_NE(
          std::string::npos,
          out.find("partition 0 cannot grow to 100 MiB: the disk's size is fixed (a plain "
                   "image or a VHD) at 34 MiB (8704 sectors of 4096 bytes, the backup GPT in "
                   "the last 5), so partition 0 has no room to grow by a size the size commands "
                   "take (they go in steps of 8 MiB past its volume's 30 MiB): not grown"))
          << out;
    }
    EXPECT_EQ(0u, RunVro(args + L"-noupd /format", &out)) << out;
    EXPECT_EQ(4096, DeclaredSector(image, start));
    EXPECT_EQ(0, OnPart(image, start, length, ntfsOk, &out)) << out;
    EXPECT_EQ(std::string::npos, out.find(".txt")) << out;
    EXPECT_EQ(0u, RunVro(args + L"/check", &out)) << out;
    const std::string copy = dir + "/copy.vmd";
    EXPECT_EQ(
        DWORD(-13),
        RunVro(L"\"-img:" + vt::ToWin(copy) + L"\" \"/convert:" + vt::ToWin(image) + L"\"", &out))
        << out;
    EXPECT_NE(std::string::npos,
              out.find(vt::Narrow(vt::ToWin(image)) +
                       ": its volume has 4096-byte sectors, the target's disk 512-byte ones: a "
                       "volume is copied only onto sectors of its own size: nothing copied"))
        << out;
    EXPECT_NE(0, vt::Sh("test -e " + vt::Q(copy)));
  }
  std::vector<long> starts;
  MakeDiskOfSectors(image, 2048, "mbr", {dir + "/v2k"}, &starts, "7");
  std::string out;
  EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(image)) + L"\"/extract:\\old.txt::" +
                           vt::ToWin(dir + "/old-2k.txt") + L"\"",
                       &out))
      << out;
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(dir + "/old-2k.txt") + " " + vt::Q(dir + "/tree/old.txt")));
}

// A disk of 4096-byte sectors whose first partition holds a volume of
// 512-byte sectors (as a format that did not keep the disk's sectors left
// it) and whose second one of 4096: "::0" opens the first, never the
// second's volume, and "/format" gives it the disk's sectors. Where the
// table reads alike as sectors of 512 and of 4096 bytes (a volume at an
// entry's start by each), the disk's sector size cannot be told: nothing
// opens, and a line says why.
TEST(FormatBatch, AVolumeIsFoundAtItsEntryByTheDisksSectors) {
  std::string dir = vt::ScratchDirUnix(), image = dir + "/d.img";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/zero") + " " + vt::Q(dir + "/one") +
                      " && printf zero > " + vt::Q(dir + "/zero/zero.txt") + " && printf one > " +
                      vt::Q(dir + "/one/one.txt")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/v0") +
                          " --layout none --fs fat16 --size 16 --tree " + vt::Q(dir + "/zero")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/v1") +
                          " --layout none --fs exfat --size 40 --sector 4096 --tree " +
                          vt::Q(dir + "/one")));
  std::vector<long> starts;
  MakeDiskOfSectors(image, 4096, "mbr", {dir + "/v0", dir + "/v1"}, &starts, "6 7");
  const std::wstring args = L"\"-img:" + vt::ToWin(image) + L"::0\" ";
  std::string out;
  EXPECT_EQ(0u, RunVro(args + L"\"/extract:\\zero.txt::" + vt::ToWin(dir + "/zero-out.txt") + L"\"",
                       &out))
      << out;
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(dir + "/zero-out.txt") + " " + vt::Q(dir + "/zero/zero.txt")));
  EXPECT_EQ(
      DWORD(-12),
      RunVro(args + L"\"/extract:\\one.txt::" + vt::ToWin(dir + "/one-out.txt") + L"\"", &out))
      << out;
  const std::string second = vt::Sha256(vt::ToWin(dir + "/v1"));
  EXPECT_EQ(0u, RunVro(args + L"-noupd /format", &out)) << out;
  EXPECT_EQ(4096, DeclaredSector(image, starts[0]));
  EXPECT_EQ(0, OnPart(image, starts[0], 16 * 2048, "fsck.fat -n \"$PART\"", &out)) << out;
  EXPECT_EQ(0, OnPart(image, starts[1], 40 * 2048, "sha256sum < \"$PART\" | cut -d' ' -f1", &out));
  EXPECT_EQ(second, out.substr(0, second.size()));

  // The first partition read in 512-byte sectors holds a volume of them too.
  ASSERT_EQ(0, vt::Sh("dd if=" + vt::Q(dir + "/v0") + " of=" + vt::Q(image) + " bs=512 seek=" +
                      std::to_string(starts[0] / 8) + " count=1 conv=notrunc status=none"));
  const std::string hash = vt::Sha256(vt::ToWin(image));
  for (const std::wstring& command :
       {std::wstring(L"/format"),
        L"\"/extract:\\one.txt::" + vt::ToWin(dir + "/one-out.txt") + L"\""}) {
    EXPECT_EQ(DWORD(-15), RunVro(args + L"-noupd " + command, &out)) << out;
    EXPECT_NE(std::string::npos,
              out.find(": no NTFS, FAT or exFAT volume in it could be mounted: not opened (its "
                       "partition table reads alike as sectors of 512 and of 4096 bytes, a volume "
                       "at an entry's start by each: the disk's sector size cannot be told)"))
        << out;
  }
  EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image)));
}

// The partition a command takes where it names none (no "::N"): the first
// data partition that holds a volume, never the EFI system partition (nor
// the MSR). Disks: GPT [basic data without a volume, ESP, NTFS], [ESP,
// basic data without a volume, NTFS], Windows' [ESP, MSR, NTFS] whose NTFS
// lost both boot sectors, MBR [NTFS that lost both, FAT32], and a new
// image's [ESP, basic data without a volume]. An inject goes to the volume
// reads take (none: -15, nothing written); a format to the first data
// partition, also where it holds none, unless another data partition holds
// the volume: then -13 with a line naming the disk's partitions by ::N,
// nothing written, and ::N formats the one named. Every other partition
// stays byte for byte; the format export with 0 does as "/format".
TEST(FormatBatch, TheDefaultPartitionIsNeverTheEfiSystemPartition) {
  std::string dir = vt::ScratchDirUnix(), image = dir + "/d.img", copy = dir + "/before.img";
  ASSERT_EQ(0,
            vt::Sh("mkdir -p " + vt::Q(dir + "/esp/EFI/Boot") + " " + vt::Q(dir + "/data") +
                   " && head -c 30000 /dev/urandom > " + vt::Q(dir + "/esp/EFI/Boot/bootx64.efi") +
                   " && printf data > " + vt::Q(dir + "/data/data.txt") + " && printf new > " +
                   vt::Q(dir + "/new.txt") + " && truncate -s 4M " + vt::Q(dir + "/none") +
                   " && truncate -s 1M " + vt::Q(dir + "/msr")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/esp.vol") +
                          " --layout none --fs fat32 --size 34 --tree " + vt::Q(dir + "/esp")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/ntfs.vol") +
                          " --layout none --fs ntfs --size 8 --tree " + vt::Q(dir + "/data")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/fat.vol") +
                          " --layout none --fs fat32 --size 34 --tree " + vt::Q(dir + "/data")));
  // Both boot sectors lost: the first and the last sector.
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(dir + "/ntfs.vol") + " " + vt::Q(dir + "/lost.vol") +
                      " && dd if=/dev/zero of=" + vt::Q(dir + "/lost.vol") +
                      " bs=512 count=1 conv=notrunc status=none && dd if=/dev/zero of=" +
                      vt::Q(dir + "/lost.vol") +
                      " bs=512 seek=$((8 * 2048 - 1)) count=1 conv=notrunc status=none"));
  const std::string esp = dir + "/esp.vol", ntfs = dir + "/ntfs.vol", none = dir + "/none",
                    lost = dir + "/lost.vol";
  struct Case {
    const char* name;
    const char* table;
    std::vector<std::string> volumes;
    const char* types;
    int read;    // the partition reads take (-1: none)
    int format;  // the partition a format takes and makes NTFS (-1: refused, -13)
  } cases[] = {
      {"empty esp ntfs", "gpt", {none, esp, ntfs}, "0700 ef00 0700", 2, -1},
      {"esp empty ntfs", "gpt", {esp, none, ntfs}, "ef00 0700 0700", 2, -1},
      {"esp msr lost", "gpt", {esp, dir + "/msr", lost}, "ef00 0c01 0700", -1, 2},
      {"lost fat32", "mbr", {lost, dir + "/fat.vol"}, "7 c", 1, -1},
      {"esp empty", "gpt", {esp, none}, "ef00 0700", -1, 1},
  };
  const std::wstring inject = L"-noupd \"/inject:\\new.txt::" + vt::ToWin(dir + "/new.txt") + L"\"";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<long> starts;
    MakeDiskOfSectors(image, 512, c.table, c.volumes, &starts, c.types);
    auto end = [&](int n) {
      std::string size;
      vt::Sh("stat -c %s " + vt::Q(c.volumes[n]), &size);
      return starts[n] + atol(size.c_str()) / 512;
    };
    ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(image) + " " + vt::Q(copy)));
    const std::string hash = vt::Sha256(vt::ToWin(image));
    const std::wstring args = ImageArgs(vt::ToWin(image));
    std::string out;
    EXPECT_EQ(c.read < 0 ? DWORD(-15) : 0u, RunVro(args + inject, &out)) << out;
    if (c.read < 0) {
      EXPECT_NE(std::string::npos, out.find("no NTFS, FAT or exFAT volume in it could be mounted"))
          << out;
      EXPECT_EQ(hash, vt::Sha256(vt::ToWin(image)));
    } else {
      const long n = c.read;
      EXPECT_TRUE(SameOutside(image, copy, starts[n], end(n))) << "the inject went elsewhere";
      EXPECT_EQ(0,
                OnPart(image, starts[n], end(n) - starts[n],
                       c.volumes[n] == ntfs ? "ntfscat \"$PART\" new.txt"
                                            : "MTOOLS_SKIP_CHECK=1 mtype -i \"$PART\" ::/new.txt",
                       &out));
      EXPECT_EQ("new", out);
      ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(image) + " " + vt::Q(copy)));
    }
    const std::string before = vt::Sha256(vt::ToWin(image));
    EXPECT_EQ(c.format < 0 ? DWORD(-13) : 0u, RunVro(args + L"-noupd /format", &out)) << out;
    if (c.format < 0) {
      EXPECT_EQ(before, vt::Sha256(vt::ToWin(image)));
      EXPECT_NE(std::string::npos,
                out.find(": a format that names no partition takes the first data partition, ::" +
                         std::to_string(c.volumes[0] == esp ? 1 : 0) +
                         ", which holds no volume this program reads, while ::" +
                         std::to_string(c.read) + " holds one: nothing formatted"))
          << out;
      EXPECT_NE(std::string::npos, out.find("the disk's partitions: ::0 ")) << out;
      // The export alike; then the partition named is formatted.
      EXPECT_EQ(kImageBadArgument, ImageFormatPartitionW(vt::ToWin(image).c_str(), L"", 0));
      EXPECT_EQ(before, vt::Sha256(vt::ToWin(image)));
      const int named = c.volumes[0] == esp ? 1 : 0;
      EXPECT_EQ(0u, RunVro(L"\"-img:" + vt::ToWin(image) + L"::" + std::to_wstring(named) +
                               L"\" -noupd /format",
                           &out))
          << out;
      EXPECT_TRUE(SameOutside(image, copy, starts[named], end(named)));
      EXPECT_EQ(
          0, OnPart(image, starts[named], end(named) - starts[named], "ntfsfix -n \"$PART\"", &out))
          << out;
      EXPECT_EQ(0, vt::Sh(c.table == std::string("gpt")
                              ? "sgdisk -v " + vt::Q(image) + " | grep -q 'No problems found'"
                              : "sfdisk -V " + vt::Q(image) + " >/dev/null"));
      continue;
    }
    const long n = c.format;
    EXPECT_TRUE(SameOutside(image, copy, starts[n], end(n)))
        << "a byte outside the partition changed";
    EXPECT_EQ(0, vt::Sh("sgdisk -v " + vt::Q(image) + " | grep -q 'No problems found'"));
    EXPECT_EQ(0, OnPart(image, starts[n], end(n) - starts[n],
                        "ntfsfix -n \"$PART\" && ntfsls \"$PART\"", &out))
        << out;
    EXPECT_EQ(std::string::npos, out.find(".txt")) << out;
    // Now it reads.
    EXPECT_EQ(0u, RunVro(args + inject, &out)) << out;
    EXPECT_TRUE(SameOutside(image, copy, starts[n], end(n))) << "the inject went elsewhere";
  }
}

// A plain NTFS volume converted into a plain image (a disk longer than the
// volume, its backup boot sector in the disk's last sector too): with its
// boot sector lost it opens through the backup at the volume's end, and
// "/format" leaves the new backup where ntfsfix looks for it.
TEST(FormatBatch, APlainVolumeConvertedIntoALongerImage) {
  std::string dir = vt::ScratchDirUnix(), plain = dir + "/plain.img", conv = dir + "/conv.img",
              lost = dir + "/lost.img", disk = dir + "/conv.disk";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " && head -c 100000 /dev/urandom > " +
                      vt::Q(dir + "/tree/data.bin")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(plain) + " --layout none --size 24 --tree " +
                          vt::Q(dir + "/tree")));
  std::string out;
  ASSERT_EQ(0u, RunVro(ImageArgs(vt::ToWin(conv)) + L"/p \"/convert:" + vt::ToWin(plain) + L"\"",
                       &out))
      << out;
  // The image's disk (behind its header sector) is longer than the volume.
  ASSERT_EQ(0, vt::Sh("test $(stat -c %s " + vt::Q(conv) + ") -gt $((25165824 + 512))"));

  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(conv) + " " + vt::Q(lost) + " && dd if=/dev/zero of=" +
                      vt::Q(lost) + " bs=512 seek=1 count=1 conv=notrunc status=none"));
  EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(lost)) + L"\"/extract:\\data.bin::" +
                           vt::ToWin(dir + "/out.bin") + L"\"",
                       &out))
      << out;
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(dir + "/tree/data.bin") + " " + vt::Q(dir + "/out.bin")));

  EXPECT_EQ(0u, RunVro(ImageArgs(vt::ToWin(conv)) + L"-noupd /format", &out)) << out;
  ASSERT_EQ(0, vt::Sh("dd if=" + vt::Q(conv) + " of=" + vt::Q(disk) +
                      " bs=512 skip=1 conv=sparse status=none"));
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(disk) + " 2>&1 && ntfsls " + vt::Q(disk), &out)) << out;
  EXPECT_EQ(std::string::npos, out.find("BAD")) << out;
  EXPECT_EQ(std::string::npos, out.find("data.bin")) << out;
}

}  // namespace
