// The program entry's steps, in order: the module handle, the common
// controls, the crash-dump filter for the whole run (the one in force before
// comes back at the end), then the command line, whose exit code the process
// ends with.
#pragma once
#include <windows.h>

// `runCommandLine` is RunCommandLine in the program: it returns 1 when the
// main window is to be shown and updates the exit code. `runMainWindow`, when
// given, then shows the main window in the language until it closes.
int RunProgramEntry(HINSTANCE instance, int (*runCommandLine)(WORD* language, int* exitCode),
                    int (*runMainWindow)(WORD language) = nullptr);
