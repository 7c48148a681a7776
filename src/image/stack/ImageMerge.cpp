#include "image/stack/ImageMerge.h"
#include "image/stack/MountRw.h"
#include "image/formats/sparse/ImgRw.h"
#include <cstring>
#include <memory>
#include <new>

using namespace vroimg;

int ConvertImageChain(const wchar_t* basePath, const wchar_t* updatePath, volatile int* progress) {
  const uint32_t kStep = 128;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kStep * VRO_SECTOR]);
  if (!buf) return -1;

  _VROH_RW_CLASS upd, base;
  if (!upd.Open(updatePath, VRO_MODE_READ) || upd.m_nType != VRO_TYPE_SPARSE) return -2;
  if (Ld32(upd.Header() + kOffUnusable) == kUnusableMark) return -3;
  upd.SetZeroFill(0);

  if (GetFileAttributesW(basePath) == INVALID_FILE_ATTRIBUTES) return -40;
  if (!base.Open(basePath, VRO_MODE_READ)) return -60;
  if (base.m_nType == VRO_TYPE_SPARSE && upd.CheckParent(&base) < 1) return -52;
  base.Close();
  if (!base.Open(basePath, VRO_MODE_WRITE)) return -60;
  if (base.m_nType == VRO_TYPE_SPARSE) {
    memcpy(base.Header(), upd.Header(), kOffPrevParentId);
    St32(base.Header() + kOffKind, kKindSparse);
    base.Container()->SetDirty();
  }

  uint64_t capacity = upd.m_nCapacity;
  for (uint64_t s = 1; s < capacity;) {
    uint32_t n = capacity - s < kStep ? (uint32_t)(capacity - s) : kStep;
    int64_t r = upd.Read(s, buf.get(), n * VRO_SECTOR);
    if (r == 0) break;
    if (r > 0) {
      // Stop at the first failure: the update file is all that holds
      // these sectors until they have reached the base.
      if (r % VRO_SECTOR || base.Write(s, buf.get(), (uint32_t)r) != r) return -70;
      s += (uint64_t)r / VRO_SECTOR;
    } else {
      s += (uint64_t)(-r) / VRO_SECTOR;
    }
    if (progress) {
      uint64_t p = s * 100 / capacity;
      *progress = p < 1 ? 1 : (p > 99 ? 99 : (int)p);
    }
  }
  if (base.Flush() < 0) return -70;
  base.Close();
  upd.Close();
  return DeleteFileW(updatePath) ? 1 : 0;
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
