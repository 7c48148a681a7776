#include "regedit/SeparatorCtrl.h"

#include "regedit/RegistryDlg.h"
#include "regedit/RegistrySettings.h"

CSeparatorCtrl::CSeparatorCtrl(HWND control, CRegistryDlg* owner) : CWindow(control, owner) {}

LRESULT CSeparatorCtrl::OnSetCursor(HWND, UINT, UINT) {
  SetCursor(LoadCursorW(nullptr, IDC_SIZEWE));
  return 1;
}

LRESULT CSeparatorCtrl::OnNcHitTest(int, int) {
  return HTCLIENT;
}

LRESULT CSeparatorCtrl::OnLButtonDown(UINT keys, int, int) {
  if (keys == MK_LBUTTON) {
    m_dragging = 1;
    SetCapture(m_hWnd);
  }
  return 0;
}

void CSeparatorCtrl::OnLButtonUp(UINT, int, int) {
  if (!m_dragging) return;
  m_dragging = 0;
  ReleaseCapture();
}

void CSeparatorCtrl::OnMouseMove(UINT keys, int, int) {
  if (keys != MK_LBUTTON || !m_dragging || !m_parent) return;
  SetCapture(m_hWnd);
  POINT pt;
  if (!GetCursorPos(&pt) || !ScreenToClient(m_parent->m_hWnd, &pt)) return;
  SaveKeyTreeWidth(LayoutRegistryPanes(static_cast<CRegistryDlg*>(m_parent), pt.x));
}
