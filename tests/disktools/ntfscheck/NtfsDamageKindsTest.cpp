// Each kind of damage the check must see, written by
// tests/fixtures/ntfs-damage.py into a copy of a volume of mkntfs and
// ntfs-3g, goes through the program: "/check" fails with a line naming it;
// "/repair" mends it (after which "/check" and ntfsfix -n pass) or fails
// and says why. Whatever it answers, every stream ntfs-3g read before the
// repair reads the same after it, and again once the volume's free space is
// filled: a cluster the repair gave up while a record still used it would
// be overwritten then.
#include <windows.h>

#include <algorithm>
#include <map>

#include "FormatTestUtil.h"
#include "NtfsStreams.h"
#include "ProgramImage.h"
#include "app/ImageOperations.h"

using namespace fmt;

namespace {

const uint64_t kMib = 1 << 20;
const int kVolumeMib = 32;

// The volume: a folder of 120 files (an index with blocks), files in
// folders, a file with 40 streams that ntfs-3g spreads over extension
// records named by an attribute list, a hard link, and a file written into
// free space cut into pieces.
std::string MakeVolume(const std::string& dir, const std::string& layout) {
  const std::string tree = dir + "/tree", image = dir + "/" + layout + ".img";
  EXPECT_EQ(0, vt::Sh("rm -rf " + vt::Q(tree) + " && mkdir -p " + vt::Q(tree + "/Many") + " " +
                      vt::Q(tree + "/Dir/Sub") + " && cd " + vt::Q(tree) +
                      " && for i in $(seq 100 219); do head -c $((i * 37 % 3000)) /dev/urandom > "
                      "Many/a-file-with-a-long-name-$i.dat; done && head -c 300000 /dev/urandom > "
                      "big.bin && echo one > Dir/one.txt && echo two > Dir/Sub/two.txt"));
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --layout " + layout + " --size " +
                          std::to_string(kVolumeMib) + " --tree " + vt::Q(tree)));
  const uint64_t start = layout == "none" ? 0 : 2048 * 512;
  std::string mnt = vt::Q(dir + "/mnt");
  EXPECT_EQ(0, OnPartition(vt::ToWin(image), start, kVolumeMib * kMib,
                           "mkdir -p " + mnt + " && ntfs-3g -o streams_interface=windows $DEV " +
                               mnt + " && cd " + mnt +
                               " && echo base > streams.txt && for i in $(seq 1 40); do head -c "
                               "$((1500 + i * 20)) /dev/urandom > streams.txt:s$i; done && ln "
                               "Dir/one.txt Dir/Sub/also-one.txt && echo linked > Dir/link.txt && "
                               "mkdir gaps && for i in $(seq 1 300); do head -c 4096 /dev/urandom "
                               "> gaps/$i; done && for i in $(seq 1 2 300); do rm gaps/$i; done && "
                               "head -c 600000 /dev/urandom > pieces.bin && cd / && umount " +
                               mnt));
  return image;
}

TEST(BatchCheckRepair, EachKindOfDamage) {
  struct Case {
    const char* kind;    // of ntfs-damage.py
    const char* line;    // in /check's output
    bool mends;          // /repair answers 0
    const char* layout;  // of the volume
    const char* after;   // a stream the repair adds, or null
  } cases[] = {
      {"attribute-list", "is not in its attribute list.\n", false, "mbr2048", nullptr},
      {"hidden-sectors",
       "Boot sector: 63 hidden sectors, but the partition starts at sector 2048.\n", true,
       "mbr2048", nullptr},
      {"hidden-sectors-zero",
       "Boot sector and its backup: 0 hidden sectors, but the partition starts at sector 2048.\n",
       true, "mbr2048", nullptr},
      {"backup-hidden-sectors",
       "Boot sector: the backup in the partition's last sector gives 0 hidden sectors, but the "
       "partition starts at sector 2048.\n",
       true, "mbr2048", nullptr},
      {"sectors-per-cluster", "Boot sector: $MFT does not lie where it says.\n", true, "mbr2048",
       nullptr},
      {"volume-past-partition",
       "Boot sector: the volume (69631 sectors) does not fit its partition (65536 sectors).\n",
       true, "mbr2048", nullptr},
      {"partition-smaller",
       "Boot sector: neither it nor its backup fits the partition and lies on $MFT.\n", false,
       "mbr2048", nullptr},
      {"grown-boot-lost",
       "Boot sector: damaged; the backup in sector 65535 of the partition is read instead.\n", true,
       "mbr2048", nullptr},
      {"sector-count-lower",
       "Boot sector: the volume (65527 sectors) ends before the backup in the partition's last "
       "sector.\n",
       true, "none", nullptr},
      {"sdh-entry-length", "Index root of $Secure:$SDH: its entries are corrupt.\n", false,
       "mbr2048", nullptr},
      {"data-size", ":0x80: its data size 315392 is past its allocated size 303104.\n", false,
       "mbr2048", nullptr},
      {"index-entry", ": its name \"one.txt\" is not in the index of folder ", true, "mbr2048",
       nullptr},
      {"record-copy", "(\"two.txt\") is in use, but no folder names it.\n", true, "mbr2048",
       "  found.000/two.txt"},
      {"link-count", ": its link count is 2, but its names make 1.\n", true, "mbr2048", nullptr},
      {"upcase", "$UpCase: 257 entries differ from the upper-case table, the first at U+0100.\n",
       true, "mbr2048", nullptr},
      {"extend-plain", "$Extend\\$Quota (record 24) is no metafile: it has no index $O.\n", false,
       "mbr2048", nullptr},
      {"extend-freed", "Index root of folder 11 names record 24, which is not in use or damaged.\n",
       false, "mbr2048", nullptr},
  };
  const std::string dir = vt::ScratchDirUnix(), mnt = dir + "/mnt", work = dir + "/d.img";
  struct Pristine {
    std::string image;
    uint64_t start;
    std::set<std::string> streams;
  };
  std::map<std::string, Pristine> volumes;
  for (const char* layout : {"mbr2048", "none"}) {
    Pristine& p = volumes[layout];
    p.image = MakeVolume(dir, layout);
    p.start = std::string(layout) == "none" ? 0 : 2048 * 512;
    p.streams = ReadNtfsStreams(p.image, p.start, kVolumeMib * kMib, mnt);
    ASSERT_GT(p.streams.size(), 100u) << layout;
  }
  ASSERT_FALSE(HasFailure());
  const std::wstring img = L"\"-img:" + vt::ToWin(work) + L"\" -noupd ";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    const Pristine& p = volumes[c.layout];
    std::string out;
    ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(p.image) + " " + vt::Q(work)));
    ASSERT_EQ(0,
              vt::Sh("python3 tests/fixtures/ntfs-damage.py " + vt::Q(work) + " " + c.kind, &out))
        << out;
    // The partition as the table now says, for the judges.
    std::vector<uint8_t> mbr = ReadBytes(vt::ToWin(work), 0, 512);
    uint64_t bytes = p.start ? Le32(&mbr[0x1CA]) * 512ULL : kVolumeMib * kMib;
    // What ntfs-3g reads of the damaged volume as it was made.
    std::set<std::string> before = ReadNtfsStreams(work, p.start, bytes, mnt);
    std::set<std::string> readable = MissingStreams(before, MissingStreams(before, p.streams));
    DWORD code = 0;
    ASSERT_TRUE(apptest::RunProgram(img + L"/check", code, &out));
    EXPECT_EQ(DWORD(kImageVolumeOperationFailed), code) << out;
    EXPECT_NE(std::string::npos, out.find(c.line)) << out;
    // Each line names its own finding: two boot sectors that are the same
    // are not said to differ.
    EXPECT_EQ(std::string::npos,
              out.find("Boot sector: the backup in the partition's last sector differs.\n"))
        << out;
    ASSERT_TRUE(apptest::RunProgram(img + L"/repair", code, &out));
    EXPECT_EQ(c.mends ? 0u : DWORD(kImageVolumeOperationFailed), code) << out;
    // A repair that fails says why.
    if (!c.mends) {
      EXPECT_NE(std::string::npos, out.find('\n')) << "no line";
    } else {
      ASSERT_TRUE(apptest::RunProgram(img + L"/check", code, &out));
      EXPECT_EQ(0u, code) << out;
      EXPECT_EQ(0, OnPartition(vt::ToWin(work), p.start, bytes, "ntfsfix -n $DEV", &out)) << out;
    }
    for (bool fill : {false, true}) {
      SCOPED_TRACE(fill ? "free space filled" : "repaired");
      std::set<std::string> after = ReadNtfsStreams(work, p.start, bytes, mnt, fill);
      // A mended volume has all of it back; any volume keeps what could be
      // read before.
      for (const std::string& line : MissingStreams(c.mends ? p.streams : readable, after))
        ADD_FAILURE() << "lost: " << line;
      if (c.after) {
        EXPECT_TRUE(std::any_of(after.begin(), after.end(), [&](const std::string& line) {
          return line.size() > 64 && line.compare(64, std::string::npos, c.after) == 0;
        })) << c.after;
      }
    }
  }
}

}  // namespace
