// Program entry. The command-line processor and the main window join here as
// they are built; until then the program starts and ends with exit code 0.
#include <windows.h>
#include <commctrl.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&icc);
  return 0;
}
