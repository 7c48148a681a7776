#include <windows.h>
#include <commctrl.h>

#include <cwchar>

#include "disktools/dialogs/DiskToolHistory.h"
#include "app/viewer/ViewerDlg.h"
#include "resources/ResourceIds.h"
#include "ui/UiResources.h"
#include "ui/controls/ControlWrappers.h"

namespace {

const wchar_t kFindHistory[] = L"Viewer";

HMODULE ModuleOf(const CWindow* window) {
  return window->m_hInstance ? window->m_hInstance : GetUiModule();
}

bool Checked(HWND dialog, int id) {
  return IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}

}  // namespace

CFindTextDlg::CFindTextDlg(CViewerDlg* viewer) : m_viewer(viewer) {}

LRESULT CFindTextDlg::OnInitDialog() {
  HWND combo = GetDlgItem(m_hWnd, IDC_FIND_TEXT);
  SendMessageW(combo, CB_LIMITTEXT, 359, 0);
  LoadHistory(combo, kFindHistory);
  wchar_t cue[128];
  LoadUiString(ModuleOf(this), IDS_CUE_FIND_TEXT, m_language, cue, 128);
  COMBOBOXINFO info = {sizeof info};
  if (GetComboBoxInfo(combo, &info) && info.hwndItem)
    SendMessageW(info.hwndItem, EM_SETCUEBANNER, TRUE, LPARAM(cue));
  // The last search of any viewer.
  const ViewerFindState& last = LastViewerFind();
  SetWindowTextW(combo, last.text);
  CheckDlgButton(m_hWnd, IDC_MATCH_CASE, last.matchCase ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(m_hWnd, IDC_FIND_WHOLE_WORD, last.wholeWord ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(m_hWnd, IDC_HEX_MODE, last.hex ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(m_hWnd, IDC_FIND_UNICODE, last.unicode && !last.hex ? BST_CHECKED : BST_UNCHECKED);
  UpdateState();
  CenterWindowOnParent(this);
  return 1;
}

void CFindTextDlg::UpdateState() {
  HWND combo = GetDlgItem(m_hWnd, IDC_FIND_TEXT);
  const bool hex = Checked(m_hWnd, IDC_HEX_MODE);
  if (hex) {
    KeepHexDigitsInCombo(combo);
    CheckDlgButton(m_hWnd, IDC_FIND_UNICODE, BST_UNCHECKED);
  }
  EnableWindow(GetDlgItem(m_hWnd, IDC_FIND_UNICODE), !hex);
  EnableWindow(GetDlgItem(m_hWnd, IDOK), GetWindowTextLengthW(combo) > 0);
}

LRESULT CFindTextDlg::OnCommand(WPARAM wParam, LPARAM) {
  const int id = LOWORD(wParam), code = HIWORD(wParam);
  switch (id) {
    case IDCANCEL:
      PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
      return 1;
    case IDC_HEX_MODE:
      UpdateState();
      return 0;
    case IDC_FIND_TEXT:
      if (code == CBN_SELCHANGE) {
        HWND combo = GetDlgItem(m_hWnd, IDC_FIND_TEXT);
        const int sel = int(SendMessageW(combo, CB_GETCURSEL, 0, 0));
        wchar_t text[360] = L"";
        if (sel >= 0 && SendMessageW(combo, CB_GETLBTEXTLEN, sel, 0) < 360)
          SendMessageW(combo, CB_GETLBTEXT, sel, LPARAM(text));
        SetWindowTextW(combo, text);
      }
      if (code == CBN_EDITCHANGE || code == CBN_SELCHANGE) UpdateState();
      return 0;
    case IDOK: {
      HWND combo = GetDlgItem(m_hWnd, IDC_FIND_TEXT);
      wchar_t text[360] = L"";
      GetWindowTextW(combo, text, 360);
      if (!text[0]) return 1;
      const bool hex = Checked(m_hWnd, IDC_HEX_MODE);
      if (hex && wcslen(text) % 2) {
        wchar_t message[256], caption[64];
        LoadUiString(ModuleOf(this), IDS_HEX_VALUE_WRONG, m_language, message, 256);
        LoadUiString(ModuleOf(this), IDS_PROMPT_CAPTION, m_language, caption, 64);
        MessageBoxW(m_hWnd, message, caption, MB_ICONEXCLAMATION | MB_SETFOREGROUND);
        SetFocus(combo);
        return 1;
      }
      SaveHistory(combo, kFindHistory, text);
      ViewerFindState& last = LastViewerFind();
      lstrcpynW(last.text, text, 360);
      last.matchCase = Checked(m_hWnd, IDC_MATCH_CASE);
      last.wholeWord = Checked(m_hWnd, IDC_FIND_WHOLE_WORD);
      last.hex = hex;
      last.unicode = !hex && Checked(m_hWnd, IDC_FIND_UNICODE);
      if (m_viewer) m_viewer->FindNext();
      return 1;
    }
  }
  return 0;
}

LRESULT CFindTextDlg::OnClose(WPARAM) {
  return CloseByDestroy();
}

void CFindTextDlg::OnNcDestroy() {
  if (m_viewer && m_viewer->m_findWindow == m_hWnd) m_viewer->m_findWindow = nullptr;
}
