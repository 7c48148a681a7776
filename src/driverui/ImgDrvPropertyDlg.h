// The property sheets of one adapter of the image: the network sheet with
// its advanced parameters, driver information and bound components pages,
// whose OK writes the changed advanced parameters into the adapter's class
// key; the display sheet with the driver information page.
#pragma once
#include <string>

#include "ui/Window.h"

class CMountedImage;

class CImgNetDrvPropertyDlg : public CWindow {
 public:
  // Runs the sheet modally over the opening page; `instance` is the
  // adapter's class instance number.
  CImgNetDrvPropertyDlg(CWindow* page, int instance, CMountedImage* image);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  // The changed parameters of page 140 written into the class key: a value
  // set as REG_SZ, an empty value deleted. Returns the number of registry
  // writes that failed.
  int WriteChangedParameters();

  CMountedImage* m_image;
};

class CImgDisplayDrvPropertyDlg : public CWindow {
 public:
  CImgDisplayDrvPropertyDlg(CWindow* page, int instance, CMountedImage* image);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  CMountedImage* m_image;
};

// Shared by the sheets and their pages: the selected row of the opening
// page's list 1001 and one of its columns (empty without a selection).
std::wstring OpeningPageColumn(CWindow* sheet, int column, int chars);
// The sheet's title: the adapter description and string 155.
void SetSheetTitle(CWindow* sheet);
// Shows the page `show` of the sheet and hides the others of `pages`.
void ShowSheetPage(HWND sheet, const int* pages, int count, int show);
