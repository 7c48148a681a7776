// CAddressBarEdit: the edit field of an address bar. It keeps every key but
// Tab, and while it is empty and without focus shows a grey hint at its right
// edge: how to choose an image file (image bar) or a local path (host bar).
#pragma once
#include <windows.h>

#include "ui/Window.h"

class CAddressBarEdit : public CWindow {
 public:
  // hintId: the string shown as the hint.
  CAddressBarEdit(HWND edit, CWindow* owner, UINT hintId);
  LRESULT OnGetDlgCode(UINT key) override;
  LRESULT OnPaint() override;

 private:
  UINT m_hintId;
};
