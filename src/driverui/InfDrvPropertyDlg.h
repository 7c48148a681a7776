// The property sheets of a store package before it is installed: the
// network sheet with the advanced parameters (kept in the package version's
// "Params.ini") and the driver information, the display sheet with the
// driver information only.
#pragma once
#include "driverui/StorePackageDlg.h"

// Opens the sheet of the first selected row of the opener's list (nothing
// without a selected row) and returns when it has closed.
void ShowStorePackageProperties(CStorePackageDlg* opener, CMountedImage* image, int storeClass);
