// Program entry: the command line decides between batch mode and the main
// window (app/ProgramEntry.h).
#include <windows.h>

#include "app/CommandLine.h"
#include "app/ProgramEntry.h"
#include "app/mainwnd/FileManagerDlg.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  return RunProgramEntry(instance, RunCommandLine, RunMainWindow);
}
