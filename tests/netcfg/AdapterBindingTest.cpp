// The components above an adapter, their consistency, and the binding of a
// new adapter, on a real SYSTEM hive.
#include <algorithm>

#include "NetHiveFixture.h"
#include "netcfg/AdapterBindings.h"
#include "netcfg/NewAdapterBinding.h"

namespace {

const uint32_t kWin10x64 = 0x400A00;
const wchar_t kTrans[] = L"Control\\Network\\{4d36e975-e325-11ce-bfc1-08002be10318}\\";
const wchar_t kClient[] = L"Control\\Network\\{4d36e973-e325-11ce-bfc1-08002be10318}\\";
const wchar_t kService[] = L"Control\\Network\\{4d36e974-e325-11ce-bfc1-08002be10318}\\";

struct Found {
  std::wstring service;
  uint32_t kind, sources, bound;
};

// The adapter A (class instance 0007) with its components:
//   Tcpip    NetTrans, in Config above A, own Linkage binds A, UpperBind names it
//   Rspndr   NetTrans of ndis6, not bound
//   Atm      NetTrans of another lower range: never listed
//   VroNdis  NetService "vro_ndis", in Config above A, bound by its Adapters key
//   OtherSvc NetService "ms_other", own Linkage binds A
//   LanmanWorkstation NetClient, own Linkage binds A
class Bindings : public NetHive {
 protected:
  std::wstring A = nt::GuidString(nt::MakeGuid(100));
  std::wstring AdapterKey = std::wstring(kAdapterClass) + L"\\0007";
  std::wstring OwnLinkage = std::wstring(L"Control\\Class\\") + kAdapterClass + L"\\0007\\Linkage";

  void Component(uint32_t cs, const wchar_t* classKey, uint32_t n, const wchar_t* service,
                 const wchar_t* range, bool binds) {
    std::wstring key = classKey + nt::GuidString(nt::MakeGuid(n));
    SetText(cs, key + L"\\Ndi", L"Service", service);
    if (range) SetText(cs, key + L"\\Ndi\\Interfaces", L"LowerRange", range);
    SetText(cs, std::wstring(L"Services\\") + service, L"ImagePath", L"system32\\drivers\\x.sys");
    SetList(cs, std::wstring(L"Services\\") + service + L"\\Linkage", L"Bind",
            {binds ? L"\\Device\\" + A : L"\\Device\\{other}"});
    SetList(cs, std::wstring(L"Services\\") + service + L"\\Linkage", L"Route",
            {binds ? L"\"" + A + L"\"" : L"\"{other}\""});
  }
  void Scenario(uint32_t cs, bool x64 = false) {
    Component(cs, kTrans, 101, L"Tcpip", L"ndis5,ndis4", true);
    Component(cs, kTrans, 104, L"Rspndr", L"ndis6", false);
    Component(cs, kTrans, 103, L"Atm", L"ndisatm", true);
    Component(cs, kService, 102, L"VroNdis", nullptr, false);
    MakeKey(cs, L"Services\\VroNdis\\Parameters\\Adapters\\" + A);
    Component(cs, kService, 106, L"OtherSvc", nullptr, true);
    Component(cs, kClient, 105, L"LanmanWorkstation", nullptr, true);
    nt::LayoutValue lv;
    lv.x64 = x64;
    lv.entries = {{nt::MakeGuid(100), 0, 0x84, L"PCI\\VEN_1", L"PCI\\VEN_1\\1"},
                  Entry(101, 2, 0, L"ms_tcpip"),
                  Entry(102, 4, 0, L"vro_ndis"),
                  Entry(106, 4, 0, L"ms_other"),
                  Entry(105, 3, 0, L"ms_client")};
    lv.bindings = {{1, 0}, {2, 0}};
    SetConfig(cs, lv);
    SetList(cs, OwnLinkage, L"RootDevice", {A});
    SetList(cs, OwnLinkage, L"UpperBind", {L"Tcpip"});
  }
  std::vector<Found> Compute(uint32_t version, uint32_t cs, int32_t linkage,
                             int32_t* count = nullptr, int32_t* consistent = nullptr) {
    NetContext c = {&m_, version, cs};
    std::vector<NetComponentRecord> records;
    int32_t n = ComputeAdapterBindings(c, AdapterKey.c_str(), A.c_str(), linkage, records);
    if (count) *count = n;
    int32_t agree = MarkBoundComponents(c, records, A.c_str());
    if (consistent) *consistent = agree;
    std::vector<Found> out;
    for (const NetComponentRecord& r : records)
      out.push_back({r.ServiceName, r.Kind, r.Sources, r.Bound});
    return out;
  }
  std::vector<uint8_t> LayoutBytes(std::vector<std::pair<uint32_t, uint32_t>> bindings,
                                   bool x64 = false) {
    nt::LayoutValue lv;
    lv.x64 = x64;
    lv.entries = {{nt::MakeGuid(100), 0, 0x84, L"PCI\\VEN_1", L"PCI\\VEN_1\\1"},
                  Entry(101, 2, 0, L"ms_tcpip"),
                  Entry(102, 4, 0, L"vro_ndis"),
                  Entry(106, 4, 0, L"ms_other"),
                  Entry(105, 3, 0, L"ms_client")};
    lv.bindings = bindings;
    return nt::WriteLayout(lv);
  }
};

bool operator==(const Found& a, const Found& b) {
  return a.service == b.service && a.kind == b.kind && a.sources == b.sources && a.bound == b.bound;
}
void PrintTo(const Found& f, std::ostream* os) {
  *os << vt::Narrow(f.service) << " kind " << f.kind << " sources " << f.sources << " bound "
      << f.bound;
}

TEST(BindingOrder, ClientsFirstThenDecreasingKindThenName) {
  NetComponentRecord r[4] = {{0, 2, 0, L"", L"Tcpip"},
                             {0, 4, 0, L"", L"Psched"},
                             {0, 3, 0, L"", L"LanmanWorkstation"},
                             {0, 2, 0, L"", L"arp"}};
  std::vector<NetComponentRecord> v(r, r + 4);
  std::sort(v.begin(), v.end(), CompareBindingRecords);
  std::vector<std::wstring> names;
  for (const NetComponentRecord& x : v) names.push_back(x.ServiceName);
  EXPECT_EQ(std::vector<std::wstring>({L"LanmanWorkstation", L"Psched", L"arp", L"Tcpip"}), names);
  // The same service from a second source merges into the first record.
  NetComponentRecord more = {kSourceUpperBind, 2, 1, L"{x}", L"TCPIP"};
  AddComponentRecord(v, more);
  ASSERT_EQ(4u, v.size());
  EXPECT_EQ((uint32_t)kSourceUpperBind, v[3].Sources);
  EXPECT_EQ(0u, v[3].Bound);
  EXPECT_EQ(L"", std::wstring(v[3].ComponentGuid));
}

TEST_F(Bindings, EverySourceMergesIntoOneRecordPerService) {
  const uint32_t cs = 33;
  Scenario(cs);
  int32_t count = 0, consistent = 0;
  std::vector<Found> found = Compute(kWin7x86, cs, -1, &count, &consistent);
  EXPECT_EQ(std::vector<Found>({{L"LanmanWorkstation", 3, 2, 1},
                                {L"OtherSvc", 4, 2, 1},
                                {L"VroNdis", 4, 1, 1},
                                {L"Rspndr", 2, 0, 0},
                                {L"Tcpip", 2, 7, 1}}),
            found);
  EXPECT_EQ(7, count) << "two from Config, four from the classes, one from UpperBind";
  EXPECT_EQ(1, consistent);

  // The own NDIS service is seen only through Config: without its binding
  // every other record still agrees, but nothing is consistent before 10.
  nt::LayoutValue lv;
  lv.entries = {{nt::MakeGuid(100), 0, 0x84, L"PCI\\VEN_1", L"PCI\\VEN_1\\1"},
                Entry(101, 2, 0, L"ms_tcpip")};
  lv.bindings = {{1, 0}};
  SetConfig(cs, lv);
  found = Compute(kWin7x86, cs, -1, &count, &consistent);
  EXPECT_EQ(std::vector<Found>({{L"LanmanWorkstation", 3, 2, 1},
                                {L"OtherSvc", 4, 2, 1},
                                {L"Rspndr", 2, 0, 0},
                                {L"Tcpip", 2, 7, 1}}),
            found);
  EXPECT_EQ(0, consistent);

  // An adapter without an entry in Config keeps the other sources.
  SetConfig(cs, nt::LayoutValue());
  found = Compute(kWin7x86, cs, -1, &count, &consistent);
  ASSERT_EQ(4u, found.size());
  EXPECT_EQ((Found{L"Tcpip", 2, 6, 1}), found[3]);

  // A disabled service (Start 4) loses its own-Linkage source.
  SetDword(cs, L"Services\\OtherSvc", L"Start", 4);
  found = Compute(kWin7x86, cs, -1);
  EXPECT_EQ(3u, found.size()) << "a NetService is listed only when bound";
}

TEST_F(Bindings, PacketSchedulerAndWindows10Sources) {
  const uint32_t cs = 34;
  Component(cs, kTrans, 101, L"Tcpip", L"ndis6", true);
  Component(cs, kService, 107, L"Psched", nullptr, false);
  std::wstring psched = nt::GuidString(nt::MakeGuid(107));
  SetList(cs, OwnLinkage, L"FilterList", {L"\\Device\\" + psched + L"-0000"});
  SetList(cs, OwnLinkage, L"RootDevice", {A});
  SetList(cs, OwnLinkage, L"UpperBind", {L"Tcpip", L"NoImage"});
  MakeKey(cs, L"Services\\NoImage");
  SetList(cs, L"Control\\NetworkSetup2\\Interfaces\\" + A + L"\\Kernel", L"ProtocolList",
          {L"Tcpip"});
  int32_t consistent = 0;
  std::vector<Found> found = Compute(kWin10x64, cs, -1, nullptr, &consistent);
  EXPECT_EQ(std::vector<Found>({{L"Psched", 4, 0, 1}, {L"Tcpip", 2, 14, 1}}), found);
  EXPECT_EQ(0, consistent) << "Psched filtered without its NdisAdapters key";
  MakeKey(cs, L"Services\\Psched\\Parameters\\NdisAdapters\\" + A);
  found = Compute(kWin10x64, cs, -1, nullptr, &consistent);
  EXPECT_EQ(std::vector<Found>({{L"Psched", 4, 2, 1}, {L"Tcpip", 2, 14, 1}}), found);
  EXPECT_EQ(1, consistent) << "no own NDIS service needed from Windows 10 on";
  // The Linkage of another instance is read in place of the adapter's own.
  found = Compute(kWin10x64, cs, 9, nullptr, &consistent);
  EXPECT_EQ(std::vector<Found>({{L"Psched", 4, 2, 1}, {L"Tcpip", 2, 10, 1}}), found);
  EXPECT_EQ(0, consistent);
  SetDword(cs, L"Services\\Psched", L"Start", 4);
  found = Compute(kWin10x64, cs, -1);
  EXPECT_EQ(std::vector<Found>({{L"Tcpip", 2, 14, 1}}), found);
  EXPECT_TRUE(Compute(kWin10x64, 43, -1).empty()) << "a control set without any of it";
}

TEST_F(Bindings, Windows7BindingThroughTheWrapperAdapter) {
  const uint32_t cs = 35;
  Scenario(cs);
  // Unbound UpperBind: Tcpip disagrees (Sources 3).
  SetList(cs, OwnLinkage, L"UpperBind", {});
  std::wstring wrapperLinkage =
      std::wstring(L"Control\\Class\\") + kAdapterClass + L"\\0003\\Linkage";
  std::wstring w = nt::GuidString(nt::MakeGuid(110));
  SetText(cs, std::wstring(L"Control\\Class\\") + kAdapterClass + L"\\0003", L"NetCfgInstanceId",
          w);
  SetList(cs, wrapperLinkage, L"RootDevice", {w, L"{old}"});
  SetList(cs, wrapperLinkage, L"UpperBind", {L"Old"});
  std::wstring script = vt::ToWin(vt::ScratchDirUnix()) + L"\\Bind.tmp";
  ASSERT_EQ(1, CreateRegScriptFile(script.c_str()));
  CInfInstaller* inst = Installer(kWin7x86, cs);
  inst->PnpProfileId = 0x77;
  EXPECT_EQ(0, BindNewAdapter(inst, A.c_str(), AdapterKey.c_str(), 3, script.c_str()));

  // The adapter's upper links: the own filter and the bound protocol in the
  // sorted order; the bound NetClient and other NetService are not linked.
  EXPECT_EQ(LayoutBytes({{2, 0}, {1, 0}}), Config(cs));
  EXPECT_EQ(ListBytes({L"Tcpip"}), Get(cs, wrapperLinkage, L"UpperBind"));
  EXPECT_EQ(ListBytes({w, A}), Get(cs, wrapperLinkage, L"RootDevice"));
  EXPECT_EQ(ListBytes({A}), Get(cs, OwnLinkage, L"RootDevice"));
  EXPECT_EQ(ListBytes({L"VRONDIS"}), Get(cs, OwnLinkage, L"UpperBind"));
  std::wstring staged;
  EXPECT_TRUE(
      ReadProfileValue(script.c_str(), Key(cs, wrapperLinkage).c_str(), L"RootDevice", staged));
  EXPECT_TRUE(
      ReadProfileValue(script.c_str(), Key(cs, L"Control\\Network").c_str(), L"Config", staged));

  // The wrapper's NetCfgInstanceId missing: its RootDevice is left alone.
  SetList(cs, wrapperLinkage, L"RootDevice", {L"{kept}"});
  m_.RegDeleteValue(Key(cs, std::wstring(L"Control\\Class\\") + kAdapterClass + L"\\0003").c_str(),
                    L"NetCfgInstanceId");
  SetList(cs, wrapperLinkage, L"UpperBind", {});
  EXPECT_EQ(0, BindNewAdapter(inst, A.c_str(), AdapterKey.c_str(), 3, script.c_str()));
  EXPECT_EQ(ListBytes({L"{kept}"}), Get(cs, wrapperLinkage, L"RootDevice"));
  EXPECT_EQ(ListBytes({L"Tcpip"}), Get(cs, wrapperLinkage, L"UpperBind"));

  // The written values reach the image's SYSTEM file.
  ASSERT_TRUE(m_.Close());
  std::string system = rt::NtfsCat(*disk_, disk_->unixPath, "/Windows/System32/config/SYSTEM",
                                   vt::ScratchDirUnix() + "/SYSTEM.bind");
  EXPECT_EQ("VRONDIS",
            rt::HivexGet(system,
                         "\\ControlSet035\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}"
                         "\\0007\\Linkage",
                         "UpperBind"));
}

TEST_F(Bindings, ConsistentBindingsAreLeftAsTheyAre) {
  const uint32_t cs = 36;
  Scenario(cs, true);
  std::wstring script = vt::ToWin(vt::ScratchDirUnix()) + L"\\Same.tmp";
  ASSERT_EQ(1, CreateRegScriptFile(script.c_str()));
  std::vector<uint8_t> scriptBefore, scriptAfter;
  ASSERT_TRUE(vt::ReadAll(script, scriptBefore));
  CInfInstaller* inst = Installer(kWin7x64, cs);
  inst->PnpProfileId = 0x77;
  EXPECT_EQ(1, BindNewAdapter(inst, A.c_str(), AdapterKey.c_str(), -1, script.c_str()));
  EXPECT_EQ(LayoutBytes({{1, 0}, {2, 0}}, true), Config(cs));
  EXPECT_EQ(ListBytes({L"Tcpip"}), Get(cs, OwnLinkage, L"UpperBind"));
  ASSERT_TRUE(vt::ReadAll(script, scriptAfter));
  EXPECT_FALSE(scriptBefore.empty());
  EXPECT_EQ(scriptBefore, scriptAfter);
}

TEST_F(Bindings, Windows10WritesUpperBindAndProtocolListOnly) {
  const uint32_t cs = 37;
  Scenario(cs, true);
  std::wstring kernel = L"Control\\NetworkSetup2\\Interfaces\\" + A + L"\\Kernel";
  SetList(cs, kernel, L"ProtocolList", {L"Old"});
  SetList(cs, OwnLinkage, L"RootDevice", {A, L"{kept}"});
  CInfInstaller* inst = Installer(kWin10x64, cs);
  EXPECT_EQ(0, BindNewAdapter(inst, A.c_str(), AdapterKey.c_str(), -1, nullptr));
  EXPECT_EQ(LayoutBytes({{2, 0}, {1, 0}}, true), Config(cs));
  EXPECT_EQ(ListBytes({L"Tcpip"}), Get(cs, OwnLinkage, L"UpperBind"));
  EXPECT_EQ(ListBytes({L"Tcpip"}), Get(cs, kernel, L"ProtocolList"));
  EXPECT_EQ(ListBytes({A, L"{kept}"}), Get(cs, OwnLinkage, L"RootDevice"));

  // No bound protocol: both lists become empty lists of four bytes.
  SetList(cs, L"Services\\Tcpip\\Linkage", L"Bind", {L"{other}"});
  EXPECT_EQ(0, BindNewAdapter(inst, A.c_str(), AdapterKey.c_str(), -1, nullptr));
  EXPECT_EQ(std::vector<uint8_t>(4, 0), Get(cs, OwnLinkage, L"UpperBind"));
  EXPECT_EQ(std::vector<uint8_t>(4, 0), Get(cs, kernel, L"ProtocolList"));
}

}  // namespace
