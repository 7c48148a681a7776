// The registration check of a network adapter on a real SYSTEM hive: a
// complete registration passes, and each missing piece fails it.
#include <functional>

#include "NetHiveFixture.h"
#include "netcfg/AdapterRegistration.h"

namespace {

const uint32_t kWin10x64 = 0x400A00;

class Registration : public NetHive {
 protected:
  std::wstring A = nt::GuidString(nt::MakeGuid(150));
  std::wstring W = nt::GuidString(nt::MakeGuid(151));
  std::wstring AdapterKey = std::wstring(kAdapterClass) + L"\\0009";
  std::wstring Own = std::wstring(L"Control\\Class\\") + kAdapterClass + L"\\0009";
  std::wstring Wrapper = std::wstring(L"Control\\Class\\") + kAdapterClass + L"\\0003";
  std::wstring Trans = L"Control\\Network\\{4d36e975-e325-11ce-bfc1-08002be10318}\\" +
                       nt::GuidString(nt::MakeGuid(152));

  // Everything the setup writes for the adapter, with Tcpip bound through
  // every source of the target and the own NDIS service bound in Config.
  void Complete(uint32_t cs, bool windows10) {
    MakeKey(cs, std::wstring(L"Control\\Network\\") + kAdapterClass + L"\\" + A + L"\\Connection");
    MakeKey(cs, L"Services\\Tcpip\\Parameters\\Interfaces\\" + A);
    MakeKey(cs, L"Services\\Tcpip\\Parameters\\Adapters\\" + A);
    MakeKey(cs, (windows10 ? L"Services\\VRO_LWF\\Parameters\\NdisAdapters\\"
                           : L"Services\\VRONDIS\\Parameters\\Adapters\\") +
                    A);
    SetDword(cs, L"Services\\vroeth", L"Start", 0);
    SetDword(cs, L"Services\\vroeth", L"Type", 1);
    SetText(cs, L"Services\\vroeth", L"Group", L"ndis");
    SetText(cs, L"Services\\vroeth", L"ImagePath", L"\\SystemRoot\\System32\\ntoskrnl.exe");
    SetText(cs, Own + L"\\Files", L"", L"recorded");
    SetList(cs, Own + L"\\Files", L"drv",
            {L"C:\\Windows\\System32\\ntoskrnl.exe", L"C:\\Windows\\System32\\config\\SYSTEM"});
    SetText(cs, Own + L"\\Files", L"note", L"C:\\missing.sys");
    SetList(cs, Own + L"\\Linkage", L"RootDevice", {A});
    SetList(cs, Own + L"\\Linkage", L"Export", {L"\\Device\\" + A});
    SetList(cs, Own + L"\\Linkage", L"UpperBind", {L"VroNdis", L"Tcpip"});
    SetList(cs, Wrapper + L"\\Linkage", L"RootDevice", {W, A});
    SetList(cs, Wrapper + L"\\Linkage", L"UpperBind", {L"Tcpip"});
    SetText(cs, Trans + L"\\Ndi", L"Service", L"Tcpip");
    SetText(cs, Trans + L"\\Ndi\\Interfaces", L"LowerRange", L"ndis5");
    SetText(cs, L"Services\\Tcpip", L"ImagePath", L"system32\\drivers\\tcpip.sys");
    SetList(cs, L"Services\\Tcpip\\Linkage", L"Bind", {L"\\Device\\" + A});
    SetList(cs, L"Services\\Tcpip\\Linkage", L"Route", {L"\"" + A + L"\""});
    if (windows10) {
      SetList(cs, L"Control\\NetworkSetup2\\Interfaces\\" + A + L"\\Kernel", L"ProtocolList",
              {L"Tcpip"});
      return;
    }
    std::wstring vroNdis = L"Control\\Network\\{4d36e974-e325-11ce-bfc1-08002be10318}\\" +
                           nt::GuidString(nt::MakeGuid(153));
    SetText(cs, vroNdis + L"\\Ndi", L"Service", L"VroNdis");
    nt::LayoutValue lv;
    lv.entries = {{nt::MakeGuid(150), 0, 0x84, L"PCI\\VEN_1", L"PCI\\VEN_1\\1"},
                  Entry(152, 2, 0, L"ms_tcpip"),
                  Entry(153, 4, 0, L"vro_ndis")};
    lv.bindings = {{1, 0}, {2, 0}};
    SetConfig(cs, lv);
  }
  int32_t Check(uint32_t version, uint32_t cs, int32_t linkage, const std::wstring& connection) {
    return CheckAdapterRegistration(&m_, version, cs, A.c_str(), L"vroeth", AdapterKey.c_str(),
                                    linkage, connection.c_str());
  }
  void Delete(uint32_t cs, const std::wstring& key) { m_.RegDeleteKey(Key(cs, key).c_str()); }
};

TEST_F(Registration, EachMissingPieceFailsTheCheck) {
  const uint32_t cs = 60;
  Complete(cs, false);
  ASSERT_EQ(1, Check(kWin7x86, cs, 3, A));
  ASSERT_EQ(1, DescribeAdapterRegistration(&m_, kWin7x86, cs, A.c_str(), L"vroeth",
                                           AdapterKey.c_str(), -1, L""))
      << "without a linkage instance no connection key is looked at";

  struct Break {
    const char* what;
    std::function<void()> apply;
  } breaks[] = {
      {"connection key",
       [&] { Delete(cs, std::wstring(L"Control\\Network\\") + kAdapterClass + L"\\" + A); }},
      {"Tcpip interface", [&] { Delete(cs, L"Services\\Tcpip\\Parameters\\Interfaces\\" + A); }},
      {"Tcpip adapter", [&] { Delete(cs, L"Services\\Tcpip\\Parameters\\Adapters\\" + A); }},
      {"own NDIS adapter", [&] { Delete(cs, L"Services\\VRONDIS\\Parameters\\Adapters\\" + A); }},
      {"Start 3", [&] { SetDword(cs, L"Services\\vroeth", L"Start", 3); }},
      {"Type 2", [&] { SetDword(cs, L"Services\\vroeth", L"Type", 2); }},
      {"Group", [&] { SetText(cs, L"Services\\vroeth", L"Group", L"NDIS2"); }},
      {"ImagePath", [&] { m_.RegDeleteValue(Key(cs, L"Services\\vroeth").c_str(), L"ImagePath"); }},
      {"recorded file missing",
       [&] {
         SetList(cs, Own + L"\\Files", L"more",
                 {L"C:\\Windows\\System32\\ntoskrnl.exe", L"C:\\Windows\\gone.sys"});
       }},
      {"recorded entry too short", [&] { SetList(cs, Own + L"\\Files", L"more", {L"C"}); }},
      {"recorded list unterminated, odd length",
       [&] {
         const uint8_t raw[] = {'C', 0, ':', 0, '\\', 0, 'g', 0, 'x'};
         Set(cs, Own + L"\\Files", L"more", raw, sizeof(raw), HIVE_REG_MULTI_SZ);
       }},
      {"image file missing without a record",
       [&] {
         SetText(cs, Own + L"\\Files", L"", L"");
         SetText(cs, L"Services\\vroeth", L"ImagePath", L"system32\\drivers\\gone.sys");
       }},
      {"RootDevice", [&] { SetList(cs, Own + L"\\Linkage", L"RootDevice", {W}); }},
      {"Export", [&] { SetList(cs, Own + L"\\Linkage", L"Export", {A}); }},
      {"UpperBind without VroNdis",
       [&] { SetList(cs, Own + L"\\Linkage", L"UpperBind", {L"Tcpip"}); }},
      {"Connection subkey",
       [&] {
         Delete(cs,
                std::wstring(L"Control\\Network\\") + kAdapterClass + L"\\" + A + L"\\Connection");
       }},
      {"bindings", [&] { SetList(cs, Wrapper + L"\\Linkage", L"UpperBind", {}); }},
  };
  for (const Break& b : breaks) {
    Complete(cs, false);
    m_.RegDeleteValue(Key(cs, Own + L"\\Files").c_str(), L"more");
    ASSERT_EQ(1, Check(kWin7x86, cs, 3, A)) << b.what;
    b.apply();
    EXPECT_EQ(0, Check(kWin7x86, cs, 3, A)) << b.what;
  }
  // Without a record the service's image is looked for.
  Complete(cs, false);
  SetText(cs, Own + L"\\Files", L"", L"");
  EXPECT_EQ(1, Check(kWin7x86, cs, 3, A));
  EXPECT_EQ(0, Check(kWin7x86, cs, 3, W)) << "another connection's key is missing";
  EXPECT_EQ(1, Check(kXpX86, cs, 3, W)) << "no connection key before Windows 6";
}

TEST_F(Registration, Windows10NeedsItsInterfaceKeyInPlaceOfTheOwnNdisService) {
  const uint32_t cs = 61;
  Complete(cs, true);
  SetList(cs, Own + L"\\Linkage", L"UpperBind", {L"Tcpip"});
  EXPECT_EQ(1, Check(kWin10x64, cs, -1, L""));
  EXPECT_EQ(0, Check(kWin7x64, cs, -1, L"")) << "UpperBind without VroNdis before 10";
  Delete(cs, L"Control\\NetworkSetup2\\Interfaces\\" + A);
  EXPECT_EQ(0, Check(kWin10x64, cs, -1, L""));
}

}  // namespace
