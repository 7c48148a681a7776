// The installation's environment and staging against a real image: the
// directory ids of the offline Windows as its substitutions, nothing of the
// host's environment among them, and a staging script imported into the
// hives, checked with hivexregedit against the script read independently
// (regdiff.py).
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "../registry/FacadeTestUtil.h"
#include "InfTestUtil.h"
#include "TestSupport.h"
#include "common/ProgramLanguage.h"
#include "common/TextOps.h"
#include "image/mount/MountedImage.h"
#include "infinstall/InfInstaller.h"
#include "infinstall/InstallEnvironment.h"
#include "infinstall/RegScriptFile.h"

namespace {

std::wstring Env(const wchar_t* name) {
  wchar_t buffer[32768];
  DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
  return n && n < 32768 ? std::wstring(buffer) : L"<unset>";
}

// What the installation substitutes for the references of INF text.
std::wstring Sub(const wchar_t* text) {
  return SubstituteInfReferences(text);
}

struct Target {
  const char* treeOptions;
  uint32_t version;
  const wchar_t* windir;
  const wchar_t* programFilesX86;
  const wchar_t* commonData;
  const wchar_t* wowSystem;  // the folder of 16425 below the Windows folder
};

TEST(InstallEnvironment, DirectoryIdsAndTheHostEnvironment) {
  const Target targets[] = {
      {"--arch x64 --version 6.1.7601.17514", 0x400601, L"C:\\Windows", L"C:\\Program Files (x86)",
       L"C:\\ProgramData", L"\\SysWOW64"},
      {"--arch x86 --version 5.1.2600.5512 --windir WINNT", 0x560501, L"C:\\WINNT",
       L"C:\\Program Files", L"C:\\Documents and Settings\\All Users\\Application Data",
       L"\\System32"},
  };
  // A host variable longer than 400 characters comes back whole.
  std::wstring longPath(1000, L'p');
  longPath = L"C:\\" + longPath;
  ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", longPath.c_str()));
  ASSERT_TRUE(SetEnvironmentVariableW(L"VRO_HOST_MARK", longPath.c_str()));
  for (const Target& t : targets) {
    rt::WinDisk d = rt::MakeWinDisk(t.treeOptions);
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    CInfInstaller inst;
    inst.Init(&m, t.version, 1, kInfClassNet, L"Net", kNetClassGuid, 0, 0);
    {
      CInstallEnvironment env;
      ASSERT_EQ(1, env.Setup(&inst));
      EXPECT_EQ(t.windir, Sub(L"%10%"));
      EXPECT_EQ(std::wstring(t.windir) + L"\\INF", Sub(L"%17%"));
      EXPECT_EQ(std::wstring(t.windir) + L"\\System32\\DriverStore\\FileRepository\\" +
                    inst.StoreFolderName,
                Sub(L"%13%"));
      EXPECT_EQ(L"C:\\", Sub(L"%24%"));
      EXPECT_EQ(t.programFilesX86, Sub(L"%16426%"));
      EXPECT_EQ(L"C:\\Program Files", Sub(L"%16422%"));
      EXPECT_EQ(t.commonData, Sub(L"%16419%"));
      EXPECT_EQ(std::wstring(t.windir) + t.wowSystem, Sub(L"%16425%"));
      // Nothing of the host is substituted, and the host's environment is
      // left as it is.
      EXPECT_EQ(L"%VRO_HOST_MARK% %TEMP% %PATH%", Sub(L"%VRO_HOST_MARK% %TEMP% %PATH%"));
      EXPECT_EQ(longPath, Env(L"VRO_HOST_MARK"));
      EXPECT_EQ(longPath, Env(L"PATH"));
      EXPECT_EQ(L"<unset>", Env(L"10"));
      // A second setup on the same thread is refused, not nested.
      CInstallEnvironment nested;
      EXPECT_EQ(0, nested.Setup(&inst));
    }
    EXPECT_EQ(longPath, Env(L"VRO_HOST_MARK"));
    EXPECT_EQ(L"%10%", Sub(L"%10%"));

    // The INF's strings by the program's interface language (its settings
    // file's), then its primary language's neutral section, then
    // [Strings]; never the host's language.
    const std::wstring inf = vt::ToWin(d.dir) + L"\\lang.inf";
    rt::WriteRegFile(inf,
                     L"[Strings]\r\nA=plain a\r\nB=plain b\r\nC=plain c\r\n"
                     L"[Strings.0011]\r\nA=neutral a\r\nB=neutral b\r\n"
                     L"[Strings.0411]\r\nA=\"日本語 a\"\r\n"
                     L"[Strings.0409]\r\nA=host a\r\nB=host b\r\nC=host c\r\n");
    const std::wstring settings = ProgramSettingsFile();
    for (const auto& lang : {std::make_pair(L"1041", L"日本語 a|neutral b|plain c"),
                             std::make_pair(L"1042", L"plain a|plain b|plain c")}) {
      ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"Language", lang.first, settings.c_str()));
      CInstallEnvironment env;
      ASSERT_EQ(1, env.Setup(&inst, inf.c_str()));
      EXPECT_EQ(lang.second, Sub(L"%A%|%B%|%C%")) << vt::Narrow(lang.first);
    }
    DeleteFileW(settings.c_str());

    // Directory ids as folders of the volume.
    wchar_t path[360];
    const wchar_t* f = t.windir + 2;
    EXPECT_EQ(1, inst.GetDirIdPath(12, nullptr, path, 360));
    EXPECT_EQ(std::wstring(f) + L"\\System32\\Drivers", path);
    EXPECT_EQ(0, inst.GetDirIdPath(16419, nullptr, path, 360));
    EXPECT_EQ(1, inst.GetDirIdPath(16426, nullptr, path, 360));
    EXPECT_EQ(std::wstring(t.programFilesX86 + 2), path);
    EXPECT_EQ(1, inst.GetDirIdPath(16425, nullptr, path, 360));
    EXPECT_EQ(std::wstring(f) + t.wowSystem, path);
    EXPECT_EQ(1, inst.GetDirIdPath(24, L"Drivers", path, 360));
    EXPECT_EQ(L"\\Drivers", std::wstring(path));
    EXPECT_EQ(1, inst.GetDirIdPath(13, nullptr, path, 360));
    // A subpath that leaves its folder names none; nothing is made.
    for (const wchar_t* sub : {L"..\\..\\EvilTop", L"C:\\EvilAbs", L"a\\.. \\..\\b"})
      EXPECT_EQ(0, inst.GetDirIdPath(12, sub, path, 360)) << vt::Narrow(sub);
    EXPECT_EQ(0, m.GetPathType(L"\\Drivers"));
    EXPECT_EQ(0, m.GetPathType(L"\\EvilTop"));
  }
  SetEnvironmentVariableW(L"VRO_HOST_MARK", nullptr);
}

// hivexregedit's export of one hive file of the volume.
std::string ExportHive(const rt::WinDisk& d, const std::string& ntfsPath, const std::string& root,
                       const std::string& out) {
  std::string hive = rt::NtfsCat(d, d.unixPath, ntfsPath, out + ".hive");
  EXPECT_EQ(0, vt::Sh("hivexregedit --export --prefix " + vt::Q(root) + " " + vt::Q(hive) +
                      " '\\' > " + vt::Q(out)));
  return out;
}

TEST(InstallImport, StagedScriptReachesTheHivesExactly) {
  rt::WinDisk d = rt::MakeWinDisk("");
  std::string sysBefore = ExportHive(d, "/Windows/System32/config/SYSTEM",
                                     "HKEY_LOCAL_MACHINE\\SYSTEM", d.dir + "/system-before.reg");
  std::string softBefore =
      ExportHive(d, "/Windows/System32/config/SOFTWARE", "HKEY_LOCAL_MACHINE\\SOFTWARE",
                 d.dir + "/software-before.reg");
  std::wstring inf = it::WriteInf(d.dir, "vronet.inf");
  std::wstring script = vt::ToWin(d.dir) + L"\\Ins2.tmp";
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, m.LoadHives(1 | 2));
    CInfInstaller inst;
    inst.Init(&m, m.GetWindowsVersion(), 1, kInfClassNet, L"Net", kNetClassGuid, 0, 0x1A2B);
    ASSERT_EQ(1, CreateRegScriptFile(script.c_str()));
    {
      CInstallEnvironment env;
      ASSERT_EQ(1, env.Setup(&inst));
      ASSERT_TRUE(
          inst.StageDelRegDirectives(L"VroNic.ndi", inf.c_str(), script.c_str(), L"0007", 1));
      ASSERT_TRUE(
          inst.StageDelRegDirectives(L"VroNic.ndi", inf.c_str(), script.c_str(), L"0007", 0));
      ASSERT_TRUE(inst.StageAddRegDirectives(L"VroNic.ndi", inf.c_str(), script.c_str(), L"0007"));
      ASSERT_TRUE(inst.StageAddRegSection(
          L"VroNic.AddEventLog.reg", inf.c_str(), script.c_str(),
          L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\EventLog\\System\\VroNic"));
    }
    // Values written straight into the hive, mirrored into the script.
    const wchar_t* net = L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Network";
    const wchar_t* soft = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vro";
    uint8_t blob[] = {0x01, 0xA0};
    uint64_t q = 0x1122334455667788ull;
    std::vector<uint8_t> text = rt::Utf16z(L"{4d36e972-e325-11ce-bfc1-08002be10318}\\0007 \"q\"");
    uint32_t created = m.RegCreateKey(net);
    ASSERT_TRUE(created == REG_STATUS_OK || created == REG_STATUS_EXISTS) << std::hex << created;
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(net, L"Blob", blob, 2, 3));
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(net, L"Empty", blob, 0, 3));
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(soft, L"Quad", &q, 8, 11));
    ASSERT_EQ(REG_STATUS_OK, m.RegSetValue(soft, L"Driver", text.data(), (uint32_t)text.size(), 1));
    for (const wchar_t* name : {L"Blob", L"Empty"})
      MirrorValueToStagingScript(&inst, net, name, script.c_str());
    for (const wchar_t* name : {L"Quad", L"Driver"})
      MirrorValueToStagingScript(&inst, soft, name, script.c_str());
    EXPECT_EQ(L"hex:01,a0", it::Staged(script, net, L"Blob"));
    EXPECT_EQ(L"hex:", it::Staged(script, net, L"Empty"));
    std::wstring redirected =
        L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\VROPNP\\Registry\\1A2B\\HKEY_LOCAL_MACHINE/SOFTWARE/Vro";
    EXPECT_EQ(L"hex(b):88,77,66,55,44,33,22,11", it::Staged(script, redirected, L"Quad"));
    // Without a profile the mirror writes nothing.
    CInfInstaller plain = inst;
    plain.PnpProfileId = 0;
    MirrorValueToStagingScript(&plain, soft, L"Quad", script.c_str());
    EXPECT_EQ(L"<none>", it::Staged(script, soft, L"Quad"));
    // SOFTWARE itself keeps nothing of this: the profile holds it.
    ASSERT_EQ(REG_STATUS_OK, m.RegDeleteValue(soft, L"Quad"));
    ASSERT_EQ(REG_STATUS_OK, m.RegDeleteValue(soft, L"Driver"));

    ASSERT_EQ(REG_STATUS_OK, m.ImportRegFile(script.c_str()));
    // What the import gave the hive is the text that was mirrored.
    EXPECT_EQ(L"{4d36e972-e325-11ce-bfc1-08002be10318}\\0007 \"q\"",
              rt::QueryString(m, (redirected).c_str(), L"Driver"));
  }
  std::string sysAfter = ExportHive(d, "/Windows/System32/config/SYSTEM",
                                    "HKEY_LOCAL_MACHINE\\SYSTEM", d.dir + "/system-after.reg");
  std::string softAfter = ExportHive(d, "/Windows/System32/config/SOFTWARE",
                                     "HKEY_LOCAL_MACHINE\\SOFTWARE", d.dir + "/software-after.reg");
  std::string diff = vt::SourceDirUnix() + "/tests/infinstall/regdiff.py";
  std::string out;
  // SYSTEM: the staged script plus the values set directly (mirrored too).
  EXPECT_EQ(0, vt::Sh("python3 " + vt::Q(diff) + " " + vt::Q(sysBefore) + " " + vt::Q(sysAfter) +
                          " " + vt::Q(vt::ToUnix(script)) + " 'HKEY_LOCAL_MACHINE\\SYSTEM'",
                      &out))
      << out;
  EXPECT_EQ(0, vt::Sh("python3 " + vt::Q(diff) + " " + vt::Q(softBefore) + " " + vt::Q(softAfter) +
                          " " + vt::Q(vt::ToUnix(script)) + " 'HKEY_LOCAL_MACHINE\\SOFTWARE'",
                      &out))
      << out;
}

}  // namespace
