// CConvertImageDlg: converts the volume of an image into a new image file,
// raw or own format, with the source's layout or GPT, on a worker thread.
#pragma once
#include "disktools/dialogs/DiskToolDlg.h"

class CConvertImageDlg : public CDiskToolDlg {
 public:
  // Runs the dialog modally over parent; the framework has deleted the
  // object when it returns.
  explicit CConvertImageDlg(CWindow* parent);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;

  DWORD ConvertThread(LPARAM parameter);

 private:
  // Start is enabled while both combo boxes hold text.
  void CheckStart();
};
