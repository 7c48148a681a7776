// Attributes an attribute list spreads over extension records, as ntfs-3g
// and the program's own inject write them into free space cut into pieces:
// a large file's data, the indexes of folders of thousands of files, $MFT's
// own data, a file of many links and one of many streams, and a short list
// held in its base record (resident) beside the others. "/check" finds
// such a volume sound and "/repair" leaves it as it is, also where ntfs-3g
// left its buffer's bytes in the padding of the streams it moved; damage
// in the pieces is found, and the repair gives up none of their clusters.
#include <windows.h>

#include <set>
#include <sstream>

#include "FormatTestUtil.h"
#include "NtfsStreams.h"
#include "ProgramImage.h"
#include "app/ImageOperations.h"

using namespace fmt;

namespace {

const uint64_t kBytes = 96ull << 20;  // the volume, alone in its image

// What ntfsinfo shows of `path`: the records that hold its attribute
// `attribute` (its name, as "$DATA"), and whether its attribute list is
// resident.
struct Shown {
  std::set<long> records;
  bool residentList = false;
};
Shown Show(const std::string& image, const std::string& path, const std::string& attribute) {
  std::string out;
  OnPartition(vt::ToWin(image), 0, kBytes, "ntfsinfo -F " + vt::Q(path) + " $DEV 2>/dev/null",
              &out);
  Shown shown;
  std::istringstream text(out);
  const std::string head = "Dumping attribute " + attribute + " (", from = "from mft record ";
  bool list = false;
  for (std::string line; std::getline(text, line);) {
    if (!line.compare(0, head.size(), head) && line.find(from) != std::string::npos)
      shown.records.insert(atol(line.c_str() + line.find(from) + from.size()));
    if (list && line.find("Resident:") != std::string::npos)
      shown.residentList = line.find("Yes") != std::string::npos;
    if (line.find("Dumping attribute ") != std::string::npos)
      list = line.find("$ATTRIBUTE_LIST") != std::string::npos;
  }
  return shown;
}

// "/check" finds the volume alone in `image` sound, and "/repair" writes
// nothing but $Volume's flags (its record in $MFT and in the mirror);
// ntfsfix -n agrees.
void ExpectSoundAndLeftAsItIs(const std::string& image) {
  const std::wstring img = L"\"-img:" + vt::ToWin(image) + L"\" -noupd ";
  std::string out;
  DWORD code = 0;
  ASSERT_TRUE(apptest::RunProgram(img + L"/check", code, &out));
  EXPECT_EQ(0u, code) << out;
  const std::string before = image + ".before";
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(image) + " " + vt::Q(before)));
  ASSERT_TRUE(apptest::RunProgram(img + L"/repair", code, &out));
  EXPECT_EQ(0u, code) << out;
  std::vector<uint8_t> boot = ReadBytes(vt::ToWin(image), 0, 512);
  const uint64_t cluster = 512ull * boot[13], record = 1024;
  const uint64_t volume[] = {Le64(&boot[0x30]) * cluster + 3 * record,
                             Le64(&boot[0x38]) * cluster + 3 * record};
  std::string diff;
  vt::Sh("cmp -l " + vt::Q(before) + " " + vt::Q(image) + " | awk '{print $1}'", &diff);
  std::istringstream bytes(diff);
  for (unsigned long long at; bytes >> at;)
    if (!(at - 1 - volume[0] < record || at - 1 - volume[1] < record))
      ADD_FAILURE() << "the repair changed byte " << at - 1;
  EXPECT_EQ(0, OnPartition(vt::ToWin(image), 0, kBytes, "ntfsfix -n $DEV", &out)) << out;
}

// The volume: ntfs-3g cuts the free space into pieces and writes into them
// a file of 121 names, one of 40 streams, a 20 MB file, a folder of 3,000
// files, and a file cut short after its runs needed an extension record,
// whose list then moves into its base record; the program injects a folder
// of 3,000 more.
std::string SplitVolume() {
  const std::string dir = vt::ScratchDirUnix(), mnt = vt::Q(dir + "/mnt");
  const std::string host = dir + "/host/Injected", made = dir + "/split.img";
  EXPECT_EQ(
      0,
      vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " " + vt::Q(host) + " && echo one > " +
             vt::Q(dir + "/tree/one.txt") + " && cd " + vt::Q(host) +
             " && for i in $(seq 1 3000); do echo $i > a-file-the-program-injects-with-a-name-long-"
             "enough-to-fill-index-blocks-quickly-$i.txt; done"));
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(made) + " --layout none --size " +
                          std::to_string(kBytes >> 20) + " --tree " + vt::Q(dir + "/tree")));
  std::string out;
  EXPECT_EQ(
      0, OnPartition(
             vt::ToWin(made), 0, kBytes,
             "mkdir -p " + mnt + " && ntfs-3g -o streams_interface=windows $DEV " + mnt +
                 " && python3 tests/fixtures/ntfs-fragment.py " + mnt + "/gaps && cd " + mnt +
                 " && echo linked > linked.txt && for i in $(seq 1 120); do ln "
                 "linked.txt link-$i; done && echo base > streams.txt && for i in "
                 "$(seq 1 40); do head -c $((1500 + i * 20)) /dev/urandom > "
                 "streams.txt:s$i; done && head -c 20000000 /dev/urandom > big.bin "
                 "&& mkdir Many && for i in $(seq 1 3000); do echo $i > "
                 "Many/a-file-ntfs-3g-writes-with-a-name-long-enough-to-fill-index-blocks-"
                 "quickly-$i.txt; done && head -c 1500000 /dev/urandom > medium.bin && truncate -s "
                 "200000 medium.bin; cd / && umount " +
                 mnt,
             &out))
      << out;
  EXPECT_EQ(0, vt::Sh("python3 tests/fixtures/ntfs-resident-list.py " + vt::Q(made) + " medium.bin",
                      &out))
      << out;
  DWORD code = 0;
  EXPECT_TRUE(apptest::RunProgram(
      L"\"-img:" + vt::ToWin(made) + L"\" -noupd \"/inject:\\Injected::" + vt::ToWin(host) + L"\"",
      code, &out));
  EXPECT_EQ(0u, code) << out;
  return made;
}

TEST(BatchCheckRepair, AttributesSpreadOverRecords) {
  const std::string image = SplitVolume();
  ASSERT_FALSE(HasFailure());
  // The shapes, as ntfsinfo shows them: an attribute list in the base
  // record, and the attribute in several records.
  struct Shape {
    const char* path;
    const char* attribute;
    size_t records;  // at least
    bool residentList;
  } shapes[] = {
      {"/big.bin", "$DATA", 4, false},
      {"/Many", "$INDEX_ALLOCATION", 2, false},
      {"/Injected", "$INDEX_ALLOCATION", 2, false},
      {"$MFT", "$DATA", 2, false},
      {"/linked.txt", "$FILE_NAME", 4, false},
      {"/streams.txt", "$DATA", 4, false},
      {"/medium.bin", "$FILE_NAME", 1, true},
  };
  for (const Shape& s : shapes) {
    EXPECT_EQ(1u, Show(image, s.path, "$ATTRIBUTE_LIST").records.size()) << s.path;
    Shown shown = Show(image, s.path, s.attribute);
    EXPECT_LE(s.records, shown.records.size()) << s.path;
    EXPECT_EQ(s.residentList, shown.residentList) << s.path;
  }
  ExpectSoundAndLeftAsItIs(image);

  // Damage in the pieces of big.bin's data.
  struct Case {
    const char* kind;  // of ntfs-damage.py, on big.bin
    const char* line;
    bool readable;  // ntfs-3g still reads big.bin whole
  } cases[] = {
      {"piece-vcn", ":0x80: VCN ", false},
      {"piece-free", "names attribute 0x80 of record ", true},
      {"piece-sequence", " of sequence ", true},
  };
  const std::string work = image + ".damaged", mnt = vt::Q(image + ".mnt");
  const std::wstring damaged = L"\"-img:" + vt::ToWin(work) + L"\" -noupd ";
  std::string out, want;
  DWORD code = 0;
  ASSERT_EQ(0,
            OnPartition(vt::ToWin(image), 0, kBytes, "ntfscat $DEV /big.bin | sha256sum", &want));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    ASSERT_EQ(0,
              vt::Sh("cp --sparse=always " + vt::Q(image) + " " + vt::Q(work) +
                         " && python3 tests/fixtures/ntfs-damage.py " + vt::Q(work) + " " + c.kind,
                     &out))
        << out;
    ASSERT_TRUE(apptest::RunProgram(damaged + L"/check", code, &out));
    EXPECT_EQ(DWORD(kImageVolumeOperationFailed), code) << out;
    EXPECT_NE(std::string::npos, out.find(c.line)) << out;
    ASSERT_TRUE(apptest::RunProgram(damaged + L"/repair", code, &out));
    EXPECT_EQ(DWORD(kImageVolumeOperationFailed), code) << out;
    EXPECT_NE(std::string::npos, out.find(c.line)) << out;
    // Once the free space is filled, big.bin reads as before: the repair
    // gave up none of its clusters.
    std::string after;
    EXPECT_EQ(0, OnPartition(vt::ToWin(work), 0, kBytes,
                             "mkdir -p " + mnt + " && ntfs-3g $DEV " + mnt + " && { head -c " +
                                 std::to_string(kBytes) + " /dev/urandom > " + mnt +
                                 "/fill.bin 2>/dev/null; umount " + mnt +
                                 "; } && ntfscat $DEV /big.bin | sha256sum",
                             &after));
    if (c.readable) {
      EXPECT_EQ(want, after);
    }
  }
}

// ntfs-3g leaves what its buffer held in the padding byte (0x17, after
// the resident flags) of the resident streams it moves into extension
// records. Neither Windows nor ntfs-3g reads that byte: "/check" finds
// the volume sound, its attribute list whole, and "/repair" writes
// nothing but the flags; every stream reads as before.
TEST(BatchCheckRepair, PaddingNtfs3gLeavesIsNoFinding) {
  const std::string dir = vt::ScratchDirUnix(), mnt = dir + "/mnt";
  const std::string image = dir + "/padding.img";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/tree") + " && echo one > " +
                      vt::Q(dir + "/tree/one.txt")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(image) + " --layout none --size " +
                          std::to_string(kBytes >> 20) + " --tree " + vt::Q(dir + "/tree")));
  std::string out;
  const std::string m = vt::Q(mnt);
  ASSERT_EQ(0, OnPartition(vt::ToWin(image), 0, kBytes,
                           "mkdir -p " + m + " && ntfs-3g -o streams_interface=windows $DEV " + m +
                               " && cd " + m +
                               " && echo base > padded.txt && for i in $(seq 1 200); do head -c "
                               "$((i % 50 + 1)) /dev/zero | tr '\\0' x > padded.txt:s$i; done "
                               "&& cd / && umount " + m,
                           &out))
      << out;
  // The shape, as the records hold it.
  ASSERT_EQ(0, vt::Sh("python3 tests/fixtures/ntfs-padding.py " + vt::Q(image), &out));
  ASSERT_NE(std::string::npos, out.find(": attribute 0x80: 0x78")) << out;
  EXPECT_GT(Show(image, "/padded.txt", "$DATA").records.size(), 2u);
  const std::set<std::string> streams = ReadNtfsStreams(image, 0, kBytes, mnt);
  ASSERT_GT(streams.size(), 200u);

  ExpectSoundAndLeftAsItIs(image);
  EXPECT_EQ(streams, ReadNtfsStreams(image, 0, kBytes, mnt));
}

}  // namespace
