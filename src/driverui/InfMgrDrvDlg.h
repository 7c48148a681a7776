// CInfMgrDrvDlg: the driver-store manager, a modal window over the main
// window with a target-Windows combo and the network and display package
// pages. It holds the image's SYSTEM hive loaded while it is open (an image
// is optional: without one the store is managed alone) and refuses to close
// while a page's import runs.
#pragma once
#include <stdint.h>

#include "ui/Window.h"

class CMountedImage;
class CInfDrvListDlg;

class CInfMgrDrvDlg : public CWindow {
 public:
  // Runs the window (dialog 155) for the target word; returns when it has
  // closed. The object is heap-allocated and freed with its window.
  CInfMgrDrvDlg(CWindow* parent, uint32_t target, CMountedImage* image);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  bool AnyPageBusy() const;

  HWND m_tooltip;
  CMountedImage* m_image;
  CInfDrvListDlg* m_netPage;
  CInfDrvListDlg* m_displayPage;
};

// The command entry of the main window: opens the manager for the image's
// Windows (Windows 7 x64 without an image) and returns when it has closed.
void RunInfMgrDrvDlg(CWindow* parent, CMountedImage* image);
