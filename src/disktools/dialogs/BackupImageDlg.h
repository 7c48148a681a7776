// CBackupImageDlg: backs up a host NTFS volume into a new image file, raw or
// own format, with its own layout or converted to GPT, on a worker thread.
#pragma once
#include "disktools/dialogs/DiskToolDlg.h"

class CBackupImageDlg : public CDiskToolDlg {
 public:
  // Runs the dialog modally over parent; the framework has deleted the
  // object when it returns.
  explicit CBackupImageDlg(CWindow* parent);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;

  DWORD BackupThread(LPARAM parameter);
};
