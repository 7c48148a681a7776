// Drive C: of an offline Windows pointed at its copied volume: the SYSTEM
// hive's MountedDevices values, read back with hivex from the volume.
#include <windows.h>

#include "FormatTestUtil.h"
#include "disktools/bootrepair/MountedDevices.h"
#include "image/mount/MountedImage.h"
#include "registry/hive/RegTypes.h"

using namespace fmt;

namespace {

const wchar_t kKey[] = L"HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices";
const uint64_t kStart = 2048;
const uint8_t kOld[12] = {1, 2, 3, 4, 0, 0, 0x10, 0, 0, 0, 0, 0};
const uint8_t kOther[12] = {9, 9, 9, 9, 0, 0, 0x20, 0, 0, 0, 0, 0};

struct Disk {
  std::string dir;
  std::wstring path;
};

// A Windows tree on an MBR or GPT disk whose MountedDevices holds C: (when
// withDrive), the volume value with C:'s data and one with other data.
Disk MakeDisk(const std::string& layout, bool withDrive, int partition) {
  Disk d;
  d.dir = vt::ScratchDirUnix();
  EXPECT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(d.dir + "/tree") + " --no-kernel"));
  EXPECT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(d.dir + "/d.img") + " --size 40 --layout " +
                          layout + " --tree " + vt::Q(d.dir + "/tree")));
  d.path = vt::ToWin(d.dir + "/d.img");
  CMountedImage image;
  EXPECT_GE(image.OpenImage(d.path.c_str(), nullptr, partition, 2), 0);
  EXPECT_EQ(1, image.LoadHives(1));
  EXPECT_EQ(REG_STATUS_OK, image.RegCreateKey(kKey));
  if (withDrive) {
    EXPECT_EQ(REG_STATUS_OK,
              image.RegSetValue(kKey, L"\\DosDevices\\C:", kOld, 12, HIVE_REG_BINARY));
  }
  EXPECT_EQ(REG_STATUS_OK,
            image.RegSetValue(kKey, L"\\??\\Volume{aaa}", kOld, 12, HIVE_REG_BINARY));
  EXPECT_EQ(REG_STATUS_OK,
            image.RegSetValue(kKey, L"\\??\\Volume{bbb}", kOther, 12, HIVE_REG_BINARY));
  EXPECT_TRUE(image.Close());
  return d;
}

std::string Hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) s += std::string(1, digits[p[i] >> 4]) + digits[p[i] & 15];
  return s;
}

// The "V \MountedDevices|name|type|hex" lines of the volume's SYSTEM hive.
std::string MountedDevices(const Disk& d) {
  std::string out;
  EXPECT_EQ(0,
            OnPartition(d.path, kStart * 512, 40ULL << 20,
                        "ntfscat $DEV Windows/System32/config/SYSTEM > " + vt::Q(d.dir + "/SYSTEM"),
                        &out))
      << out;
  EXPECT_EQ(0,
            vt::Sh("/usr/bin/python3 " + vt::Q(vt::SourceDirUnix() + "/tests/fixtures/mk-hive.py") +
                       " --dump " + vt::Q(d.dir + "/SYSTEM") + " | grep '^V \\\\MountedDevices|'",
                   &out));
  return out;
}

void Repair(const Disk& d, int partition, int gpt, const uint8_t* guid) {
  CMountedImage image;
  ASSERT_GE(image.OpenImage(d.path.c_str(), nullptr, partition, 2), 0);
  EXPECT_EQ(0, SetMountedDevicesSystemDrive(&image, gpt, guid));
  EXPECT_TRUE(image.Close());
}

TEST(MountedDevices, MbrValueNamesThePartitionMounted) {
  Disk d = MakeDisk("mbr2048", true, 0);
  // The NTFS partition moves to the second entry behind another one.
  std::vector<uint8_t> mbr = ReadBytes(d.path, 0, 512);
  memcpy(&mbr[462], &mbr[446], 16);
  const uint8_t fat[16] = {0, 0, 0, 0, 0x0C, 0, 0, 0, 63, 0, 0, 0, 100, 0, 0, 0};
  memcpy(&mbr[446], fat, 16);
  WriteBytes(d.path, 0, mbr);
  Repair(d, 1, 0, nullptr);
  uint8_t expected[12];
  memcpy(expected, &mbr[440], 4);
  uint64_t offset = kStart * 512;
  memcpy(expected + 4, &offset, 8);
  std::string value = Hex(expected, 12);
  EXPECT_EQ("V \\MountedDevices|\\??\\Volume{aaa}|3|" + value + "\n" +
                "V \\MountedDevices|\\??\\Volume{bbb}|3|" + Hex(kOther, 12) + "\n" +
                "V \\MountedDevices|\\DosDevices\\C:|3|" + value + "\n",
            MountedDevices(d));
}

TEST(MountedDevices, GptValueNamesThePartitionGuid) {
  Disk d = MakeDisk("gpt", true, 0);
  const uint8_t guid[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                            0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01};
  Repair(d, 0, 1, guid);
  EXPECT_EQ("V \\MountedDevices|\\??\\Volume{bbb}|3|" + Hex(kOther, 12) + "\n" +
                "V \\MountedDevices|\\DosDevices\\C:|3|" + Hex((const uint8_t*)"DMIO:ID:", 8) +
                Hex(guid, 16) + "\n",
            MountedDevices(d));
}

TEST(MountedDevices, WithoutADriveValueTheVolumeValuesStay) {
  Disk d = MakeDisk("gpt", false, 0);
  const uint8_t guid[16] = {7};
  Repair(d, 0, 1, guid);
  std::string out = MountedDevices(d);
  EXPECT_NE(std::string::npos, out.find("|\\??\\Volume{aaa}|3|" + Hex(kOld, 12))) << out;
  EXPECT_NE(std::string::npos,
            out.find("|\\DosDevices\\C:|3|" + Hex((const uint8_t*)"DMIO:ID:", 8)))
      << out;
}

}  // namespace
