// Shared pieces of the INF installation tests: the sample driver packages
// (kept as UTF-8 under fixtures/, written out as the UTF-16 files vendors
// ship) and reading a staging script back.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "../registry/FacadeTestUtil.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "infinstall/RegScriptFile.h"

namespace it {

// A sample package INF as UTF-16LE with its byte-order mark in `dir`;
// `substitute` (a sed script) runs over it first, as the store does when it
// cuts a per-device INF.
inline std::wstring WriteInf(const std::string& dirUnix, const std::string& name,
                             const std::string& substitute = "") {
  std::string src = vt::SourceDirUnix() + "/tests/infinstall/fixtures/" + name;
  std::string out = dirUnix + "/" + name;
  std::string filter = substitute.empty() ? "cat" : "sed " + vt::Q(substitute);
  EXPECT_EQ(0, vt::Sh("{ printf '\\377\\376'; " + filter + " " + vt::Q(src) +
                      " | iconv -f UTF-8 -t UTF-16LE; } > " + vt::Q(out)));
  return vt::ToWin(out);
}

// The whole script as text (without its byte-order mark).
inline std::wstring ScriptText(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(vt::ReadAll(path, bytes));
  std::wstring text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2)
    text += (wchar_t)(bytes[i] | (bytes[i + 1] << 8));
  return text;
}

// One staged line's data, or "<none>".
inline std::wstring Staged(const std::wstring& script, const std::wstring& section,
                           const std::wstring& name) {
  std::wstring data;
  if (!ReadProfileValue(script.c_str(), section.c_str(), name.c_str(), data)) return L"<none>";
  return data;
}

// True when the script holds a section of exactly this name.
inline bool HasSection(const std::wstring& script, const std::wstring& section) {
  return ScriptText(script).find(L"\r\n[" + section + L"]\r\n") != std::wstring::npos;
}

// The package folder: a per-device INF cut for the target (or, with
// combined = "MAKER MODELS", the store's combined INF VroPnp.inf), the
// driver files and the catalog.
inline std::wstring MakePackage(const std::string& dir, const std::string& decoration,
                                const std::string& combined = "") {
  std::string pkg = dir + "/pkg";
  EXPECT_EQ(
      0,
      vt::Sh("mkdir -p " + vt::Q(pkg) + " && cd " + vt::Q(pkg) +
             " && head -c 70001 /dev/urandom > vronic.sys && head -c 3000 /dev/urandom > vronic.dll"
             " && printf catalog > vronet.cat"));
  EXPECT_EQ(0, vt::Sh("python3 " + vt::Q(vt::SourceDirUnix() + "/tests/infinstall/resolve-inf.py") +
                      " " + vt::Q(vt::SourceDirUnix() + "/tests/infinstall/fixtures/vronet.inf") +
                      " " + vt::Q(pkg + (combined.empty() ? "/vronet.inf" : "/VroPnp.inf")) + " " +
                      decoration + " " + combined));
  return vt::ToWin(pkg + (combined.empty() ? "/vronet.inf" : "/VroPnp.inf"));
}

// One installation as the driver pages run it: registry pass, file pass,
// import of the script, script deleted.
inline void Install(const rt::WinDisk& d, uint32_t version, const std::wstring& inf,
                    const wchar_t* section) {
  CMountedImage m;
  ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
  ASSERT_EQ(1, m.LoadHives(1 | 2));
  CInfInstaller inst;
  inst.Init(&m, version, 1, kInfClassNet, L"Net", kNetClassGuid, 0, 0);
  std::wstring script = vt::ToWin(d.dir) + L"\\Ins3.tmp";
  wchar_t service[100] = {0}, image[360] = {0};
  ASSERT_NE(0u,
            inst.StageDriverRegistry(inf.c_str(), script.c_str(), L"0007", nullptr,
                                     L"PCI\\VEN_8086&DEV_10D3\\VRO&Node&Pnp", service, image, 360));
  EXPECT_EQ(L"VroNic", std::wstring(service));
  EXPECT_EQ(L"C:\\Windows\\System32\\Drivers\\vronic.sys", std::wstring(image));
  EXPECT_EQ(section, std::wstring(inst.InstallSection));
  EXPECT_EQ(L"Vro Gigabit Network Connection", std::wstring(inst.DeviceDescription));
  ASSERT_EQ(1, inst.CopyDriverFiles(inf.c_str(), script.c_str(),
                                    L"{4d36e972-e325-11ce-bfc1-08002be10318}\\0007"));
  ASSERT_EQ(REG_STATUS_OK, m.ImportRegFile(script.c_str()));
  DeleteFileW(script.c_str());
  // The new file took the old one's place; nothing of the swap is left.
  EXPECT_EQ(1, m.GetPathType(L"\\Windows\\System32\\Drivers\\vronic.sys"));
  EXPECT_EQ(0, m.GetPathType(L"\\Windows\\System32\\Drivers\\vronic.sys.vronew"));
  EXPECT_EQ(0, m.GetPathType(L"\\Windows\\System32\\Drivers\\vronic.sys.vroold"));
}

// A Windows the adapter installations are tried on: the name (also the
// test's scratch subfolder), mk-wintree.sh options, the version word and
// build the store import takes, and whether it is Windows 10 or later.
struct WindowsTarget {
  const char* name;
  const char* tree;
  uint32_t version, build;
  bool windows10;
};

// The adapter configuration the installation's own network drivers
// prepared in an image (the own NDIS driver's list before Windows 10, the
// own filter's from 10 on): a new adapter takes over its GUID. Prepared in
// the control set given (the first unless told), under kPreparedGuid unless
// another GUID is given (an image prepared for several adapters).
const wchar_t kPreparedGuid[] = L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";

inline void PrepareOwnAdapter(const rt::WinDisk& d, bool windows10, unsigned controlSet = 1,
                              const wchar_t* guid = kPreparedGuid) {
  CMountedImage m;
  ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
  ASSERT_EQ(1, m.LoadHives(1));
  wchar_t set[64];
  _snwprintf(set, 64, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet%03u\\services\\", controlSet);
  set[63] = 0;
  const std::wstring services = set;
  for (const wchar_t* k :
       {windows10 ? L"VRO_LWF\\Parameters\\NdisAdapters\\" : L"VRONDIS\\Parameters\\Adapters\\",
        L"Tcpip\\Parameters\\Interfaces\\", L"Tcpip\\Parameters\\Adapters\\"}) {
    uint32_t st = m.RegCreateKey((services + k + guid).c_str());
    ASSERT_TRUE(st == REG_STATUS_OK || st == REG_STATUS_EXISTS);
  }
  ASSERT_TRUE(m.UnloadHives());
}

// Replaces a text of the combined INF of a store version folder (UTF-16, as
// the store keeps it): a store written by hand or by an earlier import.
inline void EditCombinedInf(const std::wstring& version, const std::string& from,
                            const std::string& to) {
  ASSERT_EQ(0, vt::Sh("python3 -c \"import sys; p=sys.argv[1]; t=open(p,encoding='utf-16').read();"
                      " assert sys.argv[2] in t, t; t=t.replace(sys.argv[2],sys.argv[3]);"
                      " open(p,'w',encoding='utf-16').write(t)\" " +
                      vt::Q(vt::ToUnix(version + L"\\VroPnp.inf")) + " " + vt::Q(from) + " " +
                      vt::Q(to)));
}

// The sample's install section in a store version folder takes part of
// itself from an INF beside the combined one: "Include = vroextra.inf" and
// "Needs = Extra.Install", whose file section holds `fileLine` and goes to
// the drivers folder; vroneeds.sys (4321 bytes) lies beside it.
inline void IncludeExtraInf(const std::wstring& version, const std::string& fileLine) {
  const std::string dir = vt::ToUnix(version);
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(dir) + " && head -c 4321 /dev/urandom > vroneeds.sys &&"
                      " printf '[Version]\\r\\nSignature=\"$WINDOWS NT$\"\\r\\n"
                      "[Extra.Install]\\r\\nCopyFiles=Extra.Files\\r\\n"
                      "[Extra.Files]\\r\\n%s\\r\\n[DestinationDirs]\\r\\nExtra.Files=12\\r\\n' " +
                      vt::Q(fileLine) + " > vroextra.inf"));
  EditCombinedInf(version, "CopyFiles=VroNic.CopyFiles",
                  "Include=vroextra.inf\nNeeds=Extra.Install\nCopyFiles=VroNic.CopyFiles");
}

}  // namespace it
