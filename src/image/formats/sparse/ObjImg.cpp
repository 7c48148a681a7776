#include "image/formats/sparse/ObjImg.h"
#include <cstring>
#include <new>

using namespace vroimg;

namespace {

const uint64_t kUnlimited = 1ull << 32;

uint64_t NowFileTime() {
  SYSTEMTIME st;
  FILETIME ft;
  GetLocalTime(&st);
  SystemTimeToFileTime(&st, &ft);
  return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}
}  // namespace

uint64_t ImageSectorsFromMegabytes(uint32_t megabytes) {
  uint64_t s = (uint64_t)megabytes * 2048;
  return (s + 16383) / 16384 * 16384 + 1;
}

_VROH_OBJ_IMG::_VROH_OBJ_IMG() {
  InitializeCriticalSection(&m_Lock);
  memset(m_Header, 0, sizeof(m_Header));
}

_VROH_OBJ_IMG::~_VROH_OBJ_IMG() {
  DeleteCriticalSection(&m_Lock);
}

int64_t _VROH_OBJ_IMG::WriteAt(uint64_t sector, const void* buf, uint32_t bytes) {
  // A fresh container's head goes before anything it would hold.
  if (m_Fresh && WriteHeader() < 0) return -(int64_t)bytes;
  return WriteHandleAt(m_hFile, (m_BaseSector + sector) * VRO_SECTOR, buf, bytes);
}

int64_t _VROH_OBJ_IMG::ReadAt(uint64_t sector, void* buf, uint32_t bytes) {
  // Allocated space not yet reached by the file reads as zeros.
  return ReadHandleAtZeroTail(m_hFile, (m_BaseSector + sector) * VRO_SECTOR, buf, bytes);
}

uint32_t _VROH_OBJ_IMG::HeaderChecksum(const uint8_t* header) {
  uint32_t sum = 0;
  for (int i = 0; i < kChecksumBytes; i++) sum += header[i];
  return sum ? sum : 0xFFFFFFFFu;
}

int _VROH_OBJ_IMG::WriteHeader() {
  VroCsLock lock(&m_Lock);
  St32(m_Header + kOffChecksum, HeaderChecksum(m_Header));
  uint64_t own = Ld64(m_Header + kOffOwnId);
  uint32_t generation = Ld32(m_Header + kOffGeneration);
  St64(MapHeader() + kOffMarkOwnId, own);
  St32(MapHeader() + kOffMarkGeneration, generation);
  int dirty = m_Dirty;
  m_Dirty = 0;
  // A fresh container's first write is its whole head, its empty root
  // table included: cut off, torn at a page or failing, it leaves nothing,
  // the header alone, or all of it.
  uint8_t fresh[kFirstFree * VRO_SECTOR];
  const uint8_t* head = m_Header;
  uint32_t bytes = sizeof(m_Header);
  if (m_Fresh) {
    memset(fresh, 0, sizeof(fresh));
    memcpy(fresh, m_Header, sizeof(m_Header));
    head = fresh;
    bytes = sizeof(fresh);
  }
  int64_t r = WriteHandleAt(m_hFile, m_BaseSector * VRO_SECTOR, head, bytes);
  if (r != (int64_t)bytes) {
    m_Dirty = dirty ? dirty : 1;
    return -1;
  }
  m_Fresh = false;
  m_StoredOwnId = own;
  m_StoredGeneration = generation;
  memcpy(m_StoredHeader, m_Header, VRO_SECTOR);
  return 0;
}

int _VROH_OBJ_IMG::PrepareMapWrite() {
  return 0;
}

int _VROH_OBJ_IMG::WriteMapHeader() {
  VroCsLock lock(&m_Lock);
  if (m_Fresh) return WriteHeader();
  St64(MapHeader() + kOffMarkOwnId, m_StoredOwnId);
  St32(MapHeader() + kOffMarkGeneration, m_StoredGeneration);
  int64_t r = WriteHandleAt(m_hFile, (m_BaseSector + 1) * VRO_SECTOR, MapHeader(), VRO_SECTOR);
  if (r != (int64_t)VRO_SECTOR) return -1;
  return 0;
}

void _VROH_OBJ_IMG::RaiseNextFree(uint32_t sector) {
  VroCsLock lock(&m_Lock);
  if (sector <= NextFree()) return;
  St32(MapHeader() + kOffNextFree, sector);
  SetDirty();
}

uint32_t _VROH_OBJ_IMG::Allocate(uint32_t sectors, bool tableBlock) {
  VroCsLock lock(&m_Lock);
  uint8_t* map = MapHeader();
  uint32_t next = Ld32(map + kOffNextFree);
  if ((uint64_t)next + sectors >= m_Limit) {
    m_Dirty = 2;
    return 0;
  }
  St32(map + kOffNextFree, next + sectors);
  if (tableBlock) St32(map + kOffSectorsUsed, Ld32(map + kOffSectorsUsed) + sectors);
  SetDirty();
  return next;
}

void _VROH_OBJ_IMG::GiveBack(uint32_t first, uint32_t sectors, bool tableBlock) {
  VroCsLock lock(&m_Lock);
  uint8_t* map = MapHeader();
  if (Ld32(map + kOffNextFree) != first + sectors) return;  // not the latest
  St32(map + kOffNextFree, first);
  if (tableBlock) St32(map + kOffSectorsUsed, Ld32(map + kOffSectorsUsed) - sectors);
}

void _VROH_OBJ_IMG::RebuildHeader(uint64_t capacity) {
  uint64_t now = NowFileTime();
  memset(m_Header, 0, VRO_SECTOR);
  St32(m_Header + kOffMagic, kMagicValue);
  memcpy(m_Header + kOffSignature, kSignature, 8);
  St64(m_Header + kOffCapacity, capacity);
  St64(m_Header + kOffOwnId, now);
  St64(m_Header + kOffCreated, now);
  St64(m_Header + kOffCreated2, now);
  St32(m_Header + kOffKind, kKindSparse);
  St32(m_Header + kOffGeneration, 1);
  m_Dirty = m_Dirty ? m_Dirty : 1;
}

void _VROH_OBJ_IMG::FreshContainer(uint64_t capacity) {
  uint8_t* map = MapHeader();
  memset(map, 0, VRO_SECTOR);
  memcpy(map, kMapMagic, sizeof(kMapMagic));
  St32(map + kOffRootTable, kRootSector);
  St32(map + kOffNextFree, kFirstFree);
  St32(map + kOffSectorsUsed, kFirstFree);
  St32(map + kOffMapCapacity, (uint32_t)capacity);
  St32(map + kOffOrderedMark, kOrderedMark);
  St32(map + kOffCheckedMark, kCheckedMark);
  RebuildHeader(capacity);
  // Nothing reaches the file before the header is complete (an overlay's
  // link set): the first flush writes header and root table at once.
  m_Fresh = true;
  SetDirty();
}

int _VROH_OBJ_IMG::Open(HANDLE hFile, uint64_t baseSector, uint64_t capacity, int flags) {
  m_hFile = hFile;
  m_BaseSector = baseSector;
  m_Limit = capacity;
  m_Dirty = 0;
  m_Fresh = false;
  if (flags & VRO_OPEN_CREATE) {
    FreshContainer(capacity);
  } else {
    if (ReadHandleAt(hFile, baseSector * VRO_SECTOR, m_Header, sizeof(m_Header)) !=
        (int64_t)sizeof(m_Header))
      return VRO_CONT_EREAD;
    if (EndsWithBootSignature(MapHeader())) return VRO_CONT_ESECTOR1_MBR;
    if (EndsWithBootSignature(m_Header)) return VRO_CONT_ESECTOR0_MBR;
    m_StoredOwnId = Ld64(m_Header + kOffOwnId);
    m_StoredGeneration = Ld32(m_Header + kOffGeneration);
    memcpy(m_StoredHeader, m_Header, VRO_SECTOR);
    if (memcmp(MapHeader(), kMapMagic, sizeof(kMapMagic)) != 0) {
      if (flags & VRO_OPEN_STRICT) return VRO_CONT_ENOMAP;
      FreshContainer(capacity);
    } else if (!(flags & (VRO_OPEN_UNLIMITED | VRO_OPEN_STRICT)) &&
               Ld32(MapHeader() + kOffMapCapacity) != (uint32_t)capacity) {
      FreshContainer(capacity);
    } else if (HeaderChecksum(m_Header) != Ld32(m_Header + kOffChecksum)) {
      if (flags & VRO_OPEN_STRICT) return VRO_CONT_ECHECKSUM;
      // Keep the map; only the image header starts over.
      RebuildHeader(Ld32(MapHeader() + kOffMapCapacity));
    }
    if ((flags & VRO_OPEN_UNLIMITED) && (flags & VRO_OPEN_RENEW)) {
      uint64_t own = Ld64(m_Header + kOffOwnId);
      St64(m_Header + kOffPrevParentId, Ld64(m_Header + kOffParentId));
      St64(m_Header + kOffParentId, own);
      uint64_t now = NowFileTime();
      St64(m_Header + kOffOwnId, now > own ? now : own + 1);
      St32(m_Header + kOffGeneration, Ld32(m_Header + kOffGeneration) + 1);
      SetDirty();
    }
  }
  if (flags & VRO_OPEN_UNLIMITED) m_Limit = kUnlimited;
  return flags;
}

int _VROH_OBJ_IMG::Flush() {
  if (m_Dirty) return WriteHeader();
  return 0;
}

// ---- write combining ----

_VROH_OBJ_MINC::_VROH_OBJ_MINC() {
  m_Buffer = new uint8_t[kBufferBytes];
}

_VROH_OBJ_MINC::~_VROH_OBJ_MINC() {
  delete[] m_Buffer;
}

int _VROH_OBJ_MINC::Open(HANDLE hFile, uint64_t baseSector, uint64_t capacity, int flags) {
  m_PendLen = 0;
  m_Writes = 0;
  return _VROH_OBJ_IMG::Open(hFile, baseSector, capacity, flags);
}

int64_t _VROH_OBJ_MINC::StraightWrite(uint64_t sector, const void* buf, uint32_t bytes) {
  // Data never goes past the space the map has handed out.
  if (sector + (bytes + VRO_SECTOR - 1) / VRO_SECTOR > NextFree()) {
    if (m_BoundErrors < 3) m_BoundErrors++;
    return -(int64_t)bytes;
  }
  m_FileWrites++;
  int64_t r = _VROH_OBJ_IMG::WriteAt(sector, buf, bytes);
  if (r != (int64_t)bytes && m_WriteErrors < 3) m_WriteErrors++;
  return r;
}

int64_t _VROH_OBJ_MINC::FlushPending() {
  if (!m_PendLen) return 0;
  uint32_t bytes = m_PendLen * VRO_SECTOR;
  // Writes already acknowledged: the run stays in the buffer (and keeps
  // answering reads) until it reaches the file.
  if (StraightWrite(m_PendStart, m_Buffer, bytes) != (int64_t)bytes) return -1;
  m_PendLen = 0;
  return 0;
}

int64_t _VROH_OBJ_MINC::WriteAt(uint64_t sector, const void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  VroCsLock lock(&m_Lock);
  m_Writes++;
  uint32_t n = (bytes + VRO_SECTOR - 1) / VRO_SECTOR;
  // Refused now rather than when the combined run reaches the file.
  if (sector + n > NextFree()) {
    if (m_BoundErrors < 3) m_BoundErrors++;
    return -(int64_t)bytes;
  }
  if (m_PendLen && bytes % VRO_SECTOR == 0) {
    uint64_t end = m_PendStart + m_PendLen;
    if (sector >= m_PendStart && sector <= end &&
        sector + n - m_PendStart <= kBufferBytes / VRO_SECTOR) {
      memcpy(m_Buffer + (sector - m_PendStart) * VRO_SECTOR, buf, bytes);
      if (sector + n > end) m_PendLen = (uint32_t)(sector + n - m_PendStart);
      m_Combined++;
      return bytes;
    }
    if (sector < m_PendStart && sector + n > m_PendStart) {
      if (sector + n >= end) {
        m_PendLen = 0;  // the write covers the whole run
      } else {
        uint32_t cut = (uint32_t)(sector + n - m_PendStart);
        memmove(m_Buffer, m_Buffer + cut * VRO_SECTOR, (m_PendLen - cut) * VRO_SECTOR);
        m_PendStart += cut;
        m_PendLen -= cut;
      }
    }
  }
  if (FlushPending() < 0) return -(int64_t)bytes;
  if (bytes < kBufferBytes && bytes % VRO_SECTOR == 0) {
    memcpy(m_Buffer, buf, bytes);
    m_PendStart = sector;
    m_PendLen = n;
    return bytes;
  }
  return StraightWrite(sector, buf, bytes);
}

int64_t _VROH_OBJ_MINC::ReadAt(uint64_t sector, void* buf, uint32_t bytes) {
  VroCsLock lock(&m_Lock);
  int64_t r = _VROH_OBJ_IMG::ReadAt(sector, buf, bytes);
  if (r < 0 || !m_PendLen) return r;
  // Newer data still waiting in the buffer wins.
  uint64_t n = (bytes + VRO_SECTOR - 1) / VRO_SECTOR;
  uint64_t from = sector > m_PendStart ? sector : m_PendStart;
  uint64_t to = sector + n < m_PendStart + m_PendLen ? sector + n : m_PendStart + m_PendLen;
  if (from < to) {
    uint64_t len = (to - from) * VRO_SECTOR;
    uint64_t dst = (from - sector) * VRO_SECTOR;
    if (dst + len > bytes) len = bytes - dst;
    memcpy((uint8_t*)buf + dst, m_Buffer + (from - m_PendStart) * VRO_SECTOR, (size_t)len);
  }
  return r;
}

int _VROH_OBJ_MINC::PrepareMapWrite() {
  VroCsLock lock(&m_Lock);
  if (FlushPending() < 0) return -1;
  return _VROH_OBJ_IMG::PrepareMapWrite();
}

int _VROH_OBJ_MINC::Flush() {
  VroCsLock lock(&m_Lock);
  // An open that wrote nothing leaves the file as it found it, but for a
  // fresh container, which is laid down. The header (a renewed identity)
  // waits for the first write, however many flushes come before it: a
  // volume synced before it is rewritten still gets a new identity with its
  // writes.
  int result = FlushPending() < 0 ? -1 : 0;
  if (m_Dirty && (m_Writes || m_Dirty != 1 || m_Fresh) && WriteHeader() < 0) result = -1;
  return result;
}
