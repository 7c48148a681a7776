// CCloneImageDlg: clones one host NTFS volume onto another, on a worker
// thread.
#pragma once
#include "disktools/dialogs/DiskToolDlg.h"

class CCloneImageDlg : public CDiskToolDlg {
 public:
  // Runs the dialog modally over parent; the framework has deleted the
  // object when it returns.
  explicit CCloneImageDlg(CWindow* parent);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;

  DWORD CloneThread(LPARAM parameter);

 private:
  // Start is enabled when both lists have a selected row and the rows
  // differ; the same row in both clears the other list's selection.
  void CheckStart(int changedList);
};
