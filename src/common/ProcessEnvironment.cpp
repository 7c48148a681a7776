// Process environment leases: one holder at a time, snapshot and restore.
#include "common/ProcessEnvironment.h"

#include <windows.h>
#include <wchar.h>

namespace {

SRWLOCK g_EnvironmentLock = SRWLOCK_INIT;
volatile DWORD g_EnvironmentOwner = 0;

}  // namespace

void CProcessEnvironment::ReadAll(std::vector<Variable>& out) {
  out.clear();
  wchar_t* block = GetEnvironmentStringsW();
  if (!block) return;
  for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
    // A name may begin with "=" (the per-drive current folders): the
    // separator is the first "=" after the first character.
    const wchar_t* eq = wcschr(p + 1, L'=');
    if (!eq) continue;
    out.push_back({std::wstring(p, eq - p), std::wstring(eq + 1)});
  }
  FreeEnvironmentStringsW(block);
}

CProcessEnvironment::CProcessEnvironment() {
  if (g_EnvironmentOwner == GetCurrentThreadId()) return;
  AcquireSRWLockExclusive(&g_EnvironmentLock);
  g_EnvironmentOwner = GetCurrentThreadId();
  m_bHeld = true;
  ReadAll(m_Snapshot);
}

CProcessEnvironment::~CProcessEnvironment() {
  if (!m_bHeld) return;
  Restore();
  g_EnvironmentOwner = 0;
  ReleaseSRWLockExclusive(&g_EnvironmentLock);
}

void CProcessEnvironment::KeepOnly(const wchar_t* const* keep, size_t count) {
  if (!m_bHeld) return;
  std::vector<Variable> now;
  ReadAll(now);
  for (const Variable& v : now) {
    if (v.name.empty() || v.name[0] == L'=') continue;
    bool kept = false;
    for (size_t i = 0; i < count && !kept; ++i) kept = _wcsicmp(v.name.c_str(), keep[i]) == 0;
    if (!kept) SetEnvironmentVariableW(v.name.c_str(), nullptr);
  }
}

void CProcessEnvironment::Restore() {
  if (!m_bHeld || m_bRestored) return;
  std::vector<Variable> now;
  ReadAll(now);
  for (const Variable& v : now) {
    if (v.name.empty() || v.name[0] == L'=') continue;
    bool old = false;
    for (const Variable& s : m_Snapshot)
      if (_wcsicmp(s.name.c_str(), v.name.c_str()) == 0) {
        old = true;
        break;
      }
    if (!old) SetEnvironmentVariableW(v.name.c_str(), nullptr);
  }
  for (const Variable& s : m_Snapshot)
    if (!s.name.empty() && s.name[0] != L'=')
      SetEnvironmentVariableW(s.name.c_str(), s.value.c_str());
  m_bRestored = true;
}
