// The property sheets of a store package before it is installed: the
// network sheet (CInfNetDrvPropertyDlg) with the advanced parameters kept in
// the package version's "Params.ini" and the driver information, the display
// sheet (CInfDisplayDrvPropertyDlg) with the driver information only. Both
// run modal over dialog 139 and read the row's four texts.
#pragma once
#include <stdint.h>

#include <string>

#include "driverui/StorePackageDlg.h"

// The row a sheet shows.
struct StorePackageTexts {
  std::wstring name;            // device name (200)
  std::wstring hardwareId;      // (100)
  std::wstring installSection;  // (100)
  std::wstring infPath;         // the version's VroPnp.inf (360)
  uint32_t target = 0;          // the opener's target Windows (the virtual-adapter icon)
};

class CInfNetDrvPropertyDlg : public CWindow {
 public:
  // Runs the sheet; returns when it has closed.
  CInfNetDrvPropertyDlg(CWindow* opener, const StorePackageTexts& texts, CMountedImage* image);
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  StorePackageTexts m_texts;
  CMountedImage* m_image;
};

class CInfDisplayDrvPropertyDlg : public CWindow {
 public:
  CInfDisplayDrvPropertyDlg(CWindow* opener, const StorePackageTexts& texts, CMountedImage* image);
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;

  StorePackageTexts m_texts;
  CMountedImage* m_image;
};

// Page 140: the parameters of the package's INF, one editor per type.
class CInfNetPropAdvancedDlg : public CWindow {
 public:
  CInfNetPropAdvancedDlg(CWindow* sheet, const StorePackageTexts* texts);
  LRESULT OnInitDialog() override;
  LRESULT OnCtlColor(HDC dc, HWND control, int kind) override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnClose(WPARAM wParam) override;

  const StorePackageTexts* m_texts;
  bool m_showing;
};

// Pages 141 and 157: provider, date, version, the package folder and the
// files the INF names.
class CInfNetPropInformationDlg : public CWindow {
 public:
  CInfNetPropInformationDlg(CWindow* sheet, const StorePackageTexts* texts, CMountedImage* image,
                            bool display);
  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  const StorePackageTexts* m_texts;
  CMountedImage* m_image;
  bool m_display;
  std::wstring m_folder;
  HICON m_icon;
};

class CInfDisplayPropInformationDlg : public CInfNetPropInformationDlg {
 public:
  CInfDisplayPropInformationDlg(CWindow* sheet, const StorePackageTexts* texts,
                                CMountedImage* image)
      : CInfNetPropInformationDlg(sheet, texts, image, true) {}
};

// Opens the sheet of the first selected row of the opener's list (nothing
// without a selected row) and returns when it has closed. This is
// CSetupNetworkDrvDlg::ShowProperties and CInfDisplayDrvDlg::ShowProperties.
void ShowStorePackageProperties(CStorePackageDlg* opener, CMountedImage* image, int storeClass);
