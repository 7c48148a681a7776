#include "image/stack/KeptHandles.h"

#include <wchar.h>

#include "common/PathUtil.h"
#include "image/stack/MountRw.h"
#include "image/stack/journal/JournalFile.h"

namespace {

thread_local CKeptLayerHandles* t_active = nullptr;

// The handle is the file its path names now (not a file being made under a
// name of its own, nor one a made file is to replace).
bool IsFileOfPath(HANDLE handle, const std::wstring& path) {
  HANDLE named = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same = GetFileInformationByHandle(handle, &a) && GetFileInformationByHandle(named, &b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
              a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(named);
  return same;
}

HANDLE Duplicate(HANDLE handle) {
  HANDLE copy = nullptr;
  return DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)
             ? copy
             : nullptr;
}

}  // namespace

CKeptLayerHandles::CKeptLayerHandles(_VROH_DISK_COMBO* layers) : m_outer(t_active) {
  t_active = this;
  if (!layers) return;
  for (_VROH_RW_CLASS& layer : layers->m_Layers) {
    const std::wstring& path = layer.Path();
    if (!layer.IsOpen() || path.empty() || path.compare(0, 4, L"\\\\.\\") == 0 ||
        !IsFileOfPath(layer.m_hFile, path))
      continue;
    HANDLE copy = Duplicate(layer.m_hFile);
    if (copy) m_kept.push_back({FullPathKey(path.c_str()), copy, layer.IsWritable()});
  }
}

CKeptLayerHandles::~CKeptLayerHandles() {
  for (const Kept& k : m_kept) CloseHandle(k.handle);
  t_active = m_outer;
}

HANDLE CKeptLayerHandles::Take(const wchar_t* path, DWORD access) {
  if (!t_active || !path || !*path) return nullptr;
  const std::wstring full = FullPathKey(path);
  for (CKeptLayerHandles* scope = t_active; scope; scope = scope->m_outer) {
    for (size_t i = 0; i < scope->m_kept.size(); i++) {
      Kept& k = scope->m_kept[i];
      if (k.path != full) continue;
      if ((!k.writable && (access & GENERIC_WRITE)) ||
          GetFileAttributesW(vrojournal::JournalPathOf(full).c_str()) != INVALID_FILE_ATTRIBUTES) {
        CloseHandle(k.handle);
        scope->m_kept.erase(scope->m_kept.begin() + i);
        return nullptr;
      }
      return Duplicate(k.handle);
    }
  }
  return nullptr;
}
