// The advanced parameters page of the network property sheet: the
// parameters the adapter's driver declares under "Ndi\params" of its class
// key, each edited through the editor its type asks for and kept in memory
// in one NdiParamRecord; the sheet's OK writes the changed ones.
#pragma once
#include <string>

#include "ui/Window.h"

class CMountedImage;
struct NdiParamRecord;

class CImgNetPropAdvancedDlg : public CWindow {
 public:
  CImgNetPropAdvancedDlg(CWindow* sheet, int instance, CMountedImage* image);

  LRESULT OnInitDialog() override;
  LRESULT OnCtlColor(HDC dc, HWND control, int kind) override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;

  CMountedImage* m_image;

 private:
  std::wstring ClassKey() const;
  std::wstring ParamKey(const wchar_t* name) const;
  NdiParamRecord* Selected() const;
  void ShowParameter(NdiParamRecord* record);
  void FreeComboValues();
  // Set while the editors are being filled, so that what they report then
  // is not taken for the operator's change.
  bool m_showing;
};

// The shared close handler of both advanced pages: frees every record and
// combo value, destroys the page.
LRESULT CloseAdvancedPage(CWindow* page);
