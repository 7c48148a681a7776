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
#include "image/ntfs/NtfsCheck.h"
#include "image/ntfs/NtfsRepair.h"

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

Disk MakeDisk() {
  Disk d;
  d.dir = vt::ScratchDirUnix();
  EXPECT_EQ(0, vt::Sh("mkdir -p " + d.dir + "/tree/Dir && head -c 400000 /dev/urandom > " + d.dir +
                      "/tree/a.bin && echo note > " + d.dir + "/tree/Dir/b.txt"));
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

// ntfsfix -n, ntfsresize --info, ntfsinfo, every file of the tree, and a
// read-write ntfs-3g mount that takes a new file and leaves the volume clean.
void ExpectRepairedVolume(const Disk& d) {
  std::string out, mnt = vt::Q(d.dir + "/mnt");
  EXPECT_EQ(0, OnPartition(d.path, kStart * 512, 40 * 2048 * 512ULL,
                           "ntfsfix -n $DEV && ntfsresize --info --force --no-progress-bar $DEV && "
                           "ntfsinfo -m $DEV && ntfscat $DEV a.bin | cmp - " +
                               d.dir + "/tree/a.bin && ntfscat $DEV Dir/b.txt | cmp - " + d.dir +
                               "/tree/Dir/b.txt && mkdir -p " + mnt + " && ntfs-3g $DEV " + mnt +
                               " && echo rw > " + mnt + "/rw.txt && umount " + mnt +
                               " && ntfsfix -n $DEV",
                           &out))
      << out;
}

TEST(NtfsCheck, FindsTheDamageWrittenIntoTheVolume) {
  Disk d = MakeDisk();
  // Record 64 is the first file's; record 40 is free.
  struct Case {
    const char* name;
    uint64_t offset;  // from the $MFT start
    std::vector<uint8_t> bytes;
    const char* line;  // expected in the log; null: the log stays empty
    int result;        // the boot sector's backup no longer matches: 0
  } cases[] = {
      {"clean", 0, {}, nullptr, 1},
      {"oem id", ~0ULL, {'N', 'T', 'F', 'X'}, "Boot sector: Bad NTFS magic.\n", 0},
      {"fixup", 64 * 1024 + 1022, {0x34, 0x12}, "Assertion failed for '64:fixup'. should be", 1},
      {"magic", 64 * 1024, {'X', 'I', 'L', 'E'}, "Assertion failed for '64:FILE record magic'", 1},
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
  CMountedImage image;
  ASSERT_GE(image.OpenImage(d.path.c_str(), nullptr, 0, 2), 0);
  // The mirror's record 3 differs from $MFT's.
  uint8_t junk = 0x5A;
  Write(image, d.mirrorOffset + 3 * 1024 + 0x100, &junk, 1);
  // $MFT's record 2 is marked free and has lost its magic; the mirror's
  // copy is sound.
  std::vector<uint8_t> rec2 = ReadBytes(d.path, d.mftOffset + 2 * 1024, 1024);
  std::vector<uint8_t> broken = rec2;
  memcpy(&broken[0], "XXXX", 4);
  broken[22] = 0;
  Write(image, d.mftOffset + 2 * 1024, broken.data(), 1024);
  // $UpCase maps "a" to itself.
  uint16_t a = 'a';
  ASSERT_EQ(2u, image.WriteFile(L"\\$UpCase", &a, 'a' * 2, 2));

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

// A repair of a damaged mirror whose n-th write fails, for every n over
// the whole repair, reports the failure; a repair after it mends the
// volume, its files intact.
TEST(NtfsRepair, ARepairThatFailsAtAnyWriteSaysSoAndTheNextMends) {
  Disk d = MakeDisk();
  WriteBytes(d.path, d.mirrorOffset + 3 * 1024 + 0x100, std::vector<uint8_t>(64, 0x5A));
  const std::string damaged = d.dir + "/damaged.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.dir + "/d.img") + " " + vt::Q(damaged)));
  for (int n = 1;; n++) {
    SCOPED_TRACE(n);
    ASSERT_EQ(0, vt::Sh("cp " + vt::Q(damaged) + " " + vt::Q(d.dir + "/d.img")));
    int repaired, writes;
    {
      CMountedImage image;
      ASSERT_GE(image.OpenImage(d.path.c_str(), nullptr, 0, 2, true), 0);
      {
        FailingWrites failing(image.IoBlock(), n);
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
    EXPECT_NE(0, CheckNtfsPartition(&image));
    EXPECT_TRUE(image.Close());
  }
  ExpectRepairedVolume(d);
}

TEST(BatchCheckRepair, CheckLinesReachARedirectedOutput) {
  Disk d = MakeDisk();
  std::vector<uint8_t> sectorEnd = ReadBytes(d.path, d.mftOffset + 64 * 1024 + 1022, 2);
  WriteBytes(d.path, d.mftOffset + 64 * 1024 + 1022, {0x34, 0x12});
  std::wstring img = L"\"-img:" + d.path + L"\" -noupd ";
  std::wstring log = vt::ToWin(d.dir + "/check.log");
  EXPECT_EQ(0u, RunRedirected(img + L"/check", log));
  std::vector<uint8_t> text;
  ASSERT_TRUE(vt::ReadAll(log, text));
  std::string all(text.begin(), text.end());
  char expected[128];
  snprintf(expected, sizeof expected,
           "Assertion failed for '64:fixup'. should be 0x%x, was 0x1234.\n",
           sectorEnd[0] | sectorEnd[1] << 8);
  EXPECT_TRUE(IsStampedLine(all, expected)) << all;
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

// Each damage is written into the image file before the program opens it.
// /check opens the volume also when the full mount refuses it, finds the
// damage and fails; /repair mends what it is for, and the checkers agree.
TEST(BatchCheckRepair, DamageWrittenBeforeTheOpen) {
  struct Case {
    const char* name;
    const char* line;  // in the check's output
    bool ntfsfixSees;  // ntfsfix -n finds it too
    bool repairs;
  } cases[] = {
      {"mirror", "$MFTMirr does not match $MFT (record 3).\n", true, true},
      {"backup boot sector", "Boot sector: the backup in the partition's last sector differs.\n",
       true, true},
      {"bitmap", "missing cluster in $Bitmap", false, false},
      {"root index", "The volume does not mount whole", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Disk d = MakeDisk();
    std::wstring img = L"\"-img:" + d.path + L"\" -noupd ";
    std::string name = c.name;
    if (name == "mirror") {
      WriteBytes(d.path, d.mirrorOffset + 3 * 1024 + 0x100, std::vector<uint8_t>(64, 0x5A));
    } else if (name == "backup boot sector") {
      uint64_t backup = kStart * 512 + 40 * 2048 * 512ULL - 512;
      std::vector<uint8_t> count = ReadBytes(d.path, backup + 0x28, 8);
      count[0] -= 8;
      WriteBytes(d.path, backup + 0x28, count);
    } else {
      // Where $Bitmap, a.bin and the root's index block (its last run) lie.
      std::vector<ClusterRun> bitmap, file, root;
      {
        CMountedImage image;
        ASSERT_GE(image.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
        CollectFileClusterRuns(&image, L"\\$Bitmap", &bitmap);
        CollectFileClusterRuns(&image, L"\\a.bin", &file);
        CollectFileClusterRuns(&image, L"\\", &root);
        EXPECT_TRUE(image.Close());
      }
      ASSERT_FALSE(bitmap.empty() || file.empty() || root.empty());
      uint64_t volume = kStart * 512;
      if (name == "bitmap") {
        // a.bin's first cluster is marked free.
        uint64_t at = volume + bitmap[0].lcn * 4096 + file[0].lcn / 8;
        std::vector<uint8_t> byte = ReadBytes(d.path, at, 1);
        byte[0] &= uint8_t(~(1 << (file[0].lcn % 8)));
        WriteBytes(d.path, at, byte);
      } else {
        WriteBytes(d.path, volume + root.back().lcn * 4096, {'X', 'X', 'X', 'X'});
      }
    }
    std::string out;
    EXPECT_EQ(c.ntfsfixSees ? 1 : 0,
              OnPartition(d.path, kStart * 512, 40 * 2048 * 512ULL, "ntfsfix -n $DEV", &out) != 0)
        << out;
    EXPECT_EQ(DWORD(kImageVolumeOperationFailed), RunLogged(d, img + L"/check", &out)) << out;
    EXPECT_NE(std::string::npos, out.find(c.line)) << out;
    if (!c.repairs) continue;
    EXPECT_EQ(0u, RunLogged(d, img + L"/repair", &out)) << out;
    ExpectRepairedVolume(d);
    EXPECT_EQ(0u, RunLogged(d, img + L"/check", &out)) << out;
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
  EXPECT_NE(std::string::npos, out.find("The volume is not NTFS: nothing was checked.\n")) << out;
}

}  // namespace
