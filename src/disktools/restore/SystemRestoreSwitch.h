// System Restore switching in the calling process itself: what a native
// process does, and what the companion program Kelt does on behalf of a
// 32-bit process on 64-bit Windows.
#pragma once
#include <windows.h>

#include "disktools/restore/SystemRestoreApi.h"

// HKEY_LOCAL_MACHINE key and value of the registry switch.
extern const wchar_t kSystemRestoreKey[];
extern const wchar_t kSessionIntervalValue[];

// Volume name buffers ("\\?\Volume{...}\") and path-name lists.
const DWORD kVolumeNameChars = 360;

// The IsWow64Process answer for the own process; 0 when the system lacks
// the function or it fails.
int IsWow64ProcessRunning(const SystemRestoreApi& api);

// Writes "RPSessionInterval" (REG_DWORD, 1 on, 0 off). 1 on success.
int SetRestoreRegistrySwitch(const SystemRestoreApi& api, int enable);

// The volume name of a drive letter (either case) into `volume`
// (kVolumeNameChars); false when no volume has that letter.
bool FindVolumeOfLetter(const SystemRestoreApi& api, wchar_t letter, wchar_t* volume);

// Switches System Restore for the letter's volume: the client library, the
// policy object, the registry switch and the scheduled task. 0 when the
// letter has no volume; 1 when the policy object took the change; else 1
// when the client library's function was called, 0 when it was not.
int SwitchSystemRestoreHere(const SystemRestoreApi& api, wchar_t letter, int enable);
