// What an inject makes comes back out, through the real program: files and
// folders below the root that carry a metafile's name ($MFT, $Bitmap,
// $Extend) are extracted, while the root's own metafiles stay out; a path
// longer than the program's 359 characters is refused by the inject with
// its line and nothing written, and one that fits comes out into a host
// folder however long the host path grows; -update on FAT32 and exFAT
// keeps a file of the same last-write time, an odd second with a fraction
// included, and exFAT keeps that time to its 10 ms. Read back by ntfsls,
// ntfscat, mtools, exfat-fuse, fsck and the exFAT entry's own bytes.
#include <gtest/gtest.h>

#include "../image/ImagePatch.h"
#include "BatchTestUtil.h"

using namespace bt;

namespace {

const DWORD kOk = 0;
const DWORD kFailed = DWORD(-12);

struct Volume {
  std::string dir, image;
  long start = 0;
  std::string fs;
  std::wstring Args() const { return ImageArgs(vt::ToWin(image)); }
  bool Ntfs() const { return fs == "ntfs"; }
  bool Exfat() const { return fs == "exfat"; }
};

// A volume of the kind holding tree/a.txt: NTFS alone in its file, FAT32
// and exFAT behind an MBR ("fat32/4096": of 4096-byte sectors, as large as
// FAT32 takes them).
Volume MakeVolume(const std::string& kind) {
  Volume v;
  const size_t slash = kind.find('/');
  const std::string fs = kind.substr(0, slash);
  const std::string sector = slash == std::string::npos ? "512" : kind.substr(slash + 1);
  std::string mib = fs == "ntfs" ? "16" : "40";
  if (fs == "fat32" && sector == "4096") mib = "300";
  v.fs = fs;
  v.dir = vt::ScratchDirUnix();
  v.image = v.dir + "/disks/disk.img";
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(v.dir + "/tree") + " " + vt::Q(v.dir + "/disks") +
                      " && printf hello > " + vt::Q(v.dir + "/tree/a.txt")));
  std::string out;
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(v.image) + " --fs " + fs + " --layout " +
                              (v.Ntfs() ? "none" : "mbr2048") + " --size " + mib + " --sector " +
                              sector + " --tree " + vt::Q(v.dir + "/tree"),
                          &out));
  v.start = atol(out.c_str());
  return v;
}

// Every file of the volume with its hash, as an independent reader lists
// it (ntfs-3g's ntfsls and ntfscat for NTFS).
std::string View(const Volume& v) {
  if (!v.Ntfs()) return FatVolumeView(v.image, v.start, v.Exfat());
  std::string out;
  EXPECT_EQ(0, vt::Sh("ntfsls -R -F " + vt::Q(v.image) + " | sort", &out)) << out;
  return out;
}

// The image's bytes as a reader of its volume sees them: on NTFS the
// clusters $Bitmap marks free count as zeros (a command taken back leaves
// them as it wrote them), elsewhere every byte.
std::string Bytes(const Volume& v) {
  return v.Ntfs() ? vt::ReaderView(v.image, v.start) : vt::Sha256(vt::ToWin(v.image));
}

std::string Fsck(const Volume& v) {
  std::string part = v.dir + "/fsck.part", out;
  vt::Sh("dd if=" + vt::Q(v.image) + " of=" + vt::Q(part) +
         " bs=512 skip=" + std::to_string(v.start) + " conv=sparse status=none");
  const char* tool = v.Ntfs() ? "ntfsfix -n " : v.Exfat() ? "fsck.exfat -n " : "fsck.fat -n ";
  return vt::Sh(tool + vt::Q(part), &out) == 0 ? std::string() : out;
}

TEST(BatchRoundTrip, MetafileNamesBelowTheRootComeOut) {
  Volume v = MakeVolume("ntfs");
  const std::string src = v.dir + "/src", out = v.dir + "/out";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(src + "/$Extend") + " && cd " + vt::Q(src) +
                      " && printf mft > '$MFT' && head -c 70000 /dev/urandom > '$Bitmap'"
                      " && printf q > '$Extend/q.bin' && printf plain > plain.txt"));
  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/inject:\\sub::" + vt::ToWin(src) + L"\""));
  // The inject made them: ntfs-3g lists and reads them.
  std::string listed;
  EXPECT_EQ(0, vt::Sh("ntfsls -a -p /sub " + vt::Q(v.image), &listed));
  for (const char* name : {"$MFT", "$Bitmap", "$Extend", "plain.txt"})
    EXPECT_NE(std::string::npos, listed.find(name)) << listed;
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(v.image) + " '/sub/$Extend/q.bin' | cmp - " +
                      vt::Q(src + "/$Extend/q.bin")));

  // The whole volume out: every file a reader sees, the root's metafiles
  // not among them.
  std::string output;
  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/extract:\\::" + vt::ToWin(out) + L"\"", &output))
      << output;
  EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(src) + " " + vt::Q(out + "/sub"))) << output;
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(out + "/a.txt") + " " + vt::Q(v.dir + "/tree/a.txt")));
  std::string root;
  vt::Sh("ls -A " + vt::Q(out), &root);
  EXPECT_EQ(std::string::npos, root.find('$')) << root;
  // The folder named $Extend below the root by its own path too.
  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/extract:\\sub\\$Extend::" + vt::ToWin(out) + L"\\ext\""));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(out + "/ext/q.bin") + " " + vt::Q(src + "/$Extend/q.bin")));
  EXPECT_EQ("", Fsck(v));
}

class LongPaths : public ::testing::TestWithParam<const char*> {};

// \deep\A(200)\B(200)\x.bin is 408 characters: the inject refuses it with
// a line naming the folder that would pass 359 characters, and the
// command's work is taken back. \fits\A(200)\C(140)\y.bin (353) goes in
// and comes out with the whole volume, its host path past 400 characters.
TEST_P(LongPaths, WhatTheInjectMakesComesOut) {
  Volume v = MakeVolume(GetParam());
  const std::string a(200, 'A'), b(200, 'B'), c(140, 'C');
  const std::string src = v.dir + "/src", out = v.dir + "/" + std::string(40, 'o');
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(src + "/deep/" + a + "/" + b) + " " +
                      vt::Q(src + "/fits/" + a + "/" + c) + " && printf x > " +
                      vt::Q(src + "/deep/" + a + "/" + b + "/x.bin") + " && printf y > " +
                      vt::Q(src + "/fits/" + a + "/" + c + "/y.bin")));
  const std::string hash = Bytes(v), view = View(v);
  std::string output;
  EXPECT_EQ(kFailed, RunVro(v.Args() + L"\"/inject:\\deep::" + vt::ToWin(src + "/deep") + L"\"",
                            &output));
  EXPECT_NE(std::string::npos,
            output.find("Could not write \\deep\\" + a + "\\" + b + " (error 206"))
      << output;
  EXPECT_EQ(hash, Bytes(v)) << output;
  EXPECT_EQ(view, View(v));
  // Typed on the command line, a volume path of 360 characters is refused
  // alike: the same code and line, nothing written.
  const std::string typed = "\\" + std::string(359, 't');
  EXPECT_EQ(kFailed, RunVro(v.Args() + L"\"/inject:" + vt::Widen(typed) + L"::" +
                                vt::ToWin(src + "/deep/" + a + "/" + b + "/x.bin") + L"\"",
                            &output));
  EXPECT_NE(std::string::npos, output.find("Could not write " + typed + " (error 206")) << output;
  EXPECT_EQ(hash, Bytes(v)) << output;

  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/inject:\\fits::" + vt::ToWin(src + "/fits") + L"\"",
                        &output))
      << output;
  EXPECT_NE(std::string::npos, View(v).find(c)) << View(v);
  EXPECT_EQ("", Fsck(v));
  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/extract:\\::" + vt::ToWin(out) + L"\"", &output))
      << output;
  EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(src + "/fits") + " " + vt::Q(out + "/fits")));
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(out + "/a.txt") + " " + vt::Q(v.dir + "/tree/a.txt")));
}

INSTANTIATE_TEST_SUITE_P(Volumes, LongPaths,
                         ::testing::Values("ntfs", "fat32", "exfat", "fat32/4096", "exfat/4096",
                                           "fat16/2048"));

class UpdateTimes : public ::testing::TestWithParam<const char*> {};

// t.bin written at 10:00:01.37 (an odd second with a fraction); -update
// with another t.bin of that same time keeps the volume's file, one a step
// of the volume's resolution later (exFAT 10 ms, FAT 2 s) replaces it.
TEST_P(UpdateTimes, AFileOfTheSameTimeIsKept) {
  Volume v = MakeVolume(GetParam());
  const std::string host = v.dir + "/t.bin", first = v.dir + "/first.bin";
  auto write = [&](const char* text, const char* time) {
    ASSERT_EQ(0, vt::Sh("printf '" + std::string(text) + "' > " + vt::Q(host) + " && cp " +
                        vt::Q(host) + " " + vt::Q(v.dir + "/" + text + ".bin") + " && touch -d '" +
                        time + "' " + vt::Q(host)));
  };
  auto holds = [&](const char* text) {
    return View(v).find(vt::Sha256(vt::ToWin(v.dir + "/" + text + ".bin"))) != std::string::npos;
  };
  const std::wstring inject = L"\"/inject:\\t.bin::" + vt::ToWin(host) + L"\"";
  write("first", "2024-05-05 10:00:01.37");
  EXPECT_EQ(kOk, RunVro(v.Args() + inject));
  if (v.Exfat()) {
    // The time to its 10 ms: 1.37 s past the even second in the entry's
    // own byte, and the odd second as exfat-fuse reads it.
    ip::Bytes d(vt::ToWin(v.image));
    ip::ExfatLayout x(d, (size_t)v.start * 512);
    size_t entry = x.FileEntry(d, "t.bin");
    ASSERT_NE(ip::kNone, entry);
    ASSERT_EQ(0x85u, d.U8(entry));
    EXPECT_EQ(137u, d.U8(entry + 21));
    std::string dir = v.dir + "/mnt", part = v.dir + "/t.part", stamp;
    EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir) + " && dd if=" + vt::Q(v.image) + " of=" +
                            vt::Q(part) + " bs=512 skip=" + std::to_string(v.start) +
                            " status=none && l=$(losetup -f --show " + vt::Q(part) +
                            ") && mount.exfat-fuse -o ro $l " + vt::Q(dir) +
                            " >/dev/null && date -r " + vt::Q(dir + "/t.bin") +
                            " '+%H:%M:%S'; umount " + vt::Q(dir) + "; losetup -d $l",
                        &stamp));
    EXPECT_EQ("10:00:01\n", stamp);
  }
  ASSERT_TRUE(holds("first"));

  write("second", "2024-05-05 10:00:01.37");
  std::string output;
  EXPECT_EQ(kOk, RunVro(v.Args() + L"-update " + inject, &output)) << output;
  EXPECT_TRUE(holds("first")) << "a file of the same time was replaced";

  write("third", v.Exfat() ? "2024-05-05 10:00:01.38" : "2024-05-05 10:00:03");
  EXPECT_EQ(kOk, RunVro(v.Args() + L"-update " + inject, &output)) << output;
  EXPECT_TRUE(holds("third")) << "a newer file did not replace it";
  EXPECT_EQ("", Fsck(v));
}

INSTANTIATE_TEST_SUITE_P(Volumes, UpdateTimes, ::testing::Values("fat32", "exfat"));

// The program run by Wine under a host time zone. Wine takes the zone from
// TZ in the Unix environment a Wine process starts with, which a Windows
// parent does not hand on: the run goes through the shell, with the Wine
// loader of the build's width. Its exit code as Unix passes it on (the low
// 8 bits: -12 is 244).
int RunInZone(const std::string& tz, const std::vector<std::wstring>& arguments,
              std::string* output) {
  std::string line =
      "TZ=" + tz + " WINEDEBUG=-all " + vt::Q(VRO_WINE_LOADER) + " " + vt::Q(VRO_PROGRAM_UNIX);
  for (const std::wstring& a : arguments) line += " " + vt::Q(vt::Narrow(a));
  return vt::Sh(line, output);
}

// A UTC time in FILETIME units, and the same moved by minutes.
uint64_t Utc(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
  SYSTEMTIME st = {(WORD)y, (WORD)mo, 0, (WORD)d, (WORD)h, (WORD)mi, (WORD)s, (WORD)ms};
  FILETIME f = {};
  EXPECT_TRUE(SystemTimeToFileTime(&st, &f));
  return (uint64_t)f.dwHighDateTime << 32 | f.dwLowDateTime;
}
const int64_t kMinuteTicks = 600000000LL;

// "YYYY-MM-DD HH:MM:SS.CC UTC" for touch, and "YYYY-MM-DDTHH:MM:SS" as
// date -u prints a file's time.
std::string TouchText(uint64_t t, bool touch = true) {
  FILETIME f = {(DWORD)t, (DWORD)(t >> 32)};
  SYSTEMTIME st;
  EXPECT_TRUE(FileTimeToSystemTime(&f, &st));
  char text[64];
  if (touch)
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%02u UTC", st.wYear, st.wMonth,
             st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds / 10);
  else
    snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", st.wYear, st.wMonth, st.wDay,
             st.wHour, st.wMinute, st.wSecond);
  return text;
}

// An exFAT time stamp of local time t, and its 10 ms past the even second.
uint32_t ExfatStamp(uint64_t t, uint8_t* tenMs) {
  FILETIME f = {(DWORD)t, (DWORD)(t >> 32)};
  SYSTEMTIME st;
  EXPECT_TRUE(FileTimeToSystemTime(&f, &st));
  *tenMs = (uint8_t)(st.wSecond % 2 * 100 + st.wMilliseconds / 10);
  return (uint32_t)(st.wYear - 1980) << 25 | (uint32_t)st.wMonth << 21 | (uint32_t)st.wDay << 16 |
         (uint32_t)st.wHour << 11 | (uint32_t)st.wMinute << 5 | st.wSecond / 2u;
}

// exFAT keeps each time as local time with its offset from UTC. a.txt,
// stamped 12:00 at -05:00 (17:00 UTC) and at +05:30 (06:30 UTC), comes out
// with its UTC time; -update keeps it against a host file two hours older
// and replaces it with one two minutes newer, whatever the host's zone
// (UTC, -03:00). What replaced it carries the host zone's offset, valid,
// with local times and 10 ms that give its UTC time back, as exfat-fuse
// reads it; fsck.exfat passes the volume.
TEST(BatchRoundTrip, ExfatTimesKeepTheirOffsetFromUtc) {
  Volume v = MakeVolume("exfat");
  const std::string pristine = v.dir + "/pristine.img", host = v.dir + "/a.txt";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(v.image) + " " + vt::Q(pristine)));
  struct Zone {
    const char* tz;
    int minutes;
  };
  const std::wstring image = L"-img:" + vt::ToWin(v.image);
  for (Zone zone : {Zone{"UTC", 0}, Zone{"America/Sao_Paulo", -180}}) {
    for (int offset : {-300, 330}) {
      SCOPED_TRACE(std::string(zone.tz) + ", volume offset " + std::to_string(offset));
      ASSERT_EQ(0, vt::Sh("cp " + vt::Q(pristine) + " " + vt::Q(v.image)));
      const uint64_t utc = Utc(2024, 5, 5, 12, 0, 0) - offset * kMinuteTicks;
      {
        ip::Bytes d(vt::ToWin(v.image));
        ip::ExfatLayout x(d, (size_t)v.start * 512);
        size_t entry = x.FileEntry(d, "a.txt");
        ASSERT_NE(ip::kNone, entry);
        uint8_t tenMs;
        uint32_t stamp = ExfatStamp(Utc(2024, 5, 5, 12, 0, 0), &tenMs);
        for (int k = 0; k < 3; k++) {
          d.Put(entry + 8 + 4 * k, stamp, 4);
          d.Put(entry + 22 + k, 0x80 | ((offset / 15) & 0x7F), 1);
        }
        d.Put(entry + 20, 0, 2);
        ip::ExfatLayout::SealSet(d, entry);
        ASSERT_TRUE(d.Save());
      }
      ASSERT_EQ("", Fsck(v));
      std::string output, text;
      const std::string out = v.dir + "/out.txt";
      EXPECT_EQ(0, RunInZone(zone.tz, {image, L"/extract:\\a.txt::" + vt::ToWin(out)}, &output))
          << output;
      vt::Sh("date -u -r " + vt::Q(out) + " +%FT%T", &text);
      EXPECT_EQ(TouchText(utc, false) + "\n", text) << "the time /extract: gave";

      const std::vector<std::wstring> inject = {image, L"-update",
                                                L"/inject:\\a.txt::" + vt::ToWin(host)};
      ASSERT_EQ(0, vt::Sh("printf older > " + vt::Q(host) + " && touch -d '" +
                          TouchText(utc - 120 * kMinuteTicks) + "' " + vt::Q(host)));
      EXPECT_EQ(0, RunInZone(zone.tz, inject, &output)) << output;
      EXPECT_NE(std::string::npos, View(v).find(vt::Sha256(vt::ToWin(v.dir + "/tree/a.txt"))))
          << "a file two hours older replaced it";

      const uint64_t newer = utc + 2 * kMinuteTicks + 53700000;  // 2 min 5.37 s
      ASSERT_EQ(0, vt::Sh("printf newer > " + vt::Q(host) + " && touch -d '" + TouchText(newer) +
                          "' " + vt::Q(host)));
      EXPECT_EQ(0, RunInZone(zone.tz, inject, &output)) << output;
      EXPECT_NE(std::string::npos, View(v).find(vt::Sha256(vt::ToWin(host))))
          << "a file two minutes newer did not replace it";

      // Written with the host zone's offset: every time of the entry, its
      // last-write time the host file's in that zone, to its 10 ms.
      ip::Bytes d(vt::ToWin(v.image));
      ip::ExfatLayout x(d, (size_t)v.start * 512);
      size_t entry = x.FileEntry(d, "a.txt");
      ASSERT_NE(ip::kNone, entry);
      for (int k = 0; k < 3; k++)
        EXPECT_EQ(0x80u | ((zone.minutes / 15) & 0x7F), d.U8(entry + 22 + k)) << k;
      uint8_t tenMs;
      EXPECT_EQ(ExfatStamp(newer + zone.minutes * kMinuteTicks, &tenMs), d.U32(entry + 12));
      EXPECT_EQ(tenMs, d.U8(entry + 21));
      // The creation time is the clock's when it was written, in that zone.
      uint32_t c = d.U32(entry + 8);
      SYSTEMTIME created = {(WORD)((c >> 25) + 1980),
                            (WORD)(c >> 21 & 15),
                            0,
                            (WORD)(c >> 16 & 31),
                            (WORD)(c >> 11 & 31),
                            (WORD)(c >> 5 & 63),
                            (WORD)(c % 32 * 2),
                            0};
      FILETIME cf = {}, now = {};
      EXPECT_TRUE(SystemTimeToFileTime(&created, &cf));
      GetSystemTimeAsFileTime(&now);
      const int64_t off = (int64_t)(((uint64_t)cf.dwHighDateTime << 32 | cf.dwLowDateTime) -
                                    ((uint64_t)now.dwHighDateTime << 32 | now.dwLowDateTime)) -
                          zone.minutes * kMinuteTicks;
      EXPECT_LT(std::llabs(off), 30 * kMinuteTicks) << "the creation time is not the clock's";
      EXPECT_LT(d.U8(entry + 20), 200u);

      std::string dir = v.dir + "/mnt", part = v.dir + "/a.part", stamp;
      EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir) + " && dd if=" + vt::Q(v.image) +
                              " of=" + vt::Q(part) + " bs=512 skip=" + std::to_string(v.start) +
                              " status=none && l=$(losetup -f --show " + vt::Q(part) +
                              ") && mount.exfat-fuse -o ro $l " + vt::Q(dir) +
                              " >/dev/null && date -u -r " + vt::Q(dir + "/a.txt") +
                              " +%FT%T; umount " + vt::Q(dir) + "; losetup -d $l",
                          &stamp));
      EXPECT_EQ(TouchText(newer, false) + "\n", stamp) << "exfat-fuse's time of the file";
      EXPECT_EQ("", Fsck(v));
    }
  }
}

// A shell script run over the volume by a host tool: ntfs-3g or exfat-fuse
// (over a loop device) mount it at $m (read-only unless write); on FAT,
// mtools take the image as $i. Its output.
std::string OnVolume(const Volume& v, const std::string& script, bool write = false) {
  const std::string m = v.dir + "/tool";
  std::string sh;
  if (v.Ntfs())
    sh = "mkdir -p " + vt::Q(m) + " && ntfs-3g -o no_def_opts" + (write ? "" : ",ro") + " " +
         vt::Q(v.image) + " " + vt::Q(m) + " && m=" + vt::Q(m) + " && (" + script +
         "); rc=$?; umount " + vt::Q(m) + "; exit $rc";
  else if (v.Exfat())
    sh = "mkdir -p " + vt::Q(m) + " && l=$(losetup -f --show -o " +
         std::to_string((long long)v.start * 512) + " " + vt::Q(v.image) +
         ") && mount.exfat-fuse " + (write ? "" : "-o ro ") + "$l " + vt::Q(m) +
         " >/dev/null && m=" + vt::Q(m) + " && (" + script + "); rc=$?; umount " + vt::Q(m) +
         "; losetup -d $l; exit $rc";
  else
    sh = "export MTOOLS_SKIP_CHECK=1; i=" +
         vt::Q(v.image + "@@" + std::to_string((long long)v.start * 512)) + " && " + script;
  std::string out;
  EXPECT_EQ(0, vt::Sh(sh, &out)) << script << "\n" << out;
  return out;
}

// The volume's free bytes and cluster size as the host tool counts them.
uint64_t FreeBytes(const Volume& v) {
  return strtoull(
      OnVolume(v, v.Ntfs() || v.Exfat() ? "echo $(( $(stat -f -c '%f*%S' $m) ))"
                                        : "mdir -i $i ::/ | grep 'bytes free' | tr -cd 0-9")
          .c_str(),
      nullptr, 10);
}
uint64_t ClusterBytes(const Volume& v) {
  return strtoull(OnVolume(v, v.Ntfs() || v.Exfat() ? "stat -f -c %S $m"
                                                    : "minfo -i $i | awk '/^sector size:/{b=$3} "
                                                      "/^cluster size:/{c=$3} END{print b*c}'")
                      .c_str(),
                  nullptr, 10);
}

// The hash of a file of the volume's root, as the host tool reads it.
std::string FileHash(const Volume& v, const std::string& name) {
  std::string out = OnVolume(v, v.Ntfs() || v.Exfat() ? "sha256sum < $m/" + name
                                                      : "mtype -i $i ::/" + name + " | sha256sum");
  return out.substr(0, 64);
}

class FullVolume : public ::testing::TestWithParam<const char*> {};

// A volume without a free cluster (old.bin, and fill.bin over the rest; on
// FAT and exFAT a folder whose clusters its names fill): a new empty file
// goes in (it takes only its entry); a smaller file replaces old.bin (the
// clusters it gives back count), and a new file of exactly the bytes that
// leaves free goes in. A file one byte over the room is refused with error
// 112 and nothing written, and so is one that fits the free clusters but
// whose folder must grow for its name. Read back by ntfs-3g, exfat-fuse or
// mtools, and fsck.
TEST_P(FullVolume, AReplaceCountsWhatTheOldFileGivesBack) {
  Volume v = MakeVolume(GetParam());
  const std::string old = v.dir + "/old.bin", small = v.dir + "/small.bin",
                    empty = v.dir + "/empty.txt", exact = v.dir + "/exact.bin",
                    over = v.dir + "/over.bin";
  ASSERT_EQ(0, vt::Sh("head -c 262144 /dev/urandom > " + vt::Q(old) +
                      " && head -c 102400 /dev/urandom > " + vt::Q(small) + " && : > " +
                      vt::Q(empty) + " && : > " + vt::Q(v.dir + "/e")));
  const std::string fill =
      "f=$(( $(stat -f -c '%f*%S' $m) )) && (head -c $f /dev/zero > $m/fill.bin || true)";
  if (v.Ntfs())
    OnVolume(v, "cp " + vt::Q(old) + " $m/old.bin && " + fill, true);
  else if (v.Exfat())
    OnVolume(v,
             "cp " + vt::Q(old) +
                 " $m/old.bin && mkdir $m/full && k=0 && while [ $k -lt $(( "
                 "$(stat -f -c %S $m) / 96 )) ]; do k=$((k + 1)); : > $m/full/f$k; done && " +
                 fill,
             true);
  else
    OnVolume(
        v,
        "mcopy -i $i " + vt::Q(old) +
            " ::/old.bin && mmd -i $i ::/full && n=$(( $(minfo -i $i | "
            "awk '/^sector size:/{b=$3} /^cluster size:/{c=$3} END{print b*c}') / 32 - 2 )) && "
            "k=0 && while [ $k -lt $n ]; do k=$((k + 1)); mcopy -i $i " +
            vt::Q(v.dir + "/e") +
            " ::/full/F$k; done && head -c $(mdir -i $i ::/ | grep 'bytes free' | tr -cd 0-9) /dev/zero > " +
            vt::Q(v.dir + "/fill.bin") + " && mcopy -i $i " + vt::Q(v.dir + "/fill.bin") +
            " ::/fill.bin && rm " + vt::Q(v.dir + "/fill.bin"),
        true);
  ASSERT_EQ(0u, FreeBytes(v));
  ASSERT_EQ("", Fsck(v));
  const uint64_t cluster = ClusterBytes(v);
  auto inject = [&](const std::string& to, const std::string& from) {
    return L"\"/inject:" + vt::Widen(to) + L"::" + vt::ToWin(from) + L"\"";
  };
  std::string output;
  EXPECT_EQ(kOk, RunVro(v.Args() + inject("\\empty.txt", empty), &output)) << output;
  EXPECT_EQ(vt::Sha256(vt::ToWin(empty)), FileHash(v, "empty.txt"));

  EXPECT_EQ(kOk, RunVro(v.Args() + inject("\\old.bin", small), &output)) << output;
  EXPECT_EQ(vt::Sha256(vt::ToWin(small)), FileHash(v, "old.bin"));
  const uint64_t room = FreeBytes(v);
  if (!v.Ntfs()) {
    EXPECT_EQ(262144u - 102400u, room);
  }
  ASSERT_GT(room, 0u);
  ASSERT_EQ(0, vt::Sh("head -c " + std::to_string(room) + " /dev/urandom > " + vt::Q(exact)));

  std::string hash = Bytes(v);
  if (!v.Ntfs()) {
    // The folder's cluster is full of names: the new one takes a cluster
    // more than the data's.
    EXPECT_EQ(kFailed, RunVro(v.Args() + inject("\\full\\x.bin", exact), &output)) << output;
    EXPECT_NE(std::string::npos, output.find("Could not write \\full\\x.bin (error 112")) << output;
    EXPECT_EQ(hash, Bytes(v));
  }
  EXPECT_EQ(kOk, RunVro(v.Args() + inject("\\exact.bin", exact), &output)) << output;
  EXPECT_EQ(vt::Sha256(vt::ToWin(exact)), FileHash(v, "exact.bin"));
  EXPECT_EQ(0u, FreeBytes(v));

  // old.bin's clusters and one byte more: refused, nothing written.
  ASSERT_EQ(0, vt::Sh("head -c " + std::to_string((102400 + cluster - 1) / cluster * cluster + 1) +
                      " /dev/urandom > " + vt::Q(over)));
  hash = Bytes(v);
  EXPECT_EQ(kFailed, RunVro(v.Args() + inject("\\old.bin", over), &output)) << output;
  EXPECT_NE(std::string::npos, output.find("Could not write \\old.bin (error 112")) << output;
  EXPECT_EQ(hash, Bytes(v));
  EXPECT_EQ(vt::Sha256(vt::ToWin(small)), FileHash(v, "old.bin"));
  EXPECT_EQ("", Fsck(v));
}

// A full volume whose free clusters lie in many small pieces (every 6th
// file of 64 KiB deleted), old.bin (16 MiB) behind a filler of 15 MiB, on
// NTFS behind $LogFile, on a volume of 512-byte clusters whose bitmap the
// library searches in several windows: old.bin is replaced by a file of
// exactly its clusters and the free ones, which leaves no cluster free.
TEST_P(FullVolume, AnExactFitTakesFreeClustersInAnyNumberOfPieces) {
  Volume v = MakeVolume(GetParam());
  if (v.Ntfs()) {
    ASSERT_EQ(0, vt::Sh("rm " + vt::Q(v.image) + " && truncate -s 40M " + vt::Q(v.image) +
                        " && mkntfs -F -q -f -c 512 " + vt::Q(v.image) + " >/dev/null 2>&1"));
  }
  const std::string host = v.dir + "/host", exact = v.dir + "/exact.bin";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(host + "/f") + " && head -c 15M /dev/zero > " +
                      vt::Q(host + "/pre") + " && head -c 16M /dev/urandom > " +
                      vt::Q(host + "/old.bin")));
  // Every 6th of the n files F0.. in \f, deleted by `del`.
  const std::string pieces = "i=0; while [ $i -lt $n ]; do $del$i; i=$((i + 6)); done";
  if (!v.Ntfs() && !v.Exfat()) {
    const std::string free = "$(mdir -i $i ::/ | grep 'bytes free' | tr -cd 0-9)";
    OnVolume(v,
             "mcopy -i $i " + vt::Q(host + "/pre") + " " + vt::Q(host + "/old.bin") +
                 " ::/ && n=$(( " + free + " / 65536 )) && k=0 && while [ $k -lt $n ]; do "
                 "head -c 65536 /dev/zero > " + vt::Q(host) + "/f/F$k; k=$((k + 1)); done && "
                 "mcopy -s -i $i " + vt::Q(host + "/f") + " ::/ && head -c " + free +
                 " /dev/zero > " + vt::Q(host + "/rest") + " && mcopy -i $i " +
                 vt::Q(host + "/rest") + " ::/ && del=\"mdel -i $i ::/f/F\" && " + pieces,
             true);
  } else {
    OnVolume(v,
             "cp " + vt::Q(host + "/pre") + " " + vt::Q(host + "/old.bin") +
                 " $m/ && mkdir $m/f && n=0 && while head -c 65536 /dev/zero > $m/f/F$n "
                 "2>/dev/null; do n=$((n + 1)); done; rm $m/f/F$n; (head -c $(( $(stat -f -c "
                 "'%f*%S' $m) )) /dev/zero > $m/rest) 2>/dev/null; del=\"rm $m/f/F\" && " +
                 pieces,
             true);
  }
  const uint64_t free = FreeBytes(v);
  ASSERT_GT(free, 10u * 65536);
  ASSERT_EQ(0, vt::Sh("head -c " + std::to_string(free + (16u << 20)) + " /dev/urandom > " +
                      vt::Q(exact)));
  std::string output;
  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/inject:\\old.bin::" + vt::ToWin(exact) + L"\"", &output))
      << output;
  EXPECT_EQ(vt::Sha256(vt::ToWin(exact)), FileHash(v, "old.bin"));
  EXPECT_EQ(0u, FreeBytes(v));
  EXPECT_EQ("", Fsck(v));
}

INSTANTIATE_TEST_SUITE_P(Volumes, FullVolume, ::testing::Values("ntfs", "fat32", "exfat"));

}  // namespace

namespace {

// Names whose upper case the Unicode tables and Windows' up-case table
// spell differently (the micro sign, the dotless i, title-case digraphs
// beside their small form, letters later Unicode versions gave capitals, a
// Greek letter with ypogegrammeni): on a volume mkfs.exfat made and exfat-fuse filled, each
// comes out, is replaced in place and is found in its folder, so that
// exfat-fuse lists each once with the new bytes and fsck.exfat passes the
// volume; the name hashes the program writes are those of the volume's
// table.
TEST(BatchRoundTrip, ExfatNamesAsTheVolumeSpellsThem) {
  const std::vector<std::string> names = {"\xC2\xB5s.txt", "\xC9\x90.txt",     "\xC7\x85.txt",
                                          "\xC7\xB2.txt",  "\xE1\xBE\xB3.txt", "\xC7\x86.txt"};
  const std::string folder = "k\xC4\xB1lavuz";  // Turkish, with the dotless i
  Volume v;
  v.fs = "exfat";
  v.dir = vt::ScratchDirUnix();
  v.image = v.dir + "/disks/disk.img";
  const std::string tree = v.dir + "/tree", src = v.dir + "/src", want = v.dir + "/want";
  std::string script = "mkdir -p " + vt::Q(tree + "/" + folder) + " " + vt::Q(src + "/" + folder) +
                       " " + vt::Q(v.dir + "/disks") + " && cd " + vt::Q(v.dir);
  for (const std::string& n : names)
    script += " && printf 'old %s' " + vt::Q(n) + " > " + vt::Q("tree/" + n) + " && printf 'new " +
              "%s' " + vt::Q(n) + " > " + vt::Q("src/" + n);
  script += " && printf old-a > " + vt::Q("tree/" + folder + "/a.txt") + " && printf new-a > " +
            vt::Q("src/" + folder + "/a.txt") + " && printf b > " + vt::Q(v.dir + "/b.txt") +
            " && find src -type f -exec touch -d '2030-01-01 10:00' {} +";
  ASSERT_EQ(0, vt::Sh(script));
  std::string out;
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(v.image) +
                              " --fs exfat --layout mbr2048 --size 24 "
                              "--tree " +
                              vt::Q(tree),
                          &out));
  v.start = atol(out.c_str());
  ASSERT_EQ("", Fsck(v));

  // Each name comes out into `into` with the bytes of `from`'s file.
  auto extractEach = [&](const std::string& into, const std::string& from) {
    for (const std::string& n : names) {
      SCOPED_TRACE(n);
      EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/extract:\\" + vt::Widen(n) + L"::" +
                                vt::ToWin(into + "/" + n) + L"\"",
                            &out))
          << out;
      EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(into + "/" + n) + " " + vt::Q(from + "/" + n)));
    }
  };
  extractEach(v.dir + "/out", tree);
  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/extract:\\" + vt::Widen(folder) + L"\\a.txt::" +
                            vt::ToWin(v.dir + "/out/a.txt") + L"\"",
                        &out))
      << out;
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(v.dir + "/out/a.txt") + " " +
                      vt::Q(tree + "/" + folder + "/a.txt")));

  // Replaced in place: the files of the root by a wildcard (-update: the
  // host files are newer), the folder's file by a folder inject, and a new
  // file into the folder by its path.
  EXPECT_EQ(kOk, RunVro(v.Args() + L"-update \"/inject:\\::" + vt::ToWin(src) + L"\\*.txt\"", &out))
      << out;
  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/inject:\\" + vt::Widen(folder) + L"::" +
                            vt::ToWin(src + "/" + folder) + L"\"",
                        &out))
      << out;
  EXPECT_EQ(kOk, RunVro(v.Args() + L"\"/inject:\\" + vt::Widen(folder) + L"\\b.txt::" +
                            vt::ToWin(v.dir + "/b.txt") + L"\"",
                        &out))
      << out;
  // exfat-fuse lists what the host tree holds: each name once, new bytes.
  ASSERT_EQ(0,
            vt::Sh("cp -r " + vt::Q(src) + " " + vt::Q(want) + " && cp " + vt::Q(v.dir + "/b.txt") +
                       " " + vt::Q(want + "/" + folder) + " && cd " + vt::Q(want) +
                       " && (find . | sort && find . -type f | sort | xargs -r " + "sha256sum)",
                   &out));
  EXPECT_EQ(out, View(v));
  EXPECT_EQ("", Fsck(v));
  // /check finds every set sound: its hashes, exfat-fuse's and ours, are
  // the volume table's.
  EXPECT_EQ(DWORD(-2), RunVro(v.Args() + L"/check", &out)) << out;
  EXPECT_EQ(std::string::npos, out.find("The entry set")) << out;
  EXPECT_NE(std::string::npos, out.find("only its names and entry sets were checked")) << out;

  // The same table in another compressed form (every stretch of unchanged
  // characters as a run, however short) reads the same: the names come out
  // with their new bytes.
  {
    ip::Bytes d(vt::ToWin(v.image));
    ip::ExfatLayout x(d, (size_t)v.start * 512);
    ASSERT_NE(ip::kNone, x.upcase);
    std::vector<uint16_t> map(0x10000);
    for (uint32_t c = 0, i = 0; i < x.upcaseBytes / 2; i++) {
      uint16_t u = d.U16(x.upcase + i * 2);
      if (u == 0xFFFF && i + 1 < x.upcaseBytes / 2) {
        for (uint32_t n = d.U16(x.upcase + ++i * 2); n; n--, c++) map[c] = (uint16_t)c;
      } else if (c < 0x10000) {
        map[c++] = u;
      }
    }
    std::vector<uint16_t> units;
    for (uint32_t c = 0; c < 0x10000;) {
      uint32_t n = 0;
      while (c + n < 0x10000 && map[c + n] == c + n) n++;
      if (n) {
        units.insert(units.end(), {0xFFFF, (uint16_t)n});
        c += n;
      } else {
        units.push_back(map[c++]);
      }
    }
    ASSERT_LT(units.size() * 2, x.upcaseBytes);
    uint32_t sum = 0;
    for (size_t i = 0; i < units.size(); i++) {
      d.Put(x.upcase + i * 2, units[i], 2);
      for (uint8_t b : {uint8_t(units[i]), uint8_t(units[i] >> 8)})
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + b;
    }
    d.Put(x.upcaseEntry + 4, sum, 4);
    d.Put(x.upcaseEntry + 24, units.size() * 2, 8);
    ASSERT_TRUE(d.Save());
  }
  extractEach(v.dir + "/again", src);
  EXPECT_EQ("", Fsck(v));
}

}  // namespace
