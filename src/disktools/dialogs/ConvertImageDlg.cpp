#include "disktools/dialogs/ConvertImageDlg.h"

#include "common/ConsoleOutput.h"
#include "common/CrashDump.h"
#include "common/PathUtil.h"
#include "disktools/copy/VolumeCopy.h"
#include "disktools/dialogs/DiskToolHistory.h"
#include "resources/ResourceIds.h"
#include "ui/FileDialogs.h"
#include "ui/UiResources.h"
#include "ui/controls/ControlWrappers.h"

namespace {

const int kRunControls[] = {IDC_DT_SOURCE_IMAGE,
                            IDC_DT_BROWSE,
                            IDC_DT_TARGET_IMAGE,
                            IDC_DT_BROWSE_TARGET,
                            IDC_DT_RAW,
                            IDC_DT_GPT,
                            IDOK,
                            IDCANCEL};
const int kRunControlCount = sizeof(kRunControls) / sizeof(kRunControls[0]);

bool ComboHoldsText(HWND combo) {
  return SendMessageW(combo, CB_GETCURSEL, 0, 0) >= 0 || GetWindowTextLengthW(combo) > 0;
}

}  // namespace

CConvertImageDlg::CConvertImageDlg(CWindow* parent) {
  Create(parent, IDD_CONVERT_IMAGE, TRUE, 0);
}

LRESULT CConvertImageDlg::OnInitDialog() {
  const int combos[] = {IDC_DT_SOURCE_IMAGE, IDC_DT_TARGET_IMAGE};
  InitControls(nullptr, 0, combos, 2);
  LoadHistory(GetDlgItem(m_hWnd, IDC_DT_SOURCE_IMAGE), kConvertSourceHistory);
  LoadHistory(GetDlgItem(m_hWnd, IDC_DT_TARGET_IMAGE), kConvertTargetHistory);
  CheckStart();
  return 1;
}

void CConvertImageDlg::CheckStart() {
  EnableWindow(GetDlgItem(m_hWnd, IDOK),
               ComboHoldsText(GetDlgItem(m_hWnd, IDC_DT_SOURCE_IMAGE)) &&
                   ComboHoldsText(GetDlgItem(m_hWnd, IDC_DT_TARGET_IMAGE)));
}

LRESULT CConvertImageDlg::OnCommand(WPARAM wParam, LPARAM) {
  const UINT id = LOWORD(wParam), code = HIWORD(wParam);
  if ((id == IDC_DT_SOURCE_IMAGE || id == IDC_DT_TARGET_IMAGE) &&
      (code == CBN_SELCHANGE || code == CBN_EDITCHANGE)) {
    CheckStart();
  } else if (id == IDC_DT_BROWSE || id == IDC_DT_BROWSE_TARGET) {
    wchar_t filter[256], path[kPathChars] = {};
    LoadUiString(IDS_IMAGE_FILE_FILTER, filter, 256);
    ReplaceCharInString(filter, L'|', 0);
    const bool source = id == IDC_DT_BROWSE;
    BOOL chosen = source
                      ? ShowOpenFileDialog(m_hInstance, m_hWnd, path, kPathChars, filter, L"img", 0,
                                           OFN_FILEMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER)
                      : ShowSaveFileDialog(m_hInstance, m_hWnd, path, filter);
    if (chosen) {
      HWND combo = GetDlgItem(m_hWnd, source ? IDC_DT_SOURCE_IMAGE : IDC_DT_TARGET_IMAGE);
      SendMessageW(combo, CB_SETCURSEL, (WPARAM)-1, 0);
      SetWindowTextW(combo, path);
      CheckStart();
    }
  } else if (id == IDOK) {
    StartWorker(this, &CConvertImageDlg::ConvertThread, kRunControls, kRunControlCount);
  } else if (id == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  }
  return 0;
}

DWORD CConvertImageDlg::ConvertThread(LPARAM) {
  CrashDumpFilterScope filter;
  FrontEndLines why;
  wchar_t source[kPathChars], target[kPathChars];
  GetComboPath(IDC_DT_SOURCE_IMAGE, source);
  GetComboPath(IDC_DT_TARGET_IMAGE, target);
  int outcome = RUN_NOTHING;
  if (source[0] && target[0] && ConvertTargetIsSource(source, target)) {
    // The target is replaced by the copy: never the source, asked or not.
    outcome = RUN_FAILED;
  } else if (source[0] && target[0] && ConfirmOverwrite(target)) {
    SaveHistory(GetDlgItem(m_hWnd, IDC_DT_SOURCE_IMAGE), kConvertSourceHistory, source);
    SaveHistory(GetDlgItem(m_hWnd, IDC_DT_TARGET_IMAGE), kConvertTargetHistory, target);
    BeginRun();
    outcome = ConvertImageToNewImage(source, target, IsDlgButtonChecked(m_hWnd, IDC_DT_RAW),
                                     IsDlgButtonChecked(m_hWnd, IDC_DT_GPT), DialogEngineProgress,
                                     this) == VOLUME_COPY_DONE
                  ? RUN_SUCCEEDED
                  : RUN_FAILED;
  }
  FinishWorker(outcome, kRunControls, kRunControlCount, why.Text());
  return 0;
}
