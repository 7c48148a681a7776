// Program entry: the command line decides between batch mode and the main
// window. The main window joins here when it is built; until then a start
// without a batch command ends at once with exit code 0.
#include <windows.h>
#include <commctrl.h>

#include "app/CommandLine.h"
#include "app/ProgramModule.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  SetProgramModule(instance);
  InitCommonControls();
  int exitCode = 0;
  WORD language = 0;
  RunCommandLine(&language, &exitCode);
  return exitCode;
}
