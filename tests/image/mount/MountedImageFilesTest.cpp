// The mounted image's file API on NTFS, with what it writes read back by
// ntfs-3g's own tools, and the volume information.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "../MountedImageTestUtil.h"

namespace {

using mi::Disk;

struct Listing {
  std::map<std::wstring, DWORD> attrs;
  std::map<std::wstring, uint64_t> sizes;
  int stopAfter = -1;
};

int Collect(const wchar_t* name, unsigned int kind, DWORD sizeLow, DWORD sizeHigh, const FILETIME*,
            const FILETIME*, const FILETIME*, DWORD attributes, void* user) {
  Listing* l = static_cast<Listing*>(user);
  l->attrs[name] = attributes | (kind == 4 ? 0x80000000u : 0);
  l->sizes[name] = ((uint64_t)sizeHigh << 32) | sizeLow;
  return l->stopAfter < 0 || (int)l->attrs.size() < l->stopAfter;
}

FILETIME Ft(uint64_t v) {
  FILETIME f;
  f.dwLowDateTime = (DWORD)v;
  f.dwHighDateTime = (DWORD)(v >> 32);
  return f;
}

uint64_t U64(const FILETIME& f) {
  return ((uint64_t)f.dwHighDateTime << 32) | f.dwLowDateTime;
}

TEST(MountedImageFiles, TreeWrittenByUsIsReadByNtfs3gTools) {
  Disk d = mi::MakeDisk("mbr63");
  std::vector<uint8_t> payload = std::vector<uint8_t>(1500000);
  for (size_t i = 0; i < payload.size(); i++) payload[i] = (uint8_t)(i * 31 + (i >> 9));
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    ASSERT_EQ(1, m.CreateDirectoryTree(L"\\Program Files/Vro\\Data"));
    EXPECT_EQ(1, m.CreateDirectoryTree(L"\\Program Files\\Vro"));  // already there
    ASSERT_EQ(1, m.CreatePath(L"\\Program Files\\Vro\\Data\\blob.bin", 0x8000));
    ASSERT_EQ(payload.size(), m.WriteFile(L"\\Program Files\\Vro\\Data\\blob.bin", payload.data(),
                                          0, payload.size()));
    EXPECT_EQ(0, m.CreatePath(L"\\PROGRAM FILES\\vro\\data\\BLOB.BIN", 0x8000));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_EQ(0, m.CreatePath(L"\\bad|name", 0x8000));
    EXPECT_EQ(0, m.CreatePath(L"\\NoSuchDir\\f", 0x8000));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

    // Reads at, across and past the end.
    char buf[16];
    uint64_t last = payload.size() - 4;
    EXPECT_EQ(4u, m.ReadFile(L"\\Program Files\\Vro\\Data\\blob.bin", buf, last, sizeof buf));
    EXPECT_EQ(0, memcmp(buf, &payload[last], 4));
    EXPECT_EQ(0u, m.ReadFile(L"\\Program Files\\Vro\\Data\\blob.bin", buf, payload.size(), 8));
    EXPECT_EQ(0u, m.ReadFile(L"\\missing", buf, 0, 8));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

    ASSERT_EQ(1, m.RenamePath(L"\\Dir\\Sub\\small.txt", L"\\Program Files\\Vro\\small.txt"));
    ASSERT_EQ(1, m.DeletePath(L"\\Dir"));
    EXPECT_EQ(0, m.RenamePath(L"\\Program Files", L"\\Program Files\\Vro\\Loop"));
    EXPECT_EQ(0, m.RenamePath(L"\\big.bin", L"\\::{UEFI}\\big.bin"));
    EXPECT_EQ((DWORD)ERROR_NOT_SAME_DEVICE, GetLastError());
  }
  std::string part = mi::CutPartition(d, d.unixPath);
  std::string out;
  ASSERT_EQ(0, vt::Sh("ntfscat " + vt::Q(part) + " '/Program Files/Vro/Data/blob.bin' > " +
                      vt::Q(d.dir + "/blob.ref")));
  EXPECT_TRUE(
      mi::SameAsHostFile(std::vector<char>(payload.begin(), payload.end()), d.dir + "/blob.ref"));
  ASSERT_EQ(0, vt::Sh("ntfscat " + vt::Q(part) + " '/Program Files/Vro/small.txt'", &out));
  EXPECT_EQ("small file\n", out);
  ASSERT_EQ(0, vt::Sh("ntfsls " + vt::Q(part), &out));
  EXPECT_EQ(std::string::npos, out.find("Dir\n"));
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(part), &out)) << out;
}

TEST(MountedImageFiles, AttributesTimesAndListing) {
  Disk d = mi::MakeDisk("mbr2048");
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
  ASSERT_EQ(1, m.CreatePath(L"\\$Custom", 0x8000));

  Listing root;
  ASSERT_EQ(1, m.EnumDirectory(L"\\", Collect, &root));
  for (const wchar_t* hidden :
       {L"$MFT", L"$MFTMirr", L"$LogFile", L"$Volume", L"$AttrDef", L"$Bitmap", L"$Boot",
        L"$BadClus", L"$Secure", L"$UpCase", L"$Extend", L"."})
    EXPECT_EQ(0u, root.attrs.count(hidden)) << vt::Narrow(hidden);
  EXPECT_EQ(1u, root.attrs.count(L"$Custom"));
  EXPECT_EQ(1u, root.attrs.count(L"big.bin"));
  EXPECT_EQ(2097473u, root.sizes[L"big.bin"]);
  EXPECT_TRUE(root.attrs[L"Dir"] & 0x80000000u);
  EXPECT_TRUE(root.attrs[L"Dir"] & FILE_ATTRIBUTE_DIRECTORY);
  Listing first;
  first.stopAfter = 1;
  ASSERT_EQ(1, m.EnumDirectory(L"\\", Collect, &first));
  EXPECT_EQ(1u, first.attrs.size());
  EXPECT_EQ(0, m.EnumDirectory(L"\\big.bin", Collect, &first));

  // Only read-only, hidden, system, compressed, not-indexed and encrypted
  // are written; a folder stays a folder; the old value comes back.
  DWORD attrs = 0xFFFFFFFF;
  ASSERT_EQ(1, m.SetFileInfo(L"\\Dir", nullptr, nullptr, nullptr, &attrs));
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY, attrs & ~0x2000u);
  DWORD now = 0;
  ASSERT_EQ(1, m.GetFileInfo(L"\\Dir", nullptr, nullptr, nullptr, &now, nullptr));
  EXPECT_EQ((DWORD)(0x6807 | FILE_ATTRIBUTE_DIRECTORY), now);
  attrs = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
  ASSERT_EQ(1, m.SetFileInfo(L"\\Dir", nullptr, nullptr, nullptr, &attrs));
  ASSERT_EQ(1, m.GetFileInfo(L"\\Dir", nullptr, nullptr, nullptr, &now, nullptr));
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY), now);

  FILETIME c = Ft(0x01D0000000000001ull), w = Ft(0x01D5000000000002ull),
           a = Ft(0x01D6000000000003ull);
  ASSERT_EQ(1, m.SetFileInfo(L"\\big.bin", &c, &w, &a, nullptr));
  EXPECT_EQ(0, m.SetFileInfo(L"\\big.bin", nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(1, m.RemountNtfs());  // from the disk, not from memory
  FILETIME c2, w2, a2;
  uint64_t size = 0;
  ASSERT_EQ(1, m.GetFileInfo(L"\\BIG.BIN", &c2, &w2, &a2, nullptr, &size));
  EXPECT_EQ(U64(c), U64(c2));
  EXPECT_EQ(U64(w), U64(w2));
  EXPECT_EQ(U64(a), U64(a2));
  EXPECT_EQ(2097473u, size);
  EXPECT_EQ(0, m.GetFileInfo(L"\\nothing", &c2, nullptr, nullptr, nullptr, nullptr));

  // Paths of the EFI system partition reach nothing on a disk without one.
  EXPECT_EQ(0, m.GetPathType(L"\\::{uefi}\\EFI\\Microsoft\\Boot\\BCD"));
  EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
}

TEST(MountedImageFiles, ReparseLinks) {
  Disk d = mi::MakeDisk("mbr2048");
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    ASSERT_EQ(1, m.CreateLink(L"\\Junction", L"C:\\Store\\Drivers", 0x4000, 0xA0000003));
    ASSERT_EQ(1, m.CreateLink(L"\\Link.sys", L"C:\\Store\\net.sys", 0x8000, 0xA000000C));
    ASSERT_EQ(1, m.CreateLink(L"\\Dir", L"D:\\Elsewhere", 0x4000, 0xA0000003));  // existing
    EXPECT_EQ(0xA0000003u, m.GetReparseTag(L"\\junction"));
    EXPECT_EQ(0xA000000Cu, m.GetReparseTag(L"\\Link.sys"));
    EXPECT_EQ(0u, m.GetReparseTag(L"\\big.bin"));
    wchar_t target[360];
    ASSERT_EQ(1, m.GetLinkTarget(L"\\Junction", target, 360));
    EXPECT_STREQ(L"C:\\Store\\Drivers", target);
    ASSERT_EQ(1, m.GetLinkTarget(L"\\Link.sys", target, 360));
    EXPECT_STREQ(L"C:\\Store\\net.sys", target);
    EXPECT_EQ(0, m.GetLinkTarget(L"\\Link.sys", target, 5));
    EXPECT_EQ(0, m.GetLinkTarget(L"\\big.bin", target, 360));
    EXPECT_EQ(2, m.GetPathType(L"\\Junction"));
  }
  std::string part = mi::CutPartition(d, d.unixPath);
  std::string out;
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(part), &out)) << out;
  // ntfs-3g's own reading of the links: the reparse data it decodes.
  ASSERT_EQ(0, vt::Sh("ntfsinfo -F /Link.sys " + vt::Q(part), &out)) << out;
  EXPECT_NE(std::string::npos, out.find("REPARSE")) << out;
}

// Every write of the file API refuses a metafile, told by its record
// (error 5; the root takes names, times and attributes), and a caller can
// ask first of a whole path, existing or not. ntfsinfo reads records 6 to
// 26 as mkntfs wrote them (a writable mount writes $Volume's flags).
TEST(MountedImageFiles, MetafilesAreNeverWritten) {
  Disk d = mi::MakeDisk("mbr2048");
  std::string part = mi::CutPartition(d, d.unixPath), before, after;
  const std::string records = "for i in $(seq 6 26); do ntfsinfo -i $i " + vt::Q(part) +
                              " 2>/dev/null | grep -v 'Time:'; done";
  ASSERT_EQ(0, vt::Sh(records, &before));
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
    for (const wchar_t* path :
         {L"\\$Extend", L"\\$eXtend\\$quota", L"\\$Extend\\New\\x.sys", L"\\$MFT", L"\\$UpCase\\x"})
      EXPECT_TRUE(m.IsMetafilePath(path)) << vt::Narrow(path);
    for (const wchar_t* path : {L"\\", L"\\Dir", L"\\Dir\\missing\\x.sys", L"\\big.bin"})
      EXPECT_FALSE(m.IsMetafilePath(path)) << vt::Narrow(path);
    const uint8_t byte = 0xFF;
    FILETIME t = Ft(0x01D0000000000001ull);
    DWORD attrs = FILE_ATTRIBUTE_HIDDEN;
    const auto refused = [](int result) {
      return !result && GetLastError() == ERROR_ACCESS_DENIED;
    };
    EXPECT_TRUE(refused((int)m.WriteFile(L"\\$Bitmap", &byte, 0, 1)));
    EXPECT_TRUE(refused((int)m.WriteFile(L"\\$EXTEND\\$ObjId", &byte, 0, 1)));
    EXPECT_TRUE(refused(m.SetFileInfo(L"\\$Extend\\$Quota", nullptr, &t, nullptr, &attrs)));
    EXPECT_TRUE(refused(m.CreateLink(L"\\$Extend\\$Reparse", L"C:\\x", 0x8000, 0xA000000C)));
    EXPECT_TRUE(refused(m.CreatePath(L"\\$Extend\\new.txt", 0x8000)));
    EXPECT_TRUE(refused(m.CreateDirectoryTree(L"\\$Extend\\Sub\\Deeper")));
    EXPECT_TRUE(refused(m.RenamePath(L"\\$Extend\\$Quota", L"\\Quota")));
    EXPECT_TRUE(refused(m.RenamePath(L"\\big.bin", L"\\$Extend\\big.bin")));
    EXPECT_TRUE(refused(m.DeletePath(L"\\$extend\\$REPARSE")));
    EXPECT_TRUE(refused(m.DeletePath(L"\\$Extend")));
    EXPECT_EQ(1, m.SetFileInfo(L"\\", nullptr, &t, nullptr, nullptr));
  }
  part = mi::CutPartition(d, d.unixPath);
  ASSERT_EQ(0, vt::Sh(records, &after));
  EXPECT_EQ(before, after);
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(part), &after)) << after;
}

// A file of the volume made from the given bytes.
void PutFile(CMountedImage& m, const wchar_t* path, const std::vector<uint8_t>& data) {
  ASSERT_EQ(1, m.CreatePath(path, 0x8000));
  if (!data.empty()) {
    ASSERT_EQ(data.size(), m.WriteFile(path, data.data(), 0, data.size()));
  }
}

TEST(MountedImageFiles, WindowsExecutablesAndWindowsFolder) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dir + "/tree/WINNT/System32/Config") +
                      " && printf 'regf' > " + vt::Q(dir + "/tree/WINNT/System32/Config/SYSTEM") +
                      " && printf 'int main(){return 0;}' > " + vt::Q(dir + "/m.c") +
                      " && x86_64-w64-mingw32-gcc -o " + vt::Q(dir + "/tree/x64.exe") + " " +
                      vt::Q(dir + "/m.c") + " && i686-w64-mingw32-gcc -o " +
                      vt::Q(dir + "/tree/x86.exe") + " " + vt::Q(dir + "/m.c")));
  std::string disk = dir + "/disk.img";
  ASSERT_TRUE(
      vt::Fixture("mk-disk.sh " + vt::Q(disk) + " --size 24 --tree " + vt::Q(dir + "/tree")));
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(vt::ToWin(disk).c_str(), nullptr, 0, 2));
  EXPECT_EQ(1, m.IsWindowsExecutable(L"\\x64.exe"));
  EXPECT_EQ(1, m.IsWindowsExecutable(L"\\x86.exe"));

  std::vector<uint8_t> pe(512, 0);
  pe[0] = 'M';
  pe[1] = 'Z';
  pe[0x3C] = 0x80;
  pe[0x80] = 'P';
  pe[0x81] = 'E';
  pe[0x84] = 0xC4;  // ARM
  pe[0x85] = 0x01;
  PutFile(m, L"\\arm.exe", pe);
  std::vector<uint8_t> farHeader = pe;
  farHeader[0x3C] = 0xFE;  // header past the end of the file
  farHeader[0x3D] = 0xFF;
  PutFile(m, L"\\far.exe", farHeader);
  PutFile(m, L"\\empty.exe", {});
  PutFile(m, L"\\mz.txt", {'M', 'Z'});
  EXPECT_EQ(0, m.IsWindowsExecutable(L"\\arm.exe"));
  EXPECT_EQ(0, m.IsWindowsExecutable(L"\\far.exe"));
  EXPECT_EQ(0, m.IsWindowsExecutable(L"\\empty.exe"));
  EXPECT_EQ(0, m.IsWindowsExecutable(L"\\mz.txt"));
  EXPECT_EQ(0, m.IsWindowsExecutable(L"\\missing.exe"));

  wchar_t windows[360];
  ASSERT_EQ(1, m.FindWindowsDirectory(windows, 360));
  EXPECT_STREQ(L"\\WINNT", windows);
  EXPECT_EQ(1, m.FindWindowsDirectory(nullptr, 0));
  ASSERT_EQ(1, m.CreateDirectoryTree(L"\\Windows\\System32\\Config"));
  PutFile(m, L"\\Windows\\System32\\Config\\System", {'r', 'e', 'g', 'f'});
  ASSERT_EQ(1, m.FindWindowsDirectory(windows, 360));
  EXPECT_STREQ(L"\\Windows", windows);
  ASSERT_EQ(1, m.DeletePath(L"\\Windows"));
  ASSERT_EQ(1, m.DeletePath(L"\\WINNT"));
  EXPECT_EQ(0, m.FindWindowsDirectory(windows, 360));
}

TEST(MountedImageFiles, VolumeInformation) {
  for (const char* layout : {"mbr2048", "gpt"}) {
    SCOPED_TRACE(layout);
    Disk d = mi::MakeDisk(layout);
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
    VolumeInfoRecord r;
    ASSERT_EQ(1, m.GetVolumeInfo(0, &r));
    EXPECT_EQ(0u, r.fileSystem);
    EXPECT_EQ(3u, r.majorVersion);
    EXPECT_EQ(1u, r.minorVersion);
    EXPECT_EQ(512u, r.sectorSize);
    EXPECT_EQ(4096u, r.clusterSize);
    EXPECT_EQ(24u * 1024 * 1024 / 4096, r.totalClusters + 1);  // less the backup boot sector
    EXPECT_LT(r.freeClusters, r.totalClusters);
    EXPECT_GT(r.freeClusters, 0u);
    EXPECT_EQ(0u, r.badClusters);
    EXPECT_EQ(std::string(layout) == "gpt" ? 1u : 0u, r.gpt);
    EXPECT_EQ(std::string(layout) == "gpt" ? 1 : 0, HasProtectiveMbr(&m));
    EXPECT_EQ(0, m.GetVolumeInfo(1, &r));  // no EFI system partition here
    uint64_t total = 0, freeBytes = 0;
    ASSERT_EQ(1, m.GetVolumeSpace(&total, &freeBytes));
    EXPECT_EQ(24u * 1024 * 1024 - 512, total);
    EXPECT_EQ(total, m.GetVolumeSize());
    EXPECT_LT(freeBytes, total);
    EXPECT_GT(freeBytes, 16u * 1024 * 1024);
  }
  CMountedImage closed;
  VolumeInfoRecord r;
  EXPECT_EQ(0, closed.GetVolumeInfo(0, &r));
  EXPECT_EQ(0, closed.GetVolumeSpace(nullptr, nullptr));
  EXPECT_EQ(0, closed.FindWindowsDirectory(nullptr, 0));
}

}  // namespace
