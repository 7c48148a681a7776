#include "image/copy/TreeWalkGuard.h"

#include "common/PathUtil.h"
#include "image/copy/TreeCopyNtfs.h"

bool TreeWalkGuard::Enter(const std::wstring& volumePath) {
  if (volumePath.size() >= (size_t)kPathChars) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  m_last = -1;
  struct _ntfs_volume* ntfs = m_ntfsFor ? m_ntfsFor(volumePath.c_str()) : nullptr;
  if (!ntfs) return true;
  long long id = TreeCopyNtfsFolderId(ntfs, volumePath.c_str());
  if (id < 0) return true;  // the listing that follows reports what is wrong
  m_last = id;
  if (!m_seen.insert(id).second) {
    SetLastError(ERROR_FILE_CORRUPT);
    return false;
  }
  return true;
}
