// The built program at the X display installing drivers into a Windows 7
// image through its driver windows (Ctrl+E: the network page's update, the
// setup dialog's install): a package that cannot be installed whole is
// refused before anything is written, the working driver stays, a box
// names the package with the line the command line prints for it, a run of
// several packages installs the good ones and names the failed one, and
// each new adapter gets its own NetCfgInstanceId. Read back, once the
// program has ended, with ntfscat, hivexget and cmp.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "../../../infinstall/InfTestUtil.h"
#include "../../../registry/FacadeTestUtil.h"
#include "../SessionHarness.h"
#include "TestSupport.h"
#include "driverstore/DriverStore.h"
#include "driverstore/InfImporter.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"

namespace {

using namespace session;

const wchar_t kDevice[] = L"VEN_8086&DEV_10D3&SUBSYS_00008086&REV_01";
const char kNetClass[] = "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";

// A sample network package (the test INF with `sed` applied; its driver file
// named `sys`) imported into the store folder; extra files made beside.
void ImportPackage(const rt::WinDisk& d, const std::wstring& folder, const std::string& name,
                   const std::string& sys, const std::string& sed,
                   const std::string& extraFiles = "") {
  const std::string pkg = d.dir + "/" + name;
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(vt::ToUnix(folder)) + " " + vt::Q(pkg) + " && cd " +
                      vt::Q(pkg) + " && head -c 70001 /dev/urandom > " + vt::Q(sys) +
                      " && head -c 3000 /dev/urandom > vronic.dll && printf catalog > vronet.cat" +
                      (extraFiles.empty() ? "" : " && for f in " + extraFiles +
                                                     "; do head -c 999 /dev/urandom > $f; done")));
  std::wstring inf = it::WriteInf(pkg, "vronet.inf", "s/vronic\\.sys/" + sys + "/g;" + sed);
  CMountedImage m;
  ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 0), 0);
  CInfImporter importer(&m, 0x400601, 7601, kStoreNetwork, L"Net", kNetClassGuid, nullptr);
  ASSERT_EQ(1u, importer.ImportInf(inf.c_str(), folder.c_str())) << name;
}

// A CopyFiles section of one file to directory id 23, which the
// installation maps nowhere.
const std::string kUnmappedFile =
    "s/^CopyFiles *= VroNic.CopyFiles$/CopyFiles = VroNic.CopyFiles, VroNic.Extra/;"
    " s/^\\[SourceDisksNames\\]$/[VroNic.Extra]\\nextra.dll,,,2\\n\\n&/;"
    " s/^vronic.dll = 1$/&\\nextra.dll = 1/; s/^VroNic.CopyFiles = 12$/&\\nVroNic.Extra = 23/";

// The window's own words before the list of failed packages.
std::wstring RefusalHead(LANGID language) {
  wchar_t text[400] = L"";
  LoadUiString(GetModuleHandleW(nullptr), IDS_DRIVER_INSTALL_REFUSED, language, text, 400);
  std::wstring head = text;
  return head.substr(0, head.find(L"%s"));
}

// The program with the image open and the driver window up on its network
// page; the store it uses is `store`.
struct DriverWindow {
  Program program;
  std::string dir;
  HWND manager = nullptr, page = nullptr, list = nullptr;

  void Open(const rt::WinDisk& d, const std::wstring& store, const std::string& language) {
    dir = d.dir + "/program";
    ASSERT_EQ(0, vt::Sh(Program::Prepare(dir, language)));
    ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"DrvPath", store.c_str(),
                                           vt::ToWin(dir + "/VroMount.ini").c_str()));
    ASSERT_NO_FATAL_FAILURE(program.Start(dir, IDC_IMAGE_LIST));
    HWND main = program.main, images = GetDlgItem(main, IDC_IMAGE_LIST);
    ASSERT_NO_FATAL_FAILURE(ClickAndType(program.ui, GetDlgItem(main, IDC_IMAGE_ADDRESS), d.path));
    ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key Return"));
    std::string at;
    ASSERT_TRUE(Poll([&] { return ItemCentre(program.pi.hProcess, images, L"Windows", &at); }))
        << "the image's Windows is not listed";
    ASSERT_NO_FATAL_FAILURE(KeysTo(program.ui, main, "key ctrl+e"));
    ASSERT_TRUE(Poll([&] { return (manager = FindTopWindow(program.id, 1018)) != nullptr; }))
        << "Ctrl+E opened no driver window";
    page = GetDlgItem(manager, 138);
    list = GetDlgItem(page, 1001);
    ASSERT_TRUE(page && list);
    ASSERT_TRUE(Poll([&] { return Gui(program.ui).hwndActive == manager; }));
  }

  int Row(const std::wstring& name) {
    std::vector<std::wstring> names = ListNames(program.pi.hProcess, list);
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == name) return int(i);
    return -1;
  }

  void Click(HWND button) {
    ASSERT_TRUE(Poll([&] { return IsWindowEnabled(button) != FALSE; })) << "the button is off";
    ASSERT_NO_FATAL_FAILURE(PointAt(button, Centre(button)));
    ASSERT_TRUE(Xdo("click 1"));
  }

  // The box that comes next: its text, then answered.
  std::wstring TakeBox() {
    HWND box = AwaitBox(program);
    if (!box) return L"";
    std::wstring said = Text(GetDlgItem(box, 0xFFFF));
    AnswerBox(box, "Return");
    return said;
  }

  // The driver window closed (its hives written back), then the program.
  void Close() {
    PostMessageW(manager, WM_CLOSE, 0, 0);
    ASSERT_TRUE(Poll([&] { return !IsWindow(manager); }));
    ASSERT_TRUE(Poll([&] { return Gui(program.ui).hwndActive == program.main; }));
    ASSERT_NO_FATAL_FAILURE(MenuKey(program.ui, program.main, "alt+f", "x"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(program.pi.hProcess, 30000));
  }
};

// The command line of the program copy that uses the same store.
DWORD AddAdapter(const DriverWindow& w, const rt::WinDisk& d, std::string* out) {
  DWORD code = 0xDEADBEEF;
  EXPECT_TRUE(apptest::RunProgram(L"\"-img:" + d.path + L"\" /iadapter:2:" + kDevice + L":001",
                                  code, out, vt::ToWin(w.dir + "/VroMount.exe")));
  return code;
}

// 1.0.0.1 installed (its service on old1.sys); the store's 1.0.0.2 uses
// new2.sys and places one file where the installation maps nothing. The
// command line refuses it (-9); the network page's update refuses it alike
// with a box that names the row and gives the command line's line, the row
// stays 1.0.0.1, and when the window has closed old1.sys, the service
// naming it and the driver key are as they were.
TEST(DriverWindowSession, FailedUpdateKeepsTheWorkingDriver) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  rt::WinDisk d = rt::MakeWinDisk("--arch x64 --version 6.1.7601.17514");
  it::PrepareOwnAdapter(d, false);
  const std::wstring store = vt::ToWin(d.dir) + L"\\store";
  const std::wstring folder = store + L"\\Network\\6.1_x64";
  ASSERT_NO_FATAL_FAILURE(
      ImportPackage(d, folder, "v1", "old1.sys", "s/12\\.18\\.9\\.7/1.0.0.1/"));
  DriverWindow w;
  w.dir = d.dir + "/program";
  ASSERT_EQ(0, vt::Sh(Program::Prepare(w.dir, "2052")));
  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"DrvPath", store.c_str(),
                                         vt::ToWin(w.dir + "/VroMount.ini").c_str()));
  ASSERT_EQ(0u, AddAdapter(w, d, nullptr));
  ASSERT_NO_FATAL_FAILURE(ImportPackage(d, folder, "v2", "new2.sys",
                                        "s/12\\.18\\.9\\.7/1.0.0.2/;" + kUnmappedFile,
                                        "extra.dll"));
  const std::string sys = "ControlSet001\\services\\VroNic";
  auto hive = [&](const std::string& name) {
    return rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/" + name);
  };
  const std::string before = hive("SYSTEM.before");
  // The page loads every hive: the package's keys of SOFTWARE went in with
  // the first installation, and the failed update leaves that hive as it was.
  auto software = [&](const std::string& name) {
    return rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SOFTWARE", d.dir + "/" + name);
  };
  const std::string softwareBefore = software("SOFTWARE.before");
  EXPECT_EQ("C:\\Program Files\\VroVendor",
            rt::HivexGet(softwareBefore, "VroVendor\\VroNic", "InstallDir"));
  const std::string imagePath = rt::HivexGet(before, sys, "ImagePath");
  ASSERT_NE(std::string::npos, imagePath.find("old1.sys")) << imagePath;
  const std::string old1 = vt::Sha256(vt::ToWin(d.dir + "/v1/old1.sys"));

  std::string line;
  EXPECT_EQ(DWORD(-9), AddAdapter(w, d, &line));
  ASSERT_NE(std::string::npos, line.find("VroNic.Extra")) << line;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();

  ASSERT_NO_FATAL_FAILURE(w.Open(d, store, "2052"));
  const int row = w.Row(L"Vro Gigabit Network Connection");
  ASSERT_GE(row, 0);
  EXPECT_EQ(L"1.0.0.1", CellText(w.program.pi.hProcess, w.list, row, 1));
  EXPECT_EQ(L"1.0.0.2", CellText(w.program.pi.hProcess, w.list, row, 2));
  std::string at;
  ASSERT_TRUE(ItemCentre(w.program.pi.hProcess, w.list, L"Vro Gigabit Network Connection", &at));
  ASSERT_NO_FATAL_FAILURE(ClickToSelect(w.program.ui, w.list, at, row));
  ASSERT_NO_FATAL_FAILURE(w.Click(GetDlgItem(w.page, 1002)));
  const std::wstring said = w.TakeBox();
  EXPECT_EQ(0u, said.find(RefusalHead(2052))) << vt::Narrow(said);
  EXPECT_NE(std::wstring::npos, said.find(L"Vro Gigabit Network Connection 1.0.0.2: "))
      << vt::Narrow(said);
  EXPECT_NE(std::wstring::npos, said.find(vt::Widen(line))) << vt::Narrow(said) << "\n" << line;
  EXPECT_EQ(L"1.0.0.1", CellText(w.program.pi.hProcess, w.list, row, 1))
      << "the row changes only with an installation that completed";
  ASSERT_NO_FATAL_FAILURE(w.Close());

  const std::string after = hive("SYSTEM.after");
  EXPECT_EQ(vt::Sha256(vt::ToWin(softwareBefore)),
            vt::Sha256(vt::ToWin(software("SOFTWARE.after"))));
  EXPECT_EQ(old1, vt::Sha256(vt::ToWin(rt::NtfsCat(d, d.unixPath,
                                                   "/Windows/System32/Drivers/old1.sys",
                                                   d.dir + "/old1.placed"))));
  std::string listing;
  EXPECT_EQ(0, vt::Sh("ntfsls -p /Windows/System32/Drivers " + vt::Q(d.unixPath + ".part"),
                      &listing));
  EXPECT_EQ(std::string::npos, listing.find("new2.sys")) << listing;
  EXPECT_EQ(std::string::npos, listing.find(".vroold")) << listing;
  for (const char* name : {"ImagePath", "Start", "Group", "Tag"})
    EXPECT_EQ(rt::HivexGet(before, sys, name), rt::HivexGet(after, sys, name)) << name;
  for (const char* name : {"DriverVersion", "NetCfgInstanceId", "InfSection", "DriverDesc"})
    EXPECT_EQ(rt::HivexGet(before, std::string(kNetClass) + "0000", name),
              rt::HivexGet(after, std::string(kNetClass) + "0000", name))
        << name;
  EXPECT_EQ("1.0.0.1", rt::HivexGet(after, std::string(kNetClass) + "0000", "DriverVersion"));
}

// Package `x` for device DEV_10D<x>: its service, description and driver
// file take the letter; `sed` goes first.
std::string Lettered(char x, const std::string& sed = "") {
  const std::string up(1, char(toupper(x))), low(1, x);
  return sed + "s/DEV_10D3/DEV_10D" + up + "/g; s/VroNic/Vro" + up +
         "/g; s/Vro Gigabit Network Connection/Vro " + up + "/g";
}

// Ticks the setup dialog's row `name`: a click selects it, Ctrl+S ticks the
// selected rows.
void TickRow(DriverWindow& w, HWND setup, const std::wstring& name) {
  HWND list = GetDlgItem(setup, 1001);
  std::string at;
  int row = -1;
  ASSERT_TRUE(Poll([&] { return ItemCentre(w.program.pi.hProcess, list, name, &at, &row); }))
      << vt::Narrow(name) << " is not listed";
  ASSERT_NO_FATAL_FAILURE(ClickToSelect(w.program.ui, list, at, row));
  ASSERT_NO_FATAL_FAILURE(KeysTo(w.program.ui, setup, "key ctrl+s"));
  ASSERT_TRUE(Poll([&] {
    return (SendMessageW(list, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) >> 12) == 2;
  })) << "Ctrl+S ticked no row";
}

HWND OpenSetup(DriverWindow& w) {
  HWND setup = nullptr;
  w.Click(GetDlgItem(w.page, 1005));
  EXPECT_TRUE(Poll([&] { return (setup = FindTopWindow(w.program.id, 1034)) != nullptr; }))
      << "Add opened no setup dialog";
  EXPECT_TRUE(Poll([&] { return setup && Gui(w.program.ui).hwndActive == setup; }));
  return setup;
}

// The setup dialog at the X display. One package whose driver file has the
// name of the image's working driver and which places another file where
// the installation maps nothing: refused with a box giving the command
// line's line, the dialog stays, and once the program has ended the image
// is byte for byte as before. Then three packages ticked at once, one of
// them failing so: the box names that one, the other two are installed,
// each with an adapter identity of its own (the image has two prepared; the
// first is taken over from the adapter that held it).
TEST(DriverWindowSession, SetupDialogInstallsEachPackageWholeOrNotAtAll) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  const LANGID language = 1041;
  rt::WinDisk d = rt::MakeWinDisk("--arch x64 --version 6.1.7601.17514");
  it::PrepareOwnAdapter(d, false);
  const std::wstring second = L"{5E6F7081-92A3-B4C5-D6E7-F8091A2B3C4D}";
  it::PrepareOwnAdapter(d, false, 1, second.c_str());
  const std::wstring store = vt::ToWin(d.dir) + L"\\store";
  const std::wstring folder = store + L"\\Network\\6.1_x64";
  // The working driver: vronic.sys of DEV_10D3, by the command line.
  ASSERT_NO_FATAL_FAILURE(ImportPackage(d, folder, "v1", "vronic.sys", ""));
  DriverWindow w;
  w.dir = d.dir + "/program";
  ASSERT_EQ(0, vt::Sh(Program::Prepare(w.dir, std::to_string(language))));
  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"DrvPath", store.c_str(),
                                         vt::ToWin(w.dir + "/VroMount.ini").c_str()));
  ASSERT_EQ(0u, AddAdapter(w, d, nullptr));
  ASSERT_NO_FATAL_FAILURE(
      ImportPackage(d, folder, "d", "vronic.sys", Lettered('d', kUnmappedFile + ";"), "extra.dll"));
  const std::string untouched = d.dir + "/untouched.img";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(d.unixPath) + " " + vt::Q(untouched)));

  ASSERT_NO_FATAL_FAILURE(w.Open(d, store, std::to_string(language)));
  HWND setup = OpenSetup(w);
  ASSERT_TRUE(setup);
  ASSERT_NO_FATAL_FAILURE(TickRow(w, setup, L"Vro D"));
  ASSERT_NO_FATAL_FAILURE(w.Click(GetDlgItem(setup, 1034)));
  std::wstring said = w.TakeBox();
  EXPECT_EQ(0u, said.find(RefusalHead(language))) << vt::Narrow(said);
  EXPECT_NE(std::wstring::npos,
            said.find(L"Vro D 12.18.9.7: Adapter driver (type 2, VEN_8086&DEV_10DD) not installed "
                      L"(-9): [DestinationDirs] VroD.Extra = 23 for [VroD.Extra]"))
      << vt::Narrow(said);
  ASSERT_TRUE(IsWindow(setup)) << "nothing installed: the dialog stays";
  wchar_t none[200] = L"";
  LoadUiString(GetModuleHandleW(nullptr), IDS_SETUP_INSTALL_FAILED, language, none, 200);
  EXPECT_EQ(std::wstring(none), Text(GetDlgItem(setup, 1000)));
  PostMessageW(setup, WM_CLOSE, 0, 0);
  ASSERT_TRUE(Poll([&] { return !IsWindow(setup); }));
  ASSERT_TRUE(Poll([&] { return Gui(w.program.ui).hwndActive == w.manager; }));
  ASSERT_NO_FATAL_FAILURE(w.Close());
  EXPECT_EQ(0, vt::Sh("cmp " + vt::Q(untouched) + " " + vt::Q(d.unixPath)));

  // Three at once: A and B go in, C fails at its unmapped file.
  ASSERT_NO_FATAL_FAILURE(ImportPackage(d, folder, "a", "vroa.sys", Lettered('a')));
  ASSERT_NO_FATAL_FAILURE(ImportPackage(d, folder, "b", "vrob.sys", Lettered('b')));
  ASSERT_NO_FATAL_FAILURE(
      ImportPackage(d, folder, "c", "vroc.sys", Lettered('c', kUnmappedFile + ";"), "extra.dll"));
  ASSERT_NO_FATAL_FAILURE(w.Open(d, store, std::to_string(language)));
  setup = OpenSetup(w);
  ASSERT_TRUE(setup);
  for (const wchar_t* name : {L"Vro A", L"Vro B", L"Vro C"})
    ASSERT_NO_FATAL_FAILURE(TickRow(w, setup, name));
  ASSERT_NO_FATAL_FAILURE(w.Click(GetDlgItem(setup, 1034)));
  said = w.TakeBox();
  EXPECT_NE(std::wstring::npos,
            said.find(L"Vro C 12.18.9.7: Adapter driver (type 2, VEN_8086&DEV_10DC) not installed "
                      L"(-9): [DestinationDirs] VroC.Extra = 23"))
      << vt::Narrow(said);
  EXPECT_EQ(std::wstring::npos, said.find(L"Vro A")) << vt::Narrow(said);
  EXPECT_EQ(std::wstring::npos, said.find(L"Vro B")) << vt::Narrow(said);
  ASSERT_TRUE(Poll([&] { return !IsWindow(setup); })) << "two installed: the dialog closes";
  ASSERT_TRUE(Poll([&] { return w.Row(L"Vro A") >= 0 && w.Row(L"Vro B") >= 0; }))
      << "the page lists the two new adapters";
  EXPECT_LT(w.Row(L"Vro C"), 0);
  ASSERT_NO_FATAL_FAILURE(w.Close());

  const std::string sys =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/config/SYSTEM", d.dir + "/SYSTEM");
  const std::string enumKey = "ControlSet001\\Enum\\PCI\\VEN_8086&DEV_10D";
  std::vector<std::string> ids;
  for (const char* x : {"A", "B"}) {
    const std::string instance = enumKey + x + "\\VRO&Node&Pnp";
    EXPECT_EQ(std::string("Vro") + x, rt::HivexGet(sys, instance, "Service"));
    std::string driver = rt::HivexGet(sys, instance, "Driver");
    ASSERT_NE("<missing>", driver) << x;
    ids.push_back(rt::HivexGet(sys, std::string(kNetClass) + driver.substr(driver.find('\\') + 1),
                               "NetCfgInstanceId"));
  }
  EXPECT_NE(ids[0], ids[1]) << "one NetCfgInstanceId per adapter";
  for (const std::string& id : ids)
    EXPECT_TRUE(id == vt::Narrow(it::kPreparedGuid) || id == vt::Narrow(second)) << id;
  // No other driver key holds either: the adapter that held the first
  // prepared identity gave it up to the new one, as on the command line.
  int holders = 0;
  for (const char* instance : {"0000", "0001", "0002", "0003", "0004"}) {
    const std::string id =
        rt::HivexGet(sys, std::string(kNetClass) + instance, "NetCfgInstanceId");
    holders += id == ids[0] || id == ids[1];
  }
  EXPECT_EQ(2, holders);
  EXPECT_EQ("<missing>", rt::HivexGet(sys, enumKey + "C\\VRO&Node&Pnp", "Service"));
  EXPECT_EQ("<missing>", rt::HivexGet(sys, "ControlSet001\\services\\VroC", "ImagePath"));
  std::string listing;
  EXPECT_EQ(0, vt::Sh("ntfsls -p /Windows/System32/Drivers " + vt::Q(d.unixPath + ".part"),
                      &listing));
  for (const char* placed : {"vroa.sys", "vrob.sys"})
    EXPECT_NE(std::string::npos, listing.find(placed)) << placed << "\n" << listing;
  EXPECT_EQ(std::string::npos, listing.find("vroc.sys")) << listing;
  EXPECT_EQ(0, vt::Sh("ntfsfix -n " + vt::Q(d.unixPath + ".part"), &listing)) << listing;
}

}  // namespace
