// Objects that do sector I/O on their own handle (or layer set), and the
// byte-alignment engine that turns byte-granular requests into sector I/O.
#pragma once
#include "image/device/SectorDevice.h"

class _VROH_ALIGN_RW {
 public:
  // byteOffset is added to every byte position (512 for a mounted disk,
  // whose byte 0 is device sector 1); unit is the alignment unit.
  explicit _VROH_ALIGN_RW(uint64_t byteOffset = 0, uint32_t unit = VRO_SECTOR);
  virtual ~_VROH_ALIGN_RW();

  // Sector I/O; ctx is the handle here, a layer set in _VROH_MOUNT_RW.
  virtual int64_t Write(void* ctx, uint64_t sector, const void* buf, uint32_t bytes);
  virtual int64_t Read(void* ctx, uint64_t sector, void* buf, uint32_t bytes);

  // Byte-granular I/O: partial units are read, merged and written back
  // through a bounce buffer, whole units go straight to Write/Read in one
  // call. Returns the bytes done, or minus count when nothing was done.
  int64_t WriteBytes(void* ctx, uint64_t pos, const void* buf, uint64_t count);
  int64_t ReadBytes(void* ctx, uint64_t pos, void* buf, uint64_t count);

 protected:
  uint64_t m_ByteOffset;
  uint32_t m_Unit;
  uint8_t* m_Bounce;  // two units
  CRITICAL_SECTION m_BounceLock;
};
