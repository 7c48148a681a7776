// The network configuration routines on a real SYSTEM hive of a fixture
// image: each test works in a control set of its own, so the tests share one
// disk without seeing each other's keys.
#include "NetHiveFixture.h"

rt::WinDisk* NetHive::disk_ = nullptr;

namespace {

TEST_F(NetHive, RecordsRebuildTheValueWithZeroHeadersAndOneEndRecord) {
  for (bool x64 : {false, true}) {
    uint32_t cs = x64 ? 2 : 3;
    nt::LayoutValue lv;
    lv.x64 = x64;
    lv.header = 0x01020304;
    lv.tableHeader = 0x0A0B0C0D;
    std::wstring longId(120, L'q');
    lv.entries = {Entry(1, 0, 0x84, L"PCI\\VEN_1", L"PCI\\VEN_1\\1"), Entry(2, 2, 0xA0, longId),
                  Entry(3, 4, 0, L"vroproto")};
    lv.bindings = {{1, 0}, {2, 0}, {1, 2}};
    lv.tail = {1, 2, 3, 4, 5, 6, 7, 8};
    SetConfig(cs, lv);
    std::vector<NetBindingRecord> records;
    ASSERT_EQ(kNetConfigParsed,
              BuildBindingRecords(Installer(x64 ? kWin7x64 : kWin7x86, cs), records));
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(2u, records[0].UpperCount);
    EXPECT_EQ(1u, records[0].Upper[0]);
    EXPECT_EQ(2u, records[0].Upper[1]);
    EXPECT_EQ(0xFFFFFFFFu, records[0].Upper[2]);
    EXPECT_EQ(0u, records[1].UpperCount);
    EXPECT_EQ(1u, records[2].UpperCount);
    EXPECT_EQ(99u, wcslen(records[1].ComponentId));
    EXPECT_EQ(L"PCI\\VEN_1\\1", std::wstring(records[0].PnpInstanceId));
    EXPECT_EQ(0, memcmp(&records[2].InstanceGuid, &lv.entries[2].guid, 16));

    ASSERT_EQ(REG_STATUS_OK, WriteBindingRecords(&inst_, records));
    nt::LayoutValue expected = lv;
    expected.header = expected.tableHeader = 0;
    expected.entries[1].componentId.resize(99);
    expected.bindings = {{1, 0}, {2, 0}, {1, 2}};
    expected.tail.clear();
    EXPECT_EQ(nt::WriteLayout(expected), Config(cs));

    std::vector<NetBindingRecord> none;
    EXPECT_EQ(kNetConfigMissing, BuildBindingRecords(Installer(kWin7x64, 40), none));
    EXPECT_TRUE(none.empty());
  }
}

TEST_F(NetHive, NewAdapterEntersAnEmptyValueAsEntryZero) {
  const uint32_t cs = 4;
  nt::LayoutValue lv;
  SetConfig(cs, lv);
  GUID adapter = nt::MakeGuid(20);
  Connect(cs, kAdapterClass, adapter);
  std::wstring guid = nt::GuidString(adapter);
  std::wstring script = vt::ToWin(vt::ScratchDirUnix()) + L"\\Net.tmp";
  ASSERT_EQ(1, CreateRegScriptFile(script.c_str()));
  CInfInstaller* inst = Installer(kWin7x86, cs);
  inst->PnpProfileId = 0x1234;
  EXPECT_EQ(1, AddAdapterToNetworkConfig(inst, guid.c_str(), L"PCI\\VEN_9",
                                         L"PCI\\VEN_9\\VRO&Node&Pnp", script.c_str()));
  lv.entries = {{adapter, 0, 0x84, L"PCI\\VEN_9", L"PCI\\VEN_9\\VRO&Node&Pnp"}};
  EXPECT_EQ(nt::WriteLayout(lv), Config(cs));
  // The value as stored is copied into the staging script.
  std::wstring staged;
  ASSERT_TRUE(
      ReadProfileValue(script.c_str(), Key(cs, L"Control\\Network").c_str(), L"Config", staged));
  std::string hex;
  for (uint8_t b : nt::WriteLayout(lv)) {
    char t[4];
    snprintf(t, sizeof(t), "%02x,", b);
    hex += t;
  }
  hex.pop_back();
  EXPECT_EQ("hex:" + hex, vt::Narrow(staged));
  // Again with the same GUID: no second entry, nothing to bind.
  EXPECT_EQ(0, AddAdapterToNetworkConfig(&inst_, guid.c_str(), L"PCI\\VEN_9",
                                         L"PCI\\VEN_9\\VRO&Node&Pnp", script.c_str()));
  EXPECT_EQ(nt::WriteLayout(lv), Config(cs));
}

// The own component and an NDIS protocol that binds the adapter are bound on
// top of a new adapter; the 64-bit target never takes "vro_ndis" as its own.
// Later, a binding whose protocol no longer routes to the adapter is stale.
TEST_F(NetHive, OwnComponentsAndProtocolsAreBoundThenStaleBindingsGo) {
  for (bool x64 : {false, true}) {
    const uint32_t cs = x64 ? 5 : 6;
    GUID adapter = nt::MakeGuid(30);
    std::wstring guid = nt::GuidString(adapter);
    nt::LayoutValue lv;
    lv.x64 = x64;
    lv.header = 7;
    lv.entries = {Entry(1, 4, 0, L"vro_ndis"), Entry(2, 4, 0, L"VroProto"),
                  Entry(3, 2, 0xA0, L"ms_tcpip")};
    SetConfig(cs, lv);
    Connect(cs, L"{4d36e974-e325-11ce-bfc1-08002be10318}", lv.entries[0].guid);
    Connect(cs, L"{4d36e974-e325-11ce-bfc1-08002be10318}", lv.entries[1].guid);
    Connect(cs, kAdapterClass, adapter);
    std::wstring tcp = L"Control\\Network\\{4D36E975-E325-11CE-BFC1-08002BE10318}\\" +
                       nt::GuidString(lv.entries[2].guid);
    SetText(cs, tcp + L"\\Ndi\\Interfaces", L"LowerRange", L"ndis5,ndis4,ndisatm");
    SetText(cs, tcp + L"\\Ndi", L"Service", L"Tcpip");
    SetList(cs, L"Services\\Tcpip\\Linkage", L"Bind", {L"\\Device\\{other}", L"\\Device\\" + guid});
    // A protocol whose lower range is no NDIS range is passed over.
    std::wstring atm = L"Control\\Network\\{4D36E975-E325-11CE-BFC1-08002BE10318}\\{atm}";
    SetText(cs, atm + L"\\Ndi\\Interfaces", L"LowerRange", L"atm");

    std::wstring script = vt::ToWin(vt::ScratchDirUnix()) + L"\\Net.tmp";
    CInfInstaller* inst = Installer(x64 ? kWin7x64 : kWin7x86, cs);
    ASSERT_EQ(1, AddAdapterToNetworkConfig(inst, guid.c_str(), L"PCI\\VEN_A", L"PCI\\VEN_A\\1",
                                           script.c_str()));
    lv.entries.push_back({adapter, 0, 0x84, L"PCI\\VEN_A", L"PCI\\VEN_A\\1"});
    lv.bindings = {{x64 ? 1u : 0u, 3}, {2, 3}};
    EXPECT_EQ(nt::WriteLayout(lv), Config(cs));

    // Tcpip binds the adapter but does not route to it: its binding is
    // stale, the own component's stays.
    std::vector<uint8_t> value = nt::WriteLayout(lv);
    NetworkConfigBlob blob(x64);
    ASSERT_EQ(kNetConfigParsed, blob.Parse(value.data(), (uint32_t)value.size()));
    uint32_t list[kNetRecordUpperLinks];
    ASSERT_EQ(-1, AddOwnBindings(inst, guid.c_str(), blob, 3, list));
    EXPECT_EQ(2u, list[0]);
    ASSERT_EQ(1, AddAdapterToNetworkConfig(inst, guid.c_str(), L"PCI\\VEN_A", L"PCI\\VEN_A\\1",
                                           script.c_str()));
    lv.bindings = {{x64 ? 1u : 0u, 3}};
    EXPECT_EQ(nt::WriteLayout(lv), Config(cs));
    // Routed and bound again: with both bindings in place nothing is to do.
    SetList(cs, L"Services\\Tcpip\\Linkage", L"Route", {L"\"Tcpip\" \"" + guid + L"\""});
    EXPECT_EQ(0, AddOwnBindings(inst, guid.c_str(), blob, 3, list));
  }
}

TEST_F(NetHive, PruningRemovesStaleEntriesOneAtATimeAndRenumbers) {
  for (bool x64 : {false, true}) {
    const uint32_t cs = x64 ? 7 : 8;
    nt::LayoutValue lv;
    lv.x64 = x64;
    lv.header = 0x99;
    lv.tableHeader = 0x77;
    lv.entries = {Entry(1, 0, 0x84, L"PCI\\A", L"PCI\\A\\1"),
                  Entry(2, 2, 0, L"gone1"),
                  Entry(3, 1, 0, L"class1"),
                  Entry(4, 3, 0, L"gone2"),
                  Entry(5, 5, 0, L"class5"),
                  Entry(6, 4, 0, L"kept")};
    lv.bindings = {{1, 0}, {5, 0}, {3, 0}, {5, 2}, {4, 0}};
    lv.tail = {9, 9};
    SetConfig(cs, lv);
    Connect(cs, kAdapterClass, lv.entries[0].guid);
    Connect(cs, L"{4d36e974-e325-11ce-bfc1-08002be10318}", lv.entries[5].guid);
    EXPECT_EQ(0, PruneNetworkConfigBlob(&m_, x64 ? kWin7x64 : kWin7x86, cs));
    nt::LayoutValue expected = lv;
    expected.entries = {lv.entries[0], lv.entries[2], lv.entries[4], lv.entries[5]};
    expected.bindings = {{3, 0}, {3, 1}, {2, 0}};
    EXPECT_EQ(nt::WriteLayout(expected), Config(cs));
  }
}

TEST_F(NetHive, RepairRelinksAnAdapterWhoseInstanceHasGone) {
  const uint32_t cs = 9;
  GUID adapter = nt::MakeGuid(40);
  std::wstring guid = nt::GuidString(adapter);
  nt::LayoutValue lv;
  lv.x64 = true;
  lv.entries = {Entry(1, 2, 0, L"ms_tcpip"),
                {adapter, 0, 0x81, L"PCI\\VEN_OLD", L"PCI\\VEN_OLD\\1"}};
  lv.bindings = {{0, 1}};
  SetConfig(cs, lv);
  SetText(cs, L"Enum\\PCI\\VEN_OLD\\1", L"Class", L"Net");
  EXPECT_EQ(0, RepairAdapterConfigEntry(&m_, kWin7x64, cs, guid.c_str()));
  EXPECT_EQ(nt::WriteLayout(lv), Config(cs));

  // Gone: the first network instance of the enumerator table takes its place.
  m_.RegDeleteKey(Key(cs, L"Enum\\PCI\\VEN_OLD").c_str());
  SetText(cs, L"Enum\\PCI\\VEN_1\\a", L"Class", L"Display");
  SetText(cs, L"Enum\\PCI\\VEN_2\\b", L"Class", L"NET");
  SetText(cs, L"Enum\\MLX4\\VEN_3\\c", L"Class", L"Net");
  EXPECT_EQ(1, RepairAdapterConfigEntry(&m_, kWin7x64, cs, guid.c_str()));
  nt::LayoutValue expected = lv;
  expected.entries[1] = {adapter, 0, 0x84, L"PCI\\VEN_2", L"PCI\\VEN_2\\b"};
  EXPECT_EQ(nt::WriteLayout(expected), Config(cs));

  // The qualifying entry is a stale one of another class; the adapter entry
  // already names the instance found: nothing is stored, the result is 1.
  const uint32_t cs2 = 10;
  nt::LayoutValue twice;
  twice.entries = {{adapter, 2, 0x84, L"X", L"PCI\\GONE\\1"},
                   {adapter, 0, 0x84, L"PCI\\VEN_2", L"PCI\\VEN_2\\b"}};
  SetConfig(cs2, twice);
  SetText(cs2, L"Enum\\PCI\\VEN_2\\b", L"Class", L"Net");
  EXPECT_EQ(1, RepairAdapterConfigEntry(&m_, kWin7x86, cs2, guid.c_str()));
  EXPECT_EQ(nt::WriteLayout(twice), Config(cs2));
  // No qualifying entry (0x80 missing): 0.
  twice.entries[0].characteristics = 0x04;
  SetConfig(cs2, twice);
  EXPECT_EQ(
      0, RepairAdapterConfigEntry(&m_, kWin7x86, cs2, L"{00000000-0000-0000-0000-000000000001}"));
}

TEST_F(NetHive, AdapterLinkageIsWrittenOnceAndOnlyWithAWrapper) {
  const uint32_t cs = 11;
  std::wstring adapterUpper = L"Services\\VRONDIS\\Parameters\\Adapters\\{A}";
  SetList(cs, adapterUpper, L"UpperBindings", {L"\\Device\\{other}"});
  WriteAdapterLinkage(&m_, cs, kXpX86, L"{A}", L"Tcpip");
  EXPECT_EQ(ListBytes({L"\\Device\\{other}"}), Get(cs, adapterUpper, L"UpperBindings"));

  std::wstring wrapper = std::wstring(L"Control\\Class\\") + kAdapterClass + L"\\0003";
  SetDword(cs, wrapper, L"Characteristics", 0x29);
  SetText(cs, wrapper, L"ComponentId", L"vrowrapp");
  SetText(cs, wrapper, L"NetCfgInstanceId", L"{W}");
  SetList(cs, wrapper + L"\\Linkage", L"RootDevice", {L"{W}"});
  SetList(cs, wrapper + L"\\Linkage", L"UpperBind", {L"vroproto"});
  for (int run = 0; run < 2; ++run) {
    WriteAdapterLinkage(&m_, cs, kXpX86, L"{A}", L"Tcpip");
    EXPECT_EQ(ListBytes({L"{W}", L"{A}"}), Get(cs, wrapper + L"\\Linkage", L"RootDevice"));
    EXPECT_EQ(ListBytes({L"vroproto", L"Tcpip"}), Get(cs, wrapper + L"\\Linkage", L"UpperBind"));
    EXPECT_EQ(rt::Utf16z(L"\\Device\\{W}"), Get(cs, adapterUpper, L"UpperBindings"));
  }
  // Missing values are not created.
  WriteAdapterLinkage(&m_, cs, kXpX86, L"{B}", L"Tcpip");
  EXPECT_EQ(std::vector<uint8_t>({0xDE, 0xAD}),
            Get(cs, L"Services\\VRONDIS\\Parameters\\Adapters\\{B}", L"UpperBindings"));
}

TEST_F(NetHive, ComponentBindsAdapterNeedsRouteAndBind) {
  const uint32_t cs = 12;
  struct Case {
    uint32_t classIndex;
    const wchar_t* classKey;
    const wchar_t* service;
    bool route, bind;
    int32_t expected;
  } cases[] = {
      {3, L"{4d36e973-e325-11ce-bfc1-08002be10318}", L"Cli1", true, true, 1},
      {3, L"{4d36e973-e325-11ce-bfc1-08002be10318}", L"Cli2", true, false, 0},
      {2, L"{4d36e975-e325-11ce-bfc1-08002be10318}", L"Tr1", false, true, 0},
      {2, L"{4d36e975-e325-11ce-bfc1-08002be10318}", nullptr, true, true, 0},
      {4, L"{4d36e974-e325-11ce-bfc1-08002be10318}", nullptr, false, false, 1},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::wstring comp = L"{C" + std::to_wstring(n++) + L"}";
    if (c.service) {
      SetText(cs, std::wstring(L"Control\\Network\\") + c.classKey + L"\\" + comp + L"\\Ndi",
              L"Service", c.service);
      std::wstring linkage = std::wstring(L"Services\\") + c.service + L"\\Linkage";
      SetList(cs, linkage, L"Route", {c.route ? L"\"x\" \"{ad}\"" : L"\"x\" \"{zz}\""});
      SetList(cs, linkage, L"Bind",
              {L"\\Device\\{q}", c.bind ? L"\\Device\\{AD}" : L"\\Device\\{zz}"});
    }
    EXPECT_EQ(c.expected, ComponentBindsAdapter(comp.c_str(), cs, &m_, c.classIndex, L"{ad}")) << n;
  }
  EXPECT_EQ(1, AdapterConnectionKeyExists(L"{nothing}", 1, cs, &m_));
  EXPECT_EQ(0, AdapterConnectionKeyExists(L"{nothing}", 2, cs, &m_));
  EXPECT_EQ(1, AdapterConnectionKeyExists(L"{C0}", 3, cs, &m_));
}

TEST_F(NetHive, EnumInstancesAndDriverVersion) {
  const uint32_t cs = 13;
  SetText(cs, L"Enum\\PCI\\DEV_1\\i1", L"Service", L"e1e");
  SetText(cs, L"Enum\\PCI\\DEV_2\\i2", L"Driver", L"{x}\\0007");
  SetText(cs, L"Enum\\USB\\DEV_3\\i3", L"Service", L"usbnic");
  EXPECT_EQ(1, AnyEnumInstanceHasValue(&m_, L"PCI", cs, L"Service", L"E1E"));
  EXPECT_EQ(1, AnyEnumInstanceHasValue(&m_, L"PCI", cs, L"Driver", L"{X}\\0007"));
  EXPECT_EQ(0, AnyEnumInstanceHasValue(&m_, L"PCI", cs, L"Service", L"usbnic"));
  EXPECT_EQ(0, AnyEnumInstanceHasValue(&m_, L"ROOT", cs, L"Service", L"e1e"));
  SetText(cs, std::wstring(L"Control\\Class\\") + kAdapterClass + L"\\0002", L"DriverVersion",
          std::wstring(120, L'9'));
  wchar_t version[100];
  EXPECT_EQ(1, ReadNetDriverVersion(L"0002", cs, &m_, version));
  EXPECT_EQ(99u, wcslen(version));
  EXPECT_EQ(0, ReadNetDriverVersion(L"0003", cs, &m_, version));
}

TEST_F(NetHive, NsiRecordTakesTheFirstFreeEthernetIndex) {
  const uint32_t cs = 14;
  GUID adapter = nt::MakeGuid(50);
  std::wstring guid = nt::GuidString(adapter);
  for (uint32_t n : {0u, 1u, 3u}) {
    std::vector<uint8_t> r = NsiRecord(nt::MakeGuid(n));
    Set(cs, kNsiKey, NsiRecordName(n).c_str(), r.data(), r.size(), HIVE_REG_BINARY);
  }
  // A type-24 record of index 2 carrying the adapter's GUID counts for
  // neither the match nor the index.
  std::vector<uint8_t> other = NsiRecord(adapter);
  Set(cs, kNsiKey, L"0000000200001800", other.data(), other.size(), HIVE_REG_BINARY);
  MakeKey(cs, kIfTypeKey);

  EXPECT_EQ(kNsiNoIndex, RegisterNsiInterface(&m_, kXpX86, cs, guid.c_str()))
      << "no record before Windows 6";
  EXPECT_EQ(2u, RegisterNsiInterface(&m_, kWin7x64, cs, guid.c_str()));
  std::vector<uint8_t> made = Get(cs, kNsiKey, L"0000000200000600");
  ASSERT_EQ(kNsiRecordBytes, made.size());
  EXPECT_EQ(0, memcmp(&made[1040], &adapter, 16));
  EXPECT_EQ(0x11, made[1056]) << "taken from the template";
  EXPECT_EQ(std::vector<uint8_t>({0x04}), Get(cs, kIfTypeKey, L"IfUsedNetLuidIndices"));

  // Again: the existing index, nothing written; also before Windows 6.
  SetDword(cs, kIfTypeKey, L"IfUsedNetLuidIndices", 0);
  EXPECT_EQ(2u, RegisterNsiInterface(&m_, kWin7x64, cs, guid.c_str()));
  EXPECT_EQ(2u, RegisterNsiInterface(&m_, kXpX86, cs, guid.c_str()));
  EXPECT_EQ(std::vector<uint8_t>(4, 0), Get(cs, kIfTypeKey, L"IfUsedNetLuidIndices"));
}

TEST_F(NetHive, NsiBitmapKeepsHighIndicesInTheirByte) {
  const uint32_t cs = 15;
  std::vector<uint8_t> templ = NsiRecord(nt::MakeGuid(1));
  Set(cs, kNsiKey, L"0000000000000600", templ.data(), templ.size(), HIVE_REG_BINARY);
  // Names of any type or length hold their index.
  uint8_t one = 1;
  for (uint32_t n = 1; n < 40; ++n)
    Set(cs, kNsiKey, NsiRecordName(n).c_str(), &one, 1, HIVE_REG_DWORD);
  std::vector<uint8_t> bitmap = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80};
  Set(cs, kIfTypeKey, L"IfUsedNetLuidIndices", bitmap.data(), bitmap.size(), HIVE_REG_BINARY);
  EXPECT_EQ(40u, RegisterNsiInterface(&m_, kWin7x86, cs, nt::GuidString(nt::MakeGuid(77)).c_str()));
  bitmap[5] = 0x01;
  EXPECT_EQ(bitmap, Get(cs, kIfTypeKey, L"IfUsedNetLuidIndices"));

  // Without the type's key the bitmap cannot be stored: a failure.
  const uint32_t cs2 = 16;
  Set(cs2, kNsiKey, L"0000000000000600", templ.data(), templ.size(), HIVE_REG_BINARY);
  EXPECT_EQ(kNsiNoIndex,
            RegisterNsiInterface(&m_, kWin7x86, cs2, nt::GuidString(nt::MakeGuid(78)).c_str()));
  // Without a template, or without the records key, nothing is made.
  const uint32_t cs3 = 17;
  Set(cs3, kNsiKey, L"0000000000000600", &one, 1, HIVE_REG_BINARY);
  MakeKey(cs3, kIfTypeKey);
  EXPECT_EQ(kNsiNoIndex,
            RegisterNsiInterface(&m_, kWin7x86, cs3, nt::GuidString(nt::MakeGuid(79)).c_str()));
  EXPECT_EQ(kNsiNoIndex,
            RegisterNsiInterface(&m_, kWin7x86, 41, nt::GuidString(nt::MakeGuid(79)).c_str()));
}

TEST_F(NetHive, WrapperAdapterLookup) {
  const uint32_t cs = 18;
  GUID w = nt::MakeGuid(60);
  std::wstring wguid = nt::GuidString(w);
  struct Instance {
    const wchar_t* name;
    uint32_t characteristics;
    const wchar_t* componentId;
    GUID guid;
    int luid;         // -1: no NetLuidIndex
    GUID recordGuid;  // of the NSI record at that index
  } instances[] = {
      {L"0001", 0x21, L"vrowrapp", w, 1, w},                 // 0x08 missing
      {L"0003", 0x29, L"VROWRAPP", w, 3, nt::MakeGuid(61)},  // record of another GUID
      {L"0005", 0x29, L"vrowrapp", w, -1, w},                // no NetLuidIndex
      {L"0007", 0x29, L"vrowrapp", w, 9, w},                 // index without a record
      {L"0010", 0x2B, L"other", w, 10, w},
      {L"0012", 0x29, L"vrowrapp", w, 12, w},
      {L"0020", 0xFF, L"vrowrapp", w, 20, w},
  };
  for (const Instance& i : instances) {
    std::wstring key = std::wstring(L"Control\\Class\\") + kAdapterClass + L"\\" + i.name;
    SetDword(cs, key, L"Characteristics", i.characteristics);
    SetText(cs, key, L"ComponentId", i.componentId);
    SetText(cs, key, L"NetCfgInstanceId", nt::GuidString(i.guid));
    if (i.luid >= 0) SetDword(cs, key, L"NetLuidIndex", (uint32_t)i.luid);
    if (i.luid >= 0 && i.luid != 9) {
      std::vector<uint8_t> r = NsiRecord(i.recordGuid);
      Set(cs, kNsiKey, NsiRecordName((uint32_t)i.luid).c_str(), r.data(), r.size(),
          HIVE_REG_BINARY);
    }
  }
  wchar_t out[100] = L"untouched";
  EXPECT_EQ(12, FindWrapperAdapter(&m_, kWin7x64, cs, out, 100));
  EXPECT_EQ(wguid, std::wstring(out));
  EXPECT_EQ(3, FindWrapperAdapter(&m_, kXpX86, cs, nullptr, 0)) << "no NSI check before Windows 6";
  wchar_t cut[5];
  EXPECT_EQ(12, FindWrapperAdapter(&m_, kWin7x64, cs, cut, 5));
  EXPECT_EQ(wguid.substr(0, 4), std::wstring(cut));
  // A short record value counts as no match.
  uint8_t shortRecord[1055] = {0};
  Set(cs, kNsiKey, NsiRecordName(12).c_str(), shortRecord, sizeof(shortRecord), HIVE_REG_BINARY);
  EXPECT_EQ(20, FindWrapperAdapter(&m_, kWin7x64, cs, nullptr, 0));
  EXPECT_EQ(-1, FindWrapperAdapter(&m_, kWin7x64, 42, out, 100));
}

// Seeded damage to the stored values: every routine refuses or works, none
// crashes, and a damaged "Config" stays as it was.
TEST_F(NetHive, DamagedValuesAreRefusedOrUsed) {
  const uint32_t cs = 19;
  std::mt19937 rng(35);
  GUID adapter = nt::MakeGuid(90);
  std::wstring guid = nt::GuidString(adapter);
  Connect(cs, kAdapterClass, adapter);
  MakeKey(cs, kIfTypeKey);
  std::wstring script = vt::ToWin(vt::ScratchDirUnix()) + L"\\Net.tmp";
  for (int round = 0; round < 60; ++round) {
    bool x64 = round % 2;
    nt::LayoutValue lv;
    lv.x64 = x64;
    lv.entries = {Entry(1, 0, 0x84, L"PCI\\A", L"PCI\\A\\1"), Entry(2, 4, 0, L"vroproto"),
                  Entry(3, 2, 0, L"tcp")};
    lv.bindings = {{1, 0}, {2, 0}};
    std::vector<uint8_t> v = nt::WriteLayout(lv);
    for (int k = 0; k < 3; ++k) v[rng() % v.size()] = (uint8_t)rng();
    if (rng() % 3 == 0) v.resize(rng() % v.size());
    Set(cs, L"Control\\Network", L"Config", v.data(), v.size(), HIVE_REG_BINARY);
    NetworkConfigBlob blob(x64);
    bool usable = blob.Parse(v.data(), (uint32_t)v.size()) == kNetConfigParsed;
    CInfInstaller* inst = Installer(x64 ? kWin7x64 : kWin7x86, cs);
    std::vector<NetBindingRecord> records;
    EXPECT_EQ(usable, BuildBindingRecords(inst, records) == kNetConfigParsed);
    int32_t added =
        AddAdapterToNetworkConfig(inst, guid.c_str(), L"PCI\\B", L"PCI\\B\\1", script.c_str());
    if (!usable) {
      EXPECT_EQ(0, added);
      EXPECT_EQ(v, Config(cs)) << round;
    }

    std::vector<uint8_t> record = NsiRecord(rng() % 2 ? adapter : nt::MakeGuid(91));
    record.resize(rng() % (kNsiRecordBytes + 20));
    wchar_t name[32];
    _snwprintf(name, 32, L"%08x%08x", (unsigned)(rng() % 4), (unsigned)(rng() % 3 ? 0x600 : rng()));
    Set(cs, kNsiKey, name, record.data(), record.size(),
        rng() % 4 ? HIVE_REG_BINARY : HIVE_REG_DWORD);
    std::vector<uint8_t> bitmap(rng() % 10);
    for (uint8_t& b : bitmap) b = (uint8_t)rng();
    if (bitmap.empty())
      m_.RegDeleteValue(Key(cs, kIfTypeKey).c_str(), L"IfUsedNetLuidIndices");
    else
      Set(cs, kIfTypeKey, L"IfUsedNetLuidIndices", bitmap.data(), bitmap.size(), HIVE_REG_BINARY);
    uint32_t index = RegisterNsiInterface(&m_, kWin7x64, cs, guid.c_str());
    if (index != kNsiNoIndex) {
      std::vector<uint8_t> made = Get(cs, kNsiKey, NsiRecordName(index).c_str());
      ASSERT_EQ(kNsiRecordBytes, made.size()) << round;
      EXPECT_EQ(0, memcmp(&made[1040], &adapter, 16));
    }
    m_.RegDeleteKey(Key(cs, kNsiKey).c_str());
  }
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char b[4];
  for (uint8_t c : bytes) {
    snprintf(b, sizeof(b), "%02x", c);
    out += b;
  }
  return out;
}

// What the routines wrote reaches the image's SYSTEM file, as hivex reads it.
TEST_F(NetHive, WrittenValuesReachTheHiveFile) {
  const uint32_t cs = 20;
  GUID adapter = nt::MakeGuid(70);
  std::wstring guid = nt::GuidString(adapter);
  nt::LayoutValue lv;
  lv.x64 = true;
  lv.entries = {Entry(1, 4, 0, L"vroproto")};
  SetConfig(cs, lv);
  Connect(cs, L"{4d36e974-e325-11ce-bfc1-08002be10318}", lv.entries[0].guid);
  Connect(cs, kAdapterClass, adapter);
  std::vector<uint8_t> templ = NsiRecord(nt::MakeGuid(1));
  Set(cs, kNsiKey, L"0000000000000600", templ.data(), templ.size(), HIVE_REG_BINARY);
  MakeKey(cs, kIfTypeKey);
  std::wstring script = vt::ToWin(vt::ScratchDirUnix()) + L"\\Net.tmp";
  ASSERT_EQ(1, AddAdapterToNetworkConfig(Installer(kWin7x64, cs), guid.c_str(), L"PCI\\VEN_C",
                                         L"PCI\\VEN_C\\2", script.c_str()));
  ASSERT_EQ(1u, RegisterNsiInterface(&m_, kWin7x64, cs, guid.c_str()));
  ASSERT_TRUE(m_.Close());
  lv.entries.push_back({adapter, 0, 0x84, L"PCI\\VEN_C", L"PCI\\VEN_C\\2"});
  lv.bindings = {{0, 1}};

  std::string system = rt::NtfsCat(*disk_, disk_->unixPath, "/Windows/System32/config/SYSTEM",
                                   vt::ScratchDirUnix() + "/SYSTEM");
  std::string dump;
  ASSERT_EQ(0,
            vt::Sh("/usr/bin/python3 " + vt::Q(vt::SourceDirUnix() + "/tests/fixtures/mk-hive.py") +
                       " --dump " + vt::Q(system) +
                       " | grep -e '^V .ControlSet020.Control.Network|Config|' "
                       "-e 'ControlSet020.Services.NDIS.IfTypes.6|IfUsed'",
                   &dump));
  EXPECT_EQ("V \\ControlSet020\\Control\\Network|Config|3|" + Hex(nt::WriteLayout(lv)) + "\n" +
                "V \\ControlSet020\\Services\\NDIS\\IfTypes\\6|IfUsedNetLuidIndices|3|02\n",
            dump);
}

}  // namespace
