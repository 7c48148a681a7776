// Files: open modes, reads and writes, seeks past the end, truncation, full
// volumes, transfer runs, and a random sequence of operations checked
// against a model and against fsck and mtools / exfat-fuse.
#include <random>

#include "FatTestUtil.h"
#include "image/fat/FatInternal.h"

using namespace ft;

namespace {

// Formats a fresh one-partition disk and mounts it.
struct Fresh {
  std::string dir, imgUnix;
  uint32_t sectors;
  Volume* v = nullptr;
  Fresh(const std::string& d, unsigned opts, uint32_t sect, uint32_t unit = 0)
      : dir(d), sectors(sect) {
    imgUnix = dir + "/d.img";
    vt::Sh("rm -f " + imgUnix);
    std::wstring img = MbrDisk(dir, "d.img", 2048, sect, (opts & 4) ? "7" : "c");
    v = new Volume(img);
    EXPECT_EQ(0, v->Format(opts | 8, unit));
    EXPECT_EQ(0, v->Mount());
  }
  ~Fresh() { delete v; }
  // fsck of the partition after closing the volume; "" when clean.
  std::string Check() {
    v->Close();
    std::string part = Partition(imgUnix, 2048, sectors, dir + "/p.img"), out;
    bool exfat = false;
    vt::Sh("dd if=" + part + " bs=1 skip=3 count=5 status=none", &out);
    exfat = out == "EXFAT";
    int rc = vt::Sh((exfat ? "fsck.exfat -n " : "fsck.fat -n ") + part + " 2>&1", &out);
    return rc == 0 ? "" : out;
  }
};

uint32_t FreeClusters(FatWorkArea* fs) {
  uint32_t n = 0;
  EXPECT_EQ(0, FatGetFreeClusters(fs, P(L""), &n));
  return n;
}

TEST(FatFiles, OpenModes) {
  std::string dir = vt::ScratchDirUnix();
  for (unsigned opts : {1u, 2u, 4u}) {
    SCOPED_TRACE(opts);
    Fresh f(dir, opts, 204800);
    FatWorkArea* fs = f.v->fs;
    FatFileObject* fo = new FatFileObject;
    EXPECT_EQ(FAT_NO_FILE, FatOpenFile(fs, fo, P(L"missing.txt"), 0x01));
    EXPECT_EQ(FAT_NO_PATH, FatOpenFile(fs, fo, P(L"nodir\\missing.txt"), 0x07));
    uint32_t before = FreeClusters(fs);
    ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"new.txt"), 0x07));
    uint32_t done = 0;
    ASSERT_EQ(0, FatWriteFile(fs, fo, "1", 1, &done));
    EXPECT_EQ(1u, done);
    ASSERT_EQ(0, FatCloseFile(fs, fo));
    EXPECT_EQ(FAT_INVALID_OBJECT, FatReadFile(fs, fo, nullptr, 0, &done));
    EXPECT_EQ(before - 1, FreeClusters(fs));  // one byte, one cluster
    FatFileInfo info;
    ASSERT_EQ(0, FatStatPath(fs, P(L"new.txt"), &info));
    EXPECT_EQ(1u, info.size);
    EXPECT_TRUE(info.attributes & FAT_ATTR_ARCHIVE);
    EXPECT_EQ(FAT_EXIST, FatOpenFile(fs, fo, P(L"new.txt"), 0x07));
    // Read-only files and folders.
    EXPECT_EQ(0, FatSetAttributes(fs, P(L"new.txt"), FAT_ATTR_READONLY | FAT_ATTR_DIRECTORY, 0xFF));
    ASSERT_EQ(0, FatStatPath(fs, P(L"new.txt"), &info));
    EXPECT_EQ(FAT_ATTR_READONLY, info.attributes);  // the directory bit is not in 0x27
    EXPECT_EQ(FAT_DENIED, FatOpenFile(fs, fo, P(L"new.txt"), 0x0B));
    EXPECT_EQ(FAT_DENIED, FatOpenFile(fs, fo, P(L"new.txt"), 0x03));
    EXPECT_EQ(FAT_DENIED, FatUnlinkPath(fs, P(L"new.txt")));
    ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"new.txt"), 0x01));
    EXPECT_EQ(FAT_DENIED, FatWriteFile(fs, fo, "x", 1, &done));
    char ch = 0;
    EXPECT_EQ(0, FatReadFile(fs, fo, &ch, 1, &done));
    EXPECT_EQ('1', ch);
    EXPECT_EQ(FAT_DENIED, FatTruncateFile(fs, fo));
    FatCloseFile(fs, fo);
    EXPECT_EQ(0, FatSetAttributes(fs, P(L"new.txt"), 0, FAT_ATTR_READONLY));
    ASSERT_EQ(0, FatMakeDirectory(fs, P(L"d")));
    EXPECT_EQ(FAT_NO_FILE, FatOpenFile(fs, fo, P(L"d"), 0x01));
    EXPECT_EQ(FAT_DENIED, FatOpenFile(fs, fo, P(L"d"), 0x0B));
    EXPECT_EQ(FAT_NO_FILE, FatOpenFile(fs, fo, P(L""), 0x01));
    // Create-always empties an existing file and gives back its clusters.
    ASSERT_EQ(0, f.v->WriteFile(L"big.bin", Pattern(300000, 1)));
    uint32_t mid = FreeClusters(fs);
    ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"big.bin"), 0x0B));
    EXPECT_EQ(0u, fo->size);
    ASSERT_EQ(0, FatCloseFile(fs, fo));
    EXPECT_GT(FreeClusters(fs), mid);
    // Append starts at the end.
    ASSERT_EQ(0, f.v->WriteFile(L"log.txt", "one,"));
    ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"log.txt"), 0x32));
    ASSERT_EQ(0, FatWriteFile(fs, fo, "two", 3, &done));
    ASSERT_EQ(0, FatCloseFile(fs, fo));
    std::string data;
    EXPECT_EQ(0, f.v->ReadFile(L"log.txt", &data));
    EXPECT_EQ("one,two", data);
    // Times as given.
    FatFileInfo t = {};
    t.cdate = 0x5A21;
    t.ctime = 0x6000;
    t.wdate = 0x5A22;
    t.wtime = 0x6001;
    t.adate = 0x5A23;
    ASSERT_EQ(0, FatSetTimes(fs, P(L"log.txt"), &t));
    ASSERT_EQ(0, FatStatPath(fs, P(L"log.txt"), &info));
    EXPECT_EQ(0x5A21, info.cdate);
    EXPECT_EQ(0x6000, info.ctime);
    EXPECT_EQ(0x5A22, info.wdate);
    EXPECT_EQ(0x6001, info.wtime);
    EXPECT_EQ(0x5A23, info.adate);
    delete fo;
    EXPECT_EQ("", f.Check());
  }
}

// A seek past the end in a writable file grows it, and the new part reads as
// zeros even where deleted data lay.
TEST(FatFiles, SeekPastEndGrowsWithZeros) {
  std::string dir = vt::ScratchDirUnix();
  for (unsigned opts : {2u, 4u, 1u}) {
    SCOPED_TRACE(opts);
    Fresh f(dir, opts, 204800);
    FatWorkArea* fs = f.v->fs;
    std::string junk(3 << 20, '\xCC');
    ASSERT_EQ(0, f.v->WriteFile(L"junk.bin", junk));
    ASSERT_EQ(0, FatUnlinkPath(fs, P(L"junk.bin")));
    FatFileObject* fo = new FatFileObject;
    ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"hole.bin"), 0x0B));
    ASSERT_EQ(0, FatSeekFile(fs, fo, 1 << 20));
    ASSERT_EQ(0, FatCloseFile(fs, fo));
    std::string data;
    ASSERT_EQ(0, f.v->ReadFile(L"hole.bin", &data));
    EXPECT_EQ(std::string(1 << 20, '\0'), data);
    // Growing a file whose last cluster is partly used.
    ASSERT_EQ(0, f.v->WriteFile(L"tail.bin", std::string(100, 'A')));
    ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"tail.bin"), 0x03));
    ASSERT_EQ(0, FatSeekFile(fs, fo, 70000));
    uint32_t done;
    ASSERT_EQ(0, FatWriteFile(fs, fo, "Z", 1, &done));
    ASSERT_EQ(0, FatCloseFile(fs, fo));
    ASSERT_EQ(0, f.v->ReadFile(L"tail.bin", &data));
    EXPECT_EQ(std::string(100, 'A') + std::string(69900, '\0') + "Z", data);
    // Read-only: the pointer stops at the end.
    ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"tail.bin"), 0x01));
    ASSERT_EQ(0, FatSeekFile(fs, fo, 1 << 30));
    EXPECT_EQ(70001u, fo->pointer);
    char c;
    ASSERT_EQ(0, FatReadFile(fs, fo, &c, 1, &done));
    EXPECT_EQ(0u, done);
    ASSERT_EQ(0, FatSeekFile(fs, fo, 70000));
    ASSERT_EQ(0, FatReadFile(fs, fo, &c, 1, &done));
    EXPECT_EQ('Z', c);
    FatCloseFile(fs, fo);
    // Truncation gives clusters back.
    uint32_t before = FreeClusters(fs);
    ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"hole.bin"), 0x03));
    ASSERT_EQ(0, FatSeekFile(fs, fo, 5000));
    ASSERT_EQ(0, FatTruncateFile(fs, fo));
    ASSERT_EQ(0, FatCloseFile(fs, fo));
    EXPECT_GT(FreeClusters(fs), before);
    ASSERT_EQ(0, f.v->ReadFile(L"hole.bin", &data));
    EXPECT_EQ(5000u, data.size());
    ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"hole.bin"), 0x03));
    ASSERT_EQ(0, FatTruncateFile(fs, fo));  // at 0: no clusters left
    ASSERT_EQ(0, FatCloseFile(fs, fo));
    FatFileInfo info;
    ASSERT_EQ(0, FatStatPath(fs, P(L"hole.bin"), &info));
    EXPECT_EQ(0u, info.size);
    delete fo;
    EXPECT_EQ("", f.Check());
  }
}

TEST(FatFiles, FullVolumeGivesShortWritesAndStaysConsistent) {
  std::string dir = vt::ScratchDirUnix();
  for (unsigned opts : {1u, 4u}) {
    SCOPED_TRACE(opts);
    Fresh f(dir, opts, opts == 4 ? 8192 : 4096);
    FatWorkArea* fs = f.v->fs;
    uint64_t room = (uint64_t)FreeClusters(fs) * ClusterBytes(fs);
    std::string big = Pattern((size_t)room + 100000, 5);
    FatFileObject* fo = new FatFileObject;
    ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"fill.bin"), 0x0B));
    uint32_t done = 0;
    EXPECT_EQ(0, FatWriteFile(fs, fo, big.data(), (uint32_t)big.size(), &done));
    EXPECT_EQ(room, done);
    EXPECT_EQ(FAT_FULL, FatSeekFile(fs, fo, room + 5000));
    ASSERT_EQ(0, FatCloseFile(fs, fo));
    EXPECT_EQ(0u, FreeClusters(fs));
    EXPECT_NE(0, f.v->WriteFile(L"more.bin", "x"));
    std::string data;
    ASSERT_EQ(0, f.v->ReadFile(L"fill.bin", &data));
    EXPECT_TRUE(data == big.substr(0, (size_t)room));
    delete fo;
    EXPECT_EQ("", f.Check());
  }
}

// Counts the device calls behind a transfer.
int g_reads, g_writes;
int CountRead(void* ctx, unsigned long long off, void* buf, unsigned int n) {
  g_reads++;
  return ReadAt(ctx, off, buf, n);
}
int CountWrite(void* ctx, unsigned long long off, const void* buf, unsigned int n) {
  g_writes++;
  return WriteAt(ctx, off, buf, n);
}

TEST(FatFiles, LargeTransfersGoInClusterRuns) {
  std::string dir = vt::ScratchDirUnix();
  for (unsigned opts : {2u, 4u}) {
    SCOPED_TRACE(opts);
    Fresh f(dir, opts, 409600);
    f.v->fs->disk->read = CountRead;
    f.v->fs->disk->write = CountWrite;
    std::string data = Pattern(24 << 20, 11);
    g_reads = g_writes = 0;
    DWORD t0 = GetTickCount();
    ASSERT_EQ(0, f.v->WriteFile(L"movie.bin", data));
    DWORD t1 = GetTickCount();
    // 24 MiB in 256 KiB transfers is 96 data writes; allocation adds a few hundred FAT sectors at most.
    EXPECT_LT(g_writes, 96 + 400) << "writes";
    std::string back;
    g_reads = 0;
    ASSERT_EQ(0, f.v->ReadFile(L"movie.bin", &back));
    DWORD t2 = GetTickCount();
    EXPECT_LT(g_reads, 96 + 400) << "reads";
    EXPECT_TRUE(back == data);
    EXPECT_LT(t1 - t0, 20000u);
    EXPECT_LT(t2 - t1, 20000u);
    EXPECT_EQ("", f.Check());
  }
}

// Folders grow cluster by cluster (on exFAT their entry follows); the fixed
// FAT16 root holds 512 entries and then refuses, naming itself full.
TEST(FatFiles, DirectoriesGrowAndFixedRootFills) {
  std::string dir = vt::ScratchDirUnix();
  struct Case {
    unsigned opts;
    uint32_t unit;
  } cases[] = {{2, 512}, {4, 4096}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.opts);
    Fresh f(dir, c.opts, 204800, c.unit);
    FatWorkArea* fs = f.v->fs;
    ASSERT_EQ(0, FatMakeDirectory(fs, P(L"many")));
    for (int i = 0; i < 300; i++)
      ASSERT_EQ(
          0, f.v->WriteFile(L"many\\entry with a long name number " + std::to_wstring(i) + L".txt",
                            std::to_string(i), 0x07))
          << i;
    std::map<std::string, uint64_t> tree;
    ASSERT_EQ(0, f.v->List(L"many", &tree));
    EXPECT_EQ(300u, tree.size());
    std::string data;
    ASSERT_EQ(0, f.v->ReadFile(L"many\\ENTRY WITH A LONG NAME NUMBER 299.TXT", &data));
    EXPECT_EQ("299", data);
    for (int i = 0; i < 300; i += 2)
      ASSERT_EQ(0, FatUnlinkPath(fs, P(L"many\\entry with a long name number " +
                                       std::to_wstring(i) + L".txt")));
    std::string part = dir + "/p.img", out;
    EXPECT_EQ("", f.Check());
    if (c.opts == 4) {
      EXPECT_EQ(0, vt::Sh("set -e; mkdir -p " + dir + "/mnt; l=$(losetup -f --show " + part +
                              "); mount.exfat-fuse -o ro $l " + dir + "/mnt >/dev/null; ls " + dir +
                              "/mnt/many | wc -l; umount " + dir + "/mnt; losetup -d $l",
                          &out));
    } else {
      EXPECT_EQ(0, vt::Sh(Mt() + "mdir -b -i " + part + " ::/many | wc -l", &out));
    }
    EXPECT_EQ("150\n", out);
  }
  // The root full: no file, folder or name moved in goes there, and the
  // root is noted as the folder full; its subfolder still takes names.
  Fresh f(dir, 1, 65536);
  ASSERT_EQ(0, FatMakeDirectory(f.v->fs, P(L"sub")));
  ASSERT_EQ(0, f.v->WriteFile(L"sub\\moved", "", 0x07));
  int r = 0, n = 0;
  for (; n < 600 && !(r = f.v->WriteFile(L"F" + std::to_wstring(n), "", 0x07)); n++) {
  }
  EXPECT_EQ(FAT_FOLDER_FULL, r);
  EXPECT_EQ(511, n);
  EXPECT_EQ(FAT_FOLDER_FULL, FatMakeDirectory(f.v->fs, P(L"one more")));
  EXPECT_EQ(FAT_FOLDER_FULL, FatRenamePath(f.v->fs, P(L"sub\\moved"), P(L"moved")));
  uint32_t entries = 0;
  bool fixedRoot = false;
  const uint16_t* full = FatFullFolder(f.v->fs, &entries, &fixedRoot);
  ASSERT_TRUE(full);
  EXPECT_EQ(std::wstring(L"\\"), reinterpret_cast<const wchar_t*>(full));
  EXPECT_EQ(512u, entries);
  EXPECT_TRUE(fixedRoot);
  EXPECT_EQ(0, f.v->WriteFile(L"sub\\more", "", 0x07));
  EXPECT_EQ("", f.Check());
}

// An exFAT file kept contiguous without a FAT chain gets one when it has to
// grow around another file's cluster.
TEST(FatFiles, ExfatFragmentedGrowthWritesTheChain) {
  std::string dir = vt::ScratchDirUnix();
  Fresh f(dir, 4, 131072, 4096);
  FatWorkArea* fs = f.v->fs;
  std::string a = Pattern(4096, 1), b = Pattern(4096, 2), more = Pattern(20000, 3);
  ASSERT_EQ(0, f.v->WriteFile(L"a.bin", a));
  ASSERT_EQ(0, f.v->WriteFile(L"b.bin", b));
  FatFileObject* fo = new FatFileObject;
  ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"a.bin"), 0x32));
  EXPECT_EQ(2, fo->chainState);
  uint32_t done;
  ASSERT_EQ(0, FatWriteFile(fs, fo, more.data(), (uint32_t)more.size(), &done));
  EXPECT_EQ(0, fo->chainState);
  ASSERT_EQ(0, FatCloseFile(fs, fo));
  ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"b.bin"), 0x01));
  EXPECT_EQ(2, fo->chainState);
  FatCloseFile(fs, fo);
  delete fo;
  std::string data;
  ASSERT_EQ(0, f.v->ReadFile(L"a.bin", &data));
  EXPECT_TRUE(data == a + more);
  EXPECT_EQ("", f.Check());
  vt::WriteAll(vt::ToWin(dir + "/want.bin"), (a + more).data(), a.size() + more.size());
  std::string out;
  EXPECT_EQ(0, vt::Sh("set -e; mkdir -p " + dir + "/mnt; l=$(losetup -f --show " + dir +
                          "/p.img); mount.exfat-fuse -o ro $l " + dir + "/mnt >/dev/null; cmp " +
                          dir + "/mnt/a.bin " + dir + "/want.bin; rc=$?; umount " + dir +
                          "/mnt; losetup -d $l; exit $rc",
                      &out))
      << out;
}

// A bitmap bit cleared under a file in a folder (the mount after it knows
// nothing of it): the allocator refuses that cluster and names the file;
// once the file is replaced, its clusters are free to take, and the
// volume is whole again.
TEST(FatFiles, ExfatBitmapBitClearedUnderAFile) {
  std::string dir = vt::ScratchDirUnix();
  Fresh f(dir, 4, 131072, 4096);
  FatWorkArea* fs = f.v->fs;
  std::string victim = Pattern(40000, 4);
  ASSERT_EQ(0, FatMakeDirectory(fs, P(L"sub")));
  ASSERT_EQ(0, f.v->WriteFile(L"sub\\victim.bin", victim));
  FatFileObject* fo = new FatFileObject;
  ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"sub\\victim.bin"), 0x01));
  const uint32_t taken = fo->firstCluster + 2;
  FatCloseFile(fs, fo);
  ASSERT_EQ(0, FatSetBitmap(fs, taken, 1, false));
  ASSERT_EQ(0, FatFlushVolume(fs));
  FatUnmount(fs);
  ASSERT_EQ(0, f.v->Mount());

  EXPECT_EQ(FAT_MAP_DAMAGED, f.v->WriteFile(L"new.bin", Pattern(20000, 5)));
  uint32_t cluster = 0;
  const uint16_t* owner = FatMapDamageOwner(fs, &cluster);
  ASSERT_TRUE(owner);
  EXPECT_EQ(u"\\sub\\victim.bin", std::u16string(reinterpret_cast<const char16_t*>(owner)));
  EXPECT_EQ(taken, cluster);
  std::string data;
  ASSERT_EQ(0, f.v->ReadFile(L"sub\\victim.bin", &data));
  EXPECT_TRUE(data == victim);

  std::string again = Pattern(60000, 6);
  ASSERT_EQ(0, f.v->WriteFile(L"sub\\victim.bin", again));
  ASSERT_EQ(0, f.v->WriteFile(L"new.bin", Pattern(20000, 5)));
  ASSERT_EQ(0, f.v->ReadFile(L"sub\\victim.bin", &data));
  EXPECT_TRUE(data == again);
  EXPECT_EQ("", f.Check());
}

int FailingRead(void*, unsigned long long, void*, unsigned int) {
  return -1;
}

// A disk error stops the file object for good; the volume reports it too.
TEST(FatFiles, DiskErrorsAreLatched) {
  std::string dir = vt::ScratchDirUnix();
  Fresh f(dir, 2, 204800);
  FatWorkArea* fs = f.v->fs;
  ASSERT_EQ(0, f.v->WriteFile(L"f.bin", Pattern(100000, 4)));
  FatFileObject* fo = new FatFileObject;
  ASSERT_EQ(0, FatOpenFile(fs, fo, P(L"f.bin"), 0x01));
  FatReadRoutine saved = fs->disk->read;
  fs->disk->read = FailingRead;
  std::vector<char> buf(100000);
  uint32_t done = 0;
  EXPECT_EQ(FAT_DISK_ERR, FatReadFile(fs, fo, buf.data(), 100000, &done));
  fs->disk->read = saved;
  EXPECT_EQ(FAT_DISK_ERR, FatReadFile(fs, fo, buf.data(), 10, &done));
  EXPECT_EQ(FAT_DISK_ERR, FatSeekFile(fs, fo, 0));
  EXPECT_EQ(FAT_DISK_ERR, FatCloseFile(fs, fo));
  EXPECT_EQ(FAT_INVALID_OBJECT, FatReadFile(fs, fo, buf.data(), 10, &done));
  delete fo;
  f.v->Close();
  Volume v(vt::ToWin(f.imgUnix));
  v.fs->disk->read = FailingRead;
  EXPECT_EQ(FAT_DISK_ERR, v.Mount());
  EXPECT_EQ(FAT_NO_FILESYSTEM, FatMakeDirectory(v.fs, P(L"x")));
  EXPECT_EQ(FAT_NOT_ENABLED, FatMount(nullptr, 0, FAT_BOOT_PARTITION));
}

// A random sequence of creates, writes, renames and deletes, mirrored in a
// model; afterwards our listing, fsck and an independent reader all agree.
TEST(FatFiles, RandomOperationsKeepVolumeConsistent) {
  std::string dir = vt::ScratchDirUnix();
  struct Case {
    unsigned opts;
    uint32_t sectors;
  } cases[] = {{1, 16384}, {1, 131072}, {2, 204800}, {4, 131072}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.opts * 1000000 + c.sectors);
    Fresh f(dir, c.opts, c.sectors);
    FatWorkArea* fs = f.v->fs;
    std::mt19937 rng(c.sectors + c.opts);
    std::map<std::wstring, std::string> files;  // path -> content
    std::vector<std::wstring> dirs = {L""};
    auto pick = [&](size_t n) { return (size_t)(rng() % n); };
    auto newName = [&]() {
      static const wchar_t* stems[] = {L"Report",       L"data", L"A Long Name With Spaces",
                                       L"\x4E2D\x6587", L"x",    L"MiXeD.CaSe",
                                       L"file.tar"};
      static const wchar_t* exts[] = {L".txt", L".BIN", L"", L".jpeg", L".d"};
      return std::wstring(stems[pick(7)]) + std::to_wstring(pick(40)) + exts[pick(5)];
    };
    auto join = [](const std::wstring& d, const std::wstring& n) {
      return d.empty() ? n : d + L"\\" + n;
    };
    auto exists = [&](const std::wstring& p) {
      FatFileInfo info;
      return FatStatPath(fs, P(p), &info) == 0;
    };
    for (int op = 0; op < 250; op++) {
      int kind = (int)pick(10);
      if (kind < 4) {  // create or overwrite a file
        std::wstring p = join(dirs[pick(dirs.size())], newName());
        bool isDir = std::find(dirs.begin(), dirs.end(), p) != dirs.end();
        if (isDir) continue;
        size_t len = pick(4) == 0 ? pick(200000) : pick(5000);
        std::string content = Pattern(len, op);
        if (exists(p) && !files.count(p)) continue;
        ASSERT_EQ(0, f.v->WriteFile(p, content)) << vt::Narrow(p);
        // Same file under another spelling: the model keeps the first.
        bool found = false;
        for (auto& e : files)
          if (FatNamesEqual(fs, (const uint16_t*)e.first.c_str(), (uint32_t)e.first.size(),
                            (const uint16_t*)p.c_str(), (uint32_t)p.size())) {
            e.second = content;
            found = true;
          }
        if (!found) files[p] = content;
      } else if (kind == 4) {  // folder
        std::wstring p = join(dirs[pick(dirs.size())], L"Dir " + std::to_wstring(pick(30)));
        int r = FatMakeDirectory(fs, P(p));
        if (r == FAT_EXIST) continue;
        ASSERT_EQ(0, r);
        dirs.push_back(p);
      } else if (kind == 5 && !files.empty()) {  // delete a file
        auto it = files.begin();
        std::advance(it, pick(files.size()));
        ASSERT_EQ(0, FatUnlinkPath(fs, P(it->first)));
        files.erase(it);
      } else if (kind == 6 && !files.empty()) {  // rename or move a file
        auto it = files.begin();
        std::advance(it, pick(files.size()));
        std::wstring to = join(dirs[pick(dirs.size())], newName());
        if (exists(to)) continue;
        ASSERT_EQ(0, FatRenamePath(fs, P(it->first), P(to)));
        std::string content = it->second;
        files.erase(it);
        files[to] = content;
      } else if (kind == 7 && dirs.size() > 1) {  // rename or move a folder
        std::wstring from = dirs[1 + pick(dirs.size() - 1)];
        std::wstring parent = dirs[pick(dirs.size())];
        std::wstring to = join(parent, L"Moved " + std::to_wstring(op));
        int r = FatRenamePath(fs, P(from), P(to));
        bool inside = parent == from || parent.rfind(from + L"\\", 0) == 0;
        if (inside) {
          ASSERT_EQ(FAT_DENIED, r);
          continue;
        }
        ASSERT_EQ(0, r);
        auto moved = [&](const std::wstring& p) {
          if (p == from) return to;
          if (p.rfind(from + L"\\", 0) == 0) return to + p.substr(from.size());
          return p;
        };
        for (auto& d : dirs) d = moved(d);
        std::map<std::wstring, std::string> nf;
        for (auto& e : files) nf[moved(e.first)] = e.second;
        files.swap(nf);
      } else if (kind == 8 && dirs.size() > 1) {  // delete a folder: only when empty
        size_t i = 1 + pick(dirs.size() - 1);
        std::wstring d = dirs[i];
        bool empty = true;
        for (auto& e : files)
          if (e.first.rfind(d + L"\\", 0) == 0) empty = false;
        for (auto& o : dirs)
          if (o.rfind(d + L"\\", 0) == 0) empty = false;
        ASSERT_EQ(empty ? 0 : FAT_DENIED, FatUnlinkPath(fs, P(d)));
        if (empty) dirs.erase(dirs.begin() + i);
      } else if (!files.empty()) {  // partial rewrite in place
        auto it = files.begin();
        std::advance(it, pick(files.size()));
        FatFileObject* fo = new FatFileObject;
        ASSERT_EQ(0, FatOpenFile(fs, fo, P(it->first), 0x03));
        uint64_t at = pick((size_t)it->second.size() + 10);
        std::string patch = Pattern(pick(9000), op + 7);
        ASSERT_EQ(0, FatSeekFile(fs, fo, at));
        uint32_t done;
        ASSERT_EQ(0, FatWriteFile(fs, fo, patch.data(), (uint32_t)patch.size(), &done));
        ASSERT_EQ(0, FatCloseFile(fs, fo));
        delete fo;
        std::string& s = it->second;
        if (at > s.size()) s.resize((size_t)at, '\0');
        if (at + patch.size() > s.size()) s.resize((size_t)at + patch.size());
        memcpy(&s[(size_t)at], patch.data(), patch.size());
      }
    }
    // Our listing against the model.
    std::map<std::string, uint64_t> tree, want;
    ASSERT_EQ(0, f.v->List(L"", &tree));
    for (auto& d : dirs)
      if (!d.empty()) {
        std::string k = vt::Narrow(d);
        for (auto& ch : k)
          if (ch == '\\') ch = '/';
        want[k + "/"] = 0;
      }
    for (auto& e : files) {
      std::string k = vt::Narrow(e.first);
      for (auto& ch : k)
        if (ch == '\\') ch = '/';
      want[k] = e.second.size();
    }
    EXPECT_EQ(want, tree);
    // The model as a host tree, against what an independent reader extracts.
    std::string model = dir + "/model";
    vt::Sh("rm -rf " + model + " " + dir + "/ref && mkdir -p " + model + " " + dir + "/ref");
    std::vector<std::wstring> byDepth = dirs;  // parents first
    std::sort(byDepth.begin(), byDepth.end(),
              [](const std::wstring& a, const std::wstring& b) { return a.size() < b.size(); });
    for (auto& d : byDepth) CreateDirectoryW((vt::ToWin(model) + L"\\" + d).c_str(), nullptr);
    for (auto& e : files)
      vt::WriteAll(vt::ToWin(model) + L"\\" + e.first, e.second.data(), e.second.size());
    EXPECT_EQ("", f.Check());
    std::string part = dir + "/p.img", out;
    if (c.opts == 4) {
      vt::Sh("l=$(losetup -f --show " + part + "); mount.exfat-fuse -o ro $l " + dir +
             "/ref-mnt 2>/dev/null || "
             "{ mkdir -p " +
             dir + "/ref-mnt; mount.exfat-fuse -o ro $l " + dir +
             "/ref-mnt >/dev/null; }; "
             "cp -r " +
             dir + "/ref-mnt/. " + dir + "/ref/; umount " + dir + "/ref-mnt; losetup -d $l");
    } else {
      vt::Sh(Mt() + "mcopy -s -n -i " + part + " '::*' " + dir + "/ref/ 2>/dev/null");
    }
    vt::Sh("LC_ALL=C.UTF-8 diff -r " + model + " " + dir + "/ref 2>&1", &out);
    EXPECT_EQ("", out);
  }
}

}  // namespace
