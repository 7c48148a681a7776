// The fixture of the network configuration tests on a real SYSTEM hive of a
// fixture image: one disk shared by every test, each test in a control set
// of its own so that the tests do not see each other's keys.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "../registry/FacadeTestUtil.h"
#include "ConfigLayoutWriter.h"
#include "TestSupport.h"
#include "image/mount/MountedImage.h"
#include "common/UnicodeProfile.h"
#include "infinstall/InfInstaller.h"
#include "infinstall/RegScriptFile.h"
#include "netcfg/NetRegistry.h"
#include "netcfg/NetStackQueries.h"
#include "netcfg/NetworkConfig.h"
#include "netcfg/NsiInterface.h"
#include "netcfg/WrapperAdapter.h"
#include "registry/hive/RegTypes.h"

const uint32_t kWin7x64 = 0x400601;
const uint32_t kWin7x86 = 0x560601;
const uint32_t kXpX86 = 0x560501;
const wchar_t kAdapterClass[] = L"{4D36E972-E325-11CE-BFC1-08002BE10318}";

class NetHive : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { disk_ = new rt::WinDisk(rt::MakeWinDisk("")); }
  static void TearDownTestSuite() { delete disk_; }
  void SetUp() override {
    ASSERT_GE(m_.OpenImage(disk_->path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, m_.LoadHives(1));
  }
  std::wstring Key(uint32_t cs, const std::wstring& tail) {
    return SystemKeyPath(cs, L"%s", tail.c_str());
  }
  void Set(uint32_t cs, const std::wstring& key, const wchar_t* name, const void* data, size_t size,
           uint32_t type) {
    std::wstring full = Key(cs, key);
    m_.RegCreateKey(full.c_str());
    ASSERT_EQ(REG_STATUS_OK, m_.RegSetValue(full.c_str(), name, data, (uint32_t)size, type))
        << vt::Narrow(full);
  }
  void SetText(uint32_t cs, const std::wstring& key, const wchar_t* name,
               const std::wstring& text) {
    std::vector<uint8_t> b = rt::Utf16z(text);
    Set(cs, key, name, b.data(), b.size(), HIVE_REG_SZ);
  }
  void SetDword(uint32_t cs, const std::wstring& key, const wchar_t* name, uint32_t v) {
    Set(cs, key, name, &v, 4, HIVE_REG_DWORD);
  }
  void SetList(uint32_t cs, const std::wstring& key, const wchar_t* name,
               const std::vector<std::wstring>& items) {
    std::vector<uint8_t> b;
    for (const std::wstring& s : items) nt::PutText(b, s);
    b.push_back(0);
    b.push_back(0);
    Set(cs, key, name, b.data(), b.size(), HIVE_REG_MULTI_SZ);
  }
  void MakeKey(uint32_t cs, const std::wstring& key) { m_.RegCreateKey(Key(cs, key).c_str()); }
  std::vector<uint8_t> Get(uint32_t cs, const std::wstring& key, const wchar_t* name) {
    std::vector<uint8_t> data;
    if (!ReadRegistryBytes(&m_, Key(cs, key), name, data)) data = {0xDE, 0xAD};
    return data;
  }
  std::vector<uint8_t> ListBytes(const std::vector<std::wstring>& items) {
    std::vector<uint8_t> b;
    for (const std::wstring& s : items) nt::PutText(b, s);
    b.push_back(0);
    b.push_back(0);
    return b;
  }
  void SetConfig(uint32_t cs, const nt::LayoutValue& lv) {
    std::vector<uint8_t> v = nt::WriteLayout(lv);
    Set(cs, L"Control\\Network", L"Config", v.data(), v.size(), HIVE_REG_BINARY);
  }
  std::vector<uint8_t> Config(uint32_t cs) { return Get(cs, L"Control\\Network", L"Config"); }
  // The component's connection key, so that pruning keeps its entry.
  void Connect(uint32_t cs, const wchar_t* classKey, const GUID& g) {
    MakeKey(cs, std::wstring(L"Control\\Network\\") + classKey + L"\\" + nt::GuidString(g));
  }
  CInfInstaller* Installer(uint32_t version, uint32_t cs) {
    inst_.Init(&m_, version, cs, kInfClassNet, L"Net", kNetClassGuid, 0, 0);
    return &inst_;
  }

  static rt::WinDisk* disk_;
  CMountedImage m_;
  CInfInstaller inst_;
};

inline nt::LayoutEntry Entry(uint32_t n, uint32_t cls, uint32_t ch, const std::wstring& id,
                             const std::wstring& pnp = L"") {
  return {nt::MakeGuid(n), cls, ch, id, pnp};
}

inline std::vector<uint8_t> NsiRecord(const GUID& g, uint8_t fill = 0x11) {
  std::vector<uint8_t> r(kNsiRecordBytes, fill);
  memcpy(&r[1040], &g, 16);
  return r;
}
const wchar_t kNsiKey[] = L"Control\\Nsi\\{eb004a11-9b1a-11d4-9123-0050047759bc}\\10";
const wchar_t kIfTypeKey[] = L"Services\\NDIS\\IfTypes\\6";
