#include "app/ProgramModule.h"

#include "ui/UiResources.h"

namespace {
HMODULE g_programModule;
}

HMODULE GetProgramModule() {
  return g_programModule;
}

void SetProgramModule(HMODULE module) {
  g_programModule = module;
  SetUiModule(module);
}
