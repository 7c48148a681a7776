// The bound components page of the network property sheet on a Windows 10
// image whose network stack holds TCP/IP, a protocol named from a language
// resource file of the image, a client named after ";", and the
// installation's own filter; the setup package found by its version
// resource whatever its file name.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "ImageDriverTestUtil.h"
#include "driverui/ImgDrvPropertyDlg.h"
#include "driverui/ImgMgrDrvDlg.h"
#include "driverui/ImgNetPropProtocolDlg.h"

namespace {

using namespace dt;

const wchar_t kTrans[] = L"{4D36E975-E325-11CE-BFC1-08002BE10318}";
const wchar_t kClient[] = L"{4D36E973-E325-11CE-BFC1-08002BE10318}";
const wchar_t kService[] = L"{4D36E974-E325-11CE-BFC1-08002BE10318}";

std::wstring MarkerPath() {
  wchar_t path[MAX_PATH];
  GetTempPathW(MAX_PATH, path);
  return std::wstring(path) + L"vro-testres-ran.txt";
}

class Win10Net : public ::testing::Test {
 protected:
  void SetUp() override {
    disk = rt::MakeWinDisk("--arch x64 --version 10.0.17763.1");
    it::PrepareOwnAdapter(disk, true);
    store = vt::ToWin(disk.dir) + L"\\store";
    st::SetStoreRoot(store);
    std::wstring inf = st::SamplePackage(disk.dir, "pkg", "vronet.inf");
    CMountedImage m;
    ASSERT_GE(m.OpenImage(disk.path.c_str(), nullptr, 0, 1), 0);
    PutFile(m, VRO_TESTRES_DLL, L"\\Windows\\System32\\en-US\\vroproto.dll.mui");
    PutFile(m, VRO_TESTRES_DLL, L"\\Windows\\SysWOW64\\en-US\\wowproto.dll.mui");
    ASSERT_EQ(1, m.LoadHives(1));
    const std::wstring A = it::kPreparedGuid;
    auto component = [&](const wchar_t* cls, int n, const wchar_t* service, const wchar_t* range,
                         const wchar_t* display, bool provider) {
      wchar_t guid[64];
      swprintf(guid, 64, L"{%08X-0000-0000-0000-000000000001}", n);
      std::wstring key = std::wstring(kSystem) + L"Control\\Network\\" + cls + L"\\" + guid;
      SetText(m, key + L"\\Ndi", L"Service", service);
      if (range) SetText(m, key + L"\\Ndi\\Interfaces", L"LowerRange", range);
      std::wstring svc = std::wstring(kSystem) + L"Services\\" + service;
      SetText(m, svc, L"ImagePath", L"system32\\drivers\\x.sys");
      SetList(m, svc + L"\\Linkage", L"Bind", {L"\\Device\\" + A});
      SetList(m, svc + L"\\Linkage", L"Route", {L"\"" + A + L"\""});
      SetText(m, provider ? svc + L"\\NetworkProvider" : svc, L"DisplayName", display);
    };
    component(kTrans, 101, L"Tcpip", L"ndis5", L"@%SystemRoot%\\system32\\tcpipcfg.dll,-50001",
              false);
    component(kTrans, 102, L"VroProto", L"ndis5", L"@%SystemRoot%\\system32\\vroproto.dll,-1001",
              false);
    component(kClient, 103, L"VroClient", nullptr, L"@%SystemRoot%\\system32\\x.dll,-1;Vro Client",
              true);
    component(kService, 104, L"VroNdis", nullptr, L"Vro NDIS", false);
    component(kTrans, 105, L"VroWow", L"ndis5", L"@%SystemRoot%\\system32\\wowproto.dll,-1001",
              false);
    component(kTrans, 106, L"VroNone", L"ndis5", L"@%SystemRoot%\\system32\\none.dll,-7", false);
    ASSERT_TRUE(m.UnloadHives());
    ASSERT_EQ(1u, st::ImportIntoStore(&m, kStoreNetwork, 0x400A00, inf));
    InstallSampleNic(&m);
  }
  rt::WinDisk disk;
  std::wstring store;
};

TEST_F(Win10Net, BoundComponentsAndTheirNames) {
  DeleteFileW(MarkerPath().c_str());
  CMountedImage image;
  ASSERT_GE(image.OpenImage(disk.path.c_str(), nullptr, 0, 1), 0);
  Parent parent(2052);
  EXPECT_TRUE(Modal<CImgMgrDrvDlg>::Run(
      [&] { new CImgMgrDrvDlg(&parent, &image); },
      [&](CImgMgrDrvDlg* dlg) {
        HWND page = GetDlgItem(dlg->m_hWnd, 138);
        HWND list = GetDlgItem(page, 1001);
        int nic = FindRow(list, L"Vro Gigabit Network Connection");
        ASSERT_GE(nic, 0);
        EXPECT_EQ(L"10.0_x64", Cell(list, nic, 3));
        EXPECT_EQ(1, Image(list, nic)) << "red: the components' bindings disagree";
        SelectOnly(list, nic);
        EXPECT_TRUE(Modal<CImgNetDrvPropertyDlg>::Run(
            [&] { Click(page, 1004); },
            [&](CImgNetDrvPropertyDlg* sheet) {
              SelectTab(sheet->m_hWnd, 2);
              HWND protocols = GetDlgItem(sheet->m_hWnd, 145);
              ASSERT_TRUE(protocols && IsWindowVisible(protocols));
              HWND rows = GetDlgItem(protocols, 1000);
              std::vector<std::wstring> names, services;
              for (int i = 0; i < ListView_GetItemCount(rows); ++i) {
                names.push_back(Cell(rows, i, 0));
                services.push_back(Cell(rows, i, 1));
              }
              EXPECT_EQ((std::vector<std::wstring>{L"Vro Client", L"Internet 协议版本 4 (TCP/IPv4)",
                                                   L"VroNone", L"Vro Test Protocol",
                                                   L"Vro Test Protocol"}),
                        names)
                  << "own text, after ';', the image's resource file (System32, then SysWow64), "
                     "the component name; never VroNdis";
              EXPECT_EQ((std::vector<std::wstring>{L"VroClient", L"Tcpip", L"VroNone", L"VroProto",
                                                   L"VroWow"}),
                        services);
              int client = 0, tcpip = 1;
              EXPECT_EQ(0, Image(rows, client)) << "a client";
              EXPECT_EQ(2, Image(rows, tcpip)) << "a protocol";
              EXPECT_EQ(0, Param(rows, client)) << "bound as expected";
              EXPECT_EQ(1, Param(rows, tcpip)) << "not in the expected binding state: red";
              auto ticked = [&](int i) {
                return (ListView_GetItemState(rows, i, LVIS_STATEIMAGEMASK) >> 12) == 2;
              };
              EXPECT_TRUE(ticked(client));
              // The mouse cannot change a tick; the space bar can.
              BYTE keys[256] = {};
              GetKeyboardState(keys);
              keys[VK_LBUTTON] = 0x80;
              SetKeyboardState(keys);
              ListView_SetItemState(rows, client, INDEXTOSTATEIMAGEMASK(1), LVIS_STATEIMAGEMASK);
              EXPECT_TRUE(ticked(client)) << "refused with the left button down";
              keys[VK_LBUTTON] = 0;
              SetKeyboardState(keys);
              SetFocus(rows);
              SelectOnly(rows, client);
              SendMessageW(rows, WM_KEYDOWN, VK_SPACE, 0);
              SendMessageW(rows, WM_CHAR, L' ', 0);
              SendMessageW(rows, WM_KEYUP, VK_SPACE, 0);
              uitest::Pump();
              EXPECT_FALSE(ticked(client)) << "the space bar toggles";
              Click(sheet->m_hWnd, IDCANCEL);
            }));
      }));
  EXPECT_FALSE(vt::FileExists(MarkerPath())) << "the resource file never ran";
}

TEST(ResourceLanguage, FoldersOfTheHostLanguage) {
  EXPECT_STREQ(L"zh-CN", ResourceLanguageFolder(0x0804));
  EXPECT_STREQ(L"zh-TW", ResourceLanguageFolder(0x0404));
  EXPECT_STREQ(L"zh-HK", ResourceLanguageFolder(0x0C04));
  EXPECT_STREQ(L"ja-JP", ResourceLanguageFolder(0x0411));
  EXPECT_STREQ(L"ko-KR", ResourceLanguageFolder(0x0412));
  EXPECT_STREQ(L"ru-RU", ResourceLanguageFolder(0x0419));
  EXPECT_STREQ(L"en-US", ResourceLanguageFolder(0x0407));
}

// The own-programs tab comes with an executable of the image's architecture
// whose version resource names "VroSetup.exe", whatever its file name.
TEST(SetupPackageTab, FoundByOriginalNameForTheImageArchitecture) {
  rt::WinDisk x86 = rt::MakeWinDisk("--arch x86 --version 6.1.7601.17514");
  rt::WinDisk x64 = rt::MakeWinDisk("--arch x64 --version 6.1.7601.17514", "mbr2048", "raw", "",
                                    "disk.img", "x64");
  std::string root = x86.dir + "/store";
  st::SetStoreRoot(vt::ToWin(root));
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(root) + " && cp " + vt::Q(vt::ToUnix(self)) + " " +
                      vt::Q(root + "/VroSetup.exe")));
  CMountedImage images[2];
  ASSERT_GE(images[0].OpenImage(x86.path.c_str(), nullptr, 0, 1), 0);
  ASSERT_GE(images[1].OpenImage(x64.path.c_str(), nullptr, 0, 1), 0);
  auto tabs = [&](CMountedImage* image) {
    Parent parent(2052);
    int count = -1;
    Modal<CImgMgrDrvDlg>::Run(
        [&] { new CImgMgrDrvDlg(&parent, image); },
        [&](CImgMgrDrvDlg* dlg) { count = TabCtrl_GetItemCount(GetDlgItem(dlg->m_hWnd, 1018)); });
    return count;
  };
  EXPECT_EQ(2, tabs(&images[0])) << "named VroSetup.exe, but its version resource says otherwise";
  ASSERT_EQ(0, vt::Sh("cp " + vt::Q(VRO_TESTRES_DLL) + " " + vt::Q(root + "/renamed.exe")));
  // The resource file is built for the test program's width.
  CMountedImage* own = sizeof(void*) == 8 ? &images[1] : &images[0];
  CMountedImage* other = own == &images[0] ? &images[1] : &images[0];
  EXPECT_EQ(3, tabs(own)) << "a package of the image's architecture under another name";
  EXPECT_EQ(2, tabs(other)) << "a package of another architecture does not serve the image";
}

}  // namespace
