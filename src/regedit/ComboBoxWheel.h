// CComboBoxWheel: the address combo of the registry editor, which swallows
// the mouse wheel so that scrolling never navigates.
#pragma once
#include "ui/Window.h"

class CComboBoxWheel : public CWindow {
 public:
  CComboBoxWheel(HWND combo, CWindow* owner);

  LRESULT OnMouseWheel(UINT keys, short delta, int x, int y) override;
};
