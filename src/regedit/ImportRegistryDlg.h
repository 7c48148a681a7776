// CImportRegistryDlg: imports one .reg file into the hives on a worker
// thread while its modal dialog runs; the dialog shows itself only for files
// of 200 KiB and more. It ends with 1 when the import succeeded, else 0, and
// ignores requests to close until the worker has finished.
#pragma once
#include "ui/Window.h"

class CRegistryDlg;

class CImportRegistryDlg : public CWindow {
 public:
  // Files smaller than this import without showing the dialog.
  static const DWORD kShowFromBytes = 204800;

  CImportRegistryDlg() = default;
  // Runs the import of `path` in `editor`; returns the dialog's result.
  static INT_PTR Run(CRegistryDlg* editor, const wchar_t* path);

  LRESULT OnInitDialog() override;
  void OnWindowPosChanging(WINDOWPOS* pos) override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;
  DWORD ImportRegistryWorker(LPARAM parameter);

  volatile long m_done = 0;
};
