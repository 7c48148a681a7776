// The store package sheets on real windows, opened from the store manager's
// network page: the parameters of both architecture sections, the editors,
// "Params.ini" read back after OK, and the information page of the version
// the row shows.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "StoreTestUtil.h"
#include "driverui/InfDrvListDlg.h"
#include "driverui/InfDrvPropertyDlg.h"
#include "driverui/InfMgrDrvDlg.h"
#include "driverui/InfNdiParams.h"
#include "ui/controls/ListView.h"
#include "resources/ResourceIds.h"

namespace {

const char kInf[] =
    "[Version]\nClass=Net\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\nProvider=%s\n"
    "DriverVer=03/14/2019,1.2.3.4\n"
    "[SourceDisksFiles]\na.sys=1\nsetup.exe=1\n[SourceDisksFiles.amd64]\nb.dll=1\na.sys=1\n"
    "[Sec.NTamd64]\nAddReg=R64\n[Sec.NTx86]\nAddReg = R86 ; the 32-bit list\n"
    "[R64]\n"
    "HKR, Ndi\\Params\\Speed, ParamDesc, 0, \"Speed\"\n"
    "HKR, Ndi\\Params\\Speed, type, 0, \"enum\"\n"
    "HKR, Ndi\\Params\\Speed, default, 0, \"b\"\n"
    "HKR, Ndi\\Params\\Speed\\enum, \"a\", 0, \"A\"\n"
    "HKR, Ndi\\Params\\Speed\\enum, \"b\", 0, \"B\"\n"
    "HKR, Ndi\\Params\\Speed\\enum, \"c\", 0, \"C\"\n"
    "HKR, Ndi\\Params\\Buf, ParamDesc, 0, \"Buffers\"\n"
    "HKR, Ndi\\Params\\Buf, type, 0, \"dword\"\n"
    "HKR, Ndi\\Params\\Buf, base, 0, \"16\"\n"
    "HKR, Ndi\\Params\\Buf, default, 0, \"40\"\n"
    "HKR, Ndi\\Params\\Buf, max, 0, \"ff\"\n"
    "HKR, Ndi\\Params\\Count, ParamDesc, 0, \"Count\"\n"
    "HKR, Ndi\\Params\\Count, type, 0, \"int\"\n"
    "HKR, Ndi\\Params\\Count, default, 0, \"5\"\n"
    "HKR, Ndi\\Params\\Count, max, 0, \"90\"\n"
    "HKR, Ndi\\Params\\Flag, ParamDesc, 0x00010000, \"not a string\"\n"
    "[R86]\n"
    "HKR, Ndi\\Params\\Name, ParamDesc, 0, \"Name\"\n"
    "HKR, Ndi\\Params\\Name, type, 0, \"edit\"\n"
    "HKR, Ndi\\Params\\Name, default, 0, \"abc\"\n"
    "HKR, Ndi\\Params\\Count, max, 0, \"20\"\n"
    "HKR, Ndi\\Params\\NoType, ParamDesc, 0, \"no type\"\n";

std::string InfText(const char* provider) {
  char text[4096];
  snprintf(text, sizeof text, kInf, provider);
  return text;
}

std::wstring Param(const std::wstring& ini, const wchar_t* section, const wchar_t* key) {
  wchar_t value[100];
  GetPrivateProfileStringW(section, key, L"<none>", value, 100, ini.c_str());
  return value;
}

// Selects the parameter shown as `description` on the advanced page.
void Choose(HWND page, const wchar_t* description) {
  HWND list = GetDlgItem(page, IDC_PROP_PARAMS);
  int at = (int)SendMessageW(list, LB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)description);
  ASSERT_GE(at, 0) << vt::Narrow(description);
  SendMessageW(list, LB_SETCURSEL, at, 0);
  SendMessageW(page, WM_COMMAND, MAKEWPARAM(IDC_PROP_PARAMS, LBN_SELCHANGE), (LPARAM)list);
}

std::wstring ComboItem(HWND combo, int i) {
  wchar_t text[100] = L"";
  SendMessageW(combo, CB_GETLBTEXT, i, (LPARAM)text);
  return text;
}

TEST(StorePackageSheet, ParametersParamsIniAndChosenVersion) {
  std::string dir = vt::ScratchDirUnix(), root = dir + "/store";
  st::SetStoreRoot(vt::ToWin(root));
  std::string pkg = root + "/Network/6.1_x64/PkgP";
  for (const char* v : {"1.0", "2.0"}) {
    st::WriteUtf16(pkg + "/" + v + "/VroPnp.ini",
                   "[DeviceList]\n\"Dev P\"=Sec,PCI\\VEN_7&DEV_P\n[PCI]\nVEN_7&DEV_P\n");
    st::WriteUtf16(pkg + "/" + v + "/VroPnp.inf", InfText(v[0] == '1' ? "Old" : "New"));
  }
  ASSERT_EQ(0,
            vt::Sh("printf 'x' > " + vt::Q(pkg + "/2.0/a.sys") +
                   " && printf '[Config]\\r\\n"
                   "Version=1.0\\r\\n' > " +
                   vt::Q(pkg + "/NConfig.ini") +
                   " && printf '[Dev P]\\r\\nCount=7\\r\\n[Sec]\\r\\nCount=9\\r\\nName=xyz\\r\\n'"
                   " > " +
                   vt::Q(pkg + "/2.0/Params.ini")));
  const std::wstring params = vt::ToWin(pkg + "/2.0/Params.ini");
  CWindow parent;
  parent.m_hInstance = GetModuleHandleW(nullptr);
  ASSERT_TRUE(st::RunModal<CInfMgrDrvDlg>(
      [&] { new CInfMgrDrvDlg(&parent, 0x400601, nullptr); },
      [&](CInfMgrDrvDlg* dlg) {
        CInfDrvListDlg* page = dlg->m_netPage;
        HWND list = page->List(), versions = page->Item(1035);
        ASSERT_EQ(1, st::Rows(list));
        st::Select(list, 0);
        st::ClickCell(page, list, 0, 1, 1);
        SendMessageW(versions, CB_SETCURSEL,
                     SendMessageW(versions, CB_FINDSTRINGEXACT, -1, (LPARAM)L"2.0"), 0);
        SendMessageW(page->m_hWnd, WM_COMMAND, MAKEWPARAM(1035, CBN_SELCHANGE), (LPARAM)versions);
        SendMessageW(versions, CB_SHOWDROPDOWN, FALSE, 0);
        st::Select(list, 0);
        EXPECT_TRUE(st::RunModal<CInfNetDrvPropertyDlg>(
            [&] { SendMessageW(page->m_hWnd, WM_COMMAND, 1004, 0); },
            [&](CInfNetDrvPropertyDlg* sheet) {
              wchar_t title[200];
              GetWindowTextW(sheet->m_hWnd, title, 200);
              EXPECT_EQ(L"Dev P 属性", std::wstring(title));
              HWND info = GetDlgItem(sheet->m_hWnd, IDD_IMG_NET_PROP_INFORMATION);
              wchar_t text[100];
              GetDlgItemTextW(info, IDC_INFO_PROVIDER, text, 100);
              EXPECT_EQ(L"New", std::wstring(text)) << "the chosen version's INF";
              GetDlgItemTextW(info, IDC_INFO_DATE, text, 100);
              EXPECT_EQ(L"03-14-2019", std::wstring(text));
              HWND files = GetDlgItem(info, IDC_INFO_FILES);
              ASSERT_EQ(3, st::Rows(files));
              EXPECT_EQ(L"a.sys", st::Cell(files, 0, 0));
              EXPECT_EQ(1, ListGetItemImage(files, 0));
              EXPECT_EQ(2, ListGetItemImage(files, 1));
              EXPECT_EQ(L"b.dll", st::Cell(files, 2, 0));

              HWND adv = GetDlgItem(sheet->m_hWnd, IDD_IMG_NET_PROP_ADVANCED);
              HWND params = GetDlgItem(adv, IDC_PROP_PARAMS);
              EXPECT_EQ(4, SendMessageW(params, LB_GETCOUNT, 0, 0))
                  << "both architectures; no type, not a string: left out";
              Choose(adv, L"Speed");
              HWND combo = GetDlgItem(adv, IDC_PROP_ENUM);
              ASSERT_EQ(3, SendMessageW(combo, CB_GETCOUNT, 0, 0));
              EXPECT_EQ(L"C", ComboItem(combo, 0));
              EXPECT_EQ(L"A", ComboItem(combo, 2));
              EXPECT_EQ(L"B", ComboItem(combo, (int)SendMessageW(combo, CB_GETCURSEL, 0, 0)));
              SendMessageW(combo, CB_SETCURSEL, 0, 0);
              SendMessageW(adv, WM_COMMAND, MAKEWPARAM(IDC_PROP_ENUM, CBN_SELCHANGE),
                           (LPARAM)combo);

              Choose(adv, L"Buffers");
              EXPECT_TRUE(GetWindowLongW(GetDlgItem(adv, IDC_PROP_NUMBER), GWL_STYLE) & WS_VISIBLE);
              int low = -1, high = -1;
              SendDlgItemMessageW(adv, IDC_PROP_SPIN, UDM_GETRANGE32, (WPARAM)&low, (LPARAM)&high);
              EXPECT_EQ(255, high) << "Max read in base 16";
              SetDlgItemTextW(adv, IDC_PROP_NUMBER, L"1F");
              Choose(adv, L"Count");
              int lo = -1, hi = -1;
              SendDlgItemMessageW(adv, IDC_PROP_SPIN, UDM_GETRANGE32, (WPARAM)&lo, (LPARAM)&hi);
              EXPECT_EQ(90, hi) << "the larger Max";
              EXPECT_EQ(7, (int)SendDlgItemMessageW(adv, IDC_PROP_SPIN, UDM_GETPOS32, 0, 0))
                  << "the device-name section first";

              Choose(adv, L"Name");
              wchar_t name[40];
              GetDlgItemTextW(adv, IDC_PROP_TEXT, name, 40);
              EXPECT_EQ(L"xyz", std::wstring(name));
              EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(adv, IDC_PROP_PRESENT));
              CheckRadioButton(adv, IDC_PROP_PRESENT, IDC_PROP_ABSENT, IDC_PROP_ABSENT);
              SendMessageW(adv, WM_COMMAND, MAKEWPARAM(IDC_PROP_ABSENT, BN_CLICKED), 0);
              EXPECT_FALSE(IsWindowEnabled(GetDlgItem(adv, IDC_PROP_TEXT)));
              SendMessageW(sheet->m_hWnd, WM_COMMAND, IDOK, 0);
            }));
        PostMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
      }));
  EXPECT_EQ(L"c", Param(params, L"Sec", L"Speed"));
  EXPECT_EQ(L"c", Param(params, L"Dev P", L"Speed"));
  EXPECT_EQ(L"1f", Param(params, L"Sec", L"Buf")) << "base 16: lower-case, no prefix";
  EXPECT_EQ(L"1f", Param(params, L"Dev P", L"Buf"));
  EXPECT_EQ(L"<none>", Param(params, L"Sec", L"Name")) << "not present: no key";
  EXPECT_EQ(L"<none>", Param(params, L"Dev P", L"Name"));
  EXPECT_EQ(L"9", Param(params, L"Sec", L"Count")) << "unchanged: not rewritten";
  EXPECT_EQ(L"7", Param(params, L"Dev P", L"Count"));
  EXPECT_EQ(0, vt::Sh("test ! -e " + vt::Q(pkg + "/1.0/Params.ini")));
  DeleteFileW(st::SettingsFile().c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VroMount");
}

// Typed numbers as the store keeps them.
TEST(StorePackageSheet, TypedNumbers) {
  const struct {
    const wchar_t* typed;
    int base;
    const wchar_t* kept;
  } cases[] = {{L"1F", 16, L"1f"}, {L"255", 10, L"255"}, {L"zz", 10, L"0"}, {L"zz", 16, L"0"}};
  for (const auto& c : cases) {
    wchar_t out[40];
    FormatTypedNdiNumber(c.typed, c.base, out, 40);
    EXPECT_EQ(std::wstring(c.kept), out) << vt::Narrow(c.typed);
  }
}

}  // namespace
