// INF import into the store for Windows 7 and Windows 10 targets, read back
// through the store's own lookups and installed from the cut per-device INF;
// the index tidy-up; the mobile-adapter filter.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "../infinstall/InfTestUtil.h"
#include "../registry/FacadeTestUtil.h"
#include "TestSupport.h"
#include "common/IniSection.h"
#include "driverstore/DeviceInf.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfImporter.h"
#include "image/mount/MountedImage.h"

namespace {

std::wstring SettingsFile() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring s = exe;
  return s.substr(0, s.rfind(L'.')) + L".ini";
}

std::wstring Lines(const std::wstring& file, const wchar_t* section) {
  wchar_t* list = ReadIniSection(file.c_str(), section);
  std::wstring out;
  for (const wchar_t* p = list; p && *p; p += wcslen(p) + 1) out += std::wstring(p) + L"|";
  delete[] list;
  return list ? out : L"<none>";
}

struct Target {
  const char* name;
  const char* tree;
  uint32_t version;
  uint32_t build;
  const wchar_t* installSection;
};

TEST(Import, PackageIntoTheStoreThenInstalledFromIt) {
  const Target targets[] = {
      {"win7", "--arch x64 --version 6.1.7601.17514", 0x400601, 7601, L"VroNic.ndi"},
      {"win10", "--arch x64 --version 10.0.19041.1", 0x400A00, 19041, L"VroNic62.ndi"},
  };
  for (const Target& t : targets) {
    SCOPED_TRACE(t.name);
    rt::WinDisk d = rt::MakeWinDisk(t.tree);
    rt::WinDisk plain = rt::MakeWinDisk(t.tree, "mbr2048", "raw", "", "disk.img", "plain");
    std::wstring root = vt::ToWin(d.dir) + L"\\store";
    ASSERT_TRUE(
        WritePrivateProfileStringW(L"Config", L"DrvPath", root.c_str(), SettingsFile().c_str()));
    wchar_t folder[360];
    GetDriverStoreFolder(kStoreNetwork, t.version, folder);
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder)) + " " + vt::Q(d.dir + "/pkg") +
                        " && cd " + vt::Q(d.dir + "/pkg") +
                        " && head -c 70001 /dev/urandom > vronic.sys &&"
                        " head -c 3000 /dev/urandom > vronic.dll && printf catalog > vronet.cat"));
    std::wstring inf = it::WriteInf(d.dir + "/pkg", "vronet.inf");
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    CInfImporter display(&m, t.version, t.build, kStoreDisplay, L"Display",
                         L"{4d36e968-e325-11ce-bfc1-08002be10318}", nullptr);
    EXPECT_EQ(0u, display.ImportInf(inf.c_str(), folder))
        << "a network package is no display driver";
    {
      CInfImporter importer(&m, t.version, t.build, kStoreNetwork, L"Net", kNetClassGuid, nullptr);
      ASSERT_EQ(1u, importer.ImportInf(inf.c_str(), folder));
    }
    // Twice: nothing new.
    CInfImporter again(&m, t.version, t.build, kStoreNetwork, L"Net", kNetClassGuid, nullptr);
    EXPECT_EQ(1u, again.ImportInf(inf.c_str(), folder));

    wchar_t id[100] = L"VEN_8086&DEV_10D3";
    ASSERT_EQ(1, FindDriverInStore(kStoreNetwork, t.version, id, 100));
    std::wstring package = std::wstring(folder) + L"\\" + id;
    wchar_t newest[100] = L"";
    ASSERT_NE(0u, FindNewestVersionFolder((package + L"\\*.*").c_str(), newest));
    EXPECT_EQ(L"12.18.9.7", std::wstring(newest));
    std::wstring version = package + L"\\" + newest, combined = version + L"\\VroPnp.inf";
    EXPECT_TRUE(vt::FileExists(version + L"\\vronic.sys"));
    EXPECT_TRUE(vt::FileExists(version + L"\\vronet.cat"));
    EXPECT_EQ(std::wstring(L"\"Vro Gigabit Network Connection\"=") + t.installSection +
                  L",PCI\\VEN_8086&DEV_10D3|",
              Lines(version + L"\\VroPnp.ini", L"DeviceList"));
    EXPECT_EQ(L"VEN_8086&DEV_10D3|", Lines(version + L"\\VroPnp.ini", L"PCI"));
    EXPECT_EQ(std::wstring::npos, Lines(combined, t.installSection).find(L"%"))
        << "strings expanded, ids kept";
    EXPECT_EQ(L"<none>", Lines(combined, (std::wstring(t.installSection) + L".001").c_str()));
    EXPECT_EQ(L"Vro Vendor", ReadIniValue(combined.c_str(), L"Version", L"Mfg"));

    // Cut for a device and installed: the same hives as from the package.
    const wchar_t* device = L"VEN_8086&DEV_10D3&SUBSYS_00008086&REV_01";
    ASSERT_EQ(1, ExtractDeviceInf(&m, t.version, version.c_str(), L"PCI", device));
    m.Close();
    it::Install(d, t.version, version + L"\\" + device + L".inf", t.installSection);
    it::Install(plain, t.version,
                it::MakePackage(plain.dir, t.version == 0x400601 ? "NTamd64" : "NTamd64.10.0"),
                t.installSection);
    std::string a, b;
    ASSERT_EQ(0, vt::Sh("hivexregedit --export " +
                            vt::Q(rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM",
                                              d.dir + "/S")) +
                            " '\\'",
                        &a));
    ASSERT_EQ(0,
              vt::Sh("hivexregedit --export " +
                         vt::Q(rt::NtfsCat(plain, plain.unixPath, "/Windows/System32/config/SYSTEM",
                                           plain.dir + "/S")) +
                         " '\\'",
                     &b));
    EXPECT_TRUE(a == b) << "installing from the store differs from installing the package";
  }
  DeleteFileW(SettingsFile().c_str());
}

// A package whose sections make the import read or write a file outside
// the package folder or the version folder, in any directive it reaches.
struct HostilePackage {
  const char* name;
  const char* sed;      // run over the sample INF
  const wchar_t* file;  // the name the refusal gives
};

void PrintTo(const HostilePackage& p, std::ostream* os) { *os << p.name; }

class ImportRefuses : public ::testing::TestWithParam<HostilePackage> {};

// Six levels up from the package lands in the scratch folder, from the
// version folder beside the store: both are there to be read and written.
#define ESCAPE "..\\\\..\\\\..\\\\..\\\\..\\\\..\\\\escape.sys"
#define EVIL_FILES "[Evil.Files]\\n"
const wchar_t kEscape[] = L"..\\..\\..\\..\\..\\..\\escape.sys";

const HostilePackage kHostile[] = {
    {"SoftwareSettings",
     "$a [VroNic.ndi.SoftwareSettings]\\nCopyFiles = Evil.Files\\n" EVIL_FILES ESCAPE,
     kEscape},
    {"GeneralConfigData",
     "$a [VroNic.ndi.GeneralConfigData]\\nCopyFiles = Evil.Files\\n" EVIL_FILES ESCAPE,
     kEscape},
    {"AddServiceSection",
     "/^\\[VroNic\\.Service\\]/a CopyFiles = Evil.Files\n$a " EVIL_FILES ESCAPE,
     kEscape},
    {"RenamedSource",
     "$a [VroNic.ndi.SoftwareSettings]\\nCopyFiles = Evil.Files\\n" EVIL_FILES "renamed.sys," ESCAPE,
     kEscape},
    {"ForwardSlashes",
     "$a [VroNic.ndi.GeneralConfigData]\\nCopyFiles = Evil.Files\\n" EVIL_FILES
     "../../../../../../escape.sys",
     L"../../../../../../escape.sys"},
    {"DelFilesOfCoInstallers",
     "$a [VroNic.ndi.CoInstallers]\\nDelFiles = Evil.Files\\n" EVIL_FILES ESCAPE,
     kEscape},
    {"RenFilesOfEventLog",
     "/^\\[VroNic\\.EventLog\\]/a RenFiles = Evil.Files\n$a " EVIL_FILES "new.sys," ESCAPE,
     kEscape},
    {"IncludeThroughNeeds", "/^\\[VroNic\\.Base\\]/a Include = ..\\\\..\\\\evil.inf",
     L"..\\..\\evil.inf"},
    {"StreamInDestinationName",
     "s/^vronic.dll,,,2/vronic.dll:hidden,vronic.dll,,2/", L"vronic.dll:hidden"},
    // A DestinationDirs subfolder is gated as it expands.
    {"SubfolderStringClimbs",
     "s/^VroNic\\.CopyFiles = 12$/VroNic.CopyFiles = 12,%Up%/; s/^DiskName *=.*/&\\nUp = ..\\\\../",
     L"%Up%"},
    // Device names: on Windows they open the console, a serial or printer
    // port, or nothing, never a file of the package.
    {"DeviceName", "s/^vronic.dll,,,2/CON,vronic.dll,,2/", L"CON"},
    {"DeviceNameWithExtension", "s/^vronic.dll,,,2/NUL.sys,vronic.dll,,2/", L"NUL.sys"},
    {"DeviceNameAnyCase", "s/^vronic.dll,,,2/Aux.SYS,vronic.dll,,2/", L"Aux.SYS"},
    {"DeviceNameTrailingDotsAndSpaces", "s/^vronic.dll,,,2/\"com9 . .\",vronic.dll,,2/",
     L"com9 . ."},
    {"DeviceNameAsSource", "s/^vronic.dll,,,2/vronic.dll,LPT1.txt,,2/", L"LPT1.txt"},
    // Where the layout places a file: its subfolder and its disk's path (of
    // the target's architecture) stay in the package too.
    {"LayoutSubfolderClimbs", "s/^vronic.sys = 1$/vronic.sys = 1,..\\\\..\\\\../",
     L"..\\..\\..\\vronic.sys"},
    {"DecoratedDiskPathClimbs",
     "s/^\\[SourceDisksNames\\]$/[SourceDisksNames.amd64]\\n1 = d,,,..\\\\..\\n\\n&/",
     L"..\\..\\vronic.sys"},
    // Names the installation would not place: a target in a subfolder, a
    // source through "..".
    {"TargetInSubfolder", "s/^vronic.dll,,,2/sub\\\\vronic.dll,vronic.dll,,2/",
     L"sub\\vronic.dll"},
    {"SourceThroughParent", "s/^vronic.dll,,,2/vronic.dll,sub\\\\..\\\\vronic.dll,,2/",
     L"sub\\..\\vronic.dll"},
    // A trailing dot or blank: the host drops it, the volume would keep it.
    {"TrailingDot", "s/^vronic.dll,,,2/vronic.dll.,vronic.dll,,2/", L"vronic.dll."},
    {"TrailingBlankQuoted", "s/^vronic.dll,,,2/\"vronic.dll \",vronic.dll,,2/", L"vronic.dll "},
    {"TrailingDotAsSource", "s/^vronic.dll,,,2/vronic.dll,vronic.dll.,,2/", L"vronic.dll."},
    {"DeviceNameInSubfolder", "s/^VroNic\\.CopyFiles = 12$/VroNic.CopyFiles = 12,com3/",
     L"com3"},
    {"CatalogDeviceName", "s/^CatalogFile *= .*/CatalogFile = CON/", L"CON"},
    {"CatalogDeviceNameWithExtension", "s/^CatalogFile *= .*/CatalogFile = nul.cat/", L"nul.cat"},
    {"LayoutDeviceName", "/^CatalogFile/a LayoutFile = PRN.inf", L"PRN.inf"},
    {"IncludeDeviceName", "/^\\[VroNic\\.Base\\]/a Include = lpt9.inf", L"lpt9.inf"},
    // A single file in place of a section: in the package and through the
    // gate like any other.
    {"SingleFileMissing",
     "s/^CopyFiles *= VroNic.CopyFiles$/CopyFiles = VroNic.CopyFiles, @vromissing.sys/",
     L"vromissing.sys"},
    {"SingleFileClimbs", "s/^CopyFiles *= VroNic.CopyFiles$/CopyFiles = @" ESCAPE "/", kEscape},
    {"SingleFileDeviceName", "s/^CopyFiles *= VroNic.CopyFiles$/CopyFiles = @NUL/", L"NUL"},
    {"SingleFileWithoutName", "s/^CopyFiles *= VroNic.CopyFiles$/CopyFiles = VroNic.CopyFiles, @/",
     L"@"},
};

// Refused whole, naming the file, with nothing written anywhere: every file
// and folder of the scratch tree (the store with an earlier version of the
// package in it) as it was.
TEST_P(ImportRefuses, NamesLeavingTheirFolders) {
  const HostilePackage& p = GetParam();
  const std::string top = vt::ScratchDirUnix();
  const std::string root = top + "/s1/s2/store";
  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"DrvPath", vt::ToWin(root).c_str(),
                                         SettingsFile().c_str()));
  wchar_t folder[360];
  GetDriverStoreFolder(kStoreNetwork, 0x400601, folder);
  const std::string pkg = top + "/p1/p2/p3/p4/p5/pkg";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder)) + " " + vt::Q(pkg) + " " +
                      vt::Q(top + "/old") + " && cd " + vt::Q(pkg) +
                      " && head -c 7001 /dev/urandom > vronic.sys &&"
                      " printf dll > vronic.dll && printf catalog > vronet.cat && cp * ../../../../../../old"
                      " && printf outside > ../../../../../../escape.sys"
                      " && printf '[VroNic.Base]\\nCopyFiles = VroNic.CopyFiles\\n' > "
                      "../../evil.inf"));
  {
    CInfImporter importer(nullptr, 0x400601, 7601, kStoreNetwork, L"Net", kNetClassGuid, nullptr);
    ASSERT_EQ(1u, importer.ImportInf(it::WriteInf(top + "/old", "vronet.inf",
                                                  "s/12\\.18\\.9\\.7/12.18.9.6/")
                                         .c_str(),
                                     folder));
  }
  const std::string listing = "cd " + vt::Q(top) +
                              " && find . -printf '%y %p\\n' | sort && find . -type f -print0 |"
                              " sort -z | xargs -0 sha256sum";
  std::string before, after;
  std::wstring inf = it::WriteInf(pkg, "vronet.inf", p.sed);
  ASSERT_EQ(0, vt::Sh(listing, &before));
  CInfImporter importer(nullptr, 0x400601, 7601, kStoreNetwork, L"Net", kNetClassGuid, nullptr);
  EXPECT_EQ(0u, importer.ImportInf(inf.c_str(), folder));
  EXPECT_EQ(std::wstring(p.file), importer.missingFile);
  ASSERT_EQ(0, vt::Sh(listing, &after));
  std::string changed;
  for (size_t at = 0, end; (end = after.find('\n', at)) != std::string::npos; at = end + 1)
    if (before.find(after.substr(at, end - at + 1)) == std::string::npos)
      changed += after.substr(at, end - at + 1);
  EXPECT_TRUE(before == after) << "written:\n" << changed;
  DeleteFileW(SettingsFile().c_str());
}

INSTANTIATE_TEST_SUITE_P(Import, ImportRefuses, ::testing::ValuesIn(kHostile),
                         [](const ::testing::TestParamInfo<HostilePackage>& info) {
                           return std::string(info.param.name);
                         });

TEST(Import, TidyMergesPackagesOfOneVendor) {
  std::wstring root = vt::ScratchDir();
  ASSERT_TRUE(
      WritePrivateProfileStringW(L"Config", L"DrvPath", root.c_str(), SettingsFile().c_str()));
  std::string store = vt::ToUnix(root) + "/Network/6.1_x64";
  ASSERT_EQ(
      0,
      vt::Sh("mkdir -p " + vt::Q(store) + " && cd " + vt::Q(store) +
             " && mkdir -p a/1.0.0.1 b/1.0.0.1 b/2.0.0.0 c/1.0 && printf A > a/1.0.0.1/VroPnp.inf"
             " && printf B > b/1.0.0.1/VroPnp.inf && printf Bini > b/1.0.0.1/VroPnp.ini"
             " && printf new > b/2.0.0.0/drv.sys"));
  rt::WriteRegFile(
      vt::ToWin(store) + L"\\VroDir.ini",
      L"[PCI\\a]\r\nVEN_8086&DEV_1\r\nVEN_8086&DEV_2\r\n[PCI\\b]\r\nVEN_8086&DEV_2\r\nVEN_8086&DEV_3\r\n"
      L"[PCI\\c]\r\nVEN_10EC&DEV_9\r\nVEN_8086&DEV_3\r\n");
  TidyDriverStoreIndex(kStoreNetwork, 0x400601);
  std::wstring index = vt::ToWin(store) + L"\\VroDir.ini";
  EXPECT_EQ(L"VEN_8086&DEV_1|VEN_8086&DEV_2|VEN_8086&DEV_3|", Lines(index, L"PCI\\a"));
  EXPECT_EQ(L"<none>", Lines(index, L"PCI\\b"));
  EXPECT_EQ(L"VEN_10EC&DEV_9|VEN_8086&DEV_3|", Lines(index, L"PCI\\c")) << "another vendor stays";
  std::string out;
  ASSERT_EQ(0, vt::Sh("cd " + vt::Q(store) +
                          " && cat a/1.0.0.1/VroPnp.inf a/1.0.0.1/VroPnp.ini a/2.0.0.0/drv.sys"
                          " && test ! -e b && echo ok",
                      &out));
  EXPECT_EQ("ABininewok\n", out) << "a keeps its own files, takes what it lacked, b is gone";
  DeleteFileW(SettingsFile().c_str());
}

TEST(Import, MobileDisplayModels) {
  EXPECT_TRUE(IsMobileDisplayModel(L"GeForce 8600M GS"));
  EXPECT_TRUE(IsMobileDisplayModel(L"Intel(TM) Graphics"));
  EXPECT_TRUE(IsMobileDisplayModel(L"ATI Mobility Radeon"));
  EXPECT_FALSE(IsMobileDisplayModel(L"ATI Radeon 9600 M"));
  EXPECT_FALSE(IsMobileDisplayModel(L"Radeon 9600M2"));
}

}  // namespace
