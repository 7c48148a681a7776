// CAddFavoritesDlg: names the selected key of the registry editor and keeps
// it as a favorite.
#pragma once
#include "ui/Window.h"

class CMountedImage;
class CRegistryDlg;

class CAddFavoritesDlg : public CWindow {
 public:
  // Runs the dialog modally; the framework has deleted the object when it
  // returns.
  CAddFavoritesDlg(CRegistryDlg* parent, CMountedImage* image);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;

  CMountedImage* m_image;
};
