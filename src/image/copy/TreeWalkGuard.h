// Keeps a walk down the folders of a volume finite when the volume is
// damaged: a folder is entered only while its path stays below the path
// limit and, on NTFS, only once per walk (an index entry that points back
// to an ancestor, or a second entry for a folder already walked, would
// make the walk endless or exponential; NTFS has no folder hard links).
#pragma once
#include <windows.h>

#include <functional>
#include <set>
#include <string>

struct _ntfs_volume;

class TreeWalkGuard {
 public:
  // The NTFS volume a path lies on, null where it lies on none.
  typedef std::function<struct _ntfs_volume*(const wchar_t* path)> NtfsFor;

  explicit TreeWalkGuard(NtfsFor ntfsFor) : m_ntfsFor(ntfsFor) {}

  // True when the folder may be walked; false with the last error
  // ERROR_FILENAME_EXCED_RANGE at the path limit or ERROR_FILE_CORRUPT
  // for a folder met before.
  bool Enter(const std::wstring& volumePath);
  // The NTFS record number of the folder last entered; -1 when unknown.
  long long LastId() const { return m_last; }

 private:
  NtfsFor m_ntfsFor;
  std::set<long long> m_seen;
  long long m_last = -1;
};
