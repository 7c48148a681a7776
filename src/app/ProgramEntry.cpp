#include "app/ProgramEntry.h"

#include <commctrl.h>

#include "app/ProgramModule.h"
#include "common/CrashDump.h"
#include "disktools/partition/PartitionResize.h"
#include "infinstall/InfInstaller.h"

int RunProgramEntry(HINSTANCE instance, int (*runCommandLine)(WORD* language, int* exitCode),
                    int (*runMainWindow)(WORD language)) {
  SetProgramModule(instance);
  // The driver file pass grows a full volume's partition once.
  SetPartitionGrowFunction(ResizeImagePartition);
  InitCommonControls();
  CrashDumpFilterScope crashFilter;
  int exitCode = 0;
  WORD language = 0;
  if (runCommandLine(&language, &exitCode) && runMainWindow) runMainWindow(language);
  return exitCode;
}
