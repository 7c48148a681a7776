#include "disktools/restore/SystemRestore.h"

#include "disktools/restore/KeltRunner.h"
#include "disktools/restore/SystemRestoreApi.h"
#include "disktools/restore/SystemRestoreSwitch.h"

// The base of the image this code belongs to: the program, or the copy a
// host mapped and relocated.
extern "C" IMAGE_DOS_HEADER __ImageBase;

int SetVolumeSystemRestore(wchar_t letter, int enable) {
  return SetVolumeSystemRestoreWith(SystemSystemRestoreApi(), nullptr, letter, enable);
}

int SetVolumeSystemRestoreWith(const SystemRestoreApi& api, HMODULE module, wchar_t letter,
                               int enable) {
  if (!IsWow64ProcessRunning(api)) return SwitchSystemRestoreHere(api, letter, enable);
  DWORD size = 0;
  const void* image =
      FindKeltImage(module ? module : reinterpret_cast<HMODULE>(&__ImageBase), &size);
  return RunKelt(api, image, size, letter, enable);
}
