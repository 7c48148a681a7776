#include "image/stack/ImageMerge.h"
#include "image/stack/MountRw.h"
#include "image/device/DeviceSource.h"
#include "image/formats/sparse/ImgRw.h"
#include <cstring>
#include <memory>
#include <new>

using namespace vroimg;

namespace {

// The record beside a base that a merge is under way: written and flushed
// before the first write into the base, removed after the merged file.
// "VROMERGE", then the merged file's full path in UTF-16 with its NUL.
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

// Writes the record and brings it to the disk. False when any step failed.
bool WriteMergeRecord(const wchar_t* basePath, const std::wstring& merged) {
  std::wstring path = MergeRecordPath(basePath);
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::string data(kMergeMagic, 8);
  data.append((const char*)merged.c_str(), (merged.size() + 1) * 2);
  bool ok = WriteHandleAt(h, 0, data.data(), (uint32_t)data.size()) == (int64_t)data.size() &&
            VroGetDeviceSource()->FlushHandle(h) == 0;
  if (!CloseHandle(h)) ok = false;
  return ok;
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
  return !a.empty() && _wcsicmp(FullPath(a.c_str()).c_str(), FullPath(b.c_str()).c_str()) == 0;
}

// The steps after the copy: the base's data is on the disk; it takes the
// merged file's identity (own sparse bases), then the merged file goes,
// then the record.
int FinishMerge(_VROH_RW_CLASS& base, _VROH_RW_CLASS& upd, const wchar_t* basePath,
                const wchar_t* updatePath) {
  if (base.m_nType == VRO_TYPE_SPARSE) {
    memcpy(base.Header(), upd.Header(), kOffPrevParentId);
    St32(base.Header() + kOffKind, kKindSparse);
    base.Container()->SetDirty();
  }
  if (base.Close() < 0) return -70;
  upd.Close();
  if (!DeleteFileW(updatePath)) return 0;
  DeleteFileW(MergeRecordPath(basePath).c_str());
  return 1;
}

}  // namespace

int FindUnfinishedMerge(const wchar_t* basePath, std::wstring* merged) {
  if (!basePath || !*basePath) return 0;
  std::wstring name = ReadMergeRecord(basePath);
  // The merged file is removed only once the base holds all of it: a record
  // whose file is gone is what a merge that ended before removing it left.
  if (name.empty() || GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES) return 0;
  if (merged) *merged = name;
  return 1;
}

int ConvertImageChain(const wchar_t* basePath, const wchar_t* updatePath, volatile int* progress) {
  const uint32_t kStep = 128;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kStep * VRO_SECTOR]);
  if (!buf) return -1;

  _VROH_RW_CLASS upd, base;
  if (!upd.Open(updatePath, VRO_MODE_READ) || upd.m_nType != VRO_TYPE_SPARSE) return -2;
  if (Ld32(upd.Header() + kOffUnusable) == kUnusableMark) return -3;
  upd.SetZeroFill(0);

  if (GetFileAttributesW(basePath) == INVALID_FILE_ATTRIBUTES) return -40;
  std::wstring unfinished;
  bool resumed = false;
  if (FindUnfinishedMerge(basePath, &unfinished)) {
    if (!SameFile(unfinished, updatePath)) return -41;
    resumed = true;
  }
  if (!base.Open(basePath, VRO_MODE_READ)) return -60;
  uint8_t identity[VRO_SECTOR] = {};
  bool applied = false;  // the base took the merged file's identity already
  if (base.m_nType == VRO_TYPE_SPARSE) {
    memcpy(identity, base.Header(), VRO_SECTOR);
    applied = resumed && Ld64(identity + kOffOwnId) == Ld64(upd.Header() + kOffOwnId);
    if (!applied && upd.CheckParent(&base) < 1) return -52;
  }
  base.Close();
  // The merged file stays whole and linked until the base holds all it
  // has: a merge cut off anywhere is completed by the next one.
  if (!resumed && !WriteMergeRecord(basePath, FullPath(updatePath))) {
    DeleteFileW(MergeRecordPath(basePath).c_str());
    return -60;
  }
  bool written = false;  // a write into the base was taken
  auto fail = [&](int code) {
    base.StopWrites();
    base.Close();
    // A base that took no write is as it was: nothing is left unfinished.
    if (!written && !resumed) DeleteFileW(MergeRecordPath(basePath).c_str());
    return code;
  };
  if (!base.Open(basePath, VRO_MODE_WRITE)) return fail(-60);
  // The write open renews the identity: the base keeps its own (the merged
  // file links to it) until every merged sector is on the disk.
  if (base.m_nType == VRO_TYPE_SPARSE) memcpy(base.Header(), identity, VRO_SECTOR);

  uint64_t capacity = upd.m_nCapacity;
  for (uint64_t s = 1; s < capacity;) {
    uint32_t n = capacity - s < kStep ? (uint32_t)(capacity - s) : kStep;
    int64_t r = upd.Read(s, buf.get(), n * VRO_SECTOR);
    if (r == 0) break;
    if (r > 0) {
      // Stop at the first failure: the update file is all that holds
      // these sectors until they have reached the base.
      if (r % VRO_SECTOR || base.Write(s, buf.get(), (uint32_t)r) != r) return fail(-70);
      written = true;
      s += (uint64_t)r / VRO_SECTOR;
    } else {
      s += (uint64_t)(-r) / VRO_SECTOR;
    }
    if (progress) {
      uint64_t p = s * 100 / capacity;
      *progress = p < 1 ? 1 : (p > 99 ? 99 : (int)p);
    }
  }
  if (base.Flush() < 0 || VroGetDeviceSource()->FlushHandle(base.m_hFile) < 0) return fail(-70);
  return FinishMerge(base, upd, basePath, updatePath);
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
