// System Restore switching of a host volume on the running Windows: the
// System Restore client library, the per-volume policy, the registry switch
// and the scheduled restore task. A 32-bit process on 64-bit Windows hands
// the work to the 64-bit companion program Kelt.
#pragma once
#include <windows.h>

struct SystemRestoreApi;

// Switches System Restore on (enable non-zero) or off for the volume of a
// drive letter (either case). Returns 1 when the switch was handed to System
// Restore, else 0 (no such volume, no client library, or Kelt failed). The
// callers switch it off before reading a live host volume and go on whatever
// the result.
int SetVolumeSystemRestore(wchar_t letter, int enable);

// The same through the given platform calls; Kelt is taken from the
// resources of `module` (the program's own image when null).
int SetVolumeSystemRestoreWith(const SystemRestoreApi& api, HMODULE module, wchar_t letter,
                               int enable);
