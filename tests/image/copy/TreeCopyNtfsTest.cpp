// Tree copies into and out of NTFS volumes: byte-exact round trips read back
// by ntfs-3g's own tools, progress totals and chunks, cancel and a full
// volume leaving nothing behind.
#include <gtest/gtest.h>

#include "../TreeCopyTestUtil.h"
#include "image/copy/TreeCopy.h"
#include "Wow64Only.h"

namespace {

using tc::Image;
using tc::Recorder;

// Empty files, sizes on and around 64 KiB boundaries, a multi-MiB file,
// Unicode names and nested and empty folders.
std::string MakeMixedTree(const std::string& dir) {
  std::string t = dir + "/tree";
  std::string cmd =
      "set -e; mkdir -p " + vt::Q(t) + " && cd " + vt::Q(t) +
      " && mkdir -p 'a/b/c/d' 'empty dir' '日本語フォルダ/한국어' && : > empty.bin && : > a/b/zero"
      " && head -c 65535 /dev/urandom > a/65535.bin && head -c 65536 /dev/urandom > a/65536.bin"
      " && head -c 65537 /dev/urandom > a/b/65537.bin && head -c 131072 /dev/urandom > a/b/c/128k"
      " && head -c 5242897 /dev/urandom > 'big file.dat'"
      " && printf '中文内容' > '中文.txt' && head -c 700 /dev/urandom > '日本語フォルダ/한국어/작은.bin'"
      " && printf deep > a/b/c/d/leaf.txt"
      " && touch -m -d '2019-05-06 07:08:09' 'big file.dat'";
  EXPECT_EQ(0, vt::Sh(cmd));
  return t;
}

TEST(TreeCopyNtfs, MixedTreeRoundTripIsByteExactAndNtfscatAgrees) {
  Image img = tc::MakeImage("ntfs", 48);
  std::string tree = MakeMixedTree(img.dir);
  std::wstring out = vt::ToWin(img.dir + "/out");
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 2), 0);
    uint64_t missing = 0;
    Recorder rec;
    // 10 files and 8 folders (the top one included).
    EXPECT_EQ(18, InjectHostPath(&m, vt::ToWin(tree).c_str(), L"\\Stuff\\Tree", &missing,
                                 tc::Record, &rec));
    EXPECT_EQ(0u, missing);
    EXPECT_EQ(0, rec.Count(VCC_FILE_FAILED));
    EXPECT_EQ(2, m.GetPathType(L"\\Stuff\\Tree\\a\\b\\c\\d"));
    EXPECT_EQ(2, m.GetPathType(L"\\Stuff\\Tree\\empty dir"));
    FILETIME t;
    ASSERT_EQ(
        1, m.GetFileInfo(L"\\Stuff\\Tree\\big file.dat", nullptr, &t, nullptr, nullptr, nullptr));
    std::string secs;
    vt::Sh("stat -c %Y " + vt::Q(tree + "/big file.dat"), &secs);
    EXPECT_EQ(tc::U64(tc::FromUnix(atoll(secs.c_str()))), tc::U64(t));
  }
  // ntfs-3g reads every file as we wrote it.
  std::string vol = tc::Volume(img);
  std::string script = "cd " + vt::Q(tree) + " && find . -type f | while read -r f; do ntfscat " +
                       vt::Q(vol) +
                       " \"/Stuff/Tree/${f#./}\" | cmp -s - \"$f\" || echo \"differs: $f\"; done";
  std::string diffs;
  EXPECT_EQ(0, vt::Sh(script, &diffs));
  EXPECT_EQ("", diffs);
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(vol) + " >/dev/null"));

  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 0), 0);
    Recorder rec;
    EXPECT_EQ(1, ExtractToHost(&m, L"\\Stuff\\Tree", out.c_str(), tc::Record, &rec));
    EXPECT_EQ(0, rec.Count(VCC_FILE_FAILED));
  }
  std::string report;
  EXPECT_EQ(0, vt::Sh("diff -r " + vt::Q(tree) + " " + vt::Q(img.dir + "/out"), &report)) << report;
  std::string a, b;
  vt::Sh("stat -c %Y " + vt::Q(tree + "/big file.dat"), &a);
  vt::Sh("stat -c %Y " + vt::Q(img.dir + "/out/big file.dat"), &b);
  EXPECT_EQ(a, b);
}

TEST(TreeCopyNtfs, SingleFilesWildcardsAndStarDotStar) {
  Image img = tc::MakeImage("ntfs", 16);
  std::string src = img.dir + "/src";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(src) + " && cd " + vt::Q(src) +
                      " && printf one > one.txt && printf two > two.txt && printf bin > x.bin"));
  std::wstring wsrc = vt::ToWin(src);
  CMountedImage m;
  ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 2), 0);
  uint64_t missing = 0;
  // A file to a new path (its folder made), then into an existing folder.
  EXPECT_EQ(2, InjectHostPath(&m, (wsrc + L"\\one.txt").c_str(), L"\\New\\renamed.txt", &missing,
                              nullptr, nullptr));
  EXPECT_EQ(1, m.GetPathType(L"\\New\\renamed.txt"));
  EXPECT_EQ(1,
            InjectHostPath(&m, (wsrc + L"\\x.bin").c_str(), L"\\New", &missing, nullptr, nullptr));
  EXPECT_EQ(1, m.GetPathType(L"\\New\\x.bin"));
  // A pattern takes the matching files only.
  EXPECT_EQ(3,
            InjectHostPath(&m, (wsrc + L"\\*.txt").c_str(), L"\\Txt", &missing, nullptr, nullptr));
  EXPECT_EQ(1, m.GetPathType(L"\\Txt\\two.txt"));
  EXPECT_EQ(0, m.GetPathType(L"\\Txt\\x.bin"));
  // "*.*" on both sides means the folder.
  EXPECT_EQ(
      4, InjectHostPath(&m, (wsrc + L"\\*.*").c_str(), L"\\All\\*.*", &missing, nullptr, nullptr));
  EXPECT_EQ(1, m.GetPathType(L"\\All\\x.bin"));
  // A missing source does nothing.
  EXPECT_EQ(0,
            InjectHostPath(&m, (wsrc + L"\\nope").c_str(), L"\\nope", &missing, nullptr, nullptr));
  EXPECT_EQ(0, m.GetPathType(L"\\nope"));

  std::wstring out = vt::ToWin(img.dir + "/out");
  ASSERT_TRUE(CreateDirectoryW(out.c_str(), nullptr));
  // Into an existing host folder under its own name, then to a named target.
  EXPECT_EQ(1, ExtractToHost(&m, L"\\New\\renamed.txt", out.c_str(), nullptr, nullptr));
  EXPECT_EQ(
      1, ExtractToHost(&m, L"\\Txt\\two.txt", (out + L"\\sub\\2.txt").c_str(), nullptr, nullptr));
  EXPECT_EQ(1, ExtractToHost(&m, L"\\All\\*.bin", (out + L"\\bins").c_str(), nullptr, nullptr));
  EXPECT_EQ(0, ExtractToHost(&m, L"\\missing.txt", out.c_str(), nullptr, nullptr));
  std::string listing;
  vt::Sh("cd " + vt::Q(img.dir + "/out") + " && find . -type f | sort && cat renamed.txt sub/2.txt",
         &listing);
  EXPECT_EQ("./bins/x.bin\n./renamed.txt\n./sub/2.txt\nonetwo", listing);
}

TEST(TreeCopyNtfs, ProgressTotalsStepsAndChunks) {
  Image img = tc::MakeImage("ntfs", 16);
  std::string src = img.dir + "/src";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(src + "/three") + " && cd " + vt::Q(src) +
                      " && for n in 1 2 3; do printf 0123456789 > three/f$n; done" +
                      " && head -c 102400 /dev/urandom > k100.bin"));
  CMountedImage m;
  ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 2), 0);
  uint64_t missing = 0;

  // Three 10-byte files: a 3 MiB job in 1 MiB steps.
  Recorder folder;
  EXPECT_EQ(4, InjectHostPath(&m, vt::ToWin(src + "/three").c_str(), L"\\three", &missing,
                              tc::Record, &folder));
  std::vector<tc::Event> job;
  for (const tc::Event& e : folder.events) {
    if (e.total == 3u << 20) job.push_back(e);
  }
  ASSERT_EQ(4u, job.size());
  EXPECT_EQ(0u, job[0].done);
  EXPECT_EQ(0u, job[0].step);
  for (int i = 1; i < 4; i++) {
    EXPECT_EQ((uint64_t)(i - 1) << 20, job[i].done);
    EXPECT_EQ(1u << 20, job[i].step);
  }

  // 100 KiB: a start, chunks of 65,536 and 36,864 bytes, done = total.
  Recorder file;
  EXPECT_EQ(1, InjectHostPath(&m, vt::ToWin(src + "/k100.bin").c_str(), L"\\k100.bin", &missing,
                              tc::Record, &file));
  ASSERT_EQ(4u, file.events.size());
  const uint64_t k100 = 102400;
  EXPECT_TRUE(file.events[0].total == k100 && file.events[0].done == 0 && file.events[0].step == 0);
  EXPECT_TRUE(file.events[1].done == 0 && file.events[1].step == 65536);
  EXPECT_TRUE(file.events[2].done == 65536 && file.events[2].step == 36864);
  EXPECT_TRUE(file.events[3].done == k100 && file.events[3].step == 0);

  // Extracting reports the same way.
  Recorder back;
  std::wstring out = vt::ToWin(img.dir + "/k100.out");
  EXPECT_EQ(1, ExtractToHost(&m, L"\\k100.bin", out.c_str(), tc::Record, &back));
  ASSERT_EQ(4u, back.events.size());
  EXPECT_EQ(36864u, back.events[2].step);
  EXPECT_EQ(k100, back.events[3].done);
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(src + "/k100.bin") + " " + vt::Q(img.dir + "/k100.out")));
}

TEST(TreeCopyNtfs, CancelStopsTheJobAndLeavesNoPartialFile) {
  Image img = tc::MakeImage("ntfs", 32);
  std::string src = img.dir + "/src";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(src) + " && cd " + vt::Q(src) +
                      " && printf small > a_small.txt && head -c 3000000 /dev/urandom > b_big.bin" +
                      " && printf late > c_late.txt"));
  CMountedImage m;
  ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 2), 0);
  uint64_t missing = 0;
  // Inject: the job start, a_small (start, one chunk, end), b_big's step,
  // its start and ten chunks, then cancel in the middle of b_big.
  Recorder rec;
  rec.cancelAfter = 18;
  int items = InjectHostPath(&m, vt::ToWin(src).c_str(), L"\\C", &missing, tc::Record, &rec);
  EXPECT_EQ(2, items);  // the folder and a_small
  EXPECT_EQ(1, m.GetPathType(L"\\C\\a_small.txt"));
  EXPECT_EQ(0, m.GetPathType(L"\\C\\b_big.bin"));
  EXPECT_EQ(0, m.GetPathType(L"\\C\\c_late.txt"));
  EXPECT_EQ(0, rec.Count(VCC_FILE_FAILED));

  // Extract: the same cancel deletes the partial host file.
  ASSERT_EQ(4, InjectHostPath(&m, vt::ToWin(src).c_str(), L"\\D", &missing, nullptr, nullptr));
  Recorder ex;
  ex.cancelAfter = 18;
  std::wstring out = vt::ToWin(img.dir + "/out");
  EXPECT_EQ(0, ExtractToHost(&m, L"\\D", out.c_str(), tc::Record, &ex));
  EXPECT_EQ((DWORD)ERROR_CANCELLED, GetLastError());
  std::string listing;
  vt::Sh("cd " + vt::Q(img.dir + "/out") + " && find . -type f | sort", &listing);
  EXPECT_EQ("./a_small.txt\n", listing);
  // A file the callback declines at its start leaves nothing on the host.
  Recorder declined;
  declined.cancelAfter = 0;
  std::wstring one = vt::ToWin(img.dir + "/one.txt");
  ExtractToHost(&m, L"\\D\\a_small.txt", one.c_str(), tc::Record, &declined);
  EXPECT_EQ(1, declined.Count(VCC_PROGRESS));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(one.c_str()));
}

TEST(TreeCopyNtfs, FullVolumeRefusesTheFileAndLeavesNothing) {
  Image img = tc::MakeImage("ntfs", 8);
  std::string src = img.dir + "/src";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(src) + " && head -c 12000000 /dev/urandom > " +
                      vt::Q(src + "/huge.bin") + " && printf ok > " + vt::Q(src + "/ok.txt")));
  CMountedImage m;
  ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 2), 0);
  uint64_t total = 0, free = 0;
  ASSERT_EQ(1, m.GetVolumeSpace(&total, &free));

  uint64_t missing = 0;
  Recorder rec;
  EXPECT_EQ(0, InjectHostPath(&m, vt::ToWin(src + "/huge.bin").c_str(), L"\\huge.bin", &missing,
                              tc::Record, &rec));
  EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
  EXPECT_EQ(12000000u - free, missing);
  EXPECT_EQ(0, m.GetPathType(L"\\huge.bin"));
  ASSERT_EQ(1, rec.Count(VCC_FILE_FAILED));
  EXPECT_EQ((DWORD)ERROR_DISK_FULL, rec.events.back().reserved);

  // A file that passes the free-space test but cannot get all its
  // clusters is removed again; a small file after it still goes in.
  std::string fits = src + "/fits.bin";
  ASSERT_EQ(0, vt::Sh("head -c " + std::to_string(free - 1) + " /dev/urandom > " + vt::Q(fits)));
  missing = 0;
  int r = InjectHostPath(&m, vt::ToWin(fits).c_str(), L"\\fits.bin", &missing, nullptr, nullptr);
  uint64_t size = 0;
  if (r == 0) {
    EXPECT_EQ(0, m.GetPathType(L"\\fits.bin"));
    EXPECT_GT(missing, 0u);
  } else {
    EXPECT_EQ(1, m.GetFileInfo(L"\\fits.bin", nullptr, nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(free - 1, size);
    EXPECT_EQ(1, m.DeletePath(L"\\fits.bin"));
  }
  printf("fits: %d missing %llu\n", r, (unsigned long long)missing);
  // Only metadata may have grown: the file's clusters are free again.
  uint64_t after = 0;
  ASSERT_EQ(1, m.GetVolumeSpace(nullptr, &after));
  EXPECT_GT(after + 256 * 1024, free);
  EXPECT_EQ(1, InjectHostPath(&m, vt::ToWin(src + "/ok.txt").c_str(), L"\\ok.txt", &missing,
                              nullptr, nullptr));
}

// A volume whose free space lies in hundreds of pieces: ntfs-3g filled it
// with files of 64 KiB and 700 KiB in turn and then deleted the larger
// ones. A file of 150 MB goes in whole in as many runs as it needs, as
// ntfs-3g itself writes it; ntfscat reads it back and ntfsfix finds the
// volume clean.
TEST(TreeCopyNtfs, ALargeFileFillsAFragmentedVolumeInManyRuns) {
  std::string base = vt::ScratchDirUnix(), big = base + "/big.bin", mnt = base + "/mnt";
  Image img = tc::MakeImage("ntfs", 256, "", base);
  std::string vol = tc::Volume(img), out;
  ASSERT_EQ(0,
            vt::Sh("M=" + vt::Q(mnt) + "; mkdir -p \"$M\" && ntfs-3g -o no_def_opts " + vt::Q(vol) +
                       " \"$M\" && i=0 && while head -c 65536 /dev/zero > \"$M/k$i\" &&"
                       " head -c 716800 /dev/zero > \"$M/d$i\"; do i=$((i + 1)); done"
                       " 2>/dev/null; rm -f \"$M\"/d* && umount \"$M\" && echo $i",
                   &out));
  ASSERT_EQ(0, vt::Sh("dd if=" + vt::Q(vol) + " of=" + vt::Q(img.unixPath) +
                      " bs=512 seek=" + std::to_string(img.start) +
                      " conv=notrunc status=none && head -c 150000000"
                      " /dev/urandom > " +
                      vt::Q(big)));
  ASSERT_GT(atoi(out.c_str()), 300) << out;  // pieces of free space
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 2), 0);
    uint64_t missing = 0, before = 0, after = 0;
    ASSERT_EQ(1, m.GetVolumeSpace(nullptr, &before));
    EXPECT_EQ(1, InjectHostPath(&m, vt::ToWin(big).c_str(), L"\\big.bin", &missing, nullptr,
                                nullptr));
    // The steps the library refused took no clusters: only the file's
    // own and its record's extensions are gone from the free space.
    ASSERT_EQ(1, m.GetVolumeSpace(nullptr, &after));
    EXPECT_LE(before - after, 150000000u + (1u << 20));
    EXPECT_TRUE(m.Close());
  }
  vol = tc::Volume(img);
  EXPECT_EQ(0, vt::Sh("ntfscat " + vt::Q(vol) + " /big.bin | cmp - " + vt::Q(big) + " && ntfsfix -n " +
                          vt::Q(vol),
                      &out))
      << out;
}

}  // namespace

namespace {

// A 32-bit process on 64-bit Windows reads the real System32 while it copies.
TEST(TreeCopyNtfs, SystemFolderIsReadWithoutRedirection) {
  VRO_WOW64_ONLY("file-system redirection");
  BOOL wow64 = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow64);
  if (!wow64) GTEST_SKIP() << "not a 32-bit process on 64-bit Windows";
  Image img = tc::MakeImage("ntfs", 16);
  CMountedImage m;
  ASSERT_GE(m.OpenImage(img.path.c_str(), nullptr, 0, 2), 0);
  wchar_t windows[MAX_PATH];
  ASSERT_TRUE(GetWindowsDirectoryW(windows, MAX_PATH));
  std::wstring source = std::wstring(windows) + L"\\System32\\kernel32.dll";
  uint64_t missing = 0;
  ASSERT_EQ(1, InjectHostPath(&m, source.c_str(), L"\\k.dll", &missing, nullptr, nullptr));
  unsigned char head[4096];
  ASSERT_EQ(sizeof head, m.ReadFile(L"\\k.dll", head, 0, sizeof head));
  uint32_t pe = head[0x3C] | (head[0x3D] << 8);
  ASSERT_LT(pe + 6, sizeof head);
  EXPECT_EQ(0x8664, head[pe + 4] | (head[pe + 5] << 8));
  // The redirection is back on afterwards.
  HANDLE h = CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD got = 0;
  ASSERT_TRUE(::ReadFile(h, head, sizeof head, &got, nullptr));
  CloseHandle(h);
  pe = head[0x3C] | (head[0x3D] << 8);
  EXPECT_EQ(0x14C, head[pe + 4] | (head[pe + 5] << 8));
}

}  // namespace
