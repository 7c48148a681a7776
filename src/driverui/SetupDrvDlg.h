// The driver setup dialogs: the packages the store holds for the image's
// Windows and one device class, checked and installed into the image,
// imported from a vendor's INF files, deleted from the store, configured.
// CSetupNetworkDrvDlg and CSetupDisplayDrvDlg are twins over dialog 143,
// always modal; the result is the number of packages the install command put
// into the image (0 when closed otherwise).
#pragma once
#include "driverui/StorePackageDlg.h"

class CSetupDrvDlg : public CStorePackageDlg {
 public:
  // The opener runs Create(parent, 143, TRUE, 0) afterwards.
  CSetupDrvDlg(CMountedImage* image, int storeClass);

  LRESULT OnInitDialog() override;
  LRESULT OnCtlColor(HDC dc, HWND control, int kind) override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  uint32_t Target() override;
  int GroupOf(const StorePackageView& view) override;
  void BeginImportControls() override;
  void EndImportControls() override;
  void UpdateButtons() override;  // the setup dialogs' UpdateSetupButtons

  // The install command over the checked rows.
  void InstallSelected(uint32_t linkFiles);
  void DeleteCheckedPackages();
  // The property sheet of the first selected row.
  virtual void ShowProperties() = 0;

  // Check states of the rows (state image 2 is the ticked one).
  bool IsChecked(int row) const;
  void SetChecked(int row, bool checked);
  int CountChecked() const;
  void ShowContextMenu();
  LRESULT OnListKeyDown(NMLVKEYDOWN* key);
};

class CSetupNetworkDrvDlg : public CSetupDrvDlg {
 public:
  explicit CSetupNetworkDrvDlg(CMountedImage* image);
  void ShowProperties() override;
};

class CSetupDisplayDrvDlg : public CSetupDrvDlg {
 public:
  explicit CSetupDisplayDrvDlg(CMountedImage* image);
  void ShowProperties() override;
};
