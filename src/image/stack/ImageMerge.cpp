#include "image/stack/ImageMerge.h"
#include "image/stack/MountRw.h"
#include "image/device/DeviceSource.h"
#include "image/stack/BaseState.h"
#include "image/formats/sparse/ImgRw.h"
#include "image/stack/OverlayNotice.h"
#include "image/stack/journal/JournalFile.h"
#include "common/PathUtil.h"
#include <cstring>
#include <memory>
#include <new>

using namespace vroimg;

namespace {

// The record that earlier versions kept beside a base while a merge into
// it ran ("<base>.merging": "VROMERGE", then the merged file's full path in
// UTF-16 with its NUL). Merges now roll back whole through the base's
// journal and leave none; one found is of a merge an earlier version began.
const char kMergeMagic[8] = {'V', 'R', 'O', 'M', 'E', 'R', 'G', 'E'};
const DWORD kMergeRecordMax = 8 + 2 * 32768;

std::wstring MergeRecordPath(const wchar_t* basePath) {
  return std::wstring(basePath) + L".merging";
}

std::wstring FullPath(const wchar_t* path) {
  std::wstring full(32768, L'\0');
  DWORD n = GetFullPathNameW(path, (DWORD)full.size(), &full[0], nullptr);
  if (n == 0 || n >= full.size()) return path;
  full.resize(n);
  return full;
}

// The merged file the record names; empty when there is no record or it
// is not whole (a record cut short was written before the base was).
std::wstring ReadMergeRecord(const wchar_t* basePath) {
  HANDLE h = CreateFileW(MergeRecordPath(basePath).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::wstring();
  LARGE_INTEGER size;
  std::wstring name;
  if (GetFileSizeEx(h, &size) && size.QuadPart >= 12 && size.QuadPart <= kMergeRecordMax &&
      size.QuadPart % 2 == 0) {
    std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[(size_t)size.QuadPart]);
    DWORD got = 0;
    if (data && ReadFile(h, data.get(), (DWORD)size.QuadPart, &got, nullptr) &&
        got == (DWORD)size.QuadPart && memcmp(data.get(), kMergeMagic, 8) == 0 &&
        data[got - 1] == 0 && data[got - 2] == 0) {
      name.resize((got - 8) / 2 - 1);
      memcpy(&name[0], data.get() + 8, name.size() * 2);
    }
  }
  CloseHandle(h);
  return name;
}

bool Exists(const std::wstring& path) {
  return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
  return !a.empty() && _wcsicmp(FullPath(a.c_str()).c_str(), FullPath(b.c_str()).c_str()) == 0;
}

// The own identities of two own sparse files are the same: the first was
// merged into the second (a merge gives the base the merged file's).
bool SameIdentity(const wchar_t* merged, const wchar_t* base) {
  _VROH_RW_CLASS m, b;
  return m.OpenSparse(merged, VRO_MODE_READ) && b.OpenSparse(base, VRO_MODE_READ) &&
         Ld64(m.Header() + kOffOwnId) == Ld64(b.Header() + kOffOwnId);
}

// Writes the state a merge leaves a base of another kind in into the
// header of the file merged (*was gets the sector as it was), and, into a
// file that recorded none (another writer's), the state the merge found
// (`before`, when known): such a file that outlives its merge no longer
// reads over the base either. A torn write changes no byte the header's
// checksum covers, and leaves states that fail their own check: the file
// as it was.
bool RecordMergedState(const wchar_t* path, const VroBaseState* before, const VroBaseState& state,
                       uint8_t (&was)[VRO_SECTOR]) {
  HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  uint8_t sector[VRO_SECTOR];
  bool ok = ReadHandleAt(h, 0, was, VRO_SECTOR) == VRO_SECTOR &&
            memcmp(was + kOffSignature, kSignature, 8) == 0;
  if (ok) {
    memcpy(sector, was, VRO_SECTOR);
    VroBaseState made;
    if (before && !ReadBaseState(sector, kOffBaseState, &made))
      PutBaseState(sector, kOffBaseState, *before);
    PutBaseState(sector, kOffMergedState, state);
    ok = WriteHandleAt(h, 0, sector, VRO_SECTOR) == VRO_SECTOR && FlushHandleFile(h) == 0;
    // Not on the disk: the header as it was, where the host still takes it.
    if (!ok && WriteHandleAt(h, 0, was, VRO_SECTOR) == VRO_SECTOR) FlushHandleFile(h);
  }
  CloseHandle(h);
  return ok;
}

// After a merge that did not complete: the file's header as it was (what
// the next open finds either way is the file before the merge).
void PutBackHeader(const wchar_t* path, const uint8_t (&was)[VRO_SECTOR]) {
  HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  if (WriteHandleAt(h, 0, was, VRO_SECTOR) == VRO_SECTOR) FlushHandleFile(h);
  CloseHandle(h);
}

// Names each update file of the base, other than the merged one, that the
// merge unlinks.
void NoticeUnlinked(const wchar_t* basePath, const wchar_t* updatePath) {
  wchar_t other[MAX_PATH];
  for (int i = 0; _VROH_RW_CLASS::FindUpdateFile(basePath, i, other, MAX_PATH) > 0; i++)
    if (!SameFile(other, updatePath))
      VroOverlayNoticeAbout(other, VRO_NOTICE_MERGE_UNLINKS, updatePath);
}

// The image holds all of a file that could not be removed afterwards: told
// as merged, the file named; its next merge removes it.
int MergedFileLeft(const wchar_t* basePath, const wchar_t* updatePath) {
  VroOverlayNoticeAbout(updatePath, VRO_NOTICE_MERGED_FILE_LEFT, basePath);
  return 0;
}

}  // namespace

int FindUnfinishedMerge(const wchar_t* basePath, std::wstring* merged) {
  if (!basePath || !*basePath) return 0;
  std::wstring recorded = ReadMergeRecord(basePath);
  if (recorded.empty()) return 0;
  // The merged file where the record names it, or beside the base when the
  // folder was moved with both.
  std::wstring found = recorded;
  if (!Exists(found))
    found = std::wstring(basePath, FindFileNamePart(basePath) - basePath) +
            FindFileNamePart(recorded.c_str());
  if (!Exists(found)) {
    if (merged) *merged = recorded;
    return 2;
  }
  // A base that holds the merged file's identity was merged whole: the
  // record is what a merge that ended before removing it left.
  if (SameIdentity(found.c_str(), basePath)) {
    if (DeleteFileW(MergeRecordPath(basePath).c_str()))
      VroOverlayNoticeAbout(MergeRecordPath(basePath).c_str(), VRO_NOTICE_MERGE_RECORD_DONE,
                            found.c_str());
    return 0;
  }
  if (merged) *merged = found;
  return 1;
}

void NoticeUnfinishedMerge(const wchar_t* basePath) {
  std::wstring merged;
  int unfinished = FindUnfinishedMerge(basePath, &merged);
  if (unfinished)
    VroOverlayNoticeAbout(basePath,
                          unfinished == 2 ? VRO_NOTICE_MERGE_FILE_MISSING
                                          : VRO_NOTICE_MERGE_UNFINISHED,
                          merged.c_str());
}

bool IsHeldBySideFile(const wchar_t* imagePath) {
  if (!imagePath || !*imagePath) return false;
  // A file of the journal's new name that an open left where it lies is not
  // this program's (or its maker is at work): no writer gets in.
  const std::wstring journal = vrojournal::JournalPathOf(imagePath);
  return FindUnfinishedMerge(imagePath, nullptr) ||
         GetFileAttributesW(journal.c_str()) != INVALID_FILE_ATTRIBUTES ||
         GetFileAttributesW((journal + L".new").c_str()) != INVALID_FILE_ATTRIBUTES;
}

int ConvertImageChain(const wchar_t* basePath, const wchar_t* updatePath, volatile int* progress) {
  const uint32_t kStep = 128;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kStep * VRO_SECTOR]);
  if (!buf) return -1;

  _VROH_RW_CLASS upd, base;
  if (!upd.Open(updatePath, VRO_MODE_READ)) return -2;
  if (upd.m_nType != VRO_TYPE_SPARSE) {
    VroOverlayNotice(updatePath, VRO_NOTICE_NOT_OVERLAY);
    return -2;
  }
  if (Ld32(upd.Header() + kOffUnusable) == kUnusableMark) return -3;
  upd.SetZeroFill(0);

  if (GetFileAttributesW(basePath) == INVALID_FILE_ATTRIBUTES) return -40;
  // A merge an earlier version cut off is completed by merging its file
  // again; any other waits for that one.
  std::wstring unfinished;
  int legacy = FindUnfinishedMerge(basePath, &unfinished);
  bool resumed = legacy == 1 && SameFile(unfinished, updatePath);
  if (legacy && !resumed) {
    NoticeUnfinishedMerge(basePath);
    return -41;
  }
  if (!base.Open(basePath, VRO_MODE_READ)) return -60;
  const bool ownBase = base.m_nType == VRO_TYPE_SPARSE;
  // Merged already (the process that merged it ended before the file
  // went): the base has the file's identity, or, where it keeps none, the
  // very state the merge left it in, which the file recorded before the
  // merge completed. Only the file is left to remove.
  VroBaseState left, before;
  const bool stated = !ownBase && TakeBaseState(base, &before);
  if (ownBase ? Ld64(base.Header() + kOffOwnId) == Ld64(upd.Header() + kOffOwnId)
              : stated && ReadBaseState(upd.Header(), kOffMergedState, &left) &&
                    IsStateLeftByMerge(left, before)) {
    base.Close();
    upd.Close();
    if (!DeleteFileW(updatePath)) return MergedFileLeft(basePath, updatePath);
    VroOverlayNotice(updatePath, VRO_NOTICE_MERGE_LEFTOVER);
    if (resumed) DeleteFileW(MergeRecordPath(basePath).c_str());
    return 1;
  }
  uint8_t identity[VRO_SECTOR] = {};
  if (ownBase) memcpy(identity, base.Header(), VRO_SECTOR);
  // A file made for an earlier state of the base (written since) would put
  // back sectors of that state over the newer ones, and one made for
  // another image (of the other kind, or one made anew at this path) sectors
  // of that image over this one's volume. (A base of another kind takes a
  // file that recorded no state as it is: CheckParent 2.)
  int link = resumed && ownBase ? 1 : upd.CheckParent(&base);
  if (link < 1) {
    VroOverlayNotice(updatePath, link == -3   ? VRO_NOTICE_STALE_NOT_MERGED
                                 : link == -1 ? VRO_NOTICE_NOT_LINKED_NOT_MERGED
                                              : VRO_NOTICE_NOT_OVERLAY);
    return -52;
  }
  base.Close();
  NoticeUnlinked(basePath, updatePath);
  // The base's journal keeps every byte the merge overwrites until the base
  // holds all of the merged file and its identity, flushed: a merge cut off
  // anywhere is rolled back whole at the base's next open, and the merged
  // file is removed only after that.
  auto fail = [&](int code) {
    base.StopWrites();
    base.Close();
    return code;
  };
  if (!base.Open(basePath, VRO_MODE_WRITE)) return -60;
  // A dynamic VHD takes the blocks the merged sectors need.
  base.AllowNewBlocks();
  // The write open renews the identity: the base keeps its own until it
  // takes the merged file's.
  if (base.m_nType == VRO_TYPE_SPARSE) memcpy(base.Header(), identity, VRO_SECTOR);

  uint64_t capacity = upd.m_nCapacity;
  for (uint64_t s = 1; s < capacity;) {
    uint32_t n = capacity - s < kStep ? (uint32_t)(capacity - s) : kStep;
    int64_t r = upd.Read(s, buf.get(), n * VRO_SECTOR);
    if (r == 0) break;
    if (r > 0) {
      if (r % VRO_SECTOR || base.Write(s, buf.get(), (uint32_t)r) != r) return fail(-70);
      s += (uint64_t)r / VRO_SECTOR;
    } else {
      s += (uint64_t)(-r) / VRO_SECTOR;
    }
    if (progress) {
      uint64_t p = s * 100 / capacity;
      *progress = p < 1 ? 1 : (p > 99 ? 99 : (int)p);
    }
  }
  uint8_t fileHeader[VRO_SECTOR];
  bool recorded = false;
  if (ownBase) {
    TakeMergedHeader(base.Header(), upd.Header());
    base.Container()->SetDirty();
  } else {
    // The base keeps no identity to take: the file records the state the
    // merge leaves the base in (all of it written, its time moved on)
    // before the base's journal completes. So a file that outlives the
    // merge is known as merged, and one whose merge was cut off (the base
    // rolled back, its time too) still matches the base it was made over.
    upd.Close();
    VroBaseState after;
    if (base.Settle() < 0 || !TakeBaseState(base, &after) ||
        !RecordMergedState(updatePath, stated ? &before : nullptr, after, fileHeader))
      return fail(-70);
    recorded = true;
  }
  // The close keeps the whole merge, or takes it back.
  if (base.Close() < 0) {
    if (recorded) PutBackHeader(updatePath, fileHeader);
    return -70;
  }
  upd.Close();
  if (!DeleteFileW(updatePath)) return MergedFileLeft(basePath, updatePath);
  if (resumed) DeleteFileW(MergeRecordPath(basePath).c_str());
  return 1;
}

int ConvertImageFile(const wchar_t* basePath, const wchar_t* updatePath, volatile int* progress) {
  int r = ConvertImageChain(basePath, updatePath, progress);
  if (progress) *progress = r == 1 ? 100 : -1;
  return r == 1 ? 1 : 0;
}

int ListImageUpdateFiles(const wchar_t* imagePath, std::vector<std::wstring>* list, int* type) {
  _VROH_MOUNT_RW disk;
  if (disk.OpenChain(imagePath, nullptr, VRO_WRITE_NONE) < 0) return -1;
  if (type) *type = disk.BaseType();
  std::wstring basePath = disk.Base().Path();
  disk.CloseLayers();
  int count = 0;
  wchar_t path[MAX_PATH];
  while (_VROH_RW_CLASS::FindUpdateFile(basePath.c_str(), count, path, MAX_PATH) > 0) {
    if (list) list->push_back(path);
    count++;
  }
  return count;
}

int GetImageHeaderName(const wchar_t* imagePath, wchar_t* buf, int length) {
  if (buf && length > 0) buf[0] = 0;
  _VROH_MOUNT_RW disk;
  if (disk.OpenChain(imagePath, nullptr, VRO_WRITE_NONE) < 0) return 0;
  _VROH_RW_CLASS* layer = disk.Update().m_nType == VRO_TYPE_SPARSE ? &disk.Update()
                          : disk.Base().m_nType == VRO_TYPE_SPARSE ? &disk.Base()
                                                                   : nullptr;
  if (layer && buf && length > 0) {
    const uint8_t* name = layer->Header() + kOffName;
    int i = 0;
    for (; i < length - 1 && i < kNameBytes / 2; i++) {
      wchar_t c;
      memcpy(&c, name + i * 2, 2);
      if (!c) break;
      buf[i] = c;
    }
    buf[i] = 0;
  }
  return 1;
}
