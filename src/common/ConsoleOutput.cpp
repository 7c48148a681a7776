#include "common/ConsoleOutput.h"

HANDLE CommandOutput() {
  static HANDLE console = INVALID_HANDLE_VALUE;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out && out != INVALID_HANDLE_VALUE) return out;
  if (console == INVALID_HANDLE_VALUE && AttachConsole(ATTACH_PARENT_PROCESS))
    console =
        CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  return console;
}
