// Pictures of the viewer, the search window and the property sheet in the
// three languages, taken only on request: VRO_FILETOOLS_SHOTS names a folder
// (a Linux path) for them, and the program runs with
// --gtest_filter=FileToolsScreens.* --gtest_also_run_disabled_tests.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "TestSupport.h"
#include "WindowDriver.h"
#include "app/properties/FilePropertyDlg.h"
#include "app/search/SearchFileDlg.h"
#include "app/viewer/ViewFile.h"
#include "app/viewer/ViewerDlg.h"
#include "image/mount/MountedImage.h"
#include "resources/ResourceIds.h"
#include "ui/UiLanguage.h"

namespace {

void Shot(const std::string& file, HWND window) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  ft::Pump();
  Sleep(300);
  ft::Pump();
  vt::Sh("import -window root " + vt::Q(file));
}

TEST(FileToolsScreens, DISABLED_ThreeLanguages) {
  const char* folder = getenv("VRO_FILETOOLS_SHOTS");
  if (!folder) GTEST_SKIP() << "VRO_FILETOOLS_SHOTS not set";
  const std::string dir = vt::ScratchDirUnix(), tree = dir + "/tree", img = dir + "/vol.img";
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  ASSERT_EQ(0, vt::Sh("mkdir -p " + vt::Q(tree + "/Docs") +
                      " && printf 'VroMount viewer\\r\\n"
                      "Second line with a needle' > " +
                      vt::Q(tree + "/Docs/readme.txt")));
  ASSERT_TRUE(CopyFileW((std::wstring(system) + L"\\kernel32.dll").c_str(),
                        vt::ToWin(tree + "/kernel32.dll").c_str(), FALSE));
  ASSERT_TRUE(
      vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout none --size 16 --tree " + vt::Q(tree)));
  CMountedImage image;
  ASSERT_GE(image.OpenImage(vt::ToWin(img).c_str(), nullptr, 0, 0), 0);
  const std::wstring readme = vt::ToWin(tree + "/Docs/readme.txt");
  // A picture larger than the window, shrunk to fit.
  const std::string picture = dir + "/picture.bin";
  ASSERT_EQ(0, vt::Sh("convert -size 1600x900 gradient:navy-gold " + vt::Q("png:" + picture)));
  {
    const std::wstring path = vt::ToWin(picture);
    HWND viewer = ViewFile(nullptr, nullptr, path.c_str(), path.c_str());
    ASSERT_TRUE(viewer);
    SetWindowPos(viewer, HWND_TOP, 0, 0, 640, 400, SWP_NOMOVE);
    Shot(std::string(folder) + "/picture.png", viewer);
    SendMessageW(viewer, WM_CLOSE, 0, 0);
    ft::Pump();
  }
  for (LANGID language : {kLangChinese, kLangJapanese, kLangKorean}) {
    const std::string tag = std::string(folder) + "/" + std::to_string(language);
    CWindow owner;
    owner.m_language = language;
    HWND viewer = ViewFile(&owner, nullptr, readme.c_str(), readme.c_str());
    ASSERT_TRUE(viewer);
    SetWindowPos(viewer, HWND_TOP, 0, 0, 640, 360, SWP_NOMOVE);
    Shot(tag + "-viewer.png", viewer);
    SendMessageW(viewer, WM_COMMAND, ID_VIEW_FIND, 0);
    Shot(tag + "-find.png", viewer);
    SendMessageW(viewer, WM_CLOSE, 0, 0);
    ft::Pump();

    int phase = 0;
    ft::StartSteps([&]() {
      HWND dialog = ft::FindThreadWindow(IDC_SEARCH_RESULTS);
      if (!dialog) return false;
      if (phase == 0) {
        SetWindowTextW(GetDlgItem(dialog, IDC_SEARCH_NAME), L"*");
        SetWindowTextW(GetDlgItem(dialog, IDC_SEARCH_CONTENT), L"needle");
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        phase = 1;
        return false;
      }
      if (static_cast<CSearchFileDlg*>(CWindow::FromWindow(dialog))->m_running) return false;
      Shot(tag + "-search.png", dialog);
      PostMessageW(dialog, WM_CLOSE, 0, 0);
      return true;
    });
    CSearchFileDlg::Run(&owner, &image, (vt::ToWin(img) + L"\\").c_str());

    for (int tab = 0; tab < 2; ++tab) {
      ft::StartSteps([&]() {
        HWND sheet = ft::FindThreadWindow(IDC_PROPERTY_TABS);
        if (!sheet) return false;
        HWND tabs = GetDlgItem(sheet, IDC_PROPERTY_TABS);
        SendMessageW(tabs, TCM_SETCURSEL, tab, 0);
        NMHDR change = {tabs, IDC_PROPERTY_TABS, UINT(TCN_SELCHANGE)};
        SendMessageW(sheet, WM_NOTIFY, IDC_PROPERTY_TABS, LPARAM(&change));
        Shot(tag + "-properties" + std::to_string(tab) + ".png", sheet);
        PostMessageW(sheet, WM_COMMAND, IDCANCEL, 0);
        return true;
      });
      CFilePropertyDlg::Run(&owner, &image, L"\\kernel32.dll");
    }
  }
}

}  // namespace
