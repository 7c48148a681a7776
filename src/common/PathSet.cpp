#include "common/PathSet.h"

#include "common/PathUtil.h"

CPathSet::CPathSet() {
  InitializeCriticalSection(&m_lock);
}

CPathSet::~CPathSet() {
  DeleteCriticalSection(&m_lock);
}

void CPathSet::Note(const wchar_t* path) {
  std::wstring key = FullPathKey(path);
  EnterCriticalSection(&m_lock);
  m_keys.insert(key);
  LeaveCriticalSection(&m_lock);
}

void CPathSet::Drop(const wchar_t* path) {
  std::wstring key = FullPathKey(path);
  EnterCriticalSection(&m_lock);
  auto found = m_keys.find(key);
  if (found != m_keys.end()) m_keys.erase(found);
  LeaveCriticalSection(&m_lock);
}

bool CPathSet::Has(const wchar_t* path) const {
  if (!path || !*path) return false;
  EnterCriticalSection(&m_lock);
  bool empty = m_keys.empty();
  LeaveCriticalSection(&m_lock);
  // Nothing noted (most of the time): no path is made full.
  if (empty) return false;
  std::wstring key = FullPathKey(path);
  EnterCriticalSection(&m_lock);
  bool found = m_keys.count(key) != 0;
  LeaveCriticalSection(&m_lock);
  return found;
}
