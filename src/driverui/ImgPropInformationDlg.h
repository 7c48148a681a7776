// The driver information pages of the image-side property sheets: provider,
// date and version of the adapter's driver, how it was installed, a link to
// its package folder in the store (or its hardware id), and its driver files
// in the image with company, version and signer of the file chosen.
#pragma once
#include <string>

#include "ui/Window.h"

class CMountedImage;

class CImgNetPropInformationDlg : public CWindow {
 public:
  CImgNetPropInformationDlg(CWindow* sheet, int instance, CMountedImage* image);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  // Company, version and signer of the chosen file (of its link target on
  // the host when it is a link), or the store link without a choice.
  void ShowDriverFileDetails();

  CMountedImage* m_image;

 protected:
  CImgNetPropInformationDlg(CMountedImage* image, bool display)
      : m_image(image), m_display(display) {}
  std::wstring ClassKey() const;
  // Adds one file (its text already mapped) unless listed; `kindText` gives
  // the kind by its extension; `strict` is the display page's test of a
  // recorded file (a file, and a link's host target a file).
  void AddFile(const std::wstring& text, const std::wstring& kindText, bool strict);
  // The mapping rules of registry texts into "C:" paths of the image.
  std::wstring PathRule(const std::wstring& text);
  std::wstring ModuleRule(const std::wstring& text, bool wow, bool cutAtComma);
  void FillRecordedFiles();
  void FillNetworkFiles();
  void FillDisplayFiles();

  bool m_display;
};

class CImgDisplayPropInformationDlg : public CImgNetPropInformationDlg {
 public:
  CImgDisplayPropInformationDlg(CWindow* sheet, int instance, CMountedImage* image);
};
