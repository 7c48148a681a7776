#include "driverui/InfDrvPropertyDlg.h"

void ShowStorePackageProperties(CStorePackageDlg* opener, CMountedImage* image, int storeClass) {
  (void)opener;
  (void)image;
  (void)storeClass;
}
