// Process environment leases: one holder at a time, snapshot and restore.
#include "common/ProcessEnvironment.h"

#include <windows.h>
#include <wchar.h>

#include "common/TextSearch.h"

namespace {

SRWLOCK g_EnvironmentLock = SRWLOCK_INIT;
volatile DWORD g_EnvironmentOwner = 0;
// The owner thread's leases, outermost first: only that thread adds,
// removes or reads them.
std::vector<const CProcessEnvironment*> g_Leases;

}  // namespace

bool CProcessEnvironment::NoCase::operator()(const std::wstring& a, const std::wstring& b) const {
  return CompareNoCase(a.c_str(), b.c_str()) < 0;
}

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
  if (g_EnvironmentOwner != GetCurrentThreadId()) {
    AcquireSRWLockExclusive(&g_EnvironmentLock);
    g_EnvironmentOwner = GetCurrentThreadId();
    m_bHeld = true;
    ReadAll(m_Snapshot);
  }
  g_Leases.push_back(this);
}

CProcessEnvironment::~CProcessEnvironment() {
  for (size_t i = g_Leases.size(); i-- > 0;)
    if (g_Leases[i] == this) {
      g_Leases.erase(g_Leases.begin() + i);
      break;
    }
  if (!m_bHeld) return;
  Restore();
  g_EnvironmentOwner = 0;
  ReleaseSRWLockExclusive(&g_EnvironmentLock);
}

void CProcessEnvironment::Define(const std::wstring& name, const std::wstring& value) {
  m_Definitions[name] = value;
}

bool CProcessEnvironment::FindDefinition(const std::wstring& name, std::wstring* value) {
  if (g_EnvironmentOwner != GetCurrentThreadId()) return false;
  for (size_t i = g_Leases.size(); i-- > 0;) {
    auto found = g_Leases[i]->m_Definitions.find(name);
    if (found == g_Leases[i]->m_Definitions.end()) continue;
    if (value) *value = found->second;
    return true;
  }
  return false;
}

void CProcessEnvironment::Restore() {
  if (!m_bHeld || m_bRestored) return;
  std::vector<Variable> now;
  ReadAll(now);
  for (const Variable& v : now) {
    if (v.name.empty() || v.name[0] == L'=') continue;
    bool old = false;
    for (const Variable& s : m_Snapshot)
      if (CompareNoCase(s.name.c_str(), v.name.c_str()) == 0) {
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
