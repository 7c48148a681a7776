// Overlay links between own sparse layers and the update files beside an
// image.
#include "image/stack/RwClass.h"
#include "image/formats/sparse/ImgRw.h"
#include "image/stack/BaseState.h"
#include "image/stack/OverlayNotice.h"
#include <algorithm>
#include <cwctype>
#include <vector>

using namespace vroimg;

int _VROH_RW_CLASS::CheckParent(_VROH_RW_CLASS* parent) {
  if (!parent || !parent->IsOpen()) return 0;
  if (m_nType != VRO_TYPE_SPARSE || Kind() != kKindOverlay)
    return parent->m_nType != VRO_TYPE_SPARSE ? -1 : -2;
  // The links as the file holds them (a writable open renews its
  // identity in memory first).
  const uint8_t* h = m_pContainer->StoredHeader();
  // An overlay made over an own image names its identity and takes its
  // creation time (this file's own lies in the second copy); one made
  // over an image of another kind records that image's state instead.
  // Over an image of the other kind it was made for another image (the
  // one that was at this path before).
  const bool madeOverOwn =
      Ld64(h + kOffParentId) != 0 && Ld64(h + kOffCreated) != Ld64(h + kOffCreated2);
  VroBaseState made, merged, now;
  const bool stated = ReadBaseState(h, kOffBaseState, &made);
  if (parent->m_nType != VRO_TYPE_SPARSE) {
    // A plain or VHD base has no identity to link to: an overlay made for
    // a disk of its size is bound to the state of the base it recorded
    // (BaseState.h), and one that recorded none (another writer's, or an
    // earlier version's) is taken as unlinked.
    if (madeOverOwn || Ld64(h + kOffCapacity) != parent->m_nCapacity) return -1;
    const bool known = TakeBaseState(*parent, &now);
    // The very state its merge left the base in: merged already.
    if (known && ReadBaseState(h, kOffMergedState, &merged) && IsStateLeftByMerge(merged, now))
      return -4;
    if (!stated) return 2;
    // A base whose state cannot be read cannot tell: refused.
    if (!known)
      return parent->m_nType == VRO_TYPE_PHYSICAL || parent->m_nType == VRO_TYPE_VOLUME ? -1 : -3;
    switch (MatchBaseState(made, now)) {
      case VRO_STATE_SAME:
        return 1;
      case VRO_STATE_CHANGED:
        return -3;
      default:
        return -1;
    }
  }
  if (stated) return -1;
  const uint8_t* ph = parent->Header();
  uint64_t parentOwn = Ld64(ph + kOffOwnId);
  uint64_t linked = Ld64(h + kOffParentId);
  if (linked == parentOwn || Ld64(h + kOffPrevParentId) == parentOwn) return 1;
  // A merge gives the base the merged file's identity.
  if (Ld64(h + kOffOwnId) == parentOwn) return -4;
  if (linked == 0) return 2;
  // Every overlay takes the creation time of the image it is made over,
  // which the image keeps for good: another one is another image made at
  // its path (by /create: or /convert:), not a later state of this one.
  if (Ld64(h + kOffCreated) != Ld64(ph + kOffCreated)) return -1;
  return -3;
}

void _VROH_RW_CLASS::LinkOverlay(_VROH_RW_CLASS* parent, bool isNew, bool writable) {
  uint8_t* h = Header();
  if (!h) return;
  EnterCriticalSection(&m_Lock);
  St32(h + kOffKind, kKindOverlay);
  if (isNew && parent && parent->IsOpen()) {
    uint64_t cap = parent->Header() ? Ld64(parent->Header() + kOffCapacity) : parent->m_nCapacity;
    St64(h + kOffCapacity, cap);
    St32(m_pContainer->MapHeader() + kOffMapCapacity, (uint32_t)cap);
    m_nCapacity = parent->m_nCapacity;
  }
  // Over a plain or VHD base: the state of the base it is made over (or,
  // for a file that recorded none, is first written over).
  VroBaseState state, kept;
  if (writable && parent && parent->IsOpen() && !ReadBaseState(h, kOffBaseState, &kept) &&
      TakeBaseState(*parent, &state))
    PutBaseState(h, kOffBaseState, state);
  if (writable && parent && parent->IsOpen() && parent->m_nType == VRO_TYPE_SPARSE) {
    const uint8_t* ph = parent->Header();
    if (isNew) {
      St64(h + kOffCreated, Ld64(ph + kOffCreated));
      St32(h + kOffGeneration, Ld32(ph + kOffGeneration) + 1);
      St64(h + kOffPrevParentId, Ld64(ph + kOffOwnId));
    }
    St64(h + kOffParentId, Ld64(ph + kOffOwnId));
  }
  // Only a writable container may put its header back.
  if (writable) m_pContainer->SetDirty();
  // A new overlay takes its name with the first write that reaches it.
  if (writable && isNew) MakeOnlyForWrites();
  LeaveCriticalSection(&m_Lock);
  SetZeroFill(0);
}

int _VROH_RW_CLASS::OpenOverlay(const wchar_t* path, int mode, _VROH_RW_CLASS* parent) {
  Close();
  if (!path || !*path) return 0;
  // An empty file is a new one: it is made anew, and takes the empty one's
  // place only with a write.
  WIN32_FILE_ATTRIBUTE_DATA found;
  if (mode == VRO_MODE_CREATE && GetFileAttributesExW(path, GetFileExInfoStandard, &found) &&
      !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !found.nFileSizeHigh &&
      !found.nFileSizeLow)
    m_bReplace = true;
  DWORD access = mode == VRO_MODE_READ ? GENERIC_READ : (GENERIC_READ | GENERIC_WRITE);
  HANDLE h = OpenFile(path, mode, access, ShareFor(path, mode));
  if (h == INVALID_HANDLE_VALUE) return 0;
  m_hFile = h;
  if (!Detect(path, mode, true)) return 0;
  bool isNew = m_bEmptyAtOpen != 0;
  if (!isNew) {
    uint8_t* hd = Header();
    bool unusable = hd && Ld32(hd + kOffUnusable) == kUnusableMark;
    int link = CheckParent(parent);
    // Only a whole overlay made for another state of this base (or one
    // marked unusable) is thrown away, and only by an open that writes:
    // a damaged file or one of another kind is the only copy of what it
    // holds, and is left as it is.
    bool stale = link == -3 || (link >= 0 && unusable && mode == VRO_MODE_CREATE);
    // What the open did to the file (a stamp of its map) is taken back: a
    // file refused or replaced stays as it was until a write replaces it.
    if (link < 0 && !stale) {
      VroOverlayNotice(path, link == -1   ? VRO_NOTICE_NOT_LINKED
                             : link == -4 ? VRO_NOTICE_MERGED_ALREADY_KEPT
                                          : VRO_NOTICE_NOT_OVERLAY);
      RollBack();
      return -1;
    }
    if (stale) {
      RollBack();
      // Over a plain or VHD base the state is told by what a write changes
      // (BaseState.h), which a copy of the base may change too: no command
      // throws such a file away.
      bool ownBase = parent && parent->m_nType == VRO_TYPE_SPARSE;
      if (link == -3 && !ownBase) {
        VroOverlayNotice(path, VRO_NOTICE_STALE_REFUSED);
        return -1;
      }
      if (mode != VRO_MODE_CREATE) {
        VroOverlayNotice(path, VRO_NOTICE_STALE_KEPT);
        return -1;
      }
      // The new file takes the old one's place only with the first write,
      // when the command that made it is whole: an open, a read, a command
      // that fails or one cut off leaves the old file as it was. The line
      // comes when it is discarded.
      m_bReplace = true;
      OpenSparse(path, VRO_MODE_CREATE);
      isNew = m_bEmptyAtOpen != 0;
      DiscardsAtCommit(link == -3 ? VRO_NOTICE_STALE_DISCARDED : VRO_NOTICE_UNUSABLE_DISCARDED);
    }
  }
  if (!IsOpen() || m_nType != VRO_TYPE_SPARSE) {
    Close();
    return -1;
  }
  LinkOverlay(parent, isNew, mode != VRO_MODE_READ);
  // A new file gets its header before any data: a volume that fills up
  // later must not leave an overlay that no longer opens. One whose header
  // cannot be written is not kept.
  if (isNew && mode != VRO_MODE_READ && Flush() < 0) {
    StopWrites();
    Close();
    return -1;
  }
  return 1;
}

namespace {
// Folder part of a path including the last separator.
std::wstring FolderOf(const std::wstring& path) {
  size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

struct UpdateName {
  int number;
  std::wstring path;
};

// basePath_NN.Upd files beside basePath, sorted by number; with `making`,
// also the names of those being made (or left) as basePath_NN.Upd.new.
std::vector<UpdateName> ListUpdateNames(const wchar_t* basePath, bool making = false) {
  std::vector<UpdateName> out;
  std::wstring base(basePath);
  std::wstring pattern = base + (making ? L"_*.Upd*" : L"_*.Upd");
  std::wstring folder = FolderOf(base);
  std::wstring baseName = base.substr(folder.size());
  WIN32_FIND_DATAW fd;
  HANDLE f = FindFirstFileW(pattern.c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return out;
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::wstring name = fd.cFileName;
    if (name.size() <= baseName.size() + 1 ||
        _wcsnicmp(name.c_str(), baseName.c_str(), baseName.size()) != 0 ||
        name[baseName.size()] != L'_')
      continue;
    const wchar_t* digits = name.c_str() + baseName.size() + 1;
    if (!iswdigit(*digits)) continue;
    wchar_t* end = nullptr;
    unsigned long n = wcstoul(digits, &end, 10);
    if ((_wcsicmp(end, L".Upd") != 0 && !(making && _wcsicmp(end, L".Upd.new") == 0)) ||
        n > 0x7FFFFFFF)
      continue;
    out.push_back({(int)n, folder + name});
  } while (FindNextFileW(f, &fd));
  FindClose(f);
  std::sort(out.begin(), out.end(),
            [](const UpdateName& a, const UpdateName& b) { return a.number < b.number; });
  return out;
}

int CopyOut(const std::wstring& s, wchar_t* buf, int length) {
  int need = (int)s.size() + 1;
  if (!buf || length < need) return -need;
  wcscpy(buf, s.c_str());
  return need;
}

// The overlay at overlay links to the image at candidate.
bool Links(_VROH_RW_CLASS& overlay, const std::wstring& candidate) {
  _VROH_RW_CLASS c;
  if (!c.OpenSparse(candidate.c_str(), VRO_MODE_READ)) return false;
  return overlay.CheckParent(&c) == 1;
}
}  // namespace

int _VROH_RW_CLASS::HighestUpdateNumber(const wchar_t* basePath) {
  // A number another program is making a file under (or that one cut off
  // left, not of this program's making) is taken too.
  std::vector<UpdateName> names = ListUpdateNames(basePath, true);
  return names.empty() ? 0 : names.back().number;
}

std::vector<std::wstring> _VROH_RW_CLASS::UpdateFilesOf(const wchar_t* basePath, uint64_t ownId) {
  // Files that do not open are passed over without a word: none is
  // asked for.
  VroQuietNotices quiet;
  std::vector<std::wstring> out;
  for (const UpdateName& u : ListUpdateNames(basePath)) {
    _VROH_RW_CLASS upd;
    if (!upd.OpenSparse(u.path.c_str(), VRO_MODE_READ) || upd.Kind() != kKindOverlay) continue;
    const uint8_t* h = upd.Header();
    if (Ld64(h + kOffParentId) == ownId || Ld64(h + kOffPrevParentId) == ownId)
      out.push_back(u.path);
  }
  return out;
}

int _VROH_RW_CLASS::FindUpdateFile(const wchar_t* basePath, int index, wchar_t* buf, int length) {
  _VROH_RW_CLASS base;
  if (!base.OpenSparse(basePath, VRO_MODE_READ)) return 0;
  std::vector<std::wstring> found = UpdateFilesOf(basePath, Ld64(base.Header() + kOffOwnId));
  return index >= 0 && (size_t)index < found.size() ? CopyOut(found[index], buf, length) : 0;
}

int _VROH_RW_CLASS::FindBaseImage(const wchar_t* overlayPath, wchar_t* buf, int length) {
  _VROH_RW_CLASS overlay;
  if (!overlay.OpenSparse(overlayPath, VRO_MODE_READ)) return -2;
  std::wstring self(overlayPath);
  // The name it was made from ("x.img" for "x.img_03.Upd") first.
  size_t us = self.find_last_of(L'_');
  if (us != std::wstring::npos && self.size() > 4 &&
      _wcsicmp(self.c_str() + self.size() - 4, L".Upd") == 0) {
    std::wstring guess = self.substr(0, us);
    if (Links(overlay, guess)) return CopyOut(guess, buf, length);
  }
  std::wstring folder = FolderOf(self);
  // Every other file of the folder is only looked at.
  VroQuietNotices quiet;
  WIN32_FIND_DATAW fd;
  HANDLE f = FindFirstFileW((folder + L"*").c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return -1;
  int candidates = 0;
  int result = -2;
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::wstring path = folder + fd.cFileName;
    if (_wcsicmp(path.c_str(), self.c_str()) == 0) continue;
    candidates++;
    if (Links(overlay, path)) {
      result = CopyOut(path, buf, length);
      break;
    }
  } while (FindNextFileW(f, &fd));
  FindClose(f);
  return candidates ? result : -1;
}
