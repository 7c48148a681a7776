// The process-wide module handle of the program: the module whose resources
// every window and text is loaded from. wWinMain sets it to the process's own
// image; Initialize sets it to the copy a host mapped.
#pragma once
#include <windows.h>

HMODULE GetProgramModule();
void SetProgramModule(HMODULE module);
