#include "disktools/dialogs/BackupImageDlg.h"

#include "common/PathUtil.h"
#include "common/ConsoleOutput.h"
#include "common/CrashDump.h"
#include "disktools/copy/VolumeCopy.h"
#include "disktools/dialogs/DiskToolHistory.h"
#include "resources/ResourceIds.h"
#include "ui/FileDialogs.h"
#include "ui/UiResources.h"
#include "ui/WindowThread.h"
#include "ui/controls/ControlWrappers.h"

namespace {

const int kRunControls[] = {
    IDC_DT_VOLUMES, IDC_DT_TARGET_IMAGE, IDC_DT_BROWSE, IDC_DT_RAW, IDC_DT_GPT, IDOK, IDCANCEL};
const int kRunControlCount = sizeof(kRunControls) / sizeof(kRunControls[0]);

}  // namespace

CBackupImageDlg::CBackupImageDlg(CWindow* parent) {
  Create(parent, IDD_BACKUP_IMAGE, TRUE, 0);
}

LRESULT CBackupImageDlg::OnInitDialog() {
  const int lists[] = {IDC_DT_VOLUMES};
  const int combos[] = {IDC_DT_TARGET_IMAGE};
  InitControls(lists, 1, combos, 1);
  FillNtfsVolumeList(GetDlgItem(m_hWnd, IDC_DT_VOLUMES));
  LoadHistory(GetDlgItem(m_hWnd, IDC_DT_TARGET_IMAGE), kBackupTargetHistory);
  EnableWindow(GetDlgItem(m_hWnd, IDOK), FALSE);
  return 1;
}

LRESULT CBackupImageDlg::OnCommand(WPARAM wParam, LPARAM) {
  const UINT id = LOWORD(wParam), code = HIWORD(wParam);
  if (id == IDC_DT_TARGET_IMAGE && (code == CBN_SELCHANGE || code == CBN_EDITCHANGE)) {
    HWND combo = GetDlgItem(m_hWnd, IDC_DT_TARGET_IMAGE);
    // A selection made from the list reaches the edit field only after the
    // notification: the selection itself counts.
    BOOL any = SendMessageW(combo, CB_GETCURSEL, 0, 0) >= 0 || GetWindowTextLengthW(combo) > 0;
    EnableWindow(GetDlgItem(m_hWnd, IDOK), any);
  } else if (id == IDC_DT_BROWSE) {
    wchar_t filter[256], path[kPathChars] = {};
    LoadUiString(IDS_IMAGE_FILE_FILTER, filter, 256);
    ReplaceCharInString(filter, L'|', 0);
    if (ShowSaveFileDialog(m_hInstance, m_hWnd, path, filter)) {
      HWND combo = GetDlgItem(m_hWnd, IDC_DT_TARGET_IMAGE);
      SendMessageW(combo, CB_SETCURSEL, (WPARAM)-1, 0);
      SetWindowTextW(combo, path);
      EnableWindow(GetDlgItem(m_hWnd, IDOK), TRUE);
    }
  } else if (id == IDOK) {
    StartWorker(this, &CBackupImageDlg::BackupThread, kRunControls, kRunControlCount);
  } else if (id == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  }
  return 0;
}

DWORD CBackupImageDlg::BackupThread(LPARAM) {
  CrashDumpFilterScope filter;
  FrontEndLines why;
  wchar_t path[kPathChars];
  wchar_t letter = SelectedLetter(GetDlgItem(m_hWnd, IDC_DT_VOLUMES));
  GetComboPath(IDC_DT_TARGET_IMAGE, path);
  int outcome = RUN_NOTHING;
  if (m_wow64) {
    SetStatus(IDS_BACKUP_NEEDS_X64);
  } else if (letter && path[0] && ConfirmOverwrite(path)) {
    SaveHistory(GetDlgItem(m_hWnd, IDC_DT_TARGET_IMAGE), kBackupTargetHistory, path);
    BeginRun();
    // The target is looked at before System Restore is switched off.
    outcome = BackupVolumeToNewImage(letter, path, IsDlgButtonChecked(m_hWnd, IDC_DT_RAW),
                                     IsDlgButtonChecked(m_hWnd, IDC_DT_GPT),
                                     DialogEngineProgress, this) == VOLUME_COPY_DONE
                  ? RUN_SUCCEEDED
                  : RUN_FAILED;
  }
  FinishWorker(outcome, kRunControls, kRunControlCount, why.Text());
  return 0;
}
