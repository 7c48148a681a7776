#include "app/mainwnd/AddressBarEdit.h"

#include "ui/UiResources.h"

CAddressBarEdit::CAddressBarEdit(HWND edit, CWindow* owner, UINT hintId)
    : CWindow(edit, owner), m_hintId(hintId) {}

LRESULT CAddressBarEdit::OnGetDlgCode(UINT key) {
  return key == VK_TAB ? 0 : DLGC_WANTALLKEYS;
}

LRESULT CAddressBarEdit::OnPaint() {
  // The edit paints itself first; the hint goes over an empty field.
  CallWindowProcW(m_prevProc, m_hWnd, WM_PAINT, 0, 0);
  if (GetWindowTextLengthW(m_hWnd) || GetFocus() == m_hWnd) return 1;
  wchar_t hint[256];
  if (!LoadUiString(m_hintId, hint, 256)) return 1;
  HDC dc = GetDC(m_hWnd);
  RECT rc;
  GetClientRect(m_hWnd, &rc);
  HGDIOBJ oldFont =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0)));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
  DrawTextW(dc, hint, -1, &rc, DT_SINGLELINE | DT_VCENTER | DT_RIGHT | DT_NOPREFIX);
  SelectObject(dc, oldFont);
  ReleaseDC(m_hWnd, dc);
  return 1;
}
