// The NTFS check and repair on volumes made by mkntfs (mk-disk.sh) and by
// the formatter, with damage written through the mounted image's device
// block; ntfsfix and the files' content judge the repaired volume.
#include <windows.h>

#include <stdarg.h>

#include "FailingWrites.h"
#include "FormatTestUtil.h"
#include "ProgramImage.h"
#include "app/ImageOperations.h"
#include "disktools/NtfsFormatterInstall.h"
#include "disktools/ntfscheck/NtfsCheck.h"
#include "disktools/partition/PartitionResize.h"
#include "image/mount/MountedImage.h"
#include "image/ntfs/check/NtfsCheck.h"
#include "image/ntfs/check/NtfsRepair.h"

using namespace fmt;

namespace {

const uint64_t kStart = 2048;  // mk-disk.sh's partition

std::string gLog;
void CollectLog(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  _vsnprintf(line, sizeof line, format, args);
  va_end(args);
  line[sizeof line - 1] = 0;
  gLog += line;
}

struct Disk {
  std::string dir;
  std::wstring path;
  uint64_t mftOffset = 0, mirrorOffset = 0;
};

// With `many`, a folder "Many" of 150 files, whose index has blocks.
Disk MakeDisk(bool many = false) {
  Disk d;
  d.dir = vt::ScratchDirUnix();
  EXPECT_EQ(0, vt::Sh("mkdir -p " + d.dir + "/tree/Dir && head -c 400000 /dev/urandom > " + d.dir +
                      "/tree/a.bin && echo note > " + d.dir + "/tree/Dir/b.txt"));
  if (many) {
    EXPECT_EQ(0, vt::Sh("mkdir " + d.dir + "/tree/Many && for i in $(seq 100 249); do echo $i > " +
                        d.dir + "/tree/Many/file-with-a-longer-name-$i.txt; done"));
  }
  d.path = vt::ToWin(d.dir + "/d.img");
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.dir + "/d.img") + " --size 40 --tree " +
                          vt::Q(d.dir + "/tree")));
  std::vector<uint8_t> boot = ReadBytes(d.path, kStart * 512, 512);
  d.mftOffset = kStart * 512 + Le64(&boot[0x30]) * 4096;
  d.mirrorOffset = kStart * 512 + Le64(&boot[0x38]) * 4096;
  return d;
}

void Write(CMountedImage& image, uint64_t offset, const void* data, unsigned count) {
  DiskIoBlock* b = image.IoBlock();
  ASSERT_EQ((int)count, b->write(b->owner, offset, data, count));
}

const uint64_t kPartitionBytes = 40 * 2048 * 512ULL;

// The judges of a volume: ntfsfix -n, ntfsresize --info (the cluster
// accounting), and a read-write ntfs-3g mount whose whole tree equals the
// source tree. 0 when all pass.
std::string Judges(const Disk& d) {
  std::string mnt = vt::Q(d.dir + "/mnt");
  return "ntfsfix -n $DEV && ntfsresize --info --force --no-progress-bar $DEV && mkdir -p " + mnt +
         " && ntfs-3g $DEV " + mnt + " && { diff -r " + vt::Q(d.dir + "/tree") + " " + mnt +
         "; rc=$?; [ $rc -eq 0 ] || umount " + mnt + "; [ $rc -eq 0 ]; }";
}

// The judges, then ntfsinfo, and a new file written through the mount,
// after which the volume is still clean.
void ExpectRepairedVolume(const Disk& d, uint64_t partitionBytes = kPartitionBytes) {
  std::string out, mnt = vt::Q(d.dir + "/mnt");
  EXPECT_EQ(0, OnPartition(d.path, kStart * 512, partitionBytes,
                           Judges(d) + " && echo rw > " + mnt + "/rw.txt && umount " + mnt +
                               " && ntfsinfo -m $DEV && ntfsfix -n $DEV",
                           &out))
      << out;
}

// The record whose first name is `name` (ASCII), from record 64 on; -1.
int RecordNamed(const Disk& d, const std::string& name) {
  std::string utf16;
  for (char c : name) utf16 += std::string(1, c) + '\0';
  for (int n = 64; n < 256; n++) {
    std::vector<uint8_t> rec = ReadBytes(d.path, d.mftOffset + n * 1024ULL, 1024);
    const uint8_t* fn = FindAttribute(rec, 0x30);
    if (fn && std::string((const char*)fn + 24 + 0x42, utf16.size()) == utf16) return n;
  }
  return -1;
}

// Sets (or clears) the $Bitmap bits of `count` clusters from `first`.
void MarkClusters(const Disk& d, int64_t bitmapLcn, int64_t first, int count, bool used) {
  uint64_t at = kStart * 512 + bitmapLcn * 4096;
  std::vector<uint8_t> map = ReadBytes(d.path, at, 4096);
  for (int64_t c = first; c < first + count; c++) {
    uint8_t bit = uint8_t(1 << (c % 8));
    map[c / 8] = used ? map[c / 8] | bit : map[c / 8] & ~bit;
  }
  WriteBytes(d.path, at, map);
}

TEST(NtfsCheck, FindsTheDamageWrittenIntoTheVolume) {
  Disk d = MakeDisk();
  // Record 64 is the first file's; record 40 is free.
  struct Case {
    const char* name;
    uint64_t offset;  // from the $MFT start
    std::vector<uint8_t> bytes;
    const char* line;  // expected in the log; null: the log stays empty
    int result;        // 0 when anything is found
  } cases[] = {
      {"clean", 0, {}, nullptr, 1},
      {"oem id", ~0ULL, {'N', 'T', 'F', 'X'}, "Boot sector: Bad NTFS magic.\n", 0},
      {"fixup", 64 * 1024 + 1022, {0x34, 0x12}, "Assertion failed for '64:fixup'. should be", 0},
      {"magic", 64 * 1024, {'X', 'I', 'L', 'E'}, "Assertion failed for '64:FILE record magic'", 0},
      {"free record", 40 * 1024, {'X', 'X', 'X', 'X'}, nullptr, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> before = ReadBytes(d.path, 0, 1);
    CMountedImage image;
    ASSERT_GE(image.OpenImage(d.path.c_str(), nullptr, 0, 2), 0);
    std::vector<uint8_t> keep;
    uint64_t at = c.offset == ~0ULL ? kStart * 512 + 3 : d.mftOffset + c.offset;
    if (!c.bytes.empty()) {
      keep = ReadBytes(d.path, at, (uint32_t)c.bytes.size());
      Write(image, at, c.bytes.data(), (unsigned)c.bytes.size());
    }
    gLog.clear();
    EXPECT_EQ(c.result, CheckNtfsVolume(image.NtfsVolume(), CollectLog));
    if (c.line)
      EXPECT_NE(std::string::npos, gLog.find(c.line)) << gLog;
    else
      EXPECT_EQ("", gLog);
    if (!keep.empty()) Write(image, at, keep.data(), (unsigned)keep.size());
    EXPECT_TRUE(image.Close());
  }
}

TEST(NtfsCheck, LoadsTheMftRunlistFromTheMirror) {
  Disk d = MakeDisk();
  CMountedImage image;
  ASSERT_GE(image.OpenImage(d.path.c_str(), nullptr, 0, 2), 0);
  // Record 0's first attribute offset points into its header.
  uint8_t bad[2] = {0x10, 0x00};
  Write(image, d.mftOffset + 20, bad, 2);
  gLog.clear();
  EXPECT_EQ(0, CheckNtfsVolume(image.NtfsVolume(), CollectLog));
  EXPECT_NE(std::string::npos, gLog.find("First attribute must be after the header (16).\n"
                                         "Loading $MFT runlist failed. Trying $MFTMirr.\n"))
      << gLog;
  EXPECT_NE(std::string::npos, gLog.find("$MFTMirr does not match $MFT (record 0).\n")) << gLog;
  EXPECT_EQ(std::string::npos, gLog.find("failed too")) << gLog;
  image.Close();
}

TEST(FileClusterRuns, RunsOfAFileAndOfNone) {
  Disk d = MakeDisk();
  CMountedImage image;
  ASSERT_GE(image.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
  std::vector<ClusterRun> runs(1, ClusterRun{1, 2, 3});
  CollectFileClusterRuns(&image, L"\\pagefile.sys", &runs);
  EXPECT_TRUE(runs.empty());
  CollectFileClusterRuns(&image, L"\\A.BIN", &runs);
  int64_t clusters = 0;
  for (const ClusterRun& r : runs) {
    EXPECT_GT(r.lcn, 0);
    clusters += r.length;
  }
  EXPECT_EQ((400000 + 4095) / 4096, clusters);
  std::string out;
  ASSERT_FALSE(runs.empty());
  EXPECT_EQ(0, OnPartition(d.path, kStart * 512, 40 * 2048 * 512ULL,
                           "ntfscluster -c " + std::to_string(runs[0].lcn) + " $DEV", &out));
  EXPECT_NE(std::string::npos, out.find("/a.bin")) << out;
  EXPECT_TRUE(image.Close());
}

TEST(NtfsCheck, FormatterVolumeIsCleanAndTheDirtyFlagGoes) {
  InstallNtfsFormatter();
  std::wstring path = vt::ScratchDir() + L"\\f.img";
  CMountedImage image;
  ASSERT_EQ(1, image.CreateImage(path.c_str(), 48, 0, 1, 1, nullptr, nullptr, nullptr));
  gLog.clear();
  EXPECT_EQ(1, CheckNtfsVolume(image.NtfsVolume(), CollectLog));
  EXPECT_EQ("", gLog);
  EXPECT_TRUE(image.Close());
}

TEST(NtfsRepair, MendsMirrorRecordsAndTheUpcaseTable) {
  Disk d = MakeDisk();
  // $UpCase maps "a" to itself (in its data's first run, which record 10
  // names; the file API writes no metafile).
  std::vector<uint8_t> upcase = ReadMftRecord(d.path, kStart * 512, 10);
  const uint8_t* data = FindAttribute(upcase, 0x80);
  ASSERT_NE(nullptr, data);
  const uint8_t* run = data + (data[0x20] | data[0x21] << 8);
  const int lengthBytes = run[0] & 15, lcnBytes = run[0] >> 4;
  uint64_t lcn = 0;
  for (int i = lcnBytes - 1; i >= 0; i--) lcn = lcn << 8 | run[1 + lengthBytes + i];
  WriteBytes(d.path, kStart * 512 + lcn * 4096 + 'a' * 2, {'a', 0});
  // The mirror's record 3 differs from $MFT's.
  WriteBytes(d.path, d.mirrorOffset + 3 * 1024 + 0x100, {0x5A});
  // $MFT's record 2 is marked free and has lost its magic; the mirror's
  // copy is sound.
  std::vector<uint8_t> broken = ReadBytes(d.path, d.mftOffset + 2 * 1024, 1024);
  memcpy(&broken[0], "XXXX", 4);
  broken[22] = 0;
  WriteBytes(d.path, d.mftOffset + 2 * 1024, broken);
  CMountedImage image;
  ASSERT_GE(image.OpenImage(d.path.c_str(), nullptr, 0, 2, true), 0);

  EXPECT_EQ(1, RepairNtfsPartition(&image));
  uint16_t upper = 0;
  EXPECT_EQ(2u, image.ReadFile(L"\\$UpCase", &upper, 'a' * 2, 2));
  EXPECT_EQ('A', upper);
  EXPECT_TRUE(image.Close());
  for (int n : {2, 3})
    EXPECT_EQ(ReadBytes(d.path, d.mftOffset + n * 1024, 1024),
              ReadBytes(d.path, d.mirrorOffset + n * 1024, 1024))
        << n;
  std::vector<uint8_t> mended = ReadBytes(d.path, d.mftOffset + 2 * 1024, 1024);
  EXPECT_EQ(0, memcmp(&mended[0], "FILE", 4));
  EXPECT_EQ(1, mended[22] & 1);
  ExpectRepairedVolume(d);
}

// Runs the program with its standard output going to a file; the exit code.
DWORD RunRedirected(const std::wstring& arguments, const std::wstring& outFile) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                           CREATE_ALWAYS, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, out) << GetLastError() << " " << vt::Narrow(outFile);
  std::wstring line = L"\"" + apptest::ProgramPath() + L"\" " + arguments;
  STARTUPINFOW si = {sizeof si};
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi;
  DWORD code = 0xDEADBEEF;
  if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    WaitForSingleObject(pi.hProcess, 60000);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(out);
  return code;
}

bool IsStampedLine(const std::string& line, const std::string& message) {
  // "YYYY-MM-DD hh:mm:ss:" and the message right behind it.
  const char* shape = "dddd-dd-dd dd:dd:dd:";
  if (line.size() < 20) return false;
  for (int i = 0; i < 20; i++)
    if (shape[i] == 'd' ? !isdigit((unsigned char)line[i]) : line[i] != shape[i]) return false;
  return line.compare(20, std::string::npos, message) == 0;
}

// A repair whose n-th write fails, for every n over the whole repair,
// reports the failure; a repair after it mends the volume, its files
// intact. Over a damaged mirror, a $Bitmap that marks a file's clusters
// free, a lost boot sector, and names, link counts, $UpCase and hidden
// sectors to mend at once.
TEST(NtfsRepair, ARepairThatFailsAtAnyWriteSaysSoAndTheNextMends) {
  Disk d = MakeDisk();
  const std::string pristine = d.dir + "/pristine.img", damaged = d.dir + "/damaged.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.dir + "/d.img") + " " + vt::Q(pristine)));
  std::vector<ClusterRun> bitmap, file;
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
    CollectFileClusterRuns(&image, L"\\$Bitmap", &bitmap);
    CollectFileClusterRuns(&image, L"\\a.bin", &file);
    EXPECT_TRUE(image.Close());
  }
  ASSERT_FALSE(bitmap.empty() || file.empty());
  for (const char* damage : {"mirror", "bitmap", "boot sector", "names and tables"}) {
    SCOPED_TRACE(damage);
    const bool names = damage == std::string("names and tables");
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(pristine) + " " + vt::Q(d.dir + "/d.img")));
    if (damage == std::string("mirror")) {
      WriteBytes(d.path, d.mirrorOffset + 3 * 1024 + 0x100, std::vector<uint8_t>(64, 0x5A));
    } else if (damage == std::string("bitmap")) {
      MarkClusters(d, bitmap[0].lcn, file[0].lcn, 64, false);
    } else if (!names) {
      WriteBytes(d.path, kStart * 512, std::vector<uint8_t>(512, 0));
    } else {
      // A name no index holds, a wrong link count, a changed $UpCase and
      // hidden sectors that are not the partition's start.
      std::string out;
      ASSERT_EQ(0, vt::Sh("for k in 'index-entry b.txt' 'link-count a.bin' upcase hidden-sectors; "
                          "do python3 tests/fixtures/ntfs-damage.py " +
                              vt::Q(d.dir + "/d.img") + " $k || exit 1; done",
                          &out))
          << out;
    }
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.dir + "/d.img") + " " + vt::Q(damaged)));
    for (int n = 1;; n++) {
      SCOPED_TRACE(n);
      ASSERT_EQ(0, vt::Sh("cp " + vt::Q(damaged) + " " + vt::Q(d.dir + "/d.img")));
      int repaired, writes;
      {
        CMountedImage image;
        ASSERT_GE(image.OpenImage(d.path.c_str(), nullptr, 0, 2, true), 0);
        {
          // A record torn by a write that stopped is the journal's to take
          // back (a repair cannot tell what it held): the names' record
          // writes fail whole.
          FailingWrites failing(image.IoBlock(), n, !names);
          repaired = RepairNtfsPartition(&image);
          writes = failing.Writes();
        }
        image.Close();
      }
      if (writes < n) {
        EXPECT_EQ(1, repaired);
        ASSERT_GT(n, 2);
        break;
      }
      EXPECT_EQ(0, repaired) << "a failed write reported as a repair";
      CMountedImage image;
      ASSERT_GE(image.OpenImage(d.path.c_str(), nullptr, 0, 2, true), 0);
      EXPECT_EQ(1, RepairNtfsPartition(&image));
      gLog.clear();
      EXPECT_EQ(1, CheckNtfsVolume(image.NtfsVolume(), CollectLog)) << gLog;
      EXPECT_TRUE(image.Close());
    }
    ExpectRepairedVolume(d);
  }
}

TEST(BatchCheckRepair, CheckLinesReachARedirectedOutput) {
  Disk d = MakeDisk();
  std::vector<uint8_t> sectorEnd = ReadBytes(d.path, d.mftOffset + 64 * 1024 + 1022, 2);
  WriteBytes(d.path, d.mftOffset + 64 * 1024 + 1022, {0x34, 0x12});
  std::wstring img = L"\"-img:" + d.path + L"\" -noupd ";
  std::wstring log = vt::ToWin(d.dir + "/check.log");
  EXPECT_EQ(DWORD(kImageVolumeOperationFailed), RunRedirected(img + L"/check", log));
  std::vector<uint8_t> text;
  ASSERT_TRUE(vt::ReadAll(log, text));
  std::string all(text.begin(), text.end());
  char expected[128];
  snprintf(expected, sizeof expected,
           "Assertion failed for '64:fixup'. should be 0x%x, was 0x1234.\n",
           sectorEnd[0] | sectorEnd[1] << 8);
  // The record is damaged, and so is the entry of the folder that names it.
  EXPECT_TRUE(IsStampedLine(all.substr(0, all.find('\n') + 1), expected)) << all;
  EXPECT_NE(std::string::npos, all.find("names record 64, which is not in use or damaged.\n"))
      << all;
  WriteBytes(d.path, d.mftOffset + 64 * 1024 + 1022, sectorEnd);

  // The repair leaves a volume ntfsfix finds clean, with every file: the
  // backup boot sector in the partition's last sector comes back.
  WriteBytes(d.path, kStart * 512 + 40 * 2048 * 512ULL - 512, std::vector<uint8_t>(512, 0x5A));
  EXPECT_EQ(0u, RunRedirected(img + L"/repair", vt::ToWin(d.dir + "/repair.log")));
  ExpectRepairedVolume(d);
  EXPECT_EQ(DWORD(kImageNotOpened),
            RunRedirected(L"\"-img:" + d.path + L".none\" /check", vt::ToWin(d.dir + "/none.log")));
}

// Runs the program with its output going to a file; the exit code, and the
// output in *text.
DWORD RunLogged(const Disk& d, const std::wstring& arguments, std::string* text) {
  std::wstring log = vt::ToWin(d.dir + "/run.log");
  DWORD code = RunRedirected(arguments, log);
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(vt::ReadAll(log, bytes));
  text->assign(bytes.begin(), bytes.end());
  return code;
}

// Each damage is written into the image file (as dd would) before the
// program opens it; the independent judges see each. /check finds it and
// fails with a line that names it; /repair either mends it, after which
// the judges and /check pass, or says it did not, and /check still fails.
TEST(BatchCheckRepair, DamageWrittenBeforeTheOpen) {
  struct Case {
    const char* name;
    const char* line;  // in the check's output
    bool mends;
  } cases[] = {
      {"mirror", "$MFTMirr does not match $MFT (record 3).\n", true},
      {"mirror torn", "$MFTMirr record 1: the update sequence of sector 1 is torn.\n", true},
      {"backup boot sector", "Boot sector: the backup in the partition's last sector differs.\n",
       true},
      {"grow stopped", "Boot sector: the partition (83968 sectors) is larger than the volume",
       true},
      {"boot sector zeroed", "Boot sector: damaged; the backup in the partition's last sector",
       true},
      {"bitmap missing", "missing cluster in $Bitmap", true},
      {"bitmap extra", "extra cluster in $Bitmap", true},
      {"journal on a file", "is referenced multiple times!\n", true},
      {"record zeroed", ", which is not in use or damaged.\n", false},
      {"index block zeroed", "bad signature (0x00000000).\n", false},
      {"index block torn", "the update sequence of sector 1 is torn.\n", false},
      {"root index", "The volume does not mount whole", false},
  };
  Disk d = MakeDisk(true);
  // Where $Bitmap, a.bin, the root's and Many's index blocks lie.
  std::vector<ClusterRun> bitmap, file, root, many;
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
    CollectFileClusterRuns(&image, L"\\$Bitmap", &bitmap);
    CollectFileClusterRuns(&image, L"\\a.bin", &file);
    CollectFileClusterRuns(&image, L"\\", &root);
    CollectFileClusterRuns(&image, L"\\Many", &many);
    EXPECT_TRUE(image.Close());
  }
  ASSERT_FALSE(bitmap.empty() || file.empty() || root.empty() || many.empty());
  const int aBin = RecordNamed(d, "a.bin");
  ASSERT_GT(aBin, 0);
  const std::string pristine = d.dir + "/pristine.img";
  ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(d.dir + "/d.img") + " " + vt::Q(pristine)));
  const uint64_t volume = kStart * 512;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, vt::Sh("cp --sparse=always " + vt::Q(pristine) + " " + vt::Q(d.dir + "/d.img")));
    std::wstring img = L"\"-img:" + d.path + L"\" -noupd ";
    std::string name = c.name;
    uint64_t partitionBytes = kPartitionBytes;
    if (name == "mirror") {
      WriteBytes(d.path, d.mirrorOffset + 3 * 1024 + 0x100, std::vector<uint8_t>(64, 0x5A));
    } else if (name == "mirror torn") {
      WriteBytes(d.path, d.mirrorOffset + 1 * 1024 + 1022, {0x34, 0x12});
    } else if (name == "backup boot sector") {
      uint64_t backup = volume + kPartitionBytes - 512;
      std::vector<uint8_t> count = ReadBytes(d.path, backup + 0x28, 8);
      count[0] -= 8;
      WriteBytes(d.path, backup + 0x28, count);
    } else if (name == "grow stopped") {
      // The partition entry took the new size, the volume did not.
      partitionBytes += 2048 * 512;
      std::vector<uint8_t> count = ReadBytes(d.path, 0x1CA, 4);
      uint32_t sectors = Le32(&count[0]) + 2048;
      WriteBytes(d.path, 0x1CA,
                 {uint8_t(sectors), uint8_t(sectors >> 8), uint8_t(sectors >> 16),
                  uint8_t(sectors >> 24)});
    } else if (name == "boot sector zeroed") {
      WriteBytes(d.path, volume, std::vector<uint8_t>(512, 0));
    } else if (name == "bitmap missing") {
      // 64 of a.bin's clusters are marked free.
      MarkClusters(d, bitmap[0].lcn, file[0].lcn, 64, false);
    } else if (name == "bitmap extra") {
      // 64 free clusters near the end are marked in use.
      std::vector<uint8_t> map = ReadBytes(d.path, volume + bitmap[0].lcn * 4096 + 10000 / 8, 8);
      ASSERT_EQ(std::vector<uint8_t>(8, 0), map);
      MarkClusters(d, bitmap[0].lcn, 10000, 64, true);
    } else if (name == "journal on a file") {
      // $MFT's record of $LogFile has its run moved onto a.bin's clusters;
      // the mirror's copy is intact.
      std::vector<uint8_t> rec = ReadBytes(d.path, d.mftOffset + 2 * 1024, 1024);
      const uint8_t* data = FindAttribute(rec, 0x80);
      ASSERT_TRUE(data && data[8]);
      size_t pairs = (data - &rec[0]) + (data[0x20] | data[0x21] << 8);
      int lengthBytes = rec[pairs] & 15, lcnBytes = rec[pairs] >> 4;
      ASSERT_GE(lcnBytes, 2);
      for (int i = 0; i < lcnBytes; i++)
        rec[pairs + 1 + lengthBytes + i] = uint8_t(file[0].lcn >> (8 * i));
      ASSERT_LT(pairs + 1 + lengthBytes + lcnBytes, 510u);
      WriteBytes(d.path, d.mftOffset + 2 * 1024, rec);
    } else if (name == "record zeroed") {
      WriteBytes(d.path, d.mftOffset + aBin * 1024ULL, std::vector<uint8_t>(1024, 0));
    } else if (name == "index block zeroed") {
      WriteBytes(d.path, volume + many[0].lcn * 4096, std::vector<uint8_t>(4096, 0));
    } else if (name == "index block torn") {
      WriteBytes(d.path, volume + many[0].lcn * 4096 + 1022, {0x34, 0x12});
    } else if (name == "root index") {
      WriteBytes(d.path, volume + root.back().lcn * 4096, {'X', 'X', 'X', 'X'});
    }
    std::string out;
    EXPECT_NE(0, OnPartition(d.path, volume, partitionBytes,
                             Judges(d) + " && umount " + vt::Q(d.dir + "/mnt"), &out))
        << "no judge sees the damage\n"
        << out;
    EXPECT_EQ(DWORD(kImageVolumeOperationFailed), RunLogged(d, img + L"/check", &out)) << out;
    EXPECT_NE(std::string::npos, out.find(c.line)) << out;
    if (c.mends) {
      EXPECT_EQ(0u, RunLogged(d, img + L"/repair", &out)) << out;
      // The whole volume extracted equals the source tree.
      std::string extracted = d.dir + "/out-" + std::to_string(&c - cases);
      EXPECT_EQ(0u, RunLogged(d, img + L"/extract:\\::" + vt::ToWin(extracted), &out)) << out;
      EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(d.dir + "/tree") + " " + vt::Q(extracted), &out))
          << out;
      ExpectRepairedVolume(d, partitionBytes);
      EXPECT_EQ(0u, RunLogged(d, img + L"/check", &out)) << out;
    } else {
      EXPECT_EQ(DWORD(kImageVolumeOperationFailed), RunLogged(d, img + L"/repair", &out)) << out;
      EXPECT_EQ(DWORD(kImageVolumeOperationFailed), RunLogged(d, img + L"/check", &out)) << out;
      EXPECT_NE(std::string::npos, out.find(c.line)) << out;
    }
  }
}

// A FAT volume is not checked: the check says so and fails.
TEST(BatchCheckRepair, FatVolumeIsNotChecked) {
  Disk d;
  d.dir = vt::ScratchDirUnix();
  d.path = vt::ToWin(d.dir + "/fat.img");
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.dir + "/fat.img") + " --fs fat32 --size 40"));
  std::string out;
  EXPECT_EQ(DWORD(kImageVolumeOperationFailed),
            RunLogged(d, L"\"-img:" + d.path + L"\" -noupd /check", &out));
  EXPECT_NE(std::string::npos, out.find(vt::Narrow(d.path) + ": The volume is not NTFS (FAT or exFAT): nothing was checked.\n")) << out;
}

// A volume of larger sectors keeps its backup boot sector in the
// partition's last sector of that size (mkntfs -s): the check finds it
// there, and the repair of a lost backup writes the whole first sector
// there, after which ntfsfix and the check pass.
TEST(BatchCheckRepair, VolumesOfLargerSectors) {
  struct Case {
    int sector;
    const char* layout;
    uint64_t start;  // the partition's first byte
  } cases[] = {{4096, "mbr2048", kStart * 512}, {4096, "none", 0}, {1024, "mbr2048", kStart * 512}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.sector) + " " + c.layout);
    Disk d;
    d.dir = vt::ScratchDirUnix();
    d.path = vt::ToWin(d.dir + "/d.img");
    ASSERT_EQ(0, vt::Sh("mkdir -p " + d.dir + "/tree/Dir && head -c 300000 /dev/urandom > " +
                        d.dir + "/tree/a.bin && echo note > " + d.dir + "/tree/Dir/b.txt"));
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.dir + "/d.img") + " --size 40 --layout " +
                            c.layout + " --sector " + std::to_string(c.sector) + " --tree " +
                            vt::Q(d.dir + "/tree")));
    const std::wstring img = L"\"-img:" + d.path + L"\" -noupd ";
    const uint64_t backup = c.start + kPartitionBytes - c.sector;
    std::string out;
    EXPECT_EQ(0u, RunLogged(d, img + L"/check", &out)) << out;
    WriteBytes(d.path, backup, std::vector<uint8_t>(c.sector, 0));
    EXPECT_EQ(DWORD(kImageVolumeOperationFailed), RunLogged(d, img + L"/check", &out)) << out;
    EXPECT_NE(std::string::npos,
              out.find("Boot sector: the backup in the partition's last sector differs.\n"))
        << out;
    EXPECT_EQ(0u, RunLogged(d, img + L"/repair", &out)) << out;
    EXPECT_TRUE(ReadBytes(d.path, c.start, c.sector) == ReadBytes(d.path, backup, c.sector));
    EXPECT_EQ(0, OnPartition(d.path, c.start, kPartitionBytes,
                             Judges(d) + " && umount " + vt::Q(d.dir + "/mnt"), &out))
        << out;
    EXPECT_EQ(0u, RunLogged(d, img + L"/check", &out)) << out;
  }
}

}  // namespace
