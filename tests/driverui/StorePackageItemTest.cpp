// The devices of a package version as the driver windows read them from
// "VroPnp.ini": [DeviceList] lines in their forms, the [DeviceSelected]
// choice and its fallback, and the line the device choice writes.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "StoreTestUtil.h"
#include "driverui/StorePackageItem.h"

namespace {

TEST(StorePackageItem, DeviceListAndSelectionForms) {
  const struct {
    const char* ini;  // VroPnp.ini without its byte-order mark
    const wchar_t* name;
    const wchar_t* id;
    const wchar_t* section;
    unsigned devices;
  } cases[] = {
      // No choice: the first line, the id without enumerator.
      {"[DeviceList]\n\"Dev A\"=S1,PCI\\VEN_1&DEV_A\n\"Dev B\"=S2,PCI\\VEN_1&DEV_B\n", L"Dev A",
       L"VEN_1&DEV_A", L"S1", 2},
      {"[DeviceList]\n\"Dev A\"=S1,PCI\\VEN_1&DEV_A\n\"Dev B\"=S2,PCI\\VEN_1&DEV_B\n"
       "[DeviceSelected]\n\"Dev B\"=S2,VEN_1&DEV_B\n",
       L"Dev B", L"VEN_1&DEV_B", L"S2", 2},
      // A choice with an empty section falls back to the first line.
      {"[DeviceList]\n\"Dev A\"=S1,PCI\\VEN_1&DEV_A\n\"Dev B\"=S2,PCI\\VEN_1&DEV_B\n"
       "[DeviceSelected]\n\"Dev B\"=,VEN_1&DEV_B\n",
       L"Dev A", L"VEN_1&DEV_A", L"S1", 2},
      // No backslash: the whole text after ","; blanks round the key and
      // malformed lines.
      {"[DeviceList]\n  \"Dev C\"  =S3,VEN_X\nno equals sign\n\"Dev E\"=no comma\n", L"Dev C",
       L"VEN_X", L"S3", 1},
      // One quote only stays.
      {"[DeviceList]\n\"Dev Q=S4,ROOT\\Q\n", L"\"Dev Q", L"Q", L"S4", 1},
  };
  std::string dir = vt::ScratchDirUnix();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini);
    ASSERT_EQ(0, vt::Sh("rm -rf " + vt::Q(dir + "/P")));
    st::WriteUtf16(dir + "/P/1.0/VroPnp.ini", c.ini);
    st::WriteUtf16(dir + "/P/1.0/VroPnp.inf", "[Version]\nClass=Net\n");
    StorePackageView v;
    ASSERT_EQ(1, ReadStorePackage(vt::ToWin(dir).c_str(), L"P", L"1.0", &v));
    EXPECT_EQ(std::wstring(c.name), v.name);
    EXPECT_EQ(std::wstring(c.id), v.hardwareId);
    EXPECT_EQ(std::wstring(c.section), v.installSection);
    EXPECT_EQ(c.devices, v.item->deviceCount);
    EXPECT_EQ(1u, v.item->versionCount);
    // The chain runs from the last line to the first.
    EXPECT_EQ(c.devices == 2 ? std::wstring(L"Dev B") : std::wstring(c.name),
              v.item->devices->name);
    EXPECT_EQ(c.devices == 2 ? std::wstring(L"Dev A") : std::wstring(c.name),
              FirstListedDevice(v.item)->name);
    FreeStorePackageItem(v.item);
  }
  // Not shown: no device, or no VroPnp.inf.
  StorePackageView v;
  st::WriteUtf16(dir + "/P/1.0/VroPnp.ini", "[PCI]\nVEN_1\n");
  EXPECT_EQ(0, ReadStorePackage(vt::ToWin(dir).c_str(), L"P", L"1.0", &v));
  st::WriteUtf16(dir + "/P/1.0/VroPnp.ini", "[DeviceList]\n\"A\"=S,PCI\\A\n");
  ASSERT_EQ(0, vt::Sh("rm " + vt::Q(dir + "/P/1.0/VroPnp.inf")));
  EXPECT_EQ(0, ReadStorePackage(vt::ToWin(dir).c_str(), L"P", L"1.0", &v));
  EXPECT_EQ(nullptr, v.item);

  // The device choice: one line replacing the section.
  st::WriteUtf16(dir + "/P/1.0/VroPnp.ini",
                 "[DeviceList]\n\"A\"=S,PCI\\A\n[DeviceSelected]\n\"A\"=S,A\nold=line\n[PCI]\nA\n");
  std::wstring inf = vt::ToWin(dir + "/P/1.0/VroPnp.inf");
  ASSERT_TRUE(WriteSelectedDeviceLine(inf.c_str(), L"Dev B", L"S2", L"VEN_1&DEV_B"));
  EXPECT_EQ(
      "[DeviceList]\r\n\"A\"=S,PCI\\A\r\n[DeviceSelected]\r\n\"Dev B\"=S2,VEN_1&DEV_B\r\n[PCI]\r\nA\r\n",
      st::FileText(vt::ToWin(dir + "/P/1.0/VroPnp.ini")));
}

}  // namespace
