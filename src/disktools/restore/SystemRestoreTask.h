// The scheduled System Restore task "SR" in the Task Scheduler folder
// "Microsoft\Windows\SystemRestore", through the Task Scheduler 2.0 objects.
// COM must be initialised on the calling thread.
#pragma once
#include <windows.h>
#include <taskschd.h>

#include "disktools/restore/SystemRestoreApi.h"

// The lookup result that means the task is not there.
const HRESULT kTaskNotFound = HRESULT(0x80070002);

// The task's definition, registered when the task is missing.
extern const wchar_t kSystemRestoreTaskXml[];

// The folder "Microsoft\Windows\SystemRestore" below the root "\" of a
// connected service, created when missing; null when neither works.
ITaskFolder* OpenSystemRestoreTaskFolder(ITaskService* service);

// 1 when the lookup of "SR" fails with kTaskNotFound; otherwise the lookup's
// own result (0 when the task exists).
HRESULT SystemRestoreTaskMissing(ITaskFolder* folder);

// Registers "SR" from kSystemRestoreTaskXml when it is missing. 1 when the
// task is there afterwards (or the lookup gave anything but "missing"); 0
// when the service or the folder cannot be had or the registration fails.
int EnsureSystemRestoreTask(const SystemRestoreApi& api);

// Sets the Enabled property of "SR" (VARIANT_FALSE off, VARIANT_TRUE on).
// 1 when the task was found and the property set, else 0.
int SetSystemRestoreTaskEnabled(const SystemRestoreApi& api, VARIANT_BOOL enabled);
