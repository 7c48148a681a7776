#include "image/stack/RwClass.h"
#include "image/formats/sparse/ImgRw.h"
#include "image/device/MbrTemplate.h"
#include <winioctl.h>
#include <cstring>

using namespace vroimg;

int _VROH_RW_CLASS::Create(const wchar_t* path, uint32_t megabytes, int kind) {
  uint64_t capacity = ImageSectorsFromMegabytes(megabytes);
  {
    _VROH_RW_CLASS existing;
    if (existing.Open(path, VRO_MODE_READ) && existing.m_nCapacity >= capacity) return 0;
  }
  _VROH_RW_CLASS img;
  if (!img.Open(path, VRO_MODE_CREATE)) return -1;
  if (img.m_bEmptyAtOpen && img.m_pContainer) {
    _VROH_OBJ_IMG* c = img.m_pContainer;
    if (kind == 2) {
      DWORD got = 0;
      DeviceIoControl(img.m_hFile, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr);
    }
    if (kind != (int)kKindSparse) {
      // A header in front of plain sectors: no map.
      St32(c->Header() + kOffKind, (uint32_t)kind);
      St64(c->Header() + kOffCapacity, capacity);
      memset(c->MapHeader(), 0, sizeof(kMapMagic));
      if (kind == 3) {
        // Plain sectors only: the header slot is not in the file.
        img.m_pBackEnd->Flush(img.m_hFile);
        delete img.m_pBackEnd;
        img.m_pBackEnd = nullptr;
        delete img.m_pContainer;
        img.m_pContainer = nullptr;
        static const uint8_t zeros[2 * VRO_SECTOR] = {};
        if (WriteHandleAt(img.m_hFile, 0, zeros, sizeof(zeros)) != (int64_t)sizeof(zeros))
          return -1;
        capacity -= 1;
      } else if (c->WriteHeader() < 0) {
        return -1;
      }
    }
  }
  if (img.Close() < 0) return -1;

  if (!img.Open(path, VRO_MODE_WRITE)) return -2;
  uint64_t created = 0;
  if (img.m_nType == VRO_TYPE_SPARSE) {
    uint8_t* h = img.Header();
    created = Ld64(h + kOffCreated);
    St64(h + kOffParentId, 0);
    St64(h + kOffOwnId, created);
  }
  uint8_t mbr[VRO_SECTOR];
  CopyMbrTemplate(mbr);
  uint32_t signature = img.m_nType == VRO_TYPE_SPARSE ? (uint32_t)created : GetTickCount();
  memcpy(mbr + 440, &signature, 4);
  SetMbrEntryLength(mbr + VRO_MBR_ENTRY_OFFSET, (uint32_t)(capacity - 1 - VRO_MBR_PARTITION_START));
  if (img.Write(1, mbr, VRO_SECTOR) != VRO_SECTOR) return -2;
  if (img.m_nType == VRO_TYPE_SPARSE) {
    St64(img.Header() + kOffCapacity, capacity);
    St32(img.m_pContainer->MapHeader() + kOffMapCapacity, (uint32_t)capacity);
    if (img.m_pBackEnd->Flush(img.m_hFile) < 0 || img.m_pContainer->WriteHeader() < 0) return -2;
    img.m_nCapacity = capacity;
  } else {
    FILE_END_OF_FILE_INFO eof;
    eof.EndOfFile.QuadPart = (LONGLONG)(capacity * VRO_SECTOR);
    if (!SetFileInformationByHandle(img.m_hFile, FileEndOfFileInfo, &eof, sizeof(eof))) return -2;
  }
  if (img.Close() < 0) return -2;
  return 0;
}
