#include "image/device/RawRw.h"
#include "image/device/MbrTemplate.h"
#include <cstring>

int64_t _VROH_RAW_IMG_RW::Write(HANDLE hFile, uint64_t sector, const void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  if (sector == 0) {
    // The header slot has no place in a headerless file.
    if (bytes <= VRO_SECTOR) return bytes;
    int64_t r = WriteHandleAt(hFile, 0, (const uint8_t*)buf + VRO_SECTOR, bytes - VRO_SECTOR);
    return r < 0 ? -(int64_t)bytes : r + VRO_SECTOR;
  }
  return WriteHandleAt(hFile, (sector - 1) * VRO_SECTOR, buf, bytes);
}

int64_t _VROH_RAW_IMG_RW::Read(HANDLE hFile, uint64_t sector, void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  if (sector == 0) {
    uint32_t head = bytes < VRO_SECTOR ? bytes : VRO_SECTOR;
    memset(buf, 0, head);
    if (bytes == head) return bytes;
    int64_t r = ReadHandleAt(hFile, 0, (uint8_t*)buf + head, bytes - head);
    return r < 0 ? -(int64_t)bytes : r + head;
  }
  return ReadHandleAt(hFile, (sector - 1) * VRO_SECTOR, buf, bytes);
}

bool _VROH_RAW_IMG_RW::FileOffset(uint64_t sector, uint64_t* at) {
  if (sector == 0) return false;
  *at = (sector - 1) * VRO_SECTOR;
  return true;
}

bool _VROH_REAL_IMG_RW::FileOffset(uint64_t sector, uint64_t* at) {
  *at = sector * VRO_SECTOR;
  return true;
}

int64_t _VROH_REAL_IMG_RW::Write(HANDLE hFile, uint64_t sector, const void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  return WriteHandleAt(hFile, sector * VRO_SECTOR, buf, bytes);
}

int64_t _VROH_REAL_IMG_RW::Read(HANDLE hFile, uint64_t sector, void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  return ReadHandleAt(hFile, sector * VRO_SECTOR, buf, bytes);
}

int64_t _VROH_PHYSICAL_RW::Write(HANDLE, uint64_t, const void*, uint32_t bytes) {
  return -(int64_t)bytes;
}

int64_t _VROH_PARTITION_RW::Read(HANDLE hFile, uint64_t sector, void* buf, uint32_t bytes) {
  if (!bytes) return 0;
  uint8_t* out = (uint8_t*)buf;
  uint32_t done = 0;
  // Synthetic disk head: zeros, with the MBR in device sector 1.
  while (sector < VRO_PARTITION_SYNTH_SECTORS && done < bytes) {
    uint32_t n = bytes - done < VRO_SECTOR ? bytes - done : VRO_SECTOR;
    uint8_t sec[VRO_SECTOR];
    memset(sec, 0, sizeof(sec));
    if (sector == 1) {
      CopyMbrTemplate(sec);
      SetMbrEntryLength(sec + VRO_MBR_ENTRY_OFFSET, (uint32_t)m_VolumeSectors);
    }
    memcpy(out + done, sec, n);
    done += n;
    sector++;
  }
  if (done == bytes) return bytes;
  int64_t r = ReadHandleAt(hFile, (sector - VRO_PARTITION_SYNTH_SECTORS) * VRO_SECTOR, out + done,
                           bytes - done);
  if (r < 0) return -(int64_t)bytes;
  return done + r;
}
