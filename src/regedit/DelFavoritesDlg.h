// CDelFavoritesDlg: lists the registry editor's favorites and removes the
// chosen ones.
#pragma once
#include "ui/Window.h"

class CMountedImage;
class CRegistryDlg;

class CDelFavoritesDlg : public CWindow {
 public:
  // Runs the dialog modally; the framework has deleted the object when it
  // returns.
  CDelFavoritesDlg(CRegistryDlg* parent, CMountedImage* image);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;

  CMountedImage* m_image;
};
