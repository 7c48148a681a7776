#include "disktools/dialogs/CloneImageDlg.h"

#include "common/ConsoleOutput.h"
#include "common/CrashDump.h"
#include "disktools/copy/VolumeCopy.h"
#include "resources/ResourceIds.h"

namespace {

const int kRunControls[] = {IDC_DT_VOLUMES, IDC_DT_TARGET_VOLUMES, IDOK, IDCANCEL};
const int kRunControlCount = sizeof(kRunControls) / sizeof(kRunControls[0]);

int SelectedRow(HWND list) {
  return (int)SendMessageW(list, LVM_GETNEXTITEM, (WPARAM)-1, LVNI_SELECTED);
}

}  // namespace

CCloneImageDlg::CCloneImageDlg(CWindow* parent) {
  Create(parent, IDD_CLONE_IMAGE, TRUE, 0);
}

LRESULT CCloneImageDlg::OnInitDialog() {
  const int lists[] = {IDC_DT_VOLUMES, IDC_DT_TARGET_VOLUMES};
  InitControls(lists, 2, nullptr, 0);
  FillNtfsVolumeList(GetDlgItem(m_hWnd, IDC_DT_VOLUMES));
  FillNtfsVolumeList(GetDlgItem(m_hWnd, IDC_DT_TARGET_VOLUMES));
  EnableWindow(GetDlgItem(m_hWnd, IDOK), FALSE);
  return 1;
}

void CCloneImageDlg::CheckStart(int changedList) {
  HWND source = GetDlgItem(m_hWnd, IDC_DT_VOLUMES);
  HWND target = GetDlgItem(m_hWnd, IDC_DT_TARGET_VOLUMES);
  int s = SelectedRow(source), t = SelectedRow(target);
  if (s >= 0 && s == t) {
    HWND other = changedList == IDC_DT_VOLUMES ? target : source;
    ListView_SetItemState(other, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    if (changedList == IDC_DT_VOLUMES)
      t = -1;
    else
      s = -1;
  }
  EnableWindow(GetDlgItem(m_hWnd, IDOK), s >= 0 && t >= 0);
}

LRESULT CCloneImageDlg::OnNotify(int controlId, NMHDR* header) {
  if ((controlId == IDC_DT_VOLUMES || controlId == IDC_DT_TARGET_VOLUMES) &&
      header->code == NM_CLICK) {
    CheckStart(controlId);
    return 0;
  }
  return CDiskToolDlg::OnNotify(controlId, header);
}

LRESULT CCloneImageDlg::OnCommand(WPARAM wParam, LPARAM) {
  const UINT id = LOWORD(wParam);
  if (id == IDOK) {
    StartWorker(this, &CCloneImageDlg::CloneThread, kRunControls, kRunControlCount);
  } else if (id == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  }
  return 0;
}

DWORD CCloneImageDlg::CloneThread(LPARAM) {
  CrashDumpFilterScope filter;
  FrontEndLines why;
  wchar_t source = SelectedLetter(GetDlgItem(m_hWnd, IDC_DT_VOLUMES));
  wchar_t target = SelectedLetter(GetDlgItem(m_hWnd, IDC_DT_TARGET_VOLUMES));
  int outcome = RUN_NOTHING;
  if (m_wow64) {
    SetStatus(IDS_CLONE_NEEDS_X64);
  } else if (source && target && source != target) {
    BeginRun();
    outcome = CloneHostVolume(source, target, DialogEngineProgress, this) == VOLUME_COPY_DONE
                  ? RUN_SUCCEEDED
                  : RUN_FAILED;
  }
  FinishWorker(outcome, kRunControls, kRunControlCount, why.Text());
  return 0;
}
