#include "regedit/TreeviewEdit.h"

#include <commctrl.h>

CTreeviewEdit::CTreeviewEdit(HWND edit, CWindow* owner, HWND tree)
    : CWindow(edit, owner), m_tree(tree) {}

LRESULT CTreeviewEdit::OnGetDlgCode(UINT key) {
  if (key == VK_RETURN) {
    PostMessageW(m_tree, TVM_ENDEDITLABELNOW, FALSE, 0);
    return 0;
  }
  if (key == VK_ESCAPE) {
    PostMessageW(m_tree, TVM_ENDEDITLABELNOW, TRUE, 0);
    return DLGC_WANTALLKEYS;
  }
  return 0;
}
