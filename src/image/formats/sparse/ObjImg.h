// The own image container: header sectors, space allocation and file access
// at container sectors. _VROH_OBJ_IMG serves read-only opens,
// _VROH_OBJ_MINC read-write ones (it combines small writes).
#pragma once
#include "image/device/AlignRw.h"
#include "image/formats/sparse/ImageHeader.h"

// Open flags
const int VRO_OPEN_CREATE = 1;     // lay down a fresh container
const int VRO_OPEN_UNLIMITED = 2;  // no capacity limit, no capacity comparison
const int VRO_OPEN_STRICT = 4;     // missing map or bad checksum fail
const int VRO_OPEN_RENEW = 8;      // with 2: renew the identity
// Open results
const int VRO_CONT_EREAD = -1, VRO_CONT_ESECTOR1_MBR = -2, VRO_CONT_ESECTOR0_MBR = -3,
          VRO_CONT_ENOMAP = -4, VRO_CONT_ECHECKSUM = -5;

class _VROH_OBJ_IMG : public _VROH_ALIGN_RW {
 public:
  _VROH_OBJ_IMG();
  ~_VROH_OBJ_IMG() override;

  // Container sectors (the base sector offset is added).
  virtual int64_t WriteAt(uint64_t sector, const void* buf, uint32_t bytes);
  virtual int64_t ReadAt(uint64_t sector, void* buf, uint32_t bytes);
  // Returns flags (>= 0) or a VRO_CONT_E* code.
  virtual int Open(HANDLE hFile, uint64_t baseSector, uint64_t capacity, int flags);
  virtual int Flush();

  // Recomputes the checksum, records the header's identity and generation
  // with the checked mark, clears the dirty flag, writes sectors 0 and 1
  // (the flag stays set when the write fails).
  int WriteHeader();
  // Called before a map block is written, so that whatever the process
  // dies after, the file's map points only at data that is in the file:
  // pending data are written out (the header follows the map, at flush).
  // 0, or -1: the block must not be written.
  virtual int PrepareMapWrite();
  static uint32_t HeaderChecksum(const uint8_t* header);
  // Takes sectors at the next free sector (tables and leaves count as
  // used sectors). Returns the first sector, 0 when the limit refuses it.
  uint32_t Allocate(uint32_t sectors, bool tableBlock);
  // Undoes the latest Allocate (first sector and count as given to it).
  void GiveBack(uint32_t first, uint32_t sectors, bool tableBlock);

  uint8_t* Header() { return m_Header; }
  uint8_t* MapHeader() { return m_Header + VRO_SECTOR; }
  uint32_t NextFree() const { return Ld32(m_Header + VRO_SECTOR + vroimg::kOffNextFree); }
  // Writes sector 1 alone (the map header, outside the checksum): the
  // image header and its identity stay as the file has them, and so does
  // the identity the mark records.
  int WriteMapHeader();
  // Own identity and generation of the image header in the file (before a
  // renewal that has not reached it).
  uint64_t StoredOwnId() const { return m_StoredOwnId; }
  uint32_t StoredGeneration() const { return m_StoredGeneration; }
  // The image header (sector 0) as the file holds it: its links as they
  // were before a renewal that has not reached the file.
  const uint8_t* StoredHeader() const { return m_StoredHeader; }
  // Moves the next free sector on (never back), for a file found longer
  // than its header says.
  void RaiseNextFree(uint32_t sector);
  void SetDirty() {
    if (!m_Dirty) m_Dirty = 1;
  }
  int Dirty() const { return m_Dirty; }

 protected:
  void FreshContainer(uint64_t capacity);
  void RebuildHeader(uint64_t capacity);

  CRITICAL_SECTION m_Lock;
  HANDLE m_hFile = nullptr;
  uint64_t m_BaseSector = 0;
  uint64_t m_Limit = 0;
  int m_Dirty = 0;  // 2: an allocation was refused
  bool m_Fresh = false;  // laid down in memory, nothing of it in the file yet
  uint64_t m_StoredOwnId = 0;
  uint32_t m_StoredGeneration = 0;
  uint8_t m_StoredHeader[VRO_SECTOR] = {};
  uint8_t m_Header[2 * VRO_SECTOR];
};

class _VROH_OBJ_MINC : public _VROH_OBJ_IMG {
 public:
  static const uint32_t kBufferBytes = 64 * 1024;
  _VROH_OBJ_MINC();
  ~_VROH_OBJ_MINC() override;
  int64_t WriteAt(uint64_t sector, const void* buf, uint32_t bytes) override;
  int64_t ReadAt(uint64_t sector, void* buf, uint32_t bytes) override;
  int Open(HANDLE hFile, uint64_t baseSector, uint64_t capacity, int flags) override;
  int Flush() override;
  int PrepareMapWrite() override;

  uint64_t Writes() const { return m_Writes; }
  uint64_t CombinedWrites() const { return m_Combined; }
  uint64_t FileWrites() const { return m_FileWrites; }

 private:
  int64_t StraightWrite(uint64_t sector, const void* buf, uint32_t bytes);
  int64_t FlushPending();

  uint8_t* m_Buffer;
  uint64_t m_PendStart = 0;
  uint32_t m_PendLen = 0;  // sectors
  uint64_t m_Writes = 0;   // writes since open
  uint64_t m_Combined = 0, m_FileWrites = 0;
  int m_WriteErrors = 0, m_BoundErrors = 0;  // stop at 3
};
