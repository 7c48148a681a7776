// Removal of a network adapter with its traces on a real SYSTEM hive of a
// fixture image that also carries the adapters' driver files.
#include "NetHiveFixture.h"
#include "netcfg/AdapterRemoval.h"

namespace {

const uint32_t kWin10x64 = 0x400A00;
const wchar_t kTransKey[] = L"Control\\Network\\{4d36e975-e325-11ce-bfc1-08002be10318}\\";

// Driver files: two copies of the fixture kernel (company "Vro Test Kernel
// Works") and one whose company reads "Microsoft Corporation".
const char kDriverFiles[] =
    "d=Windows/System32/drivers && mkdir -p $d && cp Windows/System32/ntoskrnl.exe $d/vroeth.sys && "
    "cp $d/vroeth.sys $d/shared.sys && cp $d/vroeth.sys $d/kept.sys && cp $d/vroeth.sys $d/used.sys && cp $d/vroeth.sys $d/msnet.sys && "
    "perl -pi -e 's/V\\0r\\0o\\0 \\0T\\0e\\0s\\0t\\0 \\0K\\0e\\0r\\0n\\0e\\0l\\0 \\0W\\0o\\0r\\0k\\0s/"
    "M\\0i\\0c\\0r\\0o\\0s\\0o\\0f\\0t\\0 \\0C\\0o\\0r\\0p\\0o\\0r\\0a\\0t\\0i\\0o\\0n/' $d/msnet.sys";

class Removal : public NetHive {
 protected:
  static void SetUpTestSuite() {
    disk_ = new rt::WinDisk(rt::MakeWinDisk("", "mbr2048", "raw", kDriverFiles));
  }

  std::wstring Class(const std::wstring& n) {
    return std::wstring(L"Control\\Class\\") + kAdapterClass + L"\\" + n;
  }
  std::wstring Connection(const std::wstring& g) {
    return std::wstring(L"Control\\Network\\") + kAdapterClass + L"\\" + g;
  }
  bool Exists(uint32_t cs, const std::wstring& key) { return RegistryKeyExists(&m_, Key(cs, key)); }

  // An adapter PCI\<device>\<instance> of class instance n with GUID g,
  // its service and driver file, connection and TCP/IP keys, NSI record.
  void Adapter(uint32_t cs, const std::wstring& n, const std::wstring& g,
               const std::wstring& device, const std::wstring& instance, const wchar_t* service,
               const wchar_t* imagePath) {
    SetText(cs, Class(n), L"NetCfgInstanceId", g);
    std::wstring enumKey = L"Enum\\PCI\\" + device + L"\\" + instance;
    SetText(cs, enumKey, L"Service", service);
    SetText(cs, enumKey, L"Driver", std::wstring(kAdapterClass) + L"\\" + n);
    SetText(cs, std::wstring(L"Services\\") + service, L"ImagePath", imagePath);
    MakeKey(cs, Connection(g) + L"\\Connection");
    MakeKey(cs, L"Services\\Tcpip\\Parameters\\Interfaces\\" + g);
  }
  void Nsi(uint32_t cs, const std::wstring& g, uint32_t index) {
    GUID guid;
    ASSERT_TRUE(ParseGuidText(g.c_str(), guid));
    std::vector<uint8_t> r = NsiRecord(guid);
    Set(cs, kNsiKey, NsiRecordName(index).c_str(), r.data(), r.size(), HIVE_REG_BINARY);
  }
  void Bitmap(uint32_t cs, std::vector<uint8_t> bits) {
    Set(cs, kIfTypeKey, L"IfUsedNetLuidIndices", bits.data(), bits.size(), HIVE_REG_BINARY);
  }
  // Config: the adapter (PCI\device\instance) with Tcpip and the own
  // filter bound above it, each with its connection key.
  nt::LayoutValue Config3(uint32_t cs, const GUID& adapter, const std::wstring& device,
                          const std::wstring& instance) {
    nt::LayoutValue lv;
    lv.entries = {{adapter, 0, 0x84, L"PCI\\" + device, L"PCI\\" + device + L"\\" + instance},
                  Entry(121, 2, 0, L"ms_tcpip"),
                  Entry(122, 4, 0, L"vro_ndis")};
    lv.bindings = {{1, 0}, {2, 0}};
    SetConfig(cs, lv);
    Connect(cs, kAdapterClass, adapter);
    Connect(cs, L"{4d36e975-e325-11ce-bfc1-08002be10318}", nt::MakeGuid(121));
    Connect(cs, L"{4d36e974-e325-11ce-bfc1-08002be10318}", nt::MakeGuid(122));
    return lv;
  }
};

TEST_F(Removal, EveryTraceOfTheAdapterGoes) {
  const uint32_t cs = 50;
  GUID a = nt::MakeGuid(120);
  std::wstring A = nt::GuidString(a), W = nt::GuidString(nt::MakeGuid(123));
  const std::wstring D = L"VEN_8086&DEV_100E", I = L"3&1&0&18";
  Adapter(cs, L"0011", A, D, I, L"vroeth", L"system32\\DRIVERS\\vroeth.sys");
  SetText(cs, L"Enum\\PCI\\" + D + L"\\" + I, L"ContainerID", L"{c1}");
  std::wstring base = L"Control\\DeviceContainers\\{c1}\\BaseContainers\\{c1}";
  SetText(cs, base, (L"PCI\\" + D + L"\\" + I).c_str(), L"");
  SetText(cs, base, L"other", L"");
  MakeKey(cs, L"Services\\" + A + L"\\Parameters");
  SetText(cs, L"Services\\RemoteAccess\\Interfaces\\0001", L"InterfaceName", A);
  SetText(cs, L"Services\\RemoteAccess\\Interfaces\\0002", L"InterfaceName", W);
  MakeKey(cs, L"Services\\Tcpip\\Parameters\\Interfaces\\{keep}");
  MakeKey(cs, L"Services\\NetBT\\Parameters\\Interfaces\\Tcpip_" + A);
  SetList(cs, L"Services\\Tcpip\\Linkage", L"Bind", {L"\\Device\\" + A, L"\\Device\\{keep}"});
  SetList(cs, L"Services\\Tcpip\\Linkage", L"Route", {L"\"" + A + L"\""});
  SetList(cs, Class(L"0002") + L"\\Linkage", L"UpperBind", {L"x", L"y" + A});
  std::wstring tcpip = kTransKey + nt::GuidString(nt::MakeGuid(121));
  SetText(cs, tcpip + L"\\Ndi", L"Service", L"Tcpip");
  SetText(cs, tcpip + L"\\Ndi\\Interfaces", L"LowerRange", L"ndis5");
  // The wrapper adapter, which takes over the protocol bound to the adapter.
  SetDword(cs, Class(L"0003"), L"Characteristics", 0x29);
  SetText(cs, Class(L"0003"), L"ComponentId", L"vrowrapp");
  SetText(cs, Class(L"0003"), L"NetCfgInstanceId", W);
  SetDword(cs, Class(L"0003"), L"NetLuidIndex", 5);
  SetList(cs, Class(L"0003") + L"\\Linkage", L"UpperBind", {L"Old"});
  Nsi(cs, W, 5);
  Nsi(cs, A, 3);
  Bitmap(cs, {0x28});
  nt::LayoutValue lv = Config3(cs, a, D, I);
  const wchar_t* file = L"\\Windows\\System32\\drivers\\vroeth.sys";
  ASSERT_EQ(1, m_.GetPathType(file));

  EXPECT_EQ(1, RemoveNetAdapter(L"PCI", D.c_str(), &m_, kWin7x86, cs, L"0011", I.c_str(), 1));
  EXPECT_FALSE(Exists(cs, L"Enum\\PCI")) << "emptied device and enumerator keys go";
  EXPECT_EQ(std::vector<uint8_t>({0xDE, 0xAD}), Get(cs, base, (L"PCI\\" + D + L"\\" + I).c_str()));
  EXPECT_EQ(rt::Utf16z(L""), Get(cs, base, L"other"));
  EXPECT_FALSE(Exists(cs, Class(L"0011")));
  lv.entries.erase(lv.entries.begin());
  lv.bindings.clear();
  EXPECT_EQ(nt::WriteLayout(lv), Config(cs));
  EXPECT_EQ(ListBytes({L"Old", L"Tcpip"}), Get(cs, Class(L"0003") + L"\\Linkage", L"UpperBind"));
  EXPECT_FALSE(Exists(cs, Connection(A)));
  EXPECT_FALSE(Exists(cs, L"Services\\" + A));
  EXPECT_FALSE(Exists(cs, L"Services\\RemoteAccess\\Interfaces\\0001"));
  EXPECT_TRUE(Exists(cs, L"Services\\RemoteAccess\\Interfaces\\0002"));
  EXPECT_FALSE(Exists(cs, L"Services\\Tcpip\\Parameters\\Interfaces\\" + A));
  EXPECT_TRUE(Exists(cs, L"Services\\Tcpip\\Parameters\\Interfaces\\{keep}"));
  EXPECT_FALSE(Exists(cs, L"Services\\NetBT\\Parameters\\Interfaces\\Tcpip_" + A));
  EXPECT_EQ(ListBytes({L"\\Device\\{keep}"}), Get(cs, L"Services\\Tcpip\\Linkage", L"Bind"));
  EXPECT_EQ(std::vector<uint8_t>(4, 0), Get(cs, L"Services\\Tcpip\\Linkage", L"Route"));
  EXPECT_EQ(ListBytes({L"x"}), Get(cs, Class(L"0002") + L"\\Linkage", L"UpperBind"));
  EXPECT_EQ(std::vector<uint8_t>({0xDE, 0xAD}), Get(cs, kNsiKey, NsiRecordName(3).c_str()));
  EXPECT_EQ(kNsiRecordBytes, Get(cs, kNsiKey, NsiRecordName(5).c_str()).size());
  EXPECT_EQ(std::vector<uint8_t>({0x20}), Get(cs, kIfTypeKey, L"IfUsedNetLuidIndices"));
  EXPECT_EQ(0, m_.GetPathType(file));
  EXPECT_FALSE(Exists(cs, L"Services\\vroeth"));

  // What was removed is gone from the image's SYSTEM file too.
  ASSERT_TRUE(m_.Close());
  std::string system = rt::NtfsCat(*disk_, disk_->unixPath, "/Windows/System32/config/SYSTEM",
                                   vt::ScratchDirUnix() + "/SYSTEM.removed");
  EXPECT_EQ("<missing>", rt::HivexGet(system, "\\ControlSet050\\Services\\vroeth", "ImagePath"));
  EXPECT_EQ("Old\nTcpip", rt::HivexGet(system,
                                       "\\ControlSet050\\Control\\Class\\" +
                                           vt::Narrow(kAdapterClass) + "\\0003\\Linkage",
                                       "UpperBind"));
}

TEST_F(Removal, SharedDriverKeysFilesAndTheSystemsOwnFilesStay) {
  const uint32_t cs = 51;
  std::wstring A = nt::GuidString(nt::MakeGuid(130));
  // A driver key still named by another instance of the enumerator: the
  // class key and the bindings stay, so does the service both use.
  Adapter(cs, L"0001", A, L"DEV_A", L"1", L"used", L"system32\\drivers\\used.sys");
  SetText(cs, L"Enum\\PCI\\DEV_B\\2", L"Driver", std::wstring(kAdapterClass) + L"\\0001");
  SetText(cs, L"Enum\\PCI\\DEV_B\\2", L"Service", L"used");
  EXPECT_EQ(1, RemoveNetAdapter(L"PCI", L"DEV_A", &m_, kWin7x86, cs, L"0001", L"1", 1));
  EXPECT_FALSE(Exists(cs, L"Enum\\PCI\\DEV_A"));
  EXPECT_TRUE(Exists(cs, Class(L"0001")));
  EXPECT_TRUE(Exists(cs, Connection(A)));
  EXPECT_EQ(1, m_.GetPathType(L"\\Windows\\System32\\drivers\\used.sys"));

  struct Case {
    const wchar_t* service;
    const wchar_t* imagePath;
    const wchar_t* file;
    bool removed;
  } cases[] = {
      {L"msnet", L"\\SystemRoot\\System32\\drivers\\msnet.sys", L"msnet.sys",
       false},                                                              // Microsoft's
      {L"shared", L"system32\\drivers\\shared.sys", L"shared.sys", false},  // see "twin"
      {L"kept", L"%SystemRoot%\\system32\\drivers\\kept.sys", L"kept.sys", true},
  };
  SetText(cs, L"Services\\twin", L"ImagePath", L"\\SystemRoot\\inf\\SHARED.SYS");
  int n = 10;
  for (const Case& c : cases) {
    std::wstring g = nt::GuidString(nt::MakeGuid(131 + n)), inst = std::to_wstring(n++);
    Adapter(cs, inst, g, std::wstring(L"DEV_") + c.service, L"1", c.service, c.imagePath);
    RemoveNetAdapter(L"PCI", (std::wstring(L"DEV_") + c.service).c_str(), &m_, kWin7x86, cs,
                     inst.c_str(), L"1", 1);
    EXPECT_FALSE(Exists(cs, Class(inst))) << vt::Narrow(c.service);
    EXPECT_FALSE(Exists(cs, Connection(g))) << vt::Narrow(c.service);
    EXPECT_EQ(c.removed ? 0 : 1,
              m_.GetPathType((std::wstring(L"\\Windows\\System32\\drivers\\") + c.file).c_str()))
        << vt::Narrow(c.service);
    EXPECT_EQ(!c.removed, Exists(cs, std::wstring(L"Services\\") + c.service))
        << vt::Narrow(c.service);
  }
}

TEST_F(Removal, ConfigEntriesAndTheOwnDriversAdapters) {
  const uint32_t cs = 52;
  GUID a = nt::MakeGuid(140);
  std::wstring A = nt::GuidString(a);
  // The only entry of the GUID stays without the flag, goes with it; a
  // Windows 10 target never edits the value.
  for (uint32_t version : {kWin10x64, kWin7x86}) {
    for (uint32_t allow : {0u, 1u}) {
      nt::LayoutValue lv = Config3(cs, a, L"DEV_C", L"5");
      const bool removed = version == kWin7x86 && allow;
      EXPECT_EQ(removed ? 1 : 0,
                UnbindAdapterFromComponents(&m_, version, cs, A.c_str(), L"PCI\\DEV_C\\5", allow));
      if (removed) {
        lv.entries.erase(lv.entries.begin());
        lv.bindings.clear();
      }
      EXPECT_EQ(nt::WriteLayout(lv), Config(cs)) << version << " " << allow;
    }
  }
  // The entry is found by its device id as well, never by another path.
  nt::LayoutValue twice = Config3(cs, a, L"DEV_C", L"5");
  EXPECT_EQ(0, UnbindAdapterFromComponents(&m_, kWin7x86, cs, A.c_str(), L"PCI\\DEV_X", 1));
  EXPECT_EQ(nt::WriteLayout(twice), Config(cs));
  EXPECT_EQ(1, UnbindAdapterFromComponents(&m_, kWin7x86, cs, A.c_str(), L"pci\\dev_c", 1));
  // Without a class instance, the device stands for the GUID and the
  // instance for the device path: only the unbinding runs.
  nt::LayoutValue lv = Config3(cs, a, L"DEV_C", L"5");
  EXPECT_EQ(1, RemoveNetAdapter(L"PCI", A.c_str(), &m_, kWin7x86, cs, L"", L"PCI\\DEV_C\\5", 1));
  lv.entries.erase(lv.entries.begin());
  lv.bindings.clear();
  EXPECT_EQ(nt::WriteLayout(lv), Config(cs));

  // A GUID still listed by the own NDIS service keeps its traces.
  Adapter(cs, L"0007", A, L"DEV_D", L"1", L"gone", L"system32\\drivers\\none.sys");
  MakeKey(cs, L"Services\\VRONDIS\\Parameters\\Adapters\\" + A);
  Nsi(cs, A, 4);
  Bitmap(cs, {0x10});
  EXPECT_EQ(1, RemoveNetAdapter(L"PCI", L"DEV_D", &m_, kWin7x86, cs, L"0007", L"1", 1));
  EXPECT_FALSE(Exists(cs, Class(L"0007")));
  EXPECT_TRUE(Exists(cs, Connection(A)));
  EXPECT_TRUE(Exists(cs, L"Services\\Tcpip\\Parameters\\Interfaces\\" + A));
  EXPECT_EQ(kNsiRecordBytes, Get(cs, kNsiKey, NsiRecordName(4).c_str()).size());
  EXPECT_EQ(0, CleanAdapterBindings(&m_, cs, A.c_str()));

  // Released: the last bit of the bitmap takes its type's key along.
  m_.RegDeleteKey(Key(cs, L"Services\\VRONDIS").c_str());
  EXPECT_EQ(1, CleanAdapterBindings(&m_, cs, A.c_str()));
  EXPECT_FALSE(Exists(cs, Connection(A)));
  EXPECT_FALSE(Exists(cs, L"Services\\Tcpip\\Parameters\\Interfaces\\" + A));
  EXPECT_EQ(std::vector<uint8_t>({0xDE, 0xAD}), Get(cs, kNsiKey, NsiRecordName(4).c_str()));
  EXPECT_FALSE(Exists(cs, kIfTypeKey));
  EXPECT_TRUE(Exists(cs, L"Services\\NDIS\\IfTypes"));
  EXPECT_EQ(0, CleanAdapterBindings(&m_, cs, L"")) << "no GUID, nothing named";
}

}  // namespace
