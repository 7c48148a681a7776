// The image driver manager: a modal window over the Windows of the opened
// image with one page per tab (network drivers, display drivers and, when
// the installation's setup package lies in the driver store, its own
// programs and drivers). It loads every hive of the image when it opens,
// shares them with its pages and writes the changed ones back when it
// closes.
#pragma once
#include "ui/Window.h"

class CMountedImage;

class CImgMgrDrvDlg : public CWindow {
 public:
  // Runs the window modally over `owner`; returns when it has closed.
  CImgMgrDrvDlg(CWindow* owner, CMountedImage* image);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  // True when the store root holds an executable of the image's
  // architecture whose version resource names "VroSetup.exe" as its
  // OriginalFilename.
  bool FindSetupPackage();

  CMountedImage* m_image;
};
