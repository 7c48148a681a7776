#include "app/ProgramEntry.h"

#include <commctrl.h>

#include "app/ProgramModule.h"
#include "common/CrashDump.h"

int RunProgramEntry(HINSTANCE instance, int (*runCommandLine)(WORD* language, int* exitCode)) {
  SetProgramModule(instance);
  InitCommonControls();
  CrashDumpFilterScope crashFilter;
  int exitCode = 0;
  WORD language = 0;
  // The main window joins here when it is built; until then a start without
  // a batch command ends at once with exit code 0.
  runCommandLine(&language, &exitCode);
  return exitCode;
}
