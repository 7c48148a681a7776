// The boot store of a GPT disk's EFI system partition pointed at new disk
// and partition GUIDs; mtools fetch it, hivex reads it, fsck.fat checks
// the partition.
#include <windows.h>

#include "FormatTestUtil.h"
#include "disktools/bootrepair/EfiBcdRetarget.h"
#include "image/mount/FatVolume.h"
#include "image/mount/MountedImage.h"

using namespace fmt;

namespace {

#define BOOTMGR "{9dea862c-5cdd-4e70-acc1-f32b344d4795}"
#define LOADER "{11111111-2222-3333-4444-555555555555}"
#define SETTINGS "{77777777-2222-3333-4444-555555555555}"
#define NAMED "{88888888-2222-3333-4444-555555555555}"
#define MEMTEST "{b2721d73-1db4-4c62-bf78-c548a880142d}"

std::string Key(const std::string& object, const std::string& element, const std::string& value) {
  return "{\"path\": \"Objects\\\\" + object + "\\\\Elements\\\\" + element +
         "\", \"values\": [{\"name\": \"Element\", " + value + "}]}";
}

TEST(EfiBcdRetarget, DevicesAndFirmwareVariableNameTheNewDisk) {
  std::string dir = vt::ScratchDirUnix();
  std::string extended =
      "\"hex\": \"" +
      Hex((const uint8_t*)"\x88\x88\x88\x88\x22\x22\x33\x33\x44\x44\x55\x55\x55\x55\x55\x55", 16) +
      std::string(128 * 2, '0') + "\"";
  std::string json =
      "{\"keys\": [{\"path\": \"Objects\\\\" BOOTMGR
      "\\\\Description\", \"values\": "
      "[{\"name\": \"Type\", \"dword\": 269484034}, {\"name\": \"FirmwareVariable\", \"fill\": [0, 336]}]}, " +
      Key(BOOTMGR, "23000003", "\"str\": \"" LOADER "\"") + ", " +
      Key(BOOTMGR, "24000010", "\"str\": \"" MEMTEST "\"") + ", " +
      Key(LOADER, "14000008", "\"str\": \"" SETTINGS "\"") + ", " +
      Key(SETTINGS, "11000001", extended) + "]}";
  std::vector<uint8_t> text(json.begin(), json.end());
  ASSERT_TRUE(vt::WriteAll(vt::ToWin(dir + "/bcd.json"), text));
  ASSERT_EQ(0, vt::Sh("mkdir -p " + dir + "/esp/EFI/Microsoft/Boot && /usr/bin/python3 " +
                      vt::Q(vt::SourceDirUnix() + "/tests/fixtures/mk-hive.py") + " " +
                      vt::Q(dir + "/esp/EFI/Microsoft/Boot/BCD") + " " + vt::Q(dir + "/bcd.json")));
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/d.img") +
                          " --size 8 --layout gpt-esp --esp-size 34 --esp-tree " +
                          vt::Q(dir + "/esp")));
  EfiBootTarget t;
  for (int i = 0; i < 16; i++) {
    t.diskGuid[i] = uint8_t(0xD0 + i);
    t.dataPartitionGuid[i] = uint8_t(0xA0 + i);
    t.espGuid[i] = uint8_t(0xE0 + i);
  }
  t.espFirstLba = 4096;
  t.espSectors = 69632;
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(vt::ToWin(dir + "/d.img").c_str(), nullptr, 0, 2), 0);
    CFatVolume esp;
    ASSERT_GE(esp.MountShared(image.DiskObject(), 1), 0);
    EXPECT_EQ(1, RetargetEfiBcdDevices(&esp, t));
    EXPECT_TRUE(esp.Detach());
    EXPECT_TRUE(image.Close());
  }
  std::string out;
  ASSERT_EQ(
      0,
      vt::Sh(
          "cd " + vt::Q(dir) +
              " && dd if=d.img of=e.img bs=1M skip=1 count=34 status=none"
              " && fsck.fat -n e.img >/dev/null && mcopy -o -i e.img ::/EFI/Microsoft/Boot/BCD out.bcd"
              " && /usr/bin/python3 " +
              vt::Q(vt::SourceDirUnix() + "/tests/fixtures/mk-hive.py") +
              " --dump out.bcd | grep '^V '",
          &out))
      << out;
  uint8_t esp[88] = {}, data[88] = {};
  esp[16] = data[16] = 6;
  esp[24] = data[24] = 72;
  memcpy(esp + 32, t.espGuid, 16);
  memcpy(esp + 56, t.diskGuid, 16);
  memcpy(data + 32, t.dataPartitionGuid, 16);
  memcpy(data + 56, t.diskGuid, 16);
  std::string espHex = Hex(esp, 88), dataHex = Hex(data, 88);
  auto has = [&](const std::string& line) {
    EXPECT_NE(std::string::npos, out.find(line)) << line << "\n" << out;
  };
  has("V \\Objects\\" BOOTMGR "\\Elements\\11000001|Element|3|" + espHex);
  has("V \\Objects\\" MEMTEST "\\Elements\\11000001|Element|3|" + espHex);
  has("V \\Objects\\" LOADER "\\Elements\\11000001|Element|3|" + dataHex);
  has("V \\Objects\\" LOADER "\\Elements\\21000001|Element|3|" + dataHex);
  has("V \\Objects\\" NAMED "\\Elements\\31000003|Element|3|" + dataHex);
  std::vector<uint8_t> ext(144, 0);
  memcpy(&ext[0], "\x88\x88\x88\x88\x22\x22\x33\x33\x44\x44\x55\x55\x55\x55\x55\x55", 16);
  memcpy(&ext[84], t.dataPartitionGuid, 16);
  memcpy(&ext[108], t.diskGuid, 16);
  has("V \\Objects\\" SETTINGS "\\Elements\\11000001|Element|3|" + Hex(ext.data(), 144));
  std::vector<uint8_t> variable(336, 0);
  memcpy(&variable[228], &t.espFirstLba, 8);
  memcpy(&variable[236], &t.espSectors, 8);
  memcpy(&variable[244], t.espGuid, 16);
  has("V \\Objects\\" BOOTMGR "\\Description|FirmwareVariable|3|" + Hex(variable.data(), 336));
}

TEST(EfiBcdRetarget, AnEspWithoutAStoreIsRefused) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(dir + "/d.img") +
                          " --size 8 --layout gpt-esp --esp-size 34"));
  CMountedImage image;
  ASSERT_GE(image.OpenImage(vt::ToWin(dir + "/d.img").c_str(), nullptr, 0, 2), 0);
  CFatVolume esp;
  ASSERT_GE(esp.MountShared(image.DiskObject(), 1), 0);
  EfiBootTarget t = {};
  EXPECT_EQ(0, RetargetEfiBcdDevices(&esp, t));
  esp.Detach();
}

}  // namespace
