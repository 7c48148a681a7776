#include "regedit/ImportRegistryDlg.h"

#include "common/PathUtil.h"
#include "image/mount/MountedImage.h"
#include "registry/RegistryFacade.h"
#include "registry/hive/RegTypes.h"
#include "regedit/RegistryDlg.h"
#include "resources/ResourceIds.h"
#include "ui/WindowThread.h"

INT_PTR CImportRegistryDlg::Run(CRegistryDlg* editor, const wchar_t* path) {
  CImportRegistryDlg* dialog = new CImportRegistryDlg;
  INT_PTR result = dialog->Create(editor, IDD_REG_IMPORT, TRUE, reinterpret_cast<LPARAM>(path));
  return result == 1 ? 1 : 0;
}

LRESULT CImportRegistryDlg::OnInitDialog() {
  SetDlgItemTextW(m_hWnd, IDC_IMPORT_PATH, reinterpret_cast<const wchar_t*>(m_param));
  if (HANDLE thread = StartWindowThread(this, &CImportRegistryDlg::ImportRegistryWorker, 0)) {
    CloseHandle(thread);
  } else {
    m_done = 1;
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  }
  return 1;
}

void CImportRegistryDlg::OnWindowPosChanging(WINDOWPOS* pos) {
  if (!(pos->flags & SWP_SHOWWINDOW)) return;
  if (GetFileSizeByName(reinterpret_cast<const wchar_t*>(m_param)) >= kShowFromBytes) return;
  pos->flags &= ~SWP_SHOWWINDOW;
  pos->flags |= SWP_HIDEWINDOW | SWP_NOACTIVATE | SWP_NOZORDER;
}

LRESULT CImportRegistryDlg::OnCommand(WPARAM wParam, LPARAM) {
  return PostCloseOnCancel(wParam);
}

LRESULT CImportRegistryDlg::OnClose(WPARAM wParam) {
  // The worker still uses the dialog until it has posted its own close.
  if (!m_done) return 1;
  return EndDialogOnClose(wParam);
}

DWORD CImportRegistryDlg::ImportRegistryWorker(LPARAM) {
  CRegistryDlg* editor = static_cast<CRegistryDlg*>(m_parent);
  const wchar_t* path = reinterpret_cast<const wchar_t*>(m_param);
  WPARAM result = 0;
  if (editor && editor->m_image && ImportRegFileWithHives(editor->m_image, path) == REG_STATUS_OK) {
    RefreshKeyTree(editor);
    result = 1;
  }
  HWND window = m_hWnd;
  m_done = 1;
  PostMessageW(window, WM_CLOSE, result, 0);
  return 0;
}
