#include "app/ProgramEntry.h"

#include <commctrl.h>

#include "app/ProgramModule.h"
#include "common/CrashDump.h"
#include "disktools/partition/PartitionResize.h"
#include "infinstall/InfInstaller.h"

int RunProgramEntry(HINSTANCE instance, int (*runCommandLine)(WORD* language, int* exitCode)) {
  SetProgramModule(instance);
  // The driver file pass grows a full volume's partition once.
  SetPartitionGrowFunction(ResizeImagePartition);
  InitCommonControls();
  CrashDumpFilterScope crashFilter;
  int exitCode = 0;
  WORD language = 0;
  // The main window joins here when it is built; until then a start without
  // a batch command ends at once with exit code 0.
  runCommandLine(&language, &exitCode);
  return exitCode;
}
