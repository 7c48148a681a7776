// The network page of the image driver manager: the network adapters of the
// offline Windows (devices, driver keys without a device, entries of the
// network configuration), their installed and newest store versions, and
// add, delete, back up, update and configure.
#pragma once
#include "driverui/ImgDriverPage.h"

class CImgNetDrvDlg : public CImgDriverPage {
 public:
  // Creates the modeless page 138 over the container's tab control.
  CImgNetDrvDlg(CWindow* container, CMountedImage* image);

  LRESULT OnInitDialog() override;

  void FillList() override { FillAdapterList(); }
  void FillAdapterList();
  void RefreshInstalledRow(int item) override;
  void DeleteSelected() override;
  void BackupSelected() override;
  void OpenProperties(int item) override;
  void OpenSetup() override;
  void RefreshNewestVersions();

 private:
  // The wrapper adapter's instance (-1 from Windows 10 on) and its GUID.
  int32_t WrapperInstance(uint32_t version, uint32_t controlSet, wchar_t* guid);
};
