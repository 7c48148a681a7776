// The network property sheet on real windows over the Windows 7 image of the
// network page tests: the title, the advanced parameters and their editors
// (hex, leading zeros, no Max, duplicate descriptions, empty and odd enum
// entries, the typed-text limit), OK without changes writing nothing and OK
// after changes writing exactly the changed parameters (hivexregedit before
// and after), and the driver information page's files and store link.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "ImageDriverTestUtil.h"
#include "driverui/ImgDrvPropertyDlg.h"
#include "driverui/ImgMgrDrvDlg.h"
#include "driverui/NdiParamRecord.h"

namespace {

using namespace dt;

// The value lines of one key in a hivexregedit export, by value name.
std::map<std::string, std::string> ValuesOf(const std::string& exported, const std::string& key) {
  std::map<std::string, std::string> values;
  std::istringstream in(exported);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      inside = line == "[" + key + "]";
      continue;
    }
    size_t eq = line.find("\"=");
    if (inside && eq != std::string::npos) values[line.substr(0, eq + 1)] = line.substr(eq + 2);
    if (inside && line.rfind("@=", 0) == 0) values["@"] = line.substr(2);
  }
  return values;
}

int SelectParam(HWND page, const wchar_t* description, int nth = 0) {
  HWND list = GetDlgItem(page, 1019);
  int found = -1;
  for (int i = 0, seen = 0; i < (int)SendMessageW(list, LB_GETCOUNT, 0, 0); ++i) {
    wchar_t text[200] = {};
    SendMessageW(list, LB_GETTEXT, i, (LPARAM)text);
    if (std::wstring(text) == description && seen++ == nth) found = i;
  }
  EXPECT_GE(found, 0) << vt::Narrow(description);
  SendMessageW(list, LB_SETCURSEL, found, 0);
  SendMessageW(page, WM_COMMAND, MAKEWPARAM(1019, LBN_SELCHANGE), (LPARAM)list);
  uitest::Pump();
  return found;
}

// Selects the entry whose record has the parameter name.
void SelectParamNamed(HWND page, const wchar_t* name) {
  HWND list = GetDlgItem(page, 1019);
  int found = -1;
  for (int i = 0; i < (int)SendMessageW(list, LB_GETCOUNT, 0, 0); ++i) {
    auto* record = reinterpret_cast<NdiParamRecord*>(SendMessageW(list, LB_GETITEMDATA, i, 0));
    if (record && std::wstring(record->name) == name) found = i;
  }
  ASSERT_GE(found, 0);
  SendMessageW(list, LB_SETCURSEL, found, 0);
  SendMessageW(page, WM_COMMAND, MAKEWPARAM(1019, LBN_SELCHANGE), (LPARAM)list);
  uitest::Pump();
}

class NetProperties : public ::testing::Test {
 protected:
  void SetUp() override {
    disk = rt::MakeWinDisk("--arch x64 --version 6.1.7601.17514");
    it::PrepareOwnAdapter(disk, false);
    st::SetStoreRoot(vt::ToWin(disk.dir) + L"\\store");
    std::wstring inf = st::SamplePackage(disk.dir, "pkg", "vronet.inf");
    CMountedImage m;
    ASSERT_GE(m.OpenImage(disk.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1u, st::ImportIntoStore(&m, kStoreNetwork, 0x400601, inf));
    InstallSampleNic(&m);
    ASSERT_EQ(1, m.LoadHives(1));
    const std::wstring cls = std::wstring(kNetClassKey) + L"\\0000";
    const std::wstring params = cls + L"\\Ndi\\params\\";
    auto param = [&](const wchar_t* name, const wchar_t* desc, const wchar_t* type) {
      if (desc) SetText(m, params + name, L"ParamDesc", desc);
      if (type) SetText(m, params + name, L"type", type);
    };
    param(L"HexParam", L"Hex Value", L"int");
    SetText(m, params + L"HexParam", L"Base", L"16");
    SetText(m, params + L"HexParam", L"Max", L"FF");
    SetText(m, cls, L"HexParam", L"0A");
    param(L"Zeros", L"Leading Zeros", L"dword");
    SetText(m, params + L"Zeros", L"Max", L"100");
    SetText(m, cls, L"Zeros", L"0010");
    param(L"NoMax", L"No Max", L"long");
    SetText(m, params + L"NoMax", L"Min", L"5");
    param(L"Dup1", L"Same Name", L"edit");
    param(L"Dup2", L"Same Name", L"edit");
    SetText(m, cls, L"Dup1", L"keep");
    param(L"Name", L"Station Name", L"edit");
    SetText(m, params + L"Name", L"LimitText", L"40");
    SetText(m, params + L"Name", L"UpperCase", L"1");
    m.RegSetValue(cls.c_str(), L"Name", "", 0, REG_SZ);
    param(L"Hidden", nullptr, L"edit");
    SetText(m, params + L"*SpeedDuplex\\enum", L"9", L"");
    SetDword(m, params + L"*SpeedDuplex\\enum", L"8", 8);
    SetText(m, params + L"*SpeedDuplex\\enum", L"LongChoiceValueOver19Chars", L"Long choice");
    SetText(m, cls, L"EventMessageFile",
            L"%SystemRoot%\\System32\\netevent.dll;%SystemRoot%\\System32\\vroevt.dll");
    SetList(m, cls, L"CoInstallers32", {L"vroco.dll,CoInstall", L"vronic.dll,Other"});
    SetList(m, cls, L"NicCoPlugins", {L"vronic.dll"});
    ASSERT_TRUE(m.UnloadHives());
  }
  // Runs the sheet of the adapter from the opened manager.
  void RunSheet(std::function<void(CImgNetDrvPropertyDlg*)> body) {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(disk.path.c_str(), nullptr, 0, 1), 0);
    Parent parent(2052);
    bool inner = false;
    EXPECT_TRUE(Modal<CImgMgrDrvDlg>::Run(
        [&] { new CImgMgrDrvDlg(&parent, &image); },
        [&](CImgMgrDrvDlg* dlg) {
          HWND page = GetDlgItem(dlg->m_hWnd, 138);
          HWND list = GetDlgItem(page, 1001);
          SelectOnly(list, FindRow(list, L"Vro Gigabit Network Connection"));
          inner = Modal<CImgNetDrvPropertyDlg>::Run([&] { Click(page, 1004); }, body);
        }));
    EXPECT_TRUE(inner);
  }
  rt::WinDisk disk;
};

TEST_F(NetProperties, AdvancedParametersOkWritesExactlyTheChanges) {
  const std::string key =
      "\\ControlSet001\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\0000";
  std::string before = SystemHive(disk, "SYSTEM.before");
  RunSheet([&](CImgNetDrvPropertyDlg* sheet) {
    wchar_t title[200] = {};
    GetWindowTextW(sheet->m_hWnd, title, 200);
    EXPECT_STREQ(L"Vro Gigabit Network Connection 属性", title);
    HWND page = GetDlgItem(sheet->m_hWnd, 140);
    ASSERT_TRUE(page);
    EXPECT_TRUE(IsWindowVisible(page));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(sheet->m_hWnd, 141)));
    // Hex text and leading zeros are shown as numbers and left as stored.
    SelectParam(page, L"Hex Value");
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(page, 1026)));
    EXPECT_EQ(L"10", Text(page, 1026));
    SelectParam(page, L"Leading Zeros");
    EXPECT_EQ(L"10", Text(page, 1026));
    int low = -1, high = -1;
    SelectParam(page, L"No Max");
    SendDlgItemMessageW(page, 1027, UDM_GETRANGE32, (WPARAM)&low, (LPARAM)&high);
    EXPECT_EQ(5, low);
    EXPECT_EQ(0, high) << "without Max the range ends at 0";
    SelectParam(page, L"Station Name");
    EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(page, 1028)) << "present with empty data";
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, 1029)));
    EXPECT_EQ(19, SendDlgItemMessageW(page, 1029, EM_GETLIMITTEXT, 0, 0));
    EXPECT_TRUE(GetWindowLongW(GetDlgItem(page, 1029), GWL_STYLE) & ES_UPPERCASE);
    SelectParam(page, L"Speed & Duplex");
    HWND combo = GetDlgItem(page, 1020);
    EXPECT_TRUE(IsWindowVisible(combo));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(page, 1026)));
    EXPECT_EQ(3, SendMessageW(combo, CB_GETCOUNT, 0, 0)) << "no empty or non-text choice";
    SelectParam(page, L"Same Name", 0);
    SelectParam(page, L"Same Name", 1);
    HWND list = GetDlgItem(page, 1019);
    EXPECT_EQ(10, SendMessageW(list, LB_GETCOUNT, 0, 0)) << "Hidden has no ParamDesc";
    Click(sheet->m_hWnd, IDOK);
  });
  EXPECT_EQ(vt::Sha256(vt::ToWin(before)), vt::Sha256(vt::ToWin(SystemHive(disk, "SYSTEM.ok"))))
      << "OK without a change writes nothing";

  RunSheet([&](CImgNetDrvPropertyDlg* sheet) {
    HWND page = GetDlgItem(sheet->m_hWnd, 140);
    SelectParam(page, L"Speed & Duplex");
    HWND combo = GetDlgItem(page, 1020);
    int index = (int)SendMessageW(combo, CB_FINDSTRINGEXACT, -1, (LPARAM)L"Long choice");
    SendMessageW(combo, CB_SETCURSEL, index, 0);
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(1020, CBN_SELCHANGE), (LPARAM)combo);
    // Changed and changed back: still written, in the parameter's base.
    SelectParam(page, L"Hex Value");
    SetDlgItemTextW(page, 1026, L"255");
    SetDlgItemTextW(page, 1026, L"10");
    SelectParam(page, L"Station Name");
    HWND text = GetDlgItem(page, 1029);
    for (const wchar_t* c = L"abcdefghijklmnopqrstuvwxyz"; *c; ++c)
      SendMessageW(text, WM_CHAR, *c, 0);
    EXPECT_EQ(L"ABCDEFGHIJKLMNOPQRS", Text(page, 1029)) << "the box refuses the 20th character";
    SelectParamNamed(page, L"Dup1");
    EXPECT_EQ(L"keep", Text(page, 1029));
    CheckRadioButton(page, 1028, 1030, 1030);
    SendMessageW(page, WM_COMMAND, 1030, 0);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page, 1029)));
    SelectParam(page, L"Hex Value");
    SelectParamNamed(page, L"Dup1");
    EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(page, 1030)) << "the choice is kept";
    Click(sheet->m_hWnd, IDOK);
  });
  std::string after = SystemHive(disk, "SYSTEM.after");
  std::map<std::string, std::string> was = ValuesOf(ExportKey(before, "ControlSet001"), key);
  std::map<std::string, std::string> now = ValuesOf(ExportKey(after, "ControlSet001"), key);
  ASSERT_FALSE(was.empty());
  std::map<std::string, std::string> changed;
  for (auto& [name, value] : now)
    if (was[name] != value) changed[name] = value;
  for (auto& [name, value] : was)
    if (!now.count(name)) changed[name] = "<deleted>";
  std::string cls = "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";
  EXPECT_EQ(4u, changed.size());
  EXPECT_EQ("<deleted>", changed["\"Dup1\""]);
  EXPECT_EQ("LongChoiceValueOver19Chars", rt::HivexGet(after, cls, "*SpeedDuplex"));
  EXPECT_EQ("A", rt::HivexGet(after, cls, "HexParam"));
  EXPECT_EQ("ABCDEFGHIJKLMNOPQRS", rt::HivexGet(after, cls, "Name"));
  EXPECT_EQ("0010", rt::HivexGet(after, cls, "Zeros"));
}

TEST_F(NetProperties, DriverFilesAndStoreLink) {
  RunSheet([&](CImgNetDrvPropertyDlg* sheet) {
    SelectTab(sheet->m_hWnd, 1);
    HWND page = GetDlgItem(sheet->m_hWnd, 141);
    ASSERT_TRUE(page);
    EXPECT_TRUE(IsWindowVisible(page));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(sheet->m_hWnd, 140)));
    EXPECT_EQ(L"Vro Gigabit Network Connection", Text(page, 1021));
    EXPECT_EQ(L"12.18.9.7", Text(page, 1014));
    HWND files = GetDlgItem(page, 1024);
    std::vector<std::wstring> texts;
    for (int i = 0; i < ListView_GetItemCount(files); ++i) texts.push_back(Cell(files, i, 0));
    EXPECT_EQ(
        (std::vector<std::wstring>{
            L"C:\\Windows\\System32\\Drivers\\vronic.sys", L"C:\\Windows\\System32\\vroco.dll",
            L"C:\\Windows\\System32\\vronic.dll", L"C:\\Windows\\System32\\vroevt.dll"}),
        texts)
        << "service, co-installers once each, the second EventMessageFile name";
    EXPECT_EQ(0, Param(files, 0));
    EXPECT_EQ(1, Param(files, 1)) << "missing: red";
    EXPECT_EQ(1, Image(files, 0)) << "a driver file";
    std::wstring link = Text(page, 1025);
    EXPECT_EQ(0u, link.find(L"<a>"));
    EXPECT_NE(std::wstring::npos,
              link.find(L"\\Network\\6.1_x64\\VEN_8086&DEV_10D3\\12.18.9.7</a>"));
    SelectOnly(files, 0);
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(page, 1004)));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(page, 1025)));
  });
}

}  // namespace
