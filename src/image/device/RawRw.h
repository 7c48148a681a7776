// Back ends over plain sector files and host disks.
#pragma once
#include "image/device/SectorDevice.h"

// Headerless raw image (types 0 and 3; inner reader of a fixed VHD): device
// sector 0 reads as zeros and writes to it are dropped; device sector n is
// file sector n - 1.
class _VROH_RAW_IMG_RW : public _VROH_BASE_RW {
 public:
  int64_t Write(HANDLE hFile, uint64_t sector, const void* buf, uint32_t bytes) override;
  int64_t Read(HANDLE hFile, uint64_t sector, void* buf, uint32_t bytes) override;
  bool FileOffset(uint64_t sector, uint64_t* at) override;
};

// File that carries its own header sector (types 4, 5, 9): device sector n
// is file sector n.
class _VROH_REAL_IMG_RW : public _VROH_BASE_RW {
 public:
  int64_t Write(HANDLE hFile, uint64_t sector, const void* buf, uint32_t bytes) override;
  int64_t Read(HANDLE hFile, uint64_t sector, void* buf, uint32_t bytes) override;
  bool FileOffset(uint64_t sector, uint64_t* at) override;
};

// Physical drive (type 1): read like a raw image. The drive itself is never
// written through this layer; a write fails with minus its count so that no
// caller mistakes it for done.
class _VROH_PHYSICAL_RW : public _VROH_RAW_IMG_RW {
 public:
  int64_t Write(HANDLE hFile, uint64_t sector, const void* buf, uint32_t bytes) override;
};

// Host volume (type 2): device sectors 0..63 are synthesised (sector 1 is an
// MBR with one active partition at LBA 63 covering the volume), device
// sector n >= 64 is volume sector n - 64. Writes fail like the drive's.
class _VROH_PARTITION_RW : public _VROH_PHYSICAL_RW {
 public:
  explicit _VROH_PARTITION_RW(uint64_t volumeSectors) : m_VolumeSectors(volumeSectors) {}
  int64_t Read(HANDLE hFile, uint64_t sector, void* buf, uint32_t bytes) override;
  uint64_t m_VolumeSectors;
};

const uint32_t VRO_PARTITION_SYNTH_SECTORS = 64;
