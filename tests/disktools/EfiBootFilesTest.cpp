// A GPT disk's EFI system partition built from scratch: boot files from the
// source image's Windows, a new store from the base store. fsck.fat checks
// the partition, mtools fetch the files, hivexregedit and the hive dumper
// read the store; a retarget of the new store works on it. On a disk of
// 4096-byte sectors the partition gets FAT32 of those, or a line where it
// cannot hold one.
#include <windows.h>

#include "FormatTestUtil.h"
#include "common/ConsoleOutput.h"
#include "disktools/bootrepair/EfiBootFiles.h"
#include "image/mount/MountedImage.h"

using namespace fmt;

namespace {

#define BOOTMGR "{9dea862c-5cdd-4e70-acc1-f32b344d4795}"
#define MEMTEST "{b2721d73-1db4-4c62-bf78-c548a880142d}"

// The dumper's form of a REG_SZ: UTF-16LE with its terminator, in hex.
std::string Text(const std::string& text) {
  std::string utf16;
  for (char c : text) utf16 += std::string(1, c) + '\0';
  return Hex((const uint8_t*)utf16.data(), utf16.size()) + "0000";
}

std::string Device(const uint8_t* partition, const uint8_t* disk) {
  uint8_t blob[88] = {};
  blob[16] = 6;
  blob[24] = 72;
  memcpy(blob + 32, partition, 16);
  memcpy(blob + 56, disk, 16);
  return Hex(blob, 88);
}

TEST(EfiBootFiles, BaseStoreIsASoundHive) {
  std::vector<uint8_t> store;
  ASSERT_TRUE(BuildBaseBcdStore(store));
  std::string dir = vt::ScratchDirUnix();
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(dir + "/base.bcd"), store));
  std::string out;
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(dir) +
                          " && hivexsh base.bcd 2>&1 <<'EOF'\n"
                          "cd \\Objects\\" BOOTMGR "\\Elements\\12000004\nlsval\n"
                          "cd \\Objects\\" BOOTMGR "\\Elements\\23000003\nlsval\n"
                          "cd \\Description\nlsval\nEOF",
                      &out))
      << out;
  EXPECT_NE(std::string::npos, out.find("\"Element\"=\"Windows Boot Manager\"")) << out;
  EXPECT_NE(std::string::npos, out.find("\"KeyName\"=\"BCD00000000\"")) << out;
  EXPECT_NE(std::string::npos, out.find("\"TreatAsSystem\"=dword:00000001")) << out;
  ASSERT_EQ(0,
            vt::Sh("cd " + vt::Q(dir) + " && hivexregedit --export base.bcd '\\' >/dev/null", &out))
      << out;
}

struct BuildCase {
  uint32_t version;
  const char* firmwareLoader;
  const char* loaderName;
};

class EfiBootBuild : public ::testing::TestWithParam<BuildCase> {};

TEST_P(EfiBootBuild, BootFilesAndStoreOfANewPartition) {
  const BuildCase& c = GetParam();
  std::string dir = vt::ScratchDirUnix();
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(dir) +
                      " && mkdir -p src/Windows/Boot/EFI src/Windows/Boot/Fonts"
                      " src/Windows/System32/Config"
                      " && printf MGR > src/Windows/Boot/EFI/bootmgfw.efi"
                      " && printf MEM > src/Windows/Boot/EFI/memtest.efi"
                      " && printf FONT > src/Windows/Boot/Fonts/wgl4_boot.ttf"
                      " && printf STAT > src/Windows/bootstat.dat"
                      " && printf KD > src/Windows/System32/kd_02_10df.dll"
                      " && printf KD > src/Windows/System32/kd_07_1415.dll"
                      " && printf NO > src/Windows/System32/kdcom.dll"
                      " && printf STUB > src/Windows/System32/kdstub.dll"
                      " && printf regf > src/Windows/System32/Config/SYSTEM"));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/src.img") + " --size 16 --tree " +
                          vt::Q(dir + "/src")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/d.img") +
                          " --size 8 --layout gpt-esp --esp-size 34"));
  EfiBootTarget t;
  for (int i = 0; i < 16; i++) {
    t.diskGuid[i] = uint8_t(0xD0 + i);
    t.dataPartitionGuid[i] = uint8_t(0xA0 + i);
    t.espGuid[i] = uint8_t(0xE0 + i);
  }
  t.espFirstLba = 2048;
  t.espSectors = 34 * 2048;
  {
    CMountedImage source, image;
    ASSERT_GE(source.OpenImage(vt::ToWin(dir + "/src.img").c_str(), nullptr, 0, 1), 0);
    ASSERT_GE(image.OpenImage(vt::ToWin(dir + "/d.img").c_str(), nullptr, 0, 2), 0);
    EXPECT_EQ(1, UpdateEfiBootConfiguration(&image, EFI_BOOT_BUILD, &source, c.version, t));
    // The new store takes a retarget as any store written by Windows.
    for (int i = 0; i < 16; i++) t.dataPartitionGuid[i] = uint8_t(0x50 + i);
    EXPECT_EQ(1, UpdateEfiBootConfiguration(&image, EFI_BOOT_RETARGET, nullptr, c.version, t));
    EXPECT_TRUE(image.Close());
    source.Close();
  }
  std::string out;
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(dir) +
                          " && dd if=d.img of=e.img bs=1M skip=1 count=34 status=none"
                          " && fsck.fat -n e.img >/dev/null"
                          " && mtype -i e.img ::" +
                          c.firmwareLoader +
                          " && echo"
                          " && mdir -b -i e.img ::/EFI/Microsoft/Boot | sort"
                          " && mtype -i e.img ::/EFI/Microsoft/Boot/Fonts/wgl4_boot.ttf && echo"
                          " && mcopy -o -i e.img ::/EFI/Microsoft/Boot/BCD out.bcd"
                          " && /usr/bin/python3 " +
                          vt::Q(vt::SourceDirUnix() + "/tests/fixtures/mk-hive.py") +
                          " --dump out.bcd | grep '^V '",
                      &out))
      << out;
  auto has = [&](const std::string& text) {
    EXPECT_NE(std::string::npos, out.find(text)) << text << "\n" << out;
  };
  has("MGR\n");
  has("::/EFI/Microsoft/Boot/bootmgfw.efi");
  has("::/EFI/Microsoft/Boot/memtest.efi");
  has("::/EFI/Microsoft/Boot/bootstat.dat");
  has("::/EFI/Microsoft/Boot/kd_02_10df.dll");
  has("::/EFI/Microsoft/Boot/kd_07_1415.dll");
  has("::/EFI/Microsoft/Boot/kdstub.dll");
  EXPECT_EQ(std::string::npos, out.find("kdcom.dll")) << out;
  has("FONT\n");
  std::string espDevice = Device(t.espGuid, t.diskGuid);
  std::string dataDevice = Device(t.dataPartitionGuid, t.diskGuid);
  has("V \\Objects\\" BOOTMGR "\\Elements\\11000001|Element|3|" + espDevice);
  has("V \\Objects\\" MEMTEST "\\Elements\\11000001|Element|3|" + espDevice);
  has("V \\Objects\\" MEMTEST "\\Elements\\12000004|Element|1|" +
      Text("Windows Memory Diagnostic"));
  has("V \\Objects\\" BOOTMGR "\\Elements\\12000002|Element|1|" +
      Text("\\EFI\\Microsoft\\Boot\\bootmgfw.efi"));
  has("V \\Objects\\{a5a30fa2-3d06-4e9f-b5f4-a01df9d1fcba}\\Description|Type|4|01001010");
  has("|Element|1|" + Text(c.loaderName) + "\n");
  has("|Element|1|" + Text("\\Windows\\system32\\winload.efi"));
  has("|Element|1|" + Text("\\Windows\\system32\\winresume.efi"));
  // The loader and the resume object, retargeted, name the new data partition.
  size_t loaderDevices = 0;
  for (size_t at = out.find("|Element|3|" + dataDevice); at != std::string::npos;
       at = out.find("|Element|3|" + dataDevice, at + 1))
    loaderDevices++;
  EXPECT_EQ(4u, loaderDevices) << out;
  std::vector<uint8_t> variable(8 + 8 + 16);
  memcpy(&variable[0], &t.espFirstLba, 8);
  memcpy(&variable[8], &t.espSectors, 8);
  memcpy(&variable[16], t.espGuid, 16);
  has(Hex(variable.data(), variable.size()) + "0202040446005c00");
}

// A GPT disk of 4096-byte sectors (its table counts them): an empty EFI
// system partition of 260 MiB gets FAT32 of 4096-byte sectors and clusters
// of one sector (fsck.fat passes, mtools read the store); one of 100 MiB
// cannot hold FAT32 of those (too few clusters): 0, a line naming the
// partition in its sectors, and nothing written.
TEST(EfiBootFiles, DiskOfLargerSectors) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/vnt") +
                          " --layout none --fs ntfs --size 16 --sector 4096"));
  EfiBootTarget t;
  for (int i = 0; i < 16; i++) t.diskGuid[i] = t.dataPartitionGuid[i] = t.espGuid[i] = uint8_t(i);
  t.espFirstLba = 256;
  for (int espMiB : {100, 260}) {
    SCOPED_TRACE(espMiB);
    const long espSectors = espMiB * 256L, data = 256 + espSectors;
    const std::string disk = dir + "/d.img", esp = dir + "/esp.part";
    ASSERT_EQ(0,
              vt::Sh("rm -f " + vt::Q(disk) + " && truncate -s " +
                     std::to_string((data + 4096 + 256) * 4096) + " " + vt::Q(disk) +
                     " && l=$(losetup -f --show --sector-size 4096 " + vt::Q(disk) +
                     ") && { sgdisk -o -a 1 -n 1:256:" + std::to_string(data - 1) +
                     " -t 1:EF00 -n 2:" + std::to_string(data) + ":" + std::to_string(data + 4095) +
                     " -t 2:0700 $l >/dev/null; r=$?; "
                     "losetup -d $l; [ $r = 0 ]; } && dd if=" +
                     vt::Q(dir + "/vnt") + " of=" + vt::Q(disk) +
                     " bs=4096 seek=" + std::to_string(data) + " conv=notrunc,sparse status=none"));
    t.espSectors = (uint64_t)espSectors;
    std::wstring lines;
    int built;
    {
      CMountedImage image;
      ASSERT_GE(image.OpenImage(vt::ToWin(disk).c_str(), nullptr, 0, 2), 0);
      FrontEndLines kept;
      built = UpdateEfiBootConfiguration(&image, EFI_BOOT_BUILD, nullptr, 0x00400A00, t);
      lines = kept.Text();
      EXPECT_TRUE(image.Close());
    }
    std::string out;
    ASSERT_EQ(0, vt::Sh("dd if=" + vt::Q(disk) + " of=" + vt::Q(esp) + " bs=4096 skip=256 count=" +
                        std::to_string(espSectors) + " conv=sparse status=none"));
    if (espMiB == 100) {
      EXPECT_EQ(0, built);
      EXPECT_NE(std::wstring::npos,
                lines.find(L"The partition (25599 sectors of 4096 bytes from sector 256) cannot "
                           L"hold a FAT32 volume of 4096-byte sectors: nothing formatted"))
          << vt::Narrow(lines);
      EXPECT_EQ(0, vt::Sh("cmp -n " + std::to_string(espSectors * 4096) + " " + vt::Q(esp) +
                          " /dev/zero"));
      continue;
    }
    EXPECT_EQ(1, built) << vt::Narrow(lines);
    EXPECT_EQ(
        0, vt::Sh("fsck.fat -n " + vt::Q(esp) +
                      " 2>&1 && python3 -c \"import struct, sys; "
                      "b = open(sys.argv[1], 'rb').read(512); print(struct.unpack_from('<HB', b, "
                      "11))\" " +
                      vt::Q(esp) + " && MTOOLS_SKIP_CHECK=1 mcopy -o -i " + vt::Q(esp) +
                      " ::/EFI/Microsoft/Boot/BCD " + vt::Q(dir + "/out.bcd") +
                      " && /usr/bin/python3 " +
                      vt::Q(vt::SourceDirUnix() + "/tests/fixtures/mk-hive.py") + " --dump " +
                      vt::Q(dir + "/out.bcd") + " | grep -c 12000002",
                  &out))
        << out;
    EXPECT_NE(std::string::npos, out.find("(4096, 1)")) << out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, EfiBootBuild,
    ::testing::Values(BuildCase{0x00400602, "/EFI/Boot/bootx64.efi", "Windows 8"},
                      BuildCase{0x00560501, "/EFI/Boot/bootia32.efi", "Windows XP"}));

}  // namespace
