// "\::{UEFI}" paths on a GPT disk with an EFI system partition beside the
// NTFS volume: they reach the FAT32 partition, every other path the NTFS
// volume, and nothing crosses between the two.
#include <gtest/gtest.h>

#include "../FatVolumeTestUtil.h"
#include "../WriteFaults.h"
#include "image/stack/MountRw.h"

namespace {

struct EspDisk {
  fv::Disk d;
  std::vector<uint8_t> loader;
  long espSectors = 40 * 2048;
};

EspDisk MakeEspDisk() {
  EspDisk e;
  e.d.dir = vt::ScratchDirUnix();
  e.d.tree = fv::MakeTree(e.d.dir);
  std::string esp = e.d.dir + "/esp";
  EXPECT_EQ(
      0, vt::Sh("mkdir -p " + vt::Q(esp + "/EFI/Boot") + " " + vt::Q(esp + "/EFI/Microsoft/Boot") +
                " && head -c 70000 /dev/urandom > " + vt::Q(esp + "/EFI/Boot/bootx64.efi") +
                " && printf 'regf' > " + vt::Q(esp + "/EFI/Microsoft/Boot/BCD")));
  EXPECT_TRUE(vt::ReadAll(vt::ToWin(esp + "/EFI/Boot/bootx64.efi"), e.loader));
  e.d.unixPath = e.d.dir + "/disk.img";
  e.d.path = vt::ToWin(e.d.unixPath);
  std::string out;
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(e.d.unixPath) +
                              " --layout gpt-esp --esp-size 40 --size 24 --tree " +
                              vt::Q(e.d.tree) + " --esp-tree " + vt::Q(esp),
                          &out));
  e.d.start = atol(out.c_str());
  e.d.sectors = 24 * 2048;
  return e;
}

int CountEntries(const wchar_t* name, unsigned int, DWORD, DWORD, const FILETIME*, const FILETIME*,
                 const FILETIME*, DWORD, void* user) {
  if (wcscmp(name, L"..")) static_cast<std::vector<std::wstring>*>(user)->push_back(name);
  return 1;
}

TEST(MountedImageEsp, PrefixReachesTheEfiPartitionBesideNtfs) {
  EspDisk e = MakeEspDisk();
  const std::vector<uint8_t> added(5000, 'e');
  {
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(e.d.path.c_str(), nullptr, 0, 2));
    ASSERT_TRUE(m.NtfsVolume() != nullptr);
    ASSERT_TRUE(m.FatVolume() == nullptr);

    EXPECT_EQ(2, m.GetPathType(L"\\::{UEFI}\\EFI\\Boot"));
    EXPECT_EQ(1, m.GetPathType(L"\\::{uefi}\\efi\\boot\\BOOTX64.EFI"));
    EXPECT_EQ(2, m.GetPathType(L"\\::{UEFI}"));
    EXPECT_EQ(0, m.GetPathType(L"\\EFI\\Boot"));  // not on the NTFS volume
    EXPECT_EQ(1, m.GetPathType(L"\\big.bin"));
    EXPECT_EQ(0, m.GetPathType(L"\\::{UEFI}\\big.bin"));
    std::vector<uint8_t> data(e.loader.size() + 10);
    EXPECT_EQ(e.loader.size(),
              m.ReadFile(L"\\::{UEFI}\\EFI\\Boot\\bootx64.efi", data.data(), 0, data.size()));
    data.resize(e.loader.size());
    EXPECT_TRUE(data == e.loader);
    std::vector<std::wstring> names;
    ASSERT_EQ(1, m.EnumDirectory(L"\\::{UEFI}\\EFI", CountEntries, &names));
    EXPECT_EQ(2u, names.size());

    // Writes on the partition; renames stay on their side.
    ASSERT_EQ(1, m.CreateDirectoryTree(L"\\::{UEFI}\\EFI\\Vro\\Tools"));
    ASSERT_EQ(1, m.CreatePath(L"\\::{UEFI}\\EFI\\Vro\\Tools\\new.efi", 0x8000));
    ASSERT_EQ(added.size(),
              m.WriteFile(L"\\::{UEFI}\\EFI\\Vro\\Tools\\new.efi", added.data(), 0, added.size()))
        << GetLastError();
    ASSERT_EQ(1, m.RenamePath(L"\\::{UEFI}\\EFI\\Vro\\Tools\\new.efi",
                              L"\\::{UEFI}\\EFI\\Vro\\moved.efi"));
    SetLastError(0);
    EXPECT_EQ(0, m.RenamePath(L"\\big.bin", L"\\::{UEFI}\\big.bin"));
    EXPECT_EQ((DWORD)ERROR_NOT_SAME_DEVICE, GetLastError());
    EXPECT_EQ(0, m.RenamePath(L"\\::{UEFI}\\EFI\\Vro\\moved.efi", L"\\moved.efi"));
    EXPECT_EQ((DWORD)ERROR_NOT_SAME_DEVICE, GetLastError());
    EXPECT_EQ(1, m.GetPathType(L"\\big.bin"));
    EXPECT_EQ(1, m.GetPathType(L"\\::{UEFI}\\EFI\\Vro\\moved.efi"));
    ASSERT_EQ(1, m.DeletePath(L"\\::{UEFI}\\EFI\\Vro\\Tools"));
    EXPECT_EQ(0, m.DeletePath(L"\\::{UEFI}"));  // the partition's root stays

    // The volume records: NTFS for the main volume, FAT32 for the EFI
    // partition, both on a GPT disk.
    VolumeInfoRecord main = {}, esp = {};
    ASSERT_EQ(1, m.GetVolumeInfo(0, &main));
    ASSERT_EQ(1, m.GetVolumeInfo(1, &esp));
    EXPECT_EQ(0u, main.fileSystem);
    EXPECT_EQ(1u, main.gpt);
    EXPECT_EQ(3u, esp.fileSystem);
    EXPECT_EQ(1u, esp.gpt);
    EXPECT_EQ(512u, esp.sectorSize);
    EXPECT_GT(esp.totalClusters, 65525u);
    EXPECT_LT(esp.freeClusters, esp.totalClusters);

    // NTFS still works after all of that.
    ASSERT_EQ(1, m.CreatePath(L"\\after.txt", 0x8000));
    ASSERT_EQ(3u, m.WriteFile(L"\\after.txt", "abc", 0, 3));
  }
  {
    // Read-only: the partition can be read but not changed.
    CMountedImage m;
    ASSERT_EQ(3, m.OpenImage(e.d.path.c_str(), nullptr, 0, 0));
    std::vector<uint8_t> data(added.size());
    EXPECT_EQ(added.size(),
              m.ReadFile(L"\\::{UEFI}\\EFI\\Vro\\moved.efi", data.data(), 0, data.size()));
    EXPECT_TRUE(data == added);
    SetLastError(0);
    EXPECT_EQ(0, m.CreatePath(L"\\::{UEFI}\\EFI\\ro.efi", 0x8000));
    EXPECT_EQ((DWORD)ERROR_WRITE_PROTECT, GetLastError());
  }
  std::string esp = fv::CutPartition(e.d, 2048, e.espSectors, "esp.img");
  EXPECT_EQ("", fv::FsckProblems(esp, false));
  std::string ref = e.d.dir + "/added.ref";
  vt::WriteAll(vt::ToWin(ref), added.data(), added.size());
  EXPECT_EQ(0, vt::Sh(fv::Mt() + "mtype -i " + vt::Q(esp) + " ::/EFI/Vro/moved.efi | cmp - " +
                      vt::Q(ref)));
  std::string out;
  EXPECT_NE(0, vt::Sh(fv::Mt() + "mdir -i " + vt::Q(esp) + " ::/EFI/Vro/Tools", &out));
  std::string ntfs = fv::CutPartition(e.d, e.d.start, e.d.sectors, "ntfs.img");
  ASSERT_EQ(0, vt::Sh("ntfscat " + vt::Q(ntfs) + " /after.txt", &out));
  EXPECT_EQ("abc", out);
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(ntfs), &out)) << out;
}

TEST(MountedImageEsp, PrefixIsAPlainNameOnFatImagesAndMissingWithoutAPartition) {
  // On a FAT image the prefix has no meaning: it is looked up as it stands.
  fv::Disk fat = fv::ToolDisk("fat32");
  CMountedImage m;
  ASSERT_EQ(3, m.OpenImage(fat.path.c_str(), nullptr, 0, 2));
  ASSERT_TRUE(m.FatVolume() != nullptr);
  SetLastError(0);
  EXPECT_EQ(0, m.GetPathType(L"\\::{UEFI}\\big.bin"));
  EXPECT_EQ(1, m.GetPathType(L"\\big.bin"));
  VolumeInfoRecord r = {};
  ASSERT_EQ(1, m.GetVolumeInfo(0, &r));
  EXPECT_EQ(3u, r.fileSystem);
  EXPECT_EQ(0u, r.gpt);

  // An NTFS disk without an EFI partition: the path is not found.
  fv::Disk ntfs = fv::ToolDisk("ntfs", "mbr2048", fat.dir + "/ntfs");
  CMountedImage n;
  ASSERT_EQ(3, n.OpenImage(ntfs.path.c_str(), nullptr, 0, 2));
  SetLastError(0);
  EXPECT_EQ(0, n.CreatePath(L"\\::{UEFI}\\x.efi", 0x8000));
  EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_EQ(0, n.GetVolumeInfo(1, &r));
  EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
}

// The boot sector put back from its backup by the first write goes with
// the command, as every write does: a command cut off at any write (the
// write failing, the process stopped with its memory lost, a flush
// failing) leaves the image as it was before it once opened again (its
// journal rolled back), or holds all of it: the boot sector (exFAT: the
// main boot region) the backup's, the new file there, fsck clean.
TEST(MountedImageEsp, ABootSectorPutBackFromItsBackupGoesWithTheCommand) {
  for (const char* fs : {"fat32", "exfat"}) {
    SCOPED_TRACE(fs);
    const bool exfat = std::string(fs) == "exfat";
    fv::Disk d;
    d.dir = vt::ScratchDirUnix();
    d.unixPath = d.dir + "/disk.img";
    d.path = vt::ToWin(d.unixPath);
    const std::string saved = d.dir + "/saved.img";
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(d.dir + "/esp/EFI") + " && printf loader > " +
                        vt::Q(d.dir + "/esp/EFI/boot.efi")));
    ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.unixPath) +
                            " --layout gpt-esp --esp-size 40 --size 8 --esp-fs " + fs +
                            " --esp-tree " + vt::Q(d.dir + "/esp")));
    ASSERT_EQ(0, vt::Sh("dd if=/dev/zero of=" + vt::Q(d.unixPath) +
                        " bs=512 seek=2048 count=1 conv=notrunc status=none && cp " +
                        vt::Q(d.unixPath) + " " + vt::Q(saved)));
    const std::string before = vt::Sha256(d.path);
    auto run = [&](it::WriteFaults::Mode mode, int at, int* writes, int* flushes) {
      CMountedImage m;
      ASSERT_LE(0, m.OpenImage(d.path.c_str(), nullptr, 0, 2));
      it::WriteFaults faults(mode, at);
      bool ok = m.CreatePath(L"\\::{UEFI}\\new.txt", 0x8000) &&
                m.WriteFile(L"\\::{UEFI}\\new.txt", "new", 0, 3) == 3;
      m.Close(ok);
      *writes = faults.Count();
      *flushes = faults.Flushes();
    };
    // After: the volume the backup opened, whole, with the new file.
    auto after = [&] {
      std::string part = fv::CutPartition(d, 2048, 40 * 2048, "esp.part"), out;
      EXPECT_EQ("", fv::FsckProblems(part, exfat));
      const int region = exfat ? 12 : 1, backup = exfat ? 12 : 6;
      EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(part) + " bs=512 skip=" + std::to_string(backup) +
                          " count=" + std::to_string(region) + " status=none | cmp -n " +
                          std::to_string(region * 512) + " - " + vt::Q(part)));
      CMountedImage m;
      ASSERT_LE(0, m.OpenImage(d.path.c_str(), nullptr, 0, 0));
      char data[8] = {};
      EXPECT_EQ(3u, m.ReadFile(L"\\::{UEFI}\\new.txt", data, 0, sizeof data));
      EXPECT_EQ(6u, m.ReadFile(L"\\::{UEFI}\\EFI\\boot.efi", data, 0, sizeof data));
    };
    int writes = 0, flushes = 0;
    run(it::WriteFaults::COUNT, 0, &writes, &flushes);
    ASSERT_LT(2, writes);
    after();
    int undone = 0;
    for (int mode = it::WriteFaults::FAIL; mode <= it::WriteFaults::FAIL_FLUSH; mode++) {
      const int last = mode == it::WriteFaults::FAIL_FLUSH ? flushes : writes;
      for (int n = 1; n <= last; n++) {
        SCOPED_TRACE("mode " + std::to_string(mode) + ", at " + std::to_string(n));
        ASSERT_EQ(0, vt::Sh("cp " + vt::Q(saved) + " " + vt::Q(d.unixPath)));
        int w = 0, f = 0;
        run((it::WriteFaults::Mode)mode, n, &w, &f);
        {
          // The next open rolls a cut-off command back.
          _VROH_MOUNT_RW disk;
          EXPECT_LT(0, disk.OpenChain(d.path.c_str(), L"", 0));
        }
        if (vt::Sha256(d.path) == before) {
          undone++;
          continue;
        }
        after();
        if (::testing::Test::HasFailure()) return;
      }
    }
    EXPECT_LT(writes, undone);
  }
}

}  // namespace
