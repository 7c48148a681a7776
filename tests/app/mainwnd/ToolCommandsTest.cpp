// Every tool command of the main window reaches its dialog: over an image
// holding an offline Windows tree, each command is sent as the menu sends
// it, the dialog that comes up is recognised by its class and closed.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "MainWindowHarness.h"
#include "TestSupport.h"
#include "app/HelpBox.h"
#include "app/mainwnd/PartitionDlg.h"
#include "app/mainwnd/ToolCommands.h"
#include "app/properties/FilePropertyDlg.h"
#include "app/search/SearchFileDlg.h"
#include "app/viewer/ViewerDlg.h"
#include "common/SavedState.h"
#include "disktools/dialogs/BackupImageDlg.h"
#include "disktools/dialogs/BootMenuDlg.h"
#include "disktools/dialogs/CloneImageDlg.h"
#include "disktools/dialogs/ConvertImageDlg.h"
#include "disktools/dialogs/CreateImageDlg.h"
#include "driverui/ImgMgrDrvDlg.h"
#include "driverui/InfMgrDrvDlg.h"
#include "regedit/RegistryDlg.h"
#include "ui/UiResources.h"

namespace {

// The class of the top-level dialog that came up over the main window.
std::function<bool(CWindow*)> g_expected;
bool g_seen = false;
HWND g_main = nullptr;

BOOL CALLBACK FindDialog(HWND window, LPARAM found) {
  wchar_t cls[16] = L"";
  GetClassNameW(window, cls, 16);
  if (window != g_main && IsWindowVisible(window) && !wcscmp(cls, L"#32770")) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

// Looks for the dialog while the command's own loop runs, notes whether it
// is the expected one and closes it.
void CALLBACK CloseDialog(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindDialog, LPARAM(&dialog));
  if (!dialog) return;
  KillTimer(nullptr, timer);
  CWindow* object = CWindow::FromWindow(dialog);
  g_seen = object && g_expected(object);
  PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  PostMessageW(dialog, WM_CLOSE, 0, 0);
}

template <class T>
std::function<bool(CWindow*)> Is() {
  return [](CWindow* w) { return dynamic_cast<T*>(w) != nullptr; };
}

class ToolCommandsTest : public MainWindowTest {};

TEST_F(ToolCommandsTest, EachCommandReachesItsDialog) {
  std::string dir = vt::ScratchDirUnix();
  ASSERT_TRUE(vt::Fixture("mk-wintree.sh " + vt::Q(dir + "/tree") + " --bcd"));
  ASSERT_EQ(0, vt::Sh("printf 'hello' > " + vt::Q(dir + "/tree/note.txt")));
  std::string img = dir + "/win.img";
  ASSERT_TRUE(vt::Fixture("mk-disk.sh " + vt::Q(img) + " --layout mbr2048 --size 32 --tree " +
                          vt::Q(dir + "/tree")));
  const std::wstring image = vt::ToWin(img);
  Navigate(IDC_IMAGE_ADDRESS, image);
  ASSERT_TRUE(PumpUntil([&] { return Text(Item(IDC_IMAGE_LIST)) == image + L"\\"; }, 30));
  HWND list = Item(IDC_IMAGE_LIST);
  // ".." first, then note.txt: the commands that need a real item skip "..".
  auto select = [&](const std::wstring& name) {
    ListView_SetItemState(list, -1, 0, LVIS_SELECTED);
    for (const Row& row : Rows(list))
      if (row.name == name || row.name == L"..") {
        LVFINDINFOW find = {LVFI_STRING, row.name.c_str()};
        const int i = int(SendMessageW(list, LVM_FINDITEMW, WPARAM(-1), LPARAM(&find)));
        ListView_SetItemState(list, i, LVIS_SELECTED, LVIS_SELECTED);
      }
    SetFocus(list);
  };
  select(L"note.txt");

  struct Case {
    UINT command;
    const char* name;
    std::function<bool(CWindow*)> dialog;
  } cases[] = {
      {ID_CREATE_IMAGE, "create", Is<CCreateImageDlg>()},
      {ID_BACKUP, "backup", Is<CBackupImageDlg>()},
      {ID_CLONE, "clone", Is<CCloneImageDlg>()},
      {ID_CONVERT, "convert", Is<CConvertImageDlg>()},
      {ID_PROPERTIES, "properties", Is<CFilePropertyDlg>()},
      {ID_SEARCH, "search", Is<CSearchFileDlg>()},
      {ID_SEARCH_BUTTON, "search button", Is<CSearchFileDlg>()},
      {ID_REGISTRY, "registry", Is<CRegistryDlg>()},
      {ID_REGISTRY_BUTTON, "registry button", Is<CRegistryDlg>()},
      {ID_IMAGE_DRIVERS, "image drivers", Is<CImgMgrDrvDlg>()},
      {ID_IMAGE_DRIVERS_BUTTON, "image drivers button", Is<CImgMgrDrvDlg>()},
      {ID_STORE_DRIVERS, "store drivers", Is<CInfMgrDrvDlg>()},
      {ID_STORE_DRIVERS_BUTTON, "store drivers button", Is<CInfMgrDrvDlg>()},
      {ID_BOOT_OPTIONS, "boot options", Is<CBootMenuDlg>()},
      {ID_PARTITION_INFO, "partition", Is<CPartitionDlg>()},
      {ID_HELP_COMMAND_LINE, "help", Is<CHelpBox>()},
  };
  g_main = hwnd_;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    select(L"note.txt");
    g_expected = c.dialog;
    g_seen = false;
    SetTimer(nullptr, 0, 50, CloseDialog);
    SendMessageW(hwnd_, WM_COMMAND, c.command, 0);
    Pump();
    EXPECT_TRUE(g_seen) << "command " << c.command << " showed no such dialog";
  }

  // The viewer stays open beside the window.
  for (UINT command : {UINT(ID_VIEW_FILE), UINT(ID_VIEW_BUTTON)}) {
    ListView_SetItemState(list, -1, 0, LVIS_SELECTED);
    LVFINDINFOW find = {LVFI_STRING, L"note.txt"};
    ListView_SetItemState(list, int(SendMessageW(list, LVM_FINDITEMW, WPARAM(-1), LPARAM(&find))),
                          LVIS_SELECTED, LVIS_SELECTED);
    SetFocus(list);
    SendMessageW(hwnd_, WM_COMMAND, command, 0);
    HWND viewer = nullptr;
    ASSERT_TRUE(PumpUntil(
        [&] {
          EnumThreadWindows(GetCurrentThreadId(), FindDialog, LPARAM(&viewer));
          return viewer && dynamic_cast<CViewerDlg*>(CWindow::FromWindow(viewer));
        },
        10));
    EXPECT_NE(std::wstring::npos, Text(viewer).find(L"note.txt"));
    SendMessageW(viewer, WM_CLOSE, 0, 0);
    Pump();
  }

  // The jumps into the image's Windows.
  SetFocus(list);
  SendMessageW(hwnd_, WM_COMMAND, ID_GO_DRIVERS, 0);
  EXPECT_TRUE(PumpUntil([&] { return Text(list) == image + L"\\Windows\\System32\\Drivers"; }, 20))
      << vt::Narrow(Text(list));
  SetFocus(list);
  SendMessageW(hwnd_, WM_COMMAND, ID_GO_SYSTEM32, 0);
  EXPECT_TRUE(PumpUntil([&] { return Text(list) == image + L"\\Windows\\System32"; }, 20))
      << vt::Narrow(Text(list));
}

// The new folder's name counts from 1 past the names taken; closing the
// image bar's list without a choice puts the old address back.
TEST_F(ToolCommandsTest, NewFolderNumberingAndEscapeKeepsTheAddress) {
  const std::string dir = vt::ScratchDirUnix();
  wchar_t name[64], numbered[64], second[64];
  LoadUiString(IDS_NEW_FOLDER_NAME, name, 64);
  LoadUiString(IDS_NEW_FOLDER_NUMBERED, numbered, 64);
  _snwprintf(second, 64, numbered, 1u);
  const std::wstring host = vt::ToWin(dir);
  ASSERT_TRUE(CreateDirectoryW((host + L"\\" + name).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((host + L"\\" + second).c_str(), nullptr));
  Navigate(IDC_HOST_ADDRESS, host);
  HWND list = Item(IDC_HOST_LIST);
  ASSERT_TRUE(PumpUntil([&] { return Text(list) == host; }, 20)) << vt::Narrow(Text(list));
  SetFocus(list);
  SendMessageW(hwnd_, WM_COMMAND, ID_NEW_FOLDER, 0);
  Pump();
  _snwprintf(second, 64, numbered, 2u);
  const int item = int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
  ASSERT_GE(item, 0);
  EXPECT_EQ(std::wstring(second), Rows(list)[item].name);
  SendMessageW(list, LVM_CANCELEDITLABEL, 0, 0);
  Pump();

  HWND bar = Item(IDC_IMAGE_ADDRESS);
  HWND edit = reinterpret_cast<HWND>(SendMessageW(bar, CBEM_GETEDITCONTROL, 0, 0));
  SetWindowTextW(edit, L"D:\\old.img");
  SendMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(IDC_IMAGE_ADDRESS, CBN_DROPDOWN), LPARAM(bar));
  SetWindowTextW(edit, L"D:\\other.img");
  SendMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(IDC_IMAGE_ADDRESS, CBN_CLOSEUP), LPARAM(bar));
  EXPECT_EQ(L"D:\\old.img", Text(edit));
}

TEST(ToolCommands, LastDriveOfNewImages) {
  SaveLastDrive(L"b");
  EXPECT_EQ(L'D', LoadLastDrive());
  SaveLastDrive(L"e:");
  EXPECT_EQ(L'E', LoadLastDrive());
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"LastDrive");
  EXPECT_EQ(L'D', LoadLastDrive());
}

}  // namespace
