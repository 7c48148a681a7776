// Paths that the threads of the process note and ask about (the files it
// holds or makes), told apart by their full paths with case ignored. A path
// noted n times stays until it is dropped n times.
#pragma once
#include <windows.h>

#include <set>
#include <string>

class CPathSet {
 public:
  CPathSet();
  ~CPathSet();
  CPathSet(const CPathSet&) = delete;
  CPathSet& operator=(const CPathSet&) = delete;

  void Note(const wchar_t* path);
  void Drop(const wchar_t* path);
  bool Has(const wchar_t* path) const;

 private:
  mutable CRITICAL_SECTION m_lock;
  std::multiset<std::wstring> m_keys;
};
