#include "common/Privilege.h"

BOOL EnablePrivilege(const wchar_t* name) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return FALSE;
  TOKEN_PRIVILEGES tp = {};
  BOOL ok = FALSE;
  if (LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid)) {
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ok = AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
  }
  CloseHandle(token);
  return ok;
}
