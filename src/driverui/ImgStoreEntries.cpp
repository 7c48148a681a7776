#include "driverui/ImgStoreEntries.h"

#include "driverstore/DriverStore.h"
#include "driverui/ImgVroDrvDlg.h"
#include "driverui/SetupDrvDlg.h"

INT_PTR RunDriverSetupDialog(CWindow* page, CMountedImage* image, int storeClass) {
  CSetupDrvDlg* dialog = storeClass == kStoreDisplay
                             ? static_cast<CSetupDrvDlg*>(new CSetupDisplayDrvDlg(image))
                             : static_cast<CSetupDrvDlg*>(new CSetupNetworkDrvDlg(image));
  INT_PTR result = dialog->Create(page, 143, TRUE, 0);
  return result > 0 ? result : 0;
}

void CreateOwnProgramsPage(CWindow* container, LPARAM param, CMountedImage* image) {
  (void)param;
  new CImgVroDrvDlg(container, image);
}
