#include "disktools/dialogs/BootMenuDlg.h"

#include <commctrl.h>

#include <cwchar>

#include "disktools/dialogs/DiskToolDlg.h"
#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "resources/ResourceIds.h"
#include "ui/OwnerMessageBox.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"

namespace {

const int kTextChars = 360;
const UINT kDumpItems[] = {IDS_DUMP_NONE, IDS_DUMP_SMALL, IDS_DUMP_KERNEL, IDS_DUMP_COMPLETE};

bool Checked(HWND dialog, int id) {
  return IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}

void Check(HWND dialog, int id, bool on) {
  CheckDlgButton(dialog, id, on ? BST_CHECKED : BST_UNCHECKED);
}

int SelectedRow(HWND list) {
  return (int)SendMessageW(list, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
}

std::wstring CellText(HWND list, int row, int column) {
  wchar_t text[kTextChars];
  ListGetItemText(list, row, column, text, kTextChars);
  return text;
}

}  // namespace

CBootMenuDlg::CBootMenuDlg(CWindow* parent, CMountedImage* image)
    : m_image(image), m_loaded(false), m_beforeWindows8(false) {
  Create(parent, IDD_BOOT_MENU, TRUE, reinterpret_cast<LPARAM>(image));
}

LRESULT CBootMenuDlg::OnInitDialog() {
  HWND list = GetDlgItem(m_hWnd, IDC_BOOT_ENTRIES);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  SetExplorerListTheme(list, m_version);
  RECT rc;
  GetClientRect(list, &rc);
  wchar_t name[64];
  LoadUiString(IDS_COLUMN_NAME, name, 64);
  LVCOLUMNW column = {};
  column.mask = LVCF_TEXT | LVCF_WIDTH;
  column.pszText = name;
  column.cx = (rc.right - rc.left) * 2 / 5;
  SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
  column.pszText = const_cast<wchar_t*>(L"GUID");
  column.cx = (rc.right - rc.left) - column.cx - 4;
  SendMessageW(list, LVM_INSERTCOLUMNW, 1, reinterpret_cast<LPARAM>(&column));

  HWND dump = GetDlgItem(m_hWnd, IDC_BOOT_DUMP_TYPE);
  for (UINT id : kDumpItems) {
    wchar_t text[128];
    LoadUiString(id, text, 128);
    SendMessageW(dump, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
  }

  BootOptions options;
  if (m_image && m_image->LoadHives(HIVE_FLAG_SYSTEM | HIVE_FLAG_BCD)) {
    m_loaded = true;
    options.beforeWindows8 = IsBeforeWindows8(m_image->GetWindowsVersion());
    ReadBootOptions(m_image, &options);
  } else if (m_image) {
    options.beforeWindows8 = IsBeforeWindows8(m_image->GetWindowsVersion());
  }
  m_beforeWindows8 = options.beforeWindows8;
  ShowOptions(options);
  // What OK compares with: the options as the controls show them now.
  m_read = CollectOptions();
  if (!m_read.entries.empty()) ListSelectItem(list, 0);
  UpdateMoveButtons();
  return 1;
}

void CBootMenuDlg::ShowOptions(const BootOptions& o) {
  HWND list = GetDlgItem(m_hWnd, IDC_BOOT_ENTRIES);
  for (const BootEntry& entry : o.entries) {
    int row = ListAppendItem(list, entry.name.c_str(), 0);
    ListSetItemText(list, row, 1, entry.guid.c_str());
  }
  const int shown = o.beforeWindows8 ? IDC_BOOT_SHOW_MENU : IDC_BOOT_TILE_MENU;
  const int hidden = o.beforeWindows8 ? IDC_BOOT_TILE_MENU : IDC_BOOT_SHOW_MENU;
  ShowWindow(GetDlgItem(m_hWnd, hidden), SW_HIDE);
  ShowWindow(GetDlgItem(m_hWnd, shown), SW_SHOW);
  Check(m_hWnd, shown, o.menu);
  Check(m_hWnd, IDC_BOOT_WAIT, o.wait);
  if (o.timeoutKnown) {
    wchar_t text[16];
    _snwprintf(text, 16, L"%u", o.timeout);
    text[15] = 0;
    SetDlgItemTextW(m_hWnd, IDC_BOOT_TIMEOUT, text);
  }
  Check(m_hWnd, IDC_BOOT_NO_SIGNING, o.noSigning);
  Check(m_hWnd, IDC_BOOT_DEBUG, o.debug);
  Check(m_hWnd, IDC_BOOT_DEBUG_PRINT, o.debugPrint);
  Check(m_hWnd, IDC_BOOT_NO_PAGING, o.noPaging);
  Check(m_hWnd, IDC_BOOT_REMOTE_DESKTOP, o.remoteDesktop);
  SendDlgItemMessageW(m_hWnd, IDC_BOOT_DUMP_TYPE, CB_SETCURSEL, o.dumpItem, 0);
  Check(m_hWnd, IDC_BOOT_AUTO_RESTART, o.autoRestart);
}

BootOptions CBootMenuDlg::CollectOptions() const {
  BootOptions o;
  HWND list = GetDlgItem(m_hWnd, IDC_BOOT_ENTRIES);
  int rows = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
  for (int row = 0; row < rows; ++row)
    o.entries.push_back(BootEntry{CellText(list, row, 1), CellText(list, row, 0)});
  o.beforeWindows8 = m_beforeWindows8;
  o.menu = Checked(m_hWnd, o.beforeWindows8 ? IDC_BOOT_SHOW_MENU : IDC_BOOT_TILE_MENU);
  o.wait = Checked(m_hWnd, IDC_BOOT_WAIT);
  wchar_t text[16] = {};
  GetDlgItemTextW(m_hWnd, IDC_BOOT_TIMEOUT, text, 16);
  o.timeoutKnown = text[0] != 0;
  o.timeout = (uint32_t)wcstoul(text, nullptr, 10);
  o.noSigning = Checked(m_hWnd, IDC_BOOT_NO_SIGNING);
  o.debug = Checked(m_hWnd, IDC_BOOT_DEBUG);
  o.debugPrint = Checked(m_hWnd, IDC_BOOT_DEBUG_PRINT);
  o.noPaging = Checked(m_hWnd, IDC_BOOT_NO_PAGING);
  o.remoteDesktop = Checked(m_hWnd, IDC_BOOT_REMOTE_DESKTOP);
  int item = (int)SendDlgItemMessageW(m_hWnd, IDC_BOOT_DUMP_TYPE, CB_GETCURSEL, 0, 0);
  o.dumpItem = item < 0 ? BOOT_DUMP_NONE : item;
  o.autoRestart = Checked(m_hWnd, IDC_BOOT_AUTO_RESTART);
  return o;
}

void CBootMenuDlg::MoveSelectedRow(int step) {
  HWND list = GetDlgItem(m_hWnd, IDC_BOOT_ENTRIES);
  int row = SelectedRow(list);
  int other = row + step;
  int rows = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
  if (row < 0 || other < 0 || other >= rows) return;
  for (int column = 0; column < 2; ++column) {
    std::wstring a = CellText(list, row, column), b = CellText(list, other, column);
    ListSetItemText(list, row, column, b.c_str());
    ListSetItemText(list, other, column, a.c_str());
  }
  ListClearItemSelection(list, -1);
  ListSelectItem(list, other);
  UpdateMoveButtons();
}

void CBootMenuDlg::UpdateMoveButtons() {
  HWND list = GetDlgItem(m_hWnd, IDC_BOOT_ENTRIES);
  int row = SelectedRow(list);
  int rows = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
  EnableWindow(GetDlgItem(m_hWnd, IDC_BOOT_UP), row > 0);
  EnableWindow(GetDlgItem(m_hWnd, IDC_BOOT_DOWN), row >= 0 && row < rows - 1);
}

LRESULT CBootMenuDlg::OnCommand(WPARAM wParam, LPARAM) {
  switch (LOWORD(wParam)) {
    case IDC_BOOT_UP:
      MoveSelectedRow(-1);
      break;
    case IDC_BOOT_DOWN:
      MoveSelectedRow(1);
      break;
    case IDOK:
      if (m_loaded && !WriteChangedBootOptions(m_image, m_read, CollectOptions())) {
        wchar_t text[256];
        LoadUiString(IDS_DISK_TOOL_ERROR, text, 256);
        OwnerMessageBox(m_hWnd, text, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
      }
      PostMessageW(m_hWnd, WM_CLOSE, IDOK, 0);
      break;
    case IDCANCEL:
      PostMessageW(m_hWnd, WM_CLOSE, IDCANCEL, 0);
      break;
  }
  return 0;
}

LRESULT CBootMenuDlg::OnNotify(int controlId, NMHDR* header) {
  if (controlId == IDC_BOOT_ENTRIES &&
      (header->code == NM_CLICK || header->code == LVN_ITEMCHANGED))
    UpdateMoveButtons();
  return 0;
}

LRESULT CBootMenuDlg::OnClose(WPARAM wParam) {
  if (m_loaded && m_image && !m_image->EndCommand(m_image->UnloadHives())) {
    wchar_t text[256];
    LoadUiString(IDS_DISK_TOOL_ERROR, text, 256);
    OwnerMessageBox(m_hWnd, text, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
  }
  m_loaded = false;
  return EndDialogOnClose(wParam);
}
