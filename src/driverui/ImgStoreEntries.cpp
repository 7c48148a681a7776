#include "driverui/ImgStoreEntries.h"

INT_PTR RunDriverSetupDialog(CWindow* page, CMountedImage* image, int storeClass) {
  (void)page;
  (void)image;
  (void)storeClass;
  return 0;
}

void CreateOwnProgramsPage(CWindow* container, LPARAM param, CMountedImage* image) {
  (void)container;
  (void)param;
  (void)image;
}
