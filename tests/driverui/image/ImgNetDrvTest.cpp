// The image driver manager and its network page on real windows: a Windows 7
// image with an adapter installed by the driver-pack injection from a store
// made by the import, plus a device without a network identity, a driver
// key without a device and an entry of the network configuration without
// its connection. The page is driven by messages inside the modal loop;
// afterwards the image is read back with ntfscat and hivex.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "ImageDriverTestUtil.h"
#include "driverui/DriverListDraw.h"
#include "driverui/ImgDisplayDrvDlg.h"
#include "driverui/ImgDrvPropertyDlg.h"
#include "driverui/ImgMgrDrvDlg.h"
#include "driverui/ImgNetDrvDlg.h"

namespace {

using namespace dt;

const uint32_t kWin7x64 = 0x400601;

class NetPage : public ::testing::Test {
 protected:
  void SetUp() override {
    disk = rt::MakeWinDisk("--arch x64 --version 6.1.7601.17514");
    it::PrepareOwnAdapter(disk, false);
    store = vt::ToWin(disk.dir) + L"\\store";
    st::SetStoreRoot(store);
    std::wstring inf = st::SamplePackage(disk.dir, "pkg", "vronet.inf");
    CMountedImage m;
    ASSERT_GE(m.OpenImage(disk.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1u, st::ImportIntoStore(&m, kStoreNetwork, kWin7x64, inf));
    InstallSampleNic(&m);
  }
  // A second version folder of the package whose INF names another version.
  std::wstring AddStoreVersion(const std::string& version) {
    std::string pkg = vt::ToUnix(store) + "/Network/6.1_x64/VEN_8086&DEV_10D3";
    std::string out;
    vt::Sh("ls " + vt::Q(pkg), &out);
    std::string first = out.substr(0, out.find('\n'));
    EXPECT_EQ(
        0,
        vt::Sh("cd " + vt::Q(pkg) + " && cp -r " + vt::Q(first) + " " + vt::Q(version) + " && cd " +
               vt::Q(version) + " && rm -f *.inf.ok VEN_*.inf && " +
               "for f in VroPnp.inf; do iconv -f UTF-16 -t UTF-8 $f | sed 's/12\\.18\\.9\\.7/" +
               version +
               "/' | { printf '\\377\\376'; iconv -f UTF-8 -t UTF-16LE; } > t && mv t $f; done"));
    return vt::Widen(first);
  }
  rt::WinDisk disk;
  std::wstring store;
};

// The rows, their states and columns; tabs keep their pages; buttons follow
// the selection; the version choice by click and F4; an update installs the
// chosen version; a delete removes a device through the removal engine;
// closing without a change leaves SYSTEM as it was.
TEST_F(NetPage, RowsStatesUpdateDeleteAndWriteBack) {
  std::wstring first = AddStoreVersion("12.18.9.9");
  const std::wstring grey = std::wstring(kSystem) + L"Enum\\PCI\\VEN_10EC&DEV_8168\\4&1";
  {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(disk.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, m.LoadHives(1));
    SetText(m, grey, L"ClassGUID", L"{4D36E972-E325-11CE-BFC1-08002BE10318}");
    SetText(m, grey, L"Driver", L"{4d36e972-e325-11ce-bfc1-08002be10318}\\0005");
    SetText(m, grey, L"DeviceDesc", L"@net.inf,%rtl%;Realtek PCIe GbE");
    SetText(m, grey, L"Service", L"rt640x64");
    SetText(m, std::wstring(kNetClassKey) + L"\\0005", L"DriverVersion", L"9.1.0.0");
    SetDword(m, std::wstring(kNetClassKey) + L"\\0009", L"Characteristics", 0x84);
    SetText(m, std::wstring(kNetClassKey) + L"\\0009", L"DriverDesc", L"Orphan NIC");
    ASSERT_TRUE(m.UnloadHives());
  }
  std::string before = vt::Sha256(vt::ToWin(SystemHive(disk, "SYSTEM.before")));

  CMountedImage image;
  ASSERT_GE(image.OpenImage(disk.path.c_str(), nullptr, 0, 1), 0);
  Parent parent(2052);
  // Opened and closed without a change: nothing is written.
  EXPECT_TRUE(Modal<CImgMgrDrvDlg>::Run([&] { new CImgMgrDrvDlg(&parent, &image); },
                                        [&](CImgMgrDrvDlg*) {}));
  image.Close();
  EXPECT_EQ(before, vt::Sha256(vt::ToWin(SystemHive(disk, "SYSTEM.unchanged"))));

  ASSERT_GE(image.OpenImage(disk.path.c_str(), nullptr, 0, 1), 0);
  bool ran = Modal<CImgMgrDrvDlg>::Run(
      [&] { new CImgMgrDrvDlg(&parent, &image); },
      [&](CImgMgrDrvDlg* dlg) {
        HWND page = GetDlgItem(dlg->m_hWnd, 138), display = GetDlgItem(dlg->m_hWnd, 156);
        ASSERT_TRUE(page && display);
        EXPECT_TRUE(IsWindowVisible(page));
        EXPECT_FALSE(IsWindowVisible(display));
        EXPECT_FALSE(GetDlgItem(dlg->m_hWnd, 163)) << "no setup package in the store";
        HWND list = GetDlgItem(page, 1001);
        int nic = FindRow(list, L"Vro Gigabit Network Connection");
        int rtl = FindRow(list, L"Realtek PCIe GbE");
        int orphan = FindRow(list, L"Orphan NIC");
        ASSERT_GE(nic, 0);
        ASSERT_GE(rtl, 0);
        ASSERT_GE(orphan, 0);
        EXPECT_EQ(1, Image(list, nic)) << "red: the image lacks the installation's own protocol";
        EXPECT_EQ(L"12.18.9.7", Cell(list, nic, 1));
        EXPECT_EQ(L"12.18.9.9", Cell(list, nic, 2)) << "the newest store version";
        EXPECT_EQ(L"6.1_x64", Cell(list, nic, 3));
        EXPECT_EQ(L"0000", Cell(list, nic, 4));
        EXPECT_EQ(L"VEN_8086&DEV_10D3", Cell(list, nic, 5));
        EXPECT_EQ(kSampleNic, Cell(list, nic, 6));
        EXPECT_EQ(L"VRO&Node&Pnp", Cell(list, nic, 7));
        EXPECT_EQ(L"PCI", Cell(list, nic, 8));
        EXPECT_EQ(2, Param(list, nic)) << "two version folders";
        EXPECT_EQ(2, Image(list, rtl)) << "a Service without NetCfgInstanceId: grey";
        EXPECT_EQ(L"9.1.0.0", Cell(list, rtl, 1));
        EXPECT_EQ(2, Image(list, orphan)) << "a driver key without a device";
        EXPECT_EQ(L"0009", Cell(list, orphan, 4));
        EXPECT_EQ(L"驱动列表（红色表示设备网络绑定存在问题，灰色表示设备未关联）",
                  Text(page, 1041));

        // Buttons by selection: grey rows can only be deleted.
        SelectOnly(list, rtl);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, 1003)));
        for (int id : {1002, 1004, 1006}) EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page, id))) << id;
        SelectOnly(list, nic);
        for (int id : {1002, 1003, 1004, 1006})
          EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, id))) << id;

        // Tabs switch by hiding and showing; the page keeps its selection.
        SelectTab(dlg->m_hWnd, 1);
        EXPECT_FALSE(IsWindowVisible(page));
        EXPECT_TRUE(IsWindowVisible(display));
        SelectTab(dlg->m_hWnd, 0);
        EXPECT_TRUE(IsWindowVisible(page));
        EXPECT_EQ(nic, ListView_GetNextItem(list, -1, LVNI_SELECTED));

        // F4 opens the version choice, Down moves in it, F4 again applies.
        HWND combo = GetDlgItem(page, 1035);
        SendMessageW(list, WM_KEYDOWN, VK_F4, 0);
        uitest::Pump();
        ASSERT_TRUE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
        EXPECT_EQ(2, SendMessageW(combo, CB_GETCOUNT, 0, 0));
        int current = (int)SendMessageW(combo, CB_GETCURSEL, 0, 0);
        wchar_t chosen[100] = {};
        SendMessageW(combo, CB_GETLBTEXT, current, (LPARAM)chosen);
        EXPECT_STREQ(L"12.18.9.9", chosen);
        int other = 1 - current;
        SendMessageW(combo, CB_SETCURSEL, other, 0);
        SendMessageW(list, WM_KEYDOWN, VK_F4, 0);
        uitest::Pump();
        EXPECT_FALSE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
        EXPECT_EQ(first, Cell(list, nic, 2));
        // Back to the new version by the click on the cell and the combo.
        NMITEMACTIVATE click = {};
        click.hdr = {list, 1001, static_cast<UINT>(NM_CLICK)};
        click.iItem = nic;
        click.iSubItem = 2;
        SendMessageW(page, WM_NOTIFY, 1001, (LPARAM)&click);
        ASSERT_TRUE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
        SendMessageW(page, WM_NOTIFY, 1001, (LPARAM)&click);
        EXPECT_FALSE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0)) << "a second click closes";
        SendMessageW(combo, CB_SETCURSEL, current, 0);
        SendMessageW(page, WM_COMMAND, MAKEWPARAM(1035, CBN_SELCHANGE), (LPARAM)combo);
        EXPECT_EQ(L"12.18.9.9", Cell(list, nic, 2));

        // Update installs the chosen version.
        Click(page, 1002);
        EXPECT_EQ(L"12.18.9.9", Cell(list, nic, 1));
        EXPECT_EQ(0, Image(list, nic)) << "a successful update lowers a red row";

        // Delete asks, then removes the grey device.
        SelectOnly(list, rtl);
        AnswerNextBox(IDYES);
        Click(page, 1003);
        EXPECT_EQ(L"确认删除所选的设备驱动？", BoxText());
        EXPECT_EQ(-1, FindRow(list, L"Realtek PCIe GbE"));
        EXPECT_GE(FindRow(list, L"Vro Gigabit Network Connection"), 0);
      });
  EXPECT_TRUE(ran);
  image.Close();
  std::string sys = SystemHive(disk, "SYSTEM.after");
  std::string cls = "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";
  EXPECT_EQ("12.18.9.9", rt::HivexGet(sys, cls, "DriverVersion"));
  EXPECT_EQ(
      "VroNic",
      rt::HivexGet(sys, "ControlSet001\\Enum\\PCI\\" + vt::Narrow(kSampleNic) + "\\VRO&Node&Pnp",
                   "Service"));
  EXPECT_EQ("<missing>",
            rt::HivexGet(sys, "ControlSet001\\Enum\\PCI\\VEN_10EC&DEV_8168\\4&1", "Driver"));
  // The driver was first installed as copied files: the update copies too,
  // it does not turn them into links into the store.
  std::string info;
  EXPECT_EQ(0, vt::Sh("ntfsinfo -F /Windows/System32/Drivers/vronic.sys " +
                          vt::Q(disk.unixPath + ".part"),
                      &info))
      << info;
  EXPECT_NE(std::string::npos, info.find("$DATA")) << info;
  EXPECT_EQ(std::string::npos, info.find("REPARSE")) << info;
}

// Pictures of both pages and of the advanced page in the three languages,
// into <build>/driverui-pictures.
TEST_F(NetPage, PicturesInThreeLanguages) {
  AddStoreVersion("12.18.9.9");
  const std::string dir = vt::BinaryDirUnix() + "/driverui-pictures";
  vt::Sh("mkdir -p " + vt::Q(dir));
  CMountedImage image;
  ASSERT_GE(image.OpenImage(disk.path.c_str(), nullptr, 0, 1), 0);
  for (LANGID language : {2052, 1041, 1042}) {
    Parent parent(language);
    auto picture = [&](HWND window, const std::string& name) {
      uitest::Pump();
      RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
      uitest::Pump();
      RECT rc;
      GetWindowRect(window, &rc);
      EXPECT_TRUE(
          uitest::Screenshot(rc, dir + "/" + name + "-" + std::to_string(language) + ".png"));
    };
    EXPECT_TRUE(Modal<CImgMgrDrvDlg>::Run(
        [&] { new CImgMgrDrvDlg(&parent, &image); },
        [&](CImgMgrDrvDlg* dlg) {
          HWND page = GetDlgItem(dlg->m_hWnd, 138);
          HWND list = GetDlgItem(page, 1001);
          SelectOnly(list, FindRow(list, L"Vro Gigabit Network Connection"));
          picture(dlg->m_hWnd, "network");
          SelectTab(dlg->m_hWnd, 1);
          picture(dlg->m_hWnd, "display");
          SelectTab(dlg->m_hWnd, 0);
          EXPECT_TRUE(Modal<CImgNetDrvPropertyDlg>::Run([&] { Click(page, 1004); },
                                                        [&](CImgNetDrvPropertyDlg* sheet) {
                                                          picture(sheet->m_hWnd, "advanced");
                                                          SelectTab(sheet->m_hWnd, 1);
                                                          picture(sheet->m_hWnd, "information");
                                                          SelectTab(sheet->m_hWnd, 2);
                                                          picture(sheet->m_hWnd, "protocols");
                                                          Click(sheet->m_hWnd, IDCANCEL);
                                                        }));
        }));
  }
}

}  // namespace
