// CBootMenuDlg: the boot and system options of the Windows inside a mounted
// image. Opens the image's BCD store and SYSTEM hive, shows the options,
// and on OK writes back what the user changed.
#pragma once
#include "disktools/dialogs/BootOptions.h"
#include "ui/Window.h"

class CMountedImage;

class CBootMenuDlg : public CWindow {
 public:
  // Runs the dialog modally over parent on image; the framework has deleted
  // the object when it returns.
  CBootMenuDlg(CWindow* parent, CMountedImage* image);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  // The options as the controls show them.
  BootOptions CollectOptions() const;

  CMountedImage* m_image;
  BootOptions m_read;  // as shown when the dialog opened
  bool m_loaded;
  bool m_beforeWindows8;  // the image's Windows: the show-menu check, else the tile-menu check

 private:
  void ShowOptions(const BootOptions& options);
  void MoveSelectedRow(int step);
  void UpdateMoveButtons();
};
