// The identity of a new adapter and its bindings on a real SYSTEM hive.
#include "NetHiveFixture.h"
#include "netcfg/NewAdapterIdentity.h"

namespace {

const uint32_t kWin10x64 = 0x400A00;

// Keys a candidate GUID may have.
enum : unsigned {
  kT1 = 1,      // Tcpip Interfaces
  kT2 = 2,      // Tcpip Adapters
  kLwf = 4,     // VRO_LWF NdisAdapters
  kNdis = 8,    // VRONDIS Adapters
  kConn = 16,   // Control\Network\<class>
  kSetup = 32,  // NetworkSetup2 interface (Kernel key without an index)
};

class NewAdapter : public NetHive {
 protected:
  void Candidate(uint32_t cs, const std::wstring& g, unsigned keys) {
    if (keys & kT1) MakeKey(cs, L"services\\Tcpip\\Parameters\\Interfaces\\" + g);
    if (keys & kT2) MakeKey(cs, L"services\\Tcpip\\Parameters\\Adapters\\" + g);
    if (keys & kLwf) MakeKey(cs, L"services\\VRO_LWF\\Parameters\\NdisAdapters\\" + g);
    if (keys & kNdis) MakeKey(cs, L"services\\VRONDIS\\Parameters\\Adapters\\" + g);
    if (keys & kConn) MakeKey(cs, std::wstring(L"Control\\Network\\") + kAdapterClass + L"\\" + g);
    if (keys & kSetup) MakeKey(cs, L"Control\\NetworkSetup2\\Interfaces\\" + g + L"\\Kernel");
  }
  void KernelIndex(uint32_t cs, const std::wstring& g, uint32_t index) {
    SetDword(cs, L"Control\\NetworkSetup2\\Interfaces\\" + g + L"\\Kernel", L"NetLuidIndex", index);
  }
  void Claim(uint32_t cs, const wchar_t* instance, const std::wstring& g,
             uint32_t characteristics) {
    std::wstring key = std::wstring(L"Control\\Class\\") + kAdapterClass + L"\\" + instance;
    SetText(cs, key, L"NetCfgInstanceId", g);
    SetDword(cs, key, L"Characteristics", characteristics);
  }
  // An NSI records key with one template record of index 0.
  void NsiTemplate(uint32_t cs) {
    std::vector<uint8_t> r = NsiRecord(nt::MakeGuid(99));
    Set(cs, kNsiKey, NsiRecordName(0).c_str(), r.data(), r.size(), HIVE_REG_BINARY);
    MakeKey(cs, kIfTypeKey);
  }
  int32_t Prepare(uint32_t version, uint32_t cs, std::wstring& guid, uint32_t& index) {
    wchar_t out[kAdapterGuidChars] = L"";
    int32_t result = PrepareNewAdapterIdentity(Installer(version, cs), out, &index);
    guid = out;
    return result;
  }
  std::wstring G(uint32_t n) { return nt::GuidString(nt::MakeGuid(n)); }
};

TEST_F(NewAdapter, Windows10TakesTheFirstUnclaimedInterfaceWithAKernelIndex) {
  const uint32_t cs = 30;
  Candidate(cs, G(1), kT1 | kT2 | kLwf | kSetup);  // claimed
  KernelIndex(cs, G(1), 11);
  Claim(cs, L"0001", G(1), 0x84);
  Candidate(cs, G(2), kT1 | kT2 | kLwf | kSetup);  // no NetLuidIndex: skipped
  Candidate(cs, G(3), kT1 | kLwf | kSetup);        // no Tcpip Adapters key
  KernelIndex(cs, G(3), 13);
  Candidate(cs, G(4), kT1 | kT2 | kLwf | kSetup);
  KernelIndex(cs, G(4), 14);
  std::wstring guid;
  uint32_t index = 0;
  EXPECT_EQ(1, Prepare(kWin10x64, cs, guid, index));
  EXPECT_EQ(G(4), guid);
  EXPECT_EQ(14u, index);

  // Without G(4), the claimed but qualified instance G(1) wins in the second
  // source; an unqualified claim (0x80 missing) does not.
  m_.RegDeleteKey(Key(cs, L"Control\\NetworkSetup2\\Interfaces\\" + G(4)).c_str());
  EXPECT_EQ(1, Prepare(kWin10x64, cs, guid, index));
  EXPECT_EQ(G(1), guid);
  EXPECT_EQ(11u, index);
  // Unqualified now (0x80 missing): the third source takes the first filter
  // adapter with both Tcpip keys and asks the NSI registration for its index.
  Claim(cs, L"0001", G(1), 0x04);
  EXPECT_EQ(1, Prepare(kWin10x64, cs, guid, index));
  EXPECT_EQ(G(1), guid);
  EXPECT_EQ(kNsiNoIndex, index) << "no NSI records key";
  NsiTemplate(cs);
  EXPECT_EQ(1, Prepare(kWin10x64, cs, guid, index));
  EXPECT_EQ(G(1), guid);
  EXPECT_EQ(1u, index);
}

TEST_F(NewAdapter, Windows7SourcesInOrder) {
  const uint32_t cs = 31;
  NsiTemplate(cs);
  std::wstring guid;
  uint32_t index = 0;
  EXPECT_EQ(0, Prepare(kWin7x64, cs, guid, index)) << "no own driver keys";
  EXPECT_EQ(kNsiNoIndex, index);

  // The only connection candidate is claimed, but its instance is qualified
  // and has every key of the second source.
  Candidate(cs, G(10), kT1 | kT2 | kNdis | kConn | kSetup);
  KernelIndex(cs, G(10), 40);
  Claim(cs, L"0004", G(10), 0x84);
  EXPECT_EQ(1, Prepare(kWin7x64, cs, guid, index));
  EXPECT_EQ(G(10), guid);
  EXPECT_EQ(1u, index) << "from the NSI registration, never a Kernel key";

  // An unclaimed connection with the filter's key comes first.
  Candidate(cs, G(11), kT1 | kT2 | kLwf | kConn);
  EXPECT_EQ(1, Prepare(kWin7x64, cs, guid, index));
  EXPECT_EQ(G(11), guid);
  EXPECT_EQ(2u, index);
  // The same GUID again: its existing record's index.
  EXPECT_EQ(1, Prepare(kWin7x64, cs, guid, index));
  EXPECT_EQ(2u, index);
}

TEST_F(NewAdapter, Windows7FallsBackToTheOwnDriversAdapterLists) {
  const uint32_t cs = 32;
  NsiTemplate(cs);
  Candidate(cs, G(20), kT1 | kNdis);  // one Tcpip key only
  Candidate(cs, G(21), kT1 | kT2 | kLwf);
  std::wstring guid;
  uint32_t index = 0;
  EXPECT_EQ(1, Prepare(kWin7x86, cs, guid, index));
  EXPECT_EQ(G(21), guid) << "filter adapters after the NDIS service's";
  Candidate(cs, G(22), kT1 | kT2 | kNdis | kSetup);
  KernelIndex(cs, G(22), 50);
  EXPECT_EQ(1, Prepare(kWin7x86, cs, guid, index));
  EXPECT_EQ(G(22), guid);
  EXPECT_EQ(2u, index);
}

}  // namespace
