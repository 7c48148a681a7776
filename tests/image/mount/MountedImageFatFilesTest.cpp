// One script of file-API calls run against NTFS and against FAT32 and exFAT
// volumes (made by mkfs and by our formatter), FAT16 and exFAT of 4096-byte
// sectors too: every call must give the same result, error and data on each. Afterwards the FAT volumes are checked by
// fsck and their files read back by mtools.
#include <gtest/gtest.h>

#include <map>

#include "../FatVolumeTestUtil.h"

namespace {

using fv::Disk;

enum Kind { NTFS, FAT32_MKFS, EXFAT_MKFS, FAT32_OURS, EXFAT_OURS, FAT16_4096, EXFAT_4096 };

struct Case {
  Kind kind;
  const char* name;
};

const Case kCases[] = {{NTFS, "Ntfs"},
                       {FAT32_MKFS, "Fat32Mkfs"},
                       {EXFAT_MKFS, "ExfatMkfs"},
                       {FAT32_OURS, "Fat32Ours"},
                       {EXFAT_OURS, "ExfatOurs"},
                       {FAT16_4096, "Fat16Sectors4096"},
                       {EXFAT_4096, "ExfatSectors4096"}};

Disk MakeDisk(Kind kind) {
  switch (kind) {
    case NTFS:
      return fv::ToolDisk("ntfs");
    case FAT32_MKFS:
      return fv::ToolDisk("fat32");
    case EXFAT_MKFS:
      return fv::ToolDisk("exfat");
    case FAT32_OURS:
      return fv::OwnDisk(2);
    case FAT16_4096:
      return fv::ToolDisk("fat16", "mbr2048", "", 4096);
    case EXFAT_4096:
      return fv::ToolDisk("exfat", "mbr2048", "", 4096);
    default:
      return fv::OwnDisk(4);
  }
}

bool IsFat(Kind k) {
  return k != NTFS;
}
bool IsExfat(Kind k) {
  return k == EXFAT_MKFS || k == EXFAT_OURS || k == EXFAT_4096;
}

struct Entry {
  unsigned kind;
  uint64_t size;
  DWORD attributes;
  bool times;
};

int Collect(const wchar_t* name, unsigned int kind, DWORD sizeLow, DWORD sizeHigh,
            const FILETIME* creation, const FILETIME* lastWrite, const FILETIME* lastAccess,
            DWORD attributes, void* user) {
  auto* m = static_cast<std::map<std::wstring, Entry>*>(user);
  (*m)[name] = {kind, ((uint64_t)sizeHigh << 32) | sizeLow, attributes,
                creation && lastWrite && lastAccess};
  return 1;
}

// A listing without its ".." entry (which must be there, as a folder).
std::map<std::wstring, Entry> List(CMountedImage& m, const wchar_t* path) {
  std::map<std::wstring, Entry> out;
  EXPECT_EQ(1, m.EnumDirectory(path, Collect, &out)) << vt::Narrow(path);
  EXPECT_EQ(1u, out.count(L"..")) << vt::Narrow(path);
  EXPECT_EQ(4u, out[L".."].kind);
  EXPECT_TRUE(out[L".."].attributes & FILE_ATTRIBUTE_DIRECTORY);
  out.erase(L"..");
  return out;
}

std::vector<uint8_t> Bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = (uint8_t)(x >> 16);
  }
  return v;
}

std::vector<uint8_t> Read(CMountedImage& m, const wchar_t* path) {
  uint64_t size = 0;
  EXPECT_EQ(1, m.GetFileInfo(path, nullptr, nullptr, nullptr, nullptr, &size)) << vt::Narrow(path);
  std::vector<uint8_t> data((size_t)size);
  if (size) {
    EXPECT_EQ(size, m.ReadFile(path, data.data(), 0, size)) << vt::Narrow(path);
  }
  return data;
}

// A call that must fail with this error.
#define EXPECT_FAILS(call, error)              \
  do {                                         \
    SetLastError(0);                           \
    EXPECT_EQ(0, (int)(call));                 \
    EXPECT_EQ((DWORD)(error), GetLastError()); \
  } while (0)

// Times that FAT keeps exactly: even seconds, 1980-2107.
const uint64_t kCreation = 130000000000000000ull;    // 2012-12-13
const uint64_t kLastWrite = 132000000000000000ull;   // 2019-04-16
const uint64_t kLastAccess = 133000000000000000ull;  // 2022-06-18
const uint64_t kDay = 864000000000ull;

class FileApi : public ::testing::TestWithParam<Case> {};

TEST_P(FileApi, SameResultsOnEveryFileSystem) {
  const Kind kind = GetParam().kind;
  Disk d = MakeDisk(kind);
  std::vector<uint8_t> big;
  ASSERT_TRUE(vt::ReadAll(vt::ToWin(d.tree + "/big.bin"), big));
  const std::vector<uint8_t> blob = Bytes(300001, 7);
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    EXPECT_EQ(IsFat(kind), m.FatVolume() != nullptr);
    EXPECT_EQ(IsFat(kind), m.NtfsVolume() == nullptr);

    // Kinds of paths; names compare without case.
    EXPECT_EQ(2, m.GetPathType(L"\\"));
    EXPECT_EQ(1, m.GetPathType(L"\\big.bin"));
    EXPECT_EQ(2, m.GetPathType(L"\\Dir\\Sub"));
    EXPECT_EQ(1, m.GetPathType(L"\\DIR\\SUB\\SMALL.TXT"));
    EXPECT_EQ(0, m.GetPathType(L"\\nothing"));
    EXPECT_EQ(0, m.GetPathType(L"\\big.bin\\below"));

    // Listings: kinds 4 and 8, sizes, folders without the archive bit,
    // all three times given.
    auto root = List(m, L"\\");
    ASSERT_EQ(1u, root.count(L"big.bin"));
    ASSERT_EQ(1u, root.count(L"Dir"));
    ASSERT_EQ(1u, root.count(L"Empty"));
    EXPECT_EQ(8u, root[L"big.bin"].kind);
    EXPECT_EQ(big.size(), root[L"big.bin"].size);
    EXPECT_EQ(4u, root[L"Dir"].kind);
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY, root[L"Dir"].attributes & 0x37);
    EXPECT_TRUE(root[L"big.bin"].times);
    EXPECT_TRUE(List(m, L"\\Empty").empty());
    auto sub = List(m, L"\\Dir\\Sub");
    ASSERT_EQ(1u, sub.size());
    EXPECT_EQ(11u, sub[L"small.txt"].size);
    std::map<std::wstring, Entry> none;
    EXPECT_EQ(0, m.EnumDirectory(L"\\big.bin", Collect, &none));
    EXPECT_EQ(0, m.EnumDirectory(L"\\nothing", Collect, &none));

    // Reads at, across and past the end.
    EXPECT_TRUE(Read(m, L"\\big.bin") == big);
    uint8_t buf[100];
    EXPECT_EQ(73u, m.ReadFile(L"\\big.bin", buf, big.size() - 73, sizeof buf));
    EXPECT_EQ(0, memcmp(buf, &big[big.size() - 73], 73));
    EXPECT_EQ(0u, m.ReadFile(L"\\big.bin", buf, big.size(), sizeof buf));
    EXPECT_EQ(0u, m.ReadFile(L"\\big.bin", buf, big.size() + 5000, sizeof buf));
    EXPECT_FAILS(m.ReadFile(L"\\missing", buf, 0, 8), ERROR_FILE_NOT_FOUND);

    // Create and write: a write keeps what it does not cover and a gap
    // reads as zeros.
    ASSERT_EQ(1, m.CreatePath(L"\\Dir\\new.txt", 0x8000));
    EXPECT_FAILS(m.CreatePath(L"\\dir\\NEW.TXT", 0x8000), ERROR_ALREADY_EXISTS);
    EXPECT_FAILS(m.CreatePath(L"\\NoSuchDir\\f", 0x8000), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(10u, m.WriteFile(L"\\Dir\\new.txt", "0123456789", 0, 10));
    ASSERT_EQ(3u, m.WriteFile(L"\\Dir\\new.txt", "abc", 4, 3));
    EXPECT_EQ(std::vector<uint8_t>({'0', '1', '2', '3', 'a', 'b', 'c', '7', '8', '9'}),
              Read(m, L"\\Dir\\new.txt"));
    ASSERT_EQ(2u, m.WriteFile(L"\\Dir\\new.txt", "xy", 5000, 2));
    std::vector<uint8_t> grown = Read(m, L"\\Dir\\new.txt");
    ASSERT_EQ(5002u, grown.size());
    EXPECT_EQ('9', grown[9]);
    EXPECT_EQ(std::vector<uint8_t>(4990, 0), std::vector<uint8_t>(&grown[10], &grown[5000]));
    EXPECT_EQ('y', grown[5001]);
    EXPECT_FAILS(m.WriteFile(L"\\nothing.bin", "z", 0, 1), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(1, m.CreatePath(L"\\Dir\\Sub\\blob.bin", 0x8000));
    ASSERT_EQ(100000u, m.WriteFile(L"\\Dir\\Sub\\blob.bin", blob.data(), 0, 100000));
    ASSERT_EQ(blob.size() - 100000,
              m.WriteFile(L"\\Dir\\Sub\\blob.bin", &blob[100000], 100000, blob.size() - 100000));
    EXPECT_TRUE(Read(m, L"\\Dir\\Sub\\blob.bin") == blob);

    // Folders.
    ASSERT_EQ(1, m.CreateDirectory(L"\\New Folder"));
    EXPECT_FAILS(m.CreateDirectory(L"\\new folder"), ERROR_ALREADY_EXISTS);
    ASSERT_EQ(1, m.CreateDirectoryTree(L"\\A/B\\C"));
    EXPECT_EQ(1, m.CreateDirectoryTree(L"\\A\\B"));
    EXPECT_EQ(2, m.GetPathType(L"\\A\\B\\C"));
    EXPECT_FAILS(m.CreateDirectoryTree(L"\\big.bin\\X"), ERROR_ALREADY_EXISTS);

    // Renames: into another folder, a new spelling, never into itself.
    ASSERT_EQ(1, m.RenamePath(L"\\Dir\\new.txt", L"\\A\\B\\renamed.txt"));
    EXPECT_EQ(0, m.GetPathType(L"\\Dir\\new.txt"));
    EXPECT_EQ(5002u, Read(m, L"\\A\\B\\renamed.txt").size());
    ASSERT_EQ(1, m.RenamePath(L"\\A\\B\\renamed.txt", L"\\A\\B\\RENAMED.TXT"));
    EXPECT_EQ(1u, List(m, L"\\A\\B").count(L"RENAMED.TXT"));
    ASSERT_EQ(1, m.RenamePath(L"\\A\\B", L"\\Empty\\Moved"));
    EXPECT_EQ(2, m.GetPathType(L"\\Empty\\Moved\\C"));
    EXPECT_EQ(0, m.RenamePath(L"\\Empty", L"\\Empty\\Moved\\C\\Loop"));
    EXPECT_EQ(2, m.GetPathType(L"\\Empty\\Moved\\C"));
    EXPECT_FAILS(m.RenamePath(L"\\nothing", L"\\other"), ERROR_FILE_NOT_FOUND);

    // Attributes: read-only, hidden and system are written, the previous
    // value comes back, a folder stays a folder.
    DWORD attrs = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    ASSERT_EQ(1, m.SetFileInfo(L"\\big.bin", nullptr, nullptr, nullptr, &attrs));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, attrs & 0x37);
    DWORD now = 0;
    ASSERT_EQ(1, m.GetFileInfo(L"\\big.bin", nullptr, nullptr, nullptr, &now, nullptr));
    EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
              now & 0x37);
    attrs = FILE_ATTRIBUTE_SYSTEM;
    ASSERT_EQ(1, m.SetFileInfo(L"\\Dir", nullptr, nullptr, nullptr, &attrs));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY, attrs & 0x37);
    ASSERT_EQ(1, m.GetFileInfo(L"\\Dir", nullptr, nullptr, nullptr, &now, nullptr));
    EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY), now & 0x37);
    EXPECT_FAILS(m.SetFileInfo(L"\\big.bin", nullptr, nullptr, nullptr, nullptr),
                 ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(m.SetFileInfo(L"\\nothing", nullptr, nullptr, nullptr, &attrs),
                 ERROR_FILE_NOT_FOUND);

    // Times (UTC FILETIMEs in and out).
    FILETIME c = fv::Ft(kCreation), w = fv::Ft(kLastWrite), a = fv::Ft(kLastAccess);
    ASSERT_EQ(1, m.SetFileInfo(L"\\Dir\\Sub\\small.txt", &c, &w, &a, nullptr));
    w = fv::Ft(kLastWrite + 20000000);  // one alone moves only itself
    ASSERT_EQ(1, m.SetFileInfo(L"\\Dir\\Sub\\small.txt", nullptr, &w, nullptr, nullptr));

    // Deletes: a file, a whole tree.
    ASSERT_EQ(1, m.DeletePath(L"\\Dir\\Sub\\blob.bin"));
    EXPECT_EQ(0, m.GetPathType(L"\\Dir\\Sub\\blob.bin"));
    ASSERT_EQ(1, m.CreatePath(L"\\Gone", 0x4000));
    ASSERT_EQ(1, m.CreateDirectoryTree(L"\\Gone\\X\\Y"));
    ASSERT_EQ(1, m.CreatePath(L"\\Gone\\X\\Y\\f.txt", 0x8000));
    ASSERT_EQ(1, m.DeletePath(L"\\Gone"));
    EXPECT_EQ(0, m.GetPathType(L"\\Gone"));
    EXPECT_FAILS(m.DeletePath(L"\\Gone"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(1, m.CreatePath(L"\\Dir\\Sub\\blob.bin", 0x8000));
    ASSERT_EQ(blob.size(), m.WriteFile(L"\\Dir\\Sub\\blob.bin", blob.data(), 0, blob.size()));
  }

  // All of it is on the disk.
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
    EXPECT_TRUE(Read(m, L"\\Dir\\Sub\\blob.bin") == blob);
    EXPECT_TRUE(Read(m, L"\\big.bin") == big);
    EXPECT_EQ(5002u, Read(m, L"\\Empty\\Moved\\RENAMED.TXT").size());
    FILETIME c, w, a;
    DWORD attrs = 0;
    ASSERT_EQ(1, m.GetFileInfo(L"\\Dir\\Sub\\small.txt", &c, &w, &a, &attrs, nullptr));
    EXPECT_EQ(kCreation, fv::U64(c));
    EXPECT_EQ(kLastWrite + 20000000, fv::U64(w));
    // FAT12/16/32 keep only the day of the last access.
    if (IsFat(kind) && !IsExfat(kind)) {
      EXPECT_LT(fv::U64(a) > kLastAccess ? fv::U64(a) - kLastAccess : kLastAccess - fv::U64(a),
                2 * kDay);
    } else {
      EXPECT_EQ(kLastAccess, fv::U64(a));
    }
    ASSERT_EQ(1, m.GetFileInfo(L"\\big.bin", nullptr, nullptr, nullptr, &attrs, nullptr));
    EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
              attrs & 0x37);
    // Read-only: nothing can be changed.
    EXPECT_EQ(0, m.CreatePath(L"\\ro.txt", 0x8000));
    EXPECT_EQ(0, m.GetPathType(L"\\ro.txt"));
    uint64_t total = 0, free = 0;
    ASSERT_EQ(1, m.GetVolumeSpace(&total, &free));
    EXPECT_GT(total, (uint64_t)(fv::kDataMiB - 4) << 20);
    EXPECT_LT(free, total);
  }

  if (!IsFat(kind)) return;
  std::string part = fv::CutPartition(d, d.start, d.sectors, "part.img");
  EXPECT_EQ("", fv::FsckProblems(part, IsExfat(kind)));
  if (!IsExfat(kind)) {
    std::string ref = d.dir + "/blob.ref";
    vt::WriteAll(vt::ToWin(ref), blob.data(), blob.size());
    EXPECT_EQ(0, vt::Sh(fv::Mt() + "mtype -i " + vt::Q(part) + " ::/Dir/Sub/blob.bin | cmp - " +
                        vt::Q(ref)));
    std::string out;
    ASSERT_EQ(0, vt::Sh(fv::Mt() + "mdir -/ -b -i " + vt::Q(part) + " ::/", &out));
    EXPECT_NE(std::string::npos, out.find("/Empty/Moved/C/")) << out;
    EXPECT_NE(std::string::npos, out.find("/Empty/Moved/RENAMED.TXT")) << out;
    EXPECT_EQ(std::string::npos, out.find("Gone")) << out;
  }
}

INSTANTIATE_TEST_SUITE_P(, FileApi, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return i.param.name; });

}  // namespace
