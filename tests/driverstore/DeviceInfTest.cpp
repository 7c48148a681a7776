// Per-device INFs: cut out of a store's combined INF for the target Windows
// and build, installable like the package INF itself; and the section copy
// underneath (renames, file lists, services, Include and Needs, strings).
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "../infinstall/InfTestUtil.h"
#include "../registry/FacadeTestUtil.h"
#include "TestSupport.h"
#include "common/IniSection.h"
#include "common/ProcessEnvironment.h"
#include "common/UnicodeProfile.h"
#include "driverstore/DeviceInf.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfSectionCopy.h"
#include "image/mount/MountedImage.h"

namespace {

std::wstring Value(const std::wstring& inf, const wchar_t* section, const wchar_t* key) {
  return ReadIniValue(inf.c_str(), section, key);
}

std::wstring SectionText(const std::wstring& inf, const wchar_t* section) {
  std::wstring lines;
  if (!ReadProfileSection(inf.c_str(), section, lines)) return L"<none>";
  if (!lines.empty()) lines.pop_back();  // the list's closing NUL
  for (wchar_t& c : lines)
    if (!c) c = L'|';
  return lines;
}

TEST(DeviceInf, CutFromTheStoreInstallsLikeThePackage) {
  const char* tree = "--arch x64 --version 6.1.7601.17514";
  rt::WinDisk store = rt::MakeWinDisk(tree);
  rt::WinDisk plain = rt::MakeWinDisk(tree, "mbr2048", "raw", "", "disk.img", "plain");
  // The store: index, two version folders, the newest holding the package.
  std::wstring combined = it::MakePackage(store.dir, "NTamd64.6.1", "VroVendor VroNet.NTamd64");
  std::string root = store.dir + "/pkg";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(store.dir + "/Net/6.1_x64/VEN_8086&DEV_10D3/12.8.0.1") +
                      " && mv " + vt::Q(root) + " " +
                      vt::Q(store.dir + "/Net/6.1_x64/VEN_8086&DEV_10D3/12.18.9.7")));
  std::wstring package = vt::ToWin(store.dir + "/Net/6.1_x64/VEN_8086&DEV_10D3");
  wchar_t newest[100] = L"";
  EXPECT_NE(0u, FindNewestVersionFolder((package + L"\\*.*").c_str(), newest));
  ASSERT_EQ(L"12.18.9.7", std::wstring(newest));
  std::wstring folder = package + L"\\" + newest;

  const wchar_t* device = L"VEN_8086&DEV_10D3&SUBSYS_00008086&REV_01";
  std::wstring perDevice = folder + L"\\" + device + L".inf";
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(store.path.c_str(), nullptr, 0, 0), 0);
    ASSERT_EQ(1, ExtractDeviceInf(&m, 0x400601, folder.c_str(), L"PCI", device));
    EXPECT_EQ(1, ExtractDeviceInf(&m, 0x400601, folder.c_str(), L"PCI", device))
        << "a complete file is reused";
  }
  EXPECT_EQ(L"1", Value(perDevice, L"Version", L"Success"));
  EXPECT_EQ(L"VroVendor,NTamd64.6.1", Value(perDevice, L"Manufacturer", L"VroVendor"));
  EXPECT_EQ(
      L"\"Vro Gigabit Network Connection\"=VroNic.ndi,PCI\\VEN_8086&DEV_10D3&SUBSYS_00008086&REV_01|",
      SectionText(perDevice, L"VroVendor.NTamd64.6.1"));
  EXPECT_EQ(L"1", Value(perDevice, L"SourceDisksFiles", L"vronic.sys"));
  EXPECT_EQ(L"12", Value(perDevice, L"DestinationDirs", L"VroNic.CopyFiles"));

  // Installing from it gives the hives that installing from the package does.
  it::Install(store, 0x400601, perDevice, L"VroNic.ndi");
  it::Install(plain, 0x400601, it::MakePackage(plain.dir, "NTamd64"), L"VroNic.ndi");
  std::string a, b;
  std::string sysA =
      rt::NtfsCat(store, store.unixPath, "/Windows/System32/config/SYSTEM", store.dir + "/SYSTEM");
  std::string sysB =
      rt::NtfsCat(plain, plain.unixPath, "/Windows/System32/config/SYSTEM", plain.dir + "/SYSTEM");
  ASSERT_EQ(0, vt::Sh("hivexregedit --export " + vt::Q(sysA) + " '\\' | sort", &a));
  ASSERT_EQ(0, vt::Sh("hivexregedit --export " + vt::Q(sysB) + " '\\' | sort", &b));
  EXPECT_TRUE(a == b) << "installing from the cut INF differs; diff "
                      << vt::Sh("diff <(hivexregedit --export " + vt::Q(sysA) +
                                " '\\') <(hivexregedit --export " + vt::Q(sysB) + " '\\') >&2");
}

// A combined INF written by hand: one maker with models for Windows 7 with
// and without SP1 and for x86, and two install sections.
const wchar_t kCombined[] =
    L"[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=Net\r\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\r\n"
    L"Provider=Vro\r\nDriverVer=01/02/2020,1.2.3.4\r\n"
    L"[Manufacturer]\r\nIntel=Intel,NTamd64.6.1,NTamd64.6.1.7601,NTx86\r\n"
    L"[Intel.NTamd64.6.1]\r\n\"Loose\"=SecLoose,PCI\\VEN_10EC&DEV_8168&SUBSYS_12345678\r\n"
    L"\"Near\"=SecA,PCI\\VEN_10EC&DEV_8168&REV_01\r\n"
    L"[Intel.NTamd64.6.1.7601]\r\n\"Sp1\"=SecB,PCI\\VEN_10EC&DEV_8168\r\n"
    L"[Intel.NTx86]\r\n\"X86\"=SecX,PCI\\VEN_10EC&DEV_8168\r\n"
    L"[SecA]\r\nCopyFiles=Files\r\n[SecA.Services]\r\nAddService=svc,2,Svc\r\n"
    L"[SecLoose]\r\nCopyFiles=Files\r\n[SecLoose.Services]\r\nAddService=svc,2,Svc\r\n"
    L"[SecB]\r\nCopyFiles=Files\r\n[SecB.Services]\r\nAddService=svc,2,Svc\r\n"
    L"[SecX]\r\nCopyFiles=Files\r\n[SecX.Services]\r\nAddService=svc,2,Svc\r\n"
    L"[Files]\r\na.sys\r\n[Svc]\r\nServiceType=1\r\n";

TEST(DeviceInf, TargetBuildAndPassOrder) {
  const wchar_t* device = L"VEN_10EC&DEV_8168&SUBSYS_00011458&REV_06";
  struct Case {
    const char* version;
    const wchar_t* section;
  } cases[] = {
      // Without SP1 only the plain 6.1 models count, and there the near id
      // (pass 4) beats the loose one (pass 5) listed before it.
      {"6.1.7600.16385", L"SecA"},
      // With SP1 the greater name is the only models section tried.
      {"6.1.7601.17514", L"SecB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    rt::WinDisk d = rt::MakeWinDisk(std::string("--arch x64 --version ") + c.version);
    std::wstring folder = vt::ToWin(d.dir);
    rt::WriteRegFile(folder + L"\\VroPnp.inf", kCombined);
    ASSERT_EQ(0, vt::Sh("printf driver > " + vt::Q(d.dir + "/a.sys")));
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
    // A file left unfinished by a run that was stopped does not block.
    std::wstring perDevice = folder + L"\\" + device + L".inf";
    rt::WriteRegFile(perDevice, L"[Version]\r\nClass=Net\r\n");
    ASSERT_EQ(1, ExtractDeviceInf(&m, 0x400601, folder.c_str(), L"PCI", device));
    std::wstring models = SectionText(perDevice, L"Vro.NTamd64.6.1");  // named after the provider
    EXPECT_NE(std::wstring::npos, models.find(std::wstring(L"=") + c.section + L","))
        << vt::Narrow(models);
    EXPECT_EQ(0, ExtractDeviceInf(&m, 0x400601, folder.c_str(), L"PCI", L"VEN_FFFF&DEV_0001"));
    EXPECT_FALSE(vt::FileExists(folder + L"\\VEN_FFFF&DEV_0001.inf"));
  }
}

TEST(InfSectionCopy, RenamesFilesServicesStringsAndNeeds) {
  // The image's own Windows\Inf carries netx.inf, which the package lacks.
  rt::WinDisk d =
      rt::MakeWinDisk("", "mbr2048", "raw",
                      "mkdir -p Windows/Inf && printf '[X.Install]\\r\\nAddReg=X.Reg\\r\\n"
                      "[X.Reg]\\r\\nHKR,,FromNetx,0,1\\r\\n' > Windows/Inf/netx.inf");
  std::wstring dir = vt::ToWin(d.dir);
  std::wstring pkg = dir + L"\\pkg.inf", target = dir + L"\\out\\VroPnp.inf";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(d.dir + "/out") + " && printf old > " +
                      vt::Q(d.dir + "/old.sys")));
  rt::WriteRegFile(
      pkg,
      L"[Inst]\r\nInclude=netx.inf\r\nNeeds=X.Install\r\nAddReg=Common\r\nCopyFiles=Files\r\n"
      L"AddService=only,two\r\nAddService=svc,2,Svc,Evt\r\nDesc=%Name%\r\n"
      L"[Common]\r\nHKR,,A,0,1\r\n[Files]\r\nnew.sys,old.sys\r\n[Svc]\r\nServiceType=1\r\n"
      L"[Evt]\r\nAddReg=Common\r\n[DestinationDirs]\r\nFiles=12\r\n"
      L"[Strings]\r\nName=\"plain\"\r\n[Strings.0804]\r\nName=\"中文\"\r\n");
  ASSERT_EQ(1, WriteUnicodeFile(target.c_str(), L""));
  CMountedImage m;
  ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
  // Two sections of the combined INF exist already.
  std::vector<InfRenameRecord> renames = {{L"Common", L"Common"}, {L"Common.001", L"Common.001"}};
  std::unique_ptr<CProcessEnvironment> strings = LoadInfStrings(pkg.c_str(), 0x0804);
  uint32_t bits = CopyInstallSectionTree(&m, pkg.c_str(), target.c_str(), dir.c_str(), L"Inst",
                                         L"Inst", renames, true);
  RestoreInfStrings(pkg.c_str(), std::move(strings));
  EXPECT_EQ(kInfCopiedFile | kInfCopiedService | kInfCopiedAddReg, bits);
  std::wstring inst = SectionText(target, L"Inst");
  EXPECT_NE(std::wstring::npos, inst.find(L"AddReg=Common.002|")) << vt::Narrow(inst);
  EXPECT_NE(std::wstring::npos, inst.find(L"AddService=svc,2,Svc,Evt|")) << vt::Narrow(inst);
  EXPECT_EQ(std::wstring::npos, inst.find(L"only,two"))
      << "an AddService with two fields is dropped";
  EXPECT_NE(std::wstring::npos, inst.find(L"Desc=中文|")) << "the interface language's strings win";
  EXPECT_NE(std::wstring::npos, inst.find(L"AddReg=X.Reg|")) << "Needs from the image's netx.inf";
  EXPECT_EQ(L"HKR,,FromNetx,0,1|", SectionText(target, L"X.Reg"));
  EXPECT_EQ(L"HKR,,A,0,1|", SectionText(target, L"Common.002"));
  EXPECT_EQ(L"1", Value(target, L"SourceDisksFiles", L"old.sys"));
  EXPECT_EQ(L"12", Value(target, L"DestinationDirs", L"Files"));
  EXPECT_TRUE(vt::FileExists(dir + L"\\out\\old.sys"));
  EXPECT_EQ(L"%Name%", std::wstring(_wgetenv(L"Name") ? L"set" : L"%Name%"))
      << "strings are gone after the copy";
}

TEST(InfSectionCopy, DeviceInfWriterSets) {
  std::wstring dir = vt::ScratchDir();
  std::wstring src = dir + L"\\VroPnp.inf";
  ASSERT_EQ(0, vt::Sh("printf x > " + vt::Q(vt::ToUnix(dir) + "/x.sys")));
  rt::WriteRegFile(
      src,
      L"[Version]\r\nClass=Net\r\nCatalogFile=c.cat\r\n"
      L"[X.NTamd64]\r\nCopyFiles=F\r\n[X.NTamd64.Services]\r\nAddService=s,2,S\r\n[S]\r\nServiceType=1\r\n"
      L"[NoSvc]\r\nCopyFiles=F\r\n[F]\r\nx.sys\r\n");
  std::wstring out = dir + L"\\dev.inf", out2 = dir + L"\\dev2.inf";
  ASSERT_EQ(1, WriteUnicodeFile(out.c_str(), L""));
  ASSERT_EQ(1, WriteUnicodeFile(out2.c_str(), L""));
  // A model naming X.NTamd64 is written from the plain set.
  EXPECT_EQ(1, WriteDeviceInf(nullptr, 0x400601, dir.c_str(), src.c_str(), src.c_str(),
                              L"ACME, Inc.", L"Card", L"PCI\\VEN_1", L"X.NTamd64", out.c_str()));
  EXPECT_EQ(L"ACMEInc,NTamd64.6.1", Value(out, L"Manufacturer", L"ACMEInc"));
  EXPECT_EQ(L"X.NTamd64,PCI\\VEN_1", Value(out, L"ACMEInc.NTamd64.6.1", L"\"Card\""));
  EXPECT_EQ(L"c.cat", Value(out, L"Version", L"CatalogFile"));
  EXPECT_EQ(L"s,2,S|", SectionText(out, L"X.NTamd64.Services").substr(11));
  // A virtual adapter is marked in any of the decorated install sections.
  std::wstring net = dir + L"\\net.inf";
  rt::WriteRegFile(net,
                   L"[Version]\r\nClass=Net\r\nClassGUID={4D36E972-E325-11CE-BFC1-08002BE10318}\r\n"
                   L"[V.NTamd64]\r\nCharacteristics=0x84\r\n[V]\r\nCharacteristics=0x1\r\n");
  EXPECT_EQ(1, IsVirtualNetInf(0x400601, L"V", net.c_str()));
  EXPECT_EQ(0, IsVirtualNetInf(0x400601, L"V", src.c_str())) << "not a network INF";
  // Files without a service do not make a driver.
  EXPECT_EQ(0, WriteDeviceInf(nullptr, 0x400601, dir.c_str(), src.c_str(), src.c_str(), L"ACME",
                              L"Card", L"PCI\\VEN_1", L"NoSvc", out2.c_str()));
}

}  // namespace
