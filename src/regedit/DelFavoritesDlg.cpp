#include "regedit/DelFavoritesDlg.h"

#include <vector>

#include "regedit/RegistryDlg.h"
#include "regedit/RegistrySettings.h"
#include "resources/ResourceIds.h"

namespace {
const int kNameMax = 128;
}

CDelFavoritesDlg::CDelFavoritesDlg(CRegistryDlg* parent, CMountedImage* image) : m_image(image) {
  Create(parent, IDD_REMOVE_FAVORITES, TRUE, 0);
}

LRESULT CDelFavoritesDlg::OnInitDialog() {
  HWND list = GetDlgItem(m_hWnd, IDC_FAVORITE_LIST);
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRegistryFavoritesKey, 0, 0x20019, &key) == ERROR_SUCCESS) {
    for (DWORD i = 0;; ++i) {
      wchar_t name[kNameMax];
      DWORD length = kNameMax;
      if (RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
      SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    RegCloseKey(key);
  }
  SendMessageW(list, LB_SETSEL, TRUE, 0);
  return 1;
}

LRESULT CDelFavoritesDlg::OnCommand(WPARAM wParam, LPARAM) {
  const UINT id = LOWORD(wParam);
  if (id == IDCANCEL) {
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  } else if (id == IDOK) {
    HWND list = GetDlgItem(m_hWnd, IDC_FAVORITE_LIST);
    int count = (int)SendMessageW(list, LB_GETSELCOUNT, 0, 0);
    if (count < 1) return 0;
    std::vector<int> selected(count);
    count =
        (int)SendMessageW(list, LB_GETSELITEMS, count, reinterpret_cast<LPARAM>(selected.data()));
    for (int i = count - 1; i >= 0; --i) {
      int length = (int)SendMessageW(list, LB_GETTEXTLEN, selected[i], 0);
      if (length < 0) continue;
      std::vector<wchar_t> name(length + 1, 0);
      SendMessageW(list, LB_GETTEXT, selected[i], reinterpret_cast<LPARAM>(name.data()));
      HKEY key;
      if (RegOpenKeyExW(HKEY_CURRENT_USER, kRegistryFavoritesKey, 0, 0x20006, &key) !=
          ERROR_SUCCESS)
        continue;
      RegDeleteValueW(key, name.data());
      RegCloseKey(key);
    }
    PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
  }
  return 0;
}

LRESULT CDelFavoritesDlg::OnClose(WPARAM wParam) {
  return EndDialogOnClose(wParam);
}
