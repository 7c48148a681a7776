// The package pages of the driver-store manager: CInfNetDrvDlg (network,
// dialog 146) and CInfDisplayDrvDlg (display, dialog 158), modeless children
// over the manager's tab control. Each lists the packages of the store for
// the target chosen in the manager (its creation parameter), grouped by
// whether an image ever received them, and imports, deletes, configures
// packages and moves the store root.
#pragma once
#include "driverui/StorePackageDlg.h"

class CInfDrvListDlg : public CStorePackageDlg {
 public:
  // Creates the page modeless inside the manager, with the target word.
  CInfDrvListDlg(CWindow* manager, CMountedImage* image, int storeClass, uint32_t target);

  LRESULT OnInitDialog() override;
  LRESULT OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnClose(WPARAM wParam) override;

  uint32_t Target() override { return (uint32_t)m_param; }
  int GroupOf(const StorePackageView& view) override { return view.used ? 1 : 2; }
  void BeginImportControls() override;
  void EndImportControls() override;
  void UpdateButtons() override;
  void BuildPackageList() override;

  // The target chosen in the manager; the list is rebuilt by the caller.
  void SetTarget(uint32_t target) { m_param = target; }
  void DeleteSelected();
  LRESULT OnStoreListKeyDown(NMLVKEYDOWN* key);
  const wchar_t* WidthsValue() const;
};

class CInfNetDrvDlg : public CInfDrvListDlg {
 public:
  CInfNetDrvDlg(CWindow* manager, CMountedImage* image, uint32_t target);
};

class CInfDisplayDrvDlg : public CInfDrvListDlg {
 public:
  CInfDisplayDrvDlg(CWindow* manager, CMountedImage* image, uint32_t target);
};
