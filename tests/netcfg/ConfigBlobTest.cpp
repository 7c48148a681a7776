// The "Config" value in memory: both layouts parsed field by field from
// values the test-only writer builds, edited and written back byte for byte,
// and damaged values (and NSI records, names and bitmaps) that must be
// refused or parsed without a read past their end.
#include <windows.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ConfigLayoutWriter.h"
#include "TestSupport.h"
#include "netcfg/NetRegistry.h"
#include "netcfg/NetworkConfigBlob.h"
#include "netcfg/NsiInterface.h"

namespace {

// Bytes placed so that their end touches a page without access: a read past
// the end of the value faults.
class GuardedBytes {
 public:
  explicit GuardedBytes(size_t capacity) {
    span_ = (capacity + 4095) & ~(size_t)4095;
    base_ = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, span_ + 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    VirtualProtect(base_ + span_, 4096, PAGE_NOACCESS, &old);
  }
  ~GuardedBytes() { VirtualFree(base_, 0, MEM_RELEASE); }
  uint8_t* Place(const std::vector<uint8_t>& v) {
    uint8_t* p = base_ + span_ - v.size();
    if (!v.empty()) memcpy(p, v.data(), v.size());
    return p;
  }

 private:
  uint8_t* base_;
  size_t span_;
};

nt::LayoutValue Sample(bool x64) {
  nt::LayoutValue lv;
  lv.x64 = x64;
  lv.header = 0x11223344;
  lv.tableHeader = 0x55667788;
  lv.entries = {
      {nt::MakeGuid(1), 0, 0x84, L"PCI\\VEN_8086&DEV_10D3",
       L"PCI\\VEN_8086&DEV_10D3\\4&1a2b&0&00E1"},
      {nt::MakeGuid(2), 2, 0xA0, L"ms_tcpip", L""},
      {nt::MakeGuid(3), 4, 0x00, L"vro", L"ROOT\\VRO\\0000"},
      {nt::MakeGuid(4), 5, 0x11, L"abcd", L"x"},
  };
  lv.bindings = {{1, 0}, {2, 0}, {1, 3}};
  lv.tail = {0xAA, 0xBB, 0xCC};
  return lv;
}

void ExpectSameEntries(const nt::LayoutValue& lv, const NetworkConfigBlob& blob) {
  ASSERT_EQ(lv.entries.size(), blob.Entries.size());
  for (size_t i = 0; i < lv.entries.size(); ++i) {
    const nt::LayoutEntry& w = lv.entries[i];
    const NetConfigEntry& e = blob.Entries[i];
    EXPECT_EQ(0, memcmp(&w.guid, &e.guid, 16)) << i;
    EXPECT_EQ(w.classIndex, e.classIndex) << i;
    EXPECT_EQ(w.characteristics, e.characteristics) << i;
    EXPECT_EQ(w.componentId, e.componentId) << i;
    EXPECT_EQ(w.pnpInstanceId, e.pnpInstanceId) << i;
  }
  ASSERT_EQ(lv.bindings.size(), blob.Bindings.size());
  for (size_t i = 0; i < lv.bindings.size(); ++i) {
    EXPECT_EQ(lv.bindings[i].first, blob.Bindings[i].upper) << i;
    EXPECT_EQ(lv.bindings[i].second, blob.Bindings[i].lower) << i;
  }
}

TEST(ConfigBlob, BothLayoutsParsedEditedAndWrittenBack) {
  for (bool x64 : {false, true}) {
    SCOPED_TRACE(x64 ? "64-bit" : "32-bit");
    nt::LayoutValue lv = Sample(x64);
    std::vector<uint8_t> value = nt::WriteLayout(lv);
    NetworkConfigBlob blob(x64);
    ASSERT_EQ(kNetConfigParsed, blob.Parse(value.data(), (uint32_t)value.size()));
    ExpectSameEntries(lv, blob);
    EXPECT_EQ(value.size() - 3 - blob.RecordSize(), blob.RestOffset);
    std::wstring lower = nt::GuidString(lv.entries[1].guid);
    for (wchar_t& c : lower) c = (wchar_t)towlower(c);
    EXPECT_EQ(1u, blob.FindComponent(lower.c_str()));
    EXPECT_EQ(2u, blob.FindComponent(nt::GuidString(nt::MakeGuid(3)).c_str()));
    EXPECT_EQ(4u, blob.FindComponent(L"{00000000-0000-0000-0000-000000000000}"));
    EXPECT_TRUE(blob.HasBinding(1, 3));
    EXPECT_FALSE(blob.HasBinding(3, 1));

    // Unchanged, the copy is the value itself.
    EXPECT_EQ(value, blob.Rebuild(value.data(), 0, 0, {}, 0, blob.Bindings));

    // Entry 2 replaced, a new one appended behind the others, one binding
    // dropped and one added: the writer's value with the same changes.
    std::vector<uint8_t> replacement;
    blob.AppendEntry(replacement, nt::MakeGuid(9), 0, 0x84, L"PCI\\VEN_1", L"PCI\\VEN_1\\3&0");
    std::vector<NetConfigBinding> records = {blob.Bindings[0], blob.Bindings[2]};
    NetConfigBinding added;
    added.upper = 2;
    added.lower = 3;
    records.push_back(added);
    std::vector<uint8_t> edited = blob.Rebuild(value.data(), 2, 3, replacement, 1, records);
    lv.entries[2] = {nt::MakeGuid(9), 0, 0x84, L"PCI\\VEN_1", L"PCI\\VEN_1\\3&0"};
    lv.bindings = {{1, 0}, {1, 3}, {2, 3}};
    EXPECT_EQ(nt::WriteLayout(lv), edited);

    std::vector<uint8_t> appended;
    blob.AppendEntry(appended, nt::MakeGuid(7), 3, 1, L"", L"");
    std::vector<uint8_t> grown = blob.Rebuild(value.data(), 4, 4, appended, 1, blob.Bindings);
    NetworkConfigBlob again(x64);
    ASSERT_EQ(kNetConfigParsed, again.Parse(grown.data(), (uint32_t)grown.size()));
    nt::LayoutValue expected = Sample(x64);
    expected.entries.push_back({nt::MakeGuid(7), 3, 1, L"", L""});
    ExpectSameEntries(expected, again);
    EXPECT_EQ(nt::WriteLayout(expected), grown);
  }
}

TEST(ConfigBlob, SixtyFourBitTextsStartOnEightByteBoundaries) {
  // ComponentId of 3 characters takes 4 units, of 4 characters 8; the
  // instance id follows on the next 8-byte boundary; 32-bit texts are back
  // to back.
  struct Case {
    bool x64;
    const wchar_t* componentId;
    size_t pnpAt;
    size_t size;
  } cases[] = {
      {true, L"abc", 32 + 8, 32 + 8 + 8},     {true, L"abcd", 32 + 16, 32 + 16 + 8},
      {true, L"", 32 + 8, 32 + 8 + 8},        {false, L"abc", 24 + 8, 24 + 8 + 4},
      {false, L"abcd", 24 + 10, 24 + 10 + 4},
  };
  for (const Case& c : cases) {
    NetworkConfigBlob blob(c.x64);
    std::vector<uint8_t> entry;
    blob.AppendEntry(entry, nt::MakeGuid(1), 0, 0x84, c.componentId, L"z");
    EXPECT_EQ(c.size, entry.size()) << vt::Narrow(c.componentId);
    ASSERT_GT(entry.size(), c.pnpAt + 1);
    EXPECT_EQ('z', entry[c.pnpAt]) << c.x64;
    EXPECT_EQ(0, entry[c.pnpAt - 2]);
  }
}

TEST(ConfigBlob, CountsPastTheEndAreRefused) {
  for (bool x64 : {false, true}) {
    nt::LayoutValue lv = Sample(x64);
    std::vector<uint8_t> good = nt::WriteLayout(lv);
    NetworkConfigBlob blob(x64);
    std::vector<uint8_t> v = good;
    v[x64 ? 8 : 4] = 200;  // more entries than the value holds
    EXPECT_EQ(kNetConfigDamaged, blob.Parse(v.data(), (uint32_t)v.size()));
    v = good;
    uint32_t table = 0;
    ASSERT_EQ(kNetConfigParsed, blob.Parse(good.data(), (uint32_t)good.size()));
    table = blob.TableOffset;
    PutLe32(&v[table + (x64 ? 8 : 4)], 0x10000000);  // records past the end
    EXPECT_EQ(kNetConfigDamaged, blob.Parse(v.data(), (uint32_t)v.size()));
    EXPECT_TRUE(blob.Entries.empty());
    // Cut inside the last text: no terminating NUL.
    v.assign(good.begin(), good.begin() + table - (x64 ? 9 : 3));
    EXPECT_EQ(kNetConfigDamaged, blob.Parse(v.data(), (uint32_t)v.size()));
    EXPECT_EQ(kNetConfigEmpty, blob.Parse(v.data(), 0));
  }
}

// Seeded mutations of valid values: each is refused or parsed into offsets
// inside the value, and editing a parsed one stays inside it too.
TEST(ConfigBlob, MutatedValuesNeverReadPastTheirEnd) {
  std::mt19937 rng(20261207);
  GuardedBytes guard(4096);
  int parsed = 0, refused = 0;
  for (bool x64 : {false, true}) {
    const std::vector<uint8_t> good = nt::WriteLayout(Sample(x64));
    for (int round = 0; round < 3000; ++round) {
      std::vector<uint8_t> v = good;
      int edits = 1 + rng() % 4;
      for (int k = 0; k < edits; ++k) {
        switch (rng() % 4) {
          case 0:
            v[rng() % v.size()] = (uint8_t)rng();
            break;
          case 1:
            v[rng() % v.size()] ^= (uint8_t)(1u << (rng() % 8));
            break;
          case 2:
            v.resize(rng() % (v.size() + 1));
            break;
          case 3:
            if (v.size() >= 16) PutLe32(&v[(rng() % (v.size() - 3))], rng() % 8);
            break;
        }
        if (v.empty()) break;
      }
      uint8_t* at = guard.Place(v);
      NetworkConfigBlob blob(x64);
      if (blob.Parse(at, (uint32_t)v.size()) != kNetConfigParsed) {
        ++refused;
        continue;
      }
      ++parsed;
      ASSERT_LE(blob.RestOffset, v.size());
      ASSERT_LE(blob.TableOffset, blob.RestOffset);
      for (const NetConfigEntry& e : blob.Entries) ASSERT_LE(e.end, blob.TableOffset);
      std::vector<uint8_t> edited = blob.Rebuild(at, 0, 1, {}, 0, blob.Bindings);
      ASSERT_LE(edited.size(), v.size());
    }
  }
  EXPECT_GT(parsed, 100);
  EXPECT_GT(refused, 100);
}

TEST(NsiRecord, NamesBitmapsAndShortRecords) {
  struct Name {
    const wchar_t* text;
    bool ok;
    uint32_t index, type;
  } names[] = {
      {L"0000000200000600", true, 2, 6},
      {L"0000000300001800", true, 3, 24},
      {L"FFFFFFFF00000600", true, 0xFFFFFFFF, 6},
      {L"600", true, 0, 6},
      {L"00000002000006000", false, 0, 0},
      {L"0000000g00000600", false, 0, 0},
      {L"", false, 0, 0},
  };
  for (const Name& n : names) {
    uint32_t index = 0, type = 0;
    EXPECT_EQ(n.ok, ParseNsiRecordName(n.text, &index, &type)) << vt::Narrow(n.text);
    if (n.ok) {
      EXPECT_EQ(n.index, index);
      EXPECT_EQ(n.type, type);
    }
  }
  EXPECT_EQ(L"0000002a00000600", NsiRecordName(42));

  // Indices of 32 and above land in their own byte; bytes beyond stay.
  std::vector<uint8_t> bitmap = {0x0B};
  SetNsiIndexBit(bitmap, 2);
  EXPECT_EQ(std::vector<uint8_t>({0x0F}), bitmap);
  SetNsiIndexBit(bitmap, 40);
  EXPECT_EQ(std::vector<uint8_t>({0x0F, 0, 0, 0, 0, 0x01}), bitmap);
  std::vector<uint8_t> wide = {0, 0, 0, 0, 0x80, 0x7F};
  SetNsiIndexBit(wide, 33);
  EXPECT_EQ(std::vector<uint8_t>({0, 0, 0, 0, 0x82, 0x7F}), wide);
  EXPECT_TRUE(NsiIndexBitSet(wide, 46));
  EXPECT_FALSE(NsiIndexBitSet(wide, 47));
  EXPECT_FALSE(NsiIndexBitSet(wide, 48));

  // Records of every length up to past the full one, at the guard's edge.
  GuardedBytes guard(4096);
  std::mt19937 rng(7);
  for (size_t length = 0; length <= kNsiRecordBytes + 8; length += 1 + rng() % 37) {
    std::vector<uint8_t> v(length, 0x5A);
    GUID g;
    EXPECT_EQ(length >= 1056, NsiRecordGuid(guard.Place(v), length, g)) << length;
  }
  GUID guid = nt::MakeGuid(5);
  std::vector<uint8_t> templ(kNsiRecordBytes, 0x33);
  std::vector<uint8_t> record = BuildNsiRecord(guid, templ.data());
  ASSERT_EQ(kNsiRecordBytes, record.size());
  GUID back;
  ASSERT_TRUE(NsiRecordGuid(record.data(), record.size(), back));
  EXPECT_EQ(0, memcmp(&guid, &back, 16));
  EXPECT_EQ(0x01AE, GetLe16(&record[0]));
  EXPECT_EQ(38, GetLe16(&record[520]));
  EXPECT_EQ(6u, GetLe32(&record[1036]));
  EXPECT_EQ(0x33, record[1056]);
  EXPECT_EQ(0x33, record[1071]);
  EXPECT_EQ(1u, GetLe32(&record[1072]));
  EXPECT_EQ(0xFF, record[1156]);
  EXPECT_EQ(0xFF, record[kNsiRecordBytes - 1]);
}

}  // namespace
