// The files of a layer set held through the moment between closing the set
// and opening it again. A writer holds its files against other writers by
// the share mode of its handles; a reopen that closed them first and opened
// them again after would leave a gap in which another program gets in. While
// a CKeptLayerHandles lives, a duplicate of each open layer's handle keeps
// the file open with the share mode it had, and the opens of the same thread
// take a duplicate of it (no new share check, no gap) instead of opening
// the file anew.
//
//   CKeptLayerHandles kept(disk->Layers());  // before the layers close
//   ... close the layers, open the chain again (RwClass::OpenFile asks Take)
//   // kept ends: what no open took is closed
#pragma once
#include <windows.h>

#include <string>
#include <vector>

class _VROH_DISK_COMBO;

class CKeptLayerHandles {
 public:
  // Keeps every open layer's file of the set (null: none) for the opens of
  // this thread. A layer whose file is being made under a name of its own
  // is not kept (its handle is not the file of its name).
  explicit CKeptLayerHandles(_VROH_DISK_COMBO* layers);
  ~CKeptLayerHandles();
  CKeptLayerHandles(const CKeptLayerHandles&) = delete;
  CKeptLayerHandles& operator=(const CKeptLayerHandles&) = delete;

  // For the open of an image file on this thread: a new handle on the file
  // kept for path when it allows access (the caller owns it), else null.
  // A kept file that does not allow access, or that has a journal beside
  // it (a roll back that failed, which the open must apply itself), is let
  // go first so the open meets only other programs.
  static HANDLE Take(const wchar_t* path, DWORD access);

 private:
  struct Kept {
    std::wstring path;  // full path
    HANDLE handle;
    bool writable;
  };
  std::vector<Kept> m_kept;
  CKeptLayerHandles* m_outer;
};
