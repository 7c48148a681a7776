// CSeparatorCtrl: the splitter between the registry editor's key tree and
// value list; dragging it with the left button alone sets the tree width.
#pragma once
#include "ui/Window.h"

class CRegistryDlg;

class CSeparatorCtrl : public CWindow {
 public:
  CSeparatorCtrl(HWND control, CRegistryDlg* owner);

  LRESULT OnSetCursor(HWND window, UINT hitTest, UINT mouseMessage) override;
  LRESULT OnNcHitTest(int x, int y) override;
  LRESULT OnLButtonDown(UINT keys, int x, int y) override;
  void OnLButtonUp(UINT keys, int x, int y) override;
  void OnMouseMove(UINT keys, int x, int y) override;

  DWORD m_dragging = 0;
};
