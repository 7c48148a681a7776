// Process token privileges.
#pragma once
#include <windows.h>

// Enables one privilege (for example "SeDebugPrivilege") in the process
// token. Returns AdjustTokenPrivileges' result; 0 when the token cannot be
// opened or the privilege name is unknown. A nonzero result does not mean the
// token holds the privilege (GetLastError() is then ERROR_NOT_ALL_ASSIGNED).
BOOL EnablePrivilege(const wchar_t* name);
