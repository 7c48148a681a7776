// The own-programs page on real windows over 64-bit and 32-bit Windows
// images. The setup packages are mingw programs made here, carrying the
// installation's files as resources, and packed by the unpacker's own pack
// side, so that the page's unpack road runs on them; what an update writes
// into the image is read back with ntfscat.
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <share.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "StoreTestUtil.h"
#include "common/PathUtil.h"
#include "driverui/ImgVroDrvDlg.h"
#include "resources/ResourceIds.h"
#include "ui/controls/ListView.h"
#include "upxlib/except.h"
#include "upxlib/file.h"
#include "upxlib/options.h"
#include "upxlib/p_w32pe.h"
#include "upxlib/p_w64pep.h"
#include "upxlib/upxlib.h"

namespace {

// List-view groups as Windows keeps them (Wine's list view has none).
std::map<int, std::wstring> g_groups;
std::map<int, int> g_itemGroups;

LRESULT WindowsGroups(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == LVM_INSERTGROUP) {
    const LVGROUP* g = reinterpret_cast<const LVGROUP*>(lParam);
    g_groups[g->iGroupId] = g->pszHeader;
    return LRESULT(g_groups.size() - 1);
  }
  LVITEMW* it = reinterpret_cast<LVITEMW*>(lParam);
  if (message == LVM_INSERTITEMW) {
    LRESULT index = SendMessageW(list, message, wParam, lParam);
    if (index >= 0 && (it->mask & LVIF_GROUPID)) g_itemGroups[int(index)] = it->iGroupId;
    return index;
  }
  if (message == LVM_GETITEMW && (it->mask & LVIF_GROUPID)) it->iGroupId = g_itemGroups[it->iItem];
  return SendMessageW(list, message, wParam, lParam);
}

const char* kResources[8] = {"VROCLIENTEXE", "VRORUNCLIENTEXE", "PINDLE",     "VRODOMAINEXE",
                             "VRONDISSYS",   "VROPNPSYS",       "VROSCSISYS", "VROLWFSYS"};

// Programs with a version resource: payloads whose OriginalFilename names a
// build date, and setup packages carrying payloads as resources.
void BuildPrograms(const std::string& dir) {
  std::string s = "set -e; cd " + vt::Q(dir) + "\n";
  s += "echo 'int main(void){return 0;}' > m.c\n";
  s += "ver() { printf '#include <windows.h>\\n1 VERSIONINFO\\nFILEVERSION %s\\nBEGIN\\n"
       "BLOCK \"StringFileInfo\"\\nBEGIN\\nBLOCK \"040904b0\"\\nBEGIN\\n"
       "VALUE \"OriginalFilename\", \"%s\"\\nVALUE \"FileVersion\", \"x\"\\nEND\\nEND\\n"
       "BLOCK \"VarFileInfo\"\\nBEGIN\\nVALUE \"Translation\", 0x409, 1200\\nEND\\nEND\\n' "
       "\"$2\" \"$3\" > $1.rc; }\n";
  s += "cc32=$(command -v i686-w64-mingw32-gcc || command -v i686-w64-mingw32-gcc-posix)\n";
  s += "cc64=$(command -v x86_64-w64-mingw32-gcc || command -v x86_64-w64-mingw32-gcc-posix)\n";
  s += "prog() { $3-windres $1.rc -o $1.o && $2 -s -O1 -o $1.exe m.c $1.o; }\n";
  s += "ver old 5,0,0,0 'Vro 2019-05-12'; prog old $cc32 i686-w64-mingw32\n";
  s += "ver new 5,0,0,0 'Vro 2020-01-02'; prog new $cc32 i686-w64-mingw32\n";
  s += "ver newer 5,0,0,0 'Vro 2021-03-04'; prog newer $cc32 i686-w64-mingw32\n";
  s += "$cc32 -s -o nover.exe m.c\n";
  std::string all;
  for (const char* r : kResources) all += std::string(r) + " " + r + " \"new.exe\"\\n";
  s += "pkg() { ver $1 3,1,0,0 $2; printf '" + all + "' >> $1.rc; prog $1 $3 $4; }\n";
  s += "pkg setupA VroSetup.exe $cc64 x86_64-w64-mingw32\n";
  s += "pkg setupD VroSetup.exe $cc32 i686-w64-mingw32\n";
  s += "ver setupB 3,2,0,0 VroSetup.exe; printf 'VROCLIENTEXE VROCLIENTEXE \"newer.exe\"\\n' >> "
       "setupB.rc; prog setupB $cc64 x86_64-w64-mingw32\n";
  s += "ver other 3,3,0,0 Other.exe; printf 'VROCLIENTEXE VROCLIENTEXE \"newer.exe\"\\n' >> "
       "other.rc; prog other $cc64 x86_64-w64-mingw32\n";
  std::string out;
  ASSERT_EQ(0, vt::Sh(s, &out)) << out;
}

// Packs with the unpacker's own pack side; "ok" or the refusal.
std::string Pack(const std::wstring& in, const std::wstring& out) {
  using namespace upx;
  opt->reset();
  opt->cmd = CMD_COMPRESS;
  InputFile fi;
  if (fi.openShared(in.c_str(), O_BINARY | O_RDONLY, _SH_DENYWR) != 0) return "open";
  OutputFile fo;
  if (fo.openShared(out.c_str(), O_BINARY | O_WRONLY | O_CREAT | O_TRUNC, _SH_DENYWR, 0600) != 0)
    return "open out";
  std::string r = "not PE";
  for (int k = 0; k < 2 && r == "not PE"; k++) {
    std::unique_ptr<PeFile> p(k == 0 ? static_cast<PeFile*>(new PackW64Pep(&fi))
                                     : new PackW32Pe(&fi));
    try {
      p->initPackHeader();
      fi.seek(0, SEEK_SET);
      if (!p->canPack()) continue;
      p->pack(&fo);
      fo.closeChecked();
      r = "ok";
    } catch (const Throwable& e) {
      r = e.getMsg() ? e.getMsg() : "<null>";
    }
  }
  opt->reset();
  return r;
}

class VroPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = vt::ScratchDirUnix();
    progs = dir + "/progs";
    ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(progs) + " " + vt::Q(dir + "/store")));
    BuildPrograms(progs);
    st::SetStoreRoot(vt::ToWin(dir + "/store"));
    g_groups.clear();
    g_itemGroups.clear();
    oldSend = SetListGroupSend(WindowsGroups);
  }
  void TearDown() override {
    SetListGroupSend(oldSend);
    DeleteFileW(st::SettingsFile().c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VroMount");
  }
  std::wstring Store(const std::string& name) { return vt::ToWin(dir + "/store/" + name); }
  std::wstring Prog(const std::string& name) { return vt::ToWin(progs + "/" + name); }
  // The page over the image inside a plain host window.
  void RunPage(const rt::WinDisk& d, std::function<void(CImgVroDrvDlg*, CMountedImage&)> body) {
    CMountedImage m;
    ASSERT_GE(m.OpenImage(d.path.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, m.LoadHives(0x3F));
    HWND host = uitest::MakeHost(800, 600);
    CWindow container;
    container.m_hWnd = host;
    container.m_hInstance = GetModuleHandleW(nullptr);
    CImgVroDrvDlg* page = new CImgVroDrvDlg(&container, &m);
    ASSERT_TRUE(page->m_hWnd);
    uitest::Pump();
    body(page, m);
    SendMessageW(page->m_hWnd, WM_CLOSE, 0, 0);
    DestroyWindow(host);
    container.m_hWnd = nullptr;
    m.UnloadHives();
  }
  std::string dir, progs;
  ListGroupSend oldSend;
};

int RowOf(HWND list, const std::wstring& resource, int group) {
  for (int i = 0; i < st::Rows(list); ++i)
    if (st::Cell(list, i, 3) == resource && ListGetItemGroup(list, i) == group) return i;
  return -1;
}

// A 64-bit image: eight rows from the packed package, one from a second
// package, none from a package of another name; one file checked in one
// package only; an update writes the package's file and recolours the
// other package's row; double-click and check-all edge cases.
TEST_F(VroPageTest, SixtyFourBitImageChecksAndUpdate) {
  const char* targets[8] = {"SysWOW64/VroClient.exe",
                            "SysWOW64/VroRunClient.exe",
                            "SysWOW64/Pindle.dll",
                            "SysWOW64/VroDomain.exe",
                            "System32/Drivers/VroNdis64.sys",
                            "System32/Drivers/VroPnp64.sys",
                            "System32/Drivers/VroScsi64.sys",
                            "System32/Drivers/Vro_Lwf64.sys"};
  std::string setup = "cd Windows && mkdir -p SysWOW64 System32/Drivers";
  for (const char* t : targets) setup += " && cp " + vt::Q(progs + "/old.exe") + " " + t;
  rt::WinDisk d = rt::MakeWinDisk("--arch x64 --version 6.1.7601.17514", "mbr2048", "raw", setup,
                                  "disk.img", "disk");
  ASSERT_EQ("ok", Pack(Prog("setupA.exe"), Store("setupA.exe")));
  {
    // Packed, the resources cannot be read from the package itself.
    HMODULE packed = LoadLibraryExW(Store("setupA.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(packed);
    HRSRC r = FindResourceW(packed, L"VROCLIENTEXE", L"VROCLIENTEXE");
    std::vector<uint8_t> payload;
    ASSERT_TRUE(vt::ReadAll(Prog("new.exe"), payload));
    const void* bytes = r ? LockResource(LoadResource(packed, r)) : nullptr;
    EXPECT_TRUE(!bytes || SizeofResource(packed, r) != payload.size() ||
                memcmp(bytes, payload.data(), payload.size()) != 0);
    FreeLibrary(packed);
  }
  ASSERT_NE(0, unpack_one_file(Prog("setupB.exe").c_str(), Store("unused.exe").c_str()))
      << "setupB stays unpacked: the page reads it directly";
  ASSERT_TRUE(CopyFileW(Prog("setupB.exe").c_str(), Store("setupB.exe").c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(Prog("other.exe").c_str(), Store("other.exe").c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(Prog("setupD.exe").c_str(), Store("setupD.exe").c_str(), FALSE));
  RunPage(d, [&](CImgVroDrvDlg* page, CMountedImage& m) {
    HWND list = page->List();
    ASSERT_EQ(2u, g_groups.size()) << "the 32-bit package and Other.exe are not offered";
    int a = g_groups.begin()->second.rfind(L"setupA", 0) == 0 ? 1 : 2, b = 3 - a;
    EXPECT_EQ(L"setupA.exe <3.1.0.0>", g_groups[a]);
    ASSERT_EQ(9, st::Rows(list));
    int clientA = RowOf(list, L"VROCLIENTEXE", a), clientB = RowOf(list, L"VROCLIENTEXE", b);
    ASSERT_GE(clientA, 0);
    ASSERT_GE(clientB, 0);
    EXPECT_EQ(L"VroClient.exe", st::Cell(list, clientA, 0));
    EXPECT_EQ(L"5.2020.0102.0000", st::Cell(list, clientA, 1));
    EXPECT_EQ(L"5.2019.0512.0000", st::Cell(list, clientA, 2));
    EXPECT_EQ(L"5.2021.0304.0000", st::Cell(list, clientB, 1));
    EXPECT_EQ(0xFF0000, ListGetItemParam(list, clientA));
    int lwf = RowOf(list, L"VROLWFSYS", a);
    ASSERT_GE(lwf, 0);
    EXPECT_EQ(L"Vro_Lwf64.sys", st::Cell(list, lwf, 0));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page->m_hWnd, IDC_VRO_UPDATE)));

    // Check-all without a selection does nothing; double-click on a row
    // that is not the first selected does not toggle it.
    SendMessageW(page->m_hWnd, WM_COMMAND, ID_SETUP_CHECK_ALL, 0);
    for (int i = 0; i < st::Rows(list); ++i) EXPECT_FALSE(page->IsChecked(i)) << i;
    ListSelectItem(list, clientA);
    LVITEMW sel = {};
    sel.state = sel.stateMask = LVIS_SELECTED;
    SendMessageW(list, LVM_SETITEMSTATE, clientB, (LPARAM)&sel);
    int later = std::max(clientA, clientB), earlier = std::min(clientA, clientB);
    NMITEMACTIVATE dbl = {};
    dbl.hdr = {list, 1001, (UINT)NM_DBLCLK};
    dbl.iItem = later;
    SendMessageW(page->m_hWnd, WM_NOTIFY, 1001, (LPARAM)&dbl);
    EXPECT_FALSE(page->IsChecked(later));
    dbl.iItem = earlier;
    SendMessageW(page->m_hWnd, WM_NOTIFY, 1001, (LPARAM)&dbl);
    EXPECT_TRUE(page->IsChecked(earlier));

    // One file, one package: checking B's client unchecks A's.
    page->SetChecked(clientA, true);
    page->SetChecked(clientB, true);
    uitest::Pump();
    EXPECT_FALSE(page->IsChecked(clientA));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page->m_hWnd, IDC_VRO_UPDATE)));
    page->SetChecked(clientA, true);
    EXPECT_FALSE(page->IsChecked(clientB));
    SendMessageW(page->m_hWnd, WM_COMMAND, IDC_VRO_UPDATE, 0);
    EXPECT_EQ(L"5.2020.0102.0000", st::Cell(list, clientA, 2));
    EXPECT_EQ(0, ListGetItemParam(list, clientA));
    EXPECT_EQ(L"5.2020.0102.0000", st::Cell(list, clientB, 2)) << "the other package's row";
    EXPECT_EQ(0xFF0000, ListGetItemParam(list, clientB));
    EXPECT_TRUE(page->IsChecked(clientA)) << "rows stay checked";
    // Rebuilt: the image now shows the new build.
    SendMessageW(page->m_hWnd, WM_COMMAND, ID_SETUP_REFRESH, 0);
    ASSERT_EQ(9, st::Rows(list));
    EXPECT_EQ(L"5.2020.0102.0000", st::Cell(list, RowOf(list, L"VROCLIENTEXE", a), 2));
    EXPECT_EQ(1, m.GetPathType(L"\\Windows\\SysWOW64\\VroClient.exe"));
  });
  std::string file = rt::NtfsCat(d, d.unixPath, "/Windows/SysWOW64/VroClient.exe", dir + "/c.exe");
  EXPECT_EQ(vt::Sha256(Prog("new.exe")), vt::Sha256(vt::ToWin(file)));
  std::string ndis =
      rt::NtfsCat(d, d.unixPath, "/Windows/System32/Drivers/VroNdis64.sys", dir + "/n.sys");
  EXPECT_EQ(vt::Sha256(Prog("old.exe")), vt::Sha256(vt::ToWin(ndis))) << "not checked, not written";
}

// A 32-bit image: rows 1 to 7 at most; an absent file and a file without a
// version resource have no row.
TEST_F(VroPageTest, ThirtyTwoBitImageAbsentAndVersionless) {
  std::string setup = "cd Windows && mkdir -p System32/Drivers";
  for (const char* t :
       {"System32/VroClient.exe", "System32/VroRunClient.exe", "System32/Pindle.dll",
        "System32/VroDomain.exe", "System32/Drivers/VroNdis.sys"})
    setup += " && cp " + vt::Q(progs + "/old.exe") + " " + t;
  setup += " && cp " + vt::Q(progs + "/nover.exe") + " System32/Drivers/VroPnp.sys";
  rt::WinDisk d = rt::MakeWinDisk("--arch x86 --version 6.1.7601.17514", "mbr2048", "raw", setup,
                                  "disk.img", "disk");
  ASSERT_EQ("ok", Pack(Prog("setupD.exe"), Store("setupD.exe")));
  ASSERT_TRUE(CopyFileW(Prog("setupA.exe").c_str(), Store("setupA.exe").c_str(), FALSE));
  RunPage(d, [&](CImgVroDrvDlg* page, CMountedImage&) {
    HWND list = page->List();
    ASSERT_EQ(1u, g_groups.size());
    EXPECT_EQ(5, st::Rows(list));
    EXPECT_EQ(-1, RowOf(list, L"VROPNPSYS", 1)) << "no version in the image";
    EXPECT_EQ(-1, RowOf(list, L"VROSCSISYS", 1)) << "absent from the image";
    int ndis = RowOf(list, L"VRONDISSYS", 1);
    ASSERT_GE(ndis, 0);
    EXPECT_EQ(L"VroNdis.sys", st::Cell(list, ndis, 0));
    EXPECT_EQ(L"\\Windows\\System32\\Drivers\\VroNdis.sys", st::Cell(list, ndis, 4));
  });
}

// Build versions from OriginalFilename, SpecialBuild or the file version.
TEST_F(VroPageTest, BuildVersions) {
  wchar_t text[40];
  FormatBuildVersion(ReadBuildVersion(Prog("old.exe").c_str()), text, 40);
  EXPECT_EQ(L"5.2019.0512.0000", std::wstring(text));
  EXPECT_EQ(0u, ReadBuildVersion(Prog("nover.exe").c_str()));
  FormatBuildVersion(ReadBuildVersion(Prog("setupA.exe").c_str()), text, 40);
  EXPECT_EQ(L"3.0001.0000.0000", std::wstring(text)) << "no date: the file version";
}

}  // namespace
