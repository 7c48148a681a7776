// CTreeviewEdit: bound to the key tree's label-edit control so that Enter
// and Escape end the edit instead of reaching the dialog.
#pragma once
#include "ui/Window.h"

class CTreeviewEdit : public CWindow {
 public:
  CTreeviewEdit(HWND edit, CWindow* owner, HWND tree);

  LRESULT OnGetDlgCode(UINT key) override;

  HWND m_tree;
};
