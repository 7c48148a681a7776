// Runs the companion program Kelt: the 64-bit System Restore switch of a
// 32-bit process on 64-bit Windows.
#pragma once
#include <windows.h>

#include "disktools/restore/SystemRestoreApi.h"

// How long a run may take before it counts as failed (it is left running).
const DWORD kKeltTimeoutMs = 10000;

// The program's bytes from the resources of `module`; null when missing.
const void* FindKeltImage(HMODULE module, DWORD* size);

// Writes the image to a new file of a name no other file in the temporary
// folder has, checks that the file holds exactly the image and keeps others
// from writing it, runs it with "+%c" (enable) or "-%c" and the letter, and
// deletes it. A file left there under the same name by anyone else is never
// run. 1 when the program ran and exited with 0 within kKeltTimeoutMs.
int RunKelt(const SystemRestoreApi& api, const void* image, DWORD size, wchar_t letter, int enable);
