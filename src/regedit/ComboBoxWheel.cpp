#include "regedit/ComboBoxWheel.h"

CComboBoxWheel::CComboBoxWheel(HWND combo, CWindow* owner) : CWindow(combo, owner) {}

LRESULT CComboBoxWheel::OnMouseWheel(UINT, short, int, int) {
  return 1;
}
