#include "regedit/AddFavoritesDlg.h"

#include <commctrl.h>

#include <string>

#include "regedit/RegistryDlg.h"
#include "regedit/RegistrySettings.h"
#include "resources/ResourceIds.h"

namespace {
const int kNameMax = 128;
}

CAddFavoritesDlg::CAddFavoritesDlg(CRegistryDlg* parent, CMountedImage* image) : m_image(image) {
  Create(parent, IDD_ADD_FAVORITE, TRUE, 0);
}

LRESULT CAddFavoritesDlg::OnInitDialog() {
  HWND edit = GetDlgItem(m_hWnd, IDC_FAVORITE_NAME);
  SendMessageW(edit, EM_LIMITTEXT, kNameMax - 1, 0);
  CRegistryDlg* editor = static_cast<CRegistryDlg*>(m_parent);
  HTREEITEM item = editor ? TreeView_GetSelection(editor->Tree()) : nullptr;
  if (item) {
    std::wstring path = GetKeyItemPath(editor->Tree(), item);
    size_t slash = path.rfind(L'\\');
    SetWindowTextW(edit, slash == std::wstring::npos ? path.c_str() : path.c_str() + slash + 1);
  }
  PostMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_FAVORITE_NAME, EN_CHANGE),
               reinterpret_cast<LPARAM>(edit));
  return 1;
}

LRESULT CAddFavoritesDlg::OnCommand(WPARAM wParam, LPARAM) {
  const UINT id = LOWORD(wParam);
  if (id == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  } else if (id == IDC_FAVORITE_NAME && HIWORD(wParam) == EN_CHANGE) {
    EnableWindow(GetDlgItem(m_hWnd, IDOK),
                 GetWindowTextLengthW(GetDlgItem(m_hWnd, IDC_FAVORITE_NAME)) > 0);
  } else if (id == IDOK) {
    wchar_t name[kNameMax];
    GetDlgItemTextW(m_hWnd, IDC_FAVORITE_NAME, name, kNameMax);
    CRegistryDlg* editor = static_cast<CRegistryDlg*>(m_parent);
    HTREEITEM item = editor ? TreeView_GetSelection(editor->Tree()) : nullptr;
    if (!name[0] || !item) return 0;
    std::wstring path = GetKeyItemPath(editor->Tree(), item);
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kRegistryFavoritesKey, 0, nullptr, 0, 0x2001F, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
      return 0;
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   (DWORD)((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  }
  return 0;
}

LRESULT CAddFavoritesDlg::OnClose(WPARAM wParam) {
  return EndDialogOnClose(wParam);
}
