// The staging script and the AddReg/DelReg walkers, without an image: what
// lands in the script, where, and in which order.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "InfTestUtil.h"
#include "TestSupport.h"
#include "common/ProcessEnvironment.h"
#include "common/UnicodeProfile.h"
#include "infinstall/InfInstaller.h"
#include "infinstall/RegScriptFile.h"

namespace {

const wchar_t kRedirect[] =
    L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\VROPNP\\Registry\\1A2B\\";
const wchar_t kDriverKey[] =
    L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\0007";

CInfInstaller Installer(uint64_t profile, uint32_t version = 0x400601) {
  CInfInstaller inst;
  inst.Init(nullptr, version, 1, kInfClassNet, L"Net", kNetClassGuid, 0, profile);
  return inst;
}

size_t CountOf(const std::wstring& text, const std::wstring& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::wstring NewScript(const std::string& dirUnix) {
  std::wstring path = vt::ToWin(dirUnix) + L"\\Ins1.tmp";
  EXPECT_EQ(1, CreateRegScriptFile(path.c_str()));
  return path;
}

TEST(InfInstallerRecord, InitNamesTheStoreFolderAndEmptiesTheNames) {
  for (uint32_t version : {0x400601u, 0x560501u}) {
    CInfInstaller inst;
    wcscpy(inst.InstallSection, L"left over");
    wcscpy(inst.DeviceDescription, L"left over");
    inst.Init(nullptr, version, 1, kInfClassNet, L"Net", kNetClassGuid, 0, 0);
    std::wstring name = inst.StoreFolderName;
    bool x64 = version >> 16 == 64;
    std::wstring prefix = x64 ? L"VroPnp.inf_amd64_" : L"VroPnp.inf_x86_";
    ASSERT_EQ(x64 ? 33u : 31u, name.size()) << vt::Narrow(name);
    EXPECT_EQ(prefix, name.substr(0, prefix.size()));
    std::wstring hex = name.substr(prefix.size());
    EXPECT_EQ(std::wstring::npos, hex.find_first_not_of(L"0123456789abcdef"));
    // Each 16-bit half comes from one draw of 15 bits.
    for (int half = 0; half < 4; ++half) EXPECT_LE(hex[half * 4], L'7');
    EXPECT_EQ(L"", std::wstring(inst.InstallSection));
    EXPECT_EQ(L"", std::wstring(inst.DeviceDescription));
  }
}

// The writes of one installation, as the walkers make them.
void StageSample(const std::wstring& script) {
  const wchar_t* s = script.c_str();
  CInfInstaller plain = Installer(0);
  EXPECT_TRUE(plain.WriteRegValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Y", L"A", L"1", s));
  EXPECT_TRUE(plain.WriteRegValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Y", L"B", L"-", s));
  EXPECT_TRUE(plain.WriteRegValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Y", L"a", L"2", s));  // in place
  EXPECT_TRUE(plain.WriteRegSection(L"-HKEY_LOCAL_MACHINE\\SOFTWARE\\X", L"\0", s));

  CInfInstaller prof = Installer(0x1A2B);
  const wchar_t* soft = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Z";
  EXPECT_TRUE(prof.WriteRegValue(soft, L"N", L"1", s));
  EXPECT_TRUE(prof.WriteRegValue(soft, L"M", L"-", s));
  EXPECT_TRUE(prof.WriteRegValue(soft, L"n", L"3", s));  // moves to the end
  EXPECT_TRUE(prof.WriteRegValue(L"hkey_local_machine\\system\\Foo", L"D", L"-", s));
  EXPECT_TRUE(prof.WriteRegValue(L"HKEY_LOCAL_MACHINE\\SYSTEMX\\Foo", L"E", L"x", s));
  EXPECT_TRUE(prof.WriteRegSection(L"-HKEY_CURRENT_USER\\Software\\X", L"\0", s));
  // A section write replaces what the value writer put there before.
  EXPECT_TRUE(plain.WriteRegValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\W", L"Old", L"1", s));
  EXPECT_TRUE(plain.WriteRegSection(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\W", L"New=2\0Other=3\0", s));
  // Null data removes a line.
  EXPECT_TRUE(plain.WriteRegValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\W", L"other", nullptr, s));
}

TEST(StagingScript, FileFormAndReplacementRules) {
  const std::string dir = vt::ScratchDirUnix();
  std::wstring s = NewScript(dir);
  const std::wstring header = L"Windows Registry Editor Version 5.00\r\n\r\n";
  EXPECT_EQ(header, it::ScriptText(s));
  StageSample(s);

  std::wstring r = kRedirect;
  std::wstring want = header + L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Y]\r\na=2\r\nB=-\r\n" +
                      L"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n" + L"[" + r +
                      L"HKEY_LOCAL_MACHINE/SOFTWARE/Z]\r\nM=#\r\nn=3\r\n" +
                      L"[hkey_local_machine\\system\\Foo]\r\nD=-\r\n" + L"[" + r +
                      L"HKEY_LOCAL_MACHINE/SYSTEMX/Foo]\r\nE=x\r\n" + L"[" + r +
                      L"-HKEY_CURRENT_USER/Software/X]\r\n" +
                      L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\W]\r\nNew=2\r\n";
  EXPECT_EQ(vt::Narrow(want), vt::Narrow(it::ScriptText(s)));

  // Held, the same lines are staged in memory: the file is written when
  // the holder says, and then holds the same text. What is added after a
  // mark is told apart while the sections before it stay as they were.
  const std::wstring held = vt::ToWin(dir) + L"\\Ins2.tmp";
  {
    CProfileHold hold(held.c_str());
    ASSERT_EQ(1, CreateRegScriptFile(held.c_str()));
    StageSample(held);
    EXPECT_EQ(vt::Narrow(header), vt::Narrow(it::ScriptText(held))) << "nothing written yet";
    wchar_t got[8] = L"";
    CInfInstaller plain = Installer(0);
    EXPECT_EQ(1, plain.ReadRegValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Y", L"A", got, 8, held.c_str()));
    EXPECT_EQ(L"2", std::wstring(got));
    ASSERT_EQ(1, hold.Flush());
    EXPECT_EQ(vt::Narrow(want), vt::Narrow(it::ScriptText(held)));

    hold.Mark();
    EXPECT_TRUE(plain.WriteRegValue(L"HKEY_LOCAL_MACHINE\\SYSTEM\\New", L"V", L"1", held.c_str()));
    std::wstring added;
    ASSERT_TRUE(hold.TextAddedSinceMark(&added));
    EXPECT_EQ(vt::Narrow(header + L"[HKEY_LOCAL_MACHINE\\SYSTEM\\New]\r\nV=1\r\n"),
              vt::Narrow(added));
    EXPECT_TRUE(plain.WriteRegValue(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Y", L"C", L"3", held.c_str()));
    EXPECT_FALSE(hold.TextAddedSinceMark(&added)) << "a section from before the mark changed";
  }
  // The last hold written out when it ends.
  std::wstring whole = want + L"[HKEY_LOCAL_MACHINE\\SYSTEM\\New]\r\nV=1\r\n";
  whole.insert(whole.find(L"B=-\r\n") + 5, L"C=3\r\n");
  EXPECT_EQ(vt::Narrow(whole), vt::Narrow(it::ScriptText(held)));
}

TEST(StagingScript, StringDataThatWouldReadAsSomethingElseIsQuoted) {
  // Value names too: an "=", a quote, a backslash, a blank at an end or a
  // section's bracket in front would reach the hive as another name.
  EXPECT_EQ(L"Type", RegScriptValueName(L"Type"));
  EXPECT_EQ(L"@", RegScriptValueName(L"@"));
  EXPECT_EQ(L"\"a=b\"", RegScriptValueName(L"a=b"));
  EXPECT_EQ(L"\"C:\\\\x \\\"y\\\".dll\"", RegScriptValueName(L"C:\\x \"y\".dll"));
  EXPECT_EQ(L"\" lead\"", RegScriptValueName(L" lead"));
  EXPECT_EQ(L"\"[s]\"", RegScriptValueName(L"[s]"));
  {
    const std::wstring s = NewScript(vt::ScratchDirUnix());
    CInfInstaller inst = Installer(0);
    const wchar_t* key = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Y";
    for (const wchar_t* data : {L"1", L"2"})
      EXPECT_TRUE(inst.WriteRegValue(key, L"a=b", data, s.c_str()));
    wchar_t got[8] = L"";
    EXPECT_EQ(1, inst.ReadRegValue(key, L"A=B", got, 8, s.c_str()));
    EXPECT_EQ(L"2", std::wstring(got));
    EXPECT_EQ(1u, CountOf(it::ScriptText(s), L"\r\n\"a=b\"=2\r\n"));
  }
  EXPECT_EQ(L"plain text", RegScriptStringData(L"plain text"));
  EXPECT_EQ(L"{guid}\\\\0007", RegScriptStringData(L"{guid}\\\\0007"));
  for (const wchar_t* s : {L"-", L"dword:1", L"hex:00", L"C:\\\\"})
    EXPECT_EQ(std::wstring(L"\"") + s + L"\"", RegScriptStringData(s)) << vt::Narrow(s);
}

class Walkers : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = vt::ScratchDirUnix();
    inf_ = it::WriteInf(dir_, "vronet.inf");
    script_ = NewScript(dir_);
  }
  std::string dir_;
  std::wstring inf_, script_;
};

TEST_F(Walkers, AddRegOfTheNetworkPackage) {
  CInfInstaller inst = Installer(0);
  {
    // The directory ids the package's values name, as the registry pass
    // defines them for the INF text it reads.
    CProcessEnvironment environment;
    environment.Define(L"11", L"C:\\Windows\\System32");
    environment.Define(L"16422", L"C:\\Program Files");
    ASSERT_TRUE(
        inst.StageAddRegDirectives(L"VroNic.ndi", inf_.c_str(), script_.c_str(), L"0007"));
  }
  EXPECT_EQ("", vt::Narrow(inst.Refusal));
  std::wstring drv = kDriverKey, s = script_;
  auto at = [&](const wchar_t* sub, const wchar_t* name) {
    return vt::Narrow(it::Staged(s, sub ? drv + L"\\" + sub : drv, name));
  };
  // Plain lines of the install section.
  EXPECT_EQ("dword:00000084", at(nullptr, L"Characteristics"));
  EXPECT_EQ("5", at(nullptr, L"BusType"));
  EXPECT_EQ("dword:00000006", at(nullptr, L"*IfType"));
  EXPECT_EQ("dword:000000fe", at(nullptr, L"FeatureScore"));
  EXPECT_EQ("<none>", at(nullptr, L"CopyFiles"));
  EXPECT_EQ("<none>", at(nullptr, L"DelReg"));
  // Adapter parameters start off, "Diskless" on; the INF's defaults stay.
  EXPECT_EQ("3", at(L"Ndi\\params\\*FlowControl", L"default"));
  EXPECT_EQ("0", at(nullptr, L"*FlowControl"));
  EXPECT_EQ("0", at(L"Ndi\\params\\Diskless", L"default"));
  EXPECT_EQ("1", at(nullptr, L"Diskless"));
  EXPECT_EQ("0", at(nullptr, L"*LsoV2IPv4"));
  EXPECT_EQ("<none>", at(nullptr, L"*InterruptModeration"));  // default 0: nothing more
  EXPECT_EQ("0", at(nullptr, L"ITR"));
  // "ITR" is compared with case: "itr" gets no second value.
  EXPECT_EQ(1u, CountOf(it::ScriptText(s), L"\r\nITR=") + CountOf(it::ScriptText(s), L"\r\nitr="));
  EXPECT_EQ("1514", at(L"Ndi\\params\\*JumboPacket", L"default"));
  EXPECT_EQ("<none>", at(nullptr, L"*JumboPacket"));
  // The address is never taken from the INF, but a parameter key may say it.
  EXPECT_EQ("<none>", at(nullptr, L"NetworkAddress"));
  EXPECT_EQ("00AA00BB00CC", at(L"Ndi\\params\\NetworkAddress", L"NetworkAddress"));
  EXPECT_EQ("", at(nullptr, L"EmptyMarker"));
  EXPECT_EQ("{1A2B3C4D-0000-1111-2222-333344445555}de", at(nullptr, L"UserModeDriverGUID"));
  EXPECT_EQ("from the needed section", at(nullptr, L"BaseMarker"));
  EXPECT_EQ(
      "hex(7):65,00,74,00,68,00,65,00,72,00,6e,00,65,00,74,00,00,00,77,00,61,00,6e,00,00,00,"
      "70,00,70,00,69,00,70,00,00,00,00,00",
      at(L"Ndi\\Interfaces", L"Filters"));
  EXPECT_EQ("VroNic", at(L"Ndi", L"Service"));
  // Other roots, the control set, unknown flags, binary data and escapes.
  EXPECT_EQ("dword:00000003",
            vt::Narrow(it::Staged(
                s, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\VroNic\\Parameters",
                L"Start")));
  std::wstring vendor = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\VroVendor\\VroNic";
  // The type in the flags' high word with the binary bit: bytes of a QWORD.
  EXPECT_EQ("hex(b):01,02,03,04,05,06,07,a0", vt::Narrow(it::Staged(s, vendor, L"Quad")));
  EXPECT_EQ("hex:01,a0,ff", vt::Narrow(it::Staged(s, vendor, L"Blob")));
  EXPECT_EQ("{4d36e972-e325-11ce-bfc1-08002be10318}\\\\0007",
            vt::Narrow(it::Staged(s, vendor, L"Driver")));
  EXPECT_EQ(
      "VroNic helper",
      vt::Narrow(it::Staged(
          s,
          L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{11111111-2222-3333-4444-555555555555}",
          L"@")));
  // An empty name, quoted or not, is the key's default value.
  EXPECT_EQ("C:\\\\Windows\\\\System32\\\\vronic.dll",
            vt::Narrow(it::Staged(s,
                                  L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{11111111-2222-"
                                  L"3333-4444-555555555555}\\InprocServer32",
                                  L"@")));
  EXPECT_EQ(std::wstring::npos, it::ScriptText(s).find(L"Ignored"));
}

TEST_F(Walkers, DelRegKeysAndValuesPasses) {
  CInfInstaller inst = Installer(0);
  std::wstring drv = kDriverKey;
  ASSERT_TRUE(inst.StageDelRegDirectives(L"VroNic.ndi", inf_.c_str(), script_.c_str(), L"0007", 1));
  EXPECT_TRUE(it::HasSection(script_, L"-" + drv + L"\\Ndi\\Params"));
  EXPECT_TRUE(it::HasSection(script_, L"-" + drv + L"\\Ndi\\params\\Obsolete"));
  EXPECT_EQ(L"<none>", it::Staged(script_, drv, L"ObsoleteValue"));
  ASSERT_TRUE(inst.StageDelRegDirectives(L"VroNic.ndi", inf_.c_str(), script_.c_str(), L"0007", 0));
  EXPECT_EQ(L"-", it::Staged(script_, drv, L"ObsoleteValue"));
  EXPECT_EQ(L"-",
            it::Staged(script_, L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\VroNic\\Old",
                       L"StaleValue"));

  // The hardware side: its own key, subkeys kept as written.
  std::wstring hw =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D3\\VRO&Node&Pnp"
      L"\\Device Parameters";
  const wchar_t* dev = L"PCI\\VEN_8086&DEV_10D3\\VRO&Node&Pnp";
  EXPECT_TRUE(
      inst.StageDelRegDirectivesHw(L"VroNic.ndi.HW", inf_.c_str(), script_.c_str(), dev, 1));
  EXPECT_TRUE(it::HasSection(script_, L"-" + hw + L"\\Interrupt Management\\Affinity Policy"));
  EXPECT_FALSE(it::HasSection(script_, L"-" + hw + L"\\Ndi\\Params"));
  EXPECT_TRUE(inst.StageAddRegDirectivesHw(L"VroNic.ndi.HW", inf_.c_str(), script_.c_str(), dev));
  EXPECT_EQ(L"dword:00000001",
            it::Staged(script_, hw + L"\\Interrupt Management\\MessageSignaledInterruptProperties",
                       L"MSISupported"));
  EXPECT_EQ(L"dword:00000001", it::Staged(script_, hw, L"MessageSignaledInterruptMode"));

  // DelReg flags as bits: a string taken out of a multi-string (any case),
  // the key whole even with a value named, the type of the value alone;
  // flags it cannot carry out refuse the line.
  std::string flagged = dir_ + "/flags.inf";
  ASSERT_EQ(0, vt::Sh("printf '[List]\r\nHKR, , L, 0x00010000, a, B, c\r\n"
                      "[Strings]\r\nHKR, , L, 0x00018002, b\r\n"
                      "[Keys]\r\nHKR, Sub, Named, 0x00002000\r\nHKR, , Typed, 0x00010001\r\n"
                      "[Bad]\r\nHKR, , Typed, 0x00000040\r\n' > " +
                      vt::Q(flagged)));
  const std::wstring flaggedW = vt::ToWin(flagged);
  ASSERT_TRUE(inst.StageAddRegSection(L"List", flaggedW.c_str(), script_.c_str(), drv.c_str()));
  EXPECT_TRUE(inst.StageDelRegSection(L"Strings", flaggedW.c_str(), script_.c_str(), drv.c_str(), 0));
  EXPECT_EQ(L"hex(7):61,00,00,00,63,00,00,00,00,00", it::Staged(script_, drv, L"L"));
  EXPECT_TRUE(inst.StageDelRegSection(L"Keys", flaggedW.c_str(), script_.c_str(), drv.c_str(), 1));
  EXPECT_TRUE(it::HasSection(script_, L"-" + drv + L"\\Sub"));
  EXPECT_EQ(L"<none>", it::Staged(script_, drv + L"\\Sub", L"Named"));
  EXPECT_TRUE(inst.StageDelRegSection(L"Keys", flaggedW.c_str(), script_.c_str(), drv.c_str(), 0));
  EXPECT_EQ(L"-", it::Staged(script_, drv, L"Typed"));
  EXPECT_EQ(L"", inst.Refusal);
  EXPECT_FALSE(inst.StageDelRegSection(L"Bad", flaggedW.c_str(), script_.c_str(), drv.c_str(), 0));
  EXPECT_NE(std::wstring::npos, inst.Refusal.find(L"[Bad] HKR,,Typed,0x00000040: the flags"))
      << vt::Narrow(inst.Refusal);
}

TEST_F(Walkers, RedirectedProfileAndMissingSections) {
  CInfInstaller inst = Installer(0x1A2B);
  ASSERT_TRUE(
      inst.StageDelRegSection(L"VroNic.delreg", inf_.c_str(), script_.c_str(), kDriverKey, 0));
  ASSERT_TRUE(inst.StageAddRegSection(L"VroNic.reg", inf_.c_str(), script_.c_str(), kDriverKey));
  // SYSTEM keys stay where they are; other roots go to the profile.
  EXPECT_EQ(L"-", it::Staged(script_, kDriverKey, L"ObsoleteValue"));
  EXPECT_EQ(
      L"hex:01,a0,ff",
      it::Staged(script_, std::wstring(kRedirect) + L"HKEY_LOCAL_MACHINE/SOFTWARE/VroVendor/VroNic",
                 L"Blob"));
  EXPECT_FALSE(
      inst.StageAddRegSection(L"NoSuchSection", inf_.c_str(), script_.c_str(), kDriverKey));
  EXPECT_FALSE(
      inst.StageAddRegDirectives(L"VroNic.ndi", L"Z:\\no\\such.inf", script_.c_str(), L"0007"));

  // Keys no hive an offline installation writes holds, and paths through a
  // directory id it does not map: each line is refused by name (the
  // registry pass then refuses the package); the user's keys go to the
  // profile when there is one.
  std::string odd = dir_ + "/odd.inf";
  ASSERT_EQ(0, vt::Sh("printf '[User]\\r\\nHKCU, Software\\\\Vro, A, 0, \"u\"\\r\\n"
                      "[Users]\\r\\nHKU, .DEFAULT\\\\Vro, A, 0, \"u\"\\r\\n"
                      "[Memory]\\r\\nHKLM, HARDWARE\\\\Vro, A, 0, \"m\"\\r\\n"
                      "[Bare]\\r\\nHKLM, SYSTEMX\\\\Vro\\r\\n"
                      "[Odd]\\r\\nHKXX, Ignored\\\\Root, Value, 0, \"x\"\\r\\n"
                      "[Path]\\r\\nHKR, , Helper, 0, \"%%23%%\\\\vro.dll\"\\r\\n"
                      "[Gone]\\r\\nHKCU, Software\\\\Vro\\r\\n' > " +
                      vt::Q(odd)));
  const std::wstring oddW = vt::ToWin(odd);
  CInfInstaller user = Installer(0x1A2B);
  EXPECT_TRUE(user.StageAddRegSection(L"User", oddW.c_str(), script_.c_str(), kDriverKey));
  EXPECT_EQ(L"", user.Refusal);
  EXPECT_EQ(L"u",
            it::Staged(script_, std::wstring(kRedirect) + L"HKEY_CURRENT_USER/Software/Vro", L"A"));
  const struct {
    const wchar_t* section;
    const wchar_t* line;
    bool path;
  } refused[] = {{L"User", L"HKCU,Software\\Vro", false}, {L"Users", L"HKU,.DEFAULT", false},
                 {L"Memory", L"HKLM,HARDWARE", false},    {L"Bare", L"HKLM,SYSTEMX", false},
                 {L"Odd", L"HKXX,Ignored", false},        {L"Path", L"%23%", true},
                 {L"Gone", L"HKCU,Software\\Vro", false}};
  for (const auto& r : refused) {
    SCOPED_TRACE(vt::Narrow(r.section));
    CInfInstaller plain = Installer(0);
    const std::wstring before = it::ScriptText(script_);
    EXPECT_FALSE(
        r.section == std::wstring(L"Gone")
            ? plain.StageDelRegSection(r.section, oddW.c_str(), script_.c_str(), kDriverKey, 1)
            : plain.StageAddRegSection(r.section, oddW.c_str(), script_.c_str(), kDriverKey));
    EXPECT_NE(std::wstring::npos, plain.Refusal.find(std::wstring(L"[") + r.section + L"] "))
        << vt::Narrow(plain.Refusal);
    EXPECT_NE(std::wstring::npos, plain.Refusal.find(r.line)) << vt::Narrow(plain.Refusal);
    EXPECT_EQ(r.path ? 1u : 0u, plain.RefusedPath);
    EXPECT_EQ(before, it::ScriptText(script_));
  }
}

TEST_F(Walkers, NeedsLoopsEnd) {
  // Two install sections that need each other.
  std::string inf = dir_ + "/loop.inf";
  ASSERT_EQ(0, vt::Sh("printf '[A]\\r\\nNeeds=B\\r\\nX=1\\r\\n[B]\\r\\nNeeds=A\\r\\nY=2\\r\\n' > " +
                      vt::Q(inf)));
  CInfInstaller inst = Installer(0);
  std::wstring infW = vt::ToWin(inf);
  EXPECT_TRUE(inst.StageAddRegDirectives(L"A", infW.c_str(), script_.c_str(), L"0001"));
  EXPECT_TRUE(inst.StageDelRegDirectives(L"A", infW.c_str(), script_.c_str(), L"0001", 1));
}

}  // namespace
