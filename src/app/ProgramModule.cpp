#include "app/ProgramModule.h"

namespace {
HMODULE g_programModule;
}

HMODULE GetProgramModule() { return g_programModule; }

void SetProgramModule(HMODULE module) { g_programModule = module; }
