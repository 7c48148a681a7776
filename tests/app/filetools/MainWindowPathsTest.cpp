// The file tools opened over the main window: a search result located in
// the image pane and viewed, and the property sheet's new attributes shown
// in the image list.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "WindowDriver.h"
#include "app/mainwnd/FileManagerDlg.h"
#include "app/properties/FilePropertyDlg.h"
#include "app/search/SearchFileDlg.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/UiLanguage.h"
#include "ui/controls/ListView.h"

namespace {

std::wstring ItemText(HWND list, int item, int subItem) {
  wchar_t text[360] = L"";
  ListGetItemText(list, item, subItem, text, 360);
  return text;
}

TEST(FileToolsOverMainWindow, LocateViewAndProperties) {
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_WIN95_CLASSES | ICC_USEREX_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  const std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree", img = dir + "/vol.img";
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree + "/Dir/Deep") + " && printf one > " +
                      vt::Q(tree + "/Dir/Deep/found.txt") + " && printf two > " +
                      vt::Q(tree + "/top.txt")));
  ASSERT_TRUE(
      vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout none --size 16 --tree " + vt::Q(tree)));
  CFileManagerDlg* main = new CFileManagerDlg();
  SetWindowLanguage(kLangChinese, main);
  ASSERT_NE(0, main->Create(nullptr, IDD_FILE_MANAGER, FALSE, 0));
  HWND hwnd = main->m_hWnd;
  ShowWindow(hwnd, SW_SHOWNORMAL);
  ft::Pump();
  const std::wstring image = vt::ToWin(img);
  COMBOBOXEXITEMW bar = {};
  bar.mask = CBEIF_TEXT;
  bar.iItem = -1;
  bar.pszText = const_cast<wchar_t*>(image.c_str());
  SendMessageW(GetDlgItem(hwnd, IDC_IMAGE_ADDRESS), CBEM_SETITEMW, 0, LPARAM(&bar));
  SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDC_IMAGE_ADDRESS, CBN_SELCHANGE), LPARAM(-1));
  ft::Pump();
  HWND pane = GetDlgItem(hwnd, IDC_IMAGE_LIST);
  ASSERT_TRUE(main->m_image) << "the image did not open";

  // Search from the pane's address, locate the deep result, view it.
  bool viewed = false;
  int phase = 0;
  ft::StartSteps([&]() {
    HWND dialog = ft::FindThreadWindow(IDC_SEARCH_RESULTS);
    if (!dialog) return false;
    HWND results = GetDlgItem(dialog, IDC_SEARCH_RESULTS);
    if (phase == 0) {
      SetWindowTextW(GetDlgItem(dialog, IDC_SEARCH_NAME), L"found.txt");
      SetWindowTextW(GetDlgItem(dialog, IDC_SEARCH_CONTENT), L"");
      CheckDlgButton(dialog, IDC_SEARCH_SUBDIRS, BST_CHECKED);
      PostMessageW(dialog, WM_COMMAND, IDOK, 0);
      phase = 1;
      return false;
    }
    if (static_cast<CSearchFileDlg*>(CWindow::FromWindow(dialog))->m_running) return false;
    EXPECT_EQ(1, SendMessageW(results, LVM_GETITEMCOUNT, 0, 0));
    EXPECT_EQ(L"\\Dir\\Deep\\found.txt", ItemText(results, 0, 0));
    ListSelectItem(results, 0);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, IDC_SEARCH_LOCATE)));
    SendMessageW(dialog, WM_COMMAND, IDC_SEARCH_LOCATE, 0);
    SendMessageW(dialog, WM_COMMAND, IDC_SEARCH_VIEW, 0);
    HWND viewer = ft::FindThreadWindow(IDC_VIEWER_TEXT);
    viewed = viewer && ft::WindowText(GetDlgItem(viewer, IDC_VIEWER_TEXT)) == L"one";
    if (viewer) SendMessageW(viewer, WM_CLOSE, 0, 0);
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    return true;
  });
  CSearchFileDlg::Run(main, main->m_image, (image + L"\\").c_str());
  EXPECT_TRUE(viewed) << "the result was not shown in a viewer";
  EXPECT_EQ(image + L"\\Dir\\Deep", ft::WindowText(pane));
  const int selected = int(SendMessageW(pane, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  ASSERT_GE(selected, 0);
  EXPECT_EQ(L"found.txt", ItemText(pane, selected, 0));

  // The properties of the selected item: hidden, OK; the list shows it.
  ft::StartSteps([&]() {
    HWND sheet = ft::FindThreadWindow(IDC_PROPERTY_TABS);
    if (!sheet) return false;
    CheckDlgButton(GetDlgItem(sheet, IDD_FILE_INFO), IDC_INFO_HIDDEN, BST_CHECKED);
    PostMessageW(sheet, WM_COMMAND, IDOK, 0);
    return true;
  });
  CFilePropertyDlg::Run(main, main->m_image, L"\\Dir\\Deep\\found.txt");
  EXPECT_EQ(L"0022", ItemText(pane, selected, 3));
  SendMessageW(hwnd, WM_CLOSE, 0, 0);
  ft::Pump();
  std::string out;
  EXPECT_EQ(
      0, vt::Sh("ntfsinfo -F /Dir/Deep/found.txt " + vt::Q(img) + " | grep -m1 'File attributes'",
                &out));
  EXPECT_NE(std::string::npos, out.find("HIDDEN ARCHIVE")) << out;
}

}  // namespace
