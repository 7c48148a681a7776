#include "disktools/dialogs/DiskToolDlg.h"

#include <cwchar>

#include "common/PathUtil.h"
#include "resources/ResourceIds.h"
#include "ui/OwnerMessageBox.h"
#include "ui/UiResources.h"
#include "ui/controls/ListView.h"

namespace {

const int kProgramIcon = 101;

BOOL RunningUnderWow64() {
  typedef BOOL(WINAPI * IsWow64Fn)(HANDLE, PBOOL);
  IsWow64Fn isWow64 = reinterpret_cast<IsWow64Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
  BOOL wow = FALSE;
  if (!isWow64 || !isWow64(GetCurrentProcess(), &wow)) wow = FALSE;
  return wow;
}

void InsertColumn(HWND list, int index, UINT textId, int width) {
  wchar_t text[64];
  LoadUiString(textId, text, 64);
  LVCOLUMNW column = {};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM | (index ? LVCF_FMT : 0);
  column.fmt = index ? LVCFMT_RIGHT : LVCFMT_LEFT;
  column.pszText = text;
  column.cx = width;
  column.iSubItem = index;
  SendMessageW(list, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&column));
}

}  // namespace

void SetExplorerListTheme(HWND list, DWORD windowsVersion) {
  if (LOBYTE(LOWORD(windowsVersion)) <= 5) return;
  HMODULE uxtheme = LoadLibraryW(L"uxtheme.dll");
  if (!uxtheme) return;
  typedef HRESULT(WINAPI * SetThemeFn)(HWND, LPCWSTR, LPCWSTR);
  SetThemeFn setTheme = reinterpret_cast<SetThemeFn>(
      reinterpret_cast<void*>(GetProcAddress(uxtheme, "SetWindowTheme")));
  if (setTheme) setTheme(list, L"explorer", nullptr);
}

CDiskToolDlg::CDiskToolDlg() : m_running(0), m_stop(0), m_lastPercent(-1) {
  m_wow64 = RunningUnderWow64();
}

int __stdcall CDiskToolDlg::DialogEngineProgress(uint32_t done, uint32_t total, void* context) {
  CDiskToolDlg* dlg = static_cast<CDiskToolDlg*>(context);
  if (!dlg) return 1;
  // Counts reach billions of clusters: the product needs 64 bits.
  int percent = total ? int(uint64_t(done) * 100 / total) : 0;
  if (percent > 100) percent = 100;
  if (percent != dlg->m_lastPercent) {
    dlg->m_lastPercent = percent;
    SendDlgItemMessageW(dlg->m_hWnd, IDC_DT_PROGRESS, PBM_SETPOS, percent, 0);
  }
  return dlg->m_stop ? 0 : 1;
}

void CDiskToolDlg::AddVolumeRow(HWND list, wchar_t letter, const wchar_t* label, int64_t sizeMiB) {
  wchar_t name[kPathChars];
  if (label && *label)
    _snwprintf(name, kPathChars, L"%s (%c:)", label, letter);
  else
    _snwprintf(name, kPathChars, L"(%c:)", letter);
  name[kPathChars - 1] = 0;
  int row = ListAppendItem(list, name, 0);
  ListSetItemParam(list, row, letter);
  if (sizeMiB >= 0) {
    wchar_t size[40];
    _snwprintf(size, 40, L"%I64u MB", (unsigned long long)sizeMiB);
    size[39] = 0;
    ListSetItemText(list, row, 1, size);
  }
}

wchar_t CDiskToolDlg::SelectedLetter(HWND list) {
  int row = (int)SendMessageW(list, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
  return row < 0 ? 0 : (wchar_t)ListGetItemParam(list, row);
}

void CDiskToolDlg::FillNtfsVolumeList(HWND list) {
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
    wchar_t root[4] = {letter, L':', L'\\', 0};
    if (GetDriveTypeW(root) != DRIVE_FIXED) continue;
    wchar_t label[kPathChars] = {}, fs[32] = {};
    if (!GetVolumeInformationW(root, label, kPathChars, nullptr, nullptr, nullptr, fs, 32) ||
        _wcsicmp(fs, L"NTFS") != 0)
      continue;
    ULARGE_INTEGER total = {};
    if (!GetDiskFreeSpaceExW(root, nullptr, &total, nullptr)) total.QuadPart = 0;
    AddVolumeRow(list, letter, label, int64_t(total.QuadPart >> 20));
  }
}

void CDiskToolDlg::InitControls(const int* lists, int listCount, const int* combos,
                                int comboCount) {
  HICON big = (HICON)LoadImageW(m_hInstance, MAKEINTRESOURCEW(kProgramIcon), IMAGE_ICON, 32, 32, 0);
  HICON small =
      (HICON)LoadImageW(m_hInstance, MAKEINTRESOURCEW(kProgramIcon), IMAGE_ICON, 16, 16, 0);
  if (big) SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, (LPARAM)big);
  if (small) SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, (LPARAM)small);
  wchar_t cue[128];
  LoadUiString(IDS_CUE_IMAGE_NAME, cue, 128);
  for (int i = 0; i < comboCount; ++i) {
    HWND combo = GetDlgItem(m_hWnd, combos[i]);
    SendMessageW(combo, CB_LIMITTEXT, kPathChars - 1, 0);
    SendMessageW(combo, CB_SETCUEBANNER, 0, reinterpret_cast<LPARAM>(cue));
  }
  for (int i = 0; i < listCount; ++i) {
    HWND list = GetDlgItem(m_hWnd, lists[i]);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    SetExplorerListTheme(list, m_version);
    RECT rc;
    GetClientRect(list, &rc);
    // Room for a vertical scroll bar: the rows never need a horizontal one.
    int width = rc.right - rc.left - GetSystemMetrics(SM_CXVSCROLL);
    int size = width / 3;
    InsertColumn(list, 0, IDS_COLUMN_NAME, width - size);
    InsertColumn(list, 1, IDS_COLUMN_SIZE, size);
  }
}

void CDiskToolDlg::GetComboPath(int comboId, wchar_t* out) {
  out[0] = 0;
  HWND combo = GetDlgItem(m_hWnd, comboId);
  int item = (int)SendMessageW(combo, CB_GETCURSEL, 0, 0);
  if (item >= 0 && SendMessageW(combo, CB_GETLBTEXTLEN, item, 0) < kPathChars)
    SendMessageW(combo, CB_GETLBTEXT, item, reinterpret_cast<LPARAM>(out));
  if (!out[0]) GetWindowTextW(combo, out, kPathChars);
}

void CDiskToolDlg::EnableControls(const int* ids, int count, BOOL enable) {
  for (int i = 0; i < count; ++i) EnableWindow(GetDlgItem(m_hWnd, ids[i]), enable);
}

bool CDiskToolDlg::ConfirmOverwrite(const wchar_t* path) {
  if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return true;
  wchar_t question[256], text[256 + kPathChars + 8];
  LoadUiString(IDS_FILE_EXISTS_OVERWRITE, question, 256);
  _snwprintf(text, sizeof(text) / sizeof(text[0]), L"%s\r\n\r\n%s", question, path);
  text[sizeof(text) / sizeof(text[0]) - 1] = 0;
  return OwnerMessageBox(m_hWnd, text, MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) == IDYES;
}

void CDiskToolDlg::SetStatus(UINT stringId) {
  wchar_t text[256] = {};
  if (stringId) LoadUiString(stringId, text, 256);
  SetDlgItemTextW(m_hWnd, IDC_DT_STATUS, text);
}

void CDiskToolDlg::BeginRun() {
  SetStatus(0);
  m_lastPercent = -1;
  SendDlgItemMessageW(m_hWnd, IDC_DT_PROGRESS, PBM_SETRANGE32, 0, 100);
  SendDlgItemMessageW(m_hWnd, IDC_DT_PROGRESS, PBM_SETPOS, 0, 0);
}

void CDiskToolDlg::FinishWorker(int outcome, const int* controls, int count,
                                const std::wstring& why) {
  if (outcome != RUN_NOTHING) SendDlgItemMessageW(m_hWnd, IDC_DT_PROGRESS, PBM_SETPOS, 0, 0);
  if (outcome == RUN_FAILED) {
    SetStatus(m_stop ? IDS_DISK_TOOL_STOPPED : IDS_DISK_TOOL_ERROR);
    if (!m_stop && !why.empty())
      OwnerMessageBox(m_hWnd, why.c_str(), MB_ICONEXCLAMATION | MB_SETFOREGROUND);
    InterlockedExchange(&m_stop, 0);
  }
  EnableControls(controls, count, TRUE);
  HWND window = m_hWnd;
  // From here the window may close and the object go.
  InterlockedExchange(&m_running, 0);
  if (outcome == RUN_SUCCEEDED) PostMessageW(window, WM_CLOSE, 1, 0);
}

LRESULT CDiskToolDlg::OnClose(WPARAM wParam) {
  if (m_running) {
    InterlockedExchange(&m_stop, 1);
    return 1;
  }
  return EndDialogOnClose(wParam);
}

LRESULT CDiskToolDlg::DrawVolumeRow(NMLVCUSTOMDRAW* draw) {
  LRESULT result = CDRF_DODEFAULT;
  if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) {
    result = CDRF_NOTIFYITEMDRAW;
  } else if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
    UINT state = (UINT)SendMessageW(draw->nmcd.hdr.hwndFrom, LVM_GETITEMSTATE,
                                    draw->nmcd.dwItemSpec, LVIS_SELECTED | LVIS_FOCUSED);
    if (state & LVIS_SELECTED) {
      // Drawn as not selected, in the highlight colours, so that the row
      // keeps them when the list loses the focus.
      draw->nmcd.uItemState &= ~(CDIS_SELECTED | CDIS_FOCUS);
      draw->clrTextBk = GetSysColor(COLOR_HIGHLIGHT);
      draw->clrText = GetSysColor(COLOR_HIGHLIGHTTEXT);
      result = CDRF_NEWFONT;
    }
  }
  // The window procedure is the object's: the result goes back as it is.
  return result;
}

LRESULT CDiskToolDlg::OnNotify(int controlId, NMHDR* header) {
  if (header->code == NM_CUSTOMDRAW &&
      (controlId == IDC_DT_VOLUMES || controlId == IDC_DT_TARGET_VOLUMES))
    return DrawVolumeRow(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
  return 0;
}

LRESULT CDiskToolDlg::OnCtlColor(HDC dc, HWND control, int kind) {
  return RedNoteColor(dc, control, kind);
}
