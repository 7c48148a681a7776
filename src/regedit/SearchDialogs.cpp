#include "regedit/SearchDialogs.h"

#include <commctrl.h>
#include <windowsx.h>
#include <stdlib.h>

#include "regedit/RegistryDlg.h"
#include "regedit/RegistryIcons.h"
#include "regedit/SearchHistory.h"
#include "regedit/ValueAccess.h"
#include "resources/ResourceIds.h"
#include "ui/WindowThread.h"
#include "ui/controls/ControlWrappers.h"
#include "ui/controls/ListView.h"
#include "ui/controls/TreeView.h"

namespace {

// Sent by a search worker to its progress dialog: select the hit (lParam,
// a std::wstring*) on the user-interface thread.
const UINT kSelectHitMessage = WM_APP + 0x52;

CRegistryDlg* EditorOf(CWindow* dialog) {
  return static_cast<CRegistryDlg*>(dialog->m_parent);
}

bool TreeHasSelection(CWindow* dialog) {
  CRegistryDlg* editor = EditorOf(dialog);
  return editor && TreeView_GetSelection(editor->Tree()) != nullptr;
}

std::wstring ComboText(HWND combo) {
  std::wstring text((size_t)GetWindowTextLengthW(combo) + 1, L'\0');
  text.resize((size_t)GetWindowTextW(combo, &text[0], (int)text.size()));
  return text;
}

// The cue banner on the combo's edit field, shown also while it has focus.
void SetComboCue(CWindow* dialog, HWND combo) {
  if (HWND edit = FindWindowExW(combo, nullptr, L"Edit", nullptr)) {
    std::wstring cue = LoadWindowString(dialog, IDS_CUE_FIND_TEXT);
    SendMessageW(edit, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(cue.c_str()));
  }
}

}  // namespace

// ---- CFindDlg

CFindDlg::CFindDlg(CRegistryDlg* editor)
    : m_pattern(editor->m_textSearchPattern),
      m_lookInKeys(editor->m_lookInKeys),
      m_lookInValues(editor->m_lookInValues),
      m_lookInData(editor->m_lookInData),
      m_wholeString(editor->m_wholeString) {}

LRESULT CFindDlg::OnInitDialog() {
  HWND combo = GetDlgItem(m_hWnd, IDC_FIND_TEXT);
  LoadKeyStringHistory(combo);
  CheckDlgButton(m_hWnd, IDC_FIND_WHOLE, m_wholeString ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(m_hWnd, IDC_FIND_KEYS, m_lookInKeys ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(m_hWnd, IDC_FIND_VALUES, m_lookInValues ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(m_hWnd, IDC_FIND_DATA, m_lookInData ? BST_CHECKED : BST_UNCHECKED);
  SetWindowTextW(combo, m_pattern ? m_pattern : L"");
  SetComboCue(this, combo);
  UpdateOkButton();
  CenterWindowOnParent(this);
  return 1;
}

void CFindDlg::UpdateOkButton() {
  HWND combo = GetDlgItem(m_hWnd, IDC_FIND_TEXT);
  const bool where = IsDlgButtonChecked(m_hWnd, IDC_FIND_KEYS) ||
                     IsDlgButtonChecked(m_hWnd, IDC_FIND_VALUES) ||
                     IsDlgButtonChecked(m_hWnd, IDC_FIND_DATA);
  const bool text = GetWindowTextLengthW(combo) > 0 || ComboBox_GetCurSel(combo) >= 0;
  EnableWindow(GetDlgItem(m_hWnd, IDOK), where && text);
}

LRESULT CFindDlg::OnCommand(WPARAM wParam, LPARAM) {
  const UINT id = LOWORD(wParam), code = HIWORD(wParam);
  switch (id) {
    case IDC_FIND_KEYS:
    case IDC_FIND_VALUES:
    case IDC_FIND_DATA:
      UpdateOkButton();
      break;
    case IDC_FIND_TEXT:
      if (code == CBN_EDITCHANGE || code == CBN_SELCHANGE) UpdateOkButton();
      break;
    case IDCANCEL:
      PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
      break;
    case IDOK: {
      HWND combo = GetDlgItem(m_hWnd, IDC_FIND_TEXT);
      std::wstring text = ComboText(combo);
      if (text.empty()) break;
      wchar_t* copy = _wcsdup(text.c_str());
      if (!copy) break;
      free(m_pattern);
      m_pattern = copy;
      if (!TreeHasSelection(this)) break;
      SaveKeyStringHistory(combo, text.c_str());
      m_lookInKeys = IsDlgButtonChecked(m_hWnd, IDC_FIND_KEYS) == BST_CHECKED;
      m_lookInValues = IsDlgButtonChecked(m_hWnd, IDC_FIND_VALUES) == BST_CHECKED;
      m_lookInData = IsDlgButtonChecked(m_hWnd, IDC_FIND_DATA) == BST_CHECKED;
      m_wholeString = IsDlgButtonChecked(m_hWnd, IDC_FIND_WHOLE) == BST_CHECKED;
      PostMessageW(m_hWnd, WM_CLOSE, 1, 0);
      break;
    }
    default:
      break;
  }
  return 0;
}

LRESULT CFindDlg::OnClose(WPARAM wParam) {
  if (CRegistryDlg* editor = EditorOf(this)) {
    editor->m_textSearchPattern = m_pattern;
    editor->m_lookInKeys = m_lookInKeys;
    editor->m_lookInValues = m_lookInValues;
    editor->m_lookInData = m_lookInData;
    editor->m_wholeString = m_wholeString;
  }
  return EndDialogOnClose(wParam);
}

// ---- CFindHexDlg

CFindHexDlg::CFindHexDlg(const std::wstring& hexText) : m_hexText(hexText) {}

LRESULT CFindHexDlg::OnInitDialog() {
  HWND combo = GetDlgItem(m_hWnd, IDC_FIND_TEXT);
  LoadKeyHexHistory(combo);
  SetWindowTextW(combo, m_hexText.c_str());
  SetComboCue(this, combo);
  FilterAndUpdateOk();
  CenterWindowOnParent(this);
  return 1;
}

void CFindHexDlg::FilterAndUpdateOk() {
  HWND combo = GetDlgItem(m_hWnd, IDC_FIND_TEXT);
  bool ok = false;
  if (GetWindowTextLengthW(combo) > 0 || ComboBox_GetCurSel(combo) >= 0)
    ok = KeepHexDigitsInCombo(combo) > 0;
  EnableWindow(GetDlgItem(m_hWnd, IDOK), ok);
}

LRESULT CFindHexDlg::OnCommand(WPARAM wParam, LPARAM) {
  const UINT id = LOWORD(wParam), code = HIWORD(wParam);
  if (id == IDC_FIND_TEXT && (code == CBN_EDITCHANGE || code == CBN_SELCHANGE)) {
    FilterAndUpdateOk();
  } else if (id == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  } else if (id == IDOK) {
    HWND combo = GetDlgItem(m_hWnd, IDC_FIND_TEXT);
    std::wstring text = ComboText(combo);
    if (text.empty() || text.size() % 2) {
      ShowEditorMessage(this, m_hWnd, IDS_HEX_VALUE_WRONG, IDS_PROMPT_CAPTION, MB_ICONEXCLAMATION);
      SetFocus(combo);
      return 0;
    }
    m_hexText = text;
    SaveKeyHexHistory(combo, text.c_str());
    if (TreeHasSelection(this)) PostMessageW(m_hWnd, WM_CLOSE, 1, 0);
  }
  return 0;
}

LRESULT CFindHexDlg::OnClose(WPARAM wParam) {
  if (CRegistryDlg* editor = EditorOf(this)) editor->m_hexSearchText = m_hexText;
  return EndDialogOnClose(wParam);
}

// ---- the progress dialogs

LRESULT CSearchProgressDlg::OnInitDialog() {
  m_cancel = 0;
  m_done = 0;
  CRegistryDlg* editor = EditorOf(this);
  m_defaultLabel = DefaultValueLabel(this);
  if (HICON icon = MakeRegistryIcon(REG_ICON_EDITOR, 32))
    SendDlgItemMessageW(m_hWnd, IDC_FIND_ICON, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
  // Where the walk begins: the selected key (else the first root) and the
  // selected row's value, read now on this thread.
  HWND tree = editor->Tree();
  HTREEITEM item = TreeView_GetSelection(tree);
  if (item) {
    m_start.keyPath = GetKeyItemPath(tree, item);
    int row = ListView_GetNextItem(editor->List(), -1, LVNI_SELECTED);
    if (row >= 0) {
      m_start.afterValue = true;
      m_start.valueName = RowValueName(editor, row);
    }
  } else if (HTREEITEM root = TreeView_GetRoot(tree)) {
    m_start.keyPath = GetKeyItemPath(tree, root);
  }
  if (HANDLE thread = StartWindowThread(this, &CSearchProgressDlg::RunSearchWorker, 0)) {
    CloseHandle(thread);
  } else {
    m_done = 1;
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  }
  return 1;
}

LRESULT CSearchProgressDlg::OnCommand(WPARAM wParam, LPARAM) {
  if (LOWORD(wParam) == IDCANCEL) m_cancel = 1;
  return 0;
}

LRESULT CSearchProgressDlg::OnClose(WPARAM wParam) {
  if (!m_done) {
    m_cancel = 1;
    return 1;
  }
  HICON icon =
      reinterpret_cast<HICON>(SendDlgItemMessageW(m_hWnd, IDC_FIND_ICON, STM_SETICON, 0, 0));
  if (icon) DestroyIcon(icon);
  return EndDialogOnClose(wParam);
}

LRESULT CSearchProgressDlg::PreDispatch(UINT message, WPARAM, LPARAM lParam) {
  if (message != kSelectHitMessage) return 0;
  SelectSearchHit(EditorOf(this), *reinterpret_cast<const std::wstring*>(lParam));
  return 1;
}

DWORD CSearchProgressDlg::RunSearchWorker(LPARAM parameter) {
  return SearchThread(parameter);
}

DWORD CSearchProgressDlg::Search(const SearchMatcher& matcher) {
  std::wstring hit;
  if (!m_start.keyPath.empty()) {
    CRegistrySearchWalk walk(m_image, matcher, &m_cancel, m_defaultLabel);
    hit = walk.Run(m_start);
  }
  WPARAM result = 0;
  if (!hit.empty())
    SendMessageW(m_hWnd, kSelectHitMessage, 0, reinterpret_cast<LPARAM>(&hit));
  else
    result = m_cancel ? 0 : 1;
  HWND window = m_hWnd;
  m_done = 1;
  // The dialog may end once the message is posted: nothing of it is used
  // after this line.
  PostMessageW(window, WM_CLOSE, result, 0);
  return 0;
}

CFindNextDlg::CFindNextDlg(CRegistryDlg* editor, CMountedImage* image)
    : CSearchProgressDlg(image),
      m_pattern(editor->m_textSearchPattern),
      m_lookInKeys(editor->m_lookInKeys),
      m_lookInValues(editor->m_lookInValues),
      m_lookInData(editor->m_lookInData),
      m_wholeString(editor->m_wholeString) {}

DWORD CFindNextDlg::SearchThread(LPARAM) {
  SearchMatcher matcher;
  matcher.text = m_pattern ? m_pattern : L"";
  matcher.keys = m_lookInKeys != 0;
  matcher.values = m_lookInValues != 0;
  matcher.data = m_lookInData != 0;
  matcher.whole = m_wholeString != 0;
  return Search(matcher);
}

CFindHexNextDlg::CFindHexNextDlg(const std::wstring& hexText, CMountedImage* image)
    : CSearchProgressDlg(image), m_hexText(hexText) {}

DWORD CFindHexNextDlg::SearchThread(LPARAM) {
  SearchMatcher matcher;
  matcher.hex = true;
  matcher.bytes = ParseHexPattern(m_hexText);
  return Search(matcher);
}

void SelectSearchHit(CRegistryDlg* editor, const std::wstring& hit) {
  HWND tree = editor->Tree(), list = editor->List();
  const size_t cut = hit.rfind(L'\\');
  if (cut == std::wstring::npos) return;
  const std::wstring keys = hit.substr(0, cut), value = hit.substr(cut + 1);
  HTREEITEM item = TreeView_GetRoot(tree);
  size_t pos = 0;
  for (;;) {
    size_t next = keys.find(L'\\', pos);
    std::wstring name =
        keys.substr(pos, next == std::wstring::npos ? std::wstring::npos : next - pos);
    item = item ? TreeFindSiblingByText(tree, item, name.c_str()) : nullptr;
    if (!item) return;
    if (next == std::wstring::npos) break;
    TreeView_Expand(tree, item, TVE_EXPAND);
    item = TreeView_GetChild(tree, item);
    pos = next + 1;
  }
  if (TreeView_GetSelection(tree) == item)
    FillValueList(keys.c_str(), editor, list);  // the rows as the hive has them now
  else
    TreeView_SelectItem(tree, item);
  TreeView_EnsureVisible(tree, item);
  if (value.empty()) return;
  int row = ListFindItemText(list, value.c_str());
  if (row < 0) return;
  ListClearItemSelection(list, -1);
  ListSelectItem(list, row);
}
