// The boot and system options dialog on real windows over disks holding a
// Windows 7 and a Windows 10 (fixture hives with their version values and
// boot stores). What OK writes is read back from the disk with the ntfs-3g
// and hivex tools.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "../../registry/FacadeTestUtil.h"
#include "DialogTestUtil.h"
#include "disktools/dialogs/BootMenuDlg.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/controls/ListView.h"

namespace {

const char kBcd[] = "/Boot/BCD";
const char kSystem[] = "/Windows/System32/config/SYSTEM";
const char kSoftware[] = "/Windows/System32/config/SOFTWARE";
const char kLoader1[] = "{a1b2c3d4-0000-4000-8000-000000000001}";
const char kLoader2[] = "{a1b2c3d4-0000-4000-8000-000000000002}";
const char kLoader3[] = "{a1b2c3d4-0000-4000-8000-000000000003}";

rt::WinDisk MakeBootDisk(const std::string& version, const std::string& profile,
                         const std::string& sub) {
  return rt::MakeWinDisk("--bcd --no-kernel --version " + version, "mbr2048", "raw",
                         "/usr/bin/python3 " +
                             vt::Q(vt::SourceDirUnix() + "/tests/disktools/dialogs/boot-hives.py") +
                             " . " + profile,
                         "disk.img", sub);
}

// A file of the disk's volume copied out with ntfscat.
std::string Extract(const rt::WinDisk& d, const char* volumePath, const std::string& tag) {
  std::string part = d.unixPath + ".part", out = d.unixPath + "." + tag;
  EXPECT_EQ(0, vt::Sh("dd if=" + vt::Q(d.unixPath) + " of=" + vt::Q(part) +
                      " bs=512 skip=" + std::to_string(d.start) +
                      " count=" + std::to_string(rt::kDiskMiB * 2048) + " status=none && ntfscat " +
                      vt::Q(part) + " " + vt::Q(volumePath) + " > " + vt::Q(out)));
  return out;
}

std::string Export(const std::string& hive) {
  std::string text;
  EXPECT_EQ(0, vt::Sh("hivexregedit --export " + vt::Q(hive) + " '\\\\'", &text));
  return text;
}

std::string Get(const std::string& hive, const std::string& key, const std::string& name) {
  std::string out;
  vt::Sh("hivexget " + vt::Q(hive) + " " + vt::Q(key) + " " + vt::Q(name) + " 2>/dev/null", &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// Lines of b that are not in a, and of a not in b, as "-line" / "+line".
// The two texts go into files of their own: a copy of the program run
// beside this one must not compare its texts.
std::string Diff(const std::string& a, const std::string& b) {
  const std::wstring dir = vt::ToWin(vt::BinaryDirUnix() + "/testtmp");
  wchar_t first[MAX_PATH], second[MAX_PATH];
  CreateDirectoryW(dir.c_str(), nullptr);
  EXPECT_TRUE(GetTempFileNameW(dir.c_str(), L"vbd", 0, first) &&
              GetTempFileNameW(dir.c_str(), L"vbd", 0, second));
  vt::WriteAll(first, a.data(), a.size());
  vt::WriteAll(second, b.data(), b.size());
  std::string out;
  vt::Sh("diff " + vt::Q(vt::ToUnix(first)) + " " + vt::Q(vt::ToUnix(second)) + " | grep '^[<>]'",
         &out);
  DeleteFileW(first);
  DeleteFileW(second);
  return out;
}

std::wstring Cell(HWND list, int row, int column) {
  wchar_t text[360];
  ListGetItemText(list, row, column, text, 360);
  return text;
}

bool Checked(HWND dlg, int id) {
  return IsDlgButtonChecked(dlg, id) == BST_CHECKED;
}

void Click(HWND dlg, int id) {
  SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
}

void Toggle(HWND dlg, int id) {
  CheckDlgButton(dlg, id, Checked(dlg, id) ? BST_UNCHECKED : BST_CHECKED);
}

// Selects a row as a click would, with the list's notification.
void SelectRow(HWND dlg, int row) {
  HWND list = GetDlgItem(dlg, IDC_BOOT_ENTRIES);
  ListClearItemSelection(list, -1);
  ListSelectItem(list, row);
  NMITEMACTIVATE click = {};
  click.hdr = {list, IDC_BOOT_ENTRIES, (UINT)NM_CLICK};
  click.iItem = row;
  SendMessageW(dlg, WM_NOTIFY, IDC_BOOT_ENTRIES, (LPARAM)&click);
}

void RunBootMenu(CMountedImage* image, LANGID language, std::function<void(CBootMenuDlg*)> body) {
  dlgtest::Parent parent(language);
  dlgtest::Run<CBootMenuDlg>([&] { new CBootMenuDlg(&parent, image); }, body);
}

struct Snapshot {
  std::string bcd, system, software;
};
Snapshot Take(const rt::WinDisk& d, const std::string& tag) {
  return {Extract(d, kBcd, "bcd-" + tag), Extract(d, kSystem, "system-" + tag),
          Extract(d, kSoftware, "software-" + tag)};
}

// Windows 7: the show-menu check, timeout 0 unchecked, the rows and their
// moves at the ends, the paging check off while PagingFiles names a file;
// OK without a change leaves the store and both hives byte-identical, and
// one change (the menu) changes that value only.
TEST(BootMenuDlg, Windows7ShowsItsChecksAndOkWithoutChangeWritesNothing) {
  rt::WinDisk d = MakeBootDisk("6.1.7601.17514", "win7", "w7");
  Snapshot before = Take(d, "before");
  CMountedImage image;
  ASSERT_EQ(3, image.OpenImage(d.path.c_str(), nullptr, 0, 2));
  RunBootMenu(&image, 2052, [&](CBootMenuDlg* dlg) {
    HWND w = dlg->m_hWnd, list = GetDlgItem(w, IDC_BOOT_ENTRIES);
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(w, IDC_BOOT_SHOW_MENU)));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(w, IDC_BOOT_TILE_MENU)));
    EXPECT_TRUE(Checked(w, IDC_BOOT_SHOW_MENU));
    EXPECT_EQ(L"0", dlgtest::Text(w, IDC_BOOT_TIMEOUT));
    EXPECT_FALSE(Checked(w, IDC_BOOT_WAIT));
    ASSERT_EQ(3, ListView_GetItemCount(list));
    EXPECT_EQ(L"Windows Main", Cell(list, 0, 0));
    EXPECT_EQ(vt::Widen(kLoader3), Cell(list, 2, 1));
    EXPECT_FALSE(Checked(w, IDC_BOOT_NO_SIGNING));
    EXPECT_TRUE(Checked(w, IDC_BOOT_DEBUG));
    EXPECT_FALSE(Checked(w, IDC_BOOT_DEBUG_PRINT));
    // DisablePagingExecutive is set, but PagingFiles names a file.
    EXPECT_FALSE(Checked(w, IDC_BOOT_NO_PAGING));
    // TermService starts on demand: Remote Desktop counts as off.
    EXPECT_FALSE(Checked(w, IDC_BOOT_REMOTE_DESKTOP));
    EXPECT_EQ(2, (int)SendDlgItemMessageW(w, IDC_BOOT_DUMP_TYPE, CB_GETCURSEL, 0, 0));
    EXPECT_FALSE(Checked(w, IDC_BOOT_AUTO_RESTART));
    // The first row is selected: up does nothing, and so does down on the
    // last row.
    EXPECT_EQ(0, ListView_GetNextItem(list, -1, LVNI_SELECTED));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(w, IDC_BOOT_UP)));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, IDC_BOOT_DOWN)));
    Click(w, IDC_BOOT_UP);
    SelectRow(w, 2);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, IDC_BOOT_UP)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(w, IDC_BOOT_DOWN)));
    Click(w, IDC_BOOT_DOWN);
    EXPECT_EQ(L"Windows Main", Cell(list, 0, 0));
    EXPECT_EQ(L"Memory Test", Cell(list, 2, 0));
    EXPECT_EQ(2, ListView_GetNextItem(list, -1, LVNI_SELECTED));
    // Checking and unchecking again is no change either.
    Toggle(w, IDC_BOOT_NO_PAGING);
    Toggle(w, IDC_BOOT_NO_PAGING);
    Click(w, IDOK);
  });
  ASSERT_TRUE(image.Close());
  Snapshot after = Take(d, "after");
  EXPECT_EQ(vt::Sha256(vt::ToWin(before.bcd)), vt::Sha256(vt::ToWin(after.bcd)));
  EXPECT_EQ(vt::Sha256(vt::ToWin(before.system)), vt::Sha256(vt::ToWin(after.system)));
  EXPECT_EQ(vt::Sha256(vt::ToWin(before.software)), vt::Sha256(vt::ToWin(after.software)));

  // One setting changed: only its value differs in the store's export, and
  // the SYSTEM hive stays as it was.
  ASSERT_EQ(3, image.OpenImage(d.path.c_str(), nullptr, 0, 2));
  RunBootMenu(&image, 2052, [&](CBootMenuDlg* dlg) {
    Toggle(dlg->m_hWnd, IDC_BOOT_SHOW_MENU);
    Click(dlg->m_hWnd, IDOK);
  });
  ASSERT_TRUE(image.Close());
  Snapshot changed = Take(d, "changed");
  EXPECT_EQ("< \"Element\"=hex(3):01\n> \"Element\"=hex(3):00\n",
            Diff(Export(before.bcd), Export(changed.bcd)));
  EXPECT_EQ(vt::Sha256(vt::ToWin(before.system)), vt::Sha256(vt::ToWin(changed.system)));
}

// Windows 10: the tile-menu check, checked without its element; timeout
// 30; changing the order, the timeout, signing, debug output, paging,
// Remote Desktop, the dump type and restart writes exactly those values.
TEST(BootMenuDlg, Windows10WritesTheChangedSettings) {
  rt::WinDisk d = MakeBootDisk("10.0.19041.1", "win10", "w10");
  Snapshot before = Take(d, "before");
  CMountedImage image;
  ASSERT_EQ(3, image.OpenImage(d.path.c_str(), nullptr, 0, 2));
  RunBootMenu(&image, 2052, [&](CBootMenuDlg* dlg) {
    HWND w = dlg->m_hWnd, list = GetDlgItem(w, IDC_BOOT_ENTRIES);
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(w, IDC_BOOT_TILE_MENU)));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(w, IDC_BOOT_SHOW_MENU)));
    EXPECT_TRUE(Checked(w, IDC_BOOT_TILE_MENU));
    EXPECT_TRUE(Checked(w, IDC_BOOT_WAIT));
    EXPECT_EQ(L"30", dlgtest::Text(w, IDC_BOOT_TIMEOUT));
    EXPECT_TRUE(Checked(w, IDC_BOOT_DEBUG_PRINT));
    EXPECT_TRUE(Checked(w, IDC_BOOT_NO_PAGING));
    EXPECT_TRUE(Checked(w, IDC_BOOT_REMOTE_DESKTOP));
    EXPECT_EQ(0, (int)SendDlgItemMessageW(w, IDC_BOOT_DUMP_TYPE, CB_GETCURSEL, 0, 0));
    EXPECT_TRUE(Checked(w, IDC_BOOT_AUTO_RESTART));
    SelectRow(w, 1);
    Click(w, IDC_BOOT_UP);
    EXPECT_EQ(L"Windows Spare", Cell(list, 0, 0));
    EXPECT_EQ(vt::Widen(kLoader2), Cell(list, 0, 1));
    EXPECT_EQ(0, ListView_GetNextItem(list, -1, LVNI_SELECTED));
    Toggle(w, IDC_BOOT_WAIT);
    Toggle(w, IDC_BOOT_NO_SIGNING);
    Toggle(w, IDC_BOOT_DEBUG_PRINT);
    Toggle(w, IDC_BOOT_NO_PAGING);
    Toggle(w, IDC_BOOT_REMOTE_DESKTOP);
    SendDlgItemMessageW(w, IDC_BOOT_DUMP_TYPE, CB_SETCURSEL, 1, 0);
    Toggle(w, IDC_BOOT_AUTO_RESTART);
    Click(w, IDOK);
  });
  ASSERT_TRUE(image.Close());
  Snapshot after = Take(d, "after");
  const std::string bm = "\\Objects\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}\\Elements\\";
  const std::string bcdDiff = Diff(Export(before.bcd), Export(after.bcd));
  // The order, the timeout (8 bytes of 0), signing off with its load
  // options; the loader's debugging element stays.
  EXPECT_NE(std::string::npos, bcdDiff.find("> \"Element\"=hex(3):00,00,00,00,00,00,00,00"))
      << bcdDiff;
  EXPECT_NE(std::string::npos, bcdDiff.find("> \"Element\"=hex(3):01")) << bcdDiff;
  EXPECT_EQ(8u, (size_t)std::count(bcdDiff.begin(), bcdDiff.end(), '\n')) << bcdDiff;
  EXPECT_EQ(std::string(kLoader2) + "\n" + kLoader1 + "\n" + kLoader3,
            Get(after.bcd, bm + "24000001", "Element"));
  std::string options =
      Get(after.bcd, std::string("\\Objects\\") + kLoader1 + "\\Elements\\12000030", "Element");
  EXPECT_EQ("DISABLE_INTEGRITY_CHECKS", options);
  const std::string cs = "\\ControlSet001\\";
  EXPECT_EQ("0", Get(after.system, cs + "Control\\Session Manager\\Debug Print Filter", "DEFAULT"));
  EXPECT_EQ("0", Get(after.system, cs + "Control\\Session Manager\\Memory Management",
                     "DisablePagingExecutive"));
  EXPECT_EQ("?:\\pagefile.sys",
            Get(after.system, cs + "Control\\Session Manager\\Memory Management", "PagingFiles"));
  EXPECT_EQ("1", Get(after.system, cs + "Control\\Terminal Server", "fDenyTSConnections"));
  EXPECT_EQ("4", Get(after.system, cs + "Services\\TermService", "Start"));
  EXPECT_EQ("3", Get(after.system, cs + "Control\\CrashControl", "CrashDumpEnabled"));
  EXPECT_EQ("0", Get(after.system, cs + "Control\\CrashControl", "AutoReboot"));
  // Only those values changed in SYSTEM.
  const std::string sysDiff = Diff(Export(before.system), Export(after.system));
  EXPECT_EQ(14u, (size_t)std::count(sysDiff.begin(), sysDiff.end(), '\n')) << sysDiff;
  EXPECT_EQ(vt::Sha256(vt::ToWin(before.software)), vt::Sha256(vt::ToWin(after.software)));

  // The new order reads back into the dialog, which shows it in each
  // language; the pictures go to the build folder.
  ASSERT_EQ(3, image.OpenImage(d.path.c_str(), nullptr, 0, 2));
  for (LANGID language : {2052, 1041, 1042}) {
    RunBootMenu(&image, language, [&](CBootMenuDlg* dlg) {
      HWND list = GetDlgItem(dlg->m_hWnd, IDC_BOOT_ENTRIES);
      EXPECT_EQ(vt::Widen(kLoader2), Cell(list, 0, 1));
      EXPECT_EQ(vt::Widen(kLoader1), Cell(list, 1, 1));
      EXPECT_EQ(L"0", dlgtest::Text(dlg->m_hWnd, IDC_BOOT_TIMEOUT));
      EXPECT_FALSE(Checked(dlg->m_hWnd, IDC_BOOT_WAIT));
      dlgtest::Picture(dlg->m_hWnd, "bootmenu", language);
    });
  }
  ASSERT_TRUE(image.Close());
}

}  // namespace
