// The main window created as the program creates it, driven by the messages
// the program posts to itself (an address put into a bar, then
// CBN_SELCHANGE with -1), and its panes compared with ntfsls and mtools.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <psapi.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../../image/MountedImageTestUtil.h"
#include "MainWindowHarness.h"
#include "TestSupport.h"
#include "app/CommandLine.h"
#include "app/mainwnd/Clipboard.h"
#include "app/mainwnd/FileManagerDlg.h"
#include "app/mainwnd/FilePanes.h"
#include "app/mainwnd/FileTypes.h"
#include "common/Format.h"
#include "resources/ResourceIds.h"
#include "ui/UiLanguage.h"
#include "ui/UiResources.h"

namespace {

// name -> size text ("" for folders) of an "ntfsls -l" or "mdir" listing.
std::map<std::wstring, std::wstring> NtfsListing(const std::string& volume,
                                                 const std::string& path) {
  std::string out;
  EXPECT_EQ(0, vt::Sh("ntfsls -l -F " + vt::Q(volume) + " -p " + vt::Q(path), &out));
  std::map<std::wstring, std::wstring> files;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    unsigned long long size;
    std::string month, day, time, year, name;
    if (!(fields >> size >> month >> day >> time >> year)) continue;
    std::getline(fields, name);
    name = name.substr(1);
    if (name == "./" || name == "../") continue;
    if (!name.empty() && name.back() == '/') {
      files[vt::Widen(name.substr(0, name.size() - 1))] = L"";
    } else {
      wchar_t text[32];
      FormatUiByteSize(size, text, 32);
      files[vt::Widen(name)] = text;
    }
  }
  return files;
}

std::map<std::wstring, std::wstring> PaneFiles(HWND list) {
  std::map<std::wstring, std::wstring> files;
  for (const Row& row : Rows(list)) {
    if (row.name != L".." && row.name != L"::{UEFI}") files[row.name] = row.size;
  }
  return files;
}

struct Disk {
  std::string dir = vt::ScratchDirUnix() + "/mainwnd";
  Disk() {
    vt::Sh("rm -rf " + vt::Q(dir) + " && mkdir -p " + vt::Q(dir + "/tree/Windows/System32") + " " +
           vt::Q(dir + "/tree/Zeta") + " " + vt::Q(dir + "/esp/EFI/Boot"));
    vt::Sh("head -c 5000 /dev/zero > " + vt::Q(dir + "/tree/Windows/System32/kernel32.dll") +
           " && printf hello > " + vt::Q(dir + "/tree/a.txt") + " && head -c 70000 /dev/zero > " +
           vt::Q(dir + "/tree/Big.ZIP") + " && printf x > " + vt::Q(dir + "/tree/noext") +
           " && printf x > " + vt::Q(dir + "/esp/EFI/Boot/bootx64.efi"));
  }
};

TEST(StartupImage, CommandLineForms) {
  Disk d;
  const std::wstring image = vt::ToWin(d.dir + "/tree/a.txt");
  const std::wstring folder = vt::ToWin(d.dir + "/tree/Zeta");
  wchar_t img[kPathChars], fix[kPathChars];
  {
    std::wstring a1 = L"/fix:D:\\w\\001.fix", a2 = L"-IMG:D:\\t.img";
    wchar_t* argv[] = {const_cast<wchar_t*>(L"p"), &a1[0], &a2[0]};
    EXPECT_EQ(1, FindStartupImage(3, argv, img, fix));
    EXPECT_STREQ(L"D:\\t.img", img);
    EXPECT_STREQ(L"D:\\w\\001.fix", fix);
  }
  {
    std::wstring a1 = image, a2 = L"/img:D:\\two.img";
    wchar_t* argv[] = {const_cast<wchar_t*>(L"p"), &a1[0], &a2[0]};
    EXPECT_EQ(1, FindStartupImage(3, argv, img, fix));
    EXPECT_STREQ(L"D:\\two.img", img) << "the option wins over a bare file";
    EXPECT_STREQ(L"", fix);
  }
  // An option that names a file given twice opens nothing; both are told.
  for (const wchar_t* second : {L"/img:D:\\two.img", L"-FIX:D:\\two.fix"}) {
    std::wstring a1 = L"-img:D:\\one.img", a2 = L"-fix:D:\\one.fix", a3 = second;
    wchar_t* argv[] = {const_cast<wchar_t*>(L"p"), &a1[0], &a2[0], &a3[0]};
    EXPECT_EQ(-2, FindStartupImage(4, argv, img, fix)) << vt::Narrow(second);
    EXPECT_EQ(second[1] == L'i' ? a1 : a2, std::wstring(img));
    EXPECT_STREQ(second, fix);
  }
  {
    std::wstring a1 = folder, a2 = L"D:\\missing.img", a3 = image;
    wchar_t* argv[] = {const_cast<wchar_t*>(L"p"), &a1[0], &a2[0], &a3[0]};
    EXPECT_EQ(1, FindStartupImage(4, argv, img, fix));
    EXPECT_EQ(image, std::wstring(img)) << "a folder and a missing file are no image";
  }
  {
    std::wstring a1 = L"-img:D:\\t.img", a2 = L"-fix:D:\\t.fix", a3 = L"/MERGE";
    wchar_t* argv[] = {const_cast<wchar_t*>(L"p"), &a1[0], &a2[0], &a3[0]};
    EXPECT_EQ(1, FindStartupImage(4, argv, img, fix));
    EXPECT_STREQ(L"", fix) << "the merged write-back file is not started again";
  }
  {
    std::wstring a1 = folder;
    wchar_t* argv[] = {const_cast<wchar_t*>(L"p"), &a1[0]};
    EXPECT_EQ(0, FindStartupImage(2, argv, img, fix));
  }
  // A partition behind "::" that is no whole decimal number opens nothing.
  for (const wchar_t* typo : {L"x", L"", L"0x1", L"1x"}) {
    std::wstring a1 = std::wstring(L"-img:D:\\t.img::") + typo;
    wchar_t* argv[] = {const_cast<wchar_t*>(L"p"), &a1[0]};
    EXPECT_EQ(-1, FindStartupImage(2, argv, img, fix)) << vt::Narrow(typo);
  }
}

TEST(FileTypes, GroupsOfTheExamples) {
  EXPECT_EQ(10, ClassifyFileType(L"main.c"));
  EXPECT_EQ(10, ClassifyFileType(L"x\\main.cpp"));
  EXPECT_EQ(10, ClassifyFileType(L"main.h"));
  EXPECT_EQ(17, ClassifyFileType(L"A.GZ"));
  EXPECT_EQ(17, ClassifyFileType(L"a.tar.gz"));
  EXPECT_EQ(2, ClassifyFileType(L"a.tar"));
  EXPECT_EQ(2, ClassifyFileType(L"README"));
  EXPECT_EQ(2, ClassifyFileType(L"dot."));
  EXPECT_EQ(2, ClassifyFileType(L"a.b\\file"));
  EXPECT_EQ(3, ClassifyFileType(L"ntdll.DLL"));
  EXPECT_EQ(18, ClassifyFileType(L"disk.vfd"));
}

TEST(Layout, SplitAndBottomEdge) {
  MainWindowLayout l = ComputeMainLayout(801, 600, 70, 24, 22);
  EXPECT_EQ(400, l.hostList.right);
  EXPECT_EQ(400, l.imageList.left);
  EXPECT_EQ(401, l.imageList.right);
  EXPECT_EQ(94, l.hostList.top);
  EXPECT_EQ(600 - 24 - 70 - 22 + 1, l.hostList.bottom);
  l = ComputeMainLayout(801, 600, 70, 24, 0);
  EXPECT_EQ(601, l.imageList.top + l.imageList.bottom)
      << "without status bar one pixel past the edge";
}

TEST_F(MainWindowTest, WindowLayoutAndHostStart) {
  RECT rc = {0, 0, 801, 500};
  AdjustWindowRectEx(&rc, GetWindowLongW(hwnd_, GWL_STYLE), FALSE,
                     GetWindowLongW(hwnd_, GWL_EXSTYLE));
  SetWindowPos(hwnd_, nullptr, 0, 0, rc.right - rc.left, rc.bottom - rc.top,
               SWP_NOMOVE | SWP_NOZORDER);
  Pump();
  RECT client, host, image, status;
  GetClientRect(hwnd_, &client);
  ASSERT_EQ(801, client.right);
  GetWindowRect(Item(IDC_HOST_LIST), &host);
  GetWindowRect(Item(IDC_IMAGE_LIST), &image);
  GetWindowRect(Item(IDC_STATUS_BAR), &status);
  EXPECT_EQ(400, host.right - host.left);
  EXPECT_EQ(401, image.right - image.left);
  EXPECT_EQ(host.right, image.left);
  EXPECT_EQ(status.top + 1, host.bottom) << "the lists reach one pixel under the status bar's top";
  RECT toolbar;
  GetWindowRect(Item(IDC_TOOLBAR), &toolbar);
  EXPECT_GT(toolbar.bottom - toolbar.top, 64) << "the toolbar holds its 64-pixel icons";

  // Wine's first fixed drive is C:; its root shows no "..".
  EXPECT_EQ(L"C:\\", Text(Item(IDC_HOST_LIST)));
  for (const Row& row : Rows(Item(IDC_HOST_LIST))) EXPECT_NE(L"..", row.name);
  EXPECT_EQ(L"", Text(Item(IDC_IMAGE_LIST))) << "no image is open";
  // The address fields keep every key but Tab.
  HWND edit =
      reinterpret_cast<HWND>(SendMessageW(Item(IDC_IMAGE_ADDRESS), CBEM_GETEDITCONTROL, 0, 0));
  EXPECT_EQ(0, SendMessageW(edit, WM_GETDLGCODE, VK_TAB, 0) & (DLGC_WANTTAB | DLGC_WANTALLKEYS));
  EXPECT_EQ(DLGC_WANTALLKEYS, SendMessageW(edit, WM_GETDLGCODE, VK_RETURN, 0));
  Navigate(IDC_HOST_ADDRESS, L"C:\\windows");
  std::vector<Row> rows = Rows(Item(IDC_HOST_LIST));
  ASSERT_FALSE(rows.empty());
  std::string names = vt::Narrow(Text(Item(IDC_HOST_LIST))) + ": ";
  for (const Row& row : rows) names += vt::Narrow(row.name) + "|";
  EXPECT_EQ(L"..", rows[0].name) << names;

  // The drop-down: C:\ with the folders of the path below it; choosing
  // one of them opens that folder.
  Navigate(IDC_HOST_ADDRESS, L"C:\\windows\\system32");
  HWND bar = Item(IDC_HOST_ADDRESS);
  FillHostAddressList(bar, Item(IDC_HOST_LIST));
  const int selected = int(SendMessageW(bar, CB_GETCURSEL, 0, 0));
  ASSERT_GE(selected, 2);
  wchar_t path[720];
  GetComboItemPath(bar, selected, path, 720);
  EXPECT_STREQ(L"C:\\windows\\system32", path);
  SendMessageW(bar, CB_SETCURSEL, selected - 1, 0);
  PostMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(IDC_HOST_ADDRESS, CBN_SELCHANGE), LPARAM(bar));
  Pump();
  EXPECT_EQ(L"C:\\windows", Text(Item(IDC_HOST_LIST)));
}

TEST_F(MainWindowTest, NtfsImagePaneMatchesNtfsls) {
  Disk d;
  const std::string img = d.dir + "/ntfs.img", part = d.dir + "/part.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout mbr2048 --size 16 --tree " +
                          vt::Q(d.dir + "/tree")));
  ASSERT_EQ(0,
            vt::Sh("dd if=" + vt::Q(img) + " of=" + vt::Q(part) + " bs=512 skip=2048 status=none"));
  const std::wstring win = vt::ToWin(img);
  HWND list = Item(IDC_IMAGE_LIST);

  Navigate(IDC_IMAGE_ADDRESS, win);
  EXPECT_EQ(win + L"\\", Text(list));
  EXPECT_EQ(NtfsListing(part, "/"), PaneFiles(list));
  std::vector<Row> rows = Rows(list);
  std::string names;
  for (const Row& row : rows) names += vt::Narrow(row.name) + "|";
  ASSERT_EQ(5u, rows.size()) << "the root has no \"..\": " << names;
  // Folders above files, by name.
  EXPECT_EQ(L"Windows", rows[0].name);
  EXPECT_EQ(L"Zeta", rows[1].name);
  EXPECT_EQ(L"a.txt", rows[2].name);
  EXPECT_EQ(10, rows[2].image);
  EXPECT_EQ(17, rows[3].image);  // Big.ZIP
  EXPECT_EQ(L"noext", rows[4].name);
  EXPECT_EQ(kItemPlainFile, rows[4].image);

  // Sorting: the name column clicked again sorts descending, folders stay
  // above the files; by size the folders go with the smallest.
  SortFileList(list, 0);
  rows = Rows(list);
  EXPECT_EQ(L"Zeta", rows[0].name);
  EXPECT_EQ(L"Windows", rows[1].name);
  EXPECT_EQ(L"noext", rows[2].name);
  EXPECT_EQ(L"a.txt", rows[4].name);
  SortFileList(list, 1);
  rows = Rows(list);
  EXPECT_EQ(L"Windows", rows[0].name) << "folders count as the smallest";
  EXPECT_EQ(L"Zeta", rows[1].name);
  EXPECT_EQ(L"noext", rows[2].name);
  EXPECT_EQ(L"a.txt", rows[3].name);
  EXPECT_EQ(L"Big.ZIP", rows[4].name) << "68 KB reads as 68, above 5 and 1 bytes";
  SortFileList(list, 0);

  Navigate(IDC_IMAGE_ADDRESS, win + L"\\Windows\\System32");
  EXPECT_EQ(win + L"\\Windows\\System32", Text(list));
  rows = Rows(list);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(L"..", rows[0].name) << "\"..\" stays on top";
  EXPECT_EQ(NtfsListing(part, "/Windows/System32"), PaneFiles(list));

  // Entering ".." by a double click goes back to the folder above.
  NMITEMACTIVATE activate = {};
  activate.hdr.hwndFrom = list;
  activate.hdr.idFrom = IDC_IMAGE_LIST;
  activate.hdr.code = NM_DBLCLK;
  activate.iItem = 0;
  SendMessageW(hwnd_, WM_NOTIFY, IDC_IMAGE_LIST, LPARAM(&activate));
  EXPECT_EQ(win + L"\\Windows", Text(list));
  EXPECT_EQ(NtfsListing(part, "/Windows"), PaneFiles(list));

  // An address whose prefix names no file opens nothing, and a box says so.
  const std::wstring none = vt::ToWin(d.dir + "/none.img") + L"\\Windows";
  std::vector<std::wstring> said;
  {
    Answerer answers({IDOK});
    Navigate(IDC_IMAGE_ADDRESS, none);
    said = answers.Texts();
  }
  EXPECT_EQ(L"", Text(list));
  EXPECT_EQ(0, SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  ASSERT_EQ(1u, said.size()) << "the window opened nothing without a word";
  wchar_t format[512];
  LoadUiString(GetModuleHandleW(nullptr), IDS_NOTICE_MISSING, kLangChinese, format, 512);
  EXPECT_EQ(none + (format + 2), said[0]);
}

TEST_F(MainWindowTest, GptRootShowsUefiFirstAndFatMatchesMdir) {
  Disk d;
  const std::string gpt = d.dir + "/gpt.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(gpt) +
                          " --layout gpt-esp --esp-size 40 --size 8 "
                          "--tree " +
                          vt::Q(d.dir + "/tree") + " --esp-tree " + vt::Q(d.dir + "/esp")));
  HWND list = Item(IDC_IMAGE_LIST);
  Navigate(IDC_IMAGE_ADDRESS, vt::ToWin(gpt));
  std::vector<Row> rows = Rows(list);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(L"::{UEFI}", rows[0].name);
  EXPECT_EQ(kItemDrive, rows[0].image);
  for (const Row& row : rows) EXPECT_NE(L"..", row.name);
  Navigate(IDC_IMAGE_ADDRESS, vt::ToWin(gpt) + L"\\::{UEFI}\\EFI\\Boot");
  rows = Rows(list);
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ(L"..", rows[0].name);
  EXPECT_EQ(L"bootx64.efi", rows[1].name);

  // A FAT32 volume: the names and sizes mdir lists.
  const std::string fat = d.dir + "/fat.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(fat) +
                          " --fs fat32 --layout none --size 40 --tree " + vt::Q(d.dir + "/tree")));
  std::string out;
  ASSERT_EQ(0, vt::Sh("mdir -i " + vt::Q(fat) + " -b ::/", &out));
  std::map<std::wstring, std::wstring> expected;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::string name = line.substr(3);  // "::/"
    if (!name.empty() && name.back() == '/') {
      expected[vt::Widen(name.substr(0, name.size() - 1))] = L"";
    } else {
      std::string size;
      vt::Sh("stat -c %s " + vt::Q(d.dir + "/tree/" + name), &size);
      wchar_t text[32];
      FormatUiByteSize(std::stoull(size), text, 32);
      expected[vt::Widen(name)] = text;
    }
  }
  Navigate(IDC_IMAGE_ADDRESS, vt::ToWin(fat));
  std::map<std::wstring, std::wstring> pane = PaneFiles(list);
  EXPECT_EQ(expected, pane);
}

std::wstring FontFace(HWND window) {
  LOGFONTW face = {};
  GetObjectW(HFONT(SendMessageW(window, WM_GETFONT, 0, 0)), sizeof face, &face);
  return face.lfFaceName;
}

// The View menu's language commands from Chinese to Korean and back: the
// title, column titles, the bytes of a small file and the font of the
// window's template in that language on every control; the status text of
// the old language goes; the choice is saved.
TEST_F(MainWindowTest, LanguageSwitchThroughTheMenu) {
  Disk d;
  Navigate(IDC_HOST_ADDRESS, vt::ToWin(d.dir + "/tree"));
  const struct {
    UINT command;
    LANGID language;
    const wchar_t* face;
  } steps[] = {{ID_LANGUAGE_KOREAN, kLangKorean, L"Gulim"},
               {ID_LANGUAGE_CHINESE, kLangChinese, L"SimSun"}};
  for (const auto& step : steps) {
    lstrcpyW(window_->m_statusText, L"message in the old language");
    SendMessageW(hwnd_, WM_COMMAND, step.command, 0);
    Pump();
    wchar_t expected[64], title[64] = L"";
    LoadUiString(GetModuleHandleW(nullptr), IDS_COLUMN_NAME, step.language, expected, 64);
    for (int id : {IDC_HOST_LIST, IDC_IMAGE_LIST}) {
      LVCOLUMNW column = {};
      column.mask = LVCF_TEXT;
      column.pszText = title;
      column.cchTextMax = 64;
      SendMessageW(Item(id), LVM_GETCOLUMNW, 0, LPARAM(&column));
      EXPECT_STREQ(expected, title);
    }
    EXPECT_STREQ(L"", window_->m_statusText);
    wchar_t format[32], bytes[32];
    LoadUiString(GetModuleHandleW(nullptr), IDS_BYTES_FORMAT, step.language, format, 32);
    _snwprintf(bytes, 32, format, 5u);
    EXPECT_EQ(bytes, PaneFiles(Item(IDC_HOST_LIST))[L"a.txt"]) << step.language;
    for (HWND control : {Item(IDC_TOOLBAR), Item(IDC_HOST_ADDRESS), Item(IDC_IMAGE_ADDRESS),
                         Item(IDC_IMAGE_FILES), Item(IDC_HOST_LIST), Item(IDC_IMAGE_LIST),
                         Item(IDC_STATUS_BAR)})
      EXPECT_EQ(step.face, FontFace(control)) << step.language << " control "
                                              << GetDlgCtrlID(control);
  }
  // The titles came back with the sort arrow of the name column.
  for (int id : {IDC_HOST_LIST, IDC_IMAGE_LIST}) {
    HDITEMW item = {};
    item.mask = HDI_FORMAT;
    SendMessageW(ListView_GetHeader(Item(id)), HDM_GETITEMW, 0, LPARAM(&item));
    EXPECT_TRUE(item.fmt & HDF_SORTUP) << "list " << id;
  }
  wchar_t caption[128];
  GetWindowTextW(hwnd_, caption, 128);
  EXPECT_NE(nullptr, wcsstr(caption, L"\u6620\u50cf")) << "the word for an image in the title";
  // A file of under 1 KiB listed after the switch back is in Chinese too.
  Navigate(IDC_HOST_ADDRESS, vt::ToWin(d.dir + "/tree"));
  EXPECT_EQ(L"5 \x5B57\x8282", PaneFiles(Item(IDC_HOST_LIST))[L"a.txt"]);
  wchar_t settings[kPathChars];
  GetSettingsFilePath(GetModuleHandleW(nullptr), settings);
  EXPECT_EQ(2052u, GetPrivateProfileIntW(L"Config", L"Language", 0, settings));
  DeleteFileW(settings);
}

// At their first-start widths the columns of both panes show their titles
// and every text of a file's row whole, in each language's font: the list's
// own measure of each text and a margin on both sides.
TEST_F(MainWindowTest, DefaultColumnWidthsFitTheirTextsInEveryLanguage) {
  Disk d;
  vt::Sh("touch -d '2026-12-28 20:58:58' " + vt::Q(d.dir + "/tree") + "/*");
  for (LANGID language : {kLangChinese, kLangJapanese, kLangKorean}) {
    for (const wchar_t* value : {L"ListviewLocalColumn", L"ListviewImageColumn"})
      RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\VroMount", value);
    OpenWindow(language);
    Navigate(IDC_HOST_ADDRESS, vt::ToWin(d.dir + "/tree"));
    HWND list = Item(IDC_HOST_LIST);
    const int row = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)) - 1;
    ASSERT_GE(row, 0);
    for (int id : {IDC_HOST_LIST, IDC_IMAGE_LIST}) {
      for (int column = 0; column < 4; ++column) {
        wchar_t title[64] = L"", cell[260] = L"";
        LVCOLUMNW info = {};
        info.mask = LVCF_TEXT;
        info.pszText = title;
        info.cchTextMax = 64;
        SendMessageW(Item(id), LVM_GETCOLUMNW, column, LPARAM(&info));
        LVITEMW item = {};
        item.iSubItem = column;
        item.pszText = cell;
        item.cchTextMax = 260;
        SendMessageW(list, LVM_GETITEMTEXTW, row, LPARAM(&item));
        const int width = int(SendMessageW(Item(id), LVM_GETCOLUMNWIDTH, column, 0));
        for (const std::wstring& text : {std::wstring(title), std::wstring(cell)}) {
          const int needed =
              int(SendMessageW(Item(id), LVM_GETSTRINGWIDTHW, 0, LPARAM(text.c_str()))) + 12;
          EXPECT_LE(needed, width) << "language " << language << " list " << id << " column "
                                   << column << ": " << vt::Narrow(text);
        }
      }
    }
  }
  PumpedWindow() = nullptr;
  SendMessageW(hwnd_, WM_CLOSE, 0, 0);
  Pump();
  for (const wchar_t* value : {L"ListviewLocalColumn", L"ListviewImageColumn"})
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\VroMount", value);
}

// An own sparse image whose update file holds a new file: the update file
// as the address shows the volume with the change, the image alone and the
// image under a new write-back file show it without; the status bar says
// virtual disk.
TEST_F(MainWindowTest, OwnImageWithUpdateAndWriteBack) {
  Disk d;
  const std::string raw = d.dir + "/raw.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(raw) + " --layout mbr2048 --size 16 --tree " +
                          vt::Q(d.dir + "/tree")));
  const std::wstring own = mi::CopyIntoOwnImage(vt::ToWin(raw), d.dir, L"own.vmd");
  {
    CMountedImage image;
    ASSERT_GE(image.OpenImage(own.c_str(), nullptr, 0, 1), 0);
    ASSERT_EQ(1, image.CreatePath(L"\\added.txt", 0x8000));
    ASSERT_EQ(5u, image.WriteFile(L"\\added.txt", "12345", 0, 5));
    ASSERT_TRUE(image.Close());
  }
  ASSERT_TRUE(vt::FileExists(vt::ToWin(d.dir + "/own.vmd_01.Upd")))
      << "the change went to an update file";

  ASSERT_EQ(0, vt::Sh("dd if=" + vt::Q(raw) + " of=" + vt::Q(d.dir + "/part.img") +
                      " bs=512 skip=2048 status=none"));
  const std::map<std::wstring, std::wstring> base = NtfsListing(d.dir + "/part.img", "/");
  std::map<std::wstring, std::wstring> updated = base;
  wchar_t five[32];
  FormatUiByteSize(5, five, 32);
  updated[L"added.txt"] = five;
  Navigate(IDC_IMAGE_ADDRESS, own + L"_01.Upd");
  EXPECT_EQ(updated, PaneFiles(Item(IDC_IMAGE_LIST))) << "the update file over its image";
  Navigate(IDC_IMAGE_ADDRESS, own);
  EXPECT_EQ(base, PaneFiles(Item(IDC_IMAGE_LIST))) << "the image alone";

  // With a write-back file the own image is read under it alone.
  const std::wstring fix = vt::ToWin(d.dir + "/wks.fix");
  window_->m_writeBackPath = new wchar_t[fix.size() + 1];
  lstrcpyW(window_->m_writeBackPath, fix.c_str());
  Navigate(IDC_IMAGE_ADDRESS, own);
  EXPECT_EQ(base, PaneFiles(Item(IDC_IMAGE_LIST)));
  EXPECT_EQ(6u, window_->m_imageType);
  wchar_t kind[64] = L"", virtualDisk[64];
  SendMessageW(Item(IDC_STATUS_BAR), SB_GETTEXTW, 3, LPARAM(kind));
  LoadUiString(GetModuleHandleW(nullptr), IDS_VIRTUAL_DISK, kLangChinese, virtualDisk, 64);
  EXPECT_STREQ(virtualDisk, kind);
  // A new write-back file takes its name only with a write: closed
  // without a change, the image leaves none.
  EXPECT_FALSE(vt::FileExists(vt::ToWin(d.dir + "/wks.Fix")));
  ASSERT_TRUE(window_->m_image->Close());
  EXPECT_FALSE(vt::FileExists(vt::ToWin(d.dir + "/wks.Fix")));
  EXPECT_FALSE(vt::FileExists(vt::ToWin(d.dir + "/wks.Fix.new")));
}

}  // namespace

namespace {

void SelectOnly(HWND list, const std::wstring& name) {
  const int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    wchar_t text[360] = L"";
    LVITEMW lv = {};
    lv.pszText = text;
    lv.cchTextMax = 360;
    SendMessageW(list, LVM_GETITEMTEXTW, i, LPARAM(&lv));
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    state.state = name == text ? LVIS_SELECTED : 0;
    SendMessageW(list, LVM_SETITEMSTATE, i, LPARAM(&state));
  }
}

// Another program's copy: plain text on the clipboard.
void PutText(HWND owner, const wchar_t* text) {
  ASSERT_TRUE(OpenClipboard(owner));
  EmptyClipboard();
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (lstrlenW(text) + 1) * sizeof(wchar_t));
  lstrcpyW(static_cast<wchar_t*>(GlobalLock(block)), text);
  GlobalUnlock(block);
  SetClipboardData(CF_UNICODETEXT, block);
  CloseClipboard();
}

}  // namespace

TEST_F(MainWindowTest, ClipboardCopyPasteAndStaging) {
  Disk d;
  const std::string img = d.dir + "/clip.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout none --size 16 --tree " +
                          vt::Q(d.dir + "/tree")));
  HWND list = Item(IDC_IMAGE_LIST);
  HWND other =
      CreateWindowW(L"STATIC", L"other", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);

  // Copying only ".." leaves the clipboard as it was.
  Navigate(IDC_IMAGE_ADDRESS, vt::ToWin(img) + L"\\Zeta");
  PutText(other, L"before");
  SelectOnly(list, L"..");
  CopyImageSelectionToClipboard(list, window_);
  EXPECT_EQ(0u, GetClipboardDropEffect(hwnd_));
  EXPECT_STREQ(L"", window_->m_stagingFolder);

  // An image file goes through a staging folder; another program's copy
  // removes it.
  Navigate(IDC_IMAGE_ADDRESS, vt::ToWin(img));
  SelectOnly(list, L"a.txt");
  CopyImageSelectionToClipboard(list, window_);
  Pump();
  const std::wstring staging = window_->m_stagingFolder;
  ASSERT_NE(L"", staging) << "the own copy keeps its staging folder";
  EXPECT_NE(std::wstring::npos, staging.find(L"Cop"))
      << "GetTempFileNameW keeps three letters of Copy$";
  EXPECT_EQ(1u, GetClipboardDropEffect(hwnd_));
  std::vector<std::wstring> files = ReadClipboardFilesToPaste(hwnd_);
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ(staging + L"\\a.txt", files[0]);
  std::vector<uint8_t> data;
  ASSERT_TRUE(vt::ReadAll(files[0], data));
  EXPECT_EQ("hello", std::string(data.begin(), data.end()));
  PutText(other, L"after");
  Pump();
  EXPECT_STREQ(L"", window_->m_stagingFolder);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(staging.c_str())) << "staging folder gone";

  // A host file is offered by its own path; a list offered for a link only
  // is not pasted.
  Navigate(IDC_HOST_ADDRESS, vt::ToWin(d.dir + "/tree"));
  SelectOnly(Item(IDC_HOST_LIST), L"a.txt");
  CopyHostSelectionToClipboard(Item(IDC_HOST_LIST));
  files = ReadClipboardFilesToPaste(hwnd_);
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ(vt::ToWin(d.dir + "/tree/a.txt"), files[0]);
  ASSERT_EQ(1, PutFilesOnClipboard(other, {files[0]}));
  ASSERT_TRUE(OpenClipboard(other));
  HGLOBAL link = GlobalAlloc(GMEM_MOVEABLE, sizeof(DWORD));
  *static_cast<DWORD*>(GlobalLock(link)) = DROPEFFECT_LINK;
  GlobalUnlock(link);
  SetClipboardData(RegisterClipboardFormatW(L"Preferred DropEffect"), link);
  CloseClipboard();
  EXPECT_EQ(DWORD(DROPEFFECT_LINK), GetClipboardDropEffect(hwnd_));
  EXPECT_TRUE(ReadClipboardFilesToPaste(hwnd_).empty());
  DestroyWindow(other);
}

// Not a test: bench/main-window-list.sh runs it on a folder of many files
// (VRO_BENCH_ADDRESS) and reads the time until the list is filled and the
// process's peak working set from its output.
TEST_F(MainWindowTest, DISABLED_ListFillBenchmark) {
  wchar_t address[720];
  ASSERT_TRUE(GetEnvironmentVariableW(L"VRO_BENCH_ADDRESS", address, 720));
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  Navigate(IDC_IMAGE_ADDRESS, address);
  QueryPerformanceCounter(&end);
  // The volume's own enumeration, without the list.
  wchar_t image[720], folder[720];
  SplitImageAddress(address, image, 720, folder, 720);
  LARGE_INTEGER enumStart, enumEnd;
  {
    CMountedImage mounted;
    ASSERT_GE(mounted.OpenImage(image, nullptr, 0, 0), 0);
    QueryPerformanceCounter(&enumStart);
    mounted.EnumDirectory(
        folder,
        [](const wchar_t*, unsigned, DWORD, DWORD, const FILETIME*, const FILETIME*,
           const FILETIME*, DWORD, void*) { return 1; },
        nullptr);
    QueryPerformanceCounter(&enumEnd);
  }
  printf("enumerate-ms %.0f\n",
         double(enumEnd.QuadPart - enumStart.QuadPart) * 1000.0 / double(frequency.QuadPart));
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof memory;
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
  printf("list-filled-ms %.0f items %d peak-working-set-kb %u\n",
         double(end.QuadPart - start.QuadPart) * 1000.0 / double(frequency.QuadPart),
         int(SendMessageW(Item(IDC_IMAGE_LIST), LVM_GETITEMCOUNT, 0, 0)),
         unsigned(memory.PeakWorkingSetSize / 1024));
}

namespace {

struct FoundWindow {
  DWORD process;
  HWND window;
};

BOOL CALLBACK FindMainWindow(HWND window, LPARAM param) {
  FoundWindow* found = reinterpret_cast<FoundWindow*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  // The id slot of a top-level window holds its menu: the main window is
  // known by its two lists.
  if (owner == found->process && GetDlgItem(window, IDC_IMAGE_LIST) &&
      GetDlgItem(window, IDC_HOST_LIST) && IsWindowVisible(window)) {
    found->window = window;
    return FALSE;
  }
  return TRUE;
}

template <class F>
bool WaitUntil(F done) {
  for (int i = 0; i < 300; ++i) {
    if (done()) return true;
    Sleep(100);
  }
  return done();
}

// The built program started with "-img:" (and a window to talk to only
// through messages the system carries between processes): the image list
// holds what ntfsls lists, and an address put into the bar opens a folder.
TEST(MainWindowProgram, OpensTheImageOfItsCommandLine) {
  Disk d;
  const std::string img = d.dir + "/e2e.img", part = d.dir + "/e2e-part.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout mbr2048 --size 16 --tree " +
                          vt::Q(d.dir + "/tree")));
  ASSERT_EQ(0,
            vt::Sh("dd if=" + vt::Q(img) + " of=" + vt::Q(part) + " bs=512 skip=2048 status=none"));
  const std::wstring image = vt::ToWin(img);
  std::wstring line = L"\"" + vt::ToWin(VRO_PROGRAM_UNIX) + L"\" \"/IMG:" + image + L"\"";
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(
      CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  FoundWindow found = {pi.dwProcessId, nullptr};
  EXPECT_TRUE(WaitUntil([&] {
    EnumWindows(FindMainWindow, LPARAM(&found));
    return found.window != nullptr;
  }));
  if (found.window) {
    HWND list = GetDlgItem(found.window, IDC_IMAGE_LIST);
    EXPECT_TRUE(WaitUntil([&] { return Text(list) == image + L"\\"; })) << vt::Narrow(Text(list));
    EXPECT_EQ(LRESULT(NtfsListing(part, "/").size()), SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));

    HWND edit = reinterpret_cast<HWND>(
        SendMessageW(GetDlgItem(found.window, IDC_IMAGE_ADDRESS), CBEM_GETEDITCONTROL, 0, 0));
    const std::wstring folder = image + L"\\Windows\\System32";
    SendMessageW(edit, WM_SETTEXT, 0, LPARAM(folder.c_str()));
    PostMessageW(found.window, WM_COMMAND, MAKEWPARAM(IDC_IMAGE_ADDRESS, CBN_SELCHANGE),
                 LPARAM(-1));
    EXPECT_TRUE(WaitUntil([&] { return Text(list) == folder; })) << vt::Narrow(Text(list));
    // ".." and the files ntfsls lists there.
    EXPECT_EQ(LRESULT(NtfsListing(part, "/Windows/System32").size() + 1),
              SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    PostMessageW(found.window, WM_CLOSE, 0, 0);
  }
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 30000));
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(0u, code);
  if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

}  // namespace

namespace {

// The program on a 144-DPI screen (150 %): 96-pixel toolbar pictures and
// the columns 252, 120, 204 and 60 pixels wide.
TEST(MainWindowProgram, ScalesItsPicturesAndColumnsAt144Dpi) {
  const wchar_t* kDesktop = L"Control Panel\\Desktop";
  DWORD old = 0, size = sizeof old;
  const bool hadValue = RegGetValueW(HKEY_CURRENT_USER, kDesktop, L"LogPixels", RRF_RT_REG_DWORD,
                                     nullptr, &old, &size) == ERROR_SUCCESS;
  const DWORD dpi = 144;
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, kDesktop, L"LogPixels", REG_DWORD,
                                           &dpi, sizeof dpi));
  for (const wchar_t* value : {L"ListviewLocalColumn", L"ListviewImageColumn"})
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\VroMount", value);
  std::wstring line = L"\"" + vt::ToWin(VRO_PROGRAM_UNIX) + L"\"";
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi;
  ASSERT_TRUE(
      CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  FoundWindow found = {pi.dwProcessId, nullptr};
  EXPECT_TRUE(WaitUntil([&] {
    EnumWindows(FindMainWindow, LPARAM(&found));
    return found.window != nullptr;
  }));
  if (hadValue) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kDesktop, L"LogPixels", REG_DWORD, &old, sizeof old);
  } else {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kDesktop, L"LogPixels");
  }
  if (found.window) {
    const DWORD button =
        DWORD(SendMessageW(GetDlgItem(found.window, IDC_TOOLBAR), TB_GETBUTTONSIZE, 0, 0));
    EXPECT_GE(HIWORD(button), 96) << "a 96-pixel picture and its text";
    EXPECT_LT(HIWORD(button), 160);
    const int widths[4] = {252, 120, 204, 60};
    for (int id : {IDC_HOST_LIST, IDC_IMAGE_LIST}) {
      for (int column = 0; column < 4; ++column) {
        // At least the designed widths scaled; more where the font needs it.
        EXPECT_LE(widths[column],
                  SendMessageW(GetDlgItem(found.window, id), LVM_GETCOLUMNWIDTH, column, 0))
            << "list " << id << " column " << column;
      }
    }
    PostMessageW(found.window, WM_CLOSE, 0, 0);
  }
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 30000));
  if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  // The closing window saved the widths it had.
  for (const wchar_t* value : {L"ListviewLocalColumn", L"ListviewImageColumn"})
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\VroMount", value);
}

}  // namespace
