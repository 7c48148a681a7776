// Where the image driver manager and its pages open the store-side windows:
// the setup dialog of a device class and the installation's own-programs
// page.
#pragma once
#include <windows.h>

class CWindow;
class CMountedImage;

// The setup dialog of the class (kStoreNetwork or kStoreDisplay), modal over
// the page; nonzero when packages were installed (the page then rebuilds
// its list).
INT_PTR RunDriverSetupDialog(CWindow* page, CMountedImage* image, int storeClass);
// The own-programs page (control 163) as a modeless child of the manager.
void CreateOwnProgramsPage(CWindow* container, LPARAM param, CMountedImage* image);
