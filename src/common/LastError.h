// Failing with a Win32 last error in one statement.
#pragma once
#include <windows.h>

// Sets the thread's last error and returns 0, the failure result of the
// operations that report through GetLastError.
inline int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}
