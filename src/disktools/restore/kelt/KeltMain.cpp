// Kelt: the 64-bit System Restore switch of the program. A 32-bit copy of
// the program on 64-bit Windows writes it out and runs it, since the switch
// must reach the 64-bit registry, task service and client library.
// Command line: "+X" switches System Restore on for drive X, "-X" off.
// Exit code: 0 when the switch was handed to System Restore, 1 when not,
// 2 for a malformed command line.
#include <windows.h>
#include <wctype.h>

#include "disktools/restore/SystemRestoreApi.h"
#include "disktools/restore/SystemRestoreSwitch.h"

namespace {

enum KeltExit { kKeltDone = 0, kKeltFailed = 1, kKeltUsage = 2 };

// Reads "+X" or "-X" (blanks around it allowed); false for anything else.
bool ParseSwitch(const wchar_t* text, int* enable, wchar_t* letter) {
  while (*text == L' ' || *text == L'\t') ++text;
  if ((text[0] != L'+' && text[0] != L'-') || !iswalpha(text[1]) || text[1] > 0x7F) return false;
  for (const wchar_t* rest = text + 2; *rest; ++rest)
    if (*rest != L' ' && *rest != L'\t') return false;
  *enable = text[0] == L'+';
  *letter = text[1];
  return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
  int enable = 0;
  wchar_t letter = 0;
  if (!commandLine || !ParseSwitch(commandLine, &enable, &letter)) return kKeltUsage;
  return SwitchSystemRestoreHere(SystemSystemRestoreApi(), letter, enable) ? kKeltDone
                                                                           : kKeltFailed;
}
