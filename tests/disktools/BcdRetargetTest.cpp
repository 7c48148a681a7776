// The system volume's boot store pointed at the disk of an MBR image: the
// device elements of the chain from the boot manager read back with hivex.
#include <windows.h>

#include "FormatTestUtil.h"
#include "disktools/bootrepair/BcdRetarget.h"
#include "image/mount/MountedImage.h"
#include "registry/hive/RegTypes.h"

using namespace fmt;

namespace {

const uint64_t kStart = 2048;
#define OBJ L"HKEY_LOCAL_MACHINE\\BCD00000000\\Objects\\"
#define BOOTMGR L"{9dea862c-5cdd-4e70-acc1-f32b344d4795}"
#define MEMTEST L"{b2721d73-1db4-4c62-bf78-c548a880142d}"
#define LOADER L"{11111111-2222-3333-4444-555555555555}"
#define RESUME L"{66666666-2222-3333-4444-555555555555}"
#define SETTINGS L"{77777777-2222-3333-4444-555555555555}"
#define NAMED L"{88888888-2222-3333-4444-555555555555}"

std::vector<uint8_t> Device(uint32_t length, uint32_t style) {
  std::vector<uint8_t> v(length, 0);
  v[16] = 6;
  v[24] = 72;
  if (length > 55) memcpy(&v[52], &style, 4);
  memset(&v[32], 0xAB, 8);
  memset(&v[56], 0xCD, 4);
  return v;
}

std::vector<uint8_t> Extended() {
  std::vector<uint8_t> v(144, 0);
  const uint8_t guid[16] = {0x88, 0x88, 0x88, 0x88, 0x22, 0x22, 0x33, 0x33,
                            0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
  memcpy(&v[0], guid, 16);
  v[104] = 1;
  return v;
}

void Set(CMountedImage& image, const std::wstring& object, const wchar_t* element, uint32_t type,
         const void* data, uint32_t length) {
  std::wstring path = std::wstring(OBJ) + object;
  image.RegCreateKey(path.c_str());
  path += L"\\Elements";
  image.RegCreateKey(path.c_str());
  path += std::wstring(L"\\") + element;
  EXPECT_EQ(REG_STATUS_OK, image.RegCreateKey(path.c_str()));
  EXPECT_EQ(REG_STATUS_OK, image.RegSetValue(path.c_str(), L"Element", data, length, type));
}

void SetBinary(CMountedImage& image, const std::wstring& object, const wchar_t* element,
               const std::vector<uint8_t>& v) {
  Set(image, object, element, HIVE_REG_BINARY, v.data(), uint32_t(v.size()));
}

void SetText(CMountedImage& image, const std::wstring& object, const wchar_t* element,
             const wchar_t* text) {
  Set(image, object, element, HIVE_REG_SZ, text, uint32_t((wcslen(text) + 1) * 2));
}

std::string Hex(const std::vector<uint8_t>& v) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : v) s += std::string(1, digits[b >> 4]) + digits[b & 15];
  return s;
}

std::string Line(const char* object, const char* element, const std::vector<uint8_t>& v) {
  return std::string("V \\Objects\\") + object + "\\Elements\\" + element + "|Element|3|" + Hex(v) +
         "\n";
}

TEST(BcdRetarget, DeviceElementsGetTheDiskAndThePartitionMounted) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(dir + "/tree") + " --no-kernel --bcd"));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/d.img") + " --size 40 --tree " +
                          vt::Q(dir + "/tree")));
  std::wstring path = vt::ToWin(dir + "/d.img");
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(path.c_str(), nullptr, 0, 2), 0);
    ASSERT_EQ(1, image.LoadHives(32));
    SetBinary(image, BOOTMGR, L"11000001", Device(88, 1));
    SetBinary(image, MEMTEST, L"11000001", Device(88, 1));
    SetText(image, BOOTMGR, L"23000003", LOADER);
    SetText(image, BOOTMGR, L"23000006", RESUME);
    SetBinary(image, LOADER, L"11000001", Device(88, 1));
    SetBinary(image, LOADER, L"21000001", Device(88, 0));  // not an MBR partition: stays
    SetBinary(image, RESUME, L"11000001", Device(90, 1));  // another length: stays
    SetText(image, LOADER, L"14000008", SETTINGS);
    SetBinary(image, SETTINGS, L"11000001", Extended());
    SetBinary(image, NAMED, L"31000003", Device(88, 1));
    EXPECT_TRUE(image.Close());
  }
  // The NTFS partition moves to the second entry behind another one.
  std::vector<uint8_t> mbr = ReadBytes(path, 0, 512);
  memcpy(&mbr[462], &mbr[446], 16);
  const uint8_t fat[16] = {0, 0, 0, 0, 0x0C, 0, 0, 0, 63, 0, 0, 0, 100, 0, 0, 0};
  memcpy(&mbr[446], fat, 16);
  WriteBytes(path, 0, mbr);
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(path.c_str(), nullptr, 1, 2), 0);
    EXPECT_EQ(1, RetargetBcdDevices(&image));
    EXPECT_TRUE(image.Close());
  }
  std::string out;
  ASSERT_EQ(0, OnPartition(path, kStart * 512, 40ULL << 20,
                           "ntfscat $DEV Boot/BCD > " + vt::Q(dir + "/BCD"), &out))
      << out;
  ASSERT_EQ(0,
            vt::Sh("/usr/bin/python3 " + vt::Q(vt::SourceDirUnix() + "/tests/fixtures/mk-hive.py") +
                       " --dump " + vt::Q(dir + "/BCD") + " | grep '|Element|3|'",
                   &out));
  uint64_t offset = kStart * 512;
  std::vector<uint8_t> moved = Device(88, 1);
  memcpy(&moved[32], &offset, 8);
  memcpy(&moved[56], &mbr[440], 4);
  std::vector<uint8_t> extended = Extended();
  memcpy(&extended[84], &offset, 8);
  memcpy(&extended[108], &mbr[440], 4);
  EXPECT_EQ(Line("{11111111-2222-3333-4444-555555555555}", "11000001", moved) +
                Line("{11111111-2222-3333-4444-555555555555}", "21000001", Device(88, 0)) +
                Line("{66666666-2222-3333-4444-555555555555}", "11000001", Device(90, 1)) +
                Line("{77777777-2222-3333-4444-555555555555}", "11000001", extended) +
                Line("{88888888-2222-3333-4444-555555555555}", "31000003", moved) +
                Line("{9dea862c-5cdd-4e70-acc1-f32b344d4795}", "11000001", moved) +
                Line("{b2721d73-1db4-4c62-bf78-c548a880142d}", "11000001", moved),
            out);
}

TEST(BcdRetarget, AVolumeWithoutAStoreIsLeftAlone) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/d.img") + " --size 16"));
  CMountedImage image;
  ASSERT_GE(image.OpenImage(vt::ToWin(dir + "/d.img").c_str(), nullptr, 0, 2), 0);
  EXPECT_EQ(0, RetargetBcdDevices(&image));
}

}  // namespace
