// Shared pieces of the store-side driver window tests: the settings file's
// store root, a store filled by the real import from the sample packages of
// the INF installation tests, and reading store files back.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "../infinstall/InfTestUtil.h"
#include "../registry/FacadeTestUtil.h"
#include "TestSupport.h"
#include "common/IniSection.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfImporter.h"
#include "image/mount/MountedImage.h"

namespace st {

inline std::wstring SettingsFile() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring s = exe;
  return s.substr(0, s.rfind(L'.')) + L".ini";
}

inline void SetStoreRoot(const std::wstring& root) {
  ASSERT_TRUE(
      WritePrivateProfileStringW(L"Config", L"DrvPath", root.c_str(), SettingsFile().c_str()));
}

// The driver files of the sample packages, made once per package folder.
inline void MakeDriverFiles(const std::string& dirUnix) {
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(dirUnix) + " && cd " + vt::Q(dirUnix) +
                      " && head -c 70001 /dev/urandom > vronic.sys && head -c 3000 /dev/urandom"
                      " > vronic.dll && printf catalog > vronet.cat && head -c 9000 /dev/urandom"
                      " > vrogfx.sys && printf um > vrogfxum.dll && printf d > vrogfxd.dll"));
}

// A sample INF (vronet.inf or vrodisp.inf, with an optional sed script run
// over it) written with its driver files into <scratch>/<folder>.
inline std::wstring SamplePackage(const std::string& scratchUnix, const std::string& folder,
                                  const std::string& inf, const std::string& substitute = "") {
  std::string dir = scratchUnix + "/" + folder;
  MakeDriverFiles(dir);
  return it::WriteInf(dir, inf, substitute);
}

// Imports an INF into the store folder of the class and target as the
// import workers do; returns the number of models.
inline unsigned ImportIntoStore(CMountedImage* image, int storeClass, uint32_t target,
                                const std::wstring& inf) {
  wchar_t folder[360];
  GetDriverStoreFolder(storeClass, target, folder);
  EXPECT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder))));
  bool net = storeClass == kStoreNetwork;
  CInfImporter importer(
      image, target, 7601, storeClass, net ? L"Net" : L"Display",
      net ? L"{4d36e972-e325-11ce-bfc1-08002be10318}" : L"{4d36e968-e325-11ce-bfc1-08002be10318}",
      nullptr);
  return importer.ImportInf(inf.c_str(), folder);
}

// A whole file as text (UTF-16 with a byte-order mark or 8-bit), "<missing>"
// when it cannot be read: store files are compared whole.
inline std::string FileText(const std::wstring& path) {
  std::vector<uint8_t> b;
  if (!vt::ReadAll(path, b)) return "<missing>";
  if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    std::wstring w;
    for (size_t i = 2; i + 1 < b.size(); i += 2) w += (wchar_t)(b[i] | (b[i + 1] << 8));
    return vt::Narrow(w);
  }
  return std::string(b.begin(), b.end());
}

}  // namespace st
